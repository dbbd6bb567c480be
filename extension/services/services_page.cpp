#include "services/services_page.h"

#include <commctrl.h>

#include <vector>

#include "common/list_view.h"
#include "common/module.h"
#include "common/resource_loaders.h"
#include "resources/resource_ids.h"
#include "services/service_manager.h"

namespace {

// The tab goes after Task Manager's own.
constexpr int kTabPosition = 10;
constexpr int kTabTextLength = 64;
constexpr int kNameColumnWidth = 250;
constexpr int kStatusColumnWidth = 80;
constexpr DWORD kExtendedListStyle = LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP;
constexpr int kTipWidth = 400;
constexpr int kTipInitialDelay = 1500;
constexpr int kTipAutoPop = 20000;
constexpr UINT_PTR kPollTimerId = 1;
// The item prepaint answer: sub-items are announced too.
constexpr LRESULT kItemPrepaintResult = 0x20;

void InsertColumn(HWND list, int index, UINT title, int width) {
  LVCOLUMNW column = {};
  column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
  column.fmt = LVCFMT_LEFT;
  column.pszText = const_cast<LPWSTR>(LoadResourceString(title).c_str());
  column.cx = FittingColumnWidth(list, column.pszText, width);
  SendMessageW(list, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&column));
}

#ifndef VESK_WINDOWS_2000
// The item of the list under the cursor, -1 for none.
int ItemUnderCursor(HWND list) {
  LVHITTESTINFO hit = {};
  GetCursorPos(&hit.pt);
  ScreenToClient(list, &hit.pt);
  return int(SendMessageW(list, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
}
#endif

}  // namespace

void ServicesPage::Create(PageHost& host) {
  host_ = &host;
  mainWindow_ = host.MainWindow();
  tabControl_ = host.TabControl();
  WCHAR text[kTabTextLength] = {};
  lstrcpynW(text, LoadResourceString(IDS_SERVICES).c_str(), kTabTextLength);
  pageWindow_ = CreateDialogParamW(ExtensionModule(), MAKEINTRESOURCEW(IDD_SERVICES_PAGE), mainWindow_,
                                   &ServicesPage::PageProcedure, reinterpret_cast<LPARAM>(this));
  if (!pageWindow_) return;
  TCITEMW tab = {};
  tab.mask = TCIF_TEXT;
  tab.pszText = text;
  tab.cchTextMax = kTabTextLength;
  tabIndex_ = int(SendMessageW(tabControl_, TCM_INSERTITEMW, kTabPosition, reinterpret_cast<LPARAM>(&tab)));
  HWND list = GetDlgItem(pageWindow_, IDC_PAGE_LIST);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, kExtendedListStyle);
  InsertColumn(list, 0, IDS_SERVICE_NAME, kNameColumnWidth);
  InsertColumn(list, 1, IDS_STATUS, kStatusColumnWidth);
  edgeWidth_ = GetSystemMetrics(SM_CXEDGE);
  rowsRegion_ = CreateRectRgn(0, 0, 0, 0);
  scratchRegion_ = CreateRectRgn(0, 0, 0, 0);
  windowBrush_ = CreateSolidBrush(GetSysColor(COLOR_WINDOW));
  margin_ = LOWORD(GetDialogBaseUnits()) * 3 / 4;
  list_.Attach(list);
}

void ServicesPage::Destroy() {
  control_.Shutdown();
  if (HWND list = list_.Window()) SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  if (tabIndex_ >= 0) SendMessageW(tabControl_, TCM_DELETEITEM, tabIndex_, 0);
  tabIndex_ = -1;
  list_.Detach();
  if (pageWindow_) DestroyWindow(pageWindow_);
  pageWindow_ = nullptr;
  for (HGDIOBJ object : {HGDIOBJ(rowsRegion_), HGDIOBJ(scratchRegion_), HGDIOBJ(windowBrush_)})
    if (object) DeleteObject(object);
  rowsRegion_ = scratchRegion_ = nullptr;
  windowBrush_ = nullptr;
  records_.clear();
}

