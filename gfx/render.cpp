// Recording of render commands and batches: the vertex format key, the command list, and the
// sub-commands of shape, image and text batches with their vertex bytes.
#include "gfx/render.h"

#include "core/strings.h"
#include "gfx/gl_backend.h"
#include "gfx/gl.h"
#include "platform/log.h"
#include "profiler/profiler.h"

#include <string.h>

// ---- Vertex format ---------------------------------------------------------------------------

vertex_format gl_vertex_format(u32 position_components, u32 has_colour, u32 uv_components, u32 index_bytes) {
  invariant(uv_components == 0 || uv_components == 2);
  u32 position = position_components >= 3 ? 3 : position_components;
  u32 index = index_bytes > 3 ? 4 : index_bytes;
  return position | (has_colour ? 1u : 0u) << 8 | uv_components << 16 | index << 24;
}

u32 gl_vertex_format_stride(vertex_format f) {
  return (gl_vertex_format_position(f) + gl_vertex_format_colour(f) + gl_vertex_format_uv(f)) * 4;
}

u32 gl_vertex_format_restart_index(vertex_format f) {
  switch (gl_vertex_format_index_bytes(f)) {
    case 1: return 0xFF;
    case 2: return 0xFFFF;
    case 4: return 0xFFFFFFFF;
    default: return 0;
  }
}

// ---- Drops -----------------------------------------------------------------------------------

static void log_text(const char *text) { gfx_log_append(string_from_bytes(text, strlen(text))); }

static const char *batch_kind_name(const gl_batch *batch) {
  switch (batch->kind) {
    case render_command_triangle_strip: return gl_vertex_format_uv(batch->format) ? "textured shapes" : "shapes";
    case render_command_textured_rectangle: return "images";
    case render_command_text: return "text";
    default: return "unknown";
  }
}

static const char *budget_name(u32 budget) {
  switch (budget) {
    case gl_batch_budget_commands: return "its sub-commands are full";
    case gl_batch_budget_vertices: return "its vertex memory is full";
    case gl_batch_budget_vertex_numbers: return "its index size numbers no more vertices";
    case gl_batch_budget_scratch: return "the renderer's scratch is full";
    case gl_batch_budget_kind: return "the batch holds another kind of drawing";
    default: return "its program did not build";
  }
}

// The budget's size in bytes (vertices for the index size), 0 when it has none.
static u64 budget_size(const gl_batch *batch, u32 budget) {
  switch (budget) {
    case gl_batch_budget_commands:
      return batch->commands_arena.memory.data ? batch->commands_arena.limit : batch->commands.size;
    case gl_batch_budget_vertices:
      return batch->vertices_arena.memory.data ? batch->vertices_arena.limit : batch->vertices.size;
    case gl_batch_budget_vertex_numbers: return gl_vertex_format_restart_index(batch->format);
    default: return 0;
  }
}

void gl_batch_note_drop(gl_batch *batch, u32 budget, const char *what) {
  batch->dropped++;
  if (batch->budgets_reported & budget) return;
  batch->budgets_reported |= budget;
  log_text("gl_batch ");
  if (batch->slot) {
    log_unsigned(batch->slot - 1, 0, ' ', 0);
    log_text(" ");
  }
  log_text("(");
  log_text(batch_kind_name(batch));
  log_text("): dropped ");
  log_text(what);
  log_text(": ");
  log_text(budget_name(budget));
  u64 size = budget_size(batch, budget);
  if (size) {
    log_text(" (");
    log_unsigned(size, 0, ' ', 0);
    log_text(budget == gl_batch_budget_vertex_numbers ? " vertices)" : " bytes)");
  }
  log_text("; reported once.\n");
}

bool gl_arena_make_room(buffer *view, arena *growing, u64 n, u64 alignment) {
  if (growing && growing->memory.data && view->data == growing->memory.data) {
    return arena_make_room(growing, view, n, alignment);
  }
  u64 pad = align_padding((u64)buffer_end(*view), alignment ? alignment : 8);
  u64 free_bytes = buffer_free_bytes(*view);
  return pad <= free_bytes && n <= free_bytes - pad;
}

// ---- Command list ----------------------------------------------------------------------------

