// Text encodings: every encoding a web document may be written in, decoded and encoded one code
// point per call. The codecs keep no hidden state: the caller holds the byte position and, for
// ISO-2022-JP, a small state record. Every fallible call takes the sticky error word last and
// returns at once when it is already set; a codec sets it only from zero.
#pragma once

#include "core/base.h"

// ---- Encoding numbers ----------------------------------------------------------------------

typedef u32 encoding;

enum : u32 {
  encoding_invalid = 0,
  encoding_utf_8 = 1,
  encoding_ibm866 = 2,
  encoding_iso_8859_2 = 3,
  encoding_iso_8859_3 = 4,
  encoding_iso_8859_4 = 5,
  encoding_iso_8859_5 = 6,
  encoding_iso_8859_6 = 7,
  encoding_iso_8859_7 = 8,
  encoding_iso_8859_8 = 9,
  encoding_iso_8859_8_i = 10,
  encoding_iso_8859_10 = 11,
  encoding_iso_8859_13 = 12,
  encoding_iso_8859_14 = 13,
  encoding_iso_8859_15 = 14,
  encoding_iso_8859_16 = 15,
  encoding_koi8_r = 16,
  encoding_koi8_u = 17,
  encoding_macintosh = 18,
  encoding_windows_874 = 19,
  encoding_windows_1250 = 20,
  encoding_windows_1251 = 21,
  encoding_windows_1252 = 22,
  encoding_windows_1253 = 23,
  encoding_windows_1254 = 24,
  encoding_windows_1255 = 25,
  encoding_windows_1256 = 26,
  encoding_windows_1257 = 27,
  encoding_windows_1258 = 28,
  encoding_x_mac_cyrillic = 29,
  encoding_gbk = 30,
  encoding_gb18030 = 31,
  encoding_big5 = 32,
  encoding_euc_jp = 33,
  encoding_iso_2022_jp = 34,
  encoding_shift_jis = 35,
  encoding_euc_kr = 36,
  encoding_replacement = 37,
  encoding_utf_16be = 38,
  encoding_utf_16le = 39,
  encoding_x_user_defined = 40,
  encoding_count = 41,
};

// Neither a code point nor a pointer: decoders leave it in the code point out on every failure.
// Callers that want U+FFFD substitute it themselves.
constexpr u32 encoding_no_code_point = 0xFFFFFFFF;
constexpr u32 encoding_no_pointer = 0xFFFFFFFF;

// The canonical name of an encoding number ("UTF-8", "Shift_JIS"); "invalid" for 0 and for
// numbers past the last.
const char *encoding_name(u32 encoding);

// ---- Errors --------------------------------------------------------------------------------

// One numbering shared by every codec.
enum : u32 {
  encoding_error_none = 0,
  encoding_error_end_of_input = 1,
  encoding_error_truncated = 2,
  encoding_error_output_too_small = 3,
  encoding_error_not_scalar = 4,
  encoding_error_utf8_bad_lead = 5,
  encoding_error_utf8_bad_continuation = 6,
  encoding_error_single_byte_no_code_point = 7,
  encoding_error_single_byte_no_byte = 8,
  encoding_error_gb18030_bad_first = 9,
  encoding_error_gb18030_two_byte_no_code_point = 10,
  encoding_error_gb18030_bad_third = 11,
  encoding_error_gb18030_bad_fourth = 12,
  encoding_error_gb18030_four_byte_no_code_point = 13,
  encoding_error_gb18030_encode_e5e5 = 14,
  encoding_error_gbk_encode_four_byte = 15,
  encoding_error_big5_bad_lead = 16,
  encoding_error_big5_no_code_point = 17,
  encoding_error_big5_encode_no_pointer = 18,
  encoding_error_euc_jp_bad_lead = 19,
  encoding_error_euc_jp_no_code_point = 20,
  encoding_error_euc_jp_encode_no_pointer = 21,
  encoding_error_iso_2022_jp_end_in_trail = 22,
  encoding_error_iso_2022_jp_end_in_escape = 23,
  encoding_error_unused_24 = 24,
  encoding_error_iso_2022_jp_bad_ascii = 25,
  encoding_error_iso_2022_jp_bad_roman = 26,
  encoding_error_iso_2022_jp_bad_katakana = 27,
  encoding_error_iso_2022_jp_bad_lead = 28,
  encoding_error_iso_2022_jp_bad_trail = 29,
  encoding_error_iso_2022_jp_escape_in_trail = 30,
  encoding_error_iso_2022_jp_bad_escape_start = 31,
  encoding_error_iso_2022_jp_escape_without_output = 32,
  encoding_error_iso_2022_jp_unknown_escape = 33,
  encoding_error_iso_2022_jp_encode_control = 34,
  encoding_error_iso_2022_jp_encode_no_pointer = 35,
  encoding_error_iso_2022_jp_finish_no_room = 36,
  encoding_error_shift_jis_bad_lead = 37,
  encoding_error_shift_jis_no_code_point = 38,
  encoding_error_shift_jis_encode_no_pointer = 39,
  encoding_error_euc_kr_bad_lead = 40,
  encoding_error_euc_kr_no_code_point = 41,
  encoding_error_euc_kr_encode_no_pointer = 42,
  encoding_error_replacement_refused = 43,
  encoding_error_replacement_encode = 44,
  encoding_error_utf16_unpaired_surrogate = 45,
  encoding_error_x_user_defined_encode = 46,
  encoding_error_unknown_encoding = 47,
  encoding_error_count = 48,
};

