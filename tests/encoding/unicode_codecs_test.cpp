#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "encoding/encoding.h"
#include "tests/encoding/utf8_model.h"

namespace {

struct decoded {
  u32 code_point;
  u32 count;
  u32 error;
};

decoded utf8(std::vector<u8> bytes) {
  decoded d{};
  u8 count = 0;
  utf8_decode(bytes.data(), bytes.data() + bytes.size(), &d.code_point, &count, &d.error);
  d.count = count;
  return d;
}

}  // namespace

TEST(utf8, every_scalar_round_trips_and_others_are_refused) {
  for (u32 cp = 0; cp <= 0x110001; cp++) {
    u8 bytes[4];
    u8 count = 0;
    u32 error = 0;
    utf8_encode(bytes, bytes + 4, cp, &count, &error);
    if (!codepoint_is_scalar(cp)) {
      ASSERT_EQ(error, encoding_error_not_scalar) << cp;
      ASSERT_EQ(count, 0);
      continue;
    }
    ASSERT_EQ(error, 0u);
    u8 measured = 0;
    utf8_encode(nullptr, nullptr, cp, &measured, &error);
    ASSERT_EQ(measured, count);
    // One byte too little room writes nothing.
    u8 small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    u8 small_count = 9;
    utf8_encode(small, small + count - 1, cp, &small_count, &error);
    ASSERT_EQ(error, encoding_error_output_too_small);
    ASSERT_EQ(small[0], 0xAA);
    error = 0;
    decoded d = utf8(std::vector<u8>(bytes, bytes + count));
    ASSERT_EQ(d.error, 0u);
    ASSERT_EQ(d.code_point, cp);
    ASSERT_EQ(d.count, count);
  }
}

TEST(utf8, boundary_forms) {
  struct { u32 cp; std::vector<u8> bytes; } cases[] = {
    {0x7FF, {0xDF, 0xBF}}, {0x800, {0xE0, 0xA0, 0x80}}, {0xFFFF, {0xEF, 0xBF, 0xBF}},
    {0x10000, {0xF0, 0x90, 0x80, 0x80}}, {0x10FFFF, {0xF4, 0x8F, 0xBF, 0xBF}}};
  for (auto &c : cases) {
    u8 out[4];
    u8 count = 0;
    u32 error = 0;
    utf8_encode(out, out + 4, c.cp, &count, &error);
    EXPECT_EQ(std::vector<u8>(out, out + count), c.bytes);
  }
}

TEST(utf8, errors_and_their_counts) {
  struct { std::vector<u8> in; u32 error; u32 count; } cases[] = {
    {{}, encoding_error_end_of_input, 0},
    {{0xE0, 0x80, 0x80}, encoding_error_utf8_bad_continuation, 1},
    {{0xED, 0xA0, 0x80}, encoding_error_utf8_bad_continuation, 1},
    {{0xF4, 0x90, 0x80, 0x80}, encoding_error_utf8_bad_continuation, 1},
    {{0xF0, 0x8F, 0x80, 0x80}, encoding_error_utf8_bad_continuation, 1},
    {{0xE2, 0x82, 0x41}, encoding_error_utf8_bad_continuation, 2},
    {{0xC0, 0x80}, encoding_error_utf8_bad_lead, 1},
    {{0xC1, 0xBF}, encoding_error_utf8_bad_lead, 1},
    {{0x80}, encoding_error_utf8_bad_lead, 1},
    {{0xF5, 0x80, 0x80, 0x80}, encoding_error_utf8_bad_lead, 1},
    {{0xFF}, encoding_error_utf8_bad_lead, 1},
    // Truncated: the count never runs past the input.
    {{0xE2, 0x82}, encoding_error_truncated, 2},
    {{0xF0, 0x9F, 0x98}, encoding_error_truncated, 3},
    {{0xC3}, encoding_error_truncated, 1},
  };
  for (auto &c : cases) {
    decoded d = utf8(c.in);
    EXPECT_EQ(d.error, c.error);
    EXPECT_EQ(d.count, c.count);
    EXPECT_EQ(d.code_point, encoding_no_code_point);
  }
}

TEST(utf8, skipping_by_counts_matches_the_streaming_decoder_on_random_bytes) {
  std::mt19937 rng(7);
  // Bytes drawn mostly from the interesting ones so that near-valid sequences are common.
  const u8 pool[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xDF,
                     0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF3, 0xF4, 0xF5, 0xFF};
  for (int round = 0; round < 20000; round++) {
    std::vector<u8> in(rng() % 12);
    for (u8 &b : in) b = pool[rng() % sizeof(pool)];
    std::vector<u32> got;
    const u8 *at = in.data(), *end = in.data() + in.size();
    while (true) {
      u32 cp, error = 0;
      u8 count;
      utf8_decode(at, end, &cp, &count, &error);
      if (error == encoding_error_end_of_input) break;
      ASSERT_GE(count, 1);
      ASSERT_LE(count, end - at);
      got.push_back(error ? 0xFFFD : cp);
      at += count;
    }
    ASSERT_EQ(got, utf8_model(in));
  }
}

