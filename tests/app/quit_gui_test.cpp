// The real program against servers that never finish a download: one trickles its body, one
// sends nothing at all. A quit signal must still end the process within seconds, with the store
// saved.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include "app/app.h"
#include "tests/support/gui_program.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_store.h"

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

// Transfers end within a fraction of a second of the quit, and the save follows; the low-speed
// limit that would otherwise end the stalled one takes 30 s.
constexpr std::chrono::seconds quit_deadline{2};

TEST(QuitGui, a_quit_signal_abandons_trickling_and_stalled_downloads_and_saves) {
  // 20 bytes a second of a body announced far longer: fast enough for every low-speed limit.
  std::atomic<bool> inside_body{false};
  test_http_server trickle([&](test_http_connection &c, const std::string &) {
    if (!c.send_head(200, "Content-Length: 100000\r\n") || !c.send_text("x")) return;
    // The download is under way once it has taken the header and the first byte.
    if (c.wait_until_taken()) inside_body = true;
    while (c.send_text("x")) usleep(50000);
  });
  test_http_server stall([](test_http_connection &c, const std::string &) { c.stall(); });

  test_temp_folder folder("qm_quit_gui");
  ASSERT_FALSE(folder.path.empty());
  std::string data = folder.path + "/data";
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

  gui_program gui;
  ASSERT_TRUE(gui.start({QM_QUILLMERE_BINARY, "-path", data.c_str()}, folder.path)) << "the window never answered";
  // F5 updates every feed.
  gui.key("F5");
  ASSERT_TRUE(test_wait_until([&] { return inside_body.load() && stall.requests() > 0; }))
      << "the downloads never got under way";

  // The clock starts with the signal, sent once both transfers are known to be running.
  auto signalled = std::chrono::steady_clock::now();
  int status = 0;
  ASSERT_TRUE(gui.quit(&status)) << "still running a minute after the quit signal";
  EXPECT_LT(test_seconds_since(signalled), std::chrono::duration<double>(quit_deadline + test_deadline_margin).count());
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  trickle.stop();
  stall.stop();

  // The exit wrote a second save file, and it holds both feeds.
  EXPECT_EQ(count_files(data, "feed_data_"), 2u);
  test_store after;
  EXPECT_NE(reader_load(&after.r, text_of(data)), 0u);
  EXPECT_EQ(after.live_feeds(), 2u);
}

}  // namespace

#endif
