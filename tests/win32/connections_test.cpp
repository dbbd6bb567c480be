// The TCP/IP page of the shipped library inside the substitute Task Manager,
// as a user sees it without the driver: the rows come from the tables that
// the TDI test transport answers on \\.\Tcp, or from iphlpapi's (under Wine
// the machine's own sockets) where \\.\Tcp gives none.
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>
#include <iphlpapi.h>
#include <iprtrmib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "taskmgr_host.h"
#include "transport/driver_service.h"
#include "transport/transport_client.h"

namespace {

constexpr uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return uint32_t(a) | uint32_t(b) << 8 | uint32_t(c) << 16 | uint32_t(d) << 24;
}
constexpr uint32_t Port(uint16_t hostOrder) { return uint16_t(hostOrder << 8 | hostOrder >> 8); }

// Documentation addresses: their reverse lookups find no name.
constexpr uint32_t kLocal = Ip(192, 0, 2, 1);
constexpr uint32_t kRemote = Ip(198, 51, 100, 7);

struct TcpRow {
  uint32_t state, localAddress, localPort, remoteAddress, remotePort, processId;
};
struct UdpRow {
  uint32_t localAddress, localPort, processId;
};

DWORD gTransportStart = 1;

// A jump to a stand-in written over the first bytes of dll!function in this
// process while the object lives. The extension binds the same module by its
// system path on first use, so an import patch would not reach its calls;
// this does.
class Detour {
 public:
  Detour(const wchar_t* dll, const char* function, const void* standIn) {
    HMODULE library = LoadLibraryW(dll);
    target_ = library ? reinterpret_cast<BYTE*>(GetProcAddress(library, function)) : nullptr;
    if (!target_) return;
    memcpy(saved_, target_, 5);
    BYTE jump[5] = {0xE9};  // jmp rel32
    INT32 distance = INT32(static_cast<const BYTE*>(standIn) - (target_ + 5));
    memcpy(jump + 1, &distance, 4);
    if (!Write(jump)) target_ = nullptr;
  }
  ~Detour() {
    if (target_) Write(saved_);
  }
  Detour(const Detour&) = delete;
  Detour& operator=(const Detour&) = delete;
  bool Active() const { return target_ != nullptr; }

 private:
  bool Write(const BYTE* bytes) {
    DWORD protection;
    if (!VirtualProtect(target_, 5, PAGE_EXECUTE_READWRITE, &protection)) return false;
    memcpy(target_, bytes, 5);
    VirtualProtect(target_, 5, protection, &protection);
    FlushInstructionCache(GetCurrentProcess(), target_, 5);
    return true;
  }
  BYTE* target_ = nullptr;
  BYTE saved_[5] = {};
};

// Wine's SetTcpEntry closes nothing: the stand-in keeps the rows it is
// handed.
std::vector<MIB_TCPROW> gClosedRows;
DWORD WINAPI StandInSetTcpEntry(MIB_TCPROW* row) {
  gClosedRows.push_back(*row);
  return NO_ERROR;
}

// Wine's reverse lookups answer from the resolver of the machine the tests
// run on, whenever it answers: the stand-in for WSAAsyncGetHostByAddr only
// records each request, and the test answers it as Winsock would, with a
// host entry in the caller's buffer and the reply message.
struct HostLookup {
  uint32_t address;
  HWND window;
  UINT message;
  char* buffer;
  int length;
  HANDLE handle;
};
std::vector<HostLookup> gLookups;
HANDLE WINAPI StandInHostByAddr(HWND window, UINT message, const char* address, int length, int type,
                                char* buffer, int bufferLength) {
  HostLookup lookup = {0, window, message, buffer, bufferLength, HANDLE(uintptr_t(0x5000 + gLookups.size()))};
  if (length != 4 || type != 2 /* AF_INET */) return nullptr;
  memcpy(&lookup.address, address, 4);
  gLookups.push_back(lookup);
  return lookup.handle;
}

// Winsock 1.1's hostent on x86.
struct HostEntry {
  char* name;
  char** aliases;
  short type;
  short length;
  char** addresses;
};

const HostLookup* LookupOf(uint32_t address) {
  for (const HostLookup& lookup : gLookups)
    if (lookup.address == address) return &lookup;
  return nullptr;
}

// The reply of a found name: the entry, its lists and the name itself, all
// within the caller's buffer.
void AnswerLookup(const HostLookup& lookup, const char* name) {
  struct Layout {
    HostEntry entry;
    char* noAliases[1];
    char* addressList[2];
    uint32_t address;
    char name[64];
  };
  ASSERT_GE(size_t(lookup.length), sizeof(Layout));
  ASSERT_LT(strlen(name), sizeof Layout::name);
  auto* reply = reinterpret_cast<Layout*>(lookup.buffer);
  *reply = {};
  strcpy(reply->name, name);
  reply->address = lookup.address;
  reply->addressList[0] = reinterpret_cast<char*>(&reply->address);
  reply->entry = {reply->name, reply->noAliases, 2, 4, reply->addressList};
  PostMessageW(lookup.window, lookup.message, WPARAM(lookup.handle), MAKELONG(sizeof(Layout), 0));
}

