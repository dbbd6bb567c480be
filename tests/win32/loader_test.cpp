// veskload.exe started the way Windows starts an image's debugger: its own
// path, then Task Manager's command line. The substitute Task Manager stands
// in for Task Manager; its tab count shows whether the extension had attached
// before the main window was made (the extension adds its two pages from a
// hook it sets when it is mapped).
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>
#include <winternl.h>

#include <tlhelp32.h>

#include <cstdlib>
#include <string>

#include "state_wait.h"

namespace {

constexpr int kTabs2000 = 3, kTabsXpUsers = 5, kExtensionTabs = 2;
// Where setup leaves the extension's path for the loader.
constexpr const wchar_t* kVeskKey = L"SOFTWARE\\Vesk";

std::wstring FromHost(const char* variable) {
  const char* host = std::getenv(variable);
  std::wstring path = L"Z:";
  for (const char* c = host ? host : ""; *c; ++c) path += *c == '/' ? L'\\' : wchar_t(*c);
  return path;
}

std::wstring SystemTaskManager() {
  wchar_t path[MAX_PATH] = {};
  ExpandEnvironmentStringsW(L"%SystemRoot%\\system32\\taskmgr.exe", path, MAX_PATH);
  return path;
}

struct Found {
  const wchar_t* title;
  HWND window = nullptr;
};

BOOL CALLBACK FindForeign(HWND window, LPARAM context) {
  auto* found = reinterpret_cast<Found*>(context);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t title[64] = {};
  GetWindowTextW(window, title, 64);
  if (process != GetCurrentProcessId() && IsWindowVisible(window) && wcscmp(title, found->title) == 0) {
    found->window = window;
    return FALSE;
  }
  return TRUE;
}

// The visible top-level window of another process with this title.
HWND WaitForWindow(const wchar_t* title) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < kStateWaitMs; Sleep(50)) {
    Found found{title};
    EnumWindows(&FindForeign, reinterpret_cast<LPARAM>(&found));
    if (found.window) return found.window;
  }
  return nullptr;
}

class Loader : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyFileW(FromHost("VESK_TASKMGR").c_str(), SystemTaskManager().c_str(), FALSE));
    SetExtension(FromHost("VESK_EXTENSION"));
  }
  void TearDown() override {
    if (loader_.hProcess) {
      // A Task Manager that a failed test left running would hold its path
      // and fail every test after it.
      EndChildren(loader_.dwProcessId);
      TerminateProcess(loader_.hProcess, 1);
      CloseHandle(loader_.hProcess);
      CloseHandle(loader_.hThread);
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kVeskKey);
  }
  static void EndChildren(DWORD parent) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
      if (entry.th32ParentProcessID != parent) continue;
      if (HANDLE child = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID)) {
        TerminateProcess(child, 1);
        WaitForSingleObject(child, kStateWaitMs);
        CloseHandle(child);
      }
    }
    CloseHandle(snapshot);
  }
  static void SetExtension(const std::wstring& path) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kVeskKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    RegSetValueExW(key, L"Extension", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   DWORD((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  // Starts the loader with Task Manager's command line, as Windows does.
  void StartLoader(const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + FromHost("VESK_LOADER") + L"\" " + SystemTaskManager() + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &loader_));
  }
  void EndRun() {
    CloseHandle(loader_.hProcess);
    CloseHandle(loader_.hThread);
    loader_ = {};
  }
  // The tabs of the Task Manager the loader started.
  int Tabs(HWND main) {
    HWND tabs = FindWindowExW(main, nullptr, L"SysTabControl32", nullptr);
    return tabs ? int(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0)) : -1;
  }
  // Waits for the loader to end; its exit code.
  DWORD LoaderExit() {
    EXPECT_EQ(WaitForSingleObject(loader_.hProcess, kStateWaitMs), WAIT_OBJECT_0);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(loader_.hProcess, &code);
    return code;
  }
  PROCESS_INFORMATION loader_ = {};
};

