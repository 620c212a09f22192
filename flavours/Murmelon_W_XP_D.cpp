// Identity of the Windows XP flavour.
#include "base/flavour.h"
#include "build_numbers.h"

#define MURMELON_BUILD_DATE "Aug 19 2013 11:22:57 (35)"

const FlavourTexts kFlavour = {
    MURMELON_TEXT(MURMELON_BUILD_Murmelon_W_XP_D),
    "Murmelon_Build_Num " MURMELON_TEXT(MURMELON_BUILD_Murmelon_W_XP_D),
    "Murmelon build: " MURMELON_BUILD_DATE,
    MURMELON_BUILD_DATE,
    L"(WIN_XP)",
};
