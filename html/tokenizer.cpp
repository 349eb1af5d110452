// The tokenizer: a strict state machine over the input stream that writes tokens, attributes and
// UTF-8 text into memory carved once from the caller's block. The first malformed construct
// ends tokenizing with an error code and a message in the log.
#include <string.h>

#include "core/strings.h"
#include "core/unicode.h"
#include "html/html.h"
#include "html/html_internal.h"
#include "platform/log.h"
#include "profiler/profiler.h"

const char *const html_parser_error_names[html_parser_error_count] = {
    "html_parser_error_none",
    "html_tokenizer_error_eof",
    "html_tokenizer_error_eof_quoted_attribute_value",
    "html_tokenizer_error_quoted_attribute_value_missing_the_closing_quote",
    "html_tokenizer_error_attribute_value_not_followed_by_a_valid_character",
    "html_tokenizer_error_empty_attribute_not_followed_by_a_valid_character",
    "html_tokenizer_error_invalid_text_character",
    "html_tokenizer_error_invalid_text_character_in_cdata",
    "html_tokenizer_error_invalid_text_character_in_attribute_name",
    "html_tokenizer_error_invalid_character_in_unquoted_attribute_value",
    "html_tokenizer_error_expected_greater_than",
    "html_tokenizer_error_invalid_text_character_in_tag_name",
    "html_tokenizer_error_invalid_markup_syntax",
    "html_tokenizer_error_doctype_not_followed_by_a_space",
    "html_tokenizer_error_invalid_doctype",
    "html_tokenizer_error_comment_starts_with_invalid_character_sequence",
    "html_tokenizer_error_comment_contains_invalid_character_sequence",
    "html_tokenizer_error_invalid_text_character_in_comment",
    "html_tokenizer_error_ambiguous_ampersand_in_attribute_value",
    "html_tokenizer_error_invalid_string_in_raw_element",
    "html_tokenizer_error_invalid_string_in_escapable_raw_element",
    "html_tokenizer_error_ambiguous_ampersand_in_escapable_raw_element",
    "html_tokenizer_error_invalid_encoding_name",
    "html_tokenizer_error_not_enough_memory",
    "html_tree_construction_error_element_invalid_start_name",
    "html_tree_construction_error_element_invalid_end_name",
    "html_tree_construction_error_element_unexpected_end",
    "html_tree_construction_error_element_end_with_no_open_element",
    "html_tree_construction_error_attribute_invalid_name",
    "html_tree_construction_error_attribute_not_allowed_in_element",
    "html_tree_construction_error_attribute_name_already_present",
    "html_tree_construction_error_unclosed_tags",
    "html_tree_construction_error_not_enough_memory",
    "html_tree_traversal_error_not_enough_memory",
};

const char *html_parser_error_name(u32 error) {
  return error < html_parser_error_count ? html_parser_error_names[error] : "unknown";
}

static const char *const hp_error_messages[22] = {
    "",
    "The end of the file has been reached.\n\n",
    "The end of the file was reached while parsing a quoted attirbute value.\n",
    "An quoted attribute value is missing the closing quote, either ' or \".\n",
    "An attribute value was not followed by a space (' ', '\\n', '\\r', '\\t', '\\f'), a slash ('/') or a "
    "greater than sign ('>').\n",
    "An empty attribute was not followed by a space (' ', '\\n', '\\r', '\\t', '\\f'), a slash ('/') or a "
    "greater than sign ('>').\n",
    "The text contains an invalid character.\n",
    "The text contains an invalid character in a CDATA section.\n",
    "The attribute name contains an invalid text character.\n",
    "An unquoted attribute value contains an invalid character.\n",
    "Greater than sign was expected.\n",
    "Invalid character in tag name. Only ascii alphanumeric character are allowed.\n",
    "Invalid markup syntax.\n",
    "\"<!doctype\" must be followed by a space (' ', '\\n', '\\r', '\\t', '\\f').\n",
    "Invalid doctype.\n",
    "A comment starts with an invalid character sequence. A comment can't start with '>' or '->'.\n",
    "A comment contains an invalid character sequence. A comment can't contain \"<!--\", \"-->\" or "
    "\"--!>\" and can't end with \"<!-\".\n",
    "A comment contains an invalid character.\n",
    "An attribute value contains an ambiguous ampersand: an ampersand ('&') followed by one or more ascii "
    "alphanumeric characters, followed by a semi-colon (';') but not evaluating to a valid named character "
    "reference.\n",
    "A raw element contains an invalid string: \"</script\" or \"</style\" followed by a space (' ', '\\n', "
    "'\\r', '\\t', '\\f') or a '/'.\n",
    "An escapable raw element contains an invalid string: \"</textarea\" or \"</title\" followed by a space "
    "(' ', '\\n', '\\r', '\\t', '\\f') or a '/'.\n",
    "An escapable raw element contains an ambiguous ampersand: an ampersand ('&') followed by one or more "
    "ascii alphanumeric characters, followed by a semi-colon (';') but not evaluating to a valid named "
    "character reference.\n",
};

