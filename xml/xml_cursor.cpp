// The parse context, nodes and strings on the caller's arenas, character classes and the
// decoding cursor that every production stands on.
#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/unicode.h"
#include "xml/xml_internal.h"

// ---- Byte classes ------------------------------------------------------------------------

struct xml_byte_class_table {
  u8 v[256];
};
static constexpr xml_byte_class_table xml_make_byte_classes() {
  xml_byte_class_table t{};
  for (u32 b = 0; b < 128; b++) {
    bool plain = b >= 0x20 || b == 0x9;  // a Char that needs no line counting
    u8 k = 0;
    if (plain && b != '<' && b != '&' && b != ']') k |= xml_class_text;
    if (b >= 0x20 && b != '<' && b != '&' && b != '"' && b != '\'') k |= xml_class_attribute;
    if (plain && b != ']') k |= xml_class_cdata;
    if (plain && b != '-') k |= xml_class_comment;
    if (plain && b != '?') k |= xml_class_pi;
    bool letter = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
    if (letter || b == '_' || b == ':') k |= xml_class_name_start | xml_class_name;
    if ((b >= '0' && b <= '9') || b == '-' || b == '.') k |= xml_class_name;
    if (b == ' ' || b == '\t') k |= xml_class_space;  // line ends take the counting path
    t.v[b] = k;
  }
  return t;
}
static constexpr xml_byte_class_table xml_byte_classes = xml_make_byte_classes();
const u8 xml_byte_class[256] = {
#define XML_ROW(i)                                                                            \
  xml_byte_classes.v[i + 0], xml_byte_classes.v[i + 1], xml_byte_classes.v[i + 2], xml_byte_classes.v[i + 3], \
      xml_byte_classes.v[i + 4], xml_byte_classes.v[i + 5], xml_byte_classes.v[i + 6], xml_byte_classes.v[i + 7]
    XML_ROW(0),   XML_ROW(8),   XML_ROW(16),  XML_ROW(24),  XML_ROW(32),  XML_ROW(40),  XML_ROW(48),  XML_ROW(56),
    XML_ROW(64),  XML_ROW(72),  XML_ROW(80),  XML_ROW(88),  XML_ROW(96),  XML_ROW(104), XML_ROW(112), XML_ROW(120),
    XML_ROW(128), XML_ROW(136), XML_ROW(144), XML_ROW(152), XML_ROW(160), XML_ROW(168), XML_ROW(176), XML_ROW(184),
    XML_ROW(192), XML_ROW(200), XML_ROW(208), XML_ROW(216), XML_ROW(224), XML_ROW(232), XML_ROW(240), XML_ROW(248),
#undef XML_ROW
};

// ---- Arenas that grow ---------------------------------------------------------------------

// Makes room for need more bytes after view->used; false for a fixed arena or one at its limit.
static bool xml_arena_grow(buffer *view, arena *a, u64 need) { return a && arena_make_room(a, view, need, 1); }

// ---- Context and nodes -------------------------------------------------------------------

void xml_parser_init(xml_parser *out, buffer nodes, buffer strings, buffer input, xml_error *error) {
  memset(out, 0, sizeof *out);
  if (*error) return;
  xml_cursor *c = &out->cursor;
  c->position = c->next = c->line_start = input.data;
  c->line = c->column = 1;
  c->codepoint = c->pending = c->peek_pending = XML_NO_CODEPOINT;
  out->end = input.data + input.used;
  out->encoding = XML_ENCODING_UTF8;
  out->ascii_fast = 1;
  out->nodes = nodes;
  out->strings = strings;
  out->tab_width = 4;
  out->document = out->top = xml_node_new(out, xml_node_type_document, error);
}

// Out of line so the common case of a node that fits needs no frame.
__attribute__((noinline)) bool xml_node_grow(xml_parser *p, u64 need) {
  return xml_arena_grow(&p->nodes, p->node_arena, need);
}

xml_node *xml_node_new(xml_parser *p, u32 type, xml_error *error) { return xml_node_make(p, type, error); }

void xml_node_append_child(xml_node *parent, xml_node *child, xml_error *error) {
  xml_node_link(parent, child, false, error);
}

void xml_node_append_attribute(xml_node *element, xml_node *attribute, xml_error *error) {
  xml_node_link(element, attribute, true, error);
}

// ---- Strings -----------------------------------------------------------------------------


// Out of line, as xml_node_grow: the runs that call it keep their state in registers.
__attribute__((noinline, cold)) bool xml_string_grow(xml_parser *p, u64 n) {
  return xml_arena_grow(&p->strings, p->string_arena, n);
}

// Room for n bytes at the end of the string arena, or null with the error set.
static inline u8 *xml_string_room(xml_parser *p, u64 n, xml_error *error) {
  if (!xml_string_reserve(p, n)) {
    xml_set_error(error, xml_error_out_of_string_memory);
    return nullptr;
  }
  buffer *a = &p->strings;
  u8 *d = a->data + a->used;
  a->used += n;
  return d;
}

void xml_string_push(xml_parser *p, buffer bytes, xml_error *error) {
  if (*error || bytes.used == 0) return;
  u8 *d = xml_string_room(p, bytes.used, error);
  if (d) memcpy(d, bytes.data, bytes.used);
}