void ServicesPage::Layout() {
  HWND list = list_.Window();
  if (!list) return;
  RECT client = {}, bounds = {};
  GetClientRect(pageWindow_, &client);
  GetWindowRect(list, &bounds);
  MapWindowPoints(nullptr, pageWindow_, reinterpret_cast<POINT*>(&bounds), 2);
  int width = client.right - 2 * margin_ - bounds.left;
  int height = client.bottom - 3 * margin_ - bounds.top;
  HDWP positions = BeginDeferWindowPos(1);
  if (positions)
    positions = DeferWindowPos(positions, list, nullptr, 0, 0, width > 0 ? width : 0, height > 0 ? height : 0,
                               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (positions) EndDeferWindowPos(positions);
}

void ServicesPage::Refresh() {
  HWND list = list_.Window();
  if (busy_ || !list) return;
  auto services = EnumerateServices();
  if (!services) return;
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);

  // Entry i stands for item i; its marker stays set until a service matches.
  struct Entry {
    ServiceRecord* record;
    bool unmatched;
  };
  std::vector<Entry> snapshot;
  size_t count = size_t(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  snapshot.reserve(count);
  for (int item = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_ALL));
       item >= 0 && snapshot.size() < count;
       item = int(SendMessageW(list, LVM_GETNEXTITEM, item, LVNI_ALL))) {
    auto param = GetListItemParam(list, item);
    if (!param || !*param) break;
    snapshot.push_back({reinterpret_cast<ServiceRecord*>(*param), true});
  }

  bool sort = false;
  for (const auto& service : *services) {
    std::wstring status = StatusText(service.state, service.checkpoint);
    bool matched = false;
    for (size_t i = 0; i < snapshot.size() && !matched; ++i) {
      Entry& entry = snapshot[i];
      if (!entry.unmatched || entry.record->keyName != service.keyName) continue;
      ServiceRecord& record = *entry.record;
      // Both states: a details query or a poll may have brought the current
      // state up to date while the row still shows the old one.
      bool otherProcess = service.processId != record.processId;
      // From every enumeration: a service restarted between two ticks shows
      // the same state in another process, which may accept other controls.
      record.acceptedControls = service.acceptedControls;
      record.processId = service.processId;
      if (service.state != record.currentState || service.state != record.shownState ||
          service.checkpoint != record.checkpoint) {
        record.displayName = service.displayName;
        record.currentState = record.shownState = service.state;
        record.checkpoint = service.checkpoint;
        WriteItem(int(i), record, status);
        sort = true;
      } else if (otherProcess) {
        // Painted again in its new process's colour.
        SendMessageW(list, LVM_REDRAWITEMS, i, i);
      }
      entry.unmatched = false;
      matched = true;
    }
    if (matched) continue;
    auto record = std::make_shared<ServiceRecord>();
    record->keyName = service.keyName;
    record->displayName = service.displayName;
    record->currentState = record->shownState = service.state;
    record->acceptedControls = service.acceptedControls;
    record->checkpoint = service.checkpoint;
    record->processId = service.processId;
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    item.pszText = const_cast<LPWSTR>(record->displayName.c_str());
    item.lParam = reinterpret_cast<LPARAM>(record.get());
    int index = int(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    if (index >= 0) {
      SetStatusCell(index, status);
      records_.push_back(record);
      sort = true;
    }
  }

  // New items were appended after the old ones, so snapshot positions and
  // item indices stay equal while the unmatched rows go.
  for (size_t i = 0; i < snapshot.size();) {
    // An item the list would not delete keeps its record (the item still
    // refers to it) and its place; the next refresh tries again.
    if (!snapshot[i].unmatched || !SendMessageW(list, LVM_DELETEITEM, i, 0)) {
      ++i;
      continue;
    }
    ServiceRecord* gone = snapshot[i].record;
    records_.remove_if([gone](const ServiceRecordPtr& record) { return record.get() == gone; });
    snapshot.erase(snapshot.begin() + std::ptrdiff_t(i));
  }
  if (sort) Sort();
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
}

void ServicesPage::WriteItem(int item, const ServiceRecord& record, const std::wstring& status) {
  LVITEMW row = {};
  row.mask = LVIF_TEXT | LVIF_PARAM;
  row.iItem = item;
  row.pszText = const_cast<LPWSTR>(record.displayName.c_str());
  row.lParam = reinterpret_cast<LPARAM>(&record);
  SendMessageW(list_.Window(), LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&row));
  SetStatusCell(item, status);
}

