// Generations, the deleted mark, freeing and purging, sorting a feed's entries by date, and the
// list's navigation by slot.
#include <algorithm>

#include "reader/store_internal.h"

static reader_release_images_fn *reader_release_images = nullptr;

void reader_set_image_release_hook(reader_release_images_fn *fn) { reader_release_images = fn; }

static bool mark_passes(u32 type, u32 required, u32 allowed) {
  return flags_match(type & feed_type_deleted, required, allowed);
}

// ---- Generations -------------------------------------------------------------------------

// The nearest generation below (above) g with a passing entry is the largest (smallest) such
// generation, so one walk answers it.
u32 reader_prev_generation(reader *r, u32 g, u32 required, u32 allowed) {
  u32 best = 0;
  store_walk<entry>(&r->entries, entry_is_live, [&](entry *e) {
    if (e->generation >= 1 && e->generation < g && e->generation > best && mark_passes(e->type, required, allowed))
      best = e->generation;
    return false;
  });
  return best ? best : g;
}

u32 reader_next_generation(reader *r, u32 g, u32 required, u32 allowed) {
  u32 best = 0;
  store_walk<entry>(&r->entries, entry_is_live, [&](entry *e) {
    if (e->generation > g && e->generation <= r->generation && (best == 0 || e->generation < best) &&
        mark_passes(e->type, required, allowed))
      best = e->generation;
    return false;
  });
  return best ? best : g;
}

bool reader_has_entry_in_range(reader *r, u32 from, u32 to, u32 required, u32 allowed) {
  return store_walk<entry>(&r->entries, entry_is_live, [&](entry *e) {
    return e->generation >= from && e->generation <= to && mark_passes(e->type, required, allowed);
  }) != nullptr;
}

bool reader_renumber_generations(reader *r, buffer scratch) {
  // A loaded store may hold an entry past the reader's generation; the table covers it too.
  u32 largest = r->generation;
  store_walk<entry>(&r->entries, entry_is_live, [&](entry *e) {
    largest = std::max(largest, e->generation);
    return false;
  });
  buffer tail = buffer_view_rest(scratch);
  u32 *table = buffer_push_array(&tail, u32, (u64)largest + 1);
  if (!table) return false;
  memory_zero(table, ((u64)largest + 1) * 4);
  store_walk<entry>(&r->entries, entry_is_live, [&](entry *e) {
    table[e->generation] = 1;
    return false;
  });
  u32 n = 0;
  for (u64 g = 0; g <= largest; ++g) {
    if (table[g]) table[g] = ++n;
  }
  store_walk<entry>(&r->entries, entry_is_live, [&](entry *e) {
    e->generation = table[e->generation];
    return false;
  });
  r->generation = n;
  return true;
}

// ---- Marks -------------------------------------------------------------------------------

void reader_mark_feed_deleted(reader *r, feed *f) {
  f->type |= feed_type_deleted;
  reader_each_feed_entry(r, f->id, [&](entry *e) { return entry_mark_deleted(e), false; });
}

void reader_unmark_feed_deleted(reader *r, feed *f, u32 with_entries) {
  f->type &= feed_type_mask;
  if (!with_entries) return;
  reader_each_feed_entry(r, f->id, [&](entry *e) { return entry_unmark_deleted(e), false; });
}

// ---- Freeing -----------------------------------------------------------------------------

void reader_free_owned_links(reader *r, u32 owner_id, const u32 *kinds, u32 **counts, u32 n) {
  auto remaining = [&] {
    u64 sum = 0;
    for (u32 k = 0; k < n; ++k) sum += *counts[k];
    return sum;
  };
  if (remaining() == 0) return;
  pool *p = &r->links;
  // In slot order, as a walk of the pool frees them, so the free stack comes out the same.
  auto free_one = [&](struct link *l) {
    for (u32 k = 0; k < n; ++k) {
      if (l->kind != kinds[k] || *counts[k] == 0) continue;
      *counts[k] -= 1;
      reader_unfile_link(r, l);
      memory_zero(l, sizeof *l);
      pool_free(p, l, sizeof *l);
      break;
    }
    return remaining() == 0;
  };
  auto mine = [&](struct link *l) { return link_is_live(l) && l->owner_id == owner_id; };
  bool by_feed = kinds[0] & 1;
  reader_visit_owned_links(r, owner_id, by_feed, mine, free_one);
  // Counts that found no links to free were wrong already (reader_check reports them); they
  // must not outlive the owner.
  for (u32 k = 0; k < n; ++k) *counts[k] = 0;
}

