// Recording of commands and batches without a GL context: the vertex format key, the exact vertex
// bytes of rectangles, the sub-commands, and capacities that drop rather than overrun.
#include "gfx/gfx.h"

#include <gtest/gtest.h>

#include <random>
#include <string.h>
#include <string>
#include <vector>

namespace {

// An arena with guard bytes after it, so a write past its end shows.
struct guarded_arena {
  std::vector<u8> memory;
  buffer arena;
  u64 size;
  explicit guarded_arena(u64 n) : memory(n + 256, 0xA5), size(n) { arena = buffer_make(n, 0, memory.data()); }
  bool guard_intact() const {
    for (u64 i = size; i < memory.size(); i++) {
      if (memory[i] != 0xA5) return false;
    }
    return true;
  }
};

f32 f32_at(const u8 *p) {
  f32 v;
  memcpy(&v, p, 4);
  return v;
}
u32 u32_at(const u8 *p) {
  u32 v;
  memcpy(&v, p, 4);
  return v;
}

TEST(vertex_format, keys_and_strides) {
  vertex_format text = gl_vertex_format(2, 1, 2, 4);
  EXPECT_EQ(gl_vertex_format_stride(text), 20u);
  EXPECT_EQ(gl_vertex_format_index_bytes(text), 4u);
  vertex_format odd = gl_vertex_format(5, 1, 0, 9);
  EXPECT_EQ(gl_vertex_format_position(odd), 3u);
  EXPECT_EQ(gl_vertex_format_index_bytes(odd), 4u);
  EXPECT_EQ(gl_vertex_format_stride(odd), 16u);
  for (u32 position = 0; position < 8; position++) {
    for (u32 colour = 0; colour < 2; colour++) {
      for (u32 uv = 0; uv <= 2; uv += 2) {
        for (u32 index = 0; index < 10; index++) {
          vertex_format f = gl_vertex_format(position, colour, uv, index);
          u32 p = position > 3 ? 3 : position;
          EXPECT_EQ(f, p | colour << 8 | uv << 16 | (index > 3 ? 4 : index) << 24);
          EXPECT_EQ(gl_vertex_format_stride(f), (p + colour + uv) * 4);
        }
      }
    }
  }
  EXPECT_EQ(gl_vertex_format_restart_index(gl_vertex_format(2, 1, 0, 1)), 0xFFu);
  EXPECT_EQ(gl_vertex_format_restart_index(gl_vertex_format(2, 1, 0, 2)), 0xFFFFu);
  EXPECT_EQ(gl_vertex_format_restart_index(gl_vertex_format(2, 1, 0, 4)), 0xFFFFFFFFu);
  // Every size a key can hold writes its low bytes and not one byte more.
  for (u32 index = 1; index <= 4; index++) {
    u8 out[8];
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(gl_index_write(out, gl_vertex_format_index_bytes(gl_vertex_format(2, 1, 0, index)), 0x04030201u),
              out + index);
    for (u32 k = 0; k < 8; k++) EXPECT_EQ(out[k], k < index ? k + 1 : 0xEE) << index << " " << k;
  }
}

TEST(render_batch, plain_rectangle_writes_four_twelve_byte_vertices_in_strip_order) {
  guarded_arena g(gl_batch_memory_size(render_command_triangle_strip, 8, 2, gl_vertex_format(2, 1, 0, 2)));
  gl_batch b = gl_batch_init_shapes(&g.arena, 8, 2, gl_vertex_format(2, 1, 0, 2), 1, nullptr);
  rgba colour = {1.0f, 0.5f, 0.0f, 1.0f};
  render_command *c = gl_batch_rectangle(&b, rect{10, 20, 30, 40}, nullptr, nullptr, colour);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->kind, (u32)render_command_triangle_strip);
  EXPECT_EQ(c->strip.triangle_count, 2u);
  EXPECT_EQ(c->strip.vertices, b.vertices.data);
  EXPECT_EQ(b.vertices.used, 48u);
  EXPECT_EQ(b.command_count, 1u);
  const f32 expected[4][2] = {{10, 40}, {10, 20}, {30, 40}, {30, 20}};
  for (u32 i = 0; i < 4; i++) {
    const u8 *v = b.vertices.data + 12 * i;
    EXPECT_EQ(f32_at(v), expected[i][0]);
    EXPECT_EQ(f32_at(v + 4), expected[i][1]);
    EXPECT_EQ(u32_at(v + 8), rgba_to_u32(colour));
  }
  EXPECT_TRUE(g.guard_intact());
}

