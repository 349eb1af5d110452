// The document parse over arbitrary bytes in any encoding. The first byte picks the encoding
// forced after detection (0 lets detection and the declaration decide); the arenas are small
// and fixed, so running out of them is exercised too, and the report is always printed.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "xml/xml.h"

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
  if (choice == 0 || choice > 40) {
    xml_parse(&p, &nodes, &strings, input, &e);
  } else {
    // Force the encoding the way a declaration would, then run the productions directly.
    xml_parser_init(&p, nodes, strings, input, &e);
    p.encoding = choice;
    p.ascii_fast = 0;
    xml_node *root = xml_parse_element(&p, &p.cursor, &e);
    xml_node_append_child(p.top, root, &e);
    nodes = p.nodes;
    strings = p.strings;
  }
  if (nodes.used > sizeof node_memory || strings.used > sizeof string_memory) __builtin_trap();
  if (e >= xml_error_count) __builtin_trap();
  u8 report[512];
  buffer out = {sizeof report, 0, report};
  xml_print_error(&p, &e, &out);
  if (!e) {
    u8 written[1 << 16];
    buffer w = {sizeof written, 0, written};
    xml_write_node(p.top->last_child, 1, &w);
    xml_find_element(p.top, string_lit("item"));
  }
  return 0;
}
