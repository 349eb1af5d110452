// The size solver: passes over the tree until every size rule is resolved, scrollable views that
// re-size themselves with room for scrollbars, and positioning of sized nodes into rectangles.
#include <math.h>

#include "profiler/profiler.h"
#include "ui/ui.h"
#include "ui/ui_gfx.h"
#include "ui/ui_internal.h"

// Tags of the nodes layout generates; compared by address to find the containers again.
const char ui_tag_scrollbars_container[] = "scrollbars_container";
const char ui_tag_vertical_container[] = "vertical_scrollbar_container";
const char ui_tag_horizontal_container[] = "horizontal_scrollbar_container";

static buffer tag_of(const char *s, u64 n) { return string_from_bytes(s, n); }
#define TAG(s) tag_of((s), sizeof(s) - 1)

// ---- Pass counters -----------------------------------------------------------------------

void ui_size_pass_init(ui_size_pass *pass) { memory_zero(pass, sizeof(*pass)); }

void ui_size_pass_count(ui_size_pass *pass, u32 kind, u32 axis) {
  if (kind > ui_size_kind_count) kind = ui_size_kind_count;
  pass->counts[pass->current][kind][axis]++;
}

u32 ui_size_pass_end(ui_size_pass *pass) {
  pass->previous_axis_total[0] = pass->axis_total[0];
  pass->previous_axis_total[1] = pass->axis_total[1];
  u32 sum[2] = {0, 0};
  for (u32 k = 0; k <= ui_size_kind_count; k++) {
    sum[0] += pass->counts[pass->current][k][0];
    sum[1] += pass->counts[pass->current][k][1];
  }
  pass->axis_total[0] = sum[0];
  pass->axis_total[1] = sum[1];
  pass->current ^= 1;
  memory_zero(pass->counts[pass->current], sizeof(pass->counts[0]));
  pass->previous_total = pass->total;
  pass->total = sum[0] + sum[1];
  pass->passes++;
  return pass->total;
}

// ---- Helpers -----------------------------------------------------------------------------

static ui_size *rule_of(ui_node *node, u32 axis) { return axis == 0 ? &node->size_x : &node->size_y; }
static bool known(const ui_node *node, u32 axis) { return node->known[axis] & ui_known_size; }
static bool stacks(const ui_node *node, u32 axis) {
  return node && (node->flags & (axis == 0 ? ui_node_flag_stack_x : ui_node_flag_stack_y));
}

// Border and padding along an axis, and the leading (left or top) part of them, counted only
// for the flags the node has.
static f32 frame_along(ui_context *ctx, const ui_node *node, u32 axis, f32 *leading = nullptr) {
  f32 total = 0, lead = 0;
  ui_style *s = ui_style_get(&ctx->styles, node->style);
  if (s) {
    if (node->flags & ui_node_flag_border) {
      total += axis == 0 ? s->border.z + s->border.w : s->border.x + s->border.y;
      lead += axis == 0 ? s->border.z : s->border.x;
    }
    if (node->flags & ui_node_flag_padding) {
      total += axis == 0 ? s->padding.z + s->padding.w : s->padding.x + s->padding.y;
      lead += axis == 0 ? s->padding.z : s->padding.x;
    }
  }
  if (leading) *leading = lead;
  return total;
}
f32 ui_node_frame_along(ui_context *ctx, const ui_node *node, u32 axis) { return frame_along(ctx, node, axis); }

f32 ui_style_frame_y(ui_context *ctx, u32 style, u64 flags, f32 *leading) {
  ui_node probe = {};
  probe.style = style;
  probe.flags = flags;
  return frame_along(ctx, &probe, 1, leading);
}

f32 ui_line_rule_height(ui_context *ctx, u32 font, u32 style, u64 flags) {
  return ui_gfx_line_height(ui_font_get(ctx, font)) + ui_style_frame_y(ctx, style, flags, nullptr);
}

static void settle(ui_node *node, u32 axis, f32 value) {
  node->size[axis] = value;
  node->known[axis] |= ui_known_size;
}

