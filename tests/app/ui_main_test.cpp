// The whole main window UI built, laid out and rendered in a context without a display, with the
// faces the system substitutes for the program's fonts: every page and every selection must come
// out fully sized and inside the window, whatever its size.
#include <gtest/gtest.h>

#include <GLFW/glfw3.h>
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/app.h"
#include "core/unicode.h"
#include "gfx/font.h"
#include "profiler/profiler.h"
#include "tests/app/app_test_support.h"
#include "tests/reader/store_fixture.h"
#include "tests/support/temp_folder.h"
#include "tests/ui/ui_test_support.h"

namespace {

const char *rss_document =
    "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>Example News</title>"
    "<link>https://news.example/</link><description>d</description>"
    "<item><title>First item</title><link>https://news.example/1</link><guid>n1</guid>"
    "<author>ann@news.example</author><pubDate>Mon, 01 Jan 2024 10:00:00 GMT</pubDate>"
    "<enclosure url=\"https://news.example/a/b/episode.mp3?x=1\" length=\"123456\" type=\"audio/mpeg\"/>"
    "<description>&lt;p&gt;Body of the &lt;a href=\"https://news.example/more\"&gt;first&lt;/a&gt; "
    "item.&lt;/p&gt;&lt;ul&gt;&lt;li&gt;one&lt;/li&gt;&lt;li&gt;two&lt;/li&gt;&lt;/ul&gt;</description></item>"
    "<item><title>Second item</title><guid>n2</guid><pubDate>Tue, 02 Jan 2024 10:00:00 GMT</pubDate>"
    "<description>plain words</description></item>"
    "</channel></rss>";

const char *atom_document =
    "<?xml version=\"1.0\"?><feed xmlns=\"http://www.w3.org/2005/Atom\"><title>Example Atom</title>"
    "<id>urn:a</id><updated>2024-01-03T10:00:00Z</updated>"
    "<entry><title>Atom one</title><id>urn:a:1</id><updated>2024-01-03T10:00:00Z</updated>"
    "<author><name>Bea</name></author><link href=\"https://atom.example/1\"/>"
    "<content type=\"html\">&lt;h2&gt;Head&lt;/h2&gt;&lt;p&gt;Atom body&lt;/p&gt;</content></entry>"
    "</feed>";

class UiMain : public Store {
 protected:
  ui_fixture ui;
  app_test_fonts faces;
  font_collection *fonts = nullptr;
  buffer scratch = {};
  app a = {};
  view_state v = {};
  query queries[8] = {};
  feed *news = nullptr, *atom = nullptr;

  void SetUp() override {
    Store::SetUp();
    profiler_install_disabled();
    allocator_init(&app_allocator, MiB(4), MiB(1), 128);
    u32 error = 0;
    if (!faces.load()) GTEST_SKIP() << "no DejaVu faces on this system";
    fonts = faces.fonts;
    ui.ctx->fonts = fonts;
    ui_init_styles(ui.ctx.get());
    resize(1280, 720);

    scratch = memory_alloc(MiB(8), nullptr);
    ASSERT_TRUE(app_test_context_init(&a, &v, ui.w.get(), ui.ctx.get(), queries, 8));

    r.generation = 1;
    news = feed_parse(&scratch, &r, text_of(rss_document), text_of("https://news.example/rss"), nullptr, &error);
    atom = feed_parse(&scratch, &r, text_of(atom_document), text_of("https://atom.example/feed"), nullptr, &error);
    ASSERT_EQ(error, 0u);
    ASSERT_TRUE(news && atom);
    for (feed *f : {news, atom}) {
      meta *m = reader_new_meta(&r, f->id);
      ASSERT_TRUE(m);
      m->opener = &r.link_openers[0];
    }
  }
  void TearDown() override {
    if (fonts) {
      view_state_release_html(&v);
      memory_free(&a.frame_arena);
      memory_free(&scratch);
    }
    faces.release();
    allocator_destroy(&app_allocator);
    Store::TearDown();
  }

