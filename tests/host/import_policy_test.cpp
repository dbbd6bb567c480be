#include "import_policy.h"

#include <gtest/gtest.h>

#include "pe_builder.h"
#include "runtime_names.h"

namespace {

using pecheck::ImportPolicy;
using pecheck::PeImage;
using pecheck::WindowsVersion;

PeImage Parse(const PeBuilder& builder) {
  PeImage image;
  std::string error;
  EXPECT_TRUE(pecheck::ParsePeImage(builder.build(), image, error)) << error;
  return image;
}

ImportPolicy Policy(const std::string& text) {
  ImportPolicy policy;
  std::string error;
  EXPECT_TRUE(policy.parse(text, error)) << error;
  return policy;
}

const char kList[] =
    "# comment line\n"
    "KERNEL32.dll ExitProcess 2000   # trailing comment\n"
    "kernel32.DLL GetTickCount64 Vista\n"
    "USER32.dll SetLayeredWindowAttributes XP\n";

TEST(ImportPolicy, ListedImportsUpToTheTargetPass) {
  PeImage image = Parse(PeBuilder()
                            .import("Kernel32.DLL", {"ExitProcess"})
                            .import("USER32.dll", {"SetLayeredWindowAttributes"}));
  EXPECT_TRUE(Policy(kList).violations(image, WindowsVersion::XP).empty());
  EXPECT_TRUE(Policy(kList).violations(image, WindowsVersion::XPSP3).empty());
}

TEST(ImportPolicy, NewerThanTargetUnlistedFunctionAndUnlistedDllAreReported) {
  PeImage image = Parse(PeBuilder()
                            .import("KERNEL32.dll", {"ExitProcess", "GetTickCount64", "Sleep"})
                            .import("USER32.dll", {"SetLayeredWindowAttributes"})
                            .import("MSVCRT.dll", {"malloc"}));
  std::vector<std::string> v = Policy(kList).violations(image, WindowsVersion::W2000SP4);
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[0], "KERNEL32.dll!GetTickCount64: needs Windows Vista, target is 2000SP4");
  EXPECT_EQ(v[1], "KERNEL32.dll!Sleep: not on the allow-list");
  EXPECT_EQ(v[2], "USER32.dll!SetLayeredWindowAttributes: needs Windows XP, target is 2000SP4");
  EXPECT_EQ(v[3], "MSVCRT.dll!malloc: DLL not on the allow-list");
}

TEST(ImportPolicy, ImportsByOrdinalMustBeListedByOrdinal) {
  PeImage image = Parse(PeBuilder().import("COMCTL32.dll", {"@17"}));
  EXPECT_EQ(Policy("COMCTL32.dll @17 2000\n").violations(image, WindowsVersion::W2000).size(), 0u);
  EXPECT_EQ(Policy("COMCTL32.dll InitCommonControls 2000\n").violations(image, WindowsVersion::W2000).size(),
            1u);
}

TEST(ImportPolicy, MalformedLinesAreRejectedWithTheirNumber) {
  for (const char* text : {"A.dll F\n", "A.dll F 2000 extra\n", "A.dll F Windows98\n"}) {
    ImportPolicy policy;
    std::string error;
    EXPECT_FALSE(policy.parse(std::string("# ok\n") + text, error)) << text;
    EXPECT_EQ(error, "line 2: expected 'DLL FUNCTION VERSION'") << text;
  }
}

TEST(ImportPolicy, HeaderVersionsNewerThanTheTargetAreReported) {
  PeImage image = Parse(PeBuilder().versions(5, 1, 5, 0));
  EXPECT_TRUE(pecheck::HeaderVersionViolations(image, WindowsVersion::XPSP3).empty());
  EXPECT_TRUE(pecheck::HeaderVersionViolations(Parse(PeBuilder()), WindowsVersion::NT4).empty());
  std::vector<std::string> v = pecheck::HeaderVersionViolations(image, WindowsVersion::W2000SP4);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0], "operating system version 5.1 is newer than Windows 2000SP4");
  v = pecheck::HeaderVersionViolations(Parse(PeBuilder().versions(6, 0, 5, 2)), WindowsVersion::XP);
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[1], "subsystem version 5.2 is newer than Windows XP");
}

// A run-time binding is a whole NUL-terminated string equal to an export of a
// library the code loads; parts of longer strings and the image's own import
// names are not.
TEST(RuntimeNames, WholeStringsThatLibrariesExportAreBound) {
  const char raw[] = "\x01WSAStartup\0xinet_ntoa\0SetTcpEntry\0\0GetModuleFileNameExW\0ExitProcess\0tail";
  std::vector<uint8_t> bytes(raw, raw + sizeof raw - 1);
  std::vector<std::string> strings = pecheck::AsciiStrings(bytes);
  EXPECT_EQ(strings, (std::vector<std::string>{"WSAStartup", "xinet_ntoa", "SetTcpEntry",
                                               "GetModuleFileNameExW", "ExitProcess"}));
  PeImage ws2, iphlp, psapi;
  ws2.exportNames = {"WSAStartup", "inet_ntoa", "ExitProcess"};
  iphlp.exportNames = {"SetTcpEntry"};
  psapi.exportNames = {"GetModuleFileNameExW"};
  PeImage image = Parse(PeBuilder().import("KERNEL32.dll", {"ExitProcess"}));
  auto bound = pecheck::RuntimeBoundNames(image, strings, {{"ws2_32.dll", ws2}, {"iphlpapi.dll", iphlp}});
  ASSERT_EQ(bound.size(), 2u);
  EXPECT_EQ(bound[0].name, "ws2_32.dll");
  ASSERT_EQ(bound[0].functions.size(), 1u);
  EXPECT_EQ(bound[0].functions[0].name, "WSAStartup");
  EXPECT_EQ(bound[1].functions[0].name, "SetTcpEntry");
  std::vector<std::string> v =
      Policy("ws2_32.dll WSAStartup 2000\n").violations(bound, WindowsVersion::W2000SP4);
  EXPECT_EQ(v, std::vector<std::string>{"iphlpapi.dll!SetTcpEntry: DLL not on the allow-list"});
}

}  // namespace
