// Identity of the Windows 7 flavour.
#include "core/flavour.h"

#define MURMELON_BUILD_DATE "Aug 19 2013 11:21:48 (35)"

const FlavourTexts kFlavour = {
    "51081",
    "Murmelon_Build_Num 51081",
    "Murmelon build: " MURMELON_BUILD_DATE,
    MURMELON_BUILD_DATE,
    L"(WIN_7)",
};
