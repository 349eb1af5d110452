#include <gtest/gtest.h>

#include <set>

#include "cjk_test_util.h"

namespace {
decode_result big5(const std::vector<u8> &in, u32 *second) {
  decode_result r{};
  u8 count = 0;
  big5_decode(in.data(), in.data() + in.size(), &r.code_point, second, &count, &r.error);
  r.count = count;
  return r;
}
}  // namespace

// Every byte pair decodes as the index says; every encodable code point comes back from its
// bytes, and a code point is encodable exactly when it has a pointer from 5024 on.
TEST(big5, every_pair_decodes_and_every_encodable_code_point_round_trips) {
  std::set<u32> encodable;
  for (u32 lead = 0x81; lead <= 0xFE; lead++) {
    for (u32 trail = 0; trail <= 0xFF; trail++) {
      u32 second;
      decode_result d = big5({(u8)lead, (u8)trail}, &second);
      bool trail_ok = (trail >= 0x40 && trail <= 0x7E) || (trail >= 0xA1 && trail <= 0xFE);
      if (d.error) {
        ASSERT_EQ(d.error, encoding_error_big5_no_code_point);
        ASSERT_EQ(d.count, trail < 0x80 ? 1u : 2u);
        continue;
      }
      ASSERT_TRUE(trail_ok);
      ASSERT_EQ(d.count, 2u);
      u32 pointer = (lead - 0x81) * 157 + trail - (trail < 0x7F ? 0x40 : 0x62);
      if (second != encoding_no_code_point) continue;
      if (pointer >= 5024) encodable.insert(d.code_point);
    }
  }
  for (u32 cp : encodable) {
    u32 error, second;
    std::vector<u8> bytes = encode_with(big5_encode, cp, &error);
    ASSERT_EQ(error, 0u) << std::hex << cp;
    decode_result d = big5(bytes, &second);
    ASSERT_EQ(d.code_point, cp) << std::hex << cp;
  }
  u32 error;
  encode_with(big5_encode, 0x00CA, &error);  // only below 5024 (and in the pairs)
  EXPECT_EQ(error, encoding_error_big5_encode_no_pointer);
  encode_with(big5_encode, 0x4E00 - 1, &error);
  EXPECT_EQ(error, encoding_error_big5_encode_no_pointer);
}

TEST(big5, pairs_that_decode_to_two_code_points) {
  struct { u8 lead, trail; u32 first, second; } cases[] = {
    {0x88, 0x62, 0x00CA, 0x0304}, {0x88, 0x64, 0x00CA, 0x030C},
    {0x88, 0xA3, 0x00EA, 0x0304}, {0x88, 0xA5, 0x00EA, 0x030C}};
  for (auto &c : cases) {
    u32 second = 0;
    decode_result d = big5({c.lead, c.trail}, &second);
    EXPECT_EQ(d.error, 0u);
    EXPECT_EQ(d.count, 2u);
    EXPECT_EQ(d.code_point, c.first);
    EXPECT_EQ(second, c.second);
  }
  u32 second = 0;
  big5({0xA4, 0x40}, &second);
  EXPECT_EQ(second, encoding_no_code_point);
}

TEST(big5, known_sequences_and_errors) {
  u32 error, second;
  EXPECT_EQ(encode_with(big5_encode, 0x2550, &error), (std::vector<u8>{0xF9, 0xF9}));
  EXPECT_EQ(encode_with(big5_encode, 0x5341, &error), (std::vector<u8>{0xA4, 0x51}));
  EXPECT_EQ(encode_with(big5_encode, 0x4E00, &error), (std::vector<u8>{0xA4, 0x40}));
  // U+7BB8 has a Hong Kong pointer (2082) before its ordinary one (9081): the encoder never
  // takes the first, although its bytes would decode back just as well.
  EXPECT_EQ(encode_with(big5_encode, 0x7BB8, &error), (std::vector<u8>{0xBA, 0xE6}));
  // U+3003 has two pointers from 5024 on and is none of the six that take the last.
  EXPECT_EQ(big5_pointer(0x3003), 5104u);
  EXPECT_EQ(big5({0xA4, 0x40}, &second).code_point, 0x4E00u);
  struct { std::vector<u8> in; u32 error; u32 count; } cases[] = {
    {{0x80, 0x41}, encoding_error_big5_bad_lead, 1}, {{0xFF}, encoding_error_big5_bad_lead, 1},
    {{0xA4}, encoding_error_truncated, 1}, {{0xA4, 0x3F}, encoding_error_big5_no_code_point, 1},
    {{0xA4, 0x7F}, encoding_error_big5_no_code_point, 1},
    {{0xA4, 0xA0}, encoding_error_big5_no_code_point, 2},
    {{0xA4, 0xFF}, encoding_error_big5_no_code_point, 2},
    {{0x80 + 1, 0x40}, encoding_error_big5_no_code_point, 1},  // pointer 0, below the index
    {{}, encoding_error_end_of_input, 0}};
  for (auto &c : cases) {
    decode_result d = big5(c.in, &second);
    EXPECT_EQ(d.error, c.error) << testing::PrintToString(c.in);
    EXPECT_EQ(d.count, c.count) << testing::PrintToString(c.in);
  }
}

TEST(index_ranges, compress_and_expand_are_inverse_over_every_pointer) {
  const encoding_range ranges[] = {{3, 5}, {10, 11}, {20, 24}};
  u32 place = 0;
  for (u32 pointer = 0; pointer < 30; pointer++) {
    bool present = (pointer >= 3 && pointer < 5) || pointer == 10 || (pointer >= 20 && pointer < 24);
    u32 got = encoding_index_compress(pointer, ranges, 3);
    if (!present) {
      EXPECT_EQ(got, encoding_no_pointer) << pointer;
      continue;
    }
    EXPECT_EQ(got, place);
    EXPECT_EQ(encoding_index_expand(place, ranges, 3), pointer);
    place++;
  }
  EXPECT_EQ(encoding_index_expand(place, ranges, 3), encoding_no_pointer);
}
