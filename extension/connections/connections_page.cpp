#include "connections/connections_page.h"

#include <iprtrmib.h>

#include <algorithm>
#include <set>

#include "common/list_view.h"
#include "common/module.h"
#include "common/resource_loaders.h"
#include "common/system_library.h"
#include "common/text_format.h"
#include "connections/connection_source.h"
#include "host/process_info.h"
#include "process/process_tip_text.h"
#include "resources/resource_ids.h"
#include "services/service_manager.h"

namespace {

using SetTcpEntryFunction = DWORD(WINAPI*)(MIB_TCPROW* row);
LateBoundFunction<SetTcpEntryFunction> setTcpEntry(L"iphlpapi.dll", "SetTcpEntry");

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order
constexpr int kTabPosition = 11;

struct ColumnLayout {
  UINT header;  // 0: the fixed text "PID"
  int format;
  int widthWithDriver;
  int widthWithoutDriver;
};

const ColumnLayout kColumns[kColumnCount] = {
    {IDS_PROCESS, LVCFMT_LEFT, 100, 100},
    {0, LVCFMT_LEFT, 40, 40},
    {IDS_PROTO, LVCFMT_LEFT, 50, 50},
    {IDS_LOCAL_ADDRESS, LVCFMT_LEFT, 120, 120},
    {IDS_REMOTE_ADDRESS, LVCFMT_LEFT, 120, 120},
    {IDS_RECEIVED, LVCFMT_RIGHT, 60, 0},
    {IDS_SENT, LVCFMT_RIGHT, 60, 0},
    {IDS_SPEED_IN, LVCFMT_RIGHT, 70, 0},
    {IDS_SPEED_OUT, LVCFMT_RIGHT, 70, 0},
    {IDS_STATE, LVCFMT_LEFT, 80, 80},
};

// Columns 0 to 4 and 9; in driver mode the traffic columns too.
constexpr ColumnSet kTextColumns = ColumnBit(kColumnProcess) | ColumnBit(kColumnPid) |
                                   ColumnBit(kColumnProtocol) | ColumnBit(kColumnLocal) |
                                   ColumnBit(kColumnRemote) | ColumnBit(kColumnState);
constexpr ColumnSet kTrafficColumns = ColumnBit(kColumnReceived) | ColumnBit(kColumnSent) |
                                      ColumnBit(kColumnSpeedIn) | ColumnBit(kColumnSpeedOut);
constexpr ColumnSet kAddressColumns = ColumnBit(kColumnLocal) | ColumnBit(kColumnRemote);

void SetCellText(HWND list, int item, int column, const std::wstring& text) {
  LVITEMW cell = {};
  cell.mask = LVIF_TEXT;
  cell.iItem = item;
  cell.iSubItem = column;
  cell.pszText = const_cast<wchar_t*>(text.c_str());
  SendMessageW(list, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&cell));
}

int NextItem(HWND list, int from, UINT flags) {
  return int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(from), MAKELPARAM(flags, 0)));
}

const wchar_t* TipProtocol(uint32_t protocol) {
  if (protocol == kProtocolTcp) return L"tcp";
  if (protocol == kProtocolUdp) return L"udp";
  return L"unknown";
}

std::wstring TipAddress(uint32_t address) { return address == 0 ? L"*" : DottedQuad(address); }

uint16_t PortNumber(uint16_t port) { return uint16_t((port >> 8) | (port << 8)); }

// Runs its action when the scope ends, also when an exception leaves it.
template <typename Action>
struct AtScopeEnd {
  Action action;
  ~AtScopeEnd() { action(); }
};
template <typename Action>
AtScopeEnd(Action) -> AtScopeEnd<Action>;

}  // namespace

ConnectionsPage::ConnectionsPage() : lastRefresh_(GetTickCount()), names_(service_), tip_(*this) {}

ConnectionsPage::~ConnectionsPage() = default;

