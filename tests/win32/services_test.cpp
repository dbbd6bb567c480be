// The Services page inside the substitute Task Manager, against Wine's real
// service control manager and the test services of test_service.exe: what
// the user sees in the list, its context menu, the "Wait..." window and the
// message boxes, and what reaches the manager.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>
#include <psapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "taskmgr_host.h"
#include "test_services.h"

namespace {

namespace ts = test_services;

// The Services tab comes right after Task Manager's own.
int ServicesTab() { return OwnTabCount(); }
// Context menu items by position, and their commands.
constexpr UINT kStart = 40002, kRestart = 40001, kStop = 40004, kPause = 40003, kContinue = 40005;
constexpr UINT kAutomatic = 40009, kManual = 40010, kDisabled = 40011, kGoToProcess = 40006;
constexpr int kStartupModePosition = 6;

bool IsClass(HWND window, const wchar_t* name) {
  wchar_t text[32] = {};
  GetClassNameW(window, text, 32);
  return wcscmp(text, name) == 0;
}

std::wstring Text(HWND window) {
  wchar_t text[1024] = {};
  GetWindowTextW(window, text, 1024);
  return text;
}

// The list's messages that change what it shows, counted by a subclass of
// the test's own.
struct WriteCounter {
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
      case LVM_SETITEMW:
      case LVM_SETITEMTEXTW:
      case LVM_INSERTITEMW:
      case LVM_DELETEITEM:
        ++writes;
        break;
      case LVM_SORTITEMS:
        ++sorts;
        break;
    }
    return CallWindowProcW(previous, window, message, wParam, lParam);
  }
  static inline WNDPROC previous = nullptr;
  static inline int writes = 0;
  static inline int sorts = 0;
};

// What a context menu offered.
struct MenuSeen {
  bool shown = false;
  std::map<UINT, bool> enabled;
  std::map<UINT, bool> checked;
};

// The texts of a message box: caption and message.
struct Box {
  std::wstring caption;
  std::wstring text;
};

BOOL CALLBACK LongestStatic(HWND child, LPARAM context) {
  auto* text = reinterpret_cast<std::wstring*>(context);
  if (IsClass(child, L"Static") && Text(child).size() > text->size()) *text = Text(child);
  return TRUE;
}

Box ReadBox(HWND window) {
  Box box{Text(window), L""};
  EnumChildWindows(window, &LongestStatic, reinterpret_cast<LPARAM>(&box.text));
  return box;
}

bool IsWaitWindow(HWND window) { return IsClass(window, L"#32770") && GetDlgItem(window, 1002); }

// Whether the window's centre lies on the owner's, to the pixel.
bool CentredOver(HWND window, HWND owner) {
  RECT outer, inner;
  GetWindowRect(owner, &outer);
  GetWindowRect(window, &inner);
  int dx = (inner.left + inner.right) / 2 - (outer.left + outer.right) / 2;
  int dy = (inner.top + inner.bottom) / 2 - (outer.top + outer.bottom) / 2;
  return std::abs(dx) <= 1 && std::abs(dy) <= 1;
}

// Answers the windows a command opens: records every "Wait..." window's text
// (and whether it sat centred over the main window), answers message boxes
// with `button` and records them.
struct Answerer {
  HWND main = nullptr;
  UINT button = IDOK;
  bool cancelWait = false;
  // A key pressed in the "Wait..." window instead (on its focused button).
  WPARAM cancelKey = 0;
  std::vector<std::wstring> waits;
  std::set<HWND> seenWaits;
  std::vector<Box> boxes;
  bool centred = true;
  bool mainDisabled = true;

  std::function<bool(HWND)> operator()() {
    return [this](HWND window) {
      if (IsWaitWindow(window)) {
        // Counted once, also across answering runs, and once its text is set.
        std::wstring text = Text(GetDlgItem(window, 1001));
        if (text.empty()) return false;
        if (!seenWaits.insert(window).second) return true;
        waits.push_back(text);
        if (!CentredOver(window, main)) centred = false;
        if (IsWindowEnabled(main)) mainDisabled = false;
        if (cancelWait) PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
        if (cancelKey) PostMessageW(GetDlgItem(window, IDCANCEL), WM_KEYDOWN, cancelKey, 0);
        return true;
      }
      if (IsClass(window, L"#32770") && GetDlgItem(window, button)) {
        boxes.push_back(ReadBox(window));
        PostMessageW(window, WM_COMMAND, button, 0);
        return true;
      }
      return false;
    };
  }
};

class ServicesPage : public testing::Test {
 protected:
  void SetUp() override {
    ts::Reset();
    host.Start();
    host.ClickTab(ServicesTab());
    list = FindServicesList();
    ASSERT_TRUE(list != nullptr);
    page = GetParent(list);
  }
  // The next test's SetUp stops what this one left running.
  void TearDown() override { host.Stop(); }

