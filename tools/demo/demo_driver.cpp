// demo_driver OUTPUT_DIR EXTENSION TRANSPORT_SYS VESK_SYS TRAFFIC_EXE [/stay]
// demo_driver /until-closed
//
// Runs the substitute Task Manager (C:\windows\system32\taskmgr.exe) with
// the extension EXTENSION twice and saves pictures of it in OUTPUT_DIR.
//
// First with only the TDI test transport TRANSPORT_SYS loaded, so that the
// TCP/IP page is in table mode: it shows each page in turn (Task Manager's
// next-tab command) as page-N.bmp; then opens the extension menu
// (menu-vesk.bmp) and the process context menu with its Set Priority submenu
// (menu-priority.bmp) as a keyboard user would; then, on the Services page,
// the demo service VeskDemo (installed by run-demo) starting with its
// checkpoint shown (services-starting.bmp), its context menu once it runs
// (menu-service.bmp) and the "Wait..." window of a Restart whose stop it holds
// (wait-window.bmp); last the TCP/IP page with the rows the transport's
// tables hold (tcpip-table.bmp). That Task Manager is closed again.
//
// Then VESK_SYS is loaded over the transport (it cannot be unloaded again,
// and Task Manager opens \\.\vesk once, when it starts), TRAFFIC_EXE opens
// endpoints and keeps bytes moving on them, and a second Task Manager shows
// the TCP/IP page in driver mode: tcpip-driver-1.bmp and, a few seconds
// later, tcpip-driver-2.bmp with the byte totals grown; the context menu of an
// established connection (menu-connection.bmp) and the list's tooltip over a
// row (tip-connection.bmp). Without /stay that Task Manager and the traffic
// are ended; with it both stay, and "demo_driver /until-closed" waits until
// Task Manager is closed and then stops the traffic.
//
// Exits with 0 when every picture was saved.
#include <windows.h>

#include <commctrl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>
#include <cstdio>
#include <string>
#include <vector>

#include "driver_service.h"
#include "test_network.h"

namespace {

// Task Manager's next-tab command.
constexpr WPARAM kNextTab = 40100;

// Checks `condition` every 100 ms until it holds or `timeoutMs` has passed;
// whether it held.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(100);
  }
}

HWND WaitForWindow(const wchar_t* title, DWORD timeoutMs) {
  HWND window = nullptr;
  WaitUntil([&] { return (window = FindWindowW(L"#32770", title)) && IsWindowVisible(window); }, timeoutMs);
  return window && IsWindowVisible(window) ? window : nullptr;
}

// Steps through the tabs until tab `index` is current; whether it is.
bool ShowTab(HWND main, HWND tabs, int index) {
  int count = int(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0));
  for (int step = 0; step < count && SendMessageW(tabs, TCM_GETCURSEL, 0, 0) != index; ++step)
    SendMessageW(main, WM_COMMAND, kNextTab, 0);
  return SendMessageW(tabs, TCM_GETCURSEL, 0, 0) == index;
}

bool SaveScreenPicture(RECT rect, const std::wstring& path) {
  int width = rect.right - rect.left, height = rect.bottom - rect.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool saved = false;
  if (bitmap) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);
    DWORD stride = ((width * 3 + 3) / 4) * 4, size = stride * height;
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + size;
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    saved = out != INVALID_HANDLE_VALUE && WriteFile(out, &file, sizeof file, &written, nullptr) &&
            WriteFile(out, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
            WriteFile(out, bits, size, &written, nullptr);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return saved;
}

bool SaveWindowPicture(HWND window, const std::wstring& path) {
  RECT rect;
  GetWindowRect(window, &rect);
  return SaveScreenPicture(rect, path);
}

void PostKey(HWND window, UINT key) {
  PostMessageW(window, WM_KEYDOWN, key, 0);
  PostMessageW(window, WM_KEYUP, key, 0xC0000000);
}

// The `index`-th visible top-level window of the class (menus, tooltips) of
// the process `processId`, or null.
HWND VisiblePopup(const wchar_t* className, DWORD processId, int index = 0) {
  for (HWND window = nullptr; (window = FindWindowExW(nullptr, window, className, nullptr));) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == processId && IsWindowVisible(window) && index-- == 0) return window;
  }
  return nullptr;
}

// Waits for the `index`-th open menu of the process (0: the menu, 1: its
// submenu); null, with a message naming `what`, when none opens.
HWND WaitForMenu(DWORD processId, int index, const char* what) {
  HWND menu = nullptr;
  if (WaitUntil([&] { return (menu = VisiblePopup(L"#32768", processId, index)) != nullptr; }, 5000))
    return menu;
  fprintf(stderr, "%s did not open\n", what);
  return nullptr;
}

