// The listing kept across frames against one worked out afresh: over random mixes of parses of
// random feeds through the frame loop's own handling, new feeds, deletions, filter and generation
// changes, queued fetches, saves and reloads; the bound on feeds refreshed one by one; and a
// parse into one feed costing its own entries whatever the size of the store.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "app/view_list.h"
#include "profiler/profiler.h"
#include "tests/reader/store_fixture.h"
#include "tests/support/temp_folder.h"
#include "tests/ui/ui_test_support.h"

namespace {

class KeptListing : public Store {
 protected:
  buffer scratch = {};
  app a = {};
  view_state v = {};
  ui_fixture ui;
  // Slots 0 to 7 carry documents to the parser; 8 to 15 are fetches left queued.
  query queries[16] = {};

  void SetUp() override {
    Store::SetUp();
    profiler_install_disabled();
    allocator_init(&app_allocator, MiB(4), MiB(1), 128);
    scratch = memory_alloc(MiB(8), nullptr);
    app_init(&a);
    a.frame_arena = memory_alloc(MiB(10), nullptr);
    view_state_init(&v, 1);
    a.view = &v;
    a.window = ui.w.get();
    a.ui = ui.ctx.get();
    a.queries = queries;
    a.query_count = 16;
    ui_init_styles(ui.ctx.get());
    r.generation = 1;
  }
  void TearDown() override {
    for (query &q : queries) q.state = query_state_free;
    memory_free(&a.frame_arena);
    memory_free(&scratch);
    allocator_destroy(&app_allocator);
    Store::TearDown();
  }

  // One frame of the list inside its scroll view.
  void frame() {
    ui.frame([&](ui_context *ctx) {
      ui_node *content = ui_node_create(ctx, 4, ui_size_pixels_make(400), ui_size_pixels_make(600), ui_node_flag_scroll_y);
      ui_parent_push(ctx, content);
      view_list(&a, &r);
      ui_parent_pop(ctx);
    });
  }

  // A document handed over as a worker hands it: the done slot, parsed by the frame loop's own
  // handling (which announces the change and sorts the feed).
  void deliver(const std::string &document, const std::string &url, s32 feed_id) {
    query *slot = &queries[0];
    slot->feed_id = feed_id;
    slot->url = allocator_alloc(&app_allocator, url.size() + 1);
    ASSERT_TRUE(slot->url.data);
    memory_copy(slot->url.data, url.data(), url.size());
    slot->url.data[url.size()] = 0;
    slot->url.used = url.size();
    slot->result = memory_alloc(document.size() + 1, nullptr);
    memory_copy(slot->result.data, document.data(), document.size());
    slot->result.used = document.size();
    slot->error = 0;
    __atomic_store_n(&slot->state, (u32)query_state_done, __ATOMIC_RELEASE);
    app_query_handle(&a, &r, slot, &scratch);
  }

  void press(u8 key, bool shift) {
    window *w = ui.w.get();
    memory_zero(w->key_state, sizeof w->key_state);
    w->key_state[key] = input_key_state_pack(1, 0, 1);
    if (shift) w->key_state[key_left_shift] = input_key_state_pack(1, 0, 0);
    view_handle_keys(&a, &r);
    memory_zero(w->key_state, sizeof w->key_state);
  }