  HWND FindServicesList() const {
    for (HWND child = GetWindow(host.Main(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      HWND candidate = GetDlgItem(child, 1001);
      if (candidate && IsClass(candidate, L"SysListView32") &&
          ListColumnTitle(candidate, 0) == L"Service Name")
        return candidate;
    }
    return nullptr;
  }

  // One tick of Task Manager's refresh timer.
  void Refresh() {
    SendMessageW(host.Main(), WM_TIMER, 1, 0);
    PumpMessages(host.Main());
  }
  bool RefreshUntil(const std::function<bool()>& done) {
    DWORD start = GetTickCount();
    for (;;) {
      Refresh();
      if (done()) return true;
      if (GetTickCount() - start > kStateWaitMs) return false;
      Sleep(40);
    }
  }
  int Rows() const { return int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); }
  std::wstring Cell(int row, int column) const { return ListCellText(list, row, column); }
  std::vector<std::wstring> Column(int column) const { return ListColumnTexts(list, column); }
  int Row(const std::wstring& displayName) const {
    for (int row = 0; row < Rows(); ++row)
      if (Cell(row, 0) == displayName) return row;
    return -1;
  }
  std::wstring StatusOf(const std::wstring& displayName) const {
    int row = Row(displayName);
    return row < 0 ? L"<no row>" : Cell(row, 1);
  }
  void CountWrites() {
    WriteCounter::writes = WriteCounter::sorts = 0;
    WriteCounter::previous = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WriteCounter::Procedure)));
  }
  void StopCounting() {
    SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WriteCounter::previous));
  }
  void ClickColumn(int column) {
    NMLISTVIEW click = {};
    click.hdr = {list, 1001, UINT(LVN_COLUMNCLICK)};
    click.iItem = -1;
    click.iSubItem = column;
    SendMessageW(page, WM_NOTIFY, 1001, reinterpret_cast<LPARAM>(&click));
  }

  // Right-clicks the service's row, reads the menu's items, runs `whileOpen`
  // and chooses the command (none: the menu is closed). `answer` deals with
  // the windows the command opens.
  MenuSeen ContextMenu(const std::wstring& displayName, UINT command = 0,
                       const std::function<bool(HWND)>& answer = nullptr,
                       const std::function<void()>& whileOpen = nullptr) {
    MenuSeen seen;
    int row = Row(displayName);
    EXPECT_GE(row, 0) << "no row for the service";
    if (row < 0) return seen;
    SelectListItem(row);
    RECT bounds = {LVIR_BOUNDS, 0, 0, 0};
    SendMessageW(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&bounds));
    POINT point = {bounds.left + 10, bounds.top + 3};
    ClientToScreen(list, &point);
    bool submenuOpened = false;
    int unanswered = RunAnswering(
        [&] {
          SendMessageW(page, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(list), MAKELPARAM(point.x, point.y));
          PumpMessages(host.Main());
        },
        [&](HWND window) {
          if (IsClass(window, L"#32768")) {
            HMENU popup = reinterpret_cast<HMENU>(SendMessageW(window, MN_GETHMENU, 0, 0));
            if (!popup) return false;
            if (GetMenuItemID(popup, 0) == kStart) {
              seen.shown = true;
              for (UINT id : {kStart, kRestart, kStop, kPause, kContinue, kAutomatic, kManual, kDisabled,
                              kGoToProcess}) {
                UINT state = GetMenuState(popup, id, MF_BYCOMMAND);
                seen.enabled[id] = !(state & (MF_GRAYED | MF_DISABLED));
                seen.checked[id] = state & MF_CHECKED;
              }
              if (whileOpen) whileOpen();
              bool inSubmenu = command == kAutomatic || command == kManual || command == kDisabled;
              if (!command) {
                PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
              } else if (inSubmenu) {
                ChooseItem(window, popup, kStartupModePosition, true);
                submenuOpened = true;
              } else {
                ChooseItem(window, popup, PositionOf(popup, command), false);
              }
              return true;
            }
            if (submenuOpened) {
              ChooseItem(window, popup, PositionOf(popup, command), false);
              return true;
            }
            return false;
          }
          return answer && answer(window);
        });
    EXPECT_EQ(unanswered, 0);
    PumpMessages(host.Main());
    return seen;
  }
  static int PositionOf(HMENU menu, UINT id) {
    for (int i = 0; i < GetMenuItemCount(menu); ++i)
      if (GetMenuItemID(menu, i) == id) return i;
    return -1;
  }
  // The position of the menu's highlighted item, -1 for none.
  static int Highlighted(HMENU menu) {
    for (int i = 0; i < GetMenuItemCount(menu); ++i)
      if (GetMenuState(menu, i, MF_BYPOSITION) & MF_HILITE) return i;
    return -1;
  }
  // Moves the menu's highlight to the item as the arrow keys do, each key
  // once the menu has taken the one before, then opens (submenu) or chooses
  // it.
  static void ChooseItem(HWND window, HMENU menu, int position, bool submenu) {
    for (int step = 0; step < 20 && Highlighted(menu) != position; ++step) {
      int before = Highlighted(menu);
      PostMessageW(window, WM_KEYDOWN, VK_DOWN, 0);
      if (!WaitFor([&] { return Highlighted(menu) != before; })) break;
    }
    PostMessageW(window, WM_KEYDOWN, submenu ? VK_RIGHT : VK_RETURN, 0);
  }
  void SelectListItem(int row) {
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
  }

  // Runs a menu command on the service and keeps the page refreshing (as
  // Task Manager's timer does) until the sequence it started is over.
  void RunCommand(const std::wstring& displayName, UINT command, Answerer& answerer) {
    answerer.main = host.Main();
    MenuSeen seen = ContextMenu(displayName, command, answerer());
    EXPECT_TRUE(seen.enabled[command]) << "command " << command << " offered";
  }
  // Pumps the page's poll timer and the refresh until `done` holds, while
  // the answerer deals with the windows that open.
  bool WaitWhileAnswering(Answerer& answerer, const std::function<bool()>& done) {
    bool reached = false;
    int unanswered = RunAnswering(
        [&] {
          DWORD start = GetTickCount();
          while (!(reached = done()) && GetTickCount() - start < kStateWaitMs) {
            Refresh();
            Sleep(30);
          }
        },
        answerer());
    EXPECT_EQ(unanswered, 0);
    return reached;
  }
  bool NoWaitWindow() const { return !FindWindowW(L"#32770", L"Wait..."); }

  TaskManagerHost host;
  HWND list = nullptr;
  HWND page = nullptr;
};

TEST_F(ServicesPage, RowsMatchTheManagersEnumeration) {
  Refresh();
  auto listed = ts::Enumerate();
  ASSERT_EQ(Rows(), int(listed.size()));
  auto names = Column(0);
  for (const auto& service : listed)
    EXPECT_NE(std::find(names.begin(), names.end(), service.displayName), names.end());
  EXPECT_EQ(StatusOf(ts::kBaseName), L"");
  ASSERT_TRUE(ts::Start(ts::kBase));
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_RUNNING));
  Refresh();
  EXPECT_EQ(StatusOf(ts::kBaseName), L"Running");
}

TEST_F(ServicesPage, APendingServiceShowsItsStateAndCheckpoint) {
  ts::Configure(ts::kSlow, ts::kHold, 300);
  ASSERT_TRUE(ts::Start(ts::kSlow));
  std::vector<std::wstring> seen;
  // The cell follows the checkpoint: it shows one the manager reported while
  // the refresh ran, however slowly the refresh runs.
  ASSERT_TRUE(RefreshUntil([&] {
    DWORD before = ts::Status(ts::kSlow).dwCheckPoint;
    Refresh();
    DWORD after = ts::Status(ts::kSlow).dwCheckPoint;
    std::wstring shown = StatusOf(ts::kSlowName);
    bool reported = false;
    for (DWORD checkpoint = before; checkpoint <= after && !reported; ++checkpoint)
      reported = shown == L"Starting (" + std::to_wstring(checkpoint) + L")";
    EXPECT_TRUE(reported) << "shown \"" << shown << "\", checkpoint " << before << " to " << after;
    if (seen.empty() || seen.back() != shown) seen.push_back(shown);
    return seen.size() >= 2;
  }));
  ts::Release(ts::kSlow);
  ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_RUNNING));
  Refresh();
  EXPECT_EQ(StatusOf(ts::kSlowName), L"Running");
  // Pause, continue and stop, each held pending, name their state.
  const struct {
    DWORD control, pending, settled;
    const wchar_t* verb;
  } held[] = {{SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_PENDING, SERVICE_PAUSED, L"Pausing"},
              {SERVICE_CONTROL_CONTINUE, SERVICE_CONTINUE_PENDING, SERVICE_RUNNING, L"Resuming"},
              {SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING, SERVICE_STOPPED, L"Stopping"}};
  for (const auto& step : held) {
    ASSERT_TRUE(ts::Control(ts::kSlow, step.control)) << step.verb;
    // The checkpoint shown is one reported up to now: a slow refresh may
    // have been overtaken by the next.
    EXPECT_TRUE(RefreshUntil([&] {
      SERVICE_STATUS_PROCESS status = ts::Status(ts::kSlow);
      std::wstring shown = StatusOf(ts::kSlowName), prefix = std::wstring(step.verb) + L" (";
      if (status.dwCurrentState != step.pending || shown.compare(0, prefix.size(), prefix) != 0) return false;
      for (DWORD checkpoint = 0; checkpoint <= status.dwCheckPoint; ++checkpoint)
        if (shown == prefix + std::to_wstring(checkpoint) + L")") return true;
      return false;
    })) << step.verb
        << ": " << StatusOf(ts::kSlowName);
    ts::Release(ts::kSlow);
    ASSERT_TRUE(ts::WaitForState(ts::kSlow, step.settled)) << step.verb;
  }
}

