// The image integrity check of the Windows XP build inside the substitute
// Task Manager, on Wine's own trust functions: the background each row is
// painted with, as the process list's custom draw asks for it, and what
// "Treat as Valid" stores and shows.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>
#include <tlhelp32.h>
#include <mscat.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <vector>

#include <algorithm>
#include <memory>
#include <string>

#include "taskmgr_host.h"

namespace {

constexpr COLORREF kDefault = CLR_DEFAULT;
constexpr COLORREF kValid = 0xE0FFE0;
constexpr COLORREF kInvalid = 0xE0E0FF;
constexpr UINT kCheckIntegrity = 50103;
constexpr UINT kTreatAsValid = 50002;
const wchar_t kImages[] = L"C:\\vesk-integrity";

// A process record as Task Manager lays it out.
struct Record {
  char before[8];
  DWORD id;
  char between[124];
  const wchar_t* name;
};

// A copy of the idle child under another name, so that each test has images
// of its own; `extraBytes` of zeros after the image make it slow to hash.
std::wstring ImageCopy(const std::wstring& name, LONGLONG extraBytes = 0) {
  CreateDirectoryW(kImages, nullptr);
  std::wstring path = std::wstring(kImages) + L"\\" + name;
  EXPECT_TRUE(CopyFileW(HostPath("VESK_IDLE_CHILD").c_str(), path.c_str(), FALSE)) << GetLastError();
  if (extraBytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = extraBytes;
    SetFilePointerEx(file, end, nullptr, FILE_END);
    SetEndOfFile(file);
    CloseHandle(file);
  }
  return path;
}

// The image's hash as the catalogs index it, as upper-case text.
std::wstring CatalogHashText(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  BYTE hash[64];
  DWORD size = sizeof hash;
  BOOL computed = CryptCATAdminCalcHashFromFileHandle(file, &size, hash, 0);
  CloseHandle(file);
  EXPECT_TRUE(computed);
  std::wstring text;
  for (DWORD i = 0; computed && i < size; ++i) {
    wchar_t pair[3];
    swprintf(pair, 3, L"%02X", hash[i]);
    text += pair;
  }
  return text;
}

int ThreadsOfThisProcess() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  CloseHandle(snapshot);
  return count;
}

// Waits until the process has at most `threads` threads.
bool WorkersEnded(int threads, DWORD milliseconds) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < milliseconds; Sleep(100))
    if (ThreadsOfThisProcess() <= threads) return true;
  return ThreadsOfThisProcess() <= threads;
}

class Integrity : public testing::Test {
 protected:
  void TearDown() override { host.Stop(); }

  // The background the extension gives a row at its item pre-paint stage;
  // the stage must ask for the items to be announced.
  COLORREF Background(LPARAM record) {
    NMLVCUSTOMDRAW draw = {};
    draw.nmcd.hdr = {host.ProcessList(), 1009, UINT(NM_CUSTOMDRAW)};
    draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
    draw.nmcd.lItemlParam = record;
    draw.clrTextBk = kDefault;
    LRESULT result = SendMessageW(host.ProcessesPage(), WM_NOTIFY, 1009, reinterpret_cast<LPARAM>(&draw));
    EXPECT_EQ(result, CDRF_NOTIFYITEMDRAW);
    return draw.clrTextBk;
  }
  COLORREF BackgroundOfId(DWORD id) {
    Record record = {};
    record.id = id;
    record.name = L"pseudo";
    return Background(reinterpret_cast<LPARAM>(&record));
  }
  LPARAM RecordOf(const ChildProcess& child) {
    EXPECT_TRUE(host.RefreshUntil([&] { return host.RowOfProcess(child.Id()) >= 0; }));
    LPARAM record = 0;
    HWND list = host.ProcessList();
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = host.RowOfProcess(child.Id());
    SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    record = item.lParam;
    return record;
  }
  // Paints the child's row until it has a colour (the worker's verdict).
  COLORREF Verdict(const ChildProcess& child) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < 30000; Sleep(20)) {
      PumpMessages(host.Main());
      COLORREF colour = Background(RecordOf(child));
      if (colour == kDefault) continue;
      // The worker posts its news right after storing the verdict.
      Sleep(100);
      PumpMessages(host.Main());
      return colour;
    }
    return kDefault;
  }
  bool MenuHasTreatAsValid(const ChildProcess& child) {
    auto items = host.ProcessMenuItems(host.RowOfProcess(child.Id()));
    auto found = std::find_if(items.begin(), items.end(),
                              [](const auto& item) { return item.first == kTreatAsValid; });
    if (found == items.end()) return false;
    EXPECT_EQ(found->second, L"Treat as &Valid");
    return true;
  }

  TaskManagerHost host;
};