// ---- Fast runs ---------------------------------------------------------------------------

// Bytes a fast run stops at: every control (line breaks need bookkeeping, the rest are invalid)
// but TAB, DEL and every non-ASCII byte (decoded one code point at a time), plus the bytes the
// state gives meaning to.
struct hp_byte_set {
  bool stop[256];
};

static constexpr hp_byte_set hp_make_stop_set(const char *extra) {
  hp_byte_set set = {};
  for (int b = 0; b < 256; b++) set.stop[b] = (b < 0x20 && b != '\t') || b >= 0x7F;
  for (const char *p = extra; *p; p++) set.stop[(u8)*p] = true;
  return set;
}

static constexpr hp_byte_set hp_stop_data = hp_make_stop_set("<&");
static constexpr hp_byte_set hp_stop_raw = hp_make_stop_set("");
static constexpr hp_byte_set hp_stop_escapable_raw = hp_make_stop_set("&");
static constexpr hp_byte_set hp_stop_double_quoted = hp_make_stop_set("\"&");
static constexpr hp_byte_set hp_stop_single_quoted = hp_make_stop_set("'&");
// TAB is whitespace, which ends an unquoted value.
static constexpr hp_byte_set hp_stop_unquoted = hp_make_stop_set(" \t\"'=<>`");
static constexpr hp_byte_set hp_stop_comment = hp_make_stop_set("-<>&");

// Copies a run of plain ASCII from the current cursor straight into the string, up to limit.
// Only for UTF-8, where such bytes are their own code points.
static inline void hp_copy_run(hp_stream *s, buffer *text, buffer *string, const hp_byte_set &set,
                               const u8 *limit) {
  hp_cursor *c = &s->current;
  if (s->encoding != encoding_utf_8 || c->pending != HP_NO_CODE_POINT) return;
  u8 *p = c->position;
  u8 *q = p;
  while (q < limit && !set.stop[*q]) q++;
  u64 n = (u64)(q - p);
  if (n == 0) return;
  u64 room = text->size - text->used;
  if (n > room) n = room;
  if (n == 0) return;
  if (!string->data) string->data = text->data + text->used;
  memcpy(text->data + text->used, p, n);
  text->used += n;
  string->used += n;
  string->size = string->used;
  c->position = p + n;
  c->column += (u32)n;
  c->cr_seen = 0;
  s->previous_valid = 0;
}

// ---- Tokens ------------------------------------------------------------------------------

void hp_token_create(hp_stream *stream, u32 type) {
  PROFILE_ZONE(zone_hp_token_create);
  memory_zero(&stream->token, sizeof(stream->token));
  stream->token.type = type >= 1 && type <= 6 ? type : 0;
}

void hp_token_add_attribute(hp_stream *stream, buffer *attribute_array, buffer name, buffer value) {
  html_token *t = &stream->token;
  html_token_attribute *a = buffer_push_struct(attribute_array, html_token_attribute);
  if (!a) return;  // sized for the worst case; a short array drops the attribute
  if (!t->attributes) t->attributes = a;
  a->name = name;
  string_to_lower(a->name);
  a->value = value;
  t->attribute_count++;
}

static bool hp_name_is(buffer name, const char *text, u64 n) { return string_equal_bytes(name.data, name.used, text, n); }

