// Text flows: a flow node's runs are word-wrapped by the text layout into generated lines of
// text nodes, regenerated for every width the flow is sized at.
#include "gfx/text_layout.h"
#include "ui/ui_internal.h"

static buffer tag(const char *s, u64 n) { return string_from_bytes(s, n); }

static ui_node *line_open(ui_context *ctx, f32 line) {
  ui_node *l = ui_node_create(ctx, UI_ID_NONE, ui_size_children_make(), ui_size_children_make(), ui_node_flag_stack_x);
  l->tag = tag("flow line", 9);
  ui_parent_push(ctx, l);
  ui_node *space = ui_space_y(ctx, ui_size_pixels_make(line));
  space->size[1] = line;
  space->known[0] = space->known[1] = ui_known_size;
  l->size[1] = line;
  l->known[1] = ui_known_size;
  return l;
}

static void line_close(ui_context *ctx, ui_node *content, ui_node *l) {
  l->known[0] |= ui_known_size;
  invariant(l->known[1] & ui_known_size);
  content->size[1] += l->size[1];
  ui_parent_pop(ctx);
}

void ui_compute_flow(ui_context *ctx, ui_node *node) {
  ui_node *instructions = node->first_child;
  invariant(instructions && (instructions->flags & ui_node_flag_flow_instructions));
  ui_node *first_run = instructions ? instructions->first_child : nullptr;
  f32 frame_y = ui_node_frame_along(ctx, node, 1);
  font *first_font = first_run ? ui_font_get(ctx, first_run->font) : nullptr;
  if (!first_run || !(first_run->flags & ui_node_flag_text) || !first_font) {
    node->size[1] = frame_y;
    node->known[1] |= ui_known_size;
    return;
  }
  u32 mode = (node->flags & ui_node_flag_flow_nowrap) ? 0 : TEXT_LAYOUT_SKIP_LEADING_BLANKS;
  f32 inner = node->size[0] - ui_node_frame_along(ctx, node, 0);
  if (inner < 0) inner = 0;
  ui_splice_begin(ctx, node, instructions);
  ui_node *content = ui_node_create(ctx, UI_ID_NONE, ui_size_parent_make(), ui_size_children_make(), ui_node_flag_stack_y);
  content->tag = tag("flow content", 12);
  ui_parent_push(ctx, content);
  text_layout layout = text_layout_make(0, inner, (text_layout_segment_callback)ui_flow_next_run);
  text_layout_iterator it = text_layout_iterator_make(&layout, first_run, 0);
  f32 line = ui_gfx_line_height_of(first_font);
  ui_node *open = nullptr;
  // Every call either consumes text or ends; the bound only guards a layout that would not.
  for (u64 guard = 0; guard < (1ull << 24); guard++) {
    u32 previous = it.previous_code_point;
    ui_node *run_node = (ui_node *)it.segment;
    font *f = ui_font_get(ctx, run_node ? run_node->font : first_run->font);
    text_layout_run run = text_layout_next_rect(&layout, &it, f ? f : first_font, mode);
    if (run.flags == 0) break;
    if (!open) open = line_open(ctx, line);
    if (run.flags & text_layout_run_text) {
      ui_node *source = (ui_node *)run.segment;
      f32 w = run.x1 - run.x0;
      ui_node *t = ui_node_create(ctx, ui_id_strip_fake(source->id), ui_size_pixels_make(w), ui_size_pixels_make(line),
                                  source->flags | ui_node_flag_flow_run);
      t->tag = tag("flow text", 9);
      t->style = source->style;
      t->font = source->font;
      t->run_previous_codepoint = previous;
      t->text = string_from_range(run.begin, run.end);
      t->text_list = &t->text;
      t->text_count = 1;
      t->size[0] = w;
      t->size[1] = line;
      t->known[0] = t->known[1] = ui_known_size;
      open->size[0] += w;
      // The slice of the source's ranges that overlaps this piece.
      u64 first = source->range_count, last = 0;
      for (u64 i = 0; i < source->range_count; i++) {
        const ui_text_range *r = &source->ranges[i];
        if ((const char *)r->begin < run.end && (const char *)r->end >= run.begin) {
          if (first == source->range_count) first = i;
          last = i + 1;
        }
      }
      if (first < last) {
        t->ranges = source->ranges + first;
        t->range_count = last - first;
      }
    }
    if (run.flags & text_layout_run_line_break) {
      text_layout_new_line(&layout, &it, 0, inner);
      line_close(ctx, content, open);
      open = line_open(ctx, line);
    }
  }
  if (open) line_close(ctx, content, open);
  content->size[0] = inner;
  content->known[0] = content->known[1] = ui_known_size;
  node->size[1] = content->size[1] + frame_y;
  node->known[1] |= ui_known_size;
  ui_parent_pop(ctx);
  ui_splice_end(ctx);
}
