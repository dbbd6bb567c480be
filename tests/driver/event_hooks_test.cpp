// The event handler hooks and the direct send hooks, driven by the transport
// the way the TCP/IP transport drives them.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "transport_fixture.h"

namespace {

using vesk::SharedRef;

// What a client's handler does when it is called, and what it saw.
struct ClientBehaviour {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG take = 0;                           // BytesTaken
  ReturnedReceive* request = nullptr;       // handed back with STATUS_MORE_PROCESSING_REQUIRED
  PIRP handedBack = nullptr;                // or this request, as it is
  CONNECTION_CONTEXT connection = nullptr;  // connect: the context handed back
  PIRP acceptIrp = nullptr;
  int calls = 0;
  PVOID contextSeen = nullptr;
  ULONG lengthSeen = 0;
};

NTSTATUS NTAPI ClientReceive(PVOID context, CONNECTION_CONTEXT, ULONG, ULONG indicated, ULONG, ULONG* taken,
                             PVOID, PIRP* irp) {
  ClientBehaviour* b = static_cast<ClientBehaviour*>(context);
  ++b->calls;
  b->contextSeen = context;
  b->lengthSeen = indicated;
  *taken = b->take;
  *irp = b->request ? b->request->irp : b->handedBack;
  return b->status;
}

NTSTATUS NTAPI ClientReceiveDatagram(PVOID context, LONG, PVOID, LONG, PVOID, ULONG, ULONG indicated, ULONG,
                                     ULONG* taken, PVOID, PIRP* irp) {
  ClientBehaviour* b = static_cast<ClientBehaviour*>(context);
  ++b->calls;
  b->lengthSeen = indicated;
  *taken = b->take;
  *irp = b->request ? b->request->irp : b->handedBack;
  return b->status;
}

NTSTATUS NTAPI ClientChainedReceive(PVOID context, CONNECTION_CONTEXT, ULONG, ULONG length, ULONG, PMDL,
                                    PVOID) {
  ClientBehaviour* b = static_cast<ClientBehaviour*>(context);
  ++b->calls;
  b->lengthSeen = length;
  return b->status;
}

NTSTATUS NTAPI ClientChainedReceiveDatagram(PVOID context, LONG, PVOID, LONG, PVOID, ULONG, ULONG length,
                                            ULONG, PMDL, PVOID) {
  ClientBehaviour* b = static_cast<ClientBehaviour*>(context);
  ++b->calls;
  b->lengthSeen = length;
  return b->status;
}

NTSTATUS NTAPI ClientConnect(PVOID context, LONG, PVOID, LONG, PVOID, LONG, PVOID,
                             CONNECTION_CONTEXT* connection, PIRP* accept) {
  ClientBehaviour* b = static_cast<ClientBehaviour*>(context);
  ++b->calls;
  *connection = b->connection;
  *accept = b->acceptIrp;
  return b->status;
}

NTSTATUS NTAPI ClientDisconnect(PVOID, CONNECTION_CONTEXT, LONG, PVOID, LONG, PVOID, ULONG) {
  return STATUS_SUCCESS;
}

template <class F>
PVOID Handler(F f) {
  return reinterpret_cast<PVOID>(f);
}

const CONNECTION_CONTEXT kContext = reinterpret_cast<CONNECTION_CONTEXT>(0x5150);

class EventHookTest : public TransportTest {
 protected:
  void openConnected() {
    address_ = client_.openAddress(true, 0, 0);
    connection_ = client_.openConnection(kContext);
    ASSERT_EQ(client_.associate(connection_, address_), STATUS_SUCCESS);
    ASSERT_EQ(client_.connect(connection_, Ip(192, 0, 2, 1), Port(80)), STATUS_SUCCESS);
  }
  void closeAll() {
    if (connection_) client_.close(connection_);
    if (address_) client_.close(address_);
  }
  uint64_t received() { return table().findConnection(connection_)->bytesReceived.read(); }

