// The parts of the C runtime that run inside the loader's notifications of our image
// (mingw-w64 links them into every DLL), in versions that take no lock and use no heap:
// the table of exit functions that static construction fills at the attach, and the
// destructors of per-thread keys that run at each thread's end. The runtime's own take
// its critical sections there, under the loader's lock, for every thread of the game, and
// free their lists at the process's end, where a thread killed by ExitProcess may still
// hold either lock. They replace the runtime's (the linker takes a symbol from an archive
// only when no object defines it).
//
// Both tables fill while the loader holds its lock (static construction at our attach;
// keys when the runtime's thread support starts) and are read at notifications, which the
// loader runs one at a time; a slot is claimed with one interlocked step all the same.
#include <windows.h>

#include <cstdint>

extern "C" {

// --- exit functions (mingw-w64's onexit_table.c) -------------------------------------------

using ExitFunction = void(__cdecl*)();
struct OnexitTable {  // _onexit_table_t
  ExitFunction* first;
  ExitFunction* last;
  ExitFunction* end;
};

int __cdecl _initialize_onexit_table(OnexitTable* table);
int __cdecl _register_onexit_function(OnexitTable* table, int(__cdecl* function)());
int __cdecl _execute_onexit_table(OnexitTable* table);

// --- per-thread key destructors (mingw-w64's tlsthrd.c) -------------------------------------

int __cdecl ___w64_mingwthr_add_key_dtor(DWORD key, void(__cdecl* destructor)(void*));
int __cdecl ___w64_mingwthr_remove_key_dtor(DWORD key);
BOOL __cdecl __mingw_TLScallback(HANDLE module, DWORD reason, LPVOID reserved);
void __cdecl _fpreset();

}  // extern "C"

namespace {

// Our image registers a handful (the runtime's and libgcc's own); a full table refuses.
constexpr int kExitFunctions = 32;
ExitFunction exitFunctions[kExitFunctions];
volatile LONG exitCount;

struct KeyDestructor {
  DWORD key;
  void(__cdecl* destructor)(void*);  // null: removed, or not yet published
};
constexpr int kKeys = 16;
KeyDestructor keys[kKeys];
volatile LONG keyCount;

void RunKeyDestructors() {
  const LONG count = keyCount < kKeys ? keyCount : kKeys;
  for (LONG i = 0; i < count; ++i) {
    void(__cdecl* destructor)(void*) = keys[i].destructor;
    if (!destructor) continue;
    void* value = TlsGetValue(keys[i].key);
    if (value && GetLastError() == ERROR_SUCCESS) destructor(value);
  }
}

}  // namespace

int __cdecl _initialize_onexit_table(OnexitTable* table) {
  if (!table) return -1;
  table->first = table->last = table->end = nullptr;
  return 0;
}

// The image has one table (the runtime's atexit list); it lives in exitFunctions.
int __cdecl _register_onexit_function(OnexitTable* table, int(__cdecl* function)()) {
  if (!table) return -1;
  const LONG slot = InterlockedIncrement(&exitCount) - 1;
  if (slot >= kExitFunctions) return -1;
  exitFunctions[slot] = reinterpret_cast<ExitFunction>(function);
  table->first = exitFunctions;
  table->last = exitFunctions + slot + 1;
  table->end = exitFunctions + kExitFunctions;
  return 0;
}

// Latest first, as the C runtime runs them; each at most once.
int __cdecl _execute_onexit_table(OnexitTable* table) {
  if (!table || !table->first) return 0;
  ExitFunction* first = table->first;
  ExitFunction* last = table->last;
  _initialize_onexit_table(table);
  while (--last >= first)
    if (ExitFunction function = *last) {
      *last = nullptr;
      function();
    }
  return 0;
}

int __cdecl ___w64_mingwthr_add_key_dtor(DWORD key, void(__cdecl* destructor)(void*)) {
  if (!destructor) return 0;
  const LONG slot = InterlockedIncrement(&keyCount) - 1;
  if (slot >= kKeys) return -1;
  keys[slot].key = key;
  InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&keys[slot].destructor),
                             reinterpret_cast<void*>(destructor));
  return 0;
}

int __cdecl ___w64_mingwthr_remove_key_dtor(DWORD key) {
  const LONG count = keyCount < kKeys ? keyCount : kKeys;
  for (LONG i = 0; i < count; ++i)
    if (keys[i].key == key) keys[i].destructor = nullptr;
  return 0;
}

// A thread's end runs its key destructors. The process detach runs none: at the
// process's end the memory goes with the process (and the loader may not say which end
// it is: Wine hands TLS callbacks no reserved argument), and at an unload the unloading
// thread's few bytes of per-thread data stay behind.
BOOL __cdecl __mingw_TLScallback(HANDLE, DWORD reason, LPVOID) {
  if (reason == DLL_THREAD_ATTACH) _fpreset();  // a new thread's x87 state, as the runtime sets it
  if (reason == DLL_THREAD_DETACH) RunKeyDestructors();
  return TRUE;
}
