// The input stream under the tokenizer: decoding with line bookkeeping, UTF-8 output, character
// references and the <meta> prescan that picks the encoding of raw bytes.
#include "core/strings.h"
#include "core/unicode.h"
#include "html/html.h"
#include "html/html_internal.h"
#include "html/named_references.h"
#include "profiler/profiler.h"

// ---- Code point sets ---------------------------------------------------------------------

#define HP_NONCHARACTERS                                                                         \
  0xFFFE, 0xFFFF, 0x1FFFE, 0x1FFFF, 0x2FFFE, 0x2FFFF, 0x3FFFE, 0x3FFFF, 0x4FFFE, 0x4FFFF,        \
      0x5FFFE, 0x5FFFF, 0x6FFFE, 0x6FFFF, 0x7FFFE, 0x7FFFF, 0x8FFFE, 0x8FFFF, 0x9FFFE, 0x9FFFF,  \
      0xAFFFE, 0xAFFFF, 0xBFFFE, 0xBFFFF, 0xCFFFE, 0xCFFFF, 0xDFFFE, 0xDFFFF, 0xEFFFE, 0xEFFFF,  \
      0xFFFFE, 0xFFFFF, 0x10FFFE, 0x10FFFF
#define HP_C1_CONTROLS                                                                            \
  0x7F, 0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8D, 0x8E, \
      0x8F, 0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0x9B, 0x9C, 0x9D,   \
      0x9E, 0x9F
#define HP_FDD0_FDEF                                                                             \
  0xFDD0, 0xFDD1, 0xFDD2, 0xFDD3, 0xFDD4, 0xFDD5, 0xFDD6, 0xFDD7, 0xFDD8, 0xFDD9, 0xFDDA, 0xFDDB, \
      0xFDDC, 0xFDDD, 0xFDDE, 0xFDDF, 0xFDE0, 0xFDE1, 0xFDE2, 0xFDE3, 0xFDE4, 0xFDE5, 0xFDE6,    \
      0xFDE7, 0xFDE8, 0xFDE9, 0xFDEA, 0xFDEB, 0xFDEC, 0xFDED, 0xFDEE, 0xFDEF
#define HP_C0_FROM_0E 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F

const u32 hp_invalid_text_characters[HP_INVALID_TEXT_CHARACTER_COUNT] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 0x0B, HP_C0_FROM_0E, HP_C1_CONTROLS, HP_FDD0_FDEF, HP_NONCHARACTERS};
const u32 hp_forbidden_numeric_references[HP_FORBIDDEN_NUMERIC_REFERENCE_COUNT] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 0x0B, 0x0D, HP_C0_FROM_0E, HP_C1_CONTROLS, HP_FDD0_FDEF, HP_NONCHARACTERS};
const u32 hp_attribute_name_stop_characters[HP_ATTRIBUTE_NAME_STOP_COUNT] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
    26, 27, 28, 29, 30, 31, 32, ' ', '\t', '\n', '\f', '\r', '"', '\'', '/', '=', '>',
    HP_C1_CONTROLS, HP_FDD0_FDEF, HP_NONCHARACTERS};

// ---- Stream ------------------------------------------------------------------------------

hp_stream *hp_stream_init(hp_stream *stream, u8 *data, u64 size, u32 options) {
  memory_zero(stream, sizeof(*stream));
  hp_cursor c = {};
  c.position = data;
  c.end = data + size;
  c.line_start = data;
  c.pending = HP_NO_CODE_POINT;
  stream->current = c;
  stream->lookahead = c;
  stream->previous = c;
  stream->state = hp_state_data;
  stream->options = options;
  return stream;
}

u32 hp_decode_codepoint(hp_cursor *cursor, u32 encoding, int *err) {
  PROFILE_ZONE(zone_hp_decode_codepoint);
  return hp_decode_inline(cursor, encoding, err);
}

