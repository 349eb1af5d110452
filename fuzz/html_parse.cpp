// Untrusted entry HTML through every stage: the encoding prescan, tokenizing (sniffed and as
// UTF-8), tree construction in both modes and a full traversal. The first byte picks the
// options so one corpus covers them all. Every stage must end, stay in its memory and visit
// each node at most twice. Plain ASCII input is also tokenized as UTF-16: the UTF-8 fast runs
// must give exactly what decoding one code point at a time gives.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "html/html.h"

static bool inside(buffer arena, buffer s) {
  if (s.used == 0) return true;
  return s.data >= arena.data && s.data + s.used <= arena.data + arena.used;
}

static void check_tree(const html_tree &tree) {
  u64 children = 0;
  for (u64 i = 0; i < tree.node_count; i++) {
    const html_node *n = &tree.nodes[i];
    if (i > 0 && (!n->parent || n->parent >= n || n->parent->type != html_node_element)) abort();
    if (n->type == html_node_text) {
      if (n->text.used == 0 || !inside(tree.text_arena, n->text)) abort();
      continue;
    }
    if (n->type != html_node_element) abort();
    children += n->element.child_count;
    for (u32 k = 0; k < n->element.child_count; k++)
      if (n->element.children[k]->parent != n) abort();
    for (u32 k = 0; k < n->element.attribute_count; k++)
      if (!inside(tree.text_arena, n->element.attributes[k].value)) abort();
  }
  if (children + 1 != tree.node_count) abort();
}

static void walk(const html_tree &tree) {
  std::vector<u8> stack(hp_tree_traversal_memory_size(tree.node_count) + 8);
  buffer arena = buffer_make(stack.size(), 0, stack.data());
  int err = 0;
  html_tree_traversal t;
  hp_tree_traversal_init(&t, &arena, &tree.nodes[0], tree.node_count, &err);
  if (err) abort();
  u64 visits = 0;
  while (hp_tree_traversal_has_next(&t)) {
    html_node *n = hp_tree_traversal_get_node(&t);
    if (!n) abort();
    if (n->type == html_node_text && (n->text.used == 0 || !hp_tree_traversal_is_node_start(&t))) abort();
    hp_tree_traversal_advance(&t);
    if (++visits > 2 * tree.node_count) abort();
  }
}

static bool same_string(buffer a, buffer b) { return a.used == b.used && (a.used == 0 || !memcmp(a.data, b.data, a.used)); }

static void compare_with_utf16(buffer input, u32 options, const html_tokens &narrow, int narrow_err) {
  for (u64 i = 0; i < input.used; i++)
    if (input.data[i] >= 0x80) return;
  std::vector<u8> wide(2 * input.used + 2);
  wide[0] = 0xFF;
  wide[1] = 0xFE;
  for (u64 i = 0; i < input.used; i++) wide[2 + 2 * i] = input.data[i];
  buffer wide_input = buffer_make(wide.size(), wide.size(), wide.data());
  std::vector<u8> memory(hp_tokenizer_memory_size(wide_input) + 16);
  buffer block = buffer_make(memory.size(), 0, memory.data());
  int err = 0;
  html_tokens tokens;
  hp_tokenizer(&tokens, &block, wide_input, options & ~(u32)hp_option_input_is_utf8, &err);
  if (err != narrow_err || tokens.token_count != narrow.token_count) abort();
  if (err && (tokens.error_line != narrow.error_line || tokens.error_column != narrow.error_column)) abort();
  for (u64 i = 0; i < tokens.token_count; i++) {
    const html_token &a = narrow.first_token[i];
    const html_token &b = tokens.first_token[i];
    if (a.type != b.type || a.self_closing != b.self_closing || a.attribute_count != b.attribute_count) abort();
    if (a.type == html_token_doctype ? a.string.size != b.string.size : !same_string(a.string, b.string)) abort();
    for (u32 k = 0; k < a.attribute_count; k++)
      if (!same_string(a.attributes[k].name, b.attributes[k].name) ||
          !same_string(a.attributes[k].value, b.attributes[k].value))
        abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  u32 options = size ? data[0] & 3 : 0;
  buffer input = string_from_bytes(data, size);
  u32 sniffed = hp_detect_encoding(input);
  if (sniffed >= encoding_count) abort();
  u64 need = hp_tokenizer_memory_size(input);
  std::vector<u8> memory(need + 16);
  buffer block = buffer_make(memory.size(), 0, memory.data());
  int err = 0;
  html_tokens tokens;
  hp_tokenizer(&tokens, &block, input, options, &err);
  if (err == html_tokenizer_error_not_enough_memory || err > 21) abort();
  if (tokens.text_arena.used > 4 * size) abort();
  for (u64 i = 0; i < tokens.token_count; i++) {
    const html_token &t = tokens.first_token[i];
    if (t.type != html_token_doctype && !inside(tokens.text_arena, t.string)) abort();
    for (u32 k = 0; k < t.attribute_count; k++)
      if (!inside(tokens.text_arena, t.attributes[k].name) || !inside(tokens.text_arena, t.attributes[k].value))
        abort();
  }
  if (options & hp_option_input_is_utf8) compare_with_utf16(input, options, tokens, err);
  for (u64 lenient = 0; lenient < 2; lenient++) {
    std::vector<u8> tree_memory(hp_tree_construction_memory_size(&tokens) + 8);
    buffer tree_block = buffer_make(tree_memory.size(), 0, tree_memory.data());
    int tree_err = 0;
    html_tree tree;
    hp_tree_construction(&tree, &tree_block, &tokens, lenient, &tree_err);
    if (tree_err == html_tree_construction_error_not_enough_memory) abort();
    if (lenient && tree_err) abort();
    if (tree.node_count == 0 || tree.node_count > tokens.token_count + 1) abort();
    check_tree(tree);
    walk(tree);
  }
  return 0;
}
