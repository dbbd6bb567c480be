#include "process/priority_saving.h"

#include "common/resource_loaders.h"
#include "host/command_ids.h"
#include "host/settings.h"
#include "process/priority_names.h"
#include "resources/resource_ids.h"

namespace {

bool Recordable(const PrioritySaving::Selection& selected) {
  return selected && IsRecordableProcessId(selected->processId) && !selected->imageName.empty();
}

// A process handle for reading, closed with the object.
class QueryHandle {
 public:
  explicit QueryHandle(const PrioritySaving::Selection& selected)
      : handle_(Recordable(selected) ? OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, selected->processId)
                                     : nullptr) {}
  ~QueryHandle() {
    if (handle_) CloseHandle(handle_);
  }
  QueryHandle(const QueryHandle&) = delete;
  QueryHandle& operator=(const QueryHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

bool IsPrioritySubmenu(HMENU menu) { return menu && GetMenuItemID(menu, 0) == kFirstPriorityCommand; }

}  // namespace

void PrioritySaving::ExtendContextMenu(HMENU popup, const Selection& selected) {
  if (selected && !selected->imageName.empty())
    savePriority_ = settings::ReadSavePriority(selected->imageName);
  int count = GetMenuItemCount(popup);
  for (int position = 0; position < count; ++position) {
    HMENU submenu = GetSubMenu(popup, position);
    if (!IsPrioritySubmenu(submenu)) continue;
    AppendMenuW(submenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(submenu, MF_STRING | (savePriority_ ? MF_CHECKED : MF_UNCHECKED), kSavePriorityCommand,
                LoadResourceString(IDS_SAVE_PRIORITY).c_str());
  }
}

LRESULT PrioritySaving::OnPriorityCommand(UINT command, const Selection& selected, const PassOn& passOn) {
  if (!savePriority_) return passOn();
  QueryHandle process(selected);
  DWORD oldClass = process.get() ? GetPriorityClass(process.get()) : 0;
  LRESULT result = passOn();
  if (process.get()) {
    DWORD newClass = GetPriorityClass(process.get());
    const wchar_t* name = PriorityNameForCommand(command);
    if (newClass != 0 && newClass != oldClass && name) settings::StorePriority(selected->imageName, name);
  }
  return result;
}

LRESULT PrioritySaving::OnAffinityCommand(const Selection& selected, const PassOn& passOn) {
  if (!savePriority_) return passOn();
  QueryHandle process(selected);
  DWORD_PTR oldMask = 0, systemMask = 0;
  if (process.get() && !GetProcessAffinityMask(process.get(), &oldMask, &systemMask)) oldMask = 0;
  LRESULT result = passOn();
  DWORD_PTR newMask = 0;
  if (process.get() && GetProcessAffinityMask(process.get(), &newMask, &systemMask) && newMask != oldMask)
    settings::StoreAffinity(selected->imageName, newMask);
  return result;
}

void PrioritySaving::OnSavePriorityCommand(const Selection& selected) {
  // Without a selected image there is nothing to store the switch for.
  if (!selected || selected->imageName.empty()) return;
  savePriority_ = !savePriority_;
  settings::StoreSavePriority(selected->imageName, savePriority_);
}