u32 hp_decode_slow(hp_cursor *cursor, u32 encoding, int *err) {
  u32 code_point = HP_NO_CODE_POINT;
  u32 second = HP_NO_CODE_POINT;
  u8 count = 0;
  u32 status = 0;
  encoding_decode(encoding, cursor->position, cursor->end, &code_point, &second, &count,
                  &cursor->decoder_state, &status);
  u64 left = (u64)(cursor->end - cursor->position);
  if (status == encoding_error_unknown_encoding) {
    *err = html_tokenizer_error_invalid_encoding_name;
    return HP_NO_CODE_POINT;
  }
  if (status == encoding_error_end_of_input) {
    // Bytes the decoder could not use at the end (a cut sequence, a lone UTF-16 byte, a
    // trailing escape) must still be used up, or the caller's loop would never reach the end.
    if (left > 0 && encoding != encoding_iso_2022_jp) {
      cursor->position = cursor->end;
      cursor->column++;
      return unicode_replacement;
    }
    cursor->position = cursor->end;
    *err = html_tokenizer_error_eof;
    return HP_NO_CODE_POINT;
  }
  if (count == 0) count = 1;  // every decode moves, whatever a codec reports
  cursor->position += count < left ? count : left;
  cursor->column++;
  if (status != 0) return unicode_replacement;
  if (second != HP_NO_CODE_POINT && second != 0) cursor->pending = second;
  if (code_point == HP_NO_CODE_POINT) return unicode_replacement;
  return code_point;
}

void hp_stream_update_line(hp_cursor *cursor, u32 code_point) { hp_update_line_inline(cursor, code_point); }

u32 hp_consume(hp_stream *stream, int *err) {
  PROFILE_ZONE(zone_hp_consume);
  return hp_consume_inline(stream, err);
}

void hp_unconsume(hp_stream *stream) {
  invariant(stream->previous_valid);
  stream->current = stream->previous;
  stream->previous_valid = 0;
}

void hp_lookahead_begin(hp_stream *stream) {
  stream->lookahead = stream->current;
  stream->previous_valid = 0;
}

u32 hp_lookahead_consume(hp_stream *stream, int *err) { return hp_lookahead_consume_inline(stream, err); }

void hp_lookahead_accept(hp_stream *stream) { stream->current = stream->lookahead; }

void hp_push_codepoint(buffer *text, buffer *string, u32 code_point) {
  PROFILE_ZONE(zone_hp_push_codepoint);
  hp_push_codepoint_inline(text, string, code_point);
}

void hp_push_codepoint_slow(buffer *text, buffer *string, u32 code_point) {
  if (!unicode_is_scalar_value(code_point)) code_point = unicode_replacement;
  u8 bytes[4];
  u8 length = 0;
  u32 error = 0;
  unicode_utf8_encode(bytes, bytes + sizeof(bytes), code_point, &length, &error);
  if (error || length == 0) return;
  if (!string->data) string->data = buffer_end(*text);
  // The arena is sized for the worst case; a short one drops text rather than overrun.
  if (!buffer_push_bytes(text, bytes, length)) return;
  string->used += length;
  string->size = string->used;
}

// ---- Character references ----------------------------------------------------------------

// The names are stored in the byte order of "name;" (so "emsp13" comes before "emsp"), and a
// binary search compares them that way; a slot without a name belongs to the named slot before.
static s32 hp_compare_name(u64 slot, const u8 *name, u64 length) {
  const char *s = html_named_reference_names[slot];
  u64 n = html_named_reference_lengths[slot];
  for (u64 i = 0;; i++) {
    u8 a = i < n ? (u8)s[i] : (u8)';';
    u8 b = i < length ? name[i] : (u8)';';
    if (a != b) return a < b ? -1 : 1;
    if (i >= n || i >= length) return 0;
  }
}

static s64 hp_find_named_slot(const u8 *name, u64 length) {
  s64 low = 0;
  s64 high = HTML_NAMED_REFERENCE_SLOTS - 1;
  while (low <= high) {
    s64 mid = low + (high - low) / 2;
    s64 slot = mid;
    if (!html_named_reference_names[slot]) slot--;  // slot 0 always has a name
    s32 cmp = hp_compare_name((u64)slot, name, length);
    if (cmp == 0) return slot;
    if (cmp < 0) {
      low = mid + 1;
    } else {
      high = slot - 1;
    }
  }
  return -1;
}

