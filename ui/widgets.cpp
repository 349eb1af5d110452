// Widget behaviours on last frame's nodes and the builders of this frame's nodes.
#include "ui/widgets.h"

#include <math.h>

#include "core/strings.h"
#include "gfx/input.h"
#include "gfx/window.h"
#include "platform/dates.h"
#include "ui/ui_gfx.h"

// ---- Events ------------------------------------------------------------------------------

static const u32 mouse_events = input_event_type_button | input_event_type_move;

static v2 event_point(const input_event *e) { return v2{(f32)e->x, (f32)e->y}; }
static bool is_press(const input_event *e) { return input_event_is_press(e, key_mouse_left); }
static bool is_release(const input_event *e) { return input_event_is_release(e, key_mouse_left); }

static input_event *next_event(input_event_iterator *it) { return it->target ? input_event_next(it) : nullptr; }

// The input events of this frame of the given types, in order; none without a window.
#define for_each_event(ctx, e, mask)                                                   \
  for (input_event_iterator it_##e = input_event_iterator_make((ctx)->window, (mask)); \
       input_event *e = next_event(&it_##e);)

static void hover(ui_context *ctx, ui_node *node, const input_event *e) {
  if (ui_node_hit_test(ctx, node, event_point(e))) ui_set_hot(ctx, node);
}

static f32 seconds_since(ui_context *ctx, u64 then) {
  s64 now = counter_now();
  return (f32)counter_seconds_between((s64)then, now, (s64)ctx->counter_frequency);
}

// ---- Behaviours --------------------------------------------------------------------------

bool ui_clicked(ui_context *ctx, ui_node *node) {
  bool clicked = false;
  for_each_event(ctx, e, mouse_events) {
    hover(ctx, node, e);
    if (ui_is_active(ctx, node)) {
      if (is_release(e)) {
        bool hot = ui_is_hot(ctx, node);
        ui_clear_active(ctx, node);
        if (hot) clicked = true;
      }
    } else if (is_press(e) && ui_is_hot(ctx, node)) {
      ui_set_active(ctx, node, 0);
    }
  }
  return clicked;
}

bool ui_pressed(ui_context *ctx, ui_node *node) {
  for_each_event(ctx, e, input_event_type_button) {
    if (is_press(e) && ui_node_hit_test(ctx, node, event_point(e))) return true;
  }
  return false;
}

bool ui_repeat(ui_context *ctx, ui_node *node) {
  bool fired = false;
  for_each_event(ctx, e, mouse_events) {
    hover(ctx, node, e);
    if (ui_is_active(ctx, node)) {
      ui_repeat_add(ctx, node->id);
      if (is_release(e)) {
        ui_clear_active(ctx, node);
        ui_repeat_remove(ctx, node->id);
      } else if (ui_is_hot(ctx, node) && seconds_since(ctx, node->repeat_time) > node->repeat_wait) {
        node->repeat_time = (u64)counter_now();
        node->repeat_wait = ctx->repeat_interval;
        fired = true;
      }
    } else if (is_press(e) && ui_is_hot(ctx, node)) {
      ui_repeat_add(ctx, node->id);
      ui_set_active(ctx, node, 0);
      node->repeat_time = (u64)counter_now();
      node->repeat_wait = ctx->repeat_delay;
      fired = true;
    }
  }
  return fired;
}

f32 ui_drag_value(ui_context *ctx, ui_node *node, f32 track, f32 value, f32 range, u32 axis) {
  invariant(axis < 2);
  // The grab offset lives where a repeat button keeps its wait.
  f32 *grab = &node->repeat_wait;
  f32 far_edge = axis == 0 ? node->rect.x1 : node->rect.y1;
  f32 previous = axis == 0 ? ctx->previous_mouse.x : ctx->previous_mouse.y;
  // Every event of the frame measures against last frame's elevator, which has not moved yet:
  // each one sets the value from what it was on entry, so several moves in one frame do not add
  // up to more than the mouse travelled.
  f32 start = value;
  for_each_event(ctx, e, mouse_events) {
    hover(ctx, node, e);
    f32 m = axis == 0 ? (f32)e->x : (f32)e->y;
    if (!ui_is_active(ctx, node)) {
      if (is_press(e) && ui_is_hot(ctx, node)) {
        ui_set_active(ctx, node, 0);
        *grab = far_edge - m;
      }
    } else {
      f32 delta = m - previous;
      f32 d = far_edge - m;
      if (((delta > 0 && *grab > d) || (delta < 0 && d > *grab)) && track > 0) {
        f32 move = (d - *grab) * range / track;
        value = axis == 0 ? start - move : start + move;
        if (value > range) value = range;
        if (value < 0) value = 0;
      }
      if (is_release(e)) ui_clear_active(ctx, node);
    }
    previous = m;
  }
  return value;
}

// Sets a pane's rule on one axis to size + b in its own kind.
static void pane_resize(ui_node *pane, u32 axis, f32 b) {
  ui_size *rule = axis == 0 ? &pane->size_x : &pane->size_y;
  f32 size = pane->size[axis] + b;
  if (rule->kind == ui_size_kind_pixels) {
    rule->value = size;
  } else if (rule->kind == ui_size_kind_parent_fraction) {
    f32 parent = pane->parent ? pane->parent->size[axis] : 0;
    if (parent > 0) rule->value = size / parent;
  }
}

void ui_pair_drag(ui_context *ctx, ui_node *handle) {
  u64 side = handle->flags & ui_node_flag_pair_sides;
  u32 axis = (side & (ui_node_flag_pair_side_1 | ui_node_flag_pair_side_2)) ? 0 : 1;
  ui_node *parent = handle->parent;
  v2 previous = ctx->previous_mouse;
  // Last frame's pane sizes stand still during the frame, so the frame's moves add up here.
  f32 total = 0;
  for_each_event(ctx, e, mouse_events) {
    hover(ctx, handle, e);
    if (ui_is_hot(ctx, handle) || ui_is_active(ctx, handle)) ctx->cursor = ui_cursor_size_we;
    if (!ui_is_active(ctx, handle)) {
      if (is_press(e) && ui_is_hot(ctx, handle)) ui_set_active(ctx, handle, 0);
    } else if (is_release(e)) {
      ui_clear_active(ctx, handle);
    } else if (parent && parent->first_child && parent->last_child) {
      v2 p = event_point(e);
      f32 m = axis == 0 ? p.x : p.y;
      f32 b = m - (axis == 0 ? previous.x : previous.y);
      f32 lo = axis == 0 ? handle->rect.x0 : handle->rect.y0;
      f32 hi = axis == 0 ? handle->rect.x1 : handle->rect.y1;
      if (!rect_contains(handle->rect, previous)) {
        // Coming back from outside: only the movement that brings the handle under the mouse.
        if (b > 0 && m > lo) b = m - lo;
        else if (b < 0 && m < hi) b = m + 1 - hi;
        else b = 0;
      }
      if (b != 0) {
        ui_node *pane1 = parent->first_child, *pane2 = parent->last_child;
        // Along x pane 1 grows with b; along y (up) pane 1 shrinks with b.
        total += axis == 0 ? b : -b;
        if (total < -pane1->size[axis]) total = -pane1->size[axis];
        if (total > pane2->size[axis]) total = pane2->size[axis];
        if (side == ui_node_flag_pair_side_1 || side == ui_node_flag_pair_side_4) pane_resize(pane1, axis, total);
        else pane_resize(pane2, axis, -total);
      }
    }
    previous = event_point(e);
  }
}

u64 ui_list_select(ui_context *ctx, ui_node *content, u64 selected) {
  for_each_event(ctx, e, mouse_events) {
    v2 p = event_point(e);
    ui_node *hot = nullptr, *active = nullptr;
    u64 hot_index = 0, active_index = 0, i = 0;
    for (ui_node *item = content->first_child; item; item = item->next, i++) {
      if (ui_node_hit_test(ctx, item, p)) ui_set_hot(ctx, item);
      if (ui_is_hot(ctx, item)) {
        if (is_press(e)) ui_set_active(ctx, item, 0);
        if (!hot) hot = item, hot_index = i;
      }
      if (!active && ui_is_active(ctx, item)) active = item, active_index = i;
    }
    if (active && is_release(e)) {
      // The choice ends the dropdown's activity too, which closes its popup for good.
      ui_clear_active(ctx, nullptr);
      ui_popup_close(ctx);
      return hot ? hot_index : active_index;
    }
  }
  return selected;
}

ui_toggle ui_popup_toggle(ui_context *ctx, ui_node *node) {
  ui_toggle t = {0, 0};
  for_each_event(ctx, e, mouse_events) {
    hover(ctx, node, e);
    if (!is_press(e)) continue;
    if (ui_is_hot(ctx, node)) {
      if (ui_is_active(ctx, node)) {
        ui_clear_active(ctx, node);
        ui_popup_close(ctx);
        t.closed = 1;
      } else {
        ui_set_active(ctx, node, 0);
        t.opened = 1;
      }
    } else if (ui_is_active(ctx, node) && ctx->popup_hot == UI_ID_NONE && ctx->popup_active == UI_ID_NONE) {
      ui_clear_active(ctx, node);
      ui_popup_close(ctx);
      t.closed = 1;
    }
  }
  return t;
}

bool ui_shortcut(ui_context *ctx, u32 key, u8 mask) {
  if (ctx->active != UI_ID_NONE || ctx->popup_active != UI_ID_NONE) return false;
  static const u8 groups[] = {ui_shortcut_control, ui_shortcut_alt, ui_shortcut_shift, ui_shortcut_super};
  for_each_event(ctx, e, input_event_type_key) {
    if (e->code != key || !input_event_is_press_or_repeat(e, (u8)key)) continue;
    bool pass = true;
    if (mask == 0) {
      pass = e->modifiers == 0;
    } else {
      for (u8 g : groups)
        if ((mask & g) && !(e->modifiers & mask & g)) pass = false;
    }
    if (pass) return true;
  }
  return false;
}

void ui_scrollbar_update(ui_context *ctx, ui_id view_id, ui_node *view, ui_node *content, f32 step, u32 axis,
                         bool clamp) {
  invariant(axis < 2);
  f32 s = content->scroll[axis];
  f32 v = view->size[axis];
  f32 c = content->size[axis];
  ui_node *part[6] = {};
  for (u32 k = 1; k <= 5; k++) part[k] = ui_find_previous(ctx, ui_id_with_modifier(view_id, ui_id_modifier_scrollbar(axis, k)));
  if (part[1] && ui_repeat(ctx, part[1])) s -= step;
  if (part[2] && ui_repeat(ctx, part[2])) s -= v;
  if (part[4] && ui_repeat(ctx, part[4])) s += v;
  if (part[3]) {
    f32 track = (part[3]->parent ? part[3]->parent->size[axis] : 0) - part[3]->size[axis];
    s = ui_drag_value(ctx, part[3], track, s, c - v, axis);
    s = round_f32(s);
  }
  if (part[5] && ui_repeat(ctx, part[5])) s += step;
  if (!ctx->popup_root || ui_node_in_popup(ctx, view)) {
    ui_node *bar = part[1] ? part[1]->parent : nullptr;
    for_each_event(ctx, e, input_event_type_button) {
      if (e->code != 0) continue;  // a wheel, not a button
      v2 p = event_point(e);
      if (!ui_node_hit_test(ctx, view, p) && !(bar && ui_node_hit_test(ctx, bar, p))) continue;
      f32 notches = axis == 1 ? e->wheel_y : e->wheel_x;
      s -= step * 3 * truncf(notches);
    }
  }
  if (clamp) {
    f32 most = c - v > 0 ? c - v : 0;
    if (s > most) s = most;
    if (s < 0) s = 0;
  }
  content->scroll[axis] = s;
}

// ---- Builders ----------------------------------------------------------------------------

static void set_tag(ui_node *node, const char *tag) { ui_node_set_tag(node, string_from_bytes(tag, string_length(tag))); }

ui_node *ui_label(ui_context *ctx, ui_id id, buffer text) {
  ui_node *n = ui_node_create(ctx, id, ui_size_text_make(), ui_size_text_make(),
                              ui_node_flag_frame | ui_node_flag_text | ui_node_flag_text_centre);
  n->style = ui_style_label;
  ui_node_set_text(ctx, n, text, false);
  return n;
}

bool ui_button(ui_context *ctx, ui_id id, buffer text) {
  ui_node *previous = ui_find_previous(ctx, id);
  bool clicked = previous && ui_clicked(ctx, previous);
  ui_label(ctx, id, text);
  return clicked;
}

ui_node *ui_text(ui_context *ctx, ui_id id, buffer text, u32 style, u64 flags) {
  // Made without the id so that nothing is carried over, then named.
  ui_node *n = ui_node_create(ctx, UI_ID_NONE, ui_size_text_make(), ui_size_text_make(), flags | ui_node_flag_text);
  n->style = style ? style : ui_style_text;
  ui_node_set_text(ctx, n, text, true);
  if (!ui_node_is_sink(ctx, n)) n->id = id;
  return n;
}

ui_node *ui_text_list(ui_context *ctx, buffer *texts, u64 count, u64 shown, u32 style, u64 flags) {
  ui_node *n = ui_node_create(ctx, UI_ID_NONE, ui_size_text_make(), ui_size_text_make(), flags | ui_node_flag_text);
  n->style = style ? style : ui_style_text;
  n->text_list = texts;
  n->text_count = count;
  n->text_shown = shown;
  return n;
}

ui_node *ui_text_line(ui_context *ctx, ui_id id, buffer text, u32 style, u64 flags) {
  ui_node *n = ui_node_create(ctx, UI_ID_NONE, ui_size_parent_content_make(), ui_size_line_make(),
                              flags | ui_node_flag_text);
  n->style = style ? style : ui_style_list_item;
  ui_node_set_text(ctx, n, text, false);
  if (!ui_node_is_sink(ctx, n)) n->id = id;
  return n;
}

ui_node *ui_checkbox_box(ui_context *ctx, ui_id id, bool checked) {
  f32 side = ceilf(ui_gfx_line_height(ui_gfx_font(ctx->fonts, ctx->font)));
  ui_node *n = ui_node_create(ctx, id, ui_size_pixels_make(side), ui_size_pixels_make(side),
                              ui_node_flag_frame | (checked ? (u64)ui_node_flag_icon : 0));
  n->style = ui_style_checkbox;
  n->icon = ui_icon_check;
  return n;
}

static bool checkbox_toggle(ui_context *ctx, ui_id id, int *value) {
  ui_node *previous = ui_find_previous(ctx, id);
  if (!previous || !ui_clicked(ctx, previous)) return false;
  *value = !*value;
  return true;
}

bool ui_checkbox(ui_context *ctx, ui_id id, int *value, buffer text) {
  bool clicked = checkbox_toggle(ctx, id, value);
  ui_node *row = ui_node_create(ctx, id, ui_size_children_make(), ui_size_children_make(), ui_node_flag_stack_x);
  ui_parent_push(ctx, row);
  ui_checkbox_box(ctx, id, *value != 0);
  ui_space_x(ctx, ui_size_pixels_make(UI_CHECKBOX_GAP));
  ui_text(ctx, UI_ID_NONE, text, 0, 0);
  ui_parent_pop(ctx);
  return clicked;
}

bool ui_checkbox_plain(ui_context *ctx, ui_id id, int *value) {
  bool clicked = checkbox_toggle(ctx, id, value);
  ui_checkbox_box(ctx, id, *value != 0);
  return clicked;
}

static ui_node *scrollable_begin(ui_context *ctx, ui_id id, ui_size size_x, ui_size size_y, u64 flags,
                                 bool update);

u64 ui_dropdown(ui_context *ctx, ui_id id, ui_size size_x, buffer *texts, u64 count, u64 selected) {
  ui_id content_id = ui_id_with_modifier(id, ui_id_modifier_scrollable_content);
  u64 result = selected;
  ui_toggle toggle = {0, 0};
  ui_node *previous = ui_find_previous(ctx, id);
  if (previous) {
    if (ui_is_active(ctx, previous)) {
      // The popup can be missing when last frame ran out of nodes; then there is nothing to pick.
      // The list's scrollbars go first: a press on them makes a popup element hot, so the toggle
      // below does not take it for a press outside the popup. The list's view is then made
      // without handling them again, or the list would scroll twice per notch.
      ui_node *content = ui_find_previous(ctx, content_id);
      if (content) {
        if (content->parent) {
          ui_scrollbar_update(ctx, id, content->parent, content, UI_SCROLL_STEP, 1, true);
          ui_scrollbar_update(ctx, id, content->parent, content, UI_SCROLL_STEP, 0, true);
        }
        result = ui_list_select(ctx, content, selected);
      }
    }
    toggle = ui_popup_toggle(ctx, previous);
  }

  bool by_children = size_x.kind == ui_size_kind_children;
  ui_node *dropdown = ui_node_create(ctx, id, size_x, ui_size_children_make(),
                                     ui_node_flag_border | (by_children ? 0 : (u64)ui_node_flag_stack_x));
  set_tag(dropdown, "dropdown");
  dropdown->style = ui_style_dropdown;
  ui_parent_push(ctx, dropdown);
  ui_node *row = ui_node_create(ctx, UI_ID_NONE, by_children ? ui_size_children_make() : ui_size_fill_make(),
                                ui_size_children_make(), ui_node_flag_stack_x);
  ui_parent_push(ctx, row);
  ui_node *text = ui_node_create(ctx, UI_ID_NONE, by_children ? ui_size_text_make() : ui_size_fill_make(),
                                 ui_size_line_make(),
                                 ui_node_flag_padding | ui_node_flag_background | ui_node_flag_text);
  text->style = ui_style_dropdown;
  // An index from outside (a setting read back) may be past the list: show nothing then.
  text->text_list = texts;
  text->text_count = result < count ? count : 0;
  text->text_shown = result;
  ui_space_x(ctx, ui_size_pixels_make((f32)ctx->styles.dropdown_gap));
  ui_node *arrow = ui_node_create(ctx, id | UI_ID_FAKE_BIT, ui_size_line_make(), ui_size_line_make(),
                                  ui_node_flag_icon | ui_node_flag_padding | ui_node_flag_background);
  arrow->icon = ui_icon_chevron_down;
  arrow->style = ui_style_dropdown_arrow;
  ui_parent_pop(ctx);
  ui_parent_pop(ctx);

  if (ui_is_active(ctx, dropdown) && !ui_node_is_sink(ctx, dropdown)) {
    if (toggle.opened) ctx->popup_active = UI_ID_NONE;
    ui_node *root = ui_popup_begin(ctx, ui_size_width_of_make(dropdown), ui_size_children_make(), dropdown);
    root->flags &= ~(u64)ui_node_flag_popup_fit_x;
    ui_node *content = scrollable_begin(ctx, id, ui_size_parent_content_make(), ui_size_children_make(),
                                        ui_node_flag_scroll | ui_node_flag_clamp_scroll, false);
    ui_node *view = content->parent;
    content->size_x = ui_size_parent_content_make();
    ui_set_layout_direction(content, 1);
    for (u64 i = 0; i < count; i++) {
      ui_node *item = ui_text_line(ctx, (ui_id)(uintptr_t)texts[i].data, texts[i], ui_style_list_item,
                                   ui_node_flag_padding | ui_node_flag_background);
      if (i == result) {
        item->style = ui_style_list_item_selected;
        if (toggle.opened && view) ui_scroll_to(view, item, v2{-1, -1});
      }
    }
    ui_scrollable_end(ctx);
    ui_popup_end(ctx);
  } else if (toggle.closed) {
    ui_popup_close(ctx);
  }
  return result;
}

void ui_set_layout_direction(ui_node *node, u32 direction) {
  invariant(direction < 2);
  node->flags &= ~(u64)(ui_node_flag_stack_x | ui_node_flag_stack_y);
  node->flags |= direction == 0 ? ui_node_flag_stack_x : ui_node_flag_stack_y;
}

void ui_pair(ui_context *ctx, ui_node *container, ui_id handle_id, ui_size *pane_rule, u32 side) {
  invariant(!container->first_child || ui_node_is_sink(ctx, container));
  invariant(pane_rule->kind == ui_size_kind_pixels || pane_rule->kind == ui_size_kind_parent_fraction);
  invariant(side == ui_node_flag_pair_side_1 || side == ui_node_flag_pair_side_2 ||
            side == ui_node_flag_pair_side_4 || side == ui_node_flag_pair_side_8);
  ui_node *previous = ui_find_previous(ctx, handle_id);
  if (previous) {
    ui_pair_drag(ctx, previous);
    ui_node *pane_parent = previous->parent;
    if (pane_parent && pane_parent->first_child) {
      ui_node *pane = (side == ui_node_flag_pair_side_1 || side == ui_node_flag_pair_side_4)
                          ? pane_parent->first_child
                          : pane_parent->last_child;
      ui_size r = side <= ui_node_flag_pair_side_2 ? pane->size_x : pane->size_y;
      if (r.kind == pane_rule->kind) pane_rule->value = r.value;
    }
  }
  ui_parent_push(ctx, container);
  bool across = side <= ui_node_flag_pair_side_2;  // panes side by side
  ui_set_layout_direction(container, across ? 0 : 1);
  ui_size parent = ui_size_parent_make(), handle = ui_size_pixels_make(UI_PAIR_HANDLE_PIXELS);
  bool first_sized = side == ui_node_flag_pair_side_1 || side == ui_node_flag_pair_side_4;
  ui_size p1 = first_sized ? *pane_rule : parent;
  ui_size p2 = !first_sized ? *pane_rule : side == ui_node_flag_pair_side_1 ? ui_size_fill_make() : parent;
  if (across) {
    ui_node_create(ctx, UI_ID_NONE, p1, parent, 0);
    ui_node *h = ui_node_create(ctx, handle_id, handle, parent, side);
    h->style = ui_style_pair_handle;
    ui_node_create(ctx, UI_ID_NONE, p2, parent, 0);
  } else {
    ui_node_create(ctx, UI_ID_NONE, parent, p1, 0);
    ui_node *h = ui_node_create(ctx, handle_id, parent, handle, side);
    h->style = ui_style_pair_handle;
    ui_node_create(ctx, UI_ID_NONE, parent, p2, 0);
  }
}

static ui_node *scrollable_begin(ui_context *ctx, ui_id id, ui_size size_x, ui_size size_y, u64 flags,
                                 bool update) {
  ui_id content_id = ui_id_with_modifier(id, ui_id_modifier_scrollable_content);
  ui_node *previous = ui_find_previous(ctx, content_id);
  if (update && previous && previous->parent) {
    bool clamp = (flags & ui_node_flag_clamp_scroll) != 0;
    if (ui_find_previous(ctx, ui_id_with_modifier(id, ui_id_modifier_scrollbar_vertical_elevator)))
      ui_scrollbar_update(ctx, id, previous->parent, previous, UI_SCROLL_STEP, 1, clamp);
    if (ui_find_previous(ctx, ui_id_with_modifier(id, ui_id_modifier_scrollbar_horizontal_elevator)))
      ui_scrollbar_update(ctx, id, previous->parent, previous, UI_SCROLL_STEP, 0, clamp);
  }
  ui_node *view = ui_node_create(ctx, id, size_x, size_y, flags | ui_node_flag_clip);
  set_tag(view, "scrollable_view");
  ui_parent_push(ctx, view);
  ui_node *content = ui_node_create(ctx, content_id, ui_size_children_make(), ui_size_children_make(), 0);
  set_tag(content, "scrollable_content");
  ui_parent_push(ctx, content);
  return content;
}

ui_node *ui_scrollable_begin(ui_context *ctx, ui_id id, ui_size size_x, ui_size size_y, u64 flags) {
  return scrollable_begin(ctx, id, size_x, size_y, flags, true);
}

void ui_scrollable_end(ui_context *ctx) {
  ui_parent_pop(ctx);
  ui_parent_pop(ctx);
}

void ui_scroll_to(ui_node *view, ui_node *target, v2 margins) {
  view->scroll_target = target;
  view->scroll_margin[0] = margins.x;
  view->scroll_margin[1] = margins.y;
}

ui_node *ui_flow_begin(ui_context *ctx, u32 style, u64 flags) {
  ui_node *flow = ui_node_create(ctx, UI_ID_NONE, ui_size_parent_content_make(), ui_size_flow_make(), flags);
  set_tag(flow, "flow");
  flow->style = style;
  ui_parent_push(ctx, flow);
  ui_node *instructions =
      ui_node_create(ctx, UI_ID_NONE, ui_size_none_make(), ui_size_none_make(), ui_node_flag_flow_instructions);
  set_tag(instructions, "instructions");
  ui_parent_push(ctx, instructions);
  return flow;
}

void ui_flow_end(ui_context *ctx) {
  ui_parent_pop(ctx);
  ui_parent_pop(ctx);
}

ui_node *ui_flow_text(ui_context *ctx, buffer text) {
  ui_node *n = ui_node_create(ctx, UI_ID_NONE, ui_size_none_make(), ui_size_none_make(), ui_node_flag_text);
  n->style = ui_style_text;
  ui_node_set_text(ctx, n, text, false);
  return n;
}

ui_node *ui_popup_begin(ui_context *ctx, ui_size size_x, ui_size size_y, ui_node *anchor) {
  invariant(!ctx->popup_saved_parent);
  // The popup is a tree of its own: no parent while its root is made.
  ctx->popup_saved_parent = ctx->parent;
  ctx->parent = nullptr;
  ui_node *root = ui_node_create(ctx, UI_ID_POPUP_ROOT, size_x, size_y,
                                 ui_node_flag_stack_y | ui_node_flag_border | ui_node_flag_background |
                                     ui_node_flag_popup_fit_x | ui_node_flag_popup_fit_y);
  set_tag(root, "popup");
  root->style = ui_style_popup;
  if (!ui_node_is_sink(ctx, root)) {
    ctx->popup_root = root;
    ctx->popup_anchor = anchor;
  }
  ui_parent_push(ctx, root);
  return root;
}

void ui_popup_end(ui_context *ctx) {
  ui_parent_pop(ctx);
  ctx->parent = ctx->popup_saved_parent;
  ctx->popup_saved_parent = nullptr;
}

void ui_apply_cursor(ui_context *ctx) {
  window *w = ctx->window;
  if (!w || !w->handle || ctx->cursor >= window_cursor_count || !w->cursors[ctx->cursor]) return;
  if (ctx->mouse.x < 0 || ctx->mouse.y < 0 || ctx->mouse.x >= (f32)w->width || ctx->mouse.y >= (f32)w->height) return;
  window_set_cursor(w, w->cursors[ctx->cursor]);
}
