// tdiorder: puts the vesk driver's load-order tag right after tcpip's in the
// PNP_TDI group order list. The tag itself comes from the service control
// manager when the driver's service is created; tdiorder only moves it. No
// window, no console, no arguments; exits with 0.
#include <windows.h>

#include "group_order.h"

namespace {

const char kTcpipKey[] = "System\\CurrentControlSet\\Services\\tcpip";
const char kDriverKey[] = "System\\CurrentControlSet\\Services\\vesk";
const char kGroupOrderKey[] = "System\\CurrentControlSet\\Control\\GroupOrderList";
const char kTagValue[] = "Tag";
const char kGroupValue[] = "PNP_TDI";

// Reads one value of `subKey`, opening and closing the key around the read.
// Returns false when the key does not open or the value cannot be read;
// `size` is in: the buffer size, out: the bytes read.
bool ReadValue(const char* subKey, const char* name, DWORD* type, BYTE* data, DWORD* size) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  LONG status = RegQueryValueExA(key, name, nullptr, type, data, size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// Writes one value of `subKey`, opening and closing the key around the write.
void WriteValue(const char* subKey, const char* name, DWORD type, const BYTE* data, DWORD size) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
  RegSetValueExA(key, name, 0, type, data, size);
  RegCloseKey(key);
}

tdiorder::OptionalTag ReadTag(const char* subKey) {
  DWORD type = 0;
  DWORD tag = 0;
  DWORD size = sizeof tag;
  bool read = ReadValue(subKey, kTagValue, &type, reinterpret_cast<BYTE*>(&tag), &size);
  if (!read || type != REG_DWORD || size != sizeof tag) return {false, 0};
  return {true, tag};
}

void UpdateGroupOrder() {
  tdiorder::OptionalTag tcpipTag = ReadTag(kTcpipKey);
  tdiorder::OptionalTag driverTag = ReadTag(kDriverKey);

  tdiorder::GroupOrderValue value;
  DWORD type = 0;
  DWORD size = sizeof value.bytes;
  if (!ReadValue(kGroupOrderKey, kGroupValue, &type, value.bytes, &size)) return;
  if (type != REG_BINARY) return;
  value.length = size;

  if (!tdiorder::PlaceDriverTag(value, tcpipTag, driverTag)) return;
  WriteValue(kGroupOrderKey, kGroupValue, REG_BINARY, value.bytes, value.length);
}

}  // namespace

// The process entry point: the program links no C runtime.
extern "C" void WINAPI TdiOrderEntry() {
  UpdateGroupOrder();
  ExitProcess(0);
}
