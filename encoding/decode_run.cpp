// Runs: many code points per call. A run gives exactly what encoding_decode gives one call at a
// time, and stops where that would first fail, so a caller decodes the failing sequence the one
// way and goes on. UTF-8 and the single-byte encodings take ASCII in 16-byte steps, and UTF-8
// decodes the leads of a mixed block without a branch on their lengths; the other encodings
// loop over the inline dispatch.
#include <cstring>

#include "encoding/encoding.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr u32 run_block = 16;

inline u32 load_u32(const u8 *at) {
  u32 v;
  std::memcpy(&v, at, 4);
  return v;
}

// One UTF-8 sequence from the four bytes at its lead (read as one little-endian word, so bytes
// past the sequence are there to read but do not count). Everything comes from tables indexed by
// the length, with no branch on it, so mixed text costs no mispredicted branch per character:
// the four-byte form is computed and shifted down to the length's. *bad is set for what
// utf8_decode refuses: a continuation or C0, C1, F5..FF as lead, a bad continuation, an
// overlong form, a surrogate, a value past U+10FFFF.
struct utf8_form {
  u32 continuation_mask, continuation_bits, smallest, lead_mask, shift;
};
inline u32 utf8_sequence(u32 w, u32 *code_point, u32 *bad) {
  static const u8 lengths[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 3, 4};
  static const utf8_form forms[5] = {{0, 0, 0, 0, 0},
                                     {0, 0, 0, 0x7F, 18},
                                     {0xC000, 0x8000, 0x80, 0x1F, 12},
                                     {0xC0C000, 0x808000, 0x800, 0x0F, 6},
                                     {0xC0C0C000, 0x80808000, 0x10000, 0x07, 0}};
  u32 lead = w & 0xFF;
  u32 length = lengths[lead >> 4];
  const utf8_form &f = forms[length];
  u32 four = ((lead & f.lead_mask) << 18) | ((w & 0x3F00) << 4) | ((w >> 10) & 0xFC0) |
             ((w >> 24) & 0x3F);
  u32 v = four >> f.shift;
  u32 ok = ((w & f.continuation_mask) == f.continuation_bits) & (v >= f.smallest) &
           (v <= 0x10FFFF) & (v - 0xD800 >= 0x800) & (lead < 0xF5) & (lead - 0x80 >= 0x40);
  *bad |= ok ^ 1;
  *code_point = v;
  return length;
}

// The one-call decode of a UTF-8 code point: false where utf8_decode fails.
inline bool utf8_one(const u8 *at, const u8 *end, u32 *code_point, u32 *length) {
  if (end - at >= 4) {
    u32 bad = 0;
    *length = utf8_sequence(load_u32(at), code_point, &bad);
    return !bad;
  }
  u32 error = 0;
  u8 n = 0;
  utf8_decode(at, end, code_point, &n, &error);
  *length = n;
  return error == 0;
}

