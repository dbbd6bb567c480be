#include "tdi_transport.h"

#include "socket_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

TdiTransport* gTransport = nullptr;
std::set<TdiTransport::Endpoint*> gLive;

// Arrival data: what a Tsdu pointer of an indication points to.
uint8_t gPayload[65536];

ULONG Read32(const uint8_t* p) {
  ULONG v;
  std::memcpy(&v, p, 4);
  return v;
}

// The transport's own reading of a TRANSPORT_ADDRESS: one IPv4 address.
bool ParseIp(const void* address, ULONG length, ULONG& ip, USHORT& port) {
  const uint8_t* b = static_cast<const uint8_t*>(address);
  if (b == nullptr || length < 14 || LONG(Read32(b)) < 1) return false;
  USHORT addressLength, type;
  std::memcpy(&addressLength, b + 4, 2);
  std::memcpy(&type, b + 6, 2);
  if (type != TDI_ADDRESS_TYPE_IP || addressLength < 6 || addressLength > length - 8) return false;
  std::memcpy(&port, b + 8, 2);
  std::memcpy(&ip, b + 10, 4);
  return true;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Pend(PIRP irp) {
  IoMarkIrpPending(irp);
  return STATUS_PENDING;
}

USHORT NetworkOrder(USHORT port) { return USHORT(port << 8 | port >> 8); }

// The stack location of a request a client handed back from an event handler,
// or null. The transport uses such a request without IoCallDriver, so it reads
// it where it reads every request of its own, in the current stack location
// (the TDI_RECEIVE reference: "The transport calls IoGetCurrentIrpStackLocation
// with the given Irp to get a pointer to its own I/O stack location"). The
// client builds it with TdiBuildReceive or TdiBuildAccept into the next
// location and then makes that one current with IoSetNextIrpStackLocation, as
// Windows' own TDI clients (the socket layer, NetBT) do.
PIO_STACK_LOCATION HandedBack(PIRP irp, UCHAR minor) {
  if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) {
    ADD_FAILURE() << "a request was handed back without making its stack location current";
    return nullptr;
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL || stack->MinorFunction != minor) {
    ADD_FAILURE() << "a request was handed back for another operation";
    return nullptr;
  }
  return stack;
}

}  // namespace

struct TdiTransport::Endpoint {
  ULONG_PTR kind = TDI_CONTROL_CHANNEL_FILE;
  bool tcp = true;
  PFILE_OBJECT file = nullptr;
  ULONG address = 0;  // network order
  USHORT port = 0;    // network order
  CONNECTION_CONTEXT context = nullptr;
  Endpoint* associated = nullptr;
  PVOID handlers[11] = {};
  PVOID contexts[11] = {};
  std::deque<PIRP> receives;
  PIRP listen = nullptr;
  ULONG buffered = 0;
  bool connected = false;
  ULONG remoteAddress = 0;
  USHORT remotePort = 0;
  ULONG sent = 0;
  ULONG received = 0;
  int inFlight = 0;    // indications running on the network thread
  bool ended = false;  // its cleanup came: gone for requests, freed at its close
};

TdiTransport::TdiTransport() : driver_(hostkernel::createDriverObject(Dispatch)) {
  gTransport = this;
  tcp_ = hostkernel::createNamedDevice(driver_, u"\\Device\\Tcp", FILE_DEVICE_NETWORK);
  udp_ = hostkernel::createNamedDevice(driver_, u"\\Device\\Udp", FILE_DEVICE_NETWORK);
  network_ = std::thread([this] { networkLoop(); });
}

TdiTransport::~TdiTransport() {
  {
    std::lock_guard<std::mutex> lock(m_);
    stop_ = true;
    changed_.notify_all();
  }
  network_.join();
  EXPECT_TRUE(gLive.empty()) << "transport objects left open";
  for (Endpoint* e : gLive) delete e;
  gLive.clear();
  IoDeleteDevice(tcp_);
  IoDeleteDevice(udp_);
  hostkernel::deleteDriverObject(driver_);
  gTransport = nullptr;
}

