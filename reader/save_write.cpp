// Writing the save file: the compacted image of the store (records to the front of their pools,
// ids and generations renumbered densely, texts without garbage, the code-point list rebuilt),
// worked out first as tables beside the store and then written in large pieces straight from the
// store's memory, without touching the live store and without a second copy of it. Each part is
// checked with the loader's own checks as it goes out. The file is a temporary one, forced to
// the disk and renamed over the save file's name.
#include <errno.h>

#include "platform/durable.h"
#include "reader/save_internal.h"

// ---- Dates -------------------------------------------------------------------------------

// A date off the calendar is no date: the image is written without it rather than refused.
static void date_clean(date *d) {
  if (!date_ok(*d)) *d = date{};
}

static void record_clean_dates(u32 which, void *record) {
  if (which == pool_feeds) {
    feed *f = (feed *)record;
    if (feed_get_type(f) == feed_type_atom) {
      date_clean(&f->atom.updated);
    } else {
      date_clean(&f->rss.pubDate);
      date_clean(&f->rss.newest_date);
    }
  } else if (which == pool_entries) {
    entry *e = (entry *)record;
    if (entry_get_type(e) == feed_type_atom) {
      date_clean(&e->atom.published);
      date_clean(&e->atom.updated);
    } else {
      date_clean(&e->rss.pubDate);
    }
  }
}

// ---- Building the image ------------------------------------------------------------------

// Old id to new id; 0 for an id that is not written.
struct id_map {
  u32 *table;
  u64 n;  // entries in the table: the largest old id + 1
  u32 get(u32 id) const { return id < n ? table[id] : 0; }
};

static u32 largest_id(pool *p, u64 size, pool_test_fn *live, u64 id_offset) {
  u32 largest = 0;
  for (u32 i = 0; i < p->high_water; ++i) {
    u8 *item = (u8 *)pool_get(p, size, i);
    if (!live(item)) continue;
    u32 id;
    memcpy(&id, item + id_offset, 4);
    largest = std::max(largest, id);
  }
  return largest;
}

namespace {
// Everything a save writes, worked out from the store before a byte is written: which records
// go, their new ids, what each of them owns, the sections and the code points of the texts.
struct image_plan {
  buffer tables, tallies, bits_block;
  id_map feed_new, entry_new, category_new, person_new, generation_new;
  u32 *feed_type_of;   // by new id
  u8 *entry_type_of;   // by new id
  u8 *meta_seen;       // by new feed id
  u8 *keep[7];         // by slot: the record is written
  u32 generations;
  u32 missing_metas;   // feeds without a meta, written with the defaults
  u32 *feed_entries;   // by new feed id
  u32 *owned[9];       // by link kind (odd: feeds, even: entries); [0] Atom links of feeds
  u32 *entry_atom_links;
  u64 strings_size;
  image_layout layout;
  u64 *bits;           // the code points written
};
}  // namespace

static void plan_free(image_plan *plan) {
  memory_free(&plan->tables);
  memory_free(&plan->tallies);
  memory_free(&plan->bits_block);
}

// The new id of the written record that owns the link, of the kind the link needs; 0 for none.
static u32 plan_link_owner(const image_plan &plan, const struct link *l) {
  if (l->kind < 1 || l->kind > 8) return 0;
  if (link_owned_by_feed(l->kind)) {
    u32 o = plan.feed_new.get(l->owner_id);
    return o && plan.feed_type_of[o] == link_owner_type(l->kind) ? o : 0;
  }
  u32 o = plan.entry_new.get(l->owner_id);
  return o && plan.entry_type_of[o] == link_owner_type(l->kind) ? o : 0;
}

// The written records in the file's order, pool by pool: visit(pool, slot, record).
template <class F>
static void plan_each_record(reader *r, const image_plan &plan, F visit) {
  for (u32 k = 0; k < 7; ++k) {
    pool *p = reader_pool(r, k);
    for (u32 i = 0; i < p->high_water; ++i)
      if (plan.keep[k][i]) visit(k, i, pool_get(p, save_record_size[k], i));
  }
}

// The bytes a text takes in the file: a record's its span, an opener's its length.
static u64 text_bytes(buffer s, bool opener) { return opener ? (s.data ? s.used : 0) : reader_string_span(s); }

