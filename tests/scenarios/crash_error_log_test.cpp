// The report of an unexpected unload, from the real plug-in in the test world: one
// record appended to "MurmelonError.log" per unload while started on a supported
// build, tier0's minidump asked for, and the message box (caught at the plug-in's
// import of MessageBoxW).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core_report.h"
#include "plugin_in_game.h"
#include "scenario.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kLog = "MurmelonError.log";
const std::string kSeparator(53, '_');

struct ShownBox {
  int calls = 0;
  HWND owner = reinterpret_cast<HWND>(1);
  std::wstring text, caption;
  UINT style = 0;
} box;
// Set by the child that ends with the plug-in still running: its box arrives while the
// process shuts down, after the scenario's own statics are gone.
bool printBoxAtExit = false;

int WINAPI CaptureBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  ++box.calls;
  box.owner = owner;
  box.text = text ? text : L"(null)";
  box.caption = caption ? caption : L"(null)";
  box.style = style;
  if (printBoxAtExit) printf("box shown\n");
  return IDOK;
}

using scenario::ReadFile;

// The plug-in started on a supported build, its message box caught.
bool LoadAndStart(world::Game& game) {
  if (!plugin_in_game::WithPlugin(game).LoadPlugin()) return false;
  void* previous = game.ReplaceImport("user32.dll", "MessageBoxW", reinterpret_cast<void*>(&CaptureBox));
  ok(previous != nullptr, "the plug-in does not import user32!MessageBoxW\n");
  return game.Start() == 1;
}

// Lines 1 to 11 of a record as the world handed the values out, with CR LF line ends.
std::string ExpectedHeader(HMODULE plugin, int build) {
  std::string header = "hThisLib=" + core_report::Hex(plugin) + "\r\n";
  for (const core_report::InterfaceField& field : core_report::kInterfaceFields)
    header += std::string(field.key) + "=" +
              core_report::Hex(core_report::Interface(field.module, field.version)) + "\r\n";
  return header + "Version=" + std::to_string(build) + "\r\n\r\n";
}

// Records of a log: each ends with the separator line.
std::vector<std::string> Records(const std::string& log) {
  std::vector<std::string> records;
  const std::string end = kSeparator + "\r\n";
  for (size_t start = 0; start < log.size();) {
    size_t at = log.find(end, start);
    if (at == std::string::npos) {
      records.push_back(log.substr(start));  // unfinished: fails the shape check
      break;
    }
    records.push_back(log.substr(start, at + end.size() - start));
    start = at + end.size();
  }
  return records;
}

using core_report::Frame;

// The frames of a record, "<file> (<line>): <function>" each, up to the empty line.
std::vector<Frame> FramesOf(const std::string& record) {
  size_t start = record.find("\r\n\r\n");
  if (start == std::string::npos) return {};
  return core_report::FramesFrom(record, start + 4, "\r\n");
}

// One record's shape: the header, frames "<file> (<line>): <function>" innermost
// first starting at the report routine, an empty line, the separator.
void CheckRecord(const std::string& record, const std::string& header,
                 scenario::Where at = SCENARIO_CALLER) {
  ok_at(at, record.compare(0, header.size(), header) == 0, "record header:\n%s\nexpected:\n%s\n",
        scenario::Escape(record.substr(0, header.size())).c_str(),
        scenario::Escape(header).c_str());
  std::string body = record.size() > header.size() ? record.substr(header.size()) : "";
  std::vector<std::string> lines;
  for (size_t start = 0; start < body.size();) {
    size_t end = body.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(body.substr(start, end - start));
    start = end + 2;
  }
  ok_at(at, lines.size() >= 3, "record body \"%s\" has no frames\n",
        scenario::Escape(body).c_str());
  if (lines.size() < 3) return;
  ok_at(at, lines[lines.size() - 1] == kSeparator && lines[lines.size() - 2].empty(),
        "record does not end with an empty line and the separator\n");
  const std::vector<Frame> frames = FramesOf(record);
  ok_at(at, frames.size() == lines.size() - 2, "%u of %u frame lines read \"<file> (<line>): <function>\"\n",
        static_cast<unsigned>(frames.size()), static_cast<unsigned>(lines.size() - 2));
  if (frames.empty()) return;
  const Frame& first = frames[0];
  ok_at(at, first.file.size() >= 13 && first.file.compare(first.file.size() - 13, 13, "error_log.cpp") == 0,
        "innermost frame's file \"%s\"\n", first.file.c_str());
  ok_at(at, first.line > 0, "innermost frame's line %d\n", first.line);
  ok_at(at, first.function.find("WriteErrorLog") != std::string::npos,
        "innermost frame's function \"%s\"\n", first.function.c_str());
}

