// Number formatting shared by the extension; portable, without Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The value in decimal ("4294967295" for 0xFFFFFFFF).
std::wstring Decimal(uint64_t value);

// The value read as a signed 32-bit number, in decimal ("-2147483648" for
// 0x80000000).
std::wstring SignedDecimal(uint32_t value);

// Each byte as two upper-case hexadecimal digits, high nibble first, no
// separators.
std::wstring UpperHex(const uint8_t* bytes, size_t count);

// The part of a path after its last backslash; the whole path without one.
std::wstring FileNameOf(const std::wstring& path);

// Equal when only the letter case of A-Z differs (hexadecimal digits, for one).
bool EqualIgnoringAsciiCase(const std::wstring& left, const std::wstring& right);
