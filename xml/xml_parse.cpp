// The parser's face to its caller: encoding detection, the document parse, the growing arenas
// kept from one document to the next, the error report and the printable names.
#include <string.h>

#include "core/strings.h"
#include "xml/xml_internal.h"

// ---- Names -------------------------------------------------------------------------------

#define XML_NAME(s) string_lit(s)
static const buffer xml_error_names[xml_error_count + 1] = {
    XML_NAME("no error"),
    XML_NAME("xml_error_invalid_encoding"),
    XML_NAME("xml_error_invalid_character"),
    XML_NAME("xml_error_eof"),
    XML_NAME("xml_error_expected_space"),
    XML_NAME("xml_error_expected_equal"),
    XML_NAME("xml_error_expected_single_or_double_quote"),
    XML_NAME("xml_error_expected_matching_quote"),
    XML_NAME("xml_error_expected_greater_than"),
    XML_NAME("xml_error_expected_name"),
    XML_NAME("xml_error_expected_element"),
    XML_NAME("xml_error_expected_eof"),
    XML_NAME("xml_error_xml_declaration_expected_start"),
    XML_NAME("xml_error_xml_declaration_standalone_invalid_value"),
    XML_NAME("xml_error_xml_declaration_expected_processing_instruction_end"),
    XML_NAME("xml_error_xml_version_expected_version"),
    XML_NAME("xml_error_xml_version_expected_one_dot"),
    XML_NAME("xml_error_xml_version_expected_number_after_the_dot"),
    XML_NAME("xml_error_encoding_declaration_expected_encoding"),
    XML_NAME("xml_error_text_declaration_expected_start"),
    XML_NAME("xml_error_text_declaration_expected_processing_instruction_end"),
    XML_NAME("xml_error_doctype_expected_start"),
    XML_NAME("xml_error_doctype_expected_closing_angle_bracket"),
    XML_NAME("xml_error_doctype_expected_internal_subset"),
    XML_NAME("xml_error_element_declaration_expected_start"),
    XML_NAME("xml_error_element_declaration_expected_open_parenthesis"),
    XML_NAME("xml_error_element_declaration_expected_choice_or_sequence"),
    XML_NAME("xml_error_element_declaration_mixing_sequence_and_choice_in_content_spec"),
    XML_NAME("xml_error_element_declaration_expected_closing_parenthesis"),
    XML_NAME("xml_error_element_declaration_expected_parenthesis"),
    XML_NAME("xml_error_element_declaration_expected_end_of_mixed"),
    XML_NAME("xml_error_element_declaration_expected_asterisk"),
    XML_NAME("xml_error_parameter_entity_reference_expected_semicolon"),
    XML_NAME("xml_error_comment_expected_start"),
    XML_NAME("xml_error_comment_contains_double_hyphen"),
    XML_NAME("xml_error_processing_instruction_expected_start"),
    XML_NAME("xml_error_processing_instruction_xml_declaration_must_be_the_first_element"),
    XML_NAME("xml_error_parameter_entity_reference_expected_percentage"),
    XML_NAME("xml_error_entity_reference_expected_ampersand"),
    XML_NAME("xml_error_entity_reference_expected_semicolon"),
    XML_NAME("xml_error_character_reference_expected_ampersand"),
    XML_NAME("xml_error_character_reference_expected_number_sign"),
    XML_NAME("xml_error_character_reference_expected_hexadecimal_digit"),
    XML_NAME("xml_error_character_reference_expected_digit"),
    XML_NAME("xml_error_character_reference_expected_semicolon"),
    XML_NAME("xml_error_reference_expected_ampersand"),
    XML_NAME("xml_error_entity_declaration_expected_start"),
    XML_NAME("xml_error_entity_declaration_expected_entity_value"),
    XML_NAME("xml_error_entity_declaration_expected_notation_data_name"),
    XML_NAME("xml_error_entity_declaration_expected_external_id"),
    XML_NAME("xml_error_attribute_list_declaration_expected_start"),
    XML_NAME("xml_error_attribute_list_declaration_expected_element_name"),
    XML_NAME("xml_error_attribute_list_declaration_expected_attribute_name"),
    XML_NAME("xml_error_attribute_list_declaration_expected_open_parenthesis"),
    XML_NAME("xml_error_attribute_list_declaration_expected_notation_name"),
    XML_NAME("xml_error_attribute_list_declaration_expected_close_parenthesis"),
    XML_NAME("xml_error_attribute_list_declaration_expected_enum_token"),
    XML_NAME("xml_error_attribute_list_declaration_expected_attribute_type"),
    XML_NAME("xml_error_attribute_list_declaration_expected_attribute_default_value"),
    XML_NAME("xml_error_external_id_expected_system_or_public"),
    XML_NAME("xml_error_external_id_expected_system_literal"),
    XML_NAME("xml_error_public_id_expected_public"),
    XML_NAME("xml_error_system_id_expected_system"),
    XML_NAME("xml_error_notation_declaration_expected_start"),
    XML_NAME("xml_error_notation_declaration_expected_system_or_public"),
    XML_NAME("xml_error_element_expected_start"),
    XML_NAME("xml_error_element_expected_greater_than_or_slash"),
    XML_NAME("xml_error_element_expected_end_tag"),
    XML_NAME("xml_error_element_expected_end_tag_name"),
    XML_NAME("xml_error_element_expected_matching_end_tag"),
    XML_NAME("xml_error_character_data_contains_cdata_section_end"),
    XML_NAME("xml_error_cdata_section_expected_start"),
    XML_NAME("xml_error_conditional_section_expected_start"),
    XML_NAME("xml_error_conditional_section_expected_include_or_ignore"),
    XML_NAME("xml_error_conditional_section_expected_open_square_bracket"),
    XML_NAME("xml_error_conditional_section_expected_conditional_section_end"),
    XML_NAME("xml_error_out_of_node_memory"),
    XML_NAME("xml_error_out_of_string_memory"),
    XML_NAME("xml_error_internal_invalid_peek_string"),
    XML_NAME("xml_error_nesting_too_deep"),
    XML_NAME("xml_error_count"),
};

