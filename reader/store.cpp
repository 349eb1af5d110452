// The store's construction, strings and code points, record creation and relation links.
#include "reader/store_internal.h"

// ---- Construction ------------------------------------------------------------------------

const reader_capacity reader_default_capacity = {
    READER_FEED_CAPACITY,      READER_ENTRY_CAPACITY, READER_CATEGORY_CAPACITY, READER_PERSON_CAPACITY,
    READER_ATOM_LINK_CAPACITY, READER_LINK_CAPACITY,  READER_META_CAPACITY,     READER_STRINGS_RESERVE,
};

void reader_init(reader *r, u32 *error) { reader_init_sized(r, &reader_default_capacity, error); }

void reader_init_sized(reader *r, const reader_capacity *capacity, u32 *error) {
  if (*error) return;
  struct {
    pool *p;
    u64 item_size;
    u32 capacity;
  } pools[7] = {
      {&r->feeds, sizeof(feed), capacity->feeds},
      {&r->entries, sizeof(entry), capacity->entries},
      {&r->categories, sizeof(category), capacity->categories},
      {&r->persons, sizeof(person), capacity->persons},
      {&r->atom_links, sizeof(atom_link), capacity->atom_links},
      {&r->links, sizeof(struct link), capacity->links},
      {&r->metas, sizeof(meta), capacity->metas},
  };
  for (auto &l : pools) {
    if (!pool_reserve(l.p, l.item_size, l.capacity)) {
      reader_destroy(r);
      *error = reader_error_pool_memory;
      return;
    }
  }

  // Quiet: a full arena is the store's "No space left" line. The last step stays uncommitted, as
  // the save file's check of a text arena's length expects.
  if (!arena_reserve(&r->strings_a, capacity->strings, READER_STRINGS_STEP, READER_STRINGS_STEP, "Texts",
                     arena_flag_quiet) ||
      !arena_reserve(&r->strings_b, capacity->strings, 0, READER_STRINGS_STEP, "Texts", arena_flag_quiet)) {
    reader_destroy(r);
    *error = reader_error_strings_memory;
    return;
  }
  arena_set_limit(&r->strings_a, r->strings_a.memory.size - READER_STRINGS_STEP);
  arena_set_limit(&r->strings_b, r->strings_b.memory.size - READER_STRINGS_STEP);
  r->strings = arena_view(&r->strings_a);
  r->next_feed_id = r->entry_counter = r->category_counter = r->person_counter = 0;
  r->generation = 0;
  r->full_reported = 0;
}

void reader_destroy(reader *r) {
  for (u32 k = pool_feeds; k <= pool_metas; ++k) pool_destroy(reader_pool(r, k));
  reader_index_free(r);
  arena_release(&r->strings_a);
  arena_release(&r->strings_b);
  xml_memory_release(&r->xml);
  reader_id_values_release(&r->listing_feeds);
  reader_id_values_release(&r->listing_entries);
  memory_zero(r, sizeof *r);
}

void reader_report_full(reader *r, u32 bit, const char *message) {
  if (r->full_reported & bit) return;
  r->full_reported |= bit;
  log_append_string(string_lit("Feed error: "));
  log_append(message, string_length(message));
}

// ---- Code points -------------------------------------------------------------------------

bool codepoint_set_contains(const codepoint_set *set, u32 c) {
  return c < CODEPOINT_SET_CAPACITY && (set->present[c >> 6] >> (c & 63) & 1);
}

bool codepoint_set_add(codepoint_set *set, u32 c) {
  if (c >= CODEPOINT_SET_CAPACITY || set->count >= set->capacity) return false;
  if (codepoint_set_contains(set, c)) return true;
  set->items[set->count++] = c;
  set->present[c >> 6] |= 1ull << (c & 63);
  return true;
}

