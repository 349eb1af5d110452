// Walking a parsed tree: name tests, child and sibling elements, search, attribute lookup, the
// text of an element and the serialiser that writes a subtree back as XML.
#include <string.h>

#include "xml/xml_internal.h"

static xml_log_function xml_log = nullptr;

void xml_set_log_function(xml_log_function f) { xml_log = f; }

static bool xml_same(buffer a, buffer b) { return a.used == b.used && (a.used == 0 || memcmp(a.data, b.data, a.used) == 0); }

bool xml_is_element(const xml_node *node, buffer name) {
  return node && node->type == xml_node_type_element && xml_same(node->name, name);
}

bool xml_is_attribute(const xml_node *node, buffer name) {
  return node && node->type == xml_node_type_attribute && xml_same(node->name, name);
}

xml_node *xml_first_child_element(const xml_node *node) {
  for (xml_node *n = node ? node->first_child : nullptr; n; n = n->next)
    if (n->type == xml_node_type_element) return n;
  return nullptr;
}

xml_node *xml_next_sibling_element(const xml_node *node) {
  for (xml_node *n = node ? node->next : nullptr; n; n = n->next)
    if (n->type == xml_node_type_element) return n;
  return nullptr;
}

// Iterative pre-order walk inside the subtree of node, so a deep tree costs no stack.
xml_node *xml_find_element(xml_node *node, buffer name) {
  xml_node *n = node;
  while (n) {
    if (xml_is_element(n, name)) return n;
    if (n->first_child) {
      n = n->first_child;
      continue;
    }
    while (n && n != node && !n->next) n = n->parent;
    if (!n || n == node) return nullptr;
    n = n->next;
  }
  return nullptr;
}

xml_node *xml_find_attribute(const xml_node *element, buffer name) {
  invariant(element && element->type == xml_node_type_element);
  for (xml_node *a = element->first_attribute; a; a = a->next)
    if (xml_same(a->name, name)) return a;
  return nullptr;
}

static void xml_append(buffer *out, buffer s) {
  if (s.used) buffer_push_bytes(out, s.data, s.used);
}

buffer xml_node_text(const xml_node *node, buffer *out, bool quiet) {
  u64 start = out->used;
  for (xml_node *n = node ? node->first_child : nullptr; n; n = n->next) {
    if (xml_node_is_text(n)) {
      xml_append(out, n->text);
    } else if (xml_log && !quiet) {
      u8 line[128];
      buffer b = {sizeof line, 0, line};
      xml_append(&b, string_lit("feed: skipped content node "));
      xml_append(&b, xml_node_type_name(n->type));
      xml_append(&b, string_lit("\n"));
      xml_log(b);
    }
  }
  u64 n = out->used - start;
  return buffer{n, n, n ? out->data + start : nullptr};
}

// Escapes what would otherwise be read back as markup: & < > in text; & < " in a value
// written between double quotes, and there also tab, LF and CR, which a parser would turn into
// spaces. A CR, which only a character reference brings into a tree, is one anywhere: written as
// it is, it would be read back as a line end.
static void xml_append_escaped(buffer *out, buffer s, bool attribute) {
  const u8 *run = s.data, *end = s.data + s.used;
  for (const u8 *b = s.data; b < end; b++) {
    buffer entity;
    if (*b == '&') entity = string_lit("&amp;");
    else if (*b == '<') entity = string_lit("&lt;");
    else if (*b == '>' && !attribute) entity = string_lit("&gt;");
    else if (*b == '"' && attribute) entity = string_lit("&quot;");
    else if (*b == '\t' && attribute) entity = string_lit("&#9;");
    else if (*b == '\n' && attribute) entity = string_lit("&#10;");
    else if (*b == '\r') entity = string_lit("&#13;");
    else continue;
    xml_append(out, string_from_range(run, b));
    xml_append(out, entity);
    run = b + 1;
  }
  xml_append(out, string_from_range(run, end));
}

// Depth-first with an explicit walk over parent links, so a deep tree costs no stack.
static void xml_write_open(const xml_node *n, buffer *out) {
  if (n->type == xml_node_type_element) {
    xml_append(out, string_lit("<"));
    xml_append(out, n->name);
    xml_append(out, string_lit(" "));
    for (xml_node *a = n->first_attribute; a; a = a->next) {
      xml_append(out, a->name);
      xml_append(out, string_lit("=\""));
      xml_append_escaped(out, a->value, true);
      xml_append(out, string_lit("\" "));
    }
    if (n->empty) xml_append(out, string_lit("/"));
    xml_append(out, string_lit(">"));
  } else if (n->type == xml_node_type_character_data) {
    xml_append_escaped(out, n->text, false);
  } else if (n->type == xml_node_type_reference) {
    xml_append(out, n->text);
  } else if (n->type == xml_node_type_cdata_section) {
    xml_append(out, string_lit("<![CDATA["));
    xml_append(out, n->text);
    xml_append(out, string_lit("]]>"));
  }
}

static void xml_write_close(const xml_node *n, buffer *out) {
  if (n->type == xml_node_type_element && !n->empty) {
    xml_append(out, string_lit("</"));
    xml_append(out, n->name);
    xml_append(out, string_lit(">"));
  }
}

buffer xml_write_node(const xml_node *node, u32 flag, buffer *out) {
  u64 start = out->used;
  if (node) {
    bool whole = flag != 0 || node->type != xml_node_type_element;
    if (whole) xml_write_open(node, out);
    // Only elements have children worth writing.
    const xml_node *n = node->type == xml_node_type_element ? node->first_child : nullptr;
    while (n) {
      xml_write_open(n, out);
      if (n->type == xml_node_type_element && n->first_child) {
        n = n->first_child;
        continue;
      }
      xml_write_close(n, out);
      while (!n->next) {
        n = n->parent;
        if (n == node) break;
        xml_write_close(n, out);
      }
      n = n == node ? nullptr : n->next;
    }
    if (whole) xml_write_close(node, out);
  }
  u64 n = out->used - start;
  return buffer{n, n, n ? out->data + start : nullptr};
}
