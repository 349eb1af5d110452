// The UI thread's work per frame for the program's own views, without a display: the whole tree
// is built, solved and recorded into batches in memory, as the frame loop does before GL draws.
// Each frame scrolls the view by a wheel step, so what is built changes from frame to frame.
// Reported per case: the median thread CPU time of one frame ("median_ms").
//
//   frame_bench                       all cases
//   frame_bench --benchmark_filter=list
#include <GLFW/glfw3.h>
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/view_list.h"
#include "gfx/font.h"
#include "gfx/input.h"
#include "gfx/render.h"
#include "gfx/window.h"
#include "profiler/profiler.h"
#include "reader/reader.h"
#include "tests/app/app_test_support.h"
#include "ui/ui.h"

namespace {

buffer text_of(const std::string &s) { return string_from_bytes(s.data(), s.size()); }

f64 thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return (f64)t.tv_sec + (f64)t.tv_nsec * 1e-9;
}

// Everything one frame of the program touches on the UI thread, minus GL.
struct frame_setup {
  window w = {};
  ui_context ctx = {};
  buffer batch_memory = {};
  gl_batch batches[7] = {};
  app_test_fonts faces;
  font_collection *fonts = nullptr;
  reader r = {};
  codepoint_set set = {};
  buffer set_memory = {};
  bool store_made = false;
  app a = {};
  view_state v = {};
  query queries[8] = {};
  u32 time = 1;
  bool ok = false;

  explicit frame_setup(u32 entry_capacity) {
    profiler_install_disabled();
    allocator_init(&app_allocator, MiB(4), MiB(1), 128);
    u32 error = 0;
    if (!faces.load()) return;
    fonts = faces.fonts;

    // Batches as large as a 4K window's text needs; they are cleared after every frame.
    vertex_format shapes = gl_vertex_format(2, 1, 0, 2), text = gl_vertex_format(2, 1, 2, 4);
    u64 need = 0;
    for (u32 i = 0; i < 7; i++) need += gl_batch_memory_size(i == 1 || i == 4 ? 7 : 5, i == 1 || i == 4 ? 4u << 20 : 400000, 40000, i == 1 || i == 4 ? text : shapes) + 64;
    batch_memory = memory_alloc(need, nullptr);
    for (u32 i = 0; i < 7; i++) {
      bool is_text = i == 1 || i == 4;
      batches[i] = is_text ? gl_batch_init_text(&batch_memory, 4u << 20, 40000, text, 0, nullptr, fonts)
                           : gl_batch_init_shapes(&batch_memory, 400000, 40000, i == 2 || i == 5 || i == 6 ? text : shapes,
                                                  0, nullptr);
    }
    w.focused = 1;
    w.width = 1920;
    w.height = 1080;
    w.caret_blink_ms = 530;
    ui_init(&ctx, &w, &batches[0], &batches[1], &batches[2], &batches[3], &batches[4], &batches[5], &batches[6]);
    ctx.fonts = fonts;
    ui_init_styles(&ctx);

    // The store's own capacity, raised when a case lists more entries than it holds.
    reader_capacity capacity = reader_default_capacity;
    if (entry_capacity > capacity.entries) capacity.entries = entry_capacity;
    reader_init_sized(&r, &capacity, &error);
    if (error) return;
    store_made = true;
    set_memory = memory_alloc(CODEPOINT_SET_MEMORY, nullptr);
    codepoint_set_init(&set, &set_memory);
    r.codepoints = &set;

    if (!app_test_context_init(&a, &v, &w, &ctx, queries, 8, APP_FRAME_ARENA_BYTES * 8)) return;
    r.generation = 1;
    ok = true;
  }
  ~frame_setup() {
    if (store_made) reader_destroy(&r);
    view_state_release_html(&v);
    memory_free(&a.frame_arena);
    memory_free(&set_memory);
    memory_free(&batch_memory);
    faces.release();
    allocator_destroy(&app_allocator);
  }

  feed *add_feed(const std::string &title) {
    feed *f = reader_new_feed(&r, feed_type_rss);
    if (!f) return nullptr;
    f->url = reader_add_string(&r, text_of("https://example.org/" + std::to_string(f->id)));
    f->rss.title = reader_add_string(&r, text_of(title));
    meta *m = reader_new_meta(&r, f->id);
    if (m) m->opener = &r.link_openers[0];
    return f;
  }
  entry *add_entry(feed *f, const std::string &title, const std::string &description = "") {
    entry *e = reader_new_entry(&r);
    if (!e) return nullptr;
    e->type = feed_type_rss;
    e->rss.title = reader_add_string(&r, text_of(title));
    e->rss.guid = reader_add_string(&r, text_of(title));
    if (!description.empty()) e->rss.description = reader_add_string(&r, text_of(description));
    reader_attach_entry(&r, f, e);
    return e;
  }

