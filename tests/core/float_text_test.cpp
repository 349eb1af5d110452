#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <charconv>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/core.h"

namespace {

std::string text_of(buffer b) { return std::string((const char *)b.data, b.used); }

std::string double_text(f64 v, u32 width = 0, u8 pad = ' ', u32 fraction = 0, u32 flags = 0) {
  static u8 out[2048];
  u64 n = format_double(out, sizeof out, v, width, pad, fraction, flags);
  return std::string((const char *)out, n);
}

std::string float_text(f32 v, u32 width = 0, u8 pad = ' ', u32 fraction = 0, u32 flags = 0) {
  static u8 out[512];
  buffer arena = buffer_make(sizeof out, 0, out);
  buffer view = buffer_push_float(&arena, v, width, pad, fraction, flags);
  EXPECT_EQ(view.data, out);
  EXPECT_EQ(view.used, arena.used);
  return text_of(view);
}

f64 double_from_bits(u64 bits) {
  f64 v;
  memcpy(&v, &bits, 8);
  return v;
}
f32 float_from_bits(u32 bits) {
  f32 v;
  memcpy(&v, &bits, 4);
  return v;
}

// The shortest decimal as std::to_chars gives it: digits without the point, and the power of
// ten of the last digit.
struct reference_decimal {
  std::string digits;
  s32 exponent;
};
template <class T>
reference_decimal reference_of(T v) {
  char text[64];
  std::to_chars_result r = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific);
  std::string s(text, r.ptr);
  if (s[0] == '-') s.erase(0, 1);
  size_t e = s.find('e');
  std::string digits = s.substr(0, e);
  if (digits.size() > 1) digits.erase(1, 1);  // the point
  s32 power = atoi(s.c_str() + e + 1);
  return {digits, power - (s32)digits.size() + 1};
}

template <class D>
std::string digits_of(D d) { return std::to_string(d.significand); }

// Compares one binary64 value with the reference; returns false (with a message) on mismatch.
bool check_double(f64 v) {
  double_decimal d = double_to_decimal(v, 0);
  reference_decimal ref = reference_of(v);
  if (digits_of(d) != ref.digits || d.exponent != ref.exponent || d.is_negative != (v < 0)) {
    ADD_FAILURE() << "value " << ref.digits << "e" << ref.exponent << " gave " << d.significand << "e" << d.exponent;
    return false;
  }
  std::string text = double_text(v, 0, ' ', 0, format_scientific);
  f64 back = strtod(text.c_str(), nullptr);
  if (memcmp(&back, &v, 8) != 0) {
    ADD_FAILURE() << "text " << text << " does not read back";
    return false;
  }
  return true;
}

bool check_float(f32 v) {
  float_decimal d = float_to_decimal(v, 0);
  reference_decimal ref = reference_of(v);
  if (digits_of(d) != ref.digits || d.exponent != ref.exponent || d.is_negative != (v < 0)) {
    ADD_FAILURE() << "value " << ref.digits << "e" << ref.exponent << " gave " << d.significand << "e" << d.exponent;
    return false;
  }
  return true;
}

// ---- Texts of values ---------------------------------------------------------------------

TEST(float_text, values_give_their_shortest_fixed_text) {
  EXPECT_EQ(float_text(0.1f), "0.1");
  EXPECT_EQ(float_text(1.0f), "1.0");
  EXPECT_EQ(double_text(100.0), "100.0");
  EXPECT_EQ(double_text(0.3), "0.3");
  EXPECT_EQ(double_text(123.456), "123.456");
  EXPECT_EQ(double_text(-0.005), "-0.005");
  EXPECT_EQ(float_text(3.4028235e38f), "340282350000000000000000000000000000000.0");
  EXPECT_EQ(float_text(float_from_bits(1)), "0." + std::string(44, '0') + "1");
  EXPECT_EQ(double_text(double_from_bits(1)), "0." + std::string(323, '0') + "5");
  EXPECT_EQ(double_text(-double_from_bits(1)), "-0." + std::string(323, '0') + "5");
  EXPECT_EQ(double_text(1.7976931348623157e308), "17976931348623157" + std::string(292, '0') + ".0");
  EXPECT_EQ(double_text(1.7976931348623157e308, 0, ' ', 0, format_scientific), "1.7976931348623157e308");
  EXPECT_EQ(double_text(5e-324, 0, ' ', 0, format_scientific), "5.0e-324");
  EXPECT_EQ(double_text(1.0, 0, ' ', 0, format_scientific), "1.0");
}

