#include <ctype.h>
#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>

#include "core/core.h"

namespace {

std::string to_std(buffer b) { return std::string((const char *)b.data, b.used); }
buffer view(std::string &s) { return string_from_bytes(s.data(), s.size()); }

// ---- Character classes -------------------------------------------------------------------

TEST(char_class, bytes_match_the_c_locale_and_code_points_above_a_byte_match_nothing) {
  for (u32 c = 0; c < 256; c++) {
    EXPECT_EQ(char_is_upper(c), (bool)isupper((int)c)) << c;
    EXPECT_EQ(char_is_lower(c), (bool)islower((int)c)) << c;
    EXPECT_EQ(char_is_alpha(c), (bool)isalpha((int)c)) << c;
    EXPECT_EQ(char_is_digit(c), (bool)isdigit((int)c)) << c;
    EXPECT_EQ(char_is_hex(c), (bool)isxdigit((int)c)) << c;
    EXPECT_EQ(char_is_alnum(c), (bool)isalnum((int)c)) << c;
    EXPECT_EQ(char_is_space(c), (bool)isspace((int)c)) << c;
    EXPECT_EQ(char_is_blank(c), c == 9 || c == 11 || c == 12 || c == 32) << c;
    EXPECT_EQ(char_to_lower(c), (u32)tolower((int)c)) << c;
    if (isdigit((int)c)) {
      EXPECT_EQ(char_digit_value(c), c - '0');
    }
    if (isxdigit((int)c)) {
      EXPECT_EQ(char_hex_value(c), (u32)strtol(std::string(1, (char)c).c_str(), 0, 16));
    }
  }
  // Code points whose low byte is a space, a digit or a letter.
  for (u32 c : {0x120u, 0x4E20u, 0x109u, 0x10D0Au, 0x130u, 0x141u, 0x161u, 0x1F600u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(char_is_space(c) || char_is_blank(c) || char_is_alnum(c) || char_is_hex(c)) << c;
    EXPECT_EQ(char_to_lower(c), c);
    EXPECT_FALSE(char_is_any(c, " \t\n\f\r", 5)) << c;
  }
}

TEST(char_class, set_membership_of_bytes_and_code_points) {
  EXPECT_TRUE(char_is_any('\r', " \t\n\f\r", 5));
  EXPECT_FALSE(char_is_any('x', " \t\n\f\r", 5));
  EXPECT_FALSE(char_is_any(' ', "", 0));
  const u32 set[] = {0x20, 0x3000, 0x1F600};
  EXPECT_TRUE(char_is_any_u32(0x3000, set, 3));
  EXPECT_TRUE(char_is_any_u32(0x1F600, set, 3));
  EXPECT_FALSE(char_is_any_u32(0x1F620, set, 3));
  EXPECT_FALSE(char_is_any_u32(0x20, set, 0));
}

TEST(string_length, counts_to_the_zero_byte_and_null_is_empty) {
  EXPECT_EQ(string_length(nullptr), 0u);
  EXPECT_EQ(string_length(""), 0u);
  EXPECT_EQ(string_length("abc\0def"), 3u);
}

// ---- Comparison and search against std::string ------------------------------------------

std::string lower_model(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c += 32;
  return s;
}

std::string random_text(std::mt19937 &rng, const char *alphabet, u32 max_length) {
  u32 n = rng() % (max_length + 1);
  u32 k = (u32)strlen(alphabet);
  std::string s;
  for (u32 i = 0; i < n; i++) s += alphabet[rng() % k];
  return s;
}

TEST(string_search, compare_and_find_agree_with_std_string_over_random_texts) {
  std::mt19937 rng(104);
  // A small alphabet with case pairs and bytes just outside the folded range ("@", "[", 0xC1/0xE1).
  const char *alphabet = "aAbB@[\xc1\xe1";
  for (int round = 0; round < 20000; round++) {
    std::string hay = random_text(rng, alphabet, 12);
    std::string needle = random_text(rng, alphabet, 4);
    // Exact-size heap copies, so the sanitizer sees any read outside either range.
    std::vector<u8> h(hay.begin(), hay.end()), n(needle.begin(), needle.end());
    const u8 *b = h.data(), *e = h.data() + h.size();
    buffer hb = string_from_bytes(h.data(), h.size()), nb = string_from_bytes(n.data(), n.size());

    EXPECT_EQ(string_equal(hb, nb), hay == needle);
    EXPECT_EQ(string_equal_ignore_case(hb, nb), lower_model(hay) == lower_model(needle));
    EXPECT_EQ(string_starts_with(hb, nb), hay.compare(0, needle.size(), needle) == 0 && hay.size() >= needle.size());
    EXPECT_EQ(string_starts_with_ignore_case(hb, nb), lower_model(hay).rfind(lower_model(needle), 0) == 0);

    bool bad = needle.empty() || needle.size() > hay.size();
    size_t first = hay.find(needle), last = hay.rfind(needle);
    size_t first_folded = lower_model(hay).find(lower_model(needle));
    const u8 *expect_first = bad || first == std::string::npos ? e : b + first;
    const u8 *expect_last = bad || last == std::string::npos ? e : b + last;
    const u8 *expect_folded = bad || first_folded == std::string::npos ? e : b + first_folded;
    ASSERT_EQ(string_find(b, e, n.data(), n.size()), expect_first) << hay << " / " << needle;
    ASSERT_EQ(string_find_last(b, e, n.data(), n.size()), expect_last) << hay << " / " << needle;
    ASSERT_EQ(string_find_ignore_case(b, e, n.data(), n.size()), expect_folded) << hay << " / " << needle;

    bool any = hay.find_first_of(needle) != std::string::npos;
    EXPECT_EQ(string_has_any_byte(hb, nb), any);
  }
}

TEST(string_search, bad_ranges_and_empty_needles_return_end) {
  const u8 text[] = "abab";
  const u8 *b = text, *e = text + 4;
  EXPECT_EQ(string_find(b, e, "", 0), e);
  EXPECT_EQ(string_find(b, b, "a", 1), b);
  EXPECT_EQ(string_find(e, b, "a", 1), b);
  EXPECT_EQ(string_find(nullptr, e, "a", 1), e);
  EXPECT_EQ(string_find(b, e, "ababa", 5), e);
  EXPECT_EQ(string_find_last(b, e, "ab", 2), b + 2);
  EXPECT_EQ(string_find_last(b, e, "", 0), e);
  EXPECT_EQ(string_find_ignore_case(b, b + 1, "AB", 2), b + 1);
  EXPECT_TRUE(string_starts_with_bytes(nullptr, nullptr, "", 0));
  EXPECT_FALSE(string_starts_with_bytes(b, b + 1, "ab", 2));
  EXPECT_TRUE(string_equal_bytes(nullptr, 0, "", 0));
}

// ---- Editing -----------------------------------------------------------------------------

TEST(string_replace, agrees_with_std_string_and_refuses_what_does_not_fit) {
  std::mt19937 rng(7);
  for (int round = 0; round < 5000; round++) {
    u8 storage[48];
    memset(storage, '#', sizeof storage);
    std::string model = random_text(rng, "abc", 16);
    u64 capacity = model.size() + rng() % 8;
    buffer text = buffer_make(capacity, model.size(), storage);
    memcpy(storage, model.data(), model.size());
    for (int step = 0; step < 6; step++) {
      u64 at = rng() % (model.size() + 1);
      u64 length = rng() % (model.size() - at + 1);
      std::string with = random_text(rng, "XYZ", 6);
      bool fits = model.size() - length + with.size() <= capacity;
      EXPECT_EQ(string_can_replace(&text, text.data + at, text.data + at + length, view(with)), fits);
      EXPECT_EQ(string_replace(&text, text.data + at, text.data + at + length, view(with)), fits);
      if (fits) model.replace(at, length, with);
      ASSERT_EQ(to_std(text), model);
      ASSERT_EQ(text.size, capacity);
      // Nothing beyond the capacity is touched.
      for (u64 i = capacity; i < sizeof storage; i++) ASSERT_EQ(storage[i], '#');
    }
  }
}

TEST(string_replace, growing_by_more_than_the_free_space_changes_nothing) {
  u8 storage[8] = {'a', 'b', 'c', 'd', 'e', 'f'};
  buffer text = buffer_make(8, 6, storage);
  std::string five = "12345";
  EXPECT_FALSE(string_replace(&text, storage + 1, storage + 3, view(five)));
  EXPECT_EQ(to_std(text), "abcdef");
  text.size = 9 - 0;  // three free bytes (the last one is never written here)
  u8 bigger[9] = {'a', 'b', 'c', 'd', 'e', 'f'};
  text.data = bigger;
  EXPECT_TRUE(string_replace(&text, bigger + 1, bigger + 3, view(five)));
  EXPECT_EQ(to_std(text), "a12345def");
}

TEST(string_replace_bytes, replacements_chain_in_the_order_of_the_set) {
  std::string s = "ab\r\n\t\vx";
  buffer t = view(s);
  string_replace_bytes(&t, "ab", "bc");
  EXPECT_EQ(s, "cc\r\n\t\vx");
  string_replace_bytes(&t, "\r\n\t\v", "    ");
  EXPECT_EQ(s, "cc    x");
  std::string u = "HeLLo";
  string_to_lower(view(u));
  EXPECT_EQ(u, "hello");
}

TEST(string_trim, trimmed_views_stay_inside_their_text) {
  std::mt19937 rng(3);
  std::string set = " \t";
  for (int round = 0; round < 3000; round++) {
    std::string s = random_text(rng, " \tab", 10);
    std::vector<u8> bytes(s.begin(), s.end());
    u64 spare = rng() % 4;
    buffer text = buffer_make(bytes.size() + spare, bytes.size(), bytes.data());
    buffer left = string_trim_left_any(text, view(set));
    buffer right = string_trim_right_any(text, view(set));
    size_t l = s.find_first_not_of(set), r = s.find_last_not_of(set);
    EXPECT_EQ(to_std(left), l == std::string::npos ? "" : s.substr(l));
    EXPECT_EQ(to_std(right), r == std::string::npos ? "" : s.substr(0, r + 1));
    // The limit of each view is the limit of the text: appending never passes it.
    EXPECT_EQ(buffer_limit(left), buffer_limit(text));
    EXPECT_EQ(buffer_limit(right), buffer_limit(text));
  }
  std::string x = "  x";
  buffer t = string_trim_left_any(view(x), string_lit(" "));
  EXPECT_EQ(to_std(t), "x");
  EXPECT_EQ(t.size, 1u);
}

TEST(string_advance, moves_the_view_and_refuses_more_than_its_size) {
  std::string s = "abcdef";
  buffer v = buffer_make(8, 6, s.data());
  string_advance(&v, 9);
  EXPECT_EQ(v.data, (u8 *)s.data());
  EXPECT_EQ(v.used, 6u);
  string_advance(&v, 7);
  EXPECT_EQ(v.data, (u8 *)s.data() + 7);
  EXPECT_EQ(v.used, 0u);
  EXPECT_EQ(v.size, 1u);
}

// ---- Tokenizer ---------------------------------------------------------------------------

TEST(tokenizer, words_space_runs_and_delimited_fields) {
  std::string s = "  one\ttwo \n three ";
  tokenizer t = tokenizer_from_buffer(view(s));
  EXPECT_EQ(to_std(tokenizer_next_word(&t)), "one");
  EXPECT_EQ(to_std(tokenizer_next_word(&t)), "two");
  EXPECT_EQ(to_std(tokenizer_next_word(&t)), "three");
  EXPECT_EQ(tokenizer_next_word(&t).used, 0u);
  EXPECT_EQ(tokenizer_next_word(&t).data, nullptr);

  t = tokenizer_from_buffer(view(s));
  EXPECT_EQ(to_std(tokenizer_next_space_run(&t)), "  ");
  EXPECT_EQ(to_std(tokenizer_next_space_run(&t)), "\t");
  EXPECT_EQ(to_std(tokenizer_next_space_run(&t)), " \n ");
  EXPECT_EQ(to_std(tokenizer_next_space_run(&t)), " ");
  EXPECT_EQ(tokenizer_next_space_run(&t).used, 0u);

  std::string csv = "a,,bc";
  t = tokenizer_from_buffer(view(csv));
  EXPECT_EQ(to_std(tokenizer_next_until(&t, ',')), "a");
  EXPECT_EQ(*t.cursor, ',');
  u8 *on_delimiter = t.cursor;
  EXPECT_EQ(tokenizer_next_until(&t, ',').used, 0u);
  EXPECT_EQ(t.cursor, on_delimiter);
  t.cursor += 2;
  EXPECT_EQ(to_std(tokenizer_next_until(&t, ',')), "bc");
  EXPECT_EQ(t.cursor, t.end);
}

// ---- Integer text ------------------------------------------------------------------------

std::string fmt_u(u64 value, u64 width = 0, u8 pad = ' ', u32 flags = 0) {
  u8 out[128];
  u64 n = format_unsigned(out, sizeof out, value, width, pad, flags);
  return std::string((const char *)out, n);
}
std::string fmt_s(s64 value, u64 width = 0, u8 pad = ' ', u32 flags = 0) {
  u8 out[128];
  u64 n = format_signed(out, sizeof out, value, width, pad, flags);
  return std::string((const char *)out, n);
}

TEST(format_integer, each_flag_alone) {
  EXPECT_EQ(fmt_u(0), "0");
  EXPECT_EQ(fmt_u(UINT64_MAX), "18446744073709551615");
  EXPECT_EQ(fmt_u(255, 0, ' ', format_hex), "0xff");
  EXPECT_EQ(fmt_u(255, 0, ' ', format_no_prefix), "255");
  EXPECT_EQ(fmt_u(0xabcdef, 0, ' ', format_hex | format_no_prefix), "abcdef");
  EXPECT_EQ(fmt_u(0x9abcdef, 0, ' ', format_hex | format_hex_upper), "0x9ABCDEF");
  EXPECT_EQ(fmt_u(1234, 0, ' ', format_hex_upper), "1234");  // decimal has no letters
  EXPECT_EQ(fmt_u(0xabcdef, 0, ' ', format_hex | format_hex_group_2), "0xab cd ef");
  EXPECT_EQ(fmt_u(0xabcdef, 0, ' ', format_hex | format_hex_group_4), "0xab cdef");
  EXPECT_EQ(fmt_u(0x123456789, 0, ' ', format_hex | format_hex_group_8), "0x1 23456789");
  EXPECT_EQ(fmt_u(0xa, 0, ' ', format_hex | format_hex_min_2), "0x0a");
  EXPECT_EQ(fmt_u(0xa, 0, ' ', format_hex | format_hex_min_4), "0x000a");
  EXPECT_EQ(fmt_u(0xa, 0, ' ', format_hex | format_hex_min_8), "0x0000000a");
  EXPECT_EQ(fmt_u(0xa, 0, ' ', format_hex | format_hex_min_16), "0x000000000000000a");
  EXPECT_EQ(fmt_u(0x12345, 0, ' ', format_hex | format_hex_min_2), "0x12345");
  EXPECT_EQ(fmt_u(42, 6, ' ', format_pad_after), "42    ");
  EXPECT_EQ(fmt_u(42, 0, ' ', format_always_sign), "+42");
  EXPECT_EQ(fmt_s(-42, 0, ' ', format_always_sign), "-42");
  EXPECT_EQ(fmt_u(42, 6, ' ', format_sign_first), "    42");
  EXPECT_EQ(fmt_u(1234567, 0, ' ', format_decimal_group_3), "1 234 567");
  EXPECT_EQ(fmt_u(123, 0, ' ', format_decimal_group_3), "123");
  EXPECT_EQ(fmt_s(-1234, 0, ' ', format_decimal_group_3), "-1 234");
  // Meaningless bit and the float-only flag change nothing in integer text.
  EXPECT_EQ(fmt_u(42, 0, ' ', 0x40 | format_scientific), "42");
}

TEST(format_integer, combinations_of_sign_prefix_padding_and_groups) {
  EXPECT_EQ(fmt_u(15, 2, '0', format_hex | format_no_prefix), "0f");
  EXPECT_EQ(fmt_u(0xa, 0, ' ', format_hex | format_no_prefix | format_hex_min_2 | format_hex_upper), "0A");
  EXPECT_EQ(fmt_u(0x50e, 0, ' ', format_hex | format_hex_min_4 | format_hex_upper), "0x050E");
  EXPECT_EQ(fmt_u(0xabcdef, 0, ' ', format_hex | format_hex_group_4 | format_hex_min_8), "0x00ab cdef");
  EXPECT_EQ(fmt_u(0xabcd, 0, ' ', format_hex | format_hex_group_4 | format_hex_min_8), "0x0000 abcd");
  EXPECT_EQ(fmt_u(0xabc, 0, ' ', format_hex | format_hex_group_2 | format_hex_min_8), "0x00 00 0a bc");
  // The group width wins in the order 2, 4, 8; the minimum in the order 2, 4, 8, 16.
  EXPECT_EQ(fmt_u(0xabcd, 0, ' ', format_hex | format_hex_group_2 | format_hex_group_4), "0xab cd");
  EXPECT_EQ(fmt_u(1, 0, ' ', format_hex | format_hex_min_4 | format_hex_min_16), "0x0001");
  // Padding counts the prefix and the separators; it goes after the prefix.
  EXPECT_EQ(fmt_u(0xabcd, 12, ' ', format_hex | format_hex_group_2), "0x     ab cd");
  EXPECT_EQ(fmt_u(0xabcd, 13, '.', format_hex | format_hex_group_2 | format_hex_min_8), "0x00 00 ab cd");
  EXPECT_EQ(fmt_u(0xabcd, 15, '.', format_hex | format_hex_group_2 | format_hex_min_8), "0x..00 00 ab cd");
  EXPECT_EQ(fmt_u(0xabcd, 15, '.', format_hex | format_hex_group_2 | format_hex_min_8 | format_pad_after),
            "0x00 00 ab cd..");
  EXPECT_EQ(fmt_u(42, 6, ' '), "    42");
  EXPECT_EQ(fmt_u(42, 6, '0', format_always_sign), "000+42");
  EXPECT_EQ(fmt_u(42, 6, '0', format_always_sign | format_sign_first), "+00042");
  EXPECT_EQ(fmt_u(42, 6, ' ', format_always_sign | format_pad_after), "+42   ");
  EXPECT_EQ(fmt_s(-42, 6, ' '), "   -42");
  EXPECT_EQ(fmt_s(-42, 6, '0', format_sign_first), "-00042");
  EXPECT_EQ(fmt_s(-1, 0, ' ', format_hex), "0x-1");
  EXPECT_EQ(fmt_s(-1, 0, ' ', format_hex | format_sign_first), "-0x1");
  EXPECT_EQ(fmt_s(-255, 8, '0', format_hex | format_sign_first), "-0x000ff");
  EXPECT_EQ(fmt_s(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(fmt_s(INT64_MIN, 0, ' ', format_hex), "0x-8000000000000000");
  EXPECT_EQ(fmt_s(INT64_MAX, 0, ' ', format_always_sign), "+9223372036854775807");
  // Decimal groups: the unsigned formatter groups its padding, the signed one does not.
  EXPECT_EQ(fmt_u(123, 7, '0', format_decimal_group_3), "000 123");
  EXPECT_EQ(fmt_u(5, 7, '0', format_decimal_group_3), "000 005");
  EXPECT_EQ(fmt_u(999999, 7, '0', format_decimal_group_3), "999 999");
  EXPECT_EQ(fmt_u(1234567, 0, '0', format_decimal_group_3), "1 234 567");
  EXPECT_EQ(fmt_u(5, 11, '0', format_decimal_group_3), "000 000 005");
  EXPECT_EQ(fmt_u(5, 8, '0', format_decimal_group_3 | format_always_sign | format_sign_first), "+000 005");
  EXPECT_EQ(fmt_u(1234, 9, ' ', format_decimal_group_3 | format_pad_after), "1 234    ");
  EXPECT_EQ(fmt_s(5, 7, '0', format_decimal_group_3), "0000005");
  EXPECT_EQ(fmt_s(-1234, 8, '0', format_decimal_group_3), "00-1 234");
}

// The grouped padding, checked by shape: groups of three from the right, never a leading
// separator, never more than the width, at most one short of it.
TEST(format_integer, grouped_decimal_padding_has_the_shape_of_a_longer_number) {
  for (u64 value : {0ull, 5ull, 42ull, 999ull, 1000ull, 123456ull, 1234567ull, 18446744073709551615ull}) {
    std::string plain = fmt_u(value);
    for (u64 width = 0; width < 40; width++) {
      std::string s = fmt_u(value, width, '0', format_decimal_group_3);
      std::string digits;
      for (size_t i = 0; i < s.size(); i++) {
        size_t from_right = s.size() - i;
        if (from_right % 4 == 0) {
          ASSERT_EQ(s[i], ' ') << s;
        } else {
          ASSERT_TRUE(isdigit((unsigned char)s[i])) << s;
          digits += s[i];
        }
      }
      ASSERT_NE(s[0], ' ');
      ASSERT_EQ(std::stoull(digits), value);
      u64 natural = plain.size() + (plain.size() - 1) / 3;
      if (width > natural) {
        ASSERT_LE(s.size(), width) << s;
        ASSERT_GE(s.size() + 1, width) << s;
      } else {
        ASSERT_EQ(s.size(), natural);
      }
    }
  }
}

TEST(format_integer, never_writes_at_or_past_size) {
  const u32 flag_sets[] = {0, format_hex | format_hex_group_2 | format_hex_min_16, format_decimal_group_3,
                           format_always_sign | format_sign_first | format_pad_after};
  for (u32 flags : flag_sets) {
    std::string whole = fmt_s(-1234567, 30, '0', flags);
    for (u64 size = 0; size <= whole.size() + 2; size++) {
      u8 out[64];
      memset(out, '#', sizeof out);
      u64 n = format_signed(out, size, -1234567, 30, '0', flags);
      ASSERT_EQ(n, std::min<u64>(size, whole.size()));
      ASSERT_EQ(std::string((const char *)out, n), whole.substr(0, n));
      for (u64 i = n; i < sizeof out; i++) ASSERT_EQ(out[i], '#');
    }
  }
  // A huge width against a small destination ends at once.
  u8 out[8];
  EXPECT_EQ(format_unsigned(out, 8, 1, UINT64_MAX, ' ', format_decimal_group_3), 8u);
  EXPECT_EQ(format_unsigned(out, 8, 1, UINT64_MAX, ' ', format_pad_after), 8u);
  EXPECT_EQ(format_unsigned(out, 0, 1, 5, ' ', 0), 0u);
}

TEST(format_integer, pushes_append_to_the_arena_and_stop_when_it_is_full) {
  u8 storage[16];
  buffer arena = buffer_make(sizeof storage, 0, storage);
  EXPECT_EQ(buffer_push_unsigned(&arena, 2024, 4, '0', 0), 4u);
  EXPECT_EQ(buffer_push_signed(&arena, -5, 3, ' ', 0), 3u);
  EXPECT_EQ(buffer_push_unsigned(&arena, 123, 7, '0', format_decimal_group_3), 7u);
  EXPECT_EQ(to_std(arena), "2024 -5000 123");
  EXPECT_EQ(buffer_push_unsigned(&arena, 12345, 0, ' ', 0), 2u);
  EXPECT_EQ(arena.used, 16u);
  EXPECT_EQ(buffer_push_unsigned(&arena, 1, 0, ' ', 0), 0u);
}

TEST(format_integer, sizes_take_the_largest_unit_they_are_whole_in) {
  auto size = [](u64 bytes) {
    u8 storage[32];
    buffer b = buffer_make(sizeof storage, 0, storage);
    buffer_push_size(&b, bytes);
    return to_std(b);
  };
  EXPECT_EQ(size(MiB(64)), "64 MiB");
  EXPECT_EQ(size(GiB(2)), "2 GiB");
  EXPECT_EQ(size(MiB(1536)), "1536 MiB");
  EXPECT_EQ(size(MiB(1) + KiB(512)), "1536 KiB");
  EXPECT_EQ(size(100), "100 bytes");
  EXPECT_EQ(size(0), "0 bytes");
  u8 tiny[4];
  buffer b = buffer_make(sizeof tiny, 0, tiny);
  buffer_push_size(&b, MiB(64));
  EXPECT_EQ(to_std(b), "64") << "a unit that does not fit is left out, the arena never passed";
}

s64 parse(const char *s, bool *over = nullptr) { return string_parse_integer((const u8 *)s, strlen(s), over); }
s64 parse_s64(const char *s, bool *over = nullptr) { return string_parse_s64((const u8 *)s, strlen(s), over); }

TEST(parse_integer, prefixes_signs_and_stops) {
  EXPECT_EQ(parse(" +-12"), -12);
  EXPECT_EQ(parse("\t\n+ +7"), 7);
  EXPECT_EQ(parse("0x1F"), 31);
  EXPECT_EQ(parse("-0xff"), -255);
  EXPECT_EQ(parse("0X1F"), 0);
  EXPECT_EQ(parse("0x"), 0);
  EXPECT_EQ(parse("0xg"), 0);
  EXPECT_EQ(parse("12ab"), 12);
  EXPECT_EQ(parse(""), 0);
  EXPECT_EQ(parse("- 5"), 0);
  EXPECT_EQ(parse("--5"), 0);
  EXPECT_EQ(string_parse_integer(nullptr, 0), 0);
  EXPECT_EQ(parse_s64("+ 5"), 0);
  EXPECT_EQ(parse_s64("-7"), -7);
  EXPECT_EQ(parse_s64("  +0x10"), 16);
  EXPECT_EQ(parse_s64("+-1"), 0);
  // The length bounds the read even when more digits follow in memory.
  EXPECT_EQ(string_parse_integer((const u8 *)"12345", 3), 123);
  EXPECT_EQ(string_parse_integer((const u8 *)"0x12", 2), 0);
}

TEST(parse_integer, values_past_the_s64_range_saturate_and_are_reported) {
  bool over = false;
  EXPECT_EQ(parse("9223372036854775807", &over), INT64_MAX);
  EXPECT_EQ(parse("-9223372036854775808", &over), INT64_MIN);
  EXPECT_EQ(parse("0x7fffffffffffffff", &over), INT64_MAX);
  EXPECT_FALSE(over);
  EXPECT_EQ(parse("9223372036854775808", &over), INT64_MAX);
  EXPECT_TRUE(over);
  over = false;
  EXPECT_EQ(parse("-9223372036854775809", &over), INT64_MIN);
  EXPECT_TRUE(over);
  over = false;
  // A character reference that would wrap to "A".
  EXPECT_EQ(parse("0x10000000000000041", &over), INT64_MAX);
  EXPECT_TRUE(over);
  over = false;
  EXPECT_EQ(parse_s64("18446744073709551616", &over), INT64_MAX);
  EXPECT_TRUE(over);
  over = false;
  EXPECT_EQ(parse("000000000000000000000000000000000042", &over), 42);
  EXPECT_FALSE(over);
  // The flag is never cleared by a later good read.
  over = true;
  EXPECT_EQ(parse("1", &over), 1);
  EXPECT_TRUE(over);
}

TEST(parse_integer, reads_back_what_the_formatters_wrote) {
  std::mt19937_64 rng(1104);
  // Spaces may come before a sign, zeros only after it.
  const u32 decimal_flags[] = {0, format_always_sign, format_pad_after, format_always_sign | format_pad_after};
  for (int round = 0; round < 20000; round++) {
    s64 v = (s64)(rng() >> (rng() % 64));
    if (rng() & 1) v = -v;
    u64 width = rng() % 24;
    u32 flags = decimal_flags[rng() % array_count(decimal_flags)];
    bool over = false;
    std::string s = fmt_s(v, width, ' ', flags);
    ASSERT_EQ(parse(s.c_str(), &over), v) << s;
    ASSERT_EQ(parse_s64(s.c_str(), &over), v) << s;
    s = fmt_s(v, width, '0', format_sign_first);
    ASSERT_EQ(parse(s.c_str(), &over), v) << s;
    u32 hex = format_hex | format_sign_first | (u32)(format_hex_min_2 << (rng() % 4));
    s = fmt_s(v, width, '0', hex);
    ASSERT_EQ(parse(s.c_str(), &over), v) << s;
    ASSERT_FALSE(over);
    u64 u = rng() >> (rng() % 64);
    s = rng() & 1 ? fmt_u(u, width, '0', format_hex) : fmt_u(u, width, ' ', 0);
    ASSERT_EQ(parse(s.c_str(), &over), u > (u64)INT64_MAX ? INT64_MAX : (s64)u) << s;
    ASSERT_EQ(over, u > (u64)INT64_MAX) << s;
  }
}

}  // namespace
