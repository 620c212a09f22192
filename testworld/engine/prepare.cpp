// World_Prepare: lays the real engine's texts, code entries and data into the image.
#include <windows.h>

#include <cctype>
#include <cstring>
#include <string>

#include "../engine_records.h"
#include "../world_api.h"
#include "console.h"
#include "functable.h"
#include "records.h"
#include "routines.h"
#include "state.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this module's base, from the linker

namespace engine_world {

EngineState& State() {
  static EngineState state;
  return state;
}

uintptr_t ModuleBase() { return reinterpret_cast<uintptr_t>(&__ImageBase); }

namespace {

using world::CaptureFormat;

constexpr size_t kProbeRoom = 64;  // bytes cleared at every probe offset

// The engine entry at `offset` becomes a jump to the real routine, as a compiled
// engine would have it: a hook overwrites these 5 bytes, a call-through puts them back.
void WriteJump(uint32_t offset, const void* routine) {
  uintptr_t entry = ModuleBase() + offset;
  const world::Jump jump = world::JumpTo(entry, reinterpret_cast<uintptr_t>(routine));
  memcpy(At(offset), &jump, sizeof jump);
  FlushInstructionCache(GetCurrentProcess(), At(offset), sizeof jump);
}

std::string ProbeText(const Probe& probe, int32_t style) {
  std::string text = probe.text;
  switch (style) {
    case kProbePrefixed:
      return "xx" + text;
    case kProbeOtherCase:
      for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
      return text;
    default:
      return text;
  }
}

void PageAccess(uint32_t offset, DWORD protection) {
  DWORD old;
  VirtualProtect(At(offset & ~0xFFFu), 0x1000, protection, &old);
}

// Clears what an earlier World_Prepare left at the probe offsets.
void ClearProbes() {
  PageAccess(kProbes[3].offset, PAGE_EXECUTE_READWRITE);
  for (const Probe& probe : kProbes) memset(At(probe.offset), 0, kProbeRoom);
}

void WriteProbe(const WorldSetup& setup) {
  const Probe* probe = FindProbe(setup.build);
  if (!probe || setup.probeStyle == kProbeNone) return;
  std::string text = ProbeText(*probe, setup.probeStyle);
  memcpy(At(probe->offset), text.c_str(), text.size() + 1);
}

void ProtectCode(DWORD protection) {
  DWORD old;
  VirtualProtect(At(kRegionStart), kCodeEnd - kRegionStart, protection, &old);
}

void WriteLayout(const BuildLayout& layout, int32_t clientState) {
  ProtectCode(PAGE_EXECUTE_READWRITE);  // an earlier World_Prepare closed it
  FillFunctionTable(At<void*>(layout.funcTable), kFuncTableSlots);
  WriteJump(layout.voiceInitHandler, reinterpret_cast<const void*>(&ParseVoiceInitHandler));
  WriteJump(layout.hudFrame, reinterpret_cast<const void*>(&HudFrame));
  WriteJump(layout.voiceInitFunc, reinterpret_cast<const void*>(&VoiceInit));
  WriteJump(layout.readString, reinterpret_cast<const void*>(&ReadString));
  WriteJump(layout.readByte, reinterpret_cast<const void*>(&ReadByte));
  *At<int (__cdecl*)()>(layout.codecSlot) = &CodecSlotFunction;
  *At<int32_t>(layout.clientState) = clientState;
  *At<int32_t>(layout.voiceWord) = 1;
  *At<CaptureFormat>(layout.voiceFormat) = CaptureFormat{1, 1, 8000, 16000, 2, 16, 0};
  ProtectCode(PAGE_EXECUTE_READ);
}

// hw_small.dll: makes the address range of every probe offset, which lies past the end
// of its image, fault on access, so that a probe read that leaves the image shows up as
// a crash instead of reading whatever happens to lie there. Reservations start on a
// 64 KiB boundary; the rest of the last granule behind the image stays unmapped anyway.
void FenceProbesBehindImage() {
  static bool fenced = false;
  if (fenced) return;
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(ModuleBase());
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(ModuleBase() + dos->e_lfanew);
  uintptr_t end = ModuleBase() + nt->OptionalHeader.SizeOfImage;
  uintptr_t start = (end + 0xFFFF) & ~uintptr_t{0xFFFF};
  uintptr_t last = ModuleBase() + kProbes[3].offset + kProbeRoom;
  fenced = start > last ||
           VirtualAlloc(reinterpret_cast<void*>(start), last - start, MEM_RESERVE, PAGE_NOACCESS);
  if (!fenced) JournalF("engine: cannot fence the probe offsets behind the small image");
}

}  // namespace
}  // namespace engine_world

using namespace engine_world;

WORLD_API int World_Prepare(const WorldSetup* setup) {
  EngineState& state = State();
  state.build = setup->build;
  state.voiceInitResult = setup->voiceInitResult;
  memcpy(state.refusedSetting, setup->refusedSetting, sizeof state.refusedSetting);
  state.refusedSetting[sizeof state.refusedSetting - 1] = '\0';
  state.layout = HasRegion() ? FindLayout(setup->build) : nullptr;
  ResetConsole();
  World_ClearRecords();
  if (!HasRegion()) {  // hw_small.dll: console only
    FenceProbesBehindImage();
    return 1;
  }

  ClearProbes();
  WriteProbe(*setup);
  if (state.layout) WriteLayout(*state.layout, setup->clientState);
  if (setup->guardProbe4) PageAccess(kProbes[3].offset, PAGE_NOACCESS);
  return 1;
}

WORLD_API uintptr_t World_EngineBase() { return ModuleBase(); }

WORLD_API uintptr_t World_EngineAddress(const char* what) {
  const BuildLayout* layout = State().layout;
  if (!what || !layout) return 0;
  const struct {
    const char* name;
    uint32_t offset;
  } entries[] = {
      {"VoiceInitHandler", layout->voiceInitHandler}, {"HudFrame", layout->hudFrame},
      {"VoiceInitFunc", layout->voiceInitFunc},       {"CodecSlot", layout->codecSlot},
      {"ClientState", layout->clientState},           {"VoiceWord", layout->voiceWord},
      {"VoiceFormat", layout->voiceFormat},           {"ReadString", layout->readString},
      {"ReadByte", layout->readByte},                 {"FuncTable", layout->funcTable},
      {"Probe", FindProbe(layout->build)->offset},
  };
  for (const auto& entry : entries)
    if (strcmp(entry.name, what) == 0) return ModuleBase() + entry.offset;
  return 0;
}

WORLD_API uintptr_t World_RealRoutine(const char* what) {
  if (!what) return 0;
  const struct {
    const char* name;
    const void* routine;
  } routines[] = {
      {"VoiceInitHandler", reinterpret_cast<const void*>(&ParseVoiceInitHandler)},
      {"HudFrame", reinterpret_cast<const void*>(&HudFrame)},
      {"VoiceInitFunc", reinterpret_cast<const void*>(&VoiceInit)},
      {"ReadString", reinterpret_cast<const void*>(&ReadString)},
      {"ReadByte", reinterpret_cast<const void*>(&ReadByte)},
      {"CodecFunction", reinterpret_cast<const void*>(&CodecSlotFunction)},
  };
  for (const auto& entry : routines)
    if (strcmp(entry.name, what) == 0) return reinterpret_cast<uintptr_t>(entry.routine);
  return 0;
}
