#include "crash/call_stack.h"

#include "crash/stack_walker.h"

namespace stacktrace {

call_stack::call_stack(int32_t skip) {
  Clear(frames);
  StackWalker walker(skip, frames);
  walker.WalkCallingThread();
}

}  // namespace stacktrace