void hp_named_reference_codepoints(u64 slot, u32 *first, u32 *second) {
  *first = HP_NO_CODE_POINT;
  *second = HP_NO_CODE_POINT;
  if (slot >= HTML_NAMED_REFERENCE_SLOTS) return;
  *first = html_named_reference_codepoints[slot];
  if (slot + 1 < HTML_NAMED_REFERENCE_SLOTS && !html_named_reference_names[slot + 1])
    *second = html_named_reference_codepoints[slot + 1];
}

void hp_find_named_reference(const u8 *name, u64 length, u32 *first, u32 *second) {
  *first = HP_NO_CODE_POINT;
  *second = HP_NO_CODE_POINT;
  if (length == 0 || length > 31) return;
  s64 slot = hp_find_named_slot(name, length);
  if (slot >= 0) hp_named_reference_codepoints((u64)slot, first, second);
}

u16 hp_find_named_reference_slot(u32 first, u32 second, u64 start) {
  if (first == 0) return 0xFFFF;
  for (u64 slot = start; slot < HTML_NAMED_REFERENCE_SLOTS; slot++) {
    if (!html_named_reference_names[slot] || html_named_reference_codepoints[slot] != first) continue;
    if (second != 0 && slot + 1 < HTML_NAMED_REFERENCE_SLOTS) {
      if (html_named_reference_names[slot + 1] || html_named_reference_codepoints[slot + 1] != second)
        continue;
    }
    return (u16)slot;
  }
  return 0xFFFF;
}

u8 hp_parse_character_reference(hp_stream *stream, u32 *first, u32 *second, u32 *ambiguous) {
  PROFILE_ZONE(zone_hp_parse_character_reference);
  *first = HP_NO_CODE_POINT;
  *second = HP_NO_CODE_POINT;
  *ambiguous = 0;
  hp_lookahead_begin(stream);
  int e = 0;
  u32 c = hp_lookahead_consume_inline(stream, &e);
  if (e) return 0;
  if (c == '#') {
    c = hp_lookahead_consume_inline(stream, &e);
    if (e) return 0;
    bool hex = c == 'x' || c == 'X';
    if (hex) {
      c = hp_lookahead_consume_inline(stream, &e);
      if (e) return 0;
    }
    // The value saturates past U+10FFFF: any longer run of digits is simply too large, and
    // can never wrap around to a small, valid value.
    u32 value = 0;
    u64 digits = 0;
    while (hex ? char_is_hex(c) : char_is_digit(c)) {
      if (value <= 0x10FFFF) value = value * (hex ? 16 : 10) + (hex ? char_hex_value(c) : char_digit_value(c));
      digits++;
      c = hp_lookahead_consume_inline(stream, &e);
      if (e) return 0;
    }
    if (digits == 0 || c != ';') return 0;
    if (value == 0 || !unicode_is_scalar_value(value) || hp_is_forbidden_numeric_reference(value)) return 0;
    *first = value;
    hp_lookahead_accept(stream);
    return 1;
  }
  if (!char_is_alnum(c)) return 0;
  u8 name[31];
  u64 n = 0;
  name[n++] = (u8)c;
  for (;;) {
    c = hp_lookahead_consume_inline(stream, &e);
    if (e) return 0;
    if (!char_is_alnum(c) || n == sizeof(name)) break;
    name[n++] = (u8)c;
  }
  if (c == ';') {
    hp_find_named_reference(name, n, first, second);
    if (*first == HP_NO_CODE_POINT) {
      *ambiguous = 1;
      return 0;
    }
    hp_lookahead_accept(stream);
    return *second != HP_NO_CODE_POINT ? 2 : 1;
  }
  while (char_is_alnum(c)) {
    c = hp_lookahead_consume_inline(stream, &e);
    if (e) return 0;
  }
  if (c == ';') *ambiguous = 1;
  return 0;
}

// ---- Prescan -----------------------------------------------------------------------------

static bool hp_bytes_at(const u8 *p, const u8 *end, const char *text, u64 n) {
  return (u64)(end - p) >= n && string_equal_bytes(p, n, text, n);
}

static bool hp_equal_ignore_case(buffer a, const char *b) {
  return string_equal_ignore_case(a, string_from_bytes(b, string_length(b)));
}

