// The stack walker's pieces that need no Windows: the bounded copy, the symbol search
// path, the endless-stack guard, frame collection, the call stack's text form, where the
// DWARF lies in the image and the names read from it.
#include <doctest/doctest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crash/bounded_copy.h"
#include "crash/debug_sections.h"
#include "crash/endless_stack_guard.h"
#include "crash/function_name.h"
#include "crash/stacktrace_entry.h"
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
  SymbolPathSources all{"C:\\game", "C:\\game\\bin\\hl.exe", "nt", "alt", "C:\\windows"};
  CHECK(Compose(all) ==
        ".;C:\\game;C:\\game\\bin;nt;alt;C:\\windows;C:\\windows\\system32;");

  SymbolPathSources none{};
  CHECK(Compose(none) == ".;");

  // Of the symbol path variables only plain folders: no symbol server, cache or address,
  // whatever their letter case; empty elements go too.
  SymbolPathSources servers{};
  servers.ntSymbolPath = "srv*c:\\sym*https://msdl.example/d;C:\\own;;SYMSRV*s.dll*x;D:\\b";
  servers.ntAlternatePath = "cache*c:\\c;https://sym.example;\\\\share\\sym";
  CHECK(Compose(servers) == ".;C:\\own;D:\\b;\\\\share\\sym;");
  servers.ntSymbolPath = "srv*x";
  servers.ntAlternatePath = nullptr;
  CHECK(Compose(servers) == ".;");
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
  std::string folder(999, 'p'), huge;
  for (int i = 0; i < 5; ++i) huge += folder + ";";
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

TEST_CASE("collection skips the requested frames, keeps the frame's name and stops at the first frame without source") {
  auto frames = std::make_unique<stacktrace::frame_list>();
  stacktrace::Clear(*frames);
  int32_t discard = 2;
  CollectFrame(*Frame("walker.cpp", 10, "WalkStack"), discard, *frames);
  CollectFrame(*Frame("call_stack.cpp", 20, "call_stack"), discard, *frames);
  CollectFrame(*Frame("error_log.cpp", 30, "WriteErrorLog"), discard, *frames);
  CollectFrame(*Frame("entry.cpp", 40, "DllMain"), discard, *frames);
  CollectFrame(*Frame("", 0, "LdrUnloadDll"), discard, *frames);
  CollectFrame(*Frame("host.cpp", 50, "main"), discard, *frames);  // beyond the gap: not kept

  CHECK(std::string(frames->text) == "error_log.cpp (30): WriteErrorLog\nentry.cpp (40): DllMain\n");
  CHECK(frames->count == 2);
  CHECK(frames->length == std::strlen(frames->text));
  CHECK(discard == -1);

  // A frame without source among the skipped ones leaves the list empty.
  stacktrace::Clear(*frames);
  discard = 2;
  CollectFrame(*Frame("walker.cpp", 10, "WalkStack"), discard, *frames);
  CollectFrame(*Frame("", 0, "?"), discard, *frames);
  CollectFrame(*Frame("error_log.cpp", 30, "WriteErrorLog"), discard, *frames);
  CHECK(frames->count == 0);
  CHECK(std::string(frames->text).empty());
}

TEST_CASE("text form: file (line): function per line; a frame that does not fit ends the list whole") {
  auto frames = std::make_unique<stacktrace::frame_list>();
  stacktrace::Clear(*frames);
  CHECK(stacktrace::Append(*frames, "", 0, ""));
  CHECK(stacktrace::Append(*frames, "C:\\src\\error_log.cpp", 4294967295u, "WriteErrorLog"));
  CHECK(std::string(frames->text) == " (0): \nC:\\src\\error_log.cpp (4294967295): WriteErrorLog\n");

  // Longest frames (1023-byte texts) until the area is full: every line kept is whole,
  // the one that did not fit left no part behind, and nothing is collected after it.
  stacktrace::Clear(*frames);
  auto frame = Frame(std::string(1023, 'f').c_str(), 7, std::string(1023, 'n').c_str());
  const size_t line = 1023 + std::strlen(" (7): ") + 1023 + 1;
  int32_t discard = 0;
  for (int i = 0; i < 20; ++i) CollectFrame(*frame, discard, *frames);
  const size_t kept = (stacktrace::kFrameListCapacity - 1) / line;  // and the terminator
  CHECK(kept == 7);
  CHECK(frames->count == kept);
  CHECK(frames->length == kept * line);
  CHECK(std::strlen(frames->text) == frames->length);
  CHECK(discard == -1);
  CollectFrame(*Frame("a.cpp", 1, "f"), discard, *frames);
  CHECK(frames->count == kept);

  // A short frame still fits where a long one did not, as long as collection goes on.
  CHECK(stacktrace::Append(*frames, "a.cpp", 1, "f"));
}

