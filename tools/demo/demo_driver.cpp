// demo_driver OUTPUT_DIR: waits for the running Task Manager's main window,
// shows each of its pages in turn (Task Manager's next-tab command) and saves
// a picture of the window for each page as OUTPUT_DIR\page-N.bmp; then opens
// the extension menu (menu-vesk.bmp) and the process context menu with its
// Set Priority submenu (menu-priority.bmp) as a keyboard user would; then,
// on the Services page, the demo service VeskDemo (installed by run-demo)
// starting with its checkpoint shown (services-starting.bmp), its context
// menu once it runs (menu-service.bmp) and the "Wait..." window of a Restart
// whose stop it holds (wait-window.bmp). Exits with 0 when every picture was
// saved.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <cstdio>
#include <string>

namespace {

HWND WaitForWindow(const wchar_t* title, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    HWND window = FindWindowW(L"#32770", title);
    if (window && IsWindowVisible(window)) return window;
    if (GetTickCount() - start > timeoutMs) return nullptr;
    Sleep(100);
  }
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

BOOL CALLBACK AddOpenMenu(HWND window, LPARAM context) {
  wchar_t name[16] = {};
  GetClassNameW(window, name, 16);
  if (IsWindowVisible(window) && wcscmp(name, L"#32768") == 0) {
    RECT menu, *area = reinterpret_cast<RECT*>(context);
    GetWindowRect(window, &menu);
    UnionRect(area, area, &menu);
  }
  return TRUE;
}

// The window with its open menus, and nothing of the screen around them.
bool SaveMenuPicture(HWND window, const std::wstring& path) {
  RECT rect;
  GetWindowRect(window, &rect);
  EnumWindows(&AddOpenMenu, reinterpret_cast<LPARAM>(&rect));
  return SaveScreenPicture(rect, path);
}

void PostKey(HWND window, UINT key) {
  PostMessageW(window, WM_KEYDOWN, key, 0);
  PostMessageW(window, WM_KEYUP, key, 0xC0000000);
}

// Lets the window repaint after a change before it is pictured.
void Settle(HWND window) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
  SendMessageW(window, WM_NULL, 0, 0);
  Sleep(700);
}

const wchar_t kDemoService[] = L"VeskDemo";
const wchar_t kDemoServiceName[] = L"Vesk Demo Service";

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
  for (int i = 0; i < 100 && DemoServiceState() != state; ++i) Sleep(100);
  return DemoServiceState() == state;
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

// Selects the demo service's row as a keyboard user would (the list's
// incremental search) and gives back a point on it. Item rectangles are not
// read: their buffers would have to cross into Task Manager's process.
bool SelectServiceRow(HWND list, POINT& point) {
  SetForegroundWindow(GetAncestor(list, GA_ROOT));
  SetFocus(list);
  PostKey(list, VK_HOME);
  // The list ignores characters without key data.
  for (const wchar_t* c = kDemoServiceName; *c; ++c) PostMessageW(list, WM_CHAR, *c, 1);
  Sleep(500);
  int row = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
  if (row < 0) return false;
  SendMessageW(list, LVM_ENSUREVISIBLE, row, FALSE);
  RECT window;
  GetWindowRect(list, &window);
  int top = int(SendMessageW(list, LVM_GETTOPINDEX, 0, 0));
  int height = HIWORD(SendMessageW(list, LVM_GETITEMSPACING, TRUE, 0));
  // Below the header, in the middle of the row.
  point.x = window.left + 60;
  point.y = window.top + 26 + (row - top) * (height > 0 ? height : 16);
  return true;
}

