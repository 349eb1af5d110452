// Floating-point text: the shortest decimal that reads back to the same binary32 or binary64
// value, laid out as fixed or scientific text and aligned under the number flag word; and the
// byte-size text ("1.500 Kio") built on it.
#pragma once

#include "core/buffer.h"
#include "core/number_flags.h"

// ---- Decimal results ---------------------------------------------------------------------

// value = significand * 10^exponent, with the sign apart.
struct float_decimal {
  u32 significand;
  s32 exponent;
  u8 is_negative;
  u8 has_trailing_zeros;  // only under float_mode_report_trailing_zeros
};

struct double_decimal {
  u64 significand;
  s32 exponent;
  u8 is_negative;
  u8 has_trailing_zeros;  // only under float_mode_report_trailing_zeros
};

// ---- Conversion mode word ----------------------------------------------------------------
// Every caller in the program passes 0: nearest with ties to even, ties in the last decimal
// digit to even, trailing zeros removed. The other selections exist for callers that read the
// text back under another rounding.

enum : u32 {
  // How decimal text is read back into binary: selects the interval of decimals that read back
  // to the value. One of these at a time (0 is nearest, ties to even).
  float_round_nearest_to_even = 0,
  float_round_nearest_to_odd = 1,
  float_round_nearest_toward_plus_infinity = 2,
  float_round_nearest_toward_minus_infinity = 4,
  float_round_nearest_toward_zero = 8,
  float_round_nearest_away_from_zero = 16,
  float_round_nearest_to_even_static_boundary = 32,
  float_round_nearest_to_odd_static_boundary = 64,
  float_round_nearest_toward_plus_infinity_static_boundary = 128,
  float_round_nearest_toward_minus_infinity_static_boundary = 256,
  float_round_toward_plus_infinity = 512,
  float_round_toward_minus_infinity = 1024,
  float_round_toward_zero = 2048,
  float_round_away_from_zero = 4096,
  float_round_mask = 0x1FFF,

  // How a tie between two shortest decimals equally near the value is broken.
  float_tie_to_even = 0,
  float_tie_to_larger = 0x2000,
  float_tie_to_odd = 0x4000,
  float_tie_away_from_zero = 0x8000,  // also to the larger digit
  float_tie_toward_zero = 0x10000,    // to the smaller digit
  float_tie_mask = 0x1E000,

  // Trailing decimal zeros of the significand.
  float_mode_remove_trailing_zeros = 0,
  float_mode_keep_trailing_zeros = 0x20000,
  float_mode_report_trailing_zeros = 0x40000,
  float_mode_trailing_mask = 0x60000,
};

// The value must be finite and not zero.
float_decimal float_to_decimal(f32 value, u32 mode);
double_decimal double_to_decimal(f64 value, u32 mode);

// ---- Text --------------------------------------------------------------------------------
// Text of a value: "0.0" and "-0.0", the shortest decimal in fixed form ("0.005", "100.0") or,
// with format_scientific, as "1.2345e2"; "+infinity", "-infinity", "+NaN", "-NaN". Then aligned:
// the integer part padded to `width` with `pad`, the fraction cut (never rounded) or filled with
// "0" to `fraction_digits` when that is not 0; format_always_sign and format_sign_first as for
// integers. A full arena cuts the text piece by piece; nothing is reported.

// Longest texts before alignment: a sign, "0.", 323 zeros and a digit for binary64.
#define FLOAT_TEXT_MAX 256
#define DOUBLE_TEXT_MAX 1024

// Both return a view of the bytes pushed.
buffer buffer_push_float(buffer *arena, f32 value, u32 width, u8 pad, u32 fraction_digits, u32 flags);
buffer buffer_push_double(buffer *arena, f64 value, u32 width, u8 pad, u32 fraction_digits, u32 flags);
// The same into (destination, size); returns the bytes written.
u64 format_double(u8 *destination, u64 size, f64 value, u32 width, u8 pad, u32 fraction_digits, u32 flags);

// The unaligned text of significand * 10^exponent (fixed, or scientific with format_scientific),
// pushed as one piece: all of it, or nothing when it does not fit.
void buffer_push_decimal(buffer *arena, u64 significand, s32 exponent, bool negative, u32 flags);
// Aligns a number text made by buffer_push_decimal (or a special value's text) into the arena.
buffer buffer_push_number_aligned(buffer *arena, buffer number, u32 width, u8 pad, u32 fraction_digits,
                                  u32 flags);

// Writes the decimal digits of value so that they end at the buffer's limit and makes the buffer
// a full view of exactly those digits. Needs at least 20 free bytes.
void buffer_view_u64_digits(buffer *b, u64 value);

// ---- Byte sizes --------------------------------------------------------------------------
// "512 o" below 1024; otherwise the count in Kio, Mio, Gio or Tio with three decimals cut, not
// rounded ("1.500 Kio", "1023.999 Kio"). The longest is "16777216.000 Tio".

#define BYTE_SIZE_TEXT_MAX 16

u64 format_byte_size(u64 count, u8 *destination, u64 size);
// Carves the text from the arena (16 bytes, the unused rest given back); the empty buffer when
// the arena has no room.
buffer byte_size_to_string(u64 count, buffer *arena);
