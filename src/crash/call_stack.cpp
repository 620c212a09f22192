#include "crash/call_stack.h"

#include "crash/stack_walker_adapter.h"

namespace stacktrace {

call_stack::call_stack(int32_t skip) {
  StackWalkerAdapter walker(skip);
  walker.WalkStack(GetCurrentThread(), nullptr, nullptr, nullptr);
  stack = walker.stack;
}

}  // namespace stacktrace
