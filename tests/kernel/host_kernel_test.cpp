// The host kernel itself: the rules it enforces and the request mechanics the
// driver's tests rely on. A broken rule must fail the test that broke it.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <thread>

#include "kernel_control.h"

namespace {

constexpr ULONG kTag = 0x74736574;

// A handle with query access to a listed process, or nullptr.
HANDLE ProcessHandle(ULONG processId, bool kernelHandle) {
  PEPROCESS process;
  if (PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(ULONG_PTR(processId)), &process) != STATUS_SUCCESS)
    return nullptr;
  HANDLE handle = hostkernel::createHandle(process, kernelHandle, PROCESS_QUERY_INFORMATION);
  ObDereferenceObject(process);
  return handle;
}

class HostKernelTest : public ::testing::Test {
 protected:
  void SetUp() override { hostkernel::reset(); }
  void TearDown() override { hostkernel::reset(); }

  // A driver with one device whose dispatch is `dispatch`.
  PDEVICE_OBJECT makeDevice(PDRIVER_DISPATCH dispatch, const char16_t* name) {
    driver_ = hostkernel::createDriverObject(dispatch);
    return hostkernel::createNamedDevice(driver_, name, FILE_DEVICE_UNKNOWN);
  }
  void dropDevice(PDEVICE_OBJECT device) {
    IoDeleteDevice(device);
    hostkernel::deleteDriverObject(driver_);
  }

  PDRIVER_OBJECT driver_ = nullptr;
};

NTSTATUS NTAPI CompleteTwice(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI CompleteAndPassDown(PDEVICE_OBJECT device, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return IoCallDriver(device, irp);
}

KSPIN_LOCK gLock;
NTSTATUS NTAPI CallDownHoldingLock(PDEVICE_OBJECT, PIRP irp) {
  KIRQL old;
  KeAcquireSpinLock(&gLock, &old);
  PDEVICE_OBJECT lower = hostkernel::findDevice(u"\\Device\\Lower");
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  KeReleaseSpinLock(&gLock, old);
  return status;
}

NTSTATUS NTAPI CompleteSuccess(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TEST_F(HostKernelTest, CompletingTwiceOrPassingDownACompletedRequestIsCaught) {
  PDEVICE_OBJECT device = makeDevice(CompleteTwice, u"\\Device\\T");
  EXPECT_NONFATAL_FAILURE(hostkernel::sendRequest(device, nullptr, IRP_MJ_READ), "request completed twice");
  dropDevice(device);
  device = makeDevice(CompleteAndPassDown, u"\\Device\\T");
  EXPECT_NONFATAL_FAILURE(hostkernel::sendRequest(device, nullptr, IRP_MJ_READ), "completed or unknown");
  dropDevice(device);
}

TEST_F(HostKernelTest, SpinLockHeldAcrossIoCallDriverIsCaught) {
  PDEVICE_OBJECT lower = makeDevice(CompleteSuccess, u"\\Device\\Lower");
  PDRIVER_OBJECT lowerDriver = driver_;
  PDEVICE_OBJECT upper = makeDevice(CallDownHoldingLock, u"\\Device\\Upper");
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Lower");
  PDEVICE_OBJECT below;
  ASSERT_EQ(IoAttachDevice(upper, &name, &below), STATUS_SUCCESS);
  KeInitializeSpinLock(&gLock);
  EXPECT_NONFATAL_FAILURE(hostkernel::sendRequest(upper, nullptr, IRP_MJ_READ),
                          "spin lock held across IoCallDriver");
  IoDetachDevice(lower);
  dropDevice(upper);
  driver_ = lowerDriver;
  dropDevice(lower);
}

TEST_F(HostKernelTest, SpinLockRulesAndIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_NONFATAL_FAILURE(KeReleaseSpinLock(&lock, PASSIVE_LEVEL), "does not hold");
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  void* paged = nullptr;
  EXPECT_NONFATAL_FAILURE(paged = ExAllocatePoolWithTag(PagedPool, 8, kTag),
                          "paged pool allocated above APC_LEVEL");
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  EXPECT_NONFATAL_FAILURE(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), "wait above");
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  ExFreePoolWithTag(paged, kTag);
}

TEST_F(HostKernelTest, PoolAccountingCatchesWrongTagsAndLeaks) {
  void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  EXPECT_EQ(hostkernel::poolInUse(kTag).blocks, 1u);
  EXPECT_EQ(hostkernel::poolInUse(kTag).bytes, 16u);
  EXPECT_NONFATAL_FAILURE(ExFreePoolWithTag(p, kTag + 1), "tag other than its own");
  EXPECT_EQ(hostkernel::poolInUse(kTag).blocks, 0u);
  ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  EXPECT_NONFATAL_FAILURE(hostkernel::reset(), "1 pool blocks");
}

TEST_F(HostKernelTest, PagedPoolTouchedAtDispatchLevelEndsTheTest) {
  EXPECT_EXIT(
      {
        volatile char* p = static_cast<volatile char*>(ExAllocatePoolWithTag(PagedPool, 64, kTag));
        p[0] = 1;  // at PASSIVE_LEVEL: fine
        hostkernel::AtDispatchLevel dispatch;
        p[1] = 2;
      },
      ::testing::ExitedWithCode(86), "paged pool touched above PASSIVE_LEVEL");
}

TEST_F(HostKernelTest, PagedPoolStaysUsableAtPassiveLevelWhileAnotherThreadIsRaised) {
  char* p = static_cast<char*>(ExAllocatePoolWithTag(PagedPool, 64, kTag));
  std::thread raised([] {
    hostkernel::AtDispatchLevel dispatch;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  raised.join();
  p[0] = 'x';
  EXPECT_EQ(p[0], 'x');
  ExFreePoolWithTag(p, kTag);
}

TEST_F(HostKernelTest, PlannedFailuresSkipThenFailThenStop) {
  hostkernel::failCall(hostkernel::Call::ExAllocatePoolWithTag, STATUS_INSUFFICIENT_RESOURCES, 1, 2);
  void* first = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kTag), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kTag), nullptr);
  void* fourth = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
  EXPECT_NE(fourth, nullptr);
  ExFreePoolWithTag(first, kTag);
  ExFreePoolWithTag(fourth, kTag);
}

