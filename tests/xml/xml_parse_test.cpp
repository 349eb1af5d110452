#include <gtest/gtest.h>
#include <string.h>

#include "tests/xml/xml_test_util.h"

namespace {

struct error_case {
  const char *doc;
  xml_error code;
  u32 line, column;
};

// Each production's own error, with the position the cursor stopped at.
TEST(xml_parse, each_production_reports_its_error_at_its_position) {
  const error_case cases[] = {
      {"", xml_error_eof, 1, 1},
      {"hello", xml_error_expected_element, 1, 1},
      {"<a></a>x", xml_error_expected_eof, 1, 8},
      {"<a>", xml_error_eof, 1, 4},
      {"<a x='1'y='2'/>", xml_error_expected_space, 1, 9},
      {"<a x'1'/>", xml_error_expected_equal, 1, 5},
      {"<a x=1/>", xml_error_expected_single_or_double_quote, 1, 6},
      {"<a x='1\"/>", xml_error_eof, 1, 11},
      {"<a/ >", xml_error_expected_greater_than, 1, 4},
      {"<a></a >x", xml_error_expected_eof, 1, 9},
      {"<1/>", xml_error_expected_name, 1, 2},
      {"<a></b>", xml_error_element_expected_matching_end_tag, 1, 7},
      {"<a>\n<b></c>\n</a>", xml_error_element_expected_matching_end_tag, 2, 7},
      {"<a></>", xml_error_element_expected_end_tag_name, 1, 6},
      {"<a x='1'!", xml_error_expected_space, 1, 9},
      {"<a>]]></a>", xml_error_character_data_contains_cdata_section_end, 1, 4},
      {"<a><!-- a -- b --></a>", xml_error_comment_contains_double_hyphen, 1, 11},
      {"<a>&#;</a>", xml_error_character_reference_expected_digit, 1, 6},
      {"<a>&#x;</a>", xml_error_character_reference_expected_hexadecimal_digit, 1, 7},
      {"<a>&#x4g;</a>", xml_error_character_reference_expected_hexadecimal_digit, 1, 8},
      {"<a>&#65</a>", xml_error_character_reference_expected_digit, 1, 8},
      {"<a>&foo</a>", xml_error_entity_reference_expected_semicolon, 1, 8},
      {"<a>& x</a>", xml_error_expected_name, 1, 5},
      {"<a>&#0;</a>", xml_error_invalid_character, 1, 8},
      {"<a>&#xD800;</a>", xml_error_invalid_character, 1, 12},
      {"<a>&#x100000041;</a>", xml_error_invalid_character, 1, 17},
      {"<a>&#99999999999999999999999999;</a>", xml_error_invalid_character, 1, 33},
      {"<a x='&#0;'/>", xml_error_invalid_character, 1, 11},
      {"<a x='<'/>", xml_error_invalid_character, 1, 7},
      {"<a>\x01</a>", xml_error_invalid_character, 1, 5},
      {"<a><![CDATA[x</a>", xml_error_eof, 1, 18},
      {"<a><?xml version='1.0'?></a>", xml_error_processing_instruction_xml_declaration_must_be_the_first_element, 1, 25},
      {" <?xml version='1.0'?><a/>", xml_error_processing_instruction_xml_declaration_must_be_the_first_element, 1, 23},
      {"<a><?pi x</a>", xml_error_eof, 1, 14},
      {"<a><?pi!?></a>", xml_error_invalid_character, 1, 8},
      {"<?xml version='1.0'><a/>", xml_error_xml_declaration_expected_processing_instruction_end, 1, 20},
      {"<?xml versio='1.0'?><a/>", xml_error_xml_version_expected_version, 1, 13},
      {"<?xml version='2.0'?><a/>", xml_error_xml_version_expected_one_dot, 1, 16},
      {"<?xml version='1.'?><a/>", xml_error_xml_version_expected_number_after_the_dot, 1, 18},
      {"<?xml version='1.0\"?><a/>", xml_error_expected_matching_quote, 1, 19},
      {"<?xml version='1.0' encoding='utf-8\"?><a/>", xml_error_invalid_character, 1, 36},
      {"<?xml version='1.0' encoding='-x'?><a/>", xml_error_invalid_character, 1, 31},
      {"<?xml version='1.0' standalone='maybe'?><a/>", xml_error_xml_declaration_standalone_invalid_value, 1, 33},
      {"<?xml version='1.0' encoding='x'standalone='no'?><a/>", xml_error_expected_space, 1, 33},
      {"<a/><b/>", xml_error_expected_eof, 1, 5},
      // A processing instruction needs a target, and no target spells "xml" in any case.
      {"<a><? ?></a>", xml_error_expected_name, 1, 6},
      {"<a><?" "?></a>", xml_error_expected_name, 1, 6},
      {"<?" "?><a/>", xml_error_expected_name, 1, 3},
      {"<?XML version='1.0'?><a/>", xml_error_processing_instruction_xml_declaration_must_be_the_first_element, 1, 22},
      {"<a><?xmL?></a>", xml_error_processing_instruction_xml_declaration_must_be_the_first_element, 1, 11},
      {"<a/><?Xml data?>", xml_error_processing_instruction_xml_declaration_must_be_the_first_element, 1, 17},
      // A byte order mark fixes the family; a known label of another one is refused.
      {"\xEF\xBB\xBF<?xml version='1.0' encoding='iso-8859-1'?><a/>", xml_error_invalid_encoding, 1, 44},
      {"\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-16'?><a/>", xml_error_invalid_encoding, 1, 40},
  };
  for (const error_case &c : cases) {
    xml_test_doc d;
    xml_test_parse(&d, c.doc);
    EXPECT_EQ(xml_test_str(xml_error_name(d.error)), xml_test_str(xml_error_name(c.code))) << c.doc;
    EXPECT_EQ(d.parser.cursor.line, c.line) << c.doc;
    EXPECT_EQ(d.parser.cursor.column, c.column) << c.doc;
  }
}

TEST(xml_parse, line_ends_cr_lf_crlf_each_end_one_line) {
  for (const char *sep : {"\r\n", "\r", "\n"}) {
    xml_test_doc d;
    xml_test_parse(&d, std::string("<a>x") + sep + "  <b></c></a>");
    EXPECT_EQ(d.error, xml_error_element_expected_matching_end_tag);
    EXPECT_EQ(d.parser.cursor.line, 2u) << sep;
    EXPECT_EQ(d.parser.cursor.column, 9u) << sep;
  }
  xml_test_doc d;
  xml_test_parse(&d, "<a>\r\n\r\n\n\r<b></c></a>");
  EXPECT_EQ(d.parser.cursor.line, 5u);
}

// Every text the tree keeps, in a byte encoding and in both UTF-16s: CR LF and a lone CR are one
// LF, one space in an attribute value, while a CR or LF written as a character reference stays.
TEST(xml_parse, line_ends_reach_the_tree_as_one_lf_and_referenced_ones_stay) {
  auto widen = [](const std::string &s, bool big_endian) {
    std::string o = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char ch : s) o += big_endian ? std::string{'\0', ch} : std::string{ch, '\0'};
    return o;
  };
  auto doc = [](const char *label) {
    return std::string("<?xml version='1.0' encoding='") + label +
           "'?>\r\n<!DOCTYPE r SYSTEM 'a\r\nb' [<!ENTITY e 'c\rd'>]>\r\r\n<!--x\r\ny-->\r"
           "<r a='1\r\n2\r3\n\r4' b='&#13;&#xA;'>t\r\nu\rv&#13;\r\n<![CDATA[w\r\nx\r]]><?p y\r\nz\r?></r>\r\n";
  };
  const std::string inputs[] = {doc("utf-8"), doc("iso-8859-1"), widen(doc("utf-16"), false), widen(doc("utf-16"), true)};
  for (const std::string &input : inputs) {
    xml_test_doc d;
    xml_test_parse(&d, input);
    ASSERT_EQ(d.error, 0u) << input;
    std::string top;
    for (xml_node *n = d.parser.top->first_child; n; n = n->next) {
      if (n->type == xml_node_type_spaces || n->type == xml_node_type_comment) top += "[" + xml_test_str(n->text) + "]";
      if (n->type == xml_node_type_document_type) {
        top += "[" + xml_test_str(n->system_literal) + "|" + xml_test_str(n->first_child->value) + "]";
      }
    }
    EXPECT_EQ(top, "[\n][a\nb|c\nd][\n\n][x\ny][\n][\n]");
    xml_node *r = xml_test_root(&d);
    std::string s;
    xml_test_dump(r, &s);
    EXPECT_EQ(s, "22<r a=[1 2 3  4] b=[\r\n]>(19[t\nu\nv\r\n]()20[w\nx\n]()2[p|y\nz\n]())");
    EXPECT_EQ(xml_test_str(r->last_child->data), "y\nz\n");
  }
}

