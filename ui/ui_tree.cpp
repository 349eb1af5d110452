// Building the node tree: creation with the previous frame's persistent state, the parent stack,
// rearranging children, lookups by id, hit testing, clipping and fonts.
#include <math.h>

#include "platform/log.h"
#include "ui/ui.h"
#include "ui/ui_gfx.h"
#include "ui/ui_internal.h"

// ---- Arenas and budgets ------------------------------------------------------------------

bool ui_arena_grow(buffer *view, arena *a, u64 limit, u64 n, u64 alignment) {
  // The budget is the context's and holds for whichever of the two arenas is current.
  if (a->limit != limit) arena_set_limit(a, limit);
  return arena_make_room(a, view, n, alignment);
}

void ui_arena_trim(buffer *view, arena *a, u64 recent_use) {
  if (!a->memory.data || view->data != a->memory.data || view->used != 0) return;
  u64 keep = align_up(2 * recent_use + 8 * UI_ARENA_COMMIT_STEP, UI_ARENA_COMMIT_STEP);
  if (a->memory.used <= keep + 8 * UI_ARENA_COMMIT_STEP) return;  // not worth the system calls
  arena_give_back(a, view, keep);
}

void ui_budget_report(ui_context *ctx, u32 budget) {
  if (ctx->budgets_reported & budget) return;
  ctx->budgets_reported |= budget;
  switch (budget) {
    case ui_budget_nodes:
      log_append_string(string_lit("UI: the node arena is full; the nodes beyond it are not shown.\n"));
      break;
    case ui_budget_texts:
      log_append_string(string_lit("UI: the frame's text arena is full; the texts beyond it are shown empty.\n"));
      break;
    case ui_budget_depth:
      log_append_string(string_lit("UI: nodes nested deeper than the depth limit are not shown.\n"));
      break;
    default:
      log_append_string(string_lit("UI: the index of the previous frame's nodes is full; lookups scan instead.\n"));
      break;
  }
}

void *ui_text_push(ui_context *ctx, u64 n, u64 alignment) {
  void *p = buffer_push(&ctx->texts, n, alignment);
  if (!p && ui_arena_grow(&ctx->texts, &ctx->texts_arena, ctx->text_arena_limit, n, alignment)) {
    p = buffer_push(&ctx->texts, n, alignment);
  }
  if (!p && n) ui_budget_report(ctx, ui_budget_texts);
  return p;
}

// ---- Allocation --------------------------------------------------------------------------

static void sink_reset(ui_context *ctx) {
  memory_zero(&ctx->sink, sizeof(ctx->sink));
  ctx->sink.id = UI_ID_NONE;
}

ui_node *ui_node_alloc(ui_context *ctx) {
  ui_node *node = ctx->free_nodes;
  if (node) {
    ctx->free_nodes = node->next;
  } else {
    node = buffer_push_struct(&ctx->nodes, ui_node);
    if (!node && ui_arena_grow(&ctx->nodes, &ctx->nodes_arena, ctx->node_arena_limit, sizeof(ui_node),
                               alignof(ui_node) > 8 ? 8 : alignof(ui_node))) {
      node = buffer_push_struct(&ctx->nodes, ui_node);
    }
    if (!node) {
      // A frame larger than the budget loses its extra nodes, never the program.
      ui_budget_report(ctx, ui_budget_nodes);
      ctx->dropped_nodes++;
      sink_reset(ctx);
      return &ctx->sink;
    }
  }
  memory_zero(node, sizeof(*node));
  return node;
}

void ui_node_release(ui_context *ctx, ui_node *node) {
  if (ui_node_is_sink(ctx, node)) return;
  invariant(!node->next && !node->first_child);
  node->id = UI_ID_NONE;
  node->parent = node->first_child = node->last_child = nullptr;
  node->next = ctx->free_nodes;
  ctx->free_nodes = node;
}

static void link_last_child(ui_node *parent, ui_node *node) {
  node->parent = parent;
  node->next = nullptr;
  if (parent->last_child) parent->last_child->next = node;
  else parent->first_child = node;
  parent->last_child = node;
}

