// The feed and entry list of the left panel: filters, the per-frame summary, the generation
// commands and the list itself.
#include "app/view_list.h"

#include "profiler/profiler.h"
#include "reader/url.h"
#include "gfx/input.h"
#include "gfx/window.h"
#include "ui/widgets.h"

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

// ---- Selection ---------------------------------------------------------------------------

static bool pointer_in_pool(pool *p, u64 item_size, const void *item) {
  const u8 *first = (const u8 *)pool_get(p, item_size, 0);
  if (!first || p->max_entry_count == 0) return false;
  const u8 *at = (const u8 *)item;
  return at >= first && at < first + item_size * p->max_entry_count && (u64)(at - first) % item_size == 0;
}

void view_selection_validate(view_state *view, reader *r) {
  feed *f = view->selected_feed;
  if (f && (!pointer_in_pool(&r->feeds, sizeof(feed), f) || !feed_is_live(f))) {
    view->selected_feed = nullptr;
    view->selected_entry = nullptr;
    return;
  }
  entry *e = view->selected_entry;
  if (e && (!f || !pointer_in_pool(&r->entries, sizeof(entry), e) || !entry_is_live(e) || e->feed_id != f->id)) {
    view->selected_entry = nullptr;
  }
}

void view_close_page(app *a) {
  view_state *v = a->view;
  v->page = view_page_main;
  v->html_parsed = 0;
  if (v->selected_feed && !v->selected_entry) {
    v->feed_uri.used = 0;
    buffer url = v->selected_feed->url;
    u64 n = url.used < v->feed_uri.size ? url.used : v->feed_uri.size;
    memory_copy(v->feed_uri.data, url.data, n);
    v->feed_uri.used = n;
  }
}

// ---- Generation commands -----------------------------------------------------------------

// The page shown next opens at its top, not at the scroll offset of the entry that was shown.
static void selection_clear(view_state *view) {
  if (view->selected_feed || view->selected_entry) view->selection_changed = 1;
  view->selected_feed = nullptr;
  view->selected_entry = nullptr;
}

void view_list_generation_minimum(view_state *view, reader *r) {
  list_masks m = list_masks_make(view->deleted_filter);
  u32 g = reader_next_generation(r, 0, m.entry_required, m.entry_allowed);
  view->generation_from = view->generation_to = g;
  selection_clear(view);
}

void view_list_generation_maximum(view_state *view, reader *r) {
  list_masks m = list_masks_make(view->deleted_filter);
  u32 g = reader_prev_generation(r, r->generation + 1, m.entry_required, m.entry_allowed);
  view->generation_from = view->generation_to = g;
  selection_clear(view);
}

void view_list_generation_all(view_state *view, reader *r) {
  list_masks m = list_masks_make(view->deleted_filter);
  view->generation_from = reader_next_generation(r, 0, m.entry_required, m.entry_allowed);
  view->generation_to = reader_prev_generation(r, r->generation + 1, m.entry_required, m.entry_allowed);
  selection_clear(view);
}

void view_list_generation_increase(view_state *view, reader *r, u32 move) {
  list_masks m = list_masks_make(view->deleted_filter);
  if (view->generation_to < r->generation) {
    view->generation_to = reader_next_generation(r, view->generation_to, m.entry_required, m.entry_allowed);
  }
  if (move == 1) {
    view->generation_from = view->generation_to;
    selection_clear(view);
  }
}

void view_list_generation_decrease(view_state *view, reader *r, u32 move) {
  list_masks m = list_masks_make(view->deleted_filter);
  if (view->generation_from != 0) {
    view->generation_from = reader_prev_generation(r, view->generation_from, m.entry_required, m.entry_allowed);
  }
  if (move == 1) {
    view->generation_to = view->generation_from;
    selection_clear(view);
  }
}

// ---- Keys --------------------------------------------------------------------------------

namespace {
// The store's navigation with the view's range and masks filled in.
struct nav {
  reader *r;
  u32 from, to;
  list_masks m;

