// The real extension library inside the substitute Task Manager: what Task
// Manager and its user observe of the attachment, the extension menu and the
// recording of priority and affinity choices in vesk.ini.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/list_view.h"

#include "task_manager.h"
#include "taskmgr_host.h"
#include "vesksvc_control.h"

namespace {

constexpr UINT kAbout = 50102;
constexpr UINT kCheckIntegrity = 50103;
constexpr UINT kSavePriority = 50000;
constexpr UINT kNextTab = 40100;
constexpr UINT kPreviousTab = 40101;
constexpr UINT kRealtime = 40029;
constexpr UINT kHigh = 40031;
constexpr UINT kNormal = 40032;
constexpr UINT kIdle = 40034;
constexpr UINT kAffinity = 40055;
const wchar_t kChildImage[] = L"idle_child.exe";

HMENU ExtensionMenu(HWND main) {
  HMENU bar = GetMenu(main);
  int count = bar ? GetMenuItemCount(bar) : 0;
  return count > 0 ? GetSubMenu(bar, count - 1) : nullptr;
}

bool CheckIntegrityShown(HWND main) {
  return GetMenuState(ExtensionMenu(main), kCheckIntegrity, MF_BYCOMMAND) & MF_CHECKED;
}

bool IsWindowClass(HWND window, const wchar_t* name) {
  wchar_t text[16] = {};
  GetClassNameW(window, text, 16);
  return wcscmp(text, name) == 0;
}

std::wstring WindowText(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

// Answers a message box with the given button, and the affinity dialog not at all.
std::function<bool(HWND)> PressInMessageBox(UINT button) {
  return [button](HWND window) {
    if (!IsWindowClass(window, L"#32770") || GetDlgItem(window, button) == nullptr) return false;
    PostMessageW(window, WM_COMMAND, button, 0);
    return true;
  };
}

// A process record as Task Manager lays it out: the id at byte offset 8, the
// image name pointer at 136.
struct Record {
  char before[8];
  DWORD id;
  char between[124];
  const wchar_t* name;
};
static_assert(sizeof(Record) == 140, "record layout");

class Attachment : public testing::Test {
 protected:
  void TearDown() override { host.Stop(); }
  TaskManagerHost host;
};

TEST_F(Attachment, VeskIsTheLastMenuEntryAfterEveryTabChange) {
  host.Start();
  ASSERT_FALSE(MenuBarTitles(host.Main()).empty());
  EXPECT_EQ(MenuBarTitles(host.Main()).back(), L"Vesk");
  int tabs = int(SendMessageW(host.Tabs(), TCM_GETITEMCOUNT, 0, 0));
  for (int step = 0; step < tabs + 1; ++step) {
    host.Command(host.Main(), kNextTab);
    auto titles = MenuBarTitles(host.Main());
    ASSERT_FALSE(titles.empty());
    EXPECT_EQ(titles.back(), L"Vesk") << "after next tab " << step;
    EXPECT_EQ(std::count(titles.begin(), titles.end(), L"Vesk"), 1);
  }
  host.Command(host.Main(), kPreviousTab);
  EXPECT_EQ(MenuBarTitles(host.Main()).back(), L"Vesk");
  host.ClickTab(0);
  EXPECT_EQ(MenuBarTitles(host.Main()).back(), L"Vesk");
  HMENU menu = ExtensionMenu(host.Main());
  ASSERT_EQ(GetMenuItemCount(menu), 2);
  EXPECT_EQ(GetMenuItemID(menu, 0), kAbout);
  EXPECT_EQ(MenuItemText(menu, 0), L"About");
  EXPECT_EQ(GetMenuItemID(menu, 1), kCheckIntegrity);
  EXPECT_EQ(MenuItemText(menu, 1), L"Check Integrity");
}

TEST_F(Attachment, TabsStepWithWrapAroundOnTaskManagersOwnPages) {
  host.Start();
  int tabs = int(SendMessageW(host.Tabs(), TCM_GETITEMCOUNT, 0, 0));
  ASSERT_EQ(SendMessageW(host.Tabs(), TCM_GETCURSEL, 0, 0), 1);
  host.Command(host.Main(), kPreviousTab);
  EXPECT_EQ(SendMessageW(host.Tabs(), TCM_GETCURSEL, 0, 0), 0);
  host.Command(host.Main(), kPreviousTab);
  EXPECT_EQ(SendMessageW(host.Tabs(), TCM_GETCURSEL, 0, 0), tabs - 1);
  host.Command(host.Main(), kNextTab);
  EXPECT_EQ(SendMessageW(host.Tabs(), TCM_GETCURSEL, 0, 0), 0);
  // Task Manager followed: its Applications page is the one shown.
  EXPECT_FALSE(IsWindowVisible(host.ProcessesPage()));
}

TEST_F(Attachment, CheckIntegrityFollowsTheSettingsFileAndToggles) {
  host.Start();
  EXPECT_TRUE(CheckIntegrityShown(host.Main()));
  // Another program turns it off; the next menu build shows that.
  WritePrivateProfileStringW(L"Vesk", L"CheckIntegrity", L"0", L"vesk.ini");
  host.Command(host.Main(), kNextTab);
  EXPECT_FALSE(CheckIntegrityShown(host.Main()));
  host.Command(host.Main(), kCheckIntegrity);
  EXPECT_EQ(IniValue(L"Vesk", L"CheckIntegrity"), L"1");
  EXPECT_TRUE(CheckIntegrityShown(host.Main()));
  host.Command(host.Main(), kCheckIntegrity);
  EXPECT_EQ(IniValue(L"Vesk", L"CheckIntegrity"), L"0");
  EXPECT_FALSE(CheckIntegrityShown(host.Main()));
  host.Command(host.Main(), kNextTab);
  EXPECT_FALSE(CheckIntegrityShown(host.Main()));
}

TEST_F(Attachment, AboutShowsTheProductVersionAndTwoLinks) {
  host.Start();
  std::wstring product, web, mail;
  int unanswered = RunAnswering([&] { host.Command(host.Main(), kAbout); },
                                [&](HWND window) {
                                  if (!GetDlgItem(window, 1010)) return false;
                                  product = WindowText(GetDlgItem(window, 1010));
                                  web = WindowText(GetDlgItem(window, 1011));
                                  mail = WindowText(GetDlgItem(window, 1012));
                                  PostMessageW(window, WM_COMMAND, IDOK, 0);
                                  return true;
                                });
  EXPECT_EQ(unanswered, 0);
  EXPECT_EQ(product, L"Vesk 1.9.6");
  EXPECT_EQ(web.rfind(L"http://", 0), 0u) << std::string(web.begin(), web.end());
  EXPECT_NE(mail.find(L'@'), std::wstring::npos);
  // The window's close command ends it as well.
  unanswered = RunAnswering([&] { host.Command(host.Main(), kAbout); },
                            [&](HWND window) {
                              if (!GetDlgItem(window, 1010)) return false;
                              PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
                              return true;
                            });
  EXPECT_EQ(unanswered, 0);
}

// Task Manager closed from outside while the About dialog is open: the
// dialog's loop dispatches the WM_CLOSE, so the hub returns from the dialog
// after its shutdown; under the guarded heap a touch of anything the
// shutdown freed ends the process.
TEST_F(Attachment, TaskManagerClosedInsideTheAboutDialogEndsWithCodeZero) {
  host.GuardHeap();
  host.Start();
  bool closed = false;
  int unanswered = RunAnswering([&] { host.Command(host.Main(), kAbout); },
                                [&](HWND window) {
                                  if (!GetDlgItem(window, 1010)) return false;
                                  host.PostClose();
                                  closed = true;
                                  return true;
                                });
  EXPECT_EQ(unanswered, 0);
  EXPECT_TRUE(closed);
  EXPECT_FALSE(IsWindow(host.Main()));
  EXPECT_EQ(host.ExitCode(), 0);
}

// Whether the process's token has SeDebugPrivilege enabled; optionally sets it.
bool DebugPrivilegeEnabled(std::optional<bool> set = std::nullopt) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &token)) return false;
  LUID debug;
  LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &debug);
  if (set) {
    TOKEN_PRIVILEGES change = {1, {{debug, DWORD(*set ? SE_PRIVILEGE_ENABLED : 0)}}};
    AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr);
  }
  PRIVILEGE_SET query = {1, PRIVILEGE_SET_ALL_NECESSARY, {{debug, 0}}};
  BOOL enabled = FALSE;
  PrivilegeCheck(token, &query, &enabled);
  CloseHandle(token);
  return enabled != FALSE;
}

