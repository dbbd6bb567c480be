// The rules by which vesksvc reads saved values and finds new processes.
#include <gtest/gtest.h>

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
