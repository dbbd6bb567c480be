// The event handler hooks: the transport calls the filter's hook in place of
// the client's handler; the hook calls the client's handler and counts what it
// accepted. And the direct send hooks, handed to the socket layer in place of
// the transport's direct send routines.
#include "activity_driver.h"
#include "filter_device.h"
#include "internal_request.h"
#include "tdi_address.h"
#include "tdi_codes.h"

namespace vesk {
namespace {

// The client's handler for an event type together with the context it
// registered with it, read as one pair.
template <class Handler>
struct Client {
  explicit Client(AddressObject& record, ULONG type) {
    EventBinding binding = record.binding(type);
    handler = reinterpret_cast<Handler>(binding.handler);
    context = binding.context;
  }
  Handler handler;
  PVOID context;
};

void AddReceived(CONNECTION_CONTEXT context, uint64_t bytes) {
  if (SharedRef<ConnectionObject> c =
          ActiveTable().findConnectionByContext(reinterpret_cast<ULONG_PTR>(context)))
    c->bytesReceived.add(bytes);
}

// The length of the receive request a client handed back with
// STATUS_MORE_PROCESSING_REQUIRED. The client built it for the transport
// (TdiBuildReceive, into the next stack location) and then made that location
// the current one (IoSetNextIrpStackLocation), because the transport uses the
// request without IoCallDriver: its parameters are in the current location.
// A current location outside the request, or one that is not a receive of the
// expected kind, counts nothing.
template <class Parameters>
ULONG ReturnedRequestLength(NTSTATUS status, PIRP irp, UCHAR minor) {
  if (status != STATUS_MORE_PROCESSING_REQUIRED || irp == nullptr) return 0;
  if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) return 0;
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
  if (current->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL || current->MinorFunction != minor) return 0;
  return reinterpret_cast<Parameters*>(&current->Parameters)->ReceiveLength;
}

bool Accepted(NTSTATUS status) {
  return status == STATUS_SUCCESS || status == STATUS_MORE_PROCESSING_REQUIRED;
}

// A chained receive's data is the client's when it answers STATUS_SUCCESS
// (done with it) or STATUS_PENDING (it keeps the chain and returns it later).
bool ChainedTaken(NTSTATUS status) { return status == STATUS_SUCCESS || status == STATUS_PENDING; }

NTSTATUS NTAPI ConnectHook(PVOID context, LONG remoteAddressLength, PVOID remoteAddress, LONG userDataLength,
                           PVOID userData, LONG optionsLength, PVOID options,
                           CONNECTION_CONTEXT* connectionContext, PIRP* acceptIrp) {
  SharedRef<AddressObject> record(static_cast<AddressObject*>(context));
  Client<PTDI_IND_CONNECT> client(*record, TDI_EVENT_CONNECT);
  // The client cleared its handler while the transport still had the hook:
  // answer as the transport does for a client without one.
  if (client.handler == nullptr) return STATUS_CONNECTION_REFUSED;
  NTSTATUS status = client.handler(client.context, remoteAddressLength, remoteAddress, userDataLength,
                                   userData, optionsLength, options, connectionContext, acceptIrp);
  Ipv4Endpoint remote;
  if (connectionContext != nullptr && *connectionContext != nullptr && remoteAddressLength >= 0 &&
      ReadFirstIpv4(remoteAddress, ULONG(remoteAddressLength), remote)) {
    if (SharedRef<ConnectionObject> c =
            ActiveTable().findConnectionByContext(reinterpret_cast<ULONG_PTR>(*connectionContext))) {
      c->remoteAddress = remote.address;
      c->remotePort = remote.port;
      c->state = Connected;
    }
  }
  return status;
}

NTSTATUS NTAPI ReceiveHook(PVOID context, CONNECTION_CONTEXT connectionContext, ULONG flags, ULONG indicated,
                           ULONG available, ULONG* bytesTaken, PVOID tsdu, PIRP* ioRequestPacket) {
  SharedRef<AddressObject> record(static_cast<AddressObject*>(context));
  Client<PTDI_IND_RECEIVE> client(*record, TDI_EVENT_RECEIVE);
  if (client.handler == nullptr) {
    *bytesTaken = 0;
    return STATUS_DATA_NOT_ACCEPTED;
  }
  NTSTATUS status = client.handler(client.context, connectionContext, flags, indicated, available, bytesTaken,
                                   tsdu, ioRequestPacket);
  if (Accepted(status)) {
    uint64_t taken = bytesTaken ? *bytesTaken : 0;
    AddReceived(connectionContext,
                taken + ReturnedRequestLength<TDI_REQUEST_KERNEL_RECEIVE>(
                            status, ioRequestPacket ? *ioRequestPacket : nullptr, TDI_RECEIVE));
  }
  return status;
}

NTSTATUS NTAPI ReceiveDatagramHook(PVOID context, LONG sourceLength, PVOID source, LONG optionsLength,
                                   PVOID options, ULONG flags, ULONG indicated, ULONG available,
                                   ULONG* bytesTaken, PVOID tsdu, PIRP* ioRequestPacket) {
  SharedRef<AddressObject> record(static_cast<AddressObject*>(context));
  Client<PTDI_IND_RECEIVE_DATAGRAM> client(*record, TDI_EVENT_RECEIVE_DATAGRAM);
  if (client.handler == nullptr) {
    *bytesTaken = 0;
    return STATUS_DATA_NOT_ACCEPTED;
  }
  NTSTATUS status = client.handler(client.context, sourceLength, source, optionsLength, options, flags,
                                   indicated, available, bytesTaken, tsdu, ioRequestPacket);
  if (Accepted(status)) {
    uint64_t taken = bytesTaken ? *bytesTaken : 0;
    record->bytesReceived.add(
        taken + ReturnedRequestLength<TDI_REQUEST_KERNEL_RECEIVEDG>(
                    status, ioRequestPacket ? *ioRequestPacket : nullptr, TDI_RECEIVE_DATAGRAM));
  }
  return status;
}

NTSTATUS NTAPI ChainedReceiveHook(PVOID context, CONNECTION_CONTEXT connectionContext, ULONG flags,
                                  ULONG length, ULONG offset, PMDL tsdu, PVOID descriptor) {
  SharedRef<AddressObject> record(static_cast<AddressObject*>(context));
  Client<PTDI_IND_CHAINED_RECEIVE> client(*record, TDI_EVENT_CHAINED_RECEIVE);
  if (client.handler == nullptr) return STATUS_DATA_NOT_ACCEPTED;
  NTSTATUS status =
      client.handler(client.context, connectionContext, flags, length, offset, tsdu, descriptor);
  if (ChainedTaken(status)) AddReceived(connectionContext, length);
  return status;
}

NTSTATUS NTAPI ChainedReceiveDatagramHook(PVOID context, LONG sourceLength, PVOID source, LONG optionsLength,
                                          PVOID options, ULONG flags, ULONG length, ULONG offset, PMDL tsdu,
                                          PVOID descriptor) {
  SharedRef<AddressObject> record(static_cast<AddressObject*>(context));
  Client<PTDI_IND_CHAINED_RECEIVE_DATAGRAM> client(*record, TDI_EVENT_CHAINED_RECEIVE_DATAGRAM);
  if (client.handler == nullptr) return STATUS_DATA_NOT_ACCEPTED;
  NTSTATUS status = client.handler(client.context, sourceLength, source, optionsLength, options, flags,
                                   length, offset, tsdu, descriptor);
  if (ChainedTaken(status)) record->bytesReceived.add(length);
  return status;
}

// The filter's hook for each event type it counts; null for the others.
PVOID HookFor(LONG type) {
  switch (type) {
    case TDI_EVENT_CONNECT:
      return reinterpret_cast<PVOID>(ConnectHook);
    case TDI_EVENT_RECEIVE:
      return reinterpret_cast<PVOID>(ReceiveHook);
    case TDI_EVENT_RECEIVE_DATAGRAM:
      return reinterpret_cast<PVOID>(ReceiveDatagramHook);
    case TDI_EVENT_CHAINED_RECEIVE:
      return reinterpret_cast<PVOID>(ChainedReceiveHook);
    case TDI_EVENT_CHAINED_RECEIVE_DATAGRAM:
      return reinterpret_cast<PVOID>(ChainedReceiveDatagramHook);
    default:
      return nullptr;
  }
}

// A request the transport completes for the caller: answered as the
// transport answers a request it cannot take.
NTSTATUS CompleteUnsent(PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_STATE;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_STATE;
}

TransportFilter& FilterOf(bool tcp) {
  return tcp ? gActivityDriver->tcp() : static_cast<TransportFilter&>(gActivityDriver->udp());
}

template <bool Tcp>
NTSTATUS NTAPI DirectSendHook(PIRP irp, PIO_STACK_LOCATION stack) {
  TransportFilter& filter = FilterOf(Tcp);
  CountSend(filter.table(), stack->FileObject,
            reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&stack->Parameters)->SendLength);
  DirectSendRoutine send = filter.savedDirectSend;
  return send ? send(irp, stack) : CompleteUnsent(irp);
}