  PFILE_OBJECT address_ = nullptr;
  PFILE_OBJECT connection_ = nullptr;
};

TEST_F(EventHookTest, ReceiveHookCountsWhatTheClientTookAndTheRequestItReturned) {
  openConnected();
  ClientBehaviour b;
  ASSERT_EQ(client_.setEventHandler(address_, TDI_EVENT_RECEIVE, Handler(ClientReceive), &b), STATUS_SUCCESS);
  EXPECT_NE(transport_->handler(address_, TDI_EVENT_RECEIVE), Handler(ClientReceive))
      << "the transport has the hook";

  b.take = 100;
  transport_->deliver(connection_, 100);
  transport_->flush();
  EXPECT_EQ(b.calls, 1);
  EXPECT_EQ(b.contextSeen, &b) << "the client gets its own context back";
  EXPECT_EQ(received(), 100u);

  b.take = 0;
  b.status = STATUS_MORE_PROCESSING_REQUIRED;
  b.request = ReturnedReceive::make(transport_->tcp(), connection_, 4096, false);
  transport_->deliver(connection_, 4096);
  transport_->flush();
  EXPECT_EQ(received(), 100u + 4096u);
  EXPECT_EQ(b.request->bytes, 4096u) << "the transport filled the returned request";
  b.request->free();
  b.request = nullptr;

  b.status = STATUS_DATA_NOT_ACCEPTED;
  transport_->deliver(connection_, 900);
  transport_->flush();
  EXPECT_EQ(received(), 4196u) << "refused data counts nothing";
  closeAll();
}

// Only the current stack location of a handed-back request tells what it
// receives: a receive of the hook's own kind there counts its length, anything
// else (a request whose prepared location was never made current, another
// operation) counts only what the client took. Both protocols, with the hooks
// called as the transport calls them.
TEST_F(EventHookTest, HandedBackRequestCountsOnlyWhatItsCurrentLocationReceives) {
  openConnected();
  PFILE_OBJECT udp = client_.openAddress(false, 0, Port(500));
  ClientBehaviour tcpClient, udpClient;
  client_.setEventHandler(address_, TDI_EVENT_RECEIVE, Handler(ClientReceive), &tcpClient);
  client_.setEventHandler(udp, TDI_EVENT_RECEIVE_DATAGRAM, Handler(ClientReceiveDatagram), &udpClient);
  PTDI_IND_RECEIVE receiveHook =
      reinterpret_cast<PTDI_IND_RECEIVE>(transport_->handler(address_, TDI_EVENT_RECEIVE));
  PTDI_IND_RECEIVE_DATAGRAM datagramHook =
      reinterpret_cast<PTDI_IND_RECEIVE_DATAGRAM>(transport_->handler(udp, TDI_EVENT_RECEIVE_DATAGRAM));
  enum Kind { OwnReceive, OtherReceive, Send };
  struct Case {
    const char* what;
    bool madeCurrent;
    UCHAR major;
    Kind kind;
    ULONG counted;
  } cases[] = {
      {"a receive made current", true, IRP_MJ_INTERNAL_DEVICE_CONTROL, OwnReceive, 100 + 3996},
      {"prepared but not made current", false, IRP_MJ_INTERNAL_DEVICE_CONTROL, OwnReceive, 100},
      {"the other protocol's receive", true, IRP_MJ_INTERNAL_DEVICE_CONTROL, OtherReceive, 100},
      {"a send", true, IRP_MJ_INTERNAL_DEVICE_CONTROL, Send, 100},
      {"not an internal request", true, IRP_MJ_DEVICE_CONTROL, OwnReceive, 100},
  };
  uint64_t tcpTotal = 0, udpTotal = 0;
  for (const Case& c : cases) {
    for (bool datagram : {false, true}) {
      PIRP irp = IoAllocateIrp(2, FALSE);
      PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
      next->MajorFunction = c.major;
      bool datagramReceive = (c.kind == OwnReceive) == datagram;
      next->MinorFunction = c.kind == Send ? TDI_SEND : datagramReceive ? TDI_RECEIVE_DATAGRAM : TDI_RECEIVE;
      // ReceiveLength is the first parameter of both receive structures.
      reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&next->Parameters)->ReceiveLength = 3996;
      if (c.madeCurrent) IoSetNextIrpStackLocation(irp);
      ClientBehaviour& b = datagram ? udpClient : tcpClient;
      b.status = STATUS_MORE_PROCESSING_REQUIRED;
      b.take = 100;
      b.handedBack = irp;
      ULONG taken = 0;
      PIRP returned = nullptr;
      if (datagram) {
        datagramHook(transport_->handlerContext(udp, TDI_EVENT_RECEIVE_DATAGRAM), 0, nullptr, 0, nullptr, 0,
                     100, 4096, &taken, nullptr, &returned);
        udpTotal += c.counted;
      } else {
        receiveHook(transport_->handlerContext(address_, TDI_EVENT_RECEIVE), kContext, 0, 100, 4096, &taken,
                    nullptr, &returned);
        tcpTotal += c.counted;
      }
      EXPECT_EQ(returned, irp) << c.what;
      IoFreeIrp(irp);
      b.handedBack = nullptr;
    }
    EXPECT_EQ(received(), tcpTotal) << c.what;
    EXPECT_EQ(table().findAddress(udp)->bytesReceived.read(), udpTotal) << c.what;
  }
  client_.close(udp);
  closeAll();
}

