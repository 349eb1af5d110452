// The list's keyboard navigation and its generation commands: the keys that move the selection,
// delete and restore feeds and entries and open an entry's link, the five commands that move the
// shown range of generations, and the checks that keep the selection pointing at live records.
#include "app/view_list.h"

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

  if (input_key_went_down_or_repeated(w, key_up) || input_key_went_down_or_repeated(w, key_down)) {
    bool up = input_key_went_down_or_repeated(w, key_up);
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
  } else if (input_key_went_down_or_repeated(w, key_page_up) || input_key_went_down_or_repeated(w, key_page_down)) {
    bool up = input_key_went_down_or_repeated(w, key_page_up);
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
  } else if (input_key_went_down_or_repeated(w, key_home) || input_key_went_down_or_repeated(w, key_end)) {
    bool home = input_key_went_down_or_repeated(w, key_home);
    v->scroll_to_selection = 1;
    entry *found = home ? n.first(f) : n.last(f);
    if (found) v->selected_entry = found;
  } else if (input_key_went_down_or_repeated(w, key_delete)) {
    v->scroll_to_selection = 1;
    if (f && e && entry_is_deleted(e) && reader_entry_may_return(f, e)) {
      // Removed, it would be new again to the next update: it stays as it is, selected.
      log_append_string(string_lit("Entry kept under Deleted, not removed: it has no date or its feed's newest date, "
                                   "so an update of a document that still lists it would store it again as new.\n"));
    } else if (f && e) {
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
  } else if (input_key_went_down(w, key_enter)) {
    if (f && e) reader_open_entry_article(a, r, f, e);
  } else if (input_key_went_down(w, key_backspace)) {
    if (f && e) {
      if (feed_is_deleted(f)) reader_unmark_feed_deleted(r, f, 0);
      entry_unmark_deleted(e);
    } else if (f) {
      reader_unmark_feed_deleted(r, f, shift ? 1 : 0);
    }
  }

  // Every key that moved the selection makes the next page open at its top.
  // Delete and Backspace change deleted marks, which no counter of the store shows.
  if (input_key_went_down_or_repeated(w, key_delete) || input_key_went_down(w, key_backspace)) view_list_stale();
  if (v->selected_feed != old_feed || v->selected_entry != old_entry) {
    v->selection_changed = 1;
    view_close_page(a);
  }
}
