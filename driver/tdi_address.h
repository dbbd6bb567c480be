// Reading IPv4 addresses out of the TDI structures a request carries, without
// ever reading past the length that comes with them.
#pragma once

#include "kernel/kernel.h"

namespace vesk {

struct Ipv4Endpoint {
  ULONG address;  // network byte order
  USHORT port;    // network byte order
};

// The first address of a TRANSPORT_ADDRESS of `length` bytes, when it is an
// IPv4 address whose bytes all lie within `length`.
bool ReadFirstIpv4(const void* transportAddress, ULONG length, Ipv4Endpoint& endpoint);

// The same for the remote address of connection information; false when the
// information or its address is missing.
bool ReadRemoteIpv4(const TDI_CONNECTION_INFORMATION* information, Ipv4Endpoint& endpoint);

// The address of a TDI_ADDRESS_INFO reply of `length` bytes (ActivityCount
// followed by a TRANSPORT_ADDRESS).
bool ReadAddressInfoIpv4(const void* reply, ULONG_PTR length, Ipv4Endpoint& endpoint);

}  // namespace vesk
