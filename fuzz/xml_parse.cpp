// The document parse over arbitrary bytes in any encoding. The first byte picks the encoding
// taken as detected (0 lets detection and the declaration decide); the arenas are small and
// fixed, so running out of them is exercised too, and the report is always printed. A tree
// that parsed is written back as XML, which must parse again into the same tree (comments and
// processing instructions, which the writer leaves out, aside).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "xml/xml_internal.h"

namespace {

// The content the writer keeps: elements with their attributes, text (adjacent runs joined,
// as they are once the items between them are gone), CDATA sections and references.
void content(const xml_node *n, std::string *o) {
  std::string text;
  auto flush = [&] {
    if (!text.empty()) *o += "T[" + text + "]";
    text.clear();
  };
  for (const xml_node *c = n->first_child; c; c = c->next) {
    if (c->type == xml_node_type_character_data) {
      text.append((const char *)c->text.data, c->text.used);
      continue;
    }
    if (c->type != xml_node_type_element && c->type != xml_node_type_cdata_section &&
        c->type != xml_node_type_reference)
      continue;
    flush();
    if (c->type == xml_node_type_element) {
      *o += "E[" + std::string((const char *)c->name.data, c->name.used);
      for (const xml_node *a = c->first_attribute; a; a = a->next)
        *o += " " + std::string((const char *)a->name.data, a->name.used) + "=[" +
              std::string((const char *)a->value.data, a->value.used) + "]";
      *o += "](";
      content(c, o);
      *o += ")";
    } else {
      *o += (c->type == xml_node_type_reference ? "R[" : "C[") +
            std::string((const char *)c->text.data, c->text.used) + "]";
    }
  }
  flush();
}

xml_node *root_of(const xml_parser *p) {
  for (xml_node *n = p->top->first_child; n; n = n->next)
    if (n->type == xml_node_type_element) return n;
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  u32 choice = data[0] % 48;  // past 40: detection alone, more often
  std::vector<u8> body(data + 1, data + size);
  buffer input = {body.size(), body.size(), body.data()};

  static u8 node_memory[1 << 20], string_memory[1 << 18];
  buffer nodes = {sizeof node_memory, 0, node_memory};
  buffer strings = {sizeof string_memory, 0, string_memory};
  xml_parser p;
  xml_error e = 0;
  if (choice == 0 || choice > 40) xml_parse(&p, &nodes, &strings, input, &e);
  else xml_parse_with(&p, &nodes, &strings, input, choice, true, &e);
  if (nodes.used > sizeof node_memory || strings.used > sizeof string_memory) __builtin_trap();
  if (e >= xml_error_count) __builtin_trap();
  u8 report[512];
  buffer out = {sizeof report, 0, report};
  xml_print_error(&p, &e, &out);
  if (e) return 0;
  xml_find_element(p.top, string_lit("item"));
  xml_node *root = root_of(&p);
  if (!root) __builtin_trap();

  static u8 written[1 << 20];
  buffer w = {sizeof written, 0, written};
  xml_write_node(root, 1, &w);
  if (w.used == sizeof written) return 0;  // perhaps cut short
  static u8 node_again[1 << 20], string_again[1 << 20];
  buffer nodes2 = {sizeof node_again, 0, node_again};
  buffer strings2 = {sizeof string_again, 0, string_again};
  xml_parser q;
  xml_error e2 = 0;
  xml_parse(&q, &nodes2, &strings2, w, &e2);
  std::string before, after;
  content(p.top, &before);
  if (!e2) content(q.top, &after);
  if (e2 || before != after) {
    fprintf(stderr, "written tree does not read back (%s at %u:%u)\n%.*s\n%s\n%s\n", xml_error_name(e2).data,
            q.cursor.line, q.cursor.column, (int)w.used, (const char *)w.data, before.c_str(), after.c_str());
    abort();
  }
  return 0;
}
