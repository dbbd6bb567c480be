// The shipped dist/vesk.sys under Wine, attached over the TDI test transport
// (vesk_test_tdi.sys) in one winedevice.exe: a client program opens,
// associates, connects, sends and receives through the real filter, and this
// program, a second one, reads what \\.\vesk reports about it.
//
// The client is this program started again with --client: it runs the
// transport ops it reads from its standard input, each inside its own
// request, so the driver sees its process. The network side (arrivals,
// connect completions) is played from this process.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shared/activity_protocol.h"
#include "driver_service.h"
#include "tests/win32/host_path.h"
#include "transport_client.h"

namespace {

using testtdi::Op;
using testtdi::Reply;

constexpr ULONG Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return ULONG(a) | ULONG(b) << 8 | ULONG(c) << 16 | ULONG(d) << 24;
}
constexpr uint32_t Port(uint16_t hostOrder) { return uint16_t(hostOrder << 8 | hostOrder >> 8); }
constexpr LONG kStatusPending = 0x103;

Op MakeOp(uint32_t code, uint32_t handle = 0, uint32_t handle2 = 0, uint32_t ip = 0, uint32_t port = 0,
          uint32_t bytes = 0, uint32_t protocol = 0, uint32_t context = 0) {
  return Op{code, handle, handle2, ip, port, bytes, protocol, context};
}
constexpr LONG kAddressAlreadyExists = LONG(0xC000020A);

HANDLE OpenDevice(const wchar_t* path) {
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

Reply RunOp(HANDLE transport, const Op& op, const std::vector<uint8_t>& extra = {}) {
  return testtdi::SendOp(transport, op, extra.data(), DWORD(extra.size()));
}

// --- The client process ------------------------------------------------------------

int ClientMain() {
  HANDLE transport = OpenDevice(L"\\\\.\\VeskTestTdi");
  if (transport == INVALID_HANDLE_VALUE) return 2;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE);
  for (;;) {
    Op op;
    DWORD got = 0;
    if (!ReadFile(in, &op, sizeof op, &got, nullptr) || got != sizeof op) break;
    Reply reply = RunOp(transport, op);
    DWORD written;
    if (!WriteFile(out, &reply, sizeof reply, &written, nullptr)) break;
  }
  CloseHandle(transport);
  return 0;
}

// This program again, as the client, with a pipe each way. A `guarded` client
// runs with a process security descriptor whose DACL grants nobody anything,
// so that no other process can open it (its creator keeps the handle
// CreateProcess gave it).
class Client {
 public:
  explicit Client(bool guarded = false) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE childIn, childOut;
    CreatePipe(&childIn, &toChild_, &inherit, 0);
    CreatePipe(&fromChild_, &childOut, &inherit, 0);
    SetHandleInformation(toChild_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(fromChild_, HANDLE_FLAG_INHERIT, 0);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    path_ = self;
    std::wstring commandLine = L"\"" + path_ + L"\" --client";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    SECURITY_DESCRIPTOR descriptor;
    ACL nobody;
    SECURITY_ATTRIBUTES security = {sizeof security, &descriptor, FALSE};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    InitializeAcl(&nobody, sizeof nobody, ACL_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, &nobody, FALSE);
    started_ = CreateProcessW(nullptr, &commandLine[0], guarded ? &security : nullptr, nullptr, TRUE, 0,
                              nullptr, nullptr, &startup, &process) != 0;
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (started_) {
      CloseHandle(process.hThread);
      process_ = process.hProcess;
      id_ = process.dwProcessId;
    }
  }
  ~Client() {
    CloseHandle(toChild_);
    if (process_) {
      WaitForSingleObject(process_, 10000);
      CloseHandle(process_);
    }
    CloseHandle(fromChild_);
  }

  bool started() const { return started_; }
  DWORD id() const { return id_; }
  const std::wstring& path() const { return path_; }

