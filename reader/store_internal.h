// Helpers shared by the store's implementation files; not part of the layer's contract.
#pragma once

#include "reader/reader.h"

// Whether a bitmap of code points (one bit each) holds every printable ASCII character.
inline bool bits_hold_printable_ascii(const u64 *bits) {
  const u64 low = 0xFFFFFFFF00000000ull, high = 0x7FFFFFFFFFFFFFFFull;  // 0x20 to 0x3F, 0x40 to 0x7E
  return (bits[0] & low) == low && (bits[1] & high) == high;
}

// Whether the eight bytes at p are all printable ASCII (0x20 to 0x7E).
inline bool word_is_printable_ascii(const u8 *p) {
  u64 w;
  memory_copy(&w, p, 8);
  const u64 ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  // No high bit; no byte that 0x20 takes below zero; no byte that 1 takes to 0x80.
  return (w & highs) == 0 && ((w - 0x20 * ones) & ~w & highs) == 0 && ((w + ones) & highs) == 0;
}

// The code point of a well-formed two- or three-byte sequence at p that needs no range check
// beyond its continuation bytes, and its length; 0 for anything else (the caller decodes it in
// full then).
inline u32 utf8_decode_common(const u8 *p, const u8 *end, u32 *c) {
  u8 b0 = p[0];
  if (b0 >= 0xC2 && b0 <= 0xDF && end - p >= 2 && (p[1] & 0xC0) == 0x80) {
    *c = (u32)(b0 & 0x1F) << 6 | (p[1] & 0x3F);
    return 2;
  }
  // E0 (overlong forms) and ED (surrogates) need their second byte's range checked.
  if (b0 >= 0xE1 && b0 <= 0xEF && b0 != 0xED && end - p >= 3 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) {
    *c = (u32)(b0 & 0x0F) << 12 | (u32)(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
    return 3;
  }
  return 0;
}

// The code point of the sequence at p and its length, in place for the common sequences and by
// the full decoder for the rest; 0 when the bytes are not a well-formed sequence.
inline u32 utf8_decode_one(const u8 *p, const u8 *end, u32 *c) {
  u32 length = utf8_decode_common(p, end, c);
  if (length) return length;
  u32 error = 0;
  u8 n = 0;
  unicode_utf8_decode(p, end, c, &n, &error);
  return error ? 0 : n;
}

#if QM_TEST_HOOKS
// Records and table places looked at by look-ups and walks; see reader_work_steps.
extern u64 reader_steps;
#endif

// Calls visit(item) for every live item in slot order until it returns true. The walk stops
// after as many live items as the pool counts, but never leaves the pool whatever the counts say.
template <class T, class F>
T *store_walk(pool *p, bool (*is_live)(void *), F visit) {
  u32 seen = 0;
  for (u32 i = 0; i < p->high_water && seen < p->entry_count; ++i) {
    WORK_COUNT(reader_steps, 1);
    T *item = (T *)pool_get(p, sizeof(T), i);
    if (!is_live(item)) continue;
    ++seen;
    if (visit(item)) return item;
  }
  return nullptr;
}

// reader_check, telling apart a check that could not be made: *out_of_memory is set when there
// was no memory to check the links (which then count as one problem).
u32 reader_check_memory(reader *r, bool *out_of_memory);

// Logs "Feed error: <message>" the first time a limit is met, until it has room again.
void reader_report_full(reader *r, u32 bit, const char *message);
inline void reader_clear_full(reader *r, u32 bit) { r->full_reported &= ~bit; }

// Frees the relation links of the kinds owned by the id, lowering the matching count for each,
// until every count is 0.
void reader_free_owned_links(reader *r, u32 owner_id, const u32 *kinds, u32 **counts, u32 n);

void reader_id_values_release(reader_id_values *t);
// No update of this run listed anything (an emptied store).
void reader_listing_forget(reader *r);

// ---- Pools and string fields -------------------------------------------------------------

// The pools in the order of the save file.
enum : u32 { pool_feeds, pool_entries, pool_categories, pool_persons, pool_atom_links, pool_links, pool_metas };
pool *reader_pool(reader *r, u32 which);

// Pointers to the string fields of a record, in the order the arena is rewritten: 23 for an RSS
// feed, 10 for an Atom one, 10 and 6 for entries. The record's kind must have been checked.
u32 feed_strings(feed *f, buffer **out);
u32 entry_strings(entry *e, buffer **out);
// Any record of the pools that have texts (feeds to Atom links), by pool; 0 for the others.
u32 record_strings(u32 which, void *record, buffer **out);
u32 opener_strings(link_opener *o, buffer **out);
// The bytes a text takes in the arena: its capacity (a terminator within it comes along), never
// less than its length.
inline u64 reader_string_span(buffer s) { return !s.data ? 0 : s.size > s.used ? s.size : s.used; }

// ---- Look-ups ----------------------------------------------------------------------------

u32 index_hash_bytes(buffer text);
u32 index_hash_ids(u32 a, u32 b, u32 c);
// Files the slot under the hash (moving it when it was filed under another). Without memory the
// index turns broken and its users walk the pool.
void index_file(reader_index *x, u32 slot, u32 hash);
void index_unfile(reader_index *x, u32 slot);
void index_clear(reader_index *x);
void index_free(reader_index *x);

// Calls visit(slot) for the slots filed under the hash (others may share its bucket) until it
// returns true; the slot it stopped on, or UINT32_MAX. The chain is in no particular order.
template <class F>
u32 index_walk(const reader_index *x, u32 hash, F visit) {
  if (!x->block.data) return UINT32_MAX;
  for (u32 h = x->heads[hash & x->mask]; h;) {
    u32 s = h - 1;
    WORK_COUNT(reader_steps, 1);
    if (visit(s)) return s;
    h = x->next[s] == 1 ? 0 : x->next[s] - 1;
  }
  return UINT32_MAX;
}

template <class F>
void index_each(const reader_index *x, u32 hash, F visit) {
  index_walk(x, hash, [&](u32 s) { return visit(s), false; });
}

// The look-ups as plain walks of the pools: what a broken index falls back to, and what the
// indexed ones must always agree with.
feed *reader_find_feed_linear(reader *r, u32 id);
feed *reader_find_feed_by_url_linear(reader *r, buffer url);
u32 reader_find_category_linear(reader *r, buffer term);
u32 reader_find_person_by_name_linear(reader *r, buffer name);
meta *reader_get_meta_linear(reader *r, u32 feed_id);
category *reader_find_category_by_id_linear(reader *r, u32 id);
person *reader_find_person_linear(reader *r, u32 id);
bool reader_owner_links_to_linear(reader *r, u32 kind, u32 owner_id, u32 target_id, u32 count);
bool reader_owner_links_to(reader *r, u32 kind, u32 owner_id, u32 target_id, u32 count);

// Filing and unfiling records as they are made and freed.
void reader_file_feed(reader *r, feed *f);
void reader_unfile_feed(reader *r, feed *f);
void reader_file_meta(reader *r, meta *m);
void reader_unfile_meta(reader *r, meta *m);
void reader_file_category(reader *r, category *c);
void reader_unfile_category(reader *r, category *c);
void reader_file_person(reader *r, person *p);
void reader_unfile_person(reader *r, person *p);
void reader_file_link(reader *r, struct link *l);
void reader_unfile_link(reader *r, struct link *l);
void reader_file_atom_link(reader *r, atom_link *l);
void reader_unfile_atom_link(reader *r, atom_link *l);
void reader_file_entry(reader *r, entry *e);
void reader_unfile_entry(reader *r, entry *e);
void reader_index_free(reader *r);

u32 index_hash_owner(u32 owner_id, bool by_feed);
void index_sort_slots(u32 *slots, u64 n);

// The slots filed under the hash whose records pass the test, ascending, so callers see them in
// slot order as a walk of the pool would; then visit(item) on each until it returns true. False
// when the index is broken (the caller walks the pool then).
template <class T, class M, class F>
bool index_visit_sorted(reader_index *x, pool *p, u32 hash, M matches, F visit) {
  if (x->broken) return false;
  u32 local[1024];
  u32 *slots = local;
  u64 n = 0, room = 1024;
  buffer block = {};
  bool ok = true;
  index_each(x, hash, [&](u32 s) {
    if (!ok || s >= p->high_water || !matches((T *)pool_get(p, sizeof(T), s))) return;
    if (n == room) {
      // A very long chain: its slots go to a block of their own.
      buffer grown = memory_alloc(8 * room, nullptr);
      if (!grown.data) {
        ok = false;
        return;
      }
      memory_copy(grown.data, slots, 4 * n);
      memory_free(&block);
      block = grown;
      slots = (u32 *)block.data;
      room *= 2;
    }
    slots[n++] = s;
  });
  if (!ok) {
    memory_free(&block);
    return false;
  }
  index_sort_slots(slots, n);
  for (u64 i = 0; i < n; ++i)
    if (visit((T *)pool_get(p, sizeof(T), slots[i]))) break;
  memory_free(&block);
  return true;
}

// The same through the index, or through a walk of the pool when the index cannot answer (it is
// broken, or its slots found no memory); either way visit meets the records in slot order.
template <class T, class M, class F>
void store_visit_sorted(reader_index *x, pool *p, bool (*is_live)(void *), u32 hash, M matches, F visit) {
  if (!index_visit_sorted<T>(x, p, hash, matches, visit))
    store_walk<T>(p, is_live, [&](T *item) { return matches(item) && visit(item); });
}

// The relation links filed under an owner (a feed, or an entry) that pass the test, in slot order.
template <class M, class F>
void reader_visit_owned_links(reader *r, u32 owner_id, bool by_feed, M matches, F visit) {
  store_visit_sorted<struct link>(&r->links_by_owner, &r->links, link_is_live, index_hash_owner(owner_id, by_feed),
                                  matches, visit);
}

// The Atom links filed under an owner that pass the test, in slot order.
template <class M, class F>
void reader_visit_owned_atom_links(reader *r, u32 owner_kind, u32 owner_id, M matches, F visit) {
  store_visit_sorted<atom_link>(&r->atom_links_by_owner, &r->atom_links, atom_link_is_live,
                                index_hash_owner(owner_id, owner_kind == atom_link_owner_feed), matches, visit);
}

// The live entries of the feed in no particular order, until visit returns true; the entry it
// stopped on, or null. Nothing is allocated or sorted: for look-ups whose answer does not
// depend on the order, or that pick by slot themselves.
template <class F>
entry *reader_each_feed_entry(reader *r, u32 feed_id, F visit) {
  pool *p = &r->entries;
  auto mine = [&](entry *e) { return entry_is_live(e) && e->feed_id == feed_id; };
  if (r->entries_by_feed.broken)
    return store_walk<entry>(p, entry_is_live, [&](entry *e) { return mine(e) && visit(e); });
  u32 s = index_walk(&r->entries_by_feed, index_hash_ids(feed_id, 0, 0), [&](u32 s) {
    if (s >= p->high_water) return false;
    entry *e = (entry *)pool_get(p, sizeof(entry), s);
    return mine(e) && visit(e);
  });
  return s == UINT32_MAX ? nullptr : (entry *)pool_get(p, sizeof(entry), s);
}

// Of the feed's live entries that pass the test, the one in the lowest (or highest) slot, as a
// walk in slot order would meet it first (last).
template <class F>
entry *reader_pick_feed_entry(reader *r, u32 feed_id, bool lowest, F accept) {
  entry *best = nullptr;
  reader_each_feed_entry(r, feed_id, [&](entry *e) {
    if (accept(e) && (!best || (lowest ? e < best : e > best))) best = e;
    return false;
  });
  return best;
}

// The live entries of the feed in slot order, until visit returns true; the entry it stopped
// on, or null. The slots are collected first, so visit may free the entry it is given.
template <class F>
entry *reader_walk_feed_entries(reader *r, u32 feed_id, F visit) {
  entry *found = nullptr;
  auto mine = [&](entry *e) { return entry_is_live(e) && e->feed_id == feed_id; };
  auto stop = [&](entry *e) { return visit(e) ? (found = e, true) : false; };
  store_visit_sorted<entry>(&r->entries_by_feed, &r->entries, entry_is_live, index_hash_ids(feed_id, 0, 0), mine, stop);
  return found;
}
