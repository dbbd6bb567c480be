// vesksvc as the service control manager runs it: installed in the test
// prefix, started and stopped through the manager, acting on processes that
// the test starts, with the values the test writes to vesk.ini.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "host_path.h"
#include "vesksvc_control.h"

namespace {

const wchar_t kSettingsFile[] = L"vesk.ini";
const wchar_t kChildImage[] = L"idle_child.exe";
// Copies of the idle child under names of their own: images of other sections.
const wchar_t kPlainImage[] = L"vesk_plain.exe";
const wchar_t kProbeImage[] = L"vesk_probe.exe";
// A copy under the name of one of the session's critical processes.
const wchar_t kCriticalImage[] = L"csrss.exe";
// The service looks once a second; this bound leaves room for a slow Wine.
const DWORD kApplyBoundMs = 5000;

std::wstring TempImage(const wchar_t* name) {
  wchar_t directory[MAX_PATH];
  GetTempPathW(MAX_PATH, directory);
  return std::wstring(directory) + name;
}

template <typename Done>
bool WaitUntil(Done done, DWORD boundMs = kApplyBoundMs) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > boundMs) return false;
    Sleep(20);
  }
  return true;
}

// A process of one of the test images, ended with the test.
class Child {
 public:
  explicit Child(const std::wstring& path) {
    std::wstring commandLine = L"\"" + path + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info_))
      ADD_FAILURE() << "cannot start " << std::string(path.begin(), path.end()) << ": error "
                    << GetLastError();
  }
  ~Child() {
    if (!info_.hProcess) return;
    TerminateProcess(info_.hProcess, 0);
    WaitForSingleObject(info_.hProcess, 5000);
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  DWORD PriorityClass() const { return GetPriorityClass(info_.hProcess); }
  void SetPriority(DWORD priorityClass) const { SetPriorityClass(info_.hProcess, priorityClass); }
  DWORD_PTR Affinity() const {
    DWORD_PTR process = 0, system = 0;
    GetProcessAffinityMask(info_.hProcess, &process, &system);
    return process;
  }

 private:
  PROCESS_INFORMATION info_ = {};
};

class SavedPriorityService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::wstring child = HostPath("VESK_IDLE_CHILD");
    ASSERT_TRUE(CopyFileW(child.c_str(), TempImage(kPlainImage).c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(child.c_str(), TempImage(kProbeImage).c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(child.c_str(), TempImage(kCriticalImage).c_str(), FALSE));
    // Installed as a setup would install it, but started by the tests only.
    ASSERT_TRUE(vesksvc_control::Install(HostPath("VESK_SERVICE"))) << "cannot install: " << GetLastError();
  }

  void SetUp() override {
    ClearSections();
    DWORD_PTR process = 0;
    GetProcessAffinityMask(GetCurrentProcess(), &process, &processors_);
  }

  void TearDown() override {
    Stop();
    ClearSections();
  }

  static void ClearSections() {
    for (const wchar_t* image : {kChildImage, kPlainImage, kProbeImage, kCriticalImage})
      WritePrivateProfileStringW(image, nullptr, nullptr, kSettingsFile);
  }

  static void Save(const wchar_t* image, const wchar_t* key, const wchar_t* value) {
    ASSERT_TRUE(WritePrivateProfileStringW(image, key, value, kSettingsFile));
  }

  static void Start() { ASSERT_TRUE(vesksvc_control::Start()) << GetLastError(); }
  static DWORD Stop() { return vesksvc_control::Stop(); }

  DWORD_PTR processors_ = 0;
};

