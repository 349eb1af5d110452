// Feed parsing: one downloaded document becomes store records. The bytes are parsed as XML, the
// root tells RSS 0.9x/2.0 ("rss" or a bare "channel"), RSS 1.0 ("rdf:RDF") or Atom ("feed"),
// and the document either makes a new feed or updates a known one. Included by reader.h.
#pragma once

#include "reader/reader.h"
#include "xml/xml.h"

// ---- Errors ------------------------------------------------------------------------------

// Sticky: a parse does nothing when the word is already set. Each non-zero value ends the parse
// with the line "Feed error: <name>" in the log.
enum feed_error : u32 {
  feed_error_none = 0,
  feed_error_parser_error = 1,                 // the XML parse failed; its report is in the log
  feed_error_unsupported_rdf_structure = 2,    // an RSS 1.0 document whose item list cannot be read
  feed_error_expected_channel_or_feed = 3,     // a root that is no feed
  feed_error_feed_type_changed = 4,            // a known RSS feed sent Atom or the other way round
  feed_error_no_space_for_feed = 5,            // the feed or its settings record did not fit
  feed_error_count = 6,
};
buffer feed_error_name(u32 error);

// Start of the channel feeds of the video site; such Atom feeds carry thumbnails and
// descriptions in "media:group" and count an entry as new by its "published" date.
#define FEED_VIDEO_SITE_PREFIX "https://www.youtube.com/feeds/videos.xml?"

// ---- Parsing -----------------------------------------------------------------------------

// Parses the document into the store. With a null feed a new feed (with its settings record) is
// made for the url when the document is recognised; a known feed keeps its url and takes only
// what is newer than what it has. Returns the feed that was filled, the given one or the new one;
// null when a new feed's document was refused. The scratch arena holds node texts while each
// element is handled and is left as it was found. New entries take the reader's generation; the
// caller sorts the feed's entries afterwards.
feed *feed_parse(buffer *scratch, reader *r, buffer document, buffer url, feed *f, u32 *error);

// ---- Element readers ---------------------------------------------------------------------

// Flags of atom_parse_text_construct.
enum : u32 {
  // The field is shown as HTML (entry summary and content): plain text is stored escaped, so
  // markup that a feed escaped never turns into live markup, and xhtml as its markup. Without
  // it the field is drawn as plain text (titles, subtitle, rights), and xhtml gives its text.
  atom_text_html_field = 0x1,
  // An entry's field, which an element with empty text never erases once another filled it.
  atom_text_keep_filled = 0x2,
};

// Replaces *field when the node's text differs. The text is gathered in the scratch arena and
// rolled back once copied. False when the store could not take it (*field is then unchanged).
bool reader_set_string_from_node(reader *r, buffer *scratch, buffer *field, const xml_node *node);
// An Atom text construct ("text", "html" or "xhtml") into the field. False when the store could
// not take the text; a construct that cannot be read is logged and leaves the field unchanged.
bool atom_parse_text_construct(reader *r, buffer *scratch, buffer *field, const xml_node *element, u32 flags);
// The name, uri and email texts of an "author" or "contributor" element, as views into the
// document or the scratch arena (copied when linked).
person atom_parse_person(const xml_node *element, buffer *scratch);
// The term, scheme and label attributes of a "category" element, as views into the document.
category atom_parse_category(const xml_node *element);
// Fills a link from the attributes of a "link" element. False when the store could not take a
// text.
bool atom_parse_link(reader *r, const xml_node *element, atom_link *out);

// ---- Stable text of the store ------------------------------------------------------------

// Appends every live feed as a block of its non-empty fields, its categories, persons and Atom
// links, then one line per entry of the feed in slot order. Texts are quoted with C escapes;
// dates in the compact "yyyymmdd_hhmmss" form, "-" for none. The format is kept stable: tools and
// tests compare it. Returns false when the output did not fit.
bool reader_print_feeds(reader *r, buffer *out);
