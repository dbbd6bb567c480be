// Kernel drivers of the Win32 tier as demand-start services of the PNP_TDI
// group, so that they live in one winedevice.exe. They stay loaded for the
// Wine session (a driver without an unload routine cannot be stopped), so a
// second start finds them running.
#pragma once

#include <windows.h>

#include <string>

// Registers (or re-points at `path`) and starts the driver; 0 or the error.
inline DWORD StartDriver(SC_HANDLE manager, const wchar_t* name, const std::wstring& path) {
  SC_HANDLE service =
      CreateServiceW(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                     SERVICE_ERROR_NORMAL, path.c_str(), L"PNP_TDI", nullptr, nullptr, nullptr, nullptr);
  if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
    // Registered by an earlier run of this prefix: the path is this build's.
    service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
    if (service != nullptr &&
        !ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, path.c_str(),
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
      DWORD error = GetLastError();
      CloseServiceHandle(service);
      return error;
    }
  }
  if (service == nullptr) return GetLastError();
  DWORD error = StartServiceW(service, 0, nullptr) ? 0 : GetLastError();
  if (error == ERROR_SERVICE_ALREADY_RUNNING) error = 0;
  CloseServiceHandle(service);
  return error;
}