void xml_string_push_u8(xml_parser *p, u8 value, xml_error *error) {
  if (*error) return;
  u8 *d = xml_string_room(p, 1, error);
  if (d) *d = value;
}

void xml_string_push_codepoint(xml_parser *p, u32 c, xml_error *error) {
  if (*error) return;
  if (!unicode_is_scalar_value(c)) {
    xml_set_error(error, xml_error_invalid_character);
    return;
  }
  u8 *d = xml_string_room(p, c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4, error);
  if (d) xml_put_utf8(d, c);
}

// ---- Character classes -------------------------------------------------------------------

bool xml_is_name_char(u32 c, bool start) {
  if (c < 0x80) return (xml_byte_class[c] & (start ? xml_class_name_start : xml_class_name)) != 0;
  bool s = xml_in_range(c, 0xC0, 0xD6) || xml_in_range(c, 0xD8, 0xF6) || xml_in_range(c, 0xF8, 0x2FF) ||
           xml_in_range(c, 0x370, 0x37D) || xml_in_range(c, 0x37F, 0x1FFF) || xml_in_range(c, 0x200C, 0x200D) ||
           xml_in_range(c, 0x2070, 0x218F) || xml_in_range(c, 0x2C00, 0x2FEF) || xml_in_range(c, 0x3001, 0xD7FF) ||
           xml_in_range(c, 0xF900, 0xFDCF) || xml_in_range(c, 0xFDF0, 0xFFFD) || xml_in_range(c, 0x10000, 0xEFFFF);
  if (s || start) return s;
  return c == 0xB7 || xml_in_range(c, 0x300, 0x36F) || xml_in_range(c, 0x203F, 0x2040);
}

bool xml_is_encoding_name_char(u32 c, bool first) {
  bool letter = xml_in_range(c, 'A', 'Z') || xml_in_range(c, 'a', 'z');
  if (first) return letter;
  return letter || xml_in_range(c, '0', '9') || c == '-' || c == '.' || c == '_';
}

bool xml_is_pubid_char(u32 c) {
  if (xml_in_range(c, 'a', 'z') || xml_in_range(c, 'A', 'Z') || xml_in_range(c, '0', '9')) return true;
  if (c == 0x20 || c == 0xD || c == 0xA) return true;
  switch (c) {
    case '-': case '\'': case '(': case ')': case '+': case ',': case '.': case '/': case ':':
    case '=': case '?': case ';': case '!': case '*': case '#': case '@': case '$': case '_': case '%':
      return true;
    default:
      return false;
  }
}

// ---- Cursor ------------------------------------------------------------------------------

u32 xml_peek(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return XML_NO_CODEPOINT;
  c->peek_pending = XML_NO_CODEPOINT;
  c->peek_state = c->state;
  if (c->pending != XML_NO_CODEPOINT) {
    // The pair's bytes are already behind position; advancing moves nowhere.
    c->next = c->position;
    c->codepoint = c->pending;
    return c->pending;
  }
  if (p->ascii_fast && c->position < p->end && *c->position < 0x80) {
    c->next = c->position + 1;
    c->codepoint = *c->position;
    return c->codepoint;
  }
  if (p->wide_fast && p->end - c->position >= 2) {
    // A unit that is no surrogate, or a well-formed pair; everything else (a lone surrogate,
    // a last odd byte) is the general decoder's to report.
    bool be = p->wide_fast == xml_wide_be;
    u32 u = xml_wide_unit(c->position, be);
    if (u - 0xD800 >= 0x800) {
      c->next = c->position + 2;
      c->codepoint = u;
      return u;
    }
    if (u < 0xDC00 && p->end - c->position >= 4) {
      u32 low = xml_wide_unit(c->position + 2, be);
      if (low - 0xDC00 < 0x400) {
        c->next = c->position + 4;
        c->codepoint = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        return c->codepoint;
      }
    }
  }
  u32 cp, second, state = c->state;
  u8 count;
  u32 status = xml_decode(p->encoding, c->position, p->end, &cp, &second, &count, &state);
  if (status == xml_decode_unknown_encoding) {
    xml_set_error(error, xml_error_invalid_encoding);
    return XML_NO_CODEPOINT;
  }
  if (status == xml_decode_end) {
    xml_set_error(error, xml_error_eof);
    return XML_NO_CODEPOINT;
  }
  if (status != xml_decode_ok) {
    cp = 0xFFFD;
    second = XML_NO_CODEPOINT;
    if (count == 0) count = 1;
  }
  c->next = c->position + count;
  c->peek_state = state;
  c->peek_pending = second;
  c->codepoint = cp;
  return cp;
}

void xml_advance(xml_cursor *c, xml_error *error) {
  if (*error) return;
  u32 cp = c->codepoint;
  invariant(cp != XML_NO_CODEPOINT);
  c->position = c->next;
  c->state = c->peek_state;
  // A second code point of the same bytes is committed only now, so peeking twice is harmless.
  c->pending = c->peek_pending;
  c->peek_pending = XML_NO_CODEPOINT;
  c->codepoint = XML_NO_CODEPOINT;
  if (cp == '\r') {
    c->line++;
    c->column = 1;
    c->after_cr = 1;
    c->line_start = c->position;
    c->line_start_state = c->state;
  } else if (cp == '\n') {
    if (!c->after_cr) {
      c->line++;
      c->column = 1;
    }
    c->after_cr = 0;
    c->line_start = c->position;
    c->line_start_state = c->state;
  } else {
    c->column++;
    c->after_cr = 0;
  }
}

