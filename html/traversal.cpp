// Depth-first traversal without recursion (elements visited on the way down and again at their
// end), and the debug dumps of tokens and trees into the log.
#include <string.h>

#include "html/html.h"
#include "platform/log.h"
#include "profiler/profiler.h"

u64 hp_tree_traversal_memory_size(u64 capacity) { return 4 * capacity + 4; }

html_tree_traversal hp_tree_traversal_init(html_tree_traversal *out, buffer *arena, html_node *root, u64 capacity,
                                           int *err) {
  html_tree_traversal t = {};
  if (!*err) {
    t.index_stack = (u32 *)buffer_push_array_bytes(arena, 4, capacity, 4);
    if (!t.index_stack && capacity > 0) {
      *err = html_tree_traversal_error_not_enough_memory;
    } else {
      t.parent = root;
      t.capacity = t.index_stack ? capacity : 0;
    }
  }
  *out = t;
  return t;
}

int hp_tree_traversal_has_next(const html_tree_traversal *t) {
  if (!t->parent) return 0;
  return t->child_index < t->parent->element.child_count || t->parent->parent != nullptr;
}

html_node *hp_tree_traversal_get_node(const html_tree_traversal *t) {
  PROFILE_ZONE(zone_hp_tree_traversal_get_node);
  if (t->child_index < t->parent->element.child_count) return t->parent->element.children[t->child_index];
  return t->parent;
}

void hp_tree_traversal_advance(html_tree_traversal *t) {
  PROFILE_ZONE(zone_hp_tree_traversal_advance);
  if (!t->parent) return;
  if (t->child_index < t->parent->element.child_count) {
    html_node *n = t->parent->element.children[t->child_index];
    // A full stack (a capacity below the depth) skips the subtree rather than write past it.
    if (n->type == html_node_text || hp_tag_has_flag(n->element.tag, html_tag_flag_void) ||
        t->depth >= t->capacity) {
      t->child_index++;
      return;
    }
    t->index_stack[t->depth++] = (u32)t->child_index;
    t->parent = n;
    t->child_index = 0;
    return;
  }
  if (!t->parent->parent || t->depth == 0) return;
  t->parent = t->parent->parent;
  t->child_index = (u64)t->index_stack[--t->depth] + 1;
}

int hp_tree_traversal_is_node_start(const html_tree_traversal *t) {
  return t->child_index < t->parent->element.child_count;
}

int hp_tree_traversal_is_node_end(const html_tree_traversal *t) { return !hp_tree_traversal_is_node_start(t); }

// ---- Dumps -------------------------------------------------------------------------------

static void hp_log_cstr(const char *s) { log_append(s, strlen(s)); }
static void hp_log_string(buffer s) {
  if (s.used) log_append(s.data, s.used);
}

void hp_print_tokens(const html_tokens *tokens) {
  for (u64 i = 0; i < tokens->token_count; i++) {
    const html_token *t = &tokens->first_token[i];
    switch (t->type) {
    case html_token_doctype:
      hp_log_cstr("doctype legacy=");
      hp_log_cstr(t->string.size ? "true\n" : "false\n");
      break;
    case html_token_start_tag:
      hp_log_cstr("<");
      hp_log_string(t->string);
      hp_log_cstr(t->self_closing ? " self_closing=true" : " self_closing=false");
      for (u64 k = 0; k < t->attribute_count; k++) {
        hp_log_cstr(" ");
        hp_log_string(t->attributes[k].name);
        if (t->attributes[k].value.used) {
          hp_log_cstr("=\"");
          hp_log_string(t->attributes[k].value);
          hp_log_cstr("\"");
        }
      }
      hp_log_cstr("\n");
      break;
    case html_token_end_tag:
      hp_log_cstr("</ ");
      hp_log_string(t->string);
      hp_log_cstr("\n");
      break;
    case html_token_comment:
    case html_token_cdata:
    case html_token_text:
      hp_log_cstr(t->type == html_token_comment ? "comment: " : t->type == html_token_cdata ? "cdata: " : "text: ");
      hp_log_string(t->string);
      hp_log_cstr("\n");
      break;
    default: hp_log_cstr("token error\n"); break;
    }
  }
}

void hp_print_tree(const html_tree *tree) {
  if (!tree || !tree->nodes) return;
  // One stack entry per node is enough for any nesting the tree has.
  u64 capacity = tree->node_count;
  buffer block = memory_alloc(hp_tree_traversal_memory_size(capacity), nullptr);
  int err = 0;
  html_tree_traversal t;
  hp_tree_traversal_init(&t, &block, &tree->nodes[0], capacity, &err);
  if (err) {
    memory_free(&block);
    return;
  }
  u64 depth = 0;
  while (hp_tree_traversal_has_next(&t)) {
    html_node *n = hp_tree_traversal_get_node(&t);
    if (hp_tree_traversal_is_node_start(&t)) {
      log_indent(depth);
      if (n->type == html_node_text) {
        hp_log_cstr("text_node: ");
        hp_log_string(n->text);
        hp_log_cstr("\n");
      } else {
        hp_log_cstr(html_tag_names[n->element.tag]);
        for (u64 k = 0; k < n->element.attribute_count; k++) {
          const html_node_attribute *a = &n->element.attributes[k];
          hp_log_cstr(" ");
          hp_log_cstr(html_attribute_names[a->id]);
          hp_log_cstr("=\"");
          hp_log_string(a->value);
          hp_log_cstr("\"");
        }
        hp_log_cstr("\n");
        if (!hp_tag_has_flag(n->element.tag, html_tag_flag_void)) depth++;
      }
    } else {
      depth--;
      log_indent(depth);
      hp_log_cstr("/");
      hp_log_cstr(html_tag_names[n->element.tag]);
      hp_log_cstr("\n");
    }
    hp_tree_traversal_advance(&t);
  }
  memory_free(&block);
}
