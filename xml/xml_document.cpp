// The productions of a document outside its document type: names, references, literals, the
// XML declaration, comments, processing instructions, elements, character data and CDATA.
// Each one rolls back what it pushed when it fails, so a failed production leaves nothing.
#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "xml/xml_internal.h"

// xml_match and xml_look_ahead for the ASCII literals written below: the fast path inline.
static inline bool xml_match_ascii(xml_parser *p, xml_cursor *c, buffer literal, xml_error *error) {
  if (!*error && xml_fast_ok(p, c)) return xml_fast_match(p, c, literal);
  return xml_match(p, c, literal, error);
}
static inline bool xml_look_ahead_ascii(xml_parser *p, xml_cursor *c, buffer literal, xml_error *error) {
  if (!*error && xml_fast_ok(p, c)) return xml_fast_look_ahead(p, c, literal);
  return xml_look_ahead(p, c, literal, error);
}

// xml_string_push_codepoint with an ASCII character stored inline when it fits.
static inline void xml_push(xml_parser *p, u32 cp, xml_error *error) {
  buffer *a = &p->strings;
  if (cp < 0x80 && !*error && a->used < a->size) {
    a->data[a->used++] = (u8)cp;
    return;
  }
  xml_string_push_codepoint(p, cp, error);
}

// ---- Names and tokens --------------------------------------------------------------------

// A run of name characters, the first with the start flag when start is set. False without
// error when not one code point was read.
// An ASCII name at the cursor that ends at an ASCII byte or the end, with room for it: taken in
// one step. False, with nothing changed, for anything else. Only where xml_fast_ok holds in a
// byte encoding.
static inline bool xml_fast_name(xml_parser *p, xml_cursor *c, bool start, buffer *out) {
  u8 *s = c->position, *end = p->end;
  if (s == end || !(xml_byte_class[*s] & (start ? xml_class_name_start : xml_class_name))) return false;
  u8 *e = s + 1;
  while (e < end && (xml_byte_class[*e] & xml_class_name)) e++;
  u64 n = (u64)(e - s);
  buffer *a = &p->strings;
  if ((e != end && *e >= 0x80) || a->used > a->size || n > a->size - a->used) return false;
  u8 *d = a->data + a->used;
  xml_copy(d, s, n, end, a->data + a->size);
  a->used += n;
  xml_fast_move(c, e, n);
  if (out) *out = buffer{n, n, d};
  return true;
}

static bool xml_read_name(xml_parser *p, xml_cursor *c, bool start, buffer *out, xml_error *error) {
  if (*error) return false;
  if (!p->wide_fast && xml_fast_ok(p, c) && xml_fast_name(p, c, start, out)) return true;
  if (p->wide_fast && xml_fast_ok(p, c)) {
    // The same in UTF-16: ASCII units up to an ASCII unit or the very end (a last odd byte
    // reads as U+FFFD, which continues a name).
    u8 *s = c->position, *end = p->end;
    u32 low = p->wide_fast == xml_wide_be;  // the byte that holds an ASCII unit's value
    auto ascii = [&](const u8 *t) -> u32 { return end - t >= 2 && t[1 - low] == 0 && t[low] < 0x80 ? t[low] : 0x100; };
    u32 b = ascii(s);
    if (b < 0x80 && (xml_byte_class[b] & (start ? xml_class_name_start : xml_class_name))) {
      u8 *e = s + 2;
      u64 n = 1;
      while ((b = ascii(e)) < 0x80 && (xml_byte_class[b] & xml_class_name)) e += 2, n++;
      buffer *a = &p->strings;
      if ((b < 0x80 || e == end) && a->used <= a->size && n <= a->size - a->used) {
        u8 *d = a->data + a->used;
        for (u64 i = 0; i < n; i++) d[i] = s[2 * i + low];
        a->used += n;
        xml_fast_move(c, e, n);
        if (out) *out = buffer{n, n, d};
        return true;
      }
    }
  }
  xml_string_mark mark = xml_string_begin(p);
  bool first = true;
  while (!*error && xml_has_more(p, c)) {
    u32 b = xml_fast_ok(p, c) ? xml_fast_ascii(p, c->position) : 0x100;
    if (b < 0x80) {
      if (!(xml_byte_class[b] & (first && start ? xml_class_name_start : xml_class_name))) break;
      u8 *before = c->position;
      xml_fast_run(p, c, xml_class_name, 0, true, error);
      if (c->position != before) {
        first = false;
        continue;
      }
    }
    u32 cp = xml_peek(p, c, error);
    if (*error || !xml_is_name_char(cp, first && start)) break;
    xml_push(p, cp, error);
    xml_advance(c, error);
    first = false;
  }
  if (*error || first) {
    xml_string_rollback(&mark);
    if (out) *out = buffer{};
    return false;
  }
  buffer s = xml_string_take(&mark);
  if (out) *out = s;
  return true;
}

