// Atom: the feed's elements, its entries, and the readers of text constructs, persons,
// categories and links. The video site's channel feeds are Atom with "media:group" and count an
// entry as new by its publication.
#include "reader/feed_parse_internal.h"

static bool atom_name_is(const xml_node *n, const char *name) {
  return xml_is_element(n, string_from_bytes(name, string_length(name)));
}

static bool atom_value_is(buffer value, const char *text) {
  return string_equal(value, string_from_bytes(text, string_length(text)));
}

// ---- Element readers ---------------------------------------------------------------------

// Calls visit on every node below the element in document order, walking parent links so that a
// deep tree costs no stack.
template <class F>
static void atom_each_below(const xml_node *element, F visit) {
  const xml_node *n = element->first_child;
  while (n) {
    visit(n);
    if (n->type == xml_node_type_element && n->first_child) {
      n = n->first_child;
      continue;
    }
    while (n && n != element && !n->next) n = n->parent;
    n = n && n != element ? n->next : nullptr;
  }
}

// Bytes the serialiser can write for the subtree below the element at most: every text byte may
// become a five-byte reference, names appear twice, each attribute adds its quotes and spaces.
static u64 atom_serialised_bound(const xml_node *element) {
  u64 bound = 0;
  atom_each_below(element, [&](const xml_node *n) {
    if (n->type == xml_node_type_element) {
      bound += 2 * n->name.used + 6;
      for (const xml_node *a = n->first_attribute; a; a = a->next) bound += a->name.used + 4 + 5 * a->value.used;
    } else {
      bound += 5 * n->text.used + 12;
    }
  });
  return bound;
}

// The text of the markup below the element, for a field drawn as plain text: its character
// data in document order without the elements around it, what the feed escaped as the
// character itself. False when it does not fit in the scratch arena.
static bool atom_text_below(buffer *scratch, const xml_node *element, buffer *out) {
  u64 need = 0;
  atom_each_below(element, [&](const xml_node *n) { need += xml_node_is_text(n) ? n->text.used : 0; });
  u8 *p = (u8 *)buffer_push(scratch, need, 1);
  if (!p && need) return false;
  *out = string_from_bytes(p, need);
  atom_each_below(element, [&](const xml_node *n) {
    if (!xml_node_is_text(n) || !n->text.used) return;
    memory_copy(p, n->text.data, n->text.used);
    p += n->text.used;
  });
  return true;
}

// Plain text for a field shown as HTML: the three characters that open or close markup are
// written as references, so the text shows as written.
static bool atom_escape_text(buffer *scratch, buffer text, buffer *out) {
  u64 need = text.used;
  for (u64 i = 0; i < text.used; ++i) {
    u8 b = text.data[i];
    need += b == '&' ? 4 : (b == '<' || b == '>') ? 3 : 0;
  }
  if (need == text.used) {
    *out = text;
    return true;
  }
  u8 *p = (u8 *)buffer_push(scratch, need, 1);
  if (!p) return false;
  *out = string_from_bytes(p, need);
  for (u64 i = 0; i < text.used; ++i) {
    u8 b = text.data[i];
    const char *reference = b == '&' ? "&amp;" : b == '<' ? "&lt;" : b == '>' ? "&gt;" : nullptr;
    if (!reference) {
      *p++ = b;
      continue;
    }
    for (const char *q = reference; *q; ++q) *p++ = (u8)*q;
  }
  return true;
}

// Said unless quiet; *too_long (when given) tells the caller that only the room was missing.
static void atom_too_long(bool quiet, bool *too_long) {
  if (!quiet) log_append_string(string_lit("Feed error: A text is too long for the parser's scratch memory; it is left out.\n"));
  if (too_long) *too_long = true;
}