void FailLookup(const HostLookup& lookup) {
  PostMessageW(lookup.window, lookup.message, WPARAM(lookup.handle), MAKELONG(0, 11004 /* WSANO_DATA */));
}

class ConnectionsPageTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    gTransportStart = StartDriver(manager, L"vesk_test_tdi", HostPath("VESK_TEST_TDI"));
    CloseServiceHandle(manager);
  }
  void SetUp() override {
    ASSERT_EQ(gTransportStart, 0u) << "the test transport did not start";
    network_ = CreateFileW(L"\\\\.\\VeskTestTdi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(network_, INVALID_HANDLE_VALUE);
    SetTables({}, {});
    RefuseOwnerTables(false);
    host.Start();
    tab_ = TabNamed(L"TCP/IP");
    ASSERT_NE(tab_, -1);
    for (HWND child = GetWindow(host.Main(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
      if (GetDlgItem(child, 1001) && !GetDlgItem(child, 1009)) page_ = child;
    ASSERT_NE(page_, nullptr);
    list_ = GetDlgItem(page_, 1001);
  }
  void TearDown() override {
    host.Stop();
    if (network_ != INVALID_HANDLE_VALUE) {
      SetTables({}, {});
      RefuseOwnerTables(false);
      CloseHandle(network_);
    }
  }

  int TabNamed(const wchar_t* title) const {
    int count = int(SendMessageW(host.Tabs(), TCM_GETITEMCOUNT, 0, 0));
    for (int index = 0; index < count; ++index) {
      wchar_t text[64] = {};
      TCITEMW item = {};
      item.mask = TCIF_TEXT;
      item.pszText = text;
      item.cchTextMax = 64;
      SendMessageW(host.Tabs(), TCM_GETITEMW, index, reinterpret_cast<LPARAM>(&item));
      if (wcscmp(text, title) == 0) return index;
    }
    return -1;
  }
  void SetTable(uint32_t protocol, const void* rows, size_t bytes) {
    testtdi::Op op = {};
    op.code = testtdi::kSetTable;
    op.protocol = protocol;
    ASSERT_EQ(testtdi::SendOp(network_, op, rows, DWORD(bytes)).status, 0);
  }
  void SetTables(const std::vector<TcpRow>& tcp, const std::vector<UdpRow>& udp) {
    SetTable(6, tcp.data(), tcp.size() * sizeof(TcpRow));
    SetTable(17, udp.data(), udp.size() * sizeof(UdpRow));
  }
  void RefuseOwnerTables(bool refuse) {
    testtdi::Op op = {};
    op.code = testtdi::kRefuseOwnerTables;
    op.bytes = refuse ? 1 : 0;
    ASSERT_EQ(testtdi::SendOp(network_, op).status, 0);
  }
  void Show() { host.ClickTab(tab_); }
  void Refresh() {
    SendMessageW(host.Main(), WM_TIMER, 1, 0);
    PumpMessages(host.Main());
  }
  int Rows() const { return int(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0)); }
  // The first row of the protocol whose local end has the port, -1 for none.
  int RowOf(const wchar_t* protocol, const std::wstring& port) const {
    for (int item = 0; item < Rows(); ++item) {
      std::wstring local = Cell(item, 3);
      if (Cell(item, 2) == protocol && local.size() > port.size() &&
          local.compare(local.size() - port.size() - 1, std::wstring::npos, L":" + port) == 0)
        return item;
    }
    return -1;
  }
  std::wstring Cell(int item, int column) const { return ListCellText(list_, item, column); }
  std::vector<std::wstring> Column(int column) const { return ListColumnTexts(list_, column); }
  void ClickColumn(int column) {
    NMLISTVIEW click = {};
    click.hdr = {list_, 1001, UINT(LVN_COLUMNCLICK)};
    click.iItem = -1;
    click.iSubItem = column;
    SendMessageW(page_, WM_NOTIFY, 1001, reinterpret_cast<LPARAM>(&click));
  }
  // The states of the context menu's two commands for an item, read while
  // the menu is open; `whileOpen` runs then on the answering thread.
  std::pair<UINT, UINT> MenuStates(int item, const std::function<void()>& whileOpen = {},
                                   const std::vector<WPARAM>& keys = {VK_ESCAPE}) {
    SendMessageW(list_, LVM_ENSUREVISIBLE, item, FALSE);
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list_, LVM_SETITEMSTATE, item, reinterpret_cast<LPARAM>(&state));
    std::pair<UINT, UINT> states{~0u, ~0u};
    int unanswered = RunAnswering(
        [&] { SendMessageW(page_, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(list_), MAKELPARAM(100, 100)); },
        [&](HWND window) {
          wchar_t name[16] = {};
          GetClassNameW(window, name, 16);
          if (wcscmp(name, L"#32768") != 0) return false;
          HMENU popup = reinterpret_cast<HMENU>(SendMessageW(window, MN_GETHMENU, 0, 0));
          states = {GetMenuState(popup, 40007, MF_BYCOMMAND), GetMenuState(popup, 40006, MF_BYCOMMAND)};
          if (whileOpen) whileOpen();
          for (WPARAM key : keys) PostMessageW(window, WM_KEYDOWN, key, 0);
          return true;
        });
    EXPECT_EQ(unanswered, 0);
    return states;
  }

  TaskManagerHost host;
  HANDLE network_ = INVALID_HANDLE_VALUE;
  int tab_ = -1;
  HWND page_ = nullptr;
  HWND list_ = nullptr;
};

// Counts the cell writes, inserts, deletions and sorts the list receives.
struct ListWrites {
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == LVM_SETITEMW || message == LVM_SETITEMTEXTW) ++cells;
    if (message == LVM_INSERTITEMW) ++inserts;
    if (message == LVM_DELETEITEM) ++deletes;
    if (message == LVM_SORTITEMS) ++sorts;
    return CallWindowProcW(previous, window, message, wParam, lParam);
  }
  explicit ListWrites(HWND list) : list_(list) {
    cells = inserts = deletes = sorts = 0;
    previous = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ListWrites::Procedure)));
  }
  ~ListWrites() { SetWindowLongPtrW(list_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous)); }
  HWND list_;
  static inline WNDPROC previous = nullptr;
  static inline int cells = 0, inserts = 0, deletes = 0, sorts = 0;
};

