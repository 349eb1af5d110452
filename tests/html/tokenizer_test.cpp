// The tokenizer: tags, attributes, raw text end tags, markup declarations, errors and their
// report, and the memory bounds over random inputs.
#include <gtest/gtest.h>

#include <random>

#include "html_test_support.h"
#include "platform/log.h"

namespace {

struct expect_case {
  const char *input;
  const char *picture;
  int error;
};

void check(const expect_case &c, u32 options = hp_option_input_is_utf8) {
  hp_test_parse p;
  p.run(c.input, options);
  EXPECT_EQ(p.token_error, c.error) << c.input;
  EXPECT_EQ(p.picture(), c.picture) << c.input;
}

TEST(html_tokenizer, text_tags_and_attributes) {
  expect_case cases[] = {
      {"", "", 0},
      {"plain text", "\"plain text\"", 0},
      {"a<b>c", "\"a\"<b>\"c\"", 0},
      {"<p class=a id='b' hidden>x</p>", "<p class=a id=b hidden=>\"x\"</p>", 0},
      {"<br/>", "<br/>", 0},
      {"<br />", "<br/>", 0},
      {"<br/ >", "", html_tokenizer_error_expected_greater_than},
      {"<a b=\"x\"c>", "", html_tokenizer_error_attribute_value_not_followed_by_a_valid_character},
      {"<a b=x/>", "<a b=x/>", 0},
      {"<a =x>", "", html_tokenizer_error_invalid_text_character_in_attribute_name},
      {"<a b=\"x", "", html_tokenizer_error_eof_quoted_attribute_value},
      {"<a b", "", html_tokenizer_error_invalid_text_character_in_attribute_name},
      {"<a b c=d e = \"f\">", "<a b= c=d e=f>", 0},
      {"<a b c", "", html_tokenizer_error_invalid_text_character_in_attribute_name},
      {"<a b=c\"d>", "", html_tokenizer_error_invalid_character_in_unquoted_attribute_value},
      {"<a b=\"\x01\">", "", html_tokenizer_error_quoted_attribute_value_missing_the_closing_quote},
      {"<a b=>", "<a b=>", 0},
      {"<a b=x\tc=y\fd>", "<a b=x c=y d=>", 0},
      {"<a\n\tb='&lt;'\n>", "<a b=<>", 0},
      {"<a b='x'>y", "<a b=x>\"y\"", 0},
      {"<p", "", html_tokenizer_error_eof},
      {"<p x", "", html_tokenizer_error_invalid_text_character_in_attribute_name},
      {"</p", "", html_tokenizer_error_eof},
      {"</p x>", "", html_tokenizer_error_expected_greater_than},
      {"</>", "</>", 0},
      {"</br/>", "</br>", 0},
      // Names in any case compare in lower case; attribute names too.
      {"<P CLASS=A>x</P>", "<p class=A>\"x\"</p>", 0},
      {"<BR>", "<br>", 0},
      // Custom elements and prefixed names are names like any other.
      {"<amp-img src=x></amp-img><o:p>y</o:p>", "<amp-img src=x></amp-img><o:p>\"y\"</o:p>", 0},
      {"<my-\xC3\xA9l>", "<my-\xC3\xA9l>", 0},
      // A '<' that starts no markup is text, as browsers show it.
      {"a < b", "\"a < b\"", 0},
      {"I <3 it", "\"I <3 it\"", 0},
      {"x<", "\"x<\"", 0},
      {"<", "\"<\"", 0},
      {"<>", "\"<>\"", 0},
      {"a </ b", "\"a </ b\"", 0},
      {"1<2<p>", "\"1<2\"<p>", 0},
      {"\x01", "", html_tokenizer_error_invalid_text_character},
      {"x &amp y &notanentity; &#38;", "\"x &amp y &notanentity; &\"", 0},
      {"a\xC2\x80", "", html_tokenizer_error_invalid_text_character},
  };
  for (const auto &c : cases) check(c);
  hp_test_parse nul;
  nul.run(std::string("a\0b", 3));
  EXPECT_EQ(nul.token_error, html_tokenizer_error_invalid_text_character);
  // The lenient option lets a quoted value run straight into the next attribute.
  check({"<a b=\"x\"c=\"y\">", "<a b=x c=y>", 0}, hp_option_input_is_utf8 | hp_option_lenient_after_quoted_value);
}

TEST(html_tokenizer, markup_declarations) {
  expect_case cases[] = {
      {"<!DOCTYPE html>", "doctype", 0},
      {"<!doctype HTML >", "doctype", 0},
      {"<!DocType\nhtml\n>x", "doctype\"x\"", 0},
      {"<!DOCTYPE svg>", "", html_tokenizer_error_invalid_doctype},
      {"<!DOCTYPEhtml>", "", html_tokenizer_error_doctype_not_followed_by_a_space},
      {"<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\">", "doctype", 0},
      {"<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" 'http://www.w3.org/TR/x.dtd'>", "doctype", 0},
      {"<!DOCTYPE html SYSTEM \"about:legacy-compat\">", "doctype(legacy)", 0},
      {"<!DOCTYPE html system 'about:legacy-compat' >", "doctype(legacy)", 0},
      {"<!DOCTYPE html SYSTEM \"about:legacy-compat'>", "", html_tokenizer_error_invalid_doctype},
      {"<!DOCTYPE html SYSTEM \"other\">", "", html_tokenizer_error_invalid_doctype},
      {"<!DOCTYPE html", "", html_tokenizer_error_eof},
      {"<![CDATA[a<b]]>c", "[a<b]\"c\"", 0},
      {"<![CDATA[]]>", "[]", 0},
      {"<![CDATA[x]]", "", html_tokenizer_error_eof},
      {"<![CDATA[\x01]]>", "", html_tokenizer_error_invalid_text_character_in_cdata},
      {"<?xml version=\"1.0\"?>x", "\"x\"", 0},
      {"<?" "?>x", "\"x\"", 0},
      {"<?xml", "", html_tokenizer_error_eof},
      {"<!-- a -- b -->", "! a -- b !", 0},
      {"<!---->", "!!", 0},
      {"<!-- &amp; -->", "! & !", 0},
      {"<!-->", "", html_tokenizer_error_comment_starts_with_invalid_character_sequence},
      {"<!--->", "", html_tokenizer_error_comment_starts_with_invalid_character_sequence},
      {"<!-- a --!> -->", "", html_tokenizer_error_comment_contains_invalid_character_sequence},
      {"<!-- <!-- -->", "", html_tokenizer_error_comment_contains_invalid_character_sequence},
      {"<!-- <!--> -->", "! <!!\" -->\"", 0},
      {"<!-- \x01 -->", "", html_tokenizer_error_invalid_text_character_in_comment},
      {"<!-- a", "", html_tokenizer_error_eof},
      {"<!x>", "", html_tokenizer_error_invalid_markup_syntax},
      {"<!-x>", "", html_tokenizer_error_invalid_markup_syntax},
  };
  for (const auto &c : cases) check(c);
}

// Every raw element against every way its end tag can be written.
TEST(html_tokenizer, raw_text_end_tags) {
  const char *names[] = {"script", "style", "textarea", "title"};
  for (const char *name : names) {
    std::string n = name;
    std::string upper = n;
    for (char &ch : upper) ch = (char)toupper(ch);
    bool escapable = n == "textarea" || n == "title";
    struct {
      std::string tail;     // after "<name>"
      std::string content;  // the raw text token, empty for none
      std::string after;    // the rest of the picture after the text
      int error;
    } cases[] = {
        {"a<b</" + n + ">", "a<b", "</" + n + ">", 0},
        {"x</" + upper + ">", "x", "</" + n + ">", 0},
        {"x</" + n + " >", "x", "</" + n + ">", 0},
        {"x</" + n + "\n>", "x", "</" + n + ">", 0},
        {"x</" + n + "/>", "x", "</" + n + ">", 0},
        {"x</" + n + "x>y</" + n + ">", "x</" + n + "x>y", "</" + n + ">", 0},
        {"x</" + n.substr(0, 3) + "</" + n + ">", "x</" + n.substr(0, 3), "</" + n + ">", 0},
        {"x< /" + n + "></" + n + ">", "x< /" + n + ">", "</" + n + ">", 0},
        {"x<</" + n + ">", "x<", "</" + n + ">", 0},
        {"x", "x", "", 0},
        {"x</" + n, "x</" + n, "", 0},
        {"</" + n + ">", "", "</" + n + ">", 0},
        {"<p>&amp;</" + n + ">", escapable ? "<p>&" : "<p>&amp;", "</" + n + ">", 0},
        {"&bogus;</" + n + ">", escapable ? "" : "&bogus;", escapable ? "" : "</" + n + ">",
         escapable ? (int)html_tokenizer_error_ambiguous_ampersand_in_escapable_raw_element : 0},
        {"a\x01</" + n + ">", "", "", html_tokenizer_error_invalid_text_character},
    };
    for (const auto &c : cases) {
      hp_test_parse p;
      p.run("<" + n + ">" + c.tail);
      std::string want = "<" + n + ">" + (c.content.empty() ? "" : "\"" + c.content + "\"") + c.after;
      EXPECT_EQ(p.token_error, c.error) << n << " " << c.tail;
      EXPECT_EQ(p.picture(), want) << n << " " << c.tail;
    }
    // A self-closed raw element has no content: what follows is markup again.
    hp_test_parse s;
    s.run("<" + n + "/><b>x</b>");
    EXPECT_EQ(s.picture(), "<" + n + "/><b>\"x\"</b>") << n;
  }
  check({"<script>if (a < b) s = \"</scr\";</script>", "<script>\"if (a < b) s = \"</scr\";\"</script>", 0});
}

TEST(html_tokenizer, error_report_in_the_log) {
  hp_test_parse p;
  p.run("<p>\n<p>\n<a b=\"c\"d <br>", hp_option_input_is_utf8);
  ASSERT_EQ(p.token_error, html_tokenizer_error_attribute_value_not_followed_by_a_valid_character);
  EXPECT_EQ(p.tokens.error_line, 3u);
  EXPECT_EQ(p.tokens.error_column, 9u);
  buffer log = log_last_text();
  std::string text((const char *)log.data, log.used);
  std::string want =
      "Error( 3, 9 ): An attribute value was not followed by a space (' ', '\\n', '\\r', '\\t', '\\f'), a slash "
      "('/') or a greater than sign ('>').\n    |<a b=\"c\"d <br>\n    |----+---^\n\n";
  ASSERT_GE(text.size(), want.size());
  EXPECT_EQ(text.substr(text.size() - want.size()), want);

  // Column 13 on the third line, to see the ruler's digit at 10.
  hp_test_parse q;
  q.run("\n\n<p a=\"b\">   \x01x", hp_option_input_is_utf8);
  ASSERT_EQ(q.token_error, html_tokenizer_error_invalid_text_character);
  log = log_last_text();
  text.assign((const char *)log.data, log.used);
  // The log shows the control character as an escape, which starts at the marked column.
  want = "Error( 3, 13 ): The text contains an invalid character.\n    |<p a=\"b\">   \\x01x\n    |----+----1--^\n\n";
  EXPECT_EQ(text.substr(text.size() - want.size()), want);

  hp_test_parse r;
  r.run("<p", hp_option_input_is_utf8);
  log = log_last_text();
  text.assign((const char *)log.data, log.used);
  want = "Error: The end of the file has been reached.\n\n";
  EXPECT_EQ(text.substr(text.size() - want.size()), want);

  // The ruler's digits run 1 to 9, then start again at 1 for column 100.
  hp_test_parse w;
  w.run(std::string(110, 'x') + "\x01");
  log = log_last_text();
  text.assign((const char *)log.data, log.used);
  u64 bar = text.rfind("    |");
  std::string ruler = text.substr(bar + 5, 110);
  EXPECT_EQ(ruler[9], '1');
  EXPECT_EQ(ruler[89], '9');
  EXPECT_EQ(ruler[99], '1');
  EXPECT_EQ(ruler[109], '2');
  EXPECT_EQ(ruler[4], '+');
}

TEST(html_tokenizer, not_enough_memory_leaves_the_block_unchanged) {
  std::string input = "<p>hello</p>";
  buffer in = string_from_bytes(input.data(), input.size());
  u64 need = hp_tokenizer_memory_size(in);
  std::vector<u8> bytes(need + 16);
  u8 *aligned = (u8 *)align_up((u64)bytes.data(), 8);
  buffer small = buffer_make(need - 9, 0, aligned);
  int err = 0;
  html_tokens t;
  hp_tokenizer(&t, &small, in, 0, &err);
  EXPECT_EQ(err, html_tokenizer_error_not_enough_memory);
  EXPECT_EQ(small.used, 0u);
  EXPECT_EQ(t.token_count, 0u);
  buffer exact = buffer_make(need, 0, aligned + 1);  // the worst padding
  err = 0;
  hp_tokenizer(&t, &exact, in, 0, &err);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(t.token_count, 3u);
  // The text arena's unused tail is given back.
  EXPECT_EQ(exact.used, (u64)(t.text_arena.data + t.text_arena.used - exact.data));
  err = 7;
  hp_tokenizer(&t, &exact, in, 0, &err);
  EXPECT_EQ(t.token_count, 0u);
}

// Random mixes of markup pieces: tokenizing always ends, within the bounds, with every string
// inside the text arena; and an entry of valid pieces gives no error.
TEST(html_tokenizer, random_inputs_stay_in_bounds) {
  const char *pieces[] = {"<",     ">",      "/",       "p",     "a",       "=",        "\"",      "'",
                          " ",     "\n",     "\r",      "&",     "amp;",    "#x41;",    "<!--",    "-->",
                          "<!",    "?",      "<script>", "</script>", "<title>", "</title", "]]>",   "<![CDATA[",
                          "\xC3\xA9", "\xE2\x82", "\x01", "x",  "<br/>",   "<a href=\"u\">", "</a>", "-"};
  std::mt19937_64 rng(7);
  for (int round = 0; round < 3000; round++) {
    std::string input;
    u64 n = rng() % 40;
    for (u64 i = 0; i < n; i++) input += pieces[rng() % array_count(pieces)];
    for (u32 options : {0u, (u32)hp_option_input_is_utf8, (u32)hp_option_lenient_after_quoted_value}) {
      hp_test_parse p;
      p.run(input, options, (int)(rng() % 2));
      ASSERT_LE(p.token_error, 21) << input;
      u64 size = input.size();
      ASSERT_LE(p.tokens.token_count, size < 2 ? 1 : (size + 1) / 2);
      ASSERT_LE(p.tokens.attribute_total, size < 5 ? 1 : (size - 3) / 2);
      ASSERT_LE(p.tokens.text_arena.used, 4 * size);
      u8 *lo = p.tokens.text_arena.data, *hi = lo + p.tokens.text_arena.used;
      for (u64 i = 0; i < p.tokens.token_count; i++) {
        const html_token &t = p.tokens.first_token[i];
        if (t.type != html_token_doctype && t.string.used) {
          ASSERT_TRUE(t.string.data >= lo && t.string.data + t.string.used <= hi);
        }
        for (u64 k = 0; k < t.attribute_count; k++) {
          ASSERT_TRUE(t.attributes[k].name.data >= lo && t.attributes[k].name.data + t.attributes[k].name.used <= hi);
        }
      }
    }
  }
}

// The UTF-8 fast paths copy runs of plain bytes without decoding them; the same text as
// UTF-16 goes one code point at a time. Both must give the same tokens, errors and positions.
TEST(html_tokenizer, fast_runs_agree_with_decoding_each_code_point) {
  const char *pieces[] = {"<",  ">",  "/",  "p",  "a",   "=",  "\"", "'",   " ",    "\t",  "\n",       "\r",
                          "\f", "&",  "amp;", "#x41;", "<!--", "-->", "<!", "?",  "<script>", "</script>",
                          "<title>", "</title", "x", "-", "<a href=", "<p class=", "`", "\x01", "\x7f", "<br/>"};
  std::mt19937_64 rng(3);
  for (int round = 0; round < 4000; round++) {
    std::string input;
    u64 n = rng() % 30;
    for (u64 i = 0; i < n; i++) input += pieces[rng() % array_count(pieces)];
    std::string wide = "\xFF\xFE";
    for (char ch : input) {
      wide += ch;
      wide += '\0';
    }
    hp_test_parse narrow_parse;
    narrow_parse.run(input, hp_option_input_is_utf8);
    hp_test_parse wide_parse;
    wide_parse.run(wide, 0);
    ASSERT_EQ(wide_parse.tokens.encoding, encoding_utf_16le);
    ASSERT_EQ(narrow_parse.token_error, wide_parse.token_error) << input;
    ASSERT_EQ(narrow_parse.picture(), wide_parse.picture()) << input;
    ASSERT_EQ(narrow_parse.tokens.error_line, wide_parse.tokens.error_line) << input;
    ASSERT_EQ(narrow_parse.tokens.error_column, wide_parse.tokens.error_column) << input;
  }
}

}  // namespace
