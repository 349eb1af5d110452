// Private to the XML layer: the one place where bytes become code points, the byte classes of
// the fast paths, and the helpers the productions share.
#pragma once

#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "xml/xml.h"

// ---- Decoding ----------------------------------------------------------------------------

// Decoder status, in the numbering of the encoding layer's error word.
enum : u32 { xml_decode_ok = 0, xml_decode_end = 1, xml_decode_unknown_encoding = 47 };

// Decodes the code point at begin: its value, a possible second code point (XML_NO_CODEPOINT
// when none), the bytes it took and the decoder state after it. Any status other than ok, end
// and unknown means bad bytes, which the caller reads as U+FFFD over *count bytes (at least 1).
u32 xml_decode(u32 encoding, const u8 *begin, const u8 *end, u32 *codepoint, u32 *second, u8 *count, u32 *state);
// The encoding number for a declared label; 0 when unknown.
u32 xml_encoding_from_label(const u8 *label, u64 length);
// True for the encodings whose every byte is one character: a table of 128 beside ASCII.
bool xml_encoding_is_single_byte(u32 encoding);
// The code points of [begin, end) as UTF-8 into [out, out_end) in one call, as xml_decode would
// give them, up to the first byte it would refuse or that does not fit: the bytes read, and in
// *written the bytes written.
u64 xml_decode_run_utf8(u32 encoding, const u8 *begin, const u8 *end, u8 *out, u8 *out_end, u64 *written);
// True when every byte below 0x80 at a code point boundary is that ASCII character and takes
// one byte: the fast paths may then step over ASCII bytes without decoding.
bool xml_encoding_is_ascii_compatible(u32 encoding);

// ---- Byte classes of the fast paths -------------------------------------------------------

enum : u8 {
  xml_class_text = 0x01,        // character data copied verbatim: not < & ] nor CR LF, no control
  xml_class_attribute = 0x02,   // attribute value copied verbatim: not < & " ' nor white space but space
  xml_class_cdata = 0x04,       // CDATA: not ] nor CR LF
  xml_class_comment = 0x08,     // comment: not - nor CR LF
  xml_class_name_start = 0x10,  // ASCII NameStartChar
  xml_class_name = 0x20,        // ASCII NameChar
  xml_class_space = 0x40,       // space and tab (line ends take the counting path)
  xml_class_pi = 0x80,          // processing instruction data: not ? nor CR LF
};
extern const u8 xml_byte_class[256];

// ---- Shared helpers ----------------------------------------------------------------------

// Where a bulk scan stopped: the first byte it could not take, the LFs it passed, the byte after
// the last of them, and the UTF-8 continuation bytes since then (bytes that add no column).
struct xml_scan {
  const u8 *stop;
  u32 lines;
  const u8 *line_start;
  u64 continuation;
};

#ifdef __SSE2__
// Bit i set for each byte i of v that is below 0x20, above 0x7F or one of the stops.
inline u32 xml_special_mask(__m128i v, __m128i a, __m128i b, __m128i c, __m128i d) {
  // Signed: bytes above 0x7F are negative, so one compare catches them with the controls.
  __m128i special = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                 _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, a), _mm_cmpeq_epi8(v, b)),
                                              _mm_or_si128(_mm_cmpeq_epi8(v, c), _mm_cmpeq_epi8(v, d))));
  return (u32)_mm_movemask_epi8(special);
}

#endif

// What a scan does with line ends: stops at them and at tabs; or takes LFs and tabs, counting
// the LFs. A CR always stops it: what it stands for in the tree depends on the byte after it.
enum : u32 { xml_scan_lines_stop = 0, xml_scan_lines_count = 1 };

#ifdef __SSE2__
// The stop bits of the 16 bytes at t: the stops k0..k3, the controls and the bytes above 0x7F,
// but with xml_scan_lines_count the LFs and tabs, the LFs also given in *lf.
inline u64 xml_block_sse2(const u8 *t, __m128i k0, __m128i k1, __m128i k2, __m128i k3, u32 lines, u64 *lf) {
  __m128i v = _mm_loadu_si128((const __m128i *)t);
  u64 mask = xml_special_mask(v, k0, k1, k2, k3);
  if (lines != xml_scan_lines_stop) {
    u64 n = (u32)_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
    mask &= ~(n | (u32)_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))));
    *lf = n;
  }
  return mask;
}
#endif