template <bool Tcp>
NTSTATUS NTAPI DirectSendDatagramHook(PIRP irp, PIO_STACK_LOCATION stack) {
  TransportFilter& filter = FilterOf(Tcp);
  if (SharedRef<AddressObject> a = filter.table().findAddress(stack->FileObject))
    a->bytesSent.add(reinterpret_cast<PTDI_REQUEST_KERNEL_SENDDG>(&stack->Parameters)->SendLength);
  DirectSendRoutine send = filter.savedDirectSendDatagram;
  return send ? send(irp, stack) : CompleteUnsent(irp);
}

// Keeps the routine the transport answered with and hands out the hook.
template <bool Tcp, bool Datagram>
NTSTATUS NTAPI OnDirectSendQueryComplete(PDEVICE_OBJECT, PIRP irp, PVOID) {
  PVOID* place =
      static_cast<PVOID*>(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
  if (place != nullptr && *place != nullptr) {
    TransportFilter& filter = FilterOf(Tcp);
    if (Datagram) {
      filter.savedDirectSendDatagram = reinterpret_cast<DirectSendRoutine>(*place);
      *place = reinterpret_cast<PVOID>(DirectSendDatagramHook<Tcp>);
    } else {
      filter.savedDirectSend = reinterpret_cast<DirectSendRoutine>(*place);
      *place = reinterpret_cast<PVOID>(DirectSendHook<Tcp>);
    }
  }
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS TransportFilter::hookEventHandler(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PTDI_REQUEST_KERNEL_SET_EVENT event = reinterpret_cast<PTDI_REQUEST_KERNEL_SET_EVENT>(&stack->Parameters);
  PVOID hook = HookFor(event->EventType);
  if (hook == nullptr) return passDown(irp);
  SharedRef<AddressObject> record = table_.findAddress(stack->FileObject);
  if (!record) return passDown(irp);
  record->bind(event->EventType, EventBinding{event->EventHandler, event->EventContext});
  if (event->EventHandler != nullptr) {
    // The transport holds the record as the hook's context; the table's
    // reference keeps it alive until the address object closes.
    event->EventHandler = hook;
    event->EventContext = record.get();
  }
  return passDown(irp);
}

NTSTATUS TransportFilter::checkDirectSendQuery(PIRP irp) {
  // The routine is handed to kernel-mode clients only: from user mode the
  // place to write would be an address of the caller's choosing.
  if (irp->RequestorMode != KernelMode) return passDown(irp);
  bool tcp = protocol_ == kProtocolTcp;
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case kQueryDirectSendHandler:
      return passDownWithCompletion(
          irp, tcp ? OnDirectSendQueryComplete<true, false> : OnDirectSendQueryComplete<false, false>,
          nullptr);
    case kQueryDirectSendDatagramHandler:
      return passDownWithCompletion(
          irp, tcp ? OnDirectSendQueryComplete<true, true> : OnDirectSendQueryComplete<false, true>, nullptr);
    default:
      return passDown(irp);
  }
}

void RestoreEventHandlers(AddressObject& record) {
  // Sending and waiting for our own requests needs PASSIVE_LEVEL, where the
  // close that calls this arrives.
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
  PDEVICE_OBJECT transport = record.fileObject->DeviceObject;
  for (LONG type = 0; type < LONG(kEventTypes); ++type) {
    EventBinding client = record.binding(type);
    if (client.handler == nullptr) continue;
    // The outcome is not examined: there is nothing to do about a failure.
    ULONG_PTR ignored;
    CallInternal(
        transport, record.fileObject, TDI_SET_EVENT_HANDLER, nullptr,
        [&](void* parameters) {
          PTDI_REQUEST_KERNEL_SET_EVENT event = static_cast<PTDI_REQUEST_KERNEL_SET_EVENT>(parameters);
          event->EventType = type;
          event->EventHandler = client.handler;
          event->EventContext = client.context;
        },
        ignored);
  }
}

}  // namespace vesk
