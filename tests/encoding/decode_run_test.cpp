// Runs must give exactly what the one-code-point dispatch gives call by call, and stop exactly
// where it first fails: for every byte value at every place of a block, every sequence of UTF-8
// worth telling apart at every place and cut at every length, random texts, and every room.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "encoding/encoding.h"
#include "tests/encoding/utf8_model.h"

namespace {

typedef std::vector<u8> bytes;

struct decoded {
  std::vector<u32> units;
  u64 read = 0;
};

// What the dispatch gives one call at a time up to its first failure.
decoded model(u32 encoding, const u8 *begin, const u8 *end) {
  decoded d;
  if (encoding == encoding_iso_2022_jp) return d;
  for (const u8 *at = begin; at < end;) {
    u32 cp, second, error = 0;
    u8 count;
    encoding_decode(encoding, at, end, &cp, &second, &count, nullptr, &error);
    if (error) break;
    d.units.push_back(cp);
    if (second != encoding_no_code_point) d.units.push_back(second);
    at += count;
    d.read = (u64)(at - begin);
  }
  return d;
}

std::string utf8_of(const std::vector<u32> &units) {
  std::string s;
  for (u32 cp : units) {
    u8 out[4], n = 0;
    u32 error = 0;
    utf8_encode(out, out + 4, cp, &n, &error);
    s.append((const char *)out, n);
  }
  return s;
}

// The input sits at the very end of a heap block of its own size, and the output fills a block
// of exactly the room, so a read or write past either shows under AddressSanitizer.
struct run_result {
  decoded units;
  std::string utf8;
  u64 utf8_read = 0;
};
run_result run(u32 encoding, const bytes &in, u64 unit_room, u64 byte_room) {
  std::unique_ptr<u8[]> input(new u8[in.size()]);
  if (!in.empty()) std::memcpy(input.get(), in.data(), in.size());
  const u8 *begin = input.get(), *end = begin + in.size();
  run_result r;
  std::unique_ptr<u32[]> units(new u32[unit_room]);
  u64 written = 0;
  r.units.read = encoding_decode_run(encoding, begin, end, units.get(), units.get() + unit_room, &written);
  EXPECT_LE(written, unit_room);
  r.units.units.assign(units.get(), units.get() + written);
  std::unique_ptr<u8[]> text(new u8[byte_room]);
  written = 0;
  r.utf8_read = encoding_decode_run_utf8(encoding, begin, end, text.get(), text.get() + byte_room, &written);
  EXPECT_LE(written, byte_room);
  r.utf8.assign((const char *)text.get(), written);
  return r;
}

std::string describe(u32 encoding, const bytes &in) {
  std::string s = encoding_name(encoding);
  s += " bytes";
  char hex[4];
  for (u8 b : in) {
    std::snprintf(hex, sizeof hex, " %02X", b);
    s += hex;
  }
  return s;
}

// With room for everything, both runs equal the model.
::testing::AssertionResult same_as_model(u32 encoding, const bytes &in) {
  decoded m = model(encoding, in.data(), in.data() + in.size());
  run_result r = run(encoding, in, in.size() + 2, 4 * in.size() + 8);
  if (r.units.read == m.read && r.units.units == m.units && r.utf8_read == m.read && r.utf8 == utf8_of(m.units))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << describe(encoding, in) << ": model read " << m.read << " ("
                                       << m.units.size() << " units), run read " << r.units.read << " ("
                                       << r.units.units.size() << "), to UTF-8 read " << r.utf8_read;
}

std::vector<u32> every_encoding() {
  std::vector<u32> all;
  for (u32 e = 0; e <= encoding_count; e++) all.push_back(e);  // 0 and 41 are no encoding
  return all;
}

bytes ascii_text(size_t n) {
  bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = (u8)("the quick brown fox, jumps\n"[i % 27]);
  return b;
}

}  // namespace

TEST(decode_runs, every_byte_value_at_every_place_of_a_block_agrees_with_the_dispatch) {
  // Places around the edges of the 16-byte steps and of the three bytes a sequence may reach past.
  const size_t places[] = {0, 1, 2, 3, 12, 13, 14, 15, 16, 17, 18, 19, 20, 30, 31, 32, 33, 34, 35, 47, 48, 49};
  for (u32 e : every_encoding()) {
    for (u32 b = 0; b < 256; b++) {
      for (size_t at : places) {
        bytes in = ascii_text(50);
        in[at] = (u8)b;
        ASSERT_TRUE(same_as_model(e, in));
      }
      ASSERT_TRUE(same_as_model(e, bytes{(u8)b}));
    }
  }
}

