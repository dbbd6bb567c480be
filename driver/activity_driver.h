// The driver's one instance: the object table and the three devices that
// reach it (the control device and the filters over TCP and UDP).
#pragma once

#include "control_device.h"
#include "filter_device.h"
#include "object_table.h"
#include "pool.h"

namespace vesk {

class ActivityDriver : public NonPagedObject {
 public:
  ActivityDriver() : control_(table_), tcp_(table_), udp_(table_) {}

  // Creates the control device and its link, then attaches the TCP and UDP
  // filters. On failure every step already done is undone in reverse order
  // and the failing status is returned.
  NTSTATUS start(PDRIVER_OBJECT driver);
  // Detaches and deletes the filters, deletes the link and the control device,
  // clears the table and frees the instance. Safe only while no request holds
  // a completion routine of the driver and no hooked handler is installed.
  static void destroy(ActivityDriver* instance);
  // Starts the filters' interception, once the instance is reachable.
  void startIntercepting() {
    tcp_.startIntercepting();
    udp_.startIntercepting();
  }

  ObjectTable& table() { return table_; }
  ControlDevice& control() { return control_; }
  TcpFilter& tcp() { return tcp_; }
  UdpFilter& udp() { return udp_; }

 private:
  ObjectTable table_;
  ControlDevice control_;
  TcpFilter tcp_;
  UdpFilter udp_;
};

// Set by DriverEntry; null when the driver loaded without memory for it.
extern ActivityDriver* gActivityDriver;

// The table, for the transport's callbacks (completion routines, hooks, work
// items): they run only once interception has started, so the instance exists.
inline ObjectTable& ActiveTable() { return gActivityDriver->table(); }

}  // namespace vesk

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
