// Where setup puts Vesk's pieces and the registry values through which the
// loader finds them: one place, so that setup and the loader agree.
#pragma once

namespace vesk::setup {

// HKLM key and value holding the full path of the installed extension.
constexpr const wchar_t* kExtensionKey = L"SOFTWARE\\Vesk";
constexpr const wchar_t* kExtensionValue = L"Extension";

// HKLM key and value that make Windows start the loader in Task Manager's place.
constexpr const wchar_t* kIfeoKey =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\taskmgr.exe";
constexpr const wchar_t* kDebuggerValue = L"Debugger";
// Beside it: Task Manager's own global flags, 0, so that it gets no debug heap.
constexpr const wchar_t* kGlobalFlagValue = L"GlobalFlag";

// File names inside the system directory (the driver inside its drivers folder).
constexpr const wchar_t* kLoaderFile = L"veskload.exe";
constexpr const wchar_t* kExtensionFile = L"taskext.dll";
constexpr const wchar_t* kDriverFile = L"vesk.sys";

}  // namespace vesk::setup