// Closes the open menus of the process with Esc, one level at a time.
bool CloseMenus(HWND main, DWORD processId) {
  int open = 0;
  while (VisiblePopup(L"#32768", processId, open)) ++open;
  for (; open > 0; --open) {
    PostKey(main, VK_ESCAPE);
    if (!WaitUntil([&] { return VisiblePopup(L"#32768", processId, open - 1) == nullptr; }, 5000)) {
      fprintf(stderr, "a menu did not close\n");
      return false;
    }
  }
  return true;
}

struct Popups {
  const wchar_t* className;
  RECT area;
};

BOOL CALLBACK AddOpenPopup(HWND window, LPARAM context) {
  auto* popups = reinterpret_cast<Popups*>(context);
  wchar_t name[32] = {};
  GetClassNameW(window, name, 32);
  if (IsWindowVisible(window) && _wcsicmp(name, popups->className) == 0) {
    RECT rect;
    GetWindowRect(window, &rect);
    UnionRect(&popups->area, &popups->area, &rect);
  }
  return TRUE;
}

// The window with the open popups of a class (menus, tooltips), and nothing
// of the screen around them.
bool SavePictureWithPopups(HWND window, const wchar_t* className, const std::wstring& path) {
  Popups popups = {className, {}};
  GetWindowRect(window, &popups.area);
  EnumWindows(&AddOpenPopup, reinterpret_cast<LPARAM>(&popups));
  return SaveScreenPicture(popups.area, path);
}

bool SaveMenuPicture(HWND window, const std::wstring& path) {
  return SavePictureWithPopups(window, L"#32768", path);
}

// Lets the window repaint after a change before it is pictured: its drawing
// reaches the X server in its own time, which no message reports.
void Settle(HWND window) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
  SendMessageW(window, WM_NULL, 0, 0);
  Sleep(700);
}

// A program the demo starts, ended or waited for by its handle.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (process_) CloseHandle(process_);
  }
  bool Start(std::wstring commandLine) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started)) {
      fprintf(stderr, "cannot start %ls: error %lu\n", commandLine.c_str(), GetLastError());
      return false;
    }
    CloseHandle(started.hThread);
    process_ = started.hProcess;
    id_ = started.dwProcessId;
    return true;
  }
  DWORD Id() const { return id_; }
  HANDLE Handle() const { return process_; }
  bool Ended(DWORD timeoutMs) const { return WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0; }
  DWORD ExitCode() const {
    DWORD code = 0;
    return GetExitCodeProcess(process_, &code) ? code : DWORD(-1);
  }

 private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

const wchar_t kTaskManager[] = L"C:\\windows\\system32\\taskmgr.exe";
const wchar_t kMainTitle[] = L"Windows Task Manager";

// Task Manager's visible main window, of the process `processId` when that is
// not 0.
HWND MainWindowOf(DWORD processId) {
  for (HWND window = nullptr; (window = FindWindowExW(nullptr, window, L"#32770", kMainTitle));) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (IsWindowVisible(window) && (processId == 0 || owner == processId)) return window;
  }
  return nullptr;
}

// One run of the substitute Task Manager with the extension mapped.
struct TaskManagerRun {
  ChildProcess process;
  HWND main = nullptr;
  HWND tabs = nullptr;
};

bool StartTaskManager(const std::wstring& extension, TaskManagerRun& run) {
  if (!run.process.Start(std::wstring(kTaskManager) + L" /extension \"" + extension + L"\"")) return false;
  if (!WaitUntil([&] { return (run.main = MainWindowOf(run.process.Id())) != nullptr; }, 60000)) {
    fprintf(stderr, "Task Manager's main window did not appear\n");
    return false;
  }
  SetForegroundWindow(run.main);
  run.tabs = GetDlgItem(run.main, 1000);
  return true;
}

bool CloseTaskManager(TaskManagerRun& run) {
  PostMessageW(run.main, WM_CLOSE, 0, 0);
  if (run.process.Ended(20000)) return true;
  fprintf(stderr, "Task Manager did not close\n");
  return false;
}

// A list view of Task Manager's process, read and changed from this one: a
// message that carries a pointer gets a buffer inside Task Manager's process.
class RemoteList {
 public:
  using Row = std::vector<std::wstring>;

