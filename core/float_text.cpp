// Shortest decimal of a binary float (the Dragonbox method: one multiplication by a cached power
// of ten, then a search for the shortest decimal inside the rounding interval), its fixed and
// scientific layout, alignment, and byte sizes.
//
// Notation used throughout: a finite value is fc * 2^e with an integer fc. Multiplying by 10^k
// (k = -minus_k) brings the interval of decimals that read back to the value to a scale where
// its width delta is between 10^kappa and 10^(kappa+1); the value's neighbours' midpoints are
// x (left) and z (right), the value itself y. "2fc" is fc doubled so the midpoints are integers.
#include "core/float_text.h"

#include <string.h>

extern const u64 float_pow10_table[78];
extern const u64 double_pow10_table[1238];

namespace {

typedef unsigned __int128 u128;

struct uint128 {
  u64 high;
  u64 low;
};

// ---- Wide products -----------------------------------------------------------------------

inline uint128 umul128(u64 x, u64 y) {
  u128 p = (u128)x * y;
  return {(u64)(p >> 64), (u64)p};
}
inline u64 umul128_upper64(u64 x, u64 y) { return (u64)(((u128)x * y) >> 64); }
inline uint128 uint128_add_u64(uint128 a, u64 b) {
  u64 low = a.low + b;
  return {a.high + (low < b), low};
}
// The upper 128 bits of the 192-bit product x * y (exact).
inline uint128 umul192_upper128(u64 x, uint128 y) {
  uint128 r = umul128(x, y.high);
  return uint128_add_u64(r, umul128_upper64(x, y.low));
}
// The lower 128 bits of the 192-bit product x * y.
inline uint128 umul192_lower128(u64 x, uint128 y) {
  uint128 low = umul128(x, y.low);
  return {x * y.high + low.high, low.low};
}
// The upper 64 bits of the 96-bit product x * y.
inline u64 umul96_upper64(u32 x, u64 y) { return (u64)(((u128)x * y) >> 32); }
inline u64 umul96_lower64(u32 x, u64 y) { return (u64)x * y; }
inline u64 umul32(u32 x, u32 y) { return (u64)x * y; }

inline u32 rotate_right_u32(u32 n, u32 r) {
  r &= 31;
  return (n >> r) | (n << ((32 - r) & 31));
}
inline u64 rotate_right_u64(u64 n, u32 r) {
  r &= 63;
  return (n >> r) | (n << ((64 - r) & 63));
}

// ---- Logarithm approximations ------------------------------------------------------------
// Fixed-point multiples that equal the exact floors over the stated ranges (checked by tests
// against exact arithmetic); outside them they drift, hence the invariant.

inline s32 float_log_approx(s32 e, s32 multiply, s32 subtract, s32 shift, s32 lowest, s32 highest) {
  invariant(e >= lowest && e <= highest);
  return (e * multiply - subtract) >> shift;
}
inline s32 floor_log10_pow2(s32 e) { return float_log_approx(e, 315653, 0, 20, -2620, 2620); }
inline s32 floor_log2_pow10(s32 e) { return float_log_approx(e, 1741647, 0, 19, -1233, 1233); }
inline s32 floor_log10_pow2_minus_log10_4_over_3(s32 e) {
  return float_log_approx(e, 631305, 261663, 21, -2985, 2936);
}

// ---- Small divisions ---------------------------------------------------------------------

// n <= 100: n becomes n / 10; true when n was a multiple of 10.
inline bool check_divisibility_and_divide_by_pow10_1(u32 *n) {
  u32 p = *n * 6554;
  *n = p >> 16;
  return (p & 0xFFFF) < 6554;
}
// n <= 1000: n becomes n / 100; true when n was a multiple of 100.
inline bool check_divisibility_and_divide_by_pow10_2(u32 *n) {
  u32 p = *n * 656;
  *n = p >> 16;
  return (p & 0xFFFF) < 656;
}
inline u32 divide_by_pow10_2(u32 n) { return (u32)(((u64)n * 1374389535) >> 37); }
// n < 2^63 here; 2^73 / 1000 rounded up is exact for that range.
inline u64 divide_by_pow10_3(u64 n) { return umul128_upper64(n, 0x83126e978d4fdf3cull) >> 9; }

// Multiplying by the inverse of 5^j modulo 2^w and rotating right by j gives n / 10^j when 10^j
// divides n and a value above (2^w - 1) / 10^j otherwise.
inline s32 remove_trailing_zeros_u32(u32 *n) {
  s32 removed = 0;
  for (;;) {
    u32 q = rotate_right_u32(*n * 0xc28f5c29u, 2);
    if (q > 0xFFFFFFFFu / 100) break;
    *n = q;
    removed += 2;
  }
  u32 q = rotate_right_u32(*n * 0xcccccccdu, 1);
  if (q <= 0xFFFFFFFFu / 10) {
    *n = q;
    removed += 1;
  }
  return removed;
}
inline s32 remove_trailing_zeros_u64(u64 *n) {
  s32 removed = 0;
  u64 q = rotate_right_u64(*n * 0xc767074b22e90e21ull, 8);
  if (q <= 0xFFFFFFFFFFFFFFFFull / 100000000) {
    *n = q;
    removed = 8;
  }
  for (;;) {
    q = rotate_right_u64(*n * 0x8f5c28f5c28f5c29ull, 2);
    if (q > 0xFFFFFFFFFFFFFFFFull / 100) break;
    *n = q;
    removed += 2;
  }
  q = rotate_right_u64(*n * 0xcccccccccccccccdull, 1);
  if (q <= 0xFFFFFFFFFFFFFFFFull / 10) {
    *n = q;
    removed += 1;
  }
  return removed;
}

// Whether m * 2^e2 * 10^k is an integer, exactly. The products with the rounded-up cache can
// show a zero fraction where the true one is tiny; this settles those rare branches.
template <class C>
bool product_is_integer(C m, s32 e2, s32 k) {
  if (k < 0) {
    if (k < -27) return false;  // 5^28 exceeds every significand
    u64 five = 1;
    for (s32 i = 0; i < -k; i++) five *= 5;
    if (m % five != 0) return false;
  }
  s32 twos = e2 + k;
  if (twos >= 0) return true;
  if (-twos >= (s32)(sizeof(C) * 8)) return false;
  return (m & (((C)1 << -twos) - 1)) == 0;
}

// ---- Per-width steps ---------------------------------------------------------------------

struct float_mul_result {
  u32 integer_part;
  bool is_integer;
};
struct double_mul_result {
  u64 integer_part;
  bool is_integer;
};
struct parity_result {
  bool parity;
  bool is_integer;
};

inline u64 float_cache_pow10(s32 k) {
  invariant(k >= -31 && k <= 46);
  return float_pow10_table[k + 31];
}
inline uint128 double_cache_pow10(s32 k) {
  invariant(k >= -292 && k <= 326);
  const u64 *entry = double_pow10_table + 2 * (k + 292);
  return {entry[1], entry[0]};
}

// u * 10^k, u already shifted by beta: the integer part and whether the fraction is zero.
inline float_mul_result float_compute_mul(u32 u, u64 cache) {
  u64 r = umul96_upper64(u, cache);
  return {(u32)(r >> 32), (u32)r == 0};
}
inline double_mul_result double_compute_mul(u64 u, uint128 cache) {
  uint128 r = umul192_upper128(u, cache);
  return {r.high, r.low == 0};
}
// The width of the interval, 2^e * 10^k, rounded down.
inline u32 float_compute_delta(u64 cache, s32 beta) { return (u32)(cache >> (63 - beta)); }
inline u64 double_compute_delta(uint128 cache, s32 beta) { return cache.high >> (63 - beta); }
// Parity of the integer part of two_f * 2^(e-1) * 10^k, and whether its fraction is zero.
inline parity_result float_compute_mul_parity(u32 two_f, u64 cache, s32 beta) {
  u64 r = umul96_lower64(two_f, cache);
  return {((r >> (64 - beta)) & 1) != 0, (u32)(r >> (32 - beta)) == 0};
}
inline parity_result double_compute_mul_parity(u64 two_f, uint128 cache, s32 beta) {
  uint128 r = umul192_lower128(two_f, cache);
  return {((r.high >> (64 - beta)) & 1) != 0, ((r.high << beta) | (r.low >> (64 - beta))) == 0};
}
// Endpoints and the rounded value of the shorter interval (a power of two, whose lower
// neighbour is half as far as the upper one).
inline u32 float_compute_left_endpoint_for_shorter_interval(u64 cache, s32 beta) {
  return (u32)((cache - (cache >> 25)) >> (64 - 23 - 1 - beta));
}
inline u32 float_compute_right_endpoint_for_shorter_interval(u64 cache, s32 beta) {
  return (u32)((cache + (cache >> 24)) >> (64 - 23 - 1 - beta));
}
inline u32 float_compute_round_up_for_shorter_interval(u64 cache, s32 beta) {
  return ((u32)(cache >> (64 - 23 - 2 - beta)) + 1) / 2;
}
inline u64 double_compute_left_endpoint_for_shorter_interval(uint128 cache, s32 beta) {
  return (cache.high - (cache.high >> 54)) >> (64 - 52 - 1 - beta);
}
inline u64 double_compute_right_endpoint_for_shorter_interval(uint128 cache, s32 beta) {
  return (cache.high + (cache.high >> 53)) >> (64 - 52 - 1 - beta);
}
inline u64 double_compute_round_up_for_shorter_interval(uint128 cache, s32 beta) {
  return ((cache.high >> (64 - 52 - 2 - beta)) + 1) / 2;
}

// The two formats behind one set of names, so each of the four cases is written once.
struct float_format {
  typedef u32 carrier;
  typedef u64 cache_entry;
  typedef float_mul_result mul_result;
  static constexpr s32 significand_bits = 23;
  static constexpr s32 exponent_bits = 8;
  static constexpr s32 exponent_bias = 127;
  static constexpr s32 kappa = 1;
  static constexpr u32 big_divisor = 100;
  static constexpr u32 small_divisor = 10;
  static constexpr s32 shorter_interval_tie_exponent = -35;
  static cache_entry cache(s32 k) { return float_cache_pow10(k); }
  static mul_result compute_mul(carrier u, cache_entry c) { return float_compute_mul(u, c); }
  static carrier compute_delta(cache_entry c, s32 beta) { return float_compute_delta(c, beta); }
  static parity_result compute_mul_parity(carrier two_f, cache_entry c, s32 beta) {
    return float_compute_mul_parity(two_f, c, beta);
  }
  static carrier left_endpoint(cache_entry c, s32 beta) { return float_compute_left_endpoint_for_shorter_interval(c, beta); }
  static carrier right_endpoint(cache_entry c, s32 beta) { return float_compute_right_endpoint_for_shorter_interval(c, beta); }
  static carrier round_up(cache_entry c, s32 beta) { return float_compute_round_up_for_shorter_interval(c, beta); }
  static carrier divide_by_big_divisor(carrier n) { return divide_by_pow10_2(n); }
  static bool check_divisibility_and_divide_by_small_divisor(u32 *n) { return check_divisibility_and_divide_by_pow10_1(n); }
};

struct double_format {
  typedef u64 carrier;
  typedef uint128 cache_entry;
  typedef double_mul_result mul_result;
  static constexpr s32 significand_bits = 52;
  static constexpr s32 exponent_bits = 11;
  static constexpr s32 exponent_bias = 1023;
  static constexpr s32 kappa = 2;
  static constexpr u32 big_divisor = 1000;
  static constexpr u32 small_divisor = 100;
  static constexpr s32 shorter_interval_tie_exponent = -77;
  static cache_entry cache(s32 k) { return double_cache_pow10(k); }
  static mul_result compute_mul(carrier u, cache_entry c) { return double_compute_mul(u, c); }
  static carrier compute_delta(cache_entry c, s32 beta) { return double_compute_delta(c, beta); }
  static parity_result compute_mul_parity(carrier two_f, cache_entry c, s32 beta) {
    return double_compute_mul_parity(two_f, c, beta);
  }
  static carrier left_endpoint(cache_entry c, s32 beta) { return double_compute_left_endpoint_for_shorter_interval(c, beta); }
  static carrier right_endpoint(cache_entry c, s32 beta) { return double_compute_right_endpoint_for_shorter_interval(c, beta); }
  static carrier round_up(cache_entry c, s32 beta) { return double_compute_round_up_for_shorter_interval(c, beta); }
  static carrier divide_by_big_divisor(carrier n) { return divide_by_pow10_3(n); }
  static bool check_divisibility_and_divide_by_small_divisor(u32 *n) { return check_divisibility_and_divide_by_pow10_2(n); }
};

// ---- Policies ----------------------------------------------------------------------------

struct rounding_interval {
  bool include_left;
  bool include_right;
};

enum interval_case : u32 { case_nearest, case_left_closed, case_right_closed };

struct rounding_choice {
  interval_case kind;
  rounding_interval interval;          // for case_nearest
  rounding_interval shorter_interval;  // for case_nearest at a power of two
};

// Which decimals read back to the value, from the rounding selection of the mode word; two_fc
// odd means fc is odd (the hidden bit is even).
inline rounding_choice float_rounding_interval(u32 rounding, bool fc_even, bool negative) {
  switch (rounding) {
  case float_round_nearest_to_even:
  case float_round_nearest_to_even_static_boundary:
    return {case_nearest, {fc_even, fc_even}, {true, true}};
  case float_round_nearest_to_odd:
  case float_round_nearest_to_odd_static_boundary:
    return {case_nearest, {!fc_even, !fc_even}, {false, false}};
  case float_round_nearest_toward_plus_infinity:
  case float_round_nearest_toward_plus_infinity_static_boundary:
    return {case_nearest, {!negative, negative}, {!negative, negative}};
  case float_round_nearest_toward_minus_infinity:
  case float_round_nearest_toward_minus_infinity_static_boundary:
    return {case_nearest, {negative, !negative}, {negative, !negative}};
  case float_round_nearest_toward_zero:
    return {case_nearest, {false, true}, {false, true}};
  case float_round_nearest_away_from_zero:
    return {case_nearest, {true, false}, {true, false}};
  case float_round_toward_plus_infinity:
    return {negative ? case_left_closed : case_right_closed, {}, {}};
  case float_round_toward_minus_infinity:
    return {negative ? case_right_closed : case_left_closed, {}, {}};
  case float_round_toward_zero:
    return {case_left_closed, {}, {}};
  case float_round_away_from_zero:
    return {case_right_closed, {}, {}};
  }
  invariant(!"unknown rounding selection in the float mode word");
  return {case_nearest, {fc_even, fc_even}, {true, true}};
}

// At an exact tie between two decimals, whether to take the lower one.
template <class C>
inline bool float_rounding_prefer_round_down(C significand, u32 tie) {
  switch (tie) {
  case float_tie_to_even: return significand % 2 != 0;
  case float_tie_to_odd: return significand % 2 == 0;
  case float_tie_toward_zero: return true;
  default: return false;  // to the larger digit
  }
}

template <class C>
struct decimal_result {
  C significand;
  s32 exponent;
  bool may_have_trailing_zeros;
};

// ---- The four cases ----------------------------------------------------------------------

// Round to nearest: the interval runs between the midpoints to both neighbours.
template <class F>
decimal_result<typename F::carrier> to_decimal_nearest(typename F::carrier two_fc, s32 e, rounding_interval interval,
                                                        u32 tie) {
  typedef typename F::carrier C;
  s32 minus_k = floor_log10_pow2(e) - F::kappa;
  typename F::cache_entry cache = F::cache(-minus_k);
  s32 beta = e + floor_log2_pow10(-minus_k);

  // 10^kappa <= deltai < 10^(kappa+1), so the interval holds at most one multiple of the big
  // divisor: when there is one, it is the shortest decimal.
  C deltai = F::compute_delta(cache, beta);
  typename F::mul_result z = F::compute_mul((C)((two_fc | 1) << beta), cache);
  C significand = F::divide_by_big_divisor(z.integer_part);
  u32 r = (u32)(z.integer_part - F::big_divisor * significand);
  u32 dist;
  bool approx_y_parity, divisible;

  if (r < deltai) {
    // The candidate is the right endpoint itself, which may be excluded.
    if (r == 0 && z.is_integer && !interval.include_right &&
        product_is_integer<C>((C)(two_fc | 1), e - 1, -minus_k)) {
      significand--;
      r = F::big_divisor;
      goto small_divisor;
    }
  } else if (r > deltai) {
    goto small_divisor;
  } else {
    // r == deltai: the candidate lies within one unit of the left endpoint; its floor's parity
    // says on which side (the candidate is even).
    parity_result x = F::compute_mul_parity((C)(two_fc - 1), cache, beta);
    bool x_is_integer = x.is_integer && product_is_integer<C>((C)(two_fc - 1), e - 1, -minus_k);
    if (!(x.parity || (x_is_integer && interval.include_left))) goto small_divisor;
  }
  return {significand, minus_k + F::kappa + 1, true};

small_divisor:
  // One digit more: the multiple of 10^kappa nearest to y. dist approximates y's offset from
  // the candidate plus half a step; only when it lands on a step boundary is the exact parity
  // of y needed to tell below from above and to spot an exact tie.
  significand *= 10;
  dist = r - (u32)(deltai / 2) + F::small_divisor / 2;
  approx_y_parity = ((dist ^ (F::small_divisor / 2)) & 1) != 0;
  divisible = F::check_divisibility_and_divide_by_small_divisor(&dist);
  significand += dist;
  if (divisible) {
    parity_result y = F::compute_mul_parity(two_fc, cache, beta);
    if (y.parity != approx_y_parity) {
      significand--;
    } else if (y.is_integer && product_is_integer<C>(two_fc, e - 1, -minus_k) &&
               float_rounding_prefer_round_down(significand, tie)) {
      significand--;
    }
  }
  return {significand, minus_k + F::kappa, false};
}

// Round to nearest at a power of two (not the smallest normal exponent): the lower neighbour is
// half as far, so the interval is asymmetric and the search uses the endpoints directly.
template <class F>
decimal_result<typename F::carrier> to_decimal_shorter(s32 e, rounding_interval interval, u32 tie) {
  typedef typename F::carrier C;
  s32 minus_k = floor_log10_pow2_minus_log10_4_over_3(e);
  s32 beta = e + floor_log2_pow10(-minus_k);
  typename F::cache_entry cache = F::cache(-minus_k);

  C xi = F::left_endpoint(cache, beta);
  C zi = F::right_endpoint(cache, beta);
  // The right endpoint is an integer exactly for e in [0, 3], the left one for e in [2, 3]: the
  // odd factors 2^(p+1) + 1 and 2^(p+2) - 1 are not multiples of 5 in either format.
  if (!interval.include_right && e >= 0 && e <= 3) zi--;
  if (!interval.include_left || !(e >= 2 && e <= 3)) xi++;

  C significand = zi / 10;
  if (significand * 10 >= xi) return {significand, minus_k + 1, true};

  significand = F::round_up(cache, beta);
  // y is exactly halfway between two decimals only at this one exponent.
  if (float_rounding_prefer_round_down(significand, tie) && e == F::shorter_interval_tie_exponent) {
    significand--;
  } else if (significand < xi) {
    significand++;
  }
  return {significand, minus_k, false};
}

// Directed rounding whose decimals lie in [value, next value): the smallest multiple of the
// divisor at or above x.
template <class F>
decimal_result<typename F::carrier> to_decimal_left_closed(typename F::carrier two_fc, s32 e) {
  typedef typename F::carrier C;
  s32 minus_k = floor_log10_pow2(e) - F::kappa;
  typename F::cache_entry cache = F::cache(-minus_k);
  s32 beta = e + floor_log2_pow10(-minus_k);

  C deltai = F::compute_delta(cache, beta);
  typename F::mul_result x = F::compute_mul((C)(two_fc << beta), cache);
  bool x_is_integer = x.is_integer && product_is_integer<C>(two_fc, e - 1, -minus_k);
  C xi = x.integer_part + (x_is_integer ? 0 : 1);

  C significand = F::divide_by_big_divisor(xi);
  u32 r = (u32)(xi - F::big_divisor * significand);
  if (r != 0) {
    significand++;
    r = F::big_divisor - r;
  }
  if (r > deltai) goto small_divisor;
  if (r == deltai) {
    // The candidate (even) is within one unit of the excluded right end z.
    parity_result z = F::compute_mul_parity((C)(two_fc + 2), cache, beta);
    bool z_is_integer = z.is_integer && product_is_integer<C>((C)(two_fc + 2), e - 1, -minus_k);
    if (z.parity || z_is_integer) goto small_divisor;
  }
  return {significand, minus_k + F::kappa + 1, true};

small_divisor:
  significand = significand * 10 - r / F::small_divisor;
  return {significand, minus_k + F::kappa, false};
}

// Directed rounding whose decimals lie in (previous value, value]: the largest multiple of the
// divisor at or below z. At a power of two the previous value is half as far.
template <class F>
decimal_result<typename F::carrier> to_decimal_right_closed(typename F::carrier two_fc, s32 e, bool shorter) {
  typedef typename F::carrier C;
  s32 minus_k = floor_log10_pow2(e - (shorter ? 1 : 0)) - F::kappa;
  typename F::cache_entry cache = F::cache(-minus_k);
  s32 beta = e + floor_log2_pow10(-minus_k);

  C deltai = shorter ? F::compute_delta(cache, beta - 1) : F::compute_delta(cache, beta);
  C zi = F::compute_mul((C)(two_fc << beta), cache).integer_part;

  C significand = F::divide_by_big_divisor(zi);
  u32 r = (u32)(zi - F::big_divisor * significand);
  if (r > deltai) goto small_divisor;
  if (r == deltai) {
    // The candidate (even) is within one unit of the excluded left end x.
    if (!F::compute_mul_parity((C)(two_fc - (shorter ? 1 : 2)), cache, beta).parity) goto small_divisor;
  }
  return {significand, minus_k + F::kappa + 1, true};

small_divisor:
  significand = significand * 10 + r / F::small_divisor;
  return {significand, minus_k + F::kappa, false};
}

template <class F>
decimal_result<typename F::carrier> to_decimal(typename F::carrier bits, u32 mode, bool *negative) {
  typedef typename F::carrier C;
  constexpr s32 p = F::significand_bits;
  constexpr u32 exponent_all_ones = (1u << F::exponent_bits) - 1;
  C significand_bits = bits & (((C)1 << p) - 1);
  u32 exponent_bits = (u32)(bits >> p) & exponent_all_ones;
  *negative = (bits >> (sizeof(C) * 8 - 1)) != 0;
  invariant(exponent_bits != exponent_all_ones);             // finite
  invariant(exponent_bits != 0 || significand_bits != 0);    // not zero

  C two_fc;
  s32 e;
  if (exponent_bits != 0) {
    e = (s32)exponent_bits - F::exponent_bias - p;
    two_fc = (significand_bits | ((C)1 << p)) << 1;
  } else {
    e = 1 - F::exponent_bias - p;
    two_fc = significand_bits << 1;
  }
  // At the smallest normal exponent both neighbours are equally far.
  bool shorter = significand_bits == 0 && exponent_bits > 1;
  bool fc_even = (significand_bits & 1) == 0;
  u32 tie = mode & float_tie_mask;
  invariant(tie == float_tie_to_even || tie == float_tie_to_larger || tie == float_tie_to_odd ||
            tie == float_tie_away_from_zero || tie == float_tie_toward_zero);

  u32 rounding = mode & float_round_mask;
  if (rounding == float_round_nearest_to_even) {
    // The only selection the program uses, kept free of the general dispatch.
    if (shorter) return to_decimal_shorter<F>(e, {true, true}, tie);
    return to_decimal_nearest<F>(two_fc, e, {fc_even, fc_even}, tie);
  }
  rounding_choice choice = float_rounding_interval(rounding, fc_even, *negative);
  switch (choice.kind) {
  case case_left_closed: return to_decimal_left_closed<F>(two_fc, e);
  case case_right_closed: return to_decimal_right_closed<F>(two_fc, e, shorter);
  case case_nearest: break;
  }
  if (shorter) return to_decimal_shorter<F>(e, choice.shorter_interval, tie);
  return to_decimal_nearest<F>(two_fc, e, choice.interval, tie);
}

template <class D, class C>
inline void float_apply_trailing_zero_policy(D *out, decimal_result<C> r, u32 mode) {
  u32 policy = mode & float_mode_trailing_mask;
  invariant(policy != float_mode_trailing_mask);
  out->has_trailing_zeros = 0;
  if (policy == float_mode_remove_trailing_zeros) {
    if (r.may_have_trailing_zeros) {
      if constexpr (sizeof(C) == 4) {
        r.exponent += remove_trailing_zeros_u32(&r.significand);
      } else {
        r.exponent += remove_trailing_zeros_u64(&r.significand);
      }
    }
  } else if (policy == float_mode_report_trailing_zeros) {
    out->has_trailing_zeros = r.significand % 10 == 0;
  }
  out->significand = r.significand;
  out->exponent = r.exponent;
}

}  // namespace