TEST(render_batch, textured_rectangle_writes_uv_and_tints_by_corner) {
  vertex_format f = gl_vertex_format(2, 1, 2, 2);
  guarded_arena g(gl_batch_memory_size(render_command_textured_rectangle, 8, 2, f));
  gl_batch b = gl_batch_init_images(&g.arena, 8, 2, f, 1, nullptr);
  gl_uv_rect uv = {0.1f, 0.2f, 0.7f, 0.9f};
  // Tints by corner: bottom-left, bottom-right, top-left, top-right.
  rgba tints[4] = {{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}, {1, 1, 1, 0.5f}};
  rgba colour = {1, 1, 1, 1};
  render_command *c = gl_batch_textured_rectangle(&b, rect{0, 0, 4, 2}, &uv, tints, colour, 77, 3);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->kind, (u32)render_command_textured_rectangle);
  EXPECT_EQ(c->strip.texture, 77u);
  EXPECT_EQ(c->strip.bytes_per_pixel, 3u);
  struct expect {
    f32 x, y, s, t;
    u32 tint;
  } e[4] = {{0, 2, 0.1f, 0.9f, 2}, {0, 0, 0.1f, 0.2f, 0}, {4, 2, 0.7f, 0.9f, 3}, {4, 0, 0.7f, 0.2f, 1}};
  for (u32 i = 0; i < 4; i++) {
    const u8 *v = b.vertices.data + 20 * i;
    EXPECT_EQ(f32_at(v), e[i].x);
    EXPECT_EQ(f32_at(v + 4), e[i].y);
    EXPECT_EQ(u32_at(v + 8), rgba_to_u32(tints[e[i].tint]));
    EXPECT_EQ(f32_at(v + 12), e[i].s);
    EXPECT_EQ(f32_at(v + 16), e[i].t);
  }
  // No uv given: the whole texture.
  gl_batch_rectangle(&b, rect{0, 0, 1, 1}, nullptr, nullptr, colour);
  const u8 *v = b.vertices.data + 80;
  EXPECT_EQ(f32_at(v + 12), 0.0f);
  EXPECT_EQ(f32_at(v + 16), 1.0f);
  EXPECT_EQ(f32_at(v + 60 + 12), 1.0f);
  EXPECT_EQ(f32_at(v + 60 + 16), 0.0f);
}

TEST(render_batch, three_position_components_keep_the_stride) {
  vertex_format f = gl_vertex_format(3, 1, 0, 2);
  guarded_arena g(gl_batch_memory_size(render_command_triangle_strip, 4, 1, f));
  gl_batch b = gl_batch_init_shapes(&g.arena, 4, 1, f, 1, nullptr);
  ASSERT_NE(gl_batch_rectangle(&b, rect{1, 2, 3, 4}, nullptr, nullptr, rgba{1, 1, 1, 1}), nullptr);
  for (u32 i = 0; i < 4; i++) {
    EXPECT_EQ(f32_at(b.vertices.data + 16 * i + 8), 0.0f);
    EXPECT_EQ(u32_at(b.vertices.data + 16 * i + 12), 0xFFFFFFFFu);
  }
}