bool xml_match(xml_parser *p, xml_cursor *c, buffer literal, xml_error *error) {
  invariant(literal.used < 32);
  if (*error) return false;
  for (u64 i = 0; i < literal.used; i++) {
    if (literal.data[i] >= 0x80) {
      xml_set_error(error, xml_error_internal_invalid_peek_string);
      return false;
    }
  }
  if (xml_fast_ok(p, c)) return xml_fast_match(p, c, literal);
  u64 i = 0;
  while (i < literal.used && !*error && xml_has_more(p, c)) {
    u32 cp = xml_peek(p, c, error);
    if (*error || cp != literal.data[i]) break;
    xml_advance(c, error);
    i++;
  }
  return i == literal.used && !*error;
}

bool xml_look_ahead(xml_parser *p, xml_cursor *c, buffer literal, xml_error *error) {
  if (*error) return false;
  if (xml_fast_ok(p, c)) return xml_fast_look_ahead(p, c, literal);
  xml_cursor copy = *c;
  if (!xml_match(p, &copy, literal, error)) return false;
  *c = copy;
  return true;
}

// The free tail of the string arena as [*d, *dend), grown to at least need bytes when the
// arena can grow; false when it cannot hold need more bytes. Bytes written there become part
// of the string only when arena->used is moved over them.
static inline bool xml_string_tail(xml_parser *p, u8 *d, u64 need, u8 **dend) {
  buffer *a = &p->strings;
  a->used = (u64)(d - a->data);
  if (a->used > a->size || need > a->size - a->used) {
    if (!xml_string_grow(p, need)) return false;
  }
  *dend = a->data + a->size;
  return true;
}

// Room every step of a run needs at most: one 16-byte block store, and after a block that stops
// early, one character of at most four bytes (a reference's raw text is checked by itself).
#define XML_RUN_ROOM 32u

// The cursor after a line end at s (the byte past it).
static inline void xml_run_line_end(xml_cursor *c, u32 unit, u8 *s) {
  if (unit == '\r') {
    c->line++;
    c->column = 1;
    c->after_cr = 1;
  } else {
    if (!c->after_cr) {
      c->line++;
      c->column = 1;
    }
    c->after_cr = 0;
  }
  c->line_start = s;
  c->line_start_state = c->state;
}

// The same for a run that keeps its text at d: CR LF and a lone CR are one LF. Out of line, as
// the runs meet line ends seldom outside their blocks.
__attribute__((noinline)) static u8 *xml_run_line_end_kept(xml_cursor *c, u32 unit, u8 *s, u8 *d, bool keep) {
  if (keep && (unit == '\r' || !c->after_cr)) *d++ = '\n';
  xml_run_line_end(c, unit, s);
  return d;
}

// The stop characters of the classes that have long runs, for the block scans (0 where a class
// has fewer); false for the classes that scan unit by unit.
static constexpr bool xml_run_stops(u8 cls, u8 stops[4]) {
  stops[0] = stops[1] = stops[2] = stops[3] = 0;
  switch (cls) {
    case xml_class_text: stops[0] = '<', stops[1] = '&', stops[2] = ']'; return true;
    case xml_class_attribute: stops[0] = '<', stops[1] = '&', stops[2] = '"', stops[3] = '\''; return true;
    case xml_class_cdata: stops[0] = ']'; return true;
    case xml_class_comment: stops[0] = '-'; return true;
    case xml_class_pi: stops[0] = '?'; return true;
    default: return false;
  }
}


// Where a run writes what it keeps: the string arena's free tail [*d, *dend), empty when it
// keeps nothing or the arena is already past its end.
__attribute__((always_inline)) static inline void xml_run_open(xml_parser *p, bool keep, u8 **d, u8 **dend) {
  *d = keep ? p->strings.data + p->strings.used : nullptr;
  *dend = keep && p->strings.used <= p->strings.size ? p->strings.data + p->strings.size : *d;
}

// Ends a run at s: what it wrote up to d joins the arena's string, and the cursor takes the
// column and CR state the run kept in locals.
__attribute__((always_inline)) static inline void xml_run_close(xml_parser *p, xml_cursor *c, u8 *s, u8 *d, u32 column,
                                                                u32 after_cr, bool keep) {
  if (keep) p->strings.used = (u64)(d - p->strings.data);
  c->column = column, c->after_cr = after_cr;
  c->position = c->next = s;
  c->codepoint = XML_NO_CODEPOINT;
}

// ---- Bulk scans --------------------------------------------------------------------------

// A whole UTF-8 Char at t, taken into the scan; false when the bytes are anything else.
static inline bool xml_scan_sequence(xml_scan *r, const u8 *end) {
  u32 n = xml_utf8_char(r->stop, end);
  if (n == 0) return false;
  r->stop += n;
  r->continuation += n - 1;
  return true;
}

