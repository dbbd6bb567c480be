#include "lower_transport.h"

#include <gtest/gtest.h>

namespace {
LowerTransport* gTransport = nullptr;
}

LowerTransport::LowerTransport(bool withUdp) : driver_(hostkernel::createDriverObject(Dispatch)) {
  gTransport = this;
  tcp_ = hostkernel::createNamedDevice(driver_, u"\\Device\\Tcp", FILE_DEVICE_NETWORK);
  if (withUdp) udp_ = hostkernel::createNamedDevice(driver_, u"\\Device\\Udp", FILE_DEVICE_NETWORK);
}

LowerTransport::~LowerTransport() {
  IoDeleteDevice(tcp_);
  if (udp_) IoDeleteDevice(udp_);
  hostkernel::deleteDriverObject(driver_);
  gTransport = nullptr;
}

std::vector<LowerTransport::Seen> LowerTransport::seen() {
  std::lock_guard<std::mutex> lock(m_);
  return seen_;
}

void LowerTransport::forget() {
  std::lock_guard<std::mutex> lock(m_);
  seen_.clear();
}

void LowerTransport::answer(NTSTATUS status, ULONG_PTR information) {
  std::lock_guard<std::mutex> lock(m_);
  status_ = status;
  information_ = information;
}

NTSTATUS NTAPI LowerTransport::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  {
    std::lock_guard<std::mutex> lock(gTransport->m_);
    gTransport->seen_.push_back(Seen{device, stack->MajorFunction, stack->MinorFunction, stack->FileObject,
                                     stack->Parameters.DeviceIoControl.IoControlCode,
                                     irp->AssociatedIrp.SystemBuffer, stack->CompletionRoutine});
    status = gTransport->status_;
    irp->IoStatus.Information = gTransport->information_;
  }
  // A power request lets the power manager send the next one before it is
  // completed, as every driver must on Windows 2000 and XP.
  if (stack->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