// A chained receive belongs to the client when it answers STATUS_SUCCESS or
// STATUS_PENDING (it keeps the chain and returns it later); a refusal counts
// nothing.
TEST_F(EventHookTest, ChainedReceiveCountsWhatTheClientTookOrKept) {
  openConnected();
  ClientBehaviour b;
  client_.setEventHandler(address_, TDI_EVENT_CHAINED_RECEIVE, Handler(ClientChainedReceive), &b);
  transport_->deliver(connection_, 1200);
  transport_->flush();
  EXPECT_EQ(received(), 1200u);
  b.status = STATUS_PENDING;
  transport_->deliver(connection_, 800);
  transport_->flush();
  EXPECT_EQ(received(), 2000u);
  b.status = STATUS_DATA_NOT_ACCEPTED;
  transport_->deliver(connection_, 50);
  transport_->flush();
  EXPECT_EQ(b.calls, 3);
  EXPECT_EQ(received(), 2000u);
  closeAll();
}

// What the client took and the request it handed back are summed in 64 bits.
TEST_F(EventHookTest, ReceiveHookSumsTakenAndReturnedLengthsBeyondFourGigabytes) {
  openConnected();
  ClientBehaviour b;
  client_.setEventHandler(address_, TDI_EVENT_RECEIVE, Handler(ClientReceive), &b);
  b.take = 0xFFFFFF00u;
  b.status = STATUS_MORE_PROCESSING_REQUIRED;
  b.request = ReturnedReceive::make(transport_->tcp(), connection_, 0x200, false);
  transport_->deliver(connection_, 0xFFFFFFFFu);
  transport_->flush();
  EXPECT_EQ(received(), 0xFFFFFF00ull + 0x200ull);
  b.request->free();
  b.request = nullptr;
  closeAll();
}

NTSTATUS NTAPI PairedReceiveA(PVOID context, CONNECTION_CONTEXT, ULONG, ULONG, ULONG, ULONG* taken, PVOID,
                              PIRP*);
NTSTATUS NTAPI PairedReceiveB(PVOID context, CONNECTION_CONTEXT, ULONG, ULONG, ULONG, ULONG* taken, PVOID,
                              PIRP*);
