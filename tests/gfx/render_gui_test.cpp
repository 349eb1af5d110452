// The renderer on a real context (a private Xvfb): a recorded frame of a clear, rectangles, a
// scissor and images is executed and read back pixel by pixel; draw calls are counted through
// the function table.
#include "gfx/gfx.h"
#include "tests/support/isolation.h"
#include "tests/support/xvfb_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The suppressions of the system libraries are defined once for this test program, in the window
// tests.


namespace {

struct draw_call {
  GLsizei count;
  u64 offset;
};
std::vector<draw_call> draw_calls;
PFNGLDRAWELEMENTSPROC real_draw_elements;

void APIENTRY counting_draw_elements(GLenum mode, GLsizei count, GLenum type, const void *offset) {
  draw_calls.push_back({count, (u64)offset});
  real_draw_elements(mode, count, type, offset);
}
struct base_vertex_call {
  GLsizei count;
  u64 offset;
  GLint base;
};
std::vector<base_vertex_call> base_vertex_calls;
PFNGLDRAWELEMENTSBASEVERTEXPROC real_draw_elements_base_vertex;
void APIENTRY counting_draw_elements_base_vertex(GLenum mode, GLsizei count, GLenum type, const void *offset,
                                                 GLint base) {
  base_vertex_calls.push_back({count, (u64)offset, base});
  real_draw_elements_base_vertex(mode, count, type, offset, base);
}

struct render_gui : ::testing::Test {
  xvfb_server server;
  window w = {};
  gl_renderer renderer = {};

  void SetUp() override {
    test_keep_gl_libraries_loaded();
    ASSERT_TRUE(xvfb_start(&server)) << "Xvfb did not start";
    window_create(&w, string_lit("render"), 320, 240, WINDOW_CENTRED, WINDOW_CENTRED, 0);
    ASSERT_EQ(w.running, 1u);
    renderer = gl_renderer_create(320, 240, gl_renderer_flag_blend);
    real_draw_elements = gl.glDrawElements;
    gl.glDrawElements = counting_draw_elements;
    real_draw_elements_base_vertex = gl.glDrawElementsBaseVertex;
    gl.glDrawElementsBaseVertex = counting_draw_elements_base_vertex;
    draw_calls.clear();
    base_vertex_calls.clear();
  }
  void TearDown() override {
    if (real_draw_elements) gl.glDrawElements = real_draw_elements;
    if (real_draw_elements_base_vertex) gl.glDrawElementsBaseVertex = real_draw_elements_base_vertex;
    if (w.handle || w.running) window_destroy(&w);
    xvfb_stop(&server);
  }
  // The pixel at (x, y), bottom-left origin, from the back buffer the frame was drawn into.
  std::vector<u8> pixel(s32 x, s32 y) {
    u8 p[4] = {};
    gl.glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, p);
    return {p[0], p[1], p[2]};
  }
  std::string log() {
    buffer b = gfx_log_text();
    return std::string((const char *)b.data, b.used);
  }
};

const std::vector<u8> red = {255, 0, 0}, green = {0, 255, 0}, blue = {0, 0, 255}, white = {255, 255, 255};
const std::vector<u8> background = {0, 0, 0};

