// Records the priority class and affinity that the user sets through Task
// Manager in the settings file, per image name, with the per-image
// "&Save Priority" switch in the Set Priority submenu.
#pragma once

#include <functional>
#include <optional>

#include "common/target.h"
#include "host/process_record.h"

class PrioritySaving {
 public:
  using Selection = std::optional<ProcessIdentity>;
  // Lets Task Manager carry out the command and gives its result.
  using PassOn = std::function<LRESULT()>;

  // The process context menu is about to show: loads the switch of the
  // selected image and appends "&Save Priority" to the Set Priority submenu.
  void ExtendContextMenu(HMENU popup, const Selection& selected);
  // Set Priority commands 40029 to 40034.
  LRESULT OnPriorityCommand(UINT command, const Selection& selected, const PassOn& passOn);
  // The affinity command 40055.
  LRESULT OnAffinityCommand(const Selection& selected, const PassOn& passOn);
  // "&Save Priority": inverts the switch and stores it for the selected image.
  void OnSavePriorityCommand(const Selection& selected);

 private:
  bool savePriority_ = true;
};
