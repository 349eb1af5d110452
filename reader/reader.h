// The feed store: the one in-memory database of feeds, entries, categories, persons, Atom links,
// relation links and per-feed settings. Every record lives in a pool inside the `reader` (its
// capacity fixed, its memory taken as it fills) and every text in its string arena; records
// refer to each other by 32-bit id. The records below are also the save file's layout, byte for
// byte, padding included, so their sizes and offsets are pinned with static_assert.
#pragma once

#include "core/core.h"
#include "platform/platform.h"
#include "xml/xml.h"

// ---- Limits and kinds --------------------------------------------------------------------

// Capacities far beyond years of reading: each pool reserves address space for its capacity and
// commits memory only as it fills, so an empty store costs what a small one does. Entries carry
// several links each (the article, comments, an enclosure), so both kinds of links have four
// places for every entry the store can hold.
enum : u32 {
  READER_FEED_CAPACITY = 10000,
  READER_ENTRY_CAPACITY = 1000000,
  READER_CATEGORY_CAPACITY = 1000000,
  READER_PERSON_CAPACITY = 200000,
  READER_ATOM_LINK_CAPACITY = 4 * READER_ENTRY_CAPACITY,
  READER_LINK_CAPACITY = 4 * READER_ENTRY_CAPACITY,
  READER_META_CAPACITY = 10000,
  READER_LINK_OPENER_COUNT = 10,
};

#define READER_STRINGS_RESERVE GiB(16)  // for each of the two arenas
#define READER_STRINGS_STEP MiB(1)

// The first word of a feed and of an entry.
enum : u32 {
  feed_type_rss = 1,
  feed_type_atom = 2,
  feed_type_deleted = 0x80000000,  // the reversible deleted mark
  feed_type_mask = 0x7fffffff,
};

// Who owns an Atom link.
enum : u32 {
  atom_link_owner_feed = 1,
  atom_link_owner_entry = 2,
};

enum : u32 {
  atom_link_rel_alternate = 0,
  atom_link_rel_related = 1,
  atom_link_rel_self = 2,
  atom_link_rel_enclosure = 3,
  atom_link_rel_via = 4,
  // Any other relation (replies, edit, license, ...): never taken for the article's link.
  atom_link_rel_other = 5,
};

// Kinds of relation links: owner and target.
enum : u32 {
  link_kind_rss_feed_category = 1,
  link_kind_rss_entry_category = 2,
  link_kind_atom_feed_category = 3,
  link_kind_atom_entry_category = 4,
  link_kind_atom_feed_author = 5,
  link_kind_atom_entry_author = 6,
  link_kind_atom_feed_contributor = 7,
  link_kind_atom_entry_contributor = 8,
};

// Settings the user puts on a feed.
enum : u32 {
  meta_flag_oldest_first = 0x1,
  meta_flag_hide_enclosure = 0x2,
  meta_flag_draw_enclosure_image = 0x4,
};

// ---- Records -----------------------------------------------------------------------------
// A string is a buffer whose bytes lie in the store's arena: size the capacity it was copied
// with, used its length. Emptiness is judged by used alone. Ids start at 1; 0 means none.

struct feed_rss {
  buffer title, link, description, language, copyright, managingEditor, webMaster;
  date pubDate;
  date newest_date;  // items earlier than this are dropped on update, and known ones at it
  u32 category_count;
  u32 padding0;
  buffer generator, docs;
  buffer cloud_domain;
  s32 cloud_port;
  u32 padding1;
  buffer cloud_path, cloud_registerProcedure, cloud_protocol;
  s32 ttl;
  u32 padding2;
  buffer image_url, image_title, image_link;
  s32 image_width, image_height;
  buffer image_description;
  buffer rating;
  buffer textInput_title, textInput_description, textInput_name, textInput_link;
  s32 skipHours[24];
  s32 skipDays[7];  // 0 Monday to 6 Sunday
  u32 padding3;
};

struct feed_atom {
  u32 author_count, category_count, contributor_count, atom_link_count;
  buffer generator, generator_uri, generator_version;
  buffer icon, logo, atom_id;
  buffer rights, subtitle, title;
  date updated;
};

