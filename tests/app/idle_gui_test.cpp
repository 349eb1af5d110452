// The real program with its window open and nothing to do (no input, no download, no caret or
// other animation on the page): every thread sleeps until something comes. Each time a thread
// blocks after running, the kernel counts a voluntary context switch; the program is at rest when
// all its threads together count almost none over a span of seconds.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

#include <chrono>
#include <deque>
#include <fstream>
#include <string>
#include <utility>

#include "tests/support/gui_program.h"
#include "tests/support/temp_folder.h"

#ifdef QM_QUILLMERE_BINARY

namespace {

// The voluntary context switches of all the process's threads so far.
u64 voluntary_switches(pid_t pid) {
  u64 total = 0;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR *d = opendir(tasks.c_str());
  if (!d) return 0;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream status(tasks + "/" + e->d_name + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += strtoull(line.c_str() + 24, nullptr, 10);
    }
  }
  closedir(d);
  return total;
}

TEST(IdleGui, an_idle_window_leaves_every_thread_asleep) {
  test_temp_folder folder("qm_idle");
  ASSERT_FALSE(folder.path.empty());
  std::string data = folder.path + "/data";
  gui_program gui;
  ASSERT_TRUE(gui.start({QM_QUILLMERE_BINARY, "-path", data.c_str()}, folder.path)) << "the window never answered";

  // At most two wake-ups a second over all threads, for a span of seconds: a thread that wakes
  // on a clock makes several a second, however busy the machine, and a sleeping one none at all.
  const auto span = std::chrono::seconds(3);
  const u64 most = 6;
  std::deque<std::pair<std::chrono::steady_clock::time_point, u64>> samples;
  u64 woken = 0;
  bool rested = test_wait_until([&] {
    auto now = std::chrono::steady_clock::now();
    u64 count = voluntary_switches(gui.program.pid);
    // A thread that ended takes its count along: the spans start again.
    if (!samples.empty() && count < samples.back().second) samples.clear();
    samples.emplace_back(now, count);
    // The newest sample at least a span old starts the span that ends now.
    while (samples.size() > 1 && now - samples[1].first >= span) samples.pop_front();
    if (now - samples.front().first < span) return false;
    woken = count - samples.front().second;
    return woken <= most;
  });
  EXPECT_TRUE(rested) << "the idle program's threads woke " << woken << " times in " << span.count() << " s";
  EXPECT_TRUE(gui.program.running());

  int status = 0;
  EXPECT_TRUE(gui.quit(&status)) << "still running a minute after the quit signal";
}

}  // namespace

#endif
