#include "taskmgr_host.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <type_traits>

#include "common/list_view.h"
#include "task_manager.h"

namespace {

const wchar_t kSettingsFile[] = L"C:\\windows\\vesk.ini";

std::wstring ModulePath() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

std::wstring TaskManagerPath() {
  wchar_t path[MAX_PATH] = {};
  ExpandEnvironmentStringsW(L"%SystemRoot%\\system32\\taskmgr.exe", path, MAX_PATH);
  return path;
}

// The path the copy is started by: Task Manager's, in upper case when
// VESK_TASKMGR_UPPER_CASE is set (the host check ignores case).
std::wstring LaunchPath() {
  std::wstring path = TaskManagerPath();
  if (std::getenv("VESK_TASKMGR_UPPER_CASE"))
    for (wchar_t& c : path) c = wchar_t(towupper(c));
  return path;
}

// The file version the copy carries: VESK_HOST_VERSION ("a.b.c.d") when set,
// otherwise that of the layout's Windows (2000: 5.0.2195; XP: 5.1.2600, the
// substitute's own).
bool HostFileVersion(WORD (&version)[4]) {
  const char* text = std::getenv("VESK_HOST_VERSION");
  const char* layout = std::getenv("VESK_HOST_LAYOUT");
  if (!text) text = layout && std::strcmp(layout, "2000") == 0 ? "5.0.2195.0" : "5.1.2600.5512";
  unsigned parts[4] = {};
  if (std::sscanf(text, "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]) != 4) return false;
  for (int i = 0; i < 4; ++i) version[i] = WORD(parts[i]);
  return true;
}

// Copies this program to Task Manager's path, with the file version of the
// Task Manager it stands for, and runs it there with the same arguments and
// standard handles; gives its exit code.
// Below the 120 s that CTest allows a Windows test, unless VESK_RUN_LIMIT_S
// gives another limit (the benchmarks).
DWORD RunLimitMs() {
  const char* seconds = std::getenv("VESK_RUN_LIMIT_S");
  return seconds ? DWORD(std::strtoul(seconds, nullptr, 10) * 1000) : 110000;
}

int RunAsTaskManager() {
  std::wstring target = TaskManagerPath();
  if (!CopyFileW(ModulePath().c_str(), target.c_str(), FALSE)) {
    fprintf(stderr, "cannot copy the test program to Task Manager's path: error %lu\n", GetLastError());
    return 1;
  }
  WORD version[4] = {};
  if (!HostFileVersion(version) ||
      !StampFileVersion(target.c_str(), version[0], version[1], version[2], version[3])) {
    fprintf(stderr, "cannot give the copy its file version: error %lu\n", GetLastError());
    return 1;
  }
  // The arguments after the program name, as given.
  const wchar_t* arguments = GetCommandLineW();
  bool quoted = false;
  while (*arguments && (quoted || (*arguments != L' ' && *arguments != L'\t'))) {
    if (*arguments == L'"') quoted = !quoted;
    ++arguments;
  }
  std::wstring launch = LaunchPath();
  std::wstring commandLine = L"\"" + launch + L"\"" + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(launch.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    fprintf(stderr, "cannot start %ls: error %lu\n", target.c_str(), GetLastError());
    return 1;
  }
  // Ended before CTest's own limit: a hanging run would otherwise stay behind
  // and hold Task Manager's path, failing every test after it.
  DWORD exitCode = 1;
  DWORD limit = RunLimitMs();
  if (WaitForSingleObject(process.hProcess, limit) != WAIT_OBJECT_0) {
    fprintf(stderr, "the test did not end within %lu s: ended\n", limit / 1000);
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 10000);
  } else {
    GetExitCodeProcess(process.hProcess, &exitCode);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return int(exitCode);
}

struct ThreadWindows {
  std::set<HWND> windows;
};

// The WM_QUIT that PumpMessages met, if any: the code Task Manager ends with.
std::optional<WPARAM> gQuitCode;

// The guarded heap of TaskManagerHost::GuardHeap: blocks are laid out one
// after another in an address range reserved once, each starting on a page
// of its own behind a header with its size; a freed block's pages become
// PAGE_NOACCESS. Blocks from before the guard, from calloc and past the
// range go to the plain heap.
namespace guarded {

constexpr SIZE_T kPage = 4096;
constexpr SIZE_T kHeader = 16;  // the size, and malloc's 16-byte alignment
BYTE* region = nullptr;
SIZE_T regionPages = 0;
LONG usedPages = 0;
void*(__cdecl* plainMalloc)(size_t) = nullptr;
void*(__cdecl* plainRealloc)(void*, size_t) = nullptr;
void(__cdecl* plainFree)(void*) = nullptr;

SIZE_T PagesFor(size_t size) { return (size + kHeader + kPage - 1) / kPage; }
bool Ours(const void* block) {
  auto* at = static_cast<const BYTE*>(block);
  return region && at >= region + kHeader && at < region + regionPages * kPage;
}
size_t& SizeOf(void* block) { return *reinterpret_cast<size_t*>(static_cast<BYTE*>(block) - kHeader); }

void* __cdecl Malloc(size_t size) {
  // A size the range cannot hold (its page count would wrap, too) is the plain heap's.
  if (size >= regionPages * kPage) return plainMalloc(size);
  SIZE_T pages = PagesFor(size);
  SIZE_T first = SIZE_T(InterlockedExchangeAdd(&usedPages, LONG(pages)));
  if (first + pages > regionPages) return plainMalloc(size);
  BYTE* start = region + first * kPage;
  if (!VirtualAlloc(start, pages * kPage, MEM_COMMIT, PAGE_READWRITE)) return nullptr;
  *reinterpret_cast<size_t*>(start) = size;
  return start + kHeader;
}

void __cdecl Free(void* block) {
  if (!block) return;
  if (!Ours(block)) return plainFree(block);
  BYTE* start = static_cast<BYTE*>(block) - kHeader;
  DWORD protection = 0;
  VirtualProtect(start, PagesFor(SizeOf(block)) * kPage, PAGE_NOACCESS, &protection);
}

void* __cdecl Realloc(void* block, size_t size) {
  if (!block) return Malloc(size);
  if (!Ours(block)) return plainRealloc(block, size);
  if (size == 0) {
    Free(block);
    return nullptr;
  }
  void* moved = Malloc(size);
  if (!moved) return nullptr;
  memcpy(moved, block, std::min(SizeOf(block), size));
  Free(block);
  return moved;
}

void Install(HMODULE module) {
  // As much address space as this 32-bit process can spare.
  for (SIZE_T megabytes = 512; !region && megabytes >= 8; megabytes /= 2) {
    region = static_cast<BYTE*>(VirtualAlloc(nullptr, megabytes << 20, MEM_RESERVE, PAGE_NOACCESS));
    if (region) regionPages = (megabytes << 20) / kPage;
  }
  ASSERT_TRUE(region != nullptr) << "no address space for the guarded heap";
  auto replace = [module](const char* function, auto standIn, auto& plain) {
    plain = reinterpret_cast<std::remove_reference_t<decltype(plain)>>(
        ReplaceImport(module, "msvcrt.dll", function, reinterpret_cast<void*>(standIn)));
    EXPECT_TRUE(plain != nullptr) << "the extension does not import " << function;
  };
  // Free and realloc first: a block from the guarded malloc must never reach
  // the plain ones. Blocks from calloc stay plain, and the guarded free hands
  // them on.
  replace("free", &Free, plainFree);
  replace("realloc", &Realloc, plainRealloc);
  replace("malloc", &Malloc, plainMalloc);
}

}  // namespace guarded

BOOL CALLBACK CollectAnswerable(HWND window, LPARAM context) {
  wchar_t name[16] = {};
  GetClassNameW(window, name, 16);
  if (IsWindowVisible(window) && (wcscmp(name, L"#32770") == 0 || wcscmp(name, L"#32768") == 0))
    reinterpret_cast<ThreadWindows*>(context)->windows.insert(window);
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  if (lstrcmpiW(ModulePath().c_str(), TaskManagerPath().c_str()) != 0) return RunAsTaskManager();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

bool XpBuild() {
  wchar_t build[8] = {};
  GetEnvironmentVariableW(L"VESK_BUILD", build, 8);
  return wcscmp(build, L"xp") == 0;
}

void PumpMessages(HWND mainWindow) {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      gQuitCode = message.wParam;
      continue;
    }
    if (IsWindow(mainWindow) && TranslateTaskManagerMessage(mainWindow, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

std::wstring ListCellText(HWND list, int item, int column) {
  wchar_t text[512] = {};
  LVITEMW cell = {};
  cell.iSubItem = column;
  cell.pszText = text;
  cell.cchTextMax = 512;
  SendMessageW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(&cell));
  return text;
}

std::wstring ListColumnTitle(HWND list, int column) {
  wchar_t text[128] = {};
  LVCOLUMNW info = {};
  info.mask = LVCF_TEXT;
  info.pszText = text;
  info.cchTextMax = 128;
  SendMessageW(list, LVM_GETCOLUMNW, column, reinterpret_cast<LPARAM>(&info));
  return text;
}

std::vector<std::wstring> ListColumnTexts(HWND list, int column) {
  std::vector<std::wstring> cells;
  int count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int item = 0; item < count; ++item) cells.push_back(ListCellText(list, item, column));
  return cells;
}

std::vector<int> ColumnWidths(HWND list, int count) {
  std::vector<int> widths;
  for (int column = 0; column < count; ++column)
    widths.push_back(int(SendMessageW(list, LVM_GETCOLUMNWIDTH, column, 0)));
  return widths;
}

std::vector<int> HeaderFittedWidths(HWND list, const std::vector<int>& designWidths) {
  std::vector<int> widths;
  for (size_t column = 0; column < designWidths.size(); ++column) {
    std::wstring header = ListColumnTitle(list, int(column));
    int text = int(SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(header.c_str())));
    int needed = text + 6 * GetSystemMetrics(SM_CXEDGE);
    int design = designWidths[column];
    widths.push_back(design == 0 ? 0 : std::max(design, needed));
  }
  return widths;
}

COLORREF ItemBackground(HWND page, HWND list, int item) {
  auto param = GetListItemParam(list, item);
  EXPECT_TRUE(param.has_value()) << "no item " << item;
  NMLVCUSTOMDRAW draw = {};
  draw.nmcd.hdr = {list, UINT_PTR(GetDlgCtrlID(list)), UINT(NM_CUSTOMDRAW)};
  draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
  draw.nmcd.dwItemSpec = DWORD_PTR(item);
  draw.nmcd.lItemlParam = param.value_or(0);
  draw.clrTextBk = CLR_DEFAULT;
  SendMessageW(page, WM_NOTIFY, draw.nmcd.hdr.idFrom, reinterpret_cast<LPARAM>(&draw));
  return draw.clrTextBk;
}

bool WaitFor(const std::function<bool()>& done) {
  for (DWORD start = GetTickCount(); !done(); Sleep(20))
    if (GetTickCount() - start > kStateWaitMs) return false;
  return true;
}

std::wstring MenuItemText(HMENU menu, int position) {
  wchar_t text[256] = {};
  GetMenuStringW(menu, position, text, 256, MF_BYPOSITION);
  return text;
}

std::vector<std::wstring> MenuBarTitles(HWND window) {
  std::vector<std::wstring> titles;
  HMENU bar = GetMenu(window);
  int count = bar ? GetMenuItemCount(bar) : 0;
  for (int i = 0; i < count; ++i) {
    std::wstring title;
    for (wchar_t c : MenuItemText(bar, i))
      if (c != L'&') title += c;
    titles.push_back(title);
  }
  return titles;
}

int RunAnswering(const std::function<void()>& action, const std::function<bool(HWND)>& answer) {
  DWORD uiThread = GetCurrentThreadId();
  std::atomic<bool> done{false};
  std::atomic<int> unanswered{0};
  // Set by the watcher as its last step. The answer function reads window
  // texts and asks menus for their handles, which sends messages to this
  // thread; so this thread keeps taking sent messages until the watcher has
  // finished, instead of blocking in a join that such a message would wait
  // on for ever.
  HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread watcher([&] {
    std::set<HWND> answered;
    std::map<HWND, DWORD> firstSeen;
    while (!done) {
      ThreadWindows found;
      EnumThreadWindows(uiThread, &CollectAnswerable, reinterpret_cast<LPARAM>(&found));
      for (HWND window : found.windows) {
        if (answered.count(window)) continue;
        if (!firstSeen.count(window)) firstSeen[window] = GetTickCount();
        if (answer(window)) {
          answered.insert(window);
        } else if (GetTickCount() - firstSeen[window] > 20000) {
          ++unanswered;
          answered.insert(window);
          PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
          PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
        }
      }
      Sleep(20);
    }
    SetEvent(finished);
  });
  action();
  done = true;
  while (MsgWaitForMultipleObjects(1, &finished, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
    MSG message;
    // Takes the sent messages only; posted ones stay queued for the test.
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
  watcher.join();
  CloseHandle(finished);
  return unanswered;
}

std::wstring IniValue(const wchar_t* section, const wchar_t* key) {
  wchar_t value[256] = {};
  GetPrivateProfileStringW(section, key, L"", value, 256, L"vesk.ini");
  return value;
}

void ClearSettings() {
  DeleteFileW(kSettingsFile);
  // The profile functions may keep the file cached; flush that cache.
  WritePrivateProfileStringW(nullptr, nullptr, nullptr, L"vesk.ini");
}

ChildProcess::ChildProcess() : ChildProcess(HostPath("VESK_IDLE_CHILD")) {}

ChildProcess::ChildProcess(const std::wstring& path) {
  std::wstring commandLine = L"\"" + path + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info_))
    ADD_FAILURE() << "cannot start the idle child: error " << GetLastError();
}

ChildProcess::~ChildProcess() {
  Terminate();
  if (info_.hThread) CloseHandle(info_.hThread);
  if (info_.hProcess) CloseHandle(info_.hProcess);
}

void ChildProcess::Terminate() {
  if (!info_.hProcess) return;
  TerminateProcess(info_.hProcess, 0);
  WaitForSingleObject(info_.hProcess, 10000);
}

DWORD RecordProcessId(LPARAM record) {
  DWORD id = 0;
  std::memcpy(&id, reinterpret_cast<const char*>(record) + 8, sizeof id);
  return id;
}

const wchar_t* RecordImageName(LPARAM record) {
  const wchar_t* name = nullptr;
  std::memcpy(&name, reinterpret_cast<const char*>(record) + 136, sizeof name);
  return name;
}

HMODULE TaskManagerHost::LoadExtension() {
  std::wstring path = HostPath("VESK_EXTENSION");
  extension_ = LoadLibraryW(path.c_str());
  EXPECT_TRUE(extension_ != nullptr) << "cannot load the extension: error " << GetLastError();
  return extension_;
}

TaskManagerOptions HostOptions() {
  TaskManagerOptions options;
  const char* text = std::getenv("VESK_HOST_LAYOUT");
  std::string narrow = text ? text : "xp-users";
  std::wstring layout(narrow.begin(), narrow.end());
  if (!ParseHostLayout(layout.c_str(), options.layout)) ADD_FAILURE() << "VESK_HOST_LAYOUT: " << narrow;
  options.ignoreCurrentPageSelection = std::getenv("VESK_IGNORE_CURRENT_PAGE") != nullptr;
  return options;
}

int OwnTabCount() {
  switch (HostOptions().layout) {
    case HostLayout::Windows2000:
      return 3;
    case HostLayout::WindowsXp:
      return 4;
    case HostLayout::WindowsXpUsers:
      break;
  }
  return 5;
}

void* ReplaceImport(HMODULE module, const char* dll, const char* function, void* replacement) {
  auto* base = reinterpret_cast<BYTE*>(module);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!directory.VirtualAddress) return nullptr;
  for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); entry->Name;
       ++entry) {
    if (lstrcmpiA(reinterpret_cast<char*>(base + entry->Name), dll) != 0 || !entry->OriginalFirstThunk)
      continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<char*>(byName->Name), function) != 0) continue;
      DWORD protection = 0;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
      void* previous = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
      return previous;
    }
  }
  return nullptr;
}

