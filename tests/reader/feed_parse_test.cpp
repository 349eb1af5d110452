// Feed parsing end to end: documents from tests/reader/feeds into a store, compared as the stable
// text of the store, against a model over random updates, and under full pools.
#include <gmock/gmock.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <vector>

#include "store_fixture.h"

using ::testing::HasSubstr;
using ::testing::Not;

static size_t count_of(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class FeedParse : public ParseStore {
 protected:
  std::string default_url = "https://example.org/feed.xml";


  // One fetch of the feed as the program does it: a new generation, the parse, the sort.
  u32 parse_text(const std::string &document, const std::string &url = "") {
    r.generation += 1;
    feed *f = feed_id ? reader_find_feed(&r, feed_id) : nullptr;
    u32 error = 0;
    u64 scratch_used = scratch.used;
    f = feed_parse(&scratch, &r, text_of(document), text_of(url.empty() ? default_url : url), f, &error);
    EXPECT_EQ(scratch.used, scratch_used);
    if (f) {
      feed_id = f->id;
      reader_sort_feed_entries(&r, f);
    }
    return error;
  }
  u32 parse(const std::string &file, const std::string &url = "") { return parse_text(read_test_feed(file), url); }

  std::string dump() {
    buffer out = memory_alloc(MiB(4), nullptr);
    EXPECT_TRUE(reader_print_feeds(&r, &out));
    std::string s = to_std(out);
    memory_free(&out);
    return s;
  }
  // The log written since the last call.
  std::string log_since(u64 *mark) {
    buffer all = log_last_text();
    std::string s((const char *)all.data + *mark, all.used - *mark);
    *mark = all.used;
    return s;
  }
  u32 entries_in_generation(u32 g) {
    u32 n = 0;
    for (u32 i = 0; i < r.entries.high_water; ++i) {
      entry *e = (entry *)pool_get(&r.entries, sizeof(entry), i);
      n += entry_is_live(e) && e->generation == g;
    }
    return n;
  }
  entry *find_by_guid(const std::string &guid) { return reader_find_entry_by_guid(&r, feed_id, text_of(guid)); }
};

// Every element of the format tables, the namespaces, the video site and the update rules,
// checked as the whole text of the store after a first fetch and an update.
TEST_F(FeedParse, documents_and_their_updates_give_the_recorded_store) {
  struct {
    const char *first, *update, *url, *expected;
  } cases[] = {
      {"rss2_full.xml", "rss2_update.xml", "", "rss2_full_update.expected"},
      {"atom_full.xml", "atom_update.xml", "", "atom_full_update.expected"},
      {"youtube.xml", "youtube_update.xml", "https://www.youtube.com/feeds/videos.xml?channel_id=UCexample",
       "youtube_update.expected"},
      {"rss1.xml", "rss1.xml", "", "rss1_twice.expected"},
      {"rss_undated.xml", "rss_undated.xml", "", "rss_undated_twice.expected"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.first);
    TearDown();
    r = {};
    feed_id = 0;
    SetUp();
    EXPECT_EQ(parse(c.first, c.url), 0u);
    EXPECT_EQ(parse(c.update, c.url), 0u);
    EXPECT_EQ(dump(), read_test_feed(c.expected));
    EXPECT_EQ(reader_check(&r), 0u);
  }
}

TEST_F(FeedParse, rss_update_keeps_only_newer_items_and_replaces_by_guid_even_when_deleted) {
  ASSERT_EQ(parse("rss2_full.xml"), 0u);
  entry *third = find_by_guid("https://news.example.org/3");
  ASSERT_NE(third, nullptr);
  entry_mark_deleted(third);
  ASSERT_EQ(parse("rss2_update.xml"), 0u);
  // Fourth is new, third came back corrected and unmarked, second and first were not later.
  EXPECT_EQ(entries_in_generation(2), 2u);
  entry *corrected = find_by_guid("https://news.example.org/3");
  ASSERT_NE(corrected, nullptr);
  EXPECT_FALSE(entry_is_deleted(corrected));
  EXPECT_EQ(to_std(corrected->rss.title), "Third item, corrected");
  EXPECT_EQ(to_std(find_by_guid("https://news.example.org/2")->rss.title), "Second item");
  EXPECT_EQ(the_feed()->entry_count, 4u);
  // The channel pubDate only moves forward.
  EXPECT_EQ(date_to_number(the_feed()->rss.pubDate), 20020907094231ull);

  // The same document again brings nothing.
  ASSERT_EQ(parse("rss2_update.xml"), 0u);
  EXPECT_EQ(entries_in_generation(3), 0u);
  EXPECT_EQ(reader_check(&r), 0u);
}

TEST_F(FeedParse, content_encoded_fills_description_only_while_it_is_empty) {
  ASSERT_EQ(parse("rss2_full.xml"), 0u);
  // description then content:encoded: the description stays.
  EXPECT_EQ(to_std(find_by_guid("item-1")->rss.description), "<p>Short <b>one</b></p>");
  // content:encoded then description: the description replaces it.
  EXPECT_EQ(to_std(find_by_guid("https://news.example.org/2")->rss.description), "Summary of two");
  EXPECT_EQ(to_std(find_by_guid("https://news.example.org/3")->rss.description), "<p>Only content</p>");

  // An empty element after them erased the body another element gave: the entry showed no text.
  feed_id = 0;
  ASSERT_EQ(parse_text("<rss><channel><item><guid>e</guid><title>T</title><content:encoded>Body</content:encoded>"
                       "<description></description><title></title></item></channel></rss>"),
            0u);
  EXPECT_EQ(to_std(find_by_guid("e")->rss.description), "Body");
  EXPECT_EQ(to_std(find_by_guid("e")->rss.title), "T");
  feed_id = 0;
  ASSERT_EQ(parse_text("<feed><entry><id>a</id><updated>2024-01-01T00:00:00Z</updated><content>Body</content>"
                       "<content/><summary>Sum</summary><summary></summary></entry></feed>"),
            0u);
  EXPECT_EQ(to_std(find_by_guid("a")->atom.content), "Body");
  EXPECT_EQ(to_std(find_by_guid("a")->atom.summary), "Sum");
}

// An empty or unreadable date once became year 65535 and the feed's newest date, after which no
// dated item was ever new again.
TEST_F(FeedParse, unreadable_dates_count_as_none_and_never_silence_the_feed) {
  const char *first =
      "<rss><channel><title>t</title>"
      "<item><title>a</title><guid>a</guid><pubDate></pubDate></item>"
      "<item><title>b</title><guid>b</guid><pubDate>not a date</pubDate></item>"
      "<item><title>c</title><guid>c</guid><pubDate>Mon, 01 Jan 2024 10:00:00 GMT</pubDate></item>"
      "</channel></rss>";
  ASSERT_EQ(parse_text(first), 0u);
  EXPECT_EQ(the_feed()->entry_count, 3u);
  EXPECT_EQ(date_to_number(the_feed()->rss.newest_date), 20240101100000ull);
  EXPECT_TRUE(date_is_zero(find_by_guid("a")->rss.pubDate));
  const char *later =
      "<rss><channel><title>t</title>"
      "<item><title>d</title><guid>d</guid><pubDate>Tue, 02 Jan 2024 10:00:00 GMT</pubDate></item>"
      "<item><title>a</title><guid>a</guid><pubDate></pubDate></item>"
      "</channel></rss>";
  ASSERT_EQ(parse_text(later), 0u);
  EXPECT_NE(find_by_guid("d"), nullptr);
  EXPECT_EQ(entries_in_generation(2), 1u);
}

// Undated items used to come back as new on every update (with a guid) or pile up as copies
// (without one).
TEST_F(FeedParse, undated_items_are_stored_once_and_keep_their_deleted_mark) {
  ASSERT_EQ(parse("rss_undated.xml"), 0u);
  u32 count = the_feed()->entry_count;
  EXPECT_EQ(count, 7u);
  entry *guid_item = find_by_guid("old-guid-1");
  ASSERT_NE(guid_item, nullptr);
  entry_mark_deleted(guid_item);
  for (int update = 0; update < 3; ++update) ASSERT_EQ(parse("rss_undated.xml"), 0u);
  EXPECT_EQ(the_feed()->entry_count, count);
  EXPECT_EQ(entries_in_generation(2) + entries_in_generation(3) + entries_in_generation(4), 0u);
  EXPECT_TRUE(entry_is_deleted(find_by_guid("old-guid-1")));
  // A new undated item is still recognised as new.
  const char *more = "<rss><channel><item><title>Only a title</title></item><item><title>Fresh</title></item></channel></rss>";
  ASSERT_EQ(parse_text(more), 0u);
  EXPECT_EQ(entries_in_generation(5), 1u);
}

TEST_F(FeedParse, rss1_items_are_collected_by_name_and_checked_against_the_list) {
  ASSERT_EQ(parse("rss1.xml"), 0u);
  EXPECT_EQ(the_feed()->entry_count, 2u);
  // The image beside the channel was moved in with the items.
  EXPECT_EQ(to_std(the_feed()->rss.image_url), "https://rdf.example.org/logo.png");

  u64 mark = log_last_text().used;
  feed_id = 0;
  EXPECT_EQ(parse("rss1_mismatch.xml"), (u32)feed_error_unsupported_rdf_structure);
  EXPECT_EQ(count_of(log_since(&mark), "Feed error: feed_error_unsupported_rdf_structure\n"), 1u);
  EXPECT_EQ(r.feeds.entry_count, 1u);
}

// Every way a document is refused: one "Feed error: " line with the error's name, no feed.
TEST_F(FeedParse, refused_documents_leave_the_store_untouched_with_one_error_line) {
  struct {
    std::string document;
    u32 error;
  } cases[] = {
      {read_test_feed("not_well_formed.xml"), feed_error_parser_error},
      {"", feed_error_parser_error},
      {std::string("\x00\x00\x00<", 4), feed_error_parser_error},
      {read_test_feed("not_a_feed.xml"), feed_error_expected_channel_or_feed},
      {"<rss version=\"2.0\"><title>no channel</title></rss>", feed_error_expected_channel_or_feed},
      {"<rss/>", feed_error_expected_channel_or_feed},
      {read_test_feed("rss1_mismatch.xml"), feed_error_unsupported_rdf_structure},
      {"<rdf:RDF><channel><items><rdf:Seq/></items></channel></rdf:RDF>", feed_error_unsupported_rdf_structure},
      {"<rdf:RDF><channel/><item rdf:about='x'/></rdf:RDF>", feed_error_unsupported_rdf_structure},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.document.substr(0, 60));
    u64 mark = log_last_text().used;
    u64 strings_used = r.strings.used;
    feed_id = 0;
    EXPECT_EQ(parse_text(c.document), c.error);
    EXPECT_EQ(feed_id, 0u);
    EXPECT_EQ(r.feeds.entry_count + r.metas.entry_count + r.entries.entry_count, 0u);
    EXPECT_EQ(r.strings.used, strings_used);
    std::string log = log_since(&mark);
    EXPECT_EQ(count_of(log, "Feed error: "), 1u) << log;
    EXPECT_THAT(log, HasSubstr("Feed error: " + to_std(feed_error_name(c.error)) + "\n"));
    if (c.error == feed_error_parser_error && !c.document.empty()) {
      EXPECT_THAT(log, HasSubstr("Error ("));
    }
  }
}

