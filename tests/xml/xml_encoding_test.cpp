#include <gtest/gtest.h>

#include "tests/xml/xml_test_util.h"

namespace {

std::string utf16(const std::string &ascii, bool big_endian, bool bom) {
  std::string out;
  if (bom) out += big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char ch : ascii) {
    if (big_endian) out += '\0', out += ch;
    else out += ch, out += '\0';
  }
  return out;
}

std::string root_text(xml_test_doc *d) {
  xml_node *r = xml_test_root(d);
  if (!r) return "<no root>";
  u8 mem[256];
  buffer b = {sizeof mem, 0, mem};
  return xml_test_str(xml_node_text(r, &b));
}

TEST(xml_encoding, byte_order_marks_and_first_bytes_pick_the_encoding) {
  struct {
    std::string doc;
    xml_error error;
  } cases[] = {
      {"\xEF\xBB\xBF<a>t</a>", 0},
      {utf16("<a>t</a>", false, true), 0},
      {utf16("<a>t</a>", true, true), 0},
      {utf16("<?xml version='1.0'?><a>t</a>", false, false), 0},
      {utf16("<?xml version='1.0'?><a>t</a>", true, false), 0},
      {utf16("<?xml version='1.0' encoding='UTF-16'?><a>t</a>", true, true), 0},
      {utf16("<?xml version='1.0' encoding='utf-16le'?><a>t</a>", true, false), 0},
      // UTF-16 bytes with a label of another family contradict themselves.
      {utf16("<?xml version='1.0' encoding='windows-1252'?><a>t</a>", false, true), xml_error_invalid_encoding},
      {utf16("<?xml version='1.0' encoding='utf-8'?><a>t</a>", true, true), xml_error_invalid_encoding},
      {utf16("<?xml version='1.0' encoding='utf-8'?><a>t</a>", false, false), xml_error_invalid_encoding},
      {utf16("<?xml version='1.0' encoding='x-klingon'?><a>t</a>", false, true), 0},
      {"<?xml version='1.0' encoding='UTF-16'?><a>t</a>", 0},
      {std::string("\xFF\xFE\0\0<\0\0\0", 8), xml_error_invalid_encoding},
      {std::string("\0\0\0<\0\0\0a", 8), xml_error_invalid_encoding},
      {std::string("\0<\0\0", 4), xml_error_invalid_encoding},
      {"\x4C\x6F\xA7\x94", xml_error_invalid_encoding},
  };
  for (const auto &c : cases) {
    xml_test_doc d;
    xml_test_parse(&d, c.doc);
    EXPECT_EQ(xml_test_str(xml_error_name(d.error)), xml_test_str(xml_error_name(c.error))) << c.doc;
    if (!c.error) {
      EXPECT_EQ(root_text(&d), "t") << c.doc;
    }
  }
}

TEST(xml_encoding, a_declared_encoding_applies_after_the_declaration) {
  xml_test_doc d;
  xml_test_parse(&d, "<?xml version='1.0' encoding='ISO-8859-1'?><a>\x80\xE9</a>");
  ASSERT_EQ(d.error, 0u);
  EXPECT_EQ(root_text(&d), "\xE2\x82\xAC\xC3\xA9");  // windows-1252: euro sign, e acute
  EXPECT_EQ(d.parser.encoding, 22u);

  // A UTF-8 byte order mark admits only a UTF-8 label (or one the label table does not know).
  xml_test_parse(&d, "\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8'?><a>\xC3\xA9</a>");
  ASSERT_EQ(d.error, 0u);
  EXPECT_EQ(root_text(&d), "\xC3\xA9");
  xml_test_parse(&d, "\xEF\xBB\xBF<?xml version='1.0' encoding='x-klingon'?><a>\xC3\xA9</a>");
  ASSERT_EQ(d.error, 0u);
  EXPECT_EQ(root_text(&d), "\xC3\xA9");
  xml_test_parse(&d, "\xEF\xBB\xBF<?xml version='1.0' encoding='windows-1252'?><a>\xC3\xA9</a>");
  EXPECT_EQ(d.error, xml_error_invalid_encoding);

  // An unknown label keeps the detected encoding.
  xml_test_parse(&d, "<?xml version='1.0' encoding='x-klingon'?><a>\xC3\xA9</a>");
  ASSERT_EQ(d.error, 0u);
  EXPECT_EQ(root_text(&d), "\xC3\xA9");

  // Shift_JIS: the katakana "a" (0x83 0x41) and a half-width katakana byte.
  xml_test_parse(&d, "<?xml version='1.0' encoding='Shift_JIS'?><a x='\x83\x41'>\x83\x41\xB1</a>");
  ASSERT_EQ(d.error, 0u);
  EXPECT_EQ(root_text(&d), "\xE3\x82\xA2\xEF\xBD\xB1");
  EXPECT_EQ(xml_test_str(xml_test_root(&d)->first_attribute->value), "\xE3\x82\xA2");
}

