// What the filters learn from the requests that pass through them.
#include <gtest/gtest.h>

#include "transport_fixture.h"

namespace {

using vesk::ConnectionObject;
using vesk::SharedRef;

class InterceptionTest : public TransportTest {
 protected:
  // A TCP address with an associated connection, as the socket layer makes
  // them for an outgoing connection.
  void openTcpPair(CONNECTION_CONTEXT context = reinterpret_cast<CONNECTION_CONTEXT>(0x51)) {
    address_ = client_.openAddress(true, 0, 0);
    connection_ = client_.openConnection(context);
    ASSERT_EQ(client_.associate(connection_, address_), STATUS_SUCCESS);
  }
  void closeTcpPair() {
    client_.close(connection_);
    client_.close(address_);
  }
  SharedRef<ConnectionObject> record() { return table().findConnection(connection_); }

  PFILE_OBJECT address_ = nullptr;
  PFILE_OBJECT connection_ = nullptr;
};

TEST_F(InterceptionTest, ControlChannelCreateMakesNoRecord) {
  hostkernel::CurrentProcess process(kClientProcess);
  hostkernel::OpenResult channel = hostkernel::openFile(u"\\Device\\Tcp");
  ASSERT_EQ(channel.status, STATUS_SUCCESS);
  EXPECT_FALSE(table().findAddress(channel.file));
  EXPECT_FALSE(table().findConnection(channel.file));
  EXPECT_EQ(transport_->openObjects(), 1u) << "the create reached the transport";
  hostkernel::closeFile(channel.file);
}

TEST_F(InterceptionTest, AddressCreateRecordsOwnerProtocolAndLocalEnd) {
  PFILE_OBJECT udp = client_.openAddress(false, Ip(10, 0, 0, 1), Port(53));
  ActivityRecord r = recordOf(udp);
  EXPECT_EQ(r.protocol, 17u);
  EXPECT_EQ(r.processId, kClientProcess);
  EXPECT_EQ(r.localAddress, Ip(10, 0, 0, 1));
  EXPECT_EQ(r.localPort, Port(53));
  client_.close(udp);
  EXPECT_TRUE(activity().empty()) << "the close unfiles the record";
}

// Names must be exactly the TDI names, and every length inside the buffer is
// checked before a byte behind it is read: a short or lying buffer makes no
// record and goes on to the transport untouched.
TEST_F(InterceptionTest, MalformedExtendedAttributesMakeNoRecord) {
  std::vector<std::vector<uint8_t>> buffers;
  std::vector<uint8_t> good = TransportAddressEa(Ip(1, 2, 3, 4), Port(99));
  auto withName = [&](const char* name) {
    std::vector<uint8_t> ea = good;
    size_t old = ea[5];
    std::string n(name);
    ea.erase(ea.begin() + 8, ea.begin() + 8 + old);
    ea.insert(ea.begin() + 8, n.begin(), n.end());
    ea[5] = uint8_t(n.size());
    return ea;
  };
  buffers.push_back(withName("Transport"));           // a prefix of the name
  buffers.push_back(withName("TransportAddresses"));  // longer than the name
  buffers.push_back(withName("ConnectionContex"));
  {
    std::vector<uint8_t> ea = good;
    ea[6] = 200;  // EaValueLength beyond the buffer
    buffers.push_back(ea);
  }
  {
    std::vector<uint8_t> ea = good;
    ea[5] = 250;  // EaNameLength beyond the buffer
    buffers.push_back(ea);
  }
  {
    std::vector<uint8_t> ea = good;
    ea[8 + 16 + 1] = 0;  // TAAddressCount 0
    buffers.push_back(ea);
  }
  {
    std::vector<uint8_t> ea = good;
    ea[8 + 16 + 1 + 4] = 40;  // AddressLength beyond the value
    buffers.push_back(ea);
  }
  {
    std::vector<uint8_t> ea = good;
    ea.resize(8 + 16 + 1 + 12);  // the value cut short, EaValueLength says 22
    buffers.push_back(ea);
  }
  buffers.push_back(std::vector<uint8_t>(good.begin(), good.begin() + 5));  // not even a header
  buffers.push_back(TransportAddressEa(Ip(1, 2, 3, 4), Port(99), 6));       // not IPv4
  {
    std::vector<uint8_t> ea = ConnectionContextEa(reinterpret_cast<CONNECTION_CONTEXT>(1));
    ea[6] = 2;  // a context of two bytes
    ea.resize(ea.size() - sizeof(CONNECTION_CONTEXT) + 2);
    buffers.push_back(ea);
  }
  const size_t before = hostkernel::poolInUse(vesk::kPoolTag).blocks;
  for (size_t i = 0; i < buffers.size(); ++i) {
    hostkernel::CurrentProcess process(kClientProcess);
    hostkernel::OpenResult r = hostkernel::openFile(u"\\Device\\Tcp", buffers[i]);
    EXPECT_NE(r.status, STATUS_SUCCESS) << "buffer " << i << ": the transport refuses it too";
    EXPECT_EQ(hostkernel::poolInUse(vesk::kPoolTag).blocks, before)
        << "buffer " << i << ": no record was made";
  }
}

// The owner is the process the create arrives in, taken from the current
// process id: no process query is involved (where the driver is hosted in a
// process of its own, that query answers for the host).
TEST_F(InterceptionTest, OwnerIsTheCreatingProcessWithoutAProcessQuery) {
  hostkernel::failCall(hostkernel::Call::ZwQueryInformationProcess, STATUS_ACCESS_DENIED);
  PFILE_OBJECT udp = client_.openAddress(false, 0, Port(7));
  ASSERT_NE(udp, nullptr);
  EXPECT_EQ(recordOf(udp).processId, kClientProcess);
  client_.close(udp);
}

// A create the transport refuses (the port is taken) leaves no record, and
// the record of the object that holds the port stays.
TEST_F(InterceptionTest, CreateTheTransportRefusesLeavesNoRecord) {
  PFILE_OBJECT first = client_.openAddress(false, 0, Port(53));
  const size_t before = hostkernel::poolInUse(vesk::kPoolTag).blocks;
  {
    hostkernel::CurrentProcess process(kClientProcess + 1);
    hostkernel::OpenResult r = hostkernel::openFile(u"\\Device\\Udp", TransportAddressEa(0, Port(53)));
    EXPECT_EQ(r.status, STATUS_ADDRESS_ALREADY_EXISTS);
    r = hostkernel::openFile(u"\\Device\\Udp", ConnectionContextEa(reinterpret_cast<CONNECTION_CONTEXT>(5)));
    EXPECT_NE(r.status, STATUS_SUCCESS) << "UDP has no connection objects";
  }
  EXPECT_EQ(hostkernel::poolInUse(vesk::kPoolTag).blocks, before);
  EXPECT_FALSE(table().findConnectionByContext(5));
  std::vector<ActivityRecord> records = activity();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].processId, kClientProcess);
  client_.close(first);
}

