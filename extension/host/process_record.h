// Task Manager's record behind a row of its process list (the item's
// parameter value): the process id at byte offset 8 and a pointer to the
// NUL-terminated image name at byte offset 136. Read only, and only while the
// row is in the list.
#pragma once

#include <string>

#include "common/target.h"

struct ProcessIdentity {
  DWORD processId = 0;
  std::wstring imageName;
};

// The id and a copy of the image name of the record a list item refers to.
ProcessIdentity ReadProcessRecord(LPARAM record);
// The id alone; 0 for no record.
DWORD ReadProcessId(LPARAM record);
