// URL references: the addresses of images and links inside an entry's HTML are often relative
// ("/img/a.png", "a.png", "../x", "?page=2", "#notes") or protocol-relative ("//cdn.example/a.png").
// They are resolved against the entry's own address by the generic URI rules: components are
// split without any scheme-specific knowledge, and "." and ".." segments are removed.
#pragma once

#include "reader/reader.h"

// ---- Resolving ---------------------------------------------------------------------------

// True when the reference names its own scheme ("https:", "mailto:"); such a reference needs
// no base.
bool url_has_scheme(buffer reference);

// Resolves the reference (blanks and control characters around it ignored) against the base,
// which should be absolute, and appends the result to out; returns its view. A protocol-relative
// reference takes the base's scheme, "https" when the base has none. When the base has no scheme
// the other references cannot be resolved and come back as they are (trimmed). Gives the all-zero
// buffer, out unchanged, only when the result does not fit out's free room.
buffer url_resolve(buffer base, buffer reference, buffer *out);

// ---- The links of an entry ---------------------------------------------------------------

// The field of an RSS item that holds its article's address: the guid when it is a permalink that
// is an absolute http or https URL (or the item has no link to open instead), else the link. A
// guid such as "links1" is an id that only looks like one.
buffer *reader_rss_article_field(entry *e);
// The address the entry's article opens: the RSS field above, or the Atom alternate link (looked
// up in the store).
buffer reader_entry_article_link(reader *r, entry *e);
// That address read against the feed's, as the entry's link is read when it is the base of its
// content: feeds give their entries' links relative to the site ("/project/releases/tag/v3.9").
// A link that names its scheme, or one with no address to read it against, comes back as it is;
// a resolved one is appended to out. Empty when the entry has no link; the all-zero buffer when
// the result does not fit out.
buffer reader_entry_article_url(reader *r, const feed *f, entry *e, buffer *out);

// ---- The base of an entry ----------------------------------------------------------------

// The address relative URLs of an entry's content are read against: the entry's link (for RSS
// its link, else its guid when that is a permalink; for Atom its alternate link), or, when the
// entry has none, the feed's own link, itself read against the address the feed is fetched from;
// the fetched address when the feed names no link either. Appended to out; the all-zero buffer
// when nothing fits or the feed is null. The Atom links are looked up in the store, so callers
// ask only when a relative URL turns up.
buffer reader_entry_base_url(reader *r, const feed *f, const entry *e, buffer *out);
