// The document type declaration and its internal subset: element, attribute-list, entity and
// notation declarations, parameter entity references, external ids and literals. Everything is
// stored as nodes under the document type; nothing is validated, expanded or fetched.
#include <string.h>

#include "xml/xml_internal.h"

static void xml_require_spaces(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (!*error && !xml_skip_spaces(p, c, nullptr, error)) xml_set_error(error, xml_error_expected_space);
}

static void xml_require(xml_parser *p, xml_cursor *c, buffer literal, xml_error e, xml_error *error) {
  if (!*error && !xml_match(p, c, literal, error)) xml_set_error(error, e);
}

static bool xml_at_quote(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error || !xml_has_more(p, c)) return false;
  xml_cursor copy = *c;
  u32 cp = xml_peek(p, &copy, error);
  return cp == '"' || cp == '\'';
}

// ---- Literals and external ids -----------------------------------------------------------

// What a quoted literal takes: every Char (a system literal), only the public-id characters, or
// every Char with its references kept as written, in place in the value's string (an entity
// value).
enum : u32 { xml_literal_system, xml_literal_pubid, xml_literal_entity_value };

static bool xml_parse_literal(xml_parser *p, xml_cursor *c, u32 kind, buffer *out, xml_error *error) {
  if (*error) return false;
  xml_quoted v = xml_quoted_begin(p, c, error);
  while (!*error) {
    u32 cp = xml_peek(p, c, error);
    if (*error) break;
    if (cp == v.quote) {
      xml_advance(c, error);
      break;
    }
    if (kind == xml_literal_entity_value && cp == '&') {
      xml_parse_reference(p, c, nullptr, error);
      continue;
    }
    if (kind == xml_literal_entity_value && cp == '%') {
      xml_parse_parameter_entity_reference(p, c, nullptr, error);
      continue;
    }
    if (kind == xml_literal_pubid ? !xml_is_pubid_char(cp) : !xml_is_char(cp)) {
      xml_set_error(error, xml_error_invalid_character);
      break;
    }
    u32 kept = xml_line_end(c, cp);
    if (kept != XML_NO_CODEPOINT) xml_string_push_codepoint(p, kept, error);
    xml_advance(c, error);
  }
  return xml_quoted_end(&v, out, error);
}

bool xml_parse_system_literal(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error) {
  return xml_parse_literal(p, c, xml_literal_system, out, error);
}

bool xml_parse_pubid_literal(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error) {
  return xml_parse_literal(p, c, xml_literal_pubid, out, error);
}

// A system literal that must be there.
static void xml_parse_required_system_literal(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error) {
  if (*error) return;
  if (!xml_at_quote(p, c, error)) xml_set_error(error, xml_error_external_id_expected_system_literal);
  xml_parse_system_literal(p, c, out, error);
}

bool xml_parse_system_id(xml_parser *p, xml_cursor *c, buffer *system_literal, xml_error *error) {
  if (*error) return false;
  xml_string_mark mark = xml_string_begin(p);
  buffer s = {};
  xml_require(p, c, string_lit("SYSTEM"), xml_error_system_id_expected_system, error);
  xml_require_spaces(p, c, error);
  xml_parse_required_system_literal(p, c, &s, error);
  bool ok = xml_string_finish(&mark, nullptr, error);
  if (system_literal) *system_literal = ok ? s : buffer{};
  return ok;
}

bool xml_parse_public_id(xml_parser *p, xml_cursor *c, bool system_literal_required, buffer *public_literal,
                         buffer *system_literal, xml_error *error) {
  if (*error) return false;
  xml_string_mark mark = xml_string_begin(p);
  buffer pub = {}, sys = {};
  xml_require(p, c, string_lit("PUBLIC"), xml_error_public_id_expected_public, error);
  xml_require_spaces(p, c, error);
  xml_parse_pubid_literal(p, c, &pub, error);
  if (system_literal_required) {
    xml_require_spaces(p, c, error);
    xml_parse_required_system_literal(p, c, &sys, error);
  }
  bool ok = xml_string_finish(&mark, nullptr, error);
  if (public_literal) *public_literal = ok ? pub : buffer{};
  if (system_literal) *system_literal = ok ? sys : buffer{};
  return ok;
}

