// A stand-in for the TCP/IP transport's devices \Device\Tcp and \Device\Udp
// that completes every request at once with a chosen status and records what
// reached it, so tests see exactly what a filter passed down.
#pragma once

#include <mutex>
#include <vector>

#include "kernel_control.h"

class LowerTransport {
 public:
  struct Seen {
    PDEVICE_OBJECT device;
    UCHAR major;
    UCHAR minor;
    PFILE_OBJECT file;
    ULONG ioControlCode;
    PVOID systemBuffer;
    PIO_COMPLETION_ROUTINE completionRoutine;  // of the stack location it got
  };

  // Without `withUdp` only \\Device\\Tcp exists.
  explicit LowerTransport(bool withUdp = true);
  ~LowerTransport();

  PDEVICE_OBJECT tcp() const { return tcp_; }
  PDEVICE_OBJECT udp() const { return udp_; }
  std::vector<Seen> seen();
  // Forgets what it has seen (the driver's own requests while it loads).
  void forget();
  // Status and byte count of every completion from now on.
  void answer(NTSTATUS status, ULONG_PTR information = 0);

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);

  PDRIVER_OBJECT driver_;
  PDEVICE_OBJECT tcp_ = nullptr;
  PDEVICE_OBJECT udp_ = nullptr;
  std::mutex m_;
  std::vector<Seen> seen_;
  NTSTATUS status_ = STATUS_SUCCESS;
  ULONG_PTR information_ = 0;
};