TEST_F(FeedParse, a_feed_that_switches_between_rss_and_atom_is_refused_and_kept) {
  ASSERT_EQ(parse("rss2_full.xml"), 0u);
  std::string before = dump();
  u64 mark = log_last_text().used;
  EXPECT_EQ(parse("atom_full.xml"), (u32)feed_error_feed_type_changed);
  EXPECT_EQ(dump(), before);
  EXPECT_THAT(log_since(&mark), HasSubstr("Feed error: feed_error_feed_type_changed\n"));

  TearDown();
  r = {};
  feed_id = 0;
  SetUp();
  ASSERT_EQ(parse("atom_full.xml"), 0u);
  before = dump();
  EXPECT_EQ(parse("rss2_full.xml"), (u32)feed_error_feed_type_changed);
  EXPECT_EQ(dump(), before);
  EXPECT_EQ(reader_check(&r), 0u);
}

TEST_F(FeedParse, atom_links_with_unknown_relations_are_never_the_article) {
  ASSERT_EQ(parse("atom_full.xml"), 0u);
  entry *one = find_by_guid("tag:atom.example.org,2024:1");
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(to_std(reader_find_atom_link_href(&r, one->id, one->atom.atom_link_count, atom_link_owner_entry,
                                              atom_link_rel_alternate)),
            "https://atom.example.org/1");
  EXPECT_EQ(to_std(reader_find_atom_link_href(&r, one->id, one->atom.atom_link_count, atom_link_owner_entry,
                                              atom_link_rel_enclosure)),
            "https://atom.example.org/1.mp3");
  feed *f = the_feed();
  EXPECT_EQ(to_std(reader_find_atom_link_href(&r, f->id, f->atom.atom_link_count, atom_link_owner_feed,
                                              atom_link_rel_alternate)),
            "https://atom.example.org/");
}

