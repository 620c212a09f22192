// Owners of the walker's paired system calls: whatever way a routine leaves, the second
// half of each pair runs.
#pragma once

#include <windows.h>

// A kernel object handle, closed at the end of the scope.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  bool valid() const { return handle_ && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// A library loaded for the scope (null when it could not be loaded).
class ScopedLibrary {
 public:
  explicit ScopedLibrary(HMODULE module) : module_(module) {}
  ~ScopedLibrary() {
    if (module_) FreeLibrary(module_);
  }
  ScopedLibrary(const ScopedLibrary&) = delete;
  ScopedLibrary& operator=(const ScopedLibrary&) = delete;

  HMODULE get() const { return module_; }
  // Releases the library held so far and holds `module` instead.
  void reset(HMODULE module) {
    if (module_) FreeLibrary(module_);
    module_ = module;
  }

 private:
  HMODULE module_;
};