// ---- One node's rules --------------------------------------------------------------------

static void measure_text(ui_context *ctx, ui_node *node, f32 *width, f32 *height) {
  font *f = ui_font_get(ctx, node->font);
  f32 w = 0, h = 0;
  for (u64 i = 0; node->text_list && i < node->text_count; i++) {
    v2 size = ui_gfx_text_size(f, node->text_list[i]);
    w = fmaxf(w, ceilf(size.x));
    h = fmaxf(h, ceilf(size.y));
  }
  *width = w;
  *height = h;
}

// Children's extent per axis; all_known[axis] false when a child is not sized yet.
static void children_extent(ui_node *node, f32 extent[2], bool all_known[2]) {
  extent[0] = extent[1] = 0;
  all_known[0] = all_known[1] = true;
  for (ui_node *c = node->first_child; c; c = c->next) {
    for (u32 a = 0; a < 2; a++) {
      if (!known(c, a)) {
        all_known[a] = false;
        continue;
      }
      if (stacks(node, a)) extent[a] += c->size[a];
      else extent[a] = fmaxf(extent[a], c->size[a]);
    }
    if (!all_known[0] && !all_known[1]) break;
  }
}

static void size_fill(ui_context *ctx, ui_node *node, u32 axis) {
  ui_node *parent = node->parent;
  invariant(parent);
  if (!known(parent, axis)) return;
  invariant(stacks(parent, axis));
  u32 count = 0;
  f32 sum = 0;
  for (ui_node *c = parent->first_child; c; c = c->next) {
    if (c->flags & ui_node_flag_flow_instructions) continue;
    if (rule_of(c, axis)->kind == ui_size_kind_fill) {
      count++;
    } else {
      if (!known(c, axis)) return;
      sum += c->size[axis];
    }
  }
  // count includes the node itself, so it is never 0.
  f32 share = (parent->size[axis] - (sum + frame_along(ctx, parent, axis))) / (f32)count;
  if (!(share > 0)) share = 0;
  for (ui_node *c = parent->first_child; c; c = c->next) {
    if (rule_of(c, axis)->kind == ui_size_kind_fill && !known(c, axis)) settle(c, axis, share);
  }
}

// Room inside another node for the aspect kinds: its size less its border and padding, never
// negative.
static f32 room_of(ui_context *ctx, ui_node *other, u32 axis) {
  return fmaxf(other->size[axis] - frame_along(ctx, other, axis), 0);
}

static void size_aspect(ui_context *ctx, ui_node *node, u32 kind) {
  invariant(node->size_x.kind == kind && node->size_y.kind == kind);
  ui_node *other = node->size_x.other ? node->size_x.other : node->size_y.other;
  invariant(other);
  f32 nw = fmaxf(node->size_x.value, 0), nh = fmaxf(node->size_y.value, 0);
  f32 w = nw, h = nh;
  if (kind == ui_size_kind_aspect_width) {
    if (!known(other, 0)) return;
    f32 room = room_of(ctx, other, 0);
    if (room < nw) {
      w = room;
      h = floorf(room / nw * nh);
    }
  } else if (kind == ui_size_kind_aspect_height) {
    if (!known(other, 1)) return;
    f32 room = room_of(ctx, other, 1);
    if (room < nh) {
      w = floorf(room / nh * nw);
      h = room;
    }
  } else {
    if (!known(other, 0) || !known(other, 1)) return;
    f32 rw = room_of(ctx, other, 0), rh = room_of(ctx, other, 1);
    if (rw < nw || rh < nh) {
      // Compared crosswise, so a room or natural size of 0 never divides by zero.
      if (rw * nh < nw * rh) {
        w = rw;
        h = floorf(rw / nw * nh);
      } else {
        w = floorf(rh / nh * nw);
        h = rh;
      }
    }
  }
  settle(node, 0, w);
  settle(node, 1, h);
}

