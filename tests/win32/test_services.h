// The test services of test_service.exe, installed in the test prefix's
// service control manager, configured and driven from the tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace test_services {

// Key names and display names.
constexpr const wchar_t* kBase = L"VeskTestBase";  // the two dependents need it
constexpr const wchar_t* kDependentA = L"VeskTestDepA";
constexpr const wchar_t* kDependentB = L"VeskTestDepB";
constexpr const wchar_t* kSlow = L"VeskTestSlow";  // has a description
constexpr const wchar_t* kShared[] = {L"VeskTestShared1", L"VeskTestShared2", L"VeskTestShared3"};
constexpr const wchar_t* kBaseName = L"Vesk Test Base";
constexpr const wchar_t* kDependentAName = L"Vesk Test Dependent A";
constexpr const wchar_t* kDependentBName = L"Vesk Test Dependent B";
constexpr const wchar_t* kSlowName = L"Vesk Test Slow";
constexpr const wchar_t* kSlowDescription = L"Takes its time over every change.";
// Holds each pending state until Release().
constexpr DWORD kHold = 0xFFFFFFFF;

// Installs every test service (binary from VESK_TEST_SERVICE) or puts back
// its configuration, stops them all and gives each the default behaviour:
// no pending time, every control accepted, demand start.
void Reset();
// The service's behaviour from its next start on (see test_service.cpp).
void Configure(const wchar_t* name, DWORD pendingMs, DWORD stepMs = 100, DWORD accept = 3);
// A running service's user control: it accepts pause and continue no more.
constexpr DWORD kWithdrawPause = 128;
void Release(const wchar_t* name);

bool Start(const wchar_t* name);
bool Control(const wchar_t* name, DWORD control);
void SetStartType(const wchar_t* name, DWORD startType);
DWORD StartType(const wchar_t* name);
std::wstring BinaryPath(const wchar_t* name);
SERVICE_STATUS_PROCESS Status(const wchar_t* name);
// Waits for the state (at most kStateWaitMs).
bool WaitForState(const wchar_t* name, DWORD state);
// Waits for a checkpoint of at least `checkpoint` in the state.
bool WaitForCheckpoint(const wchar_t* name, DWORD state, DWORD checkpoint);
// Creates a further own-process service; Delete removes it.
void CreateExtra(const wchar_t* name, const wchar_t* displayName);
void Delete(const wchar_t* name);

struct Listed {
  std::wstring keyName;
  std::wstring displayName;
  DWORD state;
  DWORD processId;
};
// What the manager enumerates of the Win32 services.
std::vector<Listed> Enumerate();
// The key names of the service's active dependents, in the manager's order.
std::vector<std::wstring> ActiveDependents(const wchar_t* name);

}  // namespace test_services