  explicit RemoteList(HWND list) : list_(list) {
    DWORD owner = 0;
    GetWindowThreadProcessId(list, &owner);
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, owner);
    if (process_)
      buffer_ = static_cast<BYTE*>(VirtualAllocEx(process_, nullptr, kBytes, MEM_COMMIT, PAGE_READWRITE));
    if (!buffer_) fprintf(stderr, "no buffer in Task Manager's process: error %lu\n", GetLastError());
  }
  ~RemoteList() {
    if (buffer_) VirtualFreeEx(process_, buffer_, 0, MEM_RELEASE);
    if (process_) CloseHandle(process_);
  }
  RemoteList(const RemoteList&) = delete;
  RemoteList& operator=(const RemoteList&) = delete;

  bool Usable() const { return buffer_ != nullptr; }
  HWND List() const { return list_; }

  // Every item's cells, in list order.
  std::vector<Row> Rows() const {
    std::vector<Row> rows;
    int columns = int(SendMessageW(ListView_GetHeader(list_), HDM_GETITEMCOUNT, 0, 0));
    int count = int(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0));
    for (int item = 0; item < count; ++item) {
      Row row;
      for (int column = 0; column < columns; ++column) row.push_back(Cell(item, column));
      rows.push_back(row);
    }
    return rows;
  }
  // The item's bounds on the screen, scrolled into view first.
  bool ScreenRect(int item, RECT& rect) const {
    SendMessageW(list_, LVM_ENSUREVISIBLE, item, FALSE);
    rect = {LVIR_BOUNDS, 0, 0, 0};
    if (!Write(&rect, sizeof rect) || !SendMessageW(list_, LVM_GETITEMRECT, item, LPARAM(buffer_)) ||
        !Read(0, &rect, sizeof rect))
      return false;
    MapWindowPoints(list_, nullptr, reinterpret_cast<POINT*>(&rect), 2);
    return true;
  }
  // A right click on the item, as a user makes it: the list selects and
  // focuses the row and asks its page for the context menu at the cursor.
  bool RightClick(int item) const {
    RECT bounds;
    if (!ScreenRect(item, bounds)) return false;
    POINT at = {bounds.left + 60, (bounds.top + bounds.bottom) / 2};
    SetCursorPos(at.x, at.y);
    ScreenToClient(list_, &at);
    PostMessageW(list_, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(at.x, at.y));
    PostMessageW(list_, WM_RBUTTONUP, 0, MAKELPARAM(at.x, at.y));
    return true;
  }

  // Registers the list with its own tooltip as a tool whose text the list
  // gives (TTN_GETDISPINFOW), seeing the mouse through a subclass: what a
  // list view on Windows does, and Wine's does not.
  bool AddTipTool() const {
    HWND tooltip = reinterpret_cast<HWND>(SendMessageW(list_, LVM_GETTOOLTIPS, 0, 0));
    if (!tooltip) return false;
    if (SendMessageW(tooltip, TTM_GETTOOLCOUNT, 0, 0) > 0) return true;
    TTTOOLINFOW tool = {};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = list_;
    tool.uId = reinterpret_cast<UINT_PTR>(list_);
    tool.lpszText = LPSTR_TEXTCALLBACKW;
    return Write(&tool, sizeof tool) && SendMessageW(tooltip, TTM_ADDTOOLW, 0, LPARAM(buffer_));
  }

 private:
  static constexpr SIZE_T kBytes = 4096;
  static constexpr SIZE_T kTextOffset = 256;
  static constexpr int kTextChars = int((kBytes - kTextOffset) / sizeof(wchar_t));

  std::wstring Cell(int item, int column) const {
    LVITEMW cell = {};
    cell.iSubItem = column;
    cell.pszText = reinterpret_cast<wchar_t*>(buffer_ + kTextOffset);
    cell.cchTextMax = kTextChars;
    if (!Write(&cell, sizeof cell)) return L"";
    int length = int(SendMessageW(list_, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(buffer_)));
    std::wstring text(std::max(0, std::min(length, kTextChars - 1)), L'\0');
    if (!text.empty() && !Read(kTextOffset, &text[0], text.size() * sizeof(wchar_t))) return L"";
    return text;
  }

  bool Write(const void* data, SIZE_T bytes) const {
    SIZE_T done = 0;
    return buffer_ && WriteProcessMemory(process_, buffer_, data, bytes, &done) && done == bytes;
  }
  bool Read(SIZE_T offset, void* data, SIZE_T bytes) const {
    SIZE_T done = 0;
    return buffer_ && ReadProcessMemory(process_, buffer_ + offset, data, bytes, &done) && done == bytes;
  }

  HWND list_;
  HANDLE process_ = nullptr;
  BYTE* buffer_ = nullptr;
};

// The first row for which `match` holds, or -1.
template <typename Match>
int FindRow(const std::vector<RemoteList::Row>& rows, Match match) {
  for (size_t item = 0; item < rows.size(); ++item)
    if (match(rows[item])) return int(item);
  return -1;
}

const wchar_t kDemoService[] = L"VeskDemo";
const wchar_t kDemoServiceName[] = L"Vesk Demo Service";
// How far the Restart's "Wait..." progress has come in its picture.
constexpr LRESULT kShownProgress = 3;

// Lets the demo service leave the pending state it holds.
void ReleaseDemoService() {
  if (HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\VeskTestRelease.VeskDemo")) {
    SetEvent(event);
    CloseHandle(event);
  }
}

