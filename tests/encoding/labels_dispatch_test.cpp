#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "encoding/encoding_tables.h"

namespace {
u32 label(const std::string &s) { return encoding_from_label((const u8 *)s.data(), s.size()); }
u32 loose(const std::string &s) { return encoding_from_label_loose((const u8 *)s.data(), s.size()); }
}  // namespace

TEST(labels, known_labels) {
  EXPECT_EQ(label(" \t\n\f\rUTF-8\r\n "), encoding_utf_8);
  EXPECT_EQ(label("LaTiN1"), encoding_windows_1252);
  EXPECT_EQ(label("ISO-8859-1"), encoding_windows_1252);
  EXPECT_EQ(label("unicode-1-1-utf-8"), encoding_utf_8);
  EXPECT_EQ(label("iso-8859-6"), encoding_iso_8859_6);
  EXPECT_EQ(label("utf-16"), encoding_utf_16le);
  EXPECT_EQ(label("ISO-8859-10"), encoding_iso_8859_10);
  // The labels the web added for UTF-8 and UTF-16 more lately.
  EXPECT_EQ(label("unicode11utf8"), encoding_utf_8);
  EXPECT_EQ(label("unicode20utf8"), encoding_utf_8);
  EXPECT_EQ(label("x-unicode20utf8"), encoding_utf_8);
  EXPECT_EQ(label("unicodefffe"), encoding_utf_16be);
  for (const char *l : {"csunicode", "iso-10646-ucs-2", "ucs-2", "unicode", "unicodefeff"})
    EXPECT_EQ(label(l), encoding_utf_16le) << l;
  EXPECT_EQ(encoding_label_count, 228u);
  EXPECT_EQ(label(""), encoding_invalid);
  EXPECT_EQ(label("   "), encoding_invalid);
  EXPECT_EQ(label("utf-7"), encoding_invalid);
  EXPECT_EQ(label("utf-8x"), encoding_invalid);
  EXPECT_EQ(label("\v utf-8"), encoding_invalid);  // vertical tab is no label space
  EXPECT_EQ(label("utf-8\xC3\xA9"), encoding_utf_8);  // compared up to the byte above "~"
  EXPECT_EQ(label(std::string(300, ' ') + "gbk"), encoding_gbk);
  EXPECT_EQ(label("gbk" + std::string(200, 'x')), encoding_invalid);
  EXPECT_EQ(encoding_from_label(nullptr, 0), encoding_invalid);
}

// Every row of the table, in random case with random white space around it, finds its encoding,
// and every encoding but "invalid" has a row whose label is its own name.
TEST(labels, every_row_resolves_in_any_case_and_spacing) {
  std::mt19937 rng(3);
  const char spaces[] = " \t\n\f\r";
  for (u64 i = 0; i < encoding_label_count; i++) {
    std::string text(encoding_labels[i].text, encoding_labels[i].length);
    for (char &c : text)
      if (rng() % 2 && c >= 'a' && c <= 'z') c = (char)(c - 32);
    std::string padded = std::string(rng() % 3, spaces[rng() % 5]) + text +
                         std::string(rng() % 3, spaces[rng() % 5]);
    EXPECT_EQ(label(padded), encoding_labels[i].encoding) << padded;
  }
  for (u32 e = 1; e < encoding_count; e++) EXPECT_EQ(label(encoding_name(e)), e) << encoding_name(e);
}

TEST(labels, loose_names) {
  EXPECT_EQ(loose("ISO-8859-10"), encoding_iso_8859_10);
  EXPECT_EQ(loose("ISO_8859_1"), encoding_windows_1252);
  EXPECT_EQ(loose("UTF_008"), encoding_utf_8);
  // A number starts again after punctuation: its own leading zeros go, the zeros inside a
  // number stay.
  EXPECT_EQ(loose("ISO8859-01"), encoding_windows_1252);
  EXPECT_EQ(loose("iso 8859 001"), encoding_windows_1252);
  EXPECT_EQ(loose("ISO8859-010"), encoding_iso_8859_10);
  EXPECT_EQ(loose("iso8859-10"), encoding_iso_8859_10);
  EXPECT_EQ(loose("Shift JIS"), encoding_invalid);  // the rows keep their punctuation
  EXPECT_EQ(loose("SJIS"), encoding_shift_jis);
  EXPECT_EQ(loose("CP 1250"), encoding_windows_1250);
  EXPECT_EQ(loose("--"), encoding_invalid);
}

