#include "services/hosted_services.h"

namespace {

// The idle process: the id that every service without a process reports.
constexpr uint32_t kNoProcess = 0;

bool Hosts(uint32_t processId, const EnumeratedService& service) {
  return processId != kNoProcess && service.processId == processId;
}

}  // namespace

void AppendHostingServices(const std::wstring& header, std::wstring& text, uint32_t processId,
                           const std::vector<EnumeratedService>& services) {
  bool first = true;
  for (const auto& service : services) {
    if (!Hosts(processId, service)) continue;
    text += first ? header : std::wstring(L"\n");
    text += L" - " + service.displayName;
    first = false;
  }
}

void ListHostedServices(uint32_t processId, const std::vector<EnumeratedService>& services,
                        std::vector<std::wstring>& names) {
  names.clear();
  for (const auto& service : services)
    if (Hosts(processId, service)) names.push_back(service.displayName);
}