void ConnectionsPage::Create(PageHost& host) {
  host_ = &host;
  main_ = host.MainWindow();
  tabs_ = host.TabControl();
  mode_ = host.DriverHandle() != INVALID_HANDLE_VALUE ? SourceMode::Driver : SourceMode::Table;
  formats_ = {LoadResourceString(IDS_BYTES),           LoadResourceString(IDS_KILOBYTES),
              LoadResourceString(IDS_MEGABYTES),       LoadResourceString(IDS_SPEED_BYTES),
              LoadResourceString(IDS_SPEED_KILOBYTES), LoadResourceString(IDS_SPEED_MEGABYTES)};
  service_.Start();
  page_ = CreateDialogParamW(ExtensionModule(), MAKEINTRESOURCEW(IDD_CONNECTIONS_PAGE), main_,
                             &ConnectionsPage::DialogProcedure, reinterpret_cast<LPARAM>(this));
  if (!page_) return;
  service_.SetReplyWindow(page_, kHostReplyMessage);
  TCITEMW item = {};
  item.mask = TCIF_TEXT;
  item.pszText = const_cast<wchar_t*>(L"TCP/IP");
  tab_ = int(SendMessageW(tabs_, TCM_INSERTITEMW, kTabPosition, reinterpret_cast<LPARAM>(&item)));
  list_ = GetDlgItem(page_, IDC_PAGE_LIST);
  SendMessageW(list_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP);
  InsertColumns();
#ifndef VESK_WINDOWS_2000
  tip_.Attach(list_);
#endif
  // The loopback address is named before any row needs it.
  names_.Host(kLoopback);
}

void ConnectionsPage::Destroy() {
  if (tab_ != -1) SendMessageW(tabs_, TCM_DELETEITEM, tab_, 0);
  tab_ = -1;
  if (page_) DestroyWindow(page_);
  page_ = nullptr;
  list_ = nullptr;
  service_.Stop();
  order_.clear();
  rows_.clear();
}

void ConnectionsPage::Layout() {
  if (!page_) return;
  int margin = LOWORD(GetDialogBaseUnits()) * 3 / 4;
  RECT area, listArea;
  GetClientRect(page_, &area);
  GetWindowRect(list_, &listArea);
  MapWindowPoints(nullptr, page_, reinterpret_cast<POINT*>(&listArea), 2);
  HDWP positions = BeginDeferWindowPos(1);
  if (!positions) return;
  positions =
      DeferWindowPos(positions, list_, nullptr, 0, 0, area.right - 2 * margin - listArea.left,
                     area.bottom - 3 * margin - listArea.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (positions) EndDeferWindowPos(positions);
}

std::optional<DWORD> ConnectionsPage::ItemProcessId(int item) const {
  if (ConnectionRow* row = RowAt(item)) return row->processId;
  return std::nullopt;
}

ConnectionRow* ConnectionsPage::RowAt(int item) const {
  auto param = list_ ? GetListItemParam(list_, item) : std::nullopt;
  return param ? reinterpret_cast<ConnectionRow*>(*param) : nullptr;
}

std::vector<ConnectionRow*> ConnectionsPage::ListRows() const {
  // By index rather than by LVM_GETNEXTITEM: one message per item, and each
  // message passes Task Manager's hook.
  std::vector<ConnectionRow*> rows;
  int count = int(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0));
  rows.reserve(size_t(std::max(count, 0)));
  for (int item = 0; item < count; ++item) {
    ConnectionRow* row = RowAt(item);
    if (!row) break;
    rows.push_back(row);
  }
  return rows;
}

const std::vector<ConnectionRow*>& ConnectionsPage::ItemRows() {
  if (order_.size() != size_t(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0))) order_ = ListRows();
  return order_;
}

