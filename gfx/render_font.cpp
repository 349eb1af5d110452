// The renderer's view of the font collection.
#include "gfx/render_font.h"

#if __has_include("gfx/font.h")
#include "gfx/font.h"

font *render_font_at(font_collection *fonts, u32 index) {
  if (!fonts || index >= fonts->font_count) return nullptr;
  return fonts->fonts + index;
}

render_font_metrics render_font_get_metrics(const font *f) {
  render_font_metrics m = {};
  m.scale = f->scale;
  m.line_advance = (f32)(f->ascent - f->descent + f->line_gap) * f->scale;
  m.monospace = f->monospace;
  return m;
}

render_glyph render_font_get_glyph(font *f, u32 codepoint) {
  render_glyph g = {};
  const font_glyph *source = font_get_glyph(f, codepoint);
  if (!source) return g;
  g.left = source->left;
  g.bottom = source->bottom;
  g.right = source->right;
  g.top = source->top;
  g.advance = source->advance;
  g.x0 = source->x0;
  g.y0 = source->y0;
  g.x1 = source->x1;
  g.y1 = source->y1;
  g.source = source;
  return g;
}

f32 render_font_get_kerning(font *f, const render_glyph *glyph, u32 next_codepoint) {
  if (!glyph->source) return 0;
  return (f32)font_get_kerning(f, (const font_glyph *)glyph->source, next_codepoint) * f->scale;
}

bool render_font_get_atlas(font_collection *fonts, u8 **pixels, u32 *width, u32 *height) {
  if (!fonts || !fonts->atlas) return false;
  *pixels = fonts->atlas;
  *width = fonts->atlas_width;
  *height = fonts->atlas_height;
  return true;
}

font_collection *render_font_default_collection(u32 pixel_size) {
  u32 error = 0;
  font_collection *fonts = font_collection_create_default((f32)(pixel_size ? pixel_size : 14), nullptr, 0, &error);
  if (fonts) font_build_collection(fonts, &error);
  return fonts;
}

#else
// Without the font layer there is nothing to draw text with: every text draws no glyphs.

font *render_font_at(font_collection *, u32) { return nullptr; }
render_font_metrics render_font_get_metrics(const font *) { return {}; }
render_glyph render_font_get_glyph(font *, u32) { return {}; }
f32 render_font_get_kerning(font *, const render_glyph *, u32) { return 0; }
bool render_font_get_atlas(font_collection *, u8 **, u32 *, u32 *) { return false; }
font_collection *render_font_default_collection(u32) { return nullptr; }
#endif
