// The OpenGL backend: the renderer and its batches, the GLSL programs, textures, and the
// execution of a frame's commands.
#include "gfx/gl_backend.h"

#include "core/strings.h"
#include "gfx/gl.h"
#include "gfx/render_font.h"
#include "platform/log.h"
#include "profiler/profiler.h"

#include <string.h>

// ---- Shaders ---------------------------------------------------------------------------------

static const char *const gl_shader_version = "#version 330\n";

static const char *const gl_shader_color_unpack =
    "vec4 color_unpack(uint color) {\n"
    "  return vec4(float(color & 0xFFu), float((color >> 8u) & 0xFFu),\n"
    "              float((color >> 16u) & 0xFFu), float((color >> 24u) & 0xFFu)) / 255.0;\n"
    "}\n";

const char *const gl_shader_flat_vertex =
    "in vec3 position;\n"
    "in uint color;\n"
    "uniform mat4x4 projection;\n"
    "out vec4 out_color;\n"
    "void main() {\n"
    "  out_color = color_unpack(color);\n"
    "  gl_Position = projection * vec4(position, 1.0);\n"
    "}\n";

const char *const gl_shader_flat_fragment =
    "in vec4 out_color;\n"
    "out vec4 fragment_out_color;\n"
    "void main() { fragment_out_color = out_color; }\n";

const char *const gl_shader_textured_vertex =
    "vec4 color_unpack(uint color);\n"
    "in vec3 position;\n"
    "in vec2 in_uv;\n"
    "in uint color;\n"
    "uniform mat4x4 projection;\n"
    "out vec2 out_uv;\n"
    "out vec4 out_color;\n"
    "void main() {\n"
    "  out_uv = in_uv;\n"
    "  out_color = color_unpack(color);\n"
    "  gl_Position = projection * vec4(position, 1.0);\n"
    "}\n";

const char *const gl_shader_text_fragment =
    "in vec2 out_uv;\n"
    "in vec4 out_color;\n"
    "uniform sampler2D albedo;\n"
    "out vec4 fragment_out_color;\n"
    "void main() {\n"
    "  float c = texture(albedo, out_uv).r;\n"
    "  fragment_out_color = vec4(out_color.r, out_color.g, out_color.b, out_color.a * c);\n"
    "}\n";

const char *const gl_shader_image_fragment =
    "in vec2 out_uv;\n"
    "in vec4 out_color;\n"
    "uniform sampler2D albedo;\n"
    "uniform uint bytes_per_pixel;\n"
    "out vec4 fragment_out_color;\n"
    "void main() {\n"
    "  vec4 texel = texture(albedo, out_uv);\n"
    "  if (bytes_per_pixel == 1u) texel = vec4(texel.r, texel.r, texel.r, 1.0);\n"
    "  fragment_out_color = texel * out_color;\n"
    "}\n";

// ---- Log helpers -----------------------------------------------------------------------------

static void log_cstr(const char *text) {
  if (text) log_append(text, strlen(text));
}

// Appends a text that GL wrote with its terminating zero, the zero replaced by a newline.
static void log_gl_text(const char *text, s32 length_with_zero) {
  if (length_with_zero <= 0) {
    log_cstr("\n");
    return;
  }
  u64 n = strnlen(text, (u64)length_with_zero);
  log_append(text, n);
  log_cstr("\n");
}

#define GL_ERRORS_LOGGED_MAX 64

// A GL error during a frame is a programming error, but the frame is still worth finishing: it
// is logged (a bounded number of times, since it would repeat every frame) and drawing goes on.
static void gl_check(gl_renderer *renderer, const char *where) {
  for (GLenum e; (e = gl.glGetError()) != GL_NO_ERROR;) {
    u32 *logged = renderer ? &renderer->gl_errors_logged : nullptr;
    static u32 logged_without_renderer;
    if (!logged) logged = &logged_without_renderer;
    if (*logged >= GL_ERRORS_LOGGED_MAX) continue;
    (*logged)++;
    // One append, so that a worker's line never lands inside it.
    u8 bytes[160];
    buffer line = buffer_make(sizeof bytes, 0, bytes);
    buffer_push_string(&line, string_lit("GL error "), 1);
    buffer_push_unsigned(&line, e, 0, ' ', format_hex | format_hex_min_4 | format_hex_upper);
    buffer_push_string(&line, string_lit(" after "), 1);
    buffer_push_bytes(&line, where, strnlen(where, sizeof bytes - 32));
    buffer_push_u8(&line, '\n', 1);
    log_append(line.data, line.used);
  }
}