struct feed {
  u32 type;  // feed_type_rss or feed_type_atom, maybe with feed_type_deleted; 0 free slot
  u32 id;
  u32 entry_count;
  u32 padding;
  buffer url;
  union {
    feed_rss rss;
    feed_atom atom;  // the rest of the record stays zero
  };
};
static_assert(sizeof(feed) == 744, "feed record is part of the save file");
static_assert(offsetof(feed, url) == 16 && offsetof(feed, rss) == 40, "feed head");
static_assert(offsetof(feed, rss.pubDate) == 208 && offsetof(feed, rss.category_count) == 224, "rss feed");
static_assert(offsetof(feed, rss.cloud_port) == 304 && offsetof(feed, rss.ttl) == 384, "rss feed");
static_assert(offsetof(feed, rss.image_width) == 464 && offsetof(feed, rss.rating) == 496, "rss feed");
static_assert(offsetof(feed, rss.skipHours) == 616 && offsetof(feed, rss.skipDays) == 712, "rss feed");
static_assert(offsetof(feed, atom.generator) == 56 && offsetof(feed, atom.title) == 248, "atom feed");
static_assert(offsetof(feed, atom.updated) == 272, "atom feed");

struct entry_rss {
  buffer title, link, description, author, comments;
  buffer enclosure_url;
  s64 enclosure_length;
  buffer enclosure_type;
  buffer source, source_url;
  buffer guid;
  s32 isPermaLink;
  u32 category_count;
  date pubDate;
};

struct entry_atom {
  u32 author_count, category_count, contributor_count, atom_link_count;
  buffer content, atom_id, rights, source, summary, title;
  date published;
  date updated;
};

struct entry {
  u32 type;  // as a feed's, copied from the feed when attached
  u32 id;
  u32 feed_id;
  u32 generation;  // the update the entry arrived in
  union {
    entry_rss rss;
    entry_atom atom;
  };
};
static_assert(sizeof(entry) == 280, "entry record is part of the save file");
static_assert(offsetof(entry, rss.enclosure_length) == 160 && offsetof(entry, rss.guid) == 240, "rss entry");
static_assert(offsetof(entry, rss.isPermaLink) == 264 && offsetof(entry, rss.pubDate) == 272, "rss entry");
static_assert(offsetof(entry, atom.content) == 32 && offsetof(entry, atom.title) == 152, "atom entry");
static_assert(offsetof(entry, atom.published) == 176 && offsetof(entry, atom.updated) == 184, "atom entry");

// Identified by its term alone.
struct category {
  u32 id;
  u32 padding;
  buffer term, scheme, label;
};
static_assert(sizeof(category) == 80, "category record is part of the save file");

// Identified by its name alone.
struct person {
  u32 id;
  u32 padding;
  buffer name, uri, email;
};
static_assert(sizeof(person) == 80, "person record is part of the save file");

struct atom_link {
  u32 owner_kind;  // atom_link_owner_*; 0 free slot
  u32 owner_id;
  buffer href, type, hreflang, title;
  u32 rel;  // atom_link_rel_*
  u32 padding;
  s64 length;
};
static_assert(sizeof(atom_link) == 120 && offsetof(atom_link, rel) == 104, "atom link record");

// A relation between an owner and a category or person. POSIX also has a function named link,
// so the type is written `struct link` wherever <unistd.h> may be in view.
struct link {
  u32 kind;  // link_kind_*; 0 free slot
  u32 owner_id;
  u32 target_id;
};
static_assert(sizeof(struct link) == 12, "link record is part of the save file");

struct link_opener {
  buffer name, program, queue;
  u32 queue_mode;
  u32 padding;
};
static_assert(sizeof(link_opener) == 80, "link opener record");

struct meta {
  u32 feed_id;  // 0 free slot
  u32 flags;    // meta_flag_*
  link_opener *opener;
};
static_assert(sizeof(meta) == 16, "meta record is part of the save file");

// Every code point any stored text uses, for the glyph atlas. The list may be reordered in place
// (the atlas sorts it); the bitmap answers membership whatever the order.
struct codepoint_set {
  u32 count;
  u32 capacity;  // CODEPOINT_SET_CAPACITY: every code point fits
  u32 *items;
  u64 *present;  // one bit per code point, kept in step with items
};
#define CODEPOINT_SET_CAPACITY 0x110000u
#define CODEPOINT_SET_START_COUNT 193u
// Bytes codepoint_set_init takes from its arena.
#define CODEPOINT_SET_MEMORY (CODEPOINT_SET_CAPACITY * 4ull + CODEPOINT_SET_CAPACITY / 8 + 16)

