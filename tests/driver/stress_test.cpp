// Two processors count on the same records while a third queries and a fourth
// churns other records: totals stay exact and no query ever sees a torn count.
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
  const int adds = 60000;
  const uint32_t sendStep = 7, receiveStep = 5;
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
  std::atomic<int> bad{0}, queries{0}, churns{0};
  // The counters start moving once the querier and the churner are running.
  auto waitForOthers = [&] {
    while (queries.load() == 0 || churns.load() == 0) std::this_thread::yield();
  };
  auto sender = [&] {
    waitForOthers();
    for (int i = 0; i < adds; ++i) {
      table().findConnection(connection)->bytesSent.add(sendStep);
      table().findAddress(udp)->bytesSent.add(sendStep);
    }
  };
  auto receiver = [&] {
    waitForOthers();
    hostkernel::AtDispatchLevel dispatch;  // completion routines run there
    for (int i = 0; i < adds; ++i) {
      table().findConnection(connection)->bytesReceived.add(receiveStep);
      table().findAddress(udp)->bytesReceived.add(receiveStep);
    }
  };
  auto querier = [&] {
    hostkernel::OpenResult open = hostkernel::openFile(u"\\DosDevices\\Vesk");
    uint64_t last[4] = {start, start, start, start};
    while (counting.load()) {
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
        const uint64_t seen[2] = {r.bytesSent, r.bytesReceived};
        const uint32_t steps[2] = {sendStep, receiveStep};
        for (int k = 0; k < 2; ++k) {
          uint64_t value = seen[k];
          if (value < last[slot + k] || (value - start) % steps[k] != 0) ++bad;
          last[slot + k] = value;
        }
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

  std::thread q(querier), ch(churner), s(sender), r(receiver);
  s.join();
  r.join();
  counting = false;
  q.join();
  ch.join();

  EXPECT_EQ(bad.load(), 0) << "a query saw a torn or shrinking counter";
  EXPECT_GT(queries.load(), 1);
  EXPECT_EQ(table().findConnection(connection)->bytesSent.read(), start + uint64_t(adds) * sendStep);
  EXPECT_EQ(table().findConnection(connection)->bytesReceived.read(), start + uint64_t(adds) * receiveStep);
  EXPECT_EQ(table().findAddress(udp)->bytesSent.read(), start + uint64_t(adds) * sendStep);
  EXPECT_EQ(table().findAddress(udp)->bytesReceived.read(), start + uint64_t(adds) * receiveStep);
}

}  // namespace
