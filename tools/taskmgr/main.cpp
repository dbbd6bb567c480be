// The substitute Windows Task Manager. Its loader role: a library named on
// the command line (/extension PATH) is mapped before the main window is
// created, so that its entry point runs on the thread that creates it.
// /layout 2000|xp|xp-users picks the tabs of that Windows version's Task
// Manager (default xp-users).
#include <windows.h>

#include <cwchar>

#include "task_manager.h"

namespace {

// The argument after the option, or null.
const wchar_t* OptionValue(int argc, wchar_t** argv, const wchar_t* option) {
  for (int i = 1; i + 1 < argc; ++i)
    if (_wcsicmp(argv[i], option) == 0) return argv[i + 1];
  return nullptr;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  TaskManagerOptions options;
  if (const wchar_t* layout = argv ? OptionValue(argc, argv, L"/layout") : nullptr) {
    if (!ParseHostLayout(layout, options.layout)) {
      MessageBoxW(nullptr, L"/layout takes 2000, xp or xp-users.", L"Task Manager", MB_OK | MB_ICONERROR);
      return 2;
    }
  }
  if (const wchar_t* path = argv ? OptionValue(argc, argv, L"/extension") : nullptr) {
    if (!LoadLibraryW(path))
      MessageBoxW(nullptr, path, L"Task Manager: the extension cannot be loaded", MB_OK | MB_ICONWARNING);
  }
  if (argv) LocalFree(argv);
  HWND main = CreateTaskManagerWindow(instance, options);
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