bool xml_parse_external_id(xml_parser *p, xml_cursor *c, u32 *kind, buffer *public_literal, buffer *system_literal,
                           xml_error *error) {
  if (*error) return false;
  *kind = xml_external_id_none;
  *public_literal = *system_literal = buffer{};
  if (xml_at(p, c, string_lit("SYSTEM"), error)) {
    if (!xml_parse_system_id(p, c, system_literal, error)) return false;
    *kind = xml_external_id_system;
    return true;
  }
  if (xml_at(p, c, string_lit("PUBLIC"), error)) {
    if (!xml_parse_public_id(p, c, true, public_literal, system_literal, error)) return false;
    *kind = xml_external_id_public;
    return true;
  }
  xml_set_error(error, xml_error_external_id_expected_system_or_public);
  return false;
}

// Reads "<!KEYWORD S Name S" and makes the declaration's node, named so.
static xml_node *xml_begin_named_declaration(xml_parser *p, xml_cursor *c, buffer keyword, xml_error start_error, u32 type,
                                             xml_error *error) {
  buffer name = {};
  xml_require(p, c, keyword, start_error, error);
  xml_require_spaces(p, c, error);
  if (!*error && !xml_parse_name(p, c, &name, error)) xml_set_error(error, xml_error_expected_name);
  xml_require_spaces(p, c, error);
  xml_node *node = xml_node_new(p, type, error);
  if (node) node->name = name;
  return node;
}

// Reads a declaration's closing "S? >" and hands its node out on success.
static xml_node *xml_end_declaration(xml_parser *p, xml_cursor *c, xml_node *node, xml_marks *m, xml_error *error) {
  xml_skip_spaces(p, c, nullptr, error);
  xml_require(p, c, string_lit(">"), xml_error_expected_greater_than, error);
  xml_marks_end(m, error);
  return *error ? nullptr : node;
}

// ---- Element declarations ----------------------------------------------------------------

u32 xml_parse_quantity_specifier(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error || !xml_has_more(p, c)) return xml_quantity_specifier_one;
  u32 cp = xml_peek(p, c, error);
  u32 q = cp == '?' ? xml_quantity_specifier_zero_or_one
          : cp == '*' ? xml_quantity_specifier_zero_or_more
          : cp == '+' ? xml_quantity_specifier_one_or_more
                      : xml_quantity_specifier_one;
  if (q != xml_quantity_specifier_one) xml_advance(c, error);
  return q;
}

xml_node *xml_parse_content_particles(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  // Groups nest by recursion like elements, under the same bound.
  if (!xml_depth_enter(p, error)) return nullptr;
  xml_marks m = xml_marks_begin(p);
  xml_require(p, c, string_lit("("), xml_error_element_declaration_expected_open_parenthesis, error);
  xml_node *group = xml_node_new(p, xml_node_type_content_spec_children_sequence, error);
  u32 separator = 0;
  while (!*error) {
    xml_skip_spaces(p, c, nullptr, error);
    xml_node *particle = nullptr;
    if (xml_at(p, c, string_lit("("), error)) {
      particle = xml_parse_content_particles(p, c, error);
      if (!particle) xml_set_error(error, xml_error_element_declaration_expected_choice_or_sequence);
    } else {
      buffer name = {};
      if (!xml_parse_name(p, c, &name, error)) xml_set_error(error, xml_error_expected_name);
      particle = xml_node_new(p, xml_node_type_content_spec_children_name, error);
      if (particle) {
        particle->name = name;
        particle->quantity = xml_parse_quantity_specifier(p, c, error);
      }
    }
    xml_node_append_child(group, particle, error);
    xml_skip_spaces(p, c, nullptr, error);
    u32 cp = xml_peek(p, c, error);
    if (*error || (cp != '|' && cp != ',')) break;
    if (separator && separator != cp) {
      xml_set_error(error, xml_error_element_declaration_mixing_sequence_and_choice_in_content_spec);
      break;
    }
    separator = cp;
    xml_advance(c, error);
  }
  if (group && separator == '|') group->type = xml_node_type_content_spec_children_choice;
  xml_skip_spaces(p, c, nullptr, error);
  xml_require(p, c, string_lit(")"), xml_error_element_declaration_expected_closing_parenthesis, error);
  u32 quantity = xml_parse_quantity_specifier(p, c, error);
  if (group) group->quantity = quantity;
  xml_marks_end(&m, error);
  p->depth--;
  return *error ? nullptr : group;
}