float_decimal float_to_decimal(f32 value, u32 mode) {
  u32 bits;
  memcpy(&bits, &value, 4);
  bool negative;
  decimal_result<u32> r = to_decimal<float_format>(bits, mode, &negative);
  float_decimal out;
  out.is_negative = negative;
  float_apply_trailing_zero_policy(&out, r, mode);
  return out;
}

double_decimal double_to_decimal(f64 value, u32 mode) {
  u64 bits;
  memcpy(&bits, &value, 8);
  bool negative;
  decimal_result<u64> r = to_decimal<double_format>(bits, mode, &negative);
  double_decimal out;
  out.is_negative = negative;
  float_apply_trailing_zero_policy(&out, r, mode);
  return out;
}

// ---- Layout ------------------------------------------------------------------------------

namespace {

const char digit_pairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline void write_pair(u8 *at, u32 pair) { memcpy(at, digit_pairs + 2 * pair, 2); }

// Exactly 8 digits of v < 10^8 at `at`, as four independent pairs.
inline void write_8_digits(u8 *at, u32 v) {
  u32 high = v / 10000;
  u32 low = v - high * 10000;
  u32 h1 = high / 100, l1 = low / 100;
  write_pair(at, h1);
  write_pair(at + 2, high - h1 * 100);
  write_pair(at + 4, l1);
  write_pair(at + 6, low - l1 * 100);
}

// Writes the digits of v so they end just before `end`; returns where they begin.
inline u8 *write_u64_backward(u8 *end, u64 v) {
  while (v >= 100000000) {
    u64 q = v / 100000000;
    end -= 8;
    write_8_digits(end, (u32)(v - q * 100000000));
    v = q;
  }
  u32 w = (u32)v;
  while (w >= 100) {
    u32 q = w / 100;
    end -= 2;
    write_pair(end, w - q * 100);
    w = q;
  }
  if (w >= 10) {
    end -= 2;
    write_pair(end, w);
  } else {
    *--end = (u8)('0' + w);
  }
  return end;
}

const u64 powers_of_10[20] = {1ull,
                               10ull,
                               100ull,
                               1000ull,
                               10000ull,
                               100000ull,
                               1000000ull,
                               10000000ull,
                               100000000ull,
                               1000000000ull,
                               10000000000ull,
                               100000000000ull,
                               1000000000000ull,
                               10000000000000ull,
                               100000000000000ull,
                               1000000000000000ull,
                               10000000000000000ull,
                               100000000000000000ull,
                               1000000000000000000ull,
                               10000000000000000000ull};

// 1233 / 4096 is just above log10(2): the bit length gives the digit count or one less. Zero
// is written as one digit "0".
inline s32 decimal_digit_count(u64 v) {
  u32 bits = 64 - (u32)__builtin_clzll(v | 1);
  u32 d = (bits * 1233) >> 12;
  return (s32)(d + (v >= powers_of_10[d])) | (v == 0);
}

// All 20 digits of v with leading zeros at t[0 .. 20), without branches; returns the count of
// significant digits, which end at t + 20.
inline s32 write_20_digits(u8 *t, u64 v) {
  u64 top = v / 10000000000000000ull;  // below 1845
  u64 rest = v - top * 10000000000000000ull;
  u32 middle = (u32)(rest / 100000000);
  u32 low = (u32)(rest - (u64)middle * 100000000);
  u32 top_high = (u32)top / 100;
  write_pair(t, top_high);
  write_pair(t + 2, (u32)top - top_high * 100);
  write_8_digits(t + 4, middle);
  write_8_digits(t + 12, low);
  return decimal_digit_count(v);
}

// The unaligned number text into out; returns its length. out must have DOUBLE_TEXT_MAX bytes
// of room: digits move as fixed 20-byte copies, and bytes past the text's end are scratch.
u64 write_decimal(u8 *out, u64 significand, s32 exponent, bool negative, u32 flags) {
  u8 t[48];
  s32 d = write_20_digits(t, significand);
  const u8 *first = t + 20 - d;
  u8 *p = out;
  if (negative) *p++ = '-';
  if (flags & format_scientific) {
    p[0] = first[0];
    p[1] = '.';
    memcpy(p + 2, first + 1, 20);
    if (d > 1) {
      p += d + 1;
    } else {
      p[2] = '0';
      p += 3;
    }
    s32 power = exponent + d - 1;
    if (power != 0) {
      *p++ = 'e';
      if (power < 0) {
        *p++ = '-';
        power = -power;
      }
      if (power < 10) {
        *p++ = (u8)('0' + power);
      } else if (power < 100) {
        write_pair(p, (u32)power);
        p += 2;
      } else if (power < 1000) {
        *p++ = (u8)('0' + power / 100);
        write_pair(p, (u32)(power % 100));
        p += 2;
      } else {
        // Only buffer_push_decimal's own callers reach four digits; conversions stop at 324.
        write_pair(p, (u32)(power / 100));
        write_pair(p + 2, (u32)(power % 100));
        p += 4;
      }
    }
  } else if (exponent >= 0) {
    memcpy(p, first, 20);
    p += d;
    memset(p, '0', (u64)exponent);
    p += exponent;
    *p++ = '.';
    *p++ = '0';
  } else if (-exponent < d) {
    s32 whole = d + exponent;
    memcpy(p, first, 20);
    memcpy(p + whole + 1, first + whole, 20);
    p[whole] = '.';
    p += d + 1;
  } else {
    *p++ = '0';
    *p++ = '.';
    memset(p, '0', (u64)(-exponent - d));
    p += -exponent - d;
    memcpy(p, first, 20);
    p += d;
  }
  return (u64)(p - out);
}

// The number text of a value of either width: specials, zero, or the shortest decimal.
template <class T>
u64 write_value(u8 *out, T value, u32 flags) {
  if (value == 0) {
    if (__builtin_signbit(value)) {
      memcpy(out, "-0.0", 4);
      return 4;
    }
    memcpy(out, "0.0", 3);
    return 3;
  }
  if (__builtin_isinf(value)) {
    if (value < 0) {
      memcpy(out, "-infinity", 9);
    } else {
      memcpy(out, "+infinity", 9);
    }
    return 9;
  }
  if (__builtin_isnan(value)) {
    memcpy(out, __builtin_signbit(value) ? "-NaN" : "+NaN", 4);
    return 4;
  }
  if constexpr (sizeof(T) == 4) {
    float_decimal r = float_to_decimal(value, 0);
    return write_decimal(out, r.significand, r.exponent, r.is_negative, flags);
  } else {
    double_decimal r = double_to_decimal(value, 0);
    return write_decimal(out, r.significand, r.exponent, r.is_negative, flags);
  }
}

// A piece of the aligned text: pushed whole or dropped, as each push of an arena is.
inline void push_piece(buffer *arena, const u8 *bytes, u64 n) {
  if (n == 0) return;
  u8 *p = (u8 *)buffer_push(arena, n, 1);
  if (p) memcpy(p, bytes, n);
}
// Once one byte does not fit, none of the rest will.
inline void push_repeated(buffer *arena, u8 byte, u64 count) {
  for (u64 i = 0; i < count; i++) {
    u8 *p = (u8 *)buffer_push(arena, 1, 1);
    if (!p) return;
    *p = byte;
  }
}

template <class T>
buffer push_value(buffer *arena, T value, u32 width, u8 pad, u32 fraction_digits, u32 flags) {
  // Plain text needs no alignment: write it straight into the arena when the longest text fits.
  constexpr u64 max = sizeof(T) == 4 ? FLOAT_TEXT_MAX : DOUBLE_TEXT_MAX;
  if (width == 0 && fraction_digits == 0 && !(flags & format_always_sign) && arena->used <= arena->size &&
      arena->size - arena->used >= max) {
    u8 *out = arena->data + arena->used;
    u64 n = write_value(out, value, flags);
    arena->used += n;
    return buffer_make(n, n, out);
  }
  u8 text[max];
  u64 n = write_value(text, value, flags);
  return buffer_push_number_aligned(arena, buffer_make(n, n, text), width, pad, fraction_digits, flags);
}

}  // namespace

