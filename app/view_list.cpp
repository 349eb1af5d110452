// The feed and entry list of the left panel: which feeds and entries it lists. The filters, the
// queued fetches that keep a feed listed, and the summary that files every live entry under its
// feed; the listing kept across frames, the keys and the rows are in files of their own.
#include "app/view_list.h"

#include <algorithm>

#include "profiler/profiler.h"

// ---- Filters -----------------------------------------------------------------------------

list_masks list_masks_make(u32 deleted_filter) {
  list_masks m = {};
  m.entry_required = deleted_filter == deleted_filter_deleted ? (u32)feed_type_deleted : 0u;
  m.entry_allowed = deleted_filter == deleted_filter_both ? (u32)feed_type_deleted : 0u;
  m.feed_required = 0;
  m.feed_allowed =
      (deleted_filter == deleted_filter_deleted || deleted_filter == deleted_filter_both) ? (u32)feed_type_deleted : 0u;
  return m;
}

bool feed_is_listed(const feed *f, const view_state *view, u32 listed_entries, u32 pending) {
  bool d = feed_is_deleted(f);
  switch (view->deleted_filter) {
    case deleted_filter_not_deleted:
      return !d && (listed_entries > 0 || view->show_empty || pending);
    case deleted_filter_deleted:
      return d || listed_entries > 0;
    case deleted_filter_both:
      return listed_entries > 0 || d || view->show_empty || pending;
  }
  return false;
}

bool list_title_matches(const view_state *view, buffer title) {
  if (!title.used) return false;
  const u8 *end = title.data + title.used;
  return string_find_ignore_case(title.data, end, view->list_filter.data, view->list_filter.used) != end;
}

// ---- Queued fetches ----------------------------------------------------------------------

void list_queued_gather(const app *a, list_queued *q) {
  q->count = 0;
  q->overflow = false;
  for (u64 s = 0; a->queries && s < a->query_count; s++) {
    if (__atomic_load_n(&a->queries[s].state, __ATOMIC_ACQUIRE) != query_state_queued) continue;
    if (q->count < FETCH_QUERY_COUNT) q->ids[q->count++] = (u32)a->queries[s].feed_id;
    else q->overflow = true;
  }
  sort_u32_ascending(q->ids, q->count);
}

bool list_queued_has(const app *a, const list_queued *q, u32 feed_id) {
  if (q->overflow) return query_pending_for_feed(a->queries, (u32)a->query_count, (s32)feed_id);
  return std::binary_search(q->ids, q->ids + q->count, feed_id);
}

// ---- Summary -----------------------------------------------------------------------------

#if QM_TEST_HOOKS
u64 list_entry_visits = 0;
#endif

u32 list_live_feed_count(reader *r) {
  u32 n = 0;
  pool_iterator it = pool_iterator_init(&r->feeds, sizeof(feed), feed_is_live);
  while (pool_iterator_next(&it)) n++;
  return n;
}

// The look-up table's buckets for this many feeds: twice as many, at least 16, a power of two.
static u32 list_table_mask(u32 feeds) {
  u32 mask = 15;
  while (mask + 1 < 2ull * feeds) mask = mask * 2 + 1;
  return mask;
}

u64 view_feed_list_bytes(reader *r, u32 live_feeds) {
  u64 n = 3 * (4ull * live_feeds + 4) + sizeof(buffer) * (u64)live_feeds + 8;
  u32 seen = 0;
  pool_iterator it = pool_iterator_init(&r->feeds, sizeof(feed), feed_is_live);
  while (feed *f = (feed *)pool_iterator_next(&it)) {
    if (seen++ >= live_feeds) break;
    n += 8ull * f->entry_count + 8;
  }
  return n + 8 * ((u64)list_table_mask(live_feeds) + 1) + 8 + 64;
}

