// Task Manager's Set Priority commands and the priority names stored for
// them; portable.
#pragma once

constexpr unsigned kFirstPriorityCommand = 40029;
constexpr unsigned kLastPriorityCommand = 40034;

// The system's own pseudo-processes (ids 0 to 16) are never recorded.
inline bool IsRecordableProcessId(unsigned long processId) { return processId > 16; }

// The stored name of a Set Priority command, or null for any other id.
inline const wchar_t* PriorityNameForCommand(unsigned command) {
  static const wchar_t* const kNames[] = {L"Realtime", L"AboveNormal", L"High",
                                          L"Normal",   L"BelowNormal", L"Idle"};
  if (command < kFirstPriorityCommand || command > kLastPriorityCommand) return nullptr;
  return kNames[command - kFirstPriorityCommand];
}