void TaskManagerHost::Start(bool loadExtension, bool keepSettings) {
  gQuitCode.reset();
  if (!keepSettings) ClearSettings();
  if (loadExtension && LoadExtension() && guardHeap_) guarded::Install(extension_);
  main_ = CreateTaskManagerWindow(GetModuleHandleW(nullptr), HostOptions());
  ASSERT_TRUE(main_ != nullptr);
  Command(main_, kPausedSpeed);
  ShowWindow(main_, SW_SHOW);
  PumpMessages(main_);
}

void TaskManagerHost::Stop() {
  if (IsWindow(main_)) DestroyWindow(main_);
  PumpMessages(nullptr);
  main_ = nullptr;
}

void TaskManagerHost::PostClose() const {
  DWORD thread = GetWindowThreadProcessId(main_, nullptr);
  EXPECT_TRUE(PostMessageW(main_, WM_CLOSE, 0, 0));
  PostThreadMessageW(thread, WM_KEYDOWN, VK_ESCAPE, 0);
}

int TaskManagerHost::ExitCode() {
  for (DWORD start = GetTickCount(); !gQuitCode && GetTickCount() - start < 10000;) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    PumpMessages(nullptr);
  }
  return gQuitCode ? int(*gQuitCode) : -1;
}

HWND TaskManagerHost::ProcessesPage() const {
  for (HWND child = GetWindow(main_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    if (GetDlgItem(child, 1009)) return child;
  return nullptr;
}

void TaskManagerHost::ClickTab(int index) {
  SendMessageW(Tabs(), TCM_SETCURSEL, index, 0);
  NMHDR header = {Tabs(), 1000, UINT(TCN_SELCHANGE)};
  SendMessageW(main_, WM_NOTIFY, 1000, reinterpret_cast<LPARAM>(&header));
  PumpMessages(main_);
}

bool TaskManagerHost::RefreshUntil(const std::function<bool()>& done) {
  DWORD start = GetTickCount();
  for (;;) {
    Command(main_, kRefreshNow);
    PumpMessages(main_);
    if (done()) return true;
    if (GetTickCount() - start > kStateWaitMs) return false;
    Sleep(50);
  }
}

int TaskManagerHost::RowOfProcess(DWORD processId) const {
  HWND list = ProcessList();
  int count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < count; ++row) {
    auto record = GetListItemParam(list, row);
    if (record && RecordProcessId(*record) == processId) return row;
  }
  return -1;
}

void TaskManagerHost::SelectRow(int row) {
  SelectListItem(ProcessList(), row);
  PumpMessages(main_);
}

std::vector<std::pair<UINT, std::wstring>> TaskManagerHost::ProcessMenuItems(int row) {
  std::vector<std::pair<UINT, std::wstring>> items;
  RECT bounds = {LVIR_BOUNDS, 0, 0, 0};
  SendMessageW(ProcessList(), LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&bounds));
  POINT point = {bounds.left + 5, bounds.top + 3};
  ClientToScreen(ProcessList(), &point);
  int unanswered = RunAnswering(
      [&] {
        SendMessageW(ProcessesPage(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(ProcessList()),
                     MAKELPARAM(point.x, point.y));
      },
      [&](HWND window) {
        wchar_t name[16] = {};
        GetClassNameW(window, name, 16);
        if (wcscmp(name, L"#32768") != 0) return false;
        HMENU popup = reinterpret_cast<HMENU>(SendMessageW(window, MN_GETHMENU, 0, 0));
        for (int i = 0; popup && i < GetMenuItemCount(popup); ++i) {
          UINT id = GetMenuItemID(popup, i);
          items.emplace_back(id == UINT(-1) ? 0 : id, MenuItemText(popup, i));
        }
        PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
        return true;
      });
  EXPECT_EQ(unanswered, 0);
  return items;
}
