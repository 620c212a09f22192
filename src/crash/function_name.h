// A demangled C++ name cut to the function's name, as the symbol handler prints it for
// frames it reads from DWARF. No windows.h.
#pragma once

#include <cstddef>

// "ns::Class::Method(int) const" -> "ns::Class::Method"; a standard-call C name loses its
// argument size ("DllMain@12" -> "DllMain"); any other name stays whole. Cut to capacity,
// always terminated (capacity 0: nothing written).
void FunctionNameOnly(const char* demangled, char* out, size_t capacity);