// The bytes of a block that a scan took, of which the bits of lf are LFs and those of follow
// UTF-8 continuation bytes (which add no column).
template <bool count_follow>
static inline void xml_scan_take(xml_scan *r, u64 lf, u64 follow, u32 n) {
  if (lf) {
    for (u64 k = lf; k; k &= k - 1) r->lines++;
    u32 last = 63 - (u32)__builtin_clzll(lf);
    r->line_start = r->stop + last + 1;
    r->continuation = 0;
    follow &= ~((2ull << last) - 1);  // the columns start again after the last LF
  }
  if (count_follow) r->continuation += (u64)__builtin_popcountll(follow);
  r->stop += n;
}

// The scan loop over blocks of WIDTH bytes whose stop bits (and LF bits) BLOCK computes: from
// s up to the first stop, a control other than tab and LF (those two too unless lines is set),
// or a byte above 0x7F that does not begin a whole UTF-8 Char (any byte above 0x7F unless utf8
// is set). The bytes before a last part block are left to the caller.
#define XML_SCAN_LOOP(WIDTH, BLOCK, SET1, COUNT_FOLLOW)                                       \
  xml_scan r = {s, 0, nullptr, 0};                                                \
  const auto k0 = SET1((char)stops[0]), k1 = SET1((char)stops[1]);                \
  const auto k2 = SET1((char)stops[2]), k3 = SET1((char)stops[3]);                \
  while (end - r.stop >= WIDTH) {                                                 \
    u64 lf = 0, follow = 0;                                                       \
    u64 mask = BLOCK(r.stop, k0, k1, k2, k3, lines, utf8, &lf, &follow);          \
    u32 n = mask ? (u32)__builtin_ctzll(mask) : WIDTH;                            \
    u64 taken = (1ull << n) - 1;                                                  \
    xml_scan_take<COUNT_FOLLOW>(&r, lf & taken, follow & taken, n);               \
    if (n == WIDTH) continue;                                                     \
    if (*r.stop < 0x80 || !utf8 || !xml_scan_sequence(&r, end)) break;            \
    /* Words of other scripts are runs of such Chars: no block between them. */   \
    while (r.stop < end && *r.stop >= 0x80 && xml_scan_sequence(&r, end)) {}      \
  }                                                                               \
  return r;

#ifdef __SSE2__
// The SSE2 block leaves every byte above 0x7F to the sequence step.
static inline u64 xml_scan_block_sse2(const u8 *t, __m128i k0, __m128i k1, __m128i k2, __m128i k3, u32 lines, bool,
                                      u64 *lf, u64 *) {
  return xml_block_sse2(t, k0, k1, k2, k3, lines, lf);
}
static xml_scan xml_scan_sse2(const u8 *s, const u8 *end, const u8 *stops, u32 lines, bool utf8) {
  XML_SCAN_LOOP(16, xml_scan_block_sse2, _mm_set1_epi8, false)
}
#endif

#if defined(__x86_64__)
__attribute__((target("avx2,popcnt"))) static inline u64 xml_block_avx2(const u8 *t, __m256i k0, __m256i k1, __m256i k2,
                                                                        __m256i k3, u32 lines, bool utf8, u64 *lf,
                                                                        u64 *follow) {
  __m256i v = _mm256_loadu_si256((const __m256i *)t);
  __m256i special = _mm256_or_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(0x20), v),
                                    _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, k0), _mm256_cmpeq_epi8(v, k1)),
                                                    _mm256_or_si256(_mm256_cmpeq_epi8(v, k2), _mm256_cmpeq_epi8(v, k3))));
  u64 mask = (u32)_mm256_movemask_epi8(special);
  if (lines != xml_scan_lines_stop) {
    u64 n = (u32)_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n')));
    mask &= ~(n | (u32)_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\t'))));
    *lf = n;
  }
  // Two-byte sequences (U+0080 to U+07FF, all of them Chars) are taken inside the block, so that
  // the words of Latin, Greek or Cyrillic text do not stop it: a lead C2..DF with a continuation
  // byte right after it. Any other byte above 0x7F, and a lead whose continuation lies in the
  // next block, stays a stop for the sequence step. (Signed: C1 is -63, E0 is -32, BF is -65.)
  u32 high = (u32)_mm256_movemask_epi8(v);
  if (utf8 && high) {
    u32 lead = (u32)_mm256_movemask_epi8(
        _mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8(-63)), _mm256_cmpgt_epi8(_mm256_set1_epi8(-32), v)));
    u32 cont = (u32)_mm256_movemask_epi8(_mm256_cmpgt_epi8(_mm256_set1_epi8(-64), v));
    u32 pair = lead & (cont >> 1);
    *follow = (u64)(pair << 1);
    mask &= ~(u64)(pair | pair << 1);
  }
  return mask;
}
__attribute__((target("avx2,popcnt"))) static xml_scan xml_scan_avx2(const u8 *s, const u8 *end, const u8 *stops, u32 lines,
                                                              bool utf8) {
  XML_SCAN_LOOP(32, xml_block_avx2, _mm256_set1_epi8, true)
}
#endif
#undef XML_SCAN_LOOP

