// Scalars, 128-bit integers, colour and geometry. Sorting and hashing have files of their own.
#include <math.h>

#include "core/math.h"

bool flags_match(u32 value, u32 required, u32 allowed) {
  if (required != 0) {
    if ((value & required) != required) return false;
    allowed |= required;
  }
  if (allowed == 0) return value == 0;
  return (value & ~allowed) == 0;
}

bool float_is_integer(f32 x) {
  // -2^31 is exact in binary32; the next value below it is -2^31 - 256, whose truncation does not
  // fit, and 2^31 itself does not fit. NaN fails both comparisons.
  if (!(x >= -2147483648.0f && x < 2147483648.0f)) return false;
  return (f32)(s32)x == x;
}

f64 abs_f64(f64 x) {
  u64 u;
  memcpy(&u, &x, 8);
  u &= 0x7FFFFFFFFFFFFFFFull;
  memcpy(&x, &u, 8);
  return x;
}

f32 round_f32(f32 x) { return nearbyintf(x); }
f64 round_f64(f64 x) { return nearbyint(x); }
f32 floor_f32(f32 x) { return floorf(x); }
f64 floor_f64(f64 x) { return floor(x); }
f32 ceil_f32(f32 x) { return ceilf(x); }
f64 ceil_f64(f64 x) { return ceil(x); }
f32 sqrt_f32(f32 x) { return sqrtf(x); }
f64 sqrt_f64(f64 x) { return sqrt(x); }

f32 bezier_quadratic(f32 start, f32 end, f32 control, f32 t) {
  f32 u = 1.0f - t;
  return start * u * u + 2.0f * u * t * control + t * t * end;
}

f32 bezier_cubic(f32 start, f32 end, f32 control1, f32 control2, f32 t) {
  f32 u = 1.0f - t;
  return start * u * u * u + 3.0f * control1 * t * u * u + 3.0f * control2 * t * t * u + end * t * t * t;
}

// ---- 128-bit integers --------------------------------------------------------------------

// The full 128-bit product of two words from four 32-bit partial products.
static void u64_mul_full(u64 a, u64 b, u64 *low, u64 *high) {
  u64 a0 = a & 0xFFFFFFFFu, a1 = a >> 32;
  u64 b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
  u64 p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  // Middle column: at most three values below 2^32 each, so no carry is lost.
  u64 middle = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
  *low = (middle << 32) | (p00 & 0xFFFFFFFFu);
  *high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
}

u128 u128_mul(u128 a, u128 b) {
  u128 r;
  u64 carry_high;
  u64_mul_full(a.low, b.low, &r.low, &carry_high);
  r.high = carry_high + a.low * b.high + a.high * b.low;
  return r;
}

u128 u128_add(u128 a, u128 b) {
  u128 r;
  r.low = a.low + b.low;
  r.high = a.high + b.high + (r.low < a.low ? 1 : 0);
  return r;
}

u128 u128_add_u64(u128 a, u64 b) { return u128_add(a, u128{b, 0}); }

u128 u128_shift_left(u128 a, u32 bits) {
  invariant(bits < 64);
  // The bits crossing into the high word: shift right by 64 - bits as 1 then 63 - bits, so a
  // count of 0 never becomes a shift by 64.
  u128 r;
  r.high = (a.high << bits) | ((a.low >> 1) >> (63 - bits));
  r.low = a.low << bits;
  return r;
}

u128 u128_shift_right(u128 a, u32 bits) {
  invariant(bits < 64);
  u128 r;
  r.low = (a.low >> bits) | ((a.high << 1) << (63 - bits));
  r.high = a.high >> bits;
  return r;
}

// ---- Colour ------------------------------------------------------------------------------

// Truncates c * 255 and keeps the low byte, with the result defined for every input: a finite
// value of magnitude 2^32 or more is a multiple of 256 in binary32, so its low byte is 0, which
// is also what NaN and the infinities give. Below that the conversion to s64 is exact.
static u32 channel_to_byte(f32 c) {
  f32 v = c * 255.0f;
  if (!(v > -4294967296.0f && v < 4294967296.0f)) return 0;
  return (u32)((u64)(s64)v & 0xFFu);
}

u32 rgba_to_u32(rgba c) {
  return channel_to_byte(c.r) | channel_to_byte(c.g) << 8 | channel_to_byte(c.b) << 16 |
         channel_to_byte(c.a) << 24;
}

static const f32 one_over_255 = 0.003921569f;

rgba rgba_from_u32(u32 packed) {
  return rgba{(f32)(packed & 0xFF) * one_over_255, (f32)((packed >> 8) & 0xFF) * one_over_255,
              (f32)((packed >> 16) & 0xFF) * one_over_255, (f32)(packed >> 24) * one_over_255};
}

rgba rgba_from_bytes(u32 r, u32 g, u32 b, u32 a) {
  return rgba{(f32)(r & 0xFF) * one_over_255, (f32)(g & 0xFF) * one_over_255, (f32)(b & 0xFF) * one_over_255,
              (f32)(a & 0xFF) * one_over_255};
}

// ---- Geometry ----------------------------------------------------------------------------

rect rect_intersection(rect a, rect b) {
  if (!rect_overlaps(a, b)) return rect{0, 0, 0, 0};
  return rect{a.x0 > b.x0 ? a.x0 : b.x0, a.y0 > b.y0 ? a.y0 : b.y0, a.x1 < b.x1 ? a.x1 : b.x1,
              a.y1 < b.y1 ? a.y1 : b.y1};
}

void mat4_ortho(f32 matrix[16], s32 width, s32 height) {
  // A minimised window reports 0 by 0; nothing is drawn then, but the matrix must stay finite.
  f32 w = width < 1 ? 1.0f : (f32)width;
  f32 h = height < 1 ? 1.0f : (f32)height;
  for (u32 i = 0; i < 16; i++) matrix[i] = 0;
  matrix[0] = 2.0f / w;
  matrix[5] = 2.0f / h;
  matrix[10] = 1;
  matrix[12] = -1;
  matrix[13] = -1;
  matrix[15] = 1;
}