DWORD DemoServiceState() {
  SERVICE_STATUS status = {};
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, kDemoService, SERVICE_QUERY_STATUS) : nullptr;
  if (service) QueryServiceStatus(service, &status);
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  return status.dwCurrentState;
}

bool WaitForDemoState(DWORD state) {
  return WaitUntil([&] { return DemoServiceState() == state; }, 10000);
}

bool StartDemoService() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, kDemoService, SERVICE_START) : nullptr;
  bool started = service && StartServiceW(service, 0, nullptr);
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  return started;
}

// The Services page's list: the list 1001 of the page shown, with the
// Services list's column widths (column titles cannot be read from another
// process).
HWND ServicesList(HWND main) {
  for (HWND child = GetWindow(main, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    HWND list = GetDlgItem(child, 1001);
    if (list && IsWindowVisible(child) && SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0) == 250 &&
        SendMessageW(list, LVM_GETCOLUMNWIDTH, 1, 0) == 80)
      return list;
  }
  return nullptr;
}

// The demo service's Status cell, or empty when it has no row.
std::wstring DemoServiceStatus(const RemoteList& remote) {
  std::vector<RemoteList::Row> rows = remote.Rows();
  for (const RemoteList::Row& row : rows)
    if (row.size() > 1 && row[0] == kDemoServiceName) return row[1];
  return L"";
}

// The checkpoint a "Starting (N)" status shows, or -1.
int ShownCheckpoint(const std::wstring& status) {
  int checkpoint = -1;
  return swscanf(status.c_str(), L"Starting (%d)", &checkpoint) == 1 ? checkpoint : -1;
}

// Selects the demo service's row as a keyboard user would: the list's
// incremental search.
bool SelectDemoService(const RemoteList& remote) {
  HWND list = remote.List();
  SetForegroundWindow(GetAncestor(list, GA_ROOT));
  PostKey(list, VK_HOME);
  // The list ignores characters without key data.
  for (const wchar_t* c = kDemoServiceName; *c; ++c) PostMessageW(list, WM_CHAR, *c, 1);
  return WaitUntil(
      [&] {
        int selected = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
        std::vector<RemoteList::Row> rows = remote.Rows();
        return selected >= 0 && selected < int(rows.size()) && rows[selected][0] == kDemoServiceName;
      },
      5000);
}

// The demo service starting with its checkpoint shown, its context menu once
// it runs and the "Wait..." window of a Restart.
int ServicesPictures(TaskManagerRun& run, const std::wstring& out) {
  if (!StartDemoService()) {
    fprintf(stderr, "cannot start the demo service\n");
    return 1;
  }
  int count = int(SendMessageW(run.tabs, TCM_GETITEMCOUNT, 0, 0));
  HWND list = nullptr;
  for (int step = 0; step < count && !(list = ServicesList(run.main)); ++step)
    SendMessageW(run.main, WM_COMMAND, kNextTab, 0);
  if (!list) {
    fprintf(stderr, "no Services page\n");
    return 1;
  }
  RemoteList remote(list);
  if (!remote.Usable()) return 1;
  // Task Manager's timer refreshes the page: the checkpoint grows meanwhile.
  if (!WaitUntil([&] { return ShownCheckpoint(DemoServiceStatus(remote)) >= 5; }, 15000) ||
      !SelectDemoService(remote)) {
    fprintf(stderr, "no row for the demo service, starting\n");
    return 1;
  }
  Settle(run.main);
  int result = SaveWindowPicture(run.main, out + L"\\services-starting.bmp") ? 0 : 1;
  ReleaseDemoService();
  int item = FindRow(remote.Rows(), [](const RemoteList::Row& row) { return row[0] == kDemoServiceName; });
  if (!WaitForDemoState(SERVICE_RUNNING) ||
      !WaitUntil([&] { return DemoServiceStatus(remote) == L"Running"; }, 10000) ||
      !remote.RightClick(item)) {
    fprintf(stderr, "the demo service does not show as running\n");
    return 1;
  }
  HWND menu = WaitForMenu(run.process.Id(), 0, "the service's context menu");
  if (!menu) return 1;
  Settle(menu);
  if (!SaveMenuPicture(run.main, out + L"\\menu-service.bmp")) result = 1;
  // Restart: the second item; the service then holds its stop pending.
  PostKey(run.main, VK_DOWN);
  PostKey(run.main, VK_DOWN);
  PostKey(run.main, VK_RETURN);
  HWND wait = WaitForWindow(L"Wait...", 5000);
  if (!wait) {
    fprintf(stderr, "no Wait window\n");
    CloseMenus(run.main, run.process.Id());
    return 1;
  }
  // The window's progress bar moves while the stop is pending.
  HWND progress = FindWindowExW(wait, nullptr, PROGRESS_CLASSW, nullptr);
  if (!WaitUntil([&] { return progress && SendMessageW(progress, PBM_GETPOS, 0, 0) >= kShownProgress; },
                 10000)) {
    fprintf(stderr, "the Wait window shows no progress\n");
    result = 1;
  }
  Settle(wait);
  if (!SaveWindowPicture(run.main, out + L"\\wait-window.bmp")) result = 1;
  PostMessageW(wait, WM_COMMAND, IDCANCEL, 0);
  ReleaseDemoService();
  return result;
}