int gPairA, gPairB;
std::atomic<int> gMismatches{0};
NTSTATUS NTAPI PairedReceiveA(PVOID context, CONNECTION_CONTEXT, ULONG, ULONG, ULONG, ULONG* taken, PVOID,
                              PIRP*) {
  if (context != &gPairA) ++gMismatches;
  *taken = 0;
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI PairedReceiveB(PVOID context, CONNECTION_CONTEXT, ULONG, ULONG, ULONG, ULONG* taken, PVOID,
                              PIRP*) {
  if (context != &gPairB) ++gMismatches;
  *taken = 0;
  return STATUS_SUCCESS;
}

// A client that switches between two handlers, each with its own context,
// while the transport calls the hook on another processor: every call of a
// handler comes with that handler's own context.
TEST_F(EventHookTest, HookCallsEachHandlerWithItsOwnContextWhileTheClientSwitches) {
  openConnected();
  client_.setEventHandler(address_, TDI_EVENT_RECEIVE, Handler(PairedReceiveA), &gPairA);
  PTDI_IND_RECEIVE hook =
      reinterpret_cast<PTDI_IND_RECEIVE>(transport_->handler(address_, TDI_EVENT_RECEIVE));
  PVOID record = transport_->handlerContext(address_, TDI_EVENT_RECEIVE);
  SharedRef<vesk::AddressObject> address = table().findAddress(address_);
  gMismatches = 0;
  std::atomic<bool> stop{false};
  std::thread network([&] {
    while (!stop) {
      ULONG taken;
      PIRP irp = nullptr;
      hook(record, kContext, 0, 1, 1, &taken, nullptr, &irp);
    }
  });
  for (int i = 0; i < 200000 && gMismatches == 0; ++i) {
    bool a = i % 2 == 0;
    address->bind(TDI_EVENT_RECEIVE, {a ? Handler(PairedReceiveA) : Handler(PairedReceiveB),
                                      a ? static_cast<PVOID>(&gPairA) : static_cast<PVOID>(&gPairB)});
  }
  stop = true;
  network.join();
  EXPECT_EQ(gMismatches, 0);
  address.reset();
  closeAll();
}

TEST_F(EventHookTest, DatagramHooksCountIntoTheContextRecordEvenWhenItIsNoLongerFiled) {
  address_ = client_.openAddress(false, 0, Port(161));
  ClientBehaviour plain;
  client_.setEventHandler(address_, TDI_EVENT_RECEIVE_DATAGRAM, Handler(ClientReceiveDatagram), &plain);
  plain.take = 60;
  transport_->deliverDatagram(address_, 60, Ip(10, 0, 0, 9), Port(1000));
  transport_->flush();
  plain.take = 0;
  plain.status = STATUS_MORE_PROCESSING_REQUIRED;
  plain.request = ReturnedReceive::make(transport_->udp(), address_, 512, true);
  transport_->deliverDatagram(address_, 500, Ip(10, 0, 0, 9), Port(1000));
  transport_->flush();
  EXPECT_EQ(uint64_t(recordOf(address_).bytesReceived), 60u + 512u) << "a returned request counts in full";
  plain.request->free();
  plain.request = nullptr;

  // Unfiled but still the transport's context: the hook counts into it.
  SharedRef<vesk::AddressObject> record = table().removeAddress(address_);
  ASSERT_TRUE(record);
  plain.status = STATUS_SUCCESS;
  plain.take = 40;
  transport_->deliverDatagram(address_, 40, Ip(10, 0, 0, 9), Port(1000));
  transport_->flush();
  EXPECT_EQ(record->bytesReceived.read(), 612u);
  // The address object closes without a record now: give the client's handler back here.
  RestoreEventHandlers(*record);
  record.reset();
  closeAll();
}

TEST_F(EventHookTest, ChainedDatagramCountsTheDatagramLengthWhenTaken) {
  address_ = client_.openAddress(false, 0, Port(162));
  ClientBehaviour b;
  client_.setEventHandler(address_, TDI_EVENT_CHAINED_RECEIVE_DATAGRAM, Handler(ClientChainedReceiveDatagram),
                          &b);
  transport_->deliverDatagram(address_, 333, Ip(10, 0, 0, 1), Port(9));
  transport_->flush();
  b.status = STATUS_PENDING;  // kept for later: taken too
  transport_->deliverDatagram(address_, 7, Ip(10, 0, 0, 1), Port(9));
  transport_->flush();
  b.status = STATUS_DATA_NOT_ACCEPTED;
  transport_->deliverDatagram(address_, 444, Ip(10, 0, 0, 1), Port(9));
  transport_->flush();
  EXPECT_EQ(b.lengthSeen, 444u);
  EXPECT_EQ(uint64_t(recordOf(address_).bytesReceived), 340u);
  closeAll();
}

TEST_F(EventHookTest, ConnectHookMarksTheHandedBackConnectionConnectedWhateverTheStatus) {
  address_ = client_.openAddress(true, 0, Port(80));
  connection_ = client_.openConnection(kContext);
  ASSERT_EQ(client_.associate(connection_, address_), STATUS_SUCCESS);
  ClientBehaviour b;
  b.status = STATUS_CONNECTION_REFUSED;
  b.connection = kContext;
  client_.setEventHandler(address_, TDI_EVENT_CONNECT, Handler(ClientConnect), &b);
  transport_->connectFrom(address_, Ip(203, 0, 113, 5), Port(50000));
  transport_->flush();
  EXPECT_EQ(b.calls, 1);
  ActivityRecord r = recordOf(connection_);
  EXPECT_EQ(r.state, ULONG(Connected));
  EXPECT_EQ(r.remoteAddress, Ip(203, 0, 113, 5));
  EXPECT_EQ(r.remotePort, Port(50000));
  closeAll();
}

TEST_F(EventHookTest, NullHandlerIsStoredWithoutAHookAndNotRestored) {
  address_ = client_.openAddress(true, 0, 0);
  ClientBehaviour b;
  client_.setEventHandler(address_, TDI_EVENT_RECEIVE, Handler(ClientReceive), &b);
  client_.setEventHandler(address_, TDI_EVENT_RECEIVE, nullptr, nullptr);
  EXPECT_EQ(transport_->handler(address_, TDI_EVENT_RECEIVE), nullptr);
  EXPECT_FALSE(table().findAddress(address_)->hasHandler(TDI_EVENT_RECEIVE));
  size_t settings = transport_->eventSettings().size();
  client_.close(address_);
  address_ = nullptr;
  EXPECT_EQ(transport_->eventSettings().size(), settings) << "nothing to restore";
}

TEST_F(EventHookTest, OtherEventTypesReachTheTransportUnchangedAndAreNotStored) {
  address_ = client_.openAddress(true, 0, 0);
  int context = 0;
  for (LONG type : {TDI_EVENT_DISCONNECT, TDI_EVENT_ERROR, TDI_EVENT_RECEIVE_EXPEDITED,
                    TDI_EVENT_SEND_POSSIBLE, TDI_EVENT_CHAINED_RECEIVE_EXPEDITED, TDI_EVENT_ERROR_EX}) {
    client_.setEventHandler(address_, type, Handler(ClientDisconnect), &context);
    EXPECT_EQ(transport_->handler(address_, type), Handler(ClientDisconnect)) << type;
    EXPECT_EQ(transport_->handlerContext(address_, type), &context) << type;
    EXPECT_FALSE(table().findAddress(address_)->hasHandler(type)) << type;
  }
  closeAll();
}

// At close the client's own handlers go back to the transport, in type order,
// before the close itself.
TEST_F(EventHookTest, CloseRestoresTheClientsHandlersBeforeTheCloseGoesDown) {
  address_ = client_.openAddress(true, 0, 0);
  ClientBehaviour receive, connect;
  client_.setEventHandler(address_, TDI_EVENT_RECEIVE, Handler(ClientReceive), &receive);
  client_.setEventHandler(address_, TDI_EVENT_CONNECT, Handler(ClientConnect), &connect);
  client_.close(address_);
  address_ = nullptr;
  std::vector<TdiTransport::EventSetting> s = transport_->eventSettings();
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[2].type, TDI_EVENT_CONNECT);
  EXPECT_EQ(s[2].handler, Handler(ClientConnect));
  EXPECT_EQ(s[2].context, &connect);
  EXPECT_EQ(s[3].type, TDI_EVENT_RECEIVE);
  EXPECT_EQ(s[3].handler, Handler(ClientReceive));
  EXPECT_EQ(s[3].context, &receive);
}

