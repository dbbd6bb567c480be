// Placement of the driver's load-order tag in the PNP_TDI group order list.
// Pure code: no registry access, shared by tdiorder.exe and its host tests.
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

struct Placement {
  // False when the list could not be used; then nothing at all is written.
  bool writeList;
  // True when the driver had no tag and `newDriverTag` must be stored for it.
  bool storeDriverTag;
  uint32_t newDriverTag;
};

// Checks that `value` is a well-formed list (exactly 4 + 4 * N bytes, N <= 255),
// puts the driver's tag into it (appending it, with a new tag N + 1 when the
// driver has none) and moves it right after tcpip's tag. When tcpip's tag is not
// in the list the order is left as it is. Only tags that were read, and the
// driver's own, ever end up in `value`.
Placement PlaceDriverTag(GroupOrderValue& value, OptionalTag tcpipTag, OptionalTag driverTag);

}  // namespace tdiorder
