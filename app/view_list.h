// The left panel's feed and entry list, the pieces it is made of: the filters and the summary of
// which feeds and entries are listed (app/view_list.cpp), the listing kept across frames and its
// refresh after parses (app/view_list_kept.cpp), the keys and generation commands
// (app/view_list_keys.cpp) and the rows (app/view_list_rows.cpp). The views themselves are
// declared in app/app.h.
#pragma once

#include "app/app.h"

// ---- Filters -----------------------------------------------------------------------------

// The words handed to the store's navigation operations for a deleted filter.
struct list_masks {
  u32 entry_required;  // bit 31 for "Deleted"
  u32 entry_allowed;   // bit 31 for "Both"
  u32 feed_required;   // always 0
  u32 feed_allowed;    // bit 31 for "Deleted" and "Both"
};
list_masks list_masks_make(u32 deleted_filter);

// The entry tests are asked once for every entry of a listing: inline.
inline bool entry_in_generation_range(const entry *e, u32 from, u32 to) {
  return from <= e->generation && e->generation <= to;
}
inline bool entry_matches_deleted_filter(const entry *e, u32 filter) {
  if (filter == deleted_filter_not_deleted) return !entry_is_deleted(e);
  if (filter == deleted_filter_deleted) return entry_is_deleted(e);
  return true;
}
bool feed_is_listed(const feed *f, const view_state *view, u32 listed_entries, u32 pending);
// Whether the list's text filter is on.
inline bool list_filter_on(const view_state *view) { return view->filter_active && view->list_filter.used > 0; }
// Whether the filter occurs in the title, in any ASCII case.
bool list_title_matches(const view_state *view, buffer title);
// In the range, through the deleted filter, and through the text filter unless its feed's title
// matches.
inline bool list_entry_is_listed(const view_state *view, const entry *e, bool feed_title_matches) {
  if (!entry_in_generation_range(e, view->generation_from, view->generation_to)) return false;
  if (!entry_matches_deleted_filter(e, view->deleted_filter)) return false;
  if (!list_filter_on(view) || feed_title_matches) return true;
  return list_title_matches(view, entry_get_title(e));
}

// ---- Queued fetches ----------------------------------------------------------------------

// The feeds a fetch is queued for, gathered in one pass over the slots and sorted, so that asking
// for each feed costs a search, not another pass.
struct list_queued {
  u32 ids[FETCH_QUERY_COUNT];
  u32 count;
  bool overflow;  // more queued slots than ids: the look-ups walk the slots
};
void list_queued_gather(const app *a, list_queued *queued);
bool list_queued_has(const app *a, const list_queued *queued, u32 feed_id);

// ---- Summary -----------------------------------------------------------------------------

// Built in memory of the list's own, sized by view_feed_list_bytes, whenever the listing is worked
// out again. Index i is the i-th live feed in pool order.
struct list_summary {
  u32 *entry_counts;      // its listed entries (0 for an unlisted feed)
  u32 *pending;           // 1 while a fetch of it is queued
  buffer *feed_entries;   // pointers to its entries, in entry-pool order
  u32 *feed_ids;
  u32 feed_count;
};

u32 list_live_feed_count(reader *r);
// The four arrays, zeroed, and every live entry of the pool filed under its live feed. An entry
// whose feed is missing (a damaged save file) or that does not fit its feed's count is left out.
// All zero when the arena is too small.
list_summary view_feed_list_build(buffer *arena, reader *r, u32 live_feed_count);
// The bytes view_feed_list_build takes from its arena for this store, its look-up table included.
u64 view_feed_list_bytes(reader *r, u32 live_feed_count);
void view_list_count(app *a, reader *r, view_state *view, list_summary *summary);

// ---- The listing kept across frames ------------------------------------------------------

