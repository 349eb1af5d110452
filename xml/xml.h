// XML parser: one feed document (bytes in any supported encoding) becomes a tree of xml_node
// records in two arenas the caller lends, one for nodes and one for the bytes of every string.
// Nothing is allocated otherwise and nothing is freed except by rolling an arena back to a mark.
// No namespaces (names compare byte for byte), entities are stored and never expanded, external
// subsets are never read. Every fallible operation takes the sticky error word last.
#pragma once

#include "core/buffer.h"

// ---- Errors ------------------------------------------------------------------------------

typedef u32 xml_error;
enum : u32 {
  xml_error_none = 0,
  xml_error_invalid_encoding = 1,
  xml_error_invalid_character = 2,
  xml_error_eof = 3,
  xml_error_expected_space = 4,
  xml_error_expected_equal = 5,
  xml_error_expected_single_or_double_quote = 6,
  xml_error_expected_matching_quote = 7,
  xml_error_expected_greater_than = 8,
  xml_error_expected_name = 9,
  xml_error_expected_element = 10,
  xml_error_expected_eof = 11,
  xml_error_xml_declaration_expected_start = 12,
  xml_error_xml_declaration_standalone_invalid_value = 13,
  xml_error_xml_declaration_expected_processing_instruction_end = 14,
  xml_error_xml_version_expected_version = 15,
  xml_error_xml_version_expected_one_dot = 16,
  xml_error_xml_version_expected_number_after_the_dot = 17,
  xml_error_encoding_declaration_expected_encoding = 18,
  xml_error_text_declaration_expected_start = 19,
  xml_error_text_declaration_expected_processing_instruction_end = 20,
  xml_error_doctype_expected_start = 21,
  xml_error_doctype_expected_closing_angle_bracket = 22,
  xml_error_doctype_expected_internal_subset = 23,
  xml_error_element_declaration_expected_start = 24,
  xml_error_element_declaration_expected_open_parenthesis = 25,
  xml_error_element_declaration_expected_choice_or_sequence = 26,
  xml_error_element_declaration_mixing_sequence_and_choice_in_content_spec = 27,
  xml_error_element_declaration_expected_closing_parenthesis = 28,
  xml_error_element_declaration_expected_parenthesis = 29,
  xml_error_element_declaration_expected_end_of_mixed = 30,
  xml_error_element_declaration_expected_asterisk = 31,
  xml_error_parameter_entity_reference_expected_semicolon = 32,
  xml_error_comment_expected_start = 33,
  xml_error_comment_contains_double_hyphen = 34,
  xml_error_processing_instruction_expected_start = 35,
  xml_error_processing_instruction_xml_declaration_must_be_the_first_element = 36,
  xml_error_parameter_entity_reference_expected_percentage = 37,
  xml_error_entity_reference_expected_ampersand = 38,
  xml_error_entity_reference_expected_semicolon = 39,
  xml_error_character_reference_expected_ampersand = 40,
  xml_error_character_reference_expected_number_sign = 41,
  xml_error_character_reference_expected_hexadecimal_digit = 42,
  xml_error_character_reference_expected_digit = 43,
  xml_error_character_reference_expected_semicolon = 44,
  xml_error_reference_expected_ampersand = 45,
  xml_error_entity_declaration_expected_start = 46,
  xml_error_entity_declaration_expected_entity_value = 47,
  xml_error_entity_declaration_expected_notation_data_name = 48,
  xml_error_entity_declaration_expected_external_id = 49,
  xml_error_attribute_list_declaration_expected_start = 50,
  xml_error_attribute_list_declaration_expected_element_name = 51,
  xml_error_attribute_list_declaration_expected_attribute_name = 52,
  xml_error_attribute_list_declaration_expected_open_parenthesis = 53,
  xml_error_attribute_list_declaration_expected_notation_name = 54,
  xml_error_attribute_list_declaration_expected_close_parenthesis = 55,
  xml_error_attribute_list_declaration_expected_enum_token = 56,
  xml_error_attribute_list_declaration_expected_attribute_type = 57,
  xml_error_attribute_list_declaration_expected_attribute_default_value = 58,
  xml_error_external_id_expected_system_or_public = 59,
  xml_error_external_id_expected_system_literal = 60,
  xml_error_public_id_expected_public = 61,
  xml_error_system_id_expected_system = 62,
  xml_error_notation_declaration_expected_start = 63,
  xml_error_notation_declaration_expected_system_or_public = 64,
  xml_error_element_expected_start = 65,
  xml_error_element_expected_greater_than_or_slash = 66,
  xml_error_element_expected_end_tag = 67,
  xml_error_element_expected_end_tag_name = 68,
  xml_error_element_expected_matching_end_tag = 69,
  xml_error_character_data_contains_cdata_section_end = 70,
  xml_error_cdata_section_expected_start = 71,
  xml_error_conditional_section_expected_start = 72,
  xml_error_conditional_section_expected_include_or_ignore = 73,
  xml_error_conditional_section_expected_open_square_bracket = 74,
  xml_error_conditional_section_expected_conditional_section_end = 75,
  xml_error_out_of_node_memory = 76,
  xml_error_out_of_string_memory = 77,
  xml_error_internal_invalid_peek_string = 78,
  // Elements or content groups nested deeper than XML_MAX_DEPTH: the productions recurse once
  // per level, so the bound is what keeps a hostile document from exhausting the stack.
  xml_error_nesting_too_deep = 79,
  xml_error_count = 80,
};