inline u32 utf8_write(u8 *out, u32 cp) {
  if (cp < 0x80) {
    out[0] = (u8)cp;
    return 1;
  }
  if (cp < 0x800) {
    out[0] = (u8)(0xC0 | (cp >> 6));
    out[1] = (u8)(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = (u8)(0xE0 | (cp >> 12));
    out[1] = (u8)(0x80 | ((cp >> 6) & 0x3F));
    out[2] = (u8)(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = (u8)(0xF0 | (cp >> 18));
  out[1] = (u8)(0x80 | ((cp >> 12) & 0x3F));
  out[2] = (u8)(0x80 | ((cp >> 6) & 0x3F));
  out[3] = (u8)(0x80 | (cp & 0x3F));
  return 4;
}

// The bytes of 16 that are not ASCII, one bit each, and the widening of 16 ASCII bytes.
#ifdef __SSE2__
inline u32 block_non_ascii(const u8 *at) {
  return (u32)_mm_movemask_epi8(_mm_loadu_si128((const __m128i *)at));
}
inline void block_widen(const u8 *at, u32 *out) {
  __m128i v = _mm_loadu_si128((const __m128i *)at), zero = _mm_setzero_si128();
  __m128i low = _mm_unpacklo_epi8(v, zero), high = _mm_unpackhi_epi8(v, zero);
  _mm_storeu_si128((__m128i *)out, _mm_unpacklo_epi16(low, zero));
  _mm_storeu_si128((__m128i *)(out + 4), _mm_unpackhi_epi16(low, zero));
  _mm_storeu_si128((__m128i *)(out + 8), _mm_unpacklo_epi16(high, zero));
  _mm_storeu_si128((__m128i *)(out + 12), _mm_unpackhi_epi16(high, zero));
}
#else
inline u32 block_non_ascii(const u8 *at) {
  u32 mask = 0;
  for (u32 i = 0; i < run_block; i++) mask |= (u32)(at[i] >> 7) << i;
  return mask;
}
inline void block_widen(const u8 *at, u32 *out) {
  for (u32 i = 0; i < run_block; i++) out[i] = at[i];
}
#endif
inline void block_copy(const u8 *at, u8 *out) { std::memcpy(out, at, run_block); }

// A mixed UTF-8 block of 32 bytes from a sequence start: checks the block as a whole, then
// decodes every lead among its bytes (the last sequence may reach 3 bytes past them) and gives
// the bytes up to the end of the last sequence, or 0 when anything in it is refused. The checks
// are those of utf8_decode: no lead C0, C1 or F5..FF; the second byte's narrower range after E0,
// ED, F0 and F4; and continuations exactly where the leads want them, which holds when the bytes
// that follow a lead by one, two or three places as its length says are the block's
// continuations. The last sequence is checked whole by utf8_sequence, as it may end past the
// block. Each half of 16 bytes is classified on its own.
#ifdef __SSE2__
constexpr u32 utf8_block_size = 2 * run_block;

inline __m128i bytes_at_least(__m128i v, u8 x) {
  return _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8((char)x)), v);
}
inline __m128i bytes_equal(__m128i v, u8 x) { return _mm_cmpeq_epi8(v, _mm_set1_epi8((char)x)); }
inline __m128i load16(const u8 *at) { return _mm_loadu_si128((const __m128i *)at); }

struct utf8_half {
  u32 refused, expected, continuations, four_byte;  // one bit per byte
  __m128i lead_bits, shift;  // per byte: the lead's own bits, and its shift
  __m128i bmp[2];            // per byte, as u16: the code point a lead below F0 starts
};

// The first half starts a sequence, so nothing before it wants a continuation in it; the second
// looks back at the last three bytes of the first.
inline utf8_half utf8_classify(const u8 *at, bool first) {
  __m128i v = load16(at), second = load16(at + 1);
  __m128i two = bytes_at_least(v, 0xC0), three = bytes_at_least(v, 0xE0), four = bytes_at_least(v, 0xF0);
  __m128i second_high = bytes_at_least(second, 0xA0), second_mid = bytes_at_least(second, 0x90);
  __m128i refused = _mm_or_si128(bytes_at_least(v, 0xF5),
                                 _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8((char)0xFE)),
                                                _mm_set1_epi8((char)0xC0)));
  refused = _mm_or_si128(refused, _mm_andnot_si128(second_high, bytes_equal(v, 0xE0)));
  refused = _mm_or_si128(refused, _mm_and_si128(second_high, bytes_equal(v, 0xED)));
  refused = _mm_or_si128(refused, _mm_andnot_si128(second_mid, bytes_equal(v, 0xF0)));
  refused = _mm_or_si128(refused, _mm_and_si128(second_mid, bytes_equal(v, 0xF4)));
  __m128i expected;
  if (first) {
    expected = _mm_or_si128(_mm_slli_si128(two, 1), _mm_or_si128(_mm_slli_si128(three, 2), _mm_slli_si128(four, 3)));
  } else {
    expected = _mm_or_si128(bytes_at_least(load16(at - 1), 0xC0),
                            _mm_or_si128(bytes_at_least(load16(at - 2), 0xE0), bytes_at_least(load16(at - 3), 0xF0)));
  }
  utf8_half h;
  h.refused = (u32)_mm_movemask_epi8(refused);
  h.expected = (u32)_mm_movemask_epi8(expected);
  // 0x80..0xBF are the bytes below 0xC0 as signed values.
  h.continuations = (u32)_mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8((char)0xC0)));
  // Each byte's lead bits and the shift that takes the four-byte form down to its length are
  // worked out here, so a lead's decode below waits on no table.
  h.lead_bits = _mm_and_si128(v, _mm_or_si128(_mm_andnot_si128(two, _mm_set1_epi8(0x7F)),
                                              _mm_and_si128(two, _mm_set1_epi8(0x1F))));
  h.lead_bits = _mm_andnot_si128(_mm_and_si128(three, _mm_set1_epi8(0x10)), h.lead_bits);
  h.lead_bits = _mm_andnot_si128(_mm_and_si128(four, _mm_set1_epi8(0x08)), h.lead_bits);
  // 18, 12, 6 or 0: six times the continuations a four-byte form has beyond this one's.
  __m128i longer = _mm_sub_epi8(_mm_setzero_si128(), _mm_add_epi8(two, _mm_add_epi8(three, four)));
  __m128i twice = _mm_add_epi8(longer, longer);
  h.shift = _mm_sub_epi8(_mm_set1_epi8(18), _mm_add_epi8(twice, _mm_add_epi8(twice, twice)));
  // Below U+10000 every form fits 16 bits, so the code point of every place is computed at once,
  // eight places a vector; a lead then only picks its own.
  h.four_byte = (u32)_mm_movemask_epi8(four);
  __m128i zero = _mm_setzero_si128(), low6 = _mm_set1_epi16(0x3F), third = load16(at + 2);
  __m128i only_two = _mm_andnot_si128(three, two);
  for (int half = 0; half < 2; half++) {
    __m128i b0 = half ? _mm_unpackhi_epi8(v, zero) : _mm_unpacklo_epi8(v, zero);
    __m128i b1 = _mm_and_si128(half ? _mm_unpackhi_epi8(second, zero) : _mm_unpacklo_epi8(second, zero), low6);
    __m128i b2 = _mm_and_si128(half ? _mm_unpackhi_epi8(third, zero) : _mm_unpacklo_epi8(third, zero), low6);
    __m128i is_two = half ? _mm_unpackhi_epi8(only_two, only_two) : _mm_unpacklo_epi8(only_two, only_two);
    __m128i is_three = half ? _mm_unpackhi_epi8(three, three) : _mm_unpacklo_epi8(three, three);
    __m128i form2 = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(b0, _mm_set1_epi16(0x1F)), 6), b1);
    // The lead's top bits fall off the 16-bit lane.
    __m128i form3 = _mm_or_si128(_mm_slli_epi16(b0, 12), _mm_or_si128(_mm_slli_epi16(b1, 6), b2));
    __m128i cp = _mm_or_si128(_mm_andnot_si128(is_two, b0), _mm_and_si128(is_two, form2));
    h.bmp[half] = _mm_or_si128(_mm_andnot_si128(is_three, cp), _mm_and_si128(is_three, form3));
  }
  return h;
}