// The pools' capacities and the arenas' reservation a reader is built with. Tests build small
// stores to reach the limits; the program uses reader_default_capacity.
struct reader_capacity {
  u32 feeds, entries, categories, persons, atom_links, links, metas;
  u64 strings;  // bytes reserved for each string arena
};
extern const reader_capacity reader_default_capacity;

// Undone by a rollback: everything strings and counters one parsed entry added.
struct reader_mark {
  u64 size;
  u64 used;
  u8 *data;
  u32 category_counter;
  u32 person_counter;
};

// Which pool ran full, so each is reported once until it has room again.
enum : u32 {
  reader_full_feeds = 0x1,
  reader_full_entries = 0x2,
  reader_full_categories = 0x4,
  reader_full_persons = 0x8,
  reader_full_atom_links = 0x10,
  reader_full_links = 0x20,
  reader_full_metas = 0x40,
  reader_full_strings = 0x80,
  reader_full_codepoints = 0x100,
};

enum reader_error : u32 {
  reader_error_none = 0,
  reader_error_pool_memory = 1,     // the system refused a pool's reservation
  reader_error_strings_memory = 2,  // the system refused an arena's reservation or first commit
};

// Records of one pool by a key, as chains of slots per hash bucket, so a look-up costs the same
// in a store of ten feeds and of ten thousand. Not saved: rebuilt from the pools on load. Every
// candidate is checked against the record itself, so a stale slot only costs a comparison.
struct reader_index {
  buffer block;
  u32 *heads;   // bucket -> first slot + 1; 0 empty
  u32 *next;    // slot -> 0 not filed, 1 last of its bucket, s + 2 followed by slot s
  u32 *prev;    // slot -> 0 first of its bucket, s + 1 after slot s (while filed), so a slot
                // leaves a chain of the whole feed's entries in one step
  u32 *hashes;  // slot -> the hash it is filed under
  u32 slots;    // slots the arrays cover
  u32 mask;     // buckets - 1
  u32 broken;   // the system refused memory: look-ups walk the pool until the next rebuild
  u32 padding;
};

// u32 values by id, zero until set, in memory that grows with the largest id set.
struct reader_id_values {
  arena memory;
  buffer values;
};

struct reader {
  // Fixed at start: the pools, each over reservations of its own.
  pool feeds;
  pool entries;
  pool categories;
  pool persons;
  pool atom_links;
  pool links;
  // The string arenas: the active one is strings_a, and strings is the view texts are pushed into;
  // strings_b is where the next reclaim moves the live texts.
  arena strings_a;
  arena strings_b;
  buffer strings;
  // Counters handed out while the program runs; renumbered at save.
  u32 next_feed_id;
  u32 entry_counter;
  u32 category_counter;
  u32 person_counter;
  u32 generation;
  codepoint_set *codepoints;
  link_opener link_openers[READER_LINK_OPENER_COUNT];
  pool metas;
  // reader_full_* bits of the limits reported to the log since they last had room.
  u32 full_reported;
  // Bytes of live texts when last measured (a reclaim or a load).
  u64 strings_live;
  // What this run's saves may do to the data folder's files (save_rule_* of reader/save.h), as
  // the load found the folder.
  u32 save_rule;
  // Look-ups kept in step with the pools by every operation that makes or frees a record.
  reader_index feeds_by_id;
  reader_index feeds_by_url;
  reader_index metas_by_feed;
  reader_index categories_by_term;
  reader_index persons_by_name;
  reader_index links_by_ends;  // by kind, owner and target
  reader_index links_by_owner;       // by owner and whether it is a feed
  reader_index atom_links_by_owner;  // by owner kind and owner
  reader_index entries_by_feed;      // attached entries by their feed's id
  reader_index categories_by_id;
  reader_index persons_by_id;
  // The XML parser's memory, reserved by the first feed_parse and kept for the next documents.
  xml_memory xml;
  // What this run's updates listed, for the exit's purge; not saved, and ids are not given out
  // again within a run. By feed id, the number of the feed's last update in this run (0: none);
  // by entry id, the number of the last update whose document listed the entry.
  reader_id_values listing_feeds;
  reader_id_values listing_entries;
  u32 listing_updates;  // updates numbered so far
  u32 listing_lost;     // the system refused memory: every feed counts as not updated
};

