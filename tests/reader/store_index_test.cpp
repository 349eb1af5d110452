// The store's look-ups by id, URL, term, name, feed and link ends against plain walks of the
// pools, over random stores that grow, shrink, purge, roll back, reload and lose their memory.
#include <random>
#include <string>
#include <vector>

#include "reader/save.h"
#include "reader/store_internal.h"
#include "store_fixture.h"

namespace {

class StoreIndex : public Store {
 protected:
  std::mt19937 rng{1};
  u32 pick(u32 n) { return n ? rng() % n : 0; }

  // Few distinct texts, so equal keys, shared categories and persons and hash buckets are met.
  std::string url_text() { return "https://example.org/f" + std::to_string(pick(40)); }
  std::string term_text() { return "term " + std::to_string(pick(60)); }
  std::string name_text() { return "name " + std::to_string(pick(60)); }

  feed *random_feed() {
    std::vector<feed *> live;
    store_walk<feed>(&r.feeds, feed_is_live, [&](feed *f) { return live.push_back(f), false; });
    return live.empty() ? nullptr : live[pick((u32)live.size())];
  }
  entry *random_entry() {
    std::vector<entry *> live;
    store_walk<entry>(&r.entries, entry_is_live, [&](entry *e) { return live.push_back(e), false; });
    return live.empty() ? nullptr : live[pick((u32)live.size())];
  }

  void step() {
    u32 action = pick(100);
    if (action < 15) {
      add_feed(pick(2) ? feed_type_atom : feed_type_rss, url_text());
    } else if (action < 20) {
      if (feed *f = random_feed()) {
        f->url = reader_add_string(&r, text_of(url_text()));
        reader_feed_url_changed(&r, f);
      }
    } else if (action < 25) {
      if (feed *f = random_feed()) reader_delete_feed(&r, f);
    } else if (action < 60) {
      feed *f = random_feed();
      if (!f) return;
      entry *e = add_entry(f, make_date(2024, 1, 1 + (u8)pick(28)), "g" + std::to_string(rng()));
      if (!e) return;
      bool atom = feed_get_type(f) == feed_type_atom;
      for (u32 k = atom ? pick(4) : 0; k > 0; --k) {
        atom_link *l = reader_new_atom_link(&r, atom_link_owner_entry, e->id, &e->atom.atom_link_count);
        if (l) l->rel = pick(3);
        if (l) l->href = reader_add_string(&r, text_of("https://example.org/" + std::to_string(rng())));
      }
      for (u32 k = pick(4); k > 0; --k) {
        if (atom) {
          if (pick(2)) link_category(term_text(), link_kind_atom_entry_category, e->id, &e->atom.category_count);
          else link_person(name_text(), link_kind_atom_entry_author, e->id, &e->atom.author_count);
        } else {
          link_category(term_text(), link_kind_rss_entry_category, e->id, &e->rss.category_count);
        }
      }
      if (pick(3) == 0) link_category(term_text(), atom ? link_kind_atom_feed_category : link_kind_rss_feed_category,
                                      f->id, atom ? &f->atom.category_count : &f->rss.category_count);
    } else if (action < 75) {
      if (entry *e = random_entry()) reader_delete_entry(&r, e, reader_find_feed_linear(&r, e->feed_id));
    } else if (action < 80) {
      reader_purge_categories(&r);
      reader_purge_persons(&r);
    } else if (action < 85) {
      // An entry that made new records, dropped again as the parser drops one.
      feed *f = random_feed();
      if (!f || feed_get_type(f) != feed_type_atom) return;
      reader_mark mark = reader_strings_mark(&r);
      entry *e = reader_new_entry(&r);
      if (!e) return;
      e->type = feed_type_atom;
      link_category("fresh " + std::to_string(rng()), link_kind_atom_entry_category, e->id, &e->atom.category_count);
      link_person("fresh " + std::to_string(rng()), link_kind_atom_entry_author, e->id, &e->atom.author_count);
      reader_delete_entry(&r, e, nullptr);
      reader_strings_rollback(&r, mark);
    } else if (action < 87) {
      // Through a save image and back, as a load at start-up does.
      buffer image = reader_write_image(&r);
      ASSERT_NE(image.data, nullptr);
      reader_reset(&r);
      ASSERT_TRUE(reader_read_bytes(&r, image.data, image.used));
      memory_free(&image);
    } else if (action < 88) {
      // The system refused an index's memory: look-ups walk until the next rebuild.
      reader_index *x = &r.feeds_by_id + pick(11);
      index_free(x);
      x->broken = 1;
      if (pick(2)) reader_index_rebuild(&r);
    } else {
      // Sorting moves entries between slots; no look-up depends on where entries are.
      if (feed *f = random_feed()) reader_sort_feed_entries(&r, f);
    }
  }