u32 hp_token_emit(hp_stream *stream, html_tokens *tokens) {
  PROFILE_ZONE(zone_hp_token_emit);
  html_token *t = &stream->token;
  u32 next = 0;
  html_token *slot = buffer_push_struct(&tokens->token_array, html_token);
  if (slot) {
    *slot = *t;
    tokens->token_count++;
    if (t->type == html_token_start_tag) {
      tokens->attribute_total += t->attribute_count;
      // A self-closed raw element has no content, so it opens no raw text.
      if (!t->self_closing) {
        if (hp_name_is(t->string, "script", 6) || hp_name_is(t->string, "style", 5)) next = hp_state_raw_text;
        if (hp_name_is(t->string, "textarea", 8) || hp_name_is(t->string, "title", 5))
          next = hp_state_escapable_raw_text;
      }
    }
  }
  t->type = html_token_none;
  return next;
}

// ---- Small readers -----------------------------------------------------------------------

// Reads n code points on a fresh lookahead and compares them with the text (folding ASCII case
// when asked). The lookahead stays where the reading stopped.
static bool hp_lookahead_match(hp_stream *s, const char *text, u64 n, bool fold) {
  hp_lookahead_begin(s);
  int e = 0;
  for (u64 i = 0; i < n; i++) {
    u32 c = hp_lookahead_consume_inline(s, &e);
    if (e) return false;
    if (fold) c = char_to_lower(c);
    if (c != (u8)text[i]) return false;
  }
  return true;
}

static u64 hp_bytes_left(const hp_stream *s) { return (u64)(s->current.end - s->current.position); }

static u32 hp_skip_whitespace(hp_stream *s, u32 c, int *e) {
  while (!*e && hp_is_whitespace(c)) c = hp_consume_inline(s, e);
  return c;
}

static bool hp_is_tag_name_character(u32 c) {
  return !hp_is_whitespace(c) && c != '/' && c != '>' && !hp_is_invalid_text_character(c) && c != HP_NO_CODE_POINT;
}

// Pushes the code points of a reference, or the '&' itself when there is none.
static void hp_push_reference(hp_stream *s, buffer *text, buffer *string, u32 *ambiguous) {
  u32 first, second;
  u8 n = hp_parse_character_reference(s, &first, &second, ambiguous);
  if (n == 0) {
    hp_push_codepoint_inline(text, string, '&');
    return;
  }
  hp_push_codepoint_inline(text, string, first);
  if (n == 2) hp_push_codepoint_inline(text, string, second);
}

// ---- Attributes --------------------------------------------------------------------------

void hp_parse_attribute(hp_stream *s, buffer *text, buffer *name, buffer *value, int *e) {
  if (*e) return;
  *name = buffer{};
  *value = buffer{};
  u32 c = hp_consume_inline(s, e);
  c = hp_skip_whitespace(s, c, e);
  while (!*e && !hp_is_attribute_name_stop(c)) {
    hp_push_codepoint_inline(text, name, c);
    c = hp_consume_inline(s, e);
  }
  bool space = false;
  while (!*e && hp_is_whitespace(c)) {
    space = true;
    c = hp_consume_inline(s, e);
  }
  if (name->used == 0 || *e) {
    if (!*e && (c == '>' || c == '/')) {
      hp_unconsume(s);
      return;
    }
    *e = html_tokenizer_error_invalid_text_character_in_attribute_name;
    return;
  }
  if (c != '=') {
    if (space || c == '>' || c == '/') {
      hp_unconsume(s);
      return;
    }
    *e = html_tokenizer_error_empty_attribute_not_followed_by_a_valid_character;
    return;
  }
  c = hp_consume_inline(s, e);
  c = hp_skip_whitespace(s, c, e);
  if (*e) return;
  if (c == '"' || c == '\'') {
    u32 quote = c;
    const hp_byte_set &set = quote == '"' ? hp_stop_double_quoted : hp_stop_single_quoted;
    hp_cursor value_start = s->current;
    for (;;) {
      hp_copy_run(s, text, value, set, s->current.end);
      c = hp_consume_inline(s, e);
      if (*e) {
        *e = html_tokenizer_error_eof_quoted_attribute_value;
        s->current = value_start;
        s->previous_valid = 0;
        return;
      }
      if (c == quote) break;
      if (c == '&') {
        u32 ambiguous = 0;
        hp_push_reference(s, text, value, &ambiguous);
        if (ambiguous) {
          *e = html_tokenizer_error_ambiguous_ampersand_in_attribute_value;
          return;
        }
        continue;
      }
      if (hp_is_invalid_text_character(c)) {
        *e = html_tokenizer_error_quoted_attribute_value_missing_the_closing_quote;
        return;
      }
      hp_push_codepoint_inline(text, value, c);
    }
    // With the lenient option the closing quote is the last code point read; giving it back
    // would read it again as the start of a new value.
    if (s->options & hp_option_lenient_after_quoted_value) return;
    c = hp_consume_inline(s, e);
    if (*e) return;
    if (!(hp_is_whitespace(c) || c == '>' || c == '/')) {
      *e = html_tokenizer_error_attribute_value_not_followed_by_a_valid_character;
      return;
    }
    hp_unconsume(s);
    return;
  }
  for (;;) {
    if (*e || hp_is_invalid_text_character(c) || hp_is_whitespace(c) || c == '"' || c == '\'' || c == '=' ||
        c == '<' || c == '>' || c == '`')
      break;
    hp_push_codepoint_inline(text, value, c);
    hp_copy_run(s, text, value, hp_stop_unquoted, s->current.end);
    c = hp_consume_inline(s, e);
  }
  if (*e) return;
  if (!(hp_is_whitespace(c) || c == '>')) {
    *e = html_tokenizer_error_invalid_character_in_unquoted_attribute_value;
    return;
  }
  hp_unconsume(s);
}