// Deepest nesting of elements (and, separately counted the same way, of content-model groups).
#define XML_MAX_DEPTH 256u

// ---- Node types and companion enumerations -----------------------------------------------

typedef u32 xml_node_type;
enum : u32 {
  xml_node_type_document = 0,
  xml_node_type_xml_declaration = 1,
  xml_node_type_processing_instruction = 2,
  xml_node_type_comment = 3,
  xml_node_type_spaces = 4,
  xml_node_type_document_type = 5,
  xml_node_type_element_declaration = 6,
  xml_node_type_content_spec_mixed = 7,
  xml_node_type_content_spec_children_choice = 8,
  xml_node_type_content_spec_children_sequence = 9,
  xml_node_type_content_spec_children_name = 10,
  xml_node_type_attribute_list_declaration = 11,
  xml_node_type_attribute_declaration = 12,
  xml_node_type_attribute_notation = 13,
  xml_node_type_attribute_enumeration = 14,
  xml_node_type_parameter_entity_reference = 15,
  xml_node_type_entity_declaration = 16,
  xml_node_type_notation_declaration = 17,
  xml_node_type_attribute = 18,
  xml_node_type_character_data = 19,
  xml_node_type_cdata_section = 20,
  xml_node_type_reference = 21,
  xml_node_type_element = 22,
  xml_node_type_text_declaration = 23,
  xml_node_type_conditional_section = 24,
  xml_node_type_count = 25,
};

enum : u32 {
  xml_quantity_specifier_one = 0,
  xml_quantity_specifier_zero_or_one = 1,   // "?"
  xml_quantity_specifier_zero_or_more = 2,  // "*"
  xml_quantity_specifier_one_or_more = 3,   // "+"
  xml_quantity_specifier_count = 4,
};

enum : u32 { xml_content_spec_type_mixed = 0, xml_content_spec_type_children = 1, xml_content_spec_type_count = 2 };

// Element declaration content.
enum : u32 { xml_content_empty = 0, xml_content_any = 1, xml_content_mixed = 2, xml_content_children = 3 };

// External id kinds.
enum : u32 { xml_external_id_none = 0, xml_external_id_system = 1, xml_external_id_public = 2 };

enum : u32 {
  xml_attribute_declaration_type_none = 0,
  xml_attribute_declaration_type_cdata = 1,
  xml_attribute_declaration_type_id = 2,
  xml_attribute_declaration_type_idref = 3,
  xml_attribute_declaration_type_idrefs = 4,
  xml_attribute_declaration_type_entity = 5,
  xml_attribute_declaration_type_entities = 6,
  xml_attribute_declaration_type_name_token = 7,
  xml_attribute_declaration_type_name_tokens = 8,
  xml_attribute_declaration_type_notation = 9,
  xml_attribute_declaration_type_enumeration = 10,
  xml_attribute_declaration_type_count = 11,
};

