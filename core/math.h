// Small value types and pure helpers shared by the renderer, the UI toolkit and the store: flag
// words, binary32 bit tests, saturating integers, rounding, Bezier curves, 128-bit integers,
// integer sorts, byte hashes, and the geometry and colour records with the ortho projection.
// Every function is pure and safe on any thread.
#pragma once

#include <string.h>

#include "core/base.h"

// ---- Types -------------------------------------------------------------------------------

struct v2 {
  f32 x, y;
};
struct v3 {
  f32 x, y, z;
};
// When a v4 holds margins its components read as (top, bottom, left, right).
struct v4 {
  f32 x, y, z, w;
};
// Left, bottom, right, top in a space whose y axis points up.
struct rect {
  f32 x0, y0, x1, y1;
};
// Channels in 0 to 1. Packed, red sits in bits 0 to 7 and alpha in bits 24 to 31.
struct rgba {
  f32 r, g, b, a;
};
struct u128 {
  u64 low;
  u64 high;
};
static_assert(sizeof(v2) == 8 && sizeof(v3) == 12 && sizeof(v4) == 16, "vectors are packed f32");
static_assert(sizeof(rect) == 16 && sizeof(rgba) == 16, "rect and colour are four f32");

// ---- Flag words --------------------------------------------------------------------------

inline bool flags_has_all_u32(u32 a, u32 b) { return (a & b) == b; }
inline bool flags_has_all_u64(u64 a, u64 b) { return (a & b) == b; }
inline bool flags_has_any_u8(u8 a, u8 b) { return (u8)(a & b) != 0; }
inline bool flags_has_any_u32(u32 a, u32 b) { return (a & b) != 0; }
inline bool flags_has_any_u64(u64 a, u64 b) { return (a & b) != 0; }
inline void flags_set_u32(u32 *word, u32 bits) { *word |= bits; }
inline void flags_set_u64(u64 *word, u64 bits) { *word |= bits; }
inline u32 flags_clear_u32(u32 *word, u32 bits) { return *word &= ~bits; }
inline void flags_clear_u64(u64 *word, u64 bits) { *word &= ~bits; }
inline void flags_set_or_clear_u32(u32 *word, bool set, u32 bits) {
  if (set) *word |= bits;
  else *word &= ~bits;
}
// a has no bit outside b.
inline bool flags_only(u32 a, u32 b) { return (a & ~b) == 0; }
// The store's filter: the required bits must be present (they are allowed too) and no bit may lie
// outside the allowed set; with nothing allowed only the value 0 matches.
bool flags_match(u32 value, u32 required, u32 allowed);

// ---- Binary32 bit tests ------------------------------------------------------------------

inline u32 float_bits(f32 x) {
  u32 u;
  memcpy(&u, &x, 4);
  return u;
}
inline f32 float_from_bits(u32 u) {
  f32 x;
  memcpy(&x, &u, 4);
  return x;
}
inline bool float_is_positive_nan(f32 x) {
  u32 u = float_bits(x);
  return (u & 0xFF800000u) == 0x7F800000u && (u & 0x007FFFFFu) != 0;
}
inline bool float_is_negative_nan(f32 x) {
  u32 u = float_bits(x);
  return (u & 0xFF800000u) == 0xFF800000u && (u & 0x007FFFFFu) != 0;
}
inline bool float_is_nan(f32 x) {
  u32 u = float_bits(x);
  return (u & 0x7F800000u) == 0x7F800000u && (u & 0x007FFFFFu) != 0;
}
inline bool float_is_subnormal(f32 x) {
  u32 u = float_bits(x);
  return (u & 0x7F800000u) == 0 && (u & 0x007FFFFFu) != 0;
}
// True when truncation to s32 and back gives the value; NaN, infinities and values outside the
// s32 range are false (the conversion itself would be undefined there, so they are excluded
// before it).
bool float_is_integer(f32 x);

// ---- Scalar helpers ----------------------------------------------------------------------

inline u16 u64_to_u16_checked(u64 value) {
  invariant(value <= 0xFFFF);
  return (u16)value;
}
inline u64 add_saturate_u64(u64 a, u64 b) { return a + b < a ? UINT64_MAX : a + b; }
inline u64 sub_saturate_u64(u64 a, u64 b) { return b > a ? 0 : a - b; }
// Multiplies rather than masks, so -0.0 stays -0.0.
inline f32 abs_f32(f32 x) { return x < 0 ? x * -1.0f : x; }
inline f32 abs_f32_mask(f32 x) { return float_from_bits(float_bits(x) & 0x7FFFFFFFu); }
f64 abs_f64(f64 x);
// In the current rounding mode (nearest, ties to even, by default).
f32 round_f32(f32 x);
f64 round_f64(f64 x);
f32 floor_f32(f32 x);
f64 floor_f64(f64 x);
f32 ceil_f32(f32 x);
f64 ceil_f64(f64 x);
f32 sqrt_f32(f32 x);
f64 sqrt_f64(f64 x);
// a * (b / c), the division first.
inline f32 scale_by_ratio(f32 a, f32 b, f32 c) { return a * (b / c); }
// a * (c / b).
inline f32 scale_by_inverse_ratio(f32 a, f32 b, f32 c) { return a * (c / b); }
f32 bezier_quadratic(f32 start, f32 end, f32 control, f32 t);
f32 bezier_cubic(f32 start, f32 end, f32 control1, f32 control2, f32 t);

