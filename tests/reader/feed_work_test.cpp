// The work of feed parsing stays proportional to the document: for each shape of document that
// once made a parse walk the feed for every item, the look-ups and walks a parse takes are
// counted at n and 4n items and must grow no faster than the input.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "store_fixture.h"

namespace {

// Linear work with a fixed part grows by at most four; anything that walks the feed per item
// grows by sixteen.
const double most_growth = 4.5;

class FeedWork : public ParseStore {
 protected:
  void SetUp() override {
    ParseStore::SetUp();
    // As the program's: the tables of a large feed do not fit in it.
    memory_free(&scratch);
    scratch = memory_alloc(MEMORY_SCRATCH_SIZE, nullptr);
  }
  // An empty store and no feed.
  void restart() {
    TearDown();
    r = {};
    feed_id = 0;
    SetUp();
  }
  // The steps the fetch of the document takes.
  u64 steps_of(const std::string &document) {
    u64 before = reader_work_steps();
    fetch(document);
    return reader_work_steps() - before;
  }
  // Steps of the shape at n and at 4n items, each from an empty store; prepare runs first,
  // uncounted.
  void expect_linear(const char *shape, u32 n, const std::function<void(u32)> &prepare,
                     const std::function<std::string(u32)> &document, u32 expected_entries_at_n = 0) {
    u64 steps[2];
    for (u32 k = 0; k < 2; ++k) {
      restart();
      u32 size = k ? 4 * n : n;
      prepare(size);
      steps[k] = steps_of(document(size));
      if (k == 0 && expected_entries_at_n) {
        EXPECT_EQ(the_feed()->entry_count, expected_entries_at_n) << shape;
      }
      EXPECT_EQ(reader_check(&r), 0u) << shape;
    }
    EXPECT_GT(steps[0], 0u) << shape;
    EXPECT_LE((double)steps[1], most_growth * (double)steps[0]) << shape << ": " << steps[0] << " then " << steps[1];
  }
};

std::string rss(const std::string &items) { return "<rss><channel><title>t</title>" + items + "</channel></rss>"; }
std::string atom(const std::string &entries) { return "<feed><title>t</title><id>urn:f</id>" + entries + "</feed>"; }

// n items from first on, each made of the element the shape gives it.
std::string items(u32 first, u32 n, const std::function<std::string(u32)> &body, bool atom_entries = false) {
  std::string s;
  const char *open = atom_entries ? "<entry>" : "<item>", *close = atom_entries ? "</entry>" : "</item>";
  for (u32 i = first; i < first + n; ++i) s += open + body(i) + close;
  return s;
}

std::string rfc822_day(u32 i) {
  // Distinct and ascending with i: one minute apart from the start of 2020.
  date d = date_add(date{2020, 1, 1, 0, 0, 0, 0}, 0, 0, 0, 0, (s32)i, 0);
  static const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  snprintf(text, sizeof text, "%02u %s %04u %02u:%02u:%02u GMT", d.day, months[d.month - 1], d.year, d.hour, d.minute,
           d.second);
  return text;
}

auto nothing = [](u32) {};

}  // namespace

// Once the table of unique ids was half full (past 16,384) it switched off, and every later item
// walked, collected and sorted the feed: 50,000 of them took 112 s.
TEST_F(FeedWork, items_with_only_a_unique_id) {
  auto guid = [](u32 i) { return "<guid>urn:g:" + std::to_string(i) + "</guid>"; };
  expect_linear("rss guids", 5000, nothing, [&](u32 n) { return rss(items(0, n, guid)); }, 5000);
  auto id = [](u32 i) { return "<id>urn:e:" + std::to_string(i) + "</id>"; };
  expect_linear("atom ids", 5000, nothing, [&](u32 n) { return atom(items(0, n, id, true)); }, 5000);
}

// Items without a date or a unique id were each matched against every entry of the feed.
TEST_F(FeedWork, items_with_only_a_link_a_title_or_a_text) {
  auto link = [](u32 i) { return "<link>https://example.org/" + std::to_string(i) + "</link>"; };
  auto title = [](u32 i) { return "<title>Title " + std::to_string(i) + "</title>"; };
  auto text = [](u32 i) { return "<description>Text " + std::to_string(i) + "</description>"; };
  expect_linear("links", 2000, nothing, [&](u32 n) { return rss(items(0, n, link)); }, 2000);
  expect_linear("titles", 2000, nothing, [&](u32 n) { return rss(items(0, n, title)); }, 2000);
  expect_linear("texts", 2000, nothing, [&](u32 n) { return rss(items(0, n, text)); }, 2000);
}

// An update that repeats the feed's undated items and brings as many new ones, the way a feed
// without dates grows: each repeated one is known by the entries stored before.
TEST_F(FeedWork, growing_updates_of_undated_items) {
  auto link = [](u32 i) { return "<link>https://example.org/" + std::to_string(i) + "</link>"; };
  auto title = [](u32 i) { return "<title>Title " + std::to_string(i) + "</title>"; };
  auto text = [](u32 i) { return "<description>Text " + std::to_string(i) + "</description>"; };
  for (auto *body : {+link, +title, +text}) {
    expect_linear("rss update", 2000, [&](u32 n) { fetch(rss(items(0, n, body))); },
                  [&](u32 n) { return rss(items(0, 2 * n, body)); }, 4000);
  }
  // An Atom entry's link is its alternate Atom link.
  auto atom_link = [](u32 i) { return "<link href=\"https://example.org/" + std::to_string(i) + "\"/>"; };
  expect_linear("atom update", 2000, [&](u32 n) { fetch(atom(items(0, n, atom_link, true))); },
                [&](u32 n) { return atom(items(0, 2 * n, atom_link, true)); }, 4000);
}

