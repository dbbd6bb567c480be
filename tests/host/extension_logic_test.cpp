// The extension's portable rules: the texts stored in vesk.ini for priority
// and affinity choices, which processes get recorded, tab stepping, the
// host's file version, and the process tooltip's text with the services a
// process hosts.
#include <gtest/gtest.h>

#include "common/text_format.h"
#include "host/tab_order.h"
#include "host/version_block.h"
#include "process/priority_names.h"
#include "process/process_tip_text.h"
#include "services/hosted_services.h"

#include <vector>

namespace {

// A VS_VERSIONINFO block as a resource compiler writes it: header, key,
// padding, VS_FIXEDFILEINFO, then (here) a few bytes of children.
std::vector<uint8_t> VersionBlock(uint32_t fileVersionMs, uint32_t fileVersionLs) {
  std::vector<uint8_t> block;
  auto word = [&](uint16_t w) {
    block.push_back(uint8_t(w));
    block.push_back(uint8_t(w >> 8));
  };
  auto dword = [&](uint32_t d) {
    word(uint16_t(d));
    word(uint16_t(d >> 16));
  };
  word(0);   // wLength, set below
  word(52);  // wValueLength
  word(0);   // wType
  for (char c : std::string("VS_VERSION_INFO")) word(uint16_t(c));
  word(0);
  word(0);  // padding to 40
  uint32_t fixed[13] = {0xFEEF04BD, 0x00010000, fileVersionMs, fileVersionLs};
  for (uint32_t d : fixed) dword(d);
  for (int i = 0; i < 8; ++i) block.push_back(0);
  block[0] = uint8_t(block.size());
  block[1] = uint8_t(block.size() >> 8);
  return block;
}

TEST(HostVersion, TheFixedFileVersionIsReadFromAWellFormedBlockOnly) {
  std::vector<uint8_t> block = VersionBlock(0x00050001, 0x0A281588);  // 5.1.2600.5512
  FileVersion version = {};
  ASSERT_TRUE(ReadFixedFileVersion(block.data(), block.size(), version));
  EXPECT_EQ(version.major, 5);
  EXPECT_EQ(version.minor, 1);
  EXPECT_EQ(version.build, 2600);
  EXPECT_EQ(version.revision, 5512);

  struct Case {
    const char* what;
    size_t at;
    uint8_t value;
    size_t size;
  } cases[] = {
      {"cut before the fixed part ends", 0, block[0], 91},
      {"a length beyond the block", 0, uint8_t(block.size() + 1), block.size()},
      {"a length too short for the fixed part", 0, 80, block.size()},
      {"no room for the fixed part in the value", 2, 40, block.size()},
      {"another key", 8, 'W', block.size()},
      {"another signature", 40, 0xBE, block.size()},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bad = block;
    bad[c.at] = c.value;
    FileVersion untouched = {1, 2, 3, 4};
    EXPECT_FALSE(ReadFixedFileVersion(bad.data(), c.size, untouched)) << c.what;
    EXPECT_EQ(untouched.major, 1) << c.what;
  }
  EXPECT_FALSE(ReadFixedFileVersion(nullptr, 100, version));
}

TEST(HostVersion, OnlyTheTaskManagerOf2000XpAnd2003IsKnown) {
  struct Case {
    uint16_t major, minor;
    bool known;
  } cases[] = {{5, 0, true},  {5, 1, true},  {5, 2, true},  {5, 3, false},
               {4, 0, false}, {6, 0, false}, {6, 1, false}, {10, 0, false}};
  for (const Case& c : cases)
    EXPECT_EQ(IsKnownTaskManagerVersion({c.major, c.minor, 2600, 0}), c.known) << c.major << "." << c.minor;
}

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

TEST(ProcessTip, EachVersionStringHasItsPlaceAndMissingOnesLeaveNoGap) {
  struct Case {
    const wchar_t *description, *version, *copyright, *expected;
  } cases[] = {
      {L"Editor", L"5.1", L"(C) Maker", L"Editor v5.1\r\n(C) Maker\r\nC:\\ed.exe"},
      {L"Editor", L"", L"(C) Maker", L"Editor\r\n(C) Maker\r\nC:\\ed.exe"},
      {L"Editor", L"5.1", L"", L"Editor v5.1\r\nC:\\ed.exe"},
      // A version without a description has no line to go on.
      {L"", L"5.1", L"(C) Maker", L"(C) Maker\r\nC:\\ed.exe"},
      {L"", L"", L"", L"C:\\ed.exe"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ComposeProcessTip(c.description, c.version, c.copyright, L"C:\\ed.exe"), c.expected)
        << c.description << "|" << c.version << "|" << c.copyright;
}

// Two services share process 800, one runs in 900, two are stopped (id 0).
const std::vector<EnumeratedService> kServices = {
    {L"a", L"Alpha", 4, 1, 0, 800}, {L"s", L"Stopped", 1, 0, 0, 0}, {L"b", L"Beta", 4, 1, 0, 900},
    {L"c", L"Gamma", 4, 1, 0, 800}, {L"t", L"Halted", 1, 0, 0, 0},
};

TEST(HostingServices, TheHeaderOnceOneBreakBetweenNamesNoneAfterTheLastAndNothingForProcessZero) {
  struct Case {
    uint32_t processId;
    const wchar_t* appended;
  } cases[] = {
      {800, L"\nHosting Services:\n - Alpha\n - Gamma"},
      {900, L"\nHosting Services:\n - Beta"},
      {700, L""},
      // Every stopped service reports process 0; the idle process hosts none.
      {0, L""},
  };
  for (const Case& c : cases) {
    std::wstring text = L"C:\\svc.exe";
    AppendHostingServices(L"\nHosting Services:\n", text, c.processId, kServices);
    EXPECT_EQ(text, std::wstring(L"C:\\svc.exe") + c.appended) << c.processId;
  }
}

TEST(HostingServices, TheGoToListHoldsTheProcesssServicesInEnumerationOrderAndNoneForProcessZero) {
  struct Case {
    uint32_t processId;
    std::vector<std::wstring> names;
  } cases[] = {
      {800, {L"Alpha", L"Gamma"}},
      {900, {L"Beta"}},
      {700, {}},
      {0, {}},
  };
  for (const Case& c : cases) {
    // Whatever the list held before is gone.
    std::vector<std::wstring> names = {L"earlier"};
    ListHostedServices(c.processId, kServices, names);
    EXPECT_EQ(names, c.names) << c.processId;
  }
}

}  // namespace