static const buffer xml_node_type_names[xml_node_type_count + 1] = {
    XML_NAME("invalid type"),
    XML_NAME("xml declaration"),
    XML_NAME("processing instruction"),
    XML_NAME("comment"),
    XML_NAME("spaces"),
    XML_NAME("document type"),
    XML_NAME("element declaration"),
    XML_NAME("xml_node_type_content_spec_mixed"),
    XML_NAME("xml_node_type_content_spec_children_choice"),
    XML_NAME("xml_node_type_content_spec_children_sequence"),
    XML_NAME("xml_node_type_content_spec_children_name"),
    XML_NAME("attribute list declaration"),
    XML_NAME("attribute declaration"),
    XML_NAME("xml_node_type_attribute_notation"),
    XML_NAME("xml_node_type_attribute_enumeration"),
    XML_NAME("parameter entity reference"),
    XML_NAME("entity declaration"),
    XML_NAME("notation declaration"),
    XML_NAME("attribute"),
    XML_NAME("character data"),
    XML_NAME("cdata section"),
    XML_NAME("reference"),
    XML_NAME("element"),
    XML_NAME("text declaration"),
    XML_NAME("conditional section"),
    XML_NAME("xml_node_type_"),
};

static const buffer xml_quantity_names[] = {
    XML_NAME("xml_quantity_specifier_one"), XML_NAME("xml_quantity_specifier_zero_or_one"),
    XML_NAME("xml_quantity_specifier_zero_or_more"), XML_NAME("xml_quantity_specifier_one_or_more"),
    XML_NAME("xml_quantity_specifier_"),
};
static const buffer xml_content_spec_names[] = {XML_NAME("mixed"), XML_NAME("children"),
                                                XML_NAME("xml_content_spec_type_")};