// Scans from s for the first byte a run cannot take in bulk: one of the stops, a control but
// the line ends and tabs that lines lets pass, or a byte above 0x7F that does not begin a whole
// UTF-8 Char (any such byte unless utf8 is set); the last part block is left unread. AVX2 when
// the processor has it, else SSE2.
xml_scan xml_scan_bytes(const u8 *s, const u8 *end, const u8 stops[4], u32 lines, bool utf8);
// The line and column a scan from `from` leaves; true when a line began in it, at *line_start.
__attribute__((always_inline)) inline bool xml_scan_lines(const xml_scan &r, const u8 *from, u32 *line, u32 *column,
                                                          u8 **line_start) {
  if (!r.lines) {
    *column += (u32)((u64)(r.stop - from) - r.continuation);
    return false;
  }
  *line += r.lines;
  *column = 1 + (u32)((u64)(r.stop - r.line_start) - r.continuation);
  *line_start = (u8 *)r.line_start;
  return true;
}

// The line and column the first n bytes of the block at s leave, its LFs the bits of lf; true
// when a line began in them, at *line_start.
__attribute__((always_inline)) inline bool xml_block_lines(u8 *s, u32 n, u32 lf, u32 *line, u32 *column, u8 **line_start) {
  lf &= (1u << n) - 1;
  if (!lf) {
    *column += n;
    return false;
  }
  u32 last = 31 - (u32)__builtin_clz(lf);
  for (; lf; lf &= lf - 1) (*line)++;  // few per block; no popcount instruction in the baseline
  *column = n - last;
  *line_start = s + last + 1;
  return true;
}

// Set, the scans stay with SSE2 whatever the processor has: the tests hold both widths to the
// general path.
#if QM_TEST_HOOKS
extern bool xml_scan_narrow;
#else
constexpr bool xml_scan_narrow = false;
#endif

// Between these two, functions are compiled for processors with AVX2 (and BMI and popcount) and
// called only when xml_scan_wide holds. Functions defined before the first, in headers, keep the
// baseline and may be inlined into them.
#if defined(__clang__)
#define XML_AVX2_BEGIN \
  _Pragma("clang attribute push (__attribute__((target(\"avx2,bmi,bmi2,popcnt\"))), apply_to = function)")
#define XML_AVX2_END _Pragma("clang attribute pop")
#else
#define XML_AVX2_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,bmi,bmi2,popcnt\")")
#define XML_AVX2_END _Pragma("GCC pop_options")
#endif

