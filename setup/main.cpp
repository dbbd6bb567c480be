// vesksetup: installs Vesk's pieces from the folder it sits in into the
// running Windows, or removes them again. Every step is reported on one line;
// a failed step says why in the system's own words.
#include <windows.h>

#include "install_layout.h"
#include "service_identity.h"
#include "setup_rules.h"

namespace {

using namespace vesk::setup;

constexpr int kPathSize = 600;
constexpr int kLineSize = 1200;
constexpr DWORD kStopWaitMs = 15000;
const wchar_t kDriverService[] = L"vesk";
const wchar_t kDriverGroup[] = L"PNP_TDI";
// In the kernel's own form: Windows also takes a path relative to the system
// root, Wine's kernel only this one.
const wchar_t kDriverImagePath[] = L"\\SystemRoot\\system32\\drivers\\vesk.sys";
const wchar_t kDriverKey[] = L"System\\CurrentControlSet\\Services\\vesk";
const wchar_t kTcpipKey[] = L"System\\CurrentControlSet\\Services\\tcpip";
const wchar_t kGroupOrderKey[] = L"System\\CurrentControlSet\\Control\\GroupOrderList";
const wchar_t kSettingsFile[] = L"vesk.ini";
const wchar_t kSessionManagerKey[] = L"System\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingRenames[] = L"PendingFileRenameOperations";

struct Path {
  wchar_t text[kPathSize];
};

bool g_failed = false;
// Set when a piece can only go when Windows restarts.
bool g_restartNeeded = false;
Path g_source;   // the folder of vesksetup.exe, with a trailing backslash
Path g_system;   // the system directory, with a trailing backslash
Path g_drivers;  // its drivers folder, with a trailing backslash
Path g_windows;  // the Windows directory, with a trailing backslash

// Appends `text` to `path`; false (and `path` unchanged) when it does not fit.
bool Append(Path& path, const wchar_t* text) {
  int length = lstrlenW(path.text);
  int extra = lstrlenW(text);
  if (length + extra >= kPathSize) return false;
  for (int i = 0; i <= extra; ++i) path.text[length + i] = text[i];
  return true;
}

bool MakePath(Path& path, const Path& folder, const wchar_t* name) {
  path.text[0] = 0;
  return Append(path, folder.text) && Append(path, name);
}

// One line of the report, cut short rather than overrun.
class Line {
 public:
  Line& operator<<(const wchar_t* text) {
    while (*text != 0 && length_ < kLineSize - 1) text_[length_++] = *text++;
    text_[length_] = 0;
    return *this;
  }
  Line& operator<<(DWORD number) {
    wchar_t digits[12];
    int count = 0;
    do {
      digits[count++] = wchar_t(L'0' + number % 10);
      number /= 10;
    } while (number != 0);
    wchar_t text[12];
    for (int i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
    text[count] = 0;
    return *this << text;
  }
  // ": <the system's text for error> (error N)."
  Line& Error(DWORD error) {
    *this << L": ";
    DWORD room = DWORD(kLineSize - 1 - length_);
    DWORD got = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                               text_ + length_, room, nullptr);
    if (got != 0 && got < room) {
      length_ += int(got);
      while (length_ > 0 && (text_[length_ - 1] == L'\r' || text_[length_ - 1] == L'\n' ||
                             text_[length_ - 1] == L' ' || text_[length_ - 1] == L'.'))
        --length_;
      text_[length_] = 0;
      *this << L" ";
    }
    return *this << L"(error " << error << L").";
  }
  void Print() {
    *this << L"\r\n";
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
      WriteConsoleW(out, text_, DWORD(length_), &written, nullptr);
      return;
    }
    static char bytes[kLineSize * 2];
    int count = WideCharToMultiByte(CP_OEMCP, 0, text_, length_, bytes, sizeof bytes, nullptr, nullptr);
    if (count > 0) WriteFile(out, bytes, DWORD(count), &written, nullptr);
  }

 private:
  wchar_t text_[kLineSize];
  int length_ = 0;
};

void Say(const wchar_t* a, const wchar_t* b = L"", const wchar_t* c = L"", const wchar_t* d = L"",
         const wchar_t* e = L"") {
  Line line;
  (line << a << b << c << d << e).Print();
}

// Reports a failed step with the system's text for `error`; returns false.
bool Failed(DWORD error, const wchar_t* a, const wchar_t* b = L"", const wchar_t* c = L"",
            const wchar_t* d = L"") {
  Line line;
  (line << a << b << c << d).Error(error).Print();
  g_failed = true;
  return false;
}

