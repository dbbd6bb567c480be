// The substitute Task Manager's main window: a dialog with the tab control
// 1000 and the pages of the chosen Windows version, a status bar, a menu bar
// that is built afresh for every page shown, and a refresh on its timer.
#pragma once

#include <windows.h>

// The tabs each Windows version's Task Manager shows: Windows 2000
// Applications, Processes, Performance; Windows XP adds Networking, and Users
// when fast user switching is on.
enum class HostLayout { Windows2000, WindowsXp, WindowsXpUsers };

struct TaskManagerOptions {
  HostLayout layout = HostLayout::WindowsXpUsers;
  // Test switch: a selection change to the page already current is ignored
  // (no page shown, no new menu bar), as a Task Manager may do.
  bool ignoreCurrentPageSelection = false;
};

// "2000", "xp" or "xp-users"; false for anything else.
bool ParseHostLayout(const wchar_t* text, HostLayout& layout);

// Creates the main window (modeless); null when it cannot be created.
HWND CreateTaskManagerWindow(HINSTANCE instance, const TaskManagerOptions& options = {});

// Gives the copy of the program at `path` (which must not be running) the
// fixed file version `major.minor.build.revision` in its version resource:
// a copy that stands for another Windows version's Task Manager. False
// when the resource cannot be found or the copy cannot be written.
bool StampFileVersion(const wchar_t* path, WORD major, WORD minor, WORD build, WORD revision);

// Keyboard handling of the main window (accelerators, dialog navigation):
// true when the message was consumed.
bool TranslateTaskManagerMessage(HWND mainWindow, MSG* message);
