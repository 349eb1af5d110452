// What decides that an entry is new: the feed's threshold date against dates in the far future,
// and the match of undated entries against those stored before the fetch.
#include <gtest/gtest.h>

#include <stdio.h>

#include "store_fixture.h"

namespace {

class FeedThreshold : public ParseStore {
 protected:
  u32 new_entries() {
    u32 n = 0;
    for (u32 i = 0; i < r.entries.high_water; ++i) {
      entry *e = (entry *)pool_get(&r.entries, sizeof(entry), i);
      n += entry_is_live(e) && e->generation == r.generation;
    }
    return n;
  }
  entry *by_guid(const std::string &guid) { return reader_find_entry_by_guid(&r, feed_id, text_of(guid)); }
};

std::string rfc822(date d) {
  static const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  snprintf(text, sizeof text, "%02u %s %04u %02u:%02u:%02u GMT", d.day, months[d.month - 1], d.year, d.hour,
           d.minute, d.second);
  return text;
}

std::string iso8601(date d) {
  char text[64];
  snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", d.year, d.month, d.day, d.hour, d.minute, d.second);
  return text;
}

std::string rss_item(const std::string &guid, const std::string &date) {
  return "<item><title>" + guid + "</title><guid>" + guid + "</guid><pubDate>" + date + "</pubDate></item>";
}

std::string atom_entry(const std::string &id, const std::string &date) {
  return "<entry><id>" + id + "</id><title>" + id + "</title><updated>" + date + "</updated></entry>";
}

// Soon after the current time, within the day a server's clock may be ahead.
date soon(s64 hours) { return date_add(date_now_utc(), 0, 0, 0, hours, 0, 0); }

// One item dated year 9999 once became the threshold, and no later entry was ever kept.
TEST_F(FeedThreshold, a_far_future_date_is_stored_but_never_raises_the_threshold_past_now) {
  fetch("<rss><channel>" + rss_item("future", "Fri, 31 Dec 9999 23:59:59 GMT") +
        rss_item("old", "Mon, 01 Jan 2024 10:00:00 GMT") + "</channel></rss>");
  ASSERT_NE(by_guid("future"), nullptr);
  EXPECT_EQ(by_guid("future")->rss.pubDate.year, 9999) << "stored as given";
  date threshold = the_feed()->rss.newest_date;
  EXPECT_FALSE(date_greater(threshold, date_now_utc())) << date_to_number(threshold);
  EXPECT_EQ(date_to_number(threshold), date_to_number(date{2024, 1, 1, 10, 0, 0, 0})) << "where the other item put it";

  // A later item is new; the far-future one, sent again, is not.
  fetch("<rss><channel>" + rss_item("future", "Fri, 31 Dec 9999 23:59:59 GMT") + rss_item("next", rfc822(soon(2))) +
        "</channel></rss>");
  EXPECT_NE(by_guid("next"), nullptr);
  EXPECT_EQ(new_entries(), 1u);
  // Within a day of now a date is taken as it is.
  EXPECT_EQ(date_to_number(the_feed()->rss.newest_date), date_to_number(by_guid("next")->rss.pubDate));
}

TEST_F(FeedThreshold, atom_thresholds_and_stored_ones_are_held_back_the_same_way) {
  fetch("<feed>" + atom_entry("future", "9999-12-31T00:00:00Z") + atom_entry("old", "2024-01-01T10:00:00Z") +
        "</feed>");
  EXPECT_EQ(by_guid("future")->atom.updated.year, 9999);
  EXPECT_FALSE(date_greater(the_feed()->atom.updated, date_now_utc()));
  fetch("<feed>" + atom_entry("next", iso8601(soon(3))) + "</feed>");
  EXPECT_NE(by_guid("next"), nullptr);

  // A threshold saved before such dates were held back no longer silences the feed.
  the_feed()->atom.updated = date{9999, 12, 31, 0, 0, 0, 0};
  fetch("<feed>" + atom_entry("after", iso8601(soon(4))) + "</feed>");
  EXPECT_NE(by_guid("after"), nullptr);
  EXPECT_EQ(date_to_number(the_feed()->atom.updated), date_to_number(by_guid("after")->atom.updated));
}

// The far-future date once raised the threshold to the time of the fetch, and an item the feed
// dated between its newest real item and that fetch was dropped on the next update.
TEST_F(FeedThreshold, an_item_dated_between_the_newest_real_one_and_the_fetch_is_new_next_time) {
  for (bool atom : {false, true}) {
    SCOPED_TRACE(atom ? "atom" : "rss");
    feed_id = 0;
    auto document = [&](const std::vector<std::pair<std::string, date>> &items) {
      std::string d = atom ? "<feed>" : "<rss><channel>";
      for (auto &[id, when] : items) d += atom ? atom_entry(id + "-a", iso8601(when)) : rss_item(id + "-r", rfc822(when));
      return d + (atom ? "</feed>" : "</channel></rss>");
    };
    const date newest = soon(-5);  // one instant, though a second may turn between the fetches
    fetch(document({{"future", date{9999, 12, 31, 0, 0, 0, 0}}, {"newest", newest}}));
    date threshold = atom ? the_feed()->atom.updated : the_feed()->rss.newest_date;
    EXPECT_EQ(date_to_number(threshold), date_to_number(newest)) << "at the newest real item";
    fetch(document({{"future", date{9999, 12, 31, 0, 0, 0, 0}}, {"newest", newest}, {"late", soon(-2)}}));
    EXPECT_EQ(new_entries(), 1u);
    EXPECT_NE(by_guid(atom ? "late-a" : "late-r"), nullptr);
  }
}

// A threshold stored in the far future by an older version is put back at the feed's newest real
// entry, not at the time of the fetch.
TEST_F(FeedThreshold, a_far_future_threshold_stored_before_is_taken_from_the_entries) {
  // One text for the old item: read twice across a second's turn it would be an edited item.
  const std::string old = rfc822(soon(-30));
  fetch("<rss><channel>" + rss_item("old", old) + rss_item("future", "Fri, 31 Dec 9999 23:59:59 GMT") +
        "</channel></rss>");
  the_feed()->rss.newest_date = date{9999, 12, 31, 23, 59, 59, 0};
  fetch("<rss><channel>" + rss_item("old", old) + rss_item("recent", rfc822(soon(-1))) + "</channel></rss>");
  EXPECT_EQ(new_entries(), 1u) << "the old item is not new again";
  ASSERT_NE(by_guid("recent"), nullptr);
  EXPECT_EQ(date_to_number(the_feed()->rss.newest_date), date_to_number(by_guid("recent")->rss.pubDate));
}

// A zone that carries the last second of year 9999 into year 10000, and a date without its year,
// once gave five-digit years (nine digits before the time in the saved and printed form).
TEST_F(FeedThreshold, a_date_past_year_9999_is_no_date) {
  fetch("<feed>" + atom_entry("late", "9999-12-31T23:59:59-23:59") + atom_entry("last", "9999-12-31T23:59:59Z") +
        atom_entry("ahead", "9999-12-31T00:00:00+23:59") + "</feed>");
  ASSERT_NE(by_guid("late"), nullptr);
  EXPECT_TRUE(date_is_zero(by_guid("late")->atom.updated)) << date_to_number(by_guid("late")->atom.updated);
  EXPECT_EQ(date_to_number(by_guid("last")->atom.updated), date_to_number(date{9999, 12, 31, 23, 59, 59, 0}));
  EXPECT_EQ(date_to_number(by_guid("ahead")->atom.updated), date_to_number(date{9999, 12, 30, 0, 1, 0, 0}));
  feed_id = 0;
  fetch("<rss><channel>" + rss_item("zoned", "Fri, 31 Dec 9999 23:00:00 -0100") +
        rss_item("yearless", "Sat, 07 Sep") + rss_item("kept", "Fri, 31 Dec 9999 22:59:59 -0100") + "</channel></rss>");
  EXPECT_TRUE(date_is_zero(by_guid("zoned")->rss.pubDate)) << date_to_number(by_guid("zoned")->rss.pubDate);
  EXPECT_TRUE(date_is_zero(by_guid("yearless")->rss.pubDate)) << date_to_number(by_guid("yearless")->rss.pubDate);
  EXPECT_EQ(date_to_number(by_guid("kept")->rss.pubDate), date_to_number(date{9999, 12, 31, 23, 59, 59, 0}));
}

// Four undated items without a guid, two sharing a link and two sharing a title, once gave two.
TEST_F(FeedThreshold, undated_items_of_one_document_never_collapse_into_each_other) {
  const std::string document =
      "<rss><channel>"
      "<item><title>A</title><link>https://example.org/same</link></item>"
      "<item><title>B</title><link>https://example.org/same</link></item>"
      "<item><title>C</title><description>first</description></item>"
      "<item><title>C</title><description>second</description></item>"
      "</channel></rss>";
  fetch(document);
  EXPECT_EQ(the_feed()->entry_count, 4u);
  // Known from the first fetch, none of them is new again.
  fetch(document);
  EXPECT_EQ(new_entries(), 0u);
  EXPECT_EQ(the_feed()->entry_count, 4u);
  // A new item that shares its link with an older one (a front page, a series) is still new.
  fetch("<rss><channel><item><title>D</title><link>https://example.org/same</link></item>"
        "<item><title>E</title><link>https://example.org/other</link></item></channel></rss>");
  EXPECT_EQ(new_entries(), 2u);
}

// An item dated the same as the feed's newest entry was dropped however new it was: a feed that
// dates its items by the day, or publishes several in one second, lost every later one for good.
TEST_F(FeedThreshold, a_new_item_dated_at_the_threshold_is_stored_once) {
  const std::string at = "Mon, 01 Jan 2024 00:00:00 GMT", before = "Sun, 31 Dec 2023 23:59:59 GMT";
  auto rss = [](const std::string &items) { return "<rss><channel>" + items + "</channel></rss>"; };
  fetch(rss(rss_item("g1", at) + rss_item("g2", at)));
  fetch(rss(rss_item("g1", at) + rss_item("g2", at) + rss_item("g3", at)));
  EXPECT_EQ(new_entries(), 1u);
  EXPECT_NE(by_guid("g3"), nullptr);
  EXPECT_EQ(the_feed()->entry_count, 3u);
  // Sent again they are neither new nor doubled, and one dated before the threshold stays old.
  fetch(rss(rss_item("g1", at) + rss_item("g2", at) + rss_item("g3", at) + rss_item("g0", before)));
  EXPECT_EQ(new_entries(), 0u);
  EXPECT_EQ(the_feed()->entry_count, 3u);

  feed_id = 0;
  const std::string when = "2024-01-01T00:00:00Z";
  fetch("<feed>" + atom_entry("e1", when) + "</feed>");
  fetch("<feed>" + atom_entry("e1", when) + atom_entry("e2", when) + "</feed>");
  EXPECT_EQ(new_entries(), 1u);
  EXPECT_NE(by_guid("e2"), nullptr);
  EXPECT_EQ(the_feed()->entry_count, 2u);

  // Without a guid an item is known by its link, or by its title without one.
  feed_id = 0;
  auto item = [&](const std::string &title, const std::string &link) {
    return "<item><title>" + title + "</title>" + (link.empty() ? "" : "<link>https://example.org/" + link + "</link>") +
           "<pubDate>" + at + "</pubDate></item>";
  };
  fetch(rss(item("A", "a") + item("B", "")));
  fetch(rss(item("A", "a") + item("B", "") + item("C", "c") + item("D", "")));
  EXPECT_EQ(new_entries(), 2u);
  EXPECT_EQ(the_feed()->entry_count, 4u);
}

// An item that gains or loses its guid is the item it was, dated or not: once stored twice. Two
// items whose guids differ are two, whatever else they share: at the newest date one of them was
// lost, a digest that links to one page or a deal that keeps its title.
TEST_F(FeedThreshold, items_are_the_same_by_guid_or_without_one_by_link_title_and_date) {
  const std::string at = "Mon, 01 Jan 2024 00:00:00 GMT";
  auto rss = [](const std::string &items) { return "<rss><channel>" + items + "</channel></rss>"; };
  for (const std::string &when : {at, std::string(), std::string("Fri, 31 Dec 9999 00:00:00 GMT")}) {
    auto item = [&](const std::string &guid) {
      return "<item><title>One</title><link>https://e.example/1</link>" +
             (guid.empty() ? std::string() : "<guid>" + guid + "</guid>") +
             (when.empty() ? std::string() : "<pubDate>" + when + "</pubDate>") + "</item>";
    };
    for (const char *first : {"", "https://e.example/1"}) {
      feed_id = 0;
      fetch(rss(item(first)));
      fetch(rss(item(*first ? "" : "https://e.example/1")));
      EXPECT_EQ(new_entries(), 0u) << when << " first guid " << first;
      EXPECT_EQ(the_feed()->entry_count, 1u);
    }
    feed_id = 0;
    fetch(rss(item("https://e.example/1")));
    fetch(rss(item("https://e.example/1?utm=x")));
    EXPECT_EQ(new_entries(), 1u) << when << ": another guid is another item";
  }

  feed_id = 0;
  auto digest = [](const std::string &guid, const std::string &day) {
    return "<item><title>Weekly digest</title><link>https://e.example/digest</link><guid>" + guid + "</guid><pubDate>" +
           day + " Jan 2024 00:00:00 GMT</pubDate></item>";
  };
  const std::string news = "<item><title>News</title><link>https://e.example/news</link><guid>g2</guid>"
                           "<pubDate>Tue, 02 Jan 2024 00:00:00 GMT</pubDate></item>";
  fetch(rss(digest("g1", "Mon, 01") + news));
  fetch(rss(digest("g1", "Mon, 01") + news + digest("g3", "Tue, 02")));
  EXPECT_EQ(the_feed()->entry_count, 3u);

  feed_id = 0;
  auto deal = [&](const std::string &guid, const std::string &what) {
    return "<item><title>Daily deal</title><link>https://e.example/</link><guid>" + guid + "</guid><description>" +
           what + "</description><pubDate>" + at + "</pubDate></item>";
  };
  fetch(rss(deal("deal-0", "Radio")));
  fetch(rss(deal("deal-0", "Radio") + deal("deal-1", "Kettle") + deal("deal-2", "Toaster")));
  EXPECT_EQ(new_entries(), 2u);

  feed_id = 0;
  auto atom = [&](const std::string &id, const std::string &when) {
    return "<entry><id>" + id + "</id><title>Weekly digest</title><link href=\"https://e.example/digest\"/><updated>" +
           when + "</updated></entry>";
  };
  fetch("<feed>" + atom("a1", "2024-01-01T00:00:00Z") + atom("a2", "2024-01-02T00:00:00Z") + "</feed>");
  fetch("<feed>" + atom("a1", "2024-01-01T00:00:00Z") + atom("a2", "2024-01-02T00:00:00Z") +
        atom("a3", "2024-01-02T00:00:00Z") + "</feed>");
  EXPECT_EQ(new_entries(), 1u);
  EXPECT_EQ(the_feed()->entry_count, 3u);

  // An entry replaced earlier in the same document still answers for its item until the document
  // is done: another entry with its link, title and date used to be missed, and the item stored.
  feed_id = 0;
  auto twin = [&](const std::string &guid, const std::string &day) {
    return "<item><title>Twin</title><link>https://e.example/twin</link>" +
           (guid.empty() ? std::string() : "<guid>" + guid + "</guid>") + "<pubDate>" + day +
           " Jan 2024 00:00:00 GMT</pubDate></item>";
  };
  fetch(rss(twin("a", "Mon, 01") + twin("b", "Mon, 01")));
  fetch(rss(twin("a", "Tue, 02") + twin("", "Mon, 01")));
  EXPECT_EQ(new_entries(), 1u);
  EXPECT_EQ(the_feed()->entry_count, 2u);

  // Undated items without a guid that share a link: the second part of a series is new.
  feed_id = 0;
  auto part = [](const std::string &title) {
    return "<item><title>" + title + "</title><link>https://e.example/series</link></item>";
  };
  fetch(rss(part("Part 1")));
  fetch(rss(part("Part 1") + part("Part 2")));
  EXPECT_EQ(new_entries(), 1u);
}

// An item dropped by its date, or known at the feed's newest date, was read (or built) in full
// before it was found old: its warnings were logged again at every update, and the next entry's
// categories took the freed places in reverse order.
TEST_F(FeedThreshold, an_old_or_known_item_is_dropped_before_it_is_read) {
  auto log_since = [](u64 from) {
    buffer all = log_last_text();
    return all.used >= from ? std::string((const char *)all.data + from, all.used - from) : std::string();
  };
  auto count = [](const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
  };
  const std::string markup =
      "<rss><channel><item><title>Old</title><link>https://e.example/old</link><description>a <p>markup</p> b"
      "</description><pubDate>Mon, 01 Jan 2024 00:00:00 GMT</pubDate></item>"
      "<item><title>New</title><link>https://e.example/new</link><pubDate>Tue, 02 Jan 2024 00:00:00 GMT</pubDate>"
      "</item></channel></rss>";
  u64 from = log_last_text().used;
  for (int k = 0; k < 3; ++k) fetch(markup);
  EXPECT_EQ(count(log_since(from), "skipped content node"), 1u);

  // A text too long for the scratch memory is said once, when the item is stored.
  feed_id = 0;
  memory_free(&scratch);
  scratch = memory_alloc(KiB(256), nullptr);
  std::string big = "<![CDATA[" + std::string(KiB(200), 'x') + "]]>" + std::string(KiB(100), 'y');
  const std::string long_text = "<rss><channel><item><title>Long</title><description>" + big +
                                "</description><pubDate>Mon, 01 Jan 2024 00:00:00 GMT</pubDate></item>"
                                "<item><title>New</title><pubDate>Tue, 02 Jan 2024 00:00:00 GMT</pubDate></item>"
                                "</channel></rss>";
  from = log_last_text().used;
  for (int k = 0; k < 3; ++k) fetch(long_text);
  EXPECT_EQ(count(log_since(from), "too long for the parser's scratch memory"), 1u);
  memory_free(&scratch);
  scratch = memory_alloc(MiB(8), nullptr);

  // Known at the newest date by its id, or by its link, title and date once the id is gone.
  feed_id = 0;
  auto atom = [](const std::string &id) {
    return "<feed><entry>" + id + "<title>E</title><link href=\"https://e.example/e\"/>"
           "<updated>2024-01-01T00:00:00Z</updated><content type=\"xhtml\"><p>no div</p></content></entry></feed>";
  };
  from = log_last_text().used;
  fetch(atom("<id>e</id>"));
  fetch(atom("<id>e</id>"));
  fetch(atom(""));
  EXPECT_EQ(count(log_since(from), "atom: Expected <div>"), 1u);
  EXPECT_EQ(the_feed()->entry_count, 1u);
}

// Records freed earlier in the run came back to the next entry last first: its categories,
// authors and links read back in reverse, and of two alternate links the other one opened.
TEST_F(FeedThreshold, an_entrys_records_read_back_in_document_order_whatever_was_freed) {
  auto terms = [&](entry *e, bool by_feed, u32 owner) {
    struct link *links[16];
    u32 n = reader_owned_links(&r, owner, by_feed, links, 16);
    std::string out;
    for (u32 i = 0; i < n && i < 16; ++i) {
      u32 kind = links[i]->kind;
      bool person = kind >= link_kind_atom_feed_author;
      out += person ? to_std(reader_find_person(&r, links[i]->target_id)->name)
                    : to_std(reader_find_category_by_id(&r, links[i]->target_id)->term);
    }
    (void)e;
    return out;
  };
  auto only_entry = [&] {
    entry *found = nullptr;
    for (u32 i = 0; i < r.entries.high_water; ++i) {
      entry *e = (entry *)pool_get(&r.entries, sizeof(entry), i);
      if (entry_is_live(e)) found = e;
    }
    return found;
  };
  // Fetched, then removed for good, then an update brings a new entry.
  fetch("<rss><channel><item><title>A</title><category>x</category><category>y</category><category>z</category>"
        "<pubDate>Mon, 01 Jan 2024 00:00:00 GMT</pubDate></item></channel></rss>");
  reader_delete_entry(&r, only_entry(), the_feed());
  fetch("<rss><channel><item><title>B</title><category>first</category><category>second</category>"
        "<category>third</category><pubDate>Tue, 02 Jan 2024 00:00:00 GMT</pubDate></item></channel></rss>");
  EXPECT_EQ(terms(only_entry(), false, only_entry()->id), "firstsecondthird");

  feed_id = 0;
  auto atom = [](const std::string &day, const std::string &body) {
    return "<feed><link rel=\"self\" href=\"https://e.example/feed\"/><link href=\"https://e.example/\"/>"
           "<entry><id>" + day + "</id><title>E</title><updated>2024-01-0" + day + "T00:00:00Z</updated>" + body +
           "</entry></feed>";
  };
  fetch(atom("1", "<category term=\"x\"/><category term=\"y\"/><author><name>p</name></author>"
                  "<author><name>q</name></author><link href=\"https://e.example/x\"/><link href=\"https://e.example/y\"/>"));
  reader_delete_entry(&r, only_entry(), the_feed());
  fetch(atom("2", "<category term=\"first\"/><category term=\"second\"/><author><name>Ann</name></author>"
                  "<author><name>Bob</name></author><link href=\"https://e.example/first\"/>"
                  "<link href=\"https://e.example/second\"/>"));
  entry *e = only_entry();
  EXPECT_EQ(terms(e, false, e->id), "firstsecondAnnBob");
  EXPECT_EQ(to_std(reader_find_atom_link_href(&r, e->id, e->atom.atom_link_count, atom_link_owner_entry,
                                              atom_link_rel_alternate)),
            "https://e.example/first");
  // The feed's own links, made again at every update, keep their order too.
  feed *f = the_feed();
  EXPECT_EQ(to_std(reader_find_atom_link_href(&r, f->id, f->atom.atom_link_count, atom_link_owner_feed,
                                              atom_link_rel_alternate)),
            "https://e.example/");
}

}  // namespace
