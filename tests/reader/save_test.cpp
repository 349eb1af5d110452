#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <random>
#include <set>

#include "reader/save_internal.h"
#include "tests/reader/save_fixture.h"
#include "tests/support/test_store.h"

namespace {

std::string log_since(u64 before) {
  buffer b = log_last_text();
  return before <= b.used ? std::string((const char *)b.data + before, b.used - before) : std::string();
}

// A fresh reader with its own code-point set, released at the end of the scope.
struct fresh_reader : test_store {
  bool load(const std::string &bytes) { return reader_read_bytes(&r, (const u8 *)bytes.data(), bytes.size()); }
};

// The code points of the bytes as the plain decoder gives them one at a time, U+0000 aside, an
// undecodable byte passed over alone.
template <class F>
void plain_codepoints(const u8 *p, const u8 *end, F visit) {
  while (p < end) {
    u32 c = 0, error = 0;
    u8 n = 0;
    unicode_utf8_decode(p, end, &c, &n, &error);
    if (error) {
      ++p;
      continue;
    }
    if (c) visit(c);
    p += n;
  }
}

// The store's state that a save must not touch: pools, arena bytes, counters, openers, set.
std::string snapshot(reader *r) {
  std::string s;
  pool *pools[7] = {&r->feeds, &r->entries, &r->categories, &r->persons, &r->atom_links, &r->links, &r->metas};
  const u64 sizes[7] = {sizeof(feed), sizeof(entry), sizeof(category), sizeof(person), sizeof(atom_link),
                        sizeof(struct link), sizeof(meta)};
  for (u32 k = 0; k < 7; ++k) {
    s.append((const char *)pools[k]->items, pools[k]->high_water * sizes[k]);
    s.append((const char *)&pools[k]->entry_count, 4 * 5);  // counts, high water, free count, committed
    s.append((const char *)pools[k]->free_stack, 4ull * pools[k]->free_count);
  }
  s.append((const char *)r->strings.data, r->strings.used);
  s.append((const char *)&r->next_feed_id, 20);
  s.append((const char *)r->link_openers, sizeof(r->link_openers));
  s.append((const char *)r->codepoints->items, 4ull * r->codepoints->count);
  return s;
}

TEST_F(SaveStore, empty_store_gives_the_smallest_file_and_loads_back_empty) {
  std::string image = image_of(&r);
  EXPECT_EQ(image.size(), (size_t)SAVE_FILE_EMPTY_SIZE);
  fresh_reader f;
  ASSERT_TRUE(f.load(image));
  EXPECT_EQ(f.r.feeds.entry_count, 0u);
  EXPECT_EQ(f.set.count, CODEPOINT_SET_START_COUNT);
  EXPECT_EQ(image_of(&f.r), image);
}

TEST_F(SaveStore, round_trip_keeps_every_record_and_text_and_gives_the_same_bytes) {
  fill_rich(&r);
  std::string first = image_of(&r);
  fresh_reader f;
  ASSERT_TRUE(f.load(first));
  // Ids were dense already, so every record comes back in its slot with its fields; only the
  // generations close their gaps (1, 4, 7, 10 become 1 to 4).
  for (u32 i = 0; i < 3; ++i) {
    feed *a = (feed *)pool_get(&r.feeds, sizeof(feed), i), *b = (feed *)pool_get(&f.r.feeds, sizeof(feed), i);
    EXPECT_EQ(a->type, b->type);
    EXPECT_EQ(a->id, b->id);
    EXPECT_EQ(to_std(a->url), to_std(b->url));
    EXPECT_EQ(to_std(feed_get_title(a)), to_std(feed_get_title(b)));
    EXPECT_EQ(reader_get_meta(&r, a->id)->flags, reader_get_meta(&f.r, b->id)->flags);
    EXPECT_EQ(reader_get_meta(&r, a->id)->opener - r.link_openers, reader_get_meta(&f.r, b->id)->opener - f.r.link_openers);
  }
  EXPECT_TRUE(feed_is_deleted((feed *)pool_get(&f.r.feeds, sizeof(feed), 1)));
  for (u32 i = 0; i < r.entries.entry_count; ++i) {
    entry *a = (entry *)pool_get(&r.entries, sizeof(entry), i), *b = (entry *)pool_get(&f.r.entries, sizeof(entry), i);
    EXPECT_EQ(a->id, b->id);
    EXPECT_EQ(a->feed_id, b->feed_id);
    EXPECT_EQ(to_std(entry_get_title(a)), to_std(entry_get_title(b)));
    EXPECT_EQ(to_std(entry_get_guid(a)), to_std(entry_get_guid(b)));
    EXPECT_EQ((a->generation + 2) / 3, b->generation);
  }
  EXPECT_EQ(f.r.generation, 4u);
  for (pool *p : {&r.categories, &r.persons, &r.atom_links, &r.links})
    EXPECT_EQ(p->entry_count, (&f.r.feeds)[p - &r.feeds].entry_count);
  EXPECT_EQ(to_std(f.r.link_openers[1].program), "\"/usr/bin/my browser\" --new-tab");
  EXPECT_EQ(to_std(f.r.link_openers[1].queue), "https://a https://b");
  EXPECT_EQ(f.r.link_openers[1].queue_mode, 1u);
  EXPECT_TRUE(codepoint_set_contains(&f.set, 0x1F600));
  EXPECT_TRUE(codepoint_set_contains(&f.set, 0x4E2D));
  for (u32 i = 1; i < f.set.count; ++i) EXPECT_LT(f.set.items[i - 1], f.set.items[i]);
  EXPECT_EQ(reader_check(&f.r), 0u);
  EXPECT_EQ(image_of(&f.r), first);
  // New records after a load take the next ids and slots.
  feed *next = reader_new_feed(&f.r, feed_type_rss);
  EXPECT_EQ(next->id, 4u);
  EXPECT_EQ(pool_index_of(&f.r.feeds, sizeof(feed), next), 3u);
}

TEST_F(SaveStore, a_save_during_the_run_leaves_the_live_store_untouched) {
  fill_rich(&r);
  feed *second = (feed *)pool_get(&r.feeds, sizeof(feed), 1);
  reader_delete_feed(&r, (feed *)pool_get(&r.feeds, sizeof(feed), 0));
  std::string before = snapshot(&r);
  u32 next_feed = r.next_feed_id, generation = r.generation;
  ASSERT_TRUE(reader_save(&r, text_of(folder)));
  EXPECT_EQ(snapshot(&r), before);
  EXPECT_EQ(second->id, 2u);  // ids the views hold still name the same records
  EXPECT_EQ(r.next_feed_id, next_feed);
  EXPECT_EQ(r.generation, generation);
  EXPECT_EQ(reader_check(&r), 0u);
}

TEST_F(SaveStore, deletions_renumber_densely_and_remap_every_reference_keeping_order) {
  fill_rich(&r, 4, 3);
  reader_delete_feed(&r, (feed *)pool_get(&r.feeds, sizeof(feed), 0));
  feed *rss = (feed *)pool_get(&r.feeds, sizeof(feed), 2);  // old id 3
  // Entry order within the pool is the display order: reverse this feed's first two by hand.
  std::vector<std::string> titles;
  for (u32 i = 0; i < r.entries.high_water; ++i) {
    entry *e = (entry *)pool_get(&r.entries, sizeof(entry), i);
    if (entry_is_live(e)) titles.push_back(to_std(entry_get_title(e)));
  }
  category orphan = {};
  orphan.term = lit("orphan");
  u32 count = 0;
  reader_add_category_link(&r, &orphan, link_kind_rss_feed_category, 999, &count);  // owner absent
  fresh_reader f;
  ASSERT_TRUE(f.load(image_of(&r)));
  EXPECT_EQ(f.r.feeds.entry_count, 3u);
  EXPECT_EQ(f.r.next_feed_id, 3u);
  for (u32 i = 0; i < 3; ++i) EXPECT_EQ(((feed *)pool_get(&f.r.feeds, sizeof(feed), i))->id, i + 1);
  EXPECT_EQ(to_std(((feed *)pool_get(&f.r.feeds, sizeof(feed), 1))->url), to_std(rss->url));
  std::vector<std::string> loaded;
  for (u32 i = 0; i < f.r.entries.entry_count; ++i) {
    entry *e = (entry *)pool_get(&f.r.entries, sizeof(entry), i);
    EXPECT_EQ(e->id, i + 1);
    EXPECT_NE(reader_find_feed(&f.r, e->feed_id), nullptr);
    loaded.push_back(to_std(entry_get_title(e)));
  }
  EXPECT_EQ(loaded, titles);
  EXPECT_EQ(reader_find_category(&f.r, text_of("orphan")), 0u);  // purged with its dangling link
  for (u32 i = 0; i < f.r.links.entry_count; ++i) {
    struct link *l = (struct link *)pool_get(&f.r.links, sizeof(struct link), i);
    if (l->kind <= 4) EXPECT_NE(reader_find_category_by_id(&f.r, l->target_id), nullptr);
    else EXPECT_NE(reader_find_person(&f.r, l->target_id), nullptr);
  }
  EXPECT_EQ(reader_check(&f.r), 0u);
}

TEST_F(SaveStore, a_store_whose_counts_drifted_still_saves_a_file_that_loads) {
  fill_rich(&r);
  feed *f = (feed *)pool_get(&r.feeds, sizeof(feed), 0);
  f->entry_count += 5;
  f->rss.category_count = 0;
  meta *m = reader_get_meta(&r, 3);
  memory_zero(m, sizeof *m);
  pool_free(&r.metas, m, sizeof *m);
  // A date off the calendar is written as no date, so the file still loads.
  ((entry *)pool_get(&r.entries, sizeof(entry), 0))->rss.pubDate = date{65535, 0, 0, 0, 0, 0, 0};
  ((feed *)pool_get(&r.feeds, sizeof(feed), 1))->atom.updated = date{2024, 2, 30, 0, 0, 0, 0};
  fresh_reader g;
  ASSERT_TRUE(g.load(image_of(&r)));
  EXPECT_TRUE(date_is_zero(((entry *)pool_get(&g.r.entries, sizeof(entry), 0))->rss.pubDate));
  EXPECT_TRUE(date_is_zero(((feed *)pool_get(&g.r.feeds, sizeof(feed), 1))->atom.updated));
  EXPECT_EQ(((feed *)pool_get(&g.r.feeds, sizeof(feed), 0))->entry_count, 4u);
  EXPECT_EQ(((feed *)pool_get(&g.r.feeds, sizeof(feed), 0))->rss.category_count, 1u);
  ASSERT_NE(reader_get_meta(&g.r, 3), nullptr);
  EXPECT_EQ(reader_get_meta(&g.r, 3)->opener, &g.r.link_openers[0]);
}

// ---- Rejections --------------------------------------------------------------------------

struct layout {
  size_t pools[7];  // offset of each pool's first record
  size_t openers, codepoints, strings;
};

layout layout_of(const std::string &image) {
  static const size_t sizes[7] = {744, 280, 80, 80, 120, 12, 16};
  layout l = {};
  size_t at = 108;
  for (int k = 0; k < 7; ++k) {
    u32 n;
    memcpy(&n, image.data() + at, 4);
    l.pools[k] = at + 4;
    at += 4 + n * sizes[k];
  }
  l.openers = at;
  u32 n;
  memcpy(&n, image.data() + at + 800, 4);
  l.codepoints = at + 804;
  l.strings = l.codepoints + 4 * n + 4;
  return l;
}

template <class T>
void put(std::string &s, size_t at, T v) {
  memcpy(&s[at], &v, sizeof v);
}

using mutation = void (*)(std::string &, const layout &);
using damage = std::pair<const char *, mutation>;

// One change per case that the checks must refuse.
std::vector<damage> damage_cases() {
  return {
      {"magic", [](std::string &s, const layout &) { s[0] = 'F'; }},
      {"version", [](std::string &s, const layout &) { put<u32>(s, 4, 2); }},
      {"header", [](std::string &s, const layout &) { put<s64>(s, 8 + 8 * 4, 5); }},
      {"feed count", [](std::string &s, const layout &) { put<u32>(s, 108, 201); }},
      {"entry count", [](std::string &s, const layout &x) { put<u32>(s, x.pools[1] - 4, 0xFFFFFFFF); }},
      {"string offset", [](std::string &s, const layout &x) { put<u64>(s, x.pools[0] + 16 + 16, 1ull << 40); }},
      {"string size", [](std::string &s, const layout &x) { put<u64>(s, x.pools[0] + 16, 1ull << 40); }},
      {"used over size", [](std::string &s, const layout &x) { put<u64>(s, x.pools[0] + 24, 1000); }},
      {"opener index", [](std::string &s, const layout &x) { put<u64>(s, x.pools[6] + 8, 10); }},
      {"feed type", [](std::string &s, const layout &x) { put<u32>(s, x.pools[0], 3); }},
      {"feed id", [](std::string &s, const layout &x) { put<u32>(s, x.pools[0] + 4, 7); }},
      {"feed entry count", [](std::string &s, const layout &x) { put<u32>(s, x.pools[0] + 8, 9); }},
      {"entry feed id", [](std::string &s, const layout &x) { put<u32>(s, x.pools[1] + 8, 50); }},
      {"entry generation", [](std::string &s, const layout &x) { put<u32>(s, x.pools[1] + 12, 99); }},
      {"feed date", [](std::string &s, const layout &x) { put<u8>(s, x.pools[0] + 208 + 2, 13); }},
      {"entry date", [](std::string &s, const layout &x) { put<u8>(s, x.pools[1] + 272 + 3, 40); }},
      {"date filler", [](std::string &s, const layout &x) { put<u8>(s, x.pools[1] + 272 + 7, 1); }},
      {"category id", [](std::string &s, const layout &x) { put<u32>(s, x.pools[2], 0); }},
      {"atom link owner", [](std::string &s, const layout &x) { put<u32>(s, x.pools[4], 3); }},
      {"atom link relation", [](std::string &s, const layout &x) { put<u32>(s, x.pools[4] + 104, 6); }},
      {"link kind", [](std::string &s, const layout &x) { put<u32>(s, x.pools[5], 9); }},
      {"link target", [](std::string &s, const layout &x) { put<u32>(s, x.pools[5] + 8, 77); }},
      {"meta feed", [](std::string &s, const layout &x) { put<u32>(s, x.pools[6], 0); }},
      {"generation counter", [](std::string &s, const layout &) { put<u32>(s, 104, 1000); }},
      {"code point order", [](std::string &s, const layout &x) { put<u32>(s, x.codepoints, 0x7E); }},
      {"code point range", [](std::string &s, const layout &x) { put<u32>(s, x.strings - 8, 0x110000); }},
      {"code point missing", [](std::string &s, const layout &x) { put<u32>(s, x.strings - 8, 0x10FFFF); }},
      {"strings length", [](std::string &s, const layout &x) { put<u32>(s, x.strings - 4, 3); }},
      {"size", [](std::string &s, const layout &) { s.push_back(0); }},
  };
}

TEST_F(SaveStore, every_kind_of_damage_is_refused_with_a_log_line) {
  fill_rich(&r);
  const std::string good = image_of(&r);
  const layout l = layout_of(good);
  const std::vector<damage> cases = damage_cases();
  for (auto &c : cases) {
    std::string bad = good;
    c.second(bad, l);
    fresh_reader f;
    u64 before = log_last_text().used;
    EXPECT_FALSE(f.load(bad)) << c.first;
    EXPECT_NE(log_since(before).find("Save file rejected: "), std::string::npos) << c.first;
    EXPECT_EQ(f.r.feeds.entry_count, 0u) << c.first;
    EXPECT_EQ(f.r.strings.used, 0u) << c.first;
    EXPECT_EQ(f.set.count, CODEPOINT_SET_START_COUNT) << c.first;
  }
}

TEST_F(SaveStore, truncated_or_flipped_files_are_refused_or_load_consistently) {
  fill_rich(&r, 2, 2);
  const std::string good = image_of(&r);
  fresh_reader f;
  const size_t stride = getenv("QM_EXHAUSTIVE") ? 1 : 5;
  for (size_t n = 0; n < good.size(); n += stride) {
    ASSERT_FALSE(f.load(good.substr(0, n))) << n;
    ASSERT_EQ(f.r.feeds.entry_count, 0u);
  }
  for (size_t at = 0; at < good.size(); at += stride) {
    std::string bad = good;
    bad[at] ^= (char)(0x5A + at % 7);
    if (f.load(bad)) {
      EXPECT_EQ(reader_check(&f.r), 0u) << at;
      reader_reset(&f.r);
    }
    ASSERT_EQ(f.r.feeds.entry_count, 0u) << at;
  }
  ASSERT_TRUE(f.load(good));
}

// A file is read in two pieces (the texts straight into the arena) when its header says where
// the texts lie: whatever the header or the sizes say, the same checks refuse the same damage,
// and nothing stays in the store.
TEST_F(SaveStore, damaged_files_are_refused_as_their_bytes_are) {
  fill_rich(&r);
  const std::string good = image_of(&r);
  const layout l = layout_of(good);
  std::vector<std::string> bad;
  for (const damage &c : damage_cases()) {
    bad.push_back(good);
    c.second(bad.back(), l);
  }
  for (size_t n : {(size_t)0, (size_t)50, (size_t)108, (size_t)l.strings - 4, (size_t)l.strings, good.size() - 1})
    bad.push_back(good.substr(0, n));
  for (s64 at : {(s64)0, (s64)107, (s64)l.strings - 8, (s64)l.strings, (s64)good.size(), (s64)1 << 40, (s64)-4}) {
    bad.push_back(good);
    put<s64>(bad.back(), 8 + 8 * 8, at);  // where the code points end and the texts' length lies
  }
  bad.push_back(good);
  put<u32>(bad.back(), l.strings - 4, 0xFFFFFFF0u);  // texts longer than the file
  const std::string path = folder + "/feed_data_20240101_000000.bin";
  for (size_t k = 0; k < bad.size(); ++k) {
    write_file(path, bad[k]);
    fresh_reader f;
    u32 error = 0;
    EXPECT_FALSE(reader_read(&f.r, text_of(path), &error)) << k;
    EXPECT_EQ(f.r.feeds.entry_count, 0u) << k;
    EXPECT_EQ(f.r.strings.used, 0u) << k;
    EXPECT_EQ(f.set.count, CODEPOINT_SET_START_COUNT) << k;
  }
  write_file(path, good);
  fresh_reader f;
  u32 error = 0;
  ASSERT_TRUE(reader_read(&f.r, text_of(path), &error));
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(image_of(&f.r), good);
  // A store without texts: the second piece is empty.
  fresh_reader empty;
  const std::string nothing = image_of(&empty.r);
  ASSERT_EQ(nothing.size(), SAVE_FILE_EMPTY_SIZE);
  write_file(path, nothing);
  fresh_reader g;
  EXPECT_TRUE(reader_read(&g.r, text_of(path), &error));
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(image_of(&g.r), nothing);
}

// The code-point list of a save against a plain decoder of the file's texts, one code point at a
// time: texts of every mix of printable ASCII, control bytes, longer sequences and broken ones,
// at every place around the sixteen-byte steps the collection takes. Every such file loads.
TEST_F(SaveStore, the_code_point_list_holds_exactly_what_the_texts_decode_to) {
  std::mt19937 rng(11);
  const std::vector<std::string> pieces = {"a", "Hello, world ", "0123456789abcdef", "\n", "\t", "\x01", "\x7f",
                                           std::string(1, '\0'), "\xc3\xa9", "\xe2\x80\x94", "\xf0\x9f\x98\x80",
                                           "\xe4\xb8\xad", "\xff", "\x80", "\xc3", "\xe2\x80", "\xed\xa0\x80",
                                           "\xc0\xaf", "\xf4\x90\x80\x80", "\xd0\x96\xd0\xb8"};
  for (int round = 0; round < 20; ++round) {
    reader_reset(&r);
    feed *f = reader_new_feed(&r, feed_type_rss);
    ASSERT_TRUE(f);
    f->url = reader_add_string(&r, text_of("https://example.org/" + std::to_string(round)));
    reader_feed_url_changed(&r, f);
    reader_new_meta(&r, f->id);
    for (int k = 0; k < 30; ++k) {
      entry *e = reader_new_entry(&r);
      ASSERT_TRUE(e);
      e->type = feed_type_rss;
      std::string t;
      for (u32 n = rng() % 24; n > 0; --n) t += pieces[rng() % pieces.size()];
      e->rss.title = reader_add_string(&r, text_of(t));
      reader_attach_entry(&r, f, e);
    }
    const std::string image = image_of(&r);
    const layout l = layout_of(image);
    std::set<u32> want;
    for (u32 c = 0x20; c < 0x7F; ++c) want.insert(c);
    plain_codepoints((const u8 *)image.data() + l.strings, (const u8 *)image.data() + image.size(),
                     [&](u32 c) { want.insert(c); });
    std::set<u32> got;
    u32 count;
    memcpy(&count, image.data() + l.codepoints - 4, 4);
    for (u32 i = 0; i < count; ++i) {
      u32 c;
      memcpy(&c, image.data() + l.codepoints + 4 * i, 4);
      if (c >= 0x20 && c < 0x7F) continue;
      got.insert(c);
    }
    for (u32 c = 0x20; c < 0x7F; ++c) got.insert(c);
    // Beyond ASCII the list holds the built-in code points too: those the texts lack are no fault.
    std::set<u32> builtin;
    fresh_reader empty;
    for (u32 i = 0; i < empty.set.count; ++i) builtin.insert(empty.set.items[i]);
    for (u32 c : builtin) want.insert(c);
    EXPECT_EQ(got, want) << round;
    fresh_reader f2;
    EXPECT_TRUE(f2.load(image)) << round;
  }
}

// The texts of a file are one run of bytes however they are handed over: random runs of whole,
// broken and cut sequences, split into random pieces (many shorter than a sequence), give the
// code points a plain decoder gives for the whole run, each as often; so does the one-call walk,
// over runs long enough for its sixty-four-byte steps.
TEST(SaveTexts, a_run_handed_over_in_any_pieces_decodes_as_one) {
  std::mt19937 rng(29);
  const std::vector<std::string> parts = {"a", "plain words ", "0123456789abcdefXYZ", "\n", "\x01", "\x7f",
                                          std::string(1, '\0'), "\xc3\xa9", "\xe2\x80\x94", "\xf0\x9f\x98\x80",
                                          "\xff", "\x80", "\xc3", "\xe2\x80", "\xed\xa0\x80", "\xc0\xaf",
                                          "\xf4\x90\x80\x80", "\xe0\xa0\x80", "\xf0\x90", "\xef\xbf\xbd"};
  for (int round = 0; round < 3000; ++round) {
    std::string run;
    for (u32 n = rng() % (round % 4 ? 40 : 400); n > 0; --n) run += parts[rng() % parts.size()];
    const u8 *begin = (const u8 *)run.data(), *end = begin + run.size();
    for (bool printable_known : {false, true}) {
      std::vector<u32> want, whole, pieces;
      plain_codepoints(begin, end, [&](u32 c) {
        if (!(printable_known && c >= 0x20 && c < 0x7F)) want.push_back(c);
      });
      texts_codepoints(begin, end, false, printable_known, [&](u32 c) { whole.push_back(c); });
      texts_stream stream = {};
      for (u64 at = 0; at < run.size();) {
        u64 n = rng() % 4 ? rng() % 5 : rng() % 300;
        n = std::min<u64>(n, run.size() - at);
        texts_stream_push(&stream, begin + at, n, printable_known, [&](u32 c) { pieces.push_back(c); });
        at += n;
      }
      texts_stream_end(&stream);
      // The walks visit in an order of their own.
      for (std::vector<u32> *v : {&want, &whole, &pieces}) std::sort(v->begin(), v->end());
      ASSERT_EQ(whole, want) << round;
      ASSERT_EQ(pieces, want) << round;
    }
  }
}

// ---- Files -------------------------------------------------------------------------------

TEST_F(SaveStore, save_file_numbers_accept_only_the_exact_form) {
  auto number = [](const std::string &s) { return reader_save_file_number((const u8 *)s.data(), s.size()); };
  EXPECT_EQ(number("/d/feed_data_20240131_235959.bin"), 20240131235959ull);
  EXPECT_EQ(number("feed_data_20240131_235959.bin"), 20240131235959ull);
  EXPECT_EQ(number("/d/feed_data_20240230_000000.bin"), 0u);   // no such day
  EXPECT_EQ(number("/d/feed_data_20240131-235959.bin"), 0u);
  EXPECT_EQ(number("/d/feed_data_20240131_235959.bak"), 0u);
  EXPECT_EQ(number("/d/feed_data_20240131_2359590.bin"), 0u);
  EXPECT_EQ(number("/d/xfeed_data_20240131_23595.bin"), 0u);
  EXPECT_EQ(number("/d/feed_data_20240131_235959.bin.tmp"), 0u);
  EXPECT_EQ(number(""), 0u);
}

TEST_F(SaveStore, rotation_keeps_the_ten_newest_and_never_touches_other_names) {
  const std::string image = image_of(&r);
  for (int i = 0; i < 12; ++i) {
    char name[64];
    snprintf(name, sizeof name, "/feed_data_2020%02d01_120000.bin", i + 1);
    write_file(folder + name, image);
  }
  write_file(folder + "/feed_data_backup.bin", "not a save");
  write_file(folder + "/notes.bin", "x");
  fill_rich(&r);
  ASSERT_TRUE(reader_save(&r, text_of(folder)));
  std::vector<std::string> names = files();
  EXPECT_EQ(names.size(), 12u);  // ten save files and the two other names
  EXPECT_EQ(std::count(names.begin(), names.end(), "feed_data_backup.bin"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "notes.bin"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "feed_data_20200101_120000.bin"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "feed_data_20200201_120000.bin"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "feed_data_20200301_120000.bin"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "feed_data.tmp"), 0);
  fresh_reader f;
  EXPECT_GT(reader_load(&f.r, text_of(folder)), 20230000000000ull);
  EXPECT_EQ(f.r.feeds.entry_count, 3u);
}

TEST_F(SaveStore, a_file_from_the_future_never_pushes_the_new_save_out) {
  write_file(folder + "/feed_data_29991231_235959.bin", image_of(&r));
  fill_rich(&r);
  ASSERT_TRUE(reader_save(&r, text_of(folder)));
  ASSERT_TRUE(reader_save(&r, text_of(folder)));  // twice in one second: two names
  std::vector<std::string> names = files();
  EXPECT_EQ(names, (std::vector<std::string>{"feed_data_29991231_235959.bin", "feed_data_30000101_000000.bin",
                                             "feed_data_30000101_000001.bin"}));
  fresh_reader f;
  EXPECT_EQ(reader_load(&f.r, text_of(folder)), 30000101000001ull);
  EXPECT_EQ(f.r.feeds.entry_count, 3u);
}

TEST_F(SaveStore, loading_falls_back_file_by_file_to_one_that_is_whole) {
  fill_rich(&r);
  const std::string good = image_of(&r);
  write_file(folder + "/feed_data_20240101_000000.bin", good);
  write_file(folder + "/feed_data_20240102_000000.bin", good.substr(0, good.size() / 2));
  std::string flipped = good;
  put<u32>(flipped, 108 + 4 + 4, 55);  // first feed's id
  write_file(folder + "/feed_data_20240103_000000.bin", flipped);
  write_file(folder + "/feed_data_20240104_000000.bin", "");
  fresh_reader f;
  u64 before = log_last_text().used;
  EXPECT_EQ(reader_load(&f.r, text_of(folder)), 20240101000000ull);
  std::string log = log_since(before);
  for (const char *day : {"20240102", "20240103", "20240104"}) EXPECT_NE(log.find(day), std::string::npos) << day;
  EXPECT_EQ(f.r.feeds.entry_count, 3u);
  EXPECT_EQ(image_of(&f.r), good);
}

TEST_F(SaveStore, a_long_data_folder_fails_the_save_with_its_log_line) {
  std::string deep = folder + "/" + std::string(4000, 'd');
  u64 before = log_last_text().used;
  EXPECT_FALSE(reader_save(&r, text_of(deep)));
  EXPECT_NE(log_since(before).find("Error while saving the reader.\n "), std::string::npos);
}

TEST_F(SaveStore, a_save_killed_midway_leaves_the_previous_file_loadable) {
  fill_rich(&r, 20, 40);
  // Big texts make each write long enough to be cut.
  std::string big(8000000, 'x');
  ((entry *)pool_get(&r.entries, sizeof(entry), 0))->rss.description = reader_add_string(&r, text_of(big));
  u64 before = log_last_text().used;
  ASSERT_TRUE(reader_save(&r, text_of(folder))) << log_since(before);
  for (int round = 0; round < 5; ++round) {
    pid_t child = fork();
    if (child == 0) {
      for (;;) reader_save(&r, text_of(folder));
    }
    struct timespec t = {0, (long)(5 + 7 * round) * 1000 * 1000};
    nanosleep(&t, nullptr);
    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);
    fresh_reader f;
    EXPECT_NE(reader_load(&f.r, text_of(folder)), 0u) << round;
    EXPECT_EQ(f.r.entries.entry_count, r.entries.entry_count) << round;
    for (const std::string &name : files())
      if (reader_save_file_number((const u8 *)name.data(), name.size())) {
        fresh_reader g;
        EXPECT_TRUE(g.load(read_file(folder + "/" + name))) << name;
      }
  }
}

}  // namespace
