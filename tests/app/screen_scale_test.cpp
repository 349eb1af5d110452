// The main window at a reader's scale, built, laid out and rendered in a context without a
// display with real faces: a list of 50,000 entries that the keys walk to its end, and an entry
// far longer than a screen scrolled to its last paragraph. What is drawn is read from the tree.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <GLFW/glfw3.h>

#include "app/app.h"
#include "app/image_cache.h"
#include "app/view_list.h"
#include "gfx/font.h"
#include "platform/http.h"
#include "platform/threads.h"
#include "profiler/profiler.h"
#include "tests/app/app_test_support.h"
#include "tests/reader/store_fixture.h"
#include "tests/ui/ui_test_support.h"

namespace {

class ScreenScale : public Store {
 protected:
  ui_fixture ui;
  app_test_fonts faces;
  font_collection *fonts = nullptr;
  app a = {};
  view_state v = {};
  query queries[8] = {};

  void SetUp() override {
    Store::SetUp();
    profiler_install_disabled();
    allocator_init(&app_allocator, MiB(4), MiB(1), 128);
    if (!faces.load()) GTEST_SKIP() << "no DejaVu faces on this system";
    fonts = faces.fonts;
    ui.ctx->fonts = fonts;
    ui_init_styles(ui.ctx.get());
    ui.w->width = 1280;
    ui.w->height = 720;
    ui.client = rect{0, 0, 1280, 720};

    ASSERT_TRUE(app_test_context_init(&a, &v, ui.w.get(), ui.ctx.get(), queries, 8));
    r.generation = 1;
  }
  void TearDown() override {
    if (fonts) {
      view_state_release_html(&v);
      memory_free(&a.frame_arena);
    }
    faces.release();
    allocator_destroy(&app_allocator);
    Store::TearDown();
  }

  void hold_entries(u32 count) { ASSERT_GE(r.entries.max_entry_count, count); }

  feed *feed_titled(const std::string &title) {
    feed *f = add_feed(feed_type_rss);
    if (f) f->rss.title = reader_add_string(&r, text_of(title));
    return f;
  }
  entry *entry_titled(feed *f, const std::string &title, const std::string &html = "") {
    entry *e = add_entry(f, {}, title);
    if (!e) return nullptr;
    e->rss.title = reader_add_string(&r, text_of(title));
    if (!html.empty()) e->rss.description = reader_add_string(&r, text_of(html));
    return e;
  }

  // The entry's page, shown from its top as after a click on it.
  void open_entry(feed *f, entry *e) {
    view_list_generation_all(&v, &r);
    v.selected_feed = f;
    v.selected_entry = e;
    v.selection_changed = 1;
    v.page = view_page_main;
  }
  void frame() {
    ui_main(&a, &r);
    input_frame_reset(ui.w.get());
    a.frame_arena.used = 0;
  }
  void frames() {
    for (int i = 0; i < 6; i++) {
      v.another_frame = 0;
      frame();
      if (!v.another_frame) break;
    }
  }
  void press(u8 key) {
    ui.w->key_state[key] = input_key_state_pack(1, 0, 1);
    frames();
    memory_zero(ui.w->key_state, sizeof ui.w->key_state);
  }
  void wheel(f32 x, f32 y, f32 notches) {
    input_on_mouse_move(ui.w.get(), (s32)x, (s32)y, 1);
    input_on_scroll(ui.w.get(), 0, notches, 2);
    frames();
  }

  static ui_node *find_tag(ui_node *n, const std::string &tag) {
    if (to_std(n->tag) == tag) return n;
    for (ui_node *c = n->first_child; c; c = c->next)
      if (ui_node *found = find_tag(c, tag)) return found;
    return nullptr;
  }
  ui_node *view_of(const char *panel_tag) {
    ui_node *panel = find_tag(ui.ctx->root, panel_tag);
    return panel ? find_tag(panel, "scrollable_view") : nullptr;
  }
  static bool inside(rect inner, rect outer) {
    return inner.x0 >= outer.x0 && inner.x1 <= outer.x1 && inner.y0 >= outer.y0 && inner.y1 <= outer.y1;
  }
  u64 node_count() const { return ui.ctx->nodes.used / sizeof(ui_node); }