namespace {

// A PE's first bytes as the linker writes them: the COFF header, a PE32 optional header
// and the section table; `names` are the section table's name fields ("/4" and the like
// point into the string table).
struct SectionRow {
  const char* name;
  uint32_t rva, virtualSize, rawSize, flags;
};
std::vector<uint8_t> PeHead(const std::vector<SectionRow>& sections, uint32_t imageSize = 0x90000) {
  std::vector<uint8_t> head(0x400, 0);
  auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&head[at], &v, 4); };
  auto put16 = [&](size_t at, uint16_t v) { std::memcpy(&head[at], &v, 2); };
  head[0] = 'M', head[1] = 'Z';
  put32(0x3C, 0x80);
  put32(0x80, 0x00004550);
  put16(0x84, 0x14C);
  put16(0x86, static_cast<uint16_t>(sections.size()));
  put32(0x88, 0x6b17c41c);  // time stamp
  put32(0x8C, 0x300);       // symbol table
  put32(0x90, 1);
  put16(0x94, 224);
  put16(0x98, 0x10B);
  put32(0x98 + 28, 0x645c0000);
  put32(0x98 + 56, imageSize);
  size_t at = 0x98 + 224;
  for (const SectionRow& s : sections) {
    std::memcpy(&head[at], s.name, strnlen(s.name, 8));
    put32(at + 8, s.virtualSize);
    put32(at + 12, s.rva);
    put32(at + 16, s.rawSize);
    put32(at + 36, s.flags);
    at += 40;
  }
  return head;
}

// The string table: its size, then ".debug_info" at 4 and ".debug_line" at 16.
std::vector<uint8_t> Strings() {
  const char names[] = "\0\0\0\0.debug_info\0.debug_line\0";
  std::vector<uint8_t> table(names, names + sizeof names);
  table[0] = static_cast<uint8_t>(sizeof names);
  return table;
}

}  // namespace

