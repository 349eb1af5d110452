// Measuring and breaking text. Every function walks the bytes once, allocates nothing and never
// reads outside the range it is given.
#include "gfx/text_layout.h"

#include "core/unicode.h"
#include "profiler/profiler.h"

namespace {

bool is_whitespace(u32 c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }
// Blanks skipped at a line start: not the line ends.
bool is_blank(u32 c) { return c == ' ' || c == 0x09 || c == 0x0B || c == 0x0C; }
bool is_line_end(u32 c) { return c == '\r' || c == '\n'; }

// One code point at p (p < end); what does not decode is U+FFFD of one byte.
u32 decode_at(const char *p, const char *end, u8 *size) {
  u32 c = unicode_invalid, error = 0;
  u8 length = 0;
  unicode_utf8_decode((const u8 *)p, (const u8 *)end, &c, &length, &error);
  if (error || length == 0) {
    *size = 1;
    return unicode_replacement;
  }
  *size = length;
  return c;
}

const font_glyph *glyph_of_previous(const font *f, s32 previous) {
  return previous < 0 ? nullptr : font_get_glyph(f, (u32)previous);
}

void forget_previous(text_layout_iterator *it) {
  it->previous_code_point = (u32)TEXT_LAYOUT_NO_CODEPOINT;
  it->previous_size = 0;
  it->previous_glyph = nullptr;
}

bool has_previous(const text_layout_iterator *it) {
  return it->previous_code_point != (u32)TEXT_LAYOUT_NO_CODEPOINT;
}

}  // namespace

f32 text_layout_advance_rule(const font *f, const font_glyph *previous, const font_glyph *g, u32 c) {
  if (!g) return 0;
  if (previous) return (f32)font_get_kerning(f, previous, c) * f->scale + g->advance;
  return (f->monospace ? 0.0f : -g->left) + g->advance;
}

// ---- Iterator ----------------------------------------------------------------------------

text_layout text_layout_make(f32 x, f32 x_max, text_layout_segment_callback callback) {
  invariant(callback);
  text_layout layout;
  layout.x = layout.line_x = x;
  layout.x_max = layout.line_x_max = x_max;
  layout.callback = callback;
  layout.seam_rest = 0;
  layout.seam_rest_left = 0;
  return layout;
}

text_layout_iterator text_layout_iterator_make(text_layout *layout, void *first_segment, u64 user) {
  text_layout_iterator it{};
  forget_previous(&it);
  it.segment = first_segment;
  it.user = user;
  if (!layout->callback(&it.segment, user, &it.next, &it.end, 1)) it.next = it.end = nullptr;
  it.cursor = it.next;
  it.continue_across_segments = 1;
  // Empty segments hold nothing to lay out; the first code point is in the first non-empty one.
  while (it.next && it.next >= it.end && layout->callback(&it.segment, user, &it.next, &it.end, 0)) {
  }
  return it;
}

u32 text_layout_decode(const font *f, text_layout_iterator *it) {
  if (!it->next || it->next >= it->end) return 0;
  it->cursor = it->next;
  it->code_point = decode_at(it->next, it->end, &it->size);
  it->glyph = font_get_glyph(f, it->code_point);
  return 1;
}

u32 text_layout_advance(text_layout *layout, text_layout_iterator *it) {
  it->previous_code_point = it->code_point;
  it->previous_size = it->size;
  it->previous_glyph = it->glyph;
  it->next += it->size;
  it->size = 0;
  it->segment_changed = 0;
  while (it->next >= it->end) {
    if (!it->continue_across_segments) return 0;
    void *segment = it->segment;
    const char *next = it->next, *end = it->end;
    if (!layout->callback(&segment, it->user, &next, &end, 0)) return 0;
    it->segment = segment;
    it->next = it->cursor = next;
    it->end = end;
    it->segment_changed = 1;
  }
  return 1;
}

// The word width, and in *count the code points it added up.
static f32 word_width_counted(text_layout *layout, text_layout_iterator it, const font *f, u64 *count) {
  f32 room = layout->line_x_max - layout->line_x;
  if (layout->x_max - layout->x > room) room = layout->x_max - layout->x;
  f32 width = 0;
  *count = 0;
  while (text_layout_decode(f, &it) && !is_whitespace(it.code_point)) {
    width += text_layout_advance_rule(f, it.previous_glyph, it.glyph, it.code_point);
    *count += 1;
    // Past every line's room the answer to "does it fit" cannot change.
    if (width > room) break;
    if (!text_layout_advance(layout, &it)) break;
  }
  return width;
}

