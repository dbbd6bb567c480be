#include "common/list_view.h"

#include <commctrl.h>

#include <algorithm>

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

int FittingColumnWidth(HWND listView, const wchar_t* header, int width) {
  if (width <= 0) return width;
  // LVM_GETSTRINGWIDTH gives the text's exact width, which the header would
  // cut; its margin on either side is that of a header's bitmap, by default
  // 3 * SM_CXEDGE (HDM_GETBITMAPMARGIN).
  int text = int(SendMessageW(listView, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(header)));
  int needed = text > 0 ? text + 2 * 3 * GetSystemMetrics(SM_CXEDGE) : 0;
  return std::max(width, needed);
}

void PlaceTooltipAtCursor(HWND tooltip) {
  // TTN_SHOW: "To customize the tooltip position, reposition the tooltip
  // window with the SetWindowPos function and return TRUE." TTM_TRACKPOSITION
  // would move only a tracking tooltip, which a list view's is not.
  POINT cursor = {};
  GetCursorPos(&cursor);
  RECT tip = {};
  GetWindowRect(tooltip, &tip);
  RECT screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof monitor;
  if (GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST), &monitor))
    screen = monitor.rcMonitor;
  LONG x = std::max(std::min(cursor.x, screen.right - (tip.right - tip.left)), screen.left);
  LONG y = std::max(std::min(cursor.y, screen.bottom - (tip.bottom - tip.top)), screen.top);
  SetWindowPos(tooltip, HWND_TOPMOST, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
}
