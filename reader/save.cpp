// The save file: building the compacted image, checking an image field by field, installing it
// into a reader, and the files of the data folder.
#include <string.h>

#include <algorithm>

#include "reader/save.h"
#include "reader/store_internal.h"

// ---- Layout ------------------------------------------------------------------------------

static const u64 save_record_size[7] = {sizeof(feed), sizeof(entry), sizeof(category), sizeof(person),
                                        sizeof(atom_link), sizeof(struct link), sizeof(meta)};
static_assert(sizeof(link_opener) * READER_LINK_OPENER_COUNT == SAVE_FILE_OPENERS_SIZE, "openers section");

// The part of a record the kind does not use: kept zero in images and in loaded records.
#define FEED_ATOM_END 280u
#define ENTRY_ATOM_END 192u

static void log_text(const char *text) { log_append(text, strlen(text)); }

static void zero_unused_layout(u32 which, void *record) {
  if (which == pool_feeds && feed_get_type((feed *)record) == feed_type_atom)
    memory_zero((u8 *)record + FEED_ATOM_END, sizeof(feed) - FEED_ATOM_END);
  if (which == pool_entries && entry_get_type((entry *)record) == feed_type_atom)
    memory_zero((u8 *)record + ENTRY_ATOM_END, sizeof(entry) - ENTRY_ATOM_END);
}

// No date, or one on the calendar: a later step of the program may take any stored date apart.
static bool date_ok(date d) { return date_is_zero(d) || (date_is_valid(d) && d.zero == 0); }

static bool feed_dates_ok(const feed &f) {
  if (feed_get_type(&f) == feed_type_atom) return date_ok(f.atom.updated);
  return date_ok(f.rss.pubDate) && date_ok(f.rss.newest_date);
}

static bool entry_dates_ok(const entry &e) {
  if (entry_get_type(&e) == feed_type_atom) return date_ok(e.atom.published) && date_ok(e.atom.updated);
  return date_ok(e.rss.pubDate);
}

// A date off the calendar is no date: the image is written without it rather than refused.
static void date_clean(date *d) {
  if (!date_ok(*d)) *d = date{};
}

static void record_clean_dates(u32 which, void *record) {
  if (which == pool_feeds) {
    feed *f = (feed *)record;
    if (feed_get_type(f) == feed_type_atom) {
      date_clean(&f->atom.updated);
    } else {
      date_clean(&f->rss.pubDate);
      date_clean(&f->rss.newest_date);
    }
  } else if (which == pool_entries) {
    entry *e = (entry *)record;
    if (entry_get_type(e) == feed_type_atom) {
      date_clean(&e->atom.published);
      date_clean(&e->atom.updated);
    } else {
      date_clean(&e->rss.pubDate);
    }
  }
}

// ---- Built-in code points ----------------------------------------------------------------

// The 193 code points every set starts with, in their order.
static u32 builtin_codepoints(u32 *out) {
  u32 n = 0;
  for (u32 c = 0x20; c <= 0x7E; ++c) out[n++] = c;
  static const u32 replaced[] = {0xA4, 0xA6, 0xA8, 0xB4, 0xB8, 0xBC, 0xBD, 0xBE};
  for (u32 c = 0xA0; c <= 0xFF; ++c)
    if (!std::count(replaced, replaced + array_count(replaced), c)) out[n++] = c;
  static const u32 latin9[] = {0x20AC, 0x160, 0x161, 0x17D, 0x17E, 0x152, 0x153, 0x178, 0xFFFD, 0x2026};
  for (u32 c : latin9) out[n++] = c;
  return n;
}

#define CODEPOINT_WORDS (CODEPOINT_SET_CAPACITY / 64)

static inline void bit_set(u64 *bits, u32 c) { bits[c >> 6] |= 1ull << (c & 63); }
static inline bool bit_get(const u64 *bits, u32 c) { return bits[c >> 6] >> (c & 63) & 1; }

// The sequence at p, whose first byte is 0x80 or above: visited when it decodes; the position
// after it, or after the one byte skipped when it does not.
template <class F>
static inline const u8 *decode_high(const u8 *p, const u8 *end, F &visit) {
  u32 c = 0, error = 0;
  u8 n = (u8)utf8_decode_common(p, end, &c);
  if (!n) unicode_utf8_decode(p, end, &c, &n, &error);
  if (error) return p + 1;
  visit(c);
  return p + n;
}

// Every code point the bytes decode to, U+0000 aside; an undecodable byte is skipped alone.
template <class F>
static void decode_codepoints(const u8 *p, const u8 *end, F visit, bool skip_printable_ascii) {
#if STORE_ASCII_SIXTEEN
  // Texts are mostly printable ASCII, which every list holds from the start: sixteen bytes at a
  // time, only the control bytes among them visited, up to the first byte of a longer sequence.
  if (skip_printable_ascii) {
    while (end - p >= 16) {
      u32 ascii;
      for (u32 special = ascii_sixteen_special(p, &ascii); special; special &= special - 1) {
        u8 b = p[__builtin_ctz(special)];
        if (b) visit((u32)b);
      }
      p += ascii;
      if (ascii < 16) p = decode_high(p, end, visit);
    }
  }
#endif
  while (p < end) {
    // Eight bytes of printable ASCII at a time are passed over when the caller knows them to be
    // in the list.
    if (skip_printable_ascii && end - p >= 8 && word_is_printable_ascii(p)) {
      p += 8;
      continue;
    }
    // The next eight bytes or so one by one, before the next try at a whole word.
    for (const u8 *stop = end - p > 8 ? p + 8 : end; p < stop;) {
      if (*p < 0x80) {
        if (*p && !(skip_printable_ascii && *p >= 0x20 && *p < 0x7F)) visit((u32)*p);
        ++p;
        continue;
      }
      p = decode_high(p, end, visit);
    }
  }
}

// ---- Building the image ------------------------------------------------------------------

// Old id to new id; 0 for an id that is not written.
struct id_map {
  u32 *table;
  u64 n;  // entries in the table: the largest old id + 1
  u32 get(u32 id) const { return id < n ? table[id] : 0; }
};

static u32 largest_id(pool *p, u64 size, pool_test_fn *live, u64 id_offset) {
  u32 largest = 0;
  for (u32 i = 0; i < p->high_water; ++i) {
    u8 *item = (u8 *)pool_get(p, size, i);
    if (!live(item)) continue;
    u32 id;
    memcpy(&id, item + id_offset, 4);
    largest = std::max(largest, id);
  }
  return largest;
}

static bool link_owned_by_feed(u32 kind) { return kind & 1; }
static bool link_targets_category(u32 kind) { return kind <= link_kind_atom_entry_category; }
static u32 link_owner_type(u32 kind) { return kind <= 2 ? feed_type_rss : feed_type_atom; }

namespace {
// An image as the writer builds it: everything up to the texts' length at the front of the block,
// the texts further on in the same block, so a file is written from it in two pieces and the
// texts are not moved to close the gap.
struct image_parts {
  buffer block;  // release with memory_free
  u64 head;      // bytes before the texts
  u8 *texts;
  u64 texts_size;
};
}  // namespace

