// Build number of each flavour, written here only: GetBuildInt answers it, the update
// check sends it, and the update server compares it with the newest release. The release
// steps raise both by 10 (README, "Releasing"); the last digit names the flavour's
// releases on the update server (1: Windows 7, 2: Windows XP). tools/package.sh checks that
// the modules carry these numbers and refuses one not above the published build.
#pragma once

#define MURMELON_BUILD_Murmelon_W_7_D 51081
#define MURMELON_BUILD_Murmelon_W_XP_D 51082

#define MURMELON_TEXT_OF(x) #x
#define MURMELON_TEXT(x) MURMELON_TEXT_OF(x)
