// Two processors count on the same counters while a third queries and a fourth
// churns other records: totals stay exact and no query ever sees a torn count.
// Each addition of the send step changes both 32-bit halves of the counter,
// so a read torn in two (as a plain 64-bit read is on x86) is off the step's
// grid, and an addition that is not atomic loses the other writer's.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "driver_fixture.h"
#include "shared/activity_protocol.h"

namespace {

using vesk::SharedRef;

PFILE_OBJECT File(ULONG_PTR value) { return reinterpret_cast<PFILE_OBJECT>(value); }

class StressTest : public DriverTest {};

TEST_F(StressTest, ConcurrentCountingQueryingAndChurn) {
  // Counters start just below a 32-bit boundary so the adds carry into the
  // upper half, where a torn read would show.
  const uint64_t start = 0xFFFFFF00u;
  const int adds = 1000000;
  const uint32_t sendStep = 0xFFFFFFFFu, receiveStep = 0x9E3779B9u;
  PFILE_OBJECT tcpAddress = File(0x1000), connection = File(0x2000), udp = File(0x3000);
  {
    hostkernel::CurrentProcess process(42);
    table().addAddress(tcpAddress, 6, 0, 0);
    table().addAddress(udp, 17, 0, 0);
    table().addConnection(connection, 1);
    SharedRef<vesk::ConnectionObject> c = table().findConnection(connection);
    table().associate(*c, table().findAddress(tcpAddress));
    c->state = Connected;
    c->bytesSent.add(uint32_t(start));
    c->bytesReceived.add(uint32_t(start));
    table().findAddress(udp)->bytesSent.add(uint32_t(start));
    table().findAddress(udp)->bytesReceived.add(uint32_t(start));
  }

  std::atomic<bool> counting{true};
  std::atomic<int> bad{0}, queries{0}, churns{0}, writersReady{0};
  // The counters start moving once the querier and the churner are running.
  auto waitForOthers = [&] {
    while (queries.load() == 0 || churns.load() == 0) std::this_thread::yield();
  };
  // Two writers on every counter: a send request and a direct send on two
  // processors, a receive completion and a receive event.
  auto writer = [&](bool raised) {
    SharedRef<vesk::ConnectionObject> c = table().findConnection(connection);
    SharedRef<vesk::AddressObject> u = table().findAddress(udp);
    waitForOthers();
    // Both writers start together, so that their additions overlap.
    ++writersReady;
    while (writersReady.load() < 2) std::this_thread::yield();
    KIRQL old = PASSIVE_LEVEL;
    if (raised) KeRaiseIrql(DISPATCH_LEVEL, &old);  // completion routines run there
    for (int i = 0; i < adds; ++i) {
      c->bytesSent.add(sendStep);
      c->bytesReceived.add(receiveStep);
      u->bytesSent.add(sendStep);
      u->bytesReceived.add(receiveStep);
    }
    if (raised) KeLowerIrql(old);
  };
  const uint32_t steps[2] = {sendStep, receiveStep};
  // A value seen for counter k (0 sent, 1 received) of a record whose last
  // seen value is `last`: never smaller, always on the step's grid.
  auto check = [&](uint64_t value, int k, uint64_t& last) {
    if (value < last || (value - start) % steps[k] != 0) ++bad;
    last = value;
  };
  auto querier = [&] {
    hostkernel::OpenResult open = hostkernel::openFile(u"\\DosDevices\\Vesk");
    SharedRef<vesk::ConnectionObject> c = table().findConnection(connection);
    uint64_t last[4] = {start, start, start, start}, direct[2] = {start, start};
    while (counting.load()) {
      // The counter's own reads, many between two queries: a torn read is
      // a matter of nanoseconds.
      for (int i = 0; i < 1000; ++i) {
        check(c->bytesSent.read(), 0, direct[0]);
        check(c->bytesReceived.read(), 1, direct[1]);
      }
      std::vector<uint8_t> out;
      hostkernel::deviceIoControl(open.file, IOCTL_QUERY_ACTIVITY, {}, out, 45056);
      ++queries;
      for (size_t at = 0; at + sizeof(ActivityRecord) <= out.size(); at += sizeof(ActivityRecord)) {
        ActivityRecord r;
        std::memcpy(&r, &out[at], sizeof r);
        int slot;
        if (r.fileObject == 0x2000)
          slot = 0;
        else if (r.fileObject == 0x3000)
          slot = 2;
        else
          continue;
        check(r.bytesSent, 0, last[slot]);
        check(r.bytesReceived, 1, last[slot + 1]);
      }
    }
    hostkernel::closeFile(open.file);
  };
  auto churner = [&] {
    hostkernel::CurrentProcess process(43);
    for (ULONG_PTR i = 0; counting.load(); i = (i + 1) % 64) {
      PFILE_OBJECT a = File(0x100000 + 0x10 * i), c = File(0x200000 + 0x10 * i);
      table().addAddress(a, i % 2 ? 6 : 17, 0, 0);
      table().addConnection(c, 0x200000 + i);
      if (SharedRef<vesk::ConnectionObject> record = table().findConnection(c)) {
        table().associate(*record, table().findAddress(a));
        record->state = Connected;
        if (i % 3 == 0) table().disassociate(*record);
      }
      if (i % 2) {
        table().removeConnection(c);
        table().removeAddress(a);
      }
      ++churns;
    }
  };

  std::thread q(querier), ch(churner), w1(writer, false), w2(writer, true);
  w1.join();
  w2.join();
  counting = false;
  q.join();
  ch.join();

  EXPECT_EQ(bad.load(), 0) << "a query saw a torn or shrinking counter";
  EXPECT_GT(queries.load(), 1);
  const uint64_t sent = start + 2 * uint64_t(adds) * sendStep,
                 received = start + 2 * uint64_t(adds) * receiveStep;
  EXPECT_EQ(table().findConnection(connection)->bytesSent.read(), sent) << "an addition was lost";
  EXPECT_EQ(table().findConnection(connection)->bytesReceived.read(), received);
  EXPECT_EQ(table().findAddress(udp)->bytesSent.read(), sent);
  EXPECT_EQ(table().findAddress(udp)->bytesReceived.read(), received);
}

}  // namespace