  // For each paragraph built in the entry's column ("Paragraph N" starts it), its first line's
  // distance below the column's top, which does not depend on the scroll.
  std::map<std::string, f32> paragraph_offsets() {
    std::map<std::string, f32> out;
    ui_node *page = view_of("right panel");
    ui_node *column = page ? find_tag(page, "html") : nullptr;
    if (!column) return out;
    std::vector<ui_node *> stack = {column};
    while (!stack.empty()) {
      ui_node *n = stack.back();
      stack.pop_back();
      if (n->flags & ui_node_flag_flow_instructions) continue;
      std::string t = to_std(n->text);
      if ((n->flags & ui_node_flag_flow_run) && t.rfind("Paragraph ", 0) == 0) {
        std::string key = t.substr(0, t.find(' ', 10));
        if (!out.count(key)) out[key] = column->rect.y1 - n->rect.y1;
      }
      for (ui_node *c = n->first_child; c; c = c->next) stack.push_back(c);
    }
    return out;
  }
};

// 50,000 entries in five feeds. Page Down walks the feeds and End takes the last entry: each
// lands drawn, selected and inside the list's view, while the list keeps its whole height and
// only a few screens of rows are built.
TEST_F(ScreenScale, page_down_and_end_reach_the_last_of_50000_entries) {
  const u32 feeds = 5, per_feed = 10000;
  hold_entries(feeds * per_feed);
  std::vector<feed *> fs;
  entry *last = nullptr;
  for (u32 i = 0; i < feeds; i++) {
    fs.push_back(feed_titled("Feed " + std::to_string(i)));
    ASSERT_TRUE(fs.back());
    for (u32 k = 0; k < per_feed; k++) {
      last = entry_titled(fs.back(), "Entry " + std::to_string(i) + "-" + std::to_string(k));
      ASSERT_TRUE(last);
    }
  }
  view_list_generation_all(&v, &r);
  v.page = view_page_help;
  frames();

  ui_context *ctx = ui.ctx.get();
  auto expect_drawn_selected = [&](entry *e) {
    ui_node *node = ui_find_current(ctx, (ui_id)(uintptr_t)e);
    ASSERT_TRUE(node) << "the selected entry is built";
    EXPECT_EQ(node->style, style_list_entry_selected);
    EXPECT_EQ(node->visible, 1u);
    ui_node *view = view_of("left_panel");
    ASSERT_TRUE(view);
    EXPECT_TRUE(inside(node->rect, view->rect)) << "scrolled into the view";
    EXPECT_LT(node_count(), 3000u) << "rows outside the view are spacers";
    EXPECT_EQ(ctx->dropped_nodes, 0u);
  };

  press(key_down);
  ASSERT_EQ(v.selected_feed, fs[0]);
  for (u32 i = 1; i < feeds; i++) {
    press(key_page_down);
    ASSERT_EQ(v.selected_feed, fs[i]);
    expect_drawn_selected(v.selected_entry);
  }
  press(key_end);
  ASSERT_EQ(v.selected_entry, last);
  expect_drawn_selected(last);

  // The spacers keep the list exactly as tall as every row built would make it.
  f32 block_top = 0;
  f32 frame = ui_style_frame_y(ctx, style_list_feed, ui_node_flag_padding, &block_top);
  f32 title = ui_line_rule_height(ctx, 2, style_list_feed_title, ui_node_flag_padding);
  f32 line = ui_line_rule_height(ctx, 1, style_list_entry_even, ui_node_flag_padding);
  ui_node *list = find_tag(ctx->root, "list");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->size[1], feeds * (frame + title + line * per_feed) + (feeds - 1) * 2);

  // Up from the last entry draws its neighbour selected with the odd or even style of a full list.
  press(key_up);
  ui_node *above = ui_find_current(ctx, (ui_id)(uintptr_t)v.selected_entry);
  ASSERT_TRUE(above);
  EXPECT_EQ(above->style, style_list_entry_selected);
  ui_node *below = ui_find_current(ctx, (ui_id)(uintptr_t)last);
  ASSERT_TRUE(below);
  EXPECT_EQ(below->style, (per_feed - 1) & 1 ? style_list_entry_odd : style_list_entry_even);
  EXPECT_EQ(below->rect.y1, above->rect.y0) << "neighbours stay adjacent";
}

