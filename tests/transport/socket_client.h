// A TDI client in the style of the socket layer: opens address and connection
// objects with extended attributes in its own process, associates, connects,
// listens, sends and receives with internal requests through the top of the
// device stack (so through the filters), and registers event handlers.
#pragma once

#include <vector>

#include "kernel_control.h"

std::vector<uint8_t> TransportAddressEa(ULONG address, USHORT port, USHORT addressType = TDI_ADDRESS_TYPE_IP);
std::vector<uint8_t> ConnectionContextEa(CONNECTION_CONTEXT context);
// A TA_IP_ADDRESS: 22 bytes.
std::vector<uint8_t> IpAddress(ULONG address, USHORT port);
constexpr ULONG Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return ULONG(a) | ULONG(b) << 8 | ULONG(c) << 16 | ULONG(d) << 24;
}
constexpr USHORT Port(USHORT hostOrder) { return USHORT(hostOrder << 8 | hostOrder >> 8); }

class SocketClient {
 public:
  explicit SocketClient(ULONG processId) : processId_(processId) {}

  PFILE_OBJECT openAddress(bool tcp, ULONG address, USHORT port);
  PFILE_OBJECT openConnection(CONNECTION_CONTEXT context);
  // A handle to the object in the client's process.
  HANDLE handleOf(PFILE_OBJECT file);
  // IRP_MJ_CLEANUP (the client's last handle goes), then IRP_MJ_CLOSE (its
  // last reference); `close` is both.
  void cleanup(PFILE_OBJECT file);
  void finishClose(PFILE_OBJECT file);
  void close(PFILE_OBJECT file);

  NTSTATUS associate(PFILE_OBJECT connection, PFILE_OBJECT address);
  NTSTATUS disassociate(PFILE_OBJECT connection);
  NTSTATUS connect(PFILE_OBJECT connection, ULONG address, USHORT port);
  hostkernel::PendingRequest* beginListen(PFILE_OBJECT connection);
  // TDI_ACCEPT with room for one IPv4 address in its return information.
  NTSTATUS accept(PFILE_OBJECT connection);
  NTSTATUS disconnect(PFILE_OBJECT connection);
  hostkernel::Completion send(PFILE_OBJECT connection, ULONG bytes);
  hostkernel::PendingRequest* beginReceive(PFILE_OBJECT connection, ULONG bytes);
  hostkernel::Completion sendDatagram(PFILE_OBJECT address, ULONG bytes, ULONG to, USHORT port);
  hostkernel::PendingRequest* beginReceiveDatagram(PFILE_OBJECT address, ULONG bytes);
  NTSTATUS setEventHandler(PFILE_OBJECT address, LONG type, PVOID handler, PVOID context);
  hostkernel::Completion queryAddress(PFILE_OBJECT file, std::vector<uint8_t>& reply);
  // IOCTL_TDI_QUERY_DIRECT_SEND_HANDLER or ..._SENDDG_HANDLER: the routine the
  // stack below hands out. The socket layer asks from kernel mode.
  PVOID queryDirectSend(PFILE_OBJECT file, bool datagram, KPROCESSOR_MODE mode = KernelMode);
  // Calls a direct send routine the way the socket layer does: a request of
  // its own, the stack location prepared for the transport.
  NTSTATUS directSend(PVOID routine, PFILE_OBJECT file, ULONG bytes, bool datagram);

  hostkernel::Completion internal(PFILE_OBJECT file, UCHAR minor,
                                  const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup);

 private:
  ULONG processId_;
  std::vector<std::pair<PFILE_OBJECT, HANDLE>> handles_;
  std::vector<std::vector<uint8_t>> addresses_;  // kept alive for pending requests
};

// A receive request a client hands back from an event handler, built the way
// Windows' own TDI clients build it: TdiBuildReceive for the transport's
// device (parameters and a completion routine that keeps the request for the
// client, which frees it after reading the result, in the next stack
// location), then IoSetNextIrpStackLocation, so that the transport finds the
// parameters in the current location.
struct ReturnedReceive {
  PIRP irp = nullptr;
  volatile LONG done = 0;
  ULONG_PTR bytes = 0;
  static ReturnedReceive* make(PDEVICE_OBJECT transport, PFILE_OBJECT file, ULONG length, bool datagram);
  void free();
};
