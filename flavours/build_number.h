// The flavour's build number as text; CMake defines MURMELON_BUILD_NUMBER from
// flavours/build_numbers.txt.
#pragma once

#ifndef MURMELON_BUILD_NUMBER
#error "MURMELON_BUILD_NUMBER comes from flavours/build_numbers.txt (cmake/build_numbers.cmake)"
#endif
#define MURMELON_TEXT_OF(x) #x
#define MURMELON_TEXT(x) MURMELON_TEXT_OF(x)
#define MURMELON_BUILD_TEXT MURMELON_TEXT(MURMELON_BUILD_NUMBER)
