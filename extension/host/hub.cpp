#include "host/hub.h"

#include <commctrl.h>

#include "common/list_view.h"
#include "common/module.h"
#include "common/resource_loaders.h"
#include "host/about_dialog.h"
#include "host/command_ids.h"
#include "host/debug_privilege.h"
#include "host/host_version.h"
#include "host/process_info.h"
#include "host/settings.h"
#include "host/tab_order.h"
#include "process/integrity.h"
#include "process/priority_names.h"
#include "process/process_rows.h"
#include "resources/resource_ids.h"
#include "services/services_page.h"

namespace {

// The main window is the first window on the thread with both WS_POPUP and
// the full WS_CAPTION.
constexpr LONG kMainWindowStyle = static_cast<LONG>(WS_POPUP | WS_CAPTION);

bool IsTaskManagerImage() {
  WCHAR modulePath[MAX_PATH] = {};
  WCHAR expected[MAX_PATH] = {};
  // A path that fills the buffer may be cut short and unterminated: not ours.
  DWORD length = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  DWORD expanded = ExpandEnvironmentStringsW(L"%SystemRoot%\\system32\\taskmgr.exe", expected, MAX_PATH);
  if (expanded == 0 || expanded > MAX_PATH) return false;
  return lstrcmpiW(modulePath, expected) == 0;
}

#ifndef VESK_WINDOWS_2000
// How long shutdown waits for an integrity worker to finish its check.
constexpr DWORD kWorkerStopWait = 500;
#endif

bool IsPriorityCommand(UINT command) {
  return command >= kFirstPriorityCommand && command <= kLastPriorityCommand;
}

// The extension menu's popup is recognised by its first item, "About".
bool IsExtensionPopup(HMENU popup) { return popup && GetMenuItemID(popup, 0) == kAboutCommand; }

// Once Task Manager's windows call into the library it must stay mapped: a
// reference of its own that is never released keeps it for the process's life.
void PinModule(HINSTANCE module) {
  WCHAR path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length > 0 && length < MAX_PATH) LoadLibraryW(path);
}

}  // namespace

Hub& Hub::Instance() {
  // Never destroyed: no destructor of ours runs under the loader lock at exit.
  static Hub* const hub = new Hub;
  return *hub;
}

bool Hub::HostAccepted() {
  static const bool accepted = IsTaskManagerImage() && HostVersionKnown();
  return accepted;
}

void Hub::ProcessAttach(HINSTANCE module) {
  module_ = module;
  SetExtensionModule(module);
  DisableThreadLibraryCalls(module);
  if (!HostAccepted()) return;
  accepted_ = true;
  hook_ = SetWindowsHookExW(WH_CALLWNDPROC, &Hub::HookProcedure, nullptr, GetCurrentThreadId());
}

void Hub::ProcessDetach(bool processEnding) {
  // At process exit nothing of ours runs again; only an unload before the
  // main window existed leaves a hook to remove.
  if (processEnding) return;
  if (accepted_ && hook_) {
    UnhookWindowsHookEx(hook_);
    hook_ = nullptr;
  }
}

LRESULT CALLBACK Hub::HookProcedure(int code, WPARAM wParam, LPARAM lParam) {
  Hub& hub = Instance();
  const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && call->message == WM_CREATE &&
      (GetWindowLongW(call->hwnd, GWL_STYLE) & kMainWindowStyle) == kMainWindowStyle) {
    // No exception may unwind into the system's frames: a window that could
    // not be taken is simply left alone.
    try {
      hub.TakeMainWindow(call->hwnd);
    } catch (...) {
    }
    EnableDebugPrivilege();
    if (hub.hook_) {
      LRESULT result = CallNextHookEx(hub.hook_, code, wParam, lParam);
      UnhookWindowsHookEx(hub.hook_);
      hub.hook_ = nullptr;
      return result;
    }
  }
  return CallNextHookEx(hub.hook_, code, wParam, lParam);
}

void Hub::TakeMainWindow(HWND window) {
  if (!mainWindow_.Attached() && mainWindow_.Attach(window)) PinModule(module_);
}

