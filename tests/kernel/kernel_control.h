// How tests steer the host kernel: a fresh kernel per test, failure injection
// for every routine that can fail, accounting of pool, handles, requests and
// work items, processes and their image names, and an I/O manager that sends
// requests to devices the way the system does.
//
// Broken kernel rules (the ones the real kernel punishes with a crash) are
// reported as test failures of the test that broke them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host_kernel.h"

namespace hostkernel {

enum class Call {
  ExAllocatePoolWithTag,
  IoCreateDevice,
  IoCreateSymbolicLink,
  IoDeleteSymbolicLink,
  IoAttachDevice,
  IoGetDeviceObjectPointer,
  IoAttachDeviceToDeviceStack,
  IoAllocateIrp,
  IoBuildDeviceIoControlRequest,
  PsLookupProcessByProcessId,
  ObOpenObjectByPointer,
  ZwSetSecurityObject,
  ZwQueryInformationProcess,
  ObReferenceObjectByHandle,
  IoAllocateWorkItem,
  IoAllocateMdl,
  MmMapLockedPagesSpecifyCache,
  Count
};

// Forgets everything: devices, links, processes, handles, pending failures.
// Outstanding pool, requests and work items are reported as leaks first.
void reset();

// The next `times` calls of `call`, after `skip` successful ones, fail with
// `status` (allocation routines return null instead): with `skip` N-1, the
// Nth call from now fails.
void failCall(Call call, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES, unsigned skip = 0,
              unsigned times = 1);
// How often `call` was made since reset, failed calls included.
size_t callsMade(Call call);

struct PoolUsage {
  size_t blocks = 0;
  size_t bytes = 0;
};
PoolUsage poolInUse(ULONG tag);
size_t poolAllocations(ULONG tag);  // successful allocations since reset
size_t openHandles();               // in every table
size_t irpsInUse();
size_t workItemsInUse();

// Waits until every queued work item has run.
void drainWorkItems();

// Processes: id, image path (the native form, "\Device\HarddiskVolume1\..."),
// and the user it runs as. A process's own user and the system may open it
// (the default security of a process grants its user and SYSTEM, and
// nobody else, all access); processes not added run as the system.
constexpr ULONG kSystemUser = 0;
constexpr ULONG kDefaultUser = 1;
void addProcess(ULONG processId, const std::u16string& imagePath, ULONG user = kDefaultUser);
void removeProcess(ULONG processId);
// From now on the image name query of `processId` reports `length` as its
// reply length, whatever it wrote: a system reply of an unexpected size.
void setImageReplyLength(ULONG processId, ULONG length);
constexpr ULONG kSystemProcessId = 4;

// Makes the calling thread run in the context of `processId`.
class CurrentProcess {
 public:
  explicit CurrentProcess(ULONG processId);
  ~CurrentProcess();
  CurrentProcess(const CurrentProcess&) = delete;
  CurrentProcess& operator=(const CurrentProcess&) = delete;

 private:
  ULONG previous_;
};

// Runs the calling thread at DISPATCH_LEVEL while it lives.
class AtDispatchLevel {
 public:
  AtDispatchLevel();
  ~AtDispatchLevel();
  AtDispatchLevel(const AtDispatchLevel&) = delete;
  AtDispatchLevel& operator=(const AtDispatchLevel&) = delete;

 private:
  KIRQL previous_;
};

// Drivers and devices.
// A driver object; with `dispatch`, every dispatch slot calls it.
PDRIVER_OBJECT createDriverObject(PDRIVER_DISPATCH dispatch = nullptr);
// A device of `driver` under `name`; a failure fails the running test.
PDEVICE_OBJECT createNamedDevice(PDRIVER_OBJECT driver, const char16_t* name, ULONG type);
void deleteDriverObject(PDRIVER_OBJECT driver);
// The device a name refers to, following symbolic links; null when none.
PDEVICE_OBJECT findDevice(const std::u16string& name);
// The top of the device stack the device is in.
PDEVICE_OBJECT attachedTop(PDEVICE_OBJECT device);
// Called by IoAttachDeviceToDeviceStack once the source device is linked in
// and before the routine returns, with the source device: requests that
// reach the stack in that moment (empty: none).
void onAttach(const std::function<void(PDEVICE_OBJECT)>& call);
bool symbolicLinkExists(const std::u16string& name);

// A handle to an object in the current process's table, or a kernel handle,
// granting `access`. Values are those of the real tables: each process
// numbers its own handles from 4 up, in steps of 4, reusing closed values, so
// the same value names different objects in different processes; kernel
// handles carry the kernel handle bit (the sign bit of 32 bits).
HANDLE createHandle(PVOID object, bool kernelHandle, ACCESS_MASK access = FILE_ALL_ACCESS);
void closeHandle(HANDLE handle);

// File objects made by `openFile`: reference-counted; freed after the close
// request once the last reference is gone.
struct OpenResult {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PFILE_OBJECT file = nullptr;
};
// Sends IRP_MJ_CREATE with the extended attributes in `ea` to the top of the
// stack of the named device, in the current process's context.
OpenResult openFile(const std::u16string& deviceName, const std::vector<uint8_t>& ea = {});
// IRP_MJ_CLEANUP, then IRP_MJ_CLOSE.
NTSTATUS closeFile(PFILE_OBJECT file);

struct Completion {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  ULONG_PTR information = 0;
};
// Sends one request for `file` (or to `device` when `file` is null) the way the
// I/O manager does: a fresh IRP, `setup` fills the first stack location, the
// call waits for a pending request to complete. Checks that the driver's
// pending marking matches what it returned.
Completion sendRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR majorFunction,
                       const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup = {});
// The same in two halves: `beginRequest` sends the request and returns
// without waiting; `endRequest` waits for its completion, checks the pending
// rules and frees it.
struct PendingRequest;
PendingRequest* beginRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR majorFunction,
                             const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup = {});
Completion endRequest(PendingRequest* request);
// True once the request has completed.
bool requestDone(PendingRequest* request);

// A METHOD_BUFFERED device control request; `output` is resized to the bytes
// returned. The system buffer is exactly max(input, output capacity) bytes.
Completion deviceIoControl(PFILE_OBJECT file, ULONG code, const std::vector<uint8_t>& input,
                           std::vector<uint8_t>& output, ULONG outputCapacity, bool internal = false,
                           KPROCESSOR_MODE mode = UserMode);

// The security descriptor a driver set on a device (ZwSetSecurityObject on a
// handle to it), in self-relative form; empty when none was set.
std::vector<uint8_t> deviceSecurity(PDEVICE_OBJECT device);

// Rule violations seen since reset (each also failed the running test).
size_t violations();
// For fuzzing: a broken rule or a leak ends the process with a message.
void abortOnViolation();

}  // namespace hostkernel
