// The saved values of vesk.ini as the service applies them: a priority name
// to its priority class, the class a process's owner could set, the
// affinity's signed decimal text to a mask, the mask limited to the
// machine's processors, and the processes that are never touched.
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

// The session's critical system processes (smss, csrss, winlogon, lsass,
// services), by image name in any case: never touched, whatever is saved.
bool IsCriticalSystemImage(const char16_t* image);

constexpr uint32_t kRealtimePriorityClass = 0x100;
constexpr uint32_t kHighPriorityClass = 0x80;

// The class the service gives a process: the saved one, except Realtime for
// a process whose own token lacks the privilege to raise base priority
// (SeIncreaseBasePriorityPrivilege), which gets High, the most its owner
// could set (the service itself, as LocalSystem, could set more).
inline uint32_t ClassForProcess(uint32_t savedClass, bool ownerMayRaiseBasePriority) {
  return savedClass == kRealtimePriorityClass && !ownerMayRaiseBasePriority ? kHighPriorityClass : savedClass;
}

// Whether a TOKEN_PRIVILEGES block of `size` bytes (a 32-bit count, then
// 12-byte LUID_AND_ATTRIBUTES entries) holds the privilege, enabled or not.
// Entries beyond `size` are not read.
bool PrivilegesInclude(const void* tokenPrivileges, uint32_t size, uint32_t luidLowPart,
                       int32_t luidHighPart);

// Parses a signed 32-bit decimal number (an optional '+' or '-', then at
// least one digit, nothing after) into the mask it stands for: "-1" is
// 0xFFFFFFFF. False for empty text, other characters or a value outside
// -2147483648..2147483647.
bool ParseAffinity(const char16_t* text, uint32_t* mask);

// The saved mask limited to the processors the machine has; 0 means that
// nothing is to be applied.
inline uint32_t MaskToProcessors(uint32_t saved, uint32_t processors) { return saved & processors; }

}  // namespace vesksvc
