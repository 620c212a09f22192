#include "voice/hooks.h"

#include "base/console.h"
#include "engine/engine_positions.h"
#include "voice/patching.h"

ModuleInfo EngineModule;

HookDescriptor HudFrameHook = EngineOffsetHook("HUD_Frame", &HudFrameOffset,
                                               reinterpret_cast<uint32_t>(&HookedHudFrame));
engine::HudFrameFn HudFrameEntry;

namespace {

// The hooks whose jump is in, in the order they went in (there are two).
constexpr int kMaxHooks = 2;
const HookDescriptor* installed[kMaxHooks];
int installedCount;

bool Installed(const HookDescriptor* hook) {
  for (int i = 0; i < installedCount; ++i)
    if (installed[i] == hook) return true;
  return false;
}

}  // namespace

bool InstallEngineHook(HookDescriptor* hook) {
  if (Installed(hook) || installedCount == kMaxHooks) return false;
  if (!EngineFuncTable) return false;
  if (!FindModule(EngineFuncTable[engine::kAddCommandSlot], &EngineModule)) return false;
  if (!PrepareHook(hook)) return false;
  WriteJump(hook);
  installed[installedCount++] = hook;
  return true;
}

void RemoveHooks() {
  for (int i = 0; i < installedCount; ++i) RestoreBytes(installed[i]);
  installedCount = 0;
}

void InstallHudFrameHook() {
  if (!InstallEngineHook(&HudFrameHook)) return;
  HudFrameEntry = reinterpret_cast<engine::HudFrameFn>(HudFrameHook.target);
}

void __cdecl HookedHudFrame(double time) {
  ShowHeldPrints();  // the engine's frame is on the game's thread, where the console lives
  ScopedCallThrough engineRoutine(HudFrameHook);
  HudFrameEntry(time);
}