static const buffer xml_attribute_type_names[] = {
    XML_NAME("xml_attribute_declaration_type_none"),        XML_NAME("xml_attribute_declaration_type_cdata"),
    XML_NAME("xml_attribute_declaration_type_id"),          XML_NAME("xml_attribute_declaration_type_idref"),
    XML_NAME("xml_attribute_declaration_type_idrefs"),      XML_NAME("xml_attribute_declaration_type_entity"),
    XML_NAME("xml_attribute_declaration_type_entities"),    XML_NAME("xml_attribute_declaration_type_name_token"),
    XML_NAME("xml_attribute_declaration_type_name_tokens"), XML_NAME("xml_attribute_declaration_type_notation"),
    XML_NAME("xml_attribute_declaration_type_enumeration"), XML_NAME("xml_attribute_declaration_type_"),
};
static const buffer xml_attribute_default_names[] = {
    XML_NAME("xml_attribute_declaration_default_none"), XML_NAME("xml_attribute_declaration_default_required"),
    XML_NAME("xml_attribute_declaration_default_implied"), XML_NAME("xml_attribute_declaration_default_fixed"),
    XML_NAME("xml_attribute_declaration_default_"),
};
#undef XML_NAME

// Values past the count print as the count's name.
static buffer xml_name_of(const buffer *table, u32 count, u32 value) { return table[value < count ? value : count]; }

buffer xml_error_name(xml_error e) { return xml_name_of(xml_error_names, xml_error_count, e); }
buffer xml_node_type_name(u32 t) { return xml_name_of(xml_node_type_names, xml_node_type_count, t); }
buffer xml_quantity_specifier_name(u32 q) { return xml_name_of(xml_quantity_names, xml_quantity_specifier_count, q); }
buffer xml_content_spec_type_name(u32 t) { return xml_name_of(xml_content_spec_names, xml_content_spec_type_count, t); }
buffer xml_attribute_declaration_type_name(u32 t) {
  return xml_name_of(xml_attribute_type_names, xml_attribute_declaration_type_count, t);
}
buffer xml_attribute_declaration_default_name(u32 d) {
  return xml_name_of(xml_attribute_default_names, xml_attribute_declaration_default_count, d);
}

// ---- Encoding detection ------------------------------------------------------------------

void xml_detect_encoding(buffer input, u32 *encoding, u8 **first, xml_error *error) {
  if (*error) return;
  const u8 *b = input.data;
  u64 n = input.used;
  u32 e = XML_ENCODING_UTF8, skip = 0;
  bool refused = false;
  auto is4 = [&](u8 a, u8 b1, u8 c, u8 d) { return n >= 4 && b[0] == a && b[1] == b1 && b[2] == c && b[3] == d; };
  if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    skip = 3;
  } else if (is4(0xFF, 0xFE, 0, 0)) {
    e = XML_ENCODING_UTF32LE, skip = 4;
  } else if (is4(0, 0, 0xFE, 0xFF)) {
    e = XML_ENCODING_UTF32BE, skip = 4;
  } else if (is4(0xFE, 0xFF, 0, 0) || is4(0, 0, 0xFF, 0xFE)) {
    refused = true;
  } else if (n >= 4 && b[0] == 0xFF && b[1] == 0xFE) {
    e = XML_ENCODING_UTF16LE, skip = 2;
  } else if (n >= 4 && b[0] == 0xFE && b[1] == 0xFF) {
    e = XML_ENCODING_UTF16BE, skip = 2;
  } else if (is4(0x3C, 0, 0, 0)) {
    e = XML_ENCODING_UTF32LE;
  } else if (is4(0, 0, 0, 0x3C)) {
    e = XML_ENCODING_UTF32BE;
  } else if (is4(0, 0x3C, 0, 0) || is4(0, 0, 0x3C, 0)) {
    refused = true;
  } else if (is4(0x3C, 0, 0x3F, 0)) {
    e = XML_ENCODING_UTF16LE;
  } else if (is4(0, 0x3C, 0, 0x3F)) {
    e = XML_ENCODING_UTF16BE;
  } else if (is4(0x4C, 0x6F, 0xA7, 0x94)) {
    refused = true;  // EBCDIC
  }
  if (refused) {
    xml_set_error(error, xml_error_invalid_encoding);
    return;
  }
  *encoding = e;
  *first = input.data + skip;
}

