// The application's styles, the link widget whose one id may cover several wrapped pieces of text,
// the hover row, and opening an entry's link or article through its feed's opener.
#include "app/app.h"

#include "gfx/input.h"
#include "gfx/window.h"
#include "platform/log.h"
#include "reader/url.h"
#include "ui/widgets.h"

u32 style_link, style_root, style_warning, style_title, style_row, style_row_hot, style_separator,
    style_list_feed, style_list_feed_selected, style_list_feed_title, style_list_entry_even,
    style_list_entry_odd, style_list_entry_selected, style_entry_header, style_log,
    style_left_panel, style_right_panel, style_page, style_paragraph, style_paragraph_indented,
    style_list_match;

// ---- Styles ------------------------------------------------------------------------------

static rgba rgb_bytes(u32 r, u32 g, u32 b) { return rgba{r / 255.0f, g / 255.0f, b / 255.0f, 1}; }

// A new record at the end of the table, zero or a copy of the toolkit's plain text style. The
// table holds 64 KiB and a few dozen records, so a refused push cannot happen at start-up; the
// index then stays 0 (no style) and the views draw unstyled.
static ui_style *style_add(ui_context *ctx, u32 *index, bool from_text_style) {
  ui_style *s = ui_style_push(&ctx->styles, index);
  if (!s) {
    *index = 0;
    static ui_style sink;
    return &sink;
  }
  ui_style *text = ui_style_get(&ctx->styles, 1);
  if (from_text_style && text) *s = *text;
  return s;
}

static v4 padding(f32 top, f32 bottom, f32 left, f32 right) { return v4{top, bottom, left, right}; }

void ui_init_styles(ui_context *ctx) {
  const rgba orange = {1, 0.5f, 0, 1};
  const rgba blue = {0, 0.48f, 0.8f, 1};
  const rgba white = {1, 1, 1, 1};
  ui_style *s;

  s = style_add(ctx, &style_link, true);
  s->text_colour[ui_state_normal] = orange;
  s->text_colour[ui_state_hot] = orange;
  s->text_colour[ui_state_active] = orange;
  s->text_colour[ui_state_hot_active] = blue;

  s = style_add(ctx, &style_root, false);
  s->background_colour[ui_state_normal] = ctx->styles.clear_colour;

  s = style_add(ctx, &style_warning, true);
  s->text_colour[ui_state_normal] = rgba{1, 0, 0, 1};

  s = style_add(ctx, &style_title, true);
  s->padding = padding(4, 10, 0, 0);
  s->text_colour[ui_state_normal] = white;

  s = style_add(ctx, &style_row, false);
  s->padding = padding(5, 5, 5, 5);
  s->background_colour[ui_state_normal] = rgba{0, 0, 0, 1};

  s = style_add(ctx, &style_row_hot, false);
  s->padding = padding(5, 5, 5, 5);
  s->background_colour[ui_state_normal] = orange;

  s = style_add(ctx, &style_separator, false);
  s->background_colour[ui_state_normal] = rgba{0.5f, 0.5f, 0.5f, 1};

  s = style_add(ctx, &style_list_feed, false);
  s->padding = padding(2, 2, 2, 2);
  s->background_colour[ui_state_normal] = rgb_bytes(63, 63, 68);

  s = style_add(ctx, &style_list_feed_selected, false);
  s->padding = padding(2, 2, 2, 2);
  s->background_colour[ui_state_normal] = blue;

  s = style_add(ctx, &style_list_feed_title, true);
  s->padding = padding(0, 2, 3, 3);

  s = style_add(ctx, &style_list_entry_even, true);
  s->padding = padding(2, 2, 3, 3);
  s->background_colour[ui_state_normal] = rgb_bytes(89, 89, 89);

  s = style_add(ctx, &style_list_entry_odd, true);
  s->padding = padding(2, 2, 3, 3);
  s->background_colour[ui_state_normal] = rgb_bytes(114, 114, 114);

  s = style_add(ctx, &style_list_entry_selected, true);
  s->padding = padding(2, 2, 3, 3);
  s->background_colour[ui_state_normal] = rgb_bytes(201, 81, 0);

  s = style_add(ctx, &style_entry_header, false);
  s->padding = padding(2, 2, 0, 0);
  s->text_colour[ui_state_normal] = white;

  s = style_add(ctx, &style_log, false);
  s->background_colour[ui_state_normal] = rgba{0.25f, 0.25f, 0.25f, 1};

  s = style_add(ctx, &style_left_panel, false);
  s->padding = padding(2, 2, 2, 0);

  s = style_add(ctx, &style_right_panel, false);
  s->padding = padding(2, 2, 0, 2);

  s = style_add(ctx, &style_page, false);
  s->padding = padding(4, 4, 4, 4);

  s = style_add(ctx, &style_paragraph, false);
  s->padding = padding(4, 4, 0, 0);

  s = style_add(ctx, &style_paragraph_indented, false);
  s->padding = padding(2, 2, 25, 0);

  s = style_add(ctx, &style_list_match, true);
  s->background_colour[ui_state_normal] = orange;
}