TEST_F(EventHookTest, HookWhoseClientHandlerWasClearedMeanwhileCallsNothing) {
  openConnected();
  ClientBehaviour b;
  client_.setEventHandler(address_, TDI_EVENT_RECEIVE, Handler(ClientReceive), &b);
  // The window between storing a cleared handler and the transport taking it.
  table().findAddress(address_)->bind(TDI_EVENT_RECEIVE, {nullptr, nullptr});
  transport_->deliver(connection_, 50);
  transport_->flush();
  EXPECT_EQ(b.calls, 0);
  EXPECT_EQ(received(), 0u);
  hostkernel::PendingRequest* receive = client_.beginReceive(connection_, 100);
  EXPECT_EQ(hostkernel::endRequest(receive).information, 50u) << "the refused data waits for a receive";
  closeAll();
}

// Answered at once or later (then the completion routine marks the request
// pending, or the sender sees STATUS_PENDING on a request never marked).
TEST_F(EventHookTest, DirectSendHooksCountAndCallEachTransportsOwnRoutine) {
  for (int later = 0; later < 2; ++later) {
    transport_->answerQueriesLater(later);
    openConnected();
    PFILE_OBJECT udp = client_.openAddress(false, 0, Port(53));
    PVOID tcpSend = client_.queryDirectSend(connection_, false);
    PVOID udpSend = client_.queryDirectSend(udp, true);
    PVOID tcpDatagram = client_.queryDirectSend(connection_, true);
    EXPECT_NE(tcpSend, TdiTransport::directSendRoutine(true, false)) << "the socket layer gets the hook";
    EXPECT_NE(udpSend, TdiTransport::directSendRoutine(false, true));
    EXPECT_NE(tcpSend, tcpDatagram);

    EXPECT_EQ(client_.directSend(tcpSend, connection_, 1000, false), STATUS_SUCCESS);
    EXPECT_EQ(client_.directSend(udpSend, udp, 200, true), STATUS_SUCCESS);
    EXPECT_EQ(transport_->directSends(true), 1 + later) << "TCP's routine ran for the TCP send";
    EXPECT_EQ(transport_->directSends(false), 1 + later) << "UDP's routine ran for the UDP datagram";
    EXPECT_EQ(table().findConnection(connection_)->bytesSent.read(), 1000u);
    EXPECT_EQ(uint64_t(recordOf(udp).bytesSent), 200u);
    EXPECT_EQ(transport_->bytesSentOn(connection_), 1000u);
    client_.close(udp);
    closeAll();
  }
}