// Every item of an update replaces the entry with its unique id: each replaced entry used to
// leave the feed's chain of entries by a walk along it.
TEST_F(FeedWork, updates_that_replace_every_entry) {
  auto dated = [](u32 later) {
    return [later](u32 i) {
      return "<guid>urn:g:" + std::to_string(i) + "</guid><pubDate>" + rfc822_day(i + later) + "</pubDate>";
    };
  };
  expect_linear("replacements", 2000, [&](u32 n) { fetch(rss(items(0, n, dated(0)))); },
                [&](u32 n) { return rss(items(0, n, dated(1000000))); }, 2000);
}

// Items known from the last fetch, each now with a category the store has never seen, beside as
// many stored entries with categories: each is dropped again, and undoing it once walked every
// link and category of the store.
TEST_F(FeedWork, dropped_items_that_made_new_categories) {
  auto with = [](const char *term) {
    return [term](u32 i) {
      return "<link>https://example.org/" + std::to_string(i) + "</link><category>" + term + std::to_string(i) +
             "</category>";
    };
  };
  expect_linear("dropped", 2000, [&](u32 n) { fetch(rss(items(0, n, with("kept ")))); },
                [&](u32 n) { return rss(items(0, n, with("fresh "))); }, 2000);
  EXPECT_EQ(r.categories.entry_count, 8000u);
}

// A small feed's update costs the same beside a store of n entries and of 4n.
TEST_F(FeedWork, a_small_update_does_not_grow_with_the_store) {
  auto mixed = [](u32 i) {
    std::string s = "<title>T " + std::to_string(i % 3) + "</title><category>c " + std::to_string(i) + "</category>";
    return i % 2 ? s + "<guid>g" + std::to_string(i) + "</guid><pubDate>01 Jan 2010 00:00:00 GMT</pubDate>" : s;
  };
  // The update's items are old or known, and those with a new category are undone.
  auto again = [](u32 i) {
    std::string s = "<title>T " + std::to_string(i % 3) + "</title><category>d " + std::to_string(i) + "</category>";
    return i % 2 ? s + "<guid>g" + std::to_string(i) + "</guid><pubDate>01 Jan 2010 00:00:00 GMT</pubDate>" : s;
  };
  u64 steps[2];
  for (u32 k = 0; k < 2; ++k) {
    restart();
    u32 n = k ? 20000 : 5000;
    feed *other = add_feed(feed_type_rss, "https://example.org/other");
    for (u32 i = 0; i < n; ++i) {
      entry *e = add_entry(other, make_date(2021, 1, 1), "o" + std::to_string(i));
      ASSERT_NE(e, nullptr);
      ASSERT_TRUE(
          link_category("topic " + std::to_string(i), link_kind_rss_entry_category, e->id, &e->rss.category_count));
    }
    fetch(rss(items(0, 10, mixed)));
    steps[k] = steps_of(rss(items(0, 10, again)));
    EXPECT_EQ(the_feed()->entry_count, 10u);
    EXPECT_EQ(reader_check(&r), 0u);
  }
  EXPECT_LE(steps[1], steps[0] * 5 / 4 + 16) << steps[0] << " then " << steps[1];
}

// Items that share a key: an update that sends again items known without a unique id that
// share their title (each with its own link), or that have only a text and the same one; and a
// document in which one unique id comes back again and again, each time newer, between items
// of their own. Every entry filed under the one key made the table's look-ups walk all those
// filed before it.
TEST_F(FeedWork, items_that_share_a_title_a_text_or_a_unique_id) {
  auto untitled = [](u32 i) { return "<title>Untitled</title><link>https://e.example/" + std::to_string(i) + "</link>"; };
  auto same_text = [](u32) { return std::string("<description>The same text</description>"); };
  for (auto *body : {+untitled, +same_text}) {
    expect_linear("update again", 2000, [&](u32 n) { fetch(rss(items(0, n, body))); },
                  [&](u32 n) { return rss(items(0, n, body)); }, 2000);
  }
  auto one_id_between_others = [](u32 i) {
    std::string id = i % 2 ? "urn:b:" + std::to_string(i) : "urn:a";
    return "<guid>" + id + "</guid><pubDate>" + rfc822_day(i) + "</pubDate>";
  };
  expect_linear("one id between others", 2000, nothing, [&](u32 n) { return rss(items(0, n, one_id_between_others)); },
                1001);
}

// Printing the store walked every relation link and Atom link of the store for each entry:
// 50,000 Atom entries with a link, a category and an author took 53 s.
TEST_F(FeedWork, printing_entries_with_links_categories_and_authors) {
  auto linked = [](u32 i) {
    return "<id>urn:e:" + std::to_string(i) + "</id><updated>2024-01-01T00:00:00Z</updated><link href=\"https://e.example/" +
           std::to_string(i) + "\"/><category term=\"c" + std::to_string(i % 50) + "\"/><author><name>A " +
           std::to_string(i % 20) + "</name></author>";
  };
  u64 steps[2];
  for (u32 k = 0; k < 2; ++k) {
    restart();
    u32 n = k ? 8000 : 2000;
    fetch(atom(items(0, n, linked, true)));
    ASSERT_EQ(the_feed()->entry_count, n);
    buffer out = memory_alloc(MiB(16), nullptr);
    u64 before = reader_work_steps();
    EXPECT_TRUE(reader_print_feeds(&r, &out));
    steps[k] = reader_work_steps() - before;
    memory_free(&out);
  }
  EXPECT_LE((double)steps[1], most_growth * (double)steps[0]) << steps[0] << " then " << steps[1];
}
