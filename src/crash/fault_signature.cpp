#include "crash/fault_signature.h"

#include <cstddef>
#include <cstdint>

#include "base/readable_memory.h"

namespace {

// The loader's records of the loaded modules, as the 32-bit process environment block
// holds them from Windows XP on (and Wine the same): the PEB's loader data at 0x0C, its
// list of modules in load order at 0x0C there, and in each module's record its base,
// its image size and its file name without the folder.
struct ListEntry {
  ListEntry* next;
  ListEntry* previous;
};
struct CountedName {
  uint16_t length;  // bytes
  uint16_t capacity;
  const uint16_t* text;
};
struct LoaderData {
  uint32_t length;
  uint8_t initialized;
  void* ssHandle;
  ListEntry inLoadOrder;
};
struct ModuleRecord {
  ListEntry inLoadOrder;
  ListEntry inMemoryOrder;
  ListEntry inInitializationOrder;
  uintptr_t base;
  void* entryPoint;
  uint32_t imageSize;
  CountedName fullName;
  CountedName baseName;
};
static_assert(offsetof(LoaderData, inLoadOrder) == 0x0C, "PEB_LDR_DATA.InLoadOrderModuleList");
static_assert(offsetof(ModuleRecord, base) == 0x18, "LDR_DATA_TABLE_ENTRY.DllBase");
static_assert(offsetof(ModuleRecord, imageSize) == 0x20, "LDR_DATA_TABLE_ENTRY.SizeOfImage");
static_assert(offsetof(ModuleRecord, baseName) == 0x2C, "LDR_DATA_TABLE_ENTRY.BaseDllName");
constexpr size_t kPebLoaderData = 0x0C;

// A game has a few hundred modules at most; a list that goes on longer is being
// changed under us (read without the loader's lock, which the crash may hold).
constexpr int kMostModules = 2048;

const LoaderData* ProcessLoaderData() {
  const uint8_t* peb;
  asm volatile("mov %%fs:0x30, %0" : "=r"(peb));
  if (!ReadableMemory(peb + kPebLoaderData, sizeof(void*))) return nullptr;
  const auto* data = *reinterpret_cast<const LoaderData* const*>(peb + kPebLoaderData);
  return ReadableMemory(data, sizeof *data) ? data : nullptr;
}

// The loaded module whose image holds `address`, read from the loader's list without its
// lock: GetModuleFileName and the tool-help and psapi lists take that lock, which the
// faulting thread (or one ended under it) may hold. Another thread may load or unload a
// module meanwhile; every record is checked before it is read and the walk is bounded,
// so the worst a change can do is a signature without a name.
bool FindModule(uintptr_t address, FaultSignature* fault) {
  const LoaderData* data = ProcessLoaderData();
  if (!data) return false;
  const ListEntry* head = &data->inLoadOrder;
  const ListEntry* entry = head->next;
  for (int i = 0; i < kMostModules && entry != head; ++i) {
    if (!ReadableMemory(entry, sizeof(ModuleRecord))) return false;
    const auto* module = reinterpret_cast<const ModuleRecord*>(entry);
    if (address >= module->base && address - module->base < module->imageSize) {
      const CountedName name = module->baseName;
      const size_t units = name.length / 2;
      if (units && !ReadableMemory(name.text, units * 2)) return false;
      SetFaultModule(fault, name.text, units);
      fault->offset = static_cast<uint32_t>(address - module->base);
      return true;
    }
    entry = module->inLoadOrder.next;
  }
  return false;
}

}  // namespace

FaultSignature FaultSignatureOf(const EXCEPTION_POINTERS* exception) {
  FaultSignature fault = {};
  SetNoFaultModule(&fault);
  if (!ReadableMemory(exception, sizeof *exception)) return fault;
  const EXCEPTION_RECORD* record = exception->ExceptionRecord;
  if (!ReadableMemory(record, sizeof *record)) return fault;
  fault.code = record->ExceptionCode;
  if (!FindModule(reinterpret_cast<uintptr_t>(record->ExceptionAddress), &fault)) SetNoFaultModule(&fault);
  return fault;
}