void TdiTransport::post(std::function<void()> action) {
  std::lock_guard<std::mutex> lock(m_);
  queue_.push_back(std::move(action));
  changed_.notify_all();
}

void TdiTransport::networkLoop() {
  std::unique_lock<std::mutex> lock(m_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;
    std::function<void()> action = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    {
      hostkernel::AtDispatchLevel dispatch;
      action();
    }
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

void TdiTransport::flush() {
  std::unique_lock<std::mutex> lock(m_);
  changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void TdiTransport::onNetwork(const std::function<void()>& action) {
  post(action);
  flush();
}

TdiTransport::Endpoint* TdiTransport::endpointOf(PFILE_OBJECT file) {
  if (file == nullptr) return nullptr;
  Endpoint* e = anyEndpointOf(file);
  return e && !e->ended ? e : nullptr;
}

TdiTransport::Endpoint* TdiTransport::anyEndpointOf(PFILE_OBJECT file) {
  if (file == nullptr) return nullptr;
  Endpoint* e = static_cast<Endpoint*>(file->FsContext);
  return gLive.count(e) ? e : nullptr;
}

void TdiTransport::holdIndications(bool hold) {
  std::lock_guard<std::mutex> lock(m_);
  holding_ = hold;
  changed_.notify_all();
}

void TdiTransport::waitForHeldIndication() {
  std::unique_lock<std::mutex> lock(m_);
  changed_.wait(lock, [this] { return parked_ > 0; });
}

void TdiTransport::parkWhileHeld() {
  std::unique_lock<std::mutex> lock(m_);
  if (!holding_) return;
  ++parked_;
  changed_.notify_all();
  changed_.wait(lock, [this] { return !holding_; });
  --parked_;
}

void TdiTransport::deliver(PFILE_OBJECT connection, ULONG bytes) {
  post([this, connection, bytes] {
    Endpoint* e;
    {
      std::lock_guard<std::mutex> lock(m_);
      e = endpointOf(connection);
    }
    if (e) receiveOn(e, bytes);
  });
}

void TdiTransport::deliverDatagram(PFILE_OBJECT address, ULONG bytes, ULONG fromAddress, USHORT fromPort) {
  post([=] {
    Endpoint* e;
    {
      std::lock_guard<std::mutex> lock(m_);
      e = endpointOf(address);
    }
    if (e) receiveDatagramOn(e, bytes, fromAddress, fromPort);
  });
}

void TdiTransport::connectFrom(PFILE_OBJECT address, ULONG remoteAddress, USHORT remotePort) {
  post([=] {
    Endpoint* e;
    {
      std::lock_guard<std::mutex> lock(m_);
      e = endpointOf(address);
    }
    if (e) acceptOn(e, remoteAddress, remotePort);
  });
}

void TdiTransport::answerConnects(NTSTATUS status) {
  std::lock_guard<std::mutex> lock(m_);
  connectOutcome_ = status;
}

ULONG TdiTransport::bytesSentOn(PFILE_OBJECT file) {
  std::lock_guard<std::mutex> lock(m_);
  Endpoint* e = endpointOf(file);
  return e ? e->sent : 0;
}

ULONG TdiTransport::bytesReceivedOn(PFILE_OBJECT file) {
  std::lock_guard<std::mutex> lock(m_);
  Endpoint* e = endpointOf(file);
  return e ? e->received : 0;
}

bool TdiTransport::connected(PFILE_OBJECT connection) {
  std::lock_guard<std::mutex> lock(m_);
  Endpoint* e = endpointOf(connection);
  return e && e->connected;
}

PVOID TdiTransport::handler(PFILE_OBJECT address, LONG type) {
  std::lock_guard<std::mutex> lock(m_);
  Endpoint* e = endpointOf(address);
  return e ? e->handlers[type] : nullptr;
}

PVOID TdiTransport::handlerContext(PFILE_OBJECT address, LONG type) {
  std::lock_guard<std::mutex> lock(m_);
  Endpoint* e = endpointOf(address);
  return e ? e->contexts[type] : nullptr;
}

PVOID TdiTransport::directSendRoutine(bool tcp, bool datagram) {
  if (tcp)
    return datagram ? reinterpret_cast<PVOID>(DirectSend<true, true>)
                    : reinterpret_cast<PVOID>(DirectSend<true, false>);
  return datagram ? reinterpret_cast<PVOID>(DirectSend<false, true>)
                  : reinterpret_cast<PVOID>(DirectSend<false, false>);
}

int TdiTransport::directSends(bool tcp) {
  std::lock_guard<std::mutex> lock(m_);
  return directSends_[tcp ? 0 : 1];
}

std::vector<TdiTransport::EventSetting> TdiTransport::eventSettings() {
  std::lock_guard<std::mutex> lock(m_);
  return eventSettings_;
}

size_t TdiTransport::openObjects() {
  std::lock_guard<std::mutex> lock(m_);
  return gLive.size();
}

void TdiTransport::answerQueriesLater(bool later) {
  std::lock_guard<std::mutex> lock(m_);
  queriesLater_ = later;
}

NTSTATUS TdiTransport::answerQuery(PIRP irp, Answer answer) {
  bool later;
  {
    std::lock_guard<std::mutex> lock(m_);
    later = queriesLater_;
  }
  if (!later) {
    ULONG_PTR information = 0;
    NTSTATUS status = answer(information);
    return Complete(irp, status, information);
  }
  // Marked before the network thread can complete it.
  Pend(irp);
  post([irp, answer] {
    ULONG_PTR information = 0;
    NTSTATUS status = answer(information);
    Complete(irp, status, information);
  });
  return STATUS_PENDING;
}

void TdiTransport::answerAddressQueries(const std::vector<uint8_t>& reply, ULONG_PTR information) {
  std::lock_guard<std::mutex> lock(m_);
  customReply_ = true;
  reply_ = reply;
  replyInformation_ = information;
}

// --- Requests ---------------------------------------------------------------------

NTSTATUS NTAPI TdiTransport::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  TdiTransport& t = *gTransport;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      return t.create(device, irp, stack);
    // Like tcpip, the transport ends an object at IRP_MJ_CLEANUP, when its
    // last handle is gone; a close without a cleanup before it ends it there.
    case IRP_MJ_CLEANUP:
      t.end(stack->FileObject);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
      t.release(stack->FileObject);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL: {
      ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
      if (code == 0x00210203 || code == 0x00210207) {
        PVOID* place = static_cast<PVOID*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
        PVOID routine = directSendRoutine(device == t.tcp_, code == 0x00210207);
        return t.answerQuery(irp, [place, routine](ULONG_PTR&) {
          if (place == nullptr) return STATUS_INVALID_PARAMETER;
          *place = routine;
          return STATUS_SUCCESS;
        });
      }
      NTSTATUS mapped = TdiMapUserRequest(device, irp, stack);
      if (!NT_SUCCESS(mapped)) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
      return t.internal(irp, stack);
    }
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return t.internal(irp, stack);
    default:
      // A power request lets the power manager send the next one (Windows
      // 2000 and XP) before it is refused.
      if (stack->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// Requests still waiting on the object end, and it is gone for every later
// request on its file object. Indications already under way on another
// processor may still be calling a handler they read before: the TDI
// reference does not say that the cleanup waits for them, so this transport
// lets them run on until the close (a filter must cope with both).
void TdiTransport::end(PFILE_OBJECT file) {
  std::vector<PIRP> cancelled;
  {
    std::lock_guard<std::mutex> lock(m_);
    Endpoint* e = endpointOf(file);
    if (e == nullptr) return;
    cancelled.assign(e->receives.begin(), e->receives.end());
    e->receives.clear();
    if (e->listen) cancelled.push_back(e->listen);
    e->listen = nullptr;
    for (Endpoint* other : gLive)
      if (other->associated == e) other->associated = nullptr;
    e->ended = true;
  }
  for (PIRP p : cancelled) Complete(p, STATUS_CANCELLED);
}

// The close: the object ends if its cleanup has not ended it, indications
// still running on it are waited for, and its memory goes.
void TdiTransport::release(PFILE_OBJECT file) {
  end(file);
  std::unique_lock<std::mutex> lock(m_);
  Endpoint* e = anyEndpointOf(file);
  if (e == nullptr) return;
  ++closesWaiting_;
  changed_.notify_all();
  changed_.wait(lock, [e] { return e->inFlight == 0; });
  --closesWaiting_;
  gLive.erase(e);
  delete e;
}

void TdiTransport::waitForCloseWaiting() {
  std::unique_lock<std::mutex> lock(m_);
  changed_.wait(lock, [this] { return closesWaiting_ > 0; });
}

NTSTATUS TdiTransport::create(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack) {
  Endpoint* e = new Endpoint();
  e->tcp = device == tcp_;
  e->file = stack->FileObject;
  const FILE_FULL_EA_INFORMATION* ea =
      static_cast<const FILE_FULL_EA_INFORMATION*>(irp->AssociatedIrp.SystemBuffer);
  ULONG length = stack->Parameters.Create.EaLength;
  if (ea != nullptr && length > 0) {
    ULONG header = offsetof(FILE_FULL_EA_INFORMATION, EaName);
    if (length < header) {
      delete e;
      return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    ULONG valueAt = header + ea->EaNameLength + 1;
    if (valueAt > length || ea->EaValueLength > length - valueAt) {
      delete e;
      return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    std::string name(ea->EaName, ea->EaNameLength);
    const uint8_t* value = reinterpret_cast<const uint8_t*>(ea) + valueAt;
    if (name == TdiTransportAddress) {
      if (!ParseIp(value, ea->EaValueLength, e->address, e->port)) {
        delete e;
        return Complete(irp, STATUS_INVALID_ADDRESS_COMPONENT);
      }
      e->kind = TDI_TRANSPORT_ADDRESS_FILE;
    } else if (name == TdiConnectionContext && e->tcp && ea->EaValueLength >= sizeof(CONNECTION_CONTEXT)) {
      std::memcpy(&e->context, value, sizeof(CONNECTION_CONTEXT));
      e->kind = TDI_CONNECTION_FILE;
    } else {
      delete e;
      return Complete(irp, STATUS_INVALID_PARAMETER);
    }
  }
  std::unique_lock<std::mutex> lock(m_);
  // A port is one address object's (no sharing is offered).
  if (e->kind == TDI_TRANSPORT_ADDRESS_FILE && e->port != 0) {
    for (Endpoint* other : gLive) {
      if (!other->ended && other->kind == TDI_TRANSPORT_ADDRESS_FILE && other->tcp == e->tcp &&
          other->port == e->port) {
        lock.unlock();
        delete e;
        return Complete(irp, STATUS_ADDRESS_ALREADY_EXISTS);
      }
    }
  }
  // The transport chooses a port when the client asks for none; the client
  // learns it by querying the address.
  if (e->kind == TDI_TRANSPORT_ADDRESS_FILE && e->port == 0) e->port = NetworkOrder(nextPort_++);
  stack->FileObject->FsContext = e;
  stack->FileObject->FsContext2 = reinterpret_cast<PVOID>(e->kind);
  gLive.insert(e);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// A TDI_ADDRESS_INFO with the address object's IPv4 address (for a
// connection, its associated address object's), through the request's MDL.
NTSTATUS TdiTransport::addressReply(PIRP irp, PFILE_OBJECT file, ULONG_PTR& information) {
  std::lock_guard<std::mutex> lock(m_);
  Endpoint* e = endpointOf(file);
  if (e == nullptr) return STATUS_INVALID_HANDLE;
  Endpoint* address = e->kind == TDI_CONNECTION_FILE ? e->associated : e;
  if (address == nullptr || address->kind != TDI_TRANSPORT_ADDRESS_FILE) return STATUS_INVALID_CONNECTION;
  if (irp->MdlAddress == nullptr) return STATUS_INVALID_PARAMETER;
  uint8_t* reply = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
  const ULONG size = 4 + 22;
  if (reply == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (customReply_) {
    std::memcpy(reply, reply_.data(), std::min<size_t>(reply_.size(), MmGetMdlByteCount(irp->MdlAddress)));
    information = replyInformation_;
    return STATUS_SUCCESS;
  }
  if (MmGetMdlByteCount(irp->MdlAddress) < size) return STATUS_BUFFER_TOO_SMALL;
  ULONG activity = 1;
  std::memcpy(reply, &activity, 4);
  std::vector<uint8_t> ta = IpAddress(address->address, address->port);
  std::memcpy(reply + 4, ta.data(), ta.size());
  information = size;
  return STATUS_SUCCESS;
}

NTSTATUS TdiTransport::internal(PIRP irp, PIO_STACK_LOCATION stack) {
  std::unique_lock<std::mutex> lock(m_);
  Endpoint* e = endpointOf(stack->FileObject);
  if (e == nullptr) {
    lock.unlock();
    return Complete(irp, STATUS_INVALID_HANDLE);
  }
  void* parameters = &stack->Parameters;
  switch (stack->MinorFunction) {
    case TDI_ASSOCIATE_ADDRESS: {
      HANDLE handle = static_cast<PTDI_REQUEST_KERNEL_ASSOCIATE>(parameters)->AddressHandle;
      lock.unlock();
      PVOID object;
      // The handle is the sender's: resolved in its mode and its process.
      if (e->kind != TDI_CONNECTION_FILE ||
          !NT_SUCCESS(
              ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, irp->RequestorMode, &object, nullptr)))
        return Complete(irp, STATUS_INVALID_HANDLE);
      lock.lock();
      Endpoint* address = endpointOf(static_cast<PFILE_OBJECT>(object));
      bool ok = address && address->kind == TDI_TRANSPORT_ADDRESS_FILE;
      if (ok) e->associated = address;
      lock.unlock();
      ObDereferenceObject(object);
      return Complete(irp, ok ? STATUS_SUCCESS : STATUS_INVALID_HANDLE);
    }
    case TDI_DISASSOCIATE_ADDRESS:
      e->associated = nullptr;
      e->connected = false;
      lock.unlock();
      return Complete(irp, STATUS_SUCCESS);
    case TDI_CONNECT: {
      PTDI_CONNECTION_INFORMATION info =
          static_cast<PTDI_REQUEST_KERNEL_CONNECT>(parameters)->RequestConnectionInformation;
      ULONG ip;
      USHORT port;
      if (e->kind != TDI_CONNECTION_FILE || e->associated == nullptr) {
        lock.unlock();
        return Complete(irp, STATUS_INVALID_CONNECTION);
      }
      if (info == nullptr || info->RemoteAddressLength < 0 ||
          !ParseIp(info->RemoteAddress, ULONG(info->RemoteAddressLength), ip, port)) {
        lock.unlock();
        return Complete(irp, STATUS_INVALID_ADDRESS_COMPONENT);
      }
      NTSTATUS outcome = connectOutcome_;
      lock.unlock();
      Pend(irp);
      post([this, e, irp, ip, port, outcome] {
        {
          std::lock_guard<std::mutex> guard(m_);
          if (NT_SUCCESS(outcome) && gLive.count(e)) {
            e->connected = true;
            e->remoteAddress = ip;
            e->remotePort = port;
          }
        }
        Complete(irp, outcome);
      });
      return STATUS_PENDING;
    }
    case TDI_LISTEN:
      if (e->kind != TDI_CONNECTION_FILE || e->associated == nullptr || e->listen != nullptr) {
        lock.unlock();
        return Complete(irp, STATUS_INVALID_CONNECTION);
      }
      // Marked before it is published: the network thread may complete it
      // at once, and then it is gone.
      Pend(irp);
      e->listen = irp;
      return STATUS_PENDING;
    case TDI_ACCEPT: {
      // The transport returns the remote end in the client's return
      // information when it completes the accept (TdiBuildAccept's
      // ReturnConnectionInfo is an [out] parameter, and its RemoteAddress the
      // address "returned by the transport to the client"), when the client's
      // buffer holds it.
      // With no connection offered to accept, the accept fails and the
      // return information stays as the client left it.
      if (e->kind != TDI_CONNECTION_FILE || !e->connected) {
        lock.unlock();
        return Complete(irp, STATUS_INVALID_CONNECTION);
      }
      PTDI_CONNECTION_INFORMATION returned =
          static_cast<PTDI_REQUEST_KERNEL_ACCEPT>(parameters)->ReturnConnectionInformation;
      std::vector<uint8_t> remote = IpAddress(e->remoteAddress, e->remotePort);
      if (returned != nullptr && returned->RemoteAddress != nullptr &&
          returned->RemoteAddressLength >= LONG(remote.size()))
        std::memcpy(returned->RemoteAddress, remote.data(), remote.size());
      lock.unlock();
      return Complete(irp, STATUS_SUCCESS);
    }
    case TDI_DISCONNECT:
      e->connected = false;
      lock.unlock();
      return Complete(irp, STATUS_SUCCESS);
    case TDI_SEND: {
      ULONG length = static_cast<PTDI_REQUEST_KERNEL_SEND>(parameters)->SendLength;
      if (!e->connected) {
        lock.unlock();
        return Complete(irp, STATUS_INVALID_CONNECTION);
      }
      e->sent += length;
      lock.unlock();
      return Complete(irp, STATUS_SUCCESS, length);
    }
    case TDI_RECEIVE:
    case TDI_RECEIVE_DATAGRAM: {
      bool datagram = stack->MinorFunction == TDI_RECEIVE_DATAGRAM;
      ULONG length = datagram ? static_cast<PTDI_REQUEST_KERNEL_RECEIVEDG>(parameters)->ReceiveLength
                              : static_cast<PTDI_REQUEST_KERNEL_RECEIVE>(parameters)->ReceiveLength;
      if (!datagram && e->buffered > 0) {
        ULONG n = std::min(e->buffered, length);
        e->buffered -= n;
        e->received += n;
        lock.unlock();
        return Complete(irp, STATUS_SUCCESS, n);
      }
      Pend(irp);
      e->receives.push_back(irp);
      return STATUS_PENDING;
    }
    case TDI_SEND_DATAGRAM: {
      ULONG length = static_cast<PTDI_REQUEST_KERNEL_SENDDG>(parameters)->SendLength;
      e->sent += length;
      lock.unlock();
      return Complete(irp, STATUS_SUCCESS, length);
    }
    case TDI_SET_EVENT_HANDLER: {
      PTDI_REQUEST_KERNEL_SET_EVENT event = static_cast<PTDI_REQUEST_KERNEL_SET_EVENT>(parameters);
      if (e->kind != TDI_TRANSPORT_ADDRESS_FILE || event->EventType < 0 || event->EventType > 10) {
        lock.unlock();
        return Complete(irp, STATUS_INVALID_PARAMETER);
      }
      e->handlers[event->EventType] = event->EventHandler;
      e->contexts[event->EventType] = event->EventHandler ? event->EventContext : nullptr;
      eventSettings_.push_back(EventSetting{event->EventType, event->EventHandler, event->EventContext});
      lock.unlock();
      return Complete(irp, STATUS_SUCCESS);
    }
    case TDI_QUERY_INFORMATION: {
      lock.unlock();
      if (static_cast<PTDI_REQUEST_KERNEL_QUERY_INFORMATION>(parameters)->QueryType != TDI_QUERY_ADDRESS_INFO)
        return Complete(irp, STATUS_NOT_IMPLEMENTED);
      PFILE_OBJECT file = stack->FileObject;
      return answerQuery(
          irp, [this, irp, file](ULONG_PTR& information) { return addressReply(irp, file, information); });
    }
    default:
      lock.unlock();
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

template <bool Tcp, bool Datagram>
NTSTATUS NTAPI TdiTransport::DirectSend(PIRP irp, PIO_STACK_LOCATION stack) {
  TdiTransport& t = *gTransport;
  ULONG length = Datagram ? reinterpret_cast<PTDI_REQUEST_KERNEL_SENDDG>(&stack->Parameters)->SendLength
                          : reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&stack->Parameters)->SendLength;
  {
    std::lock_guard<std::mutex> lock(t.m_);
    ++t.directSends_[Tcp ? 0 : 1];
    Endpoint* e = t.endpointOf(stack->FileObject);
    if (e == nullptr || e->tcp != Tcp) {
      ADD_FAILURE() << "a direct send routine was called for an object of the other transport";
    } else {
      e->sent += length;
    }
  }
  return Complete(irp, STATUS_SUCCESS, length);
}

// --- Arrivals (network thread, DISPATCH_LEVEL) ---------------------------------------

void TdiTransport::receiveOn(Endpoint* connection, ULONG bytes) {
  std::unique_lock<std::mutex> lock(m_);
  if (!connection->receives.empty()) {
    PIRP irp = connection->receives.front();
    connection->receives.pop_front();
    ULONG length =
        reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&IoGetCurrentIrpStackLocation(irp)->Parameters)
            ->ReceiveLength;
    ULONG n = std::min(bytes, length);
    connection->received += n;
    connection->buffered += bytes - n;
    lock.unlock();
    Complete(irp, STATUS_SUCCESS, n);
    return;
  }
  Endpoint* address = connection->associated;
  if (address == nullptr) {
    connection->buffered += bytes;
    return;
  }
  PTDI_IND_CHAINED_RECEIVE chained =
      reinterpret_cast<PTDI_IND_CHAINED_RECEIVE>(address->handlers[TDI_EVENT_CHAINED_RECEIVE]);
  PVOID chainedContext = address->contexts[TDI_EVENT_CHAINED_RECEIVE];
  PTDI_IND_RECEIVE receive = reinterpret_cast<PTDI_IND_RECEIVE>(address->handlers[TDI_EVENT_RECEIVE]);
  PVOID receiveContext = address->contexts[TDI_EVENT_RECEIVE];
  CONNECTION_CONTEXT context = connection->context;
  ++address->inFlight;
  ++connection->inFlight;
  lock.unlock();
  parkWhileHeld();

  ULONG accepted = 0;
  ULONG leftover = bytes;
  PIRP returned = nullptr;
  if (chained) {
    NTSTATUS status = chained(chainedContext, context, TDI_RECEIVE_NORMAL, bytes, 0, nullptr, nullptr);
    if (status == STATUS_SUCCESS || status == STATUS_PENDING) {
      accepted = bytes;
      leftover = 0;
    }
  }
  if (leftover > 0 && receive) {
    ULONG taken = 0;
    NTSTATUS status =
        receive(receiveContext, context, TDI_RECEIVE_NORMAL, bytes, bytes, &taken, gPayload, &returned);
    if (status == STATUS_SUCCESS || status == STATUS_MORE_PROCESSING_REQUIRED) {
      taken = std::min(taken, bytes);
      accepted = taken;
      leftover = bytes - taken;
    }
    if (status != STATUS_MORE_PROCESSING_REQUIRED) returned = nullptr;
  }
  ULONG intoRequest = 0;
  PIO_STACK_LOCATION request = returned ? HandedBack(returned, TDI_RECEIVE) : nullptr;
  if (request == nullptr) returned = nullptr;
  if (returned != nullptr) {
    // The client's request takes the rest.
    ULONG length = reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&request->Parameters)->ReceiveLength;
    intoRequest = std::min(leftover, length);
    leftover -= intoRequest;
  }
  lock.lock();
  connection->received += accepted + intoRequest;
  connection->buffered += leftover;
  --address->inFlight;
  --connection->inFlight;
  changed_.notify_all();
  lock.unlock();
  if (returned != nullptr) Complete(returned, STATUS_SUCCESS, intoRequest);
}

void TdiTransport::receiveDatagramOn(Endpoint* address, ULONG bytes, ULONG from, USHORT port) {
  std::unique_lock<std::mutex> lock(m_);
  if (!address->receives.empty()) {
    PIRP irp = address->receives.front();
    address->receives.pop_front();
    ULONG length =
        reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVEDG>(&IoGetCurrentIrpStackLocation(irp)->Parameters)
            ->ReceiveLength;
    ULONG n = std::min(bytes, length);
    address->received += n;
    lock.unlock();
    Complete(irp, STATUS_SUCCESS, n);
    return;
  }
  PTDI_IND_CHAINED_RECEIVE_DATAGRAM chained = reinterpret_cast<PTDI_IND_CHAINED_RECEIVE_DATAGRAM>(
      address->handlers[TDI_EVENT_CHAINED_RECEIVE_DATAGRAM]);
  PVOID chainedContext = address->contexts[TDI_EVENT_CHAINED_RECEIVE_DATAGRAM];
  PTDI_IND_RECEIVE_DATAGRAM receive =
      reinterpret_cast<PTDI_IND_RECEIVE_DATAGRAM>(address->handlers[TDI_EVENT_RECEIVE_DATAGRAM]);
  PVOID receiveContext = address->contexts[TDI_EVENT_RECEIVE_DATAGRAM];
  ++address->inFlight;
  lock.unlock();
  parkWhileHeld();

  std::vector<uint8_t> source = IpAddress(from, port);
  ULONG accepted = 0;
  PIRP returned = nullptr;
  bool taken = false;
  if (chained) {
    NTSTATUS status = chained(chainedContext, LONG(source.size()), source.data(), 0, nullptr, 0, bytes, 0,
                              nullptr, nullptr);
    if (status == STATUS_SUCCESS || status == STATUS_PENDING) {
      accepted = bytes;
      taken = true;
    }
  }
  if (!taken && receive) {
    ULONG took = 0;
    NTSTATUS status = receive(receiveContext, LONG(source.size()), source.data(), 0, nullptr, 0, bytes, bytes,
                              &took, gPayload, &returned);
    if (status == STATUS_SUCCESS || status == STATUS_MORE_PROCESSING_REQUIRED)
      accepted = std::min(took, bytes);
    if (status != STATUS_MORE_PROCESSING_REQUIRED) returned = nullptr;
  }
  ULONG intoRequest = 0;
  PIO_STACK_LOCATION request = returned ? HandedBack(returned, TDI_RECEIVE_DATAGRAM) : nullptr;
  if (request == nullptr) returned = nullptr;
  if (returned != nullptr) {
    ULONG length = reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVEDG>(&request->Parameters)->ReceiveLength;
    intoRequest = std::min(bytes - accepted, length);
  }
  lock.lock();
  address->received += accepted + intoRequest;
  --address->inFlight;
  changed_.notify_all();
  lock.unlock();
  if (returned != nullptr) Complete(returned, STATUS_SUCCESS, intoRequest);
}

void TdiTransport::acceptOn(Endpoint* address, ULONG remote, USHORT port) {
  std::unique_lock<std::mutex> lock(m_);
  for (Endpoint* e : gLive) {
    if (e->associated == address && e->listen != nullptr) {
      PIRP listen = e->listen;
      e->listen = nullptr;
      e->connected = true;
      e->remoteAddress = remote;
      e->remotePort = port;
      lock.unlock();
      Complete(listen, STATUS_SUCCESS);
      return;
    }
  }
  PTDI_IND_CONNECT handler = reinterpret_cast<PTDI_IND_CONNECT>(address->handlers[TDI_EVENT_CONNECT]);
  PVOID context = address->contexts[TDI_EVENT_CONNECT];
  if (handler == nullptr) return;
  ++address->inFlight;
  lock.unlock();
  parkWhileHeld();

  std::vector<uint8_t> ta = IpAddress(remote, port);
  CONNECTION_CONTEXT connectionContext = nullptr;
  PIRP accept = nullptr;
  NTSTATUS status =
      handler(context, LONG(ta.size()), ta.data(), 0, nullptr, 0, nullptr, &connectionContext, &accept);
  PIO_STACK_LOCATION request = status == STATUS_MORE_PROCESSING_REQUIRED && accept != nullptr
                                   ? HandedBack(accept, TDI_ACCEPT)
                                   : nullptr;
  if (request != nullptr) {
    lock.lock();
    if (Endpoint* e = endpointOf(request->FileObject)) {
      e->connected = true;
      e->remoteAddress = remote;
      e->remotePort = port;
    }
    lock.unlock();
    Complete(accept, STATUS_SUCCESS);
  }
  lock.lock();
  --address->inFlight;
  changed_.notify_all();
}
