// The portable rules of the loader: where Task Manager's own command line
// starts in the one Windows gives its debugger, the code that maps the
// extension at Task Manager's entry point, the global flags Task Manager
// starts with, and what the debug loop does with each event.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veskload {

// Windows starts an image's debugger with `"<debugger>" <original command
// line>`. Returns the original command line: what follows the first token
// (quoted: up to the closing quote; unquoted: up to white space) and the
// white space after it, unchanged, so that Task Manager sees its arguments
// exactly as typed. Empty (pointing at the terminator) when there is none.
const char16_t* SkipFirstToken(const char16_t* commandLine);

// The code run in place of Task Manager's entry point: LoadLibraryW(path),
// whatever it returns, then a jump to the entry point with the stack and
// the preserved registers as they were. Writes kStubSize bytes.
constexpr size_t kStubSize = 19;
void BuildStub(uint32_t pathAddress, uint32_t loadLibraryW, uint32_t entryPoint, uint8_t (&stub)[kStubSize]);

// The x86 breakpoint instruction placed on the entry point.
constexpr uint8_t kBreakpoint = 0xCC;

// A process created for debugging is given heap tail checking, free checking
// and parameter validation (FLG_HEAP_ENABLE_TAIL_CHECK 0x10,
// FLG_HEAP_ENABLE_FREE_CHECK 0x20, FLG_HEAP_VALIDATE_PARAMETERS 0x40, the
// global flags reference) and keeps them for its life, detached or not.
// ntdll adds them while the process starts, unless the image has global
// flags of its own in its Image File Execution Options ("GlobalFlag", which
// setup sets to 0 for Task Manager). The loader also clears them in the
// PEB's NtGlobalFlag (offset 0x68 on 32-bit x86) at the process-creation
// event, before any code of the new process has run and its heap exists,
// for a Windows that puts them there when it creates the process.
constexpr uint32_t kPebGlobalFlagsOffset = 0x68;
constexpr uint32_t kDebugHeapFlags = 0x70;
// Task Manager's global flags as Windows would have started it: without the
// heap debugging flags, except those the system sets for every process
// (the loader's own flags, started normally, show which).
constexpr uint32_t WithoutDebugHeap(uint32_t taskManagerFlags, uint32_t loaderFlags) {
  return taskManagerFlags & ~(kDebugHeapFlags & ~loaderFlags);
}

constexpr uint32_t kContinue = 0x00010002u;        // DBG_CONTINUE
constexpr uint32_t kNotHandled = 0x80010001u;      // DBG_EXCEPTION_NOT_HANDLED
constexpr uint32_t kBreakpointCode = 0x80000003u;  // EXCEPTION_BREAKPOINT

// The debug loop's decisions. The loader continues the breakpoint the system
// may raise while a debugged process starts (before its entry point runs)
// and its own breakpoint on the entry point; every other exception goes back
// to Task Manager unhandled, as if no debugger were there.
class Session {
 public:
  enum class Step {
    kContinue,      // continue with Status()
    kArmEntry,      // write the breakpoint on the entry point, then continue
    kMapExtension,  // restore the entry point, run the stub, then continue
    kExited,        // Task Manager is gone: ExitCode()
  };

  // The process was created; `entryPoint` is its start address.
  Step OnCreateProcess(uint32_t entryPoint);
  // The breakpoint could not be written: Task Manager runs without the
  // extension.
  void OnArmFailed() {
    armed_ = false;
    done_ = true;
  }
  Step OnException(uint32_t code, uint32_t address, bool firstChance);
  Step OnExitProcess(uint32_t exitCode);
  Step OnOther();

  uint32_t Status() const { return status_; }
  uint32_t ExitCode() const { return exitCode_; }
  // The stub has been started (or mapping was given up): the loader has
  // nothing left to do in Task Manager and may detach where Windows can.
  bool Done() const { return done_; }

 private:
  uint32_t entry_ = 0;
  bool armed_ = false;
  bool entryReached_ = false;
  bool systemBreakpointSeen_ = false;
  bool done_ = false;
  uint32_t status_ = kContinue;
  uint32_t exitCode_ = 0;
};

}  // namespace veskload