  entry *first(feed *f) { return f ? reader_first_entry(r, f, from, to, m.entry_required, m.entry_allowed) : nullptr; }
  entry *last(feed *f) { return f ? reader_last_entry(r, f, from, to, m.entry_required, m.entry_allowed) : nullptr; }
  entry *prev(feed *f, entry *e) { return reader_prev_entry(r, f, e, from, to, m.entry_required, m.entry_allowed); }
  entry *next(feed *f, entry *e) { return reader_next_entry(r, f, e, from, to, m.entry_required, m.entry_allowed); }
  feed *first_feed(u32 show_empty) {
    return reader_first_feed(r, show_empty, from, to, m.feed_required, m.feed_allowed, m.entry_required,
                             m.entry_allowed);
  }
  feed *last_feed(u32 show_empty) {
    return reader_last_feed(r, show_empty, from, to, m.feed_required, m.feed_allowed, m.entry_required,
                            m.entry_allowed);
  }
  feed *prev_feed(feed *f, u32 show_empty) {
    return reader_prev_feed(r, f, show_empty, from, to, m.feed_required, m.feed_allowed, m.entry_required,
                            m.entry_allowed);
  }
  feed *next_feed(feed *f, u32 show_empty) {
    return reader_next_feed(r, f, show_empty, from, to, m.feed_required, m.feed_allowed, m.entry_required,
                            m.entry_allowed);
  }
};
}  // namespace

void view_handle_keys(app *a, reader *r) {
  view_state *v = a->view;
  view_selection_validate(v, r);
  feed *old_feed = v->selected_feed;
  entry *old_entry = v->selected_entry;
  v->scroll_to_selection = 0;
  ui_context *ctx = a->ui;
  if (ctx && (ctx->active != UI_ID_NONE || ctx->popup_active != UI_ID_NONE)) return;
  window *w = a->window;
  if (!w) return;

  bool shift = (input_modifiers(w) & input_modifier_shift) != 0;
  nav n = {r, v->generation_from, v->generation_to, list_masks_make(v->deleted_filter)};
  feed *f = v->selected_feed;
  entry *e = v->selected_entry;

  if (input_key_pressed_or_repeated(w, key_up) || input_key_pressed_or_repeated(w, key_down)) {
    bool up = input_key_pressed_or_repeated(w, key_up);
    v->scroll_to_selection = 1;
    if (!f) {
      f = n.first_feed(0);
      v->selected_feed = f;
      v->selected_entry = n.first(f);
    } else if (!e) {
      v->selected_entry = up ? n.last(f) : n.first(f);
    } else {
      entry *found = up ? n.prev(f, e) : n.next(f, e);
      if (!found) {
        feed *other = up ? n.prev_feed(f, 0) : n.next_feed(f, 0);
        if (other) {
          // The entry of the old feed cannot stay selected under the new one.
          v->selected_feed = other;
          v->selected_entry = up ? n.last(other) : n.first(other);
          v->selection_changed = 1;
        }
      } else {
        v->selected_entry = found;
        v->selection_changed = 1;
      }
    }
  } else if (input_key_pressed_or_repeated(w, key_page_up) || input_key_pressed_or_repeated(w, key_page_down)) {
    bool up = input_key_pressed_or_repeated(w, key_page_up);
    v->scroll_to_selection = 1;
    if (shift) {
      feed *target = nullptr;
      if (f && e) target = f;  // first step from an entry: its own feed
      if (f && !e) target = up ? n.prev_feed(f, v->show_empty) : n.next_feed(f, v->show_empty);
      if (!target) target = up ? n.last_feed(v->show_empty) : n.first_feed(v->show_empty);
      v->selected_feed = target;
      v->selected_entry = nullptr;
    } else if (!f) {
      f = up ? n.last_feed(v->show_empty) : n.first_feed(v->show_empty);
      v->selected_feed = f;
      v->selected_entry = n.first(f);
    } else {
      feed *other = up ? n.prev_feed(f, v->show_empty) : n.next_feed(f, v->show_empty);
      if (other) {
        v->selected_feed = other;
        v->selected_entry = n.first(other);
      }
    }
  } else if (input_key_pressed_or_repeated(w, key_home) || input_key_pressed_or_repeated(w, key_end)) {
    bool home = input_key_pressed_or_repeated(w, key_home);
    v->scroll_to_selection = 1;
    entry *found = home ? n.first(f) : n.last(f);
    if (found) v->selected_entry = found;
  } else if (input_key_pressed_or_repeated(w, key_delete)) {
    v->scroll_to_selection = 1;
    if (f && e) {
      entry *next = n.next(f, e);
      if (!next) next = n.prev(f, e);
      if (next) {
        v->selected_entry = next;
      } else if (feed *nf = n.next_feed(f, 0)) {
        v->selected_feed = nf;
        v->selected_entry = n.first(nf);
      } else if (feed *pf = n.prev_feed(f, 0)) {
        v->selected_feed = pf;
        v->selected_entry = n.last(pf);
      } else {
        v->selected_entry = nullptr;  // nothing else to show: the feed stays selected
      }
      if (entry_is_deleted(e)) {
        reader_delete_entry(r, e, f);
      } else {
        entry_mark_deleted(e);
      }
      v->selection_changed = 1;
    } else if (f && shift) {
      feed *other = n.next_feed(f, v->show_empty);
      if (other) {
        v->selected_feed = other;
        v->selected_entry = n.first(other);
      } else if ((other = n.prev_feed(f, v->show_empty))) {
        v->selected_feed = other;
        v->selected_entry = n.last(other);
      } else {
        selection_clear(v);
      }
      if (feed_is_deleted(f)) {
        reader_delete_feed(r, f);
      } else {
        reader_mark_feed_deleted(r, f);
      }
      v->selection_changed = 1;
    } else {
      v->scroll_to_selection = 0;
    }
  } else if (input_key_pressed(w, key_enter)) {
    if (f && e) {
      buffer link = reader_entry_article_link(r, e);
      if (link.used) reader_open_entry_link(r, f, link);
    }
  } else if (input_key_pressed(w, key_backspace)) {
    if (f && e) {
      if (feed_is_deleted(f)) reader_unmark_feed_deleted(r, f, 0);
      entry_unmark_deleted(e);
    } else if (f) {
      reader_unmark_feed_deleted(r, f, shift ? 1 : 0);
    }
  }

  // Every key that moved the selection makes the next page open at its top.
  // Delete and Backspace change deleted marks, which no counter of the store shows.
  if (input_key_pressed_or_repeated(w, key_delete) || input_key_pressed(w, key_backspace)) view_list_stale();
  if (v->selected_feed != old_feed || v->selected_entry != old_entry) {
    v->selection_changed = 1;
    view_close_page(a);
  }
}

