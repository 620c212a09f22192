// The one copy every 1024-byte text field of the stack walker goes through. No windows.h.
#pragma once

#include <cstddef>

// Copies src into dst of the given capacity: whole when it fits, otherwise cut to
// capacity - 1 bytes and terminated. Capacity 0 leaves dst untouched.
void BoundedCopy(char* dst, size_t capacity, const char* src);

// Appends src to the text already in dst (capacity counts the terminator), cutting
// what does not fit. dst stays terminated.
void BoundedAppend(char* dst, size_t capacity, const char* src);
