// The crash path of the real plug-in: "crash" ends the game through our unhandled-
// exception filter, which leaves a real minidump; "WriteMD" asks tier0 for its own.
// Each crash runs in a child process (the crash ends it) with a time-out, so a failure
// path that hands the exception on can never leave a test waiting on a debugger.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "plugin_in_game.h"
#include "probe.h"
#include "scenario.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kChildTimeoutMs = 40000;
constexpr double kHeapDumpLimitMs = 10000;
constexpr const char* kSaved = " An unhandled exception occured. Dump saved to: Murmelon.dmp";
constexpr const char* kCreateFailed =
    " An unhandled exception occured. Error on creating dump file: Murmelon.dmp. Windows error ";

using scenario::ReadFile;

template <typename T>
bool ReadAt(const std::string& bytes, uint64_t offset, T* out) {
  if (offset + sizeof(T) > bytes.size()) return false;
  std::memcpy(out, bytes.data() + offset, sizeof(T));
  return true;
}

// The minidump format's header, stream directory entry and exception stream start.
struct DumpHeader {
  uint32_t signature, version, streamCount, directoryRva, checkSum, timeDateStamp;
  uint64_t flags;
};
struct DumpDirectoryEntry {
  uint32_t type, dataSize, rva;
};
struct DumpExceptionStart {
  uint32_t threadId, alignment, exceptionCode, exceptionFlags;
  uint64_t exceptionRecord, exceptionAddress;
};
static_assert(sizeof(DumpHeader) == 32 && sizeof(DumpDirectoryEntry) == 12 &&
                  sizeof(DumpExceptionStart) == 32,
              "minidump layouts");
constexpr uint32_t kMdmp = 0x504D444D;  // "MDMP"
constexpr uint32_t kExceptionStream = 6;

struct DumpFacts {
  bool valid = false;            // signature and every stream inside the file
  bool hasException = false;
  DumpExceptionStart exception{};
};

DumpFacts InspectDump(const std::string& dump) {
  DumpFacts facts;
  DumpHeader header;
  if (!ReadAt(dump, 0, &header) || header.signature != kMdmp) return facts;
  if ((header.version & 0xFFFF) != 0xA793) return facts;  // MINIDUMP_VERSION
  facts.valid = header.streamCount > 0;
  for (uint32_t i = 0; i < header.streamCount; ++i) {
    DumpDirectoryEntry entry;
    if (!ReadAt(dump, header.directoryRva + uint64_t{i} * sizeof entry, &entry) ||
        uint64_t{entry.rva} + entry.dataSize > dump.size()) {
      facts.valid = false;
      return facts;
    }
    if (entry.type == kExceptionStream && entry.dataSize >= sizeof(DumpExceptionStart))
      facts.hasException = ReadAt(dump, entry.rva, &facts.exception);
  }
  return facts;
}

// What the crashing child printed about itself before the fault: "thread <id> plugin
// <base> <size>\n".
struct ChildFacts {
  unsigned long thread = 0, pluginBase = 0, pluginSize = 0;
};
ChildFacts ParseChild(const std::string& out) {
  ChildFacts facts;
  size_t at = out.find("thread ");
  if (at != std::string::npos)
    sscanf(out.c_str() + at, "thread %lu plugin %lx %lx", &facts.thread, &facts.pluginBase,
           &facts.pluginSize);
  return facts;
}

void PrintChildFacts(const world::Game& game) {
  auto base = reinterpret_cast<const uint8_t*>(game.Plugin());
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  printf("thread %lu plugin %lx %lx\n", GetCurrentThreadId(),
         static_cast<unsigned long>(reinterpret_cast<uintptr_t>(base)),
         static_cast<unsigned long>(nt->OptionalHeader.SizeOfImage));
  fflush(stdout);
}

fs::path ChildFolder(const std::string& mode) {
  return scenario::StartDir() / "games" / (scenario::Name() + "." + mode);
}