void ServicesPage::SetStatusCell(int item, const std::wstring& status) {
  LVITEMW cell = {};
  cell.iSubItem = 1;
  cell.pszText = const_cast<LPWSTR>(status.c_str());
  SendMessageW(list_.Window(), LVM_SETITEMTEXTW, item, reinterpret_cast<LPARAM>(&cell));
}

int CALLBACK ServicesPage::CompareItems(LPARAM first, LPARAM second, LPARAM context) {
  const auto* page = reinterpret_cast<const ServicesPage*>(context);
  const auto& a = *reinterpret_cast<const ServiceRecord*>(first);
  const auto& b = *reinterpret_cast<const ServiceRecord*>(second);
  int order = page->sortColumn_ == 0 ? CompareDisplayNames(a, b) : CompareStates(a, b);
  return order * page->sortDirection_;
}

void ServicesPage::Sort() {
  SendMessageW(list_.Window(), LVM_SORTITEMS, reinterpret_cast<WPARAM>(this),
               reinterpret_cast<LPARAM>(&ServicesPage::CompareItems));
}

void ServicesPage::OnColumnClick(int column) {
  if (column == sortColumn_) {
    sortDirection_ = -sortDirection_;
  } else {
    sortColumn_ = column == 1 ? 1 : 0;
    sortDirection_ = +1;
  }
  Sort();
}

ServiceRecordPtr ServicesPage::Owned(const ServiceRecord* record) const {
  if (!record) return nullptr;
  for (const auto& owned : records_)
    if (owned.get() == record) return owned;
  return nullptr;
}

ServiceRecordPtr ServicesPage::RecordOfItem(int item) const {
  HWND list = list_.Window();
  if (!list || item < 0) return nullptr;
  auto param = GetListItemParam(list, item);
  return param ? Owned(reinterpret_cast<const ServiceRecord*>(*param)) : nullptr;
}

std::optional<DWORD> ServicesPage::ItemProcessId(int item) const {
  auto record = RecordOfItem(item);
  if (!record || record->processId == 0) return std::nullopt;
  return record->processId;
}

ServiceRecordPtr ServicesPage::FindRecord(const std::wstring& keyName) const {
  for (const auto& record : records_)
    if (record->keyName == keyName) return record;
  return nullptr;
}

void ServicesPage::RefreshAfterCommand() {
  busy_ = false;
  Refresh();
}

void ServicesPage::SelectServiceByDisplayName(const std::wstring& displayName) {
  HWND list = list_.Window();
  if (!list) return;
  int count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int item = 0; item < count; ++item) {
    auto record = RecordOfItem(item);
    if (!record || record->displayName != displayName) continue;
    SelectListItem(list, item);
    SendMessageW(list, LVM_ENSUREVISIBLE, item, FALSE);
    break;
  }
  SetFocus(list);
}

INT_PTR CALLBACK ServicesPage::PageProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    return TRUE;
  }
  auto* page = reinterpret_cast<ServicesPage*>(GetWindowLongPtrW(dialog, DWLP_USER));
  return page && page->pageWindow_ == dialog ? page->OnPageMessage(message, wParam, lParam) : FALSE;
}

INT_PTR ServicesPage::OnPageMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lParam);
      if (!header || header->idFrom != IDC_PAGE_LIST) break;
      if (header->code == UINT(LVN_COLUMNCLICK)) {
        OnColumnClick(reinterpret_cast<NMLISTVIEW*>(lParam)->iSubItem);
        return TRUE;
      }
#ifndef VESK_WINDOWS_2000
      if (header->code == UINT(NM_CUSTOMDRAW)) {
        SetWindowLongPtrW(pageWindow_, DWLP_MSGRESULT,
                          OnCustomDraw(*reinterpret_cast<NMLVCUSTOMDRAW*>(lParam)));
        return TRUE;
      }
#endif
      break;
    }
    case WM_CONTEXTMENU:
      OnContextMenu(lParam);
      // Task Manager may have closed inside the menu or a command's box.
      if (pageWindow_) SetWindowLongPtrW(pageWindow_, DWLP_MSGRESULT, 1);
      return TRUE;
    case WM_TIMER:
      if (wParam != kPollTimerId) break;
      control_.OnPollTimer();
      return TRUE;
  }
  return FALSE;
}

