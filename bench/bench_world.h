// The driver loaded over the host transport, one connected TCP connection:
// one world for every benchmark of the run.
#pragma once

#include "activity_driver.h"
#include "kernel_control.h"
#include "socket_client.h"
#include "tdi_transport.h"

struct BenchWorld {
  static constexpr ULONG kProcess = 3000;

  BenchWorld() {
    hostkernel::addProcess(kProcess, u"\\bench.exe");
    transport = new TdiTransport();
    driver = hostkernel::createDriverObject();
    DriverEntry(driver, nullptr);
    address = client.openAddress(true, 0, 0);
    connection = client.openConnection(reinterpret_cast<CONNECTION_CONTEXT>(0x77));
    client.associate(connection, address);
    client.connect(connection, Ip(192, 0, 2, 1), Port(80));
    control = hostkernel::openFile(u"\\DosDevices\\Vesk").file;
  }

  static BenchWorld& get() {
    static BenchWorld* world = new BenchWorld;
    return *world;
  }

  TdiTransport* transport;
  PDRIVER_OBJECT driver;
  SocketClient client{kProcess};
  PFILE_OBJECT address;
  PFILE_OBJECT connection;
  PFILE_OBJECT control;
};
