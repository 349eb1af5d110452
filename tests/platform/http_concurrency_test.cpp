// Downloads from several workers at once share only the session: each body lands in its own
// buffer, and each failure is one whole log line.
#include "platform/http.h"
#include "platform/log.h"
#include "platform/threads.h"
#include "profiler/profiler.h"
#include "tests/support/http_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

std::string body_for(const std::string &path) {
  u64 n = std::stoull(path.substr(1));
  std::string s(n, 0);
  for (u64 i = 0; i < n; i++) s[i] = (char)('a' + (i * 13 + n) % 26);
  return s;
}

struct job {
  std::string url;
  std::string expected;  // empty for a download that must fail
  std::vector<u8> memory;
  u32 error = 0;
  u64 used = 0;
};

void run_download(void *arg) {
  job *j = (job *)arg;
  http_file f = http_file_open(string_from_bytes(j->url.data(), j->url.size()), &j->error);
  j->memory.assign(f.content.size ? f.content.size : KiB(256), 0);
  f.content.data = j->memory.data();
  f.content.size = j->memory.size();
  http_file_get(&f, &j->error);
  j->used = f.content.used;
}

thread_queue queue;

TEST(http_concurrency, six_workers_download_at_once) {
  profiler_install_disabled();
  u32 error = 0;
  http_init(string_lit("quillmere"), &error);
  ASSERT_EQ(error, 0u);
  test_http_server server([](test_http_connection &c, const std::string &path) {
    if (path.rfind("/missing", 0) == 0) {
      c.send_response(404, "no");
      return;
    }
    c.send_response(200, body_for(path));
  });
  std::vector<job> jobs(120);
  for (u32 i = 0; i < jobs.size(); i++) {
    if (i % 10 == 3) {
      jobs[i].url = server.url("/missing" + std::to_string(i));
    } else {
      std::string path = "/" + std::to_string(1 + (i * 7919) % 150000);
      jobs[i].url = server.url(path);
      jobs[i].expected = body_for(path);
    }
  }
  thread_queue_create(&queue, 6);
  for (job &j : jobs) ASSERT_EQ(thread_queue_work(&queue, run_download, &j), 1u);
  thread_complete_queue(&queue);
  thread_terminate(&queue);

  buffer log = log_last_text();
  std::string text((const char *)log.data, log.used);
  for (job &j : jobs) {
    if (j.expected.empty()) {
      EXPECT_EQ(j.error, (u32)http_error_internet_open_url) << j.url;
      std::string line = "http_get_file error: " + j.url + " returned (5) http_error_internet_open_url: HTTP status 404\n";
      EXPECT_NE(text.find(line), std::string::npos) << line;
    } else {
      EXPECT_EQ(j.error, 0u) << j.url;
      EXPECT_EQ(std::string((const char *)j.memory.data(), j.used), j.expected) << j.url;
    }
  }
  http_terminate(&error);
  EXPECT_EQ(error, 0u);
}

}  // namespace