static image_parts reader_write_parts(reader *r) {
  pool *feeds = &r->feeds, *entries = &r->entries, *categories = &r->categories, *persons = &r->persons;
  pool *atom_links = &r->atom_links, *links = &r->links, *metas = &r->metas;

  // Direct tables by old id (and by generation), and one keep flag per slot of every pool.
  u32 max_feed = largest_id(feeds, sizeof(feed), feed_is_live, offsetof(feed, id));
  u32 max_entry = largest_id(entries, sizeof(entry), entry_is_live, offsetof(entry, id));
  u32 max_category = largest_id(categories, sizeof(category), category_is_live, offsetof(category, id));
  u32 max_person = largest_id(persons, sizeof(person), person_is_live, offsetof(person, id));
  u32 max_generation = r->generation;
  for (u32 i = 0; i < entries->high_water; ++i) {
    entry *e = (entry *)pool_get(entries, sizeof(entry), i);
    if (entry_is_live(e)) max_generation = std::max(max_generation, e->generation);
  }
  u64 slots = 0;
  for (u32 i = 0; i < 7; ++i) slots += reader_pool(r, i)->high_water;
  u64 table_bytes = ((u64)max_feed + max_entry + max_category + max_person + max_generation + 5) * 4 +
                    ((u64)feeds->high_water + 1) * 5 + ((u64)entries->high_water + 1) + slots + 64;
  buffer tables = memory_alloc(table_bytes, nullptr);
  if (!tables.data) {
    log_text("reader_write: no memory for the renumbering tables.\n");
    return image_parts{};
  }
  id_map feed_new = {buffer_push_array(&tables, u32, (u64)max_feed + 1), (u64)max_feed + 1};
  id_map entry_new = {buffer_push_array(&tables, u32, (u64)max_entry + 1), (u64)max_entry + 1};
  id_map category_new = {buffer_push_array(&tables, u32, (u64)max_category + 1), (u64)max_category + 1};
  id_map person_new = {buffer_push_array(&tables, u32, (u64)max_person + 1), (u64)max_person + 1};
  id_map generation_new = {buffer_push_array(&tables, u32, (u64)max_generation + 1), (u64)max_generation + 1};
  u32 *feed_type_of = buffer_push_array(&tables, u32, (u64)feeds->high_water + 1);  // by new id
  u8 *meta_seen = buffer_push_array(&tables, u8, (u64)feeds->high_water + 1);
  u8 *entry_type_of = buffer_push_array(&tables, u8, (u64)entries->high_water + 1);  // by new id
  u8 *keep[7];
  for (u32 i = 0; i < 7; ++i) keep[i] = buffer_push_array(&tables, u8, reader_pool(r, i)->high_water);
  u32 count[7] = {};

  // Feeds in slot order; a second record with an id already seen is not written.
  for (u32 i = 0; i < feeds->high_water; ++i) {
    feed *f = (feed *)pool_get(feeds, sizeof(feed), i);
    if (!feed_is_live(f) || f->id == 0 || feed_new.table[f->id]) continue;
    keep[pool_feeds][i] = 1;
    feed_new.table[f->id] = ++count[pool_feeds];
    feed_type_of[count[pool_feeds]] = feed_get_type(f);
  }
  // Entries of written feeds, of their feed's kind.
  for (u32 i = 0; i < entries->high_water; ++i) {
    entry *e = (entry *)pool_get(entries, sizeof(entry), i);
    if (!entry_is_live(e) || e->id == 0 || entry_new.table[e->id]) continue;
    u32 owner = feed_new.get(e->feed_id);
    if (!owner || feed_type_of[owner] != entry_get_type(e)) continue;
    keep[pool_entries][i] = 1;
    entry_new.table[e->id] = ++count[pool_entries];
    entry_type_of[count[pool_entries]] = (u8)entry_get_type(e);
    generation_new.table[e->generation] = 1;
  }
  u32 generations = 0;
  for (u64 g = 0; g < generation_new.n; ++g)
    if (generation_new.table[g]) generation_new.table[g] = ++generations;

  // Categories and persons: 1 exists, 2 targeted by a written owner's link; only targeted ones
  // are written (the purge of unreferenced ones), each old id read once before it is replaced.
  for (u32 i = 0; i < categories->high_water; ++i) {
    category *c = (category *)pool_get(categories, sizeof(category), i);
    if (category_is_live(c) && !category_new.table[c->id]) keep[pool_categories][i] = 1, category_new.table[c->id] = 1;
  }
  for (u32 i = 0; i < persons->high_water; ++i) {
    person *p = (person *)pool_get(persons, sizeof(person), i);
    if (person_is_live(p) && !person_new.table[p->id]) keep[pool_persons][i] = 1, person_new.table[p->id] = 1;
  }
  auto link_owner = [&](const struct link *l) -> u32 {
    if (l->kind < 1 || l->kind > 8) return 0;
    if (link_owned_by_feed(l->kind)) {
      u32 o = feed_new.get(l->owner_id);
      return o && feed_type_of[o] == link_owner_type(l->kind) ? o : 0;
    }
    u32 o = entry_new.get(l->owner_id);
    return o && entry_type_of[o] == link_owner_type(l->kind) ? o : 0;
  };
  for (u32 i = 0; i < links->high_water; ++i) {
    struct link *l = (struct link *)pool_get(links, sizeof(struct link), i);
    if (!link_is_live(l) || !link_owner(l)) continue;
    id_map &targets = link_targets_category(l->kind) ? category_new : person_new;
    if (targets.get(l->target_id)) targets.table[l->target_id] = 2;
  }
  for (u32 i = 0; i < categories->high_water; ++i) {
    if (!keep[pool_categories][i]) continue;
    category *c = (category *)pool_get(categories, sizeof(category), i);
    if (category_new.table[c->id] == 2) category_new.table[c->id] = ++count[pool_categories];
    else category_new.table[c->id] = 0, keep[pool_categories][i] = 0;
  }
  for (u32 i = 0; i < persons->high_water; ++i) {
    if (!keep[pool_persons][i]) continue;
    person *p = (person *)pool_get(persons, sizeof(person), i);
    if (person_new.table[p->id] == 2) person_new.table[p->id] = ++count[pool_persons];
    else person_new.table[p->id] = 0, keep[pool_persons][i] = 0;
  }
  for (u32 i = 0; i < links->high_water; ++i) {
    struct link *l = (struct link *)pool_get(links, sizeof(struct link), i);
    if (!link_is_live(l) || !link_owner(l)) continue;
    id_map &targets = link_targets_category(l->kind) ? category_new : person_new;
    if (targets.get(l->target_id)) keep[pool_links][i] = 1, ++count[pool_links];
  }
  for (u32 i = 0; i < atom_links->high_water; ++i) {
    atom_link *l = (atom_link *)pool_get(atom_links, sizeof(atom_link), i);
    if (!atom_link_is_live(l)) continue;
    u32 o = l->owner_kind == atom_link_owner_feed ? feed_new.get(l->owner_id) : entry_new.get(l->owner_id);
    u32 type = !o ? 0 : l->owner_kind == atom_link_owner_feed ? feed_type_of[o] : entry_type_of[o];
    if (type == feed_type_atom)
      keep[pool_atom_links][i] = 1, ++count[pool_atom_links];
  }
  for (u32 i = 0; i < metas->high_water; ++i) {
    meta *m = (meta *)pool_get(metas, sizeof(meta), i);
    if (!meta_is_live(m)) continue;
    u32 f = feed_new.get(m->feed_id);
    if (f && !meta_seen[f]) meta_seen[f] = 1, keep[pool_metas][i] = 1, ++count[pool_metas];
  }

  // Every feed gets exactly one meta: one the store lacks is written with the defaults.
  u32 missing_metas = 0;
  for (u32 f = 1; f <= count[pool_feeds]; ++f) missing_metas += !meta_seen[f];
  count[pool_metas] += missing_metas;

  // The counts records keep of what they own are written as the written records say, so the
  // image agrees with itself even where the store's own counts had drifted.
  const u32 nf = count[pool_feeds], ne = count[pool_entries];
  buffer tallies = memory_alloc(((u64)nf + 1) * 6 * 4 + ((u64)ne + 1) * 5 * 4 + 64, nullptr);
  if (!tallies.data) {
    log_text("reader_write: no memory for the renumbering tables.\n");
    memory_free(&tables);
    return image_parts{};
  }
  u32 *feed_entries = buffer_push_array(&tallies, u32, nf + 1);
  u32 *owned[9];  // by link kind (odd: feeds, even: entries); [0] Atom links of feeds
  u32 *entry_atom_links = buffer_push_array(&tallies, u32, ne + 1);
  owned[0] = buffer_push_array(&tallies, u32, nf + 1);
  for (u32 k = 1; k <= 8; ++k) owned[k] = buffer_push_array(&tallies, u32, ((k & 1) ? nf : ne) + 1);
  for (u32 i = 0; i < entries->high_water; ++i)
    if (keep[pool_entries][i]) feed_entries[feed_new.get(((entry *)pool_get(entries, sizeof(entry), i))->feed_id)]++;
  for (u32 i = 0; i < links->high_water; ++i)
    if (keep[pool_links][i]) {
      struct link *l = (struct link *)pool_get(links, sizeof(struct link), i);
      owned[l->kind][link_owner(l)]++;
    }
  for (u32 i = 0; i < atom_links->high_water; ++i)
    if (keep[pool_atom_links][i]) {
      atom_link *l = (atom_link *)pool_get(atom_links, sizeof(atom_link), i);
      if (l->owner_kind == atom_link_owner_feed) owned[0][feed_new.get(l->owner_id)]++;
      else entry_atom_links[entry_new.get(l->owner_id)]++;
    }

  // Sizes: the records, then the strings they keep.
  u64 pools_size = 0, strings_size = 0;
  buffer *fields[32];
  for (u32 k = 0; k < 7; ++k) {
    pools_size += 4 + count[k] * save_record_size[k];
    pool *p = reader_pool(r, k);
    for (u32 i = 0; i < p->high_water; ++i) {
      if (!keep[k][i]) continue;
      u32 n = record_strings(k, pool_get(p, save_record_size[k], i), fields);
      for (u32 s = 0; s < n; ++s) strings_size += reader_string_span(*fields[s]);
    }
  }
  for (link_opener &o : r->link_openers) {
    u32 n = opener_strings(&o, fields);
    for (u32 s = 0; s < n; ++s) strings_size += fields[s]->data ? fields[s]->used : 0;
  }
  // The file keeps the texts' length in 32 bits.
  if (strings_size > UINT32_MAX || strings_size >= r->strings_a.size) {
    log_text("reader_write: the texts do not fit the save file.\n");
    memory_free(&tallies);
    memory_free(&tables);
    return image_parts{};
  }
  u64 codepoints_at = SAVE_FILE_COUNTERS_END + pools_size + SAVE_FILE_OPENERS_SIZE;
  u64 strings_at_most = codepoints_at + 4 + 4ull * CODEPOINT_SET_CAPACITY;
  buffer image = memory_alloc(strings_at_most + 4 + strings_size, nullptr);
  memory_prefer_large_pages(image);
  buffer bits_block = memory_alloc(CODEPOINT_SET_CAPACITY / 8, nullptr);
  if (!image.data || !bits_block.data) {
    log_text("reader_write: no memory for the image.\n");
    memory_free(&image);
    memory_free(&bits_block);
    memory_free(&tallies);
    memory_free(&tables);
    return image_parts{};
  }

  // Strings are laid down after the largest code-point section, which is known only after them.
  u8 *arena = image.data + strings_at_most + 4;
  u64 arena_used = 0;
  auto relocate = [&](buffer *field, bool opener) {
    buffer s = *field;
    u64 n = opener ? (s.data ? s.used : 0) : reader_string_span(s);
    if (n) memcpy(arena + arena_used, s.data, n);
    *field = buffer{n, s.data ? s.used : 0, (u8 *)(uintptr_t)arena_used};
    arena_used += n;
  };

  u8 *out = image.data + SAVE_FILE_COUNTERS_END;
  for (u32 k = 0; k < 7; ++k) {
    memcpy(out, &count[k], 4);
    out += 4;
    pool *p = reader_pool(r, k);
    for (u32 i = 0; i < p->high_water; ++i) {
      if (!keep[k][i]) continue;
      // Records sit unaligned in the file: each is patched in an aligned copy, then stored.
      alignas(8) u8 local[sizeof(feed)];
      void *record = local;
      memcpy(record, pool_get(p, save_record_size[k], i), save_record_size[k]);
      zero_unused_layout(k, record);
      record_clean_dates(k, record);
      u32 n = record_strings(k, record, fields);
      for (u32 s = 0; s < n; ++s) relocate(fields[s], false);
      switch (k) {
        case pool_feeds: {
          feed *f = (feed *)record;
          u32 id = f->id = feed_new.get(f->id);
          f->entry_count = feed_entries[id];
          if (feed_get_type(f) == feed_type_rss) {
            f->rss.category_count = owned[link_kind_rss_feed_category][id];
          } else {
            f->atom.category_count = owned[link_kind_atom_feed_category][id];
            f->atom.author_count = owned[link_kind_atom_feed_author][id];
            f->atom.contributor_count = owned[link_kind_atom_feed_contributor][id];
            f->atom.atom_link_count = owned[0][id];
          }
          break;
        }
        case pool_entries: {
          entry *e = (entry *)record;
          u32 id = e->id = entry_new.get(e->id);
          e->feed_id = feed_new.get(e->feed_id);
          e->generation = generation_new.get(e->generation);
          if (entry_get_type(e) == feed_type_rss) {
            e->rss.category_count = owned[link_kind_rss_entry_category][id];
          } else {
            e->atom.category_count = owned[link_kind_atom_entry_category][id];
            e->atom.author_count = owned[link_kind_atom_entry_author][id];
            e->atom.contributor_count = owned[link_kind_atom_entry_contributor][id];
            e->atom.atom_link_count = entry_atom_links[id];
          }
          break;
        }
        case pool_categories: ((category *)record)->id = category_new.get(((category *)record)->id); break;
        case pool_persons: ((person *)record)->id = person_new.get(((person *)record)->id); break;
        case pool_atom_links: {
          atom_link *l = (atom_link *)record;
          l->owner_id = l->owner_kind == atom_link_owner_feed ? feed_new.get(l->owner_id) : entry_new.get(l->owner_id);
          if (l->rel > atom_link_rel_other) l->rel = atom_link_rel_other;
          break;
        }
        case pool_links: {
          struct link *l = (struct link *)record;
          l->owner_id = link_owned_by_feed(l->kind) ? feed_new.get(l->owner_id) : entry_new.get(l->owner_id);
          l->target_id = link_targets_category(l->kind) ? category_new.get(l->target_id) : person_new.get(l->target_id);
          break;
        }
        case pool_metas: {
          meta *m = (meta *)record;
          m->feed_id = feed_new.get(m->feed_id);
          u64 index = 0;
          for (u32 o = 0; o < READER_LINK_OPENER_COUNT; ++o)
            if (m->opener == &r->link_openers[o]) index = o;
          m->opener = (link_opener *)(uintptr_t)index;
          break;
        }
      }
      memcpy(out, record, save_record_size[k]);
      out += save_record_size[k];
    }
    if (k == pool_metas)
      for (u32 f = 1; f <= nf; ++f)
        if (!meta_seen[f]) {
          meta m = {f, 0, nullptr};
          memcpy(out, &m, sizeof(m));
          out += sizeof(m);
        }
  }
  for (u32 o = 0; o < READER_LINK_OPENER_COUNT; ++o) {
    link_opener opener = r->link_openers[o];
    u32 n = opener_strings(&opener, fields);
    for (u32 s = 0; s < n; ++s) relocate(fields[s], true);
    memcpy(out, &opener, sizeof(opener));
    out += sizeof(opener);
  }

  // The code points of the built-in list and of the rewritten texts, ascending.
  u64 *bits = (u64 *)bits_block.data;
  u32 builtin[256];
  u32 nb = builtin_codepoints(builtin);
  for (u32 i = 0; i < nb; ++i) bit_set(bits, builtin[i]);
  decode_codepoints(arena, arena + arena_used, [&](u32 c) { bit_set(bits, c); }, true);
  u32 codepoints = 0;
  u8 *items = out + 4;
  for (u32 w = 0; w < CODEPOINT_WORDS; ++w)
    for (u64 word = bits[w]; word; word &= word - 1) {
      u32 c = w * 64 + (u32)__builtin_ctzll(word);
      memcpy(items + 4ull * codepoints++, &c, 4);
    }
  memcpy(out, &codepoints, 4);
  out += 4 + 4ull * codepoints;
  u32 length = (u32)arena_used;
  memcpy(out, &length, 4);
  u64 head = (u64)(out + 4 - image.data);

  u32 counters[5] = {count[pool_feeds], count[pool_entries], count[pool_categories], count[pool_persons], generations};
  memcpy(image.data, SAVE_FILE_MAGIC, 4);
  u32 version = SAVE_FILE_VERSION;
  memcpy(image.data + 4, &version, 4);
  memcpy(image.data + SAVE_FILE_HEADER_END, counters, sizeof(counters));
  u64 pools_end = SAVE_FILE_COUNTERS_END + pools_size;
  u64 openers_end = pools_end + SAVE_FILE_OPENERS_SIZE;
  u64 codepoints_end = openers_end + 4 + 4ull * codepoints;
  s64 header[10] = {SAVE_FILE_HEADER_END, 20, SAVE_FILE_COUNTERS_END, (s64)pools_size, (s64)pools_end,
                    SAVE_FILE_OPENERS_SIZE, (s64)openers_end, (s64)(4 + 4ull * codepoints), (s64)codepoints_end,
                    (s64)(4 + arena_used)};
  memcpy(image.data + 8, header, sizeof(header));
  invariant(codepoints_end + 4 == head);

  memory_free(&bits_block);
  memory_free(&tallies);
  memory_free(&tables);
  image.used = head;
  return image_parts{image, head, arena, arena_used};
}