TEST_F(Loader, MapsTheExtensionBeforeTheMainWindowAndPassesArgumentsAndExitCodeThrough) {
  // Installed at a path of more than 130 characters: the registry measures
  // the value in bytes, two to a character.
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder = temp + std::wstring(150, L'x');
  std::wstring extension = folder + L"\\taskext.dll";
  CreateDirectoryW(folder.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW(FromHost("VESK_EXTENSION").c_str(), extension.c_str(), FALSE));
  ASSERT_GT(extension.size(), 130u);
  SetExtension(extension);
  StartLoader(L" /layout 2000");
  HWND main = WaitForWindow(L"Windows Task Manager");
  ASSERT_TRUE(main != nullptr);
  // Task Manager's own argument reached it, and the extension attached once.
  EXPECT_EQ(Tabs(main), kTabs2000 + kExtensionTabs);
  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(LoaderExit(), 0u);

  // Task Manager refuses a layout it does not know and ends with 2.
  EndRun();
  StartLoader(L" /layout 1995");
  HWND box = WaitForWindow(L"Task Manager");
  ASSERT_TRUE(box != nullptr);
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(LoaderExit(), 2u);
  DeleteFileW(extension.c_str());
  RemoveDirectoryW(folder.c_str());
}

TEST_F(Loader, TaskManagerRunsWithoutAnExtensionThatCannotBeLoaded) {
  SetExtension(L"C:\\windows\\system32\\no-such-extension.dll");
  StartLoader(L"");
  HWND main = WaitForWindow(L"Windows Task Manager");
  ASSERT_TRUE(main != nullptr);
  EXPECT_EQ(Tabs(main), kTabsXpUsers);
  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(LoaderExit(), 0u);
}

BOOL CALLBACK FindFilledList(HWND window, LPARAM context) {
  wchar_t name[32] = {};
  GetClassNameW(window, name, 32);
  if (wcscmp(name, L"SysListView32") == 0 && SendMessageW(window, LVM_GETITEMCOUNT, 0, 0) > 0) {
    *reinterpret_cast<bool*>(context) = true;
    return FALSE;
  }
  return TRUE;
}

// Wine's own Task Manager, also at system32\\taskmgr.exe, has other control
// ids than Windows': with the extension mapped it goes on as without it, its
// tabs as they were, its lists filled by its own timer, and it closes. The
// test's CTest case makes Wine choose its own over the substitute's file.
TEST_F(Loader, WinesOwnTaskManagerGoesOnWithTheExtensionMapped) {
  const char* order = std::getenv("VESK_TASKMGR_LOAD_ORDER");
  if (!order || std::string(order) != "b") GTEST_SKIP() << "runs with VESK_TASKMGR_LOAD_ORDER=b";
  int tabs[2] = {-1, -1};
  for (int run = 0; run < 2; ++run) {
    SetExtension(run == 0 ? L"C:\\windows\\system32\\no-such-extension.dll" : FromHost("VESK_EXTENSION"));
    StartLoader(L"");
    HWND main = WaitForWindow(L"Task Manager");
    ASSERT_TRUE(main != nullptr) << run;
    tabs[run] = Tabs(main);
    bool filled = false;
    for (DWORD start = GetTickCount(); !filled && GetTickCount() - start < kStateWaitMs; Sleep(100))
      EnumChildWindows(main, &FindFilledList, reinterpret_cast<LPARAM>(&filled));
    EXPECT_TRUE(filled) << run;
    DWORD_PTR answer = 0;
    EXPECT_TRUE(SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer)) << run;
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(LoaderExit(), 0u) << run;
    EndRun();
  }
  EXPECT_GT(tabs[0], 0);
  EXPECT_EQ(tabs[1], tabs[0]);
}

// A process created for debugging gets heap checking from the debugger's
// presence; the loader takes what its PEB carries away before Task
// Manager's heap exists: no heap debugging flags beyond the system's own.
TEST_F(Loader, TaskManagerRunsWithoutTheDebugHeap) {
  constexpr DWORD kDebugHeapFlags = 0x70;  // heap tail, free and parameter checking
  StartLoader(L"");
  HWND main = WaitForWindow(L"Windows Task Manager");
  ASSERT_TRUE(main != nullptr);
  DWORD id = 0;
  GetWindowThreadProcessId(main, &id);
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
  ASSERT_TRUE(process != nullptr);
  struct PebFlags {
    DWORD globalFlags = 0xFFFFFFFF;
  };
  auto read = [](HANDLE target) {
    PebFlags flags;
    PROCESS_BASIC_INFORMATION basic = {};
    if (NtQueryInformationProcess(target, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0)
      return flags;
    auto* peb = reinterpret_cast<BYTE*>(basic.PebBaseAddress);
    ReadProcessMemory(target, peb + 0x68, &flags.globalFlags, 4, nullptr);
    return flags;
  };
  PebFlags taskManager = read(process), own = read(GetCurrentProcess());
  EXPECT_EQ(taskManager.globalFlags & kDebugHeapFlags, own.globalFlags & kDebugHeapFlags);
  CloseHandle(process);
  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(LoaderExit(), 0u);
}

}  // namespace
