// The host kernel's behaviour. One process-wide state guarded by one mutex;
// the lock is never held while calling back into driver code.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "kernel_control.h"

#if defined(VESK_I386_EMULATED)
// Under qemu's user-mode emulation LeakSanitizer cannot stop the process's
// threads to scan their stacks (it traces them, which qemu does not offer),
// so every test program would hang at its exit. The host kernel's own leak
// accounting (reset()) still runs.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
#endif

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  bool queued;
};

struct _OBJECT_TYPE {
  const char* name;
};

namespace {
_OBJECT_TYPE gFileType{"File"};
_OBJECT_TYPE gProcessType{"Process"};
_OBJECT_TYPE gDeviceType{"Device"};
POBJECT_TYPE gFileTypePointer = &gFileType;
POBJECT_TYPE gProcessTypePointer = &gProcessType;
}  // namespace

POBJECT_TYPE* IoFileObjectType = &gFileTypePointer;
POBJECT_TYPE* PsProcessType = &gProcessTypePointer;

namespace hostkernel {
namespace {

struct Failure {
  NTSTATUS status = STATUS_SUCCESS;
  unsigned skip = 0;
  unsigned times = 0;
};

struct PoolBlock {
  ULONG tag;
  size_t size;
  POOL_TYPE type;
};

// Every object a handle can name: file objects and process objects.
struct ObjectEntry {
  POBJECT_TYPE type;
  LONG references;
  // A file object the I/O manager opened for IoGetDeviceObjectPointer: its
  // last reference sends IRP_MJ_CLOSE.
  bool closeOnLastReference = false;
};

// A process object; its id is what the process queries report.
struct ProcessObject {
  ULONG id;
};

struct ProcessEntry {
  std::u16string image;
  ProcessObject* object;  // the process table's reference
  ULONG user;
};

struct HandleEntry {
  PVOID object;
  ACCESS_MASK granted;
};
// Handle values to entries; one table per process and one for the kernel.
typedef std::map<ULONG_PTR, HandleEntry> HandleTable;

// The kernel handle bit: the sign bit of a 32-bit handle, sign-extended on a
// 64-bit host as the 64-bit kernel does.
const ULONG_PTR kKernelHandleBit = ULONG_PTR(LONG_PTR(INT32_MIN));

bool HasKernelBit(HANDLE handle) {
  ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
  // The pseudo handles of the current process (-1) and thread (-2) are not.
  return (value & kKernelHandleBit) == kKernelHandleBit && LONG_PTR(value) < -2;
}

// Who holds a request: where it came from decides who frees it.
enum class IrpOrigin {
  Allocated,  // IoAllocateIrp: its owner stops the completion and frees it
  Threaded,   // IoBuildDeviceIoControlRequest: freed at completion
  IoManager,  // sendRequest and the like: freed at completion
};

struct IrpRecord {
  IrpOrigin origin;
  size_t size;
  bool completed = false;     // completion ran to the top
  bool pendingAtTop = false;  // PendingReturned there
  bool returned = false;      // the top-level IoCallDriver returned
  NTSTATUS returnedStatus = 0;
  // Of a power request: the stack locations it was dispatched at, and those
  // at which a driver let the next one go (PoStartNextPowerIrp).
  std::vector<int> powerDispatches;
  std::vector<int> powerStarts;
};

struct WorkEntry {
  PIO_WORKITEM item;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
};

struct State {
  std::mutex m;
  Failure failures[size_t(Call::Count)];
  size_t calls[size_t(Call::Count)] = {};
  std::map<PVOID, PoolBlock> pool;
  std::map<ULONG, size_t> allocationsByTag;
  std::map<std::u16string, PDEVICE_OBJECT> devices;
  std::map<PDEVICE_OBJECT, std::u16string> deviceNames;
  std::map<std::u16string, std::u16string> links;
  std::set<PDRIVER_OBJECT> drivers;
  std::map<ULONG, ProcessEntry> processes;
  std::map<PDEVICE_OBJECT, std::vector<uint8_t>> deviceSecurity;
  std::map<ULONG, ULONG> imageReplyLengths;
  std::map<ULONG, HandleTable> processHandles;  // by the owning process's id
  HandleTable kernelHandles;
  std::map<PVOID, ObjectEntry> objects;
  // Shared with a top-level IoCallDriver still running when the request
  // completes and is freed.
  std::map<PIRP, std::shared_ptr<IrpRecord>> irps;
  std::set<PIO_WORKITEM> workItems;
  std::set<PMDL> mdls;
  size_t violations = 0;

  std::deque<WorkEntry> workQueue;
  bool workerBusy = false;
  std::condition_variable workChanged;
  // The one worker thread, started by the first queued item and kept for the
  // life of the process: a detached thread is not joinable, so the flag says
  // whether it runs.
  bool workerStarted = false;
  bool workerStop = false;

