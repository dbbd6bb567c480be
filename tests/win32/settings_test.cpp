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

}  // namespace
