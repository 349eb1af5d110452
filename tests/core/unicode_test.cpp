#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/core.h"

namespace {

typedef std::vector<u8> bytes;

bytes utf8_of(u32 c) {
  u8 out[4];
  u8 n = 0;
  u32 e = 0;
  unicode_utf8_encode(out, out + 4, c, &n, &e);
  EXPECT_EQ(e, 0u) << std::hex << c;
  return bytes(out, out + n);
}

struct decoded {
  u32 code_point;
  u8 length;
  u32 error;
};

// Decodes from an exact-size heap copy so the sanitizer sees any read past the end.
decoded decode8(const bytes &b) {
  bytes copy = b;
  decoded d = {0, 0, 0};
  unicode_utf8_decode(copy.data(), copy.data() + copy.size(), &d.code_point, &d.length, &d.error);
  return d;
}

decoded decode16(const bytes &b, bool big_endian) {
  bytes copy = b;
  decoded d = {0, 0, 0};
  unicode_utf16_decode(copy.data(), copy.data() + copy.size(), &d.code_point, &d.length, big_endian, &d.error);
  return d;
}

const u32 boundaries[] = {0x0,    0x7F,   0x80,    0x7FF,   0x800,   0xFFF,    0x1000,  0xD7FF,
                          0xE000, 0xFFFD, 0xFFFF,  0x10000, 0x3FFFF, 0x40000, 0xFFFFF, 0x100000,
                          0x10FFFF};

// ---- Single code points ------------------------------------------------------------------

TEST(unicode_utf8, every_scalar_value_round_trips_with_the_length_of_its_range) {
  u32 e = 0;
  for (u32 c = 0; c <= 0x10FFFF + 16; c++) {
    u8 out[4];
    u8 n = 9;
    unicode_utf8_encode(nullptr, nullptr, c, &n, &e);
    if (!unicode_is_scalar_value(c)) {
      ASSERT_EQ(e, (u32)unicode_error_not_scalar_value) << c;
      e = 0;
      continue;
    }
    ASSERT_EQ(n, c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4);
    unicode_utf8_encode(out, out + 4, c, &n, &e);
    u32 back;
    u8 length;
    unicode_utf8_decode(out, out + n, &back, &length, &e);
    ASSERT_EQ(e, 0u);
    ASSERT_EQ(back, c);
    ASSERT_EQ(length, n);
  }
  EXPECT_FALSE(unicode_is_scalar_value(0xD800));
  EXPECT_FALSE(unicode_is_scalar_value(0xDFFF));
  EXPECT_FALSE(unicode_is_scalar_value(0x110000));
  EXPECT_FALSE(unicode_is_scalar_value(0xFFFFFFFF));
}

TEST(unicode_utf8, boundary_encodings_and_a_destination_too_small) {
  EXPECT_EQ(utf8_of(0x7F), (bytes{0x7F}));
  EXPECT_EQ(utf8_of(0x80), (bytes{0xC2, 0x80}));
  EXPECT_EQ(utf8_of(0x7FF), (bytes{0xDF, 0xBF}));
  EXPECT_EQ(utf8_of(0x800), (bytes{0xE0, 0xA0, 0x80}));
  EXPECT_EQ(utf8_of(0xD7FF), (bytes{0xED, 0x9F, 0xBF}));
  EXPECT_EQ(utf8_of(0xE000), (bytes{0xEE, 0x80, 0x80}));
  EXPECT_EQ(utf8_of(0xFFFF), (bytes{0xEF, 0xBF, 0xBF}));
  EXPECT_EQ(utf8_of(0x10000), (bytes{0xF0, 0x90, 0x80, 0x80}));
  EXPECT_EQ(utf8_of(0x10FFFF), (bytes{0xF4, 0x8F, 0xBF, 0xBF}));
  for (u32 c : boundaries) {
    u8 n = 0;
    u32 e = 0;
    u8 out[4] = {1, 2, 3, 4};
    u8 need = (u8)utf8_of(c).size();
    for (u8 room = 0; room < need; room++) {
      e = 0;
      unicode_utf8_encode(out, out + room, c, &n, &e);
      EXPECT_EQ(e, (u32)unicode_error_output_too_small);
      EXPECT_EQ(n, need);
      EXPECT_EQ(memcmp(out, "\1\2\3\4", 4), 0);
    }
  }
}

// Every one-, two- and three-byte input and every four-byte input over the interesting last
// bytes: a decode succeeds exactly when a prefix is the encoding of a scalar value, and then
// yields that value and that prefix length.
TEST(unicode_utf8, decode_accepts_exactly_the_encodings_of_scalar_values) {
  std::unordered_set<u64> encodings;
  auto key = [](const u8 *b, u32 n) {
    u64 k = n;
    for (u32 i = 0; i < n; i++) k = k << 8 | b[i];
    return k;
  };
  for (u32 c = 0; c <= 0x10FFFF; c++) {
    if (!unicode_is_scalar_value(c)) continue;
    bytes b = utf8_of(c);
    encodings.insert(key(b.data(), (u32)b.size()));
  }
  auto check = [&](const u8 *b, u32 n) {
    u32 c, e = 0;
    u8 length;
    unicode_utf8_decode(b, b + n, &c, &length, &e);
    u32 valid_prefix = 0;
    for (u32 k = 1; k <= n; k++)
      if (encodings.count(key(b, k))) valid_prefix = k;
    if (valid_prefix) {
      ASSERT_EQ(e, 0u);
      ASSERT_EQ(length, valid_prefix);
      bytes again = utf8_of(c);
      ASSERT_EQ(memcmp(again.data(), b, valid_prefix), 0);
    } else {
      ASSERT_NE(e, 0u);
      ASSERT_EQ(c, unicode_invalid);
    }
  };
  u8 b[4];
  for (u32 x = 0; x < 0x1000000; x++) {
    b[0] = (u8)(x >> 16), b[1] = (u8)(x >> 8), b[2] = (u8)x;
    if (b[0] < 0xE0 && (b[2] != 0x80 && b[2] != 0x41)) continue;  // fewer bytes suffice below
    if (b[0] < 0xC0 && b[1] != 0x80) continue;
    check(b, 3);
    if (b[0] < 0xE0) check(b, 2), check(b, 1);
    if (b[0] >= 0xF0 && b[0] <= 0xF5)
      for (u8 last : {0x00, 0x7F, 0x80, 0xBF, 0xC0, 0xFF}) {
        b[3] = last;
        check(b, 4);
      }
  }
}

TEST(unicode_utf8, each_malformed_form_gives_its_error_and_length) {
  struct { bytes in; u32 error; u8 length; } cases[] = {
      {{0xE0, 0x80, 0x80}, unicode_error_bad_continuation, 3},  // overlong three bytes
      {{0xE0, 0x9F, 0xBF}, unicode_error_bad_continuation, 3},
      {{0xF0, 0x8F, 0xBF, 0xBF}, unicode_error_bad_continuation, 4},  // overlong four bytes
      {{0xED, 0xA0, 0x80}, unicode_error_bad_continuation, 3},  // U+D800
      {{0xED, 0xBF, 0xBF}, unicode_error_bad_continuation, 3},  // U+DFFF
      {{0xF4, 0x90, 0x80, 0x80}, unicode_error_bad_continuation, 4},  // U+110000
      {{0xE2, 0x82, 0x41}, unicode_error_bad_continuation, 3},  // a third byte that is not one
      {{0xC2, 0xC0}, unicode_error_bad_continuation, 2},
      {{0xC0, 0x80}, unicode_error_bad_lead_byte, 0},
      {{0xC1, 0xBF}, unicode_error_bad_lead_byte, 0},
      {{0x80}, unicode_error_bad_lead_byte, 0},
      {{0xBF}, unicode_error_bad_lead_byte, 0},
      {{0xF5, 0x80, 0x80, 0x80}, unicode_error_bad_lead_byte, 0},
      {{0xFF}, unicode_error_bad_lead_byte, 0},
      {{0xE2, 0x82}, unicode_error_truncated, 3},
      {{0xF0, 0x90, 0x80}, unicode_error_truncated, 4},
      {{0xF0}, unicode_error_truncated, 4},
      {{0xC2}, unicode_error_truncated, 2},
      {{}, unicode_error_no_input, 0},
  };
  for (auto &k : cases) {
    decoded d = decode8(k.in);
    EXPECT_EQ(d.error, k.error) << testing::PrintToString(k.in);
    EXPECT_EQ(d.length, k.length) << testing::PrintToString(k.in);
    EXPECT_EQ(d.code_point, unicode_invalid);
  }
  // Every boundary encoding cut short is truncated, even when the cut-off bytes were bad.
  for (u32 c : boundaries) {
    bytes b = utf8_of(c);
    for (size_t k = 1; k < b.size(); k++) {
      decoded d = decode8(bytes(b.begin(), b.begin() + k));
      EXPECT_EQ(d.error, (u32)unicode_error_truncated);
      EXPECT_EQ(d.length, b.size());
    }
  }
}

// The prefixes (1 to 3 bytes) that some valid sequence begins with, as 24-bit keys.
const std::unordered_set<u32> &valid_prefixes() {
  static const std::unordered_set<u32> set = [] {
    std::unordered_set<u32> s;
    for (u32 c = 0; c <= unicode_max; c++) {
      if (!unicode_is_scalar_value(c)) continue;
      bytes b = utf8_of(c);
      u32 key = 0;
      for (size_t k = 0; k < b.size() && k < 3; k++) {
        key |= (u32)b[k] << (8 * k);
        s.insert(key | (u32)(k + 1) << 24);
      }
    }
    return s;
  }();
  return set;
}

// The step a decoder takes, by its definition: a whole sequence, else the longest prefix that a
// valid sequence could begin with (at least one byte).
u8 step_model(const bytes &b) {
  if (b.empty()) return 0;
  decoded d = decode8(b);
  if (d.error == 0) return d.length;
  u8 best = 1;
  u32 key = 0;
  for (size_t k = 0; k < b.size() && k < 3; k++) {
    key |= (u32)b[k] << (8 * k);
    if (valid_prefixes().count(key | (u32)(k + 1) << 24)) best = (u8)(k + 1);
  }
  return best;
}

u8 step_of(const bytes &b) {
  bytes copy = b;
  return unicode_utf8_step(copy.data(), copy.data() + copy.size());
}

TEST(unicode_utf8, a_step_covers_a_whole_sequence_or_the_maximal_subpart_of_a_broken_one) {
  EXPECT_EQ(step_of({0xE2, 0x82}), 2u);
  EXPECT_EQ(step_of({0xF0, 0x9F, 0x98, 0x41}), 3u);
  EXPECT_EQ(step_of({0xED, 0xA0, 0x80}), 1u);  // a surrogate's lead stands alone
  EXPECT_EQ(step_of({0xC0, 0x80}), 1u);
  EXPECT_EQ(step_of({0xE2, 0x82, 0xAC}), 3u);
  EXPECT_EQ(step_of({}), 0u);
  // Every sequence of one or two bytes, and every lead byte with many continuations.
  for (u32 a = 0; a < 256; a++) {
    ASSERT_EQ(step_of({(u8)a}), step_model({(u8)a})) << a;
    for (u32 b = 0; b < 256; b++) ASSERT_EQ(step_of({(u8)a, (u8)b}), step_model({(u8)a, (u8)b})) << a << " " << b;
  }
  std::mt19937 rng(26);
  const u8 interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xDF,
                            0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
  for (int i = 0; i < 200000; i++) {
    bytes b(1 + rng() % 4);
    for (u8 &x : b) x = rng() % 2 ? interesting[rng() % sizeof interesting] : (u8)rng();
    ASSERT_EQ(step_of(b), step_model(b)) << testing::PrintToString(b);
  }
}

TEST(unicode_utf8, a_cut_ends_on_a_character_boundary_at_every_length) {
  std::mt19937 rng(11);
  for (int round = 0; round < 200; round++) {
    bytes text;
    while (text.size() < 40) {
      u32 c = boundaries[rng() % (sizeof boundaries / sizeof boundaries[0])];
      if (!unicode_is_scalar_value(c)) continue;
      bytes b = utf8_of(c);
      text.insert(text.end(), b.begin(), b.end());
    }
    std::vector<size_t> starts;  // where characters begin, and the end
    for (size_t i = 0; i < text.size(); i += decode8(bytes(text.begin() + i, text.end())).length) starts.push_back(i);
    starts.push_back(text.size());
    for (size_t max = 0; max <= text.size() + 2; max++) {
      size_t expected = 0;
      for (size_t s : starts)
        if (s <= max) expected = s;
      ASSERT_EQ(unicode_utf8_cut(text.data(), text.size(), max), expected) << max;
    }
  }
  // Where the text is not UTF-8 the cut stays near the limit.
  bytes broken(10, 0x80);
  EXPECT_EQ(unicode_utf8_cut(broken.data(), broken.size(), 6), 6u);
  bytes lead = {0x41, 0xE2, 0x82, 0xAC, 0x42};
  EXPECT_EQ(unicode_utf8_cut(lead.data(), lead.size(), 3), 1u);
  EXPECT_EQ(unicode_utf8_cut(lead.data(), lead.size(), 4), 4u);
}

TEST(unicode_utf16, boundaries_pairs_and_lone_surrogates_in_both_byte_orders) {
  for (bool be : {false, true}) {
    auto unit = [be](u16 u) { return be ? bytes{(u8)(u >> 8), (u8)u} : bytes{(u8)u, (u8)(u >> 8)}; };
    auto cat = [](bytes a, const bytes &b) {
      a.insert(a.end(), b.begin(), b.end());
      return a;
    };
    for (u32 c : boundaries) {
      u8 out[4];
      u8 units = 0;
      u32 e = 0;
      unicode_utf16_encode(out, out + 4, c, &units, be, &e);
      ASSERT_EQ(e, 0u);
      ASSERT_EQ(units, c > 0xFFFF ? 2 : 1);
      decoded d = decode16(bytes(out, out + 2 * units), be);
      EXPECT_EQ(d.error, 0u);
      EXPECT_EQ(d.code_point, c);
      EXPECT_EQ(d.length, units);
      // Too little room: nothing written.
      e = 0;
      memset(out, 0xAA, 4);
      unicode_utf16_encode(out, out + 2 * units - 1, c, &units, be, &e);
      EXPECT_EQ(e, (u32)unicode_error_output_too_small);
      EXPECT_EQ(out[0], 0xAA);
    }
    decoded d = decode16(cat(unit(0xD83D), unit(0xDE00)), be);
    EXPECT_EQ(d.code_point, 0x1F600u);
    EXPECT_EQ(d.length, 2);
    // A high surrogate followed by anything but a low one: only the first unit is bad.
    for (u16 next : {0x0041, 0xD800, 0xDBFF, 0xE000, 0x0000}) {
      d = decode16(cat(unit(0xD83D), unit(next)), be);
      EXPECT_EQ(d.error, (u32)unicode_error_unpaired_surrogate);
      EXPECT_EQ(d.length, 1);
    }
    // A low surrogate first is unpaired wherever it stands, also as the last unit.
    for (bytes in : {cat(unit(0xDC00), unit(0x0041)), unit(0xDC00), unit(0xDFFF)}) {
      d = decode16(in, be);
      EXPECT_EQ(d.error, (u32)unicode_error_unpaired_surrogate);
      EXPECT_EQ(d.length, 1);
      EXPECT_EQ(d.code_point, unicode_invalid);
    }
    d = decode16(unit(0xD83D), be);
    EXPECT_EQ(d.error, (u32)unicode_error_truncated);
    EXPECT_EQ(d.length, 2);
    d = decode16(bytes{0x41}, be);
    EXPECT_EQ(d.error, (u32)unicode_error_no_input);
    for (u32 c : {0xD800u, 0xDFFFu, 0x110000u}) {
      u8 units;
      u32 e = 0;
      unicode_utf16_encode(nullptr, nullptr, c, &units, be, &e);
      EXPECT_EQ(e, (u32)unicode_error_not_scalar_value);
    }
  }
  EXPECT_EQ(unicode_read_utf16_unit((const u8 *)"\x12\x34", true), 0x1234);
  EXPECT_EQ(unicode_read_utf16_unit((const u8 *)"\x12\x34", false), 0x3412);
  const u16 z[] = {0x41, 0xD83D, 0xDE00, 0};
  EXPECT_EQ(unicode_utf16_length(z), 3u);
}

TEST(unicode_error_word, a_set_word_makes_every_operation_do_nothing) {
  u8 text[] = {0x41, 0x20, 0x42};
  u8 out[8] = {};
  u32 e = unicode_error_truncated;
  u8 n = 7;
  unicode_utf8_encode(out, out + 8, 0x41, &n, &e);
  unicode_utf16_encode(out, out + 8, 0x41, &n, false, &e);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(n, 7);
  EXPECT_EQ(unicode_utf8_to_utf16(text, 3, out, 8, &e), 0u);
  EXPECT_EQ(unicode_utf16_to_utf8(text, 1, out, 8, &e), 0u);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(unicode_utf8_decode_backward(text, text + 3, nullptr, nullptr, &e), nullptr);
  EXPECT_EQ(unicode_find_first_space(text, text + 3, &e), nullptr);
  EXPECT_EQ(unicode_find_last_non_space(text, text + 3, &e), nullptr);
  EXPECT_EQ(e, (u32)unicode_error_truncated);
  EXPECT_STREQ(unicode_error_name(unicode_error_unpaired_surrogate), "unpaired surrogate");
  EXPECT_STREQ(unicode_error_name(99), "unknown");
}

// ---- Whole texts -------------------------------------------------------------------------

std::u16string to16(const bytes &in, u32 *error, u64 capacity = 4096) {
  std::vector<u16> out(capacity / 2 + 1);
  u64 n = unicode_utf8_to_utf16(in.data(), in.size(), out.data(), capacity, error);
  return std::u16string(out.begin(), out.begin() + n);
}

bytes to8(const std::u16string &in, u32 *error, u64 capacity = 4096) {
  bytes out(capacity + 1);
  u64 n = unicode_utf16_to_utf8(in.data(), in.size(), out.data(), capacity, error);
  return bytes(out.begin(), out.begin() + n);
}

TEST(unicode_convert, replacement_counts_follow_the_bytes_stepped_over) {
  struct { bytes in; std::u16string out; } cases[] = {
      {{0x41, 0xFF, 0x42}, u"A\uFFFDB"},
      {{0xE2, 0x82}, u"\uFFFD\uFFFD"},                      // cut by the end: one per byte
      {{0xF0, 0x90, 0x80, 0x41}, u"\uFFFD\uFFFD\uFFFD" u"A"},  // cut by a byte that cannot continue
      {{0xED, 0xA0, 0x80}, u"\uFFFD\uFFFD\uFFFD"},          // a surrogate
      {{0xE0, 0x80, 0x80}, u"\uFFFD\uFFFD\uFFFD"},          // overlong
      {{0xC0, 0xAF}, u"\uFFFD\uFFFD"},
      {{0xF4, 0x90, 0x80, 0x80}, u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {{0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}, u"\u20AC\U0001F600"},
      {{}, u""},
  };
  for (auto &k : cases) {
    u32 e = 0;
    EXPECT_EQ(to16(k.in, &e), k.out) << testing::PrintToString(k.in);
    EXPECT_EQ(e, 0u);
  }
  u32 e = 0;
  // 41 00 3D D8 41 00: a lone high surrogate between two letters.
  EXPECT_EQ(to8(std::u16string{u'A', (char16_t)0xD83D, u'A'}, &e), (bytes{0x41, 0xEF, 0xBF, 0xBD, 0x41}));
  EXPECT_EQ(to8(std::u16string{(char16_t)0xDE00, (char16_t)0xD83D, (char16_t)0xDE00, (char16_t)0xD83D}, &e),
            (bytes{0xEF, 0xBF, 0xBD, 0xF0, 0x9F, 0x98, 0x80, 0xEF, 0xBF, 0xBD}));
  EXPECT_EQ(e, 0u);
}

// Random mixes of valid text and stray bytes: the number of code points out is the number the
// counters report for the input, valid input round-trips exactly, and the output is always
// well-formed.
TEST(unicode_convert, random_texts_round_trip_and_replacements_match_the_counters) {
  std::mt19937 rng(1106);
  const u32 pool[] = {0x41, 0x20, 0x7F, 0xE9, 0x7FF, 0x800, 0x20AC, 0xD7FF, 0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
  for (int round = 0; round < 3000; round++) {
    bytes text;
    std::u16string wide;
    bool valid = true;
    u32 count = rng() % 40;
    for (u32 i = 0; i < count; i++) {
      if (rng() % 8 == 0) {
        text.push_back((u8)(0x80 + rng() % 0x80));
        valid = false;
        wide.push_back((char16_t)(0xD800 + rng() % 0x800));
        continue;
      }
      u32 c = pool[rng() % array_count(pool)];
      if (rng() % 4 == 0) c = 0x80 + rng() % (0x10FFFF - 0x80);
      if (!unicode_is_scalar_value(c)) c = 0xFFFD;
      bytes b = utf8_of(c);
      text.insert(text.end(), b.begin(), b.end());
      if (c > 0xFFFF) {
        wide.push_back((char16_t)(0xD800 + ((c - 0x10000) >> 10)));
        wide.push_back((char16_t)(0xDC00 + ((c - 0x10000) & 0x3FF)));
      } else {
        wide.push_back((char16_t)c);
      }
    }
    u32 e = 0;
    std::u16string w = to16(text, &e);
    bytes back = to8(w, &e);
    ASSERT_EQ(e, 0u);
    ASSERT_EQ(unicode_utf16_count((const u8 *)w.data(), (const u8 *)(w.data() + w.size())),
              unicode_utf8_count(text.data(), text.data() + text.size()));
    ASSERT_EQ(unicode_utf8_count(back.data(), back.data() + back.size()),
              unicode_utf8_count(text.data(), text.data() + text.size()));
    if (valid) {
      ASSERT_EQ(back, text);
    }
    // Arbitrary UTF-16 (stray surrogates mixed in) comes out as well-formed UTF-8.
    bytes narrow = to8(wide, &e);
    ASSERT_EQ(unicode_utf8_count(narrow.data(), narrow.data() + narrow.size()),
              unicode_utf16_count((const u8 *)wide.data(), (const u8 *)(wide.data() + wide.size())));
    ASSERT_EQ(to8(to16(narrow, &e), &e), narrow);
    for (const u8 *p = narrow.data(); p < narrow.data() + narrow.size();) {
      decoded d = decode8(bytes(p, (const u8 *)narrow.data() + narrow.size()));
      ASSERT_EQ(d.error, 0u);
      p += d.length;
    }
  }
}

TEST(unicode_convert, a_full_destination_keeps_whole_code_points_and_reports_it) {
  bytes text = {0x41, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0xC3, 0xA9, 0x42};
  u32 e = 0;
  std::u16string whole = to16(text, &e);
  bytes whole8 = to8(whole, &e);
  for (u64 capacity = 0; capacity < 2 * whole.size(); capacity++) {
    std::vector<u8> out(capacity + 8, 0xAA);
    e = 0;
    u64 units = unicode_utf8_to_utf16(text.data(), text.size(), out.data(), capacity, &e);
    EXPECT_EQ(e, (u32)unicode_error_output_too_small);
    EXPECT_LE(2 * units, capacity);
    EXPECT_GE(2 * units + 4, capacity);
    EXPECT_EQ(memcmp(out.data(), whole.data(), 2 * units), 0);
    for (u64 i = 2 * units; i < out.size(); i++) ASSERT_EQ(out[i], 0xAA);
  }
  for (u64 capacity = 0; capacity < whole8.size(); capacity++) {
    bytes out(capacity + 8, 0xAA);
    e = 0;
    u64 n = unicode_utf16_to_utf8(whole.data(), whole.size(), out.data(), capacity, &e);
    EXPECT_EQ(e, (u32)unicode_error_output_too_small);
    EXPECT_LE(n, capacity);
    EXPECT_EQ(memcmp(out.data(), whole8.data(), n), 0);
    for (u64 i = n; i < out.size(); i++) ASSERT_EQ(out[i], 0xAA);
  }
}

TEST(unicode_convert, pushes_fill_arenas_at_any_alignment) {
  alignas(8) u8 storage[64];
  buffer arena = buffer_make(40, 3, storage);
  u32 e = 0;
  std::string text = "h\xc3\xa9llo \xf0\x9f\x98\x80";
  u64 units = buffer_push_utf8_as_utf16(string_from_bytes(text.data(), text.size()), &arena, &e);
  EXPECT_EQ(units, 8u);
  EXPECT_EQ(arena.used, 3u + 16u);
  buffer wide = buffer_make(16, 16, storage + 3);
  u64 n = buffer_push_utf16_as_utf8(wide, &arena, &e);
  EXPECT_EQ(n, text.size());
  EXPECT_EQ(std::string((const char *)storage + 19, n), text);
  EXPECT_EQ(e, 0u);
  // The rest does not hold another copy: what fits is kept and the word says so.
  u64 before = arena.used;
  n = buffer_push_utf8_as_utf16(string_from_bytes(text.data(), text.size()), &arena, &e);
  n += buffer_push_utf8_as_utf16(string_from_bytes(text.data(), text.size()), &arena, &e);
  EXPECT_EQ(e, (u32)unicode_error_output_too_small);
  EXPECT_EQ(arena.used, before + 2 * n);
  EXPECT_LE(arena.used, arena.size);
}

// ---- Scanning ----------------------------------------------------------------------------

TEST(unicode_scan, backward_decoding_mirrors_forward_decoding) {
  std::mt19937 rng(6);
  for (int round = 0; round < 2000; round++) {
    bytes text;
    std::vector<std::pair<size_t, u32>> forward;
    u32 count = rng() % 20;
    for (u32 i = 0; i < count; i++) {
      u32 c = rng() % 3 ? rng() % 0x110000 : rng() % 0x80;
      if (!unicode_is_scalar_value(c)) continue;
      forward.push_back({text.size(), c});
      bytes b = utf8_of(c);
      text.insert(text.end(), b.begin(), b.end());
    }
    const u8 *begin = text.data(), *p = text.data() + text.size();
    for (size_t k = forward.size(); k-- > 0;) {
      u32 c, e = 0;
      u8 n;
      const u8 *q = unicode_utf8_decode_backward(begin, p, &c, &n, &e);
      ASSERT_EQ(e, 0u);
      ASSERT_EQ(q, begin + forward[k].first);
      ASSERT_EQ(c, forward[k].second);
      ASSERT_EQ(n, (u8)(p - q));
      p = q;
    }
    u32 e = 0;
    EXPECT_EQ(unicode_utf8_decode_backward(begin, p, nullptr, nullptr, &e), nullptr);
    EXPECT_EQ(e, 0u);
  }
}

TEST(unicode_scan, backward_decoding_rejects_what_is_not_a_whole_sequence) {
  auto back = [](bytes b, u32 *e) {
    return unicode_utf8_decode_backward(b.data(), b.data() + b.size(), nullptr, nullptr, e);
  };
  bytes euro = {0x61, 0xE2, 0x82, 0xAC};
  u8 n = 0;
  u32 c = 0, e = 0;
  EXPECT_EQ(unicode_utf8_decode_backward(euro.data(), euro.data() + 4, &c, &n, &e), euro.data() + 1);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(c, 0x20ACu);
  e = 0;
  EXPECT_EQ(back({0x80, 0x80, 0x80, 0x80, 0x80}, &e), nullptr);
  EXPECT_EQ(e, (u32)unicode_error_malformed);
  e = 0;
  EXPECT_EQ(back({0xF0, 0x90, 0x80, 0x80, 0x80}, &e), nullptr);  // a lead byte five bytes back
  EXPECT_EQ(e, (u32)unicode_error_malformed);
  e = 0;
  EXPECT_EQ(back({0x61, 0x80}, &e), nullptr);  // ASCII followed by a stray continuation
  EXPECT_EQ(e, (u32)unicode_error_malformed);
  e = 0;
  EXPECT_EQ(back({0xE2, 0x82}, &e), nullptr);  // cut: the forward decode's error stands
  EXPECT_EQ(e, (u32)unicode_error_truncated);
  e = 0;
  EXPECT_EQ(back({0xC0, 0x80}, &e), nullptr);
  EXPECT_EQ(e, (u32)unicode_error_bad_lead_byte);
  e = 0;
  EXPECT_EQ(back({0x80, 0x80}, &e), nullptr);  // reaches begin without a start
  EXPECT_EQ(e, 0u);
  bytes x = {0x61};
  EXPECT_EQ(unicode_utf8_decode_backward(x.data() + 1, x.data(), nullptr, nullptr, &e), nullptr);
  EXPECT_EQ(e, (u32)unicode_error_end_before_begin);
}

TEST(unicode_scan, first_and_last_space_and_non_space_agree_with_a_model) {
  std::mt19937 rng(16);
  const u32 pool[] = {0x20, 0x09, 0x0A, 0x0D, 0x61, 0xE9, 0x120, 0x4E20, 0x2009, 0x1F600};
  for (int round = 0; round < 5000; round++) {
    bytes text;
    std::vector<std::pair<size_t, u32>> cps;
    u32 count = rng() % 8;
    for (u32 i = 0; i < count; i++) {
      u32 c = pool[rng() % array_count(pool)];
      cps.push_back({text.size(), c});
      bytes b = utf8_of(c);
      text.insert(text.end(), b.begin(), b.end());
    }
    const u8 *b = text.data(), *end = b + text.size();
    const u8 *first_space = nullptr, *first_other = nullptr, *last_space = nullptr, *last_other = nullptr;
    for (auto &[at, c] : cps) {
      bool space = c == 0x20 || (c >= 9 && c <= 13);
      const u8 *p = b + at;
      if (space && !first_space) first_space = p;
      if (!space && !first_other) first_other = p;
      if (space) last_space = p;
      if (!space) last_other = p;
    }
    u32 e = 0;
    ASSERT_EQ(unicode_find_first_space(b, end, &e), first_space);
    ASSERT_EQ(unicode_find_first_non_space(b, end, &e), first_other);
    ASSERT_EQ(unicode_find_last_space(b, end, &e), last_space);
    ASSERT_EQ(unicode_find_last_non_space(b, end, &e), last_other);
    ASSERT_EQ(e, 0u);
  }
  bytes ab = {0x61, 0x62, 0x20, 0x20};
  u32 e = 0;
  EXPECT_EQ(unicode_find_last_non_space(ab.data(), ab.data() + 4, &e), ab.data() + 1);
  bytes spaces = {0x20, 0x20, 0x20};
  EXPECT_EQ(unicode_find_last_non_space(spaces.data(), spaces.data() + 3, &e), nullptr);
  EXPECT_EQ(e, 0u);
}

TEST(unicode_scan, finds_stop_on_malformed_text_with_its_error) {
  auto first = [](bytes t, u32 *e) { return unicode_find_first_non_space(t.data(), t.data() + t.size(), e); };
  auto last = [](bytes t, u32 *e) { return unicode_find_last_space(t.data(), t.data() + t.size(), e); };
  u32 e = 0;
  EXPECT_EQ(first({0x20, 0x80, 0x61}, &e), nullptr);
  EXPECT_EQ(e, (u32)unicode_error_malformed);
  e = 0;
  EXPECT_EQ(first({0x20, 0xE2, 0x82}, &e), nullptr);
  EXPECT_EQ(e, (u32)unicode_error_truncated);
  e = 0;
  EXPECT_EQ(first({0x20, 0xC0, 0x80}, &e), nullptr);
  EXPECT_EQ(e, (u32)unicode_error_bad_lead_byte);
  e = 0;
  EXPECT_EQ(last({0x61, 0x80, 0x80, 0x80, 0x80, 0x80}, &e), nullptr);
  EXPECT_EQ(e, (u32)unicode_error_malformed);
  e = 0;
  EXPECT_EQ(last({0x61, 0x61, 0x80}, &e), nullptr);
  EXPECT_EQ(e, (u32)unicode_error_malformed);
  e = 0;
  bytes t = {0x61};
  EXPECT_EQ(unicode_find_first_space(t.data() + 1, t.data(), &e), nullptr);
  EXPECT_EQ(e, (u32)unicode_error_end_before_begin);
  e = 0;
  EXPECT_EQ(unicode_find_last_space(t.data() + 1, t.data(), &e), nullptr);
  EXPECT_EQ(e, (u32)unicode_error_end_before_begin);
}

}  // namespace