void buffer_push_decimal(buffer *arena, u64 significand, s32 exponent, bool negative, u32 flags) {
  // Exponents of the conversions keep the text within DOUBLE_TEXT_MAX; others are refused.
  bool fits = exponent > -(s32)DOUBLE_TEXT_MAX + 30 && exponent < (s32)DOUBLE_TEXT_MAX - 30;
  invariant(fits);
  if (!fits) return;
  u8 text[DOUBLE_TEXT_MAX];
  u64 n = write_decimal(text, significand, exponent, negative, flags);
  push_piece(arena, text, n);
}

buffer buffer_push_number_aligned(buffer *arena, buffer number, u32 width, u8 pad, u32 fraction_digits,
                                  u32 flags) {
  invariant(number.used != 0);
  const u8 *p = number.data;
  const u8 *end = p + number.used;
  u8 sign = 0;
  if (*p == '-' || *p == '+') {
    sign = *p++;
  } else if (flags & format_always_sign) {
    sign = '+';
  }
  const u8 *dot = (const u8 *)memchr(p, '.', (u64)(end - p));
  const u8 *integer_end = dot ? dot : end;
  u64 integer_length = (u64)(integer_end - p);
  u64 sign_width = sign ? 1 : 0;
  u64 pads = width > integer_length + sign_width ? width - integer_length - sign_width : 0;

  // The fraction as written and what fills it up to fraction_digits.
  const u8 *fraction = dot ? dot + 1 : end;
  u64 fraction_length = (u64)(end - fraction);
  u64 fraction_written = fraction_length;
  u8 fill = '0';
  u64 fill_count = 0;
  if (dot) {
    if (memchr(fraction, 'e', fraction_length)) {
      fill = ' ';
    } else if (fraction_digits != 0 && fraction_digits < fraction_length) {
      fraction_written = fraction_digits;  // cut, not rounded
    }
    if (fraction_digits > fraction_written) fill_count = fraction_digits - fraction_written;
  } else if (fraction_digits != 0) {
    fill = ' ';
    fill_count = (u64)fraction_digits + 1;  // line up with numbers that have a point
  }

  u64 start = arena->used;
  u64 total = sign_width + pads + integer_length + (dot ? 1 + fraction_written : 0) + fill_count;
  if (arena->used <= arena->size && arena->size - arena->used >= total) {
    u8 *out = arena->data + arena->used;
    u8 *q = out;
    if (sign && (flags & format_sign_first)) *q++ = sign;
    memset(q, pad, pads);
    q += pads;
    if (sign && !(flags & format_sign_first)) *q++ = sign;
    memcpy(q, p, integer_length);
    q += integer_length;
    if (dot) {
      *q++ = '.';
      memcpy(q, fraction, fraction_written);
      q += fraction_written;
    }
    memset(q, fill, fill_count);
    arena->used += total;
    return buffer_make(total, total, out);
  }

  // A full arena: each piece is pushed on its own and dropped when it does not fit.
  if (sign && (flags & format_sign_first)) push_piece(arena, &sign, 1);
  push_repeated(arena, pad, pads);
  if (sign && !(flags & format_sign_first)) push_piece(arena, &sign, 1);
  push_piece(arena, p, integer_length);
  if (dot) {
    u8 point = '.';
    push_piece(arena, &point, 1);
    push_piece(arena, fraction, fraction_written);
  }
  push_repeated(arena, fill, fill_count);
  u64 pushed = arena->used - start;
  return buffer_make(pushed, pushed, arena->data + start);
}