TEST(labels, byte_order_marks) {
  const u8 marks[] = {0xEF, 0xBB, 0xBF, 0xFE, 0xFF, 0xFF, 0xFE, 0x00};
  u8 length = 9;
  EXPECT_EQ(encoding_sniff_bom(marks, marks + 3, &length), encoding_utf_8);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(encoding_sniff_bom(marks + 3, marks + 5, &length), encoding_utf_16be);
  EXPECT_EQ(length, 2);
  EXPECT_EQ(encoding_sniff_bom(marks + 5, marks + 8, &length), encoding_utf_16le);
  EXPECT_EQ(encoding_sniff_bom(marks, marks + 2, &length), encoding_invalid);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(encoding_sniff_bom(marks + 7, marks + 8, &length), encoding_invalid);
}

TEST(names, every_number_and_error_has_a_name) {
  EXPECT_STREQ(encoding_name(0), "invalid");
  EXPECT_STREQ(encoding_name(encoding_shift_jis), "Shift_JIS");
  EXPECT_STREQ(encoding_name(41), "invalid");
  for (u32 e = 0; e < encoding_error_count; e++) EXPECT_NE(std::strlen(encoding_error_name(e)), 0u);
  EXPECT_STREQ(encoding_error_name(47), "unknown encoding number");
  EXPECT_STREQ(encoding_error_name(48), "unknown error");
}

TEST(dispatch, unknown_numbers_and_fixed_counts) {
  u8 in[2] = {0x80, 0x41};
  for (u32 e : {0u, 41u, 42u, 0xFFFFFFFFu}) {
    u32 cp = 1, second = 1, error = 0;
    u8 count = 7;
    encoding_decode(e, in, in + 2, &cp, &second, &count, nullptr, &error);
    EXPECT_EQ(error, encoding_error_unknown_encoding);
    EXPECT_EQ(cp, encoding_no_code_point);
    error = 0;
    u8 out[4];
    encoding_encode(e, out, out + 4, 0x41, &count, nullptr, &error);
    EXPECT_EQ(error, encoding_error_unknown_encoding);
  }
  u32 cp, error = 0;
  u8 count;
  encoding_decode(encoding_utf_8, in, in + 2, &cp, nullptr, &count, nullptr, &error);
  EXPECT_EQ(error, encoding_error_utf8_bad_lead);
  EXPECT_EQ(count, 1);
  u8 truncated[2] = {0xE2, 0x82};
  error = 0;
  encoding_decode(encoding_utf_8, truncated, truncated + 2, &cp, nullptr, &count, nullptr, &error);
  EXPECT_EQ(error, encoding_error_truncated);
  EXPECT_EQ(count, 2);  // the whole cut sequence is one maximal subpart
  u8 utf16[3] = {0x3D, 0xD8, 0x41};
  error = 0;
  encoding_decode(encoding_utf_16le, utf16, utf16 + 3, &cp, nullptr, &count, nullptr, &error);
  EXPECT_EQ(error, encoding_error_truncated);
  EXPECT_EQ(count, 2);
  error = 0;
  encoding_decode(encoding_utf_16le, utf16 + 2, utf16 + 3, &cp, nullptr, &count, nullptr, &error);
  EXPECT_EQ(count, 1);
  error = 0;
  encoding_decode(encoding_replacement, in, in + 2, &cp, nullptr, &count, nullptr, &error);
  EXPECT_EQ(error, encoding_error_replacement_refused);
  EXPECT_EQ(count, 1);
  error = 0;
  u8 out[4];
  encoding_encode(encoding_replacement, out, out + 4, 0x41, &count, nullptr, &error);
  EXPECT_EQ(error, encoding_error_replacement_encode);
  error = 0;
  encoding_encode(encoding_utf_16be, out, out + 4, 0x1F602, &count, nullptr, &error);
  EXPECT_EQ(count, 4);
  u32 second = 0;
  const u8 big5[2] = {0x88, 0x62};
  error = 0;
  encoding_decode(encoding_big5, big5, big5 + 2, &cp, &second, &count, nullptr, &error);
  EXPECT_EQ(cp, 0xCAu);
  EXPECT_EQ(second, 0x304u);
}

