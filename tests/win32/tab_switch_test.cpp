// Switching between Task Manager's pages and added pages, with the test
// build's two pages "Test A" and "Test B" right after Task Manager's own tabs
// (as many as the run's Windows layout has). The tests run once with a Task
// Manager that handles a selection change to its current page and once with
// one that ignores it.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "taskmgr_host.h"

namespace {

constexpr int kApplications = 0, kProcesses = 1, kPerformance = 2;
const int kTestA = OwnTabCount(), kTestB = OwnTabCount() + 1;

// "Vesk" is the menu bar's last entry, and there only once.
testing::AssertionResult VeskOnceAndLast(HWND main) {
  auto titles = MenuBarTitles(main);
  if (titles.empty() || titles.back() != L"Vesk" || std::count(titles.begin(), titles.end(), L"Vesk") != 1) {
    std::string shown;
    for (const auto& title : titles) shown += "[" + std::string(title.begin(), title.end()) + "]";
    return testing::AssertionFailure() << "menu bar " << shown;
  }
  return testing::AssertionSuccess();
}

class TabSwitching : public testing::Test {
 protected:
  void SetUp() override {
    host.Start();
    ASSERT_EQ(SendMessageW(host.Tabs(), TCM_GETITEMCOUNT, 0, 0), kTestB + 1);
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
  EXPECT_TRUE(VeskOnceAndLast(host.Main()));
  // Back on a Task Manager page, the added page is hidden first.
  host.ClickTab(kPerformance);
  EXPECT_FALSE(Shown(Page(kTestA)));
  EXPECT_EQ(Selection(), kPerformance);
  EXPECT_TRUE(VeskOnceAndLast(host.Main()));
  host.ClickTab(kTestB);
  host.ClickTab(kTestA);
  EXPECT_FALSE(Shown(Page(kTestB)));
  EXPECT_TRUE(Shown(Page(kTestA)));
  EXPECT_TRUE(VeskOnceAndLast(host.Main()));
  // Task Manager regards Processes as current all along; the page comes back
  // where the added page was, whether or not Task Manager reacts.
  host.ClickTab(kProcesses);
  EXPECT_TRUE(Shown(host.ProcessesPage()));
  EXPECT_FALSE(Shown(Page(kTestA)));
  EXPECT_TRUE(SameRect(PageRect(host.ProcessesPage()), DisplayArea()));
  EXPECT_TRUE(VeskOnceAndLast(host.Main()));
  // From Processes straight to an added page and back.
  host.ClickTab(kTestB);
  EXPECT_FALSE(Shown(host.ProcessesPage()));
  EXPECT_TRUE(VeskOnceAndLast(host.Main()));
  host.ClickTab(kProcesses);
  EXPECT_TRUE(Shown(host.ProcessesPage()));
  EXPECT_TRUE(VeskOnceAndLast(host.Main()));
}

TEST_F(TabSwitching, NextAndPreviousWrapAroundThroughTheAddedPages) {
  std::vector<int> order;
  for (int tab = kPerformance; tab <= kTestB; ++tab) order.push_back(tab);
  order.insert(order.end(), {kApplications, kProcesses});
  for (int expected : order) {
    host.Command(host.Main(), 40100);
    EXPECT_EQ(Selection(), expected);
    EXPECT_TRUE(VeskOnceAndLast(host.Main()));
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

// In the compact view the tabs are hidden and only a double click leads back,
// which an added page would swallow: the steps stay on Task Manager's pages.
TEST_F(TabSwitching, TheCompactViewStepsOnlyThroughTaskManagersPages) {
  SendMessageW(host.Main(), WM_LBUTTONDBLCLK, 0, MAKELPARAM(2, 2));
  ASSERT_EQ(GetMenu(host.Main()), nullptr);
  for (int step = 0; step < kTestB + 2; ++step) {
    host.Command(host.Main(), step % 3 ? 40100 : 40101);
    EXPECT_LT(Selection(), kTestA) << "step " << step;
    EXPECT_FALSE(Shown(Page(kTestA)) || Shown(Page(kTestB)));
  }
  SendMessageW(host.Main(), WM_LBUTTONDBLCLK, 0, MAKELPARAM(2, 2));
  EXPECT_TRUE(VeskOnceAndLast(host.Main()));
  host.Command(host.Main(), 40100);
  SendMessageW(host.Main(), WM_TIMER, 1, 0);
  EXPECT_TRUE(VeskOnceAndLast(host.Main()));
}

// A notification with the tab control's id from another window is not a tab
// change.
TEST_F(TabSwitching, OnlyTaskManagersTabControlChangesThePage) {
  SendMessageW(host.Tabs(), TCM_SETCURSEL, kTestA, 0);
  NMHDR header = {Page(kTestB), 1000, UINT(TCN_SELCHANGE)};
  SendMessageW(host.Main(), WM_NOTIFY, 1000, reinterpret_cast<LPARAM>(&header));
  EXPECT_FALSE(Shown(Page(kTestA)));
  EXPECT_EQ(Counter(Page(kTestA), L"Refreshes"), 0);
  EXPECT_TRUE(Shown(host.ProcessesPage()));
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

// Another module subclassed the main window after us; closing Task Manager
// with an added page current still runs the shutdown, which selects Task
// Manager's own tab before the added tabs go, and the other module's
// procedure sees the window to its end.
std::vector<UINT> gLaterSaw;
WNDPROC gBelowLater = nullptr;
INT_PTR gTabAtDestroy = -1;

LRESULT CALLBACK LaterSubclass(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY || message == WM_NCDESTROY) gLaterSaw.push_back(message);
  LRESULT result = CallWindowProcW(gBelowLater, window, message, wParam, lParam);
  if (message == WM_DESTROY) gTabAtDestroy = reinterpret_cast<INT_PTR>(GetPropW(window, L"TabAtDestroy")) - 1;
  return result;
}

TEST_F(TabSwitching, ClosingUnderAnotherModulesSubclassShutsDownInOrder) {
  host.ClickTab(kTestB);
  gBelowLater = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(host.Main(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&LaterSubclass)));
  host.Stop();
  EXPECT_EQ(gLaterSaw, (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY}));
  EXPECT_EQ(gTabAtDestroy, kProcesses);
  // Task Manager's own end ran too: a new main window can be made.
  HWND again = CreateTaskManagerWindow(GetModuleHandleW(nullptr), HostOptions());
  EXPECT_TRUE(again != nullptr);
  if (again) DestroyWindow(again);
  PumpMessages(nullptr);
}

}  // namespace