// Not core's unicode_utf8_encode: every stored character passes here, inline, with room already made.
inline u8 *xml_put_utf8(u8 *d, u32 cp) {
  if (cp < 0x80) {
    *d++ = (u8)cp;
  } else if (cp < 0x800) {
    *d++ = (u8)(0xC0 | cp >> 6);
    *d++ = (u8)(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *d++ = (u8)(0xE0 | cp >> 12);
    *d++ = (u8)(0x80 | (cp >> 6 & 0x3F));
    *d++ = (u8)(0x80 | (cp & 0x3F));
  } else {
    *d++ = (u8)(0xF0 | cp >> 18);
    *d++ = (u8)(0x80 | (cp >> 12 & 0x3F));
    *d++ = (u8)(0x80 | (cp >> 6 & 0x3F));
    *d++ = (u8)(0x80 | (cp & 0x3F));
  }
  return d;
}

// Copies n bytes from s (readable up to s_end) to d (writable up to d_end). Most strings are a
// few bytes: two 16-byte blocks copy them when both sides have the room, cheaper than a call.
inline void xml_copy(u8 *d, const u8 *s, u64 n, const u8 *s_end, const u8 *d_end) {
#ifdef __SSE2__
  if (n <= 32 && s_end - s >= 32 && d_end - d >= 32) {
    __m128i a = _mm_loadu_si128((const __m128i *)s), b = _mm_loadu_si128((const __m128i *)(s + 16));
    _mm_storeu_si128((__m128i *)d, a);
    if (n > 16) _mm_storeu_si128((__m128i *)(d + 16), b);
    return;
  }
#endif
  memcpy(d, s, n);
}

inline void xml_set_error(xml_error *error, xml_error e) {
  if (*error == 0) *error = e;
}

// What the character cp that the cursor c is at (not yet advanced over) adds to a string: a CR,
// alone or before an LF, stands for one LF, and the LF after a CR adds nothing
// (XML_NO_CODEPOINT), as XML reads line ends. Only for characters read as they stand: the CR a
// character reference names stays a CR.
inline u32 xml_line_end(const xml_cursor *c, u32 cp) {
  if (cp == '\r') return '\n';
  return cp == '\n' && c->after_cr ? XML_NO_CODEPOINT : cp;
}

// Zero-fills a node with straight-line stores: the compiler turns a loop or a library fill of
// this size into a string instruction whose start-up costs more than the stores.
inline void xml_node_clear(xml_node *n) {
  static_assert(sizeof(xml_node) % 8 == 0, "a node is whole words");
  u8 *b = (u8 *)n;
#ifdef __SSE2__
  const __m128i zero = _mm_setzero_si128();
#pragma GCC unroll 16
  for (u64 i = 0; i + 16 <= sizeof(xml_node); i += 16) {
    _mm_storeu_si128((__m128i *)(b + i), zero);
    __asm__("" : : "r"(b) :);  // keeps the loop from being turned back into one fill
  }
  if (sizeof(xml_node) % 16) *(u64 *)(b + sizeof(xml_node) - 8) = 0;
#else
  memset(b, 0, sizeof(xml_node));
#endif
}

// Commits more of the growing node arena for need more bytes; false for a fixed arena or one at
// its limit.
bool xml_node_grow(xml_parser *p, u64 need);

// A zero-filled node of the type on the node arena, grown when it is a growing one;
// null, with nothing changed and no error set, when it cannot hold one more.
inline xml_node *xml_node_try(xml_parser *p, u32 type) {
  buffer *a = &p->nodes;
  u64 need = align_padding((u64)(a->data + a->used), 8) + sizeof(xml_node);
  if ((a->used > a->size || need > a->size - a->used) && !xml_node_grow(p, need)) return nullptr;
  xml_node *n = (xml_node *)(a->data + a->used + need - sizeof(xml_node));
  a->used += need;
  xml_node_clear(n);
  n->type = type;
  // The nodes that follow land a few lines further on: fetching them for writing now keeps the
  // stores of the next ones from waiting on memory.
  __builtin_prefetch((const u8 *)n + 4 * sizeof *n, 1);
  return n;
}

// xml_node_new inline, for the productions.
inline xml_node *xml_node_make(xml_parser *p, u32 type, xml_error *error) {
  if (*error) return nullptr;
  xml_node *n = xml_node_try(p, type);
  if (!n) xml_set_error(error, xml_error_out_of_node_memory);
  return n;
}

// xml_node_append_child and xml_node_append_attribute inline, for the productions that link
// every node they make.
// The link itself, for callers that know both nodes are there and no error is set.
inline void xml_node_link_made(xml_node *parent, xml_node *child, bool attribute) {
  xml_node **first = attribute ? &parent->first_attribute : &parent->first_child;
  xml_node **last = attribute ? &parent->last_attribute : &parent->last_child;
  child->parent = parent;
  child->next = nullptr;
  child->previous = *last;
  if (*last) (*last)->next = child;
  else *first = child;
  *last = child;
}
inline void xml_node_link(xml_node *parent, xml_node *child, bool attribute, const xml_error *error) {
  if (*error || !parent || !child) return;
  xml_node_link_made(parent, child, attribute);
}

// Makes room for n more bytes in the string arena (committing more of it when it is a growing
// one); false, with nothing changed and no error set, when they cannot fit.
bool xml_string_grow(xml_parser *p, u64 n);
inline bool xml_string_reserve(xml_parser *p, u64 n) {
  const buffer *a = &p->strings;
  return (a->used <= a->size && n <= a->size - a->used) || xml_string_grow(p, n);
}


// Ends a string-reading production: hands the string out on success, gives it back on error.
inline bool xml_string_finish(xml_string_mark *mark, buffer *out, xml_error *error) {
  if (*error) {
    xml_string_rollback(mark);
    if (out) *out = buffer{};
    return false;
  }
  buffer s = xml_string_take(mark);
  if (out) *out = s;
  return true;
}

// Enters one more level of recursion (elements and content groups share the bound): false, with
// the error set, when the input nests too deep.
inline bool xml_depth_enter(xml_parser *p, xml_error *error) {
  if (p->depth >= XML_MAX_DEPTH) {
    xml_set_error(error, xml_error_nesting_too_deep);
    return false;
  }
  p->depth++;
  return true;
}

// Steps over a run of ASCII code units of the class (and, with the flags, CR and LF with line
// counting, and whole non-ASCII Chars of UTF-8, UTF-16 or a stateless codec), appending them as
// UTF-8 to the string arena when keep is set. Stops at the first code point that needs the
// general path, and early when the string arena is full (the general path then reports it at
// the right code point). Only where xml_fast_ok holds. With xml_run_references, predefined
// entities and character references that name a Char are resolved in the run, as character
// data and attribute values resolve them.
enum : u32 { xml_run_newlines = 1, xml_run_any_char = 2, xml_run_text = 3, xml_run_references = 4 };
template <u8 cls>
void xml_fast_run_class(xml_parser *p, xml_cursor *c, u32 flags, bool keep);
// Inline so that the class, a constant at every call, picks its run without a dispatch.
inline void xml_fast_run(xml_parser *p, xml_cursor *c, u8 cls, u32 flags, bool keep, xml_error *error) {
  if (*error) return;
  switch (cls) {
    case xml_class_text: xml_fast_run_class<xml_class_text>(p, c, flags, keep); break;
    case xml_class_attribute: xml_fast_run_class<xml_class_attribute>(p, c, flags, keep); break;
    case xml_class_cdata: xml_fast_run_class<xml_class_cdata>(p, c, flags, keep); break;
    case xml_class_comment: xml_fast_run_class<xml_class_comment>(p, c, flags, keep); break;
    case xml_class_name: xml_fast_run_class<xml_class_name>(p, c, flags, keep); break;
    case xml_class_space: xml_fast_run_class<xml_class_space>(p, c, flags, keep); break;
    case xml_class_pi: xml_fast_run_class<xml_class_pi>(p, c, flags, keep); break;
    default: invariant(false && "a run of no known class");
  }
}
inline bool xml_fast_ok(const xml_parser *p, const xml_cursor *c) {
  return (p->ascii_fast | p->wide_fast) && c->pending == XML_NO_CODEPOINT;
}

enum : u32 { xml_wide_le = 1, xml_wide_be = 2 };
// Bytes per code unit on the fast paths: 2 in UTF-16, else 1.
inline u32 xml_fast_width(const xml_parser *p) { return p->wide_fast ? 2 : 1; }
inline u32 xml_wide_unit(const u8 *s, bool big_endian) {
  return big_endian ? (u32)s[0] << 8 | s[1] : (u32)s[1] << 8 | s[0];
}
// The ASCII character of the code unit at s (a unit boundary at or before end), or 0x100 when
// the unit is no ASCII character or not whole. Only where xml_fast_ok holds.
inline u32 xml_fast_ascii(const xml_parser *p, const u8 *s) {
  if (!p->wide_fast) return s < p->end && *s < 0x80 ? *s : 0x100;
  if (p->end - s < 2) return 0x100;
  u32 u = xml_wide_unit(s, p->wide_fast == xml_wide_be);
  return u < 0x80 ? u : 0x100;
}
// How many leading code points of the ASCII literal the input at s spells, reading units
// (not past end). Only where xml_fast_ok holds.
inline u64 xml_fast_prefix(const xml_parser *p, const u8 *s, buffer literal) {
  u64 i = 0;
  if (!p->wide_fast) {
    u64 avail = (u64)(p->end - s);
    while (i < literal.used && i < avail && s[i] == literal.data[i]) i++;
    return i;
  }
  while (i < literal.used && xml_fast_ascii(p, s + 2 * i) == literal.data[i]) i++;
  return i;
}
// Moves a fast-path cursor to e over n code points that hold no line end.
inline void xml_fast_move(xml_cursor *c, u8 *e, u64 n) {
  c->column += (u32)n;
  c->after_cr = 0;
  c->position = c->next = e;
  c->codepoint = XML_NO_CODEPOINT;
}
// Moves a fast-path cursor over n units of a literal (no line ends: each is one column).
inline void xml_fast_skip(const xml_parser *p, xml_cursor *c, u64 n) {
  c->position += n * xml_fast_width(p);
  c->column += (u32)n;
  c->after_cr = 0;
  c->codepoint = XML_NO_CODEPOINT;
  c->next = c->position;
}
// xml_match and xml_look_ahead where xml_fast_ok holds, for an ASCII literal.
inline bool xml_fast_match(const xml_parser *p, xml_cursor *c, buffer literal) {
  u64 i = xml_fast_prefix(p, c->position, literal);
  if (i) xml_fast_skip(p, c, i);
  return i == literal.used;
}
inline bool xml_fast_look_ahead(const xml_parser *p, xml_cursor *c, buffer literal) {
  if (xml_fast_prefix(p, c->position, literal) != literal.used) return false;
  xml_fast_skip(p, c, literal.used);
  return true;
}

// The wide mode for an encoding number.
inline u32 xml_wide_mode(u32 encoding) {
  if (encoding == XML_ENCODING_UTF16LE) return xml_wide_le;
  return encoding == XML_ENCODING_UTF16BE ? (u32)xml_wide_be : 0u;
}

// The length of a well-formed multi-byte UTF-8 sequence at s and its code point; 0 when the
// bytes are not one.
__attribute__((always_inline)) static inline u32 xml_utf8_sequence(const u8 *s, const u8 *end, u32 *cp) {
  u32 b0 = s[0];
  u64 avail = (u64)(end - s);
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (avail < 2 || (s[1] & 0xC0) != 0x80) return 0;
    *cp = (b0 & 0x1F) << 6 | (s[1] & 0x3F);
    return 2;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (avail < 3 || (s[1] & 0xC0) != 0x80 || (s[2] & 0xC0) != 0x80) return 0;
    u32 c = (b0 & 0xF) << 12 | (u32)(s[1] & 0x3F) << 6 | (s[2] & 0x3F);
    if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    *cp = c;
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (avail < 4 || (s[1] & 0xC0) != 0x80 || (s[2] & 0xC0) != 0x80 || (s[3] & 0xC0) != 0x80) return 0;
    u32 c = (b0 & 0x7) << 18 | (u32)(s[1] & 0x3F) << 12 | (u32)(s[2] & 0x3F) << 6 | (s[3] & 0x3F);
    if (c < 0x10000 || c > 0x10FFFF) return 0;
    *cp = c;
    return 4;
  }
  return 0;
}

