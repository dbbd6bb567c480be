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

}  // namespace

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
