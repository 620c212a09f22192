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
// CMake registers every line that starts with "SCENARIO(name)" as the CTest test
// "<exe>.<name>". CHILD_MODE(name) defines an entry that is not a test of its own:
// a scenario starts it in a child process with RunChildMode (crash tests need that).
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

// Checks. A failed check prints "file:line: Test failed: <message>" and the scenario
// goes on; it fails at the end.
void Check(bool passed, const char* file, int line, const char* format, ...)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 4, 5)));
// Exact bytes; on a difference prints both texts escaped and the first differing byte.
bool CheckBytes(const std::string& got, const std::string& expected, const char* what,
                const char* file, int line);
void Trace(const char* file, int line, const char* format, ...)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 3, 4)));
// Ends the scenario as skipped (exit 77), e.g. when the plug-in has not been built.
[[noreturn]] void Skip(const char* file, int line, const char* format, ...)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 3, 4)));
int Failures();

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
#define CHILD_MODE(name) SCENARIO_DEFINE(name, true)

#define ok(condition, ...) ::scenario::Check(!!(condition), __FILE__, __LINE__, __VA_ARGS__)
#define ok_bytes(got, expected) \
  ::scenario::CheckBytes((got), (expected), #got, __FILE__, __LINE__)
#define trace(...) ::scenario::Trace(__FILE__, __LINE__, __VA_ARGS__)
#define skip(...) ::scenario::Skip(__FILE__, __LINE__, __VA_ARGS__)
