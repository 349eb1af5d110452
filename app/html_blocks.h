// The block cache of the HTML display (app/html_blocks.cpp): what one parse's walk remembers
// from frame to frame about the column of blocks it builds.
#pragma once

#include "app/app.h"

// A walk resumes only from shallow places, so saving one costs a few words.
#define HTML_RESUME_DEPTH 64

struct html_block_cache {
  u64 serial;       // the parse the blocks belong to; 0 none
  u32 capacity;     // blocks the arrays hold
  f32 width;        // the width the heights were measured at
  f32 *heights;     // per block; negative: unknown
  // The blocks built in frame `frame`, with their first and last top-level nodes.
  u32 *built;
  ui_node **built_first;
  ui_node **built_last;
  u32 built_count;
  u64 frame;
  // The sum and number of the known heights, and the blocks of the last complete walk: once the
  // walk is past the visible range with every height known, the rest is one spacer at once.
  f32 total;
  u32 known_count;
  u32 block_count;
  // Where the last walk stood before the visible range, to resume there: the traversal, the
  // walk's state and the first block whose height changed since (a change before it moves it).
  bool resume_valid;
  u32 resume_block;
  f32 resume_y;
  u32 resume_font;
  bool resume_in_raw;
  bool resume_block_ended;
  const html_node_attribute *resume_open_link;
  html_node *resume_parent;
  u64 resume_child_index;
  u64 resume_depth;
  u32 *resume_stack;
  u32 first_changed;
};

// The one cache: the shown entry's parse.
extern html_block_cache html_blocks;

// Every height goes through here, so the sum, the count and the first changed block stay true.
// Inline: the walk sets one for every space it passes.
inline void html_blocks_height_set(html_block_cache *c, u32 k, f32 h) {
  if (k >= c->capacity) return;
  f32 old = c->heights[k];
  if (old == h) return;
  if (old >= 0) c->total -= old;
  else c->known_count++;
  c->total += h;
  c->heights[k] = h;
  if (k < c->first_changed) c->first_changed = k;
}

// Every height unknown again, and no place to resume from.
void html_blocks_forget(html_block_cache *c);
// Gives last frame's built blocks their measured heights; another width forgets them all.
void html_blocks_measure(html_block_cache *c, ui_context *ctx, f32 width);
// The cache of the parse with this serial, made in the HTML arena at its first walk; null when
// the arena has no room for it.
html_block_cache *html_blocks_of(view_state *view, u64 parse_serial);
