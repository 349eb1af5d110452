// The UTF-8 content loop, included twice by xml_utf8.cpp: once for the baseline processor with
// blocks of 16 bytes, once under AVX2 with blocks of 32 (XML_UTF8_WIDTH), each time inside a
// namespace of its own. No include guard, on purpose. What the loop reads in place and what it
// hands to the productions is explained in xml_utf8.cpp.

// ---- Blocks ------------------------------------------------------------------------------

enum : u32 { width = XML_UTF8_WIDTH };

#if XML_UTF8_WIDTH == 32
typedef __m256i block;
inline block load(const u8 *p) { return _mm256_loadu_si256((const __m256i *)p); }
inline void store(u8 *p, block v) { _mm256_storeu_si256((__m256i *)p, v); }
inline u32 high_bits(block v) { return (u32)_mm256_movemask_epi8(v); }

// Whether each byte of v is in the set: its low half's and its high half's flag entries share a
// flag (see byte_set_spec). The tables are read where they are used, not held in registers
// across the loop. Bytes above 0x7F are in no set.
inline u32 in_set(block v, const byte_set_spec &k) {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  __m256i low = _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i *)k.low));
  __m256i high = _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i *)k.high));
  __m256i l = _mm256_shuffle_epi8(low, _mm256_and_si256(v, nibble));
  __m256i h = _mm256_shuffle_epi8(high, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
  return ~(u32)_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(l, h), _mm256_setzero_si256()));
}

// The bytes of v moved up by N places across the lanes, the first N places filled with zeros.
template <int N>
inline __m256i shift_in_zeros(__m256i v) {
  return _mm256_alignr_epi8(v, _mm256_permute2x128_si256(v, v, 0x08), 16 - N);
}

// True when the UTF-8 of v, read from a character boundary, breaks somewhere: a continuation
// byte without a lead, a lead without its continuation bytes, an overlong form, a surrogate, a
// value past U+10FFFF, and the last byte of U+FFFE and U+FFFF, which are no Chars. A sequence
// that runs past the block is not judged. Each pair of bytes looks up the faults its first
// byte's two halves and its second byte's high half allow, and keeps those all three allow; the
// third and fourth bytes of longer sequences must be continuations, and only they may be.
inline bool utf8_faults(block v) {
  enum : u8 {
    too_short = 1,       // a lead followed by no continuation
    too_long = 2,        // a continuation after ASCII
    overlong_3 = 4,      // E0 80..9F
    too_large = 8,       // F4 90..BF, F5..FF
    surrogate = 16,      // ED A0..BF
    overlong_2 = 32,     // C0, C1
    over_or_large = 64,  // F0 80..8F, F5..FF 80..8F
    two_conts = 128,     // a continuation after a continuation
    carry = too_short | too_long | two_conts,
  };
  const char large = too_large | over_or_large, cont = too_long | overlong_2 | two_conts;
  const __m256i nibble = _mm256_set1_epi8(0x0F);
#define XML_TWICE(...) _mm256_setr_epi8(__VA_ARGS__, __VA_ARGS__)
  __m256i prev1 = shift_in_zeros<1>(v);
  __m256i first_high = _mm256_shuffle_epi8(
      XML_TWICE(too_long, too_long, too_long, too_long, too_long, too_long, too_long, too_long, two_conts, two_conts,
                two_conts, two_conts, too_short | overlong_2, too_short, too_short | overlong_3 | surrogate,
                too_short | too_large | over_or_large),
      _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble));
  __m256i first_low = _mm256_shuffle_epi8(
      XML_TWICE(carry | overlong_3 | overlong_2 | over_or_large, carry | overlong_2, carry, carry, carry | too_large,
                carry | large, carry | large, carry | large, carry | large, carry | large, carry | large, carry | large,
                carry | large, carry | large | surrogate, carry | large, carry | large),
      _mm256_and_si256(prev1, nibble));
  __m256i second_high = _mm256_shuffle_epi8(
      XML_TWICE(too_short, too_short, too_short, too_short, too_short, too_short, too_short, too_short,
                cont | overlong_3 | over_or_large, cont | overlong_3 | too_large, cont | surrogate | too_large,
                cont | surrogate | too_large, too_short, too_short, too_short, too_short),
      _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
#undef XML_TWICE
  __m256i pairs = _mm256_and_si256(_mm256_and_si256(first_high, first_low), second_high);
  // Two places after a lead of three or four bytes, or three after one of four, the byte must
  // be a continuation; the pair faults gave it two_conts exactly then.
  __m256i prev2 = shift_in_zeros<2>(v), prev3 = shift_in_zeros<3>(v);
  __m256i must = _mm256_or_si256(_mm256_subs_epu8(prev2, _mm256_set1_epi8((char)(0xE0 - 0x80))),
                                 _mm256_subs_epu8(prev3, _mm256_set1_epi8((char)(0xF0 - 0x80))));
  __m256i faults = _mm256_xor_si256(_mm256_and_si256(must, _mm256_set1_epi8((char)0x80)), pairs);
  __m256i not_char = _mm256_and_si256(
      _mm256_and_si256(_mm256_cmpeq_epi8(prev2, _mm256_set1_epi8((char)0xEF)), _mm256_cmpeq_epi8(prev1, _mm256_set1_epi8((char)0xBF))),
      _mm256_cmpeq_epi8(_mm256_max_epu8(v, _mm256_set1_epi8((char)0xBE)), v));
  faults = _mm256_or_si256(faults, not_char);
  return !_mm256_testz_si256(faults, faults);
}