  std::vector<feed *> live_feeds() {
    std::vector<feed *> out;
    pool_iterator it = pool_iterator_init(&r.feeds, sizeof(feed), feed_is_live);
    while (feed *f = (feed *)pool_iterator_next(&it)) out.push_back(f);
    return out;
  }
};

// An RFC 822 date some minutes after the first of January 2024.
std::string date_after(u32 minutes) {
  u32 day = 1 + minutes / 1440 % 28, hour = minutes / 60 % 24, minute = minutes % 60;
  char text[64];
  snprintf(text, sizeof text, "Mon, %02u Jan 2024 %02u:%02u:00 GMT", day, hour, minute);
  return text;
}

struct item {
  std::string guid, title, date;
};

std::string rss(const std::string &title, const std::vector<item> &items) {
  std::string s = "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>" + title +
                  "</title><link>https://example.org/</link><description>d</description>";
  for (const item &i : items)
    s += "<item><title>" + i.title + "</title><guid>" + i.guid + "</guid><pubDate>" + i.date + "</pubDate></item>";
  return s + "</channel></rss>";
}

std::string url_of(u32 k) { return "https://feed" + std::to_string(k) + ".example/rss"; }

// Feed k's document with items from..from + n - 1, each newer than the one before.
std::string numbered(u32 k, u32 from, u32 n) {
  std::vector<item> items;
  for (u32 i = from; i < from + n; i++)
    items.push_back({std::to_string(k) + "/" + std::to_string(i), "Entry " + std::to_string(i), date_after(10 * i)});
  return rss("Feed " + std::to_string(k), items);
}

// Every step changes the store or the view as the program does, then a frame may follow; after
// every frame the kept listing is the one worked out afresh. Frames after nothing but parses of
// known feeds and queued fetches refresh, and only rarely (when replaced arrays outweigh the
// rest) build in full.
TEST_F(KeptListing, follows_random_parses_deletions_filters_generations_saves_and_reloads) {
  test_temp_folder folder("qm_kept_listing");
  ASSERT_FALSE(folder.path.empty());
  std::mt19937 rng(11);
  auto pick = [&](u32 n) { return (u32)(rng() % n); };
  const char *words[] = {"apple", "Banana", "cherry tart", "date", "Elder", "fig"};
  const char *filters[] = {"apple", "an", "Feed 3", "zz", "e"};
  u32 clock = 0;  // minutes: documents carry newer and older items as time goes on
  u32 feeds_made = 0;
  auto document = [&](u32 k) {
    std::vector<item> items;
    u32 n = pick(9);
    for (u32 i = 0; i < n; i++) {
      u32 g = pick(16);
      items.push_back({"feed" + std::to_string(k) + "/" + std::to_string(g),
                       std::string(words[pick(6)]) + " " + std::to_string(g), date_after(clock + pick(120))});
    }
    std::string title = "Feed " + std::to_string(k) + (pick(4) == 0 ? " apple" : "");
    return rss(title, items);
  };
  auto new_feed = [&] {
    u32 k = feeds_made++;
    deliver(document(k), url_of(k), -1);
  };
  for (int i = 0; i < 4; i++) new_feed();
  view_list_generation_all(&v, &r);
  frame();
  ASSERT_TRUE(view_list_kept_is_fresh(&a, &r));

  u32 parse_only_frames = 0, parse_only_builds = 0;
  bool only_parses = true;
  for (int step = 0; step < 1500; step++) {
    clock += 30;
    std::vector<feed *> fs = live_feeds();
    u32 action = pick(24);
    bool parse = false;
    if (action < 10 && !fs.empty()) {
      // An update of a known feed, which adds, replaces and drops entries and may retitle it.
      feed *f = fs[pick((u32)fs.size())];
      u32 k = 0;
      sscanf((const char *)f->url.data, "https://feed%u", &k);
      deliver(document(k), url_of(k), (s32)f->id);
      parse = true;
    } else if (action < 11 || fs.empty()) {
      if (feeds_made < 24) new_feed();
    } else if (action < 13) {
      // The user's Delete or Backspace on a random entry or feed.
      feed *f = fs[pick((u32)fs.size())];
      v.selected_feed = f;
      v.selected_entry = pick(3) ? reader_first_entry(&r, f, 0, UINT32_MAX, 0, feed_type_deleted) : nullptr;
      press(pick(3) ? key_delete : key_backspace, pick(2) == 0);
    } else if (action < 15) {
      v.deleted_filter = pick(3);
      v.show_empty = pick(2);
      v.filter_active = pick(2);
      const char *word = filters[pick(5)];
      v.list_filter.used = strlen(word);
      memcpy(v.list_filter.data, word, v.list_filter.used);
    } else if (action < 17) {
      switch (pick(4)) {
        case 0: app_new_generation(&r); break;
        case 1: view_list_generation_all(&v, &r); break;
        case 2: view_list_generation_decrease(&v, &r, pick(2)); break;
        default: view_list_generation_increase(&v, &r, pick(2)); break;
      }
    } else if (action < 19) {
      // A fetch of a feed queued, or its slot given back.
      query &q = queries[8 + pick(8)];
      if (!fs.empty()) q.feed_id = (s32)fs[pick((u32)fs.size())]->id;
      __atomic_store_n(&q.state, q.state == query_state_queued ? (u32)query_state_free : (u32)query_state_queued,
                       __ATOMIC_RELEASE);
      parse = true;  // not a change of the store
    } else if (action < 21) {
      // A record added without a word to the list, as tests and tools do: the counters show it.
      if (!fs.empty()) {
        feed *f = fs[pick((u32)fs.size())];
        entry *e = add_entry(f, make_date(2023, 12, 1 + pick(28)), "direct/" + std::to_string(step));
        ASSERT_TRUE(e);
        e->rss.title = reader_add_string(&r, text_of(std::string(words[pick(6)]) + " direct"));
      }
    } else if (action < 22) {
      ASSERT_TRUE(reader_save(&r, text_of(folder.path)));
      view_list_stale();
    } else if (action < 23) {
      // The store read back from its own image: every record in another place.
      buffer image = reader_write_image(&r);
      ASSERT_TRUE(image.data);
      reader_reset(&r);
      ASSERT_TRUE(reader_read_bytes(&r, image.data, image.used));
      memory_free(&image);
      v.selected_feed = nullptr;
      v.selected_entry = nullptr;
      view_list_stale();
    } else {
      reader_purge_deleted(&r);
      view_selection_validate(&v, &r);
      view_list_stale();
    }
    only_parses = only_parses && parse;
    // Some steps run together before the next frame, as parses do within one frame.
    if (pick(2) == 0) continue;
    u64 builds = view_list_build_count();
    frame();
    if (only_parses) {
      parse_only_frames++;
      parse_only_builds += view_list_build_count() != builds;
    }
    only_parses = true;
    ASSERT_TRUE(view_list_kept_is_fresh(&a, &r)) << "after step " << step << " (action " << action << ")";
    // Arrays replaced by refreshes are given back before they outweigh the live ones twice.
    const list_listing *l = view_list_kept();
    ASSERT_LE(l->waste, 2 * (l->memory_used - l->waste)) << "after step " << step;
  }
  EXPECT_GT(parse_only_frames, 60u);
  EXPECT_LE(parse_only_builds * 4, parse_only_frames) << "parses refresh the listing, not rebuild it";
}

// Up to the bound, the feeds parsed into between two frames are refreshed one by one; one more
// and the listing is built in full. Either way it is the fresh one.
TEST_F(KeptListing, past_its_bound_of_parsed_feeds_a_frame_builds_in_full) {
  const u32 feeds = LIST_REFRESH_FEEDS + 2;
  for (u32 k = 0; k < feeds; k++) deliver(numbered(k, 0, 2), url_of(k), -1);
  view_list_generation_all(&v, &r);
  frame();
  std::vector<feed *> fs = live_feeds();
  ASSERT_EQ(fs.size(), feeds);
  for (u32 parsed : {1u, LIST_REFRESH_FEEDS - 1, LIST_REFRESH_FEEDS, LIST_REFRESH_FEEDS + 1}) {
    u64 builds = view_list_build_count(), refreshes = view_list_refresh_count();
    for (u32 k = 0; k < parsed; k++) deliver(numbered(k, 0, 3 + parsed), url_of(k), (s32)fs[k]->id);
    // The same feed again counts once.
    deliver(numbered(0, 0, 4 + parsed), url_of(0), (s32)fs[0]->id);
    frame();
    ASSERT_TRUE(view_list_kept_is_fresh(&a, &r)) << parsed;
    bool full = parsed > LIST_REFRESH_FEEDS;
    EXPECT_EQ(view_list_build_count() - builds, full ? 1u : 0u) << parsed;
    EXPECT_EQ(view_list_refresh_count() - refreshes, full ? 0u : 1u) << parsed;
  }
}

// A change of the store that no parse announced, before, between or after the parses of one
// frame, makes that frame build in full, and it lists the change.
TEST_F(KeptListing, a_change_the_parses_do_not_announce_makes_the_frame_build_in_full) {
  for (u32 k = 0; k < 3; k++) deliver(numbered(k, 0, 2), url_of(k), -1);
  view_list_generation_all(&v, &r);
  frame();
  std::vector<feed *> fs = live_feeds();
  ASSERT_EQ(fs.size(), 3u);
  u32 next = 2;
  for (u32 at = 0; at < 4; at++) {
    SCOPED_TRACE(at);
    u64 builds = view_list_build_count();
    entry *direct = nullptr;
    auto change = [&](u32 when) {
      if (when != at) return;
      // An entry of the feed no parse touches, at the generation shown.
      direct = add_entry(fs[2], make_date(2023, 12, 1), "direct/" + std::to_string(at));
      ASSERT_TRUE(direct);
    };
    change(0);
    deliver(numbered(0, 0, next + 1), url_of(0), (s32)fs[0]->id);
    change(1);
    deliver(numbered(1, 0, next + 1), url_of(1), (s32)fs[1]->id);
    change(2);
    next++;
    if (at == 3) {
      // Or one that shows in no counter, which the store's user says.
      entry_mark_deleted(reader_first_entry(&r, fs[2], 0, UINT32_MAX, 0, 0));
      view_list_stale();
    }
    frame();
    ASSERT_TRUE(view_list_kept_is_fresh(&a, &r));
    EXPECT_EQ(view_list_build_count() - builds, 1u);
    if (direct) EXPECT_TRUE(ui_find_current(ui.ctx.get(), (ui_id)(uintptr_t)direct)) << "the change is listed";
  }
}

// A feed that grows with every update outgrows its array again and again: the replaced ones are
// waste until a full build, which comes before they outweigh the live arrays twice.
TEST_F(KeptListing, arrays_outgrown_by_refreshes_are_given_back_by_a_full_build) {
  deliver(numbered(0, 0, 4), url_of(0), -1);
  deliver(numbered(1, 0, 4), url_of(1), -1);
  view_list_generation_all(&v, &r);
  frame();
  u32 id = live_feeds().at(0)->id;
  u64 builds = view_list_build_count();
  for (u32 update = 1; update <= 40; update++) {
    deliver(numbered(0, 0, 4 + 8 * update), url_of(0), (s32)id);
    frame();
    ASSERT_TRUE(view_list_kept_is_fresh(&a, &r)) << update;
    const list_listing *l = view_list_kept();
    ASSERT_LE(l->waste, 2 * (l->memory_used - l->waste)) << update;
  }
  u64 full = view_list_build_count() - builds;
  EXPECT_GE(full, 1u) << "the waste is given back";
  EXPECT_LE(full, 10u) << "most updates refresh";
}

// Entries that name a feed beyond its count (a damaged file) are listed as a full build lists
// them: the first ones in pool order, up to the count.
TEST_F(KeptListing, a_feed_short_of_its_entries_refreshes_as_it_builds) {
  deliver(numbered(0, 0, 6), url_of(0), -1);
  view_list_generation_all(&v, &r);
  feed *f = live_feeds().at(0);
  f->entry_count -= 2;
  view_list_stale();
  frame();
  u64 builds = view_list_build_count();
  view_list_feed_change_begin(&r);
  view_list_feed_change_end(&r, f->id);
  frame();
  EXPECT_EQ(view_list_build_count(), builds) << "refreshed";
  EXPECT_TRUE(view_list_kept_is_fresh(&a, &r));
  EXPECT_EQ(view_list_kept()->counts[0], 4u);
  f->entry_count += 2;
}

// A parse into one feed and the frame after it look at that feed's entries, the same number in a
// store of n entries and of 4n; a change the listing cannot follow looks at them all.
TEST_F(KeptListing, a_parse_into_one_feed_costs_its_entries_whatever_the_store_holds) {
  u64 costs[2] = {}, full[2] = {};
  const u32 n = 3000;
  for (u32 round = 0; round < 2; round++) {
    rebuild(capacity);
    r.generation = 1;
    view_list_stale();
    deliver(numbered(0, 0, 40), url_of(0), -1);
    feed *parsed = live_feeds().at(0);
    u32 parsed_id = parsed->id;
    std::vector<feed *> others;
    for (u32 k = 0; k < 7; k++) others.push_back(add_feed(feed_type_rss));
    u32 entries = round == 0 ? n : 4 * n;
    for (u32 i = 0; i < entries; i++) ASSERT_TRUE(add_entry(others[i % 7], make_date(2024, 1, 1 + i % 28)));
    view_list_generation_all(&v, &r);
    frame();
    frame();
    ASSERT_TRUE(view_list_kept_is_fresh(&a, &r));

    u64 builds = view_list_build_count();
    u64 before = view_list_entries_visited() + reader_work_steps();
    deliver(numbered(0, 30, 20), url_of(0), (s32)parsed_id);
    frame();
    costs[round] = view_list_entries_visited() + reader_work_steps() - before;
    EXPECT_EQ(view_list_build_count(), builds) << "refreshed, not built";
    ASSERT_TRUE(view_list_kept_is_fresh(&a, &r));
    EXPECT_EQ(reader_find_feed(&r, parsed_id)->entry_count, 50u);

    before = view_list_entries_visited();
    view_list_stale();
    frame();
    full[round] = view_list_entries_visited() - before;
  }
  EXPECT_EQ(costs[0], costs[1]) << "the same parse into stores of n and 4n entries";
  EXPECT_GE(full[0], (u64)n);
  EXPECT_GE(full[1], 4ull * n) << "the full build looks at every entry";
}

}  // namespace