// ---- Programs --------------------------------------------------------------------------------

u32 gl_shader_check(u32 *shader) {
  GLint status = 0;
  gl.glGetShaderiv(*shader, GL_COMPILE_STATUS, &status);
  if (status) return 1;
  GLint type = 0, log_length = 0, source_length = 0;
  gl.glGetShaderiv(*shader, GL_SHADER_TYPE, &type);
  gl.glGetShaderiv(*shader, GL_INFO_LOG_LENGTH, &log_length);
  gl.glGetShaderiv(*shader, GL_SHADER_SOURCE_LENGTH, &source_length);
  log_cstr("Shader error:\n    Handle: ");
  log_unsigned(*shader, 0, ' ', 0);
  log_cstr("\n    Type: ");
  log_cstr(type == GL_VERTEX_SHADER ? "vertex shader" : type == GL_FRAGMENT_SHADER ? "fragment shader" : "geometry shader");
  log_cstr("\n    Error:\n");
  buffer text = memory_alloc((u64)(log_length > source_length ? log_length : source_length) + 1, nullptr);
  if (text.data) {
    GLsizei n = 0;
    gl.glGetShaderInfoLog(*shader, (GLsizei)text.size, &n, (GLchar *)text.data);
    log_gl_text((const char *)text.data, log_length);
    log_cstr("    Source:\n");
    gl.glGetShaderSource(*shader, (GLsizei)text.size, &n, (GLchar *)text.data);
    log_gl_text((const char *)text.data, source_length);
    memory_free(&text);
  } else {
    log_cstr("\n    Source:\n\n");
  }
  log_cstr("\n");
  gl.glDeleteShader(*shader);
  *shader = 0;
  return 0;
}

u32 gl_program_check(u32 *program) {
  GLint status = 0;
  gl.glGetProgramiv(*program, GL_LINK_STATUS, &status);
  if (status) return 1;
  GLint log_length = 0;
  gl.glGetProgramiv(*program, GL_INFO_LOG_LENGTH, &log_length);
  log_cstr("Shader program error:\n    Handle: ");
  log_unsigned(*program, 0, ' ', 0);
  log_cstr("\nError:\n    ");
  buffer text = memory_alloc((u64)log_length + 1, nullptr);
  if (text.data) {
    GLsizei n = 0;
    gl.glGetProgramInfoLog(*program, (GLsizei)text.size, &n, (GLchar *)text.data);
    log_gl_text((const char *)text.data, log_length);
    memory_free(&text);
  } else {
    log_cstr("\n");
  }
  gl.glDeleteProgram(*program);
  *program = 0;
  return 0;
}

static u32 shader_compile(GLenum type, const char *source) {
  u32 shader = gl.glCreateShader(type);
  if (type == GL_VERTEX_SHADER) {
    const char *parts[3] = {gl_shader_version, gl_shader_color_unpack, source};
    gl.glShaderSource(shader, 3, parts, nullptr);
  } else {
    const char *parts[2] = {gl_shader_version, source};
    gl.glShaderSource(shader, 2, parts, nullptr);
  }
  gl.glCompileShader(shader);
  gl_shader_check(&shader);
  return shader;
}

u32 gl_program_create(const char *vertex_source, const char *fragment_source) {
  u32 vertex = shader_compile(GL_VERTEX_SHADER, vertex_source);
  u32 fragment = shader_compile(GL_FRAGMENT_SHADER, fragment_source);
  if (!vertex || !fragment) {
    if (vertex) gl.glDeleteShader(vertex);
    if (fragment) gl.glDeleteShader(fragment);
    return 0;
  }
  u32 program = gl.glCreateProgram();
  gl.glAttachShader(program, vertex);
  gl.glAttachShader(program, fragment);
  gl.glBindFragDataLocation(program, 0, "fragment_out_color");
  gl.glLinkProgram(program);
  if (!gl_program_check(&program)) {
    gl.glDeleteShader(vertex);
    gl.glDeleteShader(fragment);
    return 0;
  }
  return program;
}

// ---- Textures --------------------------------------------------------------------------------

