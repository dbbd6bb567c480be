// The services of one process, read from an enumeration of all services: the
// hosting-services lines of the tooltips and the names behind Go To Service.
// Portable, without Windows headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What an enumeration tells of one service. The process id is 0 for a
// service that is not running, and for every service in the Windows 2000
// build, whose enumeration carries none.
struct EnumeratedService {
  std::wstring keyName;
  std::wstring displayName;
  uint32_t state = 0;
  uint32_t acceptedControls = 0;
  uint32_t checkpoint = 0;
  uint32_t processId = 0;
};

// Appends the header and " - NAME" for every service of the process, the
// names separated by "\n", nothing after the last; nothing without one.
// Process 0 hosts nothing: its id is that of every stopped service.
void AppendHostingServices(const std::wstring& header, std::wstring& text, uint32_t processId,
                           const std::vector<EnumeratedService>& services);

// The display names of the services of the process, in enumeration order;
// none for process 0.
void ListHostedServices(uint32_t processId, const std::vector<EnumeratedService>& services,
                        std::vector<std::wstring>& names);
