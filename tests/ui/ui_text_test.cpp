// Text sizes and flows with a real font from the system (DejaVu through fontconfig).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "gfx/font.h"
#include "gfx/text_layout.h"
#include "tests/ui/ui_test_support.h"

struct font_fixture {
  u32 codepoints[FONT_BASE_CODEPOINT_COUNT];
  font_collection *fonts = nullptr;
  buffer file{};
  font_fixture() {
    u32 error = 0;
    font_base_codepoints(codepoints);
    file = font_load_file("DejaVu Sans", 0, nullptr, &error);
    fonts = font_collection_create(MiB(8), &error);
    if (fonts && file.used) font_collection_add_font(fonts, file, 14, codepoints, FONT_BASE_CODEPOINT_COUNT, 0, &error);
    if (fonts && !error) font_build_collection(fonts, &error);
    if (error) fonts = nullptr;
  }
  ~font_fixture() { font_system_shutdown(); }
};

TEST(ui_text, text_and_line_rules_and_flows) {
  font_fixture ff;
  if (!ff.fonts) GTEST_SKIP() << "no DejaVu Sans";
  ui_fixture f;
  f.ctx->fonts = ff.fonts;
  font *ft = &ff.fonts->fonts[0];
  f32 line = font_line_height(ft, 0);
  ui_node *label = nullptr, *one = nullptr, *two = nullptr;
  auto flow = [&](ui_context *c, const char *text) {
    ui_node *n = ui_node_create(c, UI_ID_NONE, ui_size_pixels_make(300), ui_size_flow_make(), 0);
    ui_parent_push(c, n);
    ui_node *ins = ui_node_create(c, UI_ID_NONE, ui_size_none_make(), ui_size_none_make(), ui_node_flag_flow_instructions);
    ui_parent_push(c, ins);
    ui_node *run = ui_node_create(c, 70, ui_size_none_make(), ui_size_none_make(), ui_node_flag_text);
    ui_node_set_text(c, run, string_from_bytes(text, strlen(text)), false);
    ui_parent_pop(c);
    ui_parent_pop(c);
    return n;
  };
  f.frame([&](ui_context *c) {
    ui_node *root = ui_node_create(c, UI_ID_NONE, ui_size_pixels_make(400), ui_size_children_make(), ui_node_flag_stack_y);
    ui_parent_push(c, root);
    label = ui_node_create(c, 1, ui_size_text_make(), ui_size_line_make(), ui_node_flag_text | ui_node_flag_border | ui_node_flag_padding);
    label->style = 2;
    ui_node_set_text(c, label, string_lit("Hello"), true);
    one = flow(c, "short words");
    two = flow(c, "first\nsecond");
    ui_parent_pop(c);
  });
  rect r = text_layout_text_size(ft, string_lit("Hello"), -1, 0, 0);
  EXPECT_EQ(label->size[0], std::ceil(r.x1 - r.x0) + 22);
  EXPECT_EQ(label->size[1], line + 6);
  // One run narrower than the width: one line holding one text node.
  ui_node *content = one->first_child->next;
  ASSERT_NE(content, nullptr);
  ASSERT_NE(content->first_child, nullptr);
  EXPECT_EQ(content->first_child->next, nullptr);
  EXPECT_EQ(one->size[1], line);
  // A line break makes two lines.
  EXPECT_EQ(two->size[1], 2 * line);
  ui_node *first_line = two->first_child->next->first_child;
  ui_node *text = first_line->first_child->next;
  EXPECT_EQ(std::string((const char *)text->text.data, text->text.used), "first");
  EXPECT_EQ(text->id, 70u);
}