// Pieces of texts that lie one after the other in memory go on as one, so a store whose texts
// are in the file's order (as a loaded one is) hands over its arena in a few large pieces.
struct text_run {
  const u8 *start;
  u64 length;
  template <class F>
  void add(const u8 *p, u64 n, F flush) {
    if (!n) return;
    if (length && start + length == p) {
      length += n;
      return;
    }
    end(flush);
    start = p, length = n;
  }
  template <class F>
  void end(F flush) {
    if (length) flush(start, length);
    length = 0;
  }
};

// Every text of the written records and the openers, in the file's order: piece(text, opener).
template <class F>
static void plan_each_text(reader *r, const image_plan &plan, F piece) {
  buffer *fields[32];
  plan_each_record(r, plan, [&](u32 k, u32, void *record) {
    u32 n = record_strings(k, record, fields);
    for (u32 f = 0; f < n; ++f) piece(*fields[f], false);
  });
  for (link_opener &o : r->link_openers) {
    u32 n = opener_strings(&o, fields);
    for (u32 f = 0; f < n; ++f) piece(*fields[f], true);
  }
}

static bool plan_make(reader *r, image_plan *plan) {
  *plan = image_plan{};
  pool *feeds = &r->feeds, *entries = &r->entries, *categories = &r->categories, *persons = &r->persons;
  pool *atom_links = &r->atom_links, *links = &r->links, *metas = &r->metas;

  // Direct tables by old id (and by generation), and one keep flag per slot of every pool.
  u32 max_feed = largest_id(feeds, sizeof(feed), feed_is_live, offsetof(feed, id));
  u32 max_entry = largest_id(entries, sizeof(entry), entry_is_live, offsetof(entry, id));
  u32 max_category = largest_id(categories, sizeof(category), category_is_live, offsetof(category, id));
  u32 max_person = largest_id(persons, sizeof(person), person_is_live, offsetof(person, id));
  u32 max_generation = r->generation;
  for (u32 i = 0; i < entries->high_water; ++i) {
    entry *e = (entry *)pool_get(entries, sizeof(entry), i);
    if (entry_is_live(e)) max_generation = std::max(max_generation, e->generation);
  }
  u64 slots = 0;
  for (u32 i = 0; i < 7; ++i) slots += reader_pool(r, i)->high_water;
  u64 table_bytes = ((u64)max_feed + max_entry + max_category + max_person + max_generation + 5) * 4 +
                    ((u64)feeds->high_water + 1) * 5 + ((u64)entries->high_water + 1) + slots + 64;
  buffer &tables = plan->tables;
  tables = memory_alloc(table_bytes, nullptr);
  if (!tables.data) {
    log_text("reader_write: no memory for the renumbering tables.\n");
    return false;
  }
  id_map &feed_new = plan->feed_new;
  feed_new = {buffer_push_array(&tables, u32, (u64)max_feed + 1), (u64)max_feed + 1};
  id_map &entry_new = plan->entry_new;
  entry_new = {buffer_push_array(&tables, u32, (u64)max_entry + 1), (u64)max_entry + 1};
  id_map &category_new = plan->category_new;
  category_new = {buffer_push_array(&tables, u32, (u64)max_category + 1), (u64)max_category + 1};
  id_map &person_new = plan->person_new;
  person_new = {buffer_push_array(&tables, u32, (u64)max_person + 1), (u64)max_person + 1};
  id_map &generation_new = plan->generation_new;
  generation_new = {buffer_push_array(&tables, u32, (u64)max_generation + 1), (u64)max_generation + 1};
  u32 *feed_type_of = plan->feed_type_of = buffer_push_array(&tables, u32, (u64)feeds->high_water + 1);  // by new id
  u8 *meta_seen = plan->meta_seen = buffer_push_array(&tables, u8, (u64)feeds->high_water + 1);
  u8 *entry_type_of = plan->entry_type_of = buffer_push_array(&tables, u8, (u64)entries->high_water + 1);  // by new id
  u8 **keep = plan->keep;
  for (u32 i = 0; i < 7; ++i) keep[i] = buffer_push_array(&tables, u8, reader_pool(r, i)->high_water);
  u32 *count = plan->layout.count;

  // Feeds in slot order; a second record with an id already seen is not written.
  for (u32 i = 0; i < feeds->high_water; ++i) {
    feed *f = (feed *)pool_get(feeds, sizeof(feed), i);
    if (!feed_is_live(f) || f->id == 0 || feed_new.table[f->id]) continue;
    keep[pool_feeds][i] = 1;
    feed_new.table[f->id] = ++count[pool_feeds];
    feed_type_of[count[pool_feeds]] = feed_get_type(f);
  }
  // Entries of written feeds, of their feed's kind.
  for (u32 i = 0; i < entries->high_water; ++i) {
    entry *e = (entry *)pool_get(entries, sizeof(entry), i);
    if (!entry_is_live(e) || e->id == 0 || entry_new.table[e->id]) continue;
    u32 owner = feed_new.get(e->feed_id);
    if (!owner || feed_type_of[owner] != entry_get_type(e)) continue;
    keep[pool_entries][i] = 1;
    entry_new.table[e->id] = ++count[pool_entries];
    entry_type_of[count[pool_entries]] = (u8)entry_get_type(e);
    generation_new.table[e->generation] = 1;
  }
  u32 &generations = plan->generations;
  for (u64 g = 0; g < generation_new.n; ++g)
    if (generation_new.table[g]) generation_new.table[g] = ++generations;

  // Categories and persons: 1 exists, 2 targeted by a written owner's link; only targeted ones
  // are written (the purge of unreferenced ones), each old id read once before it is replaced.
  for (u32 i = 0; i < categories->high_water; ++i) {
    category *c = (category *)pool_get(categories, sizeof(category), i);
    if (category_is_live(c) && !category_new.table[c->id]) keep[pool_categories][i] = 1, category_new.table[c->id] = 1;
  }
  for (u32 i = 0; i < persons->high_water; ++i) {
    person *p = (person *)pool_get(persons, sizeof(person), i);
    if (person_is_live(p) && !person_new.table[p->id]) keep[pool_persons][i] = 1, person_new.table[p->id] = 1;
  }
  auto link_owner = [&](const struct link *l) { return plan_link_owner(*plan, l); };
  for (u32 i = 0; i < links->high_water; ++i) {
    struct link *l = (struct link *)pool_get(links, sizeof(struct link), i);
    if (!link_is_live(l) || !link_owner(l)) continue;
    id_map &targets = link_targets_category(l->kind) ? category_new : person_new;
    if (targets.get(l->target_id)) targets.table[l->target_id] = 2;
  }
  for (u32 i = 0; i < categories->high_water; ++i) {
    if (!keep[pool_categories][i]) continue;
    category *c = (category *)pool_get(categories, sizeof(category), i);
    if (category_new.table[c->id] == 2) category_new.table[c->id] = ++count[pool_categories];
    else category_new.table[c->id] = 0, keep[pool_categories][i] = 0;
  }
  for (u32 i = 0; i < persons->high_water; ++i) {
    if (!keep[pool_persons][i]) continue;
    person *p = (person *)pool_get(persons, sizeof(person), i);
    if (person_new.table[p->id] == 2) person_new.table[p->id] = ++count[pool_persons];
    else person_new.table[p->id] = 0, keep[pool_persons][i] = 0;
  }
  for (u32 i = 0; i < links->high_water; ++i) {
    struct link *l = (struct link *)pool_get(links, sizeof(struct link), i);
    if (!link_is_live(l) || !link_owner(l)) continue;
    id_map &targets = link_targets_category(l->kind) ? category_new : person_new;
    if (targets.get(l->target_id)) keep[pool_links][i] = 1, ++count[pool_links];
  }
  for (u32 i = 0; i < atom_links->high_water; ++i) {
    atom_link *l = (atom_link *)pool_get(atom_links, sizeof(atom_link), i);
    if (!atom_link_is_live(l)) continue;
    u32 o = l->owner_kind == atom_link_owner_feed ? feed_new.get(l->owner_id) : entry_new.get(l->owner_id);
    u32 type = !o ? 0 : l->owner_kind == atom_link_owner_feed ? feed_type_of[o] : entry_type_of[o];
    if (type == feed_type_atom)
      keep[pool_atom_links][i] = 1, ++count[pool_atom_links];
  }
  for (u32 i = 0; i < metas->high_water; ++i) {
    meta *m = (meta *)pool_get(metas, sizeof(meta), i);
    if (!meta_is_live(m)) continue;
    u32 f = feed_new.get(m->feed_id);
    if (f && !meta_seen[f]) meta_seen[f] = 1, keep[pool_metas][i] = 1, ++count[pool_metas];
  }

  // Every feed gets exactly one meta: one the store lacks is written with the defaults.
  u32 &missing_metas = plan->missing_metas;
  for (u32 f = 1; f <= count[pool_feeds]; ++f) missing_metas += !meta_seen[f];
  count[pool_metas] += missing_metas;

  // The counts records keep of what they own are written as the written records say, so the
  // image agrees with itself even where the store's own counts had drifted.
  const u32 nf = count[pool_feeds], ne = count[pool_entries];
  buffer &tallies = plan->tallies;
  tallies = memory_alloc(((u64)nf + 1) * 6 * 4 + ((u64)ne + 1) * 5 * 4 + 64, nullptr);
  if (!tallies.data) {
    log_text("reader_write: no memory for the renumbering tables.\n");
    return false;
  }
  u32 *feed_entries = plan->feed_entries = buffer_push_array(&tallies, u32, nf + 1);
  u32 **owned = plan->owned;
  u32 *entry_atom_links = plan->entry_atom_links = buffer_push_array(&tallies, u32, ne + 1);
  owned[0] = buffer_push_array(&tallies, u32, nf + 1);
  for (u32 k = 1; k <= 8; ++k) owned[k] = buffer_push_array(&tallies, u32, ((k & 1) ? nf : ne) + 1);
  for (u32 i = 0; i < entries->high_water; ++i)
    if (keep[pool_entries][i]) feed_entries[feed_new.get(((entry *)pool_get(entries, sizeof(entry), i))->feed_id)]++;
  for (u32 i = 0; i < links->high_water; ++i)
    if (keep[pool_links][i]) {
      struct link *l = (struct link *)pool_get(links, sizeof(struct link), i);
      owned[l->kind][link_owner(l)]++;
    }
  for (u32 i = 0; i < atom_links->high_water; ++i)
    if (keep[pool_atom_links][i]) {
      atom_link *l = (atom_link *)pool_get(atom_links, sizeof(atom_link), i);
      if (l->owner_kind == atom_link_owner_feed) owned[0][feed_new.get(l->owner_id)]++;
      else entry_atom_links[entry_new.get(l->owner_id)]++;
    }

  // The texts' size and code points, from one walk over them where they lie.
  plan->bits_block = memory_alloc(CODEPOINT_SET_CAPACITY / 8, nullptr);
  if (!plan->bits_block.data) {
    log_text("reader_write: no memory for the code points.\n");
    return false;
  }
  u64 *bits = plan->bits = (u64 *)plan->bits_block.data;
  u32 builtin[256];
  u32 nb = builtin_codepoints(builtin);
  for (u32 i = 0; i < nb; ++i) bit_set(bits, builtin[i]);
  auto collect = [bits](u32 c) { bit_set(bits, c); };
  texts_stream stream = {};
  text_run run = {};
  auto decode = [&](const u8 *p, u64 n) { texts_stream_push(&stream, p, n, true, collect); };
  u64 strings_size = 0;
  plan_each_text(r, *plan, [&](buffer s, bool opener) {
    u64 n = text_bytes(s, opener);
    strings_size += n;
    run.add(s.data, n, decode);
  });
  run.end(decode);
  texts_stream_end(&stream);
  // The file keeps the texts' length in 32 bits.
  if (strings_size > UINT32_MAX || strings_size >= r->strings_a.memory.size) {
    log_text("reader_write: the texts do not fit the save file.\n");
    return false;
  }
  plan->strings_size = strings_size;

  image_layout &l = plan->layout;
  l.counters[0] = count[pool_feeds];
  l.counters[1] = count[pool_entries];
  l.counters[2] = count[pool_categories];
  l.counters[3] = count[pool_persons];
  l.counters[4] = generations;
  u64 at = SAVE_FILE_COUNTERS_END;
  for (u32 k = 0; k < 7; ++k) {
    l.pool_at[k] = at + 4;
    at += 4 + count[k] * save_record_size[k];
  }
  l.openers_at = at;
  for (u32 w = 0; w < CODEPOINT_WORDS; ++w) l.codepoints += (u32)__builtin_popcountll(bits[w]);
  l.codepoints_at = l.openers_at + SAVE_FILE_OPENERS_SIZE + 4;
  l.strings_length = (u32)strings_size;
  l.strings_at = l.codepoints_at + 4ull * l.codepoints + 4;
  return true;
}

