// The store's look-ups: chained hash indices of pool slots, kept in step with the pools.
#include <stddef.h>

#include <algorithm>

#include "reader/store_internal.h"

// ---- Index -------------------------------------------------------------------------------

#if QM_TEST_HOOKS
u64 reader_steps = 0;
u64 reader_work_steps() { return reader_steps; }
#endif

u32 index_hash_bytes(buffer text) { return hash_fnv1a_32(text.data, text.used); }
u32 index_hash_ids(u32 a, u32 b, u32 c) {
  return (u32)fasthash_mix(((u64)a << 32 | b) ^ fasthash_mix((u64)c + 0x9e3779b97f4a7c15ull));
}

u32 index_hash_owner(u32 owner_id, bool by_feed) { return index_hash_ids(owner_id, by_feed ? 1 : 2, 7); }

void index_sort_slots(u32 *slots, u64 n) { std::sort(slots, slots + n); }

void index_free(reader_index *x) {
  memory_free(&x->block);
  *x = reader_index{};
}

void index_clear(reader_index *x) {
  if (x->broken) {
    index_free(x);
    return;
  }
  if (!x->block.data) return;
  memory_zero(x->heads, ((u64)x->mask + 1) * 4);
  memory_zero(x->next, (u64)x->slots * 8);  // next and prev, which follow it in the block
}

static void index_link(reader_index *x, u32 slot, u32 hash) {
  u32 *head = &x->heads[hash & x->mask];
  x->next[slot] = *head ? *head + 1 : 1;
  x->prev[slot] = 0;
  if (*head) x->prev[*head - 1] = slot + 1;
  x->hashes[slot] = hash;
  *head = slot + 1;
}

// Room for the slot: arrays twice as large, every filed slot taken over by its hash.
static bool index_grow(reader_index *x, u32 slot) {
  u64 slots = x->slots ? x->slots : 512;
  while (slots <= slot) slots *= 2;
  u64 buckets = slots;  // one bucket per slot keeps chains at about one
  buffer block = memory_alloc(buckets * 4 + slots * 12, nullptr);
  if (!block.data) {
    index_free(x);
    x->broken = 1;
    return false;
  }
  reader_index grown = {};
  grown.block = block;
  grown.heads = (u32 *)block.data;
  grown.next = grown.heads + buckets;
  grown.prev = grown.next + slots;
  grown.hashes = grown.prev + slots;
  grown.slots = (u32)slots;
  grown.mask = (u32)buckets - 1;
  for (u32 s = 0; s < x->slots; ++s)
    if (x->next[s]) index_link(&grown, s, x->hashes[s]);
  memory_free(&x->block);
  *x = grown;
  return true;
}

// The successor of a slot in head form (slot + 1, 0 for none), and back.
static u32 index_successor(const reader_index *x, u32 slot) { return x->next[slot] == 1 ? 0 : x->next[slot] - 1; }
static u32 index_next_of(u32 successor) { return successor ? successor + 1 : 1; }

void index_unfile(reader_index *x, u32 slot) {
  if (x->broken || slot >= x->slots || !x->next[slot]) return;
  WORK_COUNT(reader_steps, 1);
  u32 after = index_successor(x, slot), before = x->prev[slot];
  if (before) x->next[before - 1] = index_next_of(after);
  else x->heads[x->hashes[slot] & x->mask] = after;
  if (after) x->prev[after - 1] = before;
  x->next[slot] = 0;
  x->prev[slot] = 0;
}

void index_file(reader_index *x, u32 slot, u32 hash) {
  if (x->broken) return;
  if (slot >= x->slots && !index_grow(x, slot)) return;
  if (x->next[slot]) index_unfile(x, slot);
  index_link(x, slot, hash);
}

// ---- Filing records ----------------------------------------------------------------------

template <class T>
static u32 slot_of(pool *p, T *item) {
  return pool_index_of(p, sizeof(T), item);
}

static u32 link_hash(u32 kind, u32 owner_id, u32 target_id) { return index_hash_ids(kind, owner_id, target_id); }

// Feeds, categories and persons are filed by id and by one text.
static void file_by_id_and_text(reader_index *by_id, reader_index *by_text, u32 s, u32 id, buffer text) {
  index_file(by_id, s, index_hash_ids(id, 0, 0));
  index_file(by_text, s, index_hash_bytes(text));
}
static void unfile_both(reader_index *a, reader_index *b, u32 s) {
  index_unfile(a, s);
  index_unfile(b, s);
}

