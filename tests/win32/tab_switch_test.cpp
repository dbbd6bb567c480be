// Switching between Task Manager's pages and added pages, with the test
// build's two pages "Test A" (tab 3) and "Test B" (tab 4) after Task
// Manager's Applications, Processes and Performance tabs.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include "taskmgr_host.h"

namespace {

constexpr int kApplications = 0, kProcesses = 1, kPerformance = 2, kTestA = 3, kTestB = 4;

class TabSwitching : public testing::Test {
 protected:
  void SetUp() override {
    host.Start();
    ASSERT_EQ(SendMessageW(host.Tabs(), TCM_GETITEMCOUNT, 0, 0), 5);
  }
  void TearDown() override { host.Stop(); }

  // The added page's window, found by its title.
  HWND Page(int tab) const {
    return FindWindowExW(host.Main(), nullptr, L"STATIC", tab == kTestA ? L"Test A" : L"Test B");
  }
  static INT_PTR Counter(HWND page, const wchar_t* name) {
    return reinterpret_cast<INT_PTR>(GetPropW(page, name));
  }
  int Selection() const { return int(SendMessageW(host.Tabs(), TCM_GETCURSEL, 0, 0)); }
  // The tab display area in main-window coordinates.
  RECT DisplayArea() const {
    RECT area;
    GetClientRect(host.Tabs(), &area);
    MapWindowPoints(host.Tabs(), host.Main(), reinterpret_cast<POINT*>(&area), 2);
    SendMessageW(host.Tabs(), TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
    return area;
  }
  RECT PageRect(HWND page) const {
    RECT rect;
    GetWindowRect(page, &rect);
    MapWindowPoints(nullptr, host.Main(), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
  }
  bool Shown(HWND window) const { return IsWindowVisible(window) != FALSE; }

  TaskManagerHost host;
};

bool SameRect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST_F(TabSwitching, AnAddedPageTakesTheProcessesPagesPlace) {
  ASSERT_TRUE(Page(kTestA) && Page(kTestB));
  EXPECT_FALSE(Shown(Page(kTestA)));
  host.ClickTab(kTestA);
  EXPECT_EQ(Selection(), kTestA);
  EXPECT_TRUE(Shown(Page(kTestA)));
  EXPECT_FALSE(Shown(Page(kTestB)));
  EXPECT_FALSE(Shown(host.ProcessesPage()));
  EXPECT_TRUE(SameRect(PageRect(Page(kTestA)), DisplayArea()));
  EXPECT_EQ(Counter(Page(kTestA), L"Layouts"), 1);
  EXPECT_EQ(Counter(Page(kTestA), L"Refreshes"), 1);
  EXPECT_EQ(MenuBarTitles(host.Main()).back(), L"Vesk");
  // Back on a Task Manager page, the added page is hidden first.
  host.ClickTab(kPerformance);
  EXPECT_FALSE(Shown(Page(kTestA)));
  EXPECT_EQ(Selection(), kPerformance);
  EXPECT_EQ(MenuBarTitles(host.Main()).back(), L"Vesk");
  host.ClickTab(kTestB);
  host.ClickTab(kTestA);
  EXPECT_FALSE(Shown(Page(kTestB)));
  EXPECT_TRUE(Shown(Page(kTestA)));
  host.ClickTab(kProcesses);
  EXPECT_TRUE(Shown(host.ProcessesPage()));
  EXPECT_FALSE(Shown(Page(kTestA)));
}

TEST_F(TabSwitching, NextAndPreviousWrapAroundThroughTheAddedPages) {
  const int order[] = {kPerformance, kTestA, kTestB, kApplications, kProcesses};
  for (int expected : order) {
    host.Command(host.Main(), 40100);
    EXPECT_EQ(Selection(), expected);
    EXPECT_EQ(MenuBarTitles(host.Main()).back(), L"Vesk");
  }
  host.Command(host.Main(), 40101);
  host.Command(host.Main(), 40101);
  EXPECT_EQ(Selection(), kTestB);
  EXPECT_TRUE(Shown(Page(kTestB)));
  EXPECT_FALSE(Shown(host.ProcessesPage()));
  host.Command(host.Main(), 40100);
  EXPECT_EQ(Selection(), kApplications);
  EXPECT_FALSE(Shown(Page(kTestB)));
}

TEST_F(TabSwitching, ANestedTabChangeDuringTheSwitchIsIgnored) {
  SetPropW(Page(kTestB), L"NestOnce", reinterpret_cast<HANDLE>(1));
  host.ClickTab(kTestB);
  // The nested notification ran nothing: one layout and one refresh only.
  EXPECT_EQ(Counter(Page(kTestB), L"Layouts"), 1);
  EXPECT_EQ(Counter(Page(kTestB), L"Refreshes"), 1);
  EXPECT_EQ(Selection(), kTestB);
  EXPECT_TRUE(Shown(Page(kTestB)));
}

TEST_F(TabSwitching, TheTimerRefreshesOnlyTheCurrentAddedPage) {
  SendMessageW(host.Main(), WM_TIMER, 1, 0);
  EXPECT_EQ(Counter(Page(kTestA), L"Refreshes"), 0);
  host.ClickTab(kTestA);
  SendMessageW(host.Main(), WM_TIMER, 1, 0);
  SendMessageW(host.Main(), WM_TIMER, 1, 0);
  EXPECT_EQ(Counter(Page(kTestA), L"Refreshes"), 3);
  EXPECT_EQ(Counter(Page(kTestB), L"Refreshes"), 0);
}

TEST_F(TabSwitching, ResizingLaysOutTheCurrentAddedPage) {
  host.ClickTab(kTestA);
  RECT before = PageRect(Page(kTestA));
  RECT window;
  GetWindowRect(host.Main(), &window);
  SetWindowPos(host.Main(), nullptr, 0, 0, window.right - window.left + 80, window.bottom - window.top + 60,
               SWP_NOMOVE | SWP_NOZORDER);
  PumpMessages(host.Main());
  EXPECT_EQ(Counter(Page(kTestA), L"Layouts"), 2);
  EXPECT_TRUE(SameRect(PageRect(Page(kTestA)), DisplayArea()));
  EXPECT_EQ(PageRect(Page(kTestA)).right - before.right, 80);
}

TEST_F(TabSwitching, RefreshAndDoubleClickAreSwallowedOnAddedPages) {
  ChildProcess child;
  ASSERT_TRUE(host.RefreshUntil([&] { return host.RowOfProcess(child.Id()) >= 0; }));
  host.ClickTab(kTestA);
  child.Terminate();
  host.Command(host.Main(), kRefreshNow);
  host.Command(host.ProcessesPage(), kRefreshNow);
  EXPECT_GE(host.RowOfProcess(child.Id()), 0);
  SendMessageW(host.Main(), WM_LBUTTONDBLCLK, 0, MAKELPARAM(2, 2));
  EXPECT_NE(GetMenu(host.Main()), nullptr);
  EXPECT_TRUE(Shown(Page(kTestA)));
  // On Task Manager's own pages both reach Task Manager.
  host.ClickTab(kProcesses);
  ChildProcess second;
  ASSERT_TRUE(host.RefreshUntil([&] { return host.RowOfProcess(second.Id()) >= 0; }));
  second.Terminate();
  host.Command(host.ProcessesPage(), kRefreshNow);
  EXPECT_LT(host.RowOfProcess(second.Id()), 0);
  SendMessageW(host.Main(), WM_LBUTTONDBLCLK, 0, MAKELPARAM(2, 2));
  EXPECT_EQ(GetMenu(host.Main()), nullptr);
}

}  // namespace
