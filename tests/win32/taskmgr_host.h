// Test programs that are the substitute Task Manager themselves: the program
// runs as C:\windows\system32\taskmgr.exe (it copies itself there and runs
// the copy), maps the extension library as the loader would and creates
// Task Manager's main window, then drives it as Task Manager and a user do.
#pragma once

#include <windows.h>

#include <functional>

#include "host_path.h"
#include "state_wait.h"
#include "task_manager.h"
#include <string>
#include <vector>

// Dispatches the waiting messages of this thread the way Task Manager's
// message loop does; a WM_QUIT among them is kept for ExitCode.
void PumpMessages(HWND mainWindow);

// The titles of the menu bar's top-level entries, without '&'.
std::vector<std::wstring> MenuBarTitles(HWND window);

// The text of a list view cell, and of a whole column, top to bottom.
std::wstring ListCellText(HWND list, int item, int column);
// The header text of a list view column ("" for none).
std::wstring ListColumnTitle(HWND list, int column);
std::vector<std::wstring> ListColumnTexts(HWND list, int column);

// The widths of the list's first `count` columns, and the widths they are to
// have at creation: each design width, or what its header text needs (the
// text and 3 * SM_CXEDGE on either side) where that is more; 0 stays 0.
std::vector<int> ColumnWidths(HWND list, int count);
std::vector<int> HeaderFittedWidths(HWND list, const std::vector<int>& designWidths);

// The text background an added page's list item gets at its item pre-paint
// stage, as the list asks its parent (the page) while painting.
COLORREF ItemBackground(HWND page, HWND list, int item);

// Whether the library under test is the Windows XP build (VESK_BUILD=xp).
bool XpBuild();

// Checks `done` every 20 ms until it holds (true) or kStateWaitMs have
// passed (false).
bool WaitFor(const std::function<bool()>& done);

// Text of a menu item by position.
std::wstring MenuItemText(HMENU menu, int position);

// Runs the action on this thread while another thread answers the dialogs
// and menus it opens: the answer function gets each new visible window of
// this thread with class "#32770" or "#32768" and returns true once it has
// dealt with it. A window that stays unanswered for 20 s is cancelled and
// counted, so that a wrong dialog fails the test instead of hanging it.
int RunAnswering(const std::function<void()>& action, const std::function<bool(HWND)>& answer);

// Reads a value of vesk.ini (empty when absent).
std::wstring IniValue(const wchar_t* section, const wchar_t* key);
void ClearSettings();

// A process of the test helper idle_child.exe (or of a copy of it at
// `imagePath`), terminated at destruction.
class ChildProcess {
 public:
  ChildProcess();
  explicit ChildProcess(const std::wstring& imagePath);
  ~ChildProcess();
  DWORD Id() const { return info_.dwProcessId; }
  HANDLE Handle() const { return info_.hProcess; }
  void Terminate();

 private:
  PROCESS_INFORMATION info_ = {};
};

// The substitute's options for this run: VESK_HOST_LAYOUT ("2000", "xp" or
// "xp-users", the default) and VESK_IGNORE_CURRENT_PAGE (set: Task Manager
// ignores a selection change to its current page).
TaskManagerOptions HostOptions();
// Task Manager's own tabs in this run's layout.
int OwnTabCount();

// Points the module's import of dll!function at the replacement and gives the
// function it replaced (null when the module does not import it). A stand-in
// for what Wine cannot show, such as processes with ids of 16 and below.
void* ReplaceImport(HMODULE module, const char* dll, const char* function, void* replacement);

// The process list's records, as Task Manager lays them out.
DWORD RecordProcessId(LPARAM record);
const wchar_t* RecordImageName(LPARAM record);

// A running substitute Task Manager with the extension named by the
// environment variable VESK_EXTENSION mapped before its main window.
class TaskManagerHost {
 public:
  // Maps the extension (unless told not to) and creates the main window,
  // with the update timer paused so that only the test refreshes. vesk.ini
  // starts empty unless it is to be kept from an earlier run.
  void Start(bool loadExtension = true, bool keepSettings = false);
  void Stop();
  // From the next Start on, what the extension allocates with malloc (and so
  // with new) comes from a heap in which freed memory cannot be touched: each block on pages of its
  // own, made inaccessible when the block is freed and never used again, as
  // the full page heap of Windows does (learn.microsoft.com, "GFlags and
  // PageHeap"). A touch of freed memory then ends the process at once.
  void GuardHeap() { guardHeap_ = true; }
  // Closes Task Manager from outside while a modal loop of its thread runs
  // (call it from the answering thread): WM_CLOSE to the main window, as
  // taskkill without /f or a log-off asks, then Esc to the thread, which ends
  // a menu loop that outlives its owner. Whether a loop ends with its owner
  // is the system's; an Esc left over goes to Task Manager's own loop, which
  // drops it.
  void PostClose() const;
  // Runs Task Manager's message loop until it ends (at most 10 s) and gives
  // the code it ends with, as its wWinMain returns it; -1 when it did not end.
  int ExitCode();
  HMODULE Extension() const { return extension_; }
  HMODULE LoadExtension();

  HWND Main() const { return main_; }
  HWND Tabs() const { return GetDlgItem(main_, 1000); }
  HWND ProcessesPage() const;
  HWND ProcessList() const { return GetDlgItem(ProcessesPage(), 1009); }

  void Command(HWND window, UINT id) { SendMessageW(window, WM_COMMAND, id, 0); }
  // A tab change as the tab control reports a click on the tab.
  void ClickTab(int index);
  // Refreshes the process list (View, Refresh Now) until the predicate holds
  // or kStateWaitMs have passed; returns the predicate's last value.
  bool RefreshUntil(const std::function<bool()>& done);
  int RowOfProcess(DWORD processId) const;
  void SelectRow(int row);
  // The process context menu of a row as a right click opens it: each
  // top-level item's id and text (0 for separators and submenus).
  std::vector<std::pair<UINT, std::wstring>> ProcessMenuItems(int row);

 private:
  HMODULE extension_ = nullptr;
  HWND main_ = nullptr;
  bool guardHeap_ = false;
};

constexpr UINT kRefreshNow = 40052;
constexpr UINT kPausedSpeed = 40205;