// What a feed escaped must reach the HTML view escaped: xhtml through the serialiser, plain text
// in summary and content as references.
TEST_F(FeedParse, escaped_markup_never_becomes_live_markup) {
  ASSERT_EQ(parse("atom_full.xml"), 0u);
  entry *one = find_by_guid("tag:atom.example.org,2024:1");
  ASSERT_NE(one, nullptr);
  std::string content = to_std(one->atom.content), summary = to_std(one->atom.summary);
  EXPECT_THAT(content, HasSubstr("&lt;img src=x onerror=alert(1)&gt;"));
  EXPECT_THAT(content, Not(HasSubstr("<img")));
  EXPECT_THAT(content, HasSubstr("href=\"https://atom.example.org/?a=1&amp;b=&quot;2&quot;\""));
  EXPECT_EQ(summary, "Plain &lt;script&gt;alert(1)&lt;/script&gt; &amp; more");
  // html is markup by intent, and the title is shown as text.
  entry *two = find_by_guid("tag:atom.example.org,2024:2");
  EXPECT_EQ(to_std(two->atom.summary), "<p>HTML summary</p>");
  EXPECT_EQ(to_std(two->atom.title), "Entry <i>two</i>");
}

// A title, subtitle or rights of type xhtml is drawn as plain text, and it was stored as the
// serialised markup of the div: "AT&amp;T" showed with its reference. Summary and content go
// through the HTML view and stay markup.
TEST_F(FeedParse, xhtml_constructs_of_plain_text_fields_hold_their_text) {
  const std::string div = "<div xmlns=\"http://www.w3.org/1999/xhtml\">";
  auto construct = [&](const char *name, const std::string &inside) {
    return std::string("<") + name + " type=\"xhtml\">" + div + inside + "</div></" + name + ">";
  };
  ASSERT_EQ(parse_text("<feed xmlns=\"http://www.w3.org/2005/Atom\"><id>urn:f</id>" + construct("title", "AT&amp;T") +
                       construct("subtitle", "Q&amp;A: 1 &lt; 2") + construct("rights", "&#169; 2024 <b>Example</b>") +
                       "<entry><id>urn:e</id><updated>2024-01-01T00:00:00Z</updated>" +
                       construct("title", "<em>Q&amp;A</em>: 1 &lt; 2") + construct("rights", "AT&amp;T") +
                       construct("summary", "AT&amp;T") + "</entry></feed>"),
            0u);
  feed *f = the_feed();
  EXPECT_EQ(to_std(f->atom.title), "AT&T");
  EXPECT_EQ(to_std(f->atom.subtitle), "Q&A: 1 < 2");
  EXPECT_EQ(to_std(f->atom.rights), "\xC2\xA9 2024 Example");
  entry *e = find_by_guid("urn:e");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(to_std(e->atom.title), "Q&A: 1 < 2");
  EXPECT_EQ(to_std(e->atom.rights), "AT&T");
  EXPECT_EQ(to_std(e->atom.summary), "AT&amp;T");
}

