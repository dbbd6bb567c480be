// Loading the driver, its devices, and how its dispatch entry points answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "driver_fixture.h"

namespace {

using hostkernel::Call;

// The SID (as S-1-...) and mask of each ACE of a self-relative security
// descriptor's DACL; empty when there is none.
std::vector<std::pair<std::string, ACCESS_MASK>> DaclOf(const std::vector<uint8_t>& sd) {
  std::vector<std::pair<std::string, ACCESS_MASK>> aces;
  auto at = [&](size_t offset, size_t bytes) {
    ULONG value = 0;
    if (offset + bytes <= sd.size()) std::memcpy(&value, &sd[offset], bytes);
    return value;
  };
  if (sd.size() < 20 || !(at(2, 2) & 0x0004)) return aces;  // SE_DACL_PRESENT
  size_t ace = at(16, 4) + 8;
  for (ULONG i = 0, count = at(at(16, 4) + 4, 2); i < count; ++i) {
    std::string sid = "S-" + std::to_string(at(ace + 8, 1)) + "-" + std::to_string(at(ace + 15, 1));
    for (ULONG a = 0; a < at(ace + 9, 1); ++a) sid += "-" + std::to_string(at(ace + 16 + 4 * a, 4));
    if (at(ace, 1) != 0) sid += " (not an allowing ACE)";
    aces.emplace_back(sid, at(ace + 4, 4));
    ace += at(ace + 2, 2);
  }
  return aces;
}

class DriverLoadTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    transport_.reset(new LowerTransport());
    driver_ = hostkernel::createDriverObject();
  }
  void TearDown() override {
    if (vesk::gActivityDriver) vesk::ActivityDriver::destroy(vesk::gActivityDriver);
    vesk::gActivityDriver = nullptr;
    EXPECT_EQ(hostkernel::poolInUse(vesk::kPoolTag).blocks, 0u);
    hostkernel::deleteDriverObject(driver_);
    transport_.reset();
    KernelTest::TearDown();
  }

  // Nothing of the driver is left in the system.
  void expectNothingLeft() {
    EXPECT_EQ(hostkernel::findDevice(u"\\Device\\Vesk"), nullptr);
    EXPECT_EQ(hostkernel::findDevice(u"\\Device\\VeskTcp"), nullptr);
    EXPECT_EQ(hostkernel::findDevice(u"\\Device\\VeskUdp"), nullptr);
    EXPECT_FALSE(hostkernel::symbolicLinkExists(u"\\DosDevices\\Vesk"));
    EXPECT_EQ(transport_->tcp()->AttachedDevice, nullptr);
    if (transport_->udp()) {
      EXPECT_EQ(transport_->udp()->AttachedDevice, nullptr);
    }
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(hostkernel::poolInUse(vesk::kPoolTag).blocks, 0u);
  }

  std::unique_ptr<LowerTransport> transport_;
  PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(DriverLoadTest, CreatesControlDeviceLinkAndBothFilters) {
  ASSERT_EQ(DriverEntry(driver_, nullptr), STATUS_SUCCESS);
  PDEVICE_OBJECT control = hostkernel::findDevice(u"\\Device\\Vesk");
  PDEVICE_OBJECT tcp = hostkernel::findDevice(u"\\Device\\VeskTcp");
  PDEVICE_OBJECT udp = hostkernel::findDevice(u"\\Device\\VeskUdp");
  ASSERT_NE(control, nullptr);
  ASSERT_NE(tcp, nullptr);
  ASSERT_NE(udp, nullptr);
  EXPECT_EQ(hostkernel::findDevice(u"\\DosDevices\\Vesk"), control);

  EXPECT_EQ(control->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
  EXPECT_EQ(control->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN))
      << "opens checked against the device's security";
  for (PDEVICE_OBJECT filter : {tcp, udp}) {
    EXPECT_EQ(filter->DeviceType, ULONG(FILE_DEVICE_NETWORK));
    EXPECT_EQ(filter->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN));
  }
  for (PDEVICE_OBJECT d : {control, tcp, udp}) EXPECT_TRUE(d->Flags & DO_DIRECT_IO);

  EXPECT_EQ(transport_->tcp()->AttachedDevice, tcp);
  EXPECT_EQ(transport_->udp()->AttachedDevice, udp);
  EXPECT_EQ(vesk::gActivityDriver->tcp().lowerDevice(), transport_->tcp());
  EXPECT_EQ(vesk::gActivityDriver->udp().lowerDevice(), transport_->udp());
  EXPECT_EQ(driver_->DriverUnload, nullptr) << "the driver cannot be unloaded safely, so offers no unload";

  // \Device\Vesk: the system and the Administrators may do everything, everyone
  // else may read (FILE_GENERIC_READ): no writing, no executing.
  std::vector<std::pair<std::string, ACCESS_MASK>> expected = {
      {"S-1-5-18", 0x001F01FF}, {"S-1-5-32-544", 0x001F01FF}, {"S-1-1-0", 0x00120089}};
  EXPECT_EQ(DaclOf(hostkernel::deviceSecurity(control)), expected);
  EXPECT_TRUE(hostkernel::deviceSecurity(tcp).empty()) << "the filters keep the system's own";
  EXPECT_TRUE(hostkernel::deviceSecurity(udp).empty());
}