  std::condition_variable eventChanged;  // for every KEVENT
};

State& S() {
  static State* state = new State;
  return *state;
}

thread_local KIRQL tIrql = PASSIVE_LEVEL;
thread_local int tSpinLocksHeld = 0;
thread_local ULONG tProcess = kSystemProcessId;
thread_local char tIdentity;  // its address identifies the thread
thread_local bool tInPoCallDriver = false;

std::function<void(PDEVICE_OBJECT)> gOnAttach;

bool gAbortOnViolation = false;

// Reports a broken rule while the state lock is held.
void ReportLocked(const std::string& what) {
  ++S().violations;
  if (gAbortOnViolation) {
    std::fprintf(stderr, "kernel rule broken: %s\n", what.c_str());
    std::abort();
  }
  ADD_FAILURE() << "kernel rule broken: " << what;
}

void Violation(const std::string& what) {
  std::lock_guard<std::mutex> lock(S().m);
  ReportLocked(what);
}

// True when the call must fail now; consumes one planned failure.
bool ShouldFail(Call call, NTSTATUS* status = nullptr) {
  std::lock_guard<std::mutex> lock(S().m);
  ++S().calls[size_t(call)];
  Failure& f = S().failures[size_t(call)];
  if (f.times == 0) return false;
  if (f.skip > 0) {
    --f.skip;
    return false;
  }
  --f.times;
  if (status) *status = f.status;
  return true;
}

std::u16string ToString(PCUNICODE_STRING s) {
  if (s == nullptr || s->Buffer == nullptr) return std::u16string();
  return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

// --- Handles and objects ----------------------------------------------------
// All of these run with the state lock held.

// The entry a handle names for a caller in `mode`: kernel handles only from
// kernel mode, any other value in the current process's own table.
HandleEntry* FindHandleLocked(HANDLE handle, KPROCESSOR_MODE mode) {
  ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
  HandleTable* table;
  if (HasKernelBit(handle)) {
    if (mode != KernelMode) return nullptr;
    table = &S().kernelHandles;
    value &= ~kKernelHandleBit;
  } else {
    auto t = S().processHandles.find(tProcess);
    if (t == S().processHandles.end()) return nullptr;
    table = &t->second;
  }
  auto h = table->find(value);
  return h == table->end() ? nullptr : &h->second;
}

// The lowest free value of the table, as the system hands them out.
HANDLE InsertHandleLocked(bool kernelHandle, PVOID object, ACCESS_MASK granted) {
  HandleTable& table = kernelHandle ? S().kernelHandles : S().processHandles[tProcess];
  ULONG_PTR value = 4;
  while (table.count(value)) value += 4;
  table[value] = HandleEntry{object, granted};
  return reinterpret_cast<HANDLE>(kernelHandle ? value | kKernelHandleBit : value);
}

// Removes the entry; false when there is none.
bool EraseHandleLocked(HANDLE handle, PVOID* object) {
  HandleEntry* entry = FindHandleLocked(handle, KernelMode);
  if (entry == nullptr) return false;
  *object = entry->object;
  ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
  if (HasKernelBit(handle))
    S().kernelHandles.erase(value & ~kKernelHandleBit);
  else
    S().processHandles[tProcess].erase(value);
  return true;
}

POBJECT_TYPE TypeOfLocked(PVOID object) {
  auto o = S().objects.find(object);
  return o == S().objects.end() ? nullptr : o->second.type;
}

// Devices are deleted by IoDeleteDevice, not by their last reference.
void DeleteObject(PVOID object, POBJECT_TYPE type) {
  if (type == &gFileType)
    delete static_cast<PFILE_OBJECT>(object);
  else if (type == &gProcessType)
    delete static_cast<ProcessObject*>(object);
}

// --- Paged pool guard --------------------------------------------------------
// Paged pool blocks live in pages of their own. While any thread runs above
// PASSIVE_LEVEL they are made inaccessible; a touch from a thread above
// PASSIVE_LEVEL ends the test with a message, a touch from a thread at
// PASSIVE_LEVEL is legitimate and opens that block again.

constexpr size_t kMaxPagedBlocks = 4096;
struct PagedRange {
  std::atomic<uintptr_t> start{0};
  std::atomic<size_t> length{0};
};
PagedRange gPaged[kMaxPagedBlocks];
std::atomic<size_t> gPagedInUse{0};  // blocks currently allocated
std::atomic<int> gThreadsRaised{0};
const size_t kPageSize = size_t(sysconf(_SC_PAGESIZE));

size_t PagesFor(size_t size) { return (size + kPageSize - 1) / kPageSize * kPageSize; }

void ProtectPaged(bool inaccessible) {
  if (gPagedInUse.load() == 0) return;
  for (PagedRange& r : gPaged) {
    uintptr_t start = r.start.load();
    if (start != 0)
      mprotect(reinterpret_cast<void*>(start), r.length.load(),
               inaccessible ? PROT_NONE : PROT_READ | PROT_WRITE);
  }
}

struct sigaction gPreviousSegv;

// The message is static: under qemu's user-mode emulation the handler runs on
// a stack that AddressSanitizer takes for poisoned, and a store to a local
// array there ends the process with a report of its own instead of code 86.
void OnSegv(int signal, siginfo_t* info, void* context) {
  uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (PagedRange& r : gPaged) {
    uintptr_t start = r.start.load();
    if (start != 0 && address >= start && address < start + r.length.load()) {
      if (tIrql > PASSIVE_LEVEL) {
        static const char message[] = "kernel rule broken: paged pool touched above PASSIVE_LEVEL\n";
        ssize_t ignored = write(2, message, sizeof message - 1);
        (void)ignored;
        _exit(86);
      }
      mprotect(reinterpret_cast<void*>(start), r.length.load(), PROT_READ | PROT_WRITE);
      return;
    }
  }
  // Not ours: let the previous handler (or the default action) have it.
  if (gPreviousSegv.sa_flags & SA_SIGINFO) {
    gPreviousSegv.sa_sigaction(signal, info, context);
  } else if (gPreviousSegv.sa_handler != SIG_IGN && gPreviousSegv.sa_handler != SIG_DFL) {
    gPreviousSegv.sa_handler(signal);
  } else {
    ::signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
  }
}

void InstallSegvHandler() {
  static bool installed = [] {
    struct sigaction action = {};
    action.sa_sigaction = OnSegv;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &gPreviousSegv);
    return true;
  }();
  (void)installed;
}

void SetIrql(KIRQL irql) {
  bool wasRaised = tIrql > PASSIVE_LEVEL, raised = irql > PASSIVE_LEVEL;
  tIrql = irql;
  if (raised && !wasRaised) {
    if (gThreadsRaised.fetch_add(1) == 0) ProtectPaged(true);
  } else if (!raised && wasRaised) {
    if (gThreadsRaised.fetch_sub(1) == 1) ProtectPaged(false);
  }
}

PVOID AllocatePaged(size_t size) {
  InstallSegvHandler();
  size_t length = PagesFor(size == 0 ? 1 : size);
  void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  for (PagedRange& r : gPaged) {
    uintptr_t expected = 0;
    if (r.start.load() == 0) {
      r.length.store(length);
      if (r.start.compare_exchange_strong(expected, reinterpret_cast<uintptr_t>(p))) {
        ++gPagedInUse;
        return p;
      }
    }
  }
  munmap(p, length);
  return nullptr;
}

void FreePaged(PVOID p) {
  for (PagedRange& r : gPaged) {
    if (r.start.load() == reinterpret_cast<uintptr_t>(p)) {
      size_t length = r.length.load();
      r.start.store(0);
      --gPagedInUse;
      munmap(p, length);
      return;
    }
  }
}

// --- Requests ----------------------------------------------------------------

PIO_STACK_LOCATION StackBase(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

PIRP NewIrp(CHAR stackSize, IrpOrigin origin) {
  size_t size = sizeof(IRP) + sizeof(IO_STACK_LOCATION) * size_t(stackSize);
  PIRP irp = static_cast<PIRP>(calloc(1, size));
  irp->StackCount = stackSize;
  irp->CurrentLocation = CHAR(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = StackBase(irp) + stackSize;
  auto record = std::make_shared<IrpRecord>();
  record->origin = origin;
  record->size = size;
  std::lock_guard<std::mutex> lock(S().m);
  S().irps[irp] = record;
  return irp;
}

// Frees a request's memory, filled with a pattern first. Under
// AddressSanitizer any later touch of it is a use after free; without it the
// pattern makes stale pointers and counts stand out.
void PoisonAndFree(PIRP irp, size_t size) {
  std::memset(static_cast<void*>(irp), 0xDD, size);
  free(irp);
}

// The pending rule, once both the top-level dispatch has returned and the
// request has completed (or the dispatch returned without completing it): a
// dispatch that returns STATUS_PENDING has marked the request pending, and
// one that returns anything else has completed it without the mark.
void CheckPendingRuleLocked(const IrpRecord& r) {
  if (r.returnedStatus == STATUS_PENDING) {
    if (r.completed && !r.pendingAtTop)
      ReportLocked("STATUS_PENDING returned without marking the request pending");
  } else if (!r.completed) {
    ReportLocked("dispatch returned " + std::to_string(r.returnedStatus) + " without completing the request");
  } else if (r.pendingAtTop) {
    ReportLocked("request marked pending but dispatch returned a status other than STATUS_PENDING");
  }
}

// What the I/O manager does with the MDLs of a request it frees: unlock
// them (they must be locked) and free them.
void FreeMdlChain(PMDL mdl) {
  while (mdl != nullptr) {
    PMDL next = mdl->Next;
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    mdl = next;
  }
}

bool IsPagedBlock(PVOID address) {
  uintptr_t a = reinterpret_cast<uintptr_t>(address);
  for (PagedRange& r : gPaged) {
    uintptr_t start = r.start.load();
    if (start != 0 && a >= start && a < start + r.length.load()) return true;
  }
  return false;
}

// --- Worker thread -------------------------------------------------------------

void WorkerLoop() {
  tProcess = kSystemProcessId;
  std::unique_lock<std::mutex> lock(S().m);
  for (;;) {
    S().workChanged.wait(lock, [] { return S().workerStop || !S().workQueue.empty(); });
    if (S().workQueue.empty()) return;
    WorkEntry entry = S().workQueue.front();
    S().workQueue.pop_front();
    entry.item->queued = false;
    S().workerBusy = true;
    lock.unlock();
    entry.routine(entry.item->device, entry.context);
    if (tIrql != PASSIVE_LEVEL || tSpinLocksHeld != 0) {
      Violation("work item returned above PASSIVE_LEVEL or holding a spin lock");
      SetIrql(PASSIVE_LEVEL);
      tSpinLocksHeld = 0;
    }
    lock.lock();
    S().workerBusy = false;
    S().workChanged.notify_all();
  }
}

}  // namespace

// --- Control ------------------------------------------------------------------

void reset() {
  drainWorkItems();
  State& s = S();
  std::vector<std::string> leaks;
  {
    std::lock_guard<std::mutex> lock(s.m);
    if (!s.pool.empty()) leaks.push_back(std::to_string(s.pool.size()) + " pool blocks");
    if (!s.irps.empty()) leaks.push_back(std::to_string(s.irps.size()) + " requests");
    if (!s.workItems.empty()) leaks.push_back(std::to_string(s.workItems.size()) + " work items");
    if (!s.mdls.empty()) leaks.push_back(std::to_string(s.mdls.size()) + " MDLs");
    for (auto& p : s.pool) {
      if (p.second.type == PagedPool)
        FreePaged(p.first);
      else
        free(p.first);
    }
    for (auto& i : s.irps) free(i.first);
    for (PIO_WORKITEM w : s.workItems) delete w;
    for (PMDL m : s.mdls) delete m;
    size_t files = 0;
    for (auto& o : s.objects) {
      if (o.second.type == &gFileType) ++files;
      DeleteObject(o.first, o.second.type);
    }
    if (files != 0) leaks.push_back(std::to_string(files) + " file objects");
    // A process's own handles go with the process; the kernel's stay.
    if (!s.kernelHandles.empty()) leaks.push_back(std::to_string(s.kernelHandles.size()) + " kernel handles");
    for (auto& d : s.deviceNames) {
      free(d.first->DeviceExtension);
      delete d.first;
    }
    for (PDRIVER_OBJECT d : s.drivers) delete d;
    s.pool.clear();
    s.allocationsByTag.clear();
    s.devices.clear();
    s.deviceNames.clear();
    s.links.clear();
    s.drivers.clear();
    s.processes.clear();
    s.deviceSecurity.clear();
    s.imageReplyLengths.clear();
    s.processHandles.clear();
    s.kernelHandles.clear();
    s.objects.clear();
    s.irps.clear();
    s.workItems.clear();
    s.mdls.clear();
    gOnAttach = nullptr;
    for (Failure& f : s.failures) f = Failure();
    for (size_t& n : s.calls) n = 0;
    s.violations = 0;
  }
  for (const std::string& leak : leaks) {
    if (gAbortOnViolation) {
      std::fprintf(stderr, "leaked: %s\n", leak.c_str());
      std::abort();
    }
    ADD_FAILURE() << "leaked at the end of the test: " << leak;
  }
}

void abortOnViolation() { gAbortOnViolation = true; }

void failCall(Call call, NTSTATUS status, unsigned skip, unsigned times) {
  std::lock_guard<std::mutex> lock(S().m);
  S().failures[size_t(call)] = Failure{status, skip, times};
}

size_t callsMade(Call call) {
  std::lock_guard<std::mutex> lock(S().m);
  return S().calls[size_t(call)];
}

PoolUsage poolInUse(ULONG tag) {
  std::lock_guard<std::mutex> lock(S().m);
  PoolUsage usage;
  for (auto& p : S().pool) {
    if (p.second.tag == tag) {
      ++usage.blocks;
      usage.bytes += p.second.size;
    }
  }
  return usage;
}

size_t poolAllocations(ULONG tag) {
  std::lock_guard<std::mutex> lock(S().m);
  return S().allocationsByTag[tag];
}

size_t openHandles() {
  std::lock_guard<std::mutex> lock(S().m);
  size_t count = S().kernelHandles.size();
  for (auto& t : S().processHandles) count += t.second.size();
  return count;
}

size_t irpsInUse() {
  std::lock_guard<std::mutex> lock(S().m);
  return S().irps.size();
}

size_t workItemsInUse() {
  std::lock_guard<std::mutex> lock(S().m);
  return S().workItems.size();
}

size_t violations() {
  std::lock_guard<std::mutex> lock(S().m);
  return S().violations;
}

void drainWorkItems() {
  std::unique_lock<std::mutex> lock(S().m);
  S().workChanged.wait(lock, [] { return S().workQueue.empty() && !S().workerBusy; });
}

void addProcess(ULONG processId, const std::u16string& imagePath, ULONG user) {
  std::lock_guard<std::mutex> lock(S().m);
  auto p = S().processes.find(processId);
  if (p != S().processes.end()) {
    p->second.image = imagePath;
    p->second.user = user;
    return;
  }
  ProcessObject* object = new ProcessObject{processId};
  S().objects[object] = ObjectEntry{&gProcessType, 1};
  S().processes[processId] = ProcessEntry{imagePath, object, user};
}

std::vector<uint8_t> deviceSecurity(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> lock(S().m);
  auto d = S().deviceSecurity.find(device);
  return d == S().deviceSecurity.end() ? std::vector<uint8_t>() : d->second;
}

void setImageReplyLength(ULONG processId, ULONG length) {
  std::lock_guard<std::mutex> lock(S().m);
  S().imageReplyLengths[processId] = length;
}

void removeProcess(ULONG processId) {
  std::vector<PVOID> released;
  {
    std::lock_guard<std::mutex> lock(S().m);
    auto p = S().processes.find(processId);
    if (p == S().processes.end()) return;
    released.push_back(p->second.object);
    S().processes.erase(p);
    // Its handles close with it.
    for (auto& h : S().processHandles[processId]) released.push_back(h.second.object);
    S().processHandles.erase(processId);
  }
  for (PVOID object : released) ObDereferenceObject(object);
}

CurrentProcess::CurrentProcess(ULONG processId) : previous_(tProcess) { tProcess = processId; }
CurrentProcess::~CurrentProcess() { tProcess = previous_; }

AtDispatchLevel::AtDispatchLevel() { KeRaiseIrql(DISPATCH_LEVEL, &previous_); }
AtDispatchLevel::~AtDispatchLevel() { KeLowerIrql(previous_); }

// What the system puts in every dispatch slot before the driver fills them.
static NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT createDriverObject(PDRIVER_DISPATCH dispatch) {
  PDRIVER_OBJECT driver = new DRIVER_OBJECT();
  for (PDRIVER_DISPATCH& slot : driver->MajorFunction) slot = dispatch ? dispatch : InvalidDeviceRequest;
  std::lock_guard<std::mutex> lock(S().m);
  S().drivers.insert(driver);
  return driver;
}

PDEVICE_OBJECT createNamedDevice(PDRIVER_OBJECT driver, const char16_t* name, ULONG type) {
  UNICODE_STRING n;
  RtlInitUnicodeString(&n, name);
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(driver, 0, &n, type, 0, FALSE, &device), STATUS_SUCCESS);
  return device;
}

void deleteDriverObject(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> lock(S().m);
  if (driver->DeviceObject != nullptr) {
    ADD_FAILURE() << "driver object deleted while it still has devices";
    return;
  }
  S().drivers.erase(driver);
  delete driver;
}

static PDEVICE_OBJECT FindDeviceLocked(std::u16string name) {
  State& s = S();
  for (int hops = 0; hops < 8; ++hops) {
    auto d = s.devices.find(name);
    if (d != s.devices.end()) return d->second;
    auto l = s.links.find(name);
    if (l == s.links.end()) return nullptr;
    name = l->second;
  }
  return nullptr;
}

PDEVICE_OBJECT findDevice(const std::u16string& name) {
  std::lock_guard<std::mutex> lock(S().m);
  return FindDeviceLocked(name);
}

void onAttach(const std::function<void(PDEVICE_OBJECT)>& call) { gOnAttach = call; }

PDEVICE_OBJECT attachedTop(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

bool symbolicLinkExists(const std::u16string& name) {
  std::lock_guard<std::mutex> lock(S().m);
  return S().links.count(name) != 0;
}

HANDLE createHandle(PVOID object, bool kernelHandle, ACCESS_MASK access) {
  ObReferenceObject(object);
  std::lock_guard<std::mutex> lock(S().m);
  return InsertHandleLocked(kernelHandle, object, access);
}

void closeHandle(HANDLE handle) { ZwClose(handle); }

OpenResult openFile(const std::u16string& deviceName, const std::vector<uint8_t>& ea) {
  OpenResult result;
  PDEVICE_OBJECT device = findDevice(deviceName);
  if (device == nullptr) {
    result.status = STATUS_OBJECT_NAME_NOT_FOUND;
    return result;
  }
  PFILE_OBJECT file = new FILE_OBJECT();
  file->DeviceObject = device;
  {
    std::lock_guard<std::mutex> lock(S().m);
    S().objects[file] = ObjectEntry{&gFileType, 1};
  }
  // The system buffer of a create holds exactly the extended attributes.
  std::vector<uint8_t> buffer(ea);
  Completion c =
      sendRequest(attachedTop(device), file, IRP_MJ_CREATE, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        irp->AssociatedIrp.SystemBuffer = buffer.empty() ? nullptr : buffer.data();
        stack->Parameters.Create.EaLength = ULONG(buffer.size());
      });
  result.status = c.status;
  if (NT_SUCCESS(c.status)) {
    result.file = file;
  } else {
    ObDereferenceObject(file);
  }
  return result;
}

NTSTATUS closeFile(PFILE_OBJECT file) {
  PDEVICE_OBJECT top = attachedTop(file->DeviceObject);
  sendRequest(top, file, IRP_MJ_CLEANUP);
  Completion c = sendRequest(top, file, IRP_MJ_CLOSE);
  ObDereferenceObject(file);
  return c.status;
}

// The I/O manager's side of one request. The request itself is freed when it
// completes; what the I/O manager learns from it is kept here.
struct PendingRequest {
  KEVENT done;
  IO_STATUS_BLOCK iosb;
  NTSTATUS returned;
};

PendingRequest* beginRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR majorFunction,
                             const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup) {
  if (device == nullptr) device = attachedTop(file->DeviceObject);
  PendingRequest* request = new PendingRequest();
  PIRP irp = NewIrp(device->StackSize, IrpOrigin::IoManager);
  KeInitializeEvent(&request->done, NotificationEvent, FALSE);
  irp->UserEvent = &request->done;
  irp->UserIosb = &request->iosb;
  irp->RequestorMode = UserMode;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = majorFunction;
  stack->FileObject = file;
  if (setup) setup(irp, stack);
  // IoCallDriver checks the pending rule; from here on the request belongs
  // to the drivers until it completes, and then it is gone.
  // The power manager sends its requests with its own call.
  request->returned = majorFunction == IRP_MJ_POWER ? PoCallDriver(device, irp) : IoCallDriver(device, irp);
  return request;
}

bool requestDone(PendingRequest* request) {
  std::lock_guard<std::mutex> lock(S().m);
  return request->done.Signaled != 0;
}

Completion endRequest(PendingRequest* request) {
  // A request that was not completed at return and not pending is reported
  // by IoCallDriver; it is left to the driver that holds it.
  if (request->returned == STATUS_PENDING)
    KeWaitForSingleObject(&request->done, Executive, KernelMode, FALSE, nullptr);
  Completion result{request->iosb.Status, request->iosb.Information};
  delete request;
  return result;
}

Completion sendRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR majorFunction,
                       const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup) {
  return endRequest(beginRequest(device, file, majorFunction, setup));
}

