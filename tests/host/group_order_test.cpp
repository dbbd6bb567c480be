#include "group_order.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using tdiorder::GroupOrderValue;
using tdiorder::OptionalTag;

constexpr OptionalTag kNone{false, 0};
OptionalTag Tag(uint32_t value) { return {true, value}; }

GroupOrderValue ValueOf(const std::vector<uint32_t>& tags) {
  GroupOrderValue value;
  std::memset(value.bytes, 0xEE, sizeof value.bytes);  // bytes beyond the list hold garbage
  uint32_t count = uint32_t(tags.size());
  std::memcpy(value.bytes, &count, 4);
  if (!tags.empty()) std::memcpy(value.bytes + 4, tags.data(), 4 * tags.size());
  value.length = 4 + 4 * count;
  return value;
}

std::vector<uint32_t> TagsOf(const GroupOrderValue& value) {
  uint32_t count;
  std::memcpy(&count, value.bytes, 4);
  EXPECT_EQ(value.length, 4 + 4 * count);
  std::vector<uint32_t> tags(count);
  if (count != 0) std::memcpy(tags.data(), value.bytes + 4, 4 * count);
  return tags;
}

TEST(GroupOrder, MovesDriverRightAfterTcpip) {
  GroupOrderValue value = ValueOf({1, 3, 2, 4});
  EXPECT_TRUE(PlaceDriverTag(value, Tag(3), Tag(4)));
  EXPECT_EQ(TagsOf(value), (std::vector<uint32_t>{1, 3, 4, 2}));
}

TEST(GroupOrder, MovesAcrossSeveralTagsKeepingTheirOrder) {
  GroupOrderValue value = ValueOf({7, 2, 5, 6, 8, 9});
  PlaceDriverTag(value, Tag(2), Tag(9));
  EXPECT_EQ(TagsOf(value), (std::vector<uint32_t>{7, 2, 9, 5, 6, 8}));
}

// Tags come from the service control manager only: a driver without one, or
// with 0, leaves the list as it was, and no tag is ever made up here.
TEST(GroupOrder, ADriverWithoutATagLeavesTheListAlone) {
  for (OptionalTag driver : {kNone, Tag(0)}) {
    GroupOrderValue value = ValueOf({1, 3, 2, 4});
    GroupOrderValue before = value;
    EXPECT_FALSE(PlaceDriverTag(value, Tag(3), driver));
    EXPECT_EQ(std::memcmp(&before, &value, sizeof value), 0);
  }
}

TEST(GroupOrder, DriverTagMissingFromListIsAppendedThenMoved) {
  GroupOrderValue value = ValueOf({1, 3, 2});
  EXPECT_TRUE(PlaceDriverTag(value, Tag(1), Tag(9)));
  EXPECT_EQ(TagsOf(value), (std::vector<uint32_t>{1, 9, 3, 2}));
}

TEST(GroupOrder, OrderUnchangedWhenAlreadyRightAfterOrBeforeTcpip) {
  for (auto tags : {std::vector<uint32_t>{1, 3, 4, 2}, std::vector<uint32_t>{4, 1, 3, 2}}) {
    GroupOrderValue value = ValueOf(tags);
    EXPECT_TRUE(PlaceDriverTag(value, Tag(3), Tag(4)));
    EXPECT_EQ(TagsOf(value), tags);
  }
}

// Appended to a list that tcpip is not in, the driver would load before
// tcpip at every boot and never attach: the list stays as it is.
TEST(GroupOrder, TcpipAbsentFromTheListLeavesItAlone) {
  for (OptionalTag tcpip : {kNone, Tag(42)}) {
    for (auto tags : {std::vector<uint32_t>{1, 3, 2}, std::vector<uint32_t>{}}) {
      GroupOrderValue value = ValueOf(tags);
      EXPECT_FALSE(PlaceDriverTag(value, tcpip, Tag(4)));
      EXPECT_EQ(TagsOf(value), tags);
    }
  }
}

TEST(GroupOrder, FirstOccurrenceOfDuplicateTagsCounts) {
  GroupOrderValue value = ValueOf({3, 1, 3, 2, 4});
  PlaceDriverTag(value, Tag(3), Tag(4));
  EXPECT_EQ(TagsOf(value), (std::vector<uint32_t>{3, 4, 1, 3, 2}));
}

// A value that is not exactly a count and its tags is never rewritten: the tool
// would otherwise write back bytes it never read.
TEST(GroupOrder, MalformedValuesAreLeftUntouched) {
  struct Case {
    const char* what;
    uint32_t count;
    uint32_t length;
  } cases[] = {
      {"shorter than the count", 0, 3},
      {"count says more tags than were read", 4, 4 + 4 * 3},
      {"trailing bytes after the tags", 2, 4 + 4 * 2 + 1},
      {"count beyond the buffer", 300, 1024},
      {"length beyond the buffer", 0, 1025},
  };
  for (const Case& c : cases) {
    GroupOrderValue value = ValueOf({});
    std::memcpy(value.bytes, &c.count, 4);
    value.length = c.length;
    GroupOrderValue before = value;
    EXPECT_FALSE(PlaceDriverTag(value, Tag(1), Tag(7))) << c.what;
    EXPECT_EQ(std::memcmp(&before, &value, sizeof value), 0) << c.what;
  }
}

TEST(GroupOrder, FullListGetsNoAppendButStillReorders) {
  std::vector<uint32_t> full;
  for (uint32_t i = 1; i <= tdiorder::kMaxTags; ++i) full.push_back(i);

  GroupOrderValue value = ValueOf(full);
  EXPECT_FALSE(PlaceDriverTag(value, Tag(1), Tag(999)));
  EXPECT_EQ(TagsOf(value), full);

  EXPECT_TRUE(PlaceDriverTag(value, Tag(1), Tag(255)));
  std::vector<uint32_t> tags = TagsOf(value);
  ASSERT_EQ(tags.size(), 255u);
  EXPECT_EQ(tags[0], 1u);
  EXPECT_EQ(tags[1], 255u);
  EXPECT_EQ(tags[2], 2u);
  EXPECT_EQ(tags[254], 254u);
}

TEST(GroupOrder, ListWithOneFreeSlotTakesTheDriver) {
  std::vector<uint32_t> tags;
  for (uint32_t i = 1; i < tdiorder::kMaxTags; ++i) tags.push_back(i);
  GroupOrderValue value = ValueOf(tags);
  EXPECT_TRUE(PlaceDriverTag(value, Tag(2), Tag(300)));
  EXPECT_EQ(value.length, 1024u);
  EXPECT_EQ(TagsOf(value)[2], 300u);
}

}  // namespace
