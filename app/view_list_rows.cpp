// The rows of the left panel's list: each listed feed as a block with its title line and one line
// per listed entry, built only where they meet the scroll view's visible range (spacers of the
// same height stand for the rest), with the filter's matches highlighted and the selection
// scrolled into view.
#include "app/view_list.h"

#include "profiler/profiler.h"
#include "gfx/window.h"
#include "ui/widgets.h"

// ---- The list ----------------------------------------------------------------------------

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
  title = string_trim_space(title);
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

// The room kept above and below the selected line when the list scrolls to it.
#define LIST_SCROLL_MARGIN 80.0f

// A run of rows that are not built, waiting to become one spacer before the next built node.
static void spacer_flush(ui_context *ctx, f32 *pending) {
  if (*pending > 0) ui_space_y(ctx, ui_size_pixels_make(*pending));
  *pending = 0;
}

void view_list(app *a, reader *r) {
  PROFILE_ZONE(zone_view_list);
  view_state *v = a->view;
  ui_context *ctx = a->ui;
  view_handle_keys(a, r);

  const list_listing &l = *view_list_listing(a, r);
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
    // The offset the solver will scroll to, worked out before the rows so that the rows it
    // shows are the ones built.
    if (v->scroll_to_selection && selected_y0 >= 0) {
      at = ui_scroll_offset_for_target(at, view, selected_y0, selected_y1, LIST_SCROLL_MARGIN);
    }
    at = at < 0 ? 0 : at > most ? most : at;
    f32 margin = app_visible_margin(view);
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

  const v2 margins = {LIST_SCROLL_MARGIN, LIST_SCROLL_MARGIN};
  if (selected_feed_node) {
    selected_feed_node->style = style_list_feed_selected;
    if (v->scroll_to_selection && !selected_entry_node && scroll_view) {
      ui_scroll_to(scroll_view, selected_feed_node, margins);
    }
  }
  if (selected_entry_node) {
    selected_entry_node->style = style_list_entry_selected;
    if (v->scroll_to_selection && scroll_view) ui_scroll_to(scroll_view, selected_entry_node, margins);
  }
}
