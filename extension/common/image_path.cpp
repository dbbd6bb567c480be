#include "common/image_path.h"

#include "common/text_format.h"

namespace {

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::char_traits<wchar_t>::length(prefix), prefix) == 0;
}

// "X:\" at `offset`.
bool DrivePathAt(const std::wstring& path, size_t offset) {
  if (path.size() < offset + 3) return false;
  wchar_t drive = wchar_t(path[offset] | 0x20);
  return drive >= L'a' && drive <= L'z' && path[offset + 1] == L':' && path[offset + 2] == L'\\';
}

void AppendHex4(std::wstring& text, uint16_t value) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  for (int shift = 12; shift >= 0; shift -= 4) text += kDigits[(value >> shift) & 0xF];
}

}  // namespace

std::wstring PathFromReply(const uint16_t* units, size_t byteCount, size_t capacityUnits) {
  std::wstring path;
  size_t count = byteCount / sizeof(uint16_t);
  if (count > capacityUnits) count = capacityUnits;
  for (size_t i = 0; i < count && units[i] != 0; ++i) path += wchar_t(units[i]);
  return path;
}

std::wstring DevicePartOf(const std::wstring& ntPath) {
  size_t position = 0;
  for (int found = 0; found < 3; ++found) {
    size_t hit = ntPath.find(L'\\', position);
    if (hit == std::wstring::npos) return ntPath;
    if (found == 2) return ntPath.substr(0, hit);
    position = hit + 1;
  }
  return ntPath;
}

std::wstring Win32PathFromNtPath(const std::wstring& ntPath, const DeviceLetterMap& letters) {
  // A path through a drive letter's own link (\??\C:\...) is a drive path
  // already.
  if (StartsWith(ntPath, L"\\??\\") && DrivePathAt(ntPath, 4)) return LimitImagePath(ntPath.substr(4));
  std::wstring device = DevicePartOf(ntPath);
  auto letter = letters.find(device);
  if (letter == letters.end()) return LimitImagePath(ntPath);
  std::wstring path(1, letter->second);
  path += L':';
  path.append(ntPath, device.size(), std::wstring::npos);
  return LimitImagePath(std::move(path));
}

std::wstring ModulePathForExpansion(const std::wstring& modulePath, bool& needsExpansion) {
  std::wstring path = StartsWith(modulePath, L"\\??\\") ? modulePath.substr(4) : modulePath;
  needsExpansion = StartsWith(path, L"\\SystemRoot\\");
  if (needsExpansion) path.replace(0, 11, L"%SystemRoot%");
  return path;
}

std::wstring OpenFailureText(uint32_t errorCode) { return L"error#" + Decimal(errorCode); }

std::wstring VersionStringPrefix(uint16_t language, uint16_t codePage) {
  std::wstring prefix = L"\\StringFileInfo\\";
  AppendHex4(prefix, language);
  AppendHex4(prefix, codePage);
  prefix += L'\\';
  return prefix;
}

std::wstring LimitImagePath(std::wstring path) {
  if (path.size() > kMaxImagePath) path.resize(kMaxImagePath);
  return path;
}

std::wstring OpenableImagePath(const std::wstring& path) {
  // A drive path, or a network path (\\server\share\...).
  if (DrivePathAt(path, 0) || StartsWith(path, L"\\\\")) return path;
  if (StartsWith(path, L"\\Device\\")) return L"\\\\?\\GLOBALROOT" + path;
  return {};
}