TEST(decode_runs, utf8_sequences_at_every_place_and_cut_at_every_length_agree_with_the_dispatch) {
  // The bounds of every length, and each way a sequence can be refused.
  const bytes sequences[] = {
      {0x7F},       {0xC2, 0x80}, {0xDF, 0xBF}, {0xE0, 0xA0, 0x80}, {0xED, 0x9F, 0xBF}, {0xEE, 0x80, 0x80},
      {0xEF, 0xBF, 0xBF}, {0xF0, 0x90, 0x80, 0x80}, {0xF4, 0x8F, 0xBF, 0xBF}, {0xF1, 0x80, 0x80, 0x80},
      {0xC0, 0x80}, {0xC1, 0xBF}, {0xE0, 0x9F, 0xBF}, {0xED, 0xA0, 0x80}, {0xF0, 0x8F, 0xBF, 0xBF},
      {0xF4, 0x90, 0x80, 0x80}, {0xF5, 0x80, 0x80, 0x80}, {0xF8, 0x88, 0x80, 0x80, 0x80}, {0x80}, {0xBF},
      {0xFF}, {0xE2, 0x82}, {0xF0, 0x9F, 0x98}, {0xC3, 0x41}, {0xE2, 0x28, 0xA1}, {0xE2, 0x82, 0x28},
      {0xC3, 0xA9, 0xA9}, {0xE6, 0x97, 0xA5, 0xE6, 0x9C, 0xAC}};
  for (const bytes &s : sequences) {
    for (size_t at = 0; at < 40; at++) {
      bytes in = ascii_text(44);
      in.insert(in.begin() + (long)at, s.begin(), s.end());
      ASSERT_TRUE(same_as_model(encoding_utf_8, in));
      // Every cut through the sequence and the text around it.
      if (at != 0 && at != 13 && at != 15 && at != 16 && at != 30) continue;
      for (size_t n = 0; n <= in.size(); n++)
        ASSERT_TRUE(same_as_model(encoding_utf_8, bytes(in.begin(), in.begin() + (long)n)));
    }
  }
  // Text of nothing but multi-byte sequences, so a block holds no ASCII at all, cut at every
  // length and with each sequence at every place among them.
  bytes cjk;
  for (int i = 0; i < 40; i++) cjk.insert(cjk.end(), {0xE6, 0x97, 0xA5});
  for (size_t n = 0; n <= cjk.size(); n++) ASSERT_TRUE(same_as_model(encoding_utf_8, bytes(cjk.begin(), cjk.begin() + (long)n)));
  for (const bytes &s : sequences) {
    for (size_t at = 0; at < 20; at++) {
      bytes in = cjk;
      in.insert(in.begin() + (long)(3 * at), s.begin(), s.end());
      ASSERT_TRUE(same_as_model(encoding_utf_8, in));
    }
  }
}

// Random text: valid sequences of each encoding's kinds mixed with ASCII runs, with an error now
// and then, and random bytes.
// Broken UTF-8 read the way every caller reads it (decode, and at an error one U+FFFD and a skip
// by the count), through the one-call dispatch and through both runs with the dispatch at each
// place they stop: one U+FFFD per maximal subpart, as the web's decoder gives, wherever in a
// block of ASCII or two-byte text the broken bytes lie.
TEST(decode_runs, broken_utf8_gives_one_replacement_per_maximal_subpart) {
  const char *fillers[] = {"abcdefgh", "\xC3\xA9\xC3\xA8t"};
  for (const std::vector<u8> &broken : utf8_broken_inputs()) {
    for (const char *filler : fillers) {
      for (u32 k = 0; k < 40; k += 1 + k / 8) {
        std::string text;
        while (text.size() < k) text += filler;
        text.resize(k);
        if (!text.empty() && ((u8)text.back() & 0xE0) == 0xC0) text.pop_back();  // no lead cut off here
        bytes in(text.begin(), text.end());
        in.insert(in.end(), broken.begin(), broken.end());
        in.insert(in.end(), {'t', 'a', 'i', 'l'});
        std::vector<u32> want = utf8_model(in);
        std::unique_ptr<u8[]> input(new u8[in.size()]);
        std::memcpy(input.get(), in.data(), in.size());
        const u8 *begin = input.get(), *end = begin + in.size();
        // One replacement for the bytes at at, past which it moves.
        auto step = [&](const u8 *at, std::vector<u32> *out) {
          u32 cp, second, error = 0;
          u8 count;
          encoding_decode(encoding_utf_8, at, end, &cp, &second, &count, nullptr, &error);
          EXPECT_GE(count, 1);
          out->push_back(error ? 0xFFFD : cp);
          return at + (count ? count : 1);
        };
        std::vector<u32> one, runs, runs8;
        for (const u8 *at = begin; at < end;) at = step(at, &one);
        std::vector<u32> units(in.size() + 8);
        std::vector<u8> text8(4 * in.size() + 8);
        std::string got8;
        for (const u8 *at = begin; at < end;) {
          u64 written = 0;
          at += encoding_decode_run(encoding_utf_8, at, end, units.data(), units.data() + units.size(), &written);
          runs.insert(runs.end(), units.begin(), units.begin() + (long)written);
          if (at < end) at = step(at, &runs);
        }
        for (const u8 *at = begin; at < end;) {
          u64 written = 0;
          at += encoding_decode_run_utf8(encoding_utf_8, at, end, text8.data(), text8.data() + text8.size(), &written);
          got8.append((const char *)text8.data(), written);
          if (at < end) {
            std::vector<u32> r;
            at = step(at, &r);
            got8 += utf8_model_text(r);
          }
        }
        std::string what = utf8_model_hex(in);
        EXPECT_EQ(one, want) << "dispatch:" << what;
        EXPECT_EQ(runs, want) << "run:" << what;
        EXPECT_EQ(got8, utf8_model_text(want)) << "UTF-8 run:" << what;
      }
    }
  }
}

