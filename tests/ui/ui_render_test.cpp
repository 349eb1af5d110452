// Rendering a small tree into batches, without a display: what is recorded, where, and in which
// order, with the clip as scissor commands.
#include <gtest/gtest.h>

#include <vector>

#include "gfx/render.h"
#include "tests/ui/ui_test_support.h"

struct recorded_batches {
  std::vector<u8> memory = std::vector<u8>(MiB(4));
  gl_batch batches[7];
  gl_batch *pointers[7];
  recorded_batches() {
    buffer arena = buffer_make(memory.size(), 0, memory.data());
    vertex_format shapes = gl_vertex_format(2, 1, 0, 2), text = gl_vertex_format(2, 1, 2, 4);
    for (int i = 0; i < 7; i++) {
      bool is_text = i == 1 || i == 4;
      batches[i] = is_text ? gl_batch_init_text(&arena, 4096, 64, text, 0, nullptr, nullptr)
                           : gl_batch_init_shapes(&arena, 1000, 100, i == 6 || i == 2 || i == 5 ? text : shapes, 0, nullptr);
      pointers[i] = &batches[i];
    }
  }
  const render_command *command(int batch, u32 i) { return (const render_command *)batches[batch].commands.data + i; }
  // The rectangle of a recorded strip from its top-left and bottom-right vertices.
  rect strip_rect(int batch, u32 i) {
    const render_command *c = command(batch, i);
    u32 stride = gl_vertex_format_stride(batches[batch].format);
    const f32 *tl = (const f32 *)c->strip.vertices;
    const f32 *br = (const f32 *)(c->strip.vertices + 3 * stride);
    return rect{tl[0], br[1], br[0], tl[1]};
  }
};

TEST(ui_render, small_tree_into_batches_with_clip) {
  recorded_batches rb;
  ui_fixture f(rb.pointers);
  ui_node *kids[4] = {};
  f.frame([&](ui_context *c) {
    ui_node *root = ui_node_create(c, 1, ui_size_pixels_make(200), ui_size_pixels_make(100),
                                   ui_node_flag_stack_y | ui_node_flag_clip | ui_node_flag_border | ui_node_flag_background);
    root->style = 2;
    ui_parent_push(c, root);
    kids[0] = ui_node_create(c, 2, ui_size_pixels_make(50), ui_size_pixels_make(20), ui_node_flag_background);
    kids[1] = ui_node_create(c, 3, ui_size_pixels_make(50), ui_size_pixels_make(200), ui_node_flag_background);
    kids[2] = ui_node_create(c, 4, ui_size_pixels_make(50), ui_size_pixels_make(20), ui_node_flag_background);
    kids[3] = ui_node_create(c, 5, ui_size_pixels_make(0), ui_size_pixels_make(20), ui_node_flag_background);
    for (ui_node *k : kids) k->style = 15;
    ui_parent_pop(c);
  });
  // Shapes: scissor on, frame border, background inside it, the two children that meet the
  // clip, scissor off. The third child lies wholly below the clip; the fourth has no width.
  gl_batch &shapes = rb.batches[0];
  ASSERT_EQ(shapes.command_count, 6u);
  EXPECT_EQ(rb.command(0, 0)->kind, (u32)render_command_scissor);
  EXPECT_EQ(rb.command(0, 0)->scissor.enabled, 1u);
  EXPECT_EQ(rb.command(0, 0)->scissor.y, 500);
  EXPECT_EQ(rb.command(0, 0)->scissor.width, 200);
  EXPECT_EQ(rb.command(0, 0)->scissor.height, 100);
  EXPECT_TRUE(rect_equal(rb.strip_rect(0, 1), rect{0, 500, 200, 600}));
  EXPECT_TRUE(rect_equal(rb.strip_rect(0, 2), rect{1, 501, 199, 599}));
  EXPECT_TRUE(rect_equal(rb.strip_rect(0, 3), rect{1, 579, 51, 599}));
  EXPECT_TRUE(rect_equal(rb.strip_rect(0, 4), rect{1, 379, 51, 579}));
  EXPECT_EQ(rb.command(0, 5)->kind, (u32)render_command_scissor);
  EXPECT_EQ(rb.command(0, 5)->scissor.enabled, 0u);
  // The clip goes to every batch of the layer and to images, and is none again afterwards.
  for (int b : {1, 2, 6}) EXPECT_EQ(rb.batches[b].command_count, 2u) << b;
  EXPECT_EQ(rb.batches[3].command_count, 0u);
  EXPECT_LT(rect_width(f.ctx->clip), 0);
  EXPECT_EQ(kids[1]->visible, 1u);
  EXPECT_EQ(kids[2]->visible, 0u);
  EXPECT_EQ(kids[3]->visible, 0u);

  // Hot and active pick the state colours: style 15's background is accent normally, G50 hot.
  for (gl_batch &b : rb.batches) gl_batch_clear(&b);
  f.mouse_move(10, 590);
  f.frame([&](ui_context *c) {
    ui_node *root = ui_node_create(c, 1, ui_size_pixels_make(200), ui_size_pixels_make(100), ui_node_flag_stack_y);
    ui_parent_push(c, root);
    ui_node *k = ui_node_create(c, 2, ui_size_pixels_make(50), ui_size_pixels_make(20), ui_node_flag_background);
    k->style = 15;
    ui_set_hot(c, k);
    ui_parent_pop(c);
  });
  ASSERT_EQ(rb.batches[0].command_count, 1u);
  const render_command *c = rb.command(0, 0);
  u32 colour = *(const u32 *)(c->strip.vertices + 8);
  EXPECT_EQ(colour, rgba_to_u32(rgba{0.5f, 0.5f, 0.5f, 1}));
}

