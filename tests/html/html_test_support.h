// Shared helpers of the HTML parser tests: tokenizing and building trees from std::string
// inputs in blocks sized by the parser's own bounds.
#pragma once

#include <string>
#include <vector>

#include "core/core.h"
#include "html/html.h"

struct hp_test_parse {
  buffer block = {};
  html_tokens tokens = {};
  html_tree tree = {};
  int token_error = 0;
  int tree_error = 0;
  std::string input;

  hp_test_parse() = default;
  hp_test_parse(const hp_test_parse &) = delete;
  hp_test_parse &operator=(const hp_test_parse &) = delete;
  ~hp_test_parse() {
    if (block.data) memory_free(&block);
  }

  // Tokenizes, then (when asked) builds the tree from whatever tokens there are.
  void run(const std::string &text, u32 options = hp_option_input_is_utf8, int lenient = -1) {
    input = text;
    buffer in = string_from_bytes(input.data(), input.size());
    html_tokens probe = {};
    probe.token_count = (input.size() + 1) / 2 + 1;
    probe.attribute_total = input.size();
    probe.text_arena.used = 4 * input.size();
    block = memory_alloc(hp_tokenizer_memory_size(in) + hp_tree_construction_memory_size(&probe) + 64, nullptr);
    hp_tokenizer(&tokens, &block, in, options, &token_error);
    if (lenient >= 0) hp_tree_construction(&tree, &block, &tokens, (u64)lenient, &tree_error);
  }

  std::string text(u64 i) const {
    const html_token &t = tokens.first_token[i];
    return std::string((const char *)t.string.data, t.string.used);
  }
  u32 type(u64 i) const { return tokens.first_token[i].type; }
  std::string attribute_name(u64 i, u64 k) const {
    buffer b = tokens.first_token[i].attributes[k].name;
    return std::string((const char *)b.data, b.used);
  }
  std::string attribute_value(u64 i, u64 k) const {
    buffer b = tokens.first_token[i].attributes[k].value;
    return std::string((const char *)b.data, b.used);
  }
  // All text and CDATA tokens joined.
  std::string all_text() const {
    std::string out;
    for (u64 i = 0; i < tokens.token_count; i++)
      if (type(i) == html_token_text || type(i) == html_token_cdata) out += text(i);
    return out;
  }
  // A compact picture of the token list: <p a=b>, </p>, "text", !comment, [cdata], doctype.
  std::string picture() const {
    std::string out;
    for (u64 i = 0; i < tokens.token_count; i++) {
      const html_token &t = tokens.first_token[i];
      switch (t.type) {
      case html_token_start_tag:
        out += "<" + text(i);
        for (u64 k = 0; k < t.attribute_count; k++) out += " " + attribute_name(i, k) + "=" + attribute_value(i, k);
        out += t.self_closing ? "/>" : ">";
        break;
      case html_token_end_tag: out += "</" + text(i) + ">"; break;
      case html_token_text: out += "\"" + text(i) + "\""; break;
      case html_token_comment: out += "!" + text(i) + "!"; break;
      case html_token_cdata: out += "[" + text(i) + "]"; break;
      case html_token_doctype: out += t.string.size ? "doctype(legacy)" : "doctype"; break;
      default: out += "?"; break;
      }
    }
    return out;
  }
};

// The tree in a compact form from a recursive walk: tag(children) and "text".
inline void hp_test_tree_picture(const html_node *n, std::string *out) {
  if (n->type == html_node_text) {
    *out += "\"" + std::string((const char *)n->text.data, n->text.used) + "\"";
    return;
  }
  if (n->parent) *out += html_tag_names[n->element.tag];
  if (n->element.child_count == 0 && n->parent) return;
  *out += "(";
  for (u32 i = 0; i < n->element.child_count; i++) hp_test_tree_picture(n->element.children[i], out);
  *out += ")";
}

inline std::string hp_test_tree_picture(const html_tree &tree) {
  std::string out;
  if (tree.nodes) hp_test_tree_picture(&tree.nodes[0], &out);
  return out;
}
