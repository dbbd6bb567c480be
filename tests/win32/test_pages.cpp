// The pages of the tab-switching test build: two plain pages, "Test A" and
// "Test B", that count their Layout and Refresh calls in window properties
// ("Layouts", "Refreshes") for the test to read. When the property
// "NestOnce" is set, the next Layout sends a tab-change notification of its
// own to the main window (as a page that reacts to its own showing might).
// The first Destroy puts the tab control's selection (plus one) into the main
// window's property "TabAtDestroy".
// A row's parameter value is the process id it belongs to.
#include "host/page.h"

#include <commctrl.h>

#include "common/list_view.h"

namespace {

void Count(HWND window, const wchar_t* name) {
  SetPropW(window, name, reinterpret_cast<HANDLE>(reinterpret_cast<INT_PTR>(GetPropW(window, name)) + 1));
}

class TestPage : public Page {
 public:
  TestPage(const wchar_t* title, int position) : title_(title), position_(position) {}

  void Create(PageHost& host) override {
    main_ = host.MainWindow();
    tabs_ = host.TabControl();
    window_ = CreateWindowExW(0, L"STATIC", title_, WS_CHILD | WS_CLIPCHILDREN, 0, 0, 100, 100, main_,
                              nullptr, nullptr, nullptr);
    list_ = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | WS_BORDER | LVS_REPORT, 0, 0, 10,
                            10, window_, reinterpret_cast<HMENU>(1001), nullptr, nullptr);
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<wchar_t*>(title_);
    tab_ = int(SendMessageW(tabs_, TCM_INSERTITEMW, position_, reinterpret_cast<LPARAM>(&item)));
  }
  void Destroy() override {
    // The selection Task Manager would read when the tab goes, for the test.
    if (!GetPropW(main_, L"TabAtDestroy"))
      SetPropW(main_, L"TabAtDestroy",
               reinterpret_cast<HANDLE>(SendMessageW(tabs_, TCM_GETCURSEL, 0, 0) + 1));
    SendMessageW(tabs_, TCM_DELETEITEM, tab_, 0);
    DestroyWindow(window_);
    tab_ = -1;
  }
  void Layout() override {
    Count(window_, L"Layouts");
    RECT area;
    GetClientRect(window_, &area);
    MoveWindow(list_, 0, 0, area.right, area.bottom, TRUE);
    if (RemovePropW(window_, L"NestOnce")) {
      NMHDR header = {tabs_, 1000, UINT(TCN_SELCHANGE)};
      SendMessageW(main_, WM_NOTIFY, 1000, reinterpret_cast<LPARAM>(&header));
    }
  }
  void Refresh() override { Count(window_, L"Refreshes"); }
  int TabIndex() const override { return tab_; }
  HWND PageWindow() const override { return window_; }
  HWND ListView() const override { return list_; }
  std::optional<DWORD> ItemProcessId(int item) const override {
    if (auto param = GetListItemParam(list_, item)) return DWORD(*param);
    return std::nullopt;
  }

 private:
  const wchar_t* title_;
  int position_;
  HWND main_ = nullptr;
  HWND tabs_ = nullptr;
  HWND window_ = nullptr;
  HWND list_ = nullptr;
  int tab_ = -1;
};

}  // namespace

std::vector<std::unique_ptr<Page>> CreateAddedPages() {
  std::vector<std::unique_ptr<Page>> pages;
  pages.push_back(std::make_unique<TestPage>(L"Test A", 10));
  pages.push_back(std::make_unique<TestPage>(L"Test B", 11));
  return pages;
}
