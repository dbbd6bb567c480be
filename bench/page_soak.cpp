// Task Manager stays open for days: each added page of the shipped library,
// in the substitute Task Manager under Wine, refreshed 10,000 times while
// its rows come and go (test services started and stopped, extra services
// created and deleted; endpoints of this program opened and closed through
// the TDI test transport under the real vesk.sys). Prints the process's
// handle count, GDI and USER objects and private bytes over the first and
// the last 1,000 refreshes. The goal is flat figures; the program runs as
// Task Manager through the substitute's harness, whose runner is GoogleTest,
// and a case fails only when its page cannot be driven.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>
#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "taskmgr_host.h"
#include "test_services.h"
#include "transport/driver_service.h"
#include "transport/transport_client.h"

namespace {

namespace ts = test_services;
using namespace testtdi;

constexpr int kRefreshes = 10000;
constexpr int kWindow = 1000;
constexpr int kSampleEvery = 10;

// Wine's GetGuiResources is a stub (0, ERROR_CALL_NOT_IMPLEMENTED). There the
// GDI objects are counted in the process's GDI handle table, which Wine keeps
// where Windows does (the PEB's GdiSharedHandleTable, 24-byte entries with
// the object type at offset 14) once a probe has shown that the count moves
// by exactly the objects made; the USER count is then the process's windows.
struct WineGdiTable {
  const BYTE* entries = nullptr;
  static constexpr size_t kEntries = 0x10000;
  static constexpr size_t kEntrySize = 24;
  DWORD Count() const {
    DWORD count = 0;
    for (size_t i = 0; i < kEntries; ++i)
      if (entries[i * kEntrySize + 14] != 0) ++count;
    return count;
  }
  static WineGdiTable Find() {
    WineGdiTable table;
    PROCESS_BASIC_INFORMATION basic = {};
    if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic,
                                  nullptr) != 0)
      return table;
    table.entries =
        *reinterpret_cast<const BYTE* const*>(reinterpret_cast<const BYTE*>(basic.PebBaseAddress) + 0x94);
    if (!table.entries) return table;
    DWORD before = table.Count();
    std::vector<HRGN> probes;
    for (int i = 0; i < 50; ++i) probes.push_back(CreateRectRgn(0, 0, i, i));
    DWORD during = table.Count();
    for (HRGN probe : probes) DeleteObject(probe);
    if (during != before + 50 || table.Count() != before) table.entries = nullptr;
    return table;
  }
};

BOOL CALLBACK CountOwnWindow(HWND window, LPARAM context) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId()) return TRUE;
  auto* count = reinterpret_cast<DWORD*>(context);
  ++*count;
  EnumChildWindows(window, &CountOwnWindow, context);
  return TRUE;
}

// Wine's GetProcessHandleCount answers 0: there the handles are counted in
// the system's handle list (NtQuerySystemInformation, class 16), which Wine
// gives from its server as Windows does. 0 when neither answers.
DWORD HandleCount() {
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles != 0) return handles;
  struct Entry {
    ULONG process;
    UCHAR type, flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
  };
  constexpr auto kSystemHandleInformation = SYSTEM_INFORMATION_CLASS(16);
  std::vector<BYTE> buffer(1 << 16);
  for (;;) {
    ULONG needed = 0;
    NTSTATUS status = NtQuerySystemInformation(kSystemHandleInformation, buffer.data(), ULONG(buffer.size()),
                                               &needed);
    if (status == NTSTATUS(0xC0000004L) && buffer.size() < (64u << 20)) {  // STATUS_INFO_LENGTH_MISMATCH
      buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
      continue;
    }
    if (status != 0) return 0;
    break;
  }
  ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
  size_t room = (buffer.size() - sizeof(ULONG)) / sizeof(Entry);
  const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG));
  for (size_t i = 0; i < std::min<size_t>(count, room); ++i)
    if (entries[i].process == GetCurrentProcessId()) ++handles;
  return handles;
}

// Wine's PrivateUsage is 0: there the committed private memory is summed
// over the process's own address space, which is what Windows counts.
double PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                           sizeof memory) &&
      memory.PrivateUsage != 0)
    return double(memory.PrivateUsage);
  double total = 0;
  MEMORY_BASIC_INFORMATION region;
  for (const BYTE* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;
       at = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += double(region.RegionSize);
    if (region.RegionSize == 0) break;
  }
  return total;
}

struct Counts {
  double handles, gdi, user, privateBytes;
};

