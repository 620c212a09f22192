// Symbol preparation and the walk itself.
#include "crash/stack_walker.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "crash/bounded_copy.h"
#include "crash/dbghelp_binding.h"
#include "crash/endless_stack_guard.h"
#include "crash/symbol_kind.h"
#include "crash/symbol_path.h"

namespace {

// The read routine of the walk under way: StackWalk64 has no datum of its own to
// carry them, so they live here. Only one walk runs at a time (dbghelp is not
// reentrant anyway).
StackWalker::ReadMemoryCallback walkReadCallback;
LPVOID walkReadUserData;

BOOL __stdcall ReadWalkMemory(HANDLE process, DWORD64 address, PVOID buffer, DWORD size,
                              DWORD* bytesRead) {
  if (walkReadCallback)
    return walkReadCallback(process, address, buffer, size, bytesRead, walkReadUserData);
  SIZE_T read = 0;
  BOOL ok = ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)),
                              buffer, size, &read);
  if (bytesRead) *bytesRead = static_cast<DWORD>(read);
  return ok;
}

// A directory or variable read into a 1024-byte buffer; null when it cannot be read
// whole.
const char* ReadEnvironment(const char* name, char (&buffer)[1024]) {
  DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  buffer[sizeof buffer - 1] = '\0';
  return length > 0 && length < sizeof buffer ? buffer : nullptr;
}

// The composed path in a heap block of 4096 bytes; null (last error 8) without memory.
char* ComposeSearchPath(const char* userPath, bool useSymbolServer) {
  char* path = static_cast<char*>(std::malloc(kSymbolPathCapacity));
  if (!path) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  char currentDirectory[1024], executable[1024], ntPath[1024], ntAlternate[1024],
      systemRoot[1024], systemDrive[1024];
  SymbolPathSources sources{};
  sources.userPath = userPath;
  DWORD length = GetCurrentDirectoryA(sizeof currentDirectory, currentDirectory);
  currentDirectory[sizeof currentDirectory - 1] = '\0';
  if (length > 0 && length < sizeof currentDirectory) sources.currentDirectory = currentDirectory;
  length = GetModuleFileNameA(nullptr, executable, sizeof executable);
  executable[sizeof executable - 1] = '\0';
  if (length > 0 && length < sizeof executable) sources.executablePath = executable;
  sources.ntSymbolPath = ReadEnvironment("_NT_SYMBOL_PATH", ntPath);
  sources.ntAlternatePath = ReadEnvironment("_NT_ALTERNATE_SYMBOL_PATH", ntAlternate);
  sources.systemRoot = ReadEnvironment("SYSTEMROOT", systemRoot);
  sources.systemDrive = ReadEnvironment("SYSTEMDRIVE", systemDrive);
  sources.useSymbolServer = useSymbolServer;
  ComposeSymbolPath(sources, path, kSymbolPathCapacity);
  return path;
}

}  // namespace

StackWalker::StackWalker(uint32_t options, const char* symbolPath, DWORD processId, HANDLE process)
    : binding_(new (std::nothrow) DbgHelpBinding(this, process)),  // null is checked at use
      process_(process),
      processId_(processId),
      options_(options) {
  if (symbolPath) {
    userSymbolPath_ = DuplicateText(symbolPath);
    options_ |= BuildSymbolPath;
  }
}

StackWalker::~StackWalker() {
  std::free(userSymbolPath_);
  delete binding_;
}

BOOL StackWalker::PrepareSymbols() {
  if (!binding_) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return FALSE;
  }
  if (modulesLoaded_) return TRUE;

  char* searchPath = nullptr;
  if (options_ & BuildSymbolPath) {
    searchPath = ComposeSearchPath(userSymbolPath_, (options_ & UseSymbolServer) != 0);
    if (!searchPath) return FALSE;
  }
  bool bound = binding_->Bind(searchPath);
  std::free(searchPath);
  if (!bound) {
    OnWalkError("Error while initializing dbghelp.dll", 0, 0);
    SetLastError(ERROR_DLL_INIT_FAILED);
    return FALSE;
  }

  bool loaded = LoadModulesWithToolhelp() || LoadModulesWithPsapi();
  if (loaded) modulesLoaded_ = TRUE;
  return loaded ? TRUE : FALSE;
}

