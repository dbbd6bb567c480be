// The extension's portable rules: the texts stored in vesk.ini for priority
// and affinity choices, which processes get recorded, and tab stepping.
#include <gtest/gtest.h>

#include "common/text_format.h"
#include "host/tab_order.h"
#include "process/priority_names.h"

namespace {

TEST(PriorityNames, EachSetPriorityCommandHasItsStoredName) {
  EXPECT_STREQ(PriorityNameForCommand(40029), L"Realtime");
  EXPECT_STREQ(PriorityNameForCommand(40030), L"AboveNormal");
  EXPECT_STREQ(PriorityNameForCommand(40031), L"High");
  EXPECT_STREQ(PriorityNameForCommand(40032), L"Normal");
  EXPECT_STREQ(PriorityNameForCommand(40033), L"BelowNormal");
  EXPECT_STREQ(PriorityNameForCommand(40034), L"Idle");
  EXPECT_EQ(PriorityNameForCommand(40028), nullptr);
  EXPECT_EQ(PriorityNameForCommand(40035), nullptr);
  EXPECT_EQ(PriorityNameForCommand(0), nullptr);
}

TEST(PriorityNames, SystemProcessIdsUpToSixteenAreNeverRecorded) {
  for (unsigned long id : {0ul, 4ul, 8ul, 16ul}) EXPECT_FALSE(IsRecordableProcessId(id)) << id;
  for (unsigned long id : {17ul, 20ul, 4000ul}) EXPECT_TRUE(IsRecordableProcessId(id)) << id;
}

TEST(AffinityText, MasksAreWrittenAsSignedDecimal) {
  EXPECT_EQ(SignedDecimal(0), L"0");
  EXPECT_EQ(SignedDecimal(3), L"3");
  EXPECT_EQ(SignedDecimal(0x7FFFFFFFu), L"2147483647");
  EXPECT_EQ(SignedDecimal(0x80000000u), L"-2147483648");
  EXPECT_EQ(SignedDecimal(0x80000001u), L"-2147483647");
  EXPECT_EQ(SignedDecimal(0xFFFFFFFFu), L"-1");
  // Checkpoints are unsigned.
  EXPECT_EQ(Decimal(0), L"0");
  EXPECT_EQ(Decimal(10), L"10");
  EXPECT_EQ(Decimal(0xFFFFFFFFu), L"4294967295");
  EXPECT_EQ(Decimal(0xFFFFFFFFFFFFFFFFull), L"18446744073709551615");
}

TEST(TabOrder, StepsWrapAroundAtBothEnds) {
  EXPECT_EQ(SteppedTabIndex(0, +1, 5), 1);
  EXPECT_EQ(SteppedTabIndex(4, +1, 5), 0);
  EXPECT_EQ(SteppedTabIndex(0, -1, 5), 4);
  EXPECT_EQ(SteppedTabIndex(3, -1, 5), 2);
  // No selection (-1): next gives the first tab, previous the last.
  EXPECT_EQ(SteppedTabIndex(-1, +1, 5), 0);
  EXPECT_EQ(SteppedTabIndex(-1, -1, 5), 4);
  EXPECT_EQ(SteppedTabIndex(0, +1, 1), 0);
  EXPECT_EQ(SteppedTabIndex(0, -1, 0), 0);
}

TEST(HashText, BytesBecomeUpperCaseDigitPairsHighNibbleFirst) {
  const uint8_t hash[] = {0x00, 0x0F, 0xA5, 0xFF, 0x10};
  EXPECT_EQ(UpperHex(hash, sizeof hash), L"000FA5FF10");
  EXPECT_EQ(UpperHex(hash, 0), L"");
}

TEST(HashText, TheSectionOfAPathIsItsFileName) {
  EXPECT_EQ(FileNameOf(L"C:\\WINDOWS\\system32\\svchost.exe"), L"svchost.exe");
  EXPECT_EQ(FileNameOf(L"svchost.exe"), L"svchost.exe");
  EXPECT_EQ(FileNameOf(L"C:\\dir\\"), L"");
}

}  // namespace
