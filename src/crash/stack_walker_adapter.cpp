#include "crash/stack_walker_adapter.h"

namespace {

// Symbol names, source lines and module information are always retrieved; the low three
// bits are kept for the record of what this walker asks for.
constexpr uint32_t kAdapterOptions = 1 | 2 | 4 | StackWalker::WantFileVersion |
                                     StackWalker::BuildSymbolPath;
static_assert(kAdapterOptions == 31, "names, lines, modules, file versions, composed path");

}  // namespace

StackWalkerAdapter::StackWalkerAdapter(int32_t skip)
    : StackWalker(kAdapterOptions, nullptr, GetCurrentProcessId(), GetCurrentProcess()),
      discardCount(skip + 2) {}

void StackWalkerAdapter::OnStackEntry(EntryKind, StackFrameInfo& frame) {
  stacktrace::CollectFrame(frame, discardCount, stack);
}
