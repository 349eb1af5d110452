// The entry pages of the right panel: title, information line, enclosure, and the content drawn
// from its HTML.
#include "app/app.h"

#include "core/float_text.h"
#include "platform/dates.h"
#include "platform/files.h"
#include "platform/log.h"
#include "profiler/profiler.h"
#include "reader/url.h"
#include "ui/widgets.h"

#define ENTRY_ENCLOSURE_LINK_ID 18
#define ENTRY_PAGE_SCROLL_ID 4
#define ENTRY_NAMES_BYTES 4096

static link_opener *entry_opener(reader *r, meta *m) {
  return m && m->opener ? m->opener : &r->link_openers[0];
}

// Parses the entry's HTML once per selection; every frame after that knows from the tree whether
// the parse succeeded.
static int entry_parse_once(view_state *v, buffer text, const char *what) {
  int err = 0;
  if (text.used && !v->html_parsed) {
    // Only the start and the size, appended as one line: an entry of megabytes opened again and
    // again would otherwise fill the log with copies of itself.
    u8 bytes[512];
    buffer line = buffer_make(sizeof bytes, 0, bytes);
    u64 n = text.used < 200 ? text.used : 200;
    if (n < text.used) {
      while (n > 0 && (text.data[n] & 0xC0) == 0x80) n--;  // not inside a character
    }
    buffer_push_bytes(&line, what, strlen(what));
    for (u64 i = 0; i < n; i++) {
      u8 c = text.data[i] < 0x20 || text.data[i] == 0x7f ? ' ' : text.data[i];
      buffer_push_bytes(&line, &c, 1);
    }
    if (n < text.used) buffer_push_bytes(&line, "\xE2\x80\xA6", 3);
    buffer_push_bytes(&line, " (", 2);
    buffer_push_unsigned(&line, text.used, 0, ' ', 0);
    buffer_push_bytes(&line, " bytes).\n", 9);
    log_append(line.data, line.used);
    ui_parse_entry_html(v, text, &err);
  }
  v->html_parsed = 1;
  if (v->html_tree.node_count == 0) err = 1;
  return err;
}

static html_tree_traversal entry_traversal(view_state *v, int *err) {
  html_tree_traversal t = {};
  v->html_traversal_memory.used = 0;
  hp_tree_traversal_init(&t, &v->html_traversal_memory, v->html_tree.nodes, v->html_tree.node_count, err);
  return t;
}

// The page's scroll view; returns its content, the current parent.
static ui_node *entry_page_begin(ui_context *ctx, view_state *v) {
  ui_node *content = ui_scrollable_begin(ctx, ENTRY_PAGE_SCROLL_ID, ui_size_parent_content_make(),
                                         ui_size_fill_make(), ui_node_flag_scroll_y);
  if (v->selection_changed) {
    content->scroll[0] = 0;
    content->scroll[1] = 0;
    v->selection_changed = 0;
  }
  content->flags |= ui_node_flag_stack_y | ui_node_flag_padding;
  // The flows inside wrap at the content's width, so it cannot be sized by them in turn.
  content->size_x = ui_size_parent_make();
  content->style = style_page;
  return content;
}

static void entry_title(ui_context *ctx, buffer title) {
  ui_font_set(ctx, 2);
  ui_flow_begin(ctx, style_entry_header, ui_node_flag_padding);
  ui_flow_text(ctx, title);
  ui_flow_end(ctx);
  ui_font_set(ctx, 0);
}

struct entry_page {
  meta *m;
  buffer label;  // of the article link, by the feed's opener
  int err;       // the HTML did not parse: the content is shown as text
  html_tree_traversal t;
  ui_node *scroll;
};

static void entry_content(app *a, reader *r, entry_page *p, buffer text) {
  ui_context *ctx = a->ui;
  ui_space_y(ctx, ui_size_pixels_make(10));
  if (p->err) {
    ui_flow_begin(ctx, 0, 0);
    ui_flow_text(ctx, text);
    ui_flow_end(ctx);
  } else {
    ui_html(r, a->view, ctx, &p->t, p->scroll);
  }
}

// The file name of an enclosure URL: after the last '/', up to the first '?' after it.
static buffer enclosure_file_name(buffer url) {
  u64 slash = url.used;
  for (u64 i = 0; i < url.used; i++) {
    if (url.data[i] == '/') slash = i;
  }
  if (slash == url.used) return url;
  buffer name = string_from_bytes(url.data + slash + 1, url.used - slash - 1);
  for (u64 i = 0; i < name.used; i++) {
    if (name.data[i] == '?') {
      name.used = i;
      break;
    }
  }
  return name;
}

