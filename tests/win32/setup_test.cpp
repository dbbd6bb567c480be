// Runs vesksetup.exe from a copy of the dist/ folder in the test prefix and
// reads back what it left: files, registry values, the two services' settings
// and the PNP_TDI group order list. Setup runs with /nostart here: the
// prefix's session must never load vesk.sys.
#include "setup_fixture.h"

namespace {

using namespace setup_test;

TEST_F(Setup, InstallTwiceAndUninstallTwiceKeepingTheSettingsUnlessAsked) {
  WritePrivateProfileStringW(L"Vesk", L"CheckIntegrity", L"1", L"vesk.ini");
  for (int round = 0; round < 2; ++round) {
    // The second time the extension is in use, as in a running Task Manager:
    // it holds these bytes already and stays.
    HMODULE inUse = round == 0 ? nullptr
                               : LoadLibraryExW((SystemDir() + kExtensionFile).c_str(), nullptr,
                                                DONT_RESOLVE_DLL_REFERENCES);
    Outcome run = RunSetup(L"install /nostart");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    ExpectInstalled(L"taskext_xp.dll");
    if (round == 1) {
      EXPECT_NE(inUse, nullptr);
      EXPECT_NE(run.output.find("taskext.dll is in use and already holds this version: it stays."),
                std::string::npos)
          << run.output;
      FreeLibrary(inUse);
    }
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
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTaskManagerOptionsKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  RegDeleteValueW(key, kDebugger);
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
  EXPECT_EQ(GetString(kTaskManagerOptionsKey, kDebugger), L"<absent>");
  EXPECT_TRUE(QueryService(vesksvc::kServiceName).present);
  EXPECT_EQ(GetString(kVeskKey, kExtensionPath), SystemDir() + kExtensionFile);
}

// Another program's value, whatever its type or length, even when it reads
// like setup's own command: never overwritten, never removed.
TEST_F(Setup, LeavesAnotherProgramsDebuggerValue) {
  const std::wstring ours = L"\"" + SystemDir() + kLoaderFile + L"\"";
  struct Case {
    const char* what;
    DWORD type;
    std::wstring text;
  } cases[] = {
      {"another program", REG_SZ, L"\"C:\\tools\\other.exe\""},
      {"REG_EXPAND_SZ", REG_EXPAND_SZ, ours},
      {"longer than setup reads", REG_SZ, L"\"C:\\" + std::wstring(700, L'x') + L".exe\""},
  };
  for (const Case& c : cases) {
    SetValue(HKEY_LOCAL_MACHINE, kTaskManagerOptionsKey, kDebugger, c.type, c.text.c_str(),
             DWORD(2 * (c.text.size() + 1)));
    Outcome run = RunSetup(L"install /nostart");
    EXPECT_EQ(run.exitCode, 1u) << c.what;
    EXPECT_NE(run.output.find("already starts another program"), std::string::npos) << c.what << run.output;
    EXPECT_FALSE(Exists(SystemDir() + kLoaderFile)) << c.what;
    EXPECT_EQ(GetString(kTaskManagerOptionsKey, kGlobalFlag), L"<absent>") << c.what;
    EXPECT_EQ(RunSetup(L"uninstall").exitCode, 0u) << c.what;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(GetValue(kTaskManagerOptionsKey, kDebugger, bytes)) << c.what;
    EXPECT_EQ(bytes.size(), 2 * (c.text.size() + 1)) << c.what;
    EXPECT_EQ(GetString(kTaskManagerOptionsKey, kDebugger), c.text) << c.what;
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTaskManagerOptionsKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    RegDeleteValueW(key, kDebugger);
    RegCloseKey(key);
  }
}

// Task Manager's own image flags, set by somebody before setup, replace the
// debugger's heap checking as well and stay as they are.
TEST_F(Setup, KeepsTaskManagersOwnGlobalFlag) {
  DWORD own = 0x2;
  SetValue(HKEY_LOCAL_MACHINE, kTaskManagerOptionsKey, kGlobalFlag, REG_DWORD, &own, sizeof own);
  Outcome run = RunSetup(L"install /nostart");
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_NE(run.output.find("GlobalFlag value is there already"), std::string::npos) << run.output;
  ASSERT_EQ(RunSetup(L"uninstall").exitCode, 0u);
  std::vector<uint8_t> kept;
  EXPECT_TRUE(GetValue(kTaskManagerOptionsKey, kGlobalFlag, kept));
  EXPECT_EQ(kept, (std::vector<uint8_t>{2, 0, 0, 0}));
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTaskManagerOptionsKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  RegDeleteValueW(key, kGlobalFlag);
  RegCloseKey(key);
}

// After tdiorder, setup reads the registry back and says where the driver
// loads. Wine's service manager hands out no tag, so the driver's tag is
// given by hand here, as Windows' would have: reinstalls keep it.
TEST_F(Setup, SaysTruthfullyWhereTheDriverLoadsAndKeepsItsTag) {
  Outcome run = RunSetup(L"install /nostart");
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_NE(run.output.find("Ran tdiorder.exe: the driver has no load-order tag"), std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find("loads right after tcpip"), std::string::npos) << run.output;
  EXPECT_EQ(GroupOrderTags(), (std::vector<uint32_t>{1, 3, 2}));

  SetDword(kDriverKey, L"Tag", 7);
  struct Case {
    const char* what;
    std::vector<uint32_t> before, after;
    const char* says;
  } cases[] = {
      {"placed",
       {1, 3, 2},
       {1, 3, 7, 2},
       "Ran tdiorder.exe: the driver loads right after tcpip in the PNP_TDI group."},
      {"tcpip not listed", {1, 2}, {1, 2}, "tcpip's tag is not in the PNP_TDI group order list"},
      {"before tcpip", {7, 1, 3}, {7, 1, 3}, "the driver's tag stands before tcpip's"},
  };
  for (const Case& c : cases) {
    SetGroupOrder(c.before);
    run = RunSetup(L"install /nostart");
    EXPECT_EQ(run.exitCode, 0u) << c.what << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << c.what << run.output;
    EXPECT_EQ(GroupOrderTags(), c.after) << c.what;
    std::vector<uint8_t> tag;
    EXPECT_TRUE(GetValue(kDriverKey, L"Tag", tag) && tag.size() == 4 && tag[0] == 7) << c.what;
  }
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGroupOrderKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  RegDeleteValueW(key, L"PNP_TDI");
  RegCloseKey(key);
  run = RunSetup(L"install /nostart");
  EXPECT_NE(run.output.find("there is no PNP_TDI group order list"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("restart Windows"), std::string::npos) << run.output;

  // Uninstall takes out its own entry only, not another driver's of the same number.
  SetGroupOrder({1, 3, 7, 2, 7});
  run = RunSetup(L"uninstall");
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_EQ(GroupOrderTags(), (std::vector<uint32_t>{1, 3, 2, 7}));
}

// Task Manager keeps the extension loaded across an uninstall and the next
// install: uninstall leaves the file to be deleted at the restart, so the
// install must put its own copy back after that delete, not keep the file.
TEST_F(Setup, InstallAfterUninstallWhileTaskManagerHoldsTheExtensionPutsItBackAtTheRestart) {
  ASSERT_EQ(RunSetup(L"install /nostart").exitCode, 0u);
  std::wstring extension = SystemDir() + kExtensionFile;
  HMODULE inUse = LoadLibraryExW(extension.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(inUse, nullptr);
  Outcome run = RunSetup(L"uninstall");
  EXPECT_NE(run.output.find("taskext.dll is in use: it is deleted when Windows restarts."), std::string::npos)
      << run.output;
  ASSERT_TRUE(OperationPending(L"\\" + std::wstring(kExtensionFile), L""));

  run = RunSetup(L"install /nostart");
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_NE(run.output.find("taskext.dll is in use: this install's taskext_xp.dll takes its place"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("Restart Windows to finish"), std::string::npos) << run.output;
  // The delete comes first in the list, the staged copy's rename after it.
  auto operations = PendingOperations();
  size_t deletion = operations.size(), rename = operations.size();
  for (size_t i = 0; i < operations.size(); ++i) {
    if (EndsWith(operations[i].first, L"\\" + std::wstring(kExtensionFile)) && operations[i].second.empty())
      deletion = i;
    if (EndsWith(operations[i].first, std::wstring(kExtensionFile) + L".new") &&
        EndsWith(operations[i].second, L"\\" + std::wstring(kExtensionFile)))
      rename = i;
  }
  EXPECT_LT(deletion, operations.size());
  EXPECT_LT(rename, operations.size());
  EXPECT_GT(rename, deletion);
  EXPECT_EQ(Contents(extension + L".new"), Contents(source_ + L"taskext_xp.dll"));
  FreeLibrary(inUse);
  DropThePendingDriverDelete();
}

// A copy staged while the extension was in use goes once a later install can
// write the freed file: left behind, it would replace that install's copy at
// the restart.
TEST_F(Setup, ADirectCopyDropsTheCopyStagedBeforeIt) {
  ASSERT_EQ(RunSetup(L"install /nostart").exitCode, 0u);
  std::wstring extension = SystemDir() + kExtensionFile;
  HMODULE inUse = LoadLibraryExW(extension.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(inUse, nullptr);
  HANDLE newer = CreateFileW((source_ + L"taskext_xp.dll").c_str(), FILE_APPEND_DATA, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(newer, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(newer, "newer", 5, &written, nullptr));
  CloseHandle(newer);
  ASSERT_EQ(RunSetup(L"install /nostart").exitCode, 0u);
  ASSERT_TRUE(Exists(extension + L".new"));
  FreeLibrary(inUse);

  Outcome run = RunSetup(L"install /nostart");
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_FALSE(Exists(extension + L".new"));
  EXPECT_EQ(Contents(extension), Contents(source_ + L"taskext_xp.dll"));
  DropThePendingDriverDelete();
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

  ExpectUninstallLeavesTheDriverForTheNextBoot();

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
  DropThePendingDriverDelete();
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

  SetString(HKEY_CURRENT_USER, kAppDefaults, L"Version", L"win2003");
  run = RunSetup(L"install /nostart");
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  ExpectInstalled(L"taskext_xp.dll");
  ASSERT_EQ(RunSetup(L"uninstall").exitCode, 0u);

  // Older than 2000 SP4, and newer than 2003, where Task Manager is another program.
  for (auto [version, says] :
       {std::pair{L"nt40", "this is Windows 4.0"}, std::pair{L"win7", "this is Windows 6.1"},
        std::pair{L"vista", "this is Windows 6.0"}}) {
    SetString(HKEY_CURRENT_USER, kAppDefaults, L"Version", version);
    run = RunSetup(L"install /nostart");
    EXPECT_EQ(run.exitCode, 1u) << says;
    EXPECT_NE(run.output.find(says), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Nothing was changed."), std::string::npos) << run.output;
    EXPECT_FALSE(QueryService(L"vesk").present) << says;
    EXPECT_FALSE(Exists(SystemDir() + L"drivers\\" + kDriverFile)) << says;
    EXPECT_EQ(GetString(kTaskManagerOptionsKey, kDebugger), L"<absent>") << says;
  }
}

}  // namespace