bool Exists(const Path& path) { return GetFileAttributesW(path.text) != INVALID_FILE_ATTRIBUTES; }

// The name a piece is staged under when its place is in use: the copy takes
// that place when Windows restarts.
bool StagedPath(Path& staged, const Path& target) {
  staged.text[0] = 0;
  return Append(staged, target.text) && Append(staged, L".new");
}

// Whether two files hold the same bytes; false when either cannot be read.
bool SameContents(const Path& a, const Path& b) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE first = CreateFileW(a.text, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE second = CreateFileW(b.text, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
  bool same = first != INVALID_HANDLE_VALUE && second != INVALID_HANDLE_VALUE &&
              GetFileSize(first, nullptr) == GetFileSize(second, nullptr);
  static BYTE left[4096], right[4096];
  while (same) {
    DWORD gotLeft = 0, gotRight = 0;
    if (!ReadFile(first, left, sizeof left, &gotLeft, nullptr) ||
        !ReadFile(second, right, sizeof right, &gotRight, nullptr) || gotLeft != gotRight) {
      same = false;
      break;
    }
    if (gotLeft == 0) break;
    for (DWORD i = 0; i < gotLeft && same; ++i) same = left[i] == right[i];
  }
  if (first != INVALID_HANDLE_VALUE) CloseHandle(first);
  if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
  return same;
}

// Whether an earlier uninstall left `path` to be deleted when Windows
// restarts: a pair of "PendingFileRenameOperations" with `path` as its source
// (in the form \??\C:\...) and no destination. The value is walked by its
// length, in pairs, since a delete's empty destination is a string of its
// own. A value too large to read counts as holding the delete.
bool DeletePending(const Path& path) {
  static wchar_t pending[32768 + 2];
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return false;
  DWORD type = 0;
  DWORD size = sizeof pending - 2 * sizeof(wchar_t);
  LONG status =
      RegQueryValueExW(key, kPendingRenames, nullptr, &type, reinterpret_cast<BYTE*>(pending), &size);
  RegCloseKey(key);
  if (status == ERROR_MORE_DATA) return true;
  if (status != ERROR_SUCCESS || type != REG_MULTI_SZ) return false;
  DWORD count = size / sizeof(wchar_t);
  // Two terminators past the end, so that the last strings end within the buffer.
  pending[count] = pending[count + 1] = 0;
  for (DWORD at = 0; at < count;) {
    const wchar_t* source = pending + at;
    at += DWORD(lstrlenW(source)) + 1;
    const wchar_t* destination = pending + at;
    at += DWORD(lstrlenW(destination)) + 1;
    bool ntForm = source[0] == L'\\' && source[1] == L'?' && source[2] == L'?' && source[3] == L'\\';
    if (ntForm && destination[0] == 0 && lstrcmpiW(source + 4, path.text) == 0) return true;
  }
  return false;
}

// Where CopyPiece left a piece.
enum class Placed { Failed, Copied, Kept, Staged };

// Copies `name` from the source folder to `target`. A target in use (the
// loaded driver, the extension inside a running Task Manager) that already
// holds these bytes stays, unless an earlier uninstall left it to be deleted
// at the restart; otherwise the copy is staged beside it and takes its place
// when Windows restarts.
Placed CopyPiece(const wchar_t* name, const Path& target) {
  Path source, staged;
  if (!MakePath(source, g_source, name) || !StagedPath(staged, target)) {
    Failed(ERROR_FILENAME_EXCED_RANGE, L"Could not copy ", name);
    return Placed::Failed;
  }
  if (CopyFileW(source.text, target.text, FALSE)) {
    // An earlier install's staged copy would replace this one at the restart.
    DeleteFileW(staged.text);
    Say(L"Copied ", name, L" to ", target.text);
    return Placed::Copied;
  }
  DWORD error = GetLastError();
  if (error != ERROR_SHARING_VIOLATION && error != ERROR_USER_MAPPED_FILE) {
    Failed(error, L"Could not copy ", source.text, L" to ", target.text);
    return Placed::Failed;
  }
  if (!DeletePending(target) && SameContents(source, target)) {
    DeleteFileW(staged.text);
    Say(target.text, L" is in use and already holds this version: it stays.");
    return Placed::Kept;
  }
  // After a pending delete of the target, this rename comes later in the
  // list, so the copy is what remains.
  if (!CopyFileW(source.text, staged.text, FALSE)) {
    Failed(GetLastError(), L"Could not copy ", source.text, L" to ", staged.text);
    return Placed::Failed;
  }
  if (!MoveFileExW(staged.text, target.text, MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING)) {
    Failed(GetLastError(), L"Could not arrange to replace ", target.text, L" when Windows restarts");
    DeleteFileW(staged.text);
    return Placed::Failed;
  }
  Say(target.text, L" is in use: this install's ", name, L" takes its place when Windows restarts.");
  g_restartNeeded = true;
  return Placed::Staged;
}

// Deletes a file of ours; one that is in use is deleted at the next boot.
void RemoveFile(const Path& path) {
  if (DeleteFileW(path.text)) {
    Say(L"Deleted ", path.text);
    return;
  }
  DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    Say(path.text, L" was not there.");
    return;
  }
  if (MoveFileExW(path.text, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
    Say(path.text, L" is in use: it is deleted when Windows restarts.");
    g_restartNeeded = true;
  } else
    Failed(GetLastError(), L"Could not delete ", path.text);
}

// Deletes the copy of a piece that an install staged for the next boot,
// which would otherwise bring the piece back then.
void RemoveStagedCopy(const Path& path) {
  Path staged;
  if (StagedPath(staged, path) && DeleteFileW(staged.text)) Say(L"Deleted ", staged.text);
}

// Deletes one of the pieces install copies.
void RemovePiece(const Path& path) {
  RemoveStagedCopy(path);
  RemoveFile(path);
}

// The registry helpers, on HKEY_LOCAL_MACHINE.

// A string value: absent (its key too), read whole into `value`, or
// something else there that `value` does not hold.
StringValue ReadString(const wchar_t* keyName, const wchar_t* valueName, Path& value) {
  value.text[0] = 0;
  HKEY key;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) return ClassifyStringValue(status, 0);
  DWORD type = 0;
  DWORD size = sizeof value.text - sizeof(wchar_t);
  status = RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(value.text), &size);
  RegCloseKey(key);
  StringValue read = ClassifyStringValue(status, type);
  value.text[read == StringValue::Read ? size / sizeof(wchar_t) : 0] = 0;
  return read;
}

