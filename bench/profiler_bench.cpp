// Cost of an instrumented call: a zone with the profiler live, the same zone with the disabled
// entry points, and the same empty function without a zone.
#include <benchmark/benchmark.h>

#include "profiler/profiler.h"

namespace {

profiler_thread *live_record;
profiler_thread *disabled_record;

__attribute__((noinline)) void empty_instrumented() {
  PROFILE_ZONE(zone_layout_text);
  asm volatile("");
}

__attribute__((noinline)) void empty_plain() { asm volatile(""); }

void BM_zone_live(benchmark::State &state) {
  profiler_current = live_record;
  profiler_thread *t = live_record;
  for (auto _ : state) {
    // Start over before the buffer fills; every call leaves the zone closed.
    if (t->end - t->cursor < 2) t->cursor = t->events;
    empty_instrumented();
  }
  if (t->dropped != 0) state.SkipWithError("events were dropped");
}
BENCHMARK(BM_zone_live);

void BM_zone_disabled(benchmark::State &state) {
  profiler_current = disabled_record;
  for (auto _ : state) empty_instrumented();
}
BENCHMARK(BM_zone_disabled);

void BM_no_zone(benchmark::State &state) {
  for (auto _ : state) empty_plain();
}
BENCHMARK(BM_no_zone);

// The floor under a live zone, which reads the counter twice.
void BM_read_tsc(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(profiler_read_tsc());
}
BENCHMARK(BM_read_tsc);

}  // namespace

int main(int argc, char **argv) {
  u32 error = 0;
  profiler_start(profiler_thread_kind_main, 1 << 16, &error);
  live_record = profiler_current;
  // The disabled variants hand out a record without checks, so one thread can hold both.
  profiler_install_disabled();
  profiler_api.start(profiler_thread_kind_main, 1 << 16, &error);
  disabled_record = profiler_current;
  if (error != 0) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
