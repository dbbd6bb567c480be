// vesk_test_tdi.sys: a TDI transport for the Win32 tier, a test tool and no
// deliverable. It creates \Device\Tcp and \Device\Udp (and \\.\Tcp) and
// behaves as a TDI transport towards everything above them: address and
// connection objects from creates with extended attributes, associate,
// connect (completed later, when the network says so), listen and accept,
// disconnect, sends, receives, datagrams, address queries, event handlers and
// direct send routines. Its control device \Device\VeskTestTdi lets a test
// program make it a TDI client in the program's name and play the network.
//
// Everything runs in winedevice.exe's dispatch of user requests, one at a
// time; the filters above may also call in from a worker thread, so the
// object list is guarded by a spin lock that is never held across a call out.
#include "kernel/kernel.h"
#include "transport_control.h"

namespace {

constexpr ULONG kTag = 0x74647476;  // "vtdt"
constexpr LONG kEventTypes = 11;
constexpr ULONG kQueryDirectSend = 0x00210203;
constexpr ULONG kQueryDirectSendDatagram = 0x00210207;
constexpr ULONG kTcpQueryInformationEx = 0x00120003;
constexpr ULONG kTcpEntity = 0x400, kUdpEntity = 0x401;

void* Allocate(SIZE_T size) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, size, kTag);
  if (block != nullptr) RtlZeroMemory(block, size);
  return block;
}
void Free(void* block) { ExFreePoolWithTag(block, kTag); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// --- The transport -------------------------------------------------------------

struct Endpoint {
  Endpoint* next;
  PFILE_OBJECT file;
  ULONG_PTR kind;
  bool tcp;
  ULONG address;  // network order
  USHORT port;    // network order
  CONNECTION_CONTEXT context;
  Endpoint* associated;
  PVOID handlers[kEventTypes];
  PVOID contexts[kEventTypes];
  PIRP receive;  // one pending receive (or receive datagram)
  PIRP listen;
  PIRP connect;
  NTSTATUS connectOutcome;
  bool connected;
  ULONG buffered;
};

PDEVICE_OBJECT gTcp, gUdp, gControl;
KSPIN_LOCK gLock;
Endpoint* gEndpoints;
USHORT gNextPort = 1025;
UCHAR* gTables[2];  // TCP, UDP rows for \\.\Tcp
ULONG gTableBytes[2];
bool gRefuseOwnerTables;

USHORT NetworkOrder(USHORT port) { return USHORT(port << 8 | port >> 8); }

class Locked {
 public:
  Locked() { KeAcquireSpinLock(&gLock, &irql_); }
  ~Locked() { KeReleaseSpinLock(&gLock, irql_); }

 private:
  KIRQL irql_;
};

Endpoint* EndpointOf(PFILE_OBJECT file) {
  if (file == nullptr) return nullptr;
  for (Endpoint* e = gEndpoints; e; e = e->next)
    if (e == file->FsContext) return e;
  return nullptr;
}

bool ReadIp(const void* transportAddress, ULONG length, ULONG& address, USHORT& port) {
  const UCHAR* b = static_cast<const UCHAR*>(transportAddress);
  if (b == nullptr || length < 14) return false;
  const TA_IP_ADDRESS* ta = reinterpret_cast<const TA_IP_ADDRESS*>(b);
  if (ta->TAAddressCount < 1 || ta->Address[0].AddressType != TDI_ADDRESS_TYPE_IP ||
      ta->Address[0].AddressLength < sizeof(TDI_ADDRESS_IP))
    return false;
  port = ta->Address[0].Address[0].sin_port;
  address = ta->Address[0].Address[0].in_addr;
  return true;
}

void WriteIp(TA_IP_ADDRESS& ta, ULONG address, USHORT port) {
  RtlZeroMemory(&ta, sizeof ta);
  ta.TAAddressCount = 1;
  ta.Address[0].AddressLength = sizeof(TDI_ADDRESS_IP);
  ta.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
  ta.Address[0].Address[0].sin_port = port;
  ta.Address[0].Address[0].in_addr = address;
}

bool PortTaken(const Endpoint& fresh, const Endpoint* existing) {
  for (Endpoint* other = gEndpoints; other; other = other->next)
    if (other != existing && other->kind == TDI_TRANSPORT_ADDRESS_FILE && other->tcp == fresh.tcp &&
        other->port == fresh.port)
      return true;
  return false;
}

// Ends an object: its waiting requests are cancelled, and it is gone.
void EndObject(PFILE_OBJECT file) {
  Endpoint* e;
  {
    Locked lock;
    e = EndpointOf(file);
    if (e == nullptr) return;
    for (Endpoint** p = &gEndpoints; *p; p = &(*p)->next) {
      if (*p == e) {
        *p = e->next;
        break;
      }
    }
    for (Endpoint* other = gEndpoints; other; other = other->next)
      if (other->associated == e) other->associated = nullptr;
    file->FsContext = nullptr;
  }
  PIRP waiting[] = {e->receive, e->listen, e->connect};
  for (PIRP irp : waiting)
    if (irp != nullptr) Complete(irp, STATUS_CANCELLED);
  Free(e);
}

// Makes `file` the object `fresh` describes, under the lock.
NTSTATUS FileObject(PFILE_OBJECT file, Endpoint& fresh) {
  Endpoint* spare = static_cast<Endpoint*>(Allocate(sizeof(Endpoint)));
  Locked lock;
  Endpoint* existing = EndpointOf(file);
  NTSTATUS status = STATUS_SUCCESS;
  // The open's own create, arriving after the object became more: kept.
  if (existing != nullptr && fresh.kind == TDI_CONTROL_CHANNEL_FILE) {
    // nothing changes
  } else if (fresh.kind == TDI_TRANSPORT_ADDRESS_FILE && fresh.port != 0 && PortTaken(fresh, existing)) {
    status = STATUS_ADDRESS_ALREADY_EXISTS;
  } else if (existing == nullptr && spare == nullptr) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    if (fresh.kind == TDI_TRANSPORT_ADDRESS_FILE && fresh.port == 0) fresh.port = NetworkOrder(gNextPort++);
    Endpoint* e = existing;
    if (e == nullptr) {
      e = spare;
      spare = nullptr;
      fresh.next = gEndpoints;
      gEndpoints = e;
    } else {
      fresh.next = e->next;
    }
    *e = fresh;
    file->FsContext = e;
    file->FsContext2 = reinterpret_cast<PVOID>(e->kind);
  }
  if (spare != nullptr) Free(spare);
  return status;
}

