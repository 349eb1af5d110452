#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/isolation.h"

namespace {

// Workers append numbered lines (and now and then a block big enough to start a new chunk)
// while a reader keeps taking the newest chunk, as the log page does. Every view the reader
// gets must hold only whole lines, and bytes it has seen never change.
// The log is process-wide and the checks read all of it: they run in a fresh process, so text
// of earlier tests in this one cannot count.
TEST(log_concurrency, appends_from_many_threads_while_the_newest_chunk_is_read) {
  run_in_fresh_process([] {
    const int threads = 8;
    const int lines = 3000;
    std::atomic<bool> done{false};
    std::atomic<u64> views{0};

    std::thread reader([&] {
      buffer previous = {};
      std::string previous_copy;
      while (!done.load()) {
        buffer v = log_last_text();
        for (u64 i = 0; i < v.used; i++) {
          u8 c = v.data[i];
          ASSERT_TRUE(c == '\n' || c == ' ' || c == '=' || (c >= '0' && c <= '9') || c == 't') << (int)c;
        }
        if (v.used) {
          ASSERT_EQ(v.data[v.used - 1], '\n');
        }
        if (previous.data == v.data) {
          ASSERT_GE(v.used, previous.used);
          ASSERT_EQ(std::string((const char *)v.data, previous.used), previous_copy);
        }
        previous = v;
        previous_copy.assign((const char *)v.data, v.used);
        views.fetch_add(1);
      }
    });

    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
      workers.emplace_back([t] {
        std::string block(200000, '=');
        block.back() = '\n';
        for (int i = 0; i < lines; i++) {
          std::string line = "t" + std::to_string(t) + " " + std::to_string(i) + "\n";
          buffer v = log_append(line.data(), line.size());
          ASSERT_EQ(std::string((const char *)v.data, v.used), line);
          if (i % 500 == 0) log_append(block.data(), block.size());
        }
      });
    }
    for (std::thread &w : workers) w.join();
    done.store(true);
    reader.join();
    EXPECT_GT(views.load(), 0u);

    // Every thread's lines are all there, once each and in its own order.
    std::vector<buffer> chunks(log_chunk_list(nullptr, 0));
    log_chunk_list(chunks.data(), (u32)chunks.size());
    EXPECT_GT(chunks.size(), 1u);
    std::vector<int> next(threads, 0);
    for (buffer c : chunks) {
      std::string s((const char *)c.data, c.used);
      size_t at = 0;
      while (at < s.size()) {
        size_t end = s.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        if (s[at] == 't') {
          int t = 0, i = 0;
          ASSERT_EQ(sscanf(s.c_str() + at, "t%d %d", &t, &i), 2);
          ASSERT_EQ(i, next[t]) << "thread " << t;
          next[t]++;
        }
        at = end + 1;
      }
    }
    for (int t = 0; t < threads; t++) EXPECT_EQ(next[t], lines);
  });
}

}  // namespace
