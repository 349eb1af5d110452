#include <gtest/gtest.h>

#include "tests/xml/xml_test_util.h"

namespace {

xml_node *doctype_of(xml_test_doc *d) {
  for (xml_node *n = d->parser.top->first_child; n; n = n->next)
    if (n->type == xml_node_type_document_type) return n;
  return nullptr;
}

TEST(xml_doctype, external_ids_and_internal_subset_become_nodes) {
  xml_test_doc d;
  xml_test_parse(&d,
                 "<!DOCTYPE r PUBLIC \"-//X//Y\" 'r.dtd' [\n"
                 "  <!ELEMENT r (b, c)*>\n"
                 "  <!ELEMENT b (#PCDATA)>\n"
                 "  <!ELEMENT m (#PCDATA)*>\n"
                 "  <!ELEMENT e EMPTY>\n"
                 "  <!ELEMENT x (#PCDATA | b | c)*>\n"
                 "  <!ELEMENT g (a | (b, c+)? | d)>\n"
                 "  <!ATTLIST r id ID #REQUIRED kind (one|two) 'one' n NOTATION (gif) #IMPLIED f CDATA #FIXED \"1\">\n"
                 "  <!ENTITY copy '&#169;'>\n"
                 "  <!ENTITY % pe \"x%y;\">\n"
                 "  <!ENTITY pic SYSTEM 'p.gif' NDATA gif>\n"
                 "  <!NOTATION gif PUBLIC 'image/gif'>\n"
                 "  <!NOTATION png PUBLIC 'image/png' 'png.exe'>\n"
                 "  %pe;\n"
                 "  <!-- c --><?pi?>\n"
                 "]>\n<r/>");
  ASSERT_EQ(xml_test_str(xml_error_name(d.error)), "no error");
  xml_node *t = doctype_of(&d);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(xml_test_str(t->name), "r");
  EXPECT_EQ(t->external_id, xml_external_id_public);
  EXPECT_EQ(xml_test_str(t->public_literal), "-//X//Y");
  EXPECT_EQ(xml_test_str(t->system_literal), "r.dtd");

  xml_node *n = t->first_child;
  ASSERT_EQ(n->type, xml_node_type_element_declaration);
  EXPECT_EQ(n->content, xml_content_children);
  xml_node *g = n->first_child;
  EXPECT_EQ(g->type, xml_node_type_content_spec_children_sequence);
  EXPECT_EQ(g->quantity, xml_quantity_specifier_zero_or_more);
  EXPECT_EQ(xml_test_str(g->first_child->name), "b");
  EXPECT_EQ(xml_test_str(g->last_child->name), "c");

  n = n->next;
  EXPECT_EQ(n->content, xml_content_mixed);
  EXPECT_EQ(n->first_child, nullptr);
  n = n->next;  // (#PCDATA)* without names
  EXPECT_EQ(n->content, xml_content_mixed);
  n = n->next;
  EXPECT_EQ(n->content, xml_content_empty);
  n = n->next;
  EXPECT_EQ(n->content, xml_content_mixed);
  EXPECT_EQ(xml_test_str(n->first_child->name), "b");
  EXPECT_EQ(n->first_child->type, xml_node_type_content_spec_mixed);
  n = n->next;
  g = n->first_child;
  EXPECT_EQ(g->type, xml_node_type_content_spec_children_choice);
  xml_node *inner = g->first_child->next;
  EXPECT_EQ(inner->type, xml_node_type_content_spec_children_sequence);
  EXPECT_EQ(inner->quantity, xml_quantity_specifier_zero_or_one);
  EXPECT_EQ(inner->last_child->quantity, xml_quantity_specifier_one_or_more);

  n = n->next;
  ASSERT_EQ(n->type, xml_node_type_attribute_list_declaration);
  xml_node *a = n->first_child;
  EXPECT_EQ(a->attribute_type, xml_attribute_declaration_type_id);
  EXPECT_EQ(a->default_kind, xml_attribute_declaration_default_required);
  a = a->next;
  EXPECT_EQ(a->attribute_type, xml_attribute_declaration_type_enumeration);
  EXPECT_EQ(xml_test_str(a->first_child->name), "one");
  EXPECT_EQ(xml_test_str(a->last_child->name), "two");
  EXPECT_EQ(xml_test_str(a->default_value), "one");
  a = a->next;
  EXPECT_EQ(a->attribute_type, xml_attribute_declaration_type_notation);
  EXPECT_EQ(a->first_child->type, xml_node_type_attribute_notation);
  a = a->next;
  EXPECT_EQ(a->default_kind, xml_attribute_declaration_default_fixed);
  EXPECT_EQ(xml_test_str(a->default_value), "1");

  n = n->next;
  EXPECT_EQ(xml_test_str(n->value), "&#169;");
  n = n->next;
  EXPECT_EQ(n->parameter, 1u);
  EXPECT_EQ(xml_test_str(n->value), "x%y;");
  n = n->next;
  EXPECT_EQ(n->external_id, xml_external_id_system);
  EXPECT_EQ(xml_test_str(n->system_literal), "p.gif");
  EXPECT_EQ(xml_test_str(n->notation), "gif");
  n = n->next;
  EXPECT_EQ(n->has_system_literal, 0u);
  EXPECT_EQ(n->external_id, xml_external_id_none);
  EXPECT_EQ(xml_test_str(n->public_literal), "image/gif");
  n = n->next;
  EXPECT_EQ(n->external_id, xml_external_id_public);
  EXPECT_EQ(xml_test_str(n->system_literal), "png.exe");
  n = n->next;
  EXPECT_EQ(n->type, xml_node_type_parameter_entity_reference);
  EXPECT_EQ(xml_test_str(n->text), "%pe;");
  EXPECT_EQ(n->next->type, xml_node_type_comment);
  EXPECT_EQ(n->next->next->type, xml_node_type_processing_instruction);
}

// Each declaration's own error at the column where the cursor stopped (the subset starts at
// column 14).
TEST(xml_doctype, malformed_declarations_report_their_errors_at_their_positions) {
  struct {
    const char *subset;
    xml_error code;
    u32 column;
  } cases[] = {
      {"<!ELEMENT a (b|c,d)>", xml_error_element_declaration_mixing_sequence_and_choice_in_content_spec, 30},
      {"<!ELEMENT a (#PCDATA|b)>", xml_error_element_declaration_expected_asterisk, 37},
      {"<!ELEMENT a (#PCDATA b)>", xml_error_element_declaration_expected_end_of_mixed, 35},
      {"<!ELEMENT a b>", xml_error_element_declaration_expected_parenthesis, 26},
      {"<!ELEMENT a (b>", xml_error_element_declaration_expected_closing_parenthesis, 28},
      {"<!ELEMENT a(b)>", xml_error_expected_space, 25},
      {"<!ATTLIST a b FOO #IMPLIED>", xml_error_attribute_list_declaration_expected_attribute_type, 28},
      {"<!ATTLIST a b (x|) #IMPLIED>", xml_error_attribute_list_declaration_expected_enum_token, 31},
      {"<!ATTLIST a b NOTATION (|x) #IMPLIED>", xml_error_attribute_list_declaration_expected_notation_name, 38},
      {"<!ATTLIST a b NOTATION (x #IMPLIED>", xml_error_attribute_list_declaration_expected_close_parenthesis, 40},
      {"<!ATTLIST a b CDATA>", xml_error_attribute_list_declaration_expected_attribute_default_value, 33},
      {"<!ATTLIST a b CDATA #IMPLIEDc CDATA #IMPLIED>", xml_error_expected_space, 42},
      {"<!ATTLIST a b CDATA\"foo\">", xml_error_expected_space, 33},
      {"<!ATTLIST a b (foo|bar)#IMPLIED>", xml_error_expected_space, 37},
      {"<!ATTLIST a b ID#REQUIRED>", xml_error_expected_space, 30},
      {"<!ATTLIST a b CDATA #FIXED\"v\">", xml_error_expected_space, 40},
      {"<!ENTITY a FOO>", xml_error_external_id_expected_system_or_public, 25},
      {"<!ENTITY a SYSTEM>", xml_error_expected_space, 31},
      {"<!ENTITY a PUBLIC 'p'>", xml_error_expected_space, 35},
      {"<!ENTITY a SYSTEM 's'NDATA n>", xml_error_expected_space, 35},
      {"<!ENTITY a '&#;'>", xml_error_character_reference_expected_digit, 28},
      {"<!NOTATION n FOO>", xml_error_notation_declaration_expected_system_or_public, 27},
      {"<!FOO>", xml_error_doctype_expected_internal_subset, 14},
      {"%pe", xml_error_parameter_entity_reference_expected_semicolon, 17},
  };
  for (const auto &c : cases) {
    xml_test_doc d;
    xml_test_parse(&d, std::string("<!DOCTYPE r [") + c.subset + "]><r/>");
    EXPECT_EQ(xml_test_str(xml_error_name(d.error)), xml_test_str(xml_error_name(c.code))) << c.subset;
    EXPECT_EQ(d.parser.cursor.line, 1u) << c.subset;
    EXPECT_EQ(d.parser.cursor.column, c.column) << c.subset;
  }
}

TEST(xml_doctype, nested_groups_are_bounded) {
  for (u32 depth : {XML_MAX_DEPTH, XML_MAX_DEPTH + 1, 50000u}) {
    std::string doc = "<!DOCTYPE r [<!ELEMENT r ";
    for (u32 i = 0; i < depth; i++) doc += "(";
    doc += "a";
    for (u32 i = 0; i < depth; i++) doc += ")";
    doc += ">]><r/>";
    xml_test_doc d;
    xml_test_parse(&d, doc, 1 << 26, 1 << 22);
    EXPECT_EQ(d.error, depth <= XML_MAX_DEPTH ? xml_error_none : xml_error_nesting_too_deep) << depth;
  }
}

}  // namespace