// What only a full build of the listing follows: the store's shape, the filters, and the frame of
// the context it was kept from.
struct list_shape {
  u64 epoch;
  // Kept only from one frame of a context to its next, so no other run's listing is taken.
  const ui_context *ui;
  u64 frame;
  const reader *store;
  const u8 *feed_items, *entry_items;
  u32 feeds_used, next_feed_id, store_generation;
  u32 generation_from, generation_to, deleted_filter, show_empty, filter_on;
  u64 filter_hash;
};

// The store's counters that a parse into a feed moves.
struct list_counters {
  u64 strings_used;
  u32 entries_used, entry_counter;
};

// What the listing was worked out for.
struct list_key {
  list_shape shape;
  list_counters counters;
  u64 pending_hash;  // the feeds a fetch is queued for
};

// What the rows are built from: per live feed in pool order, whether it is listed and its listed
// entries.
struct list_listing {
  arena memory;  // reserved at the first listing, committed as a listing needs it
  // The summary the listing is worked out from: it grows with the store (8 bytes an entry), so it
  // has an arena of its own instead of the frame arena's fixed free tail. A refresh takes its
  // scratch from it too.
  arena summary_memory;
  bool valid;
  list_key key;
  u32 feed_count;
  u32 *feed_ids;
  u32 *feed_slots;  // each feed's pool slot, ascending
  u32 *counts;      // listed entries (0 for an unlisted feed)
  u32 *pending;
  entry ***listed;  // per feed: its listed entries in pool order
  u32 *room;        // per feed: the entries its array has room for
  // Bytes pushed into memory, and of them the arrays a refresh replaced by larger ones: waste until
  // the next full build, which comes once it outweighs the rest.
  u64 memory_used;
  u64 waste;
  u32 memory_reported;
  u32 summary_reported;
};

// At most this many feeds parsed into between two listings are refreshed one by one; past it the
// listing is built in full. A frame's parse budget gets through a few dozen small documents.
#define LIST_REFRESH_FEEDS 64u

// The listing of the last frame, refreshed for the feeds parsed into since, or one worked out
// afresh when the store, the filters or the queued fetches changed in any other way.
const list_listing *view_list_listing(app *a, reader *r);

// One feed as the listing works it out from the store as it stands now: its listed entries as
// entry-pool slots in pool order, whether the list shows the feed, and its pending flag. The
// slots lie in scratch memory of the listing's own, which the next call or listing reuses.
struct list_feed_rows {
  u32 *slots;
  u32 count;
  u32 pending;
  bool listed;
};
// False, with nothing listed, when memory cannot be had.
bool list_feed_rows_make(app *a, reader *r, view_state *v, const feed *f, const list_queued *queued,
                         list_feed_rows *rows);
// The listing is worked out again in the next frame: the store may have changed in ways its
// counters do not show (a deleted mark, a sort, a record moved by a save).
void view_list_stale();
// Around a change of the store confined to one feed (a document parsed into it, with the sort of
// its entries): when the changes since the last listing are only such ones, and for a few feeds,
// the next listing refreshes those feeds alone. Any other change between or around them makes it
// a full build.
void view_list_feed_change_begin(const reader *r);
void view_list_feed_change_end(const reader *r, u32 feed_id);

// ---- Selection ---------------------------------------------------------------------------

// Drops a selection that no longer names a live record of the store (after a deletion, a purge
// or a reload), and an entry that is not of the selected feed.
void view_selection_validate(view_state *view, reader *r);

// ---- Testing -----------------------------------------------------------------------------

#if QM_TEST_HOOKS
// How often the listing was worked out in full and refreshed, how many entries it has looked
// at, and whether the kept one equals one worked out afresh from the store now. Tests hold the
// kept listing to the store with them.
u64 view_list_build_count();
u64 view_list_refresh_count();
u64 view_list_entries_visited();
bool view_list_kept_is_fresh(app *a, reader *r);
// The kept listing as it stands, without any work.
const list_listing *view_list_kept();
// Raised by every pass of the listing over entries.
extern u64 list_entry_visits;
#endif
