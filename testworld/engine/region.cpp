// The engine region: an uninitialised, writable, executable section at RVA 0x1000 of
// 0x1100000 bytes, so that every per-build offset of the real engine lies inside this
// module's image. The linker places it at image base + 0x1000 (see CMakeLists.txt) and
// moves .text behind it; it takes no room in the file.
#include "state.h"

asm(".section .engine,\"bwx\"\n"
    ".globl _engine_region\n"
    "_engine_region:\n"
    ".space 0x1100000\n"
    ".text\n");

extern "C" unsigned char engine_region[];  // the symbol above (cdecl adds the "_")

namespace engine_world {

bool HasRegion() {
  // The region must sit exactly where the real engine's offsets start.
  return reinterpret_cast<uintptr_t>(engine_region) == ModuleBase() + kRegionStart;
}

}  // namespace engine_world