bool WriteString(const wchar_t* keyName, const wchar_t* valueName, const wchar_t* text) {
  HKEY key;
  LONG status =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                            DWORD(lstrlenW(text) + 1) * sizeof(wchar_t));
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) return Failed(DWORD(status), L"Could not write HKLM\\", keyName, L" value ");
  Say(L"Set HKLM\\", keyName, L" value ", valueName);
  return true;
}

void DeleteValue(const wchar_t* keyName, const wchar_t* valueName) {
  HKEY key;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, KEY_SET_VALUE, &key);
  if (status == ERROR_SUCCESS) {
    status = RegDeleteValueW(key, valueName);
    RegCloseKey(key);
  }
  if (status == ERROR_SUCCESS)
    Say(L"Removed HKLM\\", keyName, L" value ", valueName);
  else if (status == ERROR_FILE_NOT_FOUND)
    Say(L"HKLM\\", keyName, L" value ", valueName, L" was not there.");
  else
    Failed(DWORD(status), L"Could not remove HKLM\\", keyName, L" value ");
}

bool ReadDword(const wchar_t* keyName, const wchar_t* valueName, DWORD& value) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  DWORD size = sizeof value;
  LONG status = RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value;
}

LONG WriteDword(const wchar_t* keyName, const wchar_t* valueName, DWORD value) {
  HKEY key;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
  return status;
}

// Whether the value exists, of whatever type and size.
bool ValuePresent(const wchar_t* keyName, const wchar_t* valueName) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  LONG status = RegQueryValueExW(key, valueName, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return status != ERROR_FILE_NOT_FOUND;
}

