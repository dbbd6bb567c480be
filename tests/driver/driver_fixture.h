// A fresh host kernel with the transport stand-in and the driver loaded, for
// each test; at the end the driver is torn down and nothing may be left over.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "activity_driver.h"
#include "kernel_control.h"
#include "lower_transport.h"

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override { hostkernel::reset(); }
  void TearDown() override {
    EXPECT_EQ(hostkernel::violations(), 0u);
    hostkernel::reset();
  }
};

class DriverTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    transport_.reset(new LowerTransport());
    driver_ = hostkernel::createDriverObject();
    ASSERT_EQ(DriverEntry(driver_, nullptr), STATUS_SUCCESS);
    ASSERT_NE(vesk::gActivityDriver, nullptr);
    transport_->forget();
  }
  void TearDown() override {
    if (vesk::gActivityDriver) vesk::ActivityDriver::destroy(vesk::gActivityDriver);
    vesk::gActivityDriver = nullptr;
    hostkernel::drainWorkItems();
    EXPECT_EQ(hostkernel::poolInUse(vesk::kPoolTag).blocks, 0u) << "driver pool left after teardown";
    hostkernel::deleteDriverObject(driver_);
    transport_.reset();
    KernelTest::TearDown();
  }

  vesk::ActivityDriver& driver() { return *vesk::gActivityDriver; }
  vesk::ObjectTable& table() { return vesk::gActivityDriver->table(); }

  std::unique_ptr<LowerTransport> transport_;
  PDRIVER_OBJECT driver_ = nullptr;
};
