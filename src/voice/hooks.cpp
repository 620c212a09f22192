#include "voice/hooks.h"

#include "core/plugin.h"
#include "voice/address_table.h"
#include "voice/patching.h"
#include "voice/voice_init.h"

ModuleInfo EngineModule;

// Both targets come from offset entries, so no pattern is ever scanned for.
HookDescriptor VoiceInitHook = {"CL_Parse_VoiceInit", &EngineModule,
                                reinterpret_cast<const uint8_t*>(""), "", 0,
                                &VoiceInitHandlerOffset, 0,
                                reinterpret_cast<uint32_t>(&HookedVoiceInit), {}, {}, 0};
HookDescriptor HudFrameHook = {"HUD_Frame", &EngineModule,
                               reinterpret_cast<const uint8_t*>(""), "", 0,
                               &HudFrameOffset, 0,
                               reinterpret_cast<uint32_t>(&HookedHudFrame), {}, {}, 0};

uint8_t VoiceInitHookInstalled;
uint32_t VoiceInitEntry;
uint32_t EngineVoiceInit;
uint8_t HudFrameHookInstalled;
uint32_t HudFrameEntry;

namespace {

// Steps shared by both installers: find the engine module through the add-command
// function (it lies inside the engine), prepare the descriptor, patch the entry.
bool InstallHook(HookDescriptor* hook) {
  if (!EngineFuncTable) return false;
  void* addCommand = reinterpret_cast<void**>(EngineFuncTable)[engine::kAddCommandSlot];
  if (!FindModule(addCommand, &EngineModule)) return false;
  if (!PrepareHook(hook)) return false;
  WriteJump(hook);
  return true;
}

}  // namespace

void InstallVoiceInitHook() {
  if (VoiceInitHookInstalled || !InstallHook(&VoiceInitHook)) return;
  VoiceInitEntry = VoiceInitHook.target;
  VoiceInitHookInstalled = 1;
  EngineVoiceInit = reinterpret_cast<uint32_t>(hEngineLib) + VoiceInitFuncOffset;
}

void InstallHudFrameHook() {
  if (HudFrameHookInstalled || !InstallHook(&HudFrameHook)) return;
  HudFrameEntry = HudFrameHook.target;
  HudFrameHookInstalled = 1;
}

void RemoveHooks() {
  if (VoiceInitHookInstalled) RestoreBytes(&VoiceInitHook);
  if (HudFrameHookInstalled) RestoreBytes(&HudFrameHook);
  VoiceInitHookInstalled = 0;
  HudFrameHookInstalled = 0;
}

void __cdecl HookedHudFrame(double time) {
  RestoreBytes(&HudFrameHook);
  reinterpret_cast<engine::HudFrameFn>(HudFrameEntry)(time);
  WriteJump(&HudFrameHook);
}

int CallEngineVoiceInit(const char* codec, int quality) {
  if (!EngineVoiceInit) return 0;
  return reinterpret_cast<engine::VoiceInitFn>(EngineVoiceInit)(codec, quality);
}
