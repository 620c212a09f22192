// The records behind the two inline hooks: the engine module's extent and the static
// description of one 5-byte jump hook. Layouts are for the 32-bit target.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "voice/jump.h"

struct ModuleInfo {
  uint32_t base;   // allocation base of the module
  uint32_t size;   // size of image from the PE optional header
  HMODULE handle;  // equal to base
};

struct HookDescriptor {
  const char* name;              // also the export looked up when there is no offset entry
  ModuleInfo* module;            // module that holds the target
  const uint8_t* pattern;        // bytes for the pattern scan
  const char* mask;              // one character per pattern byte, '?' matches anything
  uint32_t patternLength;
  const uint32_t* offsetEntry;   // an offset entry of engine/engine_positions.h, or null
  uint32_t target;               // routine to patch; 0 until prepared
  uint32_t replacement;          // our routine the jump leads to
  JumpInstruction jump;          // E9 + (replacement - target - 5)
  uint8_t savedBytes[5];         // the target's first five bytes before the patch
  uint32_t ready;                // 1 after a successful preparation
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(ModuleInfo) == 12, "three 32-bit fields");
static_assert(offsetof(ModuleInfo, handle) == 8, "handle after base and size");
static_assert(offsetof(HookDescriptor, offsetEntry) == 20, "pointer fields are 32-bit");
static_assert(offsetof(HookDescriptor, target) == 24, "target after the offset entry");
static_assert(offsetof(HookDescriptor, replacement) == 28, "replacement after target");
static_assert(offsetof(HookDescriptor, jump) == 32, "the five jump bytes follow");
static_assert(offsetof(HookDescriptor, savedBytes) == 37, "jump bytes are contiguous");
static_assert(offsetof(HookDescriptor, ready) == 44, "ready is an aligned 32-bit word");
static_assert(sizeof(HookDescriptor) == 48, "descriptor size");
#endif