enum : u32 {
  xml_attribute_declaration_default_none = 0,  // a plain default value
  xml_attribute_declaration_default_required = 1,
  xml_attribute_declaration_default_implied = 2,
  xml_attribute_declaration_default_fixed = 3,
  xml_attribute_declaration_default_count = 4,
};

// ---- The node ----------------------------------------------------------------------------

// One record for every type, zero-filled when made. Strings are views into the string arena
// (UTF-8, not zero-terminated), empty when absent. The per-type fields share storage: each
// group of names below sits at one place and only the names a type lists are meaningful.
struct xml_node {
  xml_node_type type;

  // Small per-type words.
  union {
    u32 has_encoding;   // xml declaration
    u32 external_id;    // document type, entity and notation declarations
    u32 content;        // element declaration
    u32 quantity;       // content-model groups and names
    u32 attribute_type; // attribute declaration
    u32 empty;          // element: 1 for an empty-element tag or no children
  };
  union {
    u32 has_standalone;      // xml declaration
    u32 default_kind;        // attribute declaration
    u32 parameter;           // entity declaration
    u32 has_system_literal;  // notation declaration
  };
  u32 external;      // entity declaration
  u32 has_notation;  // entity declaration

  // Tree links; attributes use parent, next and previous like children.
  xml_node *parent;
  xml_node *next;
  xml_node *previous;
  xml_node *first_child;
  xml_node *last_child;

  // First string of the type.
  union {
    buffer name;     // element, attribute, document type and every declaration
    buffer text;     // comment, spaces, character data, cdata section, references
    buffer target;   // processing instruction
    buffer version;  // xml declaration: "1." and the digits read
  };
  // Second string, or the attribute list of an element.
  union {
    buffer value;          // attribute, entity declaration
    buffer data;           // processing instruction
    buffer encoding;       // xml declaration
    buffer default_value;  // attribute declaration
    struct {
      xml_node *first_attribute;  // element
      xml_node *last_attribute;
    };
  };
  union {
    buffer system_literal;  // document type, entity and notation declarations
    buffer standalone;      // xml declaration: "yes" or "no"
  };
  buffer public_literal;  // document type, entity and notation declarations
  buffer notation;        // entity declaration: the NDATA name
};

// ---- Cursor and parser context -----------------------------------------------------------

#define XML_NO_CODEPOINT 0xFFFFFFFFu

// A decoding position, copied freely by value for look-ahead. The start of the current line
// travels with it, so a look-ahead copy that crosses a line end carries the line's start too.
struct xml_cursor {
  u8 *position;        // first byte of the current code point
  u8 *next;            // past the code point the last peek decoded
  u32 state;           // decoder state at position
  u32 peek_state;      // decoder state after the peeked code point
  u32 line;            // from 1
  u32 column;          // from 1, in code points
  u32 codepoint;       // the last peek's code point; XML_NO_CODEPOINT when none
  u32 pending;         // second code point of a pair already advanced over; none when none
  u32 peek_pending;    // second code point the last peek decoded, committed on advance
  u32 after_cr;        // 1 when the last code point advanced over was a CR
  u8 *line_start;      // first byte of the current line
  u32 line_start_state;
  u32 reserved;
};