TEST(decode_runs, random_texts_agree_with_the_dispatch) {
  std::mt19937 rng(20);
  auto utf8_piece = [&](bytes *out) {
    u32 pick = rng() % 10;
    u32 cp = pick < 5 ? 0x20 + rng() % 0x5F
             : pick < 7 ? 0x80 + rng() % 0x780
             : pick < 9 ? 0x800 + rng() % 0xF800
                        : 0x10000 + rng() % 0x100000;
    if (cp - 0xD800 < 0x800) cp = 0xE000;
    u8 b[4], n = 0;
    u32 error = 0;
    utf8_encode(b, b + 4, cp, &n, &error);
    out->insert(out->end(), b, b + n);
  };
  for (int round = 0; round < 3000; round++) {
    u32 e = every_encoding()[rng() % every_encoding().size()];
    if (round % 3 == 0) e = encoding_utf_8;
    bytes in;
    size_t length = rng() % 300;
    u32 kind = rng() % 4;
    while (in.size() < length) {
      if (kind == 0) {
        in.push_back((u8)rng());
      } else if (e == encoding_utf_8) {
        if (kind == 1 && rng() % 200 == 0) {
          in.push_back((u8)(0x80 + rng() % 0x80));
        } else if (kind == 3 && rng() % 4) {
          in.push_back((u8)('a' + rng() % 26));
        } else {
          utf8_piece(&in);
        }
      } else {
        in.push_back(rng() % 4 ? (u8)('a' + rng() % 26) : (u8)(0x80 + rng() % 0x80));
      }
    }
    ASSERT_TRUE(same_as_model(e, in)) << "round " << round;
  }
}

// With less room a run gives a prefix of the full run, stops only between code points, and
// always takes the next one when 2 units or 8 bytes are free.
TEST(decode_runs, every_room_gives_a_prefix_and_enough_room_makes_progress) {
  std::mt19937 rng(7);
  const u32 subjects[] = {encoding_utf_8, encoding_windows_1252, encoding_iso_8859_8, encoding_koi8_u,
                          encoding_big5,  encoding_gb18030,     encoding_utf_16le,   encoding_x_user_defined};
  for (u32 e : subjects) {
    for (int round = 0; round < 20; round++) {
      bytes in;
      for (int i = 0; i < 120; i++) {
        if (e == encoding_utf_8) {
          const char *pieces[] = {"a", "bc", "\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x98\x82", "\xC3\xA9\xC3\xA9"};
          const char *p = pieces[rng() % 6];
          in.insert(in.end(), p, p + std::strlen(p));
        } else if (e == encoding_big5 && rng() % 5 == 0) {
          in.insert(in.end(), {0x88, 0x62});  // one pair, two code points
        } else {
          in.push_back(rng() % 3 ? (u8)('a' + rng() % 26) : (u8)(0x80 + rng() % 0x80));
        }
      }
      decoded whole = model(e, in.data(), in.data() + in.size());
      std::string whole_utf8 = utf8_of(whole.units);
      for (u64 room = 0; room < 70; room++) {
        run_result r = run(e, in, room, room);
        ASSERT_LE(r.units.read, whole.read);
        ASSERT_LE(r.utf8_read, whole.read);
        // What was read decodes to exactly what was written.
        decoded part = model(e, in.data(), in.data() + r.units.read);
        ASSERT_EQ(part.read, r.units.read) << describe(e, in) << " room " << room;
        ASSERT_EQ(part.units, r.units.units) << "room " << room;
        decoded part8 = model(e, in.data(), in.data() + r.utf8_read);
        ASSERT_EQ(part8.read, r.utf8_read);
        ASSERT_EQ(utf8_of(part8.units), r.utf8) << "room " << room;
        if (whole.read > 0 && room >= 2) {
          ASSERT_GT(r.units.read, 0u) << encoding_name(e) << " room " << room;
        }
        if (whole.read > 0 && room >= 8) {
          ASSERT_GT(r.utf8_read, 0u) << encoding_name(e) << " room " << room;
        }
      }
    }
  }
}

TEST(decode_runs, the_stateful_encoding_and_empty_input_read_nothing) {
  bytes text = ascii_text(40);
  run_result r = run(encoding_iso_2022_jp, text, 64, 256);
  EXPECT_EQ(r.units.read, 0u);
  EXPECT_EQ(r.utf8_read, 0u);
  u32 out[4];
  u64 written = 99;
  EXPECT_EQ(encoding_decode_run(encoding_utf_8, nullptr, nullptr, out, out + 4, &written), 0u);
  EXPECT_EQ(written, 0u);
  // The replacement encoding refuses its first byte, as the dispatch does.
  r = run(encoding_replacement, text, 64, 256);
  EXPECT_EQ(r.units.read, 0u);
}