// The pages one by one, the extension menu and the process context menu.
int PagePictures(TaskManagerRun& run, const std::wstring& out) {
  HWND main = run.main;
  DWORD id = run.process.Id();
  int count = int(SendMessageW(run.tabs, TCM_GETITEMCOUNT, 0, 0));
  int result = count > 0 ? 0 : 1;
  ShowTab(main, run.tabs, 0);
  for (int page = 0; page < count; ++page) {
    Settle(main);
    std::wstring path = out + L"\\page-" + std::to_wstring(page) + L".bmp";
    if (!SaveWindowPicture(main, path)) {
      fprintf(stderr, "cannot save %ls\n", path.c_str());
      result = 1;
    }
    SendMessageW(main, WM_COMMAND, kNextTab, 0);
  }
  // The extension menu: the menu bar's first menu, then left to the last one.
  Settle(main);
  PostMessageW(main, WM_SYSCOMMAND, SC_KEYMENU, 0);
  PostKey(main, VK_LEFT);  // the window's system menu
  PostKey(main, VK_LEFT);  // the menu bar's last entry
  PostKey(main, VK_DOWN);
  HWND menu = WaitForMenu(id, 0, "the Vesk menu");
  if (!menu) return 1;
  Settle(menu);
  if (!SaveMenuPicture(main, out + L"\\menu-vesk.bmp")) result = 1;
  // The menu bar stays in menu mode after its menu has closed: one Esc more.
  if (!CloseMenus(main, id)) return 1;
  PostKey(main, VK_ESCAPE);
  // The process context menu of the first row, with its Set Priority submenu.
  HWND processes = nullptr;
  for (HWND child = GetWindow(main, GW_CHILD); child && !processes; child = GetWindow(child, GW_HWNDNEXT))
    if (GetDlgItem(child, 1009)) processes = child;
  if (!processes || !ShowTab(main, run.tabs, 1)) {
    fprintf(stderr, "no Processes page\n");
    return 1;
  }
  HWND list = GetDlgItem(processes, 1009);
  SetForegroundWindow(main);
  PostKey(list, VK_HOME);
  if (!WaitUntil([&] { return SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED) == 0; }, 5000)) {
    fprintf(stderr, "the process list selects no first row\n");
    return 1;
  }
  RECT row;
  GetWindowRect(list, &row);
  SetCursorPos(row.left + 60, row.top + 40);
  PostMessageW(processes, WM_CONTEXTMENU, WPARAM(list), MAKELPARAM(row.left + 60, row.top + 40));
  if (!WaitForMenu(id, 0, "the process context menu")) return 1;
  PostKey(main, VK_DOWN);
  PostKey(main, VK_DOWN);
  PostKey(main, VK_RIGHT);
  HWND submenu = WaitForMenu(id, 1, "the Set Priority submenu");
  if (!submenu) return 1;
  Settle(submenu);
  if (!SaveMenuPicture(main, out + L"\\menu-priority.bmp")) result = 1;
  if (!CloseMenus(main, id)) return 1;
  return result;
}

// The id of a running process by its image name, or 0.
DWORD ProcessIdOf(const wchar_t* image) {
  DWORD id = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !id; more = Process32NextW(snapshot, &entry))
    if (_wcsicmp(entry.szExeFile, image) == 0) id = entry.th32ProcessID;
  CloseHandle(snapshot);
  return id;
}

// The columns of the TCP/IP page's list.
enum Column {
  kProcess,
  kPid,
  kProto,
  kLocal,
  kRemote,
  kReceived,
  kSent,
  kSpeedIn,
  kSpeedOut,
  kState,
  kColumns
};

