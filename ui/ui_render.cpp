// Rendering the sized tree into the renderer's batches, the popup on top, and the tree dump.
#include <math.h>
#include <string.h>

#include "core/float_text.h"
#include "core/strings.h"
#include "gfx/window.h"
#include "platform/dates.h"
#include "profiler/profiler.h"
#include "ui/ui.h"
#include "ui/ui_gfx.h"
#include "ui/ui_internal.h"

// ---- Colours by state --------------------------------------------------------------------

static u32 state_of(ui_context *ctx, ui_node *node) {
  bool hot = ui_is_hot(ctx, node), active = ui_is_active(ctx, node);
  return hot && active ? ui_state_hot_active : active ? ui_state_active : hot ? ui_state_hot : ui_state_normal;
}
rgba ui_style_border_colour(ui_context *ctx, ui_node *node, ui_style *style) {
  return style->border_colour[state_of(ctx, node)];
}
rgba ui_style_background_colour(ui_context *ctx, ui_node *node, ui_style *style) {
  return style->background_colour[state_of(ctx, node)];
}
rgba ui_style_text_colour(ui_context *ctx, ui_node *node, ui_style *style) {
  return style->text_colour[state_of(ctx, node)];
}

static const rgba colour_white = {1, 1, 1, 1};
static const rgba colour_black = {0, 0, 0, 1};

// ---- Pair handles ------------------------------------------------------------------------

void ui_render_pair_handle(ui_context *ctx, ui_node *node) {
  ui_style *s = ui_style_get(&ctx->styles, node->style);
  if (!s) return;
  rect r = node->rect;
  if (node->flags & (ui_node_flag_pair_side_1 | ui_node_flag_pair_side_2)) {
    r.x0 += s->border.z;
    r.x1 -= s->border.w;
  } else {
    r.y1 -= s->border.x;
    r.y0 += s->border.y;
  }
  rgba c = ui_is_active(ctx, node) ? s->border_colour[ui_state_active]
           : ui_is_hot(ctx, node)  ? s->border_colour[ui_state_hot]
                                   : s->border_colour[ui_state_normal];
  ui_gfx_rectangle(ctx->shape_batch, r, c);
}

// ---- Text --------------------------------------------------------------------------------

static buffer shown_text(ui_node *node) {
  if (!node->text_list || node->text_shown >= node->text_count) return buffer{0, 0, nullptr};
  return node->text_list[node->text_shown];
}

static rgba range_colour(ui_context *ctx, const ui_text_range *range) {
  ui_style *s = ui_style_get(&ctx->styles, range->style);
  return s ? s->background_colour[ui_state_normal] : rgba{0, 0, 0, 0};
}

static void render_editable(ui_context *ctx, ui_node *node, rect a, font *f, buffer text, rgba colour,
                            f32 baseline) {
  f32 x0 = a.x0 - node->text_scroll;
  u64 caret = node->caret < text.used ? node->caret : text.used;
  u64 anchor = node->anchor < text.used ? node->anchor : text.used;
  u64 low = caret < anchor ? caret : anchor, high = caret < anchor ? anchor : caret;
  const u8 *b = text.data;
  f32 x_low = ui_gfx_line_end(f, b, b + low, -1, x0);
  f32 x_high = ui_gfx_line_end(f, b + low, b + high, low ? (s32)b[low - 1] : -1, x_low);
  if (high > low) {
    ui_gfx_rectangle(ctx->shape_batch, rect{x_low, a.y0, x_high, a.y1},
                     ui_is_active(ctx, node) ? ctx->styles.selection_colour_active : ctx->styles.selection_colour);
  }
  if (low > 0) ui_gfx_text(ctx->text_batch, b, low, x0, baseline, -1, node->font, colour);
  if (high > low) ui_gfx_text(ctx->text_batch, b + low, high - low, x_low, baseline, low ? (s32)b[low - 1] : -1, node->font, colour);
  if (text.used > high) ui_gfx_text(ctx->text_batch, b + high, text.used - high, x_high, baseline, high ? (s32)b[high - 1] : -1, node->font, colour);
  if (node->flags & ui_node_flag_caret) {
    f32 cx = anchor < caret ? x_high : x_low;
    node->caret_rect[0] = cx - node->rect.x0;
    node->caret_rect[1] = a.y0 - node->rect.y0;
    node->caret_rect[2] = 1;
    node->caret_rect[3] = a.y1 - a.y0;
  }
}