struct xml_parser {
  // The parse position.
  xml_cursor cursor;
  u8 *end;        // past the last input byte
  u32 encoding;   // encoding number
  u32 ascii_fast; // 1 when a byte below 0x80 at a code point boundary is always that ASCII character
  // The two arenas; nodes and strings stay valid as long as the caller keeps them.
  buffer nodes;
  buffer strings;
  // The growing arenas the two are views of, or null for fixed arenas: a push that does not fit
  // commits more of the arena, up to its limit, instead of failing.
  arena *node_arena;
  arena *string_arena;
  xml_node *document;
  xml_node *top;  // receives the top-level items; the document node
  u64 tab_width;  // 4
  u32 depth;      // current element (or content-group) nesting
  // 1 for UTF-16LE, 2 for UTF-16BE: the cursor reads the document's code units itself
  // instead of asking the general decoder; 0 otherwise.
  u32 wide_fast;
  // How far the UTF-8 content loop may scan names and white space without asking for the end of
  // input, found once a parse when the loop first runs (null until then), and the bytes walked
  // back from the end to find it: work that must stay linear in the input.
  const u8 *content_bound;
#if QM_TEST_HOOKS
  u64 content_bound_steps;
  // The bytes the content loop read and then read again, as it stopped for the node arena to
  // grow: work that must stay linear in the input too.
  u64 content_reread_bytes;
#endif
};

// A string under construction: the bytes pushed since the mark are the string.
struct xml_string_mark {
  buffer *arena;
  u64 size;
  u64 used;
  u8 *data;
};

// ---- Names -------------------------------------------------------------------------------

buffer xml_error_name(xml_error e);
buffer xml_node_type_name(u32 type);
buffer xml_quantity_specifier_name(u32 q);
buffer xml_content_spec_type_name(u32 t);
buffer xml_attribute_declaration_type_name(u32 t);
buffer xml_attribute_declaration_default_name(u32 d);

// ---- Context, nodes and strings ----------------------------------------------------------

void xml_parser_init(xml_parser *out, buffer nodes, buffer strings, buffer input, xml_error *error);
xml_node *xml_node_new(xml_parser *p, u32 type, xml_error *error);
void xml_node_append_child(xml_node *parent, xml_node *child, xml_error *error);
void xml_node_append_attribute(xml_node *element, xml_node *attribute, xml_error *error);

// A mark is three words: inline, so a production's bookkeeping costs no calls.
inline xml_string_mark xml_string_begin(xml_parser *p) {
  return xml_string_mark{&p->strings, p->strings.size, p->strings.used, p->strings.data};
}
inline buffer xml_string_take(xml_string_mark *mark) {
  invariant(mark->arena);
  u64 n = mark->arena->used - mark->used;
  buffer s = {n, n, n ? mark->data + mark->used : nullptr};
  *mark = xml_string_mark{};
  return s;
}
inline void xml_string_rollback(xml_string_mark *mark) {
  invariant(mark->arena);
  mark->arena->size = mark->size;
  mark->arena->used = mark->used;
  mark->arena->data = mark->data;
  *mark = xml_string_mark{};
}
inline u64 xml_string_length(const xml_string_mark *mark) { return mark->arena->used - mark->used; }
void xml_string_push(xml_parser *p, buffer bytes, xml_error *error);
void xml_string_push_u8(xml_parser *p, u8 value, xml_error *error);
void xml_string_push_codepoint(xml_parser *p, u32 codepoint, xml_error *error);

// ---- Character classes -------------------------------------------------------------------

inline bool xml_in_range(u32 c, u32 lo, u32 hi) { return lo <= c && c <= hi; }
inline bool xml_is_space(u32 c) { return c == 0x20 || c == 0x9 || c == 0xA || c == 0xD; }
inline bool xml_is_char(u32 c) {
  if (c >= 0x20) return c <= 0xD7FF || xml_in_range(c, 0xE000, 0xFFFD) || xml_in_range(c, 0x10000, 0x10FFFF);
  return c == 0x9 || c == 0xA || c == 0xD;
}
bool xml_is_name_char(u32 c, bool start);
bool xml_is_encoding_name_char(u32 c, bool first);
bool xml_is_pubid_char(u32 c);

// ---- Cursor ------------------------------------------------------------------------------

u32 xml_peek(xml_parser *p, xml_cursor *c, xml_error *error);
void xml_advance(xml_cursor *c, xml_error *error);
inline bool xml_has_more(const xml_parser *p, const xml_cursor *c) {
  return c->position < p->end || c->pending != XML_NO_CODEPOINT;
}
// The literal is ASCII and shorter than 32 bytes.
bool xml_match(xml_parser *p, xml_cursor *c, buffer literal, xml_error *error);
bool xml_skip_spaces(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error);

