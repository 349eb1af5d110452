// A store, a general allocator, the fetch slots and a worker queue, wired as the program does.
#pragma once

#include "profiler/profiler.h"
#include "reader/fetch.h"
#include "tests/reader/store_fixture.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

inline query fetch_slots[FETCH_QUERY_COUNT];
inline thread_queue fetch_queue;
inline std::atomic<u32> fetch_wakes{0};

inline void fetch_count_wake() { fetch_wakes.fetch_add(1); }

class Fetch : public Store {
 protected:
  allocator urls = {};
  fetch_context context = {};
  // Without workers the test runs every job itself. Without an HTTP session every download
  // ends at once with http_error_not_initialized, so queued jobs cost nothing to finish.
  u32 workers = 0;

  void SetUp() override {
    Store::SetUp();
    profiler_install_disabled();
    fetch_buffers_set_wait(FETCH_BUFFER_WAIT_MS);
    allocator_init(&urls, MiB(4), MiB(1), 128);
    memory_zero(fetch_slots, sizeof fetch_slots);
    fetch_wakes = 0;
    thread_queue_create(&fetch_queue, workers);
    context.queries = fetch_slots;
    context.query_count = FETCH_QUERY_COUNT;
    context.start_generation = r.generation;
    context.url_allocator = &urls;
    context.queue = &fetch_queue;
    context.wake = fetch_count_wake;
  }
  void TearDown() override {
    // A job still waiting for a document buffer (a test that failed while holding them) reads
    // into memory of its own at once, so the queue can finish.
    fetch_buffers_set_wait(0);
    thread_complete_queue(&fetch_queue);
    thread_terminate(&fetch_queue);
    for (query &q : fetch_slots) {
      if (q.state == query_state_done) query_release(&q, &urls);
    }
    EXPECT_EQ(urls_in_use(), 0u) << "a URL copy was left behind";
    allocator_destroy(&urls);
    Store::TearDown();
  }

  // Reserved bytes not on the free list: the URL copies still held.
  u64 urls_in_use() {
    u64 free_bytes = 0;
    for (allocator_node *n = urls.free_list; n; n = n->next) free_bytes += n->size;
    return urls.memory.size - free_bytes;
  }

  std::vector<std::string> queued_urls() {
    std::vector<std::string> out;
    for (query &q : fetch_slots) {
      if (q.state == query_state_queued) out.push_back(to_std(q.url));
    }
    return out;
  }

  u32 count_in_state(u32 state) {
    u32 n = 0;
    for (query &q : fetch_slots) n += q.state == state;
    return n;
  }

  // Waits for the slot's job, which a worker or this thread runs.
  void finish(query *q) {
    while (__atomic_load_n(&q->state, __ATOMIC_ACQUIRE) != query_state_done) {
      if (!thread_do_work(&fetch_queue)) std::this_thread::yield();
    }
  }
};