TEST_F(ConnectionsPageTest, TableRowsShowOwnerNamesAndTableStatesWithoutTrafficColumns) {
  DWORD self = GetCurrentProcessId();
  SetTables({{5, kLocal, Port(80), kRemote, Port(40000), self},
             {2, 0, 0, kRemote, Port(9), self},  // a listener's remote end is never shown
             {13, kLocal, Port(40001), kRemote, Port(80), self}},
            {{0, Port(53), 4}});
  Show();
  ASSERT_EQ(Rows(), 4);
  // Sorted by process id: System's UDP endpoint first.
  EXPECT_EQ(Column(0),
            (std::vector<std::wstring>{L"System", L"taskmgr.exe", L"taskmgr.exe", L"taskmgr.exe"}));
  EXPECT_EQ(Cell(0, 1), L"4");
  EXPECT_EQ(Cell(0, 2), L"UDP");
  EXPECT_EQ(Cell(0, 3), L"*:domain");
  EXPECT_EQ(Cell(0, 4), L"*:*");
  EXPECT_EQ(Cell(0, 9), L"");
  EXPECT_EQ(Cell(1, 1), std::to_wstring(self));
  EXPECT_EQ(Cell(1, 2), L"TCP");
  EXPECT_EQ(Cell(1, 3), L"192.0.2.1:http");
  EXPECT_EQ(Cell(1, 4), L"198.51.100.7:40000");
  EXPECT_EQ(Cell(1, 9), L"Established");
  EXPECT_EQ(Cell(2, 3), L"*:*");
  EXPECT_EQ(Cell(2, 4), L"*:*");
  EXPECT_EQ(Cell(2, 9), L"Listen");
  EXPECT_EQ(Cell(3, 9), L"13");
  EXPECT_EQ(ColumnWidths(list_, 10), HeaderFittedWidths(list_, {100, 40, 50, 120, 120, 0, 0, 0, 0, 80}));
  for (int column = 5; column < 9; ++column) EXPECT_EQ(Cell(1, column), L"") << column;

  // Close Connection only for an established connection; Go To Process for
  // processes above 16 (the Windows XP build).
  bool xp = XpBuild();
  auto [closeSystem, goToSystem] = MenuStates(0);
  EXPECT_TRUE(closeSystem & MF_GRAYED);
  EXPECT_TRUE(goToSystem & MF_GRAYED);
  auto [closeEstablished, goToEstablished] = MenuStates(1);
  EXPECT_FALSE(closeEstablished & MF_GRAYED);
  EXPECT_EQ((goToEstablished & MF_GRAYED) == 0, xp);
  auto [closeListener, goToListener] = MenuStates(2);
  EXPECT_TRUE(closeListener & MF_GRAYED);
}

// The list's tooltip (Windows XP build) for the row under the cursor: the
// ends by number, the remote end only where there is one, then the image.
TEST_F(ConnectionsPageTest, TheTipDescribesTheEndpointUnderTheCursor) {
  DWORD self = GetCurrentProcessId();
  SetTables({{5, kLocal, Port(80), kRemote, Port(40000), self}, {2, 0, 0, 0, 0, 0x7FFFFFF0}}, {});
  Show();
  ASSERT_EQ(Rows(), 2);
  auto tipAt = [&](int item) -> std::wstring {
    RECT bounds = {LVIR_BOUNDS, 0, 0, 0};
    SendMessageW(list_, LVM_GETITEMRECT, item, reinterpret_cast<LPARAM>(&bounds));
    POINT point = {bounds.left + 5, (bounds.top + bounds.bottom) / 2};
    ClientToScreen(list_, &point);
    SetCursorPos(point.x, point.y);
    NMTTDISPINFOW info = {};
    info.hdr.hwndFrom = reinterpret_cast<HWND>(SendMessageW(list_, LVM_GETTOOLTIPS, 0, 0));
    info.hdr.code = UINT(TTN_GETDISPINFOW);
    SendMessageW(list_, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&info));
    return info.lpszText && !IS_INTRESOURCE(info.lpszText) ? info.lpszText : L"";
  };
  if (!XpBuild()) {
    EXPECT_EQ(tipAt(0), L"") << "the Windows 2000 build has no tip";
    return;
  }
  std::wstring established = tipAt(0);
  std::wstring head = L"tcp://192.0.2.1:80 - 198.51.100.7:40000\r\n";
  EXPECT_EQ(established.substr(0, head.size()), head);
  EXPECT_EQ(CharLowerW(&established[0]) + established.size() - wcslen(L"taskmgr.exe"),
            std::wstring(L"taskmgr.exe"));
  // No process behind the listener's id: the ends alone.
  EXPECT_EQ(tipAt(1), L"tcp://*:0");
}