TEST_F(ServicesPage, RefreshesWithoutChangeWriteNothingAndDoNotSort) {
  Refresh();
  CountWrites();
  Refresh();
  Refresh();
  EXPECT_EQ(WriteCounter::writes, 0);
  EXPECT_EQ(WriteCounter::sorts, 0);
  // A change writes its row and sorts once.
  ASSERT_TRUE(ts::Start(ts::kBase));
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_RUNNING));
  Refresh();
  StopCounting();
  EXPECT_EQ(WriteCounter::writes, 2);
  EXPECT_EQ(WriteCounter::sorts, 1);
}

TEST_F(ServicesPage, ANewServiceIsAppendedAndSortedADeletedOneVanishesWithoutASort) {
  const wchar_t* key = L"VeskTestExtra";
  ts::Delete(key);
  Refresh();
  int before = Rows();
  ts::CreateExtra(key, L"Vesk Test Extra");
  CountWrites();
  Refresh();
  EXPECT_EQ(Rows(), before + 1);
  EXPECT_EQ(WriteCounter::sorts, 1);
  auto names = Column(0);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  ts::Delete(key);
  WriteCounter::sorts = 0;
  Refresh();
  StopCounting();
  EXPECT_EQ(Rows(), before);
  EXPECT_EQ(Row(L"Vesk Test Extra"), -1);
  EXPECT_EQ(WriteCounter::sorts, 0);
}

// Refuses LVM_DELETEITEM of the item with the given text, as a list may.
struct DeleteRefusal {
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == LVM_DELETEITEM && ListCellText(window, int(wParam), 0) == text) return FALSE;
    return CallWindowProcW(previous, window, message, wParam, lParam);
  }
  static inline WNDPROC previous = nullptr;
  static inline std::wstring text;
};

// A row whose item the list will not delete keeps its record and its place:
// the row after it still goes, and the kept one goes at the next refresh.
TEST_F(ServicesPage, ARowTheListWouldNotDeleteStaysUntilTheNextRefresh) {
  const wchar_t* keys[] = {L"VeskTestExtra1", L"VeskTestExtra2"};
  const wchar_t* names[] = {L"Vesk Test Extra 1", L"Vesk Test Extra 2"};
  for (int i = 0; i < 2; ++i) {
    ts::Delete(keys[i]);
    ts::CreateExtra(keys[i], names[i]);
  }
  Refresh();
  ASSERT_EQ(Row(names[1]), Row(names[0]) + 1);
  for (const wchar_t* key : keys) ts::Delete(key);
  DeleteRefusal::text = names[0];
  DeleteRefusal::previous = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DeleteRefusal::Procedure)));
  Refresh();
  SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(DeleteRefusal::previous));
  EXPECT_NE(Row(names[0]), -1);
  EXPECT_EQ(Row(names[1]), -1);
  Refresh();
  EXPECT_EQ(Row(names[0]), -1);
  EXPECT_EQ(Rows(), int(ts::Enumerate().size()));
}

// A service restarted between two ticks shows the same state in a new
// process: Go To Process leads there, not to the ended one.
TEST_F(ServicesPage, AServiceRestartedBetweenTwoTicksLeadsToItsNewProcess) {
  if (!XpBuild()) GTEST_SKIP() << "taskext_nt has no process ids";
  ASSERT_TRUE(ts::Start(ts::kBase));
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_RUNNING));
  DWORD first = ts::Status(ts::kBase).dwProcessId;
  Refresh();
  ASSERT_TRUE(ts::Control(ts::kBase, SERVICE_CONTROL_STOP));
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_STOPPED));
  ASSERT_TRUE(ts::Start(ts::kBase));
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_RUNNING));
  DWORD second = ts::Status(ts::kBase).dwProcessId;
  ASSERT_NE(second, first);
  Refresh();
  host.ClickTab(1);
  ASSERT_TRUE(host.RefreshUntil([&] { return host.RowOfProcess(second) >= 0; }));
  host.ClickTab(ServicesTab());
  Answerer answerer;
  RunCommand(ts::kBaseName, kGoToProcess, answerer);
  EXPECT_EQ(SendMessageW(host.ProcessList(), LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED),
            host.RowOfProcess(second));
}

TEST_F(ServicesPage, ColumnsSortBothWays) {
  ts::Start(ts::kBase);
  ts::Start(ts::kSlow);
  ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_RUNNING));
  ASSERT_TRUE(ts::Control(ts::kSlow, SERVICE_CONTROL_PAUSE));
  ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_PAUSED));
  Refresh();
  std::map<std::wstring, DWORD> states;
  for (const auto& service : ts::Enumerate()) states[service.displayName] = service.state;
  auto stateColumn = [&] {
    std::vector<DWORD> column;
    for (const auto& name : Column(0)) column.push_back(states[name]);
    return column;
  };
  // Code units: upper case before lower case.
  auto names = Column(0);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  ClickColumn(0);
  names = Column(0);
  EXPECT_TRUE(std::is_sorted(names.rbegin(), names.rend()));
  ClickColumn(1);
  auto byState = stateColumn();
  EXPECT_TRUE(std::is_sorted(byState.begin(), byState.end()));
  EXPECT_NE(byState.front(), byState.back());
  ClickColumn(1);
  byState = stateColumn();
  EXPECT_TRUE(std::is_sorted(byState.rbegin(), byState.rend()));
  ClickColumn(0);
  names = Column(0);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
}

#ifdef VESK_TEST_NT
constexpr bool kXpBuild = false;
#else
constexpr bool kXpBuild = true;
#endif

TEST_F(ServicesPage, TheMenuOffersWhatTheStateAndStartTypeAllow) {
  using Items = std::map<UINT, bool>;
  auto offered = [](const MenuSeen& seen) {
    Items items;
    for (UINT id : {kStart, kRestart, kStop, kPause, kContinue, kGoToProcess})
      if (seen.enabled.at(id)) items[id] = true;
    return items;
  };
  auto checkedMode = [](const MenuSeen& seen) {
    UINT mode = 0;
    for (UINT id : {kAutomatic, kManual, kDisabled})
      if (seen.checked.at(id)) mode = mode ? UINT(-1) : id;
    return mode;
  };
  Items withProcess = kXpBuild ? Items{{kGoToProcess, true}} : Items{};
  auto plus = [](Items items, std::initializer_list<UINT> more) {
    for (UINT id : more) items[id] = true;
    return items;
  };
  Refresh();
  MenuSeen seen = ContextMenu(ts::kBaseName);
  ASSERT_TRUE(seen.shown);
  EXPECT_EQ(offered(seen), (Items{{kStart, true}}));
  EXPECT_EQ(checkedMode(seen), kManual);
  for (UINT id : {kAutomatic, kManual, kDisabled}) EXPECT_TRUE(seen.enabled[id]);

  ts::SetStartType(ts::kBase, SERVICE_DISABLED);
  seen = ContextMenu(ts::kBaseName);
  EXPECT_EQ(offered(seen), Items{});
  EXPECT_EQ(checkedMode(seen), kDisabled);

  ts::SetStartType(ts::kBase, SERVICE_AUTO_START);
  ASSERT_TRUE(ts::Start(ts::kBase));
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_RUNNING));
  seen = ContextMenu(ts::kBaseName);
  EXPECT_EQ(offered(seen), plus(withProcess, {kStop, kRestart, kPause}));
  EXPECT_EQ(checkedMode(seen), kAutomatic);
  // Started behind the page's back: the menu's query took the new state into
  // the record, and the row still shows the old one until a refresh.
  Refresh();
  EXPECT_EQ(StatusOf(ts::kBaseName), L"Running");

  // Running but disabled: no Restart.
  ts::SetStartType(ts::kBase, SERVICE_DISABLED);
  seen = ContextMenu(ts::kBaseName);
  EXPECT_EQ(offered(seen), plus(withProcess, {kStop, kPause}));

  ASSERT_TRUE(ts::Control(ts::kBase, SERVICE_CONTROL_PAUSE));
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_PAUSED));
  seen = ContextMenu(ts::kBaseName);
  EXPECT_EQ(offered(seen), plus(withProcess, {kContinue}));

  // Pending (a start held by the service): only Go To Process and the
  // startup modes; then running, a service that accepts stop only.
  ts::Configure(ts::kSlow, ts::kHold, 100, SERVICE_ACCEPT_STOP);
  ASSERT_TRUE(ts::Start(ts::kSlow));
  ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_START_PENDING));
  seen = ContextMenu(ts::kSlowName);
  EXPECT_EQ(offered(seen), withProcess);
  ts::Release(ts::kSlow);
  ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_RUNNING));
  seen = ContextMenu(ts::kSlowName);
  EXPECT_EQ(offered(seen), plus(withProcess, {kStop, kRestart}));
}

