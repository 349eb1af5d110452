// The real program whose save at exit fails: it says why on standard error, its exit status is
// not zero, and it writes its log as usual. And the real program that leaves a save file at
// start: its window opens on the log page, whose line says which file, why and what the saves do.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <string>

#include "reader/save.h"
#include "tests/support/file_text.h"
#include "tests/support/gui_program.h"
#include "tests/support/process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_store.h"
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

// The newest save file cannot be read (a pipe under its name: no open of it is a read) and an
// older one loads.
TEST(SaveExitGui, a_save_file_left_at_start_opens_the_window_on_the_log_page) {
  test_temp_folder folder("qm_left_at_start");
  ASSERT_FALSE(folder.path.empty());
  const std::string data = folder.path + "/data", left = data + "/feed_data_20991231_000000.bin";
  {
    test_store older;
    ASSERT_TRUE(older.ok);
    ASSERT_TRUE(reader_save(&older.r, string_from_bytes(data.data(), data.size())));
  }
  ASSERT_EQ(mkfifo(left.c_str(), 0600), 0);

  gui_program gui;
  ASSERT_TRUE(gui.start({QM_QUILLMERE_BINARY, "-path", data.c_str()}, folder.path)) << "the window never answered";
  auto page_shown = [](const ui_dump &d) {
    return ui_dump_find(d, "log", 0, "right panel") || ui_dump_find(d, "", 5, "right panel");  // log, or add
  };
  ui_dump d;
  ASSERT_TRUE(gui.dump_until(page_shown, &d));
  EXPECT_TRUE(ui_dump_find(d, "log", 0, "right panel")) << "the start page is the log page";
  int status = 0;
  ASSERT_TRUE(gui.quit(&status)) << "still running long after the quit signal";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::string line = "Save file left as it is and never deleted by a save: " + left +
                           ". It could not be read (file_error_open). Saves of this run delete no save file.\n";
  EXPECT_NE(test_file_text(folder.path + "/log.txt").find(line), std::string::npos);
}

}  // namespace

#endif
