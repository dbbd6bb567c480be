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

TEST_F(SharedHelpers, TrackTooltipMovesATrackingTip) {
  HWND tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                             0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(tip != nullptr);
  TTTOOLINFOW tool = {};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.uFlags = TTF_TRACK | TTF_ABSOLUTE;
  tool.hwnd = list;
  tool.lpszText = const_cast<wchar_t*>(L"tip");
  ASSERT_TRUE(SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool)));
  TrackTooltip(tip, 120, 90);
  SendMessageW(tip, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&tool));
  RECT first, second;
  GetWindowRect(tip, &first);
  // The tip's frame may sit a pixel off the point; the moves are exact.
  EXPECT_LE(std::abs(first.left - 120), 2);
  EXPECT_LE(std::abs(first.top - 90), 2);
  TrackTooltip(tip, 300, 200);
  GetWindowRect(tip, &second);
  EXPECT_EQ(second.left - first.left, 180);
  EXPECT_EQ(second.top - first.top, 110);
  DestroyWindow(tip);
}

}  // namespace
