// The document level of feed parsing: the XML parse, recognising the kind of feed, reshaping
// RSS 1.0 into the RSS form, and what the RSS and Atom readers share: texts, dates, starting a
// feed and the decision that keeps or drops one entry.
#include "reader/feed_parse_internal.h"

// ---- Names -------------------------------------------------------------------------------

buffer feed_error_name(u32 error) {
  static const char *const names[feed_error_count] = {
      "feed_error_none",
      "feed_error_parser_error",
      "feed_error_unsupported_rdf_structure",
      "feed_error_expected_channel_or_feed",
      "feed_error_feed_type_changed",
      "feed_error_no_space_for_feed",
  };
  const char *name = error < feed_error_count ? names[error] : "feed_error_unknown";
  return string_from_bytes(name, string_length(name));
}

static void feed_log(const char *text) { log_append(text, string_length(text)); }

static void feed_xml_log(buffer line) { log_append_string(line); }

// ---- Texts, numbers and dates ------------------------------------------------------------

bool feed_node_text(buffer *scratch, const xml_node *node, buffer *out, bool quiet) {
  *out = buffer{};
  const xml_node *first = node ? node->first_child : nullptr;
  if (!first) return true;
  // Most elements hold one text node: its bytes in the document serve as they are.
  if (!first->next && xml_node_is_text(first)) {
    *out = string_from_bytes(first->text.data, first->text.used);
    return true;
  }
  u64 need = 0;
  for (const xml_node *n = first; n; n = n->next) {
    if (xml_node_is_text(n)) need += n->text.used;
  }
  // The builder leaves out pieces that do not fit; a text cut short that way must not be stored
  // as if it were whole.
  if (need > buffer_free_bytes(*scratch)) {
    if (!quiet) feed_log("Feed error: A text is too long for the parser's scratch memory; it is left out.\n");
    return false;
  }
  buffer text = xml_node_text(node, scratch, quiet);
  *out = string_from_bytes(text.data, text.used);
  return true;
}

buffer feed_attribute(const xml_node *element, const char *name) {
  xml_node *a = xml_find_attribute(element, string_from_bytes(name, string_length(name)));
  return a ? string_from_bytes(a->value.data, a->value.used) : buffer{};
}

bool feed_set_string(reader *r, buffer *field, buffer text) {
  buffer value = *field;
  if (!reader_set_string(r, &value, text)) return false;
  *field = value;
  return true;
}

bool reader_set_string_from_node(reader *r, buffer *scratch, buffer *field, const xml_node *node) {
  buffer_mark mark = buffer_mark_begin(scratch);
  buffer text = {};
  bool ok = !feed_node_text(scratch, node, &text) || feed_set_string(r, field, text);
  buffer_mark_rollback(&mark);
  return ok;
}

bool feed_set_text(feed_parse_context *c, buffer *field, const xml_node *n, bool *set) {
  buffer text = {};
  if (!feed_node_text(c->scratch, n, &text) || !feed_text_replaces(*field, text)) return true;
  if (set) *set = true;
  return feed_set_string(c->r, field, text);
}

buffer feed_read_last(feed_parse_context *c, const xml_node *item, buffer name) {
  for (xml_node *n = item->last_child; n; n = n->previous) {
    if (!xml_is_element(n, name)) continue;
    buffer text = {};
    if (!feed_node_text(c->scratch, n, &text, true)) c->key_unread = true;
    else if (text.used) return text;
  }
  return buffer{};
}

s64 feed_parse_s64(buffer text) {
  bool overflowed = false;
  return text.used ? string_parse_integer(text.data, text.used, &overflowed) : 0;
}

s32 feed_parse_s32(buffer text) {
  s64 v = feed_parse_s64(text);
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : (s32)v;
}

date feed_date_from_text(buffer text) {
  // Feeds mix the two forms (ISO dates in RSS, RFC 822 in Atom), and no text is of both.
  date d = feed_parse_date_iso8601(text);
  if (!feed_date_is_usable(d)) d = feed_parse_date_rfc822(text);
  return feed_date_is_usable(d) ? d : date{};
}

// ---- Feeds and entries -------------------------------------------------------------------

static void feed_guids_begin(feed_parse_context *c, u64 items);