bool codepoint_set_init(codepoint_set *set, buffer *arena) {
  u32 *items = buffer_push_array(arena, u32, CODEPOINT_SET_CAPACITY);
  u64 *present = buffer_push_array(arena, u64, CODEPOINT_SET_CAPACITY / 64);
  if (!items || !present) return false;
  memory_zero(present, CODEPOINT_SET_CAPACITY / 8);
  *set = codepoint_set{0, CODEPOINT_SET_CAPACITY, items, present};
  for (u32 c = 0x20; c <= 0x7E; ++c) codepoint_set_add(set, c);
  // Latin-1's upper half without the eight places ISO 8859-15 gives to other letters.
  static const u32 replaced[] = {0xA4, 0xA6, 0xA8, 0xB4, 0xB8, 0xBC, 0xBD, 0xBE};
  for (u32 c = 0xA0; c <= 0xFF; ++c) {
    if (!char_is_any_u32(c, replaced, array_count(replaced))) codepoint_set_add(set, c);
  }
  static const u32 latin9[] = {0x20AC, 0x160, 0x161, 0x17D, 0x17E, 0x152, 0x153, 0x178, 0xFFFD, 0x2026};
  for (u32 c : latin9) codepoint_set_add(set, c);
  return true;
}

// Every code point of the text enters the set; bytes that do not decode count as U+FFFD, one
// for each maximal subpart as everywhere else (they are stored as they are).
static void reader_register_codepoints(reader *r, buffer text) {
  codepoint_set *set = r->codepoints;
  if (!set) return;
  const u8 *p = text.data, *end = text.data + text.used;
  // Printable ASCII, when the set holds all of it (it does from the start), passes eight bytes
  // at a time.
  bool printable = bits_hold_printable_ascii(set->present);
  auto add = [&](u32 c) {
    if (codepoint_set_add(set, c)) return true;
    log_append_string(string_lit("Feed error: No space left in codepoint set.\n"));
    return false;
  };
  // A code point already decoded, looked up by its bit, or one longer sequence; each false when
  // the set ran full.
  auto take_known = [&](u32 c) { return (set->present[c >> 6] >> (c & 63) & 1) || add(c); };
  // The sequence at q; *after is where the next one begins.
  auto take_sequence = [&](const u8 *q, const u8 **after) {
    u32 c = unicode_invalid;
    u32 length = utf8_decode_one(q, end, &c);
    if (!length) {
      c = unicode_replacement;
      length = unicode_utf8_step(q, end);
    }
    *after = q + length;
    return codepoint_set_contains(set, c) || add(c);
  };
  auto take_high = [&]() { return take_sequence(p, &p); };
#if UNICODE_UTF8_SIXTEEN
  // Sixteen bytes a step, however many longer sequences they hold: the bytes that need a look (a
  // control byte, or one that begins a sequence) are taken in order from the step's bits. A
  // continuation byte that no sequence taken covers does not decode; it stands for U+FFFD, which
  // is among the start code points, so when in the step it is met does not change the list.
  const u8 *next = p;  // where the last sequence taken ends
  while (printable && end - p >= 16) {
    u32 leads, continuations, special = unicode_utf8_classify16(p, &leads, &continuations);
    u32 covered = next > p ? (1u << (next - p)) - 1 : 0;  // a sequence begun in the last step
    for (u32 bits = special | leads; bits; bits &= bits - 1) {
      u32 i = (u32)__builtin_ctz(bits);
      const u8 *q = p + i;
      u32 b = *q, after = continuations >> (i + 1);
      if (b < 0x80) {
        if (!take_known(b)) return;
        continue;
      }
      // Two- and three-byte sequences whose continuations the step's bits show, and that need
      // no range check beyond them (E0 and ED do), decode in place.
      if (b >= 0xC2 && b <= 0xDF && i < 15 && (after & 1)) {
        if (!take_known((b & 0x1F) << 6 | (q[1] & 0x3F))) return;
        next = q + 2;
        covered |= 3u << i;
        continue;
      }
      if (b >= 0xE1 && b <= 0xEF && b != 0xED && i < 14 && (after & 3) == 3) {
        if (!take_known((b & 0x0F) << 12 | (u32)(q[1] & 0x3F) << 6 | (q[2] & 0x3F))) return;
        next = q + 3;
        covered |= 7u << i;
        continue;
      }
      if (!take_sequence(q, &next)) return;
      covered |= ((1u << (next - q)) - 1) << i;
    }
    if ((continuations & ~covered) && !codepoint_set_contains(set, unicode_replacement) && !add(unicode_replacement))
      return;
    p += 16;
  }
  if (p < next) p = next;
#endif
  while (p < end) {
    if (printable && end - p >= 8 && word_is_printable_ascii(p)) {
      p += 8;
      continue;
    }
    // Most other bytes are ASCII too: one bit test each.
    if (*p < 0x80) {
      if (!take_known(*p++)) return;
      continue;
    }
    if (!take_high()) return;
  }
}

