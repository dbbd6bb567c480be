// vesksvc: a Win32 service that applies the priority class and processor
// affinity saved in vesk.ini to every new process of an image whose
// "SavePriority" is on. No window, no C runtime.
//
// New processes are found by a Toolhelp process snapshot every
// kScanPeriodMs, each process known by its id, creation time and parent. Windows 2000 and XP tell a user-mode
// program nothing when a process starts: the kernel's creation callback is for drivers, and WMI's process
// creation events poll the same process list behind a much heavier machinery (and need WMI running). A
// snapshot is one copy of the kernel's process list; when no process is new, nothing else happens (no file
// access; each process is opened only to read its creation time).
#include <windows.h>
#include <tlhelp32.h>

#include "process_tracker.h"
#include "saved_priority.h"
#include "service_identity.h"

namespace {

using vesksvc::ProcessKey;
using vesksvc::ProcessTracker;

const DWORD kScanPeriodMs = 1000;
const DWORD kStopWaitHintMs = 2000;
const wchar_t kSettingsFile[] = L"vesk.ini";
// More processes than Windows 2000 and XP run in practice; the rest of a
// larger snapshot is left alone.
const size_t kTrackedProcesses = 4096;
// Room for every valid value; a longer one is cut by the profile function and
// then rejected instead of parsed in part.
const DWORD kValueChars = 64;

ProcessKey gKnown[kTrackedProcesses];
ProcessKey gCurrent[kTrackedProcesses];

SERVICE_STATUS_HANDLE gStatusHandle;
HANDLE gStopEvent;

void ReportState(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHint = 0) {
  SERVICE_STATUS status = {};
  status.dwServiceType = vesksvc::kServiceType;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exitCode;
  status.dwWaitHint = waitHint;
  SetServiceStatus(gStatusHandle, &status);
}

void WINAPI OnControl(DWORD control) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    ReportState(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs);
    SetEvent(gStopEvent);
  }
}

// A saved value of the image's section, or false when it is absent or did
// not fit the buffer.
bool ReadValue(const wchar_t* image, const wchar_t* key, wchar_t (&text)[kValueChars]) {
  DWORD length = GetPrivateProfileStringW(image, key, L"", text, kValueChars, kSettingsFile);
  return length > 0 && length < kValueChars - 1;
}

const char16_t* AsText(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }

// Whether the process's own token holds the privilege to raise base
// priority (enabled or not): what its owner would need to set Realtime.
bool OwnerMayRaiseBasePriority(HANDLE process) {
  LUID privilege;
  if (!LookupPrivilegeValueW(nullptr, SE_INC_BASE_PRIORITY_NAME, &privilege)) return false;
  HANDLE token;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return false;
  // DWORD-aligned, as TOKEN_PRIVILEGES is; a token of more privileges than
  // fit counts as not holding this one.
  static DWORD buffer[1024];
  DWORD size = 0;
  bool holds = GetTokenInformation(token, TokenPrivileges, buffer, sizeof buffer, &size) &&
               vesksvc::PrivilegesInclude(buffer, size, privilege.LowPart, privilege.HighPart);
  CloseHandle(token);
  return holds;
}

// GetProcessTimes' creation time of the process, or 0 when it cannot be read.
uint64_t CreationTime(DWORD id) {
  if (!vesksvc::IsEligibleProcessId(id)) return 0;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id);
  if (!process) return 0;
  FILETIME created, exited, kernel, user;
  uint64_t time = GetProcessTimes(process, &created, &exited, &kernel, &user)
                      ? uint64_t(created.dwHighDateTime) << 32 | created.dwLowDateTime
                      : 0;
  CloseHandle(process);
  return time;
}

void ApplySavedValues(DWORD id, const wchar_t* image) {
  if (!vesksvc::IsEligibleProcessId(id) || !*image || vesksvc::IsCriticalSystemImage(AsText(image))) return;
  if (GetPrivateProfileIntW(image, L"SavePriority", 1, kSettingsFile) == 0) return;
  wchar_t text[kValueChars];
  DWORD priorityClass =
      ReadValue(image, L"Priority", text) ? vesksvc::PriorityClassFromName(AsText(text)) : 0;
  uint32_t savedMask = 0;
  bool haveMask = ReadValue(image, L"Affinity", text) && vesksvc::ParseAffinity(AsText(text), &savedMask);
  if (!priorityClass && !haveMask) return;

  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_SET_INFORMATION, FALSE, id);
  if (!process) return;
  if (priorityClass)
    SetPriorityClass(
        process, vesksvc::ClassForProcess(priorityClass, priorityClass != vesksvc::kRealtimePriorityClass ||
                                                             OwnerMayRaiseBasePriority(process)));
  DWORD_PTR processMask = 0;
  DWORD_PTR systemMask = 0;
  if (haveMask && GetProcessAffinityMask(process, &processMask, &systemMask)) {
    DWORD_PTR mask = vesksvc::MaskToProcessors(savedMask, static_cast<uint32_t>(systemMask));
    if (mask) SetProcessAffinityMask(process, mask);
  }
  CloseHandle(process);
}

void Scan(ProcessTracker& tracker) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  tracker.BeginSnapshot();
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (tracker.Observe({entry.th32ProcessID, entry.th32ParentProcessID, CreationTime(entry.th32ProcessID)}))
      ApplySavedValues(entry.th32ProcessID, entry.szExeFile);
  }
  // The walk ends with ERROR_NO_MORE_FILES; anything else cut it short.
  if (GetLastError() == ERROR_NO_MORE_FILES)
    tracker.EndSnapshot();
  else
    tracker.DiscardSnapshot();
  CloseHandle(snapshot);
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  gStatusHandle = RegisterServiceCtrlHandlerW(vesksvc::kServiceName, OnControl);
  if (!gStatusHandle) return;
  gStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!gStopEvent) {
    ReportState(SERVICE_STOPPED, GetLastError());
    return;
  }
  ReportState(SERVICE_RUNNING);
  // The first snapshot takes every running process for new: those started
  // before the service get their saved values as well.
  ProcessTracker tracker(gKnown, gCurrent, kTrackedProcesses);
  do {
    Scan(tracker);
  } while (WaitForSingleObject(gStopEvent, kScanPeriodMs) == WAIT_TIMEOUT);
  CloseHandle(gStopEvent);
  ReportState(SERVICE_STOPPED);
}

}  // namespace

// The process entry point: the program links no C runtime. Started other than
// by the service control manager, the dispatcher fails and so does the exit.
extern "C" void WINAPI VeskSvcEntry() {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(vesksvc::kServiceName), ServiceMain},
                                  {nullptr, nullptr}};
  ExitProcess(StartServiceCtrlDispatcherW(table) ? 0 : GetLastError());
}
