// The real program on a private X server with a store holding one entry far longer than the UI
// could once build: the entry is selected with a click, its page is dragged by the scrollbar to
// its end, and the UI trees the program dumps (key C) show its last paragraph laid out inside
// the page.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <string>

#include "reader/save.h"
#include "tests/reader/store_fixture.h"
#include "tests/support/file_text.h"
#include "tests/support/gui_program.h"
#include "tests/support/temp_folder.h"

#ifdef QM_QUILLMERE_BINARY

namespace {

class LongEntryGui : public Store {};

// The entry's line: the list's block's last child.
const ui_dump_line *entry_line(const ui_dump &d) {
  size_t list_at = 0;
  if (!ui_dump_find(d, "list", 0, "left_panel", &list_at)) return nullptr;
  const ui_dump_line *line = nullptr;
  for (size_t k = list_at + 1; k < d.size() && d[k].depth > d[list_at].depth; k++) {
    if (d[k].depth == d[list_at].depth + 2) line = &d[k];
  }
  return line;
}

const ui_dump_line *elevator_of(const ui_dump &d) { return ui_dump_find(d, "elevator", 0, "right panel"); }

// The entry's HTML column and its last flow, the last paragraph.
struct entry_end {
  const ui_dump_line *column = nullptr, *view = nullptr, *last_flow = nullptr;
};
entry_end entry_end_of(const ui_dump &d) {
  entry_end e;
  size_t column_at = 0;
  e.column = ui_dump_find(d, "html", 0, "right panel", &column_at);
  e.view = ui_dump_find(d, "scrollable_view", 0, "right panel");
  if (!e.column) return e;
  for (size_t k = column_at + 1; k < d.size() && d[k].depth > e.column->depth; k++) {
    if (d[k].depth == e.column->depth + 1 && d[k].tag == "flow") e.last_flow = &d[k];
  }
  return e;
}
bool laid_out_inside(const entry_end &e) {
  return e.column && e.view && e.last_flow && e.column->y0 >= e.view->y0 - 1 && e.last_flow->y0 >= e.view->y0 &&
         e.last_flow->y1 <= e.view->y1 && e.last_flow->y1 - e.last_flow->y0 > 0;
}

TEST_F(LongEntryGui, dragged_to_its_end_a_long_entry_lays_out_its_last_paragraph) {
  test_temp_folder folder("qm_long");
  ASSERT_FALSE(folder.path.empty());
  std::string data = folder.path + "/data";
  ASSERT_EQ(mkdir(data.c_str(), 0700), 0);

  // More nodes than the old fixed node arena held, links in every other paragraph.
  r.generation = 1;
  feed *f = add_feed(feed_type_rss);
  ASSERT_TRUE(f);
  f->rss.title = reader_add_string(&r, text_of("Long feed"));
  std::string html;
  for (int i = 0; i < 3000; i++) {
    html += "<p>Paragraph " + std::to_string(i) + " says a few words";
    if (i % 2 == 0) html += " and <a href=\"https://example.org/" + std::to_string(i) + "\">links</a>";
    html += ".</p>";
  }
  entry *e = add_entry(f, {}, "long");
  ASSERT_TRUE(e);
  e->rss.title = reader_add_string(&r, text_of("A long entry"));
  e->rss.description = reader_add_string(&r, text_of(html));
  ASSERT_TRUE(reader_save(&r, string_from_bytes(data.data(), data.size())));

  gui_program gui;
  ASSERT_TRUE(gui.start({QM_QUILLMERE_BINARY, "-path", data.c_str()}, folder.path)) << "the window never answered";
  ui_dump start;
  ASSERT_TRUE(gui.dump_until([](const ui_dump &d) { return entry_line(d) != nullptr; }, &start)) << "no entry listed";
  // Events count y down from the top.
  const f32 height = start[0].y1;
  const ui_dump_line line = *entry_line(start);
  gui.click((int)((line.x0 + line.x1) / 2), (int)(height - (line.y0 + line.y1) / 2));

  ui_dump before;
  ASSERT_TRUE(gui.dump_until([](const ui_dump &d) { return elevator_of(d) && ui_dump_find(d, "scrollable_view", 0, "right panel"); },
                             &before))
      << "the entry's page has a scrollbar";
  const ui_dump_line elevator = *elevator_of(before);
  const int ex = (int)((elevator.x0 + elevator.x1) / 2);
  gui.move(ex, (int)(height - (elevator.y0 + elevator.y1) / 2));
  gui.button(true);
  ASSERT_FALSE(gui.dump().empty()) << "a frame takes the press before the pointer moves";
  gui.move(ex, (int)height - 3);
  ASSERT_TRUE(gui.dump_until([&](const ui_dump &d) { return elevator_of(d) && elevator_of(d)->y0 < elevator.y0; }))
      << "the held elevator follows the pointer";
  gui.move(ex, (int)height - 1);
  gui.button(false);

  ui_dump after;
  gui.dump_until([](const ui_dump &d) { return laid_out_inside(entry_end_of(d)); }, &after);
  entry_end end = entry_end_of(after);
  ASSERT_TRUE(end.column) << "the entry's HTML column";
  ASSERT_TRUE(end.view);
  EXPECT_GE(end.column->y0, end.view->y0 - 1) << "the column's end is inside the page";
  // The column's last flow is the last paragraph, and it lies inside the page.
  ASSERT_TRUE(end.last_flow);
  EXPECT_GE(end.last_flow->y0, end.view->y0);
  EXPECT_LE(end.last_flow->y1, end.view->y1);
  EXPECT_GT(end.last_flow->y1 - end.last_flow->y0, 0);

  int status = 0;
  ASSERT_TRUE(gui.quit(&status)) << "still running a minute after the quit signal";
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(test_file_text(folder.path + "/log.txt").find("UI: the node arena is full"), std::string::npos);
}

}  // namespace

#endif