gl_texture gl_texture_create(u8 *pixels, u32 width, u32 height, u32 bytes_per_pixel, u32 flags) {
  invariant(bytes_per_pixel >= 1 && bytes_per_pixel <= 4);
  gl_texture t = {};
  t.pixels = pixels;
  t.width = width;
  t.height = height;
  t.bytes_per_pixel = (u8)bytes_per_pixel;
  gl.glGenTextures(1, &t.handle);
  gl.glBindTexture(GL_TEXTURE_2D, t.handle);
  gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_BASE_LEVEL, 0);
  gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
  gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  bool linear = flags & gl_texture_flag_linear;
  bool mipmaps = flags & gl_texture_flag_mipmaps;
  gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, linear ? GL_LINEAR : GL_NEAREST);
  gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER,
                     linear ? (mipmaps ? GL_LINEAR_MIPMAP_LINEAR : GL_LINEAR) : GL_NEAREST);
  static const GLenum internal_formats[4] = {GL_RED, GL_RG, GL_RGB, GL_RGBA};
  GLenum internal = internal_formats[bytes_per_pixel - 1];
  GLenum source = internal;
  if (flags & gl_texture_flag_bgr) {
    if (bytes_per_pixel == 3) source = GL_BGR;
    if (bytes_per_pixel == 4) source = GL_BGRA;
  }
  // Rows are tightly packed; GL assumes 4-byte row alignment unless told.
  GLint alignment = 4;
  bool unaligned = ((u64)width * bytes_per_pixel) % 4 != 0;
  if (unaligned) {
    gl.glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  }
  gl.glTexImage2D(GL_TEXTURE_2D, 0, (GLint)internal, (GLsizei)width, (GLsizei)height, 0, source, GL_UNSIGNED_BYTE,
                  pixels);
  if (unaligned) gl.glPixelStorei(GL_UNPACK_ALIGNMENT, alignment);
  gl_check(nullptr, "glTexImage2D");
  if (mipmaps) gl.glGenerateMipmap(GL_TEXTURE_2D);
  return t;
}

void gl_texture_destroy(gl_texture *texture) {
  if (texture->handle) gl.glDeleteTextures(1, &texture->handle);
  texture->handle = 0;
}

// ---- The renderer ----------------------------------------------------------------------------

gl_renderer gl_renderer_create(s32 width, s32 height, u32 flags) {
  gl_renderer r = {};
  gl.glGenVertexArrays(1, &r.vertex_array);
  gl.glBindVertexArray(r.vertex_array);
  if (flags & gl_renderer_flag_blend) {
    gl.glEnable(GL_BLEND);
    gl.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  }
  if (flags & gl_renderer_flag_depth_test) gl.glEnable(GL_DEPTH_TEST);
  if (flags & gl_renderer_flag_cull_face) gl.glEnable(GL_CULL_FACE);
  r.memory = memory_alloc(GL_RENDERER_COMMAND_BYTES, nullptr);
  if (!r.memory.data) log_cstr("gl_renderer_create: no memory for the command list.\n");
  r.commands = render_commands_create(&r.memory, GL_RENDERER_COMMAND_BYTES, 0);
  // The scratch holds one batch's indices or text quads at a time and grows with the largest.
  // Its full budget is reported by the batch that found it full (gl_batch_note_drop).
  if (arena_reserve(&r.commands.data_arena, GL_RENDERER_DATA_RESERVE, GL_RENDERER_DATA_BYTES, 0,
                    "gl_renderer drawing scratch", arena_flag_double | arena_flag_quiet)) {
    r.commands.data = arena_view(&r.commands.data_arena);
  } else {
    log_cstr("gl_renderer_create: no memory for the drawing scratch.\n");
  }
  mat4_ortho(r.projection, width, height);
  return r;
}

enum batch_program_kind : u32 { batch_program_flat, batch_program_text, batch_program_image };

// Takes the next slot; null (logged) when there is none.
static gl_batch *batch_slot_take(gl_renderer *renderer) {
  if (renderer->batch_count >= GL_RENDERER_MAX_BATCHES) {
    log_cstr("gl_renderer: every batch slot is taken.\n");
    return nullptr;
  }
  return &renderer->batches[renderer->batch_count];
}

static u32 batch_program(gl_renderer *renderer, u32 program, batch_program_kind kind) {
  if (program) return program;
  u32 *slot = &renderer->programs[renderer->batch_count];
  if (!*slot) {
    const char *vertex = kind == batch_program_flat ? gl_shader_flat_vertex : gl_shader_textured_vertex;
    const char *fragment = kind == batch_program_flat  ? gl_shader_flat_fragment
                           : kind == batch_program_text ? gl_shader_text_fragment
                                                        : gl_shader_image_fragment;
    *slot = gl_program_create(vertex, fragment);
  }
  return *slot;
}

