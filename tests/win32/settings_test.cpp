// The settings module against Wine's profile functions and C:\windows\vesk.ini.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "host/settings.h"

namespace {

class Settings : public testing::Test {
 protected:
  void SetUp() override { WritePrivateProfileStringW(L"Trusted.exe", nullptr, nullptr, L"vesk.ini"); }
  void TearDown() override { WritePrivateProfileStringW(L"Trusted.exe", nullptr, nullptr, L"vesk.ini"); }

  static std::wstring Raw(const wchar_t* section, const wchar_t* key) {
    wchar_t text[512] = {};
    GetPrivateProfileStringW(section, key, L"(none)", text, 512, L"vesk.ini");
    return text;
  }
};

TEST_F(Settings, TrustedHashIsStoredUpperCaseAndReadByTheFileNameOfThePath) {
  const uint8_t hash[] = {0xde, 0xad, 0xbe, 0xef, 0x01};
  settings::StoreTrustedHash(L"Trusted.exe", hash, sizeof hash);
  EXPECT_EQ(Raw(L"Trusted.exe", L"Hash"), L"DEADBEEF01");
  EXPECT_EQ(settings::ReadTrustedHash(L"C:\\Program Files\\App\\trusted.EXE"), L"DEADBEEF01")
      << "the section is found whatever its case";
  EXPECT_EQ(settings::ReadTrustedHash(L"C:\\other.exe"), L"");
}

TEST_F(Settings, ReadHashIsCutAt255Characters) {
  std::wstring longText(300, L'A');
  WritePrivateProfileStringW(L"Trusted.exe", L"Hash", longText.c_str(), L"vesk.ini");
  EXPECT_EQ(settings::ReadTrustedHash(L"Trusted.exe"), std::wstring(255, L'A'));
}

// A name that cannot be a section ("]" ends the header, a line break starts a
// line of its own) would corrupt the file: such writes are refused.
TEST_F(Settings, ANameThatCannotBeASectionIsNotWritten) {
  settings::StoreSavePriority(L"Trusted.exe", false);
  auto fileText = [] {
    HANDLE file = CreateFileW(L"C:\\windows\\vesk.ini", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    std::string text(1 << 16, '\0');
    DWORD read = 0;
    ReadFile(file, &text[0], DWORD(text.size()), &read, nullptr);
    CloseHandle(file);
    text.resize(read);
    return text;
  };
  std::string before = fileText();
  ASSERT_FALSE(before.empty());
  for (const wchar_t* name : {L"evil].exe", L"Trusted.exe]\r\n[Vesk", L"two\nlines.exe", L""}) {
    settings::StorePriority(name, L"High");
    settings::StoreSavePriority(name, true);
    settings::StoreAffinity(name, 3);
    const uint8_t hash[] = {1};
    settings::StoreTrustedHash(name, hash, 1);
  }
  EXPECT_EQ(fileText(), before);
}

}  // namespace
