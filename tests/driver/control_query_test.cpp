// The control device's two queries, byte for byte, through its dispatch.
#include <gtest/gtest.h>

#include <cstring>

#include "driver_fixture.h"
#include "shared/activity_protocol.h"

namespace {

using vesk::AddressObject;
using vesk::ConnectionObject;
using vesk::SharedRef;

PFILE_OBJECT File(ULONG_PTR value) { return reinterpret_cast<PFILE_OBJECT>(value); }

class ControlQueryTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    hostkernel::OpenResult open = hostkernel::openFile(u"\\DosDevices\\Vesk");
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    control_ = open.file;
  }
  void TearDown() override {
    if (control_) hostkernel::closeFile(control_);
    DriverTest::TearDown();
  }

  hostkernel::Completion query(ULONG code, const std::vector<uint8_t>& input, std::vector<uint8_t>& output,
                               ULONG capacity) {
    return hostkernel::deviceIoControl(control_, code, input, output, capacity);
  }

  std::vector<ActivityRecord> activity(ULONG capacity = 45056) {
    std::vector<uint8_t> out;
    hostkernel::Completion c = query(IOCTL_QUERY_ACTIVITY, {}, out, capacity);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.information % sizeof(ActivityRecord), 0u);
    std::vector<ActivityRecord> records(out.size() / sizeof(ActivityRecord));
    if (!records.empty()) std::memcpy(records.data(), out.data(), records.size() * sizeof(ActivityRecord));
    return records;
  }

  // A TCP address object of `owner` with one connection in `state`.
  SharedRef<ConnectionObject> connection(ULONG_PTR addressFile, ULONG_PTR connectionFile, ULONG state,
                                         ULONG owner = 500) {
    hostkernel::CurrentProcess process(owner);
    if (!table().findAddress(File(addressFile))) table().addAddress(File(addressFile), 6, 0x0100007F, 0x5000);
    table().addConnection(File(connectionFile), connectionFile + 1);
    SharedRef<ConnectionObject> c = table().findConnection(File(connectionFile));
    table().associate(*c, table().findAddress(File(addressFile)));
    c->state = state;
    return c;
  }

  void udpAddress(ULONG_PTR file, ULONG owner = 600) {
    hostkernel::CurrentProcess process(owner);
    table().addAddress(File(file), 17, 0x0200000A, 0x3500);
  }

  PFILE_OBJECT control_ = nullptr;
};

TEST_F(ControlQueryTest, TcpRecordMergesAddressOwnerAndLocalEndWithTheConnection) {
  SharedRef<ConnectionObject> c = connection(0x1000, 0x2000, Connected, 321);
  c->remoteAddress = 0x08080808;
  c->remotePort = 0xBB01;
  c->bytesSent.add(3000);
  c->bytesReceived.add(0xFFFFFFFFu);
  c->bytesReceived.add(1);
  SharedRef<AddressObject> a = table().findAddress(File(0x1000));
  a->bytesSent.add(99);  // the address's own counters are not the connection's

  std::vector<uint8_t> out;
  ASSERT_EQ(query(IOCTL_QUERY_ACTIVITY, {}, out, 44).information, 44u);
  const uint8_t expected[44] = {
      0x00, 0x20, 0, 0,              // fileObject: the connection's
      6,    0,    0, 0,              // protocol
      0x41, 0x01, 0, 0,              // processId 321
      0x7F, 0,    0, 1,              // localAddress 127.0.0.1
      8,    8,    8, 8,              // remoteAddress
      0x00, 0x50,                    // localPort
      0x01, 0xBB,                    // remotePort
      0xB8, 0x0B, 0, 0, 0, 0, 0, 0,  // bytesSent 3000
      0,    0,    0, 0, 1, 0, 0, 0,  // bytesReceived 2^32
      4,    0,    0, 0,              // Connected
  };
  EXPECT_EQ(out, std::vector<uint8_t>(expected, expected + 44));
}

