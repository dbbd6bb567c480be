// Cost of the driver's hot paths on the host kernel, each beside a plain
// baseline doing the same work: counting a send by file object among 10,000
// open objects, and one activity query of 1024 records (tdi_bench.cpp adds
// the filter's request and event paths). Ends with one line per comparison.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "bench_world.h"
#include "shared/activity_protocol.h"

namespace {

constexpr int kOpenObjects = 10000;
constexpr int kQueryRecords = 1024;

PFILE_OBJECT File(ULONG_PTR value) { return reinterpret_cast<PFILE_OBJECT>(value); }
ULONG_PTR KeyOf(int i) { return 0x10000 + 0x40 * ULONG_PTR(i); }

// Random file objects to count on, the same sequence for every benchmark.
const std::vector<ULONG_PTR>& Targets() {
  static std::vector<ULONG_PTR> targets = [] {
    std::vector<ULONG_PTR> t(4096);
    std::mt19937 random(1);
    for (ULONG_PTR& key : t) key = KeyOf(int(random() % kOpenObjects));
    return t;
  }();
  return targets;
}

vesk::ObjectTable& CountingTable() {
  static vesk::ObjectTable* table = [] {
    auto* t = new vesk::ObjectTable;
    for (int i = 0; i < kOpenObjects; ++i) t->addConnection(File(KeyOf(i)), ULONG_PTR(i));
    return t;
  }();
  return *table;
}

void BM_SendCount(benchmark::State& state) {
  vesk::ObjectTable& table = CountingTable();
  const std::vector<ULONG_PTR>& targets = Targets();
  size_t next = size_t(state.thread_index()) * 977;
  for (auto _ : state) {
    vesk::SharedRef<vesk::ConnectionObject> c = table.findConnection(File(targets[next++ % targets.size()]));
    c->bytesSent.add(1460);
  }
}
BENCHMARK(BM_SendCount)->Threads(1)->Threads(2)->UseRealTime();

struct BaselineRecord {
  std::atomic<uint64_t> bytesSent{0};
};
std::mutex gBaselineLock;
std::map<ULONG_PTR, BaselineRecord*>& BaselineMap() {
  static auto* map = [] {
    auto* m = new std::map<ULONG_PTR, BaselineRecord*>;
    for (int i = 0; i < kOpenObjects; ++i) (*m)[KeyOf(i)] = new BaselineRecord;
    return m;
  }();
  return *map;
}

void BM_SendCountBaseline(benchmark::State& state) {
  std::map<ULONG_PTR, BaselineRecord*>& map = BaselineMap();
  const std::vector<ULONG_PTR>& targets = Targets();
  size_t next = size_t(state.thread_index()) * 977;
  for (auto _ : state) {
    BaselineRecord* record;
    {
      std::lock_guard<std::mutex> lock(gBaselineLock);
      record = map.find(targets[next++ % targets.size()])->second;
    }
    record->bytesSent.fetch_add(1460, std::memory_order_relaxed);
  }
}
BENCHMARK(BM_SendCountBaseline)->Threads(1)->Threads(2)->UseRealTime();

// The loaded driver with 1024 reportable UDP records.
BenchWorld& QueryWorld() {
  static BenchWorld& world = []() -> BenchWorld& {
    BenchWorld& w = BenchWorld::get();
    hostkernel::CurrentProcess process(100);
    for (int i = 0; i < kQueryRecords - 1; ++i)
      vesk::gActivityDriver->table().addAddress(File(KeyOf(i)), 17, 0, 0);
    return w;
  }();
  return world;
}

void BM_ActivityQuery(benchmark::State& state) {
  BenchWorld& world = QueryWorld();
  std::vector<uint8_t> out;
  for (auto _ : state) {
    hostkernel::deviceIoControl(world.control, IOCTL_QUERY_ACTIVITY, {}, out, 45056);
    benchmark::DoNotOptimize(out.data());
  }
  if (out.size() != kQueryRecords * sizeof(ActivityRecord)) state.SkipWithError("wrong record count");
}
BENCHMARK(BM_ActivityQuery);

void BM_ActivityQueryBaseline(benchmark::State& state) {
  struct Plain {
    uint32_t protocol, processId, localAddress;
    uint16_t localPort;
    uint64_t sent, received;
  };
  std::map<ULONG_PTR, Plain> map;
  for (int i = 0; i < kQueryRecords; ++i)
    map[KeyOf(i)] = Plain{17, 100, 0, 0, 0, 0};  // the same 1024 records
  std::vector<uint8_t> out(45056);
  for (auto _ : state) {
    uint8_t* cursor = out.data();
    for (auto& entry : map) {
      ActivityRecord r = {};
      r.fileObject = uint32_t(entry.first);
      r.protocol = entry.second.protocol;
      r.processId = entry.second.processId;
      r.localAddress = entry.second.localAddress;
      r.localPort = entry.second.localPort;
      r.bytesSent = entry.second.sent;
      r.bytesReceived = entry.second.received;
      std::memcpy(cursor, &r, sizeof r);
      cursor += sizeof r;
    }
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_ActivityQueryBaseline);

// Collects each run's time per iteration, to print the comparisons last.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) times[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  struct Comparison {
    const char* label;
    const char* ours;
    const char* baseline;
  } comparisons[] = {
      {"send-count vs baseline, 1 thread", "BM_SendCount/real_time/threads:1",
       "BM_SendCountBaseline/real_time/threads:1"},
      {"send-count vs baseline, 2 threads", "BM_SendCount/real_time/threads:2",
       "BM_SendCountBaseline/real_time/threads:2"},
      {"activity-query vs map walk", "BM_ActivityQuery", "BM_ActivityQueryBaseline"},
      {"tdi-send through filter vs transport alone", "BM_TdiSendThroughFilter", "BM_TdiSendOnTransport"},
      {"receive-event through hook vs client handler", "BM_ReceiveEventThroughHook",
       "BM_ReceiveEventToClient"},
  };
  for (const Comparison& c : comparisons) {
    auto ours = reporter.times.find(c.ours), baseline = reporter.times.find(c.baseline);
    if (ours == reporter.times.end() || baseline == reporter.times.end() || baseline->second <= 0) continue;
    std::printf("%s: %.2fx\n", c.label, ours->second / baseline->second);
  }
  return 0;
}
