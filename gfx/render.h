// Drawing is recorded first and executed once per frame. The frame's clear, viewport and scissor go
// into the top-level command list; rectangles, images, text and scissor changes go into batches,
// one batch per kind of drawing. Recording never touches OpenGL: rectangle vertices are written
// into the batch's own memory at once, text is only copied and becomes glyph quads when drawn.
// The renderer's batches grow: their memory is reserved once and committed as recordings need
// it, so a frame holds what is on screen whatever its size. A batch made in a caller's arena keeps
// the budgets it was given. A recording that does not fit is dropped whole (counted, and reported
// once per budget in the log, by the batch's and the budget's names), never written past the end.
#pragma once

#include <string.h>

#include "core/buffer.h"
#include "core/math.h"

struct font;
struct font_collection;

// ---- Vertex format ---------------------------------------------------------------------------

// A u32 key: byte 0 position components (3 and more stored as 3), byte 1 colour flag, byte 2 uv
// components (0 or 2), byte 3 index bytes (1, 2 or 3 kept, anything above 3 stored as 4).
// A vertex is the position floats, then the colour as one u32 (red in the low byte) when the flag
// is set, then u and v when there are uv components.
typedef u32 vertex_format;

vertex_format gl_vertex_format(u32 position_components, u32 has_colour, u32 uv_components, u32 index_bytes);
inline u32 gl_vertex_format_position(vertex_format f) { return f & 0xFF; }
inline u32 gl_vertex_format_colour(vertex_format f) { return (f >> 8) & 0xFF; }
inline u32 gl_vertex_format_uv(vertex_format f) { return (f >> 16) & 0xFF; }
inline u32 gl_vertex_format_index_bytes(vertex_format f) { return f >> 24; }
// (position components + colour flag + uv components) * 4 bytes.
u32 gl_vertex_format_stride(vertex_format f);
// The index value that restarts a strip: all ones in the index size (0 for an unknown size).
u32 gl_vertex_format_restart_index(vertex_format f);
// Stores one index of index_bytes (1 to 4) at out, its low bytes first; returns out + index_bytes.
inline u8 *gl_index_write(u8 *out, u32 index_bytes, u32 value) {
  if (index_bytes == 1) {
    *out = (u8)value;
  } else if (index_bytes == 2) {
    u16 v = (u16)value;
    memcpy(out, &v, 2);
  } else if (index_bytes == 4) {
    memcpy(out, &value, 4);
  } else {
    // A key may hold 3 (no GL type has it): the bytes written are never more than the index takes.
    memcpy(out, &value, 3);
  }
  return out + index_bytes;
}

// ---- Commands --------------------------------------------------------------------------------

enum render_command_kind : u32 {
  render_command_clear = 1,
  render_command_viewport = 2,
  render_command_triangle_strip = 5,
  render_command_textured_rectangle = 6,
  render_command_text = 7,
  render_command_draw_batch = 8,
  render_command_scissor = 9,
};

struct gl_batch;

struct render_command_scissor_payload {
  u32 enabled;
  s32 x, y, width, height;  // bottom-left origin, pixels, never negative
};
struct render_command_strip_payload {
  u8 *vertices;  // first vertex in the batch's vertex memory
  u32 triangle_count;  // the strip has triangle_count + 2 vertices
  u32 texture;  // textured rectangles only: the GL texture name
  u32 bytes_per_pixel;  // textured rectangles only: 1 to 4
  // Set when drawn: the vertex its indices count from. The index size numbers only so many
  // vertices, so a frame with more draws them in runs, each from its own base.
  u32 base_vertex;
};
struct render_command_text_payload {
  f32 x, y, z;  // first baseline origin
  u32 font_index;
  buffer text;  // UTF-8, copied into the batch's text memory
  u32 colour;  // packed
  u32 glyph_count;  // 0 when recorded, set when drawn
  s32 previous_codepoint;  // for kerning against text drawn just before; -1 for none
};

struct render_command {
  u32 kind;
  union {
    u32 clear_colour;
    struct {
      f32 x, y, width, height;
    } viewport;
    gl_batch *batch;
    render_command_scissor_payload scissor;
    render_command_strip_payload strip;
    render_command_text_payload text;
  };
};
static_assert(sizeof(render_command) == 64, "a command is 64 bytes");

struct render_command_list {
  u32 count;
  buffer commands;  // the 64-byte commands, 8-aligned
  buffer data;  // scratch for indices and text vertices while drawing, rolled back per batch
  // When it holds memory, data is its view and grows with it.
  arena data_arena;
  u32 dropped;  // commands that did not fit since the last clear
  u32 drop_reported;  // the first drop has been logged
};

// Carves both arenas from the parent; an arena that does not fit is left empty, so every push into
// it is dropped.
render_command_list render_commands_create(buffer *parent, u64 command_bytes, u64 data_bytes);
void render_commands_clear(render_command_list *list);
// Appends a command of the kind, zeroed but for the kind; null when the list is full.
render_command *render_command_list_push(render_command_list *list, u32 kind);
// Makes room for n bytes at the alignment in a view of a growing arena (of none, or of an arena
// without memory: then only what is free counts). The renderer's arenas double, so the commits
// stay few however a frame grows. False when the arena's limit or the system refuses.
bool gl_arena_make_room(buffer *view, arena *growing, u64 n, u64 alignment);

// The top-level commands go into the renderer's list (gfx/gl_backend.h).
struct gl_renderer;
render_command *render_push_clear(gl_renderer *renderer, rgba colour);
render_command *render_push_viewport(gl_renderer *renderer, v2 position, v2 size);
// Negative x, y, width or height are stored as 0.
render_command *render_push_scissor(gl_renderer *renderer, u32 enabled, s32 x, s32 y, s32 width, s32 height);
render_command *render_push_batch(gl_renderer *renderer, gl_batch *batch);

