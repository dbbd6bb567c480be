#include "filter_device.h"

#include "activity_driver.h"
#include "deferred_call.h"
#include "internal_request.h"
#include "tdi_address.h"
#include "tdi_codes.h"

namespace vesk {
namespace {

const UNICODE_STRING kTcpFilterName = KERNEL_STRING("\\Device\\VeskTcp");
const UNICODE_STRING kUdpFilterName = KERNEL_STRING("\\Device\\VeskUdp");

// The reply buffer of the local address query: a TDI_ADDRESS_INFO and more.
constexpr ULONG kAddressInfoBuffer = 256;

ULONG_PTR ObjectKind(PFILE_OBJECT file) { return reinterpret_cast<ULONG_PTR>(file->FsContext2); }

// Every completion routine continues the completion upwards, and marks its
// own stack location pending when the request was pending below.
NTSTATUS ContinueCompletion(PIRP irp) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

bool EaNameIs(const FILE_FULL_EA_INFORMATION* ea, const char* name, ULONG length) {
  if (ea->EaNameLength != length) return false;
  for (ULONG i = 0; i < length; ++i)
    if (ea->EaName[i] != name[i]) return false;
  return true;
}

void QueryLocalAddress(PFILE_OBJECT file, ULONG_PTR, HANDLE);

// Records the association of a connection with the address object behind
// `addressHandle`, resolved with `mode` (the requestor mode of the associate
// request). Runs at PASSIVE_LEVEL.
void ResolveAssociation(PFILE_OBJECT connectionFile, HANDLE addressHandle, KPROCESSOR_MODE mode) {
  PVOID object;
  if (NT_ERROR(ObReferenceObjectByHandle(addressHandle, 0, FileObjectType(), mode, &object, nullptr))) return;
  PFILE_OBJECT addressFile = static_cast<PFILE_OBJECT>(object);
  SharedRef<AddressObject> address = ActiveTable().findAddress(addressFile);
  SharedRef<ConnectionObject> connection = ActiveTable().findConnection(connectionFile);
  if (address && connection) {
    ActiveTable().associate(*connection, address);
    // The transport chose the port (0 at create): ask it which, while the
    // reference taken through the handle keeps the address object alive.
    if (address->localPort == 0) QueryLocalAddress(addressFile, 0, nullptr);
  }
  ObDereferenceObject(object);
}

// The deferred half: on a system worker thread a handle means what it meant
// to the request only if it is a kernel handle or the request came from the
// worker's own process. Any other handle would be looked up in the wrong
// handle table, so it is not resolved at all.
void ResolveAssociationLater(PFILE_OBJECT connectionFile, ULONG_PTR addressHandle, HANDLE requester) {
  HANDLE handle = reinterpret_cast<HANDLE>(addressHandle);
  if (!IsKernelHandle(handle) && requester != PsGetCurrentProcessId()) return;
  ResolveAssociation(connectionFile, handle, KernelMode);
}

void RecordAssociation(PIRP irp, PFILE_OBJECT connectionFile, HANDLE addressHandle) {
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
    // In the requestor's context: its own handle table, its own mode.
    ResolveAssociation(connectionFile, addressHandle, irp->RequestorMode);
    return;
  }
  // A handle from user mode is resolved only in its caller's context.
  if (irp->RequestorMode != KernelMode) return;
  DeferredCall::queue(gActivityDriver->control().deviceObject(), ResolveAssociationLater, connectionFile,
                      reinterpret_cast<ULONG_PTR>(addressHandle));
}

void SetLocalEnd(PFILE_OBJECT file, const Ipv4Endpoint& local) {
  if (SharedRef<AddressObject> address = ActiveTable().findAddressOfFile(file)) {
    address->localAddress = local.address;
    address->localPort = local.port;
  }
}

// Asks the transport, through the TCP filter itself, for the local address of
// an address object, or of the address object a connection is associated with. The reply buffer is nonpaged
// pool: locking its resident pages cannot raise, so no exception handling is needed. The MDL goes with the
// request; the system unlocks and frees it at completion.
void QueryLocalAddress(PFILE_OBJECT file, ULONG_PTR, HANDLE) {
  void* reply = AllocateNonPaged(kAddressInfoBuffer);
  if (reply == nullptr) return;
  PMDL mdl = IoAllocateMdl(reply, kAddressInfoBuffer, FALSE, FALSE, nullptr);
  if (mdl == nullptr) {
    FreePool(reply);
    return;
  }
  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  ULONG_PTR length;
  NTSTATUS status = CallInternal(
      gActivityDriver->tcp().deviceObject(), file, TDI_QUERY_INFORMATION, mdl,
      [](void* parameters) {
        PTDI_REQUEST_KERNEL_QUERY_INFORMATION query =
            static_cast<PTDI_REQUEST_KERNEL_QUERY_INFORMATION>(parameters);
        query->QueryType = TDI_QUERY_ADDRESS_INFO;
        query->RequestConnectionInformation = nullptr;
      },
      length);
  Ipv4Endpoint local;
  if (NT_SUCCESS(status) && length <= kAddressInfoBuffer && ReadAddressInfoIpv4(reply, length, local))
    SetLocalEnd(file, local);
  FreePool(reply);
}

// A create the transport refused leaves no record: the one filed for the
// file object on the way down is unfiled again.
NTSTATUS NTAPI OnCreateFailed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  PFILE_OBJECT file = static_cast<PFILE_OBJECT>(context);
  if (!NT_SUCCESS(irp->IoStatus.Status)) {
    ActiveTable().removeAddress(file);
    ActiveTable().removeConnection(file);
  }
  return ContinueCompletion(irp);
}

