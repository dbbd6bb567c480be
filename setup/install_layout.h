// Names of the installed files and registry values, shared by setup and the
// loader.
#pragma once

namespace vesk::setup {

constexpr const wchar_t* kExtensionKey = L"SOFTWARE\\Vesk";
constexpr const wchar_t* kExtensionValue = L"Extension";
constexpr const wchar_t* kIfeoKey =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\taskmgr.exe";
constexpr const wchar_t* kDebuggerValue = L"Debugger";
constexpr const wchar_t* kLoaderFile = L"veskload.exe";
constexpr const wchar_t* kExtensionFile = L"taskext.dll";
constexpr const wchar_t* kDriverFile = L"vesk.sys";

}  // namespace vesk::setup