// Close Connection hands SetTcpEntry the row's ends with state 12; Go To
// Process (Windows XP build) shows the Processes page with the process's
// row selected.
TEST_F(ConnectionsPageTest, TheMenuClosesTheConnectionAndGoesToTheProcess) {
  Detour setEntry(L"iphlpapi.dll", "SetTcpEntry", reinterpret_cast<const void*>(&StandInSetTcpEntry));
  ASSERT_TRUE(setEntry.Active());
  DWORD self = GetCurrentProcessId();
  SetTables({{5, kLocal, Port(80), kRemote, Port(40000), self}}, {});
  Show();
  ASSERT_EQ(Rows(), 1);
  gClosedRows.clear();
  MenuStates(0, {}, {VK_DOWN, VK_RETURN});
  ASSERT_EQ(gClosedRows.size(), 1u);
  EXPECT_EQ(gClosedRows[0].dwState, 12u);
  EXPECT_EQ(gClosedRows[0].dwLocalAddr, kLocal);
  EXPECT_EQ(gClosedRows[0].dwLocalPort, Port(80));
  EXPECT_EQ(gClosedRows[0].dwRemoteAddr, kRemote);
  EXPECT_EQ(gClosedRows[0].dwRemotePort, Port(40000));

  if (!XpBuild()) return;
  ASSERT_TRUE(host.RefreshUntil([&] { return host.RowOfProcess(self) != -1; }));
  MenuStates(0, {}, {VK_UP, VK_RETURN});
  PumpMessages(host.Main());
  EXPECT_FALSE(IsWindowVisible(page_));
  EXPECT_TRUE(IsWindowVisible(host.ProcessesPage()));
  EXPECT_EQ(SendMessageW(host.Tabs(), TCM_GETCURSEL, 0, 0), 1);
  int row = host.RowOfProcess(self);
  EXPECT_EQ(SendMessageW(host.ProcessList(), LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED), row);
  EXPECT_EQ(GetFocus(), host.ProcessList());
  // The timer now refreshes Task Manager's page, not ours.
  SetTables({}, {});
  Refresh();
  EXPECT_EQ(Rows(), 1);
}

// Task Manager closed from outside while the context menu is open: the
// menu's loop dispatches the WM_CLOSE, so the page returns from it after the
// shutdown has released its rows, and under the guarded heap a touch of them
// (or of anything else the shutdown freed) ends the process.
class ConnectionsPageClosing : public ConnectionsPageTest {
 protected:
  void SetUp() override {
    host.GuardHeap();
    ConnectionsPageTest::SetUp();
  }
};

TEST_F(ConnectionsPageClosing, InsideTheContextMenu) {
  SetTables({{5, kLocal, Port(80), kRemote, Port(40000), GetCurrentProcessId()}}, {});
  Show();
  ASSERT_EQ(Rows(), 1);
  MenuStates(0, [&] { host.PostClose(); });
  EXPECT_FALSE(IsWindow(host.Main()));
  EXPECT_EQ(host.ExitCode(), 0);
}

TEST_F(ConnectionsPageTest, AllOf1024TcpRowsAreShownNotA1025thAndNoUdpGivesTcpRowsOnly) {
  std::vector<TcpRow> rows;
  for (uint32_t i = 0; i < 1025; ++i)
    rows.push_back({5, kLocal, Port(uint16_t(1000 + i)), kRemote, Port(80), 4});
  SetTables(rows, {});
  Show();
  ASSERT_EQ(Rows(), 1024);
  for (const std::wstring& protocol : Column(2)) ASSERT_EQ(protocol, L"TCP");
  // The 1025th row (local port 2024) is not there.
  for (const std::wstring& local : Column(3)) ASSERT_NE(local, L"192.0.2.1:2024");
}

