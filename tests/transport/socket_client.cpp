#include "socket_client.h"

#include <gtest/gtest.h>

#include <cstring>

std::vector<uint8_t> IpAddress(ULONG address, USHORT port) {
  std::vector<uint8_t> ta(22, 0);
  LONG count = 1;
  USHORT length = 14, type = TDI_ADDRESS_TYPE_IP;
  std::memcpy(&ta[0], &count, 4);
  std::memcpy(&ta[4], &length, 2);
  std::memcpy(&ta[6], &type, 2);
  std::memcpy(&ta[8], &port, 2);
  std::memcpy(&ta[10], &address, 4);
  return ta;
}

static std::vector<uint8_t> Ea(const char* name, const void* value, size_t length) {
  size_t nameLength = std::strlen(name);
  std::vector<uint8_t> ea(offsetof(FILE_FULL_EA_INFORMATION, EaName) + nameLength + 1 + length, 0);
  FILE_FULL_EA_INFORMATION header = {};
  header.EaNameLength = UCHAR(nameLength);
  header.EaValueLength = USHORT(length);
  std::memcpy(ea.data(), &header, offsetof(FILE_FULL_EA_INFORMATION, EaName));
  std::memcpy(&ea[offsetof(FILE_FULL_EA_INFORMATION, EaName)], name, nameLength);
  std::memcpy(&ea[offsetof(FILE_FULL_EA_INFORMATION, EaName) + nameLength + 1], value, length);
  return ea;
}

std::vector<uint8_t> TransportAddressEa(ULONG address, USHORT port, USHORT addressType) {
  std::vector<uint8_t> ta = IpAddress(address, port);
  std::memcpy(&ta[6], &addressType, 2);
  return Ea(TdiTransportAddress, ta.data(), ta.size());
}

std::vector<uint8_t> ConnectionContextEa(CONNECTION_CONTEXT context) {
  return Ea(TdiConnectionContext, &context, sizeof context);
}

PFILE_OBJECT SocketClient::openAddress(bool tcp, ULONG address, USHORT port) {
  hostkernel::CurrentProcess process(processId_);
  hostkernel::OpenResult r =
      hostkernel::openFile(tcp ? u"\\Device\\Tcp" : u"\\Device\\Udp", TransportAddressEa(address, port));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  return r.file;
}

PFILE_OBJECT SocketClient::openConnection(CONNECTION_CONTEXT context) {
  hostkernel::CurrentProcess process(processId_);
  hostkernel::OpenResult r = hostkernel::openFile(u"\\Device\\Tcp", ConnectionContextEa(context));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  return r.file;
}

HANDLE SocketClient::handleOf(PFILE_OBJECT file) {
  for (auto& h : handles_)
    if (h.first == file) return h.second;
  hostkernel::CurrentProcess process(processId_);
  HANDLE handle = hostkernel::createHandle(file, false);
  handles_.emplace_back(file, handle);
  return handle;
}

void SocketClient::cleanup(PFILE_OBJECT file) {
  hostkernel::CurrentProcess process(processId_);
  for (auto h = handles_.begin(); h != handles_.end(); ++h) {
    if (h->first == file) {
      hostkernel::closeHandle(h->second);
      handles_.erase(h);
      break;
    }
  }
  hostkernel::sendRequest(nullptr, file, IRP_MJ_CLEANUP);
}

void SocketClient::finishClose(PFILE_OBJECT file) {
  hostkernel::CurrentProcess process(processId_);
  hostkernel::sendRequest(nullptr, file, IRP_MJ_CLOSE);
  ObDereferenceObject(file);
}

void SocketClient::close(PFILE_OBJECT file) {
  cleanup(file);
  finishClose(file);
}

hostkernel::Completion SocketClient::internal(PFILE_OBJECT file, UCHAR minor,
                                              const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup) {
  hostkernel::CurrentProcess process(processId_);
  return hostkernel::sendRequest(nullptr, file, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                                 [&](PIRP irp, PIO_STACK_LOCATION s) {
                                   // The socket layer's own requests: kernel mode.
                                   irp->RequestorMode = KernelMode;
                                   s->MinorFunction = minor;
                                   if (setup) setup(irp, s);
                                 });
}

