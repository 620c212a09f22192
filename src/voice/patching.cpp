#include "voice/patching.h"

#include <cstring>

#include "base/memory_patch.h"
#include "base/module_function.h"
#include "engine/pe_image.h"
#include "voice/pattern_scan.h"

namespace {

constexpr uint32_t kPatchLength = sizeof(JumpInstruction);

void CopyToTarget(const HookDescriptor* hook, const void* bytes) {
  if (!hook || !hook->target) return;
  WriteProtected(reinterpret_cast<void*>(hook->target), bytes, kPatchLength);
}

}  // namespace

bool FindModule(const void* address, ModuleInfo* info) {
  MEMORY_BASIC_INFORMATION region = {};
  VirtualQuery(address, &region, sizeof region);
  if (!region.AllocationBase || !info) return false;
  uint32_t size = 0;
  if (!pe::ReadImageSize(region.AllocationBase, &size)) return false;
  info->base = reinterpret_cast<uint32_t>(region.AllocationBase);
  info->size = size;
  info->handle = static_cast<HMODULE>(region.AllocationBase);
  return true;
}

uint32_t FindExport(const ModuleInfo* info, const char* name) {
  if (!info || !info->handle || !name) return 0;
  return reinterpret_cast<uint32_t>(ModuleFunction<void*>(info->handle, name));
}

uint32_t ScanPattern(const ModuleInfo* info, const uint8_t* pattern, const char* mask,
                     uint32_t patternLength) {
  if (!info) return 0;
  const uint8_t* found = ScanBytes(reinterpret_cast<const uint8_t*>(info->base), info->size,
                                   pattern, mask, patternLength);
  return reinterpret_cast<uint32_t>(found);
}

uint32_t ResolveTarget(const HookDescriptor* hook) {
  if (!hook) return 0;
  if (hook->offsetEntry) {
    // Hooks go in after the engine positions are set up, from a table without zeros.
    if (!hook->module) return 0;
    return reinterpret_cast<uint32_t>(hook->module->handle) + *hook->offsetEntry;
  }
  if (uint32_t exported = FindExport(hook->module, hook->name)) return exported;
  return ScanPattern(hook->module, hook->pattern, hook->mask, hook->patternLength);
}

bool PrepareHook(HookDescriptor* hook) {
  if (!hook) return false;
  hook->target = ResolveTarget(hook);
  if (!hook->target) {
    hook->ready = 0;
    return false;
  }
  std::memcpy(hook->savedBytes, reinterpret_cast<const void*>(hook->target), kPatchLength);
  hook->jump = EncodeJump(hook->target, hook->replacement);
  hook->ready = 1;
  return true;
}

void WriteJump(const HookDescriptor* hook) {
  if (hook) CopyToTarget(hook, &hook->jump);
}

void RestoreBytes(const HookDescriptor* hook) {
  if (hook) CopyToTarget(hook, hook->savedBytes);
}