// ---- Document productions ----------------------------------------------------------------

bool xml_parse_name(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error);
bool xml_parse_nmtoken(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error);
bool xml_parse_parameter_entity_reference(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error);
bool xml_parse_entity_reference(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error);
bool xml_parse_character_reference(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error);
u32 xml_character_reference_value(xml_parser *p, xml_cursor *c, xml_error *error);
bool xml_parse_reference(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error);
void xml_parse_eq(xml_parser *p, xml_cursor *c, xml_error *error);
u32 xml_parse_quote(xml_parser *p, xml_cursor *c, xml_error *error);
bool xml_parse_encoding_declaration(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error);
bool xml_parse_version_info(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error);
xml_node *xml_parse_xml_declaration(xml_parser *p, xml_cursor *c, xml_error *error);
xml_node *xml_parse_comment(xml_parser *p, xml_cursor *c, xml_error *error);
xml_node *xml_parse_processing_instruction(xml_parser *p, xml_cursor *c, xml_error *error);
xml_node *xml_parse_misc(xml_parser *p, xml_cursor *c, xml_error *error);
u32 xml_predefined_entity(xml_parser *p, xml_cursor *c, xml_error *error);
bool xml_parse_attribute_value(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error);
xml_node *xml_parse_attribute(xml_parser *p, xml_cursor *c, xml_error *error);
xml_node *xml_parse_character_data(xml_parser *p, xml_cursor *c, xml_error *error);
xml_node *xml_parse_cdata_section(xml_parser *p, xml_cursor *c, xml_error *error);
xml_node *xml_parse_content(xml_parser *p, xml_cursor *c, xml_error *error);
xml_node *xml_parse_element(xml_parser *p, xml_cursor *c, xml_error *error);

// ---- Document type declarations ----------------------------------------------------------

bool xml_parse_system_literal(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error);
bool xml_parse_pubid_literal(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error);
bool xml_parse_system_id(xml_parser *p, xml_cursor *c, buffer *system_literal, xml_error *error);
bool xml_parse_public_id(xml_parser *p, xml_cursor *c, bool system_literal_required, buffer *public_literal,
                         buffer *system_literal, xml_error *error);
bool xml_parse_external_id(xml_parser *p, xml_cursor *c, u32 *kind, buffer *public_literal, buffer *system_literal,
                           xml_error *error);
u32 xml_parse_quantity_specifier(xml_parser *p, xml_cursor *c, xml_error *error);
xml_node *xml_parse_content_particles(xml_parser *p, xml_cursor *c, xml_error *error);
bool xml_parse_entity_value(xml_parser *p, xml_cursor *c, buffer *out, xml_error *error);
xml_node *xml_parse_element_declaration(xml_parser *p, xml_cursor *c, xml_error *error);
xml_node *xml_parse_attribute_list_declaration(xml_parser *p, xml_cursor *c, xml_error *error);
xml_node *xml_parse_entity_declaration(xml_parser *p, xml_cursor *c, xml_error *error);
xml_node *xml_parse_notation_declaration(xml_parser *p, xml_cursor *c, xml_error *error);
xml_node *xml_parse_markup_declaration(xml_parser *p, xml_cursor *c, xml_error *error);
xml_node *xml_parse_document_type(xml_parser *p, xml_cursor *c, xml_error *error);

// ---- Document parse and error report -----------------------------------------------------

// Encoding numbers the detection gives besides those of the encoding layer: UTF-32, which has
// no decoder, so a document in it is recognised and refused.
#define XML_ENCODING_UTF8 1u
#define XML_ENCODING_UTF16BE 38u
#define XML_ENCODING_UTF16LE 39u
#define XML_ENCODING_UTF32LE 42u
#define XML_ENCODING_UTF32BE 43u

void xml_detect_encoding(buffer input, u32 *encoding, u8 **first, xml_error *error);
// Parses the whole document into fixed arenas; both arena records are written back with their
// final state whether the parse succeeded or not. The tree is out->top.
void xml_parse(xml_parser *out, buffer *nodes, buffer *strings, buffer input, xml_error *error);