NTSTATUS SocketClient::associate(PFILE_OBJECT connection, PFILE_OBJECT address) {
  HANDLE handle = handleOf(address);
  return internal(connection, TDI_ASSOCIATE_ADDRESS,
                  [&](PIRP, PIO_STACK_LOCATION s) {
                    reinterpret_cast<PTDI_REQUEST_KERNEL_ASSOCIATE>(&s->Parameters)->AddressHandle = handle;
                  })
      .status;
}

NTSTATUS SocketClient::disassociate(PFILE_OBJECT connection) {
  return internal(connection, TDI_DISASSOCIATE_ADDRESS, {}).status;
}

NTSTATUS SocketClient::connect(PFILE_OBJECT connection, ULONG address, USHORT port) {
  std::vector<uint8_t> remote = IpAddress(address, port);
  TDI_CONNECTION_INFORMATION info = {};
  info.RemoteAddressLength = LONG(remote.size());
  info.RemoteAddress = remote.data();
  return internal(
             connection, TDI_CONNECT,
             [&](PIRP, PIO_STACK_LOCATION s) {
               reinterpret_cast<PTDI_REQUEST_KERNEL_CONNECT>(&s->Parameters)->RequestConnectionInformation =
                   &info;
             })
      .status;
}

hostkernel::PendingRequest* SocketClient::beginListen(PFILE_OBJECT connection) {
  hostkernel::CurrentProcess process(processId_);
  return hostkernel::beginRequest(nullptr, connection, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                                  [](PIRP irp, PIO_STACK_LOCATION s) {
                                    irp->RequestorMode = KernelMode;
                                    s->MinorFunction = TDI_LISTEN;
                                  });
}

NTSTATUS SocketClient::accept(PFILE_OBJECT connection) {
  // Room for the transport's answer, holding an address until it comes.
  std::vector<uint8_t> remote = IpAddress(0, 0);
  TDI_CONNECTION_INFORMATION info = {};
  info.RemoteAddressLength = LONG(remote.size());
  info.RemoteAddress = remote.data();
  return internal(
             connection, TDI_ACCEPT,
             [&](PIRP, PIO_STACK_LOCATION s) {
               reinterpret_cast<PTDI_REQUEST_KERNEL_ACCEPT>(&s->Parameters)->ReturnConnectionInformation =
                   &info;
             })
      .status;
}

NTSTATUS SocketClient::disconnect(PFILE_OBJECT connection) {
  return internal(connection, TDI_DISCONNECT, {}).status;
}

hostkernel::Completion SocketClient::send(PFILE_OBJECT connection, ULONG bytes) {
  return internal(connection, TDI_SEND, [&](PIRP, PIO_STACK_LOCATION s) {
    reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&s->Parameters)->SendLength = bytes;
  });
}

hostkernel::PendingRequest* SocketClient::beginReceive(PFILE_OBJECT connection, ULONG bytes) {
  hostkernel::CurrentProcess process(processId_);
  return hostkernel::beginRequest(
      nullptr, connection, IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PIRP irp, PIO_STACK_LOCATION s) {
        irp->RequestorMode = KernelMode;
        s->MinorFunction = TDI_RECEIVE;
        reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&s->Parameters)->ReceiveLength = bytes;
      });
}

hostkernel::Completion SocketClient::sendDatagram(PFILE_OBJECT address, ULONG bytes, ULONG to, USHORT port) {
  std::vector<uint8_t> remote = IpAddress(to, port);
  TDI_CONNECTION_INFORMATION info = {};
  info.RemoteAddressLength = LONG(remote.size());
  info.RemoteAddress = remote.data();
  return internal(address, TDI_SEND_DATAGRAM, [&](PIRP, PIO_STACK_LOCATION s) {
    PTDI_REQUEST_KERNEL_SENDDG p = reinterpret_cast<PTDI_REQUEST_KERNEL_SENDDG>(&s->Parameters);
    p->SendLength = bytes;
    p->SendDatagramInformation = &info;
  });
}

hostkernel::PendingRequest* SocketClient::beginReceiveDatagram(PFILE_OBJECT address, ULONG bytes) {
  hostkernel::CurrentProcess process(processId_);
  return hostkernel::beginRequest(
      nullptr, address, IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PIRP irp, PIO_STACK_LOCATION s) {
        irp->RequestorMode = KernelMode;
        s->MinorFunction = TDI_RECEIVE_DATAGRAM;
        reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVEDG>(&s->Parameters)->ReceiveLength = bytes;
      });
}

