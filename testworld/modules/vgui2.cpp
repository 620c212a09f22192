// Fake vgui2.dll: four distinct interface objects the plug-in only records. Built twice:
// vgui2.dll with "CreateInterface", vgui2_nofactory.dll (VGUI2_NO_FACTORY) without it.
#include <cstring>

#include "../common/fake_interface.h"

namespace {

constexpr char kLocalize[] = "VGUI_Localize002";
constexpr char kSystem[] = "VGUI_System009";
constexpr char kInput[] = "VGUI_Input004";
constexpr char kInputInternal[] = "VGUI_InputInternal001";

world_fake::Interface<kLocalize, 32> localize;
world_fake::Interface<kSystem, 32> vguiSystem;
world_fake::Interface<kInput, 32> input;
world_fake::Interface<kInputInternal, 32> inputInternal;

void* Find(const char* version) {
  if (!version) return nullptr;
  if (strcmp(version, kLocalize) == 0) return localize.Object();
  if (strcmp(version, kSystem) == 0) return vguiSystem.Object();
  if (strcmp(version, kInput) == 0) return input.Object();
  if (strcmp(version, kInputInternal) == 0) return inputInternal.Object();
  return nullptr;
}

}  // namespace

#ifndef VGUI2_NO_FACTORY
extern "C" __declspec(dllexport) void* __cdecl CreateInterface(const char* version,
                                                               int* returnCode) {
  void* object = Find(version);
  if (returnCode)
    *returnCode = object ? world_fake::kInterfaceFound : world_fake::kInterfaceMissing;
  return object;
}
#else
// Keeps the module non-empty and its objects referenced.
extern "C" __declspec(dllexport) int __cdecl VGUI2_HasNoFactory() { return Find(kLocalize) != nullptr; }
#endif