// The length of the whole UTF-8 sequence at s (a byte above 0x7F) when it is a Char; 0 for
// anything else, which the general path reads as U+FFFD or refuses.
__attribute__((always_inline)) static inline u32 xml_utf8_char(const u8 *s, const u8 *end) {
  u32 cp, n = xml_utf8_sequence(s, end, &cp);
  return n && xml_is_char(cp) ? n : 0;
}

// A well-formed character reference in ASCII bytes, its value into *value and its length;
// 0 when the bytes at s are anything else (the general path then finds the error).
inline u64 xml_fast_character_reference(const u8 *s, const u8 *end, u32 *value) {
  if (end - s < 4 || s[0] != '&' || s[1] != '#') return 0;
  bool hex = s[2] == 'x';
  const u8 *d = s + (hex ? 3 : 2);
  u32 v = 0;
  const u8 *first = d;
  for (; d < end; d++) {
    u32 b = *d, digit;
    if (b - '0' < 10) digit = b - '0';
    else if (hex && (b | 0x20) - 'a' < 6) digit = (b | 0x20) - 'a' + 10;
    else break;
    v = v * (hex ? 16 : 10) + digit;
    if (v > 0x10FFFF) v = 0x110000;
  }
  if (d == first || d == end || *d != ';') return 0;
  *value = v;
  return (u64)(d + 1 - s);
}

