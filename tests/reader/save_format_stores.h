// Stores whose save files are kept with the tests, written by the program before the writer wrote
// in pieces: their bytes pin the file format. Each is built the same way every time.
#pragma once

#include <random>

#include "tests/reader/save_fixture.h"

class SaveFormat : public SaveStore {
 protected:
  entry *entry_in_slot(u32 slot) { return (entry *)pool_get(&r.entries, sizeof(entry), slot); }
  feed *feed_in_slot(u32 slot) { return (feed *)pool_get(&r.feeds, sizeof(feed), slot); }
  buffer add(const std::string &text) { return reader_add_string(&r, text_of(text)); }

  // Every kind of record, then a deleted feed (ids and generations to renumber), a marked entry,
  // a replaced text (garbage in the arena) and a link whose owner is gone.
  void build_rich() {
    fill_rich(&r, 4, 5);
    reader_delete_feed(&r, feed_in_slot(0));
    entry_mark_deleted(entry_in_slot(7));
    feed *second = feed_in_slot(1);
    second->url = add("https://example.org/moved/1");
    reader_feed_url_changed(&r, second);
    category orphan = {};
    orphan.term = lit("orphan");
    u32 count = 0;
    reader_add_category_link(&r, &orphan, link_kind_rss_feed_category, 999, &count);
  }

  // Texts whose sequences run across the ends of texts, broken and control bytes, and texts whose
  // places in the arena are not the file's order.
  static std::string utf8_of(u32 c) {
    std::string s;
    if (c < 0x10000) {
      s += (char)(0xE0 | c >> 12);
    } else {
      s += (char)(0xF0 | c >> 18);
      s += (char)(0x80 | (c >> 12 & 0x3F));
    }
    s += (char)(0x80 | (c >> 6 & 0x3F));
    s += (char)(0x80 | (c & 0x3F));
    return s;
  }
  void build_boundaries() {
    feed *f = add_feed(feed_type_rss, "https://example.org/edges");
    ASSERT_NE(f, nullptr);
    // Each text ends with the first bytes of a code point that no other text holds whole (none of
    // them built in) and the next text begins with the rest; now and then a text holds nothing
    // but one byte of the middle, so a code point runs across three texts.
    std::string rest;
    u32 n = 0;
    auto next_text = [&](const std::string &middle) {
      if (n % 7 == 3 && rest.size() >= 2) {
        std::string one = rest.substr(0, 1);
        rest = rest.substr(1);
        ++n;
        return one;
      }
      std::string s = rest + middle;
      std::string sequence = utf8_of(n % 2 ? 0x1F300 + n : 0x4E00 + n);
      u64 cut = 1 + n % (sequence.size() - 1);
      s += sequence.substr(0, cut);
      rest = sequence.substr(cut);
      ++n;
      return s;
    };
    const std::string nul("a\0b", 3);
    const std::vector<std::string> middles = {"plain", "\x01\x7F", nul, "\xFF\xFE", "\xED\xA0\x80", "",
                                              "\xC0\xAF", "\xF4\x90\x80\x80", "\x80\x80lone", "caf\xC3\xA9 \xE2\x82"};
    for (u32 round = 0; round < 6; ++round) {
      r.generation = 1 + round % 3;
      entry *e = reader_new_entry(&r);
      ASSERT_NE(e, nullptr);
      e->type = feed_type_rss;
      e->rss.pubDate = make_date(2024, 3, 1 + (u8)round);
      buffer *slots[10] = {&e->rss.title,          &e->rss.link,          &e->rss.description, &e->rss.author,
                           &e->rss.comments,       &e->rss.enclosure_url, &e->rss.enclosure_type, &e->rss.guid,
                           &e->rss.source,         &e->rss.source_url};
      std::string texts[10];
      for (u32 i = 0; i < 10; ++i) texts[i] = next_text(middles[(i + round) % middles.size()]);
      // Every other entry has its texts stored last field first, so the arena runs backwards.
      for (u32 i = 0; i < 10; ++i) {
        u32 k = round % 2 ? 9 - i : i;
        *slots[k] = add(texts[k]);
      }
      reader_attach_entry(&r, f, e);
    }
    r.link_openers[0].name = add(next_text("opener"));
    r.link_openers[0].program = add(next_text("program"));
    r.link_openers[2].queue = add(rest + "\xE2\x82");
  }

  // A store past the writer's pieces: long texts of mixed scripts, one of several MiB, texts
  // replaced so that the arena holds garbage between them and runs out of the file's order.
  void build_large() {
    std::mt19937 rng(20240601);
    const char *words[] = {"feed", "entry", "caf\xC3\xA9", "Z\xC3\xBCrich", "\xE2\x80\x94", "\xE4\xB8\xAD\xE6\x96\x87",
                           "\xF0\x9F\x98\x80", "line\n", "tab\t", "<p>", "</p>", "https://example.org/x"};
    auto text = [&](size_t bytes) {
      std::string s;
      while (s.size() < bytes) s += std::string(words[rng() % 12]) + " ";
      return s;
    };
    r.generation = 1;
    for (u32 i = 0; i < 30; ++i) {
      u32 type = i % 3 ? feed_type_rss : feed_type_atom;
      feed *f = add_feed(type, "https://example.org/large/" + std::to_string(i));
      ASSERT_NE(f, nullptr);
      for (u32 k = 0; k < 100; ++k) {
        date d = make_date(2024, 1 + (u8)(k % 12), 1 + (u8)(k % 28));
        entry *e = add_entry(f, d, "large/" + std::to_string(i * 100 + k));
        ASSERT_NE(e, nullptr);
        std::string body = text(2000 + rng() % 4000);
        if (type == feed_type_rss) {
          e->rss.title = add(text(40));
          e->rss.description = add(body);
        } else {
          e->atom.title = add(text(40));
          e->atom.content = add(body);
        }
      }
      r.generation += i % 7 == 6;
    }
    entry *big = entry_in_slot(1134);  // an RSS feed's
    big->rss.description = add(text(MiB(3)));
    for (u32 slot = 5; slot < r.entries.high_water; slot += 97) {
      entry *e = entry_in_slot(slot);
      (entry_get_type(e) == feed_type_rss ? e->rss.title : e->atom.title) = add("replaced " + text(60));
    }
  }
};