// The listing is kept between frames and worked out again when the store or the filters change:
// by keys, by a changed filter, by new records, and when the store says so.
TEST_F(ScreenScale, the_kept_listing_follows_keys_filters_and_the_store) {
  feed *f = feed_titled("Feed");
  std::vector<entry *> es;
  for (int k = 0; k < 30; k++) es.push_back(entry_titled(f, "Entry " + std::to_string(k)));
  view_list_generation_all(&v, &r);
  v.page = view_page_help;
  frames();
  ui_context *ctx = ui.ctx.get();
  auto listed = [&](entry *e) { return ui_find_current(ctx, (ui_id)(uintptr_t)e) != nullptr; };
  EXPECT_TRUE(listed(es[0]));

  press(key_down);
  ASSERT_EQ(v.selected_entry, es[0]);
  press(key_delete);
  EXPECT_FALSE(listed(es[0])) << "Delete marks it, and \"Feeds\" no longer lists it";
  v.deleted_filter = deleted_filter_both;
  frames();
  EXPECT_TRUE(listed(es[0])) << "a changed filter lists it again";
  v.deleted_filter = deleted_filter_not_deleted;
  frames();
  EXPECT_FALSE(listed(es[0]));

  entry *added = entry_titled(f, "A newer entry");
  frames();
  EXPECT_TRUE(listed(added)) << "a new record shows in the next frame";

  entry_mark_deleted(es[5]);
  view_list_stale();
  frames();
  EXPECT_FALSE(listed(es[5])) << "a change the counters do not show, once the store says so";

  v.filter_active = 1;
  memcpy(v.list_filter.data, "newer", 5);
  v.list_filter.used = 5;
  frames();
  EXPECT_TRUE(listed(added));
  EXPECT_FALSE(listed(es[1])) << "the text filter";
}

// An entry many screens long, with links, scrolled by the wheel to its end: the last paragraph
// is drawn inside the page, and nothing was dropped on the way.
TEST_F(ScreenScale, a_long_entry_scrolled_to_its_end_draws_its_last_paragraph) {
  std::string html;
  const u32 paragraphs = 3000;
  for (u32 i = 0; i < paragraphs; i++) {
    html += "<p>Paragraph " + std::to_string(i) + " says a few words";
    if (i % 2 == 0) html += " and <a href=\"https://example.org/" + std::to_string(i) + "\">links</a>";
    html += ".</p>";
  }
  feed *f = feed_titled("Long");
  entry *e = entry_titled(f, "A long entry", html);
  ASSERT_TRUE(e);
  open_entry(f, e);
  // The first frame builds every paragraph: where each lies below the column's top.
  frame();
  std::map<std::string, f32> full = paragraph_offsets();
  ASSERT_EQ(full.size(), paragraphs);
  frames();
  ui_node *page = view_of("right panel");
  ASSERT_TRUE(page);
  f32 x = (page->rect.x0 + page->rect.x1) / 2, y = (page->rect.y0 + page->rect.y1) / 2;
  // Down into the middle step by step, and back up a little: the paragraphs built each time lie
  // exactly where the full build put them.
  const f32 steps[] = {-200, -200, -3, -3, 2, -400, 5};
  for (f32 notches : steps) {
    wheel(x, y, notches);
    std::map<std::string, f32> shown = paragraph_offsets();
    EXPECT_GT(shown.size(), 3u);
    EXPECT_LT(shown.size(), 300u);
    for (const auto &p : shown) EXPECT_EQ(p.second, full[p.first]) << p.first << " after " << notches;
  }
  for (int i = 0; i < 3; i++) wheel(x, y, -1e6f);

  ui_context *ctx = ui.ctx.get();
  page = view_of("right panel");
  ASSERT_TRUE(page);
  std::string last = "Paragraph " + std::to_string(paragraphs - 1) + " ";
  bool drawn = false;
  std::vector<ui_node *> stack = {page};
  while (!stack.empty()) {
    ui_node *n = stack.back();
    stack.pop_back();
    if (n->flags & ui_node_flag_flow_instructions) continue;
    if ((n->flags & ui_node_flag_flow_run) && to_std(n->text).find(last) != std::string::npos) {
      drawn = n->visible && inside(n->rect, page->rect);
    }
    for (ui_node *c = n->first_child; c; c = c->next) stack.push_back(c);
  }
  EXPECT_TRUE(drawn) << "the last paragraph is on screen";
  EXPECT_LT(node_count(), 4000u) << "paragraphs off screen are spacers";
  ui_node *column = find_tag(page, "html");
  ASSERT_TRUE(column);
  f32 height = column->size[1];
  wheel(x, y, 1e6f);  // back to the top, where other paragraphs are built
  column = find_tag(view_of("right panel"), "html");
  ASSERT_TRUE(column);
  EXPECT_EQ(column->size[1], height) << "the page keeps its height whichever part is built";
  EXPECT_EQ(ctx->dropped_nodes, 0u);
  EXPECT_EQ(ctx->dropped_texts, 0u);
}