void ConnectionsPage::InsertColumns() {
  for (int column = 0; column < kColumnCount; ++column) {
    const ColumnLayout& layout = kColumns[column];
    LVCOLUMNW entry = {};
    entry.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    entry.fmt = layout.format;
    entry.pszText = const_cast<wchar_t*>(layout.header ? LoadResourceString(layout.header).c_str() : L"PID");
    entry.cx =
        FittingColumnWidth(list_, entry.pszText,
                           mode_ == SourceMode::Driver ? layout.widthWithDriver : layout.widthWithoutDriver);
    entry.iSubItem = column;
    SendMessageW(list_, LVM_INSERTCOLUMNW, column, reinterpret_cast<LPARAM>(&entry));
  }
}

int ConnectionsPage::ItemTop(int item) const {
  POINT position = {0, 0};
  SendMessageW(list_, LVM_GETITEMPOSITION, item, reinterpret_cast<LPARAM>(&position));
  return position.y;
}

std::vector<ConnectionsPage::Anchor> ConnectionsPage::AnchorRows(
    const std::vector<ConnectionRow*>& rows) const {
  std::vector<Anchor> anchors;
  for (int item : {NextItem(list_, -1, LVNI_FOCUSED), int(SendMessageW(list_, LVM_GETTOPINDEX, 0, 0))})
    if (item >= 0 && size_t(item) < rows.size()) anchors.push_back({rows[size_t(item)], ItemTop(item)});
  return anchors;
}

void ConnectionsPage::KeepAnchor(const std::vector<Anchor>& anchors) {
  // By the row, not by its index: rows that come or go above it move it to
  // another index, and the index alone would stay where it was.
  for (const Anchor& anchor : anchors) {
    auto found = std::find(order_.begin(), order_.end(), anchor.row);
    if (found == order_.end()) continue;
    int moved = ItemTop(int(found - order_.begin()));
    if (moved != anchor.y) SendMessageW(list_, LVM_SCROLL, 0, moved - anchor.y);
    return;
  }
}

void ConnectionsPage::Refresh() {
  if (busy_ || !list_) return;
  names_.ForgetProcesses();
  DWORD now = GetTickCount();
  DWORD elapsed = now - lastRefresh_;
  lastRefresh_ = now;

  std::vector<ConnectionRow*> snapshot = ItemRows();
  MergeResult merge =
      MergeEndpoints(mode_, snapshot, ReadEndpoints(host_->DriverHandle()), elapsed, sortColumn_);
  // Drawing is held only while something changes: turning it back on
  // repaints the whole list, which would cost a refresh with nothing
  // changed more than the rest of it.
  bool changes = !merge.added.empty() || merge.resort ||
                 std::find(merge.unmatched.begin(), merge.unmatched.end(), true) != merge.unmatched.end() ||
                 std::any_of(merge.updates.begin(), merge.updates.end(),
                             [](const MergeResult::Update& update) { return update.columns != 0; });
  if (!changes) return;
  // The list is untouched up to here.
  std::vector<Anchor> anchors = AnchorRows(snapshot);
  SendMessageW(list_, WM_SETREDRAW, FALSE, 0);
  AtScopeEnd redraw{[this] { SendMessageW(list_, WM_SETREDRAW, TRUE, 0); }};
  for (const MergeResult::Update& update : merge.updates)
    if (update.columns) WriteColumns(int(update.entry), *snapshot[update.entry], update.columns);
  for (auto& added : merge.added) {
    NameRow(*added);
    rows_.push_back(std::move(added));
    AppendItem(*rows_.back());
  }

  // Old items come first, so list index and snapshot position agree until
  // an item goes.
  std::set<const ConnectionRow*> removed;
  int item = 0;
  for (size_t entry = 0; entry < snapshot.size(); ++entry) {
    if (merge.unmatched[entry] && SendMessageW(list_, LVM_DELETEITEM, item, 0)) {
      removed.insert(snapshot[entry]);
      if (size_t(item) < order_.size()) order_.erase(order_.begin() + item);
    } else {
      ++item;
    }
  }
  if (merge.resort) Sort();
  KeepAnchor(anchors);
  // Only now: an anchor may name a row that went.
  if (!removed.empty()) rows_.remove_if([&](const auto& row) { return removed.count(row.get()) != 0; });
}

