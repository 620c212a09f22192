#include "crash/call_stack.h"

#include "crash/stack_walker.h"

namespace stacktrace {

call_stack::call_stack(int32_t skip) {
  StackWalker walker(skip);
  walker.WalkCallingThread();
  stack = std::move(walker.stack);
}

}  // namespace stacktrace
