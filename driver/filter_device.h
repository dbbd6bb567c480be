// The devices attached over the transport devices. FilterDevice hands every
// request down unchanged; TransportFilter adds the bookkeeping of transport
// objects, connection states and byte counts, and the event handler and direct
// send hooks.
#pragma once

#include "device_base.h"
#include "object_table.h"

namespace vesk {

class FilterDevice : public DeviceBase {
 public:
  explicit FilterDevice(const UNICODE_STRING& name) : DeviceBase(name) {}

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

  // Requests of every major function the driver has no operation of its own
  // for go down unchanged.
  NTSTATUS otherRequest(PIRP irp) override;

 protected:
  // The request as it came, to the lower device; a power request with the
  // power manager's calls that Windows 2000 and XP require.
  NTSTATUS passDown(PIRP irp);
  // When a completion routine is called: on success, on failure or
  // cancellation, or always.
  enum Invoke { OnSuccess, OnFailure, Always };
  // The request to the lower device with `routine` called, with `context`,
  // when the lower device completes it as `invoke` says. A request without a
  // stack location for the lower device goes down without the routine.
  NTSTATUS passDownWithCompletion(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                  Invoke invoke = OnSuccess);
  NTSTATUS answerWithoutLowerDevice(PIRP irp);

 private:
  PDEVICE_OBJECT volatile lower_ = nullptr;
};

// A direct send routine of the transport: the request and its stack location.
typedef NTSTATUS(NTAPI* DirectSendRoutine)(PIRP irp, PIO_STACK_LOCATION stack);

class TransportFilter : public FilterDevice {
 public:
  TransportFilter(const UNICODE_STRING& name, ULONG protocol, ObjectTable& table)
      : FilterDevice(name), protocol_(protocol), table_(table) {}

  NTSTATUS create(PIRP irp) override;
  NTSTATUS cleanup(PIRP irp) override;
  NTSTATUS close(PIRP irp) override;
  NTSTATUS deviceControl(PIRP irp) override;
  NTSTATUS internalDeviceControl(PIRP irp) override;

  // Until this is called the filter only passes requests down: nothing of the
  // driver is referenced by a request or by the transport before the driver
  // has finished loading.
  void startIntercepting() { intercepting_ = true; }

  ULONG protocol() const { return protocol_; }
  ObjectTable& table() { return table_; }

  // The transport's own direct send routines, kept per filter: TCP's and UDP's
  // are different routines.
  DirectSendRoutine volatile savedDirectSend = nullptr;
  DirectSendRoutine volatile savedDirectSendDatagram = nullptr;

 private:
  // Ends the record of the object a cleanup or close (`closing`) ends and
  // passes the request on.
  NTSTATUS endObject(PIRP irp, bool closing);
  // The close down to the transport with `record` held until it completes.
  NTSTATUS passDownHolding(PIRP irp, AddressObject* record);
  NTSTATUS hookEventHandler(PIRP irp);
  NTSTATUS checkDirectSendQuery(PIRP irp);

  ULONG const protocol_;
  ObjectTable& table_;
  bool volatile intercepting_ = false;
};

class TcpFilter : public TransportFilter {
 public:
  explicit TcpFilter(ObjectTable& table);
};

class UdpFilter : public TransportFilter {
 public:
  explicit UdpFilter(ObjectTable& table);
};

// Adds a send of `bytes` to the address or connection record behind `file`,
// by the object kind the transport keeps in its FsContext2.
void CountSend(ObjectTable& table, PFILE_OBJECT file, ULONG bytes);

// Sends the client's own event handlers stored in `record` back to the
// transport, for an address object that is closing.
void RestoreEventHandlers(AddressObject& record);

}  // namespace vesk
