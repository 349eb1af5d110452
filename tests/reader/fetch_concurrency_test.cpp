#include "tests/reader/fetch_fixture.h"

#include <unistd.h>

#include <fstream>

class FetchConcurrency : public Fetch {
 protected:
  void SetUp() override {
    workers = 6;
    Fetch::SetUp();
  }
};

// The UI thread hands every done slot back and fills it again at once, so a worker that touched
// its slot after marking it done would meet the next request's writes (ThreadSanitizer sees it).
TEST_F(FetchConcurrency, done_slots_are_reused_while_workers_finish) {
  std::string path = "/tmp/quillmere_fetch_concurrency_" + std::to_string(getpid());
  const std::string document = "<feed>same bytes for every job</feed>";
  // One file more than slots: a file still on its way is not asked for again, another one is.
  const u32 files = 5;
  for (u32 k = 0; k < files; k++) {
    std::ofstream out(path + "_" + std::to_string(k), std::ios::binary);
    out << document;
  }
  // Few slots, so the same ones come back again and again.
  context.query_count = 4;
  const u32 total = 3000;
  u32 requested = 0, handled = 0, next = 0;
  while (handled < total) {
    while (requested < total && query_find_free(fetch_slots, context.query_count)) {
      fetch_request_result result = app_add_feed(&context, &r, text_of(path + "_" + std::to_string(next++ % files)));
      ASSERT_TRUE(result == fetch_request_queued || result == fetch_request_pending) << result;
      requested += result == fetch_request_queued;
    }
    for (u32 i = 0; i < context.query_count; i++) {
      query *q = &fetch_slots[i];
      if (__atomic_load_n(&q->state, __ATOMIC_ACQUIRE) != query_state_done) continue;
      ASSERT_EQ(q->error, 0u);
      ASSERT_EQ(to_std(q->result), document);
      ASSERT_EQ(to_std(q->url).substr(0, path.size() + 1), path + "_");
      query_release(q, &urls);
      handled++;
    }
  }
  thread_complete_queue(&fetch_queue);
  EXPECT_EQ(fetch_wakes.load(), total);
  for (u32 k = 0; k < files; k++) unlink((path + "_" + std::to_string(k)).c_str());
}