TEST_F(Attachment, TheMainWindowsCreationEnablesTheDebugPrivilege) {
  DebugPrivilegeEnabled(false);
  ASSERT_FALSE(DebugPrivilegeEnabled());
  host.LoadExtension();
  EXPECT_FALSE(DebugPrivilegeEnabled());
  host.Start(false);
  EXPECT_TRUE(DebugPrivilegeEnabled());
}

// Once the first main window was taken the hook is gone: after that window
// has closed, a later window with the main window's style stays untouched.
TEST_F(Attachment, TheHookIsGoneOnceTheMainWindowExists) {
  host.Start();
  ASSERT_EQ(MenuBarTitles(host.Main()).back(), L"Vesk");
  host.Stop();
  HWND later = CreateWindowExW(0, L"STATIC", L"later", WS_POPUP | WS_CAPTION, 0, 0, 100, 100, nullptr,
                               nullptr, nullptr, nullptr);
  ASSERT_TRUE(later != nullptr);
  EXPECT_EQ(GetWindowLongPtrW(later, GWLP_WNDPROC), GetClassLongPtrW(later, GCLP_WNDPROC));
  DestroyWindow(later);
  host.Start(false);
  auto titles = MenuBarTitles(host.Main());
  EXPECT_EQ(std::count(titles.begin(), titles.end(), L"Vesk"), 0);
}