TEST_F(ControlQueryTest, UdpRecordsFollowTcpRecordsInKeyOrder) {
  udpAddress(0x9000);
  udpAddress(0x0500);
  connection(0x1000, 0x8000, Connecting);
  connection(0x1000, 0x3000, Disconnected);
  table().findAddress(File(0x0500))->bytesReceived.add(12);

  std::vector<ActivityRecord> r = activity();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].fileObject, 0x3000u);
  EXPECT_EQ(r[0].state, ULONG(Disconnected));
  EXPECT_EQ(r[1].fileObject, 0x8000u);
  EXPECT_EQ(r[1].state, ULONG(Connecting));
  EXPECT_EQ(r[2].fileObject, 0x0500u);
  EXPECT_EQ(r[2].protocol, 17u);
  EXPECT_EQ(r[2].processId, 600u);
  EXPECT_EQ(r[2].localAddress, 0x0200000Au);
  EXPECT_EQ(r[2].localPort, 0x3500);
  EXPECT_EQ(uint64_t(r[2].bytesReceived), 12u);
  EXPECT_EQ(uint64_t(r[2].bytesSent), 0u);
  EXPECT_EQ(r[3].fileObject, 0x9000u);
  EXPECT_EQ(uint64_t(r[3].bytesReceived), 0u)
      << "a UDP address without traffic is reported with zero counters";
}

TEST_F(ControlQueryTest, BufferSizesBelowARecordAndBetweenRecords) {
  udpAddress(0x100);
  udpAddress(0x200);
  udpAddress(0x300);
  std::vector<uint8_t> out;
  hostkernel::Completion c = query(IOCTL_QUERY_ACTIVITY, {}, out, 43);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 0u);
  c = query(IOCTL_QUERY_ACTIVITY, {}, out, 88);
  EXPECT_EQ(c.information, 88u);
  c = query(IOCTL_QUERY_ACTIVITY, {}, out, 131);
  EXPECT_EQ(c.information, 88u);
  c = query(IOCTL_QUERY_ACTIVITY, {}, out, 0);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 0u);
}

TEST_F(ControlQueryTest, FullBufferDuringTcpPassHoldsOnlyTcpRecords) {
  for (ULONG_PTR i = 0; i < 5; ++i) connection(0x1000, 0x2000 + 0x10 * i, Connected);
  udpAddress(0x10);
  std::vector<ActivityRecord> r = activity(3 * 44);
  ASSERT_EQ(r.size(), 3u);
  for (const ActivityRecord& record : r) EXPECT_EQ(record.protocol, 6u);
  EXPECT_EQ(r[2].fileObject, 0x2020u);
}

TEST_F(ControlQueryTest, OnlyTheFirstAssociatedConnectionOfAListeningAddressIsReported) {
  SharedRef<ConnectionObject> c3 = connection(0x1000, 0x2300, Associated);
  SharedRef<ConnectionObject> c1 = connection(0x1000, 0x2100, Associated);
  SharedRef<ConnectionObject> c2 = connection(0x1000, 0x2200, Associated);
  table().findAddress(File(0x1000))->bind(TDI_EVENT_RECEIVE, {reinterpret_cast<PVOID>(0x1234), nullptr});

  std::vector<ActivityRecord> r = activity();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].fileObject, 0x2100u);
  EXPECT_EQ(r[0].state, ULONG(Listening));
  for (auto& c : {c1, c2, c3}) EXPECT_EQ(c->state, ULONG(Listening)) << "the promotion is kept";
  EXPECT_EQ(activity().size(), 1u);
}

TEST_F(ControlQueryTest, ListenersOfDifferentAddressesAreEachReported) {
  connection(0x1000, 0x2000, Listening);
  connection(0x1100, 0x2100, Listening);
  connection(0x1000, 0x2200, Listening);
  std::vector<ActivityRecord> r = activity();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].fileObject, 0x2000u);
  EXPECT_EQ(r[1].fileObject, 0x2100u);
}

TEST_F(ControlQueryTest, ListenerIsStillReportedWhenTheSeenSetHasNoMemory) {
  connection(0x1000, 0x2000, Listening);
  hostkernel::failCall(hostkernel::Call::ExAllocatePoolWithTag);
  std::vector<ActivityRecord> r = activity();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].state, ULONG(Listening));
}

TEST_F(ControlQueryTest, UnreportedObjects) {
  connection(0x1000, 0x2000, Created);
  connection(0x1000, 0x2100, Associated);  // no receive handler: stays Associated
  connection(0x1000, 0x2200, 9);           // not a state
  SharedRef<ConnectionObject> gone = connection(0x1000, 0x2300, Connected);
  table().disassociate(*gone);
  {
    hostkernel::CurrentProcess process(5);
    table().addAddress(File(0x4000), 6, 0, 0);  // a TCP address without connections
    table().addConnection(File(0x5000), 1);     // never associated
    table().findConnection(File(0x5000))->state = Connected;
  }
  EXPECT_TRUE(activity().empty());
  EXPECT_EQ(table().findConnection(File(0x2100))->state, ULONG(Associated));
}

