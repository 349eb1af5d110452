// The inline dispatch decodes well-formed text itself (pair tables, one load per pair) and hands
// everything else to encoding_decode_general. Both must give the same answer for every input:
// every pair of bytes in every encoding, at every input length the fast paths care about, and
// random longer sequences.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "encoding/encoding.h"

namespace {

struct outcome {
  u32 code_point, second, error;
  u8 count, returned;
  iso_2022_jp_state state;
};

outcome run(bool inline_path, u32 encoding, const u8 *begin, const u8 *end, bool with_second) {
  outcome o{};
  o.code_point = o.second = 0x12345678;
  o.count = 0xEE;
  o.state = {2, 1, 0};  // Roman: ASCII bytes differ from the initial state's
  u32 *second = with_second ? &o.second : nullptr;
  if (encoding == encoding_big5) second = &o.second;
  o.returned = inline_path
                 ? encoding_decode(encoding, begin, end, &o.code_point, second, &o.count, &o.state, &o.error)
                 : encoding_decode_general(encoding, begin, end, &o.code_point, second, &o.count,
                                           &o.state, &o.error);
  return o;
}

// Compares the two paths on one input. The bytes are copied to the end of a heap block, so a
// read past the input's end shows under AddressSanitizer.
::testing::AssertionResult same(u32 encoding, const std::vector<u8> &bytes, bool with_second = true) {
  static std::vector<u8> block(8);
  const u8 *end = block.data() + block.size(), *begin = end - bytes.size();
  if (!bytes.empty()) std::memcpy(block.data() + block.size() - bytes.size(), bytes.data(), bytes.size());
  outcome a = run(true, encoding, begin, end, with_second);
  outcome b = run(false, encoding, begin, end, with_second);
  if (a.code_point == b.code_point && a.second == b.second && a.error == b.error &&
      a.count == b.count && a.returned == b.returned && std::memcmp(&a.state, &b.state, 3) == 0 &&
      a.returned == a.count)
    return ::testing::AssertionSuccess();
  char text[256];
  int used = std::snprintf(text, sizeof(text), "%s bytes", encoding_name(encoding));
  for (u8 x : bytes) used += std::snprintf(text + used, sizeof(text) - used, " %02X", x);
  std::snprintf(text + used, sizeof(text) - used,
                ": inline cp %X count %u error %u, general cp %X count %u error %u", a.code_point,
                a.count, a.error, b.code_point, b.count, b.error);
  auto r = ::testing::AssertionFailure() << text;
  return r;
}

// The encodings with fast paths, and two numbers that are none.
const u32 subjects[] = {encoding_utf_8,     encoding_ibm866,     encoding_iso_8859_8,
                        encoding_iso_8859_8_i, encoding_iso_8859_10, encoding_windows_1252,
                        encoding_x_mac_cyrillic, encoding_gbk,   encoding_gb18030,
                        encoding_big5,      encoding_euc_jp,     encoding_iso_2022_jp,
                        encoding_shift_jis, encoding_euc_kr,     encoding_replacement,
                        encoding_utf_16be,  encoding_utf_16le,   encoding_x_user_defined,
                        0,                  41};

}  // namespace

TEST(decode_fast_paths, agree_with_the_full_decoders_on_every_pair_at_every_length) {
  // What follows a pair matters to UTF-8 (continuations), gb18030 (four-byte forms) and
  // UTF-16 (surrogates); a few tails cover valid and invalid continuations of each.
  const u8 tails[][2] = {{0x80, 0x80}, {0xBF, 0xA1}, {0x41, 0x30}, {0x81, 0x39}, {0xDC, 0x00}};
  for (u32 e : subjects) {
    for (u32 pair = 0; pair < 0x10000; pair++) {
      u8 b1 = (u8)(pair >> 8), b2 = (u8)pair;
      ASSERT_TRUE(same(e, {b1, b2})) << "pair";
      ASSERT_TRUE(same(e, {b1, b2, 0x41}, false)) << "three bytes, no second out";
      for (const auto &t : tails) ASSERT_TRUE(same(e, {b1, b2, t[0], t[1]}));
      if (b2 == 0) {
        ASSERT_TRUE(same(e, {b1})) << "one byte";
        ASSERT_TRUE(same(e, {})) << "none";
      }
    }
  }
}

// Random sequences with bytes drawn mostly from the edges of the ranges the decoders test.
TEST(decode_fast_paths, agree_with_the_full_decoders_on_random_sequences) {
  const u8 edges[] = {0x00, 0x1B, 0x30, 0x39, 0x3F, 0x40, 0x41, 0x7E, 0x7F, 0x80, 0x81, 0x8E,
                      0x8F, 0x90, 0x9F, 0xA0, 0xA1, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xED,
                      0xEF, 0xF0, 0xF4, 0xF5, 0xF8, 0xFC, 0xFD, 0xFE, 0xFF, 0xD8, 0xDB, 0xDC};
  std::mt19937 rng(29);
  for (u32 e : subjects) {
    for (int round = 0; round < 20000; round++) {
      std::vector<u8> bytes(1 + rng() % 6);
      for (u8 &b : bytes) b = rng() % 3 ? edges[rng() % sizeof(edges)] : (u8)rng();
      ASSERT_TRUE(same(e, bytes));
    }
  }
}

// Every valid UTF-8 sequence decodes on the fast path to its scalar value, with text behind it
// and at the very end of the input.
TEST(decode_fast_paths, utf8_every_scalar_value) {
  for (u32 cp = 0; cp <= 0x10FFFF; cp++) {
    if (!codepoint_is_scalar(cp)) continue;
    u8 bytes[8] = {};
    u8 n = 0;
    u32 error = 0;
    utf8_encode(bytes, bytes + 4, cp, &n, &error);
    for (u32 length : {(u32)n, (u32)n + 3}) {
      u32 got = 0, second = 0;
      u8 count = 0;
      iso_2022_jp_state state{};
      u8 returned = encoding_decode(encoding_utf_8, bytes, bytes + length, &got, &second, &count,
                                    &state, &error);
      ASSERT_EQ(error, 0u);
      ASSERT_EQ(got, cp);
      ASSERT_EQ(count, n);
      ASSERT_EQ(returned, n);
      ASSERT_EQ(second, encoding_no_code_point);
    }
  }
}
