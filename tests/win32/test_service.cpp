// test_service: a real Win32 service program for the Services page's tests.
// One program hosts every test service (and the demo's VeskDemo), each in a process of its own or
// several in one (SERVICE_WIN32_SHARE_PROCESS). A service reads its behaviour
// from the values of its registry key's "Parameters" subkey when it starts:
//   PendingMs: how long start, stop, pause and continue stay pending, the
//              checkpoint growing by one every StepMs (default 100); 0xFFFFFFFF
//              holds each pending state until the event
//              "Global\VeskTestRelease.<name>" is set.
//   Accept:    the controls accepted while running or paused
//              (1 stop, 2 pause and continue; default 3).
// The user control 128 makes a running service stop accepting pause and
// continue from then on (the manager then refuses a pause).
#include <windows.h>

#include <string>

namespace {

const wchar_t* const kServiceNames[] = {L"VeskTestBase", L"VeskTestDepA", L"VeskTestDepB", L"VeskTestSlow",
                                        L"VeskTestShared1", L"VeskTestShared2", L"VeskTestShared3",
                                        L"VeskDemo",
                                        // A driver that will not unload, for the setup test.
                                        L"vesk"};
constexpr DWORD kHold = 0xFFFFFFFF;
constexpr DWORD kWithdrawPause = 128;

DWORD ReadParameter(const std::wstring& name, const wchar_t* value, DWORD fallback) {
  std::wstring key = L"System\\CurrentControlSet\\Services\\" + name + L"\\Parameters";
  DWORD data = fallback, size = sizeof data, type = 0;
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return fallback;
  if (RegQueryValueExW(handle, value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD)
    data = fallback;
  RegCloseKey(handle);
  return data;
}

class TestService {
 public:
  explicit TestService(const wchar_t* name)
      : name_(name),
        pendingMs_(ReadParameter(name_, L"PendingMs", 0)),
        stepMs_(ReadParameter(name_, L"StepMs", 100)),
        accept_(ReadParameter(name_, L"Accept", SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE)),
        control_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
        release_(CreateEventW(nullptr, FALSE, FALSE, (L"Global\\VeskTestRelease." + name_).c_str())) {}
  ~TestService() {
    CloseHandle(control_);
    if (release_) CloseHandle(release_);
  }

  void Run() {
    status_ = RegisterServiceCtrlHandlerExW(name_.c_str(), &TestService::Handler, this);
    if (!status_) return;
    Pending(SERVICE_START_PENDING);
    Report(SERVICE_RUNNING);
    for (;;) {
      WaitForSingleObject(control_, INFINITE);
      switch (InterlockedExchange(&requested_, 0)) {
        case SERVICE_CONTROL_STOP:
          Pending(SERVICE_STOP_PENDING);
          Report(SERVICE_STOPPED);
          return;
        case SERVICE_CONTROL_PAUSE:
          Pending(SERVICE_PAUSE_PENDING);
          Report(SERVICE_PAUSED);
          break;
        case SERVICE_CONTROL_CONTINUE:
          Pending(SERVICE_CONTINUE_PENDING);
          Report(SERVICE_RUNNING);
          break;
      }
    }
  }

 private:
  static DWORD WINAPI Handler(DWORD control, DWORD, void*, void* context) {
    auto* self = static_cast<TestService*>(context);
    switch (control) {
      case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
      case kWithdrawPause:
        self->accept_ &= ~DWORD(SERVICE_ACCEPT_PAUSE_CONTINUE);
        self->Report(SERVICE_RUNNING);
        return NO_ERROR;
      case SERVICE_CONTROL_STOP:
        if (!(self->accept_ & SERVICE_ACCEPT_STOP)) return ERROR_CALL_NOT_IMPLEMENTED;
        break;
      case SERVICE_CONTROL_PAUSE:
      case SERVICE_CONTROL_CONTINUE:
        if (!(self->accept_ & SERVICE_ACCEPT_PAUSE_CONTINUE)) return ERROR_CALL_NOT_IMPLEMENTED;
        break;
      default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    InterlockedExchange(&self->requested_, LONG(control));
    SetEvent(self->control_);
    return NO_ERROR;
  }

  // Stays in the pending state for the configured time (or until released),
  // reporting a growing checkpoint.
  void Pending(DWORD state) {
    DWORD checkpoint = 1;
    Report(state, checkpoint);
    DWORD start = GetTickCount();
    for (;;) {
      if (pendingMs_ == kHold) {
        if (!release_ || WaitForSingleObject(release_, stepMs_) == WAIT_OBJECT_0) return;
      } else {
        if (GetTickCount() - start >= pendingMs_) return;
        Sleep(stepMs_);
      }
      Report(state, ++checkpoint);
    }
  }

  void Report(DWORD state, DWORD checkpoint = 0) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32;
    status.dwCurrentState = state;
    bool settled = state == SERVICE_RUNNING || state == SERVICE_PAUSED;
    status.dwControlsAccepted = settled ? accept_ : 0;
    status.dwCheckPoint = checkpoint;
    status.dwWaitHint = checkpoint ? 4 * stepMs_ : 0;
    SetServiceStatus(status_, &status);
  }

  std::wstring name_;
  DWORD pendingMs_;
  DWORD stepMs_;
  DWORD accept_;
  HANDLE control_;
  HANDLE release_;
  volatile LONG requested_ = 0;
  SERVICE_STATUS_HANDLE status_ = nullptr;
};

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  if (argc < 1) return;
  TestService service(argv[0]);
  service.Run();
}

}  // namespace

int wmain() {
  SERVICE_TABLE_ENTRYW table[sizeof kServiceNames / sizeof kServiceNames[0] + 1] = {};
  for (size_t i = 0; i < sizeof kServiceNames / sizeof kServiceNames[0]; ++i)
    table[i] = {const_cast<LPWSTR>(kServiceNames[i]), &ServiceMain};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