// ---- The list ----------------------------------------------------------------------------

static const char list_trim_set[] = " \n\r\t\v\f";

// Every occurrence of the filter in the node's text becomes a highlighted range.
static void list_highlight(ui_context *ctx, view_state *view, ui_node *node) {
  if (!list_filter_on(view) || ui_node_is_sink(ctx, node)) return;
  const u8 *at = node->text.data;
  const u8 *end = at + node->text.used;
  ui_text_range *first = nullptr;
  u64 count = 0;
  while (at < end) {
    u8 *hit = string_find_ignore_case(at, end, view->list_filter.data, view->list_filter.used);
    if (!hit || hit >= end) break;
    ui_text_range *range = (ui_text_range *)ui_text_push(ctx, sizeof(ui_text_range), 8);
    if (!range) break;  // a full text arena only loses the highlight
    *range = ui_text_range{hit, hit + view->list_filter.used, style_list_match, 0};
    if (!first) first = range;
    count++;
    at = hit + view->list_filter.used;
  }
  node->ranges = first;
  node->range_count = count;
}

// "[Deleted] ", "Updating… " and the trimmed title, cut to the line buffer.
static buffer list_line(u8 *bytes, u64 size, bool deleted, bool pending, buffer title) {
  buffer line = {size, 0, bytes};
  if (deleted) buffer_push_string(&line, string_lit("[Deleted] "), 1);
  if (pending) buffer_push_string(&line, string_lit("Updating\xE2\x80\xA6 "), 1);
  buffer set = string_lit(list_trim_set);
  title = string_trim_right_any(string_trim_left_any(title, set), set);
  u64 room = buffer_free_bytes(line);
  if (title.used > room) {
    // Cut at a character boundary.
    u64 n = room;
    while (n > 0 && (title.data[n] & 0xC0) == 0x80) n--;
    title.used = n;
  }
  buffer_push_string(&line, title, 1);
  return line;
}

// ---- Which rows are built ------------------------------------------------------------------
// Only the rows that meet the scroll view's visible range (plus a margin) become nodes; the rows
// around them become spacers of the same height, so the list keeps its full height, scrollbar
// and thumb, and every built row sits exactly where it would in the full list.

