// The stack walker's pieces that need no Windows: the bounded copy, the symbol search
// path, the endless-stack guard, frame collection and the call stack's text form.
#include <doctest/doctest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crash/bounded_copy.h"
#include "crash/endless_stack_guard.h"
#include "crash/stacktrace_entry.h"
#include "crash/symbol_kind.h"
#include "crash/symbol_path.h"

namespace {

// A heap block of exactly the given size, so the sanitizer sees any byte past it.
std::unique_ptr<char[]> Block(size_t size, char fill = '#') {
  std::unique_ptr<char[]> block(new char[size]);
  std::memset(block.get(), fill, size);
  return block;
}

std::string Compose(const SymbolPathSources& sources, size_t capacity = kSymbolPathCapacity) {
  auto out = Block(capacity);
  ComposeSymbolPath(sources, out.get(), capacity);
  return out.get();
}

std::unique_ptr<StackFrameInfo> Frame(const char* file, uint32_t line, const char* name) {
  auto frame = std::make_unique<StackFrameInfo>();
  ResetFrame(*frame, 0x401000);
  std::strcpy(frame->sourceFile, file);
  frame->lineNumber = line;
  std::strcpy(frame->name, name);
  std::strcpy(frame->undecoratedName, "undecorated");  // never what the list keeps
  return frame;
}

}  // namespace

TEST_CASE("bounded copy keeps short texts whole and cuts long ones to capacity - 1") {
  auto dst = Block(8);
  BoundedCopy(dst.get(), 8, "1234567");
  CHECK(std::string(dst.get()) == "1234567");
  BoundedCopy(dst.get(), 8, "123456789abc");
  CHECK(std::string(dst.get()) == "1234567");
  BoundedCopy(dst.get(), 1, "abc");
  CHECK(dst[0] == '\0');
  dst[0] = 'x';
  BoundedCopy(dst.get(), 0, "abc");  // capacity 0: the target is not touched at all
  CHECK(dst[0] == 'x');

  // A source without terminator is never read past the capacity.
  auto unterminated = Block(4, 'z');
  BoundedCopy(dst.get(), 4, unterminated.get());
  CHECK(std::string(dst.get()) == "zzz");
}

TEST_CASE("bounded append cuts at the capacity and repairs an unterminated target") {
  auto dst = Block(6);
  dst[0] = '\0';
  BoundedAppend(dst.get(), 6, "ab");
  BoundedAppend(dst.get(), 6, "cdef");
  CHECK(std::string(dst.get()) == "abcde");
  BoundedAppend(dst.get(), 6, "g");
  CHECK(std::string(dst.get()) == "abcde");
  auto full = Block(4, 'q');
  BoundedAppend(full.get(), 4, "x");
  CHECK(std::string(full.get()) == "qqq");
}

TEST_CASE("the symbol path lists its pieces in order and leaves out what could not be read") {
  SymbolPathSources all{"C:\\user;sym", "C:\\game", "C:\\game\\bin\\hl.exe", "srv*nt",
                        "alt",          "C:\\windows", "D:", false};
  CHECK(Compose(all) ==
        "C:\\user;sym;.;C:\\game;C:\\game\\bin;srv*nt;alt;C:\\windows;C:\\windows\\system32;");

  SymbolPathSources none{};
  CHECK(Compose(none) == ".;");

  SymbolPathSources server{};
  server.useSymbolServer = true;
  server.systemDrive = "E:";
  CHECK(Compose(server) == std::string(".;SRV*E:\\websymbols*") + kPublicSymbolServer + ";");
  server.systemDrive = nullptr;
  CHECK(Compose(server) == std::string(".;SRV*c:\\websymbols*") + kPublicSymbolServer + ";");
}

TEST_CASE("the executable's directory is cut at its last separator of any kind") {
  auto dir = [](const char* path) {
    char out[1024];
    DirectoryOf(path, out, sizeof out);
    return std::string(out);
  };
  CHECK(dir("C:\\a\\b/c.exe") == "C:\\a\\b");
  CHECK(dir("C:/a\\b.exe") == "C:/a");
  CHECK(dir("C:game.exe") == "C");
  CHECK(dir("game.exe") == "game.exe");  // no separator: the name stays whole
  CHECK(dir("\\game.exe").empty());

  // An executable path that leaves an empty directory adds no piece.
  SymbolPathSources sources{};
  sources.executablePath = "\\game.exe";
  CHECK(Compose(sources) == ".;");
}

