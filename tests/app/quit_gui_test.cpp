// The real program against servers that never finish a download: one trickles its body, one
// sends nothing at all. A quit signal must still end the process within seconds, with the store
// saved.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "app/app.h"
#include "../support/http_server.h"
#include "../support/xvfb_server.h"

#ifdef QM_QUILLMERE_BINARY

namespace {

buffer text_of(const std::string &s) { return string_from_bytes(s.data(), s.size()); }

u32 count_files(const std::string &folder, const std::string &prefix) {
  u32 n = 0;
  if (DIR *d = opendir(folder.c_str())) {
    while (dirent *e = readdir(d)) n += std::string(e->d_name).rfind(prefix, 0) == 0;
    closedir(d);
  }
  return n;
}

// A store of the given feeds, saved into the folder; or, with no URLs, the live feeds of the
// newest save file there.
struct saved_store {
  reader r = {};
  codepoint_set set = {};
  buffer set_memory = {};
  saved_store() {
    u32 error = 0;
    reader_init(&r, &error);
    set_memory = memory_alloc(CODEPOINT_SET_MEMORY, nullptr);
    codepoint_set_init(&set, &set_memory);
    r.codepoints = &set;
  }
  ~saved_store() {
    reader_destroy(&r);
    memory_free(&set_memory);
  }
  void add(const std::string &url) {
    feed *f = reader_new_feed(&r, feed_type_rss);
    f->url = reader_add_string(&r, text_of(url));
    reader_new_meta(&r, f->id);
  }
  u32 live_feeds() {
    u32 n = 0;
    pool_iterator it = pool_iterator_init(&r.feeds, sizeof(feed), feed_is_live);
    while (pool_iterator_next(&it)) n++;
    return n;
  }
};

pid_t spawn_in(const std::vector<const char *> &args, const std::string &folder) {
  std::vector<char *> argv;
  for (const char *a : args) argv.push_back((char *)a);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

TEST(QuitGui, a_quit_signal_abandons_trickling_and_stalled_downloads_and_saves) {
  // 20 bytes a second of a body announced far longer: fast enough for every low-speed limit.
  test_http_server trickle([](test_http_connection &c, const std::string &) {
    if (!c.send_head(200, "Content-Length: 100000\r\n")) return;
    while (c.send_text("x")) usleep(50000);
  });
  test_http_server stall([](test_http_connection &c, const std::string &) { c.stall(); });

  xvfb_server server;
  ASSERT_TRUE(xvfb_start(&server));
  char tmpl[] = "/tmp/qm_quit_gui_XXXXXX";
  std::string folder = mkdtemp(tmpl);
  std::string data = folder + "/data";
  {
    saved_store seed;
    seed.add(trickle.url("/feed"));
    seed.add(stall.url("/feed"));
    ASSERT_TRUE(reader_save(&seed.r, text_of(data)));
  }
  ASSERT_EQ(count_files(data, "feed_data_"), 1u);

  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  pid_t app = spawn_in({QM_QUILLMERE_BINARY, "-path", data.c_str()}, folder);
  ASSERT_GT(app, 0);
  bool shown = false;
  for (int i = 0; i < 300 && !shown; i++) {
    shown = test_run({"xdotool", "search", "--name", "Quillmere"}) == 0;
    if (!shown) usleep(100000);
  }
  EXPECT_TRUE(shown);
  usleep(500000);
  // The pointer over the window gives it the focus; F5 updates every feed.
  test_run({"xdotool", "mousemove", "960", "540"});
  bool fetching = false;
  for (int i = 0; i < 100 && !fetching; i++) {
    if (i % 20 == 0) test_run({"xdotool", "key", "F5"});
    usleep(100000);
    fetching = trickle.requests() > 0 && stall.requests() > 0;
  }
  EXPECT_TRUE(fetching);
  usleep(500000);  // the trickle is well inside its body by now

  kill(app, SIGTERM);
  auto start = std::chrono::steady_clock::now();
  int status = 0;
  pid_t ended = 0;
  while ((ended = waitpid(app, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
    usleep(20000);
  }
  EXPECT_EQ(ended, app) << "still running 3 s after the quit signal";
  if (ended != app) {
    kill(app, SIGKILL);
    waitpid(app, &status, 0);
  } else {
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  trickle.stop();
  stall.stop();

  // The exit wrote a second save file, and it holds both feeds.
  EXPECT_EQ(count_files(data, "feed_data_"), 2u);
  saved_store after;
  EXPECT_NE(reader_load(&after.r, text_of(data)), 0u);
  EXPECT_EQ(after.live_feeds(), 2u);
  xvfb_stop(&server);
  test_run({"rm", "-rf", folder.c_str()});
}

}  // namespace

#endif
