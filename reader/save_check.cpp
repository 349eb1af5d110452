// Checking a save image field by field before anything of it is used: sections against the
// header, counts against the reader's capacities, every record's kind, ids, owners, dates and
// text ranges, the counts records keep of what they own, and the code points of the texts. The
// records are looked at once each, in the file's order, so the writer checks what it writes as
// it goes and the reader checks records where it read them.
#include "reader/save_internal.h"

// ---- Dates -------------------------------------------------------------------------------

static bool feed_dates_ok(const feed &f) {
  if (feed_get_type(&f) == feed_type_atom) return date_ok(f.atom.updated);
  return date_ok(f.rss.pubDate) && date_ok(f.rss.newest_date);
}

static bool entry_dates_ok(const entry &e) {
  if (entry_get_type(&e) == feed_type_atom) return date_ok(e.atom.published) && date_ok(e.atom.updated);
  return date_ok(e.rss.pubDate);
}

// ---- Checking an image -------------------------------------------------------------------

bool save_reject(const char *why) {
  log_text("Save file rejected: ");
  log_text(why);
  log_text("\n");
  return false;
}


static bool string_in_arena(buffer s, u64 length) {
  u64 offset = (u64)(uintptr_t)s.data;
  return s.used <= s.size && offset <= length && s.size <= length - offset;
}

static bool strings_ok(u32 which, const void *record, u64 length) {
  buffer *fields[32];
  void *r = (void *)record;  // the field lists give pointers for writing; only read here
  u32 n = which == image_part_opener ? opener_strings((link_opener *)r, fields) : record_strings(which, r, fields);
  for (u32 i = 0; i < n; ++i)
    if (!string_in_arena(*fields[i], length)) return false;
  return true;
}

static bool type_word_ok(u32 type) {
  u32 kind = type & feed_type_mask;
  return (type & ~(feed_type_mask | feed_type_deleted)) == 0 && (kind == feed_type_rss || kind == feed_type_atom);
}

image_limits reader_limits(reader *r) {
  image_limits l = {};
  for (u32 k = 0; k < 7; ++k) l.capacity[k] = reader_pool(r, k)->max_entry_count;
  l.strings = r->strings_a.memory.size;
  return l;
}

// ---- Structure ---------------------------------------------------------------------------

bool image_source_read(const image_source *s, u64 at, u64 n, void *into, u32 *error) {
  if (*error) return false;
  if (s->bytes) {
    if (n) memcpy(into, s->bytes + at, n);
    return true;
  }
  file_read_at(s->file, at, n, into, error);
  return !*error;
}

