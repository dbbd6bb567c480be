// Whole conversations through the loaded driver and the transport, checked by
// what the activity query reports afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "transport_fixture.h"

namespace {

const CONNECTION_CONTEXT kClientContext = reinterpret_cast<CONNECTION_CONTEXT>(0xC0DE);

struct Receiver {
  ULONG take = 0;
  ReturnedReceive* request = nullptr;
  std::atomic<bool> entered{false};
  std::atomic<bool> release{true};
};

NTSTATUS NTAPI ReceiveHandler(PVOID context, CONNECTION_CONTEXT, ULONG, ULONG indicated, ULONG, ULONG* taken,
                              PVOID, PIRP* irp) {
  Receiver* r = static_cast<Receiver*>(context);
  r->entered = true;
  while (!r->release.load()) std::this_thread::yield();
  *taken = std::min(r->take, indicated);
  *irp = r->request ? r->request->irp : nullptr;
  return r->request ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
}

struct Acceptor {
  CONNECTION_CONTEXT context;
  ReturnedReceive* unused = nullptr;
  PIRP accept = nullptr;
};

NTSTATUS NTAPI ConnectHandler(PVOID context, LONG, PVOID, LONG, PVOID, LONG, PVOID,
                              CONNECTION_CONTEXT* connection, PIRP* accept) {
  Acceptor* a = static_cast<Acceptor*>(context);
  *connection = a->context;
  *accept = a->accept;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

struct DatagramReceiver {
  ULONG take;
};

NTSTATUS NTAPI DatagramHandler(PVOID context, LONG, PVOID, LONG, PVOID, ULONG, ULONG indicated, ULONG,
                               ULONG* taken, PVOID, PIRP* irp) {
  *taken = std::min(static_cast<DatagramReceiver*>(context)->take, indicated);
  *irp = nullptr;
  return STATUS_SUCCESS;
}

// An accept request a listening client hands back from its connect handler,
// made current for the transport as a receive request is.
PIRP AcceptRequest(PDEVICE_OBJECT transport, PFILE_OBJECT connection) {
  PIRP irp = IoAllocateIrp(transport->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->MinorFunction = TDI_ACCEPT;
  next->DeviceObject = transport;
  next->FileObject = connection;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr,
      TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp);
  return irp;
}

class ScenarioTest : public TransportTest {};

TEST_F(ScenarioTest, TcpClientConnectsSendsAndReceivesByEventAndByRequest) {
  PFILE_OBJECT address = client_.openAddress(true, 0, 0);
  PFILE_OBJECT connection = client_.openConnection(kClientContext);
  ASSERT_EQ(client_.associate(connection, address), STATUS_SUCCESS);
  Receiver receiver;
  ASSERT_EQ(
      client_.setEventHandler(address, TDI_EVENT_RECEIVE, reinterpret_cast<PVOID>(ReceiveHandler), &receiver),
      STATUS_SUCCESS);
  ASSERT_EQ(client_.connect(connection, Ip(93, 184, 216, 34), Port(80)), STATUS_SUCCESS);
  EXPECT_EQ(client_.send(connection, 3000).information, 3000u);

  // 2500 bytes arrive: the handler takes 1000 and hands back a request for the rest.
  receiver.take = 1000;
  receiver.request = ReturnedReceive::make(transport_->tcp(), connection, 1500, false);
  transport_->deliver(connection, 2500);
  transport_->flush();
  EXPECT_EQ(receiver.request->bytes, 1500u);
  receiver.request->free();
  receiver.request = nullptr;
  // Then a receive request of the client's own.
  client_.setEventHandler(address, TDI_EVENT_RECEIVE, nullptr, nullptr);
  hostkernel::PendingRequest* receive = client_.beginReceive(connection, 4096);
  transport_->deliver(connection, 700);
  EXPECT_EQ(hostkernel::endRequest(receive).information, 700u);

  std::vector<ActivityRecord> records = activity();
  ASSERT_EQ(records.size(), 1u);
  const ActivityRecord& r = records[0];
  EXPECT_EQ(r.fileObject, uint32_t(reinterpret_cast<ULONG_PTR>(connection)));
  EXPECT_EQ(r.protocol, 6u);
  EXPECT_EQ(r.processId, kClientProcess);
  EXPECT_EQ(r.localAddress, 0u);
  EXPECT_EQ(r.localPort, Port(1025));
  EXPECT_EQ(r.remoteAddress, Ip(93, 184, 216, 34));
  EXPECT_EQ(r.remotePort, Port(80));
  EXPECT_EQ(uint64_t(r.bytesSent), 3000u);
  EXPECT_EQ(uint64_t(r.bytesReceived), 1000u + 1500u + 700u);
  EXPECT_EQ(r.state, ULONG(Connected));
  EXPECT_EQ(transport_->bytesReceivedOn(connection), 3200u) << "what the client got is what was counted";

  client_.close(connection);
  client_.close(address);
  EXPECT_TRUE(activity().empty());
}

TEST_F(ScenarioTest, ListenerAcceptsThroughTheConnectEvent) {
  PFILE_OBJECT address = client_.openAddress(true, 0, Port(8080));
  PFILE_OBJECT connection = client_.openConnection(kClientContext);
  ASSERT_EQ(client_.associate(connection, address), STATUS_SUCCESS);
  Receiver receiver;
  Acceptor acceptor{kClientContext};
  acceptor.accept = AcceptRequest(transport_->tcp(), connection);
  client_.setEventHandler(address, TDI_EVENT_CONNECT, reinterpret_cast<PVOID>(ConnectHandler), &acceptor);
  client_.setEventHandler(address, TDI_EVENT_RECEIVE, reinterpret_cast<PVOID>(ReceiveHandler), &receiver);

  ActivityRecord waiting = recordOf(connection);
  EXPECT_EQ(waiting.state, ULONG(Listening))
      << "an associated connection of an address that receives is listening";
  EXPECT_EQ(waiting.localPort, Port(8080));

  transport_->connectFrom(address, Ip(198, 51, 100, 20), Port(61000));
  transport_->flush();
  EXPECT_TRUE(transport_->connected(connection));
  ActivityRecord r = recordOf(connection);
  EXPECT_EQ(r.state, ULONG(Connected));
  EXPECT_EQ(r.remoteAddress, Ip(198, 51, 100, 20));
  EXPECT_EQ(r.remotePort, Port(61000));
  IoFreeIrp(acceptor.accept);

  receiver.take = 64;
  transport_->deliver(connection, 64);
  transport_->flush();
  EXPECT_EQ(uint64_t(recordOf(connection).bytesReceived), 64u);
  client_.close(connection);
  client_.close(address);
}

TEST_F(ScenarioTest, UdpDatagramsBothWaysThroughRequestsAndEvents) {
  PFILE_OBJECT udp = client_.openAddress(false, Ip(10, 0, 0, 5), Port(5353));
  EXPECT_EQ(client_.sendDatagram(udp, 120, Ip(224, 0, 0, 251), Port(5353)).status, STATUS_SUCCESS);
  PVOID direct = client_.queryDirectSend(udp, true);
  EXPECT_EQ(client_.directSend(direct, udp, 80, true), STATUS_SUCCESS);

  hostkernel::PendingRequest* receive = client_.beginReceiveDatagram(udp, 1500);
  transport_->deliverDatagram(udp, 300, Ip(10, 0, 0, 7), Port(5353));
  EXPECT_EQ(hostkernel::endRequest(receive).information, 300u);
  DatagramReceiver events{200};
  client_.setEventHandler(udp, TDI_EVENT_RECEIVE_DATAGRAM, reinterpret_cast<PVOID>(DatagramHandler), &events);
  transport_->deliverDatagram(udp, 200, Ip(10, 0, 0, 8), Port(5353));
  transport_->flush();

  std::vector<ActivityRecord> records = activity();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].protocol, 17u);
  EXPECT_EQ(records[0].processId, kClientProcess);
  EXPECT_EQ(records[0].localAddress, Ip(10, 0, 0, 5));
  EXPECT_EQ(records[0].localPort, Port(5353));
  EXPECT_EQ(uint64_t(records[0].bytesSent), 200u);
  EXPECT_EQ(uint64_t(records[0].bytesReceived), 500u);
  client_.close(udp);
}

