#include "platform/threads.h"
#include "profiler/profiler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

// The queue is large and, like in the program, lives in static storage.
static thread_queue queue;

static void count_run(void *arg) { ((std::atomic<u32> *)arg)->fetch_add(1, std::memory_order_relaxed); }

struct gate {
  std::atomic<u32> entered{0};
  std::atomic<u32> open{0};
};

static void wait_at_gate(void *arg) {
  gate *g = (gate *)arg;
  g->entered.fetch_add(1);
  while (!g->open.load()) std::this_thread::yield();
}

static void wait_until(const std::atomic<u32> &value, u32 target) {
  while (value.load() < target) std::this_thread::yield();
}

// Registration through the disabled entry keeps no per-thread memory, so tests may start far more
// workers over their run than the profiler has records for.
class threads_concurrency : public ::testing::Test {
 protected:
  void SetUp() override { profiler_install_disabled(); }
};

TEST_F(threads_concurrency, create_clamps_the_count_and_names_the_workers) {
  EXPECT_EQ(thread_queue_create(&queue, 10), 7u);
  // Workers name themselves first thing and then publish their id.
  for (u32 i = 0; i < 7; i++) {
    while (__atomic_load_n(&queue.threads[i].thread_id, __ATOMIC_ACQUIRE) == 0) std::this_thread::yield();
  }
  std::atomic<u32> runs{0};
  for (u32 i = 0; i < 64; i++) ASSERT_EQ(thread_queue_work(&queue, count_run, &runs), 1u);
  thread_complete_queue(&queue);
  for (u32 i = 0; i < 7; i++) {
    std::ifstream comm("/proc/self/task/" + std::to_string(queue.threads[i].thread_id) + "/comm");
    std::string name;
    std::getline(comm, name);
    EXPECT_EQ(name, "Worker thread");
    EXPECT_EQ(queue.threads[i].index, i);
  }
  thread_terminate(&queue);
  EXPECT_EQ(queue.exited_count.load(), 7u);
  EXPECT_EQ(runs.load(), 64u);

  EXPECT_EQ(thread_queue_create(&queue, 6), 6u);
  thread_terminate(&queue);
  EXPECT_EQ(queue.exited_count.load(), 6u);
}

TEST_F(threads_concurrency, every_job_runs_exactly_once_on_six_workers) {
  const u32 job_count = 200000;
  std::vector<std::atomic<u32>> runs(job_count);
  for (auto &r : runs) r.store(0);
  thread_queue_create(&queue, 6);
  u32 refused = 0;
  for (u32 i = 0; i < job_count; i++) {
    // A full ring refuses; the producer helps and tries again, as the program's callers may.
    while (!thread_queue_work(&queue, count_run, &runs[i])) {
      refused++;
      thread_do_work(&queue);
    }
  }
  thread_complete_queue(&queue);
  for (u32 i = 0; i < job_count; i++) ASSERT_EQ(runs[i].load(), 1u) << "job " << i;
  EXPECT_EQ(queue.completed_count.load(), 0u);
  EXPECT_EQ(queue.queued_count.load(), 0u);
  // A second round after the counts were zeroed.
  for (u32 i = 0; i < 5000; i++) {
    while (!thread_queue_work(&queue, count_run, &runs[i])) thread_do_work(&queue);
  }
  thread_complete_queue(&queue);
  for (u32 i = 0; i < 5000; i++) ASSERT_EQ(runs[i].load(), 2u);
  thread_terminate(&queue);
  (void)refused;
}

TEST_F(threads_concurrency, ring_holds_1024_jobs_while_every_worker_is_busy) {
  thread_queue_create(&queue, 6);
  gate g;
  for (u32 i = 0; i < 6; i++) ASSERT_EQ(thread_queue_work(&queue, wait_at_gate, &g), 1u);
  wait_until(g.entered, 6);
  std::atomic<u32> runs{0};
  for (u32 i = 0; i < THREAD_QUEUE_SIZE; i++) ASSERT_EQ(thread_queue_work(&queue, count_run, &runs), 1u) << i;
  EXPECT_EQ(thread_queue_work(&queue, count_run, &runs), 0u);
  EXPECT_EQ(queue.queued_count.load(), 6u + THREAD_QUEUE_SIZE);
  g.open = 1;
  thread_complete_queue(&queue);
  EXPECT_EQ(runs.load(), (u32)THREAD_QUEUE_SIZE);
  // Once drained the ring takes a full load again, now across the wrap of the slots.
  for (u32 i = 0; i < THREAD_QUEUE_SIZE; i++) {
    while (!thread_queue_work(&queue, count_run, &runs)) std::this_thread::yield();
  }
  thread_complete_queue(&queue);
  EXPECT_EQ(runs.load(), 2u * THREAD_QUEUE_SIZE);
  thread_terminate(&queue);
}

TEST_F(threads_concurrency, workers_wait_when_idle) {
  thread_queue_create(&queue, 6);
  for (u32 i = 0; i < 6; i++) {
    while (queue.threads[i].waiting.load() != 1) std::this_thread::yield();
  }
  thread_terminate(&queue);
  for (u32 i = 0; i < 6; i++) EXPECT_EQ(queue.threads[i].waiting.load(), 0);
}

TEST_F(threads_concurrency, terminate_with_idle_workers_never_hangs) {
  for (u32 round = 0; round < 300; round++) {
    thread_queue_create(&queue, 1 + round % 7);
    thread_terminate(&queue);
    ASSERT_EQ(queue.exited_count.load(), queue.thread_count);
  }
}

