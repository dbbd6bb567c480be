#include "kernel/kernel.h"

#if defined(VESK_HOST_KERNEL)

NTSTATUS AttachOver(PDEVICE_OBJECT filter, PUNICODE_STRING target, PDEVICE_OBJECT* lower) {
  return IoAttachDevice(filter, target, lower);
}

#else

namespace {

// Any request the target answers: it only has to have run, so that the
// target's create has run before it and the file object names its device.
constexpr ULONG kProbeCode = CTL_CODE(FILE_DEVICE_TRANSPORT, 0xFFF, METHOD_NEITHER, FILE_ANY_ACCESS);

NTSTATUS AttachThroughFileObject(PDEVICE_OBJECT filter, PUNICODE_STRING target, PDEVICE_OBJECT* lower) {
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
    PDEVICE_OBJECT below =
        file->DeviceObject ? IoAttachDeviceToDeviceStack(filter, file->DeviceObject) : nullptr;
    *lower = below;
    status = below ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
    ObDereferenceObject(object);
  }
  // Closed only now: the close may already pass through the filter, which
  // then knows where to send it.
  ZwClose(handle);
  return status;
}

}  // namespace

NTSTATUS AttachOver(PDEVICE_OBJECT filter, PUNICODE_STRING target, PDEVICE_OBJECT* lower) {
  NTSTATUS status = IoAttachDevice(filter, target, lower);
  if (status != STATUS_NOT_IMPLEMENTED) return status;
  *lower = nullptr;
  return AttachThroughFileObject(filter, target, lower);
}

#endif
