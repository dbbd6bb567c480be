// vesksetup.exe starting the real vesk.sys at install, as it does unless told
// /nostart. It runs in a Wine session of its own, with the TDI test transport
// standing in for TCP/IP: a started driver stays loaded until the session
// ends, and the other setup tests and the extension's must never meet it.
#include "setup_fixture.h"
#include "transport/driver_service.h"

namespace {

using namespace setup_test;

bool DriverDeviceOpens() {
  HANDLE device =
      CreateFileW(L"\\\\.\\Vesk", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return false;
  CloseHandle(device);
  return true;
}

// One case, in order: the driver can start only once there is a transport to
// attach to, and nothing unloads it again.
TEST_F(Setup, InstallStartsTheDriverAtOnceWhenItCanAndUninstallLeavesItLoadedForTheNextBoot) {
  // No \Device\Tcp yet: the start fails, install says so with the system's
  // text and fails, and everything else is in place for the next boot.
  Outcome run = RunSetup(L"install");
  EXPECT_EQ(run.exitCode, 1u) << run.output;
  EXPECT_NE(run.output.find("Could not start the service vesk: "), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("The driver starts when Windows restarts."), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Install is NOT complete"), std::string::npos) << run.output;
  ExpectInstalled(L"taskext_xp.dll");
  EXPECT_NE(QueryService(L"vesk").state, DWORD(SERVICE_RUNNING));
  EXPECT_FALSE(DriverDeviceOpens());

  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr);
  DWORD transport = StartDriver(manager, L"vesk_test_tdi", HostPath("VESK_TEST_TDI"));
  CloseServiceHandle(manager);
  ASSERT_EQ(transport, 0u) << "the test transport did not start";

  // With the transport there, install again starts the driver at once.
  run = RunSetup(L"install");
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_NE(run.output.find("Started the service vesk"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Vesk is installed."), std::string::npos) << run.output;
  ExpectInstalled(L"taskext_xp.dll");
  EXPECT_EQ(QueryService(L"vesk").state, DWORD(SERVICE_RUNNING));
  EXPECT_TRUE(DriverDeviceOpens());

  // Again, the loaded driver's file cannot be written: holding these bytes
  // already, it stays; a different vesk.sys takes its place at the restart.
  run = RunSetup(L"install");
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_NE(run.output.find("The service vesk is running already."), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("vesk.sys is in use and already holds this version: it stays."),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("Vesk is installed."), std::string::npos) << run.output;
  ExpectInstalled(L"taskext_xp.dll");

  HANDLE newer =
      CreateFileW((source_ + kDriverFile).c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(newer, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(newer, "newer", 5, &written, nullptr));
  CloseHandle(newer);
  run = RunSetup(L"install");
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_NE(run.output.find("is in use: this install's vesk.sys takes its place when Windows restarts."),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("the new driver runs from the second restart on."), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("Restart Windows to finish"), std::string::npos) << run.output;
  std::wstring staged = SystemDir() + L"drivers\\" + kDriverFile + L".new";
  EXPECT_EQ(Contents(staged), Contents(source_ + kDriverFile));
  EXPECT_TRUE(OperationPending(L"\\drivers\\vesk.sys.new", L"\\drivers\\vesk.sys"));

  // The driver has no unload routine: the stop is refused or never ends, so
  // its file and service go at the next boot.
  // The staged copy goes too: it would bring the driver back at the restart.
  ExpectUninstallLeavesTheDriverForTheNextBoot();
  EXPECT_FALSE(Exists(staged));
  EXPECT_TRUE(DriverDeviceOpens());
  DropThePendingDriverDelete();
}

}  // namespace