TEST(float_text, zeros_infinities_and_nans_keep_their_sign) {
  EXPECT_EQ(double_text(0.0), "0.0");
  EXPECT_EQ(double_text(-0.0), "-0.0");
  EXPECT_EQ(float_text(-0.0f), "-0.0");
  EXPECT_EQ(double_text(INFINITY), "+infinity");
  EXPECT_EQ(double_text(-INFINITY), "-infinity");
  EXPECT_EQ(float_text(-INFINITY), "-infinity");
  EXPECT_EQ(double_text(NAN), "+NaN");
  EXPECT_EQ(double_text(-NAN), "-NaN");
  EXPECT_EQ(float_text(-NAN), "-NaN");
  EXPECT_EQ(double_text(0.0, 0, ' ', 0, format_always_sign), "+0.0");
}

TEST(float_text, decimal_layout_in_fixed_and_scientific_form) {
  struct example {
    u64 significand;
    s32 exponent;
    bool negative;
    u32 flags;
    const char *text;
  } examples[] = {
      {12345, -2, false, format_scientific, "1.2345e2"}, {5, 10, false, format_scientific, "5.0e10"},
      {5, 0, false, format_scientific, "5.0"},           {5, -3, true, format_scientific, "-5.0e-3"},
      {1, 2, false, 0, "100.0"},                         {12, 0, false, 0, "12.0"},
      {123456, -3, false, 0, "123.456"},                 {5, -3, false, 0, "0.005"},
      {5, -1, true, 0, "-0.5"},                          {123, -3, false, 0, "0.123"},
      {18446744073709551615ull, -19, false, 0, "1.8446744073709551615"},
      // Zero is one digit; exponents of four digits are written whole.
      {0, 0, false, 0, "0.0"},                           {0, 0, true, format_scientific, "-0.0"},
      {0, -2, false, 0, "0.00"},                         {10000000000000000000ull, 985, false, format_scientific, "1.0000000000000000000e1004"},
      {7, -993, false, format_scientific, "7.0e-993"},
  };
  for (const example &x : examples) {
    u8 out[64];
    buffer arena = buffer_make(sizeof out, 0, out);
    buffer_push_decimal(&arena, x.significand, x.exponent, x.negative, x.flags);
    EXPECT_EQ(std::string((char *)out, arena.used), x.text);
  }
}

TEST(float_text, alignment_pads_the_integer_part_and_cuts_or_fills_the_fraction) {
  EXPECT_EQ(double_text(3.14159, 0, ' ', 2), "3.14");
  EXPECT_EQ(double_text(3.14999, 0, ' ', 2), "3.14");  // cut, not rounded
  EXPECT_EQ(double_text(2.5, 0, ' ', 3), "2.500");
  EXPECT_EQ(double_text(42.0, 6, ' '), "    42.0");
  EXPECT_EQ(double_text(-1.5, 4, '0', 0, format_sign_first), "-001.5");
  EXPECT_EQ(double_text(-1.5, 4, '0'), "00-1.5");
  EXPECT_EQ(double_text(2.5, 0, ' ', 0, format_always_sign), "+2.5");
  EXPECT_EQ(double_text(2.5, 5, '0', 0, format_always_sign | format_sign_first), "+0002.5");
  EXPECT_EQ(double_text(2.5, 5, '0', 0, format_always_sign), "000+2.5");
  EXPECT_EQ(double_text(INFINITY, 0, ' ', 3), "+infinity    ");
  EXPECT_EQ(double_text(-NAN, 6, ' ', 1), "  -NaN  ");
  EXPECT_EQ(double_text(123.0, 2, ' '), "123.0");
  EXPECT_EQ(double_text(12345.0, 0, ' ', 3, format_scientific), "1.2345e4");
  EXPECT_EQ(double_text(1.5, 0, ' ', 8, format_scientific), "1.50000000");  // no exponent: a plain fraction
  EXPECT_EQ(double_text(1.5e300, 0, ' ', 8, format_scientific), "1.5e300   ");
  EXPECT_EQ(double_text(0.1, 0, ' ', 10), "0.1000000000");
  EXPECT_EQ(float_text(0.25f, 8, '*', 1), "*******0.2");
}

