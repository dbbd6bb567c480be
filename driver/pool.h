// The driver's one allocator: every block comes from the pool with the
// driver's tag and goes back with it.
#pragma once

#include <stddef.h>

#include "kernel/kernel.h"

namespace vesk {

// Bytes "bild" in memory.
constexpr ULONG kPoolTag = 0x646C6962;

inline void* AllocateNonPaged(SIZE_T size) { return ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag); }
inline void* AllocatePaged(SIZE_T size) { return ExAllocatePoolWithTag(PagedPool, size, kPoolTag); }
inline void FreePool(void* block) { ExFreePoolWithTag(block, kPoolTag); }

// Base of every class whose instances live in nonpaged pool. `new` answers
// null when the pool has no memory, and the constructor is then not run.
class NonPagedObject {
 public:
  static void* operator new(size_t size) noexcept { return AllocateNonPaged(size); }
  static void operator delete(void* block) { FreePool(block); }
};

}  // namespace vesk