// The widest scan the processor has, chosen once.
static bool xml_has_avx2() {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  return avx2;
#else
  return false;
#endif
}

#if QM_TEST_HOOKS
bool xml_scan_narrow = false;
#endif

xml_scan xml_scan_bytes(const u8 *s, const u8 *end, const u8 stops[4], u32 lines, bool utf8) {
#if defined(__x86_64__)
  if (!xml_scan_narrow && xml_has_avx2()) return xml_scan_avx2(s, end, stops, lines, utf8);
#endif
#ifdef __SSE2__
  return xml_scan_sse2(s, end, stops, lines, utf8);
#else
  return xml_scan{s, 0, nullptr, 0};
#endif
}

// ---- Lines and columns counted after the fact ----------------------------------------------

bool xml_scan_wide() {
#if defined(__x86_64__)
  static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
  return wide && !xml_scan_narrow;
#else
  return false;
#endif
}

// The three counts a cursor needs to be brought over UTF-8 bytes, each over a range [s, to): the
// LFs and the CRs; the LFs right after a CR (the first byte's own predecessor not looked at);
// the continuation bytes, which add no column. Each counts into bytes of a vector, summed before
// they can wrap. And the byte past the last line end, looked for from the end.
#define XML_COUNTS(WIDTH, VEC, LOAD, SET1, EQ, GT, AND, OR, SUB, ZERO, SUM, MASK)             \
  static void xml_count_line_bytes(const u8 *s, const u8 *to, u64 *lfs, u64 *crs) {         \
    u64 lf = 0, cr = 0;                                                                     \
    /* Two blocks a step, each byte counter taking at most 254 before it is summed. */      \
    while (to - s >= 2 * WIDTH) {                                                           \
      VEC a = ZERO(), b = ZERO();                                                           \
      for (u32 k = 0; k < 127 && to - s >= 2 * WIDTH; k++, s += 2 * WIDTH) {                \
        VEC v = LOAD(s), w = LOAD(s + WIDTH);                                               \
        a = SUB(SUB(a, EQ(v, SET1('\n'))), EQ(w, SET1('\n')));                              \
        b = SUB(SUB(b, EQ(v, SET1('\r'))), EQ(w, SET1('\r')));                              \
      }                                                                                     \
      lf += SUM(a), cr += SUM(b);                                                           \
    }                                                                                       \
    for (; s < to; s++) lf += *s == '\n', cr += *s == '\r';                                 \
    *lfs = lf, *crs = cr;                                                                   \
  }                                                                                         \
  static u64 xml_count_pairs(const u8 *s, const u8 *to) {                                   \
    u64 n = 0;                                                                              \
    for (s++; to - s >= WIDTH;) {                                                           \
      VEC a = ZERO();                                                                       \
      for (u32 k = 0; k < 255 && to - s >= WIDTH; k++, s += WIDTH)                          \
        a = SUB(a, AND(EQ(LOAD(s), SET1('\n')), EQ(LOAD(s - 1), SET1('\r'))));              \
      n += SUM(a);                                                                          \
    }                                                                                       \
    for (; s < to; s++) n += *s == '\n' && s[-1] == '\r';                                   \
    return n;                                                                               \
  }                                                                                         \
  static u64 xml_count_continuations(const u8 *s, const u8 *to) {                           \
    u64 n = 0;                                                                              \
    while (to - s >= 2 * WIDTH) {                                                           \
      VEC a = ZERO();                                                                       \
      /* Signed: 0x80..0xBF are below -64. */                                               \
      for (u32 k = 0; k < 127 && to - s >= 2 * WIDTH; k++, s += 2 * WIDTH)                  \
        a = SUB(SUB(a, GT(SET1(-64), LOAD(s))), GT(SET1(-64), LOAD(s + WIDTH)));            \
      n += SUM(a);                                                                          \
    }                                                                                       \
    for (; s < to; s++) n += (*s & 0xC0) == 0x80;                                           \
    return n;                                                                               \
  }                                                                                         \
  static const u8 *xml_last_line_end(const u8 *s, const u8 *to) {                           \
    const u8 *t = to;                                                                       \
    for (; t - s >= WIDTH; t -= WIDTH) {                                                    \
      VEC v = LOAD(t - WIDTH);                                                              \
      u32 m = MASK(OR(EQ(v, SET1('\n')), EQ(v, SET1('\r'))));                               \
      if (m) return t - WIDTH + (32 - __builtin_clz(m));                                    \
    }                                                                                       \
    for (; t > s; t--)                                                                      \
      if (t[-1] == '\n' || t[-1] == '\r') return t;                                         \
    return nullptr;                                                                         \
  }

#ifdef __SSE2__
struct xml_counts_sse2 {
static inline __m128i load(const u8 *s) { return _mm_loadu_si128((const __m128i *)s); }
static inline u64 sum(__m128i a) {
  __m128i s = _mm_sad_epu8(a, _mm_setzero_si128());
  return (u64)_mm_cvtsi128_si64(s) + (u64)_mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s));
}
static inline u32 mask(__m128i v) { return (u32)_mm_movemask_epi8(v); }
XML_COUNTS(16, __m128i, load, _mm_set1_epi8, _mm_cmpeq_epi8, _mm_cmpgt_epi8, _mm_and_si128, _mm_or_si128, _mm_sub_epi8,
           _mm_setzero_si128, sum, mask)
};
#endif