// Counts the LVM_REDRAWITEMS that a list gets for the rows of one process,
// as a subclass of the test.
class RedrawCounter {
 public:
  RedrawCounter(HWND list, DWORD processId) : list_(list), processId_(processId) {
    SetPropW(list, L"RedrawCounter", this);
    previous_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Procedure)));
  }
  ~RedrawCounter() {
    SetWindowLongPtrW(list_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
    RemovePropW(list_, L"RedrawCounter");
  }
  int Count() const { return count_; }

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<RedrawCounter*>(GetPropW(window, L"RedrawCounter"));
    if (message == LVM_REDRAWITEMS && wParam == WPARAM(lParam)) {
      LVITEMW item = {};
      item.mask = LVIF_PARAM;
      item.iItem = int(wParam);
      if (CallWindowProcW(self->previous_, window, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)) &&
          RecordProcessId(item.lParam) == self->processId_)
        ++self->count_;
    }
    return CallWindowProcW(self->previous_, window, message, wParam, lParam);
  }
  HWND list_;
  DWORD processId_;
  WNDPROC previous_ = nullptr;
  int count_ = 0;
};

TEST_F(Integrity, SystemIdsAreValidAtOnceAndAnUnsignedImageTurnsRedOnItsRow) {
  host.Start();
  for (DWORD id : {0u, 4u, 8u, 16u}) EXPECT_EQ(BackgroundOfId(id), kValid) << id;
  ChildProcess child(ImageCopy(L"unsigned_first.exe"));
  RedrawCounter redraws(host.ProcessList(), child.Id());
  EXPECT_EQ(Verdict(child), kInvalid);
  EXPECT_GE(redraws.Count(), 1) << "the verdict repaints the row";
  host.SelectRow(host.RowOfProcess(child.Id()));
  EXPECT_TRUE(MenuHasTreatAsValid(child));
}

TEST_F(Integrity, WithCheckIntegrityOffNothingIsQueuedAndKnownColoursComeBack) {
  host.Start();
  host.Command(host.Main(), kCheckIntegrity);
  ASSERT_EQ(IniValue(L"Vesk", L"CheckIntegrity"), L"0");
  EXPECT_EQ(BackgroundOfId(4), kDefault);
  // Its row appears and is painted while the check is off.
  ChildProcess child(ImageCopy(L"unsigned_off.exe"));
  LPARAM record = RecordOf(child);
  for (int i = 0; i < 20; ++i, Sleep(50)) {
    PumpMessages(host.Main());
    EXPECT_EQ(Background(record), kDefault);
  }
  host.Command(host.Main(), kCheckIntegrity);
  EXPECT_EQ(BackgroundOfId(4), kValid);
  // Never queued while off: this paint is the first to queue it.
  EXPECT_EQ(Background(RecordOf(child)), kDefault);
  EXPECT_EQ(Verdict(child), kInvalid);
  host.Command(host.Main(), kCheckIntegrity);
  EXPECT_EQ(Background(RecordOf(child)), kDefault);
}