int ServicesPictures(HWND main, HWND tabs, const std::wstring& out) {
  int result = 0;
  if (!StartDemoService()) {
    fprintf(stderr, "cannot start the demo service\n");
    return 1;
  }
  int count = int(SendMessageW(tabs, 0x1304 /* TCM_GETITEMCOUNT */, 0, 0));
  HWND list = nullptr;
  for (int step = 0; step < count && !(list = ServicesList(main)); ++step) {
    SendMessageW(main, WM_COMMAND, 40100, 0);
    Sleep(200);
  }
  POINT row = {};
  // Task Manager's timer refreshes the page: the checkpoint grows meanwhile.
  Sleep(2500);
  if (!list || !SelectServiceRow(list, row)) {
    fprintf(stderr, "no row for the demo service\n");
    return 1;
  }
  Sleep(1500);
  Settle(main);
  if (!SaveWindowPicture(main, out + L"\\services-starting.bmp")) result = 1;
  ReleaseDemoService();
  WaitForDemoState(SERVICE_RUNNING);
  Sleep(1500);
  HWND page = GetParent(list);
  SetCursorPos(row.x, row.y);
  PostMessageW(page, WM_CONTEXTMENU, WPARAM(list), MAKELPARAM(row.x, row.y));
  Sleep(700);
  if (!SaveMenuPicture(main, out + L"\\menu-service.bmp")) result = 1;
  // Restart: the second item; the service then holds its stop pending.
  PostKey(main, VK_DOWN);
  PostKey(main, VK_DOWN);
  PostKey(main, VK_RETURN);
  HWND wait = WaitForWindow(L"Wait...", 5000);
  if (!wait) {
    fprintf(stderr, "no Wait window\n");
    PostKey(main, VK_ESCAPE);
    return 1;
  }
  Sleep(2000);
  if (!SaveWindowPicture(main, out + L"\\wait-window.bmp")) result = 1;
  PostMessageW(wait, WM_COMMAND, IDCANCEL, 0);
  ReleaseDemoService();
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: demo_driver OUTPUT_DIR\n");
    return 2;
  }
  HWND main = WaitForWindow(L"Windows Task Manager", 60000);
  if (!main) {
    fprintf(stderr, "Task Manager's main window did not appear\n");
    return 1;
  }
  SetForegroundWindow(main);
  HWND tabs = GetDlgItem(main, 1000);
  int count = int(SendMessageW(tabs, 0x1304 /* TCM_GETITEMCOUNT */, 0, 0));
  int result = count > 0 ? 0 : 1;
  // Start at tab 0 and step through all of them.
  while (SendMessageW(tabs, 0x130B /* TCM_GETCURSEL */, 0, 0) != 0 && count > 0)
    SendMessageW(main, WM_COMMAND, 40100, 0);
  for (int page = 0; page < count; ++page) {
    Settle(main);
    std::wstring path = std::wstring(argv[1]) + L"\\page-" + std::to_wstring(page) + L".bmp";
    if (!SaveWindowPicture(main, path)) {
      fprintf(stderr, "cannot save %ls\n", path.c_str());
      result = 1;
    }
    SendMessageW(main, WM_COMMAND, 40100, 0);
  }
  // The extension menu: the menu bar's first menu, then left to the last one.
  std::wstring out(argv[1]);
  Settle(main);
  PostMessageW(main, WM_SYSCOMMAND, SC_KEYMENU, 0);
  Sleep(300);
  PostKey(main, VK_LEFT);  // the window's system menu
  PostKey(main, VK_LEFT);  // the menu bar's last entry
  PostKey(main, VK_DOWN);
  Sleep(700);
  if (!SaveMenuPicture(main, out + L"\\menu-vesk.bmp")) result = 1;
  for (int i = 0; i < 3; ++i) PostKey(main, VK_ESCAPE);
  Sleep(300);
  // The process context menu of the first row, with its Set Priority submenu.
  HWND processes = nullptr;
  for (HWND child = GetWindow(main, GW_CHILD); child && !processes; child = GetWindow(child, GW_HWNDNEXT))
    if (GetDlgItem(child, 1009)) processes = child;
  if (!processes) {
    fprintf(stderr, "no Processes page\n");
    result = 1;
  } else {
    while (SendMessageW(tabs, 0x130B /* TCM_GETCURSEL */, 0, 0) != 1)
      SendMessageW(main, WM_COMMAND, 40100, 0);
    HWND list = GetDlgItem(processes, 1009);
    SetForegroundWindow(main);
    PostKey(list, VK_HOME);
    Sleep(300);
    RECT row;
    GetWindowRect(list, &row);
    SetCursorPos(row.left + 60, row.top + 40);
    PostMessageW(processes, WM_CONTEXTMENU, WPARAM(list), MAKELPARAM(row.left + 60, row.top + 40));
    Sleep(500);
    PostKey(main, VK_DOWN);
    PostKey(main, VK_DOWN);
    PostKey(main, VK_RIGHT);
    Sleep(700);
    if (!SaveMenuPicture(main, out + L"\\menu-priority.bmp")) result = 1;
    for (int i = 0; i < 3; ++i) PostKey(main, VK_ESCAPE);
  }
  Sleep(300);
  if (ServicesPictures(main, tabs, out) != 0) result = 1;
  printf("%d pages saved\n", count);
  return result;
}