// Every destination size from 0 up to the whole text: nothing past the size, each piece pushed
// whole or not at all, and the whole text once it fits.
TEST(float_text, full_destination_cuts_without_writing_past_it) {
  struct example {
    f64 value;
    u32 width;
    u32 fraction;
    u32 flags;
  } examples[] = {{-1.5, 8, 4, format_sign_first}, {123.25, 6, 0, format_always_sign},
                  {INFINITY, 12, 3, 0},            {1e-300, 0, 0, format_scientific},
                  {5e-324, 3, 0, 0}};
  for (const example &x : examples) {
    std::string full = double_text(x.value, x.width, '0', x.fraction, x.flags);
    for (u64 size = 0; size <= full.size() + 2; size++) {
      u8 out[400];
      memset(out, 0xEE, sizeof out);
      u64 n = format_double(out, size, x.value, x.width, '0', x.fraction, x.flags);
      ASSERT_LE(n, size);
      for (u64 i = size; i < sizeof out; i++) ASSERT_EQ(out[i], 0xEE) << "size " << size;
      if (size >= full.size()) {
        EXPECT_EQ(std::string((char *)out, n), full);
      } else {
        EXPECT_LT(n, full.size());
      }
    }
  }
  // A text cut by a full arena keeps the pieces that fit: "12." of "12.5" with room for 3.
  u8 out[3];
  EXPECT_EQ(format_double(out, 3, 12.5, 0, ' ', 0, 0), 3u);
  EXPECT_EQ(memcmp(out, "12.", 3), 0);
}

// ---- Shortest decimals against the standard library -------------------------------------

TEST(double_to_decimal, matches_to_chars_on_random_bit_patterns) {
  std::mt19937_64 rng(20240611);
  u64 failures = 0;
  for (u32 i = 0; i < 2000000 && failures < 10; i++) {
    u64 bits = rng();
    f64 v = double_from_bits(bits);
    if (!isfinite(v) || v == 0) continue;
    if (!check_double(v)) failures++;
    // Now and then also the fixed text, which is long for large and small exponents.
    if ((i & 255) == 0) {
      std::string text = double_text(v);
      f64 back = strtod(text.c_str(), nullptr);
      EXPECT_EQ(memcmp(&back, &v, 8), 0) << text;
    }
  }
  EXPECT_EQ(failures, 0u);
}

// Powers of two take the asymmetric-interval path; their neighbours and the subnormals' edges
// the usual one. All of them, both signs.
TEST(double_to_decimal, matches_to_chars_at_every_binade_edge) {
  for (u64 exponent = 0; exponent < 2047; exponent++) {
    for (u64 significand : {0ull, 1ull, 2ull, 3ull, 0xFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFEull}) {
      u64 bits = exponent << 52 | significand;
      if (bits == 0) continue;
      check_double(double_from_bits(bits));
      check_double(double_from_bits(bits | 1ull << 63));
    }
  }
  for (f64 v : {1.0, 0.1, 0.3, 1e23, 9007199254740993.0, 2.2250738585072014e-308, 2.2250738585072009e-308,
                4.9406564584124654e-324, 1.7976931348623157e308, 5e-324, 123456789012345680.0}) {
    check_double(v);
  }
}

TEST(float_to_decimal, matches_to_chars_on_random_bit_patterns_and_binade_edges) {
  std::mt19937 rng(7);
  u32 failures = 0;
  for (u32 i = 0; i < 1000000 && failures < 10; i++) {
    f32 v = float_from_bits(rng());
    if (!isfinite(v) || v == 0) continue;
    if (!check_float(v)) failures++;
  }
  for (u32 exponent = 0; exponent < 255; exponent++) {
    for (u32 significand : {0u, 1u, 2u, 0x7FFFFFu, 0x7FFFFEu}) {
      u32 bits = exponent << 23 | significand;
      if (bits != 0) check_float(float_from_bits(bits));
    }
  }
  EXPECT_EQ(failures, 0u);
}