buffer reader_write_image(reader *r) {
  image_parts parts = reader_write_parts(r);
  if (!parts.block.data) return buffer{};
  memmove(parts.block.data + parts.head, parts.texts, parts.texts_size);
  parts.block.used = parts.head + parts.texts_size;
  return parts.block;
}

// ---- Checking an image -------------------------------------------------------------------

struct image_sections {
  u64 pool_at[7];  // first record of each pool
  u32 count[7];
  u32 counters[5];
  u64 openers_at;
  u64 codepoints_at;  // first code point
  u32 codepoints;
  u64 strings_at;  // first arena byte
  u32 strings_length;
};

static bool reject(const char *why) {
  log_text("Save file rejected: ");
  log_text(why);
  log_text("\n");
  return false;
}

static u32 read_u32(const u8 *p) {
  u32 v;
  memcpy(&v, p, 4);
  return v;
}

static bool string_in_arena(buffer s, u64 length) {
  u64 offset = (u64)(uintptr_t)s.data;
  return s.used <= s.size && offset <= length && s.size <= length - offset;
}

static bool strings_ok(u32 which, void *record, u64 length) {
  buffer *fields[32];
  u32 n = which == 7 ? opener_strings((link_opener *)record, fields) : record_strings(which, record, fields);
  for (u32 i = 0; i < n; ++i)
    if (!string_in_arena(*fields[i], length)) return false;
  return true;
}