TEST_F(render_gui, a_recorded_frame_draws_rectangles_scissors_and_images) {
  gl_batch *shapes = gl_renderer_add_shape_batch_default(&renderer);
  gl_batch *images = gl_renderer_add_image_batch_default(&renderer);
  ASSERT_NE(shapes, nullptr);
  ASSERT_NE(images, nullptr);
  ASSERT_NE(shapes->program, 0u) << log();
  ASSERT_NE(images->program, 0u) << log();

  // Quadrants red, green (bottom row), blue, white (top row) of a 2 by 2 texture.
  u8 quad[16] = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255};
  gl_texture colours = gl_texture_create(quad, 2, 2, 4, 0);
  // Three grey pixels in one row: 3 bytes a row, so the upload needs byte alignment.
  u8 greys[3] = {0, 128, 255};
  gl_texture ramp = gl_texture_create(greys, 3, 1, 1, 0);
  GLint alignment = 0;
  gl.glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
  EXPECT_EQ(alignment, 4);
  ASSERT_NE(colours.handle, 0u);

  for (u32 frame = 0; frame < 2; frame++) {
    draw_calls.clear();
    gl_renderer_clear(&renderer);
    gl_renderer_begin_frame(&renderer, 0, 0, 320, 240);
    render_push_clear(&renderer, rgba{0, 0, 0, 1});
    gl_batch_rectangle(shapes, rect{10, 10, 50, 50}, nullptr, nullptr, rgba{1, 0, 0, 1});
    gl_batch_scissor(shapes, 1, 0, 0, 80, 240);
    gl_batch_rectangle(shapes, rect{60, 60, 120, 100}, nullptr, nullptr, rgba{0, 0, 1, 1});
    gl_batch_scissor(shapes, 0, 0, 0, 0, 0);
    gl_batch_textured_rectangle(images, rect{150, 100, 190, 140}, nullptr, nullptr, rgba{1, 1, 1, 1},
                                colours.handle, 4);
    gl_batch_textured_rectangle(images, rect{200, 10, 230, 20}, nullptr, nullptr, rgba{1, 1, 1, 1}, ramp.handle,
                                1);
    gl_renderer_end_frame(&renderer);
    gl.glFinish();
    EXPECT_EQ(gl.glGetError(), (GLenum)GL_NO_ERROR);

    EXPECT_EQ(pixel(5, 5), background);
    EXPECT_EQ(pixel(10, 10), red);
    EXPECT_EQ(pixel(49, 49), red);
    EXPECT_EQ(pixel(50, 30), background);
    // The blue rectangle is cut at the scissor's right edge.
    EXPECT_EQ(pixel(60, 60), blue);
    EXPECT_EQ(pixel(79, 99), blue);
    EXPECT_EQ(pixel(80, 80), background);
    EXPECT_EQ(pixel(110, 80), background);
    // The image's quadrants, row 0 of the texture at the bottom.
    EXPECT_EQ(pixel(155, 105), red);
    EXPECT_EQ(pixel(185, 105), green);
    EXPECT_EQ(pixel(155, 135), blue);
    EXPECT_EQ(pixel(185, 135), white);
    // One byte per pixel draws grey.
    EXPECT_EQ(pixel(205, 15), (std::vector<u8>{0, 0, 0}));
    EXPECT_EQ(pixel(215, 15), (std::vector<u8>{128, 128, 128}));
    EXPECT_EQ(pixel(225, 15), white);

    // Shapes: two draws of one strip each (4 vertices and the restart), split by the scissor;
    // images: one draw per rectangle.
    ASSERT_EQ(draw_calls.size(), 4u);
    EXPECT_EQ(draw_calls[0].count, 5);
    EXPECT_EQ(draw_calls[0].offset, 0u);
    EXPECT_EQ(draw_calls[1].count, 5);
    EXPECT_EQ(draw_calls[1].offset, 10u);
    EXPECT_EQ(draw_calls[2].count, 5);
    EXPECT_EQ(draw_calls[3].offset, 10u);
    // The upload counters start over for the next frame.
    EXPECT_EQ(shapes->vbo_used, 0u);
    EXPECT_EQ(shapes->vertex_count, 0u);
    window_swap_buffers(&w);
  }
  gl_texture_destroy(&colours);
  gl_texture_destroy(&ramp);
  EXPECT_EQ(colours.handle, 0u);
}

struct buffer_call {
  GLenum target;
  u64 size;
  bool sub;
};
std::vector<buffer_call> buffer_calls;
PFNGLBUFFERDATAPROC real_buffer_data;
PFNGLBUFFERSUBDATAPROC real_buffer_sub_data;
void APIENTRY recording_buffer_data(GLenum target, GLsizeiptr size, const void *data, GLenum usage) {
  buffer_calls.push_back({target, (u64)size, false});
  real_buffer_data(target, size, data, usage);
}
void APIENTRY recording_buffer_sub_data(GLenum target, GLintptr offset, GLsizeiptr size, const void *data) {
  buffer_calls.push_back({target, (u64)size, true});
  real_buffer_sub_data(target, offset, size, data);
}

