#include "core/unicode.h"

#include <string.h>

#include "core/strings.h"

const char *const unicode_error_names[unicode_error_count] = {
    "none",
    "no input",
    "truncated sequence",
    "output too small",
    "not a scalar value",
    "end before begin",
    "bad lead byte",
    "bad continuation byte",
    "malformed sequence",
    "unpaired surrogate",
};

const char *unicode_error_name(u32 error) {
  return error < unicode_error_count ? unicode_error_names[error] : "unknown";
}

// ---- Decoding and encoding without the sticky word ---------------------------------------
// The public functions wrap these; the conversions call them directly in their loops.

namespace {

// 110xxxxx, 1110xxxx or 11110xxx by bit pattern (C0, C1 and F5 to F7 included: the decoder
// rejects those).
inline bool utf8_is_lead_pattern(u8 b) { return (b & 0xE0) == 0xC0 || (b & 0xF0) == 0xE0 || (b & 0xF8) == 0xF0; }
// A byte that can only continue a sequence.
inline bool utf8_is_trailing(u8 b) { return (b & 0x80) && !utf8_is_lead_pattern(b); }

typedef unicode_utf8_lead utf8_lead;

constexpr utf8_lead utf8_lead_of(u32 b) {
  if (b < 0x80) return {1, 0, 0};
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  return {0, 0, 0};
}

constexpr unicode_utf8_lead_table utf8_lead_table_make() {
  unicode_utf8_lead_table t = {};
  for (u32 b = 0; b < 256; b++) t.entries[b] = utf8_lead_of(b);
  return t;
}

inline bool utf8_is_continuation(u8 c) { return (c & 0xC0) == 0x80; }

// Returns 0 or an error code; *code_point and *length as the public decoder sets them.
inline u32 utf8_decode(const u8 *p, const u8 *end, u32 *code_point, u8 *length) {
  *code_point = unicode_invalid;
  *length = 0;
  if (!p || p >= end) return unicode_error_no_input;
  u8 b = p[0];
  utf8_lead lead = unicode_utf8_leads.entries[b];
  if (lead.length == 1) {
    *code_point = b;
    *length = 1;
    return 0;
  }
  if (lead.length == 0) return unicode_error_bad_lead_byte;
  *length = lead.length;
  if ((u64)(end - p) < lead.length) return unicode_error_truncated;
  u8 c1 = p[1];
  if (c1 < lead.low || c1 > lead.high) return unicode_error_bad_continuation;
  if (lead.length == 2) {
    *code_point = (u32)(b & 0x1F) << 6 | (c1 & 0x3F);
    return 0;
  }
  u8 c2 = p[2];
  if (!utf8_is_continuation(c2)) return unicode_error_bad_continuation;
  if (lead.length == 3) {
    *code_point = (u32)(b & 0x0F) << 12 | (u32)(c1 & 0x3F) << 6 | (c2 & 0x3F);
    return 0;
  }
  u8 c3 = p[3];
  if (!utf8_is_continuation(c3)) return unicode_error_bad_continuation;
  *code_point = (u32)(b & 0x07) << 18 | (u32)(c1 & 0x3F) << 12 | (u32)(c2 & 0x3F) << 6 | (c3 & 0x3F);
  return 0;
}

inline u8 utf8_length_of(u32 c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// Writes the scalar value c (its length already known to fit).
inline void utf8_write(u8 *d, u32 c, u8 n) {
  switch (n) {
    case 1: d[0] = (u8)c; break;
    case 2:
      d[0] = (u8)(0xC0 | c >> 6);
      d[1] = (u8)(0x80 | (c & 0x3F));
      break;
    case 3:
      d[0] = (u8)(0xE0 | c >> 12);
      d[1] = (u8)(0x80 | (c >> 6 & 0x3F));
      d[2] = (u8)(0x80 | (c & 0x3F));
      break;
    default:
      d[0] = (u8)(0xF0 | c >> 18);
      d[1] = (u8)(0x80 | (c >> 12 & 0x3F));
      d[2] = (u8)(0x80 | (c >> 6 & 0x3F));
      d[3] = (u8)(0x80 | (c & 0x3F));
      break;
  }
}

inline u32 utf16_decode(const u8 *p, const u8 *end, u32 *code_point, u8 *units, bool big_endian) {
  *code_point = unicode_invalid;
  *units = 0;
  if (!p || p >= end || end - p < 2) {
    *units = 1;
    return unicode_error_no_input;
  }
  u32 first = unicode_read_utf16_unit(p, big_endian);
  if (first < 0xD800 || first > 0xDFFF) {
    *code_point = first;
    *units = 1;
    return 0;
  }
  // A low surrogate can never start a pair, whatever follows it.
  if (first >= unicode_low_surrogate_first) {
    *units = 1;
    return unicode_error_unpaired_surrogate;
  }
  if (end - p < 4) {
    *units = 2;
    return unicode_error_truncated;
  }
  u32 second = unicode_read_utf16_unit(p + 2, big_endian);
  if (second < 0xDC00 || second > 0xDFFF) {
    // Only the high surrogate is bad: the unit after it is decoded afresh.
    *units = 1;
    return unicode_error_unpaired_surrogate;
  }
  *code_point = ((first - 0xD800) << 10 | (second - 0xDC00)) + 0x10000;
  *units = 2;
  return 0;
}

inline void utf16_write_unit(u8 *d, u32 unit, bool big_endian) {
  if (big_endian) {
    d[0] = (u8)(unit >> 8);
    d[1] = (u8)unit;
  } else {
    d[0] = (u8)unit;
    d[1] = (u8)(unit >> 8);
  }
}

// One little-endian unit at any alignment.
inline void store_utf16le(u8 *d, u32 unit) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  u16 u = (u16)unit;
  memcpy(d, &u, 2);
#else
  d[0] = (u8)unit;
  d[1] = (u8)(unit >> 8);
#endif
}

}  // namespace