ui_node *ui_node_create(ui_context *ctx, ui_id id, ui_size size_x, ui_size size_y, u64 flags) {
  // Under a dropped parent everything is dropped too, so no child lands in the wrong place.
  ui_node *node;
  if (ctx->sink_depth > 0) {
    ctx->dropped_nodes++;
    sink_reset(ctx);
    node = &ctx->sink;
  } else {
    node = ui_node_alloc(ctx);
  }
  node->id = id;
  node->size_x = size_x;
  node->size_y = size_y;
  node->flags = flags;
  node->font = ctx->font;
  node->run_previous_codepoint = (u32)-1;
  if (ui_node_is_sink(ctx, node)) return node;
  if (ctx->parent) link_last_child(ctx->parent, node);
  if (!ctx->root) ctx->root = node;
  if (id != UI_ID_NONE) {
    ui_node *previous = ui_find_previous(ctx, id);
    if (previous) {
      memory_copy((u8 *)node + UI_NODE_PERSISTENT_OFFSET, (u8 *)previous + UI_NODE_PERSISTENT_OFFSET,
                  sizeof(ui_node) - UI_NODE_PERSISTENT_OFFSET);
    }
  }
  return node;
}

static u32 node_depth(const ui_node *node) {
  u32 depth = 0;
  for (const ui_node *p = node; p; p = p->parent) depth++;
  return depth;
}

void ui_parent_push(ui_context *ctx, ui_node *node) {
  invariant(node);
  // The sink and anything nested too deeply only count; their children are dropped.
  // Layout adds a bounded number of levels (scrollbar containers, flow lines) under trees that
  // building already bounded, so the depth limit applies to building only.
  if (ctx->sink_depth > 0 || ui_node_is_sink(ctx, node) ||
      (ctx->parent_depth >= UI_DEPTH_MAX && !ctx->in_layout)) {
    if (ctx->sink_depth == 0 && !ui_node_is_sink(ctx, node)) ui_budget_report(ctx, ui_budget_depth);
    ctx->sink_depth++;
    return;
  }
  node->parent = ctx->parent;
  ctx->parent = node;
  ctx->parent_depth++;
}

void ui_parent_pop(ui_context *ctx) {
  if (ctx->sink_depth > 0) {
    ctx->sink_depth--;
    return;
  }
  invariant(ctx->parent);
  ctx->parent = ctx->parent->parent;
  if (ctx->parent_depth > 0) ctx->parent_depth--;
}

// ---- Fillers and spacers -----------------------------------------------------------------

static ui_node *tagged(ui_context *ctx, const char *tag, u64 tag_length, ui_size x, ui_size y) {
  ui_node *node = ui_node_create(ctx, UI_ID_NONE, x, y, 0);
  node->tag = string_from_bytes(tag, tag_length);
  return node;
}
ui_node *ui_filler(ui_context *ctx) {
  return tagged(ctx, "Filler", 6, ui_size_fill_make(), ui_size_fill_make());
}
ui_node *ui_filler_x(ui_context *ctx) {
  return tagged(ctx, "Filler", 6, ui_size_fill_make(), ui_size_none_make());
}
ui_node *ui_filler_y(ui_context *ctx) {
  return tagged(ctx, "Filler", 6, ui_size_none_make(), ui_size_fill_make());
}
ui_node *ui_space_x(ui_context *ctx, ui_size rule) {
  return tagged(ctx, "Space_x", 7, rule, ui_size_none_make());
}
ui_node *ui_space_y(ui_context *ctx, ui_size rule) {
  return tagged(ctx, "Space_y", 7, ui_size_none_make(), rule);
}

void ui_node_set_id(ui_node *node, ui_id id) {
  invariant(node->id == UI_ID_NONE);
  node->id = id;
}

void ui_node_set_tag(ui_node *node, buffer tag) { node->tag = tag; }

