// The list's keyboard navigation and its generation commands: the keys that move the selection,
// delete and restore feeds and entries and open an entry's link, the five commands that move the
// shown range of generations, and the checks that keep the selection on live records and, after a
// key, on a line the list shows.
#include "app/view_list.h"

#include <algorithm>

#include "gfx/input.h"
#include "gfx/window.h"
#include "ui/widgets.h"

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
// What the list shows, by its own rules and its filters as they stand (the range, the deleted
// filter, the text filter, "Show empty" and the queued fetches), walked in the list's order. The
// store's navigation knows only the range and the deleted marks, so a key that followed it could
// land on, and then delete, an entry the list hides. One feed's rows are kept at a time; a change
// of the store forgets them.
struct nav {
  app *a;
  reader *r;
  view_state *v;
  list_queued queued;
  const feed *rows_of = nullptr;
  list_feed_rows rows = {};

  nav(app *app_, reader *r_) : a(app_), r(r_), v(app_->view) { list_queued_gather(a, &queued); }

  void forget() { rows_of = nullptr; }
  // A feed whose rows cannot be worked out (no memory) shows nothing, as the list then does.
  const list_feed_rows &rows_for(const feed *f) {
    if (rows_of != f) {
      list_feed_rows_make(a, r, v, f, &queued, &rows);
      rows_of = f;
    }
    return rows;
  }
  entry *row(u32 k) { return (entry *)pool_get(&r->entries, sizeof(entry), rows.slots[k]); }
  // The first listed entry of the feed in a slot at or past the given one.
  u32 row_at_or_after(const feed *f, u32 slot) {
    const list_feed_rows &l = rows_for(f);
    return (u32)(std::lower_bound(l.slots, l.slots + l.count, slot) - l.slots);
  }
  u32 slot_of(const entry *e) { return pool_index_of(&r->entries, sizeof(entry), e); }

  bool shown(const feed *f) { return f && rows_for(f).listed; }
  bool lists(const feed *f, const entry *e) {
    if (!shown(f) || !e) return false;
    u32 k = row_at_or_after(f, slot_of(e));
    return k < rows.count && row(k) == e;
  }
  // Where a feed-wise move may go: a feed the list shows that has listed entries, or any it shows
  // when empty ones count.
  bool reachable(const feed *f, u32 show_empty) {
    const list_feed_rows &l = rows_for(f);
    return l.listed && (l.count > 0 || show_empty);
  }

  entry *first(feed *f) { return f && rows_for(f).listed && rows.count ? row(0) : nullptr; }
  entry *last(feed *f) { return f && rows_for(f).listed && rows.count ? row(rows.count - 1) : nullptr; }
  // The nearest listed entries after and before e's slot, whether e itself is listed or not.
  entry *next(feed *f, entry *e) {
    if (!shown(f)) return nullptr;
    u32 k = row_at_or_after(f, slot_of(e) + 1);
    return k < rows.count ? row(k) : nullptr;
  }
  entry *prev(feed *f, entry *e) {
    if (!shown(f)) return nullptr;
    u32 k = row_at_or_after(f, slot_of(e));
    return k > 0 ? row(k - 1) : nullptr;
  }

  feed *walk(s64 start, s64 step, u32 show_empty) {
    for (s64 i = start; i >= 0 && i < (s64)r->feeds.high_water; i += step) {
      feed *f = (feed *)pool_get(&r->feeds, sizeof(feed), (u32)i);
      if (feed_is_live(f) && reachable(f, show_empty)) return f;
    }
    return nullptr;
  }
  s64 feed_slot(const feed *f) { return (s64)pool_index_of(&r->feeds, sizeof(feed), f); }
  feed *first_feed(u32 show_empty) { return walk(0, 1, show_empty); }
  feed *last_feed(u32 show_empty) { return walk((s64)r->feeds.high_water - 1, -1, show_empty); }
  feed *prev_feed(feed *f, u32 show_empty) { return f ? walk(feed_slot(f) - 1, -1, show_empty) : nullptr; }
  feed *next_feed(feed *f, u32 show_empty) { return f ? walk(feed_slot(f) + 1, 1, show_empty) : nullptr; }
};
}  // namespace

// The listed entry nearest to e in its feed, else the first of the next feed with listed entries
// or the last of the one before. False, with no entry selected and the feed left as it is, when
// there is none.
static bool select_near_entry(nav &n, view_state *v, feed *f, entry *e) {
  entry *near = n.next(f, e);
  if (!near) near = n.prev(f, e);
  if (near) {
    v->selected_entry = near;
    return true;
  }
  v->selected_entry = nullptr;
  if (feed *nf = n.next_feed(f, 0)) {
    v->selected_feed = nf;
    v->selected_entry = n.first(nf);
    return true;
  }
  if (feed *pf = n.prev_feed(f, 0)) {
    v->selected_feed = pf;
    v->selected_entry = n.last(pf);
    return true;
  }
  return false;
}

// The next feed the list shows, at its first entry, else the one before at its last, else nothing.
static void select_near_feed(nav &n, view_state *v, feed *f) {
  if (feed *nf = n.next_feed(f, v->show_empty)) {
    v->selected_feed = nf;
    v->selected_entry = n.first(nf);
  } else if (feed *pf = n.prev_feed(f, v->show_empty)) {
    v->selected_feed = pf;
    v->selected_entry = n.last(pf);
  } else {
    selection_clear(v);
  }
}

