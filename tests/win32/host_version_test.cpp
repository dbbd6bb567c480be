// The extension in a Task Manager whose file version is another Windows
// version's (VESK_HOST_VERSION): from Vista on Task Manager is another
// program, and the extension, though mapped, touches none of its windows;
// Windows Server 2003's (5.2) is the XP one and is taken over.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "taskmgr_host.h"

namespace {

bool Known() {
  const char* known = std::getenv("VESK_HOST_KNOWN");
  return known && known[0] == '1';
}

// Whether the window's procedure lies in the module.
bool ProcedureIn(HWND window, HMODULE module) {
  HMODULE owner = nullptr;
  auto procedure = reinterpret_cast<LPCWSTR>(GetWindowLongPtrW(window, GWLP_WNDPROC));
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     procedure, &owner);
  return owner == module;
}

TEST(HostVersion, OnlyAKnownTaskManagerIsTakenOverAndTaskManagerWorksEitherWay) {
  TaskManagerHost host;
  host.Start();
  HMODULE extension = host.Extension();
  ASSERT_TRUE(extension != nullptr);
  HWND main = host.Main();
  for (HWND window : {main, host.ProcessesPage(), host.ProcessList()})
    EXPECT_EQ(ProcedureIn(window, extension), Known());
  EXPECT_EQ(int(SendMessageW(host.Tabs(), TCM_GETITEMCOUNT, 0, 0)), OwnTabCount() + (Known() ? 2 : 0));
  auto titles = MenuBarTitles(main);
  EXPECT_EQ(std::count(titles.begin(), titles.end(), L"Vesk"), Known() ? 1 : 0);

  // Task Manager's own tabs, refresh and close go on as without the extension.
  for (int tab = 0; tab < OwnTabCount(); ++tab) {
    host.ClickTab(tab);
    EXPECT_EQ(int(SendMessageW(host.Tabs(), TCM_GETCURSEL, 0, 0)), tab);
  }
  host.ClickTab(1);
  EXPECT_TRUE(host.RefreshUntil([&] { return host.RowOfProcess(GetCurrentProcessId()) >= 0; }));
  host.Stop();
  EXPECT_FALSE(IsWindow(main));
}

}  // namespace
