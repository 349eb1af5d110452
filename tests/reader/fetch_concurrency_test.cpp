#include "tests/reader/fetch_fixture.h"

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

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

// More requests in flight than document buffers: six workers share the twelve buffers with the
// done slots that hold them, each document lands whole in a buffer of its own, and every buffer
// is back once the batch is handled.
TEST_F(FetchConcurrency, workers_share_the_document_buffers_with_the_done_slots) {
  // No job gives up waiting, however slow the sanitizer makes the parser's stand-in.
  fetch_buffers_set_wait(600000);
  std::string path = "/tmp/quillmere_fetch_buffers_" + std::to_string(getpid());
  const u32 files = 40;
  std::vector<std::string> documents;
  for (u32 k = 0; k < files; k++) {
    std::string d = "<feed n=\"" + std::to_string(k) + "\">" + std::string(1 + (k * 7919) % 300000, 'a' + k % 26) + "</feed>";
    std::ofstream out(path + "_" + std::to_string(k), std::ios::binary);
    out << d;
    documents.push_back(d);
  }
  context.query_count = 64;
  fetch_buffer_counts before = fetch_buffers_counts();
  const u32 total = 600;
  u32 requested = 0, handled = 0, next = 0;
  while (handled < total) {
    // A file still on its way is not asked for again: one turn over the files at most.
    for (u32 tries = 0; tries < files && requested < total && query_find_free(fetch_slots, context.query_count); tries++) {
      u32 k = next++ % files;
      fetch_request_result result = app_add_feed(&context, &r, text_of(path + "_" + std::to_string(k)));
      ASSERT_TRUE(result == fetch_request_queued || result == fetch_request_pending) << result;
      requested += result == fetch_request_queued;
    }
    ASSERT_LE(fetch_buffers_counts().out, (u32)FETCH_BUFFER_COUNT);
    for (u32 i = 0; i < context.query_count; i++) {
      query *q = &fetch_slots[i];
      if (__atomic_load_n(&q->state, __ATOMIC_ACQUIRE) != query_state_done) continue;
      ASSERT_EQ(q->error, 0u);
      std::string url = to_std(q->url);
      u32 k = (u32)std::stoul(url.substr(url.rfind('_') + 1));
      ASSERT_TRUE(to_std(q->result) == documents[k]) << url;
      query_release(q, &urls);
      handled++;
    }
  }
  thread_complete_queue(&fetch_queue);
  fetch_buffer_counts after = fetch_buffers_counts();
  EXPECT_EQ(after.takes - before.takes, total);
  EXPECT_EQ(after.own_blocks, before.own_blocks);
  EXPECT_EQ(after.out, 0u);
  fetch_buffers_release();
  EXPECT_EQ(fetch_buffers_counts().kept, 0u);
  for (u32 k = 0; k < files; k++) unlink((path + "_" + std::to_string(k)).c_str());
}