// A stack overflow on the engine's thread (the host's, here): deep recursion, as in a
// runaway engine routine.
volatile bool runaway = true;
__attribute__((noinline)) int Recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  return runaway ? Recurse(depth + 1) + frame[0] : 0;
}

// What the process's filter (the plug-in's) answers when called directly, as the system
// would call it for an exception of this thread, and whether the dump file is closed
// again: "filter returned <n>, dump file <closed|open|absent>\n".
void CallFilterDirectly() {
  LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(filter);
  CONTEXT context{};
  RtlCaptureContext(&context);
  EXCEPTION_RECORD record{};
  record.ExceptionCode = 0xE0000001;
  record.ExceptionAddress = reinterpret_cast<void*>(context.Eip);
  EXCEPTION_POINTERS pointers{&record, &context};
  const LONG result = filter ? filter(&pointers) : -1;
  // Nobody may hold the file any more: an exclusive opening works.
  HANDLE file = CreateFileA("Murmelon.dmp", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD error = GetLastError();
  const char* state = file != INVALID_HANDLE_VALUE ? "closed"
                      : error == ERROR_FILE_NOT_FOUND ? "absent" : "open";
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  printf("\nfilter returned %ld, dump file %s\n", static_cast<long>(result), state);
}

// Loads and starts the plug-in on a supported build and types "crash". The first
// argument says what is in the way:
//   "directory"   a directory named Murmelon.dmp is in the way
//   "held"        the file is open here without sharing
//   "nodump"      the game folder's dbghelp.dll lacks the minidump writer
//   "failing"     the game folder's dbghelp.dll has one that fails
//   "hanging"     ... one that never returns
//   <path>        an earlier dump, put in place (with extra bytes) before the crash
// and any further ones how it happens: "overflow" (the stack runs over instead of
// "crash"), "locked" (the game's thread holds the loader lock as it faults, as inside a
// module's entry routine), "heap" (it holds the process heap's lock), "direct" (the filter called directly, no fault), "xp" (the XP
// flavour), "probe" (under the loader-lock probe).
CHILD_MODE(crash) {
  const std::vector<std::string>& args = scenario::Args();
  auto has = [&](const char* arg) { return std::find(args.begin(), args.end(), arg) != args.end(); };
  world::Options options;
  if (has("xp")) options.flavour = "Murmelon_W_XP_D";
  options.loaderProbe = has("probe");
  world::Game game(options);
  if (!plugin_in_game::WithPlugin(game).LoadPlugin() || game.Start() != 1) {
    printf("plug-in not started\n");
    return;
  }
  std::string how = args.empty() ? "" : args[0];
  HANDLE held = INVALID_HANDLE_VALUE;
  if (how == "directory") {
    CreateDirectoryA("Murmelon.dmp", nullptr);
  } else if (how == "held") {
    held = CreateFileA("Murmelon.dmp", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) printf("cannot hold Murmelon.dmp open\n");
  } else if (how == "nodump" || how == "failing" || how == "hanging") {
    fs::path stub = world::ModulesDir() / ("dbghelp_" + how + ".dll");
    if (!CopyFileW(stub.wstring().c_str(), L"dbghelp.dll", FALSE)) printf("no dbghelp stub\n");
  } else if (!how.empty() && how[0] != '-') {
    std::string old = ReadFile(how) + std::string(1 << 20, 'X');
    std::ofstream("Murmelon.dmp", std::ios::binary) << old;
  }
  PrintChildFacts(game);
  world::probe::Phase phase("crash");
  if (has("direct")) {
    CallFilterDirectly();
    return;
  }
  if (has("locked")) {
    using LockLoader = LONG(NTAPI*)(ULONG flags, ULONG* state, ULONG_PTR* cookie);
    auto lock = reinterpret_cast<LockLoader>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrLockLoaderLock")));
    ULONG_PTR cookie = 0;
    if (!lock || lock(0, nullptr, &cookie) != 0) printf("cannot take the loader lock\n");
  }
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  printf("fault time %llu\n", (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  fflush(stdout);
  if (has("overflow")) printf("still running after the overflow %d\n", Recurse(0));
  // As inside a heap function that faults on a broken heap: the faulting thread holds
  // the heap's lock, which every allocation of another thread waits for.
  if (has("heap") && !HeapLock(GetProcessHeap())) printf("cannot take the heap's lock\n");
  game.Command("crash");
  printf("still running after \"crash\"\n");
}

// The host's own filters: one installed before the plug-in loads, one that a later
// component may install over the plug-in's while it is loaded.
LONG WINAPI FilterOf(const char* who, EXCEPTION_POINTERS* exception) {
  printf("%s filter: 0x%lx at %p\n", who,
         static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode),
         exception->ExceptionRecord->ExceptionAddress);
  fflush(stdout);
  return EXCEPTION_EXECUTE_HANDLER;  // the process ends with the exception code
}
LONG WINAPI HostFilter(EXCEPTION_POINTERS* exception) { return FilterOf("host", exception); }
LONG WINAPI LaterFilter(EXCEPTION_POINTERS* exception) { return FilterOf("later", exception); }

// The game loads, starts, stops and unloads the plug-in and goes on, then faults.
// Argument "later": another filter is installed over the plug-in's while it is loaded.
CHILD_MODE(unload_then_crash) {
  SetUnhandledExceptionFilter(HostFilter);
  world::Game game;
  if (!game.PluginInFolder()) skip("the plug-in was not built\n");
  if (!game.LoadPlugin() || game.Start() != 1) {
    printf("plug-in not started\n");
    return;
  }
  if (!scenario::Args().empty() && scenario::Args()[0] == "later")
    SetUnhandledExceptionFilter(LaterFilter);
  PrintChildFacts(game);
  game.Stop();
  if (!game.Unload() || GetModuleHandleA("Murmelon_W_7_D.asi")) printf("not unloaded\n");
  fflush(stdout);
  *static_cast<volatile int*>(nullptr) = 1;
  printf("still running after the fault\n");
}

// A crash child that ended with `code` after the success message, which ends its output,
// and left a minidump naming its faulting thread and that code. Returns the dump's bytes.
std::string CheckSavedDump(const scenario::ChildResult& crashed, DWORD code,
                           scenario::Where at = SCENARIO_CALLER) {
  ok_at(at, crashed.started && !crashed.timedOut, "child did not run to its end (timed out %d)\n",
        crashed.timedOut);
  ok_at(at, crashed.exitCode == code, "exit code 0x%lx, expected 0x%lx\n", crashed.exitCode, code);
  ChildFacts child = ParseChild(crashed.out);
  ok_at(at, child.thread != 0, "child printed no facts: \"%s\"\n", scenario::Escape(crashed.out).c_str());
  // The message ends the output: nothing after it, not even a line break.
  size_t lineEnd = crashed.out.rfind('\n');
  ok_bytes_at(at, crashed.out.substr(lineEnd == std::string::npos ? 0 : lineEnd + 1), kSaved);
  ok_at(at, !fs::exists(ChildFolder("crash") / "Murmelon.dmp.part"), "the unfinished name stayed\n");

  std::string dump = ReadFile(ChildFolder("crash") / "Murmelon.dmp");
  DumpFacts facts = InspectDump(dump);
  ok_at(at, facts.valid, "Murmelon.dmp (%u bytes) is no well-formed minidump\n",
        static_cast<unsigned>(dump.size()));
  ok_at(at, facts.hasException, "the dump has no exception stream\n");
  ok_at(at, facts.exception.threadId == child.thread, "exception stream names thread %u, faulted %lu\n",
        facts.exception.threadId, child.thread);
  ok_at(at, facts.exception.exceptionCode == code, "exception code 0x%x\n",
        facts.exception.exceptionCode);
  return dump;
}

// The system's words for an error, as the filter is to print them after its code.
std::string SystemText(DWORD code) {
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM |
                     FORMAT_MESSAGE_MAX_WIDTH_MASK,
                 nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
                 nullptr);
  std::string words = text ? text : "";
  if (text) LocalFree(text);
  return words;
}

}  // namespace