TEST_F(DriverLoadTest, NoMemoryForTheInstanceLoadsInert) {
  hostkernel::failCall(Call::ExAllocatePoolWithTag);
  ASSERT_EQ(DriverEntry(driver_, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(vesk::gActivityDriver, nullptr);
  expectNothingLeft();
}

// A failure at any step of the load undoes the steps before it: a device left
// attached over \Device\Tcp would route every TCP request into an unloaded image.
TEST_F(DriverLoadTest, FailureAtAnyStepUndoesTheStepsBefore) {
  const NTSTATUS failure = STATUS_OBJECT_NAME_COLLISION;
  // A refused attach comes back as a null device: the driver's status then.
  const NTSTATUS refused = STATUS_NO_SUCH_DEVICE;
  struct Step {
    const char* what;
    Call call;
    unsigned skip;
    NTSTATUS loadStatus;
  } steps[] = {
      {"control device", Call::IoCreateDevice, 0, failure},
      {"control device security", Call::ZwSetSecurityObject, 0, failure},
      {"symbolic link", Call::IoCreateSymbolicLink, 0, failure},
      {"TCP filter device", Call::IoCreateDevice, 1, failure},
      {"finding \\Device\\Tcp", Call::IoGetDeviceObjectPointer, 0, failure},
      {"attach over TCP", Call::IoAttachDeviceToDeviceStack, 0, refused},
      {"UDP filter device", Call::IoCreateDevice, 2, failure},
      {"finding \\Device\\Udp", Call::IoGetDeviceObjectPointer, 1, failure},
      {"attach over UDP", Call::IoAttachDeviceToDeviceStack, 1, refused},
  };
  for (const Step& step : steps) {
    hostkernel::failCall(step.call, failure, step.skip);
    EXPECT_EQ(DriverEntry(driver_, nullptr), step.loadStatus) << step.what;
    EXPECT_EQ(vesk::gActivityDriver, nullptr) << step.what;
    expectNothingLeft();
    hostkernel::failCall(step.call, failure, 0, 0);
  }
}

// Requests on objects opened before the driver loaded that reach a filter in
// the moment it is linked into its stack, before the attach has returned, go
// on to the transport: none is failed, a cleanup or a close least of all.
TEST_F(DriverLoadTest, RequestsReachingAFilterWhileItIsAttachedGoToTheTransport) {
  PFILE_OBJECT tcp = hostkernel::openFile(u"\\Device\\Tcp").file;
  PFILE_OBJECT udp = hostkernel::openFile(u"\\Device\\Udp").file;
  std::vector<NTSTATUS> answers;
  hostkernel::onAttach([&](PDEVICE_OBJECT filter) {
    PFILE_OBJECT file = hostkernel::attachedTop(transport_->tcp()) == filter ? tcp : udp;
    for (UCHAR major : {IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
      answers.push_back(hostkernel::sendRequest(nullptr, file, major).status);
  });
  transport_->forget();
  ASSERT_EQ(DriverEntry(driver_, nullptr), STATUS_SUCCESS);
  hostkernel::onAttach(nullptr);
  EXPECT_EQ(answers, std::vector<NTSTATUS>(6, STATUS_SUCCESS));
  size_t reached = 0;
  for (const LowerTransport::Seen& seen : transport_->seen()) reached += seen.file == tcp || seen.file == udp;
  EXPECT_EQ(reached, 6u);
  ObDereferenceObject(tcp);
  ObDereferenceObject(udp);
}

TEST_F(DriverLoadTest, MissingUdpTransportFailsTheLoadWithTheAttachStatus) {
  transport_.reset();
  transport_.reset(new LowerTransport(false));
  EXPECT_EQ(DriverEntry(driver_, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
  expectNothingLeft();
}

class DispatchTest : public DriverTest {};

TEST_F(DispatchTest, ControlDeviceOpensReadsWritesAndClosesWithNoData) {
  hostkernel::OpenResult open = hostkernel::openFile(u"\\DosDevices\\Vesk");
  ASSERT_EQ(open.status, STATUS_SUCCESS);
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SYSTEM_CONTROL}) {
    hostkernel::Completion c = hostkernel::sendRequest(nullptr, open.file, major);
    EXPECT_EQ(c.status, STATUS_SUCCESS) << int(major);
    EXPECT_EQ(c.information, 0u) << int(major);
  }
  EXPECT_EQ(hostkernel::closeFile(open.file), STATUS_SUCCESS);
}

// Every major function the driver has no operation of its own for goes
// through a filter to the transport unchanged (a power request the way
// Windows 2000 and XP want it) and comes back with the transport's answer;
// the control device keeps refusing them.
TEST_F(DispatchTest, OtherMajorFunctionsPassThroughTheFiltersAndAreRefusedByTheControlDevice) {
  const UCHAR handled[] = {IRP_MJ_CREATE,
                           IRP_MJ_CLEANUP,
                           IRP_MJ_CLOSE,
                           IRP_MJ_READ,
                           IRP_MJ_WRITE,
                           IRP_MJ_DEVICE_CONTROL,
                           IRP_MJ_INTERNAL_DEVICE_CONTROL,
                           IRP_MJ_SYSTEM_CONTROL};
  const ULONG kMarker = 0xABCD1234;  // parameters that must arrive as they were sent
  transport_->answer(STATUS_NOT_IMPLEMENTED);
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    if (std::find(std::begin(handled), std::end(handled), major) != std::end(handled)) continue;
    auto setup = [&](PIRP, PIO_STACK_LOCATION stack) {
      stack->MinorFunction = 0x42;
      stack->Parameters.DeviceIoControl.IoControlCode = kMarker;
    };
    EXPECT_EQ(hostkernel::sendRequest(hostkernel::findDevice(u"\\Device\\Vesk"), nullptr, UCHAR(major), setup)
                  .status,
              STATUS_INVALID_DEVICE_REQUEST)
        << major;
    EXPECT_TRUE(transport_->seen().empty()) << major << ": nothing of it reaches the transport";
    struct {
      const char16_t* filter;
      PDEVICE_OBJECT transport;
    } filters[] = {{u"\\Device\\VeskTcp", transport_->tcp()}, {u"\\Device\\VeskUdp", transport_->udp()}};
    for (const auto& f : filters) {
      EXPECT_EQ(
          hostkernel::sendRequest(hostkernel::findDevice(f.filter), nullptr, UCHAR(major), setup).status,
          STATUS_NOT_IMPLEMENTED)
          << major << ": the transport's own answer";
      std::vector<LowerTransport::Seen> seen = transport_->seen();
      ASSERT_EQ(seen.size(), 1u) << major;
      EXPECT_EQ(seen[0].device, f.transport) << major;
      EXPECT_EQ(seen[0].major, major);
      EXPECT_EQ(seen[0].minor, 0x42) << major;
      EXPECT_EQ(seen[0].ioControlCode, kMarker) << major;
      EXPECT_EQ(seen[0].completionRoutine, nullptr) << major;
      transport_->forget();
    }
  }
}

// Until interception is added, the filters hand every request down unchanged:
// the transport sees the same stack location, with no completion routine.
TEST_F(DispatchTest, FiltersPassEveryRequestDownUnchanged) {
  hostkernel::OpenResult open = hostkernel::openFile(u"\\Device\\Tcp");
  ASSERT_EQ(open.status, STATUS_SUCCESS);
  transport_->answer(STATUS_UNSUCCESSFUL, 0);
  std::vector<uint8_t> out;
  hostkernel::Completion c = hostkernel::deviceIoControl(open.file, 0x120003, {1, 2, 3}, out, 16);
  EXPECT_EQ(c.status, STATUS_UNSUCCESSFUL) << "the transport's own answer comes back";
  transport_->answer(STATUS_SUCCESS, 0);
  hostkernel::sendRequest(nullptr, open.file, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                          [](PIRP, PIO_STACK_LOCATION stack) { stack->MinorFunction = 7; });
  hostkernel::closeFile(open.file);

  std::vector<LowerTransport::Seen> seen = transport_->seen();
  ASSERT_EQ(seen.size(), 5u);
  const UCHAR majors[] = {IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                          IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].device, transport_->tcp());
    EXPECT_EQ(seen[i].major, majors[i]);
    EXPECT_EQ(seen[i].file, open.file);
    EXPECT_EQ(seen[i].completionRoutine, nullptr);
  }
  EXPECT_EQ(seen[1].ioControlCode, 0x120003u);
  EXPECT_EQ(seen[2].minor, 7);
}

TEST_F(DriverLoadTest, FailedAttachLeavesNoDevice) {
  vesk::ObjectTable table;
  vesk::TcpFilter filter(table);
  UNICODE_STRING missing;
  RtlInitUnicodeString(&missing, u"\\Device\\NoSuchTransport");
  EXPECT_EQ(filter.attach(driver_, missing), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(filter.deviceObject(), nullptr);
  EXPECT_EQ(filter.lowerDevice(), nullptr);
}

}  // namespace
