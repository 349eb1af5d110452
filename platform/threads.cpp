#include "platform/threads.h"

#include "profiler/profiler.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

// ---- Synchronisation ---------------------------------------------------------------------

void thread_semaphore_create(thread_semaphore *semaphore, u32 initial) { sem_init(semaphore, 0, initial); }

void thread_semaphore_destroy(thread_semaphore *semaphore) { sem_destroy(semaphore); }

void thread_semaphore_release(thread_semaphore *semaphore, u32 count) {
  for (u32 i = 0; i < count; i++) sem_post(semaphore);
}

void thread_semaphore_wait(thread_semaphore *semaphore) {
  while (sem_wait(semaphore) != 0 && errno == EINTR) {
  }
}

void thread_event_create(thread_event *event) {
  pthread_mutex_init(&event->mutex, nullptr);
  pthread_cond_init(&event->condition, nullptr);
  event->signalled = 0;
}

void thread_event_destroy(thread_event *event) {
  pthread_cond_destroy(&event->condition);
  pthread_mutex_destroy(&event->mutex);
}

void thread_event_signal(thread_event *event) {
  pthread_mutex_lock(&event->mutex);
  event->signalled = 1;
  pthread_cond_signal(&event->condition);
  pthread_mutex_unlock(&event->mutex);
}

void thread_event_wait(thread_event *event) {
  pthread_mutex_lock(&event->mutex);
  while (!event->signalled) pthread_cond_wait(&event->condition, &event->mutex);
  event->signalled = 0;  // auto-reset: this wait takes the signal
  pthread_mutex_unlock(&event->mutex);
}

// ---- Naming ------------------------------------------------------------------------------

void thread_set_name(const char *name) {
  // The system keeps at most 15 bytes; a cut inside a UTF-8 sequence would leave a broken one.
  char local[16];
  u64 n = strlen(name);
  if (n > 15) {
    n = 15;
    while (n > 0 && ((u8)name[n] & 0xC0) == 0x80) n--;
  }
  memcpy(local, name, n);
  local[n] = 0;
  pthread_setname_np(pthread_self(), local);
}

// ---- Creation ----------------------------------------------------------------------------

u64 thread_queue_create(thread_queue *queue, u64 count) {
  if (count > THREAD_QUEUE_MAX_THREADS) count = THREAD_QUEUE_MAX_THREADS;
  queue->read_index.store(0, std::memory_order_relaxed);
  queue->write_index.store(0, std::memory_order_relaxed);
  queue->completed_count.store(0, std::memory_order_relaxed);
  queue->queued_count.store(0, std::memory_order_relaxed);
  queue->terminate.store(0, std::memory_order_relaxed);
  queue->exited_count.store(0, std::memory_order_relaxed);
  queue->thread_count = (u32)count;
  thread_semaphore_create(&queue->semaphore, 0);
  thread_event_create(&queue->completed_event);
  thread_event_create(&queue->terminated_event);

  for (u32 i = 0; i < THREAD_QUEUE_MAX_THREADS; i++) queue->started[i] = 0;
  for (u32 i = 0; i < count; i++) {
    thread_info *info = &queue->threads[i];
    info->queue = queue;
    info->index = i;
    info->thread_id = 0;
    info->waiting.store(0, std::memory_order_relaxed);
    // A thread that cannot be created is left out; the others still run the queue, and the
    // count of exits to wait for is the count that started.
    if (pthread_create(&queue->handles[i], nullptr, thread_loop, info) == 0) {
      queue->started[i] = 1;
    } else {
      queue->exited_count.fetch_add(1, std::memory_order_acq_rel);
    }
  }
  return count;
}

// ---- Use ---------------------------------------------------------------------------------

u32 thread_queue_work(thread_queue *queue, thread_work_fn *fn, void *arg) {
  PROFILE_ZONE(zone_thread_queue_work);
  u64 w = queue->write_index.load(std::memory_order_relaxed);
  if (w - queue->read_index.load(std::memory_order_acquire) >= THREAD_QUEUE_SIZE) return 0;
  thread_work *slot = &queue->ring[w % THREAD_QUEUE_SIZE];
  slot->fn.store(fn, std::memory_order_relaxed);
  slot->arg.store(arg, std::memory_order_relaxed);
  queue->queued_count.fetch_add(1, std::memory_order_relaxed);
  // The slot and the count are visible before the new write index.
  queue->write_index.store(w + 1, std::memory_order_release);
  {
    PROFILE_ZONE(zone_thread_queue_signal);
    thread_semaphore_release(&queue->semaphore, 1);
  }
  return 1;
}

