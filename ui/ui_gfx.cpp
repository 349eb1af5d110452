// The toolkit's calls into the renderer, the fonts and the text layout, which measures with the
// same advance rule the renderer draws with.
#include "ui/ui_gfx.h"
#include "ui/ui_internal.h"

f32 ui_gfx_line_height_of(font *f) { return ui_gfx_line_height(f); }

#if __has_include("gfx/render.h")
#include "gfx/render.h"
#define UI_HAVE_RENDER 1
#endif
#if __has_include("gfx/font.h")
#include "gfx/font.h"
#include "gfx/text_layout.h"
#define UI_HAVE_FONTS 1
#endif

#ifdef UI_HAVE_RENDER
font_collection *ui_gfx_batch_fonts(gl_batch *batch) { return batch ? batch->fonts : nullptr; }
void ui_gfx_batch_set_texture(gl_batch *batch, u32 texture) {
  if (batch) batch->texture = texture;
}
void ui_gfx_scissor(gl_batch *batch, u32 enabled, s32 x, s32 y, s32 width, s32 height) {
  if (batch) gl_batch_scissor(batch, enabled, x, y, width, height);
}
void ui_gfx_rectangle(gl_batch *batch, rect r, rgba colour) {
  if (batch) gl_batch_rectangle(batch, r, nullptr, nullptr, colour);
}
void ui_gfx_icon(gl_batch *batch, rect r, rect uv, rgba colour) {
  gl_uv_rect u = {uv.x0, uv.y0, uv.x1, uv.y1};
  if (batch) gl_batch_rectangle(batch, r, &u, nullptr, colour);
}
void ui_gfx_image(gl_batch *batch, rect r, rgba colour, u32 texture, u32 bytes_per_pixel) {
  if (batch) gl_batch_textured_rectangle(batch, r, nullptr, nullptr, colour, texture, bytes_per_pixel);
}
void ui_gfx_text(gl_batch *batch, const u8 *text, u64 length, f32 x, f32 y, s32 previous_codepoint,
                 u32 font_index, rgba colour) {
  if (batch && length > 0) gl_batch_text(batch, text, length, x, y, previous_codepoint, font_index, colour);
}
#else
font_collection *ui_gfx_batch_fonts(gl_batch *) { return nullptr; }
void ui_gfx_batch_set_texture(gl_batch *, u32) {}
void ui_gfx_scissor(gl_batch *, u32, s32, s32, s32, s32) {}
void ui_gfx_rectangle(gl_batch *, rect, rgba) {}
void ui_gfx_icon(gl_batch *, rect, rect, rgba) {}
void ui_gfx_image(gl_batch *, rect, rgba, u32, u32) {}
void ui_gfx_text(gl_batch *, const u8 *, u64, f32, f32, s32, u32, rgba) {}
#endif

#ifdef UI_HAVE_FONTS
font *ui_gfx_font(font_collection *fonts, u32 index) {
  if (!fonts || index >= fonts->font_count) return nullptr;
  return &fonts->fonts[index];
}
f32 ui_gfx_line_height(font *f) { return f ? font_line_height(f, 0) : 0; }
f32 ui_gfx_descent(font *f) { return f ? font_get_descent(f) : 0; }

f32 ui_gfx_line_end(font *f, const u8 *begin, const u8 *end, s32 previous_codepoint, f32 x) {
  if (!f || !f->glyphs || end <= begin) return x;
  return text_layout_single_line_size(f, (const char *)begin, (const char *)end, previous_codepoint, x);
}

v2 ui_gfx_text_size(font *f, buffer text) {
  if (!f || !f->glyphs || text.used == 0) return v2{0, 0};
  rect r = text_layout_text_size(f, text, TEXT_LAYOUT_NO_CODEPOINT, 0, 0);
  return v2{r.x1 - r.x0, r.y1 - r.y0};
}
#else
font *ui_gfx_font(font_collection *, u32) { return nullptr; }
f32 ui_gfx_line_height(font *) { return 0; }
f32 ui_gfx_descent(font *) { return 0; }
f32 ui_gfx_line_end(font *, const u8 *, const u8 *, s32, f32 x) { return x; }
v2 ui_gfx_text_size(font *, buffer) { return v2{0, 0}; }
#endif