constexpr unicode_utf8_lead_table unicode_utf8_leads = utf8_lead_table_make();

// ---- Single code points ------------------------------------------------------------------

void unicode_utf8_decode(const u8 *position, const u8 *end, u32 *code_point, u8 *length, u32 *error) {
  u32 c;
  u8 n;
  if (*error) {
    *code_point = unicode_invalid;
    *length = 0;
    return;
  }
  u32 e = utf8_decode(position, end, &c, &n);
  *code_point = c;
  *length = n;
  if (e) *error = e;
}

void unicode_utf8_encode(u8 *destination, const u8 *destination_end, u32 code_point, u8 *length,
                         u32 *error) {
  if (*error) return;
  if (!unicode_is_scalar_value(code_point)) {
    *length = 0;
    *error = unicode_error_not_scalar_value;
    return;
  }
  u8 n = utf8_length_of(code_point);
  *length = n;
  if (!destination) return;
  if (destination >= destination_end || (u64)(destination_end - destination) < n) {
    *error = unicode_error_output_too_small;
    return;
  }
  utf8_write(destination, code_point, n);
}

u8 unicode_utf8_step(const u8 *p, const u8 *end) {
  if (!p || p >= end) return 0;
  utf8_lead lead = unicode_utf8_leads.entries[p[0]];
  u64 left = (u64)(end - p);
  if (lead.length <= 1 || left < 2 || p[1] < lead.low || p[1] > lead.high) return 1;
  for (u8 i = 2; i < lead.length; i++)
    if (i >= left || !utf8_is_continuation(p[i])) return i;
  return lead.length;
}

u64 unicode_utf8_cut(const u8 *text, u64 n, u64 max) {
  if (max >= n) return n;
  // A byte that continues a character cannot start the rest; past three of them the text is
  // not UTF-8 there and any cut is as good.
  u64 i = max;
  while (i > 0 && max - i < 3 && utf8_is_continuation(text[i])) i--;
  return utf8_is_continuation(text[i]) ? max : i;
}

u64 unicode_utf8_count(const u8 *begin, const u8 *end) {
  u64 count = 0;
  const u8 *p = begin;
  while (p && p < end) {
    u32 c;
    u8 n;
    // An undecodable byte is stepped over alone.
    p += utf8_decode(p, end, &c, &n) ? 1 : n;
    count++;
  }
  return count;
}

void unicode_utf16_decode(const u8 *position, const u8 *end, u32 *code_point, u8 *units, bool big_endian,
                          u32 *error) {
  if (*error) {
    *code_point = unicode_invalid;
    *units = 0;
    return;
  }
  u32 e = utf16_decode(position, end, code_point, units, big_endian);
  if (e) *error = e;
}

void unicode_utf16_encode(u8 *destination, const u8 *destination_end, u32 code_point, u8 *units,
                          bool big_endian, u32 *error) {
  if (*error) return;
  if (!unicode_is_scalar_value(code_point)) {
    *units = 0;
    *error = unicode_error_not_scalar_value;
    return;
  }
  u8 n = code_point > 0xFFFF ? 2 : 1;
  *units = n;
  if (!destination) return;
  if (destination >= destination_end || (u64)(destination_end - destination) < 2u * n) {
    *error = unicode_error_output_too_small;
    return;
  }
  if (n == 1) {
    utf16_write_unit(destination, code_point, big_endian);
  } else {
    u32 v = code_point - 0x10000;
    utf16_write_unit(destination, 0xD800 + (v >> 10), big_endian);
    utf16_write_unit(destination + 2, 0xDC00 + (v & 0x3FF), big_endian);
  }
}

