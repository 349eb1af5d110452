// UTF-8 and UTF-16 code points and whole-text conversions. Text is UTF-8 inside the program and
// UTF-16 only at calls of the system. Decoders are strict (no overlongs, no surrogates in UTF-8,
// nothing above U+10FFFF) and never read outside [position, end); the whole-text conversions
// replace what they cannot decode with U+FFFD and only fail when the destination is full.
#pragma once

#include "core/buffer.h"

// ---- Types and constants -----------------------------------------------------------------

// The sticky error word: every operation returns at once when it is non-zero on entry and only
// sets it while it is zero.
enum unicode_error : u32 {
  unicode_error_none = 0,
  unicode_error_no_input = 1,            // at or past the end (UTF-16: fewer than 2 bytes left)
  unicode_error_truncated = 2,           // the announced sequence does not fit before the end
  unicode_error_output_too_small = 3,    // the encoded form does not fit the destination
  unicode_error_not_scalar_value = 4,    // a surrogate or a value above U+10FFFF to encode
  unicode_error_end_before_begin = 5,
  unicode_error_bad_lead_byte = 6,       // 0x80 to 0xC1 or 0xF5 to 0xFF where a sequence starts
  unicode_error_bad_continuation = 7,    // a byte outside the range allowed at its place
  unicode_error_malformed = 8,           // a scan met bytes that are not whole sequences
  unicode_error_unpaired_surrogate = 9,  // UTF-16
  unicode_error_count = 10,
};

extern const char *const unicode_error_names[unicode_error_count];
// The name of an error code; "unknown" for a code outside the table.
const char *unicode_error_name(u32 error);

enum : u32 {
  unicode_invalid = 0xFFFFFFFF,  // what a failed decode yields
  unicode_replacement = 0xFFFD,
  unicode_high_surrogate_first = 0xD800,
  unicode_low_surrogate_first = 0xDC00,
  unicode_surrogate_last = 0xDFFF,
  unicode_max = 0x10FFFF,
};

inline bool unicode_is_scalar_value(u32 c) { return c < 0xD800 || (c > 0xDFFF && c <= unicode_max); }

// ---- Single code points ------------------------------------------------------------------

// Decodes the UTF-8 sequence at position. On failure the code point is unicode_invalid; the
// length is 0 for errors 1 and 6 and the announced length (2 to 4) for errors 2 and 7.
void unicode_utf8_decode(const u8 *position, const u8 *end, u32 *code_point, u8 *length, u32 *error);
// Writes 1 to 4 bytes, or only sets the length when destination is null. Nothing is written on
// error.
void unicode_utf8_encode(u8 *destination, const u8 *destination_end, u32 code_point, u8 *length,
                         u32 *error);
// Code points in [begin, end); each undecodable byte counts as one.
u64 unicode_utf8_count(const u8 *begin, const u8 *end);
// The bytes from position to where decoding goes on: a whole sequence, or where none starts, its
// maximal subpart (the lead byte and the continuation bytes that could still begin a valid
// sequence, 1 to 3), which one U+FFFD replaces. 0 at or past the end.
u8 unicode_utf8_step(const u8 *position, const u8 *end);
// The length of the longest prefix of the n bytes, at most max, that does not end inside a
// character: where a long text is cut for a line. A cut lands at most three bytes before max.
u64 unicode_utf8_cut(const u8 *text, u64 n, u64 max);

inline u16 unicode_read_utf16_unit(const u8 *bytes, bool big_endian) {
  return big_endian ? (u16)(bytes[0] << 8 | bytes[1]) : (u16)(bytes[1] << 8 | bytes[0]);
}
// Decodes one code point from 1 or 2 units of [position, end). A surrogate without its partner
// gives error 9 with units 1, so a caller stepping by units never skips the unit after it; a
// high surrogate cut by the end gives error 2 with units 2.
void unicode_utf16_decode(const u8 *position, const u8 *end, u32 *code_point, u8 *units, bool big_endian,
                          u32 *error);
