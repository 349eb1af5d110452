// Tree construction: tokens to a compact tree of element and text nodes in arrays carved from
// the caller's block, with text reduced to display text on the way in; and the node queries.
#include "core/strings.h"
#include "html/html.h"
#include "profiler/profiler.h"

u64 hp_tree_construction_memory_size(const html_tokens *tokens) {
  u64 a = tokens->token_count + 1;
  u64 t = tokens->attribute_total;
  u64 u = tokens->text_arena.used;
  return align_up(56 * a + 32 * t + u + 8, 8);
}

namespace {

struct builder {
  html_tree *tree;
  html_node **stack;
  u64 depth;
  u64 stack_capacity;
  // Open elements of each tag above the root: an end tag whose element is not open is known
  // without a walk down the stack, so a run of them over a deep stack stays linear.
  u64 open_count[HTML_TAG_COUNT];
  u8 last_char;
  // Open pre and textarea elements: text is kept verbatim while any is open, so a nested pre
  // does not end the outer one's verbatim text.
  u64 verbatim;
  u8 leading_done;
};

bool is_space(u8 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

bool is_verbatim_tag(u8 tag) { return tag == html_tag_pre || tag == html_tag_textarea; }

html_node *push_node(builder *b, u8 type) {
  html_node *node = buffer_push_struct(&b->tree->node_array, html_node);
  if (!node) return nullptr;  // sized for one node per token; cannot run short
  memory_zero(node, sizeof(*node));
  node->type = type;
  b->tree->node_count++;
  return node;
}

// Attaches a new node under the innermost open element. A parent whose count would wrap keeps
// the children it has.
html_node *push_child(builder *b, u8 type) {
  html_node *parent = b->stack[b->depth - 1];
  if (parent->element.child_count == UINT32_MAX) return nullptr;
  html_node *node = push_node(b, type);
  if (!node) return nullptr;
  node->parent = parent;
  parent->element.child_count++;
  return node;
}

void pop_element(builder *b) {
  html_node *top = b->stack[--b->depth];
  b->open_count[top->element.tag]--;
  if (is_verbatim_tag(top->element.tag) && b->verbatim > 0) b->verbatim--;
}

void push_text(builder *b, const u8 *bytes, u64 n) {
  if (n == 0) return;
  buffer *arena = &b->tree->text_arena;
  u8 *copy = (u8 *)buffer_push_copy(arena, bytes, n, 1);
  if (!copy) return;
  html_node *node = push_child(b, html_node_text);
  if (!node) {
    arena->used -= n;
    return;
  }
  node->text = buffer{n, n, copy};
}

void add_text(builder *b, buffer text) {
  const u8 *s = text.data;
  u64 n = text.used;
  if (n == 0) return;
  if (b->verbatim) {
    if (!b->leading_done) {
      if (n >= 2 && s[0] == '\r' && s[1] == '\n') {
        s += 2;
        n -= 2;
      } else if (s[0] == '\r' || s[0] == '\n') {
        s++;
        n--;
      }
      b->leading_done = 1;
    }
    push_text(b, s, n);
    return;
  }
  buffer *arena = &b->tree->text_arena;
  u64 room = arena->size - arena->used;
  u8 *out = arena->data + arena->used;
  u64 w = 0;
  bool keep_space = b->last_char != 0 && b->last_char != ' ';
  u64 i = 0;
  while (i < n && is_space(s[i])) i++;
  bool written_space = false;
  if (i > 0 && keep_space && w < room) {
    out[w++] = ' ';
    written_space = true;
  }
  for (; i < n && w < room; i++) {
    u8 c = s[i];
    if (is_space(c)) {
      if (written_space) continue;
      out[w++] = ' ';
      written_space = true;
    } else {
      out[w++] = c;
      written_space = false;
    }
  }
  if (w == 0) return;
  html_node *node = push_child(b, html_node_text);
  if (!node) return;
  arena->used += w;
  node->text = buffer{w, w, out};
  b->last_char = out[w - 1];
}

void add_start_tag(builder *b, const html_token *token, u64 lenient, int *e) {
  html_tree *tree = b->tree;
  html_tag tag = hp_tag_from_name(token->string.data, token->string.used);
  if (tag == 0) {
    *e = html_tree_construction_error_element_invalid_start_name;
    return;
  }
  u64 mark = tree->attributes_used;
  u64 text_mark = tree->text_arena.used;
  u64 count = 0;
  for (u64 k = 0; k < token->attribute_count && !*e; k++) {
    const html_token_attribute *ta = &token->attributes[k];
    html_attribute_name id = hp_attribute_from_name(ta->name.data, ta->name.used);
    if (id == 0) {
      *e = html_tree_construction_error_attribute_invalid_name;
    } else if (!hp_tag_allows_attribute(tag, id)) {
      *e = html_tree_construction_error_attribute_not_allowed_in_element;
    } else {
      for (u64 j = 0; j < count; j++) {
        if (tree->attributes[mark + j].id == id) *e = html_tree_construction_error_attribute_name_already_present;
      }
      if (!*e) {
        html_node_attribute *na = buffer_push_struct(&tree->attribute_array, html_node_attribute);
        if (na) {
          na->id = id;
          na->value = buffer{};
          if (ta->value.used) {
            u8 *copy = (u8 *)buffer_push_copy(&tree->text_arena, ta->value.data, ta->value.used, 1);
            if (copy) na->value = buffer{ta->value.used, ta->value.used, copy};
          }
          tree->attributes_used++;
          count++;
        }
      }
    }
    if (lenient) *e = 0;
  }
  if (*e) {
    tree->attribute_array.used = mark * sizeof(html_node_attribute);
    tree->attributes_used = mark;
    tree->text_arena.used = text_mark;
    return;
  }
  html_node *node = push_child(b, html_node_element);
  if (!node) {
    tree->attribute_array.used = mark * sizeof(html_node_attribute);
    tree->attributes_used = mark;
    tree->text_arena.used = text_mark;
    return;
  }
  node->element.tag = tag;
  node->element.attributes = count ? tree->attributes + mark : nullptr;
  node->element.attribute_count = (u8)count;
  if (!token->self_closing && !hp_tag_has_flag(tag, html_tag_flag_void) && b->depth < b->stack_capacity) {
    b->stack[b->depth++] = node;
    b->open_count[tag]++;
    // Only an element that is really open makes its text verbatim.
    if (is_verbatim_tag(tag)) {
      b->verbatim++;
      b->leading_done = 0;
    }
  }
  if (tag == html_tag_br || !hp_tag_has_flag(tag, html_tag_flag_phrasing)) b->last_char = 0;
}

void add_end_tag(builder *b, const html_token *token, u64 lenient, int *e) {
  html_tag tag = hp_tag_from_name(token->string.data, token->string.used);
  if (tag == 0) {
    *e = html_tree_construction_error_element_invalid_end_name;
    return;
  }
  if (b->depth == 0) {
    *e = html_tree_construction_error_element_end_with_no_open_element;
    return;
  }
  WORK_COUNT(b->tree->end_tag_steps, 1);
  if (b->stack[b->depth - 1]->element.tag == tag) {
    pop_element(b);
    return;
  }
  // Lenient: a misnested end tag (<a><b>x</a>) closes everything down to its element, so one
  // stray tag cannot leave a link open for the rest of the entry. The root stays. The walk
  // runs only when the element is open, and every entry it passes is popped.
  if (lenient && b->open_count[tag] > 0) {
    for (u64 i = b->depth - 1; i >= 1; i--) {
      WORK_COUNT(b->tree->end_tag_steps, 1);
      if (b->stack[i]->element.tag == tag) {
        while (b->depth > i) pop_element(b);
        return;
      }
    }
  }
  *e = html_tree_construction_error_element_unexpected_end;
}

}  // namespace

html_tree hp_tree_construction(html_tree *out, buffer *block, const html_tokens *tokens, u64 lenient, int *err) {
  PROFILE_ZONE(zone_hp_tree_construction);
  html_tree tree = {};
  *out = tree;
  if (*err) return tree;
  u64 a = tokens->token_count + 1;
  u64 t = tokens->attribute_total;
  u64 u = tokens->text_arena.used;
  buffer saved = *block;
  tree.node_array = buffer_carve(block, a * sizeof(html_node), 8);
  tree.attribute_array = buffer_carve(block, t * sizeof(html_node_attribute), 8);
  tree.child_pointer_array = buffer_carve(block, a * sizeof(html_node *), 8);
  tree.text_arena = buffer_carve(block, u, 1);
  buffer stack = buffer_carve(block, a * sizeof(html_node *), 8);
  if (!tree.node_array.data || !tree.attribute_array.data || !tree.child_pointer_array.data ||
      !tree.text_arena.data || !stack.data) {
    *block = saved;
    *err = html_tree_construction_error_not_enough_memory;
    tree = html_tree{};
    *out = tree;
    return tree;
  }
  tree.nodes = (html_node *)tree.node_array.data;
  tree.attributes = (html_node_attribute *)tree.attribute_array.data;
  tree.child_pointers = (html_node **)tree.child_pointer_array.data;

  builder b = {};
  b.tree = &tree;
  b.stack = (html_node **)stack.data;
  b.stack_capacity = a;
  html_node *root = push_node(&b, html_node_element);
  b.stack[b.depth++] = root;
  int e = 0;
  for (u64 k = 0; k < tokens->token_count && (lenient || !e); k++) {
    const html_token *token = &tokens->first_token[k];
    switch (token->type) {
    case html_token_start_tag: add_start_tag(&b, token, lenient, &e); break;
    case html_token_end_tag: add_end_tag(&b, token, lenient, &e); break;
    case html_token_cdata:
      // An empty section makes no node (and has no last byte to remember).
      if (token->string.used) {
        push_text(&b, token->string.data, token->string.used);
        b.last_char = token->string.data[token->string.used - 1];
      }
      break;
    case html_token_text: add_text(&b, token->string); break;
    default: break;
    }
    if (lenient) e = 0;
  }
  if (!e && b.depth > 1) e = html_tree_construction_error_unclosed_tags;

  // Linking: parents precede children, so each parent's list exists before its children come.
  html_node **cursor = tree.child_pointers;
  for (u64 i = 0; i < tree.node_count; i++) {
    html_node *n = &tree.nodes[i];
    if (n->type != html_node_element) continue;
    n->element.children = n->element.child_count ? cursor : nullptr;
    cursor += n->element.child_count;
    n->element.child_count = 0;
  }
  for (u64 i = 1; i < tree.node_count; i++) {
    html_node *n = &tree.nodes[i];
    html_element_part *p = &n->parent->element;
    p->children[p->child_count++] = n;
  }
  // The stack and the text arena's unused tail go back to the block.
  tree.text_arena.size = tree.text_arena.used;
  block->used = (u64)(tree.text_arena.data + tree.text_arena.used - block->data);
  if (lenient) e = 0;
  if (!*err) *err = e;
  *out = tree;
  return tree;
}

// ---- Queries -----------------------------------------------------------------------------

html_node *hp_node_get_child(const html_node *node, u64 index) {
  if (!node || node->type != html_node_element || index >= node->element.child_count) return nullptr;
  return node->element.children[index];
}

bool hp_node_is_text(const html_node *node) { return node && node->type == html_node_text; }

bool hp_node_is_element(const html_node *node, u8 tag) {
  return node && node->type == html_node_element && (tag == 0 || node->element.tag == tag);
}

const buffer *hp_node_get_text(const html_node *node) { return hp_node_is_text(node) ? &node->text : nullptr; }

const html_node_attribute *hp_node_find_attribute(const html_node *node, u8 id) {
  if (!hp_node_is_element(node, 0)) return nullptr;
  for (u64 i = 0; i < node->element.attribute_count; i++)
    if (node->element.attributes[i].id == id) return &node->element.attributes[i];
  return nullptr;
}

html_node *hp_find_element_by_attribute(const html_tree *tree, u8 id, buffer value, u64 *start) {
  if (!tree || !tree->nodes) return nullptr;
  for (u64 i = start ? *start : 0; i < tree->node_count; i++) {
    html_node *n = &tree->nodes[i];
    if (n->type != html_node_element) continue;
    const html_node_attribute *at = hp_node_find_attribute(n, id);
    if (at && string_equal_bytes(at->value.data, at->value.used, value.data, value.used)) {
      if (start) *start = i;
      return n;
    }
  }
  return nullptr;
}

html_node *hp_find_element_by_tag(const html_tree *tree, u8 tag, u64 *start) {
  if (!tree || !tree->nodes) return nullptr;
  if (start) {
    for (u64 i = *start; i < tree->node_count; i++) {
      if (hp_node_is_element(&tree->nodes[i], tag)) {
        *start = i;
        return &tree->nodes[i];
      }
    }
    return nullptr;
  }
  for (u64 i = tree->node_count; i > 0; i--)
    if (hp_node_is_element(&tree->nodes[i - 1], tag)) return &tree->nodes[i - 1];
  return nullptr;
}

html_node *hp_find_element_by_id(const html_tree *tree, buffer id) {
  return hp_find_element_by_attribute(tree, html_attribute_id, id, nullptr);
}