static bool enclosure_is_image(buffer url) {
  buffer ext = path_extension(url.data, url.used);
  return string_equal(ext, string_lit("png")) || string_equal(ext, string_lit("jpg")) ||
         string_equal(ext, string_lit("jpeg"));
}

static void article_link(app *a, reader *r, feed *f, entry *e, ui_id id, buffer label) {
  if (ui_link(a->ui, id, label, false).clicked) reader_open_entry_article(a, r, f, e);
}

// The selected entry when it is of the given type and has its feed; null otherwise.
static entry *entry_selected(view_state *v, u32 type, feed **f) {
  entry *e = v->selected_entry;
  *f = v->selected_feed;
  invariant(e && e->id && entry_get_type(e) == type && *f);
  return e && *f ? e : nullptr;
}

// Parses the entry's HTML (once per selection), opens the page and draws its title.
static entry_page entry_page_open(app *a, reader *r, feed *f, buffer text, const char *what, buffer title) {
  view_state *v = a->view;
  entry_page p = {};
  p.m = reader_get_meta(r, f->id);
  link_opener *opener = entry_opener(r, p.m);
  p.err = entry_parse_once(v, text, what);
  p.label = opener->queue_mode ? string_lit("Queue article") : string_lit("Open article");
  p.t = entry_traversal(v, &p.err);
  p.scroll = entry_page_begin(a->ui, v)->parent;
  entry_title(a->ui, title);
  return p;
}

void view_rss_entry(app *a, reader *r) {
  PROFILE_ZONE(zone_view_rss_entry);
  view_state *v = a->view;
  ui_context *ctx = a->ui;
  feed *f = nullptr;
  entry *e = entry_selected(v, feed_type_rss, &f);
  if (!e) return;

  buffer *article_field = reader_rss_article_field(e);
  buffer article = *article_field;
  // Feeds wrap titles and names in the line breaks and indentation of their markup, which a flow
  // would draw as a blank line above the title or a break inside the information line.
  buffer author = string_trim_space(e->rss.author);
  // The texts live until the frame arena is emptied after rendering.
  buffer date_text = date_to_string(e->rss.pubDate, &a->frame_arena, 0, string_lit(" - "));
  buffer size_text = byte_size_to_string((u64)(e->rss.enclosure_length > 0 ? e->rss.enclosure_length : 0),
                                         &a->frame_arena);

  entry_page p =
      entry_page_open(a, r, f, e->rss.description, "Parsing RSS entry HTML: ", string_trim_space(e->rss.title));

  if (date_text.used || author.used || article.used) {
    ui_space_y(ctx, ui_size_pixels_make(5));
    ui_flow_begin(ctx, style_entry_header, ui_node_flag_padding);
    ui_flow_text(ctx, date_text);
    if (author.used) {
      if (date_text.used) ui_flow_text(ctx, string_lit(" - "));
      ui_flow_text(ctx, author);
    }
    if (article.used) {
      if (date_text.used || author.used) ui_flow_text(ctx, string_lit(" - "));
      article_link(a, r, f, e, (ui_id)(uintptr_t)article_field, p.label);
    }
    ui_flow_end(ctx);
  }

  u32 flags = p.m ? p.m->flags : 0;
  if (e->rss.enclosure_url.used && !(flags & meta_flag_hide_enclosure)) {
    ui_space_y(ctx, ui_size_pixels_make(5));
    ui_flow_begin(ctx, style_entry_header, ui_node_flag_padding);
    ui_link(ctx, ENTRY_ENCLOSURE_LINK_ID, enclosure_file_name(e->rss.enclosure_url), false);
    ui_flow_text(ctx, string_lit(" - "));
    ui_flow_text(ctx, size_text);
    ui_flow_end(ctx);
  }

  ui_font_set(ctx, 1);
  if (e->rss.description.used) entry_content(a, r, &p, e->rss.description);

  if (e->rss.enclosure_url.used && (flags & meta_flag_draw_enclosure_image) && enclosure_is_image(e->rss.enclosure_url)) {
    ui_space_y(ctx, ui_size_pixels_make(10));
    ui_image(ctx, v, p.scroll, (ui_id)(uintptr_t)&e->rss.enclosure_url, e->rss.enclosure_url, e->rss.enclosure_url,
             &e->rss.enclosure_url, 1);
  }
  ui_scrollable_end(ctx);
}

static bool feed_is_video_site(const feed *f) {
  return string_starts_with(f->url, string_lit("https://" FETCH_VIDEO_SITE_HOST "/feeds/videos.xml?"));
}

// Appends ", " and the name, trimmed, to the list, as far as the list's bytes go; a blank name adds
// nothing.
static void names_append(buffer *list, buffer name) {
  name = string_trim_space(name);
  if (!name.used) return;
  if (list->used) buffer_push_bytes(list, ", ", 2);
  u64 n = name.used < buffer_free_bytes(*list) ? name.used : buffer_free_bytes(*list);
  buffer_push_bytes(list, name.data, n);
}

