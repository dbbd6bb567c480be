// The tooltip of Task Manager's process list: the image's description and
// version, its copyright, its path and (Windows XP build) the services that
// run in the process, for the row under the mouse.
#pragma once

#include <string>

#include "common/target.h"
// commctrl.h needs windows.h first.
#include <commctrl.h>

class ProcessTooltip {
 public:
  // Answers the list's tooltip notifications (text request and showing);
  // false for every other notification, which goes on to Task Manager.
  bool OnNotify(HWND list, NMHDR& header, LRESULT& result);

 private:
  void OnTextRequest(HWND list, NMTTDISPINFOW& info);

  // Read by the tooltip after the notification has returned.
  std::wstring text_;
};