static bool type_word_ok(u32 type) {
  u32 kind = type & feed_type_mask;
  return (type & ~(feed_type_mask | feed_type_deleted)) == 0 && (kind == feed_type_rss || kind == feed_type_atom);
}

// What a reader can take: its pools' capacities and its arena's reservation.
struct image_limits {
  u32 capacity[7];
  u64 strings;
};

static image_limits reader_limits(reader *r) {
  image_limits l = {};
  for (u32 k = 0; k < 7; ++k) l.capacity[k] = reader_pool(r, k)->max_entry_count;
  l.strings = r->strings_a.size;
  return l;
}

// Structure first (sections, counts against capacities), then every record; nothing outside
// [bytes, bytes + size) is read and no value is trusted before it is checked.
// The texts may lie apart from the rest (texts not null): then b holds exactly the bytes before
// them. The code points of the texts are checked against the list unless the caller built the
// list from these very texts (check_texts false).
static bool image_check(const u8 *b, u64 size, const u8 *texts, u64 texts_size, const image_limits &limits,
                        image_sections *s, bool check_texts) {
  if (size < SAVE_FILE_COUNTERS_END) return reject("shorter than its header");
  if (memcmp(b, SAVE_FILE_MAGIC, 4) != 0) return reject("not a save file");
  if (read_u32(b + 4) > SAVE_FILE_VERSION) return reject("a later version");
  s64 header[10];
  memcpy(header, b + 8, sizeof(header));
  memcpy(s->counters, b + SAVE_FILE_HEADER_END, sizeof(s->counters));
  if (header[0] != SAVE_FILE_HEADER_END || header[1] != 20 || header[2] != SAVE_FILE_COUNTERS_END)
    return reject("header does not match the counters");
  u64 at = SAVE_FILE_COUNTERS_END;
  for (u32 k = 0; k < 7; ++k) {
    if (size - at < 4) return reject("cut inside the pools");
    s->count[k] = read_u32(b + at);
    at += 4;
    if (s->count[k] > limits.capacity[k]) return reject("more records than a pool holds");
    s->pool_at[k] = at;
    u64 bytes = s->count[k] * save_record_size[k];
    if (size - at < bytes) return reject("cut inside the pools");
    at += bytes;
  }
  if ((u64)header[3] != at - SAVE_FILE_COUNTERS_END || (u64)header[4] != at) return reject("header does not match the pools");
  if (size - at < SAVE_FILE_OPENERS_SIZE) return reject("cut inside the openers");
  s->openers_at = at;
  at += SAVE_FILE_OPENERS_SIZE;
  if (header[5] != SAVE_FILE_OPENERS_SIZE || (u64)header[6] != at) return reject("header does not match the openers");
  if (size - at < 4) return reject("cut inside the code points");
  s->codepoints = read_u32(b + at);
  if (s->codepoints > CODEPOINT_SET_CAPACITY) return reject("more code points than the set holds");
  s->codepoints_at = at + 4;
  if ((size - at - 4) / 4 < s->codepoints) return reject("cut inside the code points");
  at += 4 + 4ull * s->codepoints;
  if ((u64)header[7] != 4 + 4ull * s->codepoints || (u64)header[8] != at) return reject("header does not match the code points");
  if (size - at < 4) return reject("cut inside the texts");
  s->strings_length = read_u32(b + at);
  if (s->strings_length + READER_STRINGS_STEP >= limits.strings) return reject("texts larger than the arena");
  s->strings_at = at + 4;
  if ((u64)header[9] != 4ull + s->strings_length) return reject("header does not match the texts");
  if (texts ? s->strings_at != size || texts_size != s->strings_length : size - s->strings_at != s->strings_length)
    return reject("size differs from the content");
  if (!texts) texts = b + s->strings_at;

  const u32 nf = s->count[pool_feeds], ne = s->count[pool_entries], nc = s->count[pool_categories];
  const u32 np = s->count[pool_persons];
  const u64 length = s->strings_length;
  if (s->counters[0] != nf || s->counters[1] != ne || s->counters[2] != nc || s->counters[3] != np)
    return reject("counters do not match the records");
  const u32 generations = s->counters[4];
  if (generations > ne || (ne && !generations)) return reject("bad generation counter");
  if (s->count[pool_metas] != nf) return reject("not one meta per feed");

  // What the records say they own, counted from the other side: per feed and per entry.
  u64 tally_words = 8ull * (nf + 1) + 7ull * (ne + 1);
  buffer block = memory_alloc(tally_words * 4 + CODEPOINT_SET_CAPACITY / 8 + 64, nullptr);
  if (!block.data) return reject("no memory to check it");
  u32 *feed_entries = buffer_push_array(&block, u32, nf + 1);
  u32 *feed_kind = buffer_push_array(&block, u32, nf + 1);
  u32 *feed_links[9] = {};  // kinds 1, 3, 5, 7, and [0] the Atom links
  u32 *entry_links[9] = {};
  feed_links[0] = buffer_push_array(&block, u32, nf + 1);
  entry_links[0] = buffer_push_array(&block, u32, ne + 1);
  for (u32 k = 1; k <= 8; ++k) {
    if (k & 1) feed_links[k] = buffer_push_array(&block, u32, nf + 1);
    else entry_links[k] = buffer_push_array(&block, u32, ne + 1);
  }
  u64 *bits = buffer_push_array(&block, u64, CODEPOINT_WORDS);
  u32 *entry_kind = buffer_push_array(&block, u32, ne + 1);
  invariant(bits && entry_kind);
  bool ok = false;
  auto fail = [&](const char *why) {
    memory_free(&block);
    return reject(why);
  };

  for (u32 i = 0; i < nf; ++i) {
    feed f;
    memcpy(&f, b + s->pool_at[pool_feeds] + i * sizeof(feed), sizeof(feed));
    if (!type_word_ok(f.type)) return fail("bad feed type");
    if (f.id != i + 1) return fail("feed ids are not dense");
    if (!feed_dates_ok(f)) return fail("feed date off the calendar");
    if (!strings_ok(pool_feeds, &f, length)) return fail("feed text outside the arena");
    feed_kind[f.id] = feed_get_type(&f);
  }
  for (u32 i = 0; i < ne; ++i) {
    entry e;
    memcpy(&e, b + s->pool_at[pool_entries] + i * sizeof(entry), sizeof(entry));
    if (!type_word_ok(e.type)) return fail("bad entry type");
    if (e.id != i + 1) return fail("entry ids are not dense");
    if (e.feed_id == 0 || e.feed_id > nf || feed_kind[e.feed_id] != entry_get_type(&e))
      return fail("entry of no feed of its kind");
    if (e.generation == 0 || e.generation > generations) return fail("bad entry generation");
    if (!entry_dates_ok(e)) return fail("entry date off the calendar");
    if (!strings_ok(pool_entries, &e, length)) return fail("entry text outside the arena");
    feed_entries[e.feed_id]++;
    entry_kind[e.id] = entry_get_type(&e);
  }
  for (u32 k : {(u32)pool_categories, (u32)pool_persons}) {
    for (u32 i = 0; i < s->count[k]; ++i) {
      category c;  // a person has the same shape
      memcpy(&c, b + s->pool_at[k] + i * sizeof(category), sizeof(category));
      if (c.id != i + 1) return fail("category or person ids are not dense");
      if (!strings_ok(k, &c, length)) return fail("category or person text outside the arena");
    }
  }
  for (u32 i = 0; i < s->count[pool_atom_links]; ++i) {
    atom_link l;
    memcpy(&l, b + s->pool_at[pool_atom_links] + i * sizeof(atom_link), sizeof(atom_link));
    bool by_feed = l.owner_kind == atom_link_owner_feed;
    if (!by_feed && l.owner_kind != atom_link_owner_entry) return fail("bad Atom link owner kind");
    if (l.rel > atom_link_rel_other) return fail("bad Atom link relation");
    u32 limit = by_feed ? nf : ne;
    if (l.owner_id == 0 || l.owner_id > limit) return fail("Atom link of no owner");
    if ((by_feed ? feed_kind[l.owner_id] : entry_kind[l.owner_id]) != feed_type_atom) return fail("Atom link of an RSS owner");
    if (!strings_ok(pool_atom_links, &l, length)) return fail("Atom link text outside the arena");
    (by_feed ? feed_links[0] : entry_links[0])[l.owner_id]++;
  }
  for (u32 i = 0; i < s->count[pool_links]; ++i) {
    struct link l;
    memcpy(&l, b + s->pool_at[pool_links] + i * sizeof(struct link), sizeof(struct link));
    if (l.kind < 1 || l.kind > 8) return fail("bad link kind");
    bool by_feed = link_owned_by_feed(l.kind);
    u32 limit = by_feed ? nf : ne;
    if (l.owner_id == 0 || l.owner_id > limit) return fail("link of no owner");
    if ((by_feed ? feed_kind[l.owner_id] : entry_kind[l.owner_id]) != link_owner_type(l.kind))
      return fail("link of an owner of another kind");
    u32 targets = link_targets_category(l.kind) ? nc : np;
    if (l.target_id == 0 || l.target_id > targets) return fail("link to nothing");
    (by_feed ? feed_links[l.kind] : entry_links[l.kind])[l.owner_id]++;
  }
  u8 *meta_seen = (u8 *)feed_entries;  // reused below only after the entry counts are compared
  for (u32 i = 0; i < nf; ++i) {
    feed f;
    memcpy(&f, b + s->pool_at[pool_feeds] + i * sizeof(feed), sizeof(feed));
    bool atom = feed_get_type(&f) == feed_type_atom;
    if (f.entry_count != feed_entries[f.id]) return fail("feed entry count differs");
    if (atom ? f.atom.category_count != feed_links[3][f.id] || f.atom.author_count != feed_links[5][f.id] ||
                   f.atom.contributor_count != feed_links[7][f.id] || f.atom.atom_link_count != feed_links[0][f.id]
             : f.rss.category_count != feed_links[1][f.id] || feed_links[0][f.id])
      return fail("feed link counts differ");
    if (!atom && (feed_links[3][f.id] || feed_links[5][f.id] || feed_links[7][f.id]))
      return fail("feed link counts differ");
  }
  for (u32 i = 0; i < ne; ++i) {
    entry e;
    memcpy(&e, b + s->pool_at[pool_entries] + i * sizeof(entry), sizeof(entry));
    bool atom = entry_get_type(&e) == feed_type_atom;
    if (atom ? e.atom.category_count != entry_links[4][e.id] || e.atom.author_count != entry_links[6][e.id] ||
                   e.atom.contributor_count != entry_links[8][e.id] || e.atom.atom_link_count != entry_links[0][e.id]
             : e.rss.category_count != entry_links[2][e.id])
      return fail("entry link counts differ");
  }
  memory_zero(meta_seen, nf + 1);
  for (u32 i = 0; i < nf; ++i) {
    meta m;
    memcpy(&m, b + s->pool_at[pool_metas] + i * sizeof(meta), sizeof(meta));
    if (m.feed_id == 0 || m.feed_id > nf || meta_seen[m.feed_id]) return fail("meta of no feed or a second one");
    meta_seen[m.feed_id] = 1;
    if ((u64)(uintptr_t)m.opener >= READER_LINK_OPENER_COUNT) return fail("bad opener index");
  }
  for (u32 o = 0; o < READER_LINK_OPENER_COUNT; ++o) {
    link_opener op;
    memcpy(&op, b + s->openers_at + o * sizeof(link_opener), sizeof(link_opener));
    if (!strings_ok(7, &op, length)) return fail("opener text outside the arena");
  }
  u32 previous = 0;
  for (u32 i = 0; i < s->codepoints; ++i) {
    u32 c = read_u32(b + s->codepoints_at + 4ull * i);
    if (!unicode_is_scalar_value(c) || (i && c <= previous)) return fail("code points not ascending scalar values");
    previous = c;
    bit_set(bits, c);
  }
  ok = true;
  bool printable_ascii = true;
  for (u32 c = 0x20; c < 0x7F; ++c) printable_ascii = printable_ascii && bit_get(bits, c);
  if (check_texts)
    decode_codepoints(texts, texts + length, [&](u32 c) { ok = ok && bit_get(bits, c); }, printable_ascii);
  if (!ok) return fail("a text uses a code point the list lacks");
  memory_free(&block);
  return true;
}