// ---- Writing the image -------------------------------------------------------------------

namespace {
// Where the image goes: a file written at offsets, or a block the size of the image.
struct image_sink {
  platform_file file;
  u8 *bytes;
  u32 *error;
};

// Bytes bound for consecutive places of the image, gathered into large writes; a long piece goes
// out straight from where it lies.
struct image_stream {
  image_sink *sink;
  buffer staging;
  u64 at;  // where the staged bytes go
};
}  // namespace

#define IMAGE_STAGING_SIZE MiB(4)

static void sink_write(image_sink *s, u64 at, const void *p, u64 n) {
  if (*s->error || !n) return;
  if (s->bytes) {
    memcpy(s->bytes + at, p, n);
    return;
  }
  // Each piece is sent on its way to the disk once written, so the disk works while the rest is
  // written and the closing sync has little left to wait for.
  const u64 piece = MiB(64);
  for (u64 done = 0; done < n && !*s->error; done += piece) {
    u64 k = n - done < piece ? n - done : piece;
    file_write_at(s->file, at + done, k, (const u8 *)p + done, s->error);
    file_sync_start(s->file, at + done, k);
  }
  // What the system said (a full disk, a quota), as a refused create or sync says it.
  if (*s->error == file_error_write && file_error_reason()) {
    log_text("reader_write: ");
    log_system_error(file_error_reason());
  }
}