  // The entry shown on the main page, every generation listed, as a click on it leaves the view.
  void open_entry(feed *f, entry *e) {
    view_list_generation_all(&v, &r);
    v.selected_feed = f;
    v.selected_entry = e;
    v.selection_changed = 1;
    v.page = view_page_main;
  }

  // One frame as the program's loop runs it, up to the point where GL would draw.
  void frame() {
    ui_main(&a, &r);
    input_frame_reset(&w);
    a.frame_arena.used = 0;
    for (gl_batch &b : batches) gl_batch_clear(&b);
  }
  void wheel(s32 x, s32 y, f32 notches) {
    input_on_mouse_move(&w, x, y, time++);
    input_on_scroll(&w, 0, notches, time++);
  }
};

// One frame on the thread's clock, which is the iteration's time.
void frame_timed(benchmark::State &state, frame_setup &s, std::vector<f64> *times) {
  f64 t0 = thread_seconds();
  s.frame();
  f64 t = thread_seconds() - t0;
  state.SetIterationTime(t);
  times->push_back(t);
}

// The median frame; the times are sorted afterwards.
void times_report(benchmark::State &state, std::vector<f64> *times) {
  std::sort(times->begin(), times->end());
  if (!times->empty()) state.counters["median_ms"] = (*times)[times->size() / 2] * 1e3;
}

// Frames that scroll down by wheel steps until the view stops moving, then back up, and so on.
void run_scrolling(benchmark::State &state, frame_setup &s, s32 x, s32 y, f32 notches) {
  for (int i = 0; i < 8; i++) s.frame();  // settle the layout and the caches
  std::vector<f64> times;
  f32 direction = -notches;
  u32 still = 0;
  for (auto _ : state) {
    s.wheel(x, y, direction);
    frame_timed(state, s, &times);
    // Far enough down to pass many screens, then back up.
    if (++still >= 100) {
      direction = -direction;
      still = 0;
    }
  }
  times_report(state, &times);
  state.counters["nodes"] = (f64)(s.ctx.previous_nodes.used / sizeof(ui_node));
  // Entry rows drawn in the last frame: the case must show its list, not an empty one.
  u64 rows = 0;
  ui_node *nodes = (ui_node *)s.ctx.previous_nodes.data;
  for (u64 i = 0; i < s.ctx.previous_nodes.used / sizeof(ui_node); i++) {
    if (nodes[i].visible && (nodes[i].style == style_list_entry_even || nodes[i].style == style_list_entry_odd)) rows++;
  }
  state.counters["rows"] = (f64)rows;
}

// A million long titles would not fit the store's string arena; short ones do.
std::string list_title_tail(u32 entries) {
  return entries > 100000 ? "" : " of a list that is long enough to be cut off at the panel's edge";
}

// A list of as many feeds as the store holds (at most 100) with the entries spread evenly over
// them, every generation listed and the help page on the right; the feeds, or none when the store
// does not hold it all (the case is then skipped).
std::vector<feed *> list_fill(benchmark::State &state, frame_setup &s, u32 entries) {
  if (!s.ok) {
    state.SkipWithError("no fonts or no store");
    return {};
  }
  u32 feeds = std::min<u32>(100, s.r.feeds.max_entry_count);
  std::vector<feed *> fs;
  for (u32 i = 0; i < feeds; i++) fs.push_back(s.add_feed("Feed number " + std::to_string(i)));
  u32 made = 0;
  for (u32 k = 0; k < entries; k++) {
    if (s.add_entry(fs[k % feeds], "Entry " + std::to_string(k) + list_title_tail(entries))) made++;
  }
  if (made != entries) {
    state.SkipWithError("the store does not hold that many entries");
    return {};
  }
  view_list_generation_all(&s.v, &s.r);
  s.v.page = view_page_help;
  state.counters["entries"] = made;
  return fs;
}

void BM_list_all(benchmark::State &state) {
  u32 entries = (u32)state.range(0);
  frame_setup s(entries);
  if (list_fill(state, s, entries).empty()) return;
  run_scrolling(state, s, 200, 500, 3);
}
BENCHMARK(BM_list_all)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(150);

