// The substitute Task Manager's main window: a dialog with the tab control
// 1000, an Applications, a Processes and a Performance page, a menu bar that
// is built afresh for every page shown, and a refresh on its timer.
#pragma once

#include <windows.h>

// Creates the main window (modeless); null when it cannot be created.
HWND CreateTaskManagerWindow(HINSTANCE instance);

// Keyboard handling of the main window (accelerators, dialog navigation):
// true when the message was consumed.
bool TranslateTaskManagerMessage(HWND mainWindow, MSG* message);