TEST_F(ServicesPage, SingleShotCommandsReachTheManager) {
  Refresh();
  Answerer answerer;
  RunCommand(ts::kBaseName, kStart, answerer);
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_RUNNING));
  RunCommand(ts::kBaseName, kPause, answerer);
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_PAUSED));
  RunCommand(ts::kBaseName, kContinue, answerer);
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_RUNNING));
  RunCommand(ts::kBaseName, kStop, answerer);
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_STOPPED));
  // Nothing needed confirming or waiting; the list was refreshed after each.
  EXPECT_TRUE(answerer.boxes.empty());
  EXPECT_TRUE(answerer.waits.empty());
  EXPECT_TRUE(RefreshUntil([&] { return StatusOf(ts::kBaseName).empty(); }));
}

TEST_F(ServicesPage, RestartStopsAndStartsUnderTheWaitWindow) {
  ts::Configure(ts::kSlow, 600);
  ASSERT_TRUE(ts::Start(ts::kSlow));
  ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_RUNNING));
  DWORD firstProcess = ts::Status(ts::kSlow).dwProcessId;
  Refresh();
  Answerer answerer;
  RunCommand(ts::kSlowName, kRestart, answerer);
  EXPECT_TRUE(WaitWhileAnswering(answerer, [&] { return NoWaitWindow() && answerer.waits.size() >= 2; }));
  EXPECT_EQ(ts::Status(ts::kSlow).dwCurrentState, DWORD(SERVICE_RUNNING));
  EXPECT_NE(ts::Status(ts::kSlow).dwProcessId, firstProcess);
  EXPECT_EQ(answerer.waits,
            (std::vector<std::wstring>{L"Stopping Vesk Test Slow", L"Starting Vesk Test Slow"}));
  EXPECT_TRUE(answerer.centred);
  EXPECT_TRUE(answerer.mainDisabled);
  EXPECT_TRUE(IsWindowEnabled(host.Main()));
  EXPECT_TRUE(answerer.boxes.empty());
}

// A sequence asked for while another runs waits behind it: nothing of the
// first is sent again.
TEST_F(ServicesPage, ARestartAskedForDuringAHeldStopWaitsItsTurn) {
  ts::Configure(ts::kSlow, ts::kHold, 100);
  ASSERT_TRUE(ts::Start(ts::kSlow));
  ts::Release(ts::kSlow);
  ASSERT_TRUE(ts::Start(ts::kBase));
  ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_RUNNING));
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_RUNNING));
  Refresh();
  Answerer answerer;
  RunCommand(ts::kSlowName, kRestart, answerer);
  EXPECT_TRUE(WaitWhileAnswering(answerer, [&] { return !answerer.waits.empty(); }));
  ASSERT_EQ(ts::Status(ts::kSlow).dwCurrentState, DWORD(SERVICE_STOP_PENDING));
  RunCommand(ts::kBaseName, kRestart, answerer);
  EXPECT_TRUE(WaitWhileAnswering(answerer, [&] {
    ts::Release(ts::kSlow);
    return NoWaitWindow() && answerer.waits.size() >= 4;
  }));
  EXPECT_EQ(answerer.waits,
            (std::vector<std::wstring>{L"Stopping Vesk Test Slow", L"Starting Vesk Test Slow",
                                       L"Stopping Vesk Test Base", L"Starting Vesk Test Base"}));
  EXPECT_TRUE(answerer.boxes.empty());
  EXPECT_EQ(ts::Status(ts::kSlow).dwCurrentState, DWORD(SERVICE_RUNNING));
  EXPECT_EQ(ts::Status(ts::kBase).dwCurrentState, DWORD(SERVICE_RUNNING));
}

// Wine's manager stores dependencies without using them: it enumerates no
// dependents. Where it does not, this stand-in for EnumDependentServicesW in
// the extension's imports answers for the base service as a manager would:
// its dependents that are not stopped, with their names after the entries.
decltype(&EnumDependentServicesW) gRealEnumDependents = nullptr;

bool IsBaseService(SC_HANDLE service) {
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  if (!needed) return false;
  std::vector<BYTE> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  return QueryServiceConfigW(service, config, needed, &needed) && config->lpDisplayName &&
         wcscmp(config->lpDisplayName, ts::kBaseName) == 0;
}

