// Starts the real program on a private X server with its own data folder, switches pages with
// its keys, types into the URL box, takes a screenshot, asks it to quit and checks that it saved
// the store and wrote its log.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>

#include <string>

#include "tests/support/gui_program.h"
#include "tests/support/temp_folder.h"

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

// The add page's "Add" button for a URL has the small id 5; the links page names its boxes.
bool on_add_page(const ui_dump &d) { return ui_dump_find(d, "", 5, "right panel") != nullptr; }
bool on_links_page(const ui_dump &d) { return ui_dump_find(d, "executable", 0, "right panel") != nullptr; }

TEST(QuillmereGui, starts_takes_keys_and_saves_at_quit) {
  test_temp_folder folder("qm_gui");
  ASSERT_FALSE(folder.path.empty());
  std::string data = folder.path + "/data";
  gui_program gui;
  ASSERT_TRUE(gui.start({QM_QUILLMERE_BINARY, "-path", data.c_str()}, folder.path)) << "the window never answered";
  ui_dump d;
  ASSERT_TRUE(gui.dump_until(on_add_page, &d)) << "the add page is the start page";
  gui.key("F1");
  EXPECT_TRUE(gui.dump_until([](const ui_dump &d) { return !on_add_page(d) && !on_links_page(d); })) << "F1: help";
  gui.key("F3");
  EXPECT_TRUE(gui.dump_until(on_links_page)) << "F3: links";
  gui.key("F2");
  ASSERT_TRUE(gui.dump_until(on_add_page, &d)) << "F2: add feed";
  // The URL box: the text box in the row of that button. It takes a press from the press's own
  // event, so a plain click does; a dump in between would type its C into the box.
  size_t add_at = 0;
  ASSERT_TRUE(ui_dump_find(d, "", 5, "right panel", &add_at));
  const ui_dump_line *box = nullptr;
  for (size_t k = add_at; k-- > 0 && d[k].depth >= d[add_at].depth;)
    if (d[k].depth == d[add_at].depth && d[k].tag == "textbox") box = &d[k];
  ASSERT_TRUE(box) << "the URL box";
  gui.move((int)((box->x0 + box->x1) / 2), (int)(d[0].y1 - (box->y0 + box->y1) / 2));
  gui.button(true);
  gui.button(false);
  // The key C of the dump that follows types the URL's last letter.
  gui.type("http://example.invalid/feed?topic=musi");
  ASSERT_FALSE(gui.dump().empty());
  // What was typed is on screen once a later frame is drawn: a click on the empty page below
  // leaves the box, and the next dump's C is no longer typed.
  gui.move(1100, 600);
  gui.button(true);
  gui.button(false);
  ASSERT_FALSE(gui.dump().empty());
  std::string shot = std::string(QM_SCREENSHOT_FOLDER) + "/quillmere_gui.png";
  test_run({"import", "-window", "root", shot.c_str()});
  // The quit signal takes the window's normal way out: the last frame, then the save.
  int status = 0;
  ASSERT_TRUE(gui.quit(&status)) << "still running a minute after the quit signal";
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(has_file(data, "feed_data_"));
  EXPECT_TRUE(has_file(folder.path, "log.txt"));
}

}  // namespace

#endif
