// The HTML parser of entry content: an input stream that decodes any web encoding one code point
// at a time, a small strict tokenizer, a tree builder against fixed tables of known tags and
// attributes, and an iterative traversal of the tree. Everything runs in memory the caller hands
// over up front (sized by the *_memory_size functions); nothing allocates while parsing.
#pragma once

#include "core/buffer.h"
#include "encoding/encoding.h"

// ---- Errors ------------------------------------------------------------------------------

// One numbering for the whole parser: tokenizer 1-23, tree construction 24-32, traversal 33.
enum html_parser_error : u32 {
  html_parser_error_none = 0,
  html_tokenizer_error_eof = 1,
  html_tokenizer_error_eof_quoted_attribute_value = 2,
  html_tokenizer_error_quoted_attribute_value_missing_the_closing_quote = 3,
  html_tokenizer_error_attribute_value_not_followed_by_a_valid_character = 4,
  html_tokenizer_error_empty_attribute_not_followed_by_a_valid_character = 5,
  html_tokenizer_error_invalid_text_character = 6,
  html_tokenizer_error_invalid_text_character_in_cdata = 7,
  html_tokenizer_error_invalid_text_character_in_attribute_name = 8,
  html_tokenizer_error_invalid_character_in_unquoted_attribute_value = 9,
  html_tokenizer_error_expected_greater_than = 10,
  html_tokenizer_error_invalid_text_character_in_tag_name = 11,
  html_tokenizer_error_invalid_markup_syntax = 12,
  html_tokenizer_error_doctype_not_followed_by_a_space = 13,
  html_tokenizer_error_invalid_doctype = 14,
  html_tokenizer_error_comment_starts_with_invalid_character_sequence = 15,
  html_tokenizer_error_comment_contains_invalid_character_sequence = 16,
  html_tokenizer_error_invalid_text_character_in_comment = 17,
  html_tokenizer_error_ambiguous_ampersand_in_attribute_value = 18,
  html_tokenizer_error_invalid_string_in_raw_element = 19,
  html_tokenizer_error_invalid_string_in_escapable_raw_element = 20,
  html_tokenizer_error_ambiguous_ampersand_in_escapable_raw_element = 21,
  html_tokenizer_error_invalid_encoding_name = 22,
  html_tokenizer_error_not_enough_memory = 23,
  html_tree_construction_error_element_invalid_start_name = 24,
  html_tree_construction_error_element_invalid_end_name = 25,
  html_tree_construction_error_element_unexpected_end = 26,
  html_tree_construction_error_element_end_with_no_open_element = 27,
  html_tree_construction_error_attribute_invalid_name = 28,
  html_tree_construction_error_attribute_not_allowed_in_element = 29,
  html_tree_construction_error_attribute_name_already_present = 30,
  html_tree_construction_error_unclosed_tags = 31,
  html_tree_construction_error_not_enough_memory = 32,
  html_tree_traversal_error_not_enough_memory = 33,
  html_parser_error_count = 34,
};

extern const char *const html_parser_error_names[html_parser_error_count];
// The name of an error code; "unknown" past the last.
const char *html_parser_error_name(u32 error);

// ---- Tokens ------------------------------------------------------------------------------

enum html_token_type : u32 {
  html_token_none = 0,
  html_token_doctype = 1,
  html_token_start_tag = 2,
  html_token_end_tag = 3,
  html_token_comment = 4,
  html_token_cdata = 5,
  html_token_text = 6,
};

// Names are lower-cased (ASCII); values as written, references decoded.
struct html_token_attribute {
  buffer name;
  buffer value;
};
static_assert(sizeof(html_token_attribute) == 48);

struct html_token {
  u32 type;
  // Tag name, or the text of a comment, CDATA or text token. A doctype keeps its legacy flag
  // (it named "about:legacy-compat") in string.size.
  buffer string;
  u32 self_closing;
  u32 attribute_count;
  html_token_attribute *attributes;  // null until the first attribute
};
static_assert(sizeof(html_token) == 48);

// Every string is a view into text_arena; tokens and attributes are in emission order.
struct html_tokens {
  buffer token_array;
  buffer attribute_array;
  buffer text_arena;
  html_token *first_token;
  u64 token_count;
  u64 attribute_total;
  u32 encoding;
  // Where tokenizing stopped on an error: the line as printed (from 1) and the column.
  u32 error_line;
  u32 error_column;
};

// Tokenizer options.
enum : u32 {
  // A quoted attribute value may be followed by any character.
  hp_option_lenient_after_quoted_value = 1,
  // The input is UTF-8 already (text from the store): no byte order mark or <meta> sniffing,
  // so a stale charset declaration inside the text cannot garble it.
  hp_option_input_is_utf8 = 2,
};

// ---- Input stream ------------------------------------------------------------------------

