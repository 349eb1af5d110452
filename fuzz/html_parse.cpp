// Untrusted entry HTML through every stage: the encoding prescan, tokenizing (sniffed and as
// UTF-8), tree construction in both modes and a full traversal. The first byte picks the
// options so one corpus covers them all. Every stage must end, stay in its memory and visit
// each node at most twice.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "html/html.h"

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
  for (u64 lenient = 0; lenient < 2; lenient++) {
    std::vector<u8> tree_memory(hp_tree_construction_memory_size(&tokens) + 8);
    buffer tree_block = buffer_make(tree_memory.size(), 0, tree_memory.data());
    int tree_err = 0;
    html_tree tree;
    hp_tree_construction(&tree, &tree_block, &tokens, lenient, &tree_err);
    if (tree_err == html_tree_construction_error_not_enough_memory) abort();
    if (lenient && tree_err) abort();
    if (tree.node_count == 0 || tree.node_count > tokens.token_count + 1) abort();
    walk(tree);
  }
  return 0;
}