// The renderer's batches start from tiny budgets and take the frame whole; each frame hands GL
// exactly the vertex and index bytes it draws, once per buffer, whatever the budgets were.
TEST_F(render_gui, batches_grow_past_their_budgets_and_upload_only_what_the_frame_draws) {
  gl_batch *shapes = gl_renderer_add_shape_batch(&renderer, 2, 2, 0, 0, nullptr);
  gl_batch *text = gl_renderer_add_text_batch(&renderer, 2, 2, 0, 0, nullptr, nullptr, 14);
  ASSERT_NE(shapes, nullptr);
  ASSERT_NE(text, nullptr);
  ASSERT_NE(text->fonts, nullptr) << log();
  real_buffer_data = gl.glBufferData;
  real_buffer_sub_data = gl.glBufferSubData;
  gl.glBufferData = recording_buffer_data;
  gl.glBufferSubData = recording_buffer_sub_data;
  u64 log_before = gfx_log_text().used;
  for (u32 rectangles : {30u, 1u}) {
    gl_renderer_clear(&renderer);
    render_push_clear(&renderer, rgba{0, 0, 0, 1});
    for (u32 i = 0; i < rectangles; i++) {
      f32 x = 10.0f * i;
      ASSERT_NE(gl_batch_rectangle(shapes, rect{x, 0, x + 5, 5}, nullptr, nullptr, rgba{0, 1, 0, 1}), nullptr);
    }
    // Four glyphs: line breaks and an empty text draw none.
    ASSERT_NE(gl_batch_text(text, (const u8 *)"AB", 2, 10, 200, 0, 0, rgba{1, 1, 1, 1}), nullptr);
    ASSERT_NE(gl_batch_text(text, (const u8 *)"C\r\nD", 4, 10, 180, 0, 1, rgba{1, 1, 1, 1}), nullptr);
    ASSERT_NE(gl_batch_text(text, (const u8 *)"", 0, 10, 160, 0, 1, rgba{1, 1, 1, 1}), nullptr);
    buffer_calls.clear();
    gl_renderer_end_frame(&renderer);
    gl.glFinish();
    EXPECT_EQ(gl.glGetError(), (GLenum)GL_NO_ERROR);
    ASSERT_EQ(buffer_calls.size(), 4u);
    EXPECT_EQ(buffer_calls[0].target, (GLenum)GL_ARRAY_BUFFER);
    EXPECT_EQ(buffer_calls[0].size, rectangles * 4 * 12ull);
    EXPECT_EQ(buffer_calls[1].target, (GLenum)GL_ELEMENT_ARRAY_BUFFER);
    EXPECT_EQ(buffer_calls[1].size, rectangles * 5 * 2ull);
    EXPECT_EQ(buffer_calls[2].size, 4 * 4 * 20ull);
    EXPECT_EQ(buffer_calls[3].size, 4 * 5 * 4ull);
    for (const buffer_call &c : buffer_calls) EXPECT_FALSE(c.sub);
    for (u32 i = 0; i < rectangles; i++) EXPECT_EQ(pixel(10 * (s32)i + 2, 2), green) << i;
    EXPECT_EQ(pixel(10 * (s32)rectangles + 2, 2), background);
    window_swap_buffers(&w);
  }
  gl.glBufferData = real_buffer_data;
  gl.glBufferSubData = real_buffer_sub_data;
  EXPECT_EQ(log().substr(log_before).find("dropped"), std::string::npos) << log();
  font_system_shutdown();
}

