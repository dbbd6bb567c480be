#include "setup_rules.h"

namespace vesk::setup {
namespace {

constexpr uint32_t kErrorServiceNotActive = 1062;
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kPlatformWin32Nt = 2;
constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr uint32_t kRegSz = 1;

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t'; }

const wchar_t* SkipSpaces(const wchar_t* p) {
  while (IsSpace(*p)) ++p;
  return p;
}

wchar_t Lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? wchar_t(c - L'A' + L'a') : c; }

// Whether the word starting at `word` (ending at a space or the end) is
// `expected`, in any case; options may start with '-' or '/'.
bool WordIs(const wchar_t* word, const wchar_t* expected) {
  if (*expected == L'/' && *word == L'-') {
    ++word;
    ++expected;
  }
  while (*expected != 0 && Lower(*word) == *expected) {
    ++word;
    ++expected;
  }
  return *expected == 0 && (*word == 0 || IsSpace(*word));
}

const wchar_t* NextWord(const wchar_t* p) {
  while (*p != 0 && !IsSpace(*p)) ++p;
  return SkipSpaces(p);
}

}  // namespace

const wchar_t* SkipProgramName(const wchar_t* commandLine) {
  const wchar_t* p = SkipSpaces(commandLine);
  if (*p == L'"') {
    ++p;
    while (*p != 0 && *p != L'"') ++p;
    if (*p == L'"') ++p;
  }
  while (*p != 0 && !IsSpace(*p)) ++p;
  return SkipSpaces(p);
}

Options ParseArguments(const wchar_t* arguments) {
  Options options = {Command::Invalid, false, true};
  const wchar_t* word = SkipSpaces(arguments);
  if (WordIs(word, L"/?")) {
    options.command = *NextWord(word) == 0 ? Command::Help : Command::Invalid;
    return options;
  }
  Command command;
  if (WordIs(word, L"install")) {
    command = Command::Install;
  } else if (WordIs(word, L"uninstall")) {
    command = Command::Uninstall;
  } else {
    return options;
  }
  for (word = NextWord(word); *word != 0; word = NextWord(word)) {
    if (command == Command::Install && WordIs(word, L"/nostart")) {
      options.startDriver = false;
    } else if (command == Command::Uninstall && WordIs(word, L"/removeini")) {
      options.removeSettings = true;
    } else {
      return options;
    }
  }
  options.command = command;
  return options;
}

PlatformVerdict JudgePlatform(uint32_t platformId, uint32_t major, uint32_t minor, uint32_t servicePackMajor,
                              bool sixtyFourBit) {
  ExtensionBuild build = major == 5 && minor == 0 ? ExtensionBuild::Nt : ExtensionBuild::Xp;
  if (platformId != kPlatformWin32Nt) return {Platform::NotWindowsNt, build};
  if (major < 5 || (major == 5 && minor == 0 && servicePackMajor < 4)) return {Platform::TooOld, build};
  if (major > 5 || minor > 2) return {Platform::TooNew, build};
  if (sixtyFourBit) return {Platform::SixtyFourBit, build};
  return {Platform::Supported, build};
}

bool DriverStillLoaded(bool stopRequestSucceeded, uint32_t error, uint32_t stateAfterWait) {
  if (stopRequestSucceeded) return stateAfterWait != kServiceStopped;
  return error != kErrorServiceNotActive;
}

StringValue ClassifyStringValue(long status, uint32_t type) {
  if (status == kErrorFileNotFound) return StringValue::Absent;
  return status == kErrorSuccess && type == kRegSz ? StringValue::Read : StringValue::Other;
}

DebuggerOwner OwnerOfDebugger(StringValue value, bool equalsSetupCommand) {
  if (value == StringValue::Absent) return DebuggerOwner::Nobody;
  return value == StringValue::Read && equalsSetupCommand ? DebuggerOwner::Setup
                                                          : DebuggerOwner::OtherProgram;
}

LoadOrder JudgeLoadOrder(const tdiorder::GroupOrderValue* list, tdiorder::OptionalTag tcpipTag,
                         tdiorder::OptionalTag driverTag) {
  if (!list) return LoadOrder::NoList;
  uint32_t count = 0;
  if (!tdiorder::IsWellFormed(*list, count)) return LoadOrder::UnusableList;
  if (!driverTag.present || driverTag.value == 0) return LoadOrder::NoDriverTag;
  uint32_t t = tcpipTag.present ? tdiorder::FindTag(*list, count, tcpipTag.value) : count;
  if (t == count) return LoadOrder::TcpipNotListed;
  uint32_t d = tdiorder::FindTag(*list, count, driverTag.value);
  if (d == count) return LoadOrder::NotPlaced;
  if (d == t + 1) return LoadOrder::RightAfterTcpip;
  return d < t ? LoadOrder::BeforeTcpip : LoadOrder::NotPlaced;
}

bool RemoveTag(tdiorder::GroupOrderValue& value, uint32_t tag) {
  uint32_t count = 0;
  if (!tdiorder::IsWellFormed(value, count)) return false;
  uint32_t at = tdiorder::FindTag(value, count, tag);
  if (at == count) return false;
  for (uint32_t i = at; i + 1 < count; ++i) tdiorder::SetTagAt(value, i, tdiorder::TagAt(value, i + 1));
  tdiorder::SetCount(value, count - 1);
  return true;
}

}  // namespace vesk::setup
