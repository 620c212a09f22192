#include "crash/own_debug_info.h"

#include <cstring>
#include <vector>

#include "crash/bounded_copy.h"
#include "crash/debug_sections.h"
#include "crash/function_name.h"
#include "crash/libbacktrace.h"
#include "crash/scoped.h"

// libstdc++'s demangler without the heap (__cxa_demangle mallocs): the text arrives in
// pieces through the callback. Returns 0 on success.
extern "C" int __gcclibcxx_demangle_callback(const char* mangled,
                                             void (*piece)(const char*, size_t, void*),
                                             void* opaque);

namespace {

// Written once at attach, read by walks afterwards.
DebugSectionTable ownSections;
const uint8_t* ownImage;  // null until the sections are known

constexpr DWORD kHeadBytes = 4096;         // headers and section table
constexpr uint32_t kMaxStringTable = 1 << 20;

bool ReadAt(HANDLE file, uint32_t offset, void* buffer, DWORD size) {
  DWORD read = 0;
  return SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) == offset &&
         ReadFile(file, buffer, size, &read, nullptr) && read == size;
}

// Every page of the range committed and readable: the DWARF of a damaged image is
// rather left unread than faulted on.
bool Readable(const uint8_t* begin, size_t size) {
  const uint8_t* end = begin + size;
  for (const uint8_t* at = begin; at < end;) {
    MEMORY_BASIC_INFORMATION region;
    if (!VirtualQuery(at, &region, sizeof region) || region.State != MEM_COMMIT) return false;
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (!(region.Protect & readable) || (region.Protect & PAGE_GUARD)) return false;
    at = static_cast<const uint8_t*>(region.BaseAddress) + region.RegionSize;
  }
  return true;
}

// What the reader says about one address. It reports an inlined call first and the
// function the code was inlined into last; the symbol handler names that outermost
// function, with the line of its own that the address belongs to, and so does the log.
struct Position {
  const char* file = nullptr;
  int line = 0;
  const char* function = nullptr;
};

int OnPosition(void* data, uintptr_t, const char* file, int line, const char* function) {
  auto* position = static_cast<Position*>(data);
  if (file && line > 0) *position = {file, line, function};
  return 0;
}

void Ignore(void*, const char*, int) {}  // a damaged DWARF leaves the frame unplaced

struct DemangledText {
  char* out;
  size_t capacity;
};

void AppendPiece(const char* piece, size_t length, void* opaque) {
  auto* text = static_cast<DemangledText*>(opaque);
  size_t used = std::strlen(text->out);
  if (used + 1 >= text->capacity) return;
  if (length > text->capacity - used - 1) length = text->capacity - used - 1;
  std::memcpy(text->out + used, piece, length);
  text->out[used + length] = '\0';
}

// The name the symbol handler would print: demangled, without the parameter list.
void ReadableName(const char* linkageName, char* out, size_t capacity) {
  char demangled[kFrameTextCapacity] = {};
  DemangledText text{demangled, sizeof demangled};
  if (std::strncmp(linkageName, "_Z", 2) != 0 ||
      __gcclibcxx_demangle_callback(linkageName, AppendPiece, &text) != 0)
    BoundedCopy(demangled, sizeof demangled, linkageName);
  FunctionNameOnly(demangled, out, capacity);
}

}  // namespace

void LearnOwnDebugSections(HMODULE module) {
  wchar_t path[4096];
  DWORD length = GetModuleFileNameW(module, path, 4096);
  if (length == 0 || length >= 4096) return;
  // Shared for every use: the update may rename or replace the file meanwhile.
  ScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return;
  uint8_t head[kHeadBytes];
  DWORD read = 0;
  if (!ReadFile(file.get(), head, sizeof head, &read, nullptr)) return;
  PeLayout layout;
  if (!ReadPeLayout(head, read, &layout)) return;
  // The COFF string table: its size (counting these four bytes) and then the names.
  std::vector<uint8_t> strings;
  const uint32_t stringsAt = StringTableOffset(layout);
  uint32_t stringsSize = 0;
  if (stringsAt && ReadAt(file.get(), stringsAt, &stringsSize, sizeof stringsSize) &&
      stringsSize > 4 && stringsSize <= kMaxStringTable) {
    strings.resize(stringsSize);
    if (!ReadAt(file.get(), stringsAt, strings.data(), stringsSize)) strings.clear();
  }
  const auto* image = reinterpret_cast<const uint8_t*>(module);
  DebugSectionTable table;
  if (LocateDebugSections(head, read, strings.empty() ? nullptr : strings.data(), strings.size(),
                          image, kHeadBytes, &table)) {
    ownSections = table;
    ownImage = image;
  }
}

bool OwnDebugInfo::Start() {
  started_ = true;
  if (!ownImage || !memory_.usable()) return false;
  dwarf_sections sections{};
  for (int id = 0; id < kDebugSectionCount; ++id) {
    const DebugSection& section = ownSections.sections[id];
    if (section.rva == 0) continue;
    if (!Readable(ownImage + section.rva, section.size)) return false;
    sections.data[id] = ownImage + section.rva;
    sections.size[id] = section.size;
  }
  state_ = backtrace_create_state(nullptr, 0, Ignore, nullptr);
  fileline lookup = nullptr;
  // Base address 0: the reader is given addresses as the DWARF has them (at the
  // preferred base), whatever base the image was loaded at.
  if (!state_ || !backtrace_dwarf_add(state_, 0, &sections, 0, nullptr, Ignore, nullptr, &lookup,
                                      nullptr))
    return false;
  lookup_ = lookup;
  return true;
}

bool OwnDebugInfo::Place(StackFrameInfo& frame) {
  uint32_t pc;
  const uint64_t loaded = reinterpret_cast<uintptr_t>(ownImage);
  if (!ownImage || !DwarfAddress(ownSections, loaded, frame.address, &pc)) return false;
  if (!started_) Start();
  if (!lookup_) return false;
  Position position;
  lookup_(state_, pc, OnPosition, Ignore, &position);
  if (!position.file) return false;
  BoundedCopy(frame.sourceFile, kFrameTextCapacity, position.file);
  frame.lineNumber = static_cast<uint32_t>(position.line);
  if (position.function) ReadableName(position.function, frame.name, kFrameTextCapacity);
  return true;
}