// The feed's own "updated" lies in 2030 (a generation time); entries dated before it must still
// arrive, judged against the newest entry kept.
TEST_F(FeedParse, atom_updates_are_judged_by_the_newest_entry_not_the_feed_date) {
  ASSERT_EQ(parse("atom_full.xml"), 0u);
  EXPECT_EQ(date_to_number(the_feed()->atom.updated), 20240104100000ull);
  ASSERT_EQ(parse("atom_update.xml"), 0u);
  EXPECT_NE(find_by_guid("tag:atom.example.org,2024:4"), nullptr);
  EXPECT_EQ(to_std(find_by_guid("tag:atom.example.org,2024:1")->atom.title), "Entry one, edited");
  EXPECT_EQ(entries_in_generation(2), 2u);
  // The undated entry is known by its id and left alone.
  EXPECT_EQ(the_feed()->entry_count, 6u);
}

TEST_F(FeedParse, video_site_entries_are_new_only_when_newly_published) {
  std::string url = "https://www.youtube.com/feeds/videos.xml?channel_id=UCexample";
  u64 mark = log_last_text().used;
  ASSERT_EQ(parse("youtube.xml", url), 0u);
  EXPECT_THAT(log_since(&mark), HasSubstr("Feed is YouTube.\n"));
  entry *v = find_by_guid("yt:video:vid1");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(date_to_number(v->atom.updated), 20240501120000ull);
  EXPECT_EQ(to_std(v->atom.summary), "https://i1.ytimg.com/vi/vid1/hqdefault.jpg");
  ASSERT_EQ(parse("youtube_update.xml", url), 0u);
  EXPECT_EQ(entries_in_generation(2), 1u);
  EXPECT_NE(find_by_guid("yt:video:vid2"), nullptr);

  // The same document under another address is an ordinary Atom feed: "updated" counts.
  TearDown();
  r = {};
  feed_id = 0;
  SetUp();
  ASSERT_EQ(parse("youtube.xml"), 0u);
  EXPECT_EQ(date_to_number(find_by_guid("yt:video:vid1")->atom.updated), 20240620080000ull);
}

