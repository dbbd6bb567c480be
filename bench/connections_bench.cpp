// The connections list's merge of one refresh: 1024 endpoints against the
// 1024 rows they match, with nothing changed and with every byte counter
// moved, beside the plain walk over 1024 rows that any refresh makes.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "connections/connection_model.h"

namespace {

constexpr uint32_t kCount = 1024;

std::vector<Endpoint> Endpoints() {
  std::vector<Endpoint> endpoints;
  for (uint32_t i = 0; i < kCount; ++i) {
    Endpoint endpoint;
    endpoint.protocol = i % 8 == 0 ? kProtocolUdp : kProtocolTcp;
    endpoint.state = 4;
    // A few processes with many endpoints each, as on a busy machine.
    endpoint.processId = 100 + i % 16;
    endpoint.localAddress = 0x0100000A;
    endpoint.localPort = uint16_t(1024 + i);
    endpoint.remoteAddress = 0x0200000A + (i << 24);
    endpoint.remotePort = 0x5000;
    endpoints.push_back(endpoint);
  }
  return endpoints;
}

struct Rows {
  std::vector<std::unique_ptr<ConnectionRow>> owned;
  std::vector<ConnectionRow*> snapshot;
  explicit Rows(const std::vector<Endpoint>& endpoints) {
    owned = MergeEndpoints(SourceMode::Driver, {}, endpoints, 1000, kColumnPid).added;
    for (auto& row : owned) snapshot.push_back(row.get());
  }
};

void MergeUnchanged(benchmark::State& state) {
  std::vector<Endpoint> endpoints = Endpoints();
  Rows rows(endpoints);
  for (auto _ : state) {
    MergeResult result = MergeEndpoints(SourceMode::Driver, rows.snapshot, endpoints, 1000, kColumnPid);
    benchmark::DoNotOptimize(result.updates.data());
  }
}
BENCHMARK(MergeUnchanged);

void MergeEveryCounterMoved(benchmark::State& state) {
  std::vector<Endpoint> endpoints = Endpoints();
  Rows rows(endpoints);
  for (auto _ : state) {
    for (Endpoint& endpoint : endpoints) {
      endpoint.bytesSent += 1500;
      endpoint.bytesReceived += 3000;
    }
    MergeResult result = MergeEndpoints(SourceMode::Driver, rows.snapshot, endpoints, 1000, kColumnPid);
    benchmark::DoNotOptimize(result.updates.data());
  }
}
BENCHMARK(MergeEveryCounterMoved);

// The baseline: one pass over the rows reading what a snapshot reads.
void WalkRows(benchmark::State& state) {
  Rows rows(Endpoints());
  for (auto _ : state) {
    uint64_t sum = 0;
    for (const ConnectionRow* row : rows.snapshot) sum += row->processId + row->localPort;
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(WalkRows);

}  // namespace

BENCHMARK_MAIN();
