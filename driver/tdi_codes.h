// The device control codes of the TDI interface (FILE_DEVICE_TRANSPORT,
// any access): the user-mode requests TdiMapUserRequest converts and the two
// direct send handler queries. mingw's headers lack the macro that builds them.
#pragma once

#include "kernel/kernel.h"

namespace vesk {

constexpr ULONG TdiControlCode(ULONG function, ULONG method) {
  return CTL_CODE(FILE_DEVICE_TRANSPORT, function, method, FILE_ANY_ACCESS);
}

constexpr ULONG kQueryDirectSendHandler = TdiControlCode(0x80, METHOD_NEITHER);
constexpr ULONG kQueryDirectSendDatagramHandler = TdiControlCode(0x81, METHOD_NEITHER);
static_assert(kQueryDirectSendHandler == 0x00210203, "IOCTL_TDI_QUERY_DIRECT_SEND_HANDLER");
static_assert(kQueryDirectSendDatagramHandler == 0x00210207, "IOCTL_TDI_QUERY_DIRECT_SENDDG_HANDLER");

// IOCTL_TDI_ACCEPT (function 0) to IOCTL_TDI_ACTION (13), each with the
// transfer method TDI gives it.
inline bool IsTdiUserRequest(ULONG code) {
  constexpr ULONG kMethods[] = {
      METHOD_BUFFERED,    // ACCEPT
      METHOD_BUFFERED,    // CONNECT
      METHOD_BUFFERED,    // DISCONNECT
      METHOD_BUFFERED,    // LISTEN
      METHOD_OUT_DIRECT,  // QUERY_INFORMATION
      METHOD_OUT_DIRECT,  // RECEIVE
      METHOD_OUT_DIRECT,  // RECEIVE_DATAGRAM
      METHOD_IN_DIRECT,   // SEND
      METHOD_IN_DIRECT,   // SEND_DATAGRAM
      METHOD_BUFFERED,    // SET_EVENT_HANDLER
      METHOD_IN_DIRECT,   // SET_INFORMATION
      METHOD_BUFFERED,    // ASSOCIATE_ADDRESS
      METHOD_BUFFERED,    // DISASSOCIATE_ADDRESS
      METHOD_OUT_DIRECT,  // ACTION
  };
  for (ULONG function = 0; function < sizeof kMethods / sizeof kMethods[0]; ++function)
    if (code == TdiControlCode(function, kMethods[function])) return true;
  return false;
}

}  // namespace vesk