namespace {

// Entities are stored, never expanded: the classic exponential document parses in a few
// kilobytes, its reference stays one node as written, and the text of the root is that
// reference, not a billion "lol"s.
TEST(xml_doctype, nested_entity_definitions_are_never_expanded) {
  std::string doc = "<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n";
  for (int i = 1; i <= 9; i++) {
    doc += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; k++) doc += i == 1 ? "&lol;" : "&lol" + std::to_string(i - 1) + ";";
    doc += "\">\n";
  }
  doc += "<!ENTITY % pe \"%pe;%pe;\">\n%pe;\n]>\n<lolz a='&lol9;'>&lol9;</lolz>";
  xml_test_doc d;
  xml_test_parse(&d, doc, 64 * sizeof(xml_node), 4 * doc.size());
  ASSERT_EQ(xml_test_str(xml_error_name(d.error)), "no error");
  xml_node *root = xml_test_root(&d);
  ASSERT_NE(root, nullptr);
  ASSERT_NE(root->first_child, nullptr);
  EXPECT_EQ(root->first_child->type, xml_node_type_reference);
  EXPECT_EQ(root->first_child, root->last_child);
  EXPECT_EQ(xml_test_str(root->first_attribute->value), "&lol9;");
  u8 mem[64];
  buffer out = {sizeof mem, 0, mem};
  EXPECT_EQ(xml_test_str(xml_node_text(root, &out)), "&lol9;");
}

}  // namespace
