// Text laid out into glyph quads with a real font collection: the advance rule the layout
// measures with, line ends, bad UTF-8, and the quad and index layout.
#include "gfx/gfx.h"

#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <vector>

namespace {

struct quad {
  f32 x[4], y[4], u[4], v[4];
  u32 colour;
};

struct text_quads : ::testing::Test {
  font_collection *fonts = nullptr;
  vertex_format format = gl_vertex_format(2, 1, 2, 4);
  std::vector<u8> vertices, indices;

  void SetUp() override {
    u32 error = 0;
    fonts = font_collection_create_default(20, nullptr, 0, &error);
    ASSERT_NE(fonts, nullptr) << "no usable font face";
    ASSERT_GE(fonts->font_count, 2u);
  }
  void TearDown() override {
    if (fonts) font_collection_destroy_default(fonts);
    font_system_shutdown();
  }
  std::vector<quad> lay_out(const std::string &text, f32 x, f32 y, u32 font_index, u32 first_vertex = 0,
                            s32 previous = -1) {
    vertices.assign(text.size() * 4 * 20 + 1, 0xCD);
    indices.assign(text.size() * 5 * 4 + 1, 0xCD);
    u32 n = gl_text_to_quads((const u8 *)text.data(), text.size(), x, y, previous, fonts, font_index,
                             vertices.data(), indices.data(), first_vertex, 0x11223344, format);
    EXPECT_LE(n, text.size());
    EXPECT_EQ(vertices.back(), 0xCD);
    EXPECT_EQ(indices.back(), 0xCD);
    std::vector<quad> out(n);
    for (u32 g = 0; g < n; g++) {
      for (u32 k = 0; k < 4; k++) {
        const u8 *p = vertices.data() + (g * 4 + k) * 20;
        memcpy(&out[g].x[k], p, 4);
        memcpy(&out[g].y[k], p + 4, 4);
        memcpy(&out[g].colour, p + 8, 4);
        memcpy(&out[g].u[k], p + 12, 4);
        memcpy(&out[g].v[k], p + 16, 4);
      }
    }
    return out;
  }
  font *proportional() { return &fonts->fonts[1]; }
};

TEST_F(text_quads, glyphs_sit_where_the_layout_measures_them) {
  const std::string text = "To AV. WAVY";
  font *f = proportional();
  std::vector<quad> q = lay_out(text, 10, 50, 1);
  ASSERT_EQ(q.size(), text.size());
  for (u32 k = 0; k < q.size(); k++) {
    font_glyph *g = font_get_glyph(f, (u8)text[k]);
    // The pen after this glyph, as the layout measures the prefix, less this glyph's advance, is
    // where this glyph's pen (with its kerning) stood.
    f32 after = text_layout_single_line_size(f, text.data(), text.data() + k + 1, -1, 10);
    EXPECT_NEAR(q[k].x[0] - g->left, after - g->advance, 1e-3f) << k;
    EXPECT_FLOAT_EQ(q[k].y[0], 50 + g->bottom);
    EXPECT_FLOAT_EQ(q[k].y[2], 50 + g->top);
    EXPECT_FLOAT_EQ(q[k].x[1] - q[k].x[0], g->right - g->left);
    EXPECT_FLOAT_EQ(q[k].u[0], (f32)g->x0 / fonts->atlas_width);
    EXPECT_FLOAT_EQ(q[k].v[2], (f32)g->y1 / fonts->atlas_height);
    EXPECT_EQ(q[k].colour, 0x11223344u);
  }
  // A proportional line starts exactly at x; a monospace one keeps the left bearing.
  EXPECT_FLOAT_EQ(q[0].x[0], 10);
  std::vector<quad> mono = lay_out("T", 10, 50, 0);
  EXPECT_FLOAT_EQ(mono[0].x[0], 10 + font_get_glyph(&fonts->fonts[0], 'T')->left);
}

TEST_F(text_quads, line_ends_and_bad_bytes) {
  font *f = proportional();
  f32 line = (f32)(f->ascent - f->descent + f->line_gap) * f->scale;
  font_glyph *b = font_get_glyph(f, 'B');
  for (const char *text : {"A\r\nB", "A\rB", "A\nB"}) {
    std::vector<quad> q = lay_out(text, 10, 100, 1);
    ASSERT_EQ(q.size(), 2u) << text;
    EXPECT_FLOAT_EQ(q[1].y[0], 100 - line + b->bottom);
    EXPECT_FLOAT_EQ(q[1].x[0], 10);
  }
  std::vector<quad> q = lay_out("A\n\nB", 10, 100, 1);
  ASSERT_EQ(q.size(), 2u);
  EXPECT_FLOAT_EQ(q[1].y[0], 100 - 2 * line + b->bottom);

  // Every bad byte draws the replacement glyph.
  q = lay_out("\xff\xc3Z\xe2\x82", 0, 0, 1);
  ASSERT_EQ(q.size(), 5u);
  font_glyph *fallback = font_get_glyph(f, 0xFFFD);
  for (u32 k : {0u, 1u, 3u, 4u}) EXPECT_FLOAT_EQ(q[k].u[0], (f32)fallback->x0 / fonts->atlas_width) << k;
  EXPECT_FLOAT_EQ(q[2].u[0], (f32)font_get_glyph(f, 'Z')->x0 / fonts->atlas_width);
  // Two-byte and three-byte characters are one glyph each.
  EXPECT_EQ(lay_out("\xc3\xa9\xe2\x80\xa6", 0, 0, 1).size(), 2u);
}

TEST_F(text_quads, indices_number_on_from_the_first_vertex_with_a_restart_after_each_glyph) {
  std::vector<quad> q = lay_out("abc", 0, 0, 1, 40);
  ASSERT_EQ(q.size(), 3u);
  for (u32 g = 0; g < 3; g++) {
    u32 want[5] = {40 + 4 * g, 41 + 4 * g, 42 + 4 * g, 43 + 4 * g, 0xFFFFFFFFu};
    for (u32 k = 0; k < 5; k++) {
      u32 got;
      memcpy(&got, indices.data() + (g * 5 + k) * 4, 4);
      EXPECT_EQ(got, want[k]);
    }
  }
  // Kerning against text drawn before: the first glyph follows the previous code point's glyph.
  font *f = proportional();
  std::vector<quad> after_a = lay_out("V", 0, 0, 1, 0, 'A');
  font_glyph *a = font_get_glyph(f, 'A');
  EXPECT_FLOAT_EQ(after_a[0].x[0], font_get_glyph(f, 'V')->left + font_get_kerning(f, a, 'V') * f->scale);
  // A bad font index draws nothing.
  EXPECT_EQ(lay_out("abc", 0, 0, 99).size(), 0u);
}

}  // namespace
