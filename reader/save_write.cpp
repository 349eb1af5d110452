// Writing the save file: the compacted image of the store, built without touching the live store
// (records to the front of their pools, ids and generations renumbered densely, texts rewritten
// without garbage, the code-point list rebuilt), checked with the loader's own checks, then
// written to a temporary file that is forced to the disk and renamed over the save file's name.
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
// An image as the writer builds it: everything up to the texts' length at the front of the block,
// the texts further on in the same block, so a file is written from it in two pieces and the
// texts are not moved to close the gap.
struct image_parts {
  buffer block;  // release with memory_free
  u64 head;      // bytes before the texts
  u8 *texts;
  u64 texts_size;
};
}  // namespace

static image_parts reader_write_parts(reader *r) {
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
  buffer tables = memory_alloc(table_bytes, nullptr);
  if (!tables.data) {
    log_text("reader_write: no memory for the renumbering tables.\n");
    return image_parts{};
  }
  id_map feed_new = {buffer_push_array(&tables, u32, (u64)max_feed + 1), (u64)max_feed + 1};
  id_map entry_new = {buffer_push_array(&tables, u32, (u64)max_entry + 1), (u64)max_entry + 1};
  id_map category_new = {buffer_push_array(&tables, u32, (u64)max_category + 1), (u64)max_category + 1};
  id_map person_new = {buffer_push_array(&tables, u32, (u64)max_person + 1), (u64)max_person + 1};
  id_map generation_new = {buffer_push_array(&tables, u32, (u64)max_generation + 1), (u64)max_generation + 1};
  u32 *feed_type_of = buffer_push_array(&tables, u32, (u64)feeds->high_water + 1);  // by new id
  u8 *meta_seen = buffer_push_array(&tables, u8, (u64)feeds->high_water + 1);
  u8 *entry_type_of = buffer_push_array(&tables, u8, (u64)entries->high_water + 1);  // by new id
  u8 *keep[7];
  for (u32 i = 0; i < 7; ++i) keep[i] = buffer_push_array(&tables, u8, reader_pool(r, i)->high_water);
  u32 count[7] = {};

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
  u32 generations = 0;
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
  auto link_owner = [&](const struct link *l) -> u32 {
    if (l->kind < 1 || l->kind > 8) return 0;
    if (link_owned_by_feed(l->kind)) {
      u32 o = feed_new.get(l->owner_id);
      return o && feed_type_of[o] == link_owner_type(l->kind) ? o : 0;
    }
    u32 o = entry_new.get(l->owner_id);
    return o && entry_type_of[o] == link_owner_type(l->kind) ? o : 0;
  };
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
  u32 missing_metas = 0;
  for (u32 f = 1; f <= count[pool_feeds]; ++f) missing_metas += !meta_seen[f];
  count[pool_metas] += missing_metas;

  // The counts records keep of what they own are written as the written records say, so the
  // image agrees with itself even where the store's own counts had drifted.
  const u32 nf = count[pool_feeds], ne = count[pool_entries];
  buffer tallies = memory_alloc(((u64)nf + 1) * 6 * 4 + ((u64)ne + 1) * 5 * 4 + 64, nullptr);
  if (!tallies.data) {
    log_text("reader_write: no memory for the renumbering tables.\n");
    memory_free(&tables);
    return image_parts{};
  }
  u32 *feed_entries = buffer_push_array(&tallies, u32, nf + 1);
  u32 *owned[9];  // by link kind (odd: feeds, even: entries); [0] Atom links of feeds
  u32 *entry_atom_links = buffer_push_array(&tallies, u32, ne + 1);
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

  // Sizes: the records, then the strings they keep.
  u64 pools_size = 0, strings_size = 0;
  buffer *fields[32];
  for (u32 k = 0; k < 7; ++k) {
    pools_size += 4 + count[k] * save_record_size[k];
    pool *p = reader_pool(r, k);
    for (u32 i = 0; i < p->high_water; ++i) {
      if (!keep[k][i]) continue;
      u32 n = record_strings(k, pool_get(p, save_record_size[k], i), fields);
      for (u32 s = 0; s < n; ++s) strings_size += reader_string_span(*fields[s]);
    }
  }
  for (link_opener &o : r->link_openers) {
    u32 n = opener_strings(&o, fields);
    for (u32 s = 0; s < n; ++s) strings_size += fields[s]->data ? fields[s]->used : 0;
  }
  // The file keeps the texts' length in 32 bits.
  if (strings_size > UINT32_MAX || strings_size >= r->strings_a.size) {
    log_text("reader_write: the texts do not fit the save file.\n");
    memory_free(&tallies);
    memory_free(&tables);
    return image_parts{};
  }
  u64 codepoints_at = SAVE_FILE_COUNTERS_END + pools_size + SAVE_FILE_OPENERS_SIZE;
  u64 strings_at_most = codepoints_at + 4 + 4ull * CODEPOINT_SET_CAPACITY;
  buffer image = memory_alloc(strings_at_most + 4 + strings_size, nullptr);
  memory_prefer_large_pages(image);
  buffer bits_block = memory_alloc(CODEPOINT_SET_CAPACITY / 8, nullptr);
  if (!image.data || !bits_block.data) {
    log_text("reader_write: no memory for the image.\n");
    memory_free(&image);
    memory_free(&bits_block);
    memory_free(&tallies);
    memory_free(&tables);
    return image_parts{};
  }

  // Strings are laid down after the largest code-point section, which is known only after them.
  u8 *arena = image.data + strings_at_most + 4;
  u64 arena_used = 0;
  auto relocate = [&](buffer *field, bool opener) {
    buffer s = *field;
    u64 n = opener ? (s.data ? s.used : 0) : reader_string_span(s);
    if (n) memcpy(arena + arena_used, s.data, n);
    *field = buffer{n, s.data ? s.used : 0, (u8 *)(uintptr_t)arena_used};
    arena_used += n;
  };

  u8 *out = image.data + SAVE_FILE_COUNTERS_END;
  for (u32 k = 0; k < 7; ++k) {
    memcpy(out, &count[k], 4);
    out += 4;
    pool *p = reader_pool(r, k);
    for (u32 i = 0; i < p->high_water; ++i) {
      if (!keep[k][i]) continue;
      // Records sit unaligned in the file: each is patched in an aligned copy, then stored.
      alignas(8) u8 local[sizeof(feed)];
      void *record = local;
      memcpy(record, pool_get(p, save_record_size[k], i), save_record_size[k]);
      zero_unused_layout(k, record);
      record_clean_dates(k, record);
      u32 n = record_strings(k, record, fields);
      for (u32 s = 0; s < n; ++s) relocate(fields[s], false);
      switch (k) {
        case pool_feeds: {
          feed *f = (feed *)record;
          u32 id = f->id = feed_new.get(f->id);
          f->entry_count = feed_entries[id];
          if (feed_get_type(f) == feed_type_rss) {
            f->rss.category_count = owned[link_kind_rss_feed_category][id];
          } else {
            f->atom.category_count = owned[link_kind_atom_feed_category][id];
            f->atom.author_count = owned[link_kind_atom_feed_author][id];
            f->atom.contributor_count = owned[link_kind_atom_feed_contributor][id];
            f->atom.atom_link_count = owned[0][id];
          }
          break;
        }
        case pool_entries: {
          entry *e = (entry *)record;
          u32 id = e->id = entry_new.get(e->id);
          e->feed_id = feed_new.get(e->feed_id);
          e->generation = generation_new.get(e->generation);
          if (entry_get_type(e) == feed_type_rss) {
            e->rss.category_count = owned[link_kind_rss_entry_category][id];
          } else {
            e->atom.category_count = owned[link_kind_atom_entry_category][id];
            e->atom.author_count = owned[link_kind_atom_entry_author][id];
            e->atom.contributor_count = owned[link_kind_atom_entry_contributor][id];
            e->atom.atom_link_count = entry_atom_links[id];
          }
          break;
        }
        case pool_categories: ((category *)record)->id = category_new.get(((category *)record)->id); break;
        case pool_persons: ((person *)record)->id = person_new.get(((person *)record)->id); break;
        case pool_atom_links: {
          atom_link *l = (atom_link *)record;
          l->owner_id = l->owner_kind == atom_link_owner_feed ? feed_new.get(l->owner_id) : entry_new.get(l->owner_id);
          if (l->rel > atom_link_rel_other) l->rel = atom_link_rel_other;
          break;
        }
        case pool_links: {
          struct link *l = (struct link *)record;
          l->owner_id = link_owned_by_feed(l->kind) ? feed_new.get(l->owner_id) : entry_new.get(l->owner_id);
          l->target_id = link_targets_category(l->kind) ? category_new.get(l->target_id) : person_new.get(l->target_id);
          break;
        }
        case pool_metas: {
          meta *m = (meta *)record;
          m->feed_id = feed_new.get(m->feed_id);
          u64 index = 0;
          for (u32 o = 0; o < READER_LINK_OPENER_COUNT; ++o)
            if (m->opener == &r->link_openers[o]) index = o;
          m->opener = (link_opener *)(uintptr_t)index;
          break;
        }
      }
      memcpy(out, record, save_record_size[k]);
      out += save_record_size[k];
    }
    if (k == pool_metas)
      for (u32 f = 1; f <= nf; ++f)
        if (!meta_seen[f]) {
          meta m = {f, 0, nullptr};
          memcpy(out, &m, sizeof(m));
          out += sizeof(m);
        }
  }
  for (u32 o = 0; o < READER_LINK_OPENER_COUNT; ++o) {
    link_opener opener = r->link_openers[o];
    u32 n = opener_strings(&opener, fields);
    for (u32 s = 0; s < n; ++s) relocate(fields[s], true);
    memcpy(out, &opener, sizeof(opener));
    out += sizeof(opener);
  }

  // The code points of the built-in list and of the rewritten texts, ascending.
  u64 *bits = (u64 *)bits_block.data;
  u32 builtin[256];
  u32 nb = builtin_codepoints(builtin);
  for (u32 i = 0; i < nb; ++i) bit_set(bits, builtin[i]);
  decode_codepoints(arena, arena + arena_used, [&](u32 c) { bit_set(bits, c); }, true);
  u32 codepoints = 0;
  u8 *items = out + 4;
  for (u32 w = 0; w < CODEPOINT_WORDS; ++w)
    for (u64 word = bits[w]; word; word &= word - 1) {
      u32 c = w * 64 + (u32)__builtin_ctzll(word);
      memcpy(items + 4ull * codepoints++, &c, 4);
    }
  memcpy(out, &codepoints, 4);
  out += 4 + 4ull * codepoints;
  u32 length = (u32)arena_used;
  memcpy(out, &length, 4);
  u64 head = (u64)(out + 4 - image.data);

  u32 counters[5] = {count[pool_feeds], count[pool_entries], count[pool_categories], count[pool_persons], generations};
  memcpy(image.data, SAVE_FILE_MAGIC, 4);
  u32 version = SAVE_FILE_VERSION;
  memcpy(image.data + 4, &version, 4);
  memcpy(image.data + SAVE_FILE_HEADER_END, counters, sizeof(counters));
  u64 pools_end = SAVE_FILE_COUNTERS_END + pools_size;
  u64 openers_end = pools_end + SAVE_FILE_OPENERS_SIZE;
  u64 codepoints_end = openers_end + 4 + 4ull * codepoints;
  s64 header[10] = {SAVE_FILE_HEADER_END, 20, SAVE_FILE_COUNTERS_END, (s64)pools_size, (s64)pools_end,
                    SAVE_FILE_OPENERS_SIZE, (s64)openers_end, (s64)(4 + 4ull * codepoints), (s64)codepoints_end,
                    (s64)(4 + arena_used)};
  memcpy(image.data + 8, header, sizeof(header));
  invariant(codepoints_end + 4 == head);

  memory_free(&bits_block);
  memory_free(&tallies);
  memory_free(&tables);
  image.used = head;
  return image_parts{image, head, arena, arena_used};
}

