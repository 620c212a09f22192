// Symbol preparation and the walk itself.
#include "crash/stack_walker.h"

#include <cstring>

#include "crash/bounded_copy.h"
#include "crash/endless_stack_guard.h"
#include "crash/symbol_path.h"

namespace {

// Frames in a row that return to themselves before the walk gives up.
constexpr int32_t kEndlessFrameLimit = 1000;

// A directory or variable read into a 1024-byte buffer; null when it cannot be read
// whole.
const char* ReadEnvironment(const char* name, char (&buffer)[1024]) {
  DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  buffer[sizeof buffer - 1] = '\0';
  return length > 0 && length < sizeof buffer ? buffer : nullptr;
}

void ComposeSearchPath(char (&path)[kSymbolPathCapacity]) {
  char currentDirectory[1024], executable[1024], ntPath[1024], ntAlternate[1024],
      systemRoot[1024];
  SymbolPathSources sources{};
  DWORD length = GetCurrentDirectoryA(sizeof currentDirectory, currentDirectory);
  currentDirectory[sizeof currentDirectory - 1] = '\0';
  if (length > 0 && length < sizeof currentDirectory) sources.currentDirectory = currentDirectory;
  length = GetModuleFileNameA(nullptr, executable, sizeof executable);
  executable[sizeof executable - 1] = '\0';
  if (length > 0 && length < sizeof executable) sources.executablePath = executable;
  sources.ntSymbolPath = ReadEnvironment("_NT_SYMBOL_PATH", ntPath);
  sources.ntAlternatePath = ReadEnvironment("_NT_ALTERNATE_SYMBOL_PATH", ntAlternate);
  sources.systemRoot = ReadEnvironment("SYSTEMROOT", systemRoot);
  ComposeSymbolPath(sources, path, sizeof path);
}

}  // namespace

bool StackWalker::PrepareSymbols() {
  char searchPath[kSymbolPathCapacity];
  ComposeSearchPath(searchPath);
  if (!dbghelp_.Bind(searchPath)) return false;
  // The handler starts without the process's modules (no invasion): each is loaded here.
  LoadModulesWithToolhelp() || LoadModulesWithPsapi();
  return true;
}

void StackWalker::Place(StackFrameInfo& frame, IMAGEHLP_SYMBOL64& symbol) {
  const HANDLE process = dbghelp_.process();
  DWORD64 symbolDisplacement = 0;
  if (dbghelp_.SymGetSymFromAddr64(process, frame.address, &symbolDisplacement, &symbol))
    BoundedCopy(frame.name, kFrameTextCapacity, symbol.Name);
  IMAGEHLP_LINE64 line;
  std::memset(&line, 0, sizeof line);
  line.SizeOfStruct = sizeof line;
  DWORD lineDisplacement = 0;
  if (dbghelp_.SymGetLineFromAddr64 &&
      dbghelp_.SymGetLineFromAddr64(process, frame.address, &lineDisplacement, &line) &&
      line.FileName) {
    frame.lineNumber = line.LineNumber;
    BoundedCopy(frame.sourceFile, kFrameTextCapacity, line.FileName);
  } else {
    // Where the handler has no line (Windows' dbghelp reads no DWARF), the plug-in's own
    // frames are placed from its DWARF in memory.
    ownDebugInfo_.Place(frame);
  }
}

bool StackWalker::WalkCallingThread() {
  if (!PrepareSymbols()) return false;

  // Start at this very routine: its own program counter, frame and stack pointer.
  CONTEXT context;
  std::memset(&context, 0, sizeof context);
  context.ContextFlags = CONTEXT_FULL;
  DWORD eip, esp;
  asm volatile("call 1f\n1: pop %0" : "=r"(eip));
  asm volatile("mov %%esp, %0" : "=r"(esp));
  context.Eip = eip;
  context.Ebp = static_cast<DWORD>(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
  context.Esp = esp;

  STACKFRAME64 stackFrame;
  std::memset(&stackFrame, 0, sizeof stackFrame);
  stackFrame.AddrPC.Offset = context.Eip;
  stackFrame.AddrPC.Mode = AddrModeFlat;
  stackFrame.AddrFrame.Offset = context.Ebp;
  stackFrame.AddrFrame.Mode = AddrModeFlat;
  stackFrame.AddrStack.Offset = context.Esp;
  stackFrame.AddrStack.Mode = AddrModeFlat;

  // Room for a 1024-character name behind the record's header.
  union {
    IMAGEHLP_SYMBOL64 record;
    char bytes[sizeof(IMAGEHLP_SYMBOL64) + kFrameTextCapacity];
  } symbol;
  StackFrameInfo frame;
  EndlessStackGuard guard(kEndlessFrameLimit);
  // Until the first frame without source information: nothing after it is kept.
  while (discardCount_ >= 0) {
    // No read routine: dbghelp reads this process's memory itself.
    if (!dbghelp_.StackWalk64(kMachineI386, dbghelp_.process(), GetCurrentThread(), &stackFrame,
                              &context, nullptr, dbghelp_.SymFunctionTableAccess64,
                              dbghelp_.SymGetModuleBase64, nullptr))
      break;
    if (!guard.Admit(stackFrame.AddrPC.Offset, stackFrame.AddrReturn.Offset)) break;
    ResetFrame(frame, stackFrame.AddrPC.Offset);
    if (frame.address != 0) {
      std::memset(&symbol, 0, sizeof symbol);
      symbol.record.SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
      symbol.record.MaxNameLength = kFrameTextCapacity;
      Place(frame, symbol.record);
    }
    stacktrace::CollectFrame(frame, discardCount_, frames_);
    if (stackFrame.AddrReturn.Offset == 0) break;
  }
  return true;
}