// ---- Installing an image -----------------------------------------------------------------

static void codepoints_reset(codepoint_set *set) {
  for (u32 i = 0; i < set->count; ++i) set->present[set->items[i] >> 6] &= ~(1ull << (set->items[i] & 63));
  set->count = 0;
}

void reader_reset(reader *r) {
  pool_test_fn *live[7] = {feed_is_live, entry_is_live, category_is_live, person_is_live,
                           atom_link_is_live, link_is_live, meta_is_live};
  pool_kill_fn *clear[7] = {feed_clear, entry_clear, category_clear, person_clear, atom_link_clear, link_clear, meta_clear};
  for (u32 k = 0; k < 7; ++k) {
    pool *p = reader_pool(r, k);
    memory_zero(p->items, (u64)p->high_water * save_record_size[k]);
    p->entry_count = 0;
    pool_compact(p, save_record_size[k], live[k], clear[k]);
  }
  reader_index_rebuild(r);
  r->strings.used = 0;
  r->strings_live = 0;
  r->next_feed_id = r->entry_counter = r->category_counter = r->person_counter = r->generation = 0;
  memory_zero(r->link_openers, sizeof(r->link_openers));
  r->full_reported = 0;
  if (codepoint_set *set = r->codepoints) {
    codepoints_reset(set);
    u32 builtin[256];
    u32 n = builtin_codepoints(builtin);
    for (u32 i = 0; i < n; ++i) codepoint_set_add(set, builtin[i]);
  }
}