struct hp_cursor {
  u8 *position;    // next byte to decode
  u8 *end;         // one past the last byte
  u8 *line_start;  // first byte of the current line
  u32 line;        // lines ended so far
  u32 column;      // code points consumed since line_start
  iso_2022_jp_state decoder_state;
  u32 pending;  // a second code point returned with the first (Big5), or 0xFFFFFFFF
  u32 cr_seen;  // the last line break was a CR, so a following LF ends no second line
};

enum : u32 {
  hp_state_data = 1,
  hp_state_tag = 2,
  hp_state_processing_instruction = 5,
  hp_state_markup = 6,
  hp_state_raw_text = 7,
  hp_state_escapable_raw_text = 8,
};

struct hp_stream {
  hp_cursor current;    // where the tokenizer stands
  hp_cursor lookahead;  // a longer match being tried; accepted or dropped
  hp_cursor previous;   // current as it was before the last hp_consume
  u32 previous_valid;
  u32 encoding;
  u32 state;
  html_token token;  // the token being built
  u32 options;
};

// The code point sets, kept as data and tested through the fast predicates below.
#define HP_INVALID_TEXT_CHARACTER_COUNT 127
#define HP_FORBIDDEN_NUMERIC_REFERENCE_COUNT 128
#define HP_ATTRIBUTE_NAME_STOP_COUNT 142
extern const u32 hp_invalid_text_characters[HP_INVALID_TEXT_CHARACTER_COUNT];
extern const u32 hp_forbidden_numeric_references[HP_FORBIDDEN_NUMERIC_REFERENCE_COUNT];
extern const u32 hp_attribute_name_stop_characters[HP_ATTRIBUTE_NAME_STOP_COUNT];

