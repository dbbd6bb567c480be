// The text rules behind process image paths: the driver's reply, the device
// part and its drive letter, module paths, the failure text and the version
// resource's string prefix.
#include <gtest/gtest.h>

#include <vector>

#include "common/image_path.h"
#include "common/text_format.h"

namespace {

std::vector<uint16_t> Units(const std::wstring& text) {
  return std::vector<uint16_t>(text.begin(), text.end());
}

TEST(ImagePath, TheReplyIsReadOnlyWithinTheBytesItReportedAndItsBuffer) {
  auto units = Units(std::wstring(L"\\Device\\X\\a.exe") + L'\0' + L"junk");
  EXPECT_EQ(PathFromReply(units.data(), units.size() * 2, 260), L"\\Device\\X\\a.exe");
  // Unterminated: only the reported bytes, an odd last byte dropped.
  EXPECT_EQ(PathFromReply(units.data(), 9, 260), L"\\Dev");
  EXPECT_EQ(PathFromReply(units.data(), 0, 260), L"");
  // A count larger than the buffer is not trusted.
  EXPECT_EQ(PathFromReply(units.data(), 1u << 20, 4), L"\\Dev");
}

TEST(ImagePath, TheDevicePartEndsBeforeTheThirdBackslash) {
  EXPECT_EQ(DevicePartOf(L"\\Device\\HarddiskVolume1\\WINDOWS\\a.exe"), L"\\Device\\HarddiskVolume1");
  EXPECT_EQ(DevicePartOf(L"\\Device\\HarddiskVolume1"), L"\\Device\\HarddiskVolume1");
  EXPECT_EQ(DevicePartOf(L"a\\b\\c\\d"), L"a\\b\\c");
  EXPECT_EQ(DevicePartOf(L""), L"");
}

TEST(ImagePath, AKnownDeviceBecomesItsDriveLetterAndAnUnknownOneStays) {
  DeviceLetterMap letters = {{L"\\Device\\HarddiskVolume1", L'C'}, {L"\\Device\\Cdrom0", L'E'}};
  EXPECT_EQ(Win32PathFromNtPath(L"\\Device\\HarddiskVolume1\\WINDOWS\\explorer.exe", letters),
            L"C:\\WINDOWS\\explorer.exe");
  // Keys are exact: another case or a longer name is another device.
  EXPECT_EQ(Win32PathFromNtPath(L"\\device\\harddiskvolume1\\a.exe", letters),
            L"\\device\\harddiskvolume1\\a.exe");
  EXPECT_EQ(Win32PathFromNtPath(L"\\Device\\HarddiskVolume12\\a.exe", letters),
            L"\\Device\\HarddiskVolume12\\a.exe");
  // A path that is all device part.
  EXPECT_EQ(Win32PathFromNtPath(L"\\Device\\Cdrom0", letters), L"E:");
  // A path through a drive letter's link is a drive path; other links stay.
  EXPECT_EQ(Win32PathFromNtPath(L"\\??\\Z:\\work\\a.exe", letters), L"Z:\\work\\a.exe");
  EXPECT_EQ(Win32PathFromNtPath(L"\\??\\UNC\\server\\a.exe", letters), L"\\??\\UNC\\server\\a.exe");
  EXPECT_EQ(Win32PathFromNtPath(L"\\??\\Z:", letters), L"\\??\\Z:");
  EXPECT_EQ(Win32PathFromNtPath(L"\\??\\1:\\a.exe", letters), L"\\??\\1:\\a.exe");
}

TEST(ImagePath, APathThatWouldGrowPastTheLimitIsCut) {
  // A device part shorter than its letter grows the path.
  DeviceLetterMap letters = {{L"\\a\\b", L'D'}, {L"x", L'Z'}};
  std::wstring tail(300, L'q');
  std::wstring path = Win32PathFromNtPath(L"\\a\\b\\" + tail, letters);
  EXPECT_EQ(path.size(), kMaxImagePath);
  EXPECT_EQ(path.substr(0, 4), L"D:\\q");
  EXPECT_EQ(Win32PathFromNtPath(L"x", letters), L"Z:");
  EXPECT_EQ(LimitImagePath(std::wstring(259, L'a')).size(), 259u);
}

TEST(ImagePath, ModulePathsLoseTheirNtPrefixAndSystemRootBecomesExpandable) {
  bool expand = true;
  EXPECT_EQ(ModulePathForExpansion(L"\\??\\C:\\WINDOWS\\system32\\smss.exe", expand),
            L"C:\\WINDOWS\\system32\\smss.exe");
  EXPECT_FALSE(expand);
  EXPECT_EQ(ModulePathForExpansion(L"\\SystemRoot\\System32\\smss.exe", expand),
            L"%SystemRoot%\\System32\\smss.exe");
  EXPECT_TRUE(expand);
  EXPECT_EQ(ModulePathForExpansion(L"\\??\\\\SystemRoot\\x", expand), L"%SystemRoot%\\x");
  EXPECT_TRUE(expand) << "the prefix check follows the \\??\\ removal";
  // The case is exact, and the name alone is no prefix.
  EXPECT_EQ(ModulePathForExpansion(L"\\systemroot\\x.exe", expand), L"\\systemroot\\x.exe");
  EXPECT_FALSE(expand);
  EXPECT_EQ(ModulePathForExpansion(L"\\SystemRootX\\a", expand), L"\\SystemRootX\\a");
  EXPECT_FALSE(expand);
}

TEST(ImagePath, FailureTextAndVersionPrefix) {
  EXPECT_EQ(OpenFailureText(5), L"error#5");
  EXPECT_EQ(OpenFailureText(87), L"error#87");
  EXPECT_EQ(OpenFailureText(4294967295u), L"error#4294967295");
  EXPECT_EQ(VersionStringPrefix(0x0409, 0x04B0), L"\\StringFileInfo\\040904b0\\");
  EXPECT_EQ(VersionStringPrefix(0x0019, 0x0004), L"\\StringFileInfo\\00190004\\");
  EXPECT_EQ(VersionStringPrefix(0xFFFF, 0xABCD), L"\\StringFileInfo\\ffffabcd\\");
}

TEST(ImagePath, OnlyDriveNetworkAndDevicePathsAreOpened) {
  EXPECT_EQ(OpenableImagePath(L"C:\\WINDOWS\\a.exe"), L"C:\\WINDOWS\\a.exe");
  EXPECT_EQ(OpenableImagePath(L"z:\\a.exe"), L"z:\\a.exe");
  EXPECT_EQ(OpenableImagePath(L"\\\\server\\share\\a.exe"), L"\\\\server\\share\\a.exe");
  EXPECT_EQ(OpenableImagePath(L"\\Device\\HarddiskVolume3\\a.exe"),
            L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3\\a.exe");
  // Failure texts and relative names would open a file in the current directory.
  for (const wchar_t* path : {L"error#5", L"a.exe", L"C:a.exe", L"1:\\a.exe", L"\\Devices\\x", L""})
    EXPECT_EQ(OpenableImagePath(path), L"")
        << std::string(path, path + std::char_traits<wchar_t>::length(path));
}

TEST(HashText, AStoredHashMatchesInEitherCase) {
  EXPECT_TRUE(EqualIgnoringAsciiCase(L"00af9B", L"00AF9B"));
  EXPECT_FALSE(EqualIgnoringAsciiCase(L"00AF9B", L"00AF9C"));
  EXPECT_FALSE(EqualIgnoringAsciiCase(L"00AF9B", L"00AF9B0"));
  EXPECT_FALSE(EqualIgnoringAsciiCase(L"", L"00"));
}

}  // namespace