void reader_file_feed(reader *r, feed *f) {
  file_by_id_and_text(&r->feeds_by_id, &r->feeds_by_url, slot_of(&r->feeds, f), f->id, f->url);
}
void reader_unfile_feed(reader *r, feed *f) { unfile_both(&r->feeds_by_id, &r->feeds_by_url, slot_of(&r->feeds, f)); }
void reader_feed_url_changed(reader *r, feed *f) {
  index_file(&r->feeds_by_url, slot_of(&r->feeds, f), index_hash_bytes(f->url));
}
void reader_file_meta(reader *r, meta *m) {
  index_file(&r->metas_by_feed, slot_of(&r->metas, m), index_hash_ids(m->feed_id, 0, 0));
}
void reader_unfile_meta(reader *r, meta *m) { index_unfile(&r->metas_by_feed, slot_of(&r->metas, m)); }
void reader_file_category(reader *r, category *c) {
  file_by_id_and_text(&r->categories_by_id, &r->categories_by_term, slot_of(&r->categories, c), c->id, c->term);
}
void reader_unfile_category(reader *r, category *c) {
  unfile_both(&r->categories_by_term, &r->categories_by_id, slot_of(&r->categories, c));
}
void reader_file_person(reader *r, person *p) {
  file_by_id_and_text(&r->persons_by_id, &r->persons_by_name, slot_of(&r->persons, p), p->id, p->name);
}
void reader_unfile_person(reader *r, person *p) {
  unfile_both(&r->persons_by_name, &r->persons_by_id, slot_of(&r->persons, p));
}
void reader_file_link(reader *r, struct link *l) {
  u32 s = slot_of(&r->links, l);
  index_file(&r->links_by_ends, s, link_hash(l->kind, l->owner_id, l->target_id));
  index_file(&r->links_by_owner, s, index_hash_owner(l->owner_id, l->kind & 1));
}
void reader_unfile_link(reader *r, struct link *l) {
  unfile_both(&r->links_by_ends, &r->links_by_owner, slot_of(&r->links, l));
}
void reader_file_atom_link(reader *r, atom_link *l) {
  index_file(&r->atom_links_by_owner, slot_of(&r->atom_links, l),
             index_hash_owner(l->owner_id, l->owner_kind == atom_link_owner_feed));
}
void reader_unfile_atom_link(reader *r, atom_link *l) {
  index_unfile(&r->atom_links_by_owner, slot_of(&r->atom_links, l));
}
void reader_file_entry(reader *r, entry *e) {
  index_file(&r->entries_by_feed, slot_of(&r->entries, e), index_hash_ids(e->feed_id, 0, 0));
}
void reader_unfile_entry(reader *r, entry *e) { index_unfile(&r->entries_by_feed, slot_of(&r->entries, e)); }

// The store's indices are consecutive members, feeds_by_id to persons_by_id, walked as one array.
#define READER_INDEX_COUNT 11u
static_assert(offsetof(reader, persons_by_id) - offsetof(reader, feeds_by_id) ==
                  (READER_INDEX_COUNT - 1) * sizeof(reader_index),
              "the indices are consecutive members of the store, with nothing between them");

static reader_index *reader_indices(reader *r, u32 *n) {
  *n = READER_INDEX_COUNT;
  return &r->feeds_by_id;
}

void reader_index_free(reader *r) {
  u32 n;
  reader_index *x = reader_indices(r, &n);
  for (u32 i = 0; i < n; ++i) index_free(&x[i]);
}

void reader_index_rebuild(reader *r) {
  u32 n;
  reader_index *x = reader_indices(r, &n);
  for (u32 i = 0; i < n; ++i) index_clear(&x[i]);
  // Each index takes its size for the whole pool once, so filing never grows it again.
  struct {
    reader_index *x;
    pool *p;
  } sized[] = {{&r->feeds_by_id, &r->feeds},       {&r->feeds_by_url, &r->feeds},
               {&r->metas_by_feed, &r->metas},     {&r->categories_by_term, &r->categories},
               {&r->categories_by_id, &r->categories}, {&r->persons_by_name, &r->persons},
               {&r->persons_by_id, &r->persons},   {&r->links_by_ends, &r->links},
               {&r->links_by_owner, &r->links},    {&r->atom_links_by_owner, &r->atom_links},
               {&r->entries_by_feed, &r->entries}};
  static_assert(sizeof sized / sizeof sized[0] == READER_INDEX_COUNT, "every index is sized");
  for (auto &s : sized)
    if (s.p->high_water > s.x->slots && !s.x->broken) index_grow(s.x, s.p->high_water - 1);
  store_walk<feed>(&r->feeds, feed_is_live, [&](feed *f) { return reader_file_feed(r, f), false; });
  store_walk<meta>(&r->metas, meta_is_live, [&](meta *m) { return reader_file_meta(r, m), false; });
  store_walk<category>(&r->categories, category_is_live, [&](category *c) { return reader_file_category(r, c), false; });
  store_walk<person>(&r->persons, person_is_live, [&](person *p) { return reader_file_person(r, p), false; });
  store_walk<struct link>(&r->links, link_is_live, [&](struct link *l) { return reader_file_link(r, l), false; });
  store_walk<atom_link>(&r->atom_links, atom_link_is_live, [&](atom_link *l) { return reader_file_atom_link(r, l), false; });
  store_walk<entry>(&r->entries, entry_is_live, [&](entry *e) { return reader_file_entry(r, e), false; });
}