class Meter {
 public:
  Meter() {
    SetLastError(0);
    guiResources_ = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS) != 0 ||
                    GetLastError() != ERROR_CALL_NOT_IMPLEMENTED;
    if (!guiResources_) wineGdi_ = WineGdiTable::Find();
  }
  Counts Now() const {
    Counts counts = {};
    counts.handles = HandleCount();
    if (guiResources_) {
      counts.gdi = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
      counts.user = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    } else {
      counts.gdi = wineGdi_.entries ? wineGdi_.Count() : -1;
      DWORD windows = 0;
      EnumWindows(&CountOwnWindow, reinterpret_cast<LPARAM>(&windows));
      counts.user = windows;
    }
    counts.privateBytes = PrivateBytes();
    return counts;
  }
  const char* GdiName() const { return guiResources_ ? "GDI objects" : "GDI objects (Wine's table)"; }
  const char* UserName() const { return guiResources_ ? "USER objects" : "windows (Wine: no USER count)"; }

 private:
  bool guiResources_ = true;
  WineGdiTable wineGdi_;
};

// The samples of the first and the last 1,000 refreshes.
class Soak {
 public:
  explicit Soak(const char* page) : page_(page), start_(GetTickCount()) {}
  void Sample(int refresh) {
    // A soak runs for hours on a slow machine: a line every 1,000 refreshes.
    if ((refresh + 1) % kWindow == 0) {
      Counts now = meter_.Now();
      std::fprintf(stderr, "%s: %d refreshes in %lu s (handles %.0f, GDI %.0f, USER %.0f, private %.0f KB)\n",
                   page_, refresh + 1, (GetTickCount() - start_) / 1000, now.handles, now.gdi, now.user,
                   now.privateBytes / 1024);
    }
    if (refresh % kSampleEvery != 0) return;
    if (refresh < kWindow) first_.push_back(meter_.Now());
    if (refresh >= kRefreshes - kWindow) last_.push_back(meter_.Now());
  }
  void Report(const std::string& churn) const {
    std::printf(
        "%s page under Wine, %d refreshes (%s); per figure: first %d refreshes, last %d (min-max), "
        "growth of the mean (goal: flat):\n",
        page_, kRefreshes, churn.c_str(), kWindow, kWindow);
    Line("handles", &Counts::handles, 1);
    Line(meter_.GdiName(), &Counts::gdi, 1);
    Line(meter_.UserName(), &Counts::user, 1);
    Line("private bytes (KB)", &Counts::privateBytes, 1024);
  }

 private:
  void Line(const char* what, double Counts::*field, double unit) const {
    auto range = [&](const std::vector<Counts>& samples, double& low, double& high, double& mean) {
      low = high = samples.front().*field / unit;
      mean = 0;
      for (const Counts& sample : samples) {
        double value = sample.*field / unit;
        low = std::min(low, value);
        high = std::max(high, value);
        mean += value / double(samples.size());
      }
    };
    double firstLow, firstHigh, firstMean, lastLow, lastHigh, lastMean;
    range(first_, firstLow, firstHigh, firstMean);
    range(last_, lastLow, lastHigh, lastMean);
    std::printf("  %-32s %10.0f-%-10.0f %10.0f-%-10.0f %+10.1f\n", what, firstLow, firstHigh, lastLow,
                lastHigh, lastMean - firstMean);
  }

  const char* page_;
  DWORD start_;
  Meter meter_;
  std::vector<Counts> first_, last_;
};

void Tick(TaskManagerHost& host) {
  SendMessageW(host.Main(), WM_TIMER, 1, 0);
  PumpMessages(host.Main());
}

