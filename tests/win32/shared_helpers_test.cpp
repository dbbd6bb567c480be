// The shared helpers of the extension, on the real library's resources (the
// library mapped as data) and on real list views.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/list_view.h"
#include "common/module.h"
#include "common/resource_loaders.h"

namespace {

class SharedHelpers : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* host = std::getenv("VESK_TASKEXT_XP");
    std::wstring path = L"Z:";
    for (const char* c = host ? host : ""; *c; ++c) path += *c == '/' ? L'\\' : wchar_t(*c);
    library = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    SetExtensionModule(library);
  }
  static void TearDownTestSuite() {
    if (library) FreeLibrary(library);
  }
  void SetUp() override {
    ASSERT_TRUE(library != nullptr);
    list = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_POPUP | LVS_REPORT, 0, 0, 200, 200, nullptr, nullptr,
                           nullptr, nullptr);
    ASSERT_TRUE(list != nullptr);
    LVCOLUMNW column = {};
    column.mask = LVCF_WIDTH;
    column.cx = 100;
    SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
    for (int i = 0; i < 3; ++i) {
      LVITEMW item = {};
      item.mask = LVIF_PARAM | LVIF_TEXT | LVIF_STATE;
      item.iItem = i;
      item.pszText = const_cast<wchar_t*>(L"row");
      item.lParam = 100 + i;
      item.stateMask = LVIS_CUT | LVIS_DROPHILITED;
      item.state = i == 2 ? LVIS_CUT | LVIS_DROPHILITED : 0;
      SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
  }
  void TearDown() override { DestroyWindow(list); }
  UINT State(int index) { return UINT(SendMessageW(list, LVM_GETITEMSTATE, index, 0xF)); }

  static HMODULE library;
  HWND list = nullptr;
};
HMODULE SharedHelpers::library = nullptr;

TEST_F(SharedHelpers, LoadResourceStringKeepsEachEntry) {
  const std::wstring& first = LoadResourceString(167);
  EXPECT_EQ(first, L"&Save Priority");
  // The same entry comes back as the same kept string.
  EXPECT_EQ(&LoadResourceString(167), &first);
  EXPECT_EQ(LoadResourceString(172), L"\nHosting Services:\n");
  // An id without an entry is empty, every time.
  EXPECT_EQ(LoadResourceString(158), L"");
  EXPECT_EQ(LoadResourceString(158), L"");
}

TEST_F(SharedHelpers, AnEntryThatLoadedEmptyIsLoadedAgain) {
  // The test program has no string table: the first load finds nothing.
  SetExtensionModule(GetModuleHandleW(nullptr));
  EXPECT_EQ(LoadResourceString(166), L"");
  SetExtensionModule(library);
  EXPECT_EQ(LoadResourceString(166), L"Treat as &Valid");
}

TEST_F(SharedHelpers, LoadPopupMenuDetachesTheFirstPopup) {
  HMENU services = LoadPopupMenu(1001);
  ASSERT_TRUE(services != nullptr);
  EXPECT_EQ(GetMenuItemCount(services), 8);
  EXPECT_EQ(GetMenuItemID(services, 0), 40002u);
  // The popup lives on after the rest of the menu was destroyed.
  EXPECT_TRUE(IsMenu(services));
  DestroyMenu(services);
  HMENU connections = LoadPopupMenu(1002);
  ASSERT_TRUE(connections != nullptr);
  EXPECT_EQ(GetMenuItemID(connections, 0), 40007u);
  EXPECT_EQ(GetMenuItemID(connections, 2), 40006u);
  DestroyMenu(connections);
  EXPECT_EQ(LoadPopupMenu(999), nullptr);
}

TEST_F(SharedHelpers, GetListItemParamReadsRealItemsOnly) {
  EXPECT_EQ(GetListItemParam(list, 0), std::optional<LPARAM>(100));
  EXPECT_EQ(GetListItemParam(list, 2), std::optional<LPARAM>(102));
  EXPECT_EQ(GetListItemParam(list, 3), std::nullopt);
  EXPECT_EQ(GetListItemParam(list, -1), std::nullopt);
}

TEST_F(SharedHelpers, SelectListItemSelectsFocusesAndClearsCutAndDropHighlight) {
  ASSERT_EQ(State(2), UINT(LVIS_CUT | LVIS_DROPHILITED));
  SelectListItem(list, 2);
  EXPECT_EQ(State(2), UINT(LVIS_SELECTED | LVIS_FOCUSED));
  SelectListItem(list, 1);
  EXPECT_EQ(State(1), UINT(LVIS_SELECTED | LVIS_FOCUSED));
  EXPECT_EQ(State(2) & LVIS_FOCUSED, 0u);
}

// A list's tooltip goes where the mouse is, as far as it fits on the screen,
// and above every other window.
TEST_F(SharedHelpers, PlaceTooltipAtCursorPutsTheTipAtTheMouseWithinTheScreen) {
  HWND tip = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX, 0, 0, 0, 0, nullptr,
                             nullptr, nullptr, nullptr);
  ASSERT_TRUE(tip != nullptr);
  constexpr int kWidth = 120, kHeight = 40;
  int right = GetSystemMetrics(SM_CXSCREEN), bottom = GetSystemMetrics(SM_CYSCREEN);
  struct Case {
    POINT cursor;
    POINT corner;
  } cases[] = {
      {{200, 150}, {200, 150}},
      {{right - 10, 150}, {right - kWidth, 150}},
      {{200, bottom - 5}, {200, bottom - kHeight}},
      {{right - 1, bottom - 1}, {right - kWidth, bottom - kHeight}},
  };
  for (const Case& c : cases) {
    SetWindowPos(tip, HWND_NOTOPMOST, 0, 0, kWidth, kHeight, SWP_NOACTIVATE);
    ASSERT_TRUE(SetCursorPos(c.cursor.x, c.cursor.y));
    PlaceTooltipAtCursor(tip);
    RECT placed = {};
    GetWindowRect(tip, &placed);
    EXPECT_EQ(placed.left, c.corner.x) << c.cursor.x << "," << c.cursor.y;
    EXPECT_EQ(placed.top, c.corner.y) << c.cursor.x << "," << c.cursor.y;
    EXPECT_EQ(placed.right - placed.left, kWidth);
    EXPECT_TRUE(GetWindowLongW(tip, GWL_EXSTYLE) & WS_EX_TOPMOST);
  }
  DestroyWindow(tip);
}

}  // namespace