u32 thread_do_work(thread_queue *queue) {
  PROFILE_ZONE(zone_thread_do_work);
  u64 r = queue->read_index.load(std::memory_order_acquire);
  if (r == queue->write_index.load(std::memory_order_acquire)) return 0;
  thread_work *slot = &queue->ring[r % THREAD_QUEUE_SIZE];
  thread_work_fn *fn = slot->fn.load(std::memory_order_relaxed);
  void *arg = slot->arg.load(std::memory_order_relaxed);
  // Succeeds only while job r is still unclaimed, and the producer refills its slot only after
  // the index has passed r: what was read above is job r.
  if (!queue->read_index.compare_exchange_strong(r, r + 1, std::memory_order_acq_rel,
                                                 std::memory_order_relaxed)) {
    return 1;
  }
  {
    PROFILE_ZONE(zone_thread_user_function);
    fn(arg);
  }
  u64 c = queue->completed_count.fetch_add(1, std::memory_order_acq_rel) + 1;
  if (c == queue->queued_count.load(std::memory_order_acquire)) {
    PROFILE_ZONE(zone_thread_queue_completed_signal);
    thread_event_signal(&queue->completed_event);
  }
  return 1;
}

void *thread_loop(void *argument) {
  thread_info *info = (thread_info *)argument;
  thread_queue *queue = info->queue;
  u32 error = 0;
  profiler_api.thread_register(profiler_thread_kind_worker_thread, 1000, &error);
  thread_set_name("Worker thread");
  // Published after the name, so whoever sees the id also sees the thread named.
  __atomic_store_n(&info->thread_id, (u32)gettid(), __ATOMIC_RELEASE);

  while (queue->terminate.load(std::memory_order_acquire) == 0) {
    profile_frame_begin(zone_thread_loop);
    if (thread_do_work(queue) == 0) {
      info->waiting.store(1, std::memory_order_relaxed);
      {
        PROFILE_ZONE(zone_thread_wait_for_work);
        thread_semaphore_wait(&queue->semaphore);
      }
      info->waiting.store(0, std::memory_order_relaxed);
    }
    profile_frame_end(zone_thread_loop);
  }

  u32 e = queue->exited_count.fetch_add(1, std::memory_order_acq_rel) + 1;
  if (e == queue->thread_count) {
    { PROFILE_ZONE(zone_thread_queue_terminated_signal); }
    thread_event_signal(&queue->terminated_event);
  }
  return nullptr;
}

void thread_complete_queue(thread_queue *queue) {
  PROFILE_ZONE(zone_thread_complete_queue);
  while (queue->completed_count.load(std::memory_order_acquire) !=
         queue->queued_count.load(std::memory_order_relaxed)) {
    if (thread_do_work(queue) == 0) {
      // The ring is empty but jobs still run on workers; the last of them signals. A signal
      // left over from an earlier round only costs one more turn of the loop.
      PROFILE_ZONE(zone_thread_wait_for_completion);
      thread_event_wait(&queue->completed_event);
    }
  }
  queue->completed_count.store(0, std::memory_order_relaxed);
  queue->queued_count.store(0, std::memory_order_relaxed);
}

// ---- Teardown ----------------------------------------------------------------------------

void thread_terminate(thread_queue *queue) {
  PROFILE_ZONE(zone_thread_terminate);
  u32 started = 0;
  for (u32 i = 0; i < queue->thread_count; i++) started += queue->started[i];
  {
    PROFILE_ZONE(zone_thread_terminate_signal);
    queue->terminate.fetch_add(1, std::memory_order_acq_rel);
    // One release per worker: each takes at most one before it sees terminate and leaves.
    thread_semaphore_release(&queue->semaphore, started);
  }
  if (started > 0) {
    while (queue->exited_count.load(std::memory_order_acquire) != queue->thread_count) {
      PROFILE_ZONE(zone_thread_wait_for_termination);
      thread_event_wait(&queue->terminated_event);
    }
  }
  for (u32 i = 0; i < queue->thread_count; i++) {
    if (queue->started[i]) pthread_join(queue->handles[i], nullptr);
    queue->started[i] = 0;
  }
  thread_semaphore_destroy(&queue->semaphore);
  thread_event_destroy(&queue->completed_event);
  thread_event_destroy(&queue->terminated_event);
}