TEST_F(Attachment, APopupWithoutTheFullCaptionIsNotTakenForTheMainWindow) {
  host.LoadExtension();
  HWND popup = CreateWindowExW(0, L"STATIC", L"popup", WS_POPUP | WS_BORDER, 0, 0, 100, 100, nullptr, nullptr,
                               nullptr, nullptr);
  ASSERT_TRUE(popup != nullptr);
  EXPECT_EQ(GetWindowLongPtrW(popup, GWLP_WNDPROC), GetClassLongPtrW(popup, GCLP_WNDPROC));
  DestroyWindow(popup);
  HWND main = CreateTaskManagerWindow(GetModuleHandleW(nullptr), HostOptions());
  ASSERT_TRUE(main != nullptr);
  EXPECT_EQ(MenuBarTitles(main).back(), L"Vesk");
  DestroyWindow(main);
  PumpMessages(nullptr);
}

TEST_F(Attachment, UnloadedBeforeTheMainWindowTheLibraryLeavesItAlone) {
  ASSERT_TRUE(host.LoadExtension() != nullptr);
  FreeLibrary(host.Extension());
  host.Start(false);
  auto titles = MenuBarTitles(host.Main());
  EXPECT_EQ(std::count(titles.begin(), titles.end(), L"Vesk"), 0);
  host.Command(host.Main(), kNextTab);
  EXPECT_EQ(SendMessageW(host.Tabs(), TCM_GETCURSEL, 0, 0), 2);
}

// The System process's row is green in the Windows XP build at once; the
// Windows 2000 build checks and colours nothing.
TEST_F(Attachment, OnlyTheXpBuildColoursProcessRows) {
  host.Start();
  Record record = {};
  record.id = 4;
  record.name = L"System";
  NMLVCUSTOMDRAW draw = {};
  draw.nmcd.hdr = {host.ProcessList(), 1009, UINT(NM_CUSTOMDRAW)};
  draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
  draw.nmcd.lItemlParam = reinterpret_cast<LPARAM>(&record);
  draw.clrTextBk = CLR_DEFAULT;
  SendMessageW(host.ProcessesPage(), WM_NOTIFY, 1009, reinterpret_cast<LPARAM>(&draw));
  EXPECT_EQ(draw.clrTextBk, XpBuild() ? COLORREF(0xE0FFE0) : CLR_DEFAULT);
}