// ---- Construction ------------------------------------------------------------------------

// Builds the store in a zeroed reader: the pools' reservations, both arena reservations, the
// first MiB of the active arena. On failure everything taken is released and *error is set.
void reader_init(reader *r, u32 *error);
// The same with other capacities.
void reader_init_sized(reader *r, const reader_capacity *capacity, u32 *error);
// Gives back the pools' and both arenas' memory; the record is zero afterwards.
void reader_destroy(reader *r);

// Takes the list and its bitmap from the arena and fills the 193 start code points (the printable
// ISO 8859-15 repertoire, then U+FFFD at 191 and U+2026 at 192). False when the arena has no room.
bool codepoint_set_init(codepoint_set *set, buffer *arena);
bool codepoint_set_contains(const codepoint_set *set, u32 code_point);
// False when the set is full (it cannot be with the full capacity) or the value is no code point.
bool codepoint_set_add(codepoint_set *set, u32 code_point);

// ---- Strings -----------------------------------------------------------------------------

// A copy in the arena with the source's capacity (a terminator within it comes along). The empty
// string when the text is empty or the arena cannot grow (reported once in the log).
buffer reader_copy_string(reader *r, buffer text);
// Registers the text's code points (bytes that are not UTF-8 count as U+FFFD), then copies it.
buffer reader_add_string(reader *r, buffer text);
// Replaces *field only when the text differs. False when the copy failed (the field is then the
// empty string, and the caller drops what it was building).
bool reader_set_string(reader *r, buffer *field, buffer text);
// Commits the arena up to bytes; false when that would reach the reservation's end.
bool reader_strings_reserve(reader *r, u64 bytes);
reader_mark reader_strings_mark(reader *r);
// Replaced and deleted texts stay in the arena as garbage. When the arena holds more than twice
// the live texts, this moves them into the spare reservation, so the arena stays within twice
// its live bytes however long the program runs; the cost is amortised over the garbage made
// since the last move. Records stay where they are: only the texts' pointers change, so it runs
// only between parses, and whatever holds a text (not a record) takes it again when it returns
// true. The arena left behind stays readable until the next call.
bool reader_strings_reclaim(reader *r);
// The bytes the live records' texts take in the arena.
u64 reader_strings_live(reader *r);
// Frees the categories and persons made since the mark, then restores the arena and both
// counters. Whatever linked to them (the entry being undone) has been freed first.
void reader_strings_rollback(reader *r, reader_mark mark);

// ---- Records -----------------------------------------------------------------------------
// Each gives null when its pool is full (logged once until the pool has room again).

feed *reader_new_feed(reader *r, u32 type);
// id = entry_counter + 1, current generation; the counter rises only when attached.
entry *reader_new_entry(reader *r);
void reader_attach_entry(reader *r, feed *f, entry *e);
// A meta for the feed, with the first link opener.
meta *reader_new_meta(reader *r, u32 feed_id);
// To be called after a feed's url is set or edited, so look-ups by URL find it by the new one.
void reader_feed_url_changed(reader *r, feed *f);
// Builds every look-up again from the pools (after records were copied in or moved).
void reader_index_rebuild(reader *r);

// A known feed may only take a document of its own kind: the two layouts overlay each other, so
// filling one into the other corrupts the record. False, with a "Feed error: " line in the log,
// when the kinds differ; the caller then leaves the feed as it is.
bool reader_feed_accepts_type(feed *f, u32 type);

// The category (person) is an unsaved record holding the texts. Adds a link {kind, owner, target}
// unless the owner already has one to the same target, creating the target when no record has
// its term (name). False when a pool or the arena is full: then nothing was added.
bool reader_add_category_link(reader *r, category *c, u32 kind, u32 owner_id, u32 *count);
bool reader_add_person_link(reader *r, person *p, u32 kind, u32 owner_id, u32 *count);
// A zeroed Atom link owned by the feed or entry, counted in *count; null when the pool is full.
atom_link *reader_new_atom_link(reader *r, u32 owner_kind, u32 owner_id, u32 *count);

