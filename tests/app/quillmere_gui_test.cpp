// Starts the real program on a private X server with its own data folder, presses a few keys,
// takes a screenshot, asks it to quit and checks that it saved the store and wrote its log.
#include <gtest/gtest.h>

#include <dirent.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../support/xvfb_server.h"

#ifdef QM_QUILLMERE_BINARY

namespace {

bool has_file(const std::string &folder, const std::string &prefix) {
  bool found = false;
  if (DIR *d = opendir(folder.c_str())) {
    while (dirent *e = readdir(d)) found |= std::string(e->d_name).rfind(prefix, 0) == 0;
    closedir(d);
  }
  return found;
}

TEST(QuillmereGui, starts_takes_keys_and_saves_at_quit) {
  xvfb_server server;
  ASSERT_TRUE(xvfb_start(&server));
  char tmpl[] = "/tmp/qm_gui_XXXXXX";
  std::string folder = mkdtemp(tmpl);
  std::string data = folder + "/data";
  // The system's GL and X libraries keep caches for the process that the leak checker reports.
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  // The program runs from the test folder, so its relative files ("log.txt") land there.
  pid_t app = test_spawn({QM_QUILLMERE_BINARY, "-path", data.c_str()}, -1, -1, folder.c_str());
  ASSERT_GT(app, 0);
  bool shown = test_wait_for_window("Quillmere");
  EXPECT_TRUE(shown);
  usleep(500000);
  // No window manager gives the focus: the pointer over the window does.
  test_run({"xdotool", "mousemove", "960", "540"});
  test_run({"xdotool", "key", "F1"});
  usleep(300000);
  test_run({"xdotool", "key", "F3"});
  usleep(300000);
  test_run({"xdotool", "key", "F2"});
  // The URL box, below the two rows of the right button bar at this width.
  test_run({"xdotool", "mousemove", "1100", "292", "click", "1"});
  test_run({"xdotool", "type", "http://example.invalid/feed"});
  usleep(500000);
  std::string shot = std::string(QM_SCREENSHOT_FOLDER) + "/quillmere_gui.png";
  test_run({"import", "-window", "root", shot.c_str()});
  // The quit signal takes the window's normal way out: the last frame, then the save.
  kill(app, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(app, &status, 0), app);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(has_file(data, "feed_data_"));
  EXPECT_TRUE(has_file(folder, "log.txt"));
  xvfb_stop(&server);
  test_run({"rm", "-rf", folder.c_str()});
}

}  // namespace

#endif