// A date past the limit is a feed's mistake (a year 9999, a wrong century): as a threshold it
// would keep every later entry out, and even the current time in its place would drop the entries
// dated between the newest real one and this fetch. It says nothing of where the feed stands.
static bool feed_date_is_far_future(const feed_parse_context *c, date d) { return date_greater(d, c->future_limit); }

static date feed_entry_date(const entry *e) {
  return entry_get_type(e) == feed_type_rss ? e->rss.pubDate : e->atom.updated;
}

// A threshold stored past the limit (before such dates were held back) is put where the feed's
// entries put it: at the newest of their dates that is not past the limit.
static date feed_threshold_of_entries(const feed_parse_context *c) {
  date newest = {};
  // The newest date does not depend on the order the entries are met in.
  reader_each_feed_entry(c->r, c->f->id, [&](entry *e) {
    date d = feed_entry_date(e);
    if (!feed_date_is_far_future(c, d)) newest = feed_date_later(newest, d);
    return false;
  });
  return newest;
}

date feed_threshold_after(const feed_parse_context *c, date stored) {
  if (feed_date_is_far_future(c, stored)) stored = c->start_date;
  return date_is_zero(stored) || date_greater(c->newest_seen, stored) ? c->newest_seen : stored;
}

static void feed_parse_clock(feed_parse_context *c) {
  c->known_entries = c->r->entry_counter;
  c->future_limit = date_add(date_now_utc(), 0, 0, 1, 0, 0, 0);
}

// A document of this size holds about one item as feeds write them (a title, a link, a date, a
// unique id and some text); the table of unique ids is made for that many and grows past it,
// so a document of smaller items costs a few doublings and a table of far more places than
// items does not spread the look-ups over memory.
#define FEED_ITEM_BYTES 512u

bool feed_parse_begin(feed_parse_context *c, u32 type, buffer url) {
  reader *r = c->r;
  feed_parse_clock(c);
  u64 items = c->document_bytes / FEED_ITEM_BYTES;
  if (c->f) {
    if (!reader_feed_accepts_type(c->f, type)) {
      *c->error = feed_error_feed_type_changed;
      return false;
    }
    c->start_date = type == feed_type_rss ? c->f->rss.newest_date : c->f->atom.updated;
    if (feed_date_is_far_future(c, c->start_date)) c->start_date = feed_threshold_of_entries(c);
    feed_guids_begin(c, items);
    reader_listing_begin(r, c->f);
    return true;
  }
  feed *f = reader_new_feed(r, type);
  if (!f) {
    *c->error = feed_error_no_space_for_feed;
    return false;
  }
  // A feed never exists without its settings record; both or neither.
  if (!reader_new_meta(r, f->id) || !feed_set_string(r, &f->url, url)) {
    reader_delete_feed(r, f);
    *c->error = feed_error_no_space_for_feed;
    return false;
  }
  reader_feed_url_changed(r, f);
  c->f = f;
  c->start_date = date{};
  feed_guids_begin(c, items);
  reader_listing_begin(r, f);
  return true;
}

static buffer feed_entry_link(reader *r, const entry *e) {
  if (entry_get_type(e) == feed_type_rss) return e->rss.link;
  return reader_find_atom_link_href(r, e->id, e->atom.atom_link_count, atom_link_owner_entry, atom_link_rel_alternate);
}

static buffer feed_entry_text(const entry *e) {
  if (entry_get_type(e) == feed_type_rss) return e->rss.description;
  return e->atom.content.used ? e->atom.content : e->atom.summary;
}

// ---- Tables of the feed's entries --------------------------------------------------------

static void feed_table_log_no_memory() {
  feed_log("Feed error: No memory for the table of the feed's entries; the parse walks the feed.\n");
}

// A table with room for count places before it grows; in the scratch arena when it takes no more
// than a quarter of what is free there and the arena's state outlives the table, else in memory
// of its own.
static void feed_table_init(feed_parse_context *c, feed_entry_table *t, u64 count, bool in_scratch) {
  *t = feed_entry_table{};
  u64 capacity = 64;
  while (capacity < 2 * count + 2 && capacity < (1ull << 31)) capacity *= 2;
  u64 bytes = capacity * sizeof(u64);
  if (in_scratch && bytes <= buffer_free_bytes(*c->scratch) / 4) {
    t->places = buffer_push_array(c->scratch, u64, capacity);
    if (t->places) memory_zero(t->places, bytes);
  }
  if (!t->places) {
    t->block = memory_alloc(bytes, nullptr);
    t->places = (u64 *)t->block.data;
  }
  if (!t->places) feed_table_log_no_memory();
  t->capacity = (u32)capacity;
}

