#include "device_base.h"

namespace vesk {

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS DeviceBase::create(PIRP irp) { return CompleteRequest(irp, STATUS_SUCCESS); }
NTSTATUS DeviceBase::cleanup(PIRP irp) { return CompleteRequest(irp, STATUS_SUCCESS); }
NTSTATUS DeviceBase::close(PIRP irp) { return CompleteRequest(irp, STATUS_SUCCESS); }
NTSTATUS DeviceBase::read(PIRP irp) { return CompleteRequest(irp, STATUS_SUCCESS); }
NTSTATUS DeviceBase::write(PIRP irp) { return CompleteRequest(irp, STATUS_SUCCESS); }
NTSTATUS DeviceBase::deviceControl(PIRP irp) { return CompleteRequest(irp, STATUS_SUCCESS); }
NTSTATUS DeviceBase::internalDeviceControl(PIRP irp) { return CompleteRequest(irp, STATUS_SUCCESS); }
NTSTATUS DeviceBase::systemControl(PIRP irp) { return CompleteRequest(irp, STATUS_SUCCESS); }
NTSTATUS DeviceBase::otherRequest(PIRP irp) { return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST); }

NTSTATUS DeviceBase::createDevice(PDRIVER_OBJECT driver, ULONG type, ULONG characteristics) {
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(DeviceBase*), &name_, type, characteristics, FALSE, &device_);
  if (NT_ERROR(status)) {
    device_ = nullptr;
    return status;
  }
  *static_cast<DeviceBase**>(device_->DeviceExtension) = this;
  device_->Flags |= DO_DIRECT_IO;
  return STATUS_SUCCESS;
}

void DeviceBase::deleteDevice() {
  if (device_ == nullptr) return;
  IoDeleteDevice(device_);
  device_ = nullptr;
}

}  // namespace vesk