// Range rectangles of a one-line text drawn from x0: every range that overlaps the bytes, cut to
// them.
static void render_ranges(ui_context *ctx, ui_node *node, font *f, const u8 *begin, const u8 *end, f32 x0,
                          f32 y0, f32 y1, s32 previous) {
  for (u64 i = 0; i < node->range_count; i++) {
    const ui_text_range *r = &node->ranges[i];
    if (r->end < begin || r->begin > end) continue;
    const u8 *rb = r->begin < begin ? begin : r->begin;
    const u8 *re = r->end > end ? end : r->end;
    if (re < rb) continue;
    f32 xb = ui_gfx_line_end(f, begin, rb, previous, x0);
    f32 xe = ui_gfx_line_end(f, begin, re, previous, x0);
    ui_gfx_rectangle(ctx->shape_batch, rect{xb, y0, xe, y1}, range_colour(ctx, r));
  }
}

static void render_ellipsis(ui_context *ctx, ui_node *node, rect a, font *f, buffer text, rgba colour, f32 baseline) {
  f32 w = fmaxf(rect_width(a), 0);
  if (!(w > 0)) return;
  // Fit: take bytes while they and an ellipsis after them fit; the whole text when it fits.
  static const u8 ellipsis[] = {0xE2, 0x80, 0xA6};
  const u8 *b = text.data, *e = text.data + text.used;
  f32 full = ui_gfx_line_end(f, b, e, -1, a.x0);
  const u8 *cut = e;
  f32 end_x = full;
  bool cut_text = false;
  if (full > a.x1) {
    cut_text = true;
    cut = b;
    end_x = a.x0;
    const u8 *p = b;
    while (p < e) {
      const u8 *q = p + 1;
      while (q < e && (*q & 0xC0) == 0x80) q++;
      f32 x = ui_gfx_line_end(f, b, q, -1, a.x0);
      f32 with = ui_gfx_line_end(f, ellipsis, ellipsis + 3, -1, x);
      if (with > a.x1) break;
      cut = q;
      end_x = x;
      p = q;
    }
  }
  f32 tw = end_x - a.x0;
  f32 x = a.x0;
  if ((node->flags & ui_node_flag_text_centre) && w > tw) x += (w - tw) * 0.5f;
  render_ranges(ctx, node, f, b, cut, a.x0, a.y0, a.y1, -1);
  buffer tail = buffer_view_rest(ctx->scratch);
  u64 n = (u64)(cut - b);
  u8 *copy = (u8 *)buffer_push(&tail, n + 3, 1);
  if (!copy) return;
  memory_copy(copy, b, n);
  if (cut_text) memory_copy(copy + n, ellipsis, 3);
  if (cut_text && cut == b && ui_gfx_line_end(f, ellipsis, ellipsis + 3, -1, a.x0) > a.x1) return;
  ui_gfx_text(ctx->text_batch, copy, n + (cut_text ? 3 : 0), x, baseline, -1, node->font, colour);
}

// Lines of a plain text: only those that meet the clip are recorded.
static void render_plain(ui_context *ctx, ui_node *node, rect a, font *f, buffer text, rgba colour) {
  f32 line = ui_gfx_line_height(f);
  f32 descent = ui_gfx_descent(f);
  if (rect_width(ctx->clip) < 0 || rect_height(ctx->clip) < 0 || !(line > 0)) {
    ui_gfx_text(ctx->text_batch, text.data, text.used, a.x0, a.y1 - line + descent, -1, node->font, colour);
    return;
  }
  PROFILE_ZONE(zone_ui_render_rect_clip_string);
  const u8 *p = text.data, *e = text.data + text.used;
  f32 y = a.y1 - line;
  auto line_end = [&](const u8 *from) {
    const u8 *q = from;
    while (q < e && *q != '\r' && *q != '\n') q++;
    return q;
  };
  auto after_break = [&](const u8 *q) {
    if (q < e && *q == '\r') q++;
    else if (q < e && *q == '\n') return q + 1;
    if (q < e && *q == '\n' && q[-1] == '\r') q++;
    return q;
  };
  {
    PROFILE_ZONE(zone_ui_render_rect_clip_string_over);
    while (p < e && y >= ctx->clip.y1) {
      p = after_break(line_end(p));
      y -= line;
    }
  }
  PROFILE_ZONE(zone_ui_render_rect_clip_string_visible);
  bool caret_drawn = false;
  while (p < e && ctx->clip.y0 < y + line) {
    const u8 *q = line_end(p);
    if (q > p) {
      render_ranges(ctx, node, f, p, q, a.x0, y, y + line, -1);
      if ((node->flags & ui_node_flag_caret) && !caret_drawn) {
        const u8 *c = text.data + (node->caret < text.used ? node->caret : text.used);
        for (u64 i = 0; i < node->range_count && !caret_drawn; i++) {
          const u8 *at = node->ranges[i].begin == c ? c : node->ranges[i].end == c ? c : nullptr;
          if (at && at >= p && at <= q) {
            f32 cx = ui_gfx_line_end(f, p, at, -1, a.x0);
            ui_gfx_rectangle(ctx->shape_batch, rect{cx, y, cx + 1, y + line}, colour_black);
            caret_drawn = true;
          }
        }
      }
      ui_gfx_text(ctx->text_batch, p, (u64)(q - p), a.x0, y + descent, -1, node->font, colour);
    }
    p = after_break(q);
    y -= line;
  }
}

