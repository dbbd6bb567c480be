#include "setup_rules.h"

namespace vesk::setup {
namespace {

constexpr uint32_t kErrorServiceNotActive = 1062;
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kPlatformWin32Nt = 2;

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

uint32_t ReadWord(const uint8_t* bytes, uint32_t index) {
  const uint8_t* p = bytes + 4 * index;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void WriteWord(uint8_t* bytes, uint32_t index, uint32_t word) {
  uint8_t* p = bytes + 4 * index;
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(word >> (8 * i));
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
  if (sixtyFourBit) return {Platform::SixtyFourBit, build};
  return {Platform::Supported, build};
}

bool DriverStillLoaded(bool stopRequestSucceeded, uint32_t error, uint32_t stateAfterWait) {
  if (stopRequestSucceeded) return stateAfterWait != kServiceStopped;
  return error != kErrorServiceNotActive;
}

bool RemoveTag(tdiorder::GroupOrderValue& value, uint32_t tag) {
  if (value.length < 4 || value.length > tdiorder::kGroupOrderBufferSize) return false;
  uint32_t count = ReadWord(value.bytes, 0);
  if (count > tdiorder::kMaxTags || value.length != 4 + 4 * count) return false;
  uint32_t kept = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t word = ReadWord(value.bytes, 1 + i);
    if (word != tag) WriteWord(value.bytes, 1 + kept++, word);
  }
  if (kept == count) return false;
  WriteWord(value.bytes, 0, kept);
  value.length = 4 + 4 * kept;
  return true;
}

}  // namespace vesk::setup