// Each list's tooltip, as it is about to show, is put where the mouse is and
// told so (TRUE): the process list in both builds, the two pages' lists in
// the Windows XP build (the Windows 2000 build has no tips there).
TEST_F(Attachment, EveryListPlacesItsTipAtTheMouse) {
  host.Start();
  std::vector<HWND> lists = {host.ProcessList()};
  // The pages' lists, by their first column's header.
  for (HWND child = GetWindow(host.Main(), GW_CHILD); child && XpBuild();
       child = GetWindow(child, GW_HWNDNEXT)) {
    HWND list = GetDlgItem(child, 1001);
    std::wstring header = list ? ListColumnTitle(list, 0) : L"";
    if (header == L"Service Name" || header == L"Process") lists.push_back(list);
  }
  ASSERT_EQ(lists.size(), XpBuild() ? 3u : 1u);
  for (HWND list : lists) {
    HWND tip = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETTOOLTIPS, 0, 0));
    ASSERT_TRUE(tip != nullptr);
    SetWindowPos(tip, nullptr, 0, 0, 100, 30, SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_TRUE(SetCursorPos(300, 200));
    NMHDR show = {tip, 0, UINT(TTN_SHOW)};
    EXPECT_EQ(SendMessageW(list, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&show)), TRUE);
    RECT placed = {};
    GetWindowRect(tip, &placed);
    EXPECT_EQ(placed.left, 300);
    EXPECT_EQ(placed.top, 200);
  }
}

// Leaving the compact view gives the main window a fresh menu bar of Task
// Manager's own; "Vesk" is its last entry again, once.
TEST_F(Attachment, TaskManagersDoubleClickWorksOnItsOwnPagesAndKeepsTheMenu) {
  host.Start();
  SendMessageW(host.Main(), WM_LBUTTONDBLCLK, 0, MAKELPARAM(2, 2));
  EXPECT_EQ(GetMenu(host.Main()), nullptr);
  SendMessageW(host.Main(), WM_LBUTTONDBLCLK, 0, MAKELPARAM(2, 2));
  ASSERT_NE(GetMenu(host.Main()), nullptr);
  auto titles = MenuBarTitles(host.Main());
  EXPECT_EQ(titles.back(), L"Vesk");
  EXPECT_EQ(std::count(titles.begin(), titles.end(), L"Vesk"), 1);
  SendMessageW(host.Main(), WM_TIMER, 1, 0);
  host.Command(host.Main(), kNextTab);
  titles = MenuBarTitles(host.Main());
  EXPECT_EQ(titles.back(), L"Vesk");
  EXPECT_EQ(std::count(titles.begin(), titles.end(), L"Vesk"), 1);
}

// Once the main window is taken, an unload by the loader leaves the library
// mapped: Task Manager's windows still call into it.
TEST_F(Attachment, OnceTheMainWindowIsTakenTheLibraryStaysMapped) {
  host.Start();
  wchar_t path[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(host.Extension(), path, MAX_PATH), 0u);
  FreeLibrary(host.Extension());
  EXPECT_EQ(GetModuleHandleW(path), host.Extension());
  host.Command(host.Main(), kNextTab);
  EXPECT_EQ(MenuBarTitles(host.Main()).back(), L"Vesk");
}

class PrioritySaving : public testing::Test {
 protected:
  void SetUp() override {
    host.Start();
    ASSERT_TRUE(host.RefreshUntil([&] { return host.RowOfProcess(child.Id()) >= 0; }));
    host.SelectRow(host.RowOfProcess(child.Id()));
  }
  void TearDown() override { host.Stop(); }

  // Runs a Set Priority command, answering Task Manager's confirmation.
  void SetPriority(UINT command, UINT answer) {
    EXPECT_EQ(RunAnswering([&] { host.Command(host.ProcessesPage(), command); }, PressInMessageBox(answer)),
              0);
  }
  DWORD ChildPriority() { return GetPriorityClass(child.Handle()); }