xml_node *xml_parse_element_declaration(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  xml_marks m = xml_marks_begin(p);
  xml_node *node =
      xml_begin_named_declaration(p, c, string_lit("<!ELEMENT"), xml_error_element_declaration_expected_start, xml_node_type_element_declaration, error);
  if (xml_look_ahead(p, c, string_lit("EMPTY"), error)) {
    node->content = xml_content_empty;
  } else if (xml_look_ahead(p, c, string_lit("ANY"), error)) {
    node->content = xml_content_any;
  } else if (!*error) {
    xml_cursor copy = *c;
    if (!xml_match(p, &copy, string_lit("("), error)) {
      xml_set_error(error, xml_error_element_declaration_expected_parenthesis);
    } else {
      xml_skip_spaces(p, &copy, nullptr, error);
      if (xml_match(p, &copy, string_lit("#PCDATA"), error)) {
        *c = copy;
        node->content = xml_content_mixed;
        xml_skip_spaces(p, c, nullptr, error);
        u32 cp = xml_peek(p, c, error);
        if (!*error && cp != '|' && cp != ')') xml_set_error(error, xml_error_element_declaration_expected_end_of_mixed);
        u32 names = 0;
        while (!*error) {
          xml_skip_spaces(p, c, nullptr, error);
          if (!xml_look_ahead(p, c, string_lit("|"), error)) break;
          xml_skip_spaces(p, c, nullptr, error);
          buffer n = {};
          if (!xml_parse_name(p, c, &n, error)) xml_set_error(error, xml_error_expected_name);
          xml_node *mixed = xml_node_new(p, xml_node_type_content_spec_mixed, error);
          if (mixed) mixed->name = n;
          xml_node_append_child(node, mixed, error);
          names++;
        }
        xml_require(p, c, string_lit(")"), xml_error_element_declaration_expected_end_of_mixed, error);
        // "(#PCDATA)" may carry the "*" or not; a list of names must.
        if (names) xml_require(p, c, string_lit("*"), xml_error_element_declaration_expected_asterisk, error);
        else xml_look_ahead(p, c, string_lit("*"), error);
      } else {
        node->content = xml_content_children;
        xml_node_append_child(node, xml_parse_content_particles(p, c, error), error);
      }
    }
  }
  return xml_end_declaration(p, c, node, &m, error);
}

// ---- Attribute-list declarations ---------------------------------------------------------

// "(" tokens separated by "|" ")", each a child node of the given type.
static void xml_parse_token_list(xml_parser *p, xml_cursor *c, xml_node *parent, u32 type, xml_error missing,
                                 xml_error *error) {
  xml_require(p, c, string_lit("("), xml_error_attribute_list_declaration_expected_open_parenthesis, error);
  while (!*error) {
    xml_skip_spaces(p, c, nullptr, error);
    buffer token = {};
    bool ok = type == xml_node_type_attribute_notation ? xml_parse_name(p, c, &token, error)
                                                        : xml_parse_nmtoken(p, c, &token, error);
    if (!ok) xml_set_error(error, missing);
    xml_node *n = xml_node_new(p, type, error);
    if (n) n->name = token;
    xml_node_append_child(parent, n, error);
    xml_skip_spaces(p, c, nullptr, error);
    if (!xml_look_ahead(p, c, string_lit("|"), error)) break;
  }
  xml_require(p, c, string_lit(")"), xml_error_attribute_list_declaration_expected_close_parenthesis, error);
}

