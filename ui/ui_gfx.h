// The few renderer, font and text-layout calls the toolkit makes, behind names of its own, so
// the rest of ui/ does not depend on how those layers spell their records. Every function takes
// a null batch or font and then records nothing or measures 0.
#pragma once

#include "ui/ui.h"

font_collection *ui_gfx_batch_fonts(gl_batch *batch);
void ui_gfx_batch_set_texture(gl_batch *batch, u32 texture);
void ui_gfx_scissor(gl_batch *batch, u32 enabled, s32 x, s32 y, s32 width, s32 height);
void ui_gfx_rectangle(gl_batch *batch, rect r, rgba colour);
void ui_gfx_icon(gl_batch *batch, rect r, rect uv, rgba colour);
void ui_gfx_image(gl_batch *batch, rect r, rgba colour, u32 texture, u32 bytes_per_pixel);
void ui_gfx_text(gl_batch *batch, const u8 *text, u64 length, f32 x, f32 y, s32 previous_codepoint,
                 u32 font_index, rgba colour);

font *ui_gfx_font(font_collection *fonts, u32 index);
// One line of the font without the line gap.
f32 ui_gfx_line_height(font *f);
// Pixels from a line's bottom up to its baseline.
f32 ui_gfx_descent(font *f);
// Width and height of a possibly multi-line text.
v2 ui_gfx_text_size(font *f, buffer text);
// The x after laying [begin, end) out from x on one line.
f32 ui_gfx_line_end(font *f, const u8 *begin, const u8 *end, s32 previous_codepoint, f32 x);