TEST(render_batch, scissor_and_text_sub_commands) {
  guarded_arena g(gl_batch_memory_size(render_command_text, 32, 4, gl_vertex_format(2, 1, 2, 4)));
  gl_batch b = gl_batch_init_text(&g.arena, 32, 4, gl_vertex_format(2, 1, 2, 4), 1, nullptr, nullptr);
  render_command *s = gl_batch_scissor(&b, 1, -5, 7, -1, 9);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->scissor.x, 0);
  EXPECT_EQ(s->scissor.y, 7);
  EXPECT_EQ(s->scissor.width, 0);
  EXPECT_EQ(s->scissor.height, 9);
  // A negative x becomes 0 without reducing the width.
  s = gl_batch_scissor(&b, 1, -5, 0, 100, 10);
  EXPECT_EQ(s->scissor.width, 100);

  char temporary[] = "Hello";
  render_command *t = gl_batch_text(&b, (const u8 *)temporary, 5, 3.5f, 9.0f, 0, 2, rgba{1, 0, 0, 1});
  ASSERT_NE(t, nullptr);
  memcpy(temporary, "XXXXX", 5);
  EXPECT_EQ(std::string((const char *)t->text.text.data, t->text.text.used), "Hello");
  EXPECT_EQ(t->text.previous_codepoint, -1);
  EXPECT_EQ(t->text.font_index, 2u);
  EXPECT_EQ(t->text.glyph_count, 0u);
  EXPECT_EQ(t->text.x, 3.5f);
  EXPECT_EQ(t->text.colour, rgba_to_u32(rgba{1, 0, 0, 1}));
  t = gl_batch_text(&b, (const u8 *)"V", 1, 0, 0, 'A', 0, rgba{1, 1, 1, 1});
  EXPECT_EQ(t->text.previous_codepoint, 'A');
  EXPECT_EQ(b.command_count, 4u);
  std::string fits(26, 'y'), full(32, 'y'), over(33, 'x');
  // The command budget (4) is full now, whatever the text size.
  EXPECT_EQ(gl_batch_text(&b, (const u8 *)fits.data(), fits.size(), 0, 0, 0, 0, rgba{}), nullptr);
  EXPECT_EQ(b.dropped, 1u);
  gl_batch_clear(&b);
  EXPECT_EQ(b.command_count, 0u);
  EXPECT_EQ(b.dropped, 0u);
  // The text budget is 32 bytes.
  EXPECT_EQ(gl_batch_text(&b, (const u8 *)over.data(), over.size(), 0, 0, 0, 0, rgba{}), nullptr);
  EXPECT_NE(gl_batch_text(&b, (const u8 *)full.data(), full.size(), 0, 0, 0, 0, rgba{}), nullptr);
  EXPECT_EQ(gl_batch_text(&b, (const u8 *)"z", 1, 0, 0, 0, 0, rgba{}), nullptr);
  // An empty text takes a command but no text bytes.
  EXPECT_NE(gl_batch_text(&b, (const u8 *)"", 0, 0, 0, 0, 0, rgba{}), nullptr);
  // Rectangles never go into a text batch.
  EXPECT_EQ(gl_batch_rectangle(&b, rect{0, 0, 1, 1}, nullptr, nullptr, rgba{}), nullptr);
  EXPECT_TRUE(g.guard_intact());
}

// Random recordings against a model of the budgets: every accepted recording is there with its
// bytes, every refused one left nothing, and nothing is written past the batch's memory.
TEST(render_batch, random_recordings_fill_to_the_budget_and_never_past_it) {
  std::mt19937 rng(7);
  for (u32 round = 0; round < 200; round++) {
    u32 a = rng() % 40, b = rng() % 12;
    u32 index_bytes = (rng() % 2) ? 2 : 1;
    vertex_format f = gl_vertex_format(2, 1, (rng() % 2) * 2, index_bytes);
    u32 stride = gl_vertex_format_stride(f);
    guarded_arena g(gl_batch_memory_size(render_command_triangle_strip, a, b, f));
    gl_batch batch = gl_batch_init_shapes(&g.arena, a, b, f, 1, nullptr);
    u64 vertex_room = ((u64)a + 2ull * b) * stride;
    u32 commands = 0, vertices = 0, drops = 0;
    for (u32 step = 0; step < 60; step++) {
      bool scissor = rng() % 4 == 0;
      render_command *c;
      bool fits;
      if (scissor) {
        fits = commands < b;
        c = gl_batch_scissor(&batch, 1, 1, 2, 3, 4);
      } else {
        fits = commands < b && (vertices + 4ull) * stride <= vertex_room;
        f32 x = (f32)step;
        c = gl_batch_rectangle(&batch, rect{x, x, x + 1, x + 2}, nullptr, nullptr, rgba{1, 1, 1, 1});
        if (c) {
          ASSERT_EQ(c->strip.vertices, batch.vertices.data + (u64)vertices * stride);
          ASSERT_EQ(f32_at(c->strip.vertices), x);
        }
      }
      ASSERT_EQ(c != nullptr, fits) << "round " << round << " step " << step;
      if (fits) {
        commands++;
        if (!scissor) vertices += 4;
      } else {
        drops++;
      }
      ASSERT_EQ(batch.command_count, commands);
      ASSERT_EQ(batch.vertices.used, (u64)vertices * stride);
      ASSERT_EQ(batch.dropped, drops);
    }
    EXPECT_TRUE(g.guard_intact());
  }
}