bool xml_parse_name(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error) {
  return xml_read_name(p, c, true, out, error);
}

bool xml_parse_nmtoken(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error) {
  return xml_read_name(p, c, false, out, error);
}

// ---- References --------------------------------------------------------------------------

// open Name ";" as raw text, with the production's own three errors.
static bool xml_read_named_reference(xml_parser *p, xml_cursor *c, u8 open, xml_error no_open,
                                     xml_error no_semicolon, buffer *out, xml_error *error) {
  if (*error) return false;
  xml_string_mark mark = xml_string_begin(p);
  u8 open_text[1] = {open};
  if (!xml_match(p, c, string_from_bytes(open_text, 1), error)) {
    xml_set_error(error, no_open);
  } else {
    xml_string_push_u8(p, open, error);
    if (!xml_parse_name(p, c, nullptr, error)) xml_set_error(error, xml_error_expected_name);
    else if (!xml_match_ascii(p, c, string_lit(";"), error)) xml_set_error(error, no_semicolon);
    else xml_string_push_u8(p, ';', error);
  }
  return xml_string_finish(&mark, out, error);
}

bool xml_parse_parameter_entity_reference(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error) {
  return xml_read_named_reference(p, c, '%', xml_error_parameter_entity_reference_expected_percentage,
                                  xml_error_parameter_entity_reference_expected_semicolon, out, error);
}

bool xml_parse_entity_reference(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error) {
  return xml_read_named_reference(p, c, '&', xml_error_entity_reference_expected_ampersand,
                                  xml_error_entity_reference_expected_semicolon, out, error);
}

static inline bool xml_is_digit(u32 c, bool hex) {
  return xml_in_range(c, '0', '9') || (hex && (xml_in_range(c, 'a', 'f') || xml_in_range(c, 'A', 'F')));
}

bool xml_parse_character_reference(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error) {
  if (*error) return false;
  xml_string_mark mark = xml_string_begin(p);
  if (!xml_match_ascii(p, c, string_lit("&"), error)) {
    xml_set_error(error, xml_error_character_reference_expected_ampersand);
  } else if (xml_string_push_u8(p, '&', error), !xml_match_ascii(p, c, string_lit("#"), error)) {
    xml_set_error(error, xml_error_character_reference_expected_number_sign);
  } else {
    xml_string_push_u8(p, '#', error);
    bool hex = xml_look_ahead_ascii(p, c, string_lit("x"), error);
    if (hex) xml_string_push_u8(p, 'x', error);
    xml_error no_digit = hex ? xml_error_character_reference_expected_hexadecimal_digit
                             : xml_error_character_reference_expected_digit;
    u32 digits = 0, cp = 0;
    while (!*error) {
      cp = xml_peek(p, c, error);
      if (*error || cp == ';') break;
      if (!xml_is_digit(cp, hex)) {
        xml_set_error(error, no_digit);
        break;
      }
      xml_string_push_u8(p, (u8)cp, error);
      xml_advance(c, error);
      digits++;
    }
    if (!*error && digits == 0) xml_set_error(error, no_digit);
    if (!*error && cp != ';') xml_set_error(error, xml_error_character_reference_expected_semicolon);
    if (!*error) {
      xml_string_push_u8(p, ';', error);
      xml_advance(c, error);
    }
  }
  return xml_string_finish(&mark, out, error);
}

u32 xml_character_reference_value(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return XML_NO_CODEPOINT;
  if (!p->wide_fast && xml_fast_ok(p, c)) {
    // The general path reads the raw text into the string arena and gives it back: with room
    // for it, nothing there can fail, so the bytes are read in place.
    u32 value;
    u64 n = xml_fast_character_reference(c->position, p->end, &value);
    const buffer *a = &p->strings;
    if (n && a->used <= a->size && n <= a->size - a->used) {
      c->position = c->next = c->position + n;
      c->column += (u32)n;
      c->after_cr = 0;
      c->codepoint = XML_NO_CODEPOINT;
      return value;
    }
  }
  xml_string_mark mark = xml_string_begin(p);
  buffer raw;
  u32 value = XML_NO_CODEPOINT;
  if (xml_parse_character_reference(p, c, &raw, error)) {
    // Past U+10FFFF the value stops growing: any longer run of digits is just as far out of
    // range, and the callers' Char test refuses it.
    bool hex = raw.used > 2 && raw.data[2] == 'x';
    value = 0;
    for (u64 i = hex ? 3 : 2; i + 1 < raw.used; i++) {
      u32 b = raw.data[i];
      u32 d = b <= '9' ? b - '0' : (b | 0x20) - 'a' + 10;
      value = value * (hex ? 16 : 10) + d;
      if (value > 0x10FFFF) value = 0x110000;
    }
  }
  xml_string_rollback(&mark);  // the raw text was only needed for its digits
  return value;
}

