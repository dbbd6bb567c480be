// Two items of Task Manager's process context menu: "&Discard" empties the
// selected process's working set; "Go To Service" (Windows XP build) names
// the services that run in the process, as one item or as a submenu sorted
// by display name, and leads to the service's row on the Services page.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/target.h"
#include "host/process_record.h"

// Generated "Go To Service" items carry 0xFF00 + n.
constexpr UINT kFirstGoToServiceCommand = 0xFF00;
constexpr UINT kLastGoToServiceCommand = 0xFFFF;

class DiscardAndGoTo {
 public:
  using Selection = std::optional<ProcessIdentity>;

  // Appends "&Discard" and, in the Windows XP build, "Go To Service" for the
  // services of the selected process.
  void ExtendContextMenu(HMENU popup, const Selection& selected);
  // Empties the process's working set; a failure is shown over `owner`.
  void Discard(HWND owner, const Selection& selected);
  // The service name behind a generated command of the last menu; none for
  // an id outside it.
  std::optional<std::wstring> ServiceOfCommand(UINT command) const;

 private:
  std::vector<std::wstring> goToList_;
};
