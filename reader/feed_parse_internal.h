// What the RSS and Atom readers share during one parse; not part of the layer's contract.
#pragma once

#include "reader/store_internal.h"

// Entries of the feed by the hash of one of their texts, for the length of one parse, so that
// finding the entry an item replaces or repeats costs the same in a feed of ten entries and of a
// million. A place holds the text's hash and the entry's slot; every hit is checked against the
// record itself, so a place left by an entry freed during the parse costs only a comparison (and
// is taken over by the next entry filed under its hash). A text has one place however many
// entries share it: any of them answers a look-up.
struct feed_entry_table {
  u64 *places;   // hash << 32 | slot + 1; 0 empty. Null without memory: look-ups walk the feed
  u32 capacity;  // a power of two, doubled before it is half full
  u32 used;
  buffer block;  // the places' own memory, when they are not in the scratch arena
};

struct feed_parse_context {
  // Lent by the caller for the whole parse.
  reader *r;
  buffer *scratch;
  u32 *error;
  // The feed being filled and what the parse knows of its history.
  feed *f;
  u64 document_bytes;
  date start_date;   // the feed's newest entry date when the parse began; zero for a new feed
  date newest_seen;  // the newest date among the entries this parse kept
  bool video_site;
  // The feed's entries by unique id, from the start of the parse, with every entry it attaches
  // (an entry that replaces another takes its place).
  feed_entry_table guids;
  // Set when the parse begins. Entries with ids up to known_entries were stored before it: only
  // they make an item without a unique id (or matched with one that has none) the same as an
  // entry, so that two items of one document are never taken for one.
  u32 known_entries = 0;
  u32 known_count = 0;  // the feed's entries when the parse began
  // Those entries by link, title and date (and text, without link and title): all of them, and
  // those without a unique id; made when the first item that needs them comes.
  bool keys_any_built = false, keys_bare_built = false;
  feed_entry_table keys_any;
  feed_entry_table keys_bare;
  // Entries that items of this document replace: freed when the document is done, so that
  // every entry stored before the parse answers for its item until then.
  buffer replaced;  // u32 pairs: slot, id
  // A day after the current time: a date past it is stored as given but moves no threshold.
  date future_limit = {};
  // Set when a text of the item being judged could not be read (too long for the scratch memory
  // beside the item's other texts): its key is then taken from the entry it builds.
  bool key_unread = false;
};

// The element's text as a view: straight into the document when it is one text node, else
// gathered in the scratch arena. False (logged) when it does not fit there. Quiet, nothing is
// logged (child elements left out, a text too long): an item is read so before it is judged, and
// only one that is built says what was wrong with it.
bool feed_node_text(buffer *scratch, const xml_node *node, buffer *out, bool quiet = false);
// The attribute's value, empty when the element has none.
buffer feed_attribute(const xml_node *element, const char *name);
// A text field of an item takes an element's text unless that text is empty and the field is
// not: an empty element never erases what another gave.
inline bool feed_text_replaces(buffer field, buffer text) { return text.used || !field.used; }
// The element's text into an item's field by that rule (*set, when given, tells whether it was
// taken); a text that does not fit the scratch memory is left out (logged). False when the store
// could not take it.
bool feed_set_text(feed_parse_context *c, buffer *field, const xml_node *n, bool *set = nullptr);
// Read quietly before the item is built: the text of the item's last element of the name whose
// text is not empty, as the entry will take it; key_unread is set when one did not fit.
buffer feed_read_last(feed_parse_context *c, const xml_node *item, buffer name);
// Set-if-different that keeps the old text when the store cannot take the new one.
bool feed_set_string(reader *r, buffer *field, buffer text);
// Decimal text, saturated to the s32 range.
s32 feed_parse_s32(buffer text);
s64 feed_parse_s64(buffer text);
// A date in either form feeds write; the zero date when the text reads whole in neither, so a
// date that cannot be read counts as no date (it never becomes the feed's newest date).
date feed_date_from_text(buffer text);
inline date feed_date_later(date a, date b) { return date_greater(a, b) ? a : b; }

// Starts a new feed of the type with its settings record, or checks that a known feed may take
// the document. False with the error word set when the parse cannot go on.
bool feed_parse_begin(feed_parse_context *c, u32 type, buffer url);

// What tells an item from another, read from the document before the item is built (views into
// the document or the scratch arena) or from a stored entry: its unique id, and its link, title
// and date, with its text when it has neither link nor title. Two items are the same when both
// have a unique id and the ids are equal, or, when one of them has none, when their link, title
// and date are equal (their texts too when both lack link and title); two undated items share
// their date.
struct feed_item {
  date d;
  buffer guid, link, title, text;
};

// What becomes of an item, judged before it is built.
enum : u32 {
  feed_item_drop = 0,     // dated before the feed's newest date, or the same as an entry
  feed_item_store = 1,    // new: built, replacing `replaces` when there is one
  feed_item_ask_key = 2,  // not known by its date and unique id: its key tells
  feed_item_ask_built = 3,  // a text of its key did not fit the scratch memory beside the others:
                            // judged by its key once built, from the texts the entry took
};
struct feed_verdict {
  u32 action;
  entry *replaces;  // the entry an item dated later than the feed's newest date replaces
};
// How a format reads an item before it is built: quietly, in scratch memory, each text as the
// entry will take it, and key_unread set when one did not fit.
struct feed_item_reader {
  date (*date_of)(feed_parse_context *c, const xml_node *item);
  buffer guid_name;  // the element whose last non-empty text is the unique id
  buffer (*link_of)(feed_parse_context *c, const xml_node *item);
  buffer (*title_of)(feed_parse_context *c, const xml_node *item);
  buffer (*text_of)(feed_parse_context *c, const xml_node *item);
};

// An item on its way into the store: its verdict, and where the store stood before its entry.
struct feed_entry_start {
  feed_verdict verdict;
  reader_mark mark;
  reader_made_mark made;
};
// Judges the item (or Atom entry), read as the reader says in scratch memory given back after,
// and, unless it is dropped, makes its entry, with room made first from the entries this document
// replaced when the pool is full. Null when it is dropped or the store is full (which the store
// has logged).
entry *feed_begin_entry(feed_parse_context *c, const feed_item_reader &read, const xml_node *item,
                        feed_entry_start *s);
// Ends one entry the verdict stored (or left to its texts as built, which judge it now): its
// records are put back in the order they were made, then it is attached, with the entry it
// replaces freed when the document is done, or freed with everything it added since the start
// when it is the same as an entry after all or the store could not take one of its texts (stored
// false).
void feed_finish_entry(feed_parse_context *c, entry *e, const feed_entry_start &s, bool stored);


// The feed's threshold after the parse: the newest date kept (dates past the future limit left
// out), where it is later than the stored one (or there is none); a stored one past the limit
// counts as the start date, the newest date of the feed's entries that is not past it.
date feed_threshold_after(const feed_parse_context *c, date stored);

void rss_parse_channel(feed_parse_context *c, xml_node *channel, buffer url);
void atom_parse_feed(feed_parse_context *c, xml_node *root, buffer url);