// A feed's or an entry's relation links and Atom links are read back in slot order, and a freed
// slot is handed out again before the untouched ones, the last freed first. Marked before an
// owner's records are made, these put them back in the order they were made, which is the
// document's: only the records made since the mark move, and only when all of them are the owner's.
struct reader_made_mark {
  pool_handout links;
  pool_handout atom_links;
};
reader_made_mark reader_made_mark_take(reader *r);
void reader_keep_made_order(reader *r, reader_made_mark mark, u32 owner_id, bool owner_is_feed);

// ---- Lookups -----------------------------------------------------------------------------
// All answer as a scan in slot order would, and find records marked deleted too; those by id,
// URL, term, name and feed go through the look-ups above.

inline u32 feed_get_type(const feed *f) { return f->type & feed_type_mask; }
inline u32 entry_get_type(const entry *e) { return e->type & feed_type_mask; }

feed *reader_find_feed(reader *r, u32 id);
feed *reader_find_feed_by_url(reader *r, buffer url);
entry *reader_find_entry(reader *r, u32 feed_id, u32 entry_id);
buffer entry_get_guid(const entry *e);
entry *reader_find_entry_by_guid(reader *r, u32 feed_id, buffer guid);
u32 reader_find_category(reader *r, buffer term);
category *reader_find_category_by_id(reader *r, u32 id);
person *reader_find_person(reader *r, u32 id);
u32 reader_find_person_by_name(reader *r, buffer name);
meta *reader_get_meta(reader *r, u32 feed_id);
buffer feed_get_title(const feed *f);
buffer entry_get_title(const entry *e);
buffer reader_find_atom_link_href(reader *r, u32 owner_id, u32 count, u32 owner_kind, u32 rel);
bool reader_link_exists(pool *links, u32 kind_low, u32 kind_high, u32 target_id);
// The relation links the feed (by_feed) or entry owns, in slot order, into out (room for max);
// returns how many there are, which may exceed max.
u32 reader_owned_links(reader *r, u32 owner_id, bool by_feed, struct link **out, u32 max);
// The entry pool slots of the feed's live entries, ascending (the order the list shows them),
// into slots (room for max); returns how many there are, which may exceed max: slots then holds
// some of them in no order, and a second call with room for all gives them sorted. Costs the
// feed's entries, not the store's.
u32 reader_feed_entry_slots(reader *r, u32 feed_id, u32 *slots, u32 max);

// Pool callbacks.
bool feed_is_live(void *item);
bool entry_is_live(void *item);
bool category_is_live(void *item);
bool person_is_live(void *item);
bool atom_link_is_live(void *item);
bool link_is_live(void *item);
bool meta_is_live(void *item);
void feed_clear(void *item);
void entry_clear(void *item);
void category_clear(void *item);
void person_clear(void *item);
void atom_link_clear(void *item);
void link_clear(void *item);
void meta_clear(void *item);

// ---- Checks ------------------------------------------------------------------------------

// Logs every pool's stored and counted size, then verifies each feed's and entry's counts against
// the links, the entries of each feed, a meta per feed, and that strings lie in the arena. Runs
// on loaded files too, so it never stops: it returns the number of problems found.
u32 reader_check(reader *r);
// Appends a listing of the store to the log and writes the whole log to the path.
u32 reader_dump(reader *r, buffer path);

// ---- Generations, deletion, sorting and navigation ----------------------------------------

// The store frees an entry's cached images through this hook; the application installs it.
typedef void reader_release_images_fn(u32 entry_id);
void reader_set_image_release_hook(reader_release_images_fn *fn);

u32 reader_prev_generation(reader *r, u32 g, u32 required, u32 allowed);
u32 reader_next_generation(reader *r, u32 g, u32 required, u32 allowed);
bool reader_has_entry_in_range(reader *r, u32 from, u32 to, u32 required, u32 allowed);
// Renumbers the live entries' generations densely from 1, keeping their order; the table comes
// from the scratch arena's free tail (it is not kept). False when the table does not fit.
bool reader_renumber_generations(reader *r, buffer scratch);