// ---- Document parse ----------------------------------------------------------------------

static void xml_parse_misc_items(xml_parser *p, xml_error *error) {
  while (!*error) {
    xml_node *n = xml_parse_misc(p, &p->cursor, error);
    if (!n) break;
    xml_node_append_child(p->top, n, error);
  }
}

static void xml_parse_document(xml_parser *p, buffer input, u32 forced, bool fast, xml_error *error) {
  if (*error) return;
  u32 detected = forced;
  u8 *first = input.data;
  if (!forced) xml_detect_encoding(input, &detected, &first, error);
  if (*error) return;
  p->encoding = detected;
  p->ascii_fast = fast && xml_encoding_is_ascii_compatible(detected);
  p->wide_fast = fast ? xml_wide_mode(detected) : 0;
  xml_cursor *c = &p->cursor;
  c->position = c->next = c->line_start = first;
  bool has_bom = first != input.data;

  xml_cursor copy = *c;
  if (xml_match(p, &copy, string_lit("<?xml"), error) && xml_has_more(p, &copy) &&
      xml_is_space(xml_peek(p, &copy, error))) {
    xml_node *declaration = xml_parse_xml_declaration(p, c, error);
    xml_node_append_child(p->top, declaration, error);
    if (declaration && declaration->has_encoding) {
      u32 declared = xml_encoding_from_label(declaration->encoding.data, declaration->encoding.used);
      // The bytes themselves are stronger evidence than the label. A byte order mark or UTF-16
      // bytes fix the family, and a known label of another family is a contradiction the
      // document cannot be read past; a document read as ASCII cannot be UTF-16 whatever it
      // claims, and there the label only picks among the ASCII-compatible encodings.
      bool detected_utf16 = detected == XML_ENCODING_UTF16BE || detected == XML_ENCODING_UTF16LE;
      bool declared_utf16 = declared == XML_ENCODING_UTF16BE || declared == XML_ENCODING_UTF16LE;
      bool utf8_mark = has_bom && detected == XML_ENCODING_UTF8;
      if (declared && ((detected_utf16 && !declared_utf16) || (utf8_mark && declared != XML_ENCODING_UTF8)))
        xml_set_error(error, xml_error_invalid_encoding);
      if (declared && !has_bom && !detected_utf16 && !declared_utf16 && declared != p->encoding) {
        p->encoding = declared;
        p->ascii_fast = fast && xml_encoding_is_ascii_compatible(declared);
        p->wide_fast = fast ? xml_wide_mode(declared) : 0;
        c->state = c->peek_state = 0;
      }
    }
  }
  xml_parse_misc_items(p, error);
  copy = *c;
  if (xml_match(p, &copy, string_lit("<!DOCTYPE"), error))
    xml_node_append_child(p->top, xml_parse_document_type(p, c, error), error);
  xml_parse_misc_items(p, error);
  u32 cp = xml_peek(p, c, error);
  if (!*error && cp != '<') xml_set_error(error, xml_error_expected_element);
  xml_node_append_child(p->top, xml_parse_element(p, c, error), error);
  xml_parse_misc_items(p, error);
  if (!*error && xml_has_more(p, c)) xml_set_error(error, xml_error_expected_eof);
}

void xml_parse(xml_parser *out, buffer *nodes, buffer *strings, buffer input, xml_error *error) {
  if (*error) {
    memset(out, 0, sizeof *out);
    return;
  }
  xml_parser_init(out, *nodes, *strings, input, error);
  xml_parse_document(out, input, 0, true, error);
  *nodes = out->nodes;
  *strings = out->strings;
}