// ---- 128-bit integers --------------------------------------------------------------------

// The low 128 bits of the product.
u128 u128_mul(u128 a, u128 b);
u128 u128_add(u128 a, u128 b);
u128 u128_add_u64(u128 a, u64 b);
// By 0 to 63 bits.
u128 u128_shift_left(u128 a, u32 bits);
u128 u128_shift_right(u128 a, u32 bits);

// ---- Sorting -----------------------------------------------------------------------------

// In place. The range forms sort [first, last] inclusive and do nothing for a null array or
// first >= last; the whole-array forms do nothing for count 0.
void sort_u8_ascending(u8 *array, u64 count);
void sort_u8_descending(u8 *array, u64 count);
void sort_u32_ascending(u32 *array, u64 count);
void sort_u32_descending(u32 *array, u64 count);
void sort_u64_ascending(u64 *array, u64 count);
void sort_u64_descending(u64 *array, u64 count);
void sort_u8_ascending_range(u8 *array, u64 first, u64 last);
void sort_u8_descending_range(u8 *array, u64 first, u64 last);
void sort_u32_ascending_range(u32 *array, u64 first, u64 last);
void sort_u32_descending_range(u32 *array, u64 first, u64 last);
void sort_u64_ascending_range(u64 *array, u64 first, u64 last);
void sort_u64_descending_range(u64 *array, u64 first, u64 last);

// ---- Hashing -----------------------------------------------------------------------------

u32 hash_fnv1a_32(const void *data, u64 length);
u64 hash_fnv1a_64(const void *data, u64 length);
u64 fasthash_mix(u64 x);
// The slot of a number key in a table of 2^bits slots (bits 0 to 64): the top bits of the key
// times 2^64 divided by the golden ratio. Consecutive keys spread over the whole table, at the
// cost of one multiplication, for the look-ups of hot loops (fasthash_mix mixes better, at
// several times the cost).
inline u64 hash_fibonacci_slot(u64 key, u32 bits) {
  return bits == 0 ? 0 : (key * 0x9E3779B97F4A7C15ull) >> (64 - (bits > 64 ? 64 : bits));
}
u64 fasthash64(const void *data, u64 length, u64 seed);
u32 fasthash32(const void *data, u64 length, u32 seed);

// ---- Geometry and colour -----------------------------------------------------------------

inline v2 v2_make(f32 x, f32 y) { return v2{x, y}; }
inline v2 v2_from_ints(s32 x, s32 y) { return v2{(f32)x, (f32)y}; }
inline v3 v3_make(f32 x, f32 y, f32 z) { return v3{x, y, z}; }
inline v4 v4_make(f32 a, f32 b, f32 c, f32 d) { return v4{a, b, c, d}; }
inline rgba rgba_make(f32 r, f32 g, f32 b, f32 a) { return rgba{r, g, b, a}; }
inline v2 v2_sub(v2 a, v2 b) { return v2{a.x - b.x, a.y - b.y}; }
inline v4 v4_mul(v4 a, v4 b) { return v4{a.x * b.x, a.y * b.y, a.z * b.z, a.w * b.w}; }

// Each channel times 255, truncated, low 8 bits: values outside 0 to 1 wrap (modulo 256) rather
// than clamp. NaN and channels too large for any meaningful byte give 0.
u32 rgba_to_u32(rgba c);
rgba rgba_from_u32(u32 packed);
rgba rgba_from_bytes(u32 r, u32 g, u32 b, u32 a);

inline rect rect_make(f32 x0, f32 y0, f32 x1, f32 y1) { return rect{x0, y0, x1, y1}; }
inline rect rect_from_pos_size(f32 x, f32 y, f32 w, f32 h) { return rect{x, y, x + w, y + h}; }
inline rect rect_from_pos_size_ints(s32 x, s32 y, s32 w, s32 h) {
  // Sums in 64 bits, so no pair of s32 overflows before the conversion.
  return rect{(f32)x, (f32)y, (f32)((s64)x + w), (f32)((s64)y + h)};
}
inline rect rect_from_top_left(f32 x, f32 top, f32 w, f32 h) { return rect{x, top - h, x + w, top}; }
inline f32 rect_width(rect r) { return r.x1 - r.x0; }
inline f32 rect_height(rect r) { return r.y1 - r.y0; }
inline v2 rect_top_left(rect r) { return v2{r.x0, r.y1}; }
// Margins are (top, bottom, left, right).
inline void rect_shrink(rect *r, v4 margins) {
  r->x0 += margins.z;
  r->y0 += margins.y;
  r->x1 -= margins.w;
  r->y1 -= margins.x;
}
inline bool rect_contains(rect r, v2 p) { return r.x0 <= p.x && p.x < r.x1 && r.y0 <= p.y && p.y < r.y1; }
inline bool rect_equal(rect a, rect b) { return a.x0 == b.x0 && a.y0 == b.y0 && a.x1 == b.x1 && a.y1 == b.y1; }
// Rects that only touch do not overlap.
inline bool rect_overlaps(rect a, rect b) { return a.x1 > b.x0 && b.x1 > a.x0 && a.y1 > b.y0 && b.y1 > a.y0; }
rect rect_intersection(rect a, rect b);

// Column-major 4x4 projection from pixels (origin bottom left, y up) to clip space -1 to 1. A
// dimension below 1 (a minimised window) is taken as 1, so the matrix stays finite.
void mat4_ortho(f32 matrix[16], s32 width, s32 height);
