#include "vesksvc_control.h"

#include "service_identity.h"

namespace vesksvc_control {
namespace {

class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ServiceHandle() {
    if (handle_) CloseServiceHandle(handle_);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

bool QueryStatus(SERVICE_STATUS_PROCESS* status) {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ServiceHandle service(OpenServiceW(manager.get(), vesksvc::kServiceName, SERVICE_QUERY_STATUS));
  DWORD needed = 0;
  return service.get() && QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                               reinterpret_cast<BYTE*>(status), sizeof *status, &needed);
}

bool WaitForState(DWORD state, DWORD boundMs) {
  DWORD start = GetTickCount();
  while (State() != state) {
    if (GetTickCount() - start > boundMs) return false;
    Sleep(10);
  }
  return true;
}

}  // namespace

bool Install(const std::wstring& binary) {
  std::wstring quoted = L"\"" + binary + L"\"";
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager.get()) return false;
  ServiceHandle existing(OpenServiceW(manager.get(), vesksvc::kServiceName, SERVICE_ALL_ACCESS));
  if (existing.get())
    return ChangeServiceConfigW(existing.get(), vesksvc::kServiceType, SERVICE_DEMAND_START,
                                SERVICE_ERROR_NORMAL, quoted.c_str(), nullptr, nullptr, nullptr, nullptr,
                                nullptr, vesksvc::kDisplayName) != FALSE;
  ServiceHandle created(CreateServiceW(manager.get(), vesksvc::kServiceName, vesksvc::kDisplayName,
                                       SERVICE_ALL_ACCESS, vesksvc::kServiceType, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL, quoted.c_str(), nullptr, nullptr, nullptr,
                                       nullptr, nullptr));
  return created.get() != nullptr;
}

bool Start() {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ServiceHandle service(OpenServiceW(manager.get(), vesksvc::kServiceName, SERVICE_START));
  return service.get() && StartServiceW(service.get(), 0, nullptr) && WaitForState(SERVICE_RUNNING, 5000);
}

DWORD Stop() {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ServiceHandle service(OpenServiceW(manager.get(), vesksvc::kServiceName, SERVICE_STOP));
  SERVICE_STATUS status = {};
  DWORD start = GetTickCount();
  if (!service.get() || !ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return 0;
  if (!WaitForState(SERVICE_STOPPED, 10000)) return ~DWORD(0);
  return GetTickCount() - start;
}

DWORD State() {
  SERVICE_STATUS_PROCESS status = {};
  return QueryStatus(&status) ? status.dwCurrentState : 0;
}

DWORD ProcessId() {
  SERVICE_STATUS_PROCESS status = {};
  return QueryStatus(&status) ? status.dwProcessId : 0;
}

}  // namespace vesksvc_control