u64 unicode_utf16_count(const u8 *begin, const u8 *end) {
  u64 count = 0;
  const u8 *p = begin;
  // A last odd byte is not a unit.
  while (p && end - p >= 2) {
    u32 c;
    u8 n;
    p += utf16_decode(p, end, &c, &n, false) ? 2 : 2 * n;
    count++;
  }
  return count;
}

u64 unicode_utf16_length(const u16 *text) {
  if (!text) return 0;
  u64 n = 0;
  while (text[n]) n++;
  return n;
}

// ---- Whole texts -------------------------------------------------------------------------

u64 unicode_utf16_to_utf8(const void *source, u64 source_units, u8 *destination, u64 destination_capacity,
                          u32 *error) {
  if (*error) return 0;
  const u8 *p = (const u8 *)source;
  const u8 *end = p + 2 * source_units;
  if (!destination) destination_capacity = 0;
  u64 written = 0;
  while (p < end) {
    u32 c = unicode_read_utf16_unit(p, false);
    u32 units = 1;
    if (c < 0x80) {
      // Runs of ASCII, four units at a time, tried only when the next unit is ASCII too.
      if (end - p >= 8 && p[2] < 0x80 && p[3] == 0 && destination_capacity - written >= 4) {
        u64 four;
        memcpy(&four, p, 8);
        if (!(four & 0xFF80FF80FF80FF80ull)) {
          u8 *o = destination + written;
          o[0] = p[0], o[1] = p[2], o[2] = p[4], o[3] = p[6];
          p += 8;
          written += 4;
          continue;
        }
      }
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      u8 n;
      if (utf16_decode(p, end, &c, &n, false)) {
        c = unicode_replacement;
        n = 1;
      }
      units = n;
    }
    u8 n = utf8_length_of(c);
    if (destination_capacity - written < n) {
      *error = unicode_error_output_too_small;
      break;
    }
    utf8_write(destination + written, c, n);
    written += n;
    p += 2 * units;
  }
  return written;
}

u64 buffer_push_utf16_as_utf8(buffer utf16, buffer *arena, u32 *error) {
  invariant(utf16.used % 2 == 0);
  if (*error) return 0;
  u64 n = unicode_utf16_to_utf8(utf16.data, utf16.used / 2, arena->data + arena->used, buffer_free_bytes(*arena),
                                error);
  arena->used += n;
  return n;
}

// The conversion's own decode of one well-formed sequence of 2 to 4 bytes at p: the code point,
// or unicode_invalid when the bytes are not one (the caller then steps over one byte). Checking
// the value instead of each second-byte range gives the same verdict: once the continuation
// bytes are valid, an overlong, a surrogate or a value past U+10FFFF shows in the value alone.
inline u32 utf8_decode_multibyte(const u8 *p, const u8 *end, u32 *length) {
  u32 b = p[0];
  u64 left = (u64)(end - p);
  if (b < 0xE0) {
    if (b < 0xC2 || left < 2 || !utf8_is_continuation(p[1])) return unicode_invalid;
    *length = 2;
    return (b & 0x1F) << 6 | (p[1] & 0x3F);
  }
  if (b < 0xF0) {
    if (left < 3 || !utf8_is_continuation(p[1]) || !utf8_is_continuation(p[2])) return unicode_invalid;
    u32 c = (b & 0x0F) << 12 | (u32)(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
    if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) return unicode_invalid;
    *length = 3;
    return c;
  }
  if (b > 0xF4 || left < 4 || !utf8_is_continuation(p[1]) || !utf8_is_continuation(p[2]) ||
      !utf8_is_continuation(p[3]))
    return unicode_invalid;
  u32 c = (b & 0x07) << 18 | (u32)(p[1] & 0x3F) << 12 | (u32)(p[2] & 0x3F) << 6 | (p[3] & 0x3F);
  if (c < 0x10000 || c > unicode_max) return unicode_invalid;
  *length = 4;
  return c;
}