  Reply run(const Op& op) {
    Reply reply = {};
    reply.status = -1;
    DWORD n;
    if (WriteFile(toChild_, &op, sizeof op, &n, nullptr))
      ReadFile(fromChild_, &reply, sizeof reply, &n, nullptr);
    return reply;
  }
  // Opens a transport object and gives it its kind; 0 when that failed.
  uint32_t open(bool tcp) {
    Op op = MakeOp(testtdi::kOpen);
    op.protocol = tcp ? 6 : 17;
    Reply r = run(op);
    EXPECT_EQ(r.status, 0) << "open";
    return r.status == 0 ? r.value : 0;
  }
  uint32_t address(bool tcp, uint32_t ip, uint32_t port) {
    uint32_t h = open(tcp);
    Op op = MakeOp(testtdi::kCreateAddress, h);
    op.address = ip;
    op.port = port;
    EXPECT_EQ(run(op).status, 0) << "address create";
    return h;
  }
  uint32_t connection(uint32_t context) {
    uint32_t h = open(true);
    Op op = MakeOp(testtdi::kCreateConnection, h);
    op.context = context;
    EXPECT_EQ(run(op).status, 0) << "connection create";
    return h;
  }
  Reply call(uint32_t code, uint32_t handle, uint32_t bytes = 0, uint32_t handle2 = 0, uint32_t ip = 0,
             uint32_t port = 0, uint32_t context = 0) {
    Op op = MakeOp(code, handle, handle2, ip, port, bytes, 0, context);
    return run(op);
  }

 private:
  HANDLE toChild_ = nullptr, fromChild_ = nullptr, process_ = nullptr;
  DWORD id_ = 0;
  bool started_ = false;
  std::wstring path_;
};

// --- Loading --------------------------------------------------------------------

class StackTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    gTransportStart = StartDriver(manager, L"vesk_test_tdi", HostPath("VESK_TEST_TDI"));
    gDriverStart = gTransportStart ? gTransportStart : StartDriver(manager, L"vesk", HostPath("VESK_DRIVER"));
    CloseServiceHandle(manager);
  }
  void SetUp() override {
    ASSERT_EQ(gTransportStart, 0u) << "the test transport did not start";
    ASSERT_EQ(gDriverStart, 0u) << "vesk.sys did not start";
    vesk_ = OpenDevice(L"\\\\.\\vesk");
    ASSERT_NE(vesk_, INVALID_HANDLE_VALUE);
    network_ = OpenDevice(L"\\\\.\\VeskTestTdi");
    ASSERT_NE(network_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (vesk_ != INVALID_HANDLE_VALUE) CloseHandle(vesk_);
    if (network_ != INVALID_HANDLE_VALUE) CloseHandle(network_);
  }

  // The records \\.\vesk reports for one process.
  std::vector<ActivityRecord> activityOf(DWORD process) {
    std::vector<uint8_t> out(45056);
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(vesk_, IOCTL_QUERY_ACTIVITY, nullptr, 0, out.data(), DWORD(out.size()),
                                &returned, nullptr));
    std::vector<ActivityRecord> records;
    for (DWORD at = 0; at + sizeof(ActivityRecord) <= returned; at += sizeof(ActivityRecord)) {
      ActivityRecord r;
      std::memcpy(&r, out.data() + at, sizeof r);
      if (r.processId == process) records.push_back(r);
    }
    return records;
  }
  Reply network(uint32_t code, uint32_t handle, uint32_t bytes = 0, uint32_t ip = 0, uint32_t port = 0) {
    Op op = MakeOp(code, handle, 0, ip, port, bytes);
    return RunOp(network_, op);
  }
  // A pending request of the client, once it is done.
  Reply finished(Client& client, uint32_t slot) {
    Reply r = {};
    for (int i = 0; i < 100; ++i) {
      r = client.call(testtdi::kResult, slot);
      if (r.value == 1) break;
      Sleep(10);
    }
    EXPECT_EQ(r.value, 1u) << "the request completed";
    return r;
  }

  static DWORD gTransportStart, gDriverStart;
  HANDLE vesk_ = INVALID_HANDLE_VALUE;
  HANDLE network_ = INVALID_HANDLE_VALUE;
};

DWORD StackTest::gTransportStart = 1;
DWORD StackTest::gDriverStart = 1;

