// The document buffers of the fetch jobs: a small pool of reservations, each as large as the
// largest document, into which local files and downloads are read. A buffer keeps the pages it
// has committed from one document to the next, so a batch of fetches faults its memory in once
// instead of once per document; the pages above a bound go back when a buffer returns, and all of
// them once the batch is done.
//
// A worker takes a buffer before it reads and the UI thread gives it back when it has parsed the
// document, so at most FETCH_BUFFER_COUNT documents are held at a time. While every buffer is out
// a worker waits for one to come back (the UI thread parses documents at its own pace; reading
// further ahead only costs memory), but never for long: after FETCH_BUFFER_WAIT_MS, or at once
// when downloads are abandoned at quit, it reads into a block of its own as before.
#include "reader/fetch.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

static_assert(FETCH_BUFFER_COUNT < 32, "the buffers out are bits of one word");

static struct {
  std::mutex lock;
  std::condition_variable returned;
  // Made at the first take: FETCH_BUFFER_COUNT arenas of FETCH_DOCUMENT_MAX bytes of address
  // space each. A failed reservation is not tried again; the jobs then read into blocks of their
  // own.
  u32 reserve_tried;
  bool reserved;
  arena buffers[FETCH_BUFFER_COUNT];
  u32 out;  // bit i: buffer i is held by a job or a done slot
#if QM_TEST_HOOKS
  u32 wait_ms = FETCH_BUFFER_WAIT_MS;
  fetch_buffer_counts counts;
#endif
} fetch_pool;

#if QM_TEST_HOOKS
void fetch_buffers_set_wait(u32 ms) {
  std::lock_guard<std::mutex> hold(fetch_pool.lock);
  fetch_pool.wait_ms = ms;
}
#define FETCH_POOL_WAIT_MS fetch_pool.wait_ms
#else
#define FETCH_POOL_WAIT_MS FETCH_BUFFER_WAIT_MS
#endif

static bool fetch_pool_ready() {
  if (fetch_pool.reserved) return true;
  if (fetch_pool.reserve_tried) return false;
  fetch_pool.reserve_tried = 1;
  // Quiet: a document past the limit is refused, and logged, before it is read.
  for (u32 i = 0; i < FETCH_BUFFER_COUNT; i++) {
    arena *a = &fetch_pool.buffers[i];
    if (!arena_reserve(a, FETCH_DOCUMENT_MAX, 0, 0, "Document buffer", arena_flag_quiet)) {
      for (u32 k = 0; k < i; k++) arena_release(&fetch_pool.buffers[k]);
      return false;
    }
  }
  fetch_pool.reserved = true;
  return true;
}

arena *fetch_buffer_take() {
  std::unique_lock<std::mutex> hold(fetch_pool.lock);
  if (!fetch_pool_ready()) return nullptr;
  const u32 all = (1u << FETCH_BUFFER_COUNT) - 1;
  auto start = std::chrono::steady_clock::now();
  if (fetch_pool.out == all) WORK_COUNT(fetch_pool.counts.waits, 1);
  while (fetch_pool.out == all) {
    // The bound is read afresh: a shorter one set meanwhile ends the wait too.
    if (http_abandoned() || std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(FETCH_POOL_WAIT_MS)) {
      WORK_COUNT(fetch_pool.counts.own_blocks, 1);
      return nullptr;
    }
    WORK_COUNT(fetch_pool.counts.waiting, 1);
    // Woken by a return; the slices also see an abandon that no return follows.
    fetch_pool.returned.wait_for(hold, std::chrono::milliseconds(50));
    WORK_COUNT(fetch_pool.counts.waiting, -1);
  }
  // The lowest free buffer: the ones used most keep their pages warm.
  u32 i = (u32)__builtin_ctz(~fetch_pool.out & all);
  fetch_pool.out |= 1u << i;
  WORK_COUNT(fetch_pool.counts.takes, 1);
  return &fetch_pool.buffers[i];
}

bool fetch_buffer_commit(arena *b, u64 size) {
  buffer view = arena_view(b);
  return arena_make_room(b, &view, size, 1);
}

// Under the lock.
static void fetch_buffer_return(u32 i) {
  invariant(i < FETCH_BUFFER_COUNT && (fetch_pool.out & (1u << i)));
  // What a large document needed is given back at once; a common one's pages stay for the next.
  arena_give_back(&fetch_pool.buffers[i], nullptr, FETCH_BUFFER_KEEP);
  fetch_pool.out &= ~(1u << i);
}

void fetch_buffer_give_back(arena *b) {
  {
    std::lock_guard<std::mutex> hold(fetch_pool.lock);
    fetch_buffer_return((u32)(b - fetch_pool.buffers));
  }
  fetch_pool.returned.notify_one();
}

void fetch_document_free(buffer *document) {
  const u8 *data = document->data;
  bool pooled = false;
  {
    std::lock_guard<std::mutex> hold(fetch_pool.lock);
    for (u32 i = 0; data && fetch_pool.reserved && i < FETCH_BUFFER_COUNT && !pooled; i++) {
      if (data == fetch_pool.buffers[i].memory.data) {
        fetch_buffer_return(i);
        pooled = true;
      }
    }
  }
  if (pooled) fetch_pool.returned.notify_one();
  else memory_free(document);
  *document = buffer{};
}

void fetch_buffers_release() {
  std::lock_guard<std::mutex> hold(fetch_pool.lock);
  for (u32 i = 0; i < FETCH_BUFFER_COUNT; i++) {
    if (!(fetch_pool.out & (1u << i))) arena_give_back(&fetch_pool.buffers[i], nullptr, 0);
  }
}

#if QM_TEST_HOOKS
// A buffer that is out belongs to its holder, who grows it without the lock: only the others
// are counted.
static u64 fetch_pool_kept() {
  u64 n = 0;
  for (u32 i = 0; i < FETCH_BUFFER_COUNT; i++)
    if (!(fetch_pool.out & (1u << i))) n += fetch_pool.buffers[i].memory.used;
  return n;
}

fetch_buffer_counts fetch_buffers_counts() {
  std::lock_guard<std::mutex> hold(fetch_pool.lock);
  fetch_buffer_counts c = fetch_pool.counts;
  c.out = (u32)__builtin_popcount(fetch_pool.out);
  c.kept = fetch_pool_kept();
  return c;
}
#endif