static void reader_free_atom_links(reader *r, u32 owner_id, u32 owner_kind, u32 *count) {
  pool *p = &r->atom_links;
  auto free_one = [&](atom_link *l) {
    reader_unfile_atom_link(r, l);
    memory_zero(l, sizeof *l);
    pool_free(p, l, sizeof *l);
    *count -= 1;
    return *count == 0;
  };
  auto mine = [&](atom_link *l) { return l->owner_kind == owner_kind && l->owner_id == owner_id; };
  if (*count > 0) reader_visit_owned_atom_links(r, owner_kind, owner_id, mine, free_one);
  *count = 0;
}

void reader_delete_feed_atom_links(reader *r, u32 owner, u32 owner_kind) {
  // Without the record's count, every link of the owner is freed.
  u32 all = UINT32_MAX;
  reader_free_atom_links(r, owner, owner_kind, &all);
}

void reader_delete_entry(reader *r, entry *e, feed *f) {
  invariant(!f || e->feed_id == f->id);
  if (entry_get_type(e) == feed_type_rss) {
    u32 kinds[] = {link_kind_rss_entry_category};
    u32 *counts[] = {&e->rss.category_count};
    reader_free_owned_links(r, e->id, kinds, counts, 1);
  } else {
    u32 kinds[] = {link_kind_atom_entry_category, link_kind_atom_entry_author, link_kind_atom_entry_contributor};
    u32 *counts[] = {&e->atom.category_count, &e->atom.author_count, &e->atom.contributor_count};
    reader_free_owned_links(r, e->id, kinds, counts, 3);
    reader_free_atom_links(r, e->id, atom_link_owner_entry, &e->atom.atom_link_count);
  }
  if (reader_release_images) reader_release_images(e->id);
  reader_unfile_entry(r, e);
  memory_zero(e, sizeof *e);
  pool_free(&r->entries, e, sizeof *e);
  if (f) f->entry_count -= 1;
}

void reader_delete_feed(reader *r, feed *f) {
  if (f->entry_count)
    reader_walk_feed_entries(r, f->id, [&](entry *e) {
      reader_delete_entry(r, e, f);
      return f->entry_count == 0;
    });
  meta *m = reader_get_meta(r, f->id);
  if (m) {
    reader_unfile_meta(r, m);
    memory_zero(m, sizeof *m);
    pool_free(&r->metas, m, sizeof *m);
  }
  if (feed_get_type(f) == feed_type_rss) {
    u32 kinds[] = {link_kind_rss_feed_category};
    u32 *counts[] = {&f->rss.category_count};
    reader_free_owned_links(r, f->id, kinds, counts, 1);
  } else {
    u32 kinds[] = {link_kind_atom_feed_category, link_kind_atom_feed_author, link_kind_atom_feed_contributor};
    u32 *counts[] = {&f->atom.category_count, &f->atom.author_count, &f->atom.contributor_count};
    reader_free_owned_links(r, f->id, kinds, counts, 3);
    reader_free_atom_links(r, f->id, atom_link_owner_feed, &f->atom.atom_link_count);
  }
  reader_unfile_feed(r, f);
  memory_zero(f, sizeof *f);
  pool_free(&r->feeds, f, sizeof *f);
}

// ---- What updates listed -----------------------------------------------------------------

// Room for ids up to 2^32: address space only, committed as ids grow.
#define READER_ID_VALUES_RESERVE (4ull << 32)

