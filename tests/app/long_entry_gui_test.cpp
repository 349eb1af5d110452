// The real program on a private X server with a store holding one entry far longer than the UI
// could once build: the entry is selected with a key, its page is dragged by the scrollbar to
// its end, and the UI trees the program dumps (key C) show its last paragraph laid out inside
// the page.
#include <gtest/gtest.h>

#include <dirent.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../support/xvfb_server.h"
#include "reader/save.h"
#include "tests/reader/store_fixture.h"

#ifdef QM_QUILLMERE_BINARY

namespace {


// One line of the tree dump: its depth, tag and rectangle (window pixels, y up).
struct dumped {
  int depth;
  std::string tag;
  f32 x0, x1, y0, y1;
};

std::vector<dumped> read_dump(const std::string &path) {
  std::vector<dumped> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    size_t indent = line.find('[');
    size_t tag_at = line.find("] ");
    if (indent == std::string::npos || tag_at == std::string::npos) continue;
    std::vector<std::string> fields;
    for (size_t at = tag_at + 2;;) {
      size_t bar = line.find(" | ", at);
      fields.push_back(line.substr(at, bar == std::string::npos ? std::string::npos : bar - at));
      if (bar == std::string::npos) break;
      at = bar + 3;
    }
    if (fields.size() < 6) continue;
    dumped d = {(int)indent / 4, fields[0], 0, 0, 0, 0};
    std::stringstream rect(fields[5]);
    char comma;
    rect >> d.x0 >> comma >> d.x1 >> comma >> d.y0 >> comma >> d.y1;
    out.push_back(d);
  }
  return out;
}

// The first line with the tag inside the subtree of the first line tagged `under`.
const dumped *find_under(const std::vector<dumped> &lines, const std::string &under, const std::string &tag,
                         size_t *at = nullptr) {
  for (size_t i = 0; i < lines.size(); i++) {
    if (lines[i].tag != under) continue;
    for (size_t k = i + 1; k < lines.size() && lines[k].depth > lines[i].depth; k++) {
      if (lines[k].tag == tag) {
        if (at) *at = k;
        return &lines[k];
      }
    }
    return nullptr;
  }
  return nullptr;
}

class LongEntryGui : public Store {};

TEST_F(LongEntryGui, dragged_to_its_end_a_long_entry_lays_out_its_last_paragraph) {
  xvfb_server server;
  ASSERT_TRUE(xvfb_start(&server));
  char tmpl[] = "/tmp/qm_long_XXXXXX";
  std::string folder = mkdtemp(tmpl);
  std::string data = folder + "/data";
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

  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  pid_t app = test_spawn({QM_QUILLMERE_BINARY, "-path", data.c_str()}, -1, -1, folder.c_str());
  ASSERT_GT(app, 0);
  bool shown = test_wait_for_window("Quillmere");
  ASSERT_TRUE(shown);
  usleep(500000);
  // Screen and window coordinates agree once the window sits at the origin. No window manager
  // gives the focus: the pointer over the window does.
  test_run({"xdotool", "search", "--name", "Quillmere", "windowmove", "0", "0"});
  usleep(500000);
  test_run({"xdotool", "mousemove", "300", "300"});
  usleep(1000000);
  std::string tree = folder + "/tree.txt";
  auto dump = [&]() {
    unlink(tree.c_str());
    // The first keys may come before the window has the focus: press again until it dumps.
    for (int tries = 0; tries < 10 && access(tree.c_str(), R_OK) != 0; tries++) {
      test_run({"xdotool", "key", "c"});
      for (int i = 0; i < 10 && access(tree.c_str(), R_OK) != 0; i++) usleep(100000);
    }
    usleep(300000);
    return read_dump(tree);
  };
  auto click_at = [&](f32 x, f32 y) {
    std::string sx = std::to_string((int)x), sy = std::to_string((int)y);
    test_run({"xdotool", "mousemove", sx.c_str(), sy.c_str(), "click", "1"});
  };

  // The entry's line is the list's block's last child; events count y down from the top.
  std::vector<dumped> start = dump();
  ASSERT_FALSE(start.empty());
  const f32 height = start[0].y1;
  size_t list_at = 0;
  ASSERT_TRUE(find_under(start, "left_panel", "list", &list_at));
  const dumped *line = nullptr;
  for (size_t k = list_at + 1; k < start.size() && start[k].depth > start[list_at].depth; k++) {
    if (start[k].depth == start[list_at].depth + 2) line = &start[k];
  }
  ASSERT_TRUE(line);
  click_at((line->x0 + line->x1) / 2, height - (line->y0 + line->y1) / 2);
  usleep(1500000);

  std::vector<dumped> before = dump();
  const dumped *elevator = find_under(before, "right panel", "elevator");
  const dumped *view = find_under(before, "right panel", "scrollable_view");
  ASSERT_TRUE(elevator) << "the entry's page has a scrollbar";
  ASSERT_TRUE(view);
  std::string ex = std::to_string((int)((elevator->x0 + elevator->x1) / 2));
  std::string ey = std::to_string((int)(height - (elevator->y0 + elevator->y1) / 2));
  test_run({"xdotool", "mousemove", ex.c_str(), ey.c_str(), "mousedown", "1"});
  usleep(300000);
  std::string bottom = std::to_string((int)height - 1);
  test_run({"xdotool", "mousemove", ex.c_str(), std::to_string((int)height - 3).c_str()});
  usleep(300000);
  test_run({"xdotool", "mousemove", ex.c_str(), bottom.c_str(), "mouseup", "1"});
  usleep(1500000);

  std::vector<dumped> after = dump();
  size_t column_at = 0;
  const dumped *column = find_under(after, "right panel", "html", &column_at);
  view = find_under(after, "right panel", "scrollable_view");
  ASSERT_TRUE(column) << "the entry's HTML column";
  ASSERT_TRUE(view);
  EXPECT_GE(column->y0, view->y0 - 1) << "the column's end is inside the page";
  // The column's last flow is the last paragraph, and it lies inside the page.
  const dumped *last_flow = nullptr;
  for (size_t k = column_at + 1; k < after.size() && after[k].depth > column->depth; k++) {
    if (after[k].depth == column->depth + 1 && after[k].tag == "flow") last_flow = &after[k];
  }
  ASSERT_TRUE(last_flow);
  EXPECT_GE(last_flow->y0, view->y0);
  EXPECT_LE(last_flow->y1, view->y1);
  EXPECT_GT(last_flow->y1 - last_flow->y0, 0);

  kill(app, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(app, &status, 0), app);
  EXPECT_TRUE(WIFEXITED(status));
  std::ifstream log(folder + "/log.txt");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.find("UI: the node arena is full"), std::string::npos);
  xvfb_stop(&server);
  test_run({"rm", "-rf", folder.c_str()});
}

}  // namespace

#endif
