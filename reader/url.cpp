// Reference resolution over the generic URI syntax, and the base address of an entry.
#include <string.h>

#include "reader/url.h"

namespace {
// The five components of a URI reference. An absent component and an empty one differ: "?" has
// an empty query, which replaces the base's, while no "?" keeps the base's.
struct url_parts {
  buffer scheme, authority, path, query, fragment;
  bool has_scheme, has_authority, has_query, has_fragment;
};
}  // namespace

static buffer url_trim(buffer text) {
  // Attribute values often carry the line breaks and spaces of the markup around them.
  while (text.used && text.data[0] <= 0x20) text.data++, text.used--;
  while (text.used && text.data[text.used - 1] <= 0x20) text.used--;
  return text;
}

// The scheme's length when the text starts with ALPHA *(ALPHA / DIGIT / "+" / "-" / ".") ":",
// else 0.
static u64 url_scheme_length(buffer text) {
  if (!text.used || !char_is_alpha(text.data[0])) return 0;
  for (u64 i = 1; i < text.used; i++) {
    u8 c = text.data[i];
    if (c == ':') return i;
    if (!char_is_alnum(c) && c != '+' && c != '-' && c != '.') return 0;
  }
  return 0;
}

bool url_has_scheme(buffer reference) { return url_scheme_length(url_trim(reference)) != 0; }

static u64 url_find_any(buffer text, u64 from, const char *set) {
  for (u64 i = from; i < text.used; i++)
    if (memchr(set, text.data[i], strlen(set))) return i;
  return text.used;
}

static url_parts url_split(buffer text) {
  url_parts p = {};
  u64 i = 0;
  if (u64 n = url_scheme_length(text)) {
    p.scheme = string_from_bytes(text.data, n);
    p.has_scheme = true;
    i = n + 1;
  }
  if (text.used - i >= 2 && text.data[i] == '/' && text.data[i + 1] == '/') {
    u64 end = url_find_any(text, i + 2, "/?#");
    p.authority = string_from_range(text.data + i + 2, text.data + end);
    p.has_authority = true;
    i = end;
  }
  u64 end = url_find_any(text, i, "?#");
  p.path = string_from_range(text.data + i, text.data + end);
  i = end;
  if (i < text.used && text.data[i] == '?') {
    end = url_find_any(text, i + 1, "#");
    p.query = string_from_range(text.data + i + 1, text.data + end);
    p.has_query = true;
    i = end;
  }
  if (i < text.used) {
    p.fragment = string_from_range(text.data + i + 1, text.data + text.used);
    p.has_fragment = true;
  }
  return p;
}

static bool starts(const u8 *p, const u8 *end, const char *prefix) {
  return string_starts_with_bytes(p, end, prefix, strlen(prefix));
}

// Removes "." and ".." segments from the path in [begin, begin + n) in place and returns the new
// length. The output never outgrows the input read so far, so writing behind the read position
// never overwrites what is still to be read.
static u64 url_remove_dot_segments(u8 *begin, u64 n) {
  u8 *r = begin, *end = begin + n, *w = begin;
  while (r < end) {
    if (starts(r, end, "../")) {
      r += 3;
    } else if (starts(r, end, "./")) {
      r += 2;
    } else if (starts(r, end, "/./")) {
      r += 2;  // the input now starts with the second '/'
    } else if (end - r == 2 && starts(r, end, "/.")) {
      r += 1;
      *r = '/';  // "/." at the end reads as "/"
    } else if (starts(r, end, "/../") || (end - r == 3 && starts(r, end, "/.."))) {
      if (end - r == 3) {
        r += 2;
        *r = '/';
      } else {
        r += 3;
      }
      // Drop the output's last segment and its '/'.
      while (w > begin && w[-1] != '/') w--;
      if (w > begin) w--;
    } else if ((end - r == 1 && *r == '.') || (end - r == 2 && r[0] == '.' && r[1] == '.')) {
      r = end;
    } else {
      // The first segment, with its leading '/' when it has one, moves to the output.
      u8 *segment = r;
      r++;
      while (r < end && *r != '/') r++;
      u64 k = (u64)(r - segment);
      if (w != segment) memmove(w, segment, k);
      w += k;
    }
  }
  return (u64)(w - begin);
}

namespace {
// Appends into out's free room; remembers whether everything fitted.
struct url_writer {
  buffer *out;
  u64 start;
  bool fits;
  void put(buffer b) {
    if (fits && b.used && !buffer_push_bytes(out, b.data, b.used)) fits = false;
  }
  void put(const char *text) { put(string_from_bytes(text, strlen(text))); }
};
}  // namespace

// Writes the path (the merge of the base's and the reference's, or either alone) and removes its
// dot segments where it lies.
static void url_put_path(url_writer *w, const url_parts &base, buffer reference_path, bool merge) {
  u64 path_start = w->out->used;
  if (merge) {
    if (base.has_authority && base.path.used == 0) {
      w->put("/");
    } else {
      u64 keep = base.path.used;
      while (keep && base.path.data[keep - 1] != '/') keep--;
      w->put(string_from_bytes(base.path.data, keep));
    }
  }
  w->put(reference_path);
  if (!w->fits) return;
  w->out->used = path_start + url_remove_dot_segments(w->out->data + path_start, w->out->used - path_start);
}

