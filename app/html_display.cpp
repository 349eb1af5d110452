// An entry's HTML: parsed once per selection into the view state's HTML arena, then walked every
// frame into flows of text, links, headings and blocks for images, videos and frames.
#include "app/html_blocks.h"

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
  arena_make_room(&view->html_reserve, &view->html_arena, n, 1);
  return buffer_carve(&view->html_arena, n, 1);
}

// Each parse gets a serial, so the block heights measured for one entry never serve another
// whose tree happens to lie at the same address.
static u64 html_parse_serial;

// An entry too large for the reservation shows its raw text; the log says why, once.
static void html_reserve_report() {
  static bool reported = false;
  if (reported) return;
  reported = true;
  log_append_string(string_lit("Entry HTML: the entry is too large for the HTML arena's reservation; its raw text is shown.\n"));
}

void ui_parse_entry_html(view_state *view, buffer html, int *err) {
  if (*err) return;
  html_parse_serial++;
  view->html_arena.used = 0;
  view->html_tokens = html_tokens{};
  view->html_tree = html_tree{};
  view->html_traversal_memory = buffer{};

  // Store texts are UTF-8 already: a charset declaration inside the content must not re-decode it.
  buffer block = buffer_push_grow(view, hp_tokenizer_memory_size(html));
  hp_tokenizer(&view->html_tokens, &block, html, hp_option_input_is_utf8, err);
  if (*err == html_tokenizer_error_not_enough_memory) html_reserve_report();
  if (*err) {
    view->html_tree = html_tree{};
    return;
  }
  buffer tree_block = buffer_push_grow(view, hp_tree_construction_memory_size(&view->html_tokens));
  hp_tree_construction(&view->html_tree, &tree_block, &view->html_tokens, 1, err);
  if (*err && *err != html_tree_construction_error_not_enough_memory) *err = 0;
  if (*err) html_reserve_report();
  if (*err) {
    view->html_tree = html_tree{};
    return;
  }
  view->html_traversal_memory = buffer_push_grow(view, hp_tree_traversal_memory_size(view->html_tree.node_count));
}

// ---- Blocks ------------------------------------------------------------------------------
// The walk's output is a column of blocks: spaces, flows and images. A block whose height was
// measured in an earlier frame (at the same width) and that lies outside the visible range plus
// a margin is not built; runs of such blocks become one spacer of their height, so the page
// keeps its full height and scrollbar while a frame builds only what is on screen. A block of
// unknown height is always built, and measured from its nodes in the next frame.

namespace {
struct html_walk {
  reader *r;
  view_state *view;
  ui_context *ctx;
  ui_node *scroll;
  bool in_flow;
  bool in_raw;
  // The end of a block closed the flow, and nothing has begun a line since: the space the markup
  // leaves between two blocks ("</p>\n<p>") is not a line of its own.
  bool block_ended;
  const html_node_attribute *open_link;
  // The column of blocks: the next block's number and top, the visible range, and the height of
  // the blocks skipped since the last built one.
  html_block_cache *cache;  // null: every block is built
  ui_node *column;
  u32 block;
  f32 y;
  f32 top, bottom;
  f32 pending;
  bool skipping;  // the open flow is not built
  ui_node *block_before;
  u32 unknown_seen;  // blocks of unknown height so far
  u32 unknown_built;  // of them, those built
  buffer base;  // the entry's address, looked up at the first relative URL
  bool base_known;
};
}  // namespace

// Relative and protocol-relative URLs of the content read against the entry's address; the
// result lives in the frame's text arena.
static buffer walk_url(html_walk *w, buffer url) {
  if (url_has_scheme(url)) return url;
  // The resolvers write into the text arena as a plain buffer, so the room they may need is made
  // first; the arena grows only through its own push.
  u64 used = w->ctx->texts.used;
  if (!ui_text_push(w->ctx, 2 * url.used + KiB(64), 1)) return url;
  w->ctx->texts.used = used;
  if (!w->base_known) {
    w->base = reader_entry_base_url(w->r, w->view->selected_feed, w->view->selected_entry, &w->ctx->texts);
    w->base_known = true;
  }
  buffer resolved = url_resolve(w->base, url, &w->ctx->texts);
  return resolved.data ? resolved : url;
}

// The height a block had when last measured, or -1.
static f32 block_known_height(html_walk *w, u32 k) {
  if (!w->cache || k >= w->cache->capacity) return -1;
  return w->cache->heights[k];
}