template <typename Store>
inline u32 utf8_block(const u8 *at, Store store) {
  utf8_half low = utf8_classify(at, true), high = utf8_classify(at + run_block, false);
  u32 continuations = low.continuations | (high.continuations << 16);
  if (low.refused | high.refused | ((low.expected | (high.expected << 16)) ^ continuations)) return 0;
  // The first byte is a lead, or the check above failed.
  u32 leads = ~continuations;
  u32 last = 31 - (u32)__builtin_clz(leads), bad = 0, cp;
  u32 stop = last + utf8_sequence(load_u32(at + last), &cp, &bad);
  if (bad) return 0;
  if ((low.four_byte | high.four_byte) == 0) {
    alignas(16) u16 bmp[utf8_block_size];
    _mm_store_si128((__m128i *)bmp, low.bmp[0]);
    _mm_store_si128((__m128i *)(bmp + 8), low.bmp[1]);
    _mm_store_si128((__m128i *)(bmp + 16), high.bmp[0]);
    _mm_store_si128((__m128i *)(bmp + 24), high.bmp[1]);
    while (leads) {
      store(bmp[__builtin_ctz(leads)]);
      leads &= leads - 1;
    }
    return stop;
  }
  alignas(16) u8 lead_at[utf8_block_size], shift_at[utf8_block_size];
  _mm_store_si128((__m128i *)lead_at, low.lead_bits);
  _mm_store_si128((__m128i *)(lead_at + run_block), high.lead_bits);
  _mm_store_si128((__m128i *)shift_at, low.shift);
  _mm_store_si128((__m128i *)(shift_at + run_block), high.shift);
  while (leads) {
    u32 p = (u32)__builtin_ctz(leads);
    leads &= leads - 1;
    u32 w = load_u32(at + p);
    u32 all = ((u32)lead_at[p] << 18) | ((w & 0x3F00) << 4) | ((w >> 10) & 0xFC0) | ((w >> 24) & 0x3F);
    store(all >> shift_at[p]);
  }
  return stop;
}
#else
constexpr u32 utf8_block_size = run_block;
#endif

// Writes code points as u32 units.
struct unit_out {
  u32 *at, *end;
  static constexpr bool copies_utf8 = false;
  bool room(u64 units) const { return (u64)(end - at) >= units; }
  void put(u32 cp) { *at++ = cp; }
  void widen(const u8 *in) {
    block_widen(in, at);
    at += run_block;
  }
};