static void feed_table_release(feed_entry_table *t) {
  memory_free(&t->block);
  *t = feed_entry_table{};
}

// Where a hash starts probing: its bits spread over the whole table, as texts that differ only
// in their last bytes (numbered ids) give hashes that differ in few bits.
static u32 feed_table_start(const feed_entry_table *t, u32 hash) {
  return (u32)(((u64)hash * 0x9E3779B97F4A7C15ull) >> 32) & (t->capacity - 1);
}

static void feed_table_place(feed_entry_table *t, u64 value) {
  u32 mask = t->capacity - 1;
  for (u32 i = feed_table_start(t, (u32)(value >> 32));; i = (i + 1) & mask) {
    WORK_COUNT(reader_steps, 1);
    if (t->places[i] == value) return;
    if (!t->places[i]) {
      t->places[i] = value;
      t->used += 1;
      return;
    }
  }
}

// Twice the places in memory of its own, every place taken over.
static bool feed_table_grow(feed_entry_table *t) {
  if (t->capacity >= (1u << 31)) return false;
  feed_entry_table grown = {};
  grown.capacity = t->capacity * 2;
  grown.block = memory_alloc((u64)grown.capacity * sizeof(u64), nullptr);
  grown.places = (u64 *)grown.block.data;
  if (!grown.places) return false;
  for (u32 i = 0; i < t->capacity; ++i)
    if (t->places[i]) feed_table_place(&grown, t->places[i]);
  memory_free(&t->block);
  *t = grown;
  return true;
}

static entry *feed_table_entry(const feed_entry_table *t, u32 i, reader *r) {
  u32 slot = (u32)t->places[i] - 1;
  return slot < r->entries.high_water ? (entry *)pool_get(&r->entries, sizeof(entry), slot) : nullptr;
}

// One place per key: when an entry the key finds (same) is filed under the hash already, the
// entry is not filed again, so entries that share a title, a text or a unique id cost one place
// and a probe meets each key once, however many of them there are. A place whose entry no
// longer holds it (freed during the parse, its slot perhaps taken by another entry) is taken
// over, so replaced entries do not pile up places under their id either.
template <class Same, class Holds>
static void feed_table_put(feed_entry_table *t, u32 hash, reader *r, const entry *e, Same same, Holds holds,
                           bool take_over = false) {
  if (!t->places) return;
  u32 mask = t->capacity - 1, vacant = UINT32_MAX;
  u64 value = (u64)hash << 32 | (pool_index_of(&r->entries, sizeof(entry), e) + 1);
  for (u32 i = feed_table_start(t, hash); t->places[i]; i = (i + 1) & mask) {
    WORK_COUNT(reader_steps, 1);
    if ((u32)(t->places[i] >> 32) != hash) continue;
    entry *k = feed_table_entry(t, i, r);
    if (k && same(k)) {
      if (take_over) t->places[i] = value;
      return;
    }
    if (vacant == UINT32_MAX && (!k || !holds(k))) vacant = i;
  }
  if (vacant != UINT32_MAX) {
    t->places[vacant] = value;
    return;
  }
  if (2 * ((u64)t->used + 1) > t->capacity && !feed_table_grow(t)) {
    // Without memory the entries it misses could not be found: it is given up as a whole.
    feed_table_log_no_memory();
    feed_table_release(t);
    return;
  }
  feed_table_place(t, value);
}

// The first entry filed under the hash that passes the test.
template <class F>
static entry *feed_table_find(const feed_entry_table *t, u32 hash, reader *r, F matches) {
  u32 mask = t->capacity - 1;
  for (u32 i = feed_table_start(t, hash); t->places[i]; i = (i + 1) & mask) {
    WORK_COUNT(reader_steps, 1);
    if ((u32)(t->places[i] >> 32) != hash) continue;
    entry *e = feed_table_entry(t, i, r);
    if (e && matches(e)) return e;
  }
  return nullptr;
}

static u32 feed_text_hash(buffer text) { return fasthash32(text.data, text.used, 0); }

