#include "host/settings.h"

#include "common/text_format.h"

namespace settings {
namespace {

const WCHAR kFile[] = L"vesk.ini";
const WCHAR kGlobalSection[] = L"Vesk";

const WCHAR* FlagText(bool on) { return on ? L"1" : L"0"; }

bool ReadFlag(const WCHAR* section, const WCHAR* key) {
  return GetPrivateProfileIntW(section, key, 1, kFile) != 0;
}

// A name the file can hold as a section: not empty, no "]" (it would end the
// section's header early) and no line break (it would start a line of its own
// that reads as another section or key).
bool IsSectionName(const WCHAR* name) {
  if (!*name) return false;
  for (; *name; ++name)
    if (*name == L']' || *name == L'\r' || *name == L'\n') return false;
  return true;
}

// A write under a name that cannot be a section is refused: the file stays as
// it was.
void Store(const WCHAR* section, const WCHAR* key, const WCHAR* value) {
  if (IsSectionName(section)) WritePrivateProfileStringW(section, key, value, kFile);
}

}  // namespace

bool ReadCheckIntegrity() { return ReadFlag(kGlobalSection, L"CheckIntegrity"); }

void StoreCheckIntegrity(bool on) { Store(kGlobalSection, L"CheckIntegrity", FlagText(on)); }

bool ReadSavePriority(const std::wstring& imageName) { return ReadFlag(imageName.c_str(), L"SavePriority"); }

void StoreSavePriority(const std::wstring& imageName, bool on) {
  Store(imageName.c_str(), L"SavePriority", FlagText(on));
}

void StorePriority(const std::wstring& imageName, const wchar_t* priorityName) {
  Store(imageName.c_str(), L"Priority", priorityName);
}

void StoreAffinity(const std::wstring& imageName, DWORD_PTR mask) {
  Store(imageName.c_str(), L"Affinity", SignedDecimal(static_cast<uint32_t>(mask)).c_str());
}

void StoreTrustedHash(const std::wstring& imageName, const uint8_t* hash, size_t length) {
  Store(imageName.c_str(), L"Hash", UpperHex(hash, length).c_str());
}

std::wstring ReadTrustedHash(const std::wstring& imagePath) {
  WCHAR text[256] = {};
  GetPrivateProfileStringW(FileNameOf(imagePath).c_str(), L"Hash", L"", text, 256, kFile);
  return text;
}

}  // namespace settings
