#include "object_table.h"

#include <map>
#include <random>

#include "driver_fixture.h"

namespace {

using vesk::AddressObject;
using vesk::ConnectionObject;
using vesk::ObjectTable;
using vesk::OrderedMap;
using vesk::SharedRef;

class ObjectTableTest : public KernelTest {
 protected:
  PFILE_OBJECT file(ULONG_PTR value) { return reinterpret_cast<PFILE_OBJECT>(value); }
  size_t blocks() { return hostkernel::poolInUse(vesk::kPoolTag).blocks; }

  void TearDown() override {
    table_.clear();
    EXPECT_EQ(blocks(), 0u);
    KernelTest::TearDown();
  }

  ObjectTable table_;
  hostkernel::CurrentProcess process_{1234};
};

TEST_F(ObjectTableTest, AddressRecordCarriesOwnerProtocolAndLocalEnd) {
  table_.addAddress(file(0x1000), 17, 0x0100007F, 0x3500);
  SharedRef<AddressObject> a = table_.findAddress(file(0x1000));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->processId, 1234u);
  EXPECT_EQ(a->protocol, 17u);
  EXPECT_EQ(a->localAddress, 0x0100007Fu);
  EXPECT_EQ(a->localPort, 0x3500);
  EXPECT_EQ(a->bytesSent.read(), 0u);
  EXPECT_FALSE(table_.findAddress(file(0x1001)));
}

TEST_F(ObjectTableTest, SecondRecordUnderTheSameFileReplacesTheFirst) {
  table_.addAddress(file(0x1000), 6, 0, 0);
  SharedRef<AddressObject> first = table_.findAddress(file(0x1000));
  table_.addAddress(file(0x1000), 17, 0, 0);
  EXPECT_EQ(table_.findAddress(file(0x1000))->protocol, 17u);
  EXPECT_EQ(blocks(), 3u) << "both records and one node: the first is still held";
  first.reset();
  EXPECT_EQ(blocks(), 2u) << "the replaced record is freed with its last reference";
}

// The context entry goes with the record it belongs to: closing an older
// connection whose context a newer live one took over leaves the newer one
// its events. (The newer one closing first takes the entry with it; the older
// one had lost it when the newer one was made.)
TEST_F(ObjectTableTest, RemoveConnectionErasesTheContextEntryOnlyWhenItIsTheRecordsOwn) {
  struct Case {
    ULONG_PTR removed;
    ULONG_PTR byContextAfter;  // 0: none
  } cases[] = {{0x2000, 0x3000}, {0x3000, 0}};
  for (const Case& c : cases) {
    table_.addConnection(file(0x2000), 77);
    table_.addConnection(file(0x3000), 77);  // a newer record with the same context
    ASSERT_EQ(table_.findConnectionByContext(77)->fileObject, file(0x3000));
    table_.removeConnection(file(c.removed));
    EXPECT_FALSE(table_.findConnection(file(c.removed)));
    SharedRef<ConnectionObject> byContext = table_.findConnectionByContext(77);
    EXPECT_EQ(byContext ? byContext->fileObject : nullptr, file(c.byContextAfter)) << c.removed;
    byContext.reset();
    table_.removeConnection(file(0x2000));
    table_.removeConnection(file(0x3000));
    EXPECT_FALSE(table_.findConnectionByContext(77));
    EXPECT_EQ(blocks(), 0u);
  }
}

