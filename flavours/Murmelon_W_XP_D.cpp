// Identity of the Windows XP flavour.
#include "core/flavour.h"

#define MURMELON_BUILD_DATE "Aug 19 2013 11:22:57 (35)"

const FlavourTexts kFlavour = {
    "51082",
    "Murmelon_Build_Num 51082",
    "Murmelon build: " MURMELON_BUILD_DATE,
    MURMELON_BUILD_DATE,
    L"(WIN_XP)",
};
