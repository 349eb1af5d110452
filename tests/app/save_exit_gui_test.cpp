// The real program whose save at exit fails: it says why on standard error, its exit status is
// not zero, and it writes its log as usual.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <string>

#include "tests/support/file_text.h"
#include "tests/support/process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/xvfb_server.h"

#ifdef QM_QUILLMERE_BINARY

namespace {

TEST(SaveExitGui, a_save_at_exit_that_fails_says_why_and_ends_with_a_failure_status) {
  // Declared in this order so the program ends before its server, and both before the folder goes.
  test_temp_folder folder("qm_save_exit");
  ASSERT_FALSE(folder.path.empty());
  xvfb_server server;
  ASSERT_TRUE(xvfb_start(&server));
  // No data folder can be made under a file.
  const std::string blocker = folder.path + "/a file", errors = folder.path + "/output.txt";
  std::ofstream(blocker) << "x";
  const std::string data = blocker + "/data";

  test_start_options options;
  options.folder = folder.path.c_str();
  options.output = errors.c_str();
  test_process app;
  ASSERT_FALSE(test_start_window_program(&app, {QM_QUILLMERE_BINARY, "-path", data.c_str()}, options, "Quillmere").empty())
      << "the window never came";

  // The quit signal takes the window's normal way out: the last frame, then the save.
  int status = 0;
  ASSERT_TRUE(app.stop(SIGTERM, &status)) << "still running long after the quit signal";
  xvfb_stop(&server);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  std::string err = test_file_text(errors);
  EXPECT_NE(err.find("Error while saving the reader.\n "), std::string::npos) << err;
  EXPECT_NE(err.find("create data folder"), std::string::npos) << err;
  EXPECT_NE(test_file_text(folder.path + "/log.txt").find("Error while saving the reader."), std::string::npos);
}

}  // namespace

#endif
