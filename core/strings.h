// Text toolkit: ASCII character classes, comparison and search, in-place editing, trimming, a
// small tokenizer, and integers written and read as text. A text is a buffer of UTF-8 bytes
// data[0 .. used), not zero-terminated; a view is a buffer whose bytes belong to another text.
// Everything here is byte-wise; case folding and classes are ASCII only. Every reader stays
// inside the range it is given whatever the bytes are.
#pragma once

#include "core/buffer.h"
#include "core/number_flags.h"

// ---- Types -------------------------------------------------------------------------------

// Walks [begin, end); token is the last run returned.
struct tokenizer {
  u8 *begin;
  u8 *end;
  u8 *cursor;
  buffer token;
};

// ---- Character classes and values --------------------------------------------------------

// Arguments are 32-bit so that a code point is never cut to a byte (U+0120 is not a space).
inline bool char_is_upper(u32 c) { return c >= 'A' && c <= 'Z'; }
inline bool char_is_lower(u32 c) { return c >= 'a' && c <= 'z'; }
inline bool char_is_alpha(u32 c) { return char_is_upper(c) || char_is_lower(c); }
inline bool char_is_digit(u32 c) { return c >= '0' && c <= '9'; }
inline bool char_is_hex(u32 c) {
  return char_is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
inline bool char_is_alnum(u32 c) { return char_is_digit(c) || char_is_alpha(c); }
// Tab, line feed, vertical tab, form feed, carriage return and space.
inline bool char_is_space(u32 c) { return (c >= 9 && c <= 13) || c == 32; }
// Tab, vertical tab, form feed and space: no line breaks.
inline bool char_is_blank(u32 c) { return c == 9 || c == 11 || c == 12 || c == 32; }

// True when c equals one of the n bytes of the set; a value above 255 matches none.
bool char_is_any(u32 c, const void *set, u64 n);
// True when the code point equals one of the n entries of the set (a linear scan).
bool char_is_any_u32(u32 c, const u32 *set, u64 n);

inline u32 char_to_lower(u32 c) { return char_is_upper(c) ? c + 32 : c; }
// Both expect a character that passed the matching class test.
inline u8 char_digit_value(u32 c) { return (u8)(c - '0'); }
inline u8 char_hex_value(u32 c) {
  if (c >= '0' && c <= '9') return (u8)(c - '0');
  if (c >= 'a' && c <= 'f') return (u8)(c - 'a' + 10);
  return (u8)(c - 'A' + 10);
}

// Bytes before the first zero byte; 0 for a null pointer.
u32 string_length(const char *s);

// ---- Comparison --------------------------------------------------------------------------

// A null pointer with a non-zero length is a broken invariant.
bool string_equal_bytes(const void *a, u64 a_length, const void *b, u64 b_length);
bool string_equal(buffer a, buffer b);
// Folds only "A" to "Z".
bool string_equal_ignore_case(buffer a, buffer b);

// An empty prefix always matches.
bool string_starts_with_bytes(const u8 *begin, const u8 *end, const void *prefix, u64 prefix_length);
bool string_starts_with(buffer text, buffer prefix);
bool string_starts_with_ignore_case_bytes(const u8 *begin, const u8 *end, const void *prefix,
                                          u64 prefix_length);
bool string_starts_with_ignore_case(buffer text, buffer prefix);

// ---- Search ------------------------------------------------------------------------------

// The first occurrence of the needle in [cursor, end); end when there is none, and also when
// cursor or end is null, cursor is not before end, or the needle is empty or longer than the
// range.
u8 *string_find(const u8 *cursor, const u8 *end, const void *needle, u64 needle_length);
u8 *string_find_ignore_case(const u8 *cursor, const u8 *end, const void *needle, u64 needle_length);
// The last occurrence in [begin, end); end on a miss or on the same bad arguments.
u8 *string_find_last(const u8 *begin, const u8 *end, const void *needle, u64 needle_length);
// True when some byte of a occurs in b.
bool string_has_any_byte(buffer a, buffer b);

// ---- Editing -----------------------------------------------------------------------------

void string_to_lower(buffer text);
// Maps every byte through the zero-terminated sets: for each i in order, a byte equal to from[i]
// becomes to[i], and the scan goes on with the new value, so replacements chain. The sets must
// have the same length.
void string_replace_bytes(buffer *text, const char *from, const char *to);
// Whether replacing [begin, end) of the text by the new text fits the text's capacity.
bool string_can_replace(const buffer *text, const u8 *begin, const u8 *end, buffer replacement);
// Replaces [begin, end) in place, moving the tail; false with nothing changed when it does not
// fit. The range must lie inside [data, data + used] and not run backwards.
bool string_replace(buffer *text, const u8 *begin, const u8 *end, buffer replacement);
// Moves a view's start forward by n (data, used and size); nothing when n is more than size.
void string_advance(buffer *view, u64 n);
// The text without its leading bytes that are in the set. Size shrinks with used, so the view
// never claims bytes before its new start as room.
buffer string_trim_left_any(buffer text, buffer set);
// The text without its trailing bytes that are in the set (used shrinks, size stays).
buffer string_trim_right_any(buffer text, buffer set);
// The text without the ASCII white space (char_is_space) at either end.
buffer string_trim_space(buffer text);

// ---- Tokenizer ---------------------------------------------------------------------------

tokenizer tokenizer_make(u8 *begin, u8 *end);
tokenizer tokenizer_from_buffer(buffer text);
// Skips spaces, returns the next run of non-space bytes; empty when nothing is left.
buffer tokenizer_next_word(tokenizer *t);
// Skips non-space bytes, returns the next run of space bytes; empty when nothing is left.
buffer tokenizer_next_space_run(tokenizer *t);
// The bytes from the cursor up to the next delimiter or end; the cursor stops on the delimiter
// (and does not move when it is already on one).
buffer tokenizer_next_until(tokenizer *t, u8 delimiter);

// ---- Integer text ------------------------------------------------------------------------

// Writes value under the flag word (format_* in core/number_flags.h), padded with pad to at
// least width characters. Never writes at or past size; returns the bytes written. A number that
// does not fit is cut.
u64 format_unsigned(u8 *destination, u64 size, u64 value, u64 width, u8 pad, u32 flags);
u64 format_signed(u8 *destination, u64 size, s64 value, u64 width, u8 pad, u32 flags);
// Format into the arena's free space (no alignment) and add the bytes written to used.
u64 buffer_push_unsigned(buffer *arena, u64 value, u64 width, u8 pad, u32 flags);
u64 buffer_push_signed(buffer *arena, s64 value, u64 width, u8 pad, u32 flags);
// A size as a limit is written in messages: in the largest of GiB, MiB and KiB that it is a whole
// number of, else in bytes ("64 MiB", "1536 KiB", "100 bytes").
u64 buffer_push_size(buffer *arena, u64 bytes);

// Reads an integer: leading spaces and "+" in any mix, an optional "-", then "0x" and hexadecimal
// digits or decimal digits, up to the first byte that is not a digit; 0 when there are none.
// A value outside the s64 range saturates to INT64_MAX or INT64_MIN and sets *overflowed (when
// given) to true; *overflowed is never cleared, so one flag can cover several reads. Untrusted
// numbers (character references, lengths from a server) must check it.
s64 string_parse_integer(const u8 *data, u64 length, bool *overflowed = nullptr);
// The same after leading spaces and at most one "-" or "+".
s64 string_parse_s64(const u8 *data, u64 length, bool *overflowed = nullptr);