// The close of an address object has completed: the record held for it goes.
NTSTATUS NTAPI OnAddressClosed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  static_cast<AddressObject*>(context)->release();
  return ContinueCompletion(irp);
}

NTSTATUS NTAPI OnReceiveComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (SharedRef<ConnectionObject> c = ActiveTable().findConnection(static_cast<PFILE_OBJECT>(context)))
    c->bytesReceived.add(ULONG(irp->IoStatus.Information));
  return ContinueCompletion(irp);
}

NTSTATUS NTAPI OnReceiveDatagramComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (SharedRef<AddressObject> a = ActiveTable().findAddress(static_cast<PFILE_OBJECT>(context)))
    a->bytesReceived.add(ULONG(irp->IoStatus.Information));
  return ContinueCompletion(irp);
}

NTSTATUS NTAPI OnConnectComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  PFILE_OBJECT file = static_cast<PFILE_OBJECT>(context);
  SharedRef<ConnectionObject> c = ActiveTable().findConnection(file);
  if (c && !NT_SUCCESS(irp->IoStatus.Status)) {
    // A connect that failed leaves the connection as it was before it, unless
    // something else has changed its state meanwhile.
    c->endConnect();
  } else if (c) {
    c->state = Connected;
    // The local end is learned later on a worker thread, through the
    // connection's own file object: the connect request keeps that one alive
    // now, and the deferred call references it until it has run. Never a
    // request of our own from inside another driver's completion.
    SharedRef<AddressObject> address = ActiveTable().addressOf(*c);
    if (address && address->localPort == 0)
      DeferredCall::queue(gActivityDriver->control().deviceObject(), QueryLocalAddress, file, 0);
  }
  return ContinueCompletion(irp);
}

