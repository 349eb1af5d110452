// Frame begin, hot and active state per layer, the repeat list and the wake-up timer.
#include "gfx/input.h"
#include "gfx/window.h"
#include "ui/ui.h"
#include "ui/ui_internal.h"

void ui_begin_frame(ui_context *ctx) {
  invariant(rect_width(ctx->clip) < 0 || rect_height(ctx->clip) < 0);
  // The frame that just ended becomes the previous one; the one before it is gone.
  buffer nodes = ctx->previous_nodes;
  ctx->previous_nodes = ctx->nodes;
  ctx->nodes = nodes;
  u64 old_nodes = ctx->nodes.used;
  buffer_clear(&ctx->nodes);
  arena behind = ctx->previous_nodes_arena;
  ctx->previous_nodes_arena = ctx->nodes_arena;
  ctx->nodes_arena = behind;
  behind = ctx->previous_texts_arena;
  ctx->previous_texts_arena = ctx->texts_arena;
  ctx->texts_arena = behind;
  ctx->previous_free = ctx->free_nodes;
  ctx->free_nodes = nullptr;
  buffer texts = ctx->previous_texts;
  ctx->previous_texts = ctx->texts;
  ctx->texts = texts;
  u64 old_texts = ctx->texts.used;
  buffer_clear(&ctx->texts);
  // A frame far larger than the ones around it (a huge entry once shown) gives its memory back.
  ui_arena_trim(&ctx->nodes, &ctx->nodes_arena, old_nodes > ctx->previous_nodes.used ? old_nodes : ctx->previous_nodes.used);
  ui_arena_trim(&ctx->texts, &ctx->texts_arena, old_texts > ctx->previous_texts.used ? old_texts : ctx->previous_texts.used);
  ui_index_build(ctx);

  ctx->root = nullptr;
  ctx->parent = nullptr;
  ctx->parent_depth = 0;
  ctx->sink_depth = 0;
  ctx->dropped_nodes = 0;
  ctx->dropped_texts = 0;
  ctx->splice_active = 0;
  ctx->splice_saved_parent = ctx->splice_rest = nullptr;
  // An open popup stays open while its owner rebuilds it every frame; one that was not rebuilt
  // last frame points into the arena just cleared, so it is closed rather than read.
  if (ctx->popup_root && !ui_node_in_arena(ctx->previous_nodes, ctx->popup_root)) ui_popup_close(ctx);
  ctx->popup_saved_parent = nullptr;

  ctx->hot = ctx->hot_part = ctx->popup_hot = ctx->popup_hot_part = UI_ID_NONE;
  // An element pressed or edited and then no longer built never sees its release; left active
  // it would keep every other element from becoming hot and every shortcut from firing.
  if (ctx->active != UI_ID_NONE && !ui_find_previous(ctx, ctx->active)) {
    ctx->active = ctx->active_part = UI_ID_NONE;
    ctx->active_allows_hover = 0;
  }
  if (ctx->popup_active != UI_ID_NONE && !ui_find_previous(ctx, ctx->popup_active)) {
    ctx->popup_active = ctx->popup_active_part = UI_ID_NONE;
    ctx->popup_active_allows_hover = 0;
  }

  window *w = ctx->window;
  if (w) {
    if (!w->focused) {
      ui_clear_active(ctx, nullptr);
      ui_popup_close(ctx);
    }
    bool has_mouse_event = false;
    for (u32 i = 0; i < w->event_count && i < INPUT_EVENT_CAPACITY; i++) {
      if (w->events[i].type & (input_event_type_button | input_event_type_move)) has_mouse_event = true;
    }
    if (!has_mouse_event) window_push_mouse_move_event(w);
    v2 now = v2{(f32)w->mouse_x, (f32)w->mouse_y};
    ctx->previous_mouse = ctx->frame_count == 0 ? now : ctx->mouse;
    ctx->mouse = now;
  }

  ctx->cursor = ui_cursor_arrow;
  ui_repeat_clear(ctx);
  ctx->wake_ms = 0;
  ctx->frame_count++;
  ctx->hot_blocked = 0;
}

void ui_wakeup_timer_update(ui_context *ctx) {
  window *w = ctx->window;
  if (!w) return;
  u32 want = ctx->repeat_count > 0 ? UI_WAKEUP_TIMER_MS : ctx->wake_ms;
  bool set = window_timer_is_set(w);
  if (set && w->timer_ms == want) return;
  if (set) window_timer_stop(w);
  if (want) window_timer_start(w, want);
}

void ui_wake_after(ui_context *ctx, u32 milliseconds) {
  if (milliseconds == 0) milliseconds = 1;
  if (ctx->wake_ms == 0 || milliseconds < ctx->wake_ms) ctx->wake_ms = milliseconds;
}

// ---- Layers ------------------------------------------------------------------------------

struct layer {
  ui_id *hot, *active, *hot_part, *active_part;
  u32 *allows_hover;
};

