// An entry's HTML: parsed once per selection into the view state's HTML arena, then walked every
// frame into flows of text, links, headings and blocks for images, videos and frames.
#include "app/app.h"

#include "profiler/profiler.h"
#include "reader/url.h"
#include "ui/widgets.h"

// Tag ids the display acts on.
enum : u8 {
  html_display_tag_style = 7,
  html_display_tag_h1 = 13,
  html_display_tag_h6 = 18,
  html_display_tag_source = 70,
  html_display_tag_iframe = 72,
  html_display_tag_video = 76,
  html_display_tag_script = 110,
};

buffer buffer_push_grow(view_state *view, u64 n) {
  u64 room = buffer_free_bytes(view->html_arena);
  if (room < n) {
    u64 missing = n - room;
    u64 step = (missing + APP_HTML_COMMIT_STEP - 1) / APP_HTML_COMMIT_STEP * APP_HTML_COMMIT_STEP;
    u64 committed = view->html_reserve.used;
    if (step >= missing && view->html_reserve.size >= committed && view->html_reserve.size - committed >= step &&
        memory_commit(&view->html_reserve, step)) {
      view->html_arena.size += step;
    }
  }
  return buffer_carve(&view->html_arena, n, 1);
}

void ui_parse_entry_html(view_state *view, buffer html, int *err) {
  if (*err) return;
  view->html_arena.used = 0;
  view->html_tokens = html_tokens{};
  view->html_tree = html_tree{};
  view->html_traversal_memory = buffer{};

  // Store texts are UTF-8 already: a charset declaration inside the content must not re-decode it.
  buffer block = buffer_push_grow(view, hp_tokenizer_memory_size(html));
  hp_tokenizer(&view->html_tokens, &block, html, hp_option_input_is_utf8, err);
  if (*err) {
    view->html_tree = html_tree{};
    return;
  }
  buffer tree_block = buffer_push_grow(view, hp_tree_construction_memory_size(&view->html_tokens));
  hp_tree_construction(&view->html_tree, &tree_block, &view->html_tokens, 1, err);
  if (*err && *err != html_tree_construction_error_not_enough_memory) *err = 0;
  if (*err) {
    view->html_tree = html_tree{};
    return;
  }
  view->html_traversal_memory = buffer_push_grow(view, hp_tree_traversal_memory_size(view->html_tree.node_count));
}

namespace {
struct html_walk {
  reader *r;
  view_state *view;
  ui_context *ctx;
  ui_node *scroll;
  bool in_flow;
  bool in_raw;
  const html_node_attribute *open_link;
  buffer base;  // the entry's address, looked up at the first relative URL
  bool base_known;
};
}  // namespace

// Relative and protocol-relative URLs of the content read against the entry's address; the
// result lives in the frame's text arena.
static buffer walk_url(html_walk *w, buffer url) {
  if (url_has_scheme(url)) return url;
  if (!w->base_known) {
    w->base = reader_entry_base_url(w->r, w->view->selected_feed, w->view->selected_entry, &w->ctx->texts);
    w->base_known = true;
  }
  buffer resolved = url_resolve(w->base, url, &w->ctx->texts);
  return resolved.data ? resolved : url;
}

static void walk_space(ui_context *ctx, f32 pixels) { ui_space_y(ctx, ui_size_pixels_make(pixels)); }

static void walk_flow_open(html_walk *w) {
  if (w->in_flow) return;
  walk_space(w->ctx, 5);
  ui_flow_begin(w->ctx, 0, 0);
  w->in_flow = true;
}

static void walk_flow_close(html_walk *w, f32 space) {
  if (!w->in_flow) return;
  ui_flow_end(w->ctx);
  walk_space(w->ctx, space);
  w->in_flow = false;
}

// A piece of link text; every piece of one link shares the id, so a wrapped link acts as one.
static void walk_link(html_walk *w, ui_id id, buffer text, buffer target) {
  if (ui_link(w->ctx, id, text, false).clicked)
    reader_open_entry_link(w->r, w->view->selected_feed, walk_url(w, target));
}

static buffer attribute_value(const html_node *node, u8 id) {
  const html_node_attribute *a = hp_node_find_attribute(node, id);
  return a ? a->value : buffer{};
}

static void walk_video(html_walk *w, const html_node *video) {
  walk_space(w->ctx, 10);
  ui_flow_begin(w->ctx, 0, 0);
  ui_flow_text(w->ctx, string_lit("[video]"));
  if (w->open_link) {
    ui_flow_text(w->ctx, string_lit("\nLinks to "));
    walk_link(w, (ui_id)(uintptr_t)w->open_link, w->open_link->value, w->open_link->value);
  }
  for (u32 i = 0; i < video->element.child_count; i++) {
    const html_node *child = video->element.children[i];
    if (!hp_node_is_element(child, html_display_tag_source)) continue;
    buffer src = attribute_value(child, html_attribute_src);
    ui_flow_text(w->ctx, string_lit("\n[source]"));
    // A source without src has nothing to open: only its brackets show.
    if (src.used) walk_link(w, (ui_id)(uintptr_t)src.data, src, src);
    ui_flow_text(w->ctx, string_lit("[/source]\n"));
  }
  ui_flow_text(w->ctx, string_lit("[/video]"));
  ui_flow_end(w->ctx);
  walk_space(w->ctx, 10);
}

