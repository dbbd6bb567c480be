#include "control_device.h"

#include "shared/activity_protocol.h"

namespace vesk {
namespace {

const UNICODE_STRING kControlName = KERNEL_STRING("\\Device\\Vesk");
const UNICODE_STRING kControlLink = KERNEL_STRING("\\DosDevices\\Vesk");

constexpr ULONG kRecordSize = sizeof(ActivityRecord);
constexpr ULONG kImageReplyBuffer = 512;

void CopyOut(uint8_t* cursor, const ActivityRecord& record) {
  const uint8_t* from = reinterpret_cast<const uint8_t*>(&record);
  for (ULONG i = 0; i < kRecordSize; ++i) cursor[i] = from[i];
}

// \Device\Vesk's own security descriptor, in the documented self-relative
// layout (SECURITY_DESCRIPTOR_RELATIVE, then its DACL: an ACL header and
// ACCESS_ALLOWED_ACEs, each with its SID). The system and the Administrators
// have all access; everyone else read access (FILE_GENERIC_READ), which is
// all both queries need (their codes carry FILE_READ_ACCESS): no writing, no
// executing, no changing the descriptor.
template <int SubAuthorities>
struct AllowedAce {
  uint8_t type, flags;
  uint16_t size;
  ACCESS_MASK mask;
  // The SID.
  uint8_t revision, subAuthorityCount;
  uint8_t authority[6];
  uint32_t subAuthority[SubAuthorities];
};

struct ControlDeviceSecurity {
  struct {
    uint8_t revision, sbz1;
    uint16_t control;
    uint32_t owner, group, sacl, dacl;  // offsets from the start; 0 for none
  } header;
  struct {
    uint8_t revision, sbz1;
    uint16_t size, aceCount, sbz2;
  } acl;
  AllowedAce<1> system;          // S-1-5-18
  AllowedAce<2> administrators;  // S-1-5-32-544
  AllowedAce<1> everyone;        // S-1-1-0
};
static_assert(sizeof(ControlDeviceSecurity) == 20 + 8 + 20 + 24 + 20, "the documented layout, no padding");

constexpr uint8_t kAccessAllowedAce = 0;         // ACCESS_ALLOWED_ACE_TYPE
constexpr uint16_t kSelfRelativeDacl = 0x8004;   // SE_SELF_RELATIVE | SE_DACL_PRESENT
constexpr ACCESS_MASK kAllAccess = 0x001F01FF;   // FILE_ALL_ACCESS
constexpr ACCESS_MASK kReadAccess = 0x00120089;  // FILE_GENERIC_READ

const ControlDeviceSecurity kControlSecurity = {
    // SECURITY_DESCRIPTOR_REVISION; no owner, group or SACL; the DACL follows.
    {1, 0, kSelfRelativeDacl, 0, 0, 0, 20},
    // ACL_REVISION; its size with the three entries.
    {2, 0, 8 + 20 + 24 + 20, 3, 0},
    {kAccessAllowedAce, 0, 20, kAllAccess, 1, 1, {0, 0, 0, 0, 0, 5}, {18}},
    {kAccessAllowedAce, 0, 24, kAllAccess, 1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}},
    {kAccessAllowedAce, 0, 20, kReadAccess, 1, 1, {0, 0, 0, 0, 0, 1}, {0}},
};

// Gives the device that descriptor in place of the system's default for a
// named device (which lets everyone write as well).
NTSTATUS Protect(PDEVICE_OBJECT device) {
  HANDLE handle;
  NTSTATUS status =
      ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode, &handle);
  if (NT_ERROR(status)) return status;
  status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION,
                               const_cast<ControlDeviceSecurity*>(&kControlSecurity));
  ZwClose(handle);
  return status;
}

}  // namespace

ULONG WriteActivityRecords(ObjectTable& table, uint8_t* buffer, ULONG capacity) {
  ULONG count = 0;
  // Only the first listening connection of each address object is reported.
  // Should the set have no memory for an address, its listening connections
  // are reported anyway: a listener stays visible, at worst more than once.
  OrderedMap<SharedRef<AddressObject>> listenersSeen;
  bool full = false;

  table.forEachConnection([&](ConnectionObject& connection, AddressObject* address) {
    if (address == nullptr || address->protocol != kProtocolTcp) return true;
    if (connection.state == Associated && address->hasHandler(TDI_EVENT_RECEIVE))
      connection.state = Listening;
    ULONG state = connection.state;
    switch (state) {
      case Listening:
        if (listenersSeen.find(FileKey(address->fileObject))) return true;
        listenersSeen.insertOrAssign(FileKey(address->fileObject), SharedRef<AddressObject>(address));
        break;
      case Connecting:
      case Connected:
      case Disconnected:
        break;
      default:
        return true;
    }
    if (count == capacity) {
      full = true;
      return false;
    }
    ActivityRecord record = {};
    record.fileObject = uint32_t(FileKey(connection.fileObject));
    record.protocol = address->protocol;
    record.processId = address->processId;
    record.localAddress = address->localAddress;
    record.localPort = address->localPort;
    record.remoteAddress = connection.remoteAddress;
    record.remotePort = connection.remotePort;
    record.bytesSent = connection.bytesSent.read();
    record.bytesReceived = connection.bytesReceived.read();
    record.state = state;
    CopyOut(buffer + count * kRecordSize, record);
    ++count;
    return true;
  });
  if (full) return count;

  table.forEachAddress([&](AddressObject& address) {
    if (address.protocol != kProtocolUdp) return true;
    if (count == capacity) return false;
    ActivityRecord record = {};
    record.fileObject = uint32_t(FileKey(address.fileObject));
    record.protocol = address.protocol;
    record.processId = address.processId;
    record.localAddress = address.localAddress;
    record.localPort = address.localPort;
    record.bytesSent = address.bytesSent.read();
    record.bytesReceived = address.bytesReceived.read();
    CopyOut(buffer + count * kRecordSize, record);
    ++count;
    return true;
  });
  return count;
}

