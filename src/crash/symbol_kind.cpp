#include "crash/symbol_kind.h"

const char* SymbolKindText(uint32_t kind) {
  static const char* const kNames[] = {"-nosymbols-", "COFF", "CV",      "PDB",    "-exported-",
                                       "-deferred-",  "SYM",  "DIA",     "Virtual"};
  return kind < sizeof(kNames) / sizeof(kNames[0]) ? kNames[kind] : nullptr;
}
