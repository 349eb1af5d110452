// Parsed feeds through a save and a load: whatever the parser stores, the file keeps. The two
// stores are compared as their stable text, with entry ids and generations (which a save
// renumbers) left out.
#include <fstream>
#include <regex>
#include <sstream>

#include "reader/save.h"
#include "store_fixture.h"

namespace {

std::string printed(reader *r) {
  buffer out = memory_alloc(MiB(4), nullptr);
  EXPECT_TRUE(reader_print_feeds(r, &out));
  std::string s = to_std(out);
  memory_free(&out);
  return std::regex_replace(s, std::regex("entry [0-9]+ gen=[0-9]+"), "entry");
}

class ParseSave : public Store {
 protected:
  buffer scratch = {};
  void SetUp() override {
    Store::SetUp();
    scratch = memory_alloc(MiB(8), nullptr);
  }
  void TearDown() override {
    memory_free(&scratch);
    Store::TearDown();
  }
  // Parses each document in turn into the feed of the url, as one update each.
  void fetch(const std::string &document, const std::string &url) {
    r.generation += 1;
    feed *f = reader_find_feed_by_url(&r, text_of(url));
    u32 error = 0;
    f = feed_parse(&scratch, &r, text_of(document), text_of(url), f, &error);
    ASSERT_EQ(error, 0u);
    reader_sort_feed_entries(&r, f);
  }
};

TEST_F(ParseSave, every_parsed_document_survives_a_save_and_a_load) {
  const std::string video = "https://www.youtube.com/feeds/videos.xml?channel_id=UCexample";
  fetch(read_test_feed("rss2_full.xml"), "https://example.org/rss");
  fetch(read_test_feed("rss2_update.xml"), "https://example.org/rss");
  fetch(read_test_feed("atom_full.xml"), "https://example.org/atom");
  fetch(read_test_feed("atom_update.xml"), "https://example.org/atom");
  fetch(read_test_feed("youtube.xml"), video);
  fetch(read_test_feed("youtube_update.xml"), video);
  fetch(read_test_feed("rss1.xml"), "https://example.org/rdf");
  fetch(read_test_feed("rss_undated.xml"), "https://example.org/undated");
  fetch(read_test_feed("bare_channel.xml"), "https://example.org/bare");
  // A deleted entry and a feed marked deleted travel with their marks.
  reader_mark_feed_deleted(&r, reader_find_feed_by_url(&r, text_of(std::string("https://example.org/rdf"))));
  ASSERT_EQ(reader_check(&r), 0u);
  std::string before = printed(&r);

  buffer image = reader_write_image(&r);
  ASSERT_NE(image.data, nullptr);
  reader loaded = {};
  u32 error = 0;
  reader_init(&loaded, &error);
  codepoint_set loaded_set = {};
  buffer loaded_memory = memory_alloc(CODEPOINT_SET_MEMORY, nullptr);
  ASSERT_TRUE(codepoint_set_init(&loaded_set, &loaded_memory));
  loaded.codepoints = &loaded_set;
  EXPECT_TRUE(reader_read_bytes(&loaded, image.data, image.used));
  EXPECT_EQ(printed(&loaded), before);
  EXPECT_EQ(reader_check(&loaded), 0u);

  // Updating the loaded store behaves as updating the live one: nothing old comes back as new.
  reader *live = &r;
  for (reader *s : {live, &loaded}) {
    s->generation += 1;
    feed *f = reader_find_feed_by_url(s, text_of("https://example.org/rss"));
    u32 e = 0;
    feed_parse(&scratch, s, text_of(read_test_feed("rss2_update.xml")), f->url, f, &e);
    f = reader_find_feed_by_url(s, text_of("https://example.org/atom"));
    feed_parse(&scratch, s, text_of(read_test_feed("atom_update.xml")), f->url, f, &e);
    EXPECT_EQ(e, 0u);
  }
  EXPECT_EQ(printed(&loaded), printed(&r));
  reader_destroy(&loaded);
  memory_free(&loaded_memory);
  memory_free(&image);
}

// The user deleted a feed's newest entry (and an undated one); the purge at exit freed them, and
// the next start's update of the same document stored both again as new.
TEST_F(ParseSave, a_deleted_entry_stays_deleted_through_the_exit_and_the_next_update) {
  const std::string rss = "<rss><channel>"
                          "<item><guid>old</guid><title>Old</title><pubDate>Sun, 31 Dec 2023 10:00:00 GMT</pubDate></item>"
                          "<item><guid>new</guid><title>New</title><pubDate>Mon, 01 Jan 2024 10:00:00 GMT</pubDate></item>"
                          "<item><guid>undated</guid><title>Undated</title></item>"
                          "</channel></rss>";
  const std::string atom = "<feed><entry><id>e</id><title>E</title><updated>2024-01-01T10:00:00Z</updated></entry></feed>";
  const std::string rss_url = "https://example.org/rss", atom_url = "https://example.org/atom";
  fetch(rss, rss_url);
  fetch(atom, atom_url);
  for (u32 i = 0; i < r.entries.high_water; ++i) {
    entry *e = (entry *)pool_get(&r.entries, sizeof(entry), i);
    if (entry_is_live(e)) entry_mark_deleted(e);
  }
  reader_purge_deleted(&r);
  // What the exit leaves: the old entry goes, as its date keeps it out of every update.
  EXPECT_EQ(reader_find_feed_by_url(&r, text_of(rss_url))->entry_count, 2u);
  EXPECT_EQ(reader_find_feed_by_url(&r, text_of(atom_url))->entry_count, 1u);

  start_again_from_save();
  u32 entries = r.entries.entry_count;
  fetch(rss, rss_url);
  fetch(atom, atom_url);
  EXPECT_EQ(r.entries.entry_count, entries) << "nothing stored again";
  for (u32 i = 0; i < r.entries.high_water; ++i) {
    entry *e = (entry *)pool_get(&r.entries, sizeof(entry), i);
    if (entry_is_live(e)) EXPECT_TRUE(entry_is_deleted(e)) << to_std(entry_get_title(e));
  }
}

// Five runs, each fetching twenty new undated items and deleting them all: every one was kept
// marked through every exit (20, 40, 60, 80, 100), though the documents no longer listed them.
TEST_F(ParseSave, deleted_entries_kept_through_exits_are_only_those_the_last_document_lists) {
  const std::string url = "https://example.org/undated";
  for (int run = 0; run < 5; ++run) {
    std::string document = "<rss><channel>";
    for (int k = 0; k < 20; ++k) {
      std::string name = "run " + std::to_string(run) + " item " + std::to_string(k);
      document += "<item><title>" + name + "</title><link>https://e.example/" + std::to_string(run * 20 + k) +
                  "</link><pubDate>Sat, 07 Sep 2002 09:42:31 CEST</pubDate></item>";
    }
    fetch(document + "</channel></rss>", url);
    for (u32 i = 0; i < r.entries.high_water; ++i) {
      entry *e = (entry *)pool_get(&r.entries, sizeof(entry), i);
      if (entry_is_live(e)) entry_mark_deleted(e);
    }
    // A second Delete on one the document does not list removes it.
    feed *f = reader_find_feed_by_url(&r, text_of(url));
    for (u32 i = 0; run > 0 && i < r.entries.high_water; ++i) {
      entry *e = (entry *)pool_get(&r.entries, sizeof(entry), i);
      if (entry_is_live(e)) {
        EXPECT_EQ(reader_entry_may_return(&r, f, e), to_std(e->rss.title).rfind("run " + std::to_string(run), 0) == 0);
      }
    }
    reader_purge_deleted(&r);
    start_again_from_save();
    EXPECT_EQ(r.entries.entry_count, 20u) << "after the exit of run " << run;
  }
  // A run that does not fetch the feed keeps what it has.
  reader_purge_deleted(&r);
  EXPECT_EQ(r.entries.entry_count, 20u);
}

}  // namespace
