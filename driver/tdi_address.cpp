#include "tdi_address.h"

namespace vesk {
namespace {

// TRANSPORT_ADDRESS: TAAddressCount (4), then the first TA_ADDRESS:
// AddressLength (2), AddressType (2), TDI_ADDRESS_IP: sin_port (2), in_addr (4).
constexpr ULONG kFirstAddress = 4;
constexpr ULONG kAddressHeader = 4;
constexpr ULONG kIpFields = 6;

ULONG Read16(const UCHAR* p) { return ULONG(p[0]) | ULONG(p[1]) << 8; }
ULONG Read32(const UCHAR* p) { return Read16(p) | Read16(p + 2) << 16; }

}  // namespace

bool ReadFirstIpv4(const void* transportAddress, ULONG length, Ipv4Endpoint& endpoint) {
  const UCHAR* bytes = static_cast<const UCHAR*>(transportAddress);
  if (bytes == nullptr || length < kFirstAddress + kAddressHeader + kIpFields) return false;
  if (LONG(Read32(bytes)) < 1) return false;
  ULONG addressLength = Read16(bytes + kFirstAddress);
  ULONG addressType = Read16(bytes + kFirstAddress + 2);
  if (addressType != TDI_ADDRESS_TYPE_IP || addressLength < kIpFields ||
      addressLength > length - kFirstAddress - kAddressHeader)
    return false;
  const UCHAR* ip = bytes + kFirstAddress + kAddressHeader;
  // Both stay in network byte order: copy the bytes as they lie.
  endpoint.port = USHORT(Read16(ip));
  endpoint.address = Read32(ip + 2);
  return true;
}

bool ReadRemoteIpv4(const TDI_CONNECTION_INFORMATION* information, Ipv4Endpoint& endpoint) {
  if (information == nullptr || information->RemoteAddressLength < 0) return false;
  return ReadFirstIpv4(information->RemoteAddress, ULONG(information->RemoteAddressLength), endpoint);
}

bool ReadAddressInfoIpv4(const void* reply, ULONG_PTR length, Ipv4Endpoint& endpoint) {
  constexpr ULONG kActivityCount = 4;
  if (reply == nullptr || length <= kActivityCount || length > 0xFFFFFFFFu) return false;
  return ReadFirstIpv4(static_cast<const UCHAR*>(reply) + kActivityCount, ULONG(length - kActivityCount),
                       endpoint);
}

}  // namespace vesk