// An added page's list, by its first column's header.
HWND PageList(TaskManagerHost& host, const wchar_t* header) {
  for (HWND child = GetWindow(host.Main(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    HWND list = GetDlgItem(child, 1001);
    if (!list || GetDlgItem(child, 1009)) continue;
    if (ListColumnTitle(list, 0) == header) return list;
  }
  return nullptr;
}

// The Services page: every 50 refreshes the slow test service is started
// when stopped and stopped when running (it passes through its pending
// states meanwhile), and every 250 an extra service is created or deleted.
TEST(PageSoak, Services) {
  ts::Reset();
  ts::Configure(ts::kSlow, 400);
  const wchar_t* extra = L"VeskSoakExtra";
  ts::Delete(extra);
  TaskManagerHost host;
  host.Start();
  host.ClickTab(OwnTabCount());
  HWND list = PageList(host, L"Service Name");
  ASSERT_TRUE(list != nullptr);
  Soak soak("Services");
  int toggles = 0, extras = 0;
  bool extraThere = false;
  for (int refresh = 0; refresh < kRefreshes; ++refresh) {
    if (refresh % 50 == 25) {
      DWORD state = ts::Status(ts::kSlow).dwCurrentState;
      if (state == SERVICE_STOPPED && ts::Start(ts::kSlow)) ++toggles;
      if (state == SERVICE_RUNNING && ts::Control(ts::kSlow, SERVICE_CONTROL_STOP)) ++toggles;
    }
    if (refresh % 250 == 125) {
      if (extraThere) {
        ts::Delete(extra);
      } else {
        ts::CreateExtra(extra, L"Vesk Soak Extra");
      }
      extraThere = !extraThere;
      ++extras;
    }
    Tick(host);
    soak.Sample(refresh);
  }
  EXPECT_GT(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 0);
  host.Stop();
  ts::Delete(extra);
  ts::Reset();
  soak.Report(std::to_string(toggles) + " starts and stops, " + std::to_string(extras) +
              " services created or deleted");
}

// The TCP/IP page with the driver: 40 endpoints of this program at a time,
// UDP addresses and connected TCP connections by turns; every 5 refreshes
// the oldest is closed, a new one opened and the counters of the newest
// four move.
TEST(PageSoak, Connections) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_TRUE(manager != nullptr);
  DWORD started = StartDriver(manager, L"vesk_test_tdi", HostPath("VESK_TEST_TDI"));
  if (started == 0) started = StartDriver(manager, L"vesk", HostPath("VESK_DRIVER"));
  CloseServiceHandle(manager);
  ASSERT_EQ(started, 0u) << "the drivers did not start";
  HANDLE network =
      CreateFileW(L"\\\\.\\VeskTestTdi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(network, INVALID_HANDLE_VALUE);
  auto run = [&](uint32_t code, uint32_t handle = 0, uint32_t bytes = 0, uint32_t handle2 = 0,
                 uint32_t ip = 0, uint32_t port = 0, uint32_t protocol = 0) {
    return SendOp(network, Op{code, handle, handle2, ip, port, bytes, protocol, 0});
  };
  // An endpoint's objects: an address, and for TCP a connection on it.
  struct Endpoint {
    uint32_t address, connection;
  };
  std::deque<Endpoint> live;
  int opened = 0;
  auto open = [&] {
    bool tcp = opened % 2 == 1;
    uint16_t port = uint16_t(10000 + opened % 40000);
    Endpoint endpoint = {run(kOpen, 0, 0, 0, 0, 0, tcp ? 6 : 17).value, 0};
    run(kCreateAddress, endpoint.address, 0, 0, 0, uint16_t(port << 8 | port >> 8));
    if (tcp) {
      endpoint.connection = run(kOpen, 0, 0, 0, 0, 0, 6).value;
      run(kCreateConnection, endpoint.connection);
      run(kAssociate, endpoint.connection, 0, endpoint.address);
      run(kConnect, endpoint.connection, 0, 0, 0x010200C0, 0x5000);  // 192.0.2.1:80
      run(kCompleteConnects);
    }
    live.push_back(endpoint);
    ++opened;
  };
  auto close = [&] {
    if (live.front().connection) run(kClose, live.front().connection);
    run(kClose, live.front().address);
    live.pop_front();
  };
  for (int i = 0; i < 40; ++i) open();

  TaskManagerHost host;
  host.Start();
  host.ClickTab(int(SendMessageW(host.Tabs(), TCM_GETITEMCOUNT, 0, 0)) - 1);
  HWND list = PageList(host, L"Process");
  ASSERT_TRUE(list != nullptr);
  Soak soak("TCP/IP");
  for (int refresh = 0; refresh < kRefreshes; ++refresh) {
    if (refresh % 5 == 0) {
      close();
      open();
      for (auto endpoint = live.rbegin(); endpoint != live.rbegin() + 4; ++endpoint) {
        if (endpoint->connection) {
          run(kSend, endpoint->connection, 700);
        } else {
          run(kSendDatagram, endpoint->address, 300, 0, 0x010200C0, 0x3500);
        }
      }
    }
    Tick(host);
    soak.Sample(refresh);
  }
  EXPECT_GE(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 40);
  host.Stop();
  while (!live.empty()) close();
  CloseHandle(network);
  soak.Report(std::to_string(opened) + " endpoints opened, all but 40 of them closed again");
}

}  // namespace
