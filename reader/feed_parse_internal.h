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
  // The feed's entries by unique id, from the start of the parse, with every entry it attaches.
  feed_entry_table guids;
  // Set when the parse begins. Entries with ids up to known_entries were stored before it: only
  // they can make an entry of this document known. Those without a unique id go into known by
  // link, title and text when the first item without a date and a unique id needs them.
  u32 known_entries = 0;
  u32 known_count = 0;  // the feed's entries when the parse began
  bool known_built = false;
  feed_entry_table known;
  // All of them by link and title (or text), when the first item at the feed's newest date needs
  // them.
  bool items_built = false;
  feed_entry_table items;
  // A day after the current time: a date past it is stored as given but moves no threshold.
  date future_limit = {};
};

// The element's text as a view: straight into the document when it is one text node, else
// gathered in the scratch arena. False (logged) when it does not fit there.
bool feed_node_text(buffer *scratch, const xml_node *node, buffer *out);
// The attribute's value, empty when the element has none.
buffer feed_attribute(const xml_node *element, const char *name);
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

// What makes an item at the feed's newest date the one an entry holds, beside a unique id: its
// link and title together, or its text when it has neither (text is kept only then).
struct feed_item_key {
  buffer link, title, text;
};
feed_item_key feed_item_key_make(buffer link, buffer title, buffer text);

// Whether an item of this date and unique id is dropped whatever else it holds: a date (not one
// in the far future, which is judged as none) earlier than the feed's when the parse began, or
// that very date with a unique id a stored entry has, or with the key (when given) an entry
// stored before has: the item the entry would be is known (feed_finish_entry).
bool feed_item_is_old(feed_parse_context *c, date d, buffer guid, const feed_item_key *key);

// An entry stored before with the same unique id, else, among those stored before this parse,
// the same link, else the same title: how an entry without a date is recognised on the next
// update.
entry *feed_find_known_entry(feed_parse_context *c, entry *e);
// Ends one entry: attaches it (replacing an older one with its unique id) or frees it with
// everything it added since the mark. A dated entry is kept when its date d is later than the
// start date; an undated one (d zero) or one dated past the future limit unless it is already
// known (above); one dated at the start date itself unless an entry stored before has its unique
// id, or its link and title (its text when it has neither), whether or not that entry or the item
// has a unique id. stored false (a text the store could not take) always drops it.
void feed_finish_entry(feed_parse_context *c, entry *e, reader_mark mark, date d, bool stored);

// The feed's threshold after the parse: the newest date kept (dates past the future limit left
// out), where it is later than the stored one (or there is none); a stored one past the limit
// counts as the start date, the newest date of the feed's entries that is not past it.
date feed_threshold_after(const feed_parse_context *c, date stored);

void rss_parse_channel(feed_parse_context *c, xml_node *channel, buffer url);
void atom_parse_feed(feed_parse_context *c, xml_node *root, buffer url);