// The budgets a and b are what the batch commits at first; it grows past them as frames need.
static gl_batch *batch_add(gl_renderer *renderer, u32 kind, u32 a, u32 b, vertex_format format, u32 program,
                           f32 *projection, batch_program_kind program_kind, font_collection *fonts) {
  gl_batch *slot = batch_slot_take(renderer);
  if (!slot) return nullptr;
  program = batch_program(renderer, program, program_kind);
  if (!projection) projection = renderer->projection;
  *slot = gl_batch_init_growing(kind, a, b, format, program, projection, fonts);
  if (!slot->commands.data || !slot->vertices.data) log_cstr("gl_renderer: no memory for a batch.\n");
  slot->slot = renderer->batch_count + 1u;
  renderer->batch_count++;
  return slot;
}

gl_batch *gl_renderer_add_shape_batch(gl_renderer *renderer, u32 a, u32 b, vertex_format format, u32 program,
                                      f32 *projection) {
  if (!format) format = gl_vertex_format(2, 1, 0, 2);
  u64 vertices = 2ull * a;
  return batch_add(renderer, render_command_triangle_strip, vertices > 0xFFFFFFFFull ? 0xFFFFFFFFu : (u32)vertices,
                   b, format, program, projection, batch_program_flat, nullptr);
}

gl_batch *gl_renderer_add_shape_batch_default(gl_renderer *renderer) {
  return gl_renderer_add_shape_batch(renderer, 1000, 1000, 0, 0, nullptr);
}

gl_batch *gl_renderer_add_text_batch(gl_renderer *renderer, u32 a, u32 b, vertex_format format, u32 program,
                                     f32 *projection, font_collection *fonts, u32 pixel_size) {
  if (!format) format = gl_vertex_format(2, 1, 2, 4);
  if (!fonts) {
    fonts = render_font_default_collection(pixel_size ? pixel_size : 14);
    if (!fonts) log_cstr("gl_renderer_add_text_batch: the default fonts could not be read.\n");
  }
  u64 text_bytes = 4ull * a;
  if (text_bytes > 0xFFFFFFFFull) text_bytes = 0xFFFFFFFFull;
  return batch_add(renderer, render_command_text, (u32)text_bytes, b, format, program, projection,
                   batch_program_text, fonts);
}

gl_batch *gl_renderer_add_image_batch(gl_renderer *renderer, u32 a, u32 b, vertex_format format, u32 program,
                                      f32 *projection) {
  if (!format) format = gl_vertex_format(2, 1, 2, 2);
  return batch_add(renderer, render_command_textured_rectangle, a, b, format, program, projection,
                   batch_program_image, nullptr);
}

gl_batch *gl_renderer_add_image_batch_default(gl_renderer *renderer) {
  return gl_renderer_add_image_batch(renderer, 1000, 1000, 0, 0, nullptr);
}

gl_batch *gl_renderer_add_textured_shape_batch(gl_renderer *renderer, u32 a, u32 b, vertex_format format,
                                               u32 program, f32 *projection, u32 texture) {
  if (!format) format = gl_vertex_format(2, 1, 2, 2);
  gl_batch *batch = batch_add(renderer, render_command_triangle_strip, a, b, format, program, projection,
                              batch_program_image, nullptr);
  if (batch) batch->texture = texture;
  return batch;
}

void gl_renderer_clear(gl_renderer *renderer) {
  render_commands_clear(&renderer->commands);
  for (u32 i = 0; i < renderer->batch_count; i++) gl_batch_clear(&renderer->batches[i]);
}

// Window sizes arrive as floats; NaN, negatives and sizes past any screen become 0 or the limit
// instead of an undefined conversion.
static s32 to_pixels(f32 v) {
  if (!(v > 0)) return 0;
  if (v >= 1048576.0f) return 1048576;
  return (s32)v;
}
static s32 to_pixels_signed(f32 v) {
  if (v != v) return 0;
  if (v <= -1048576.0f) return -1048576;
  if (v >= 1048576.0f) return 1048576;
  return (s32)v;
}

void gl_renderer_begin_frame(gl_renderer *renderer, f32 x, f32 y, f32 width, f32 height) {
  render_push_viewport(renderer, v2{x, y}, v2{width, height});
  mat4_ortho(renderer->projection, to_pixels(width), to_pixels(height));
}

