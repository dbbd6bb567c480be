// The library's entry point: everything else happens on Task Manager's
// user-interface thread through the hook and the subclassed windows.
#include "common/target.h"
#include "host/hub.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  // An exception must not reach the loader; the library then stays inert.
  try {
    if (reason == DLL_PROCESS_ATTACH) Hub::Instance().ProcessAttach(module);
    if (reason == DLL_PROCESS_DETACH) Hub::Instance().ProcessDetach(reserved != nullptr);
  } catch (...) {
  }
  return TRUE;
}
