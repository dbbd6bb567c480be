#include "import_policy.h"

#include <gtest/gtest.h>

#include "pe_builder.h"

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

}  // namespace