// The image's texts either follow the rest in bytes (texts null) or were read straight into the
// arena (texts the arena's base), which then needs no copy.
static bool reader_install(reader *r, const u8 *bytes, u64 size, const u8 *texts, u64 texts_size) {
  image_sections s = {};
  if (!image_check(bytes, size, texts, texts_size, reader_limits(r), &s, true)) return false;
  if (!reader_strings_reserve(r, s.strings_length)) return reject("no memory for the texts");
  u8 *base = r->strings.data;
  if (texts != base) memcpy(base, bytes + s.strings_at, s.strings_length);
  r->strings.used = s.strings_length;
  r->strings_live = s.strings_length;

  buffer *fields[32];
  for (u32 k = 0; k < 7; ++k) {
    pool *p = reader_pool(r, k);
    // Slots 0 to count - 1 in use, the next allocation takes slot count.
    if (!pool_fill_front(p, save_record_size[k], s.count[k])) {
      reader_reset(r);
      return reject("no memory for the records");
    }
    memcpy(p->items, bytes + s.pool_at[k], s.count[k] * save_record_size[k]);
    for (u32 i = 0; i < s.count[k]; ++i) {
      void *record = pool_get(p, save_record_size[k], i);
      zero_unused_layout(k, record);
      u32 n = k < pool_links ? record_strings(k, record, fields) : 0;
      for (u32 f = 0; f < n; ++f) fields[f]->data = base + (u64)(uintptr_t)fields[f]->data;
      if (k == pool_metas) {
        meta *m = (meta *)record;
        m->opener = &r->link_openers[(u64)(uintptr_t)m->opener];
      }
    }
  }
  memcpy(r->link_openers, bytes + s.openers_at, SAVE_FILE_OPENERS_SIZE);
  for (link_opener &o : r->link_openers) {
    u32 n = opener_strings(&o, fields);
    for (u32 f = 0; f < n; ++f) fields[f]->data = base + (u64)(uintptr_t)fields[f]->data;
  }
  r->next_feed_id = s.counters[0];
  r->entry_counter = s.counters[1];
  r->category_counter = s.counters[2];
  r->person_counter = s.counters[3];
  r->generation = s.counters[4];
  if (codepoint_set *set = r->codepoints) {
    codepoints_reset(set);
    for (u32 i = 0; i < s.codepoints; ++i) codepoint_set_add(set, read_u32(bytes + s.codepoints_at + 4ull * i));
  }
  reader_index_rebuild(r);
  if (reader_check(r) != 0) {
    reader_reset(r);
    return reject("the store's check failed");
  }
  return true;
}