namespace {
struct list_geometry {
  f32 gap;          // between feed blocks
  f32 block_frame;  // a block's padding along y
  f32 block_top;    // its top part
  f32 title;        // the feed's title line
  f32 line;         // one entry line
};

struct list_window {
  f32 top, bottom;  // content pixels, y down

  bool meets(f32 y0, f32 y1) const { return y1 > top && y0 < bottom; }
};
}  // namespace

static list_geometry list_geometry_make(ui_context *ctx) {
  list_geometry g = {};
  g.gap = 2;
  g.block_frame = ui_style_frame_y(ctx, style_list_feed, ui_node_flag_padding, &g.block_top);
  g.title = ui_line_rule_height(ctx, 2, style_list_feed_title, ui_node_flag_padding);
  g.line = ui_line_rule_height(ctx, 1, style_list_entry_even, ui_node_flag_padding);
  return g;
}

static f32 block_height(const list_geometry &g, u32 listed_entries) {
  return g.block_frame + g.title + g.line * (f32)listed_entries;
}

// The offset the view will scroll to for a target [y0, y1) with the list's margin, as the solver
// works it out, so that the rows it will show are the ones built.
static f32 scroll_for_target(f32 s, f32 view, f32 y0, f32 y1, f32 margin) {
  if (view <= y1 - y0) return y0;
  if (s > y0 - margin) return y0 - margin;
  if (y1 + margin > s + view) return y1 + margin - view;
  return s;
}

// A run of rows that are not built, waiting to become one spacer before the next built node.
static void spacer_flush(ui_context *ctx, f32 *pending) {
  if (*pending > 0) ui_space_y(ctx, ui_size_pixels_make(*pending));
  *pending = 0;
}

// ---- The listing kept across frames ---------------------------------------------------------
// Which feeds and entries are listed changes only when the store or the filters do, so it is
// worked out again only then, not in every frame: a frame then costs the rows on screen, not the
// store's size. The store changes through fetched documents and through the user's input, which
// both mark the listing stale (view_list_stale); the counters and filters below catch the rest.

namespace {
struct list_key {
  u64 epoch;
  // Kept only from one frame of a context to its next, so no other run's listing is taken.
  const ui_context *ui;
  u64 frame;
  const reader *store;
  const u8 *feed_items, *entry_items;
  u32 feeds_used, entries_used, entry_counter, next_feed_id, store_generation;
  u64 strings_used;
  u32 generation_from, generation_to, deleted_filter, show_empty, filter_on;
  u64 filter_hash;
  u64 pending_hash;
};

struct list_listing {
  buffer reserve;  // address space, committed as a listing needs it
  // The summary the listing is worked out from: it grows with the store (8 bytes an entry), so it
  // has a reservation of its own instead of the frame arena's fixed free tail.
  buffer summary_reserve;
  bool valid;
  list_key key;
  u32 feed_count;
  u32 *feed_ids;
  u32 *counts;   // listed entries (0 for an unlisted feed)
  u32 *pending;
  entry ***listed;  // per feed: its listed entries in pool order
  u32 memory_reported;
  u32 summary_reported;
};
}  // namespace

static list_listing listing;
static u64 list_epoch;
static u64 list_builds;

void view_list_stale() { list_epoch++; }

#define LIST_LISTING_RESERVE MiB(1024)
// Room for the summary of a store of millions of entries and tens of thousands of feeds.
#define LIST_SUMMARY_RESERVE MiB(1024)