// Reads one tag's attributes starting at p with the private stream; returns where reading
// stopped. Each attribute is handed to the visitor until it returns false.
template <typename Visit>
static u8 *hp_prescan_attributes(hp_stream *s, buffer *arena, u8 *p, u8 *window_end, Visit visit) {
  hp_stream_init(s, p, (u64)(window_end - p), 0);
  s->encoding = encoding_utf_8;
  arena->used = 0;
  for (;;) {
    int e = 0;
    buffer name = {};
    buffer value = {};
    u8 *before = s->current.position;
    hp_parse_attribute(s, arena, &name, &value, &e);
    if (name.used == 0) break;
    if (!visit(name, value)) break;
    if (s->current.position == before) break;
  }
  return s->current.position;
}

u32 hp_detect_encoding(buffer input) {
  PROFILE_ZONE(zone_hp_detect_encoding);
  if (!input.data || input.used == 0) return 0;
  u8 *p = input.data;
  u8 *window_end = input.data + (input.used < 1024 ? input.used : 1024);
  hp_stream s;
  alignas(8) u8 arena_bytes[4096];
  buffer arena = buffer_make(sizeof(arena_bytes), 0, arena_bytes);
  u32 result = 0;
  while (result == 0 && p < window_end) {
    if (hp_bytes_at(p, window_end, "<!--", 4)) {
      // The scan resumes right after "-->": a meta there must be seen.
      p += 4;
      while (p < window_end && !hp_bytes_at(p, window_end, "-->", 3)) p++;
      p = p < window_end ? p + 3 : window_end;
      continue;
    }
    if ((u64)(window_end - p) > 5 && string_starts_with_ignore_case_bytes(p, window_end, "<meta", 5) &&
        hp_is_whitespace(p[5])) {
      bool seen_http_equiv = false, seen_content = false, seen_charset = false;
      bool got_pragma = false, from_content = false;
      p = hp_prescan_attributes(&s, &arena, p + 5, window_end, [&](buffer name, buffer value) {
        if (hp_equal_ignore_case(name, "http-equiv")) {
          if (!seen_http_equiv) {
            seen_http_equiv = true;
            if (hp_equal_ignore_case(value, "content-type")) got_pragma = true;
          }
        } else if (hp_equal_ignore_case(name, "content")) {
          if (!seen_content) {
            seen_content = true;
            buffer prefix = string_lit("text/html;");
            if (result == 0 && string_starts_with_ignore_case(value, prefix)) {
              u8 *q = value.data + prefix.used;
              u8 *end = value.data + value.used;
              while (q < end && hp_is_whitespace(*q)) q++;
              if (string_starts_with_ignore_case_bytes(q, end, "charset=", 8)) {
                q += 8;
                result = encoding_from_label(q, (u64)(end - q));
                from_content = result != 0;
              }
            }
          }
        } else if (string_equal(name, string_lit("charset"))) {
          if (!seen_charset) {
            seen_charset = true;
            result = encoding_from_label(value.data, value.used);
          }
        }
        if (result == 0) return true;
        if (from_content && !seen_charset && !got_pragma) result = encoding_utf_8;
        if (result == encoding_utf_16be || result == encoding_utf_16le) result = encoding_utf_8;
        if (result == encoding_x_user_defined) result = encoding_windows_1252;
        return false;
      });
    } else if (p[0] == '<') {
      u8 *q = p + 1;
      bool end_tag = q < window_end && *q == '/';
      if (end_tag) q++;
      if (q < window_end && char_is_alnum(*q)) {
        while (q < window_end && char_is_alnum(*q)) q++;
        if (q < window_end && hp_is_whitespace(*q)) {
          q = hp_prescan_attributes(&s, &arena, q, window_end, [](buffer, buffer) { return true; });
          while (q < window_end && hp_is_whitespace(*q)) q++;
          if (!end_tag && q < window_end && *q == '/') q++;
        }
        p = q;
      } else if (p + 1 < window_end && (p[1] == '!' || p[1] == '?' || p[1] == '/')) {
        while (p < window_end && *p != '>') p++;
      }
    }
    // A construct that ran to the window's end leaves nothing to step over.
    if (p < window_end) p++;
  }
  return result;
}