TEST_F(Integrity, TreatAsValidStoresTheHashAndTurnsTheProcessGreenAtOnce) {
  std::wstring image = ImageCopy(L"unsigned_trusted.exe");
  auto first = std::make_unique<ChildProcess>(image);
  host.Start();
  ASSERT_EQ(Verdict(*first), kInvalid);
  host.SelectRow(host.RowOfProcess(first->Id()));
  {
    RedrawCounter redraws(host.ProcessList(), first->Id());
    host.Command(host.ProcessesPage(), kTreatAsValid);
    EXPECT_GE(redraws.Count(), 1) << "its row is repainted";
  }
  EXPECT_EQ(Background(RecordOf(*first)), kValid) << "green at once";
  EXPECT_FALSE(MenuHasTreatAsValid(*first));
  EXPECT_EQ(IniValue(L"unsigned_trusted.exe", L"Hash"), CatalogHashText(image));
  // Another process of the image in this run: judged by the image's verdict so far.
  ChildProcess second(image);
  EXPECT_EQ(Verdict(second), kInvalid);
}

// A fresh Task Manager (a new process) after "Treat as Valid": the stored
// hash, in either case, makes the image valid.
TEST_F(Integrity, AStoredHashMakesTheImageValidInTheNextRun) {
  std::wstring image = ImageCopy(L"unsigned_stored.exe");
  ClearSettings();
  std::wstring lower = CatalogHashText(image);
  std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
  WritePrivateProfileStringW(L"unsigned_stored.exe", L"Hash", lower.c_str(), L"vesk.ini");
  ChildProcess child(image);
  host.Start(true, true);
  EXPECT_EQ(Verdict(child), kValid);
  // Another image with somebody else's hash stays invalid.
  ChildProcess other(ImageCopy(L"unsigned_other.exe"));
  WritePrivateProfileStringW(L"unsigned_other.exe", L"Hash", L"00", L"vesk.ini");
  EXPECT_EQ(Verdict(other), kInvalid);
}

TEST_F(Integrity, AProcessWithoutAnImagePathStaysUncoloured) {
  host.Start();
  // Ended but held open: the process opens and has no module path. It ends
  // before the list (refreshed only by the test) could show it.
  ChildProcess ended(ImageCopy(L"unsigned_ended.exe"));
  ended.Terminate();
  Record copy = {};
  copy.id = ended.Id();
  copy.name = L"unsigned_ended.exe";
  EXPECT_EQ(Background(reinterpret_cast<LPARAM>(&copy)), kDefault);
  // A process queued after it has its verdict, so the ended one was checked.
  ChildProcess later(ImageCopy(L"unsigned_later.exe"));
  ASSERT_EQ(Verdict(later), kInvalid);
  for (int i = 0; i < 5; ++i, Sleep(50)) EXPECT_EQ(Background(reinterpret_cast<LPARAM>(&copy)), kDefault);
}

TEST_F(Integrity, ManyWorkersInOneRunEndEveryTime) {
  std::wstring image = ImageCopy(L"unsigned_many.exe");
  int withoutWorker = ThreadsOfThisProcess();
  host.Start();
  ChildProcess warmUp(image);
  ASSERT_EQ(Verdict(warmUp), kInvalid);
  // Each child is checked by a worker of its own: the previous one has
  // ended with the queue empty.
  for (int round = 0; round < 15; ++round) {
    ChildProcess child(image);
    ASSERT_EQ(Verdict(child), kInvalid) << round;
  }
  EXPECT_TRUE(WorkersEnded(withoutWorker, 20000))
      << ThreadsOfThisProcess() << " threads, " << withoutWorker << " before";
}

// The test authority trusted as a root of the prefix's machine store while
// the object lives.
class TrustedAuthority {
 public:
  TrustedAuthority() {
    std::wstring path = HostPath("VESK_TEST_AUTHORITY");
    std::ifstream file(std::string(path.begin() + 2, path.end()).c_str(), std::ios::binary);
    std::vector<BYTE> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    store_ = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    EXPECT_TRUE(store_ &&
                CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, &added_))
        << GetLastError();
  }
  ~TrustedAuthority() {
    if (added_) CertDeleteCertificateFromStore(added_);
    if (store_) CertCloseStore(store_, 0);
  }

 private:
  HCERTSTORE store_ = nullptr;
  PCCERT_CONTEXT added_ = nullptr;
};