TEST(xml_parse, nesting_at_the_limit_parses_and_one_past_fails) {
  for (u32 depth : {XML_MAX_DEPTH, XML_MAX_DEPTH + 1, 100000u}) {
    std::string doc;
    for (u32 i = 0; i < depth; i++) doc += "<a>";
    for (u32 i = 0; i < depth; i++) doc += "</a>";
    xml_test_doc d;
    xml_test_parse(&d, doc, 1 << 26, 1 << 24);
    EXPECT_EQ(d.error, depth <= XML_MAX_DEPTH ? xml_error_none : xml_error_nesting_too_deep) << depth;
    if (depth > XML_MAX_DEPTH) {
      EXPECT_EQ(d.parser.cursor.column, 3 * XML_MAX_DEPTH + 1);
    }
  }
}

TEST(xml_parse, references_in_text_resolve_or_stay_as_nodes) {
  xml_test_doc d;
  xml_test_parse(&d, "<a>x &amp; y&#65;&#x42;&lt;&gt;&quot;&apos;</a>");
  ASSERT_EQ(d.error, 0u);
  std::string s;
  xml_test_dump(xml_test_root(&d), &s);
  EXPECT_EQ(s, "22<a>(19[x & yAB<>\"']())");
  xml_test_parse(&d, "<a>x&foo;y&#x10FFFF;</a>");
  ASSERT_EQ(d.error, 0u);
  s.clear();
  xml_test_dump(xml_test_root(&d), &s);
  EXPECT_EQ(s, "22<a>(19[x]()21[&foo;]()19[y\xF4\x8F\xBF\xBF]())");
}