void ui_compute_axis_sizes(ui_context *ctx, ui_node *node, ui_size_pass *pass, u32 scrollbars) {
  PROFILE_ZONE(zone_ui_compute_axis_sizes);
  (void)pass;
  invariant(!(known(node, 0) && known(node, 1)));
  for (u32 axis = 0; axis < 2; axis++) {
    if (known(node, axis)) continue;
    ui_size *rule = rule_of(node, axis);
    if (((rule->flags & ui_size_flag_with_horizontal_scrollbar) && !(scrollbars & 1)) ||
        ((rule->flags & ui_size_flag_with_vertical_scrollbar) && !(scrollbars & 2))) {
      settle(node, axis, 0);
      continue;
    }
    f32 own = frame_along(ctx, node, axis);
    ui_node *parent = node->parent;
    switch (rule->kind) {
      case ui_size_kind_none:
        settle(node, axis, 0);
        break;
      case ui_size_kind_pixels:
        settle(node, axis, rule->value);
        break;
      case ui_size_kind_text: {
        f32 w, h;
        measure_text(ctx, node, &w, &h);
        for (u32 a = axis; a < 2; a++) {
          ui_size *r = rule_of(node, a);
          if (r->kind != ui_size_kind_text || known(node, a)) continue;
          settle(node, a, (a == 0 ? w : h) + frame_along(ctx, node, a));
          if (r->flags & ui_size_flag_clamp) node->size[a] = fminf(node->size[a], r->max);
        }
        continue;  // the clamp is applied above, per axis settled
      }
      case ui_size_kind_line:
        settle(node, axis, ui_gfx_line_height(ui_font_get(ctx, node->font)) + own);
        break;
      case ui_size_kind_parent:
        invariant(parent);
        if (known(parent, axis)) settle(node, axis, parent->size[axis]);
        break;
      case ui_size_kind_parent_content:
        invariant(parent);
        // A parent smaller than its own frame (a tiny window) leaves no room rather than less.
        if (known(parent, axis)) settle(node, axis, fmaxf(parent->size[axis] - frame_along(ctx, parent, axis), 0));
        break;
      case ui_size_kind_parent_fraction:
        invariant(parent);
        if (known(parent, axis)) {
          f32 p = parent->size[axis];
          settle(node, axis, fmaxf(fminf(ceilf(p * rule->value), p), 0));
        }
        break;
      case ui_size_kind_children: {
        f32 extent[2];
        bool all_known[2];
        children_extent(node, extent, all_known);
        for (u32 a = axis; a < 2; a++) {
          ui_size *r = rule_of(node, a);
          if (r->kind != ui_size_kind_children || known(node, a) || !all_known[a]) continue;
          settle(node, a, extent[a] + frame_along(ctx, node, a));
          if (r->flags & ui_size_flag_clamp) node->size[a] = fminf(node->size[a], r->max);
        }
        continue;
      }
      case ui_size_kind_width_of:
        invariant(rule->other);
        if (known(rule->other, 0)) settle(node, axis, rule->other->size[0]);
        break;
      case ui_size_kind_height_of:
        invariant(rule->other);
        if (known(rule->other, 1)) settle(node, axis, rule->other->size[1]);
        break;
      case ui_size_kind_fill:
        size_fill(ctx, node, axis);
        break;
      case ui_size_kind_aspect_width:
      case ui_size_kind_aspect_height:
      case ui_size_kind_aspect:
        size_aspect(ctx, node, rule->kind);
        if (known(node, 0) && known(node, 1)) {
          for (u32 a = 0; a < 2; a++) {
            if (rule_of(node, a)->flags & ui_size_flag_clamp) node->size[a] = fminf(node->size[a], rule_of(node, a)->max);
          }
        }
        axis = 2;  // both axes are settled together
        continue;
      case ui_size_kind_flow:
        invariant(axis == 1);
        if (known(node, 0)) ui_compute_flow(ctx, node);
        break;
      default:
        invariant(false);
        settle(node, axis, 0);
        break;
    }
    if (known(node, axis) && (rule->flags & ui_size_flag_clamp)) node->size[axis] = fminf(node->size[axis], rule->max);
  }
}

