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

}  // namespace

bool IsWellFormed(const GroupOrderValue& value, uint32_t& count) {
  if (value.length < 4 || value.length > kGroupOrderBufferSize) return false;
  count = ReadLe32(value.bytes);
  return count <= kMaxTags && value.length == 4 + 4 * count;
}

uint32_t TagAt(const GroupOrderValue& value, uint32_t position) {
  return ReadLe32(value.bytes + 4 + 4 * position);
}

void SetTagAt(GroupOrderValue& value, uint32_t position, uint32_t tag) {
  WriteLe32(value.bytes + 4 + 4 * position, tag);
}

void SetCount(GroupOrderValue& value, uint32_t count) {
  WriteLe32(value.bytes, count);
  value.length = 4 + 4 * count;
}

uint32_t FindTag(const GroupOrderValue& value, uint32_t count, uint32_t tag) {
  uint32_t i = 0;
  while (i < count && TagAt(value, i) != tag) ++i;
  return i;
}

bool PlaceDriverTag(GroupOrderValue& value, OptionalTag tcpipTag, OptionalTag driverTag) {
  uint32_t count = 0;
  if (!IsWellFormed(value, count)) return false;
  uint32_t driver = driverTag.present ? driverTag.value : 0;
  if (driver == 0 || !tcpipTag.present) return false;
  uint32_t t = FindTag(value, count, tcpipTag.value);
  if (t == count) return false;

  uint32_t d = FindTag(value, count, driver);
  if (d == count) {
    if (count == kMaxTags) return false;
    SetTagAt(value, count, driver);
    SetCount(value, ++count);
  }
  for (; d > t + 1; --d) {
    uint32_t before = TagAt(value, d - 1);
    SetTagAt(value, d - 1, TagAt(value, d));
    SetTagAt(value, d, before);
  }
  return true;
}

}  // namespace tdiorder