list_summary view_feed_list_build(buffer *arena, reader *r, u32 live_feeds) {
  invariant(live_feeds <= 0xfffffffe);
  list_summary s = {};
  buffer_mark mark = buffer_mark_begin(arena);
  s.entry_counts = (u32 *)buffer_push_array_bytes(arena, 4, live_feeds, 4);
  s.pending = (u32 *)buffer_push_array_bytes(arena, 4, live_feeds, 4);
  s.feed_ids = (u32 *)buffer_push_array_bytes(arena, 4, live_feeds, 4);
  s.feed_entries = (buffer *)buffer_push_array_bytes(arena, sizeof(buffer), live_feeds, 8);
  if (live_feeds && (!s.entry_counts || !s.pending || !s.feed_ids || !s.feed_entries)) {
    buffer_mark_rollback(&mark);
    return list_summary{};
  }
  if (live_feeds) {
    memory_zero(s.entry_counts, 4ull * live_feeds);
    memory_zero(s.pending, 4ull * live_feeds);
    memory_zero(s.feed_ids, 4ull * live_feeds);
    memory_zero(s.feed_entries, sizeof(buffer) * live_feeds);
  }
  u32 i = 0;
  pool_iterator it = pool_iterator_init(&r->feeds, sizeof(feed), feed_is_live);
  while (feed *f = (feed *)pool_iterator_next(&it)) {
    if (i >= live_feeds) break;
    s.feed_ids[i] = f->id;
    s.feed_entries[i] = buffer_carve(arena, 8ull * f->entry_count, 8);
    if (f->entry_count && !s.feed_entries[i].data) {
      buffer_mark_rollback(&mark);
      return list_summary{};
    }
    i++;
  }
  s.feed_count = i;
  // Feed ids to their place, open addressing over twice as many slots as feeds, in the arena
  // only for the distribution: one look-up per entry whatever the number of feeds. The first
  // feed with an id takes its entries, as a walk of the feeds would.
  u64 table_used = arena->used;
  u32 mask = list_table_mask(s.feed_count);
  u32 *table = (u32 *)buffer_push_array_bytes(arena, 8, (u64)mask + 1, 8);  // {id, place + 1}
  if (table) {
    memory_zero(table, 8 * ((u64)mask + 1));
    for (u32 k = 0; k < s.feed_count; k++) {
      u32 h = (u32)fasthash_mix(s.feed_ids[k]) & mask;
      while (table[2 * h + 1] && table[2 * h] != s.feed_ids[k]) h = (h + 1) & mask;
      if (!table[2 * h + 1]) table[2 * h] = s.feed_ids[k], table[2 * h + 1] = k + 1;
    }
  }
  pool_iterator eit = pool_iterator_init(&r->entries, sizeof(entry), entry_is_live);
  while (entry *e = (entry *)pool_iterator_next(&eit)) {
    u32 place = 0;
    if (table) {
      u32 h = (u32)fasthash_mix(e->feed_id) & mask;
      while (table[2 * h + 1] && table[2 * h] != e->feed_id) h = (h + 1) & mask;
      place = table[2 * h + 1];
    } else {
      for (u32 k = 0; k < s.feed_count && !place; k++)
        if (s.feed_ids[k] == e->feed_id) place = k + 1;
    }
    // A feed whose count is short of its entries (a damaged file) lists the ones that fit.
    if (place) buffer_push_copy(&s.feed_entries[place - 1], &e, sizeof e, 8);
  }
  WORK_COUNT(list_entry_visits, r->entries.entry_count);  // the walk meets every live entry
  arena->used = table_used;
  return s;
}

void view_list_count(app *a, reader *r, view_state *view, list_summary *s) {
  list_queued queued;
  list_queued_gather(a, &queued);
  for (u32 i = 0; i < s->feed_count; i++) {
    feed *f = reader_find_feed(r, s->feed_ids[i]);
    if (!f) continue;
    bool feed_matches = list_filter_on(view) && list_title_matches(view, feed_get_title(f));
    u32 count = 0;
    entry **entries = (entry **)s->feed_entries[i].data;
    u64 n = s->feed_entries[i].used / sizeof(entry *);
    WORK_COUNT(list_entry_visits, n);
    for (u64 k = 0; k < n; k++) {
      if (list_entry_is_listed(view, entries[k], feed_matches)) count++;
    }
    u32 pending = list_queued_has(a, &queued, f->id) ? 1 : 0;
    if (feed_is_listed(f, view, count, pending)) {
      s->entry_counts[i] = count;
      s->pending[i] = pending;
    }
  }
}
