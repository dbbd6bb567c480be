// A call made later at PASSIVE_LEVEL on a system worker thread, for work that
// arises at DISPATCH_LEVEL but needs PASSIVE_LEVEL (handle lookups, waits).
#pragma once

#include "kernel/kernel.h"
#include "pool.h"

namespace vesk {

class DeferredCall : public NonPagedObject {
 public:
  // `requester` is the process that queued the call.
  typedef void (*Routine)(PFILE_OBJECT file, ULONG_PTR value, HANDLE requester);

  // Queues routine(file, value, requester), holding a reference to `file`
  // until it has run. Work items belong to `owner`. When the call cannot be made (no
  // memory, no work item) it is dropped: only bookkeeping is lost.
  static void queue(PDEVICE_OBJECT owner, Routine routine, PFILE_OBJECT file, ULONG_PTR value);

 private:
  DeferredCall(Routine routine, PFILE_OBJECT file, ULONG_PTR value)
      : routine_(routine), file_(file), value_(value), requester_(PsGetCurrentProcessId()) {}
  static VOID NTAPI run(PDEVICE_OBJECT device, PVOID context);

  PIO_WORKITEM item_ = nullptr;
  Routine routine_;
  PFILE_OBJECT file_;
  ULONG_PTR value_;
  HANDLE requester_;
};

}  // namespace vesk