static void stream_flush(image_stream *w) {
  sink_write(w->sink, w->at, w->staging.data, w->staging.used);
  w->at += w->staging.used;
  w->staging.used = 0;
}

static void stream_put(image_stream *w, const void *p, u64 n) {
  if (n >= IMAGE_STAGING_SIZE / 4) {
    stream_flush(w);
    sink_write(w->sink, w->at, p, n);
    w->at += n;
    return;
  }
  if (w->staging.used + n > w->staging.size) stream_flush(w);
  memcpy(w->staging.data + w->staging.used, p, n);
  w->staging.used += n;
}

// The record as the file holds it: new ids, what it owns as the written records say, texts as
// offsets (relocate gives each its place), a meta's opener as its index.
static void plan_patch_record(reader *r, const image_plan &plan, u32 k, void *record) {
  switch (k) {
    case pool_feeds: {
      feed *f = (feed *)record;
      u32 id = f->id = plan.feed_new.get(f->id);
      f->entry_count = plan.feed_entries[id];
      if (feed_get_type(f) == feed_type_rss) {
        f->rss.category_count = plan.owned[link_kind_rss_feed_category][id];
      } else {
        f->atom.category_count = plan.owned[link_kind_atom_feed_category][id];
        f->atom.author_count = plan.owned[link_kind_atom_feed_author][id];
        f->atom.contributor_count = plan.owned[link_kind_atom_feed_contributor][id];
        f->atom.atom_link_count = plan.owned[0][id];
      }
      break;
    }
    case pool_entries: {
      entry *e = (entry *)record;
      u32 id = e->id = plan.entry_new.get(e->id);
      e->feed_id = plan.feed_new.get(e->feed_id);
      e->generation = plan.generation_new.get(e->generation);
      if (entry_get_type(e) == feed_type_rss) {
        e->rss.category_count = plan.owned[link_kind_rss_entry_category][id];
      } else {
        e->atom.category_count = plan.owned[link_kind_atom_entry_category][id];
        e->atom.author_count = plan.owned[link_kind_atom_entry_author][id];
        e->atom.contributor_count = plan.owned[link_kind_atom_entry_contributor][id];
        e->atom.atom_link_count = plan.entry_atom_links[id];
      }
      break;
    }
    case pool_categories: ((category *)record)->id = plan.category_new.get(((category *)record)->id); break;
    case pool_persons: ((person *)record)->id = plan.person_new.get(((person *)record)->id); break;
    case pool_atom_links: {
      atom_link *l = (atom_link *)record;
      l->owner_id = l->owner_kind == atom_link_owner_feed ? plan.feed_new.get(l->owner_id) : plan.entry_new.get(l->owner_id);
      if (l->rel > atom_link_rel_other) l->rel = atom_link_rel_other;
      break;
    }
    case pool_links: {
      struct link *l = (struct link *)record;
      l->owner_id = link_owned_by_feed(l->kind) ? plan.feed_new.get(l->owner_id) : plan.entry_new.get(l->owner_id);
      l->target_id = link_targets_category(l->kind) ? plan.category_new.get(l->target_id) : plan.person_new.get(l->target_id);
      break;
    }
    case pool_metas: {
      meta *m = (meta *)record;
      m->feed_id = plan.feed_new.get(m->feed_id);
      u64 index = 0;
      for (u32 o = 0; o < READER_LINK_OPENER_COUNT; ++o)
        if (m->opener == &r->link_openers[o]) index = o;
      m->opener = (link_opener *)(uintptr_t)index;
      break;
    }
  }
}