static bool id_values_set(reader_id_values *t, u32 id, u32 value) {
  if (!t->memory.memory.data) {
    if (!arena_reserve(&t->memory, READER_ID_VALUES_RESERVE, 0, KiB(64), "Update listings", arena_flag_double))
      return false;
    t->values = arena_view(&t->memory);
  }
  u64 need = 4 * ((u64)id + 1);
  if (need > t->values.used) {
    u64 more = need - t->values.used;
    void *added = arena_push(&t->memory, &t->values, more, 4);
    if (!added) return false;
    memory_zero(added, more);
  }
  ((u32 *)t->values.data)[id] = value;
  return true;
}

static u32 id_values_get(const reader_id_values *t, u32 id) {
  return 4 * ((u64)id + 1) <= t->values.used ? ((const u32 *)t->values.data)[id] : 0;
}

void reader_id_values_release(reader_id_values *t) {
  arena_release(&t->memory);
  *t = reader_id_values{};
}

void reader_listing_forget(reader *r) {
  for (reader_id_values *t : {&r->listing_feeds, &r->listing_entries})
    if (t->values.data) memory_zero(t->values.data, t->values.used);
  r->listing_updates = 0;
  r->listing_lost = 0;
}

void reader_listing_begin(reader *r, const feed *f) {
  r->listing_updates += 1;
  if (!id_values_set(&r->listing_feeds, f->id, r->listing_updates)) r->listing_lost = 1;
}

void reader_listing_mark(reader *r, const entry *e) {
  if (!id_values_set(&r->listing_entries, e->id, r->listing_updates)) r->listing_lost = 1;
}

bool reader_entry_may_return(reader *r, const feed *f, const entry *e) {
  date d = entry_get_type(e) == feed_type_rss ? e->rss.pubDate : e->atom.updated;
  date newest = feed_get_type(f) == feed_type_rss ? f->rss.newest_date : f->atom.updated;
  // A newest date past tomorrow (stored before such dates were held back) is put back at the
  // feed's entries by the next update, where this one may stand.
  bool by_date = date_greater(newest, date_add(date_now_utc(), 0, 0, 1, 0, 0, 0)) || date_is_zero(d) ||
                 !date_less(d, newest);
  if (!by_date || r->listing_lost) return by_date;
  // Once the feed was read in this run, only what its document listed can come back: an item it
  // dropped is new again if it ever returns, as any item never seen would be.
  u32 update = id_values_get(&r->listing_feeds, f->id);
  return update == 0 || id_values_get(&r->listing_entries, e->id) == update;
}

void reader_purge_deleted(reader *r) {
  for (u32 i = 0; i < r->feeds.high_water; ++i) {
    feed *f = (feed *)pool_get(&r->feeds, sizeof(feed), i);
    if (!feed_is_live(f)) continue;
    if (feed_is_deleted(f)) {
      reader_delete_feed(r, f);
      continue;
    }
    u32 left = f->entry_count;  // exactly the entries the feed had when its walk began
    if (left)
      reader_walk_feed_entries(r, f->id, [&](entry *e) {
      if (entry_is_deleted(e) && !reader_entry_may_return(r, f, e)) reader_delete_entry(r, e, f);
      return --left == 0;
    });
  }
}

// Frees every live record whose id no live link of the kinds targets. The targeted ids are
// sorted once, so the purge costs n log n however full the pools are.
template <class T>
static void reader_purge_untargeted(reader *r, pool *p, bool (*is_live)(void *), void (*unfile)(reader *, T *),
                                    u32 kind_low, u32 kind_high) {
  // Without memory for the targets nothing is freed: a record kept too long costs little.
  buffer block = memory_alloc(4 * ((u64)r->links.entry_count + 1), nullptr);
  if (!block.data) return;
  u32 *targets = (u32 *)block.data;
  u32 n = 0;
  for (u32 i = 0; i < r->links.high_water && n < r->links.entry_count; ++i) {
    WORK_COUNT(reader_steps, 1);
    struct link *l = (struct link *)pool_get(&r->links, sizeof(struct link), i);
    if (link_is_live(l) && l->kind >= kind_low && l->kind <= kind_high) targets[n++] = l->target_id;
  }
  std::sort(targets, targets + n);
  for (u32 i = 0; i < p->high_water && p->entry_count > 0; ++i) {
    WORK_COUNT(reader_steps, 1);
    T *item = (T *)pool_get(p, sizeof(T), i);
    if (!is_live(item) || std::binary_search(targets, targets + n, item->id)) continue;
    unfile(r, item);
    memory_zero(item, sizeof(T));
    pool_free(p, item, sizeof(T));
  }
  memory_free(&block);
}