void Hub::SetUp() {
  HWND main = mainWindow_.Window();
  tabControl_ = GetDlgItem(main, kTabControlId);
  for (HWND child = GetWindow(main, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (GetDlgItem(child, kProcessListId) && !processesPage_.Attached()) processesPage_.Attach(child);
  }
  driver_ =
      CreateFileW(L"\\\\.\\vesk", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (pages_.empty()) pages_ = CreateAddedPages();
  for (auto& page : pages_) page->Create(*this);
  if (processesPage_.Attached()) processList_.Attach(GetDlgItem(processesPage_.Window(), kProcessListId));
  BuildExtensionMenu();
  // The device-letter map and the driver's answers, for every user of image paths.
  std::shared_ptr<const ProcessInformation> information = ProcessInformation::Create(driver_);
  PublishProcessInformation(information);
#ifndef VESK_WINDOWS_2000
  verdictMessage_ = RegisterWindowMessageW(L"VeskIntegrityVerdict");
  if (verdictMessage_) integrity_ = IntegrityCheck::Create(information, main, verdictMessage_);
  if (integrity_) integrity_->LoadTrustLibrary();
#endif
}

void Hub::ShutDown() {
  // Task Manager never reads a selection past its own tabs.
  if (PageAtTab(TabCtrl_GetCurSel(tabControl_))) TabCtrl_SetCurSel(tabControl_, kProcessesTabIndex);
  currentTab_ = kProcessesTabIndex;
  // The pages go in the reverse order of their creation; their objects stay
  // (see Page).
  for (auto page = pages_.rbegin(); page != pages_.rend(); ++page) (*page)->Destroy();
  if (driver_ != INVALID_HANDLE_VALUE) CloseHandle(driver_);
  driver_ = INVALID_HANDLE_VALUE;
#ifndef VESK_WINDOWS_2000
  // A worker busy with a slow check keeps what it uses and cleans up itself.
  if (integrity_) integrity_->Stop(kWorkerStopWait);
  integrity_.reset();
#endif
  PublishProcessInformation(nullptr);
  selected_.reset();
  tabControl_ = nullptr;
}

void Hub::MainWindowProcedure::BeforeDestroy() { Instance().ShutDown(); }

LRESULT Hub::MainWindowProcedure::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return Instance().OnMainWindowMessage(message, wParam, lParam);
}

LRESULT Hub::ProcessesPageProcedure::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return Instance().OnProcessesPageMessage(message, wParam, lParam);
}

LRESULT Hub::ProcessListProcedure::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (message == WM_NOTIFY && lParam &&
      Instance().processTooltip_.OnNotify(Window(), *reinterpret_cast<NMHDR*>(lParam), result))
    return result;
  return CallPrevious(message, wParam, lParam);
}

LRESULT Hub::OnMainWindowMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (verdictMessage_ && message == verdictMessage_) {
    RedrawRowsOfProcess(DWORD(wParam));
    return 0;
  }
  switch (message) {
    case WM_INITDIALOG: {
      LRESULT result = mainWindow_.CallPrevious(message, wParam, lParam);
      SetUp();
      return result;
    }
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      // Only Task Manager's own tab control changes the page.
      if (header && tabControl_ && header->hwndFrom == tabControl_ && header->idFrom == kTabControlId &&
          header->code == UINT(TCN_SELCHANGE))
        return OnTabChange(wParam, lParam);
      break;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case kNextTabCommand:
          return OnStepTab(+1);
        case kPreviousTabCommand:
          return OnStepTab(-1);
        case kSwallowedCommand:
          if (AddedPageCurrent()) return 0;
          break;
        case kCheckIntegrityCommand:
          OnCheckIntegrityCommand();
          break;
        case kAboutCommand:
          ShowAboutDialog();
          // Task Manager may have closed inside the dialog's loop: there is
          // nothing left to pass the command to.
          if (!mainWindow_.Attached()) return 0;
          break;
      }
      break;
    case WM_LBUTTONDBLCLK:
      if (AddedPageCurrent()) return 0;
      break;
    case WM_SIZE:
      if (Page* page = PageAtTab(currentTab_)) {
        mainWindow_.CallPrevious(message, wParam, lParam);
        FitPageToTab(page->PageWindow());
        page->Layout();
        return 0;
      }
      break;
    case WM_TIMER:
      if (Page* page = PageAtTab(currentTab_)) page->Refresh();
      break;
  }
  LRESULT result = mainWindow_.CallPrevious(message, wParam, lParam);
  // Task Manager sets a new menu bar on its own (leaving the compact view,
  // for one); these are the messages after which it may have done so.
  switch (message) {
    case WM_COMMAND:
    case WM_LBUTTONDBLCLK:
    case WM_NOTIFY:
    case WM_SIZE:
    case WM_SYSCOMMAND:
    case WM_TIMER:
      KeepExtensionMenu();
      break;
  }
  return result;
}

