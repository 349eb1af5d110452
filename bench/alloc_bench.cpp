// The first-fit allocator against glibc malloc/free on one random sequence of operations, and
// pool_sort against std::sort on 10,000 store-sized records. Ends with a summary of the ratios.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_summary.h"
#include "core/core.h"

namespace {

// ---- Allocation ----

struct alloc_op {
  u32 size;  // 0 frees the live block at slot, else allocates into slot
  u32 slot;
};

const u32 alloc_op_count = 1000000;
const u32 alloc_max_live = 1024;

// Sizes uniform in 16 B to 64 KiB; at most 1024 live blocks (about 32 MiB on average, within the
// general allocator's 100 MiB); allocations and frees equally likely in between.
const std::vector<alloc_op> &alloc_ops() {
  static std::vector<alloc_op> ops;
  if (!ops.empty()) return ops;
  std::mt19937_64 rng(20240601);
  std::vector<u32> live_slots, free_slots;
  for (u32 s = alloc_max_live; s-- > 0;) free_slots.push_back(s);
  ops.reserve(alloc_op_count);
  while (ops.size() < alloc_op_count) {
    bool alloc = live_slots.empty() || (!free_slots.empty() && rng() % 2 == 0);
    if (alloc) {
      u32 slot = free_slots.back();
      free_slots.pop_back();
      live_slots.push_back(slot);
      ops.push_back({(u32)(16 + rng() % (KiB(64) - 16 + 1)), slot});
    } else {
      u32 k = (u32)(rng() % live_slots.size());
      u32 slot = live_slots[k];
      live_slots[k] = live_slots.back();
      live_slots.pop_back();
      free_slots.push_back(slot);
      ops.push_back({0, slot});
    }
  }
  return ops;
}

void BM_alloc_first_fit(benchmark::State &state) {
  const std::vector<alloc_op> &ops = alloc_ops();
  u64 failures = 0;
  for (auto _ : state) {
    allocator a;
    allocator_init(&a, MiB(100), MiB(1), 128);
    buffer live[alloc_max_live] = {};
    for (const alloc_op &op : ops) {
      if (op.size) {
        live[op.slot] = allocator_alloc(&a, op.size);
        if (live[op.slot].data) live[op.slot].data[0] = 1;
        else failures++;
      } else {
        allocator_free(&a, live[op.slot].data, live[op.slot].size);
      }
    }
    allocator_destroy(&a);
  }
  state.counters["failed_allocs_per_run"] = (double)failures / (double)state.iterations();
  state.SetItemsProcessed((s64)state.iterations() * alloc_op_count);
}
BENCHMARK(BM_alloc_first_fit)->Unit(benchmark::kMillisecond);

void BM_alloc_glibc_malloc(benchmark::State &state) {
  const std::vector<alloc_op> &ops = alloc_ops();
  for (auto _ : state) {
    u8 *live[alloc_max_live] = {};
    for (const alloc_op &op : ops) {
      if (op.size) {
        live[op.slot] = (u8 *)malloc(op.size);
        live[op.slot][0] = 1;
      } else {
        free(live[op.slot]);
        live[op.slot] = nullptr;
      }
    }
    for (u8 *p : live) free(p);
  }
  state.SetItemsProcessed((s64)state.iterations() * alloc_op_count);
}
BENCHMARK(BM_alloc_glibc_malloc)->Unit(benchmark::kMillisecond);

// ---- Pool sort ----

// The size of a store entry.
struct sort_record {
  u32 live;
  u32 feed;
  u64 date;
  u8 rest[264];
};
static_assert(sizeof(sort_record) == 280, "store-sized records");

const u32 sort_count = 10000;

std::vector<sort_record> sort_input() {
  std::vector<sort_record> v(sort_count);
  std::mt19937_64 rng(77);
  for (sort_record &r : v) {
    memset(&r, 0, sizeof r);
    r.live = 1;
    r.date = rng() % 1000000;
  }
  return v;
}

bool sort_is_live(void *item) { return ((sort_record *)item)->live != 0; }
bool sort_accept(void *item, void *context) { return ((sort_record *)item)->feed == *(u32 *)context; }
bool sort_earlier(void *a, void *b) { return ((sort_record *)a)->date < ((sort_record *)b)->date; }
void sort_swap(void *a, void *b) { std::swap(*(sort_record *)a, *(sort_record *)b); }

void pool_sort_run(benchmark::State &state, bool force_exchange) {
  std::vector<sort_record> input = sort_input();
  pool p;
  pool_create(&p, sizeof(sort_record), 8, sort_count);
  for (u32 i = 0; i < sort_count; i++) pool_alloc(&p, sizeof(sort_record));
  u32 feed = 0;
  // Without memory for its ranks the pool falls back to its quadratic exchange sort. The system
  // refuses every new mapping while the limit on address space is below what the process holds,
  // as when memory is short; the sort's stack is already there, and nothing else runs meanwhile.
  rlimit space;
  getrlimit(RLIMIT_AS, &space);
  rlimit refused = space;
  refused.rlim_cur = 0;
  for (auto _ : state) {
    state.PauseTiming();
    memcpy(p.items, input.data(), sizeof(sort_record) * sort_count);
    if (force_exchange && setrlimit(RLIMIT_AS, &refused) != 0) {
      state.SkipWithError("the limit on address space cannot be set");
      break;
    }
    state.ResumeTiming();
    pool_sort(&p, sizeof(sort_record), 0, &feed, sort_is_live, sort_accept, sort_earlier, sort_swap);
    if (force_exchange) setrlimit(RLIMIT_AS, &space);
  }
  pool_destroy(&p);
}

void BM_sort_pool_sort(benchmark::State &state) { pool_sort_run(state, false); }
BENCHMARK(BM_sort_pool_sort)->Unit(benchmark::kMillisecond);

void BM_sort_pool_exchange_fallback(benchmark::State &state) { pool_sort_run(state, true); }
BENCHMARK(BM_sort_pool_exchange_fallback)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_sort_std_sort(benchmark::State &state) {
  std::vector<sort_record> input = sort_input(), work(sort_count);
  for (auto _ : state) {
    state.PauseTiming();
    work = input;
    state.ResumeTiming();
    std::sort(work.begin(), work.end(), [](const sort_record &a, const sort_record &b) { return a.date > b.date; });
  }
}
BENCHMARK(BM_sort_std_sort)->Unit(benchmark::kMillisecond);

void print_ratio(summary_reporter *r, const char *what, const char *ours, const char *theirs) {
  auto a = r->times.find(ours), b = r->times.find(theirs);
  if (a == r->times.end() || b == r->times.end() || b->second == 0) return;
  printf("%-44s %8.2f  (%s / %s)\n", what, a->second / b->second, ours, theirs);
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  summary_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\nTime ratios (below 1: ours is faster)\n");
  print_ratio(&reporter, "first-fit allocator / glibc malloc", "BM_alloc_first_fit", "BM_alloc_glibc_malloc");
  print_ratio(&reporter, "pool_sort / std::sort, 10,000 records", "BM_sort_pool_sort", "BM_sort_std_sort");
  print_ratio(&reporter, "exchange fallback / pool_sort", "BM_sort_pool_exchange_fallback/iterations:3",
              "BM_sort_pool_sort");
  benchmark::Shutdown();
  return 0;
}
