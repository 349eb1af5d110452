// Bytes to code points for the parser. Everything the parser decodes passes through xml_decode
// and every declared label through xml_encoding_from_label, so the codecs behind them can be
// swapped for the encoding layer's dispatch in this one file.
#include "xml/xml_internal.h"

// windows-1252 bytes 0x80..0x9F; the rest of the range maps to itself.
static const u16 xml_windows_1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

enum : u32 { xml_encoding_windows_1252 = 22 };

// UTF-8 after the WHATWG decoder: a bad byte ends the sequence before it, so the replacement
// covers only the bytes of the maximal bad prefix.
static u32 xml_decode_utf8(const u8 *s, const u8 *end, u32 *codepoint, u8 *count) {
  u32 b0 = s[0];
  if (b0 < 0x80) {
    *codepoint = b0;
    *count = 1;
    return xml_decode_ok;
  }
  u32 need, cp, lower = 0x80, upper = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (b0 == 0xE0) lower = 0xA0;
    if (b0 == 0xED) upper = 0x9F;
    need = 2;
    cp = b0 & 0xF;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (b0 == 0xF0) lower = 0x90;
    if (b0 == 0xF4) upper = 0x8F;
    need = 3;
    cp = b0 & 0x7;
  } else {
    *count = 1;
    return 5;  // bad lead byte
  }
  u32 i = 1;
  for (; i <= need; i++) {
    if (s + i >= end) {
      *count = (u8)i;
      return 2;  // truncated
    }
    u32 b = s[i];
    if (b < lower || b > upper) {
      *count = (u8)i;
      return 6;  // bad continuation byte
    }
    lower = 0x80;
    upper = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  *codepoint = cp;
  *count = (u8)(need + 1);
  return xml_decode_ok;
}

static u32 xml_decode_utf16(const u8 *s, const u8 *end, bool big_endian, u32 *codepoint, u8 *count) {
  if (end - s < 2) {
    *count = (u8)(end - s);
    return 2;
  }
  u32 u = big_endian ? (u32)s[0] << 8 | s[1] : (u32)s[1] << 8 | s[0];
  if (u < 0xD800 || u > 0xDFFF) {
    *codepoint = u;
    *count = 2;
    return xml_decode_ok;
  }
  *count = 2;
  if (u >= 0xDC00) return 45;  // trail without lead
  if (end - s < 4) {
    *count = (u8)(end - s);
    return end - s == 2 ? 45 : 2;
  }
  u32 t = big_endian ? (u32)s[2] << 8 | s[3] : (u32)s[3] << 8 | s[2];
  if (t < 0xDC00 || t > 0xDFFF) return 45;  // the unit after is decoded on its own
  *codepoint = 0x10000 + ((u - 0xD800) << 10) + (t - 0xDC00);
  *count = 4;
  return xml_decode_ok;
}

u32 xml_decode(u32 encoding, const u8 *begin, const u8 *end, u32 *codepoint, u32 *second, u8 *count, u32 *state) {
  (void)state;
  *second = XML_NO_CODEPOINT;
  *codepoint = XML_NO_CODEPOINT;
  *count = 0;
  switch (encoding) {
    case XML_ENCODING_UTF8:
    case XML_ENCODING_UTF16BE:
    case XML_ENCODING_UTF16LE:
    case xml_encoding_windows_1252:
      break;
    default:
      return xml_decode_unknown_encoding;
  }
  if (begin >= end) return xml_decode_end;
  if (encoding == XML_ENCODING_UTF8) return xml_decode_utf8(begin, end, codepoint, count);
  if (encoding == xml_encoding_windows_1252) {
    u32 b = *begin;
    *codepoint = b >= 0x80 && b < 0xA0 ? xml_windows_1252_high[b - 0x80] : b;
    *count = 1;
    return xml_decode_ok;
  }
  return xml_decode_utf16(begin, end, encoding == XML_ENCODING_UTF16BE, codepoint, count);
}

bool xml_encoding_is_ascii_compatible(u32 encoding) {
  return encoding == XML_ENCODING_UTF8 || encoding == xml_encoding_windows_1252;
}

struct xml_label {
  const char *text;
  u32 encoding;
};
static const xml_label xml_labels[] = {
    {"unicode-1-1-utf-8", 1}, {"utf-8", 1}, {"utf8", 1},
    {"ansi_x3.4-1968", 22}, {"ascii", 22}, {"cp1252", 22}, {"cp819", 22}, {"csisolatin1", 22},
    {"ibm819", 22}, {"iso-8859-1", 22}, {"iso-ir-100", 22}, {"iso8859-1", 22}, {"iso88591", 22},
    {"iso_8859-1", 22}, {"iso_8859-1:1987", 22}, {"l1", 22}, {"latin1", 22}, {"us-ascii", 22},
    {"windows-1252", 22}, {"x-cp1252", 22},
    {"utf-16be", 38}, {"utf-16", 39}, {"utf-16le", 39},
};

// Trimmed, case-folded comparison against the labels this file can decode.
u32 xml_encoding_from_label(const u8 *label, u64 length) {
  const u8 *s = label, *e = label + length;
  auto is_white = [](u8 b) { return b == 0x9 || b == 0xA || b == 0xC || b == 0xD || b == 0x20; };
  while (s < e && is_white(*s)) s++;
  while (e > s && is_white(e[-1])) e--;
  u64 n = (u64)(e - s);
  for (const xml_label &l : xml_labels) {
    u64 k = 0;
    while (l.text[k]) k++;
    if (k != n) continue;
    bool same = true;
    for (u64 i = 0; i < n && same; i++) {
      u8 b = s[i];
      if (b >= 'A' && b <= 'Z') b = (u8)(b + 32);
      same = b == (u8)l.text[i];
    }
    if (same) return l.encoding;
  }
  return 0;
}
