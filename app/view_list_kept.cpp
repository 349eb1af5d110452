// The listing kept across frames: which feeds and entries the list shows, worked out in full only
// when the store or the filters change in a way it cannot follow, and refreshed feed by feed when
// the only changes are documents parsed into a few feeds and fetches queued or done. A frame of
// "Update all" then costs the parsed feeds' entries and the rows on screen, not the store's size.
#include "app/view_list.h"

#include <algorithm>

#include "profiler/profiler.h"

// The store changes through fetched documents and through the user's input. The user's changes
// and everything that moves records (a save, a purge, a reload) mark the listing stale; parses
// announce the feed they change (view_list_feed_change_begin and _end); the shape, counters and
// filters of the key catch the rest.

static list_listing listing;
static u64 list_epoch;
#if QM_TEST_HOOKS
static u64 list_builds;
static u64 list_refreshes;
#endif

// The feeds parsed into since the listing was last worked out, with the store's counters before
// the first parse and after the last, so that any change between or around them shows.
struct list_changes {
  const reader *store;
  list_counters before, after;
  u32 feed_ids[LIST_REFRESH_FEEDS];
  u32 count;
  u32 open;    // a parse began since the last listing
  u32 broken;  // more feeds than fit, or a change outside the announced parses
};
static list_changes changes;

void view_list_stale() { list_epoch++; }

#define LIST_LISTING_RESERVE MiB(1024)
// Room for the summary of a store of millions of entries and tens of thousands of feeds.
#define LIST_SUMMARY_RESERVE MiB(1024)
#define LIST_COMMIT_STEP MiB(1)

// A view of the arena (reserved at its first use) with room for bytes after its first used;
// false when they cannot be had. Quiet: the listing says in its own words what it cannot show.
static bool list_arena_view(arena *a, u64 reservation, const char *name, u64 used, u64 bytes, buffer *view) {
  if (!a->memory.data && !arena_reserve(a, reservation, 0, LIST_COMMIT_STEP, name, arena_flag_quiet)) return false;
  *view = arena_view(a);
  view->used = used;
  return arena_make_room(a, view, bytes, 1);
}

static bool list_counters_equal(const list_counters &a, const list_counters &b) { return memcmp(&a, &b, sizeof a) == 0; }

static list_counters list_counters_of(const reader *r) {
  list_counters c;
  memory_zero(&c, sizeof c);  // padding too, for the byte comparison
  c.strings_used = r->strings.used;
  c.entries_used = r->entries.entry_count;
  c.entry_counter = r->entry_counter;
  return c;
}