// Every binary32 value against std::to_chars, on all cores. Opt-in: QM_EXHAUSTIVE=1.
TEST(float_to_decimal, matches_to_chars_on_every_value) {
  const char *flag = getenv("QM_EXHAUSTIVE");
  if (!flag || strcmp(flag, "1") != 0) GTEST_SKIP() << "set QM_EXHAUSTIVE=1 to run";
  u32 threads = std::thread::hardware_concurrency();
  if (threads == 0) threads = 4;
  std::atomic<u64> failures{0};
  std::atomic<u32> first_failure{0};
  std::vector<std::thread> pool;
  for (u32 t = 0; t < threads; t++) {
    pool.emplace_back([&, t] {
      for (u64 bits = t; bits < (1ull << 31); bits += threads) {
        f32 v = float_from_bits((u32)bits);
        if (!isfinite(v) || v == 0) continue;
        float_decimal d = float_to_decimal(v, 0);
        char text[32];
        std::to_chars_result r = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific);
        // Rebuild the reference significand and exponent without allocating.
        u64 significand = 0;
        s32 digits = 0;
        const char *p = text;
        for (; *p != 'e'; p++) {
          if (*p >= '0' && *p <= '9') {
            significand = significand * 10 + (u64)(*p - '0');
            digits++;
          }
        }
        s32 power = 0;
        std::from_chars(p + 1 + (p[1] == '+'), r.ptr, power);
        if (d.significand != significand || d.exponent != power - digits + 1) {
          if (failures++ == 0) first_failure = (u32)bits;
        }
      }
    });
  }
  for (std::thread &t : pool) t.join();
  EXPECT_EQ(failures.load(), 0u) << "first failing bits 0x" << std::hex << first_failure.load();
}

// ---- Every mode word against an exact model ---------------------------------------------
// A decimal reads back to the value when it lies strictly between the value's interval ends, or
// on an end the rounding sends to the value. The model works in binary128, where every
// midpoint of binary64 neighbours is exact and a decimal of 17 digits is within 2^-113 of its
// true value: far closer than any of these decimals comes to an interval end without sitting
// on it.

typedef __float128 f128;

f128 decimal_value(u64 significand, s32 exponent) {
  char text[64];
  snprintf(text, sizeof text, "%llue%d", (unsigned long long)significand, exponent);
  return strtof128(text, nullptr);
}

// Magnitudes of the interval of a positive value and whether each end belongs to it.
struct model_interval {
  f128 low, high;
  bool low_closed, high_closed;
  bool nearest;
};

template <class T>
model_interval interval_of(T magnitude, u32 rounding, bool negative) {
  T below = nextafter(magnitude, (T)0);
  T above = nextafter(magnitude, (T)INFINITY);
  f128 v = magnitude;
  f128 up = isinf(above) ? v + (v - (f128)below) : (f128)above;
  f128 mid_low = (v + (f128)below) / 2;
  f128 mid_high = (v + up) / 2;
  u64 bits = 0;
  memcpy(&bits, &magnitude, sizeof(T));
  bool even = (bits & 1) == 0;
  switch (rounding) {
  case float_round_nearest_to_even:
  case float_round_nearest_to_even_static_boundary: return {mid_low, mid_high, even, even, true};
  case float_round_nearest_to_odd:
  case float_round_nearest_to_odd_static_boundary: return {mid_low, mid_high, !even, !even, true};
  case float_round_nearest_toward_plus_infinity:
  case float_round_nearest_toward_plus_infinity_static_boundary:
    return {mid_low, mid_high, !negative, negative, true};
  case float_round_nearest_toward_minus_infinity:
  case float_round_nearest_toward_minus_infinity_static_boundary:
    return {mid_low, mid_high, negative, !negative, true};
  case float_round_nearest_toward_zero: return {mid_low, mid_high, false, true, true};
  case float_round_nearest_away_from_zero: return {mid_low, mid_high, true, false, true};
  case float_round_toward_plus_infinity:
    return negative ? model_interval{v, up, true, false, false} : model_interval{below, v, false, true, false};
  case float_round_toward_minus_infinity:
    return negative ? model_interval{below, v, false, true, false} : model_interval{v, up, true, false, false};
  case float_round_toward_zero: return {v, up, true, false, false};
  default: return {below, v, false, true, false};  // away from zero
  }
}

