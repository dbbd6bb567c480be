// veskload.exe: registered as Task Manager's debugger, so that Windows starts
// it in Task Manager's place however Task Manager is started. It starts the
// real Task Manager as its debugger (a process created for debugging is not
// redirected to its image's debugger again), stops it on its entry point,
// after every DLL it imports has been initialised and before any of its own
// code has run, and runs a short stub there that loads the extension and
// jumps on to the entry point. Loading in Task Manager's own thread at that
// point holds no loader lock and finishes before Task Manager creates a
// window. LoadLibraryW maps a library once however often it is called. When
// the extension cannot be loaded, Task Manager runs without it.
#include <windows.h>
#include <winternl.h>

#include "loader_logic.h"
#include "setup/install_layout.h"

namespace {

using veskload::Session;

typedef BOOL(WINAPI* DetachFunction)(DWORD);
typedef BOOL(WINAPI* KillOnExitFunction)(BOOL);

// A function bound at run time, or null where this Windows lacks it.
template <typename Function>
Function Bind(HMODULE module, const char* name) {
  // Through void (*)(): the one function type any other converts from
  // without a warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The extension's full path from the registry, or false.
bool ReadExtensionPath(wchar_t* path, DWORD capacityChars) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, vesk::setup::kExtensionKey, 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS)
    return false;
  DWORD type = 0;
  DWORD bytes = (capacityChars - 1) * sizeof(wchar_t);
  LONG status = RegQueryValueExW(key, vesk::setup::kExtensionValue, nullptr, &type,
                                 reinterpret_cast<BYTE*>(path), &bytes);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
  // The value need not end in a terminator.
  path[bytes / sizeof(wchar_t)] = 0;
  return path[0] != 0;
}

struct Target {
  HANDLE process;
  HANDLE thread;
  DWORD threadId;
  uint8_t savedByte;
  const wchar_t* extension;  // null: none to load
};

bool WriteCode(HANDLE process, uint32_t address, const void* bytes, SIZE_T size) {
  SIZE_T written = 0;
  void* at = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
  return WriteProcessMemory(process, at, bytes, size, &written) && written == size &&
         FlushInstructionCache(process, at, size);
}

bool ArmEntry(Target& target, uint32_t entry) {
  if (!target.extension) return false;
  SIZE_T read = 0;
  if (!ReadProcessMemory(target.process, reinterpret_cast<void*>(static_cast<uintptr_t>(entry)),
                         &target.savedByte, 1, &read) ||
      read != 1)
    return false;
  return WriteCode(target.process, entry, &veskload::kBreakpoint, 1);
}

// At the entry point's breakpoint: puts the original byte back and sends the
// thread through the stub, or straight to the entry point when the stub
// cannot be placed.
void MapExtension(Target& target, uint32_t entry) {
  WriteCode(target.process, entry, &target.savedByte, 1);
  CONTEXT context;
  context.ContextFlags = CONTEXT_CONTROL;
  if (!GetThreadContext(target.thread, &context)) return;
  context.Eip = entry;
  // kernel32 lies at the same address in every process of a session.
  FARPROC loadLibrary = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW");
  SIZE_T pathBytes = (lstrlenW(target.extension) + 1) * sizeof(wchar_t);
  uint8_t* block = static_cast<uint8_t*>(VirtualAllocEx(
      target.process, nullptr, veskload::kStubSize + pathBytes, MEM_COMMIT, PAGE_EXECUTE_READWRITE));
  if (loadLibrary && block) {
    uint32_t stubAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block));
    uint32_t pathAddress = stubAddress + veskload::kStubSize;
    uint8_t stub[veskload::kStubSize];
    veskload::BuildStub(pathAddress, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(loadLibrary)), entry,
                        stub);
    if (WriteCode(target.process, pathAddress, target.extension, pathBytes) &&
        WriteCode(target.process, stubAddress, stub, sizeof stub))
      context.Eip = stubAddress;
  }
  SetThreadContext(target.thread, &context);
}

// The PEB's address, or null.
BYTE* PebOf(HANDLE process) {
  PROCESS_BASIC_INFORMATION basic;
  if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0)
    return nullptr;
  return reinterpret_cast<BYTE*>(basic.PebBaseAddress);
}