// The TCP/IP page's list: the list 1001 of the page shown, with the page's
// ten columns.
HWND ConnectionsList(HWND main) {
  for (HWND child = GetWindow(main, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    HWND list = GetDlgItem(child, 1001);
    if (list && IsWindowVisible(child) &&
        SendMessageW(ListView_GetHeader(list), HDM_GETITEMCOUNT, 0, 0) == kColumns)
      return list;
  }
  return nullptr;
}

// Shows the TCP/IP page (the last tab) with every column of its mode in
// view: the window grows by what the list lacks.
HWND ShowConnectionsPage(HWND main, HWND tabs) {
  int last = int(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0)) - 1;
  HWND list = ShowTab(main, tabs, last) ? ConnectionsList(main) : nullptr;
  if (!list) {
    fprintf(stderr, "no TCP/IP page\n");
    return nullptr;
  }
  int needed = GetSystemMetrics(SM_CXVSCROLL) + 2 * GetSystemMetrics(SM_CXEDGE) + 4;
  for (int column = 0; column < kColumns; ++column)
    needed += int(SendMessageW(list, LVM_GETCOLUMNWIDTH, column, 0));
  RECT shown, window;
  GetClientRect(list, &shown);
  GetWindowRect(main, &window);
  if (needed > shown.right) {
    // Wider, and moved left as far as the screen needs: a picture of the
    // screen can show only what is on it.
    int width = window.right - window.left + needed - shown.right;
    int left = std::max(0, std::min(int(window.left), GetSystemMetrics(SM_CXSCREEN) - width));
    SetWindowPos(main, nullptr, left, window.top, width, window.bottom - window.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  return list;
}

// The rows \\.\Tcp answers with in table mode (the transport's table rows).
struct TcpTableRow {
  uint32_t state, localAddress, localPort, remoteAddress, remotePort, processId;
};
struct UdpTableRow {
  uint32_t localAddress, localPort, processId;
};

// A machine's tables as table mode reads them: the listeners of its
// services, a browser's connections (one closing, one half-open), a
// connection in time-wait, which no process owns any more, and UDP ports;
// owned by processes of the demo's Wine session, so that their names show.
// The number of TCP and UDP rows, or 0 when they cannot be set.
int SetConnectionTables(const demo::TestNetwork& network) {
  using demo::Ip;
  using demo::Port;
  const wchar_t* owners[] = {L"rpcss.exe", L"svchost.exe", L"explorer.exe", L"services.exe"};
  DWORD ids[4] = {};
  for (int i = 0; i < 4; ++i)
    if (!(ids[i] = ProcessIdOf(owners[i]))) {
      fprintf(stderr, "no process %ls to own rows of the TCP table\n", owners[i]);
      return 0;
    }
  DWORD rpcss = ids[0], svchost = ids[1], explorer = ids[2], services = ids[3], system = 4;
  const TcpTableRow tcp[] = {
      {2, 0, Port(135), 0, 0, rpcss},
      {2, 0, Port(445), 0, 0, system},
      {5, demo::kLocalAddress, Port(1031), Ip(198, 51, 100, 7), Port(80), explorer},
      {5, demo::kLocalAddress, Port(1032), Ip(203, 0, 113, 20), Port(443), explorer},
      {8, demo::kLocalAddress, Port(1029), Ip(198, 51, 100, 25), Port(21), explorer},
      {3, demo::kLocalAddress, Port(1035), Ip(203, 0, 113, 80), Port(80), explorer},
      {5, demo::kLocalAddress, Port(1033), Ip(198, 51, 100, 30), Port(443), svchost},
      {11, demo::kLocalAddress, Port(1027), Ip(198, 51, 100, 7), Port(80), 0},
  };
  const UdpTableRow udp[] = {
      {0, Port(123), svchost},
      {demo::kLocalAddress, Port(137), system},
      {demo::kLocalAddress, Port(138), system},
      {0, Port(1026), services},
  };
  if (!network.SetTable(6, tcp, sizeof tcp) || !network.SetTable(17, udp, sizeof udp)) {
    fprintf(stderr, "the test transport did not take the tables\n");
    return 0;
  }
  return int(sizeof tcp / sizeof tcp[0] + sizeof udp / sizeof udp[0]);
}

// Table mode: every row of the tables, each named by its process.
int TablePicture(TaskManagerRun& run, int rows, const std::wstring& out) {
  HWND list = ShowConnectionsPage(run.main, run.tabs);
  if (!list) return 1;
  if (SendMessageW(list, LVM_GETCOLUMNWIDTH, kReceived, 0) != 0) {
    fprintf(stderr, "the TCP/IP page is not in table mode\n");
    return 1;
  }
  RemoteList remote(list);
  if (!remote.Usable()) return 1;
  bool shown = WaitUntil(
      [&] {
        std::vector<RemoteList::Row> cells = remote.Rows();
        return int(cells.size()) == rows &&
               std::none_of(cells.begin(), cells.end(), [](const RemoteList::Row& row) {
                 return row[kProcess].empty() || row[kProcess] == L"<unknown>";
               });
      },
      10000);
  if (!shown) {
    fprintf(stderr, "the TCP/IP page does not show the %d rows of the tables\n", rows);
    return 1;
  }
  Settle(run.main);
  return SaveWindowPicture(run.main, out + L"\\tcpip-table.bmp") ? 0 : 1;
}

bool IsEstablished(const RemoteList::Row& row) { return row[kState] == L"Established"; }

// The connections of the traffic program are all there, and every
// established one shows both speeds.
bool TrafficShown(const std::vector<RemoteList::Row>& rows) {
  auto has = [&](const wchar_t* state) {
    return FindRow(rows, [&](const RemoteList::Row& row) { return row[kState] == state; }) != -1;
  };
  return has(L"Established") && has(L"Listening") && has(L"Connecting") &&
         FindRow(rows, [](const RemoteList::Row& row) { return row[kProto] == L"UDP"; }) != -1 &&
         std::all_of(rows.begin(), rows.end(), [](const RemoteList::Row& row) {
           return !IsEstablished(row) || (!row[kSpeedIn].empty() && !row[kSpeedOut].empty());
         });
}

// Every established connection's byte totals differ from `before`'s.
bool TotalsGrown(const std::vector<RemoteList::Row>& before, const std::vector<RemoteList::Row>& now) {
  for (const RemoteList::Row& row : now) {
    if (!IsEstablished(row)) continue;
    int old = FindRow(before, [&](const RemoteList::Row& earlier) {
      return earlier[kLocal] == row[kLocal] && earlier[kRemote] == row[kRemote];
    });
    if (old == -1 || before[old][kReceived] == row[kReceived] || before[old][kSent] == row[kSent])
      return false;
  }
  return true;
}

constexpr DWORD kSecondPictureAfterMs = 3000;

// The two pictures of the page with the traffic moving, some seconds apart.
int TrafficPictures(TaskManagerRun& run, const RemoteList& remote, const std::wstring& out) {
  if (!WaitUntil([&] { return TrafficShown(remote.Rows()); }, 15000)) {
    fprintf(stderr, "the TCP/IP page does not show the traffic's connections with their speeds\n");
    return 1;
  }
  Settle(run.main);
  if (!SaveWindowPicture(run.main, out + L"\\tcpip-driver-1.bmp")) return 1;
  std::vector<RemoteList::Row> first = remote.Rows();
  // Some seconds of traffic later; the totals grow at every refresh.
  Sleep(kSecondPictureAfterMs);
  if (!WaitUntil([&] { return TotalsGrown(first, remote.Rows()); }, 10000)) {
    fprintf(stderr, "the byte totals on the TCP/IP page do not grow\n");
    return 1;
  }
  Settle(run.main);
  return SaveWindowPicture(run.main, out + L"\\tcpip-driver-2.bmp") ? 0 : 1;
}

// The row of the established connection to the server whose Remote Address
// cell begins with `server`, scrolled into view: its bounds on the screen.
int ConnectionRow(const RemoteList& remote, const wchar_t* server) {
  int item = FindRow(remote.Rows(), [&](const RemoteList::Row& row) {
    return IsEstablished(row) && row[kRemote].compare(0, wcslen(server), server) == 0;
  });
  if (item == -1) fprintf(stderr, "no row for the connection to %ls\n", server);
  return item;
}

// The context menu of the download: a right click on its row (the list
// selects the row and asks its page for the menu at the cursor).
int MenuPicture(TaskManagerRun& run, const RemoteList& remote, const std::wstring& out) {
  int item = ConnectionRow(remote, demo::kDownloadServer);
  if (item == -1 || !remote.RightClick(item)) return 1;
  HWND menu = WaitForMenu(run.process.Id(), 0, "the connection's context menu");
  if (!menu) return 1;
  Settle(menu);
  int result = SaveMenuPicture(run.main, out + L"\\menu-connection.bmp") ? 0 : 1;
  return CloseMenus(run.main, run.process.Id()) ? result : 1;
}

// The list's tooltip over the upload's row, once the cursor rests there.
int TipPicture(TaskManagerRun& run, const RemoteList& remote, const std::wstring& out) {
  int item = ConnectionRow(remote, demo::kUploadServer);
  RECT bounds;
  if (item == -1 || !remote.ScreenRect(item, bounds)) return 1;
  if (!remote.AddTipTool()) {
    fprintf(stderr, "cannot give the list's tooltip its tool\n");
    return 1;
  }
  // From above the list onto the row, as a mouse comes.
  SetCursorPos(bounds.left + 30, bounds.top - 40);
  SetCursorPos(bounds.left + 40, (bounds.top + bounds.bottom) / 2);
  HWND tip = nullptr;
  if (!WaitUntil([&] { return (tip = VisiblePopup(TOOLTIPS_CLASSW, run.process.Id())) != nullptr; }, 8000)) {
    fprintf(stderr, "the list's tooltip did not show\n");
    return 1;
  }
  Settle(tip);
  return SavePictureWithPopups(run.main, TOOLTIPS_CLASSW, out + L"\\tip-connection.bmp") ? 0 : 1;
}

// Driver mode with the traffic moving: two pictures some seconds apart,
// the context menu of an established connection and the tooltip of a row.
int DriverPictures(TaskManagerRun& run, const std::wstring& out) {
  HWND list = ShowConnectionsPage(run.main, run.tabs);
  if (!list) return 1;
  if (SendMessageW(list, LVM_GETCOLUMNWIDTH, kReceived, 0) == 0) {
    fprintf(stderr, "the TCP/IP page is not in driver mode: Task Manager did not open \\\\.\\vesk\n");
    return 1;
  }
  RemoteList remote(list);
  if (!remote.Usable()) return 1;
  int result = TrafficPictures(run, remote, out);
  if (MenuPicture(run, remote, out) != 0) result = 1;
  if (TipPicture(run, remote, out) != 0) result = 1;
  return result;
}

// Starts the traffic program and waits until its endpoints are up.
bool StartTraffic(const std::wstring& program, HANDLE ready, ChildProcess& traffic) {
  if (!traffic.Start(L"\"" + program + L"\"")) return false;
  HANDLE either[] = {ready, traffic.Handle()};
  DWORD woken = WaitForMultipleObjects(2, either, FALSE, 30000);
  if (woken == WAIT_OBJECT_0) return true;
  if (woken == WAIT_OBJECT_0 + 1)
    fprintf(stderr, "the traffic program ended with %lu before its endpoints were up\n", traffic.ExitCode());
  else
    fprintf(stderr, "the traffic program did not get its endpoints up\n");
  return false;
}

bool StartDrivers(const wchar_t* transport, const wchar_t* vesk) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    fprintf(stderr, "no service manager: error %lu\n", GetLastError());
    return false;
  }
  struct {
    const wchar_t *name, *path;
  } drivers[] = {{L"vesk_test_tdi", transport}, {L"vesk", vesk}};
  bool started = true;
  for (const auto& driver : drivers) {
    if (!driver.path || !started) continue;
    if (DWORD error = StartDriver(manager, driver.name, driver.path)) {
      fprintf(stderr, "cannot start the driver %ls (%ls): error %lu\n", driver.name, driver.path, error);
      started = false;
    }
  }
  CloseServiceHandle(manager);
  return started;
}