static void walk_element_start(html_walk *w, const html_node *node) {
  u8 tag = node->element.tag;
  bool block = !hp_tag_has_flag(tag, html_tag_flag_phrasing) || tag == html_tag_br || tag == html_tag_img ||
               tag == html_display_tag_video || tag == html_display_tag_iframe;
  if (block) walk_flow_close(w, 5);

  if (tag == html_tag_a) {
    const html_node_attribute *href = hp_node_find_attribute(node, html_attribute_href);
    w->open_link = href;
  } else if (tag == html_display_tag_style || tag == html_display_tag_script) {
    w->in_raw = true;
  } else if (tag >= html_display_tag_h1 && tag <= html_display_tag_h6) {
    walk_space(w->ctx, 10);
    ui_font_set(w->ctx, 2);
    ui_flow_begin(w->ctx, 0, 0);
    w->in_flow = true;
  } else if (tag == html_tag_img) {
    buffer src = attribute_value(node, html_attribute_src);
    const html_node_attribute *alt = hp_node_find_attribute(node, html_attribute_alt);
    buffer alt_text = alt ? alt->value : string_lit("No alternate description.");
    walk_space(w->ctx, 10);
    if (src.used) {
      buffer link = w->open_link ? walk_url(w, w->open_link->value) : buffer{};
      ui_image(w->ctx, w->view, w->scroll, (ui_id)(uintptr_t)node, walk_url(w, src), alt_text,
               w->open_link ? &link : nullptr, 1);
    } else {
      // Nothing to fetch: the alternative text alone stands for the image.
      ui_flow_begin(w->ctx, 0, 0);
      ui_flow_text(w->ctx, string_lit("[img]"));
      ui_flow_text(w->ctx, alt_text);
      ui_flow_text(w->ctx, string_lit("[/img]"));
      ui_flow_end(w->ctx);
    }
    walk_space(w->ctx, 10);
  } else if (tag == html_display_tag_video) {
    walk_video(w, node);
  } else if (tag == html_display_tag_iframe) {
    const html_node_attribute *src = hp_node_find_attribute(node, html_attribute_src);
    if (src && src->value.used) {
      walk_space(w->ctx, 10);
      ui_flow_begin(w->ctx, 0, 0);
      ui_flow_text(w->ctx, string_lit("[iframe]"));
      walk_link(w, (ui_id)(uintptr_t)src, src->value, src->value);
      ui_flow_text(w->ctx, string_lit("[/iframe]"));
      ui_flow_end(w->ctx);
      walk_space(w->ctx, 10);
    }
  }
}

static void walk_element_end(html_walk *w, const html_node *node) {
  u8 tag = node->element.tag;
  if (tag == html_tag_a) {
    w->open_link = nullptr;
  } else if (tag == html_display_tag_style || tag == html_display_tag_script) {
    w->in_raw = false;
  } else if (tag >= html_display_tag_h1 && tag <= html_display_tag_h6) {
    if (w->in_flow) ui_flow_end(w->ctx);
    w->in_flow = false;
    ui_font_set(w->ctx, 1);
    walk_space(w->ctx, 10);
  }
}

void ui_html(reader *r, view_state *view, ui_context *ctx, html_tree_traversal *traversal, ui_node *page_scroll) {
  PROFILE_ZONE(zone_ui_html);
  html_walk w = {r, view, ctx, page_scroll, false, false, nullptr, buffer{}, false};
  ui_font_set(ctx, 1);
  // The traversal is iterative and the nodes it makes are siblings in a few flows, so the depth
  // of the HTML never deepens the UI tree.
  while (hp_tree_traversal_has_next(traversal)) {
    html_node *node = hp_tree_traversal_get_node(traversal);
    bool start = hp_tree_traversal_is_node_start(traversal);
    if (node->type == html_node_text) {
      if (!w.in_raw && node->text.used) {
        walk_flow_open(&w);
        if (w.open_link) {
          walk_link(&w, (ui_id)(uintptr_t)w.open_link, node->text, w.open_link->value);
        } else {
          ui_flow_text(ctx, node->text);
        }
      }
    } else if (node->type == html_node_element) {
      if (start) {
        walk_element_start(&w, node);
      } else {
        walk_element_end(&w, node);
      }
    }
    hp_tree_traversal_advance(traversal);
  }
  walk_flow_close(&w, 5);
  ui_font_set(ctx, 1);
}
