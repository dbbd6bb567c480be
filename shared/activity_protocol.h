// The control device's wire protocol, shared by the driver and the extension.
// Compiles in kernel mode (DDK headers), in user mode (Windows headers) and in the
// host build (no Windows headers at all).
#pragma once

#include <stdint.h>

#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED 0
#endif
#ifndef FILE_READ_ACCESS
#define FILE_READ_ACCESS 0x0001
#endif

// Device type of the control device's codes (the vendor range above 0x8000).
#define VESK_DEVICE_TYPE 0x9900u

#define IOCTL_QUERY_ACTIVITY CTL_CODE(VESK_DEVICE_TYPE, 0x099, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_QUERY_IMAGE_NAME CTL_CODE(VESK_DEVICE_TYPE, 0x09A, METHOD_BUFFERED, FILE_READ_ACCESS)

static_assert(IOCTL_QUERY_ACTIVITY == 0x99004264u, "IOCTL_QUERY_ACTIVITY");
static_assert(IOCTL_QUERY_IMAGE_NAME == 0x99004268u, "IOCTL_QUERY_IMAGE_NAME");

// State of a TCP connection endpoint as the driver records and reports it.
enum ConnectionState : uint32_t {
  Created = 0,
  Associated = 1,
  Connecting = 2,
  Listening = 3,
  Connected = 4,
  Disconnected = 5,
};

// One tracked transport object in the reply to IOCTL_QUERY_ACTIVITY. Records are
// packed back to back with no header. Addresses and ports are in network byte
// order, as TDI carries them. For UDP records remoteAddress, remotePort and state
// are not written.
#pragma pack(push, 4)
struct ActivityRecord {
  uint32_t fileObject;  // opaque identity, stable while the object is open
  uint32_t protocol;    // 6 (TCP connection) or 17 (UDP address)
  uint32_t processId;
  uint32_t localAddress;
  uint32_t remoteAddress;
  uint16_t localPort;
  uint16_t remotePort;
  uint64_t bytesSent;
  uint64_t bytesReceived;
  uint32_t state;  // a ConnectionState
};
#pragma pack(pop)

static_assert(sizeof(ActivityRecord) == 44, "ActivityRecord is 44 bytes on the wire");
static_assert(__builtin_offsetof(ActivityRecord, fileObject) == 0, "fileObject");
static_assert(__builtin_offsetof(ActivityRecord, protocol) == 4, "protocol");
static_assert(__builtin_offsetof(ActivityRecord, processId) == 8, "processId");
static_assert(__builtin_offsetof(ActivityRecord, localAddress) == 12, "localAddress");
static_assert(__builtin_offsetof(ActivityRecord, remoteAddress) == 16, "remoteAddress");
static_assert(__builtin_offsetof(ActivityRecord, localPort) == 20, "localPort");
static_assert(__builtin_offsetof(ActivityRecord, remotePort) == 22, "remotePort");
static_assert(__builtin_offsetof(ActivityRecord, bytesSent) == 24, "bytesSent");
static_assert(__builtin_offsetof(ActivityRecord, bytesReceived) == 32, "bytesReceived");
static_assert(__builtin_offsetof(ActivityRecord, state) == 40, "state");