Completion deviceIoControl(PFILE_OBJECT file, ULONG code, const std::vector<uint8_t>& input,
                           std::vector<uint8_t>& output, ULONG outputCapacity, bool internal,
                           KPROCESSOR_MODE mode) {
  size_t size = std::max<size_t>(input.size(), outputCapacity);
  // Exactly the system buffer's size, so that AddressSanitizer sees any write past it.
  uint8_t* systemBuffer = size ? new uint8_t[size] : nullptr;
  if (!input.empty()) std::memcpy(systemBuffer, input.data(), input.size());
  Completion c = sendRequest(nullptr, file, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL,
                             [&](PIRP irp, PIO_STACK_LOCATION stack) {
                               irp->RequestorMode = mode;
                               irp->AssociatedIrp.SystemBuffer = systemBuffer;
                               stack->Parameters.DeviceIoControl.IoControlCode = code;
                               stack->Parameters.DeviceIoControl.InputBufferLength = ULONG(input.size());
                               stack->Parameters.DeviceIoControl.OutputBufferLength = outputCapacity;
                             });
  if (c.information > outputCapacity) {
    Violation("driver returned more bytes than the output buffer holds");
    c.information = outputCapacity;
  }
  output.assign(systemBuffer, systemBuffer + c.information);
  delete[] systemBuffer;
  return c;
}

}  // namespace hostkernel