inline bool hp_is_noncharacter(u32 c) {
  return (c >= 0xFDD0 && c <= 0xFDEF) || ((c & 0xFFFE) == 0xFFFE && c <= 0x10FFFF);
}
inline bool hp_is_invalid_text_character(u32 c) {
  return c <= 8 || c == 0x0B || (c >= 0x0E && c <= 0x1F) || (c >= 0x7F && c <= 0x9F) ||
         hp_is_noncharacter(c);
}
inline bool hp_is_forbidden_numeric_reference(u32 c) { return c == 0x0D || hp_is_invalid_text_character(c); }
inline bool hp_is_attribute_name_stop(u32 c) {
  return c <= 0x20 || c == '"' || c == '\'' || c == '/' || c == '=' || c == '>' ||
         (c >= 0x7F && c <= 0x9F) || hp_is_noncharacter(c);
}
inline bool hp_is_whitespace(u32 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

hp_stream *hp_stream_init(hp_stream *stream, u8 *data, u64 size, u32 options);
// *err = 1 at the end of the input, 22 for an unknown encoding; bytes that do not decode give
// U+FFFD.
u32 hp_decode_codepoint(hp_cursor *cursor, u32 encoding, int *err);
void hp_stream_update_line(hp_cursor *cursor, u32 code_point);
u32 hp_consume(hp_stream *stream, int *err);
void hp_unconsume(hp_stream *stream);
void hp_lookahead_begin(hp_stream *stream);
u32 hp_lookahead_consume(hp_stream *stream, int *err);
void hp_lookahead_accept(hp_stream *stream);
// Appends the code point as UTF-8 (U+FFFD for a non-scalar value) to the arena and grows the
// string, which must be the arena's newest piece.
void hp_push_codepoint(buffer *text, buffer *string, u32 code_point);
// Called with the '&' consumed. 0 code points leave the stream just after the '&'.
u8 hp_parse_character_reference(hp_stream *stream, u32 *first, u32 *second, u32 *ambiguous);
void hp_find_named_reference(const u8 *name, u64 length, u32 *first, u32 *second);
void hp_named_reference_codepoints(u64 slot, u32 *first, u32 *second);
u16 hp_find_named_reference_slot(u32 first, u32 second, u64 start);
// The encoding a <meta> in the first 1024 bytes declares, or 0.
u32 hp_detect_encoding(buffer input);

// ---- Tokenizer ---------------------------------------------------------------------------

u64 hp_tokenizer_memory_size(buffer input);
// Tokenizes the whole input into memory carved from the block. The first malformed construct
// ends tokenizing: its code goes to *err and its message to the log.
html_tokens hp_tokenizer(html_tokens *out, buffer *block, buffer input, u32 options, int *err);
void hp_token_create(hp_stream *stream, u32 type);
void hp_token_add_attribute(hp_stream *stream, buffer *attribute_array, buffer name, buffer value);
u32 hp_token_emit(hp_stream *stream, html_tokens *tokens);
void hp_parse_attribute(hp_stream *stream, buffer *text, buffer *name, buffer *value, int *err);
void hp_report_error(hp_stream *stream, int code);
void hp_print_error_position(hp_stream *stream);
void hp_print_error_line(hp_stream *stream);

// ---- Tree --------------------------------------------------------------------------------

typedef u8 html_tag;
typedef u8 html_attribute_name;

#define HTML_TAG_COUNT 114
#define HTML_ATTRIBUTE_COUNT 193
#define HTML_GLOBAL_ATTRIBUTE_FIRST 1
#define HTML_GLOBAL_ATTRIBUTE_END 78

enum : u8 {
  html_tag_flag_phrasing = 1,
  html_tag_flag_void = 2,
};

// Tag ids the parser itself treats specially.
enum : u8 {
  html_tag_invalid = 0,
  html_tag_pre = 24,
  html_tag_a = 36,
  html_tag_br = 65,
  html_tag_img = 71,
  html_tag_textarea = 101,
};
enum : u8 {
  html_attribute_invalid = 0,
  html_attribute_id = 7,
  html_attribute_href = 79,
  html_attribute_src = 115,
  html_attribute_alt = 117,
};

extern const char *const html_tag_names[HTML_TAG_COUNT];
extern const u8 html_tag_name_lengths[HTML_TAG_COUNT];
extern const u8 html_tag_flags[HTML_TAG_COUNT];
extern const char *const html_attribute_names[HTML_ATTRIBUTE_COUNT];
extern const u8 html_attribute_name_lengths[HTML_ATTRIBUTE_COUNT];

// The id of a lower-case tag or attribute name; 0 when unknown.
html_tag hp_tag_from_name(const u8 *name, u64 length);
html_attribute_name hp_attribute_from_name(const u8 *name, u64 length);
bool hp_tag_allows_attribute(html_tag tag, html_attribute_name attribute);

enum : u8 {
  html_node_element = 1,
  html_node_text = 2,
};

struct html_node_attribute {
  buffer value;
  u8 id;
};
static_assert(sizeof(html_node_attribute) == 32);

struct html_node;
struct html_element_part {
  html_node_attribute *attributes;
  html_node **children;
  // 32 bits: a wide element (a long run of <br>) must not wrap its count.
  u32 child_count;
  u8 attribute_count;  // at most one attribute per id, so fewer than 193
  u8 tag;
};

struct html_node {
  u8 type;
  html_node *parent;  // null only for the root
  union {
    html_element_part element;
    buffer text;  // UTF-8 display text, never empty
  };
};
static_assert(sizeof(html_node) == 40);

struct html_tree {
  html_node *nodes;  // the root first; every parent before its children
  u64 node_count;
  html_node_attribute *attributes;
  u64 attributes_used;
  html_node **child_pointers;
  buffer node_array;
  buffer text_arena;
  buffer attribute_array;
  buffer child_pointer_array;
#if QM_TEST_HOOKS
  u64 end_tag_steps;  // open elements looked at while matching end tags: the builder's own work
#endif
};

u64 hp_tree_construction_memory_size(const html_tokens *tokens);
// Lenient mode drops what it cannot accept and always succeeds unless memory is short (32).
html_tree hp_tree_construction(html_tree *out, buffer *block, const html_tokens *tokens, u64 lenient,
                               int *err);

u8 hp_tag_has_flag(u8 tag, u8 mask);
html_node *hp_node_get_child(const html_node *node, u64 index);
bool hp_node_is_text(const html_node *node);
bool hp_node_is_element(const html_node *node, u8 tag);
const buffer *hp_node_get_text(const html_node *node);
const html_node_attribute *hp_node_find_attribute(const html_node *node, u8 id);
html_node *hp_find_element_by_attribute(const html_tree *tree, u8 id, buffer value, u64 *start);
html_node *hp_find_element_by_tag(const html_tree *tree, u8 tag, u64 *start);
html_node *hp_find_element_by_id(const html_tree *tree, buffer id);

// ---- Traversal ---------------------------------------------------------------------------

struct html_tree_traversal {
  u32 *index_stack;  // per element entered, its index in its parent's children
  u64 depth;
  html_node *parent;  // the element whose children are being visited
  u64 child_index;    // equal to parent's child_count at the element's end
  u64 capacity;       // entries index_stack holds
};

u64 hp_tree_traversal_memory_size(u64 capacity);
html_tree_traversal hp_tree_traversal_init(html_tree_traversal *out, buffer *arena, html_node *root,
                                           u64 capacity, int *err);
int hp_tree_traversal_has_next(const html_tree_traversal *t);
html_node *hp_tree_traversal_get_node(const html_tree_traversal *t);
void hp_tree_traversal_advance(html_tree_traversal *t);
int hp_tree_traversal_is_node_start(const html_tree_traversal *t);
int hp_tree_traversal_is_node_end(const html_tree_traversal *t);

// ---- Debug dumps (to the log) ------------------------------------------------------------

void hp_print_tokens(const html_tokens *tokens);
void hp_print_tree(const html_tree *tree);