#if defined(__x86_64__)
XML_AVX2_BEGIN
struct xml_counts_avx2 {
static inline __m256i load(const u8 *s) { return _mm256_loadu_si256((const __m256i *)s); }
static inline u64 sum(__m256i a) {
  __m256i s = _mm256_sad_epu8(a, _mm256_setzero_si256());
  __m128i h = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
  return (u64)_mm_cvtsi128_si64(h) + (u64)_mm_extract_epi64(h, 1);
}
static inline u32 mask(__m256i v) { return (u32)_mm256_movemask_epi8(v); }
XML_COUNTS(32, __m256i, load, _mm256_set1_epi8, _mm256_cmpeq_epi8, _mm256_cmpgt_epi8, _mm256_and_si256, _mm256_or_si256,
           _mm256_sub_epi8, _mm256_setzero_si256, sum, mask)
};
XML_AVX2_END
#endif
#undef XML_COUNTS

// Brings c from s over [s, to) with the counts of one of the two builds above.
template <class K>
static void xml_count_over(xml_cursor *c, const u8 *s, const u8 *to) {
  const u8 *last = K::xml_last_line_end(s, to);
  if (!last) {
    c->column += (u32)((u64)(to - s) - K::xml_count_continuations(s, to));
    c->after_cr = 0;
    return;
  }
  // CR LF is one line end, and so is an LF right after a CR the cursor counted already.
  u64 lf, cr;
  K::xml_count_line_bytes(s, last, &lf, &cr);
  u64 pairs = cr ? K::xml_count_pairs(s, last) : 0;
  if (c->after_cr && *s == '\n') pairs++;
  c->line += (u32)(lf + cr - pairs);
  // The column starts again after the last line end, at 1 (an LF after a CR leaves it there).
  c->column = 1 + (u32)((u64)(to - last) - K::xml_count_continuations(last, to));
  c->line_start = (u8 *)last;
  c->line_start_state = c->state;
  c->after_cr = last == to && to[-1] == '\r';
}

void xml_utf8_count(xml_cursor *c, const u8 *to) {
  const u8 *s = c->position;
  if (s == to) return;
#if defined(__x86_64__)
  if (xml_scan_wide()) xml_count_over<xml_counts_avx2>(c, s, to);
  else
#endif
    xml_count_over<xml_counts_sse2>(c, s, to);
  c->position = c->next = (u8 *)to;
  c->codepoint = XML_NO_CODEPOINT;
}