buffer buffer_push_float(buffer *arena, f32 value, u32 width, u8 pad, u32 fraction_digits, u32 flags) {
  return push_value(arena, value, width, pad, fraction_digits, flags);
}

buffer buffer_push_double(buffer *arena, f64 value, u32 width, u8 pad, u32 fraction_digits, u32 flags) {
  return push_value(arena, value, width, pad, fraction_digits, flags);
}

u64 format_double(u8 *destination, u64 size, f64 value, u32 width, u8 pad, u32 fraction_digits, u32 flags) {
  buffer arena = buffer_make(size, 0, destination);
  buffer_push_double(&arena, value, width, pad, fraction_digits, flags);
  return arena.used;
}

void buffer_view_u64_digits(buffer *b, u64 value) {
  invariant(b->used <= b->size && b->size - b->used >= 20);
  u8 *limit = b->data + b->size;
  u8 *first = write_u64_backward(limit, value);
  u64 n = (u64)(limit - first);
  *b = buffer_make(n, n, first);
}

// ---- Byte sizes --------------------------------------------------------------------------

u64 format_byte_size(u64 count, u8 *destination, u64 size) {
  buffer arena = buffer_make(size, 0, destination);
  const char *unit;
  if (count < 1024) {
    u8 digits[20];
    u8 *first = write_u64_backward(digits + 20, count);
    push_piece(&arena, first, (u64)(digits + 20 - first));
    unit = "o";
  } else {
    f64 divisor;
    if (count >= (1ull << 40)) {
      unit = "Tio";
      divisor = (f64)(1ull << 40);
    } else if (count >= (1ull << 30)) {
      unit = "Gio";
      divisor = (f64)(1ull << 30);
    } else if (count < (1ull << 20)) {
      unit = "Kio";
      divisor = 1024.0;
    } else {
      unit = "Mio";
      divisor = (f64)(1ull << 20);
    }
    buffer_push_double(&arena, (f64)count / divisor, 0, ' ', 3, 0);
  }
  push_piece(&arena, (const u8 *)" ", 1);
  push_piece(&arena, (const u8 *)unit, strlen(unit));
  return arena.used;
}

buffer byte_size_to_string(u64 count, buffer *arena) {
  buffer space = buffer_carve(arena, BYTE_SIZE_TEXT_MAX, 1);
  if (!space.data) return buffer{0, 0, nullptr};
  u64 n = format_byte_size(count, space.data, space.size);
  // The carve was the arena's last piece, so its unused tail goes straight back.
  arena->used -= BYTE_SIZE_TEXT_MAX - n;
  return buffer_make(n, n, space.data);
}