// ---- Walking the tree --------------------------------------------------------------------

static u32 overflow_of(const ui_bounds *b) {
  return (b->extent[0] > b->max[0] ? 1u : 0u) | (b->extent[1] > b->max[1] ? 2u : 0u);
}

u32 ui_compute_children(ui_context *ctx, ui_node *first, ui_size_pass *pass, u32 scrollbars, ui_bounds *bounds) {
  ui_node *deferred[8];
  u32 deferred_count = 0;
  ui_node *next = nullptr;
  for (ui_node *n = first; n; n = next) {
    // A scrollable view may be wrapped into a container while it is sized; the walk goes on
    // from the sibling it had.
    next = n->next;
    if (n->known[0] & ui_known_by_owner) {
      invariant(n->known[0] == ui_known_all && n->known[1] == ui_known_all);
      continue;
    }
    invariant(!(n->known[1] & ui_known_by_owner));
    bool fill = n->size_x.kind == ui_size_kind_fill || n->size_y.kind == ui_size_kind_fill;
    if (fill && !(n->next == nullptr && deferred_count == 0) && deferred_count < 8) {
      deferred[deferred_count++] = n;
      continue;
    }
    u32 r = ui_compute_element(ctx, n, pass, scrollbars, bounds) | overflow_of(bounds);
    if (r) return r;
  }
  for (u32 i = 0; i < deferred_count; i++) {
    u32 r = ui_compute_element(ctx, deferred[i], pass, scrollbars, bounds) | overflow_of(bounds);
    if (r) return r;
  }
  return 0;
}

static bool children_rule_unknown(const ui_node *node, u32 axis) {
  return !known(node, axis) && (axis == 0 ? node->size_x : node->size_y).kind == ui_size_kind_children;
}

u32 ui_compute_element(ui_context *ctx, ui_node *node, ui_size_pass *pass, u32 scrollbars, ui_bounds *bounds) {
  ui_node *parent = node->parent;
  u32 result = 0;
  auto children_step = [&]() {
    ui_bounds copy = *bounds;
    if (node->flags & ui_node_flag_scroll) ui_compute_scrollable(ctx, node, pass, scrollbars);
    else result = ui_compute_children(ctx, node->first_child, pass, scrollbars, &copy);
  };
  auto own_rules = [&]() {
    if (!(known(node, 0) && known(node, 1))) ui_compute_axis_sizes(ctx, node, pass, scrollbars);
  };
  bool both = known(node, 0) && known(node, 1);
  if (!node->first_child || node->size_y.kind == ui_size_kind_flow) {
    if (both) children_step();
    else own_rules();
  } else if (both) {
    children_step();
  } else {
    u32 unknown_axes = 0, children_axes = 0;
    for (u32 a = 0; a < 2; a++) {
      if (!known(node, a)) unknown_axes++;
      if (children_rule_unknown(node, a)) children_axes++;
    }
    if (children_axes == 0) {
      own_rules();
      children_step();
    } else if (children_axes == unknown_axes) {
      children_step();
      own_rules();
    } else {
      own_rules();
      children_step();
      own_rules();
    }
  }
  for (u32 a = 0; a < 2; a++) {
    if (!known(node, a)) {
      ui_size_pass_count(pass, rule_of(node, a)->kind, a);
    } else if (stacks(parent, a)) {
      bounds->extent[a] += node->size[a];
    } else {
      bounds->extent[a] = fmaxf(bounds->extent[a], node->size[a]);
    }
  }
  return result;
}

void ui_compute_size(ui_context *ctx, ui_node *node, u32 scrollbars) {
  PROFILE_ZONE(zone_ui_compute_size);
  if (!node || ui_node_is_sink(ctx, node)) return;
  ui_size_pass pass;
  ui_size_pass_init(&pass);
  for (;;) {
    ui_bounds bounds = {{UI_UNBOUNDED, UI_UNBOUNDED}, {0, 0}};
    ui_compute_children(ctx, node, &pass, scrollbars, &bounds);
    u32 total = ui_size_pass_end(&pass);
    if (total == 0) break;
    // A pass that resolves nothing new means circular rules: those sizes stay 0.
    if (pass.passes > 1 && total >= pass.previous_total) break;
  }
}