// The printable meaning of an error code; "unknown error" past the last.
const char *encoding_error_name(u32 error);

// ---- Labels --------------------------------------------------------------------------------

// One row of the label table: a lower-case label and the encoding it names.
struct encoding_label {
  const char *text;
  u8 length;
  u32 encoding;
};

// The encoding a label (a charset name from a document or header) names; 0 when unknown.
// Surrounding ASCII white space and letter case do not matter.
u32 encoding_from_label(const u8 *label, u64 length);

// The encoding named by a loosely written label: only letters and digits count, and a "0"
// right after a digit is dropped ("ISO8859-01" finds iso88591); 0 when none.
u32 encoding_from_label_loose(const u8 *label, u64 length);

// 1 (UTF-8) for EF BB BF, 38 (UTF-16BE) for FE FF, 39 (UTF-16LE) for FF FE, with the mark's
// length in *bom_length; 0 and length 0 otherwise.
u32 encoding_sniff_bom(const u8 *begin, const u8 *end, u8 *bom_length);

// ---- Dispatch by number --------------------------------------------------------------------

// The one stateful decoder's state; all zero is the initial state.
struct iso_2022_jp_state {
  u8 decoder_state;  // 1 ASCII, 2 Roman, 3 katakana, 4 lead byte, 5 trail byte, 6 escape start, 7 escape
  u8 output_state;   // 1 to 4: the state an escape selected last
  u8 output_flag;    // set by an escape, cleared by every code point out
};
static_assert(sizeof(iso_2022_jp_state) == 3);

// Decodes the code point that starts at begin; *count is the number of bytes looked at (at least
// one for every error but end of input; ISO-2022-JP may report end of input after consuming the
// escape sequences that end a text, and may make an error call consume nothing while it moves
// its state on). Big5 may give a second code point, so second_code_point
// must be given for it (elsewhere it may be null); state is needed for ISO-2022-JP only.
// Returns *count as well, so a decoding loop can advance without reading it back from memory.
inline u8 encoding_decode(u32 encoding, const u8 *begin, const u8 *end, u32 *code_point,
                          u32 *second_code_point, u8 *count, iso_2022_jp_state *state,
                          u32 *error);
// The out-of-line part of encoding_decode: everything but the inline fast paths.
u8 encoding_decode_general(u32 encoding, const u8 *begin, const u8 *end, u32 *code_point,
                           u32 *second_code_point, u8 *count, iso_2022_jp_state *state,
                           u32 *error);

// Encodes one code point into [out_begin, out_end); a null out_begin only measures. Nothing is
// written on failure. state is the ISO-2022-JP encoder word (0 starts), needed for it only.
void encoding_encode(u32 encoding, u8 *out_begin, u8 *out_end, u32 code_point, u8 *count,
                     u32 *state, u32 *error);

// Writes what closes an ISO-2022-JP stream (back to ASCII); nothing for other encodings.
void encoding_encode_finish(u32 encoding, u8 *out_begin, u8 *out_end, u8 *count, u32 *state,
                            u32 *error);

// ---- UTF-8, UTF-16, single-byte, replacement, x-user-defined --------------------------------

// True for U+0000..U+D7FF and U+E000..U+10FFFF.
inline bool codepoint_is_scalar(u32 code_point) {
  return code_point < 0xD800 || (code_point >= 0xE000 && code_point <= 0x10FFFF);
}

constexpr u32 utf16_high_surrogate_first = 0xD800;
constexpr u32 utf16_high_surrogate_last = 0xDBFF;
constexpr u32 utf16_low_surrogate_first = 0xDC00;
constexpr u32 utf16_low_surrogate_last = 0xDFFF;