// The index size limits the vertices of one draw, not of a frame: the renderer draws in runs.
TEST(render_batch, one_byte_indices_take_more_rectangles_than_they_number) {
  vertex_format f = gl_vertex_format(2, 1, 0, 1);
  guarded_arena g(gl_batch_memory_size(render_command_triangle_strip, 1000, 100, f));
  gl_batch b = gl_batch_init_shapes(&g.arena, 1000, 100, f, 1, nullptr);
  u32 accepted = 0;
  for (u32 i = 0; i < 100; i++) accepted += gl_batch_rectangle(&b, rect{0, 0, 1, 1}, nullptr, nullptr, rgba{}) != nullptr;
  EXPECT_EQ(accepted, 100u);
  EXPECT_TRUE(g.guard_intact());
}

TEST(render_batch, batch_memory_matches_the_capacities) {
  vertex_format shapes = gl_vertex_format(2, 1, 0, 2);
  EXPECT_EQ(gl_batch_memory_size(render_command_triangle_strip, 10, 3, shapes), 3u * 64 + 16u * 12);
  EXPECT_EQ(gl_batch_memory_size(render_command_text, 100, 3, gl_vertex_format(2, 1, 2, 4)), 3u * 64 + 100u);
  guarded_arena g(1 << 16);
  gl_batch t = gl_batch_init_text(&g.arena, 100, 3, gl_vertex_format(2, 1, 2, 4), 1, nullptr, nullptr);
  EXPECT_EQ(t.vbo_capacity, 4u * 100 * 20);
  EXPECT_EQ(t.ibo_capacity, 5u * 100 * 4);
  gl_batch s = gl_batch_init_shapes(&g.arena, 10, 3, shapes, 1, nullptr);
  EXPECT_EQ(s.vbo_capacity, 16u * 12);
  EXPECT_EQ(s.ibo_capacity, 19u * 2);
  // An arena too small leaves the parts empty: every recording drops.
  buffer tiny = buffer_make(10, 0, g.memory.data());
  gl_batch none = gl_batch_init_shapes(&tiny, 10, 3, shapes, 1, nullptr);
  EXPECT_EQ(gl_batch_rectangle(&none, rect{0, 0, 1, 1}, nullptr, nullptr, rgba{}), nullptr);
  EXPECT_EQ(gl_batch_scissor(&none, 0, 0, 0, 0, 0), nullptr);
}

TEST(render_list, pushes_fill_the_command_arena_and_then_drop) {
  std::vector<u8> memory(64 * 5 + 64 + 256);
  buffer parent = buffer_make(memory.size(), 0, memory.data());
  gl_renderer r = {};
  r.commands = render_commands_create(&parent, 64 * 5, 64);
  EXPECT_EQ(r.commands.data.size, 64u);
  gl_batch batch = {};
  EXPECT_NE(render_push_clear(&r, rgba{1, 0, 0, 1}), nullptr);
  render_command *v = render_push_viewport(&r, v2{1, 2}, v2{300, 200});
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->viewport.width, 300.0f);
  render_command *s = render_push_scissor(&r, 1, 5, -3, -8, 4);
  EXPECT_EQ(s->scissor.y, 0);
  EXPECT_EQ(s->scissor.width, 0);
  EXPECT_EQ(render_push_batch(&r, &batch)->batch, &batch);
  EXPECT_NE(render_push_clear(&r, rgba{}), nullptr);
  EXPECT_EQ(render_push_clear(&r, rgba{}), nullptr);
  EXPECT_EQ(r.commands.count, 5u);
  EXPECT_EQ(r.commands.dropped, 1u);
  const render_command *c = (const render_command *)r.commands.commands.data;
  EXPECT_EQ(c[0].kind, (u32)render_command_clear);
  EXPECT_EQ(c[0].clear_colour, 0xFF0000FFu);
  EXPECT_EQ(c[3].kind, (u32)render_command_draw_batch);
  render_commands_clear(&r.commands);
  EXPECT_EQ(r.commands.count, 0u);
  EXPECT_NE(render_push_clear(&r, rgba{}), nullptr);
}

