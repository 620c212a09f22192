// Names of dbghelp's symbol kinds (the SymType of a module record). No windows.h.
#pragma once

#include <cstdint>

// "-nosymbols-", "COFF", ... "Virtual" for 0..8; null for any other value.
const char* SymbolKindText(uint32_t kind);

// What a module report says when the kind is unknown or the record could not be read.
constexpr const char* kUnknownSymbolKind = "-unknown-";