void gl_renderer_end_frame(gl_renderer *renderer) {
  for (u32 i = 0; i < renderer->batch_count; i++) render_push_batch(renderer, &renderer->batches[i]);
  gl_render(renderer);
}

// ---- Execution -------------------------------------------------------------------------------

static void scissor_apply(const render_command_scissor_payload *s) {
  if (s->enabled) {
    gl.glEnable(GL_SCISSOR_TEST);
    gl.glScissor(s->x, s->y, s->width, s->height);
  } else {
    gl.glDisable(GL_SCISSOR_TEST);
  }
}

static GLenum index_type(u32 index_bytes) {
  return index_bytes == 1 ? GL_UNSIGNED_BYTE : index_bytes == 2 ? GL_UNSIGNED_SHORT : GL_UNSIGNED_INT;
}

static void attribute_enable(u32 program, const char *name, bool integer, s32 components, u32 stride, u64 offset) {
  GLint location = gl.glGetAttribLocation(program, name);
  if (location < 0) return;
  if (integer) {
    gl.glVertexAttribIPointer((GLuint)location, components, GL_UNSIGNED_INT, (GLsizei)stride, (const void *)offset);
  } else {
    gl.glVertexAttribPointer((GLuint)location, components, GL_FLOAT, GL_FALSE, (GLsizei)stride, (const void *)offset);
  }
  gl.glEnableVertexAttribArray((GLuint)location);
}

// The store is specified anew every frame at the size this frame draws, with its bytes in the
// same call: the driver hands out fresh memory instead of waiting for the last frame's draws,
// and nothing beyond what is drawn is allocated or copied.
static void upload(GLenum target, u32 *capacity, u32 *used, const void *data, u64 bytes) {
  gl.glBufferData(target, (GLsizeiptr)bytes, data, GL_STREAM_DRAW);
  *capacity = bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : (u32)bytes;
  *used = *capacity;
}

// n bytes of the renderer's scratch (grown when needed); null when it cannot hold them.
static u8 *scratch_push(gl_renderer *renderer, u64 n) {
  render_command_list *list = &renderer->commands;
  if (!gl_arena_make_room(&list->data, &list->data_arena, n, 4)) return nullptr;
  return (u8 *)buffer_push(&list->data, n, 4);
}

static void draw_pending(u32 pending, u32 index_bytes, u64 *offset, u32 base_vertex) {
  if (!pending) return;
  if (base_vertex) {
    gl.glDrawElementsBaseVertex(GL_TRIANGLE_STRIP, (GLsizei)pending, index_type(index_bytes), (const void *)*offset,
                                (GLint)base_vertex);
  } else {
    gl.glDrawElements(GL_TRIANGLE_STRIP, (GLsizei)pending, index_type(index_bytes), (const void *)*offset);
  }
  *offset += (u64)pending * index_bytes;
}

