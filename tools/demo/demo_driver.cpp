// demo_driver OUTPUT_DIR: waits for the running Task Manager's main window,
// shows each of its pages in turn (Task Manager's next-tab command) and saves
// a picture of the window for each page as OUTPUT_DIR\page-N.bmp; then opens
// the extension menu (menu-vesk.bmp) and the process context menu with its
// Set Priority submenu (menu-priority.bmp) as a keyboard user would. Exits
// with 0 when every picture was saved.
#include <windows.h>

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
  printf("%d pages saved\n", count);
  return result;
}
