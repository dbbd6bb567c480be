// The Windows version each build of the extension targets. The build's one
// switch VESK_WINDOWS_2000 (taskext_nt) comes with _WIN32_WINNT 0x0500 from
// the build files; taskext_xp is built for 0x0501.
#pragma once

#ifdef VESK_WINDOWS_2000
#if _WIN32_WINNT != 0x0500
#error "the Windows 2000 build targets _WIN32_WINNT 0x0500"
#endif
#elif _WIN32_WINNT != 0x0501
#error "the Windows XP build targets _WIN32_WINNT 0x0501"
#endif

#include <windows.h>