using namespace hostkernel;

// --- Pool ------------------------------------------------------------------------

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  if (PoolType == PagedPool && tIrql > APC_LEVEL) Violation("paged pool allocated above APC_LEVEL");
  if (tIrql > DISPATCH_LEVEL) Violation("pool allocated above DISPATCH_LEVEL");
  if (ShouldFail(Call::ExAllocatePoolWithTag)) return nullptr;
  PVOID p =
      PoolType == PagedPool ? AllocatePaged(NumberOfBytes) : malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
  if (p == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(S().m);
  S().pool[p] = PoolBlock{Tag, NumberOfBytes, PoolType};
  ++S().allocationsByTag[Tag];
  return p;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  PoolBlock block;
  {
    std::lock_guard<std::mutex> lock(S().m);
    auto found = S().pool.find(P);
    if (found == S().pool.end()) {
      ReportLocked("freeing pool that is not allocated");
      return;
    }
    block = found->second;
    S().pool.erase(found);
  }
  if (block.tag != Tag) Violation("pool freed with a tag other than its own");
  if (block.type == PagedPool) {
    if (tIrql > APC_LEVEL) Violation("paged pool freed above APC_LEVEL");
    FreePaged(P);
  } else {
    free(P);
  }
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source) {
  size_t length = 0;
  if (Source)
    while (Source[length]) ++length;
  Destination->Length = USHORT(length * sizeof(WCHAR));
  Destination->MaximumLength = USHORT(Source ? (length + 1) * sizeof(WCHAR) : 0);
  Destination->Buffer = const_cast<PWSTR>(Source);
}

