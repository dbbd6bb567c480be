// The rules by which vesksvc reads saved values and finds new processes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "process_tracker.h"
#include "saved_priority.h"

namespace vesksvc {
namespace {

TEST(SavedPriority, NamesGiveTheirClassesInAnyCase) {
  EXPECT_EQ(PriorityClassFromName(u"Realtime"), 0x100u);
  EXPECT_EQ(PriorityClassFromName(u"High"), 0x80u);
  EXPECT_EQ(PriorityClassFromName(u"AboveNormal"), 0x8000u);
  EXPECT_EQ(PriorityClassFromName(u"Normal"), 0x20u);
  EXPECT_EQ(PriorityClassFromName(u"BelowNormal"), 0x4000u);
  EXPECT_EQ(PriorityClassFromName(u"Idle"), 0x40u);
  EXPECT_EQ(PriorityClassFromName(u"aBoVeNoRmAl"), 0x8000u);
  for (const char16_t* other : {u"", u"Hig", u"Higher", u"Above Normal", u"128", u"Normal "})
    EXPECT_EQ(PriorityClassFromName(other), 0u);
  EXPECT_EQ(PriorityClassFromName(nullptr), 0u);
}

TEST(SavedPriority, AffinityIsSignedDecimalOfThe32BitMask) {
  struct Case {
    const char16_t* text;
    uint32_t mask;
  };
  for (const Case& c : {Case{u"3", 3u}, Case{u"+5", 5u}, Case{u"0", 0u}, Case{u"-1", 0xFFFFFFFFu},
                        Case{u"2147483647", 0x7FFFFFFFu}, Case{u"-2147483648", 0x80000000u},
                        Case{u"-2147483647", 0x80000001u}, Case{u"0000000000000000000007", 7u}}) {
    uint32_t mask = 0xDEADBEEF;
    EXPECT_TRUE(ParseAffinity(c.text, &mask)) << std::u16string(c.text).size();
    EXPECT_EQ(mask, c.mask);
  }
}

TEST(SavedPriority, MalformedOrOutOfRangeAffinityIsRejectedAndLeavesTheMask) {
  for (const char16_t* text : {u"", u"-", u"+", u"2147483648", u"-2147483649", u"4294967295",
                               u"99999999999999999999", u"0x3", u"3 ", u" 3", u"3a", u"--1", u"1-"}) {
    uint32_t mask = 0xDEADBEEF;
    EXPECT_FALSE(ParseAffinity(text, &mask));
    EXPECT_EQ(mask, 0xDEADBEEFu);
  }
  uint32_t mask = 0;
  EXPECT_FALSE(ParseAffinity(nullptr, &mask));
}

TEST(SavedPriority, MaskIsLimitedToTheProcessorsAndSystemIdsAreLeftAlone) {
  EXPECT_EQ(MaskToProcessors(0x80000001u, 0x3u), 0x1u);
  EXPECT_EQ(MaskToProcessors(0xFFFFFFFFu, 0x3u), 0x3u);
  EXPECT_EQ(MaskToProcessors(0xCu, 0x3u), 0u);
  EXPECT_FALSE(IsEligibleProcessId(0));
  EXPECT_FALSE(IsEligibleProcessId(16));
  EXPECT_TRUE(IsEligibleProcessId(17));
}

// Realtime needs the privilege to raise base priority in the process's own
// token: without it the owner could only set High, and so does the service.
TEST(SavedPriority, RealtimeOnlyForAnOwnerWhoCouldSetIt) {
  struct Case {
    uint32_t saved;
    bool mayRaise;
    uint32_t applied;
  } cases[] = {
      {0x100, true, 0x100},    {0x100, false, 0x80}, {0x80, false, 0x80},
      {0x8000, false, 0x8000}, {0x40, false, 0x40},
  };
  for (const Case& c : cases) EXPECT_EQ(ClassForProcess(c.saved, c.mayRaise), c.applied) << c.saved;
}

TEST(SavedPriority, PrivilegeIsFoundOnlyWithinTheTokensBlock) {
  // Two entries: LUID {5, 0} and the one looked for, {14, 1}.
  const uint8_t block[] = {2, 0, 0,  0, 5, 0, 0, 0, 0, 0, 0, 0, 3, 0,
                           0, 0, 14, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(PrivilegesInclude(block, sizeof block, 14, 1));
  EXPECT_TRUE(PrivilegesInclude(block, sizeof block, 5, 0));
  EXPECT_FALSE(PrivilegesInclude(block, sizeof block, 14, 0));
  EXPECT_FALSE(PrivilegesInclude(block, sizeof block, 15, 1));
  // The second entry is cut off, or the count claims more than is there.
  EXPECT_FALSE(PrivilegesInclude(block, sizeof block - 1, 14, 1));
  uint8_t overstated[sizeof block];
  std::memcpy(overstated, block, sizeof block);
  overstated[0] = 200;
  EXPECT_TRUE(PrivilegesInclude(overstated, sizeof overstated, 14, 1));
  EXPECT_FALSE(PrivilegesInclude(overstated, 16, 14, 1));
  EXPECT_FALSE(PrivilegesInclude(block, 3, 5, 0));
  EXPECT_FALSE(PrivilegesInclude(nullptr, 28, 5, 0));
}

TEST(SavedPriority, TheSessionsCriticalProcessesAreNeverTouched) {
  for (const char16_t* image : {u"smss.exe", u"CSRSS.EXE", u"winlogon.exe", u"lsass.exe", u"Services.exe"})
    EXPECT_TRUE(IsCriticalSystemImage(image));
  for (const char16_t* image : {u"svchost.exe", u"csrss", u"lsass.exe.exe", u"", u"explorer.exe"})
    EXPECT_FALSE(IsCriticalSystemImage(image));
  EXPECT_FALSE(IsCriticalSystemImage(nullptr));
}

class Tracker : public ::testing::Test {
 protected:
  explicit Tracker(size_t capacity = 64)
      : known_(capacity), current_(capacity), tracker_(known_.data(), current_.data(), capacity) {}

  // The keys of one snapshot in walk order; gives those reported new.
  std::vector<uint32_t> Snapshot(const std::vector<ProcessKey>& keys, bool complete = true) {
    std::vector<uint32_t> fresh;
    tracker_.BeginSnapshot();
    for (ProcessKey key : keys)
      if (tracker_.Observe(key)) fresh.push_back(key.id);
    if (complete)
      tracker_.EndSnapshot();
    else
      tracker_.DiscardSnapshot();
    return fresh;
  }

  std::vector<ProcessKey> known_, current_;
  ProcessTracker tracker_;
};

using Ids = std::vector<uint32_t>;

TEST_F(Tracker, FirstSnapshotIsAllNewThenOnlyArrivalsAndReusedIdsOfAnotherParent) {
  EXPECT_EQ(Snapshot({{400, 4}, {8, 0}, {120, 8}}), (Ids{400, 8, 120}));
  EXPECT_EQ(Snapshot({{120, 8}, {400, 4}, {8, 0}}), Ids{});
  // 400 ended and its id went to a child of 120; 700 arrived; 8 ended.
  EXPECT_EQ(Snapshot({{700, 120}, {400, 120}, {120, 8}}), (Ids{700, 400}));
  // The same id and parent again is the same process: not new.
  EXPECT_EQ(Snapshot({{400, 120}, {120, 8}, {700, 120}}), Ids{});
  EXPECT_EQ(tracker_.KnownCount(), 3u);
}

// Windows hands a freed id to a new process soon, often one of the same
// parent: the creation time tells the new one from the old.
TEST_F(Tracker, AReusedIdOfTheSameParentIsNewByItsCreationTime) {
  EXPECT_EQ(Snapshot({{400, 120, 1000}, {500, 120, 1001}}), (Ids{400, 500}));
  EXPECT_EQ(Snapshot({{400, 120, 1000}, {500, 120, 1001}}), Ids{});
  EXPECT_EQ(Snapshot({{400, 120, 2000}, {500, 120, 1001}}), Ids{400});
  EXPECT_EQ(Snapshot({{500, 120, 1001}, {400, 120, 2000}}), Ids{});
}

TEST_F(Tracker, ManyProcessesInAnyOrderAreEachNewOnce) {
  std::vector<ProcessKey> keys;
  for (uint32_t i = 0; i < 64; ++i) keys.push_back({(i * 37) % 64 * 4 + 4, i % 5});
  EXPECT_EQ(Snapshot(keys).size(), 64u);
  std::vector<ProcessKey> reversed(keys.rbegin(), keys.rend());
  EXPECT_EQ(Snapshot(reversed), Ids{});
  EXPECT_EQ(Snapshot(keys), Ids{});
}

TEST_F(Tracker, DiscardedWalkKeepsThePreviousSnapshot) {
  Snapshot({{100, 4}, {200, 4}, {300, 4}});
  // A walk that broke off after one process sees nothing of the others.
  EXPECT_EQ(Snapshot({{100, 4}}, false), Ids{});
  EXPECT_EQ(Snapshot({{100, 4}, {200, 4}, {300, 4}, {400, 4}}), Ids{400});
}

class SmallTracker : public Tracker {
 protected:
  SmallTracker() : Tracker(2) {}
};

TEST_F(SmallTracker, ProcessesBeyondCapacityAreNeverReportedAndNothingOverflows) {
  EXPECT_EQ(Snapshot({{100, 4}, {200, 4}, {300, 4}, {400, 4}}), (Ids{100, 200}));
  EXPECT_TRUE(tracker_.Overflowed());
  EXPECT_EQ(Snapshot({{100, 4}, {200, 4}, {300, 4}, {400, 4}}), Ids{});
  EXPECT_EQ(tracker_.KnownCount(), 2u);
  EXPECT_EQ(Snapshot({{100, 4}}), Ids{});
  EXPECT_FALSE(tracker_.Overflowed());
}

}  // namespace
}  // namespace vesksvc