bool xml_parse_reference(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error) {
  if (*error) return false;
  xml_cursor copy = *c;
  if (!xml_match_ascii(p, &copy, string_lit("&"), error)) {
    xml_set_error(error, xml_error_reference_expected_ampersand);
    return false;
  }
  if (xml_has_more(p, &copy) && xml_peek(p, &copy, error) == '#') return xml_parse_character_reference(p, c, out, error);
  return xml_parse_entity_reference(p, c, out, error);
}

u32 xml_predefined_entity(xml_parser *p, xml_cursor *c, xml_error *error) {
  static const struct {
    buffer text;
    u32 value;
  } entities[] = {
      {string_lit("&amp;"), '&'}, {string_lit("&lt;"), '<'}, {string_lit("&gt;"), '>'},
      {string_lit("&quot;"), '"'}, {string_lit("&apos;"), '\''},
  };
  if (*error) return XML_NO_CODEPOINT;
  if (!p->wide_fast && xml_fast_ok(p, c)) {
    // The five spellings differ by their second byte (but "&amp;" and "&apos;").
    const u8 *s = c->position;
    u64 avail = (u64)(p->end - s), n = 0;
    u32 v = XML_NO_CODEPOINT;
    if (avail >= 4 && s[0] == '&') {
      switch (s[1]) {
        case 'l': if (s[2] == 't' && s[3] == ';') v = '<', n = 4; break;
        case 'g': if (s[2] == 't' && s[3] == ';') v = '>', n = 4; break;
        case 'a':
          if (avail >= 5 && memcmp(s + 2, "mp;", 3) == 0) v = '&', n = 5;
          else if (avail >= 6 && memcmp(s + 2, "pos;", 4) == 0) v = '\'', n = 6;
          break;
        case 'q': if (avail >= 6 && memcmp(s + 2, "uot;", 4) == 0) v = '"', n = 6; break;
        default: break;
      }
    }
    if (n) xml_fast_skip(p, c, n);
    return v;
  }
  // On the fast paths the character after "&" picks the only entities that could be there.
  u32 second = 0;
  if (xml_fast_ok(p, c)) {
    if (xml_fast_ascii(p, c->position) != '&') return XML_NO_CODEPOINT;
    second = xml_fast_ascii(p, c->position + xml_fast_width(p));
  }
  for (const auto &e : entities) {
    if (*error) return XML_NO_CODEPOINT;
    if (second && second != e.text.data[1]) continue;
    if (xml_look_ahead_ascii(p, c, e.text, error)) return e.value;
  }
  return XML_NO_CODEPOINT;
}

// ---- Small pieces ------------------------------------------------------------------------

void xml_parse_eq(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return;
  xml_skip_spaces(p, c, nullptr, error);
  if (!xml_match_ascii(p, c, string_lit("="), error)) xml_set_error(error, xml_error_expected_equal);
  xml_skip_spaces(p, c, nullptr, error);
}

u32 xml_parse_quote(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return XML_NO_CODEPOINT;
  u32 q = xml_peek(p, c, error);
  if (*error) return XML_NO_CODEPOINT;
  if (q != '"' && q != '\'') {
    xml_set_error(error, xml_error_expected_single_or_double_quote);
    return XML_NO_CODEPOINT;
  }
  xml_advance(c, error);
  return q;
}

// The closing quote of a value that opened with q.
static void xml_parse_closing_quote(xml_parser *p, xml_cursor *c, u32 q, xml_error *error) {
  if (*error) return;
  u32 cp = xml_peek(p, c, error);
  if (*error) return;
  if (cp != q) xml_set_error(error, xml_error_expected_matching_quote);
  else xml_advance(c, error);
}

bool xml_parse_version_info(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error) {
  if (*error) return false;
  xml_string_mark mark = xml_string_begin(p);
  if (!xml_skip_spaces(p, c, nullptr, error)) {
    xml_set_error(error, xml_error_expected_space);
  } else if (!xml_match_ascii(p, c, string_lit("version"), error)) {
    xml_set_error(error, xml_error_xml_version_expected_version);
  } else {
    xml_parse_eq(p, c, error);
    u32 q = xml_parse_quote(p, c, error);
    if (!*error && !xml_match_ascii(p, c, string_lit("1."), error)) xml_set_error(error, xml_error_xml_version_expected_one_dot);
    xml_string_push(p, string_lit("1."), error);
    u32 digits = 0;
    while (!*error && xml_has_more(p, c)) {
      u32 cp = xml_peek(p, c, error);
      if (*error || !xml_in_range(cp, '0', '9')) break;
      xml_string_push_u8(p, (u8)cp, error);
      xml_advance(c, error);
      digits++;
    }
    if (!*error && digits == 0) xml_set_error(error, xml_error_xml_version_expected_number_after_the_dot);
    xml_parse_closing_quote(p, c, q, error);
  }
  return xml_string_finish(&mark, out, error);
}

