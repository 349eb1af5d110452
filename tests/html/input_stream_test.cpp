// The input stream: code point sets, character references, line bookkeeping, decoding ends and
// the encoding prescan.
#include <gtest/gtest.h>

#include <random>

#include "html/named_references.h"
#include "html_test_support.h"

namespace {

struct reference_result {
  u8 count;
  u32 first, second, ambiguous;
  u64 consumed;  // bytes the stream moved past the '&'
};

reference_result parse_reference(const std::string &after_ampersand) {
  std::string input = "&" + after_ampersand;
  hp_stream s;
  hp_stream_init(&s, (u8 *)input.data(), input.size(), 0);
  s.encoding = encoding_utf_8;
  int e = 0;
  EXPECT_EQ(hp_consume(&s, &e), (u32)'&');
  reference_result r = {};
  r.count = hp_parse_character_reference(&s, &r.first, &r.second, &r.ambiguous);
  r.consumed = (u64)(s.current.position - (u8 *)input.data()) - 1;
  return r;
}

TEST(html_input_stream, code_point_sets_match_their_tables) {
  for (u32 c = 0; c <= 0x110001; c++) {
    if (c > 0x300 && c < 0xFD00) c = 0xFD00;
    if (c > 0xFFFF && (c & 0xFFFF) < 0xFFF0) c = (c & ~0xFFFFu) | 0xFFF0;
    ASSERT_EQ(hp_is_invalid_text_character(c),
              char_is_any_u32(c, hp_invalid_text_characters, HP_INVALID_TEXT_CHARACTER_COUNT)) << c;
    ASSERT_EQ(hp_is_forbidden_numeric_reference(c),
              char_is_any_u32(c, hp_forbidden_numeric_references, HP_FORBIDDEN_NUMERIC_REFERENCE_COUNT)) << c;
    ASSERT_EQ(hp_is_attribute_name_stop(c),
              char_is_any_u32(c, hp_attribute_name_stop_characters, HP_ATTRIBUTE_NAME_STOP_COUNT)) << c;
  }
}

// The lookup searches by halves, which only works while the generated names stay in the byte
// order of "name;".
TEST(html_input_stream, every_named_reference_is_found_and_names_are_sorted) {
  const char *previous = nullptr;
  u64 names = 0;
  for (u64 slot = 0; slot < HTML_NAMED_REFERENCE_SLOTS; slot++) {
    const char *name = html_named_reference_names[slot];
    if (!name) continue;
    names++;
    if (previous) {
      ASSERT_LT(std::string(previous) + ";", std::string(name) + ";") << name;
    }
    previous = name;
    u32 first, second;
    hp_find_named_reference((const u8 *)name, html_named_reference_lengths[slot], &first, &second);
    u32 want_first, want_second;
    hp_named_reference_codepoints(slot, &want_first, &want_second);
    ASSERT_EQ(first, want_first) << name;
    ASSERT_EQ(second, want_second) << name;
    reference_result r = parse_reference(std::string(name) + ";");
    ASSERT_EQ(r.count, want_second == 0xFFFFFFFF ? 1 : 2) << name;
    ASSERT_EQ(r.consumed, strlen(name) + 1);
    ASSERT_EQ(hp_find_named_reference_slot(want_first, want_second == 0xFFFFFFFF ? 0 : want_second, slot), slot);
  }
  EXPECT_EQ(names, 2125u);
  u32 first, second;
  hp_find_named_reference((const u8 *)"zzzz", 4, &first, &second);
  EXPECT_EQ(first, 0xFFFFFFFFu);
  hp_find_named_reference((const u8 *)"A", 1, &first, &second);
  EXPECT_EQ(first, 0xFFFFFFFFu);
}

TEST(html_input_stream, references_and_their_literal_forms) {
  struct {
    const char *text;
    u8 count;
    u32 first, second, ambiguous;
    u64 consumed;
  } cases[] = {
      {"amp;", 1, '&', 0xFFFFFFFF, 0, 4},
      {"AMP;", 1, '&', 0xFFFFFFFF, 0, 4},  // the table has it, whatever older notes say
      {"amp", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      {"amp x", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      {"acE;", 2, 0x223E, 0x0333, 0, 4},
      {"#65;", 1, 'A', 0xFFFFFFFF, 0, 4},
      {"#x41;", 1, 'A', 0xFFFFFFFF, 0, 5},
      {"#X41;", 1, 'A', 0xFFFFFFFF, 0, 5},
      {"#0;", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      {"#x;", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      {"#;", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      {"#55296;", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      {"#13;", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      {"#x110000;", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      {"#x10FFFD;", 1, 0x10FFFD, 0xFFFFFFFF, 0, 9},
      {"#x10FFFF;", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      // 2^32 + 65: a wrapping accumulator would give 'A'.
      {"#4294967361;", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      {"#x100000041;", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      {"#0000000000000000000065;", 1, 'A', 0xFFFFFFFF, 0, 24},
      {"#65", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      {"unknownname;", 0, 0xFFFFFFFF, 0xFFFFFFFF, 1, 0},
      {"abc ", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      {"abcdefghijabcdefghijabcdefghijabcdefghij;", 0, 0xFFFFFFFF, 0xFFFFFFFF, 1, 0},
      {"", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      {" amp;", 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
  };
  for (const auto &c : cases) {
    reference_result r = parse_reference(c.text);
    EXPECT_EQ(r.count, c.count) << c.text;
    EXPECT_EQ(r.first, c.first) << c.text;
    EXPECT_EQ(r.second, c.second) << c.text;
    EXPECT_EQ(r.ambiguous, c.ambiguous) << c.text;
    EXPECT_EQ(r.consumed, c.consumed) << c.text;
  }
}

// Every prefix of a reference, cut by the end of the input, in text and in an attribute value.
TEST(html_input_stream, references_cut_by_the_end_of_input) {
  const std::string full = "x&amp;&#x41;&#66;&acE;&notin;";
  for (u64 n = 0; n <= full.size(); n++) {
    hp_test_parse p;
    p.run(full.substr(0, n));
    ASSERT_EQ(p.token_error, 0) << n;
    std::string t = p.all_text();
    std::string want;
    // Decode the prefix by hand: a reference counts only once its ';' is in.
    const char *refs[][2] = {{"&amp;", "&"}, {"&#x41;", "A"}, {"&#66;", "B"}, {"&acE;", "\xe2\x88\xbe\xcc\xb3"},
                             {"&notin;", "\xe2\x88\x89"}};
    std::string rest = full.substr(0, n);
    want = rest.substr(0, 1);
    u64 at = 1;
    for (auto &r : refs) {
      u64 len = strlen(r[0]);
      if (at >= rest.size()) break;
      if (rest.size() - at >= len) {
        want += r[1];
      } else {
        want += rest.substr(at);
      }
      at += len;
    }
    EXPECT_EQ(t, want) << n;

    // In a quoted value the cut leaves the value open: error 2.
    hp_test_parse q;
    q.run("<a title=\"" + full.substr(0, n));
    EXPECT_EQ(q.token_error, html_tokenizer_error_eof_quoted_attribute_value) << n;
  }
  hp_test_parse q;
  q.run("<a title=\"&amp;&amp\">x</a>");
  EXPECT_EQ(q.token_error, 0);
  EXPECT_EQ(q.attribute_value(0, 0), "&&amp");
  hp_test_parse r;
  r.run("<a title=\"&bogus;\">x</a>");
  EXPECT_EQ(r.token_error, html_tokenizer_error_ambiguous_ampersand_in_attribute_value);
}

TEST(html_input_stream, lines_and_columns) {
  std::string input = "a\r\nb\nc\rd\n\ne";
  hp_stream s;
  hp_stream_init(&s, (u8 *)input.data(), input.size(), 0);
  s.encoding = encoding_utf_8;
  int e = 0;
  std::vector<std::pair<u32, u32>> at;
  for (;;) {
    u32 c = hp_consume(&s, &e);
    if (e) break;
    if (char_is_alpha(c)) at.push_back({s.current.line, s.current.column});
  }
  EXPECT_EQ(e, html_tokenizer_error_eof);
  std::vector<std::pair<u32, u32>> want = {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {5, 1}};
  EXPECT_EQ(at, want);
  EXPECT_EQ(hp_consume(&s, &e), 0u);  // a set error word reads nothing
}

TEST(html_input_stream, unconsume_and_lookahead) {
  std::string input = "ab\ncd";
  hp_stream s;
  hp_stream_init(&s, (u8 *)input.data(), input.size(), 0);
  s.encoding = encoding_utf_8;
  int e = 0;
  EXPECT_EQ(hp_consume(&s, &e), (u32)'a');
  EXPECT_EQ(hp_consume(&s, &e), (u32)'b');
  EXPECT_EQ(hp_consume(&s, &e), (u32)'\n');
  EXPECT_EQ(s.current.line, 1u);
  hp_unconsume(&s);
  EXPECT_EQ(s.current.line, 0u);
  EXPECT_EQ(s.current.column, 2u);
  hp_lookahead_begin(&s);
  EXPECT_EQ(hp_lookahead_consume(&s, &e), (u32)'\n');
  EXPECT_EQ(hp_lookahead_consume(&s, &e), (u32)'c');
  EXPECT_EQ(s.current.column, 2u);
  hp_lookahead_accept(&s);
  EXPECT_EQ(s.current.line, 1u);
  EXPECT_EQ(s.current.column, 1u);
  EXPECT_EQ(hp_consume(&s, &e), (u32)'d');
}

// Bytes that cannot make a whole code point at the end become one U+FFFD and the end: a lone
// UTF-16 byte used to leave the position short of the end forever.
TEST(html_input_stream, cut_sequences_at_the_end_finish_the_input) {
  struct {
    std::string bytes;
    std::string text;
  } cases[] = {
      {std::string("\xFF\xFE" "a\0b", 5), "a\xEF\xBF\xBD"},
      {std::string("\xFE\xFF\0a\0", 5), "a\xEF\xBF\xBD"},
      {std::string("\xFF\xFE" "a\0<\0p\0>\0x", 11), "ax"},
      {"ab\xF0", "ab\xEF\xBF\xBD"},
  };
  hp_test_parse cut;
  cut.run("ab\xE2\x82", 0);
  EXPECT_EQ(cut.token_error, 0);
  EXPECT_EQ(cut.all_text().substr(0, 5), "ab\xEF\xBF\xBD");
  for (const auto &c : cases) {
    hp_test_parse p;
    p.run(c.bytes, 0);
    EXPECT_EQ(p.token_error, 0);
    std::string t = p.all_text();
    if (c.text == "ax") {
      EXPECT_EQ(t, "a\xEF\xBF\xBD");  // the last 'x' has only half a unit
    } else {
      EXPECT_EQ(t, c.text);
    }
  }
}

TEST(html_input_stream, byte_order_marks_choose_the_encoding) {
  hp_test_parse a;
  a.run("\xEF\xBB\xBF<meta charset=\"iso-8859-2\">\xC3\xA9", 0);
  EXPECT_EQ(a.tokens.encoding, encoding_utf_8);
  EXPECT_EQ(a.all_text(), "\xC3\xA9");
  hp_test_parse b;
  b.run(std::string("\xFF\xFE" "a\0\xE9\0", 6), 0);
  EXPECT_EQ(b.tokens.encoding, encoding_utf_16le);
  EXPECT_EQ(b.all_text(), "a\xC3\xA9");
  hp_test_parse c;
  c.run(std::string("\xFE\xFF\0a\0\xE9", 6), 0);
  EXPECT_EQ(c.tokens.encoding, encoding_utf_16be);
  hp_test_parse d;
  d.run("", 0);
  EXPECT_EQ(d.tokens.encoding, encoding_utf_8);
  EXPECT_EQ(d.tokens.token_count, 0u);
}

u32 detect(const std::string &s) { return hp_detect_encoding(string_from_bytes(s.data(), s.size())); }

TEST(html_input_stream, prescan_forms) {
  EXPECT_EQ(detect("<meta charset=\"ISO-8859-2\">"), encoding_iso_8859_2);
  EXPECT_EQ(detect("<meta charset=ISO-8859-2>"), encoding_iso_8859_2);
  EXPECT_EQ(detect("<META charset='iso-8859-2'>"), encoding_iso_8859_2);
  EXPECT_EQ(detect("<meta CHARSET=\"ISO-8859-2\">"), 0u);
  EXPECT_EQ(detect("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=koi8-r\">"), encoding_koi8_r);
  EXPECT_EQ(detect("<meta content=\"text/html; charset=koi8-r\" http-equiv=\"Content-Type\">"), encoding_utf_8);
  EXPECT_EQ(detect("<meta content=\"TEXT/HTML;charset=koi8-r\" charset=\"koi8-r\">"), encoding_utf_8);
  EXPECT_EQ(detect("<meta charset=\"utf-16\">"), encoding_utf_8);
  EXPECT_EQ(detect("<meta charset=\"utf-16be\">"), encoding_utf_8);
  EXPECT_EQ(detect("<meta charset=\"x-user-defined\">"), encoding_windows_1252);
  EXPECT_EQ(detect("<meta charset=\"no-such-thing\">"), 0u);
  EXPECT_EQ(detect("<meta name=\"x\"><meta charset=\"windows-1251\">"), encoding_windows_1251);
  EXPECT_EQ(detect("<div title=\"<meta charset=koi8-r>\"></div>"), 0u);
  EXPECT_EQ(detect("<!-- <meta charset=\"koi8-r\"> -->"), 0u);
  // Right after the end of a comment: the scan must not step over the '<'.
  EXPECT_EQ(detect("<!-- x --><meta charset=\"koi8-r\">"), encoding_koi8_r);
  EXPECT_EQ(detect("<!---><meta charset=\"koi8-r\">-->"), 0u);
  EXPECT_EQ(detect("<?xml version=\"1.0\"?><meta charset=\"koi8-r\">"), encoding_koi8_r);
  EXPECT_EQ(detect("<meta/charset=\"koi8-r\">"), 0u);
  EXPECT_EQ(detect(""), 0u);
  EXPECT_EQ(detect("<meta"), 0u);
  EXPECT_EQ(detect("<meta charset=\""), 0u);
  // The window is the first 1024 bytes.
  std::string meta = "<meta charset=\"koi8-r\">";
  for (u64 start : {0ull, 1000ull, 1001ull, 1024ull, 2000ull}) {
    std::string doc = std::string(start, ' ') + meta;
    EXPECT_EQ(detect(doc), start + meta.size() <= 1024 ? encoding_koi8_r : 0u) << start;
  }
  hp_test_parse p;
  p.run("<meta charset=\"windows-1251\"><p>\xE0</p>", 0, 1);
  EXPECT_EQ(p.tokens.encoding, encoding_windows_1251);
  EXPECT_EQ(p.all_text(), "\xD0\xB0");  // U+0430
}

// Store text is UTF-8 already: a charset the text declares must not decode it a second time.
TEST(html_input_stream, utf8_option_skips_the_prescan) {
  std::string entry = "<meta charset=\"windows-1252\"><p>caf\xC3\xA9 \xE6\x9D\xB1</p>";
  hp_test_parse sniffed;
  sniffed.run(entry, 0);
  EXPECT_EQ(sniffed.tokens.encoding, encoding_windows_1252);
  hp_test_parse store;
  store.run(entry, hp_option_input_is_utf8);
  EXPECT_EQ(store.tokens.encoding, encoding_utf_8);
  EXPECT_EQ(store.all_text(), "caf\xC3\xA9 \xE6\x9D\xB1");
}

TEST(html_input_stream, push_codepoint_writes_utf8_and_replaces_non_scalars) {
  u8 bytes[64];
  buffer arena = buffer_make(sizeof(bytes), 0, bytes);
  buffer s = {};
  for (u32 c : {0x41u, 0xE9u, 0x20ACu, 0x1F600u, 0xD800u, 0x110000u}) hp_push_codepoint(&arena, &s, c);
  EXPECT_EQ(std::string((char *)s.data, s.used),
            "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(s.size, s.used);
  EXPECT_EQ(s.data, bytes);
}

}  // namespace