static void render_text(ui_context *ctx, ui_node *node, rect a, ui_style *style) {
  font *f = ui_font_get(ctx, node->font);
  buffer text = shown_text(node);
  rgba colour = style ? ui_style_text_colour(ctx, node, style) : colour_white;
  f32 baseline = a.y0 + ui_gfx_descent(f);
  if (node->flags & ui_node_flag_editable) {
    render_editable(ctx, node, a, f, text, colour, baseline);
  } else if (node->flags & ui_node_flag_flow_run) {
    s32 previous = node->run_previous_codepoint == (u32)-1 ? -1 : (s32)node->run_previous_codepoint;
    render_ranges(ctx, node, f, text.data, text.data + text.used, a.x0, a.y0, a.y1, previous);
    ui_gfx_text(ctx->text_batch, text.data, text.used, a.x0, baseline, previous, node->font, colour);
  } else if (node->flags & ui_node_flag_ellipsis) {
    render_ellipsis(ctx, node, a, f, text, colour, baseline);
  } else if (text.used > 0) {
    render_plain(ctx, node, a, f, text, colour);
  }
}

// ---- Nodes -------------------------------------------------------------------------------

static void caret_blink(ui_context *ctx, ui_node *node) {
  u64 now = (u64)counter_now();
  f64 frequency = ctx->counter_frequency ? (f64)ctx->counter_frequency : 1.0;
  f64 t = (f64)(now - node->blink_start) / frequency;
  f64 p = ctx->window && ctx->window->caret_blink_ms ? ctx->window->caret_blink_ms / 1000.0 : 1e30;
  if (t >= 2 * p) {
    node->blink_start = now;
    t = 0;
  }
  if (t < p) {
    f32 x = node->rect.x0 + node->caret_rect[0], y = node->rect.y0 + node->caret_rect[1];
    ui_gfx_rectangle(ctx->shape_batch, rect{x, y, x + node->caret_rect[2], y + node->caret_rect[3]}, colour_white);
  }
}

void ui_render_rect(ui_context *ctx, ui_node *first) {
  for (ui_node *node = first; node; node = node->next) {
    if (node->flags & ui_node_flag_flow_instructions) continue;
    node->visible = 0;
    rect a = node->rect;
    if (rect_width(a) > 0 && rect_height(a) > 0 && ui_rect_visible(ctx, a)) {
      node->visible = 1;
      rect previous_clip = ctx->clip;
      if (node->flags & ui_node_flag_clip) previous_clip = ui_clip_push(ctx, a, true);
      ui_style *style = ui_style_get(&ctx->styles, node->style);
      // A node that asks for colours without a style draws nothing of them.
      if (style && (node->flags & ui_node_flag_border)) {
        ui_gfx_rectangle(ctx->shape_batch, a, ui_style_border_colour(ctx, node, style));
        rect_shrink(&a, style->border);
      }
      if (style && (node->flags & ui_node_flag_background)) {
        ui_gfx_rectangle(ctx->shape_batch, a, ui_style_background_colour(ctx, node, style));
      }
      if (style && (node->flags & ui_node_flag_padding)) rect_shrink(&a, style->padding);
      if (node->flags & ui_node_flag_text) render_text(ctx, node, a, style);
      if (node->flags & ui_node_flag_icon) {
        rect uv = ui_image_uv(ctx, node->icon, a);
        ui_gfx_icon(ctx->icon_batch, a, uv, style ? ui_style_text_colour(ctx, node, style) : colour_white);
      }
      if ((node->flags & ui_node_flag_image) && node->image_texture) {
        if (*node->image_texture == 0 && ctx->texture_create && node->image_pixels) {
          *node->image_texture = ctx->texture_create(node->image_pixels, node->image_width, node->image_height,
                                                     node->image_channels, 1);
        }
        if (*node->image_texture) {
          ui_gfx_image(ctx->image_batch, a, colour_white, *node->image_texture, node->image_channels);
        }
      }
      if (node->flags & ui_node_flag_pair_sides) ui_render_pair_handle(ctx, node);
      ui_render_rect(ctx, node->first_child);
      if (node->flags & ui_node_flag_clip) ui_clip_push(ctx, previous_clip, false);
    }
    if (node->flags & ui_node_flag_caret) caret_blink(ctx, node);
  }
}