// Address space for the arenas of documents up to a given size, committed only as a parse
// needs it and kept from one parse to the next, so a caller that parses many documents faults
// its pages in once. A document's node memory is bounded by XML_TREE_LIMIT_FACTOR times its size,
// at least XML_TREE_LIMIT_MIN and at most XML_TREE_LIMIT_MAX: past that the parse fails with
// xml_error_out_of_node_memory. Strings never run out: a document's text takes at most three
// bytes per input byte.
#define XML_TREE_LIMIT_FACTOR 32u
#define XML_TREE_LIMIT_MIN MiB(1)
#define XML_TREE_LIMIT_MAX MiB(512)
// Committed memory that no parse of the last XML_MEMORY_IDLE_PARSES (up to twice as many) has
// needed goes back to the system, and so does anything above XML_MEMORY_KEEP_MAX once the parse
// that needed it is over: a batch of downloads reuses its pages, one archive does not hold its
// memory for the rest of the run.
#define XML_MEMORY_IDLE_PARSES 64u
#define XML_MEMORY_KEEP_MAX MiB(128)
struct xml_memory {
  // The arenas' limits are the next document's: a parse's views end there, while pages committed
  // past them for an earlier, larger document stay for later ones.
  arena nodes;
  arena strings;
  u64 max_input_bytes;  // the largest document the arenas were reserved for
  // What the parses since the last look needed at most, and how many there were.
  u64 node_high;
  u64 string_high;
  u32 parses;
  u32 padding;
};
// Reserves for documents up to max_input_bytes and sets the limits for one of that size.
bool xml_memory_reserve(xml_memory *m, u64 max_input_bytes);
// The node memory a document of the given size may use.
u64 xml_memory_node_limit(u64 input_bytes);
// Sets the limits of the next parse from its document's size; nothing committed is given back.
// False when the document is larger than the arenas were reserved for.
bool xml_memory_prepare(xml_memory *m, u64 input_bytes);
// To be called once the last parse's tree is no longer used: gives back what has stayed unused
// for a while, or lies above the bound (see XML_MEMORY_IDLE_PARSES).
void xml_memory_settle(xml_memory *m);
// Gives back what each arena has committed past keep_bytes.
void xml_memory_trim(xml_memory *m, u64 keep_bytes);
void xml_memory_release(xml_memory *m);
// Parses into the arenas from their start (the previous parse's tree is overwritten).
void xml_parse_reserved(xml_parser *out, xml_memory *m, buffer input, xml_error *error);

// Appends "Error (line:column) : name", the offending line (clipped to a window around the
// column when it is long) and a marker under the column. Nothing when the error word is 0.
void xml_print_error(const xml_parser *p, const xml_error *error, buffer *out);

// ---- Queries and serialiser --------------------------------------------------------------

bool xml_is_element(const xml_node *node, buffer name);
bool xml_is_attribute(const xml_node *node, buffer name);
// Whether the node holds text: character data, a CDATA section or a resolved reference.
inline bool xml_node_is_text(const xml_node *n) {
  return n->type == xml_node_type_character_data || n->type == xml_node_type_cdata_section ||
         n->type == xml_node_type_reference;
}
xml_node *xml_first_child_element(const xml_node *node);
xml_node *xml_next_sibling_element(const xml_node *node);
xml_node *xml_find_element(xml_node *node, buffer name);
xml_node *xml_find_attribute(const xml_node *element, buffer name);
// Appends the text of the node's character data, CDATA and reference children; other children
// are skipped with a log line, or silently when quiet. Returns a view of the bytes appended.
buffer xml_node_text(const xml_node *node, buffer *out, bool quiet = false);
// Appends the node as XML text (text and attribute values escaped, references as written);
// with flag 0 an element writes only its children.
buffer xml_write_node(const xml_node *node, u32 flag, buffer *out);

// Where the parser's log lines go (the global log of the program); none by default.
typedef void (*xml_log_function)(buffer line);
void xml_set_log_function(xml_log_function f);