xml_node *xml_parse_attribute_list_declaration(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  xml_marks m = xml_marks_begin(p);
  buffer name = {};
  xml_require(p, c, string_lit("<!ATTLIST"), xml_error_attribute_list_declaration_expected_start, error);
  xml_require_spaces(p, c, error);
  if (!*error && !xml_parse_name(p, c, &name, error))
    xml_set_error(error, xml_error_attribute_list_declaration_expected_element_name);
  xml_node *node = xml_node_new(p, xml_node_type_attribute_list_declaration, error);
  if (node) node->name = name;
  static const struct {
    buffer keyword;
    u32 type;
  } types[] = {
      {string_lit("CDATA"), xml_attribute_declaration_type_cdata},
      {string_lit("IDREFS"), xml_attribute_declaration_type_idrefs},
      {string_lit("IDREF"), xml_attribute_declaration_type_idref},
      {string_lit("ID"), xml_attribute_declaration_type_id},
      {string_lit("ENTITY"), xml_attribute_declaration_type_entity},
      {string_lit("ENTITIES"), xml_attribute_declaration_type_entities},
      {string_lit("NMTOKENS"), xml_attribute_declaration_type_name_tokens},
      {string_lit("NMTOKEN"), xml_attribute_declaration_type_name_token},
      {string_lit("NOTATION"), xml_attribute_declaration_type_notation},
  };
  while (!*error) {
    bool spaced = xml_skip_spaces(p, c, nullptr, error);
    if (xml_at(p, c, string_lit(">"), error) || *error) break;
    if (!spaced) xml_set_error(error, xml_error_expected_space);
    buffer attribute_name = {};
    if (!*error && !xml_parse_name(p, c, &attribute_name, error))
      xml_set_error(error, xml_error_attribute_list_declaration_expected_attribute_name);
    xml_require_spaces(p, c, error);
    xml_node *a = xml_node_new(p, xml_node_type_attribute_declaration, error);
    if (!a) break;
    a->name = attribute_name;
    xml_node_append_child(node, a, error);
    for (const auto &t : types) {
      if (xml_look_ahead(p, c, t.keyword, error)) {
        a->attribute_type = t.type;
        break;
      }
    }
    if (a->attribute_type == xml_attribute_declaration_type_notation) {
      xml_require_spaces(p, c, error);
      xml_parse_token_list(p, c, a, xml_node_type_attribute_notation,
                           xml_error_attribute_list_declaration_expected_notation_name, error);
    } else if (a->attribute_type == xml_attribute_declaration_type_none) {
      if (xml_at(p, c, string_lit("("), error)) {
        a->attribute_type = xml_attribute_declaration_type_enumeration;
        xml_parse_token_list(p, c, a, xml_node_type_attribute_enumeration,
                             xml_error_attribute_list_declaration_expected_enum_token, error);
      } else {
        xml_set_error(error, xml_error_attribute_list_declaration_expected_attribute_type);
      }
    }
    // The type and the default, and "#FIXED" and its value, are separated by white space; a
    // default that is not there at all is reported as missing instead.
    bool separated = xml_skip_spaces(p, c, nullptr, error);
    if (!separated && (xml_at(p, c, string_lit("#"), error) || xml_at_quote(p, c, error)))
      xml_set_error(error, xml_error_expected_space);
    bool needs_value = true;
    if (xml_look_ahead(p, c, string_lit("#REQUIRED"), error)) {
      a->default_kind = xml_attribute_declaration_default_required;
      needs_value = false;
    } else if (xml_look_ahead(p, c, string_lit("#IMPLIED"), error)) {
      a->default_kind = xml_attribute_declaration_default_implied;
      needs_value = false;
    } else if (xml_look_ahead(p, c, string_lit("#FIXED"), error)) {
      a->default_kind = xml_attribute_declaration_default_fixed;
      if (!xml_skip_spaces(p, c, nullptr, error) && xml_at_quote(p, c, error))
        xml_set_error(error, xml_error_expected_space);
    }
    if (needs_value && !*error) {
      if (!xml_at_quote(p, c, error))
        xml_set_error(error, xml_error_attribute_list_declaration_expected_attribute_default_value);
      xml_parse_attribute_value(p, c, &a->default_value, error);
    }
  }
  return xml_end_declaration(p, c, node, &m, error);
}

// ---- Entity and notation declarations ----------------------------------------------------

bool xml_parse_entity_value(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error) {
  return xml_parse_literal(p, c, xml_literal_entity_value, out, error);
}

xml_node *xml_parse_entity_declaration(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  xml_marks m = xml_marks_begin(p);
  xml_require(p, c, string_lit("<!ENTITY"), xml_error_entity_declaration_expected_start, error);
  xml_require_spaces(p, c, error);
  xml_node *node = xml_node_new(p, xml_node_type_entity_declaration, error);
  if (node && xml_look_ahead(p, c, string_lit("%"), error)) {
    xml_require_spaces(p, c, error);
    node->parameter = 1;
  }
  buffer name = {};
  if (!*error && !xml_parse_name(p, c, &name, error)) xml_set_error(error, xml_error_expected_name);
  if (node) node->name = name;
  xml_require_spaces(p, c, error);
  if (xml_at_quote(p, c, error)) {
    if (!xml_parse_entity_value(p, c, &node->value, error))
      xml_set_error(error, xml_error_entity_declaration_expected_entity_value);
  } else if (!*error) {
    u32 kind = 0;
    buffer pub = {}, sys = {};
    if (xml_parse_external_id(p, c, &kind, &pub, &sys, error)) {
      node->external = 1;
      node->external_id = kind;
      node->public_literal = pub;
      node->system_literal = sys;
    }
    if (!*error && !node->parameter) {
      xml_cursor copy = *c;
      bool spaced = xml_skip_spaces(p, &copy, nullptr, error);
      if (xml_match(p, &copy, string_lit("NDATA"), error)) {
        if (!spaced) xml_set_error(error, xml_error_expected_space);
        if (!*error) *c = copy;
        xml_require_spaces(p, c, error);
        buffer notation = {};
        if (!*error && !xml_parse_name(p, c, &notation, error))
          xml_set_error(error, xml_error_entity_declaration_expected_notation_data_name);
        node->has_notation = 1;
        node->notation = notation;
      }
    }
  }
  return xml_end_declaration(p, c, node, &m, error);
}