TEST_F(SavedPriorityService, AppliesSavedValuesToProcessesOfTheImageWithTheAffinityMasked) {
  // Bit 31 names no processor of this machine: the mask is cut to bit 0.
  ASSERT_TRUE(processors_ & 1);
  ASSERT_FALSE(processors_ & 0x80000000u);
  Save(kChildImage, L"Priority", L"High");
  Save(kChildImage, L"Affinity", L"-2147483647");
  Child before(HostPath("VESK_IDLE_CHILD"));
  Start();
  Child after(HostPath("VESK_IDLE_CHILD"));
  for (const Child* child : {&before, &after}) {
    EXPECT_TRUE(WaitUntil([&] { return child->PriorityClass() == DWORD(HIGH_PRIORITY_CLASS); }))
        << std::hex << child->PriorityClass();
    EXPECT_TRUE(WaitUntil([&] { return child->Affinity() == 1; })) << std::hex << child->Affinity();
  }
}

TEST_F(SavedPriorityService, LeavesProcessesWithoutSavingOrValidValuesAlone) {
  Save(kChildImage, L"SavePriority", L"0");
  Save(kChildImage, L"Priority", L"High");
  Save(kChildImage, L"Affinity", L"1");
  Save(kPlainImage, L"Priority", L"Highest");
  Save(kPlainImage, L"Affinity", L"0");
  // 63 characters that read as 1 followed by more text: cut by a short read
  // it would parse; whole, it is no number.
  Save(kProbeImage, L"Affinity", (std::wstring(62, L'0') + L"1junk").c_str());
  Save(kProbeImage, L"Priority", L"Idle");
  Save(kCriticalImage, L"Priority", L"High");
  Save(kCriticalImage, L"Affinity", L"1");
  Start();
  Child withoutSaving(HostPath("VESK_IDLE_CHILD"));
  Child invalid(TempImage(kPlainImage));
  Child critical(TempImage(kCriticalImage));
  Sleep(100);
  // Started last: once its priority has been applied, the service's walk
  // has reached it, and the walk that took it for new (or an earlier one) has
  // the other two; a second is time for that walk to end.
  Child probe(TempImage(kProbeImage));
  ASSERT_TRUE(WaitUntil([&] { return probe.PriorityClass() == DWORD(IDLE_PRIORITY_CLASS); }));
  Sleep(1000);
  EXPECT_EQ(probe.Affinity(), processors_);
  for (const Child* child : {&withoutSaving, &invalid, &critical}) {
    EXPECT_EQ(child->PriorityClass(), DWORD(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(child->Affinity(), processors_);
  }
}

TEST_F(SavedPriorityService, ReadsAChangedFileAndActsOnEachProcessOnce) {
  Save(kChildImage, L"Priority", L"High");
  Start();
  Child first(HostPath("VESK_IDLE_CHILD"));
  ASSERT_TRUE(WaitUntil([&] { return first.PriorityClass() == DWORD(HIGH_PRIORITY_CLASS); }));
  // The user sets it back: the service does not act on it a second time,
  // neither with the old value nor with the changed one.
  first.SetPriority(NORMAL_PRIORITY_CLASS);
  Save(kChildImage, L"Priority", L"BelowNormal");
  Save(kChildImage, L"Affinity", L"1");
  Child second(HostPath("VESK_IDLE_CHILD"));
  EXPECT_TRUE(WaitUntil([&] { return second.PriorityClass() == DWORD(BELOW_NORMAL_PRIORITY_CLASS); }));
  EXPECT_TRUE(WaitUntil([&] { return second.Affinity() == 1; }));
  Sleep(1200);
  EXPECT_EQ(first.PriorityClass(), DWORD(NORMAL_PRIORITY_CLASS));
  EXPECT_EQ(first.Affinity(), processors_);
}

TEST_F(SavedPriorityService, StopsPromptlyAndAppliesNothingAfterwards) {
  Save(kChildImage, L"Priority", L"High");
  Start();
  EXPECT_LT(Stop(), DWORD(2000));
  Child late(HostPath("VESK_IDLE_CHILD"));
  Sleep(1200);
  EXPECT_EQ(late.PriorityClass(), DWORD(NORMAL_PRIORITY_CLASS));
}

}  // namespace
