// The demo's hand on the Win32 tier's TDI test transport (vesk_test_tdi.sys)
// through its control device \\.\VeskTestTdi: the ops of transport_control.h,
// one request each; and what the demo's driver and its traffic program
// (demo_net) share.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "transport_client.h"

namespace demo {

// An IPv4 address and a port as the transport and the driver keep them:
// network byte order.
constexpr uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return uint32_t(a) | uint32_t(b) << 8 | uint32_t(c) << 16 | uint32_t(d) << 24;
}
constexpr uint32_t Port(uint16_t hostOrder) { return uint16_t(hostOrder << 8 | hostOrder >> 8); }

// Set by demo_net once its endpoints are up; set by the driver to end it.
constexpr wchar_t kTrafficReady[] = L"VeskDemoTraffic.Ready";
constexpr wchar_t kTrafficStop[] = L"VeskDemoTraffic.Stop";

// The address of the machine the demo's rows are on.
constexpr uint32_t kLocalAddress = Ip(192, 0, 2, 100);

// The remote ends of demo_net's download and upload, and how the TCP/IP
// page's Remote Address cells begin for them.
constexpr uint32_t kDownloadAddress = Ip(198, 51, 100, 7);
constexpr uint32_t kUploadAddress = Ip(203, 0, 113, 20);
constexpr wchar_t kDownloadServer[] = L"198.51.100.7:";
constexpr wchar_t kUploadServer[] = L"203.0.113.20:";

class TestNetwork {
 public:
  TestNetwork()
      : device_(CreateFileW(L"\\\\.\\VeskTestTdi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr)) {}
  ~TestNetwork() {
    if (IsOpen()) CloseHandle(device_);
  }
  TestNetwork(const TestNetwork&) = delete;
  TestNetwork& operator=(const TestNetwork&) = delete;

  bool IsOpen() const { return device_ != INVALID_HANDLE_VALUE; }

  // One op, with `extra` after it (the rows of kSetTable); a request that
  // cannot be sent answers STATUS_UNSUCCESSFUL.
  testtdi::Reply Run(const testtdi::Op& op, const void* extra = nullptr, DWORD extraBytes = 0) const {
    return testtdi::SendOp(device_, op, extra, extraBytes);
  }

  // The rows \\.\Tcp answers with: protocol 6 for the TCP table, 17 for UDP.
  bool SetTable(uint32_t protocol, const void* rows, DWORD bytes) const {
    testtdi::Op op = {};
    op.code = testtdi::kSetTable;
    op.protocol = protocol;
    return Run(op, rows, bytes).status == 0;
  }

 private:
  HANDLE device_;
};

}  // namespace demo