static void swap_batches(ui_context *ctx) {
  invariant(rect_width(ctx->clip) < 0 || rect_height(ctx->clip) < 0);
  gl_batch *t;
  t = ctx->shape_batch, ctx->shape_batch = ctx->popup_shape_batch, ctx->popup_shape_batch = t;
  t = ctx->text_batch, ctx->text_batch = ctx->popup_text_batch, ctx->popup_text_batch = t;
  t = ctx->icon_batch, ctx->icon_batch = ctx->popup_icon_batch, ctx->popup_icon_batch = t;
}
void ui_popup_batches_begin(ui_context *ctx) { swap_batches(ctx); }
void ui_popup_batches_end(ui_context *ctx) { swap_batches(ctx); }

void ui_render(ui_context *ctx, rect client) {
  PROFILE_ZONE(zone_ui_render);
  // A parent left pushed is the builder's slip; the tree is complete either way.
  invariant(ctx->parent == nullptr || ctx->sink_depth > 0);
  ctx->parent = nullptr;
  ctx->parent_depth = 0;
  ctx->sink_depth = 0;
  ctx->in_layout = 1;
  if (ctx->root) {
    ui_compute_size(ctx, ctx->root, 0);
    {
      PROFILE_ZONE(zone_ui_position_rect);
      ui_position_rect(ctx, ctx->root, v2{client.x0, client.y1});
    }
    PROFILE_ZONE(zone_ui_render_rect);
    ui_render_rect(ctx, ctx->root);
  }
  // Only a popup rebuilt in this frame is drawn; one left over from an earlier frame is not.
  ui_node *popup = ctx->popup_root;
  if (popup && ui_node_in_arena(ctx->nodes, popup) && ctx->popup_anchor) {
    rect anchor = ctx->popup_anchor->rect;
    f32 room_w = fmaxf(client.x1 - anchor.x0 - ui_node_frame_along(ctx, popup, 0), 0);
    f32 room_h = fmaxf(anchor.y0 - client.y0 - ui_node_frame_along(ctx, popup, 1), 0);
    ui_node *list = popup->first_child;
    if (list) {
      if ((list->flags & ui_node_flag_scroll_x) && !(list->size_x.flags & ui_size_flag_clamp)) {
        list->size_x.flags |= ui_size_flag_clamp;
        list->size_x.max = room_w;
      }
      if ((list->flags & ui_node_flag_scroll_y) && !(list->size_y.flags & ui_size_flag_clamp)) {
        list->size_y.flags |= ui_size_flag_clamp;
        list->size_y.max = room_h;
      }
    }
    {
      PROFILE_ZONE(zone_ui_compute_size_popup);
      ui_compute_size(ctx, popup, 0);
    }
    {
      PROFILE_ZONE(zone_ui_position_rect_popup);
      ui_position_rect(ctx, popup, v2{anchor.x0, anchor.y0});
    }
    ui_popup_batches_begin(ctx);
    {
      PROFILE_ZONE(zone_ui_render_rect_popup);
      ui_render_rect(ctx, popup);
    }
    ui_popup_batches_end(ctx);
  }
  ctx->in_layout = 0;
}

// ---- Tree dump ---------------------------------------------------------------------------

static void push_text(buffer *out, const char *s) { buffer_push_bytes(out, s, strlen(s)); }
static void push_float(buffer *out, f32 v) { buffer_push_float(out, v, 0, ' ', 0, 0); }

void ui_tree_dump(ui_node *node, buffer *out, u32 depth) {
  for (ui_node *n = node; n; n = n->next) {
    for (u32 i = 0; i < depth; i++) push_text(out, "    ");
    push_text(out, "[");
    buffer_push_unsigned(out, n->id == UI_ID_NONE ? 0 : n->id, 0, ' ', 0);
    push_text(out, "] ");
    if (n->tag.used) buffer_push_bytes(out, n->tag.data, n->tag.used);
    else push_text(out, "no tag");
    push_text(out, " | ");
    push_text(out, ui_size_kind_names[n->size_x.kind < ui_size_kind_count ? n->size_x.kind : 0]);
    push_text(out, ", ");
    push_text(out, ui_size_kind_names[n->size_y.kind < ui_size_kind_count ? n->size_y.kind : 0]);
    push_text(out, " | ");
    push_text(out, n->known[0] ? "true" : "false");
    push_text(out, ", ");
    push_text(out, n->known[1] ? "true" : "false");
    push_text(out, " | ");
    f32 values[8] = {n->size[0], n->size[1], n->position[0], n->position[1], n->rect.x0, n->rect.x1, n->rect.y0, n->rect.y1};
    for (u32 i = 0; i < 8; i++) {
      push_float(out, values[i]);
      push_text(out, i == 7 ? "\n" : (i == 1 || i == 3 ? " | " : ", "));
    }
    if (n->first_child) ui_tree_dump(n->first_child, out, depth + 1);
  }
}