// --- Devices ---------------------------------------------------------------------

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, ULONG DeviceType, ULONG DeviceCharacteristics,
                              BOOLEAN /*Exclusive*/, PDEVICE_OBJECT* DeviceObject) {
  if (tIrql != PASSIVE_LEVEL) Violation("IoCreateDevice above PASSIVE_LEVEL");
  NTSTATUS status;
  if (ShouldFail(Call::IoCreateDevice, &status)) return status;
  std::u16string name = ToString(DeviceName);
  std::lock_guard<std::mutex> lock(S().m);
  if (!name.empty() && (S().devices.count(name) || S().links.count(name)))
    return STATUS_OBJECT_NAME_COLLISION;
  PDEVICE_OBJECT device = new DEVICE_OBJECT();
  device->DriverObject = DriverObject;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics;
  device->Flags = DO_DEVICE_INITIALIZING;
  device->StackSize = 1;
  device->DeviceExtension = calloc(1, DeviceExtensionSize ? DeviceExtensionSize : 1);
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  if (!name.empty()) S().devices[name] = device;
  S().deviceNames[device] = name;
  S().objects[device] = ObjectEntry{&gDeviceType, 1};
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> lock(S().m);
  auto found = S().deviceNames.find(DeviceObject);
  if (found == S().deviceNames.end()) {
    ReportLocked("deleting a device that does not exist");
    return;
  }
  for (auto& other : S().deviceNames) {
    if (other.first->AttachedDevice == DeviceObject) {
      ReportLocked("deleting a device that is still attached over another");
    }
  }
  auto object = S().objects.find(DeviceObject);
  if (object != S().objects.end() && object->second.references != 1)
    ReportLocked("deleting a device that a handle or reference still holds");
  S().objects.erase(DeviceObject);
  S().deviceSecurity.erase(DeviceObject);
  S().devices.erase(found->second);
  S().deviceNames.erase(found);
  PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
  while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
  if (*link) *link = DeviceObject->NextDevice;
  free(DeviceObject->DeviceExtension);
  delete DeviceObject;
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  NTSTATUS status;
  if (ShouldFail(Call::IoCreateSymbolicLink, &status)) return status;
  std::lock_guard<std::mutex> lock(S().m);
  std::u16string name = ToString(SymbolicLinkName);
  if (S().links.count(name) || S().devices.count(name)) return STATUS_OBJECT_NAME_COLLISION;
  S().links[name] = ToString(DeviceName);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  NTSTATUS status;
  if (ShouldFail(Call::IoDeleteSymbolicLink, &status)) return status;
  std::lock_guard<std::mutex> lock(S().m);
  return S().links.erase(ToString(SymbolicLinkName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI IoAttachDevice(PDEVICE_OBJECT SourceDevice, PUNICODE_STRING TargetDevice,
                              PDEVICE_OBJECT* AttachedDevice) {
  if (tIrql != PASSIVE_LEVEL) Violation("IoAttachDevice above PASSIVE_LEVEL");
  NTSTATUS status;
  if (ShouldFail(Call::IoAttachDevice, &status)) return status;
  std::lock_guard<std::mutex> lock(S().m);
  PDEVICE_OBJECT target = FindDeviceLocked(ToString(TargetDevice));
  if (target == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  PDEVICE_OBJECT top = attachedTop(target);
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = CHAR(top->StackSize + 1);
  *AttachedDevice = top;
  return STATUS_SUCCESS;
}

// As the DDK describes it: links the source over the top of the target's
// stack and returns that top device. The source may receive requests before
// the routine returns (the IoAttachDeviceToDeviceStackSafe reference names
// that race: a filter that learns its lower device from the return value can
// get an IRP before it knows it); `onAttach` sends them.
PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  if (tIrql != PASSIVE_LEVEL) Violation("IoAttachDeviceToDeviceStack above PASSIVE_LEVEL");
  if (ShouldFail(Call::IoAttachDeviceToDeviceStack)) return nullptr;
  PDEVICE_OBJECT top;
  {
    std::lock_guard<std::mutex> lock(S().m);
    top = attachedTop(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = CHAR(top->StackSize + 1);
  }
  if (gOnAttach) gOnAttach(SourceDevice);
  return top;
}

// As the DDK describes it: opens the named device (IRP_MJ_CREATE, then
// IRP_MJ_CLEANUP as the handle it opened with is closed again) and gives the
// file object, which the caller dereferences when done (IRP_MJ_CLOSE), and
// the device on top of the named one's stack.
NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK /*DesiredAccess*/,
                                        PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject) {
  if (tIrql != PASSIVE_LEVEL) Violation("IoGetDeviceObjectPointer above PASSIVE_LEVEL");
  NTSTATUS status;
  if (ShouldFail(Call::IoGetDeviceObjectPointer, &status)) return status;
  PDEVICE_OBJECT device = findDevice(ToString(ObjectName));
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  PFILE_OBJECT file = new FILE_OBJECT();
  file->DeviceObject = device;
  {
    std::lock_guard<std::mutex> lock(S().m);
    S().objects[file] = ObjectEntry{&gFileType, 1};
  }
  auto kernelMode = [](PIRP irp, PIO_STACK_LOCATION) { irp->RequestorMode = KernelMode; };
  status = sendRequest(attachedTop(device), file, IRP_MJ_CREATE, kernelMode).status;
  if (NT_ERROR(status)) {
    ObDereferenceObject(file);
    return status;
  }
  sendRequest(attachedTop(device), file, IRP_MJ_CLEANUP, kernelMode);
  {
    std::lock_guard<std::mutex> lock(S().m);
    S().objects[file].closeOnLastReference = true;
  }
  *FileObject = file;
  *DeviceObject = attachedTop(device);
  return STATUS_SUCCESS;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  if (TargetDevice->AttachedDevice == nullptr) Violation("detaching from a device nothing is attached to");
  TargetDevice->AttachedDevice = nullptr;
}

// --- Requests --------------------------------------------------------------------

PIRP NTAPI IoAllocateIrp(CHAR StackSize, BOOLEAN /*ChargeQuota*/) {
  if (ShouldFail(Call::IoAllocateIrp)) return nullptr;
  return NewIrp(StackSize, IrpOrigin::Allocated);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  size_t size;
  {
    std::lock_guard<std::mutex> lock(S().m);
    auto found = S().irps.find(Irp);
    if (found == S().irps.end()) {
      ReportLocked("freeing a request that does not exist");
      return;
    }
    if (found->second->origin != IrpOrigin::Allocated) {
      ReportLocked("freeing a request that the I/O manager frees at its completion");
      return;
    }
    size = found->second->size;
    S().irps.erase(found);
  }
  PoisonAndFree(Irp, size);
}

NTSTATUS NTAPI IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  // The record of a request sent from the top by the I/O manager or a
  // driver's IoBuildDeviceIoControlRequest, whose sender the pending rule
  // binds; the request itself may be gone by the time the dispatch returns.
  bool viaPoCallDriver = tInPoCallDriver;
  tInPoCallDriver = false;
  std::shared_ptr<IrpRecord> top, record;
  {
    std::lock_guard<std::mutex> lock(S().m);
    auto found = S().irps.find(Irp);
    if (found == S().irps.end() || found->second->completed) {
      ReportLocked("passing down a request that is completed or unknown");
      return STATUS_INVALID_DEVICE_STATE;
    }
    if (found->second->origin != IrpOrigin::Allocated && Irp->CurrentLocation == Irp->StackCount + 1)
      top = found->second;
    record = found->second;
  }
  // The next location is the one the device gets.
  bool power = Irp->CurrentLocation > 1 && IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER;
  if (power && !viaPoCallDriver)
    Violation("power request passed down with IoCallDriver (Windows 2000 and XP need PoCallDriver)");
  if (tSpinLocksHeld > 0) Violation("spin lock held across IoCallDriver");
  if (DeviceObject == nullptr) {
    Violation("IoCallDriver with no device");
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (--Irp->CurrentLocation <= 0) {
    Violation("request passed down with no stack location left");
    return STATUS_INVALID_DEVICE_STATE;
  }
  PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = DeviceObject;
  if (power) {
    std::lock_guard<std::mutex> lock(S().m);
    record->powerDispatches.push_back(Irp->CurrentLocation);
  }
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  if (dispatch == nullptr) {
    Violation("null dispatch routine called");
    return STATUS_INVALID_DEVICE_STATE;
  }
  NTSTATUS status = dispatch(DeviceObject, Irp);
  if (top) {
    std::lock_guard<std::mutex> lock(S().m);
    top->returned = true;
    top->returnedStatus = status;
    // A pending request is checked when it completes.
    if (top->completed || status != STATUS_PENDING) CheckPendingRuleLocked(*top);
  }
  return status;
}

VOID NTAPI IoCompleteRequest(PIRP Irp, CHAR /*PriorityBoost*/) {
  std::shared_ptr<IrpRecord> record;
  {
    std::lock_guard<std::mutex> lock(S().m);
    auto found = S().irps.find(Irp);
    if (found == S().irps.end() || found->second->completed) {
      ReportLocked("request completed twice");
      return;
    }
    record = found->second;
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) Violation("request completed with STATUS_PENDING");
  if (tIrql > DISPATCH_LEVEL) Violation("request completed above DISPATCH_LEVEL");
  for (;;) {
    if (Irp->CurrentLocation > Irp->StackCount) break;
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    UCHAR control = stack->Control;
    std::memset(stack, 0, sizeof *stack);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    bool top = Irp->CurrentLocation > Irp->StackCount;
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                         (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PDEVICE_OBJECT device = top ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
      if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (Irp->PendingReturned && !top) {
      IoMarkIrpPending(Irp);
    }
  }
  if (record->origin == IrpOrigin::Allocated) {
    // Nobody frees it at the top: its owner's completion routine must end
    // the completion with STATUS_MORE_PROCESSING_REQUIRED and free it.
    std::lock_guard<std::mutex> lock(S().m);
    record->completed = true;
    ReportLocked("a request from IoAllocateIrp completed past its owner's completion routine");
    return;
  }
  // The I/O manager's part: the status block and the event of the sender,
  // the request's MDLs, then the request itself. From here on the request
  // does not exist; whoever touches it touches freed memory.
  if (!record->powerDispatches.empty()) {
    std::vector<int> dispatched = record->powerDispatches, started = record->powerStarts;
    std::sort(dispatched.begin(), dispatched.end());
    std::sort(started.begin(), started.end());
    if (dispatched != started)
      Violation(
          "a driver the power request reached did not start the next one (PoStartNextPowerIrp) "
          "at its own stack location");
  }
  if (Irp->UserIosb) *Irp->UserIosb = Irp->IoStatus;
  PKEVENT event = Irp->UserEvent;
  FreeMdlChain(Irp->MdlAddress);
  {
    std::lock_guard<std::mutex> lock(S().m);
    record->completed = true;
    record->pendingAtTop = Irp->PendingReturned;
    if (record->returned) CheckPendingRuleLocked(*record);
    S().irps.erase(Irp);
  }
  PoisonAndFree(Irp, record->size);
  if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// --- Power ---------------------------------------------------------------------
// On Windows 2000 and XP every driver a power request reaches calls
// PoStartNextPowerIrp once for it, while the current stack location is its
// own ("before IoCompleteRequest, IoSkipCurrentIrpStackLocation, and
// PoCallDriver"), and passes it on with PoCallDriver, never IoCallDriver (the
// PoStartNextPowerIrp and PoCallDriver references).

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER ||
      Irp->CurrentLocation > Irp->StackCount) {
    Violation("PoStartNextPowerIrp without a power request's own stack location current");
    return;
  }
  std::lock_guard<std::mutex> lock(S().m);
  auto found = S().irps.find(Irp);
  if (found != S().irps.end()) found->second->powerStarts.push_back(Irp->CurrentLocation);
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  tInPoCallDriver = true;
  return IoCallDriver(DeviceObject, Irp);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer,
                                         ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                         PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  if (tIrql != PASSIVE_LEVEL) Violation("IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
  if (ShouldFail(Call::IoBuildDeviceIoControlRequest)) return nullptr;
  PIRP irp = NewIrp(DeviceObject->StackSize, IrpOrigin::Threaded);
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  irp->RequestorMode = KernelMode;
  irp->UserBuffer = OutputBuffer;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  return irp;
}

// --- IRQL and spin locks ---------------------------------------------------------

KIRQL NTAPI KeGetCurrentIrql() { return tIrql; }

KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = tIrql;
  if (NewIrql < old) Violation("KeRaiseIrql to a lower IRQL");
  SetIrql(NewIrql);
  return old;
}

VOID NTAPI KfLowerIrql(KIRQL NewIrql) {
  if (NewIrql > tIrql) Violation("KeLowerIrql to a higher IRQL");
  SetIrql(NewIrql);
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

KIRQL NTAPI KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  KIRQL old = tIrql;
  if (old > DISPATCH_LEVEL) Violation("spin lock acquired above DISPATCH_LEVEL");
  KSPIN_LOCK mine = reinterpret_cast<KSPIN_LOCK>(&tIdentity);
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == mine) {
    Violation("spin lock acquired recursively");
    return old;
  }
  SetIrql(DISPATCH_LEVEL);
  for (;;) {
    KSPIN_LOCK expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, mine, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
      break;
    std::this_thread::yield();
  }
  ++tSpinLocksHeld;
  return old;
}

VOID NTAPI KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KSPIN_LOCK mine = reinterpret_cast<KSPIN_LOCK>(&tIdentity);
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != mine) {
    Violation("spin lock released that this thread does not hold");
    return;
  }
  --tSpinLocksHeld;
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
  SetIrql(NewIrql);
}

