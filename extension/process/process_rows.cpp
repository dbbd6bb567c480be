#include "process/process_rows.h"

#include <commctrl.h>

#include "common/list_view.h"
#include "host/process_record.h"

void SelectProcessRow(HWND processList, DWORD processId) {
  int count = processList ? int(SendMessageW(processList, LVM_GETITEMCOUNT, 0, 0)) : 0;
  for (int row = 0; row < count; ++row) {
    auto record = GetListItemParam(processList, row);
    if (!record || ReadProcessRecord(*record).processId != processId) continue;
    SelectListItem(processList, row);
    SendMessageW(processList, LVM_ENSUREVISIBLE, row, FALSE);
    return;
  }
}
