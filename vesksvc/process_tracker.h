// Which processes of a snapshot are new since the previous one. A process is
// known by its id, its creation time and its parent's id, all three fixed
// for its life: Windows soon hands a freed id to a new process, often one of
// the same parent (programs started from Explorer share it), but that one
// was created later. Where the creation time cannot be read it is 0, and the
// id and the parent still tell most reuses apart.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesksvc {

struct ProcessKey {
  uint32_t id;
  uint32_t parentId;
  // GetProcessTimes' creation time, in 100 ns units since 1601.
  uint64_t createdAt = 0;
};

class ProcessTracker {
 public:
  // `known` and `current` are two arrays of `capacity` keys each, owned by
  // the caller; a snapshot with more processes than that keeps the first
  // `capacity` ones and reports none of the rest as new, so that no process
  // is taken for new again and again.
  ProcessTracker(ProcessKey* known, ProcessKey* current, size_t capacity);

  void BeginSnapshot();
  // True when the process was not in the previous snapshot (in the first
  // snapshot: every process).
  bool Observe(ProcessKey key);
  // The snapshot becomes the one the next is compared with.
  void EndSnapshot();
  // A walk that failed part-way: the previous snapshot stays the one the
  // next is compared with, so the processes the walk missed are not taken
  // for new.
  void DiscardSnapshot();

  size_t KnownCount() const { return knownCount_; }
  // Processes of the last snapshots that did not fit.
  bool Overflowed() const { return overflowed_; }

 private:
  bool IsKnown(ProcessKey key) const;

  ProcessKey* known_;
  ProcessKey* current_;
  size_t capacity_;
  size_t knownCount_ = 0;
  size_t currentCount_ = 0;
  bool overflowed_ = false;
};

}  // namespace vesksvc