// ---- Resetting ---------------------------------------------------------------------------

static bool is_generated_container(const ui_node *node) {
  const u8 *t = node->tag.data;
  return t == (const u8 *)ui_tag_scrollbars_container || t == (const u8 *)ui_tag_vertical_container ||
         t == (const u8 *)ui_tag_horizontal_container;
}

// Puts a wrapped view back where its scrollbar container stands and frees the container with its
// scrollbars, so a view re-sized inside a growing ancestor is wrapped afresh, never twice.
static ui_node *unwrap(ui_context *ctx, ui_node *container) {
  ui_node *holder = container;
  if (holder->tag.data == (const u8 *)ui_tag_scrollbars_container) holder = holder->first_child;
  ui_node *view = holder ? holder->first_child : nullptr;
  if (!view) return container;
  ui_node *parent = container->parent;
  ui_node_detach(ctx, view);
  ui_node_insert_after(parent, container, view);
  ui_node_detach(ctx, container);
  ui_node_free_tree(ctx, container);
  return view;
}

void ui_reset_sizes(ui_context *ctx, ui_node *node) {
  ui_node *next = nullptr;
  for (ui_node *c = node->first_child; c; c = next) {
    if (is_generated_container(c)) c = unwrap(ctx, c);
    next = c->next;
    c->size[0] = c->size[1] = 0;
    c->known[0] = c->known[1] = 0;
    if (c->size_x.kind == ui_size_kind_flow || c->size_y.kind == ui_size_kind_flow) {
      ui_node *instructions = c->first_child;
      if (instructions && instructions->next) {
        ui_node *content = instructions->next;
        invariant(content == c->last_child);
        instructions->next = nullptr;
        c->last_child = instructions;
        content->parent = nullptr;
        ui_node_free_tree(ctx, content);
      }
      continue;
    }
    ui_reset_sizes(ctx, c);
  }
}

// ---- Scrollable views --------------------------------------------------------------------

