// The document step of feed parsing: the XML memory kept in the reader from one document to the
// next and given back once unused, the bound on one document's tree, and white space a
// server puts before the XML declaration.
#include <gmock/gmock.h>

#include <fstream>
#include <sstream>

#include "store_fixture.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char *const sample_feeds[] = {"atom_full.xml", "atom_update.xml", "bare_channel.xml", "rss1.xml",
                                    "rss2_full.xml", "rss2_update.xml", "rss_undated.xml", "youtube.xml",
                                    "youtube_update.xml"};

// An RSS feed of n items, each with the usual children, indented as servers write them.
std::string rss_of(u32 items, const std::string &before = "") {
  std::string d = before + "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\"><channel>\n"
                           "  <title>T</title>\n  <link>https://example.org/</link>\n";
  for (u32 i = 0; i < items; i++) {
    std::string n = std::to_string(i);
    d += "  <item>\n    <title>Item " + n + "</title>\n    <link>https://example.org/" + n +
         "</link>\n    <guid isPermaLink=\"false\">g" + n +
         "</guid>\n    <category>a</category>\n    <category>b</category>\n"
         "    <pubDate>Mon, 01 Jan 2024 10:00:00 GMT</pubDate>\n  </item>\n";
  }
  return d + "</channel></rss>\n";
}

class FeedIngest : public ParseStore {
 protected:
  u64 log_mark = 0;

  void SetUp() override {
    ParseStore::SetUp();
    log_mark = log_last_text().used;
  }
  // A new feed from the document; the error word.
  u32 parse(const std::string &document, const std::string &url = "https://example.org/feed.xml") {
    u32 error = 0;
    feed_parse(&scratch, &r, text_of(document), text_of(url), nullptr, &error);
    return error;
  }
  std::string log_since() {
    buffer all = log_last_text();
    std::string s((const char *)all.data + log_mark, all.used - log_mark);
    log_mark = all.used;
    return s;
  }
  u64 live_feeds() {
    u64 n = 0;
    for (u32 i = 0; i < r.feeds.high_water; ++i) {
      feed *f = (feed *)pool_get(&r.feeds, sizeof(feed), i);
      n += feed_is_live(f);
    }
    return n;
  }
};

}  // namespace

TEST_F(FeedIngest, one_reservation_serves_every_document_and_keeps_its_pages_while_they_are_used) {
  ASSERT_EQ(parse(rss_of(3)), 0u);
  u8 *nodes = r.xml.nodes.memory.data, *strings = r.xml.strings.memory.data;
  ASSERT_NE(nodes, nullptr);
  u64 small_commit = r.xml.nodes.memory.used;
  // A feed whose tree takes far more than a small one.
  std::string large = rss_of(5000);
  u64 large_need = 0;
  {
    xml_memory m = {};
    ASSERT_TRUE(xml_memory_reserve(&m, large.size()));
    xml_parser p;
    xml_error e = 0;
    xml_parse_reserved(&p, &m, text_of(large), &e);
    ASSERT_EQ(e, 0u);
    large_need = p.nodes.used;
    ASSERT_GT(large_need, 2 * (u64)MiB(8));
    xml_memory_release(&m);
  }
  ASSERT_EQ(parse(large, "https://example.org/large.xml"), 0u);
  EXPECT_GE(r.xml.nodes.memory.used, large_need);
  // The pages stay while parses keep coming that may need them again: a second pass over the
  // same documents faults nothing in.
  for (u32 i = 1; i < XML_MEMORY_IDLE_PARSES; ++i)
    ASSERT_EQ(parse(rss_of(3), "https://example.org/" + std::to_string(i)), 0u);
  EXPECT_GE(r.xml.nodes.memory.used, large_need);
  for (const char *name : sample_feeds) EXPECT_EQ(parse(read_test_feed(name), std::string("https://example.org/") + name), 0u) << name;
  EXPECT_EQ(r.xml.nodes.memory.data, nodes);
  EXPECT_EQ(r.xml.strings.memory.data, strings);
  // Once no parse has needed them for a while, they go back.
  for (u32 i = 0; i <= XML_MEMORY_IDLE_PARSES; ++i)
    ASSERT_EQ(parse(rss_of(3), "https://example.org/again/" + std::to_string(i)), 0u);
  EXPECT_LE(r.xml.nodes.memory.used, (u64)MiB(2));
  EXPECT_LE(r.xml.strings.memory.used, (u64)MiB(2));
  EXPECT_GE(r.xml.nodes.memory.used, small_commit);  // what small documents need stays
  EXPECT_EQ(live_feeds(), 2u + 2 * XML_MEMORY_IDLE_PARSES + sizeof sample_feeds / sizeof *sample_feeds);
}