// The records, owners, ends, states and byte counts of a client's TCP and
// UDP traffic through requests, event handlers and direct send routines,
// read by a second program; the image name of the client; and nothing left
// once the client has closed everything.
TEST_F(StackTest, TrafficOfAClientIsReportedExactlyAndLeavesNothingBehind) {
  using namespace testtdi;
  Client client;
  ASSERT_TRUE(client.started());

  // An outgoing TCP connection on a port the transport chooses.
  uint32_t a = client.address(true, 0, 0);
  uint32_t c = client.connection(0x77);
  ASSERT_EQ(client.call(kAssociate, c, 0, a).status, 0);
  Reply connect = client.call(kConnect, c, 0, 0, Ip(192, 0, 2, 1), Port(80));
  ASSERT_EQ(connect.status, kStatusPending);
  ASSERT_EQ(network(kCompleteConnects, 0).status, 0);
  EXPECT_EQ(finished(client, connect.value).status, 0);
  EXPECT_EQ(client.call(kSend, c, 1000).information, 1000u);
  ASSERT_EQ(client.call(kSetEventHandler, a, 3 /* TDI_EVENT_RECEIVE */).status, 0);
  EXPECT_EQ(network(kArriveData, c, 300).status, 0);
  Reply receive = client.call(kReceive, c, 4096);
  ASSERT_EQ(receive.status, kStatusPending);
  EXPECT_EQ(network(kArriveData, c, 700).status, 0);
  EXPECT_EQ(finished(client, receive.value).information, 700u);
  EXPECT_EQ(client.call(kDirectSend, c, 50).information, 50u);

  // UDP: a datagram sent, one received through the datagram event and one by
  // a request (which the transport serves first), one sent through the
  // direct datagram routine; the port taken twice.
  uint32_t u = client.address(false, 0, Port(53));
  uint32_t taken = client.open(false);
  Op again = MakeOp(kCreateAddress, taken);
  again.port = Port(53);
  EXPECT_EQ(client.run(again).status, kAddressAlreadyExists);
  EXPECT_EQ(client.call(kSendDatagram, u, 200, 0, Ip(10, 0, 0, 9), Port(53)).information, 200u);
  ASSERT_EQ(client.call(kSetEventHandler, u, 4 /* TDI_EVENT_RECEIVE_DATAGRAM */).status, 0);
  EXPECT_EQ(network(kArriveDatagram, u, 120, Ip(10, 0, 0, 9), Port(53)).status, 0);
  Reply datagram = client.call(kReceiveDatagram, u, 64);
  ASSERT_EQ(datagram.status, kStatusPending);
  EXPECT_EQ(network(kArriveDatagram, u, 64, Ip(10, 0, 0, 9), Port(53)).status, 0);
  EXPECT_EQ(finished(client, datagram.value).information, 64u);
  EXPECT_EQ(client.call(kDirectSend, u, 10, 0, 1).information, 10u);

  // A listener: one connection accepted through the connect event, one
  // waiting in a listen.
  uint32_t l = client.address(true, 0, Port(8080));
  uint32_t k = client.connection(0x88);
  uint32_t m = client.connection(0x99);
  ASSERT_EQ(client.call(kAssociate, k, 0, l).status, 0);
  ASSERT_EQ(client.call(kAssociate, m, 0, l).status, 0);
  ASSERT_EQ(client.call(kSetEventHandler, l, 0 /* TDI_EVENT_CONNECT */, k, 0, 0, 0x88).status, 0);
  EXPECT_EQ(network(kArriveConnect, l, 0, Ip(203, 0, 113, 5), Port(50000)).status, 0);
  Reply listen = client.call(kListen, m);
  ASSERT_EQ(listen.status, kStatusPending);
  // The accepted connection receives through the chained receive event.
  ASSERT_EQ(client.call(kSetEventHandler, l, 7 /* TDI_EVENT_CHAINED_RECEIVE */).status, 0);
  EXPECT_EQ(network(kArriveData, k, 256).status, 0);
  EXPECT_EQ(client.call(kSend, k, 64).information, 64u);

  std::vector<ActivityRecord> records = activityOf(client.id());
  ASSERT_EQ(records.size(), 4u) << "two connected, one listening, one UDP address; no TCP address by itself";
  int seen = 0;
  for (const ActivityRecord& r : records) {
    uint64_t sent = r.bytesSent, received = r.bytesReceived;
    if (r.protocol == 17) {
      ++seen;
      EXPECT_EQ(r.localPort, Port(53));
      EXPECT_EQ(sent, 210u);
      EXPECT_EQ(received, 184u);
    } else if (r.remotePort == Port(80)) {
      ++seen;
      EXPECT_EQ(r.protocol, 6u);
      EXPECT_EQ(r.state, uint32_t(Connected));
      EXPECT_EQ(r.remoteAddress, Ip(192, 0, 2, 1));
      EXPECT_NE(r.localPort, 0u) << "the chosen port, learned from the transport";
      EXPECT_EQ(sent, 1050u);
      EXPECT_EQ(received, 1000u);
    } else if (r.state == Connected) {
      ++seen;
      EXPECT_EQ(r.localPort, Port(8080));
      EXPECT_EQ(r.remoteAddress, Ip(203, 0, 113, 5));
      EXPECT_EQ(r.remotePort, Port(50000));
      EXPECT_EQ(sent, 64u);
      EXPECT_EQ(received, 256u);
    } else {
      ++seen;
      EXPECT_EQ(r.state, uint32_t(Listening));
      EXPECT_EQ(r.localPort, Port(8080));
    }
  }
  EXPECT_EQ(seen, 4);

  // The client's image path, in the system's form; a short buffer is refused.
  DWORD id = client.id();
  std::vector<wchar_t> name(260);
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(vesk_, IOCTL_QUERY_IMAGE_NAME, &id, sizeof id, name.data(),
                              DWORD(name.size() * sizeof(wchar_t)), &returned, nullptr));
  std::wstring path(name.data(), returned / sizeof(wchar_t));
  while (!path.empty() && path.back() == L'\0') path.pop_back();
  std::wstring expected = client.path();
  ASSERT_GE(path.size(), expected.size() - 2) << "reply: " << std::string(path.begin(), path.end());
  EXPECT_EQ(_wcsicmp(path.c_str() + path.size() - (expected.size() - 2), expected.c_str() + 2), 0)
      << "reply: " << std::string(path.begin(), path.end());
  EXPECT_FALSE(
      DeviceIoControl(vesk_, IOCTL_QUERY_IMAGE_NAME, &id, sizeof id, name.data(), 8, &returned, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));

  for (uint32_t h : {m, k, l, taken, u, c, a}) EXPECT_EQ(client.call(kClose, h).status, 0);
  EXPECT_EQ(finished(client, listen.value).status, LONG(0xC0000120)) << "the close cancelled the listen";
  // Closes reach the drivers once the request that made them has returned.
  for (int i = 0; i < 100 && !activityOf(client.id()).empty(); ++i) Sleep(10);
  EXPECT_TRUE(activityOf(client.id()).empty()) << "closing everything leaves no record";
}