// Blocks of unknown height one frame builds outside the visible range. An entry opens with no
// height known; without a bound its first frame would build every block of a table of 50,000
// rows at once. The rest stand in at the mean height and are measured in the frames after.
#define HTML_UNKNOWN_BUILT_MAX 10000

// Starts block k: true when it is built. A skipped block adds its height to the spacer.
static bool block_begin(html_walk *w) {
  u32 k = w->block++;
  f32 h = block_known_height(w, k);
  f32 y0 = w->y;
  if (h >= 0) w->y += h;
  else w->unknown_seen++;
  if (h >= 0 && (w->y <= w->top || y0 >= w->bottom)) {
    w->pending += h;
    return false;
  }
  bool in_range = w->top > -1e29f && y0 < w->bottom && y0 >= w->top;
  if (h < 0 && w->cache && !in_range && w->unknown_built >= HTML_UNKNOWN_BUILT_MAX) {
    html_block_cache *c = w->cache;
    f32 mean = c->known_count ? c->total / (f32)c->known_count : 20;
    w->y += mean;
    w->pending += mean;
    w->view->another_frame = 1;  // measured in the next frames
    // Without a visible range yet (the opening frame) the rest of the page waits as well.
    if (w->top <= -1e29f && w->bottom > y0) w->bottom = y0;
    return false;
  }
  if (h < 0) w->unknown_built++;
  if (w->pending > 0) {
    ui_space_y(w->ctx, ui_size_pixels_make(w->pending));
    w->pending = 0;
  }
  w->block_before = w->column ? w->column->last_child : nullptr;
  return true;
}

// Ends a built block: its top-level nodes are remembered, to be measured next frame.
static void block_end(html_walk *w) {
  html_block_cache *c = w->cache;
  if (!c || !w->column || w->block == 0 || c->built_count >= c->capacity) return;
  ui_node *first = w->block_before ? w->block_before->next : w->column->first_child;
  if (!first) return;
  c->built[c->built_count] = w->block - 1;
  c->built_first[c->built_count] = first;
  c->built_last[c->built_count] = w->column->last_child;
  c->built_count++;
}

static void walk_space(html_walk *w, f32 pixels) {
  u32 k = w->block;
  if (w->cache) html_blocks_height_set(w->cache, k, pixels);  // known without measuring
  if (block_begin(w)) ui_space_y(w->ctx, ui_size_pixels_make(pixels));
}

// A flow as one block; inside a skipped flow its texts and links are dropped.
static void walk_flow_begin(html_walk *w) {
  w->skipping = !block_begin(w);
  if (!w->skipping) ui_flow_begin(w->ctx, 0, 0);
}

static void walk_flow_end(html_walk *w) {
  if (!w->skipping) {
    ui_flow_end(w->ctx);
    block_end(w);
  }
  w->skipping = false;
}

static void walk_flow_text(html_walk *w, buffer text) {
  if (!w->skipping) ui_flow_text(w->ctx, text);
}

static void walk_flow_open(html_walk *w) {
  if (w->in_flow) return;
  walk_space(w, 5);
  walk_flow_begin(w);
  w->in_flow = true;
  w->block_ended = false;
}

static void walk_flow_close(html_walk *w, f32 space) {
  if (!w->in_flow) return;
  walk_flow_end(w);
  walk_space(w, space);
  w->in_flow = false;
}

// A piece of link text; every piece of one link shares the id, so a wrapped link acts as one.
static void walk_link(html_walk *w, ui_id id, buffer text, buffer target) {
  if (w->skipping) return;
  if (ui_link(w->ctx, id, text, false).clicked)
    reader_open_entry_link(w->r, w->view->selected_feed, walk_url(w, target));
}

static buffer attribute_value(const html_node *node, u8 id) {
  const html_node_attribute *a = hp_node_find_attribute(node, id);
  return a ? a->value : buffer{};
}

static void walk_video(html_walk *w, const html_node *video) {
  walk_space(w, 10);
  walk_flow_begin(w);
  walk_flow_text(w, string_lit("[video]"));
  if (w->open_link) {
    walk_flow_text(w, string_lit("\nLinks to "));
    walk_link(w, (ui_id)(uintptr_t)w->open_link, w->open_link->value, w->open_link->value);
  }
  for (u32 i = 0; i < video->element.child_count; i++) {
    const html_node *child = video->element.children[i];
    if (!hp_node_is_element(child, html_display_tag_source)) continue;
    buffer src = attribute_value(child, html_attribute_src);
    walk_flow_text(w, string_lit("\n[source]"));
    // A source without src has nothing to open: only its brackets show.
    if (src.used) walk_link(w, (ui_id)(uintptr_t)src.data, src, src);
    walk_flow_text(w, string_lit("[/source]\n"));
  }
  walk_flow_text(w, string_lit("[/video]"));
  walk_flow_end(w);
  walk_space(w, 10);
}

