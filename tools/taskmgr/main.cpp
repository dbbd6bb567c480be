// The substitute Windows Task Manager. Its loader role: a library named on
// the command line (/extension PATH) is mapped before the main window is
// created, so that its entry point runs on the thread that creates it.
#include <windows.h>

#include <cwchar>

#include "task_manager.h"

namespace {

// The path after /extension, or null.
const wchar_t* ExtensionPath(int argc, wchar_t** argv) {
  for (int i = 1; i + 1 < argc; ++i)
    if (_wcsicmp(argv[i], L"/extension") == 0) return argv[i + 1];
  return nullptr;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (const wchar_t* path = argv ? ExtensionPath(argc, argv) : nullptr) {
    if (!LoadLibraryW(path))
      MessageBoxW(nullptr, path, L"Task Manager: the extension cannot be loaded", MB_OK | MB_ICONWARNING);
  }
  if (argv) LocalFree(argv);
  HWND main = CreateTaskManagerWindow(instance);
  if (!main) return 1;
  ShowWindow(main, show);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (IsWindow(main) && TranslateTaskManagerMessage(main, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return int(message.wParam);
}