xml_node *xml_parse_notation_declaration(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  xml_marks m = xml_marks_begin(p);
  xml_node *node =
      xml_begin_named_declaration(p, c, string_lit("<!NOTATION"), xml_error_notation_declaration_expected_start, xml_node_type_notation_declaration, error);
  if (xml_at(p, c, string_lit("SYSTEM"), error)) {
    if (xml_parse_system_id(p, c, &node->system_literal, error)) {
      node->has_system_literal = 1;
      node->external_id = xml_external_id_system;
    }
  } else if (xml_at(p, c, string_lit("PUBLIC"), error)) {
    xml_parse_public_id(p, c, false, &node->public_literal, nullptr, error);
    xml_cursor copy = *c;
    if (!*error && xml_skip_spaces(p, &copy, nullptr, error) && xml_at_quote(p, &copy, error)) {
      *c = copy;
      if (xml_parse_system_literal(p, c, &node->system_literal, error)) {
        node->has_system_literal = 1;
        node->external_id = xml_external_id_public;
      }
    }
  } else {
    xml_set_error(error, xml_error_notation_declaration_expected_system_or_public);
  }
  return xml_end_declaration(p, c, node, &m, error);
}

// ---- Markup declarations and the document type -------------------------------------------

xml_node *xml_parse_markup_declaration(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  if (xml_at(p, c, string_lit("<!ELEMENT"), error)) return xml_parse_element_declaration(p, c, error);
  if (xml_at(p, c, string_lit("<!ATTLIST"), error)) return xml_parse_attribute_list_declaration(p, c, error);
  if (xml_at(p, c, string_lit("<!ENTITY"), error)) return xml_parse_entity_declaration(p, c, error);
  if (xml_at(p, c, string_lit("<!NOTATION"), error)) return xml_parse_notation_declaration(p, c, error);
  if (xml_at(p, c, string_lit("<?"), error)) return xml_parse_processing_instruction(p, c, error);
  if (xml_at(p, c, string_lit("<!--"), error)) return xml_parse_comment(p, c, error);
  return nullptr;
}

xml_node *xml_parse_document_type(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  xml_marks m = xml_marks_begin(p);
  buffer name = {};
  xml_require(p, c, string_lit("<!DOCTYPE"), xml_error_doctype_expected_start, error);
  xml_require_spaces(p, c, error);
  if (!*error && !xml_parse_name(p, c, &name, error)) xml_set_error(error, xml_error_expected_name);
  xml_node *node = xml_node_new(p, xml_node_type_document_type, error);
  if (node) node->name = name;
  xml_cursor copy = *c;
  bool spaced = xml_skip_spaces(p, &copy, nullptr, error);
  if (xml_at(p, &copy, string_lit("SYSTEM"), error) || xml_at(p, &copy, string_lit("PUBLIC"), error)) {
    if (!spaced) xml_set_error(error, xml_error_expected_space);
    if (!*error) *c = copy;
    u32 kind = 0;
    buffer pub = {}, sys = {};
    if (xml_parse_external_id(p, c, &kind, &pub, &sys, error)) {
      node->external_id = kind;
      node->system_literal = sys;
      node->public_literal = pub;
    }
  }
  xml_skip_spaces(p, c, nullptr, error);
  if (xml_look_ahead(p, c, string_lit("["), error)) {
    while (!*error) {
      xml_skip_spaces(p, c, nullptr, error);
      if (xml_at(p, c, string_lit("]"), error) || *error) break;
      if (xml_at(p, c, string_lit("%"), error)) {
        xml_marks pm = xml_marks_begin(p);
        buffer text = {};
        xml_parse_parameter_entity_reference(p, c, &text, error);
        xml_node *ref = xml_node_new(p, xml_node_type_parameter_entity_reference, error);
        if (ref) ref->text = text;
        xml_node_append_child(node, ref, error);
        xml_marks_end(&pm, error);
        continue;
      }
      xml_node *declaration = xml_parse_markup_declaration(p, c, error);
      if (!declaration) {
        xml_set_error(error, xml_error_doctype_expected_internal_subset);
        break;
      }
      xml_node_append_child(node, declaration, error);
    }
    xml_skip_spaces(p, c, nullptr, error);
    xml_require(p, c, string_lit("]"), xml_error_doctype_expected_closing_angle_bracket, error);
  }
  return xml_end_declaration(p, c, node, &m, error);
}
