// The version block of dist/vesk.sys, read the way Windows Explorer reads it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring HostPathOnZ(const char* variable) {
  const char* host = std::getenv(variable);
  std::wstring path = L"Z:";
  for (const char* c = host ? host : ""; *c; ++c) path += *c == '/' ? L'\\' : wchar_t(*c);
  return path;
}

class DriverVersionInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    std::wstring path = HostPathOnZ("VESK_DRIVER");
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_NE(size, 0u) << "no version block in the driver, error " << GetLastError();
    block_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block_.data()));
  }

  std::wstring string(const wchar_t* name) {
    std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block_.data(), query.c_str(), reinterpret_cast<void**>(&value), &length))
      return L"(none)";
    return std::wstring(value, length && value[length - 1] == 0 ? length - 1 : length);
  }

  std::vector<BYTE> block_;
};

TEST_F(DriverVersionInfo, FixedFieldsDescribeANetworkDriverVersion1960) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010009u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00060000u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010009u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00060000u);
  EXPECT_EQ(fixed->dwFileOS, DWORD(VOS_NT_WINDOWS32));
  EXPECT_EQ(fixed->dwFileType, DWORD(VFT_DRV));
  EXPECT_EQ(fixed->dwFileSubtype, DWORD(VFT2_DRV_NETWORK));
}

TEST_F(DriverVersionInfo, StringsInEnglishUnicode) {
  WORD* translation = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 0x04B0);
  EXPECT_EQ(string(L"FileDescription"), L"Vesk Network Activity Driver");
  EXPECT_EQ(string(L"FileVersion"), L"1.9.6.0");
  EXPECT_EQ(string(L"ProductVersion"), L"1.9.6.0");
  EXPECT_EQ(string(L"InternalName"), L"vesk_sys");
  EXPECT_EQ(string(L"OriginalFilename"), L"vesk.sys");
  EXPECT_EQ(string(L"ProductName"), L"Vesk");
}

}  // namespace