bool xml_parse_encoding_declaration(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error) {
  if (*error) return false;
  xml_string_mark mark = xml_string_begin(p);
  if (!xml_skip_spaces(p, c, nullptr, error)) {
    xml_set_error(error, xml_error_expected_space);
  } else if (!xml_match_ascii(p, c, string_lit("encoding"), error)) {
    xml_set_error(error, xml_error_encoding_declaration_expected_encoding);
  } else {
    xml_parse_eq(p, c, error);
    u32 q = xml_parse_quote(p, c, error);
    // Nothing else was kept since the mark, so the string it holds is the name alone.
    bool first = true;
    while (!*error) {
      u32 cp = xml_peek(p, c, error);
      if (*error) break;
      if (cp == q) {
        xml_advance(c, error);
        break;
      }
      if (!xml_is_encoding_name_char(cp, first)) {
        xml_set_error(error, xml_error_invalid_character);
        break;
      }
      xml_string_push_u8(p, (u8)cp, error);
      xml_advance(c, error);
      first = false;
    }
  }
  return xml_string_finish(&mark, out, error);
}

// ---- XML declaration, comments, processing instructions, Misc ----------------------------

xml_node *xml_parse_xml_declaration(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  xml_marks m = xml_marks_begin(p);
  xml_node *node = nullptr;
  if (!xml_match_ascii(p, c, string_lit("<?xml"), error)) {
    xml_set_error(error, xml_error_xml_declaration_expected_start);
  } else {
    node = xml_node_make(p, xml_node_type_xml_declaration, error);
    buffer version = {}, encoding = {};
    xml_parse_version_info(p, c, &version, error);
    if (node) node->version = version;
    xml_cursor copy = *c;
    xml_skip_spaces(p, &copy, nullptr, error);
    if (xml_match_ascii(p, &copy, string_lit("encoding"), error)) {
      if (xml_parse_encoding_declaration(p, c, &encoding, error) && node) {
        node->encoding = encoding;
        node->has_encoding = 1;
      }
    }
    copy = *c;
    bool spaced = xml_skip_spaces(p, &copy, nullptr, error);
    if (xml_match_ascii(p, &copy, string_lit("standalone"), error)) {
      if (!spaced) xml_set_error(error, xml_error_expected_space);
      if (!*error) *c = copy;
      xml_parse_eq(p, c, error);
      u32 q = xml_parse_quote(p, c, error);
      xml_string_mark value = xml_string_begin(p);
      if (xml_look_ahead_ascii(p, c, string_lit("yes"), error)) xml_string_push(p, string_lit("yes"), error);
      else if (xml_look_ahead_ascii(p, c, string_lit("no"), error)) xml_string_push(p, string_lit("no"), error);
      else xml_set_error(error, xml_error_xml_declaration_standalone_invalid_value);
      xml_parse_closing_quote(p, c, q, error);
      buffer standalone;
      if (xml_string_finish(&value, &standalone, error) && node) {
        node->standalone = standalone;
        node->has_standalone = 1;
      }
    }
    xml_skip_spaces(p, c, nullptr, error);
    if (!*error && !xml_match_ascii(p, c, string_lit("?>"), error))
      xml_set_error(error, xml_error_xml_declaration_expected_processing_instruction_end);
  }
  xml_marks_end(&m, error);
  return *error ? nullptr : node;
}

// Reads the characters of a comment, CDATA section or processing instruction into the string up
// to its closing literal, which is left unread. A comment also stops, in error, at "--".
template <u8 cls>
static inline void xml_read_chars_until(xml_parser *p, xml_cursor *c, buffer close, xml_error *error) {
  while (!*error) {
    if (xml_fast_ok(p, c)) xml_fast_run(p, c, cls, xml_run_text, true, error);
    if (xml_look_ahead_ascii(p, c, close, error)) break;
    if (cls == xml_class_comment && xml_at(p, c, string_lit("--"), error)) {
      xml_set_error(error, xml_error_comment_contains_double_hyphen);
      break;
    }
    u32 cp = xml_peek(p, c, error);
    if (*error) break;
    if (!xml_is_char(cp)) {
      xml_set_error(error, xml_error_invalid_character);
      break;
    }
    u32 kept = xml_line_end(c, cp);
    if (kept != XML_NO_CODEPOINT) xml_push(p, kept, error);
    xml_advance(c, error);
  }
}

// Ends a comment or CDATA section: its node holds the string read since text began.
static xml_node *xml_finish_text_node(xml_parser *p, xml_string_mark *text, u32 type, xml_marks *m,
                                      xml_error *error) {
  buffer t = {};
  xml_string_finish(text, &t, error);
  xml_node *node = xml_node_make(p, type, error);
  if (node) node->text = t;
  xml_marks_end(m, error);
  return *error ? nullptr : node;
}

