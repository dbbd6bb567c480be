#include "kernel/kernel.h"

namespace {

// Attaches `filter` over the top of the stack that `target` (a device of that
// stack) belongs to. `top` is the device on top of it now: it is published in
// `lower` before the filter is linked in, because from that moment requests
// for the stack reach the filter (IoAttachDeviceToDeviceStack writes no field
// of the filter's before it returns). Should another driver have attached in
// between, the device it really lies over replaces it on return.
NTSTATUS AttachOverStack(PDEVICE_OBJECT filter, PDEVICE_OBJECT target, PDEVICE_OBJECT top,
                         PDEVICE_OBJECT volatile* lower) {
  *lower = top;
  PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(filter, target);
  *lower = below;
  return below ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

#if !defined(VESK_HOST_KERNEL)

// Any request the target answers: it only has to have run, so that the
// target's create has run before it and the file object names its device.
constexpr ULONG kProbeCode = CTL_CODE(FILE_DEVICE_TRANSPORT, 0xFFF, METHOD_NEITHER, FILE_ANY_ACCESS);

// For a kernel whose IoGetDeviceObjectPointer gives no file object (Wine's):
// the target's device through a file object of a kernel handle of our own.
NTSTATUS AttachThroughFileObject(PDEVICE_OBJECT filter, PUNICODE_STRING target,
                                 PDEVICE_OBJECT volatile* lower) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, target, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK io;
  HANDLE handle;
  NTSTATUS status = ZwOpenFile(&handle, SYNCHRONIZE | FILE_READ_DATA, &attributes, &io,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_SYNCHRONOUS_IO_NONALERT);
  if (NT_ERROR(status)) return status;
  ZwDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io, kProbeCode, nullptr, 0, nullptr, 0);
  PVOID object;
  status = ObReferenceObjectByHandle(handle, 0, FileObjectType(), KernelMode, &object, nullptr);
  if (NT_SUCCESS(status)) {
    PFILE_OBJECT file = static_cast<PFILE_OBJECT>(object);
    status = STATUS_NO_SUCH_DEVICE;
    if (file->DeviceObject != nullptr) {
      PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
      status = AttachOverStack(filter, file->DeviceObject, top, lower);
      ObDereferenceObject(top);
    }
    ObDereferenceObject(object);
  }
  // Closed only now: the close may already pass through the filter, which
  // then knows where to send it.
  ZwClose(handle);
  return status;
}

#endif

}  // namespace

NTSTATUS AttachOver(PDEVICE_OBJECT filter, PUNICODE_STRING target, PDEVICE_OBJECT volatile* lower) {
  *lower = nullptr;
  PFILE_OBJECT file;
  PDEVICE_OBJECT top;
  NTSTATUS status = IoGetDeviceObjectPointer(target, FILE_READ_ATTRIBUTES, &file, &top);
  if (NT_ERROR(status)) return status;
#if !defined(VESK_HOST_KERNEL)
  if (file == nullptr) return AttachThroughFileObject(filter, target, lower);
#endif
  status = AttachOverStack(filter, top, top, lower);
  // The file object kept the target's device in place while attaching; the
  // attachment keeps it from here on. Its close passes through the filter.
  ObDereferenceObject(file);
  return status;
}