// Frames of "Update all": before each one a feed gets a new entry, as the parse of its document
// gives it and announces it, so the kept listing refreshes that feed in every frame. Against
// BM_list_all at the same size, the difference is the refresh. With stale set, each frame's change
// is one the listing cannot follow (as a deletion by the user) and it is worked out in full
// (the kept listing's tests hold which of the two each kind of change takes).
void list_store_changed(benchmark::State &state, bool stale) {
  u32 entries = (u32)state.range(0);
  const u32 added_most = 1000;
  frame_setup s(entries + added_most);
  std::vector<feed *> fs = list_fill(state, s, entries);
  if (fs.empty()) return;
  for (int i = 0; i < 8; i++) s.frame();
  std::vector<f64> times;
  u32 added = 0;
  for (auto _ : state) {
    std::string title = "New entry " + std::to_string(added) + list_title_tail(entries);
    feed *f = fs[added % fs.size()];
    view_list_feed_change_begin(&s.r);
    entry *e = added < added_most ? s.add_entry(f, title) : nullptr;
    view_list_feed_change_end(&s.r, f->id);
    if (stale) view_list_stale();
    if (!e) {
      state.SkipWithError("the store is full");
      break;
    }
    added++;
    frame_timed(state, s, &times);
  }
  times_report(state, &times);
  if (!times.empty()) state.counters["max_ms"] = times.back() * 1e3;
}
void BM_list_store_changed(benchmark::State &state) { list_store_changed(state, false); }
void BM_list_store_rebuilt(benchmark::State &state) { list_store_changed(state, true); }
BENCHMARK(BM_list_store_changed)->Arg(100000)->Arg(1000000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(150);
BENCHMARK(BM_list_store_rebuilt)->Arg(100000)->Arg(1000000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(150);

// Holding Down in a list of 99,900 entries over 300 feeds: each frame a key repeats and the
// selection moves, while what is listed stays the same.
void BM_list_key_down(benchmark::State &state) {
  const u32 entries = 99900, feeds = 300;
  frame_setup s(entries);
  if (!s.ok || s.r.feeds.max_entry_count < feeds) {
    state.SkipWithError("no fonts or no store");
    return;
  }
  std::vector<feed *> fs;
  for (u32 i = 0; i < feeds; i++) fs.push_back(s.add_feed("Feed number " + std::to_string(i)));
  for (u32 k = 0; k < entries; k++) s.add_entry(fs[k % feeds], "Entry " + std::to_string(k));
  view_list_generation_all(&s.v, &s.r);
  s.v.page = view_page_help;
  for (int i = 0; i < 8; i++) s.frame();
  input_on_key(&s.w, GLFW_KEY_DOWN, 0, GLFW_PRESS, s.time++);
  std::vector<f64> times;
  for (auto _ : state) {
    input_on_key(&s.w, GLFW_KEY_DOWN, 0, GLFW_REPEAT, s.time++);
    frame_timed(state, s, &times);
  }
  times_report(state, &times);
}
BENCHMARK(BM_list_key_down)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(150);

// About 2 MB of HTML: 20,000 paragraphs, every other one with a link.
std::string long_html() {
  std::string s;
  s.reserve(2200000);
  for (u32 i = 0; i < 20000; i++) {
    s += "<p>Paragraph " + std::to_string(i) + " says a few plain words about nothing much at all";
    if (i % 2 == 0) s += " and <a href=\"https://example.org/" + std::to_string(i) + "\">links to page " + std::to_string(i) + "</a>";
    s += ", then ends here.</p>\n";
  }
  return s;
}

void BM_entry_2mb(benchmark::State &state) {
  frame_setup s(0);
  if (!s.ok) {
    state.SkipWithError("no fonts or no store");
    return;
  }
  feed *f = s.add_feed("Long feed");
  std::string html = long_html();
  entry *e = s.add_entry(f, "A long entry", html);
  s.open_entry(f, e);
  run_scrolling(state, s, 1400, 600, 3);
  state.counters["html_bytes"] = (f64)html.size();
  // A failed parse would show the raw text instead: the case measures the parsed page.
  state.counters["html_nodes"] = (f64)s.v.html_tree.node_count;
  if (!s.v.html_tree.node_count) state.SkipWithError("the entry's HTML did not parse");
}
BENCHMARK(BM_entry_2mb)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(60);

// A table of 50,000 rows, about 1.45 MB of HTML, scrolled.
void BM_entry_table(benchmark::State &state) {
  frame_setup s(0);
  if (!s.ok) {
    state.SkipWithError("no fonts or no store");
    return;
  }
  feed *f = s.add_feed("Table feed");
  std::string html = "<table>\n";
  for (u32 i = 0; i < 50000; i++)
    html += "<tr><td>Row " + std::to_string(i) + " of it</td></tr>\n";
  html += "</table>";
  entry *e = s.add_entry(f, "A table", html);
  s.open_entry(f, e);
  // The opening frame, when no block has a height yet.
  f64 t0 = thread_seconds();
  s.frame();
  f64 first = thread_seconds() - t0;
  f64 first_nodes = (f64)(s.ctx.nodes.used / sizeof(ui_node));
  run_scrolling(state, s, 1400, 600, 3);
  state.counters["first_frame_ms"] = first * 1e3;
  state.counters["first_frame_nodes"] = first_nodes;
  state.counters["html_bytes"] = (f64)html.size();
  state.counters["html_nodes"] = (f64)s.v.html_tree.node_count;
  if (!s.v.html_tree.node_count) state.SkipWithError("the entry's HTML did not parse");
}
BENCHMARK(BM_entry_table)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(60);

}  // namespace

BENCHMARK_MAIN();
