// The control protocol of the Win32 tier's TDI test transport (the driver
// vesk_test_tdi.sys): a test program asks it, through \\.\VeskTestTdi, to act
// as a TDI client in the program's name (the requests are built inside the
// program's own request and sent to the top of the \Device\Tcp or \Device\Udp
// stack, so they pass through the filters above the transport) and to play
// the network. Shared by the driver and the test programs.
#pragma once

#include <stdint.h>

namespace testtdi {

// METHOD_BUFFERED, FILE_DEVICE_UNKNOWN; the input is an Op (followed by the
// table bytes for SetTable), the output a Reply.
constexpr uint32_t ControlCode(uint32_t function) { return 0x00220000u | (function << 2); }

enum OpCode : uint32_t {
  // ZwOpenFile on \Device\Tcp (protocol 6) or \Device\Udp (17): a kernel
  // handle, the object's name in every later op. Its create has run by the
  // next op.
  kOpen = 0x900,
  // An IRP_MJ_CREATE with the "TransportAddress" extended attribute (address,
  // port) or the "ConnectionContext" one (context) on the opened object.
  kCreateAddress,
  kCreateConnection,
  kAssociate,     // handle: connection, handle2: address
  kDisassociate,  // handle
  // Requests that the transport leaves pending until the network acts: the
  // reply's value names the request for kResult.
  kConnect,  // handle, address, port
  kListen,   // handle
  kReceive,  // handle, bytes: the receive length
  kReceiveDatagram,
  kResult,  // handle: a pending request; value 1 once done, then status and information
  kDisconnect,
  kSend,          // handle, bytes
  kSendDatagram,  // handle, bytes, address, port
  // Registers the client's own handler for event type `bytes` on an address;
  // a connect handler accepts on connection handle2 with `context`. A receive
  // or datagram handler takes everything it is shown, or, with a `context`,
  // that many bytes and hands back a receive request for the rest.
  kSetEventHandler,
  // The direct send routine the stack hands out (datagram when address is 1),
  // called with a send of `bytes`.
  kDirectSend,
  kClose,  // ZwClose of the handle
  // The network: connects pending are answered (status in bytes, 0 success),
  // data, a datagram or a connection attempt arrives.
  kCompleteConnects,
  kArriveData,      // handle: connection, bytes
  kArriveDatagram,  // handle: address, bytes, address, port: the sender
  kArriveConnect,   // handle: address, address, port: the remote end
  // The rows \\.\Tcp answers IOCTL_TCP_QUERY_INFORMATION_EX with: protocol 6
  // for the TCP table, 17 for the UDP table; the rows follow the Op.
  kSetTable,
  // bytes 1: \\.\Tcp refuses the tables with owners (id 0x102) as Windows
  // 2000's transport, which has none, refuses an id it does not know; 0:
  // it answers them again.
  kRefuseOwnerTables,
};

struct Op {
  uint32_t code;
  uint32_t handle;
  uint32_t handle2;
  uint32_t address;  // network order
  uint32_t port;     // network order, low 16 bits
  uint32_t bytes;
  uint32_t protocol;
  uint32_t context;
};

struct Reply {
  int32_t status;
  uint32_t value;
  uint32_t information;
};

}  // namespace testtdi