// Random sequences of updates against a model of the keeping rules: an item dated before the
// newest kept before the parse is old; one dated after it is new unless its guid's entry, stored
// before this fetch, has that very date, and replaces that entry; any other is new unless an
// entry has its guid or, where it or the entry has none, an entry stored before this fetch has its
// link, title and date.
TEST_F(FeedParse, random_updates_match_a_model_of_the_keeping_rules) {
  struct item {
    std::string guid, link, title;
    int day;  // 0 no date, -1 a broken date
    bool deleted;
    int fetch;  // the update that stored it
  };
  std::mt19937 rng(12345);
  for (int round = 0; round < 12; ++round) {
    TearDown();
    r = {};
    feed_id = 0;
    SetUp();
    std::vector<item> model;
    int newest = 0;
    for (int update = 0; update < 8; ++update) {
      std::string doc = "<rss><channel><title>model</title>";
      int start = newest, seen = 0;
      int n = (int)(rng() % 7);
      for (int k = 0; k < n; ++k) {
        item it;
        it.guid = rng() % 3 ? "g" + std::to_string(rng() % 6) : "";
        it.link = rng() % 2 ? "l" + std::to_string(rng() % 4) : "";
        it.title = "t" + std::to_string(rng() % 5);
        int pick = (int)(rng() % 5);
        it.day = pick == 0 ? 0 : pick == 1 ? -1 : 1 + (int)(rng() % 20);
        it.deleted = false;
        it.fetch = update;
        doc += "<item><title>" + it.title + "</title>";
        if (!it.link.empty()) doc += "<link>" + it.link + "</link>";
        if (!it.guid.empty()) doc += "<guid>" + it.guid + "</guid>";
        if (it.day > 0) doc += "<pubDate>" + std::to_string(it.day) + " Jan 2024 10:00:00 GMT</pubDate>";
        if (it.day < 0) doc += "<pubDate>soon</pubDate>";
        doc += "</item>";

        int day = it.day > 0 ? it.day : 0;
        auto by_guid = std::find_if(model.begin(), model.end(),
                                    [&](const item &m) { return !it.guid.empty() && m.guid == it.guid; });
        bool keep;
        if (day && day < start) {
          keep = false;
        } else if (day && day > start) {
          keep = by_guid == model.end() || by_guid->fetch == update || by_guid->day != day;
        } else if (by_guid != model.end()) {
          keep = false;
        } else {
          keep = std::none_of(model.begin(), model.end(), [&](const item &m) {
            return m.fetch != update && (it.guid.empty() || m.guid.empty()) && m.link == it.link &&
                   m.title == it.title && m.day == day;
          });
        }
        if (!keep) continue;
        seen = std::max(seen, day);
        if (!it.guid.empty()) {
          for (size_t m = 0; m < model.size(); ++m)
            if (model[m].guid == it.guid) {
              model.erase(model.begin() + m);
              break;
            }
        }
        it.day = day;
        model.push_back(it);
      }
      doc += "</channel></rss>";
      if (newest == 0 || seen > newest) newest = seen;
      ASSERT_EQ(parse_text(doc), 0u) << doc;

      // Compare as sorted lists of (guid, link, title, day, deleted).
      std::vector<std::string> want, got;
      for (const item &m : model)
        want.push_back(m.guid + "|" + m.link + "|" + m.title + "|" + std::to_string(m.day) + "|" + (m.deleted ? "d" : ""));
      for (u32 i = 0; i < r.entries.high_water; ++i) {
        entry *e = (entry *)pool_get(&r.entries, sizeof(entry), i);
        if (!entry_is_live(e)) continue;
        int day = date_is_zero(e->rss.pubDate) ? 0 : e->rss.pubDate.day;
        got.push_back(to_std(e->rss.guid) + "|" + to_std(e->rss.link) + "|" + to_std(e->rss.title) + "|" +
                      std::to_string(day) + "|" + (entry_is_deleted(e) ? "d" : ""));
      }
      std::sort(want.begin(), want.end());
      std::sort(got.begin(), got.end());
      ASSERT_EQ(got, want) << doc;
      ASSERT_EQ(reader_check(&r), 0u);

      // Mark one stored entry deleted now and then; the model follows.
      if (!model.empty() && rng() % 2) {
        size_t m = rng() % model.size();
        model[m].deleted = true;
        for (u32 i = 0; i < r.entries.high_water; ++i) {
          entry *e = (entry *)pool_get(&r.entries, sizeof(entry), i);
          if (entry_is_live(e) && !entry_is_deleted(e) && to_std(e->rss.guid) == model[m].guid &&
              to_std(e->rss.link) == model[m].link && to_std(e->rss.title) == model[m].title &&
              (date_is_zero(e->rss.pubDate) ? 0 : e->rss.pubDate.day) == model[m].day) {
            entry_mark_deleted(e);
            break;
          }
        }
      }
    }
  }
}