TEST(xml_parse, attribute_values_normalise_white_space_and_keep_unknown_references) {
  xml_test_doc d;
  xml_test_parse(&d, "<a x='1\n2' y=\"3\r\n4\" z='&lt;&#x41;&e;\t' x='dup'/>");
  ASSERT_EQ(d.error, 0u);
  std::string s;
  xml_test_dump(xml_test_root(&d), &s);
  EXPECT_EQ(s, "22<a x=[1 2] y=[3 4] z=[<A&e; ] x=[dup]/>()");
}

TEST(xml_parse, elements_with_nothing_inside_are_empty_either_way) {
  xml_test_doc d;
  xml_test_parse(&d, "<r><a></a><b/><c> </c></r>");
  ASSERT_EQ(d.error, 0u);
  std::string s;
  xml_test_dump(xml_test_root(&d), &s);
  EXPECT_EQ(s, "22<r>(22<a/>()22<b/>()22<c>(19[ ]()))");
}

TEST(xml_parse, prolog_and_epilog_items_hang_off_the_document) {
  xml_test_doc d;
  xml_test_parse(&d, "<?xml version=\"1.0\" encoding=\"utf-8\" standalone='yes' ?>\n<!--c--><?pi d?>"
                     "<r><![CDATA[<x>]]><?t?></r> <!--e-->");
  ASSERT_EQ(d.error, 0u) << xml_test_str(xml_error_name(d.error));
  std::string s;
  xml_test_dump(d.parser.top, &s);
  EXPECT_EQ(s, "0(1()4[\n]()3[c]()2[pi|d]()22<r>(20[<x>]()2[t|]())4[ ]()3[e]())");
  xml_node *decl = d.parser.top->first_child;
  EXPECT_EQ(xml_test_str(decl->version), "1.0");
  EXPECT_EQ(xml_test_str(decl->encoding), "utf-8");
  EXPECT_EQ(decl->has_encoding, 1u);
  EXPECT_EQ(xml_test_str(decl->standalone), "yes");
  xml_node *pi = decl->next->next->next;
  EXPECT_EQ(xml_test_str(pi->target), "pi");
  EXPECT_EQ(xml_test_str(pi->data), "d");
}

TEST(xml_parse, undecodable_bytes_read_as_replacement_characters) {
  xml_test_doc d;
  xml_test_parse(&d, "<a>x\xFF\xE2\x82y\xC3\xA9</a>");
  ASSERT_EQ(d.error, 0u);
  // One replacement for the stray byte, one for the sequence cut short (its maximal subpart).
  EXPECT_EQ(xml_test_str(xml_test_root(&d)->first_child->text), "x\xEF\xBF\xBD\xEF\xBF\xBDy\xC3\xA9");
}

