// The TCP/IP page of the shipped library with the real vesk.sys over the TDI
// test transport: the substitute Task Manager's own traffic, made through
// the transport's control device in its name, as the page shows it.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver_service.h"
#include "taskmgr_host.h"
#include "transport_client.h"

namespace {

using namespace testtdi;

constexpr uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return uint32_t(a) | uint32_t(b) << 8 | uint32_t(c) << 16 | uint32_t(d) << 24;
}
constexpr uint32_t Port(uint16_t hostOrder) { return uint16_t(hostOrder << 8 | hostOrder >> 8); }
constexpr int32_t kStatusPending = 0x103;

DWORD gStart = 1;

class DriverPage : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    gStart = StartDriver(manager, L"vesk_test_tdi", HostPath("VESK_TEST_TDI"));
    if (gStart == 0) gStart = StartDriver(manager, L"vesk", HostPath("VESK_DRIVER"));
    CloseServiceHandle(manager);
  }
  void SetUp() override {
    ASSERT_EQ(gStart, 0u) << "the drivers did not start";
    network_ = CreateFileW(L"\\\\.\\VeskTestTdi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(network_, INVALID_HANDLE_VALUE);
    host.Start();
    int count = int(SendMessageW(host.Tabs(), TCM_GETITEMCOUNT, 0, 0));
    tab_ = count - 1;
    for (HWND child = GetWindow(host.Main(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
      if (GetDlgItem(child, 1001) && !GetDlgItem(child, 1009)) list_ = GetDlgItem(child, 1001);
    ASSERT_NE(list_, nullptr);
    host.ClickTab(tab_);
  }
  void TearDown() override {
    for (uint32_t handle : opened_) Run(kClose, handle);
    host.Stop();
    if (network_ != INVALID_HANDLE_VALUE) CloseHandle(network_);
  }

  Reply Run(uint32_t code, uint32_t handle = 0, uint32_t bytes = 0, uint32_t handle2 = 0, uint32_t ip = 0,
            uint32_t port = 0, uint32_t protocol = 0, uint32_t context = 0) {
    return SendOp(network_, Op{code, handle, handle2, ip, port, bytes, protocol, context});
  }
  uint32_t Open(uint32_t protocol) {
    Reply reply = Run(kOpen, 0, 0, 0, 0, 0, protocol);
    EXPECT_EQ(reply.status, 0);
    opened_.push_back(reply.value);
    return reply.value;
  }
  uint32_t Address(uint32_t protocol, uint32_t port) {
    uint32_t handle = Open(protocol);
    EXPECT_EQ(Run(kCreateAddress, handle, 0, 0, 0, port).status, 0);
    return handle;
  }
  uint32_t Connection(uint32_t context) {
    uint32_t handle = Open(6);
    EXPECT_EQ(Run(kCreateConnection, handle, 0, 0, 0, 0, 0, context).status, 0);
    return handle;
  }
  void Close(uint32_t handle) {
    EXPECT_EQ(Run(kClose, handle).status, 0);
    opened_.erase(std::find(opened_.begin(), opened_.end(), handle));
  }
  void Refresh() {
    SendMessageW(host.Main(), WM_TIMER, 1, 0);
    PumpMessages(host.Main());
  }
  // The items of this process, by their cells.
  std::vector<std::vector<std::wstring>> OwnRows() const {
    std::vector<std::vector<std::wstring>> rows;
    std::wstring self = std::to_wstring(GetCurrentProcessId());
    int count = int(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0));
    for (int item = 0; item < count; ++item) {
      std::vector<std::wstring> cells;
      for (int column = 0; column < 10; ++column) cells.push_back(ListCellText(list_, item, column));
      if (cells[1] == self) rows.push_back(cells);
    }
    return rows;
  }
  LPARAM ItemParam(int item) const {
    LVITEMW entry = {};
    entry.mask = LVIF_PARAM;
    entry.iItem = item;
    SendMessageW(list_, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&entry));
    return entry.lParam;
  }

  TaskManagerHost host;
  HANDLE network_ = INVALID_HANDLE_VALUE;
  HWND list_ = nullptr;
  int tab_ = -1;
  std::vector<uint32_t> opened_;
};

TEST_F(DriverPage, TrafficShowsAsRowsWithExactBytesSpeedsAndStatesThatKeepTheirItem) {
  EXPECT_EQ(ColumnWidths(list_, 10), HeaderFittedWidths(list_, {100, 40, 50, 120, 120, 60, 60, 70, 70, 80}));

  uint32_t address = Address(6, Port(1500));
  uint32_t connection = Connection(0x77);
  ASSERT_EQ(Run(kAssociate, connection, 0, address).status, 0);
  Reply connect = Run(kConnect, connection, 0, 0, Ip(192, 0, 2, 1), Port(80));
  ASSERT_EQ(connect.status, kStatusPending);
  Refresh();
  auto rows = OwnRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], L"taskmgr.exe");
  EXPECT_EQ(rows[0][2], L"TCP");
  EXPECT_EQ(rows[0][3], L"*:1500");
  EXPECT_EQ(rows[0][4], L"192.0.2.1:http");
  EXPECT_EQ(rows[0][5], L"0 b");
  EXPECT_EQ(rows[0][6], L"0 b");
  EXPECT_EQ(rows[0][7], L"");
  EXPECT_EQ(rows[0][9], L"Connecting");
  int count = int(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0));
  std::vector<LPARAM> before;
  for (int item = 0; item < count; ++item) before.push_back(ItemParam(item));

  ASSERT_EQ(Run(kCompleteConnects, 0).status, 0);
  EXPECT_EQ(Run(kSend, connection, 3000).information, 3000u);
  Refresh();
  rows = OwnRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][9], L"Established");
  EXPECT_EQ(rows[0][6], L"2.9 Kb");
  EXPECT_NE(rows[0][8], L"") << "a speed out from the delta";
  EXPECT_EQ(rows[0][7], L"");
  // The same row object: the connection kept its item.
  std::vector<LPARAM> after;
  for (int item = 0; item < count; ++item) after.push_back(ItemParam(item));
  std::sort(before.begin(), before.end());
  std::sort(after.begin(), after.end());
  EXPECT_EQ(before, after);
  // Nothing moved: the speed cell empties, the byte cell stays.
  Refresh();
  rows = OwnRows();
  EXPECT_EQ(rows[0][6], L"2.9 Kb");
  EXPECT_EQ(rows[0][8], L"");

  // A listener and a UDP address show as "Listening" without a remote end.
  uint32_t listener = Address(6, Port(8080));
  uint32_t waiting = Connection(0x88);
  ASSERT_EQ(Run(kAssociate, waiting, 0, listener).status, 0);
  ASSERT_EQ(Run(kListen, waiting).status, kStatusPending);
  uint32_t udp = Address(17, Port(53));
  EXPECT_EQ(Run(kSendDatagram, udp, 200, 0, Ip(192, 0, 2, 9), Port(53)).information, 200u);
  Refresh();
  rows = OwnRows();
  ASSERT_EQ(rows.size(), 3u);
  int listening = 0;
  for (const auto& row : rows) {
    if (row[3] == L"*:8080") {
      ++listening;
      EXPECT_EQ(row[2], L"TCP");
      EXPECT_EQ(row[4], L"*:*");
      EXPECT_EQ(row[9], L"Listening");
    }
    if (row[2] == L"UDP") {
      ++listening;
      EXPECT_EQ(row[3], L"*:domain");
      EXPECT_EQ(row[4], L"*:*");
      EXPECT_EQ(row[6], L"200 b");
      EXPECT_EQ(row[9], L"Listening");
    }
  }
  EXPECT_EQ(listening, 2);

  // A closed endpoint's row goes at the next refresh.
  Close(udp);
  Refresh();
  EXPECT_EQ(OwnRows().size(), 2u);
}

}  // namespace