void reader_purge_categories(reader *r) {
  reader_purge_untargeted<category>(r, &r->categories, category_is_live, reader_unfile_category,
                                    link_kind_rss_feed_category,
                                    link_kind_atom_entry_category);
}

void reader_purge_persons(reader *r) {
  reader_purge_untargeted<person>(r, &r->persons, person_is_live, reader_unfile_person, link_kind_atom_feed_author,
                                  link_kind_atom_entry_contributor);
}

// ---- Sorting -----------------------------------------------------------------------------

bool entry_belongs_to_feed(void *item, void *feed_id) { return ((entry *)item)->feed_id == *(u32 *)feed_id; }

// Many Atom feeds carry only "updated"; those entries sort by it.
static date entry_sort_date(const entry *e) {
  if (entry_get_type(e) == feed_type_rss) return e->rss.pubDate;
  return date_is_zero(e->atom.published) ? e->atom.updated : e->atom.published;
}

bool entry_compare_date(void *a, void *b) {
  entry *x = (entry *)a, *y = (entry *)b;
  if (entry_get_type(x) != entry_get_type(y)) return false;
  return date_less(entry_sort_date(x), entry_sort_date(y));
}

void entry_swap(void *a, void *b) {
  entry t;
  memory_copy(&t, a, sizeof t);
  memory_copy(a, b, sizeof t);
  memory_copy(b, &t, sizeof t);
}

void reader_sort_feed_entries(reader *r, feed *f) {
  if (!f || f->entry_count < 2) return;
  meta *m = reader_get_meta(r, f->id);
  u32 direction = m ? (m->flags & meta_flag_oldest_first) : 0;
  u32 id = f->id;
  // The feed's own slots, so a sort costs the feed's entries and not the store's.
  u32 local[1024];
  buffer block = {};
  u32 *slots = local;
  if (f->entry_count > 1024) {
    block = memory_alloc(4ull * f->entry_count, nullptr);
    slots = (u32 *)block.data;
  }
  u32 n = 0;
  if (slots && !r->entries_by_feed.broken) {
    reader_each_feed_entry(r, id, [&](entry *e) {
      slots[n++] = pool_index_of(&r->entries, sizeof(entry), e);
      return n == f->entry_count;
    });
    index_sort_slots(slots, n);
  }
  // Most feeds send their items in order and most updates keep it: a sorted feed is seen in one
  // pass. The sort is stable, so it would leave such a feed as it is.
  bool in_order = n == f->entry_count;
  for (u32 i = 1; in_order && i < n; ++i) {
    void *a = pool_get(&r->entries, sizeof(entry), slots[i - 1]), *b = pool_get(&r->entries, sizeof(entry), slots[i]);
    in_order = !(direction == 0 ? entry_compare_date(a, b) : entry_compare_date(b, a));
  }
  if (in_order) {
  } else if (n == f->entry_count) {
    pool_sort_slots(&r->entries, sizeof(entry), direction, slots, n, entry_compare_date, entry_swap);
  } else {
    pool_sort(&r->entries, sizeof(entry), direction, &id, entry_is_live, entry_belongs_to_feed, entry_compare_date,
              entry_swap);
  }
  memory_free(&block);
}

void reader_sort_all_entries(reader *r) {
  store_walk<feed>(&r->feeds, feed_is_live, [&](feed *f) {
    reader_sort_feed_entries(r, f);
    return false;
  });
}

// ---- Navigation --------------------------------------------------------------------------

static bool entry_listed(entry *e, feed *f, u32 from, u32 to, u32 required, u32 allowed) {
  return entry_is_live(e) && e->feed_id == f->id && e->generation >= from && e->generation <= to &&
         mark_passes(e->type, required, allowed);
}