// At the process-creation event, before Task Manager's heap exists: takes
// away heap debugging flags the PEB may already carry, so that Task Manager
// runs as fast as without the loader and a heap fault does not break into a
// debugger that has gone. (The flags ntdll adds while the process starts,
// because a debugger is there, setup's image GlobalFlag of 0 keeps away.)
// When the PEB cannot be read or written Task Manager runs on with what it
// has.
void StartWithoutDebugHeap(HANDLE process) {
  BYTE* own = PebOf(GetCurrentProcess());
  BYTE* peb = PebOf(process);
  if (!own || !peb) return;
  DWORD loaderFlags = *reinterpret_cast<const DWORD*>(own + veskload::kPebGlobalFlagsOffset);
  DWORD flags = 0;
  SIZE_T done = 0;
  if (ReadProcessMemory(process, peb + veskload::kPebGlobalFlagsOffset, &flags, sizeof flags, &done) &&
      done == sizeof flags) {
    DWORD cleared = veskload::WithoutDebugHeap(flags, loaderFlags);
    if (cleared != flags)
      WriteProcessMemory(process, peb + veskload::kPebGlobalFlagsOffset, &cleared, sizeof cleared, &done);
  }
}

// Closes the handles a debug event hands to the debugger.
void CloseEventHandles(const DEBUG_EVENT& event) {
  if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && event.u.CreateProcessInfo.hFile)
    CloseHandle(event.u.CreateProcessInfo.hFile);
  if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && event.u.LoadDll.hFile)
    CloseHandle(event.u.LoadDll.hFile);
}

DWORD Run(wchar_t* commandLine) {
  static wchar_t extension[MAX_PATH + 1];
  Target target = {};
  target.extension = ReadExtensionPath(extension, MAX_PATH + 1) ? extension : nullptr;

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  PROCESS_INFORMATION created = {};
  // Without an application name CreateProcess finds Task Manager as Windows
  // found it from the same command line.
  if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                      nullptr, &startup, &created))
    return GetLastError();
  target.process = created.hProcess;
  target.thread = created.hThread;
  target.threadId = created.dwThreadId;

  // Windows XP can let a debugged process go on alone; Windows 2000 cannot,
  // and there the loop runs until Task Manager exits.
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  DetachFunction detach = Bind<DetachFunction>(kernel, "DebugActiveProcessStop");
  KillOnExitFunction killOnExit = Bind<KillOnExitFunction>(kernel, "DebugSetProcessKillOnExit");
  // The loader's own end must not end Task Manager.
  if (killOnExit) killOnExit(FALSE);

  Session session;
  bool detached = false;
  for (;;) {
    DEBUG_EVENT event;
    if (!WaitForDebugEvent(&event, INFINITE)) break;
    Session::Step step = Session::Step::kContinue;
    bool ours = event.dwProcessId == created.dwProcessId;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        step = session.OnCreateProcess(
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event.u.CreateProcessInfo.lpStartAddress)));
        break;
      case EXCEPTION_DEBUG_EVENT: {
        const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
        step = session.OnException(
            record.ExceptionCode, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record.ExceptionAddress)),
            event.u.Exception.dwFirstChance != 0);
        // Only the main thread runs through the entry point.
        if (step == Session::Step::kMapExtension && event.dwThreadId != target.threadId)
          step = Session::Step::kContinue;
        break;
      }
      case EXIT_PROCESS_DEBUG_EVENT:
        step = session.OnExitProcess(event.u.ExitProcess.dwExitCode);
        break;
      default:
        step = session.OnOther();
        break;
    }
    if (ours && event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) StartWithoutDebugHeap(target.process);
    if (ours && step == Session::Step::kArmEntry &&
        !ArmEntry(target, static_cast<uint32_t>(
                              reinterpret_cast<uintptr_t>(event.u.CreateProcessInfo.lpStartAddress))))
      session.OnArmFailed();
    if (ours && step == Session::Step::kMapExtension)
      MapExtension(target, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(
                               event.u.Exception.ExceptionRecord.ExceptionAddress)));
    CloseEventHandles(event);
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, session.Status());
    if (step == Session::Step::kExited) return session.ExitCode();
    if (session.Done() && detach && detach(created.dwProcessId)) {
      detached = true;
      break;
    }
  }
  DWORD exitCode = 0;
  if (detached) WaitForSingleObject(created.hProcess, INFINITE);
  if (!GetExitCodeProcess(created.hProcess, &exitCode)) exitCode = GetLastError();
  return exitCode;
}

}  // namespace

extern "C" void WINAPI VeskLoadEntry() {
  const char16_t* own = reinterpret_cast<const char16_t*>(GetCommandLineW());
  wchar_t* rest = const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(veskload::SkipFirstToken(own)));
  // Started without Task Manager's command line: nothing to start.
  ExitProcess(*rest ? Run(rest) : ERROR_BAD_ARGUMENTS);
}
