#include "task_manager.h"

#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <initializer_list>
#include <string>
#include <vector>

#include "process_table.h"
#include "resource_ids.h"

namespace {

constexpr UINT_PTR kRefreshTimer = 1;
constexpr int kMaxPages = 5;
constexpr int kApplicationsPage = 0;
constexpr int kProcessesPage = 1;
constexpr int kPerformancePage = 2;

struct TaskManager {
  HINSTANCE instance = nullptr;
  TaskManagerOptions options;
  HWND main = nullptr;
  HWND tabs = nullptr;
  HWND status = nullptr;
  HWND pages[kMaxPages] = {};
  int pageCount = 0;
  int current = -1;
  bool compact = false;
  bool alwaysOnTop = false;
  UINT speedCommand = ID_SPEED_NORMAL;
  HACCEL accelerators = nullptr;
  ProcessTable processes;
};

// One main window per thread, as in Task Manager.
thread_local TaskManager* g_taskManager = nullptr;

UINT SpeedMilliseconds(UINT command) {
  switch (command) {
    case ID_SPEED_HIGH:
      return 500;
    case ID_SPEED_LOW:
      return 4000;
    case ID_SPEED_PAUSED:
      return 0;
  }
  return 1000;
}

void Warn(HWND owner, const wchar_t* caption, DWORD error) {
  wchar_t text[512] = L"";
  FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, 512,
                 nullptr);
  if (!text[0]) swprintf(text, 512, L"Error %lu", static_cast<unsigned long>(error));
  MessageBoxW(owner, text, caption, MB_OK | MB_ICONERROR);
}

// ---- Applications page: the visible top-level windows with a title.

BOOL CALLBACK AddTask(HWND window, LPARAM context) {
  auto* tasks = reinterpret_cast<std::vector<std::wstring>*>(context);
  if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER) || window == g_taskManager->main) return TRUE;
  wchar_t title[256];
  if (GetWindowTextW(window, title, 256) > 0) tasks->push_back(title);
  return TRUE;
}

void RefreshApplications(HWND page) {
  HWND list = GetDlgItem(page, IDC_TASK_LIST);
  std::vector<std::wstring> tasks;
  EnumWindows(&AddTask, reinterpret_cast<LPARAM>(&tasks));
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  for (size_t i = 0; i < tasks.size(); ++i) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = int(i);
    item.pszText = &tasks[i][0];
    int index = int(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    item.iSubItem = 1;
    item.pszText = const_cast<wchar_t*>(L"Running");
    SendMessageW(list, LVM_SETITEMTEXTW, index, reinterpret_cast<LPARAM>(&item));
  }
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
}

// ---- Performance page: memory and process counts as text.

void RefreshPerformance(HWND page) {
  MEMORYSTATUS memory = {};
  memory.dwLength = sizeof memory;
  GlobalMemoryStatus(&memory);
  wchar_t text[512];
  swprintf(text, 512,
           L"Processes: %d\r\n\r\nPhysical Memory (K)\r\n    Total: %lu\r\n    Available: %lu\r\n\r\n"
           L"Commit Charge (K)\r\n    Total: %lu\r\n    Limit: %lu\r\n\r\nMemory load: %lu%%",
           g_taskManager->processes.Count(), static_cast<unsigned long>(memory.dwTotalPhys / 1024),
           static_cast<unsigned long>(memory.dwAvailPhys / 1024),
           static_cast<unsigned long>((memory.dwTotalPageFile - memory.dwAvailPageFile) / 1024),
           static_cast<unsigned long>(memory.dwTotalPageFile / 1024),
           static_cast<unsigned long>(memory.dwMemoryLoad));
  SetDlgItemTextW(page, IDC_PERFORMANCE_TEXT, text);
}

// ---- Networking page: the adapters as text.

void RefreshNetworking(HWND page) {
  SetDlgItemTextW(page, IDC_NETWORKING_TEXT, L"Local Area Connection\r\n    Network Utilization: 0 %");
}