// Of a block at t whose bytes above 0x7F are in high, the stops (bits of the bytes a run cannot
// take as they stand) and *take, how many bytes the run may take when none stops it. A block
// whose sequences are all whole Chars lets them pass, but a sequence cut by its end, which the
// next block takes whole; in one with any other, every byte above 0x7F stops the run and goes
// through the one-character step.
inline u32 pass_sequences(block v, const u8 *t, u32 high, u32 stops, u32 *take) {
  if (utf8_faults(v)) return stops | high;
  u32 n = width;
  if (t[width - 1] >= 0xC0) n = width - 1;
  else if (t[width - 2] >= 0xE0) n = width - 2;
  else if (t[width - 3] >= 0xF0) n = width - 3;
  *take = n;
  return stops & (u32)((1ull << n) - 1);
}

inline void clear_node(xml_node *node) {
  static_assert(sizeof(xml_node) == 5 * 32 + 24, "five blocks and three words");
  u8 *b = (u8 *)node;
  const __m256i zero = _mm256_setzero_si256();
  for (u32 i = 0; i < 5; i++) _mm256_storeu_si256((__m256i *)(b + 32 * i), zero);
  _mm_storeu_si128((__m128i *)(b + 160), _mm256_castsi256_si128(zero));
  *(u64 *)(b + 176) = 0;
}
#else
typedef __m128i block;
inline block load(const u8 *p) { return _mm_loadu_si128((const __m128i *)p); }
inline void store(u8 *p, block v) { _mm_storeu_si128((__m128i *)p, v); }

// Whether each byte of v is in the set, from its up to three bytes and the controls (see
// byte_set_spec). Bytes above 0x7F are in every set: the one-character step checks them.
inline u32 in_set(block v, const byte_set_spec &k) {
  u64 unused;
  __m128i c = _mm_set1_epi8((char)k.bytes[2]);
  return (u32)xml_block_sse2((const u8 *)&v, _mm_set1_epi8((char)k.bytes[0]), _mm_set1_epi8((char)k.bytes[1]), c, c,
                             k.line_ends ? xml_scan_lines_count : xml_scan_lines_stop, &unused);
}
inline void clear_node(xml_node *node) { xml_node_clear(node); }
#endif

// ---- The run of one text, CDATA section or attribute value -------------------------------