// On an error *count is the length the lead byte announced (0 for a bad lead); the dispatch
// skips one byte instead.
void utf8_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count, u32 *error);
void utf8_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error);

// table: 128 code points for bytes 0x80..0xFF, 0 where a byte has none.
void single_byte_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count,
                        const u16 *table, u32 *error);
void single_byte_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count,
                        const u16 *table, u32 *error);
// The table of a single-byte encoding number (2 to 29), null for any other number.
const u16 *single_byte_table(u32 encoding);

// Counts are in 16-bit units.
u16 read_u16_endian(const u8 *at, u32 big_endian);
void utf16_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count, u32 big_endian,
                  u32 *error);
void utf16_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 big_endian,
                  u32 *error);

// Consumes one byte per call; reports error 43 once per *reported flag.
void replacement_decode(const u8 *begin, const u8 *end, u8 *count, u32 *reported, u32 *error);

void x_user_defined_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count,
                           u32 *error);
void x_user_defined_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error);

// ---- CJK codecs and their indexes ----------------------------------------------------------

// A run of pointers present in an index stored without its gaps: [start, end).
struct encoding_range {
  u16 start;
  u16 end;
};
static_assert(sizeof(encoding_range) == 4);

// The place of a pointer in a gapless index, or encoding_no_pointer when it lies in no run.
u32 encoding_index_compress(u64 pointer, const encoding_range *ranges, u64 range_count);
// The pointer of a place, or encoding_no_pointer when the place is past the last run.
u32 encoding_index_expand(u64 place, const encoding_range *ranges, u64 range_count);

u32 gb18030_ranges_code_point(u32 pointer);
u32 gb18030_ranges_pointer(u32 code_point);
u32 big5_pointer(u32 code_point);
u32 shift_jis_pointer(u32 code_point);

void gb18030_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count, u32 *error);
void gbk_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count, u32 *error);
void gb18030_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 is_gbk,
                    u32 *error);
void gbk_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error);

void big5_decode(const u8 *begin, const u8 *end, u32 *code_point, u32 *second_code_point,
                 u8 *count, u32 *error);
void big5_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error);

void euc_jp_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count, u32 *error);
void euc_jp_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error);

// One call consumes escape sequences until it yields a code point or an error.
void iso_2022_jp_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count,
                        iso_2022_jp_state *state, u32 *error);
enum : u32 {
  iso_2022_jp_encoder_ascii = 1,
  iso_2022_jp_encoder_roman = 2,
  iso_2022_jp_encoder_jis0208 = 3,
};
void iso_2022_jp_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *state,
                        u32 *error);
void iso_2022_jp_encode_finish(u8 *out_begin, u8 *out_end, u8 *count, u32 *state, u32 *error);

void shift_jis_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count, u32 *error);
void shift_jis_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error);

void euc_kr_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count, u32 *error);
void euc_kr_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error);

// ---- Inline fast paths ---------------------------------------------------------------------

#include "encoding/decode_tables.h"

// The 27 single-byte tables, in encoding-number order (ISO-8859-8-I shares ISO-8859-8's).
extern const u16 encoding_single_byte_tables[27][128];

// Callers decode one code point per call in their inner loops, so the dispatch decodes every
// well-formed sequence of the common encodings here, without a call, and leaves errors, input
// ends and the rare forms to encoding_decode_general. Each fast path sees at least four bytes,
// gives the code point and the length of the sequence, and returns whether the sequence is
// valid. The length comes from the lead byte alone, and the one-byte and multi-byte answers are
// computed side by side and picked without a branch: a caller's loop advances by the length, so
// it is the chain each step waits on, while the validity test is a branch that well-formed text
// always takes the same way.

// Per UTF-8 sequence length (0 for a byte that starts none): the lead's payload mask, the shift
// that drops the bytes past the sequence, the least code point of that length (overlong forms
// fall below it) and the mask of the continuation bytes that must read 10xxxxxx.
struct encoding_utf8_form {
  u32 least;
  u32 tail_mask;
  u8 lead_mask;
  u8 shift;
};
inline constexpr encoding_utf8_form encoding_utf8_forms[5] = {
  {0xFFFFFFFF, 0, 0, 0}, {0, 0, 0x7F, 18}, {0x80, 0xFF, 0x1F, 12}, {0x800, 0xFFFF, 0x0F, 6},
  {0x10000, 0xFFFFFF, 0x07, 0},
};

// a when the condition holds, else b. Written with a mask: compilers turn a plain ?: between a
// value and a table load back into the branch these paths exist to avoid.
inline u32 encoding_pick(bool condition, u32 a, u32 b) {
  u32 mask = 0u - (u32)condition;
  return (a & mask) | (b & ~mask);
}