TEST_F(EventHookTest, DirectSendQueryFromUserModeIsNotHooked) {
  openConnected();
  EXPECT_EQ(client_.queryDirectSend(connection_, false, UserMode),
            TdiTransport::directSendRoutine(true, false));
  EXPECT_EQ(vesk::gActivityDriver->tcp().savedDirectSend, nullptr);
  closeAll();
}

struct BlockingDatagramClient {
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
};

NTSTATUS NTAPI BlockingDatagram(PVOID context, LONG, PVOID, LONG, PVOID, ULONG, ULONG indicated, ULONG,
                                ULONG* taken, PVOID, PIRP* irp) {
  BlockingDatagramClient* c = static_cast<BlockingDatagramClient*>(context);
  c->entered = true;
  while (!c->release.load()) std::this_thread::yield();
  *taken = indicated;
  *irp = nullptr;
  return STATUS_SUCCESS;
}

// While the client's handler runs, the hook's own reference is all that keeps
// the record alive once the table has let it go.
TEST_F(EventHookTest, HookHoldsTheRecordWhileTheClientHandlerRuns) {
  address_ = client_.openAddress(false, 0, Port(9999));
  BlockingDatagramClient client;
  client_.setEventHandler(address_, TDI_EVENT_RECEIVE_DATAGRAM, Handler(BlockingDatagram), &client);
  const size_t before = hostkernel::poolInUse(vesk::kPoolTag).blocks;
  transport_->deliverDatagram(address_, 10, Ip(10, 0, 0, 1), Port(1));
  while (!client.entered.load()) std::this_thread::yield();
  table().removeAddress(address_);  // the table's reference goes; nobody else holds one
  client.release = true;
  transport_->flush();
  EXPECT_EQ(hostkernel::poolInUse(vesk::kPoolTag).blocks, before - 2)
      << "record and node freed after the hook";
  closeAll();
}

// One conversation of each protocol in which an indication has read the hook
// and its context on another processor before the client's cleanup gave the
// handlers back, and calls the hook only once that cleanup has completed, or
// even while the close is under way (the transport lets it, until the close
// completes). `counted` is what the client's receive handler saw, through the
// hook or directly.
class IndicationAcrossCleanup {
 public:
  IndicationAcrossCleanup(TdiTransport& transport, SocketClient& client)
      : transport_(transport), client_(client) {}