void xml_parse_with(xml_parser *out, buffer *nodes, buffer *strings, buffer input, u32 encoding, bool fast,
                    xml_error *error) {
  if (*error) {
    memset(out, 0, sizeof *out);
    return;
  }
  xml_parser_init(out, *nodes, *strings, input, error);
  xml_parse_document(out, input, encoding, fast, error);
  *nodes = out->nodes;
  *strings = out->strings;
}

// Real feeds use at most a few times their size in nodes (one node takes far more bytes than
// the markup that makes it, but markup also holds text); only markup made to be dense, such as
// a run of "<a/>", needs more, and that is what the limit stops. Three string bytes per input
// byte bound the text (a one-byte character that becomes a three-byte UTF-8 sequence).
u64 xml_memory_node_limit(u64 input_bytes) {
  u64 limit = input_bytes > XML_TREE_LIMIT_MAX / XML_TREE_LIMIT_FACTOR
                  ? XML_TREE_LIMIT_MAX
                  : input_bytes * XML_TREE_LIMIT_FACTOR;
  return limit < XML_TREE_LIMIT_MIN ? XML_TREE_LIMIT_MIN : limit;
}

static u64 xml_memory_string_limit(u64 input_bytes) { return input_bytes * 3 + KiB(64); }

// Commits come a step at a time so a parse makes few system calls.
#define XML_COMMIT_STEP MiB(1)

bool xml_memory_reserve(xml_memory *m, u64 max_input_bytes) {
  *m = xml_memory{};
  if (max_input_bytes > GiB(1)) return false;
  // Quiet: a tree past its limit is the feed's error, reported with the document it came from;
  // strings cannot reach theirs.
  bool reserved = arena_reserve(&m->nodes, xml_memory_node_limit(max_input_bytes), 0, XML_COMMIT_STEP,
                                "XML node arena", arena_flag_quiet) &&
                  arena_reserve(&m->strings, xml_memory_string_limit(max_input_bytes), 0, XML_COMMIT_STEP,
                                "XML string arena", arena_flag_quiet);
  m->max_input_bytes = max_input_bytes;
  if (!reserved) {
    xml_memory_release(m);
    return false;
  }
  return xml_memory_prepare(m, max_input_bytes);
}

bool xml_memory_prepare(xml_memory *m, u64 input_bytes) {
  if (!m->nodes.memory.data || input_bytes > m->max_input_bytes) return false;
  // Whole pages, as commits come in pages; the arena keeps the limit within its reservation.
  arena_set_limit(&m->nodes, align_up(xml_memory_node_limit(input_bytes), memory_page_size));
  arena_set_limit(&m->strings, align_up(xml_memory_string_limit(input_bytes), memory_page_size));
  return true;
}

void xml_memory_trim(xml_memory *m, u64 keep_bytes) {
  arena_give_back(&m->nodes, nullptr, keep_bytes);
  arena_give_back(&m->strings, nullptr, keep_bytes);
}

void xml_memory_settle(xml_memory *m) {
  if (!m->nodes.memory.data) return;
  u64 node_keep = XML_MEMORY_KEEP_MAX, string_keep = XML_MEMORY_KEEP_MAX;
  if (++m->parses >= XML_MEMORY_IDLE_PARSES) {
    // Whole commit steps, as the parser takes them.
    node_keep = align_up(m->node_high < node_keep ? m->node_high : node_keep, XML_COMMIT_STEP);
    string_keep = align_up(m->string_high < string_keep ? m->string_high : string_keep, XML_COMMIT_STEP);
    m->node_high = m->string_high = 0;
    m->parses = 0;
  }
  arena_give_back(&m->nodes, nullptr, node_keep);
  arena_give_back(&m->strings, nullptr, string_keep);
}

void xml_memory_release(xml_memory *m) {
  arena_release(&m->nodes);
  arena_release(&m->strings);
  *m = xml_memory{};
}

