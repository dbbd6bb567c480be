// StampFileVersion: the copy of the program with another fixed file version
// in its version resource, written in place (same bytes, same size).
#include <windows.h>

#include <cstring>

#include "task_manager.h"

namespace {

// VS_FIXEDFILEINFO follows the header and the key "VS_VERSION_INFO" at this
// offset; its file and product versions are its third to sixth DWORDs.
constexpr DWORD kFixedOffset = 40;
constexpr DWORD kSignature = 0xFEEF04BD;

// Where the byte at `rva` of the running image lies in its file, or 0.
DWORD FileOffsetOf(HMODULE image, DWORD rva) {
  auto* base = reinterpret_cast<const BYTE*>(image);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section)
    if (rva >= section->VirtualAddress && rva - section->VirtualAddress < section->SizeOfRawData)
      return rva - section->VirtualAddress + section->PointerToRawData;
  return 0;
}

}  // namespace

bool StampFileVersion(const wchar_t* path, WORD major, WORD minor, WORD build, WORD revision) {
  HMODULE self = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(self, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16));
  HGLOBAL loaded = found ? LoadResource(self, found) : nullptr;
  const BYTE* block = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  if (!block || SizeofResource(self, found) < kFixedOffset + 24) return false;
  DWORD signature = 0;
  std::memcpy(&signature, block + kFixedOffset, 4);
  DWORD offset = FileOffsetOf(self, DWORD(block - reinterpret_cast<const BYTE*>(self)) + kFixedOffset + 8);
  if (signature != kSignature || offset == 0) return false;
  const DWORD versions[4] = {DWORD(MAKELONG(minor, major)), DWORD(MAKELONG(revision, build)),
                             DWORD(MAKELONG(minor, major)), DWORD(MAKELONG(revision, build))};
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool stamped = SetFilePointer(file, LONG(offset), nullptr, FILE_BEGIN) == offset &&
                 WriteFile(file, versions, sizeof versions, &written, nullptr) && written == sizeof versions;
  CloseHandle(file);
  return stamped;
}