BOOL WINAPI EnumDependentsOfBase(SC_HANDLE service, DWORD state, ENUM_SERVICE_STATUSW* entries, DWORD size,
                                 DWORD* needed, DWORD* count) {
  if (!IsBaseService(service)) return gRealEnumDependents(service, state, entries, size, needed, count);
  struct Dependent {
    const wchar_t* name;
    const wchar_t* displayName;
    SERVICE_STATUS_PROCESS status;
  };
  std::vector<Dependent> active;
  DWORD bytes = 0;
  for (auto [name, displayName] :
       {std::pair{ts::kDependentA, ts::kDependentAName}, std::pair{ts::kDependentB, ts::kDependentBName}}) {
    SERVICE_STATUS_PROCESS status = ts::Status(name);
    if (status.dwCurrentState == SERVICE_STOPPED) continue;
    active.push_back({name, displayName, status});
    bytes += DWORD(sizeof(ENUM_SERVICE_STATUSW) + (wcslen(name) + wcslen(displayName) + 2) * sizeof(wchar_t));
  }
  *needed = bytes;
  *count = 0;
  if (!entries || size < bytes) {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  auto* text = reinterpret_cast<wchar_t*>(entries + active.size());
  auto place = [&](const wchar_t* value) {
    wchar_t* start = text;
    text += wcslen(value) + 1;
    wcscpy(start, value);
    return start;
  };
  for (size_t i = 0; i < active.size(); ++i) {
    entries[i].lpServiceName = place(active[i].name);
    entries[i].lpDisplayName = place(active[i].displayName);
    std::memcpy(&entries[i].ServiceStatus, &active[i].status, sizeof(SERVICE_STATUS));
  }
  *count = DWORD(active.size());
  return TRUE;
}

// Starts the base service and its two dependents; `order` gets the
// dependents in the order the extension will see them, through the
// stand-in above where the manager enumerates none.
void RunBaseAndDependents(HMODULE extension, std::vector<std::wstring>& order) {
  for (const wchar_t* name : {ts::kBase, ts::kDependentA, ts::kDependentB}) {
    ts::Configure(name, 300);
    ts::Start(name);
  }
  for (const wchar_t* name : {ts::kBase, ts::kDependentA, ts::kDependentB})
    ASSERT_TRUE(ts::WaitForState(name, SERVICE_RUNNING)) << name;
  order = ts::ActiveDependents(ts::kBase);
  if (order.empty()) {
    void* real = ReplaceImport(extension, "ADVAPI32.dll", "EnumDependentServicesW",
                               reinterpret_cast<void*>(&EnumDependentsOfBase));
    ASSERT_TRUE(real != nullptr);
    gRealEnumDependents = reinterpret_cast<decltype(&EnumDependentServicesW)>(real);
    order = {ts::kDependentA, ts::kDependentB};
  }
  ASSERT_EQ(order.size(), 2u);
}

TEST_F(ServicesPage, StopWithActiveDependentsAsksAndStopsThemFirst) {
  std::vector<std::wstring> order;
  ASSERT_NO_FATAL_FAILURE(RunBaseAndDependents(host.Extension(), order));
  auto display = [](const std::wstring& key) {
    return key == ts::kDependentA ? ts::kDependentAName : ts::kDependentBName;
  };
  std::wstring expected = std::wstring(L"These services depends on Vesk Test Base:\r\n\r\n") +
                          display(order[0]) + L"\r\n" + display(order[1]) +
                          L"\r\n\r\nDo you want to stop this services too?";
  Refresh();

  // No: nothing changes.
  Answerer declined;
  declined.button = IDNO;
  RunCommand(ts::kBaseName, kStop, declined);
  ASSERT_EQ(declined.boxes.size(), 1u);
  EXPECT_EQ(declined.boxes[0].caption, L"Confirm Dependent Services Stop");
  EXPECT_EQ(declined.boxes[0].text, expected);
  Sleep(700);
  for (const wchar_t* name : {ts::kBase, ts::kDependentA, ts::kDependentB})
    EXPECT_EQ(ts::Status(name).dwCurrentState, DWORD(SERVICE_RUNNING)) << name;

  Answerer accepted;
  accepted.button = IDYES;
  RunCommand(ts::kBaseName, kStop, accepted);
  EXPECT_TRUE(WaitWhileAnswering(accepted, [&] { return NoWaitWindow() && accepted.waits.size() >= 3; }));
  ASSERT_EQ(accepted.boxes.size(), 1u);
  EXPECT_EQ(accepted.boxes[0].text, expected);
  // One after another, each once the one before had stopped.
  EXPECT_EQ(accepted.waits, (std::vector<std::wstring>{L"Stopping " + std::wstring(display(order[0])),
                                                       L"Stopping " + std::wstring(display(order[1])),
                                                       L"Stopping Vesk Test Base"}));
  for (const wchar_t* name : {ts::kBase, ts::kDependentA, ts::kDependentB})
    EXPECT_EQ(ts::Status(name).dwCurrentState, DWORD(SERVICE_STOPPED)) << name;
}

TEST_F(ServicesPage, CancelDuringAPendingStopDropsTheLaterRequests) {
  ts::Configure(ts::kSlow, ts::kHold, 100);
  ASSERT_TRUE(ts::Start(ts::kSlow));
  ts::Release(ts::kSlow);
  ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_RUNNING));
  Refresh();
  Answerer answerer;
  answerer.cancelWait = true;
  RunCommand(ts::kSlowName, kRestart, answerer);
  EXPECT_TRUE(WaitWhileAnswering(answerer, [&] { return !answerer.waits.empty() && NoWaitWindow(); }));
  EXPECT_TRUE(IsWindowEnabled(host.Main()));
  // The stop that was sent goes on; the start never comes.
  EXPECT_EQ(ts::Status(ts::kSlow).dwCurrentState, DWORD(SERVICE_STOP_PENDING));
  ts::Release(ts::kSlow);
  ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_STOPPED));
  for (int tick = 0; tick < 10; ++tick) {
    Refresh();
    Sleep(100);
  }
  EXPECT_EQ(ts::Status(ts::kSlow).dwCurrentState, DWORD(SERVICE_STOPPED));
  EXPECT_EQ(answerer.waits, std::vector<std::wstring>{L"Stopping Vesk Test Slow"});
}

// Whether each "Wait..." window stood centred over the main window when it
// was shown, in the order shown.
std::vector<bool> gCentredWhenShown;
HWND gWaitOwner = nullptr;
LRESULT CALLBACK WatchWaitWindows(int code, WPARAM wParam, LPARAM lParam) {
  const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && sent->message == WM_SHOWWINDOW && sent->wParam && IsWaitWindow(sent->hwnd))
    gCentredWhenShown.push_back(CentredOver(sent->hwnd, gWaitOwner));
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The "Wait..." window is shown once it is centred, never first where its
// template puts it; Esc and Enter in it cancel as its button does.
TEST_F(ServicesPage, TheWaitWindowShowsCentredAndEscapeAndEnterCancelIt) {
  gCentredWhenShown.clear();
  gWaitOwner = host.Main();
  HHOOK watch = SetWindowsHookExW(WH_CALLWNDPROC, &WatchWaitWindows, nullptr, GetCurrentThreadId());
  ASSERT_TRUE(watch != nullptr);
  ts::Configure(ts::kSlow, ts::kHold, 100);
  for (WPARAM key : {VK_ESCAPE, VK_RETURN}) {
    ASSERT_TRUE(ts::Start(ts::kSlow));
    ts::Release(ts::kSlow);
    ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_RUNNING));
    Refresh();
    Answerer answerer;
    answerer.cancelKey = key;
    RunCommand(ts::kSlowName, kRestart, answerer);
    EXPECT_TRUE(WaitWhileAnswering(answerer, [&] { return !answerer.waits.empty() && NoWaitWindow(); }))
        << "key " << key;
    EXPECT_TRUE(IsWindowEnabled(host.Main()));
    EXPECT_EQ(answerer.waits, std::vector<std::wstring>{L"Stopping Vesk Test Slow"});
    // The stop that was sent goes on; the start never comes.
    EXPECT_EQ(ts::Status(ts::kSlow).dwCurrentState, DWORD(SERVICE_STOP_PENDING));
    ts::Release(ts::kSlow);
    ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_STOPPED));
  }
  UnhookWindowsHookEx(watch);
  EXPECT_EQ(gCentredWhenShown, (std::vector<bool>{true, true}));
}

TEST_F(ServicesPage, ARefusedPauseIsReportedWithTheDisplayName) {
  ASSERT_TRUE(ts::Start(ts::kSlow));
  ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_RUNNING));
  Refresh();
  Answerer answerer;
  answerer.main = host.Main();
  // Pause was offered; by the time it is chosen the service no longer takes it.
  MenuSeen seen = ContextMenu(ts::kSlowName, kPause, answerer(), [] {
    ts::Control(ts::kSlow, ts::kWithdrawPause);
    EXPECT_TRUE(
        WaitFor([] { return !(ts::Status(ts::kSlow).dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE); }));
  });
  EXPECT_TRUE(seen.enabled[kPause]);
  ASSERT_EQ(answerer.boxes.size(), 1u);
  EXPECT_EQ(answerer.boxes[0].caption, L"Unable to Control Service");
  EXPECT_EQ(answerer.boxes[0].text, L"Cannot pause Vesk Test Slow");
  EXPECT_EQ(ts::Status(ts::kSlow).dwCurrentState, DWORD(SERVICE_RUNNING));
  // The busy flag went with the command: the list refreshes again.
  ASSERT_TRUE(ts::Control(ts::kSlow, SERVICE_CONTROL_STOP));
  EXPECT_TRUE(RefreshUntil([&] { return StatusOf(ts::kSlowName).empty(); }));
}