void ui_compute_scrollable(ui_context *ctx, ui_node *view, ui_size_pass *pass, u32 scrollbars) {
  f32 thickness = (f32)ctx->styles.scrollbar_thickness;
  ui_bounds bounds = {{UI_UNBOUNDED, UI_UNBOUNDED}, {0, 0}};
  u64 scroll_flag[2] = {ui_node_flag_scroll_x, ui_node_flag_scroll_y};
  for (u32 a = 0; a < 2; a++) {
    if (!(view->flags & scroll_flag[a])) continue;
    if (known(view, a)) bounds.max[a] = view->size[a];
    else if (rule_of(view, a)->kind == ui_size_kind_children) bounds.max[a] = rule_of(view, a)->max;
    else invariant(false);
  }
  bool fit[2] = {false, false};
  if (ctx->popup_root && ui_node_in_popup(ctx, view)) {
    fit[0] = (ctx->popup_root->flags & ui_node_flag_popup_fit_x) && (view->size_x.flags & ui_size_flag_clamp);
    fit[1] = (ctx->popup_root->flags & ui_node_flag_popup_fit_y) && (view->size_y.flags & ui_size_flag_clamp);
  }
  f32 base[2] = {view->size[0], view->size[1]};
  bool bar[2] = {false, false};  // bar[0]: horizontal scrollbar (along x), bar[1]: vertical
  ui_size_pass working = *pass;
  for (;;) {
    u32 overflow = ui_compute_children(ctx, view->first_child, &working, scrollbars, &bounds);
    bool added = false;
    for (u32 a = 0; a < 2; a++) {
      if (!(overflow & (1u << a)) || bar[a] || !(view->flags & scroll_flag[a])) continue;
      bar[a] = added = true;
      bounds.max[a] = UI_UNBOUNDED;
      ui_size *rule = rule_of(view, a);
      if (rule->kind == ui_size_kind_children) {
        invariant(rule->flags & ui_size_flag_clamp);
        base[a] = rule->max;
        view->known[a] |= ui_known_size;
      }
      scrollbars |= 1u << a;
    }
    // Each axis gives up the thickness of the bar that runs along the other one.
    for (u32 a = 0; a < 2; a++) {
      if (!known(view, a)) continue;
      view->size[a] = base[a];
      if (!bar[1 - a]) continue;
      f32 size;
      if (fit[a]) {
        f32 room = fmaxf(rule_of(view, a)->max - base[a], 0);
        size = room < thickness ? base[a] - (thickness - room) : base[a];
      } else {
        size = fmaxf(base[a] - thickness, 0);
      }
      view->size[a] = size;
      if (bounds.max[a] != UI_UNBOUNDED) bounds.max[a] = size;
    }
    if (!added) break;
    working = *pass;
    ui_reset_sizes(ctx, view);
    bounds.extent[0] = bounds.extent[1] = 0;
  }
  *pass = working;
  ui_node *content = view->first_child;
  if (!bar[0] && !bar[1]) {
    if (content) content->scroll[0] = content->scroll[1] = 0;
    return;
  }
  if (!content) return;
  if (view->scroll_target) ui_scroll_to_target(ctx, view);
  for (u32 a = 0; a < 2; a++) {
    f32 limit = fmaxf(content->size[a] - view->size[a], 0);
    f32 s = content->scroll[a];
    content->scroll[a] = s > 0 ? fminf(s, limit) : 0;  // NaN becomes 0 too
  }
  ui_scrollbars_wrap(ctx, view, bar[0], bar[1]);
}

void ui_scroll_to_target(ui_context *ctx, ui_node *view) {
  ui_node *content = view->first_child;
  ui_node *target = view->scroll_target;
  if (!content || !target || !(view->flags & ui_node_flag_scroll)) return;
  ui_position_rect(ctx, content, v2{0, 0});
  for (u32 a = 0; a < 2; a++) {
    if (!(view->flags & (a == 0 ? ui_node_flag_scroll_x : ui_node_flag_scroll_y))) continue;
    // The target's edges within the content: from its left edge, or down from its top edge.
    f32 begin = a == 0 ? target->rect.x0 - content->rect.x0 : content->rect.y1 - target->rect.y1;
    f32 end = a == 0 ? target->rect.x1 - content->rect.x0 : content->rect.y1 - target->rect.y0;
    f32 offset = ui_scroll_offset_for_target(content->scroll[a], roundf(view->size[a]), begin, end,
                                             view->scroll_margin[a]);
    // Centring can land on a half pixel; offsets are whole pixels.
    content->scroll[a] = roundf(offset);
  }
}

f32 ui_scroll_offset_for_target(f32 scroll, f32 view, f32 begin, f32 end, f32 margin) {
  if (!(view > end - begin)) return begin;  // also when a size is NaN
  if (margin < 0) return begin - (view - (end - begin)) / 2;
  if (scroll > begin - margin) return begin - margin;
  if (end + margin > scroll + view) return end + margin - view;
  return scroll;
}

// ---- Scrollbars --------------------------------------------------------------------------

static ui_node *create_tagged(ui_context *ctx, ui_id id, ui_size x, ui_size y, u64 flags, buffer tag, u32 style) {
  ui_node *n = ui_node_create(ctx, id, x, y, flags);
  n->tag = tag;
  n->style = style;
  return n;
}