f32 text_layout_word_width(text_layout *layout, text_layout_iterator it, const font *f) {
  u64 count;
  return word_width_counted(layout, it, f, &count);
}

void text_layout_new_line(text_layout *layout, text_layout_iterator *it, f32 x, f32 x_max) {
  layout->x = x;
  layout->x_max = x_max;
  layout->seam_rest_left = 0;
  forget_previous(it);
}

u32 text_layout_single_segment(void **segment, u64, const char **next, const char **end, u32 stop) {
  if (!stop || !*segment) return 0;
  buffer *text = (buffer *)*segment;
  *next = (const char *)text->data;
  *end = (const char *)text->data + text->used;
  return 1;
}

// ---- Flowing text ------------------------------------------------------------------------

text_layout_run text_layout_next_rect(text_layout *layout, text_layout_iterator *it, const font *f, u32 flags) {
  PROFILE_ZONE(zone_text_layout_next_rect);
  text_layout_run run{};
  // The measure kept from the last seam holds only while the pen goes on from there; every
  // other way out of this call drops it.
  u64 rest_left = layout->seam_rest_left;
  layout->seam_rest_left = 0;
  if ((flags & TEXT_LAYOUT_SKIP_LEADING_BLANKS) && !has_previous(it)) {
    rest_left = 0;
    while (text_layout_decode(f, it) && is_blank(it->code_point)) {
      if (!text_layout_advance(layout, it)) break;
    }
  }
  run.begin = it->next;
  run.end = it->next;
  run.segment = it->segment;
  run.x0 = run.x1 = layout->x;
  const f32 x0 = layout->x;

  // Where the word under the pen began, the pen there, and its width as if it began a line.
  text_layout_iterator word = *it;
  f32 word_x = layout->x;
  f32 word_width = 0;
  bool word_empty = true;

  while (text_layout_decode(f, it)) {
    u32 c = it->code_point;
    if (is_line_end(c)) {
      run.end = it->next;
      run.x1 = layout->x;
      run.flags = run.end != run.begin ? text_layout_run_text_and_break : text_layout_run_line_break;
      // CR LF is one line end.
      bool cr = c == '\r';
      if (text_layout_advance(layout, it) && cr && !it->segment_changed && text_layout_decode(f, it) &&
          it->code_point == '\n')
        text_layout_advance(layout, it);
      return run;
    }
    if (is_whitespace(c)) {
      word = *it;
      word_x = layout->x;
      word_width = 0;
      word_empty = true;
    }
    f32 a = text_layout_advance_rule(f, it->previous_glyph, it->glyph, c);
    word_width += word_empty ? text_layout_advance_rule(f, nullptr, it->glyph, c) : a;
    word_empty = false;

    if (layout->x + a <= layout->x_max) {
      layout->x += a;
      // A code point of no advance leaves every sum after it as it was.
      rest_left = rest_left && a == 0 ? rest_left - 1 : 0;
      const char *segment_end = it->end;
      bool more = text_layout_advance(layout, it) != 0;
      if (is_whitespace(c)) {
        word = *it;
        word_x = layout->x;
        word_width = 0;
        word_empty = true;
      }
      if (!more) break;
      if (!it->segment_changed) continue;

      // The run ends with its segment; a word going on across the seam may have to move down.
      run.end = segment_end;
      run.x1 = layout->x;
      run.flags = text_layout_run_text;
      // A word that starts a fresh line stays whatever its rest is, so it is not measured.
      bool at_fresh_line = word_x == layout->line_x && !has_previous(&word);
      if (!at_fresh_line && !is_whitespace(c) && text_layout_decode(f, it) && !is_whitespace(it->code_point)) {
        // The kept measure began at most rest_left code points back, all of no advance: the
        // walk from here would add the same advances in the same order and stop where it did.
        if (!rest_left) {
          layout->seam_rest = word_width_counted(layout, *it, f, &rest_left);
        }
        f32 rest = layout->seam_rest;
        if (layout->x + rest > layout->x_max && layout->line_x + word_width + rest <= layout->line_x_max) {
          run.end = word.next;
          run.x1 = word_x;
          run.flags = text_layout_run_text_and_break;
          *it = word;
          layout->x = word_x;
          return run;
        }
        layout->seam_rest_left = rest_left;
      }
      return run;
    }

    if (word_x != x0) {
      // The word began after the run: the run ends before it and the next call starts with it.
      *it = word;
      layout->x = word_x;
      run.end = word.next;
      run.x1 = word_x;
      run.flags = text_layout_run_text;
      return run;
    }

    // The word began with the run and does not fit the rest of this line.
    text_layout_iterator after = *it;
    f32 rest = 0;
    if (text_layout_advance(layout, &after)) rest = text_layout_word_width(layout, after, f);
    // A word that already starts a fresh line gains nothing by moving (and sums taken in another
    // order may disagree by a rounding step, which would move it forever).
    bool word_at_fresh_line = word_x == layout->line_x && !has_previous(&word);
    if (word_at_fresh_line || layout->line_x + word_width + rest > layout->line_x_max) {
      if (it->next != run.begin) {
        // Too wide even for a fresh line: broken at this code point.
        run.end = it->next;
        run.x1 = layout->x;
        run.flags = text_layout_run_text_and_break;
        return run;
      }
      // Nothing fits before this code point. One wider than a fresh line is dropped, and so is any
      // code point refused at the very start of a fresh line, so every call makes progress.
      bool at_fresh_line = layout->x == layout->line_x && !has_previous(it);
      if (layout->line_x + word_width >= layout->line_x_max || at_fresh_line) text_layout_advance(layout, it);
      run.flags = text_layout_run_line_break;
      run.end = run.begin;
      return run;
    }
    // The whole word fits on a fresh line: it moves there.
    *it = word;
    run.end = run.begin;
    run.x1 = run.x0;
    run.flags = text_layout_run_line_break;
    return run;
  }

  if (layout->x > x0) {
    run.end = it->next;
    run.x1 = layout->x;
    run.flags = text_layout_run_text;
  }
  return run;
}