TEST_F(ServicesPage, StartupModesReachTheServicesConfiguration) {
  Refresh();
  Answerer answerer;
  RunCommand(ts::kBaseName, kAutomatic, answerer);
  EXPECT_EQ(ts::StartType(ts::kBase), DWORD(SERVICE_AUTO_START));
  RunCommand(ts::kBaseName, kDisabled, answerer);
  EXPECT_EQ(ts::StartType(ts::kBase), DWORD(SERVICE_DISABLED));
  MenuSeen seen = ContextMenu(ts::kBaseName, kManual);
  EXPECT_TRUE(seen.checked[kDisabled]);
  EXPECT_EQ(ts::StartType(ts::kBase), DWORD(SERVICE_DEMAND_START));
}

TEST_F(ServicesPage, ClosingTaskManagerEndsARunningSequence) {
  ts::Configure(ts::kSlow, ts::kHold, 100);
  ASSERT_TRUE(ts::Start(ts::kSlow));
  ts::Release(ts::kSlow);
  ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_RUNNING));
  Refresh();
  Answerer answerer;
  RunCommand(ts::kSlowName, kRestart, answerer);
  EXPECT_TRUE(WaitWhileAnswering(answerer, [&] { return !answerer.waits.empty(); }));
  ASSERT_FALSE(NoWaitWindow());
  host.Stop();
  EXPECT_TRUE(NoWaitWindow());
  ts::Release(ts::kSlow);
  ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_STOPPED));
  // Nothing polls or restarts it any more.
  Sleep(800);
  PumpMessages(nullptr);
  EXPECT_EQ(ts::Status(ts::kSlow).dwCurrentState, DWORD(SERVICE_STOPPED));
}

// Task Manager closed from outside while one of the page's modal loops runs
// (its menu, a command's message box): the loop dispatches the WM_CLOSE, so
// the page's code returns from it after Task Manager's shutdown, and under
// the guarded heap a touch of anything the shutdown freed ends the process.
class ServicesPageClosing : public ServicesPage {
 protected:
  void SetUp() override {
    host.GuardHeap();
    ServicesPage::SetUp();
  }
  // Answers the message box with this caption by closing Task Manager.
  std::function<bool(HWND)> CloseAtBox(const wchar_t* caption) {
    return [this, caption](HWND window) {
      if (!IsClass(window, L"#32770") || Text(window) != caption) return false;
      host.PostClose();
      closedAtBox = true;
      return true;
    };
  }
  void ExpectAClosedTaskManager() {
    EXPECT_FALSE(IsWindow(host.Main()));
    EXPECT_EQ(host.ExitCode(), 0);
  }
  bool closedAtBox = false;
};

TEST_F(ServicesPageClosing, InsideTheContextMenu) {
  Refresh();
  MenuSeen seen = ContextMenu(ts::kBaseName, 0, nullptr, [&] { host.PostClose(); });
  EXPECT_TRUE(seen.shown);
  ExpectAClosedTaskManager();
}

TEST_F(ServicesPageClosing, InsideTheDependentsConfirmation) {
  std::vector<std::wstring> order;
  ASSERT_NO_FATAL_FAILURE(RunBaseAndDependents(host.Extension(), order));
  Refresh();
  ContextMenu(ts::kBaseName, kStop, CloseAtBox(L"Confirm Dependent Services Stop"));
  EXPECT_TRUE(closedAtBox);
  ExpectAClosedTaskManager();
  // The question went unanswered: nothing was stopped.
  for (const wchar_t* name : {ts::kBase, ts::kDependentA, ts::kDependentB})
    EXPECT_EQ(ts::Status(name).dwCurrentState, DWORD(SERVICE_RUNNING)) << name;
}

TEST_F(ServicesPageClosing, InsideTheUnableToControlServiceBox) {
  ASSERT_TRUE(ts::Start(ts::kSlow));
  ASSERT_TRUE(ts::WaitForState(ts::kSlow, SERVICE_RUNNING));
  Refresh();
  // As in the refused-pause test: the service withdraws pause while the menu is open.
  ContextMenu(ts::kSlowName, kPause, CloseAtBox(L"Unable to Control Service"), [] {
    ts::Control(ts::kSlow, ts::kWithdrawPause);
    while (ts::Status(ts::kSlow).dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) Sleep(10);
  });
  EXPECT_TRUE(closedAtBox);
  ExpectAClosedTaskManager();
}

// A running service's row takes its process's integrity colour (the test
// services' image is unsigned); a stopped one has no process and no colour.
// The Windows 2000 build colours nothing.
TEST_F(ServicesPage, RowsTakeTheColourOfTheServicesProcess) {
  ASSERT_TRUE(ts::Start(ts::kBase));
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_RUNNING));
  Refresh();
  auto background = [&](const wchar_t* displayName) { return ItemBackground(page, list, Row(displayName)); };
  COLORREF running = CLR_DEFAULT;
  // The first paint queues the check; the worker's verdict comes later.
  for (DWORD start = GetTickCount(); GetTickCount() - start < kStateWaitMs && running == CLR_DEFAULT;
       Sleep(50)) {
    PumpMessages(host.Main());
    running = background(ts::kBaseName);
    if (!kXpBuild && GetTickCount() - start > 2000) break;
  }
  EXPECT_EQ(running, kXpBuild ? COLORREF(0xE0E0FF) : CLR_DEFAULT);
  EXPECT_EQ(background(ts::kSlowName), CLR_DEFAULT);
}

TEST_F(ServicesPage, GoToProcessSelectsTheServicesProcess) {
  if (!kXpBuild) GTEST_SKIP() << "taskext_nt offers no Go To Process";
  ASSERT_TRUE(ts::Start(ts::kBase));
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_RUNNING));
  DWORD process = ts::Status(ts::kBase).dwProcessId;
  host.ClickTab(1);
  ASSERT_TRUE(host.RefreshUntil([&] { return host.RowOfProcess(process) >= 0; }));
  host.ClickTab(ServicesTab());
  Refresh();
  Answerer answerer;
  RunCommand(ts::kBaseName, kGoToProcess, answerer);
  EXPECT_FALSE(IsWindowVisible(page));
  EXPECT_TRUE(IsWindowVisible(host.ProcessesPage()));
  EXPECT_EQ(SendMessageW(host.Tabs(), TCM_GETCURSEL, 0, 0), 1);
  int row = int(SendMessageW(host.ProcessList(), LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
  EXPECT_EQ(row, host.RowOfProcess(process));
  EXPECT_EQ(GetFocus(), host.ProcessList());
  // The hub took the Processes page as current: a tick does not refresh the page.
  ts::Control(ts::kBase, SERVICE_CONTROL_STOP);
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_STOPPED));
  Refresh();
  EXPECT_EQ(StatusOf(ts::kBaseName), L"Running");
}

