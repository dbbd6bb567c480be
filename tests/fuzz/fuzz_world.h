// A fresh host kernel with a pass-through transport and the driver loaded, for
// one fuzz input; torn down after it with every rule and leak checked (a
// broken rule or a leak aborts, which libFuzzer reports as a finding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "activity_driver.h"
#include "kernel_control.h"
#include "lower_transport.h"

// Reads the fuzz input front to back; past its end every value is zero.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  template <class T>
  T take() {
    T value{};
    size_t n = sizeof(T) < size_ - at_ ? sizeof(T) : size_ - at_;
    std::memcpy(&value, data_ + at_, n);
    at_ += n;
    return value;
  }
  std::vector<uint8_t> bytes(size_t most) {
    size_t n = most < size_ - at_ ? most : size_ - at_;
    std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
    at_ += n;
    return out;
  }
  std::vector<uint8_t> rest() { return bytes(size_ - at_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

class FuzzWorld {
 public:
  static constexpr ULONG kProcess = 2000;

  FuzzWorld() {
    hostkernel::abortOnViolation();
    hostkernel::reset();
    hostkernel::addProcess(kProcess, u"\\Device\\HarddiskVolume1\\fuzz.exe");
    transport_ = new LowerTransport();
    driver_ = hostkernel::createDriverObject();
    DriverEntry(driver_, nullptr);
  }
  ~FuzzWorld() {
    hostkernel::drainWorkItems();
    if (vesk::gActivityDriver) vesk::ActivityDriver::destroy(vesk::gActivityDriver);
    vesk::gActivityDriver = nullptr;
    hostkernel::deleteDriverObject(driver_);
    delete transport_;
    hostkernel::reset();  // aborts on anything left over
  }

  LowerTransport& transport() { return *transport_; }

 private:
  LowerTransport* transport_;
  PDRIVER_OBJECT driver_;
};
