// The connections list's portable rules: reading the driver's and the
// transport's replies, matching endpoints to rows, speeds, cell texts, the
// order of every column and the name caches.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "connections/connection_model.h"
#include "connections/connection_text.h"
#include "connections/name_cache.h"
#include "resources/resource_ids.h"
#include "shared/activity_protocol.h"

namespace {

constexpr uint32_t kHostA = 0x0100000A;  // 10.0.0.1
constexpr uint32_t kHostB = 0x0200000A;  // 10.0.0.2
constexpr uint16_t kPort80 = 0x5000;     // 80 in network byte order

void Put32(std::vector<uint8_t>& buffer, size_t at, uint32_t value) { std::memcpy(&buffer[at], &value, 4); }

Endpoint Tcp(uint32_t pid, uint32_t state, uint16_t localPort, uint32_t remote = kHostB,
             uint16_t remotePort = 7) {
  Endpoint endpoint;
  endpoint.protocol = kProtocolTcp;
  endpoint.processId = pid;
  endpoint.state = state;
  endpoint.localAddress = kHostA;
  endpoint.localPort = localPort;
  endpoint.remoteAddress = remote;
  endpoint.remotePort = remotePort;
  return endpoint;
}

Endpoint Udp(uint32_t pid, uint16_t localPort) {
  Endpoint endpoint;
  endpoint.protocol = kProtocolUdp;
  endpoint.processId = pid;
  endpoint.localAddress = kHostA;
  endpoint.localPort = localPort;
  return endpoint;
}

std::vector<ConnectionRow*> Pointers(std::vector<std::unique_ptr<ConnectionRow>>& rows) {
  std::vector<ConnectionRow*> pointers;
  for (auto& row : rows) pointers.push_back(row.get());
  return pointers;
}

TEST(ConnectionReplies, ActivityRecordsAreReadOnlyWithinTheBufferAndUdpHasNoRemoteEnd) {
  // The driver's reply holds at most 1024 records of 44 bytes.
  std::vector<uint8_t> buffer(1024 * 44, 0xCC);
  EXPECT_EQ(kActivityBufferSize, buffer.size());
  Put32(buffer, 4, kProtocolUdp);
  Put32(buffer, 8, 1234);
  Put32(buffer, 12, kHostA);
  // A count far beyond the buffer gives its 1024 records, not more.
  EXPECT_EQ(ReadActivityReply(buffer.data(), buffer.size(), 0xFFFFFFFFu).size(), 1024u);
  EXPECT_EQ(ReadActivityReply(buffer.data(), buffer.size(), 2 * 44 + 43).size(), 2u);
  EXPECT_TRUE(ReadActivityReply(buffer.data(), buffer.size(), 0).empty());
  Endpoint udp = ReadActivityReply(buffer.data(), buffer.size(), 44)[0];
  EXPECT_EQ(udp.processId, 1234u);
  EXPECT_EQ(udp.localAddress, kHostA);
  EXPECT_EQ(udp.localPort, 0xCCCCu);
  EXPECT_EQ(udp.remoteAddress, 0u);
  EXPECT_EQ(udp.remotePort, 0u);
  EXPECT_EQ(udp.state, 0u);
  EXPECT_EQ(udp.bytesSent, 0xCCCCCCCCCCCCCCCCull);
}

TEST(ConnectionReplies, TablesGiveAtMostTheirBuffersRowsTcpFirst) {
  // 1024 TCP rows of 24 bytes, 256 UDP rows of 12.
  std::vector<uint8_t> tcp(1024 * 24), udp(256 * 12);
  EXPECT_EQ(kTcpBufferSize, tcp.size());
  EXPECT_EQ(kUdpBufferSize, udp.size());
  for (size_t row = 0; row < 1024; ++row) Put32(tcp, row * kTcpRowSize + 20, uint32_t(row + 100));
  Put32(tcp, 0, kTableEstablished);
  Put32(tcp, 8, 0xABCD0050u);  // the whole field is the port
  std::vector<Endpoint> endpoints;
  AppendTcpTableReply(tcp.data(), tcp.size(), 1025 * kTcpRowSize, endpoints);
  AppendUdpTableReply(udp.data(), udp.size(), 0, endpoints);
  ASSERT_EQ(endpoints.size(), 1024u);
  EXPECT_EQ(endpoints[0].state, kTableEstablished);
  EXPECT_EQ(endpoints[0].localPort, 0xABCD0050u);
  EXPECT_EQ(endpoints[1023].processId, 1123u);
  Put32(udp, 8, 77);
  AppendUdpTableReply(udp.data(), udp.size(), 9999, endpoints);
  ASSERT_EQ(endpoints.size(), 1024u + 256u);
  EXPECT_EQ(endpoints[1024].protocol, kProtocolUdp);
  EXPECT_EQ(endpoints[1024].processId, 77u);
}

// iphlpapi's tables: a row count, then rows with the owner (the transport's
// layouts) or without it; never more than the count, the bytes or the
// transport's buffers hold.
TEST(ConnectionReplies, IpHelperTablesGiveTheRowsTheirCountAndSizeCover) {
  struct Case {
    uint32_t protocol;
    bool owners;
    uint32_t count;
    size_t rowsInBuffer;
    size_t extraBytes;
    size_t expected;
  } cases[] = {
      {kProtocolTcp, true, 2, 2, 0, 2},          {kProtocolTcp, true, 1000000, 3, 10, 3},
      {kProtocolTcp, true, 2000, 2000, 0, 1024}, {kProtocolTcp, false, 2, 2, 19, 2},
      {kProtocolUdp, true, 300, 300, 0, 256},    {kProtocolUdp, false, 5, 1, 7, 1},
      {kProtocolUdp, true, 0, 4, 0, 0},
  };
  for (const Case& c : cases) {
    bool tcp = c.protocol == kProtocolTcp;
    size_t fields = (tcp ? 6 : 3) - (c.owners ? 0 : 1);
    std::vector<uint8_t> table(4 + c.rowsInBuffer * fields * 4 + c.extraBytes);
    Put32(table, 0, c.count);
    // Field f of row r holds 100 * r + f.
    for (size_t r = 0; r < c.rowsInBuffer; ++r)
      for (size_t f = 0; f < fields; ++f) Put32(table, 4 + (r * fields + f) * 4, uint32_t(100 * r + f));
    std::vector<Endpoint> endpoints;
    AppendIpHelperTable(c.protocol, c.owners, table.data(), table.size(), endpoints);
    ASSERT_EQ(endpoints.size(), c.expected) << c.protocol << " " << c.owners << " " << c.count;
    if (endpoints.empty()) continue;
    const Endpoint& last = endpoints.back();
    uint32_t base = uint32_t(100 * (c.expected - 1));
    EXPECT_EQ(last.protocol, c.protocol);
    EXPECT_EQ(last.hasOwner, c.owners);
    EXPECT_EQ(last.localAddress, base + (tcp ? 1 : 0));
    EXPECT_EQ(last.localPort, base + (tcp ? 2 : 1));
    EXPECT_EQ(last.state, tcp ? base : 0);
    EXPECT_EQ(last.remotePort, tcp ? base + 4 : 0);
    EXPECT_EQ(last.processId, c.owners ? base + fields - 1 : 0);
  }
  std::vector<uint8_t> shorter(3, 0xFF);
  std::vector<Endpoint> none;
  AppendIpHelperTable(kProtocolTcp, true, shorter.data(), shorter.size(), none);
  EXPECT_TRUE(none.empty());
}

TEST(ConnectionMatching, DriverRowsKeepTheirItemAcrossStatesListenersIgnoreTheRemoteEnd) {
  auto connecting = NewRow(SourceMode::Driver, Tcp(20, Connecting, 1000));
  EXPECT_TRUE(RowMatches(SourceMode::Driver, *connecting, Tcp(20, Connected, 1000)));
  EXPECT_FALSE(RowMatches(SourceMode::Driver, *connecting, Tcp(20, Connected, 1000, kHostA)));
  EXPECT_FALSE(RowMatches(SourceMode::Driver, *connecting, Tcp(20, Connected, 1000, kHostB, 8)));
  EXPECT_FALSE(RowMatches(SourceMode::Driver, *connecting, Tcp(21, Connected, 1000)));
  auto listener = NewRow(SourceMode::Driver, Tcp(20, Listening, 80, 0, 0));
  EXPECT_TRUE(RowMatches(SourceMode::Driver, *listener, Tcp(20, Listening, 80, kHostB, 99)));
  EXPECT_FALSE(RowMatches(SourceMode::Driver, *listener, Tcp(20, Connected, 80, 0, 0)));
  auto udp = NewRow(SourceMode::Driver, Udp(20, 53));
  EXPECT_EQ(udp->state, kDriverListening);
  EXPECT_TRUE(RowMatches(SourceMode::Driver, *udp, Udp(20, 53)));
  EXPECT_FALSE(RowMatches(SourceMode::Driver, *udp, Tcp(20, Listening, 53)));
}

TEST(ConnectionMatching, TableListenersHaveNoRemoteEndAndPortsCompareAtThirtyTwoBits) {
  auto listener = NewRow(SourceMode::Table, Tcp(20, kTableListen, 80, kHostB, 5));
  EXPECT_EQ(listener->remoteAddress, 0u);
  EXPECT_EQ(listener->remotePort, 0u);
  EXPECT_TRUE(RowMatches(SourceMode::Table, *listener, Tcp(20, kTableListen, 80, kHostB, 6)));
  EXPECT_FALSE(RowMatches(SourceMode::Table, *listener, Tcp(20, kTableEstablished, 80)));
  Endpoint wide = Tcp(20, kTableEstablished, 80);
  auto row = NewRow(SourceMode::Table, wide);
  EXPECT_EQ(row->bytesSent, 0u);
  wide.localPort |= 0x10000u;
  EXPECT_FALSE(RowMatches(SourceMode::Table, *row, wide));
  auto udp = NewRow(SourceMode::Table, Udp(20, 53));
  EXPECT_EQ(udp->state, 0u);
}

TEST(ConnectionSpeeds, DeltasOverTheIntervalAndTheUnsafeIntervals) {
  EXPECT_EQ(SpeedOver(0, 3000, 1500, 0), 2000u);
  EXPECT_EQ(SpeedOver(5000, 6000, 3000, 0), 333u);
  // Two refreshes in one tick keep the speed instead of dividing by 0.
  EXPECT_EQ(SpeedOver(0, 3000, 0, 777), 777u);
  // A total below the last one is a new object: counted from zero.
  EXPECT_EQ(SpeedOver(1000000, 500, 1000, 0), 500u);
  EXPECT_EQ(SpeedOver(0, 5000000000ull, 1000, 0), 0xFFFFFFFFu);
  EXPECT_EQ(SpeedOver(0, 0xFFFFFFFFFFFFFFFFull, 1, 0), 0xFFFFFFFFu);
}

TEST(ConnectionSpeeds, UpdateMarksOnlyTheCellsThatChange) {
  Endpoint endpoint = Tcp(20, Connecting, 1000);
  auto row = NewRow(SourceMode::Driver, endpoint);
  EXPECT_EQ(UpdateRow(SourceMode::Driver, *row, endpoint, 1000), 0);
  endpoint.state = Connected;
  endpoint.bytesSent = 3000;
  EXPECT_EQ(UpdateRow(SourceMode::Driver, *row, endpoint, 1500),
            ColumnBit(kColumnState) | ColumnBit(kColumnSent) | ColumnBit(kColumnSpeedOut));
  EXPECT_EQ(row->speedOut, 2000u);
  EXPECT_EQ(row->bytesSent, 3000u);
  // Still: the speed drops to 0 once, then nothing is rewritten.
  EXPECT_EQ(UpdateRow(SourceMode::Driver, *row, endpoint, 1000), ColumnBit(kColumnSpeedOut));
  EXPECT_EQ(row->speedOut, 0u);
  EXPECT_EQ(UpdateRow(SourceMode::Driver, *row, endpoint, 1000), 0);
  endpoint.bytesReceived = 10;
  EXPECT_EQ(UpdateRow(SourceMode::Driver, *row, endpoint, 0), ColumnBit(kColumnReceived));
  // Table rows take the state only; UDP table rows never change.
  auto table = NewRow(SourceMode::Table, Tcp(20, 3, 1000));
  EXPECT_EQ(UpdateRow(SourceMode::Table, *table, Tcp(20, kTableEstablished, 1000), 1000),
            ColumnBit(kColumnState));
  auto udp = NewRow(SourceMode::Table, Udp(20, 53));
  EXPECT_EQ(UpdateRow(SourceMode::Table, *udp, Udp(20, 53), 1000), 0);
}

TEST(ConnectionMerge, EachEndpointTakesOneRowNewOnesAreAddedTheRestGo) {
  std::vector<std::unique_ptr<ConnectionRow>> rows;
  MergeResult first =
      MergeEndpoints(SourceMode::Driver, {}, {Tcp(20, Connected, 1), Tcp(20, Connected, 1)}, 10, 1);
  EXPECT_EQ(first.added.size(), 2u);
  EXPECT_TRUE(first.resort);
  rows = std::move(first.added);
  rows.push_back(NewRow(SourceMode::Driver, Udp(30, 53)));
  Endpoint moved = Tcp(20, Connected, 1);
  moved.bytesReceived = 100;
  MergeResult second =
      MergeEndpoints(SourceMode::Driver, Pointers(rows), {moved, Tcp(20, Connected, 1)}, 1000, 1);
  EXPECT_TRUE(second.added.empty());
  EXPECT_FALSE(second.resort);
  ASSERT_EQ(second.updates.size(), 2u);
  EXPECT_EQ(second.updates[0].entry, 0u);
  EXPECT_EQ(second.updates[1].entry, 1u);
  EXPECT_EQ(second.unmatched, (std::vector<bool>{false, false, true}));
  EXPECT_EQ(rows[0]->speedIn, 100u);
  // A change in the sort column asks for a resort.
  moved.bytesReceived = 200;
  EXPECT_TRUE(MergeEndpoints(SourceMode::Driver, Pointers(rows), {moved}, 1000, kColumnReceived).resort);
  // Two connections that differ in the remote port alone are two rows.
  MergeResult ports = MergeEndpoints(SourceMode::Driver, Pointers(rows),
                                     {Tcp(20, Connected, 1), Tcp(20, Connected, 1, kHostB, 8)}, 1000, 1);
  EXPECT_EQ(ports.updates.size(), 1u);
  EXPECT_EQ(ports.added.size(), 1u);
}

CellFormats Formats() {
  return {L"%u b", L"%.1f Kb", L"%.1f Mb", L"%u b/sec", L"%.1f Kb/sec", L"%.1f Mb/sec"};
}

TEST(ConnectionCells, BytesAndSpeedsAtEveryThreshold) {
  CellFormats formats = Formats();
  EXPECT_EQ(ByteCountText(0, formats), L"0 b");
  EXPECT_EQ(ByteCountText(1023, formats), L"1023 b");
  EXPECT_EQ(ByteCountText(1024, formats), L"1.0 Kb");
  EXPECT_EQ(ByteCountText(1048575, formats), L"1024.0 Kb");
  EXPECT_EQ(ByteCountText(1048576, formats), L"1.0 Mb");
  EXPECT_EQ(ByteCountText(5ull << 30, formats), L"5120.0 Mb");
  EXPECT_EQ(SpeedText(0, formats), L"");
  EXPECT_EQ(SpeedText(1023, formats), L"1023 b/sec");
  EXPECT_EQ(SpeedText(1024, formats), L"1.0 Kb/sec");
  EXPECT_EQ(SpeedText(1048575, formats), L"1024.0 Kb/sec");
  EXPECT_EQ(SpeedText(1048576, formats), L"1.0 Mb/sec");
}

TEST(ConnectionCells, StateNamesOfBothSourcesProtocolsAndAddresses) {
  ConnectionRow row;
  row.protocol = kProtocolTcp;
  std::vector<unsigned> driver, table;
  for (uint32_t state = 0; state <= 13; ++state) {
    row.state = state;
    driver.push_back(StateStringId(SourceMode::Driver, row));
    table.push_back(StateStringId(SourceMode::Table, row));
  }
  EXPECT_EQ(driver, (std::vector<unsigned>{139, 140, 141, 140, 142, 143, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(table, (std::vector<unsigned>{0, 144, 145, 146, 147, 142, 148, 149, 150, 151, 152, 153, 154, 0}));
  row.state = 13;
  EXPECT_TRUE(StateNumberShown(SourceMode::Table, row));
  row.protocol = kProtocolUdp;
  row.state = 0;
  EXPECT_FALSE(StateNumberShown(SourceMode::Table, row));
  row.state = kDriverListening;
  EXPECT_EQ(StateStringId(SourceMode::Driver, row), unsigned(IDS_STATE_LISTENING));
  EXPECT_STREQ(ProtocolText(6), L"TCP");
  EXPECT_STREQ(ProtocolText(17), L"UDP");
  EXPECT_STREQ(ProtocolText(1), L"<unknown>");
  EXPECT_EQ(DottedQuad(0x0100007F), L"127.0.0.1");
  EXPECT_EQ(AddressCellText({L"*", false}, {L"*", false}), L"*:*");
}

TEST(ConnectionOrder, EveryColumnOrdersWholeValues) {
  ConnectionRow small, large;
  small.processName = L"a";
  large.processName = L"ab";
  small.processId = 5;
  large.processId = 0x80000000u;
  small.protocol = 6;
  large.protocol = 17;
  small.bytesReceived = 1024;
  large.bytesReceived = (4ull << 30) + 512;  // low 32 bits: 512
  small.bytesSent = 2;
  large.bytesSent = 0x90000000u;
  small.speedIn = 2;
  large.speedIn = 0x90000000u;
  small.speedOut = 0;
  large.speedOut = 0xFFFFFFFFu;
  small.state = 1;
  large.state = 12;
  small.localAddress = 0xFF00000Au;  // 10.0.0.255
  large.localAddress = 0x0000010Bu;  // 11.1.0.0
  small.remoteAddress = large.remoteAddress = kHostA;
  small.remotePort = 0x0100;  // 1
  large.remotePort = 0x0001;  // 256
  for (int column = 0; column < kColumnCount; ++column) {
    EXPECT_LT(CompareRows(column, small, large), 0) << column;
    EXPECT_GT(CompareRows(column, large, small), 0) << column;
    EXPECT_EQ(CompareRows(column, small, small), 0) << column;
  }
}

TEST(ConnectionOrder, AddressesCompareAsTextOnceOneSideIsAName) {
  ConnectionRow named, numeric;
  named.localAddress = 0x01010101;
  named.localHost = {L"zeta", true};
  numeric.localAddress = 0x02020202;
  numeric.localHost = {L"2.2.2.2", false};
  EXPECT_GT(CompareRows(kColumnLocal, named, numeric), 0);
  named.localHost = {L"1.1.1.1", false};
  EXPECT_LT(CompareRows(kColumnLocal, named, numeric), 0);
  // A tie on the host goes to the port, by text when one is a service name.
  numeric.localHost = named.localHost;
  numeric.localAddress = named.localAddress;
  named.localPortText = {L"http", true};
  numeric.localPortText = {L"21", false};
  EXPECT_GT(CompareRows(kColumnLocal, named, numeric), 0);
}

// A name service that counts its calls and answers as a test sets it.
class FakeNames : public NameService {
 public:
  ~FakeNames() override {
    for (uint8_t* buffer : kept) delete[] buffer;
  }
  uintptr_t StartHostLookup(const uint8_t* address, uint8_t* entry) override {
    ++lookups;
    EXPECT_EQ(entry, address + 4);
    if (!startWorks) return 0;
    entries.push_back(entry);
    return ++lastHandle;
  }
  void KeepPendingBuffer(uint8_t* buffer) override { kept.push_back(buffer); }
  std::optional<std::string> ServiceName(uint16_t port, const char* protocol) override {
    ++serviceCalls;
    lastProtocol = protocol ? protocol : "";
    if (port == kPort80) return std::string("http");
    if (port == 0x0100) return std::string(100, 's');
    return std::nullopt;
  }
  std::wstring ImagePath(uint32_t processId) override {
    ++pathCalls;
    if (processId == 300) return L"error#5";
    return processId == 100 ? L"C:\\WINDOWS\\system32\\svchost.exe" : L"";
  }
  // Writes a host entry whose name pointer leads to `name` inside it.
  static void WriteEntry(uint8_t* entry, const char* name, size_t at = 64) {
    const char* where = reinterpret_cast<const char*>(entry + at);
    std::memcpy(entry, &where, sizeof where);
    std::memcpy(entry + at, name, std::strlen(name) + 1);
  }

  bool startWorks = true;
  int lookups = 0, serviceCalls = 0, pathCalls = 0;
  uintptr_t lastHandle = 0;
  std::string lastProtocol;
  std::vector<uint8_t*> entries, kept;
};

TEST(ConnectionNames, HostsAreAskedOnceAndAReplyNamesTheAddress) {
  FakeNames service;
  NameCache names(service);
  NameText none = names.Host(0);
  EXPECT_EQ(none.text, L"*");
  EXPECT_EQ(service.lookups, 0);
  NameText first = names.Host(kHostB);
  EXPECT_EQ(first.text, L"10.0.0.2");
  EXPECT_FALSE(first.symbolic);
  names.Host(kHostB);
  EXPECT_EQ(service.lookups, 1);
  EXPECT_FALSE(names.HostReply(999, 0));  // not ours
  FakeNames::WriteEntry(service.entries[0], "gateway.example");
  auto reply = names.HostReply(1, 0);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->first, kHostB);
  EXPECT_EQ(reply->second, L"gateway.example");
  EXPECT_FALSE(names.HostReply(1, 0));  // answered already
  NameText named = names.Host(kHostB);
  EXPECT_EQ(named.text, L"gateway.example");
  EXPECT_TRUE(named.symbolic);
  // A failed lookup keeps the dotted text and is not asked again.
  names.Host(kHostA);
  EXPECT_FALSE(names.HostReply(2, 11004));
  EXPECT_EQ(names.Host(kHostA).text, L"10.0.0.1");
  EXPECT_EQ(service.lookups, 2);
  EXPECT_EQ(names.PendingLookups(), 0u);
}

TEST(ConnectionNames, LookupBuffersAreFreedOrKeptButNeverLeftToBeWrittenAfterFreeing) {
  FakeNames service;
  {
    NameCache names(service);
    service.startWorks = false;
    names.Host(kHostA);  // could not start: freed at once (the leak check would see it)
    EXPECT_EQ(names.PendingLookups(), 0u);
    service.startWorks = true;
    names.Host(kHostB);
    EXPECT_EQ(names.PendingLookups(), 1u);
  }
  // Still running when the names went away: handed over, not freed.
  ASSERT_EQ(service.kept.size(), 1u);
  uint32_t address;
  std::memcpy(&address, service.kept[0], 4);
  EXPECT_EQ(address, kHostB);
}

TEST(ConnectionNames, AHostEntryIsReadOnlyWithinItsBufferAndCutAtTheLimit) {
  // Winsock's MAXGETHOSTSTRUCT: the size a host lookup's buffer must have.
  std::vector<uint8_t> entry(1024);
  EXPECT_EQ(kHostEntrySize, entry.size());
  FakeNames::WriteEntry(entry.data(), std::string(300, 'h').c_str(), 200);
  EXPECT_EQ(HostEntryName(entry.data(), entry.size()), std::wstring(kHostNameLimit, L'h'));
  // No terminator before the end of the buffer.
  std::memset(&entry[200], 'x', entry.size() - 200);
  EXPECT_FALSE(HostEntryName(entry.data(), entry.size()));
  // A name that points outside the buffer.
  const char* outside = "elsewhere";
  std::memcpy(entry.data(), &outside, sizeof outside);
  EXPECT_FALSE(HostEntryName(entry.data(), entry.size()));
  EXPECT_FALSE(HostEntryName(entry.data(), 3));
}

TEST(ConnectionNames, PortsAndProcesses) {
  FakeNames service;
  NameCache names(service);
  NameText http = names.Port(kPort80, kProtocolTcp);
  EXPECT_EQ(http.text, L"http");
  EXPECT_TRUE(http.symbolic);
  EXPECT_EQ(service.lastProtocol, "tcp");
  names.Port(kPort80, kProtocolTcp);
  EXPECT_EQ(service.serviceCalls, 1);
  names.Port(kPort80, kProtocolUdp);
  EXPECT_EQ(service.lastProtocol, "udp");
  names.Port(kPort80, 1);
  EXPECT_EQ(service.lastProtocol, "");
  EXPECT_EQ(names.Port(0x0100, kProtocolTcp).text, std::wstring(kServiceNameLimit, L's'));
  NameText unknown = names.Port(0x3930, kProtocolTcp);  // 12345
  EXPECT_EQ(unknown.text, L"12345");
  EXPECT_FALSE(unknown.symbolic);
  EXPECT_EQ(names.Port(0, kProtocolTcp).text, L"*");
  EXPECT_EQ(service.serviceCalls, 5);

  EXPECT_EQ(names.Process(4), L"System");
  EXPECT_EQ(service.pathCalls, 0);
  EXPECT_EQ(names.Process(100), L"svchost.exe");
  names.Process(100);
  EXPECT_EQ(service.pathCalls, 1);
  names.ForgetProcesses();
  names.Process(100);
  EXPECT_EQ(service.pathCalls, 2);
  EXPECT_EQ(names.Process(200), L"<unknown>");
  names.Process(200);
  EXPECT_EQ(service.pathCalls, 4);
  EXPECT_EQ(names.Process(300), L"<unknown>");
}

}  // namespace
