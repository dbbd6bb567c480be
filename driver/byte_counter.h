// A 64-bit byte counter that several processors add to while a query reads
// it. Both the add and the read are single atomic 64-bit operations (on x86 a
// locked cmpxchg8b), so neither ever sees half of an update.
#pragma once

#include <stdint.h>

namespace vesk {

class ByteCounter {
 public:
  void add(uint32_t bytes) { __atomic_fetch_add(&value_, uint64_t(bytes), __ATOMIC_RELAXED); }
  uint64_t read() const { return __atomic_load_n(&value_, __ATOMIC_RELAXED); }

 private:
  alignas(8) uint64_t value_ = 0;
};

}  // namespace vesk
