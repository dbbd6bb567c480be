// A kernel spin lock and the scoped guard that holds it.
#pragma once

#include "kernel/kernel.h"

namespace vesk {

class SpinLock {
 public:
  SpinLock() { KeInitializeSpinLock(&lock_); }
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

 private:
  friend class SpinLockGuard;
  KSPIN_LOCK lock_;
};

// Holds the lock, at DISPATCH_LEVEL, for the guard's scope.
class SpinLockGuard {
 public:
  explicit SpinLockGuard(SpinLock& lock) : lock_(lock) { KeAcquireSpinLock(&lock_.lock_, &previousIrql_); }
  ~SpinLockGuard() { KeReleaseSpinLock(&lock_.lock_, previousIrql_); }
  SpinLockGuard(const SpinLockGuard&) = delete;
  SpinLockGuard& operator=(const SpinLockGuard&) = delete;

 private:
  SpinLock& lock_;
  KIRQL previousIrql_;
};

}  // namespace vesk