// ---- Strings -----------------------------------------------------------------------------

bool reader_strings_reserve(reader *r, u64 bytes) {
  u64 more = bytes > r->strings.used ? bytes - r->strings.used : 0;
  return arena_make_room(&r->strings_a, &r->strings, more, 1);
}

buffer reader_copy_string(reader *r, buffer text) {
  // The copy keeps the source's capacity; a capacity below the length would claim bytes it
  // does not have, so the length counts as the capacity then.
  u64 n = text.size > text.used ? text.size : text.used;
  if (n == 0 || !text.data) return buffer{};
  if (r->strings.used + n > r->strings.size && !reader_strings_reserve(r, r->strings.used + n)) {
    reader_report_full(r, reader_full_strings, "No space left for texts.\n");
    return buffer{};
  }
  u8 *data = (u8 *)buffer_push_copy(&r->strings, text.data, n, 1);
  if (!data) return buffer{};
  return buffer{n, text.used, data};
}

buffer reader_add_string(reader *r, buffer text) {
  if (text.used == 0) return buffer{};
  reader_register_codepoints(r, text);
  return reader_copy_string(r, text);
}

bool reader_set_string(reader *r, buffer *field, buffer text) {
  if (string_equal(*field, text)) return true;
  *field = reader_add_string(r, text);
  return field->used == text.used;
}

reader_mark reader_strings_mark(reader *r) {
  return reader_mark{r->strings.size, r->strings.used, r->strings.data, r->category_counter, r->person_counter};
}

// Frees the records of the pool with ids after first up to last.
template <class T>
static void reader_free_ids(reader *r, pool *p, u32 first, u32 last, T *(*find)(reader *, u32),
                            void (*unfile)(reader *, T *)) {
  for (u32 id = first + 1; id <= last; ++id) {
    T *item = find(r, id);
    if (!item) continue;
    unfile(r, item);
    memory_zero(item, sizeof(T));
    pool_free(p, item, sizeof(T));
  }
}

void reader_strings_rollback(reader *r, reader_mark mark) {
  invariant(mark.data == r->strings.data && mark.used <= r->strings.used);
  // Only what was made since the mark can have been linked by what is undone, so only that is
  // looked at: undoing one entry costs that entry, not a walk of every link in the store.
  reader_free_ids<category>(r, &r->categories, mark.category_counter, r->category_counter, reader_find_category_by_id,
                            reader_unfile_category);
  reader_free_ids<person>(r, &r->persons, mark.person_counter, r->person_counter, reader_find_person,
                          reader_unfile_person);
  r->strings.used = mark.used;
  r->category_counter = mark.category_counter;
  r->person_counter = mark.person_counter;
}

// ---- Records -----------------------------------------------------------------------------

template <class T>
static T *reader_alloc(reader *r, pool *p, u32 full_bit, const char *message) {
  T *item = (T *)pool_alloc(p, sizeof(T));
  if (!item) {
    reader_report_full(r, full_bit, message);
    return nullptr;
  }
  reader_clear_full(r, full_bit);
  memory_zero(item, sizeof(T));
  return item;
}

feed *reader_new_feed(reader *r, u32 type) {
  feed *f = reader_alloc<feed>(r, &r->feeds, reader_full_feeds, "No space left for feeds.\n");
  if (!f) return nullptr;
  f->type = type;
  f->id = ++r->next_feed_id;
  reader_file_feed(r, f);
  return f;
}

entry *reader_new_entry(reader *r) {
  entry *e = reader_alloc<entry>(r, &r->entries, reader_full_entries, "No space left for entries.\n");
  if (!e) return nullptr;
  e->id = r->entry_counter + 1;
  e->generation = r->generation;
  return e;
}

void reader_attach_entry(reader *r, feed *f, entry *e) {
  f->entry_count += 1;
  e->feed_id = f->id;
  e->type = f->type;  // a feed marked deleted receives its entries marked
  r->entry_counter += 1;
  invariant(r->entry_counter == e->id);
  reader_file_entry(r, e);
}

