#include "host/host_version.h"

#include "common/target.h"
#include "host/version_block.h"

// Read from the resources of the image already mapped, not with
// GetFileVersionInfoW: this runs in DllMain, under the loader lock, where
// loading another module is not allowed.
bool HostVersionKnown() {
  HMODULE host = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(host, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16));  // RT_VERSION
  if (!found) return false;
  HGLOBAL loaded = LoadResource(host, found);
  const void* block = loaded ? LockResource(loaded) : nullptr;
  FileVersion version = {};
  return block && ReadFixedFileVersion(block, SizeofResource(host, found), version) &&
         IsKnownTaskManagerVersion(version);
}