LRESULT Hub::OnTabChange(WPARAM wParam, LPARAM lParam) {
  if (tabSwitchGuard_) return 0;
  int selection = TabCtrl_GetCurSel(tabControl_);
  Page* left = PageAtTab(currentTab_);
  if (left) ShowWindow(left->PageWindow(), SW_HIDE);
  currentTab_ = selection;
  Page* page = PageAtTab(selection);
  if (!page) {
    LRESULT result = mainWindow_.CallPrevious(WM_NOTIFY, wParam, lParam);
    // Task Manager still regards its Processes page as current and may ignore
    // a change to it: the page the hub hid is shown again here.
    if (left && selection == kProcessesTabIndex) ShowProcessesPage();
    BuildExtensionMenu();
    return result;
  }
  // Task Manager makes its Processes page current and never sees the added
  // page's index; the added page then takes the Processes page's place.
  tabSwitchGuard_ = true;
  TabCtrl_SetCurSel(tabControl_, kProcessesTabIndex);
  mainWindow_.CallPrevious(WM_NOTIFY, wParam, lParam);
  ShowWindow(processesPage_.Window(), SW_HIDE);
  TabCtrl_SetCurSel(tabControl_, selection);
  HWND window = page->PageWindow();
  FitPageToTab(window);
  ShowWindow(window, SW_SHOW);
  SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetFocus(tabControl_);
  page->Layout();
  page->Refresh();
  tabSwitchGuard_ = false;
  BuildExtensionMenu();
  return 0;
}

LRESULT Hub::OnStepTab(int step) {
  int count = TabCtrl_GetItemCount(tabControl_);
  // In the compact view the tabs are hidden and only a double click, which an
  // added page swallows, leads back: the steps stay on Task Manager's pages.
  bool compact = !(GetWindowLongW(tabControl_, GWL_STYLE) & WS_VISIBLE);
  int index = TabCtrl_GetCurSel(tabControl_);
  for (int tries = 0; tries < count; ++tries) {
    index = SteppedTabIndex(index, step, count);
    if (!compact || !PageAtTab(index)) break;
  }
  SelectTab(index);
  return 0;
}

void Hub::SelectTab(int index) {
  TabCtrl_SetCurSel(tabControl_, index);
  NMHDR header = {};
  header.hwndFrom = tabControl_;
  header.idFrom = kTabControlId;
  header.code = UINT(TCN_SELCHANGE);
  SendMessageW(tabControl_, WM_NOTIFY, kTabControlId, reinterpret_cast<LPARAM>(&header));
}

void Hub::OnCheckIntegrityCommand() {
  checkIntegrity_ = !checkIntegrity_;
  settings::StoreCheckIntegrity(checkIntegrity_);
  if (extensionMenu_)
    CheckMenuItem(extensionMenu_, kCheckIntegrityCommand,
                  MF_BYCOMMAND | (checkIntegrity_ ? MF_CHECKED : MF_UNCHECKED));
}

void Hub::ShowAboutDialog() { ::ShowAboutDialog(module_, mainWindow_.Window()); }