// ---- Links -------------------------------------------------------------------------------

static bool event_hits(ui_context *ctx, ui_node *node, const input_event *e) {
  return ui_node_hit_test(ctx, node, v2{(f32)e->x, (f32)e->y});
}

u32 ui_link_behaviour(ui_context *ctx, ui_id id) {
  if (id == UI_ID_NONE || !ctx->window) return 0;
  ui_id base = ui_id_strip_fake(id);
  ui_node *first = ui_find_previous(ctx, base);
  if (!first) return 0;
  u32 clicked = 0;
  input_event_iterator it = input_event_iterator_make(ctx->window, input_event_type_button | input_event_type_move);
  while (input_event *e = input_event_next(&it)) {
    // Any piece of a wrapped link makes the whole link hot.
    for (ui_node *n = first; n; n = ui_find_previous_range(ctx, base, n + 1, nullptr)) {
      if (event_hits(ctx, n, e)) {
        ctx->cursor = ui_cursor_hand;
        ui_set_hot(ctx, n);
        break;
      }
    }
    if (ui_is_active(ctx, first)) {
      if (input_event_is_release(e, key_mouse_left)) {
        bool hot = ui_is_hot(ctx, first);
        ui_clear_active(ctx, first);
        if (hot) clicked = 1;
      }
    } else if (ui_is_hot(ctx, first) && input_event_is_press(e, key_mouse_left)) {
      ui_set_active(ctx, first, 0);
    }
  }
  return clicked;
}

ui_link_result ui_link(ui_context *ctx, ui_id id, buffer text, bool copy) {
  ui_link_result result;
  result.clicked = ui_link_behaviour(ctx, id);
  result.node = ui_node_create(ctx, id, ui_size_none_make(), ui_size_none_make(), ui_node_flag_text);
  ui_node_set_text(ctx, result.node, text, copy);
  result.node->style = style_link;
  ui_node_set_tag(result.node, string_lit("link"));
  return result;
}

// ---- Hover rows --------------------------------------------------------------------------

ui_node *ui_hover_row(ui_context *ctx, ui_id id) {
  bool hovered = false;
  ui_node *previous = ui_find_previous(ctx, id);
  if (previous && ctx->window) {
    input_event_iterator it = input_event_iterator_make(ctx->window, input_event_type_button | input_event_type_move);
    while (input_event *e = input_event_next(&it)) {
      if (event_hits(ctx, previous, e)) hovered = true;
    }
  }
  ui_node *row = ui_node_create(ctx, id, ui_size_parent_make(), ui_size_children_make(),
                                ui_node_flag_padding | ui_node_flag_stack_x | ui_node_flag_centre_children_y);
  if (hovered) {
    row->flags |= ui_node_flag_background;
    row->style = style_row_hot;
  } else {
    row->flags &= ~(u64)ui_node_flag_background;
    row->style = style_row;
  }
  return row;
}

// ---- Opening entry links -----------------------------------------------------------------

void reader_open_entry_link(reader *r, feed *f, buffer url) {
  meta *m = f ? reader_get_meta(r, f->id) : nullptr;
  link_opener *opener = m && m->opener ? m->opener : &r->link_openers[0];
  if (opener->queue_mode == 0) {
    link_open_now(url, opener);
  } else {
    link_queue_append(&app_allocator, opener, url);
  }
}

void reader_open_entry_article(app *a, reader *r, feed *f, entry *e) {
  // The resolved address is needed only until the opener has run it or copied it to its queue.
  buffer out = buffer_view_rest(a->frame_arena);
  buffer url = reader_entry_article_url(r, f, e, &out);
  if (!url.data) {
    log_append_string(string_lit("Link not opened: no memory to read it against the feed's address.\n"));
  } else if (url.used) {
    reader_open_entry_link(r, f, url);
  }
}