LRESULT ServicesPage::OnCustomDraw(NMLVCUSTOMDRAW& draw) {
  if (draw.nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
  if (draw.nmcd.dwDrawStage != CDDS_ITEMPREPAINT) return 0;
  auto record = Owned(reinterpret_cast<const ServiceRecord*>(draw.nmcd.lItemlParam));
  if (record && record->processId != 0) host_->ApplyIntegrityColour(draw, record->processId);
  return kItemPrepaintResult;
}

void ServicesPage::OnContextMenu(LPARAM position) {
  BusyScope busy(busy_);
  HWND list = list_.Window();
  int item = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
  ServiceRecordPtr record = RecordOfItem(item);
  if (!record || !QueryServiceDetails(*record)) return;
  UINT command = 0;
  if (HMENU menu = LoadPopupMenu(IDM_SERVICE_CONTEXT)) {
    auto enable = [menu](UINT id) { EnableMenuItem(menu, id, MF_BYCOMMAND | MF_ENABLED); };
    bool acceptsStop = record->acceptedControls & kAcceptsStop;
    bool acceptsPause = record->acceptedControls & kAcceptsPauseContinue;
    bool disabled = record->startType == SERVICE_DISABLED;
    bool hasProcessItem = false;
    switch (record->currentState) {
      case SERVICE_STOPPED:
        if (!disabled) enable(ID_SERVICE_START);
        break;
      case SERVICE_START_PENDING:
      case SERVICE_STOP_PENDING:
      case SERVICE_CONTINUE_PENDING:
      case SERVICE_PAUSE_PENDING:
        hasProcessItem = true;
        break;
      case SERVICE_RUNNING:
        hasProcessItem = true;
        if (acceptsStop) enable(ID_SERVICE_STOP);
        if (acceptsStop && !disabled) enable(ID_SERVICE_RESTART);
        if (acceptsPause) enable(ID_SERVICE_PAUSE);
        break;
      case SERVICE_PAUSED:
        hasProcessItem = true;
        if (acceptsPause) enable(ID_SERVICE_CONTINUE);
        break;
    }
#ifndef VESK_WINDOWS_2000
    if (hasProcessItem) enable(ID_GO_TO_PROCESS);
#else
    (void)hasProcessItem;  // without process ids there is no process to go to
#endif
    UINT checked = record->startType == SERVICE_AUTO_START     ? ID_STARTUP_AUTOMATIC
                   : record->startType == SERVICE_DEMAND_START ? ID_STARTUP_MANUAL
                   : record->startType == SERVICE_DISABLED     ? ID_STARTUP_DISABLED
                                                               : 0;
    if (checked) CheckMenuItem(menu, checked, MF_BYCOMMAND | MF_CHECKED);
    int x = short(LOWORD(position)), y = short(HIWORD(position));
    command = UINT(TrackPopupMenuEx(menu, TPM_RETURNCMD, x, y, pageWindow_, nullptr));
    DestroyMenu(menu);
  }
  // Task Manager may have closed inside the menu's loop (the page object
  // stays, its window is gone): the command is dropped and the handle closed.
  if (!pageWindow_ || !IsWindow(pageWindow_)) command = 0;
  RunCommand(command, record);
}

void ServicesPage::RunCommand(UINT command, const ServiceRecordPtr& record) {
  switch (command) {
    case ID_SERVICE_START:
      control_.Start(record);
      return;
    case ID_SERVICE_PAUSE:
      control_.Pause(record);
      return;
    case ID_SERVICE_CONTINUE:
      control_.Continue(record);
      return;
    case ID_SERVICE_STOP:
      control_.Stop(record);
      break;
    case ID_SERVICE_RESTART:
      control_.Restart(record);
      break;
    case ID_STARTUP_AUTOMATIC:
      control_.SetStartType(record, SERVICE_AUTO_START);
      return;
    case ID_STARTUP_MANUAL:
      control_.SetStartType(record, SERVICE_DEMAND_START);
      return;
    case ID_STARTUP_DISABLED:
      control_.SetStartType(record, SERVICE_DISABLED);
      return;
#ifndef VESK_WINDOWS_2000
    case ID_GO_TO_PROCESS:
      GoToProcess(record->processId);
      break;
#endif
  }
  // A menu closed without a command, Go To Process, or a Stop or Restart
  // that was declined or handed to the queue: the handle the menu's query
  // opened is not the queue's to close (the queue opens its own), so it is
  // closed here unless the sequence now works on it.
  if (!control_.Holds(*record)) ReleaseServiceHandle(*record);
}

void ServicesPage::GoToProcess(DWORD processId) {
  ShowWindow(pageWindow_, SW_HIDE);
  host_->GoToProcess(processId);
}

LRESULT ServicesPage::OnListMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ERASEBKGND:
      return OnEraseBackground(reinterpret_cast<HDC>(wParam));
    case WM_SYSCOLORCHANGE:
      if (windowBrush_) DeleteObject(windowBrush_);
      windowBrush_ = CreateSolidBrush(GetSysColor(COLOR_WINDOW));
      InvalidateRect(list_.Window(), nullptr, TRUE);
      break;
#ifndef VESK_WINDOWS_2000
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lParam);
      HWND tooltip = reinterpret_cast<HWND>(SendMessageW(list_.Window(), LVM_GETTOOLTIPS, 0, 0));
      if (!header || !tooltip || header->hwndFrom != tooltip) break;
      if (header->code == UINT(TTN_GETDISPINFOW))
        return OnTooltipText(*reinterpret_cast<NMTTDISPINFOW*>(lParam));
      if (header->code == UINT(TTN_SHOW)) {
        PlaceTooltipAtCursor(tooltip);
        return TRUE;
      }
      break;
    }
