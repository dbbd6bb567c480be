#include "services/service_control.h"

#include <commctrl.h>

#include "common/module.h"
#include "common/resource_loaders.h"
#include "resources/resource_ids.h"
#include "services/service_manager.h"

namespace {

constexpr UINT_PTR kPollTimerId = 1;
constexpr UINT kPollMilliseconds = 500;
// The progress bar is full after 30 polls (15 s) and then stays full.
constexpr int kProgressPolls = 30;

UINT ProgressVerb(DWORD code) {
  switch (code) {
    case kControlStart:
      return IDS_STARTING;
    case kControlStop:
      return IDS_STOPPING;
    case kControlPause:
      return IDS_PAUSING;
  }
  return IDS_RESUMING;
}

UINT FailureText(DWORD code) {
  switch (code) {
    case kControlStart:
      return IDS_CANNOT_START;
    case kControlStop:
      return IDS_CANNOT_STOP;
    case kControlPause:
      return IDS_CANNOT_PAUSE;
  }
  return IDS_CANNOT_CONTINUE;
}

// What the "Wait..." window's WM_INITDIALOG needs: the window is centred and
// filled in there, before the dialog manager shows it (its template is
// visible), so that it never appears at the template's own place.
struct WaitStart {
  ServiceControl* control;
  HWND main;
  const std::wstring* text;
};

// Task Manager's message loop hands only its own main window to
// IsDialogMessage. While a "Wait..." window is up, a hook on this thread's
// message retrieval hands it the keys meant for it, so that Esc and Enter
// press its button.
HWND gKeyDialog = nullptr;
HHOOK gKeyHook = nullptr;

LRESULT CALLBACK DialogKeys(int code, WPARAM removal, LPARAM lParam) {
  auto* message = reinterpret_cast<MSG*>(lParam);
  if (code == HC_ACTION && removal == PM_REMOVE && gKeyDialog && message->message >= WM_KEYFIRST &&
      message->message <= WM_KEYLAST && IsDialogMessageW(gKeyDialog, message))
    message->message = WM_NULL;
  return CallNextHookEx(gKeyHook, code, removal, lParam);
}

}  // namespace

void ServiceControl::SingleShot(const ServiceRecordPtr& record, DWORD code) {
  ControlRequest request{record, code};
  Issue(request, false);
  // Closed whether the request went through or not.
  ReleaseServiceHandle(*record);
  host_.RefreshAfterCommand();
}

void ServiceControl::Stop(const ServiceRecordPtr& record) {
  auto dependents = ActiveDependents(*record);
  if (dependents.empty()) {
    SingleShot(record, kControlStop);
    return;
  }
  if (!ConfirmDependents(*record, dependents, IDS_QUESTION_DEPENDENT_STOP, IDS_CONFIRM_DEPENDENT_STOP))
    return;
  std::deque<ControlRequest> requests;
  for (const auto& dependent : dependents) requests.push_back({dependent, kControlStop});
  requests.push_back({record, kControlStop});
  RunSequence(requests);
}

void ServiceControl::Restart(const ServiceRecordPtr& record) {
  auto dependents = ActiveDependents(*record);
  if (!dependents.empty() &&
      !ConfirmDependents(*record, dependents, IDS_QUESTION_DEPENDENT_RESTART, IDS_CONFIRM_DEPENDENT_RESTART))
    return;
  std::deque<ControlRequest> requests;
  for (const auto& dependent : dependents) requests.push_back({dependent, kControlStop});
  requests.push_back({record, kControlStop});
  requests.push_back({record, kControlStart});
  // The dependents start in the order in which they were stopped.
  for (const auto& dependent : dependents) requests.push_back({dependent, kControlStart});
  RunSequence(requests);
}

void ServiceControl::SetStartType(const ServiceRecordPtr& record, DWORD startType) {
  if (!QueryServiceDetails(*record)) return;
  // A refused change is not reported; the next context menu reads the type again.
  ChangeServiceConfigW(record->service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr, nullptr);
  ReleaseServiceHandle(*record);
}

