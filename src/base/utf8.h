// UTF-16 to UTF-8 for the console, used when the engine offers no conversion of its
// own. No windows.h.
#pragma once

#include <cstddef>
#include <cstdint>

// Converts a terminated UTF-16 text into at most `capacity` bytes, terminator
// included; never splits a character; unpaired surrogates become U+FFFD. Returns the
// number of bytes written before the terminator.
size_t Utf16ToUtf8(const uint16_t* text, char* dest, size_t capacity);
