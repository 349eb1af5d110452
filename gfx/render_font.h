// What the renderer needs of a font collection when it lays text out into glyph quads: metrics,
// glyphs, kerning, the atlas and the default collection. Kept behind these few calls so that the
// renderer meets the font records in one place.
#pragma once

#include "core/base.h"

struct font;
struct font_collection;

struct render_font_metrics {
  f32 scale;         // font units to pixels
  f32 line_advance;  // pixels from one baseline down to the next
  u32 monospace;
};

// A glyph as the quad builder uses it: the box around the pen in pixels (y up), the advance in
// pixels, the atlas box in pixels with rows counted from the bottom.
struct render_glyph {
  f32 left, bottom, right, top;
  f32 advance;
  u32 x0, y0, x1, y1;
  const void *source;  // the collection's own glyph record, for kerning
};

// The font at the index, null for a bad index or no collection.
font *render_font_at(font_collection *fonts, u32 index);
render_font_metrics render_font_get_metrics(const font *f);
// The glyph of the code point (the fallback glyph when it is not in the list).
render_glyph render_font_get_glyph(font *f, u32 codepoint);
// Kerning between a glyph and the next code point, in pixels.
f32 render_font_get_kerning(font *f, const render_glyph *glyph, u32 next_codepoint);
// The coverage atlas, one byte per pixel, rows bottom-up; false when there is none.
bool render_font_get_atlas(font_collection *fonts, u8 **pixels, u32 *width, u32 *height);
// The default collection at the pixel size with the base code points, built; null when its fonts
// cannot be read.
font_collection *render_font_default_collection(u32 pixel_size);
