#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "reader/url.h"
#include "tests/reader/store_fixture.h"

namespace {

std::string resolve(const std::string &base, const std::string &reference) {
  u8 bytes[1024];
  buffer out = buffer_make(sizeof bytes, 0, bytes);
  buffer r = url_resolve(text_of(base), text_of(reference), &out);
  EXPECT_EQ(r.used, out.used);
  return to_std(r);
}

const char *const example_base = "http://a/b/c/d;p?q";

TEST(url_resolve, normal_examples_of_the_generic_syntax) {
  std::vector<std::pair<std::string, std::string>> cases = {
      {"g:h", "g:h"},
      {"g", "http://a/b/c/g"},
      {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"},
      {"//g", "http://g"},
      {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},
      {"#s", "http://a/b/c/d;p?q#s"},
      {"g#s", "http://a/b/c/g#s"},
      {"g?y#s", "http://a/b/c/g?y#s"},
      {";x", "http://a/b/c/;x"},
      {"g;x", "http://a/b/c/g;x"},
      {"g;x?y#s", "http://a/b/c/g;x?y#s"},
      {"", "http://a/b/c/d;p?q"},
      {".", "http://a/b/c/"},
      {"./", "http://a/b/c/"},
      {"..", "http://a/b/"},
      {"../", "http://a/b/"},
      {"../g", "http://a/b/g"},
      {"../..", "http://a/"},
      {"../../", "http://a/"},
      {"../../g", "http://a/g"},
  };
  for (auto &[reference, expected] : cases) EXPECT_EQ(resolve(example_base, reference), expected) << reference;
}

TEST(url_resolve, abnormal_examples_of_the_generic_syntax) {
  std::vector<std::pair<std::string, std::string>> cases = {
      {"../../../g", "http://a/g"},
      {"../../../../g", "http://a/g"},
      {"/./g", "http://a/g"},
      {"/../g", "http://a/g"},
      {"g.", "http://a/b/c/g."},
      {".g", "http://a/b/c/.g"},
      {"g..", "http://a/b/c/g.."},
      {"..g", "http://a/b/c/..g"},
      {"./../g", "http://a/b/g"},
      {"./g/.", "http://a/b/c/g/"},
      {"g/./h", "http://a/b/c/g/h"},
      {"g/../h", "http://a/b/c/h"},
      {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
      {"g;x=1/../y", "http://a/b/c/y"},
      {"g?y/./x", "http://a/b/c/g?y/./x"},
      {"g?y/../x", "http://a/b/c/g?y/../x"},
      {"g#s/./x", "http://a/b/c/g#s/./x"},
      {"g#s/../x", "http://a/b/c/g#s/../x"},
      {"http:g", "http:g"},
  };
  for (auto &[reference, expected] : cases) EXPECT_EQ(resolve(example_base, reference), expected) << reference;
}

TEST(url_resolve, addresses_found_in_feeds) {
  std::string base = "https://blog.example/2024/05/post.html?utm=x#top";
  EXPECT_EQ(resolve(base, "/img/a.png"), "https://blog.example/img/a.png");
  EXPECT_EQ(resolve(base, "//cdn.example/a.png"), "https://cdn.example/a.png");
  EXPECT_EQ(resolve(base, "a.png"), "https://blog.example/2024/05/a.png");
  EXPECT_EQ(resolve(base, "../x"), "https://blog.example/2024/x");
  EXPECT_EQ(resolve(base, "?q"), "https://blog.example/2024/05/post.html?q");
  EXPECT_EQ(resolve(base, "#f"), "https://blog.example/2024/05/post.html?utm=x#f");
  // Markup often wraps the value in blanks; an absolute URL keeps its own scheme and host.
  EXPECT_EQ(resolve(base, "\n  https://other.example/b.png \t"), "https://other.example/b.png");
  EXPECT_EQ(resolve(base, "HTTP://Other.example/b.png"), "HTTP://Other.example/b.png");
  EXPECT_EQ(resolve(base, "mailto:a@b.example"), "mailto:a@b.example");
  // A host without a path: the merge starts at the root.
  EXPECT_EQ(resolve("https://example.org", "a.png"), "https://example.org/a.png");
  EXPECT_EQ(resolve("https://example.org", "../../a.png"), "https://example.org/a.png");
  EXPECT_EQ(resolve("http://example.org/feed/", "//cdn.example/a.png"), "http://cdn.example/a.png");
  // A segment that only looks like a scheme after a '/' is a path.
  EXPECT_EQ(resolve(base, "./a:b.png"), "https://blog.example/2024/05/a:b.png");
  EXPECT_EQ(resolve(base, "images/x:y"), "https://blog.example/2024/05/images/x:y");
}

TEST(url_resolve, without_a_usable_base) {
  // Protocol-relative takes https; anything else cannot be placed and stays as it was.
  EXPECT_EQ(resolve("", "//cdn.example/a.png"), "https://cdn.example/a.png");
  EXPECT_EQ(resolve("example.org/feed", "//cdn.example/a.png"), "https://cdn.example/a.png");
  EXPECT_EQ(resolve("", "/img/a.png"), "/img/a.png");
  EXPECT_EQ(resolve("not a url", " a.png "), "a.png");
  EXPECT_EQ(resolve("", "https://x.example/"), "https://x.example/");
}

TEST(url_resolve, a_result_that_does_not_fit_leaves_the_output_unchanged) {
  std::string expected = "http://a/b/c/g";
  for (u64 room = 0; room <= expected.size() + 1; room++) {
    u8 bytes[64];
    memset(bytes, '#', sizeof bytes);
    buffer out = buffer_make(room + 3, 3, bytes);
    buffer r = url_resolve(text_of(example_base), text_of("g"), &out);
    if (room < expected.size()) {
      EXPECT_EQ(r.data, nullptr) << room;
      EXPECT_EQ(out.used, 3u) << room;
    } else {
      EXPECT_EQ(to_std(r), expected) << room;
      EXPECT_EQ(r.data, bytes + 3);
    }
  }
}

TEST(url_resolve, dot_segments_never_climb_above_the_root_and_match_a_model) {
  // A model of dot-segment removal over a list of segments, against random paths of a few
  // segment kinds: the in-place removal must agree with it.
  const char *pieces[] = {"a", "b", ".", "..", "", "c.d", "..e"};
  std::mt19937 rng(19);
  for (int round = 0; round < 2000; round++) {
    std::vector<std::string> segs;
    int n = 1 + (int)(rng() % 6);
    for (int i = 0; i < n; i++) segs.push_back(pieces[rng() % 7]);
    // The first segment is never empty: "//" would start an authority.
    std::string path = "/r";
    for (auto &s : segs) path += "/" + s;
    std::vector<std::string> stack = {"r"};
    for (size_t i = 0; i < segs.size(); i++) {
      bool last = i + 1 == segs.size();
      if (segs[i] == ".") {
        if (last) stack.push_back("");
      } else if (segs[i] == "..") {
        if (!stack.empty()) stack.pop_back();
        if (last) stack.push_back("");
      } else {
        stack.push_back(segs[i]);
      }
    }
    std::string expected = "http://h";
    for (auto &s : stack) expected += "/" + s;
    if (stack.empty()) expected += "/";
    EXPECT_EQ(resolve("http://h/x/y", path), expected) << path;
  }
}

// ---- The base of an entry ----------------------------------------------------------------

struct entry_base : Store {
  std::string base(feed *f, entry *e) {
    u8 bytes[512];
    buffer out = buffer_make(sizeof bytes, 0, bytes);
    buffer b = reader_entry_base_url(&r, f, e, &out);
    EXPECT_EQ(b.data, bytes);
    EXPECT_EQ(out.used, b.used);
    return to_std(b);
  }
  void atom_link_to(u32 kind, u32 owner, u32 *count, u32 rel, const std::string &href) {
    atom_link *l = reader_new_atom_link(&r, kind, owner, count);
    ASSERT_NE(l, nullptr);
    l->rel = rel;
    l->href = reader_add_string(&r, text_of(href));
  }
};

TEST_F(entry_base, rss_entry_link_then_feed_link_then_the_fetched_address) {
  feed *f = add_feed(feed_type_rss, "https://feeds.example/blog/rss.xml");
  entry *e = add_entry(f, {}, "tag:example,2024:1");
  EXPECT_EQ(base(f, e), "https://feeds.example/blog/rss.xml");
  f->rss.link = reader_add_string(&r, text_of("/home/"));
  EXPECT_EQ(base(f, e), "https://feeds.example/home/");
  e->rss.isPermaLink = 1;
  e->rss.guid = reader_add_string(&r, text_of("https://blog.example/p/1"));
  EXPECT_EQ(base(f, e), "https://blog.example/p/1");
  e->rss.link = reader_add_string(&r, text_of("posts/2.html"));
  EXPECT_EQ(base(f, e), "https://feeds.example/home/posts/2.html");
  EXPECT_EQ(base(f, nullptr), "https://feeds.example/home/");
}

TEST_F(entry_base, atom_alternate_links_of_the_entry_and_of_the_feed) {
  feed *f = add_feed(feed_type_atom, "https://example.org/atom.xml");
  entry *e = add_entry(f);
  atom_link_to(atom_link_owner_feed, f->id, &f->atom.atom_link_count, atom_link_rel_self,
               "https://example.org/atom.xml");
  atom_link_to(atom_link_owner_feed, f->id, &f->atom.atom_link_count, atom_link_rel_alternate,
               "https://www.example.org/");
  EXPECT_EQ(base(f, e), "https://www.example.org/");
  atom_link_to(atom_link_owner_entry, e->id, &e->atom.atom_link_count, atom_link_rel_related,
               "https://elsewhere.example/");
  atom_link_to(atom_link_owner_entry, e->id, &e->atom.atom_link_count, atom_link_rel_alternate,
               "2024/entry");
  EXPECT_EQ(base(f, e), "https://www.example.org/2024/entry");
  EXPECT_EQ(resolve(base(f, e), "../img/a.png"), "https://www.example.org/img/a.png");
}

// ---- The article of an entry -------------------------------------------------------------

struct entry_article : ParseStore {};

// An id-like guid ("links1") beside a link once opened the guid, which no browser can show.
TEST_F(entry_article, the_guid_opens_only_when_it_is_a_web_address_else_the_link) {
  struct {
    const char *children;
    const char *opens;
  } cases[] = {
      {"<guid>links1</guid><link>https://x.example/a</link>", "https://x.example/a"},
      {"<link>https://x.example/a</link><guid>https://x.example/g1</guid>", "https://x.example/g1"},
      {"<guid>\n  HTTPS://x.example/g2 </guid><link>https://x.example/a</link>", "\n  HTTPS://x.example/g2 "},
      {"<guid>http://x.example</guid><link>https://x.example/a</link>", "http://x.example"},
      {"<guid isPermaLink=\"false\">https://x.example/g3</guid><link>https://x.example/a</link>",
       "https://x.example/a"},
      {"<guid isPermaLink=\"true\">links2</guid><link>https://x.example/a</link>", "https://x.example/a"},
      {"<guid>tag:x.example,2024:1</guid><link>https://x.example/a</link>", "https://x.example/a"},
      {"<guid>http:relative</guid><link>https://x.example/a</link>", "https://x.example/a"},
      {"<guid>https:///nohost</guid><link>https://x.example/a</link>", "https://x.example/a"},
      {"<guid>ftp://x.example/g4</guid><link>https://x.example/a</link>", "https://x.example/a"},
      {"<guid>/posts/1</guid><link>https://x.example/a</link>", "https://x.example/a"},
      {"<guid>links3</guid>", "links3"},  // nothing else to open
      {"<guid isPermaLink=\"false\">links4</guid>", ""},
      {"<link>https://x.example/b</link>", "https://x.example/b"},
  };
  std::string document = "<rss><channel>";
  for (auto &c : cases) document += std::string("<item><title>") + c.opens + "</title>" + c.children + "</item>";
  u32 error = 0;
  feed *f = feed_parse(&scratch, &r, text_of(document + "</channel></rss>"), text_of("https://x.example/rss"),
                       nullptr, &error);
  ASSERT_EQ(error, 0u);
  ASSERT_NE(f, nullptr);
  // A new store keeps its entries in document order.
  std::vector<entry *> entries;
  for (u32 k = 0; k < r.entries.high_water; ++k) {
    entry *e = (entry *)pool_get(&r.entries, sizeof(entry), k);
    if (entry_is_live(e) && e->feed_id == f->id) entries.push_back(e);
  }
  ASSERT_EQ(entries.size(), array_count(cases));
  for (u32 i = 0; i < entries.size(); i++) {
    entry *e = entries[i];
    EXPECT_EQ(to_std(reader_entry_article_link(&r, e)), cases[i].opens) << cases[i].children;
    buffer *field = reader_rss_article_field(e);
    EXPECT_TRUE(field == &e->rss.guid || field == &e->rss.link);
  }

  // Atom: the alternate link, whatever the id.
  const char *atom = "<feed><entry><id>https://x.example/id</id><updated>2024-01-01T00:00:00Z</updated>"
                     "<link rel=\"self\" href=\"https://x.example/self\"/><link href=\"https://x.example/alt\"/>"
                     "</entry></feed>";
  f = feed_parse(&scratch, &r, text_of(atom), text_of("https://x.example/atom"), nullptr, &error);
  ASSERT_EQ(error, 0u);
  entry *e = nullptr;
  for (u32 k = 0; k < r.entries.high_water && !e; ++k) {
    entry *c = (entry *)pool_get(&r.entries, sizeof(entry), k);
    if (entry_is_live(c) && c->feed_id == f->id) e = c;
  }
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(to_std(reader_entry_article_link(&r, e)), "https://x.example/alt");
}

}  // namespace
