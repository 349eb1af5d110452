// Waiting for a state, never for a time. A test that needs something to have happened (a file
// written, a counter raised, a window shown, a child ended) polls for exactly that with
// test_wait_until and then asserts on the state it found:
//
//     ASSERT_TRUE(test_wait_until([&] { return server.requests() >= 3; })) << "no request came";
//
// The limit is far above any normal wait (a minute: the sanitizer builds on a machine whose
// every processor is busy still take a small part of that), so only a state that never comes
// runs it out. A test of a deadline measures with a clock started when the thing measured is
// known to be ready, and bounds it from above with a margin of test_deadline_margin.
#pragma once

#include <time.h>

#include <chrono>

// How long a test waits for a state before it gives up and fails.
inline constexpr std::chrono::milliseconds test_wait_limit{60000};
// What a loaded machine may add to a deadline the program keeps: a deadline of D must have
// ended the thing within D plus this, counted from its readiness.
inline constexpr std::chrono::milliseconds test_deadline_margin{10000};

// Polls the condition until it holds (true) or the limit has passed (false; the condition is
// asked once more at the end). The pauses between polls grow from 1 ms to the longest pause, so
// a state that comes at once costs little and a long wait does not spin; a test that stands for
// a frame loop (each poll is a frame) asks for a short longest pause.
template <typename F>
bool test_wait_until(F &&condition, std::chrono::milliseconds limit = test_wait_limit,
                     std::chrono::milliseconds longest_pause = std::chrono::milliseconds(50)) {
  auto give_up = std::chrono::steady_clock::now() + limit;
  long pause_ms = 1;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= give_up) return condition();
    struct timespec pause = {pause_ms / 1000, (pause_ms % 1000) * 1000000};
    nanosleep(&pause, nullptr);
    if (pause_ms < longest_pause.count()) pause_ms = pause_ms * 2 < longest_pause.count() ? pause_ms * 2 : longest_pause.count();
  }
}

// Seconds since the moment, on the monotonic clock.
inline double test_seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