void StackWalker::FillFrame(StackFrameInfo& frame, IMAGEHLP_SYMBOL64& symbol,
                            IMAGEHLP_LINE64& line, ModuleRecordV3& module) {
  DbgHelpBinding& dbghelp = *binding_;
  if (dbghelp.SymGetSymFromAddr64(process_, frame.address, &frame.symbolDisplacement, &symbol)) {
    BoundedCopy(frame.name, kFrameTextCapacity, symbol.Name);
    dbghelp.UnDecorateSymbolName(symbol.Name, frame.undecoratedName, kFrameTextCapacity,
                                 kUndnameNameOnly);
    dbghelp.UnDecorateSymbolName(symbol.Name, frame.undecoratedFullName, kFrameTextCapacity,
                                 kUndnameComplete);
    frame.undecoratedName[kFrameTextCapacity - 1] = '\0';
    frame.undecoratedFullName[kFrameTextCapacity - 1] = '\0';
  } else {
    OnWalkError("SymGetSymFromAddr64", GetLastError(), frame.address);
  }
  if (dbghelp.SymGetLineFromAddr64) {
    DWORD displacement = 0;
    if (dbghelp.SymGetLineFromAddr64(process_, frame.address, &displacement, &line)) {
      frame.lineDisplacement = displacement;
      frame.lineNumber = line.LineNumber;
      if (line.FileName) BoundedCopy(frame.sourceFile, kFrameTextCapacity, line.FileName);
    } else {
      OnWalkError("SymGetLineFromAddr64", GetLastError(), frame.address);
    }
  }
  if (dbghelp.ReadModuleRecord(frame.address, &module)) {
    frame.symbolKind = SymbolKindText(module.SymType);
    BoundedCopy(frame.moduleName, kFrameTextCapacity, module.ModuleName);
    frame.moduleBase = module.BaseOfImage;
    BoundedCopy(frame.loadedImageName, kFrameTextCapacity, module.LoadedImageName);
  } else {
    OnWalkError("SymGetModuleInfo64", GetLastError(), frame.address);
  }
}

BOOL StackWalker::WalkStack(HANDLE thread, const CONTEXT* givenContext, ReadMemoryCallback read,
                            LPVOID userData) {
  if (!modulesLoaded_) PrepareSymbols();
  if (!binding_ || !binding_->module) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return FALSE;
  }
  DbgHelpBinding& dbghelp = *binding_;
  walkReadCallback = read;
  walkReadUserData = userData;

  CONTEXT context;
  if (!givenContext) {
    std::memset(&context, 0, sizeof context);
    context.ContextFlags = CONTEXT_FULL;
    if (thread == GetCurrentThread()) {
      // Start at this very routine: its own program counter, frame and stack pointer.
      DWORD eip, esp;
      asm volatile("call 1f\n1: pop %0" : "=r"(eip));
      asm volatile("mov %%esp, %0" : "=r"(esp));
      context.Eip = eip;
      context.Ebp = static_cast<DWORD>(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
      context.Esp = esp;
    } else {
      SuspendThread(thread);
      if (!GetThreadContext(thread, &context)) {
        ResumeThread(thread);
        return FALSE;
      }
    }
  } else {
    context = *givenContext;  // StackWalk64 changes the context it is given
  }

  STACKFRAME64 stackFrame;
  std::memset(&stackFrame, 0, sizeof stackFrame);
  stackFrame.AddrPC.Offset = context.Eip;
  stackFrame.AddrPC.Mode = AddrModeFlat;
  stackFrame.AddrFrame.Offset = context.Ebp;
  stackFrame.AddrFrame.Mode = AddrModeFlat;
  stackFrame.AddrStack.Offset = context.Esp;
  stackFrame.AddrStack.Mode = AddrModeFlat;

  StackFrameInfo frame;
  ResetFrame(frame, 0);
  bool frameSinceLast = false;

  // Room for a 1024-character name behind the record's header.
  auto* symbol = static_cast<IMAGEHLP_SYMBOL64*>(std::calloc(1, sizeof(IMAGEHLP_SYMBOL64) + 1024));
  if (symbol) {
    symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
    symbol->MaxNameLength = 1024;
    IMAGEHLP_LINE64 line;
    std::memset(&line, 0, sizeof line);
    line.SizeOfStruct = sizeof line;
    ModuleRecordV3 module;
    std::memset(&module, 0, sizeof module);
    module.SizeOfStruct = sizeof module;

    EndlessStackGuard guard(endlessFrameLimit_);
    for (int n = 0;; ++n) {
      if (!dbghelp.StackWalk64(kMachineI386, process_, thread, &stackFrame, &context,
                               ReadWalkMemory, dbghelp.SymFunctionTableAccess64,
                               dbghelp.SymGetModuleBase64, nullptr)) {
        OnWalkError("StackWalk64", 0, stackFrame.AddrPC.Offset);
        break;
      }
      ResetFrame(frame, stackFrame.AddrPC.Offset);
      if (!guard.Admit(stackFrame.AddrPC.Offset, stackFrame.AddrReturn.Offset)) {
        OnWalkError("StackWalk64-Endless-Callstack!", 0, stackFrame.AddrPC.Offset);
        break;
      }
      if (stackFrame.AddrPC.Offset != 0) FillFrame(frame, *symbol, line, module);
      OnStackEntry(n == 0 ? kFirstEntry : kNextEntry, frame);
      frameSinceLast = true;
      if (stackFrame.AddrReturn.Offset == 0) {
        OnStackEntry(kLastEntry, frame);
        frameSinceLast = false;
        SetLastError(ERROR_SUCCESS);
        break;
      }
    }
  }
  std::free(symbol);
  if (frameSinceLast) OnStackEntry(kLastEntry, frame);
  if (!givenContext) ResumeThread(thread);
  return TRUE;
}
