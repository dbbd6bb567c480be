// vesksvc in the test prefix's service control manager: installed on demand
// start (a test starts it), started, stopped and asked for its process.
#pragma once

#include <windows.h>

#include <string>

namespace vesksvc_control {

// Installs the service with `binary` (a Windows path) or puts that binary
// back into its configuration; false when neither works.
bool Install(const std::wstring& binary);
// Starts the service and waits up to 5 s for it to run.
bool Start();
// Asks the service to stop; gives how many milliseconds it took to report
// stopped, 0 when it was not running, ~0 when it did not stop within 10 s.
DWORD Stop();
DWORD State();
DWORD ProcessId();

}  // namespace vesksvc_control
