#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "profiler/profiler.h"
#include "profiler_model.h"
#include "tests/support/isolation.h"

namespace {

// Holds each of the workers until all of them run, so that they register at the same moment.
void start_together(std::atomic<u32> *ready, u32 workers) {
  ready->fetch_add(1);
  while (ready->load() < workers) std::this_thread::yield();
}

// Workers register at once and write frames and zones at once; each ends with its own record
// holding exactly what its model predicts, and the records are distinct.
TEST_IN_FRESH_PROCESS(profiler_concurrency, threads_register_and_record_at_once) {
  u32 error = 0;
  profiler_start(profiler_thread_kind_main, 1000, &error);
  const u32 workers = 8;
  std::atomic<u32> ready{0};
  std::vector<profiler_thread *> records(workers);
  std::vector<profiler_model> models(workers);
  std::vector<std::thread> threads;
  for (u32 i = 0; i < workers; i++) {
    threads.emplace_back([&, i] {
      start_together(&ready, workers);
      u32 e = 0;
      profiler_api.thread_register(profiler_thread_kind_worker_thread, 20000, &e);
      EXPECT_EQ(e, 0u);
      records[i] = profiler_current;
      std::mt19937 rng(100 + i);
      drive_random_frames(rng, zone_thread_loop, 200, &models[i]);
    });
  }
  // The main thread records meanwhile.
  std::mt19937 rng(1);
  profiler_model main_model;
  drive_random_frames(rng, zone_frame, 100, &main_model);
  for (auto &t : threads) t.join();
  profiler_stop();
  EXPECT_EQ(profiler_global.thread_count, workers + 1);
  EXPECT_EQ(events_of(&profiler_threads[0]), main_model.events);
  std::vector<bool> taken(workers + 1, false);
  for (u32 i = 0; i < workers; i++) {
    u32 n = (u32)(records[i] - profiler_threads);
    ASSERT_TRUE(n >= 1 && n <= workers);
    EXPECT_FALSE(taken[n]);
    taken[n] = true;
    EXPECT_EQ(records[i]->kind, profiler_thread_kind_worker_thread);
    EXPECT_EQ(records[i]->dropped, 0u);
    EXPECT_EQ(events_of(records[i]), models[i].events) << "worker " << i;
  }
  u64 size = 0, total = 0;
  for (profiler_event *e = profiler_events_first(&size); e; e = profiler_events_next(&size)) total += size;
  u64 expected = main_model.events.size();
  for (auto &m : models) expected += m.events.size();
  EXPECT_EQ(total, expected * sizeof(profiler_event));
  profiler_release();
}

// Small buffers that fill while other threads register and record: every record stays
// balanced and in bounds, and a refused buffer hurts only its own thread.
TEST_IN_FRESH_PROCESS(profiler_concurrency, full_buffers_and_refusals_under_contention) {
  u32 error = 0;
  profiler_start(profiler_thread_kind_main, 64, &error);
  const u32 workers = 12;
  std::atomic<u32> ready{0};
  std::atomic<u32> refused{0};
  profiler_memory_fault_inject(5);
  std::vector<std::thread> threads;
  for (u32 i = 0; i < workers; i++) {
    threads.emplace_back([&, i] {
      start_together(&ready, workers);
      u32 e = 0;
      profiler_thread_register(profiler_thread_kind_worker_thread, 300, &e);
      if (e == profiler_error_no_memory) refused.fetch_add(1);
      std::mt19937 rng(i);
      drive_random_frames(rng, zone_thread_loop, 400, nullptr);
    });
  }
  for (auto &t : threads) t.join();
  profiler_stop();
  EXPECT_EQ(profiler_global.thread_count, workers + 1);
  EXPECT_EQ(refused.load(), 1u);
  u32 with_buffers = 0;
  for (u32 n = 1; n <= workers; n++) {
    profiler_thread *t = &profiler_threads[n];
    if (!t->events) continue;
    with_buffers++;
    ASSERT_LE(t->cursor, t->end);
    EXPECT_GT(t->dropped, 0u);
    expect_well_formed(t->events, (u64)(t->cursor - t->events));
  }
  EXPECT_EQ(with_buffers, workers - 1);
}

TEST_IN_FRESH_PROCESS(profiler_concurrency, disabled_registrations_get_distinct_records) {
  profiler_install_disabled();
  u32 error = 0;
  profiler_api.start(profiler_thread_kind_main, 100000000, &error);
  const u32 workers = 16;
  std::vector<profiler_thread *> records(workers);
  std::vector<std::thread> threads;
  for (u32 i = 0; i < workers; i++) {
    threads.emplace_back([&, i] {
      u32 e = 0;
      profiler_api.thread_register(profiler_thread_kind_worker_thread, 1000, &e);
      records[i] = profiler_current;
      PROFILE_ZONE(zone_thread_loop);
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(profiler_global.thread_count, workers + 1);
  std::vector<bool> taken(workers + 1, false);
  for (auto *r : records) {
    u32 n = (u32)(r - profiler_threads);
    ASSERT_TRUE(n >= 1 && n <= workers);
    EXPECT_FALSE(taken[n]);
    taken[n] = true;
  }
  profiler_api.stop();
}

}  // namespace
