// What the connections list shows and how it orders its rows: the texts of
// the cells, the state names of both sources and the comparison of every
// column. Portable, without Windows headers.
#pragma once

#include <cstdint>
#include <string>

#include "connections/connection_model.h"

// The formats of the byte and speed cells (string-table entries).
struct CellFormats {
  std::wstring bytes;      // "%u b"
  std::wstring kilobytes;  // "%.1f Kb"
  std::wstring megabytes;  // "%.1f Mb"
  std::wstring speedBytes;
  std::wstring speedKilobytes;
  std::wstring speedMegabytes;
};

// Below 1024 in bytes, below 1048576 in kilobytes, otherwise in megabytes.
std::wstring ByteCountText(uint64_t value, const CellFormats& formats);
// The same with the speed formats; empty for 0.
std::wstring SpeedText(uint32_t value, const CellFormats& formats);

// The string-table entry that names a row's state, or 0 when the state is
// shown as its number (`StateNumberShown`) or, for a table's UDP row, empty.
unsigned StateStringId(SourceMode mode, const ConnectionRow& row);
bool StateNumberShown(SourceMode mode, const ConnectionRow& row);

// "TCP", "UDP" or "<unknown>".
const wchar_t* ProtocolText(uint32_t protocol);

// "a.b.c.d" of an address in network byte order.
std::wstring DottedQuad(uint32_t address);

// Host text, ":" and port text.
std::wstring AddressCellText(const NameText& host, const NameText& port);

// Negative when `a` sorts before `b` in ascending order of the column.
int CompareRows(int column, const ConnectionRow& a, const ConnectionRow& b);