// Bytes of an ASCII-compatible encoding. Each step copies into the arena's free tail before it
// knows how much of the block belongs to the run; only what does is kept.
template <u8 cls>
static void xml_byte_run(xml_parser *p, xml_cursor *c, u32 flags, bool keep) {
  u8 *s = c->position, *end = p->end;
  bool newlines = (flags & xml_run_newlines) != 0;
  bool any_char = (flags & xml_run_any_char) != 0;
  bool references = (flags & xml_run_references) != 0;
  bool utf8 = p->encoding == XML_ENCODING_UTF8;
  bool single_byte = !utf8 && keep && any_char && xml_encoding_is_single_byte(p->encoding);
  u8 stops[4];
  bool blocks = xml_run_stops(cls, stops);
  u8 *d, *dend;
  xml_run_open(p, keep, &d, &dend);
  u32 column = c->column;
  u32 after_cr = c->after_cr;
#ifdef __SSE2__
  const __m128i sa = _mm_set1_epi8((char)stops[0]), sb = _mm_set1_epi8((char)stops[1]);
  const __m128i sc = _mm_set1_epi8((char)stops[2]), sd = _mm_set1_epi8((char)stops[3]);
#endif
  for (;;) {
    if (keep && dend - d < XML_RUN_ROOM && !xml_string_tail(p, d, XML_RUN_ROOM, &dend)) break;
#ifdef __SSE2__
    // After a CR the next LF adds no line: that one byte takes the path below.
    if (blocks && end - s >= 16 && !after_cr) {
      __m128i v = _mm_loadu_si128((const __m128i *)s);
      // Tabs and LFs stay in a run that counts lines; the LFs before its end are counted from their bits.
      u64 lf_bits = 0;
      u32 mask = (u32)xml_block_sse2(s, sa, sb, sc, sd, newlines ? xml_scan_lines_count : xml_scan_lines_stop, &lf_bits);
      u32 lf = (u32)lf_bits;
      if (keep) _mm_storeu_si128((__m128i *)d, v);
      u32 n = mask ? (u32)__builtin_ctz(mask) : 16;
      if (xml_block_lines(s, n, lf, &c->line, &column, &c->line_start)) c->line_start_state = c->state;
      s += n;
      if (keep) d += n;
      if (n == 16) {
        if (utf8) {
          // A long run: the rest of it in one scan and one copy, when the arena has room for it.
          // (Text of the other byte encodings stops at every non-ASCII byte, too often for it.)
          xml_scan r = xml_scan_bytes(s, end, stops, newlines ? xml_scan_lines_count : xml_scan_lines_stop, utf8 && any_char);
          u64 m = (u64)(r.stop - s);
          if (m && (!keep || xml_string_tail(p, d, m + XML_RUN_ROOM, &dend))) {
            if (keep) memcpy(d, s, m), d += m;
            if (xml_scan_lines(r, s, &c->line, &column, &c->line_start)) c->line_start_state = c->state;
            s += m;
          }
        }
        continue;
      }
    }
#endif
    if (s >= end) break;
    u8 b = *s;
    if (xml_byte_class[b] & cls) {
      if (keep) *d++ = b;
      s++, column++, after_cr = 0;
      continue;
    }
    if (newlines && (b == '\n' || b == '\r')) {
      c->column = column, c->after_cr = after_cr;
      d = xml_run_line_end_kept(c, b, ++s, d, keep);
      column = c->column, after_cr = c->after_cr;
      continue;
    }
    if (b == '&' && references) {
      // The general path reads a reference's raw text into the arena and gives it back: with
      // room for that, nothing can fail there.
      u32 v;
      u64 n = xml_fast_reference(s, end, &v);
      if (n == 0 || !xml_is_char(v) || (keep && (u64)(dend - d) < n)) break;
      if (keep) d = xml_put_utf8(d, v);
      s += n, column += (u32)n, after_cr = 0;
      continue;
    }
    if (b < 0x80 || !any_char) break;
    if (utf8) {
      u32 n = xml_utf8_char(s, end);
      if (n == 0) break;  // the general path reads it as U+FFFD
      if (keep) {
        // The room holds four bytes; copy them whole when the input has them.
        if (end - s >= 4) memcpy(d, s, 4);
        else memcpy(d, s, n);
        d += n;
      }
      s += n;
    } else if (single_byte) {
      // The encoding's characters and the ASCII the run takes as it stands, up to the next byte
      // it must look at, in one call to the run decoder: one character a byte, each a Char.
      u8 *e = s + 1;
#ifdef __SSE2__
      // Blocks, where the bytes above 0x7F are no stops; a tab stops a block but not the run.
      while (end - e >= 16) {
        u64 unused;
        u32 m = (u32)xml_block_sse2(e, sa, sb, sc, sd, xml_scan_lines_stop, &unused) &
                ~(u32)_mm_movemask_epi8(_mm_loadu_si128((const __m128i *)e));
        e += m ? (u32)__builtin_ctz(m) : 16;
        if (!m) continue;
        if (!(xml_byte_class[*e] & cls)) break;
        e++;
      }
#endif
      while (e < end && (*e >= 0x80 || (xml_byte_class[*e] & cls))) e++;
      u64 written, n = xml_decode_run_utf8(p->encoding, s, e, d, dend, &written);
      if (n == 0) break;  // a byte the table has no character for: U+FFFD on the general path
      d += written, s += n, column += (u32)n, after_cr = 0;
      continue;
    } else {
      // Other encodings decode through their codec; only a plain character is taken here.
      u32 cp, second, state = c->state;
      u8 count;
      u32 status = xml_decode(p->encoding, s, end, &cp, &second, &count, &state);
      if (status != xml_decode_ok || second != XML_NO_CODEPOINT || state != c->state || count == 0 || !xml_is_char(cp))
        break;
      if (keep) d = xml_put_utf8(d, cp);
      s += count;
    }
    column++, after_cr = 0;
  }
  xml_run_close(p, c, s, d, column, after_cr, keep);
}

