// CPU use of vesksvc with 100 processes running and nothing to do (no image
// has saved values), run under Wine by `make bench`:
//   vesksvc_idle SERVICE_EXE CHILD_EXE (host paths)
// Says "settled" once the service runs and "measured" kMeasureMs later (the
// script bench/vesksvc-idle reads the processor times in between), then the
// wall time of the service's snapshot walk done here.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host_path.h"
#include "vesksvc_control.h"

namespace {

const int kChildren = 100;
const DWORD kSettleMs = 2000;
const DWORD kMeasureMs = 20000;
const int kWalks = 200;
const double kScanPeriodMs = 1000;

int WalkSnapshot() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) ++count;
  CloseHandle(snapshot);
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vesksvc_idle SERVICE_EXE CHILD_EXE\n");
    return 2;
  }
  std::wstring child = WinePath(argv[2]);
  WritePrivateProfileStringW(L"idle_child.exe", nullptr, nullptr, L"vesk.ini");
  std::vector<PROCESS_INFORMATION> children;
  for (int i = 0; i < kChildren; ++i) {
    std::wstring commandLine = L"\"" + child + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(child.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info))
      children.push_back(info);
  }
  int result = 1;
  if (vesksvc_control::Install(WinePath(argv[1])) && vesksvc_control::Start()) {
    Sleep(kSettleMs);
    std::printf("settled\n");
    std::fflush(stdout);
    Sleep(kMeasureMs);
    std::printf("measured\n");
    std::fflush(stdout);

    int processes = 0;
    DWORD walkStart = GetTickCount();
    for (int i = 0; i < kWalks; ++i) processes = WalkSnapshot();
    double walkMs = double(GetTickCount() - walkStart) / kWalks;
    std::printf(
        "vesksvc one snapshot walk of %d processes (wall, with wineserver): %.2f ms, %.2f %% of one "
        "processor at one walk per %.0f ms\n",
        processes, walkMs, 100.0 * walkMs / kScanPeriodMs, kScanPeriodMs);
    result = vesksvc_control::Stop() != ~DWORD(0) ? 0 : 1;
  } else {
    std::fprintf(stderr, "cannot install or start the service: error %lu\n", GetLastError());
  }
  for (PROCESS_INFORMATION& info : children) {
    TerminateProcess(info.hProcess, 0);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  return result;
}