// Bytes from t are copied to out, a block at a time as they are scanned (the string arena has
// room for the rest of the input and a block), references to Chars resolved, a CR LF pair and a
// lone CR made one LF, and in values each tab and LF and each of those line ends made a space,
// up to the byte that ends the run: "<" for text, the "]]>" of CDATA, the closing quote q of a
// value. True with t at that byte and out past what the run holds; false at the first byte the
// productions must read instead. Inlined wherever it is used: in the loop a call would cost its
// registers.
template <u32 kind>
__attribute__((always_inline)) inline bool run(const u8 *&t, const u8 *end, u8 *&out, u8 q) {
  const byte_set_spec &set = kind == run_text ? text_set : kind == run_cdata ? cdata_set
                             : q == '"' ? value_double_set : value_single_set;
  // The byte that ends a text or a value, told from the block itself: the common way out then
  // waits on no load of the byte.
#if XML_UTF8_WIDTH == 32
  const block terminator = _mm256_set1_epi8((char)(kind == run_text ? '<' : q));
#else
  const block terminator = _mm_set1_epi8((char)(kind == run_text ? '<' : q));
#endif
  for (;;) {
    if (end - t >= width) {
      block v = load(t);
      store(out, v);
      u32 stops = in_set(v, set), take = width;
#if XML_UTF8_WIDTH == 32
      if (u32 high = high_bits(v)) stops = pass_sequences(v, t, high, stops, &take);
      u32 ends = (u32)_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, terminator));
#else
      u32 ends = (u32)_mm_movemask_epi8(_mm_cmpeq_epi8(v, terminator));
#endif
      if (!stops) {
        t += take, out += take;
        continue;
      }
      u32 k = (u32)__builtin_ctz(stops);
      t += k, out += k;
      if (kind != run_cdata && (ends >> k & 1)) return true;
    } else if (t == end) {
      return false;  // the productions report the end of input
    }
    u8 b = *t;
    if (b >= 0x80) {
      u32 n = xml_utf8_char(t, end);
      if (n == 0) return false;
      for (u32 i = 0; i < n; i++) out[i] = t[i];
      t += n, out += n;
      continue;
    }
    if (kind == run_text) {
      if (b == '<') return true;
      if (b == ']' && end - t >= 3 && t[1] == ']' && t[2] == '>') return false;
      if (!(xml_byte_class[b] & xml_class_text) && b != '\n' && b != '\r' && b != ']' && b != '&') return false;
    } else if (kind == run_cdata) {
      if (b == ']' && end - t >= 3 && t[1] == ']' && t[2] == '>') return true;
      if (!(xml_byte_class[b] & xml_class_cdata) && b != '\n' && b != '\r' && b != ']') return false;
    } else {
      if (b == q) return true;
      if (b == '\t' || b == '\n' || b == '\r') {
        *out++ = ' ';
        t += b == '\r' && end - t >= 2 && t[1] == '\n' ? 2 : 1;
        continue;
      }
      if (!(xml_byte_class[b] & xml_class_attribute) && b != '"' && b != '\'' && b != '&') return false;
    }
    if (b == '\r') {
      *out++ = '\n';
      t += end - t >= 2 && t[1] == '\n' ? 2 : 1;
      continue;
    }
    if (kind != run_cdata && b == '&') {
      u32 ch = 0;
      u64 n = xml_fast_reference(t, end, &ch);
      if (n == 0 || !xml_is_char(ch)) return false;
      out = xml_put_utf8(out, ch);
      t += n;
      continue;
    }
    *out++ = b, t++;
  }
}

// ---- Pieces of the loop ------------------------------------------------------------------

// Past the ASCII name at t, whose first byte the caller checked.
inline const u8 *name_end(const u8 *t, const u8 *end, const u8 *bound) {
  t++;
  if (t < bound) {
    while (xml_byte_class[*t] & xml_class_name) t++;
    return t;
  }
  while (t < end && (xml_byte_class[*t] & xml_class_name)) t++;
  return t;
}

