// The parts of the published TDI interface (tdi.h, tdikrnl.h) and of the
// extended-attribute and TDI user request handling the driver uses, for the
// host kernel. Same names, fields and values; host pointer widths.
#pragma once

// Object kinds the transport keeps in a file object's FsContext2.
#define TDI_TRANSPORT_ADDRESS_FILE 1
#define TDI_CONNECTION_FILE 2
#define TDI_CONTROL_CHANNEL_FILE 3

// Client event types.
#define TDI_EVENT_CONNECT 0
#define TDI_EVENT_DISCONNECT 1
#define TDI_EVENT_ERROR 2
#define TDI_EVENT_RECEIVE 3
#define TDI_EVENT_RECEIVE_DATAGRAM 4
#define TDI_EVENT_RECEIVE_EXPEDITED 5
#define TDI_EVENT_SEND_POSSIBLE 6
#define TDI_EVENT_CHAINED_RECEIVE 7
#define TDI_EVENT_CHAINED_RECEIVE_DATAGRAM 8
#define TDI_EVENT_CHAINED_RECEIVE_EXPEDITED 9
#define TDI_EVENT_ERROR_EX 10

// Internal device control minor codes.
#define TDI_ASSOCIATE_ADDRESS 0x01
#define TDI_DISASSOCIATE_ADDRESS 0x02
#define TDI_CONNECT 0x03
#define TDI_LISTEN 0x04
#define TDI_ACCEPT 0x05
#define TDI_DISCONNECT 0x06
#define TDI_SEND 0x07
#define TDI_RECEIVE 0x08
#define TDI_SEND_DATAGRAM 0x09
#define TDI_RECEIVE_DATAGRAM 0x0A
#define TDI_SET_EVENT_HANDLER 0x0B
#define TDI_QUERY_INFORMATION 0x0C
#define TDI_SET_INFORMATION 0x0D
#define TDI_ACTION 0x0E

#define TDI_QUERY_ADDRESS_INFO 0x00000003
#define TDI_ADDRESS_TYPE_IP 2

#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_DATA_NOT_ACCEPTED ((NTSTATUS)0xC000021BL)
#define STATUS_CONNECTION_REFUSED ((NTSTATUS)0xC0000236L)
#define STATUS_REMOTE_NOT_LISTENING ((NTSTATUS)0xC00000BCL)
#define STATUS_INVALID_CONNECTION ((NTSTATUS)0xC0000140L)
#define STATUS_INVALID_ADDRESS_COMPONENT ((NTSTATUS)0xC0000207L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define TDI_RECEIVE_NORMAL 0x00000020

#define FILE_DEVICE_TRANSPORT 0x00000021
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0

typedef PVOID CONNECTION_CONTEXT;

#define TdiTransportAddress "TransportAddress"
#define TdiConnectionContext "ConnectionContext"
#define TDI_TRANSPORT_ADDRESS_LENGTH (sizeof(TdiTransportAddress) - 1)
#define TDI_CONNECTION_CONTEXT_LENGTH (sizeof(TdiConnectionContext) - 1)

typedef struct _FILE_FULL_EA_INFORMATION {
  ULONG NextEntryOffset;
  UCHAR Flags;
  UCHAR EaNameLength;
  USHORT EaValueLength;
  CHAR EaName[1];
} FILE_FULL_EA_INFORMATION, *PFILE_FULL_EA_INFORMATION;

typedef struct _TA_ADDRESS {
  USHORT AddressLength;
  USHORT AddressType;
  UCHAR Address[1];
} TA_ADDRESS, *PTA_ADDRESS;

typedef struct _TRANSPORT_ADDRESS {
  LONG TAAddressCount;
  TA_ADDRESS Address[1];
} TRANSPORT_ADDRESS, *PTRANSPORT_ADDRESS;

#pragma pack(push, 1)
typedef struct _TDI_ADDRESS_IP {
  USHORT sin_port;
  ULONG in_addr;
  UCHAR sin_zero[8];
} TDI_ADDRESS_IP, *PTDI_ADDRESS_IP;

typedef struct _TA_ADDRESS_IP {
  LONG TAAddressCount;
  struct _AddrIp {
    USHORT AddressLength;
    USHORT AddressType;
    TDI_ADDRESS_IP Address[1];
  } Address[1];
} TA_IP_ADDRESS, *PTA_IP_ADDRESS;
#pragma pack(pop)

typedef struct _TDI_ADDRESS_INFO {
  ULONG ActivityCount;
  TRANSPORT_ADDRESS Address;
} TDI_ADDRESS_INFO, *PTDI_ADDRESS_INFO;

typedef struct _TDI_CONNECTION_INFORMATION {
  LONG UserDataLength;
  PVOID UserData;
  LONG OptionsLength;
  PVOID Options;
  LONG RemoteAddressLength;
  PVOID RemoteAddress;
} TDI_CONNECTION_INFORMATION, *PTDI_CONNECTION_INFORMATION;