// A comment or CDATA section: its opening, its Chars up to the closing, its node.
template <u8 cls>
static xml_node *xml_parse_delimited(xml_parser *p, xml_cursor *c, buffer open, buffer close, xml_error no_open, u32 type,
                                     xml_error *error) {
  if (*error) return nullptr;
  xml_marks m = xml_marks_begin(p);
  if (!xml_match_ascii(p, c, open, error)) xml_set_error(error, no_open);
  xml_string_mark text = xml_string_begin(p);
  xml_read_chars_until<cls>(p, c, close, error);
  return xml_finish_text_node(p, &text, type, &m, error);
}

xml_node *xml_parse_comment(xml_parser *p, xml_cursor *c, xml_error *error) {
  return xml_parse_delimited<xml_class_comment>(p, c, string_lit("<!--"), string_lit("-->"), xml_error_comment_expected_start,
                                                xml_node_type_comment, error);
}

xml_node *xml_parse_processing_instruction(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  xml_marks m = xml_marks_begin(p);
  buffer target = {}, data = {};
  if (!xml_match_ascii(p, c, string_lit("<?"), error)) {
    xml_set_error(error, xml_error_processing_instruction_expected_start);
  } else {
    // The target is a Name: "<?" followed by white space or "?>" has none.
    if (!xml_read_name(p, c, true, &target, error)) xml_set_error(error, xml_error_expected_name);
    u32 cp = xml_peek(p, c, error);
    if (*error) {
    } else if (xml_is_space(cp)) {
      xml_skip_spaces(p, c, nullptr, error);
      xml_string_mark text = xml_string_begin(p);
      xml_read_chars_until<xml_class_pi>(p, c, string_lit("?>"), error);
      xml_string_finish(&text, &data, error);
    } else if (cp == '?') {
      xml_advance(c, error);
      cp = xml_peek(p, c, error);
      if (!*error && cp != '>') xml_set_error(error, xml_error_invalid_character);
      xml_advance(c, error);
    } else {
      xml_set_error(error, xml_error_invalid_character);
    }
    // "xml" in any letter case is reserved for the declaration at the very start.
    if (!*error && target.used == 3 && (target.data[0] | 0x20) == 'x' && (target.data[1] | 0x20) == 'm' &&
        (target.data[2] | 0x20) == 'l')
      xml_set_error(error, xml_error_processing_instruction_xml_declaration_must_be_the_first_element);
  }
  xml_node *node = xml_node_make(p, xml_node_type_processing_instruction, error);
  if (node) {
    node->target = target;
    node->data = data;
  }
  xml_marks_end(&m, error);
  return *error ? nullptr : node;
}

xml_node *xml_parse_misc(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  xml_marks m = xml_marks_begin(p);
  xml_node *node = nullptr;
  buffer spaces;
  if (xml_skip_spaces(p, c, &spaces, error)) {
    node = xml_node_make(p, xml_node_type_spaces, error);
    if (node) node->text = spaces;
  } else if (xml_at(p, c, string_lit("<!--"), error)) {
    node = xml_parse_comment(p, c, error);
  } else if (xml_at(p, c, string_lit("<?"), error)) {
    node = xml_parse_processing_instruction(p, c, error);
  }
  xml_marks_end(&m, error);
  return *error ? nullptr : node;
}

// ---- Attributes --------------------------------------------------------------------------

bool xml_parse_attribute_value(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error) {
  if (*error) return false;
  xml_quoted v = xml_quoted_begin(p, c, error);
  while (!*error) {
    if (xml_fast_ok(p, c)) xml_fast_run(p, c, xml_class_attribute, xml_run_any_char | xml_run_references, true, error);
    u32 cp = xml_peek(p, c, error);
    if (*error) break;
    if (cp == v.quote) {
      xml_advance(c, error);
      break;
    }
    if (cp == '&') {
      u32 ch = xml_predefined_entity(p, c, error);
      if (ch == XML_NO_CODEPOINT && xml_at(p, c, string_lit("&#"), error)) {
        ch = xml_character_reference_value(p, c, error);
        // A reference may name only what could stand in the document itself.
        if (!*error && !xml_is_char(ch)) xml_set_error(error, xml_error_invalid_character);
      }
      if (ch != XML_NO_CODEPOINT) xml_push(p, ch, error);
      else xml_parse_reference(p, c, nullptr, error);  // kept as written, in place
      continue;
    }
    if (cp == '<' || !xml_is_char(cp)) {
      xml_set_error(error, xml_error_invalid_character);
      break;
    }
    // White space is one space each, a CR LF pair one in all.
    if (xml_line_end(c, cp) != XML_NO_CODEPOINT) xml_push(p, xml_is_space(cp) ? ' ' : cp, error);
    xml_advance(c, error);
  }
  return xml_quoted_end(&v, out, error);
}

