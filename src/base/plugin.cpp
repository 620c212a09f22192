#include "base/plugin.h"

HMODULE hThisLib;
HMODULE hEngineLib;
int32_t Version = -5;  // until the attach sequence detects the build
uint8_t bInitialized;
uint8_t bSupportedBuild;