bool image_layout_read(const image_source *src, const image_limits &limits, image_layout *s, u32 *error) {
  const u64 size = src->size;
  *s = image_layout{};
  if (size < SAVE_FILE_COUNTERS_END) return save_reject("shorter than its header");
  u8 start[SAVE_FILE_COUNTERS_END];
  if (!image_source_read(src, 0, sizeof start, start, error)) return false;
  if (memcmp(start, SAVE_FILE_MAGIC, 4) != 0) return save_reject("not a save file");
  if (read_u32(start + 4) > SAVE_FILE_VERSION) return save_reject("a later version");
  s64 header[10];
  memcpy(header, start + 8, sizeof(header));
  memcpy(s->counters, start + SAVE_FILE_HEADER_END, sizeof(s->counters));
  if (header[0] != SAVE_FILE_HEADER_END || header[1] != 20 || header[2] != SAVE_FILE_COUNTERS_END)
    return save_reject("header does not match the counters");
  u8 word[4];
  u64 at = SAVE_FILE_COUNTERS_END;
  for (u32 k = 0; k < 7; ++k) {
    if (size - at < 4) return save_reject("cut inside the pools");
    if (!image_source_read(src, at, 4, word, error)) return false;
    s->count[k] = read_u32(word);
    at += 4;
    if (s->count[k] > limits.capacity[k]) return save_reject("more records than a pool holds");
    s->pool_at[k] = at;
    u64 bytes = s->count[k] * save_record_size[k];
    if (size - at < bytes) return save_reject("cut inside the pools");
    at += bytes;
  }
  if ((u64)header[3] != at - SAVE_FILE_COUNTERS_END || (u64)header[4] != at) return save_reject("header does not match the pools");
  if (size - at < SAVE_FILE_OPENERS_SIZE) return save_reject("cut inside the openers");
  s->openers_at = at;
  at += SAVE_FILE_OPENERS_SIZE;
  if (header[5] != SAVE_FILE_OPENERS_SIZE || (u64)header[6] != at) return save_reject("header does not match the openers");
  if (size - at < 4) return save_reject("cut inside the code points");
  if (!image_source_read(src, at, 4, word, error)) return false;
  s->codepoints = read_u32(word);
  if (s->codepoints > CODEPOINT_SET_CAPACITY) return save_reject("more code points than the set holds");
  s->codepoints_at = at + 4;
  if ((size - at - 4) / 4 < s->codepoints) return save_reject("cut inside the code points");
  at += 4 + 4ull * s->codepoints;
  if ((u64)header[7] != 4 + 4ull * s->codepoints || (u64)header[8] != at) return save_reject("header does not match the code points");
  if (size - at < 4) return save_reject("cut inside the texts");
  if (!image_source_read(src, at, 4, word, error)) return false;
  s->strings_length = read_u32(word);
  if (s->strings_length + READER_STRINGS_STEP >= limits.strings) return save_reject("texts larger than the arena");
  s->strings_at = at + 4;
  if ((u64)header[9] != 4ull + s->strings_length) return save_reject("header does not match the texts");
  if (size - s->strings_at != s->strings_length) return save_reject("size differs from the content");
  return true;
}

// ---- Records -----------------------------------------------------------------------------

// What a feed and an entry say they own, by place in their row of owed counts.
enum : u32 { owed_feed_entries, owed_feed_categories, owed_feed_authors, owed_feed_contributors, owed_feed_atom_links };
enum : u32 { owed_entry_categories, owed_entry_authors, owed_entry_contributors, owed_entry_atom_links };
#define OWED_PER_FEED 5u
#define OWED_PER_ENTRY 4u

// The place of a relation link's kind in its owner's row: category, author or contributor.
static u32 owed_of_link(u32 kind) {
  u32 place = kind <= link_kind_atom_entry_category ? 0 : kind <= link_kind_atom_entry_author ? 1 : 2;
  return link_owned_by_feed(kind) ? owed_feed_categories + place : owed_entry_categories + place;
}

bool image_checker_begin(image_checker *c, const image_layout &s, u32 *error) {
  *c = image_checker{};
  c->layout = s;
  const u32 nf = s.count[pool_feeds], ne = s.count[pool_entries];
  if (s.counters[0] != nf || s.counters[1] != ne || s.counters[2] != s.count[pool_categories] ||
      s.counters[3] != s.count[pool_persons])
    return save_reject("counters do not match the records");
  const u32 generations = s.counters[4];
  if (generations > ne || (ne && !generations)) return save_reject("bad generation counter");
  if (s.count[pool_metas] != nf) return save_reject("not one meta per feed");
  u64 bytes = CODEPOINT_SET_CAPACITY / 8 + 4 * (OWED_PER_FEED * ((u64)nf + 1) + OWED_PER_ENTRY * ((u64)ne + 1)) +
              2 * ((u64)nf + 1) + ((u64)ne + 1) + 64;
  c->block = memory_alloc(bytes, nullptr);
  if (!c->block.data) {
    file_error_set_reason(error, file_error_out_of_memory, 0);
    return false;
  }
  c->bits = buffer_push_array(&c->block, u64, CODEPOINT_WORDS);
  c->feed_owed = buffer_push_array(&c->block, u32, OWED_PER_FEED * ((u64)nf + 1));
  c->entry_owed = buffer_push_array(&c->block, u32, OWED_PER_ENTRY * ((u64)ne + 1));
  c->feed_kind = buffer_push_array(&c->block, u8, (u64)nf + 1);
  c->meta_seen = buffer_push_array(&c->block, u8, (u64)nf + 1);
  c->entry_kind = buffer_push_array(&c->block, u8, (u64)ne + 1);
  invariant(c->entry_kind);
  return true;
}