// The service control manager's handles, closed on every path.
class Service {
 public:
  explicit Service(SC_HANDLE handle) : handle_(handle) {}
  ~Service() {
    if (handle_) CloseServiceHandle(handle_);
  }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

struct ServiceConfig {
  const wchar_t* name;
  const wchar_t* displayName;
  DWORD type;
  DWORD startType;
  const wchar_t* group;
  const wchar_t* imagePath;
};

// Creates the service, or sets the configuration of one that exists already.
// A service in a group gets its load-order tag from the service control
// manager, unique within the group ("Tag" of the service's key); an existing
// service keeps the tag it has.
SC_HANDLE EnsureService(SC_HANDLE manager, const ServiceConfig& config) {
  DWORD tag = 0;
  SC_HANDLE service = CreateServiceW(manager, config.name, config.displayName, SERVICE_ALL_ACCESS,
                                     config.type, config.startType, SERVICE_ERROR_NORMAL, config.imagePath,
                                     config.group, config.group ? &tag : nullptr, nullptr, nullptr, nullptr);
  if (service) {
    Say(L"Created the service ", config.name);
    return service;
  }
  DWORD error = GetLastError();
  if (error == ERROR_SERVICE_EXISTS) {
    service = OpenServiceW(manager, config.name, SERVICE_ALL_ACCESS);
    if (service && ChangeServiceConfigW(service, config.type, config.startType, SERVICE_ERROR_NORMAL,
                                        config.imagePath, config.group ? config.group : L"", nullptr, nullptr,
                                        nullptr, nullptr, config.displayName)) {
      Say(L"The service ", config.name, L" existed: its configuration is set again.");
      return service;
    }
    error = GetLastError();
    if (service) CloseServiceHandle(service);
  }
  Failed(error, L"Could not create the service ", config.name);
  if (error == ERROR_SERVICE_MARKED_FOR_DELETE)
    Say(L"  An earlier uninstall left it to be removed at the next boot: restart Windows, then install "
        L"again.");
  return nullptr;
}

// Asks a running service to stop and waits for it. Returns whether it may
// still be running (or loaded); `refusalFails` makes that a failed step.
bool StopService(SC_HANDLE service, const wchar_t* name, bool refusalFails) {
  SERVICE_STATUS status;
  bool requested = ControlService(service, SERVICE_CONTROL_STOP, &status) != 0;
  DWORD error = requested ? ERROR_SUCCESS : GetLastError();
  if (requested) {
    for (DWORD waited = 0; status.dwCurrentState != SERVICE_STOPPED && waited < kStopWaitMs; waited += 200) {
      Sleep(200);
      if (!QueryServiceStatus(service, &status)) break;
    }
  }
  bool stillRunning = DriverStillLoaded(requested, error, requested ? status.dwCurrentState : 0);
  if (!stillRunning) {
    Say(requested ? L"Stopped the service " : L"The service was not running: ", name);
    return false;
  }
  Line line;
  line << L"The service " << name;
  if (requested)
    line << L" did not stop in time.";
  else
    line.Error(error);
  line.Print();
  if (refusalFails) g_failed = true;
  return true;
}

// Deletes the service if it exists, stopping it first unless `stopFirst` is
// false; then `running` is what the caller's own stop found.
void RemoveService(SC_HANDLE manager, const wchar_t* name, bool stopFirst, bool running) {
  Service service(OpenServiceW(manager, name, SERVICE_ALL_ACCESS));
  if (!service.get()) {
    DWORD error = GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST)
      Say(L"The service ", name, L" was not installed.");
    else
      Failed(error, L"Could not open the service ", name);
    return;
  }
  if (stopFirst) running = StopService(service.get(), name, false);
  if (running) {
    g_restartNeeded = true;
    // Windows loads its system-start drivers before it deletes a service
    // marked for deletion: only a disabled one stays unloaded at that boot.
    if (ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
      Say(L"The service ", name, L" is disabled: it does not start again.");
    else
      Failed(GetLastError(), L"Could not disable the service ", name);
  }
  if (DeleteService(service.get()))
    Say(running ? L"The service is removed when Windows restarts: " : L"Deleted the service ", name);
  else if (GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE)
    Say(L"The service ", name, L" is already marked to be removed when Windows restarts.");
  else
    Failed(GetLastError(), L"Could not delete the service ", name);
}

bool StartService(SC_HANDLE service, const wchar_t* name) {
  if (StartServiceW(service, 0, nullptr)) {
    Say(L"Started the service ", name);
    return true;
  }
  DWORD error = GetLastError();
  if (error == ERROR_SERVICE_ALREADY_RUNNING) {
    Say(L"The service ", name, L" is running already.");
    return true;
  }
  return Failed(error, L"Could not start the service ", name);
}

tdiorder::OptionalTag ReadTag(const wchar_t* keyName) {
  DWORD tag = 0;
  return ReadDword(keyName, L"Tag", tag) ? tdiorder::OptionalTag{true, tag} : tdiorder::OptionalTag{false, 0};
}

// The PNP_TDI group order list: false when there is none; a value that is
// not REG_BINARY or does not fit comes back with length 0, which no list has.
bool ReadGroupOrder(tdiorder::GroupOrderValue& value) {
  value.length = 0;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGroupOrderKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return false;
  DWORD type = 0;
  DWORD size = sizeof value.bytes;
  LONG status = RegQueryValueExW(key, kDriverGroup, nullptr, &type, value.bytes, &size);
  RegCloseKey(key);
  if (status == ERROR_FILE_NOT_FOUND) return false;
  if (status == ERROR_SUCCESS && type == REG_BINARY) value.length = size;
  return true;
}

// What tdiorder left, read back: the driver loads right after tcpip, or
// somewhere tdiorder could not change, and what that means.
void ReportLoadOrder() {
  static tdiorder::GroupOrderValue list;
  bool listed = ReadGroupOrder(list);
  LoadOrder order = JudgeLoadOrder(listed ? &list : nullptr, ReadTag(kTcpipKey), ReadTag(kDriverKey));
  const wchar_t* why = L"";
  switch (order) {
    case LoadOrder::RightAfterTcpip:
      Say(L"Ran tdiorder.exe: the driver loads right after tcpip in the PNP_TDI group.");
      return;
    case LoadOrder::NoDriverTag:
      why =
          L"the driver has no load-order tag, so it loads after the drivers the PNP_TDI group order list "
          L"names.";
      break;
    case LoadOrder::NoList:
      why = L"there is no PNP_TDI group order list, so the drivers of the group load in no set order.";
      break;
    case LoadOrder::UnusableList:
      why =
          L"the PNP_TDI group order list is not a list of tags and is left as it is; the drivers of the "
          L"group load in no set order.";
      break;
    case LoadOrder::TcpipNotListed:
      why =
          L"tcpip's tag is not in the PNP_TDI group order list, which is left as it is: the driver loads "
          L"after the drivers the list names, as tcpip does, in no set order between the two.";
      break;
    case LoadOrder::BeforeTcpip:
      why = L"the driver's tag stands before tcpip's in the PNP_TDI group order list: it loads before tcpip.";
      break;
    case LoadOrder::NotPlaced:
      why =
          L"the driver's tag could not be placed right after tcpip's in the PNP_TDI group order list: it "
          L"loads after the drivers the list names.";
      break;
  }
  Say(L"Ran tdiorder.exe: ", why);
  Say(L"  The driver attaches only when tcpip is already loaded: if the TCP/IP page lacks its byte columns, "
      L"restart Windows.");
}

bool RunTdiOrder() {
  Path program;
  MakePath(program, g_source, L"tdiorder.exe");
  Path commandLine;
  commandLine.text[0] = 0;
  Append(commandLine, L"\"");
  Append(commandLine, program.text);
  Append(commandLine, L"\"");
  STARTUPINFOW startup;
  PROCESS_INFORMATION process;
  for (BYTE *p = reinterpret_cast<BYTE*>(&startup), *end = p + sizeof startup; p != end; ++p) *p = 0;
  startup.cb = sizeof startup;
  if (!CreateProcessW(program.text, commandLine.text, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return Failed(GetLastError(), L"Could not run ", program.text);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (exitCode != 0) {
    Line line;
    (line << L"tdiorder.exe ended with exit code " << exitCode << L".").Print();
    g_failed = true;
    return false;
  }
  ReportLoadOrder();
  return true;
}

// The Debugger value that registers the loader: the quoted path of its copy.
void LoaderCommand(Path& command) {
  command.text[0] = 0;
  Append(command, L"\"");
  Append(command, g_system.text);
  Append(command, kLoaderFile);
  Append(command, L"\"");
}

// Whose Task Manager Debugger value is there; `current` gets its text when
// it could be read.
DebuggerOwner DebuggerValueOwner(const Path& command, Path& current) {
  StringValue read = ReadString(kIfeoKey, kDebuggerValue, current);
  return OwnerOfDebugger(read, read == StringValue::Read && lstrcmpiW(current.text, command.text) == 0);
}

const wchar_t* DebuggerText(const Path& current) {
  return current.text[0] ? current.text : L"(a value setup does not read or write)";
}

void InstallLoader() {
  Path source, target, command, current;
  MakePath(source, g_source, kLoaderFile);
  if (!Exists(source)) {
    Say(kLoaderFile, L" is not in ", g_source.text);
    Say(L"  The loader is not installed: Task Manager starts without Vesk's pages.");
    g_failed = true;
    return;
  }
  LoaderCommand(command);
  if (DebuggerValueOwner(command, current) == DebuggerOwner::OtherProgram) {
    Say(L"Task Manager's Debugger value already starts another program: ", DebuggerText(current));
    Say(L"  It is left as it is, and the loader is not registered.");
    g_failed = true;
    return;
  }
  MakePath(target, g_system, kLoaderFile);
  if (CopyPiece(kLoaderFile, target) == Placed::Failed ||
      !WriteString(kIfeoKey, kDebuggerValue, command.text))
    return;
  // A process started by a debugger gets heap checking from ntdll unless its
  // image has flags of its own ("GlobalFlag" beside "Debugger"): with 0 there
  // Task Manager starts as Windows would start it without the loader. A
  // value that is there already is somebody's own and stays.
  if (ValuePresent(kIfeoKey, kGlobalFlagValue)) {
    Say(L"Task Manager's GlobalFlag value is there already and is left as it is.");
  } else if (LONG status = WriteDword(kIfeoKey, kGlobalFlagValue, 0); status == ERROR_SUCCESS) {
    Say(L"Set HKLM\\", kIfeoKey, L" value ", kGlobalFlagValue, L" (0: no debug heap for Task Manager)");
  } else {
    Failed(DWORD(status), L"Could not write HKLM\\", kIfeoKey, L" value ", kGlobalFlagValue);
  }
}

void UninstallLoader() {
  Path command, current, target;
  LoaderCommand(command);
  if (DebuggerValueOwner(command, current) == DebuggerOwner::OtherProgram) {
    Say(L"Task Manager's Debugger value starts another program and is left as it is: ",
        DebuggerText(current));
  } else {
    DeleteValue(kIfeoKey, kDebuggerValue);
    // Setup's own GlobalFlag is the REG_DWORD 0 it wrote; any other is not.
    DWORD flags = 1;
    if (ReadDword(kIfeoKey, kGlobalFlagValue, flags) && flags == 0) DeleteValue(kIfeoKey, kGlobalFlagValue);
  }
  MakePath(target, g_system, kLoaderFile);
  RemovePiece(target);
}

void InstallConsumer(SC_HANDLE manager) {
  Path target, imagePath;
  MakePath(target, g_system, vesksvc::kImageName);
  // A running copy holds its file: stop it before the file is replaced.
  {
    Service existing(OpenServiceW(manager, vesksvc::kServiceName, SERVICE_ALL_ACCESS));
    if (existing.get() && StopService(existing.get(), vesksvc::kServiceName, true)) {
      Say(L"  ", vesksvc::kImageName, L" is not replaced while the service runs.");
      g_failed = true;
      return;
    }
  }
  if (CopyPiece(vesksvc::kImageName, target) == Placed::Failed) return;
  imagePath.text[0] = 0;
  Append(imagePath, L"\"");
  Append(imagePath, target.text);
  Append(imagePath, L"\"");
  ServiceConfig config = {
      vesksvc::kServiceName, vesksvc::kDisplayName, vesksvc::kServiceType, vesksvc::kStartType, nullptr,
      imagePath.text};
  Service service(EnsureService(manager, config));
  if (!service.get()) return;
  SERVICE_DESCRIPTIONW description = {const_cast<wchar_t*>(vesksvc::kDescription)};
  if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description))
    Failed(GetLastError(), L"Could not set the description of ", vesksvc::kServiceName);
  StartService(service.get(), vesksvc::kServiceName);
}

// Whether the driver's service is there and not stopped.
bool DriverRunning(SC_HANDLE manager) {
  Service driver(OpenServiceW(manager, kDriverService, SERVICE_QUERY_STATUS));
  SERVICE_STATUS status;
  return driver.get() && QueryServiceStatus(driver.get(), &status) &&
         status.dwCurrentState != SERVICE_STOPPED;
}

// Copies the driver's file. A running driver goes on running the bytes it
// was loaded from: the new ones run only after a restart, and a staged file
// only after the restart that puts it in place, since Windows loads the
// system's drivers before it carries out the pending renames.
bool InstallDriverFile(SC_HANDLE manager, const Path& driverFile) {
  Path source;
  MakePath(source, g_source, kDriverFile);
  bool earlierRunning = DriverRunning(manager) && !SameContents(source, driverFile);
  Placed placed = CopyPiece(kDriverFile, driverFile);
  if (placed == Placed::Staged)
    Say(L"  Windows loads its drivers before it replaces their files: the new driver runs from the second "
        L"restart on.");
  if (placed == Placed::Copied && earlierRunning) {
    Say(L"The driver running now is an earlier vesk.sys: the new one runs when Windows restarts.");
    g_restartNeeded = true;
  }
  return placed != Placed::Failed;
}

void Install(SC_HANDLE manager, ExtensionBuild build, bool startDriver) {
  Path driverFile, extensionFile;
  MakePath(driverFile, g_drivers, kDriverFile);
  if (!InstallDriverFile(manager, driverFile)) return;
  ServiceConfig driverConfig = {kDriverService,       kDriverService, SERVICE_KERNEL_DRIVER,
                                SERVICE_SYSTEM_START, kDriverGroup,   kDriverImagePath};
  // Under Wine, setting an existing service's configuration again removes
  // the "Tag" value that tdiorder stored; put it back so that tdiorder keeps
  // the driver's place instead of adding a second tag to the list.
  DWORD tag = 0;
  bool hadTag = ReadDword(kDriverKey, L"Tag", tag) && tag != 0;
  Service driver(EnsureService(manager, driverConfig));
  if (!driver.get()) return;
  DWORD tagNow = 0;
  if (hadTag && !(ReadDword(kDriverKey, L"Tag", tagNow) && tagNow == tag)) {
    LONG status = WriteDword(kDriverKey, L"Tag", tag);
    if (status != ERROR_SUCCESS) Failed(DWORD(status), L"Could not keep the driver's load-order tag");
  }
  RunTdiOrder();

  MakePath(extensionFile, g_system, kExtensionFile);
  if (CopyPiece(build == ExtensionBuild::Nt ? L"taskext_nt.dll" : L"taskext_xp.dll", extensionFile) !=
      Placed::Failed)
    WriteString(kExtensionKey, kExtensionValue, extensionFile.text);
  InstallLoader();
  InstallConsumer(manager);

  if (startDriver) {
    if (!StartService(driver.get(), kDriverService)) Say(L"  The driver starts when Windows restarts.");
  } else {
    Say(L"The driver is not started now (/nostart): it starts when Windows restarts.");
  }
}

// Takes the driver's tag out of the PNP_TDI list; `tag` was read before its
// service key went away.
void RemoveGroupOrderTag(bool haveTag, DWORD tag) {
  if (!haveTag) {
    Say(L"The driver has no load-order tag: the PNP_TDI group order list is left as it is.");
    return;
  }
  HKEY key;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGroupOrderKey, 0, KEY_READ | KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS) {
    if (status != ERROR_FILE_NOT_FOUND) Failed(DWORD(status), L"Could not open the group order list");
    return;
  }
  static tdiorder::GroupOrderValue value;
  DWORD type = 0;
  DWORD size = sizeof value.bytes;
  status = RegQueryValueExW(key, kDriverGroup, nullptr, &type, value.bytes, &size);
  value.length = size;
  if (status == ERROR_SUCCESS && type == REG_BINARY && RemoveTag(value, tag)) {
    status = RegSetValueExW(key, kDriverGroup, 0, REG_BINARY, value.bytes, value.length);
    if (status == ERROR_SUCCESS) {
      Line line;
      (line << L"Removed the driver's tag " << tag << L" from the PNP_TDI group order list.").Print();
    } else {
      Failed(DWORD(status), L"Could not write the PNP_TDI group order list");
    }
  } else if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
    Say(L"The driver's tag is not in the PNP_TDI group order list.");
  } else {
    Failed(DWORD(status), L"Could not read the PNP_TDI group order list");
  }
  RegCloseKey(key);
}