  void resize(u32 width, u32 height) {
    ui.w->width = width;
    ui.w->height = height;
    ui.client = rect{0, 0, (f32)width, (f32)height};
  }

  // One frame of the program's loop, as far as the UI goes.
  void frame() {
    ui_main(&a, &r);
    input_frame_reset(ui.w.get());
    a.frame_arena.used = 0;
  }
  // Frames until no view asks for another (images, layouts that follow last frame's sizes).
  void frames() {
    for (int i = 0; i < 4; i++) {
      v.another_frame = 0;
      frame();
      if (!v.another_frame) break;
    }
    EXPECT_EQ(v.another_frame, 0u) << "the UI does not settle";
  }

  entry *entry_titled(const std::string &title) {
    pool_iterator it = pool_iterator_init(&r.entries, sizeof(entry), entry_is_live);
    while (entry *e = (entry *)pool_iterator_next(&it))
      if (to_std(entry_get_title(e)) == title) return e;
    return nullptr;
  }
  void select(feed *f, entry *e) {
    v.selected_feed = f;
    v.selected_entry = e;
    v.selection_changed = 1;
    view_close_page(&a);
  }

  static ui_node *find_tag(ui_node *n, const std::string &tag) {
    if (to_std(n->tag) == tag) return n;
    for (ui_node *c = n->first_child; c; c = c->next)
      if (ui_node *found = find_tag(c, tag)) return found;
    return nullptr;
  }
  // The texts drawn under the node, in order, joined.
  static void texts(ui_node *n, std::string *out) {
    if (n->flags & ui_node_flag_flow_instructions) return;
    if (n->text.used && (n->flags & ui_node_flag_text)) *out += to_std(n->text) + "|";
    for (ui_node *c = n->first_child; c; c = c->next) texts(c, out);
  }
  std::string right_page_text() {
    ui_node *panel = find_tag(ui.ctx->root, "right panel");
    EXPECT_TRUE(panel);
    ui_node *page = panel ? find_tag(panel, "scrollable_view") : nullptr;
    std::string out;
    if (page) texts(page, &out);
    return out;
  }
  // Every node the layout owes a size has one on both axes; the flows' instruction lists are
  // the flows' own input and are never laid out.
  static void expect_sized(ui_node *n, const std::string &path) {
    if (n->flags & ui_node_flag_flow_instructions) return;
    std::string here = path + "/" + to_std(n->tag);
    EXPECT_TRUE((n->known[0] & ui_known_size) && (n->known[1] & ui_known_size)) << here;
    for (ui_node *c = n->first_child; c; c = c->next) expect_sized(c, here);
  }
};

TEST_F(UiMain, every_page_and_selection_lays_out_whole) {
  struct state {
    const char *name;
    u32 page;
    feed *f;
    const char *entry_title;
    const char *must_show;
  } states[] = {
      {"help", view_page_help, nullptr, nullptr, "Help|"},
      {"add", view_page_add_feed, nullptr, nullptr, "Add feed|"},
      {"links", view_page_links, nullptr, nullptr, "Links|"},
      {"log", view_page_log, nullptr, nullptr, "Feed is Atom."},
      {"nothing selected", view_page_main, nullptr, nullptr, "Help|"},
      {"rss settings", view_page_main, news, nullptr, "Hide enclosure.|"},
      {"atom settings", view_page_main, atom, nullptr, "Sort oldest to newest entries.|"},
      {"rss entry", view_page_main, news, "First item", "First item|"},
      {"rss entry, plain text", view_page_main, news, "Second item", "plain words|"},
      {"atom entry", view_page_main, atom, "Atom one", "Atom body|"},
  };
  for (const state &s : states) {
    SCOPED_TRACE(s.name);
    select(s.f, s.entry_title ? entry_titled(s.entry_title) : nullptr);
    v.page = s.page;
    frames();
    expect_sized(ui.ctx->root, "");
    std::string shown = right_page_text();
    EXPECT_NE(shown.find(s.must_show), std::string::npos) << shown;
    ui_node *page = find_tag(find_tag(ui.ctx->root, "right panel"), "scrollable_view");
    ASSERT_TRUE(page);
    EXPECT_GT(page->first_child->size[1], 20.f) << "the page has content";
  }
}

TEST_F(UiMain, the_rss_entry_page_shows_its_header_enclosure_and_html) {
  select(news, entry_titled("First item"));
  v.page = view_page_main;
  frames();
  std::string shown = right_page_text();
  for (const char *piece : {"First item|", " - |ann@news.example|", "Open article|", "episode.mp3|",
                            "120.562 Kio|", "Body of the |", "first|", " item.|", "one|", "two|"}) {
    EXPECT_NE(shown.find(piece), std::string::npos) << piece << " in " << shown;
  }
}

// Feeds wrap a title or an author in the line breaks and indentation of their markup: the entry
// page draws the title on one line, with no blank line above it, and the information line whole.
TEST_F(UiMain, an_entry_page_draws_its_title_and_author_without_the_space_around_them) {
  u32 error = 0;
  feed *spaced_rss = feed_parse(
      &scratch, &r,
      text_of("<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>Spaced</title>"
              "<link>https://spaced.example/</link><description>d</description><item><title>\n      Spaced "
              "title\n    </title><link>https://spaced.example/1</link><author>\n      ann@spaced.example\n    "
              "</author><pubDate>Mon, 01 Jan 2024 10:00:00 GMT</pubDate><description>words</description></item>"
              "</channel></rss>"),
      text_of("https://spaced.example/rss"), nullptr, &error);
  feed *spaced_atom = feed_parse(
      &scratch, &r,
      text_of("<?xml version=\"1.0\"?><feed xmlns=\"http://www.w3.org/2005/Atom\"><title>Spaced Atom</title>"
              "<id>urn:s</id><updated>2024-01-03T10:00:00Z</updated><entry><title>\n  Atom spaced\n</title>"
              "<id>urn:s:1</id><updated>2024-01-03T10:00:00Z</updated><author><name>\n    Bea\n  </name></author>"
              "<link href=\"https://spaced.example/a\"/><content type=\"html\">words</content></entry></feed>"),
      text_of("https://spaced.example/atom"), nullptr, &error);
  ASSERT_EQ(error, 0u);
  ASSERT_TRUE(spaced_rss && spaced_atom);
  struct {
    feed *f;
    const char *title, *shown_title, *info_ends;
  } cases[] = {
      {spaced_rss, "\n      Spaced title\n    ", "Spaced title|", " - |ann@spaced.example| - |Open article|"},
      {spaced_atom, "\n  Atom spaced\n", "Atom spaced|", " - |Bea| - |Open article|"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.shown_title);
    select(c.f, entry_titled(c.title));
    ASSERT_TRUE(v.selected_entry);
    v.page = view_page_main;
    frames();
    // The page's first two flows, each as its lines: the title, then the information line.
    std::vector<std::vector<std::string>> flows;
    std::vector<ui_node *> stack = {find_tag(find_tag(ui.ctx->root, "right panel"), "scrollable_view")};
    ASSERT_TRUE(stack[0]);
    while (!stack.empty() && flows.size() < 2) {
      ui_node *n = stack.back();
      stack.pop_back();
      if (n->flags & ui_node_flag_flow_instructions) continue;
      if (to_std(n->tag) == "flow") {
        ui_node *content = find_tag(n, "flow content");
        flows.emplace_back();
        for (ui_node *line = content ? content->first_child : nullptr; line; line = line->next) {
          std::string text;
          texts(line, &text);
          flows.back().push_back(text);
        }
        continue;
      }
      std::vector<ui_node *> children;
      for (ui_node *k = n->first_child; k; k = k->next) children.push_back(k);
      stack.insert(stack.end(), children.rbegin(), children.rend());
    }
    ASSERT_EQ(flows.size(), 2u);
    EXPECT_EQ(flows[0], std::vector<std::string>{c.shown_title});
    ASSERT_EQ(flows[1].size(), 1u) << "one information line";
    const std::string &info = flows[1][0];
    EXPECT_EQ(info.substr(info.size() - std::min(info.size(), strlen(c.info_ends))), c.info_ends) << info;
  }
}

// Release notes and many blogs give each entry's link relative to their site
// ("/org/project/releases/tag/v3.9.0"): the article opens read against the feed's address, from
// the entry page's link and from Enter in the list alike.
TEST_F(UiMain, a_relative_article_link_opens_read_against_the_feed_address) {
  u32 error = 0;
  feed *releases = feed_parse(
      &scratch, &r,
      text_of("<?xml version=\"1.0\"?><feed xmlns=\"http://www.w3.org/2005/Atom\"><title>Releases</title>"
              "<id>urn:r</id><updated>2024-01-05T10:00:00Z</updated><entry><title>v3.9.0</title><id>urn:r:1</id>"
              "<updated>2024-01-05T10:00:00Z</updated><link href=\"/org/project/releases/tag/v3.9.0\"/>"
              "<content type=\"html\">notes</content></entry></feed>"),
      text_of("https://code.example/org/project/releases.atom"), nullptr, &error);
  feed *blog = feed_parse(
      &scratch, &r,
      text_of("<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>Blog</title>"
              "<link>https://blog.example/posts/</link><description>d</description>"
              "<item><title>Linked</title><link>2024/linked.html</link><description>x</description></item>"
              "<item><title>Permalink</title><guid>2024/permalink.html</guid><description>y</description></item>"
              "</channel></rss>"),
      text_of("https://blog.example/feed.xml"), nullptr, &error);
  ASSERT_EQ(error, 0u);
  ASSERT_TRUE(releases && blog);
  for (feed *f : {releases, blog}) {
    meta *m = reader_new_meta(&r, f->id);
    ASSERT_TRUE(m);
    m->opener = &r.link_openers[0];
  }
  link_opener *opener = &r.link_openers[0];
  opener->queue_mode = 1;  // queued, so the test reads what would open
  window *w = ui.w.get();
  u32 time = 1;
  struct {
    feed *f;
    const char *title, *opens;
  } cases[] = {
      {releases, "v3.9.0", "https://code.example/org/project/releases/tag/v3.9.0"},
      {blog, "Linked", "https://blog.example/posts/2024/linked.html"},
      {blog, "Permalink", "https://blog.example/posts/2024/permalink.html"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.title);
    select(c.f, entry_titled(c.title));
    ASSERT_TRUE(v.selected_entry);
    v.page = view_page_main;
    frames();
    ui_node *link = nullptr;
    std::vector<ui_node *> stack = {ui.ctx->root};
    while (!stack.empty() && !link) {
      ui_node *n = stack.back();
      stack.pop_back();
      if (n->flags & ui_node_flag_flow_instructions) continue;
      if ((n->flags & ui_node_flag_flow_run) && to_std(n->text) == "Queue article") link = n;
      for (ui_node *k = n->first_child; k; k = k->next) stack.push_back(k);
    }
    ASSERT_TRUE(link);
    ui.mouse_move((s32)((link->rect.x0 + link->rect.x1) / 2), (s32)((link->rect.y0 + link->rect.y1) / 2));
    ui.mouse_button(true);
    ui.mouse_button(false);
    frames();
    EXPECT_EQ(to_std(opener->queue), c.opens) << "from the entry page";
    link_queue_free(&app_allocator, opener);

    input_on_key(w, GLFW_KEY_ENTER, 0, GLFW_PRESS, time++);
    frames();
    input_on_key(w, GLFW_KEY_ENTER, 0, GLFW_RELEASE, time++);
    frames();
    EXPECT_EQ(to_std(opener->queue), c.opens) << "from Enter in the list";
    link_queue_free(&app_allocator, opener);
  }
}

// The page once closed with a warning about Windows 7 and TLS 1.3, which this program on Linux
// does not have; it ends with the paragraph on the data folder.
TEST_F(UiMain, the_help_page_ends_with_the_data_folder_and_no_windows_note) {
  v.page = view_page_help;
  frames();
  ui_node *page = find_tag(find_tag(ui.ctx->root, "right panel"), "scrollable_view");
  ASSERT_TRUE(page);
  // The laid-out pieces of the flows, in page order.
  std::vector<ui_node *> runs;
  std::function<void(ui_node *)> walk = [&](ui_node *n) {
    if (n->flags & ui_node_flag_flow_instructions) return;
    if (n->flags & ui_node_flag_flow_run) runs.push_back(n);
    for (ui_node *c = n->first_child; c; c = c->next) walk(c);
  };
  walk(page);
  ASSERT_FALSE(runs.empty());
  std::string text;
  for (ui_node *n : runs) {
    text += to_std(n->text);
    EXPECT_NE(n->style, style_warning) << to_std(n->text);
  }
  EXPECT_NE(text.find("generation"), std::string::npos) << text;
  EXPECT_EQ(text.find("Windows"), std::string::npos) << text;
  EXPECT_EQ(text.find("TLS"), std::string::npos) << text;
  std::string last = to_std(runs.back()->text);
  EXPECT_EQ(last.substr(last.size() >= 7 ? last.size() - 7 : 0), "folder.") << last;
}

TEST_F(UiMain, the_settings_page_buttons_answer_after_the_opener_list_closes) {
  select(news, nullptr);
  v.page = view_page_main;
  frames();
  meta *m = reader_get_meta(&r, news->id);
  ui_id dropdown = (ui_id)(uintptr_t)m | (2ull << 47), delete_button = (ui_id)(uintptr_t)news | (4ull << 47);
  auto centre = [&](ui_id id) {
    ui_node *n = ui_find_current(ui.ctx.get(), id);
    EXPECT_TRUE(n);
    return n ? v2{(n->rect.x0 + n->rect.x1) / 2, (n->rect.y0 + n->rect.y1) / 2} : v2{0, 0};
  };
  auto click = [&](v2 p) {
    ui.mouse_move((s32)p.x, (s32)p.y);
    ui.mouse_button(true);
    ui.mouse_button(false);
    frames();
  };
  // Selected by a click on its block in the list, as a person does.
  select(nullptr, nullptr);
  v.page = view_page_main;
  frames();
  ui_node *block = ui_find_current(ui.ctx.get(), (ui_id)(uintptr_t)news);
  ASSERT_TRUE(block);
  click(v2{block->rect.x0 + 20, block->rect.y1 - 8});  // its title line
  ASSERT_EQ(v.selected_feed, news);
  ASSERT_EQ(v.selected_entry, nullptr);
  click(centre(dropdown));
  ASSERT_TRUE(ui.ctx->popup_root);
  click(v2{1000, 100});
  EXPECT_FALSE(ui.ctx->popup_root);
  click(centre(delete_button));
  EXPECT_TRUE(feed_is_deleted(news));
}

// The program waits for input after a frame unless a view asks for another. A click changes the
// model while the tree is built, after the nodes that show it (the clicked button's own label)
// were made: without one more frame the change would stay undrawn until the next input.
TEST_F(UiMain, a_click_is_drawn_without_waiting_for_more_input) {
  select(news, nullptr);
  v.page = view_page_main;
  frames();
  ui_id delete_button = (ui_id)(uintptr_t)news | (4ull << 47);
  ui_node *button = ui_find_current(ui.ctx.get(), delete_button);
  ASSERT_TRUE(button);
  ui.mouse_move((s32)(button->rect.x0 + 10), (s32)(button->rect.y0 + 5));
  ui.mouse_button(true);
  ui.mouse_button(false);
  v.another_frame = 0;
  frame();
  EXPECT_TRUE(feed_is_deleted(news));
  EXPECT_EQ(v.another_frame, 1u);
  frames();
  EXPECT_NE(right_page_text().find("Restore feed"), std::string::npos) << right_page_text();
  // A frame without input asks for no more.
  v.another_frame = 0;
  frame();
  EXPECT_EQ(v.another_frame, 0u);
}

// Buttons whose whole rectangle lies inside the window, and the rows they take.
TEST_F(UiMain, every_button_of_the_right_bar_stays_whole_in_the_window_at_any_width) {
  const char *labels[] = {"Help (F1)", "Add feed (F2)", "Links (F3)", "Open queued links (F4) (0)",
                          "Update all (F5)", "Update selected (F6)", "Log (F7)", "Save (F8)"};
  v.page = view_page_help;
  for (u32 width : {1920u, 1280u, 1000u, 700u, 1280u, 2400u}) {
    SCOPED_TRACE(width);
    resize(width, 720);
    frames();
    ui_node *bar = find_tag(ui.ctx->root, "right_button_bar");
    ASSERT_TRUE(bar);
    std::vector<f32> row_tops;
    for (ui_node *row = bar->first_child; row; row = row->next) row_tops.push_back(row->rect.y1);
    std::string shown;
    texts(bar, &shown);
    f32 right_edge = bar->rect.x1;
    u32 found = 0;
    for (ui_node *row = bar->first_child; row; row = row->next) {
      for (ui_node *button = row->first_child; button; button = button->next) {
        if (!(button->flags & ui_node_flag_text)) continue;
        found++;
        EXPECT_LE(button->rect.x1, right_edge + 0.5f) << to_std(button->text);
        EXPECT_GE(button->rect.x0, bar->rect.x0 - 0.5f) << to_std(button->text);
        EXPECT_GE(button->rect.y0, bar->rect.y0 - 0.5f) << to_std(button->text);
      }
    }
    EXPECT_EQ(found, 8u) << shown;
    for (const char *label : labels) EXPECT_NE(shown.find(std::string(label) + "|"), std::string::npos) << label;
    if (width >= 1920) {
      EXPECT_EQ(row_tops.size(), 1u) << "a wide window keeps one row";
    } else if (width <= 1280) {
      EXPECT_GT(row_tops.size(), 1u);
    }
    // The page starts below the bar, whatever its rows.
    ui_node *page = find_tag(find_tag(ui.ctx->root, "right panel"), "scrollable_view");
    ASSERT_TRUE(page);
    EXPECT_LE(page->rect.y1, bar->rect.y0);
  }
}

}  // namespace

