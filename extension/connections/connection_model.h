// The rows of the connections list and how a refresh turns the endpoints of
// the driver or of the transport's tables into them: reading the replies,
// matching endpoints to rows, the byte totals and speeds. Portable, without
// Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Where the endpoints come from, fixed for the run by the driver handle.
enum class SourceMode { Driver, Table };

constexpr uint32_t kProtocolTcp = 6;
constexpr uint32_t kProtocolUdp = 17;

// The driver's listening state; the published TCP state "listen".
constexpr uint32_t kDriverListening = 3;
constexpr uint32_t kDriverEstablished = 4;
constexpr uint32_t kTableListen = 2;
constexpr uint32_t kTableEstablished = 5;
constexpr uint32_t kTableDeleteTcb = 12;

// The list's columns.
enum Column : int {
  kColumnProcess = 0,
  kColumnPid = 1,
  kColumnProtocol = 2,
  kColumnLocal = 3,
  kColumnRemote = 4,
  kColumnReceived = 5,
  kColumnSent = 6,
  kColumnSpeedIn = 7,
  kColumnSpeedOut = 8,
  kColumnState = 9,
};
constexpr int kColumnCount = 10;

// A set of columns, bit n for column n.
using ColumnSet = uint16_t;
constexpr ColumnSet ColumnBit(int column) { return ColumnSet(1u << column); }

// A text with whether it is a name (1) or a numeric form or "*" (0).
struct NameText {
  std::wstring text;
  bool symbolic = false;
};

// One endpoint as either source reports it. Ports are those of the reply:
// 16 bits widened from an activity record, the whole 32-bit field of a table
// row. Addresses and ports are in network byte order.
struct Endpoint {
  uint32_t protocol = 0;
  uint32_t state = 0;
  uint32_t processId = 0;
  uint32_t localAddress = 0;
  uint32_t localPort = 0;
  uint32_t remoteAddress = 0;
  uint32_t remotePort = 0;
  uint64_t bytesSent = 0;
  uint64_t bytesReceived = 0;
  // False for the rows of a table without owners (Windows 2000's): the
  // process id is 0 there and names no process.
  bool hasOwner = true;
};

// The record behind one list item.
struct ConnectionRow {
  uint32_t protocol = 0;
  uint32_t localAddress = 0;
  uint16_t localPort = 0;
  uint32_t remoteAddress = 0;
  uint16_t remotePort = 0;
  uint32_t state = 0;
  uint32_t processId = 0;
  uint64_t bytesSent = 0;
  uint64_t bytesReceived = 0;
  uint32_t speedOut = 0;
  uint32_t speedIn = 0;
  NameText localHost;
  NameText localPortText;
  NameText remoteHost;
  NameText remotePortText;
  std::wstring processName;
  bool hasOwner = true;
};

// Sizes of the replies: 1024 activity records of 44 bytes, 1024 TCP rows of
// 24 bytes, 256 UDP rows of 12 bytes.
constexpr size_t kActivityRecordSize = 44;
constexpr size_t kActivityBufferSize = 45056;
constexpr size_t kTcpRowSize = 24;
constexpr size_t kTcpBufferSize = 24576;
constexpr size_t kUdpRowSize = 12;
constexpr size_t kUdpBufferSize = 3072;

// The endpoints of a reply of `reported` bytes in a buffer of `capacity`
// bytes. A reported count beyond the buffer is cut to the buffer; a partial
// trailing record is ignored. UDP records carry no remote end and no state.
std::vector<Endpoint> ReadActivityReply(const uint8_t* buffer, size_t capacity, size_t reported);
void AppendTcpTableReply(const uint8_t* buffer, size_t capacity, size_t reported, std::vector<Endpoint>& out);
void AppendUdpTableReply(const uint8_t* buffer, size_t capacity, size_t reported, std::vector<Endpoint>& out);

// The rows of an iphlpapi table of `size` bytes: a 32-bit row count, then the
// rows, with the owning process (MIB_TCPROW_OWNER_PID, MIB_UDPROW_OWNER_PID:
// the transport's row layouts) or without (MIB_TCPROW, MIB_UDPROW: 20 and 8
// bytes). At most the rows the size covers, and at most as many as the
// transport's buffers hold, so that either source shows the same.
void AppendIpHelperTable(uint32_t protocol, bool withOwners, const uint8_t* table, size_t size,
                         std::vector<Endpoint>& out);

// Whether the endpoint is the one the row shows.
bool RowMatches(SourceMode mode, const ConnectionRow& row, const Endpoint& endpoint);

// A new row for an endpoint, without its texts.
std::unique_ptr<ConnectionRow> NewRow(SourceMode mode, const Endpoint& endpoint);

// Bytes per second over `elapsed` milliseconds. An elapsed time of 0 keeps
// `previous`; a total below the last one counts from zero (a new object in
// the old one's place); speeds beyond 32 bits are held at the largest value.
uint32_t SpeedOver(uint64_t last, uint64_t now, uint32_t elapsed, uint32_t previous);

// Takes the endpoint's state and counters into a matched row; the columns
// whose text changed.
ColumnSet UpdateRow(SourceMode mode, ConnectionRow& row, const Endpoint& endpoint, uint32_t elapsed);

// The outcome of matching one refresh's endpoints against the rows that the
// list showed when it began (`snapshot`, in list order).
struct MergeResult {
  struct Update {
    size_t entry;  // snapshot position
    ColumnSet columns;
  };
  std::vector<Update> updates;                        // every matched entry, in endpoint order
  std::vector<std::unique_ptr<ConnectionRow>> added;  // new rows, in endpoint order
  std::vector<bool> unmatched;                        // per snapshot entry
  bool resort = false;
};

// Each endpoint takes the first still unmatched snapshot row it matches, or
// becomes a new row; the resort flag is set for a new row or a change in the
// sort column.
MergeResult MergeEndpoints(SourceMode mode, const std::vector<ConnectionRow*>& snapshot,
                           const std::vector<Endpoint>& endpoints, uint32_t elapsed, int sortColumn);
