// The control device \Device\Vesk (user mode: \\.\vesk): the driver's only
// interface to user mode, answering the activity and image name queries.
#pragma once

#include "device_base.h"
#include "object_table.h"

namespace vesk {

class ControlDevice : public DeviceBase {
 public:
  explicit ControlDevice(ObjectTable& table);

  NTSTATUS deviceControl(PIRP irp) override;

  // Creates the device and its symbolic link.
  NTSTATUS start(PDRIVER_OBJECT driver);
  // Deletes the link and the device. A link that cannot be deleted is left
  // behind: it then names no device, whereas a device left behind would point
  // at an instance that is gone.
  void stop();

 private:
  ObjectTable& table_;
};

// Writes the activity records of `table` into `buffer`, at most `capacity` of
// them; returns how many were written.
ULONG WriteActivityRecords(ObjectTable& table, uint8_t* buffer, ULONG capacity);

// The native image path of a process as the system reports it, after the
// counted-string header, for a caller in `mode` who may query the process.
// Fails with the system's status (STATUS_ACCESS_DENIED for a process the
// caller could not open), with STATUS_INVALID_PARAMETER for a reply too short
// (or too long) to hold a path, and with STATUS_BUFFER_TOO_SMALL when it does
// not fit `capacity` bytes.
NTSTATUS QueryImageName(ULONG processId, KPROCESSOR_MODE mode, uint8_t* buffer, ULONG capacity,
                        ULONG* written);

}  // namespace vesk
