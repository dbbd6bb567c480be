// The image integrity check of the Windows XP build: every list row of a
// process is painted light green when the process's image file carries a
// valid signature (through the system's catalogs, then an embedded one, or a
// hash the user declared valid), light red when it does not, and normally
// while the answer is not known. One worker thread at idle priority does the
// checking, so painting never waits.
#pragma once

#include "common/target.h"
// commctrl.h needs windows.h first.
#include <commctrl.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "common/target.h"
#include "host/process_info.h"
#include "host/process_record.h"

enum class IntegrityState : uint32_t { Unchecked = 0, Pending = 1, Invalid = 2, Valid = 3 };

// Text backgrounds (0x00BBGGRR).
constexpr COLORREF kInvalidColour = 0xE0E0FF;
constexpr COLORREF kValidColour = 0xE0FFE0;

// The Windows 2000 build checks and colours nothing.
#ifndef VESK_WINDOWS_2000

class IntegrityCheck {
 public:
  // Shared by the hub and a running worker, so that a worker still busy with
  // a slow check when Task Manager closes finishes it on state that is still
  // there and then cleans up after itself. The worker reports each verdict by
  // posting `verdictMessage` (wParam: the process id) to `notifyWindow`,
  // never by waiting for the user-interface thread. Null when the lock
  // cannot be set up.
  static std::shared_ptr<IntegrityCheck> Create(std::shared_ptr<const ProcessInformation> information,
                                                HWND notifyWindow, UINT verdictMessage);
  ~IntegrityCheck();
  IntegrityCheck(const IntegrityCheck&) = delete;
  IntegrityCheck& operator=(const IntegrityCheck&) = delete;

  // Loads wintrust.dll and binds its functions, unless done already.
  void LoadTrustLibrary();
  IntegrityState StateOf(DWORD processId);
  // Paints a row at its item pre-paint stage from its process's verdict, or
  // queues the process for the worker. User-interface thread.
  void ApplyColour(NMLVCUSTOMDRAW& draw, DWORD processId);
  // "Treat as Valid": the process is valid from now on, and its image's hash
  // is stored for the next runs. User-interface thread.
  void TreatAsValid(const ProcessIdentity& process);
  // Asks a running worker to stop after its current check and waits for it
  // at most `milliseconds`. No worker starts afterwards.
  void Stop(DWORD milliseconds);

 private:
  struct TrustLibrary;

  IntegrityCheck() = default;
  static DWORD WINAPI WorkerMain(void* parameter);
  void RunWorker();
  bool StartWorkerLocked();
  const TrustLibrary* Trust();
  IntegrityState CheckImage(DWORD processId, const TrustLibrary& trust, void* catalogAdmin);
  bool Verify(const TrustLibrary& trust, void* catalogAdmin, const std::wstring& path, HANDLE file);

  std::weak_ptr<IntegrityCheck> self_;
  std::shared_ptr<const ProcessInformation> information_;
  HWND notifyWindow_ = nullptr;
  UINT verdictMessage_ = 0;

  // Guarded by the lock.
  CRITICAL_SECTION lock_ = {};
  bool lockReady_ = false;
  std::map<DWORD, IntegrityState> states_;
  std::deque<DWORD> queue_;
  bool workerRunning_ = false;
  bool stopRequested_ = false;
  HANDLE workerThread_ = nullptr;
  std::unique_ptr<TrustLibrary> trust_;

  // The worker's alone.
  std::set<std::wstring> validPaths_;
  std::set<std::wstring> invalidPaths_;
};

#endif