void ui_node_set_text(ui_context *ctx, ui_node *node, buffer text, bool copy) {
  node->text = text;
  if (copy && text.used > 0) {
    u8 *bytes = (u8 *)ui_text_push(ctx, text.used, 1);
    if (bytes) {
      memory_copy(bytes, text.data, text.used);
      node->text = buffer{text.used, text.used, bytes};
    } else {
      // The text arena is per frame and texts come from feeds: a frame of too much text shows
      // the texts that did not fit as empty instead of pointing at memory that may not last.
      ctx->dropped_texts++;
      node->text = buffer{0, 0, nullptr};
    }
  }
  node->text_list = &node->text;
  node->text_count = 1;
  node->text_shown = 0;
}

// ---- Rearranging children ------------------------------------------------------------------

void ui_node_detach(ui_context *ctx, ui_node *node) {
  (void)ctx;
  invariant(node && node->parent);
  ui_node *parent = node->parent;
  if (parent->first_child == node) {
    parent->first_child = node->next;
  } else {
    ui_node *previous = ui_node_previous_sibling(node);
    previous->next = node->next;
  }
  parent->last_child = nullptr;
  for (ui_node *c = parent->first_child; c; c = c->next) parent->last_child = c;
  node->parent = nullptr;
  node->next = nullptr;
}

ui_node *ui_node_previous_sibling(ui_node *node) {
  invariant(node->parent);
  ui_node *c = node->parent->first_child;
  if (c == node) return nullptr;
  while (c && c->next != node) c = c->next;
  invariant(c);
  return c;
}

void ui_node_insert_after(ui_node *parent, ui_node *after, ui_node *node) {
  invariant(parent && node);
  node->parent = parent;
  if (after) {
    node->next = after->next;
    after->next = node;
  } else {
    node->next = parent->first_child;
    parent->first_child = node;
  }
  if (!node->next) parent->last_child = node;
}

void ui_splice_begin(ui_context *ctx, ui_node *node, ui_node *after) {
  invariant(!ctx->splice_active);
  ctx->splice_active = 1;
  ctx->splice_saved_parent = ctx->parent;
  ctx->splice_rest = nullptr;
  if (after) {
    ctx->splice_rest = after->next;
    after->next = nullptr;
    node->last_child = after;
  } else {
    ctx->splice_rest = node->first_child;
    node->first_child = node->last_child = nullptr;
  }
  // The spliced node becomes the current parent without changing its own parent link.
  ctx->parent = node;
  ctx->parent_depth = node_depth(node);
}

void ui_splice_end(ui_context *ctx) {
  invariant(ctx->splice_active && ctx->parent);
  ui_node *node = ctx->parent;
  if (ctx->splice_rest) {
    if (node->last_child) node->last_child->next = ctx->splice_rest;
    else node->first_child = ctx->splice_rest;
    ui_node *last = ctx->splice_rest;
    while (last->next) last = last->next;
    node->last_child = last;
  }
  ctx->parent = ctx->splice_saved_parent;
  ctx->parent_depth = ctx->parent ? node_depth(ctx->parent) : 0;
  ctx->splice_saved_parent = nullptr;
  ctx->splice_active = 0;
  ctx->splice_rest = nullptr;
}

void ui_node_free_tree(ui_context *ctx, ui_node *node) {
  if (!node || ui_node_is_sink(ctx, node)) return;
  // Iterative post-order: a flow's generated content can be deep, and the stack stays flat.
  ui_node *top = node;
  ui_node *n = node;
  while (n) {
    if (n->first_child) {
      ui_node *child = n->first_child;
      n->first_child = child->next;
      child->next = nullptr;
      n = child;
      continue;
    }
    ui_node *parent = n == top ? nullptr : n->parent;
    n->last_child = nullptr;
    ui_node_release(ctx, n);
    n = parent;
  }
}

// ---- Queries -----------------------------------------------------------------------------

// Ids are addresses and small numbers: their low bits alone would crowd a few slots, so the slot
// comes from the mixed id.
static u64 id_hash(ui_id id) { return fasthash_mix(id); }