TEST_F(ConnectionsPageTest, ARefreshRewritesOnlyWhatChangedAndNothingWhileTheMenuIsOpen) {
  SetTables({{5, kLocal, Port(1111), kRemote, Port(80), 4}, {5, kLocal, Port(2222), kRemote, Port(80), 4}},
            {});
  Show();
  ASSERT_EQ(Rows(), 2);
  {
    ListWrites writes(list_);
    Refresh();
    EXPECT_EQ(writes.cells, 0);
    EXPECT_EQ(writes.sorts, 0);
    EXPECT_EQ(writes.inserts + writes.deletes, 0);
    // A state change keeps the item and rewrites its State cell alone.
    SetTables({{5, kLocal, Port(1111), kRemote, Port(80), 4}, {8, kLocal, Port(2222), kRemote, Port(80), 4}},
              {});
    Refresh();
    EXPECT_EQ(writes.cells, 1);
    EXPECT_EQ(writes.sorts, 0);
    EXPECT_EQ(writes.inserts + writes.deletes, 0);
  }
  ASSERT_EQ(Rows(), 2);
  EXPECT_EQ(Cell(1, 9), L"Close wait");
  // After a sort that reverses the items, each change lands in its own row's
  // item.
  ClickColumn(3);
  ClickColumn(3);
  ASSERT_EQ(Cell(0, 3), L"192.0.2.1:2222");
  SetTables({{8, kLocal, Port(1111), kRemote, Port(80), 4}, {5, kLocal, Port(2222), kRemote, Port(80), 4}},
            {});
  Refresh();
  EXPECT_EQ(Column(9), (std::vector<std::wstring>{L"Established", L"Close wait"}));
  // While the menu is open the timer changes nothing.
  MenuStates(0, [&] {
    SetTables({}, {});
    SendMessageW(host.Main(), WM_TIMER, 1, 0);
    EXPECT_EQ(Rows(), 2);
  });
  EXPECT_EQ(Rows(), 2);
  // A closed endpoint's row goes at the next refresh.
  Refresh();
  EXPECT_EQ(Rows(), 0);
}

TEST_F(ConnectionsPageTest, EveryColumnSortsBothWays) {
  DWORD self = GetCurrentProcessId();
  SetTables(
      {{5, kLocal, Port(80), kRemote, Port(2000), 4}, {11, kRemote, Port(3000), kLocal, Port(21), self}},
      {{kLocal, Port(4000), self}});
  Show();
  ASSERT_EQ(Rows(), 3);
  for (int column = 0; column < 10; ++column) {
    ClickColumn(column);
    std::vector<std::wstring> ascending = Column(column);
    ClickColumn(column);
    std::vector<std::wstring> descending = Column(column);
    EXPECT_EQ(std::vector<std::wstring>(descending.rbegin(), descending.rend()), ascending) << column;
  }
  ClickColumn(1);
  EXPECT_EQ(Column(1), (std::vector<std::wstring>{L"4", std::to_wstring(self), std::to_wstring(self)}));
  ClickColumn(1);
  EXPECT_EQ(Cell(2, 1), L"4");
  // Local Address by text: "192.0.2.1:4000" (numeric, but compared as text
  // against the named port) before "192.0.2.1:http" before "198.51.100.7:3000".
  ClickColumn(3);
  EXPECT_EQ(Column(3),
            (std::vector<std::wstring>{L"192.0.2.1:4000", L"192.0.2.1:http", L"198.51.100.7:3000"}));
}

// Rows of distinct process ids that no process has, so that the list's order
// (by process id) is row i's place among them.
std::vector<TcpRow> RowsNumbered(std::initializer_list<std::pair<uint32_t, uint32_t>> ranges) {
  std::vector<TcpRow> rows;
  for (auto [from, to] : ranges)
    for (uint32_t i = from; i < to; ++i)
      rows.push_back({5, kLocal, Port(uint16_t(1000 + i)), kRemote, Port(80), 0x7FFF0000 + 4 * i});
  return rows;
}

// With more rows than the list shows, a refresh keeps the focused row, or the
// top row when none is focused, where it was on the screen, both when rows
// arrive above it and when rows above it go.
TEST_F(ConnectionsPageTest, TheFocusedOrTopRowKeepsItsPlaceWhenRowsAboveComeAndGo) {
  SetTables(RowsNumbered({{10, 110}}), {});
  Show();
  ASSERT_EQ(Rows(), 100);
  int perPage = int(SendMessageW(list_, LVM_GETCOUNTPERPAGE, 0, 0));
  ASSERT_GT(perPage, 5);
  ASSERT_LT(perPage, 40);
  auto top = [&] { return int(SendMessageW(list_, LVM_GETTOPINDEX, 0, 0)); };
  // Screen position of row i, by its process id cell.
  auto place = [&](uint32_t i) {
    std::vector<std::wstring> ids = Column(1);
    auto found = std::find(ids.begin(), ids.end(), std::to_wstring(0x7FFF0000 + 4 * i));
    POINT position = {-1, -1};
    if (found != ids.end())
      SendMessageW(list_, LVM_GETITEMPOSITION, found - ids.begin(), reinterpret_cast<LPARAM>(&position));
    return position.y;
  };
  SendMessageW(list_, LVM_ENSUREVISIBLE, 99, FALSE);
  SendMessageW(list_, LVM_ENSUREVISIBLE, 50, FALSE);
  ASSERT_EQ(top(), 50);
  LVITEMW focus = {};
  focus.stateMask = LVIS_FOCUSED;
  focus.state = LVIS_FOCUSED;
  SendMessageW(list_, LVM_SETITEMSTATE, 53, reinterpret_cast<LPARAM>(&focus));
  int focused = place(63);
  SetTables(RowsNumbered({{0, 5}, {10, 110}}), {});
  Refresh();
  ASSERT_EQ(Rows(), 105);
  EXPECT_EQ(place(63), focused) << "rows arrived above the focused row";
  SetTables(RowsNumbered({{30, 110}}), {});
  Refresh();
  ASSERT_EQ(Rows(), 80);
  EXPECT_EQ(place(63), focused) << "rows above the focused row went";

  // The focused row goes while rows arrive above: the top row holds instead.
  uint32_t first = 30 + uint32_t(top());
  int topPlace = place(first);
  SetTables(RowsNumbered({{0, 5}, {30, 63}, {64, 110}}), {});
  Refresh();
  EXPECT_EQ(place(first), topPlace) << "the focused row went and rows arrived above the top row";
  focus.state = 0;
  SendMessageW(list_, LVM_SETITEMSTATE, WPARAM(-1), reinterpret_cast<LPARAM>(&focus));
  ASSERT_EQ(SendMessageW(list_, LVM_GETNEXTITEM, WPARAM(-1), LVNI_FOCUSED), -1);
  SetTables(RowsNumbered({{40, 63}, {64, 110}}), {});
  Refresh();
  EXPECT_EQ(place(first), topPlace) << "rows above the top row went";
}

