// Recognising the running engine build.
#pragma once

#include <cstdint>

// Sets Version from the build-date texts inside hw.dll and returns it.
int32_t DetectEngineBuild();