// Real feeds hold text between their tags: those tried took at most 18 times their size in nodes
// (small ones, below the smallest limit) and 10 times above 32 KiB.
TEST_F(FeedIngest, the_sample_feeds_parse_well_inside_the_tree_factor) {
  for (const char *name : sample_feeds) {
    std::string doc = read_test_feed(name);
    ASSERT_FALSE(doc.empty()) << name;
    xml_memory m = {};
    ASSERT_TRUE(xml_memory_reserve(&m, doc.size()));
    // Two thirds of the factor, without the smallest limit, is enough for each.
    arena_set_limit(&m.nodes, align_up(doc.size() * XML_TREE_LIMIT_FACTOR * 2 / 3, memory_page_size));
    xml_parser p;
    xml_error e = 0;
    xml_parse_reserved(&p, &m, text_of(doc), &e);
    EXPECT_EQ(e, 0u) << name;
    xml_memory_release(&m);
  }
}

TEST(xml_memory, the_tree_limit_follows_the_document_between_its_bounds) {
  EXPECT_EQ(xml_memory_node_limit(0), (u64)XML_TREE_LIMIT_MIN);
  EXPECT_EQ(xml_memory_node_limit(XML_TREE_LIMIT_MIN / XML_TREE_LIMIT_FACTOR), (u64)XML_TREE_LIMIT_MIN);
  EXPECT_EQ(xml_memory_node_limit(XML_TREE_LIMIT_MIN / XML_TREE_LIMIT_FACTOR + 1),
            (u64)XML_TREE_LIMIT_MIN + XML_TREE_LIMIT_FACTOR);
  EXPECT_EQ(xml_memory_node_limit(MiB(16)), (u64)XML_TREE_LIMIT_FACTOR * MiB(16));
  EXPECT_EQ(xml_memory_node_limit(XML_TREE_LIMIT_MAX / XML_TREE_LIMIT_FACTOR), (u64)XML_TREE_LIMIT_MAX);
  EXPECT_EQ(xml_memory_node_limit(HTTP_BODY_MAX), (u64)XML_TREE_LIMIT_MAX);
  EXPECT_EQ(xml_memory_node_limit(GiB(1)), (u64)XML_TREE_LIMIT_MAX);

  // Prepared for a small document after a large one, the committed pages stay while the small
  // one may use no more than its limit, and a document larger than the reservation is refused.
  xml_memory m = {};
  ASSERT_TRUE(xml_memory_reserve(&m, MiB(4)));
  ASSERT_TRUE(memory_commit(&m.nodes.memory, MiB(3)));
  ASSERT_TRUE(xml_memory_prepare(&m, 100));
  EXPECT_EQ(m.nodes.limit, (u64)XML_TREE_LIMIT_MIN);
  EXPECT_EQ(arena_view(&m.nodes).size, (u64)XML_TREE_LIMIT_MIN);
  EXPECT_EQ(m.nodes.memory.used, (u64)MiB(3));
  ASSERT_TRUE(xml_memory_prepare(&m, MiB(4)));
  EXPECT_EQ(arena_view(&m.nodes).size, (u64)MiB(3));
  EXPECT_FALSE(xml_memory_prepare(&m, MiB(4) + 1));
  xml_memory_trim(&m, 0);
  EXPECT_EQ(m.nodes.memory.used, 0u);
  EXPECT_EQ(arena_view(&m.nodes).size, 0u);
  xml_memory_release(&m);
  EXPECT_EQ(m.nodes.memory.data, nullptr);
}

// Between parses, what lies above the bound goes back at once, and what the last parses did not
// need goes back once a run of them has passed; nothing they needed does.
TEST(xml_memory, settling_keeps_what_recent_parses_needed_within_the_bound) {
  xml_memory m = {};
  ASSERT_TRUE(xml_memory_reserve(&m, MiB(64)));
  ASSERT_GT(m.nodes.memory.size, (u64)XML_MEMORY_KEEP_MAX);
  // A parse that used so much, as the parse records it, then the settle after it.
  auto after_parse = [&](u64 nodes, u64 strings) {
    if (nodes > m.node_high) m.node_high = nodes;
    if (strings > m.string_high) m.string_high = strings;
    xml_memory_settle(&m);
  };
  ASSERT_TRUE(memory_commit(&m.nodes.memory, XML_MEMORY_KEEP_MAX + MiB(3)));
  ASSERT_TRUE(memory_commit(&m.strings.memory, MiB(5)));
  after_parse(XML_MEMORY_KEEP_MAX + MiB(2), MiB(5));
  EXPECT_EQ(m.nodes.memory.used, (u64)XML_MEMORY_KEEP_MAX);
  EXPECT_EQ(m.strings.memory.used, (u64)MiB(5));
  while (m.parses != 0) after_parse(KiB(100), KiB(10));
  EXPECT_EQ(m.nodes.memory.used, (u64)XML_MEMORY_KEEP_MAX) << "the run needed all of it";
  // A run in which one parse needs a little over 7 MiB and the others less: 8 MiB stay, in
  // whole steps, and nothing goes before the run is over.
  for (u32 i = 0; i < XML_MEMORY_IDLE_PARSES; ++i) {
    after_parse(i == 3 ? MiB(7) + 1 : KiB(100), KiB(10));
    if (i + 1 < XML_MEMORY_IDLE_PARSES) {
      ASSERT_EQ(m.nodes.memory.used, (u64)XML_MEMORY_KEEP_MAX) << i;
    }
  }
  EXPECT_EQ(m.nodes.memory.used, (u64)MiB(8));
  EXPECT_EQ(m.strings.memory.used, (u64)MiB(1));
  // The window of the next parse never reaches past what is committed.
  EXPECT_LE(arena_view(&m.nodes).size, m.nodes.memory.used);
  xml_memory_release(&m);
}

