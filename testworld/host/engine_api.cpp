#include "engine_api.h"

namespace world {

const char* EngineApi::Bind(HMODULE engine) {
#define WORLD_API_BIND(name)                                                             \
  name = reinterpret_cast<decltype(name)>(reinterpret_cast<void*>(GetProcAddress(engine, #name))); \
  if (!name) return #name;
  WORLD_ENGINE_EXPORTS(WORLD_API_BIND)
#undef WORLD_API_BIND
  return nullptr;
}

}  // namespace world