u64 unicode_utf8_to_utf16(const u8 *source, u64 source_length, void *destination, u64 destination_capacity,
                          u32 *error) {
  if (*error) return 0;
  const u8 *p = source;
  const u8 *end = source ? source + source_length : source;
  u8 *d = (u8 *)destination;
  u64 capacity_units = d ? destination_capacity / 2 : 0;
  u64 written = 0;
  while (p < end) {
    u32 c = p[0];
    u32 n = 1;
    if (c < 0x80) {
      // Runs of ASCII, eight bytes at a time, tried only when the next byte is ASCII too so
      // that text mixing scripts does not pay a failed attempt per letter.
      if (end - p >= 8 && p[1] < 0x80 && capacity_units - written >= 8) {
        u64 bytes;
        memcpy(&bytes, p, 8);
        if (!(bytes & 0x8080808080808080ull)) {
          u8 *o = d + 2 * written;
          for (int i = 0; i < 8; i++) store_utf16le(o + 2 * i, p[i]);
          p += 8;
          written += 8;
          continue;
        }
      }
    } else {
      c = utf8_decode_multibyte(p, end, &n);
      if (c == unicode_invalid) c = unicode_replacement;
    }
    if (c <= 0xFFFF) {
      if (written == capacity_units) {
        *error = unicode_error_output_too_small;
        break;
      }
      store_utf16le(d + 2 * written, c);
      written += 1;
    } else {
      if (capacity_units - written < 2) {
        *error = unicode_error_output_too_small;
        break;
      }
      u32 v = c - 0x10000;
      store_utf16le(d + 2 * written, 0xD800 + (v >> 10));
      store_utf16le(d + 2 * written + 2, 0xDC00 + (v & 0x3FF));
      written += 2;
    }
    p += n;
  }
  return written;
}

u64 buffer_push_utf8_as_utf16(buffer utf8, buffer *arena, u32 *error) {
  if (*error) return 0;
  u64 units = unicode_utf8_to_utf16(utf8.data, utf8.used, arena->data + arena->used, buffer_free_bytes(*arena),
                                    error);
  arena->used += 2 * units;
  return units;
}

// ---- Scanning UTF-8 ----------------------------------------------------------------------

u8 *unicode_utf8_decode_backward(const u8 *begin, const u8 *position, u32 *code_point, u8 *length,
                                 u32 *error) {
  if (*error) return nullptr;
  if (position < begin) {
    *error = unicode_error_end_before_begin;
    return nullptr;
  }
  const u8 *p = position;
  u32 stepped = 0;
  while (p > begin) {
    p--;
    if (++stepped > 4) {
      *error = unicode_error_malformed;
      return nullptr;
    }
    if (utf8_is_trailing(*p)) continue;
    u32 c;
    u8 n;
    u32 e = utf8_decode(p, position, &c, &n);
    if (e) {
      *error = e;
      return nullptr;
    }
    if (n != stepped) {
      *error = unicode_error_malformed;
      return nullptr;
    }
    if (code_point) *code_point = c;
    if (length) *length = n;
    return (u8 *)p;
  }
  return nullptr;
}

namespace {

u8 *find_first(const u8 *begin, const u8 *end, bool want_space, u32 *error) {
  if (*error) return nullptr;
  if (end < begin) {
    *error = unicode_error_end_before_begin;
    return nullptr;
  }
  const u8 *p = begin;
  while (p < end) {
    if (utf8_is_trailing(*p)) {
      *error = unicode_error_malformed;
      return nullptr;
    }
    u32 c;
    u8 n;
    u32 e = utf8_decode(p, end, &c, &n);
    if (e) {
      *error = e;
      return nullptr;
    }
    if (char_is_space(c) == want_space) return (u8 *)p;
    p += n;
  }
  return nullptr;
}

u8 *find_last(const u8 *begin, const u8 *end, bool want_space, u32 *error) {
  if (*error) return nullptr;
  if (end < begin) {
    *error = unicode_error_end_before_begin;
    return nullptr;
  }
  const u8 *current_end = end;
  while (current_end > begin) {
    u32 c;
    u8 *p = unicode_utf8_decode_backward(begin, current_end, &c, nullptr, error);
    if (!p) return nullptr;
    if (char_is_space(c) == want_space) return p;
    current_end = p;
  }
  return nullptr;
}

}  // namespace

u8 *unicode_find_first_space(const u8 *begin, const u8 *end, u32 *error) { return find_first(begin, end, true, error); }
u8 *unicode_find_first_non_space(const u8 *begin, const u8 *end, u32 *error) {
  return find_first(begin, end, false, error);
}
u8 *unicode_find_last_space(const u8 *begin, const u8 *end, u32 *error) { return find_last(begin, end, true, error); }
u8 *unicode_find_last_non_space(const u8 *begin, const u8 *end, u32 *error) {
  return find_last(begin, end, false, error);
}