// ---- Batches ---------------------------------------------------------------------------------

struct gl_batch {
  u32 kind;  // 5 shapes (triangle strips), 6 images (textured rectangles), 7 text
  // Rebuilt every frame.
  u32 command_count;
  buffer commands;  // the 64-byte sub-commands
  buffer vertices;  // shapes and images: the vertex bytes of all strips; text: the copied texts
  // GL buffers, made on the first draw; the used counts are reset after every draw.
  u32 vbo, vbo_capacity, vbo_used;
  u32 vertex_count;  // vertices indexed so far this frame
  u32 ibo, ibo_capacity, ibo_used;
  // Fixed when the batch is made.
  u32 program;
  f32 *projection;
  vertex_format format;
  font_collection *fonts;  // text only
  u32 texture;  // text: the atlas texture, made on first draw; shapes with uv: their one texture
  // Batches of the renderer grow: commands and vertices are the views of these arenas. Both are
  // empty for a batch made in a caller's arena.
  arena commands_arena;
  arena vertices_arena;
  u32 slot;  // 1 + the renderer's slot, 0 for a batch of the caller's; with the kind it names the batch
  // Recordings refused because a budget was full.
  u32 dropped;  // since the last clear
  u32 budgets_reported;  // a bit per gl_batch_budget whose first overflow was logged
};

// The budgets a recording or a draw can find full, each logged once per batch.
enum gl_batch_budget : u32 {
  gl_batch_budget_commands = 0x1,
  gl_batch_budget_vertices = 0x2,  // shapes and images: vertex bytes; text: the copied texts
  gl_batch_budget_vertex_numbers = 0x4,  // text only: the index size cannot number a text's vertices
  gl_batch_budget_scratch = 0x8,  // the renderer's scratch for indices and text quads
  gl_batch_budget_program = 0x10,  // not a budget: the batch's program did not build
  gl_batch_budget_kind = 0x20,  // not a budget: a recording the batch's kind does not hold
};

// What a renderer batch reserves beyond its first budgets: a million sub-commands, 256 MiB of
// vertices (shapes and images) and 32 MiB of text, far beyond any screen.
#define GL_BATCH_COMMANDS_RESERVE MiB(64)
#define GL_BATCH_VERTICES_RESERVE MiB(256)
#define GL_BATCH_TEXT_RESERVE MiB(32)

// Each takes the batch's memory from the arena: b * 64 bytes of sub-commands and, for shapes and
// images, (a + 2b) * stride bytes of vertices; for text, a bytes of text. a is a vertex budget
// (shapes, images) or a text byte budget (text); b the sub-command budget.
// An arena too small for either part leaves that part empty, so every recording is dropped.
gl_batch gl_batch_init_shapes(buffer *arena, u32 a, u32 b, vertex_format format, u32 program, f32 *projection);
gl_batch gl_batch_init_images(buffer *arena, u32 a, u32 b, vertex_format format, u32 program, f32 *projection);
gl_batch gl_batch_init_text(buffer *arena, u32 a, u32 b, vertex_format format, u32 program, f32 *projection,
                            font_collection *fonts);
// The bytes gl_batch_init_* carves for these budgets (command arena at alignment 8 first).
u64 gl_batch_memory_size(u32 kind, u32 a, u32 b, vertex_format format);
// A batch that grows: reserves its commands and vertices (at least the defaults above, at least
// the budgets) and commits the budgets a and b at first. Every part that cannot be reserved is
// left empty, so recordings into it drop.
gl_batch gl_batch_init_growing(u32 kind, u32 a, u32 b, vertex_format format, u32 program, f32 *projection,
                               font_collection *fonts);
// Gives a growing batch's reservations back; a batch of the caller's arena is left alone.
void gl_batch_release(gl_batch *batch);
void gl_batch_clear(gl_batch *batch);

// Corner tints are indexed 0 bottom-left, 1 bottom-right, 2 top-left, 3 top-right.
struct gl_uv_rect {
  f32 s0, t0, s1, t1;
};

// Four vertices in the order top-left, bottom-left, top-right, bottom-right as one strip of two
// triangles. uv defaults to (0, 0, 1, 1), tints to white. Returns the sub-command, or null when
// the batch is full (nothing is recorded then).
render_command *gl_batch_rectangle(gl_batch *batch, rect r, const gl_uv_rect *uv, const rgba *tints, rgba colour);
render_command *gl_batch_textured_rectangle(gl_batch *batch, rect r, const gl_uv_rect *uv, const rgba *tints,
                                            rgba colour, u32 texture, u32 bytes_per_pixel);
// The text is copied, so it may come from temporary memory; previous code point 0 is stored as -1.
render_command *gl_batch_text(gl_batch *batch, const u8 *text, u64 length, f32 x, f32 y, s32 previous_codepoint,
                              u32 font_index, rgba colour);
// Negative x, y, width or height are stored as 0.
render_command *gl_batch_scissor(gl_batch *batch, u32 enabled, s32 x, s32 y, s32 width, s32 height);
// The font at that index of a text batch's collection; null for a bad index or another kind.
font *gl_batch_get_font(gl_batch *batch, u32 index);

// Vertex count (shapes and images) of what the batch holds now.
inline u32 gl_batch_recorded_vertices(const gl_batch *batch) {
  u32 stride = gl_vertex_format_stride(batch->format);
  return stride ? (u32)(batch->vertices.used / stride) : 0;
}
// Counts a dropped recording and logs the first overflow of that budget in the batch's life, as
// "gl_batch 2 (text): dropped a text: its sub-commands are full (99200 bytes); reported once.".
void gl_batch_note_drop(gl_batch *batch, u32 budget, const char *what);
