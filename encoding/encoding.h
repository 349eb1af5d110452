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

// The encoding named by a loosely written label: only letters and digits count, and the
// leading zeros of each number are dropped ("ISO8859-01" finds iso88591, "UTF-08" utf8, while
// "iso8859-10" keeps its zero); 0 when none.
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
// The out-of-line part of encoding_decode: everything but the inline fast paths. Marked cold so
// that compilers keep a decoding loop's own values in registers rather than around this call.
[[gnu::cold]] u8 encoding_decode_general(u32 encoding, const u8 *begin, const u8 *end, u32 *code_point,
                           u32 *second_code_point, u8 *count, iso_2022_jp_state *state,
                           u32 *error);

// Encodes one code point into [out_begin, out_end); a null out_begin only measures. Nothing is
// written on failure. state is the ISO-2022-JP encoder word (0 starts), needed for it only.
void encoding_encode(u32 encoding, u8 *out_begin, u8 *out_end, u32 code_point, u8 *count,
                     u32 *state, u32 *error);

// Writes what closes an ISO-2022-JP stream (back to ASCII); nothing for other encodings.
void encoding_encode_finish(u32 encoding, u8 *out_begin, u8 *out_end, u8 *count, u32 *state,
                            u32 *error);

// ---- Runs ----------------------------------------------------------------------------------

// Decodes a run in one call: the code points encoding_decode gives one call at a time from begin,
// up to the first sequence it refuses or finds cut short by the end. Returns the bytes read and
// sets *written to the units written. A run stops early only for room: 2 free units always take
// the next code point. ISO-2022-JP (whose escapes move a state) and unknown numbers read
// nothing. A caller decodes the sequence a run stopped at with encoding_decode and goes on.
// Units past the ones written may be overwritten, within [out, out_end).
u64 encoding_decode_run(u32 encoding, const u8 *begin, const u8 *end, u32 *out, u32 *out_end,
                        u64 *written);
// The same run written as UTF-8; 8 free bytes always take the next code point.
u64 encoding_decode_run_utf8(u32 encoding, const u8 *begin, const u8 *end, u8 *out, u8 *out_end,
                             u64 *written);

// ---- UTF-8, UTF-16, single-byte, replacement, x-user-defined --------------------------------

// True for U+0000..U+D7FF and U+E000..U+10FFFF.
inline bool codepoint_is_scalar(u32 code_point) {
  return code_point < 0xD800 || (code_point >= 0xE000 && code_point <= 0x10FFFF);
}

constexpr u32 utf16_high_surrogate_first = 0xD800;
constexpr u32 utf16_high_surrogate_last = 0xDBFF;
constexpr u32 utf16_low_surrogate_first = 0xDC00;
constexpr u32 utf16_low_surrogate_last = 0xDFFF;

// On an error *count is 1 for a bad lead byte, the bytes before a bad continuation (which may
// start the next character), or what remains of a sequence the input cuts short; continuations
// present are checked before the end is reported. That is the maximal subpart of the web's
// decoder: a caller that skips by the count and reads each error as one U+FFFD gives what it
// gives.
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
// ends and the rare forms to encoding_decode_general. A fast path runs only when the bytes it
// reads are there; it gives the code point and the length of a valid sequence and returns true,
// or returns false to hand the call over.

// Non-ASCII leads, with four bytes present.
inline bool encoding_decode_fast_utf8(const u8 *at, u32 lead, u32 *value, u32 *length) {
  u32 b2 = at[1];
  if (lead - 0xC2 < 0x1E) {
    *value = ((lead & 0x1F) << 6) | (b2 & 0x3F);
    *length = 2;
    return (b2 & 0xC0) == 0x80;
  }
  u32 b3 = at[2];
  u32 cp = ((lead & 0x0F) << 12) | ((b2 & 0x3F) << 6) | (b3 & 0x3F);
  if (lead - 0xE0 < 0x10) {
    // Overlong forms fall below U+0800; surrogates are refused.
    *value = cp;
    *length = 3;
    return ((b2 & 0xC0) == 0x80) & ((b3 & 0xC0) == 0x80) & (cp >= 0x800) & (cp - 0xD800 >= 0x800);
  }
  u32 b4 = at[3];
  cp = ((lead & 0x07) << 18) | ((b2 & 0x3F) << 12) | ((b3 & 0x3F) << 6) | (b4 & 0x3F);
  *value = cp;
  *length = 4;
  return (lead - 0xF0 < 0x05) & (((b2 | (b3 << 8) | (b4 << 16)) & 0xC0C0C0) == 0x808080) &
         (cp - 0x10000 < 0x100000);
}