TEST(utf16, every_scalar_round_trips_in_both_byte_orders) {
  for (u32 big = 0; big < 2; big++) {
    for (u32 cp = 0; cp <= 0x10FFFF; cp++) {
      u8 out[4];
      u8 units = 0;
      u32 error = 0;
      utf16_encode(out, out + 4, cp, &units, big, &error);
      if (!codepoint_is_scalar(cp)) {
        ASSERT_EQ(error, encoding_error_not_scalar);
        continue;
      }
      u32 back = 0;
      u8 back_units = 0;
      utf16_decode(out, out + 2 * units, &back, &back_units, big, &error);
      ASSERT_EQ(error, 0u);
      ASSERT_EQ(back, cp);
      ASSERT_EQ(back_units, units);
    }
  }
}

TEST(utf16, surrogate_pairs_and_their_errors) {
  auto run = [](std::vector<u8> in, u32 big, u32 *cp, u8 *count) {
    u32 error = 0;
    utf16_decode(in.data(), in.data() + in.size(), cp, count, big, &error);
    return error;
  };
  u32 cp;
  u8 count;
  EXPECT_EQ(run({0x3D, 0xD8, 0x02, 0xDE}, 0, &cp, &count), 0u);
  EXPECT_EQ(cp, 0x1F602u);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(run({0xD8, 0x3D, 0xDE, 0x02}, 1, &cp, &count), 0u);
  EXPECT_EQ(cp, 0x1F602u);
  EXPECT_EQ(run({0x00, 0xDC, 0x41, 0x00}, 0, &cp, &count), encoding_error_utf16_unpaired_surrogate);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(cp, encoding_no_code_point);
  // A high surrogate then an ordinary unit: only the surrogate is consumed.
  EXPECT_EQ(run({0x00, 0xD8, 0x41, 0x00}, 0, &cp, &count), encoding_error_utf16_unpaired_surrogate);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(run({0x00, 0xD8, 0x41}, 0, &cp, &count), encoding_error_truncated);
  EXPECT_EQ(run({0x41}, 0, &cp, &count), encoding_error_truncated);
  EXPECT_EQ(run({}, 0, &cp, &count), encoding_error_end_of_input);
  EXPECT_EQ(count, 0);
  u8 out[4];
  u32 error = 0;
  utf16_encode(out, out + 3, 0x1F602, &count, 1, &error);
  EXPECT_EQ(error, encoding_error_output_too_small);
  error = 0;
  utf16_encode(nullptr, nullptr, 0x1F602, &count, 1, &error);
  EXPECT_EQ(count, 2);
}

TEST(x_user_defined, every_byte_round_trips) {
  for (u32 b = 0; b < 256; b++) {
    u8 in = (u8)b, out = 0;
    u32 cp, error = 0;
    u8 count;
    x_user_defined_decode(&in, &in + 1, &cp, &count, &error);
    ASSERT_EQ(cp, b < 0x80 ? b : 0xF700 + b);
    x_user_defined_encode(&out, &out + 1, cp, &count, &error);
    ASSERT_EQ(error, 0u);
    ASSERT_EQ(out, in);
  }
  u8 out;
  u8 count;
  u32 error = 0;
  x_user_defined_encode(&out, &out + 1, 0xF77F, &count, &error);
  EXPECT_EQ(error, encoding_error_x_user_defined_encode);
  error = 0;
  x_user_defined_encode(&out, &out + 1, 0xD800, &count, &error);
  EXPECT_EQ(error, encoding_error_not_scalar);
}

TEST(replacement, refuses_once_per_flag_and_always_moves_on) {
  u8 in[3] = {1, 2, 3};
  u32 reported = 0, error = 0;
  u8 count;
  replacement_decode(in, in + 3, &count, &reported, &error);
  EXPECT_EQ(error, encoding_error_replacement_refused);
  EXPECT_EQ(count, 1);
  error = 0;
  replacement_decode(in + 1, in + 3, &count, &reported, &error);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(count, 1);
  replacement_decode(in + 3, in + 3, &count, &reported, &error);
  EXPECT_EQ(error, encoding_error_end_of_input);
}

TEST(codecs, a_set_error_word_makes_every_call_a_no_op) {
  u8 in[2] = {0x41, 0x42}, out[4] = {9, 9, 9, 9};
  u32 cp = 5, error = encoding_error_truncated;
  u8 count = 3;
  utf8_decode(in, in + 2, &cp, &count, &error);
  utf8_encode(out, out + 4, 0x41, &count, &error);
  utf16_decode(in, in + 2, &cp, &count, 0, &error);
  x_user_defined_encode(out, out + 4, 0x41, &count, &error);
  EXPECT_EQ(cp, 5u);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(out[0], 9);
  EXPECT_EQ(error, encoding_error_truncated);
}
