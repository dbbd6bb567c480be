#include "activity_driver.h"

namespace vesk {
namespace {

const UNICODE_STRING kTcpDevice = KERNEL_STRING("\\Device\\Tcp");
const UNICODE_STRING kUdpDevice = KERNEL_STRING("\\Device\\Udp");

// Every dispatch entry point calls one operation of the instance behind the
// device's extension. A device whose instance is not yet stored answers like
// the base class: no data, success for the eight, a refusal for the rest.
template <NTSTATUS (DeviceBase::*Operation)(PIRP)>
NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  DeviceBase* instance = *static_cast<DeviceBase**>(device->DeviceExtension);
  if (instance == nullptr)
    return CompleteRequest(
        irp, Operation == &DeviceBase::otherRequest ? STATUS_INVALID_DEVICE_REQUEST : STATUS_SUCCESS);
  return (instance->*Operation)(irp);
}

}  // namespace

ActivityDriver* gActivityDriver = nullptr;

NTSTATUS ActivityDriver::start(PDRIVER_OBJECT driver) {
  NTSTATUS status = control_.start(driver);
  if (NT_ERROR(status)) return status;
  status = tcp_.attach(driver, kTcpDevice);
  if (NT_ERROR(status)) {
    control_.stop();
    return status;
  }
  status = udp_.attach(driver, kUdpDevice);
  if (NT_ERROR(status)) {
    tcp_.detach();
    control_.stop();
    return status;
  }
  return STATUS_SUCCESS;
}

void ActivityDriver::destroy(ActivityDriver* instance) {
  instance->udp_.detach();
  instance->tcp_.detach();
  instance->control_.stop();
  instance->table_.clear();
  delete instance;
}

}  // namespace vesk

using vesk::ActivityDriver;
using vesk::DeviceBase;
using vesk::Dispatch;

// The driver offers no unload routine: a filter over the TCP/IP transport
// cannot know that no request still carries one of its completion routines or
// that no client still holds a hooked event handler, so unloading it could
// never be made safe. It stays loaded until the system shuts down.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  // Registered first: the filters see requests as soon as they are attached.
  // A filter passes down every request it has no operation for; the system's
  // own answer for an empty slot would fail it.
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
    driver->MajorFunction[major] = Dispatch<&DeviceBase::otherRequest>;
  driver->MajorFunction[IRP_MJ_CREATE] = Dispatch<&DeviceBase::create>;
  driver->MajorFunction[IRP_MJ_CLEANUP] = Dispatch<&DeviceBase::cleanup>;
  driver->MajorFunction[IRP_MJ_CLOSE] = Dispatch<&DeviceBase::close>;
  driver->MajorFunction[IRP_MJ_READ] = Dispatch<&DeviceBase::read>;
  driver->MajorFunction[IRP_MJ_WRITE] = Dispatch<&DeviceBase::write>;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch<&DeviceBase::deviceControl>;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch<&DeviceBase::internalDeviceControl>;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = Dispatch<&DeviceBase::systemControl>;

  // Without memory for the instance the driver loads inert: no devices.
  ActivityDriver* instance = new ActivityDriver();
  if (instance != nullptr) {
    NTSTATUS status = instance->start(driver);
    if (NT_ERROR(status)) {
      delete instance;
      return status;
    }
  }
  vesk::gActivityDriver = instance;
  if (instance != nullptr) instance->startIntercepting();
  return STATUS_SUCCESS;
}