// ---- Users page: the user of this session.

void RefreshUsers(HWND page) {
  HWND list = GetDlgItem(page, IDC_USER_LIST);
  wchar_t user[256] = L"";
  DWORD length = 256;
  GetUserNameW(user, &length);
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  LVITEMW item = {};
  item.mask = LVIF_TEXT;
  item.pszText = user;
  SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  item.iSubItem = 1;
  item.pszText = const_cast<wchar_t*>(L"Active");
  SendMessageW(list, LVM_SETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&item));
}

// ---- Processes page.

bool ConfirmPriorityChange(HWND owner) {
  return MessageBoxW(
             owner,
             L"WARNING: Changing the priority class of this process may cause undesired results including "
             L"system instability. Are you sure you want to change the priority class?",
             L"Task Manager Warning", MB_YESNO | MB_ICONWARNING) == IDYES;
}

DWORD PriorityClassOfCommand(UINT command) {
  switch (command) {
    case ID_PRIORITY_REALTIME:
      return REALTIME_PRIORITY_CLASS;
    case ID_PRIORITY_ABOVE_NORMAL:
      return ABOVE_NORMAL_PRIORITY_CLASS;
    case ID_PRIORITY_HIGH:
      return HIGH_PRIORITY_CLASS;
    case ID_PRIORITY_NORMAL:
      return NORMAL_PRIORITY_CLASS;
    case ID_PRIORITY_BELOW_NORMAL:
      return BELOW_NORMAL_PRIORITY_CLASS;
  }
  return IDLE_PRIORITY_CLASS;
}

void SetPriority(HWND page, UINT command) {
  ProcessRecord* record = g_taskManager->processes.Selected();
  if (!record || !ConfirmPriorityChange(page)) return;
  HANDLE process = OpenProcess(PROCESS_SET_INFORMATION, FALSE, record->processId);
  if (!process || !SetPriorityClass(process, PriorityClassOfCommand(command)))
    Warn(page, L"Unable to Change Priority", GetLastError());
  if (process) CloseHandle(process);
  g_taskManager->processes.Refresh();
}

void EndProcess(HWND page) {
  ProcessRecord* record = g_taskManager->processes.Selected();
  if (!record) return;
  if (MessageBoxW(
          page,
          L"WARNING: Terminating a process can cause undesired results including loss of data and system "
          L"instability. Are you sure you want to terminate the process?",
          L"Task Manager Warning", MB_YESNO | MB_ICONWARNING) != IDYES)
    return;
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, record->processId);
  if (!process || !TerminateProcess(process, 1)) Warn(page, L"Unable to Terminate Process", GetLastError());
  if (process) CloseHandle(process);
  g_taskManager->processes.Refresh();
}

struct AffinityChoice {
  DWORD_PTR process;
  DWORD_PTR system;
};

INT_PTR CALLBACK AffinityProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* choice = reinterpret_cast<AffinityChoice*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      choice = reinterpret_cast<AffinityChoice*>(lParam);
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      HFONT font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
      for (int cpu = 0; cpu < 32; ++cpu) {
        if (!(choice->system & (DWORD_PTR(1) << cpu))) continue;
        RECT box = {7 + (cpu % 4) * 46, 30 + (cpu / 4) * 12, 7 + (cpu % 4) * 46 + 44,
                    30 + (cpu / 4) * 12 + 10};
        MapDialogRect(dialog, &box);
        wchar_t name[16];
        swprintf(name, 16, L"CPU %d", cpu);
        HWND check =
            CreateWindowExW(0, L"BUTTON", name, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX,
                            box.left, box.top, box.right - box.left, box.bottom - box.top, dialog,
                            reinterpret_cast<HMENU>(INT_PTR(IDC_AFFINITY_FIRST_CPU + cpu)), nullptr, nullptr);
        SendMessageW(check, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        CheckDlgButton(dialog, IDC_AFFINITY_FIRST_CPU + cpu,
                       (choice->process & (DWORD_PTR(1) << cpu)) ? BST_CHECKED : BST_UNCHECKED);
      }
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        DWORD_PTR mask = 0;
        for (int cpu = 0; cpu < 32; ++cpu)
          if (IsDlgButtonChecked(dialog, IDC_AFFINITY_FIRST_CPU + cpu) == BST_CHECKED)
            mask |= DWORD_PTR(1) << cpu;
        if (!mask) {
          MessageBoxW(dialog, L"The process must have affinity with at least one processor.",
                      L"Invalid Option", MB_OK | MB_ICONERROR);
          return TRUE;
        }
        choice->process = mask;
        EndDialog(dialog, IDOK);
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
        return TRUE;
      }
      break;
  }
  return FALSE;
}