void Hub::BuildExtensionMenu() {
  if (!accepted_) return;
  HWND main = mainWindow_.Window();
  // The popup of an earlier bar went with that bar.
  extensionMenu_ = nullptr;
  if (HMENU bar = GetMenu(main)) {
    // A bar that Task Manager kept still carries an earlier entry: "Vesk"
    // appears once.
    for (int position = GetMenuItemCount(bar) - 1; position >= 0; --position) {
      HMENU earlier = GetSubMenu(bar, position);
      if (!IsExtensionPopup(earlier)) continue;
      RemoveMenu(bar, position, MF_BYPOSITION);
      DestroyMenu(earlier);
    }
    HMENU popup = CreatePopupMenu();
    checkIntegrity_ = settings::ReadCheckIntegrity();
    AppendMenuW(popup, MF_STRING, kAboutCommand, LoadResourceString(IDS_ABOUT).c_str());
    AppendMenuW(popup, MF_STRING | (checkIntegrity_ ? MF_CHECKED : MF_UNCHECKED), kCheckIntegrityCommand,
                LoadResourceString(IDS_CHECK_INTEGRITY).c_str());
    if (AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), L"Vesk")) {
      extensionMenu_ = popup;
    } else {
      DestroyMenu(popup);
    }
  }
  DrawMenuBar(main);
}

void Hub::KeepExtensionMenu() {
  if (!accepted_ || !tabControl_) return;
  HMENU bar = GetMenu(mainWindow_.Window());
  if (!bar) {
    extensionMenu_ = nullptr;
    return;
  }
  int count = GetMenuItemCount(bar);
  HMENU last = count > 0 ? GetSubMenu(bar, count - 1) : nullptr;
  if (!extensionMenu_ || last != extensionMenu_ || !IsExtensionPopup(last)) BuildExtensionMenu();
}

void Hub::ShowProcessesPage() {
  HWND page = processesPage_.Window();
  if (!page || IsWindowVisible(page)) return;
  FitPageToTab(page);
  ShowWindow(page, SW_SHOW);
  SetWindowPos(page, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void Hub::FitPageToTab(HWND page) {
  RECT area;
  GetClientRect(tabControl_, &area);
  MapWindowPoints(tabControl_, mainWindow_.Window(), reinterpret_cast<POINT*>(&area), 2);
  TabCtrl_AdjustRect(tabControl_, FALSE, &area);
  SetWindowPos(page, nullptr, area.left, area.top, area.right - area.left, area.bottom - area.top,
               SWP_NOACTIVATE | SWP_NOZORDER);
}

Page* Hub::PageAtTab(int index) const {
  if (index < 0) return nullptr;
  for (const auto& page : pages_)
    if (page->TabIndex() == index) return page.get();
  return nullptr;
}

LRESULT Hub::OnProcessesPageMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  auto passOn = [&] { return processesPage_.CallPrevious(message, wParam, lParam); };
  switch (message) {
    case WM_COMMAND: {
      UINT command = LOWORD(wParam);
      if (IsPriorityCommand(command))
        return prioritySaving_.OnPriorityCommand(command, SelectedProcess(), passOn);
      if (command == kAffinityCommand) return prioritySaving_.OnAffinityCommand(SelectedProcess(), passOn);
      if (command == kSavePriorityCommand) {
        prioritySaving_.OnSavePriorityCommand(SelectedProcess());
        return 0;
      }
      if (command == kTreatAsValidCommand) {
        OnTreatAsValidCommand();
        return 0;
      }
      if (command == kDiscardCommand) {
        discardAndGoTo_.Discard(mainWindow_.Window(), SelectedProcess());
        return 0;
      }
      if ((command & 0xFF00) == kFirstGoToServiceCommand) {
        OnGoToServiceCommand(command);
        return 0;
      }
      if (command == kSwallowedCommand && AddedPageCurrent()) return 0;
      break;
    }
    case WM_INITMENUPOPUP: {
      auto popup = reinterpret_cast<HMENU>(wParam);
      if (GetMenuItemID(popup, 0) == kProcessMenuFirstCommand) {
        AppendTreatAsValid(popup);
        prioritySaving_.ExtendContextMenu(popup, SelectedProcess());
        discardAndGoTo_.ExtendContextMenu(popup, SelectedProcess());
      }
      break;
    }
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
#ifndef VESK_WINDOWS_2000
      if (header && header->idFrom == kProcessListId && header->code == UINT(NM_CUSTOMDRAW))
        return OnProcessListCustomDraw(*reinterpret_cast<NMLVCUSTOMDRAW*>(lParam));
#endif
      if (header && header->idFrom == kProcessListId && header->code == UINT(LVN_ITEMCHANGED)) {
        const auto* change = reinterpret_cast<const NMLISTVIEW*>(lParam);
        // The record is copied now, while its row certainly exists.
        if (change->iItem != -1 && (change->uNewState & LVIS_SELECTED)) {
          if (auto record = GetListItemParam(header->hwndFrom, change->iItem))
            selected_ = ReadProcessRecord(*record);
        }
      }
      break;
    }
  }
  return passOn();
}