bool reader_read_bytes(reader *r, const u8 *bytes, u64 size) { return reader_install(r, bytes, size, nullptr, 0); }

// Reads everything before the texts into a block and the texts straight into the arena, so the
// largest section is read once into its final place. False, with nothing read into the store,
// when the file's own sizes do not say where the texts lie: the caller then reads it whole and
// the checks say what is wrong.
static bool reader_read_split(reader *r, buffer path, u64 size, u32 *error, bool *ok) {
  u8 start[SAVE_FILE_COUNTERS_END];
  if (size < SAVE_FILE_COUNTERS_END) return false;
  platform_file f = file_open(path, 0, 0, error);
  if (*error) return false;
  bool split = false;
  buffer head = {};
  file_read_at(f, 0, sizeof start, start, error);
  s64 codepoints_end = 0;
  if (!*error) memcpy(&codepoints_end, start + 8 + 8 * 8, 8);
  u64 head_size = (u64)codepoints_end + 4;
  if (!*error && codepoints_end >= (s64)SAVE_FILE_COUNTERS_END && head_size <= size) {
    head = memory_alloc(head_size, nullptr);
    memory_prefer_large_pages(head);
  }
  if (head.data) file_read_at(f, 0, head_size, head.data, error);
  if (head.data && !*error) {
    u64 length = read_u32(head.data + head_size - 4);
    if (head_size + length == size && length + READER_STRINGS_STEP < r->strings_a.size &&
        reader_strings_reserve(r, length)) {
      file_read_at(f, head_size, length, r->strings.data, error);
      split = true;
      if (!*error) *ok = reader_install(r, head.data, head_size, r->strings.data, length);
    }
  }
  memory_free(&head);
  if (!file_close(f, error) && !*error) *error = file_error_close_invalid;
  return split || *error;
}

bool reader_read(reader *r, buffer path, u32 *error) {
  if (*error) return false;
  u64 size = file_size(path, error);
  if (*error) return false;
  // The largest file the checks could accept; anything larger is refused unread.
  image_limits limits = reader_limits(r);
  u64 largest = SAVE_FILE_COUNTERS_END + SAVE_FILE_OPENERS_SIZE + 8 + 4ull * CODEPOINT_SET_CAPACITY + limits.strings;
  for (u32 k = 0; k < 7; ++k) largest += 4 + limits.capacity[k] * save_record_size[k];
  if (size > largest) return reject("larger than any store");
  bool ok = false;
  if (reader_read_split(r, path, size, error, &ok)) return ok && !*error;
  if (*error) return false;
  buffer content = file_read_all(path, 0, error);
  if (*error) return false;
  ok = reader_read_bytes(r, content.data, content.used);
  file_content_free(&content);
  return ok;
}

// ---- Writing the file --------------------------------------------------------------------

// The temporary file sits in the same folder (a rename never crosses file systems) under one
// fixed name, so a save cut short leaves at most one, replaced by the next save.
static buffer temporary_path(buffer path, u8 *area, u64 area_size) {
  u64 folder = 0;
  for (u64 i = path.used; i > 0; --i)
    if (path.data[i - 1] == '/') {
      folder = i;
      break;
    }
  buffer name = string_lit("feed_data.tmp");
  if (folder + name.used >= area_size) return buffer{};
  memcpy(area, path.data, folder);
  memcpy(area + folder, name.data, name.used);
  return string_from_bytes(area, folder + name.used);
}

void reader_write(reader *r, buffer path, u32 *error) {
  if (*error) return;
  u8 temporary_area[FILE_PATH_AREA_SIZE];
  buffer temporary = temporary_path(path, temporary_area, sizeof(temporary_area));
  if (!temporary.data) {
    *error = file_error_path;
    return;
  }
  image_parts image = reader_write_parts(r);
  if (!image.block.data) {
    *error = file_error_out_of_memory;
    return;
  }
  // A save must never leave a file that its own loader refuses. The code-point list was just
  // made from these texts by the loader's own decoding, so only that check is left out.
  image_sections sections;
  if (!image_check(image.block.data, image.head, image.texts, image.texts_size, reader_limits(r), &sections, false)) {
    log_text("reader_write: the store is not consistent; nothing written.\n");
    memory_free(&image.block);
    *error = file_error_write;
    return;
  }
  // The file holds the user's reading: for the user alone.
  platform_file f = file_create_private(temporary, error);
  if (!*error) {
    // In pieces, each given back once written: the file's pages in the system's cache then take
    // the memory the image just left instead of as much again.
    const u64 piece = MiB(16);
    auto write_out = [&](u64 at, u8 *bytes, u64 n) {
      for (u64 done = 0; done < n && !*error; done += piece) {
        u64 k = n - done < piece ? n - done : piece;
        file_write_at(f, at + done, k, bytes + done, error);
        memory_forget_pages(buffer{k, k, bytes + done});
      }
    };
    write_out(0, image.block.data, image.head);
    write_out(image.head, image.texts, image.texts_size);
    file_sync(f, error);
  }
  if (file_handle_is_valid(f) && !file_close(f, error) && !*error) *error = file_error_close_invalid;
  memory_free(&image.block);
  file_rename(temporary, path, error);
  if (*error) {
    u32 ignored = 0;
    file_delete(temporary, &ignored);
    return;
  }
  // The rename is durable only once the folder's entry is on the disk.
  buffer folder = string_from_bytes(path.data, temporary.used - string_lit("feed_data.tmp").used);
  if (folder.used > 1) folder.used--;  // without the closing '/'
  if (folder.used == 0) folder = string_lit(".");
  dir_sync(folder, error);
}

// ---- Names -------------------------------------------------------------------------------

u64 reader_save_file_number(const u8 *name, u64 length) {
  u64 start = 0;
  for (u64 i = length; i > 0; --i)
    if (name[i - 1] == '/' || name[i - 1] == '\\') {
      start = i;
      break;
    }
  buffer base = string_from_bytes(name + start, length - start);
  buffer prefix = string_lit("feed_data_"), suffix = string_lit(".bin");
  if (base.used != prefix.used + DATE_COMPACT_LENGTH + suffix.used) return 0;
  if (memcmp(base.data, prefix.data, prefix.used) != 0) return 0;
  if (memcmp(base.data + base.used - suffix.used, suffix.data, suffix.used) != 0) return 0;
  date d = date_from_compact_string(string_from_bytes(base.data + prefix.used, DATE_COMPACT_LENGTH));
  return date_is_zero(d) ? 0 : date_to_number(d);
}

static date date_of_number(u64 n) {
  date d = {};
  d.second = (u8)(n % 100), n /= 100;
  d.minute = (u8)(n % 100), n /= 100;
  d.hour = (u8)(n % 100), n /= 100;
  d.day = (u8)(n % 100), n /= 100;
  d.month = (u8)(n % 100), n /= 100;
  d.year = (u16)n;
  return d;
}

// The save files of the folder: their numbers and paths, in the order listed, and room for the
// caller's order of them. Block memory is the caller's to free.
struct save_listing {
  buffer block;
  dir_list list;
  u64 *numbers;
  u32 *order;
  u32 count;
};