// The tip the list's own tooltip asks for at the row under the cursor.
class ServiceTips : public ServicesPage {
 protected:
  // Null when the tooltip's text pointer was left alone.
  const wchar_t* TipAt(const std::wstring& displayName) {
    int row = Row(displayName);
    EXPECT_GE(row, 0);
    SendMessageW(list, LVM_ENSUREVISIBLE, row, FALSE);
    RECT bounds = {LVIR_BOUNDS, 0, 0, 0};
    SendMessageW(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&bounds));
    POINT point = {bounds.left + 20, (bounds.top + bounds.bottom) / 2};
    ClientToScreen(list, &point);
    SetCursorPos(point.x, point.y);
    HWND tooltip = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETTOOLTIPS, 0, 0));
    EXPECT_TRUE(tooltip != nullptr);
    NMTTDISPINFOW info = {};
    info.hdr = {tooltip, 0, UINT(TTN_GETDISPINFOW)};
    SendMessageW(list, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&info));
    return info.lpszText;
  }
};

TEST_F(ServiceTips, ARowsTipIsItsDescriptionAndBinaryPath) {
  Refresh();
  const wchar_t* slow = TipAt(ts::kSlowName);
  const wchar_t* base = TipAt(ts::kBaseName);
#ifdef VESK_TEST_NT
  EXPECT_TRUE(slow == nullptr);
  EXPECT_TRUE(base == nullptr);
#else
  ASSERT_TRUE(slow && base);
  EXPECT_EQ(std::wstring(slow), std::wstring(ts::kSlowDescription) + L"\n" + ts::BinaryPath(ts::kSlow));
  EXPECT_EQ(std::wstring(base), L"\n" + ts::BinaryPath(ts::kBase));
  // Built once and kept.
  EXPECT_EQ(std::wstring(TipAt(ts::kBaseName)), L"\n" + ts::BinaryPath(ts::kBase));
#endif
}

// Task Manager's process context menu, opened on the row of a process.
class ProcessMenu : public ServicesPage {
 protected:
  void SetUp() override {
    ServicesPage::SetUp();
    host.ClickTab(1);
  }
  // The items appended after Task Manager's own: their texts, ids and,
  // for a submenu, its items' texts and ids. `choose` (an id) is picked.
  struct Item {
    std::wstring text;
    UINT id;
    std::vector<std::pair<std::wstring, UINT>> submenu;
  };
  std::vector<Item> OpenOnRow(int row, UINT choose = 0, const std::function<bool(HWND)>& answer = nullptr) {
    host.SelectRow(row);
    std::vector<Item> items;
    bool inSubmenu = false;
    int unanswered = RunAnswering(
        [&] {
          SendMessageW(host.ProcessesPage(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(host.ProcessList()),
                       MAKELPARAM(10, 10));
          PumpMessages(host.Main());
        },
        [&](HWND window) {
          if (!IsClass(window, L"#32768")) return answer && answer(window);
          HMENU popup = reinterpret_cast<HMENU>(SendMessageW(window, MN_GETHMENU, 0, 0));
          if (!popup) return false;
          if (inSubmenu) {
            ChooseItem(window, popup, PositionOf(popup, choose), false);
            return true;
          }
          if (GetMenuItemID(popup, 0) != 40028) return false;
          int count = GetMenuItemCount(popup);
          int first = PositionOf(popup, 50001);
          for (int i = first; first >= 0 && i < count; ++i) {
            Item item{MenuItemText(popup, i), GetMenuItemID(popup, i), {}};
            if (HMENU sub = GetSubMenu(popup, i))
              for (int j = 0; j < GetMenuItemCount(sub); ++j)
                item.submenu.push_back({MenuItemText(sub, j), GetMenuItemID(sub, j)});
            items.push_back(item);
          }
          int position = choose ? PositionOf(popup, choose) : -1;
          if (!choose) {
            PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
          } else if (position >= 0) {
            ChooseItem(window, popup, position, false);
          } else {
            // A generated item inside the "Go To Service" submenu.
            inSubmenu = true;
            ChooseItem(window, popup, count - 1, true);
          }
          return true;
        });
    EXPECT_EQ(unanswered, 0);
    PumpMessages(host.Main());
    return items;
  }
  // A row of its own for a process id, with a record as Task Manager's.
  struct Record {
    char before[8];
    DWORD id;
    char between[124];
    const wchar_t* name;
  };
  int InsertRow(Record& record) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = 0;
    item.pszText = const_cast<wchar_t*>(record.name);
    item.lParam = reinterpret_cast<LPARAM>(&record);
    return int(SendMessageW(host.ProcessList(), LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
  }
  // The items the extension appends to a process menu that Task Manager is
  // about to show for the row (a menu of its own, sent as Task Manager's).
  std::vector<Item> ItemsFor(int row) {
    host.SelectRow(row);
    HMENU popup = CreatePopupMenu();
    AppendMenuW(popup, MF_STRING, 40028, L"&End Process");
    SendMessageW(host.ProcessesPage(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(popup), 0);
    std::vector<Item> items;
    for (int i = 1; i < GetMenuItemCount(popup); ++i) {
      Item item{MenuItemText(popup, i), GetMenuItemID(popup, i), {}};
      if (HMENU sub = GetSubMenu(popup, i))
        for (int j = 0; j < GetMenuItemCount(sub); ++j)
          item.submenu.push_back({MenuItemText(sub, j), GetMenuItemID(sub, j)});
      items.push_back(item);
    }
    DestroyMenu(popup);
    return items;
  }
  int ServiceRow(const wchar_t* name) {
    DWORD process = ts::Status(name).dwProcessId;
    EXPECT_TRUE(host.RefreshUntil([&] { return host.RowOfProcess(process) >= 0; }));
    return host.RowOfProcess(process);
  }
};

TEST_F(ProcessMenu, DiscardIsOfferedAndAnEndedProcessShowsWhyItFailed) {
  ChildProcess child;
  ASSERT_TRUE(host.RefreshUntil([&] { return host.RowOfProcess(child.Id()) >= 0; }));
  auto items = OpenOnRow(host.RowOfProcess(child.Id()));
  ASSERT_FALSE(items.empty());
  EXPECT_EQ(items[0].text, L"&Discard");
  // A working process: emptied without a word.
  Answerer answerer;
  items = OpenOnRow(host.RowOfProcess(child.Id()), 50001, answerer());
  EXPECT_TRUE(answerer.boxes.empty());
  // The row of a process that is gone: no process has its id any more. (An
  // ended process that somebody still holds open can be opened under Wine,
  // and Wine's SetProcessWorkingSetSize succeeds on it.)
  Record record = {{}, 0x7FFFFFF0, {}, L"idle_child.exe"};
  int row = InsertRow(record);
  auto offered = ItemsFor(row);
  ASSERT_TRUE(std::any_of(offered.begin(), offered.end(), [](const Item& item) { return item.id == 50001; }));
  int unanswered = RunAnswering([&] { host.Command(host.ProcessesPage(), 50001); }, answerer());
  EXPECT_EQ(unanswered, 0);
  ASSERT_EQ(answerer.boxes.size(), 1u);
  EXPECT_EQ(answerer.boxes[0].caption, L"Unable to Discard Process");
  EXPECT_EQ(answerer.boxes[0].text, L"Cannot discard process");
}

TEST_F(ProcessMenu, GoToServiceIsNotOfferedByTaskextNt) {
  if (kXpBuild) GTEST_SKIP() << "taskext_xp offers Go To Service";
  ASSERT_TRUE(ts::Start(ts::kBase));
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_RUNNING));
  auto items = OpenOnRow(ServiceRow(ts::kBase));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].id, 50001u);
}