void SetAffinity(HWND page) {
  ProcessRecord* record = g_taskManager->processes.Selected();
  if (!record) return;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_SET_INFORMATION, FALSE, record->processId);
  AffinityChoice choice = {};
  if (!process || !GetProcessAffinityMask(process, &choice.process, &choice.system)) {
    Warn(page, L"Unable to Access or Set Process Affinity", GetLastError());
  } else {
    DWORD_PTR before = choice.process;
    if (DialogBoxParamW(g_taskManager->instance, MAKEINTRESOURCEW(IDD_AFFINITY), page, &AffinityProcedure,
                        reinterpret_cast<LPARAM>(&choice)) == IDOK &&
        choice.process != before && !SetProcessAffinityMask(process, choice.process))
      Warn(page, L"Unable to Access or Set Process Affinity", GetLastError());
  }
  if (process) CloseHandle(process);
}

void CheckPriorityItem(HMENU priorities, const ProcessRecord* record) {
  for (UINT command = ID_PRIORITY_REALTIME; command <= ID_PRIORITY_IDLE; ++command)
    if (PriorityClassOfCommand(command) == record->priorityClass)
      CheckMenuRadioItem(priorities, ID_PRIORITY_REALTIME, ID_PRIORITY_IDLE, command, MF_BYCOMMAND);
}

// The process context menu, built afresh for each showing.
void ShowProcessMenu(HWND page, LPARAM position) {
  ProcessRecord* record = g_taskManager->processes.Selected();
  if (!record) return;
  POINT point = {static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
  if (position == LPARAM(-1)) GetCursorPos(&point);
  HMENU menu = CreatePopupMenu();
  HMENU priorities = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING, ID_END_PROCESS, L"&End Process");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(priorities, MF_STRING, ID_PRIORITY_REALTIME, L"&Realtime");
  AppendMenuW(priorities, MF_STRING, ID_PRIORITY_HIGH, L"&High");
  AppendMenuW(priorities, MF_STRING, ID_PRIORITY_ABOVE_NORMAL, L"&AboveNormal");
  AppendMenuW(priorities, MF_STRING, ID_PRIORITY_NORMAL, L"&Normal");
  AppendMenuW(priorities, MF_STRING, ID_PRIORITY_BELOW_NORMAL, L"&BelowNormal");
  AppendMenuW(priorities, MF_STRING, ID_PRIORITY_IDLE, L"&Low");
  CheckPriorityItem(priorities, record);
  AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(priorities), L"Set &Priority");
  AppendMenuW(menu, MF_STRING, ID_SET_AFFINITY, L"Set &Affinity...");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, ID_REFRESH_NOW, L"&Refresh Now");
  TrackPopupMenuEx(menu, TPM_LEFTALIGN | TPM_RIGHTBUTTON, point.x, point.y, page, nullptr);
  DestroyMenu(menu);
}

