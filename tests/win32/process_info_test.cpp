// Image paths and version strings through the real system calls: a process's
// own module path when no driver answers, the failure text for a process that
// cannot be opened, and the strings of version resources with and without
// "LegalCopyright", of an image without one and of a text that names no file.
#include <windows.h>

#include <gtest/gtest.h>

#include "host/process_info.h"
#include "taskmgr_host.h"

namespace {

std::wstring Fixture(const char* variable) { return HostPath(variable); }

TEST(VersionStrings, EachStringComesFromTheFirstTranslationOrStaysAsItWas) {
  std::wstring description, version, copyright;
  QueryVersionStrings(Fixture("VESK_VERSION_FULL"), description, version, copyright);
  EXPECT_EQ(description, L"Vesk fixture image");
  EXPECT_EQ(version, L"1.2.3.4 (fixture)");
  EXPECT_EQ(copyright, L"Copyright (C) Vesk fixtures");

  description.clear(), version.clear(), copyright = L"untouched";
  QueryVersionStrings(Fixture("VESK_VERSION_NO_COPYRIGHT"), description, version, copyright);
  EXPECT_EQ(description, L"Vesk fixture image");
  EXPECT_EQ(version, L"1.2.3.4 (fixture)");
  EXPECT_EQ(copyright, L"untouched");

  // A process's failure text names no file, even where a file of that name
  // lies in the current directory.
  ASSERT_TRUE(CopyFileW(Fixture("VESK_VERSION_FULL").c_str(), L"error#5", FALSE));
  for (const std::wstring& path :
       {Fixture("VESK_IDLE_CHILD"), std::wstring(L"C:\\no\\such\\file.exe"), std::wstring(L"error#5")}) {
    description.clear(), version.clear(), copyright.clear();
    QueryVersionStrings(path, description, version, copyright);
    EXPECT_TRUE(description.empty() && version.empty() && copyright.empty()) << path.c_str();
  }
  DeleteFileW(L"error#5");
}

TEST(ImagePath, WithoutAnAnsweringDriverAProcessGivesItsOwnModulePath) {
  ChildProcess child;
  std::wstring expected = Fixture("VESK_IDLE_CHILD");
  // A process that has just been created may not have its module list yet.
  for (int i = 0; i < 100 && QueryProcessImagePath(child.Id()).empty(); ++i) Sleep(50);
  EXPECT_EQ(lstrcmpiW(QueryProcessImagePath(child.Id()).c_str(), expected.c_str()), 0)
      << "no instance published";
  // A handle that is not the driver's: its request fails and the process answers.
  HANDLE notTheDriver =
      CreateFileW(expected.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(notTheDriver, INVALID_HANDLE_VALUE);
  auto information = ProcessInformation::Create(notTheDriver);
  CloseHandle(notTheDriver);
  EXPECT_EQ(lstrcmpiW(information->ImagePath(child.Id()).c_str(), expected.c_str()), 0);
  PublishProcessInformation(information);
  EXPECT_EQ(lstrcmpiW(QueryProcessImagePath(child.Id()).c_str(), expected.c_str()), 0);
  PublishProcessInformation(nullptr);
  // Ended, but still held open: it opens, yet has no module to name.
  child.Terminate();
  EXPECT_EQ(QueryProcessImagePath(child.Id()), L"");
}

TEST(ImagePath, AProcessThatCannotBeOpenedGivesTheErrorText) {
  // Far above any id Wine hands out.
  const DWORD missing = 0x7FFFFFF3;
  SetLastError(0);
  ASSERT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, missing), nullptr);
  std::wstring expected = L"error#" + std::to_wstring(GetLastError());
  EXPECT_EQ(QueryProcessImagePath(missing), expected);
  EXPECT_EQ(ProcessInformation::Create(INVALID_HANDLE_VALUE)->ImagePath(missing), expected);
}

}  // namespace