void ui_index_build(ui_context *ctx) {
  ctx->index_valid = 0;
  u64 count = ctx->previous_nodes.used / sizeof(ui_node);
  if (count >= 0xFFFFFFFFull) return;
  u64 slots = 64;
  while (slots < count * 2) slots *= 2;
  u64 slot_bytes = slots * sizeof(ui_index_slot);
  u64 need = slot_bytes + count * sizeof(u32);
  buffer index = arena_view(&ctx->index_arena);
  if (!arena_make_room(&ctx->index_arena, &index, need, 8)) {
    ui_budget_report(ctx, ui_budget_index);
    return;
  }
  ui_index_slot *table = (ui_index_slot *)index.data;
  u32 *chain = (u32 *)(index.data + slot_bytes);
  memory_zero(table, slot_bytes);
  u64 mask = slots - 1;
  ui_node *nodes = (ui_node *)ctx->previous_nodes.data;
  // Backwards, so that each id's head is its first record and every chain runs in arena order.
  for (u64 i = count; i-- > 0;) {
    ui_id id = nodes[i].id;
    chain[i] = 0;
    if (id == UI_ID_NONE) continue;
    u64 k = id_hash(id) & mask;
    while (table[k].first && table[k].id != id) k = (k + 1) & mask;
    if (table[k].first) chain[i] = table[k].first;
    table[k].id = id;
    table[k].first = (u32)(i + 1);
  }
  ctx->index_slots = table;
  ctx->index_chain = chain;
  ctx->index_mask = mask;
  ctx->index_valid = 1;
}

// The first indexed record with the id at or after record `from`, before record `to`.
static ui_node *index_find(ui_context *ctx, ui_id id, u64 from, u64 to) {
  ui_index_slot *table = ctx->index_slots;
  u64 k = id_hash(id) & ctx->index_mask;
  while (table[k].first && table[k].id != id) k = (k + 1) & ctx->index_mask;
  u32 at = table[k].first;
  while (at && at - 1 < from) at = ctx->index_chain[at - 1];
  if (!at || at - 1 >= to) return nullptr;
  ui_node *n = (ui_node *)ctx->previous_nodes.data + (at - 1);
  invariant(n->id == id);
  return n;
}

static ui_node *scan(buffer arena, ui_id id, ui_node *from, ui_node *to) {
  ui_node *first = (ui_node *)arena.data;
  ui_node *end = (ui_node *)(arena.data + arena.used);
  invariant(range_is_whole_elements(first, end, sizeof(ui_node)));
  if (!first) return nullptr;
  if (from) {
    invariant(from >= first && from <= end);
    first = from;
  }
  if (to) {
    invariant(to >= first && to <= end);
    end = to;
  }
  for (ui_node *n = first; n < end; n++) {
    if (n->id == id) return n;
  }
  return nullptr;
}

ui_node *ui_find_previous_range(ui_context *ctx, ui_id id, ui_node *from, ui_node *to) {
  if (id == UI_ID_NONE) return nullptr;  // released records carry -1 and match nothing real
  if (!ctx->index_valid) return scan(ctx->previous_nodes, id, from, to);
  ui_node *first = (ui_node *)ctx->previous_nodes.data;
  ui_node *end = (ui_node *)(ctx->previous_nodes.data + ctx->previous_nodes.used);
  if (!first) return nullptr;
  if (from) invariant(from >= first && from <= end && range_is_whole_elements(first, from, sizeof(ui_node)));
  if (to) invariant(to >= (from ? from : first) && to <= end);
  u64 from_index = from ? (u64)(from - first) : 0;
  u64 to_index = to ? (u64)(to - first) : (u64)(end - first);
  return index_find(ctx, id, from_index, to_index);
}
ui_node *ui_find_previous(ui_context *ctx, ui_id id) { return ui_find_previous_range(ctx, id, nullptr, nullptr); }
ui_node *ui_find_current(ui_context *ctx, ui_id id) {
  if (id == UI_ID_NONE) return nullptr;
  return scan(ctx->nodes, id, nullptr, nullptr);
}

bool ui_id_was_visible(ui_context *ctx, ui_id id) {
  ui_node *n = ui_find_previous(ctx, id);
  while (n) {
    if (n->visible) return true;
    n = ui_find_previous_range(ctx, id, n + 1, nullptr);
  }
  return false;
}

static ui_node *topmost(ui_node *node) {
  while (node->parent) node = node->parent;
  return node;
}