// A plain attribute in ASCII-compatible bytes: white space without line ends, an ASCII name,
// "=", and a quoted value of ASCII (or, in UTF-8, whole non-ASCII characters) with no reference,
// no "<", no quote of either kind and no white space but the space. Such bytes are their own
// UTF-8 and need no normalising, so the attribute is copied as it stands; *taken is false for
// anything else (and when the arena could not hold it), which the productions then read.
__attribute__((always_inline)) static inline xml_node *xml_fast_attribute(xml_parser *p, xml_cursor *c, bool *taken,
                                                                        xml_error *error) {
  *taken = false;
  const u8 *s = c->position, *end = p->end, *t = s;
  while (t < end && (*t == ' ' || *t == '\t')) t++;
  if (t == s || t == end || !(xml_byte_class[*t] & xml_class_name_start)) return nullptr;
  const u8 *name = t++;
  while (t < end && (xml_byte_class[*t] & xml_class_name)) t++;
  const u8 *name_end = t;
  while (t < end && (*t == ' ' || *t == '\t')) t++;
  if (t == end || *t != '=') return nullptr;
  t++;
  while (t < end && (*t == ' ' || *t == '\t')) t++;
  if (t == end || (*t != '"' && *t != '\'')) return nullptr;
  u8 q = *t++;
  const u8 *value = t;
  u64 continuation = 0;  // bytes that add no column
  bool utf8 = p->encoding == XML_ENCODING_UTF8;
#ifdef __SSE2__
  const __m128i k0 = _mm_set1_epi8('<'), k1 = _mm_set1_epi8('&'), k2 = _mm_set1_epi8('"'), k3 = _mm_set1_epi8('\'');
#endif
  for (;;) {
#ifdef __SSE2__
    if (end - t >= 16) {
      u64 lf, mask = xml_block_sse2(t, k0, k1, k2, k3, false, &lf);
      u32 n = mask ? (u32)__builtin_ctzll(mask) : 16;
      t += n;
      if (n == 16) continue;
    }
#endif
    if (t == end) return nullptr;
    u8 b = *t;
    if (xml_byte_class[b] & xml_class_attribute) {
      t++;
      continue;
    }
    if (b == q) break;
    if (b < 0x80 || !utf8) return nullptr;
    u32 n = xml_utf8_char(t, end);
    if (n == 0) return nullptr;
    t += n;
    continuation += n - 1;
  }
  u64 name_length = (u64)(name_end - name), value_length = (u64)(t - value);
  buffer *a = &p->strings;
  if (a->used > a->size || name_length + value_length > a->size - a->used) return nullptr;
  *taken = true;
  u64 node_size = p->nodes.size;
  u8 *d = a->data + a->used;
  xml_copy(d, name, name_length, end, a->data + a->size);
  xml_copy(d + name_length, value, value_length, end, a->data + a->size);
  a->used += name_length + value_length;
  c->column += (u32)((u64)(t + 1 - s) - continuation);
  c->after_cr = 0;
  c->position = c->next = (u8 *)t + 1;
  c->codepoint = XML_NO_CODEPOINT;
  xml_node *node = xml_node_make(p, xml_node_type_attribute, error);
  if (!node) {
    // Given back as the productions' marks give them back: the strings were copied into room
    // that was there, and a node arena that failed to grow keeps its size.
    a->used -= name_length + value_length;
    p->nodes.size = node_size;
    return nullptr;
  }
  node->name = buffer{name_length, name_length, d};
  node->value = value_length ? buffer{value_length, value_length, d + name_length} : buffer{};
  return node;
}

xml_node *xml_parse_attribute(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  if (!p->wide_fast && xml_fast_ok(p, c)) {
    bool taken;
    xml_node *node = xml_fast_attribute(p, c, &taken, error);
    if (taken) return node;
  }
  xml_marks m = xml_marks_begin(p);
  buffer name = {}, value = {};
  if (!xml_skip_spaces(p, c, nullptr, error)) xml_set_error(error, xml_error_expected_space);
  else if (!xml_parse_name(p, c, &name, error)) xml_set_error(error, xml_error_expected_name);
  xml_parse_eq(p, c, error);
  xml_parse_attribute_value(p, c, &value, error);
  xml_node *node = xml_node_make(p, xml_node_type_attribute, error);
  if (node) {
    node->name = name;
    node->value = value;
  }
  xml_marks_end(&m, error);
  return *error ? nullptr : node;
}

// ---- Content -----------------------------------------------------------------------------