inline void entry_mark_deleted(entry *e) { e->type |= feed_type_deleted; }
inline void entry_unmark_deleted(entry *e) { e->type &= feed_type_mask; }
inline bool entry_is_deleted(const entry *e) { return (e->type & feed_type_deleted) != 0; }
inline bool feed_is_deleted(const feed *f) { return (f->type & feed_type_deleted) != 0; }
void reader_mark_feed_deleted(reader *r, feed *f);
void reader_unmark_feed_deleted(reader *r, feed *f, u32 with_entries);

void reader_delete_entry(reader *r, entry *e, feed *f);
// A document of the feed is being read (an update numbered anew): what it lists is named by
// reader_listing_mark, each entry its items are the same as and each entry they make.
void reader_listing_begin(reader *r, const feed *f);
void reader_listing_mark(reader *r, const entry *e);
// Whether an update could store the entry again were it freed, so that a deleted one is kept:
// one without a date, or dated at (or past) its feed's newest date, is told from a new item only
// by the stored entry that holds it; and the feed's document still listed it the last time the
// feed was updated in this run (a feed not updated since the start keeps what it has).
bool reader_entry_may_return(reader *r, const feed *f, const entry *e);
void reader_delete_feed_atom_links(reader *r, u32 owner, u32 owner_kind);
void reader_delete_feed(reader *r, feed *f);
// Frees every marked feed, and every marked entry of the other feeds but those that may return.
void reader_purge_deleted(reader *r);
void reader_purge_categories(reader *r);
void reader_purge_persons(reader *r);
inline void feed_entry_count_decrement(feed *f) { f->entry_count -= 1; }

void reader_sort_feed_entries(reader *r, feed *f);
void reader_sort_all_entries(reader *r);
bool entry_belongs_to_feed(void *item, void *feed_id);
// True when a is strictly earlier than b (Atom: published, or updated when there is none).
bool entry_compare_date(void *a, void *b);
void entry_swap(void *a, void *b);

entry *reader_first_entry(reader *r, feed *f, u32 from, u32 to, u32 required, u32 allowed);
entry *reader_last_entry(reader *r, feed *f, u32 from, u32 to, u32 required, u32 allowed);
entry *reader_prev_entry(reader *r, feed *f, entry *e, u32 from, u32 to, u32 required, u32 allowed);
entry *reader_next_entry(reader *r, feed *f, entry *e, u32 from, u32 to, u32 required, u32 allowed);
feed *reader_first_feed(reader *r, u32 include_empty, u32 from, u32 to, u32 feed_required,
                        u32 feed_allowed, u32 entry_required, u32 entry_allowed);
feed *reader_last_feed(reader *r, u32 include_empty, u32 from, u32 to, u32 feed_required,
                       u32 feed_allowed, u32 entry_required, u32 entry_allowed);
feed *reader_prev_feed(reader *r, feed *f, u32 include_empty, u32 from, u32 to, u32 feed_required,
                       u32 feed_allowed, u32 entry_required, u32 entry_allowed);
feed *reader_next_feed(reader *r, feed *f, u32 include_empty, u32 from, u32 to, u32 feed_required,
                       u32 feed_allowed, u32 entry_required, u32 entry_allowed);

// ---- Feed dates --------------------------------------------------------------------------
// Each reads its form whole and gives the instant in UTC, or no date: a text not of its form, or
// with a field out of range, gives the RFC 822 reader's 65535-00-00 (what an empty text gives)
// or the ISO reader's zero date, never a date with unread parts set to 0. A zone is applied
// wherever it stands, with the carrying addition (hours and minutes past their range carry). An
// RSS date may have a day name with or without its comma, day and month names in full and in
// any case, a one-digit day or hour, a time without seconds, a zone of the table or a numeric
// one and a comment; an ISO date a space for its "T", a time without seconds, a fraction, and a
// zone after white space.

date feed_parse_date_rfc822(buffer text);
date feed_parse_date_iso8601(buffer text);
// Whether a parsed date is one a feed meant: a calendar day with a four-digit year. Anything
// else the parsers give (a part missing, a zone that carried the date past 9999) is no date.
bool feed_date_is_usable(date d);

// ---- Testing -----------------------------------------------------------------------------

#if QM_TEST_HOOKS
// Records and table places the store's look-ups and walks have looked at since the program
// started. Tests read it around a piece of work at two sizes to hold the work to the input's
// size.
u64 reader_work_steps();
#endif

// ---- Feed parsing ------------------------------------------------------------------------

#include "reader/feed_parse.h"
