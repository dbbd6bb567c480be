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

NTSTATUS QueryImageName(ULONG processId, uint8_t* buffer, ULONG capacity, ULONG* written) {
  *written = 0;
  // A kernel handle: in the caller's own handle table another of its threads
  // could close or replace it between the open and the query.
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  CLIENT_ID client;
  client.UniqueProcess = reinterpret_cast<HANDLE>(ULONG_PTR(processId));
  client.UniqueThread = nullptr;
  HANDLE process;
  NTSTATUS status = ZwOpenProcess(&process, PROCESS_QUERY_INFORMATION, &attributes, &client);
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
  // below it (\\.\vesk\x): the system's default for a named device lets
  // everybody read and only the system and administrators more. Both queries
  // need read access, so any user's Task Manager may ask them, as it may list
  // every process and connection anyway.
  NTSTATUS status = createDevice(driver, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN);
  if (NT_ERROR(status)) return status;
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
      NTSTATUS status = QueryImageName(processId, buffer, outputLength, &written);
      return CompleteRequest(irp, status, written);
    }
    default:
      return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  }
}

}  // namespace vesk