bool ui_node_in_popup(ui_context *ctx, ui_node *node) {
  return ctx->popup_root && topmost(node)->id == ctx->popup_root->id;
}

bool ui_node_hit_test(ui_context *ctx, ui_node *node, v2 point) {
  rect test = node->rect;
  for (ui_node *p = node->parent; p; p = p->parent) {
    if (ui_node_has_flags(p, ui_node_flag_clip)) {
      test = rect_intersection(test, p->rect);
      break;
    }
  }
  if (!rect_contains(test, point)) return false;
  if (topmost(node)->id == UI_ID_POPUP_ROOT) return true;
  // The frame's events happened over what the previous frame showed: a popup drawn then covers
  // the main tree for all of them, also after a choice in it closed it earlier in this frame (a
  // click whose press and release arrive together would otherwise land on both layers).
  ui_node *popup = ui_find_previous(ctx, UI_ID_POPUP_ROOT);
  if (popup && popup->visible) return !rect_contains(popup->rect, point);
  return !ctx->popup_root;
}

void ui_popup_close(ui_context *ctx) {
  ctx->popup_hot = ctx->popup_active = UI_ID_NONE;
  ctx->popup_root = nullptr;
  ctx->popup_anchor = nullptr;
}

// ---- Clip and fonts ----------------------------------------------------------------------

static void scissor_all(ui_context *ctx, u32 enabled, rect r) {
  s32 x = (s32)r.x0, y = (s32)r.y0, w = (s32)(r.x1 - r.x0), h = (s32)(r.y1 - r.y0);
  ui_gfx_scissor(ctx->shape_batch, enabled, x, y, w, h);
  ui_gfx_scissor(ctx->text_batch, enabled, x, y, w, h);
  ui_gfx_scissor(ctx->icon_batch, enabled, x, y, w, h);
  ui_gfx_scissor(ctx->image_batch, enabled, x, y, w, h);
}

rect ui_clip_push(ui_context *ctx, rect r, bool intersect) {
  rect previous = ctx->clip;
  if (rect_width(r) >= 0 && rect_height(r) >= 0) {
    rect clip = r;
    if (intersect && rect_width(ctx->clip) >= 0 && rect_height(ctx->clip) >= 0) {
      clip = rect_intersection(r, ctx->clip);
      if (clip.x1 < clip.x0) clip.x1 = clip.x0;
      if (clip.y1 < clip.y0) clip.y1 = clip.y0;
    }
    // Fill shares can be fractional while the scissor takes whole pixels: take every pixel the
    // rectangle touches.
    clip = rect{floorf(clip.x0), floorf(clip.y0), ceilf(clip.x1), ceilf(clip.y1)};
    ctx->clip = clip;
    scissor_all(ctx, 1, clip);
  } else {
    ctx->clip = rect{0, 0, -1, -1};
    scissor_all(ctx, 0, rect{0, 0, 0, 0});
  }
  return previous;
}

bool ui_rect_visible(ui_context *ctx, rect r) {
  if (rect_width(ctx->clip) < 0 || rect_height(ctx->clip) < 0) return true;
  return rect_overlaps(r, ctx->clip);
}

font *ui_font_get(ui_context *ctx, u32 index) { return ui_gfx_font(ctx->fonts, index); }
u32 ui_font_set(ui_context *ctx, u32 index) {
  u32 previous = ctx->font;
  ctx->font = index;
  return previous;
}
font *ui_font_current(ui_context *ctx) { return ui_font_get(ctx, ctx->font); }

// ---- Flow runs ---------------------------------------------------------------------------

u32 ui_flow_next_run(void **segment, u64 user, const char **begin, const char **end, u32 stay) {
  (void)user;
  invariant(segment && begin && end);
  ui_node *node = (ui_node *)*segment;
  if (!stay) {
    if (!node || !node->next || !ui_node_has_flags(node->next, ui_node_flag_text)) return 0;
    node = node->next;
    *segment = node;
  }
  if (!node || !node->text_list || node->text_shown >= node->text_count) return 0;
  buffer t = node->text_list[node->text_shown];
  *begin = (const char *)t.data;
  *end = (const char *)(t.data + t.used);
  return 1;
}