// A client that takes part of an indication and hands back a receive request
// for the rest, made current as Windows' own TDI clients make it: what it took
// and what the request asks for both count, for TCP data and a UDP datagram.
TEST_F(StackTest, ReceiveRequestsHandedBackFromEventsCountInFull) {
  using namespace testtdi;
  Client client;
  ASSERT_TRUE(client.started());
  uint32_t a = client.address(true, 0, 0);
  uint32_t c = client.connection(0x66);
  ASSERT_EQ(client.call(kAssociate, c, 0, a).status, 0);
  Reply connect = client.call(kConnect, c, 0, 0, Ip(192, 0, 2, 9), Port(80));
  ASSERT_EQ(connect.status, kStatusPending);
  ASSERT_EQ(network(kCompleteConnects, 0).status, 0);
  EXPECT_EQ(finished(client, connect.value).status, 0);
  ASSERT_EQ(client.call(kSetEventHandler, a, 3 /* TDI_EVENT_RECEIVE */, 0, 0, 0, 100).status, 0);
  EXPECT_EQ(network(kArriveData, c, 4096).status, 0);
  uint32_t u = client.address(false, 0, Port(5000));
  ASSERT_EQ(client.call(kSetEventHandler, u, 4 /* TDI_EVENT_RECEIVE_DATAGRAM */, 0, 0, 0, 100).status, 0);
  EXPECT_EQ(network(kArriveDatagram, u, 1400, Ip(10, 0, 0, 9), Port(53)).status, 0);

  std::vector<ActivityRecord> records = activityOf(client.id());
  ASSERT_EQ(records.size(), 2u);
  for (const ActivityRecord& r : records) {
    uint64_t received = r.bytesReceived;
    EXPECT_EQ(received, r.protocol == 6 ? 4096u : 1400u) << "protocol " << r.protocol;
  }
  for (uint32_t h : {u, c, a}) EXPECT_EQ(client.call(kClose, h).status, 0);
  for (int i = 0; i < 100 && !activityOf(client.id()).empty(); ++i) Sleep(10);
  EXPECT_TRUE(activityOf(client.id()).empty());
}

