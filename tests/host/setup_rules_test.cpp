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

TEST(SetupPlatform, TakesWindows2000Sp4XpAnd2003At32BitOnly) {
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
      {2, 5, 2, 2, false, Platform::Supported, ExtensionBuild::Xp},
      // From Vista on Task Manager is another program.
      {2, 5, 3, 0, false, Platform::TooNew, ExtensionBuild::Xp},
      {2, 6, 0, 2, false, Platform::TooNew, ExtensionBuild::Xp},
      {2, 6, 1, 1, false, Platform::TooNew, ExtensionBuild::Xp},
      {2, 10, 0, 0, false, Platform::TooNew, ExtensionBuild::Xp},
      {2, 5, 2, 2, true, Platform::SixtyFourBit, ExtensionBuild::Xp},
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

// Only the entry tdiorder placed goes: another driver's entry that carries
// the same number stays.
TEST(SetupGroupOrder, RemovesOneOccurrenceOfTheTagFromAWellFormedListOnly) {
  auto value = List({5, 1, 3, 5, 2, 5});
  EXPECT_TRUE(RemoveTag(value, 5));
  EXPECT_EQ(Words(value), (std::vector<uint32_t>{4, 1, 3, 2, 5}));
  value = List({1, 5});
  EXPECT_TRUE(RemoveTag(value, 5));
  EXPECT_EQ(Words(value), (std::vector<uint32_t>{0}));

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

// A Debugger value is setup's only when it is a REG_SZ setup could read
// whole and it is setup's own command; whatever else is there is another
// program's and stays.
TEST(SetupDebuggerValue, OnlySetupsOwnReadableStringIsSetups) {
  constexpr long kSuccess = 0, kNotFound = 2, kMoreData = 234, kAccessDenied = 5;
  constexpr uint32_t kRegSz = 1, kRegExpandSz = 2, kRegMultiSz = 7;
  struct Case {
    long status;
    uint32_t type;
    bool equalsSetupCommand;
    DebuggerOwner owner;
  } cases[] = {
      {kNotFound, 0, false, DebuggerOwner::Nobody},
      {kSuccess, kRegSz, true, DebuggerOwner::Setup},
      {kSuccess, kRegSz, false, DebuggerOwner::OtherProgram},
      {kSuccess, kRegExpandSz, true, DebuggerOwner::OtherProgram},
      {kSuccess, kRegMultiSz, true, DebuggerOwner::OtherProgram},
      {kMoreData, kRegSz, false, DebuggerOwner::OtherProgram},
      {kAccessDenied, 0, false, DebuggerOwner::OtherProgram},
  };
  for (const Case& c : cases)
    EXPECT_EQ(OwnerOfDebugger(ClassifyStringValue(c.status, c.type), c.equalsSetupCommand), c.owner)
        << c.status << " " << c.type;
}

TEST(SetupLoadOrder, SaysWhereTheDriverLoadsInItsGroup) {
  const tdiorder::OptionalTag none{false, 0};
  auto tag = [](uint32_t value) { return tdiorder::OptionalTag{true, value}; };
  auto placed = List({3, 1, 3, 4});
  auto before = List({3, 4, 1, 3});
  auto later = List({4, 1, 3, 2, 4});
  auto withoutDriver = List({2, 1, 3});
  auto torn = List({2, 1, 3}, 10);
  struct Case {
    const char* what;
    const tdiorder::GroupOrderValue* list;
    tdiorder::OptionalTag tcpip, driver;
    LoadOrder order;
  } cases[] = {
      {"right after tcpip", &placed, tag(3), tag(4), LoadOrder::RightAfterTcpip},
      {"before tcpip", &before, tag(3), tag(4), LoadOrder::BeforeTcpip},
      {"later than right after", &later, tag(3), tag(4), LoadOrder::NotPlaced},
      {"not in the list", &withoutDriver, tag(3), tag(4), LoadOrder::NotPlaced},
      {"no list", nullptr, tag(3), tag(4), LoadOrder::NoList},
      {"no list and no driver tag", nullptr, tag(3), none, LoadOrder::NoList},
      {"not a list", &torn, tag(3), tag(4), LoadOrder::UnusableList},
      {"tcpip without a tag", &placed, none, tag(4), LoadOrder::TcpipNotListed},
      {"tcpip's tag not listed", &placed, tag(9), tag(4), LoadOrder::TcpipNotListed},
      {"driver without a tag", &placed, tag(3), none, LoadOrder::NoDriverTag},
      {"driver's tag 0", &placed, tag(3), tag(0), LoadOrder::NoDriverTag},
  };
  for (const Case& c : cases) EXPECT_EQ(JudgeLoadOrder(c.list, c.tcpip, c.driver), c.order) << c.what;
}

}  // namespace
