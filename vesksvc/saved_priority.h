// The saved values of vesk.ini as the service applies them: a priority name
// to its priority class, the affinity's signed decimal text to a mask, and
// the mask limited to the machine's processors.
#pragma once

#include <cstdint>

namespace vesksvc {

// Process ids 0 to 16 are the system's own pseudo-processes; they are never
// touched.
constexpr uint32_t kHighestSystemProcessId = 16;
inline bool IsEligibleProcessId(uint32_t id) { return id > kHighestSystemProcessId; }

// The priority class of one of the six names ("Realtime", "High",
// "AboveNormal", "Normal", "BelowNormal", "Idle"), matched without regard to
// case as the profile functions match names; 0 for any other text.
uint32_t PriorityClassFromName(const char16_t* text);

// Parses a signed 32-bit decimal number (an optional '+' or '-', then at
// least one digit, nothing after) into the mask it stands for: "-1" is
// 0xFFFFFFFF. False for empty text, other characters or a value outside
// -2147483648..2147483647.
bool ParseAffinity(const char16_t* text, uint32_t* mask);

// The saved mask limited to the processors the machine has; 0 means that
// nothing is to be applied.
inline uint32_t MaskToProcessors(uint32_t saved, uint32_t processors) { return saved & processors; }

}  // namespace vesksvc