// ---- Single lines ------------------------------------------------------------------------

static void store_positions(u64 offset, f32 x, const u64 *positions, f32 *x_values, u32 count, u32 *filled) {
  while (*filled < count && positions[*filled] <= offset) x_values[(*filled)++] = x;
}

text_layout_line text_layout_single_line(const font *f, const char *begin, const char *end, s32 previous,
                                         f32 start_x, f32 max_x, u32 flags, const u64 *positions,
                                         f32 *x_values, u32 count, u32 *filled) {
  u32 filled_local = 0;
  if (!filled) filled = &filled_local;
  *filled = 0;
  text_layout_line line{};
  line.begin = begin;
  line.x0 = start_x;
  line.y1 = font_line_height(f, 0);
  line.last_code_point = TEXT_LAYOUT_NO_CODEPOINT;
  const font_glyph *previous_glyph = glyph_of_previous(f, previous);
  f32 x = start_x;
  const char *p = begin;
  line.end = line.next = end;
  while (p < end) {
    store_positions((u64)(p - begin), x, positions, x_values, count, filled);
    u8 size;
    u32 c = decode_at(p, end, &size);
    if (is_line_end(c)) {
      line.end = p;
      line.next = p + 1;
      if (c == '\r' && line.next < end && *line.next == '\n') line.next += 1;
      break;
    }
    const font_glyph *g = font_get_glyph(f, c);
    f32 a = text_layout_advance_rule(f, previous_glyph, g, c);
    if (x + a > max_x) {
      if (flags & TEXT_LAYOUT_TAKE_OVERFLOWING) {
        x += a;
        p += size;
        line.last_code_point = (s32)c;
      }
      line.end = line.next = p;
      break;
    }
    x += a;
    p += size;
    previous_glyph = g;
    line.last_code_point = (s32)c;
  }
  store_positions((u64)(line.end - begin), x, positions, x_values, count, filled);
  line.x1 = x;
  return line;
}