NTSTATUS SocketClient::setEventHandler(PFILE_OBJECT address, LONG type, PVOID handler, PVOID context) {
  return internal(address, TDI_SET_EVENT_HANDLER,
                  [&](PIRP, PIO_STACK_LOCATION s) {
                    PTDI_REQUEST_KERNEL_SET_EVENT p =
                        reinterpret_cast<PTDI_REQUEST_KERNEL_SET_EVENT>(&s->Parameters);
                    p->EventType = type;
                    p->EventHandler = handler;
                    p->EventContext = context;
                  })
      .status;
}

hostkernel::Completion SocketClient::queryAddress(PFILE_OBJECT file, std::vector<uint8_t>& reply) {
  reply.assign(64, 0xCC);
  hostkernel::Completion c = internal(file, TDI_QUERY_INFORMATION, [&](PIRP irp, PIO_STACK_LOCATION s) {
    reinterpret_cast<PTDI_REQUEST_KERNEL_QUERY_INFORMATION>(&s->Parameters)->QueryType =
        TDI_QUERY_ADDRESS_INFO;
    PMDL mdl = IoAllocateMdl(reply.data(), ULONG(reply.size()), FALSE, FALSE, irp);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  });
  return c;
}

PVOID SocketClient::queryDirectSend(PFILE_OBJECT file, bool datagram, KPROCESSOR_MODE mode) {
  PVOID routine = nullptr;
  hostkernel::CurrentProcess process(processId_);
  hostkernel::Completion c =
      hostkernel::sendRequest(nullptr, file, IRP_MJ_DEVICE_CONTROL, [&](PIRP irp, PIO_STACK_LOCATION s) {
        irp->RequestorMode = mode;
        s->Parameters.DeviceIoControl.IoControlCode = datagram ? 0x00210207 : 0x00210203;
        s->Parameters.DeviceIoControl.Type3InputBuffer = &routine;
      });
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  return routine;
}

namespace {
// The completion of a request the client allocated stops at the client, which
// frees the request itself.
NTSTATUS NTAPI KeepRequest(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }
}  // namespace

NTSTATUS SocketClient::directSend(PVOID routine, PFILE_OBJECT file, ULONG bytes, bool datagram) {
  typedef NTSTATUS(NTAPI * Routine)(PIRP, PIO_STACK_LOCATION);
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoSetCompletionRoutine(irp, KeepRequest, nullptr, TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  s->MinorFunction = datagram ? TDI_SEND_DATAGRAM : TDI_SEND;
  s->FileObject = file;
  if (datagram)
    reinterpret_cast<PTDI_REQUEST_KERNEL_SENDDG>(&s->Parameters)->SendLength = bytes;
  else
    reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&s->Parameters)->SendLength = bytes;
  NTSTATUS status = reinterpret_cast<Routine>(routine)(irp, s);
  IoFreeIrp(irp);
  return status;
}

namespace {
NTSTATUS NTAPI KeepReturnedReceive(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  ReturnedReceive* r = static_cast<ReturnedReceive*>(context);
  r->bytes = irp->IoStatus.Information;
  __atomic_store_n(&r->done, 1, __ATOMIC_SEQ_CST);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

ReturnedReceive* ReturnedReceive::make(PDEVICE_OBJECT transport, PFILE_OBJECT file, ULONG length,
                                       bool datagram) {
  ReturnedReceive* r = new ReturnedReceive();
  r->irp = IoAllocateIrp(transport->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r->irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->MinorFunction = datagram ? TDI_RECEIVE_DATAGRAM : TDI_RECEIVE;
  next->DeviceObject = transport;
  next->FileObject = file;
  if (datagram)
    reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVEDG>(&next->Parameters)->ReceiveLength = length;
  else
    reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&next->Parameters)->ReceiveLength = length;
  IoSetCompletionRoutine(r->irp, KeepReturnedReceive, r, TRUE, TRUE, TRUE);
  // The transport uses the request without IoCallDriver: the client makes the
  // location it prepared the current one.
  IoSetNextIrpStackLocation(r->irp);
  return r;
}

void ReturnedReceive::free() {
  IoFreeIrp(irp);
  delete this;
}
