// Runs vesksetup.exe from a copy of the dist/ folder in the test prefix and
// reads back what it left: files, registry values, the two services' settings
// and the PNP_TDI group order list.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "install_layout.h"
#include "service_identity.h"

namespace {

using namespace vesk::setup;

const wchar_t kTcpipKey[] = L"System\\CurrentControlSet\\Services\\tcpip";
const wchar_t kDriverKey[] = L"System\\CurrentControlSet\\Services\\vesk";
const wchar_t kGroupOrderKey[] = L"System\\CurrentControlSet\\Control\\GroupOrderList";
const wchar_t kAppDefaults[] = L"Software\\Wine\\AppDefaults\\vesksetup.exe";

// A host path from the environment as Wine sees it, on drive Z:.
std::wstring HostPath(const char* variable) {
  const char* host = std::getenv(variable);
  std::wstring path = L"Z:";
  for (const char* c = host ? host : ""; *c; ++c) path += *c == '/' ? L'\\' : wchar_t(*c);
  return path;
}

std::wstring SystemDir() {
  wchar_t dir[MAX_PATH];
  GetSystemDirectoryW(dir, MAX_PATH);
  return std::wstring(dir) + L"\\";
}

std::wstring SettingsFile() {
  wchar_t dir[MAX_PATH];
  GetWindowsDirectoryW(dir, MAX_PATH);
  return std::wstring(dir) + L"\\vesk.ini";
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Contents(const std::wstring& path) {
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

void SetValue(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD type, const void* data,
              DWORD size) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(root, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(key);
}

void SetString(HKEY root, const wchar_t* subKey, const wchar_t* name, const std::wstring& text) {
  SetValue(root, subKey, name, REG_SZ, text.c_str(), DWORD(2 * (text.size() + 1)));
}

// The value's bytes, or nothing when it is absent.
bool GetValue(const wchar_t* subKey, const wchar_t* name, std::vector<uint8_t>& bytes) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD size = 0;
  bool present = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
  bytes.resize(size);
  if (present) present = RegQueryValueExW(key, name, nullptr, nullptr, bytes.data(), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  return present;
}

std::wstring GetString(const wchar_t* subKey, const wchar_t* name) {
  std::vector<uint8_t> bytes;
  if (!GetValue(subKey, name, bytes)) return L"<absent>";
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2 - (bytes.size() >= 2));
}

std::vector<uint32_t> GroupOrderTags() {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(GetValue(kGroupOrderKey, L"PNP_TDI", bytes));
  std::vector<uint32_t> words(bytes.size() / 4);
  if (!words.empty()) memcpy(words.data(), bytes.data(), 4 * words.size());
  EXPECT_FALSE(words.empty());
  if (words.empty()) return words;
  EXPECT_EQ(words[0], words.size() - 1);
  return std::vector<uint32_t>(words.begin() + 1, words.end());
}

void SetGroupOrder(const std::vector<uint32_t>& tags) {
  std::vector<uint32_t> value{uint32_t(tags.size())};
  value.insert(value.end(), tags.begin(), tags.end());
  SetValue(HKEY_LOCAL_MACHINE, kGroupOrderKey, L"PNP_TDI", REG_BINARY, value.data(), DWORD(4 * value.size()));
}

struct ServiceState {
  bool present = false;
  DWORD type = 0, startType = 0, state = 0;
  std::wstring group, binary;
};

ServiceState QueryService(const wchar_t* name) {
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

void DeleteServiceByHand(const wchar_t* name) {
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
    EXPECT_EQ(GetString(kExtensionKey, kExtensionValue), system + kExtensionFile);
    EXPECT_EQ(GetString(kIfeoKey, kDebuggerValue), L"\"" + system + kLoaderFile + L"\"");
    ServiceState driver = QueryService(L"vesk");
    EXPECT_TRUE(driver.present);
    EXPECT_EQ(driver.type, DWORD(SERVICE_KERNEL_DRIVER));
    EXPECT_EQ(driver.startType, DWORD(SERVICE_SYSTEM_START));
    EXPECT_EQ(driver.group, L"PNP_TDI");
    ServiceState consumer = QueryService(vesksvc::kServiceName);
    EXPECT_TRUE(consumer.present);
    EXPECT_EQ(consumer.type, vesksvc::kServiceType);
    EXPECT_EQ(consumer.startType, vesksvc::kStartType);
    EXPECT_EQ(consumer.state, DWORD(SERVICE_RUNNING));
    EXPECT_EQ(consumer.binary, L"\"" + system + vesksvc::kImageName + L"\"");
    // The driver has no tag before install: tdiorder gives it 4 and puts it after tcpip's 3.
    std::vector<uint8_t> tag;
    EXPECT_TRUE(GetValue(kDriverKey, L"Tag", tag));
    EXPECT_EQ(GroupOrderTags(), (std::vector<uint32_t>{1, 3, 4, 2}));
  }

  void ExpectRemoved() {
    std::wstring system = SystemDir();
    for (const std::wstring& file : {system + L"drivers\\" + kDriverFile, system + kExtensionFile,
                                     system + kLoaderFile, system + vesksvc::kImageName})
      EXPECT_FALSE(Exists(file)) << std::string(file.begin(), file.end());
    EXPECT_EQ(GetString(kExtensionKey, kExtensionValue), L"<absent>");
    EXPECT_EQ(GetString(kIfeoKey, kDebuggerValue), L"<absent>");
    EXPECT_FALSE(QueryService(L"vesk").present);
    EXPECT_FALSE(QueryService(vesksvc::kServiceName).present);
    EXPECT_EQ(GroupOrderTags(), (std::vector<uint32_t>{1, 3, 2}));
  }

  std::wstring source_;
};

TEST_F(Setup, InstallTwiceAndUninstallTwiceKeepingTheSettingsUnlessAsked) {
  WritePrivateProfileStringW(L"Vesk", L"CheckIntegrity", L"1", L"vesk.ini");
  for (int round = 0; round < 2; ++round) {
    Outcome run = RunSetup(L"install /nostart");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    ExpectInstalled(L"taskext_xp.dll");
  }
  for (int round = 0; round < 2; ++round) {
    Outcome run = RunSetup(L"uninstall");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    ExpectRemoved();
    EXPECT_TRUE(Exists(SettingsFile()));
  }
  EXPECT_EQ(RunSetup(L"uninstall /removeini").exitCode, 0u);
  EXPECT_FALSE(Exists(SettingsFile()));
}

TEST_F(Setup, UninstallsAHalfDoneInstall) {
  ASSERT_EQ(RunSetup(L"install /nostart").exitCode, 0u);
  DeleteServiceByHand(vesksvc::kServiceName);
  ASSERT_TRUE(DeleteFileW((SystemDir() + kExtensionFile).c_str()));
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kIfeoKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  RegDeleteValueW(key, kDebuggerValue);
  RegCloseKey(key);
  Outcome run = RunSetup(L"uninstall");
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  ExpectRemoved();
}

TEST_F(Setup, WithoutTheLoaderInstallsTheRestAndSaysSo) {
  ASSERT_TRUE(DeleteFileW((source_ + kLoaderFile).c_str()));
  Outcome run = RunSetup(L"install /nostart");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.output.find("veskload.exe is not in"), std::string::npos) << run.output;
  EXPECT_EQ(GetString(kIfeoKey, kDebuggerValue), L"<absent>");
  EXPECT_TRUE(QueryService(vesksvc::kServiceName).present);
  EXPECT_EQ(GetString(kExtensionKey, kExtensionValue), SystemDir() + kExtensionFile);
}

TEST_F(Setup, LeavesAnotherProgramsDebuggerValue) {
  const std::wstring other = L"\"C:\\tools\\other.exe\"";
  SetString(HKEY_LOCAL_MACHINE, kIfeoKey, kDebuggerValue, other);
  Outcome run = RunSetup(L"install /nostart");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.output.find("already starts another program"), std::string::npos) << run.output;
  EXPECT_FALSE(Exists(SystemDir() + kLoaderFile));
  EXPECT_EQ(RunSetup(L"uninstall").exitCode, 0u);
  EXPECT_EQ(GetString(kIfeoKey, kDebuggerValue), other);
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kIfeoKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  RegDeleteValueW(key, kDebuggerValue);
  RegCloseKey(key);
}