  // Opens the process context menu as a right click does and returns the
  // "&Save Priority" item's state: -1 when it is missing, else MF_CHECKED or 0.
  int SavePriorityItemState() {
    int state = -1;
    RECT row = {LVIR_BOUNDS, 0, 0, 0};
    SendMessageW(host.ProcessList(), LVM_GETITEMRECT, host.RowOfProcess(child.Id()),
                 reinterpret_cast<LPARAM>(&row));
    POINT point = {row.left + 5, row.top + 3};
    ClientToScreen(host.ProcessList(), &point);
    int unanswered = RunAnswering(
        [&] {
          SendMessageW(host.ProcessesPage(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(host.ProcessList()),
                       MAKELPARAM(point.x, point.y));
        },
        [&](HWND window) {
          if (!IsWindowClass(window, L"#32768")) return false;
          HMENU popup = reinterpret_cast<HMENU>(SendMessageW(window, MN_GETHMENU, 0, 0));
          for (int i = 0; popup && i < GetMenuItemCount(popup); ++i) {
            HMENU priorities = GetSubMenu(popup, i);
            if (!priorities || GetMenuItemID(priorities, 0) != kRealtime) continue;
            int last = GetMenuItemCount(priorities) - 1;
            if (GetMenuItemID(priorities, last) == kSavePriority &&
                MenuItemText(priorities, last) == L"&Save Priority" &&
                (GetMenuState(priorities, last - 1, MF_BYPOSITION) & MF_SEPARATOR))
              state = int(GetMenuState(priorities, last, MF_BYPOSITION) & MF_CHECKED);
          }
          PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
          return true;
        });
    EXPECT_EQ(unanswered, 0);
    return state;
  }

  TaskManagerHost host;
  ChildProcess child;
};

TEST_F(PrioritySaving, AChangedPriorityIsStoredUnderTheImageName) {
  SetPriority(kHigh, IDYES);
  ASSERT_EQ(ChildPriority(), DWORD(HIGH_PRIORITY_CLASS));
  EXPECT_EQ(IniValue(kChildImage, L"Priority"), L"High");
  SetPriority(kIdle, IDYES);
  ASSERT_EQ(ChildPriority(), DWORD(IDLE_PRIORITY_CLASS));
  EXPECT_EQ(IniValue(kChildImage, L"Priority"), L"Idle");
  // Section names are matched without regard to case.
  EXPECT_EQ(IniValue(L"IDLE_CHILD.EXE", L"Priority"), L"Idle");
}

TEST_F(PrioritySaving, CancelledOrUnchangedPrioritiesWriteNothing) {
  SetPriority(kRealtime, IDNO);
  EXPECT_EQ(ChildPriority(), DWORD(NORMAL_PRIORITY_CLASS));
  SetPriority(kNormal, IDYES);
  EXPECT_EQ(ChildPriority(), DWORD(NORMAL_PRIORITY_CLASS));
  EXPECT_EQ(IniValue(kChildImage, L"Priority"), L"");
}

TEST_F(PrioritySaving, SavePriorityShowsTheSwitchAndTurnsRecordingOff) {
  EXPECT_EQ(SavePriorityItemState(), int(MF_CHECKED));
  WritePrivateProfileStringW(kChildImage, L"SavePriority", L"0", L"vesk.ini");
  EXPECT_EQ(SavePriorityItemState(), 0);
  SetPriority(kHigh, IDYES);
  ASSERT_EQ(ChildPriority(), DWORD(HIGH_PRIORITY_CLASS));
  EXPECT_EQ(IniValue(kChildImage, L"Priority"), L"");
  host.Command(host.ProcessesPage(), kSavePriority);
  EXPECT_EQ(IniValue(kChildImage, L"SavePriority"), L"1");
  EXPECT_EQ(SavePriorityItemState(), int(MF_CHECKED));
  SetPriority(kIdle, IDYES);
  EXPECT_EQ(IniValue(kChildImage, L"Priority"), L"Idle");
  host.Command(host.ProcessesPage(), kSavePriority);
  EXPECT_EQ(IniValue(kChildImage, L"SavePriority"), L"0");
}

TEST_F(PrioritySaving, TwoProcessesOfOneImageShareTheSwitchAndThePriority) {
  ChildProcess second;
  ASSERT_TRUE(host.RefreshUntil([&] { return host.RowOfProcess(second.Id()) >= 0; }));
  host.SelectRow(host.RowOfProcess(second.Id()));
  host.Command(host.ProcessesPage(), kSavePriority);
  EXPECT_EQ(IniValue(kChildImage, L"SavePriority"), L"0");
  host.SelectRow(host.RowOfProcess(child.Id()));
  EXPECT_EQ(SavePriorityItemState(), 0);
  host.Command(host.ProcessesPage(), kSavePriority);
  SetPriority(kHigh, IDYES);
  host.SelectRow(host.RowOfProcess(second.Id()));
  SetPriority(kIdle, IDYES);
  EXPECT_EQ(IniValue(kChildImage, L"Priority"), L"Idle");
}

// Task Manager removes the row of an ended process and frees its record; the
// extension must not act on that record afterwards, but on the row that is
// selected now.
TEST_F(PrioritySaving, TheSelectedProcessIsNotUsedAfterItsRowIsGone) {
  HWND list = host.ProcessList();
  // Two rows selected at once: the child's, and then the row of a process
  // that ends while the child's row stays selected.
  SetWindowLongW(list, GWL_STYLE, GetWindowLongW(list, GWL_STYLE) & ~LVS_SINGLESEL);
  Record ended = {{}, child.Id(), {}, L"ended.exe"};
  LVITEMW item = {};
  item.mask = LVIF_TEXT | LVIF_PARAM;
  item.pszText = const_cast<wchar_t*>(ended.name);
  item.lParam = reinterpret_cast<LPARAM>(&ended);
  SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  host.SelectRow(0);
  SendMessageW(list, LVM_DELETEITEM, 0, 0);
  ended.name = L"reused.exe";  // the freed record's memory, used again
  ASSERT_GE(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED), 0);
  SetPriority(kHigh, IDYES);
  ASSERT_EQ(ChildPriority(), DWORD(HIGH_PRIORITY_CLASS));
  EXPECT_EQ(IniValue(kChildImage, L"Priority"), L"High");
  EXPECT_EQ(IniValue(L"ended.exe", L"Priority"), L"");
  EXPECT_EQ(IniValue(L"reused.exe", L"Priority"), L"");
}