void image_checker_free(image_checker *c) { memory_free(&c->block); }

// What a feed or an entry says it owns, into the link places of its row (an RSS one owns only
// categories).
static void owe_links(u32 *row, u32 categories, u32 authors, u32 contributors, u32 atom_links) {
  row[0] = categories, row[1] = authors, row[2] = contributors, row[3] = atom_links;
}

static bool check_feed(image_checker *c, const feed &f, u32 index) {
  if (!type_word_ok(f.type)) return save_reject("bad feed type");
  if (f.id != index + 1) return save_reject("feed ids are not dense");
  if (!feed_dates_ok(f)) return save_reject("feed date off the calendar");
  if (!strings_ok(pool_feeds, &f, c->layout.strings_length)) return save_reject("feed text outside the arena");
  c->feed_kind[f.id] = (u8)feed_get_type(&f);
  u32 *owed = c->feed_owed + OWED_PER_FEED * f.id;
  owed[owed_feed_entries] = f.entry_count;
  bool atom = feed_get_type(&f) == feed_type_atom;
  owe_links(owed + owed_feed_categories, atom ? f.atom.category_count : f.rss.category_count,
            atom ? f.atom.author_count : 0, atom ? f.atom.contributor_count : 0, atom ? f.atom.atom_link_count : 0);
  return true;
}

static bool check_entry(image_checker *c, const entry &e, u32 index) {
  const u32 nf = c->layout.count[pool_feeds];
  if (!type_word_ok(e.type)) return save_reject("bad entry type");
  if (e.id != index + 1) return save_reject("entry ids are not dense");
  if (e.feed_id == 0 || e.feed_id > nf || c->feed_kind[e.feed_id] != entry_get_type(&e))
    return save_reject("entry of no feed of its kind");
  if (e.generation == 0 || e.generation > c->layout.counters[4]) return save_reject("bad entry generation");
  if (!entry_dates_ok(e)) return save_reject("entry date off the calendar");
  if (!strings_ok(pool_entries, &e, c->layout.strings_length)) return save_reject("entry text outside the arena");
  c->feed_owed[OWED_PER_FEED * e.feed_id + owed_feed_entries]--;
  c->entry_kind[e.id] = (u8)entry_get_type(&e);
  bool atom = entry_get_type(&e) == feed_type_atom;
  owe_links(c->entry_owed + OWED_PER_ENTRY * e.id, atom ? e.atom.category_count : e.rss.category_count,
            atom ? e.atom.author_count : 0, atom ? e.atom.contributor_count : 0, atom ? e.atom.atom_link_count : 0);
  return true;
}

static bool check_atom_link(image_checker *c, const atom_link &l) {
  bool by_feed = l.owner_kind == atom_link_owner_feed;
  if (!by_feed && l.owner_kind != atom_link_owner_entry) return save_reject("bad Atom link owner kind");
  if (l.rel > atom_link_rel_other) return save_reject("bad Atom link relation");
  u32 limit = by_feed ? c->layout.count[pool_feeds] : c->layout.count[pool_entries];
  if (l.owner_id == 0 || l.owner_id > limit) return save_reject("Atom link of no owner");
  if ((by_feed ? c->feed_kind[l.owner_id] : c->entry_kind[l.owner_id]) != feed_type_atom)
    return save_reject("Atom link of an RSS owner");
  if (!strings_ok(pool_atom_links, &l, c->layout.strings_length))
    return save_reject("Atom link text outside the arena");
  if (by_feed) c->feed_owed[OWED_PER_FEED * l.owner_id + owed_feed_atom_links]--;
  else c->entry_owed[OWED_PER_ENTRY * l.owner_id + owed_entry_atom_links]--;
  return true;
}