// A request built with no stack location for the driver below the filter
// goes down as it came, without a completion routine of the filter's.
TEST_F(InterceptionTest, RequestWithoutANextStackLocationPassesDownUntouched) {
  PFILE_OBJECT address = client_.openAddress(true, 0, 0);
  PIRP irp = IoAllocateIrp(1, FALSE);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  stack->MinorFunction = TDI_QUERY_INFORMATION;
  stack->FileObject = address;
  reinterpret_cast<PTDI_REQUEST_KERNEL_QUERY_INFORMATION>(&stack->Parameters)->QueryType =
      TDI_QUERY_ADDRESS_INFO;
  struct Done {
    static NTSTATUS NTAPI Routine(PDEVICE_OBJECT, PIRP, PVOID context) {
      *static_cast<bool*>(context) = true;
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
  };
  bool done = false;
  IoSetCompletionRoutine(irp, Done::Routine, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(hostkernel::attachedTop(transport_->tcp()), irp);
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << "the transport answered the request (it has no MDL)";
  EXPECT_TRUE(done) << "the caller's completion routine ran, in the one location";
  IoFreeIrp(irp);
  client_.close(address);
}

// The driver's own address query goes through the filter; answered at once
// or later (then the filter's completion routine marks it pending for the
// driver that sent it).
TEST_F(InterceptionTest, AssociationRecordsTheLinkAndLearnsTheChosenPort) {
  for (int later = 0; later < 2; ++later) {
    transport_->answerQueriesLater(later);
    openTcpPair();
    ASSERT_TRUE(record());
    EXPECT_EQ(record()->state, ULONG(Associated));
    SharedRef<vesk::AddressObject> address = table().findAddressOfFile(connection_);
    ASSERT_TRUE(address);
    EXPECT_EQ(address->localPort, Port(USHORT(1025 + later)))
        << "the port the transport chose, learned by the address query";
    ASSERT_EQ(client_.disassociate(connection_), STATUS_SUCCESS);
    EXPECT_EQ(record()->state, ULONG(Disconnected));
    EXPECT_FALSE(table().findAddressOfFile(connection_));
    closeTcpPair();
  }
}

// A connect that fails leaves the connection in the state it had before it,
// never Connecting; one that succeeds ends Connected.
TEST_F(InterceptionTest, ConnectSetsRemoteAndConnectedOnSuccessAndTheEarlierStateOnFailure) {
  openTcpPair();
  transport_->answerConnects(STATUS_REMOTE_NOT_LISTENING);
  EXPECT_EQ(client_.connect(connection_, Ip(192, 0, 2, 7), Port(80)), STATUS_REMOTE_NOT_LISTENING);
  EXPECT_EQ(record()->state, ULONG(Associated)) << "back to what it was";
  EXPECT_EQ(record()->remoteAddress, Ip(192, 0, 2, 7));
  EXPECT_EQ(record()->remotePort, Port(80));
  ASSERT_EQ(client_.disconnect(connection_), STATUS_SUCCESS);
  EXPECT_EQ(client_.connect(connection_, Ip(192, 0, 2, 7), Port(81)), STATUS_REMOTE_NOT_LISTENING);
  EXPECT_EQ(record()->state, ULONG(Disconnected)) << "back to what it was";

  transport_->answerConnects(STATUS_SUCCESS);
  EXPECT_EQ(client_.connect(connection_, Ip(192, 0, 2, 8), Port(443)), STATUS_SUCCESS);
  ActivityRecord r = recordOf(connection_);
  EXPECT_EQ(r.state, ULONG(Connected));
  EXPECT_EQ(r.remoteAddress, Ip(192, 0, 2, 8));
  EXPECT_EQ(r.localPort, Port(1025));
  closeTcpPair();
}

TEST_F(InterceptionTest, ConnectToANonIpv4AddressOrOnANonConnectionChangesNothing) {
  openTcpPair();
  std::vector<uint8_t> other = IpAddress(Ip(1, 1, 1, 1), Port(1));
  other[6] = 23;  // not TDI_ADDRESS_TYPE_IP
  TDI_CONNECTION_INFORMATION info = {};
  info.RemoteAddressLength = LONG(other.size());
  info.RemoteAddress = other.data();
  auto connectWith = [&](PFILE_OBJECT file, PTDI_CONNECTION_INFORMATION information) {
    return client_.internal(file, TDI_CONNECT, [&](PIRP, PIO_STACK_LOCATION s) {
      reinterpret_cast<PTDI_REQUEST_KERNEL_CONNECT>(&s->Parameters)->RequestConnectionInformation =
          information;
    });
  };
  connectWith(connection_, &info);
  connectWith(connection_, nullptr);
  other[6] = TDI_ADDRESS_TYPE_IP;
  info.RemoteAddressLength = 13;  // too short to hold the port and address it claims
  connectWith(connection_, &info);
  EXPECT_EQ(record()->state, ULONG(Associated));
  EXPECT_EQ(record()->remoteAddress, 0u);
  info.RemoteAddressLength = 22;
  connectWith(address_, &info);  // an address object is not a connection
  EXPECT_EQ(record()->state, ULONG(Associated));
  closeTcpPair();
}

// The remote end of an accepted connection is what the transport returns in
// the accept's return information when it completes it, and only exactly one
// IPv4 TA_IP_ADDRESS (22 bytes) is read from there.
TEST_F(InterceptionTest, AcceptTakesTheRemoteEndTheTransportReturns) {
  openTcpPair();
  // An accept the transport fails (nothing offered yet) leaves the state,
  // even where the client's buffer holds an address from before.
  std::vector<uint8_t> stale = IpAddress(Ip(192, 0, 2, 7), Port(7));
  TDI_CONNECTION_INFORMATION staleInfo = {};
  staleInfo.RemoteAddress = stale.data();
  staleInfo.RemoteAddressLength = LONG(stale.size());
  ULONG before = record()->state;
  client_.internal(connection_, TDI_ACCEPT, [&](PIRP, PIO_STACK_LOCATION s) {
    reinterpret_cast<PTDI_REQUEST_KERNEL_ACCEPT>(&s->Parameters)->ReturnConnectionInformation = &staleInfo;
  });
  EXPECT_EQ(record()->state, before) << "a failed accept connects nothing";
  hostkernel::PendingRequest* listen = client_.beginListen(connection_);
  transport_->connectFrom(address_, Ip(198, 51, 100, 2), Port(5000));
  ASSERT_EQ(hostkernel::endRequest(listen).status, STATUS_SUCCESS);
  std::vector<uint8_t> room(32, 0);
  TDI_CONNECTION_INFORMATION info = {};
  info.RemoteAddress = room.data();
  for (LONG length : {20, 21, 23, 32}) {
    info.RemoteAddressLength = length;
    client_.internal(connection_, TDI_ACCEPT, [&](PIRP, PIO_STACK_LOCATION s) {
      reinterpret_cast<PTDI_REQUEST_KERNEL_ACCEPT>(&s->Parameters)->ReturnConnectionInformation = &info;
    });
    EXPECT_EQ(record()->state, ULONG(Listening)) << length;
  }
  EXPECT_EQ(client_.accept(connection_), STATUS_SUCCESS);
  ActivityRecord r = recordOf(connection_);
  EXPECT_EQ(r.state, ULONG(Connected));
  EXPECT_EQ(r.remoteAddress, Ip(198, 51, 100, 2));
  EXPECT_EQ(r.remotePort, Port(5000));
  closeTcpPair();
}

TEST_F(InterceptionTest, ListenAndDisconnectSetTheirStates) {
  openTcpPair();
  hostkernel::PendingRequest* listen = client_.beginListen(connection_);
  EXPECT_EQ(record()->state, ULONG(Listening));
  transport_->connectFrom(address_, Ip(203, 0, 113, 9), Port(4242));
  EXPECT_EQ(hostkernel::endRequest(listen).status, STATUS_SUCCESS);
  EXPECT_EQ(client_.disconnect(connection_), STATUS_SUCCESS);
  EXPECT_EQ(recordOf(connection_).state, ULONG(Disconnected));
  closeTcpPair();
}

TEST_F(InterceptionTest, SendsCountAtTheirRequestedLengthEvenWhenTheyFail) {
  openTcpPair();
  EXPECT_EQ(client_.send(connection_, 700).status, STATUS_INVALID_CONNECTION) << "not connected yet";
  EXPECT_EQ(record()->bytesSent.read(), 700u);
  ASSERT_EQ(client_.connect(connection_, Ip(192, 0, 2, 1), Port(80)), STATUS_SUCCESS);
  EXPECT_EQ(client_.send(connection_, 1460).information, 1460u);
  EXPECT_EQ(record()->bytesSent.read(), 2160u);
  EXPECT_EQ(transport_->bytesSentOn(connection_), 1460u);
  closeTcpPair();
}

TEST_F(InterceptionTest, ReceivesCountTheCompletedBytesOnlyWhenTheySucceed) {
  openTcpPair();
  ASSERT_EQ(client_.connect(connection_, Ip(192, 0, 2, 1), Port(80)), STATUS_SUCCESS);
  hostkernel::PendingRequest* receive = client_.beginReceive(connection_, 4096);
  transport_->deliver(connection_, 1000);
  EXPECT_EQ(hostkernel::endRequest(receive).information, 1000u);
  EXPECT_EQ(record()->bytesReceived.read(), 1000u);

  hostkernel::PendingRequest* failing = client_.beginReceive(connection_, 4096);
  // The cleanup ends the waiting receive with STATUS_CANCELLED.
  SharedRef<ConnectionObject> kept = record();
  hostkernel::sendRequest(nullptr, connection_, IRP_MJ_CLEANUP);
  EXPECT_EQ(hostkernel::endRequest(failing).status, STATUS_CANCELLED);
  EXPECT_EQ(kept->bytesReceived.read(), 1000u);
  kept.reset();
  closeTcpPair();
}

TEST_F(InterceptionTest, DatagramsCountOnTheAddress) {
  PFILE_OBJECT udp = client_.openAddress(false, 0, Port(5353));
  EXPECT_EQ(client_.sendDatagram(udp, 300, Ip(224, 0, 0, 251), Port(5353)).status, STATUS_SUCCESS);
  hostkernel::PendingRequest* receive = client_.beginReceiveDatagram(udp, 1500);
  transport_->deliverDatagram(udp, 120, Ip(192, 168, 7, 7), Port(5353));
  EXPECT_EQ(hostkernel::endRequest(receive).information, 120u);
  ActivityRecord r = recordOf(udp);
  EXPECT_EQ(uint64_t(r.bytesSent), 300u);
  EXPECT_EQ(uint64_t(r.bytesReceived), 120u);
  client_.close(udp);
}

// The address query's reply is read only as far as it goes and only when its
// first address is IPv4.
TEST_F(InterceptionTest, AddressInfoRepliesThatAreShortOrNotIpv4LeaveTheRecord) {
  PFILE_OBJECT address = client_.openAddress(true, Ip(10, 1, 1, 1), Port(8080));
  std::vector<uint8_t> ipv4(26, 0);
  std::vector<uint8_t> ta = IpAddress(Ip(10, 9, 9, 9), Port(9));
  std::copy(ta.begin(), ta.end(), ipv4.begin() + 4);
  std::vector<uint8_t> notIp = ipv4;
  notIp[10] = 23;
  struct Reply {
    std::vector<uint8_t> bytes;
    ULONG_PTR information;
  } replies[] = {{notIp, 26}, {ipv4, 17}, {ipv4, 0}, {ipv4, 300}};
  for (const Reply& reply : replies) {
    transport_->answerAddressQueries(reply.bytes, reply.information);
    std::vector<uint8_t> out;
    client_.queryAddress(address, out);
    SharedRef<vesk::AddressObject> a = table().findAddress(address);
    EXPECT_EQ(a->localAddress, Ip(10, 1, 1, 1)) << reply.information;
    EXPECT_EQ(a->localPort, Port(8080)) << reply.information;
  }
  transport_->answerAddressQueries(ipv4, 26);
  std::vector<uint8_t> out;
  client_.queryAddress(address, out);
  EXPECT_EQ(table().findAddress(address)->localAddress, Ip(10, 9, 9, 9)) << "a well-formed reply is recorded";
  client_.close(address);
}

// User-mode TDI requests arrive as device control requests; the ones TDI.SYS
// maps become the internal requests they stand for.
TEST_F(InterceptionTest, UserModeRequestsAreMappedAndCounted) {
  openTcpPair();
  ASSERT_EQ(client_.connect(connection_, Ip(192, 0, 2, 1), Port(80)), STATUS_SUCCESS);
  const ULONG kUserSend = CTL_CODE(FILE_DEVICE_TRANSPORT, 7, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
  std::vector<uint8_t> out;
  hostkernel::Completion c;
  {
    hostkernel::CurrentProcess process(kClientProcess);
    c = hostkernel::deviceIoControl(connection_, kUserSend, {0, 0, 0, 0}, out, 512);
  }
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(record()->bytesSent.read(), 512u);
  EXPECT_EQ(transport_->bytesSentOn(connection_), 512u);

  const ULONG kUnknown = CTL_CODE(FILE_DEVICE_TRANSPORT, 0x40, METHOD_BUFFERED, FILE_ANY_ACCESS);
  {
    hostkernel::CurrentProcess process(kClientProcess);
    c = hostkernel::deviceIoControl(connection_, kUnknown, {1, 2, 3, 4}, out, 16);
  }
  EXPECT_EQ(c.status, STATUS_INVALID_DEVICE_REQUEST) << "passed on to the transport, which does not know it";

  // Function 7 with another transfer method is not TDI's send: it is not
  // handed to TdiMapUserRequest and counts nothing (the transport below still
  // makes of it what it likes).
  const ULONG kNotTdiSend = CTL_CODE(FILE_DEVICE_TRANSPORT, 7, METHOD_BUFFERED, FILE_ANY_ACCESS);
  {
    hostkernel::CurrentProcess process(kClientProcess);
    hostkernel::deviceIoControl(connection_, kNotTdiSend, {0, 0, 0, 0}, out, 256);
  }
  EXPECT_EQ(record()->bytesSent.read(), 512u);
  closeTcpPair();
}

// A user-mode associate names its address object by a handle of the
// caller's: resolved in user mode, so a kernel handle value is refused, by
// the filter as by the transport.
TEST_F(InterceptionTest, UserModeAssociateResolvesItsHandleInUserMode) {
  address_ = client_.openAddress(true, Ip(10, 0, 0, 9), Port(99));
  connection_ = client_.openConnection(reinterpret_cast<CONNECTION_CONTEXT>(0x52));
  HANDLE kernelHandle = hostkernel::createHandle(address_, true);
  const ULONG kUserAssociate = CTL_CODE(FILE_DEVICE_TRANSPORT, 11, METHOD_BUFFERED, FILE_ANY_ACCESS);
  auto associate = [&](HANDLE handle) {
    std::vector<uint8_t> in(sizeof handle), out;
    std::memcpy(in.data(), &handle, sizeof handle);
    hostkernel::CurrentProcess process(kClientProcess);
    return hostkernel::deviceIoControl(connection_, kUserAssociate, in, out, 0).status;
  };
  EXPECT_EQ(associate(kernelHandle), STATUS_INVALID_HANDLE);
  EXPECT_EQ(record()->state, ULONG(Created));
  EXPECT_EQ(associate(client_.handleOf(address_)), STATUS_SUCCESS);
  EXPECT_EQ(record()->state, ULONG(Associated));
  hostkernel::closeHandle(kernelHandle);
  closeTcpPair();
}

class DeferredAssociationTest : public DriverTest {
 protected:
  PFILE_OBJECT open(const std::vector<uint8_t>& ea) {
    hostkernel::CurrentProcess process(1700);
    hostkernel::OpenResult r = hostkernel::openFile(u"\\Device\\Tcp", ea);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return r.file;
  }
  PFILE_OBJECT openConnection(ULONG_PTR context) {
    return open(ConnectionContextEa(reinterpret_cast<CONNECTION_CONTEXT>(context)));
  }
  void associate(PFILE_OBJECT connection, HANDLE handle, ULONG process, bool atDispatch,
                 KPROCESSOR_MODE mode = KernelMode) {
    hostkernel::CurrentProcess in(process);
    std::unique_ptr<hostkernel::AtDispatchLevel> raised;
    if (atDispatch) raised.reset(new hostkernel::AtDispatchLevel());
    hostkernel::sendRequest(
        nullptr, connection, IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PIRP irp, PIO_STACK_LOCATION s) {
          irp->RequestorMode = mode;
          s->MinorFunction = TDI_ASSOCIATE_ADDRESS;
          reinterpret_cast<PTDI_REQUEST_KERNEL_ASSOCIATE>(&s->Parameters)->AddressHandle = handle;
        });
  }
  void associateAtDispatch(PFILE_OBJECT connection, HANDLE handle) {
    associate(connection, handle, 1700, true);
  }
  ULONG stateOf(PFILE_OBJECT connection) { return table().findConnection(connection)->state; }
};

// An association arriving above PASSIVE_LEVEL goes down at once and is
// recorded by a work item, but only where the handle means there what it
// meant to the request: a kernel handle, or a handle of the worker's own
// process. Any other handle is not looked up in the wrong table.
TEST_F(DeferredAssociationTest, RecordedLaterOnlyWhereTheHandleMeansTheSameInTheWorker) {
  hostkernel::addProcess(1700, u"\\x.exe");
  PFILE_OBJECT address = open(TransportAddressEa(Ip(10, 0, 0, 2), Port(80)));
  PFILE_OBJECT kernelSide = openConnection(1), processSide = openConnection(2),
               systemSide = openConnection(3), userSide = openConnection(4);
  HANDLE kernelHandle = hostkernel::createHandle(address, true);
  HANDLE processHandle, systemHandle;
  {
    hostkernel::CurrentProcess process(1700);
    processHandle = hostkernel::createHandle(address, false);
  }
  {
    hostkernel::CurrentProcess process(hostkernel::kSystemProcessId);
    systemHandle = hostkernel::createHandle(address, false);
  }
  ASSERT_EQ(processHandle, systemHandle) << "handle values collide between processes";
  associateAtDispatch(kernelSide, kernelHandle);
  associateAtDispatch(processSide, processHandle);
  associate(systemSide, systemHandle, hostkernel::kSystemProcessId, true);
  associate(userSide, processHandle, 1700, true, UserMode);
  EXPECT_EQ(transport_->seen().size(), 9u) << "all four went down without waiting";
  hostkernel::drainWorkItems();
  EXPECT_EQ(stateOf(kernelSide), ULONG(Associated));
  EXPECT_EQ(stateOf(systemSide), ULONG(Associated)) << "the system process's handle, in the system process";
  EXPECT_EQ(stateOf(processSide), ULONG(Created)) << "1700's handle means nothing in the worker";
  EXPECT_EQ(stateOf(userSide), ULONG(Created)) << "a user handle is resolved only in its caller's context";

  hostkernel::closeHandle(kernelHandle);
  {
    hostkernel::CurrentProcess process(1700);
    hostkernel::closeHandle(processHandle);
  }
  {
    hostkernel::CurrentProcess process(hostkernel::kSystemProcessId);
    hostkernel::closeHandle(systemHandle);
  }
  for (PFILE_OBJECT f : {kernelSide, processSide, systemSide, userSide, address}) hostkernel::closeFile(f);
}

// At PASSIVE_LEVEL the handle is resolved at once with the request's own
// mode: a user-mode request cannot name a kernel handle.
TEST_F(DeferredAssociationTest, HandleIsResolvedWithTheRequestorsMode) {
  hostkernel::addProcess(1700, u"\\x.exe");
  PFILE_OBJECT address = open(TransportAddressEa(Ip(10, 0, 0, 2), Port(80)));
  PFILE_OBJECT fromUser = openConnection(1), fromKernel = openConnection(2);
  HANDLE kernelHandle = hostkernel::createHandle(address, true);
  associate(fromUser, kernelHandle, 1700, false, UserMode);
  associate(fromKernel, kernelHandle, 1700, false, KernelMode);
  EXPECT_EQ(stateOf(fromUser), ULONG(Created));
  EXPECT_EQ(stateOf(fromKernel), ULONG(Associated));
  hostkernel::closeHandle(kernelHandle);
  for (PFILE_OBJECT f : {fromUser, fromKernel, address}) hostkernel::closeFile(f);
}

TEST_F(DeferredAssociationTest, NoWorkItemMeansNoRecordButTheRequestGoesOn) {
  hostkernel::addProcess(1700, u"\\x.exe");
  PFILE_OBJECT address = open(TransportAddressEa(Ip(10, 0, 0, 2), Port(80)));
  PFILE_OBJECT connection = open(ConnectionContextEa(reinterpret_cast<CONNECTION_CONTEXT>(1)));
  HANDLE handle = hostkernel::createHandle(address, true);
  hostkernel::failCall(hostkernel::Call::IoAllocateWorkItem);
  associateAtDispatch(connection, handle);
  hostkernel::drainWorkItems();
  EXPECT_EQ(table().findConnection(connection)->state, ULONG(Created));
  EXPECT_EQ(transport_->seen().back().minor, TDI_ASSOCIATE_ADDRESS);
  hostkernel::closeHandle(handle);
  hostkernel::closeFile(connection);
  hostkernel::closeFile(address);
}

}  // namespace
