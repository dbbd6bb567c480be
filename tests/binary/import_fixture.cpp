// A program for the binary checker's own tests: imports GetTickCount64
// (Windows Vista) and Sleep, which its allow-list does not review, and
// carries the name "WSAStartup" as a run-time binding would, which its
// run-time list does not review.
#include <windows.h>

extern "C" void WINAPI FixtureEntry() {
  static const char* volatile bound = "WSAStartup";
  Sleep(bound[0]);
  ExitProcess(static_cast<UINT>(GetTickCount64()));
}