// The Windows XP build paints a row in the integrity colour of its process
// (this program's image is unsigned), a row of process id 0 in none; the
// Windows 2000 build colours nothing.
TEST_F(ConnectionsPageTest, RowsTakeTheIntegrityColourOfTheirProcessButProcessZeroNone) {
  DWORD self = GetCurrentProcessId();
  SetTables({{2, 0, 0, 0, 0, 0}, {5, kLocal, Port(40000), kRemote, Port(80), self}}, {});
  Show();
  ASSERT_EQ(Rows(), 2);
  bool xp = XpBuild();
  NMLVCUSTOMDRAW prepaint = {};
  prepaint.nmcd.hdr = {list_, 1001, UINT(NM_CUSTOMDRAW)};
  prepaint.nmcd.dwDrawStage = CDDS_PREPAINT;
  EXPECT_EQ(SendMessageW(page_, WM_NOTIFY, 1001, reinterpret_cast<LPARAM>(&prepaint)),
            xp ? CDRF_NOTIFYITEMDRAW : CDRF_DODEFAULT);
  // An item's stage gives its own answer, whatever result another message
  // left in the dialog.
  NMLVCUSTOMDRAW itemPrepaint = prepaint;
  itemPrepaint.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
  SetWindowLongPtrW(page_, DWLP_MSGRESULT, 0x1234);
  EXPECT_EQ(SendMessageW(page_, WM_NOTIFY, 1001, reinterpret_cast<LPARAM>(&itemPrepaint)),
            xp ? CDRF_NOTIFYITEMDRAW : CDRF_DODEFAULT);
  COLORREF own = CLR_DEFAULT;
  for (DWORD start = GetTickCount(); GetTickCount() - start < (xp ? 20000u : 2000u) && own == CLR_DEFAULT;
       Sleep(50)) {
    PumpMessages(host.Main());
    own = ItemBackground(page_, list_, 1);
  }
  EXPECT_EQ(own, xp ? COLORREF(0xE0E0FF) : CLR_DEFAULT);
  // The check counts process 0 as valid from the start: the row stays plain
  // by the page's own rule alone.
  EXPECT_EQ(ItemBackground(page_, list_, 0), CLR_DEFAULT);
}

// A TCP listener and a bound UDP socket of this program on the loopback
// address: Wine's sockets are the machine's, so the system's own tables list
// them. Their ports have no service name, so the cells show the numbers.
class OwnSockets {
 public:
  OwnSockets() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    tcp_ = Bound(SOCK_STREAM, "tcp", tcpPort_);
    if (tcp_ != INVALID_SOCKET) listen(tcp_, 1);
    udp_ = Bound(SOCK_DGRAM, "udp", udpPort_);
  }
  ~OwnSockets() {
    CloseListener();
    if (udp_ != INVALID_SOCKET) closesocket(udp_);
    WSACleanup();
  }
  OwnSockets(const OwnSockets&) = delete;
  OwnSockets& operator=(const OwnSockets&) = delete;
  bool Open() const { return tcp_ != INVALID_SOCKET && udp_ != INVALID_SOCKET; }
  void CloseListener() {
    if (tcp_ != INVALID_SOCKET) closesocket(tcp_);
    tcp_ = INVALID_SOCKET;
  }
  std::wstring TcpPort() const { return std::to_wstring(tcpPort_); }
  std::wstring UdpPort() const { return std::to_wstring(udpPort_); }
  // The owners the system's own tables give these sockets. Wine may know
  // none (0): the page can only show what the system reports.
  DWORD SystemTcpOwner() const { return SystemOwner(true, tcpPort_); }
  DWORD SystemUdpOwner() const { return SystemOwner(false, udpPort_); }

 private:
  static DWORD SystemOwner(bool tcp, unsigned port) {
    std::vector<BYTE> table(64 * 1024);
    DWORD size = DWORD(table.size());
    DWORD status = tcp ? GetExtendedTcpTable(table.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0)
                       : GetExtendedUdpTable(table.data(), &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
    if (status != NO_ERROR) return 0;
    return tcp ? OwnerOf(reinterpret_cast<MIB_TCPTABLE_OWNER_PID*>(table.data()), port)
               : OwnerOf(reinterpret_cast<MIB_UDPTABLE_OWNER_PID*>(table.data()), port);
  }
  template <typename Table>
  static DWORD OwnerOf(const Table* rows, unsigned port) {
    for (DWORD i = 0; i < rows->dwNumEntries; ++i)
      if (ntohs(u_short(rows->table[i].dwLocalPort)) == port) return rows->table[i].dwOwningPid;
    return 0;
  }
  static SOCKET Bound(int type, const char* protocol, unsigned& port) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      SOCKET socket = ::socket(AF_INET, type, 0);
      sockaddr_in address = {};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      int length = sizeof address;
      if (bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
          getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
          !getservbyport(address.sin_port, protocol)) {
        port = ntohs(address.sin_port);
        return socket;
      }
      closesocket(socket);
    }
    return INVALID_SOCKET;
  }
  SOCKET tcp_ = INVALID_SOCKET, udp_ = INVALID_SOCKET;
  unsigned tcpPort_ = 0, udpPort_ = 0;
};