void ConnectionsPage::NameRow(ConnectionRow& row) {
  row.localHost = names_.Host(row.localAddress);
  row.localPortText = names_.Port(row.localPort, row.protocol);
  row.remoteHost = names_.Host(row.remoteAddress);
  row.remotePortText = names_.Port(row.remotePort, row.protocol);
  // A row of a table without owners names no process.
  row.processName = row.hasOwner ? names_.Process(row.processId) : std::wstring();
}

void ConnectionsPage::AppendItem(ConnectionRow& row) {
  LVITEMW entry = {};
  entry.mask = LVIF_TEXT | LVIF_PARAM;
  entry.iItem = int(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0));
  entry.pszText = const_cast<wchar_t*>(row.processName.c_str());
  entry.lParam = reinterpret_cast<LPARAM>(&row);
  int item = int(SendMessageW(list_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&entry)));
  if (item == -1) return;
  order_.insert(order_.begin() + std::min(size_t(item), order_.size()), &row);
  ColumnSet columns = kTextColumns & ~ColumnBit(kColumnProcess);
  if (mode_ == SourceMode::Driver) columns |= kTrafficColumns;
  for (int column = 0; column < kColumnCount; ++column) {
    if (!(columns & ColumnBit(column))) continue;
    // A new item's cells start empty.
    std::wstring text = CellText(row, column);
    if (!text.empty()) SetCellText(list_, item, column, text);
  }
}

void ConnectionsPage::WriteColumns(int item, const ConnectionRow& row, ColumnSet columns) {
  for (int column = 0; column < kColumnCount; ++column)
    if (columns & ColumnBit(column)) SetCellText(list_, item, column, CellText(row, column));
}

std::wstring ConnectionsPage::CellText(const ConnectionRow& row, int column) const {
  switch (column) {
    case kColumnProcess:
      return row.processName;
    case kColumnPid:
      return Decimal(row.processId);
    case kColumnProtocol:
      return ProtocolText(row.protocol);
    case kColumnLocal:
      return AddressCellText(row.localHost, row.localPortText);
    case kColumnRemote:
      return AddressCellText(row.remoteHost, row.remotePortText);
    case kColumnReceived:
      return ByteCountText(row.bytesReceived, formats_);
    case kColumnSent:
      return ByteCountText(row.bytesSent, formats_);
    case kColumnSpeedIn:
      return SpeedText(row.speedIn, formats_);
    case kColumnSpeedOut:
      return SpeedText(row.speedOut, formats_);
    case kColumnState:
      return StateText(row);
  }
  return std::wstring();
}

std::wstring ConnectionsPage::StateText(const ConnectionRow& row) const {
  if (unsigned id = StateStringId(mode_, row)) return LoadResourceString(id);
  return StateNumberShown(mode_, row) ? Decimal(row.state) : std::wstring();
}

void ConnectionsPage::Sort() {
  SendMessageW(list_, LVM_SORTITEMS, reinterpret_cast<WPARAM>(this),
               reinterpret_cast<LPARAM>(&ConnectionsPage::CompareItems));
  order_ = ListRows();
}

int CALLBACK ConnectionsPage::CompareItems(LPARAM first, LPARAM second, LPARAM page) {
  // Comparing allocates nothing and throws nothing.
  const auto* self = reinterpret_cast<const ConnectionsPage*>(page);
  return self->sortDirection_ * CompareRows(self->sortColumn_, *reinterpret_cast<const ConnectionRow*>(first),
                                            *reinterpret_cast<const ConnectionRow*>(second));
}

INT_PTR CALLBACK ConnectionsPage::DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
    return TRUE;
  }
  auto* page = reinterpret_cast<ConnectionsPage*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  // No exception may unwind into the dialog manager: the message is then
  // left to it.
  try {
    return page ? page->OnMessage(message, wParam, lParam) : FALSE;
  } catch (...) {
    return FALSE;
  }
}