// The text the construct gives its field, gathered in the scratch arena as needed. False when it
// gives none: a type that is no text construct, xhtml without its div, a text too long for the
// scratch memory (each logged unless quiet).
static bool atom_text_construct_value(buffer *scratch, const xml_node *element, u32 flags, bool quiet, buffer *out,
                                      bool *too_long = nullptr) {
  buffer type = feed_attribute(element, "type");
  *out = buffer{};
  if (atom_value_is(type, "xhtml")) {
    xml_node *div = xml_first_child_element(element);
    if (!atom_name_is(div, "div")) {
      if (!quiet) log_append_string(string_lit("atom: Expected <div> in text construct.\n"));
      return false;
    }
    if (!(flags & atom_text_html_field)) {
      if (atom_text_below(scratch, div, out)) return true;
      atom_too_long(quiet, too_long);
      return false;
    }
    if (atom_serialised_bound(div) > buffer_free_bytes(*scratch)) {
      atom_too_long(quiet, too_long);
      return false;
    }
    // The serialiser escapes text and attribute values again, so what the feed escaped stays
    // text in the entry view.
    buffer markup = xml_write_node(div, 0, scratch);
    *out = string_from_bytes(markup.data, markup.used);
    return true;
  }
  if (type.used == 0 || atom_value_is(type, "text") || atom_value_is(type, "html")) {
    if (!feed_node_text(scratch, element, out, quiet)) {
      if (too_long) *too_long = true;  // feed_node_text has said so
      return false;
    }
    bool plain = !atom_value_is(type, "html");
    if (plain && (flags & atom_text_html_field) && !atom_escape_text(scratch, *out, out)) {
      atom_too_long(quiet, too_long);
      return false;
    }
    return true;
  }
  if (!quiet) log_append_string(string_lit("atom: Not a text construct.\n"));
  return false;
}

bool atom_parse_text_construct(reader *r, buffer *scratch, buffer *field, const xml_node *element, u32 flags) {
  buffer_mark mark = buffer_mark_begin(scratch);
  buffer text = {};
  bool ok = true;
  if (atom_text_construct_value(scratch, element, flags, false, &text) &&
      (!(flags & atom_text_keep_filled) || feed_text_replaces(*field, text)))
    ok = feed_set_string(r, field, text);
  buffer_mark_rollback(&mark);
  return ok;
}

person atom_parse_person(const xml_node *element, buffer *scratch) {
  person p = {};
  if (!atom_name_is(element, "author") && !atom_name_is(element, "contributor")) return p;
  for (xml_node *n = xml_first_child_element(element); n; n = xml_next_sibling_element(n)) {
    buffer *field = atom_name_is(n, "name") ? &p.name : atom_name_is(n, "uri") ? &p.uri
                  : atom_name_is(n, "email") ? &p.email : nullptr;
    if (field) feed_node_text(scratch, n, field);
  }
  return p;
}

category atom_parse_category(const xml_node *element) {
  category k = {};
  if (!atom_name_is(element, "category")) return k;
  k.term = feed_attribute(element, "term");
  k.scheme = feed_attribute(element, "scheme");
  k.label = feed_attribute(element, "label");
  return k;
}

// Relations may also be written as full IRIs in the registry's namespace.
static u32 atom_link_rel_from_text(buffer rel) {
  buffer registry = string_lit("http://www.iana.org/assignments/relation/");
  if (string_starts_with(rel, registry)) rel = string_from_range(rel.data + registry.used, rel.data + rel.used);
  static const char *const names[] = {"alternate", "related", "self", "enclosure", "via"};
  for (u32 i = 0; i < array_count(names); ++i)
    if (atom_value_is(rel, names[i])) return i;
  return atom_link_rel_other;
}