static list_key list_key_make(app *a, reader *r, view_state *v) {
  list_key k;
  memory_zero(&k, sizeof k);  // padding too, for the byte comparison
  list_shape &s = k.shape;
  s.epoch = list_epoch;
  s.ui = a->ui;
  s.frame = a->ui ? a->ui->frame_count : 0;
  s.store = r;
  s.feed_items = r->feeds.items;
  s.entry_items = r->entries.items;
  s.feeds_used = r->feeds.entry_count;
  s.next_feed_id = r->next_feed_id;
  s.store_generation = r->generation;
  s.generation_from = v->generation_from;
  s.generation_to = v->generation_to;
  s.deleted_filter = v->deleted_filter;
  s.show_empty = v->show_empty;
  s.filter_on = list_filter_on(v);
  s.filter_hash = hash_fnv1a_64(v->list_filter.data, s.filter_on ? v->list_filter.used : 0);
  k.counters = list_counters_of(r);
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

// ---- The full build ----------------------------------------------------------------------

// Works the listing out from the pools into the listing's own memory; false (an empty listing)
// when that memory cannot be had.
static bool list_listing_build(app *a, reader *r, view_state *v, list_listing *l) {
  PROFILE_ZONE(zone_view_list_metrics);
  WORK_COUNT(list_builds, 1);
  l->valid = false;
  l->feed_count = 0;
  u32 live_feeds = list_live_feed_count(r);
  u64 summary_bytes = view_feed_list_bytes(r, live_feeds);
  list_summary s = {};
  buffer summary_view = {};
  bool summary_ok = list_arena_view(&l->summary_memory, LIST_SUMMARY_RESERVE, "List summary", 0, summary_bytes,
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
  u64 arrays = 5 * sizeof(u32) + sizeof(entry **);
  u64 need = 64 + (u64)(s.feed_count + 1) * arrays + (listed_total + s.feed_count) * sizeof(entry *) + 64;
  buffer m = {};
  if (!list_arena_view(&l->memory, LIST_LISTING_RESERVE, "List", 0, need, &m)) {
    if (!l->memory_reported) {
      l->memory_reported = 1;
      log_append_string(string_lit("List: no memory for the list of feeds and entries; it shows nothing.\n"));
    }
    return false;
  }
  l->memory_reported = 0;  // a later failure is said again, as the summary's is
  l->feed_ids = (u32 *)buffer_push_array_bytes(&m, 4, s.feed_count + 1, 4);
  l->feed_slots = (u32 *)buffer_push_array_bytes(&m, 4, s.feed_count + 1, 4);
  l->counts = (u32 *)buffer_push_array_bytes(&m, 4, s.feed_count + 1, 4);
  l->pending = (u32 *)buffer_push_array_bytes(&m, 4, s.feed_count + 1, 4);
  l->room = (u32 *)buffer_push_array_bytes(&m, 4, s.feed_count + 1, 4);
  l->listed = (entry ***)buffer_push_array_bytes(&m, sizeof(entry **), s.feed_count + 1, 8);
  if (!l->feed_ids || !l->feed_slots || !l->counts || !l->pending || !l->room || !l->listed) return false;
  // The summary's feeds are the live ones in pool order: the same walk gives their slots.
  pool_iterator it = pool_iterator_init(&r->feeds, sizeof(feed), feed_is_live);
  for (u32 i = 0; i < s.feed_count; i++) {
    l->feed_slots[i] = pool_index_of(&r->feeds, sizeof(feed), pool_iterator_next(&it));
    feed *f = reader_find_feed(r, s.feed_ids[i]);
    l->feed_ids[i] = s.feed_ids[i];
    l->counts[i] = 0;
    l->pending[i] = s.pending[i];
    l->room[i] = s.entry_counts[i] + 1;
    l->listed[i] = (entry **)buffer_push_array_bytes(&m, sizeof(entry *), l->room[i], 8);
    if (!l->listed[i]) return false;
    if (!f || !feed_is_listed(f, v, s.entry_counts[i], s.pending[i])) continue;
    bool feed_matches = list_filter_on(v) && list_title_matches(v, feed_get_title(f));
    entry **entries = (entry **)s.feed_entries[i].data;
    u64 n = s.feed_entries[i].used / sizeof(entry *);
    WORK_COUNT(list_entry_visits, n);
    entry **out = l->listed[i];
    u32 count = 0, most = s.entry_counts[i];
    for (u64 k = 0; k < n && count < most; k++) {
      if (list_entry_is_listed(v, entries[k], feed_matches)) out[count++] = entries[k];
    }
    l->counts[i] = count;
  }
  l->feed_count = s.feed_count;
  l->memory_used = m.used;
  l->waste = 0;
  l->valid = true;
  return true;
}

// ---- The refresh -------------------------------------------------------------------------

// The feed's place in the listing, which holds the live feeds in pool order, by a search of their
// slots. A look-up by id finds the first feed with that id: the one the full build files the
// id's entries under.
static bool list_feed_index(reader *r, const list_listing *l, const feed *f, u32 *index) {
  u32 slot = pool_index_of(&r->feeds, sizeof(feed), f);
  *index = (u32)(std::lower_bound(l->feed_slots, l->feed_slots + l->feed_count, slot) - l->feed_slots);
  return *index < l->feed_count && l->feed_slots[*index] == slot;
}

bool list_feed_rows_make(app *a, reader *r, view_state *v, const feed *f, const list_queued *queued,
                         list_feed_rows *rows) {
  *rows = list_feed_rows{};
  list_listing *l = &listing;
  // Its entries as the full build files them: in slot order, no more than its count.
  u32 want = f->entry_count;
  buffer scratch = {};
  if (!list_arena_view(&l->summary_memory, LIST_SUMMARY_RESERVE, "List summary", 0, 4ull * want + 4, &scratch))
    return false;
  u32 *slots = (u32 *)scratch.data;
  u32 n = reader_feed_entry_slots(r, f->id, slots, want);
  if (n > want) {
    // More entries name the feed than it counts (a damaged file): all of them, to keep the first.
    if (!list_arena_view(&l->summary_memory, LIST_SUMMARY_RESERVE, "List summary", 0, 4ull * n, &scratch))
      return false;
    slots = (u32 *)scratch.data;
    n = reader_feed_entry_slots(r, f->id, slots, n);
  }
  u32 take = n < want ? n : want;
  WORK_COUNT(list_entry_visits, take);
  bool feed_matches = list_filter_on(v) && list_title_matches(v, feed_get_title(f));
  u32 count = 0;
  for (u32 k = 0; k < take; k++) {
    if (list_entry_is_listed(v, (entry *)pool_get(&r->entries, sizeof(entry), slots[k]), feed_matches))
      slots[count++] = slots[k];
  }
  rows->slots = slots;
  rows->count = count;
  rows->pending = list_queued_has(a, queued, f->id) ? 1 : 0;
  rows->listed = feed_is_listed(f, v, count, rows->pending);
  return true;
}

// One feed's listed entries, count and pending flag worked out again as the full build does;
// false when the feed is not in the listing or memory cannot be had.
static bool list_feed_refresh(app *a, reader *r, view_state *v, list_listing *l, u32 feed_id,
                              const list_queued *queued) {
  feed *f = reader_find_feed(r, feed_id);
  u32 i = 0;
  if (!f || !list_feed_index(r, l, f, &i)) return false;
  list_feed_rows rows;
  if (!list_feed_rows_make(a, r, v, f, queued, &rows)) return false;
  if (!rows.listed) {
    l->counts[i] = 0;
    l->pending[i] = 0;
    return true;
  }
  u32 count = rows.count;
  if (count > l->room[i]) {
    // A feed that gained entries gains more with its next update: room to grow. The old array is
    // waste until the next full build.
    u64 room = (u64)count + count / 2 + 1;
    buffer m = {};
    if (room > UINT32_MAX ||
        !list_arena_view(&l->memory, LIST_LISTING_RESERVE, "List", l->memory_used, room * sizeof(entry *) + 8, &m))
      return false;
    entry **grown = (entry **)buffer_push_array_bytes(&m, sizeof(entry *), room, 8);
    if (!grown) return false;
    l->waste += sizeof(entry *) * (u64)l->room[i];
    l->listed[i] = grown;
    l->room[i] = (u32)room;
    l->memory_used = m.used;
  }
  for (u32 k = 0; k < count; k++) l->listed[i][k] = (entry *)pool_get(&r->entries, sizeof(entry), rows.slots[k]);
  l->counts[i] = count;
  l->pending[i] = rows.pending;
  return true;
}

// Follows the changes since the kept listing when they are parses into a few feeds and changes of
// the queued fetches; false when anything else may have changed, and the caller builds in full.
static bool list_refresh(app *a, reader *r, view_state *v, list_listing *l, const list_key &kept,
                         const list_key &now) {
  if (changes.broken) return false;
  if (changes.open) {
    if (changes.store != r || !list_counters_equal(changes.before, kept.counters) ||
        !list_counters_equal(changes.after, now.counters))
      return false;
  } else if (!list_counters_equal(kept.counters, now.counters)) {
    return false;
  }
  bool pending_moved = now.pending_hash != kept.pending_hash;
  if (!changes.count && !pending_moved) return true;
  // Arrays replaced by larger ones are given back by a full build once they outweigh the rest.
  if (2 * l->waste > l->memory_used) return false;
  PROFILE_ZONE(zone_view_list_metrics);
  list_queued queued;
  list_queued_gather(a, &queued);
  if (pending_moved) {
    // Only a feed without listed entries is listed or not by its fetch: its count stays.
    for (u32 i = 0; i < l->feed_count; i++) {
      feed *f = reader_find_feed(r, l->feed_ids[i]);
      u32 pending = f && list_queued_has(a, &queued, f->id) ? 1 : 0;
      l->pending[i] = f && feed_is_listed(f, v, l->counts[i], pending) ? pending : 0;
    }
  }
  for (u32 k = 0; k < changes.count; k++)
    if (!list_feed_refresh(a, r, v, l, changes.feed_ids[k], &queued)) return false;
  WORK_COUNT(list_refreshes, 1);
  return true;
}

// ---- Announced changes -------------------------------------------------------------------

void view_list_feed_change_begin(const reader *r) {
  list_counters now = list_counters_of(r);
  if (!changes.open) {
    changes.open = 1;
    changes.store = r;
    changes.before = changes.after = now;
  } else if (changes.store != r || !list_counters_equal(now, changes.after)) {
    changes.broken = 1;  // something changed the store between two parses
  }
}

void view_list_feed_change_end(const reader *r, u32 feed_id) {
  if (!changes.open || changes.store != r) {
    changes.broken = 1;
    return;
  }
  changes.after = list_counters_of(r);
  if (!feed_id) return;
  for (u32 k = 0; k < changes.count; k++)
    if (changes.feed_ids[k] == feed_id) return;
  if (changes.count == LIST_REFRESH_FEEDS) {
    changes.broken = 1;
    return;
  }
  changes.feed_ids[changes.count++] = feed_id;
}

// ---- The kept listing --------------------------------------------------------------------

const list_listing *view_list_listing(app *a, reader *r) {
  view_state *v = a->view;
  list_key key = list_key_make(a, r, v);
  list_key kept = listing.key;
  kept.shape.frame += 1;
  bool followed = listing.valid && memcmp(&key.shape, &kept.shape, sizeof key.shape) == 0 &&
                  list_refresh(a, r, v, &listing, kept, key);
  if (!followed) list_listing_build(a, r, v, &listing);
  changes = list_changes{};
  listing.key = key;
  return &listing;
}

// ---- Testing -----------------------------------------------------------------------------

#if QM_TEST_HOOKS
u64 view_list_build_count() { return list_builds; }
u64 view_list_refresh_count() { return list_refreshes; }
u64 view_list_entries_visited() { return list_entry_visits; }
const list_listing *view_list_kept() { return &listing; }

bool view_list_kept_is_fresh(app *a, reader *r) {
  if (!listing.valid) return false;
  static list_listing fresh;
  u64 builds = list_builds, visits = list_entry_visits;
  bool built = list_listing_build(a, r, a->view, &fresh);
  list_builds = builds;
  list_entry_visits = visits;
  if (!built || fresh.feed_count != listing.feed_count) return false;
  for (u32 i = 0; i < fresh.feed_count; i++) {
    if (fresh.feed_ids[i] != listing.feed_ids[i] || fresh.feed_slots[i] != listing.feed_slots[i] ||
        fresh.counts[i] != listing.counts[i] || fresh.pending[i] != listing.pending[i])
      return false;
    if (memcmp(fresh.listed[i], listing.listed[i], fresh.counts[i] * sizeof(entry *)) != 0) return false;
  }
  return true;
}
#endif