// A predefined entity or a well-formed character reference in ASCII bytes at s (which holds
// "&"): its value into *value and its length; 0 for anything else.
inline u64 xml_fast_reference(const u8 *s, const u8 *end, u32 *value) {
  u64 avail = (u64)(end - s);
  if (avail < 4) return 0;
  switch (s[1]) {
    case 'l': if (s[2] == 't' && s[3] == ';') return *value = '<', 4; return 0;
    case 'g': if (s[2] == 't' && s[3] == ';') return *value = '>', 4; return 0;
    case 'a':
      if (avail >= 5 && s[2] == 'm' && s[3] == 'p' && s[4] == ';') return *value = '&', 5;
      if (avail >= 6 && s[2] == 'p' && s[3] == 'o' && s[4] == 's' && s[5] == ';') return *value = '\'', 6;
      return 0;
    case 'q':
      if (avail >= 6 && s[2] == 'u' && s[3] == 'o' && s[4] == 't' && s[5] == ';') return *value = '"', 6;
      return 0;
    case '#': return xml_fast_character_reference(s, end, value);
    default: return 0;
  }
}

// xml_parse with the encoding taken as detected (0: detect it) and the fast paths on or off,
// for the checks that hold both paths to the same result.
void xml_parse_with(xml_parser *out, buffer *nodes, buffer *strings, buffer input, u32 encoding, bool fast,
                    xml_error *error);

