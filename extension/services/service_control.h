// The Services page's control commands: single-shot start, stop, pause and
// continue; sequences (Restart, Stop with active dependents) carried out
// request by request from a queue, each polled every 500 ms until the
// service has left its pending state, under a "Wait..." window with a
// progress bar and Cancel; and the startup modes.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "common/target.h"
#include "services/service_record.h"

// What the commands need of the page.
class ControlHost {
 public:
  virtual HWND PageWindow() const = 0;
  virtual HWND MainWindow() const = 0;
  // The first listed record with the key name, compared exactly.
  virtual ServiceRecordPtr FindRecord(const std::wstring& keyName) const = 0;
  // Clears the busy flag and refreshes the list (after a single-shot command).
  virtual void RefreshAfterCommand() = 0;

 protected:
  ~ControlHost() = default;
};

// Control codes: 0 stands for start, 1 to 3 are the platform's stop, pause
// and continue.
enum ControlCode : DWORD { kControlStart = 0, kControlStop = 1, kControlPause = 2, kControlContinue = 3 };

class ServiceControl {
 public:
  explicit ServiceControl(ControlHost& host) : host_(host) {}
  ServiceControl(const ServiceControl&) = delete;
  ServiceControl& operator=(const ServiceControl&) = delete;

  // Commands on the selected row's record, which holds an open handle.
  void Start(const ServiceRecordPtr& record) { SingleShot(record, kControlStart); }
  void Pause(const ServiceRecordPtr& record) { SingleShot(record, kControlPause); }
  void Continue(const ServiceRecordPtr& record) { SingleShot(record, kControlContinue); }
  void Stop(const ServiceRecordPtr& record);
  void Restart(const ServiceRecordPtr& record);
  void SetStartType(const ServiceRecordPtr& record, DWORD startType);

  // The page's poll timer fired.
  void OnPollTimer();
  // The wait window's Cancel: the pending request is left to the service,
  // the later ones are dropped.
  void Cancel();
  // The page goes away: timer killed, wait window gone, main window enabled,
  // queue emptied and its handles closed.
  void Shutdown();

  bool SequenceRunning() const { return !queue_.empty(); }
  // Whether a queued request works on the record.
  bool Holds(const ServiceRecord& record) const;
  HWND WaitWindow() const { return waitWindow_; }

 private:
  struct ControlRequest {
    // Shared: a record that a refresh removes stays alive until its request
    // is finished.
    ServiceRecordPtr record;
    DWORD code;
  };

  static INT_PTR CALLBACK WaitProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  // Centres the "Wait..." window over the main window and fills it in.
  static void InitWaitWindow(HWND wait, HWND main, const std::wstring& text);

  void SingleShot(const ServiceRecordPtr& record, DWORD code);
  // Sends the request; a request of a sequence then shows the wait window.
  bool Issue(const ControlRequest& request, bool sequence);
  bool Poll(const ControlRequest& request);
  void Finish(const ControlRequest& request);
  void ShowWaitWindow(const ControlRequest& request);
  void CloseWaitWindow();
  std::vector<ServiceRecordPtr> ActiveDependents(const ServiceRecord& record) const;
  bool ConfirmDependents(const ServiceRecord& record, const std::vector<ServiceRecordPtr>& dependents,
                         UINT question, UINT caption) const;
  // Queues the requests and, unless a sequence already runs, issues the
  // first and starts the poll timer.
  void RunSequence(std::deque<ControlRequest>& requests);
  void DropQueue();
  void KillPollTimer();

  ControlHost& host_;
  std::deque<ControlRequest> queue_;
  UINT_PTR pollTimer_ = 0;
  int progress_ = 0;
  HWND waitWindow_ = nullptr;
};