// The client closes its address object while the transport is inside its
// receive handler on another processor: the handlers go back to the client's
// own, the hook finishes on the record it holds, and nothing is left behind.
TEST_F(ScenarioTest, ClientClosesWhileAnEventIsInFlight) {
  PFILE_OBJECT address = client_.openAddress(true, 0, 0);
  PFILE_OBJECT connection = client_.openConnection(kClientContext);
  ASSERT_EQ(client_.associate(connection, address), STATUS_SUCCESS);
  ASSERT_EQ(client_.connect(connection, Ip(192, 0, 2, 2), Port(25)), STATUS_SUCCESS);
  Receiver receiver;
  receiver.take = 512;
  receiver.release = false;
  client_.setEventHandler(address, TDI_EVENT_RECEIVE, reinterpret_cast<PVOID>(ReceiveHandler), &receiver);
  transport_->deliver(connection, 512);
  while (!receiver.entered.load()) std::this_thread::yield();

  std::thread closer([&] { client_.close(address); });
  // The restoration reaches the transport before the close, which then waits
  // for the handler still running. Bounded: a driver that restores only at
  // the close would never get there while the handler runs.
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (transport_->eventSettings().size() < 2 && std::chrono::steady_clock::now() < limit)
    std::this_thread::yield();
  std::vector<TdiTransport::EventSetting> settings = transport_->eventSettings();
  EXPECT_GE(settings.size(), 2u) << "the handlers were not restored while the handler ran";
  if (settings.size() >= 2) {
    EXPECT_EQ(settings[1].handler, reinterpret_cast<PVOID>(ReceiveHandler));
    EXPECT_EQ(settings[1].context, &receiver);
  }
  EXPECT_FALSE(table().findAddress(address)) << "the record has left the table";
  receiver.release = true;
  closer.join();
  transport_->flush();

  EXPECT_EQ(table().findConnection(connection)->bytesReceived.read(), 512u);
  client_.close(connection);
}

}  // namespace