TEST_CASE("a symbol path longer than its buffer is cut and stays terminated") {
  std::string huge(5000, 'p');
  SymbolPathSources sources{};
  sources.ntSymbolPath = huge.c_str();
  std::string path = Compose(sources);
  CHECK(path.size() == kSymbolPathCapacity - 1);
  CHECK(path.compare(0, 3, ".;p") == 0);
  CHECK(Compose(sources, 5) == ".;pp");
}

TEST_CASE("the endless-stack guard lets 1001 self-returning frames pass and stops the 1002nd") {
  EndlessStackGuard guard(1000);
  for (int i = 0; i < 1001; ++i) REQUIRE(guard.Admit(0x1234, 0x1234));
  CHECK_FALSE(guard.Admit(0x1234, 0x1234));

  // A frame that returns elsewhere ends the run; the count starts again.
  EndlessStackGuard again(1000);
  for (int i = 0; i < 1000; ++i) again.Admit(0x1234, 0x1234);
  CHECK(again.Admit(0x1234, 0x5678));
  for (int i = 0; i < 1001; ++i) REQUIRE(again.Admit(0x1234, 0x1234));
  CHECK_FALSE(again.Admit(0x1234, 0x1234));

  EndlessStackGuard unlimited(0);
  for (int i = 0; i < 5000; ++i) REQUIRE(unlimited.Admit(7, 7));
}

TEST_CASE("collection skips the requested frames, keeps dbghelp's name and stops at the first frame without source") {
  std::vector<stacktrace::entry> stack;
  int32_t discard = 2;
  CollectFrame(*Frame("walker.cpp", 10, "WalkStack"), discard, stack);
  CollectFrame(*Frame("call_stack.cpp", 20, "call_stack"), discard, stack);
  CollectFrame(*Frame("error_log.cpp", 30, "WriteErrorLog"), discard, stack);
  CollectFrame(*Frame("entry.cpp", 40, "DllMain"), discard, stack);
  CollectFrame(*Frame("", 0, "LdrUnloadDll"), discard, stack);
  CollectFrame(*Frame("host.cpp", 50, "main"), discard, stack);  // beyond the gap: not kept

  REQUIRE(stack.size() == 2);
  CHECK(stack[0].file == "error_log.cpp");
  CHECK(stack[0].line == 30);
  CHECK(stack[0].function == "WriteErrorLog");
  CHECK(stack[1].function == "DllMain");
  CHECK(discard == -1);
}

TEST_CASE("a frame without source among the skipped ones leaves the list empty") {
  std::vector<stacktrace::entry> stack;
  int32_t discard = 2;
  CollectFrame(*Frame("walker.cpp", 10, "WalkStack"), discard, stack);
  CollectFrame(*Frame("", 0, "?"), discard, stack);
  CollectFrame(*Frame("error_log.cpp", 30, "WriteErrorLog"), discard, stack);
  CHECK(stack.empty());
  CHECK(stacktrace::to_string(stack).empty());
}

TEST_CASE("text forms: one frame per line, file (line): function") {
  stacktrace::entry empty;
  CHECK(empty.to_string() == " (0): ");
  stacktrace::entry frame{"C:\\src\\error_log.cpp", 4294967295u, "WriteErrorLog"};
  CHECK(frame.to_string() == "C:\\src\\error_log.cpp (4294967295): WriteErrorLog");
  std::vector<stacktrace::entry> stack{frame, {"entry.cpp", 7, "DllMain"}};
  CHECK(stacktrace::to_string(stack) ==
        "C:\\src\\error_log.cpp (4294967295): WriteErrorLog\nentry.cpp (7): DllMain\n");
}

TEST_CASE("symbol kinds end at Virtual (8); anything above has no text") {
  CHECK(std::string(SymbolKindText(0)) == "-nosymbols-");
  CHECK(std::string(SymbolKindText(8)) == "Virtual");
  CHECK(SymbolKindText(9) == nullptr);
}