// Every encoding over random bytes: each call consumes at least one byte (or moves the
// ISO-2022-JP state), never more than remain, and a text always comes to its end.
TEST(dispatch, every_decoder_progresses_and_stays_in_bounds) {
  std::mt19937 rng(17);
  for (u32 e = 1; e < encoding_count; e++) {
    for (int round = 0; round < 2000; round++) {
      std::vector<u8> in(rng() % 16);
      for (u8 &b : in) b = (u8)(rng() % 4 == 0 ? 0x1B + rng() % 16 : rng());
      iso_2022_jp_state state{};
      const u8 *at = in.data(), *end = in.data() + in.size();
      int calls = 0;
      for (;; calls++) {
        ASSERT_LT(calls, 100) << encoding_name(e);
        u32 cp, second, error = 0;
        u8 count;
        iso_2022_jp_state before = state;
        encoding_decode(e, at, end, &cp, &second, &count, &state, &error);
        if (error == encoding_error_end_of_input) {
          ASSERT_EQ(at + count, end) << encoding_name(e);
          break;
        }
        ASSERT_LE(count, end - at) << encoding_name(e);
        ASSERT_TRUE(count > 0 || std::memcmp(&before, &state, 3) != 0) << encoding_name(e);
        if (error) ASSERT_EQ(cp, encoding_no_code_point);
        else ASSERT_TRUE(codepoint_is_scalar(cp)) << encoding_name(e);
        at += count;
      }
    }
  }
}

// Encoding every scalar value and decoding the bytes gives it back, for every encoding
// that can encode it, through the dispatch (the CJK ones over a sample: their encoders search).
TEST(dispatch, encode_then_decode_round_trips) {
  for (u32 e = 1; e < encoding_count; e++) {
    if (e == encoding_replacement) continue;
    u32 state = 0;
    for (u32 cp = 0; cp <= 0x10FFFF; cp += (e >= encoding_gbk && e <= encoding_euc_kr) ? 97 : 1) {
      u8 out[8];
      u8 count = 0;
      u32 error = 0;
      encoding_encode(e, out, out + 8, cp, &count, &state, &error);
      if (error) continue;
      iso_2022_jp_state dstate{};
      if (e == encoding_iso_2022_jp) dstate = {(u8)(state == 3 ? 4 : state), (u8)(state == 3 ? 4 : state), 0};
      u32 back, second, derror = 0;
      u8 dcount;
      encoding_decode(e, out, out + count, &back, &second, &dcount, &dstate, &derror);
      if (e == encoding_iso_2022_jp && count >= 3 && out[0] == 0x1B) {
        dstate = {1, 1, 0};
        derror = 0;
        encoding_decode(e, out, out + count, &back, &second, &dcount, &dstate, &derror);
      }
      ASSERT_EQ(derror, 0u) << encoding_name(e) << " " << cp;
      ASSERT_EQ(dcount, count) << encoding_name(e) << " " << cp;
      if (e == encoding_gb18030 || e == encoding_gbk) {
        if (cp >= 0xE78D && cp <= 0xE864) continue;  // the private-use code points given away
      }
      if (e == encoding_iso_2022_jp && (cp == 0x2212 || (cp >= 0xFF61 && cp <= 0xFF9F))) continue;
      if ((e == encoding_euc_jp || e == encoding_shift_jis || e == encoding_iso_2022_jp) && cp == 0x2212) continue;
      ASSERT_EQ(back, cp) << encoding_name(e) << " " << cp;
    }
  }
}

// Big5 without a second-code-point out and ISO-2022-JP without a state record are programming
// errors, stopped on every path: a well-formed pair as much as an error.
#ifndef NDEBUG
TEST(dispatch, missing_outs_stop_the_program) {
  const u8 pair[2] = {0xA4, 0x40}, bad[1] = {0xFF};
  u32 cp, error = 0;
  u8 count, out[8];
  EXPECT_DEATH(encoding_decode(encoding_big5, pair, pair + 2, &cp, nullptr, &count, nullptr, &error),
               "invariant broken");
  EXPECT_DEATH(encoding_decode(encoding_big5, bad, bad + 1, &cp, nullptr, &count, nullptr, &error),
               "invariant broken");
  EXPECT_DEATH(encoding_decode(encoding_iso_2022_jp, pair, pair + 2, &cp, nullptr, &count, nullptr,
                               &error),
               "invariant broken");
  EXPECT_DEATH(encoding_encode(encoding_iso_2022_jp, out, out + 8, 0x41, &count, nullptr, &error),
               "invariant broken");
  EXPECT_DEATH(encoding_encode_finish(encoding_iso_2022_jp, out, out + 8, &count, nullptr, &error),
               "invariant broken");
}
#endif
