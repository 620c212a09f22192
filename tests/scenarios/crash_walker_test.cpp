// The call-stack walker of the real plug-in, driven from frames of this program: the
// plug-in's stacktrace::call_stack constructor is found in the .asi's symbol table and
// called from functions whose files and lines this test knows. Nothing in the shipped
// plug-in exists for the test's sake.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core_report.h"
#include "plugin_in_game.h"
#include "scenario.h"

namespace {

// The plug-in's stacktrace::call_stack, as laid out by the same compiler: a table
// pointer, then the frames' text in its fixed area, its length and the frame count.
using Entry = core_report::Frame;
struct alignas(8) CallStackObject {
  void* vtable;
  char text[16384];
  uint32_t length, count;
  unsigned char spare[32];  // room should the real object ever grow; checked below
};
using CallStackCtor = void(__attribute__((thiscall))*)(void* self, int32_t skip);
using CallStackDtor = void(__attribute__((thiscall))*)(void* self);

// Address of a symbol of a loaded module, from the COFF symbol table of its file.
void* FindSymbol(HMODULE module, const std::filesystem::path& file, const char* name) {
  const std::string image = scenario::ReadFile(file);
  if (image.size() < sizeof(IMAGE_DOS_HEADER)) return nullptr;
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
  auto nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(image.data() + dos->e_lfanew);
  const IMAGE_FILE_HEADER& header = nt->FileHeader;
  auto sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
      reinterpret_cast<const char*>(&nt->OptionalHeader) + header.SizeOfOptionalHeader);
  const char* symbols = image.data() + header.PointerToSymbolTable;
  const char* strings = symbols + header.NumberOfSymbols * IMAGE_SIZEOF_SYMBOL;
  if (!header.PointerToSymbolTable || strings > image.data() + image.size()) return nullptr;
  for (DWORD i = 0; i < header.NumberOfSymbols; ++i) {
    auto symbol = reinterpret_cast<const IMAGE_SYMBOL*>(symbols + i * IMAGE_SIZEOF_SYMBOL);
    std::string symbolName =
        symbol->N.Name.Short ? std::string(reinterpret_cast<const char*>(symbol->N.ShortName),
                                           strnlen(reinterpret_cast<const char*>(symbol->N.ShortName), 8))
                             : std::string(strings + symbol->N.Name.Long);
    if (symbolName == name && symbol->SectionNumber > 0 &&
        symbol->SectionNumber <= header.NumberOfSections)
      return reinterpret_cast<char*>(module) + sections[symbol->SectionNumber - 1].VirtualAddress +
             symbol->Value;
    i += symbol->NumberOfAuxSymbols;
  }
  return nullptr;
}

CallStackCtor construct;
volatile int sink;

// The plug-in's call stack taken right here, in this program's frames.
__attribute__((noinline)) std::vector<Entry> TakeCallStack(int& line) {
  // Raw storage: the plug-in constructs and destroys the object, this side only reads.
  alignas(8) unsigned char storage[sizeof(CallStackObject)];
  std::memset(storage, 0xA5, sizeof storage);
  auto* object = reinterpret_cast<CallStackObject*>(storage);
  line = __LINE__; construct(object, 0); sink = 1;
  std::vector<Entry> copy = core_report::FramesFrom(object->text, 0, "\n");
  ok(copy.size() == object->count && strnlen(object->text, sizeof object->text) == object->length,
     "the text holds %u frames in %u bytes, the object says %u in %u\n",
     static_cast<unsigned>(copy.size()), static_cast<unsigned>(strnlen(object->text, sizeof object->text)),
     object->count, object->length);
  bool spareUntouched = true;
  for (unsigned char byte : object->spare) spareUntouched &= byte == 0xA5;
  ok(spareUntouched, "the plug-in's call_stack is larger than this test thinks\n");
  auto destroy = reinterpret_cast<CallStackDtor*>(object->vtable)[0];
  destroy(object);
  return copy;
}

// Three functions deep below the one that takes the stack, each remembering the line of
// its call (the call and the statement after it share the line, so the return address
// maps there too).
struct Lines {
  int take, innermost, middle, outer;
};
__attribute__((noinline)) std::vector<Entry> Innermost(Lines& lines) {
  lines.innermost = __LINE__; std::vector<Entry> stack = TakeCallStack(lines.take); sink = 2;
  return stack;
}
__attribute__((noinline)) std::vector<Entry> Middle(Lines& lines) {
  lines.middle = __LINE__; std::vector<Entry> stack = Innermost(lines); sink = 3;
  return stack;
}
__attribute__((noinline)) std::vector<Entry> Outer(Lines& lines) {
  lines.outer = __LINE__; std::vector<Entry> stack = Middle(lines); sink = 4;
  return stack;
}