INT_PTR ConnectionsPage::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NOTIFY:
      if (lParam) return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
      break;
    case WM_CONTEXTMENU:
      OnContextMenu(lParam);
      return TRUE;
    case kHostReplyMessage:
      OnHostReply(wParam, lParam);
      return TRUE;
  }
  return FALSE;
}

INT_PTR ConnectionsPage::OnNotify(const NMHDR& header) {
  if (header.idFrom != IDC_PAGE_LIST) return FALSE;
  if (header.code == UINT(LVN_COLUMNCLICK)) {
    int column = reinterpret_cast<const NMLISTVIEW&>(header).iSubItem;
    if (column == sortColumn_) {
      sortDirection_ = -sortDirection_;
    } else {
      sortColumn_ = column;
      sortDirection_ = +1;
    }
    Sort();
    return TRUE;
  }
#ifndef VESK_WINDOWS_2000
  if (header.code == UINT(NM_CUSTOMDRAW))
    return OnCustomDraw(const_cast<NMLVCUSTOMDRAW&>(reinterpret_cast<const NMLVCUSTOMDRAW&>(header)));
#endif
  return FALSE;
}

INT_PTR ConnectionsPage::OnCustomDraw(NMLVCUSTOMDRAW& draw) {
  switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      SetWindowLongPtrW(page_, DWLP_MSGRESULT, CDRF_NOTIFYITEMDRAW);
      return TRUE;
    case CDDS_ITEMPREPAINT: {
      const auto* row = reinterpret_cast<const ConnectionRow*>(draw.nmcd.lItemlParam);
      // The colour reads the Check Integrity flag itself.
      if (row && row->processId != 0) host_->ApplyIntegrityColour(draw, row->processId);
      // Set here too: whatever answered a message in between may have left
      // another dialog result.
      SetWindowLongPtrW(page_, DWLP_MSGRESULT, CDRF_NOTIFYITEMDRAW);
      return TRUE;
    }
  }
  return FALSE;
}

bool ConnectionsPage::CanClose(const ConnectionRow& row) const {
  return row.protocol == kProtocolTcp &&
         row.state == (mode_ == SourceMode::Driver ? kDriverEstablished : kTableEstablished);
}

void ConnectionsPage::OnContextMenu(LPARAM point) {
  busy_ = true;
  AtScopeEnd idle{[this] { busy_ = false; }};
  int item = NextItem(list_, -1, LVNI_SELECTED);
  ConnectionRow* row = item == -1 ? nullptr : RowAt(item);
  HMENU menu = row ? LoadPopupMenu(IDM_CONNECTION_CONTEXT) : nullptr;
  if (!menu) return;
  AtScopeEnd destroyMenu{[menu] { DestroyMenu(menu); }};
#ifndef VESK_WINDOWS_2000
  if (row->processId > 16) EnableMenuItem(menu, ID_GO_TO_PROCESS, MF_BYCOMMAND | MF_ENABLED);
#endif
  if (CanClose(*row)) EnableMenuItem(menu, ID_CLOSE_CONNECTION, MF_BYCOMMAND | MF_ENABLED);
  UINT command =
      UINT(TrackPopupMenuEx(menu, TPM_RETURNCMD, short(LOWORD(point)), short(HIWORD(point)), page_, nullptr));
  // Task Manager may have closed inside the menu's loop, and the row went
  // with the page's rows.
  if (!page_) return;
  if (command == ID_CLOSE_CONNECTION) CloseConnection(*row);
#ifndef VESK_WINDOWS_2000
  if (command == ID_GO_TO_PROCESS) GoToProcess(row->processId);
#endif
}