buffer url_resolve(buffer base_text, buffer reference_text, buffer *out) {
  buffer reference = url_trim(reference_text);
  url_parts r = url_split(reference);
  url_parts base = url_split(url_trim(base_text));
  url_writer w = {out, out->used, true};

  if (!r.has_scheme && !base.has_scheme) {
    if (r.has_authority) {
      w.put("https:");
      w.put(reference);
    } else {
      // No address to read it against: the reference stays what it was.
      w.put(reference);
    }
  } else {
    buffer scheme = r.has_scheme ? r.scheme : base.scheme;
    w.put(scheme);
    w.put(":");
    bool own_authority = r.has_scheme || r.has_authority;
    const url_parts &authority_source = own_authority ? r : base;
    if (authority_source.has_authority) {
      w.put("//");
      w.put(authority_source.authority);
    }
    const url_parts *query_source = &r;
    if (own_authority || (r.path.used && r.path.data[0] == '/')) {
      url_put_path(&w, base, r.path, false);
    } else if (r.path.used == 0) {
      w.put(base.path);
      if (!r.has_query) query_source = &base;
    } else {
      url_put_path(&w, base, r.path, true);
    }
    if (query_source->has_query) {
      w.put("?");
      w.put(query_source->query);
    }
    if (r.has_fragment) {
      w.put("#");
      w.put(r.fragment);
    }
  }
  if (!w.fits) {
    out->used = w.start;
    return buffer{};
  }
  u64 n = out->used - w.start;
  return buffer{n, n, out->data + w.start};
}

// ---- The links of an entry ---------------------------------------------------------------

static bool url_is_web_address(buffer text) {
  url_parts p = url_split(url_trim(text));
  bool web = string_equal_ignore_case(p.scheme, string_lit("http")) ||
             string_equal_ignore_case(p.scheme, string_lit("https"));
  return p.has_scheme && web && p.authority.used > 0;
}

buffer *reader_rss_article_field(entry *e) {
  entry_rss *s = &e->rss;
  bool guid = s->isPermaLink && s->guid.used && (!s->link.used || url_is_web_address(s->guid));
  return guid ? &s->guid : &s->link;
}

buffer reader_entry_article_link(reader *r, entry *e) {
  if (entry_get_type(e) == feed_type_rss) return *reader_rss_article_field(e);
  return reader_find_atom_link_href(r, e->id, e->atom.atom_link_count, atom_link_owner_entry, atom_link_rel_alternate);
}

buffer reader_entry_article_url(reader *r, const feed *f, entry *e, buffer *out) {
  buffer link = reader_entry_article_link(r, e);
  if (!link.used || !f || url_has_scheme(link)) return link;
  u64 start = out->used;
  // The feed's base (its own link read against its address) is written first, then the link
  // read against it, which is all that is kept.
  buffer base = reader_entry_base_url(r, f, nullptr, out);
  if (!base.used) {
    out->used = start;
    // Without an address of the feed the link stays as it is; with one, nothing fitted.
    return base.data || !f->url.used ? link : buffer{};
  }
  buffer resolved = url_resolve(base, link, out);
  out->used = start;
  if (!resolved.data) return buffer{};
  memmove(out->data + start, resolved.data, resolved.used);
  out->used = start + resolved.used;
  return buffer{resolved.used, resolved.used, out->data + start};
}

// ---- The base of an entry ----------------------------------------------------------------

static buffer url_resolve_into(buffer base, buffer link, buffer *out) {
  if (!link.used) return base;
  buffer resolved = url_resolve(base, link, out);
  return resolved.data ? resolved : base;
}

buffer reader_entry_base_url(reader *r, const feed *f, const entry *e, buffer *out) {
  if (!f) return buffer{};
  u64 start = out->used;
  buffer base = f->url;
  buffer feed_link = feed_get_type(f) == feed_type_rss
                         ? f->rss.link
                         : reader_find_atom_link_href(r, f->id, f->atom.atom_link_count, atom_link_owner_feed,
                                                      atom_link_rel_alternate);
  buffer entry_link = {};
  if (e && entry_get_type(e) == feed_type_rss) {
    entry_link = e->rss.link.used ? e->rss.link : (e->rss.isPermaLink ? e->rss.guid : buffer{});
  } else if (e) {
    entry_link = reader_find_atom_link_href(r, e->id, e->atom.atom_link_count, atom_link_owner_entry,
                                            atom_link_rel_alternate);
  }
  // Either link may itself be relative: the feed's to the fetched address, the entry's to that.
  base = url_resolve_into(base, feed_link, out);
  base = url_resolve_into(base, entry_link, out);
  if (!base.data) return buffer{};
  // Only the last piece is kept; the pieces before it move down to the start.
  if (base.data >= out->data + start && base.data < out->data + out->used) {
    memmove(out->data + start, base.data, base.used);
    out->used = start + base.used;
    return buffer{base.used, base.used, out->data + start};
  }
  out->used = start;
  if (!buffer_push_bytes(out, base.data, base.used)) return buffer{};
  return buffer{base.used, base.used, out->data + start};
}
