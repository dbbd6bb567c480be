#include "test_services.h"

#include <gtest/gtest.h>

#include "taskmgr_host.h"

namespace test_services {
namespace {

class Handle {
 public:
  explicit Handle(SC_HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_) CloseServiceHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

SC_HANDLE Manager() { return OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }

SC_HANDLE Open(SC_HANDLE manager, const wchar_t* name) {
  return OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
}

struct Definition {
  const wchar_t* name;
  const wchar_t* displayName;
  DWORD type;
  const wchar_t* dependencies;  // double-NUL-terminated
  const wchar_t* description;
};

const Definition kDefinitions[] = {
    {kBase, kBaseName, SERVICE_WIN32_OWN_PROCESS, nullptr, nullptr},
    {kDependentA, kDependentAName, SERVICE_WIN32_OWN_PROCESS, L"VeskTestBase\0", nullptr},
    {kDependentB, kDependentBName, SERVICE_WIN32_OWN_PROCESS, L"VeskTestBase\0", nullptr},
    {kSlow, kSlowName, SERVICE_WIN32_OWN_PROCESS, nullptr, kSlowDescription},
    {kShared[0], L"Vesk Test Shared 1", SERVICE_WIN32_SHARE_PROCESS, nullptr, nullptr},
    {kShared[1], L"Vesk Test Shared 2", SERVICE_WIN32_SHARE_PROCESS, nullptr, nullptr},
    {kShared[2], L"Vesk Test Shared 3", SERVICE_WIN32_SHARE_PROCESS, nullptr, nullptr},
};

std::wstring ServiceBinary() { return L"\"" + HostPath("VESK_TEST_SERVICE") + L"\""; }

void SetParameter(const wchar_t* name, const wchar_t* value, DWORD data) {
  std::wstring key = std::wstring(L"System\\CurrentControlSet\\Services\\") + name + L"\\Parameters";
  HKEY handle = nullptr;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr),
      ERROR_SUCCESS);
  RegSetValueExW(handle, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
  RegCloseKey(handle);
}

bool WaitUntil(const wchar_t* name, bool (*done)(const SERVICE_STATUS_PROCESS&, DWORD, DWORD), DWORD state,
               DWORD checkpoint) {
  return WaitFor([&] { return done(Status(name), state, checkpoint); });
}

}  // namespace

void Reset() {
  Handle manager(Manager());
  ASSERT_TRUE(manager.get() != nullptr);
  std::wstring binary = ServiceBinary();
  for (const auto& definition : kDefinitions) {
    Handle service(Open(manager.get(), definition.name));
    if (service.get()) {
      ChangeServiceConfigW(service.get(), definition.type, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           binary.c_str(), nullptr, nullptr, definition.dependencies, nullptr, nullptr,
                           definition.displayName);
    } else {
      Handle created(CreateServiceW(manager.get(), definition.name, definition.displayName,
                                    SERVICE_ALL_ACCESS, definition.type, SERVICE_DEMAND_START,
                                    SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr,
                                    definition.dependencies, nullptr, nullptr));
      ASSERT_TRUE(created.get() != nullptr) << "cannot install " << definition.name << ": " << GetLastError();
    }
    Handle configured(Open(manager.get(), definition.name));
    SERVICE_DESCRIPTIONW description = {
        const_cast<LPWSTR>(definition.description ? definition.description : L"")};
    ChangeServiceConfig2W(configured.get(), SERVICE_CONFIG_DESCRIPTION, &description);
  }
  for (const auto& definition : kDefinitions) {
    // Wine's manager can leave a stopped service in a pending state when it
    // is sent a control, so only what runs is controlled.
    DWORD state = Status(definition.name).dwCurrentState;
    if (state == SERVICE_STOPPED) continue;
    Release(definition.name);
    if (state == SERVICE_PAUSED) Control(definition.name, SERVICE_CONTROL_CONTINUE);
    Control(definition.name, SERVICE_CONTROL_STOP);
  }
  for (const auto& definition : kDefinitions) {
    WaitFor([&] {
      if (Status(definition.name).dwCurrentState == SERVICE_STOPPED) return true;
      Release(definition.name);
      if (Status(definition.name).dwCurrentState == SERVICE_RUNNING)
        Control(definition.name, SERVICE_CONTROL_STOP);
      return false;
    });
    EXPECT_EQ(Status(definition.name).dwCurrentState, DWORD(SERVICE_STOPPED)) << definition.name;
    Configure(definition.name, 0);
  }
}

void Configure(const wchar_t* name, DWORD pendingMs, DWORD stepMs, DWORD accept) {
  SetParameter(name, L"PendingMs", pendingMs);
  SetParameter(name, L"StepMs", stepMs);
  SetParameter(name, L"Accept", accept);
}

void Release(const wchar_t* name) {
  HANDLE event =
      OpenEventW(EVENT_MODIFY_STATE, FALSE, (std::wstring(L"Global\\VeskTestRelease.") + name).c_str());
  if (!event) return;
  SetEvent(event);
  CloseHandle(event);
}

bool Start(const wchar_t* name) {
  Handle manager(Manager());
  Handle service(Open(manager.get(), name));
  return service.get() && StartServiceW(service.get(), 0, nullptr);
}

bool Control(const wchar_t* name, DWORD control) {
  Handle manager(Manager());
  Handle service(Open(manager.get(), name));
  SERVICE_STATUS status = {};
  return service.get() && ControlService(service.get(), control, &status);
}

void SetStartType(const wchar_t* name, DWORD startType) {
  Handle manager(Manager());
  Handle service(Open(manager.get(), name));
  ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr, nullptr);
}