// Wine has no process with an id of 16 or below. The child's record is given
// the id 8, and OpenProcess in Task Manager and in the extension reaches the
// child for it: Task Manager changes the child's priority, and the extension
// must still record nothing.
DWORD gChildForLowId = 0;
decltype(&OpenProcess) gRealOpenProcess = nullptr;

HANDLE WINAPI OpenProcessMappingLowId(DWORD access, BOOL inherit, DWORD processId) {
  return gRealOpenProcess(access, inherit, processId == 8 ? gChildForLowId : processId);
}

TEST_F(PrioritySaving, TheSystemsOwnProcessIdsAreNeverRecorded) {
  gChildForLowId = child.Id();
  HMODULE modules[] = {GetModuleHandleW(nullptr), host.Extension()};
  for (HMODULE module : modules) {
    void* real = ReplaceImport(module, "KERNEL32.dll", "OpenProcess",
                               reinterpret_cast<void*>(&OpenProcessMappingLowId));
    ASSERT_TRUE(real != nullptr);
    gRealOpenProcess = reinterpret_cast<decltype(&OpenProcess)>(real);
  }
  auto record = GetListItemParam(host.ProcessList(), host.RowOfProcess(child.Id()));
  ASSERT_TRUE(record.has_value());
  DWORD* id = reinterpret_cast<DWORD*>(*record + 8);
  *id = 8;
  // Selected afresh, so that the extension reads the changed record.
  LVITEMW none = {};
  none.stateMask = LVIS_SELECTED;
  SendMessageW(host.ProcessList(), LVM_SETITEMSTATE, WPARAM(-1), reinterpret_cast<LPARAM>(&none));
  host.SelectRow(host.RowOfProcess(8));
  SetPriority(kHigh, IDYES);
  SetPriority(kIdle, IDYES);
  EXPECT_EQ(ChildPriority(), DWORD(IDLE_PRIORITY_CLASS)) << "Task Manager acted on the child";
  *id = child.Id();
  for (HMODULE module : modules)
    ReplaceImport(module, "KERNEL32.dll", "OpenProcess", reinterpret_cast<void*>(gRealOpenProcess));
  EXPECT_EQ(IniValue(kChildImage, L"Priority"), L"");
}