void ServiceControl::RunSequence(std::deque<ControlRequest>& requests) {
  // The page may have gone while the confirmation was open.
  if (!IsWindow(host_.PageWindow())) return;
  bool idle = queue_.empty();
  for (auto& request : requests) queue_.push_back(request);
  // A sequence asked for while another runs waits behind it.
  if (!idle) return;
  ControlRequest front = queue_.front();
  Issue(front, true);
  if (!queue_.empty() && IsWindow(host_.PageWindow()))
    pollTimer_ = SetTimer(host_.PageWindow(), kPollTimerId, kPollMilliseconds, nullptr);
}

bool ServiceControl::Issue(const ControlRequest& request, bool sequence) {
  ServiceRecord& record = *request.record;
  bool sent = false;
  if (QueryServiceDetails(record)) {
    if (request.code == kControlStart) {
      sent = StartServiceW(record.service, 0, nullptr) != FALSE;
    } else {
      SERVICE_STATUS status = {};
      sent = ControlService(record.service, request.code, &status) != FALSE;
    }
  }
  if (!sent) {
    std::wstring text = LoadResourceString(FailureText(request.code)) + L" " + record.displayName;
    MessageBoxW(host_.MainWindow(), text.c_str(), LoadResourceString(IDS_UNABLE_TO_CONTROL_SERVICE).c_str(),
                MB_OK | MB_ICONERROR);
    return false;
  }
  if (sequence) ShowWaitWindow(request);
  return true;
}

bool ServiceControl::Poll(const ControlRequest& request) {
  ServiceRecord& record = *request.record;
  SERVICE_STATUS status = {};
  if (record.service && QueryServiceStatus(record.service, &status)) {
    record.currentState = status.dwCurrentState;
    record.checkpoint = status.dwCheckPoint;
  }
  if (!IsPendingState(record.currentState)) return true;
  if (progress_ < kProgressPolls) ++progress_;
  if (waitWindow_) SendDlgItemMessageW(waitWindow_, IDC_WAIT_PROGRESS, PBM_SETPOS, progress_, 0);
  return false;
}

void ServiceControl::Finish(const ControlRequest& request) {
  ReleaseServiceHandle(*request.record);
  CloseWaitWindow();
}

void ServiceControl::OnPollTimer() {
  if (queue_.empty()) {
    KillPollTimer();
    return;
  }
  ControlRequest front = queue_.front();
  if (!Poll(front)) return;
  Finish(front);
  queue_.pop_front();
  if (queue_.empty()) {
    KillPollTimer();
    return;
  }
  // A refused request stays at the front: the next tick finds it settled
  // and the sequence goes on.
  front = queue_.front();
  Issue(front, true);
}

void ServiceControl::Cancel() {
  KillPollTimer();
  if (!queue_.empty()) Finish(queue_.front());
  DropQueue();
}

void ServiceControl::Shutdown() {
  KillPollTimer();
  CloseWaitWindow();
  DropQueue();
}

bool ServiceControl::Holds(const ServiceRecord& record) const {
  for (const auto& request : queue_)
    if (request.record.get() == &record) return true;
  return false;
}

void ServiceControl::DropQueue() {
  for (auto& request : queue_) ReleaseServiceHandle(*request.record);
  queue_.clear();
}

void ServiceControl::KillPollTimer() {
  if (pollTimer_ && IsWindow(host_.PageWindow())) KillTimer(host_.PageWindow(), pollTimer_);
  pollTimer_ = 0;
}

void ServiceControl::ShowWaitWindow(const ControlRequest& request) {
  CloseWaitWindow();
  HWND main = host_.MainWindow();
  std::wstring text = LoadResourceString(ProgressVerb(request.code)) + L" " + request.record->displayName;
  WaitStart start{this, main, &text};
  HWND wait = CreateDialogParamW(ExtensionModule(), MAKEINTRESOURCEW(IDD_WAIT), host_.PageWindow(),
                                 &ServiceControl::WaitProcedure, reinterpret_cast<LPARAM>(&start));
  if (!wait) return;
  waitWindow_ = wait;
  progress_ = 0;
  ShowWindow(wait, SW_SHOW);
  if (!gKeyHook) gKeyHook = SetWindowsHookExW(WH_GETMESSAGE, &DialogKeys, nullptr, GetCurrentThreadId());
  gKeyDialog = wait;
  EnableWindow(main, FALSE);
  SetFocus(wait);
}

