#include <gtest/gtest.h>

#include "cjk_test_util.h"

namespace {
void gb18030_encode_only(u8 *b, u8 *e, u32 cp, u8 *count, u32 *error) {
  gb18030_encode(b, e, cp, count, 0, error);
}
}  // namespace

// Every scalar value encodes in gb18030 and decodes back; every GBK encoding is the gb18030 one
// except U+20AC, and GBK refuses exactly what needs four bytes.
TEST(gb18030, every_scalar_round_trips) {
  for (u32 cp = 0; cp <= 0x10FFFF; cp++) {
    if (!codepoint_is_scalar(cp)) continue;
    u32 error;
    std::vector<u8> bytes = encode_with(gb18030_encode_only, cp, &error);
    if (cp == 0xE5E5) {
      ASSERT_EQ(error, encoding_error_gb18030_encode_e5e5);
      continue;
    }
    ASSERT_EQ(error, 0u) << std::hex << cp;
    decode_result d = decode_with(gb18030_decode, bytes);
    ASSERT_EQ(d.error, 0u) << std::hex << cp;
    // Eighteen private-use code points keep two-byte forms that now decode to the vertical
    // forms and radicals; every other code point comes back.
    bool private_use = (cp >= 0xE78D && cp <= 0xE796) || cp == 0xE81E || cp == 0xE826 ||
                       cp == 0xE82B || cp == 0xE82C || cp == 0xE832 || cp == 0xE843 ||
                       cp == 0xE854 || cp == 0xE864;
    if (private_use) ASSERT_EQ(bytes.size(), 2u);
    else ASSERT_EQ(d.code_point, cp) << std::hex << cp;
    ASSERT_EQ(d.count, bytes.size());
    if (cp > 0xFFFF) continue;  // the linear search of GBK is slow; the BMP says it all
    std::vector<u8> gbk = encode_with(gbk_encode, cp, &error);
    if (cp == 0x20AC) ASSERT_EQ(gbk, std::vector<u8>{0x80});
    else if (bytes.size() == 4) ASSERT_EQ(error, encoding_error_gbk_encode_four_byte);
    else ASSERT_EQ(gbk, bytes);
  }
}

TEST(gb18030, known_sequences_and_range_ends) {
  struct { std::vector<u8> bytes; u32 cp; } cases[] = {
    {{0x81, 0x30, 0x81, 0x30}, 0x0080}, {{0x84, 0x31, 0xA4, 0x39}, 0xFFFF},
    {{0x90, 0x30, 0x81, 0x30}, 0x10000}, {{0xE3, 0x32, 0x9A, 0x35}, 0x10FFFF},
    {{0xA1, 0xA1}, 0x3000}, {{0xA2, 0xE3}, 0x20AC}, {{0x81, 0x35, 0xF4, 0x37}, 0xE7C7},
    {{0x80}, 0x20AC}, {{0x41}, 0x41}, {{0x81, 0x40}, 0x4E02}, {{0xFE, 0xFE}, 0xE4C5}};
  for (auto &c : cases) {
    decode_result d = decode_with(gb18030_decode, c.bytes);
    EXPECT_EQ(d.error, 0u);
    EXPECT_EQ(d.code_point, c.cp) << std::hex << c.cp;
    EXPECT_EQ(d.count, c.bytes.size());
  }
  u32 error;
  EXPECT_EQ(encode_with(gb18030_encode_only, 0x20AC, &error), (std::vector<u8>{0xA2, 0xE3}));
  EXPECT_EQ(encode_with(gbk_encode, 0x20AC, &error), (std::vector<u8>{0x80}));
  // The pointers just past each end of the four-byte ranges have no code point.
  EXPECT_EQ(gb18030_ranges_code_point(39419), 0xFFFFu);
  EXPECT_EQ(gb18030_ranges_code_point(39420), encoding_no_code_point);
  EXPECT_EQ(gb18030_ranges_code_point(188999), encoding_no_code_point);
  EXPECT_EQ(gb18030_ranges_code_point(189000), 0x10000u);
  EXPECT_EQ(gb18030_ranges_code_point(1237575), 0x10FFFFu);
  EXPECT_EQ(gb18030_ranges_code_point(1237576), encoding_no_code_point);
  EXPECT_EQ(gb18030_ranges_code_point(0), 0x80u);
}

TEST(gb18030, errors_at_every_byte_boundary) {
  struct { std::vector<u8> bytes; u32 error; u32 count; } cases[] = {
    {{}, encoding_error_end_of_input, 0},
    {{0xFF, 0x41}, encoding_error_gb18030_bad_first, 1},
    {{0x81}, encoding_error_truncated, 1},
    {{0x81, 0x30}, encoding_error_truncated, 2},
    {{0x81, 0x30, 0x81}, encoding_error_truncated, 3},
    {{0x81, 0x30, 0x80, 0x30}, encoding_error_gb18030_bad_third, 1},
    {{0x81, 0x30, 0xFF, 0x30}, encoding_error_gb18030_bad_third, 1},
    {{0x81, 0x30, 0x81, 0x2F}, encoding_error_gb18030_bad_fourth, 1},
    {{0x81, 0x30, 0x81, 0x3A}, encoding_error_gb18030_bad_fourth, 1},
    {{0x84, 0x31, 0xA5, 0x30}, encoding_error_gb18030_four_byte_no_code_point, 4},
    {{0xE3, 0x32, 0x9A, 0x36}, encoding_error_gb18030_four_byte_no_code_point, 4},
    {{0xFE, 0x39, 0xFE, 0x39}, encoding_error_gb18030_four_byte_no_code_point, 4},
    {{0x81, 0x3F}, encoding_error_gb18030_two_byte_no_code_point, 1},
    {{0x81, 0x7F}, encoding_error_gb18030_two_byte_no_code_point, 1},
    {{0x81, 0x2F}, encoding_error_gb18030_two_byte_no_code_point, 1},
    {{0x81, 0xFF}, encoding_error_gb18030_two_byte_no_code_point, 2},
  };
  for (auto &c : cases) {
    decode_result d = decode_with(gb18030_decode, c.bytes);
    EXPECT_EQ(d.error, c.error) << testing::PrintToString(c.bytes);
    EXPECT_EQ(d.count, c.count) << testing::PrintToString(c.bytes);
    EXPECT_EQ(d.code_point, encoding_no_code_point);
  }
  u8 out[4];
  u8 count = 7;
  u32 error = 0;
  gb18030_encode(out, out + 3, 0x10000, &count, 0, &error);
  EXPECT_EQ(error, encoding_error_output_too_small);
  EXPECT_EQ(count, 0);
  error = 0;
  gb18030_encode(out, out + 4, 0xDC00, &count, 0, &error);
  EXPECT_EQ(error, encoding_error_not_scalar);
}

TEST(gb18030, ranges_pointer_inverts_code_point_for_every_four_byte_pointer) {
  for (u32 pointer = 0; pointer <= 39419; pointer++) {
    u32 cp = gb18030_ranges_code_point(pointer);
    ASSERT_NE(cp, encoding_no_code_point);
    u32 back = gb18030_ranges_pointer(cp);
    EXPECT_EQ(back, pointer) << pointer << " " << std::hex << cp;
  }
}