void Uninstall(SC_HANDLE manager, bool removeSettings) {
  Path file;
  // Read before the service key goes.
  DWORD tag = 0;
  bool haveTag = ReadDword(kDriverKey, L"Tag", tag) && tag != 0;
  bool driverLoaded = false;
  {
    Service driver(OpenServiceW(manager, kDriverService, SERVICE_ALL_ACCESS));
    if (driver.get()) driverLoaded = StopService(driver.get(), kDriverService, false);
  }

  RemoveService(manager, vesksvc::kServiceName, true, false);
  MakePath(file, g_system, vesksvc::kImageName);
  RemovePiece(file);
  UninstallLoader();
  DeleteValue(kExtensionKey, kExtensionValue);
  LONG status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kExtensionKey);
  if (status == ERROR_SUCCESS) Say(L"Removed HKLM\\", kExtensionKey);
  MakePath(file, g_system, kExtensionFile);
  RemovePiece(file);

  RemoveGroupOrderTag(haveTag, tag);
  RemoveService(manager, kDriverService, false, driverLoaded);
  MakePath(file, g_drivers, kDriverFile);
  RemoveStagedCopy(file);
  if (driverLoaded) {
    if (MoveFileExW(file.text, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
      Say(L"The driver cannot be unloaded now: it and ", file.text, L" are removed when Windows restarts.");
      g_restartNeeded = true;
    } else {
      Failed(GetLastError(), L"Could not arrange to delete ", file.text, L" when Windows restarts");
    }
  } else {
    RemoveFile(file);
  }
  if (removeSettings) {
    MakePath(file, g_windows, kSettingsFile);
    RemoveFile(file);
  } else {
    Say(L"The settings file vesk.ini is kept (uninstall /removeini deletes it).");
  }
}

