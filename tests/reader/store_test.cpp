#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "reader/save.h"
#include "store_fixture.h"
#include "tests/support/isolation.h"

namespace {

// Only what the running test logged counts: earlier tests of this process write to the same log.
bool log_has(log_mark mark, const char *needle) { return log_count_since(mark, needle) > 0; }

TEST_F(Store, start_code_points_are_in_order_and_every_code_point_fits) {
  ASSERT_EQ(set.count, CODEPOINT_SET_START_COUNT);
  EXPECT_EQ(set.items[0], 0x20u);
  EXPECT_EQ(set.items[94], 0x7Eu);
  EXPECT_EQ(set.items[95], 0xA0u);
  EXPECT_EQ(set.items[183], 0x20ACu);
  EXPECT_EQ(set.items[190], 0x178u);
  EXPECT_EQ(set.items[191], 0xFFFDu);
  EXPECT_EQ(set.items[192], 0x2026u);
  for (u32 c : {0xA4u, 0xA6u, 0xA8u, 0xB4u, 0xB8u, 0xBCu, 0xBDu, 0xBEu}) EXPECT_FALSE(codepoint_set_contains(&set, c));
  for (u32 i = 0; i < set.count; ++i) EXPECT_TRUE(codepoint_set_contains(&set, set.items[i]));

  // The last code point fits, once; the list and the bitmap agree.
  const u8 max[] = {0xF4, 0x8F, 0xBF, 0xBF, 0xF4, 0x8F, 0xBF, 0xBF};
  reader_add_string(&r, string_from_bytes(max, sizeof max));
  EXPECT_EQ(set.count, CODEPOINT_SET_START_COUNT + 1);
  EXPECT_EQ(set.items[193], 0x10FFFFu);
  EXPECT_EQ(set.capacity, 0x110000u);
}

// Registration against a plain decoder, one code point at a time (an undecodable byte is U+FFFD):
// texts of every mix of printable ASCII, control bytes, longer and broken sequences, at every
// place around the sixteen-byte steps the registration takes.
TEST_F(Store, registered_code_points_are_exactly_those_the_texts_decode_to) {
  std::mt19937 rng(5);
  const std::vector<std::string> pieces = {"a", "Hello, world ", "0123456789abcdef", "\n", "\t", "\x01", "\x7f",
                                           std::string(1, '\0'), "\xc3\xa9", "\xe2\x80\x94", "\xf0\x9f\x98\x80",
                                           "\xe4\xb8\xad", "\xff", "\x80", "\xc3", "\xe2\x80", "\xed\xa0\x80",
                                           "\xc0\xaf", "\xf4\x90\x80\x80", "\xd0\x96\xd0\xb8", "\xce\xb1\xce\xb2"};
  std::set<u32> builtin(set.items, set.items + set.count);
  // The start code points and those of the text, as the plain decoder reads it.
  auto decoded = [&](const std::string &t) {
    std::set<u32> want = builtin;
    const u8 *p = (const u8 *)t.data(), *end = p + t.size();
    while (p < end) {
      u32 c = 0, error = 0;
      u8 n = 0;
      unicode_utf8_decode(p, end, &c, &n, &error);
      if (error || n == 0) c = 0xFFFD, n = 1;
      want.insert(c);
      p += n;
    }
    return want;
  };
  for (int round = 0; round < 300; ++round) {
    reader_reset(&r);  // back to the start code points, so each text is judged alone
    std::string t;
    for (u32 n = rng() % 24; n > 0; --n) t += pieces[rng() % pieces.size()];
    reader_add_string(&r, text_of(t));
    std::set<u32> got(set.items, set.items + set.count);
    ASSERT_EQ(got, decoded(t)) << round;
  }
  // Each sequence, whole or cut, at every place of two steps, between printable ASCII or control
  // bytes, and followed by another one.
  const char *const sequences[] = {"\xd0\x96", "\xe4\xb8\xad", "\xe0\xa4\x85", "\xed\x9f\xbf", "\xf0\x9f\x98\x80",
                                   "\xd0", "\xe4\xb8", "\x96", "\xed\xa0\x80", "\xe0\x80\x80", "\xc1\xbf"};
  for (const char *a : sequences)
    for (const char *b : sequences)
      for (size_t at = 0; at < 34; ++at)
        for (char filler : {'x', '\n'}) {
          reader_reset(&r);
          std::string t = std::string(at, filler) + a + b + std::string(40, 'y');
          reader_add_string(&r, text_of(t));
          ASSERT_EQ(std::set<u32>(set.items, set.items + set.count), decoded(t)) << at << " " << (int)filler;
        }
}

TEST_F(Store, undecodable_bytes_register_the_replacement_and_are_stored_as_they_are) {
  const u8 bad[] = {'a', 0xFF, 0xC3, 'b', 0xE2, 0x82};  // a lone byte, a cut pair, a cut triple
  buffer s = reader_add_string(&r, string_from_bytes(bad, sizeof bad));
  EXPECT_EQ(set.count, CODEPOINT_SET_START_COUNT);  // U+FFFD was there already
  EXPECT_FALSE(codepoint_set_contains(&set, 0xFFFFFFFFu));
  ASSERT_EQ(s.used, sizeof bad);
  EXPECT_EQ(memcmp(s.data, bad, sizeof bad), 0);

  // Registered code points keep the order they were met in, each once.
  reader_add_string(&r, text_of("\xE4\xB8\xAD\xE6\x96\x87\xE4\xB8\xAD"));
  ASSERT_EQ(set.count, CODEPOINT_SET_START_COUNT + 2);
  EXPECT_EQ(set.items[193], 0x4E2Du);
  EXPECT_EQ(set.items[194], 0x6587u);
}

TEST_F(Store, strings_copy_capacity_skip_empty_texts_and_set_only_when_different) {
  u64 used = r.strings.used;
  buffer empty = reader_add_string(&r, text_of(""));
  EXPECT_EQ(empty.size | empty.used, 0u);
  EXPECT_EQ(empty.data, nullptr);
  EXPECT_EQ(r.strings.used, used);

  // A source with its terminator inside its capacity brings it along.
  const char terminated[] = "title";
  buffer copy = reader_copy_string(&r, buffer{6, 5, (u8 *)terminated});
  EXPECT_EQ(copy.size, 6u);
  EXPECT_EQ(copy.used, 5u);
  EXPECT_EQ(copy.data[5], 0);

  buffer field = {};
  EXPECT_TRUE(reader_set_string(&r, &field, text_of("same")));
  used = r.strings.used;
  EXPECT_TRUE(reader_set_string(&r, &field, text_of("same")));
  EXPECT_EQ(r.strings.used, used);
  EXPECT_TRUE(reader_set_string(&r, &field, text_of("other")));
  EXPECT_EQ(to_std(field), "other");
  EXPECT_TRUE(reader_set_string(&r, &field, text_of("")));
  EXPECT_EQ(field.used, 0u);

  // The arena grows a MiB at a time past its first commit.
  std::string big(3 * MiB(1) / 2, 'x');
  buffer b = reader_add_string(&r, text_of(big));
  EXPECT_EQ(b.used, big.size());
  EXPECT_GE(r.strings.size, 2 * MiB(1));
  EXPECT_EQ(r.strings.size, r.strings_a.memory.used);
}

TEST_F(Store, an_arena_that_cannot_grow_gives_the_empty_string_and_logs_once) {
  log_mark mark = log_mark_now();
  std::string big(2 * MiB(1), 'x');
  memory_fault_inject(memory_fault_commit, 0);
  buffer first = reader_add_string(&r, text_of(big));
  EXPECT_EQ(first.size | first.used, 0u);
  EXPECT_EQ(first.data, nullptr);
  buffer field = {};
  memory_fault_inject(memory_fault_commit, 0);
  EXPECT_FALSE(reader_set_string(&r, &field, text_of(big)));
  EXPECT_EQ(field.data, nullptr);
  memory_fault_inject(memory_fault_commit, -1);
  EXPECT_EQ(log_count_since(mark, "No space left for texts."), 1u);
  EXPECT_FALSE(reader_strings_reserve(&r, READER_STRINGS_RESERVE));
  EXPECT_FALSE(reader_strings_reserve(&r, READER_STRINGS_RESERVE - MiB(1) / 2));
}

TEST_F(Store, records_get_ids_and_are_found_by_id_url_and_guid) {
  feed *a = add_feed(feed_type_rss, "https://a.example/feed");
  feed *b = add_feed(feed_type_atom, "https://b.example/feed");
  EXPECT_EQ(a->id, 1u);
  EXPECT_EQ(b->id, 2u);
  entry *e1 = add_entry(a, make_date(2020, 1, 1), "g1");
  entry *e2 = add_entry(b, make_date(2020, 1, 2), "g2");
  EXPECT_EQ(e1->id, 1u);
  EXPECT_EQ(e2->id, 2u);
  EXPECT_EQ(r.entry_counter, 2u);
  EXPECT_EQ(a->entry_count, 1u);

  EXPECT_EQ(reader_find_feed(&r, 2), b);
  EXPECT_EQ(reader_find_feed(&r, 3), nullptr);
  EXPECT_EQ(reader_find_feed_by_url(&r, text_of("https://b.example/feed")), b);
  EXPECT_EQ(reader_find_feed_by_url(&r, text_of("https://b.example/fee")), nullptr);
  EXPECT_EQ(reader_find_entry(&r, 1, 1), e1);
  EXPECT_EQ(reader_find_entry(&r, 1, 2), nullptr);
  EXPECT_EQ(reader_find_entry(&r, 9, 1), nullptr);
  EXPECT_EQ(reader_find_entry_by_guid(&r, 2, text_of("g2")), e2);
  EXPECT_EQ(reader_find_entry_by_guid(&r, 1, text_of("g2")), nullptr);
  EXPECT_EQ(reader_find_entry_by_guid(&r, 1, text_of("")), nullptr);
  EXPECT_EQ(to_std(entry_get_guid(e2)), "g2");
  EXPECT_EQ(entry_get_guid(nullptr).used, 0u);

  // Marked records are found too; a feed's mark reaches the entries attached later.
  reader_mark_feed_deleted(&r, a);
  EXPECT_EQ(reader_find_entry_by_guid(&r, 1, text_of("g1")), e1);
  entry *e3 = add_entry(a, make_date(2020, 1, 3), "g3");
  EXPECT_TRUE(entry_is_deleted(e3));
  // An entry without a guid never matches.
  add_entry(b, make_date(2020, 1, 4), "");
  EXPECT_EQ(reader_find_entry_by_guid(&r, 2, text_of("g")), nullptr);
}

TEST_F(Store, a_known_feed_refuses_a_document_of_the_other_kind) {
  log_mark mark = log_mark_now();
  feed *f = add_feed(feed_type_rss);
  EXPECT_TRUE(reader_feed_accepts_type(f, feed_type_rss));
  reader_mark_feed_deleted(&r, f);
  EXPECT_TRUE(reader_feed_accepts_type(f, feed_type_rss));
  EXPECT_FALSE(reader_feed_accepts_type(f, feed_type_atom));
  EXPECT_TRUE(log_has(mark, "Feed error: The feed changed between RSS and Atom"));
  EXPECT_EQ(f->type, feed_type_rss | feed_type_deleted);
}

TEST_F(Store, categories_and_persons_are_shared_and_linked_once_per_kind) {
  feed *f = add_feed(feed_type_atom);
  entry *e = add_entry(f, make_date(2021, 5, 5), "x");
  u32 *feed_count = &f->atom.category_count;
  EXPECT_TRUE(link_category("news", link_kind_atom_feed_category, f->id, feed_count, "first"));
  EXPECT_TRUE(link_category("news", link_kind_atom_feed_category, f->id, feed_count, "second"));
  EXPECT_EQ(*feed_count, 1u);
  EXPECT_TRUE(link_category("news", link_kind_atom_entry_category, e->id, &e->atom.category_count, "third"));
  EXPECT_EQ(r.categories.entry_count, 1u);
  EXPECT_EQ(to_std(reader_find_category_by_id(&r, 1)->scheme), "first");
  EXPECT_EQ(r.links.entry_count, 2u);

  // Author of feed 1 and of entry 1 are different kinds; author and contributor of one entry
  // are two links.
  EXPECT_EQ(f->id, e->id);
  EXPECT_TRUE(link_person("ann", link_kind_atom_feed_author, f->id, &f->atom.author_count));
  EXPECT_TRUE(link_person("ann", link_kind_atom_entry_author, e->id, &e->atom.author_count));
  EXPECT_TRUE(link_person("ann", link_kind_atom_entry_contributor, e->id, &e->atom.contributor_count));
  EXPECT_TRUE(link_person("ann", link_kind_atom_entry_author, e->id, &e->atom.author_count));
  EXPECT_EQ(r.persons.entry_count, 1u);
  EXPECT_EQ(e->atom.author_count, 1u);
  EXPECT_EQ(e->atom.contributor_count, 1u);
  EXPECT_EQ(reader_find_person_by_name(&r, text_of("ann")), 1u);
  EXPECT_TRUE(reader_link_exists(&r.links, link_kind_atom_feed_author, link_kind_atom_entry_contributor, 1));
  EXPECT_FALSE(reader_link_exists(&r.links, link_kind_rss_feed_category, link_kind_rss_entry_category, 1));
  EXPECT_EQ(reader_check(&r), 0u);
}

TEST_F(Store, atom_links_are_found_by_owner_and_rel_within_the_count) {
  feed *f = add_feed(feed_type_atom);
  atom_link *self = reader_new_atom_link(&r, atom_link_owner_feed, f->id, &f->atom.atom_link_count);
  self->rel = atom_link_rel_self;
  self->href = reader_add_string(&r, text_of("https://self"));
  atom_link *other = reader_new_atom_link(&r, atom_link_owner_entry, f->id, &f->atom.atom_link_count);
  other->href = reader_add_string(&r, text_of("https://entry"));
  f->atom.atom_link_count -= 1;  // the second link belongs to an entry with the same id
  atom_link *alt = reader_new_atom_link(&r, atom_link_owner_feed, f->id, &f->atom.atom_link_count);
  alt->href = reader_add_string(&r, text_of("https://alt"));
  EXPECT_EQ(to_std(reader_find_atom_link_href(&r, f->id, 2, atom_link_owner_feed, atom_link_rel_alternate)), "https://alt");
  EXPECT_EQ(to_std(reader_find_atom_link_href(&r, f->id, 1, atom_link_owner_feed, atom_link_rel_alternate)), "");
  EXPECT_EQ(to_std(reader_find_atom_link_href(&r, f->id, 2, atom_link_owner_entry, atom_link_rel_alternate)), "https://entry");
  EXPECT_EQ(to_std(reader_find_atom_link_href(&r, f->id, 2, atom_link_owner_feed, atom_link_rel_via)), "");
}

TEST_F(Store, rollback_undoes_an_entry_its_strings_and_new_categories) {
  feed *f = add_feed(feed_type_rss);
  u32 *fc = &f->rss.category_count;
  ASSERT_TRUE(link_category("kept", link_kind_rss_feed_category, f->id, fc));
  u64 used = r.strings.used;
  reader_mark mark = reader_strings_mark(&r);

  entry *e = reader_new_entry(&r);
  e->rss.title = reader_add_string(&r, text_of("a dropped item"));
  ASSERT_TRUE(link_category("kept", link_kind_rss_entry_category, e->id, &e->rss.category_count));
  ASSERT_TRUE(link_category("fresh", link_kind_rss_entry_category, e->id, &e->rss.category_count));
  EXPECT_EQ(r.category_counter, 2u);
  e->type = feed_type_rss;
  reader_delete_entry(&r, e, nullptr);
  reader_strings_rollback(&r, mark);

  EXPECT_EQ(r.strings.used, used);
  EXPECT_EQ(r.category_counter, 1u);
  EXPECT_EQ(r.categories.entry_count, 1u);
  EXPECT_EQ(r.links.entry_count, 1u);
  EXPECT_EQ(r.entries.entry_count, 0u);
  EXPECT_NE(reader_find_category(&r, text_of("kept")), 0u);
  EXPECT_EQ(reader_find_category(&r, text_of("fresh")), 0u);
  // The next entry gets the id the dropped one had.
  EXPECT_EQ(add_entry(f)->id, 1u);
  EXPECT_EQ(reader_check(&r), 0u);
}

TEST_F(Store, full_pools_give_null_or_false_leave_nothing_behind_and_log_once) {
  log_mark mark = log_mark_now();
  rebuild(small_capacity());
  for (u32 i = 0; i < capacity.feeds; ++i) ASSERT_NE(reader_new_feed(&r, feed_type_rss), nullptr);
  EXPECT_EQ(reader_new_feed(&r, feed_type_rss), nullptr);
  EXPECT_EQ(reader_new_feed(&r, feed_type_rss), nullptr);
  EXPECT_EQ(log_count_since(mark, "No space left for feeds."), 1u);

  // Fill the link pool: a new category's link fails, and the category goes away with its id.
  for (u32 i = 0; i < capacity.links; ++i) {
    struct link *l = (struct link *)pool_alloc(&r.links, sizeof(struct link));
    *l = {link_kind_rss_feed_category, 500, 0};
  }
  u32 count = 0;
  u64 used = r.strings.used;
  EXPECT_FALSE(link_category("late", link_kind_rss_feed_category, 1, &count));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(r.categories.entry_count, 0u);
  EXPECT_EQ(r.category_counter, 0u);
  EXPECT_GE(r.strings.used, used);
  EXPECT_FALSE(link_person("late", link_kind_atom_feed_author, 1, &count));
  EXPECT_EQ(r.persons.entry_count, 0u);
  EXPECT_EQ(r.person_counter, 0u);
  EXPECT_EQ(log_count_since(mark, "No space left for links."), 1u);

  // Atom links: the capacity fits, the next is refused.
  u32 links = 0;
  for (u32 i = 0; i < capacity.atom_links; ++i) ASSERT_NE(reader_new_atom_link(&r, 1, 1, &links), nullptr);
  EXPECT_EQ(reader_new_atom_link(&r, 1, 1, &links), nullptr);
  EXPECT_EQ(links, capacity.atom_links);
}

TEST_F(Store, check_counts_every_kind_of_mismatch_without_stopping) {
  log_mark mark = log_mark_now();
  feed *rss = add_feed(feed_type_rss);
  feed *atom = add_feed(feed_type_atom);
  entry *re = add_entry(rss, make_date(2020, 1, 1), "r");
  entry *ae = add_entry(atom, make_date(2020, 1, 1), "a");
  ASSERT_TRUE(link_category("c", link_kind_rss_feed_category, rss->id, &rss->rss.category_count));
  ASSERT_TRUE(link_category("c", link_kind_rss_entry_category, re->id, &re->rss.category_count));
  ASSERT_TRUE(link_category("c", link_kind_atom_feed_category, atom->id, &atom->atom.category_count));
  ASSERT_TRUE(link_person("p", link_kind_atom_feed_author, atom->id, &atom->atom.author_count));
  ASSERT_TRUE(link_person("p", link_kind_atom_entry_contributor, ae->id, &ae->atom.contributor_count));
  ASSERT_NE(reader_new_atom_link(&r, atom_link_owner_entry, ae->id, &ae->atom.atom_link_count), nullptr);
  ASSERT_EQ(reader_check(&r), 0u);
  EXPECT_TRUE(log_has(mark, "    feed count: 2\n    actual feed count: 2\n    feed count difference: 0\n"));

  u32 *fields[] = {&r.entries.entry_count,       &r.links.entry_count,          &rss->rss.category_count,
                   &re->rss.category_count,      &atom->atom.category_count,    &atom->atom.author_count,
                   &atom->atom.contributor_count, &atom->atom.atom_link_count,   &ae->atom.contributor_count,
                   &ae->atom.atom_link_count,    &ae->atom.author_count,        &rss->entry_count,
                   &re->feed_id,                 &r.metas.entry_count};
  for (u32 *field : fields) {
    *field += 1;
    EXPECT_GE(reader_check(&r), 1u) << field - (u32 *)&r;
    *field -= 1;
  }
  ASSERT_EQ(reader_check(&r), 0u);

  // A link whose category is gone no longer counts.
  category *c = reader_find_category_by_id(&r, 1);
  c->id = 77;
  EXPECT_GE(reader_check(&r), 3u);
  c->id = 1;
  // A feed without its meta, and a string that points outside the arena.
  meta *m = reader_get_meta(&r, rss->id);
  m->feed_id = 0;
  EXPECT_GE(reader_check(&r), 2u);  // the meta count and the feed's missing meta
  m->feed_id = rss->id;
  static u8 outside[4] = {'o', 'u', 't', 0};
  buffer saved = re->rss.guid;
  re->rss.guid = buffer{4, 3, outside};
  EXPECT_EQ(reader_check(&r), 1u);
  re->rss.guid = saved;
  EXPECT_EQ(reader_check(&r), 0u);
}

TEST_F(Store, dump_lists_every_pool_and_writes_the_log) {
  log_mark mark = log_mark_now();
  feed *f = add_feed(feed_type_atom, "https://x");
  entry *e = add_entry(f, make_date(2020, 1, 1), "a");
  ASSERT_TRUE(link_person("pat", link_kind_atom_entry_author, e->id, &e->atom.author_count));
  char path[] = "/tmp/quillmere_dump_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(reader_dump(&r, text_of(path)), 0u);
  EXPECT_TRUE(log_has(mark, "feeds:\n  1 https://x\ncount: 1\nentries:\nfeed : 1 entry : 1\ncount: 1\n"));
  EXPECT_TRUE(log_has(mark, "\nlinks:\natom entry author      1 1\ncount: 1\n"));
  unlink(path);
}

}  // namespace
