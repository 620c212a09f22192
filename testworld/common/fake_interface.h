// An engine interface object: its first word points to a table of methods, slots counted
// from 0. Every slot starts as a catcher that journals "unexpected <name> slot <N>";
// the module then puts its real methods into the slots it supports. Calling conventions
// are spelled out in each method's type, never left to the C++ virtual-call ABI.
#pragma once

#include <cstdio>
#include <utility>

#include "world_link.h"

#define WORLD_THISCALL __attribute__((thiscall))

namespace world_fake {

// Return codes of the engine's factories.
constexpr int kInterfaceFound = 0;    // IFACE_OK
constexpr int kInterfaceMissing = 1;  // IFACE_FAILED

// A catcher: this-call with no stack arguments, so it returns safely whether it was
// called as this-call or cdecl (with cdecl the caller removes the arguments; a this-call
// caller passing stack arguments would be a plug-in bug the journal already shows).
template <const char* Name, int Slot>
void WORLD_THISCALL UnexpectedMethod(void* /*self*/) {
  char line[128];
  snprintf(line, sizeof line, "unexpected %s slot %d", Name, Slot);
  Journal(line);
}

template <const char* Name, int Slots>
class Interface {
 public:
  Interface() { FillCatchers(std::make_integer_sequence<int, Slots>{}); }
  void SetMethod(int slot, void* method) { methods_[slot] = method; }
  void* Object() { return &object_; }

 private:
  template <int... Slot>
  void FillCatchers(std::integer_sequence<int, Slot...>) {
    ((methods_[Slot] = reinterpret_cast<void*>(&UnexpectedMethod<Name, Slot>)), ...);
  }

  void* methods_[Slots];
  struct Object {
    void** methods;  // first word: the method table
  } object_{methods_};
};

}  // namespace world_fake