// The entry's authors and contributors, from the links it owns (not a walk of the link pool), in
// link order, until as many as the entry counts have been seen.
static void entry_people(app *a, reader *r, entry *e, buffer *authors, buffer *contributors) {
  u32 wanted = e->atom.author_count + e->atom.contributor_count;
  if (!wanted) return;
  buffer_mark mark = buffer_mark_begin(&a->frame_arena);
  u32 room = wanted + e->atom.category_count;
  struct link **owned = (struct link **)buffer_push_array_bytes(&a->frame_arena, sizeof(struct link *), room, 8);
  u32 n = owned ? reader_owned_links(r, e->id, false, owned, room) : 0;
  if (n > room) {
    // More links than the counts say (a damaged store): all of them, as the walk would see.
    buffer_mark_rollback(&mark);
    room = n;
    owned = (struct link **)buffer_push_array_bytes(&a->frame_arena, sizeof(struct link *), room, 8);
    n = owned ? reader_owned_links(r, e->id, false, owned, room) : 0;
    if (n > room) n = room;
  }
  u32 seen = 0;
  for (u32 i = 0; i < n && seen < wanted; i++) {
    struct link *l = owned[i];
    if (l->kind != link_kind_atom_entry_author && l->kind != link_kind_atom_entry_contributor) continue;
    seen++;
    person *p = reader_find_person(r, l->target_id);
    if (!p) continue;  // a damaged file: the name is missing, the page still shows
    names_append(l->kind == link_kind_atom_entry_author ? authors : contributors, p->name);
  }
  // The list of links is not needed past here; the names carved before it stay.
  buffer_mark_rollback(&mark);
}

void view_atom_entry(app *a, reader *r) {
  PROFILE_ZONE(zone_view_atom_entry);
  view_state *v = a->view;
  ui_context *ctx = a->ui;
  feed *f = nullptr;
  entry *e = entry_selected(v, feed_type_atom, &f);
  if (!e) return;

  bool video = feed_is_video_site(f);
  buffer title = string_trim_space(e->atom.title);
  buffer article = reader_find_atom_link_href(r, e->id, e->atom.atom_link_count, atom_link_owner_entry,
                                              atom_link_rel_alternate);
  buffer text = video ? e->atom.content : (e->atom.summary.used ? e->atom.summary : e->atom.content);

  buffer authors = buffer_carve(&a->frame_arena, ENTRY_NAMES_BYTES, 1);
  buffer contributors = buffer_carve(&a->frame_arena, ENTRY_NAMES_BYTES, 1);
  entry_people(a, r, e, &authors, &contributors);
  buffer date_text = date_to_string(e->atom.updated, &a->frame_arena, 0, string_lit(" - "));

  entry_page p = entry_page_open(a, r, f, text, "Parsing Atom entry HTML: ", title);

  if (date_text.used || authors.used || contributors.used || article.used) {
    ui_space_y(ctx, ui_size_pixels_make(5));
    ui_flow_begin(ctx, style_entry_header, ui_node_flag_padding);
    ui_flow_text(ctx, date_text);
    if (authors.used) {
      if (date_text.used) ui_flow_text(ctx, string_lit(" - "));
      ui_flow_text(ctx, authors);
    }
    if (contributors.used) {
      if (date_text.used || authors.used) ui_flow_text(ctx, authors.used ? string_lit(" ") : string_lit(" - "));
      ui_flow_text(ctx, e->atom.contributor_count < 2 ? string_lit("Contributor: ") : string_lit("Contributors: "));
      ui_flow_text(ctx, contributors);
    }
    if (article.used) {
      if (date_text.used || authors.used || contributors.used) ui_flow_text(ctx, string_lit(" - "));
      article_link(a, r, f, e, (ui_id)(uintptr_t)article.data, p.label);
    }
    ui_flow_end(ctx);
  }

  ui_font_set(ctx, 1);
  if (e->atom.summary.used && video) {
    ui_space_y(ctx, ui_size_pixels_make(10));
    ui_image(ctx, v, p.scroll, (ui_id)(uintptr_t)&e->atom.summary, e->atom.summary, e->atom.summary, &e->atom.summary, 1);
    ui_space_y(ctx, ui_size_pixels_make(10));
    if (text.used) {
      ui_flow_begin(ctx, 0, 0);
      ui_flow_text(ctx, text);
      ui_flow_end(ctx);
    }
  } else if (text.used) {
    entry_content(a, r, &p, text);
  }
  ui_scrollable_end(ctx);
}