void ServiceControl::CloseWaitWindow() {
  if (!waitWindow_) return;
  if (gKeyDialog == waitWindow_) {
    gKeyDialog = nullptr;
    if (gKeyHook) UnhookWindowsHookEx(gKeyHook);
    gKeyHook = nullptr;
  }
  HWND main = host_.MainWindow();
  EnableWindow(main, TRUE);
  ShowWindow(waitWindow_, SW_HIDE);
  DestroyWindow(waitWindow_);
  waitWindow_ = nullptr;
  if (IsWindow(main)) SetFocus(main);
}

void ServiceControl::InitWaitWindow(HWND wait, HWND main, const std::wstring& text) {
  RECT owner = {}, own = {};
  GetWindowRect(main, &owner);
  GetWindowRect(wait, &own);
  int left = owner.left + (owner.right - owner.left) / 2 - (own.right - own.left) / 2;
  int top = owner.top + (owner.bottom - owner.top) / 2 - (own.bottom - own.top) / 2;
  SetWindowPos(wait, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  SendDlgItemMessageW(wait, IDC_WAIT_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, kProgressPolls));
  SendDlgItemMessageW(wait, IDC_WAIT_PROGRESS, PBM_SETPOS, 0, 0);
  SetDlgItemTextW(wait, IDC_WAIT_TEXT, text.c_str());
}

INT_PTR CALLBACK ServiceControl::WaitProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    const auto* start = reinterpret_cast<const WaitStart*>(lParam);
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(start->control));
    InitWaitWindow(dialog, start->main, *start->text);
    return TRUE;
  }
  auto* self = reinterpret_cast<ServiceControl*>(GetWindowLongPtrW(dialog, DWLP_USER));
  // Cancel is the window's only button: Enter presses it as well, whether
  // the dialog manager reports it as the default button (IDCANCEL) or finds
  // none (IDOK).
  if (self && message == WM_COMMAND && (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK)) {
    self->Cancel();
    return TRUE;
  }
  return FALSE;
}

std::vector<ServiceRecordPtr> ServiceControl::ActiveDependents(const ServiceRecord& record) const {
  std::vector<ServiceRecordPtr> dependents;
  if (!record.service) return dependents;
  DWORD count = 0;
  std::vector<BYTE> buffer;
  if (!QueryWithBuffer(buffer, [&](BYTE* data, DWORD size, DWORD* needed) {
        count = 0;
        return EnumDependentServicesW(record.service, SERVICE_ACTIVE,
                                      reinterpret_cast<ENUM_SERVICE_STATUSW*>(data), size, needed,
                                      &count) != FALSE;
      }))
    return dependents;
  size_t fits = buffer.size() / sizeof(ENUM_SERVICE_STATUSW);
  const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(buffer.data());
  for (DWORD i = 0; i < count && i < fits; ++i) {
    // Services the page does not list (drivers) are left out.
    if (!entries[i].lpServiceName) continue;
    if (auto dependent = host_.FindRecord(entries[i].lpServiceName)) dependents.push_back(dependent);
  }
  return dependents;
}

bool ServiceControl::ConfirmDependents(const ServiceRecord& record,
                                       const std::vector<ServiceRecordPtr>& dependents, UINT question,
                                       UINT caption) const {
  std::wstring text = LoadResourceString(IDS_SERVICES_DEPEND_ON) + L" " + record.displayName + L":\r\n\r\n";
  for (const auto& dependent : dependents) text += dependent->displayName + L"\r\n";
  text += L"\r\n" + LoadResourceString(question);
  return MessageBoxW(host_.MainWindow(), text.c_str(), LoadResourceString(caption).c_str(),
                     MB_YESNO | MB_ICONQUESTION) == IDYES;
}