// ---- States ------------------------------------------------------------------------------

// After a '<' in text: does a tag, end tag, comment, doctype or processing instruction start?
// Anything else ("a < b", "I <3 it", a '<' at the end) is text, as every browser shows it.
static bool hp_markup_follows(hp_stream *s) {
  hp_lookahead_begin(s);
  int e = 0;
  u32 c = hp_lookahead_consume_inline(s, &e);
  if (e) return false;
  if (char_is_alpha(c) || c == '!' || c == '?') return true;
  if (c != '/') return false;
  c = hp_lookahead_consume_inline(s, &e);
  return !e && (char_is_alpha(c) || c == '>');
}

static void hp_step_data(hp_stream *s, html_tokens *r, int *e) {
  PROFILE_ZONE(zone_hp_state_default);
  buffer *text = &r->text_arena;
  buffer *string = &s->token.string;
  s->token.type = html_token_none;
  bool started = false;
  {
    PROFILE_ZONE(zone_hp_state_default_loop);
    for (;;) {
      if (!started && s->current.position < s->current.end && !hp_stop_data.stop[*s->current.position]) {
        hp_token_create(s, html_token_text);
        started = true;
      }
      if (started) hp_copy_run(s, text, string, hp_stop_data, s->current.end);
      u32 c = hp_consume_inline(s, e);
      if (*e) break;
      if (c == '<' && hp_markup_follows(s)) break;
      if (!started) {
        hp_token_create(s, html_token_text);
        started = true;
      }
      if (c == '&') {
        u32 ambiguous = 0;  // an unknown name is plain text here
        hp_push_reference(s, text, string, &ambiguous);
        continue;
      }
      if (hp_is_invalid_text_character(c)) {
        *e = html_tokenizer_error_invalid_text_character;
        break;
      }
      hp_push_codepoint_inline(text, string, c);
    }
  }
  if (*e && *e != html_tokenizer_error_eof) return;
  if (started) hp_token_emit(s, r);
  if (*e == html_tokenizer_error_eof) {
    *e = 0;
  } else {
    s->state = hp_state_tag;
  }
}