// Every prefix of every test document: whatever the parser makes of it, the store stays sound.
TEST_F(FeedParse, every_prefix_of_a_document_leaves_a_sound_store) {
  for (const char *name : {"rss2_full.xml", "atom_full.xml", "rss1.xml", "youtube.xml"}) {
    std::string document = read_test_feed(name);
    for (size_t n = 0; n <= document.size(); n += 13) {
      feed_id = 0;
      parse_text(document.substr(0, n));
      feed *f = the_feed();
      if (f) reader_delete_feed(&r, f);
    }
    // Only whole documents make feeds; each was deleted again, leaving nothing behind.
    EXPECT_EQ(r.feeds.entry_count + r.entries.entry_count + r.atom_links.entry_count + r.links.entry_count, 0u) << name;
    EXPECT_EQ(reader_check(&r), 0u);
  }
}

// A full pool drops the record that needs it and keeps everything else that fits, once logged.
TEST_F(FeedParse, full_pools_keep_what_fits) {
  // Leave room for 3 entries.
  reader_capacity small = small_capacity();
  small.entries = 40;
  rebuild(small);
  feed *other = add_feed(feed_type_rss);
  while (r.entries.entry_count < small.entries - 3) ASSERT_NE(add_entry(other, make_date(2020, 1, 1)), nullptr);
  u64 mark = log_last_text().used;
  ASSERT_EQ(parse("rss_undated.xml"), 0u);
  EXPECT_EQ(the_feed()->entry_count, 3u);
  EXPECT_EQ(count_of(log_since(&mark), "No space left for entries"), 1u);
  EXPECT_EQ(reader_check(&r), 0u);

  // No Atom links left: entries arrive without them.
  feed_id = 0;
  rebuild(small_capacity());
  while (r.atom_links.entry_count < r.atom_links.max_entry_count) {
    u32 count = 0;
    ASSERT_NE(reader_new_atom_link(&r, atom_link_owner_entry, 999999, &count), nullptr);
  }
  mark = log_last_text().used;
  ASSERT_EQ(parse("atom_full.xml"), 0u);
  EXPECT_EQ(the_feed()->entry_count, 5u);
  EXPECT_EQ(the_feed()->atom.atom_link_count, 0u);
  EXPECT_EQ(count_of(log_since(&mark), "Feed error: No space left for Atom links.\n"), 1u);
  EXPECT_EQ(reader_check(&r), 0u);
}