static layer layer_of(ui_context *ctx, ui_node *node) {
  if (node && ui_node_in_popup(ctx, node)) {
    return layer{&ctx->popup_hot, &ctx->popup_active, &ctx->popup_hot_part, &ctx->popup_active_part,
                 &ctx->popup_active_allows_hover};
  }
  return layer{&ctx->hot, &ctx->active, &ctx->hot_part, &ctx->active_part, &ctx->active_allows_hover};
}

void ui_set_hot(ui_context *ctx, ui_node *node) {
  invariant(!(node->id & UI_ID_FAKE_BIT) || node->id == UI_ID_NONE);
  if (ctx->hot_blocked || node->id == UI_ID_NONE) return;
  layer l = layer_of(ctx, node);
  ui_id id = node->id;
  bool is_part = ui_id_is_popup_of(id, *l.hot);
  bool active_ok = *l.allows_hover || *l.active == UI_ID_NONE || *l.active == id ||
                   ui_id_is_popup_of(id, *l.active);
  bool hot_ok = *l.hot == UI_ID_NONE || *l.hot == id || is_part;
  if (active_ok && hot_ok) {
    if (is_part) *l.hot_part = id;
    else *l.hot = id;
  }
}

void ui_clear_hot(ui_context *ctx, ui_node *node) {
  invariant(!(node->id & UI_ID_FAKE_BIT) || node->id == UI_ID_NONE);
  layer l = layer_of(ctx, node);
  if (node->id != UI_ID_NONE && (node->id & UI_ID_POPUP_BIT)) *l.hot_part = UI_ID_NONE;
  else *l.hot = UI_ID_NONE;
}

static void set_active_main(ui_context *ctx, ui_id id, u32 allow_hover) {
  if (id & UI_ID_POPUP_BIT) {
    invariant(ui_id_is_popup_of(id, ctx->active));
    ctx->active_part = id;
  } else {
    ctx->active = id;
    ctx->active_allows_hover = allow_hover;
  }
  ui_popup_close(ctx);
}

void ui_set_active(ui_context *ctx, ui_node *node, u32 allow_hover) {
  invariant(!(node->id & UI_ID_FAKE_BIT));
  if (ui_node_in_popup(ctx, node)) {
    if (node->id & UI_ID_POPUP_BIT) {
      invariant(ui_id_is_popup_of(node->id, ctx->popup_active));
      ctx->popup_active_part = node->id;
    } else {
      ctx->popup_active = node->id;
      ctx->popup_active_allows_hover = allow_hover;
    }
    return;
  }
  set_active_main(ctx, node->id, allow_hover);
}

void ui_set_active_id(ui_context *ctx, ui_id id, u32 allow_hover) {
  invariant(!(id & UI_ID_FAKE_BIT));
  set_active_main(ctx, id, allow_hover);
}

void ui_clear_active(ui_context *ctx, ui_node *node) {
  if (node) invariant(!(node->id & UI_ID_FAKE_BIT) || node->id == UI_ID_NONE);
  bool part = node && node->id != UI_ID_NONE && (node->id & UI_ID_POPUP_BIT);
  if (node && ui_node_in_popup(ctx, node)) {
    if (part) {
      ctx->popup_active_part = UI_ID_NONE;
    } else {
      ctx->popup_active = UI_ID_NONE;
      ctx->hot_blocked = !ctx->popup_active_allows_hover;
      ctx->popup_active_allows_hover = 0;
    }
    return;
  }
  if (part) {
    ctx->active_part = UI_ID_NONE;
    return;
  }
  ctx->active = UI_ID_NONE;
  ctx->hot_blocked = !ctx->active_allows_hover;
  ctx->active_allows_hover = 0;
}

static bool id_matches(ui_id id, ui_id layer_id, ui_id layer_part) {
  if (id == UI_ID_NONE) return false;
  if (id & UI_ID_POPUP_BIT) return id == layer_part;
  if (ui_id_strip_fake(id) == layer_id) return true;
  return layer_part != UI_ID_NONE && ui_id_is_popup_of(layer_part, id);
}

bool ui_is_hot(ui_context *ctx, ui_node *node) {
  layer l = layer_of(ctx, node);
  return id_matches(node->id, *l.hot, *l.hot_part);
}

bool ui_is_active(ui_context *ctx, ui_node *node) {
  layer l = layer_of(ctx, node);
  return id_matches(node->id, *l.active, *l.active_part);
}

// ---- Repeat list -------------------------------------------------------------------------

void ui_repeat_add(ui_context *ctx, ui_id id) {
  for (u64 i = 0; i < ctx->repeat_count; i++) {
    if (ctx->repeat_ids[i] == id) return;
  }
  if (ctx->repeat_count >= UI_REPEAT_CAPACITY) return;  // the timer runs already
  ctx->repeat_ids[ctx->repeat_count++] = id;
}

void ui_repeat_remove(ui_context *ctx, ui_id id) {
  for (u64 i = 0; i < ctx->repeat_count; i++) {
    if (ctx->repeat_ids[i] != id) continue;
    for (u64 k = i + 1; k < ctx->repeat_count; k++) ctx->repeat_ids[k - 1] = ctx->repeat_ids[k];
    ctx->repeat_count--;
    return;
  }
}

void ui_repeat_clear(ui_context *ctx) { ctx->repeat_count = 0; }