void xml_parse_reserved(xml_parser *out, xml_memory *m, buffer input, xml_error *error) {
  memset(out, 0, sizeof *out);
  if (*error) return;
  // The document node is made before the parser knows its arenas: room for it comes first.
  buffer nodes = arena_view(&m->nodes), strings = arena_view(&m->strings);
  if (!arena_make_room(&m->nodes, &nodes, sizeof(xml_node), alignof(xml_node))) {
    xml_set_error(error, xml_error_out_of_node_memory);
    return;
  }
  xml_parser_init(out, nodes, strings, input, error);
  out->node_arena = &m->nodes;
  out->string_arena = &m->strings;
  xml_parse_document(out, input, 0, true, error);
  if (out->nodes.used > m->node_high) m->node_high = out->nodes.used;
  if (out->strings.used > m->string_high) m->string_high = out->strings.used;
}

// ---- Error report ------------------------------------------------------------------------

// Whole or not at all, as every piece of the report.
static void xml_push_decimal(buffer *out, u64 v) {
  u8 digits[24];
  buffer_push_bytes(out, digits, format_unsigned(digits, sizeof digits, v, 0, ' ', 0));
}

static void xml_push_text(buffer *out, buffer s) { buffer_push_bytes(out, s.data, s.used); }

// Code points echoed before the error column at most; a minified document may be one line of
// megabytes, of which only the neighbourhood of the column is of any use.
#define XML_REPORT_BEFORE 60u
#define XML_REPORT_AFTER 60u

void xml_print_error(const xml_parser *p, const xml_error *error, buffer *out) {
  xml_error e = *error;
  if (e == 0) return;
  if (e == xml_error_invalid_encoding) {
    xml_push_text(out, string_lit("Error (0:0) : "));
    xml_push_text(out, xml_error_name(e));
    xml_push_text(out, string_lit("\n"));
    return;
  }
  u32 column = p->cursor.column;
  xml_push_text(out, string_lit("Error ("));
  xml_push_decimal(out, p->cursor.line);
  xml_push_text(out, string_lit(":"));
  xml_push_decimal(out, column);
  xml_push_text(out, string_lit(") : "));
  xml_push_text(out, xml_error_name(e));
  xml_push_text(out, string_lit("\n"));

  xml_parser q = *p;
  xml_cursor c = {};
  c.position = c.next = c.line_start = p->cursor.line_start;
  c.state = c.line_start_state = p->cursor.line_start_state;
  c.line = c.column = 1;
  c.codepoint = c.pending = c.peek_pending = XML_NO_CODEPOINT;
  q.ascii_fast = 0;
  q.wide_fast = 0;
  u32 first = column > XML_REPORT_BEFORE ? column - XML_REPORT_BEFORE : 1;
  u32 widening = 0;
  xml_error local = 0;
  u8 line[4 * (XML_REPORT_BEFORE + XML_REPORT_AFTER)];
  u32 used = 0;
  for (u32 k = 1; k < column + XML_REPORT_AFTER && c.position < q.end; k++) {
    u32 cp = xml_peek(&q, &c, &local);
    if (local || cp == '\n' || cp == '\r') break;
    xml_advance(&c, &local);
    if (k < first) continue;
    if (cp == '\t' && k < column) widening += (u32)p->tab_width - 1;
    used = (u32)(xml_put_utf8(line + used, cp) - line);
  }
  buffer_push_bytes(out, line, used);
  xml_push_text(out, string_lit("\n"));
  u8 marker[XML_REPORT_BEFORE * 8 + 2];
  // A context that never started has column 0: no tildes then, not a wrapped count.
  u32 n = 0, tildes = (column > first ? column - first : 0) + widening;
  while (n < tildes && n < sizeof marker - 2) marker[n++] = '~';
  marker[n++] = '^';
  marker[n++] = '\n';
  buffer_push_bytes(out, marker, n);
}