// The F4 button counts the links queued over every opener, "(0)" included.
TEST_F(UiMain, the_open_queued_links_button_counts_the_queue) {
  auto bar_text = [&] {
    std::string out;
    if (ui_node *bar = find_tag(ui.ctx->root, "right_button_bar")) texts(bar, &out);
    return out;
  };
  frames();
  EXPECT_NE(bar_text().find("Open queued links (F4) (0)|"), std::string::npos) << bar_text();
  r.link_openers[0].queue_mode = 1;
  reader_open_entry_link(&r, nullptr, string_lit("http://a/1"));
  reader_open_entry_link(&r, nullptr, string_lit("http://a/2"));
  frames();
  EXPECT_NE(bar_text().find("Open queued links (F4) (2)|"), std::string::npos) << bar_text();
  link_queue_free(&app_allocator, &r.link_openers[0]);
}

namespace {

// "Save (F8)" that fails shows the log page with its reason, as a failed add does; one that
// works leaves the page where it was.
TEST_F(UiMain, a_failed_save_shows_the_log_page_and_a_good_one_stays_put) {
  test_temp_folder temp("qm_ui_save");
  ASSERT_FALSE(temp.path.empty());
  const std::string &folder = temp.path;
  std::string blocker = folder + "/a file";
  FILE *f = fopen(blocker.c_str(), "wb");
  ASSERT_TRUE(f);
  fclose(f);
  window *w = ui.w.get();
  u32 time = 1;
  auto press_f8 = [&] {
    input_on_key(w, GLFW_KEY_F8, 0, GLFW_PRESS, time++);
    frames();
    input_on_key(w, GLFW_KEY_F8, 0, GLFW_RELEASE, time++);
    frames();
  };
  auto set_folder = [&](const std::string &path) {
    a.data_directory.used = 0;
    buffer_push_bytes(&a.data_directory, path.data(), path.size());
  };
  // No data folder can be made under a file.
  set_folder(blocker + "/data");
  v.page = view_page_help;
  frames();
  u64 before = log_last_text().used;
  press_f8();
  EXPECT_EQ(v.page, (u32)view_page_log);
  buffer log = log_last_text();
  std::string added = log.used >= before ? std::string((const char *)log.data + before, log.used - before) : "";
  EXPECT_NE(added.find("Error while saving the reader."), std::string::npos) << added;
  set_folder(folder + "/data");
  v.page = view_page_help;
  frames();
  press_f8();
  EXPECT_EQ(v.page, (u32)view_page_help);
  u32 saves = 0;
  if (DIR *d = opendir((folder + "/data").c_str())) {
    while (dirent *e = readdir(d)) saves += std::string(e->d_name).rfind("feed_data_", 0) == 0;
    closedir(d);
  }
  EXPECT_EQ(saves, 1u);
}

}  // namespace