bool atom_parse_link(reader *r, const xml_node *element, atom_link *out) {
  if (!atom_name_is(element, "link")) return true;
  static const struct {
    const char *name;
    buffer atom_link::*field;
  } texts[] = {{"href", &atom_link::href}, {"type", &atom_link::type}, {"hreflang", &atom_link::hreflang},
               {"title", &atom_link::title}};
  bool ok = true;
  for (const auto &t : texts) {
    if (xml_find_attribute(element, string_from_bytes(t.name, string_length(t.name))))
      ok &= feed_set_string(r, &(out->*t.field), feed_attribute(element, t.name));
  }
  // Only a link without "rel" is the alternate one: an unknown relation (replies, edit) must
  // never be opened as the article.
  if (xml_find_attribute(element, string_lit("rel"))) out->rel = atom_link_rel_from_text(feed_attribute(element, "rel"));
  if (xml_find_attribute(element, string_lit("length"))) out->length = feed_parse_s64(feed_attribute(element, "length"));
  return ok;
}

// ---- Entries -----------------------------------------------------------------------------

static void atom_add_person(feed_parse_context *c, const xml_node *n, u32 author_kind, u32 owner, u32 *authors,
                            u32 *contributors) {
  person p = atom_parse_person(n, c->scratch);
  if (!p.name.used && !p.uri.used && !p.email.used) return;
  bool author = atom_name_is(n, "author");
  // A person that does not fit is left out; the owner keeps the rest.
  reader_add_person_link(c->r, &p, author ? author_kind : author_kind + 2, owner, author ? authors : contributors);
}

// The dates of an entry: "published" (its last) and "updated", which is the last "updated" that
// gives a date, or without one the first "published" met while there was none. False when the
// element is neither.
static bool atom_take_date(feed_parse_context *c, const xml_node *n, date *published, date *updated,
                           bool quiet = false) {
  bool is_published = xml_is_element(n, string_lit("published"));
  if (!is_published && !xml_is_element(n, string_lit("updated"))) return false;
  buffer_mark scratch_mark = buffer_mark_begin(c->scratch);
  buffer text = {};
  if (is_published) {
    if (feed_node_text(c->scratch, n, &text, quiet)) *published = feed_date_from_text(text);
    if (date_is_zero(*updated)) *updated = *published;
  } else {
    // The video site touches "updated" for every view count; only a new video is news.
    date d = {};
    if (!c->video_site && feed_node_text(c->scratch, n, &text, quiet)) d = feed_date_from_text(text);
    if (!date_is_zero(d)) *updated = d;
  }
  buffer_mark_rollback(&scratch_mark);
  return true;
}

// ---- Reading an entry before it is built --------------------------------------------------
// Quiet, each text as the entry would take it; the verdict asks for each only as it needs it.

// The last title whose text, as a text construct, is not empty.
static buffer atom_read_title(feed_parse_context *c, const xml_node *element) {
  for (xml_node *n = element->last_child; n; n = n->previous) {
    if (!xml_is_element(n, string_lit("title"))) continue;
    buffer text = {};
    bool too_long = false;
    bool read = atom_text_construct_value(c->scratch, n, 0, true, &text, &too_long);
    // A construct that gives no text by its type gives the entry none either; one that did not
    // fit here may fit when the entry is built.
    if (too_long) c->key_unread = true;
    if (read && text.used) return text;
  }
  return buffer{};
}

// The href of the first link that is the alternate one: what the entry's article link will be.
static buffer atom_read_article_link(feed_parse_context *, const xml_node *element) {
  for (xml_node *n = xml_first_child_element(element); n; n = xml_next_sibling_element(n)) {
    if (!atom_name_is(n, "link")) continue;
    bool has_rel = xml_find_attribute(n, string_lit("rel")) != nullptr;
    if (!has_rel || atom_link_rel_from_text(feed_attribute(n, "rel")) == atom_link_rel_alternate)
      return feed_attribute(n, "href");
  }
  return buffer{};
}