// Plain Wine has no \\.\Tcp: the extension's open of it fails as there.
decltype(&CreateFileW) gRealCreateFile = nullptr;
HANDLE WINAPI NoTransportDevice(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE model) {
  if (name && lstrcmpiW(name, L"\\\\.\\Tcp") == 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return gRealCreateFile(name, access, share, security, disposition, flags, model);
}

// Where \\.\Tcp cannot be opened or refuses the tables with owners, the
// rows come from iphlpapi: this program's listener and UDP socket with its
// process id where the tables have owners (the Windows XP build; Windows
// 2000's have none: id 0 and no process), never the transport's rows, and
// the listener goes once it is closed.
TEST_F(ConnectionsPageTest, WhereTheTransportGivesNoTablesTheSystemsOwnAreShown) {
  bool xp = XpBuild();
  SetTables({{5, kLocal, Port(80), kRemote, Port(40000), GetCurrentProcessId()}},
            {{kLocal, Port(53), GetCurrentProcessId()}});
  for (bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "the tables with owners refused" : "\\\\.\\Tcp not opened");
    if (refused) {
      RefuseOwnerTables(true);
    } else {
      gRealCreateFile = reinterpret_cast<decltype(&CreateFileW)>(ReplaceImport(
          host.Extension(), "KERNEL32.dll", "CreateFileW", reinterpret_cast<void*>(&NoTransportDevice)));
      ASSERT_TRUE(gRealCreateFile != nullptr);
    }
    OwnSockets sockets;
    ASSERT_TRUE(sockets.Open());
    Show();
    Refresh();
    int tcp = RowOf(L"TCP", sockets.TcpPort()), udp = RowOf(L"UDP", sockets.UdpPort());
    ASSERT_NE(tcp, -1);
    ASSERT_NE(udp, -1);
    // The Windows XP build shows the owners the system's tables give (this
    // program, as Task Manager, where the system knows it).
    for (auto [row, owner] :
         {std::pair(tcp, sockets.SystemTcpOwner()), std::pair(udp, sockets.SystemUdpOwner())}) {
      EXPECT_EQ(Cell(row, 1), xp ? std::to_wstring(owner) : L"0");
      if (!xp || owner == GetCurrentProcessId()) {
        EXPECT_EQ(Cell(row, 0), xp ? L"taskmgr.exe" : L"");
      }
    }
    EXPECT_EQ(Cell(tcp, 9), L"Listen");
    EXPECT_EQ(RowOf(L"TCP", L"http"), -1) << "the transport's row";
    sockets.CloseListener();
    Refresh();
    EXPECT_EQ(RowOf(L"TCP", sockets.TcpPort()), -1);
    EXPECT_NE(RowOf(L"UDP", sockets.UdpPort()), -1);
    if (refused) {
      RefuseOwnerTables(false);
    } else {
      ReplaceImport(host.Extension(), "KERNEL32.dll", "CreateFileW",
                    reinterpret_cast<void*>(gRealCreateFile));
    }
  }
  // The transport answers again: its rows are back.
  Refresh();
  EXPECT_NE(RowOf(L"TCP", L"http"), -1);
}

// Windows XP before SP2 has no GetExtendedTcpTable/GetExtendedUdpTable: TCP
// comes from XP's own table with owners, and UDP, where that one is missing
// too (Wine has no AllocateAndGetUdpExTableFromStack), from the table
// without owners.
decltype(&GetProcAddress) gRealGetProcAddress = nullptr;
FARPROC WINAPI WithoutExtendedTables(HMODULE module, LPCSTR name) {
  if (HIWORD(name) && (strcmp(name, "GetExtendedTcpTable") == 0 || strcmp(name, "GetExtendedUdpTable") == 0))
    return nullptr;
  return gRealGetProcAddress(module, name);
}