void CheckBox() {
  ok(box.calls == 1, "message box shown %d times\n", box.calls);
  ok(box.owner == nullptr, "the box has an owner window\n");
  ok(box.caption == L"Murmelon не хочет работать", "box caption differs\n");
  ok(box.style == 0x30, "box style 0x%x\n", box.style);
  std::vector<std::wstring> lines;
  size_t start = 0;
  for (size_t at; (at = box.text.find(L'\n', start)) != std::wstring::npos; start = at + 1)
    lines.push_back(box.text.substr(start, at - start));
  lines.push_back(box.text.substr(start));
  ok(lines.size() == 8, "box text has %u lines\n", static_cast<unsigned>(lines.size()));
  if (lines.size() != 8) return;
  // Line 5 holds the contacts and line 6 ends with the forum address: any text there.
  const wchar_t* const expected[8] = {
      L"Отправьте автору файл MurmelonError.log, и mdmp-файл,",
      L"которые вы сможете найти в той же директории,",
      L"где лежит сам модуль.",
      L"Контакты автора:",
      nullptr,
      L"Или напишите в тему на форуме ",
      L"Да, чтобы скопировать этот текст,(дабы было проще вводить ссылку в браузер) "
      L"кликните сюда мышкой (не на кнопку, а просто на поле) и нажмите Ctrl+C.",
      L"Затем вы сможете вставить текст в любой текстовый редактор."};
  for (int i = 0; i < 8; ++i) {
    const std::wstring want = expected[i] ? expected[i] : L"";
    const bool open = i == 4 || i == 5;  // want is a prefix, and more must follow
    ok(open ? lines[i].compare(0, want.size(), want) == 0 && lines[i].size() > want.size()
            : lines[i] == want,
       "box line %d differs\n", i + 1);
  }
}

// What a module's import of dll!function leads to now (the entry is left as it was).
void* ImportOf(HMODULE module, const char* dll, const char* function) {
  void* now = world::ReplaceImport(module, dll, function, nullptr);
  world::ReplaceImport(module, dll, function, now);
  return now;
}

// An unload that must not report: no log, no box, no minidump asked of tier0; and the
// game's ways to end lead to the system again, not into the unmapped plug-in.
void UnloadWithoutReport(world::Game& game, scenario::Where at = SCENARIO_CALLER) {
  game.ClearRecords();
  ok_at(at, game.Unload(), "FreeLibrary failed\n");
  ok_at(at, !fs::exists(kLog), "a log was written\n");
  ok_at(at, box.calls == 0, "a box was shown\n");
  ok_bytes_at(at, game.Journal(), "");
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  const struct {
    HMODULE module;
    const char* function;
  } imports[] = {{GetModuleHandleA(nullptr), "FreeLibrary"}, {GetModuleHandleA("msvcrt.dll"), "ExitProcess"}};
  for (const auto& import : imports)
    ok_at(at, ImportOf(import.module, "kernel32.dll", import.function) ==
                  reinterpret_cast<void*>(GetProcAddress(kernel32, import.function)),
          "the import of %s does not lead to kernel32's again\n", import.function);
}

// A further unexpected unload in a new process over an existing log, given as an
// argument (each game folder starts empty, so the earlier log is carried over).
CHILD_MODE(unload_again) {
  world::Game game;
  if (!scenario::Args().empty())
    CopyFileA(scenario::Args()[0].c_str(), kLog, FALSE);
  ok(LoadAndStart(game), "plug-in not started\n");
  printf("header %s\n", scenario::Escape(ExpectedHeader(game.Plugin(), 6027)).c_str());
  ok(game.Unload(), "FreeLibrary failed\n");
  printf("boxes %d\n", box.calls);
}

