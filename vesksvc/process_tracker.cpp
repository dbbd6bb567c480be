#include "process_tracker.h"

#include <algorithm>

namespace vesksvc {
namespace {

bool Less(const ProcessKey& a, const ProcessKey& b) {
  if (a.id != b.id) return a.id < b.id;
  if (a.createdAt != b.createdAt) return a.createdAt < b.createdAt;
  return a.parentId < b.parentId;
}

void Swap(ProcessKey& a, ProcessKey& b) {
  ProcessKey held = a;
  a = b;
  b = held;
}

// Heap sort: O(n log n) at any input order, in place, and with no call into
// a runtime library (the service links none; std::sort needs memmove).
void SiftDown(ProcessKey* keys, size_t root, size_t count) {
  for (size_t child; (child = 2 * root + 1) < count; root = child) {
    if (child + 1 < count && Less(keys[child], keys[child + 1])) ++child;
    if (!Less(keys[root], keys[child])) return;
    Swap(keys[root], keys[child]);
  }
}

void Sort(ProcessKey* keys, size_t count) {
  for (size_t root = count / 2; root-- > 0;) SiftDown(keys, root, count);
  for (size_t end = count; end > 1;) {
    Swap(keys[0], keys[--end]);
    SiftDown(keys, 0, end);
  }
}

}  // namespace

ProcessTracker::ProcessTracker(ProcessKey* known, ProcessKey* current, size_t capacity)
    : known_(known), current_(current), capacity_(capacity) {}

void ProcessTracker::BeginSnapshot() {
  currentCount_ = 0;
  overflowed_ = false;
}

bool ProcessTracker::IsKnown(ProcessKey key) const {
  const ProcessKey* begin = known_;
  const ProcessKey* end = known_ + knownCount_;
  const ProcessKey* found = std::lower_bound(begin, end, key, Less);
  return found != end && !Less(key, *found);
}

bool ProcessTracker::Observe(ProcessKey key) {
  if (currentCount_ == capacity_) {
    overflowed_ = true;
    return false;
  }
  current_[currentCount_++] = key;
  return !IsKnown(key);
}

void ProcessTracker::EndSnapshot() {
  Sort(current_, currentCount_);
  ProcessKey* previous = known_;
  known_ = current_;
  current_ = previous;
  knownCount_ = currentCount_;
  currentCount_ = 0;
}

void ProcessTracker::DiscardSnapshot() { currentCount_ = 0; }

}  // namespace vesksvc
