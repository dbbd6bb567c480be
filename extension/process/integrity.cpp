#include "process/integrity.h"

#include <mscat.h>
#include <softpub.h>
#include <wintrust.h>

#include <vector>

#include "common/module.h"
#include "common/image_path.h"
#include "common/system_library.h"
#include "common/text_format.h"
#include "host/settings.h"

namespace {

// The structure sizes of the trust functions as Windows XP defines them.
constexpr DWORD kTrustDataSize = 48;
constexpr DWORD kCatalogInfoSize = 36;
constexpr DWORD kFileInfoSize = 16;
static_assert(sizeof(WINTRUST_DATA) == kTrustDataSize, "WINTRUST_DATA as Windows XP has it");
static_assert(sizeof(WINTRUST_CATALOG_INFO) == kCatalogInfoSize,
              "WINTRUST_CATALOG_INFO as Windows XP has it");
static_assert(sizeof(WINTRUST_FILE_INFO) == kFileInfoSize, "WINTRUST_FILE_INFO as Windows XP has it");

// The lock's event is allocated up front (the high bit), so that neither the
// set-up nor a later EnterCriticalSection can fail for lack of memory.
constexpr DWORD kLockSpinCount = 0x80000000u | 4000u;

class LockGuard {
 public:
  explicit LockGuard(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
  ~LockGuard() { LeaveCriticalSection(&lock_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  CRITICAL_SECTION& lock_;
};

// Only a path in Win32 or NT device form names the image; "error#5", for
// one, would open a file of that name in the current directory.
HANDLE OpenImage(const std::wstring& path) {
  std::wstring name = OpenableImagePath(path);
  if (name.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

struct IntegrityCheck::TrustLibrary {
  HMODULE module = nullptr;
  BOOL(WINAPI* calcHashFromFileHandle)(HANDLE, DWORD*, BYTE*, DWORD) = nullptr;
  BOOL(WINAPI* acquireContext)(HCATADMIN*, const GUID*, DWORD) = nullptr;
  BOOL(WINAPI* releaseContext)(HCATADMIN, DWORD) = nullptr;
  BOOL(WINAPI* releaseCatalogContext)(HCATADMIN, HCATINFO, DWORD) = nullptr;
  HCATINFO(WINAPI* enumCatalogFromHash)(HCATADMIN, BYTE*, DWORD, DWORD, HCATINFO*) = nullptr;
  BOOL(WINAPI* catalogInfoFromContext)(HCATINFO, CATALOG_INFO*, DWORD) = nullptr;
  LONG(WINAPI* winVerifyTrust)(HWND, GUID*, LPVOID) = nullptr;

  template <typename Function>
  bool Bind(Function& function, const char* name) {
    FARPROC address = GetProcAddress(module, name);
    function = address ? FunctionCast<Function>(address) : nullptr;
    return function != nullptr;
  }

  // The file's hash as the catalogs index it; false when it cannot be had.
  bool Hash(HANDLE file, std::vector<BYTE>& hash) const {
    DWORD size = 0;
    if (!calcHashFromFileHandle(file, &size, nullptr, 0) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return false;
    if (size == 0) return false;
    hash.resize(size);
    if (!calcHashFromFileHandle(file, &size, hash.data(), 0) || size == 0 || size > hash.size()) return false;
    hash.resize(size);
    return true;
  }

  // WinVerifyTrust with the generic Authenticode policy and no user
  // interface; true when it accepts the subject.
  bool Verify(DWORD choice, void* subject, HANDLE file) const {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_DATA data = {};
    data.cbStruct = kTrustDataSize;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = choice;
    data.pFile = static_cast<WINTRUST_FILE_INFO*>(subject);
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    // The hash was read through the same handle.
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    return winVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data) == 0;
  }
};

std::shared_ptr<IntegrityCheck> IntegrityCheck::Create(std::shared_ptr<const ProcessInformation> information,
                                                       HWND notifyWindow, UINT verdictMessage) {
  std::shared_ptr<IntegrityCheck> check(new IntegrityCheck);
  if (!InitializeCriticalSectionAndSpinCount(&check->lock_, kLockSpinCount)) return nullptr;
  check->lockReady_ = true;
  check->self_ = check;
  check->information_ = std::move(information);
  check->notifyWindow_ = notifyWindow;
  check->verdictMessage_ = verdictMessage;
  // The idle process, System (4 on XP, 8 on Windows 2000) and the
  // pseudo-process 16 have no image file to check.
  for (DWORD id : {0u, 4u, 8u, 16u}) check->states_[id] = IntegrityState::Valid;
  return check;
}

IntegrityCheck::~IntegrityCheck() {
  // The last owner is the hub at shutdown or a worker that has finished.
  if (workerThread_) CloseHandle(workerThread_);
  if (trust_) FreeLibrary(trust_->module);
  if (lockReady_) DeleteCriticalSection(&lock_);
}

void IntegrityCheck::LoadTrustLibrary() {
  if (Trust()) return;
  auto library = std::make_unique<TrustLibrary>();
  library->module = LoadSystemLibrary(L"wintrust.dll");
  if (!library->module) return;
  bool bound = library->Bind(library->calcHashFromFileHandle, "CryptCATAdminCalcHashFromFileHandle") &&
               library->Bind(library->acquireContext, "CryptCATAdminAcquireContext") &&
               library->Bind(library->releaseContext, "CryptCATAdminReleaseContext") &&
               library->Bind(library->releaseCatalogContext, "CryptCATAdminReleaseCatalogContext") &&
               library->Bind(library->enumCatalogFromHash, "CryptCATAdminEnumCatalogFromHash") &&
               library->Bind(library->catalogInfoFromContext, "CryptCATCatalogInfoFromContext") &&
               library->Bind(library->winVerifyTrust, "WinVerifyTrust");
  {
    LockGuard guard(lock_);
    if (bound && !trust_) trust_ = std::move(library);
  }
  // Not bound, or another thread was first; never under our lock, which
  // would then be held while the loader's is taken.
  if (library) FreeLibrary(library->module);
}

const IntegrityCheck::TrustLibrary* IntegrityCheck::Trust() {
  // Once bound, the functions stay until the last owner is gone.
  LockGuard guard(lock_);
  return trust_.get();
}

IntegrityState IntegrityCheck::StateOf(DWORD processId) {
  LockGuard guard(lock_);
  auto found = states_.find(processId);
  return found == states_.end() ? IntegrityState::Unchecked : found->second;
}

void IntegrityCheck::ApplyColour(NMLVCUSTOMDRAW& draw, DWORD processId) {
  LockGuard guard(lock_);
  auto found = states_.find(processId);
  if (found == states_.end()) {
    if (stopRequested_) return;
    // Queued first: should marking it pending fail, it is queued again later.
    queue_.push_back(processId);
    states_[processId] = IntegrityState::Pending;
    if (!workerRunning_) workerRunning_ = StartWorkerLocked();
    return;
  }
  if (found->second == IntegrityState::Valid) draw.clrTextBk = kValidColour;
  if (found->second == IntegrityState::Invalid) draw.clrTextBk = kInvalidColour;
}

bool IntegrityCheck::StartWorkerLocked() {
  auto* owner = new std::shared_ptr<IntegrityCheck>(self_.lock());
  // The worker holds the library too, so that its code stays mapped until it
  // has left it.
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&WorkerMain),
                          &module)) {
    delete owner;
    return false;
  }
  HANDLE thread = CreateThread(nullptr, 0, &WorkerMain, owner, 0, nullptr);
  if (!thread) {
    FreeLibrary(module);
    delete owner;
    return false;
  }
  if (workerThread_) CloseHandle(workerThread_);
  workerThread_ = thread;
  return true;
}

DWORD WINAPI IntegrityCheck::WorkerMain(void* parameter) {
  auto* owner = static_cast<std::shared_ptr<IntegrityCheck>*>(parameter);
  (*owner)->RunWorker();
  delete owner;
  FreeLibraryAndExitThread(ExtensionModule(), 0);
}

void IntegrityCheck::RunWorker() {
  HANDLE self = GetCurrentThread();
  const TrustLibrary* trust = nullptr;
  HCATADMIN admin = nullptr;
  DWORD checking = 0;
  bool inCheck = false;
  try {
    LoadTrustLibrary();
    trust = Trust();
    if (trust && !trust->acquireContext(&admin, nullptr, 0)) admin = nullptr;
    for (;;) {
      {
        LockGuard guard(lock_);
        // The mark is cleared with the queue seen empty, so that a process
        // queued right after finds no worker and starts one.
        if (!trust || stopRequested_ || queue_.empty()) {
          workerRunning_ = false;
          break;
        }
        checking = queue_.front();
        queue_.pop_front();
        inCheck = true;
      }
      // Only the check itself runs at idle priority: a worker starved while it
      // held the lock would hold up painting.
      SetThreadPriority(self, THREAD_PRIORITY_IDLE);
      IntegrityState state = CheckImage(checking, *trust, admin);
      SetThreadPriority(self, THREAD_PRIORITY_NORMAL);
      {
        LockGuard guard(lock_);
        states_[checking] = state;
        inCheck = false;
      }
      // Never waits for the user-interface thread, which may be waiting for us.
      PostMessageW(notifyWindow_, verdictMessage_, checking, 0);
    }
  } catch (...) {
    // Out of memory. The process being checked is forgotten, so that its next
    // painting queues it again; those still queued wait for the next worker.
    SetThreadPriority(self, THREAD_PRIORITY_NORMAL);
    LockGuard guard(lock_);
    if (inCheck) states_.erase(checking);
    workerRunning_ = false;
  }
  if (admin) trust->releaseContext(admin, 0);
}

IntegrityState IntegrityCheck::CheckImage(DWORD processId, const TrustLibrary& trust, void* catalogAdmin) {
  std::wstring path = information_->ImagePath(processId);
  if (path.empty()) return IntegrityState::Pending;
  if (validPaths_.count(path)) return IntegrityState::Valid;
  if (invalidPaths_.count(path)) return IntegrityState::Invalid;
  bool valid = false;
  HANDLE file = OpenImage(path);
  if (file != INVALID_HANDLE_VALUE) {
    valid = Verify(trust, catalogAdmin, path, file);
    CloseHandle(file);
  }
  (valid ? validPaths_ : invalidPaths_).insert(path);
  return valid ? IntegrityState::Valid : IntegrityState::Invalid;
}

bool IntegrityCheck::Verify(const TrustLibrary& trust, void* catalogAdmin, const std::wstring& path,
                            HANDLE file) {
  std::vector<BYTE> hash;
  if (!trust.Hash(file, hash)) return false;
  // The hash's text is both the catalog member tag and what a stored hash is
  // compared with.
  std::wstring tag = UpperHex(hash.data(), hash.size());
  bool valid = false;
  if (catalogAdmin) {
    HCATINFO catalog = trust.enumCatalogFromHash(catalogAdmin, hash.data(), DWORD(hash.size()), 0, nullptr);
    if (catalog) {
      CATALOG_INFO info = {};
      info.cbStruct = sizeof info;
      if (trust.catalogInfoFromContext(catalog, &info, 0)) {
        WINTRUST_CATALOG_INFO member = {};
        member.cbStruct = kCatalogInfoSize;
        member.pcwszCatalogFilePath = info.wszCatalogFile;
        member.pcwszMemberTag = tag.c_str();
        member.pcwszMemberFilePath = path.c_str();
        member.hMemberFile = file;
        member.pbCalculatedFileHash = hash.data();
        member.cbCalculatedFileHash = DWORD(hash.size());
        valid = trust.Verify(WTD_CHOICE_CATALOG, &member, file);
      }
      trust.releaseCatalogContext(catalogAdmin, catalog, 0);
    } else {
      WINTRUST_FILE_INFO subject = {kFileInfoSize, path.c_str(), file, nullptr};
      valid = trust.Verify(WTD_CHOICE_FILE, &subject, file);
    }
  }
  return valid || EqualIgnoringAsciiCase(settings::ReadTrustedHash(path), tag);
}

void IntegrityCheck::TreatAsValid(const ProcessIdentity& process) {
  HANDLE file = OpenImage(information_->ImagePath(process.processId));
  {
    LockGuard guard(lock_);
    states_[process.processId] = IntegrityState::Valid;
  }
  if (file == INVALID_HANDLE_VALUE) return;
  LoadTrustLibrary();
  std::vector<BYTE> hash;
  if (const TrustLibrary* trust = Trust(); trust && trust->Hash(file, hash))
    settings::StoreTrustedHash(process.imageName, hash.data(), hash.size());
  CloseHandle(file);
}

void IntegrityCheck::Stop(DWORD milliseconds) {
  HANDLE thread = nullptr;
  {
    LockGuard guard(lock_);
    stopRequested_ = true;
    queue_.clear();
    thread = workerThread_;
  }
  // A worker in the middle of a slow check is not waited for longer: it
  // finishes on its own and the last owner cleans up.
  if (thread) WaitForSingleObject(thread, milliseconds);
}