// Shapes and images: the strips' vertices are already in the batch, only indices are made here.
static void draw_strips(gl_renderer *renderer, gl_batch *batch, u32 index_bytes, u32 restart) {
  render_command *commands = (render_command *)batch->commands.data;
  u64 index_count = 0;
  for (u32 i = 0; i < batch->command_count; i++) {
    u32 kind = commands[i].kind;
    if (kind == render_command_triangle_strip || kind == render_command_textured_rectangle) {
      index_count += (u64)commands[i].strip.triangle_count + 3;
    }
  }
  u8 *indices = index_count ? scratch_push(renderer, index_count * index_bytes) : nullptr;
  if (index_count && !indices) {
    gl_batch_note_drop(batch, gl_batch_budget_scratch, "a batch (no room for its indices)");
    return;
  }
  // Indices count from the run's base vertex and never reach the restart value: a strip that
  // would starts the next run.
  u8 *out = indices;
  u32 base = 0;
  for (u32 i = 0; i < batch->command_count; i++) {
    u32 kind = commands[i].kind;
    if (kind != render_command_triangle_strip && kind != render_command_textured_rectangle) continue;
    u32 n = commands[i].strip.triangle_count + 2;
    invariant(n < restart);  // only rectangles are recorded
    if ((u64)batch->vertex_count - base + n > restart) base = batch->vertex_count;
    commands[i].strip.base_vertex = base;
    for (u32 k = 0; k < n; k++) out = gl_index_write(out, index_bytes, batch->vertex_count - base + k);
    out = gl_index_write(out, index_bytes, restart);
    batch->vertex_count += n;
  }
  upload(GL_ARRAY_BUFFER, &batch->vbo_capacity, &batch->vbo_used, batch->vertices.data, batch->vertices.used);
  upload(GL_ELEMENT_ARRAY_BUFFER, &batch->ibo_capacity, &batch->ibo_used, indices, index_count * index_bytes);
  gl.glActiveTexture(GL_TEXTURE0);
  bool images = batch->kind == render_command_textured_rectangle;
  if (!images && gl_vertex_format_uv(batch->format)) gl.glBindTexture(GL_TEXTURE_2D, batch->texture);
  gl.glEnable(GL_PRIMITIVE_RESTART);
  gl.glPrimitiveRestartIndex(restart);
  GLint bytes_per_pixel_location = images ? gl.glGetUniformLocation(batch->program, "bytes_per_pixel") : -1;
  u64 offset = 0;
  u32 pending = 0;
  base = 0;
  for (u32 i = 0; i < batch->command_count; i++) {
    render_command *c = &commands[i];
    if (c->kind == render_command_scissor) {
      draw_pending(pending, index_bytes, &offset, base);
      pending = 0;
      scissor_apply(&c->scissor);
    } else if (c->kind == render_command_triangle_strip || c->kind == render_command_textured_rectangle) {
      if (c->strip.base_vertex != base) {
        draw_pending(pending, index_bytes, &offset, base);
        pending = 0;
        base = c->strip.base_vertex;
      }
      if (images) {
        // Each image has its own texture: one draw per rectangle.
        gl.glBindTexture(GL_TEXTURE_2D, c->kind == render_command_textured_rectangle ? c->strip.texture : 0);
        if (bytes_per_pixel_location >= 0) gl.glUniform1ui(bytes_per_pixel_location, c->strip.bytes_per_pixel);
        draw_pending(c->strip.triangle_count + 3, index_bytes, &offset, base);
      } else {
        pending += c->strip.triangle_count + 3;
      }
    }
  }
  draw_pending(pending, index_bytes, &offset, base);
  gl.glDisable(GL_PRIMITIVE_RESTART);
}

// Every text of the batch is laid out into one run of quads in the scratch (at most one glyph a
// byte, so the batch's text bytes bound it), then both buffers take exactly the glyphs laid out.
static void draw_text(gl_renderer *renderer, gl_batch *batch, u32 stride, u32 index_bytes, u32 restart) {
  if (!batch->texture) {
    u8 *pixels = nullptr;
    u32 width = 0, height = 0;
    if (!render_font_get_atlas(batch->fonts, &pixels, &width, &height)) return;
    batch->texture = gl_texture_create(pixels, width, height, 1, gl_texture_flag_linear).handle;
  }
  render_command *commands = (render_command *)batch->commands.data;
  u64 text_bytes = 0;
  for (u32 i = 0; i < batch->command_count; i++) {
    if (commands[i].kind == render_command_text) text_bytes += commands[i].text.text.used;
  }
  u8 *vertices = text_bytes ? scratch_push(renderer, text_bytes * 4 * stride) : nullptr;
  u8 *indices = vertices ? scratch_push(renderer, text_bytes * 5 * index_bytes) : nullptr;
  if (text_bytes && !indices) {
    gl_batch_note_drop(batch, gl_batch_budget_scratch, "a batch's texts (no room to lay them out)");
    return;
  }
  u64 glyphs_total = 0;
  for (u32 i = 0; i < batch->command_count; i++) {
    render_command *c = &commands[i];
    if (c->kind != render_command_text) continue;
    c->text.glyph_count = 0;
    u64 bytes = c->text.text.used;
    if (!bytes) continue;
    // Vertex numbers must stay below the restart value of the index size.
    if (glyphs_total * 4 + 4 * bytes > restart) {
      gl_batch_note_drop(batch, gl_batch_budget_vertex_numbers, "a text");
      continue;
    }
    u32 glyphs = gl_text_to_quads(c->text.text.data, bytes, c->text.x, c->text.y, c->text.previous_codepoint,
                                  batch->fonts, c->text.font_index, vertices + glyphs_total * 4 * stride,
                                  indices + glyphs_total * 5 * index_bytes, (u32)(glyphs_total * 4),
                                  c->text.colour, batch->format);
    c->text.glyph_count = glyphs;
    glyphs_total += glyphs;
  }
  upload(GL_ARRAY_BUFFER, &batch->vbo_capacity, &batch->vbo_used, vertices, glyphs_total * 4 * stride);
  upload(GL_ELEMENT_ARRAY_BUFFER, &batch->ibo_capacity, &batch->ibo_used, indices, glyphs_total * 5 * index_bytes);
  gl.glActiveTexture(GL_TEXTURE0);
  gl.glBindTexture(GL_TEXTURE_2D, batch->texture);
  gl.glEnable(GL_PRIMITIVE_RESTART);
  gl.glPrimitiveRestartIndex(restart);
  u64 offset = 0;
  u32 pending = 0;
  for (u32 i = 0; i < batch->command_count; i++) {
    render_command *c = &commands[i];
    if (c->kind == render_command_scissor) {
      draw_pending(pending, index_bytes, &offset, 0);
      pending = 0;
      scissor_apply(&c->scissor);
    } else if (c->kind == render_command_text) {
      pending += c->text.glyph_count * 5;
    }
  }
  draw_pending(pending, index_bytes, &offset, 0);
  gl.glDisable(GL_PRIMITIVE_RESTART);
}