TEST(render_list, empty_or_broken_frame_sizes_keep_the_projection_finite) {
  std::vector<u8> memory(64 * 8);
  buffer parent = buffer_make(memory.size(), 0, memory.data());
  gl_renderer r = {};
  r.commands = render_commands_create(&parent, 64 * 8, 0);
  const f32 sizes[][2] = {{0, 0}, {-5, 3}, {__builtin_nanf(""), 10}, {1e30f, 1e30f}, {640, 480}};
  for (const auto &s : sizes) {
    gl_renderer_begin_frame(&r, 0, 0, s[0], s[1]);
    for (f32 v : r.projection) EXPECT_TRUE(v == v && v - v == 0) << s[0] << " " << s[1];
  }
  EXPECT_EQ(r.projection[0], 2.0f / 640);
  EXPECT_EQ(r.commands.count, 5u);
}

std::string gfx_log() {
  buffer b = gfx_log_text();
  return std::string((const char *)b.data, b.used);
}

// A batch that grows starts from budgets of 1 and takes a frame far past them; its vertices stay
// one contiguous run in recording order, and a clear keeps the memory for the next frame.
TEST(render_batch, a_growing_batch_takes_any_frame_and_keeps_its_order) {
  vertex_format f = gl_vertex_format(2, 1, 0, 4);
  gl_batch b = gl_batch_init_growing(render_command_triangle_strip, 1, 1, f, 1, nullptr, nullptr);
  ASSERT_NE(b.commands.data, nullptr);
  u64 before = gfx_log().size();
  for (u32 frame = 0; frame < 2; frame++) {
    const u32 n = 40000;
    for (u32 i = 0; i < n; i++) {
      f32 x = (f32)i;
      if (i % 1000 == 0) ASSERT_NE(gl_batch_scissor(&b, 1, 0, 0, 10, 10), nullptr);
      render_command *c = gl_batch_rectangle(&b, rect{x, 0, x + 1, 1}, nullptr, nullptr, rgba{1, 1, 1, 1});
      ASSERT_NE(c, nullptr) << i;
      ASSERT_EQ(c->strip.vertices, b.vertices.data + 48ull * i);
    }
    EXPECT_EQ(b.command_count, n + n / 1000);
    EXPECT_EQ(b.vertices.used, 48ull * n);
    // Spot checks of the first and last rectangles' top-left corners.
    EXPECT_EQ(f32_at(b.vertices.data), 0.0f);
    EXPECT_EQ(f32_at(b.vertices.data + 48ull * (n - 1)), (f32)(n - 1));
    render_command *commands = (render_command *)b.commands.data;
    EXPECT_EQ(commands[0].kind, (u32)render_command_scissor);
    EXPECT_EQ(commands[b.command_count - 1].strip.vertices, b.vertices.data + 48ull * (n - 1));
    EXPECT_EQ(b.dropped, 0u);
    gl_batch_clear(&b);
  }
  EXPECT_EQ(gfx_log().size(), before);

  gl_batch t = gl_batch_init_growing(render_command_text, 4, 1, gl_vertex_format(2, 1, 2, 4), 1, nullptr, nullptr);
  std::string line(1000, 'x');
  for (u32 i = 0; i < 3000; i++) {
    line[0] = (char)('a' + i % 26);
    render_command *c = gl_batch_text(&t, (const u8 *)line.data(), line.size(), 0, 0, 0, 0, rgba{});
    ASSERT_NE(c, nullptr) << i;
    ASSERT_EQ(c->text.text.data[0], line[0]);
  }
  EXPECT_EQ(t.vertices.used, 3000000u);
  EXPECT_EQ(t.command_count, 3000u);
  EXPECT_EQ(((render_command *)t.commands.data)[25].text.text.data[0], 'z');
  gl_batch_release(&b);
  gl_batch_release(&t);
  EXPECT_EQ(b.commands.data, nullptr);
}