std::optional<ProcessIdentity> Hub::SelectedProcess() {
  if (selected_ && RowOfProcessExists(*selected_)) return selected_;
  // Nothing remembered, or the remembered row is gone: Task Manager's first
  // selected row, if any.
  selected_.reset();
  HWND list = processList_.Window();
  if (!list) return selected_;
  int index = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
  if (index < 0) return selected_;
  if (auto record = GetListItemParam(list, index)) selected_ = ReadProcessRecord(*record);
  return selected_;
}

bool Hub::RowOfProcessExists(const ProcessIdentity& process) const {
  HWND list = processList_.Window();
  int count = list ? int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)) : 0;
  for (int index = 0; index < count; ++index) {
    auto record = GetListItemParam(list, index);
    if (!record) continue;
    ProcessIdentity row = ReadProcessRecord(*record);
    if (row.processId == process.processId && row.imageName == process.imageName) return true;
  }
  return false;
}

void Hub::OnGoToServiceCommand(UINT command) {
  auto name = discardAndGoTo_.ServiceOfCommand(command);
  ServicesPage* services = nullptr;
  for (const auto& page : pages_)
    if (!services) services = dynamic_cast<ServicesPage*>(page.get());
  if (!name || !services || services->TabIndex() < 0) return;
  SelectTab(services->TabIndex());
  services->SelectServiceByDisplayName(*name);
}

void Hub::GoToProcess(DWORD processId) {
  HWND page = processesPage_.Window();
  ShowWindow(page, SW_SHOW);
  SetWindowPos(page, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  // Task Manager still regards its Processes page as current.
  SetFocus(tabControl_);
  TabCtrl_SetCurSel(tabControl_, kProcessesTabIndex);
  currentTab_ = kProcessesTabIndex;
  HWND list = processList_.Window();
  SelectProcessRow(list, processId);
  SetFocus(list);
}

LRESULT Hub::OnProcessListCustomDraw(NMLVCUSTOMDRAW& draw) {
  switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
      ApplyIntegrityColour(draw, ReadProcessId(draw.nmcd.lItemlParam));
      return CDRF_NOTIFYITEMDRAW;
    default:
      return CDRF_DODEFAULT;
  }
}

void Hub::ApplyIntegrityColour(NMLVCUSTOMDRAW& draw, DWORD processId) {
#ifndef VESK_WINDOWS_2000
  if (integrity_ && checkIntegrity_) integrity_->ApplyColour(draw, processId);
#else
  (void)draw;
  (void)processId;
#endif
}

void Hub::AppendTreatAsValid(HMENU popup) {
#ifndef VESK_WINDOWS_2000
  auto selected = SelectedProcess();
  if (integrity_ && selected && integrity_->StateOf(selected->processId) == IntegrityState::Invalid)
    AppendMenuW(popup, MF_STRING, kTreatAsValidCommand, LoadResourceString(IDS_TREAT_AS_VALID).c_str());
#else
  (void)popup;
#endif
}

void Hub::OnTreatAsValidCommand() {
#ifndef VESK_WINDOWS_2000
  auto selected = SelectedProcess();
  if (!integrity_ || !selected) return;
  integrity_->TreatAsValid(*selected);
  RedrawRowsOfProcess(selected->processId);
#endif
}

void Hub::RedrawRowsOfProcess(DWORD processId) {
  auto redraw = [](HWND list, int item) { SendMessageW(list, LVM_REDRAWITEMS, item, item); };
  if (HWND list = processList_.Window()) {
    int count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int item = 0; item < count; ++item) {
      auto record = GetListItemParam(list, item);
      if (record && ReadProcessId(*record) == processId) redraw(list, item);
    }
  }
  for (const auto& page : pages_) {
    HWND list = page->ListView();
    int count = list ? int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)) : 0;
    for (int item = 0; item < count; ++item)
      if (page->ItemProcessId(item) == processId) redraw(list, item);
  }
}