TEST(xml_encoding, utf16_text_with_surrogates_and_columns_in_code_points) {
  std::string doc = utf16("<a>x", false, true);
  doc += std::string("\x3D\xD8\x00\xDE", 4);  // U+1F600
  doc += utf16("</b>", false, false);
  xml_test_doc d;
  xml_test_parse(&d, doc);
  EXPECT_EQ(d.error, xml_error_element_expected_matching_end_tag);
  EXPECT_EQ(d.parser.cursor.column, 9u);
  u8 mem[256];
  buffer out = {sizeof mem, 0, mem};
  xml_print_error(&d.parser, &d.error, &out);
  EXPECT_EQ(xml_test_str(out),
            "Error (1:9) : xml_error_element_expected_matching_end_tag\n<a>x\xF0\x9F\x98\x80</b>\n~~~~~~~~^\n");
}

TEST(xml_encoding, big5_pairs_give_both_code_points_and_peeking_twice_is_harmless) {
  // 0x88 0x62 decodes to U+00CA U+0304.
  xml_test_doc d;
  xml_test_parse(&d, "<?xml version='1.0' encoding='big5'?><a>\x88\x62z</a>");
  ASSERT_EQ(d.error, 0u);
  EXPECT_EQ(root_text(&d), "\xC3\x8A\xCC\x84z");

  std::string in = "\x88\x62z";
  xml_parser p;
  u8 nodes[1024], strings[64];
  xml_error e = 0;
  xml_parser_init(&p, buffer{sizeof nodes, 0, nodes}, buffer{sizeof strings, 0, strings},
                  string_from_bytes(in.data(), in.size()), &e);
  p.encoding = 32;
  xml_cursor c = p.cursor;
  EXPECT_EQ(xml_peek(&p, &c, &e), 0xCAu);
  EXPECT_EQ(xml_peek(&p, &c, &e), 0xCAu);
  xml_advance(&c, &e);
  EXPECT_EQ(xml_peek(&p, &c, &e), 0x304u);
  EXPECT_EQ(xml_peek(&p, &c, &e), 0x304u);
  xml_advance(&c, &e);
  EXPECT_EQ(xml_peek(&p, &c, &e), (u32)'z');
  xml_advance(&c, &e);
  EXPECT_EQ(c.column, 4u);
  EXPECT_FALSE(xml_has_more(&p, &c));
  EXPECT_EQ(e, 0u);
}

TEST(xml_encoding, error_report_widens_tabs_before_the_column_only) {
  xml_test_doc d;
  xml_test_parse(&d, "<a>\n\t\t<b></c>\t\t\n</a>");
  ASSERT_EQ(d.error, xml_error_element_expected_matching_end_tag);
  u8 mem[512];
  buffer out = {sizeof mem, 0, mem};
  xml_print_error(&d.parser, &d.error, &out);
  EXPECT_EQ(xml_test_str(out), "Error (2:9) : xml_error_element_expected_matching_end_tag\n\t\t<b></c>\t\t\n" +
                                   std::string(8 + 6, '~') + "^\n");

  xml_test_parse(&d, std::string("\0\0\0<", 4));
  out.used = 0;
  xml_print_error(&d.parser, &d.error, &out);
  EXPECT_EQ(xml_test_str(out), "Error (0:0) : xml_error_invalid_encoding\n");

  xml_error none = 0;
  out.used = 0;
  xml_print_error(&d.parser, &none, &out);
  EXPECT_EQ(out.used, 0u);
}

// A context that never started (the error word was set before the parse, or the reserved
// memory could not be committed) has no line: the marker stands alone, not a line of tildes.
TEST(xml_encoding, error_report_of_a_parse_that_never_started) {
  xml_test_doc d;
  u8 mem[64];
  buffer nodes = {sizeof mem, 0, mem};
  xml_test_parse_after_error(&d, &nodes);
  u8 report[1024];
  buffer out = {sizeof report, 0, report};
  xml_print_error(&d.parser, &d.error, &out);
  EXPECT_EQ(xml_test_str(out), "Error (0:0) : xml_error_eof\n\n^\n");

  xml_memory m = {};  // nothing reserved
  xml_parser p;
  xml_error e = 0;
  xml_parse_reserved(&p, &m, string_lit("<a/>"), &e);
  ASSERT_EQ(e, xml_error_out_of_node_memory);
  out.used = 0;
  xml_print_error(&p, &e, &out);
  EXPECT_EQ(xml_test_str(out), "Error (0:0) : xml_error_out_of_node_memory\n\n^\n");
}

TEST(xml_encoding, error_report_clips_a_long_line_around_the_column) {
  std::string doc = "<a>" + std::string(100000, 'x') + "</b>" + std::string(100000, 'y') + "</a>";
  xml_test_doc d;
  xml_test_parse(&d, doc);
  ASSERT_EQ(d.error, xml_error_element_expected_matching_end_tag);
  EXPECT_EQ(d.parser.cursor.column, 100007u);
  u8 mem[1024];
  buffer out = {sizeof mem, 0, mem};
  xml_print_error(&d.parser, &d.error, &out);
  std::string s = xml_test_str(out);
  std::string expect_line = std::string(57, 'x') + "</b>" + std::string(59, 'y');
  std::string expect = "Error (1:100007) : xml_error_element_expected_matching_end_tag\n" + expect_line + "\n" +
                       std::string(60, '~') + "^\n";
  EXPECT_EQ(s, expect);
  // A report that does not fit leaves pieces out instead of overrunning.
  u8 small[40];
  buffer tiny = {sizeof small, 0, small};
  xml_print_error(&d.parser, &d.error, &tiny);
  EXPECT_LE(tiny.used, sizeof small);
}

}  // namespace
