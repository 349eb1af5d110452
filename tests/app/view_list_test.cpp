// The feed and entry list over a small store parsed from feed documents: which feeds and entries
// each filter lists, the keyboard navigation against that listing, deletion and restoring, and
// the list's nodes built in a UI context without a display.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/view_list.h"
#include "profiler/profiler.h"
#include "tests/reader/store_fixture.h"
#include "tests/support/isolation.h"
#include "tests/ui/ui_test_support.h"

namespace {

std::string rss(const std::string &title, const std::vector<std::string> &items) {
  std::string s = "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>" + title +
                  "</title><link>https://example.org/</link><description>d</description>";
  int day = 1;
  for (const std::string &item : items) {
    s += "<item><title>" + item + "</title><link>https://example.org/" + item +
         "</link><guid>" + title + "/" + item + "</guid><pubDate>Mon, " + std::to_string(day++) +
         " Jan 2024 10:00:00 GMT</pubDate></item>";
  }
  return s + "</channel></rss>";
}

class ViewList : public Store {
 protected:
  buffer scratch = {};
  app a = {};
  view_state v = {};
  window w = {};
  query queries[8] = {};

  void SetUp() override {
    Store::SetUp();
    profiler_install_disabled();
    scratch = memory_alloc(MiB(8), nullptr);
    app_init(&a);
    a.frame_arena = memory_alloc(MiB(10), nullptr);
    view_state_init(&v, 1);
    a.view = &v;
    a.window = &w;
    a.queries = queries;
    a.query_count = 8;
  }
  void TearDown() override {
    memory_free(&a.frame_arena);
    memory_free(&scratch);
    Store::TearDown();
  }

  feed *parse(const std::string &doc, const std::string &url, u32 generation) {
    r.generation = generation;
    u32 error = 0;
    feed *f = feed_parse(&scratch, &r, text_of(doc), text_of(url), nullptr, &error);
    EXPECT_EQ(error, 0u);
    return f;
  }

  // Alpha News: three entries of generation 1 and one of 2; Beta: two of 2; Gamma: none;
  // Delta: one of 1.
  feed *alpha, *beta, *gamma, *delta;
  void build() {
    alpha = parse(rss("Alpha News", {"apple pie", "Banana", "cherry", "date"}), "https://a.example/", 1);
    beta = parse(rss("Beta", {"grape", "Pineapple"}), "https://b.example/", 2);
    gamma = parse(rss("Gamma", {}), "https://g.example/", 2);
    delta = parse(rss("Delta", {"elder"}), "https://d.example/", 1);
    ASSERT_TRUE(alpha && beta && gamma && delta);
    entry_named("date")->generation = 2;
    v.generation_from = 1;
    v.generation_to = 2;
  }

  entry *entry_named(const std::string &title) {
    pool_iterator it = pool_iterator_init(&r.entries, sizeof(entry), entry_is_live);
    while (entry *e = (entry *)pool_iterator_next(&it)) {
      if (to_std(entry_get_title(e)) == title) return e;
    }
    return nullptr;
  }

  void set_filter(const std::string &text) {
    v.filter_active = 1;
    memcpy(v.list_filter.data, text.data(), text.size());
    v.list_filter.used = text.size();
  }

  // What the list shows: per listed feed its title and listed entry titles.
  bool matches(buffer title) {
    return title.used && string_find_ignore_case(title.data, title.data + title.used, v.list_filter.data,
                                                 v.list_filter.used) != title.data + title.used;
  }
  std::vector<std::string> listing() {
    buffer tail = a.frame_arena;
    u32 n = 0;
    pool_iterator it = pool_iterator_init(&r.feeds, sizeof(feed), feed_is_live);
    while (pool_iterator_next(&it)) n++;
    list_summary s = view_feed_list_build(&tail, &r, n);
    view_list_count(&a, &r, &v, &s);
    std::vector<std::string> out;
    for (u32 i = 0; i < s.feed_count; i++) {
      feed *f = reader_find_feed(&r, s.feed_ids[i]);
      if (!feed_is_listed(f, &v, s.entry_counts[i], s.pending[i])) continue;
      out.push_back("#" + to_std(feed_get_title(f)));
      bool feed_matches = list_filter_on(&v) && matches(feed_get_title(f));
      entry **entries = (entry **)s.feed_entries[i].data;
      for (u64 k = 0; k < s.feed_entries[i].used / 8; k++) {
        entry *e = entries[k];
        bool text_ok = !list_filter_on(&v) || feed_matches || matches(entry_get_title(e));
        if (entry_in_generation_range(e, v.generation_from, v.generation_to) &&
            entry_matches_deleted_filter(e, v.deleted_filter) && text_ok) {
          out.push_back(to_std(entry_get_title(e)));
        }
      }
    }
    return out;
  }