ui_node *ui_scrollbar_build(ui_context *ctx, ui_id base, ui_node *view, ui_node *content, u32 axis) {
  f32 t = (f32)ctx->styles.scrollbar_thickness;
  f32 v = roundf(view->size[axis]), c = roundf(content->size[axis]);
  f32 track = v - 2 * t;
  f32 thumb = c > 0 ? fmaxf(roundf(track * v / c), t) : t;
  f32 range = fmaxf(c - v, 0);
  f32 room = fmaxf(track - thumb, 0);
  // The elevator moves within the track less its own length; a range of 0 leaves it at the top.
  f32 position = range > 0 ? roundf(room * content->scroll[axis] / range) : 0;
  position = fminf(fmaxf(position, 0), room);
  ui_size across = ui_size_pixels_make(t);
  ui_size tt = ui_size_pixels_make(t);
  u64 stack = axis == 0 ? ui_node_flag_stack_x : ui_node_flag_stack_y;
  auto rules = [&](ui_size along, ui_size *x, ui_size *y) {
    *x = axis == 0 ? along : across;
    *y = axis == 0 ? across : along;
  };
  auto part_id = [&](u32 k) {
    return base == UI_ID_NONE ? UI_ID_NONE : ui_id_with_modifier(base, ui_id_modifier_scrollbar(axis, k));
  };
  ui_size x, y;
  rules(axis == 0 ? ui_size_width_of_make(view) : ui_size_height_of_make(view), &x, &y);
  ui_node *bar = create_tagged(ctx, UI_ID_NONE, x, y, stack,
                               axis == 0 ? TAG("scrollbar_horizontal") : TAG("scrollbar_vertical"), 0);
  ui_parent_push(ctx, bar);
  u64 button_flags = ui_node_flag_border | ui_node_flag_padding | ui_node_flag_background | ui_node_flag_icon;
  ui_node *dec = create_tagged(ctx, part_id(1), tt, tt, button_flags, TAG("dec"), 10);
  dec->icon = axis == 0 ? ui_icon_chevron_left : ui_icon_chevron_up;
  rules(ui_size_fill_make(), &x, &y);
  ui_node *shaft = create_tagged(ctx, UI_ID_NONE, x, y, stack, TAG("shaft"), 0);
  ui_parent_push(ctx, shaft);
  rules(ui_size_pixels_make(position), &x, &y);
  create_tagged(ctx, part_id(2), x, y, ui_node_flag_background, TAG("dec_shaft"), 12);
  rules(ui_size_pixels_make(thumb), &x, &y);
  create_tagged(ctx, part_id(3), x, y, ui_node_flag_border | ui_node_flag_background, TAG("elevator"), 11);
  rules(ui_size_fill_make(), &x, &y);
  create_tagged(ctx, part_id(4), x, y, ui_node_flag_background, TAG("inc_shaft"), 12);
  ui_parent_pop(ctx);
  ui_node *inc = create_tagged(ctx, part_id(5), tt, tt, button_flags, TAG("inc"), 10);
  inc->icon = axis == 0 ? ui_icon_chevron_right : ui_icon_chevron_down;
  ui_parent_pop(ctx);
  return bar;
}

static void size_by_owner(ui_context *ctx, ui_node *node) {
  ui_compute_size(ctx, node, 0);
  node->known[0] = node->known[1] = ui_known_all;
}