inline const u8 *skip_spaces(const u8 *t, const u8 *end, const u8 *bound) {
  if (t < bound) {
    while (xml_is_space(*t)) t++;
    return t;
  }
  return xml_utf8_skip_spaces(t, end);
}

// Copies the n bytes at s to out, which has room for a block past them.
inline void copy(u8 *out, const u8 *s, u64 n, const u8 *end) {
  if (end - s >= (s64)(n + width)) {
    for (u64 i = 0; i < n; i += width) store(out + i, load(s + i));
  } else {
    for (u64 i = 0; i < n; i++) out[i] = s[i];
  }
}

// A zero-filled node of the type at the node arena's free end (aligned: see inner), as
// xml_node_try makes it; null, with nothing changed, when the arena's committed room is full (the
// loop then stops for it to grow).
inline xml_node *node_new(u8 *&at, const u8 *node_end, u32 type) {
  if (node_end - at < (s64)sizeof(xml_node)) return nullptr;
  xml_node *node = (xml_node *)at;
  at += sizeof(xml_node);
  clear_node(node);
  node->type = type;
  return node;
}

// Links a node just made (its links all zero) as the last child of parent, or the last attribute.
template <bool attribute>
inline void link(xml_node *parent, xml_node *child) {
  xml_node *&first = attribute ? parent->first_attribute : parent->first_child;
  xml_node *&last = attribute ? parent->last_attribute : parent->last_child;
  xml_node *before = last;
  child->parent = parent;
  child->previous = before;
  if (before) before->next = child;
  else first = child;
  last = child;
}

// The free ends of the two arenas, which the inner loop writes at.
struct loop_tails {
  u8 *string;
  u8 *node;
};

// What reading the attributes of a start tag found.
enum : u32 {
  tag_other,  // not plain, or cut by the end of input: the productions read it
  tag_made,   // plain, and a node made for each attribute
  tag_short,  // plain, and the node arena's room ran out before the tag's end
};

// What reading the rest of a tag without making its nodes found.
struct tag_rest {
  const u8 *after;  // past the tag; null when it is not plain or does not end
  u64 attributes;
  bool open;
};
tag_rest rest_of_tag(u8 *scratch, const u8 *t, const u8 *end, const u8 *bound);

// The attributes of a start tag from t, the byte past its name, up to the tag's end: unless the
// result is tag_other, *after is then past the tag and *open true when content follows. With
// make, each attribute becomes a node linked to element while the node arena has room. Once it
// has none, and without make, the rest of the tag is only read, and *unmade counts the attributes
// that got no node: the arena then grows once for the whole tag, which is read again once, where
// growing by a step and starting the tag over would read it again for every few thousand
// attributes.
template <bool make>
inline u32 attributes(loop_tails *a, const u8 *node_end, xml_node *element, const u8 *t, const u8 *end,
                      const u8 *bound, const u8 **after, bool *open, u64 *unmade) {
  for (;;) {
    const u8 *w = t;
    if (t == end) return tag_other;  // the input ends after a value's closing quote
    if (*t <= ' ') t = skip_spaces(t, end, bound);
    if (t == end) return tag_other;
    if (*t == '>') {
      *open = true, *after = t + 1;
      return make ? tag_made : tag_short;
    }
    if (*t == '/') {
      if (end - t < 2 || t[1] != '>') return tag_other;
      *open = false, *after = t + 2;
      return make ? tag_made : tag_short;
    }
    // An attribute: white space before it, an ASCII name, "=", a quoted plain value.
    if (t == w || !(xml_byte_class[*t] & xml_class_name_start)) return tag_other;
    const u8 *name = t;
    t = name_end(t, end, bound);
    if (t == end || *t >= 0x80) return tag_other;
    u64 name_length = (u64)(t - name);
    if (*t <= ' ') t = skip_spaces(t, end, bound);
    if (t == end || *t != '=') return tag_other;
    t++;
    if (t < end && *t <= ' ') t = skip_spaces(t, end, bound);
    if (t == end || (*t != '"' && *t != '\'')) return tag_other;
    u8 q = *t++;
    if (!make) {
      // The value is written where the strings end, as a run writes, and left there.
      u8 *value_end = a->string;
      if (!run<run_value>(t, end, value_end, q)) return tag_other;
      t++;
      *unmade += 1;
      continue;
    }
    xml_node *attribute = node_new(a->node, node_end, xml_node_type_attribute);
    if (!attribute) {
      tag_rest r = rest_of_tag(a->string, w, end, bound);
      *after = r.after, *open = r.open, *unmade = r.attributes;
      return r.after ? tag_short : tag_other;
    }
    u8 *d = a->string;
    copy(d, name, name_length, end);
    u8 *value = d + name_length, *value_end = value;
    if (!run<run_value>(t, end, value_end, q)) return tag_other;
    t++;
    a->string = value_end;
    attribute->name = buffer{name_length, name_length, d};
    attribute->value = xml_string_of(value, (u64)(value_end - value));
    link<true>(element, attribute);
  }
}