// What still has a limit is logged once per budget, naming the batch and the budget.
TEST(render_batch, overflows_are_logged_once_per_budget_by_name) {
  // Two-byte indices number 65,535 vertices, yet a growing batch takes far more rectangles.
  gl_batch b = gl_batch_init_growing(render_command_triangle_strip, 1, 1, gl_vertex_format(2, 1, 0, 2), 1, nullptr,
                                     nullptr);
  u64 before = gfx_log().size();
  u32 accepted = 0;
  for (u32 i = 0; i < 20000; i++) accepted += gl_batch_rectangle(&b, rect{0, 0, 1, 1}, nullptr, nullptr, rgba{}) != nullptr;
  EXPECT_EQ(accepted, 20000u);
  EXPECT_EQ(b.dropped, 0u);

  // A batch of the caller's arena keeps its budgets: a full command budget and a full text
  // budget are two reports, each once.
  guarded_arena g(gl_batch_memory_size(render_command_text, 8, 2, gl_vertex_format(2, 1, 2, 4)));
  gl_batch t = gl_batch_init_text(&g.arena, 8, 2, gl_vertex_format(2, 1, 2, 4), 1, nullptr, nullptr);
  EXPECT_EQ(gfx_log().size(), before);
  EXPECT_EQ(gl_batch_text(&t, (const u8 *)"123456789", 9, 0, 0, 0, 0, rgba{}), nullptr);
  EXPECT_EQ(gl_batch_text(&t, (const u8 *)"123456789", 9, 0, 0, 0, 0, rgba{}), nullptr);
  EXPECT_NE(gl_batch_text(&t, (const u8 *)"1234", 4, 0, 0, 0, 0, rgba{}), nullptr);
  EXPECT_NE(gl_batch_text(&t, (const u8 *)"1234", 4, 0, 0, 0, 0, rgba{}), nullptr);
  EXPECT_EQ(gl_batch_text(&t, (const u8 *)"1", 1, 0, 0, 0, 0, rgba{}), nullptr);
  EXPECT_EQ(gl_batch_scissor(&t, 0, 0, 0, 0, 0), nullptr);
  std::string added = gfx_log().substr(before);
  EXPECT_EQ(added,
            "gl_batch (text): dropped a text: its vertex memory is full (8 bytes); reported once.\n"
            "gl_batch (text): dropped a text: its sub-commands are full (128 bytes); reported once.\n");
  EXPECT_TRUE(g.guard_intact());
  gl_batch_release(&b);
}

// The arena helper under marks: a rollback that restores an older view still finds the bytes
// committed since, and a reservation's end is a hard limit.
TEST(render_batch, arena_growth_survives_marks_and_stops_at_the_reservation) {
  ::arena growing;
  ASSERT_TRUE(arena_reserve(&growing, MiB(1), 0, 0, "render test", arena_flag_double | arena_flag_quiet));
  buffer arena = arena_view(&growing);
  buffer_mark mark = buffer_mark_begin(&arena);
  ASSERT_TRUE(gl_arena_make_room(&arena, &growing, 100000, 4));
  u8 *p = (u8 *)buffer_push(&arena, 100000, 4);
  ASSERT_NE(p, nullptr);
  memset(p, 1, 100000);
  buffer_mark_rollback(&mark);
  EXPECT_EQ(arena.size, 0u);
  ASSERT_TRUE(gl_arena_make_room(&arena, &growing, 10, 4));
  EXPECT_EQ(arena.size, growing.memory.used);
  EXPECT_GE(arena.size, 100000u);
  EXPECT_TRUE(gl_arena_make_room(&arena, &growing, MiB(1), 1));
  EXPECT_FALSE(gl_arena_make_room(&arena, &growing, MiB(1) + 1, 1));
  arena.used = 1;
  EXPECT_FALSE(gl_arena_make_room(&arena, &growing, MiB(1), 4));
  EXPECT_TRUE(gl_arena_make_room(&arena, &growing, MiB(1) - 4, 4));
  // An arena of no reservation only counts what is free.
  u8 bytes[16];
  buffer fixed = buffer_make(16, 0, bytes);
  EXPECT_TRUE(gl_arena_make_room(&fixed, nullptr, 16, 1));
  EXPECT_FALSE(gl_arena_make_room(&fixed, nullptr, 17, 1));
  arena_release(&growing);
}

}  // namespace