// The whole folder is listed: a save file left out could be newer than the one loaded, or be
// counted out of the ten kept. The room doubles until every ".bin" entry fits.
static void save_list(buffer folder, save_listing *out) {
  *out = save_listing{};
  // The arrays of one entry and its path: the folder, '/' and a name of at most 255 bytes.
  u64 entry_bytes = sizeof(u8 *) + 8 + 2 + 1 + 8 + sizeof(u64) + sizeof(u32) + folder.used + 1 + 255;
  for (u32 capacity = 128;; capacity *= 2) {
    out->block = memory_alloc(capacity * entry_bytes + 64, nullptr);
    if (!out->block.data) {
      log_text("Save files not listed: no memory for the listing.\n");
      return;
    }
    out->numbers = (u64 *)buffer_push_array_bytes(&out->block, sizeof(u64), capacity, 8);
    out->order = (u32 *)buffer_push_array_bytes(&out->block, sizeof(u32), capacity, 4);
    out->list = dir_list_make(&out->block, capacity);
    bool whole = dir_list_files(&out->list, folder, string_lit("bin"), buffer{}, dir_list_include_files) != 0;
    if (whole || capacity >= SAVE_FILE_LIST_MAX) {
      if (!whole) {
        log_text("Save files: the data folder holds more \".bin\" files than the ");
        log_unsigned(SAVE_FILE_LIST_MAX, 0, 0, 0);
        log_text(" looked at.\n");
      }
      break;
    }
    memory_free(&out->block);
  }
  for (u32 i = 0; i < out->list.count; ++i) {
    out->numbers[i] = out->list.is_directory[i] ? 0 : reader_save_file_number(out->list.path[i], out->list.path_length[i]);
  }
  out->count = out->list.count;
}

// The parseable save files, newest first, into the listing's order; their count.
static u32 save_list_newest_first(save_listing *listing) {
  u32 n = 0;
  for (u32 i = 0; i < listing->count; ++i)
    if (listing->numbers[i]) listing->order[n++] = i;
  std::sort(listing->order, listing->order + n,
            [&](u32 a, u32 b) { return listing->numbers[a] > listing->numbers[b]; });
  return n;
}

// A file that does not load (a later version, unreadable, damaged) may still hold the user's
// data: it leaves the rotation under a name without the ".bin" extension and is never deleted.
static void save_file_set_aside(buffer path) {
  u8 area[FILE_PATH_AREA_SIZE];
  buffer aside = {};
  for (u32 k = 0; k < 100 && !aside.data; ++k) {
    buffer name = buffer_make(sizeof(area), 0, area);
    bool fits = buffer_push_bytes(&name, path.data, path.used) &&
                (k == 0 || (buffer_push_bytes(&name, ".", 1) && buffer_push_unsigned(&name, k, 0, ' ', 0))) &&
                buffer_push_bytes(&name, ".rejected", 9);
    if (!fits) break;
    u32 exists_error = 0;
    // An earlier file set aside under the same name is kept too.
    if (!file_exists(name, &exists_error) && !exists_error) aside = name;
  }
  u32 error = 0;
  if (aside.data) file_rename(path, aside, &error);
  if (!aside.data || error) {
    log_text("Save file not loaded and could not be set aside: ");
    log_append_string(path);
    log_text("\n");
    return;
  }
  log_text("Save file not loaded, set aside as: ");
  log_append_string(aside);
  log_text("\n");
}

// The data folder holds the user's reading: a folder it makes is for the user alone. Its parents
// are made as usual.
static bool save_folder_create(buffer folder, u32 *error) {
  if (dir_exists(folder, error)) return true;
  while (folder.used > 1 && folder.data[folder.used - 1] == '/') folder.used--;
  u64 parent = folder.used;
  while (parent > 0 && folder.data[parent - 1] != '/') parent--;
  while (parent > 1 && folder.data[parent - 1] == '/') parent--;
  if (parent > 1 && !dir_create_all(string_from_bytes(folder.data, parent), error)) return false;
  return dir_create_private(folder, error) != 0;
}

// ---- Save and load -----------------------------------------------------------------------

bool reader_save(reader *r, buffer folder) {
  u32 error = 0;
  if (!save_folder_create(folder, &error)) {
    log_text("Error while saving the reader.\n ");
    log_file_error(string_lit("create data folder"), folder, error);
    return false;
  }
  save_listing listing;
  save_list(folder, &listing);
  u64 newest = 0;
  for (u32 i = 0; i < listing.count; ++i) newest = std::max(newest, listing.numbers[i]);
  memory_free(&listing.block);

  // Named later than every save file there, so it is the one loaded next and never rotated away,
  // even when the clock stands behind a file written earlier.
  date when = date_now_utc();
  if (date_to_number(when) <= newest) when = date_add(date_of_number(newest), 0, 0, 0, 0, 0, 1);
  u8 path_area[FILE_PATH_AREA_SIZE];
  buffer path = buffer_make(sizeof(path_area), 0, path_area);
  buffer prefix = string_lit("/feed_data_"), suffix = string_lit(".bin");
  bool fits = buffer_push_bytes(&path, folder.data, folder.used) && buffer_push_bytes(&path, prefix.data, prefix.used) &&
              date_to_compact_string(when, &path) && buffer_push_bytes(&path, suffix.data, suffix.used);
  if (!fits) {
    log_text("Error while saving the reader.\n the data folder's path is too long.\n");
    return false;
  }
  path.size = path.used;
  u64 written = date_to_number(when);
  reader_write(r, path, &error);
  if (error) {
    log_text("Error while saving the reader.\n ");
    log_file_error(string_lit("save"), path, error);
    return false;
  }

  save_list(folder, &listing);
  u32 parseable = save_list_newest_first(&listing);
  if (parseable > SAVE_FILE_KEEP) {
    for (u32 k = SAVE_FILE_KEEP; k < parseable; ++k) {
      u32 i = listing.order[k];
      if (listing.numbers[i] >= written) continue;
      u32 delete_error = 0;
      buffer old = string_from_bytes(listing.list.path[i], listing.list.path_length[i]);
      if (!file_delete(old, &delete_error)) log_file_error(string_lit("rotate"), old, delete_error);
    }
  }
  memory_free(&listing.block);
  return true;
}

u64 reader_load(reader *r, buffer folder) {
  u32 error = 0;
  if (!folder.used || !dir_exists(folder, &error)) return 0;
  save_listing listing;
  save_list(folder, &listing);
  u32 n = save_list_newest_first(&listing);
  u64 loaded = 0;
  for (u32 k = 0; k < n && !loaded; ++k) {
    u32 i = listing.order[k];
    buffer path = string_from_bytes(listing.list.path[i], listing.list.path_length[i]);
    u32 read_error = 0;
    if (reader_read(r, path, &read_error)) {
      loaded = listing.numbers[i];
      break;
    }
    if (read_error) log_file_error(string_lit("load"), path, read_error);
    log_text("Save file not loaded, trying an older one: ");
    log_append_string(path);
    log_text("\n");
    save_file_set_aside(path);
    reader_reset(r);
  }
  memory_free(&listing.block);
  return loaded;
}