text_layout_line text_layout_fit_single_line(const font *f, buffer text, s32 previous, f32 start_x,
                                             f32 max_x, const u64 *positions, f32 *x_values, u32 count,
                                             u32 *filled) {
  u32 filled_local = 0;
  if (!filled) filled = &filled_local;
  *filled = 0;
  const char *begin = (const char *)text.data, *end = begin + text.used;
  text_layout_line line{};
  line.begin = begin;
  line.x0 = start_x;
  line.y1 = font_line_height(f, 0);
  line.last_code_point = TEXT_LAYOUT_NO_CODEPOINT;
  const font_glyph *ellipsis = font_get_glyph(f, 0x2026);
  const font_glyph *previous_glyph = glyph_of_previous(f, previous);
  f32 x = start_x;
  const char *p = begin;
  // The last place after which an ellipsis still fits, and where that ellipsis ends.
  const char *cut = nullptr;
  f32 cut_x = start_x;
  s32 last = TEXT_LAYOUT_NO_CODEPOINT;
  while (p < end) {
    store_positions((u64)(p - begin), x, positions, x_values, count, filled);
    u8 size;
    u32 c = decode_at(p, end, &size);
    const font_glyph *g = font_get_glyph(f, c);
    f32 a = text_layout_advance_rule(f, previous_glyph, g, c);
    if (x + a > max_x) break;
    x += a;
    p += size;
    previous_glyph = g;
    last = (s32)c;
    f32 after_ellipsis = x + text_layout_advance_rule(f, g, ellipsis, 0x2026);
    if (after_ellipsis <= max_x) {
      cut = p;
      cut_x = after_ellipsis;
    }
  }
  if (p == end) {
    store_positions((u64)(end - begin), x, positions, x_values, count, filled);
    line.end = line.next = end;
    line.x1 = x;
    line.last_code_point = last;
    return line;
  }
  if (cut) {
    line.end = line.next = cut;
    line.x1 = cut_x;
    line.flags = text_layout_line_ellipsis;
    line.last_code_point = 0x2026;
  } else {
    line.end = line.next = begin;
    line.x1 = start_x;
  }
  // Positions past the cut are not on the line.
  while (*filled > 0 && positions[*filled - 1] > (u64)(line.end - begin)) *filled -= 1;
  return line;
}

f32 text_layout_single_line_size(const font *f, const char *begin, const char *end, s32 previous, f32 start_x) {
  const font_glyph *previous_glyph = glyph_of_previous(f, previous);
  f32 x = start_x;
  for (const char *p = begin; p < end;) {
    u8 size;
    u32 c = decode_at(p, end, &size);
    const font_glyph *g = font_get_glyph(f, c);
    x += text_layout_advance_rule(f, previous_glyph, g, c);
    previous_glyph = g;
    p += size;
  }
  return x;
}

rect text_layout_text_size(const font *f, buffer text, s32 previous, f32 x, f32 y) {
  rect r{x, y, x, y};
  if (text.used == 0) return r;
  f32 line_height = font_line_height(f, 0);
  u64 lines = 1;
  const font_glyph *previous_glyph = glyph_of_previous(f, previous);
  f32 pen = x;
  const char *begin = (const char *)text.data, *end = begin + text.used;
  u32 before = 0;
  for (const char *p = begin; p < end;) {
    u8 size;
    u32 c = decode_at(p, end, &size);
    p += size;
    if (c == '\r' || (c == '\n' && before != '\r')) {
      lines += 1;
      pen = x;
      previous_glyph = nullptr;
    } else if (c != '\n') {
      const font_glyph *g = font_get_glyph(f, c);
      pen += text_layout_advance_rule(f, previous_glyph, g, c);
      previous_glyph = g;
      if (pen > r.x1) r.x1 = pen;
    }
    before = c;
  }
  r.y1 = y + line_height * (f32)lines;
  return r;
}

u64 text_layout_byte_at_position(const font *f, const char *begin, const char *end, s32 previous, f32 start_x,
                                 f32 target_x) {
  const font_glyph *previous_glyph = glyph_of_previous(f, previous);
  f32 x = start_x;
  for (const char *p = begin; p < end;) {
    u8 size;
    u32 c = decode_at(p, end, &size);
    const font_glyph *g = font_get_glyph(f, c);
    f32 a = text_layout_advance_rule(f, previous_glyph, g, c);
    if (target_x <= x + a) {
      f32 middle = __builtin_roundf(x + a * 0.5f);
      return (u64)(p - begin) + (target_x >= middle ? size : 0);
    }
    x += a;
    previous_glyph = g;
    p += size;
  }
  return (u64)(end - begin);
}
