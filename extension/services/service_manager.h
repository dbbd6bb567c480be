// The service control manager as the Services page uses it: enumeration of
// the Win32 services (also behind the lookups by process id of
// services/hosted_services.h) and the details query of one record.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/target.h"
#include "services/hosted_services.h"
#include "services/service_record.h"

// A service or manager handle, closed with the object.
class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  ~ScHandle() { Reset(); }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void Reset() {
    if (handle_) CloseServiceHandle(handle_);
    handle_ = nullptr;
  }

 private:
  SC_HANDLE handle_;
};

// A variable-size query, made with a buffer of exactly the size it asks for:
// `query(buffer, size, &needed)` is called first without a buffer, then with
// one of the size it named, again (a few times at most) while it reports that
// more data has appeared in between. False when the query fails.
using SizedQuery = std::function<bool(BYTE* buffer, DWORD size, DWORD* needed)>;
bool QueryWithBuffer(std::vector<BYTE>& buffer, const SizedQuery& query);

// Every Win32 service (own and shared process) in every state, in the
// manager's order; none when the manager cannot be opened or the
// enumeration fails.
std::optional<std::vector<EnumeratedService>> EnumerateServices();

// Opens the record's service (unless its handle is still open) and reads its
// state, accepted controls, start type, binary path and description into the
// record, building its tip text. True when the record holds an open handle.
bool QueryServiceDetails(ServiceRecord& record);
// Closes the record's service handle, if one is open.
void ReleaseServiceHandle(ServiceRecord& record);
