// One listed Win32 service: what the Services page shows of it and what its
// context menu and control commands need. Records are owned by the page's
// record list; list items and queued control requests refer to them.
#pragma once

#include <memory>
#include <string>

#include "common/target.h"

// The start type before the first details query.
constexpr DWORD kStartTypeUnknown = 0xFFFFFFFF;
// Accepted-control bits the page uses.
constexpr DWORD kAcceptsStop = 0x1;
constexpr DWORD kAcceptsPauseContinue = 0x2;

struct ServiceRecord {
  ServiceRecord() = default;
  ServiceRecord(const ServiceRecord&) = delete;
  ServiceRecord& operator=(const ServiceRecord&) = delete;
  // A record never outlives its service handle.
  ~ServiceRecord();

  std::wstring keyName;
  std::wstring displayName;
  DWORD currentState = 0;
  // The state whose text the list item carries; written only by the refresh.
  DWORD shownState = 0;
  DWORD acceptedControls = 0;
  DWORD startType = kStartTypeUnknown;
  std::wstring binaryPath;
  DWORD processId = 0;
  // Description, a line feed, the binary path.
  std::wstring tipText;
  DWORD checkpoint = 0;
  // Open between a details query and the release of the handle.
  SC_HANDLE service = nullptr;
};

using ServiceRecordPtr = std::shared_ptr<ServiceRecord>;

// The pending states: start, stop, continue and pause pending.
bool IsPendingState(DWORD state);

// Column 1's text for a state: "Running", "Starting (3)", empty for stopped.
std::wstring StatusText(DWORD state, DWORD checkpoint);

// The two sort orders, before the sort direction is applied: display names
// by unsigned UTF-16 code units (a prefix first), and states as numbers.
int CompareDisplayNames(const ServiceRecord& a, const ServiceRecord& b);
int CompareStates(const ServiceRecord& a, const ServiceRecord& b);
