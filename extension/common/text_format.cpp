#include "common/text_format.h"

std::wstring Decimal(uint64_t value) {
  std::wstring digits;
  do {
    digits.insert(digits.begin(), wchar_t(L'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

std::wstring SignedDecimal(uint32_t value) {
  bool negative = (value & 0x80000000u) != 0;
  // The magnitude of a negative two's-complement value, without signed overflow.
  std::wstring digits = Decimal(negative ? ~value + 1 : value);
  if (negative) digits.insert(digits.begin(), L'-');
  return digits;
}

std::wstring UpperHex(const uint8_t* bytes, size_t count) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text;
  text.reserve(2 * count);
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

std::wstring FileNameOf(const std::wstring& path) {
  size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool EqualIgnoringAsciiCase(const std::wstring& left, const std::wstring& right) {
  auto fold = [](wchar_t c) { return c >= L'a' && c <= L'z' ? wchar_t(c - L'a' + L'A') : c; };
  if (left.size() != right.size()) return false;
  for (size_t i = 0; i < left.size(); ++i)
    if (fold(left[i]) != fold(right[i])) return false;
  return true;
}
