// The OpenGL 3.3 core backend: the renderer record with its command list, batches, programs and
// projection; the GLSL programs; the execution of a frame's commands; text laid out into glyph
// quads when drawn; and 2D textures. UI thread only, with the window's context current.
#pragma once

#include "gfx/render.h"

// ---- Types -----------------------------------------------------------------------------------

#define GL_RENDERER_MAX_BATCHES 16

struct gl_renderer {
  render_command_list commands;
  gl_batch batches[GL_RENDERER_MAX_BATCHES];
  u32 programs[GL_RENDERER_MAX_BATCHES];  // one per batch slot, 0 until made
  f32 projection[16];  // column-major; used by every batch given no other matrix
  u8 batch_count;
  // Made once by gl_renderer_create.
  u32 vertex_array;
  buffer memory;  // the renderer's own command and data arenas
  u32 gl_errors_logged;  // GL errors reported so far (the log line is bounded)
};

struct gl_texture {
  u8 *pixels;  // the caller's, not owned
  u32 handle;  // GL texture name
  u32 width;
  u32 height;
  u8 bytes_per_pixel;
};

enum : u32 {
  gl_renderer_flag_depth_test = 0x1,
  gl_renderer_flag_cull_face = 0x2,
  gl_renderer_flag_blend = 0x4,
};

enum : u32 {
  gl_texture_flag_bgr = 0x1,  // the source is in blue-green-red order
  gl_texture_flag_linear = 0x2,
  gl_texture_flag_mipmaps = 0x4,
};

#define GL_RENDERER_COMMAND_BYTES MiB(20)
// The drawing scratch commits this much at first and grows into its reservation: one batch's
// indices, or its text laid out into quads (100 bytes a glyph), at a time.
#define GL_RENDERER_DATA_BYTES MiB(1)
#define GL_RENDERER_DATA_RESERVE GiB(4)

// ---- Creation --------------------------------------------------------------------------------

// Binds one vertex array for the whole run, sets the flags' state, reserves the command and data
// arenas and the projection for the size. The record must stay where it is once batches are added
// (they point at its projection).
gl_renderer gl_renderer_create(s32 width, s32 height, u32 flags);

// Each takes the next of the 16 slots and returns its batch, or null when all are taken (logged).
// a and b are the budgets the batch commits at first; it grows past them (up to the reservations
// of gfx/render.h) as frames need. A format of 0 and a program of 0 take the defaults; a null
// projection takes the renderer's.
gl_batch *gl_renderer_add_shape_batch(gl_renderer *renderer, u32 a, u32 b, vertex_format format, u32 program,
                                      f32 *projection);
gl_batch *gl_renderer_add_shape_batch_default(gl_renderer *renderer);
// With no collection the default collection is made at the pixel size (14 when 0) and built.
gl_batch *gl_renderer_add_text_batch(gl_renderer *renderer, u32 a, u32 b, vertex_format format, u32 program,
                                     f32 *projection, font_collection *fonts, u32 pixel_size);
gl_batch *gl_renderer_add_image_batch(gl_renderer *renderer, u32 a, u32 b, vertex_format format, u32 program,
                                      f32 *projection);
gl_batch *gl_renderer_add_image_batch_default(gl_renderer *renderer);
gl_batch *gl_renderer_add_textured_shape_batch(gl_renderer *renderer, u32 a, u32 b, vertex_format format,
                                               u32 program, f32 *projection, u32 texture);

// ---- The frame -------------------------------------------------------------------------------

// Empties the list and every batch.
void gl_renderer_clear(gl_renderer *renderer);
// A viewport command and the projection for the size.
void gl_renderer_begin_frame(gl_renderer *renderer, f32 x, f32 y, f32 width, f32 height);
// One draw-batch command per batch in slot order, then gl_render.
void gl_renderer_end_frame(gl_renderer *renderer);
// Executes the command list in order. Each drawn batch's vertex and index buffers are specified
// anew with exactly the bytes this frame draws (one call each), so a frame's upload follows what
// is on screen. A GL error is logged (a bounded number of times) and the frame goes on.
void gl_render(gl_renderer *renderer);

// Lays text out into 4 vertices and 5 indices per glyph (the fifth the restart value), starting
// at vertex number first_vertex; returns the glyph count, at most the byte count. The outputs must
// hold 4 vertices and 5 indices per byte.
u32 gl_text_to_quads(const u8 *text, u64 length, f32 x, f32 y, s32 previous_codepoint, font_collection *fonts,
                     u32 font_index, u8 *vertex_output, u8 *index_output, u32 first_vertex, u32 colour,
                     vertex_format format);

// ---- Textures and programs -------------------------------------------------------------------

gl_texture gl_texture_create(u8 *pixels, u32 width, u32 height, u32 bytes_per_pixel, u32 flags);
void gl_texture_destroy(gl_texture *texture);

// The program name, or 0 when a shader did not compile or the program did not link (logged).
u32 gl_program_create(const char *vertex_source, const char *fragment_source);
// Each logs a failure, deletes the object and sets its name to 0; 1 when it is good.
u32 gl_shader_check(u32 *shader);
u32 gl_program_check(u32 *program);

// The shader sources, for programs built from them elsewhere.
extern const char *const gl_shader_flat_vertex;
extern const char *const gl_shader_flat_fragment;
extern const char *const gl_shader_textured_vertex;
extern const char *const gl_shader_text_fragment;
extern const char *const gl_shader_image_fragment;
