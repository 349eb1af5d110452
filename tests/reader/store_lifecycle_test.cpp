#include <algorithm>
#include <random>
#include <vector>

#include "store_fixture.h"

namespace {

std::vector<u32> released_images;
void record_release(u32 id) { released_images.push_back(id); }

const u32 D = feed_type_deleted;

TEST_F(Store, deleting_an_entry_frees_its_links_atom_links_and_images) {
  released_images.clear();
  reader_set_image_release_hook(record_release);
  feed *f = add_feed(feed_type_atom);
  entry *keep = add_entry(f, make_date(2020, 1, 1), "k");
  entry *e = add_entry(f, make_date(2020, 1, 2), "e");
  u32 id = e->id;
  ASSERT_TRUE(link_category("c", link_kind_atom_entry_category, id, &e->atom.category_count));
  ASSERT_TRUE(link_person("p", link_kind_atom_entry_author, id, &e->atom.author_count));
  ASSERT_TRUE(link_person("q", link_kind_atom_entry_contributor, id, &e->atom.contributor_count));
  ASSERT_TRUE(link_person("p", link_kind_atom_entry_author, keep->id, &keep->atom.author_count));
  for (int i = 0; i < 3; ++i) reader_new_atom_link(&r, atom_link_owner_entry, id, &e->atom.atom_link_count);
  reader_new_atom_link(&r, atom_link_owner_feed, f->id, &f->atom.atom_link_count);

  reader_delete_entry(&r, e, f);
  EXPECT_EQ(f->entry_count, 1u);
  EXPECT_EQ(r.links.entry_count, 1u);
  EXPECT_EQ(r.atom_links.entry_count, 1u);
  EXPECT_EQ(released_images, std::vector<u32>{id});
  EXPECT_EQ(reader_find_entry(&r, f->id, id), nullptr);
  EXPECT_EQ(reader_check(&r), 0u);
  // The orphaned category and person go with the next purge; the person still linked stays.
  reader_purge_categories(&r);
  reader_purge_persons(&r);
  EXPECT_EQ(r.categories.entry_count, 0u);
  EXPECT_EQ(r.persons.entry_count, 1u);
  EXPECT_NE(reader_find_person_by_name(&r, text_of("p")), 0u);
  reader_set_image_release_hook(nullptr);
}

TEST_F(Store, deleting_a_feed_frees_its_entries_meta_and_links) {
  feed *empty = add_feed(feed_type_rss);
  ASSERT_TRUE(link_category("c", link_kind_rss_feed_category, empty->id, &empty->rss.category_count));
  feed *atom = add_feed(feed_type_atom);
  for (int i = 0; i < 4; ++i) {
    entry *e = add_entry(atom, make_date(2020, 1, 1 + i), "a" + std::to_string(i));
    ASSERT_TRUE(link_person("p", link_kind_atom_entry_author, e->id, &e->atom.author_count));
  }
  ASSERT_TRUE(link_person("p", link_kind_atom_feed_contributor, atom->id, &atom->atom.contributor_count));
  reader_new_atom_link(&r, atom_link_owner_feed, atom->id, &atom->atom.atom_link_count);
  feed *other = add_feed(feed_type_rss);
  add_entry(other, make_date(2020, 1, 1), "o");

  reader_delete_feed(&r, empty);
  EXPECT_EQ(r.feeds.entry_count, 2u);
  EXPECT_EQ(r.metas.entry_count, 2u);
  EXPECT_EQ(r.links.entry_count, 5u);
  reader_delete_feed(&r, atom);
  EXPECT_EQ(r.entries.entry_count, 1u);
  EXPECT_EQ(r.links.entry_count, 0u);
  EXPECT_EQ(r.atom_links.entry_count, 0u);
  EXPECT_EQ(r.metas.entry_count, 1u);
  EXPECT_EQ(reader_check(&r), 0u);
  // Ids of freed feeds are not given out again.
  EXPECT_EQ(add_feed(feed_type_rss)->id, 4u);
}

TEST_F(Store, marks_restore_and_purge) {
  feed *a = add_feed(feed_type_rss);
  feed *b = add_feed(feed_type_rss);
  entry *a1 = add_entry(a, make_date(2020, 1, 1), "1");
  entry *a2 = add_entry(a, make_date(2020, 1, 2), "2");
  entry *b1 = add_entry(b, make_date(2020, 1, 1), "3");
  entry *b2 = add_entry(b, make_date(2020, 1, 2), "4");
  entry *b3 = add_entry(b, make_date(2020, 1, 3), "5");

  reader_mark_feed_deleted(&r, a);
  EXPECT_TRUE(feed_is_deleted(a) && entry_is_deleted(a1) && entry_is_deleted(a2));
  reader_unmark_feed_deleted(&r, a, 0);
  EXPECT_FALSE(feed_is_deleted(a));
  EXPECT_TRUE(entry_is_deleted(a1) && entry_is_deleted(a2));
  reader_unmark_feed_deleted(&r, a, 1);
  EXPECT_FALSE(entry_is_deleted(a1) || entry_is_deleted(a2));

  reader_mark_feed_deleted(&r, a);
  entry_mark_deleted(b1);
  entry_mark_deleted(b3);
  u32 b2_id = b2->id, b3_id = b3->id;
  // b3 is at the feed's newest date: freed, it would be new to the next update.
  b->rss.newest_date = make_date(2020, 1, 3);
  reader_purge_deleted(&r);
  EXPECT_EQ(r.feeds.entry_count, 1u);
  EXPECT_EQ(reader_find_feed(&r, 1), nullptr);
  EXPECT_EQ(b->entry_count, 2u);
  EXPECT_NE(reader_find_entry(&r, b->id, b2_id), nullptr);
  ASSERT_NE(reader_find_entry(&r, b->id, b3_id), nullptr);
  EXPECT_TRUE(entry_is_deleted(reader_find_entry(&r, b->id, b3_id)));
  EXPECT_EQ(reader_check(&r), 0u);
}

TEST_F(Store, generations_step_over_gaps_and_renumber_densely) {
  feed *f = add_feed(feed_type_rss);
  std::vector<entry *> es;
  for (u32 g : {2u, 5u, 5u, 9u}) {
    r.generation = g;
    es.push_back(add_entry(f, make_date(2020, 1, 1), std::to_string(es.size())));
  }
  r.generation = 11;
  entry_mark_deleted(es[3]);
  EXPECT_EQ(reader_prev_generation(&r, 1, 0, 0), 1u);
  EXPECT_EQ(reader_prev_generation(&r, 5, 0, 0), 2u);
  EXPECT_EQ(reader_prev_generation(&r, 2, 0, 0), 2u);
  EXPECT_EQ(reader_next_generation(&r, 2, 0, 0), 5u);
  EXPECT_EQ(reader_next_generation(&r, 5, 0, 0), 5u);  // 9 is marked deleted
  EXPECT_EQ(reader_next_generation(&r, 5, 0, D), 9u);
  EXPECT_EQ(reader_prev_generation(&r, 11, D, 0), 9u);
  EXPECT_TRUE(reader_has_entry_in_range(&r, 3, 5, 0, 0));
  EXPECT_FALSE(reader_has_entry_in_range(&r, 6, 11, 0, 0));

  buffer scratch = memory_alloc(KiB(64), nullptr);
  ASSERT_TRUE(reader_renumber_generations(&r, scratch));
  EXPECT_EQ(es[0]->generation, 1u);
  EXPECT_EQ(es[1]->generation, 2u);
  EXPECT_EQ(es[2]->generation, 2u);
  EXPECT_EQ(es[3]->generation, 3u);
  EXPECT_EQ(r.generation, 3u);
  reader_delete_feed(&r, f);
  ASSERT_TRUE(reader_renumber_generations(&r, scratch));
  EXPECT_EQ(r.generation, 0u);
  // A table that does not fit the scratch is refused.
  r.generation = 100000;
  EXPECT_FALSE(reader_renumber_generations(&r, scratch));
  memory_free(&scratch);
}

// Random dates with many ties, both directions, both kinds: every feed's entries end in date
// order within the feed's own slots, and the other feeds' slots are untouched.
TEST_F(Store, sorting_orders_a_feeds_entries_by_date_in_its_own_slots) {
  std::mt19937 rng(3);
  feed *rss = add_feed(feed_type_rss);
  feed *atom = add_feed(feed_type_atom);
  feed *updated_only = add_feed(feed_type_atom);
  feed *feeds[] = {rss, atom, updated_only};
  for (int i = 0; i < 300; ++i) {
    feed *f = feeds[rng() % 3];
    add_entry(f, make_date(2020, 1 + rng() % 3, 1 + rng() % 3), std::to_string(i), f == updated_only);
  }
  auto dates_of = [&](feed *f) {
    std::vector<std::pair<u64, u32>> v;  // (date key, slot)
    for (u32 i = 0; i < r.entries.high_water; ++i) {
      entry *e = (entry *)pool_get(&r.entries, sizeof(entry), i);
      if (!entry_is_live(e) || e->feed_id != f->id) continue;
      date d = entry_get_type(e) == feed_type_rss ? e->rss.pubDate
               : date_is_zero(e->atom.published) ? e->atom.updated : e->atom.published;
      v.push_back({date_to_number(d), i});
    }
    return v;
  };
  for (u32 direction : {0u, 1u}) {
    for (feed *f : feeds) {
      reader_get_meta(&r, f->id)->flags = direction;
      auto before_other = dates_of(f == rss ? atom : rss);
      auto before = dates_of(f);
      reader_sort_feed_entries(&r, f);
      auto after = dates_of(f);
      ASSERT_EQ(after.size(), before.size());
      for (u64 i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].second, before[i].second);  // same slots
      for (u64 i = 1; i < after.size(); ++i) {
        if (direction == 0) EXPECT_GE(after[i - 1].first, after[i].first);
        else EXPECT_LE(after[i - 1].first, after[i].first);
      }
      auto sorted = before;
      std::sort(sorted.begin(), sorted.end());
      auto got = after;
      std::sort(got.begin(), got.end(), [](auto a, auto b) { return a.first < b.first; });
      for (u64 i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].first, sorted[i].first);
      EXPECT_EQ(dates_of(f == rss ? atom : rss), before_other);
    }
  }
  EXPECT_EQ(reader_check(&r), 0u);
  // Records moved with their ids: each id is still found under its feed.
  for (feed *f : feeds) {
    for (auto [key, slot] : dates_of(f)) {
      entry *e = (entry *)pool_get(&r.entries, sizeof(entry), slot);
      EXPECT_EQ(reader_find_entry(&r, f->id, e->id), e);
    }
  }
}