inline bool encoding_decode_fast_utf8(const u8 *at, u32 *value, u32 *length) {
  u32 b0 = at[0], b1 = at[1], b2 = at[2], b3 = at[3];
  // The length a lead byte announces; continuation bytes and 0xF8..0xFF get one too, which the
  // form of length 0 below refuses.
  u32 n = 1 + (b0 >= 0xC0) + (b0 >= 0xE0) + (b0 >= 0xF0);
  u32 form_index = encoding_pick((b0 - 0x80 < 0x40) | (b0 >= 0xF8), 0, n);
  const encoding_utf8_form &form = encoding_utf8_forms[form_index];
  u32 cp = ((b0 & form.lead_mask) << 18) | ((b1 & 0x3F) << 12) | ((b2 & 0x3F) << 6) | (b3 & 0x3F);
  cp >>= form.shift;
  u32 tails = ((b1 | (b2 << 8) | (b3 << 16)) & 0xC0C0C0) ^ 0x808080;
  // Overlong forms, surrogates and values past U+10FFFF are exactly what the full decoder refuses
  // beyond bad leads and continuations.
  u32 bad = (tails & form.tail_mask) | (cp < form.least) | ((cp >> 11) == 0x1B) | (cp > 0x10FFFF);
  *value = cp;
  *length = n;
  return bad == 0;
}

inline bool encoding_decode_fast_single_byte(const u8 *at, const u16 *table, u32 *value,
                                             u32 *length) {
  u32 b = at[0];
  u32 v = encoding_pick(b < 0x80, b, table[b & 0x7F]);
  *value = v;
  *length = 1;
  return (b < 0x80) | (v != 0);
}

inline bool encoding_decode_fast_gb18030(const u8 *at, u32 *value, u32 *length) {
  u32 b1 = at[0], b2 = at[1];
  u32 pointer = (b1 - 0x81) * 190 + b2 - 0x40 - (b2 > 0x7F);
  bool pair = (b1 - 0x81 < 0x7E) & (b2 - 0x40 < 0xBF) & (b2 != 0x7F);
  // Every pointer of the two-byte index has a code point.
  u32 v = index_gb18030[encoding_pick(pair, pointer, 0)];
  bool ascii = b1 < 0x80;
  *value = encoding_pick(ascii, b1, v);
  *length = 2 - ascii;
  return ascii | pair;
}

inline bool encoding_decode_fast_euc_kr(const u8 *at, u32 *value, u32 *length) {
  u32 b1 = at[0], b2 = at[1];
  u32 pointer = (b1 - 0x81) * 190 + b2 - 0x41;
  bool pair = (b1 - 0x81 < 0x7E) & (b2 - 0x41 < 0xBE);
  u32 v = encoding_euc_kr_by_pointer[encoding_pick(pair, pointer, 0)];
  bool ascii = b1 < 0x80;
  *value = encoding_pick(ascii, b1, v);
  *length = 2 - ascii;
  return ascii | (pair & (v != 0));
}

inline bool encoding_decode_fast_big5(const u8 *at, u32 *value, u32 *length) {
  u32 b1 = at[0], b2 = at[1];
  u32 pointer = (b1 - 0x81) * 157 + b2 - 0x40 - encoding_pick(b2 > 0x7F, 0x22, 0);
  bool pair = (b1 - 0x81 < 0x7E) & ((b2 - 0x40 < 0x3F) | (b2 - 0xA1 < 0x5E));
  u32 place = encoding_pick(pair, pointer, 0);
  u32 v = encoding_big5_by_pointer[place] |
          (((encoding_big5_plane2_bits[place >> 5] >> (place & 31)) & 1) << 17);
  bool ascii = b1 < 0x80;
  *value = encoding_pick(ascii, b1, v);
  *length = 2 - ascii;
  // The pointers with two code points read 0 here and go the long way.
  return ascii | (pair & (v != 0));
}

inline bool encoding_decode_fast_shift_jis(const u8 *at, u32 *value, u32 *length) {
  u32 b1 = at[0], b2 = at[1];
  bool kana = b1 - 0xA1 < 0x3F;
  bool single = (b1 <= 0x80) | kana;
  u32 pointer = (b1 - 0x81 - encoding_pick(b1 > 0x9F, 0x40, 0)) * 188 + b2 - 0x40 - (b2 > 0x7F);
  bool pair = ((b1 - 0x81 < 0x1F) | (b1 - 0xE0 < 0x1D)) & (b2 - 0x40 < 0xBD) & (b2 != 0x7F);
  u32 v = encoding_jis0208_by_pointer[encoding_pick(pair, pointer, 0)];
  *value = encoding_pick(single, b1 + encoding_pick(kana, 0xFF61 - 0xA1, 0), v);
  *length = 2 - single;
  return single | (pair & (v != 0));
}