// Writes the planned image through the sink, each part checked as the loader checks it before it
// goes out; false, with nothing more written, at the first part the checks refuse.
static bool plan_write(reader *r, const image_plan &plan, image_sink *sink) {
  const image_layout &l = plan.layout;
  buffer staging = memory_alloc(2 * IMAGE_STAGING_SIZE, nullptr);
  if (!staging.data) {
    log_text("reader_write: no memory for the image.\n");
    file_error_set_reason(sink->error, file_error_out_of_memory, 0);
    return false;
  }
  image_stream records = {sink, buffer{IMAGE_STAGING_SIZE, 0, staging.data}, SAVE_FILE_COUNTERS_END};
  image_stream texts = {sink, buffer{IMAGE_STAGING_SIZE, 0, staging.data + IMAGE_STAGING_SIZE}, l.strings_at};
  image_checker check = {};
  bool ok = image_checker_begin(&check, l, sink->error);
  if (!ok && *sink->error) log_text("reader_write: no memory to check the image.\n");

  u8 start[SAVE_FILE_COUNTERS_END] = {};
  memcpy(start, SAVE_FILE_MAGIC, 4);
  u32 version = SAVE_FILE_VERSION;
  memcpy(start + 4, &version, 4);
  u64 pools_end = l.openers_at, openers_end = pools_end + SAVE_FILE_OPENERS_SIZE;
  u64 codepoints_end = l.strings_at - 4;
  s64 header[10] = {SAVE_FILE_HEADER_END,   20,
                    SAVE_FILE_COUNTERS_END, (s64)(pools_end - SAVE_FILE_COUNTERS_END),
                    (s64)pools_end,         SAVE_FILE_OPENERS_SIZE,
                    (s64)openers_end,       (s64)(4 + 4ull * l.codepoints),
                    (s64)codepoints_end,    (s64)(4 + (u64)l.strings_length)};
  memcpy(start + 8, header, sizeof(header));
  memcpy(start + SAVE_FILE_HEADER_END, l.counters, sizeof(l.counters));
  sink_write(sink, 0, start, sizeof start);

  // Texts take their places in the order they come, gathered into runs where they lie together.
  u64 texts_at = 0;
  text_run run = {};
  auto put_texts = [&](const u8 *p, u64 n) { stream_put(&texts, p, n); };
  auto relocate = [&](buffer *field, bool opener) {
    buffer s = *field;
    u64 n = text_bytes(s, opener);
    run.add(s.data, n, put_texts);
    *field = buffer{n, s.data ? s.used : 0, (u8 *)(uintptr_t)texts_at};
    texts_at += n;
  };
  buffer *fields[32];
  u32 last_pool = 0;
  stream_put(&records, &l.count[0], 4);
  plan_each_record(r, plan, [&](u32 k, u32, void *stored) {
    if (!ok) return;
    for (; last_pool < k; ++last_pool) stream_put(&records, &l.count[last_pool + 1], 4);
    // Records sit unaligned in the file: each is patched in an aligned copy, then stored.
    alignas(8) u8 local[sizeof(feed)];
    memcpy(local, stored, save_record_size[k]);
    zero_unused_layout(k, local);
    record_clean_dates(k, local);
    u32 n = record_strings(k, local, fields);
    for (u32 s = 0; s < n; ++s) relocate(fields[s], false);
    plan_patch_record(r, plan, k, local);
    ok = image_check_record(&check, k, local);
    stream_put(&records, local, save_record_size[k]);
  });
  for (; ok && last_pool < pool_metas; ++last_pool) stream_put(&records, &l.count[last_pool + 1], 4);
  // Every feed gets exactly one meta: one the store lacks is written with the defaults.
  for (u32 f = 1; ok && f <= l.count[pool_feeds]; ++f) {
    if (plan.meta_seen[f]) continue;
    meta m = {f, 0, nullptr};
    ok = image_check_record(&check, pool_metas, &m);
    stream_put(&records, &m, sizeof m);
  }
  for (u32 o = 0; ok && o < READER_LINK_OPENER_COUNT; ++o) {
    link_opener opener = r->link_openers[o];
    u32 n = opener_strings(&opener, fields);
    for (u32 s = 0; s < n; ++s) relocate(fields[s], true);
    ok = image_check_record(&check, image_part_opener, &opener);
    stream_put(&records, &opener, sizeof opener);
  }
  run.end(put_texts);
  // The code points of the built-in list and of the written texts, ascending.
  stream_put(&records, &l.codepoints, 4);
  for (u32 w = 0; ok && w < CODEPOINT_WORDS; ++w)
    for (u64 word = plan.bits[w]; ok && word; word &= word - 1) {
      u32 c = w * 64 + (u32)__builtin_ctzll(word);
      ok = image_check_codepoint(&check, c);
      stream_put(&records, &c, 4);
    }
  stream_put(&records, &l.strings_length, 4);
  ok = ok && image_checker_end(&check);
  stream_flush(&records);
  stream_flush(&texts);
  image_checker_free(&check);
  memory_free(&staging);
  if (ok) invariant(records.at == l.strings_at && texts_at == l.strings_length && texts.at == l.strings_at + texts_at);
  if (!ok && !*sink->error) {
    log_text("reader_write: the store is not consistent; nothing written.\n");
    file_error_set_reason(sink->error, file_error_write, 0);
  }
  return ok && !*sink->error;
}

