// Number formatting shared by the extension; portable, without Windows headers.
#pragma once

#include <cstdint>
#include <string>

// The value read as a signed 32-bit number, in decimal ("-2147483648" for
// 0x80000000).
std::wstring SignedDecimal(uint32_t value);