// Looks ahead for the literal on a copy and consumes it only when it matches whole.
bool xml_look_ahead(xml_parser *p, xml_cursor *c, buffer literal, xml_error *error);

// True when the input at the cursor spells the ASCII literal; the cursor does not move.
inline bool xml_at(xml_parser *p, xml_cursor *c, buffer literal, xml_error *error) {
  if (*error) return false;
  if (xml_fast_ok(p, c)) return xml_fast_prefix(p, c->position, literal) == literal.used;
  xml_cursor copy = *c;
  return xml_match(p, &copy, literal, error);
}

// A production's two marks.
struct xml_marks {
  xml_string_mark strings;
  buffer_mark nodes;
};
inline xml_marks xml_marks_begin(xml_parser *p) {
  xml_marks m;
  m.strings = xml_string_begin(p);
  m.nodes = buffer_mark{&p->nodes, p->nodes.size, p->nodes.used, p->nodes.data};
  return m;
}
// Keeps everything on success (taking a mark changes nothing in its arena), gives everything
// back on error.
inline void xml_marks_end(xml_marks *m, const xml_error *error) {
  if (*error) {
    xml_string_rollback(&m->strings);
    buffer_mark_rollback(&m->nodes);
  }
}

// A quoted value (attribute value, literal, entity value): the production's mark, the opening
// quote, and the mark its text starts at.
struct xml_quoted {
  xml_string_mark outer;
  xml_string_mark text;
  u32 quote;  // XML_NO_CODEPOINT when there was none (the error is set)
};
inline xml_quoted xml_quoted_begin(xml_parser *p, xml_cursor *c, xml_error *error) {
  xml_quoted v;
  v.outer = xml_string_begin(p);
  v.quote = xml_parse_quote(p, c, error);
  v.text = xml_string_begin(p);
  return v;
}
// Hands the text out when nothing failed; gives it all back, and an empty text, otherwise.
inline bool xml_quoted_end(xml_quoted *v, buffer *out, xml_error *error) {
  buffer t = {};
  xml_string_finish(&v->text, &t, error);
  bool ok = xml_string_finish(&v->outer, nullptr, error);
  if (out) *out = ok ? t : buffer{};
  return ok;
}

// ---- Element content in UTF-8 --------------------------------------------------------------

// True when the wide scans are to be used: the processor has AVX2 (with BMI and popcount) and
// the scans are not held to SSE2.
bool xml_scan_wide();
// Brings the cursor from its position to `to` over UTF-8 bytes that are all parts of Chars, with
// the line, column and line start that advancing over each code point would give.
void xml_utf8_count(xml_cursor *c, const u8 *to);
// The content of parent, an element whose start tag was read, in UTF-8 where xml_fast_ok holds:
// every item is appended to parent, and the cursor is left at the "</" that ends it.
void xml_utf8_content(xml_parser *p, xml_cursor *c, xml_node *parent, xml_error *error);
// The end tag of node from its "</" on.
void xml_element_end_tag(xml_parser *p, xml_cursor *c, xml_node *node, xml_error *error);
// Character data whose first bytes were pushed since the text mark (m taken with it): the rest
// of the run, read from the cursor, and its node.
xml_node *xml_character_data_after(xml_parser *p, xml_cursor *c, xml_marks *m, xml_string_mark *text, xml_error *error);
