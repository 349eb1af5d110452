// Text layout: measuring and breaking UTF-8 text with one font's glyph metrics and kerning, so
// that what the UI measures is exactly what the renderer draws.
//
// The advance rule, shared with the glyph quads of the renderer: a code point c after a glyph p
// advances by kerning(p, c) * scale + advance(c); with no previous glyph (the start of a text or
// of a line) by -left(c) + advance(c), where a monospace font drops the left-bearing term. Bytes
// that do not decode count as U+FFFD of one byte; nothing reads outside the given range.
#pragma once

#include "core/math.h"
#include "gfx/font.h"

// ---- Types -------------------------------------------------------------------------------

// No previous code point: no kerning against earlier text.
#define TEXT_LAYOUT_NO_CODEPOINT (-1)

// Moves to the text after the given segment: sets the segment and its [next, end) bytes and
// returns non-zero, or returns 0 when there is no more text. With stop_at_segment_end non-zero it
// only sets the range of the segment it is given.
typedef u32 (*text_layout_segment_callback)(void **segment, u64 user, const char **next,
                                            const char **end, u32 stop_at_segment_end);

struct text_layout {
  f32 x;           // pen
  f32 x_max;       // right limit of the current line
  f32 line_x;      // start of a fresh line
  f32 line_x_max;  // right limit of a fresh line
  text_layout_segment_callback callback;
  // The rest of a word measured at a segment seam, kept for the word's next seam: while only
  // code points of no advance are taken after it, the rest from there is the same sum, so a
  // word spread over many such segments is measured once rather than once per segment.
  f32 seam_rest;
  u64 seam_rest_left;  // code points of that measure not taken since; 0 when none is kept
};

struct text_layout_iterator {
  const char *cursor;  // where the current code point was decoded
  const char *next;    // the current code point's bytes until it is passed
  const char *end;     // end of the current segment
  // The current code point, set by text_layout_decode.
  u32 code_point;
  u8 size;
  font_glyph *glyph;
  // The one before it; no previous code point at the start of a text or a line.
  u32 previous_code_point;
  u8 previous_size;
  font_glyph *previous_glyph;
  void *segment;
  u64 user;
  u32 segment_changed;  // the last advance moved into another segment
  u32 continue_across_segments;
};
static_assert(sizeof(text_layout_iterator) == 80, "iterator record");

enum text_layout_run_flags : u32 {
  text_layout_run_text = 1,
  text_layout_run_line_break = 2,
  text_layout_run_text_and_break = 3,
};

// Skip tab, VT, FF and space at the start of a line.
#define TEXT_LAYOUT_SKIP_LEADING_BLANKS 2u

struct text_layout_run {
  u32 flags;           // text_layout_run_*; 0 ends the layout
  const char *begin;   // the run's bytes, inside segment
  const char *end;
  f32 x0, x1;
  void *segment;
};

enum text_layout_line_flags : u32 {
  text_layout_line_ellipsis = 2,  // U+2026 belongs after end
};

// With this flag the first code point that does not fit is still taken, then the line stops.
#define TEXT_LAYOUT_TAKE_OVERFLOWING 1u

struct text_layout_line {
  const char *begin;
  const char *end;   // where measuring stopped
  const char *next;  // where the following line starts (past a consumed line end)
  f32 x0, x1;
  f32 y0, y1;        // 0 and the line height (without the gap)
  u32 flags;
  s32 last_code_point;  // the last code point placed, TEXT_LAYOUT_NO_CODEPOINT when none
};
static_assert(sizeof(text_layout_line) == 48, "single-line result");

// ---- The advance rule --------------------------------------------------------------------

// Pixels the code point with glyph g advances the pen after the previous glyph (null for none).
f32 text_layout_advance_rule(const font *f, const font_glyph *previous, const font_glyph *g, u32 code_point);

// ---- Flowing text over segments ----------------------------------------------------------

text_layout text_layout_make(f32 x, f32 x_max, text_layout_segment_callback callback);
text_layout_iterator text_layout_iterator_make(text_layout *layout, void *first_segment, u64 user);
// Decodes the code point at next and looks up its glyph; 0 at the end of the segment.
u32 text_layout_decode(const font *f, text_layout_iterator *it);
// The current code point becomes the previous one and next moves past it, into the following
// segment when this one ends; 0 when the text is exhausted.
u32 text_layout_advance(text_layout *layout, text_layout_iterator *it);
// Width by the advance rule of the code points from the iterator's current one up to the next
// whitespace (tab, LF, VT, FF, CR, space). Measuring stops once the width exceeds every line's
// room, so a very long word costs no more than a line's worth of code points.
f32 text_layout_word_width(text_layout *layout, text_layout_iterator it, const font *f);
// The next run of text and/or line break. After a run with the line-break bit the caller calls
// text_layout_new_line; a result with flags 0 ends the text. Every call makes progress.
text_layout_run text_layout_next_rect(text_layout *layout, text_layout_iterator *it, const font *f, u32 flags);
void text_layout_new_line(text_layout *layout, text_layout_iterator *it, f32 x, f32 x_max);

// The segment callback for one `buffer` (the segment is a buffer pointer).
u32 text_layout_single_segment(void **segment, u64 user, const char **next, const char **end,
                               u32 stop_at_segment_end);

// ---- Single lines ------------------------------------------------------------------------
// Byte positions are offsets from begin, ascending; for each one reached the x there is stored
// and *positions_filled counts them.

text_layout_line text_layout_single_line(const font *f, const char *begin, const char *end,
                                         s32 previous_code_point, f32 start_x, f32 max_x, u32 flags,
                                         const u64 *byte_positions, f32 *x_values, u32 count,
                                         u32 *positions_filled);
// Fits the text into [start_x, max_x], cutting it with U+2026 when it is too wide; x1 never
// exceeds max_x unless the text fits whole. Positions beyond the cut are given back.
text_layout_line text_layout_fit_single_line(const font *f, buffer text, s32 previous_code_point,
                                             f32 start_x, f32 max_x, const u64 *byte_positions,
                                             f32 *x_values, u32 count, u32 *positions_filled);
// start_x plus the advances of the whole range.
f32 text_layout_single_line_size(const font *f, const char *begin, const char *end,
                                 s32 previous_code_point, f32 start_x);
// {x, y, widest line end, y + line height * lines}: CR, LF and CR LF each end one line; an empty
// text has no line.
rect text_layout_text_size(const font *f, buffer text, s32 previous_code_point, f32 x, f32 y);
// Offset of the caret nearest to target_x in a one-line text.
u64 text_layout_byte_at_position(const font *f, const char *begin, const char *end,
                                 s32 previous_code_point, f32 start_x, f32 target_x);