// A popup opened near the bottom-right corner: its scrollable list is clamped to the room below
// and right of the anchor, gets a scrollbar, and is drawn into the popup batches only.
TEST(ui_render, popup_list_is_clamped_to_the_room_and_drawn_on_top) {
  recorded_batches rb;
  ui_fixture f(rb.pointers);
  ui_node *list = nullptr;
  f.frame([&](ui_context *c) {
    ui_node *root = ui_node_create(c, UI_ID_NONE, ui_size_pixels_make(800), ui_size_pixels_make(600), ui_node_flag_stack_y);
    ui_parent_push(c, root);
    ui_node *space = ui_node_create(c, UI_ID_NONE, ui_size_pixels_make(700), ui_size_pixels_make(500), ui_node_flag_stack_x);
    ui_parent_push(c, space);
    ui_node_create(c, UI_ID_NONE, ui_size_pixels_make(700), ui_size_pixels_make(480), 0);
    ui_parent_pop(c);
    ui_node *anchor = ui_node_create(c, 20, ui_size_pixels_make(60), ui_size_pixels_make(20), 0);
    anchor->position[0] = 0;
    ui_parent_pop(c);
    // The popup tree as the dropdown builds it: a root of its own with a scrollable list.
    ui_node *saved = c->parent;
    c->parent = nullptr;
    ui_node *popup = ui_node_create(c, UI_ID_POPUP_ROOT, ui_size_children_make(), ui_size_children_make(),
                                    ui_node_flag_stack_y | ui_node_flag_border | ui_node_flag_background);
    popup->style = 9;
    c->popup_root = popup;
    c->popup_anchor = anchor;
    ui_parent_push(c, popup);
    ui_node *view = ui_node_create(c, 21, ui_size_pixels_make(120), ui_size_children_make(), ui_node_flag_scroll_y);
    ui_parent_push(c, view);
    list = ui_node_create(c, ui_id_with_modifier(21, ui_id_modifier_scrollable_content), ui_size_parent_make(),
                          ui_size_children_make(), ui_node_flag_stack_y);
    ui_parent_push(c, list);
    for (int i = 0; i < 20; i++) ui_node_create(c, 100 + i, ui_size_parent_make(), ui_size_pixels_make(20), ui_node_flag_background)->style = 8;
    ui_parent_pop(c);
    ui_parent_pop(c);
    ui_parent_pop(c);
    c->parent = saved;
  });
  ui_node *view = list->parent;
  // The anchor sits under the 500-pixel block: its bottom edge is at y 80; the room below it is
  // 80 less the popup root's border (its padding does not count without the padding flag).
  EXPECT_EQ(view->size[1], 78);
  EXPECT_EQ(view->size[0], 120 - 16);
  EXPECT_EQ(f.ctx->popup_root->rect.y1, 80);
  EXPECT_EQ(rb.batches[0].command_count, 0u);  // nothing of the main tree draws
  EXPECT_GT(rb.batches[3].command_count, 4u);  // popup shapes: frame, rows, the scrollbar
  EXPECT_EQ(f.ctx->shape_batch, &rb.batches[0]);  // the batches are exchanged back
}
