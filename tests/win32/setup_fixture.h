// What the Wine tests of vesksetup.exe share: a copy of the dist/ folder in
// the test prefix to run setup from, and readers of what it leaves: files,
// registry values, the two services' settings and the PNP_TDI group order
// list.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "host_path.h"
#include "install_layout.h"
#include "service_identity.h"

namespace setup_test {

using namespace vesk::setup;

const wchar_t kTcpipKey[] = L"System\\CurrentControlSet\\Services\\tcpip";
const wchar_t kDriverKey[] = L"System\\CurrentControlSet\\Services\\vesk";
const wchar_t kGroupOrderKey[] = L"System\\CurrentControlSet\\Control\\GroupOrderList";
const wchar_t kSessionManagerKey[] = L"System\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kAppDefaults[] = L"Software\\Wine\\AppDefaults\\vesksetup.exe";
// The names Windows and the loader look up, written out rather than taken
// from setup's own header, so that a slip there shows.
const wchar_t kTaskManagerOptionsKey[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\taskmgr.exe";
const wchar_t kDebugger[] = L"Debugger";
const wchar_t kGlobalFlag[] = L"GlobalFlag";
const wchar_t kVeskKey[] = L"SOFTWARE\\Vesk";
const wchar_t kExtensionPath[] = L"Extension";

inline std::wstring SystemDir() {
  wchar_t dir[MAX_PATH];
  GetSystemDirectoryW(dir, MAX_PATH);
  return std::wstring(dir) + L"\\";
}

inline std::wstring SettingsFile() {
  wchar_t dir[MAX_PATH];
  GetWindowsDirectoryW(dir, MAX_PATH);
  return std::wstring(dir) + L"\\vesk.ini";
}

inline bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::string Contents(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got != 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

struct Outcome {
  DWORD exitCode = DWORD(-1);
  std::string output;
};

inline void SetValue(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD type, const void* data,
                     DWORD size) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(root, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(key);
}

inline void SetString(HKEY root, const wchar_t* subKey, const wchar_t* name, const std::wstring& text) {
  SetValue(root, subKey, name, REG_SZ, text.c_str(), DWORD(2 * (text.size() + 1)));
}

// The value's bytes, or nothing when it is absent.
inline bool GetValue(const wchar_t* subKey, const wchar_t* name, std::vector<uint8_t>& bytes) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD size = 0;
  bool present = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
  bytes.resize(size);
  if (present) present = RegQueryValueExW(key, name, nullptr, nullptr, bytes.data(), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  return present;
}

inline std::wstring GetString(const wchar_t* subKey, const wchar_t* name) {
  std::vector<uint8_t> bytes;
  if (!GetValue(subKey, name, bytes)) return L"<absent>";
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2 - (bytes.size() >= 2));
}

inline std::vector<uint32_t> GroupOrderTags() {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(GetValue(kGroupOrderKey, L"PNP_TDI", bytes));
  std::vector<uint32_t> words(bytes.size() / 4);
  if (!words.empty()) memcpy(words.data(), bytes.data(), 4 * words.size());
  EXPECT_FALSE(words.empty());
  if (words.empty()) return words;
  EXPECT_EQ(words[0], words.size() - 1);
  return std::vector<uint32_t>(words.begin() + 1, words.end());
}

inline void SetGroupOrder(const std::vector<uint32_t>& tags) {
  std::vector<uint32_t> value{uint32_t(tags.size())};
  value.insert(value.end(), tags.begin(), tags.end());
  SetValue(HKEY_LOCAL_MACHINE, kGroupOrderKey, L"PNP_TDI", REG_BINARY, value.data(), DWORD(4 * value.size()));
}

// "PendingFileRenameOperations" as its pairs of source and destination (an
// empty destination is a delete), walked by the value's length.
inline std::vector<std::pair<std::wstring, std::wstring>> PendingOperations() {
  std::vector<std::pair<std::wstring, std::wstring>> pairs;
  std::vector<uint8_t> bytes;
  if (!GetValue(kSessionManagerKey, L"PendingFileRenameOperations", bytes)) return pairs;
  std::wstring value(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
  std::vector<std::wstring> strings;
  for (size_t at = 0; at < value.size();) {
    size_t end = value.find(L'\0', at);
    if (end == std::wstring::npos) end = value.size();
    strings.push_back(value.substr(at, end - at));
    at = end + 1;
  }
  for (size_t i = 0; i + 1 < strings.size(); i += 2) pairs.emplace_back(strings[i], strings[i + 1]);
  return pairs;
}

inline bool EndsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Whether a pending operation has a source ending in `source` and a
// destination ending in `destination` (empty: a delete).
inline bool OperationPending(const std::wstring& source, const std::wstring& destination) {
  for (const auto& [from, to] : PendingOperations())
    if (EndsWith(from, source) && (destination.empty() ? to.empty() : EndsWith(to, destination))) return true;
  return false;
}

struct ServiceState {
  bool present = false;
  DWORD type = 0, startType = 0, state = 0;
  std::wstring group, binary;
};

inline ServiceState QueryService(const wchar_t* name) {
  ServiceState result;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
  if (service) {
    std::vector<uint8_t> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    SERVICE_STATUS status = {};
    if (QueryServiceConfigW(service, config, DWORD(buffer.size()), &needed) &&
        QueryServiceStatus(service, &status)) {
      result = {true,
                config->dwServiceType,
                config->dwStartType,
                status.dwCurrentState,
                config->lpLoadOrderGroup ? config->lpLoadOrderGroup : L"",
                config->lpBinaryPathName};
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return result;
}

inline void DeleteServiceByHand(const wchar_t* name) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
  ASSERT_NE(service, nullptr);
  SERVICE_STATUS status;
  ControlService(service, SERVICE_CONTROL_STOP, &status);
  for (int i = 0; i < 50 && QueryService(name).state != SERVICE_STOPPED; ++i) Sleep(100);
  EXPECT_TRUE(DeleteService(service));
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

class Setup : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    source_ = std::wstring(temp) + L"vesksetup-source\\";
    CreateDirectoryW(source_.c_str(), nullptr);
    std::wstring dist = HostPath("VESK_DIST") + L"\\";
    for (const wchar_t* name : {L"vesksetup.exe", L"vesk.sys", L"tdiorder.exe", L"taskext_nt.dll",
                                L"taskext_xp.dll", L"vesksvc.exe"})
      ASSERT_TRUE(CopyFileW((dist + name).c_str(), (source_ + name).c_str(), FALSE)) << "missing in dist/";
    // The loader is whatever file is there: setup only copies and registers it.
    ASSERT_TRUE(CopyFileW(HostPath("VESK_IDLE_CHILD").c_str(), (source_ + kLoaderFile).c_str(), FALSE));
    SetDword(kTcpipKey, L"Tag", 3);
    SetGroupOrder({1, 3, 2});
    // A fresh prefix reports Windows 7, which setup refuses.
    SetString(HKEY_CURRENT_USER, kAppDefaults, L"Version", L"winxp");
  }
  void TearDown() override {
    RunSetup(L"uninstall /removeini");
    RegDeleteKeyW(HKEY_CURRENT_USER, kAppDefaults);
  }

  void SetDword(const wchar_t* key, const wchar_t* name, DWORD value) {
    SetValue(HKEY_LOCAL_MACHINE, key, name, REG_DWORD, &value, sizeof value);
  }

  Outcome RunSetup(const std::wstring& arguments) {
    Outcome run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return run;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring commandLine = L"\"" + source_ + L"vesksetup.exe\" " + arguments;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                  nullptr, &startup, &process);
    CloseHandle(writeEnd);
    if (started) {
      char buffer[4096];
      DWORD got = 0;
      while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got != 0)
        run.output.append(buffer, got);
      WaitForSingleObject(process.hProcess, INFINITE);
      GetExitCodeProcess(process.hProcess, &run.exitCode);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    } else {
      ADD_FAILURE() << "cannot start vesksetup.exe: error " << GetLastError();
    }
    CloseHandle(readEnd);
    return run;
  }

  // Everything install leaves, with the extension build `build`.
  void ExpectInstalled(const wchar_t* build) {
    std::wstring system = SystemDir();
    EXPECT_EQ(Contents(system + L"drivers\\" + kDriverFile), Contents(source_ + kDriverFile));
    EXPECT_EQ(Contents(system + kExtensionFile), Contents(source_ + build));
    EXPECT_EQ(Contents(system + kLoaderFile), Contents(source_ + kLoaderFile));
    EXPECT_EQ(Contents(system + vesksvc::kImageName), Contents(source_ + vesksvc::kImageName));
    EXPECT_EQ(GetString(kVeskKey, kExtensionPath), system + kExtensionFile);
    EXPECT_EQ(GetString(kTaskManagerOptionsKey, kDebugger), L"\"" + system + kLoaderFile + L"\"");
    std::vector<uint8_t> globalFlag;
    EXPECT_TRUE(GetValue(kTaskManagerOptionsKey, kGlobalFlag, globalFlag));
    EXPECT_EQ(globalFlag, (std::vector<uint8_t>{0, 0, 0, 0}));
    ServiceState driver = QueryService(L"vesk");
    EXPECT_TRUE(driver.present);
    EXPECT_EQ(driver.type, DWORD(SERVICE_KERNEL_DRIVER));
    EXPECT_EQ(driver.startType, DWORD(SERVICE_SYSTEM_START));
    EXPECT_EQ(driver.group, L"PNP_TDI");
    ServiceState consumer = QueryService(vesksvc::kServiceName);
    EXPECT_TRUE(consumer.present);
    EXPECT_EQ(consumer.type, DWORD(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(consumer.startType, DWORD(SERVICE_AUTO_START));
    EXPECT_EQ(consumer.state, DWORD(SERVICE_RUNNING));
    EXPECT_EQ(consumer.binary, L"\"" + system + vesksvc::kImageName + L"\"");
    // Wine's service manager hands out no tag (it keeps the caller's 0);
    // a tag the driver has stands right after tcpip's 3, and none is made up.
    std::vector<uint8_t> tag;
    if (GetValue(kDriverKey, L"Tag", tag) && tag.size() == 4) {
      uint32_t value = 0;
      memcpy(&value, tag.data(), 4);
      EXPECT_EQ(GroupOrderTags(), (std::vector<uint32_t>{1, 3, value, 2}));
    } else {
      EXPECT_EQ(GroupOrderTags(), (std::vector<uint32_t>{1, 3, 2}));
    }
  }

  void ExpectRemoved() {
    std::wstring system = SystemDir();
    for (const std::wstring& file : {system + L"drivers\\" + kDriverFile, system + kExtensionFile,
                                     system + kLoaderFile, system + vesksvc::kImageName})
      EXPECT_FALSE(Exists(file)) << std::string(file.begin(), file.end());
    EXPECT_EQ(GetString(kVeskKey, kExtensionPath), L"<absent>");
    EXPECT_EQ(GetString(kTaskManagerOptionsKey, kDebugger), L"<absent>");
    EXPECT_EQ(GetString(kTaskManagerOptionsKey, kGlobalFlag), L"<absent>");
    EXPECT_FALSE(QueryService(L"vesk").present);
    EXPECT_FALSE(QueryService(vesksvc::kServiceName).present);
    EXPECT_EQ(GroupOrderTags(), (std::vector<uint32_t>{1, 3, 2}));
  }

  // Uninstall with the driver still loaded: everything else goes now, the
  // driver's file when Windows restarts, and the user is told so.
  void ExpectUninstallLeavesTheDriverForTheNextBoot() {
    Outcome run = RunSetup(L"uninstall");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(run.output.find("are removed when Windows restarts"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Restart Windows to finish"), std::string::npos) << run.output;
    EXPECT_TRUE(OperationPending(L"\\drivers\\vesk.sys", L"")) << "no delete of vesk.sys pending";
    // Disabled, so that the next boot does not load it before the delete.
    EXPECT_NE(run.output.find("The service vesk is disabled"), std::string::npos) << run.output;
    EXPECT_EQ(QueryService(L"vesk").startType, DWORD(SERVICE_DISABLED));
    EXPECT_FALSE(Exists(SystemDir() + kExtensionFile));
    EXPECT_EQ(GetString(kTaskManagerOptionsKey, kDebugger), L"<absent>");
    EXPECT_FALSE(QueryService(vesksvc::kServiceName).present);
  }

  // What the restart would do: the pending delete is done and forgotten.
  void DropThePendingDriverDelete() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, L"PendingFileRenameOperations");
      RegCloseKey(key);
    }
    DeleteFileW((SystemDir() + L"drivers\\" + kDriverFile).c_str());
  }

  std::wstring source_;
};

}  // namespace setup_test
