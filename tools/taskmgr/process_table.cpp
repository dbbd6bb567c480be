#include "process_table.h"

#include <commctrl.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <string>

static_assert(offsetof(ProcessRecord, processId) == 8, "Task Manager's process id offset");
static_assert(offsetof(ProcessRecord, imageName) == 136, "Task Manager's image name offset");

namespace {

enum Column { kImageName, kPid, kCpu, kCpuTime, kMemory, kBasePriority, kThreads };

const wchar_t* PriorityText(uint32_t priorityClass) {
  switch (priorityClass) {
    case REALTIME_PRIORITY_CLASS:
      return L"Realtime";
    case HIGH_PRIORITY_CLASS:
      return L"High";
    case ABOVE_NORMAL_PRIORITY_CLASS:
      return L"AboveNormal";
    case NORMAL_PRIORITY_CLASS:
      return L"Normal";
    case BELOW_NORMAL_PRIORITY_CLASS:
      return L"BelowNormal";
    case IDLE_PRIORITY_CLASS:
      return L"Low";
  }
  return L"N/A";
}

uint64_t FileTimeValue(const FILETIME& time) {
  return (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Priority, processor time and working set, where the process can be opened.
void QueryDetails(ProcessRecord* record) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, record->processId);
  if (!process) return;
  record->priorityClass = GetPriorityClass(process);
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(process, &created, &exited, &kernel, &user))
    record->cpuTime = FileTimeValue(kernel) + FileTimeValue(user);
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(process, &memory, sizeof memory))
    record->workingSetKb = memory.WorkingSetSize / 1024;
  CloseHandle(process);
}

void SetCell(HWND list, int index, int column, const wchar_t* text) {
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = const_cast<wchar_t*>(text);
  SendMessageW(list, LVM_SETITEMTEXTW, index, reinterpret_cast<LPARAM>(&item));
}

// Decimal digits, at least minimumDigits of them.
std::wstring Number(uint64_t value, size_t minimumDigits = 1) {
  std::wstring digits;
  do {
    digits.insert(digits.begin(), wchar_t(L'0' + value % 10));
    value /= 10;
  } while (value != 0);
  if (digits.size() < minimumDigits) digits.insert(0, minimumDigits - digits.size(), L'0');
  return digits;
}

}  // namespace

ProcessTable::~ProcessTable() {
  for (auto& entry : records_) delete entry.second;
}

void ProcessTable::Attach(HWND listView) {
  list_ = listView;
  SendMessageW(list_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
  struct {
    const wchar_t* title;
    int width;
    int format;
  } columns[] = {{L"Image Name", 110, LVCFMT_LEFT}, {L"PID", 45, LVCFMT_RIGHT},
                 {L"CPU", 35, LVCFMT_RIGHT},        {L"CPU Time", 60, LVCFMT_RIGHT},
                 {L"Mem Usage", 70, LVCFMT_RIGHT},  {L"Base Pri", 75, LVCFMT_LEFT},
                 {L"Threads", 50, LVCFMT_RIGHT}};
  int index = 0;
  for (const auto& column : columns) {
    LVCOLUMNW entry = {};
    entry.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    entry.pszText = const_cast<wchar_t*>(column.title);
    entry.cx = column.width;
    entry.fmt = column.format;
    SendMessageW(list_, LVM_INSERTCOLUMNW, index++, reinterpret_cast<LPARAM>(&entry));
  }
}

void ProcessTable::Refresh() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  ++generation_;
  ULONGLONG tick = GetTickCount();
  ULONGLONG elapsed = lastTick_ ? tick - lastTick_ : 0;
  lastTick_ = tick;
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    auto found = records_.find(entry.th32ProcessID);
    ProcessRecord* record = found == records_.end() ? nullptr : found->second;
    // An id reused by a process of another image is a new process.
    if (record && wcsncmp(record->name, entry.szExeFile, MAX_PATH) != 0) {
      Remove(record);
      record = nullptr;
    }
    bool inserted = !record;
    if (inserted) {
      record = new ProcessRecord();
      record->size = sizeof *record;
      record->processId = entry.th32ProcessID;
      wcsncpy(record->name, entry.szExeFile, MAX_PATH - 1);
      record->imageName = record->name;
      records_[record->processId] = record;
    }
    uint64_t previousCpu = record->cpuTime;
    record->generation = generation_;
    record->threadCount = entry.cntThreads;
    QueryDetails(record);
    uint64_t capacity = elapsed * 10000 * (system.dwNumberOfProcessors ? system.dwNumberOfProcessors : 1);
    record->cpuPercent =
        (!inserted && capacity && record->cpuTime >= previousCpu)
            ? uint32_t(std::min<uint64_t>((record->cpuTime - previousCpu) * 100 / capacity, 100))
            : 0;
    if (inserted) Insert(record);
    Update(record, inserted);
  }
  CloseHandle(snapshot);
  for (auto entry = records_.begin(); entry != records_.end();) {
    ProcessRecord* record = (entry++)->second;
    if (record->generation != generation_) Remove(record);
  }
}

ProcessRecord* ProcessTable::Selected() const {
  int index = int(SendMessageW(list_, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
  if (index < 0) return nullptr;
  LVITEMW item = {};
  item.mask = LVIF_PARAM;
  item.iItem = index;
  if (!SendMessageW(list_, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return nullptr;
  // Only records of this table; anything else in the list is not ours to use.
  for (const auto& entry : records_)
    if (reinterpret_cast<LPARAM>(entry.second) == item.lParam) return entry.second;
  return nullptr;
}

void ProcessTable::Insert(ProcessRecord* record) {
  LVITEMW item = {};
  item.mask = LVIF_TEXT | LVIF_PARAM;
  item.iItem = int(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0));
  item.pszText = record->name;
  item.lParam = reinterpret_cast<LPARAM>(record);
  SendMessageW(list_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

void ProcessTable::Update(ProcessRecord* record, bool inserted) {
  int index = IndexOf(record);
  if (index < 0) return;
  if (inserted) SetCell(list_, index, kPid, Number(record->processId).c_str());
  SetCell(list_, index, kCpu, Number(record->cpuPercent, 2).c_str());
  uint64_t seconds = record->cpuTime / 10000000;
  std::wstring time =
      Number(seconds / 3600) + L":" + Number(seconds / 60 % 60, 2) + L":" + Number(seconds % 60, 2);
  SetCell(list_, index, kCpuTime, time.c_str());
  SetCell(list_, index, kMemory, (Number(record->workingSetKb) + L" K").c_str());
  SetCell(list_, index, kBasePriority, PriorityText(record->priorityClass));
  SetCell(list_, index, kThreads, Number(record->threadCount).c_str());
}

void ProcessTable::Remove(ProcessRecord* record) {
  int index = IndexOf(record);
  if (index >= 0) SendMessageW(list_, LVM_DELETEITEM, index, 0);
  records_.erase(record->processId);
  delete record;
}

int ProcessTable::IndexOf(const ProcessRecord* record) const {
  LVFINDINFOW find = {};
  find.flags = LVFI_PARAM;
  find.lParam = reinterpret_cast<LPARAM>(record);
  return int(SendMessageW(list_, LVM_FINDITEMW, WPARAM(-1), reinterpret_cast<LPARAM>(&find)));
}
