#include "pe_image.h"

#include <gtest/gtest.h>

#include "pe_builder.h"

namespace {

using pecheck::ParsePeImage;
using pecheck::PeImage;

std::vector<uint8_t> SampleImage() {
  return PeBuilder()
      .import("ADVAPI32.dll", {"RegOpenKeyExA", "RegCloseKey"})
      .import("KERNEL32.dll", {"@17", "ExitProcess"})
      .build();
}

TEST(PeImage, ReadsHeaderFieldsAndImportsInOrder) {
  PeImage image;
  std::string error;
  ASSERT_TRUE(ParsePeImage(
      PeBuilder().subsystem(1).characteristics(0x2102).import("ntoskrnl.exe", {"IoCallDriver"}).build(),
      image, error))
      << error;
  EXPECT_EQ(image.machine, pecheck::kMachineI386);
  EXPECT_EQ(image.subsystem, pecheck::kSubsystemNative);
  EXPECT_TRUE(image.characteristics & pecheck::kFileDll);
  EXPECT_EQ(image.sectionNames, std::vector<std::string>{".idata"});

  ASSERT_TRUE(ParsePeImage(SampleImage(), image, error)) << error;
  ASSERT_EQ(image.imports.size(), 2u);
  EXPECT_EQ(image.imports[0].name, "ADVAPI32.dll");
  ASSERT_EQ(image.imports[0].functions.size(), 2u);
  EXPECT_EQ(image.imports[0].functions[0].name, "RegOpenKeyExA");
  EXPECT_EQ(image.imports[0].functions[1].name, "RegCloseKey");
  EXPECT_EQ(image.imports[1].name, "KERNEL32.dll");
  ASSERT_EQ(image.imports[1].functions.size(), 2u);
  EXPECT_EQ(image.imports[1].functions[0].name, "@17");
  EXPECT_EQ(image.imports[1].functions[1].name, "ExitProcess");
}

TEST(PeImage, ImageWithoutImportsHasNone) {
  PeImage image;
  std::string error;
  ASSERT_TRUE(ParsePeImage(PeBuilder().build(), image, error)) << error;
  EXPECT_TRUE(image.imports.empty());
  EXPECT_EQ(image.exportCount, 0u);
}

// Every prefix of the file lacks something the parser needs; each must be
// refused without reading past the end (AddressSanitizer watches the reads).
TEST(PeImage, EveryTruncationIsRefused) {
  std::vector<uint8_t> full = SampleImage();
  for (size_t length = 0; length < full.size(); ++length) {
    std::vector<uint8_t> cut(full.begin(), full.begin() + length);
    PeImage image;
    std::string error;
    EXPECT_FALSE(ParsePeImage(cut, image, error)) << "length " << length;
    EXPECT_FALSE(error.empty()) << "length " << length;
  }
}

TEST(PeImage, CorruptOffsetsAreRefused) {
  struct Corruption {
    const char* what;
    size_t offset;
    uint32_t value;
    int width;
  } corruptions[] = {
      {"PE header offset far beyond the file", 0x3C, 0xFFFFFFF0u, 4},
      {"optional header not PE32", 0x44 + 20, 0x20b, 2},
      {"data directory count beyond the header", 0x44 + 20 + 92, 0x1000, 4},
      {"import directory outside every section", 0x44 + 20 + 104, 0x9000, 4},
      {"section raw data beyond the file", 0x44 + 20 + 224 + 20, 0x7FFFFFFF, 4},
      {"DLL name outside the section", PeBuilder::kSectionOffset + 12, 0x80000000u, 4},
      {"lookup table outside the section", PeBuilder::kSectionOffset, 0xFFFFF000u, 4},
  };
  for (const Corruption& c : corruptions) {
    std::vector<uint8_t> bytes = SampleImage();
    if (c.width == 2)
      PeBuilder::put16(bytes, c.offset, uint16_t(c.value));
    else
      PeBuilder::put32(bytes, c.offset, c.value);
    PeImage image;
    std::string error;
    EXPECT_FALSE(ParsePeImage(bytes, image, error)) << c.what;
  }
}

TEST(PeImage, HintNameEntryPointingOutsideIsRefused) {
  std::vector<uint8_t> bytes = SampleImage();
  // The first lookup table starts right after the three descriptors.
  PeBuilder::put32(bytes, PeBuilder::kSectionOffset + 60, 0x00FFFFFF);
  PeImage image;
  std::string error;
  EXPECT_FALSE(ParsePeImage(bytes, image, error));
  EXPECT_EQ(error, "bad import hint/name entry");
}

}  // namespace
