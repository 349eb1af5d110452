// Text laid out into glyph quads when a text batch is drawn: the same advance rule the text
// layout measures with, so what the UI measured is what appears.
#include "gfx/gl_backend.h"

#include "core/unicode.h"
#include "gfx/render_font.h"

#include <string.h>

font *gl_batch_get_font(gl_batch *batch, u32 index) {
  if (batch->kind != render_command_text) return nullptr;
  return render_font_at(batch->fonts, index);
}

static u8 *vertex_write(u8 *out, vertex_format format, f32 x, f32 y, u32 colour, f32 u, f32 v) {
  u32 position = gl_vertex_format_position(format);
  f32 p[3] = {x, y, 0};
  memcpy(out, p, 4ull * position);
  out += 4 * position;
  if (gl_vertex_format_colour(format)) {
    memcpy(out, &colour, 4);
    out += 4;
  }
  if (gl_vertex_format_uv(format)) {
    f32 uv[2] = {u, v};
    memcpy(out, uv, 8);
    out += 8;
  }
  return out;
}

u32 gl_text_to_quads(const u8 *text, u64 length, f32 x, f32 y, s32 previous_codepoint, font_collection *fonts,
                     u32 font_index, u8 *vertex_output, u8 *index_output, u32 first_vertex, u32 colour,
                     vertex_format format) {
  font *f = render_font_at(fonts, font_index);
  u8 *atlas = nullptr;
  u32 atlas_width = 0, atlas_height = 0;
  if (!f || !render_font_get_atlas(fonts, &atlas, &atlas_width, &atlas_height) || !atlas_width || !atlas_height) {
    return 0;
  }
  render_font_metrics metrics = render_font_get_metrics(f);
  f32 w = (f32)atlas_width, h = (f32)atlas_height;
  u32 index_bytes = gl_vertex_format_index_bytes(format);
  u32 restart = gl_vertex_format_restart_index(format);
  render_glyph previous = {};
  bool has_previous = false;
  if (previous_codepoint >= 0) {
    previous = render_font_get_glyph(f, (u32)previous_codepoint);
    has_previous = true;
  }
  f32 line_x = x;
  u32 glyphs = 0;
  u32 n = first_vertex;
  const u8 *end = text + length;
  for (const u8 *p = text; p < end;) {
    if (*p == '\r' || *p == '\n') {
      // CR LF is one line end; a lone CR is one too.
      if (*p == '\r' && p + 1 < end && p[1] == '\n') p++;
      p++;
      x = line_x;
      y -= metrics.line_advance;
      has_previous = false;
      continue;
    }
    u32 codepoint = 0, error = 0;
    u8 size = 0;
    unicode_utf8_decode(p, end, &codepoint, &size, &error);
    if (error || size == 0 || codepoint == unicode_invalid) {
      codepoint = 0xFFFD;
      size = 1;
    }
    p += size;
    render_glyph g = render_font_get_glyph(f, codepoint);
    f32 offset;
    if (has_previous) offset = render_font_get_kerning(f, &previous, codepoint);
    else offset = metrics.monospace ? 0 : -g.left;
    f32 x0 = x + g.left + offset, x1 = x + g.right + offset;
    f32 s0 = (f32)g.x0 / w, s1 = (f32)g.x1 / w, t0 = (f32)g.y0 / h, t1 = (f32)g.y1 / h;
    u8 *v = vertex_output + (u64)glyphs * 4 * gl_vertex_format_stride(format);
    v = vertex_write(v, format, x0, y + g.bottom, colour, s0, t0);
    v = vertex_write(v, format, x1, y + g.bottom, colour, s1, t0);
    v = vertex_write(v, format, x0, y + g.top, colour, s0, t1);
    vertex_write(v, format, x1, y + g.top, colour, s1, t1);
    u8 *i = index_output + (u64)glyphs * 5 * index_bytes;
    for (u32 k = 0; k < 4; k++) i = gl_index_write(i, index_bytes, n + k);
    gl_index_write(i, index_bytes, restart);
    n += 4;
    glyphs++;
    x += offset + g.advance;
    previous = g;
    has_previous = true;
  }
  return glyphs;
}