buffer reader_write_image(reader *r) {
  image_parts parts = reader_write_parts(r);
  if (!parts.block.data) return buffer{};
  memmove(parts.block.data + parts.head, parts.texts, parts.texts_size);
  parts.block.used = parts.head + parts.texts_size;
  return parts.block;
}

// ---- Writing the file --------------------------------------------------------------------

// The temporary file sits in the same folder (a rename never crosses file systems) under one
// fixed name, so a save cut short leaves at most one, replaced by the next save.
static buffer temporary_path(buffer path, u8 *area, u64 area_size) {
  u64 folder = 0;
  for (u64 i = path.used; i > 0; --i)
    if (path.data[i - 1] == '/') {
      folder = i;
      break;
    }
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
    *error = file_error_path;
    return;
  }
  image_parts image = reader_write_parts(r);
  if (!image.block.data) {
    *error = file_error_out_of_memory;
    return;
  }
  // A save must never leave a file that its own loader refuses. The code-point list was just
  // made from these texts by the loader's own decoding, so only that check is left out.
  image_sections sections;
  if (!image_check(image.block.data, image.head, image.texts, image.texts_size, reader_limits(r), &sections, false)) {
    log_text("reader_write: the store is not consistent; nothing written.\n");
    memory_free(&image.block);
    *error = file_error_write;
    return;
  }
  // The file holds the user's reading: for the user alone.
  platform_file f = file_create_private(temporary, error);
  if (!*error) {
    // In pieces, each given back once written: the file's pages in the system's cache then take
    // the memory the image just left instead of as much again.
    const u64 piece = MiB(16);
    auto write_out = [&](u64 at, u8 *bytes, u64 n) {
      for (u64 done = 0; done < n && !*error; done += piece) {
        u64 k = n - done < piece ? n - done : piece;
        file_write_at(f, at + done, k, bytes + done, error);
        memory_forget_pages(buffer{k, k, bytes + done});
      }
    };
    write_out(0, image.block.data, image.head);
    write_out(image.head, image.texts, image.texts_size);
    file_sync(f, error);
  }
  if (file_handle_is_valid(f) && !file_close(f, error) && !*error) *error = file_error_close_invalid;
  memory_free(&image.block);
  file_rename(temporary, path, error);
  if (*error) {
    u32 ignored = 0;
    file_delete(temporary, &ignored);
    return;
  }
  // The rename is durable only once the folder's entry is on the disk.
  buffer folder = string_from_bytes(path.data, temporary.used - string_lit("feed_data.tmp").used);
  if (folder.used > 1) folder.used--;  // without the closing '/'
  if (folder.used == 0) folder = string_lit(".");
  dir_sync(folder, error);
}