// Fills every section of the module file whose name lives in the string table (the
// .debug_* ones: "/4", "/29", ...) with noise.
void GarbleDwarf(const fs::path& file) {
  std::string image = ReadFile(file);
  uint32_t ntHeader;
  std::memcpy(&ntHeader, image.data() + 0x3C, 4);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(image.data() + ntHeader);
  const auto* sections = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i)
    if (sections[i].Name[0] == '/')
      for (DWORD at = 0; at < sections[i].SizeOfRawData; ++at)
        image[sections[i].PointerToRawData + at] = static_cast<char>(0xA5 ^ (at * 7));
  std::ofstream(file, std::ios::binary | std::ios::trunc) << image;
}

// One unexpected unload with the symbol handler and image a row asks for; the parent
// reads the record. Arguments: "publics" (the handler reads export tables only, as
// Windows' dbghelp does for us), "away" (loaded away from its preferred base),
// "replaced" (its file swapped, after loading, for another module with DWARF of its own,
// as a finished update leaves it), "garbled" (its DWARF overwritten with noise), "xp"
// (the XP flavour).
CHILD_MODE(unload_with_symbols) {
  world::Options options;
  const std::vector<std::string>& args = scenario::Args();
  auto has = [&](const char* arg) { return std::find(args.begin(), args.end(), arg) != args.end(); };
  options.publicSymbolsOnly = has("publics");
  options.pluginAway = has("away");
  if (has("xp")) options.flavour = "Murmelon_W_XP_D";
  world::Game game(options);
  if (has("garbled")) GarbleDwarf(game.AsiInFolder());
  ok(LoadAndStart(game), "plug-in not started\n");
  if (options.pluginAway) {
    auto base = reinterpret_cast<const uint8_t*>(game.Plugin());
    uint32_t preferred;
    std::memcpy(&preferred, base + *reinterpret_cast<const uint32_t*>(base + 0x3C) + 0x34, 4);
    ok(reinterpret_cast<uintptr_t>(base) != preferred, "loaded at its preferred base\n");
  }
  if (has("replaced")) {
    const std::wstring asi = game.AsiInFolder().wstring();
    ok(MoveFileW(asi.c_str(), (asi + L".old").c_str()) &&
           CopyFileW((world::ModulesDir() / "GameUI.dll").wstring().c_str(), asi.c_str(), FALSE),
       "cannot replace the module file\n");
  }
  ok(game.Unload(), "FreeLibrary failed\n");
}

// The game ends without stopping us: the report runs in the process's own shutdown.
CHILD_MODE(exit_while_started) {
  printBoxAtExit = true;
  world::Options options;
  options.stopAtEnd = false;  // the game ends without the host's stop call
  world::Game game(options);
  ok(LoadAndStart(game), "plug-in not started\n");
}

}  // namespace

SCENARIO(unload_while_started_appends_a_record_and_shows_the_box) {
  world::Game game;
  ok(LoadAndStart(game), "plug-in not started\n");
  std::string header = ExpectedHeader(game.Plugin(), 6027);
  game.ClearRecords();
  ok(game.Unload(), "FreeLibrary failed\n");

  ok_bytes(game.Journal(), "tier0 WriteMiniDump(null)\n");
  std::string log = ReadFile(kLog);
  trace("MurmelonError.log:\n%s", log.c_str());
  for (size_t i = 0; i < log.size(); ++i)
    if (log[i] == '\n' && (i == 0 || log[i - 1] != '\r')) {
      ok(false, "bare line feed at byte %u\n", static_cast<unsigned>(i));
      break;
    }
  std::vector<std::string> records = Records(log);
  ok(records.size() == 1, "%u records\n", static_cast<unsigned>(records.size()));
  if (!records.empty()) CheckRecord(records[0], header);
  CheckBox();

  // A second unexpected unload, in a new process, appends after the first record.
  fs::path first = fs::absolute(kLog);
  auto child = scenario::RunChildMode("unload_again", {first.string()}, 40000);
  ok(child.started && !child.timedOut && child.exitCode == 0,
     "second unload: exit 0x%lx, timed out %d, output:\n%s\n", child.exitCode, child.timedOut,
     child.out.c_str());
  std::string both =
      ReadFile(scenario::StartDir() / "games" / (scenario::Name() + ".unload_again") / kLog);
  ok(both.compare(0, log.size(), log) == 0, "the first record changed\n");
  std::vector<std::string> all = Records(both);
  ok(all.size() == 2, "%u records after the second unload\n", static_cast<unsigned>(all.size()));
  size_t at = child.out.find("header ");
  if (all.size() == 2 && at != std::string::npos) {
    std::string escaped = child.out.substr(at + 7, child.out.find('\n', at) - at - 7);
    ok(scenario::Escape(all[1]).compare(0, escaped.size(), escaped) == 0,
       "second record's header differs\n");
    CheckRecord(all[1], all[1].substr(0, all[1].find("\r\n\r\n") + 4));
  }
  ok(child.out.find("boxes 1\n") != std::string::npos, "second unload: box not shown once\n");
}