// A lower driver that pends the request and completes it later from another
// thread; an upper driver that skips its stack location. The pending mark must
// reach the top, as the I/O manager requires.
PIRP gPended = nullptr;
NTSTATUS NTAPI Pend(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  gPended = irp;
  return STATUS_PENDING;
}
NTSTATUS NTAPI SkipDown(PDEVICE_OBJECT, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(hostkernel::findDevice(u"\\Device\\Lower"), irp);
}
int gRoutineCalls = 0;
NTSTATUS NTAPI CountingRoutine(PDEVICE_OBJECT, PIRP irp, PVOID) {
  ++gRoutineCalls;
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI CopyDownWithRoutine(PDEVICE_OBJECT, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, CountingRoutine, nullptr, TRUE, FALSE, FALSE);
  return IoCallDriver(hostkernel::findDevice(u"\\Device\\Lower"), irp);
}

TEST_F(HostKernelTest, PendingPropagatesAndCompletionRoutinesHonourTheirFlags) {
  PDEVICE_OBJECT lower = makeDevice(Pend, u"\\Device\\Lower");
  PDRIVER_OBJECT lowerDriver = driver_;
  for (PDRIVER_DISPATCH upperDispatch : {SkipDown, CopyDownWithRoutine}) {
    PDEVICE_OBJECT upper = makeDevice(upperDispatch, u"\\Device\\Upper");
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Lower");
    PDEVICE_OBJECT below;
    ASSERT_EQ(IoAttachDevice(upper, &name, &below), STATUS_SUCCESS);
    for (NTSTATUS outcome : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
      gRoutineCalls = 0;
      std::thread completer([&] {
        while (__atomic_load_n(&gPended, __ATOMIC_SEQ_CST) == nullptr) std::this_thread::yield();
        hostkernel::AtDispatchLevel dispatch;
        gPended->IoStatus.Status = outcome;
        PIRP irp = gPended;
        gPended = nullptr;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      });
      hostkernel::Completion c = hostkernel::sendRequest(upper, nullptr, IRP_MJ_READ);
      completer.join();
      EXPECT_EQ(c.status, outcome);
      int expectedCalls = upperDispatch == CopyDownWithRoutine && outcome == STATUS_SUCCESS ? 1 : 0;
      EXPECT_EQ(gRoutineCalls, expectedCalls) << "only on success";
    }
    IoDetachDevice(lower);
    dropDevice(upper);
  }
  driver_ = lowerDriver;
  dropDevice(lower);
  EXPECT_EQ(hostkernel::violations(), 0u);
}

NTSTATUS NTAPI PendWithoutMarking(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_PENDING;
}

TEST_F(HostKernelTest, PendingReturnedWithoutTheMarkIsCaught) {
  PDEVICE_OBJECT device = makeDevice(PendWithoutMarking, u"\\Device\\T");
  EXPECT_NONFATAL_FAILURE(hostkernel::sendRequest(device, nullptr, IRP_MJ_READ), "without marking");
  dropDevice(device);
}

