// A silent walker that keeps the frames carrying source information.
#pragma once

#include <vector>

#include "crash/stack_walker.h"
#include "crash/stacktrace_entry.h"

class StackWalkerAdapter : public StackWalker {
 public:
  // skip: frames to leave out beyond the walk routine and the call_stack constructor.
  explicit StackWalkerAdapter(int32_t skip);

  std::vector<stacktrace::entry> stack;
  int32_t discardCount;

 protected:
  void OnSymbolsReady(const char*, DWORD, const char*) override {}
  void OnModuleLoaded(const char*, const char*, DWORD64, DWORD, DWORD, const char*, const char*,
                      ULONGLONG) override {}
  void OnStackEntry(EntryKind kind, StackFrameInfo& frame) override;
  void OnWalkError(const char*, DWORD, DWORD64) override {}
  void OnTextLine(const char*) override {}
};