TEST_F(ProcessMenu, GoToServiceLeadsToTheHostedServicesRow) {
  if (!kXpBuild) GTEST_SKIP() << "taskext_nt offers no Go To Service";
  ASSERT_TRUE(ts::Start(ts::kBase));
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_RUNNING));
  int row = ServiceRow(ts::kBase);
  auto items = OpenOnRow(row);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1].text, L"Go To Service");
  EXPECT_EQ(items[1].id, 0xFF00u);
  EXPECT_TRUE(items[1].submenu.empty());
  OpenOnRow(row, 0xFF00);
  EXPECT_EQ(SendMessageW(host.Tabs(), TCM_GETCURSEL, 0, 0), ServicesTab());
  EXPECT_TRUE(IsWindowVisible(page));
  EXPECT_FALSE(IsWindowVisible(host.ProcessesPage()));
  int selected = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
  ASSERT_GE(selected, 0);
  EXPECT_EQ(Cell(selected, 0), ts::kBaseName);
  EXPECT_EQ(GetFocus(), list);
}

// Wine's manager gives every service a process of its own. This stand-in for
// EnumServicesStatusExW in the extension's imports reports the services of
// gSharing as running in the process gSharedProcess, as a manager reports
// services that share one process (the same dwProcessId in each entry's
// SERVICE_STATUS_PROCESS).
std::vector<std::wstring> gSharing;
DWORD gSharedProcess = 0;
decltype(&EnumServicesStatusExW) gRealEnumServices = nullptr;

BOOL WINAPI EnumServicesSharingAProcess(SC_HANDLE manager, SC_ENUM_TYPE level, DWORD type, DWORD state,
                                        BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned,
                                        DWORD* resume, const wchar_t* group) {
  BOOL done = gRealEnumServices(manager, level, type, state, buffer, size, needed, returned, resume, group);
  if (!done || level != SC_ENUM_PROCESS_INFO) return done;
  auto* entries = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW*>(buffer);
  for (DWORD i = 0; i < *returned; ++i) {
    if (!entries[i].lpServiceName ||
        std::find(gSharing.begin(), gSharing.end(), entries[i].lpServiceName) == gSharing.end())
      continue;
    entries[i].ServiceStatusProcess.dwCurrentState = SERVICE_RUNNING;
    entries[i].ServiceStatusProcess.dwProcessId = gSharedProcess;
  }
  return done;
}

TEST_F(ProcessMenu, SharedServicesMakeASubmenuInCodeUnitOrderAndProcessZeroHostsNone) {
  if (!kXpBuild) GTEST_SKIP() << "taskext_nt offers no Go To Service";
  // Its key comes before the shared ones', its display name after theirs.
  const wchar_t* lowerKey = L"VeskTestLowerCase";
  ts::Delete(lowerKey);
  ts::CreateExtra(lowerKey, L"vesk test lower case");
  ChildProcess child;
  ASSERT_TRUE(host.RefreshUntil([&] { return host.RowOfProcess(child.Id()) >= 0; }));
  gSharing = {ts::kShared[0], ts::kShared[1], ts::kShared[2], lowerKey};
  gSharedProcess = child.Id();
  void* real = ReplaceImport(host.Extension(), "ADVAPI32.dll", "EnumServicesStatusExW",
                             reinterpret_cast<void*>(&EnumServicesSharingAProcess));
  ASSERT_TRUE(real != nullptr);
  gRealEnumServices = reinterpret_cast<decltype(&EnumServicesStatusExW)>(real);
  // Code units: upper case before lower case.
  const std::vector<std::wstring> expected = {L"Vesk Test Shared 1", L"Vesk Test Shared 2",
                                              L"Vesk Test Shared 3", L"vesk test lower case"};
  auto items = ItemsFor(host.RowOfProcess(child.Id()));
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1].text, L"Go To Service");
  ASSERT_EQ(items[1].submenu.size(), expected.size());
  for (size_t n = 0; n < expected.size(); ++n) {
    EXPECT_EQ(items[1].submenu[n].first, expected[n]);
    EXPECT_EQ(items[1].submenu[n].second, 0xFF00u + n);
  }
  // The page shows the row of the chosen name.
  host.Command(host.ProcessesPage(), 0xFF01);
  PumpMessages(host.Main());
  EXPECT_EQ(SendMessageW(host.Tabs(), TCM_GETCURSEL, 0, 0), ServicesTab());
  int selected = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
  ASSERT_GE(selected, 0);
  EXPECT_EQ(Cell(selected, 0), L"Vesk Test Shared 2");
  ts::Delete(lowerKey);

  // Every stopped service reports process 0, the System Idle Process, which
  // hosts none of them: Discard alone.
  host.ClickTab(1);
  Record idle = {{}, 0, {}, L"System Idle Process"};
  items = ItemsFor(InsertRow(idle));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].id, 50001u);
}

class ProcessTip : public ProcessMenu {
 protected:
  // The text the process list gives its tooltip for the row under the
  // cursor; null when it left the tooltip's pointer alone.
  const wchar_t* TipAtRow(int row) {
    HWND processes = host.ProcessList();
    SendMessageW(processes, LVM_ENSUREVISIBLE, row, FALSE);
    RECT bounds = {LVIR_BOUNDS, 0, 0, 0};
    SendMessageW(processes, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&bounds));
    POINT point = {bounds.left + 20, (bounds.top + bounds.bottom) / 2};
    ClientToScreen(processes, &point);
    SetCursorPos(point.x, point.y);
    HWND tooltip = reinterpret_cast<HWND>(SendMessageW(processes, LVM_GETTOOLTIPS, 0, 0));
    NMTTDISPINFOW info = {};
    info.hdr = {tooltip, 0, UINT(TTN_GETDISPINFOW)};
    EXPECT_EQ(SendMessageW(processes, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&info)), 1);
    return info.lpszText;
  }
  static std::wstring ModulePath(DWORD processId) {
    wchar_t path[MAX_PATH] = {};
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process) {
      GetModuleFileNameExW(process, nullptr, path, MAX_PATH);
      CloseHandle(process);
    }
    return path;
  }
};

TEST_F(ProcessTip, TheTipNamesTheImageItsVersionAndTheHostedService) {
  ASSERT_TRUE(ts::Start(ts::kBase));
  ASSERT_TRUE(ts::WaitForState(ts::kBase, SERVICE_RUNNING));
  DWORD process = ts::Status(ts::kBase).dwProcessId;
  const wchar_t* tip = TipAtRow(ServiceRow(ts::kBase));
  ASSERT_TRUE(tip != nullptr);
  std::wstring expected = L"Vesk test services v2.0\r\nCopyright (C) Vesk tests\r\n" + ModulePath(process);
#ifndef VESK_TEST_NT
  // The header once, no line break after the last name.
  expected += L"\nHosting Services:\n - Vesk Test Base";
#endif
  EXPECT_EQ(std::wstring(tip), expected);
}

TEST_F(ProcessTip, AnImageWithoutVersionShowsItsPathAloneAndSystemIdsNothing) {
  ChildProcess child;
  ASSERT_TRUE(host.RefreshUntil([&] { return host.RowOfProcess(child.Id()) >= 0; }));
  const wchar_t* tip = TipAtRow(host.RowOfProcess(child.Id()));
  ASSERT_TRUE(tip != nullptr);
  EXPECT_EQ(std::wstring(tip), ModulePath(child.Id()));
  Record system = {{}, 16, {}, L"System"};
  EXPECT_TRUE(TipAtRow(InsertRow(system)) == nullptr);
}

}  // namespace
