#include "filter_device.h"

namespace vesk {
namespace {

const UNICODE_STRING kTcpFilterName = KERNEL_STRING("\\Device\\VeskTcp");
const UNICODE_STRING kUdpFilterName = KERNEL_STRING("\\Device\\VeskUdp");

}  // namespace

NTSTATUS FilterDevice::passDown(PIRP irp) {
  // Opened by its own name before it is attached, the filter has nowhere to
  // send the request.
  if (lower_ == nullptr) return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower_, irp);
}

NTSTATUS FilterDevice::create(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::cleanup(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::close(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::read(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::write(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::deviceControl(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::internalDeviceControl(PIRP irp) { return passDown(irp); }
NTSTATUS FilterDevice::systemControl(PIRP irp) { return passDown(irp); }

NTSTATUS FilterDevice::attach(PDRIVER_OBJECT driver, const UNICODE_STRING& target) {
  NTSTATUS status = createDevice(driver, FILE_DEVICE_NETWORK, FILE_DEVICE_SECURE_OPEN);
  if (NT_ERROR(status)) return status;
  UNICODE_STRING targetName = target;
  status = IoAttachDevice(deviceObject(), &targetName, &lower_);
  if (NT_ERROR(status)) {
    lower_ = nullptr;
    deleteDevice();
  }
  return status;
}

void FilterDevice::detach() {
  if (lower_ != nullptr) IoDetachDevice(lower_);
  lower_ = nullptr;
  deleteDevice();
}

TcpFilter::TcpFilter(ObjectTable& table) : FilterDevice(kTcpFilterName, table) {}
UdpFilter::UdpFilter(ObjectTable& table) : FilterDevice(kUdpFilterName, table) {}

}  // namespace vesk