TEST_F(threads_concurrency, terminate_with_jobs_pending_never_hangs_and_runs_nothing_after) {
  for (u32 round = 0; round < 200; round++) {
    std::atomic<u32> runs{0};
    thread_queue_create(&queue, 6);
    // Releases pile up in the semaphore while the workers are still starting: terminate must
    // wake every worker however many releases are already waiting.
    u32 queued = 0;
    for (u32 i = 0; i < 1 + round * 5; i++) queued += thread_queue_work(&queue, count_run, &runs);
    thread_terminate(&queue);
    u32 after = runs.load();
    ASSERT_LE(after, queued);
    ASSERT_EQ(queue.exited_count.load(), 6u);
    // No worker is left to run what stayed in the ring.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    ASSERT_EQ(runs.load(), after);
  }
}

TEST_F(threads_concurrency, terminate_lets_a_running_job_finish) {
  thread_queue_create(&queue, 2);
  gate g;
  std::atomic<u32> finished{0};
  struct job {
    gate *g;
    std::atomic<u32> *finished;
  } j{&g, &finished};
  auto run = [](void *arg) {
    job *x = (job *)arg;
    wait_at_gate(x->g);
    x->finished->fetch_add(1);
  };
  ASSERT_EQ(thread_queue_work(&queue, run, &j), 1u);
  wait_until(g.entered, 1);
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    g.open = 1;
  });
  thread_terminate(&queue);
  EXPECT_EQ(finished.load(), 1u);
  opener.join();
}

// Jobs that take a while, so a return while any still runs on a worker shows in the count.
static void slow_count_run(void *arg) {
  std::this_thread::sleep_for(std::chrono::microseconds(50));
  ((std::atomic<u32> *)arg)->fetch_add(1, std::memory_order_release);
}

TEST_F(threads_concurrency, complete_queue_returns_only_when_every_job_has_finished) {
  thread_queue_create(&queue, 3);
  std::atomic<u32> runs{0};
  u32 expected = 0;
  for (u32 round = 0; round < 500; round++) {
    u32 n = round % 40;
    for (u32 i = 0; i < n; i++) ASSERT_EQ(thread_queue_work(&queue, slow_count_run, &runs), 1u);
    thread_complete_queue(&queue);
    expected += n;
    ASSERT_EQ(runs.load(std::memory_order_acquire), expected) << "round " << round;
    ASSERT_EQ(queue.completed_count.load(), 0u);
    ASSERT_EQ(queue.queued_count.load(), 0u);
  }
  thread_terminate(&queue);
}

TEST_F(threads_concurrency, terminate_leaves_queued_jobs_unrun) {
  thread_queue_create(&queue, 2);
  gate g;
  for (u32 i = 0; i < 2; i++) ASSERT_EQ(thread_queue_work(&queue, wait_at_gate, &g), 1u);
  wait_until(g.entered, 2);
  std::atomic<u32> runs{0};
  for (u32 i = 0; i < 100; i++) ASSERT_EQ(thread_queue_work(&queue, count_run, &runs), 1u);
  // Both workers are inside a job when termination begins: when their jobs end they see it and
  // leave, whatever is still in the ring.
  std::thread terminator([] { thread_terminate(&queue); });
  while (queue.terminate.load() == 0) std::this_thread::yield();
  g.open = 1;
  terminator.join();
  EXPECT_EQ(runs.load(), 0u);
  EXPECT_EQ(queue.exited_count.load(), 2u);
}

// Every increment returns a value no other thread got, and together they are 1 to the total; a
// compare-and-exchange returns what it found and stores only over the value it expected.
TEST_F(threads_concurrency, atomic_words_count_and_exchange_under_contention) {
  const u32 threads = 6, per_thread = 20000;
  u32 counter = 0;
  u32 claimed = 0;
  std::vector<std::vector<u32>> seen(threads);
  std::vector<u32> wins(threads, 0);
  std::vector<std::thread> pool;
  for (u32 t = 0; t < threads; t++) {
    pool.emplace_back([&, t] {
      for (u32 i = 0; i < per_thread; i++) {
        seen[t].push_back(atomic_increment_u32(&counter));
        // Claim the next value of a second word the way the queue claims a job.
        u32 found = __atomic_load_n(&claimed, __ATOMIC_RELAXED);
        if (atomic_compare_exchange_u32(&claimed, found + 1, found) == found) wins[t]++;
      }
    });
  }
  for (auto &th : pool) th.join();
  std::vector<u8> hit((u64)threads * per_thread + 1, 0);
  for (auto &values : seen)
    for (u32 v : values) {
      ASSERT_GE(v, 1u);
      ASSERT_LE(v, threads * per_thread);
      ASSERT_EQ(hit[v], 0) << v;
      hit[v] = 1;
    }
  EXPECT_EQ(counter, threads * per_thread);
  u32 total_wins = 0;
  for (u32 w : wins) total_wins += w;
  EXPECT_EQ(claimed, total_wins);
  u32 word = 5;
  EXPECT_EQ(atomic_compare_exchange_u32(&word, 9, 4), 5u);
  EXPECT_EQ(word, 5u);
  thread_barrier();
  EXPECT_EQ(atomic_compare_exchange_u32(&word, 9, 5), 5u);
  EXPECT_EQ(word, 9u);
}
