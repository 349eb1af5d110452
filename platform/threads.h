// The worker thread queue: every piece of background work (fetching a feed, fetching and decoding
// an image, resizing one) runs as a job on a small fixed set of worker threads. One process-wide
// record holds a ring of job slots with a single producer, the UI thread, and several consumers,
// the workers, which claim a job by compare-and-exchange on the read index.
//
// The indices only ever grow (a slot is the index mod the ring size), so a worker that read a slot
// and then stalled while the ring went round cannot claim it afterwards: its compare-and-exchange
// expects an index that is long gone.
#pragma once

#include "core/base.h"

#include <pthread.h>
#include <semaphore.h>

#include <atomic>

// ---- Synchronisation ---------------------------------------------------------------------

// A counting semaphore without a practical cap: every release is kept until a wait takes it, so
// no release can fail because the count is not zero.
typedef sem_t thread_semaphore;

// An auto-reset event: a signal wakes one waiter (or the next one to wait) and is then cleared.
struct thread_event {
  pthread_mutex_t mutex;
  pthread_cond_t condition;
  u32 signalled;
};

void thread_semaphore_create(thread_semaphore *semaphore, u32 initial);
void thread_semaphore_destroy(thread_semaphore *semaphore);
void thread_semaphore_release(thread_semaphore *semaphore, u32 count);
void thread_semaphore_wait(thread_semaphore *semaphore);
void thread_event_create(thread_event *event);
void thread_event_destroy(thread_event *event);
void thread_event_signal(thread_event *event);
void thread_event_wait(thread_event *event);

// Word-sized atomics for records shared with the workers that are plain u32 fields. Each is a
// full barrier.
// Adds one and returns the new value.
inline u32 atomic_increment_u32(u32 *value) { return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST); }
// Stores new_value only where *value equals expected; returns the value found either way.
inline u32 atomic_compare_exchange_u32(u32 *value, u32 new_value, u32 expected) {
  __atomic_compare_exchange_n(value, &expected, new_value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return expected;
}
// Stores before it are visible before the stores after it.
inline void thread_barrier() {
#if defined(__SANITIZE_THREAD__)
  // The thread sanitizer does not model fences; a locked exchange is as strong a barrier here.
  static u32 word;
  __atomic_fetch_add(&word, 1, __ATOMIC_SEQ_CST);
#else
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
#endif
}

// ---- Types -------------------------------------------------------------------------------

#define THREAD_QUEUE_SIZE 1024
#define THREAD_QUEUE_MAX_THREADS 7

// A job: fn(arg). The job owns nothing; the argument's owner (a fetch slot, an image slot) keeps
// it alive until the job has handed its result over.
typedef void thread_work_fn(void *arg);

// One ring slot. A worker may read a slot while the producer refills it (the worker then loses
// its claim and drops what it read), so the fields are atomic words.
struct thread_work {
  std::atomic<thread_work_fn *> fn;
  std::atomic<void *> arg;
};

struct thread_queue;

// One per worker.
struct thread_info {
  thread_queue *queue;
  u32 index;                // the worker's number from 0
  u32 thread_id;            // the system's id of the thread, set by the worker itself
  std::atomic<s32> waiting; // 1 while the worker waits for work
};

struct thread_queue {
  // Created with the queue, destroyed at terminate.
  thread_semaphore semaphore;     // one release per queued job (and one per worker at terminate)
  thread_event completed_event;   // all queued work done
  thread_event terminated_event;  // all workers have left their loop
  pthread_t handles[THREAD_QUEUE_MAX_THREADS];
  u32 started[THREAD_QUEUE_MAX_THREADS];  // 1 when the thread was created (and must be joined)
  u32 thread_count;

  thread_work ring[THREAD_QUEUE_SIZE];
  thread_info threads[THREAD_QUEUE_MAX_THREADS];

  // Both indices only grow. Empty when equal; full when write_index - read_index reaches the
  // ring size, so all 1024 slots can hold a waiting job.
  std::atomic<u64> read_index;   // next job to claim, changed only by compare-and-exchange
  std::atomic<u64> write_index;  // next slot to fill, written only by the producer
  std::atomic<u64> completed_count;
  std::atomic<u64> queued_count;  // written only by the producer
  std::atomic<u32> terminate;
  std::atomic<u32> exited_count;
};

// ---- Creation ----------------------------------------------------------------------------

// Starts min(count, 7) workers named "Worker thread" and returns that number. The record is
// large: keep it static.
u64 thread_queue_create(thread_queue *queue, u64 count);

// ---- Use (UI thread) ---------------------------------------------------------------------

// 1 when queued; 0 when the ring is full (nothing changes and the caller keeps its resources).
u32 thread_queue_work(thread_queue *queue, thread_work_fn *fn, void *arg);
// Claims and runs at most one job: 1 when the ring was not empty (whether this thread won the
// claim or another did), 0 when it was empty.
u32 thread_do_work(thread_queue *queue);
// Runs jobs on the calling thread until every queued job has finished, then zeroes both counts.
void thread_complete_queue(thread_queue *queue);
// The worker's procedure.
void *thread_loop(void *info);

// ---- Teardown ----------------------------------------------------------------------------

// Stops and joins every worker. A running job finishes; jobs still in the ring are not run.
void thread_terminate(thread_queue *queue);

// ---- Naming ------------------------------------------------------------------------------

// Names the calling thread; the system keeps 15 bytes, cut at a character boundary.
void thread_set_name(const char *name);
