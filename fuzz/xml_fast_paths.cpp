// The fast paths (ASCII runs, UTF-8 sequences, UTF-16 units, one-step names, attributes and end
// tags, and the UTF-8 content loop in its AVX2 and SSE2 builds) against the general path that
// decodes every code point: each input is parsed with them on and off, with its detected encoding
// and with every encoding its first byte selects, into fixed arenas sized from the input (now and
// then too small for it). Tree, error, line, column, byte position and arena usage must agree;
// the first difference aborts.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "xml/xml_internal.h"

namespace {

void put(std::string *o, buffer b) {
  *o += '[';
  o->append((const char *)b.data, b.used);
  *o += ']';
}

void put(std::string *o, u64 v) {
  *o += std::to_string(v);
  *o += ',';
}

// Every field a type holds, then its attributes and children.
void dump(const xml_node *n, std::string *o) {
  put(o, n->type);
  switch (n->type) {
    case xml_node_type_xml_declaration:
      put(o, n->version), put(o, n->encoding), put(o, n->has_encoding), put(o, n->standalone), put(o, n->has_standalone);
      break;
    case xml_node_type_processing_instruction: put(o, n->target), put(o, n->data); break;
    case xml_node_type_comment:
    case xml_node_type_spaces:
    case xml_node_type_character_data:
    case xml_node_type_cdata_section:
    case xml_node_type_reference:
    case xml_node_type_parameter_entity_reference: put(o, n->text); break;
    case xml_node_type_document_type:
      put(o, n->name), put(o, n->external_id), put(o, n->system_literal), put(o, n->public_literal);
      break;
    case xml_node_type_element_declaration: put(o, n->name), put(o, n->content); break;
    case xml_node_type_content_spec_children_choice:
    case xml_node_type_content_spec_children_sequence: put(o, n->quantity); break;
    case xml_node_type_content_spec_children_name: put(o, n->name), put(o, n->quantity); break;
    case xml_node_type_attribute_declaration:
      put(o, n->name), put(o, n->attribute_type), put(o, n->default_kind), put(o, n->default_value);
      break;
    case xml_node_type_entity_declaration:
      put(o, n->name), put(o, n->parameter), put(o, n->external), put(o, n->value), put(o, n->external_id);
      put(o, n->system_literal), put(o, n->public_literal), put(o, n->has_notation), put(o, n->notation);
      break;
    case xml_node_type_notation_declaration:
      put(o, n->name), put(o, n->has_system_literal), put(o, n->external_id), put(o, n->system_literal);
      put(o, n->public_literal);
      break;
    case xml_node_type_element:
      put(o, n->name), put(o, n->empty);
      for (const xml_node *a = n->first_attribute; a; a = a->next) {
        if (a->parent != n) abort();
        *o += '@';
        put(o, a->name), put(o, a->value);
      }
      break;
    default:
      if (n->type != xml_node_type_document) put(o, n->name);
      break;
  }
  *o += '(';
  for (const xml_node *c = n->first_child; c; c = c->next) {
    if (c->parent != n) abort();
    dump(c, o);
  }
  *o += ')';
}

struct outcome {
  xml_error error = 0;
  u32 line = 0, column = 0, after_cr = 0, encoding = 0;
  u64 position = 0, line_start = 0, nodes_used = 0, strings_used = 0;
  std::string tree, report;
};

// The arenas are exactly as large as asked, each its own allocation, so a byte written past
// either is caught by the sanitizer.
outcome parse(const std::vector<u8> &input, u32 encoding, bool fast, u64 node_bytes, u64 string_bytes) {
  std::vector<u8> node_memory(node_bytes), string_memory(string_bytes);
  buffer nodes = {node_bytes, 0, node_memory.data()};
  buffer strings = {string_bytes, 0, string_memory.data()};
  std::vector<u8> bytes(input);  // its own allocation too: a read past the end is caught
  buffer in = {bytes.size(), bytes.size(), bytes.data()};
  xml_parser p;
  xml_error e = 0;
  xml_parse_with(&p, &nodes, &strings, in, encoding, fast, &e);
  outcome o;
  o.error = e;
  if (nodes.used > node_bytes || strings.used > string_bytes) abort();
  if (e >= xml_error_count) abort();
  if (e == xml_error_invalid_encoding && !p.top) return o;
  o.line = p.cursor.line;
  o.column = p.cursor.column;
  o.after_cr = p.cursor.after_cr;
  o.encoding = p.encoding;
  o.position = (u64)(p.cursor.position - bytes.data());
  o.line_start = (u64)(p.cursor.line_start - bytes.data());
  if (o.position > bytes.size() || o.line_start > o.position) abort();
  o.nodes_used = nodes.used;
  o.strings_used = strings.used;
  if (p.top) dump(p.top, &o.tree);
  u8 report[1024];
  buffer out = {sizeof report, 0, report};
  xml_print_error(&p, &e, &out);
  o.report.assign((const char *)out.data, out.used);
  return o;
}

void compare(const outcome &fast, const outcome &general, u32 encoding) {
  bool same = fast.error == general.error && fast.line == general.line && fast.column == general.column &&
              fast.after_cr == general.after_cr && fast.encoding == general.encoding &&
              fast.position == general.position && fast.line_start == general.line_start &&
              fast.nodes_used == general.nodes_used && fast.strings_used == general.strings_used &&
              fast.tree == general.tree && fast.report == general.report;
  if (same) return;
  const outcome *both[2] = {&fast, &general};
  fprintf(stderr, "fast and general paths differ, encoding %u\n", encoding);
  for (const outcome *o : both) {
    fprintf(stderr, "%s: %s %u:%u after_cr %u encoding %u byte %llu line start %llu arenas %llu/%llu\n%s\n%s\n",
            o == &fast ? "fast" : "general", xml_error_name(o->error).data, o->line, o->column, o->after_cr,
            o->encoding, (unsigned long long)o->position, (unsigned long long)o->line_start,
            (unsigned long long)o->nodes_used, (unsigned long long)o->strings_used, o->tree.c_str(),
            o->report.c_str());
  }
  abort();
}

}  // namespace