static void hp_step_tag(hp_stream *s, html_tokens *r, int *e) {
  PROFILE_ZONE(zone_hp_state_tag);
  buffer *text = &r->text_arena;
  u32 c = hp_consume_inline(s, e);
  if (*e) return;
  if (c == '?') {
    s->state = hp_state_processing_instruction;
    return;
  }
  if (c == '!') {
    s->state = hp_state_markup;
    return;
  }
  if (c == '/') {
    hp_token_create(s, html_token_end_tag);
    c = hp_consume_inline(s, e);
    while (!*e && hp_is_tag_name_character(c)) {
      hp_push_codepoint_inline(text, &s->token.string, char_to_lower(c));
      c = hp_consume_inline(s, e);
    }
    c = hp_skip_whitespace(s, c, e);
    // "</br/>" and "</script/>" close like "</br>": the raw text scan ends at them too.
    if (c == '/') c = hp_consume_inline(s, e);
    if (*e) return;
    if (c != '>') {
      *e = html_tokenizer_error_expected_greater_than;
      return;
    }
    hp_token_emit(s, r);
    s->state = hp_state_data;
    return;
  }
  if (!char_is_alpha(c)) {
    *e = html_tokenizer_error_invalid_text_character_in_tag_name;
    return;
  }
  hp_token_create(s, html_token_start_tag);
  // Names compare in lower case everywhere after this (raw elements, the tag table).
  while (!*e && hp_is_tag_name_character(c)) {
    hp_push_codepoint_inline(text, &s->token.string, char_to_lower(c));
    c = hp_consume_inline(s, e);
  }
  bool space = false;
  while (!*e && hp_is_whitespace(c)) {
    space = true;
    c = hp_consume_inline(s, e);
  }
  if (*e) return;
  if (space) {
    hp_unconsume(s);
    for (;;) {
      buffer name, value;
      hp_parse_attribute(s, text, &name, &value, e);
      if (*e) return;
      if (name.used == 0) break;
      hp_token_add_attribute(s, &r->attribute_array, name, value);
    }
    c = hp_consume_inline(s, e);
    c = hp_skip_whitespace(s, c, e);
    if (*e) return;
  }
  bool slash = c == '/';
  if (slash) {
    s->token.self_closing = 1;
    c = hp_consume_inline(s, e);
    if (*e) return;
  }
  if (c != '>') {
    *e = space || slash ? html_tokenizer_error_expected_greater_than
                        : html_tokenizer_error_invalid_text_character_in_tag_name;
    return;
  }
  u32 next = hp_token_emit(s, r);
  s->state = next ? next : hp_state_data;
}

static void hp_step_processing_instruction(hp_stream *s, int *e) {
  PROFILE_ZONE(zone_hp_state_xml);
  for (;;) {
    u32 c = hp_consume_inline(s, e);
    if (*e) return;
    if (c == '?' && hp_lookahead_match(s, ">", 1, false)) {
      hp_lookahead_accept(s);
      break;
    }
  }
  s->state = hp_state_data;
}

// Skips a quoted doctype identifier; c is the opening quote.
static void hp_skip_quoted(hp_stream *s, u32 quote, int *e) {
  for (;;) {
    u32 c = hp_consume_inline(s, e);
    if (*e || c == quote) return;
  }
}

static void hp_step_doctype(hp_stream *s, html_tokens *r, int *e) {
  hp_token_create(s, html_token_doctype);
  u32 c = hp_consume_inline(s, e);
  c = hp_skip_whitespace(s, c, e);
  if (*e) return;
  const char *html = "html";
  for (int i = 0; i < 4; i++) {
    if (i > 0) c = hp_consume_inline(s, e);
    if (*e) return;
    if (char_to_lower(c) != (u8)html[i]) {
      *e = html_tokenizer_error_invalid_doctype;
      return;
    }
  }
  c = hp_consume_inline(s, e);
  if (*e) return;
  if (c != '>') {
    if (!hp_is_whitespace(c)) {
      *e = html_tokenizer_error_invalid_doctype;
      return;
    }
    c = hp_skip_whitespace(s, c, e);
    if (*e) return;
    if (c != '>') {
      char word[6];
      for (int i = 0; i < 6; i++) {
        if (i > 0) c = hp_consume_inline(s, e);
        if (*e) return;
        word[i] = (char)char_to_lower(c);
      }
      bool system = memcmp(word, "system", 6) == 0;
      bool is_public = memcmp(word, "public", 6) == 0;
      c = hp_consume_inline(s, e);
      if (*e) return;
      if ((!system && !is_public) || !hp_is_whitespace(c)) {
        *e = html_tokenizer_error_invalid_doctype;
        return;
      }
      c = hp_skip_whitespace(s, c, e);
      if (*e) return;
      if (system) {
        if (c != '"' && c != '\'') {
          *e = html_tokenizer_error_invalid_doctype;
          return;
        }
        u32 quote = c;
        const char *legacy = "about:legacy-compat";
        for (u64 i = 0; i < 19; i++) {
          c = hp_consume_inline(s, e);
          if (*e) return;
          if (c != (u8)legacy[i]) {
            *e = html_tokenizer_error_invalid_doctype;
            return;
          }
        }
        c = hp_consume_inline(s, e);
        if (*e) return;
        if (c != quote) {
          *e = html_tokenizer_error_invalid_doctype;
          return;
        }
        s->token.string.size = 1;
        c = hp_consume_inline(s, e);
        c = hp_skip_whitespace(s, c, e);
      } else {
        for (int id = 0; id < 2 && (c == '"' || c == '\''); id++) {
          hp_skip_quoted(s, c, e);
          c = hp_consume_inline(s, e);
          c = hp_skip_whitespace(s, c, e);
          if (*e) return;
        }
      }
      if (*e) return;
      if (c != '>') {
        *e = html_tokenizer_error_invalid_doctype;
        return;
      }
    }
  }
  hp_token_emit(s, r);
  s->state = hp_state_data;
}