// ---- Unique ids --------------------------------------------------------------------------

static bool feed_entry_is_mine(const feed_parse_context *c, entry *e) {
  return entry_is_live(e) && e->feed_id == c->f->id;
}

// With take_over, the entry takes the place of the one its id finds (which it replaces).
static void feed_guid_put(feed_parse_context *c, entry *e, bool take_over = false) {
  buffer guid = entry_get_guid(e);
  if (!guid.used) return;
  u32 hash = feed_text_hash(guid);
  feed_table_put(
      &c->guids, hash, c->r, e,
      [&](entry *k) { return k != e && feed_entry_is_mine(c, k) && string_equal(entry_get_guid(k), guid); },
      [&](entry *k) { return feed_entry_is_mine(c, k) && feed_text_hash(entry_get_guid(k)) == hash; }, take_over);
}

// Room for the feed's entries and the items the document's size suggests.
static void feed_guids_begin(feed_parse_context *c, u64 items) {
  c->known_count = c->f->entry_count;
  feed_table_init(c, &c->guids, (u64)c->f->entry_count + items, true);
  if (!c->guids.places) return;
  reader_each_feed_entry(c->r, c->f->id, [&](entry *e) { return feed_guid_put(c, e), false; });
}

static entry *feed_guid_find(feed_parse_context *c, buffer guid) {
  if (!guid.used) return nullptr;
  if (!c->guids.places) return reader_find_entry_by_guid(c->r, c->f->id, guid);
  return feed_table_find(&c->guids, feed_text_hash(guid), c->r, [&](entry *e) {
    return feed_entry_is_mine(c, e) && string_equal(entry_get_guid(e), guid);
  });
}

// ---- Items known by their key ------------------------------------------------------------

// Whether an item's key is needed (it has neither link nor title) to read its text.
static bool feed_item_needs_text(const feed_item &item) { return !item.link.used && !item.title.used; }

static feed_item feed_item_of_entry(reader *r, const entry *e) {
  feed_item item = {feed_entry_date(e), entry_get_guid(e), feed_entry_link(r, e), entry_get_title(e), {}};
  if (feed_item_needs_text(item)) item.text = feed_entry_text(e);
  return item;
}

static u32 feed_item_key_hash(const feed_item &k) {
  u32 h = fasthash32(k.link.data, k.link.used, 0x51ED27u);
  h = fasthash32(k.title.data, k.title.used, h);
  u64 day = date_to_number(k.d);
  h = fasthash32(&day, sizeof day, h);
  return feed_item_needs_text(k) ? fasthash32(k.text.data, k.text.used, h) : h;
}

static bool feed_item_keys_equal(const feed_item &a, const feed_item &b) {
  return string_equal(a.link, b.link) && string_equal(a.title, b.title) && date_to_number(a.d) == date_to_number(b.d) &&
         (!feed_item_needs_text(a) || string_equal(a.text, b.text));
}

// An entry of the feed stored before the parse: only such an entry makes an item known by its
// key. Two items of one document that share a link, a title and a date are two items.
static bool feed_entry_was_stored(const feed_parse_context *c, entry *k) {
  return feed_entry_is_mine(c, k) && k->id <= c->known_entries;
}

static void feed_key_put(feed_parse_context *c, feed_entry_table *t, entry *e, const feed_item &key) {
  reader *r = c->r;
  feed_table_put(
      t, feed_item_key_hash(key), r, e,
      [&](entry *k) { return feed_entry_was_stored(c, k) && feed_item_keys_equal(feed_item_of_entry(r, k), key); },
      [&](entry *k) { return feed_entry_was_stored(c, k); });
}

// The entries stored before the parse by their key: all of them (bare false), or those without a
// unique id, against which an item with one is matched. Each is made when an item first needs it.
static void feed_keys_begin(feed_parse_context *c, feed_entry_table *t, bool bare) {
  reader *r = c->r;
  (bare ? c->keys_bare_built : c->keys_any_built) = true;
  feed_table_init(c, t, c->known_count, false);
  reader_each_feed_entry(r, c->f->id, [&](entry *k) {
    if (!feed_entry_was_stored(c, k) || (bare && entry_get_guid(k).used)) return false;
    feed_key_put(c, t, k, feed_item_of_entry(r, k));
    return false;
  });
}

