// Which processes of a snapshot are new since the previous one. A process is
// known by its id and its parent's id, so that an id reused between two
// snapshots by a process of another parent still counts as new.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesksvc {

struct ProcessKey {
  uint32_t id;
  uint32_t parentId;
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