SCENARIO(crash_writes_minidump_of_the_fault) {
  // Under the loader-lock probe: nothing of the crash path runs under the lock.
  auto first = scenario::RunChildMode("crash", {"-", "probe"}, kChildTimeoutMs);
  const std::string dump = CheckSavedDump(first, 0xC0000005);
  ChildFacts child = ParseChild(first.out);
  uint64_t address = InspectDump(dump).exception.exceptionAddress;
  ok(address >= child.pluginBase && address < child.pluginBase + child.pluginSize,
     "fault at 0x%llx, outside the plug-in (0x%lx, 0x%lx bytes)\n",
     static_cast<unsigned long long>(address), child.pluginBase, child.pluginSize);
  const plugin_in_game::ProbedPhase crash =
      plugin_in_game::Probed(ReadFile(ChildFolder("crash") / "probe.journal"), "crash");
  plugin_in_game::CheckUnderLock(crash, {});
  ok(crash.seen.count("MiniDumpWriteDump") == 1, "the probe saw no dump written\n");
  fs::path dumpPath = ChildFolder("crash") / "Murmelon.dmp";

  // A second crash, of the XP flavour, over the first dump (made longer on purpose)
  // writes a new file. Both dumps stay for the dump reader's test (tools.read_crash).
  fs::path saved = scenario::StartDir() / "games" / (scenario::Name() + ".first.dmp");
  CopyFileW(dumpPath.wstring().c_str(), saved.wstring().c_str(), FALSE);
  auto second = scenario::RunChildMode("crash", {saved.string(), "xp"}, kChildTimeoutMs);
  ok(second.started && !second.timedOut, "second child timed out\n");
  ok(second.out.find(kSaved) != std::string::npos, "second crash printed \"%s\"\n",
     scenario::Escape(second.out).c_str());
  std::string again = ReadFile(dumpPath);
  DumpFacts secondFacts = InspectDump(again);
  ChildFacts secondChild = ParseChild(second.out);
  ok(secondFacts.valid && secondFacts.hasException, "second dump is not well-formed\n");
  ok(again.size() < dump.size() + (1 << 20), "second dump kept the old bytes (%u bytes)\n",
     static_cast<unsigned>(again.size()));
  ok(secondFacts.exception.threadId == secondChild.thread,
     "second dump names thread %u, the second crash faulted on %lu\n",
     secondFacts.exception.threadId, secondChild.thread);
}

