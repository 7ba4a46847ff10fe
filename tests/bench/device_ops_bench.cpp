#include <benchmark/benchmark.h>

#include "app/device_ops.h"
#include "form/form_lists.h"
#include "support/rig.h"

namespace {

void BM_IdleTick(benchmark::State& state) {
  Rig rig;
  rig.port.Open("com1");
  for (auto _ : state) {
    OnPollTimer(rig.app);
    benchmark::DoNotOptimize(rig.app.ReceiveBuffer);
  }
}
BENCHMARK(BM_IdleTick);

// A search with no unit attached: probe out, empty read, no marker.
void BM_SearchingTick(benchmark::State& state) {
  Rig rig;
  rig.port.Open("com1");
  rig.app.searchActive = true;
  for (auto _ : state) {
    OnPollTimer(rig.app);
    if (rig.port.writes.size() > 1024) {
      rig.port.writes.clear();
      rig.port.readSizes.clear();
    }
  }
}
BENCHMARK(BM_SearchingTick);

}  // namespace
