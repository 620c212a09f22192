// Process-wide state of the fake engine, shared by its source files.
#pragma once

#include <cstdint>

#include "layout.h"

namespace engine_world {

struct EngineState {
  int32_t build = 0;
  const BuildLayout* layout = nullptr;  // null: no code or data layout (other builds)
  int32_t voiceInitResult = 1;
  char refusedSetting[32] = {};
};
EngineState& State();

// Base of this module and whether it holds the engine region (hw_small.dll does not).
uintptr_t ModuleBase();
bool HasRegion();

// Address of an offset in the engine image.
template <typename T = uint8_t>
T* At(uint32_t offset) {
  return reinterpret_cast<T*>(ModuleBase() + offset);
}

}  // namespace engine_world