void Usage() {
  Say(L"Installs or removes Vesk: its driver, the Task Manager extension, its loader and its service.");
  Say(L"");
  Say(L"vesksetup install [/nostart]");
  Say(L"  /nostart    do not start the driver now; it starts when Windows restarts.");
  Say(L"vesksetup uninstall [/removeini]");
  Say(L"  /removeini  delete the settings file vesk.ini too.");
  Say(L"");
  Say(L"The files are taken from the folder vesksetup.exe is in. Run it as an administrator.");
}

// Folder paths with a trailing backslash; false when one does not fit.
bool FindFolders() {
  DWORD length = GetModuleFileNameW(nullptr, g_source.text, kPathSize);
  if (length == 0 || length >= DWORD(kPathSize)) return false;
  while (length > 0 && g_source.text[length - 1] != L'\\') --length;
  g_source.text[length] = 0;
  UINT system = GetSystemDirectoryW(g_system.text, kPathSize - 20);
  UINT windows = GetWindowsDirectoryW(g_windows.text, kPathSize - 20);
  if (system == 0 || system >= UINT(kPathSize - 20) || windows == 0 || windows >= UINT(kPathSize - 20))
    return false;
  Append(g_system, L"\\");
  Append(g_windows, L"\\");
  return MakePath(g_drivers, g_system, L"drivers\\");
}

