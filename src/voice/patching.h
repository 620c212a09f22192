// Finding hook targets in a loaded module and writing the 5-byte patches.
#pragma once

#include <cstdint>

#include "base/memory_patch.h"
#include "voice/hook_descriptor.h"

// Fills `info` for the module that holds `address`; false (info unchanged) when the
// region's allocation base carries no PE header.
bool FindModule(const void* address, ModuleInfo* info);
uint32_t FindExport(const ModuleInfo* info, const char* name);
uint32_t ScanPattern(const ModuleInfo* info, const uint8_t* pattern, const char* mask,
                     uint32_t patternLength);

// Offset entry first (name and pattern are then never consulted), else the export of
// that name, else the pattern scan. 0 when nothing is found.
uint32_t ResolveTarget(const HookDescriptor* hook);
// Resolves the target, saves its first five bytes and builds the jump. Sets ready.
bool PrepareHook(HookDescriptor* hook);

// Puts the jump over the target, or the saved bytes back (base/memory_patch.h: the
// page's protection comes back, the instruction cache is flushed). Nothing is written
// when the target cannot be made writable.
void WriteJump(const HookDescriptor* hook);
void RestoreBytes(const HookDescriptor* hook);

// A call-through to the routine a hook replaced: the engine's own bytes are back at the
// target for the guard's lifetime and the jump is written again when it goes, so a
// replacement cannot leave its hook out. The page stays writable meanwhile and gets its
// protection back at the end: one change of protection each way per call.
class ScopedCallThrough {
 public:
  explicit ScopedCallThrough(const HookDescriptor& hook)
      : hook_(hook), span_(reinterpret_cast<void*>(hook.target), sizeof hook.savedBytes) {
    if (hook_.target) span_.Copy(hook_.savedBytes);
  }
  ~ScopedCallThrough() {
    if (hook_.target) span_.Copy(&hook_.jump);
  }
  ScopedCallThrough(const ScopedCallThrough&) = delete;
  ScopedCallThrough& operator=(const ScopedCallThrough&) = delete;

 private:
  const HookDescriptor& hook_;
  WritableSpan span_;
};
