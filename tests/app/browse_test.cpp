// "Browse" on the add page with a stand-in zenity: the answer reaches the box that asked, in a
// later frame, a cancel leaves it, and a second dialog is refused while one is open.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "app/app.h"
#include "tests/support/chooser_programs.h"
#include "tests/support/isolation.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait.h"

namespace {

std::string text(buffer b) { return std::string((const char *)b.data, b.used); }

struct browse : ::testing::Test {
  test_temp_folder root{"qm_browse"};
  std::string saved_path;
  test_chooser_programs programs;
  u8 list_bytes[APP_TEXT_FIELD_BYTES] = {};
  u8 export_bytes[APP_TEXT_FIELD_BYTES] = {};
  buffer list_box = buffer_make(sizeof list_bytes, 0, list_bytes);
  buffer export_box = buffer_make(sizeof export_bytes, 0, export_bytes);
  void SetUp() override {
    ASSERT_FALSE(root.path.empty());
    programs.folder = root.path;
    saved_path = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", root.path.c_str(), 1);
    file_chooser_set_ways(file_chooser_use_programs);
  }
  void TearDown() override {
    programs.release_all();
    frames_until_closed();
    setenv("PATH", saved_path.c_str(), 1);
    file_chooser_set_ways(file_chooser_use_all);
  }
  void zenity(const std::string &answer, int code, bool held = false) { programs.write("zenity", answer, code, held); }
  // Frames of the add page until the dialog is closed.
  void frames_until_closed() {
    test_wait_until([] {
      app_browse_poll();
      return !file_chooser_is_open();
    });
    app_browse_poll();
  }
};

TEST_F(browse, the_answer_fills_the_box_that_asked_and_a_cancel_leaves_it) {
  zenity("/home/me/feeds.txt", 0, true);
  memcpy(export_bytes, "/keep/list.txt", 14);
  export_box.used = 14;
  EXPECT_TRUE(app_browse_file(&list_box, file_chooser_mode_open));
  EXPECT_FALSE(app_browse_file(&export_box, file_chooser_mode_save)) << "one dialog at a time";
  ASSERT_TRUE(test_wait_until([&] { return programs.shown("zenity"); })) << "the chooser never started";
  app_browse_poll();
  EXPECT_EQ(list_box.used, 0u) << "nothing before the answer";
  programs.release("zenity");
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
