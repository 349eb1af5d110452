// Checking a save image field by field before anything of it is used: sections against the
// header, counts against the reader's capacities, every record's kind, ids, owners, dates and
// text ranges, the counts records keep of what they own, and the code points of the texts.
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

image_limits reader_limits(reader *r) {
  image_limits l = {};
  for (u32 k = 0; k < 7; ++k) l.capacity[k] = reader_pool(r, k)->max_entry_count;
  l.strings = r->strings_a.size;
  return l;
}

bool image_check(const u8 *b, u64 size, const u8 *texts, u64 texts_size, const image_limits &limits,
                 image_sections *s, bool check_texts) {
  if (size < SAVE_FILE_COUNTERS_END) return save_reject("shorter than its header");
  if (memcmp(b, SAVE_FILE_MAGIC, 4) != 0) return save_reject("not a save file");
  if (read_u32(b + 4) > SAVE_FILE_VERSION) return save_reject("a later version");
  s64 header[10];
  memcpy(header, b + 8, sizeof(header));
  memcpy(s->counters, b + SAVE_FILE_HEADER_END, sizeof(s->counters));
  if (header[0] != SAVE_FILE_HEADER_END || header[1] != 20 || header[2] != SAVE_FILE_COUNTERS_END)
    return save_reject("header does not match the counters");
  u64 at = SAVE_FILE_COUNTERS_END;
  for (u32 k = 0; k < 7; ++k) {
    if (size - at < 4) return save_reject("cut inside the pools");
    s->count[k] = read_u32(b + at);
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
  s->codepoints = read_u32(b + at);
  if (s->codepoints > CODEPOINT_SET_CAPACITY) return save_reject("more code points than the set holds");
  s->codepoints_at = at + 4;
  if ((size - at - 4) / 4 < s->codepoints) return save_reject("cut inside the code points");
  at += 4 + 4ull * s->codepoints;
  if ((u64)header[7] != 4 + 4ull * s->codepoints || (u64)header[8] != at) return save_reject("header does not match the code points");
  if (size - at < 4) return save_reject("cut inside the texts");
  s->strings_length = read_u32(b + at);
  if (s->strings_length + READER_STRINGS_STEP >= limits.strings) return save_reject("texts larger than the arena");
  s->strings_at = at + 4;
  if ((u64)header[9] != 4ull + s->strings_length) return save_reject("header does not match the texts");
  if (texts ? s->strings_at != size || texts_size != s->strings_length : size - s->strings_at != s->strings_length)
    return save_reject("size differs from the content");
  if (!texts) texts = b + s->strings_at;

  const u32 nf = s->count[pool_feeds], ne = s->count[pool_entries], nc = s->count[pool_categories];
  const u32 np = s->count[pool_persons];
  const u64 length = s->strings_length;
  if (s->counters[0] != nf || s->counters[1] != ne || s->counters[2] != nc || s->counters[3] != np)
    return save_reject("counters do not match the records");
  const u32 generations = s->counters[4];
  if (generations > ne || (ne && !generations)) return save_reject("bad generation counter");
  if (s->count[pool_metas] != nf) return save_reject("not one meta per feed");

  // What the records say they own, counted from the other side: per feed and per entry.
  u64 tally_words = 8ull * (nf + 1) + 7ull * (ne + 1);
  buffer block = memory_alloc(tally_words * 4 + CODEPOINT_SET_CAPACITY / 8 + 64, nullptr);
  if (!block.data) return save_reject("no memory to check it");
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
    return save_reject(why);
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