TEST_F(FeedParse, a_full_string_arena_drops_the_entries_that_do_not_fit) {
  // Lower the limit so the arena cannot grow past what is committed now.
  u64 reserved = r.strings_a.limit;
  arena_set_limit(&r.strings_a, r.strings_a.memory.used);
  std::string doc = "<rss><channel><title>t</title>";
  for (int i = 0; i < 40; ++i)
    doc += "<item><guid>g" + std::to_string(i) + "</guid><description>" + std::string(40000, 'x') +
           "</description><pubDate>" + std::to_string(i % 28 + 1) + " Feb 2024 10:00:00 GMT</pubDate></item>";
  doc += "</channel></rss>";
  u64 mark = log_last_text().used;
  ASSERT_EQ(parse_text(doc), 0u);
  u32 kept = the_feed()->entry_count;
  EXPECT_GT(kept, 10u);
  EXPECT_LT(kept, 40u);
  EXPECT_EQ(count_of(log_since(&mark), "No space left for texts"), 1u);
  EXPECT_EQ(reader_check(&r), 0u);
  for (u32 i = 0; i < r.entries.high_water; ++i) {
    entry *e = (entry *)pool_get(&r.entries, sizeof(entry), i);
    if (entry_is_live(e)) {
      EXPECT_EQ(e->rss.description.used, 40000u);
    }
  }
  arena_set_limit(&r.strings_a, reserved);
}

TEST_F(FeedParse, element_readers_follow_the_atom_rules) {
  xml_memory m = {};
  std::string doc =
      "<x><author><name>N</name><uri>U</uri><email>E</email></author>"
      "<category term='t' scheme='s' label='l'/>"
      "<link href='h' rel='via' type='ty' hreflang='en' title='ti' length='42'/>"
      "<link href='h2' rel='replies'/><link href='h3'/>"
      "<title type='xhtml'>no div</title><title type='xhtml'><div><b>b</b> &amp;</div></title></x>";
  ASSERT_TRUE(xml_memory_reserve(&m, doc.size()));
  xml_parser p = {};
  xml_error error = 0;
  xml_parse_reserved(&p, &m, text_of(doc), &error);
  ASSERT_EQ(error, 0u);
  xml_node *x = xml_first_child_element(p.top);
  xml_node *author = xml_first_child_element(x), *cat = xml_next_sibling_element(author);
  xml_node *l1 = xml_next_sibling_element(cat), *l2 = xml_next_sibling_element(l1), *l3 = xml_next_sibling_element(l2);
  xml_node *t1 = xml_next_sibling_element(l3), *t2 = xml_next_sibling_element(t1);

  person who = atom_parse_person(author, &scratch);
  EXPECT_EQ(to_std(who.name) + to_std(who.uri) + to_std(who.email), "NUE");
  EXPECT_EQ(atom_parse_person(cat, &scratch).name.used, 0u);
  category k = atom_parse_category(cat);
  EXPECT_EQ(to_std(k.term) + to_std(k.scheme) + to_std(k.label), "tsl");
  atom_link a = {}, b = {}, c = {};
  EXPECT_TRUE(atom_parse_link(&r, l1, &a));
  EXPECT_EQ(a.rel, (u32)atom_link_rel_via);
  EXPECT_EQ(to_std(a.href) + to_std(a.type) + to_std(a.hreflang) + to_std(a.title), "htyenti");
  EXPECT_EQ(a.length, 42);
  atom_parse_link(&r, l2, &b);
  atom_parse_link(&r, l3, &c);
  EXPECT_EQ(b.rel, (u32)atom_link_rel_other);
  EXPECT_EQ(c.rel, (u32)atom_link_rel_alternate);

  buffer field = {};
  u64 mark = log_last_text().used;
  EXPECT_TRUE(atom_parse_text_construct(&r, &scratch, &field, t1, 0));
  EXPECT_EQ(field.used, 0u);
  EXPECT_THAT(log_since(&mark), HasSubstr("atom: Expected <div> in text construct.\n"));
  EXPECT_TRUE(atom_parse_text_construct(&r, &scratch, &field, t2, atom_text_html_field));
  EXPECT_EQ(to_std(field), "<b >b</b> &amp;");
  // The same text again costs no arena bytes.
  u64 used = r.strings.used;
  EXPECT_TRUE(atom_parse_text_construct(&r, &scratch, &field, t2, atom_text_html_field));
  EXPECT_EQ(r.strings.used, used);
  EXPECT_EQ(scratch.used, 0u);
  xml_memory_release(&m);
}