// Under an export-only symbol handler the plug-in names its own frames from its DWARF
// in memory: the same functions in the same order as the full handler gives, with files
// and lines, wherever the image lies and whatever the file under its name is now. Noise
// in place of its DWARF still leaves a whole record (framesOf checks the one record).
SCENARIO(error_log_names_our_frames_without_a_dwarf_reading_handler) {
  auto framesOf = [](const std::vector<std::string>& args, scenario::Where at = SCENARIO_CALLER) {
    auto child = scenario::RunChildMode("unload_with_symbols", args, 40000);
    ok_at(at, child.started && !child.timedOut && child.exitCode == 0,
          "exit 0x%lx, timed out %d, output:\n%s\n", child.exitCode, child.timedOut,
          child.out.c_str());
    std::vector<std::string> records = Records(ReadFile(
        scenario::StartDir() / "games" / (scenario::Name() + ".unload_with_symbols") / kLog));
    ok_at(at, records.size() == 1, "%u records\n", static_cast<unsigned>(records.size()));
    return records.empty() ? std::vector<Frame>() : FramesOf(records[0]);
  };
  for (const char* flavour : {"7", "xp"}) {
    scenario::Context flavourContext("flavour %s", flavour);
    auto with = [&](std::vector<std::string> args) {
      args.push_back(flavour);
      return framesOf(args);
    };
    const std::vector<Frame> full = with({});
    for (const Frame& frame : full)
      trace("%s (%d): %s\n", frame.file.c_str(), frame.line, frame.function.c_str());
    ok(full.size() >= 2 && full[0].function == "WriteErrorLog",
       "the full handler's record names %u frames\n", static_cast<unsigned>(full.size()));

    const struct Row {
      const char* what;
      std::vector<std::string> args;
    } rows[] = {{"loaded", {"publics"}},
                {"moved", {"publics", "away"}},
                {"file replaced", {"publics", "replaced"}},
                {"DWARF damaged", {"publics", "garbled"}}};
    for (const Row& row : rows) {
      scenario::Context context("%s", row.what);
      const std::vector<Frame> frames = with(row.args);
      if (row.args.back() == "garbled") {
        ok(frames.size() < full.size(), "%u frames from noise\n", static_cast<unsigned>(frames.size()));
        continue;  // whatever the noise gives: a whole record, no fault
      }
      ok(frames.size() == full.size(), "%u frames, the full handler names %u\n",
         static_cast<unsigned>(frames.size()), static_cast<unsigned>(full.size()));
      for (size_t i = 0; i < frames.size() && i < full.size(); ++i)
        ok(frames[i].function == full[i].function && !frames[i].file.empty() && frames[i].line > 0,
           "frame %u: \"%s (%d): %s\", the full handler's \"%s (%d): %s\"\n",
           static_cast<unsigned>(i), frames[i].file.c_str(), frames[i].line,
           frames[i].function.c_str(), full[i].file.c_str(), full[i].line,
           full[i].function.c_str());
    }
  }
}

SCENARIO(unload_after_stop_writes_nothing) {
  world::Game game;
  ok(LoadAndStart(game), "plug-in not started\n");
  ok(game.Stop() == 1, "stop call failed\n");
  UnloadWithoutReport(game);
}