NTSTATUS CreateObject(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack) {
  const FILE_FULL_EA_INFORMATION* ea =
      static_cast<const FILE_FULL_EA_INFORMATION*>(irp->AssociatedIrp.SystemBuffer);
  ULONG length = stack->Parameters.Create.EaLength;
  PFILE_OBJECT file = stack->FileObject;
  Endpoint fresh = {};
  fresh.file = file;
  fresh.tcp = device == gTcp;
  fresh.kind = TDI_CONTROL_CHANNEL_FILE;
  if (ea != nullptr && length > 0) {
    const ULONG header = offsetof(FILE_FULL_EA_INFORMATION, EaName);
    if (length < header) return Complete(irp, STATUS_INVALID_PARAMETER);
    ULONG valueAt = header + ea->EaNameLength + 1;
    if (valueAt > length || ea->EaValueLength > length - valueAt)
      return Complete(irp, STATUS_INVALID_PARAMETER);
    const UCHAR* value = reinterpret_cast<const UCHAR*>(ea) + valueAt;
    if (ea->EaNameLength == TDI_TRANSPORT_ADDRESS_LENGTH &&
        RtlCompareMemory(ea->EaName, TdiTransportAddress, TDI_TRANSPORT_ADDRESS_LENGTH) ==
            TDI_TRANSPORT_ADDRESS_LENGTH) {
      if (!ReadIp(value, ea->EaValueLength, fresh.address, fresh.port))
        return Complete(irp, STATUS_INVALID_ADDRESS_COMPONENT);
      fresh.kind = TDI_TRANSPORT_ADDRESS_FILE;
    } else if (fresh.tcp && ea->EaNameLength == TDI_CONNECTION_CONTEXT_LENGTH &&
               RtlCompareMemory(ea->EaName, TdiConnectionContext, TDI_CONNECTION_CONTEXT_LENGTH) ==
                   TDI_CONNECTION_CONTEXT_LENGTH &&
               ea->EaValueLength >= sizeof(CONNECTION_CONTEXT)) {
      RtlCopyMemory(&fresh.context, value, sizeof(CONNECTION_CONTEXT));
      fresh.kind = TDI_CONNECTION_FILE;
    } else {
      return Complete(irp, STATUS_INVALID_PARAMETER);
    }
  }
  return Complete(irp, FileObject(file, fresh));
}

