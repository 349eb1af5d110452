// The real program against servers that never finish a download: one trickles its body, one
// sends nothing at all. A quit signal must still end the process within seconds, with the store
// saved.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/app.h"
#include "../support/http_server.h"
#include "../support/test_store.h"
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
    test_store seed;
    for (const std::string &url : {trickle.url("/feed"), stall.url("/feed")}) {
      feed *f = reader_new_feed(&seed.r, feed_type_rss);
      f->url = reader_add_string(&seed.r, text_of(url));
      reader_new_meta(&seed.r, f->id);
    }
    ASSERT_TRUE(reader_save(&seed.r, text_of(data)));
  }
  ASSERT_EQ(count_files(data, "feed_data_"), 1u);

  bool shown = false;
  pid_t app = test_start_window_program({QM_QUILLMERE_BINARY, "-path", data.c_str()}, folder, "Quillmere", &shown);
  ASSERT_GT(app, 0);
  EXPECT_TRUE(shown);
  // F5 updates every feed.
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
  test_store after;
  EXPECT_NE(reader_load(&after.r, text_of(data)), 0u);
  EXPECT_EQ(after.live_feeds(), 2u);
  xvfb_stop(&server);
  test_run({"rm", "-rf", folder.c_str()});
}

}  // namespace

#endif