// The transport fills the accept's return information when it completes the
// accept: the remote end is read then, from the filter's own stack location,
// which still points at the client's structure.
NTSTATUS NTAPI OnAcceptComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  // A return address of exactly one IPv4 TA_IP_ADDRESS: 22 bytes.
  const LONG kIpTransportAddress = 22;
  PTDI_CONNECTION_INFORMATION returned =
      reinterpret_cast<PTDI_REQUEST_KERNEL_ACCEPT>(&IoGetCurrentIrpStackLocation(irp)->Parameters)
          ->ReturnConnectionInformation;
  Ipv4Endpoint remote;
  if (returned != nullptr && returned->RemoteAddressLength == kIpTransportAddress &&
      ReadRemoteIpv4(returned, remote)) {
    if (SharedRef<ConnectionObject> c = ActiveTable().findConnection(static_cast<PFILE_OBJECT>(context))) {
      c->remoteAddress = remote.address;
      c->remotePort = remote.port;
      c->state = Connected;
    }
  }
  return ContinueCompletion(irp);
}

NTSTATUS NTAPI OnAddressInfoComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  PMDL mdl = irp->MdlAddress;
  if (mdl != nullptr) {
    void* reply = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    // The reply is what the transport says it wrote; a length beyond the
    // buffer is not a reply to trust.
    ULONG_PTR length = irp->IoStatus.Information;
    Ipv4Endpoint local;
    if (length <= MmGetMdlByteCount(mdl) && ReadAddressInfoIpv4(reply, length, local))
      SetLocalEnd(static_cast<PFILE_OBJECT>(context), local);
  }
  return ContinueCompletion(irp);
}

}  // namespace

// --- FilterDevice -------------------------------------------------------------

