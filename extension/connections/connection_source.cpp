#include "connections/connection_source.h"

#include <iprtrmib.h>

#include <cstddef>
#include <cstring>
#include <memory>

#include "common/system_library.h"
#include "shared/activity_protocol.h"

namespace {

// iphlpapi's tables, for a system whose \\.\Tcp cannot be opened or refuses
// the tables with owners (Windows 2000 has no such tables, the ids 0x102 came
// with XP). Bound at run time: GetExtendedTcpTable/GetExtendedUdpTable came
// with XP SP2, AllocateAndGet...ExTableFromStack with XP (gone in Vista);
// the Windows 2000 build, which runs on none of those, has the tables without
// owners only.
using GetTableFunction = DWORD(WINAPI*)(void* table, ULONG* size, BOOL order);
LateBoundFunction<GetTableFunction> getTcpTable(L"iphlpapi.dll", "GetTcpTable");
LateBoundFunction<GetTableFunction> getUdpTable(L"iphlpapi.dll", "GetUdpTable");
#ifndef VESK_WINDOWS_2000
using GetExtendedTableFunction = DWORD(WINAPI*)(void* table, DWORD* size, BOOL order, ULONG family,
                                                int tableClass, ULONG reserved);
using AllocateAndGetTableFunction = DWORD(WINAPI*)(void** table, BOOL order, HANDLE heap, DWORD flags,
                                                   DWORD family);
LateBoundFunction<GetExtendedTableFunction> getExtendedTcpTable(L"iphlpapi.dll", "GetExtendedTcpTable");
LateBoundFunction<GetExtendedTableFunction> getExtendedUdpTable(L"iphlpapi.dll", "GetExtendedUdpTable");
LateBoundFunction<AllocateAndGetTableFunction> allocateTcpExTable(L"iphlpapi.dll",
                                                                  "AllocateAndGetTcpExTableFromStack");
LateBoundFunction<AllocateAndGetTableFunction> allocateUdpExTable(L"iphlpapi.dll",
                                                                  "AllocateAndGetUdpExTableFromStack");
#endif

constexpr ULONG kInet = 2;  // AF_INET
// The rows the readers take are those of these structures.
static_assert(sizeof(MIB_TCPROW_OWNER_PID) == kTcpRowSize && sizeof(MIB_UDPROW_OWNER_PID) == kUdpRowSize &&
                  sizeof(MIB_TCPROW) == kTcpRowSize - 4 && sizeof(MIB_UDPROW) == kUdpRowSize - 4 &&
                  offsetof(MIB_TCPTABLE_OWNER_PID, table) == 4 && offsetof(MIB_UDPTABLE, table) == 4,
              "iphlpapi's rows");

// A table asked for with a buffer of the size it names, again (a few times at
// most) while it grows in between; false when the function fails.
template <typename Size, typename Query>
bool SizedTable(std::vector<uint8_t>& table, Query query) {
  constexpr int kAttempts = 4;
  Size size = 0;
  DWORD result = query(nullptr, &size);
  for (int attempt = 0; attempt < kAttempts && result == ERROR_INSUFFICIENT_BUFFER && size > 0; ++attempt) {
    table.assign(size, 0);
    result = query(table.data(), &size);
  }
  if (result != NO_ERROR) return false;
  if (table.size() > size) table.resize(size);
  return true;
}

// One protocol's table from iphlpapi, with owners where the system has them:
// the first kind of table that answers, newest first.
void AppendFromIpHelper(uint32_t protocol, std::vector<Endpoint>& endpoints) {
  bool tcp = protocol == kProtocolTcp;
  std::vector<uint8_t> table;
#ifndef VESK_WINDOWS_2000
  if (auto getExtended = (tcp ? getExtendedTcpTable : getExtendedUdpTable).Get()) {
    int ownerClass = tcp ? int(TCP_TABLE_OWNER_PID_ALL) : int(UDP_TABLE_OWNER_PID);
    if (SizedTable<DWORD>(table, [&](void* buffer, DWORD* size) {
          return getExtended(buffer, size, FALSE, kInet, ownerClass, 0);
        })) {
      AppendIpHelperTable(protocol, true, table.data(), table.size(), endpoints);
      return;
    }
  }
  if (auto allocate = (tcp ? allocateTcpExTable : allocateUdpExTable).Get()) {
    HANDLE heap = GetProcessHeap();
    void* allocated = nullptr;
    if (allocate(&allocated, FALSE, heap, 0, kInet) == NO_ERROR && allocated) {
      // The block's own size bounds what is read of it.
      SIZE_T size = HeapSize(heap, 0, allocated);
      AppendIpHelperTable(protocol, true, static_cast<const uint8_t*>(allocated),
                          size == SIZE_T(-1) ? 0 : size_t(size), endpoints);
      HeapFree(heap, 0, allocated);
      return;
    }
  }
#endif
  if (auto get = (tcp ? getTcpTable : getUdpTable).Get()) {
    if (SizedTable<ULONG>(table, [&](void* buffer, ULONG* size) { return get(buffer, size, FALSE); }))
      AppendIpHelperTable(protocol, false, table.data(), table.size(), endpoints);
  }
}

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

// What a call reported: whether it answered (it succeeded, or it failed but
// still reported bytes, as a reply that did not fit does) and how many bytes.
// The readers never trust the count beyond the buffer.
struct Answer {
  bool answered;
  DWORD bytes;
};
Answer Query(HANDLE device, DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize) {
  DWORD returned = 0;
  bool succeeded = DeviceIoControl(device, code, input, inputSize, output, outputSize, &returned, nullptr);
  return {succeeded || returned > 0, returned};
}

std::vector<Endpoint> ReadFromDriver(HANDLE driver) {
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kActivityBufferSize]);
  Answer answer = Query(driver, IOCTL_QUERY_ACTIVITY, nullptr, 0, buffer.get(), kActivityBufferSize);
  return ReadActivityReply(buffer.get(), kActivityBufferSize, answer.bytes);
}