static void hp_step_cdata(hp_stream *s, html_tokens *r, int *e) {
  hp_token_create(s, html_token_cdata);
  for (;;) {
    u32 c = hp_consume_inline(s, e);
    if (*e) return;
    if (c == ']' && hp_bytes_left(s) >= 2 && hp_lookahead_match(s, "]>", 2, false)) {
      hp_lookahead_accept(s);
      break;
    }
    if (hp_is_invalid_text_character(c)) {
      *e = html_tokenizer_error_invalid_text_character_in_cdata;
      return;
    }
    hp_push_codepoint_inline(&r->text_arena, &s->token.string, c);
  }
  hp_token_emit(s, r);
  s->state = hp_state_data;
}

static void hp_step_comment(hp_stream *s, html_tokens *r, int *e) {
  buffer *text = &r->text_arena;
  buffer *string = &s->token.string;
  u64 i = 0;
  for (;; i++) {
    if (i > 0) hp_copy_run(s, text, string, hp_stop_comment, s->current.end);
    u32 c = hp_consume_inline(s, e);
    if (*e) return;
    if (c == '-') {
      if (hp_bytes_left(s) >= 2 && hp_lookahead_match(s, "->", 2, false)) {
        hp_lookahead_accept(s);
        break;
      }
      if (i == 0 && hp_lookahead_match(s, ">", 1, false)) {
        *e = html_tokenizer_error_comment_starts_with_invalid_character_sequence;
        return;
      }
      if (hp_lookahead_match(s, "-!>", 3, false)) {
        *e = html_tokenizer_error_comment_contains_invalid_character_sequence;
        return;
      }
    } else if (c == '>' && i == 0) {
      *e = html_tokenizer_error_comment_starts_with_invalid_character_sequence;
      return;
    } else if (c == '<') {
      if (hp_lookahead_match(s, "!--", 3, false)) {
        int le = 0;
        u32 next = hp_lookahead_consume_inline(s, &le);
        if (le || next != '>') {
          *e = html_tokenizer_error_comment_contains_invalid_character_sequence;
          return;
        }
      }
    } else if (c == '&') {
      u32 ambiguous = 0;
      hp_push_reference(s, text, string, &ambiguous);
      continue;
    } else if (hp_is_invalid_text_character(c)) {
      *e = html_tokenizer_error_invalid_text_character_in_comment;
      return;
    }
    hp_push_codepoint_inline(text, string, c);
  }
  hp_token_emit(s, r);
  s->state = hp_state_data;
}

static void hp_step_markup(hp_stream *s, html_tokens *r, int *e) {
  PROFILE_ZONE(zone_hp_state_markup);
  if (hp_lookahead_match(s, "doctype", 7, true)) {
    int le = 0;
    u32 c = hp_lookahead_consume_inline(s, &le);
    hp_lookahead_accept(s);
    if (le || !hp_is_whitespace(c)) {
      *e = html_tokenizer_error_doctype_not_followed_by_a_space;
      return;
    }
    hp_step_doctype(s, r, e);
    return;
  }
  if (hp_lookahead_match(s, "[CDATA[", 7, false)) {
    hp_lookahead_accept(s);
    hp_step_cdata(s, r, e);
    return;
  }
  if (hp_bytes_left(s) >= 2 && hp_lookahead_match(s, "--", 2, false)) {
    hp_token_create(s, html_token_comment);
    hp_lookahead_accept(s);
    hp_step_comment(s, r, e);
    return;
  }
  *e = html_tokenizer_error_invalid_markup_syntax;
}