render_command_list render_commands_create(buffer *parent, u64 command_bytes, u64 data_bytes) {
  render_command_list list = {};
  list.commands = buffer_carve(parent, command_bytes, 8);
  list.data = buffer_carve(parent, data_bytes, 8);
  return list;
}

void render_commands_clear(render_command_list *list) {
  list->count = 0;
  list->dropped = 0;
  buffer_clear(&list->commands);
  buffer_clear(&list->data);
}

static render_command *command_push(buffer *arena, u32 *count, u32 kind) {
  render_command *c = (render_command *)buffer_push(arena, sizeof(render_command), 8);
  if (!c) return nullptr;
  memset(c, 0, sizeof(*c));
  c->kind = kind;
  (*count)++;
  return c;
}

render_command *render_command_list_push(render_command_list *list, u32 kind) {
  render_command *c = command_push(&list->commands, &list->count, kind);
  if (!c) {
    list->dropped++;
    if (!list->drop_reported) {
      list->drop_reported = 1;
      log_text("render_command_list: dropped a command: the frame's commands are full; reported once.\n");
    }
  }
  return c;
}

static void scissor_fill(render_command *c, u32 enabled, s32 x, s32 y, s32 width, s32 height) {
  c->scissor.enabled = enabled;
  c->scissor.x = x < 0 ? 0 : x;
  c->scissor.y = y < 0 ? 0 : y;
  c->scissor.width = width < 0 ? 0 : width;
  c->scissor.height = height < 0 ? 0 : height;
}

render_command *render_push_clear(gl_renderer *renderer, rgba colour) {
  render_command *c = render_command_list_push(&renderer->commands, render_command_clear);
  if (c) c->clear_colour = rgba_to_u32(colour);
  return c;
}

render_command *render_push_viewport(gl_renderer *renderer, v2 position, v2 size) {
  render_command *c = render_command_list_push(&renderer->commands, render_command_viewport);
  if (c) {
    c->viewport.x = position.x;
    c->viewport.y = position.y;
    c->viewport.width = size.x;
    c->viewport.height = size.y;
  }
  return c;
}

render_command *render_push_scissor(gl_renderer *renderer, u32 enabled, s32 x, s32 y, s32 width, s32 height) {
  render_command *c = render_command_list_push(&renderer->commands, render_command_scissor);
  if (c) scissor_fill(c, enabled, x, y, width, height);
  return c;
}

render_command *render_push_batch(gl_renderer *renderer, gl_batch *batch) {
  render_command *c = render_command_list_push(&renderer->commands, render_command_draw_batch);
  if (c) c->batch = batch;
  return c;
}

// ---- Batches ---------------------------------------------------------------------------------

u64 gl_batch_memory_size(u32 kind, u32 a, u32 b, vertex_format format) {
  u64 commands = (u64)b * sizeof(render_command);
  if (kind == render_command_text) return commands + a;
  return commands + ((u64)a + 2ull * b) * gl_vertex_format_stride(format);
}

static u32 clamp_u32(u64 v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : (u32)v; }

// The batch's fixed fields and the GL capacities its budgets imply.
static gl_batch batch_fill(u32 kind, u32 a, u32 b, vertex_format format, u32 program, f32 *projection) {
  u32 index_bytes = gl_vertex_format_index_bytes(format);
  // 3-byte indices have no GL type: such a batch could never be drawn.
  invariant(index_bytes == 1 || index_bytes == 2 || index_bytes == 4);
  invariant(gl_vertex_format_position(format) >= 2);
  gl_batch batch = {};
  batch.kind = kind;
  batch.program = program;
  batch.projection = projection;
  batch.format = format;
  u64 stride = gl_vertex_format_stride(format);
  if (kind == render_command_text) {
    batch.vbo_capacity = clamp_u32(4ull * a * stride);
    batch.ibo_capacity = clamp_u32(5ull * a * index_bytes);
  } else {
    batch.vbo_capacity = clamp_u32(((u64)a + 2ull * b) * stride);
    batch.ibo_capacity = clamp_u32(((u64)a + 3ull * b) * index_bytes);
  }
  return batch;
}

static u64 batch_vertex_bytes(u32 kind, u32 a, u32 b, vertex_format format) {
  if (kind == render_command_text) return a;
  return ((u64)a + 2ull * b) * gl_vertex_format_stride(format);
}