bool model_inside(const model_interval &m, f128 d) {
  if (d > m.low && d < m.high) return true;
  return (d == m.low && m.low_closed) || (d == m.high && m.high_closed);
}

u64 pow10_u64(s32 n) {
  u64 p = 1;
  while (n-- > 0) p *= 10;
  return p;
}

// Checks one conversion result; returns false (with a message) when it is wrong.
template <class T>
bool model_check(T value, u64 significand, s32 exponent, u32 mode) {
  bool negative = value < 0;
  T magnitude = fabs(value);
  model_interval m = interval_of(magnitude, mode & float_round_mask, negative);
  f128 d = decimal_value(significand, exponent);
  if (!model_inside(m, d)) {
    ADD_FAILURE() << "mode " << mode << ": " << significand << "e" << exponent << " does not read back to "
                  << (double)value;
    return false;
  }
  // Shortest: neither decimal of one digit fewer next to it reads back.
  u32 digits = (u32)std::to_string(significand).size();
  if (digits >= 2) {
    u64 coarse = significand / 10;
    for (u64 candidate : {coarse, coarse + 1}) {
      if (candidate != 0 && model_inside(m, decimal_value(candidate, exponent + 1))) {
        ADD_FAILURE() << "mode " << mode << ": " << candidate << "e" << exponent + 1 << " is shorter than "
                      << significand << "e" << exponent;
        return false;
      }
    }
  }
  // Closest: a neighbour of the same length that reads back is no nearer, and at an exact tie
  // (the value is the decimal midpoint of the two) the mode's tie rule chose.
  f128 v = magnitude;
  f128 distance = d > v ? d - v : v - d;
  for (s32 step : {-1, 1}) {
    u64 other = significand + (u64)(s64)step;
    if (other == 0 || other == pow10_u64((s32)digits)) continue;
    f128 o = decimal_value(other, exponent);
    if (!model_inside(m, o)) continue;
    u64 lower = step == 1 ? significand : other;
    bool tie = decimal_value((2 * lower + 1) * 5, exponent - 1) == v;
    if (!tie) {
      f128 other_distance = o > v ? o - v : v - o;
      if (other_distance < distance) {
        ADD_FAILURE() << "mode " << mode << ": " << other << "e" << exponent << " is nearer than " << significand;
        return false;
      }
      continue;
    }
    u32 rule = mode & float_tie_mask;
    bool want_lower = rule == float_tie_to_even       ? lower % 2 == 0
                      : rule == float_tie_to_odd      ? lower % 2 == 1
                      : rule == float_tie_toward_zero ? true
                                                      : false;
    if ((lower == significand) != want_lower) {
      ADD_FAILURE() << "mode " << mode << ": tie between " << significand << " and " << other << "e" << exponent;
      return false;
    }
  }
  return true;
}

const u32 every_rounding[] = {
    float_round_nearest_to_even,
    float_round_nearest_to_odd,
    float_round_nearest_toward_plus_infinity,
    float_round_nearest_toward_minus_infinity,
    float_round_nearest_toward_zero,
    float_round_nearest_away_from_zero,
    float_round_nearest_to_even_static_boundary,
    float_round_nearest_to_odd_static_boundary,
    float_round_nearest_toward_plus_infinity_static_boundary,
    float_round_nearest_toward_minus_infinity_static_boundary,
    float_round_toward_plus_infinity,
    float_round_toward_minus_infinity,
    float_round_toward_zero,
    float_round_away_from_zero,
};
const u32 every_tie[] = {float_tie_to_even, float_tie_to_larger, float_tie_to_odd, float_tie_away_from_zero,
                         float_tie_toward_zero};