TEST_F(HostKernelTest, WorkItemsRunAtPassiveLevelInTheSystemProcess) {
  PDEVICE_OBJECT device = makeDevice(CompleteSuccess, u"\\Device\\T");
  struct Seen {
    KIRQL irql = 99;
    HANDLE process = nullptr;
  } seen;
  PIO_WORKITEM item = IoAllocateWorkItem(device);
  {
    hostkernel::CurrentProcess process(1000);
    hostkernel::AtDispatchLevel dispatch;
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT, PVOID context) {
          Seen* s = static_cast<Seen*>(context);
          s->irql = KeGetCurrentIrql();
          s->process = PsGetCurrentProcessId();
        },
        DelayedWorkQueue, &seen);
  }
  hostkernel::drainWorkItems();
  EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
  EXPECT_EQ(seen.process, reinterpret_cast<HANDLE>(ULONG_PTR(hostkernel::kSystemProcessId)));
  IoFreeWorkItem(item);
  dropDevice(device);
}

TEST_F(HostKernelTest, HandlesAreValidOnlyInTheirOwnProcessUnlessKernelHandles) {
  hostkernel::addProcess(1000, u"\\a.exe");
  PDEVICE_OBJECT device = makeDevice(CompleteSuccess, u"\\Device\\T");
  hostkernel::OpenResult open = hostkernel::openFile(u"\\Device\\T");
  ASSERT_EQ(open.status, STATUS_SUCCESS);
  HANDLE user, kernel;
  {
    hostkernel::CurrentProcess process(1000);
    user = hostkernel::createHandle(open.file, false);
    kernel = hostkernel::createHandle(open.file, true);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(user, 0, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(object, open.file);
    ObDereferenceObject(object);
  }
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(user, 0, nullptr, KernelMode, &object, nullptr), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ObReferenceObjectByHandle(kernel, 0, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(object);
  hostkernel::closeHandle(kernel);
  {
    hostkernel::CurrentProcess process(1000);
    hostkernel::closeHandle(user);
  }
  EXPECT_NONFATAL_FAILURE(ZwClose(user), "not open");
  hostkernel::closeFile(open.file);
  dropDevice(device);
}

// As in the real tables: each process numbers its own handles from 4 and
// reuses closed values, so one value names different objects in different
// processes; kernel handles carry the sign bit and count only in kernel mode.
TEST_F(HostKernelTest, HandleValuesCollideBetweenProcessesAndKernelHandlesNeedKernelMode) {
  hostkernel::addProcess(1000, u"\\a.exe");
  hostkernel::addProcess(1001, u"\\b.exe");
  PDEVICE_OBJECT device = makeDevice(CompleteSuccess, u"\\Device\\T");
  PFILE_OBJECT first = hostkernel::openFile(u"\\Device\\T").file;
  PFILE_OBJECT second = hostkernel::openFile(u"\\Device\\T").file;
  auto resolve = [](HANDLE h, KPROCESSOR_MODE mode) -> PVOID {
    PVOID object = nullptr;
    if (ObReferenceObjectByHandle(h, 0, nullptr, mode, &object, nullptr) != STATUS_SUCCESS) return nullptr;
    ObDereferenceObject(object);
    return object;
  };
  HANDLE inA, inB;
  {
    hostkernel::CurrentProcess process(1000);
    inA = hostkernel::createHandle(first, false);
  }
  {
    hostkernel::CurrentProcess process(1001);
    inB = hostkernel::createHandle(second, false);
    EXPECT_EQ(inB, inA);
    EXPECT_EQ(resolve(inB, UserMode), second);
    hostkernel::closeHandle(inB);
    EXPECT_EQ(hostkernel::createHandle(first, false), inA) << "a closed value is handed out again";
  }
  {
    hostkernel::CurrentProcess process(1000);
    EXPECT_EQ(resolve(inA, UserMode), first);
  }
  HANDLE kernel = hostkernel::createHandle(second, true);
  EXPECT_LT(reinterpret_cast<LONG_PTR>(kernel), 0);
  EXPECT_EQ(resolve(kernel, KernelMode), second);
  EXPECT_EQ(resolve(kernel, UserMode), nullptr) << "user mode cannot name a kernel handle";
  {
    hostkernel::CurrentProcess process(1000);
    EXPECT_EQ(resolve(kernel, KernelMode), second) << "kernel handles are valid in every process";
  }
  hostkernel::closeHandle(kernel);
  hostkernel::removeProcess(1000);  // its handle goes with it
  hostkernel::removeProcess(1001);
  hostkernel::closeFile(first);
  hostkernel::closeFile(second);
  dropDevice(device);
  EXPECT_EQ(hostkernel::openHandles(), 0u);

  // A kernel handle outlives every process: one left open is a leak.
  hostkernel::addProcess(1002, u"\\c.exe");
  ASSERT_NE(ProcessHandle(1002, true), nullptr);
  EXPECT_NONFATAL_FAILURE(hostkernel::reset(), "1 kernel handles");
}

TEST_F(HostKernelTest, ReferenceByHandleChecksTheTypeAndTheAccessOfUserModeCallers) {
  hostkernel::addProcess(1000, u"\\a.exe");
  PDEVICE_OBJECT device = makeDevice(CompleteSuccess, u"\\Device\\T");
  PFILE_OBJECT file = hostkernel::openFile(u"\\Device\\T").file;
  hostkernel::CurrentProcess process(1000);
  HANDLE readOnly = hostkernel::createHandle(file, false, FILE_READ_DATA);
  HANDLE processHandle = ProcessHandle(1000, false);
  ASSERT_NE(processHandle, nullptr);
  struct Case {
    HANDLE handle;
    ACCESS_MASK access;
    POBJECT_TYPE type;
    KPROCESSOR_MODE mode;
    NTSTATUS expected;
  } cases[] = {
      {readOnly, FILE_READ_DATA, *IoFileObjectType, UserMode, STATUS_SUCCESS},
      {readOnly, FILE_WRITE_DATA, *IoFileObjectType, UserMode, STATUS_ACCESS_DENIED},
      {readOnly, FILE_WRITE_DATA, *IoFileObjectType, KernelMode, STATUS_SUCCESS},
      {readOnly, 0, *PsProcessType, KernelMode, STATUS_OBJECT_TYPE_MISMATCH},
      {readOnly, 0, nullptr, KernelMode, STATUS_SUCCESS},
      {processHandle, 0, *IoFileObjectType, KernelMode, STATUS_OBJECT_TYPE_MISMATCH},
      {processHandle, PROCESS_QUERY_INFORMATION, *PsProcessType, UserMode, STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(c.handle, c.access, c.type, c.mode, &object, nullptr), c.expected)
        << c.handle << " " << c.access << " " << int(c.mode);
    if (object != nullptr) ObDereferenceObject(object);
  }
  PROCESS_BASIC_INFORMATION info;
  EXPECT_EQ(ZwQueryInformationProcess(readOnly, ProcessBasicInformation, &info, sizeof info, nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
  hostkernel::closeHandle(processHandle);
  hostkernel::closeHandle(readOnly);
  hostkernel::closeFile(file);
  dropDevice(device);
}

// The I/O manager frees a request when it completes, and a request built by
// IoBuildDeviceIoControlRequest is bound by the pending rule like any other;
// a request from IoAllocateIrp is its owner's, whose completion routine ends
// the completion.
#if defined(__SANITIZE_ADDRESS__)
NTSTATUS NTAPI CompleteThenTouch(PDEVICE_OBJECT, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(hostkernel::findDevice(u"\\Device\\Lower"), irp);
  if (irp->IoStatus.Status != status) return STATUS_UNSUCCESSFUL;  // too late: the request is gone
  return status;
}
#endif

TEST_F(HostKernelTest, RequestsAreFreedAtCompletionAndBoundByThePendingRule) {
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_DEATH(
      {
        PDEVICE_OBJECT lower = makeDevice(CompleteSuccess, u"\\Device\\Lower");
        (void)lower;
        PDEVICE_OBJECT upper = makeDevice(CompleteThenTouch, u"\\Device\\Upper");
        hostkernel::sendRequest(upper, nullptr, IRP_MJ_READ);
      },
      "heap-use-after-free");
#endif
  PDEVICE_OBJECT device = makeDevice(PendWithoutMarking, u"\\Device\\T");
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP built = IoBuildDeviceIoControlRequest(1, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  EXPECT_NONFATAL_FAILURE(IoCallDriver(device, built), "without marking");
  EXPECT_EQ(hostkernel::irpsInUse(), 0u) << "freed at its completion";
  built = IoBuildDeviceIoControlRequest(1, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  EXPECT_NONFATAL_FAILURE(IoFreeIrp(built), "frees at its completion");
  EXPECT_NONFATAL_FAILURE(IoCallDriver(device, built), "without marking");

  PIRP own = IoAllocateIrp(device->StackSize, FALSE);
  EXPECT_NONFATAL_FAILURE(IoCallDriver(device, own), "past its owner's completion routine");
  IoFreeIrp(own);
  dropDevice(device);
}

}  // namespace