namespace {
std::vector<BYTE> Config(const wchar_t* name) {
  Handle manager(Manager());
  Handle service(Open(manager.get(), name));
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed ? needed : 1);
  if (!QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()), needed,
                           &needed))
    buffer.assign(sizeof(QUERY_SERVICE_CONFIGW), 0);
  return buffer;
}
}  // namespace

DWORD StartType(const wchar_t* name) {
  auto buffer = Config(name);
  return reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data())->dwStartType;
}

std::wstring BinaryPath(const wchar_t* name) {
  auto buffer = Config(name);
  const wchar_t* path = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data())->lpBinaryPathName;
  return path ? path : L"";
}

SERVICE_STATUS_PROCESS Status(const wchar_t* name) {
  SERVICE_STATUS_PROCESS status = {};
  Handle manager(Manager());
  Handle service(Open(manager.get(), name));
  DWORD needed = 0;
  if (service.get())
    QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                         sizeof status, &needed);
  return status;
}

bool WaitForState(const wchar_t* name, DWORD state) {
  return WaitUntil(
      name,
      [](const SERVICE_STATUS_PROCESS& status, DWORD wanted, DWORD) {
        return status.dwCurrentState == wanted;
      },
      state, 0);
}

bool WaitForCheckpoint(const wchar_t* name, DWORD state, DWORD checkpoint) {
  return WaitUntil(
      name,
      [](const SERVICE_STATUS_PROCESS& status, DWORD wanted, DWORD least) {
        return status.dwCurrentState == wanted && status.dwCheckPoint >= least;
      },
      state, checkpoint);
}

void CreateExtra(const wchar_t* name, const wchar_t* displayName) {
  Handle manager(Manager());
  std::wstring binary = ServiceBinary();
  Handle created(CreateServiceW(manager.get(), name, displayName, SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_TRUE(created.get() != nullptr) << GetLastError();
}

void Delete(const wchar_t* name) {
  Handle manager(Manager());
  Handle service(Open(manager.get(), name));
  if (service.get()) DeleteService(service.get());
}

std::vector<Listed> Enumerate() {
  Handle manager(Manager());
  DWORD needed = 0, count = 0, resume = 0;
  EnumServicesStatusExW(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0,
                        &needed, &count, &resume, nullptr);
  std::vector<BYTE> buffer(needed);
  resume = 0;
  std::vector<Listed> listed;
  if (!EnumServicesStatusExW(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                             buffer.data(), needed, &needed, &count, &resume, nullptr))
    return listed;
  const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
  for (DWORD i = 0; i < count; ++i)
    listed.push_back({entries[i].lpServiceName, entries[i].lpDisplayName ? entries[i].lpDisplayName : L"",
                      entries[i].ServiceStatusProcess.dwCurrentState,
                      entries[i].ServiceStatusProcess.dwProcessId});
  return listed;
}

std::vector<std::wstring> ActiveDependents(const wchar_t* name) {
  Handle manager(Manager());
  Handle service(Open(manager.get(), name));
  DWORD needed = 0, count = 0;
  std::vector<std::wstring> names;
  if (EnumDependentServicesW(service.get(), SERVICE_ACTIVE, nullptr, 0, &needed, &count) || !needed)
    return names;
  std::vector<BYTE> buffer(needed);
  if (!EnumDependentServicesW(service.get(), SERVICE_ACTIVE,
                              reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data()), needed, &needed,
                              &count))
    return names;
  const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) names.push_back(entries[i].lpServiceName);
  return names;
}

}  // namespace test_services