class AffinitySaving : public PrioritySaving {
 protected:
  // Runs the affinity command; the dialog's CPU boxes get the given mask
  // (none: left as they are) and the dialog is ended with the button.
  void SetAffinity(DWORD_PTR mask, UINT button) {
    int unanswered =
        RunAnswering([&] { host.Command(host.ProcessesPage(), kAffinity); },
                     [&](HWND window) {
                       if (!GetDlgItem(window, 1100)) return false;
                       for (int cpu = 0; mask && cpu < 32; ++cpu)
                         if (HWND box = GetDlgItem(window, 1100 + cpu))
                           SendMessageW(box, BM_SETCHECK, (mask >> cpu) & 1 ? BST_CHECKED : 0, 0);
                       PostMessageW(window, WM_COMMAND, button, 0);
                       return true;
                     });
    EXPECT_EQ(unanswered, 0);
  }
  DWORD_PTR ChildAffinity() {
    DWORD_PTR process = 0, system = 0;
    GetProcessAffinityMask(child.Handle(), &process, &system);
    return process;
  }
  bool TwoProcessors() {
    DWORD_PTR process = 0, system = 0;
    GetProcessAffinityMask(GetCurrentProcess(), &process, &system);
    return (system & 3) == 3;
  }
};

TEST_F(AffinitySaving, AChangedAffinityIsStoredAsDecimal) {
  if (!TwoProcessors()) GTEST_SKIP() << "needs two processors";
  SetAffinity(1, IDOK);
  ASSERT_EQ(ChildAffinity(), DWORD_PTR(1));
  EXPECT_EQ(IniValue(kChildImage, L"Affinity"), L"1");
  SetAffinity(3, IDOK);
  ASSERT_EQ(ChildAffinity(), DWORD_PTR(3));
  EXPECT_EQ(IniValue(kChildImage, L"Affinity"), L"3");
}

