// The records of the object table: one per transport address object and one
// per TCP connection endpoint object.
#pragma once

#include "byte_counter.h"
#include "kernel/kernel.h"
#include "shared/activity_protocol.h"
#include "shared_ref.h"

namespace vesk {

// TDI_EVENT_CONNECT (0) to TDI_EVENT_ERROR_EX (10).
constexpr ULONG kEventTypes = 11;

// The protocol numbers address records carry.
constexpr ULONG kProtocolTcp = 6;
constexpr ULONG kProtocolUdp = 17;

class AddressObject : public TransportObject {
 public:
  AddressObject(PFILE_OBJECT file, ULONG protocolNumber) : TransportObject(file), protocol(protocolNumber) {}

  ULONG const protocol;  // 6 TCP, 17 UDP
  ULONG processId = 0;
  // Network byte order, as TDI_ADDRESS_IP carries them.
  volatile ULONG localAddress = 0;
  volatile USHORT localPort = 0;
  ByteCounter bytesSent;
  ByteCounter bytesReceived;
  // The client's own event handlers and contexts, kept while they are hooked.
  PVOID volatile eventHandlers[kEventTypes] = {};
  PVOID volatile eventContexts[kEventTypes] = {};
};

class ConnectionObject : public TransportObject {
 public:
  ConnectionObject(PFILE_OBJECT file, ULONG_PTR context)
      : TransportObject(file), connectionContext(context) {}

  ULONG_PTR const connectionContext;
  volatile ULONG remoteAddress = 0;
  volatile USHORT remotePort = 0;
  ByteCounter bytesSent;
  ByteCounter bytesReceived;
  volatile ULONG state = Created;

 private:
  friend class ObjectTable;
  // The associated address object. Changed and read only under the table's
  // connection lock: a reader copying the handle while another processor
  // releases it would otherwise take a reference to a freed record.
  SharedRef<AddressObject> address_;
};

}  // namespace vesk
