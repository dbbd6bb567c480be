// What the service control manager knows of vesksvc: the facts an installer
// needs, kept in one place so the service and its setup agree.
#pragma once

#include <windows.h>

namespace vesksvc {

constexpr const wchar_t* kServiceName = L"vesksvc";
constexpr const wchar_t* kDisplayName = L"Vesk Saved Priorities";
constexpr const wchar_t* kDescription =
    L"Applies the priority and processor affinity saved in Task Manager to new processes of the same image.";
constexpr const wchar_t* kImageName = L"vesksvc.exe";
// Started at boot, so that processes started before anybody logs on get
// their saved values too.
constexpr DWORD kStartType = SERVICE_AUTO_START;
constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS;

}  // namespace vesksvc
