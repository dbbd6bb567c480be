#include "connections/connection_source.h"

#include <cstring>
#include <memory>

#include "shared/activity_protocol.h"

namespace {

constexpr DWORD kQueryInformationEx = 0x120003;  // IOCTL_TCP_QUERY_INFORMATION_EX
constexpr DWORD kTcpEntity = 0x400;              // CO_TL_ENTITY
constexpr DWORD kUdpEntity = 0x401;              // CL_TL_ENTITY
constexpr DWORD kProtocolClass = 0x200;          // INFO_CLASS_PROTOCOL
constexpr DWORD kProviderType = 0x100;           // INFO_TYPE_PROVIDER
constexpr DWORD kTableWithOwners = 0x102;        // TCP_MIB_ADDRTABLE_ENTRY_EX_ID

// TCP_REQUEST_QUERY_INFORMATION_EX.
struct TableRequest {
  DWORD entity;
  DWORD instance;
  DWORD infoClass;
  DWORD infoType;
  DWORD id;
  BYTE context[16];
};
static_assert(sizeof(TableRequest) == 36, "the published request is 36 bytes");

// The bytes a call reported, whatever its result (a reply that did not fit
// still reports what it copied); 0 for a call that reported nothing. The
// readers never trust the count beyond the buffer.
DWORD Query(HANDLE device, DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize) {
  DWORD returned = 0;
  DeviceIoControl(device, code, input, inputSize, output, outputSize, &returned, nullptr);
  return returned;
}

std::vector<Endpoint> ReadFromDriver(HANDLE driver) {
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kActivityBufferSize]);
  DWORD returned = Query(driver, IOCTL_QUERY_ACTIVITY, nullptr, 0, buffer.get(), kActivityBufferSize);
  return ReadActivityReply(buffer.get(), kActivityBufferSize, returned);
}

std::vector<Endpoint> ReadFromTables() {
  std::vector<Endpoint> endpoints;
  HANDLE transport =
      CreateFileW(L"\\\\.\\Tcp", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (transport == INVALID_HANDLE_VALUE) return endpoints;
  TableRequest request = {};
  request.entity = kTcpEntity;
  request.infoClass = kProtocolClass;
  request.infoType = kProviderType;
  request.id = kTableWithOwners;
  uint8_t tcp[kTcpBufferSize] = {};
  uint8_t udp[kUdpBufferSize] = {};
  DWORD tcpBytes = Query(transport, kQueryInformationEx, &request, sizeof request, tcp, sizeof tcp);
  request.entity = kUdpEntity;
  DWORD udpBytes = Query(transport, kQueryInformationEx, &request, sizeof request, udp, sizeof udp);
  CloseHandle(transport);
  AppendTcpTableReply(tcp, sizeof tcp, tcpBytes, endpoints);
  AppendUdpTableReply(udp, sizeof udp, udpBytes, endpoints);
  return endpoints;
}

}  // namespace

std::vector<Endpoint> ReadEndpoints(HANDLE driver) {
  return driver != INVALID_HANDLE_VALUE ? ReadFromDriver(driver) : ReadFromTables();
}
