#include "services/service_manager.h"

namespace {

// Access to a service for everything the page does with it: query and change
// its configuration, query its status, enumerate its dependents, start, stop,
// pause and continue.
constexpr DWORD kServiceAccess = 0x7F;
constexpr DWORD kWin32Services = SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS;
// Services may be added between the size query and the data query; the
// query is then repeated with the larger size, a few times at most.
constexpr int kQueryAttempts = 4;

#ifdef VESK_WINDOWS_2000
using EnumEntry = ENUM_SERVICE_STATUSW;

BOOL EnumerateInto(SC_HANDLE manager, BYTE* buffer, DWORD size, DWORD* needed, DWORD* count) {
  DWORD resume = 0;
  return EnumServicesStatusW(manager, kWin32Services, SERVICE_STATE_ALL, reinterpret_cast<EnumEntry*>(buffer),
                             size, needed, count, &resume);
}

EnumeratedService FromEntry(const EnumEntry& entry) {
  EnumeratedService service;
  service.keyName = entry.lpServiceName ? entry.lpServiceName : L"";
  service.displayName = entry.lpDisplayName ? entry.lpDisplayName : L"";
  service.state = entry.ServiceStatus.dwCurrentState;
  service.acceptedControls = entry.ServiceStatus.dwControlsAccepted;
  service.checkpoint = entry.ServiceStatus.dwCheckPoint;
  return service;
}
#else
using EnumEntry = ENUM_SERVICE_STATUS_PROCESSW;

BOOL EnumerateInto(SC_HANDLE manager, BYTE* buffer, DWORD size, DWORD* needed, DWORD* count) {
  DWORD resume = 0;
  return EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, kWin32Services, SERVICE_STATE_ALL, buffer, size,
                               needed, count, &resume, nullptr);
}

EnumeratedService FromEntry(const EnumEntry& entry) {
  EnumeratedService service;
  service.keyName = entry.lpServiceName ? entry.lpServiceName : L"";
  service.displayName = entry.lpDisplayName ? entry.lpDisplayName : L"";
  service.state = entry.ServiceStatusProcess.dwCurrentState;
  service.acceptedControls = entry.ServiceStatusProcess.dwControlsAccepted;
  service.checkpoint = entry.ServiceStatusProcess.dwCheckPoint;
  service.processId = entry.ServiceStatusProcess.dwProcessId;
  return service;
}
#endif

}  // namespace

bool QueryWithBuffer(std::vector<BYTE>& buffer, const SizedQuery& query) {
  DWORD needed = 0;
  buffer.clear();
  if (query(nullptr, 0, &needed)) return true;
  for (int attempt = 0; attempt < kQueryAttempts; ++attempt) {
    DWORD error = GetLastError();
    if ((error != ERROR_MORE_DATA && error != ERROR_INSUFFICIENT_BUFFER) || needed == 0) return false;
    buffer.assign(needed, 0);
    if (query(buffer.data(), DWORD(buffer.size()), &needed)) return true;
  }
  return false;
}

std::optional<std::vector<EnumeratedService>> EnumerateServices() {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
  if (!manager) return std::nullopt;
  DWORD count = 0;
  std::vector<BYTE> buffer;
  bool enumerated = QueryWithBuffer(buffer, [&](BYTE* data, DWORD size, DWORD* needed) {
    count = 0;
    return EnumerateInto(manager.get(), data, size, needed, &count) != FALSE;
  });
  manager.Reset();
  if (!enumerated) return std::nullopt;
  std::vector<EnumeratedService> services;
  // The entries and their strings lie within the buffer the manager filled.
  size_t fits = buffer.size() / sizeof(EnumEntry);
  const auto* entries = reinterpret_cast<const EnumEntry*>(buffer.data());
  for (DWORD i = 0; i < count && i < fits; ++i) services.push_back(FromEntry(entries[i]));
  return services;
}

bool QueryServiceDetails(ServiceRecord& record) {
  if (record.service) return true;
  {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    record.service = OpenServiceW(manager.get(), record.keyName.c_str(), kServiceAccess);
  }
  if (!record.service) return false;
  SERVICE_STATUS status = {};
  if (QueryServiceStatus(record.service, &status)) {
    record.currentState = status.dwCurrentState;
    record.acceptedControls = status.dwControlsAccepted;
  }
  std::vector<BYTE> buffer;
  if (QueryWithBuffer(buffer,
                      [&](BYTE* data, DWORD size, DWORD* needed) {
                        return QueryServiceConfigW(record.service,
                                                   reinterpret_cast<QUERY_SERVICE_CONFIGW*>(data), size,
                                                   needed) != FALSE;
                      }) &&
      buffer.size() >= sizeof(QUERY_SERVICE_CONFIGW)) {
    const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
    record.startType = config->dwStartType;
    record.binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
  }
  std::wstring description;
#ifndef VESK_WINDOWS_2000
  if (QueryWithBuffer(buffer,
                      [&](BYTE* data, DWORD size, DWORD* needed) {
                        return QueryServiceConfig2W(record.service, SERVICE_CONFIG_DESCRIPTION, data, size,
                                                    needed) != FALSE;
                      }) &&
      buffer.size() >= sizeof(SERVICE_DESCRIPTIONW)) {
    const auto* found = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data());
    if (found->lpDescription) description = found->lpDescription;
  }
#endif
  record.tipText = description + L"\n" + record.binaryPath;
  return true;
}

void ReleaseServiceHandle(ServiceRecord& record) {
  if (record.service) CloseServiceHandle(record.service);
  record.service = nullptr;
}
