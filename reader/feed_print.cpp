// The store as stable text, for the headless dump tool and for tests that compare whole results.
#include "reader/store_internal.h"

namespace {

struct printer {
  buffer *out;
  bool ok;
};

void put(printer *p, buffer text) {
  if (text.used && !buffer_push_bytes(p->out, text.data, text.used)) p->ok = false;
}
void put(printer *p, const char *text) { put(p, string_from_bytes(text, string_length(text))); }
void put_unsigned(printer *p, u64 v) {
  u8 digits[24];
  put(p, string_from_bytes(digits, format_unsigned(digits, sizeof digits, v, 0, ' ', 0)));
}
void put_signed(printer *p, s64 v) {
  u8 digits[24];
  put(p, string_from_bytes(digits, format_signed(digits, sizeof digits, v, 0, ' ', 0)));
}

// C-style escapes keep every value on its line and make the quotes unambiguous.
void put_quoted(printer *p, buffer text) {
  put(p, "\"");
  const u8 *run = text.data, *end = text.data + text.used;
  for (const u8 *b = text.data; b < end; ++b) {
    char escape[5] = {};
    if (*b == '"' || *b == '\\') {
      escape[0] = '\\', escape[1] = (char)*b;
    } else if (*b == '\n') {
      escape[0] = '\\', escape[1] = 'n';
    } else if (*b == '\r') {
      escape[0] = '\\', escape[1] = 'r';
    } else if (*b == '\t') {
      escape[0] = '\\', escape[1] = 't';
    } else if (*b < 0x20 || *b == 0x7f) {
      static const char hex[] = "0123456789abcdef";
      escape[0] = '\\', escape[1] = 'x', escape[2] = hex[*b >> 4], escape[3] = hex[*b & 15];
    } else {
      continue;
    }
    put(p, string_from_range(run, b));
    put(p, escape);
    run = b + 1;
  }
  put(p, string_from_range(run, end));
  put(p, "\"");
}

void put_date(printer *p, date d) {
  if (date_is_zero(d)) {
    put(p, "-");
    return;
  }
  u8 bytes[32];
  buffer text = {sizeof bytes, 0, bytes};
  date_to_compact_string(d, &text);
  put(p, text);
}

// "  name: value" lines of a feed block and " name=value" fields of an entry line.
void put_field(printer *p, bool line, const char *name) {
  put(p, line ? "  " : " ");
  put(p, name);
  put(p, line ? ": " : "=");
}
void field_string(printer *p, bool line, const char *name, buffer value) {
  if (!value.used) return;
  put_field(p, line, name);
  put_quoted(p, value);
  if (line) put(p, "\n");
}
void field_number(printer *p, bool line, const char *name, s64 value) {
  if (!value) return;
  put_field(p, line, name);
  put_signed(p, value);
  if (line) put(p, "\n");
}
void field_date(printer *p, bool line, const char *name, date value) {
  put_field(p, line, name);
  put_date(p, value);
  if (line) put(p, "\n");
}

const char *rel_name(u32 rel) {
  static const char *const names[] = {"alternate", "related", "self", "enclosure", "via", "other"};
  return rel < array_count(names) ? names[rel] : "unknown";
}

// The owner's relation links of the kind, in slot order, with their targets' texts. Links are
// found through the store's indices by owner, so that a print costs what the store holds and
// not its entries times its links.
void put_relations(printer *p, reader *r, bool line, u32 owner_id, u32 kind, const char *name) {
  auto mine = [&](struct link *l) { return link_is_live(l) && l->kind == kind && l->owner_id == owner_id; };
  reader_visit_owned_links(r, owner_id, kind & 1, mine, [&](struct link *l) {
    put_field(p, line, name);
    if (kind <= link_kind_atom_entry_category) {
      category *c = reader_find_category_by_id(r, l->target_id);
      put_quoted(p, c ? c->term : string_lit("?"));
      if (c && c->scheme.used) {
        put(p, " scheme ");
        put_quoted(p, c->scheme);
      }
    } else {
      person *q = reader_find_person(r, l->target_id);
      put_quoted(p, q ? q->name : string_lit("?"));
      if (q && q->uri.used) {
        put(p, " uri ");
        put_quoted(p, q->uri);
      }
      if (q && q->email.used) {
        put(p, " email ");
        put_quoted(p, q->email);
      }
    }
    if (line) put(p, "\n");
    return false;
  });
}

void put_atom_links(printer *p, reader *r, bool line, u32 owner_kind, u32 owner_id) {
  auto mine = [&](atom_link *l) {
    return atom_link_is_live(l) && l->owner_kind == owner_kind && l->owner_id == owner_id;
  };
  reader_visit_owned_atom_links(r, owner_kind, owner_id, mine, [&](atom_link *l) {
    put(p, line ? "  link(" : " link(");
    put(p, rel_name(l->rel));
    put(p, line ? "): " : ")=");
    put_quoted(p, l->href);
    if (l->type.used) {
      put(p, " type ");
      put_quoted(p, l->type);
    }
    if (l->hreflang.used) {
      put(p, " hreflang ");
      put_quoted(p, l->hreflang);
    }
    if (l->title.used) {
      put(p, " title ");
      put_quoted(p, l->title);
    }
    if (l->length) {
      put(p, " length ");
      put_signed(p, l->length);
    }
    if (line) put(p, "\n");
    return false;
  });
}

void put_rss_feed(printer *p, reader *r, feed *f) {
  const feed_rss &s = f->rss;
  const struct {
    const char *name;
    const buffer *value;
  } texts[] = {{"title", &s.title},
               {"link", &s.link},
               {"description", &s.description},
               {"language", &s.language},
               {"copyright", &s.copyright},
               {"managingEditor", &s.managingEditor},
               {"webMaster", &s.webMaster},
               {"generator", &s.generator},
               {"docs", &s.docs},
               {"rating", &s.rating},
               {"cloud_domain", &s.cloud_domain},
               {"cloud_path", &s.cloud_path},
               {"cloud_registerProcedure", &s.cloud_registerProcedure},
               {"cloud_protocol", &s.cloud_protocol},
               {"image_url", &s.image_url},
               {"image_title", &s.image_title},
               {"image_link", &s.image_link},
               {"image_description", &s.image_description},
               {"textInput_title", &s.textInput_title},
               {"textInput_description", &s.textInput_description},
               {"textInput_name", &s.textInput_name},
               {"textInput_link", &s.textInput_link}};
  for (const auto &t : texts) field_string(p, true, t.name, *t.value);
  field_number(p, true, "cloud_port", s.cloud_port);
  field_number(p, true, "ttl", s.ttl);
  field_number(p, true, "image_width", s.image_width);
  field_number(p, true, "image_height", s.image_height);
  bool any_hour = false, any_day = false;
  for (s32 h : s.skipHours) any_hour |= h != 0;
  for (s32 d : s.skipDays) any_day |= d != 0;
  if (any_hour) {
    put(p, "  skipHours:");
    for (u32 h = 0; h < 24; ++h) {
      if (!s.skipHours[h]) continue;
      put(p, " ");
      put_unsigned(p, h);
    }
    put(p, "\n");
  }
  if (any_day) {
    static const char *const days[7] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
    put(p, "  skipDays:");
    for (u32 d = 0; d < 7; ++d) {
      if (!s.skipDays[d]) continue;
      put(p, " ");
      put(p, days[d]);
    }
    put(p, "\n");
  }
  field_date(p, true, "pubDate", s.pubDate);
  field_date(p, true, "newest_date", s.newest_date);
  put_relations(p, r, true, f->id, link_kind_rss_feed_category, "category");
}

void put_atom_feed(printer *p, reader *r, feed *f) {
  const feed_atom &s = f->atom;
  field_string(p, true, "title", s.title);
  field_string(p, true, "subtitle", s.subtitle);
  field_string(p, true, "rights", s.rights);
  field_string(p, true, "id", s.atom_id);
  field_string(p, true, "icon", s.icon);
  field_string(p, true, "logo", s.logo);
  field_string(p, true, "generator", s.generator);
  field_string(p, true, "generator_uri", s.generator_uri);
  field_string(p, true, "generator_version", s.generator_version);
  field_date(p, true, "updated", s.updated);
  put_atom_links(p, r, true, atom_link_owner_feed, f->id);
  put_relations(p, r, true, f->id, link_kind_atom_feed_author, "author");
  put_relations(p, r, true, f->id, link_kind_atom_feed_contributor, "contributor");
  put_relations(p, r, true, f->id, link_kind_atom_feed_category, "category");
}

void put_entry(printer *p, reader *r, entry *e) {
  put(p, "  entry ");
  put_unsigned(p, e->id);
  put(p, " gen=");
  put_unsigned(p, e->generation);
  put(p, entry_is_deleted(e) ? " deleted" : " live");
  if (entry_get_type(e) == feed_type_rss) {
    const entry_rss &s = e->rss;
    field_date(p, false, "pubDate", s.pubDate);
    field_string(p, false, "guid", s.guid);
    if (s.guid.used) {
      put_field(p, false, "isPermaLink");
      put_signed(p, s.isPermaLink);
    }
    field_string(p, false, "title", s.title);
    field_string(p, false, "link", s.link);
    field_string(p, false, "author", s.author);
    field_string(p, false, "comments", s.comments);
    field_string(p, false, "source", s.source);
    field_string(p, false, "source_url", s.source_url);
    field_string(p, false, "enclosure_url", s.enclosure_url);
    field_string(p, false, "enclosure_type", s.enclosure_type);
    field_number(p, false, "enclosure_length", s.enclosure_length);
    put_relations(p, r, false, e->id, link_kind_rss_entry_category, "category");
    field_string(p, false, "description", s.description);
  } else {
    const entry_atom &s = e->atom;
    field_date(p, false, "published", s.published);
    field_date(p, false, "updated", s.updated);
    field_string(p, false, "id", s.atom_id);
    field_string(p, false, "title", s.title);
    field_string(p, false, "source", s.source);
    field_string(p, false, "rights", s.rights);
    put_atom_links(p, r, false, atom_link_owner_entry, e->id);
    put_relations(p, r, false, e->id, link_kind_atom_entry_author, "author");
    put_relations(p, r, false, e->id, link_kind_atom_entry_contributor, "contributor");
    put_relations(p, r, false, e->id, link_kind_atom_entry_category, "category");
    field_string(p, false, "summary", s.summary);
    field_string(p, false, "content", s.content);
  }
  put(p, "\n");
}

}  // namespace

bool reader_print_feeds(reader *r, buffer *out) {
  printer p = {out, true};
  store_walk<feed>(&r->feeds, feed_is_live, [&](feed *f) {
    bool atom = feed_get_type(f) == feed_type_atom;
    put(&p, "feed ");
    put_unsigned(&p, f->id);
    put(&p, atom ? " atom" : " rss");
    put(&p, feed_is_deleted(f) ? " deleted" : " live");
    put(&p, " entries=");
    put_unsigned(&p, f->entry_count);
    put(&p, "\n");
    field_string(&p, true, "url", f->url);
    if (atom) put_atom_feed(&p, r, f);
    else put_rss_feed(&p, r, f);
    reader_walk_feed_entries(r, f->id, [&](entry *e) { return put_entry(&p, r, e), false; });
    return false;
  });
  return p.ok;
}