// A crash child of `how` that must leave a saved dump; `bounded`: written within
// kHeapDumpLimitMs of the fault, timed from the fault to the dump's last write (the
// rename keeps it), without the process's end.
void CheckDumpOfThreadInTrouble(const std::vector<std::string>& how, DWORD code, bool bounded) {
  std::string args;
  for (const std::string& word : how) args += " " + word;
  scenario::Context context("%s", args.c_str());
  std::vector<std::string> childArgs = {"-"};
  childArgs.insert(childArgs.end(), how.begin(), how.end());
  auto child = scenario::RunChildMode("crash", childArgs, kChildTimeoutMs);
  CheckSavedDump(child, code);
  if (!bounded) return;
  unsigned long long faulted = 0;
  size_t at = child.out.find("fault time ");
  if (at != std::string::npos) faulted = strtoull(child.out.c_str() + at + 11, nullptr, 10);
  WIN32_FILE_ATTRIBUTE_DATA dump{};
  GetFileAttributesExW((ChildFolder("crash") / "Murmelon.dmp").wstring().c_str(),
                       GetFileExInfoStandard, &dump);
  const unsigned long long written =
      (static_cast<unsigned long long>(dump.ftLastWriteTime.dwHighDateTime) << 32) |
      dump.ftLastWriteTime.dwLowDateTime;
  const double ms = (static_cast<double>(written) - static_cast<double>(faulted)) / 10000.0;
  ok(faulted != 0 && written >= faulted && ms < kHeapDumpLimitMs,
     "the dump was written %.0f ms after the fault\n", ms);
  trace("dump written %.0f ms after the fault\n", ms);
}

