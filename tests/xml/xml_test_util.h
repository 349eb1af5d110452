// Parsing helpers shared by the XML tests.
#pragma once

#include <string>
#include <vector>

#include "xml/xml.h"

struct xml_test_doc {
  std::string input;
  std::vector<u8> node_memory, string_memory;
  buffer nodes{}, strings{};
  xml_parser parser{};
  xml_error error = 0;
};

inline void xml_test_parse(xml_test_doc *d, const std::string &input, u64 node_bytes = 1 << 22,
                           u64 string_bytes = 1 << 22) {
  d->input = input;
  d->node_memory.assign(node_bytes, 0);
  d->string_memory.assign(string_bytes, 0);
  d->nodes = buffer{node_bytes, 0, d->node_memory.data()};
  d->strings = buffer{string_bytes, 0, d->string_memory.data()};
  d->error = 0;
  xml_parse(&d->parser, &d->nodes, &d->strings, string_from_bytes(d->input.data(), d->input.size()), &d->error);
}

// Parses "<a/>" into nodes, with no string memory, after the error word was set to xml_error_eof.
inline void xml_test_parse_after_error(xml_test_doc *d, buffer *nodes) {
  static const char in[] = "<a/>";
  d->error = xml_error_eof;
  buffer strings = {0, 0, nullptr};
  xml_parse(&d->parser, nodes, &strings, string_from_bytes(in, sizeof in - 1), &d->error);
}

inline std::string xml_test_str(buffer b) { return std::string((const char *)b.data, b.used); }

inline xml_node *xml_test_root(xml_test_doc *d) {
  for (xml_node *n = d->parser.top->first_child; n; n = n->next)
    if (n->type == xml_node_type_element) return n;
  return nullptr;
}

// A compact, comparable rendering of a subtree: types, names, texts, processing instructions and
// attributes.
inline void xml_test_dump(const xml_node *n, std::string *out) {
  *out += std::to_string(n->type);
  switch (n->type) {
    case xml_node_type_element:
      *out += "<" + xml_test_str(n->name);
      for (xml_node *a = n->first_attribute; a; a = a->next)
        *out += " " + xml_test_str(a->name) + "=[" + xml_test_str(a->value) + "]";
      *out += n->empty ? "/" : "";
      *out += ">";
      break;
    case xml_node_type_processing_instruction:
      *out += "[" + xml_test_str(n->target) + "|" + xml_test_str(n->data) + "]";
      break;
    case xml_node_type_character_data:
    case xml_node_type_cdata_section:
    case xml_node_type_reference:
    case xml_node_type_comment:
    case xml_node_type_spaces:
      *out += "[" + xml_test_str(n->text) + "]";
      break;
    default:
      break;
  }
  *out += "(";
  for (xml_node *c = n->first_child; c; c = c->next) xml_test_dump(c, out);
  *out += ")";
}
inline std::string xml_test_dump(const xml_node *n) {
  std::string s;
  xml_test_dump(n, &s);
  return s;
}
