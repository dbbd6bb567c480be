// An internal TDI request of the driver's own, sent and waited for. Callers run
// at PASSIVE_LEVEL: the system completes such a request with an APC that must
// not be held off while the caller's stack frame still holds its status block.
#pragma once

#include "kernel/kernel.h"

namespace vesk {

// Builds an internal device control request with minor code `minor` for
// `file` on `device`, carrying `mdl` (whose pages are locked; the request
// owns it from here on, also when it cannot be built), lets `fill` set the
// parameters of the stack location the device will see, sends it and waits.
// Returns the final status, STATUS_INSUFFICIENT_RESOURCES when no request could
// be built; `information` gets the completed byte count.
template <class Fill>
NTSTATUS CallInternal(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR minor, PMDL mdl, Fill fill,
                      ULONG_PTR& information) {
  information = 0;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK status;
  PIRP irp = IoBuildDeviceIoControlRequest(3, device, nullptr, 0, nullptr, 0, TRUE, &done, &status);
  if (irp == nullptr) {
    if (mdl != nullptr) {
      MmUnlockPages(mdl);
      IoFreeMdl(mdl);
    }
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->MdlAddress = mdl;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = nullptr;
  next->Context = nullptr;
  next->Control = 0;
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->MinorFunction = minor;
  next->DeviceObject = device;
  next->FileObject = file;
  fill(static_cast<void*>(&next->Parameters));
  NTSTATUS result = IoCallDriver(device, irp);
  if (result == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    result = status.Status;
  }
  information = status.Information;
  return result;
}

}  // namespace vesk