// The navigation against a plain model over random marks, generations and filters.
TEST_F(Store, navigation_matches_a_model_at_both_ends) {
  std::mt19937 rng(11);
  std::vector<feed *> feeds;
  for (int i = 0; i < 8; ++i) feeds.push_back(add_feed(feed_type_rss));
  for (int i = 0; i < 200; ++i) {
    r.generation = 1 + rng() % 5;
    feed *f = feeds[rng() % 7];  // the last feed stays empty
    entry *e = add_entry(f, make_date(2020, 1, 1), std::to_string(i));
    if (rng() % 3 == 0) entry_mark_deleted(e);
  }
  // Free some slots in the middle, so walks cross holes.
  for (int i = 0; i < 30; ++i) {
    entry *e = (entry *)pool_get(&r.entries, sizeof(entry), rng() % 200);
    if (entry_is_live(e)) reader_delete_entry(&r, e, reader_find_feed(&r, e->feed_id));
  }
  feeds[2]->type |= D;
  feeds[7]->type |= D;

  struct filter {
    u32 required, allowed;
  } filters[] = {{0, 0}, {D, 0}, {0, D}};
  auto listed_entries = [&](feed *f, u32 from, u32 to, filter k) {
    std::vector<entry *> v;
    for (u32 i = 0; i < r.entries.high_water; ++i) {
      entry *e = (entry *)pool_get(&r.entries, sizeof(entry), i);
      if (entry_is_live(e) && e->feed_id == f->id && e->generation >= from && e->generation <= to &&
          flags_match(e->type & D, k.required, k.allowed))
        v.push_back(e);
    }
    return v;
  };
  for (filter k : filters) {
    for (u32 from = 1; from <= 5; ++from) {
      u32 to = from + rng() % 3;
      for (feed *f : feeds) {
        auto v = listed_entries(f, from, to, k);
        EXPECT_EQ(reader_first_entry(&r, f, from, to, k.required, k.allowed), v.empty() ? nullptr : v.front());
        EXPECT_EQ(reader_last_entry(&r, f, from, to, k.required, k.allowed), v.empty() ? nullptr : v.back());
        for (u64 i = 0; i < v.size(); ++i) {
          EXPECT_EQ(reader_prev_entry(&r, f, v[i], from, to, k.required, k.allowed), i ? v[i - 1] : nullptr);
          EXPECT_EQ(reader_next_entry(&r, f, v[i], from, to, k.required, k.allowed), i + 1 < v.size() ? v[i + 1] : nullptr);
        }
      }
      for (filter fk : filters) {
        for (u32 include_empty : {0u, 1u}) {
          std::vector<feed *> model;
          for (feed *f : feeds) {
            if (!flags_match(f->type & D, fk.required, fk.allowed)) continue;
            bool empty_ok = include_empty && !(fk.required & D);
            if (empty_ok || !listed_entries(f, from, to, k).empty()) model.push_back(f);
          }
          auto first = reader_first_feed(&r, include_empty, from, to, fk.required, fk.allowed, k.required, k.allowed);
          auto last = reader_last_feed(&r, include_empty, from, to, fk.required, fk.allowed, k.required, k.allowed);
          EXPECT_EQ(first, model.empty() ? nullptr : model.front());
          EXPECT_EQ(last, model.empty() ? nullptr : model.back());
          for (u64 i = 0; i < model.size(); ++i) {
            EXPECT_EQ(reader_prev_feed(&r, model[i], include_empty, from, to, fk.required, fk.allowed, k.required, k.allowed),
                      i ? model[i - 1] : nullptr);
            EXPECT_EQ(reader_next_feed(&r, model[i], include_empty, from, to, fk.required, fk.allowed, k.required, k.allowed),
                      i + 1 < model.size() ? model[i + 1] : nullptr);
          }
        }
      }
    }
  }
  // A deleted feed with no marked entry in range is not listed even with empty feeds shown.
  EXPECT_EQ(reader_next_feed(&r, feeds[6], 1, 1, 9, D, 0, D, 0), nullptr);
}

}  // namespace
