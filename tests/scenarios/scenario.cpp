// The scenario runner: registry, checks and main().
#include "scenario.h"

#include <fcntl.h>
#include <io.h>

#include <cstdarg>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace scenario {
namespace {

struct Entry {
  Function function;
  bool childMode;
};

std::map<std::string, Entry>& Registry() {
  static std::map<std::string, Entry> registry;
  return registry;
}

std::vector<std::string> contexts;  // scenario::Context, outermost first
std::string currentName;
std::vector<std::string> currentArgs;
std::filesystem::path startDir;
int checks = 0;
int failures = 0;

constexpr int kSkipped = 77;
constexpr int kUsage = 2;

const char* BaseName(const char* file) {
  const char* name = file;
  for (const char* p = file; *p; ++p)
    if (*p == '/' || *p == '\\') name = p + 1;
  return name;
}

void PrintV(const char* file, int line, const char* label, const char* format, va_list args) {
  printf("%s:%d: ", BaseName(file), line);
  for (const std::string& context : contexts) printf("%s: ", context.c_str());
  printf("%s", label);
  vprintf(format, args);
}

__attribute__((format(__MINGW_PRINTF_FORMAT, 4, 5)))
void Print(const char* file, int line, const char* label, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintV(file, line, label, format, args);
  va_end(args);
}

// A crash of the scenario itself (before the plug-in installs its own filter).
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
  printf("scenario %s: unhandled exception 0x%08lx at %p\n", currentName.c_str(),
         info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress);
  fflush(stdout);
  return EXCEPTION_EXECUTE_HANDLER;
}

int Usage(const char* exe) {
  printf("usage: %s <scenario> [args...] | --list | --child <mode> [args...]\n"
         "       (--game <folder name> before them sets the game folder)\n", exe);
  return kUsage;
}

}  // namespace

bool Register(const char* name, Function function, bool childMode) {
  Registry()[name] = Entry{function, childMode};
  return true;
}

const std::string& Name() { return currentName; }
const std::vector<std::string>& Args() { return currentArgs; }
const std::filesystem::path& StartDir() { return startDir; }
int Failures() { return failures; }

void Check(bool passed, const char* file, int line, const char* format, ...) {
  ++checks;
  if (passed) return;
  ++failures;
  va_list args;
  va_start(args, format);
  PrintV(file, line, "Test failed: ", format, args);
  va_end(args);
}

bool CheckBytes(const std::string& got, const std::string& expected, const char* what,
                const char* file, int line) {
  ++checks;
  if (got == expected) return true;
  ++failures;
  size_t at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
  Print(file, line, "Test failed: ", "%s differs at byte %u (got %u bytes, expected %u)\n", what,
        static_cast<unsigned>(at), static_cast<unsigned>(got.size()),
        static_cast<unsigned>(expected.size()));
  printf("    got:      \"%s\"\n", Escape(got).c_str());
  printf("    expected: \"%s\"\n", Escape(expected).c_str());
  return false;
}

Context::Context(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  contexts.push_back(text);
}

Context::~Context() { contexts.pop_back(); }

void Trace(const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintV(file, line, "", format, args);
  va_end(args);
}

void Skip(const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintV(file, line, "Tests skipped: ", format, args);
  va_end(args);
  fflush(stdout);
  ExitProcess(kSkipped);  // no destructors: the world's modules stay as they are
}

std::string Escape(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out += static_cast<char>(c);
        } else {
          char hex[5];
          snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        }
    }
  }
  return out;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int CountLines(const std::string& text, const std::string& line) {
  int count = 0;
  for (const std::string& l : Lines(text)) count += l == line;
  return count;
}

bool HasLine(const std::string& text, const std::string& line) { return CountLines(text, line) > 0; }

ChildResult RunChild(const std::filesystem::path& exe, const std::vector<std::string>& args,
                     DWORD timeoutMs, const std::filesystem::path& workDir) {
  return world::RunProcess(exe, args, timeoutMs, workDir);
}

ChildResult RunSelf(const std::vector<std::string>& args, DWORD timeoutMs) {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  return RunChild(std::wstring(self, n), args, timeoutMs);
}

ChildResult RunChildMode(const std::string& mode, const std::vector<std::string>& args,
                         DWORD timeoutMs) {
  std::vector<std::string> all = {"--game", currentName + "." + mode, "--child", mode};
  all.insert(all.end(), args.begin(), args.end());
  return RunSelf(all, timeoutMs);
}

}  // namespace scenario

using namespace scenario;

int main(int argc, char** argv) {
  // Exact bytes on standard output and error, output unbuffered, so a crash loses nothing.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  setvbuf(stdout, nullptr, _IONBF, 0);
  startDir = std::filesystem::current_path();

  int i = 1;
  std::string gameName;
  if (i + 1 < argc && strcmp(argv[i], "--game") == 0) {
    gameName = argv[i + 1];
    i += 2;
  }
  if (i >= argc) return Usage(argv[0]);
  if (strcmp(argv[i], "--list") == 0) {
    for (const auto& entry : Registry())
      if (!entry.second.childMode) printf("%s\n", entry.first.c_str());
    return 0;
  }
  bool childMode = strcmp(argv[i], "--child") == 0;
  if (childMode && ++i >= argc) return Usage(argv[0]);
  auto found = Registry().find(argv[i]);
  if (found == Registry().end() || found->second.childMode != childMode) {
    printf("no %s named \"%s\"\n", childMode ? "child mode" : "scenario", argv[i]);
    return Usage(argv[0]);
  }
  currentName = argv[i];
  currentArgs.assign(argv + i + 1, argv + argc);
  world::SetDefaultGameName(gameName.empty() ? currentName : gameName);
  SetUnhandledExceptionFilter(&ReportCrash);

  try {
    found->second.function();
  } catch (const std::exception& error) {
    ++failures;
    printf("scenario %s: exception: %s\n", currentName.c_str(), error.what());
  }
  printf("%s: %d tests executed (%d failures)\n", currentName.c_str(), checks, failures);
  return failures ? 1 : 0;
}
