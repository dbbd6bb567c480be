#include "process/discard_and_go_to.h"

#include <algorithm>

#include "common/resource_loaders.h"
#include "host/command_ids.h"
#include "resources/resource_ids.h"
#include "services/service_manager.h"

namespace {
constexpr size_t kMaxGoToItems = kLastGoToServiceCommand - kFirstGoToServiceCommand + 1;
}  // namespace

void DiscardAndGoTo::ExtendContextMenu(HMENU popup, const Selection& selected) {
  AppendMenuW(popup, MF_STRING, kDiscardCommand, LoadResourceString(IDS_DISCARD).c_str());
#ifndef VESK_WINDOWS_2000
  if (!selected) return;
  std::vector<std::wstring> names;
  if (auto services = EnumerateServices()) ListHostedServices(selected->processId, *services, names);
  const std::wstring& title = LoadResourceString(IDS_GO_TO_SERVICE);
  if (names.size() == 1) {
    goToList_ = names;
    AppendMenuW(popup, MF_STRING, kFirstGoToServiceCommand, title.c_str());
  } else if (names.size() > 1) {
    // Plain code-unit order: upper case before lower case.
    std::sort(names.begin(), names.end());
    if (names.size() > kMaxGoToItems) names.resize(kMaxGoToItems);
    HMENU services = CreatePopupMenu();
    if (!services) return;
    goToList_.clear();
    for (size_t n = 0; n < names.size(); ++n) {
      AppendMenuW(services, MF_STRING, kFirstGoToServiceCommand + n, names[n].c_str());
      goToList_.push_back(names[n]);
    }
    if (!AppendMenuW(popup, MF_POPUP, reinterpret_cast<UINT_PTR>(services), title.c_str()))
      DestroyMenu(services);
  }
#else
  (void)selected;
#endif
}

void DiscardAndGoTo::Discard(HWND owner, const Selection& selected) {
  HANDLE process = selected ? OpenProcess(PROCESS_SET_QUOTA, FALSE, selected->processId) : nullptr;
  bool emptied = process && SetProcessWorkingSetSize(process, SIZE_T(-1), SIZE_T(-1));
  if (process) CloseHandle(process);
  if (!emptied)
    MessageBoxW(owner, LoadResourceString(IDS_CANNOT_DISCARD).c_str(),
                LoadResourceString(IDS_UNABLE_TO_DISCARD).c_str(), MB_OK | MB_ICONERROR);
}

std::optional<std::wstring> DiscardAndGoTo::ServiceOfCommand(UINT command) const {
  if (command < kFirstGoToServiceCommand || command > kLastGoToServiceCommand) return std::nullopt;
  size_t index = command - kFirstGoToServiceCommand;
  if (index >= goToList_.size()) return std::nullopt;
  return goToList_[index];
}