// --- Processes and objects ---------------------------------------------------------

HANDLE NTAPI PsGetCurrentProcessId() { return reinterpret_cast<HANDLE>(ULONG_PTR(tProcess)); }

// Windows XP and earlier answer STATUS_INVALID_PARAMETER for an id that names
// no process (the PsLookupProcessByProcessId reference).
NTSTATUS NTAPI PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS* Process) {
  if (tIrql > APC_LEVEL) Violation("PsLookupProcessByProcessId above APC_LEVEL");
  NTSTATUS status;
  if (ShouldFail(Call::PsLookupProcessByProcessId, &status)) return status;
  std::lock_guard<std::mutex> lock(S().m);
  auto p = S().processes.find(ULONG(reinterpret_cast<ULONG_PTR>(ProcessId)));
  if (p == S().processes.end()) return STATUS_INVALID_PARAMETER;
  ++S().objects[p->second.object].references;
  *Process = reinterpret_cast<PEPROCESS>(p->second.object);
  return STATUS_SUCCESS;
}

// As the ObOpenObjectByPointer reference describes it: a caller outside the
// system process must ask for OBJ_KERNEL_HANDLE; in user mode the access is
// checked against the object's security for the caller, which for a process
// grants its own user and the system (see addProcess) and refuses everybody
// else with STATUS_ACCESS_DENIED, as OpenProcess would.
NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                     PACCESS_STATE /*PassedAccessState*/, ACCESS_MASK DesiredAccess,
                                     POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode, PHANDLE Handle) {
  if (tIrql != PASSIVE_LEVEL) Violation("ObOpenObjectByPointer above PASSIVE_LEVEL");
  if (tProcess != kSystemProcessId && !(HandleAttributes & OBJ_KERNEL_HANDLE))
    Violation("ObOpenObjectByPointer outside the system process without OBJ_KERNEL_HANDLE");
  NTSTATUS status;
  if (ShouldFail(Call::ObOpenObjectByPointer, &status)) return status;
  std::lock_guard<std::mutex> lock(S().m);
  auto o = S().objects.find(Object);
  if (o == S().objects.end()) {
    ReportLocked("opening an object that does not exist");
    return STATUS_INVALID_PARAMETER;
  }
  if (ObjectType != nullptr && o->second.type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
  if (AccessMode != KernelMode && o->second.type == &gProcessType) {
    auto caller = S().processes.find(tProcess);
    ULONG callerUser = caller == S().processes.end() ? kSystemUser : caller->second.user;
    auto process = S().processes.find(static_cast<ProcessObject*>(Object)->id);
    bool listed = process != S().processes.end() && process->second.object == Object;
    ULONG owner = listed ? process->second.user : kSystemUser;
    if (callerUser != kSystemUser && callerUser != owner) return STATUS_ACCESS_DENIED;
  }
  ++o->second.references;
  *Handle = InsertHandleLocked((HandleAttributes & OBJ_KERNEL_HANDLE) != 0, Object, DesiredAccess);
  return STATUS_SUCCESS;
}

// Keeps a self-relative descriptor given for a device's DACL, for the tests
// to read; the handle must grant WRITE_DAC.
NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                   PSECURITY_DESCRIPTOR SecurityDescriptor) {
  NTSTATUS status;
  if (ShouldFail(Call::ZwSetSecurityObject, &status)) return status;
  std::lock_guard<std::mutex> lock(S().m);
  HandleEntry* h = FindHandleLocked(Handle, KernelMode);
  if (h == nullptr) return STATUS_INVALID_HANDLE;
  if (!(h->granted & WRITE_DAC)) return STATUS_ACCESS_DENIED;
  if (TypeOfLocked(h->object) != &gDeviceType || SecurityInformation != DACL_SECURITY_INFORMATION)
    return STATUS_INVALID_PARAMETER;
  const uint8_t* sd = static_cast<const uint8_t*>(SecurityDescriptor);
  uint16_t control;
  uint32_t dacl;
  std::memcpy(&control, sd + 2, 2);
  std::memcpy(&dacl, sd + 16, 4);
  const uint16_t kSelfRelative = 0x8000;
  if (!(control & kSelfRelative) || dacl == 0) return STATUS_INVALID_PARAMETER;
  uint16_t aclSize;
  std::memcpy(&aclSize, sd + dacl + 2, 2);
  S().deviceSecurity[static_cast<PDEVICE_OBJECT>(h->object)].assign(sd, sd + dacl + aclSize);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                         PVOID ProcessInformation, ULONG ProcessInformationLength,
                                         PULONG ReturnLength) {
  if (tIrql != PASSIVE_LEVEL) Violation("ZwQueryInformationProcess above PASSIVE_LEVEL");
  NTSTATUS status;
  if (ShouldFail(Call::ZwQueryInformationProcess, &status)) return status;
  std::u16string image;
  ULONG id;
  bool lengthOverridden = false;
  ULONG lengthOverride = 0;
  {
    std::lock_guard<std::mutex> lock(S().m);
    if (ProcessHandle == NtCurrentProcess()) {
      id = tProcess;
    } else {
      // A Zw call: kernel mode, so kernel handles count too.
      HandleEntry* h = FindHandleLocked(ProcessHandle, KernelMode);
      if (h == nullptr) return STATUS_INVALID_HANDLE;
      if (TypeOfLocked(h->object) != &gProcessType) return STATUS_OBJECT_TYPE_MISMATCH;
      id = static_cast<ProcessObject*>(h->object)->id;
    }
    auto p = S().processes.find(id);
    if (p != S().processes.end()) image = p->second.image;
    auto l = S().imageReplyLengths.find(id);
    if (l != S().imageReplyLengths.end()) {
      lengthOverridden = true;
      lengthOverride = l->second;
    }
  }
  if (ProcessInformationClass == ProcessBasicInformation) {
    if (ProcessInformationLength != sizeof(PROCESS_BASIC_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    PROCESS_BASIC_INFORMATION info = {};
    info.UniqueProcessId = id;
    info.InheritedFromUniqueProcessId = kSystemProcessId;
    std::memcpy(ProcessInformation, &info, sizeof info);
    if (ReturnLength) *ReturnLength = sizeof info;
    return STATUS_SUCCESS;
  }
  if (ProcessInformationClass == ProcessImageFileName) {
    // A counted string followed by its text and a terminating NUL.
    ULONG textBytes = ULONG(image.size() * sizeof(WCHAR));
    ULONG needed = ULONG(sizeof(UNICODE_STRING)) + textBytes + sizeof(WCHAR);
    if (ReturnLength) *ReturnLength = needed;
    if (ProcessInformationLength < needed) return STATUS_INFO_LENGTH_MISMATCH;
    UNICODE_STRING header;
    header.Length = USHORT(textBytes);
    header.MaximumLength = USHORT(textBytes + sizeof(WCHAR));
    header.Buffer =
        reinterpret_cast<PWSTR>(static_cast<uint8_t*>(ProcessInformation) + sizeof(UNICODE_STRING));
    std::memcpy(ProcessInformation, &header, sizeof header);
    std::memcpy(header.Buffer, image.c_str(), textBytes + sizeof(WCHAR));
    if (lengthOverridden && ReturnLength) *ReturnLength = lengthOverride;
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  PVOID object;
  {
    std::lock_guard<std::mutex> lock(S().m);
    if (!EraseHandleLocked(Handle, &object)) {
      ReportLocked("closing a handle that is not open");
      return STATUS_INVALID_HANDLE;
    }
  }
  ObDereferenceObject(object);
  return STATUS_SUCCESS;
}

// As the kernel resolves a handle: in the current process's table, or in the
// kernel's for a kernel handle and a caller in kernel mode only; then the
// object's type, when one is asked for; then, for a caller in user mode, the
// access the handle grants.
NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID* Object,
                                         PVOID /*HandleInformation*/) {
  if (tIrql != PASSIVE_LEVEL) Violation("ObReferenceObjectByHandle above PASSIVE_LEVEL");
  NTSTATUS status;
  if (ShouldFail(Call::ObReferenceObjectByHandle, &status)) return status;
  std::lock_guard<std::mutex> lock(S().m);
  PVOID object;
  ACCESS_MASK granted;
  if (Handle == NtCurrentProcess()) {
    auto p = S().processes.find(tProcess);
    if (p == S().processes.end()) return STATUS_INVALID_HANDLE;
    object = p->second.object;
    granted = ~ACCESS_MASK(0);
  } else {
    HandleEntry* h = FindHandleLocked(Handle, AccessMode);
    if (h == nullptr) return STATUS_INVALID_HANDLE;
    object = h->object;
    granted = h->granted;
  }
  if (ObjectType != nullptr && TypeOfLocked(object) != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
  if (AccessMode != KernelMode && (DesiredAccess & ~granted) != 0) return STATUS_ACCESS_DENIED;
  ++S().objects[object].references;
  *Object = object;
  return STATUS_SUCCESS;
}

VOID NTAPI ObReferenceObject(PVOID Object) {
  std::lock_guard<std::mutex> lock(S().m);
  auto o = S().objects.find(Object);
  if (o == S().objects.end()) {
    ReportLocked("referencing an object that does not exist");
    return;
  }
  ++o->second.references;
}

VOID NTAPI ObDereferenceObject(PVOID Object) {
  POBJECT_TYPE type;
  bool closes;
  {
    std::lock_guard<std::mutex> lock(S().m);
    auto o = S().objects.find(Object);
    if (o == S().objects.end() || o->second.references <= 0) {
      ReportLocked("dereferencing an object that holds no reference");
      return;
    }
    if (--o->second.references > 0) return;
    type = o->second.type;
    closes = o->second.closeOnLastReference;
    S().objects.erase(o);
  }
  if (closes) {
    PFILE_OBJECT file = static_cast<PFILE_OBJECT>(Object);
    sendRequest(attachedTop(file->DeviceObject), file, IRP_MJ_CLOSE,
                [](PIRP irp, PIO_STACK_LOCATION) { irp->RequestorMode = KernelMode; });
  }
  DeleteObject(Object, type);
}

// --- Work items --------------------------------------------------------------------

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  if (ShouldFail(Call::IoAllocateWorkItem)) return nullptr;
  PIO_WORKITEM item = new IO_WORKITEM{DeviceObject, false};
  std::lock_guard<std::mutex> lock(S().m);
  S().workItems.insert(item);
  return item;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  std::lock_guard<std::mutex> lock(S().m);
  if (S().workItems.erase(IoWorkItem) == 0 || IoWorkItem->queued) {
    ReportLocked("freeing a work item that is queued or does not exist");
    return;
  }
  delete IoWorkItem;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE /*QueueType*/, PVOID Context) {
  if (WorkerRoutine == nullptr) Violation("null work item routine queued");
  std::lock_guard<std::mutex> lock(S().m);
  State& s = S();
  if (!s.workerStarted) {
    std::thread(WorkerLoop).detach();
    s.workerStarted = true;
  }
  IoWorkItem->queued = true;
  s.workQueue.push_back(WorkEntry{IoWorkItem, WorkerRoutine, Context});
  s.workChanged.notify_all();
}

// --- Events ------------------------------------------------------------------------

VOID NTAPI KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Type = Type;
  Event->Signaled = State ? 1 : 0;
}

LONG NTAPI KeSetEvent(PKEVENT Event, KPRIORITY /*Increment*/, BOOLEAN /*Wait*/) {
  std::lock_guard<std::mutex> lock(S().m);
  LONG previous = Event->Signaled;
  Event->Signaled = 1;
  S().eventChanged.notify_all();
  return previous;
}

VOID NTAPI KeClearEvent(PKEVENT Event) {
  std::lock_guard<std::mutex> lock(S().m);
  Event->Signaled = 0;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON /*WaitReason*/, KPROCESSOR_MODE /*WaitMode*/,
                                     BOOLEAN /*Alertable*/, PLARGE_INTEGER Timeout) {
  bool polling = Timeout != nullptr && Timeout->QuadPart == 0;
  if (!polling && tIrql > APC_LEVEL) Violation("wait above APC_LEVEL");
  PKEVENT event = static_cast<PKEVENT>(Object);
  std::unique_lock<std::mutex> lock(S().m);
  // A wait that nothing ends would hang the test run: give up after a while.
  bool signaled = S().eventChanged.wait_for(lock, std::chrono::seconds(polling ? 0 : 30),
                                            [&] { return event->Signaled != 0; });
  if (!signaled) {
    lock.unlock();
    if (!polling) Violation("wait that was never satisfied");
    return 0x102;  // STATUS_TIMEOUT
  }
  if (event->Type == SynchronizationEvent) event->Signaled = 0;
  return STATUS_SUCCESS;
}

// --- Memory descriptor lists ---------------------------------------------------------

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN /*ChargeQuota*/,
                         PIRP Irp) {
  if (ShouldFail(Call::IoAllocateMdl)) return nullptr;
  PMDL mdl = new MDL();
  mdl->StartVa = VirtualAddress;
  mdl->ByteCount = Length;
  {
    std::lock_guard<std::mutex> lock(S().m);
    S().mdls.insert(mdl);
  }
  if (Irp != nullptr) {
    if (SecondaryBuffer) {
      PMDL* tail = &Irp->MdlAddress;
      while (*tail) tail = &(*tail)->Next;
      *tail = mdl;
    } else {
      Irp->MdlAddress = mdl;
    }
  }
  return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
  std::lock_guard<std::mutex> lock(S().m);
  if (S().mdls.erase(Mdl) == 0) {
    ReportLocked("freeing an MDL that does not exist");
    return;
  }
  delete Mdl;
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MappedSystemVa = MemoryDescriptorList->StartVa;
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE /*AccessMode*/,
                               LOCK_OPERATION /*Operation*/) {
  if (tIrql > APC_LEVEL) Violation("MmProbeAndLockPages above APC_LEVEL");
  if (MemoryDescriptorList->MdlFlags &
      (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA))
    Violation("MmProbeAndLockPages on an MDL that is already locked or built");
  // Pageable memory may fail to lock, and the exception it raises is one the
  // driver has no handler for.
  if (IsPagedBlock(MemoryDescriptorList->StartVa)) Violation("MmProbeAndLockPages on pageable memory");
  MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
  if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED))
    Violation("MmUnlockPages on an MDL that is not locked");
  MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE /*AccessMode*/, int /*CacheType*/,
                                         PVOID /*BaseAddress*/, ULONG /*BugCheckOnFailure*/,
                                         MM_PAGE_PRIORITY /*Priority*/) {
  if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED)) Violation("mapping an MDL whose pages are not locked");
  if (ShouldFail(Call::MmMapLockedPagesSpecifyCache)) return nullptr;
  Mdl->MappedSystemVa = Mdl->StartVa;
  Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return Mdl->MappedSystemVa;
}

