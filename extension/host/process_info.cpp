#include "host/process_info.h"

#include <vector>

#include "common/system_library.h"
#include "shared/activity_protocol.h"

namespace {

constexpr size_t kPathCharacters = MAX_PATH;
constexpr DWORD kReplyBytes = kPathCharacters * sizeof(WCHAR);

using GetModuleFileNameExFunction = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
LateBoundFunction<GetModuleFileNameExFunction> getModuleFileNameEx(L"psapi.dll", "GetModuleFileNameExW");

// Never destroyed: the hub releases it at shutdown, and nothing of ours runs
// under the loader lock when the process ends.
std::shared_ptr<const ProcessInformation>& Published() {
  static auto* const published = new std::shared_ptr<const ProcessInformation>;
  return *published;
}

DeviceLetterMap BuildDeviceLetterMap() {
  DeviceLetterMap letters;
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    const WCHAR drive[] = {letter, L':', 0};
    WCHAR target[kPathCharacters];
    DWORD length = QueryDosDeviceW(drive, target, kPathCharacters);
    if (length == 0) continue;
    // The first name of the list, within what the call filled in.
    size_t end = 0;
    while (end < length && end < kPathCharacters && target[end]) ++end;
    letters[std::wstring(target, end)] = letter;
  }
  return letters;
}

// The expansion of a module path below "%SystemRoot%", cut to the limit when
// it would grow past it.
std::wstring Expand(const std::wstring& path) {
  std::vector<WCHAR> expanded(kPathCharacters);
  DWORD needed = ExpandEnvironmentStringsW(path.c_str(), expanded.data(), DWORD(expanded.size()));
  if (needed > expanded.size()) {
    expanded.resize(needed);
    needed = ExpandEnvironmentStringsW(path.c_str(), expanded.data(), DWORD(expanded.size()));
  }
  if (needed == 0 || needed > expanded.size()) return LimitImagePath(path);
  return LimitImagePath(std::wstring(expanded.data(), needed - 1));
}

std::wstring ModulePath(DWORD processId) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
  if (!process) return OpenFailureText(GetLastError());
  WCHAR buffer[kPathCharacters];
  DWORD length = 0;
  if (auto function = getModuleFileNameEx.Get()) length = function(process, nullptr, buffer, kPathCharacters);
  CloseHandle(process);
  // The length counts what was written; a cut path may lack its NUL.
  if (length > kPathCharacters) length = kPathCharacters;
  bool needsExpansion = false;
  std::wstring path = ModulePathForExpansion(std::wstring(buffer, length), needsExpansion);
  return needsExpansion ? Expand(path) : LimitImagePath(path);
}

}  // namespace

std::shared_ptr<const ProcessInformation> ProcessInformation::Create(HANDLE driver) {
  std::shared_ptr<ProcessInformation> information(new ProcessInformation);
  if (driver != INVALID_HANDLE_VALUE &&
      !DuplicateHandle(GetCurrentProcess(), driver, GetCurrentProcess(), &information->driver_, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    information->driver_ = INVALID_HANDLE_VALUE;
  information->letters_ = BuildDeviceLetterMap();
  return information;
}

ProcessInformation::~ProcessInformation() {
  if (driver_ != INVALID_HANDLE_VALUE) CloseHandle(driver_);
}

std::wstring ProcessInformation::PathFromDriver(DWORD processId) const {
  uint16_t reply[kPathCharacters] = {};
  DWORD returned = 0;
  if (!DeviceIoControl(driver_, IOCTL_QUERY_IMAGE_NAME, &processId, sizeof processId, reply, kReplyBytes,
                       &returned, nullptr))
    return {};
  return PathFromReply(reply, returned, kPathCharacters);
}

std::wstring ProcessInformation::ImagePath(DWORD processId) const {
  if (driver_ != INVALID_HANDLE_VALUE) {
    std::wstring ntPath = PathFromDriver(processId);
    if (!ntPath.empty()) return Win32PathFromNtPath(ntPath, letters_);
  }
  return ModulePath(processId);
}

void PublishProcessInformation(std::shared_ptr<const ProcessInformation> information) {
  Published() = std::move(information);
}

const std::shared_ptr<const ProcessInformation>& PublishedProcessInformation() { return Published(); }

std::wstring QueryProcessImagePath(DWORD processId) {
  if (const auto& information = Published()) return information->ImagePath(processId);
  return ModulePath(processId);
}

void QueryVersionStrings(const std::wstring& imagePath, std::wstring& description, std::wstring& version,
                         std::wstring& copyright) {
  // Only a path that names a file: the version functions look for a bare
  // name such as "error#5" in the current directory and along the library
  // search path, and would describe whatever file they found there.
  std::wstring file = OpenableImagePath(imagePath);
  if (file.empty()) return;
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return;
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return;
  const WORD* translation = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", (void**)&translation, &length) ||
      !translation || length < 2 * sizeof(WORD))
    return;
  std::wstring prefix = VersionStringPrefix(translation[0], translation[1]);
  auto query = [&](const wchar_t* name, std::wstring& out) {
    const WCHAR* text = nullptr;
    UINT characters = 0;
    if (!VerQueryValueW(block.data(), (prefix + name).c_str(), (void**)&text, &characters) || !text) return;
    // The count includes the NUL where there is one; never read past it.
    size_t end = 0;
    while (end < characters && text[end]) ++end;
    out.assign(text, end);
  };
  query(L"FileVersion", version);
  query(L"FileDescription", description);
  query(L"LegalCopyright", copyright);
}
