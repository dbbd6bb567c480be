#include "host/version_block.h"

namespace {

// VS_VERSIONINFO, as the version information reference lays it out: WORD
// wLength, WORD wValueLength, WORD wType, the key as UTF-16 with its
// terminator, padding to a 32-bit boundary, then VS_FIXEDFILEINFO.
const char kKey[] = "VS_VERSION_INFO";
constexpr size_t kKeyOffset = 6;
constexpr size_t kKeyChars = sizeof kKey;  // with the terminator
constexpr size_t kFixedOffset = (kKeyOffset + 2 * kKeyChars + 3) & ~size_t(3);
constexpr size_t kFixedSize = 13 * 4;
constexpr uint32_t kSignature = 0xFEEF04BD;

uint16_t Word(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Dword(const uint8_t* p) { return uint32_t(Word(p)) | uint32_t(Word(p + 2)) << 16; }

}  // namespace

bool ReadFixedFileVersion(const void* block, size_t size, FileVersion& version) {
  const auto* bytes = static_cast<const uint8_t*>(block);
  if (!bytes || size < kFixedOffset + kFixedSize) return false;
  size_t length = Word(bytes);
  if (length < kFixedOffset + kFixedSize || length > size || Word(bytes + 2) < kFixedSize) return false;
  for (size_t i = 0; i < kKeyChars; ++i)
    if (Word(bytes + kKeyOffset + 2 * i) != uint8_t(kKey[i])) return false;
  const uint8_t* fixed = bytes + kFixedOffset;
  if (Dword(fixed) != kSignature) return false;
  uint32_t high = Dword(fixed + 8), low = Dword(fixed + 12);
  version = {uint16_t(high >> 16), uint16_t(high), uint16_t(low >> 16), uint16_t(low)};
  return true;
}

bool IsKnownTaskManagerVersion(const FileVersion& version) {
  return version.major == 5 && version.minor <= 2;
}