static u64 batch_vertex_alignment(u32 kind) { return kind == render_command_text ? 1 : 4; }

static gl_batch batch_make(u32 kind, buffer *arena, u32 a, u32 b, vertex_format format, u32 program,
                           f32 *projection) {
  gl_batch batch = batch_fill(kind, a, b, format, program, projection);
  batch.commands = buffer_carve(arena, (u64)b * sizeof(render_command), 8);
  batch.vertices = buffer_carve(arena, batch_vertex_bytes(kind, a, b, format), batch_vertex_alignment(kind));
  return batch;
}

// A growing arena of at least the default reservation with the first bytes committed; its view.
// The batch logs its own full budgets (gl_batch_note_drop), so the arena stays quiet.
static buffer batch_reserve(arena *a, u64 first, u64 reserve, const char *name) {
  arena_reserve(a, first > reserve ? first : reserve, first, 0, name, arena_flag_double | arena_flag_quiet);
  return arena_view(a);
}

gl_batch gl_batch_init_growing(u32 kind, u32 a, u32 b, vertex_format format, u32 program, f32 *projection,
                               font_collection *fonts) {
  gl_batch batch = batch_fill(kind, a, b, format, program, projection);
  batch.fonts = kind == render_command_text ? fonts : nullptr;
  batch.commands = batch_reserve(&batch.commands_arena, (u64)b * sizeof(render_command), GL_BATCH_COMMANDS_RESERVE,
                                 "gl_batch sub-commands");
  batch.vertices = batch_reserve(&batch.vertices_arena, batch_vertex_bytes(kind, a, b, format),
                                 kind == render_command_text ? GL_BATCH_TEXT_RESERVE : GL_BATCH_VERTICES_RESERVE,
                                 "gl_batch vertices");
  return batch;
}

void gl_batch_release(gl_batch *batch) {
  if (batch->commands_arena.memory.data) {
    arena_release(&batch->commands_arena);
    batch->commands = buffer{};
  }
  if (batch->vertices_arena.memory.data) {
    arena_release(&batch->vertices_arena);
    batch->vertices = buffer{};
  }
}

// Room for one more sub-command, and for n bytes of vertices or text at the batch's alignment.
static bool batch_room_command(gl_batch *batch) {
  return gl_arena_make_room(&batch->commands, &batch->commands_arena, sizeof(render_command), 8);
}
static bool batch_room_vertices(gl_batch *batch, u64 n) {
  return gl_arena_make_room(&batch->vertices, &batch->vertices_arena, n, batch_vertex_alignment(batch->kind));
}

gl_batch gl_batch_init_shapes(buffer *arena, u32 a, u32 b, vertex_format format, u32 program, f32 *projection) {
  return batch_make(render_command_triangle_strip, arena, a, b, format, program, projection);
}

gl_batch gl_batch_init_images(buffer *arena, u32 a, u32 b, vertex_format format, u32 program, f32 *projection) {
  return batch_make(render_command_textured_rectangle, arena, a, b, format, program, projection);
}

gl_batch gl_batch_init_text(buffer *arena, u32 a, u32 b, vertex_format format, u32 program, f32 *projection,
                            font_collection *fonts) {
  gl_batch batch = batch_make(render_command_text, arena, a, b, format, program, projection);
  batch.fonts = fonts;
  return batch;
}

void gl_batch_clear(gl_batch *batch) {
  batch->command_count = 0;
  buffer_clear(&batch->commands);
  buffer_clear(&batch->vertices);
  batch->vbo_used = 0;
  batch->vertex_count = 0;
  batch->ibo_used = 0;
  batch->dropped = 0;
}

static u32 pack_tinted(rgba colour, const rgba *tints, u32 corner) {
  if (!tints) return rgba_to_u32(colour);
  rgba t = tints[corner];
  return rgba_to_u32(rgba{colour.r * t.r, colour.g * t.g, colour.b * t.b, colour.a * t.a});
}