static void draw_batch(gl_renderer *renderer, gl_batch *batch) {
  if (!batch || !batch->command_count) return;
  if (!batch->program) {
    gl_batch_note_drop(batch, gl_batch_budget_program, "a batch");
    return;
  }
  vertex_format f = batch->format;
  u32 stride = gl_vertex_format_stride(f);
  u32 index_bytes = gl_vertex_format_index_bytes(f);
  u32 restart = gl_vertex_format_restart_index(f);

  gl.glUseProgram(batch->program);
  gl.glUniformMatrix4fv(gl.glGetUniformLocation(batch->program, "projection"), 1, GL_FALSE, batch->projection);
  if (gl_vertex_format_uv(f)) {
    GLint location = gl.glGetUniformLocation(batch->program, "bytes_per_pixel");
    if (location >= 0) gl.glUniform1ui(location, 4);
  }
  gl_check(renderer, "glUseProgram");

  if (!batch->vbo) {
    gl.glGenBuffers(1, &batch->vbo);
    gl.glGenBuffers(1, &batch->ibo);
  }
  gl.glBindBuffer(GL_ARRAY_BUFFER, batch->vbo);
  gl.glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, batch->ibo);
  gl_check(renderer, "glBindBuffer");

  u32 position = gl_vertex_format_position(f);
  attribute_enable(batch->program, "position", false, (s32)position, stride, 0);
  if (gl_vertex_format_colour(f)) attribute_enable(batch->program, "color", true, 1, stride, 4ull * position);
  if (gl_vertex_format_uv(f)) {
    u64 offset = 4ull * (position + gl_vertex_format_colour(f));
    attribute_enable(batch->program, "in_uv", false, 2, stride, offset);
  }
  gl_check(renderer, "glVertexAttribPointer");

  // Only used goes back: the view keeps the size the scratch has grown to.
  buffer *data = &renderer->commands.data;
  u64 before = data->used;
  if (batch->kind == render_command_text) draw_text(renderer, batch, stride, index_bytes, restart);
  else draw_strips(renderer, batch, index_bytes, restart);
  data->used = before;
  batch->vbo_used = 0;
  batch->vertex_count = 0;
  batch->ibo_used = 0;
  gl_check(renderer, "drawing a batch");
}

void gl_render(gl_renderer *renderer) {
  PROFILE_ZONE(zone_gl_render);
  render_command *commands = (render_command *)renderer->commands.commands.data;
  for (u32 i = 0; i < renderer->commands.count; i++) {
    render_command *c = &commands[i];
    switch (c->kind) {
      case render_command_clear: {
        rgba colour = rgba_from_u32(c->clear_colour);
        gl.glClearColor(colour.r, colour.g, colour.b, colour.a);
        gl.glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        break;
      }
      case render_command_viewport:
        gl.glViewport(to_pixels_signed(c->viewport.x), to_pixels_signed(c->viewport.y),
                      to_pixels(c->viewport.width), to_pixels(c->viewport.height));
        break;
      case render_command_scissor: scissor_apply(&c->scissor); break;
      case render_command_draw_batch: draw_batch(renderer, c->batch); break;
      default: break;
    }
  }
  gl_check(renderer, "gl_render");
}