buffer reader_write_image(reader *r) {
  image_plan plan;
  buffer image = {};
  if (plan_make(r, &plan)) {
    image = memory_alloc(plan.layout.strings_at + plan.layout.strings_length, nullptr);
    u32 error = 0;
    image_sink sink = {platform_file_invalid, image.data, &error};
    if (image.data && plan_write(r, plan, &sink)) image.used = image.size;
    else memory_free(&image);
  }
  plan_free(&plan);
  return image;
}

// ---- Writing the file --------------------------------------------------------------------

// The temporary file sits in the same folder (a rename never crosses file systems) under one
// fixed name, so a save cut short leaves at most one, replaced by the next save.
static buffer temporary_path(buffer path, u8 *area, u64 area_size) {
  u64 folder = save_path_name_start(path.data, path.used);
  buffer name = string_lit("feed_data.tmp");
  if (folder + name.used >= area_size) return buffer{};
  memcpy(area, path.data, folder);
  memcpy(area + folder, name.data, name.used);
  return string_from_bytes(area, folder + name.used);
}

void reader_write(reader *r, buffer path, u32 *error) {
  if (*error) return;
  u8 temporary_area[FILE_PATH_AREA_SIZE];
  buffer temporary = temporary_path(path, temporary_area, sizeof(temporary_area));
  if (!temporary.data) {
    file_error_set_reason(error, file_error_path, 0);
    return;
  }
  image_plan plan;
  if (!plan_make(r, &plan)) {
    plan_free(&plan);
    file_error_set_reason(error, file_error_out_of_memory, 0);
    return;
  }
  // The file holds the user's reading: for the user alone.
  platform_file f = file_create_private(temporary, error);
  if (!*error) {
    image_sink sink = {f, nullptr, error};
    if (plan_write(r, plan, &sink)) file_sync(f, error);
  }
  plan_free(&plan);
  if (file_handle_is_valid(f) && !file_close(f, error)) file_error_set_reason(error, file_error_close_invalid, errno);
  file_rename(temporary, path, error);
  if (*error) {
    // The clean-up may fail too (no temporary file when none could be made); the reason this
    // thread keeps must stay the save's own, which the caller's line gives.
    u32 reason = file_error_reason(), ignored = 0, kept = 0;
    file_delete(temporary, &ignored);
    file_error_set_reason(&kept, *error, (int)reason);
    return;
  }
  // The rename is durable only once the folder's entry is on the disk.
  buffer folder = string_from_bytes(path.data, temporary.used - string_lit("feed_data.tmp").used);
  if (folder.used > 1) folder.used--;  // without the closing '/'
  if (folder.used == 0) folder = string_lit(".");
  dir_sync(folder, error);
}
