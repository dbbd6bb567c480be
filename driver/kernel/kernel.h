// The one place that decides what the kernel is. vesk.sys is built against the
// mingw-w64 DDK headers; the host build gets the emulation from its include
// path (a header of the same name, host_kernel.h), which offers the same types,
// fields and routines.
#pragma once

#if defined(VESK_HOST_KERNEL)
#include "host_kernel.h"
#define KTEXT(s) u##s
#else
// In C++ the DDK's wdm.h and mingw's intrin.h both define the two bit-test
// intrinsics; marking intrin's as defined leaves wdm.h's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <tdikrnl.h>
#define KTEXT(s) L##s

#ifndef PROCESS_QUERY_INFORMATION
#define PROCESS_QUERY_INFORMATION 0x0400
#endif

// Declared by the DDK's ntifs.h, which does not go together with ntddk.h.
extern "C" {
NTSTATUS NTAPI ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                         PVOID ProcessInformation, ULONG ProcessInformationLength,
                                         PULONG ReturnLength);
NTSTATUS NTAPI PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS* Process);
NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PACCESS_STATE PassedAccessState,
                                     ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                     KPROCESSOR_MODE AccessMode, PHANDLE Handle);
NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                   PSECURITY_DESCRIPTOR SecurityDescriptor);
}
#endif

#include <stddef.h>
#include <stdint.h>

// The object types of file and process objects. The DDK declares each
// exported variable as a pointer to it; through mingw's dllimport the name
// already reads the variable, which holds the type.
#if defined(VESK_HOST_KERNEL)
inline POBJECT_TYPE FileObjectType() { return *IoFileObjectType; }
inline POBJECT_TYPE ProcessObjectType() { return *PsProcessType; }
#else
inline POBJECT_TYPE FileObjectType() { return reinterpret_cast<POBJECT_TYPE>(IoFileObjectType); }
inline POBJECT_TYPE ProcessObjectType() { return reinterpret_cast<POBJECT_TYPE>(PsProcessType); }
#endif

// A kernel handle (OBJ_KERNEL_HANDLE, Windows XP and later) has the top bit
// set and means the same object in every process context.
inline bool IsKernelHandle(HANDLE handle) { return reinterpret_cast<LONG_PTR>(handle) < 0; }

// Attaches `filter` over the top of the stack of the device named `target`
// and keeps `lower` at the device it lies over from the moment it is linked
// in, so that no request reaches the filter before it knows where to send it.
// The target is found with IoGetDeviceObjectPointer where the kernel answers
// it with a file object; where it does not (Wine), through a file object of
// the target opened with a kernel handle.
NTSTATUS AttachOver(PDEVICE_OBJECT filter, PUNICODE_STRING target, PDEVICE_OBJECT volatile* lower);

// A UNICODE_STRING over constant text, for names the driver passes to the system.
#define KERNEL_STRING(s) \
  { sizeof(KTEXT(s)) - sizeof(WCHAR), sizeof(KTEXT(s)), const_cast<PWSTR>(KTEXT(s)) }