static entry *feed_key_find(feed_parse_context *c, const feed_item &item) {
  reader *r = c->r;
  if (c->known_count == 0) return nullptr;
  bool bare = item.guid.used != 0;
  feed_entry_table *t = bare ? &c->keys_bare : &c->keys_any;
  if (!(bare ? c->keys_bare_built : c->keys_any_built)) feed_keys_begin(c, t, bare);
  auto same = [&](entry *k) {
    if (!feed_entry_was_stored(c, k)) return false;
    feed_item key = feed_item_of_entry(r, k);
    return (!bare || !key.guid.used) && feed_item_keys_equal(key, item);
  };
  if (!t->places) return reader_each_feed_entry(r, c->f->id, same);
  return feed_table_find(t, feed_item_key_hash(item), r, same);
}

// ---- Judging an item ---------------------------------------------------------------------

// A date that is not past the limit, by which an entry can be judged.
static bool feed_date_judges(const feed_parse_context *c, date d) {
  return !date_is_zero(d) && !feed_date_is_far_future(c, d);
}

// The item is the same as the entry: the document still lists it.
static feed_verdict feed_known_as(feed_parse_context *c, entry *same) {
  reader_listing_mark(c->r, same);
  return feed_verdict{feed_item_drop, nullptr};
}

// Dated before the feed's newest date (and not in the far future): the first step of the verdict,
// which needs no text of the item.
static bool feed_item_dropped_by_date(const feed_parse_context *c, date d) {
  return feed_date_judges(c, d) && date_greater(c->start_date, d);
}

// By the item's date and unique id: dropped when dated before the feed's newest date; stored
// when dated after it, replacing the entry with its unique id unless that entry was stored before
// the parse with the very same date; at that date itself, undated or dated in the far future,
// dropped when an entry has its unique id, else to be judged by its key. An entry found the same
// is listed by the document.
static feed_verdict feed_item_judge(feed_parse_context *c, date d, buffer guid) {
  bool judged = feed_date_judges(c, d);
  if (judged && date_greater(c->start_date, d)) return feed_verdict{feed_item_drop, nullptr};
  entry *same = feed_guid_find(c, guid);
  if (judged && date_greater(d, c->start_date)) {
    // Dated later than anything the feed had: new, or an edited item that takes its entry's place
    // (deleted or not). An entry stored before with this very date is the item itself (its date
    // was in the far future then), which stays as it is, deleted or not; within one document the
    // later copy of an item wins.
    if (same && same->id <= c->known_entries && date_to_number(feed_entry_date(same)) == date_to_number(d))
      return feed_known_as(c, same);
    return feed_verdict{feed_item_store, same};
  }
  // At the feed's newest date, which a feed that dates by the day or publishes several items in a
  // second gives its next items too, without a date or with one the far future makes meaningless,
  // the date cannot tell: the item is new unless an entry is the same item.
  if (same) return feed_known_as(c, same);
  return feed_verdict{feed_item_ask_key, nullptr};
}

// The same for an item the first verdict left to its key: stored unless an entry stored before
// the parse is the same (listed, then).
static feed_verdict feed_item_judge_by_key(feed_parse_context *c, const feed_item &item) {
  entry *same = feed_key_find(c, item);
  if (same) return feed_known_as(c, same);
  return feed_verdict{feed_item_store, nullptr};
}

// Each text read only when the verdict needs it: an item dropped by its date costs only its date,
// one known by its unique id its date and id.
static feed_verdict feed_item_read_and_judge(feed_parse_context *c, const feed_item_reader &read,
                                             const xml_node *item) {
  date d = read.date_of(c, item);
  if (feed_item_dropped_by_date(c, d)) return feed_verdict{feed_item_drop, nullptr};
  c->key_unread = false;
  buffer guid = feed_read_last(c, item, read.guid_name);
  if (c->key_unread) return feed_verdict{feed_item_ask_built, nullptr};
  feed_verdict v = feed_item_judge(c, d, guid);
  if (v.action != feed_item_ask_key) return v;
  feed_item key = {d, guid, read.link_of(c, item), read.title_of(c, item), {}};
  if (feed_item_needs_text(key)) key.text = read.text_of(c, item);
  if (c->key_unread) return feed_verdict{feed_item_ask_built, nullptr};
  return feed_item_judge_by_key(c, key);
}