// The list's summary takes 8 bytes an entry: a store whose summary does not fit the frame arena's
// free tail (as 1,000,000 entries do not fit its 10 MiB) still lists every entry.
TEST_F(ScreenScale, the_list_of_a_store_larger_than_the_frame_arena_lists_every_entry) {
  const u32 count = 20000;  // 160 KB of entry pointers
  memory_free(&a.frame_arena);
  a.frame_arena = memory_alloc(KiB(128), nullptr);
  hold_entries(count);
  feed *f = feed_titled("Many");
  entry *last = nullptr;
  for (u32 k = 0; k < count; k++) last = entry_titled(f, "Entry " + std::to_string(k));
  ASSERT_TRUE(last);
  view_list_generation_all(&v, &r);
  v.page = view_page_help;
  frames();
  ui_context *ctx = ui.ctx.get();
  ASSERT_TRUE(ui_find_current(ctx, (ui_id)(uintptr_t)f)) << "the feed is listed";
  press(key_down);
  press(key_end);
  ASSERT_EQ(v.selected_entry, last);
  ui_node *node = ui_find_current(ctx, (ui_id)(uintptr_t)last);
  ASSERT_TRUE(node) << "the last entry is listed and built";
  EXPECT_EQ(to_std(node->text), "Entry " + std::to_string(count - 1));
}

// Texts replaced by updates are moved to the spare arena between frames, and the old arena is
// given back at the next move: nothing the list or the entry page shows may still point into it.
TEST_F(ScreenScale, the_list_and_the_entry_show_their_texts_after_the_arena_moved) {
  feed *f = feed_titled("Moving");
  std::vector<entry *> es;
  for (int k = 0; k < 20; k++) es.push_back(entry_titled(f, "Entry " + std::to_string(k)));
  entry *shown = entry_titled(f, "Shown", "<p>Paragraph 1 of the shown entry.</p><p>Paragraph 2 ends it.</p>");
  open_entry(f, shown);
  frames();
  ASSERT_EQ(paragraph_offsets().size(), 2u);

  ui_context *ctx = ui.ctx.get();
  u32 moves = 0;
  for (int round = 0; round < 2; round++) {
    // Garbage well past the live texts: every title replaced many times over.
    std::string pad(1000, 'x');
    for (int n = 0; n < 300; n++)
      for (size_t k = 0; k < es.size(); k++)
        reader_set_string(&r, &es[k]->rss.title, text_of("Entry " + std::to_string(k) + pad + std::to_string(n)));
    for (size_t k = 0; k < es.size(); k++)
      reader_set_string(&r, &es[k]->rss.title, text_of("Title " + std::to_string(round) + "-" + std::to_string(k)));
    for (int i = 0; i < 3; i++) {
      u8 *base = r.strings.data;
      app_queries_check(&a, &r);
      moves += r.strings.data != base;
      frames();
    }
    for (size_t k = 0; k < es.size(); k++) {
      ui_node *node = ui_find_current(ctx, (ui_id)(uintptr_t)es[k]);
      ASSERT_TRUE(node);
      EXPECT_EQ(to_std(node->text), "Title " + std::to_string(round) + "-" + std::to_string(k));
    }
    std::map<std::string, f32> paragraphs = paragraph_offsets();
    EXPECT_EQ(paragraphs.size(), 2u) << "the entry's HTML is read from the texts' new place";
  }
  EXPECT_EQ(moves, 2u) << "one move per round";
}