TEST_F(ObjectTableTest, FindAddressOfFileFollowsTheObjectKind) {
  FILE_OBJECT addressFile = {}, connectionFile = {}, controlFile = {};
  addressFile.FsContext2 = reinterpret_cast<PVOID>(TDI_TRANSPORT_ADDRESS_FILE);
  connectionFile.FsContext2 = reinterpret_cast<PVOID>(TDI_CONNECTION_FILE);
  controlFile.FsContext2 = reinterpret_cast<PVOID>(TDI_CONTROL_CHANNEL_FILE);
  table_.addAddress(&addressFile, 6, 0, 0);
  table_.addConnection(&connectionFile, 1);
  table_.addConnection(&controlFile, 2);
  table_.addAddress(&controlFile, 6, 0, 0);

  EXPECT_EQ(table_.findAddressOfFile(&addressFile).get(), table_.findAddress(&addressFile).get());
  EXPECT_FALSE(table_.findAddressOfFile(&connectionFile)) << "never associated";
  EXPECT_FALSE(table_.findAddressOfFile(&controlFile)) << "neither an address nor a connection";

  SharedRef<ConnectionObject> connection = table_.findConnection(&connectionFile);
  table_.associate(*connection, table_.findAddress(&addressFile));
  EXPECT_EQ(connection->state, ULONG(Associated));
  EXPECT_EQ(table_.findAddressOfFile(&connectionFile).get(), table_.findAddress(&addressFile).get());

  table_.disassociate(*connection);
  EXPECT_EQ(connection->state, ULONG(Disconnected));
  EXPECT_FALSE(table_.findAddressOfFile(&connectionFile));
}

// An ended address record is given out once, then no lookup and no walk
// sees it; it stays filed (and held) until it is removed.
TEST_F(ObjectTableTest, EndedAddressIsUnseenButFiledUntilRemoved) {
  table_.addAddress(file(0x1000), 17, 0, 0);
  table_.addAddress(file(0x1004), 17, 0, 0);
  SharedRef<AddressObject> ended = table_.endAddress(file(0x1000));
  ASSERT_TRUE(ended);
  EXPECT_FALSE(table_.endAddress(file(0x1000))) << "once";
  EXPECT_FALSE(table_.findAddress(file(0x1000)));
  std::vector<PFILE_OBJECT> walked;
  table_.forEachAddress([&](AddressObject& a) {
    walked.push_back(a.fileObject);
    return true;
  });
  EXPECT_EQ(walked, std::vector<PFILE_OBJECT>{file(0x1004)});
  ended.reset();
  EXPECT_EQ(blocks(), 4u) << "the table still holds the ended record";
  EXPECT_TRUE(table_.removeAddress(file(0x1000)));
  EXPECT_EQ(blocks(), 2u);
  table_.removeAddress(file(0x1004));
}

TEST_F(ObjectTableTest, RemovedAddressStaysReadableThroughItsConnection) {
  table_.addAddress(file(0x1000), 6, 0x0A000001, 0x5000);
  table_.addConnection(file(0x2000), 5);
  SharedRef<ConnectionObject> connection = table_.findConnection(file(0x2000));
  table_.associate(*connection, table_.findAddress(file(0x1000)));

  SharedRef<AddressObject> removed = table_.removeAddress(file(0x1000));
  ASSERT_TRUE(removed);
  EXPECT_FALSE(table_.findAddress(file(0x1000)));
  removed.reset();
  SharedRef<AddressObject> viaConnection = table_.addressOf(*connection);
  ASSERT_TRUE(viaConnection);
  EXPECT_EQ(viaConnection->localPort, 0x5000);

  size_t before = blocks();
  viaConnection.reset();
  table_.disassociate(*connection);
  EXPECT_EQ(blocks(), before - 1) << "the address record goes with the connection's link";
  EXPECT_FALSE(table_.removeAddress(file(0x1000)));
}

TEST_F(ObjectTableTest, CountersAreWhole64BitValues) {
  table_.addAddress(file(0x1000), 17, 0, 0);
  SharedRef<AddressObject> a = table_.findAddress(file(0x1000));
  a->bytesSent.add(0xFFFFFFFFu);
  a->bytesSent.add(0xFFFFFFFFu);
  a->bytesSent.add(2);
  EXPECT_EQ(a->bytesSent.read(), 0x200000000ull);
  for (int i = 0; i < 4; ++i) a->bytesReceived.add(0x80000000u);
  EXPECT_EQ(a->bytesReceived.read(), 0x200000000ull);
}