// ---- Storing an item ---------------------------------------------------------------------

// The entries replaced so far, freed now: the feed's entry count and the store's pools are as if
// each had been freed when its item came.
static void feed_free_replaced(feed_parse_context *c) {
  u32 *pairs = (u32 *)c->replaced.data;
  for (u64 i = 0; i + 1 < c->replaced.used / 4; i += 2) {
    entry *e = (entry *)pool_get(&c->r->entries, sizeof(entry), pairs[i]);
    if (feed_entry_is_mine(c, e) && e->id == pairs[i + 1]) reader_delete_entry(c->r, e, c->f);
  }
  c->replaced.used = 0;
}

static bool feed_defer_free(feed_parse_context *c, entry *e) {
  // Without the table of unique ids the entry could still be found by its id and replaced twice.
  if (!c->guids.places) return false;
  if (c->replaced.used + 8 > c->replaced.size) {
    buffer grown = memory_alloc(c->replaced.size ? 2 * c->replaced.size : KiB(4), nullptr);
    if (!grown.data) return false;
    memory_copy(grown.data, c->replaced.data, c->replaced.used);
    grown.used = c->replaced.used;
    memory_free(&c->replaced);
    c->replaced = grown;
  }
  u32 pair[2] = {pool_index_of(&c->r->entries, sizeof(entry), e), e->id};
  buffer_push_bytes(&c->replaced, pair, sizeof pair);
  return true;
}

entry *feed_begin_entry(feed_parse_context *c, const feed_item_reader &read, const xml_node *item,
                        feed_entry_start *s) {
  reader *r = c->r;
  buffer_mark judge_mark = buffer_mark_begin(c->scratch);
  s->verdict = feed_item_read_and_judge(c, read, item);
  buffer_mark_rollback(&judge_mark);
  if (s->verdict.action == feed_item_drop) return nullptr;
  s->mark = reader_strings_mark(r);
  s->made = reader_made_mark_take(r);
  if (r->entries.entry_count >= r->entries.max_entry_count && c->replaced.used) feed_free_replaced(c);
  return reader_new_entry(r);
}

void feed_finish_entry(feed_parse_context *c, entry *e, const feed_entry_start &s, bool stored) {
  reader *r = c->r;
  feed *f = c->f;
  reader_keep_made_order(r, s.made, e->id, false);
  e->type = feed_get_type(f);
  feed_verdict verdict = s.verdict;
  date d = feed_entry_date(e);
  if (stored && verdict.action == feed_item_ask_built) {
    feed_item item = feed_item_of_entry(r, e);
    verdict = feed_item_judge(c, d, item.guid);
    if (verdict.action == feed_item_ask_key) verdict = feed_item_judge_by_key(c, item);
  }
  if (!stored || verdict.action == feed_item_drop) {
    reader_delete_entry(r, e, nullptr);
    reader_strings_rollback(r, s.mark);
    return;
  }
  if (!feed_date_is_far_future(c, d)) c->newest_seen = feed_date_later(c->newest_seen, d);
  reader_attach_entry(r, f, e);
  entry *older = verdict.replaces;
  if (older && feed_entry_is_mine(c, older) && !feed_defer_free(c, older)) {
    reader_delete_entry(r, older, f);
    older = nullptr;
  }
  feed_guid_put(c, e, older != nullptr);
  reader_listing_mark(r, e);
}

// ---- RSS 1.0 -----------------------------------------------------------------------------

static void feed_node_unlink(xml_node *n) {
  xml_node *p = n->parent;
  if (n->previous) n->previous->next = n->next;
  else if (p) p->first_child = n->next;
  if (n->next) n->next->previous = n->previous;
  else if (p) p->last_child = n->previous;
  n->parent = n->next = n->previous = nullptr;
}

// Puts n among parent's children before the given child (at the end when there is none).
static void feed_node_insert_before(xml_node *parent, xml_node *before, xml_node *n) {
  n->parent = parent;
  n->next = before;
  n->previous = before ? before->previous : parent->last_child;
  if (n->previous) n->previous->next = n;
  else parent->first_child = n;
  if (before) before->previous = n;
  else parent->last_child = n;
  parent->empty = 0;
}