void ConnectionsPage::CloseConnection(const ConnectionRow& row) {
  SetTcpEntryFunction setEntry = setTcpEntry.Get();
  if (!setEntry) return;
  MIB_TCPROW entry = {};
  entry.dwState = kTableDeleteTcb;
  entry.dwLocalAddr = row.localAddress;
  entry.dwLocalPort = row.localPort;
  entry.dwRemoteAddr = row.remoteAddress;
  entry.dwRemotePort = row.remotePort;
  setEntry(&entry);
}

void ConnectionsPage::GoToProcess(DWORD processId) {
  ShowWindow(page_, SW_HIDE);
  host_->GoToProcess(processId);
}

void ConnectionsPage::OnHostReply(WPARAM handle, LPARAM result) {
  auto named = names_.HostReply(uintptr_t(handle), HIWORD(result));
  if (!named || !list_) return;
  NameText name{named->second, true};
  const std::vector<ConnectionRow*>& rows = ItemRows();
  for (size_t item = 0; item < rows.size(); ++item) {
    ConnectionRow* row = rows[item];
    bool changed = false;
    if (row->localAddress == named->first) {
      row->localHost = name;
      changed = true;
    }
    if (row->remoteAddress == named->first) {
      row->remoteHost = name;
      changed = true;
    }
    if (changed) WriteColumns(int(item), *row, kAddressColumns);
  }
}

LRESULT ConnectionsPage::ListTip::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NOTIFY && lParam) {
    auto& header = *reinterpret_cast<NMHDR*>(lParam);
    if (header.code == UINT(TTN_GETDISPINFOW))
      return page_.OnTipText(*reinterpret_cast<NMTTDISPINFOW*>(lParam));
    if (header.code == UINT(TTN_SHOW)) {
      PlaceTooltipAtCursor(header.hwndFrom);
      return TRUE;
    }
  }
  return CallPrevious(message, wParam, lParam);
}

LRESULT ConnectionsPage::OnTipText(NMTTDISPINFOW& info) {
  LVHITTESTINFO hit = {};
  if (!GetCursorPos(&hit.pt) || !ScreenToClient(list_, &hit.pt)) return 0;
  int item = int(SendMessageW(list_, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
  ConnectionRow* row = item == -1 ? nullptr : RowAt(item);
  if (!row) return 0;
  tipText_ = TipText(*row);
  info.lpszText = const_cast<wchar_t*>(tipText_.c_str());
  SendMessageW(info.hdr.hwndFrom, TTM_SETMAXTIPWIDTH, 0, 400);
  SendMessageW(info.hdr.hwndFrom, TTM_SETDELAYTIME, TTDT_INITIAL, 1500);
  SendMessageW(info.hdr.hwndFrom, TTM_SETDELAYTIME, TTDT_AUTOPOP, 20000);
  return 0;
}

std::wstring ConnectionsPage::TipText(const ConnectionRow& row) const {
  std::wstring text = TipProtocol(row.protocol);
  text += L"://" + TipAddress(row.localAddress) + L":" + Decimal(PortNumber(row.localPort));
  if (row.protocol == kProtocolTcp && row.remoteAddress != 0)
    text += L" - " + DottedQuad(row.remoteAddress) + L":" + Decimal(PortNumber(row.remotePort));
  if (row.bytesSent != 0) text += L"\r\n" + LoadResourceString(IDS_SENT) + L": " + Decimal(row.bytesSent);
  if (row.bytesReceived != 0)
    text += L"\r\n" + LoadResourceString(IDS_RECEIVED) + L": " + Decimal(row.bytesReceived);
  if (row.processId <= 16) return text;
  std::wstring path = ObtainedImagePath(QueryProcessImagePath(row.processId));
  if (path.empty()) return text;
  std::wstring description, version, copyright;
  QueryVersionStrings(path, description, version, copyright);
  text += L"\r\n" + ComposeProcessTip(description, version, copyright, path);
#ifndef VESK_WINDOWS_2000
  if (auto services = EnumerateServices())
    AppendHostingServices(LoadResourceString(IDS_HOSTING_SERVICES), text, row.processId, *services);
#endif
  return text;
}