// A link-dense page records a text per run: far more sub-commands than the program's first
// budget (1,550), and every one of them is laid out and drawn, the last as surely as the first.
TEST_F(render_gui, a_text_batch_draws_every_text_of_a_frame_past_its_first_budget) {
  log_mark mark = log_mark_now();  // earlier tests of the process may have dropped on purpose
  gl_batch *text = gl_renderer_add_text_batch(&renderer, 74400, 1550, 0, 0, nullptr, nullptr, 14);
  ASSERT_NE(text, nullptr);
  ASSERT_NE(text->fonts, nullptr) << log();
  gl_renderer_clear(&renderer);
  render_push_clear(&renderer, rgba{0, 0, 0, 1});
  const u32 n = 20000;
  for (u32 i = 0; i + 1 < n; i++) {
    // All but the last in the left half, clipped away in one scissor run.
    if (i == 0) gl_batch_scissor(text, 1, 0, 0, 100, 240);
    ASSERT_NE(gl_batch_text(text, (const u8 *)"M", 1, (f32)(i % 90), (f32)(i % 200), 0, 0, rgba{1, 1, 1, 1}), nullptr);
  }
  gl_batch_scissor(text, 0, 0, 0, 0, 0);
  render_command *last = gl_batch_text(text, (const u8 *)"MMMM", 4, 200, 100, 0, 0, rgba{1, 1, 1, 1});
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(text->command_count, n + 2);
  gl_renderer_end_frame(&renderer);
  gl.glFinish();
  EXPECT_EQ(gl.glGetError(), (GLenum)GL_NO_ERROR);
  EXPECT_EQ(last->text.glyph_count, 4u);
  render_command *commands = (render_command *)text->commands.data;
  u32 drawn = 0;
  for (u32 i = 0; i < text->command_count; i++) drawn += commands[i].kind == render_command_text && commands[i].text.glyph_count == 1;
  EXPECT_EQ(drawn, n - 1);
  std::vector<u8> p(320 * 240 * 4);
  gl.glReadPixels(0, 0, 320, 240, GL_RGBA, GL_UNSIGNED_BYTE, p.data());
  u32 lit_right = 0, lit_between = 0;
  for (s32 y = 0; y < 240; y++) {
    for (s32 x = 100; x < 320; x++) {
      bool lit = p[(y * 320 + x) * 4] != 0;
      if (x >= 195) lit_right += lit;
      else lit_between += lit;
    }
  }
  EXPECT_GT(lit_right, 20u);
  EXPECT_EQ(lit_between, 0u);
  EXPECT_EQ(log_count_since(mark, "dropped"), 0u) << log_since(mark);
  font_system_shutdown();
}

// One-byte indices number 255 vertices: 100 rectangles are drawn in two runs, the second from
// its own base vertex, and every one of them shows.
TEST_F(render_gui, more_vertices_than_the_index_size_numbers_are_drawn_in_runs) {
  gl_batch *shapes = gl_renderer_add_shape_batch(&renderer, 2, 2, gl_vertex_format(2, 1, 0, 1), 0, nullptr);
  ASSERT_NE(shapes, nullptr);
  gl_renderer_clear(&renderer);
  render_push_clear(&renderer, rgba{0, 0, 0, 1});
  for (u32 i = 0; i < 100; i++) {
    f32 x = 15.0f * (i % 20), y = 15.0f * (i / 20);
    ASSERT_NE(gl_batch_rectangle(shapes, rect{x, y, x + 4, y + 4}, nullptr, nullptr, rgba{0, 1, 0, 1}), nullptr);
  }
  gl_renderer_end_frame(&renderer);
  gl.glFinish();
  EXPECT_EQ(gl.glGetError(), (GLenum)GL_NO_ERROR);
  ASSERT_EQ(draw_calls.size(), 1u);
  EXPECT_EQ(draw_calls[0].count, 63 * 5);
  ASSERT_EQ(base_vertex_calls.size(), 1u);
  EXPECT_EQ(base_vertex_calls[0].count, 37 * 5);
  EXPECT_EQ(base_vertex_calls[0].offset, 63u * 5);
  EXPECT_EQ(base_vertex_calls[0].base, 63 * 4);
  for (u32 i = 0; i < 100; i++) {
    EXPECT_EQ(pixel(15 * (s32)(i % 20) + 2, 15 * (s32)(i / 20) + 2), green) << i;
  }
  EXPECT_EQ(pixel(8, 8), background);
}

// A batch made in the caller's arena keeps its budget: what does not fit is dropped and logged
// by name, and the frame still draws what was kept.
TEST_F(render_gui, a_full_batch_drops_and_the_frame_still_draws) {
  vertex_format f = gl_vertex_format(2, 1, 0, 2);
  std::vector<u8> memory(gl_batch_memory_size(render_command_triangle_strip, 8, 2, f));
  buffer arena = buffer_make(memory.size(), 0, memory.data());
  u32 program = gl_program_create(gl_shader_flat_vertex, gl_shader_flat_fragment);
  gl_batch shapes = gl_batch_init_shapes(&arena, 8, 2, f, program, renderer.projection);
  gl_renderer_clear(&renderer);
  render_push_clear(&renderer, rgba{0, 0, 0, 1});
  u32 accepted = 0;
  for (u32 i = 0; i < 10; i++) {
    f32 x = 10.0f * i;
    accepted += gl_batch_rectangle(&shapes, rect{x, 0, x + 5, 5}, nullptr, nullptr, rgba{0, 1, 0, 1}) != nullptr;
  }
  EXPECT_EQ(accepted, 2u);
  EXPECT_NE(log().find("gl_batch (shapes): dropped a rectangle: its sub-commands are full (128 bytes)"),
            std::string::npos)
      << log();
  render_push_batch(&renderer, &shapes);
  gl_render(&renderer);
  gl.glFinish();
  EXPECT_EQ(gl.glGetError(), (GLenum)GL_NO_ERROR);
  EXPECT_EQ(pixel(2, 2), green);
  EXPECT_EQ(pixel(12, 2), green);
  EXPECT_EQ(pixel(22, 2), background);
}