// A stack overflow leaves a few pages of stack to the faulting thread, so the plug-in's
// own thread writes the dump (both flavours).
SCENARIO(crash_on_a_stack_overflow_writes_minidump) {
  for (const char* flavour : {"7", "xp"}) CheckDumpOfThreadInTrouble({"overflow", flavour}, 0xC00000FD, false);
}

// A thread that holds a lock as it faults writes its dump itself, as any other thread
// would wait for that lock: the loader lock (inside a module's entry routine), and the
// heap's (a fault inside a heap function), the latter in both flavours within seconds of
// the fault (the goal is 5 s; the limit leaves room for a loaded machine, where Wine alone
// takes 4-5 s for the dump; a writer waiting for the lock never ends).
SCENARIO(crash_holding_a_lock_writes_minidump) {
  CheckDumpOfThreadInTrouble({"locked", "7"}, 0xC0000005, false);
  for (const char* flavour : {"7", "xp"}) CheckDumpOfThreadInTrouble({"heap", flavour}, 0xC0000005, true);
}

// The dump file cannot be created: the filter says why and hands the exception on; the
// process must still end on its own (no debugger prompt in a headless run).
SCENARIO(crash_without_a_dump_file_says_why) {
  struct Row {
    const char* how;
    const char* code;
  } rows[] = {{"directory", "0x5: "}, {"held", "0x20: "}};
  for (const Row& row : rows) {
    auto child = scenario::RunChildMode("crash", {row.how}, kChildTimeoutMs);
    ok(child.started && !child.timedOut, "%s: the child did not end by itself\n", row.how);
    ok(child.exitCode != 0 && child.exitCode != 1, "%s: exit code 0x%lx\n", row.how,
       child.exitCode);
    size_t at = child.out.find(kCreateFailed);
    ok(at != std::string::npos, "%s: printed \"%s\"\n", row.how,
       scenario::Escape(child.out).c_str());
    if (at != std::string::npos) {
      std::string rest = child.out.substr(at + std::strlen(kCreateFailed));
      ok(rest.compare(0, std::strlen(row.code), row.code) == 0, "%s: error part \"%s\"\n",
         row.how, scenario::Escape(rest).c_str());
      ok(rest.find('\n') == std::string::npos || rest.find('\n') > rest.find(':') + 2,
         "%s: line break inside the message \"%s\"\n", row.how, scenario::Escape(rest).c_str());
    }
    ok(child.out.find("Dump saved") == std::string::npos, "%s: claims a saved dump\n", row.how);
    ok(child.out.find("still running") == std::string::npos, "%s: \"crash\" returned\n", row.how);
  }
  ok(fs::is_directory(ChildFolder("crash") / "Murmelon.dmp") ||
         fs::exists(ChildFolder("crash") / "Murmelon.dmp"),
     "the blocking file is gone\n");
}

SCENARIO(write_md_asks_tier0_once_with_a_null_argument) {
  world::Game game;
  plugin_in_game::Started(game);
  ok(game.HasCommand("WriteMD"), "no WriteMD command\n");
  game.ClearRecords();
  game.Command("WriteMD");
  ok_bytes(game.Journal(), "tier0 WriteMiniDump(null)\n");
  ok_bytes(game.Console(), "");
  ok(!fs::exists("Murmelon.dmp"), "WriteMD wrote our own dump\n");
  game.Stop();
}

SCENARIO(write_md_without_the_tier0_export_does_nothing) {
  world::Options options;
  options.tier0Export = false;
  world::Game game(options);
  plugin_in_game::Started(game);
  game.ClearRecords();
  game.Command("WriteMD");
  ok_bytes(game.Journal(), "");
  ok_bytes(game.Console(), "");
  game.Stop();
}

