// The Processes page's list: one record per running process, refreshed from
// a snapshot of the system's processes. Each list item's parameter is its
// record, laid out as Windows Task Manager lays out its own: the process id
// at byte offset 8 and a pointer to the image name at byte offset 136.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>

struct ProcessRecord {
  uint32_t size;
  uint32_t generation;
  uint32_t processId;
  uint32_t threadCount;
  uint32_t priorityClass;
  uint32_t cpuPercent;
  uint64_t cpuTime;  // kernel and user time, 100 ns units
  uint64_t workingSetKb;
  uint8_t reserved[96];
  const wchar_t* imageName;
  wchar_t name[MAX_PATH];
};

class ProcessTable {
 public:
  ProcessTable() = default;
  ProcessTable(const ProcessTable&) = delete;
  ProcessTable& operator=(const ProcessTable&) = delete;
  ~ProcessTable();

  void Attach(HWND listView);
  // Adds new processes, removes ended ones (freeing their records) and
  // rewrites the cells that changed.
  void Refresh();
  // The record of the first selected row, or null.
  ProcessRecord* Selected() const;
  int Count() const { return int(records_.size()); }

 private:
  void Insert(ProcessRecord* record);
  void Update(ProcessRecord* record, bool inserted);
  void Remove(ProcessRecord* record);
  int IndexOf(const ProcessRecord* record) const;

  HWND list_ = nullptr;
  std::map<uint32_t, ProcessRecord*> records_;
  uint32_t generation_ = 0;
  ULONGLONG lastTick_ = 0;
};
