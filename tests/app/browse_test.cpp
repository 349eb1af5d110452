// "Browse" on the add page with a stand-in zenity: the answer reaches the box that asked, in a
// later frame, a cancel leaves it, and a second dialog is refused while one is open.
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "app/app.h"
#include "tests/support/isolation.h"

namespace {

std::string text(buffer b) { return std::string((const char *)b.data, b.used); }

struct browse : ::testing::Test {
  std::string root, saved_path;
  u8 list_bytes[APP_TEXT_FIELD_BYTES] = {};
  u8 export_bytes[APP_TEXT_FIELD_BYTES] = {};
  buffer list_box = buffer_make(sizeof list_bytes, 0, list_bytes);
  buffer export_box = buffer_make(sizeof export_bytes, 0, export_bytes);
  void SetUp() override {
    char t[] = "/tmp/qm_browse_XXXXXX";
    root = mkdtemp(t);
    saved_path = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", root.c_str(), 1);
    file_chooser_set_ways(file_chooser_use_programs);
  }
  void TearDown() override {
    setenv("PATH", saved_path.c_str(), 1);
    file_chooser_set_ways(file_chooser_use_all);
    unlink((root + "/zenity").c_str());
    rmdir(root.c_str());
  }
  void zenity(const std::string &answer, int code) {
    std::string path = root + "/zenity";
    std::ofstream(path) << "#!/bin/sh\n/bin/sleep 0.2\n"
                        << (answer.empty() ? "" : "printf '%s\\n' '" + answer + "'\n") << "exit " << code << "\n";
    chmod(path.c_str(), 0755);
  }
  // Frames of the add page until the dialog is closed.
  void frames_until_closed() {
    for (int i = 0; i < 2000 && file_chooser_is_open(); i++) {
      app_browse_poll();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    app_browse_poll();
  }
};

TEST_F(browse, the_answer_fills_the_box_that_asked_and_a_cancel_leaves_it) {
  zenity("/home/me/feeds.txt", 0);
  memcpy(export_bytes, "/keep/list.txt", 14);
  export_box.used = 14;
  EXPECT_TRUE(app_browse_file(&list_box, file_chooser_mode_open));
  EXPECT_FALSE(app_browse_file(&export_box, file_chooser_mode_save)) << "one dialog at a time";
  app_browse_poll();
  EXPECT_EQ(list_box.used, 0u) << "nothing before the answer";
  frames_until_closed();
  EXPECT_EQ(text(list_box), "/home/me/feeds.txt");
  EXPECT_EQ(text(export_box), "/keep/list.txt");

  zenity("", 1);
  EXPECT_TRUE(app_browse_file(&export_box, file_chooser_mode_save));
  frames_until_closed();
  EXPECT_EQ(text(export_box), "/keep/list.txt");
  EXPECT_EQ(text(list_box), "/home/me/feeds.txt");
  // The dialog is free again for the next box.
  zenity("/b.txt", 0);
  EXPECT_TRUE(app_browse_file(&export_box, file_chooser_mode_save));
  frames_until_closed();
  EXPECT_EQ(text(export_box), "/b.txt");
}

}  // namespace