SCENARIO(unload_on_an_unsupported_build_writes_nothing) {
  world::Options options;
  options.build = 4554;  // recognised, not supported: the start runs the unsupported path
  world::Game game(options);
  plugin_in_game::Loaded(game);
  game.ReplaceImport("user32.dll", "MessageBoxW", reinterpret_cast<void*>(&CaptureBox));
  game.Start();
  UnloadWithoutReport(game);
}

// The report runs inside the loader's detach notification; it must finish there, also
// when the detach comes from the end of the process.
SCENARIO(exit_while_started_reports_and_ends) {
  auto child = scenario::RunChildMode("exit_while_started", {}, 40000);
  ok(child.started && !child.timedOut, "the process did not end (timed out %d)\n",
     child.timedOut);
  ok(child.exitCode == 0, "exit code 0x%lx, output:\n%s\n", child.exitCode, child.out.c_str());
  ok(child.out.find("box shown\n") != std::string::npos, "no box at process end: %s\n",
     scenario::Escape(child.out).c_str());
  std::string log =
      ReadFile(scenario::StartDir() / "games" / (scenario::Name() + ".exit_while_started") / kLog);
  std::vector<std::string> records = Records(log);
  ok(records.size() == 1, "%u records\n", static_cast<unsigned>(records.size()));
  if (records.size() == 1) CheckRecord(records[0], records[0].substr(0, records[0].find("\r\n\r\n") + 4));
}

// The log cannot be opened at all (a folder has its name): nothing is written, tier0 is
// still asked for its dump first, and the player still gets the box.
SCENARIO(unload_while_started_without_a_usable_log_still_shows_the_box) {
  world::Game game;
  ok(LoadAndStart(game), "plug-in not started\n");
  ok(CreateDirectoryA(kLog, nullptr), "cannot put a folder in the log's place\n");
  game.ClearRecords();
  ok(game.Unload(), "FreeLibrary failed\n");
  ok(fs::is_directory(kLog) && fs::is_empty(kLog), "something was written into the log's place\n");
  ok_bytes(game.Journal(), "tier0 WriteMiniDump(null)\n");
  CheckBox();
}

// The game's own components use dbghelp in the same process: a symbol handler session
// the host opened before the plug-in loaded still answers after the report, with the
// options it had.
SCENARIO(unload_report_leaves_the_host_symbol_session) {
  using SymInitializeFn = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
  using SymCleanupFn = BOOL(WINAPI*)(HANDLE);
  using SymGetOptionsFn = DWORD(WINAPI*)();
  using SymGetModuleBase64Fn = DWORD64(WINAPI*)(HANDLE, DWORD64);
  HMODULE dbghelp = LoadLibraryA("dbghelp.dll");
  auto symInitialize = reinterpret_cast<SymInitializeFn>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "SymInitialize")));
  auto symCleanup = reinterpret_cast<SymCleanupFn>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "SymCleanup")));
  auto symGetOptions = reinterpret_cast<SymGetOptionsFn>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "SymGetOptions")));
  auto moduleBase = reinterpret_cast<SymGetModuleBase64Fn>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "SymGetModuleBase64")));
  ok(symInitialize && symCleanup && symGetOptions && moduleBase, "no dbghelp\n");
  if (!symInitialize || !symCleanup || !symGetOptions || !moduleBase) return;
  ok(symInitialize(GetCurrentProcess(), nullptr, TRUE), "the host's session did not start\n");
  const DWORD options = symGetOptions();
  const auto inHost = static_cast<DWORD64>(reinterpret_cast<uintptr_t>(&CaptureBox));

  world::Game game;
  ok(LoadAndStart(game), "plug-in not started\n");
  ok(game.Unload(), "FreeLibrary failed\n");
  ok(Records(ReadFile(kLog)).size() == 1, "no record written\n");
  ok(moduleBase(GetCurrentProcess(), inHost) != 0, "the host's session no longer knows its module\n");
  ok(symGetOptions() == options, "symbol options 0x%lx, the host had 0x%lx\n", symGetOptions(), options);
  ok(symCleanup(GetCurrentProcess()), "the host's session was ended already\n");
}