TEST_F(Integrity, AnEmbeddedSignatureOfATrustedSignerIsValidAndAChangedByteIsNot) {
  TrustedAuthority authority;
  CreateDirectoryW(kImages, nullptr);
  std::wstring signedImage = std::wstring(kImages) + L"\\signed_child.exe";
  std::wstring changedImage = std::wstring(kImages) + L"\\changed_child.exe";
  ASSERT_TRUE(CopyFileW(HostPath("VESK_SIGNED_CHILD").c_str(), signedImage.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(signedImage.c_str(), changedImage.c_str(), FALSE));
  // One byte of the code section, which the signature covers.
  HANDLE file =
      CreateFileW(changedImage.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  SetFilePointer(file, 0x410, nullptr, FILE_BEGIN);
  BYTE byte = 0;
  DWORD done = 0;
  ReadFile(file, &byte, 1, &done, nullptr);
  byte ^= 0x01;
  SetFilePointer(file, 0x410, nullptr, FILE_BEGIN);
  WriteFile(file, &byte, 1, &done, nullptr);
  CloseHandle(file);
  ChildProcess genuine(signedImage);
  ChildProcess changed(changedImage);
  host.Start();
  EXPECT_EQ(Verdict(genuine), kValid);
  EXPECT_EQ(Verdict(changed), kInvalid);
}

// One run of Task Manager closed while its worker hashes a large image; the
// program then ends with the worker still busy.
TEST_F(Integrity, ClosingDuringASlowCheckReturnsPromptly) {
  // 8 GiB of (sparse) zeros: hashing them takes about a minute here.
  ChildProcess child(ImageCopy(L"unsigned_slow.exe", 8ll << 30));
  host.Start();
  EXPECT_EQ(Background(RecordOf(child)), kDefault);
  Sleep(300);
  DWORD start = GetTickCount();
  host.Stop();
  EXPECT_LT(GetTickCount() - start, 5000u);
}

// A worker still checking when Task Manager's window goes finishes on its
// own, after the hub has let go of everything, and its thread ends.
TEST_F(Integrity, AWorkerBusyAtShutdownFinishesAndEndsAfterwards) {
  // 512 MiB: some seconds to hash at idle priority.
  ChildProcess child(ImageCopy(L"unsigned_busy.exe", 512ll << 20));
  host.Start();
  EXPECT_EQ(Background(RecordOf(child)), kDefault);
  Sleep(300);
  int threads = ThreadsOfThisProcess();
  DWORD start = GetTickCount();
  host.Stop();
  EXPECT_LT(GetTickCount() - start, 5000u) << "the close waits only briefly";
  EXPECT_TRUE(WorkersEnded(threads - 1, 180000)) << "the worker ended";
}

TEST(IntegrityShutdown, TaskManagerEndsCleanlyDuringSlowChecksManyTimesInARow) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  for (int round = 0; round < 4; ++round) {
    std::wstring commandLine =
        L"\"" + std::wstring(self) + L"\" --gtest_filter=Integrity.ClosingDuringASlowCheckReturnsPromptly";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION run = {};
    ASSERT_TRUE(
        CreateProcessW(self, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &run));
    DWORD waited = WaitForSingleObject(run.hProcess, 60000);
    DWORD exitCode = 1;
    GetExitCodeProcess(run.hProcess, &exitCode);
    if (waited != WAIT_OBJECT_0) TerminateProcess(run.hProcess, 1);
    CloseHandle(run.hThread);
    CloseHandle(run.hProcess);
    ASSERT_EQ(waited, WAIT_OBJECT_0) << "round " << round << " did not end";
    EXPECT_EQ(exitCode, 0u) << "round " << round;
  }
}

}  // namespace