typedef struct _TDI_REQUEST_KERNEL {
  ULONG RequestFlags;
  PTDI_CONNECTION_INFORMATION RequestConnectionInformation;
  PTDI_CONNECTION_INFORMATION ReturnConnectionInformation;
  PVOID RequestSpecific;
} TDI_REQUEST_KERNEL, *PTDI_REQUEST_KERNEL;
typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_CONNECT, *PTDI_REQUEST_KERNEL_CONNECT;
typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_LISTEN, *PTDI_REQUEST_KERNEL_LISTEN;
typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_DISCONNECT, *PTDI_REQUEST_KERNEL_DISCONNECT;

typedef struct _TDI_REQUEST_KERNEL_ASSOCIATE {
  HANDLE AddressHandle;
} TDI_REQUEST_KERNEL_ASSOCIATE, *PTDI_REQUEST_KERNEL_ASSOCIATE;

typedef struct _TDI_REQUEST_KERNEL_ACCEPT {
  PTDI_CONNECTION_INFORMATION RequestConnectionInformation;
  PTDI_CONNECTION_INFORMATION ReturnConnectionInformation;
} TDI_REQUEST_KERNEL_ACCEPT, *PTDI_REQUEST_KERNEL_ACCEPT;

typedef struct _TDI_REQUEST_KERNEL_RECEIVE {
  ULONG ReceiveLength;
  ULONG ReceiveFlags;
} TDI_REQUEST_KERNEL_RECEIVE, *PTDI_REQUEST_KERNEL_RECEIVE;

typedef struct _TDI_REQUEST_KERNEL_RECEIVEDG {
  ULONG ReceiveLength;
  PTDI_CONNECTION_INFORMATION ReceiveDatagramInformation;
  PTDI_CONNECTION_INFORMATION ReturnDatagramInformation;
  ULONG ReceiveFlags;
} TDI_REQUEST_KERNEL_RECEIVEDG, *PTDI_REQUEST_KERNEL_RECEIVEDG;

typedef struct _TDI_REQUEST_KERNEL_SEND {
  ULONG SendLength;
  ULONG SendFlags;
} TDI_REQUEST_KERNEL_SEND, *PTDI_REQUEST_KERNEL_SEND;

typedef struct _TDI_REQUEST_KERNEL_SENDDG {
  ULONG SendLength;
  PTDI_CONNECTION_INFORMATION SendDatagramInformation;
} TDI_REQUEST_KERNEL_SENDDG, *PTDI_REQUEST_KERNEL_SENDDG;

typedef struct _TDI_REQUEST_KERNEL_SET_EVENT {
  LONG EventType;
  PVOID EventHandler;
  PVOID EventContext;
} TDI_REQUEST_KERNEL_SET_EVENT, *PTDI_REQUEST_KERNEL_SET_EVENT;

typedef struct _TDI_REQUEST_KERNEL_QUERY_INFO {
  LONG QueryType;
  PTDI_CONNECTION_INFORMATION RequestConnectionInformation;
} TDI_REQUEST_KERNEL_QUERY_INFORMATION, *PTDI_REQUEST_KERNEL_QUERY_INFORMATION;

typedef NTSTATUS(NTAPI* PTDI_IND_CONNECT)(PVOID TdiEventContext, LONG RemoteAddressLength,
                                          PVOID RemoteAddress, LONG UserDataLength, PVOID UserData,
                                          LONG OptionsLength, PVOID Options,
                                          CONNECTION_CONTEXT* ConnectionContext, PIRP* AcceptIrp);
typedef NTSTATUS(NTAPI* PTDI_IND_RECEIVE)(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                          ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                          ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket);
typedef NTSTATUS(NTAPI* PTDI_IND_RECEIVE_DATAGRAM)(PVOID TdiEventContext, LONG SourceAddressLength,
                                                   PVOID SourceAddress, LONG OptionsLength, PVOID Options,
                                                   ULONG ReceiveDatagramFlags, ULONG BytesIndicated,
                                                   ULONG BytesAvailable, ULONG* BytesTaken, PVOID Tsdu,
                                                   PIRP* IoRequestPacket);
typedef NTSTATUS(NTAPI* PTDI_IND_CHAINED_RECEIVE)(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                                  ULONG ReceiveFlags, ULONG ReceiveLength,
                                                  ULONG StartingOffset, PMDL Tsdu, PVOID TsduDescriptor);
typedef NTSTATUS(NTAPI* PTDI_IND_CHAINED_RECEIVE_DATAGRAM)(PVOID TdiEventContext, LONG SourceAddressLength,
                                                           PVOID SourceAddress, LONG OptionsLength,
                                                           PVOID Options, ULONG ReceiveDatagramFlags,
                                                           ULONG ReceiveDatagramLength, ULONG StartingOffset,
                                                           PMDL Tsdu, PVOID TsduDescriptor);

// Converts a user-mode TDI device control request into the internal request
// it stands for (TDI.SYS).
NTSTATUS NTAPI TdiMapUserRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION IrpSp);
