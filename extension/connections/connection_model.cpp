#include "connections/connection_model.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <tuple>

namespace {

uint32_t Read32(const uint8_t* at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

uint16_t Read16(const uint8_t* at) {
  uint16_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

uint64_t Read64(const uint8_t* at) {
  uint64_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Whole records of `size` bytes that the reply covers inside its buffer.
size_t RecordCount(size_t capacity, size_t reported, size_t size) {
  return std::min(reported, capacity) / size;
}

// A row of the transport's TCP table (state, local address and port, remote
// address and port, owner) or UDP table (local address and port, owner); the
// rows of a table without owners end before the owner.
Endpoint ReadTableRow(uint32_t protocol, bool withOwner, const uint8_t* row) {
  Endpoint endpoint;
  endpoint.protocol = protocol;
  if (protocol == kProtocolTcp) {
    endpoint.state = Read32(row);
    row += 4;
  }
  endpoint.localAddress = Read32(row);
  endpoint.localPort = Read32(row + 4);
  if (protocol == kProtocolTcp) {
    endpoint.remoteAddress = Read32(row + 8);
    endpoint.remotePort = Read32(row + 12);
    row += 8;
  }
  endpoint.hasOwner = withOwner;
  if (withOwner) endpoint.processId = Read32(row + 8);
  return endpoint;
}

bool SameLocalEnd(const ConnectionRow& row, const Endpoint& endpoint) {
  return row.processId == endpoint.processId && row.localPort == endpoint.localPort &&
         row.localAddress == endpoint.localAddress;
}

bool SameBothEnds(const ConnectionRow& row, const Endpoint& endpoint) {
  return SameLocalEnd(row, endpoint) && row.remotePort == endpoint.remotePort &&
         row.remoteAddress == endpoint.remoteAddress;
}

bool IsListener(SourceMode mode, const ConnectionRow& row) {
  return row.state == (mode == SourceMode::Driver ? kDriverListening : kTableListen);
}

ColumnSet UpdateCounter(uint64_t& total, uint32_t& speed, uint64_t now, uint32_t elapsed, int bytesColumn,
                        int speedColumn) {
  if (now == total) {
    ColumnSet changed = speed != 0 ? ColumnBit(speedColumn) : 0;
    speed = 0;
    return changed;
  }
  uint32_t updated = SpeedOver(total, now, elapsed, speed);
  total = now;
  // A speed that came out the same keeps its cell.
  ColumnSet changed = ColumnBit(bytesColumn);
  if (updated != speed) changed |= ColumnBit(speedColumn);
  speed = updated;
  return changed;
}

}  // namespace

std::vector<Endpoint> ReadActivityReply(const uint8_t* buffer, size_t capacity, size_t reported) {
  std::vector<Endpoint> endpoints;
  size_t count = RecordCount(capacity, reported, kActivityRecordSize);
  endpoints.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* record = buffer + i * kActivityRecordSize;
    Endpoint endpoint;
    endpoint.protocol = Read32(record + 4);
    endpoint.processId = Read32(record + 8);
    endpoint.localAddress = Read32(record + 12);
    endpoint.localPort = Read16(record + 20);
    endpoint.bytesSent = Read64(record + 24);
    endpoint.bytesReceived = Read64(record + 32);
    if (endpoint.protocol != kProtocolUdp) {
      endpoint.remoteAddress = Read32(record + 16);
      endpoint.remotePort = Read16(record + 22);
      endpoint.state = Read32(record + 40);
    }
    endpoints.push_back(endpoint);
  }
  return endpoints;
}

void AppendTcpTableReply(const uint8_t* buffer, size_t capacity, size_t reported,
                         std::vector<Endpoint>& out) {
  size_t count = RecordCount(capacity, reported, kTcpRowSize);
  for (size_t i = 0; i < count; ++i)
    out.push_back(ReadTableRow(kProtocolTcp, true, buffer + i * kTcpRowSize));
}

void AppendUdpTableReply(const uint8_t* buffer, size_t capacity, size_t reported,
                         std::vector<Endpoint>& out) {
  size_t count = RecordCount(capacity, reported, kUdpRowSize);
  for (size_t i = 0; i < count; ++i)
    out.push_back(ReadTableRow(kProtocolUdp, true, buffer + i * kUdpRowSize));
}

void AppendIpHelperTable(uint32_t protocol, bool withOwners, const uint8_t* table, size_t size,
                         std::vector<Endpoint>& out) {
  if (size < 4) return;
  bool tcp = protocol == kProtocolTcp;
  // Rows of the transport's layout; 4 bytes less without the owner.
  size_t rowSize = (tcp ? kTcpRowSize : kUdpRowSize) - (withOwners ? 0 : 4);
  size_t limit = tcp ? kTcpBufferSize / kTcpRowSize : kUdpBufferSize / kUdpRowSize;
  size_t count = std::min({size_t(Read32(table)), (size - 4) / rowSize, limit});
  for (size_t i = 0; i < count; ++i)
    out.push_back(ReadTableRow(protocol, withOwners, table + 4 + i * rowSize));
}

bool RowMatches(SourceMode mode, const ConnectionRow& row, const Endpoint& endpoint) {
  if (row.protocol != endpoint.protocol) return false;
  if (row.protocol == kProtocolUdp) return SameLocalEnd(row, endpoint);
  if (IsListener(mode, row)) return endpoint.state == row.state && SameLocalEnd(row, endpoint);
  return SameBothEnds(row, endpoint);
}

std::unique_ptr<ConnectionRow> NewRow(SourceMode mode, const Endpoint& endpoint) {
  auto row = std::make_unique<ConnectionRow>();
  row->protocol = endpoint.protocol;
  row->processId = endpoint.processId;
  row->hasOwner = endpoint.hasOwner;
  row->localAddress = endpoint.localAddress;
  row->localPort = uint16_t(endpoint.localPort);
  if (endpoint.protocol == kProtocolUdp) {
    row->state = mode == SourceMode::Driver ? kDriverListening : 0;
  } else {
    row->state = endpoint.state;
    // A table's listener shows no remote end, whatever the row holds.
    if (mode == SourceMode::Driver || endpoint.state != kTableListen) {
      row->remoteAddress = endpoint.remoteAddress;
      row->remotePort = uint16_t(endpoint.remotePort);
    }
  }
  if (mode == SourceMode::Driver) {
    row->bytesSent = endpoint.bytesSent;
    row->bytesReceived = endpoint.bytesReceived;
  }
  return row;
}

uint32_t SpeedOver(uint64_t last, uint64_t now, uint32_t elapsed, uint32_t previous) {
  if (elapsed == 0) return previous;
  constexpr uint64_t kLargest = std::numeric_limits<uint32_t>::max();
  uint64_t delta = now >= last ? now - last : now;
  // delta * 1000 / elapsed in two parts, so that the product cannot overflow.
  if (delta / elapsed > kLargest / 1000) return uint32_t(kLargest);
  uint64_t speed = delta / elapsed * 1000 + delta % elapsed * 1000 / elapsed;
  return uint32_t(std::min(speed, kLargest));
}

ColumnSet UpdateRow(SourceMode mode, ConnectionRow& row, const Endpoint& endpoint, uint32_t elapsed) {
  ColumnSet changed = 0;
  if (row.protocol == kProtocolUdp && mode == SourceMode::Table) return changed;
  if (row.protocol != kProtocolUdp && endpoint.state != row.state) {
    row.state = endpoint.state;
    changed |= ColumnBit(kColumnState);
  }
  if (mode == SourceMode::Table) return changed;
  changed |=
      UpdateCounter(row.bytesSent, row.speedOut, endpoint.bytesSent, elapsed, kColumnSent, kColumnSpeedOut);
  changed |= UpdateCounter(row.bytesReceived, row.speedIn, endpoint.bytesReceived, elapsed, kColumnReceived,
                           kColumnSpeedIn);
  return changed;
}

MergeResult MergeEndpoints(SourceMode mode, const std::vector<ConnectionRow*>& snapshot,
                           const std::vector<Endpoint>& endpoints, uint32_t elapsed, int sortColumn) {
  MergeResult result;
  result.unmatched.assign(snapshot.size(), true);
  // Every rule compares protocol, process and local end: the snapshot's rows
  // are grouped by them, each group in list order, so that an endpoint scans
  // only its group and still takes the first unmatched row that matches.
  using Key = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;
  std::map<Key, std::vector<size_t>> groups;
  for (size_t entry = 0; entry < snapshot.size(); ++entry) {
    const ConnectionRow& row = *snapshot[entry];
    groups[Key(row.protocol, row.processId, row.localAddress, row.localPort)].push_back(entry);
  }
  for (const Endpoint& endpoint : endpoints) {
    bool matched = false;
    auto group =
        groups.find(Key(endpoint.protocol, endpoint.processId, endpoint.localAddress, endpoint.localPort));
    if (group != groups.end()) {
      for (size_t entry : group->second) {
        if (!result.unmatched[entry] || !RowMatches(mode, *snapshot[entry], endpoint)) continue;
        ColumnSet columns = UpdateRow(mode, *snapshot[entry], endpoint, elapsed);
        if (columns & ColumnBit(sortColumn)) result.resort = true;
        result.updates.push_back({entry, columns});
        result.unmatched[entry] = false;
        matched = true;
        break;
      }
    }
    if (!matched) {
      result.added.push_back(NewRow(mode, endpoint));
      result.resort = true;
    }
  }
  return result;
}
