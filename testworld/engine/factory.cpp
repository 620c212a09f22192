// hw.dll's interface factory: only "BaseUI001", which the plug-in records and never calls.
#include <cstring>

#include "../common/fake_interface.h"
#include "../world_api.h"

namespace {

constexpr char kBaseUI[] = "BaseUI001";
world_fake::Interface<kBaseUI, 16> baseUI;

}  // namespace

// cdecl, (version text, return code or null). The engine's codes: 0 found, 1 not found.
extern "C" __declspec(dllexport) void* __cdecl CreateInterface(const char* version,
                                                               int* returnCode) {
  void* object = version && strcmp(version, kBaseUI) == 0 ? baseUI.Object() : nullptr;
  if (returnCode) *returnCode = object ? world_fake::kInterfaceFound : world_fake::kInterfaceMissing;
  return object;
}