// The transport's tables; a table that \\.\Tcp refuses, or both when it
// cannot be opened, comes from iphlpapi.
std::vector<Endpoint> ReadFromTables() {
  std::vector<Endpoint> endpoints;
  Answer tcpAnswer = {false, 0}, udpAnswer = {false, 0};
  uint8_t tcp[kTcpBufferSize] = {};
  uint8_t udp[kUdpBufferSize] = {};
  HANDLE transport =
      CreateFileW(L"\\\\.\\Tcp", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (transport != INVALID_HANDLE_VALUE) {
    TableRequest request = {};
    request.entity = kTcpEntity;
    request.infoClass = kProtocolClass;
    request.infoType = kProviderType;
    request.id = kTableWithOwners;
    tcpAnswer = Query(transport, kQueryInformationEx, &request, sizeof request, tcp, sizeof tcp);
    request.entity = kUdpEntity;
    udpAnswer = Query(transport, kQueryInformationEx, &request, sizeof request, udp, sizeof udp);
    CloseHandle(transport);
  }
  if (tcpAnswer.answered) {
    AppendTcpTableReply(tcp, sizeof tcp, tcpAnswer.bytes, endpoints);
  } else {
    AppendFromIpHelper(kProtocolTcp, endpoints);
  }
  if (udpAnswer.answered) {
    AppendUdpTableReply(udp, sizeof udp, udpAnswer.bytes, endpoints);
  } else {
    AppendFromIpHelper(kProtocolUdp, endpoints);
  }
  return endpoints;
}

}  // namespace

std::vector<Endpoint> ReadEndpoints(HANDLE driver) {
  return driver != INVALID_HANDLE_VALUE ? ReadFromDriver(driver) : ReadFromTables();
}