// Wine has no kernel driver that refuses to unload; a service of the
// driver's name that does not accept a stop gives uninstall the same answer.
TEST_F(Setup, LeavesADriverThatWillNotStopForTheNextBoot) {
  ASSERT_EQ(RunSetup(L"install /nostart").exitCode, 0u);
  DeleteServiceByHand(L"vesk");
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  std::wstring binary = L"\"" + HostPath("VESK_TEST_SERVICE") + L"\"";
  SC_HANDLE service = CreateServiceW(manager, L"vesk", L"vesk", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(), nullptr,
                                     nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(service, nullptr) << GetLastError();
  DWORD acceptNothing = 0;
  SetValue(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\vesk\\Parameters", L"Accept", REG_DWORD,
           &acceptNothing, sizeof acceptNothing);
  ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
  for (int i = 0; i < 50 && QueryService(L"vesk").state != SERVICE_RUNNING; ++i) Sleep(100);

  Outcome run = RunSetup(L"uninstall");
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_NE(run.output.find("are removed when Windows restarts"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Restart Windows to finish"), std::string::npos) << run.output;
  std::vector<uint8_t> pending;
  ASSERT_TRUE(GetValue(L"System\\CurrentControlSet\\Control\\Session Manager", L"PendingFileRenameOperations",
                       pending));
  std::wstring renames(reinterpret_cast<const wchar_t*>(pending.data()), pending.size() / 2);
  EXPECT_NE(renames.find(L"drivers\\vesk.sys"), std::wstring::npos);
  EXPECT_FALSE(Exists(SystemDir() + kExtensionFile));

  // Clean up as the restart would: end the service, drop the pending rename.
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                           &needed)) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId);
    if (process) {
      TerminateProcess(process, 0);
      WaitForSingleObject(process, 5000);
      CloseHandle(process);
    }
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager", 0,
                    KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
    RegDeleteValueW(key, L"PendingFileRenameOperations");
    RegCloseKey(key);
  }
  DeleteFileW((SystemDir() + L"drivers\\" + kDriverFile).c_str());
  for (int i = 0; i < 50 && QueryService(L"vesk").present; ++i) Sleep(100);
  EXPECT_FALSE(QueryService(L"vesk").present);
}

// The Windows version Wine reports to vesksetup.exe alone decides the build
// it installs, or its refusal.
TEST_F(Setup, PicksTheBuildOfTheWindowsVersionAndRefusesOlderOnes) {
  SetString(HKEY_CURRENT_USER, kAppDefaults, L"Version", L"win2k");
  Outcome run = RunSetup(L"install /nostart");
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  ExpectInstalled(L"taskext_nt.dll");
  ASSERT_EQ(RunSetup(L"uninstall").exitCode, 0u);

  SetString(HKEY_CURRENT_USER, kAppDefaults, L"Version", L"nt40");
  run = RunSetup(L"install /nostart");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.output.find("this is Windows 4.0"), std::string::npos) << run.output;
  EXPECT_FALSE(QueryService(L"vesk").present);
  EXPECT_FALSE(Exists(SystemDir() + L"drivers\\" + kDriverFile));
}

}  // namespace