TEST_F(ObjectTableTest, WalksInAscendingUnsignedKeyOrder) {
  const ULONG_PTR keys[] = {0x80000000u, 0x10, 0xFFFFFFF0u, 0x7FFFFFFFu, 0x20};
  for (ULONG_PTR key : keys) table_.addAddress(file(key), 17, 0, 0);
  std::vector<ULONG_PTR> order;
  table_.forEachAddress([&](AddressObject& a) {
    order.push_back(vesk::FileKey(a.fileObject));
    return true;
  });
  EXPECT_EQ(order, (std::vector<ULONG_PTR>{0x10, 0x20, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFF0u}));
}

TEST_F(ObjectTableTest, NoMemoryForRecordOrNodeFilesNothing) {
  // The record, then the node of the first map.
  for (unsigned skip : {0u, 1u}) {
    hostkernel::failCall(hostkernel::Call::ExAllocatePoolWithTag, STATUS_INSUFFICIENT_RESOURCES, skip);
    table_.addAddress(file(0x1000), 17, 0, 0);
    EXPECT_FALSE(table_.findAddress(file(0x1000)));
    hostkernel::failCall(hostkernel::Call::ExAllocatePoolWithTag, STATUS_INSUFFICIENT_RESOURCES, skip);
    table_.addConnection(file(0x2000), 9);
    EXPECT_FALSE(table_.findConnection(file(0x2000)));
    EXPECT_FALSE(table_.findConnectionByContext(9));
    EXPECT_EQ(blocks(), 0u);
  }
}

TEST_F(ObjectTableTest, ClearUnfilesEverything) {
  table_.addAddress(file(0x1000), 6, 0, 0);
  table_.addConnection(file(0x2000), 1);
  table_.associate(*table_.findConnection(file(0x2000)), table_.findAddress(file(0x1000)));
  table_.clear();
  EXPECT_FALSE(table_.findAddress(file(0x1000)));
  EXPECT_FALSE(table_.findConnection(file(0x2000)));
  EXPECT_FALSE(table_.findConnectionByContext(1));
  EXPECT_EQ(blocks(), 0u);
}

// The map against std::map under a long random mix of operations; every
// node is pool memory, so an unbalanced erase or a lost node shows as well.
TEST_F(ObjectTableTest, OrderedMapMatchesStdMap) {
  OrderedMap<ULONG_PTR> map;
  std::map<ULONG_PTR, ULONG_PTR> expected;
  std::mt19937 random(7);
  for (int step = 0; step < 20000; ++step) {
    ULONG_PTR key = random() % 512 * 0x01000001u;  // spread across the 32-bit range
    switch (random() % 3) {
      case 0:
      case 1:
        ASSERT_TRUE(map.insertOrAssign(key, step));
        expected[key] = step;
        break;
      default:
        ASSERT_EQ(map.erase(key), expected.erase(key) == 1);
    }
    ASSERT_EQ(map.size(), expected.size());
  }
  std::vector<std::pair<ULONG_PTR, ULONG_PTR>> walked;
  map.forEach([&](ULONG_PTR k, ULONG_PTR& v) {
    walked.emplace_back(k, v);
    return true;
  });
  EXPECT_EQ(walked, (std::vector<std::pair<ULONG_PTR, ULONG_PTR>>(expected.begin(), expected.end())));
  for (auto& e : expected) ASSERT_EQ(*map.find(e.first), e.second);
  EXPECT_EQ(blocks(), expected.size());
  map.clear();
}

TEST_F(ObjectTableTest, OrderedMapInsertWithoutMemoryLeavesMapUnchanged) {
  OrderedMap<ULONG_PTR> map;
  for (ULONG_PTR k = 1; k <= 10; ++k) map.insertOrAssign(k, k);
  hostkernel::failCall(hostkernel::Call::ExAllocatePoolWithTag);
  EXPECT_FALSE(map.insertOrAssign(11, 11));
  EXPECT_EQ(map.size(), 10u);
  EXPECT_EQ(map.find(11), nullptr);
  EXPECT_TRUE(map.insertOrAssign(5, 50)) << "replacing needs no node";
  EXPECT_EQ(*map.find(5), 50u);
  size_t visited = 0;
  map.forEach([&](ULONG_PTR, ULONG_PTR&) { return ++visited < 3; });
  EXPECT_EQ(visited, 3u) << "a visit that returns false stops the walk";
}

}  // namespace
