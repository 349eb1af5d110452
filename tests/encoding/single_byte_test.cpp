#include <gtest/gtest.h>

#include "encoding/encoding.h"

// Every mapped byte of every single-byte encoding decodes and encodes back to itself (the tables
// map no code point twice); every unmapped byte is refused, and no other code point encodes.
TEST(single_byte, every_table_round_trips_and_refuses_the_rest) {
  for (u32 e = encoding_ibm866; e <= encoding_x_mac_cyrillic; e++) {
    const u16 *table = single_byte_table(e);
    ASSERT_NE(table, nullptr);
    u32 mapped = 0;
    for (u32 b = 0; b < 256; b++) {
      u8 in = (u8)b, out = 0;
      u32 cp, error = 0;
      u8 count = 0;
      single_byte_decode(&in, &in + 1, &cp, &count, table, &error);
      ASSERT_EQ(count, 1);
      if (error) {
        ASSERT_EQ(error, encoding_error_single_byte_no_code_point) << e << " " << b;
        ASSERT_EQ(cp, encoding_no_code_point);
        continue;
      }
      mapped++;
      single_byte_encode(&out, &out + 1, cp, &count, table, &error);
      ASSERT_EQ(error, 0u);
      ASSERT_EQ(out, in) << e << " " << b;
    }
    u32 encodable = 0;
    for (u32 cp = 0; cp < 0x10000; cp++) {
      u8 out;
      u8 count;
      u32 error = 0;
      single_byte_encode(&out, &out + 1, cp, &count, table, &error);
      if (!error) encodable++;
      else ASSERT_EQ(error, encoding_error_single_byte_no_byte);
    }
    EXPECT_EQ(encodable, mapped);
  }
  EXPECT_EQ(single_byte_table(encoding_iso_8859_8), single_byte_table(encoding_iso_8859_8_i));
  EXPECT_EQ(single_byte_table(encoding_utf_8), nullptr);
  EXPECT_EQ(single_byte_table(encoding_gbk), nullptr);
}

TEST(single_byte, known_bytes) {
  const u16 *w1252 = single_byte_table(encoding_windows_1252);
  u8 in[2] = {0x80, 0x81};
  u32 cp, error = 0;
  u8 count;
  single_byte_decode(in, in + 2, &cp, &count, w1252, &error);
  EXPECT_EQ(cp, 0x20ACu);
  single_byte_decode(in + 1, in + 2, &cp, &count, w1252, &error);
  EXPECT_EQ(cp, 0x81u);
  u8 out;
  single_byte_encode(&out, &out + 1, 0x20AC, &count, w1252, &error);
  EXPECT_EQ(out, 0x80);
  single_byte_encode(&out, &out, 0x41, &count, w1252, &error);
  EXPECT_EQ(error, encoding_error_output_too_small);
  error = 0;
  u8 a1 = 0xA1;
  single_byte_decode(&a1, &a1 + 1, &cp, &count, single_byte_table(encoding_iso_8859_8), &error);
  EXPECT_EQ(error, encoding_error_single_byte_no_code_point);
  error = 0;
  single_byte_decode(in, in, &cp, &count, w1252, &error);
  EXPECT_EQ(error, encoding_error_end_of_input);
  EXPECT_EQ(count, 0);
}
