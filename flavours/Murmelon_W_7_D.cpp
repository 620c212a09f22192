// Identity of the Windows 7 flavour.
#include "base/flavour.h"
#include "build_numbers.h"

#define MURMELON_BUILD_DATE "Aug 19 2013 11:21:48 (35)"

const FlavourTexts kFlavour = {
    MURMELON_TEXT(MURMELON_BUILD_Murmelon_W_7_D),
    "Murmelon_Build_Num " MURMELON_TEXT(MURMELON_BUILD_Murmelon_W_7_D),
    "Murmelon build: " MURMELON_BUILD_DATE,
    MURMELON_BUILD_DATE,
    L"(WIN_7)",
};