  void expect_same_answers() {
    for (u32 id = 0; id <= r.next_feed_id + 1; ++id) {
      ASSERT_EQ(reader_find_feed(&r, id), reader_find_feed_linear(&r, id)) << id;
      ASSERT_EQ(reader_get_meta(&r, id), reader_get_meta_linear(&r, id)) << id;
    }
    for (u32 k = 0; k < 42; ++k) {
      std::string u = "https://example.org/f" + std::to_string(k);
      ASSERT_EQ(reader_find_feed_by_url(&r, text_of(u)), reader_find_feed_by_url_linear(&r, text_of(u))) << u;
    }
    for (u32 id = 0; id <= r.category_counter + 1 || id <= r.person_counter + 1; ++id) {
      ASSERT_EQ(reader_find_category_by_id(&r, id), reader_find_category_by_id_linear(&r, id)) << id;
      ASSERT_EQ(reader_find_person(&r, id), reader_find_person_linear(&r, id)) << id;
    }
    for (u32 k = 0; k < 62; ++k) {
      std::string t = "term " + std::to_string(k), n = "name " + std::to_string(k);
      ASSERT_EQ(reader_find_category(&r, text_of(t)), reader_find_category_linear(&r, text_of(t))) << t;
      ASSERT_EQ(reader_find_person_by_name(&r, text_of(n)), reader_find_person_by_name_linear(&r, text_of(n))) << n;
    }
    // The walks of one feed's entries against walks of the whole pool.
    store_walk<feed>(&r.feeds, feed_is_live, [&](feed *f) {
      std::vector<entry *> all;
      store_walk<entry>(&r.entries, entry_is_live, [&](entry *e) { return e->feed_id == f->id ? all.push_back(e), false : false; });
      u32 from = 1 + pick(4), to = from + pick(20);
      auto listed = [&](entry *e) { return e->generation >= from && e->generation <= to && !entry_is_deleted(e); };
      entry *first = nullptr, *last = nullptr;
      for (entry *e : all)
        if (listed(e)) last = e, first = first ? first : e;
      EXPECT_EQ(reader_first_entry(&r, f, from, to, 0, 0), first);
      EXPECT_EQ(reader_last_entry(&r, f, from, to, 0, 0), last);
      for (size_t k = 0; k < all.size(); ++k) {
        entry *next = nullptr, *prev = nullptr;
        for (size_t j = k + 1; j < all.size() && !next; ++j) next = listed(all[j]) ? all[j] : nullptr;
        for (size_t j = k; j-- > 0 && !prev;) prev = listed(all[j]) ? all[j] : nullptr;
        EXPECT_EQ(reader_next_entry(&r, f, all[k], from, to, 0, 0), next);
        EXPECT_EQ(reader_prev_entry(&r, f, all[k], from, to, 0, 0), prev);
        buffer guid = entry_get_guid(all[k]);
        EXPECT_EQ(reader_find_entry_by_guid(&r, f->id, guid), all[k]);
        EXPECT_EQ(reader_find_entry(&r, f->id, all[k]->id), all[k]);
        if (entry_get_type(all[k]) != feed_type_atom) continue;
        for (u32 rel = 0; rel < 3; ++rel) {
          buffer want = {};
          store_walk<atom_link>(&r.atom_links, atom_link_is_live, [&](atom_link *l) {
            if (l->owner_kind != atom_link_owner_entry || l->owner_id != all[k]->id || l->rel != rel) return false;
            return want = l->href, true;
          });
          buffer got = reader_find_atom_link_href(&r, all[k]->id, all[k]->atom.atom_link_count, atom_link_owner_entry, rel);
          EXPECT_EQ(got.data, want.data);
        }
      }
      return false;
    });
    // Every owner's links with the counts its record keeps, to existing and missing targets.
    store_walk<entry>(&r.entries, entry_is_live, [&](entry *e) {
      std::vector<struct link *> want;
      store_walk<struct link>(&r.links, link_is_live, [&](struct link *l) {
        if (l->owner_id == e->id && !(l->kind & 1)) want.push_back(l);
        return false;
      });
      struct link *got[64];
      u32 n = reader_owned_links(&r, e->id, false, got, 64);
      EXPECT_EQ(n, want.size());
      if (n <= 64) EXPECT_EQ(std::vector<struct link *>(got, got + n), want);
      bool atom = entry_get_type(e) == feed_type_atom;
      u32 kinds[2] = {atom ? (u32)link_kind_atom_entry_category : (u32)link_kind_rss_entry_category,
                      link_kind_atom_entry_author};
      u32 counts[2] = {atom ? e->atom.category_count : e->rss.category_count, atom ? e->atom.author_count : 0};
      for (u32 k = 0; k < 2; ++k)
        for (u32 target = 0; target <= 8; ++target) {
          u32 t = target == 8 ? r.category_counter + 1 : 1 + pick(r.category_counter + r.person_counter + 1);
          EXPECT_EQ(reader_owner_links_to(&r, kinds[k], e->id, t, counts[k]),
                    reader_owner_links_to_linear(&r, kinds[k], e->id, t, counts[k]));
        }
      return false;
    });
  }
};

TEST_F(StoreIndex, indexed_look_ups_answer_as_the_walks_do_over_random_stores) {
  for (u32 seed = 1; seed <= 3; ++seed) {
    rng.seed(seed);
    rebuild(reader_default_capacity);
    for (u32 n = 0; n < 1500; ++n) {
      r.generation = 1 + n / 100;  // entries spread over generations, so ranges pick some
      step();
      if (HasFatalFailure()) return;
      if (n % 50 == 49) {
        expect_same_answers();
        if (HasFatalFailure()) return;
      }
    }
    EXPECT_EQ(reader_check(&r), 0u);
  }
}

// Feeds that share one URL: the first in slot order answers, also once it is freed and its slot
// handed to another feed.
TEST_F(StoreIndex, equal_keys_answer_with_the_record_a_walk_meets) {
  feed *a = add_feed(feed_type_rss, "https://same.example/");
  feed *b = add_feed(feed_type_rss, "https://same.example/");
  EXPECT_EQ(reader_find_feed_by_url(&r, text_of(std::string("https://same.example/"))), a);
  reader_delete_feed(&r, a);
  EXPECT_EQ(reader_find_feed_by_url(&r, text_of(std::string("https://same.example/"))), b);
  feed *c = add_feed(feed_type_rss, "https://other.example/");
  EXPECT_EQ(c, a);  // the freed slot came back
  EXPECT_EQ(reader_find_feed_by_url(&r, text_of(std::string("https://same.example/"))), b);
  EXPECT_EQ(reader_find_feed_by_url(&r, text_of(std::string("https://other.example/"))), c);
  EXPECT_EQ(reader_find_feed(&r, b->id), b);
  EXPECT_EQ(reader_find_feed(&r, 1), nullptr);
  // An edit in place of the URL (the settings page) is found once announced.
  memory_copy(c->url.data, "https://other.exampl!", 21);
  reader_feed_url_changed(&r, c);
  EXPECT_EQ(reader_find_feed_by_url(&r, text_of(std::string("https://other.exampl!/"))), c);
  EXPECT_EQ(reader_find_feed_by_url(&r, text_of(std::string("https://other.example/"))), nullptr);
}

}  // namespace
