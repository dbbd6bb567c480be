#include "common/text_format.h"

std::wstring SignedDecimal(uint32_t value) {
  bool negative = (value & 0x80000000u) != 0;
  // The magnitude of a negative two's-complement value, without signed overflow.
  uint32_t magnitude = negative ? ~value + 1 : value;
  std::wstring digits;
  do {
    digits.insert(digits.begin(), wchar_t(L'0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) digits.insert(digits.begin(), L'-');
  return digits;
}