INT_PTR CALLBACK ProcessesProcedure(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_CONTEXTMENU:
      ShowProcessMenu(page, lParam);
      return TRUE;
    case WM_COMMAND: {
      UINT command = LOWORD(wParam);
      if (command >= ID_PRIORITY_REALTIME && command <= ID_PRIORITY_IDLE)
        SetPriority(page, command);
      else if (command == ID_END_PROCESS)
        EndProcess(page);
      else if (command == ID_SET_AFFINITY)
        SetAffinity(page);
      else if (command == ID_REFRESH_NOW)
        SendMessageW(GetParent(page), WM_COMMAND, ID_REFRESH_NOW, 0);
      else
        return FALSE;
      return TRUE;
    }
  }
  return FALSE;
}

INT_PTR CALLBACK PlainPageProcedure(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

void AddColumns(HWND list, std::initializer_list<const wchar_t*> titles) {
  int index = 0;
  for (const wchar_t* title : titles) {
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<wchar_t*>(title);
    column.cx = index == 0 ? 300 : 100;
    SendMessageW(list, LVM_INSERTCOLUMNW, index++, reinterpret_cast<LPARAM>(&column));
  }
}

// ---- Main window.

void SizeList(HWND page, int id) {
  RECT area;
  GetClientRect(page, &area);
  if (HWND control = GetDlgItem(page, id)) MoveWindow(control, 4, 4, area.right - 8, area.bottom - 8, TRUE);
}

// Each page's one control, by page index.
const int kPageControls[kMaxPages] = {IDC_TASK_LIST, IDC_PROCESS_LIST, IDC_PERFORMANCE_TEXT,
                                      IDC_NETWORKING_TEXT, IDC_USER_LIST};

void Layout() {
  TaskManager& tm = *g_taskManager;
  RECT client;
  GetClientRect(tm.main, &client);
  // The status bar sizes itself along the bottom; the compact view has none.
  SendMessageW(tm.status, WM_SIZE, 0, 0);
  if (!tm.compact) {
    RECT bar;
    GetWindowRect(tm.status, &bar);
    client.bottom -= bar.bottom - bar.top;
  }
  RECT area = client;
  if (!tm.compact) {
    MoveWindow(tm.tabs, 4, 4, client.right - 8, client.bottom - 8, TRUE);
    GetWindowRect(tm.tabs, &area);
    MapWindowPoints(nullptr, tm.main, reinterpret_cast<POINT*>(&area), 2);
    TabCtrl_AdjustRect(tm.tabs, FALSE, &area);
  }
  for (int i = 0; i < tm.pageCount; ++i) {
    MoveWindow(tm.pages[i], area.left, area.top, area.right - area.left, area.bottom - area.top, TRUE);
    SizeList(tm.pages[i], kPageControls[i]);
  }
}

void UpdateStatusBar() {
  TaskManager& tm = *g_taskManager;
  wchar_t text[64];
  swprintf(text, 64, L"Processes: %d", tm.processes.Count());
  SendMessageW(tm.status, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(text));
  SendMessageW(tm.status, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(L"CPU Usage: 0%"));
}

// A fresh menu bar for the page shown (none in the compact view).
void BuildMenu() {
  TaskManager& tm = *g_taskManager;
  HMENU old = GetMenu(tm.main);
  HMENU menu = tm.compact ? nullptr : LoadMenuW(tm.instance, MAKEINTRESOURCEW(IDM_MAIN));
  if (menu) {
    CheckMenuRadioItem(menu, ID_SPEED_HIGH, ID_SPEED_PAUSED, tm.speedCommand, MF_BYCOMMAND);
    CheckMenuItem(menu, ID_ALWAYS_ON_TOP, MF_BYCOMMAND | (tm.alwaysOnTop ? MF_CHECKED : MF_UNCHECKED));
  }
  SetMenu(tm.main, menu);
  if (old) DestroyMenu(old);
  Layout();
}

void RefreshCurrent() {
  TaskManager& tm = *g_taskManager;
  tm.processes.Refresh();
  if (tm.current == kApplicationsPage) RefreshApplications(tm.pages[kApplicationsPage]);
  if (tm.current == kPerformancePage) RefreshPerformance(tm.pages[kPerformancePage]);
  if (tm.current == 3) RefreshNetworking(tm.pages[3]);
  if (tm.current == 4) RefreshUsers(tm.pages[4]);
  UpdateStatusBar();
}

void ShowPage(int index) {
  TaskManager& tm = *g_taskManager;
  if (index < 0 || index >= tm.pageCount) return;
  if (index == tm.current && tm.options.ignoreCurrentPageSelection) return;
  for (int i = 0; i < tm.pageCount; ++i)
    if (i != index) ShowWindow(tm.pages[i], SW_HIDE);
  tm.current = index;
  BuildMenu();
  RefreshCurrent();
  ShowWindow(tm.pages[index], SW_SHOW);
  SetWindowPos(tm.pages[index], HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void StepTab(int step) {
  TaskManager& tm = *g_taskManager;
  int count = tm.pageCount;
  int index = (TabCtrl_GetCurSel(tm.tabs) + step + count) % count;
  TabCtrl_SetCurSel(tm.tabs, index);
  ShowPage(index);
}

void SetSpeed(UINT command) {
  TaskManager& tm = *g_taskManager;
  tm.speedCommand = command;
  KillTimer(tm.main, kRefreshTimer);
  if (UINT interval = SpeedMilliseconds(command)) SetTimer(tm.main, kRefreshTimer, interval, nullptr);
  if (HMENU menu = GetMenu(tm.main))
    CheckMenuRadioItem(menu, ID_SPEED_HIGH, ID_SPEED_PAUSED, command, MF_BYCOMMAND);
}

void ToggleCompact() {
  TaskManager& tm = *g_taskManager;
  tm.compact = !tm.compact;
  ShowWindow(tm.tabs, tm.compact ? SW_HIDE : SW_SHOW);
  ShowWindow(tm.status, tm.compact ? SW_HIDE : SW_SHOW);
  BuildMenu();
}

// The pages each Windows version's Task Manager has, in tab order.
int PageCountOf(HostLayout layout) {
  switch (layout) {
    case HostLayout::Windows2000:
      return 3;
    case HostLayout::WindowsXp:
      return 4;
    case HostLayout::WindowsXpUsers:
      break;
  }
  return 5;
}

void InitializeMainWindow(HWND main) {
  TaskManager& tm = *g_taskManager;
  tm.main = main;
  tm.tabs = GetDlgItem(main, IDC_TABS);
  tm.status = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0,
                              main, reinterpret_cast<HMENU>(INT_PTR(IDC_STATUS_BAR)), tm.instance, nullptr);
  const int parts[] = {100, 220, -1};
  SendMessageW(tm.status, SB_SETPARTS, 3, reinterpret_cast<LPARAM>(parts));
  const wchar_t* titles[kMaxPages] = {L"Applications", L"Processes", L"Performance", L"Networking", L"Users"};
  const int templates[kMaxPages] = {IDD_APPLICATIONS_PAGE, IDD_PROCESSES_PAGE, IDD_PERFORMANCE_PAGE,
                                    IDD_NETWORKING_PAGE, IDD_USERS_PAGE};
  tm.pageCount = PageCountOf(tm.options.layout);
  for (int i = 0; i < tm.pageCount; ++i) {
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<wchar_t*>(titles[i]);
    SendMessageW(tm.tabs, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
    tm.pages[i] = CreateDialogParamW(tm.instance, MAKEINTRESOURCEW(templates[i]), main,
                                     i == kProcessesPage ? &ProcessesProcedure : &PlainPageProcedure, 0);
  }
  HWND tasks = GetDlgItem(tm.pages[0], IDC_TASK_LIST);
  SendMessageW(tasks, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
  AddColumns(tasks, {L"Task", L"Status"});
  if (tm.pageCount > 4) AddColumns(GetDlgItem(tm.pages[4], IDC_USER_LIST), {L"User", L"Status"});
  tm.processes.Attach(GetDlgItem(tm.pages[kProcessesPage], IDC_PROCESS_LIST));
  TabCtrl_SetCurSel(tm.tabs, kProcessesPage);
  ShowPage(kProcessesPage);
  SetSpeed(tm.speedCommand);
}

INT_PTR CALLBACK MainProcedure(HWND main, UINT message, WPARAM wParam, LPARAM lParam) {
  TaskManager& tm = *g_taskManager;
  switch (message) {
    case WM_INITDIALOG:
      InitializeMainWindow(main);
      return TRUE;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->idFrom == IDC_TABS && header->code == UINT(TCN_SELCHANGE))
        ShowPage(TabCtrl_GetCurSel(tm.tabs));
      return TRUE;
    }
    case WM_TIMER:
      if (wParam == kRefreshTimer) RefreshCurrent();
      return TRUE;
    case WM_SIZE:
      Layout();
      return TRUE;
    case WM_LBUTTONDBLCLK:
      ToggleCompact();
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case ID_NEXT_TAB:
          StepTab(+1);
          return TRUE;
        case ID_PREVIOUS_TAB:
          StepTab(-1);
          return TRUE;
        case ID_REFRESH_NOW:
          RefreshCurrent();
          return TRUE;
        case ID_SPEED_HIGH:
        case ID_SPEED_NORMAL:
        case ID_SPEED_LOW:
        case ID_SPEED_PAUSED:
          SetSpeed(LOWORD(wParam));
          return TRUE;
        case ID_ALWAYS_ON_TOP:
          tm.alwaysOnTop = !tm.alwaysOnTop;
          SetWindowPos(main, tm.alwaysOnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE);
          CheckMenuItem(GetMenu(main), ID_ALWAYS_ON_TOP,
                        MF_BYCOMMAND | (tm.alwaysOnTop ? MF_CHECKED : MF_UNCHECKED));
          return TRUE;
        case ID_ABOUT_TASK_MANAGER:
          MessageBoxW(main, L"Substitute Windows Task Manager of the Vesk project.", L"About Task Manager",
                      MB_OK | MB_ICONINFORMATION);
          return TRUE;
        case ID_EXIT:
          DestroyWindow(main);
          return TRUE;
      }
      return FALSE;
    case WM_CLOSE:  // the close box and Alt+F4; Esc alone leaves Task Manager open
      DestroyWindow(main);
      return TRUE;
    case WM_DESTROY:
      KillTimer(main, kRefreshTimer);
      return TRUE;
    case WM_NCDESTROY:
      delete g_taskManager;
      g_taskManager = nullptr;
      PostQuitMessage(0);
      return TRUE;
  }
  return FALSE;
}

}  // namespace

bool ParseHostLayout(const wchar_t* text, HostLayout& layout) {
  if (_wcsicmp(text, L"2000") == 0) {
    layout = HostLayout::Windows2000;
  } else if (_wcsicmp(text, L"xp") == 0) {
    layout = HostLayout::WindowsXp;
  } else if (_wcsicmp(text, L"xp-users") == 0) {
    layout = HostLayout::WindowsXpUsers;
  } else {
    return false;
  }
  return true;
}

HWND CreateTaskManagerWindow(HINSTANCE instance, const TaskManagerOptions& options) {
  if (g_taskManager) return nullptr;
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  g_taskManager = new TaskManager;
  g_taskManager->instance = instance;
  g_taskManager->options = options;
  g_taskManager->accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDA_MAIN));
  HWND main = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, &MainProcedure, 0);
  if (!main) {
    delete g_taskManager;
    g_taskManager = nullptr;
  }
  return main;
}

bool TranslateTaskManagerMessage(HWND mainWindow, MSG* message) {
  if (!g_taskManager) return false;
  if (TranslateAcceleratorW(mainWindow, g_taskManager->accelerators, message)) return true;
  return IsDialogMessageW(mainWindow, message) != FALSE;
}
