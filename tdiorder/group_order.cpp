#include "group_order.h"

namespace tdiorder {
namespace {

uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void WriteLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

uint8_t* TagAt(GroupOrderValue& value, uint32_t position) { return value.bytes + 4 + 4 * position; }

// Position of the first occurrence of `tag` among the first `count` tags, or
// `count` when it does not occur.
uint32_t Find(GroupOrderValue& value, uint32_t count, uint32_t tag) {
  uint32_t i = 0;
  while (i < count && ReadLe32(TagAt(value, i)) != tag) ++i;
  return i;
}

}  // namespace

Placement PlaceDriverTag(GroupOrderValue& value, OptionalTag tcpipTag, OptionalTag driverTag) {
  const Placement untouched{false, false, 0};
  if (value.length < 4 || value.length > kGroupOrderBufferSize) return untouched;
  uint32_t count = ReadLe32(value.bytes);
  if (count > kMaxTags || value.length != 4 + 4 * count) return untouched;

  Placement placement{true, false, 0};
  uint32_t driver = driverTag.present ? driverTag.value : 0;
  uint32_t d = driver != 0 ? Find(value, count, driver) : count;
  if (d == count) {
    // Appending needs a free slot; a full list is left as it is.
    if (count == kMaxTags) return untouched;
    if (driver == 0) {
      driver = count + 1;
      placement.storeDriverTag = true;
      placement.newDriverTag = driver;
    }
    WriteLe32(TagAt(value, count), driver);
    ++count;
    WriteLe32(value.bytes, count);
    value.length = 4 + 4 * count;
  }

  uint32_t t = tcpipTag.present ? Find(value, count, tcpipTag.value) : count;
  if (t < count) {
    for (; d > t + 1; --d) {
      uint8_t* here = TagAt(value, d);
      uint8_t* before = TagAt(value, d - 1);
      uint32_t moved = ReadLe32(before);
      WriteLe32(before, ReadLe32(here));
      WriteLe32(here, moved);
    }
  }
  return placement;
}

}  // namespace tdiorder
