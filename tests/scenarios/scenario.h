// Scenario tests: one scenario is one function, run alone in a fresh process
// ("<exe> <scenario name>"), against the test world (world::Game). Checks read like
// Wine's conformance tests: each says what it got and what it expected.
//
//   SCENARIO(voice_init_with_named_codec) {
//     world::Game game;
//     ok(game.LoadPlugin(), "plug-in not loaded, error %lu\n", GetLastError());
//     ok_bytes(game.Console(), "expected bytes");
//   }
//
// A shared helper reports its failures at its caller's line: it takes a `scenario::Where`
// defaulted to SCENARIO_CALLER and checks with ok_at / ok_bytes_at (Wine's ok_(file,
// line)). Table rows name themselves with a scenario::Context, which prefixes every
// failure inside its scope (Wine's winetest_push_context):
//
//   void CheckRates(world::Game& game, unsigned rate, scenario::Where at = SCENARIO_CALLER) {
//     ok_at(at, game.LastVoiceInit().samplesPerSec == rate, "rate %u\n", ...);
//   }
//   for (int build : {6027, 6132}) {
//     scenario::Context row("build %d", build);   // "file:line: build 6132: Test failed: ..."
//     CheckRates(game, 8000);
//   }
//
// CMake registers every line that starts with "SCENARIO(name)" as the CTest test
// "<exe>.<name>" ("LONG_SCENARIO(name)": the same, labelled "long"). CHILD_MODE(name)
// defines an entry that is not a test of its own: a scenario starts it in a child process
// with RunChildMode (crash tests need that).
// Exit codes: 0 passed, 1 failed, 77 skipped, 2 usage or world set-up error.
#pragma once

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "process.h"
#include "world.h"

namespace scenario {

using Function = void (*)();
bool Register(const char* name, Function function, bool childMode);

// The scenario (or child mode) running in this process, and the arguments after its name.
const std::string& Name();
const std::vector<std::string>& Args();
// The working directory the process started in (the build's scenario folder); a Game
// moves the current directory into its game folder.
const std::filesystem::path& StartDir();

// A source position checks are reported at. Made without arguments, it is the position
// of the code that made it; as a default argument (SCENARIO_CALLER), of the call.
struct Where {
  Where(const char* file = __builtin_FILE(), int line = __builtin_LINE())
      : file(file), line(line) {}
  const char* file;
  int line;
};

// Checks. A failed check prints "file:line: <contexts: >Test failed: <message>" and the
// scenario goes on; it fails at the end.
void Check(bool passed, const char* file, int line, const char* format, ...)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 4, 5)));
// Exact bytes; on a difference prints both texts escaped and the first differing byte.
bool CheckBytes(const std::string& got, const std::string& expected, const char* what,
                const char* file, int line);

// Names the checks of its scope (a table row, a loop pass) in every message they print;
// scopes nest, the outermost first.
class Context {
 public:
  explicit Context(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 2, 3)));
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
};
void Trace(const char* file, int line, const char* format, ...)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 3, 4)));
// Ends the scenario as skipped (exit 77), e.g. when the plug-in has not been built.
[[noreturn]] void Skip(const char* file, int line, const char* format, ...)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 3, 4)));
int Failures();

// The whole file as bytes; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// A text with every byte visible: printable ASCII as is, \n \r \t \\ \" and \xNN.
std::string Escape(const std::string& bytes);
// Lines of a text (without their "\n"), and whether a line occurs exactly.
std::vector<std::string> Lines(const std::string& text);
bool HasLine(const std::string& text, const std::string& line);
int CountLines(const std::string& text, const std::string& line);

// Child processes (world::RunProcess): the child is killed when it runs longer than
// timeoutMs; its exit code, standard output and error come back exactly.
using ChildResult = world::ProcessResult;
ChildResult RunChild(const std::filesystem::path& exe, const std::vector<std::string>& args,
                     DWORD timeoutMs, const std::filesystem::path& workDir = StartDir());
// This exe again, e.g. with another scenario name.
ChildResult RunSelf(const std::vector<std::string>& args, DWORD timeoutMs = 30000);
// This exe running CHILD_MODE(mode) with its own game folder "<scenario>.<mode>".
ChildResult RunChildMode(const std::string& mode, const std::vector<std::string>& args = {},
                         DWORD timeoutMs = 30000);

}  // namespace scenario

#define SCENARIO_DEFINE(name, childMode)                                               \
  static void scenario_##name();                                                       \
  static const bool scenario_registered_##name =                                       \
      ::scenario::Register(#name, &scenario_##name, childMode);                         \
  static void scenario_##name()
#define SCENARIO(name) SCENARIO_DEFINE(name, false)
// A scenario of the long tier (CTest label "long"): one that waits out real time-outs.
#define LONG_SCENARIO(name) SCENARIO_DEFINE(name, false)
#define CHILD_MODE(name) SCENARIO_DEFINE(name, true)

#define ok(condition, ...) ::scenario::Check(!!(condition), __FILE__, __LINE__, __VA_ARGS__)
#define ok_bytes(got, expected) \
  ::scenario::CheckBytes((got), (expected), #got, __FILE__, __LINE__)
// The call site of the function whose default argument this is (GCC's builtins, as
// std::source_location::current() does it in C++20).
#define SCENARIO_CALLER ::scenario::Where()
#define ok_at(where, condition, ...) \
  ::scenario::Check(!!(condition), (where).file, (where).line, __VA_ARGS__)
#define ok_bytes_at(where, got, expected) \
  ::scenario::CheckBytes((got), (expected), #got, (where).file, (where).line)
#define trace(...) ::scenario::Trace(__FILE__, __LINE__, __VA_ARGS__)
#define skip(...) ::scenario::Skip(__FILE__, __LINE__, __VA_ARGS__)