TEST(float_to_decimal, every_mode_gives_the_shortest_nearest_decimal_of_its_interval) {
  std::mt19937_64 rng(99);
  std::vector<u64> doubles;
  std::vector<u32> floats;
  for (u32 i = 0; i < 3000; i++) {
    doubles.push_back(rng());
    floats.push_back((u32)rng());
  }
  // Binade edges, where the interval is asymmetric; and binades where ties between two
  // decimals occur (floats near 2^20, doubles near 2^50).
  for (u64 e : {1ull, 2ull, 3ull, 100ull, 1023ull, 1024ull, 1073ull, 1074ull, 1075ull, 1076ull, 1077ull, 1078ull,
                1079ull, 2046ull}) {
    for (u64 s : {0ull, 1ull, 0xFFFFFFFFFFFFFull}) doubles.push_back(e << 52 | s);
  }
  for (u32 e : {1u, 2u, 3u, 92u, 115u, 127u, 148u, 149u, 150u, 151u, 152u, 153u, 154u, 254u}) {
    for (u32 s : {0u, 1u, 0x7FFFFFu}) floats.push_back(e << 23 | s);
  }
  for (u32 i = 0; i < 400; i++) {
    floats.push_back((127u + 20) << 23 | (u32)(rng() & 0x7FFFFF));
    doubles.push_back((1023ull + 50) << 52 | (rng() & 0xFFFFFFFFFFFFFull));
    doubles.push_back((1023ull + 6) << 52 | (rng() & 0xFFFFFFFFFFFFFull));
  }
  u32 failures = 0;
  for (u32 rounding : every_rounding) {
    for (u32 tie : every_tie) {
      u32 mode = rounding | tie;
      for (u64 bits : doubles) {
        f64 v = double_from_bits(bits);
        if (!isfinite(v) || v == 0) continue;
        double_decimal d = double_to_decimal(v, mode);
        if (!model_check(v, d.significand, d.exponent, mode) && ++failures > 10) return;
      }
      for (u32 bits : floats) {
        f32 v = float_from_bits(bits);
        if (!isfinite(v) || v == 0) continue;
        float_decimal d = float_to_decimal(v, mode);
        if (!model_check(v, d.significand, d.exponent, mode) && ++failures > 10) return;
      }
    }
  }
}

TEST(float_to_decimal, trailing_zeros_are_removed_kept_or_reported) {
  std::mt19937_64 rng(5);
  std::vector<f64> values = {100.0, 1e22, 12345678900.0, 0.5, 1.0, 7e-10};
  for (u32 i = 0; i < 2000; i++) values.push_back((f64)(rng() % 1000000) * 1000.0 + 1);
  for (u32 i = 0; i < 2000; i++) values.push_back(double_from_bits(rng() >> 2));
  for (f64 v : values) {
    double_decimal removed = double_to_decimal(v, 0);
    double_decimal kept = double_to_decimal(v, float_mode_keep_trailing_zeros);
    double_decimal reported = double_to_decimal(v, float_mode_report_trailing_zeros);
    EXPECT_NE(removed.significand % 10, 0u);
    EXPECT_EQ(removed.has_trailing_zeros, 0);
    ASSERT_GE(removed.exponent, kept.exponent);
    EXPECT_EQ(kept.significand, removed.significand * pow10_u64(removed.exponent - kept.exponent)) << v;
    EXPECT_EQ(reported.significand, kept.significand);
    EXPECT_EQ(reported.has_trailing_zeros, kept.significand % 10 == 0);
    EXPECT_EQ(kept.has_trailing_zeros, 0);

    f32 f = (f32)v;
    if (!isfinite(f) || f == 0) continue;
    float_decimal fr = float_to_decimal(f, 0);
    float_decimal fk = float_to_decimal(f, float_mode_report_trailing_zeros);
    EXPECT_NE(fr.significand % 10, 0u);
    ASSERT_GE(fr.exponent, fk.exponent);
    EXPECT_EQ((u64)fk.significand, (u64)fr.significand * pow10_u64(fr.exponent - fk.exponent));
    EXPECT_EQ(fk.has_trailing_zeros, fk.significand % 10 == 0);
  }
}