// The content, or the summary without one, each as the entry's elements fill it in order.
static buffer atom_read_text(feed_parse_context *c, const xml_node *element) {
  buffer content = {}, summary = {}, text = {};
  for (xml_node *n = xml_first_child_element(element); n; n = xml_next_sibling_element(n)) {
    bool is_content = atom_name_is(n, "content");
    bool too_long = false;
    if (is_content || atom_name_is(n, "summary")) {
      buffer *field = is_content ? &content : &summary;
      if (atom_text_construct_value(c->scratch, n, atom_text_html_field, true, &text, &too_long) &&
          feed_text_replaces(*field, text))
        *field = text;
    } else if (atom_name_is(n, "media:group")) {
      for (xml_node *m = xml_first_child_element(n); m; m = xml_next_sibling_element(m)) {
        if (atom_name_is(m, "media:thumbnail") && xml_find_attribute(m, string_lit("url"))) {
          text = feed_attribute(m, "url");
          if (feed_text_replaces(summary, text)) summary = text;
        } else if (atom_name_is(m, "media:description")) {
          if (!feed_node_text(c->scratch, m, &text, true)) too_long = true;
          else if (feed_text_replaces(content, text)) content = text;
        }
      }
    }
    if (too_long) c->key_unread = true;
  }
  return content.used ? content : summary;
}

// The date an entry is judged by: "updated" as the entry takes it.
static date atom_read_date(feed_parse_context *c, const xml_node *element) {
  date published = {}, updated = {};
  for (xml_node *n = xml_first_child_element(element); n; n = xml_next_sibling_element(n))
    atom_take_date(c, n, &published, &updated, true);
  return updated;
}

static const feed_item_reader atom_entry_reader = {atom_read_date, string_lit("id"), atom_read_article_link,
                                                   atom_read_title, atom_read_text};

// ---- Building an entry -------------------------------------------------------------------

static void atom_parse_entry(feed_parse_context *c, const xml_node *element) {
  reader *r = c->r;
  feed_entry_start start;
  entry *e = feed_begin_entry(c, atom_entry_reader, element, &start);
  if (!e) return;
  entry_atom *a = &e->atom;
  const u32 html = atom_text_html_field | atom_text_keep_filled, plain = atom_text_keep_filled;
  bool stored = true;
  for (xml_node *n = xml_first_child_element(element); n; n = xml_next_sibling_element(n)) {
    buffer_mark scratch_mark = buffer_mark_begin(c->scratch);
    if (atom_name_is(n, "author") || atom_name_is(n, "contributor")) {
      atom_add_person(c, n, link_kind_atom_entry_author, e->id, &a->author_count, &a->contributor_count);
    } else if (atom_name_is(n, "category")) {
      category k = atom_parse_category(n);
      reader_add_category_link(r, &k, link_kind_atom_entry_category, e->id, &a->category_count);
    } else if (atom_name_is(n, "link")) {
      atom_link *l = reader_new_atom_link(r, atom_link_owner_entry, e->id, &a->atom_link_count);
      if (l) stored &= atom_parse_link(r, n, l);
    } else if (atom_name_is(n, "content")) {
      stored &= atom_parse_text_construct(r, c->scratch, &a->content, n, html);
    } else if (atom_name_is(n, "summary")) {
      stored &= atom_parse_text_construct(r, c->scratch, &a->summary, n, html);
    } else if (atom_name_is(n, "rights")) {
      stored &= atom_parse_text_construct(r, c->scratch, &a->rights, n, plain);
    } else if (atom_name_is(n, "title")) {
      stored &= atom_parse_text_construct(r, c->scratch, &a->title, n, plain);
    } else if (atom_name_is(n, "id")) {
      stored &= feed_set_text(c, &a->atom_id, n);
    } else if (atom_name_is(n, "source")) {
      stored &= feed_set_text(c, &a->source, n);
    } else if (atom_take_date(c, n, &a->published, &a->updated)) {
    } else if (atom_name_is(n, "media:group")) {
      for (xml_node *m = xml_first_child_element(n); m; m = xml_next_sibling_element(m)) {
        if (atom_name_is(m, "media:thumbnail")) {
          buffer url = feed_attribute(m, "url");
          if (xml_find_attribute(m, string_lit("url")) && feed_text_replaces(a->summary, url))
            stored &= feed_set_string(r, &a->summary, url);
        } else if (atom_name_is(m, "media:description")) {
          stored &= feed_set_text(c, &a->content, m);
        }
      }
    }
    buffer_mark_rollback(&scratch_mark);
  }
  feed_finish_entry(c, e, start, stored);
}