void ui_scrollbars_wrap(ui_context *ctx, ui_node *view, bool horizontal, bool vertical) {
  if (!horizontal && !vertical) return;
  ui_node *parent = view->parent;
  ui_node *content = view->first_child;
  // A view at the top of a tree has no place to hand to a container; and a frame whose arena
  // cannot take the containers and bars (at most 16 nodes) keeps its views without scrollbars.
  if (!parent || !content || buffer_free_bytes(ctx->nodes) < 16 * sizeof(ui_node)) return;
  f32 t = (f32)ctx->styles.scrollbar_thickness;
  ui_id base = view->id == UI_ID_NONE ? UI_ID_NONE : ui_id_with_modifier(view->id, ui_id_modifier_none);
  ui_node *previous = ui_node_previous_sibling(view);
  ui_node_detach(ctx, view);
  ui_node *saved_parent = ctx->parent;
  u32 saved_sink = ctx->sink_depth;
  ctx->sink_depth = 0;
  ui_splice_begin(ctx, parent, previous);
  ui_size none = ui_size_none_make();
  f32 vw = view->size[0], vh = view->size[1];
  if (horizontal && vertical) {
    ui_node *outer = create_tagged(ctx, UI_ID_NONE, none, none, ui_node_flag_stack_y,
                                   TAG(ui_tag_scrollbars_container), 0);
    outer->size[0] = vw + t;
    outer->size[1] = vh + t;
    outer->known[0] = outer->known[1] = ui_known_all;
    ui_parent_push(ctx, outer);
    ui_node *inner = create_tagged(ctx, UI_ID_NONE, none, none, ui_node_flag_stack_x,
                                   TAG(ui_tag_vertical_container), 0);
    inner->size[0] = outer->size[0];
    inner->size[1] = outer->size[1] - t;
    inner->known[0] = inner->known[1] = ui_known_all;
    ui_parent_push(ctx, inner);
    ui_node_insert_after(inner, inner->last_child, view);
    size_by_owner(ctx, ui_scrollbar_build(ctx, base, view, content, 1));
    ui_parent_pop(ctx);
    size_by_owner(ctx, ui_scrollbar_build(ctx, base, view, content, 0));
    ui_parent_pop(ctx);
  } else {
    const char *tag = vertical ? ui_tag_vertical_container : ui_tag_horizontal_container;
    ui_node *box = create_tagged(ctx, UI_ID_NONE, none, none, vertical ? ui_node_flag_stack_x : ui_node_flag_stack_y,
                                 string_from_bytes(tag, vertical ? sizeof(ui_tag_vertical_container) - 1
                                                                 : sizeof(ui_tag_horizontal_container) - 1),
                                 0);
    box->size[0] = vertical ? vw + t : vw;
    box->size[1] = vertical ? vh : vh + t;
    box->known[0] = box->known[1] = ui_known_all;
    ui_parent_push(ctx, box);
    ui_node_insert_after(box, box->last_child, view);
    size_by_owner(ctx, ui_scrollbar_build(ctx, base, view, content, vertical ? 1 : 0));
    ui_parent_pop(ctx);
  }
  ui_splice_end(ctx);
  ctx->parent = saved_parent;
  ctx->sink_depth = saved_sink;
}

// ---- Positioning -------------------------------------------------------------------------

void ui_position_rect(ui_context *ctx, ui_node *first, v2 origin) {
  if (!first) return;
  ui_node *p = first->parent;
  f32 room[2] = {0, 0};
  if (p) {
    for (u32 a = 0; a < 2; a++) {
      f32 lead;
      room[a] = p->size[a] - frame_along(ctx, p, a, &lead);
      if (a == 0) origin.x += lead;
      else origin.y -= lead;
    }
  }
  f32 offset[2] = {0, 0};
  u64 centre_self[2] = {ui_node_flag_centre_x, ui_node_flag_centre_y};
  u64 centre_children[2] = {ui_node_flag_centre_children_x, ui_node_flag_centre_children_y};
  for (ui_node *n = first; n; n = n->next) {
    if (n->flags & ui_node_flag_flow_instructions) continue;
    f32 at[2];
    // Only a parent's only child scrolls; any other keeps its place.
    bool only = !p || (p->first_child == n && !n->next);
    for (u32 a = 0; a < 2; a++) {
      if ((n->flags & centre_self[a]) || (p && (p->flags & centre_children[a]))) offset[a] = (room[a] - n->size[a]) / 2;
      at[a] = offset[a] - (only ? roundf(n->scroll[a]) : 0);
      n->position[a] = at[a];
    }
    n->rect = rect{origin.x + at[0], origin.y - at[1] - n->size[1], origin.x + at[0] + n->size[0], origin.y - at[1]};
    for (u32 a = 0; a < 2; a++) offset[a] = stacks(p, a) ? offset[a] + n->size[a] : 0;
    if (n->first_child) ui_position_rect(ctx, n->first_child, v2{n->rect.x0, n->rect.y1});
  }
}