// With /until-closed: waits until the Task Manager left open is closed,
// then stops the traffic program.
int UntilClosed() {
  HWND main = MainWindowOf(0);
  DWORD owner = 0;
  if (main) GetWindowThreadProcessId(main, &owner);
  HANDLE process = owner ? OpenProcess(SYNCHRONIZE, FALSE, owner) : nullptr;
  if (process) {
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
  }
  if (HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, demo::kTrafficStop)) {
    SetEvent(stop);
    CloseHandle(stop);
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && wcscmp(argv[1], L"/until-closed") == 0) return UntilClosed();
  bool stay = argc == 7 && wcscmp(argv[6], L"/stay") == 0;
  if (argc != 6 && !stay) {
    fprintf(stderr,
            "usage: demo_driver OUTPUT_DIR EXTENSION TRANSPORT_SYS VESK_SYS TRAFFIC_EXE [/stay]\n"
            "       demo_driver /until-closed\n");
    return 2;
  }
  std::wstring out = argv[1], extension = argv[2];
  const wchar_t *transport = argv[3], *vesk = argv[4], *trafficProgram = argv[5];

  // Table mode: the transport alone, its tables set.
  if (!StartDrivers(transport, nullptr)) return 1;
  demo::TestNetwork network;
  if (!network.IsOpen()) {
    fprintf(stderr, "no test transport (\\\\.\\VeskTestTdi): error %lu\n", GetLastError());
    return 1;
  }
  int tableRows = SetConnectionTables(network);
  if (tableRows == 0) return 1;
  int result = 0;
  {
    TaskManagerRun run;
    if (!StartTaskManager(extension, run)) return 1;
    if (PagePictures(run, out) != 0) result = 1;
    if (ServicesPictures(run, out) != 0) result = 1;
    if (TablePicture(run, tableRows, out) != 0) result = 1;
    if (!CloseTaskManager(run)) return 1;
  }
  if (!network.SetTable(6, nullptr, 0) || !network.SetTable(17, nullptr, 0)) {
    fprintf(stderr, "the test transport did not empty its tables\n");
    return 1;
  }

  // Driver mode: vesk over the transport before Task Manager starts, and
  // traffic through both.
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, demo::kTrafficReady);
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, demo::kTrafficStop);
  ChildProcess traffic;
  if (!ready || !stop || !StartDrivers(nullptr, vesk) || !StartTraffic(trafficProgram, ready, traffic))
    return 1;
  TaskManagerRun run;
  if (!StartTaskManager(extension, run)) return 1;
  if (DriverPictures(run, out) != 0) result = 1;
  if (!stay) {
    if (!CloseTaskManager(run)) result = 1;
    SetEvent(stop);
    if (!traffic.Ended(10000) || traffic.ExitCode() != 0) {
      fprintf(stderr, "the traffic program failed\n");
      result = 1;
    }
  }
  CloseHandle(ready);
  CloseHandle(stop);
  printf(result == 0 ? "every picture saved\n" : "some pictures are missing\n");
  return result;
}