// Byte 0 selects the encodings besides detection; byte 1 how tight the arenas are; the rest is
// the document.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 || size > (1 << 16)) return 0;
  static const u32 encodings[] = {XML_ENCODING_UTF8, XML_ENCODING_UTF16LE, XML_ENCODING_UTF16BE,
                                  22 /* windows-1252 */, 35 /* Shift_JIS */, 32 /* Big5 */,
                                  30 /* GBK */, 36 /* EUC-KR */};
  u32 select = data[0], tight = data[1];
  std::vector<u8> input(data + 2, data + size);
  u64 n = input.size();
  // Room for any document of n bytes (a node per two bytes, three string bytes per byte), or a
  // fraction of it so that running out of either arena is compared too.
  u64 node_bytes = (n / 2 + 4) * sizeof(xml_node), string_bytes = 3 * n + 64;
  if (tight & 0x80) {
    node_bytes = node_bytes * ((tight & 0x7) + 1) / 16;
    string_bytes = string_bytes * ((tight >> 3 & 0xF) + 1) / 48;
  }
  for (u32 i = 0; i <= array_count(encodings); i++) {
    u32 encoding = i == 0 ? 0 : encodings[i - 1];
    if (i && !(select & 1u << (i - 1))) continue;
    outcome general = parse(input, encoding, false, node_bytes, string_bytes);
    // The fast paths in both their builds: the processor's widest, and SSE2 alone.
    for (bool narrow : {false, true}) {
      xml_scan_narrow = narrow;
      outcome fast = parse(input, encoding, true, node_bytes, string_bytes);
      xml_scan_narrow = false;
      compare(fast, general, encoding);
    }
  }
  return 0;
}