// The document names its items in an "rdf:Seq" inside the channel and lists them as siblings
// of the channel, with "image" or "textinput" possibly among them. The items are collected by
// name, checked against the list, and everything beside the channel moves into it where the
// list stood, so the RSS rules apply. Returns the channel, or null when the structure is not
// one this reader understands.
static xml_node *rdf_reshape(xml_node *root) {
  xml_node *channel = nullptr;
  for (xml_node *n = xml_first_child_element(root); n && !channel; n = xml_next_sibling_element(n))
    if (xml_is_element(n, string_lit("channel"))) channel = n;
  if (!channel) return nullptr;
  xml_node *first_item = nullptr;
  for (xml_node *n = xml_first_child_element(root); n && !first_item; n = xml_next_sibling_element(n))
    if (xml_is_element(n, string_lit("item"))) first_item = n;
  if (!first_item) return nullptr;
  xml_node *items = xml_find_element(channel, string_lit("items"));
  xml_node *seq = xml_first_child_element(items);
  if (!items || !xml_is_element(seq, string_lit("rdf:Seq"))) return nullptr;

  xml_node *li = xml_first_child_element(seq), *item = first_item;
  while (li && item) {
    if (!xml_is_element(li, string_lit("rdf:li"))) return nullptr;
    buffer resource = feed_attribute(li, "rdf:resource");
    if (!resource.used) resource = feed_attribute(li, "resource");
    buffer about = feed_attribute(item, "rdf:about");
    if (!resource.used || !string_equal(resource, about)) return nullptr;
    li = xml_next_sibling_element(li);
    do item = xml_next_sibling_element(item);
    while (item && !xml_is_element(item, string_lit("item")));
  }

  // The list's own children are detached with it; the items and their neighbours take its place.
  xml_node *after = items->parent == channel ? items->next : nullptr;
  xml_node *holder = items->parent;
  feed_node_unlink(items);
  if (holder != channel) after = nullptr;
  xml_node *n = root->first_child;
  while (n) {
    xml_node *next = n->next;
    if (n != channel && n->type == xml_node_type_element) {
      feed_node_unlink(n);
      feed_node_insert_before(channel, after, n);
    }
    n = next;
  }
  return channel;
}

// ---- Document ----------------------------------------------------------------------------

static bool feed_is_space_unit(const u8 *at, u32 unit, bool big_endian) {
  u8 c = unit == 1 ? at[0] : big_endian ? at[1] : at[0];
  bool high_zero = unit == 1 || (big_endian ? at[0] : at[1]) == 0;
  return high_zero && (c == ' ' || c == '\t' || c == '\r' || c == '\n');
}

// Servers often put a blank line before the XML declaration, which XML forbids; readers show
// such feeds anyway. White space (and only white space) before "<?xml" and a space is skipped, in
// the units of the byte-order mark's encoding; a mark stays in front of the declaration, in a
// copy (*copy, released by the caller), as it tells the encoding.
static buffer feed_skip_space_before_declaration(buffer document, buffer *copy) {
  *copy = buffer{};
  const u8 *d = document.data;
  u64 n = document.used, mark = 0;
  u32 unit = 1;
  bool big_endian = false;
  if (n >= 3 && d[0] == 0xEF && d[1] == 0xBB && d[2] == 0xBF) {
    mark = 3;
  } else if (n >= 2 && ((d[0] == 0xFF && d[1] == 0xFE) || (d[0] == 0xFE && d[1] == 0xFF))) {
    mark = 2;
    unit = 2;
    big_endian = d[0] == 0xFE;
  }
  u64 at = mark;
  while (at + unit <= n && feed_is_space_unit(d + at, unit, big_endian)) at += unit;
  if (at == mark) return document;
  const char declaration[] = "<?xml";
  for (u32 i = 0; i < 6; i++) {
    const u8 *u = d + at + (u64)i * unit;
    if (at + (u64)(i + 1) * unit > n) return document;
    if (i == 5 ? !feed_is_space_unit(u, unit, big_endian)
               : !(unit == 1 ? u[0] == (u8)declaration[i]
                             : u[big_endian] == (u8)declaration[i] && u[!big_endian] == 0))
      return document;
  }
  if (mark == 0) return buffer{document.size - at, n - at, document.data + at};
  *copy = memory_alloc(mark + n - at, nullptr);
  if (!copy->data) return document;
  buffer_push_bytes(copy, d, mark);
  buffer_push_bytes(copy, d + at, n - at);
  return *copy;
}

