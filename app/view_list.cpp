// The feed and entry list of the left panel: which feeds and entries it lists. The filters, the
// summary that files every live entry under its feed, and the listing kept across frames, worked
// out again only when the store or the filters change; the keys and the rows are in files of
// their own.
#include "app/view_list.h"

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

bool entry_in_generation_range(const entry *e, u32 from, u32 to) {
  return from <= e->generation && e->generation <= to;
}

bool entry_matches_deleted_filter(const entry *e, u32 filter) {
  if (filter == deleted_filter_not_deleted) return !entry_is_deleted(e);
  if (filter == deleted_filter_deleted) return entry_is_deleted(e);
  return true;
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

bool list_filter_on(const view_state *view) { return view->filter_active && view->list_filter.used > 0; }

static bool title_matches(const view_state *view, buffer title) {
  if (!title.used) return false;
  const u8 *end = title.data + title.used;
  return string_find_ignore_case(title.data, end, view->list_filter.data, view->list_filter.used) != end;
}

static bool entry_is_listed(const view_state *view, const entry *e, bool feed_title_matches) {
  if (!entry_in_generation_range(e, view->generation_from, view->generation_to)) return false;
  if (!entry_matches_deleted_filter(e, view->deleted_filter)) return false;
  if (!list_filter_on(view) || feed_title_matches) return true;
  return title_matches(view, entry_get_title(e));
}

// ---- Summary -----------------------------------------------------------------------------

static u32 live_feed_count(reader *r) {
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
  arena->used = table_used;
  return s;
}

void view_list_count(app *a, reader *r, view_state *view, list_summary *s) {
  // One pass over the fetch slots instead of one per feed: the few queued feeds' ids.
  s32 queued[64];
  u32 queued_count = 0;
  bool many_queued = false;
  for (u64 q = 0; a->queries && q < a->query_count; q++) {
    if (__atomic_load_n(&a->queries[q].state, __ATOMIC_ACQUIRE) != query_state_queued) continue;
    if (queued_count < 64) queued[queued_count++] = a->queries[q].feed_id;
    else many_queued = true;
  }
  for (u32 i = 0; i < s->feed_count; i++) {
    feed *f = reader_find_feed(r, s->feed_ids[i]);
    if (!f) continue;
    bool feed_matches = list_filter_on(view) && title_matches(view, feed_get_title(f));
    u32 count = 0;
    entry **entries = (entry **)s->feed_entries[i].data;
    u64 n = s->feed_entries[i].used / sizeof(entry *);
    for (u64 k = 0; k < n; k++) {
      if (entry_is_listed(view, entries[k], feed_matches)) count++;
    }
    u32 pending = 0;
    if (many_queued) {
      pending = query_pending_for_feed(a->queries, (u32)a->query_count, (s32)f->id) ? 1 : 0;
    } else {
      for (u32 q = 0; q < queued_count && !pending; q++) pending = queued[q] == (s32)f->id ? 1 : 0;
    }
    if (feed_is_listed(f, view, count, pending)) {
      s->entry_counts[i] = count;
      s->pending[i] = pending;
    }
  }
}

// ---- The listing kept across frames ---------------------------------------------------------
// Which feeds and entries are listed changes only when the store or the filters do, so it is
// worked out again only then, not in every frame: a frame then costs the rows on screen, not the
// store's size. The store changes through fetched documents and through the user's input, which
// both mark the listing stale (view_list_stale); the counters and filters below catch the rest.


static list_listing listing;
static u64 list_epoch;
static u64 list_builds;

void view_list_stale() { list_epoch++; }

#define LIST_LISTING_RESERVE MiB(1024)
// Room for the summary of a store of millions of entries and tens of thousands of feeds.
#define LIST_SUMMARY_RESERVE MiB(1024)
#define LIST_COMMIT_STEP MiB(1)

// A view of the arena (reserved at its first use) with room for bytes; false when they cannot be
// had. Quiet: the listing says in its own words what it cannot show.
static bool list_arena_view(arena *a, u64 reservation, const char *name, u64 bytes, buffer *view) {
  if (!a->memory.data && !arena_reserve(a, reservation, 0, LIST_COMMIT_STEP, name, arena_flag_quiet)) return false;
  *view = arena_view(a);
  return arena_make_room(a, view, bytes, 1);
}

static bool list_key_equal(const list_key &a, const list_key &b) { return memcmp(&a, &b, sizeof a) == 0; }

static list_key list_key_make(app *a, reader *r, view_state *v) {
  list_key k;
  memory_zero(&k, sizeof k);  // padding too, for the byte comparison
  k.epoch = list_epoch;
  k.ui = a->ui;
  k.frame = a->ui ? a->ui->frame_count : 0;
  k.store = r;
  k.feed_items = r->feeds.items;
  k.entry_items = r->entries.items;
  k.feeds_used = r->feeds.entry_count;
  k.entries_used = r->entries.entry_count;
  k.entry_counter = r->entry_counter;
  k.next_feed_id = r->next_feed_id;
  k.store_generation = r->generation;
  k.strings_used = r->strings.used;
  k.generation_from = v->generation_from;
  k.generation_to = v->generation_to;
  k.deleted_filter = v->deleted_filter;
  k.show_empty = v->show_empty;
  k.filter_on = list_filter_on(v);
  k.filter_hash = hash_fnv1a_64(v->list_filter.data, k.filter_on ? v->list_filter.used : 0);
  // Queued fetches show as "Updating… " and keep a feed listed: their set is part of the key.
  u64 p = 0;
  for (u64 q = 0; a->queries && q < a->query_count; q++) {
    if (__atomic_load_n(&a->queries[q].state, __ATOMIC_ACQUIRE) != query_state_queued) continue;
    // A sum, so the order of the slots does not matter; the mix makes two sets' sums unlikely to meet.
    p += fasthash_mix((u64)(u32)a->queries[q].feed_id + 1);
  }
  k.pending_hash = p;
  return k;
}

// Works the listing out from the pools into the listing's own memory; false (an empty listing)
// when that memory cannot be had.
static bool list_listing_build(app *a, reader *r, view_state *v, list_listing *l) {
  PROFILE_ZONE(zone_view_list_metrics);
  list_builds++;
  l->valid = false;
  l->feed_count = 0;
  u32 live_feeds = live_feed_count(r);
  u64 summary_bytes = view_feed_list_bytes(r, live_feeds);
  list_summary s = {};
  buffer summary_view = {};
  bool summary_ok = list_arena_view(&l->summary_memory, LIST_SUMMARY_RESERVE, "List summary", summary_bytes,
                                    &summary_view);
  if (summary_ok) {
    s = view_feed_list_build(&summary_view, r, live_feeds);
    summary_ok = !live_feeds || s.feed_count;
  }
  if (!summary_ok) {
    if (!l->summary_reported) {
      l->summary_reported = 1;
      log_append_string(string_lit("List: no memory for the summary of feeds and entries; it shows nothing.\n"));
    }
    return false;
  }
  l->summary_reported = 0;
  view_list_count(a, r, v, &s);

  u64 listed_total = 0;
  for (u32 i = 0; i < s.feed_count; i++) listed_total += s.entry_counts[i];
  u64 need = 64 + (u64)s.feed_count * (3 * sizeof(u32) + sizeof(entry **)) + listed_total * sizeof(entry *) + 64;
  buffer m = {};
  if (!list_arena_view(&l->memory, LIST_LISTING_RESERVE, "List", need, &m)) {
    if (!l->memory_reported) {
      l->memory_reported = 1;
      log_append_string(string_lit("List: no memory for the list of feeds and entries; it shows nothing.\n"));
    }
    return false;
  }
  l->memory_reported = 0;  // a later failure is said again, as the summary's is
  l->feed_ids = (u32 *)buffer_push_array_bytes(&m, 4, s.feed_count + 1, 4);
  l->counts = (u32 *)buffer_push_array_bytes(&m, 4, s.feed_count + 1, 4);
  l->pending = (u32 *)buffer_push_array_bytes(&m, 4, s.feed_count + 1, 4);
  l->listed = (entry ***)buffer_push_array_bytes(&m, sizeof(entry **), s.feed_count + 1, 8);
  if (!l->feed_ids || !l->counts || !l->pending || !l->listed) return false;
  for (u32 i = 0; i < s.feed_count; i++) {
    feed *f = reader_find_feed(r, s.feed_ids[i]);
    l->feed_ids[i] = s.feed_ids[i];
    l->counts[i] = 0;
    l->pending[i] = s.pending[i];
    l->listed[i] = (entry **)buffer_push_array_bytes(&m, sizeof(entry *), s.entry_counts[i] + 1, 8);
    if (!l->listed[i]) return false;
    if (!f || !feed_is_listed(f, v, s.entry_counts[i], s.pending[i])) continue;
    bool feed_matches = list_filter_on(v) && title_matches(v, feed_get_title(f));
    entry **entries = (entry **)s.feed_entries[i].data;
    u64 n = s.feed_entries[i].used / sizeof(entry *);
    u32 count = 0;
    for (u64 k = 0; k < n && count < s.entry_counts[i]; k++) {
      if (entry_is_listed(v, entries[k], feed_matches)) l->listed[i][count++] = entries[k];
    }
    l->counts[i] = count;
  }
  l->feed_count = s.feed_count;
  l->valid = true;
  return true;
}

const list_listing *view_list_listing(app *a, reader *r) {
  view_state *v = a->view;
  list_key key = list_key_make(a, r, v);
  list_key kept = listing.key;
  kept.frame += 1;
  if (!listing.valid || !list_key_equal(key, kept)) list_listing_build(a, r, v, &listing);
  listing.key = key;
  return &listing;
}

// ---- Testing -----------------------------------------------------------------------------

u64 view_list_build_count() { return list_builds; }

bool view_list_kept_is_fresh(app *a, reader *r) {
  if (!listing.valid) return false;
  static list_listing fresh;
  u64 builds = list_builds;
  bool built = list_listing_build(a, r, a->view, &fresh);
  list_builds = builds;
  if (!built || fresh.feed_count != listing.feed_count) return false;
  for (u32 i = 0; i < fresh.feed_count; i++) {
    if (fresh.feed_ids[i] != listing.feed_ids[i] || fresh.counts[i] != listing.counts[i] ||
        fresh.pending[i] != listing.pending[i])
      return false;
    if (memcmp(fresh.listed[i], listing.listed[i], fresh.counts[i] * sizeof(entry *)) != 0) return false;
  }
  return true;
}
