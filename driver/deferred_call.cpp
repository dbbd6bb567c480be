#include "deferred_call.h"

namespace vesk {

void DeferredCall::queue(PDEVICE_OBJECT owner, Routine routine, PFILE_OBJECT file, ULONG_PTR value) {
  DeferredCall* call = new DeferredCall(routine, file, value);
  if (call == nullptr) return;
  call->item_ = IoAllocateWorkItem(owner);
  if (call->item_ == nullptr) {
    delete call;
    return;
  }
  ObReferenceObject(file);
  IoQueueWorkItem(call->item_, run, DelayedWorkQueue, call);
}

VOID NTAPI DeferredCall::run(PDEVICE_OBJECT, PVOID context) {
  DeferredCall* call = static_cast<DeferredCall*>(context);
  call->routine_(call->file_, call->value_, call->requester_);
  ObDereferenceObject(call->file_);
  IoFreeWorkItem(call->item_);
  delete call;
}

}  // namespace vesk