// Character data from the cursor, whose text began at the text mark (m and text taken together,
// with what lies between them the text's own first bytes).
__attribute__((always_inline)) static inline xml_node *xml_character_data_rest(xml_parser *p, xml_cursor *c,
                                                                              xml_marks *m, xml_string_mark *text,
                                                                              xml_error *error) {
  while (!*error) {
    if (xml_fast_ok(p, c)) {
      xml_fast_run(p, c, xml_class_text, xml_run_text | xml_run_references, true, error);
      if (xml_fast_ascii(p, c->position) == '<') break;  // what ends most runs
    }
    if (*error) break;
    if (!xml_has_more(p, c)) {
      xml_set_error(error, xml_error_eof);
      break;
    }
    if (xml_at(p, c, string_lit("]]>"), error)) {
      xml_set_error(error, xml_error_character_data_contains_cdata_section_end);
      break;
    }
    u32 cp = xml_peek(p, c, error), kept = cp;
    if (*error || cp == '<') break;
    if (cp == '&') {
      cp = kept = xml_predefined_entity(p, c, error);
      if (cp == XML_NO_CODEPOINT && xml_at(p, c, string_lit("&#"), error))
        cp = kept = xml_character_reference_value(p, c, error);
      if (*error || cp == XML_NO_CODEPOINT) break;  // an entity reference becomes its own node
    } else {
      kept = xml_line_end(c, cp);
      xml_advance(c, error);
    }
    if (!xml_is_char(cp)) {
      xml_set_error(error, xml_error_invalid_character);
      break;
    }
    if (kept != XML_NO_CODEPOINT) xml_push(p, kept, error);
  }
  buffer t = {};
  xml_string_finish(text, &t, error);
  xml_node *node = nullptr;
  if (t.used) {
    node = xml_node_make(p, xml_node_type_character_data, error);
    if (node) node->text = t;
  }
  xml_marks_end(m, error);
  return *error ? nullptr : node;
}

// The same out of line, for the UTF-8 content loop to hand a run over to.
xml_node *xml_character_data_after(xml_parser *p, xml_cursor *c, xml_marks *m, xml_string_mark *text, xml_error *error) {
  return xml_character_data_rest(p, c, m, text, error);
}

xml_node *xml_parse_character_data(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  xml_marks m = xml_marks_begin(p);
  xml_string_mark text = xml_string_begin(p);
  return xml_character_data_rest(p, c, &m, &text, error);
}

xml_node *xml_parse_cdata_section(xml_parser *p, xml_cursor *c, xml_error *error) {
  return xml_parse_delimited<xml_class_cdata>(p, c, string_lit("<![CDATA["), string_lit("]]>"),
                                              xml_error_cdata_section_expected_start, xml_node_type_cdata_section, error);
}

xml_node *xml_parse_content(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  // A start tag is the common case: no character data can begin at "<", so go straight to it.
  if (xml_fast_ok(p, c) && xml_fast_ascii(p, c->position) == '<') {
    u32 second = xml_fast_ascii(p, c->position + xml_fast_width(p));
    if (second != 0x100 && second != '!' && second != '?' && second != '/') return xml_parse_element(p, c, error);
  }
  xml_node *node = xml_parse_character_data(p, c, error);
  if (node || *error) return node;
  if (xml_at(p, c, string_lit("<![CDATA["), error)) return xml_parse_cdata_section(p, c, error);
  if (xml_at(p, c, string_lit("<?"), error)) return xml_parse_processing_instruction(p, c, error);
  if (xml_at(p, c, string_lit("<!--"), error)) return xml_parse_comment(p, c, error);
  if (xml_at(p, c, string_lit("&"), error)) {
    xml_marks m = xml_marks_begin(p);
    buffer raw = {};
    xml_parse_reference(p, c, &raw, error);
    node = xml_node_make(p, xml_node_type_reference, error);
    if (node) node->text = raw;
    xml_marks_end(&m, error);
    return *error ? nullptr : node;
  }
  if (xml_at(p, c, string_lit("<"), error)) return xml_parse_element(p, c, error);
  return nullptr;
}

