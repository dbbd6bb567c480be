// Functions of system libraries that the extension binds by name on first
// use instead of importing them, so that the library loads where they are
// missing and pays for them only when they are needed.
#pragma once

#include "common/target.h"

// Loads the library from the system directory (never from the program's
// folder or the current directory); null when it cannot be loaded.
HMODULE LoadSystemLibrary(const wchar_t* fileName);

// A function address as the function type it is known to have.
template <typename Function>
Function FunctionCast(FARPROC address) {
  // Through the generic function type, which converts to any other.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// A function bound on first use from a library that then stays loaded for
// the life of the process. Safe to use from several threads: a race binds the
// same address twice.
template <typename Function>
class LateBoundFunction {
 public:
  LateBoundFunction(const wchar_t* library, const char* name) : library_(library), name_(name) {}

  // The function, or null when the library or the name is missing (the
  // failure is remembered).
  Function Get() {
    if (InterlockedCompareExchange(&state_, 0, 0) == kUnbound) {
      HMODULE module = LoadSystemLibrary(library_);
      FARPROC address = module ? GetProcAddress(module, name_) : nullptr;
      function_ = address ? FunctionCast<Function>(address) : nullptr;
      // The address is published before the state that says it is there.
      InterlockedExchange(&state_, kBound);
    }
    return function_;
  }

 private:
  static constexpr LONG kUnbound = 0;
  static constexpr LONG kBound = 1;

  const wchar_t* library_;
  const char* name_;
  Function volatile function_ = nullptr;
  volatile LONG state_ = kUnbound;
};