// Commits the reservation (reserved on first use) up to bytes; false when it cannot.
static bool list_reserve_commit(buffer *reserve, u64 reservation, u64 bytes) {
  if (!reserve->data) *reserve = memory_reserve(reservation, nullptr);
  if (!reserve->data) return false;
  if (reserve->used >= bytes) return true;
  u64 step = align_up(bytes - reserve->used, MiB(1));
  return reserve->size - reserve->used >= step && memory_commit(reserve, step);
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
  u64 h = 1469598103934665603ull;
  for (u64 i = 0; k.filter_on && i < v->list_filter.used; i++) h = (h ^ v->list_filter.data[i]) * 1099511628211ull;
  k.filter_hash = h;
  // Queued fetches show as "Updating… " and keep a feed listed: their set is part of the key.
  u64 p = 0;
  for (u64 q = 0; a->queries && q < a->query_count; q++) {
    if (__atomic_load_n(&a->queries[q].state, __ATOMIC_ACQUIRE) != query_state_queued) continue;
    u64 x = ((u64)(u32)a->queries[q].feed_id + 1) * 0x9E3779B97F4A7C15ull;
    p += x ^ (x >> 31);
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
  bool summary_ok = list_reserve_commit(&l->summary_reserve, LIST_SUMMARY_RESERVE, summary_bytes);
  if (summary_ok) {
    buffer arena = {l->summary_reserve.used, 0, l->summary_reserve.data};
    s = view_feed_list_build(&arena, r, live_feeds);
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
  if (!list_reserve_commit(&l->reserve, LIST_LISTING_RESERVE, need)) {
    if (!l->memory_reported) {
      l->memory_reported = 1;
      log_append_string(string_lit("List: no memory for the list of feeds and entries; it shows nothing.\n"));
    }
    return false;
  }
  buffer m = {l->reserve.used, 0, l->reserve.data};
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

void view_list(app *a, reader *r) {
  PROFILE_ZONE(zone_view_list);
  view_state *v = a->view;
  ui_context *ctx = a->ui;
  view_handle_keys(a, r);

  list_key key = list_key_make(a, r, v);
  list_key kept = listing.key;
  kept.frame += 1;
  if (!listing.valid || !list_key_equal(key, kept)) list_listing_build(a, r, v, &listing);
  listing.key = key;
  list_listing &l = listing;
  u32 feed_count = l.valid ? l.feed_count : 0;

  ui_node *scroll_view = nullptr;
  {
    PROFILE_ZONE(zone_view_list_items);
    for (ui_node *p = ctx->parent; p; p = p->parent) {
      if (p->flags & ui_node_flag_scroll_y) {
        scroll_view = p;
        break;
      }
    }
    if (ctx->parent) ui_set_layout_direction(ctx->parent, 1);
  }

  // The list's full height and where the selection lies in it.
  list_geometry g = list_geometry_make(ctx);
  f32 total = 0;
  f32 selected_y0 = -1, selected_y1 = -1;
  u64 selected_index = (u64)-1;  // of the selected entry among its feed's listed entries
  bool first = true;
  for (u32 i = 0; i < feed_count; i++) {
    feed *f = reader_find_feed(r, l.feed_ids[i]);
    if (!f || !feed_is_listed(f, v, l.counts[i], l.pending[i])) continue;
    if (!first) total += g.gap;
    first = false;
    f32 h = block_height(g, l.counts[i]);
    if (f == v->selected_feed) {
      selected_y0 = total;
      selected_y1 = total + h;
      for (u64 k = 0; v->selected_entry && k < l.counts[i]; k++) {
        if (l.listed[i][k] != v->selected_entry) continue;
        selected_index = k;
        selected_y0 = total + g.block_top + g.title + g.line * (f32)k;
        selected_y1 = selected_y0 + g.line;
        break;
      }
    }
    total += h;
  }

  // The visible range: last frame's view height at this frame's offset, or the offset the view
  // is about to scroll to; half a view more on each side.
  list_window window = {0, 1e30f};
  if (scroll_view && scroll_view->first_child) {
    ui_node *shown = ui_find_previous(ctx, scroll_view->id);
    f32 view = shown ? shown->size[1] : (a->window ? (f32)a->window->height : 0);
    if (view <= 0) view = 4096;
    f32 most = total - view > 0 ? total - view : 0;
    f32 at = scroll_view->first_child->scroll[1];
    if (v->scroll_to_selection && selected_y0 >= 0) at = scroll_for_target(at, view, selected_y0, selected_y1, 80);
    at = at < 0 ? 0 : at > most ? most : at;
    f32 margin = view * 0.5f > 64 ? view * 0.5f : 64;
    window = list_window{at - margin, at + view + margin};
  }

  ui_node *selected_feed_node = nullptr;
  ui_node *selected_entry_node = nullptr;
  bool first_listed = true;
  f32 y = 0;
  f32 pending = 0;
  for (u32 i = 0; i < feed_count; i++) {
    PROFILE_ZONE(zone_view_list_feed);
    feed *f = reader_find_feed(r, l.feed_ids[i]);
    if (!f) continue;
    u32 listed = l.counts[i];
    u32 fetching = l.pending[i];
    if (!feed_is_listed(f, v, listed, fetching)) continue;
    if (!first_listed) {
      pending += g.gap;
      y += g.gap;
    }
    first_listed = false;

    ui_id feed_id = (ui_id)(uintptr_t)f;
    ui_node *previous = ui_find_previous(ctx, feed_id);
    bool selected_here = v->selected_feed == f;
    if (previous && ui_pressed(ctx, previous)) {
      v->selection_changed = 1;
      v->selected_entry = nullptr;
      v->selected_feed = f;
      view_close_page(a);
    }
    f32 h = block_height(g, listed);
    if (!window.meets(y, y + h) && !selected_here && v->selected_feed != f) {
      pending += h;
      y += h;
      continue;
    }
    spacer_flush(ctx, &pending);
    ui_node *block = ui_node_create(ctx, feed_id, ui_size_parent_make(), ui_size_children_make(),
                                    ui_node_flag_background | ui_node_flag_padding | ui_node_flag_stack_y);
    block->style = style_list_feed;
    if (v->selected_feed == f) {
      selected_feed_node = block;
      selected_entry_node = nullptr;
    }
    ui_parent_push(ctx, block);

    ui_font_set(ctx, 2);
    u8 line_bytes[2048];
    buffer title = list_line(line_bytes, sizeof line_bytes, feed_is_deleted(f), fetching != 0, feed_get_title(f));
    ui_node *title_node =
        ui_text(ctx, UI_ID_NONE, title, style_list_feed_title, ui_node_flag_ellipsis | ui_node_flag_padding);
    title_node->size_x = ui_size_parent_content_make();
    title_node->size_y = ui_size_line_make();
    list_highlight(ctx, v, title_node);
    ui_font_set(ctx, 1);

    // The rows that meet the window, and the selected one wherever it is; spacers between.
    f32 row0 = y + g.block_top + g.title;
    u64 from = 0, to = listed;
    if (g.line > 0) {
      f32 a0 = (window.top - row0) / g.line, a1 = (window.bottom - row0) / g.line;
      from = a0 <= 0 ? 0 : a0 >= (f32)listed ? listed : (u64)a0;
      to = a1 <= 0 ? 0 : a1 >= (f32)listed ? listed : (u64)a1 + 1;
      if (to > listed) to = listed;
      if (from > to) from = to;
    }
    u64 selected = selected_here && selected_index < listed ? selected_index : (u64)-1;
    u64 cursor = 0;  // rows before it are built or spaced
    auto span = [&](u64 begin, u64 end) {
      if (begin > cursor) ui_space_y(ctx, ui_size_pixels_make(g.line * (f32)(begin - cursor)));
      for (u64 k = begin; k < end; k++) {
        PROFILE_ZONE(zone_view_list_entry);
        entry *e = l.listed[i][k];
        ui_id entry_id = (ui_id)(uintptr_t)e;
        ui_node *previous_entry = ui_find_previous(ctx, entry_id);
        if (previous_entry && ui_pressed(ctx, previous_entry)) {
          v->selection_changed = 1;
          v->selected_feed = f;
          v->selected_entry = e;
          view_close_page(a);
        }
        buffer text = list_line(line_bytes, sizeof line_bytes, entry_is_deleted(e), false, entry_get_title(e));
        ui_node *node = ui_text(ctx, entry_id, text, (k & 1) ? style_list_entry_odd : style_list_entry_even,
                                ui_node_flag_ellipsis | ui_node_flag_background | ui_node_flag_padding);
        node->size_x = ui_size_parent_content_make();
        node->size_y = ui_size_line_make();
        list_highlight(ctx, v, node);
        if (v->selected_entry == e) selected_entry_node = node;
      }
      if (end > cursor) cursor = end;
    };
    if (selected < from) span(selected, selected + 1);
    span(from, to);
    if (selected != (u64)-1 && selected >= to) span(selected, selected + 1);
    if (listed > cursor) ui_space_y(ctx, ui_size_pixels_make(g.line * (f32)(listed - cursor)));
    ui_parent_pop(ctx);
    y += h;
  }
  spacer_flush(ctx, &pending);

  if (selected_feed_node) {
    selected_feed_node->style = style_list_feed_selected;
    if (v->scroll_to_selection && !selected_entry_node && scroll_view) {
      ui_scroll_to(scroll_view, selected_feed_node, v2{80, 80});
    }
  }
  if (selected_entry_node) {
    selected_entry_node->style = style_list_entry_selected;
    if (v->scroll_to_selection && scroll_view) ui_scroll_to(scroll_view, selected_entry_node, v2{80, 80});
  }
}
