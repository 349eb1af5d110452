// A store holding every kind of record, and helpers to compare stores by content.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "reader/save.h"
#include "tests/reader/store_fixture.h"

// A view of a literal that outlives the statement (text_of a temporary would not).
inline buffer lit(const char *s) { return string_from_bytes(s, strlen(s)); }

class SaveStore : public Store {
 protected:
  std::string folder;

  void SetUp() override {
    Store::SetUp();
    char t[] = "/tmp/qm_save_XXXXXX";
    folder = mkdtemp(t);
  }
  void TearDown() override {
    remove_folder(folder);
    Store::TearDown();
  }
  static void remove_folder(const std::string &path) {
    if (DIR *d = opendir(path.c_str())) {
      while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") unlink((path + "/" + n).c_str());
      }
      closedir(d);
    }
    rmdir(path.c_str());
  }
  std::vector<std::string> files() {
    std::vector<std::string> out;
    if (DIR *d = opendir(folder.c_str())) {
      while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') out.push_back(e->d_name);
      closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  static void write_file(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  }
  static std::string read_file(const std::string &path) {
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return out;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out.append(chunk, n);
    fclose(f);
    return out;
  }

  // Every record kind, texts with several scripts, a marked feed, openers with texts.
  void fill_rich(reader *into, int feeds = 3, int entries_per_feed = 4) {
    reader *saved_r = nullptr;
    (void)saved_r;
    for (int i = 0; i < feeds; ++i) {
      u32 type = (i % 2) ? feed_type_atom : feed_type_rss;
      feed *f = reader_new_feed(into, type);
      ASSERT_NE(f, nullptr);
      f->url = reader_add_string(into, text_of("https://example.org/feed/" + std::to_string(i)));
      reader_feed_url_changed(into, f);
      meta *m = reader_new_meta(into, f->id);
      m->flags = (u32)i & 7;
      m->opener = &into->link_openers[i % READER_LINK_OPENER_COUNT];
      if (type == feed_type_rss) {
        f->rss.title = reader_add_string(into, text_of("Feed \xC3\xA9t\xC3\xA9 " + std::to_string(i)));
        f->rss.pubDate = make_date(2023, 5, 6, 7, 8, 9);
        f->rss.ttl = 60;
        f->rss.skipHours[3] = 1;
        category c = {};
        c.term = lit("news");
        reader_add_category_link(into, &c, link_kind_rss_feed_category, f->id, &f->rss.category_count);
      } else {
        f->atom.title = reader_add_string(into, text_of("\xE4\xB8\xAD\xE6\x96\x87 feed"));
        f->atom.updated = make_date(2024, 1, 2, 3, 4, 5);
        person p = {};
        p.name = lit("Ada");
        reader_add_person_link(into, &p, link_kind_atom_feed_author, f->id, &f->atom.author_count);
        p.name = lit("Bob");
        reader_add_person_link(into, &p, link_kind_atom_feed_contributor, f->id, &f->atom.contributor_count);
        category c = {};
        c.term = lit("tech");
        reader_add_category_link(into, &c, link_kind_atom_feed_category, f->id, &f->atom.category_count);
        atom_link *l = reader_new_atom_link(into, atom_link_owner_feed, f->id, &f->atom.atom_link_count);
        l->href = reader_add_string(into, text_of("https://example.org/self"));
        l->rel = atom_link_rel_self;
        l->length = 1234;
      }
      for (int k = 0; k < entries_per_feed; ++k) {
        into->generation = (u32)(1 + 3 * k);
        entry *e = reader_new_entry(into);
        ASSERT_NE(e, nullptr);
        e->type = type;
        std::string tag = std::to_string(i) + "-" + std::to_string(k);
        if (type == feed_type_rss) {
          e->rss.title = reader_add_string(into, text_of("Item " + tag));
          e->rss.guid = reader_add_string(into, text_of("guid-" + tag));
          e->rss.description = reader_add_string(into, text_of("<p>caf\xC3\xA9 \xF0\x9F\x98\x80 " + tag + "</p>"));
          e->rss.enclosure_length = 99;
          e->rss.pubDate = make_date(2022, 1 + (u8)(k % 12), 3);
          category c = {};
          c.term = lit(k % 2 ? "odd" : "even");
          reader_add_category_link(into, &c, link_kind_rss_entry_category, e->id, &e->rss.category_count);
        } else {
          e->atom.title = reader_add_string(into, text_of("Entry " + tag));
          e->atom.atom_id = reader_add_string(into, text_of("urn:" + tag));
          e->atom.published = make_date(2021, 2, 1 + (u8)(k % 28));
          person p = {};
          p.name = lit("Ada");
          reader_add_person_link(into, &p, link_kind_atom_entry_author, e->id, &e->atom.author_count);
          p.name = lit("Cy");
          reader_add_person_link(into, &p, link_kind_atom_entry_contributor, e->id, &e->atom.contributor_count);
          category c = {};
          c.term = lit("tech");
          reader_add_category_link(into, &c, link_kind_atom_entry_category, e->id, &e->atom.category_count);
          atom_link *l = reader_new_atom_link(into, atom_link_owner_entry, e->id, &e->atom.atom_link_count);
          l->href = reader_add_string(into, text_of("https://example.org/e/" + tag));
          l->rel = atom_link_rel_alternate;
        }
        reader_attach_entry(into, f, e);
      }
      if (i == 1) reader_mark_feed_deleted(into, f);
    }
    into->link_openers[0].name = reader_add_string(into, text_of("Browser"));
    into->link_openers[1].name = reader_add_string(into, text_of("Later"));
    into->link_openers[1].program = reader_add_string(into, text_of("\"/usr/bin/my browser\" --new-tab"));
    into->link_openers[1].queue = reader_add_string(into, text_of("https://a https://b"));
    into->link_openers[1].queue_mode = 1;
  }
};

// The bytes of a save image as a string.
inline std::string image_of(reader *r) {
  buffer image = reader_write_image(r);
  std::string out((const char *)image.data, image.used);
  memory_free(&image);
  return out;
}