TEST_F(ConnectionsPageTest, WithoutTheExtendedTablesEachTableFallsToTheNextKind) {
  if (!XpBuild()) GTEST_SKIP() << "the Windows 2000 build has only the tables without owners";
  // Bound at the first refresh that needs them: from here on without these.
  gRealGetProcAddress = reinterpret_cast<decltype(&GetProcAddress)>(ReplaceImport(
      host.Extension(), "KERNEL32.dll", "GetProcAddress", reinterpret_cast<void*>(&WithoutExtendedTables)));
  ASSERT_TRUE(gRealGetProcAddress != nullptr);
  RefuseOwnerTables(true);
  OwnSockets sockets;
  ASSERT_TRUE(sockets.Open());
  Show();
  int tcp = RowOf(L"TCP", sockets.TcpPort()), udp = RowOf(L"UDP", sockets.UdpPort());
  ASSERT_NE(tcp, -1);
  ASSERT_NE(udp, -1);
  // XP's own table gives the owner as the extended one would.
  EXPECT_EQ(Cell(tcp, 1), std::to_wstring(sockets.SystemTcpOwner()));
  EXPECT_EQ(Cell(udp, 1), L"0");
  EXPECT_EQ(Cell(udp, 0), L"");
  ReplaceImport(host.Extension(), "KERNEL32.dll", "GetProcAddress",
                reinterpret_cast<void*>(gRealGetProcAddress));
}

// The page in Russian (the resources follow the thread's locale): headers
// that the design's widths would cut get their own widths, the rest keep the
// design's, and the hidden traffic columns stay hidden.
class RussianPage : public ConnectionsPageTest {
 protected:
  void SetUp() override {
    SetThreadLocale(MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT));
    ConnectionsPageTest::SetUp();
  }
};

TEST_F(RussianPage, ColumnsAreAsWideAsTheirHeadersWhereTheDesignWouldCutThem) {
  ASSERT_EQ(ListColumnTitle(list_, 2), L"Протокол") << "the Russian strings";
  std::vector<int> widths = ColumnWidths(list_, 10);
  EXPECT_EQ(widths, HeaderFittedWidths(list_, {100, 40, 50, 120, 120, 0, 0, 0, 0, 80}));
  EXPECT_GT(widths[2], 50);
}

// The page's lookups go to the stand-in from the page's creation on.
class HostNames : public ConnectionsPageTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lookups_.Active());
    gLookups.clear();
    ConnectionsPageTest::SetUp();
  }
  // After the fixture's own TearDown: the page is gone by then.
  Detour lookups_{L"ws2_32.dll", "WSAAsyncGetHostByAddr", reinterpret_cast<const void*>(&StandInHostByAddr)};
};

// Each address is asked for once; one reply names the cells of every row
// with its address, without a resort; a failed lookup leaves the number and
// is not asked again when the address comes back in a new row.
TEST_F(HostNames, OneReplyNamesEveryRowOfItsAddressAndAFailedLookupIsNotRetried) {
  constexpr uint32_t kOther = Ip(203, 0, 113, 9);
  std::vector<TcpRow> rows = {{5, kLocal, Port(40000), kRemote, Port(40001), 4},
                              {5, kLocal, Port(40002), kRemote, Port(40003), 8},
                              {5, kRemote, Port(40004), kOther, Port(40005), 12},
                              {5, kLocal, Port(40006), kOther, Port(40007), 16}};
  SetTables(rows, {});
  Show();
  ASSERT_EQ(Rows(), 4);
  // Loopback was asked for when the page was made.
  std::vector<uint32_t> asked;
  for (const HostLookup& lookup : gLookups) asked.push_back(lookup.address);
  EXPECT_EQ(asked, (std::vector<uint32_t>{Ip(127, 0, 0, 1), kLocal, kRemote, kOther}));
  ASSERT_TRUE(LookupOf(kLocal) && LookupOf(kRemote));
  EXPECT_EQ(LookupOf(kRemote)->message, UINT(WM_USER + 13));
  EXPECT_EQ(LookupOf(kRemote)->window, page_);
  {
    ListWrites writes(list_);
    AnswerLookup(*LookupOf(kRemote), "far.example");
    PumpMessages(host.Main());
    EXPECT_EQ(writes.cells, 6) << "the two address cells of the three rows with the address";
    EXPECT_EQ(writes.sorts, 0);
    FailLookup(*LookupOf(kLocal));
    PumpMessages(host.Main());
    EXPECT_EQ(writes.cells, 6);
  }
  EXPECT_EQ(Column(3), (std::vector<std::wstring>{L"192.0.2.1:40000", L"192.0.2.1:40002",
                                                  L"far.example:40004", L"192.0.2.1:40006"}));
  EXPECT_EQ(Column(4), (std::vector<std::wstring>{L"far.example:40001", L"far.example:40003",
                                                  L"203.0.113.9:40005", L"203.0.113.9:40007"}));
  // A new row takes the name from the cache and asks for nothing.
  rows.push_back({5, kLocal, Port(40008), kRemote, Port(40009), 0});
  SetTables(rows, {});
  Refresh();
  ASSERT_EQ(Rows(), 5);
  EXPECT_EQ(Cell(0, 3), L"192.0.2.1:40008");
  EXPECT_EQ(Cell(0, 4), L"far.example:40009");
  EXPECT_EQ(gLookups.size(), 4u);
}

}  // namespace