// The first or last listed entry of the feed in slot order.
static entry *entry_walk(reader *r, feed *f, bool last, u32 from, u32 to, u32 required, u32 allowed) {
  if (!f || f->entry_count == 0) return nullptr;
  return reader_pick_feed_entry(r, f->id, !last,
                                [&](entry *e) { return entry_listed(e, f, from, to, required, allowed); });
}

entry *reader_first_entry(reader *r, feed *f, u32 from, u32 to, u32 required, u32 allowed) {
  return entry_walk(r, f, false, from, to, required, allowed);
}

entry *reader_last_entry(reader *r, feed *f, u32 from, u32 to, u32 required, u32 allowed) {
  return entry_walk(r, f, true, from, to, required, allowed);
}

// The nearest listed entry of the feed before or after e's slot.
static entry *entry_neighbour(reader *r, feed *f, entry *e, s64 step, u32 from, u32 to, u32 required, u32 allowed) {
  if (!f || !e) return nullptr;
  return reader_pick_feed_entry(r, f->id, step > 0, [&](entry *n) {
    return (step > 0 ? n > e : n < e) && entry_listed(n, f, from, to, required, allowed);
  });
}

entry *reader_prev_entry(reader *r, feed *f, entry *e, u32 from, u32 to, u32 required, u32 allowed) {
  return entry_neighbour(r, f, e, -1, from, to, required, allowed);
}

entry *reader_next_entry(reader *r, feed *f, entry *e, u32 from, u32 to, u32 required, u32 allowed) {
  return entry_neighbour(r, f, e, 1, from, to, required, allowed);
}

struct feed_filter {
  u32 include_empty, from, to, feed_required, feed_allowed, entry_required, entry_allowed;
};

static bool feed_listed(reader *r, feed *f, const feed_filter &k) {
  if (!feed_is_live(f) || !mark_passes(f->type, k.feed_required, k.feed_allowed)) return false;
  // Under the deleted filter a feed shows only with a matching entry, empty or not.
  if (k.include_empty && !(k.feed_required & feed_type_deleted)) return true;
  return f->entry_count > 0 && reader_first_entry(r, f, k.from, k.to, k.entry_required, k.entry_allowed);
}

static feed *feed_walk(reader *r, s64 start, s64 step, const feed_filter &k) {
  for (s64 i = start; i >= 0 && i < (s64)r->feeds.high_water; i += step) {
    feed *f = (feed *)pool_get(&r->feeds, sizeof(feed), (u32)i);
    if (feed_listed(r, f, k)) return f;
  }
  return nullptr;
}

feed *reader_first_feed(reader *r, u32 include_empty, u32 from, u32 to, u32 feed_required, u32 feed_allowed,
                        u32 entry_required, u32 entry_allowed) {
  return feed_walk(r, 0, 1, {include_empty, from, to, feed_required, feed_allowed, entry_required, entry_allowed});
}

feed *reader_last_feed(reader *r, u32 include_empty, u32 from, u32 to, u32 feed_required, u32 feed_allowed,
                       u32 entry_required, u32 entry_allowed) {
  return feed_walk(r, (s64)r->feeds.high_water - 1, -1,
                   {include_empty, from, to, feed_required, feed_allowed, entry_required, entry_allowed});
}

feed *reader_prev_feed(reader *r, feed *f, u32 include_empty, u32 from, u32 to, u32 feed_required,
                       u32 feed_allowed, u32 entry_required, u32 entry_allowed) {
  if (!f) return nullptr;
  return feed_walk(r, (s64)pool_index_of(&r->feeds, sizeof(feed), f) - 1, -1,
                   {include_empty, from, to, feed_required, feed_allowed, entry_required, entry_allowed});
}

feed *reader_next_feed(reader *r, feed *f, u32 include_empty, u32 from, u32 to, u32 feed_required,
                       u32 feed_allowed, u32 entry_required, u32 entry_allowed) {
  if (!f) return nullptr;
  return feed_walk(r, (s64)pool_index_of(&r->feeds, sizeof(feed), f) + 1, 1,
                   {include_empty, from, to, feed_required, feed_allowed, entry_required, entry_allowed});
}
