#include "loader_logic.h"

namespace veskload {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

void Put32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

const char16_t* SkipFirstToken(const char16_t* commandLine) {
  const char16_t* p = commandLine;
  while (IsBlank(*p)) ++p;
  if (*p == u'"') {
    ++p;
    while (*p && *p != u'"') ++p;
    if (*p == u'"') ++p;
  } else {
    while (*p && !IsBlank(*p)) ++p;
  }
  while (IsBlank(*p)) ++p;
  return p;
}

void BuildStub(uint32_t pathAddress, uint32_t loadLibraryW, uint32_t entryPoint, uint8_t (&stub)[kStubSize]) {
  uint8_t* p = stub;
  *p++ = 0x68;  // push path
  Put32(p, pathAddress);
  p += 4;
  *p++ = 0xB8;  // mov eax, LoadLibraryW
  Put32(p, loadLibraryW);
  p += 4;
  *p++ = 0xFF;  // call eax (stdcall: pops the path)
  *p++ = 0xD0;
  *p++ = 0xB8;  // mov eax, entry point
  Put32(p, entryPoint);
  p += 4;
  *p++ = 0xFF;  // jmp eax
  *p++ = 0xE0;
}

Session::Step Session::OnCreateProcess(uint32_t entryPoint) {
  entry_ = entryPoint;
  status_ = kContinue;
  if (done_ || armed_) return Step::kContinue;
  armed_ = true;
  return Step::kArmEntry;
}

Session::Step Session::OnException(uint32_t code, uint32_t address, bool firstChance) {
  status_ = kNotHandled;
  if (code != kBreakpointCode || !firstChance) return Step::kContinue;
  if (armed_ && address == entry_) {
    armed_ = false;
    entryReached_ = true;
    done_ = true;
    status_ = kContinue;
    return Step::kMapExtension;
  }
  // Once the entry point has run, no breakpoint is the system's.
  if (!systemBreakpointSeen_ && !entryReached_) {
    systemBreakpointSeen_ = true;
    status_ = kContinue;
  }
  return Step::kContinue;
}

Session::Step Session::OnExitProcess(uint32_t exitCode) {
  exitCode_ = exitCode;
  status_ = kContinue;
  done_ = true;
  return Step::kExited;
}

Session::Step Session::OnOther() {
  status_ = kContinue;
  return Step::kContinue;
}

}  // namespace veskload