// The attributes from t only read and counted, their values written at scratch; out of the way
// of the loop (a tag comes to this once at most), with nothing of the loop's own in memory.
__attribute__((noinline, cold)) tag_rest rest_of_tag(u8 *scratch, const u8 *t, const u8 *end, const u8 *bound) {
  loop_tails a = {scratch, nullptr};
  tag_rest r = {nullptr, 0, false};
  const u8 *after;
  bool open;
  if (attributes<false>(&a, nullptr, nullptr, t, end, bound, &after, &open, &r.attributes) == tag_short)
    r.after = after, r.open = open;
  return r;
}

// The start tag at s ("<" and an ASCII name start) when its name is ASCII and its attributes
// plain: the element with its attributes, not yet linked to a parent, *after past the tag, and
// *open when content follows. Null, with both arenas as they were, for any other tag, and when
// the node arena's room ran out: *need is then the node bytes of the whole tag, and *after past
// it.
inline xml_node *start_tag(loop_tails *a, const u8 *node_end, const u8 *s, const u8 *end, const u8 *bound,
                           const u8 **after, bool *open, u64 *need) {
  const loop_tails before = *a;
  const u8 *t = name_end(s + 1, end, bound);
  if (t == end || *t >= 0x80) return nullptr;  // that byte might go on with the name
  xml_node *element = node_new(a->node, node_end, xml_node_type_element);
  u64 unmade = 0;
  u32 found;
  if (element) {
    u64 n = (u64)(t - (s + 1));
    copy(a->string, s + 1, n, end);
    element->name = buffer{n, n, a->string};
    a->string += n;
    found = attributes<true>(a, node_end, element, t, end, bound, after, open, &unmade);
    if (found == tag_made) return element;
  } else {
    tag_rest r = rest_of_tag(a->string, t, end, bound);
    *after = r.after, *open = r.open, unmade = 1 + r.attributes;
    found = r.after ? tag_short : tag_other;
  }
  if (found == tag_short) *need = (u64)(a->node - before.node) + unmade * sizeof(xml_node);
  *a = before;
  return nullptr;
}

// An element whose start tag the loop read, with its name's bytes in the input: an end tag is
// compared with them there, since a block of the string arena just written would be read only
// once those writes were done.
struct open_element {
  xml_node *node;
  const u8 *name;
};

// The end tag at s ("</") of the element e when it is "</", the name, white space and ">": the
// byte past it, or null for anything else.
inline const u8 *end_tag(const u8 *s, const u8 *end, const open_element &e) {
  const u8 *t = s + 2;
  u64 n = e.node->name.used;
  if ((u64)(end - t) <= n) return nullptr;
  bool same;
  if (n <= width && end - e.name >= width && end - t >= width) {
    block v = load(t);
#if XML_UTF8_WIDTH == 32
    u32 equal = (u32)_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, load(e.name)));
    u32 closing = (u32)_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('>')));
