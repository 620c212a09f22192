// The build identity exports and the (empty) interface registry, both cdecl.
#include <cstring>
#include <new>

#include "base/flavour.h"
#include "vstdlib/vstdlib_helper.h"

namespace {

struct InterfaceRecord {
  void* (*createFn)();
  const char* name;
  InterfaceRecord* next;
};

// Records would be put in front; nothing in the plug-in adds one.
InterfaceRecord* interfaceList;

// The engine calls this through an export: nothing may throw across it, so without
// memory the caller gets null, like every allocation of code the engine calls.
char* CopyOfText(const char* text) {
  size_t size = std::strlen(text) + 1;
  char* block = new (std::nothrow) char[size];
  if (!block) return nullptr;
  if (VstdlibHas("Q_strncpy"))
    Q_strncpy(block, text, static_cast<int>(size));
  else
    std::memcpy(block, text, size);  // the caller needs the text either way
  return block;
}

}  // namespace

extern "C" {

__declspec(dllexport) int __cdecl GetBuildInt() { return FlavourBuildNumber(); }

// A new block at every call; the caller keeps it.
__declspec(dllexport) char* __cdecl GetBuildStr() { return CopyOfText(kFlavour.buildNumberString); }

__declspec(dllexport) char* __cdecl GetBuildVersion() {
  return CopyOfText(kFlavour.buildVersionString);
}

__declspec(dllexport) void* __cdecl CreateInterface(const char* name, int* returnCode) {
  for (InterfaceRecord* record = interfaceList; record; record = record->next) {
    if (std::strcmp(record->name, name) == 0) {
      if (returnCode) *returnCode = 0;
      return record->createFn();
    }
  }
  if (returnCode) *returnCode = 1;
  return nullptr;
}

}  // extern "C"
