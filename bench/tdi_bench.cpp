// The filter's cost on the two hottest transport paths: a TDI_SEND request
// through the TCP filter, and a receive event through the receive hook, each
// beside the same request or event on the transport without the filter.
#include <benchmark/benchmark.h>

#include "bench_world.h"

namespace {

using Stack = BenchWorld;
Stack& Loaded() { return BenchWorld::get(); }

void Send(PDEVICE_OBJECT device, PFILE_OBJECT file) {
  hostkernel::sendRequest(device, file, IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PIRP, PIO_STACK_LOCATION s) {
    s->MinorFunction = TDI_SEND;
    reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&s->Parameters)->SendLength = 1460;
  });
}

void BM_TdiSendThroughFilter(benchmark::State& state) {
  Stack& s = Loaded();
  PDEVICE_OBJECT top = hostkernel::attachedTop(s.connection->DeviceObject);
  for (auto _ : state) Send(top, s.connection);
}
BENCHMARK(BM_TdiSendThroughFilter);

void BM_TdiSendOnTransport(benchmark::State& state) {
  Stack& s = Loaded();
  for (auto _ : state) Send(s.transport->tcp(), s.connection);
}
BENCHMARK(BM_TdiSendOnTransport);

NTSTATUS NTAPI TakeAll(PVOID, CONNECTION_CONTEXT, ULONG, ULONG indicated, ULONG, ULONG* taken, PVOID,
                       PIRP* irp) {
  *taken = indicated;
  *irp = nullptr;
  return STATUS_SUCCESS;
}

// What the transport calls for a receive event: the filter's hook with the
// record as context, or, without the filter, the client's own handler.
void Indicate(benchmark::State& state, bool hooked) {
  Stack& s = Loaded();
  static int clientContext;
  s.client.setEventHandler(s.address, TDI_EVENT_RECEIVE, reinterpret_cast<PVOID>(TakeAll), &clientContext);
  PTDI_IND_RECEIVE handler =
      hooked ? reinterpret_cast<PTDI_IND_RECEIVE>(s.transport->handler(s.address, TDI_EVENT_RECEIVE))
             : TakeAll;
  PVOID context = hooked ? s.transport->handlerContext(s.address, TDI_EVENT_RECEIVE) : &clientContext;
  hostkernel::AtDispatchLevel dispatch;
  for (auto _ : state) {
    ULONG taken = 0;
    PIRP irp = nullptr;
    benchmark::DoNotOptimize(handler(context, reinterpret_cast<CONNECTION_CONTEXT>(0x77), TDI_RECEIVE_NORMAL,
                                     1460, 1460, &taken, nullptr, &irp));
  }
}

void BM_ReceiveEventThroughHook(benchmark::State& state) { Indicate(state, true); }
BENCHMARK(BM_ReceiveEventThroughHook);

void BM_ReceiveEventToClient(benchmark::State& state) { Indicate(state, false); }
BENCHMARK(BM_ReceiveEventToClient);

}  // namespace
