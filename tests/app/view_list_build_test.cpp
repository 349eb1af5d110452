// The list's distribution of entries to their feeds against a walk of the feeds per entry, over
// random stores, with and without room for its look-up table.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "app/view_list.h"
#include "tests/reader/store_fixture.h"

namespace {

class ListBuild : public Store {};

// What the summary must hold: per live feed in pool order, its live entries in pool order, no
// more than its count.
std::vector<std::vector<entry *>> model(reader *r) {
  std::vector<feed *> feeds;
  pool_iterator it = pool_iterator_init(&r->feeds, sizeof(feed), feed_is_live);
  while (feed *f = (feed *)pool_iterator_next(&it)) feeds.push_back(f);
  std::vector<std::vector<entry *>> out(feeds.size());
  pool_iterator eit = pool_iterator_init(&r->entries, sizeof(entry), entry_is_live);
  while (entry *e = (entry *)pool_iterator_next(&eit))
    for (size_t k = 0; k < feeds.size(); ++k)
      if (feeds[k]->id == e->feed_id) {
        if (out[k].size() < feeds[k]->entry_count) out[k].push_back(e);
        break;
      }
  return out;
}

void expect_summary(reader *r, buffer arena, u32 live) {
  std::vector<std::vector<entry *>> want = model(r);
  u64 used = arena.used;
  list_summary s = view_feed_list_build(&arena, r, live);
  ASSERT_EQ(s.feed_count, want.size());
  for (u32 k = 0; k < s.feed_count; ++k) {
    entry **got = (entry **)s.feed_entries[k].data;
    std::vector<entry *> have(got, got + s.feed_entries[k].used / sizeof(entry *));
    ASSERT_EQ(have, want[k]) << k;
  }
  // The table is given back: only the arrays and the feeds' buffers stay.
  u64 kept = arena.used - used;
  u64 arrays = 12ull * live + sizeof(buffer) * live + 64;
  for (u32 k = 0; k < s.feed_count; ++k) arrays += s.feed_entries[k].size + 8;
  EXPECT_LE(kept, arrays);
}

TEST_F(ListBuild, entries_go_to_their_feeds_as_a_walk_of_the_feeds_sends_them) {
  std::mt19937 rng(3);
  std::vector<feed *> feeds;
  buffer arena = memory_alloc(MiB(8), nullptr);
  for (u32 round = 0; round < 300; ++round) {
    u32 action = rng() % 10;
    if (action < 2 || feeds.empty()) {
      feeds.push_back(add_feed(rng() % 2 ? feed_type_atom : feed_type_rss));
    } else if (action < 3) {
      size_t k = rng() % feeds.size();
      reader_delete_feed(&r, feeds[k]);
      feeds.erase(feeds.begin() + (long)k);
    } else if (action < 8) {
      add_entry(feeds[rng() % feeds.size()], make_date(2024, 1, 1));
    } else {
      feed *f = feeds[rng() % feeds.size()];
      if (entry *e = reader_first_entry(&r, f, 0, UINT32_MAX, 0, feed_type_deleted)) reader_delete_entry(&r, e, f);
    }
    u32 live = r.feeds.entry_count;
    arena.used = 0;
    expect_summary(&r, arena, live);
    if (HasFatalFailure()) break;
  }
  // An arena with room for the arrays and the feeds' buffers but not the table: the entries are
  // distributed all the same.
  u32 live = r.feeds.entry_count;
  u64 need = 12ull * live + sizeof(buffer) * live + 32;
  pool_iterator it = pool_iterator_init(&r.feeds, sizeof(feed), feed_is_live);
  while (feed *f = (feed *)pool_iterator_next(&it)) need += 8ull * f->entry_count + 8;
  buffer small = buffer_make(need, 0, arena.data);
  expect_summary(&r, small, live);
  memory_free(&arena);
}

}  // namespace
