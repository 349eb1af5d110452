// The real program whose save at exit fails: it says why on standard error, its exit status is
// not zero, and it writes its log as usual.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../support/xvfb_server.h"

#ifdef QM_QUILLMERE_BINARY

namespace {

std::string contents_of(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Everything the test starts, ended on every way out of it.
struct started {
  xvfb_server server;
  pid_t app = -1;
  std::string folder;
  ~started() {
    if (app > 0) {
      kill(app, SIGKILL);
      waitpid(app, nullptr, 0);
    }
    xvfb_stop(&server);
    if (!folder.empty()) test_run({"rm", "-rf", folder.c_str()});
  }
};

TEST(SaveExitGui, a_save_at_exit_that_fails_says_why_and_ends_with_a_failure_status) {
  started s;
  ASSERT_TRUE(xvfb_start(&s.server));
  char tmpl[] = "/tmp/qm_save_exit_XXXXXX";
  s.folder = mkdtemp(tmpl);
  // No data folder can be made under a file.
  const std::string blocker = s.folder + "/a file", errors = s.folder + "/stderr.txt";
  std::ofstream(blocker) << "x";
  const std::string data = blocker + "/data";

  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  std::vector<const char *> args = {QM_QUILLMERE_BINARY, "-path", data.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, s.folder.c_str());
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int rc = posix_spawn(&s.app, args[0], &actions, nullptr, (char **)args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_EQ(rc, 0);
  ASSERT_TRUE(test_wait_for_window("Quillmere"));

  // The quit signal takes the window's normal way out: the last frame, then the save.
  kill(s.app, SIGTERM);
  int status = 0;
  pid_t ended = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((ended = waitpid(s.app, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    usleep(20000);
  ASSERT_EQ(ended, s.app) << "still running 60 s after the quit signal";
  s.app = -1;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  std::string err = contents_of(errors);
  EXPECT_NE(err.find("Error while saving the reader.\n "), std::string::npos) << err;
  EXPECT_NE(err.find("create data folder"), std::string::npos) << err;
  EXPECT_NE(contents_of(s.folder + "/log.txt").find("Error while saving the reader."), std::string::npos);
}

}  // namespace

#endif
