// The library's entry point: everything else happens on Task Manager's
// user-interface thread through the hook and the subclassed windows.
#include "common/target.h"
#include "host/hub.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) Hub::Instance().ProcessAttach(module);
  if (reason == DLL_PROCESS_DETACH) Hub::Instance().ProcessDetach();
  return TRUE;
}