// After a change of deleted marks the selection may have left the list (an entry restored under
// "Deleted", a feed left without listed entries): it moves to its nearest neighbour that the list
// shows, or to nothing.
static void selection_settle(nav &n, view_state *v) {
  feed *f = v->selected_feed;
  entry *e = v->selected_entry;
  if (!f || (e && n.lists(f, e))) return;
  if (e && select_near_entry(n, v, f, e)) return;
  if (!n.shown(f)) select_near_feed(n, v, f);
}

// One line naming the kept entry by its title as the list shows it (a long one cut), appended
// whole: a worker may log at any moment.
static void log_entry_kept(const entry *e) {
  u8 bytes[1024];
  buffer line = buffer_make(sizeof bytes, 0, bytes);
  buffer title = string_trim_space(entry_get_title(e));
  buffer_push_string(&line, string_lit("Entry kept under Deleted, not removed: \""), 1);
  u64 room = sizeof bytes - 256;
  u64 n = unicode_utf8_cut(title.data, title.used, room);
  buffer_push_bytes(&line, title.data, n);
  if (n < title.used) buffer_push_string(&line, string_lit("\xE2\x80\xA6"), 1);
  buffer_push_string(&line, string_lit("\": it has no date or its feed's newest date, so an update of a document "
                                       "that still lists it would store it again as new.\n"),
                     1);
  log_append(line.data, line.used);
}

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

  bool up = input_key_went_down_or_repeated(w, key_up), down = input_key_went_down_or_repeated(w, key_down);
  bool page_up = input_key_went_down_or_repeated(w, key_page_up);
  bool page_down = input_key_went_down_or_repeated(w, key_page_down);
  bool home = input_key_went_down_or_repeated(w, key_home), end = input_key_went_down_or_repeated(w, key_end);
  bool del = input_key_went_down_or_repeated(w, key_delete);
  bool enter = input_key_went_down(w, key_enter), back = input_key_went_down(w, key_backspace);
  // What the list shows is worked out only for a key, not in every frame.
  if (!(up || down || page_up || page_down || home || end || del || enter || back)) return;

  bool shift = (input_modifiers(w) & input_modifier_shift) != 0;
  nav n(a, r);
  // A key acts only on what the list shows: a selected feed or entry that the filters hide counts
  // as none, and every key but Enter drops it from the selection.
  feed *f = n.shown(v->selected_feed) ? v->selected_feed : nullptr;
  entry *e = f && n.lists(f, v->selected_entry) ? v->selected_entry : nullptr;
  bool hidden_entry = v->selected_entry && !e;
  if (!enter) {
    v->selected_feed = f;
    v->selected_entry = e;
  }
  bool marks_changed = false;  // by Delete or Backspace: the selection may have to move

  if (up || down) {
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
  } else if (page_up || page_down) {
    bool to_up = page_up;
    v->scroll_to_selection = 1;
    if (shift) {
      feed *target = nullptr;
      if (f && e) target = f;  // first step from an entry: its own feed
      if (f && !e) target = to_up ? n.prev_feed(f, v->show_empty) : n.next_feed(f, v->show_empty);
      if (!target) target = to_up ? n.last_feed(v->show_empty) : n.first_feed(v->show_empty);
      v->selected_feed = target;
      v->selected_entry = nullptr;
    } else if (!f) {
      f = to_up ? n.last_feed(v->show_empty) : n.first_feed(v->show_empty);
      v->selected_feed = f;
      v->selected_entry = n.first(f);
    } else {
      feed *other = to_up ? n.prev_feed(f, v->show_empty) : n.next_feed(f, v->show_empty);
      if (other) {
        v->selected_feed = other;
        v->selected_entry = n.first(other);
      }
    }
  } else if (home || end) {
    v->scroll_to_selection = 1;
    entry *found = home ? n.first(f) : n.last(f);
    if (found) v->selected_entry = found;
  } else if (del) {
    v->scroll_to_selection = 1;
    marks_changed = true;
    if (hidden_entry) {
      // The entry on the right is not in the list: it leaves the selection, and nothing is deleted.
    } else if (f && e && entry_is_deleted(e) && reader_entry_may_return(r, f, e)) {
      // Removed, it would be new again to the next update: it stays as it is, selected.
      log_entry_kept(e);
    } else if (f && e) {
      // With nothing else to show, the feed stays selected while it is listed.
      select_near_entry(n, v, f, e);
      if (entry_is_deleted(e)) {
        reader_delete_entry(r, e, f);
      } else {
        entry_mark_deleted(e);
      }
      v->selection_changed = 1;
    } else if (f && shift) {
      select_near_feed(n, v, f);
      if (feed_is_deleted(f)) {
        reader_delete_feed(r, f);
      } else {
        reader_mark_feed_deleted(r, f);
      }
      v->selection_changed = 1;
    } else {
      v->scroll_to_selection = 0;
    }
  } else if (enter) {
    if (f && e) reader_open_entry_article(a, r, f, e);
  } else if (back) {
    marks_changed = true;
    if (hidden_entry) {
      // As for Delete: nothing the list does not show is restored.
    } else if (f && e) {
      if (feed_is_deleted(f)) reader_unmark_feed_deleted(r, f, 0);
      entry_unmark_deleted(e);
    } else if (f) {
      reader_unmark_feed_deleted(r, f, shift ? 1 : 0);
    }
  }

  if (marks_changed) {
    n.forget();
    selection_settle(n, v);
  }

  // Every key that moved the selection makes the next page open at its top.
  // Delete and Backspace change deleted marks, which no counter of the store shows.
  if (del || back) view_list_stale();
  if (v->selected_feed != old_feed || v->selected_entry != old_entry) {
    v->selection_changed = 1;
    view_close_page(a);
  }
}
