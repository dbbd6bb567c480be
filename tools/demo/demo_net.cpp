// demo_net: the network traffic behind the demo's pictures of the TCP/IP
// page in driver mode. Through the TDI test transport, with vesk.sys loaded
// above it, it opens TCP connections, a listener and a UDP address in its own
// name (so the page shows them as this program's) and then, every 100 ms
// until the event VeskDemoTraffic.Stop is set, has bytes arrive on them and
// sends bytes on them, at a steady rate of its own for each. The event
// VeskDemoTraffic.Ready is set once every endpoint is up. Both events are
// made by the program that starts this one. Exits with 0 once stopped.
#include <windows.h>

#include <cstdio>
#include <vector>

#include "test_network.h"

namespace {

using demo::Ip;
using demo::Port;
using namespace testtdi;

constexpr DWORD kStepMs = 100;
constexpr int32_t kStatusPending = 0x103;
constexpr uint32_t kTcp = 6, kUdp = 17;
// TDI event types.
constexpr uint32_t kConnectEvent = 0, kReceiveEvent = 3, kReceiveDatagramEvent = 4;

// One endpoint's traffic: bytes arriving and bytes sent at each step; a UDP
// address exchanges datagrams with its peer.
struct Flow {
  uint32_t handle;
  bool datagram;
  uint32_t inPerStep, outPerStep;
  uint32_t peer, peerPort;
};

class Traffic {
 public:
  bool HasTransport() const { return network_.IsOpen(); }

  // Opens everything; false (with a message) when the transport refuses.
  bool Open() {
    // Outgoing connections, each on an address of its own.
    uint32_t download = Outgoing(demo::kDownloadAddress, Port(80));
    uint32_t upload = Outgoing(demo::kUploadAddress, Port(443));
    uint32_t control = Outgoing(Ip(198, 51, 100, 25), Port(21));
    if (!ok_ || !Check(Call(kCompleteConnects), "the connects did not complete")) return false;
    flows_.push_back({download, false, 960, 40, 0, 0});
    flows_.push_back({upload, false, 30, 500, 0, 0});
    flows_.push_back({control, false, 8, 4, 0, 0});

    // A server: one connection accepted through the connect event, another
    // waiting in a listen (the page's "Listening" row).
    uint32_t listener = Address(kTcp, 0, Port(8080));
    uint32_t accepted = Connection(0x11);
    uint32_t waiting = Connection(0x12);
    Check(Call(kAssociate, accepted, 0, listener), "cannot associate the accepted connection");
    Check(Call(kAssociate, waiting, 0, listener), "cannot associate the listening connection");
    Check(Call(kSetEventHandler, listener, kConnectEvent, accepted, 0, 0, 0x11), "no connect handler");
    Check(Call(kSetEventHandler, listener, kReceiveEvent), "no receive handler on the listener");
    Check(Call(kArriveConnect, listener, 0, 0, Ip(203, 0, 113, 5), Port(50412)), "no connection arrived");
    Pending(Call(kListen, waiting), "the listen");
    flows_.push_back({accepted, false, 120, 700, 0, 0});

    // A connect that the network never answers: "Connecting".
    Outgoing(Ip(192, 0, 2, 200), Port(25));

    // A UDP client exchanging datagrams with its name server.
    uint32_t udp = Address(kUdp, 0, Port(1030));
    Check(Call(kSetEventHandler, udp, kReceiveDatagramEvent), "no datagram handler");
    flows_.push_back({udp, true, 64, 24, Ip(198, 51, 100, 53), Port(53)});
    return ok_;
  }

  // One step of every flow; false once the transport fails.
  bool Step() {
    for (const Flow& flow : flows_) {
      if (flow.datagram) {
        Check(Call(kArriveDatagram, flow.handle, flow.inPerStep, 0, flow.peer, flow.peerPort),
              "no datagram arrived");
        Check(Call(kSendDatagram, flow.handle, flow.outPerStep, 0, flow.peer, flow.peerPort),
              "cannot send a datagram");
      } else {
        Check(Call(kArriveData, flow.handle, flow.inPerStep), "no data arrived");
        Check(Call(kSend, flow.handle, flow.outPerStep), "cannot send");
      }
    }
    return ok_;
  }