NTSTATUS QueryAddress(PIRP irp, Endpoint* e) {
  ULONG address = 0;
  USHORT port = 0;
  bool bound = false;
  {
    Locked lock;
    Endpoint* a = e->kind == TDI_CONNECTION_FILE ? e->associated : e;
    if (a != nullptr && a->kind == TDI_TRANSPORT_ADDRESS_FILE) {
      bound = true;
      address = a->address;
      port = a->port;
    }
  }
  if (!bound) return Complete(irp, STATUS_INVALID_CONNECTION);
  if (irp->MdlAddress == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
  const ULONG size = offsetof(TDI_ADDRESS_INFO, Address) + sizeof(TA_IP_ADDRESS);
  if (MmGetMdlByteCount(irp->MdlAddress) < size) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
  // Wine maps no MDL to system space (MmMapLockedPagesSpecifyCache answers
  // null there); its drivers share one address space, where the buffer's own
  // address serves.
  UCHAR* reply = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
  if (reply == nullptr) reply = static_cast<UCHAR*>(MmGetMdlVirtualAddress(irp->MdlAddress));
  if (reply == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
  ULONG activity = 1;
  RtlCopyMemory(reply, &activity, sizeof activity);
  TA_IP_ADDRESS ta;
  WriteIp(ta, address, port);
  RtlCopyMemory(reply + offsetof(TDI_ADDRESS_INFO, Address), &ta, sizeof ta);
  return Complete(irp, STATUS_SUCCESS, size);
}

NTSTATUS Pend(PIRP irp) {
  IoMarkIrpPending(irp);
  return STATUS_PENDING;
}

NTSTATUS Internal(PIRP irp, PIO_STACK_LOCATION stack) {
  Endpoint* e;
  {
    Locked lock;
    e = EndpointOf(stack->FileObject);
  }
  if (e == nullptr) return Complete(irp, STATUS_INVALID_HANDLE);
  void* parameters = &stack->Parameters;
  switch (stack->MinorFunction) {
    case TDI_ASSOCIATE_ADDRESS: {
      if (e->kind != TDI_CONNECTION_FILE) return Complete(irp, STATUS_INVALID_CONNECTION);
      PVOID object;
      NTSTATUS status =
          ObReferenceObjectByHandle(static_cast<PTDI_REQUEST_KERNEL_ASSOCIATE>(parameters)->AddressHandle, 0,
                                    FileObjectType(), irp->RequestorMode, &object, nullptr);
      if (!NT_SUCCESS(status)) return Complete(irp, status);
      {
        Locked lock;
        Endpoint* a = EndpointOf(static_cast<PFILE_OBJECT>(object));
        status = a && a->kind == TDI_TRANSPORT_ADDRESS_FILE ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
        if (NT_SUCCESS(status)) e->associated = a;
      }
      ObDereferenceObject(object);
      return Complete(irp, status);
    }
    case TDI_DISASSOCIATE_ADDRESS:
      e->associated = nullptr;
      e->connected = false;
      return Complete(irp, STATUS_SUCCESS);
    case TDI_CONNECT: {
      PTDI_CONNECTION_INFORMATION info =
          static_cast<PTDI_REQUEST_KERNEL_CONNECT>(parameters)->RequestConnectionInformation;
      ULONG address;
      USHORT port;
      if (e->kind != TDI_CONNECTION_FILE || e->associated == nullptr || e->connect != nullptr)
        return Complete(irp, STATUS_INVALID_CONNECTION);
      if (info == nullptr || info->RemoteAddressLength < 0 ||
          !ReadIp(info->RemoteAddress, ULONG(info->RemoteAddressLength), address, port))
        return Complete(irp, STATUS_INVALID_ADDRESS_COMPONENT);
      e->connect = irp;
      return Pend(irp);
    }
    case TDI_LISTEN:
      if (e->kind != TDI_CONNECTION_FILE || e->associated == nullptr || e->listen != nullptr)
        return Complete(irp, STATUS_INVALID_CONNECTION);
      e->listen = irp;
      return Pend(irp);
    case TDI_ACCEPT:
      e->connected = true;
      return Complete(irp, STATUS_SUCCESS);
    case TDI_DISCONNECT:
      e->connected = false;
      return Complete(irp, STATUS_SUCCESS);
    case TDI_SEND: {
      ULONG length = static_cast<PTDI_REQUEST_KERNEL_SEND>(parameters)->SendLength;
      if (!e->connected) return Complete(irp, STATUS_INVALID_CONNECTION);
      return Complete(irp, STATUS_SUCCESS, length);
    }
    case TDI_SEND_DATAGRAM:
      return Complete(irp, STATUS_SUCCESS, static_cast<PTDI_REQUEST_KERNEL_SENDDG>(parameters)->SendLength);
    case TDI_RECEIVE: {
      ULONG length = static_cast<PTDI_REQUEST_KERNEL_RECEIVE>(parameters)->ReceiveLength;
      if (e->buffered > 0) {
        ULONG n = e->buffered < length ? e->buffered : length;
        e->buffered -= n;
        return Complete(irp, STATUS_SUCCESS, n);
      }
      if (e->receive != nullptr) return Complete(irp, STATUS_DEVICE_BUSY);
      e->receive = irp;
      return Pend(irp);
    }
    case TDI_RECEIVE_DATAGRAM:
      if (e->receive != nullptr) return Complete(irp, STATUS_DEVICE_BUSY);
      e->receive = irp;
      return Pend(irp);
    case TDI_SET_EVENT_HANDLER: {
      PTDI_REQUEST_KERNEL_SET_EVENT event = static_cast<PTDI_REQUEST_KERNEL_SET_EVENT>(parameters);
      if (e->kind != TDI_TRANSPORT_ADDRESS_FILE || event->EventType < 0 || event->EventType >= kEventTypes)
        return Complete(irp, STATUS_INVALID_PARAMETER);
      {
        Locked lock;
        e->handlers[event->EventType] = event->EventHandler;
        e->contexts[event->EventType] = event->EventHandler ? event->EventContext : nullptr;
      }
      return Complete(irp, STATUS_SUCCESS);
    }
    case TDI_QUERY_INFORMATION:
      if (static_cast<PTDI_REQUEST_KERNEL_QUERY_INFORMATION>(parameters)->QueryType != TDI_QUERY_ADDRESS_INFO)
        return Complete(irp, STATUS_NOT_IMPLEMENTED);
      return QueryAddress(irp, e);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

template <bool Datagram>
NTSTATUS NTAPI DirectSend(PIRP irp, PIO_STACK_LOCATION stack) {
  ULONG length = Datagram ? reinterpret_cast<PTDI_REQUEST_KERNEL_SENDDG>(&stack->Parameters)->SendLength
                          : reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&stack->Parameters)->SendLength;
  return Complete(irp, STATUS_SUCCESS, length);
}

// IOCTL_TCP_QUERY_INFORMATION_EX (METHOD_NEITHER): the table the test set
// for the entity asked for, as many whole rows as fit.
NTSTATUS QueryTable(PIRP irp, PIO_STACK_LOCATION stack) {
  const ULONG* request = static_cast<const ULONG*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
  if (request == nullptr || stack->Parameters.DeviceIoControl.InputBufferLength < 36 ||
      irp->UserBuffer == nullptr)
    return Complete(irp, STATUS_INVALID_PARAMETER);
  int table = request[0] == kTcpEntity ? 0 : request[0] == kUdpEntity ? 1 : -1;
  if (table < 0 || request[4] != 0x102 || gRefuseOwnerTables) return Complete(irp, STATUS_INVALID_PARAMETER);
  ULONG row = table == 0 ? 24 : 12;
  ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength / row * row;
  ULONG bytes = gTableBytes[table] < room ? gTableBytes[table] : room;
  if (bytes > 0) RtlCopyMemory(irp->UserBuffer, gTables[table], bytes);
  return Complete(irp, STATUS_SUCCESS, bytes);
}

NTSTATUS DeviceControl(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack) {
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (code == kQueryDirectSend || code == kQueryDirectSendDatagram) {
    PVOID* place = static_cast<PVOID*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    if (place == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
    *place = code == kQueryDirectSend ? reinterpret_cast<PVOID>(DirectSend<false>)
                                      : reinterpret_cast<PVOID>(DirectSend<true>);
    return Complete(irp, STATUS_SUCCESS);
  }
  if (code == kTcpQueryInformationEx && device == gTcp) return QueryTable(irp, stack);
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

// --- The network ------------------------------------------------------------------

PIRP Take(PIRP& slot) {
  Locked lock;
  PIRP irp = slot;
  slot = nullptr;
  return irp;
}

// The stack location of a request a client handed back from an event
// handler, or null. The transport uses it without IoCallDriver and reads it
// where it reads every request, in the current location (TDI_RECEIVE: "The
// transport calls IoGetCurrentIrpStackLocation with the given Irp to get a
// pointer to its own I/O stack location"): Windows' own clients build it with
// TdiBuildReceive or TdiBuildAccept into the next location and then make that
// one current with IoSetNextIrpStackLocation.
PIO_STACK_LOCATION HandedBack(PIRP irp, UCHAR minor) {
  if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) return nullptr;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL || stack->MinorFunction != minor) return nullptr;
  return stack;
}

void ArriveData(Endpoint* c, ULONG bytes) {
  if (PIRP receive = Take(c->receive)) {
    ULONG length =
        reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&IoGetCurrentIrpStackLocation(receive)->Parameters)
            ->ReceiveLength;
    ULONG n = bytes < length ? bytes : length;
    c->buffered += bytes - n;
    Complete(receive, STATUS_SUCCESS, n);
    return;
  }
  Endpoint* a = c->associated;
  if (a == nullptr) {
    c->buffered += bytes;
    return;
  }
  PTDI_IND_CHAINED_RECEIVE chained =
      reinterpret_cast<PTDI_IND_CHAINED_RECEIVE>(a->handlers[TDI_EVENT_CHAINED_RECEIVE]);
  PTDI_IND_RECEIVE plain = reinterpret_cast<PTDI_IND_RECEIVE>(a->handlers[TDI_EVENT_RECEIVE]);
  if (chained != nullptr) {
    NTSTATUS s = chained(a->contexts[TDI_EVENT_CHAINED_RECEIVE], c->context, TDI_RECEIVE_NORMAL, bytes, 0,
                         nullptr, nullptr);
    if (s == STATUS_SUCCESS || s == STATUS_PENDING) return;
  }
  if (plain != nullptr) {
    ULONG taken = 0;
    PIRP returned = nullptr;
    NTSTATUS s = plain(a->contexts[TDI_EVENT_RECEIVE], c->context, TDI_RECEIVE_NORMAL, bytes, bytes, &taken,
                       nullptr, &returned);
    if (s == STATUS_SUCCESS || s == STATUS_MORE_PROCESSING_REQUIRED) {
      ULONG rest = bytes - (taken < bytes ? taken : bytes);
      PIO_STACK_LOCATION request = s == STATUS_MORE_PROCESSING_REQUIRED && returned != nullptr
                                       ? HandedBack(returned, TDI_RECEIVE)
                                       : nullptr;
      if (request != nullptr) {
        ULONG length = reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&request->Parameters)->ReceiveLength;
        ULONG n = rest < length ? rest : length;
        Complete(returned, STATUS_SUCCESS, n);
        rest -= n;
      }
      c->buffered += rest;
      return;
    }
  }
  c->buffered += bytes;
}

void ArriveDatagram(Endpoint* a, ULONG bytes, ULONG from, USHORT port) {
  if (PIRP receive = Take(a->receive)) {
    ULONG length =
        reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVEDG>(&IoGetCurrentIrpStackLocation(receive)->Parameters)
            ->ReceiveLength;
    Complete(receive, STATUS_SUCCESS, bytes < length ? bytes : length);
    return;
  }
  TA_IP_ADDRESS source;
  WriteIp(source, from, port);
  PTDI_IND_CHAINED_RECEIVE_DATAGRAM chained =
      reinterpret_cast<PTDI_IND_CHAINED_RECEIVE_DATAGRAM>(a->handlers[TDI_EVENT_CHAINED_RECEIVE_DATAGRAM]);
  if (chained != nullptr) {
    chained(a->contexts[TDI_EVENT_CHAINED_RECEIVE_DATAGRAM], sizeof source, &source, 0, nullptr, 0, bytes, 0,
            nullptr, nullptr);
    return;
  }
  PTDI_IND_RECEIVE_DATAGRAM plain =
      reinterpret_cast<PTDI_IND_RECEIVE_DATAGRAM>(a->handlers[TDI_EVENT_RECEIVE_DATAGRAM]);
  if (plain != nullptr) {
    ULONG taken = 0;
    PIRP returned = nullptr;
    NTSTATUS s = plain(a->contexts[TDI_EVENT_RECEIVE_DATAGRAM], sizeof source, &source, 0, nullptr, 0, bytes,
                       bytes, &taken, nullptr, &returned);
    PIO_STACK_LOCATION request = s == STATUS_MORE_PROCESSING_REQUIRED && returned != nullptr
                                     ? HandedBack(returned, TDI_RECEIVE_DATAGRAM)
                                     : nullptr;
    if (request != nullptr) {
      ULONG rest = bytes - (taken < bytes ? taken : bytes);
      ULONG length = reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVEDG>(&request->Parameters)->ReceiveLength;
      Complete(returned, STATUS_SUCCESS, rest < length ? rest : length);
    }
  }
}

void ArriveConnect(Endpoint* a, ULONG remote, USHORT port) {
  Endpoint* listener = nullptr;
  {
    Locked lock;
    for (Endpoint* e = gEndpoints; e; e = e->next)
      if (e->associated == a && e->listen != nullptr) listener = e;
  }
  if (listener != nullptr) {
    listener->connected = true;
    Complete(Take(listener->listen), STATUS_SUCCESS);
    return;
  }
  PTDI_IND_CONNECT handler = reinterpret_cast<PTDI_IND_CONNECT>(a->handlers[TDI_EVENT_CONNECT]);
  if (handler == nullptr) return;
  TA_IP_ADDRESS ta;
  WriteIp(ta, remote, port);
  CONNECTION_CONTEXT context = nullptr;
  PIRP accept = nullptr;
  NTSTATUS s =
      handler(a->contexts[TDI_EVENT_CONNECT], sizeof ta, &ta, 0, nullptr, 0, nullptr, &context, &accept);
  PIO_STACK_LOCATION request =
      s == STATUS_MORE_PROCESSING_REQUIRED && accept != nullptr ? HandedBack(accept, TDI_ACCEPT) : nullptr;
  if (request == nullptr) return;
  {
    Locked lock;
    if (Endpoint* c = EndpointOf(request->FileObject)) c->connected = true;
  }
  Complete(accept, STATUS_SUCCESS);
}

void CompleteConnects(NTSTATUS outcome) {
  for (;;) {
    Endpoint* e = nullptr;
    {
      Locked lock;
      for (Endpoint* x = gEndpoints; x && !e; x = x->next)
        if (x->connect != nullptr) e = x;
    }
    if (e == nullptr) return;
    if (NT_SUCCESS(outcome)) e->connected = true;
    Complete(Take(e->connect), outcome);
  }
}

// --- The client ----------------------------------------------------------------------

// A request of the client's own. Synchronous ones are waited for inside the
// program's request; pending ones are kept until the program asks for them.
struct ClientRequest {
  KEVENT done;
  volatile LONG finished;
  NTSTATUS status;
  ULONG_PTR information;
  void* buffer;   // what the request points to, freed with it
  bool detached;  // nobody asks for the result: freed at completion
};

void FreeRequest(ClientRequest* request) {
  if (request->buffer) Free(request->buffer);
  Free(request);
}

// Pending requests the program may ask about, by slot number.
ClientRequest* gPending[64];

ULONG Remember(ClientRequest* request) {
  for (ULONG i = 0; i < sizeof gPending / sizeof gPending[0]; ++i) {
    if (gPending[i] == nullptr) {
      gPending[i] = request;
      return i + 1;
    }
  }
  request->detached = true;  // no room: it frees itself
  return 0;
}

NTSTATUS NTAPI OnClientComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  ClientRequest* request = static_cast<ClientRequest*>(context);
  request->status = irp->IoStatus.Status;
  request->information = irp->IoStatus.Information;
  if (irp->MdlAddress != nullptr) {
    MmUnlockPages(irp->MdlAddress);
    IoFreeMdl(irp->MdlAddress);
    irp->MdlAddress = nullptr;
  }
  IoFreeIrp(irp);
  if (request->detached) {
    FreeRequest(request);
  } else {
    InterlockedExchange(&request->finished, 1);
    KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

PDEVICE_OBJECT TopOf(PFILE_OBJECT file) {
  Endpoint* e;
  {
    Locked lock;
    e = EndpointOf(file);
  }
  bool tcp = e ? e->tcp : file->DeviceObject == gTcp;
  return IoGetAttachedDeviceReference(tcp ? gTcp : gUdp);
}

// Builds a request for `file` sent to the top of its stack: `fill` sets the
// stack location the top device sees. With `wait` the result is waited for
// and the request freed; otherwise it is returned for kResult.
template <class Fill>
NTSTATUS ClientCall(PFILE_OBJECT file, UCHAR major, UCHAR minor, Fill fill, bool wait, ClientRequest** kept,
                    ULONG_PTR* information = nullptr) {
  ClientRequest* request = static_cast<ClientRequest*>(Allocate(sizeof(ClientRequest)));
  if (request == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KeInitializeEvent(&request->done, NotificationEvent, FALSE);
  PDEVICE_OBJECT top = TopOf(file);
  PIRP irp = IoAllocateIrp(CCHAR(top->StackSize), FALSE);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    Free(request);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->MinorFunction = minor;
  stack->DeviceObject = top;
  stack->FileObject = file;
  fill(irp, stack, request);
  IoSetCompletionRoutine(irp, OnClientComplete, request, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(top, irp);
  ObDereferenceObject(top);
  if (wait || status != STATUS_PENDING) {
    if (status == STATUS_PENDING)
      KeWaitForSingleObject(&request->done, Executive, KernelMode, FALSE, nullptr);
    status = request->finished ? request->status : status;
    if (information) *information = request->information;
    if (kept && status == STATUS_PENDING) {
      *kept = request;
      return status;
    }
    FreeRequest(request);
    return status;
  }
  *kept = request;
  return STATUS_PENDING;
}

template <class Fill>
NTSTATUS ClientWait(PFILE_OBJECT file, UCHAR major, UCHAR minor, Fill fill,
                    ULONG_PTR* information = nullptr) {
  return ClientCall(file, major, minor, fill, true, nullptr, information);
}

void* EaBuffer(const char* name, USHORT nameLength, const void* value, USHORT valueLength, ULONG* length) {
  *length = offsetof(FILE_FULL_EA_INFORMATION, EaName) + nameLength + 1 + valueLength;
  FILE_FULL_EA_INFORMATION* ea = static_cast<FILE_FULL_EA_INFORMATION*>(Allocate(*length));
  if (ea == nullptr) return nullptr;
  ea->EaNameLength = UCHAR(nameLength);
  ea->EaValueLength = valueLength;
  RtlCopyMemory(ea->EaName, name, nameLength);
  RtlCopyMemory(ea->EaName + nameLength + 1, value, valueLength);
  return ea;
}

// The client's own event handlers, registered with a ClientEvents context.
struct ClientEvents {
  PFILE_OBJECT acceptOn;  // connection that takes a connect
  CONNECTION_CONTEXT acceptContext;
  PFILE_OBJECT address;  // the address object the handlers are registered on
  ULONG take;            // receives: bytes taken in the indication, the rest by a request
};

// A receive request the client hands back for the rest of an indication, the
// way Windows' own clients build one: TdiBuildReceive's stack location for the
// transport's own device, then IoSetNextIrpStackLocation, because the
// transport uses the request without IoCallDriver. Null when there is no
// memory for it.
PIRP HandBackReceive(PFILE_OBJECT file, bool datagram, ULONG length) {
  PDEVICE_OBJECT transport = datagram ? gUdp : gTcp;
  PIRP irp = IoAllocateIrp(transport->StackSize, FALSE);
  ClientRequest* request = static_cast<ClientRequest*>(Allocate(sizeof(ClientRequest)));
  if (irp == nullptr || request == nullptr) {
    if (irp) IoFreeIrp(irp);
    if (request) Free(request);
    return nullptr;
  }
  request->detached = true;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  stack->MinorFunction = datagram ? TDI_RECEIVE_DATAGRAM : TDI_RECEIVE;
  stack->DeviceObject = transport;
  stack->FileObject = file;
  if (datagram)
    reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVEDG>(&stack->Parameters)->ReceiveLength = length;
  else
    reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&stack->Parameters)->ReceiveLength = length;
  IoSetCompletionRoutine(irp, OnClientComplete, request, TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp);
  return irp;
}

// Takes everything, or with a `take` of its own that much and a request for
// the rest of what is available.
template <bool Datagram>
NTSTATUS Receive(PVOID context, PFILE_OBJECT file, ULONG indicated, ULONG available, ULONG* taken,
                 PIRP* request) {
  ClientEvents* events = static_cast<ClientEvents*>(context);
  *taken = indicated;
  if (events == nullptr || events->take == 0 || file == nullptr) return STATUS_SUCCESS;
  *taken = events->take < indicated ? events->take : indicated;
  if (available <= *taken) return STATUS_SUCCESS;
  *request = HandBackReceive(file, Datagram, available - *taken);
  return *request ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
}

NTSTATUS NTAPI ClientReceive(PVOID context, CONNECTION_CONTEXT connection, ULONG, ULONG indicated,
                             ULONG available, ULONG* taken, PVOID, PIRP* request) {
  PFILE_OBJECT file = nullptr;
  {
    Locked lock;
    for (Endpoint* e = gEndpoints; e && !file; e = e->next)
      if (e->kind == TDI_CONNECTION_FILE && e->context == connection) file = e->file;
  }
  return Receive<false>(context, file, indicated, available, taken, request);
}
NTSTATUS NTAPI ClientChainedReceive(PVOID, CONNECTION_CONTEXT, ULONG, ULONG, ULONG, PMDL, PVOID) {
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI ClientReceiveDatagram(PVOID context, LONG, PVOID, LONG, PVOID, ULONG, ULONG indicated,
                                     ULONG available, ULONG* taken, PVOID, PIRP* request) {
  ClientEvents* events = static_cast<ClientEvents*>(context);
  return Receive<true>(context, events ? events->address : nullptr, indicated, available, taken, request);
}

NTSTATUS NTAPI ClientConnect(PVOID context, LONG, PVOID, LONG, PVOID, LONG, PVOID,
                             CONNECTION_CONTEXT* connection, PIRP* accept) {
  ClientEvents* events = static_cast<ClientEvents*>(context);
  if (events->acceptOn == nullptr) return STATUS_CONNECTION_REFUSED;
  // An accept request for the transport itself, parameters in its next stack
  // location as TdiBuildAccept makes it, then made current.
  PDEVICE_OBJECT transport = gTcp;
  PIRP irp = IoAllocateIrp(transport->StackSize, FALSE);
  if (irp == nullptr) return STATUS_CONNECTION_REFUSED;
  ClientRequest* request = static_cast<ClientRequest*>(Allocate(sizeof(ClientRequest)));
  if (request == nullptr) {
    IoFreeIrp(irp);
    return STATUS_CONNECTION_REFUSED;
  }
  request->detached = true;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  stack->MinorFunction = TDI_ACCEPT;
  stack->DeviceObject = transport;
  stack->FileObject = events->acceptOn;
  IoSetCompletionRoutine(irp, OnClientComplete, request, TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp);
  *connection = events->acceptContext;
  *accept = irp;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

PVOID ClientHandlerFor(LONG type) {
  switch (type) {
    case TDI_EVENT_CONNECT:
      return reinterpret_cast<PVOID>(ClientConnect);
    case TDI_EVENT_RECEIVE:
      return reinterpret_cast<PVOID>(ClientReceive);
    case TDI_EVENT_CHAINED_RECEIVE:
      return reinterpret_cast<PVOID>(ClientChainedReceive);
    case TDI_EVENT_RECEIVE_DATAGRAM:
      return reinterpret_cast<PVOID>(ClientReceiveDatagram);
    default:
      return nullptr;
  }
}

// The file object behind one of the program's handles (the handles kOpen
// made), referenced. A test tool for Wine, where every handle a driver opens
// is winedevice.exe's: it takes the test program's word for the handle.
PFILE_OBJECT FileOf(ULONG handle) {
  PVOID object;
  if (!NT_SUCCESS(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(ULONG_PTR(handle)), 0, FileObjectType(),
                                            KernelMode, &object, nullptr)))
    return nullptr;
  return static_cast<PFILE_OBJECT>(object);
}

NTSTATUS Open(const testtdi::Op& op, testtdi::Reply& reply) {
  UNICODE_STRING tcp = KERNEL_STRING("\\Device\\Tcp"), udp = KERNEL_STRING("\\Device\\Udp");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, op.protocol == 6 ? &tcp : &udp,
                             OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK io;
  HANDLE handle;
  NTSTATUS status = ZwOpenFile(&handle, GENERIC_READ | GENERIC_WRITE, &attributes, &io,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
  if (NT_SUCCESS(status)) reply.value = ULONG(ULONG_PTR(handle));
  return status;
}

NTSTATUS RunOp(const testtdi::Op& op, const UCHAR* extra, ULONG extraLength, testtdi::Reply& reply) {
  using namespace testtdi;
  if (op.code == kOpen) return Open(op, reply);
  if (op.code == kClose) return ZwClose(reinterpret_cast<HANDLE>(ULONG_PTR(op.handle)));
  if (op.code == kCompleteConnects) {
    CompleteConnects(NTSTATUS(op.bytes));
    return STATUS_SUCCESS;
  }
  if (op.code == kResult) {
    if (op.handle < 1 || op.handle > sizeof gPending / sizeof gPending[0] ||
        gPending[op.handle - 1] == nullptr)
      return STATUS_INVALID_PARAMETER;
    ClientRequest* request = gPending[op.handle - 1];
    if (!request->finished) {
      reply.value = 0;
      return STATUS_SUCCESS;
    }
    reply.value = 1;
    reply.information = ULONG(request->information);
    NTSTATUS status = request->status;
    gPending[op.handle - 1] = nullptr;
    FreeRequest(request);
    return status;
  }
  if (op.code == kSetTable) {
    int table = op.protocol == 6 ? 0 : 1;
    UCHAR* rows = extraLength ? static_cast<UCHAR*>(Allocate(extraLength)) : nullptr;
    if (extraLength && rows == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (rows) RtlCopyMemory(rows, extra, extraLength);
    if (gTables[table]) Free(gTables[table]);
    gTables[table] = rows;
    gTableBytes[table] = extraLength;
    return STATUS_SUCCESS;
  }
  if (op.code == kRefuseOwnerTables) {
    gRefuseOwnerTables = op.bytes != 0;
    return STATUS_SUCCESS;
  }

  PFILE_OBJECT file = FileOf(op.handle);
  if (file == nullptr) return STATUS_INVALID_HANDLE;
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  ClientRequest* kept = nullptr;
  ULONG_PTR information = 0;
  Endpoint* e;
  {
    Locked lock;
    e = EndpointOf(file);
  }
  switch (op.code) {
    case kCreateAddress:
    case kCreateConnection: {
      TA_IP_ADDRESS ta;
      WriteIp(ta, op.address, USHORT(op.port));
      CONNECTION_CONTEXT context = reinterpret_cast<CONNECTION_CONTEXT>(ULONG_PTR(op.context));
      ULONG length;
      void* ea = op.code == kCreateAddress
                     ? EaBuffer(TdiTransportAddress, TDI_TRANSPORT_ADDRESS_LENGTH, &ta, sizeof ta, &length)
                     : EaBuffer(TdiConnectionContext, TDI_CONNECTION_CONTEXT_LENGTH, &context, sizeof context,
                                &length);
      if (ea == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      status = ClientWait(file, IRP_MJ_CREATE, 0, [&](PIRP irp, PIO_STACK_LOCATION stack, ClientRequest*) {
        irp->AssociatedIrp.SystemBuffer = ea;
        stack->Parameters.Create.EaLength = length;
      });
      Free(ea);
      break;
    }
    case kAssociate: {
      HANDLE address = reinterpret_cast<HANDLE>(ULONG_PTR(op.handle2));
      status = ClientWait(
          file, IRP_MJ_INTERNAL_DEVICE_CONTROL, TDI_ASSOCIATE_ADDRESS,
          [&](PIRP, PIO_STACK_LOCATION stack, ClientRequest*) {
            reinterpret_cast<PTDI_REQUEST_KERNEL_ASSOCIATE>(&stack->Parameters)->AddressHandle = address;
          });
      break;
    }
    case kDisassociate:
    case kDisconnect:
      status = ClientWait(file, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                          op.code == kDisassociate ? TDI_DISASSOCIATE_ADDRESS : TDI_DISCONNECT,
                          [](PIRP, PIO_STACK_LOCATION, ClientRequest*) {});
      break;
    case kConnect: {
      status = ClientCall(
          file, IRP_MJ_INTERNAL_DEVICE_CONTROL, TDI_CONNECT,
          [&](PIRP, PIO_STACK_LOCATION stack, ClientRequest* request) {
            // The remote address lives with the request until it completes.
            ULONG size = sizeof(TDI_CONNECTION_INFORMATION) + sizeof(TA_IP_ADDRESS);
            UCHAR* block = static_cast<UCHAR*>(Allocate(size));
            request->buffer = block;
            if (block == nullptr) return;
            PTDI_CONNECTION_INFORMATION info = reinterpret_cast<PTDI_CONNECTION_INFORMATION>(block);
            TA_IP_ADDRESS* ta = reinterpret_cast<TA_IP_ADDRESS*>(block + sizeof(TDI_CONNECTION_INFORMATION));
            WriteIp(*ta, op.address, USHORT(op.port));
            info->RemoteAddressLength = sizeof(TA_IP_ADDRESS);
            info->RemoteAddress = ta;
            reinterpret_cast<PTDI_REQUEST_KERNEL_CONNECT>(&stack->Parameters)->RequestConnectionInformation =
                info;
          },
          false, &kept);
      break;
    }
    case kListen:
      status = ClientCall(
          file, IRP_MJ_INTERNAL_DEVICE_CONTROL, TDI_LISTEN, [](PIRP, PIO_STACK_LOCATION, ClientRequest*) {},
          false, &kept);
      break;
    case kReceive:
    case kReceiveDatagram:
      status = ClientCall(
          file, IRP_MJ_INTERNAL_DEVICE_CONTROL, op.code == kReceive ? TDI_RECEIVE : TDI_RECEIVE_DATAGRAM,
          [&](PIRP, PIO_STACK_LOCATION stack, ClientRequest*) {
            if (op.code == kReceive)
              reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&stack->Parameters)->ReceiveLength = op.bytes;
            else
              reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVEDG>(&stack->Parameters)->ReceiveLength = op.bytes;
          },
          false, &kept, &information);
      break;
    case kSend:
      status = ClientWait(
          file, IRP_MJ_INTERNAL_DEVICE_CONTROL, TDI_SEND,
          [&](PIRP, PIO_STACK_LOCATION stack, ClientRequest*) {
            reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&stack->Parameters)->SendLength = op.bytes;
          },
          &information);
      break;
    case kSendDatagram:
      status = ClientWait(
          file, IRP_MJ_INTERNAL_DEVICE_CONTROL, TDI_SEND_DATAGRAM,
          [&](PIRP, PIO_STACK_LOCATION stack, ClientRequest*) {
            reinterpret_cast<PTDI_REQUEST_KERNEL_SENDDG>(&stack->Parameters)->SendLength = op.bytes;
          },
          &information);
      break;
    case kSetEventHandler: {
      LONG type = LONG(op.bytes);
      PVOID handler = ClientHandlerFor(type);
      ClientEvents* events = nullptr;
      bool receive = type == TDI_EVENT_RECEIVE || type == TDI_EVENT_RECEIVE_DATAGRAM;
      if (type == TDI_EVENT_CONNECT || (receive && op.context != 0)) {
        events = static_cast<ClientEvents*>(Allocate(sizeof(ClientEvents)));
        if (events == nullptr) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        events->address = file;
        if (receive) {
          events->take = op.context;
        } else {
          events->acceptOn = op.handle2 ? FileOf(op.handle2) : nullptr;
          events->acceptContext = reinterpret_cast<CONNECTION_CONTEXT>(ULONG_PTR(op.context));
        }
        // Kept for the life of the driver (a test tool's few bytes): the
        // transport may call the handler until the address closes, and the
        // accepting connection stays referenced as long.
      }
      status = ClientWait(file, IRP_MJ_INTERNAL_DEVICE_CONTROL, TDI_SET_EVENT_HANDLER,
                          [&](PIRP, PIO_STACK_LOCATION stack, ClientRequest*) {
                            PTDI_REQUEST_KERNEL_SET_EVENT event =
                                reinterpret_cast<PTDI_REQUEST_KERNEL_SET_EVENT>(&stack->Parameters);
                            event->EventType = type;
                            event->EventHandler = handler;
                            event->EventContext = events;
                          });
      break;
    }
    case kDirectSend: {
      bool datagram = op.address == 1;
      PVOID routine = nullptr;
      status =
          ClientWait(file, IRP_MJ_DEVICE_CONTROL, 0, [&](PIRP, PIO_STACK_LOCATION stack, ClientRequest*) {
            stack->Parameters.DeviceIoControl.IoControlCode =
                datagram ? kQueryDirectSendDatagram : kQueryDirectSend;
            stack->Parameters.DeviceIoControl.Type3InputBuffer = &routine;
            stack->Parameters.DeviceIoControl.InputBufferLength = sizeof routine;
          });
      if (!NT_SUCCESS(status) || routine == nullptr) break;
      // The send itself: a request of the client's, the stack location
      // prepared for the transport, handed to the routine.
      ClientRequest* request = static_cast<ClientRequest*>(Allocate(sizeof(ClientRequest)));
      PIRP irp = IoAllocateIrp(1, FALSE);
      if (request == nullptr || irp == nullptr) {
        if (request) Free(request);
        if (irp) IoFreeIrp(irp);
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      KeInitializeEvent(&request->done, NotificationEvent, FALSE);
      irp->Tail.Overlay.Thread = PsGetCurrentThread();
      PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
      stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      stack->MinorFunction = datagram ? TDI_SEND_DATAGRAM : TDI_SEND;
      stack->FileObject = file;
      stack->DeviceObject = e && e->tcp ? gTcp : gUdp;
      if (datagram)
        reinterpret_cast<PTDI_REQUEST_KERNEL_SENDDG>(&stack->Parameters)->SendLength = op.bytes;
      else
        reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&stack->Parameters)->SendLength = op.bytes;
      IoSetCompletionRoutine(irp, OnClientComplete, request, TRUE, TRUE, TRUE);
      IoSetNextIrpStackLocation(irp);
      typedef NTSTATUS(NTAPI * Send)(PIRP, PIO_STACK_LOCATION);
      status = reinterpret_cast<Send>(routine)(irp, stack);
      if (status == STATUS_PENDING)
        KeWaitForSingleObject(&request->done, Executive, KernelMode, FALSE, nullptr);
      status = request->status;
      information = request->information;
      FreeRequest(request);
      break;
    }
    case kArriveData:
      if (e && e->kind == TDI_CONNECTION_FILE) {
        ArriveData(e, op.bytes);
        status = STATUS_SUCCESS;
      }
      break;
    case kArriveDatagram:
      if (e && e->kind == TDI_TRANSPORT_ADDRESS_FILE) {
        ArriveDatagram(e, op.bytes, op.address, USHORT(op.port));
        status = STATUS_SUCCESS;
      }
      break;
    case kArriveConnect:
      if (e && e->kind == TDI_TRANSPORT_ADDRESS_FILE) {
        ArriveConnect(e, op.address, USHORT(op.port));
        status = STATUS_SUCCESS;
      }
      break;
  }
  ObDereferenceObject(file);
  if (kept != nullptr) reply.value = Remember(kept);
  reply.information = ULONG(information);
  return status;
}

NTSTATUS Control(PIRP irp, PIO_STACK_LOCATION stack) {
  if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Complete(irp, STATUS_SUCCESS);
  ULONG input = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG output = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  if (buffer == nullptr || input < sizeof(testtdi::Op) || output < sizeof(testtdi::Reply))
    return Complete(irp, STATUS_INVALID_PARAMETER);
  testtdi::Op op;
  RtlCopyMemory(&op, buffer, sizeof op);
  if (stack->Parameters.DeviceIoControl.IoControlCode != testtdi::ControlCode(op.code))
    return Complete(irp, STATUS_INVALID_PARAMETER);
  // The table rows follow the op; they are copied out before the reply
  // overwrites the shared buffer.
  UCHAR* extra = nullptr;
  ULONG extraLength = input - sizeof op;
  if (extraLength > 0) {
    extra = static_cast<UCHAR*>(Allocate(extraLength));
    if (extra == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    RtlCopyMemory(extra, buffer + sizeof op, extraLength);
  }
  testtdi::Reply reply = {};
  reply.status = RunOp(op, extra, extraLength, reply);
  if (extra) Free(extra);
  RtlCopyMemory(buffer, &reply, sizeof reply);
  // The op's status travels in the reply: the request itself succeeds.
  return Complete(irp, STATUS_SUCCESS, sizeof reply);
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (device == gControl) return Control(irp, stack);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      return CreateObject(device, irp, stack);
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      EndObject(stack->FileObject);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return Internal(irp, stack);
    case IRP_MJ_DEVICE_CONTROL:
      return DeviceControl(device, irp, stack);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS MakeDevice(PDRIVER_OBJECT driver, const UNICODE_STRING& name, ULONG type, PDEVICE_OBJECT* device) {
  UNICODE_STRING n = name;
  NTSTATUS status = IoCreateDevice(driver, 0, &n, type, 0, FALSE, device);
  if (NT_SUCCESS(status)) (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  KeInitializeSpinLock(&gLock);
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = Dispatch;
  const UNICODE_STRING tcp = KERNEL_STRING("\\Device\\Tcp"), udp = KERNEL_STRING("\\Device\\Udp"),
                       control = KERNEL_STRING("\\Device\\VeskTestTdi");
  NTSTATUS status = MakeDevice(driver, tcp, FILE_DEVICE_NETWORK, &gTcp);
  if (NT_SUCCESS(status)) status = MakeDevice(driver, udp, FILE_DEVICE_NETWORK, &gUdp);
  if (NT_SUCCESS(status)) status = MakeDevice(driver, control, FILE_DEVICE_UNKNOWN, &gControl);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING tcpLink = KERNEL_STRING("\\DosDevices\\Tcp"), tcpName = tcp;
  UNICODE_STRING controlLink = KERNEL_STRING("\\DosDevices\\VeskTestTdi"), controlName = control;
  status = IoCreateSymbolicLink(&tcpLink, &tcpName);
  if (NT_SUCCESS(status)) status = IoCreateSymbolicLink(&controlLink, &controlName);
  return status;
}