inline bool encoding_decode_fast_euc_jp(const u8 *at, u32 *value, u32 *length) {
  u32 b1 = at[0], b2 = at[1];
  bool pair = (b1 - 0xA1 < 0x5E) & (b2 - 0xA1 < 0x5E);
  u32 v = encoding_jis0208_by_pointer[encoding_pick(pair, (b1 - 0xA1) * 94 + b2 - 0xA1, 0)];
  bool kana = (b1 == 0x8E) & (b2 - 0xA1 < 0x3F);
  bool ascii = b1 < 0x80;
  *value = encoding_pick(ascii, b1, encoding_pick(kana, 0xFF61 - 0xA1 + b2, v));
  *length = 2 - ascii;
  // Three-byte jis0212 sequences go the long way.
  return ascii | kana | (pair & (v != 0));
}

inline bool encoding_decode_fast_utf16(const u8 *at, bool big_endian, u32 *value, u32 *length) {
  u32 u1 = big_endian ? (at[0] << 8) | at[1] : at[0] | (at[1] << 8);
  u32 u2 = big_endian ? (at[2] << 8) | at[3] : at[2] | (at[3] << 8);
  bool surrogate = u1 - 0xD800 < 0x800;
  bool paired = (u1 - 0xD800 < 0x400) & (u2 - 0xDC00 < 0x400);
  *value = encoding_pick(surrogate, 0x10000 + ((u1 - 0xD800) << 10) + (u2 - 0xDC00), u1);
  *length = 2 + 2 * surrogate;
  return !surrogate | paired;
}

inline u8 encoding_decode(u32 encoding, const u8 *begin, const u8 *end, u32 *code_point,
                          u32 *second_code_point, u8 *count, iso_2022_jp_state *state,
                          u32 *error) {
  if (*error == 0 && end - begin >= 4) {
    u32 value = 0, n = 0;
    bool ok = false;
    if (encoding == encoding_utf_8) {
      ok = encoding_decode_fast_utf8(begin, &value, &n);
    } else if (encoding - encoding_ibm866 <= encoding_x_mac_cyrillic - encoding_ibm866) {
      const u16 *table =
        encoding_single_byte_tables[encoding - (encoding >= encoding_iso_8859_8_i ? 3 : 2)];
      ok = encoding_decode_fast_single_byte(begin, table, &value, &n);
    } else {
      switch (encoding) {
      case encoding_gbk:
      case encoding_gb18030: ok = encoding_decode_fast_gb18030(begin, &value, &n); break;
      case encoding_big5: ok = encoding_decode_fast_big5(begin, &value, &n); break;
      case encoding_euc_jp: ok = encoding_decode_fast_euc_jp(begin, &value, &n); break;
      case encoding_shift_jis: ok = encoding_decode_fast_shift_jis(begin, &value, &n); break;
      case encoding_euc_kr: ok = encoding_decode_fast_euc_kr(begin, &value, &n); break;
      case encoding_utf_16be:
      case encoding_utf_16le:
        ok = encoding_decode_fast_utf16(begin, encoding == encoding_utf_16be, &value, &n);
        break;
      case encoding_x_user_defined:
        value = begin[0] + encoding_pick(begin[0] >= 0x80, 0xF700, 0);
        n = 1;
        ok = true;
        break;
      default: break;
      }
    }
    if (ok) {
      *code_point = value;
      *count = (u8)n;
      if (second_code_point) *second_code_point = encoding_no_code_point;
      return (u8)n;
    }
  } else if (*error == 0 && begin < end && encoding - 1 < encoding_replacement - 1 &&
             encoding != encoding_iso_2022_jp) {
    // The last bytes of a text: ASCII in any ASCII-compatible encoding, and single-byte text.
    u32 byte = begin[0];
    u32 value = byte;
    if (byte >= 0x80) {
      value = 0;
      if (encoding - encoding_ibm866 <= encoding_x_mac_cyrillic - encoding_ibm866)
        value = encoding_single_byte_tables[encoding - (encoding >= encoding_iso_8859_8_i ? 3 : 2)]
                                           [byte - 0x80];
    }
    if (value) {
      *code_point = value;
      *count = 1;
      if (second_code_point) *second_code_point = encoding_no_code_point;
      return 1;
    }
  }
  return encoding_decode_general(encoding, begin, end, code_point, second_code_point, count,
                                 state, error);
}