// The end tag of node from its "</" on: a name byte-equal to the start tag's, white space, ">".
void xml_element_end_tag(xml_parser *p, xml_cursor *c, xml_node *node, xml_error *error) {
  if (*error) return;
  if (!xml_match_ascii(p, c, string_lit("</"), error)) {
    xml_set_error(error, xml_error_element_expected_end_tag);
    return;
  }
  buffer name = node->name;
  // The end name is read into the string arena and given back after the comparison: it is
  // compared in place only when the arena has room for it, so a full arena fails here as it
  // does there. In place, UTF-8 has the start name's bytes, UTF-16 an ASCII start name in units.
  const buffer *a = &p->strings;
  const u8 *after = nullptr;
  u32 columns = 0;
  if (!xml_fast_ok(p, c) || a->used > a->size || name.used > a->size - a->used) {
  } else if (p->encoding == XML_ENCODING_UTF8 && !p->wide_fast) {
    after = c->position + name.used;
    bool same = (u64)(p->end - c->position) > name.used && memcmp(c->position, name.data, name.used) == 0;
    if (!same || *after >= 0x80 || (xml_byte_class[*after] & xml_class_name)) after = nullptr;
    for (u64 i = 0; after && i < name.used; i++) columns += (name.data[i] & 0xC0) != 0x80;
  } else if (p->wide_fast) {
    after = c->position + 2 * name.used;
    bool same = (u64)(p->end - c->position) / 2 > name.used;
    for (u64 i = 0; same && i < name.used; i++) same = xml_fast_ascii(p, c->position + 2 * i) == name.data[i];
    u32 b = same ? xml_fast_ascii(p, after) : 0x100;
    if (b >= 0x80 || (xml_byte_class[b] & xml_class_name)) after = nullptr;
    columns = (u32)name.used;
  }
  if (after) {
    c->column += columns;  // a name holds no line end
    c->position = c->next = (u8 *)after;
    c->after_cr = 0;
    c->codepoint = XML_NO_CODEPOINT;
  } else {
    xml_string_mark end_name_mark = xml_string_begin(p);
    buffer end_name;
    if (!xml_parse_name(p, c, &end_name, error)) xml_set_error(error, xml_error_element_expected_end_tag_name);
    if (!*error && (end_name.used != name.used || memcmp(end_name.data, name.data, name.used) != 0))
      xml_set_error(error, xml_error_element_expected_matching_end_tag);
    xml_string_rollback(&end_name_mark);  // compared, not kept
  }
  xml_skip_spaces(p, c, nullptr, error);
  if (!*error && !xml_match_ascii(p, c, string_lit(">"), error)) xml_set_error(error, xml_error_expected_greater_than);
}

xml_node *xml_parse_element(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  if (!xml_depth_enter(p, error)) return nullptr;
  xml_marks m = xml_marks_begin(p);
  xml_node *node = nullptr;
  buffer name = {};
  // In UTF-8 names, attributes and end tags are read in place where the general steps would
  // take every byte as it stands.
  bool utf8 = p->encoding == XML_ENCODING_UTF8 && !p->wide_fast && xml_fast_ok(p, c);
  u8 *end = p->end;
  if (!xml_match_ascii(p, c, string_lit("<"), error)) xml_set_error(error, xml_error_element_expected_start);
  if (!*error && !(utf8 && xml_fast_name(p, c, true, &name)) && !xml_parse_name(p, c, &name, error))
    xml_set_error(error, xml_error_expected_name);
  node = xml_node_make(p, xml_node_type_element, error);
  if (node) node->name = name;

  while (!*error) {
    if (xml_fast_ok(p, c)) {
      // Look past the white space without a cursor copy: nothing is consumed here.
      const u8 *s = c->position;
      u32 w = xml_fast_width(p), b;
      while (xml_is_space(b = xml_fast_ascii(p, s))) s += w;
      if (b == '>' || b == '/') break;
      if (b < 0x80) {
        xml_node_link(node, xml_parse_attribute(p, c, error), true, error);
        continue;
      }
    }
    xml_cursor copy = *c;
    xml_skip_spaces(p, &copy, nullptr, error);
    u32 cp = xml_peek(p, &copy, error);
    if (*error || cp == '>' || cp == '/') break;
    xml_node_link(node, xml_parse_attribute(p, c, error), true, error);
  }
  xml_skip_spaces(p, c, nullptr, error);
  u32 cp = XML_NO_CODEPOINT;
  if (!*error && xml_fast_ok(p, c)) {
    cp = xml_fast_ascii(p, c->position);
    if (cp == '/' || cp == '>') xml_fast_skip(p, c, 1);
    else cp = XML_NO_CODEPOINT;
  }
  if (cp == XML_NO_CODEPOINT) {
    cp = xml_peek(p, c, error);
    if (!*error && (cp == '/' || cp == '>')) xml_advance(c, error);
  }
  if (*error) {
  } else if (cp == '/') {
    if (!xml_match_ascii(p, c, string_lit(">"), error)) xml_set_error(error, xml_error_expected_greater_than);
    node->empty = 1;
  } else if (cp == '>') {
    if (utf8 && c->position < end) {
      xml_utf8_content(p, c, node, error);
    } else {
      while (!*error && !xml_at(p, c, string_lit("</"), error)) {
        xml_node *child = xml_parse_content(p, c, error);
        if (!child || *error) break;
        xml_node_link_made(node, child, false);  // no error: the element's node was made
      }
    }
    if (!*error && !node->first_child) node->empty = 1;
    xml_element_end_tag(p, c, node, error);
  } else {
    xml_set_error(error, xml_error_element_expected_greater_than_or_slash);
  }
  xml_marks_end(&m, error);
  p->depth--;
  return *error ? nullptr : node;
}
