// Element content in UTF-8, read in one loop over the bytes: character data, CDATA sections and
// elements whose tags hold ASCII names and plain attributes become their nodes straight from the
// input, nested elements kept on a stack of their own instead of a call each, and text copied a
// block at a time as it is scanned. Lines and columns are not followed byte by byte: the cursor
// is brought up to the loop's position only where a production takes over or the loop ends.
// Anything else, and everything that is not well-formed, goes to the productions at the point
// where they would meet it, so both ways build the same tree, use the same arena bytes and stop
// at the same error.
//
// The loop itself is xml_utf8_loop.h, compiled here twice: for the baseline processor, and for
// one with AVX2, where a block is 32 bytes, byte classes are looked up a block at a time and
// UTF-8 sequences are checked inside the block.
#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "xml/xml_internal.h"

namespace {

// ---- Arenas ------------------------------------------------------------------------------

// The free ends of the two arenas while the loop runs. They live in locals because a store into
// a node could, as far as the compiler knows, change the parser's arena records, which it would
// then load again after every node; they go back into the records before a production runs.
struct xml_tails {
  u8 *string;      // the next free string byte
  u8 *string_end;  // the end of the string arena's room
  u8 *node;        // the next free node byte
  u8 *node_end;
};

inline void xml_tails_store(xml_parser *p, const xml_tails &t) {
  p->strings.used = (u64)(t.string - p->strings.data);
  p->nodes.used = (u64)(t.node - p->nodes.data);
}

inline void xml_tails_load(const xml_parser *p, xml_tails *t) {
  const buffer &s = p->strings, &n = p->nodes;
  t->string = s.data + s.used;
  t->string_end = s.used <= s.size ? s.data + s.size : t->string;
  t->node = n.data + n.used;
  t->node_end = n.used <= n.size ? n.data + n.size : t->node;
}

// Loads the tails after a production ran, and makes room for need more string bytes: true when
// the string arena holds them. The loop writes strings without asking for room each time, which
// is sound only while it has room for the rest of the input: nothing it writes is longer than
// the bytes it was read from.
inline bool xml_tails_reload(xml_parser *p, xml_tails *t, u64 need) {
  xml_tails_load(p, t);
  if ((u64)(t->string_end - t->string) >= need) return true;
  bool grown = xml_string_grow(p, need);
  xml_tails_load(p, t);
  return grown;
}

inline buffer xml_string_of(u8 *d, u64 n) { return n ? buffer{n, n, d} : buffer{}; }

// ---- Bytes -------------------------------------------------------------------------------

// How far names and white space may be scanned from s without asking for the end of input at
// each byte: up to the last byte that is neither a name character nor white space, which stops
// any such scan that starts before it. Found by one walk back from the end of input a parse,
// however many elements the loop is entered for: the positions it is asked about only move
// forward, and past that byte (or when the walk met s) the bound is the position itself.
inline const u8 *xml_content_bound(xml_parser *p, const u8 *s) {
  if (!p->content_bound) {
    const u8 *t = p->end;
    while (t > s && ((xml_byte_class[t[-1]] & xml_class_name) || xml_is_space(t[-1]))) t--;
    WORK_COUNT(p->content_bound_steps, (u64)(p->end - t));
    p->content_bound = t > s ? t - 1 : s;
  }
  return p->content_bound > s ? p->content_bound : s;
}

inline const u8 *xml_utf8_skip_spaces(const u8 *t, const u8 *end) {
  while (t < end && xml_is_space(*t)) t++;
  return t;
}

// A set of ASCII bytes in the two forms the loop's two builds look it up in: flag tables for a
// byte's low and high halves, where a byte is in the set when its two entries share a flag (one
// flag per high half covers any set of bytes below 0x80), and up to three bytes compared one by
// one together with the controls.
struct byte_set_spec {
  u8 low[16];
  u8 high[16];
  u8 bytes[3];
  bool line_ends;  // tab and LF are not in the set (CR and the other controls are)
};

template <class F>
constexpr byte_set_spec xml_byte_set(F in_set, u8 a, u8 b, u8 c, bool line_ends) {
  byte_set_spec s{};
  for (u32 h = 0; h < 8; h++) {
    s.high[h] = (u8)(1u << h);
    for (u32 l = 0; l < 16; l++)
      if (in_set(h << 4 | l)) s.low[l] |= (u8)(1u << h);
  }
  s.bytes[0] = a, s.bytes[1] = b, s.bytes[2] = c;
  s.line_ends = line_ends;
  return s;
}

// The controls but tab and LF: a CR is one too here, as a CR LF pair is one LF in the tree.
constexpr bool xml_control(u32 b) { return b < 0x20 && b != '\t' && b != '\n'; }

// What stops a run of each kind: the bytes that end it and those that need more than a copy.
constexpr byte_set_spec text_set =
    xml_byte_set([](u32 b) { return b == '<' || b == '&' || b == ']' || xml_control(b); }, '<', '&', ']', true);
constexpr byte_set_spec cdata_set = xml_byte_set([](u32 b) { return b == ']' || xml_control(b); }, ']', ']', ']', true);
constexpr byte_set_spec value_double_set =
    xml_byte_set([](u32 b) { return b == '"' || b == '<' || b == '&' || b < 0x20; }, '"', '<', '&', false);
constexpr byte_set_spec value_single_set =
    xml_byte_set([](u32 b) { return b == '\'' || b == '<' || b == '&' || b < 0x20; }, '\'', '<', '&', false);

// The two forms of a set hold the same ASCII bytes.
constexpr bool xml_byte_set_forms_agree(const byte_set_spec &s) {
  for (u32 b = 0; b < 0x80; b++) {
    bool table = (s.low[b & 15] & s.high[b >> 4]) != 0;
    bool bytes = b == s.bytes[0] || b == s.bytes[1] || b == s.bytes[2] ||
                 (b < 0x20 && !(s.line_ends && (b == '\t' || b == '\n')));
    if (table != bytes) return false;
  }
  return true;
}
static_assert(xml_byte_set_forms_agree(text_set) && xml_byte_set_forms_agree(cdata_set) &&
                  xml_byte_set_forms_agree(value_double_set) && xml_byte_set_forms_agree(value_single_set),
              "a set's flag tables and its bytes hold the same ASCII bytes");

enum : u32 { run_text, run_cdata, run_value };

}  // namespace

// ---- The two builds of the loop ----------------------------------------------------------

namespace {
namespace xml_utf8_baseline {
#define XML_UTF8_WIDTH 16
#include "xml/xml_utf8_loop.h"
#undef XML_UTF8_WIDTH
}  // namespace xml_utf8_baseline
}  // namespace

#if defined(__x86_64__)
XML_AVX2_BEGIN
namespace {
namespace xml_utf8_avx2 {
#define XML_UTF8_WIDTH 32
#include "xml/xml_utf8_loop.h"
#undef XML_UTF8_WIDTH
}  // namespace xml_utf8_avx2
}  // namespace
XML_AVX2_END
#endif

void xml_utf8_content(xml_parser *p, xml_cursor *c, xml_node *parent, xml_error *error) {
  if (*error) return;
#if defined(__x86_64__)
  if (xml_scan_wide()) return xml_utf8_avx2::content(p, c, parent, error);
#endif
  xml_utf8_baseline::content(p, c, parent, error);
}