// The information line of an Atom entry names its authors and contributors from the links the
// entry owns, whatever other links the store holds and in whatever slots.
TEST_F(ScreenScale, an_atom_entry_names_its_own_authors_and_contributors) {
  feed *other = add_feed(feed_type_atom);
  feed *f = add_feed(feed_type_atom);
  ASSERT_TRUE(other && f);
  other->atom.title = reader_add_string(&r, text_of("Other"));
  f->atom.title = reader_add_string(&r, text_of("Atom"));
  entry *noise = add_entry(other, {}, "noise");
  entry *e = add_entry(f, {}, "shown");
  ASSERT_TRUE(noise && e);
  e->atom.title = reader_add_string(&r, text_of("Shown"));
  // Links of the other entry, and of the feed whose id is the entry's, before, between and after
  // the entry's own.
  ASSERT_EQ(f->id, e->id);
  for (int i = 0; i < 50; i++) {
    link_person("Nobody " + std::to_string(i), link_kind_atom_entry_author, noise->id, &noise->atom.author_count);
    if (i == 10) link_person("Ann", link_kind_atom_entry_author, e->id, &e->atom.author_count);
    if (i == 20) link_person("Cy", link_kind_atom_entry_contributor, e->id, &e->atom.contributor_count);
    if (i == 30) link_person("Bo", link_kind_atom_entry_author, e->id, &e->atom.author_count);
    link_person("Feed author " + std::to_string(i), link_kind_atom_feed_author, f->id, &f->atom.author_count);
  }
  ASSERT_EQ(e->atom.author_count, 2u);
  ASSERT_EQ(e->atom.contributor_count, 1u);
  open_entry(f, e);
  frames();
  std::string line;
  ui_node *page = view_of("right panel");
  ASSERT_TRUE(page);
  std::function<void(ui_node *)> walk = [&](ui_node *n) {
    if (n->flags & ui_node_flag_flow_run) line += to_std(n->text) + "|";
    for (ui_node *c = n->first_child; c; c = c->next) walk(c);
  };
  walk(page);
  EXPECT_NE(line.find("Ann, Bo"), std::string::npos) << line;
  EXPECT_NE(line.find("Contributor: "), std::string::npos) << line;
  EXPECT_NE(line.find("Cy"), std::string::npos) << line;
  EXPECT_EQ(line.find("Nobody"), std::string::npos) << line;
  EXPECT_EQ(line.find("Feed author"), std::string::npos) << line;
}

}  // namespace