class ImageNameTest : public ControlQueryTest {
 protected:
  static std::vector<uint8_t> Id(ULONG id) {
    std::vector<uint8_t> bytes(4);
    std::memcpy(bytes.data(), &id, 4);
    return bytes;
  }
  static std::vector<uint8_t> Utf16WithNul(const std::u16string& text) {
    std::vector<uint8_t> bytes((text.size() + 1) * 2, 0);
    std::memcpy(bytes.data(), text.data(), text.size() * 2);
    return bytes;
  }
};

TEST_F(ImageNameTest, ReturnsTheNativePathWithItsNul) {
  const std::u16string path = u"\\Device\\HarddiskVolume1\\WINDOWS\\system32\\svchost.exe";
  hostkernel::addProcess(1044, path);
  std::vector<uint8_t> out;
  hostkernel::Completion c = query(IOCTL_QUERY_IMAGE_NAME, Id(1044), out, 520);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(out, Utf16WithNul(path));
  EXPECT_EQ(hostkernel::openHandles(), 0u) << "the process handle is closed";
}

TEST_F(ImageNameTest, ReplyThatDoesNotFitTheOutputIsRefusedWithoutWriting) {
  const std::u16string path = u"\\Device\\HarddiskVolume1\\a.exe";
  hostkernel::addProcess(8, path);
  std::vector<uint8_t> out;
  ULONG exact = ULONG(Utf16WithNul(path).size());
  hostkernel::Completion c = query(IOCTL_QUERY_IMAGE_NAME, Id(8), out, exact - 1);
  EXPECT_EQ(c.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(c.information, 0u);
  c = query(IOCTL_QUERY_IMAGE_NAME, Id(8), out, exact);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(out, Utf16WithNul(path));
}

TEST_F(ImageNameTest, InputOtherThanFourBytesIsInvalid) {
  hostkernel::addProcess(8, u"\\x.exe");
  for (std::vector<uint8_t> input : {std::vector<uint8_t>{8, 0, 0},
                                     std::vector<uint8_t>{8, 0, 0, 0, 0, 0, 0, 0}, std::vector<uint8_t>{}}) {
    std::vector<uint8_t> out;
    hostkernel::Completion c = query(IOCTL_QUERY_IMAGE_NAME, input, out, 520);
    EXPECT_EQ(c.status, STATUS_INVALID_PARAMETER) << input.size();
    EXPECT_EQ(c.information, 0u);
  }
}

TEST_F(ImageNameTest, NoSystemBufferIsInvalid) {
  hostkernel::Completion c = hostkernel::sendRequest(
      nullptr, control_, IRP_MJ_DEVICE_CONTROL, [](PIRP irp, PIO_STACK_LOCATION stack) {
        irp->AssociatedIrp.SystemBuffer = nullptr;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_QUERY_IMAGE_NAME;
        stack->Parameters.DeviceIoControl.InputBufferLength = 4;
        stack->Parameters.DeviceIoControl.OutputBufferLength = 520;
      });
  EXPECT_EQ(c.status, STATUS_INVALID_PARAMETER);
}

// The system's own failures come back unchanged and leave no handle open: an
// id that names no process (Windows XP's STATUS_INVALID_PARAMETER), a refused
// open, a failed query. A kernel that cannot open an object for a user-mode
// caller at all (STATUS_NOT_IMPLEMENTED, as Wine's) gets the answer through a
// kernel-mode open; no other refusal is retried.
TEST_F(ImageNameTest, SystemFailuresAreReportedUnchanged) {
  using hostkernel::Call;
  hostkernel::addProcess(77, u"\\y.exe");
  struct Case {
    const char* what;
    ULONG id;
    Call call;
    NTSTATUS failure;
    NTSTATUS answer;
  } cases[] = {
      {"no such process", 78, Call::Count, 0, STATUS_INVALID_PARAMETER},
      {"open refused", 77, Call::ObOpenObjectByPointer, STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED},
      {"no user-mode open", 77, Call::ObOpenObjectByPointer, STATUS_NOT_IMPLEMENTED, STATUS_SUCCESS},
      {"lookup failed", 77, Call::PsLookupProcessByProcessId, STATUS_INVALID_CID, STATUS_INVALID_CID},
      {"query failed", 77, Call::ZwQueryInformationProcess, STATUS_INVALID_PARAMETER,
       STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    if (c.call != Call::Count) hostkernel::failCall(c.call, c.failure);
    std::vector<uint8_t> out;
    hostkernel::Completion r = query(IOCTL_QUERY_IMAGE_NAME, Id(c.id), out, 520);
    EXPECT_EQ(r.status, c.answer) << c.what;
    EXPECT_EQ(r.information, c.answer == STATUS_SUCCESS ? Utf16WithNul(u"\\y.exe").size() : 0u) << c.what;
    EXPECT_EQ(hostkernel::openHandles(), 0u) << c.what;
    if (c.call != Call::Count) hostkernel::failCall(c.call, STATUS_SUCCESS, 0, 0);
  }
}

// The answer is given only for a process the caller could open for a query
// itself: the access is checked with the request's mode, so another user's
// process is refused as OpenProcess refuses it, while the process's own user,
// the system and a kernel-mode caller get it.
TEST_F(ImageNameTest, OnlyAProcessTheCallerMayQueryIsAnswered) {
  const std::u16string path = u"\\Device\\HarddiskVolume1\\Program Files\\app.exe";
  hostkernel::addProcess(1044, path, 1);
  hostkernel::addProcess(2000, u"\\Device\\HarddiskVolume1\\same.exe", 1);
  hostkernel::addProcess(3000, u"\\Device\\HarddiskVolume1\\other.exe", 2);
  struct Case {
    ULONG caller;
    KPROCESSOR_MODE mode;
    NTSTATUS status;
  } cases[] = {{1044, UserMode, STATUS_SUCCESS},
               {2000, UserMode, STATUS_SUCCESS},
               {3000, UserMode, STATUS_ACCESS_DENIED},
               {3000, KernelMode, STATUS_SUCCESS},
               {hostkernel::kSystemProcessId, UserMode, STATUS_SUCCESS}};
  for (const Case& c : cases) {
    hostkernel::CurrentProcess in(c.caller);
    std::vector<uint8_t> out;
    hostkernel::Completion r =
        hostkernel::deviceIoControl(control_, IOCTL_QUERY_IMAGE_NAME, Id(1044), out, 520, false, c.mode);
    EXPECT_EQ(r.status, c.status) << c.caller << " in mode " << int(c.mode);
    EXPECT_EQ(out, c.status == STATUS_SUCCESS ? Utf16WithNul(path) : std::vector<uint8_t>()) << c.caller;
  }
  EXPECT_EQ(hostkernel::openHandles(), 0u);
}

TEST_F(ImageNameTest, EmptyPathIsItsNulAlone) {
  hostkernel::addProcess(9, u"");
  std::vector<uint8_t> out;
  hostkernel::Completion c = query(IOCTL_QUERY_IMAGE_NAME, Id(9), out, 520);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 0}));
}

