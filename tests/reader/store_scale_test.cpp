// The store past the sizes of its first design: stores larger than the old fixed pools through a
// save and a load, and the arena kept within twice its live texts over a long run of updates.
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "reader/save.h"
#include "reader/store_internal.h"
#include "store_fixture.h"

namespace {

std::string image_of(reader *r) {
  buffer image = reader_write_image(r);
  std::string out((const char *)image.data, image.used);
  memory_free(&image);
  return out;
}

class StoreScale : public Store {
 protected:
  // feeds feeds of entries_per_feed entries, half RSS and half Atom; every Atom entry has two
  // Atom links, an author and a category, every RSS entry a category.
  void fill(u32 feeds, u32 entries_per_feed) {
    r.generation = 1;
    for (u32 i = 0; i < feeds; ++i) {
      u32 type = i % 2 ? feed_type_atom : feed_type_rss;
      feed *f = add_feed(type, "https://example.org/feeds/" + std::to_string(i));
      ASSERT_NE(f, nullptr) << i;
      for (u32 k = 0; k < entries_per_feed; ++k) {
        std::string tag = std::to_string(i) + "/" + std::to_string(k);
        entry *e = add_entry(f, make_date(2024, 1 + (u8)(k % 12), 1 + (u8)(k % 28)), "id:" + tag);
        ASSERT_NE(e, nullptr) << tag;
        std::string title = "Entry " + tag + " caf\xC3\xA9";
        if (type == feed_type_rss) {
          e->rss.title = reader_add_string(&r, text_of(title));
          ASSERT_TRUE(link_category("topic " + std::to_string(k % 50), link_kind_rss_entry_category, e->id,
                                    &e->rss.category_count));
        } else {
          e->atom.title = reader_add_string(&r, text_of(title));
          for (u32 l = 0; l < 2; ++l) {
            atom_link *a = reader_new_atom_link(&r, atom_link_owner_entry, e->id, &e->atom.atom_link_count);
            ASSERT_NE(a, nullptr);
            a->href = reader_add_string(&r, text_of("https://example.org/" + tag + (l ? "/c" : "")));
            a->rel = l ? atom_link_rel_related : atom_link_rel_alternate;
          }
          ASSERT_TRUE(link_person("Writer " + std::to_string(i), link_kind_atom_entry_author, e->id,
                                  &e->atom.author_count));
          ASSERT_TRUE(link_category("topic " + std::to_string(k % 50), link_kind_atom_entry_category, e->id,
                                    &e->atom.category_count));
        }
      }
    }
  }
};

// 300 feeds, 20,000 entries and 10,000 Atom links: each more than the old pools held.
TEST_F(StoreScale, a_store_past_the_old_limits_saves_and_loads_whole) {
  fill(300, 67);
  ASSERT_EQ(r.feeds.entry_count, 300u);
  ASSERT_EQ(r.entries.entry_count, 20100u);
  ASSERT_EQ(r.atom_links.entry_count, 150u * 67 * 2);
  ASSERT_EQ(reader_check(&r), 0u);
  char t[] = "/tmp/qm_scale_XXXXXX";
  std::string folder = mkdtemp(t);
  std::string path = folder + "/feed_data_20240101_000000.bin";
  u32 error = 0;
  reader_write(&r, text_of(path), &error);
  ASSERT_EQ(error, 0u);

  reader loaded = {};
  reader_init(&loaded, &error);
  codepoint_set loaded_set = {};
  buffer loaded_memory = memory_alloc(CODEPOINT_SET_MEMORY, nullptr);
  ASSERT_TRUE(codepoint_set_init(&loaded_set, &loaded_memory));
  loaded.codepoints = &loaded_set;
  ASSERT_TRUE(reader_read(&loaded, text_of(path), &error));
  EXPECT_EQ(loaded.entries.entry_count, r.entries.entry_count);
  EXPECT_EQ(loaded.atom_links.entry_count, r.atom_links.entry_count);
  EXPECT_EQ(loaded.links.entry_count, r.links.entry_count);
  EXPECT_EQ(loaded.categories.entry_count, 50u);
  EXPECT_EQ(loaded.persons.entry_count, 150u);
  // The store was dense already: the loaded one writes the very same file.
  EXPECT_EQ(image_of(&loaded), image_of(&r));
  feed *last = reader_find_feed(&loaded, 300);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(to_std(last->url), "https://example.org/feeds/299");
  entry *e = reader_find_entry_by_guid(&loaded, 300, text_of("id:299/66"));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(to_std(reader_find_atom_link_href(&loaded, e->id, e->atom.atom_link_count, atom_link_owner_entry,
                                              atom_link_rel_related)),
            "https://example.org/299/66/c");
  // The loaded store goes on growing where the file stopped.
  entry *next = reader_new_entry(&loaded);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(pool_index_of(&loaded.entries, sizeof(entry), next), 20100u);
  pool_free(&loaded.entries, next, sizeof(entry));
  reader_destroy(&loaded);
  memory_free(&loaded_memory);
  unlink(path.c_str());
  rmdir(folder.c_str());
}

// A file whose counts exceed what the reader can hold is refused, and the reader stays empty.
TEST_F(StoreScale, the_loader_checks_counts_against_the_readers_own_capacities) {
  fill(4, 10);
  std::string image = image_of(&r);
  reader_capacity small = small_capacity();
  small.atom_links = 40;
  small.entries = 39;
  reader tight = {};
  u32 error = 0;
  reader_init_sized(&tight, &small, &error);
  ASSERT_EQ(error, 0u);
  EXPECT_FALSE(reader_read_bytes(&tight, (const u8 *)image.data(), image.size()));
  EXPECT_EQ(tight.feeds.entry_count + tight.entries.entry_count, 0u);
  reader_destroy(&tight);
  small.entries = 40;
  reader_init_sized(&tight, &small, &error);
  EXPECT_TRUE(reader_read_bytes(&tight, (const u8 *)image.data(), image.size()));
  EXPECT_EQ(tight.entries.entry_count, 40u);
  reader_destroy(&tight);
}

// The full size the store is built for, behind QM_LONG_TESTS: a million entries through a save
// and a load.
TEST_F(StoreScale, a_million_entries_save_and_load) {
  if (!getenv("QM_LONG_TESTS")) GTEST_SKIP() << "set QM_LONG_TESTS to run";
  r.generation = 1;
  for (u32 i = 0; i < 1000; ++i) {
    feed *f = add_feed(feed_type_rss);
    ASSERT_NE(f, nullptr);
    for (u32 k = 0; k < 1000; ++k) {
      entry *e = add_entry(f, make_date(2024, 1, 1), "g" + std::to_string(i) + "/" + std::to_string(k));
      ASSERT_NE(e, nullptr);
    }
  }
  std::string image = image_of(&r);
  reader loaded = {};
  u32 error = 0;
  reader_init(&loaded, &error);
  ASSERT_TRUE(reader_read_bytes(&loaded, (const u8 *)image.data(), image.size()));
  EXPECT_EQ(loaded.entries.entry_count, 1000000u);
  reader_destroy(&loaded);
}

// A million Atom entries with two links each (the article and its comments) once ran out of
// Atom links at the millionth.
TEST_F(StoreScale, a_full_store_of_atom_entries_has_room_for_two_links_each) {
  ASSERT_GE(r.entries.max_entry_count, 1000000u);
  u64 mark = log_last_text().used;
  for (u32 id = 1; id <= r.entries.max_entry_count; ++id) {
    u32 count = 0;
    for (u32 k = 0; k < 2; ++k) ASSERT_NE(reader_new_atom_link(&r, atom_link_owner_entry, id, &count), nullptr) << id;
  }
  buffer log = log_last_text();
  EXPECT_EQ(std::string((const char *)log.data + mark, log.used - mark).find("No space left"), std::string::npos);
  EXPECT_EQ(r.atom_links.entry_count, 2 * r.entries.max_entry_count);
}

// A feed with more entries than the parser's table of unique ids used to have places: its update
// still replaces by unique id (the table once filled up and its probes never ended).
TEST_F(StoreScale, an_update_of_a_feed_with_tens_of_thousands_of_entries_replaces_by_guid) {
  feed *f = add_feed(feed_type_rss, "https://example.org/huge");
  for (u32 i = 0; i < 33000; ++i) ASSERT_NE(add_entry(f, make_date(2020, 1, 1), "g" + std::to_string(i)), nullptr);
  std::string doc = "<rss><channel><title>Huge</title>";
  for (u32 i : {5u, 32999u, 40000u})
    doc += "<item><guid>g" + std::to_string(i) + "</guid><title>new " + std::to_string(i) +
           "</title><pubDate>01 Feb 2024 10:00:00 GMT</pubDate></item>";
  doc += "</channel></rss>";
  buffer scratch = memory_alloc(MEMORY_SCRATCH_SIZE, nullptr);
  u32 error = 0;
  r.generation += 1;
  feed *g = feed_parse(&scratch, &r, text_of(doc), text_of("https://example.org/huge"), f, &error);
  ASSERT_EQ(error, 0u);
  ASSERT_EQ(g, f);
  EXPECT_EQ(f->entry_count, 33001u);
  EXPECT_EQ(to_std(entry_get_title(reader_find_entry_by_guid(&r, f->id, text_of(std::string("g5"))))), "new 5");
  EXPECT_EQ(to_std(entry_get_title(reader_find_entry_by_guid(&r, f->id, text_of(std::string("g32999"))))), "new 32999");
  EXPECT_EQ(reader_check(&r), 0u);
  memory_free(&scratch);
}

// An Atom feed of 25 entries whose texts and "updated" change on every fetch: each update
// replaces every entry, so all the old texts become garbage.
std::string changing_feed(int round) {
  std::string d = "<feed xmlns=\"http://www.w3.org/2005/Atom\"><title>Moving</title><id>urn:m</id>";
  for (int i = 0; i < 25; ++i) {
    char updated[64];
    snprintf(updated, sizeof updated, "%04d-01-01T00:00:00Z", 1000 + round);
    d += "<entry><id>urn:m:" + std::to_string(i) + "</id><title>Entry " + std::to_string(i) + " round " +
         std::to_string(round) + "</title><updated>" + updated + "</updated><content>" +
         std::string(2800, (char)('a' + (round + i) % 26)) + "</content></entry>";
  }
  return d + "</feed>";
}

TEST_F(StoreScale, a_thousand_updates_keep_the_arena_within_twice_its_live_texts) {
  buffer scratch = memory_alloc(MiB(8), nullptr);
  feed *f = nullptr;
  u32 id = 0;
  u64 most = 0;
  u32 moves = 0;
  for (int round = 0; round < 1000; ++round) {
    // As the program does: the reclaim once a frame, before the parses of the frame.
    moves += reader_strings_reclaim(&r);
    u64 live = reader_strings_live(&r);
    ASSERT_LE(r.strings.used, 2 * live) << round;
    most = r.strings.used > most ? r.strings.used : most;
    r.generation += 1;
    u32 error = 0;
    scratch.used = 0;
    std::string doc = changing_feed(round);
    f = feed_parse(&scratch, &r, text_of(doc), text_of("https://example.org/m"), id ? reader_find_feed(&r, id) : nullptr,
                   &error);
    ASSERT_EQ(error, 0u);
    ASSERT_NE(f, nullptr);
    id = f->id;
    if (!reader_get_meta(&r, id)) reader_new_meta(&r, id);
    ASSERT_EQ(f->entry_count, 25u);
  }
  EXPECT_GT(moves, 100u);
  EXPECT_LT(most, 2 * 25 * 2800 + 25 * 400);
  // Every text survived every move.
  EXPECT_EQ(reader_check(&r), 0u);
  u32 seen = 0;
  for (u32 i = 0; i < r.entries.high_water; ++i) {
    entry *e = (entry *)pool_get(&r.entries, sizeof(entry), i);
    if (!entry_is_live(e)) continue;
    ++seen;
    std::string title = to_std(e->atom.title);
    EXPECT_NE(title.find(" round 999"), std::string::npos) << title;
    int index = atoi(title.c_str() + 6);
    EXPECT_EQ(to_std(e->atom.content), std::string(2800, (char)('a' + (999 + index) % 26)));
  }
  EXPECT_EQ(seen, 25u);
  memory_free(&scratch);
}

// Openers whose texts live in the general allocator are left where they are; those in the arena
// move with it, and an arena mostly of live texts is not moved at all.
TEST_F(StoreScale, a_reclaim_moves_only_arena_texts_and_only_when_it_pays) {
  feed *f = add_feed(feed_type_rss);
  entry *e = add_entry(f, make_date(2024, 1, 1), "g");
  e->rss.description = reader_add_string(&r, text_of(std::string(300000, 'd')));
  u8 outside[] = "outside";
  r.link_openers[1].name = string_from_bytes(outside, 7);
  r.link_openers[2].name = reader_add_string(&r, text_of("inside"));
  EXPECT_FALSE(reader_strings_reclaim(&r));  // no garbage yet: measured, not moved
  u8 *before = r.strings.data;
  for (int i = 0; i < 3; ++i) e->rss.description = reader_add_string(&r, text_of(std::string(300000, 'a' + i)));
  EXPECT_TRUE(reader_strings_reclaim(&r));
  EXPECT_NE(r.strings.data, before);
  EXPECT_EQ(r.link_openers[1].name.data, outside);
  EXPECT_EQ(to_std(r.link_openers[2].name), "inside");
  EXPECT_EQ(to_std(e->rss.description), std::string(300000, 'c'));
  EXPECT_EQ(to_std(entry_get_guid(e)), "g");
  EXPECT_EQ(r.strings.used, reader_strings_live(&r));
  EXPECT_EQ(reader_check(&r), 0u);
  // The next call gives the old arena's pages back.
  EXPECT_GT(r.strings_b.memory.used, 0u);
  EXPECT_FALSE(reader_strings_reclaim(&r));
  EXPECT_EQ(r.strings_b.memory.used, 0u);
}

// The quick path for common sequences gives what the full decoder gives, or leaves it to it.
TEST(StoreText, common_utf8_sequences_decode_as_the_full_decoder_does) {
  u8 bytes[4];
  u32 quick = 0, full = 0;
  for (u32 b0 = 0x80; b0 < 0x100; ++b0)
    for (u32 b1 = 0; b1 < 0x100; ++b1)
      for (u32 b2 : {0x00u, 0x41u, 0x80u, 0x9Fu, 0xA0u, 0xBFu, 0xC0u, 0xFFu}) {
        bytes[0] = (u8)b0, bytes[1] = (u8)b1, bytes[2] = (u8)b2, bytes[3] = 0;
        for (u32 length = 1; length <= 3; ++length) {
          u32 c = 0;
          u32 n = utf8_decode_common(bytes, bytes + length, &c);
          if (!n) continue;
          ++quick;
          u32 want = 0, error = 0;
          u8 want_n = 0;
          unicode_utf8_decode(bytes, bytes + length, &want, &want_n, &error);
          ASSERT_EQ(error, 0u) << b0 << " " << b1 << " " << b2;
          ASSERT_EQ(n, want_n);
          ASSERT_EQ(c, want);
          ++full;
        }
      }
  EXPECT_GT(quick, 30000u);
  EXPECT_EQ(quick, full);
}

}  // namespace