// Writes code points as UTF-8.
struct utf8_out {
  u8 *at, *end;
  // Valid UTF-8 is its own output: a checked block is copied as it is.
  static constexpr bool copies_utf8 = true;
  bool room(u64 bytes) const { return (u64)(end - at) >= bytes; }
  void put(u32 cp) { at += utf8_write(at, cp); }
  void widen(const u8 *in) {
    block_copy(in, at);
    at += run_block;
  }
};

template <typename Out>
u64 run_utf8(const u8 *begin, const u8 *end, Out *out, u32 room_per_unit) {
  const u8 *at = begin;
  // A block needs its bytes and the 3 a sequence at its end may take; mixed output is written
  // before the block is judged, so the room for a whole block comes first.
  const s64 block_bytes = utf8_block_size + 3;
  const u64 block_room = (u64)block_bytes * room_per_unit;
  for (;;) {
    while (end - at >= block_bytes && out->room(block_room)) {
      if ((block_non_ascii(at) | block_non_ascii(at + run_block)) == 0) {
        out->widen(at);
        out->widen(at + run_block);
        at += 2 * run_block;
        continue;
      }
#ifdef __SSE2__
      u32 used;
      if constexpr (Out::copies_utf8) {
        used = utf8_block(at, [](u32) {});
        if (used == 0) break;
        std::memcpy(out->at, at, used);
        out->at += used;
      } else {
        Out trial = *out;
        used = utf8_block(at, [&trial](u32 cp) { trial.put(cp); });
        if (used == 0) break;
        *out = trial;
      }
      at += used;
#else
      break;
#endif
    }
    // One block, or the tail, one code point at a time: up to the refused sequence if there is
    // one, else back to whole blocks.
    const u8 *block_end = at + utf8_block_size;
    while (at < end && at < block_end) {
      u32 cp, length;
      if (!out->room(room_per_unit) || !utf8_one(at, end, &cp, &length)) return (u64)(at - begin);
      out->put(cp);
      at += length;
    }
    if (at >= end) return (u64)(at - begin);
  }
}

// The single-byte tables in the two forms a run wants, built once: the code point as a unit
// with the top bit set for a byte that has none (NUL is the one 0), and the UTF-8 bytes packed
// little-endian with their count in the top byte (0 for a byte without a code point; a table's
// code points are below U+10000, so three bytes and the count fit).
struct single_byte_run_tables {
  u32 unit[encoding_x_mac_cyrillic + 1][256];
  u32 utf8[encoding_x_mac_cyrillic + 1][256];
};
constexpr u32 no_code_point_unit = 0x80000000u;

const single_byte_run_tables &run_tables() {
  static const single_byte_run_tables *tables = [] {
    static single_byte_run_tables t;
    for (u32 e = encoding_ibm866; e <= encoding_x_mac_cyrillic; e++) {
      for (u32 b = 0; b < 256; b++) {
        u32 cp = encoding_byte_tables[e][b];
        bool none = cp == 0 && b != 0;
        t.unit[e][b] = none ? no_code_point_unit : cp;
        u8 bytes[4] = {};
        u32 n = none ? 0 : utf8_write(bytes, cp);
        t.utf8[e][b] = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (n << 24);
      }
    }
    return &t;
  }();
  return *tables;
}

// Most text in a single-byte encoding is ASCII with a few other letters: a block is taken as
// ASCII, then its other bytes are put in their places. Output past what is returned may be
// written, within the room.
u64 single_byte_run_units(u32 encoding, const u8 *begin, const u8 *end, unit_out *out) {
  const u32 *unit = run_tables().unit[encoding];
  const u8 *at = begin;
  u32 *o = out->at;
  for (;;) {
    while (end - at >= (s64)run_block && out->end - o >= (s64)run_block) {
      u32 others = block_non_ascii(at);
      block_widen(at, o);
      u32 bad = 0;
      while (others) {
        u32 p = (u32)__builtin_ctz(others);
        others &= others - 1;
        u32 cp = unit[at[p]];
        bad |= cp;
        o[p] = cp;
      }
      if (bad & no_code_point_unit) break;
      at += run_block;
      o += run_block;
    }
    const u8 *block_end = at + run_block;
    while (at < end && at < block_end) {
      u32 cp = unit[*at];
      if ((cp & no_code_point_unit) || o >= out->end) {
        out->at = o;
        return (u64)(at - begin);
      }
      *o++ = cp;
      at++;
    }
    if (at >= end) {
      out->at = o;
      return (u64)(at - begin);
    }
  }
}

