// Identity of the Windows 7 flavour.
#include "core/flavour.h"
#include "build_number.h"

#define MURMELON_BUILD_DATE "Aug 19 2013 11:21:48 (35)"

const FlavourTexts kFlavour = {
    MURMELON_BUILD_TEXT,
    "Murmelon_Build_Num " MURMELON_BUILD_TEXT,
    "Murmelon build: " MURMELON_BUILD_DATE,
    MURMELON_BUILD_DATE,
    L"(WIN_7)",
};
