#include "services/service_record.h"

#include "common/resource_loaders.h"
#include "common/text_format.h"
#include "resources/resource_ids.h"

ServiceRecord::~ServiceRecord() {
  if (service) CloseServiceHandle(service);
}

bool IsPendingState(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
         state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING;
}

std::wstring StatusText(DWORD state, DWORD checkpoint) {
  UINT text = 0;
  switch (state) {
    case SERVICE_RUNNING:
      return LoadResourceString(IDS_RUNNING);
    case SERVICE_PAUSED:
      return LoadResourceString(IDS_PAUSED);
    case SERVICE_START_PENDING:
      text = IDS_STARTING;
      break;
    case SERVICE_STOP_PENDING:
      text = IDS_STOPPING;
      break;
    case SERVICE_CONTINUE_PENDING:
      text = IDS_RESUMING;
      break;
    case SERVICE_PAUSE_PENDING:
      text = IDS_PAUSING;
      break;
    default:
      return std::wstring();
  }
  return LoadResourceString(text) + L" (" + Decimal(checkpoint) + L")";
}

int CompareDisplayNames(const ServiceRecord& a, const ServiceRecord& b) {
  const std::wstring& x = a.displayName;
  const std::wstring& y = b.displayName;
  size_t common = x.size() < y.size() ? x.size() : y.size();
  for (size_t i = 0; i < common; ++i) {
    unsigned left = static_cast<unsigned short>(x[i]), right = static_cast<unsigned short>(y[i]);
    if (left != right) return left < right ? -1 : 1;
  }
  if (x.size() == y.size()) return 0;
  return x.size() < y.size() ? -1 : 1;
}

int CompareStates(const ServiceRecord& a, const ServiceRecord& b) {
  // The states are small codes; their difference cannot overflow.
  return int(a.currentState) - int(b.currentState);
}