namespace {

// A kernel handle to the process for a query of its image, if the caller
// could open it with PROCESS_QUERY_INFORMATION itself: with the caller's mode
// the system checks the process's security against the caller, as OpenProcess
// does, and a refusal comes back unchanged (STATUS_ACCESS_DENIED). A kernel
// handle, because in the caller's own handle table another of its threads
// could close or replace it between the open and the query.
NTSTATUS OpenProcessForQuery(ULONG processId, KPROCESSOR_MODE mode, HANDLE* process) {
  PEPROCESS object;
  NTSTATUS status = PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(ULONG_PTR(processId)), &object);
  if (NT_ERROR(status)) return status;
  auto open = [&](KPROCESSOR_MODE as) {
    return ObOpenObjectByPointer(object, OBJ_KERNEL_HANDLE, nullptr, PROCESS_QUERY_INFORMATION,
                                 ProcessObjectType(), as, process);
  };
  status = open(mode);
  // A kernel that cannot open an object for a user-mode caller at all
  // (Wine's answers STATUS_NOT_IMPLEMENTED; Windows always checks) opens it
  // as the kernel; Wine's own object security still applies there.
  if (status == STATUS_NOT_IMPLEMENTED && mode != KernelMode) status = open(KernelMode);
  ObDereferenceObject(object);
  return status;
}

}  // namespace

NTSTATUS QueryImageName(ULONG processId, KPROCESSOR_MODE mode, uint8_t* buffer, ULONG capacity,
                        ULONG* written) {
  *written = 0;
  HANDLE process;
  NTSTATUS status = OpenProcessForQuery(processId, mode, &process);
  if (NT_ERROR(status)) return status;

  alignas(UNICODE_STRING) uint8_t reply[kImageReplyBuffer];
  ULONG length = 0;
  status = ZwQueryInformationProcess(process, ProcessImageFileName, reply, sizeof reply, &length);
  ZwClose(process);
  if (NT_ERROR(status)) return status;

  // The reply is a counted string header followed by the path; a length that
  // leaves no path, or claims more than the buffer holds, is not a reply.
  const ULONG header = sizeof(UNICODE_STRING);
  if (length < header + sizeof(WCHAR) || length > sizeof reply) return STATUS_INVALID_PARAMETER;
  ULONG pathBytes = length - header;
  if (pathBytes > capacity) return STATUS_BUFFER_TOO_SMALL;
  for (ULONG i = 0; i < pathBytes; ++i) buffer[i] = reply[header + i];
  *written = pathBytes;
  return STATUS_SUCCESS;
}

ControlDevice::ControlDevice(ObjectTable& table) : DeviceBase(kControlName), table_(table) {}

NTSTATUS ControlDevice::start(PDRIVER_OBJECT driver) {
  // Opens are checked against the device's own security, also for names
  // below it (\\.\vesk\x). Any user's Task Manager may read both queries; the
  // image path it gets is that of a process it could open itself.
  NTSTATUS status = createDevice(driver, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN);
  if (NT_ERROR(status)) return status;
  status = Protect(deviceObject());
  if (NT_ERROR(status)) {
    deleteDevice();
    return status;
  }
  UNICODE_STRING link = kControlLink, name = kControlName;
  status = IoCreateSymbolicLink(&link, &name);
  if (NT_ERROR(status)) deleteDevice();
  return status;
}

void ControlDevice::stop() {
  UNICODE_STRING link = kControlLink;
  IoDeleteSymbolicLink(&link);
  deleteDevice();
}

NTSTATUS ControlDevice::deviceControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  uint8_t* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);

  switch (code) {
    case IOCTL_QUERY_ACTIVITY: {
      ULONG capacity = buffer ? outputLength / kRecordSize : 0;
      ULONG count = WriteActivityRecords(table_, buffer, capacity);
      return CompleteRequest(irp, STATUS_SUCCESS, ULONG_PTR(count) * kRecordSize);
    }
    case IOCTL_QUERY_IMAGE_NAME: {
      if (inputLength != sizeof(uint32_t) || buffer == nullptr)
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
      ULONG processId =
          ULONG(buffer[0]) | ULONG(buffer[1]) << 8 | ULONG(buffer[2]) << 16 | ULONG(buffer[3]) << 24;
      ULONG written = 0;
      NTSTATUS status = QueryImageName(processId, irp->RequestorMode, buffer, outputLength, &written);
      return CompleteRequest(irp, status, written);
    }
    default:
      return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  }
}

}  // namespace vesk