static bool check_link(image_checker *c, const struct link &l) {
  if (l.kind < 1 || l.kind > 8) return save_reject("bad link kind");
  bool by_feed = link_owned_by_feed(l.kind);
  u32 limit = by_feed ? c->layout.count[pool_feeds] : c->layout.count[pool_entries];
  if (l.owner_id == 0 || l.owner_id > limit) return save_reject("link of no owner");
  if ((by_feed ? c->feed_kind[l.owner_id] : c->entry_kind[l.owner_id]) != link_owner_type(l.kind))
    return save_reject("link of an owner of another kind");
  u32 targets = link_targets_category(l.kind) ? c->layout.count[pool_categories] : c->layout.count[pool_persons];
  if (l.target_id == 0 || l.target_id > targets) return save_reject("link to nothing");
  if (by_feed) c->feed_owed[OWED_PER_FEED * l.owner_id + owed_of_link(l.kind)]--;
  else c->entry_owed[OWED_PER_ENTRY * l.owner_id + owed_of_link(l.kind)]--;
  return true;
}

bool image_check_record(image_checker *c, u32 which, const void *record) {
  u32 index = c->seen[which]++;
  const u64 length = c->layout.strings_length;
  switch (which) {
    case pool_feeds: return check_feed(c, *(const feed *)record, index);
    case pool_entries: return check_entry(c, *(const entry *)record, index);
    case pool_categories:
    case pool_persons: {
      const category &k = *(const category *)record;  // a person has the same shape
      if (k.id != index + 1) return save_reject("category or person ids are not dense");
      if (!strings_ok(which, &k, length)) return save_reject("category or person text outside the arena");
      return true;
    }
    case pool_atom_links: return check_atom_link(c, *(const atom_link *)record);
    case pool_links: return check_link(c, *(const struct link *)record);
    case pool_metas: {
      const meta &m = *(const meta *)record;
      if (m.feed_id == 0 || m.feed_id > c->layout.count[pool_feeds] || c->meta_seen[m.feed_id])
        return save_reject("meta of no feed or a second one");
      c->meta_seen[m.feed_id] = 1;
      if ((u64)(uintptr_t)m.opener >= READER_LINK_OPENER_COUNT) return save_reject("bad opener index");
      return true;
    }
    default:
      if (!strings_ok(image_part_opener, record, length)) return save_reject("opener text outside the arena");
      return true;
  }
}

bool image_check_codepoint(image_checker *c, u32 code_point) {
  if (!unicode_is_scalar_value(code_point) || (c->codepoints_seen && code_point <= c->previous_codepoint))
    return save_reject("code points not ascending scalar values");
  c->codepoints_seen++;
  c->previous_codepoint = code_point;
  bit_set(c->bits, code_point);
  return true;
}

bool image_checker_end(image_checker *c) {
  for (u64 f = 1; f <= c->layout.count[pool_feeds]; ++f) {
    const u32 *owed = c->feed_owed + OWED_PER_FEED * f;
    if (owed[owed_feed_entries]) return save_reject("feed entry count differs");
    for (u32 k = owed_feed_categories; k < OWED_PER_FEED; ++k)
      if (owed[k]) return save_reject("feed link counts differ");
  }
  const u32 *owed = c->entry_owed + OWED_PER_ENTRY;
  for (u64 i = 0; i < OWED_PER_ENTRY * (u64)c->layout.count[pool_entries]; ++i)
    if (owed[i]) return save_reject("entry link counts differ");
  return true;
}

// ---- Texts -------------------------------------------------------------------------------

const u8 *image_check_texts(image_checker *c, const u8 *from, const u8 *end, bool more_to_come) {
  bool ok = true;
  const u64 *bits = c->bits;
  const u8 *stop = texts_codepoints(from, end, more_to_come, bits_hold_printable_ascii(bits),
                                    [&](u32 code_point) { ok &= bit_get(bits, code_point); });
  if (!ok) {
    save_reject("a text uses a code point the list lacks");
    return nullptr;
  }
  return stop;
}