// A "crash" child run from a copy of this exe named `exeName`. Wine takes per-program DLL
// overrides from the registry, so only that copy gets `dbghelp` as its override for
// dbghelp ("" disables it, "native" prefers the world's stub that the child puts in its
// game folder) and no other test is touched.
scenario::ChildResult CrashWithDbghelpOverride(const std::string& exeName, const char* dbghelp,
                                               const std::vector<std::string>& args,
                                               scenario::Where at = SCENARIO_CALLER,
                                               DWORD timeoutMs = kChildTimeoutMs) {
  wchar_t self[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  fs::path copy = fs::path(std::wstring(self, length)).parent_path() / exeName;
  ok_at(at, CopyFileW(self, copy.wstring().c_str(), FALSE), "cannot copy the test program\n");
  HKEY key;
  std::string overrides = "Software\\Wine\\AppDefaults\\" + exeName + "\\DllOverrides";
  ok_at(at, RegCreateKeyExA(HKEY_CURRENT_USER, overrides.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                           nullptr, &key, nullptr) == ERROR_SUCCESS,
        "cannot set the DLL override\n");
  RegSetValueExA(key, "dbghelp", 0, REG_SZ, reinterpret_cast<const BYTE*>(dbghelp),
                 static_cast<DWORD>(strlen(dbghelp) + 1));
  RegCloseKey(key);
  std::vector<std::string> all = {"--game", scenario::Name() + ".crash", "--child", "crash"};
  all.insert(all.end(), args.begin(), args.end());
  auto child = scenario::RunChild(copy, all, timeoutMs);
  if (timeoutMs == kChildTimeoutMs)
    ok_at(at, child.started && !child.timedOut, "the child did not end by itself\n");
  return child;
}

// With a debug-help stub (nodump, failing) of the world in place of Wine's own.
scenario::ChildResult CrashWithDebugHelpStub(const std::string& stub,
                                             scenario::Where at = SCENARIO_CALLER) {
  return CrashWithDbghelpOverride("crash_dbghelp_" + stub + ".exe", "native", {stub}, at);
}

// Without dbghelp the filter cannot write anything: it says so and hands the exception on.
SCENARIO(crash_without_dbghelp_says_so) {
  auto child = CrashWithDbghelpOverride("crash_nodbghelp.exe", "", {});
  const std::string expected = " Cannot load dll DBGHELP.DLL. Windows error 0x7e: " + SystemText(0x7e);
  ok(child.out.find(expected) != std::string::npos, "printed \"%s\"\n",
     scenario::Escape(child.out).c_str());
  ok(!fs::exists(ChildFolder("crash") / "Murmelon.dmp"), "a dump file was created\n");
}

SCENARIO(crash_without_minidump_writer_says_so) {
  auto child = CrashWithDebugHelpStub("nodump");
  const std::string expected =
      " Cannot get address of MiniDumpWriteDump function. Windows error 0x7f: " + SystemText(0x7f);
  ok(child.out.find(expected) != std::string::npos, "printed \"%s\"\n",
     scenario::Escape(child.out).c_str());
  ok(!fs::exists(ChildFolder("crash") / "Murmelon.dmp"), "a dump file was created\n");
}

// The writer fails part-way: the filter says so, and what it wrote is gone, under either
// name, so nothing passes for a dump of this crash.
SCENARIO(crash_with_a_failing_minidump_writer_says_so) {
  auto child = CrashWithDebugHelpStub("failing");
  const std::string expected =
      " An unhandled exception occured. Error saving dump file: Murmelon.dmp. Windows error 0x70: " +
      SystemText(0x70);
  ok(child.out.find(expected) != std::string::npos, "printed \"%s\"\n",
     scenario::Escape(child.out).c_str());
  ok(child.out.find("Dump saved") == std::string::npos, "reported success\n");
  for (const char* name : {"Murmelon.dmp", "Murmelon.dmp.part"})
    ok(!fs::exists(ChildFolder("crash") / name), "%s was left\n", name);
}

// A dump that is never finished (the writer hangs; the player ends the game) leaves only
// its unfinished name: no Murmelon.dmp that would pass for a dump of this crash. While it
// is written no one else can open it (the stub writes "MDMP" only then).
SCENARIO(crash_with_a_writer_that_never_finishes_leaves_no_dump) {
  auto child = CrashWithDbghelpOverride("crash_dbghelp_hanging.exe", "native", {"hanging"},
                                        SCENARIO_CALLER, 15000);
  ok(child.started && child.timedOut, "the child ended by itself (exit 0x%lx)\n", child.exitCode);
  ok(!fs::exists(ChildFolder("crash") / "Murmelon.dmp"), "Murmelon.dmp was left\n");
  ok_bytes(ReadFile(ChildFolder("crash") / "Murmelon.dmp.part"), "MDMP");
}

// After an unload the process's filter is the one the plug-in found (or one installed
// over the plug-in's since): a later crash reaches it, not the freed module's code.
SCENARIO(crash_after_unload_reaches_the_previous_filter) {
  struct Row {
    const char* how;
    const char* filter;
  } rows[] = {{"", "host"}, {"later", "later"}};
  for (const Row& row : rows) {
    auto child = scenario::RunChildMode("unload_then_crash", {row.how}, kChildTimeoutMs);
    ok(child.started && !child.timedOut, "%s: the child did not end by itself\n", row.filter);
    ok(child.exitCode == 0xC0000005, "%s: exit code 0x%lx\n", row.filter, child.exitCode);
    ChildFacts plugin = ParseChild(child.out);
    unsigned long code = 0;
    void* address = nullptr;
    std::string expected = std::string(row.filter) + " filter: ";
    size_t at = child.out.find(expected);
    ok(at != std::string::npos && plugin.pluginBase != 0, "%s: printed \"%s\"\n", row.filter,
       scenario::Escape(child.out).c_str());
    if (at != std::string::npos)
      sscanf(child.out.c_str() + at + expected.size(), "0x%lx at %p", &code, &address);
    auto fault = reinterpret_cast<uintptr_t>(address);
    ok(code == 0xC0000005 &&
           (fault < plugin.pluginBase || fault >= plugin.pluginBase + plugin.pluginSize),
       "%s: filter saw 0x%lx at %p (the freed plug-in was at %lx, %lx bytes)\n", row.filter,
       code, address, plugin.pluginBase, plugin.pluginSize);
    ok(child.out.find("not unloaded") == std::string::npos, "%s: the plug-in stayed\n",
       row.filter);
    ok(!fs::exists(ChildFolder("unload_then_crash") / "Murmelon.dmp"),
       "%s: the plug-in's filter wrote a dump after its unload\n", row.filter);
  }
}

// The filter called directly, as the system calls it: its answer is 1 after a saved dump
// and 0 otherwise, and the dump file is closed again on every way out (and gone when the
// writer failed).
SCENARIO(crash_filter_called_directly_answers_and_closes_its_dump) {
  const struct Row {
    const char* what;
    const char* stub;  // the world's dbghelp stub in place of Wine's, or none
    const char* said;
  } rows[] = {{"saved", nullptr, "filter returned 1, dump file closed\n"},
              {"writer fails", "failing", "filter returned 0, dump file absent\n"},
              {"no writer", "nodump", "filter returned 0, dump file absent\n"}};
  for (const Row& row : rows) {
    scenario::Context context("%s", row.what);
    auto child = row.stub ? CrashWithDbghelpOverride(std::string("crash_direct_") + row.stub + ".exe",
                                                     "native", {row.stub, "direct"})
                          : scenario::RunChildMode("crash", {"-", "direct"}, kChildTimeoutMs);
    ok(child.exitCode == 0, "exit code 0x%lx\n", child.exitCode);
    ok(child.out.find(row.said) != std::string::npos, "printed \"%s\"\n",
       scenario::Escape(child.out).c_str());
    if (row.stub) continue;
    DumpFacts facts = InspectDump(ReadFile(ChildFolder("crash") / "Murmelon.dmp"));
    ok(facts.valid && facts.exception.exceptionCode == 0xE0000001 &&
           facts.exception.threadId == ParseChild(child.out).thread,
       "the dump names exception 0x%x on thread %u\n", facts.exception.exceptionCode,
       facts.exception.threadId);
  }
}