// ---- Digits and byte sizes ---------------------------------------------------------------

TEST(buffer_view_u64_digits, digits_end_at_the_limit) {
  std::mt19937_64 rng(3);
  for (u32 i = 0; i < 2000; i++) {
    u64 v = rng() >> (rng() % 64);
    u8 storage[32];
    buffer b = buffer_make(24, 4, storage);
    buffer_view_u64_digits(&b, v);
    EXPECT_EQ(text_of(b), std::to_string(v));
    EXPECT_EQ(b.size, b.used);
    EXPECT_EQ(b.data + b.size, storage + 24);
  }
}

std::string byte_size_text(u64 count) {
  u8 out[BYTE_SIZE_TEXT_MAX];
  u64 n = format_byte_size(count, out, sizeof out);
  return std::string((char *)out, n);
}

TEST(format_byte_size, examples_and_unit_edges) {
  EXPECT_EQ(byte_size_text(0), "0 o");
  EXPECT_EQ(byte_size_text(512), "512 o");
  EXPECT_EQ(byte_size_text(1023), "1023 o");
  EXPECT_EQ(byte_size_text(1024), "1.000 Kio");
  EXPECT_EQ(byte_size_text(1536), "1.500 Kio");
  EXPECT_EQ(byte_size_text(1048575), "1023.999 Kio");
  EXPECT_EQ(byte_size_text(1048576), "1.000 Mio");
  EXPECT_EQ(byte_size_text(5000000000ull), "4.656 Gio");
  EXPECT_EQ(byte_size_text((1ull << 30) - 1), "1023.999 Mio");
  EXPECT_EQ(byte_size_text(1ull << 40), "1.000 Tio");
  EXPECT_EQ(byte_size_text(~0ull), "16777216.000 Tio");
}

// Against a model built on the standard library's shortest text, cut to three decimals.
TEST(format_byte_size, matches_a_model_over_random_counts) {
  std::mt19937_64 rng(11);
  for (u32 i = 0; i < 20000; i++) {
    u64 count = rng() >> (rng() % 64);
    std::string expected;
    if (count < 1024) {
      expected = std::to_string(count) + " o";
    } else {
      const char *unit = count >= 1ull << 40 ? "Tio" : count >= 1ull << 30 ? "Gio" : count >= 1ull << 20 ? "Mio" : "Kio";
      f64 divisor = count >= 1ull << 40 ? 0x1p40 : count >= 1ull << 30 ? 0x1p30 : count >= 1ull << 20 ? 0x1p20 : 0x1p10;
      char text[400];
      std::to_chars_result r = std::to_chars(text, text + sizeof text, (f64)count / divisor, std::chars_format::fixed);
      std::string s(text, r.ptr);
      size_t dot = s.find('.');
      if (dot == std::string::npos) {
        s += ".000";
      } else {
        s = (s + "000").substr(0, dot + 4);
      }
      expected = s + " " + unit;
    }
    ASSERT_EQ(byte_size_text(count), expected) << count;
  }
}

TEST(byte_size_to_string, carves_only_the_text_from_the_arena) {
  u8 storage[40];
  buffer arena = buffer_make(sizeof storage, 3, storage);
  buffer text = byte_size_to_string(1536, &arena);
  EXPECT_EQ(text_of(text), "1.500 Kio");
  EXPECT_EQ(text.size, text.used);
  EXPECT_EQ(text.data, storage + 3);
  EXPECT_EQ(arena.used, 3u + 9u);
  buffer second = byte_size_to_string(~0ull, &arena);
  EXPECT_EQ(text_of(second), "16777216.000 Tio");
  EXPECT_EQ(arena.used, 28u);
  // 12 bytes left: not enough for the 16 that are carved.
  buffer none = byte_size_to_string(5, &arena);
  EXPECT_EQ(none.used, 0u);
  EXPECT_EQ(arena.used, 28u);
}

}  // namespace