#endif
  }
  return list_.CallPrevious(message, wParam, lParam);
}

LRESULT ServicesPage::ServicesList::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return page_.OnListMessage(message, wParam, lParam);
}

LRESULT ServicesPage::OnEraseBackground(HDC dc) {
  HWND list = list_.Window();
  if (!rowsRegion_ || !scratchRegion_ || !windowBrush_)
    return list_.CallPrevious(WM_ERASEBKGND, WPARAM(dc), 0);
  // Unselected rows paint themselves; only the rest is erased, so they do
  // not flicker at every refresh.
  SetRectRgn(rowsRegion_, 0, 0, 0, 0);
  int count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int item = 0; item < count; ++item) {
    if (SendMessageW(list, LVM_GETITEMSTATE, item, LVIS_SELECTED) & LVIS_SELECTED) continue;
    RECT row = {};
    row.left = LVIR_BOUNDS;
    if (!SendMessageW(list, LVM_GETITEMRECT, item, reinterpret_cast<LPARAM>(&row))) continue;
    SetRectRgn(scratchRegion_, row.left + edgeWidth_, row.top, row.right, row.bottom);
    CombineRgn(rowsRegion_, rowsRegion_, scratchRegion_, RGN_OR);
  }
  RECT client = {};
  GetClientRect(list, &client);
  SetRectRgn(scratchRegion_, client.left, client.top, client.right, client.bottom);
  CombineRgn(scratchRegion_, scratchRegion_, rowsRegion_, RGN_DIFF);
  FillRgn(dc, scratchRegion_, windowBrush_);
  return 1;
}

#ifndef VESK_WINDOWS_2000
LRESULT ServicesPage::OnTooltipText(NMTTDISPINFOW& info) {
  HWND list = list_.Window();
  int item = ItemUnderCursor(list);
  if (item < 0) return 0;
  auto param = GetListItemParam(list, item);
  if (!param) return 0;
  if (ServiceRecordPtr record = Owned(reinterpret_cast<const ServiceRecord*>(*param))) {
    if (record->tipText.empty()) {
      // The handle is closed again only when this query opened it.
      bool opened = record->service == nullptr;
      QueryServiceDetails(*record);
      if (opened) ReleaseServiceHandle(*record);
    }
    if (!record->tipText.empty()) info.lpszText = const_cast<LPWSTR>(record->tipText.c_str());
  }
  HWND tooltip = info.hdr.hwndFrom;
  SendMessageW(tooltip, TTM_SETMAXTIPWIDTH, 0, kTipWidth);
  SendMessageW(tooltip, TTM_SETDELAYTIME, TTDT_INITIAL, kTipInitialDelay);
  SendMessageW(tooltip, TTM_SETDELAYTIME, TTDT_AUTOPOP, kTipAutoPop);
  return 0;
}
#endif