// A call through code that has no line information: the walk's list must end there.
extern "C" void __cdecl CallWithoutSource(void (*function)(void*), void* argument);
asm(".section .text$nosource,\"x\"\n"
    ".globl _CallWithoutSource\n"
    "_CallWithoutSource:\n"
    "  push %ebp\n"
    "  mov %esp, %ebp\n"
    "  push 12(%ebp)\n"
    "  call *8(%ebp)\n"
    "  add $4, %esp\n"
    "  pop %ebp\n"
    "  ret\n"
    ".text\n");

struct Behind {
  std::vector<Entry> stack;
  int line = 0;
};
__attribute__((noinline)) void CalledWithoutSource(void* argument) {
  auto* behind = static_cast<Behind*>(argument);
  behind->stack = TakeCallStack(behind->line);
  sink = 5;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool LoadWalker(world::Game& game) {
  if (!plugin_in_game::WithPlugin(game).LoadPlugin()) return false;
  construct = reinterpret_cast<CallStackCtor>(
      FindSymbol(game.Plugin(), game.AsiInFolder(), "__ZN10stacktrace10call_stackC1Ei"));
  if (!construct) skip("the plug-in has no symbol table (stripped?)\n");
  return true;
}

void CheckFrame(const std::vector<Entry>& stack, size_t i, const char* function, int line) {
  if (i >= stack.size()) return;
  const Entry& frame = stack[i];
  ok(frame.function == function, "frame %u: function \"%s\", expected %s\n",
     static_cast<unsigned>(i), frame.function.c_str(), function);
  ok(EndsWith(frame.file, "crash_walker_test.cpp"), "frame %u: file \"%s\"\n",
     static_cast<unsigned>(i), frame.file.c_str());
  ok(frame.line == line, "frame %u (%s): line %d, expected %d\n",
     static_cast<unsigned>(i), function, frame.line, line);
}

// Bytes of the address space taken (reserved or committed).
size_t AddressSpaceTaken() {
  size_t taken = 0;
  MEMORY_BASIC_INFORMATION region;
  for (const char* at = nullptr;
       VirtualQuery(at, &region, sizeof region) && at + region.RegionSize > at;
       at = static_cast<const char*>(region.BaseAddress) + region.RegionSize)
    if (region.State != MEM_FREE) taken += region.RegionSize;
  return taken;
}

}  // namespace

SCENARIO(call_stack_names_three_functions_innermost_first) {
  world::Game game;
  ok(LoadWalker(game), "plug-in not loaded\n");
  Lines lines{};
  std::vector<Entry> stack = Outer(lines);
  for (const Entry& e : stack) trace("%s (%d): %s\n", e.file.c_str(), e.line, e.function.c_str());
  ok(stack.size() >= 4, "%u frames\n", static_cast<unsigned>(stack.size()));
  CheckFrame(stack, 0, "TakeCallStack", lines.take);
  CheckFrame(stack, 1, "Innermost", lines.innermost);
  CheckFrame(stack, 2, "Middle", lines.middle);
  CheckFrame(stack, 3, "Outer", lines.outer);
  // The walk goes on outward through this scenario while frames have source lines.
  bool scenarioSeen = false;
  for (const Entry& e : stack) scenarioSeen |= e.function.find("call_stack_names") != std::string::npos;
  ok(scenarioSeen, "the scenario's own frame is missing\n");
}

SCENARIO(call_stack_ends_at_the_first_frame_without_source) {
  world::Game game;
  ok(LoadWalker(game), "plug-in not loaded\n");
  Behind behind;
  CallWithoutSource(&CalledWithoutSource, &behind);
  for (const Entry& e : behind.stack)
    trace("%s (%d): %s\n", e.file.c_str(), e.line, e.function.c_str());
  ok(behind.stack.size() == 2, "%u frames, expected TakeCallStack and CalledWithoutSource\n",
     static_cast<unsigned>(behind.stack.size()));
  CheckFrame(behind.stack, 0, "TakeCallStack", behind.line);
  if (behind.stack.size() > 1)
    ok(behind.stack[1].function == "CalledWithoutSource", "frame 1: \"%s\"\n",
       behind.stack[1].function.c_str());
}

SCENARIO(call_stack_twice_in_one_process) {
  // Each walk starts and ends dbghelp's symbol handler; the second must see as much.
  world::Game game;
  ok(LoadWalker(game), "plug-in not loaded\n");
  Lines first{}, second{};
  std::vector<Entry> a = Outer(first);
  // The walk gives back the address space it took (the DWARF reader reserves 8 MB); the
  // heaps may keep a little.
  const size_t before = AddressSpaceTaken();
  std::vector<Entry> b = Outer(second);
  const size_t after = AddressSpaceTaken();
  ok(after <= before + (1 << 20), "the second walk kept %u KB of address space\n",
     static_cast<unsigned>((after - before) >> 10));
  ok(a.size() == b.size() && a.size() >= 4, "%u frames, then %u\n", static_cast<unsigned>(a.size()),
     static_cast<unsigned>(b.size()));
  CheckFrame(b, 3, "Outer", second.outer);
}