// ---- Feed --------------------------------------------------------------------------------

void atom_parse_feed(feed_parse_context *c, xml_node *root, buffer url) {
  reader *r = c->r;
  buffer address = c->f ? c->f->url : url;
  c->video_site = string_starts_with(address, string_lit(FEED_VIDEO_SITE_PREFIX));
  if (c->video_site) log_append_string(string_lit("Feed is YouTube.\n"));
  bool known = c->f != nullptr;
  if (!feed_parse_begin(c, feed_type_atom, url)) return;
  feed *f = c->f;
  feed_atom *s = &f->atom;
  // The document lists the feed's links again; categories and persons are only added to.
  if (known) {
    reader_delete_feed_atom_links(r, f->id, atom_link_owner_feed);
    s->atom_link_count = 0;
  }
  // Made before anything else, so that nothing freed in between (a replaced entry) upsets their
  // order.
  reader_made_mark made = reader_made_mark_take(r);
  for (xml_node *n = xml_first_child_element(root); n; n = xml_next_sibling_element(n)) {
    if (!atom_name_is(n, "link")) continue;
    atom_link *l = reader_new_atom_link(r, atom_link_owner_feed, f->id, &s->atom_link_count);
    if (l) atom_parse_link(r, n, l);
  }
  reader_keep_made_order(r, made, f->id, true);
  for (xml_node *n = xml_first_child_element(root); n; n = xml_next_sibling_element(n)) {
    buffer_mark mark = buffer_mark_begin(c->scratch);
    if (atom_name_is(n, "author") || atom_name_is(n, "contributor")) {
      atom_add_person(c, n, link_kind_atom_feed_author, f->id, &s->author_count, &s->contributor_count);
    } else if (atom_name_is(n, "category")) {
      category k = atom_parse_category(n);
      reader_add_category_link(r, &k, link_kind_atom_feed_category, f->id, &s->category_count);
    } else if (atom_name_is(n, "generator")) {
      reader_set_string_from_node(r, c->scratch, &s->generator, n);
      buffer uri = feed_attribute(n, "uri"), version = feed_attribute(n, "version");
      if (uri.used) feed_set_string(r, &s->generator_uri, uri);
      if (version.used) feed_set_string(r, &s->generator_version, version);
    } else if (atom_name_is(n, "icon")) {
      reader_set_string_from_node(r, c->scratch, &s->icon, n);
    } else if (atom_name_is(n, "logo")) {
      reader_set_string_from_node(r, c->scratch, &s->logo, n);
    } else if (atom_name_is(n, "id")) {
      reader_set_string_from_node(r, c->scratch, &s->atom_id, n);
    } else if (atom_name_is(n, "rights")) {
      atom_parse_text_construct(r, c->scratch, &s->rights, n, 0);
    } else if (atom_name_is(n, "subtitle")) {
      atom_parse_text_construct(r, c->scratch, &s->subtitle, n, 0);
    } else if (atom_name_is(n, "title")) {
      atom_parse_text_construct(r, c->scratch, &s->title, n, 0);
    } else if (atom_name_is(n, "entry")) {
      atom_parse_entry(c, n);
    }
    // The feed's own "updated" is often just the time the document was generated; taken as the
    // threshold it would drop entries an aggregator dated shortly before the previous fetch, so
    // the threshold is the newest entry kept, as for RSS.
    buffer_mark_rollback(&mark);
  }
  s->updated = feed_threshold_after(c, s->updated);
}