bool IsWow64() {
  // IsWow64Process came with Windows XP SP2; Windows 2000 has none and is 32-bit.
  typedef BOOL(WINAPI * IsWow64ProcessFunction)(HANDLE, PBOOL);
  auto isWow64Process = reinterpret_cast<IsWow64ProcessFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
  BOOL wow64 = FALSE;
  return isWow64Process && isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

int Run() {
  Options options = ParseArguments(SkipProgramName(GetCommandLineW()));
  if (options.command == Command::Help || options.command == Command::Invalid) {
    Usage();
    return options.command == Command::Help ? 0 : 2;
  }
  OSVERSIONINFOEXW version;
  for (BYTE *p = reinterpret_cast<BYTE*>(&version), *end = p + sizeof version; p != end; ++p) *p = 0;
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) {
    Failed(GetLastError(), L"Could not read the Windows version");
    return 1;
  }
  PlatformVerdict verdict = JudgePlatform(version.dwPlatformId, version.dwMajorVersion,
                                          version.dwMinorVersion, version.wServicePackMajor, IsWow64());
  if (verdict.platform != Platform::Supported) {
    Line line;
    line << L"Vesk runs on 32-bit Windows 2000 SP4, Windows XP and Windows Server 2003 only; this is Windows "
         << version.dwMajorVersion << L"." << version.dwMinorVersion << L" service pack "
         << DWORD(version.wServicePackMajor);
    line << (verdict.platform == Platform::SixtyFourBit ? L", 64-bit. Nothing was changed."
                                                        : L". Nothing was changed.");
    line.Print();
    return 1;
  }
  if (!FindFolders()) {
    Failed(ERROR_FILENAME_EXCED_RANGE, L"Could not find the folders");
    return 1;
  }
  Service manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager.get()) {
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED)
      Say(L"vesksetup needs administrator rights: run it from an administrator's account. Nothing was "
          L"changed.");
    else
      Failed(error, L"Could not open the service control manager");
    return 1;
  }
  if (options.command == Command::Install) {
    Install(manager.get(), verdict.build, options.startDriver);
    Say(g_failed ? L"Install is NOT complete: see the messages above."
        : g_restartNeeded
            ? L"Vesk is installed. Restart Windows to finish: some pieces take their place only "
              L"then."
            : L"Vesk is installed.");
  } else {
    Uninstall(manager.get(), options.removeSettings);
    Say(g_failed          ? L"Uninstall is NOT complete: see the messages above."
        : g_restartNeeded ? L"Vesk is uninstalled. Restart Windows to finish: some pieces go only then."
                          : L"Vesk is uninstalled.");
  }
  return g_failed ? 1 : 0;
}

}  // namespace

// The process entry point: the program links no C runtime.
extern "C" void WINAPI VeskSetupEntry() { ExitProcess(UINT(Run())); }