// --- TDI ---------------------------------------------------------------------------

// The user-mode TDI device control codes (FILE_DEVICE_TRANSPORT, functions 0
// to 12) become the internal requests they stand for. The user's buffers: the
// address handle or the query type in the system buffer, the data buffer's
// length as the output length.
NTSTATUS NTAPI TdiMapUserRequest(PDEVICE_OBJECT /*DeviceObject*/, PIRP Irp, PIO_STACK_LOCATION IrpSp) {
  ULONG code = IrpSp->Parameters.DeviceIoControl.IoControlCode;
  if ((code >> 16) != FILE_DEVICE_TRANSPORT) return STATUS_NOT_IMPLEMENTED;
  ULONG input = IrpSp->Parameters.DeviceIoControl.InputBufferLength;
  ULONG output = IrpSp->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  UCHAR minor;
  switch ((code >> 2) & 0xFFF) {
    case 0:
      minor = TDI_ACCEPT;
      break;
    case 1:
      minor = TDI_CONNECT;
      break;
    case 2:
      minor = TDI_DISCONNECT;
      break;
    case 3:
      minor = TDI_LISTEN;
      break;
    case 4:
      minor = TDI_QUERY_INFORMATION;
      break;
    case 5:
      minor = TDI_RECEIVE;
      break;
    case 6:
      minor = TDI_RECEIVE_DATAGRAM;
      break;
    case 7:
      minor = TDI_SEND;
      break;
    case 8:
      minor = TDI_SEND_DATAGRAM;
      break;
    case 9:
      return STATUS_INVALID_PARAMETER;  // event handlers cannot be set from user mode
    case 10:
      minor = TDI_SET_INFORMATION;
      break;
    case 11:
      minor = TDI_ASSOCIATE_ADDRESS;
      break;
    case 12:
      minor = TDI_DISASSOCIATE_ADDRESS;
      break;
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
  // The parameters are rewritten in place, as the internal request carries them.
  switch (minor) {
    case TDI_ASSOCIATE_ADDRESS: {
      if (buffer == nullptr || input < sizeof(HANDLE)) return STATUS_INVALID_PARAMETER;
      HANDLE handle;
      std::memcpy(&handle, buffer, sizeof handle);
      reinterpret_cast<PTDI_REQUEST_KERNEL_ASSOCIATE>(&IrpSp->Parameters)->AddressHandle = handle;
      break;
    }
    case TDI_SEND: {
      PTDI_REQUEST_KERNEL_SEND send = reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&IrpSp->Parameters);
      send->SendLength = output;
      send->SendFlags = 0;
      break;
    }
    case TDI_RECEIVE: {
      PTDI_REQUEST_KERNEL_RECEIVE receive = reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&IrpSp->Parameters);
      receive->ReceiveLength = output;
      receive->ReceiveFlags = 0;
      break;
    }
    case TDI_QUERY_INFORMATION: {
      if (buffer == nullptr || input < sizeof(LONG)) return STATUS_INVALID_PARAMETER;
      LONG type;
      std::memcpy(&type, buffer, sizeof type);
      PTDI_REQUEST_KERNEL_QUERY_INFORMATION query =
          reinterpret_cast<PTDI_REQUEST_KERNEL_QUERY_INFORMATION>(&IrpSp->Parameters);
      query->QueryType = type;
      query->RequestConnectionInformation = nullptr;
      break;
    }
    default:
      std::memset(&IrpSp->Parameters, 0, sizeof IrpSp->Parameters);
  }
  IrpSp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IrpSp->MinorFunction = minor;
  return STATUS_SUCCESS;
}
