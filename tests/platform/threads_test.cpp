#include "platform/threads.h"
#include "profiler/profiler.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

static thread_queue queue;

static std::vector<u64> ran;
static void record_run(void *arg) { ran.push_back((u64)(uintptr_t)arg); }

// Without workers the calling thread runs every job, so the ring can be compared step by step
// with a plain first-in first-out model, across many wraps of the slots.
TEST(threads, ring_matches_a_fifo_model_over_random_operations) {
  EXPECT_EQ(thread_queue_create(&queue, 0), 0u);
  std::mt19937_64 rng(7);
  std::deque<u64> model;
  u64 next = 1;
  u64 accepted = 0;
  ran.clear();
  for (u32 step = 0; step < 200000; step++) {
    // Phases that lean to filling or to draining, so the ring often reaches both ends.
    bool fill = ((step / 3000) % 2 == 0) ? rng() % 8 != 0 : rng() % 8 == 0;
    if (fill) {
      u32 queued = thread_queue_work(&queue, record_run, (void *)(uintptr_t)next);
      ASSERT_EQ(queued, model.size() < THREAD_QUEUE_SIZE ? 1u : 0u) << step;
      if (queued) model.push_back(next);
      accepted += queued;
      next++;
    } else {
      u32 did = thread_do_work(&queue);
      ASSERT_EQ(did, model.empty() ? 0u : 1u) << step;
      if (did) {
        ASSERT_EQ(ran.back(), model.front());
        model.pop_front();
      }
    }
  }
  thread_complete_queue(&queue);
  EXPECT_EQ(ran.size(), accepted);
  EXPECT_EQ(queue.read_index.load(), queue.write_index.load());
  EXPECT_EQ(queue.completed_count.load(), 0u);
  EXPECT_EQ(queue.queued_count.load(), 0u);
  thread_terminate(&queue);
}

TEST(threads, full_ring_refuses_and_changes_nothing) {
  thread_queue_create(&queue, 0);
  ran.clear();
  for (u64 i = 0; i < THREAD_QUEUE_SIZE; i++) ASSERT_EQ(thread_queue_work(&queue, record_run, (void *)i), 1u);
  u64 write = queue.write_index.load();
  EXPECT_EQ(thread_queue_work(&queue, record_run, (void *)9999), 0u);
  EXPECT_EQ(queue.write_index.load(), write);
  EXPECT_EQ(queue.queued_count.load(), (u64)THREAD_QUEUE_SIZE);
  thread_complete_queue(&queue);
  ASSERT_EQ(ran.size(), (size_t)THREAD_QUEUE_SIZE);
  for (u64 i = 0; i < THREAD_QUEUE_SIZE; i++) EXPECT_EQ(ran[i], i);
  thread_terminate(&queue);
}

TEST(threads, complete_queue_on_an_empty_queue_returns_at_once) {
  thread_queue_create(&queue, 0);
  thread_complete_queue(&queue);
  EXPECT_EQ(queue.completed_count.load(), 0u);
  EXPECT_EQ(queue.queued_count.load(), 0u);
  thread_terminate(&queue);
}

TEST(threads, names_are_cut_at_a_character_boundary) {
  // 14 bytes, then a two-byte character that would straddle the 15-byte limit.
  thread_set_name("abcdefghijklmn\xC3\xA9xyz");
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  EXPECT_STREQ(name, "abcdefghijklmn");
  thread_set_name("Worker thread");
  pthread_getname_np(pthread_self(), name, sizeof name);
  EXPECT_STREQ(name, "Worker thread");
}