u64 single_byte_run_utf8(u32 encoding, const u8 *begin, const u8 *end, utf8_out *out) {
  const u32 *utf8 = run_tables().utf8[encoding];
  const u8 *at = begin;
  u8 *o = out->at;
  // A block writes at most 3 bytes per byte, and each piece is written 16 or 4 bytes at a time.
  const s64 block_room = 3 * run_block + run_block;
  for (;;) {
    // The pieces are copied 16 bytes at a time from anywhere in the block: 32 bytes readable.
    while (end - at >= (s64)(2 * run_block) && out->end - o >= block_room) {
      u32 others = block_non_ascii(at);
      if (others == 0) {
        block_copy(at, o);
        at += run_block;
        o += run_block;
        continue;
      }
      u8 *w = o;
      u32 from = 0, missing = 0;
      while (others) {
        u32 p = (u32)__builtin_ctz(others);
        others &= others - 1;
        block_copy(at + from, w);  // the ASCII before this byte, and some after it
        w += p - from;
        u32 packed = utf8[at[p]];
        std::memcpy(w, &packed, 4);
        u32 n = packed >> 24;
        missing |= n == 0;
        w += n;
        from = p + 1;
      }
      if (missing) break;
      // The rest of the block is ASCII; the copy may read past it, within the block's 16.
      std::memcpy(w, at + from, run_block - from);
      w += run_block - from;
      o = w;
      at += run_block;
    }
    const u8 *block_end = at + run_block;
    while (at < end && at < block_end) {
      u32 packed = utf8[*at], n = packed >> 24;
      if (n == 0 || out->end - o < 4) {
        out->at = o;
        return (u64)(at - begin);
      }
      std::memcpy(o, &packed, 4);
      o += n;
      at++;
    }
    if (at >= end) {
      out->at = o;
      return (u64)(at - begin);
    }
  }
}

// Every other stateless encoding: the inline dispatch, call by call (Big5 may give two code points).
template <typename Out>
[[gnu::flatten]] u64 run_general(u32 encoding, const u8 *begin, const u8 *end, Out *out, u32 room_per_unit) {
  const u8 *at = begin;
  while (at < end && out->room(2 * room_per_unit)) {
    u32 cp, second, error = 0;
    u8 count;
    u8 n = encoding_decode(encoding, at, end, &cp, &second, &count, nullptr, &error);
    if (error) break;
    out->put(cp);
    if (second != encoding_no_code_point) out->put(second);
    at += n;
  }
  return (u64)(at - begin);
}

// The output's position is worked on in a local record, so that stores of the output (bytes may
// alias anything) do not make the compiler reload it.
template <typename Out>
u64 run_decode(u32 encoding, const u8 *begin, const u8 *end, Out *out, u32 room_per_unit) {
  if (!begin || begin >= end) return 0;
  Out o = *out;
  u64 read = 0;
  if (encoding == encoding_utf_8) {
    read = run_utf8(begin, end, &o, room_per_unit);
  } else if (encoding - encoding_ibm866 <= encoding_x_mac_cyrillic - encoding_ibm866) {
    if constexpr (Out::copies_utf8)
      read = single_byte_run_utf8(encoding, begin, end, &o);
    else
      read = single_byte_run_units(encoding, begin, end, &o);
  } else if (encoding != encoding_iso_2022_jp && encoding != encoding_invalid &&
             encoding < encoding_count) {
    // ISO-2022-JP's escapes move a state the run does not hold; an unknown number has no run.
    read = run_general(encoding, begin, end, &o, room_per_unit);
  }
  *out = o;
  return read;
}

}  // namespace

u64 encoding_decode_run(u32 encoding, const u8 *begin, const u8 *end, u32 *out, u32 *out_end,
                        u64 *written) {
  unit_out o = {out, out_end};
  u64 read = run_decode(encoding, begin, end, &o, 1);
  *written = (u64)(o.at - out);
  return read;
}

u64 encoding_decode_run_utf8(u32 encoding, const u8 *begin, const u8 *end, u8 *out, u8 *out_end,
                             u64 *written) {
  utf8_out o = {out, out_end};
  // A code point of a single-byte table takes at most 3 bytes, of any other encoding 4.
  u32 per_unit = encoding - encoding_ibm866 <= encoding_x_mac_cyrillic - encoding_ibm866 ? 3 : 4;
  u64 read = run_decode(encoding, begin, end, &o, per_unit);
  *written = (u64)(o.at - out);
  return read;
}