namespace {

// Keys, clicks that only select and the wheel leave the kept listing as it is; every action that
// changes what is listed works it out again, and after any mix of them the kept listing is the
// one worked out afresh.
TEST_F(ScreenScale, the_kept_listing_is_worked_out_only_when_what_is_listed_can_change) {
  std::vector<feed *> fs;
  for (int i = 0; i < 4; i++) {
    fs.push_back(feed_titled("Feed " + std::to_string(i)));
    for (int k = 0; k < 12; k++) entry_titled(fs.back(), "Entry " + std::to_string(i * 12 + k));
  }
  view_list_generation_all(&v, &r);
  v.page = view_page_help;
  frames();
  ASSERT_TRUE(view_list_kept_is_fresh(&a, &r));
  window *w = ui.w.get();
  u32 time = 1;
  // As the window delivers it: a press event, a frame, the release.
  auto type = [&](s32 key, bool shift = false) {
    if (shift) input_on_key(w, GLFW_KEY_LEFT_SHIFT, 0, GLFW_PRESS, time++);
    input_on_key(w, key, 0, GLFW_PRESS, time++);
    frames();
    input_on_key(w, key, 0, GLFW_RELEASE, time++);
    if (shift) input_on_key(w, GLFW_KEY_LEFT_SHIFT, 0, GLFW_RELEASE, time++);
    frames();
  };
  auto click = [&](const void *record) {
    ui_node *n = ui_find_current(ui.ctx.get(), (ui_id)(uintptr_t)record);
    if (!n) return;
    input_on_mouse_move(w, (s32)((n->rect.x0 + n->rect.x1) / 2), (s32)((n->rect.y0 + n->rect.y1) / 2), time++);
    input_on_mouse_button(w, key_mouse_left, true, time++);
    frames();
    input_on_mouse_button(w, key_mouse_left, false, time++);
    frames();
  };

  u64 builds = view_list_build_count();
  for (s32 key : {GLFW_KEY_DOWN, GLFW_KEY_DOWN, GLFW_KEY_UP, GLFW_KEY_PAGE_DOWN, GLFW_KEY_END, GLFW_KEY_HOME,
                  GLFW_KEY_PAGE_UP})
    type(key);
  click(fs[0]);
  ASSERT_EQ(v.selected_feed, fs[0]) << "the click reached the feed";
  ui_node *page = view_of("left_panel");
  ASSERT_TRUE(page);
  wheel((page->rect.x0 + page->rect.x1) / 2, (page->rect.y0 + page->rect.y1) / 2, -3);
  EXPECT_EQ(view_list_build_count(), builds) << "navigation, selecting and scrolling list the same";

  u32 seed = 12345;
  auto next = [&](u32 n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  const s32 keys[] = {GLFW_KEY_DOWN, GLFW_KEY_UP,  GLFW_KEY_PAGE_DOWN, GLFW_KEY_PAGE_UP,
                      GLFW_KEY_HOME, GLFW_KEY_END, GLFW_KEY_DELETE,    GLFW_KEY_BACKSPACE};
  for (int step = 0; step < 80; step++) {
    u32 action = next(9);
    if (action < 4) {
      type(keys[next(sizeof keys / sizeof keys[0])], next(3) == 0);
    } else if (action == 4) {
      v.deleted_filter = next(3);
      frames();
    } else if (action == 5) {
      click(fs[next((u32)fs.size())]);
    } else if (action == 6) {
      // A fetch of a feed queued, or its slot given back.
      query &q = queries[next(4)];
      q.feed_id = (s32)fs[next((u32)fs.size())]->id;
      __atomic_store_n(&q.state, q.state == query_state_queued ? (u32)query_state_free : (u32)query_state_queued,
                       __ATOMIC_RELEASE);
      frames();
    } else if (action == 7) {
      entry_titled(fs[next((u32)fs.size())], "Entry added at " + std::to_string(step));
      frames();
    } else {
      v.show_empty = next(2);
      v.filter_active = next(2);
      const char *words[] = {"1", "Entry 2", "Feed 3", "zz"};
      const char *word = words[next(4)];
      v.list_filter.used = strlen(word);
      memcpy(v.list_filter.data, word, v.list_filter.used);
      frames();
    }
    ASSERT_TRUE(view_list_kept_is_fresh(&a, &r)) << "after step " << step << " (action " << action << ")";
  }
  for (query &q : queries) q.state = query_state_free;
}

// Opening an entry of hundreds of kilobytes over and over adds one short line to the log each
// time, not a copy of the entry.
TEST_F(ScreenScale, opening_a_large_entry_logs_one_short_line) {
  std::string html;
  while (html.size() < 300000) html += "<p>Line of text\nwith a break</p>\n";
  feed *f = feed_titled("Big");
  entry *e = entry_titled(f, "A big entry", html);
  entry *other = entry_titled(f, "Another");
  ASSERT_TRUE(e && other);
  view_list_generation_all(&v, &r);
  v.page = view_page_main;
  v.selected_feed = f;
  for (int open = 0; open < 3; open++) {
    v.selected_entry = other;
    view_close_page(&a);
    frames();
    size_t before = to_std(log_last_text()).size();
    v.selected_entry = e;
    view_close_page(&a);
    frames();
    std::string log = to_std(log_last_text());
    ASSERT_GE(log.size(), before);
    std::string added = log.substr(before);
    size_t at = added.find("Parsing RSS entry HTML: <p>Line of text with a break</p>");
    ASSERT_NE(at, std::string::npos) << added.substr(0, 400);
    std::string line = added.substr(at, added.find('\n', at) + 1 - at);
    EXPECT_LT(line.size(), 300u);
    EXPECT_NE(line.find(" (" + std::to_string(html.size()) + " bytes).\n"), std::string::npos) << line;
    EXPECT_LT(added.size(), 2000u) << "no copy of the entry";
  }
}

}  // namespace

namespace {

// An entry of thousands of images: only the images on screen are requested, not one per slot
// of the cache; scrolled to its end, those there are.
TEST_F(ScreenScale, an_entry_of_many_images_requests_only_those_on_screen) {
  const u32 images = 2000;
  std::string html;
  for (u32 i = 0; i < images; i++)
    html += "<p>Picture " + std::to_string(i) + "</p><img src=\"http://127.0.0.1:9/" + std::to_string(i) + ".png\">";
  feed *f = feed_titled("Pictures");
  entry *e = entry_titled(f, "Many images", html);
  ASSERT_TRUE(e);
  u32 error = 0;
  http_init(string_lit("quillmere"), &error);
  ASSERT_EQ(error, 0u);
  thread_queue queue = {};
  thread_queue_create(&queue, 1);
  image_cache_set_queue(&queue, nullptr);
  auto requested = [&] {
    u32 n = 0;
    for (image_slot &s : image_slots)
      n += __atomic_load_n(&s.state, __ATOMIC_ACQUIRE) != image_state_free && s.owner_id == e->id;
    return n;
  };
  open_entry(f, e);
  for (int i = 0; i < 4; i++) frame();
  u32 at_top = requested();
  EXPECT_GT(at_top, 0u);
  EXPECT_LT(at_top, 60u) << "a screen shows a few of the " << images;
  ui_node *page = view_of("right panel");
  ASSERT_TRUE(page);
  for (int i = 0; i < 3; i++) wheel((page->rect.x0 + page->rect.x1) / 2, (page->rect.y0 + page->rect.y1) / 2, -1e6f);
  for (int i = 0; i < 4; i++) frame();
  EXPECT_GT(requested(), at_top) << "the last ones once they are on screen";
  EXPECT_LT(requested(), 2 * at_top + 60);

  thread_complete_queue(&queue);
  image_release_owner(e->id);
  image_free_released();
  thread_terminate(&queue);
  for (image_slot &s : image_slots) EXPECT_TRUE(image_slot_free(&s));
  image_cache_set_queue(nullptr, nullptr);
  http_terminate(&error);
}

}  // namespace

namespace {

// A table of tens of thousands of rows opens without building every row in its first frame;
// the rows are measured over the next frames, and scrolled to the end the last row is drawn.
TEST_F(ScreenScale, a_long_table_opens_without_building_every_row_and_reaches_its_last) {
  const u32 rows = 30000;
  std::string html = "<table>";
  for (u32 i = 0; i < rows; i++) html += "<tr><td>Row " + std::to_string(i) + " end</td></tr>";
  html += "</table>";
  feed *f = feed_titled("Tables");
  entry *e = entry_titled(f, "A long table", html);
  ASSERT_TRUE(e);
  open_entry(f, e);
  frame();
  EXPECT_LT(node_count(), 150000u) << "the opening frame builds a bounded part of the rows";
  EXPECT_EQ(v.another_frame, 1u) << "the rest is measured in the frames after";
  for (int i = 0; i < 8; i++) frames();
  ui_node *page = view_of("right panel");
  ASSERT_TRUE(page);
  f32 x = (page->rect.x0 + page->rect.x1) / 2, y = (page->rect.y0 + page->rect.y1) / 2;
  for (int i = 0; i < 3; i++) wheel(x, y, -1e6f);
  page = view_of("right panel");
  ASSERT_TRUE(page);
  std::string last = "Row " + std::to_string(rows - 1) + " end";
  bool drawn = false;
  for (ui_node *n = (ui_node *)ui.ctx->nodes.data; n < (ui_node *)(ui.ctx->nodes.data + ui.ctx->nodes.used); n++) {
    if ((n->flags & ui_node_flag_flow_run) && to_std(n->text).find(last) != std::string::npos)
      drawn = drawn || (n->visible && inside(n->rect, page->rect));
  }
  EXPECT_TRUE(drawn) << "the last row is on screen";
  EXPECT_LT(node_count(), 4000u) << "rows off screen are spacers";
}

}  // namespace
