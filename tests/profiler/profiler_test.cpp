#include <gtest/gtest.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "profiler/profiler.h"
#include "profiler_model.h"
#include "tests/support/isolation.h"

namespace {

u64 used(const profiler_thread *t) { return (u64)(t->cursor - t->events); }

TEST(profiler_tables, names_match_their_lengths_and_the_file_totals) {
  u64 total = 0;
  for (u32 z = 0; z < profiler_zone_count; z++) {
    EXPECT_EQ(strlen(profiler_zone_names[z].text), profiler_zone_names[z].length) << z;
    total += profiler_zone_names[z].length;
  }
  EXPECT_EQ(total, 2565u);
  EXPECT_STREQ(profiler_zone_names[zone_profiler_collapse].text, "profiler_collapse");
  EXPECT_STREQ(profiler_zone_names[zone_thread_loop].text, "thread_loop");
  EXPECT_STREQ(profiler_zone_names[zone_frame].text, "frame");
  EXPECT_STREQ(profiler_zone_names[zone_draw_links].text, "draw_links");
  EXPECT_EQ(profiler_thread_kind_names[0].length, 13u);
  EXPECT_EQ(profiler_thread_kind_names[1].length, 4u);
  EXPECT_STREQ(profiler_thread_kind_names[1].text, "main");
}

TEST_IN_FRESH_PROCESS(profiler_start, records_calibration_and_turns_it_into_run_lengths_at_stop) {
  u32 error = 0;
  timespec outer_start, outer_end;
  clock_gettime(CLOCK_MONOTONIC, &outer_start);
  profiler_start(profiler_thread_kind_main, 64, &error);
  ASSERT_EQ(error, 0u);
  EXPECT_EQ(profiler_global.started, 1u);
  EXPECT_EQ(profiler_global.thread_count, 1u);
  EXPECT_EQ(profiler_global.zone_count, 138u);
  EXPECT_EQ(profiler_global.kind_count, 2u);
  EXPECT_EQ(profiler_global.qpc_frequency, 1000000000u);
  EXPECT_EQ(profiler_global.tsc_conversion, 1u);
  EXPECT_EQ(profiler_global.tsc_method, profiler_tsc_method_monotonic);
  EXPECT_EQ(profiler_global.qpc_shift, 0u);
  EXPECT_EQ(profiler_global.qpc_bias, 0u);
  EXPECT_EQ(profiler_current, &profiler_threads[0]);
  EXPECT_EQ(profiler_threads[0].kind, profiler_thread_kind_main);
  EXPECT_EQ(profiler_threads[0].end - profiler_threads[0].events, 64);
  // Long enough that a pause of the process between two clock readings cannot move the ratio
  // below out of its bounds.
  timespec pause = {0, 100000000};
  nanosleep(&pause, nullptr);
  profiler_stop();
  clock_gettime(CLOCK_MONOTONIC, &outer_end);
  // At least the 100 ms slept, at most what the monotonic clock saw around it; a TSC between
  // 100 MHz and 10 GHz.
  u64 outer = (u64)(outer_end.tv_sec - outer_start.tv_sec) * 1000000000u + (u64)outer_end.tv_nsec - (u64)outer_start.tv_nsec;
  EXPECT_GE(profiler_global.qpc_run, 100000000u);
  EXPECT_LE(profiler_global.qpc_run, outer);
  double ghz = (double)profiler_global.tsc_run / (double)profiler_global.qpc_run;
  EXPECT_GT(ghz, 0.1);
  EXPECT_LT(ghz, 10.0);
}

TEST_IN_FRESH_PROCESS(profiler_zone, begin_and_end_write_two_ordered_events_and_balance_nesting) {
  u32 error = 0;
  profiler_start(profiler_thread_kind_main, 16, &error);
  profiler_thread *t = profiler_current;
  profiler_event *b = t->zone_begin(zone_layout_text, profiler_event_zone_begin);
  EXPECT_EQ(t->nesting[zone_layout_text], 1u);
  profiler_event *e = t->zone_end(zone_layout_text, profiler_event_zone_end);
  ASSERT_EQ(b, t->events);
  ASSERT_EQ(e, t->events + 1);
  EXPECT_EQ(used(t), 2u);
  EXPECT_EQ(b->zone, (u32)zone_layout_text);
  EXPECT_EQ(b->flags, 1u);
  EXPECT_EQ(e->zone, (u32)zone_layout_text);
  EXPECT_EQ(e->flags, 2u);
  EXPECT_LE(b->tsc, e->tsc);
  EXPECT_EQ(t->nesting[zone_layout_text], 0u);
  {
    PROFILE_ZONE(zone_ui_render);
    EXPECT_EQ(t->nesting[zone_ui_render], 1u);
  }
  EXPECT_EQ(used(t), 4u);
  EXPECT_EQ(t->events[2].flags, 1u);
  EXPECT_EQ(t->events[3].flags, 2u);
  profiler_stop();
}

// The random driver against the vector model, over enough frames to collapse many times.
TEST_IN_FRESH_PROCESS(profiler_frame, events_match_a_model_over_random_frames_and_zones) {
  u32 error = 0;
  profiler_start(profiler_thread_kind_main, 100000, &error);
  for (u32 seed = 1; seed <= 3; seed++) {
    // Each round continues the same buffer, frame ring and model.
    static profiler_model model;
    std::mt19937 rng(seed);
    drive_random_frames(rng, seed == 2 ? zone_thread_loop : zone_frame, 150, &model);
    ASSERT_EQ(events_of(profiler_current), model.events) << "seed " << seed;
  }
  profiler_thread *t = profiler_current;
  EXPECT_EQ(t->frame_count, 450u);
  EXPECT_EQ(t->dropped, 0u);
  expect_well_formed(t->events, used(t));
  // The ring points at the last 60 frames' begin and end events.
  for (u32 i = 0; i < PROFILER_FRAME_RING; i++) {
    EXPECT_EQ(t->frame_begin[i]->flags, (u32)profiler_event_frame_begin);
    EXPECT_EQ(t->frame_end[i]->flags, (u32)profiler_event_frame_end);
  }
  profiler_stop();
}

// 60 frames of four events each; the 61st frame begin collapses the first.
TEST_IN_FRESH_PROCESS(profiler_frame, sixty_first_begin_collapses_the_first_frame_exactly) {
  u32 error = 0;
  profiler_start(profiler_thread_kind_main, 1000, &error);
  profiler_thread *t = profiler_current;
  for (u32 f = 0; f < 60; f++) {
    profile_frame_begin(zone_frame);
    profile_begin((profiler_zone)(2 + f));
    profile_end((profiler_zone)(2 + f));
    profile_frame_end(zone_frame);
  }
  ASSERT_EQ(used(t), 240u);
  std::vector<profiler_event> before(t->events, t->cursor);
  profiler_event *begin = t->frame_begin_fn(zone_frame);
  ASSERT_EQ(used(t), 241u);
  EXPECT_EQ(t->events[0].flags, 5u | 0x8u);
  EXPECT_EQ(t->events[1].flags, 6u | 0x8u);
  EXPECT_EQ(t->events[0].tsc, before[0].tsc);
  EXPECT_EQ(t->events[1].tsc, before[3].tsc);
  // Frames 2 to 60 slide down over the removed zone, unchanged.
  EXPECT_EQ(memcmp(t->events + 2, before.data() + 4, 236 * sizeof(profiler_event)), 0);
  EXPECT_EQ(t->events[238].zone, 0u);
  EXPECT_EQ(t->events[238].flags, 1u);
  EXPECT_EQ(t->events[239].zone, 0u);
  EXPECT_EQ(t->events[239].flags, 2u);
  EXPECT_LE(t->events[237].tsc, t->events[238].tsc);
  EXPECT_LE(t->events[238].tsc, t->events[239].tsc);
  ASSERT_EQ(begin, t->events + 240);
  EXPECT_EQ(begin->zone, (u32)zone_frame);
  EXPECT_EQ(begin->flags, 5u);
  EXPECT_LE(t->events[239].tsc, begin->tsc);
  EXPECT_EQ(t->frame_begin[0], begin);
  EXPECT_EQ(t->frame_end[0], t->events + 1);
  for (u32 i = 1; i < 60; i++) {
    EXPECT_EQ(t->frame_begin[i], t->events + 2 + 4 * (i - 1)) << i;
    EXPECT_EQ(t->frame_end[i], t->events + 5 + 4 * (i - 1)) << i;
  }
  EXPECT_EQ(t->nesting[zone_profiler_collapse], 0u);
  profile_frame_end(zone_frame);
  profiler_stop();
}

// With the zone entry points off, frames still record and collapse, without collapse zones;
// an empty frame collapses without moving anything.
TEST_IN_FRESH_PROCESS(profiler_frame, collapse_with_zones_disabled_and_empty_frames) {
  u32 error = 0;
  profiler_start(profiler_thread_kind_main, 1000, &error);
  profiler_thread *t = profiler_current;
  profiler_disable_current(profiler_entry_zones);
  for (u32 f = 0; f < 61; f++) {
    profile_frame_begin(zone_frame);
    profile_begin(zone_render);
    profile_end(zone_render);
    profile_frame_end(zone_frame);
  }
  ASSERT_EQ(used(t), 122u);
  EXPECT_EQ(t->events[0].flags, 13u);
  EXPECT_EQ(t->events[1].flags, 14u);
  for (u32 i = 2; i < 122; i++) EXPECT_EQ(t->events[i].flags, i % 2 ? 6u : 5u) << i;
  expect_well_formed(t->events, used(t));
  profiler_stop();
}

TEST_IN_FRESH_PROCESS(profiler_full_buffer, nested_begins_that_do_not_fit_are_dropped_with_their_ends) {
  u32 error = 0;
  profiler_start(profiler_thread_kind_main, 10, &error);
  profiler_thread *t = profiler_current;
  // Room for five pairs in ten events: the sixth to eighth begins and their ends are dropped.
  for (u32 z = 2; z < 10; z++) {
    profiler_event *e = t->zone_begin(z, profiler_event_zone_begin);
    EXPECT_EQ(e == nullptr, z >= 7) << z;
  }
  EXPECT_EQ(used(t), 5u);
  EXPECT_EQ(t->dropped, 3u);
  for (u32 z = 9; z >= 2; z--) {
    profiler_event *e = t->zone_end(z, profiler_event_zone_end);
    EXPECT_EQ(e == nullptr, z >= 7) << z;
  }
  EXPECT_EQ(used(t), 10u);
  EXPECT_EQ(t->dropped, 6u);
  expect_well_formed(t->events, used(t));
  for (u32 i = 0; i < 5; i++) EXPECT_EQ(t->events[i].zone, 2 + i);
  // Full: a whole pair is dropped, and the counters still balance.
  EXPECT_EQ(t->zone_begin(zone_setup, 1), nullptr);
  EXPECT_EQ(t->zone_end(zone_setup, 2), nullptr);
  EXPECT_EQ(t->dropped, 8u);
  EXPECT_EQ(used(t), 10u);
  profiler_stop();
}

TEST_IN_FRESH_PROCESS(profiler_full_buffer, sequential_zones_fill_exactly_and_then_drop_pairs) {
  for (u64 capacity : {1u, 2u, 3u, 7u, 8u}) {
    profiler_thread t = {};
    profiler_event events[8];
    u32 counters[2 * profiler_zone_count] = {};
    t.events = t.cursor = events;
    t.end = events + capacity;
    t.nesting = counters;
    t.dropped_open = counters + profiler_zone_count;
    profiler_thread *saved = profiler_current;
    profiler_current = &t;
    for (u32 i = 0; i < 6; i++) {
      profiler_zone_begin(zone_setup, 1);
      profiler_zone_end(zone_setup, 2);
    }
    profiler_current = saved;
    u64 pairs = capacity / 2 < 6 ? capacity / 2 : 6;
    EXPECT_EQ(used(&t), 2 * pairs) << capacity;
    EXPECT_EQ(t.dropped, 12 - 2 * pairs) << capacity;
    EXPECT_EQ(counters[zone_setup], 0u);
    EXPECT_EQ(counters[profiler_zone_count + zone_setup], 0u);
  }
}

// A worker's small buffer under many loop turns: it fills, drops, keeps pairs whole and its
// frame ring valid.
TEST_IN_FRESH_PROCESS(profiler_full_buffer, worker_loop_fills_and_keeps_pairs_and_ring_valid) {
  u32 error = 0;
  profiler_start(profiler_thread_kind_main, 1000, &error);
  profiler_thread *t = profiler_current;
  std::mt19937 rng(7);
  for (u32 round = 0; round < 20; round++) {
    drive_random_frames(rng, zone_thread_loop, 100, nullptr);
    ASSERT_LE(t->cursor, t->end);
    expect_well_formed(t->events, used(t));
    for (u32 i = 0; i < PROFILER_FRAME_RING; i++) {
      profiler_event *b = t->frame_begin[i], *e = t->frame_end[i];
      ASSERT_EQ(b == nullptr, e == nullptr) << i;
      if (!b) continue;
      ASSERT_TRUE(b >= t->events && b < e && e < t->cursor) << i;
      EXPECT_EQ(b->zone, (u32)zone_thread_loop);
      EXPECT_EQ(b->flags, 5u);
      EXPECT_EQ(e->flags, 6u);
    }
    EXPECT_EQ(t->pending_ends, 0u);
  }
  EXPECT_GT(t->dropped, 0u);
  // Collapsed history fills the buffer for good: no room for another pair, and the newest
  // frames are all dropped.
  EXPECT_LT(t->end - t->cursor, 2);
  for (u32 i = 0; i < PROFILER_FRAME_RING; i++) EXPECT_EQ(t->frame_begin[i], nullptr);
  for (u32 z = 0; z < profiler_zone_count; z++) EXPECT_EQ(t->dropped_open[z], 0u);
  profiler_stop();
}

TEST_IN_FRESH_PROCESS(profiler_disabled, zones_return_null_nothing_is_allocated_and_records_still_count) {
  profiler_install_disabled();
  EXPECT_EQ(profiler_api.start, profiler_start_disabled);
  EXPECT_EQ(profiler_api.thread_register, profiler_thread_register_disabled);
  EXPECT_EQ(profiler_api.stop, profiler_stop_disabled);
  EXPECT_EQ(profiler_api.release, profiler_release_disabled);
  u32 error = 0;
  profiler_api.start(profiler_thread_kind_main, 100000000, &error);
  EXPECT_EQ(error, 0u);
  std::vector<std::thread> workers;
  for (u32 i = 0; i < 3; i++) {
    workers.emplace_back([] {
      u32 e = 0;
      profiler_api.thread_register(profiler_thread_kind_worker_thread, 1000, &e);
      EXPECT_EQ(profiler_current->zone_begin(zone_thread_loop, 1), nullptr);
      EXPECT_EQ(profiler_current->zone_end(zone_thread_loop, 2), nullptr);
    });
  }
  for (auto &w : workers) w.join();
  EXPECT_EQ(profiler_global.thread_count, 4u);
  profiler_thread *t = profiler_current;
  EXPECT_EQ(t, &profiler_threads[0]);
  EXPECT_EQ(t->kind, profiler_thread_kind_main);
  EXPECT_EQ(t->zone_begin(zone_setup, 1), nullptr);
  EXPECT_EQ(t->frame_begin_fn(zone_frame), nullptr);
  EXPECT_EQ(t->frame_end_fn(zone_frame), nullptr);
  { PROFILE_ZONE(zone_setup); }
  // Enabling has nothing to record into.
  EXPECT_EQ(profiler_enable_all(0), 4u);
  EXPECT_EQ(t->zone_begin(zone_setup, 1), nullptr);
  for (u32 i = 0; i < 4; i++) {
    EXPECT_EQ(profiler_threads[i].events, nullptr);
    EXPECT_EQ(profiler_threads[i].nesting, nullptr);
  }
  u64 size = 1;
  EXPECT_EQ(profiler_events_first(&size), nullptr);
  EXPECT_EQ(size, 0u);
  profiler_api.stop();
  profiler_api.release();
}

TEST_IN_FRESH_PROCESS(profiler_unregistered, a_thread_without_a_record_zones_harmlessly) {
  EXPECT_EQ(profiler_current->zone_begin(zone_setup, 1), nullptr);
  { PROFILE_ZONE(zone_setup); }
  profile_frame_begin(zone_frame);
  profile_frame_end(zone_frame);
  u32 error = 0;
  profiler_start(profiler_thread_kind_main, 100, &error);
  std::thread other([] {
    { PROFILE_ZONE(zone_thread_do_work); }
    profile_frame_begin(zone_thread_loop);
    profile_frame_end(zone_thread_loop);
    // Enabling, disabling and kinds leave the shared record alone.
    profiler_enable_current(0);
    profiler_set_thread_kind(profiler_thread_kind_main);
    EXPECT_EQ(profiler_current->zone_begin(zone_setup, 1), nullptr);
  });
  other.join();
  EXPECT_EQ(profiler_global.thread_count, 1u);
  EXPECT_EQ(used(profiler_current), 0u);
  profiler_stop();
}

TEST_IN_FRESH_PROCESS(profiler_register, a_refused_buffer_leaves_error_3_and_a_working_unprofiled_thread) {
  u32 error = 0;
  profiler_start(profiler_thread_kind_main, 100, &error);
  for (s32 successes : {0, 1}) {  // the event buffer, then the counters
    profiler_memory_fault_inject(successes);
    u32 worker_error = 0;
    std::thread worker([&] {
      profiler_thread_register(profiler_thread_kind_worker_thread, 1000, &worker_error);
      profiler_thread *t = profiler_current;
      EXPECT_NE(t, &profiler_threads[0]);
      EXPECT_EQ(t->events, nullptr);
      EXPECT_EQ(t->nesting, nullptr);
      { PROFILE_ZONE(zone_thread_do_work); }
      profile_frame_begin(zone_thread_loop);
      profile_frame_end(zone_thread_loop);
      profiler_enable_current(0);
      EXPECT_EQ(t->zone_begin(zone_thread_do_work, 1), nullptr);
    });
    worker.join();
    EXPECT_EQ(worker_error, (u32)profiler_error_no_memory);
  }
  // The refusal was one-off: the next thread records; a set error word registers nothing.
  u32 count = profiler_global.thread_count;
  std::thread late([] {
    u32 e = profiler_error_no_memory;
    profiler_thread_register(profiler_thread_kind_worker_thread, 1000, &e);
    EXPECT_EQ(profiler_global.thread_count, 3u);
    e = 0;
    profiler_thread_register(profiler_thread_kind_worker_thread, 1000, &e);
    EXPECT_EQ(e, 0u);
    EXPECT_NE(profiler_current->zone_begin(zone_thread_do_work, 1), nullptr);
    profiler_current->zone_end(zone_thread_do_work, 2);
  });
  late.join();
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(profiler_global.thread_count, 4u);
  profiler_stop();
}

TEST_IN_FRESH_PROCESS(profiler_control, enable_and_disable_pick_zones_frames_or_both) {
  u32 error = 0;
  profiler_start(profiler_thread_kind_main, 100, &error);
  profiler_thread *t = profiler_current;
  struct {
    u32 flags;
    bool zones, frames;
  } cases[] = {{0, true, true}, {profiler_entry_zones, true, false}, {profiler_entry_frames, false, true},
               {profiler_entry_zones | profiler_entry_frames, true, true}};
  for (auto c : cases) {
    profiler_disable_current(c.flags);
    EXPECT_EQ(t->zone_begin == profiler_zone_nop, c.zones);
    EXPECT_EQ(t->zone_end == profiler_zone_nop, c.zones);
    EXPECT_EQ(t->frame_begin_fn == profiler_frame_nop, c.frames);
    EXPECT_EQ(t->frame_end_fn == profiler_frame_nop, c.frames);
    profiler_enable_current(c.flags);
    EXPECT_EQ(t->zone_begin, profiler_zone_begin);
    EXPECT_EQ(t->zone_end, profiler_zone_end);
    EXPECT_EQ(t->frame_begin_fn, profiler_frame_begin);
    EXPECT_EQ(t->frame_end_fn, profiler_frame_end);
  }
  // Indexes at or above the record count are ignored.
  profiler_disable_thread(1, 0);
  EXPECT_EQ(profiler_threads[1].zone_begin, nullptr);
  profiler_disable_thread(0, profiler_entry_frames);
  EXPECT_EQ(t->frame_begin_fn, profiler_frame_nop);
  EXPECT_EQ(t->zone_begin, profiler_zone_begin);
  profiler_enable_thread(0, 0);
  EXPECT_EQ(t->frame_begin_fn, profiler_frame_begin);
  profiler_set_thread_kind(profiler_thread_kind_worker_thread);
  EXPECT_EQ(t->kind, profiler_thread_kind_worker_thread);
  profiler_set_thread_kind_at(profiler_thread_kind_main, 0);
  EXPECT_EQ(t->kind, profiler_thread_kind_main);
  profiler_set_thread_kind_at(profiler_thread_kind_main, PROFILER_MAX_THREADS);
  profiler_stop();
}

// Another thread's switch takes effect at the owner's next call.
TEST_IN_FRESH_PROCESS(profiler_control, disable_all_and_enable_all_reach_other_threads) {
  u32 error = 0;
  profiler_start(profiler_thread_kind_main, 100, &error);
  std::atomic<u32> step{0};
  profiler_thread *worker_record = nullptr;
  std::thread worker([&] {
    u32 e = 0;
    profiler_thread_register(profiler_thread_kind_worker_thread, 100, &e);
    worker_record = profiler_current;
    step = 1;
    while (step != 2) std::this_thread::yield();
    EXPECT_EQ(profiler_current->zone_begin(zone_thread_do_work, 1), nullptr);
    step = 3;
    while (step != 4) std::this_thread::yield();
    EXPECT_NE(profiler_current->zone_begin(zone_thread_do_work, 1), nullptr);
    profiler_current->zone_end(zone_thread_do_work, 2);
  });
  while (step != 1) std::this_thread::yield();
  EXPECT_EQ(profiler_disable_all(0), 2u);
  step = 2;
  while (step != 3) std::this_thread::yield();
  EXPECT_EQ(profiler_enable_all(profiler_entry_zones), 2u);
  step = 4;
  worker.join();
  EXPECT_EQ(used(worker_record), 2u);
  EXPECT_EQ(profiler_current->frame_begin_fn, profiler_frame_nop);
  profiler_stop();
}

TEST_IN_FRESH_PROCESS(profiler_events, iterate_records_with_buffers_in_order) {
  u32 error = 0;
  profiler_start(profiler_thread_kind_main, 100, &error);
  { PROFILE_ZONE(zone_setup); }
  auto run = [](u32 zones, bool refused) {
    std::thread w([=] {
      u32 e = 0;
      if (refused) profiler_memory_fault_inject(0);
      profiler_thread_register(profiler_thread_kind_worker_thread, 100, &e);
      for (u32 i = 0; i < zones; i++) {
        PROFILE_ZONE(zone_thread_do_work);
      }
    });
    w.join();
  };
  run(3, false);
  run(5, true);
  run(0, false);
  run(1, false);
  u64 sizes[] = {32, 96, 0, 32};
  u32 records[] = {0, 1, 3, 4};
  u64 size = 0;
  profiler_event *e = profiler_events_first(&size);
  for (u32 i = 0; i < 4; i++) {
    ASSERT_EQ(e, profiler_threads[records[i]].events) << i;
    EXPECT_EQ(size, sizes[i]) << i;
    e = profiler_events_next(&size);
  }
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(profiler_events_next(&size), nullptr);
  EXPECT_EQ(profiler_events_first(&size), profiler_threads[0].events);
  EXPECT_EQ(size, 32u);
  profiler_stop();
  profiler_release();
  EXPECT_EQ(profiler_events_first(&size), nullptr);
  // A zone after release writes nothing.
  EXPECT_EQ(profiler_current->zone_begin(zone_setup, 1), nullptr);
  { PROFILE_ZONE(zone_setup); }
}

#ifndef NDEBUG
using profiler_invariant_death = ::testing::Test;

TEST(profiler_invariant_death, broken_uses_stop_the_program) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  u32 error = 0;
  EXPECT_DEATH(profiler_thread_register(profiler_thread_kind_main, 10, &error), "invariant broken");
  EXPECT_DEATH(
      {
        profiler_start(profiler_thread_kind_main, 10, &error);
        profiler_thread_register(profiler_thread_kind_main, 10, &error);
      },
      "invariant broken");
  EXPECT_DEATH(
      {
        profiler_start(profiler_thread_kind_main, 10, &error);
        profile_frame_begin(zone_frame);
        profile_frame_begin(zone_frame);
      },
      "in_frame");
  EXPECT_DEATH(
      {
        profiler_start(profiler_thread_kind_main, 10, &error);
        profile_frame_end(zone_frame);
      },
      "in_frame");
  EXPECT_DEATH(
      {
        profiler_start(profiler_thread_kind_main, 10, &error);
        for (u32 i = 1; i < PROFILER_MAX_THREADS; i++) {
          std::thread([] {
            u32 e = 0;
            profiler_thread_register(profiler_thread_kind_worker_thread, 1, &e);
          }).join();
        }
        fprintf(stderr, "128 records\n");
        std::thread([] {
          u32 e = 0;
          profiler_thread_register(profiler_thread_kind_worker_thread, 1, &e);
        }).join();
      },
      "128 records\n.*invariant broken");
}

// A zone left open on any thread, even one the stopping thread never saw, stops the program.
TEST(profiler_invariant_death, a_zone_left_open_on_another_thread_at_stop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        u32 error = 0;
        profiler_start(profiler_thread_kind_main, 100, &error);
        { PROFILE_ZONE(zone_setup); }
        std::thread([] {
          u32 e = 0;
          profiler_thread_register(profiler_thread_kind_worker_thread, 100, &e);
          profile_begin(zone_thread_do_work);
        }).join();
        profiler_stop();
      },
      "nesting");
}
#endif

}  // namespace
