// A device attached over a transport device. Every request it does not handle
// itself goes down to the device it is attached over, unchanged.
#pragma once

#include "device_base.h"
#include "object_table.h"

namespace vesk {

class FilterDevice : public DeviceBase {
 public:
  FilterDevice(const UNICODE_STRING& name, ObjectTable& table) : DeviceBase(name), table_(table) {}

  NTSTATUS create(PIRP irp) override;
  NTSTATUS cleanup(PIRP irp) override;
  NTSTATUS close(PIRP irp) override;
  NTSTATUS read(PIRP irp) override;
  NTSTATUS write(PIRP irp) override;
  NTSTATUS deviceControl(PIRP irp) override;
  NTSTATUS internalDeviceControl(PIRP irp) override;
  NTSTATUS systemControl(PIRP irp) override;

  // Creates the device and attaches it over `target`.
  NTSTATUS attach(PDRIVER_OBJECT driver, const UNICODE_STRING& target);
  // Detaches from the lower device and deletes the device.
  void detach();

  PDEVICE_OBJECT lowerDevice() const { return lower_; }

 protected:
  // The request as it came, to the lower device.
  NTSTATUS passDown(PIRP irp);

  ObjectTable& table_;

 private:
  PDEVICE_OBJECT lower_ = nullptr;
};

// The filters over TCP and UDP; they differ in the protocol their address
// records carry.
class TcpFilter : public FilterDevice {
 public:
  explicit TcpFilter(ObjectTable& table);
};

class UdpFilter : public FilterDevice {
 public:
  explicit UdpFilter(ObjectTable& table);
};

}  // namespace vesk
