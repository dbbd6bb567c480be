#include "connections/winsock_names.h"

#include <cstring>

#include "common/system_library.h"
#include "host/process_info.h"

namespace {

// Winsock 1.1's calls, declared here so that no Winsock header is needed.
using StartupFunction = int(WINAPI*)(WORD version, void* data);
using CleanupFunction = int(WINAPI*)();
using HostByAddrFunction = HANDLE(WINAPI*)(HWND window, UINT message, const char* address, int length,
                                           int type, char* buffer, int bufferLength);
using ServiceByPortFunction = void*(WINAPI*)(int port, const char* protocol);

LateBoundFunction<StartupFunction> wsaStartup(L"ws2_32.dll", "WSAStartup");
LateBoundFunction<CleanupFunction> wsaCleanup(L"ws2_32.dll", "WSACleanup");
LateBoundFunction<HostByAddrFunction> wsaAsyncGetHostByAddr(L"ws2_32.dll", "WSAAsyncGetHostByAddr");
LateBoundFunction<ServiceByPortFunction> getServiceByPort(L"ws2_32.dll", "getservbyport");

constexpr int kAddressFamilyInet = 2;  // AF_INET

}  // namespace

bool WinsockNames::Start() {
  StartupFunction startup = wsaStartup.Get();
  // WSADATA is 400 bytes on x86.
  alignas(8) BYTE data[512] = {};
  started_ = startup && startup(MAKEWORD(1, 1), data) == 0;
  return started_;
}

void WinsockNames::Stop() {
  if (!started_) return;
  if (CleanupFunction cleanup = wsaCleanup.Get()) cleanup();
  started_ = false;
}

uintptr_t WinsockNames::StartHostLookup(const uint8_t* address, uint8_t* entry) {
  HostByAddrFunction lookup = wsaAsyncGetHostByAddr.Get();
  if (!lookup || !window_) return 0;
  HANDLE handle = lookup(window_, message_, reinterpret_cast<const char*>(address), 4, kAddressFamilyInet,
                         reinterpret_cast<char*>(entry), int(kHostEntrySize));
  return reinterpret_cast<uintptr_t>(handle);
}

// Winsock may still write into it: it stays allocated for the rest of the
// process.
void WinsockNames::KeepPendingBuffer(uint8_t*) {}

std::optional<std::string> WinsockNames::ServiceName(uint16_t port, const char* protocol) {
  ServiceByPortFunction byPort = getServiceByPort.Get();
  void* entry = byPort ? byPort(port, protocol) : nullptr;
  if (!entry) return std::nullopt;
  // SERVENT starts with the name; nothing past the kept length is read.
  const char* name;
  std::memcpy(&name, entry, sizeof name);
  if (!name) return std::nullopt;
  return std::string(name, strnlen(name, kServiceNameLimit));
}

std::wstring WinsockNames::ImagePath(uint32_t processId) { return QueryProcessImagePath(processId); }