static void walk_element_start(html_walk *w, const html_node *node) {
  u8 tag = node->element.tag;
  bool block = !hp_tag_has_flag(tag, html_tag_flag_phrasing) || tag == html_tag_br || tag == html_tag_img ||
               tag == html_display_tag_video || tag == html_display_tag_iframe;
  if (block) {
    walk_flow_close(w, 5);
    w->block_ended = false;
  }

  if (tag == html_tag_a) {
    const html_node_attribute *href = hp_node_find_attribute(node, html_attribute_href);
    w->open_link = href;
  } else if (tag == html_display_tag_style || tag == html_display_tag_script) {
    w->in_raw = true;
  } else if (tag >= html_display_tag_h1 && tag <= html_display_tag_h6) {
    walk_space(w, 10);
    ui_font_set(w->ctx, 2);
    walk_flow_begin(w);
    w->in_flow = true;
  } else if (tag == html_tag_img) {
    buffer src = attribute_value(node, html_attribute_src);
    const html_node_attribute *alt = hp_node_find_attribute(node, html_attribute_alt);
    buffer alt_text = alt ? alt->value : string_lit("No alternate description.");
    walk_space(w, 10);
    if (src.used) {
      // An image off screen is neither built nor requested. A block of unknown height is built
      // even off screen, so the image is only looked up here: it is requested once its status
      // was drawn on screen in the previous frame.
      if (block_begin(w)) {
        buffer link = w->open_link ? walk_url(w, w->open_link->value) : buffer{};
        ui_image(w->ctx, w->view, w->scroll, (ui_id)(uintptr_t)node, walk_url(w, src), alt_text,
                 w->open_link ? &link : nullptr, 0);
        block_end(w);
      }
    } else {
      // Nothing to fetch: the alternative text alone stands for the image.
      walk_flow_begin(w);
      walk_flow_text(w, string_lit("[img]"));
      walk_flow_text(w, alt_text);
      walk_flow_text(w, string_lit("[/img]"));
      walk_flow_end(w);
    }
    walk_space(w, 10);
  } else if (tag == html_display_tag_video) {
    walk_video(w, node);
  } else if (tag == html_display_tag_iframe) {
    const html_node_attribute *src = hp_node_find_attribute(node, html_attribute_src);
    if (src && src->value.used) {
      walk_space(w, 10);
      walk_flow_begin(w);
      walk_flow_text(w, string_lit("[iframe]"));
      walk_link(w, (ui_id)(uintptr_t)src, src->value, src->value);
      walk_flow_text(w, string_lit("[/iframe]"));
      walk_flow_end(w);
      walk_space(w, 10);
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
    if (w->in_flow) walk_flow_end(w);
    w->in_flow = false;
    ui_font_set(w->ctx, 1);
    walk_space(w, 10);
  } else if (!hp_tag_has_flag(tag, html_tag_flag_phrasing) && w->in_flow) {
    // A block's end ends its line as its start does: "</li></ul><strong>To apply:" puts
    // "To apply:" on a line of its own.
    walk_flow_close(w, 5);
    w->block_ended = true;
  }
}

static bool text_is_spaces(buffer text) {
  for (u64 i = 0; i < text.used; i++)
    if (text.data[i] != ' ') return false;
  return true;
}

static void resume_save(html_walk *w, const html_tree_traversal *t) {
  html_block_cache *c = w->cache;
  if (t->depth > HTML_RESUME_DEPTH) return;
  c->resume_valid = true;
  c->resume_block = w->block;
  c->resume_y = w->y;
  c->resume_font = w->ctx->font;
  c->resume_in_raw = w->in_raw;
  c->resume_block_ended = w->block_ended;
  c->resume_open_link = w->open_link;
  c->resume_parent = t->parent;
  c->resume_child_index = t->child_index;
  c->resume_depth = t->depth;
  memory_copy(c->resume_stack, t->index_stack, t->depth * sizeof(u32));
  c->first_changed = 0xFFFFFFFFu;
}

// Skips the blocks before the saved place: they are one spacer of its height.
static bool resume_load(html_walk *w, html_tree_traversal *t) {
  html_block_cache *c = w->cache;
  if (!c->resume_valid || c->first_changed < c->resume_block || c->resume_y > w->top) return false;
  if (c->resume_depth > t->capacity) return false;
  memory_copy(t->index_stack, c->resume_stack, c->resume_depth * sizeof(u32));
  t->depth = c->resume_depth;
  t->parent = c->resume_parent;
  t->child_index = c->resume_child_index;
  w->block = c->resume_block;
  w->y = c->resume_y;
  w->pending = c->resume_y;
  w->in_raw = c->resume_in_raw;
  w->block_ended = c->resume_block_ended;
  w->open_link = c->resume_open_link;
  ui_font_set(w->ctx, c->resume_font);
  return true;
}

void ui_html(reader *r, view_state *view, ui_context *ctx, html_tree_traversal *traversal, ui_node *page_scroll) {
  PROFILE_ZONE(zone_ui_html);
  html_walk w = {};
  w.r = r;
  w.view = view;
  w.ctx = ctx;
  w.scroll = page_scroll;
  w.top = -1e30f;
  w.bottom = 1e30f;
  ui_font_set(ctx, 1);

  // One column for all blocks; last frame's column tells where it sat in the scrolled content.
  ui_id column_id = (ui_id)(uintptr_t)&html_blocks;
  ui_node *previous_column = ui_find_previous(ctx, column_id);
  w.column = ui_node_create(ctx, column_id, ui_size_parent_content_make(), ui_size_children_make(), ui_node_flag_stack_y);
  ui_node_set_tag(w.column, string_lit("html"));
  ui_parent_push(ctx, w.column);
  w.cache = html_blocks_of(view, html_parse_serial);
  if (w.cache) {
    html_blocks_measure(w.cache, ctx, previous_column ? previous_column->size[0] : -1);
    w.cache->frame = ctx->frame_count;
    ui_node *view_node = nullptr;
    for (ui_node *p = w.column->parent; p; p = p->parent) {
      if (p->flags & ui_node_flag_scroll_y) {
        view_node = p;
        break;
      }
    }
    ui_node *content = view_node ? view_node->first_child : nullptr;
    ui_node *shown_view = view_node ? ui_find_previous(ctx, view_node->id) : nullptr;
    ui_node *shown_content = content ? ui_find_previous(ctx, content->id) : nullptr;
    if (previous_column && shown_view && shown_content) {
      // The column's top within the content does not move with the scroll.
      f32 column_top = shown_content->rect.y1 - previous_column->rect.y1;
      f32 view_height = shown_view->size[1];
      f32 most = shown_content->size[1] - view_height;
      f32 at = content->scroll[1];
      if (at > most) at = most;
      if (at < 0) at = 0;
      f32 margin = app_visible_margin(view_height);
      w.top = at - column_top - margin;
      w.bottom = at - column_top + view_height + margin;
    }
  }

  if (w.cache && w.top > -1e29f) resume_load(&w, traversal);
  bool complete = true;
  // The traversal is iterative and the nodes it makes are siblings in a few flows, so the depth
  // of the HTML never deepens the UI tree.
  while (hp_tree_traversal_has_next(traversal)) {
    if (w.cache && !w.in_flow) {
      html_block_cache *c = w.cache;
      if (w.y <= w.top) {
        // Only a place after blocks that are all measured: a skipped one of unknown height would
        // be lost from the page.
        if (w.unknown_seen == 0) resume_save(&w, traversal);
      } else if (w.y >= w.bottom && c->block_count && c->known_count == c->block_count) {
        // Past the visible range with every height known: the rest adds up without a walk.
        w.pending += c->total - w.y;
        complete = false;
        break;
      }
    }
    html_node *node = hp_tree_traversal_get_node(traversal);
    bool start = hp_tree_traversal_is_node_start(traversal);
    if (node->type == html_node_text) {
      if (!w.in_raw && node->text.used && !(w.block_ended && text_is_spaces(node->text))) {
        walk_flow_open(&w);
        if (w.open_link) {
          walk_link(&w, (ui_id)(uintptr_t)w.open_link, node->text, w.open_link->value);
        } else {
          walk_flow_text(&w, node->text);
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
  if (complete) {
    walk_flow_close(&w, 5);
    if (w.cache) w.cache->block_count = w.block;
  }
  if (w.pending > 0) ui_space_y(ctx, ui_size_pixels_make(w.pending));
  ui_parent_pop(ctx);
  ui_font_set(ctx, 1);
}