render_command *gl_batch_rectangle(gl_batch *batch, rect r, const gl_uv_rect *uv, const rgba *tints, rgba colour) {
  PROFILE_ZONE(zone_gl_batch_rectangle);
  vertex_format f = batch->format;
  u32 stride = gl_vertex_format_stride(f);
  if (batch->kind == render_command_text) {
    gl_batch_note_drop(batch, gl_batch_budget_kind, "a rectangle");
    return nullptr;
  }
  if (!batch_room_command(batch)) {
    gl_batch_note_drop(batch, gl_batch_budget_commands, "a rectangle");
    return nullptr;
  }
  u8 *v = batch_room_vertices(batch, 4ull * stride) ? (u8 *)buffer_push(&batch->vertices, 4ull * stride, 4) : nullptr;
  if (!v) {
    gl_batch_note_drop(batch, gl_batch_budget_vertices, "a rectangle");
    return nullptr;
  }
  render_command *c = command_push(&batch->commands, &batch->command_count, render_command_triangle_strip);
  c->strip.vertices = v;
  c->strip.triangle_count = 2;

  gl_uv_rect t = uv ? *uv : gl_uv_rect{0, 0, 1, 1};
  struct corner {
    f32 x, y, s, t;
    u32 tint;
  };
  const corner corners[4] = {
      {r.x0, r.y1, t.s0, t.t1, 2},
      {r.x0, r.y0, t.s0, t.t0, 0},
      {r.x1, r.y1, t.s1, t.t1, 3},
      {r.x1, r.y0, t.s1, t.t0, 1},
  };
  u32 position_floats = gl_vertex_format_position(f);
  for (const corner &k : corners) {
    f32 position[3] = {k.x, k.y, 0};
    memcpy(v, position, 4ull * position_floats);
    v += 4 * position_floats;
    if (gl_vertex_format_colour(f)) {
      u32 packed = pack_tinted(colour, tints, k.tint);
      memcpy(v, &packed, 4);
      v += 4;
    }
    if (gl_vertex_format_uv(f)) {
      f32 st[2] = {k.s, k.t};
      memcpy(v, st, 8);
      v += 8;
    }
  }
  return c;
}

render_command *gl_batch_textured_rectangle(gl_batch *batch, rect r, const gl_uv_rect *uv, const rgba *tints,
                                            rgba colour, u32 texture, u32 bytes_per_pixel) {
  render_command *c = gl_batch_rectangle(batch, r, uv, tints, colour);
  if (c) {
    c->kind = render_command_textured_rectangle;
    c->strip.texture = texture;
    c->strip.bytes_per_pixel = bytes_per_pixel;
  }
  return c;
}

render_command *gl_batch_text(gl_batch *batch, const u8 *text, u64 length, f32 x, f32 y, s32 previous_codepoint,
                              u32 font_index, rgba colour) {
  PROFILE_ZONE(zone_gl_batch_text);
  if (batch->kind != render_command_text) {
    gl_batch_note_drop(batch, gl_batch_budget_kind, "a text");
    return nullptr;
  }
  if (!batch_room_command(batch)) {
    gl_batch_note_drop(batch, gl_batch_budget_commands, "a text");
    return nullptr;
  }
  if (!batch_room_vertices(batch, length)) {
    gl_batch_note_drop(batch, gl_batch_budget_vertices, "a text");
    return nullptr;
  }
  u8 *copy = length ? (u8 *)buffer_push_copy(&batch->vertices, text, length, 1) : nullptr;
  render_command *c = command_push(&batch->commands, &batch->command_count, render_command_text);
  c->text.x = x;
  c->text.y = y;
  c->text.z = 0;
  c->text.font_index = font_index;
  c->text.text = string_from_bytes(copy, copy ? length : 0);
  c->text.colour = rgba_to_u32(colour);
  c->text.glyph_count = 0;
  c->text.previous_codepoint = previous_codepoint == 0 ? -1 : previous_codepoint;
  return c;
}

render_command *gl_batch_scissor(gl_batch *batch, u32 enabled, s32 x, s32 y, s32 width, s32 height) {
  render_command *c = batch_room_command(batch)
                          ? command_push(&batch->commands, &batch->command_count, render_command_scissor)
                          : nullptr;
  if (!c) {
    gl_batch_note_drop(batch, gl_batch_budget_commands, "a scissor");
    return nullptr;
  }
  scissor_fill(c, enabled, x, y, width, height);
  return c;
}