namespace {

// What a text node draws: its font and its bytes.
struct drawn_text {
  u32 font;
  std::string text;
};
void drawn_texts(ui_node *n, std::vector<drawn_text> *out) {
  if (n->flags & ui_node_flag_flow_instructions) return;
  if (n->text.used && (n->flags & ui_node_flag_text)) out->push_back({n->font, to_std(n->text)});
  for (ui_node *c = n->first_child; c; c = c->next) drawn_texts(c, out);
}
std::vector<u32> code_points(const std::string &s) {
  std::vector<u32> out;
  const u8 *p = (const u8 *)s.data(), *end = p + s.size();
  while (p < end) {
    u32 c = 0, error = 0;
    u8 n = 0;
    unicode_utf8_decode(p, end, &c, &n, &error);
    out.push_back(error || n == 0 ? 0xFFFD : c);
    p += error || n == 0 ? 1 : n;
  }
  return out;
}

// A character that only a character reference, a log line or a keystroke brings is in no stored
// text, yet the reader expects it drawn with the face's glyph like any other, not as U+FFFD:
// the atlas takes it in after the frame that met it, once, and then stays as it is.
TEST_F(UiMain, characters_met_only_on_screen_are_drawn_with_their_own_glyphs) {
  // The program's fonts: built over the store's code-point set and told of what they miss.
  u32 error = 0;
  font_collection_set_codepoints(fonts, set.items, set.count);
  font_build_collection(fonts, &error);
  ASSERT_EQ(error, 0u);
  app_fonts_watch(fonts, &set);
  u32 rebuilds = 0;
  // The program's frames: the atlas follows the set after each UI build.
  auto settle = [&] {
    for (int i = 0; i < 8; i++) {
      v.another_frame = 0;
      frame();
      rebuilds += app_fonts_follow_codepoints(&a, fonts, &set) ? 1 : 0;
      if (!v.another_frame) return;
    }
    ADD_FAILURE() << "the window does not settle";
  };
  auto shown_under = [&](ui_node *n) {
    std::vector<drawn_text> out;
    if (n) drawn_texts(n, &out);
    return out;
  };
  // Each expected character is drawn there, and with its own glyph of the face, which the atlas
  // holds; with `all`, so is every other character drawn there.
  auto expect_own_glyphs = [&](const std::vector<drawn_text> &shown, const std::vector<u32> &expected, bool all) {
    std::vector<u32> met;
    std::vector<std::pair<u32, u32>> checked;  // font and code point
    for (const drawn_text &t : shown) {
      ASSERT_LT(t.font, fonts->font_count);
      const font *f = &fonts->fonts[t.font];
      for (u32 c : code_points(t.text)) {
        bool wanted = std::find(expected.begin(), expected.end(), c) != expected.end();
        if (!wanted && (!all || c == 0xFFFD || c < 0x21)) continue;
        met.push_back(c);
        if (std::find(checked.begin(), checked.end(), std::make_pair(t.font, c)) != checked.end()) continue;
        checked.push_back({t.font, c});
        u32 i = font_glyph_index(f, c);
        ASSERT_LT(i, f->codepoint_count);
        EXPECT_EQ(f->codepoints[i], c) << "U+" << std::hex << c << " is drawn as U+FFFD in \"" << t.text.substr(0, 80)
                                       << "\"";
        EXPECT_NE(f->glyphs[i].glyph_index, 0u) << "U+" << std::hex << c << " is drawn as the face's missing glyph";
        EXPECT_GT(f->glyphs[i].x1, f->glyphs[i].x0) << "U+" << std::hex << c << " has no room in the atlas";
      }
    }
    for (u32 c : expected)
      EXPECT_NE(std::find(met.begin(), met.end(), c), met.end()) << "U+" << std::hex << c << " is not on screen";
  };

  // An entry of ordinary English, as blog software writes it: its only non-ASCII characters are
  // character references.
  const std::vector<u32> referenced = {0x2019, 0x2018, 0x2122, 0x2022, 0x2192, 0x2212, 0xBD};
  entry *e = add_entry(news, {}, "refs");
  ASSERT_TRUE(e);
  e->rss.title = reader_add_string(&r, text_of("Marks"));
  e->rss.description = reader_add_string(
      &r, text_of("<p>It&rsquo;s a reader&#8217;s &lsquo;test&rsquo;: Brand&trade; &bull; one &rarr; two, "
                  "&minus;5 and &frac12; of it.</p>"));
  for (u32 c : referenced) ASSERT_FALSE(codepoint_set_contains(&set, c)) << "no stored text holds U+" << std::hex << c;
  select(news, e);
  v.page = view_page_main;
  settle();
  EXPECT_EQ(rebuilds, 1u);
  {
    SCOPED_TRACE("entry");
    expect_own_glyphs(shown_under(find_tag(find_tag(ui.ctx->root, "right panel"), "scrollable_view")), referenced,
                      true);
  }
  // Nothing new on screen: the atlas is not built again.
  settle();
  settle();
  EXPECT_EQ(rebuilds, 1u);

  // A log line naming a path with characters no stored text holds.
  const std::vector<u32> logged = {0x3A9, 0x142};
  log_append_string(string_lit("Reading the feed file failed: /tmp/\xCE\xA9-\xC5\x82.xml\n"));
  v.page = view_page_log;
  settle();
  EXPECT_EQ(rebuilds, 2u);
  {
    SCOPED_TRACE("log");
    expect_own_glyphs(shown_under(find_tag(ui.ctx->root, "log")), logged, false);
  }

  // Characters typed into the URL box.
  v.page = view_page_add_feed;
  settle();
  ui_id box_id = (ui_id)(uintptr_t)&v.add_url;
  ui_node *box = ui_find_current(ui.ctx.get(), box_id);
  ASSERT_TRUE(box);
  ui.mouse_move((s32)(box->rect.x0 + 10), (s32)((box->rect.y0 + box->rect.y1) / 2));
  ui.mouse_button(true);
  ui.mouse_button(false);
  settle();
  const std::vector<u32> typed = {0x10D, 0x416};
  u32 time = 100;
  for (const char *ch : {"\xC4\x8D", "\xD0\x96"}) {
    std::vector<u32> c = code_points(ch);
    ui_test_key(ui.w.get(), key_space, 0, time++, c[0], (const u8 *)ch, (u8)strlen(ch));
  }
  settle();
  ASSERT_EQ(to_std(v.add_url), "\xC4\x8D\xD0\x96");
  EXPECT_EQ(rebuilds, 3u);
  {
    SCOPED_TRACE("text box");
    expect_own_glyphs(shown_under(ui_find_current(ui.ctx.get(), box_id)), typed, true);
  }
}

}  // namespace
