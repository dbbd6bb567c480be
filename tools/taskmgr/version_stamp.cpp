// StampFileVersion: the substitute's version resource with another fixed
// file version, written into a copy of the program.
#include <windows.h>

#include <cstring>
#include <vector>

#include "task_manager.h"

namespace {

// VS_FIXEDFILEINFO follows the header and the key "VS_VERSION_INFO" at this
// offset; its file and product versions are its third to sixth DWORDs.
constexpr size_t kFixedOffset = 40;
constexpr DWORD kSignature = 0xFEEF04BD;

}  // namespace

bool StampFileVersion(const wchar_t* path, WORD major, WORD minor, WORD build, WORD revision) {
  HMODULE self = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(self, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16));
  HGLOBAL loaded = found ? LoadResource(self, found) : nullptr;
  const BYTE* block = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  DWORD size = found ? SizeofResource(self, found) : 0;
  if (!block || size < kFixedOffset + 24) return false;
  std::vector<BYTE> copy(block, block + size);
  DWORD signature = 0;
  std::memcpy(&signature, &copy[kFixedOffset], 4);
  if (signature != kSignature) return false;
  const DWORD versions[4] = {DWORD(MAKELONG(minor, major)), DWORD(MAKELONG(revision, build)),
                             DWORD(MAKELONG(minor, major)), DWORD(MAKELONG(revision, build))};
  std::memcpy(&copy[kFixedOffset + 8], versions, sizeof versions);
  HANDLE update = BeginUpdateResourceW(path, FALSE);
  if (!update) return false;
  bool written =
      UpdateResourceW(update, MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(VS_VERSION_INFO),
                      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), copy.data(), DWORD(copy.size()));
  return EndUpdateResourceW(update, !written) && written;
}