TEST_F(render_gui, text_draws_from_the_atlas_and_a_reset_atlas_texture_is_made_again) {
  gl_batch *text = gl_renderer_add_text_batch(&renderer, 1000, 100, 0, 0, nullptr, nullptr, 40);
  ASSERT_NE(text, nullptr);
  ASSERT_NE(text->fonts, nullptr) << log();
  ASSERT_NE(text->program, 0u) << log();
  // Counts the lit pixels inside and outside the box the text may cover.
  auto lit = [&](s32 x0, s32 y0, s32 x1, s32 y1, u32 *outside) {
    std::vector<u8> p(320 * 240 * 4);
    gl.glReadPixels(0, 0, 320, 240, GL_RGBA, GL_UNSIGNED_BYTE, p.data());
    u32 inside = 0;
    *outside = 0;
    for (s32 y = 0; y < 240; y++) {
      for (s32 x = 0; x < 320; x++) {
        const u8 *q = &p[(y * 320 + x) * 4];
        if (q[0] == 0 && q[1] == 0 && q[2] == 0) continue;
        EXPECT_EQ(q[0], q[2]) << "text is drawn in its colour";
        bool in = x >= x0 && x < x1 && y >= y0 && y < y1;
        (in ? inside : *outside)++;
      }
    }
    return inside;
  };
  for (u32 frame = 0; frame < 2; frame++) {
    gl_renderer_clear(&renderer);
    render_push_clear(&renderer, rgba{0, 0, 0, 1});
    render_command *c =
        gl_batch_text(text, (const u8 *)"MMMM\nMM", 7, 20, 150, 0, 1, rgba{1, 0, 1, 1});
    ASSERT_NE(c, nullptr);
    gl_renderer_end_frame(&renderer);
    gl.glFinish();
    EXPECT_EQ(gl.glGetError(), (GLenum)GL_NO_ERROR);
    EXPECT_EQ(c->text.glyph_count, 6u);
    EXPECT_NE(text->texture, 0u);
    u32 outside = 0;
    // Two lines of 40-pixel capitals from the baseline at 150 down past the second line.
    EXPECT_GT(lit(18, 60, 200, 200, &outside), 200u);
    EXPECT_EQ(outside, 0u);
    // Rebuilding the atlas only needs the texture deleted and the name cleared.
    gl.glDeleteTextures(1, &text->texture);
    text->texture = 0;
  }
  font_system_shutdown();
}

TEST_F(render_gui, programs_that_do_not_build_are_logged_and_give_zero) {
  u64 before = gfx_log_text().used;
  u32 bad = gl_program_create(gl_shader_flat_vertex, "this is not a shader;\n");
  EXPECT_EQ(bad, 0u);
  std::string added = log().substr(before);
  EXPECT_NE(added.find("Shader error:\n    Handle: "), std::string::npos) << added;
  EXPECT_NE(added.find("\n    Type: fragment shader\n    Error:\n"), std::string::npos) << added;
  EXPECT_NE(added.find("    Source:\n#version 330\nthis is not a shader;\n"), std::string::npos) << added;
  // A vertex output the fragment shader reads with another type does not link.
  before = gfx_log_text().used;
  u32 unlinked = gl_program_create(gl_shader_flat_vertex,
                                   "in vec3 out_color;\nout vec4 fragment_out_color;\n"
                                   "void main() { fragment_out_color = vec4(out_color, 1.0); }\n");
  EXPECT_EQ(unlinked, 0u);
  EXPECT_NE(log().substr(before).find("Shader program error:\n    Handle: "), std::string::npos) << log().substr(before);
  u32 good = gl_program_create(gl_shader_textured_vertex, gl_shader_image_fragment);
  EXPECT_NE(good, 0u);
}

}  // namespace