feed *feed_parse(buffer *scratch, reader *r, buffer document, buffer url, feed *f, u32 *error) {
  if (*error) return f;
  xml_set_log_function(feed_xml_log);
  log_append_string(string_lit("XML parsing: "));
  log_append_string(url);
  log_append_string(string_lit("\n"));

  buffer_mark scratch_mark = buffer_mark_begin(scratch);
  feed_parse_context c = {};
  c.r = r;
  c.scratch = scratch;
  c.error = error;
  c.f = f;
  c.document_bytes = document.used;
  buffer document_copy;
  document = feed_skip_space_before_declaration(document, &document_copy);
  // The reader's XML memory is reserved once for the largest download and reused with what it
  // has committed, so a parse faults no fresh pages in; a larger document (a local file) gets
  // memory of its own.
  xml_memory own = {};
  xml_memory *memory = &r->xml;
  if (!memory->nodes.memory.data) xml_memory_reserve(memory, HTTP_BODY_MAX);
  if (!xml_memory_prepare(memory, document.used)) {
    memory = &own;
    if (!xml_memory_reserve(memory, document.used)) memory = nullptr;
  }
  xml_parser parser = {};
  xml_error xml_status = 0;
  if (!memory) {
    feed_log("Error: no memory for the document's tree\n");
    *error = feed_error_parser_error;
  } else {
    xml_parse_reserved(&parser, memory, document, &xml_status);
  }
  if (xml_status == xml_error_out_of_node_memory) {
    // Markup made to be dense would otherwise take gigabytes on the UI thread.
    u8 line_bytes[256];
    buffer line = {sizeof line_bytes, 0, line_bytes};
    // The rule is written from the constants that make it.
    buffer_push_string(&line, string_lit("Feed error: the document's tree passed its memory limit of "), 1);
    buffer_push_unsigned(&line, memory->nodes.limit >> 10, 0, ' ', 0);
    buffer_push_string(&line, string_lit(" KiB ("), 1);
    buffer_push_unsigned(&line, XML_TREE_LIMIT_FACTOR, 0, ' ', 0);
    buffer_push_string(&line, string_lit(" times the document's size, at least "), 1);
    buffer_push_size(&line, XML_TREE_LIMIT_MIN);
    buffer_push_string(&line, string_lit(", at most "), 1);
    buffer_push_size(&line, XML_TREE_LIMIT_MAX);
    buffer_push_string(&line, string_lit(").\n"), 1);
    log_append_string(line);
  }
  if (!*error && xml_status) {
    u8 report_bytes[1024];
    buffer report = {sizeof report_bytes, 0, report_bytes};
    xml_print_error(&parser, &xml_status, &report);
    log_append_string(report);
    *error = feed_error_parser_error;
  }

  if (!*error) {
    feed_log("Processing feed\n");
    xml_node *root = xml_first_child_element(parser.top);
    if (xml_is_element(root, string_lit("rdf:RDF"))) {
      feed_log("RDF detected.\n");
      root = rdf_reshape(root);
      if (!root) *error = feed_error_unsupported_rdf_structure;
    } else if (xml_is_element(root, string_lit("rss"))) {
      root = xml_first_child_element(root);
    }
    if (*error) {
    } else if (xml_is_element(root, string_lit("channel"))) {
      feed_log("Feed is RSS.\n");
      rss_parse_channel(&c, root, url);
    } else if (xml_is_element(root, string_lit("feed"))) {
      feed_log("Feed is Atom.\n");
      atom_parse_feed(&c, root, url);
    } else {
      *error = feed_error_expected_channel_or_feed;
    }
  }

  if (c.replaced.used) feed_free_replaced(&c);
  memory_free(&c.replaced);
  feed_table_release(&c.guids);
  feed_table_release(&c.keys_any);
  feed_table_release(&c.keys_bare);
  if (memory == &r->xml) {
    xml_memory_settle(memory);
  } else if (memory) {
    xml_memory_release(memory);
  }
  memory_free(&document_copy);
  buffer_mark_rollback(&scratch_mark);
  if (*error) {
    log_append_string(string_lit("Feed error: "));
    log_append_string(feed_error_name(*error));
    log_append_string(string_lit("\n"));
  }
  return c.f;
}