// A document of empty elements makes a node of almost 200 bytes per 4 input bytes: without a
// bound, 20 MB of them took 926 MB, and a body at the download limit would take 3 GB.
TEST_F(FeedIngest, a_dense_document_stops_at_the_tree_limit_with_a_log_line_naming_it) {
  // A large feed before it leaves more memory committed than the dense one may use: the limit
  // holds all the same.
  ASSERT_EQ(parse(rss_of(5000), "https://example.org/large.xml"), 0u);
  std::string dense = "<?xml version=\"1.0\"?><rss><channel>";
  while (dense.size() < KiB(256)) dense += "<a/>";
  dense += "</channel></rss>";
  u64 limit = align_up(xml_memory_node_limit(dense.size()), memory_page_size);
  ASSERT_GT(r.xml.nodes.memory.used, limit);
  log_since();
  EXPECT_EQ(parse(dense), (u32)feed_error_parser_error);
  std::string log = log_since();
  EXPECT_EQ(r.xml.nodes.limit, limit);
  u64 limit_kib = limit >> 10;
  EXPECT_THAT(log, HasSubstr("Feed error: the document's tree passed its memory limit of " +
                             std::to_string(limit_kib) + " KiB (32 times the document's size, at least 1 MiB, at most 512 MiB)."));
  EXPECT_THAT(log, HasSubstr("xml_error_out_of_node_memory"));
  EXPECT_THAT(log, Not(HasSubstr("is reached; what does not fit is left out"))) << "one report, the feed's";
  EXPECT_EQ(live_feeds(), 1u);
  // The next document parses.
  EXPECT_EQ(parse(rss_of(2)), 0u);
  EXPECT_THAT(log_since(), Not(HasSubstr("memory limit")));
}

TEST_F(FeedIngest, white_space_before_the_declaration_is_skipped_and_a_mark_kept) {
  std::string plain = rss_of(1);
  std::string bom = "\xEF\xBB\xBF";
  const std::string spaced[] = {"\n" + plain, "\r\n\r\n \t" + plain, bom + "\n\n" + plain, bom + " " + plain};
  for (const std::string &doc : spaced) {
    std::string copy = doc;
    EXPECT_EQ(parse(doc), 0u) << doc.substr(0, 8);
    EXPECT_EQ(doc, copy);  // the caller's bytes are not touched
  }
  EXPECT_EQ(live_feeds(), 4u);

  // UTF-16 with its mark: the spaces are units of two bytes.
  auto utf16le = [](const std::string &ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) out += std::string(1, c) + std::string(1, '\0');
    return out;
  };
  std::string wide = utf16le("\n\n" + rss_of(1));
  wide.replace(wide.find("U\0T\0F\0-\0" "8", 0, 9), 9, std::string("U\0T\0F\0-\0" "1\0" "6", 11));
  EXPECT_EQ(parse(wide, "https://example.org/wide.xml"), 0u);
  EXPECT_EQ(live_feeds(), 5u);
}

TEST_F(FeedIngest, only_white_space_before_a_declaration_is_skipped) {
  // Anything else before it, or spaces before something that is no declaration, reaches the
  // parser as it was sent, and the parser judges it as before.
  std::string plain = rss_of(1);
  u32 error = parse("x\n" + plain);
  EXPECT_EQ(error, (u32)feed_error_parser_error);
  EXPECT_EQ(parse("\n\xC2\xA0" + plain), (u32)feed_error_parser_error);  // no-break space is no XML space
  EXPECT_THAT(log_since(), HasSubstr("xml_error_"));
  // "<?xml-stylesheet" is a processing instruction: spaces before it are already allowed.
  EXPECT_EQ(parse("\n<?xml-stylesheet href=\"a.css\"?><rss><channel><title>T</title></channel></rss>"), 0u);
  // Spaces before the root without a declaration are allowed by XML and stay.
  EXPECT_EQ(parse("\n\n<rss><channel><title>T</title></channel></rss>", "https://example.org/2"), 0u);
  // Only spaces: nothing to parse.
  EXPECT_EQ(parse("\n\n  "), (u32)feed_error_parser_error);
  EXPECT_EQ(parse("\xEF\xBB\xBF\n"), (u32)feed_error_parser_error);
}
