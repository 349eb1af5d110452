#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <random>
#include <vector>

#include "core/core.h"

namespace {

TEST(flags, match_requires_required_bits_and_nothing_outside_allowed) {
  EXPECT_TRUE(flags_match(0, 0, 0));
  EXPECT_FALSE(flags_match(1, 0, 0));
  EXPECT_TRUE(flags_match(3, 1, 2));
  EXPECT_FALSE(flags_match(5, 1, 2));
  // Against the rule written out, over every value of four bits.
  for (u32 value = 0; value < 16; value++)
    for (u32 required = 0; required < 16; required++)
      for (u32 allowed = 0; allowed < 16; allowed++) {
        u32 all = allowed | required;
        bool expect = (value & required) == required && (all == 0 ? value == 0 : (value & ~all) == 0);
        ASSERT_EQ(flags_match(value, required, allowed), expect) << value << " " << required << " " << allowed;
      }
}

TEST(flags, word_helpers) {
  u32 w = 0x5;
  flags_set_u32(&w, 0x2);
  EXPECT_EQ(w, 0x7u);
  EXPECT_EQ(flags_clear_u32(&w, 0x1), 0x6u);
  flags_set_or_clear_u32(&w, false, 0x4);
  EXPECT_EQ(w, 0x2u);
  flags_set_or_clear_u32(&w, true, 0x8);
  EXPECT_EQ(w, 0xAu);
  EXPECT_TRUE(flags_has_all_u32(0xF, 0x5));
  EXPECT_FALSE(flags_has_all_u32(0xE, 0x5));
  EXPECT_TRUE(flags_has_any_u8(0x81, 0x80));
  EXPECT_TRUE(flags_has_any_u64(1ull << 63, 1ull << 63));
  EXPECT_TRUE(flags_only(0x3, 0x7));
  EXPECT_FALSE(flags_only(0x9, 0x7));
  u64 w64 = 0;
  flags_set_u64(&w64, 1ull << 40);
  EXPECT_TRUE(flags_has_all_u64(w64, 1ull << 40));
  flags_clear_u64(&w64, 1ull << 40);
  EXPECT_EQ(w64, 0u);
}

TEST(float_bits, classes_of_special_values) {
  f32 pos_nan = float_from_bits(0x7FC00000u), neg_nan = float_from_bits(0xFFC00001u);
  f32 inf = float_from_bits(0x7F800000u);
  EXPECT_TRUE(float_is_positive_nan(pos_nan));
  EXPECT_FALSE(float_is_negative_nan(pos_nan));
  EXPECT_TRUE(float_is_negative_nan(neg_nan));
  EXPECT_TRUE(float_is_nan(neg_nan));
  EXPECT_FALSE(float_is_nan(inf));
  EXPECT_FALSE(float_is_positive_nan(inf));
  EXPECT_TRUE(float_is_subnormal(float_from_bits(1)));
  EXPECT_FALSE(float_is_subnormal(0.0f));
  EXPECT_FALSE(float_is_subnormal(1e-30f));
}

TEST(float_bits, is_integer_stays_defined_outside_the_s32_range) {
  EXPECT_TRUE(float_is_integer(3.0f));
  EXPECT_FALSE(float_is_integer(3e10f));
  EXPECT_FALSE(float_is_integer(NAN));
  EXPECT_FALSE(float_is_integer(INFINITY));
  EXPECT_FALSE(float_is_integer(-INFINITY));
  EXPECT_FALSE(float_is_integer(2.5f));
  EXPECT_FALSE(float_is_integer(-0.5f));
  EXPECT_TRUE(float_is_integer(-2147483648.0f));
  EXPECT_FALSE(float_is_integer(2147483648.0f));
  EXPECT_FALSE(float_is_integer(nextafterf(-2147483648.0f, -INFINITY)));
  EXPECT_TRUE(float_is_integer(nextafterf(2147483648.0f, 0)));
  EXPECT_TRUE(float_is_integer(-0.0f));
}

TEST(scalars, saturation_rounding_and_absolute_values) {
  EXPECT_EQ(add_saturate_u64(UINT64_MAX, 1), UINT64_MAX);
  EXPECT_EQ(add_saturate_u64(UINT64_MAX - 1, 1), UINT64_MAX);
  EXPECT_EQ(add_saturate_u64(2, 3), 5u);
  EXPECT_EQ(sub_saturate_u64(3, 5), 0u);
  EXPECT_EQ(sub_saturate_u64(5, 3), 2u);
  EXPECT_EQ(u64_to_u16_checked(0xFFFF), 0xFFFF);
  EXPECT_EQ(round_f32(2.5f), 2.0f);
  EXPECT_EQ(round_f32(3.5f), 4.0f);
  EXPECT_EQ(round_f64(-2.5), -2.0);
  EXPECT_EQ(floor_f32(-1.5f), -2.0f);
  EXPECT_EQ(ceil_f64(-1.5), -1.0);
  EXPECT_EQ(sqrt_f32(9.0f), 3.0f);
  // abs_f32 multiplies, so -0.0 keeps its sign; the masked form clears it.
  EXPECT_TRUE(signbit(abs_f32(-0.0f)));
  EXPECT_FALSE(signbit(abs_f32_mask(-0.0f)));
  EXPECT_EQ(abs_f32(-2.0f), 2.0f);
  EXPECT_EQ(abs_f64(-2.0), 2.0);
  EXPECT_FLOAT_EQ(scale_by_ratio(10, 1, 4), 2.5f);
  EXPECT_FLOAT_EQ(scale_by_inverse_ratio(10, 4, 1), 2.5f);
#ifndef NDEBUG
  EXPECT_DEATH(u64_to_u16_checked(0x10000), "invariant broken");
#endif
}

TEST(scalars, bezier_ends_and_straight_lines) {
  for (f32 t = 0; t <= 1.0f; t += 0.125f) {
    // Control points on the line between the ends give the line itself.
    EXPECT_NEAR(bezier_quadratic(2, 10, 6, t), 2 + 8 * t, 1e-5);
    EXPECT_NEAR(bezier_cubic(0, 9, 3, 6, t), 9 * t, 1e-5);
  }
  EXPECT_EQ(bezier_cubic(1, 5, 7, 9, 0), 1.0f);
  EXPECT_EQ(bezier_cubic(1, 5, 7, 9, 1), 5.0f);
  EXPECT_FLOAT_EQ(bezier_quadratic(0, 0, 4, 0.5f), 2.0f);
}

TEST(u128, arithmetic_matches_the_compiler_integer) {
  std::mt19937_64 rng(7);
  for (int k = 0; k < 2000; k++) {
    u128 a{rng(), rng()}, b{rng(), rng()};
    if (k % 3 == 0) a.high = 0;
    unsigned __int128 wa = ((unsigned __int128)a.high << 64) | a.low;
    unsigned __int128 wb = ((unsigned __int128)b.high << 64) | b.low;
    auto check = [](u128 r, unsigned __int128 w) {
      ASSERT_EQ(r.low, (u64)w);
      ASSERT_EQ(r.high, (u64)(w >> 64));
    };
    check(u128_mul(a, b), wa * wb);
    check(u128_add(a, b), wa + wb);
    check(u128_add_u64(a, b.low), wa + b.low);
    u32 s = (u32)(rng() % 64);
    check(u128_shift_left(a, s), wa << s);
    check(u128_shift_right(a, s), wa >> s);
  }
  u128 max{UINT64_MAX, UINT64_MAX};
  u128 r = u128_add_u64(max, 1);
  EXPECT_EQ(r.low, 0u);
  EXPECT_EQ(r.high, 0u);
}

// ---- Sorting ----

enum key_shape { shape_equal, shape_sorted, shape_reversed, shape_organ_pipe, shape_random, shape_few_values, shape_sawtooth };

template <typename T>
std::vector<T> make_keys(key_shape shape, u64 n, std::mt19937_64 *rng) {
  std::vector<T> v(n);
  for (u64 i = 0; i < n; i++) {
    u64 x = 0;
    switch (shape) {
      case shape_equal: x = 42; break;
      case shape_sorted: x = i; break;
      case shape_reversed: x = n - i; break;
      case shape_organ_pipe: x = i < n / 2 ? i : n - i; break;
      case shape_random: x = (*rng)(); break;
      case shape_few_values: x = (*rng)() % 3; break;
      case shape_sawtooth: x = i % 17; break;
    }
    v[i] = (T)x;
  }
  return v;
}

template <typename T>
void check_sorts(void (*ascending)(T *, u64), void (*descending)(T *, u64)) {
  std::mt19937_64 rng(11);
  const u64 sizes[] = {1, 2, 3, 5, 16, 17, 33, 100, 1000, 20000};
  for (int shape = shape_equal; shape <= shape_sawtooth; shape++) {
    for (u64 n : sizes) {
      std::vector<T> keys = make_keys<T>((key_shape)shape, n, &rng);
      std::vector<T> a = keys, d = keys, expect = keys;
      std::sort(expect.begin(), expect.end());
      ascending(a.data(), n);
      ASSERT_EQ(a, expect) << "shape " << shape << " n " << n;
      descending(d.data(), n);
      std::reverse(expect.begin(), expect.end());
      ASSERT_EQ(d, expect) << "shape " << shape << " n " << n;
    }
  }
}

TEST(sort, every_width_and_direction_matches_std_sort_on_adversarial_keys) {
  check_sorts<u8>(sort_u8_ascending, sort_u8_descending);
  check_sorts<u32>(sort_u32_ascending, sort_u32_descending);
  check_sorts<u64>(sort_u64_ascending, sort_u64_descending);
}

TEST(sort, empty_and_sub_ranges_leave_the_rest_alone) {
  sort_u32_ascending(nullptr, 0);
  sort_u32_ascending_range(nullptr, 0, 10);
  u32 one = 9;
  sort_u32_descending(&one, 1);
  EXPECT_EQ(one, 9u);
  u64 v[] = {9, 8, 7, 6, 5, 4, 3};
  sort_u64_ascending_range(v, 2, 5);
  const u64 expect[] = {9, 8, 4, 5, 6, 7, 3};
  for (int i = 0; i < 7; i++) EXPECT_EQ(v[i], expect[i]);
  sort_u64_ascending_range(v, 5, 5);
  sort_u64_ascending_range(v, 6, 2);
  for (int i = 0; i < 7; i++) EXPECT_EQ(v[i], expect[i]);
}

// ---- Hashing ----

TEST(hash, fnv1a_known_vectors) {
  EXPECT_EQ(hash_fnv1a_32("", 0), 0x811C9DC5u);
  EXPECT_EQ(hash_fnv1a_32("a", 1), 0xE40C292Cu);
  EXPECT_EQ(hash_fnv1a_32("foobar", 6), 0xBF9CF968u);
  EXPECT_EQ(hash_fnv1a_64("", 0), 0xCBF29CE484222325ull);
  EXPECT_EQ(hash_fnv1a_64("a", 1), 0xAF63DC4C8601EC8Cull);
  EXPECT_EQ(hash_fnv1a_64("foobar", 6), 0x85944171F73967E8ull);
}

// fasthash written out over a whole little-endian word array with the tail zero-padded.
u64 fasthash64_model(const u8 *data, u64 length, u64 seed) {
  const u64 m = 0x880355F21E6D1965ull;
  u64 h = seed ^ (length * m);
  for (u64 start = 0; start < length; start += 8) {
    u8 word[8] = {};
    memcpy(word, data + start, std::min<u64>(8, length - start));
    u64 v;
    memcpy(&v, word, 8);  // x86-64 is little-endian
    v ^= v >> 23;
    v *= 0x2127599BF4325C37ull;
    v ^= v >> 47;
    h = (h ^ v) * m;
  }
  h ^= h >> 23;
  h *= 0x2127599BF4325C37ull;
  h ^= h >> 47;
  return h;
}

// Fibonacci slots lie in the table for every size, and n consecutive keys fill a table of n slots
// with at most two in any slot, wherever the run of keys starts.
TEST(hash, fibonacci_slots_stay_in_the_table_and_spread_consecutive_keys) {
  EXPECT_EQ(hash_fibonacci_slot(12345, 0), 0u);
  EXPECT_EQ(hash_fibonacci_slot(1, 64), 0x9E3779B97F4A7C15ull);
  EXPECT_EQ(hash_fibonacci_slot(3, 14), (3 * 0x9E3779B97F4A7C15ull) >> 50);
  for (u64 base : {0ull, 0x7f0000001000ull, 0xFFFFFFFFFFFF0000ull}) {
    for (u32 bits = 1; bits <= 16; bits++) {
      u64 n = 1ull << bits;
      std::vector<u32> load(n);
      for (u64 k = 0; k < n; k++) {
        u64 slot = hash_fibonacci_slot(base + k, bits);
        ASSERT_LT(slot, n);
        ASSERT_LE(++load[slot], 2u) << base << " " << bits;
      }
    }
  }
}

TEST(hash, fasthash_matches_a_word_model_at_every_tail_length_and_alignment) {
  EXPECT_EQ(fasthash64("", 0, 0), 0u);
  EXPECT_EQ(fasthash_mix(0), 0u);
  EXPECT_EQ(fasthash_mix(1), 0x2127599BF4325C37ull ^ (0x2127599BF4325C37ull >> 47));
  alignas(8) u8 bytes[80];
  for (int i = 0; i < 80; i++) bytes[i] = (u8)(i * 37 + 11);
  for (u64 offset = 0; offset < 8; offset++)
    for (u64 n = 0; n <= 64; n++) {
      u64 h = fasthash64(bytes + offset, n, 0x1234 + n);
      ASSERT_EQ(h, fasthash64_model(bytes + offset, n, 0x1234 + n));
      u64 h32 = fasthash64(bytes + offset, n, 99);
      ASSERT_EQ(fasthash32(bytes + offset, n, 99), (u32)(h32 - (h32 >> 32)));
    }
  // Every byte of the tail counts.
  EXPECT_NE(fasthash64(bytes, 15, 0), fasthash64(bytes, 14, 0));
  u8 copy[15];
  memcpy(copy, bytes, 15);
  copy[14] ^= 1;
  EXPECT_NE(fasthash64(bytes, 15, 0), fasthash64(copy, 15, 0));
}

// ---- Geometry and colour ----

TEST(colour, packing_examples_and_round_trip_of_every_byte) {
  EXPECT_EQ(rgba_to_u32(rgba_make(1, 0.5f, 0, 1)), 0xFF007FFFu);
  rgba c = rgba_from_u32(0xFF0000FFu);
  EXPECT_EQ(c.r, 1.0f);
  EXPECT_EQ(c.g, 0.0f);
  EXPECT_EQ(c.b, 0.0f);
  EXPECT_EQ(c.a, 1.0f);
  for (u32 v = 0; v < 256; v++) {
    u32 packed = v | (255 - v) << 8 | ((v * 7) & 0xFF) << 16 | ((v + 128) & 0xFF) << 24;
    ASSERT_EQ(rgba_to_u32(rgba_from_u32(packed)), packed) << v;
    rgba b = rgba_from_bytes(v + 0x100, 255 - v, (v * 7) & 0xFF, (v + 128) & 0xFF);
    ASSERT_EQ(rgba_to_u32(b), packed) << v;
  }
}

TEST(colour, channels_out_of_range_wrap_and_stay_defined) {
  // -1/255 truncates to -1, whose low byte is 0xFF; 2 gives 510, low byte 0xFE.
  EXPECT_EQ(rgba_to_u32(rgba_make(-1.0f / 255.0f, 2, 0, 0)), 0x0000FEFFu);
  EXPECT_EQ(rgba_to_u32(rgba_make(-0.5f / 255.0f, 0, 0, 0)), 0u);
  // Far outside any byte, NaN and infinities: defined, and zero.
  EXPECT_EQ(rgba_to_u32(rgba_make(NAN, INFINITY, -INFINITY, 3e30f)), 0u);
  EXPECT_EQ(rgba_to_u32(rgba_make(1e8f, -1e8f, 0, 0)),
            (u32)((u64)(s64)(1e8f * 255.0f) & 0xFF) | (u32)((u64)(s64)(-1e8f * 255.0f) & 0xFF) << 8);
}

TEST(geometry, rect_constructors_and_tests) {
  rect r = rect_from_top_left(10, 100, 20, 30);
  EXPECT_TRUE(rect_equal(r, rect_make(10, 70, 30, 100)));
  EXPECT_TRUE(rect_equal(rect_from_pos_size(1, 2, 3, 4), rect_make(1, 2, 4, 6)));
  EXPECT_TRUE(rect_equal(rect_from_pos_size_ints(1, 2, 3, 4), rect_make(1, 2, 4, 6)));
  EXPECT_TRUE(rect_equal(rect_from_pos_size_ints(INT32_MAX, 0, INT32_MAX, 0),
                         rect_make((f32)INT32_MAX, 0, (f32)(2.0 * INT32_MAX), 0)));
  EXPECT_FALSE(rect_equal(rect_make(NAN, 0, 0, 0), rect_make(NAN, 0, 0, 0)));
  EXPECT_EQ(rect_width(r), 20.0f);
  EXPECT_EQ(rect_height(r), 30.0f);
  v2 tl = rect_top_left(r);
  EXPECT_EQ(tl.x, 10.0f);
  EXPECT_EQ(tl.y, 100.0f);
  rect box = rect_make(0, 0, 10, 10);
  EXPECT_TRUE(rect_contains(box, v2_make(0, 0)));
  EXPECT_FALSE(rect_contains(box, v2_make(10, 5)));
  EXPECT_FALSE(rect_contains(box, v2_make(5, 10)));
  EXPECT_TRUE(rect_contains(box, v2_from_ints(9, 9)));
  // Margins read (top, bottom, left, right).
  rect s = box;
  rect_shrink(&s, v4_make(1, 2, 3, 4));
  EXPECT_TRUE(rect_equal(s, rect_make(3, 2, 6, 9)));
  v2 d = v2_sub(v2_make(5, 7), v2_make(1, 2));
  EXPECT_EQ(d.x, 4.0f);
  EXPECT_EQ(d.y, 5.0f);
  v4 p = v4_mul(v4_make(1, 2, 3, 4), v4_make(2, 3, 4, 5));
  EXPECT_EQ(p.w, 20.0f);
}

TEST(geometry, intersection_is_the_overlap_or_zero_and_symmetric) {
  rect zero = rect_make(0, 0, 0, 0);
  EXPECT_TRUE(rect_equal(rect_intersection(rect_make(0, 0, 10, 10), rect_make(10, 0, 20, 10)), zero));
  EXPECT_TRUE(rect_equal(rect_intersection(rect_make(0, 0, 10, 10), rect_make(5, 5, 20, 20)), rect_make(5, 5, 10, 10)));
  // Against a model on a small integer grid: every cell inside the intersection lies in both.
  std::mt19937 rng(3);
  for (int k = 0; k < 2000; k++) {
    auto pick = [&] {
      s32 x = (s32)(rng() % 12), y = (s32)(rng() % 12);
      return rect_from_pos_size_ints(x, y, 1 + (s32)(rng() % 6), 1 + (s32)(rng() % 6));
    };
    rect a = pick(), b = pick();
    rect i = rect_intersection(a, b);
    ASSERT_TRUE(rect_equal(i, rect_intersection(b, a)));
    bool any = false;
    for (int y = 0; y < 20; y++)
      for (int x = 0; x < 20; x++) {
        v2 pt = v2_make(x + 0.5f, y + 0.5f);
        bool both = rect_contains(a, pt) && rect_contains(b, pt);
        any |= both;
        ASSERT_EQ(rect_contains(i, pt), both);
      }
    ASSERT_EQ(rect_overlaps(a, b), any);
  }
}

TEST(geometry, ortho_maps_the_window_corners_and_survives_a_minimised_window) {
  f32 m[16];
  mat4_ortho(m, 1280, 720);
  auto apply = [&](f32 x, f32 y, f32 *cx, f32 *cy) {
    *cx = m[0] * x + m[4] * y + m[12];
    *cy = m[1] * x + m[5] * y + m[13];
  };
  f32 cx, cy;
  apply(1280, 720, &cx, &cy);
  EXPECT_FLOAT_EQ(cx, 1);
  EXPECT_FLOAT_EQ(cy, 1);
  apply(0, 0, &cx, &cy);
  EXPECT_FLOAT_EQ(cx, -1);
  EXPECT_FLOAT_EQ(cy, -1);
  EXPECT_EQ(m[10], 1.0f);
  EXPECT_EQ(m[15], 1.0f);
  for (s32 w : {0, -5, 1})
    for (s32 h : {0, -1, 1}) {
      mat4_ortho(m, w, h);
      for (int i = 0; i < 16; i++) ASSERT_TRUE(isfinite(m[i])) << w << " " << h << " " << i;
    }
}

}  // namespace
