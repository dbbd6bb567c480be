// The records of the object table: one per transport address object and one
// per TCP connection endpoint object.
#pragma once

#include "byte_counter.h"
#include "kernel/kernel.h"
#include "shared/activity_protocol.h"
#include "shared_ref.h"
#include "spin_lock.h"

namespace vesk {

// TDI_EVENT_CONNECT (0) to TDI_EVENT_ERROR_EX (10).
constexpr ULONG kEventTypes = 11;

// The protocol numbers address records carry.
constexpr ULONG kProtocolTcp = 6;
constexpr ULONG kProtocolUdp = 17;

// A client's event handler with the context it registered it with.
struct EventBinding {
  PVOID handler;
  PVOID context;
};

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

  // The client's own handler and context for an event type, stored and read
  // as one pair: a hook never sees a new handler with an old context.
  void bind(ULONG type, EventBinding binding) {
    SpinLockGuard guard(eventLock_);
    events_[type] = binding;
  }
  EventBinding binding(ULONG type) {
    SpinLockGuard guard(eventLock_);
    return events_[type];
  }
  // Whether a handler is stored: one aligned pointer, read as a whole.
  bool hasHandler(ULONG type) const { return *static_cast<PVOID const volatile*>(&events_[type].handler); }

 private:
  friend class ObjectTable;
  // Set when the address object ends (its cleanup): the record stays filed,
  // unseen, until the object's close has completed.
  bool ended_ = false;
  SpinLock eventLock_;
  EventBinding events_[kEventTypes] = {};
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

  // An outgoing connect starts: Connecting, and what to go back to should it
  // fail.
  void beginConnect() {
    stateBeforeConnect_ = state;
    state = Connecting;
  }
  // It failed: back to the state before it, if it is still Connecting.
  void endConnect() { __sync_val_compare_and_swap(&state, ULONG(Connecting), stateBeforeConnect_); }

 private:
  volatile ULONG stateBeforeConnect_ = Created;
  friend class ObjectTable;
  // The associated address object. Changed and read only under the table's
  // connection lock: a reader copying the handle while another processor
  // releases it would otherwise take a reference to a freed record.
  SharedRef<AddressObject> address_;
};

}  // namespace vesk