  void Close() {
    for (auto handle = opened_.rbegin(); handle != opened_.rend(); ++handle) Call(kClose, *handle);
    opened_.clear();
  }

 private:
  Reply Call(uint32_t code, uint32_t handle = 0, uint32_t bytes = 0, uint32_t handle2 = 0,
             uint32_t address = 0, uint32_t port = 0, uint32_t context = 0, uint32_t protocol = 0) {
    Op op = {code, handle, handle2, address, port, bytes, protocol, context};
    return network_.Run(op);
  }
  bool Check(const Reply& reply, const char* what) { return Expect(reply, 0, what); }
  bool Pending(const Reply& reply, const char* what) { return Expect(reply, kStatusPending, what); }
  bool Expect(const Reply& reply, int32_t status, const char* what) {
    if (reply.status == status) return true;
    if (ok_)
      std::fprintf(stderr, "demo_net: %s (status 0x%08lX)\n", what, static_cast<unsigned long>(reply.status));
    ok_ = false;
    return false;
  }
  uint32_t Open(uint32_t protocol) {
    Reply reply = Call(kOpen, 0, 0, 0, 0, 0, 0, protocol);
    if (!Check(reply, protocol == kTcp ? "cannot open \\Device\\Tcp" : "cannot open \\Device\\Udp")) return 0;
    opened_.push_back(reply.value);
    return reply.value;
  }
  uint32_t Address(uint32_t protocol, uint32_t address, uint32_t port) {
    uint32_t handle = Open(protocol);
    Check(Call(kCreateAddress, handle, 0, 0, address, port), "cannot create an address");
    return handle;
  }
  uint32_t Connection(uint32_t context) {
    uint32_t handle = Open(kTcp);
    Check(Call(kCreateConnection, handle, 0, 0, 0, 0, context), "cannot create a connection");
    return handle;
  }
  // A connection on an address of its own (the transport picks its port),
  // connecting to the remote end; the connect stays pending until the
  // network answers it.
  uint32_t Outgoing(uint32_t remote, uint32_t remotePort) {
    uint32_t address = Address(kTcp, demo::kLocalAddress, 0);
    uint32_t connection = Connection(0x20 + uint32_t(opened_.size()));
    Check(Call(kAssociate, connection, 0, address), "cannot associate a connection");
    Check(Call(kSetEventHandler, address, kReceiveEvent), "no receive handler");
    Pending(Call(kConnect, connection, 0, 0, remote, remotePort), "the connect");
    return connection;
  }

  demo::TestNetwork network_;
  std::vector<uint32_t> opened_;
  std::vector<Flow> flows_;
  bool ok_ = true;
};

}  // namespace

int wmain() {
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, demo::kTrafficReady);
  HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, demo::kTrafficStop);
  if (!ready || !stop) {
    std::fprintf(stderr, "demo_net: the events VeskDemoTraffic.Ready and .Stop do not exist\n");
    return 2;
  }
  Traffic traffic;
  if (!traffic.HasTransport()) {
    std::fprintf(stderr, "demo_net: no test transport (\\\\.\\VeskTestTdi): error %lu\n", GetLastError());
    return 1;
  }
  bool running = traffic.Open();
  if (running) SetEvent(ready);
  // Steps on a fixed schedule, so that each flow's rate stays steady.
  DWORD next = GetTickCount();
  while (running) {
    next += kStepMs;
    LONG ahead = LONG(next - GetTickCount());
    if (WaitForSingleObject(stop, ahead > 0 ? DWORD(ahead) : 0) != WAIT_TIMEOUT) break;
    running = traffic.Step();
  }
  traffic.Close();
  return running ? 0 : 1;
}
