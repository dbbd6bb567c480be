// vesksetup's decisions: the command line, the Windows versions it accepts
// and the build it installs on each, a failed driver stop, and taking the
// driver's tag out of the group order list.
#include "setup_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace vesk::setup;

TEST(SetupArguments, AcceptsTheCommandsAndTheirOptionsOnly) {
  struct Case {
    const wchar_t* arguments;
    Command command;
    bool removeSettings;
    bool startDriver;
  } cases[] = {
      {L"install", Command::Install, false, true},
      {L"  INSTALL  /NoStart ", Command::Install, false, false},
      {L"install -nostart", Command::Install, false, false},
      {L"uninstall", Command::Uninstall, false, true},
      {L"Uninstall /removeini", Command::Uninstall, true, true},
      {L"/?", Command::Help, false, true},
      {L"-?", Command::Help, false, true},
      {L"", Command::Invalid, false, true},
      {L"install /removeini", Command::Invalid, false, true},
      {L"uninstall /nostart", Command::Invalid, false, true},
      {L"installer", Command::Invalid, false, true},
      {L"install uninstall", Command::Invalid, false, true},
      {L"/? install", Command::Invalid, false, true},
  };
  for (const Case& c : cases) {
    Options options = ParseArguments(c.arguments);
    EXPECT_EQ(options.command, c.command) << c.arguments;
    if (options.command == Command::Invalid) continue;
    EXPECT_EQ(options.removeSettings, c.removeSettings) << c.arguments;
    EXPECT_EQ(options.startDriver, c.startDriver) << c.arguments;
  }
}

TEST(SetupArguments, SkipsTheProgramNameQuotedOrNot) {
  EXPECT_STREQ(SkipProgramName(L"\"C:\\my files\\vesksetup.exe\"  install"), L"install");
  EXPECT_STREQ(SkipProgramName(L"vesksetup.exe uninstall /removeini"), L"uninstall /removeini");
  EXPECT_STREQ(SkipProgramName(L"\"unterminated"), L"");
  EXPECT_STREQ(SkipProgramName(L"vesksetup"), L"");
}

TEST(SetupPlatform, TakesWindows2000Sp4AndLater32BitOnly) {
  struct Case {
    uint32_t platformId, major, minor, servicePack;
    bool wow64;
    Platform platform;
    ExtensionBuild build;
  } cases[] = {
      {2, 5, 0, 4, false, Platform::Supported, ExtensionBuild::Nt},
      {2, 5, 0, 3, false, Platform::TooOld, ExtensionBuild::Nt},
      {2, 4, 0, 6, false, Platform::TooOld, ExtensionBuild::Xp},
      {2, 5, 1, 0, false, Platform::Supported, ExtensionBuild::Xp},
      {2, 5, 1, 3, false, Platform::Supported, ExtensionBuild::Xp},
      {2, 6, 1, 1, false, Platform::Supported, ExtensionBuild::Xp},
      {2, 5, 2, 2, true, Platform::SixtyFourBit, ExtensionBuild::Xp},
      {2, 6, 1, 1, true, Platform::SixtyFourBit, ExtensionBuild::Xp},
      {1, 4, 90, 0, false, Platform::NotWindowsNt, ExtensionBuild::Xp},
  };
  for (const Case& c : cases) {
    PlatformVerdict verdict = JudgePlatform(c.platformId, c.major, c.minor, c.servicePack, c.wow64);
    EXPECT_EQ(verdict.platform, c.platform) << c.major << "." << c.minor << " SP" << c.servicePack;
    EXPECT_EQ(verdict.build, c.build) << c.major << "." << c.minor;
  }
}

// A driver that refuses to unload must be left for the next boot; one that
// stopped or never ran can be removed now.
TEST(SetupDriverStop, OnlyAStoppedOrNeverStartedDriverIsGone) {
  constexpr uint32_t kStopped = 1, kStopPending = 3, kRunning = 4;
  EXPECT_FALSE(DriverStillLoaded(true, 0, kStopped));
  EXPECT_TRUE(DriverStillLoaded(true, 0, kStopPending));
  EXPECT_TRUE(DriverStillLoaded(true, 0, kRunning));
  EXPECT_FALSE(DriverStillLoaded(false, 1062, 0));  // not active
  EXPECT_TRUE(DriverStillLoaded(false, 1052, 0));   // the control is invalid for this service
  EXPECT_TRUE(DriverStillLoaded(false, 1061, 0));   // cannot accept the control now
  EXPECT_TRUE(DriverStillLoaded(false, 5, 0));      // access denied: state unknown
}

tdiorder::GroupOrderValue List(const std::vector<uint32_t>& words, uint32_t length = ~0u) {
  tdiorder::GroupOrderValue value;
  std::memset(value.bytes, 0xEE, sizeof value.bytes);
  if (!words.empty()) std::memcpy(value.bytes, words.data(), 4 * words.size());
  value.length = length == ~0u ? uint32_t(4 * words.size()) : length;
  return value;
}

std::vector<uint32_t> Words(const tdiorder::GroupOrderValue& value) {
  std::vector<uint32_t> words(value.length / 4);
  if (!words.empty()) std::memcpy(words.data(), value.bytes, 4 * words.size());
  return words;
}

TEST(SetupGroupOrder, RemovesEveryCopyOfTheTagFromAWellFormedListOnly) {
  auto value = List({4, 1, 3, 5, 5});
  EXPECT_TRUE(RemoveTag(value, 5));
  EXPECT_EQ(Words(value), (std::vector<uint32_t>{2, 1, 3}));

  value = List({2, 1, 3});
  EXPECT_FALSE(RemoveTag(value, 5));
  EXPECT_EQ(Words(value), (std::vector<uint32_t>{2, 1, 3}));

  // A count that does not match the length, a torn length, and a count past
  // the buffer: nothing is changed.
  for (auto bad : {List({3, 1, 5}), List({2, 1, 5}, 10), List({300, 5}), List({}, 0)}) {
    auto before = Words(bad);
    EXPECT_FALSE(RemoveTag(bad, 5));
    EXPECT_EQ(Words(bad), before);
  }
}

}  // namespace
