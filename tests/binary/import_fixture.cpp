// A program for the binary checker's own tests: imports GetTickCount64
// (Windows Vista) and Sleep, which its allow-list does not review.
#include <windows.h>

extern "C" void WINAPI FixtureEntry() {
  Sleep(0);
  ExitProcess(static_cast<UINT>(GetTickCount64()));
}