// ---- Look-ups ----------------------------------------------------------------------------

// The lowest (or highest) filed slot whose record passes the test.
template <class T, class F>
static T *index_pick(reader_index *x, pool *p, u32 hash, bool lowest, F matches) {
  u32 best = UINT32_MAX;
  index_each(x, hash, [&](u32 s) {
    if (s >= p->high_water || !matches((T *)pool_get(p, sizeof(T), s))) return;
    if (best == UINT32_MAX || (lowest ? s < best : s > best)) best = s;
  });
  return best == UINT32_MAX ? nullptr : (T *)pool_get(p, sizeof(T), best);
}

feed *reader_find_feed(reader *r, u32 id) {
  if (r->feeds_by_id.broken) return reader_find_feed_linear(r, id);
  return index_pick<feed>(&r->feeds_by_id, &r->feeds, index_hash_ids(id, 0, 0), true,
                          [&](feed *f) { return feed_is_live(f) && f->id == id; });
}

feed *reader_find_feed_by_url(reader *r, buffer url) {
  if (r->feeds_by_url.broken) return reader_find_feed_by_url_linear(r, url);
  return index_pick<feed>(&r->feeds_by_url, &r->feeds, index_hash_bytes(url), true,
                          [&](feed *f) { return feed_is_live(f) && string_equal(f->url, url); });
}

meta *reader_get_meta(reader *r, u32 feed_id) {
  if (r->metas_by_feed.broken) return reader_get_meta_linear(r, feed_id);
  return index_pick<meta>(&r->metas_by_feed, &r->metas, index_hash_ids(feed_id, 0, 0), true,
                          [&](meta *m) { return meta_is_live(m) && m->feed_id == feed_id; });
}

u32 reader_find_category(reader *r, buffer term) {
  if (r->categories_by_term.broken) return reader_find_category_linear(r, term);
  // The last of several records with one term, as a walk would end on.
  category *c = index_pick<category>(&r->categories_by_term, &r->categories, index_hash_bytes(term), false,
                                     [&](category *k) { return category_is_live(k) && string_equal(k->term, term); });
  return c ? c->id : 0;
}

u32 reader_find_person_by_name(reader *r, buffer name) {
  if (r->persons_by_name.broken) return reader_find_person_by_name_linear(r, name);
  person *p = index_pick<person>(&r->persons_by_name, &r->persons, index_hash_bytes(name), true,
                                 [&](person *k) { return person_is_live(k) && string_equal(k->name, name); });
  return p ? p->id : 0;
}

bool reader_owner_links_to(reader *r, u32 kind, u32 owner_id, u32 target_id, u32 count) {
  if (count == 0) return false;
  if (r->links_by_ends.broken) return reader_owner_links_to_linear(r, kind, owner_id, target_id, count);
  return index_pick<struct link>(&r->links_by_ends, &r->links, link_hash(kind, owner_id, target_id), true,
                                 [&](struct link *l) {
                                   return link_is_live(l) && l->kind == kind && l->owner_id == owner_id &&
                                          l->target_id == target_id;
                                 }) != nullptr;
}

category *reader_find_category_by_id(reader *r, u32 id) {
  if (r->categories_by_id.broken) return reader_find_category_by_id_linear(r, id);
  return index_pick<category>(&r->categories_by_id, &r->categories, index_hash_ids(id, 0, 0), true,
                              [&](category *c) { return category_is_live(c) && c->id == id; });
}

person *reader_find_person(reader *r, u32 id) {
  if (r->persons_by_id.broken) return reader_find_person_linear(r, id);
  return index_pick<person>(&r->persons_by_id, &r->persons, index_hash_ids(id, 0, 0), true,
                            [&](person *p) { return person_is_live(p) && p->id == id; });
}

u32 reader_owned_links(reader *r, u32 owner_id, bool by_feed, struct link **out, u32 max) {
  u32 n = 0;
  auto mine = [&](struct link *l) { return link_is_live(l) && l->owner_id == owner_id && (l->kind & 1) == by_feed; };
  auto take = [&](struct link *l) {
    if (n < max) out[n] = l;
    ++n;
    return false;
  };
  reader_visit_owned_links(r, owner_id, by_feed, mine, take);
  return n;
}

u32 reader_feed_entry_slots(reader *r, u32 feed_id, u32 *slots, u32 max) {
  u32 n = 0;
  reader_each_feed_entry(r, feed_id, [&](entry *e) {
    if (n < max) slots[n] = pool_index_of(&r->entries, sizeof(entry), e);
    ++n;
    return false;
  });
  if (n <= max) index_sort_slots(slots, n);
  return n;
}
