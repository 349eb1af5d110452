// Keeping a test independent of the tests that ran before it in the same process: a view of what
// the global log received since a mark, and a way to run a body in a process of its own when it
// needs state the program reads once per process (an environment variable, the user's locale).
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "platform/log.h"

// Where the log stood when the mark was taken.
struct log_mark {
  const u8 *chunk;
  u64 used;
};

inline log_mark log_mark_now() {
  buffer b = log_last_text();
  return log_mark{b.data, b.used};
}

// The text appended since the mark. A text never spans two chunks, so when a new chunk began the
// newest chunk holds only later text (what the older one took after the mark is lost here; the
// chunks are a mebibyte each, far beyond what a test writes).
inline std::string log_since(log_mark mark) {
  buffer b = log_last_text();
  if (b.data == mark.chunk && b.used >= mark.used) return std::string((const char *)b.data + mark.used, b.used - mark.used);
  return std::string((const char *)b.data, b.used);
}

inline u64 log_count_since(log_mark mark, const std::string &needle) {
  std::string text = log_since(mark);
  u64 n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) n++;
  return n;
}

// Runs the body in a fresh run of this test program that executes only the current test (a
// "threadsafe" death test re-executes the binary), so nothing an earlier test did in this
// process is seen. Everything the test did before the call runs again in that process; the
// body's checks report there and the child's exit status carries whether any failed.
inline void run_in_fresh_process(const std::function<void()> &body) {
  std::string previous_style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        body();
        fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
  GTEST_FLAG_SET(death_test_style, previous_style);
}

// A test of process-wide state that cannot be put back (the profiler's runtime is started once
// per process): its body runs in a fresh process, as by run_in_fresh_process. Written like TEST.
#define TEST_IN_FRESH_PROCESS(suite, name)                                     \
  static void suite##_##name##_fresh_body();                                   \
  TEST(suite, name) { run_in_fresh_process(suite##_##name##_fresh_body); }     \
  static void suite##_##name##_fresh_body()
