// A store with its code-point set, and helpers that build records the way the parser does.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "reader/reader.h"
#include "reader/save.h"

inline buffer text_of(const std::string &s) { return string_from_bytes(s.data(), s.size()); }
inline std::string to_std(buffer b) { return std::string((const char *)b.data, b.used); }

class Store : public ::testing::Test {
 protected:
  reader r = {};
  codepoint_set set = {};
  buffer set_memory = {};
  // What SetUp builds the store with; tests of the limits make it small and rebuild.
  reader_capacity capacity = reader_default_capacity;

  void SetUp() override {
    u32 error = 0;
    reader_init_sized(&r, &capacity, &error);
    ASSERT_EQ(error, 0u);
    set_memory = memory_alloc(CODEPOINT_SET_MEMORY, nullptr);
    ASSERT_TRUE(codepoint_set_init(&set, &set_memory));
    r.codepoints = &set;
  }
  void TearDown() override {
    reader_destroy(&r);
    memory_free(&set_memory);
  }
  // An empty store with these capacities in place of the one the test had.
  void rebuild(const reader_capacity &c) {
    Store::TearDown();
    r = {};
    set = {};
    capacity = c;
    Store::SetUp();
  }

  // What an exit and the next start do to the store: its save image, loaded into a fresh store.
  void start_again_from_save() {
    buffer image = reader_write_image(&r);
    ASSERT_NE(image.data, nullptr);
    Store::TearDown();
    r = {};
    set = {};
    Store::SetUp();
    EXPECT_TRUE(reader_read_bytes(&r, image.data, image.used));
    memory_free(&image);
  }

  feed *add_feed(u32 type, const std::string &url = "") {
    feed *f = reader_new_feed(&r, type);
    if (!f) return nullptr;
    f->url = reader_add_string(&r, text_of(url.empty() ? "https://example.org/" + std::to_string(f->id) : url));
    reader_feed_url_changed(&r, f);
    EXPECT_NE(reader_new_meta(&r, f->id), nullptr);
    return f;
  }

  // An attached entry with a date (RSS pubDate, Atom published or updated).
  entry *add_entry(feed *f, date d = {}, const std::string &guid = "", bool atom_updated_only = false) {
    entry *e = reader_new_entry(&r);
    if (!e) return nullptr;
    e->type = f->type & feed_type_mask;
    if (feed_get_type(f) == feed_type_rss) {
      e->rss.pubDate = d;
      e->rss.guid = reader_add_string(&r, text_of(guid));
    } else {
      if (atom_updated_only) {
        e->atom.updated = d;
      } else {
        e->atom.published = d;
        e->atom.updated = d;
      }
      e->atom.atom_id = reader_add_string(&r, text_of(guid));
    }
    reader_attach_entry(&r, f, e);
    return e;
  }

  bool link_category(const std::string &term, u32 kind, u32 owner, u32 *count, const std::string &scheme = "") {
    category c = {};
    c.term = text_of(term);
    c.scheme = text_of(scheme);
    return reader_add_category_link(&r, &c, kind, owner, count);
  }
  bool link_person(const std::string &name, u32 kind, u32 owner, u32 *count) {
    person p = {};
    p.name = text_of(name);
    return reader_add_person_link(&r, &p, kind, owner, count);
  }
};

// Capacities small enough for a test to fill every pool in moments.
inline reader_capacity small_capacity() { return reader_capacity{20, 60, 40, 30, 25, 100, 20, MiB(64)}; }

inline date make_date(u16 y, u8 mo, u8 d, u8 h = 0, u8 mi = 0, u8 s = 0) { return date{y, mo, d, h, mi, s, 0}; }

// A document of the sample folder, whole; empty when it cannot be read.
inline std::string read_test_feed(const std::string &name) {
  std::ifstream in(std::string(QM_TEST_DATA) + "/feeds/" + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A store and the scratch a parse takes its temporary memory from.
class ParseStore : public Store {
 protected:
  buffer scratch = {};
  u32 feed_id = 0;  // the feed the fetches fill

  // One fetch as the program does it: a new generation, the parse (an update of the feed once
  // there is one), the sort of the feed's entries.
  void fetch(const std::string &document) {
    r.generation += 1;
    feed *f = feed_id ? reader_find_feed(&r, feed_id) : nullptr;
    u32 error = 0;
    f = feed_parse(&scratch, &r, text_of(document), text_of("https://example.org/feed.xml"), f, &error);
    ASSERT_EQ(error, 0u);
    ASSERT_NE(f, nullptr);
    feed_id = f->id;
    reader_sort_feed_entries(&r, f);
  }
  feed *the_feed() { return reader_find_feed(&r, feed_id); }

  void SetUp() override {
    Store::SetUp();
    scratch = memory_alloc(MiB(8), nullptr);
    ASSERT_NE(scratch.data, nullptr);
  }
  void TearDown() override {
    memory_free(&scratch);
    Store::TearDown();
  }
};
