// The HTML display's block cache: per parse, the height each block of the walk had when it was
// last measured, the blocks one frame built (measured from their nodes in the next), the sum of
// the known heights, and the place where the last walk stood before the visible range, so that a
// frame builds only the blocks on screen and stands one spacer for the rest.
#include "app/html_blocks.h"

html_block_cache html_blocks;

void html_blocks_forget(html_block_cache *c) {
  for (u32 k = 0; k < c->capacity; k++) c->heights[k] = -1;
  c->total = 0;
  c->known_count = 0;
  c->resume_valid = false;
}

// Last frame's built blocks get their heights; a width other than the one the heights were
// measured at makes every other height unknown again (its blocks are then built and measured).
void html_blocks_measure(html_block_cache *c, ui_context *ctx, f32 width) {
  if (c->width != width) {
    html_blocks_forget(c);
    c->width = width;
  }
  if (c->frame + 1 != ctx->frame_count) c->built_count = 0;
  for (u32 i = 0; i < c->built_count; i++) {
    ui_node *first = c->built_first[i], *last = c->built_last[i];
    if (!ui_node_in_arena(ctx->previous_nodes, first) || !ui_node_in_arena(ctx->previous_nodes, last)) continue;
    f32 h = 0;
    bool known = true;
    for (ui_node *n = first; n; n = n->next) {
      if (!(n->known[1] & ui_known_size)) known = false;
      h += n->size[1];
      if (n == last) break;
    }
    u32 k = c->built[i];
    if (known) html_blocks_height_set(c, k, h);
  }
  c->built_count = 0;
}

// The cache of this parse, made in the HTML arena at the first walk; null when it has no room.
html_block_cache *html_blocks_of(view_state *view, u64 parse_serial) {
  html_block_cache *c = &html_blocks;
  if (c->serial == parse_serial && c->heights) return c;
  *c = html_block_cache{};
  // An element makes at most five blocks over its two visits (an image: the space after the flow
  // it ends, its own two spaces and itself; the end of a heading or of another block that ends a
  // flow: a space); a text two.
  u64 capacity = 6ull * view->html_tree.node_count + 16;
  if (capacity > 0xFFFFFFF0ull) return nullptr;
  buffer heights = buffer_push_grow(view, capacity * sizeof(f32) + 8);
  buffer built = buffer_push_grow(view, capacity * sizeof(u32) + 8);
  buffer firsts = buffer_push_grow(view, capacity * sizeof(ui_node *) + 8);
  buffer lasts = buffer_push_grow(view, capacity * sizeof(ui_node *) + 8);
  buffer stack = buffer_push_grow(view, HTML_RESUME_DEPTH * sizeof(u32) + 8);
  if (!heights.data || !built.data || !firsts.data || !lasts.data || !stack.data) return nullptr;
  c->resume_stack = (u32 *)align_up((u64)stack.data, 8);
  c->serial = parse_serial;
  c->capacity = (u32)capacity;
  c->heights = (f32 *)align_up((u64)heights.data, 8);
  c->built = (u32 *)align_up((u64)built.data, 8);
  c->built_first = (ui_node **)align_up((u64)firsts.data, 8);
  c->built_last = (ui_node **)align_up((u64)lasts.data, 8);
  html_blocks_forget(c);
  c->width = -1;
  c->first_changed = 0xFFFFFFFFu;
  return c;
}
