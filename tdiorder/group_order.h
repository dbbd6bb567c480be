// Placement of the driver's load-order tag in the PNP_TDI group order list.
// Pure code: no registry access, shared by tdiorder.exe, vesksetup.exe and
// their host tests.
#pragma once

#include <stdint.h>

namespace tdiorder {

// The value buffer: a 32-bit count N and at most 255 tags.
constexpr uint32_t kGroupOrderBufferSize = 1024;
constexpr uint32_t kMaxTags = (kGroupOrderBufferSize - 4) / 4;

// A tag value read from the registry, or none when the value was absent or not a
// 4-byte REG_DWORD.
struct OptionalTag {
  bool present;
  uint32_t value;
};

// The group order list as read: `bytes` holds `length` valid bytes.
struct GroupOrderValue {
  uint8_t bytes[kGroupOrderBufferSize];
  uint32_t length;
};

// Whether `value` is exactly a count N and N tags (N <= 255); `count` is N then.
bool IsWellFormed(const GroupOrderValue& value, uint32_t& count);
uint32_t TagAt(const GroupOrderValue& value, uint32_t position);
void SetTagAt(GroupOrderValue& value, uint32_t position, uint32_t tag);
// Sets the count and the length that goes with it.
void SetCount(GroupOrderValue& value, uint32_t count);
// Position of the first occurrence of `tag` among the first `count` tags, or
// `count` when it does not occur.
uint32_t FindTag(const GroupOrderValue& value, uint32_t count, uint32_t tag);

// Puts the driver's tag right after tcpip's in a well-formed list (appending
// it first when the list lacks it) and returns true when the list is to be
// written back. The list is left as it is (false) when it is not well-formed,
// when the driver has no tag (tags are handed out by the service control
// manager, never here, so no tag another driver has can be taken), when
// tcpip's tag is not in the list (an appended driver would load before tcpip
// and could not attach) and when a missing tag finds no free slot. A driver
// already right after tcpip, or before it, keeps its place.
bool PlaceDriverTag(GroupOrderValue& value, OptionalTag tcpipTag, OptionalTag driverTag);

}  // namespace tdiorder