// The image path of a second client whose process this program cannot open
// (a second user is not possible under Wine; the client's own security
// descriptor grants nobody anything) is refused as OpenProcess refuses it,
// while the first client's still comes. Under Wine the refusal is Wine's own
// process security (Wine's PsLookupProcessByProcessId opens the process
// itself and reports STATUS_INVALID_PARAMETER); on Windows it is the access
// check of the driver's user-mode open, STATUS_ACCESS_DENIED.
TEST_F(StackTest, ImagePathOfAProcessTheCallerCannotOpenIsRefused) {
  Client open, guarded(true);
  ASSERT_TRUE(open.started());
  ASSERT_TRUE(guarded.started());
  SetLastError(0);
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, guarded.id());
  EXPECT_EQ(process, nullptr) << "the guarded client can be opened";
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  if (process) CloseHandle(process);

  std::vector<wchar_t> name(260);
  DWORD returned = 0, id = guarded.id();
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(vesk_, IOCTL_QUERY_IMAGE_NAME, &id, sizeof id, name.data(),
                               DWORD(name.size() * sizeof(wchar_t)), &returned, nullptr));
  DWORD error = GetLastError();
  EXPECT_TRUE(error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_PARAMETER) << error;
  EXPECT_EQ(returned, 0u);
  id = open.id();
  EXPECT_TRUE(DeviceIoControl(vesk_, IOCTL_QUERY_IMAGE_NAME, &id, sizeof id, name.data(),
                              DWORD(name.size() * sizeof(wchar_t)), &returned, nullptr));
  EXPECT_GT(returned, 0u);
}

// \\.\Tcp answers IOCTL_TCP_QUERY_INFORMATION_EX (METHOD_NEITHER) through the
// filter with the TCP and UDP tables set for it.
TEST_F(StackTest, TcpDeviceAnswersTheTableQueriesThroughTheFilter) {
  std::vector<uint8_t> tcpRows(48), udpRows(12);
  for (size_t i = 0; i < tcpRows.size(); ++i) tcpRows[i] = uint8_t(i + 1);
  for (size_t i = 0; i < udpRows.size(); ++i) udpRows[i] = uint8_t(0x80 + i);
  Op set = MakeOp(testtdi::kSetTable);
  set.protocol = 6;
  ASSERT_EQ(RunOp(network_, set, tcpRows).status, 0);
  set.protocol = 17;
  ASSERT_EQ(RunOp(network_, set, udpRows).status, 0);

  HANDLE tcp = OpenDevice(L"\\\\.\\Tcp");
  ASSERT_NE(tcp, INVALID_HANDLE_VALUE);
  uint32_t request[9] = {0x400, 0, 0x200, 0x100, 0x102};
  std::vector<uint8_t> out(0x6000);
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(tcp, 0x00120003, request, sizeof request, out.data(), DWORD(out.size()),
                              &returned, nullptr));
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + returned), tcpRows);
  request[0] = 0x401;
  ASSERT_TRUE(
      DeviceIoControl(tcp, 0x00120003, request, sizeof request, out.data(), 0xC00, &returned, nullptr));
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + returned), udpRows);
  CloseHandle(tcp);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--client") == 0) return ClientMain();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