// Where the raw text ends: the '<' of "</name" followed by '>', whitespace or '/' (the name in
// any case, as browsers match it), or the end of the input.
static u8 *hp_find_raw_end(hp_stream *s, buffer name) {
  hp_lookahead_begin(s);
  hp_cursor *la = &s->lookahead;
  int e = 0;
  for (;;) {
    if (s->encoding == encoding_utf_8 && la->pending == HP_NO_CODE_POINT) {
      u8 *lt = (u8 *)memchr(la->position, '<', (u64)(la->end - la->position));
      if (!lt) return s->current.end;
      la->position = lt;
    }
    u8 *lt = la->position;
    u32 c = hp_lookahead_consume_inline(s, &e);
    if (e) return s->current.end;
    if (c != '<') continue;
    hp_cursor save = *la;
    c = hp_lookahead_consume_inline(s, &e);
    if (e) return s->current.end;
    if (c != '/') {
      *la = save;  // the code point may itself be the '<' of the end tag
      continue;
    }
    bool matched = true;
    for (u64 i = 0; i < name.used; i++) {
      save = *la;
      c = hp_lookahead_consume_inline(s, &e);
      if (e) return s->current.end;
      if (char_to_lower(c) != name.data[i]) {
        *la = save;
        matched = false;
        break;
      }
    }
    if (!matched) continue;
    save = *la;
    c = hp_lookahead_consume_inline(s, &e);
    if (e) return s->current.end;
    if (c == '>' || c == '/' || hp_is_whitespace(c)) return lt;
    *la = save;
  }
}

static void hp_step_raw(hp_stream *s, html_tokens *r, int *e) {
  PROFILE_ZONE(zone_hp_state_raw);
  bool escapable = s->state == hp_state_escapable_raw_text;
  buffer name = r->token_count ? r->first_token[r->token_count - 1].string : buffer{};
  u8 *text_end = hp_find_raw_end(s, name);
  if (s->current.position < text_end) {
    buffer *text = &r->text_arena;
    buffer *string = &s->token.string;
    hp_token_create(s, html_token_text);
    const hp_byte_set &set = escapable ? hp_stop_escapable_raw : hp_stop_raw;
    while (s->current.position < text_end || s->current.pending != HP_NO_CODE_POINT) {
      hp_copy_run(s, text, string, set, text_end);
      if (s->current.position >= text_end && s->current.pending == HP_NO_CODE_POINT) break;
      u32 c = hp_consume_inline(s, e);
      if (*e) return;
      if (c == '&' && escapable) {
        u32 ambiguous = 0;
        hp_push_reference(s, text, string, &ambiguous);
        if (ambiguous) {
          *e = html_tokenizer_error_ambiguous_ampersand_in_escapable_raw_element;
          return;
        }
        continue;
      }
      if (hp_is_invalid_text_character(c)) {
        *e = html_tokenizer_error_invalid_text_character;
        return;
      }
      hp_push_codepoint_inline(text, string, c);
    }
    hp_token_emit(s, r);
  }
  s->state = hp_state_data;
}

// ---- Error report ------------------------------------------------------------------------

void hp_print_error_position(hp_stream *stream) {
  log_append("Error( ", 7);
  log_unsigned((u64)stream->current.line + 1, 0, ' ', 0);
  log_append(", ", 2);
  log_unsigned(stream->current.column, 0, ' ', 0);
  log_append(" ): ", 4);
}

void hp_print_error_line(hp_stream *stream) {
  log_append("    |", 5);
  hp_cursor c = stream->current;
  c.position = c.line_start;
  c.pending = HP_NO_CODE_POINT;
  c.decoder_state = iso_2022_jp_state{};
  u8 chunk[4096];
  buffer out = buffer_make(sizeof(chunk), 0, chunk);
  buffer unused = {};
  for (;;) {
    int e = 0;
    u32 cp = hp_decode_inline(&c, stream->encoding, &e);
    if (e || cp == '\r' || cp == '\n') break;
    if (out.size - out.used < 4) {
      log_append(out.data, out.used);
      out.used = 0;
    }
    hp_push_codepoint_inline(&out, &unused, cp);
    unused = buffer{};
  }
  if (out.used) log_append(out.data, out.used);
  log_append("\n    |", 6);
  out.used = 0;
  for (u64 i = 1; i < stream->current.column; i++) {
    if (out.used == out.size) {
      log_append(out.data, out.used);
      out.used = 0;
    }
    u8 ch = '-';
    if (i % 10 == 0) {
      ch = (u8)('0' + ((i / 10 - 1) % 9) + 1);
    } else if (i % 5 == 0) {
      ch = '+';
    }
    out.data[out.used++] = ch;
  }
  if (out.used) log_append(out.data, out.used);
  log_append("^\n\n", 3);
}