// Writes 1 or 2 units in the chosen byte order, or only sets units when destination is null.
void unicode_utf16_encode(u8 *destination, const u8 *destination_end, u32 code_point, u8 *units,
                          bool big_endian, u32 *error);
// Code points in little-endian UTF-16 [begin, end); each undecodable unit counts as one.
u64 unicode_utf16_count(const u8 *begin, const u8 *end);
// Units before the zero unit.
u64 unicode_utf16_length(const u16 *text);

// ---- Whole texts -------------------------------------------------------------------------

// Little-endian UTF-16 to UTF-8; returns the bytes written. Neither side needs alignment.
u64 unicode_utf16_to_utf8(const void *source, u64 source_units, u8 *destination, u64 destination_capacity,
                          u32 *error);
// The UTF-16 text's used is a byte count (an even one). Returns the bytes added to the arena.
u64 buffer_push_utf16_as_utf8(buffer utf16, buffer *arena, u32 *error);
// UTF-8 to little-endian UTF-16; the capacity is in bytes; returns the units written.
u64 unicode_utf8_to_utf16(const u8 *source, u64 source_length, void *destination, u64 destination_capacity,
                          u32 *error);
// Adds twice the units written to the arena's used and returns the units. No zero unit is
// added: callers handing the text to the system push one themselves.
u64 buffer_push_utf8_as_utf16(buffer utf8, buffer *arena, u32 *error);

// ---- Classifying UTF-8 -------------------------------------------------------------------

// Per byte where a sequence starts: its length (1 for ASCII, 0 for a byte no sequence starts
// with) and the allowed range of the second byte, which is where overlongs, surrogates and values
// above U+10FFFF show. Later bytes are always 0x80 to 0xBF.
struct unicode_utf8_lead {
  u8 length;
  u8 low;
  u8 high;
};
struct unicode_utf8_lead_table {
  unicode_utf8_lead entries[256];
};
extern const unicode_utf8_lead_table unicode_utf8_leads;

inline u8 unicode_utf8_lead_length(u8 lead) { return unicode_utf8_leads.entries[lead].length; }

#if defined(__SSE2__)
#include <emmintrin.h>
#define UNICODE_UTF8_SIXTEEN 1
// Of the sixteen bytes at p: the bits of those from 0xC0 up (a lead, or a byte no sequence
// starts with) in *leads, of those that continue a sequence (0x80 to 0xBF) in *continuations,
// and as the result the bits of the ASCII bytes that are not printable (a control byte or DEL).
inline u32 unicode_utf8_classify16(const u8 *p, u32 *leads, u32 *continuations) {
  __m128i v = _mm_loadu_si128((const __m128i *)p);
  u32 high = (u32)_mm_movemask_epi8(v);
  // Signed compares: 0x80 to 0xBF are the bytes below (s8)0xC0.
  *continuations = (u32)_mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8((char)0xC0))) & high;
  *leads = high & ~*continuations;
  __m128i odd = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
  return (u32)_mm_movemask_epi8(odd) & ~high;
}
#endif

// ---- Scanning UTF-8 ----------------------------------------------------------------------

// The first byte of the code point that ends at position, or null at begin (no error). Either
// out may be null.
u8 *unicode_utf8_decode_backward(const u8 *begin, const u8 *position, u32 *code_point, u8 *length,
                                 u32 *error);
// White space is char_is_space on the code point. Null when there is no such code point (or on
// error).
u8 *unicode_find_first_space(const u8 *begin, const u8 *end, u32 *error);
u8 *unicode_find_first_non_space(const u8 *begin, const u8 *end, u32 *error);
// The first byte of the last code point that is (is not) white space.
u8 *unicode_find_last_space(const u8 *begin, const u8 *end, u32 *error);
u8 *unicode_find_last_non_space(const u8 *begin, const u8 *end, u32 *error);