// The whole way a saved priority takes: Task Manager saves it through the
// extension, and vesksvc applies it to the next process of that image; an
// image whose saving is off keeps its own values.
TEST_F(AffinitySaving, TheServiceAppliesWhatTaskManagerSavedToTheNextProcessOfTheImage) {
  if (!TwoProcessors()) GTEST_SKIP() << "needs two processors";
  SetPriority(kHigh, IDYES);
  SetAffinity(1, IDOK);
  ASSERT_EQ(IniValue(kChildImage, L"Priority"), L"High");
  ASSERT_EQ(IniValue(kChildImage, L"Affinity"), L"1");
  wchar_t folder[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  const wchar_t kOffImage[] = L"vesk_saving_off.exe";
  std::wstring offPath = std::wstring(folder) + kOffImage;
  ASSERT_TRUE(CopyFileW(HostPath("VESK_IDLE_CHILD").c_str(), offPath.c_str(), FALSE));
  WritePrivateProfileStringW(kOffImage, L"SavePriority", L"0", L"vesk.ini");
  WritePrivateProfileStringW(kOffImage, L"Priority", L"High", L"vesk.ini");
  WritePrivateProfileStringW(kOffImage, L"Affinity", L"1", L"vesk.ini");

  ASSERT_TRUE(vesksvc_control::Install(HostPath("VESK_SERVICE")));
  ASSERT_TRUE(vesksvc_control::Start());
  struct StopService {
    ~StopService() { vesksvc_control::Stop(); }
  } stopService;
  ChildProcess off(offPath);
  ChildProcess next;
  auto affinity = [](const ChildProcess& process) {
    DWORD_PTR mask = 0, system = 0;
    GetProcessAffinityMask(process.Handle(), &mask, &system);
    return mask;
  };
  bool applied = false;
  for (DWORD start = GetTickCount(); !applied && GetTickCount() - start < 10000; Sleep(50))
    applied = GetPriorityClass(next.Handle()) == DWORD(HIGH_PRIORITY_CLASS) && affinity(next) == 1;
  EXPECT_TRUE(applied) << std::hex << GetPriorityClass(next.Handle()) << " " << affinity(next);
  // Started before the other one, so the service has seen it too.
  EXPECT_EQ(GetPriorityClass(off.Handle()), DWORD(NORMAL_PRIORITY_CLASS));
  EXPECT_EQ(affinity(off) & 3, DWORD_PTR(3));
  WritePrivateProfileStringW(kOffImage, nullptr, nullptr, L"vesk.ini");
}

// A machine with 32 processors, as far as Task Manager and the extension can
// tell: the child's mask lives here.
DWORD_PTR gFakeMask = 1;

BOOL WINAPI FakeGetProcessAffinityMask(HANDLE, PDWORD_PTR process, PDWORD_PTR system) {
  *process = gFakeMask;
  *system = 0xFFFFFFFF;
  return TRUE;
}

BOOL WINAPI FakeSetProcessAffinityMask(HANDLE, DWORD_PTR mask) {
  gFakeMask = mask;
  return TRUE;
}

// Masks whose decimal, hexadecimal and unsigned forms differ: 10 ("A" in
// hexadecimal) and masks with bit 31, the sign bit.
TEST_F(AffinitySaving, MasksAreStoredAsSignedDecimalUpToBit31) {
  struct Replaced {
    HMODULE module;
    const char* name;
    void* real;
  };
  std::vector<Replaced> replaced;
  for (HMODULE module : {GetModuleHandleW(nullptr), host.Extension()}) {
    for (auto [name, fake] :
         {std::pair<const char*, void*>{"GetProcessAffinityMask",
                                        reinterpret_cast<void*>(&FakeGetProcessAffinityMask)},
          {"SetProcessAffinityMask", reinterpret_cast<void*>(&FakeSetProcessAffinityMask)}}) {
      if (void* real = ReplaceImport(module, "KERNEL32.dll", name, fake))
        replaced.push_back({module, name, real});
    }
  }
  ASSERT_EQ(replaced.size(), 3u) << "Task Manager reads and sets, the extension reads";
  gFakeMask = 1;
  const std::pair<DWORD_PTR, const wchar_t*> cases[] = {
      {10, L"10"}, {0x80000000, L"-2147483648"}, {0x80000003, L"-2147483645"}, {0xFFFFFFFF, L"-1"}};
  for (const auto& [mask, stored] : cases) {
    SetAffinity(mask, IDOK);
    EXPECT_EQ(gFakeMask, mask);
    EXPECT_EQ(IniValue(kChildImage, L"Affinity"), stored) << mask;
  }
  for (const Replaced& r : replaced) ReplaceImport(r.module, "KERNEL32.dll", r.name, r.real);
}

TEST_F(AffinitySaving, CancelledOrUnchangedAffinitiesWriteNothing) {
  if (!TwoProcessors()) GTEST_SKIP() << "needs two processors";
  DWORD_PTR before = ChildAffinity();
  SetAffinity(1, IDCANCEL);
  EXPECT_EQ(ChildAffinity(), before);
  SetAffinity(0, IDOK);
  EXPECT_EQ(ChildAffinity(), before);
  EXPECT_EQ(IniValue(kChildImage, L"Affinity"), L"");
  host.Command(host.ProcessesPage(), kSavePriority);
  SetAffinity(1, IDOK);
  EXPECT_EQ(ChildAffinity(), DWORD_PTR(1));
  EXPECT_EQ(IniValue(kChildImage, L"Affinity"), L"");
}

}  // namespace
