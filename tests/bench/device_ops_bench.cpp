#include <benchmark/benchmark.h>

#include "form/form_lists.h"
#include "protocol/device_ops.h"
#include "support/fake_port.h"
#include "support/fake_seams.h"
#include "support/memory_form.h"

namespace {

struct Rig {
  Rig() {
    app.form = &form;
    app.port = &port;
    app.boxes = &boxes;
    app.sleeper = &sleeper;
    SetUpForm(form);
    port.Open("com1");
  }
  MemoryForm form;
  FakePort port;
  FakeBoxes boxes;
  FakeSleeper sleeper;
  AppState app{};
};

void BM_IdleTick(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) {
    OnPollTimer(rig.app);
    benchmark::DoNotOptimize(rig.app.ReceiveBuffer);
  }
}
BENCHMARK(BM_IdleTick);

// A search with no unit attached: probe out, empty read, no marker.
void BM_SearchingTick(benchmark::State& state) {
  Rig rig;
  rig.app.SearchActive = 1;
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
