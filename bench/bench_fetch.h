// The fetch side as the program wires it, without workers: the slots, the allocator of their URL
// copies and a queue with no thread, over a store of its own. Queued jobs fail at once (there is
// no HTTP session) when finish runs them, which a benchmark does outside its timing.
#pragma once

#include <vector>

#include "bench/bench_reader.h"
#include "platform/threads.h"
#include "reader/fetch.h"

struct bench_fetch {
  bench_reader store{MiB(1)};
  std::vector<query> slots = std::vector<query>(FETCH_QUERY_COUNT);
  allocator urls = {};
  thread_queue queue = {};
  fetch_context context = {};

  bench_fetch() {
    store.reset();
    allocator_init(&urls, MiB(16), MiB(1), 128);
    thread_queue_create(&queue, 0);
    context.queries = slots.data();
    context.query_count = FETCH_QUERY_COUNT;
    context.start_generation = store.r.generation;
    context.url_allocator = &urls;
    context.queue = &queue;
  }
  ~bench_fetch() {
    finish();
    thread_terminate(&queue);
    allocator_destroy(&urls);
  }
  bench_fetch(const bench_fetch &) = delete;
  bench_fetch &operator=(const bench_fetch &) = delete;

  // Runs the queued jobs and frees the slots they leave done.
  void finish() {
    thread_complete_queue(&queue);
    for (query &q : slots)
      if (q.state == query_state_done) query_release(&q, &urls);
  }
};
