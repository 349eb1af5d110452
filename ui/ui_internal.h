// What the toolkit's own files share and nothing outside ui/ needs.
#pragma once

#include "ui/ui.h"

extern const char ui_tag_scrollbars_container[];
extern const char ui_tag_vertical_container[];
extern const char ui_tag_horizontal_container[];

// Border plus padding of a node along an axis (0 x, 1 y), as far as its flags count them.
f32 ui_node_frame_along(ui_context *ctx, const ui_node *node, u32 axis);
// Generates a flow node's lines and runs for its known width and settles its height.
void ui_compute_flow(ui_context *ctx, ui_node *node);
// One line of a font without the line gap (0 without a font).
f32 ui_gfx_line_height_of(font *f);

// Makes room for n more bytes at the alignment in a frame's view of its arena, committing whole
// steps up to the context's budget; false when the budget or the system refuses.
bool ui_arena_grow(buffer *view, arena *a, u64 limit, u64 n, u64 alignment);
// Indexes the previous frame's node records by id (after the arenas changed places).
void ui_index_build(ui_context *ctx);
// Gives back the committed memory of an emptied arena beyond twice the recent use plus a margin.
void ui_arena_trim(buffer *view, arena *a, u64 recent_use);