#else
    u32 equal = (u32)_mm_movemask_epi8(_mm_cmpeq_epi8(v, load(e.name)));
    u32 closing = (u32)_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('>')));
#endif
    u32 want = (u32)((1ull << n) - 1);
    same = (equal & want) == want;
    // The common end tag, the name and ">", told from the block.
    if (same && n < width && (closing >> n & 1)) return t + n + 1;
  } else {
    same = memcmp(t, e.name, n) == 0;
  }
  t += n;
  // The name must end where the start name ends: a name character, or a byte above 0x7F that
  // might be one, would make it another.
  if (!same || *t >= 0x80 || (xml_byte_class[*t] & xml_class_name)) return nullptr;
  if (*t <= ' ') t = xml_utf8_skip_spaces(t, end);
  return t < end && *t == '>' ? t + 1 : nullptr;
}

// ---- The loop ----------------------------------------------------------------------------

// Why the inner loop stopped.
enum : u32 {
  stop_parent_end,  // at the parent's own end tag, which the caller reads
  stop_item,        // at a content item the productions read
  stop_end_tag,     // at an end tag of the element being read that the productions read
  stop_text,        // in a run of text that the productions go on with
  stop_full,        // the node arena's committed room ran out
};

// What the loop carries from one item to the next. The inner loop keeps it in locals and writes
// it back when it stops.
struct loop_state {
  const u8 *s;
  xml_tails a;
  open_element current;  // the element whose content is being read; the parent when name is null
  open_element *top;     // past the elements opened by the loop below current
  const u8 *text_stop;   // with stop_text: where the run stopped
  u64 text_length;       // and the length of its bytes so far, written at a.string
  u64 node_need;         // with stop_full: the node bytes the item needs
  const u8 *read_to;     // and how far the loop had read
};

// Reads items from st->s until one needs the productions or more room. It calls nothing but
// rest_of_tag, once a tag short of room, so the compiler keeps its state in registers. Elements
// it opens go on the stack up to limit. The parent's name is never compared here (its end tag
// stops the loop), so a null name marks it.
__attribute__((noinline)) u32 inner(loop_state *st, const open_element *limit, const u8 *end, const u8 *bound) {
  const u8 *s = st->s, *node_end = st->a.node_end;
  loop_tails a = {st->a.string, st->a.node};
  open_element current = st->current, *top = st->top;
  // The loop starts right after its parent's node was made, and every node is a whole number of
  // words long: the node arena's free end is aligned, and no node the loop makes needs padding.
  static_assert(sizeof(xml_node) % 8 == 0, "nodes keep the arena aligned");
  invariant(((u64)a.node & 7) == 0);
  u32 why;
  for (;;) {
    if (end - s < 2) {
      why = stop_item;
      break;
    }
    if (s[0] == '<') {
      u8 b = s[1];
      if (b == '/') {
        if (!current.name) {
          why = stop_parent_end;
          break;
        }
        xml_node *node = current.node;
        if (!node->first_child) node->empty = 1;
        const u8 *after = end_tag(s, end, current);
        if (!after) {
          why = stop_end_tag;
          break;
        }
        s = after;
        current = *--top;
        continue;
      }
      if ((xml_byte_class[b] & xml_class_name_start) && top < limit) {
        const u8 *after;
        bool has_content;
        u64 need = 0;
        xml_node *element = start_tag(&a, node_end, s, end, bound, &after, &has_content, &need);
        if (element) {
          link<false>(current.node, element);
          if (has_content) {
            *top++ = current;
            current = {element, s + 1};
          } else {
            element->empty = 1;
          }
          s = after;
          continue;
        }
        why = stop_item;
        if (need) {
          why = stop_full;
          st->node_need = need;
          st->read_to = after;
        }
        break;
      }
      if (b == '!' && end - s >= 9 && memcmp(s, "<![CDATA[", 9) == 0) {
        const u8 *t = s + 9;
        u8 *out = a.string;
        if (run<run_cdata>(t, end, out, 0)) {
          xml_node *section = node_new(a.node, node_end, xml_node_type_cdata_section);
          if (!section) {
            st->node_need = sizeof(xml_node);
            st->read_to = t;
            why = stop_full;
            break;
          }
          section->text = xml_string_of(a.string, (u64)(out - a.string));
          a.string = out;
          link<false>(current.node, section);
          s = t + 3;
          continue;
        }
      }
      why = stop_item;
      break;
    }
    const u8 *t = s;
    u8 *out = a.string;
    if (!run<run_text>(t, end, out, 0)) {
      // The run goes on in a way the productions read; they take it from where it stopped,
      // with what it holds so far as the start of their text, or whole when it holds nothing.
      why = t == s ? stop_item : stop_text;
      st->text_stop = t;
      st->text_length = (u64)(out - a.string);
      break;
    }
    xml_node *text = node_new(a.node, node_end, xml_node_type_character_data);
    if (!text) {
      st->node_need = sizeof(xml_node);
      st->read_to = t;
      why = stop_full;
      break;
    }
    u64 n = (u64)(out - a.string);
    text->text = buffer{n, n, a.string};
    a.string = out;
    link<false>(current.node, text);
    s = t;
  }
  st->s = s;
  st->a.string = a.string;
  st->a.node = a.node;
  st->current = current;
  st->top = top;
  return why;
}

