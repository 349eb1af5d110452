// The list filter of the real program: Ctrl+F opens it with the caret in its box, and its "X"
// button closes it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <string>

#include "tests/support/gui_program.h"
#include "tests/support/temp_folder.h"

#ifdef QM_QUILLMERE_BINARY

namespace {

// The filter's "X" button has the small id 2 in the left panel; it is there while the filter is.
const ui_dump_line *filter_close(const ui_dump &d) { return ui_dump_find(d, "", 2, "left_panel"); }

TEST(ListFilterGui, one_click_on_the_x_closes_the_filter_while_its_box_is_edited) {
  test_temp_folder folder("qm_list_filter");
  ASSERT_FALSE(folder.path.empty());
  std::string data = folder.path + "/data";
  gui_program gui;
  ASSERT_TRUE(gui.start({QM_QUILLMERE_BINARY, "-path", data.c_str()}, folder.path)) << "the window never answered";
  // What is typed goes to the box, and so does the C of every dump: the caret stays there.
  gui.tap("ctrl+f");
  gui.type("news");
  ui_dump d;
  ASSERT_TRUE(gui.dump_until([](const ui_dump &d) { return filter_close(d) != nullptr; }, &d)) << "Ctrl+F: no filter";
  const ui_dump_line *x = filter_close(d);
  gui.move((int)((x->x0 + x->x1) / 2), (int)(d[0].y1 - (x->y0 + x->y1) / 2));
  gui.button(true);
  gui.button(false);
  EXPECT_TRUE(gui.dump_until([](const ui_dump &d) { return filter_close(d) == nullptr; }))
      << "the filter is still open after one click on its X";
  int status = 0;
  ASSERT_TRUE(gui.quit(&status)) << "still running a minute after the quit signal";
  EXPECT_TRUE(WIFEXITED(status));
}

}  // namespace

#endif