// The lead byte itself below 0x80, else a table's entry: picked with a mask, as a compiler
// turns a plain choice between a byte and a table load back into a branch on the byte.
inline u32 encoding_pick_ascii(u32 lead, u32 entry) {
  u32 ascii_mask = (lead >> 7) - 1;
  return entry ^ ((entry ^ lead) & ascii_mask);
}

// The multi-byte encodings' one- and two-byte forms, with two bytes present. Text mixes the two
// at random, so both answers are computed and one is picked without a branch; the length comes
// from the lead byte alone, so a loop that advances by it waits on nothing else, and the
// validity test is a branch that well-formed text always takes the same way.
inline bool encoding_decode_fast_pair(const u8 *at, const u16 *pairs, u32 two_byte_lead,
                                      u32 *value, u32 *length) {
  u32 lead = at[0];
  u32 cp = encoding_pick_ascii(lead, pairs[((lead << 8) | at[1]) & 0x7FFF]);
  *value = cp;
  *length = 1 + two_byte_lead;
  // A pair without a code point reads 0; so does U+0000, the one ASCII byte to test apart.
  if (__builtin_expect(cp == 0, 0)) return lead == 0;
  return true;
}

inline bool encoding_decode_fast_utf16(const u8 *at, bool big_endian, u32 *value, u32 *length) {
  u32 u1 = big_endian ? (at[0] << 8) | at[1] : at[0] | (at[1] << 8);
  *value = u1;
  *length = 2;
  if (u1 - 0xD800 >= 0x800) return true;
  u32 u2 = big_endian ? (at[2] << 8) | at[3] : at[2] | (at[3] << 8);
  *value = 0x10000 + ((u1 - 0xD800) << 10) + (u2 - 0xDC00);
  *length = 4;
  return (u1 < 0xDC00) & (u2 - 0xDC00 < 0x400);
}

inline u8 encoding_decode(u32 encoding, const u8 *begin, const u8 *end, u32 *code_point,
                          u32 *second_code_point, u8 *count, iso_2022_jp_state *state,
                          u32 *error) {
  if (*error == 0 && begin < end) {
    u32 lead = begin[0], value = lead, n = 1;
    bool ok = false;
    if (encoding == encoding_utf_8) {
      ok = lead < 0x80 || (end - begin >= 4 && encoding_decode_fast_utf8(begin, lead, &value, &n));
    } else if (encoding - encoding_ibm866 <= encoding_x_mac_cyrillic - encoding_ibm866) {
      // Every byte of a single-byte encoding with one load and no branch on its value.
      value = encoding_byte_tables[encoding][lead];
      ok = value != 0 || lead == 0;
    } else {
      bool pair = end - begin >= 2;
      switch (encoding) {
      case encoding_gbk:
      case encoding_gb18030:
        ok = pair && encoding_decode_fast_pair(begin, encoding_pairs_gb18030, lead >> 7, &value, &n);
        break;
      case encoding_big5:
        invariant(second_code_point);  // as on the full path, whatever the bytes
        ok = pair && encoding_decode_fast_pair(begin, encoding_pairs_big5, lead >> 7, &value, &n);
        break;
      case encoding_euc_jp:
        ok = pair && encoding_decode_fast_pair(begin, encoding_pairs_euc_jp, lead >> 7, &value, &n);
        break;
      case encoding_shift_jis:
        ok = pair && encoding_decode_fast_pair(begin, encoding_pairs_shift_jis,
                                               (lead - 0x81 < 0x1F) | (lead - 0xE0 < 0x1D),
                                               &value, &n);
        break;
      case encoding_euc_kr:
        ok = pair && encoding_decode_fast_pair(begin, encoding_pairs_euc_kr, lead >> 7, &value, &n);
        break;
      case encoding_utf_16be:
      case encoding_utf_16le:
        ok = end - begin >= 4 &&
             encoding_decode_fast_utf16(begin, encoding == encoding_utf_16be, &value, &n);
        break;
      case encoding_x_user_defined:
        value = lead < 0x80 ? lead : 0xF700 + lead;
        ok = true;
        break;
      default: break;  // ISO-2022-JP keeps a state: always the long way
      }
    }
    if (ok) {
      *code_point = value;
      *count = (u8)n;
      if (second_code_point) *second_code_point = encoding_no_code_point;
      return (u8)n;
    }
  }
  return encoding_decode_general(encoding, begin, end, code_point, second_code_point, count,
                                 state, error);
}