meta *reader_new_meta(reader *r, u32 feed_id) {
  meta *m = reader_alloc<meta>(r, &r->metas, reader_full_metas, "No space left for feed settings.\n");
  if (!m) return nullptr;
  m->feed_id = feed_id;
  m->opener = &r->link_openers[0];
  reader_file_meta(r, m);
  return m;
}

bool reader_feed_accepts_type(feed *f, u32 type) {
  if (feed_get_type(f) == type) return true;
  log_append_string(string_lit("Feed error: The feed changed between RSS and Atom; it keeps its entries.\n"));
  return false;
}

atom_link *reader_new_atom_link(reader *r, u32 owner_kind, u32 owner_id, u32 *count) {
  atom_link *l = reader_alloc<atom_link>(r, &r->atom_links, reader_full_atom_links, "No space left for Atom links.\n");
  if (!l) return nullptr;
  l->owner_kind = owner_kind;
  l->owner_id = owner_id;
  reader_file_atom_link(r, l);
  *count += 1;
  return l;
}

// ---- Records in the order they were made -----------------------------------------------

reader_made_mark reader_made_mark_take(reader *r) {
  return reader_made_mark{pool_handout_mark(&r->links), pool_handout_mark(&r->atom_links)};
}

// Moves the records made since the mark into their own slots in ascending order, the first made
// in the lowest, when all of them are live and the owner's; else leaves them (the mark did not
// hold). The indices file by slot, so each record leaves them before it moves and comes back
// after.
template <class T, class Owned, class File, class Unfile>
static void reader_records_in_made_order(pool *p, pool_handout mark, Owned owned, File file, Unfile unfile) {
  enum : u32 { local_count = 64 };
  u32 local_slots[2 * local_count];
  T local_records[local_count];
  u32 n = pool_handed_out_since(p, mark, local_slots, local_count);
  if (n < 2) return;
  u32 *made = local_slots, *sorted = local_slots + local_count;
  T *records = local_records;
  buffer block = {};
  if (n > local_count) {
    block = memory_alloc((u64)n * (8 + sizeof(T)), nullptr);
    if (!block.data) return;  // the records stay where they are: readable, in another order
    made = (u32 *)block.data;
    sorted = made + n;
    records = (T *)(sorted + n);
    pool_handed_out_since(p, mark, made, n);
  }
  bool in_order = true;
  for (u32 k = 0; k < n; ++k) {
    T *item = (T *)pool_get(p, sizeof(T), made[k]);
    if (made[k] >= p->high_water || !owned(item)) {
      memory_free(&block);
      return;
    }
    in_order = in_order && (k == 0 || made[k - 1] < made[k]);
    sorted[k] = made[k];
  }
  if (!in_order) {
    index_sort_slots(sorted, n);
    for (u32 k = 0; k < n; ++k) {
      T *item = (T *)pool_get(p, sizeof(T), made[k]);
      memory_copy(&records[k], item, sizeof(T));
      unfile(item);
    }
    for (u32 k = 0; k < n; ++k) {
      T *item = (T *)pool_get(p, sizeof(T), sorted[k]);
      memory_copy(item, &records[k], sizeof(T));
      file(item);
    }
  }
  memory_free(&block);
}

void reader_keep_made_order(reader *r, reader_made_mark mark, u32 owner_id, bool owner_is_feed) {
  reader_records_in_made_order<struct link>(
      &r->links, mark.links,
      [&](struct link *l) { return link_is_live(l) && l->owner_id == owner_id && (l->kind & 1) == owner_is_feed; },
      [&](struct link *l) { reader_file_link(r, l); }, [&](struct link *l) { reader_unfile_link(r, l); });
  u32 owner_kind = owner_is_feed ? atom_link_owner_feed : atom_link_owner_entry;
  reader_records_in_made_order<atom_link>(
      &r->atom_links, mark.atom_links,
      [&](atom_link *l) { return l->owner_kind == owner_kind && l->owner_id == owner_id; },
      [&](atom_link *l) { reader_file_atom_link(r, l); }, [&](atom_link *l) { reader_unfile_atom_link(r, l); });
}