TEST_CASE("the DWARF sections are found through the file's string table, only when the file is the image's") {
  constexpr uint32_t kRead = 0x42000040;
  const std::vector<SectionRow> good = {{".text", 0x1000, 0x500, 0x600, 0x60000020},
                                        {"/4", 0x20000, 0x1234, 0x1400, kRead},
                                        {"/16", 0x30000, 0x800, 0x600, kRead},
                                        {".debug_r", 0x40000, 0x10, 0x200, kRead}};
  struct Row {
    const char* what;
    std::vector<SectionRow> file, image;
    uint32_t imageSize;
    bool found;
  } rows[] = {
      {"the image's own file", good, good, 0x90000, true},
      {"another build's file", good, {good[0], good[2], good[1], good[3]}, 0x90000, false},
      {"a name past the string table", {good[0], {"/999", 0x20000, 0x10, 0x10, kRead}, good[2]},
       {}, 0x90000, false},
      {"a name not a number", {good[0], {"/x", 0x20000, 0x10, 0x10, kRead}, good[2]}, {}, 0x90000,
       false},
      {".debug_info beyond the image", good, good, 0x20000, false},
      {".debug_info running past the image's end",
       {good[0], good[1], {"/16", 0x10000, 0x800, 0x600, kRead}}, {}, 0x21000, false},
      // Seven digits fill the name field; the byte behind it (here the virtual size's
      // first, 0x34: "4") is no part of the name.
      {"a seven-digit name", {good[0], {"/0000004", 0x20000, 0x1234, 0x1400, kRead}, good[2], good[3]},
       {}, 0x90000, true},
      {"an unreadable .debug_line", {good[0], good[1], {"/16", 0x30000, 0x800, 0x600, 0x02000040}},
       {}, 0x90000, false},
  };
  for (const Row& row : rows) {
    INFO(std::string(row.what));
    std::vector<uint8_t> file = PeHead(row.file, row.imageSize);
    std::vector<uint8_t> image = PeHead(row.image.empty() ? row.file : row.image, row.imageSize);
    std::vector<uint8_t> strings = Strings();
    DebugSectionTable table{};
    table.imageBase = 7;
    CHECK(LocateDebugSections(file.data(), file.size(), strings.data(), strings.size(),
                              image.data(), image.size(), &table) == row.found);
    if (!row.found) {
      CHECK(table.imageBase == 7);  // untouched
      continue;
    }
    CHECK(table.imageBase == 0x645c0000);
    CHECK(table.sections[kDebugInfo].rva == 0x20000);
    CHECK(table.sections[kDebugInfo].size == 0x1234);  // the smaller of the two sizes
    CHECK(table.sections[kDebugLine].size == 0x600);
    CHECK(table.sections[kDebugRanges].rva == 0);  // an eight-byte name is cut, not matched
  }

  // Damaged heads: cut short (inside the file header, inside the section table; each cut
  // a block of its own, so the sanitizer sees a read past it), no PE signature.
  std::vector<uint8_t> head = PeHead(good), strings = Strings();
  DebugSectionTable table{};
  for (size_t cut : {size_t{0x90}, size_t{0x98 + 224 + 40}}) {
    INFO("cut at " << cut);
    std::vector<uint8_t> shorter(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(cut));
    CHECK_FALSE(LocateDebugSections(shorter.data(), shorter.size(), strings.data(),
                                    strings.size(), head.data(), head.size(), &table));
  }
  std::vector<uint8_t> unsigned_ = head;
  unsigned_[0x81] = 'X';
  CHECK_FALSE(LocateDebugSections(unsigned_.data(), unsigned_.size(), strings.data(),
                                  strings.size(), head.data(), head.size(), &table));
  CHECK_FALSE(LocateDebugSections(head.data(), head.size(), nullptr, 0, head.data(), head.size(),
                                  &table));
  // Another build of the same layout: only the file header's time stamp differs.
  std::vector<uint8_t> next = head;
  next[0x88] ^= 1;
  CHECK_FALSE(LocateDebugSections(next.data(), next.size(), strings.data(), strings.size(),
                                  head.data(), head.size(), &table));
  // A string table whose last name runs to its end without a terminator.
  std::vector<uint8_t> cut = Strings();
  cut.resize(cut.size() - 2);
  CHECK_FALSE(LocateDebugSections(head.data(), head.size(), cut.data(), cut.size(), head.data(),
                                  head.size(), &table));
}

TEST_CASE("a frame is placed from the DWARF only inside the image, at the preferred base") {
  DebugSectionTable table{};
  table.imageBase = 0x645c0000;
  table.imageSize = 0x8c000;
  const uint64_t loaded = 0x10000000;  // moved from the preferred base
  struct Row {
    uint64_t address;
    bool inside;
    uint32_t dwarfAddress;
  } rows[] = {
      {loaded, true, 0x645c0000},
      {loaded + 0x8bfff, true, 0x6464bfff},  // the image's last byte
      {loaded + 0x8c000, false, 0},          // the first byte behind it
      {loaded - 1, false, 0},
      {loaded + 0x100000000, false, 0},  // the same low 32 bits, far above
  };
  for (const Row& row : rows) {
    INFO(row.address);
    uint32_t dwarfAddress = 7;
    CHECK(DwarfAddress(table, loaded, row.address, &dwarfAddress) == row.inside);
    CHECK(dwarfAddress == (row.inside ? row.dwarfAddress : 7));
  }
}

TEST_CASE("a demangled name is cut before its parameter list, a standard-call name before its argument size") {
  struct Row {
    const char* demangled;
    const char* name;
  } rows[] = {
      {"WriteErrorLog()", "WriteErrorLog"},
      {"stacktrace::call_stack::call_stack(int)", "stacktrace::call_stack::call_stack"},
      {"ns::Hook::Call(void (*)(int), char) const", "ns::Hook::Call"},
      {"DllMain", "DllMain"},
      {"DllMain@12", "DllMain"},
      {"RIB_Main@x20", "RIB_Main@x20"},
      {"(anonymous namespace)::AttachSequence(HINSTANCE__*)", "(anonymous namespace)::AttachSequence"},
      {"(int)", "(int)"},  // nothing before the group: the whole, never an empty name
  };
  for (const Row& row : rows) {
    char out[64];
    FunctionNameOnly(row.demangled, out, sizeof out);
    CHECK(std::string(out) == row.name);
  }
  char small[5];
  FunctionNameOnly("WriteErrorLog()", small, sizeof small);
  CHECK(std::string(small) == "Writ");
}