TEST(xml_parse, a_failed_parse_keeps_only_what_was_complete) {
  xml_test_doc d;
  xml_test_parse(&d, "<r><a x='1'>text</a><b y='2'>more<c>", 1 << 16, 1 << 16);
  EXPECT_EQ(d.error, xml_error_eof);
  // The document node alone; the element productions rolled everything else back.
  EXPECT_EQ(d.nodes.used, sizeof(xml_node));
  EXPECT_EQ(d.strings.used, 0u);
}

TEST(xml_parse, full_arenas_fail_with_their_own_errors) {
  xml_test_doc d;
  xml_test_parse(&d, "<a/>", 0, 64);
  EXPECT_EQ(d.error, xml_error_out_of_node_memory);
  xml_test_parse(&d, "<a>text</a>", sizeof(xml_node), 64);
  EXPECT_EQ(d.error, xml_error_out_of_node_memory);
  xml_test_parse(&d, "<abcdef>text</abcdef>", 1 << 16, 4);
  EXPECT_EQ(d.error, xml_error_out_of_string_memory);
}

TEST(xml_parse, a_set_error_word_stops_everything) {
  xml_test_doc d;
  u8 mem[4096];
  buffer nodes = {sizeof mem, 0, mem};
  xml_test_parse_after_error(&d, &nodes);
  EXPECT_EQ(d.error, xml_error_eof);
  EXPECT_EQ(nodes.used, 0u);
  EXPECT_EQ(nodes.size, sizeof mem);

  xml_test_parse(&d, "<a/>");
  xml_cursor c = d.parser.cursor;
  xml_error e = xml_error_eof;
  EXPECT_EQ(xml_peek(&d.parser, &c, &e), XML_NO_CODEPOINT);
  EXPECT_EQ(xml_parse_element(&d.parser, &c, &e), nullptr);
  EXPECT_EQ(c.position, d.parser.cursor.position);
  EXPECT_EQ(e, xml_error_eof);
}

// The densest documents (a node per two bytes, a three-byte character per input byte) still
// fit the memory reserved for their size, while their tree stays within the smallest limit
// (larger dense documents pass the limit on purpose).
TEST(xml_parse, reserved_memory_holds_the_densest_documents_of_its_size) {
  const u64 limit = XML_TREE_LIMIT_MIN / sizeof(xml_node) * 2 - 64;
  std::string dense = "<r>";
  while (dense.size() + 8 < limit) dense += "x&a;";
  dense += "</r>";
  std::string wide = "<?xml version='1.0' encoding='windows-1252'?><r>";
  wide += std::string(limit - wide.size() - 4, '\x80');
  wide += "</r>";
  std::string dtd = "<!DOCTYPE r [<!ELEMENT r (a";
  while (dtd.size() + 16 < limit) dtd += ",a";
  dtd += ")>]><r/>";
  for (const std::string *doc : {&dense, &wide, &dtd}) {
    xml_memory m;
    ASSERT_TRUE(xml_memory_reserve(&m, doc->size()));
    xml_parser p;
    xml_error e = 0;
    xml_parse_reserved(&p, &m, string_from_bytes(doc->data(), doc->size()), &e);
    EXPECT_EQ(xml_test_str(xml_error_name(e)), "no error");
    xml_memory_release(&m);
  }
}

TEST(xml_parse, reserved_memory_is_reused_by_the_next_parse) {
  xml_memory m;
  ASSERT_TRUE(xml_memory_reserve(&m, 1 << 20));
  std::string doc = "<r>";
  for (int i = 0; i < 20000; i++) doc += "<i a='1'>t</i>";
  doc += "</r>";
  for (int round = 0; round < 2; round++) {
    xml_parser p;
    xml_error e = 0;
    xml_parse_reserved(&p, &m, string_from_bytes(doc.data(), doc.size()), &e);
    ASSERT_EQ(e, 0u);
    u32 count = 0;
    for (xml_node *n = xml_first_child_element(xml_find_element(p.top, string_lit("r"))); n; n = xml_next_sibling_element(n))
      count++;
    EXPECT_EQ(count, 20000u);
  }
  xml_memory_release(&m);
}

}  // namespace
