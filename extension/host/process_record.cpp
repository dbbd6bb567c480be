#include "host/process_record.h"

#include <cstring>

namespace {
constexpr size_t kProcessIdOffset = 8;
constexpr size_t kImageNameOffset = 136;
// Image names longer than a path are not Task Manager's.
constexpr size_t kMaxImageName = MAX_PATH;
}  // namespace

DWORD ReadProcessId(LPARAM record) {
  DWORD processId = 0;
  if (const auto* bytes = reinterpret_cast<const unsigned char*>(record))
    std::memcpy(&processId, bytes + kProcessIdOffset, sizeof processId);
  return processId;
}

ProcessIdentity ReadProcessRecord(LPARAM record) {
  ProcessIdentity identity;
  const auto* bytes = reinterpret_cast<const unsigned char*>(record);
  if (!bytes) return identity;
  identity.processId = ReadProcessId(record);
  const WCHAR* name = nullptr;
  std::memcpy(&name, bytes + kImageNameOffset, sizeof name);
  size_t length = 0;
  while (name && length < kMaxImageName && name[length]) ++length;
  if (name) identity.imageName.assign(name, length);
  return identity;
}