NTSTATUS FilterDevice::passDown(PIRP irp) {
  PDEVICE_OBJECT lower = lower_;
  if (lower == nullptr) return answerWithoutLowerDevice(irp);
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
    // On Windows 2000 and XP a power request goes on with the power
    // manager's own call, after the next one is let go (PoStartNextPowerIrp,
    // PoCallDriver).
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

// The lower device is known before the filter is linked into the stack, so
// only a request sent to the filter by its own name before it is attached
// (which the I/O manager refuses while the driver loads) or after it has been
// detached finds none: a cleanup or close succeeds, anything else is refused
// as for a device that is not there.
NTSTATUS FilterDevice::answerWithoutLowerDevice(PIRP irp) {
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  bool ending = major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
  return CompleteRequest(irp, ending ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE);
}

NTSTATUS FilterDevice::passDownWithCompletion(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                              Invoke invoke) {
  PDEVICE_OBJECT lower = lower_;
  if (lower == nullptr) return answerWithoutLowerDevice(irp);
  // A request built with no stack location for the lower device has no place
  // for a completion routine: it goes down as it came (and the lower device
  // then uses the current location), without its bookkeeping.
  if (irp->CurrentLocation <= 1) return passDown(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, routine, context, invoke != OnFailure, invoke != OnSuccess,
                         invoke != OnSuccess);
  return IoCallDriver(lower, irp);
}

NTSTATUS FilterDevice::create(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::cleanup(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::close(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::read(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::write(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::deviceControl(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::internalDeviceControl(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::systemControl(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::otherRequest(PIRP irp) { return passDown(irp); }

NTSTATUS FilterDevice::attach(PDRIVER_OBJECT driver, const UNICODE_STRING& target) {
  NTSTATUS status = createDevice(driver, FILE_DEVICE_NETWORK, FILE_DEVICE_SECURE_OPEN);
  if (NT_ERROR(status)) return status;
  UNICODE_STRING targetName = target;
  status = AttachOver(deviceObject(), &targetName, &lower_);
  if (NT_ERROR(status)) deleteDevice();
  return status;
}

void FilterDevice::detach() {
  if (lower_ != nullptr) IoDetachDevice(lower_);
  lower_ = nullptr;
  deleteDevice();
}

// --- TransportFilter ------------------------------------------------------------

void CountSend(ObjectTable& table, PFILE_OBJECT file, ULONG bytes) {
  switch (ObjectKind(file)) {
    case TDI_TRANSPORT_ADDRESS_FILE:
      if (SharedRef<AddressObject> a = table.findAddress(file)) a->bytesSent.add(bytes);
      break;
    case TDI_CONNECTION_FILE:
      if (SharedRef<ConnectionObject> c = table.findConnection(file)) c->bytesSent.add(bytes);
      break;
  }
}

// The first extended attribute names the kind of object: a transport address
// or a connection endpoint. Every length is checked before its bytes are read;
// a buffer that does not hold what it claims makes no record.
NTSTATUS TransportFilter::create(PIRP irp) {
  if (!intercepting_) return passDown(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const FILE_FULL_EA_INFORMATION* ea =
      static_cast<const FILE_FULL_EA_INFORMATION*>(irp->AssociatedIrp.SystemBuffer);
  ULONG length = stack->Parameters.Create.EaLength;
  const ULONG header = offsetof(FILE_FULL_EA_INFORMATION, EaName);
  if (ea == nullptr || length < header) return passDown(irp);
  ULONG valueOffset = header + ea->EaNameLength + 1;
  if (valueOffset > length || ea->EaValueLength > length - valueOffset) return passDown(irp);
  const UCHAR* value = reinterpret_cast<const UCHAR*>(ea) + valueOffset;

  // The record is made on the way down, in the creating process's context,
  // and taken back if the transport refuses the create.
  if (EaNameIs(ea, TdiTransportAddress, TDI_TRANSPORT_ADDRESS_LENGTH)) {
    Ipv4Endpoint local;
    if (!ReadFirstIpv4(value, ea->EaValueLength, local)) return passDown(irp);
    table_.addAddress(stack->FileObject, protocol_, local.address, local.port);
  } else if (EaNameIs(ea, TdiConnectionContext, TDI_CONNECTION_CONTEXT_LENGTH)) {
    if (ea->EaValueLength < sizeof(CONNECTION_CONTEXT)) return passDown(irp);
    CONNECTION_CONTEXT context;
    UCHAR* to = reinterpret_cast<UCHAR*>(&context);
    for (ULONG i = 0; i < sizeof context; ++i) to[i] = value[i];
    table_.addConnection(stack->FileObject, reinterpret_cast<ULONG_PTR>(context));
  } else {
    return passDown(irp);
  }
  return passDownWithCompletion(irp, OnCreateFailed, stack->FileObject, OnFailure);
}

// The transport ends an object at IRP_MJ_CLEANUP (the last handle is gone),
// so the record ends there, while the object can still take the client's own
// handlers back. A close without a cleanup before it (an object that was
// never opened through a handle) ends the record at the close.
NTSTATUS TransportFilter::endObject(PIRP irp, bool closing) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  switch (ObjectKind(file)) {
    case TDI_TRANSPORT_ADDRESS_FILE: {
      // The client's handlers go back to the transport before the request
      // goes down.
      if (SharedRef<AddressObject> ending = table_.endAddress(file)) RestoreEventHandlers(*ending);
      if (!closing) break;
      // An indication on another processor may have read the hook and its
      // context before the handlers went back, and a handler that could not
      // be given back stays the transport's: the record is held until the
      // transport has completed the close, after which it calls nothing for
      // the object.
      if (AddressObject* record = table_.removeAddress(file).detach()) return passDownHolding(irp, record);
      break;
    }
    case TDI_CONNECTION_FILE:
      table_.removeConnection(file);
      break;
  }
  return passDown(irp);
}

NTSTATUS TransportFilter::passDownHolding(PIRP irp, AddressObject* record) {
  // Every request the I/O manager sends has a stack location for the device
  // below; one built without it is held until the transport returns it.
  if (irp->CurrentLocation <= 1) {
    NTSTATUS status = passDown(irp);
    record->release();
    return status;
  }
  return passDownWithCompletion(irp, OnAddressClosed, record, Always);
}

NTSTATUS TransportFilter::cleanup(PIRP irp) {
  if (!intercepting_) return passDown(irp);
  return endObject(irp, false);
}

NTSTATUS TransportFilter::close(PIRP irp) {
  if (!intercepting_) return passDown(irp);
  return endObject(irp, true);
}

NTSTATUS TransportFilter::deviceControl(PIRP irp) {
  if (!intercepting_) return passDown(irp);
  // A user-mode TDI request that maps to an internal one is handled as such.
  // Only the codes TDI defines go to the mapping: every other code (the
  // transport's own, such as IOCTL_TCP_QUERY_INFORMATION_EX) is not TDI's to
  // convert, and some systems' TDI libraries do not survive being asked.
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (IsTdiUserRequest(stack->Parameters.DeviceIoControl.IoControlCode) &&
      NT_SUCCESS(TdiMapUserRequest(deviceObject(), irp, stack)))
    return internalDeviceControl(irp);
  return checkDirectSendQuery(irp);
}

NTSTATUS TransportFilter::internalDeviceControl(PIRP irp) {
  if (!intercepting_) return passDown(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  void* parameters = &stack->Parameters;
  Ipv4Endpoint remote;

  switch (stack->MinorFunction) {
    case TDI_ASSOCIATE_ADDRESS:
      RecordAssociation(irp, file, static_cast<PTDI_REQUEST_KERNEL_ASSOCIATE>(parameters)->AddressHandle);
      break;
    case TDI_DISASSOCIATE_ADDRESS:
      if (SharedRef<ConnectionObject> c = table_.findConnection(file)) table_.disassociate(*c);
      break;
    case TDI_CONNECT: {
      PTDI_REQUEST_KERNEL_CONNECT connect = static_cast<PTDI_REQUEST_KERNEL_CONNECT>(parameters);
      if (ObjectKind(file) != TDI_CONNECTION_FILE ||
          !ReadRemoteIpv4(connect->RequestConnectionInformation, remote))
        break;
      if (SharedRef<ConnectionObject> c = table_.findConnection(file)) {
        c->remoteAddress = remote.address;
        c->remotePort = remote.port;
        c->beginConnect();
      }
      return passDownWithCompletion(irp, OnConnectComplete, file, Always);
    }
    case TDI_LISTEN:
      if (SharedRef<ConnectionObject> c = table_.findConnection(file)) c->state = Listening;
      break;
    case TDI_ACCEPT:
      if (static_cast<PTDI_REQUEST_KERNEL_ACCEPT>(parameters)->ReturnConnectionInformation == nullptr) break;
      return passDownWithCompletion(irp, OnAcceptComplete, file);
    case TDI_DISCONNECT:
      if (SharedRef<ConnectionObject> c = table_.findConnection(file)) c->state = Disconnected;
      break;
    case TDI_SEND:
      CountSend(table_, file, static_cast<PTDI_REQUEST_KERNEL_SEND>(parameters)->SendLength);
      break;
    case TDI_RECEIVE:
      return passDownWithCompletion(irp, OnReceiveComplete, file);
    case TDI_SEND_DATAGRAM:
      if (SharedRef<AddressObject> a = table_.findAddress(file))
        a->bytesSent.add(static_cast<PTDI_REQUEST_KERNEL_SENDDG>(parameters)->SendLength);
      break;
    case TDI_RECEIVE_DATAGRAM:
      return passDownWithCompletion(irp, OnReceiveDatagramComplete, file);
    case TDI_SET_EVENT_HANDLER:
      return hookEventHandler(irp);
    case TDI_QUERY_INFORMATION:
      if (static_cast<PTDI_REQUEST_KERNEL_QUERY_INFORMATION>(parameters)->QueryType == TDI_QUERY_ADDRESS_INFO)
        return passDownWithCompletion(irp, OnAddressInfoComplete, file);
      break;
  }
  return passDown(irp);
}

TcpFilter::TcpFilter(ObjectTable& table) : TransportFilter(kTcpFilterName, kProtocolTcp, table) {}
UdpFilter::UdpFilter(ObjectTable& table) : TransportFilter(kUdpFilterName, kProtocolUdp, table) {}

}  // namespace vesk
