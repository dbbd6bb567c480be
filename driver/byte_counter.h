// A 64-bit byte counter that several processors add to while a query reads
// it. Both the add and the read are locked compare-exchanges of all 64 bits
// (cmpxchg8b on x86), so neither ever sees half of an update. Plain 64-bit
// atomic loads would compile to x87 instructions on x86, which kernel code
// must not execute without saving the FPU state.
#pragma once

#include <stdint.h>

namespace vesk {

class ByteCounter {
 public:
  // Every caller's count is summed in 64 bits (a receive can add a taken part
  // and a returned request's length, together above 4 GB).
  void add(uint64_t bytes) {
    // A plain read is only the first guess; the exchange checks it.
    uint64_t seen = *static_cast<volatile uint64_t*>(&value_);
    for (;;) {
      uint64_t before = __sync_val_compare_and_swap(&value_, seen, seen + bytes);
      if (before == seen) return;
      seen = before;
    }
  }
  // Exchanging 0 for 0 changes nothing and returns the whole value.
  uint64_t read() const { return __sync_val_compare_and_swap(&value_, 0, 0); }

 private:
  alignas(8) mutable uint64_t value_ = 0;
};

}  // namespace vesk