void hp_report_error(hp_stream *stream, int code) {
  if (code == 0) return;
  if (code == html_tokenizer_error_eof) {
    log_append("Error: ", 7);
    log_append(hp_error_messages[1], strlen(hp_error_messages[1]));
  } else if (code >= 2 && code <= 21) {
    hp_print_error_position(stream);
    log_append(hp_error_messages[code], strlen(hp_error_messages[code]));
    hp_print_error_line(stream);
  }
  stream->current.position = stream->current.end;
  stream->current.pending = HP_NO_CODE_POINT;
  stream->state = hp_state_data;
}

// ---- Tokenizer ---------------------------------------------------------------------------

static void hp_tokenizer_bounds(u64 n, u64 *tokens, u64 *attributes) {
  *tokens = n < 2 ? 1 : (n + 1) / 2;
  *attributes = n < 5 ? 1 : (n - 3) / 2;
}

u64 hp_tokenizer_memory_size(buffer input) {
  u64 t, a;
  hp_tokenizer_bounds(input.used, &t, &a);
  return 48 * t + 48 * a + 4 * input.used + 8;
}

html_tokens hp_tokenizer(html_tokens *out, buffer *block, buffer input, u32 options, int *err) {
  PROFILE_ZONE(zone_hp_tokenizer);
  html_tokens r = {};
  *out = r;
  if (*err) return r;
  u64 n = input.data ? input.used : 0;
  if (n > (1ull << 40)) {  // no entry comes near; keeps the size arithmetic from wrapping
    *err = html_tokenizer_error_not_enough_memory;
    return r;
  }
  u64 t, a;
  hp_tokenizer_bounds(n, &t, &a);
  buffer saved = *block;
  r.token_array = buffer_carve(block, t * sizeof(html_token), 8);
  r.attribute_array = buffer_carve(block, a * sizeof(html_token_attribute), 8);
  r.text_arena = buffer_carve(block, 4 * n, 1);
  if (!r.token_array.data || !r.attribute_array.data || !r.text_arena.data) {
    *block = saved;
    *err = html_tokenizer_error_not_enough_memory;
    return r;
  }
  r.first_token = (html_token *)r.token_array.data;
  hp_stream s;
  hp_stream_init(&s, input.data, n, options);
  u32 enc = 0;
  u8 *p = input.data;
  if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
    enc = encoding_utf_8;
    s.current.position += 3;
  } else if (options & hp_option_input_is_utf8) {
    enc = encoding_utf_8;
  } else if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
    enc = encoding_utf_16be;
    s.current.position += 2;
  } else if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
    enc = encoding_utf_16le;
    s.current.position += 2;
  } else {
    enc = hp_detect_encoding(buffer_make(n, n, input.data));
    if (enc == 0) enc = encoding_utf_8;
  }
  s.encoding = enc;
  r.encoding = enc;
  {
    PROFILE_ZONE(zone_hp_tokenizer_loop);
    while (s.current.position < s.current.end || s.current.pending != HP_NO_CODE_POINT) {
      int e = 0;
      switch (s.state) {
      case hp_state_data: hp_step_data(&s, &r, &e); break;
      case hp_state_tag: hp_step_tag(&s, &r, &e); break;
      case hp_state_processing_instruction: hp_step_processing_instruction(&s, &e); break;
      case hp_state_markup: hp_step_markup(&s, &r, &e); break;
      case hp_state_raw_text:
      case hp_state_escapable_raw_text: hp_step_raw(&s, &r, &e); break;
      default: invariant(false); break;
      }
      if (e) {
        if (!*err) {
          r.error_line = s.current.line + 1;
          r.error_column = s.current.column;
        }
        hp_report_error(&s, e);
        if (!*err) *err = e;
      }
    }
  }
  u64 freed = buffer_shrink_to_used(&r.text_arena);
  block->used -= freed;
  *out = r;
  return r;
}
