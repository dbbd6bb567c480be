#include "process/process_tooltip.h"

#include "common/list_view.h"
#include "common/resource_loaders.h"
#include "host/process_info.h"
#include "host/process_record.h"
#include "process/process_tip_text.h"
#include "resources/resource_ids.h"
#include "services/service_manager.h"

namespace {
// The System Idle and System processes (ids up to 16) get no tooltip.
constexpr DWORD kLastSystemProcessId = 16;
constexpr int kTipWidth = 500;
constexpr int kTipInitialDelay = 1500;
constexpr int kTipAutoPop = 20000;
}  // namespace

bool ProcessTooltip::OnNotify(HWND list, NMHDR& header, LRESULT& result) {
  if (header.code == UINT(TTN_GETDISPINFOW)) {
    OnTextRequest(list, reinterpret_cast<NMTTDISPINFOW&>(header));
  } else if (header.code == UINT(TTN_SHOW)) {
    PlaceTooltipAtCursor(header.hwndFrom);
  } else {
    return false;
  }
  result = 1;
  return true;
}

void ProcessTooltip::OnTextRequest(HWND list, NMTTDISPINFOW& info) {
  LVHITTESTINFO hit = {};
  GetCursorPos(&hit.pt);
  ScreenToClient(list, &hit.pt);
  hit.flags = LVHT_ONITEM;
  int item = int(SendMessageW(list, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
  if (item < 0 || !(hit.flags & LVHT_ONITEM)) return;
  auto record = GetListItemParam(list, item);
  if (!record || !*record) return;
  DWORD processId = ReadProcessRecord(*record).processId;
  if (processId <= kLastSystemProcessId) return;
  std::wstring path = QueryProcessImagePath(processId);
  if (path.empty()) return;
  std::wstring description, version, copyright;
  QueryVersionStrings(path, description, version, copyright);
  text_ = ComposeProcessTip(description, version, copyright, path);
#ifndef VESK_WINDOWS_2000
  if (auto services = EnumerateServices())
    AppendHostingServices(LoadResourceString(IDS_HOSTING_SERVICES), text_, processId, *services);
#endif
  info.lpszText = &text_[0];
  HWND tooltip = info.hdr.hwndFrom;
  SendMessageW(tooltip, TTM_SETMAXTIPWIDTH, 0, kTipWidth);
  SendMessageW(tooltip, TTM_SETDELAYTIME, TTDT_INITIAL, kTipInitialDelay);
  SendMessageW(tooltip, TTM_SETDELAYTIME, TTDT_AUTOPOP, kTipAutoPop);
}