  // `beforeCleanup` runs while the indication waits.
  void run(bool tcp, const std::function<void()>& beforeCleanup = {}, bool duringClose = false) {
    PFILE_OBJECT address = client_.openAddress(tcp, 0, tcp ? 0 : Port(700));
    PFILE_OBJECT connection = nullptr;
    if (tcp) {
      connection = client_.openConnection(kContext);
      client_.associate(connection, address);
      client_.connect(connection, Ip(192, 0, 2, 1), Port(80));
    }
    ClientBehaviour b;
    b.take = 300;
    client_.setEventHandler(address, tcp ? TDI_EVENT_RECEIVE : TDI_EVENT_RECEIVE_DATAGRAM,
                            tcp ? Handler(ClientReceive) : Handler(ClientReceiveDatagram), &b);
    transport_.holdIndications(true);
    if (tcp)
      transport_.deliver(connection, 300);
    else
      transport_.deliverDatagram(address, 300, Ip(10, 0, 0, 1), Port(9));
    transport_.waitForHeldIndication();
    if (beforeCleanup) beforeCleanup();
    // As the socket layer closes a socket: the connection lets go of its
    // address object first, so nothing of the driver's holds that record but
    // the table.
    if (connection) client_.disassociate(connection);
    client_.cleanup(address);
    if (duringClose) {
      std::thread closer([&] { client_.finishClose(address); });
      transport_.waitForCloseWaiting();
      transport_.holdIndications(false);
      closer.join();
    } else {
      transport_.holdIndications(false);
      transport_.flush();
      client_.finishClose(address);
    }
    transport_.flush();
    counted = b.calls == 1 ? b.lengthSeen : 0;
    if (connection) client_.close(connection);
    hostkernel::drainWorkItems();
  }

  ULONG counted = 0;

 private:
  TdiTransport& transport_;
  SocketClient& client_;
};

// The record is there for that late call, after the cleanup or during the
// close, whether the client's handlers went back at the cleanup or could not
// be given back (no request to do it with), and it is freed once the close
// has completed.
TEST_F(EventHookTest, IndicationStillUnderWayAfterTheCleanupFindsItsRecord) {
  IndicationAcrossCleanup conversation(*transport_, client_);
  const size_t before = hostkernel::poolInUse(vesk::kPoolTag).blocks;
  struct Case {
    bool tcp;
    bool restoreFails;
    bool duringClose;
  } cases[] = {{true, false, false},  {true, true, false},  {true, false, true},
               {false, false, false}, {false, true, false}, {false, true, true}};
  for (const Case& c : cases) {
    size_t settings = transport_->eventSettings().size();
    conversation.run(
        c.tcp,
        [&] {
          if (c.restoreFails) hostkernel::failCall(hostkernel::Call::IoBuildDeviceIoControlRequest);
        },
        c.duringClose);
    EXPECT_EQ(conversation.counted, 300u) << c.tcp << c.restoreFails << c.duringClose;
    EXPECT_EQ(transport_->eventSettings().size() - settings, c.restoreFails ? 1u : 2u)
        << "the registration, and the restoration unless it failed";
    EXPECT_EQ(hostkernel::poolInUse(vesk::kPoolTag).blocks, before)
        << c.tcp << c.restoreFails << c.duringClose;
  }
}

// The same conversations with the Nth call of IoBuildDeviceIoControlRequest,
// or of the pool, failing, for every N they make: whatever bookkeeping that
// costs, nothing is used after it is freed and nothing is left behind.
TEST_F(EventHookTest, NoCallFailingAnywhereInTheConversationLeavesAFreedRecordInUse) {
  IndicationAcrossCleanup conversation(*transport_, client_);
  const size_t before = hostkernel::poolInUse(vesk::kPoolTag).blocks;
  for (hostkernel::Call call :
       {hostkernel::Call::IoBuildDeviceIoControlRequest, hostkernel::Call::ExAllocatePoolWithTag}) {
    for (bool tcp : {true, false}) {
      size_t start = hostkernel::callsMade(call);
      conversation.run(tcp);
      const size_t made = hostkernel::callsMade(call) - start;
      ASSERT_GT(made, 0u);
      for (unsigned n = 0; n < made; ++n) {
        hostkernel::failCall(call, STATUS_INSUFFICIENT_RESOURCES, n, 1);
        conversation.run(tcp);
        hostkernel::failCall(call, STATUS_SUCCESS, 0, 0);
        EXPECT_EQ(conversation.counted, 300u) << "call " << n << " failing: the client still got its data";
        EXPECT_EQ(hostkernel::poolInUse(vesk::kPoolTag).blocks, before) << "call " << n << " failing";
      }
    }
  }
}

TEST_F(EventHookTest, DirectSendHookWithoutASavedRoutineAnswersItself) {
  openConnected();
  PVOID hook = client_.queryDirectSend(connection_, false);
  vesk::gActivityDriver->tcp().savedDirectSend = nullptr;
  EXPECT_EQ(client_.directSend(hook, connection_, 10, false), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(transport_->directSends(true), 0);
  closeAll();
}

}  // namespace
