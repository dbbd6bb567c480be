#include "common/list_view.h"

#include <commctrl.h>

std::optional<LPARAM> GetListItemParam(HWND listView, int index) {
  LVITEMW item = {};
  item.mask = LVIF_PARAM;
  item.iItem = index;
  if (!SendMessageW(listView, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return std::nullopt;
  return item.lParam;
}

void SelectListItem(HWND listView, int index) {
  LVITEMW item = {};
  item.stateMask = 0xF;  // selected, focused, cut, drop-highlighted
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageW(listView, LVM_SETITEMSTATE, index, reinterpret_cast<LPARAM>(&item));
}

void TrackTooltip(HWND tooltip, int x, int y) {
  SendMessageW(tooltip, TTM_TRACKPOSITION, 0, MAKELPARAM(x, y));
}
