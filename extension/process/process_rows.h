// Finding a process's row in Task Manager's process list.
#pragma once

#include "common/target.h"

// Selects, focuses and scrolls into view the first row whose process record
// has the process id; changes nothing when there is none.
void SelectProcessRow(HWND processList, DWORD processId);