// Whether the owner already links to the target with this kind. Only the owner's own links
// (as many as its count says) need to be seen.
bool reader_owner_links_to_linear(reader *r, u32 kind, u32 owner_id, u32 target_id, u32 count) {
  u32 seen = 0;
  bool found = false;
  if (count == 0) return false;
  store_walk<struct link>(&r->links, link_is_live, [&](struct link *l) {
    if (l->kind != kind || l->owner_id != owner_id) return false;
    if (l->target_id == target_id) return found = true;
    return ++seen >= count;
  });
  return found;
}

static bool reader_add_link(reader *r, u32 kind, u32 owner_id, u32 target_id, u32 *count) {
  struct link *l = reader_alloc<struct link>(r, &r->links, reader_full_links, "No space left for links.\n");
  if (!l) return false;
  *l = {kind, owner_id, target_id};
  reader_file_link(r, l);
  *count += 1;
  return true;
}

bool reader_add_category_link(reader *r, category *c, u32 kind, u32 owner_id, u32 *count) {
  u32 id = reader_find_category(r, c->term);
  if (id) {
    if (reader_owner_links_to(r, kind, owner_id, id, *count)) return true;
    return reader_add_link(r, kind, owner_id, id, count);
  }
  category *n = reader_alloc<category>(r, &r->categories, reader_full_categories, "No space left for categories.\n");
  if (!n) return false;
  n->id = ++r->category_counter;
  bool stored = reader_set_string(r, &n->term, c->term) && reader_set_string(r, &n->scheme, c->scheme) &&
                reader_set_string(r, &n->label, c->label);
  if (stored && reader_add_link(r, kind, owner_id, n->id, count)) {
    reader_file_category(r, n);
    return true;
  }
  // The category was the last one made, so its id can be handed out again.
  memory_zero(n, sizeof *n);
  pool_free(&r->categories, n, sizeof *n);
  r->category_counter -= 1;
  return false;
}

bool reader_add_person_link(reader *r, person *p, u32 kind, u32 owner_id, u32 *count) {
  u32 id = reader_find_person_by_name(r, p->name);
  if (id) {
    if (reader_owner_links_to(r, kind, owner_id, id, *count)) return true;
    return reader_add_link(r, kind, owner_id, id, count);
  }
  person *n = reader_alloc<person>(r, &r->persons, reader_full_persons, "No space left for persons.\n");
  if (!n) return false;
  n->id = ++r->person_counter;
  bool stored = reader_set_string(r, &n->name, p->name) && reader_set_string(r, &n->uri, p->uri) &&
                reader_set_string(r, &n->email, p->email);
  if (stored && reader_add_link(r, kind, owner_id, n->id, count)) {
    reader_file_person(r, n);
    return true;
  }
  memory_zero(n, sizeof *n);
  pool_free(&r->persons, n, sizeof *n);
  r->person_counter -= 1;
  return false;
}

// ---- Pool callbacks ----------------------------------------------------------------------

bool feed_is_live(void *item) {
  u32 t = item ? ((feed *)item)->type & feed_type_mask : 0;
  return t == feed_type_rss || t == feed_type_atom;
}
bool entry_is_live(void *item) {
  u32 t = item ? ((entry *)item)->type & feed_type_mask : 0;
  return t == feed_type_rss || t == feed_type_atom;
}
bool category_is_live(void *item) { return ((category *)item)->id != 0; }
bool person_is_live(void *item) { return ((person *)item)->id != 0; }
bool atom_link_is_live(void *item) {
  u32 k = ((atom_link *)item)->owner_kind;
  return k == atom_link_owner_feed || k == atom_link_owner_entry;
}
bool link_is_live(void *item) {
  u32 k = ((struct link *)item)->kind;
  return k >= link_kind_rss_feed_category && k <= link_kind_atom_entry_contributor;
}
bool meta_is_live(void *item) { return ((meta *)item)->feed_id != 0; }

// Compaction leaves the vacated slots with their old bytes; zeroing the first word makes them
// read as free.
void feed_clear(void *item) { *(u32 *)item = 0; }
void entry_clear(void *item) { *(u32 *)item = 0; }
void category_clear(void *item) { *(u32 *)item = 0; }
void person_clear(void *item) { *(u32 *)item = 0; }
void atom_link_clear(void *item) { *(u32 *)item = 0; }
void link_clear(void *item) { *(u32 *)item = 0; }
void meta_clear(void *item) { *(u32 *)item = 0; }
