#include "saved_priority.h"

namespace vesksvc {
namespace {

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; }

bool EqualNoCase(const char16_t* a, const char16_t* b) {
  for (; *a && *b; ++a, ++b)
    if (Lower(*a) != Lower(*b)) return false;
  return *a == *b;
}

struct NamedClass {
  const char16_t* name;
  uint32_t priorityClass;
};

// The classes of Windows' headers (REALTIME_PRIORITY_CLASS and so on).
const NamedClass kClasses[] = {
    {u"Realtime", 0x100}, {u"High", 0x80},          {u"AboveNormal", 0x8000},
    {u"Normal", 0x20},    {u"BelowNormal", 0x4000}, {u"Idle", 0x40},
};

const char16_t* const kCriticalImages[] = {u"smss.exe", u"csrss.exe", u"winlogon.exe", u"lsass.exe",
                                           u"services.exe"};

uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

bool IsCriticalSystemImage(const char16_t* image) {
  if (!image) return false;
  for (const char16_t* critical : kCriticalImages)
    if (EqualNoCase(image, critical)) return true;
  return false;
}

bool PrivilegesInclude(const void* tokenPrivileges, uint32_t size, uint32_t luidLowPart,
                       int32_t luidHighPart) {
  constexpr uint32_t kEntrySize = 12;
  const auto* bytes = static_cast<const uint8_t*>(tokenPrivileges);
  if (!bytes || size < 4) return false;
  uint32_t count = ReadLe32(bytes);
  uint32_t room = (size - 4) / kEntrySize;
  for (uint32_t i = 0; i < count && i < room; ++i) {
    const uint8_t* entry = bytes + 4 + kEntrySize * i;
    if (ReadLe32(entry) == luidLowPart && ReadLe32(entry + 4) == uint32_t(luidHighPart)) return true;
  }
  return false;
}

uint32_t PriorityClassFromName(const char16_t* text) {
  if (!text) return 0;
  for (const NamedClass& entry : kClasses)
    if (EqualNoCase(text, entry.name)) return entry.priorityClass;
  return 0;
}

bool ParseAffinity(const char16_t* text, uint32_t* mask) {
  if (!text) return false;
  bool negative = *text == u'-';
  if (*text == u'-' || *text == u'+') ++text;
  if (!*text) return false;
  // The magnitude is checked digit by digit, so no text can overflow it.
  const uint32_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
  uint32_t magnitude = 0;
  for (; *text; ++text) {
    if (*text < u'0' || *text > u'9') return false;
    uint32_t digit = uint32_t(*text - u'0');
    if (magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  *mask = negative ? 0u - magnitude : magnitude;
  return true;
}

}  // namespace vesksvc