// A reply length that leaves no room for a path, or that claims more than the
// query buffer holds, is not trusted.
TEST_F(ImageNameTest, ReplyLengthsThatCannotBeAPathAreInvalid) {
  hostkernel::addProcess(9, u"\\z.exe");
  for (ULONG length :
       {ULONG(sizeof(UNICODE_STRING) + 1), ULONG(sizeof(UNICODE_STRING)), 0u, 513u, 0xFFFFFFFFu}) {
    hostkernel::setImageReplyLength(9, length);
    std::vector<uint8_t> out;
    hostkernel::Completion c = query(IOCTL_QUERY_IMAGE_NAME, Id(9), out, 520);
    EXPECT_EQ(c.status, STATUS_INVALID_PARAMETER) << length;
    EXPECT_EQ(c.information, 0u) << length;
  }
}

TEST_F(ImageNameTest, PathFillingTheWholeQueryBufferIsReturned) {
  std::u16string path((512 - sizeof(UNICODE_STRING) - 2) / 2, u'a');
  hostkernel::addProcess(10, path);
  std::vector<uint8_t> out;
  hostkernel::Completion c = query(IOCTL_QUERY_IMAGE_NAME, Id(10), out, 520);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(out, Utf16WithNul(path));

  hostkernel::addProcess(11, path + u"b");
  EXPECT_EQ(query(IOCTL_QUERY_IMAGE_NAME, Id(11), out, 520).status, STATUS_INFO_LENGTH_MISMATCH)
      << "one character more: the system's own answer";
}

TEST_F(ControlQueryTest, UnknownControlCodesAreInvalid) {
  for (ULONG code : {0x99004260u, 0x9900426Cu, 0x99004265u, 0u, 0x120003u}) {
    std::vector<uint8_t> out;
    hostkernel::Completion c = query(code, {1, 0, 0, 0}, out, 520);
    EXPECT_EQ(c.status, STATUS_INVALID_PARAMETER) << code;
    EXPECT_EQ(c.information, 0u) << code;
  }
}

}  // namespace
