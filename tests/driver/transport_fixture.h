// The driver loaded over the TCP/IP transport stand-in, with a client process
// and the control device open for queries.
#pragma once

#include <cstring>
#include <memory>

#include "driver_fixture.h"
#include "shared/activity_protocol.h"
#include "socket_client.h"
#include "tdi_transport.h"

class TransportTest : public KernelTest {
 protected:
  static constexpr ULONG kClientProcess = 1500;

  void SetUp() override {
    KernelTest::SetUp();
    hostkernel::addProcess(kClientProcess, u"\\Device\\HarddiskVolume1\\client.exe");
    transport_.reset(new TdiTransport());
    driver_ = hostkernel::createDriverObject();
    ASSERT_EQ(DriverEntry(driver_, nullptr), STATUS_SUCCESS);
    ASSERT_NE(vesk::gActivityDriver, nullptr);
    control_ = hostkernel::openFile(u"\\DosDevices\\Vesk").file;
  }
  void TearDown() override {
    hostkernel::closeFile(control_);
    transport_->flush();
    hostkernel::drainWorkItems();
    vesk::ActivityDriver::destroy(vesk::gActivityDriver);
    vesk::gActivityDriver = nullptr;
    EXPECT_EQ(hostkernel::poolInUse(vesk::kPoolTag).blocks, 0u) << "driver pool left after the last close";
    hostkernel::deleteDriverObject(driver_);
    transport_.reset();
    KernelTest::TearDown();
  }

  std::vector<ActivityRecord> activity() {
    std::vector<uint8_t> out;
    hostkernel::deviceIoControl(control_, IOCTL_QUERY_ACTIVITY, {}, out, 45056);
    std::vector<ActivityRecord> records(out.size() / sizeof(ActivityRecord));
    if (!records.empty()) std::memcpy(records.data(), out.data(), records.size() * sizeof(ActivityRecord));
    return records;
  }
  // The record of one transport object, or a record with fileObject 0.
  ActivityRecord recordOf(PFILE_OBJECT file) {
    for (const ActivityRecord& r : activity())
      if (r.fileObject == uint32_t(reinterpret_cast<ULONG_PTR>(file))) return r;
    return ActivityRecord{};
  }
  vesk::ObjectTable& table() { return vesk::gActivityDriver->table(); }

  std::unique_ptr<TdiTransport> transport_;
  SocketClient client_{kClientProcess};
  PDRIVER_OBJECT driver_ = nullptr;
  PFILE_OBJECT control_ = nullptr;
};