void content(xml_parser *p, xml_cursor *c, xml_node *parent, xml_error *error) {
  // The elements opened here and not yet closed, outermost first, below the current one.
  open_element stack[XML_MAX_DEPTH];
  loop_state st;
  st.s = c->position;
  st.current = {parent, nullptr};
  st.top = stack;
  const u8 *end = p->end, *bound = xml_content_bound(p, st.s);
  // The elements this loop may open before the nesting bound: the depth is p->depth plus those
  // on the stack.
  const open_element *limit = stack + (XML_MAX_DEPTH - p->depth);
  for (;;) {
    // The loop writes strings without asking for room each time, which is sound only while the
    // arena has room for the rest of the input: nothing it writes is longer than what it read.
    // Without that room every item goes to the productions.
    u32 why = stop_item;
    if (xml_tails_reload(p, &st.a, (u64)(end - st.s) + 2 * width)) why = inner(&st, limit, end, bound);
    else if (end - st.s >= 2 && st.s[0] == '<' && st.s[1] == '/') why = st.top > stack ? stop_end_tag : stop_parent_end;
    if (why == stop_parent_end) break;
    xml_tails_store(p, st.a);
    if (why == stop_full) {
      WORK_COUNT(p->content_reread_bytes, (u64)(st.read_to - st.s));
      // More room, and the item again; when there is no more, the productions report it.
      if (xml_node_grow(p, st.node_need)) continue;
      why = stop_item;
    }
    xml_node *node = st.current.node;
    if (why == stop_text) {
      xml_marks m = xml_marks_begin(p);
      xml_string_mark text = xml_string_begin(p);
      p->strings.used += st.text_length;
      xml_utf8_count(c, st.text_stop);
      xml_node *child = xml_character_data_after(p, c, &m, &text, error);
      if (*error) return;
      if (child) link<false>(node, child);
      st.s = c->position;
      continue;
    }
    xml_utf8_count(c, st.s);
    if (why == stop_item) {
      // One content item, read at this element's depth.
      u32 open = (u32)(st.top - stack);
      p->depth += open;
      xml_node *child = xml_parse_content(p, c, error);
      p->depth -= open;
      if (*error) return;
      st.s = c->position;
      if (child) {
        link<false>(node, child);
        continue;
      }
      // No item where one was due: what follows must be the end tag.
      if (st.top == stack) return;
    }
    if (!node->first_child) node->empty = 1;
    xml_element_end_tag(p, c, node, error);
    if (*error) return;
    st.s = c->position;
    st.current = *--st.top;
  }
  xml_tails_store(p, st.a);
  xml_utf8_count(c, st.s);
}
