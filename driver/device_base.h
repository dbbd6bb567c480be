// The driver's devices: a class per device kind with eight operations, one per
// request kind, in a fixed slot order, and a ninth for every other request.
// Dispatch finds the instance through the device object's extension.
#pragma once

#include "kernel/kernel.h"

namespace vesk {

// Completes the request with `status` and `information`, no priority boost.
// A power request first lets the power manager send the next one
// (PoStartNextPowerIrp), as every driver must on Windows 2000 and XP.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

class DeviceBase {
 public:
  explicit DeviceBase(const UNICODE_STRING& name) : name_(name) {}
  DeviceBase(const DeviceBase&) = delete;
  DeviceBase& operator=(const DeviceBase&) = delete;

  // Each operation takes the request and returns the status of its handling.
  // Here all eight complete at once with success and no data.
  virtual NTSTATUS create(PIRP irp);
  virtual NTSTATUS cleanup(PIRP irp);
  virtual NTSTATUS close(PIRP irp);
  virtual NTSTATUS read(PIRP irp);
  virtual NTSTATUS write(PIRP irp);
  virtual NTSTATUS deviceControl(PIRP irp);
  virtual NTSTATUS internalDeviceControl(PIRP irp);
  virtual NTSTATUS systemControl(PIRP irp);
  // Every other major function (IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_QUERY_INFORMATION
  // and the rest): here failed with STATUS_INVALID_DEVICE_REQUEST, as the
  // system answers for a driver without a routine for it.
  virtual NTSTATUS otherRequest(PIRP irp);

  PDEVICE_OBJECT deviceObject() const { return device_; }

 protected:
  // Creates the named device object, points its extension at this instance and
  // sets DO_DIRECT_IO.
  NTSTATUS createDevice(PDRIVER_OBJECT driver, ULONG type, ULONG characteristics);
  void deleteDevice();

 private:
  PDEVICE_OBJECT device_ = nullptr;
  UNICODE_STRING name_;
};

}  // namespace vesk