  void press(u8 key, bool shift = false) {
    memory_zero(w.key_state, sizeof w.key_state);
    w.key_state[key] = input_key_state_pack(1, 0, 1);
    if (shift) w.key_state[key_left_shift] = input_key_state_pack(1, 0, 0);
    view_handle_keys(&a, &r);
    memory_zero(w.key_state, sizeof w.key_state);
  }

  std::string selection() {
    std::string s = v.selected_feed ? to_std(feed_get_title(v.selected_feed)) : "-";
    return s + "/" + (v.selected_entry ? to_std(entry_get_title(v.selected_entry)) : "-");
  }
};

TEST_F(ViewList, filters_list_feeds_and_entries) {
  build();
  using L = std::vector<std::string>;
  EXPECT_EQ(listing(), (L{"#Alpha News", "apple pie", "Banana", "cherry", "date", "#Beta", "grape", "Pineapple",
                          "#Delta", "elder"}));
  v.generation_from = v.generation_to = 2;
  EXPECT_EQ(listing(), (L{"#Alpha News", "date", "#Beta", "grape", "Pineapple"})) << "Delta has nothing in range";
  v.show_empty = 1;
  EXPECT_EQ(listing(), (L{"#Alpha News", "date", "#Beta", "grape", "Pineapple", "#Gamma", "#Delta"}));
  v.show_empty = 0;
  queries[3].state = query_state_queued;
  queries[3].feed_id = (s32)gamma->id;
  EXPECT_EQ(listing(), (L{"#Alpha News", "date", "#Beta", "grape", "Pineapple", "#Gamma"})) << "pending shows";
  queries[3] = query{};

  v.generation_from = 1;
  entry_mark_deleted(entry_named("Banana"));
  reader_mark_feed_deleted(&r, delta);
  EXPECT_EQ(listing(), (L{"#Alpha News", "apple pie", "cherry", "date", "#Beta", "grape", "Pineapple"}));
  v.deleted_filter = deleted_filter_deleted;
  EXPECT_EQ(listing(), (L{"#Alpha News", "Banana", "#Delta", "elder"}));
  v.deleted_filter = deleted_filter_both;
  EXPECT_EQ(listing().size(), 10u);
  v.deleted_filter = deleted_filter_not_deleted;

  set_filter("APPLE");
  EXPECT_EQ(listing(), (L{"#Alpha News", "apple pie", "#Beta", "Pineapple"})) << "entry titles, any case";
  set_filter("alpha");
  EXPECT_EQ(listing(), (L{"#Alpha News", "apple pie", "cherry", "date"})) << "the feed's title lists all";
  v.filter_active = 0;
  EXPECT_EQ(listing().size(), 7u) << "a closed filter row filters nothing";
}

TEST_F(ViewList, an_empty_store_lists_and_selects_nothing) {
  EXPECT_TRUE(listing().empty());
  press(key_down);
  press(key_up);
  press(key_page_down);
  press(key_delete, true);
  EXPECT_EQ(selection(), "-/-");
}

// The kept listing's two arenas are reserved at the first listing; a refusal of either shows an
// empty list and is logged once while it lasts, and the next listing with memory is whole again.
TEST_F(ViewList, a_listing_without_memory_shows_nothing_says_so_once_and_comes_back) {
  build();
  run_in_fresh_process([&] {
    const std::string summary_line = "List: no memory for the summary of feeds and entries; it shows nothing.\n";
    const std::string list_line = "List: no memory for the list of feeds and entries; it shows nothing.\n";
    log_mark mark = log_mark_now();
    // With no ui context the key differs in every call, so each call works the listing out.
    // The summary's reservation refused twice, then the listing's twice (the summary's is made by
    // then, so the listing's is the next one).
    for (s32 successes : {0, 0, 1, 0}) {
      memory_fault_inject(memory_fault_reserve, successes);
      EXPECT_FALSE(view_list_listing(&a, &r)->valid) << successes;
    }
    memory_fault_inject(memory_fault_reserve, -1);
    EXPECT_EQ(log_count_since(mark, summary_line), 1u);
    EXPECT_EQ(log_count_since(mark, list_line), 1u);
    const list_listing *l = view_list_listing(&a, &r);
    ASSERT_TRUE(l->valid);
    EXPECT_EQ(l->feed_count, 4u);
    EXPECT_TRUE(view_list_kept_is_fresh(&a, &r));
    EXPECT_EQ(log_count_since(mark, "List"), 2u) << "nothing more once the memory is there";
  });
}

// Down from nothing walks every listed entry in list order and stops at the last; Up walks back
// and stops at the first; for every deleted filter, range and text filter.
TEST_F(ViewList, arrow_keys_walk_the_listed_entries_and_stop_at_both_ends) {
  build();
  entry_mark_deleted(entry_named("cherry"));
  for (const char *text : {"", "ap", "beta"}) {
    for (u32 filter = 0; filter < 3; filter++) {
      for (u32 from = 1; from <= 2; from++) {
        for (u32 to = from; to <= 2; to++) {
          set_filter(text);
          v.deleted_filter = filter;
          v.generation_from = from;
          v.generation_to = to;
          v.selected_feed = nullptr;
          v.selected_entry = nullptr;
          std::vector<std::string> expected;
          std::string feed_title;
          for (const std::string &line : listing()) {
            if (line[0] == '#') {
              feed_title = line.substr(1);
            } else {
              expected.push_back(feed_title + "/" + line);
            }
          }
          SCOPED_TRACE(std::string(text) + " " + std::to_string(filter) + " " + std::to_string(from) + "-" +
                       std::to_string(to));
          std::vector<std::string> down;
          for (size_t i = 0; i < expected.size() + 2; i++) {
            press(key_down);
            if (selection() != "-/-" && (down.empty() || down.back() != selection())) down.push_back(selection());
          }
          EXPECT_EQ(down, expected);
          std::vector<std::string> up;
          if (selection() != "-/-") up.push_back(selection());
          for (size_t i = 0; i < expected.size() + 2; i++) {
            press(key_up);
            if (selection() != "-/-" && (up.empty() || up.back() != selection())) up.push_back(selection());
          }
          std::reverse(up.begin(), up.end());
          EXPECT_EQ(up, expected);
        }
      }
    }
  }
}

TEST_F(ViewList, header_keys_page_keys_home_and_end) {
  build();
  v.selected_feed = beta;
  press(key_up);
  EXPECT_EQ(selection(), "Beta/Pineapple") << "Up from a header takes its last entry";
  v.selected_entry = nullptr;
  press(key_down);
  EXPECT_EQ(selection(), "Beta/grape");
  EXPECT_EQ(v.scroll_to_selection, 1u);
  press(key_page_down);
  EXPECT_EQ(selection(), "Delta/elder");
  press(key_page_down);
  EXPECT_EQ(selection(), "Delta/elder") << "no feed after the last";
  press(key_page_up, true);
  EXPECT_EQ(selection(), "Delta/-") << "the first Shift + Page Up selects the entry's own feed";
  press(key_page_up, true);
  EXPECT_EQ(selection(), "Beta/-");
  press(key_page_down, true);
  press(key_page_down, true);
  EXPECT_EQ(selection(), "Alpha News/-") << "past the last feed it wraps to the first";
  press(key_end);
  EXPECT_EQ(selection(), "Alpha News/date");
  press(key_home);
  EXPECT_EQ(selection(), "Alpha News/apple pie");
  EXPECT_EQ(v.page, (u32)view_page_main) << "a changed selection returns to the main page";
}

// Every key and generation command that changes the shown entry makes the next page open at its
// top; one that leaves the selection as it was keeps the page's offset.
TEST_F(ViewList, keys_and_generation_commands_that_move_the_selection_reset_the_page) {
  build();
  struct step {
    u8 key;
    bool shift;
    const char *expected;
  };
  v.selected_feed = alpha;
  v.selected_entry = entry_named("Banana");
  const step steps[] = {
      {key_home, false, "Alpha News/apple pie"}, {key_home, false, "Alpha News/apple pie"},
      {key_end, false, "Alpha News/date"},       {key_page_down, false, "Beta/grape"},
      {key_page_up, false, "Alpha News/apple pie"}, {key_page_up, false, "Alpha News/apple pie"},
      {key_page_down, true, "Alpha News/-"},     {key_page_down, true, "Beta/-"},
  };
  for (const step &s : steps) {
    std::string before = selection();
    v.selection_changed = 0;
    press(s.key, s.shift);
    EXPECT_EQ(selection(), s.expected);
    EXPECT_EQ(v.selection_changed, before != selection() ? 1u : 0u) << before << " -> " << s.expected;
  }
  using command = void (*)(view_state *, reader *);
  command commands[] = {view_list_generation_minimum, view_list_generation_maximum, view_list_generation_all,
                        [](view_state *view, reader *rr) { view_list_generation_increase(view, rr, 1); },
                        [](view_state *view, reader *rr) { view_list_generation_decrease(view, rr, 1); }};
  for (command c : commands) {
    v.selected_feed = alpha;
    v.selected_entry = entry_named("cherry");
    v.selection_changed = 0;
    c(&v, &r);
    EXPECT_EQ(selection(), "-/-");
    EXPECT_EQ(v.selection_changed, 1u);
  }
  v.selection_changed = 0;
  view_list_generation_increase(&v, &r, 0);
  EXPECT_EQ(v.selection_changed, 0u) << "widening the range keeps the selection";
}

TEST_F(ViewList, delete_marks_then_removes_and_never_leaves_a_dangling_selection) {
  build();
  v.deleted_filter = deleted_filter_both;
  entry *banana = entry_named("Banana");
  u32 banana_id = banana->id;
  v.selected_feed = alpha;
  v.selected_entry = banana;
  press(key_delete);
  EXPECT_TRUE(entry_is_deleted(banana));
  EXPECT_EQ(selection(), "Alpha News/cherry") << "the selection moves to the next entry";
  EXPECT_EQ(v.selection_changed, 1u);
  v.selected_entry = banana;
  u32 before = alpha->entry_count;
  press(key_delete);
  EXPECT_EQ(reader_find_entry(&r, alpha->id, banana_id), nullptr) << "the second Delete removes it";
  EXPECT_EQ(alpha->entry_count, before - 1);
  EXPECT_EQ(selection(), "Alpha News/cherry");
  // The feed's newest entry, removed, would be new again to the next update: it stays marked, and
  // the log says which entry it is.
  log_mark mark = log_mark_now();
  entry *newest = entry_named("date");
  v.selected_entry = newest;
  press(key_delete);
  v.selected_entry = newest;
  press(key_delete);
  EXPECT_EQ(entry_named("date"), newest);
  EXPECT_TRUE(entry_is_deleted(newest));
  EXPECT_EQ(selection(), "Alpha News/date");
  EXPECT_EQ(log_count_since(mark, "Entry kept under Deleted, not removed: \"date\": it has no date or its feed's "
                                  "newest date, so an update of a document that still lists it would store it "
                                  "again as new.\n"),
            1u);

  // The last entry of the last feed moves back; the only entry of the only feed leaves the feed.
  v.selected_feed = delta;
  v.selected_entry = entry_named("elder");
  press(key_delete);
  EXPECT_EQ(selection(), "Beta/Pineapple");

  // Delete on a header does nothing without Shift.
  v.selected_entry = nullptr;
  press(key_delete);
  EXPECT_EQ(v.scroll_to_selection, 0u);
  EXPECT_FALSE(feed_is_deleted(beta));
  press(key_delete, true);
  EXPECT_TRUE(feed_is_deleted(beta));
  EXPECT_EQ(selection(), "Delta/elder") << "the next feed and its first entry";
  press(key_backspace);
  EXPECT_FALSE(entry_is_deleted(entry_named("elder")));
  v.selected_feed = beta;
  v.selected_entry = nullptr;
  press(key_backspace, true);
  EXPECT_FALSE(feed_is_deleted(beta));
  EXPECT_FALSE(entry_is_deleted(entry_named("grape")));
  v.selected_feed = beta;
  press(key_delete, true);
  u32 beta_id = beta->id;
  v.selected_feed = beta;
  v.selected_entry = nullptr;
  press(key_delete, true);
  EXPECT_EQ(reader_find_feed(&r, beta_id), nullptr) << "a feed deleted twice is removed";
  EXPECT_NE(v.selected_feed, beta);

  // The log names a kept entry by its title as the list shows it, without the white space around it.
  feed *epsilon = parse(rss("Epsilon", {"\n\t zeta wind  "}), "https://e.example/", 2);
  ASSERT_TRUE(epsilon);
  entry *zeta = entry_named("\n\t zeta wind  ");
  ASSERT_TRUE(zeta);
  for (int i = 0; i < 2; i++) {
    v.selected_feed = epsilon;
    v.selected_entry = zeta;
    press(key_delete);
  }
  EXPECT_TRUE(entry_is_deleted(zeta));
  EXPECT_EQ(log_count_since(mark, "Entry kept under Deleted, not removed: \"zeta wind\": it has"), 1u);
}

// Whatever the filters stand at (the range, "Feeds", "Deleted" or "Both", "Show empty", the text
// filter, a queued fetch), a key leaves selected a line that the list shows, or nothing, and
// deletes, restores or opens nothing that the list does not show: neither an entry it hides nor,
// while the selected entry is one it hides, that entry's feed.
TEST_F(ViewList, keys_select_and_change_only_what_the_list_shows) {
  build();
  // Enter queues the entry's link, where the test can count it.
  struct queue_memory {
    reader *r;
    explicit queue_memory(reader *store) : r(store) { allocator_init(&app_allocator, MiB(4), MiB(1), 128); }
    ~queue_memory() {
      link_queue_free(&app_allocator, &r->link_openers[0]);
      allocator_destroy(&app_allocator);
    }
  } queue(&r);
  r.link_openers[0].queue_mode = 1;
  // Only "cherry" is listed: Delete marks it, which empties the list and the selection, and a
  // second Delete deletes nothing.
  set_filter("cherry");
  v.selected_feed = alpha;
  v.selected_entry = entry_named("cherry");
  press(key_delete);
  EXPECT_TRUE(entry_is_deleted(entry_named("cherry")));
  EXPECT_TRUE(listing().empty());
  EXPECT_EQ(selection(), "-/-");
  press(key_delete);
  for (const char *title : {"apple pie", "Banana", "date", "grape", "Pineapple", "elder"})
    EXPECT_FALSE(entry_is_deleted(entry_named(title))) << title;

  // The lines the list shows, as selection() names them: "feed/-" for a feed's title line.
  auto shown = [&] {
    std::set<std::string> lines;
    std::string feed_title;
    for (const std::string &line : listing()) {
      if (line[0] == '#') {
        feed_title = line.substr(1);
        lines.insert(feed_title + "/-");
      } else {
        lines.insert(feed_title + "/" + line);
      }
    }
    return lines;
  };
  auto feed_key = [](const feed *f) { return "feed " + std::to_string(f->id); };
  auto entry_key = [](const entry *e) { return "entry " + std::to_string(e->feed_id) + "." + std::to_string(e->id); };
  // Every live feed's and entry's deleted mark; a removed one is missing.
  auto marks = [&] {
    std::map<std::string, bool> m;
    pool_iterator fi = pool_iterator_init(&r.feeds, sizeof(feed), feed_is_live);
    while (feed *f = (feed *)pool_iterator_next(&fi)) m[feed_key(f)] = feed_is_deleted(f);
    pool_iterator ei = pool_iterator_init(&r.entries, sizeof(entry), entry_is_live);
    while (entry *e = (entry *)pool_iterator_next(&ei)) m[entry_key(e)] = entry_is_deleted(e);
    return m;
  };
  auto feed_titled = [&](const std::string &title) -> feed * {
    pool_iterator it = pool_iterator_init(&r.feeds, sizeof(feed), feed_is_live);
    while (feed *f = (feed *)pool_iterator_next(&it))
      if (to_std(feed_get_title(f)) == title) return f;
    return nullptr;
  };

  const u8 keys[] = {key_up,  key_down,   key_page_up,   key_page_down, key_home,
                     key_end, key_delete, key_backspace, key_enter};
  const char *key_names[] = {"Up", "Down", "Page Up", "Page Down", "Home", "End", "Delete", "Backspace", "Enter"};
  const char *words[] = {"", "ap", "beta", "e", "an", "zz"};
  u32 seed = 2024;
  auto pick = [&](u32 n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  for (int step = 0; step < 4000; step++) {
    if (r.entries.entry_count < 4) {
      // Most entries removed for good: the same feeds again.
      v.selected_feed = nullptr;
      v.selected_entry = nullptr;
      std::vector<feed *> feeds;
      pool_iterator it = pool_iterator_init(&r.feeds, sizeof(feed), feed_is_live);
      while (feed *f = (feed *)pool_iterator_next(&it)) feeds.push_back(f);
      for (feed *f : feeds) reader_delete_feed(&r, f);
      build();
    }
    u32 action = pick(10);
    if (action == 0) {
      v.deleted_filter = pick(3);
    } else if (action == 1) {
      v.show_empty = pick(2);
      feed *queued[] = {alpha, gamma, delta};
      queries[3].feed_id = (s32)queued[pick(3)]->id;
      queries[3].state = pick(2) ? query_state_queued : query_state_free;
    } else if (action == 2) {
      set_filter(words[pick(6)]);
      v.filter_active = pick(4) != 0;
    } else if (action == 3) {
      v.generation_from = 1 + pick(2);
      v.generation_to = v.generation_from + pick(3 - v.generation_from);
    } else if (action == 4) {
      // A click on a line the list shows.
      std::set<std::string> lines = shown();
      if (lines.empty()) continue;
      std::string line = *std::next(lines.begin(), pick((u32)lines.size()));
      size_t slash = line.find('/');
      v.selected_feed = feed_titled(line.substr(0, slash));
      v.selected_entry = line.substr(slash + 1) == "-" ? nullptr : entry_named(line.substr(slash + 1));
    } else {
      u32 k = pick(9);
      bool shift = pick(3) == 0;
      std::set<std::string> before_lines = shown();
      std::map<std::string, bool> before = marks();
      std::string before_selection = selection();
      // What the key may change: the selected entry the list shows, with its feed's mark; or,
      // when only a feed is selected, that feed with its entries.
      std::set<std::string> may_change;
      if (before_lines.count(before_selection)) {
        may_change.insert(feed_key(v.selected_feed));
        pool_iterator it = pool_iterator_init(&r.entries, sizeof(entry), entry_is_live);
        while (entry *e = (entry *)pool_iterator_next(&it)) {
          if (v.selected_entry ? e == v.selected_entry : e->feed_id == v.selected_feed->id)
            may_change.insert(entry_key(e));
        }
      }
      std::string settings = std::string(shift ? "Shift+" : "") + key_names[k] + " at step " +
                             std::to_string(step) + " from " + before_selection + ", filter " +
                             std::to_string(v.deleted_filter) + ", range " + std::to_string(v.generation_from) +
                             "-" + std::to_string(v.generation_to) + ", show empty " + std::to_string(v.show_empty) +
                             ", text \"" + (list_filter_on(&v) ? to_std(v.list_filter) : std::string()) + "\"";
      u32 links_before = link_queues_count(&r);
      press(keys[k], shift);
      if (keys[k] == key_enter) {
        bool opens = v.selected_entry && before_lines.count(before_selection);
        ASSERT_EQ(link_queues_count(&r) - links_before, opens ? 1u : 0u) << settings;
        continue;
      }
      std::map<std::string, bool> after = marks();
      for (const auto &[record, deleted] : before) {
        auto now = after.find(record);
        if (now == after.end() || now->second != deleted) {
          ASSERT_TRUE(may_change.count(record)) << settings << ": " << record << " changed";
        }
      }
      std::string now = selection();
      ASSERT_TRUE(now == "-/-" || shown().count(now)) << settings << ": " << now << " is selected, not listed";
    }
  }
}

TEST_F(ViewList, a_purge_drops_the_selection_of_purged_records) {
  build();
  v.selected_feed = alpha;
  v.selected_entry = entry_named("cherry");
  entry_mark_deleted(v.selected_entry);
  reader_purge_deleted(&r);
  view_selection_validate(&v, &r);
  EXPECT_EQ(selection(), "Alpha News/-");
  reader_mark_feed_deleted(&r, alpha);
  reader_purge_deleted(&r);
  press(key_enter);  // any key handling validates first
  EXPECT_EQ(selection(), "-/-");
}

TEST_F(ViewList, keys_do_nothing_while_an_element_is_active) {
  build();
  ui_fixture ui;
  a.ui = ui.ctx.get();
  ui.ctx->active = 77;
  press(key_down);
  EXPECT_EQ(selection(), "-/-");
  ui.ctx->active = UI_ID_NONE;
  press(key_down);
  EXPECT_EQ(selection(), "Alpha News/apple pie");
}

TEST_F(ViewList, generation_commands_move_the_range) {
  build();
  r.generation = 3;
  entry_named("elder")->generation = 3;
  view_list_generation_minimum(&v, &r);
  EXPECT_EQ(v.generation_from, 1u);
  EXPECT_EQ(v.generation_to, 1u);
  view_list_generation_increase(&v, &r, 0);
  EXPECT_EQ(v.generation_from, 1u);
  EXPECT_EQ(v.generation_to, 2u) << "the range widens";
  view_list_generation_increase(&v, &r, 1);
  EXPECT_EQ(v.generation_from, 3u);
  EXPECT_EQ(v.generation_to, 3u);
  view_list_generation_increase(&v, &r, 1);
  EXPECT_EQ(v.generation_to, 3u) << "not past the store's generation";
  view_list_generation_decrease(&v, &r, 0);
  EXPECT_EQ(v.generation_from, 2u);
  EXPECT_EQ(v.generation_to, 3u);
  v.selected_feed = alpha;
  view_list_generation_all(&v, &r);
  EXPECT_EQ(v.generation_from, 1u);
  EXPECT_EQ(v.generation_to, 3u);
  EXPECT_EQ(v.selected_feed, nullptr);
  view_list_generation_maximum(&v, &r);
  EXPECT_EQ(v.generation_from, 3u);

  // A start whose newest generation holds only deleted entries (kept for the next update) opened
  // on an empty list; it opens on the newest generation the list shows.
  entry_mark_deleted(entry_named("elder"));
  EXPECT_EQ(view_start_generation(&r), 2u);
  r.generation = 0;
  EXPECT_EQ(view_start_generation(&r), 0u);
}

TEST_F(ViewList, the_list_nodes_with_highlights_and_selection) {
  build();
  ui_fixture ui;
  a.ui = ui.ctx.get();
  ui_init_styles(ui.ctx.get());
  set_filter("ap");
  v.selected_feed = beta;
  v.selected_entry = nullptr;
  ui_node *content = nullptr;
  ui.frame([&](ui_context *ctx) {
    content = ui_node_create(ctx, 4, ui_size_pixels_make(400), ui_size_pixels_make(600), ui_node_flag_scroll_y);
    ui_parent_push(ctx, content);
    view_list(&a, &r);
    ui_parent_pop(ctx);
  });
  std::vector<std::string> lines;
  u32 highlighted = 0;
  ui_node *beta_block = nullptr;
  for (ui_node *block = content->first_child; block; block = block->next) {
    if (block->id == (ui_id)(uintptr_t)beta) beta_block = block;
    for (ui_node *n = block->first_child; n; n = n->next) {
      std::string text = to_std(n->text);
      lines.push_back(text);
      for (u64 i = 0; i < n->range_count; i++) {
        EXPECT_TRUE(string_equal_ignore_case(string_from_bytes(n->ranges[i].begin, n->ranges[i].end - n->ranges[i].begin),
                                             string_lit("ap")));
        highlighted++;
      }
    }
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"Alpha News", "apple pie", "Beta", "grape", "Pineapple"}));
  EXPECT_EQ(highlighted, 3u);
  ASSERT_NE(beta_block, nullptr);
  EXPECT_EQ(beta_block->style, style_list_feed_selected);
}

}  // namespace