// UTF-16 units: ASCII ones narrow to bytes eight at a time, the rest are encoded as UTF-8.
template <u8 cls, bool big_endian>
static void xml_wide_run(xml_parser *p, xml_cursor *c, u32 flags, bool keep) {
  u8 *s = c->position, *end = p->end;
  bool newlines = (flags & xml_run_newlines) != 0;
  bool any_char = (flags & xml_run_any_char) != 0;
  bool references = (flags & xml_run_references) != 0;
  u8 stops[4];
  bool blocks = xml_run_stops(cls, stops);
  u8 *d, *dend;
  xml_run_open(p, keep, &d, &dend);
  u32 column = c->column;
  u32 after_cr = c->after_cr;
#ifdef __SSE2__
  const __m128i sa = _mm_set1_epi8((char)stops[0]), sb = _mm_set1_epi8((char)stops[1]);
  const __m128i sc = _mm_set1_epi8((char)stops[2]), sd = _mm_set1_epi8((char)stops[3]);
#endif
  for (;;) {
    if (keep && dend - d < XML_RUN_ROOM && !xml_string_tail(p, d, XML_RUN_ROOM, &dend)) break;
#ifdef __SSE2__
    if (blocks && end - s >= 16) {
      __m128i v = _mm_loadu_si128((const __m128i *)s);
      if (big_endian) v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
      // Units above 0xFF saturate to 0xFF or 0 when narrowed: special either way.
      __m128i narrow = _mm_packus_epi16(v, v);
      u32 mask = xml_special_mask(narrow, sa, sb, sc, sd) & 0xFF;
      if (keep) _mm_storel_epi64((__m128i *)d, narrow);
      u32 n = mask ? (u32)__builtin_ctz(mask) : 8;
      s += 2 * n, column += n;
      if (keep) d += n;
      if (n) after_cr = 0;
      if (n == 8) continue;
    }
#endif
    if (end - s < 2) break;  // a last odd byte is the general decoder's
    u32 u = xml_wide_unit(s, big_endian);
    if (u < 0x80) {
      if (xml_byte_class[u] & cls) {
        if (keep) *d++ = (u8)u;
        s += 2, column++, after_cr = 0;
        continue;
      }
      if (u == '&' && references) {
        // The reference's ASCII units narrowed, then read as in the byte encodings.
        u8 narrow[16];
        u64 k = 0;
        for (const u8 *t = s; k < sizeof narrow && end - t >= 2; t += 2) {
          u32 w = xml_wide_unit(t, big_endian);
          if (w >= 0x80) break;
          narrow[k++] = (u8)w;
        }
        u32 v;
        u64 n = xml_fast_reference(narrow, narrow + k, &v);
        if (n == 0 || !xml_is_char(v) || (keep && (u64)(dend - d) < n)) break;
        if (keep) d = xml_put_utf8(d, v);
        s += 2 * n, column += (u32)n, after_cr = 0;
        continue;
      }
      if (newlines && (u == '\n' || u == '\r')) {
        c->column = column, c->after_cr = after_cr;
        d = xml_run_line_end_kept(c, u, s += 2, d, keep);
        column = c->column, after_cr = c->after_cr;
        continue;
      }
      break;
    }
    if (!any_char) break;
    if (u - 0xD800 >= 0x800) {
      if (u >= 0xFFFE) break;  // no Char
      s += 2;
    } else {
      // Only a whole pair; a lone surrogate reads as U+FFFD on the general path.
      if (u >= 0xDC00 || end - s < 4) break;
      u32 low = xml_wide_unit(s + 2, big_endian);
      if (low - 0xDC00 >= 0x400) break;
      u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
      s += 4;
    }
    if (keep) d = xml_put_utf8(d, u);
    column++, after_cr = 0;
  }
  xml_run_close(p, c, s, d, column, after_cr, keep);
}

template <u8 cls>
void xml_fast_run_class(xml_parser *p, xml_cursor *c, u32 flags, bool keep) {
  if (p->wide_fast == xml_wide_le) xml_wide_run<cls, false>(p, c, flags, keep);
  else if (p->wide_fast == xml_wide_be) xml_wide_run<cls, true>(p, c, flags, keep);
  else xml_byte_run<cls>(p, c, flags, keep);
}
template void xml_fast_run_class<xml_class_text>(xml_parser *, xml_cursor *, u32, bool);
template void xml_fast_run_class<xml_class_attribute>(xml_parser *, xml_cursor *, u32, bool);
template void xml_fast_run_class<xml_class_cdata>(xml_parser *, xml_cursor *, u32, bool);
template void xml_fast_run_class<xml_class_comment>(xml_parser *, xml_cursor *, u32, bool);
template void xml_fast_run_class<xml_class_name>(xml_parser *, xml_cursor *, u32, bool);
template void xml_fast_run_class<xml_class_space>(xml_parser *, xml_cursor *, u32, bool);
template void xml_fast_run_class<xml_class_pi>(xml_parser *, xml_cursor *, u32, bool);

static bool xml_skip_spaces_general(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error);

bool xml_skip_spaces(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error) {
  if (*error) return false;
  if (!out && xml_fast_ok(p, c)) {
    // Spaces and tabs up to something that is no line end: the common case inside tags.
    u8 *s = c->position, *end = p->end;
    u32 n = 0;
    bool line_end;
    if (!p->wide_fast) {
      while (s < end && (*s == ' ' || *s == '\t')) s++;
      n = (u32)(s - c->position);
      line_end = s < end && (*s == '\n' || *s == '\r');
    } else {
      u32 b;
      while ((b = xml_fast_ascii(p, s)) == ' ' || b == '\t') s += 2, n++;
      line_end = b == '\n' || b == '\r';
    }
    if (!line_end) {
      if (n) c->after_cr = 0;
      c->column += n;
      c->position = c->next = s;
      c->codepoint = XML_NO_CODEPOINT;
      return n != 0;
    }
  }
  return xml_skip_spaces_general(p, c, out, error);
}

// Kept apart so the common case above stays a leaf without the general path's frame.
__attribute__((noinline)) static bool xml_skip_spaces_general(xml_parser *p, xml_cursor *c, buffer *out,
                                                              xml_error *error) {
  xml_string_mark mark = xml_string_begin(p);
  u8 *start = c->position;
  bool skipped = false;
  if (xml_fast_ok(p, c)) {
    xml_fast_run(p, c, xml_class_space, xml_run_newlines, out != nullptr, error);
    skipped = c->position != start;
  }
  while (!*error && xml_has_more(p, c)) {
    u32 cp = xml_peek(p, c, error);
    if (*error || !xml_is_space(cp)) break;
    u32 kept = xml_line_end(c, cp);
    if (out && kept != XML_NO_CODEPOINT) xml_string_push_codepoint(p, kept, error);
    xml_advance(c, error);
    skipped = true;
  }
  if (*error || !out) {
    xml_string_rollback(&mark);
  } else {
    *out = xml_string_take(&mark);
  }
  return skipped && !*error;
}
