// Lookups over the store's pools, the consistency check and the debugging dump.
#include <algorithm>

#include "reader/store_internal.h"

// ---- Lookups -----------------------------------------------------------------------------

feed *reader_find_feed_linear(reader *r, u32 id) {
  return store_walk<feed>(&r->feeds, feed_is_live, [&](feed *f) { return f->id == id; });
}

feed *reader_find_feed_by_url_linear(reader *r, buffer url) {
  return store_walk<feed>(&r->feeds, feed_is_live, [&](feed *f) { return string_equal(f->url, url); });
}

entry *reader_find_entry(reader *r, u32 feed_id, u32 entry_id) {
  feed *f = reader_find_feed(r, feed_id);
  if (!f || f->entry_count == 0) return nullptr;
  return reader_pick_feed_entry(r, feed_id, true, [&](entry *e) { return e->id == entry_id; });
}

buffer entry_get_guid(const entry *e) {
  if (!e || e->id == 0) return buffer{};
  return entry_get_type(e) == feed_type_atom ? e->atom.atom_id : e->rss.guid;
}

entry *reader_find_entry_by_guid(reader *r, u32 feed_id, buffer guid) {
  if (guid.used == 0) return nullptr;
  return reader_pick_feed_entry(r, feed_id, true, [&](entry *e) {
    buffer own = entry_get_guid(e);
    return own.used != 0 && string_equal(own, guid);
  });
}

u32 reader_find_category_linear(reader *r, buffer term) {
  u32 id = 0;  // the last match in slot order
  store_walk<category>(&r->categories, category_is_live, [&](category *c) {
    if (string_equal(c->term, term)) id = c->id;
    return false;
  });
  return id;
}

category *reader_find_category_by_id_linear(reader *r, u32 id) {
  return store_walk<category>(&r->categories, category_is_live, [&](category *c) { return c->id == id; });
}

person *reader_find_person_linear(reader *r, u32 id) {
  return store_walk<person>(&r->persons, person_is_live, [&](person *p) { return p->id == id; });
}

u32 reader_find_person_by_name_linear(reader *r, buffer name) {
  person *p = store_walk<person>(&r->persons, person_is_live, [&](person *q) { return string_equal(q->name, name); });
  return p ? p->id : 0;
}

meta *reader_get_meta_linear(reader *r, u32 feed_id) {
  return store_walk<meta>(&r->metas, meta_is_live, [&](meta *m) { return m->feed_id == feed_id; });
}

buffer feed_get_title(const feed *f) { return feed_get_type(f) == feed_type_atom ? f->atom.title : f->rss.title; }
buffer entry_get_title(const entry *e) { return entry_get_type(e) == feed_type_atom ? e->atom.title : e->rss.title; }

buffer reader_find_atom_link_href(reader *r, u32 owner_id, u32 count, u32 owner_kind, u32 rel) {
  if (count == 0) return buffer{};
  u32 seen = 0;
  buffer href = {};
  // Only the owner's first count links in slot order are looked at.
  auto look = [&](atom_link *l) {
    if (l->rel == rel) {
      href = l->href;
      return true;
    }
    return ++seen >= count;
  };
  auto mine = [&](atom_link *l) { return atom_link_is_live(l) && l->owner_kind == owner_kind && l->owner_id == owner_id; };
  reader_visit_owned_atom_links(r, owner_kind, owner_id, mine, look);
  return href;
}

bool reader_link_exists(pool *links, u32 kind_low, u32 kind_high, u32 target_id) {
  return store_walk<struct link>(links, link_is_live, [&](struct link *l) {
    return l->kind >= kind_low && l->kind <= kind_high && l->target_id == target_id;
  }) != nullptr;
}

// ---- Check -------------------------------------------------------------------------------

static u32 check_count_live(pool *p, u64 item_size, pool_test_fn *is_live) {
  u32 n = 0;
  for (u32 i = 0; i < p->high_water; ++i) n += is_live(pool_get(p, item_size, i));
  return n;
}

static u32 check_log_count(const char *stored_label, const char *counted_label, const char *difference_label,
                           u32 stored, u32 counted) {
  log_append(stored_label, string_length(stored_label));
  log_unsigned(stored, 0, ' ', 0);
  log_append(counted_label, string_length(counted_label));
  log_unsigned(counted, 0, ' ', 0);
  log_append(difference_label, string_length(difference_label));
  log_signed((s64)counted - (s64)stored, 0, ' ', 0);
  return stored != counted;
}

static void check_log_problem(const char *what, u32 id, u64 stored, u64 counted) {
  log_append_string(string_lit("\n    "));
  log_append(what, string_length(what));
  log_unsigned(id, 0, ' ', 0);
  log_append_string(string_lit(": stored "));
  log_unsigned(stored, 0, ' ', 0);
  log_append_string(string_lit(", counted "));
  log_unsigned(counted, 0, ' ', 0);
}

static u64 check_key(u32 high, u32 low) { return (u64)high << 32 | low; }

static u32 check_count_key(const u64 *keys, u64 n, u64 key) {
  auto range = std::equal_range(keys, keys + n, key);
  return (u32)(range.second - range.first);
}

static bool check_has_id(const u32 *ids, u64 n, u32 id) { return std::binary_search(ids, ids + n, id); }

// A non-empty string must lie wholly in the used part of the arena.
static u32 check_strings(reader *r, const buffer *const *fields, u32 n) {
  u32 bad = 0;
  const u8 *low = r->strings.data, *high = r->strings.data + r->strings.used;
  for (u32 i = 0; i < n; ++i) {
    const buffer *s = fields[i];
    if (s->used == 0) continue;
    u64 extent = s->size > s->used ? s->size : s->used;
    if (!s->data || s->data < low || s->data > high || extent > (u64)(high - s->data)) ++bad;
  }
  return bad;
}

static u32 check_record_strings(reader *r, feed *f) {
  if (feed_get_type(f) == feed_type_atom) {
    const feed_atom &a = f->atom;
    const buffer *fields[] = {&f->url, &a.generator, &a.generator_uri, &a.generator_version, &a.icon,
                              &a.logo, &a.atom_id,   &a.rights,        &a.subtitle,          &a.title};
    return check_strings(r, fields, array_count(fields));
  }
  const feed_rss &s = f->rss;
  const buffer *fields[] = {&f->url, &s.title, &s.link, &s.description, &s.language, &s.copyright,
                            &s.managingEditor, &s.webMaster, &s.generator, &s.docs, &s.cloud_domain,
                            &s.cloud_path, &s.cloud_registerProcedure, &s.cloud_protocol, &s.image_url,
                            &s.image_title, &s.image_link, &s.image_description, &s.rating,
                            &s.textInput_title, &s.textInput_description, &s.textInput_name, &s.textInput_link};
  return check_strings(r, fields, array_count(fields));
}

static u32 check_record_strings(reader *r, entry *e) {
  if (entry_get_type(e) == feed_type_atom) {
    const entry_atom &a = e->atom;
    const buffer *fields[] = {&a.content, &a.atom_id, &a.rights, &a.source, &a.summary, &a.title};
    return check_strings(r, fields, array_count(fields));
  }
  const entry_rss &s = e->rss;
  const buffer *fields[] = {&s.title, &s.link, &s.description, &s.author, &s.comments, &s.enclosure_url,
                            &s.enclosure_type, &s.source, &s.source_url, &s.guid};
  return check_strings(r, fields, array_count(fields));
}

u32 reader_check(reader *r) {
  bool out_of_memory = false;
  return reader_check_memory(r, &out_of_memory);
}

u32 reader_check_memory(reader *r, bool *out_of_memory) {
  u32 problems = 0;
  struct {
    pool *p;
    u64 size;
    pool_test_fn *live;
    const char *labels[3];
  } pools[] = {
      {&r->feeds, sizeof(feed), feed_is_live, {"    feed count: ", "\n    actual feed count: ", "\n    feed count difference: "}},
      {&r->entries, sizeof(entry), entry_is_live, {"\n    entry count: ", "\n    actual entry count: ", "\n    entry count difference: "}},
      {&r->categories, sizeof(category), category_is_live, {"\n    category count: ", "\n    actual category count: ", "\n    category count difference: "}},
      {&r->persons, sizeof(person), person_is_live, {"\n    atom person count: ", "\n    actual atom person count: ", "\n    person count difference: "}},
      {&r->atom_links, sizeof(atom_link), atom_link_is_live, {"\n    atom link count: ", "\n    actual atom link count: ", "\n    atom link count difference: "}},
      {&r->links, sizeof(struct link), link_is_live, {"\n    link count: ", "\n    actual link count: ", "\n    link count difference: "}},
      {&r->metas, sizeof(meta), meta_is_live, {"\n    meta count: ", "\n    actual meta count: ", "\n    meta count difference: "}},
  };
  u32 counted[7];
  for (u32 i = 0; i < 7; ++i) {
    counted[i] = check_count_live(pools[i].p, pools[i].size, pools[i].live);
    problems += check_log_count(pools[i].labels[0], pools[i].labels[1], pools[i].labels[2], pools[i].p->entry_count,
                                counted[i]);
  }
  if (counted[6] != counted[0]) {
    ++problems;
    log_append_string(string_lit("\n    metas and feeds differ"));
  }

  // Sorted keys answer "how many links of this kind does this owner have" in log time, so the
  // check stays fast on a full store.
  u64 n_categories = counted[2], n_persons = counted[3], n_links = counted[5], n_atom = counted[4];
  u64 n_entries = counted[1], n_feeds = counted[0];
  u64 bytes = (n_categories + n_persons + n_feeds) * 4 + (n_links + n_atom + n_entries) * 8 + 64;
  buffer block = memory_alloc(bytes, nullptr);
  if (!block.data) {
    log_append_string(string_lit("\n    no memory to check the links\n"));
    *out_of_memory = true;
    return problems + 1;
  }
  u32 *category_ids = buffer_push_array(&block, u32, n_categories + 1);
  u32 *person_ids = buffer_push_array(&block, u32, n_persons + 1);
  u32 *feed_ids = buffer_push_array(&block, u32, n_feeds + 1);
  u64 *link_keys = buffer_push_array(&block, u64, n_links + 1);
  u64 *atom_keys = buffer_push_array(&block, u64, n_atom + 1);
  u64 *entry_keys = buffer_push_array(&block, u64, n_entries + 1);
  invariant(category_ids && person_ids && feed_ids && link_keys && atom_keys && entry_keys);

  // The counts above came from whole-pool walks, so the arrays hold exactly those records.
  u64 k = 0;
  for (u32 i = 0; i < r->categories.high_water; ++i) {
    category *c = (category *)pool_get(&r->categories, sizeof(category), i);
    if (category_is_live(c)) category_ids[k++] = c->id;
  }
  std::sort(category_ids, category_ids + k);
  k = 0;
  for (u32 i = 0; i < r->persons.high_water; ++i) {
    person *p = (person *)pool_get(&r->persons, sizeof(person), i);
    if (person_is_live(p)) person_ids[k++] = p->id;
  }
  std::sort(person_ids, person_ids + k);
  k = 0;
  for (u32 i = 0; i < r->feeds.high_water; ++i) {
    feed *f = (feed *)pool_get(&r->feeds, sizeof(feed), i);
    if (feed_is_live(f)) feed_ids[k++] = f->id;
  }
  std::sort(feed_ids, feed_ids + k);
  // Only links whose target exists count.
  k = 0;
  for (u32 i = 0; i < r->links.high_water; ++i) {
    struct link *l = (struct link *)pool_get(&r->links, sizeof(struct link), i);
    if (!link_is_live(l)) continue;
    bool to_category = l->kind <= link_kind_atom_entry_category;
    if (to_category ? check_has_id(category_ids, n_categories, l->target_id)
                    : check_has_id(person_ids, n_persons, l->target_id)) {
      link_keys[k++] = check_key(l->kind, l->owner_id);
    }
  }
  u64 n_link_keys = k;
  std::sort(link_keys, link_keys + n_link_keys);
  k = 0;
  for (u32 i = 0; i < r->atom_links.high_water; ++i) {
    atom_link *l = (atom_link *)pool_get(&r->atom_links, sizeof(atom_link), i);
    if (atom_link_is_live(l)) atom_keys[k++] = check_key(l->owner_kind, l->owner_id);
  }
  std::sort(atom_keys, atom_keys + n_atom);
  k = 0;
  for (u32 i = 0; i < r->entries.high_water; ++i) {
    entry *e = (entry *)pool_get(&r->entries, sizeof(entry), i);
    if (entry_is_live(e)) entry_keys[k++] = check_key(e->feed_id, 0);
  }
  std::sort(entry_keys, entry_keys + n_entries);

  auto links_of = [&](u32 kind, u32 owner) { return check_count_key(link_keys, n_link_keys, check_key(kind, owner)); };
  auto atom_links_of = [&](u32 kind, u32 owner) { return check_count_key(atom_keys, n_atom, check_key(kind, owner)); };
  auto expect = [&](const char *what, u32 id, u32 stored, u32 actual) {
    if (stored == actual) return;
    ++problems;
    check_log_problem(what, id, stored, actual);
  };

  for (u32 i = 0; i < r->feeds.high_water; ++i) {
    feed *f = (feed *)pool_get(&r->feeds, sizeof(feed), i);
    if (!feed_is_live(f)) continue;
    expect("entries of feed ", f->id, f->entry_count, check_count_key(entry_keys, n_entries, check_key(f->id, 0)));
    expect("metas of feed ", f->id, 1, reader_get_meta(r, f->id) ? 1 : 0);
    expect("strings outside the arena in feed ", f->id, 0, check_record_strings(r, f));
    if (feed_get_type(f) == feed_type_rss) {
      expect("categories of feed ", f->id, f->rss.category_count, links_of(link_kind_rss_feed_category, f->id));
    } else {
      expect("categories of feed ", f->id, f->atom.category_count, links_of(link_kind_atom_feed_category, f->id));
      expect("authors of feed ", f->id, f->atom.author_count, links_of(link_kind_atom_feed_author, f->id));
      expect("contributors of feed ", f->id, f->atom.contributor_count, links_of(link_kind_atom_feed_contributor, f->id));
      expect("atom links of feed ", f->id, f->atom.atom_link_count, atom_links_of(atom_link_owner_feed, f->id));
    }
  }
  for (u32 i = 0; i < r->entries.high_water; ++i) {
    entry *e = (entry *)pool_get(&r->entries, sizeof(entry), i);
    if (!entry_is_live(e)) continue;
    expect("owning feeds of entry ", e->id, 1, check_has_id(feed_ids, n_feeds, e->feed_id) ? 1 : 0);
    expect("strings outside the arena in entry ", e->id, 0, check_record_strings(r, e));
    if (entry_get_type(e) == feed_type_rss) {
      expect("categories of entry ", e->id, e->rss.category_count, links_of(link_kind_rss_entry_category, e->id));
    } else {
      expect("categories of entry ", e->id, e->atom.category_count, links_of(link_kind_atom_entry_category, e->id));
      expect("authors of entry ", e->id, e->atom.author_count, links_of(link_kind_atom_entry_author, e->id));
      expect("contributors of entry ", e->id, e->atom.contributor_count, links_of(link_kind_atom_entry_contributor, e->id));
      expect("atom links of entry ", e->id, e->atom.atom_link_count, atom_links_of(atom_link_owner_entry, e->id));
    }
  }
  log_append_string(string_lit("\n"));
  memory_free(&block);
  return problems;
}

// ---- Dump --------------------------------------------------------------------------------

static void dump_count(u64 n) {
  log_append_string(string_lit("count: "));
  log_unsigned(n, 0, ' ', 0);
}

u32 reader_dump(reader *r, buffer path) {
  u64 n = 0;
  log_append_string(string_lit("feeds:\n"));
  store_walk<feed>(&r->feeds, feed_is_live, [&](feed *f) {
    log_unsigned(f->id, 3, ' ', 0);
    log_append_string(string_lit(" "));
    log_append_string(f->url);
    log_append_string(string_lit("\n"));
    ++n;
    return false;
  });
  dump_count(n);
  log_append_string(string_lit("\nentries:\n"));
  n = 0;
  store_walk<entry>(&r->entries, entry_is_live, [&](entry *e) {
    log_append_string(string_lit("feed : "));
    log_unsigned(e->feed_id, 0, ' ', 0);
    log_append_string(string_lit(" entry : "));
    log_unsigned(e->id, 0, ' ', 0);
    log_append_string(string_lit("\n"));
    ++n;
    return false;
  });
  dump_count(n);
  log_append_string(string_lit("\ncategories:\n"));
  n = 0;
  store_walk<category>(&r->categories, category_is_live, [&](category *c) {
    log_unsigned(c->id, 0, ' ', 0);
    log_append_string(string_lit(" "));
    log_append_string(c->term);
    log_append_string(string_lit("\n"));
    ++n;
    return false;
  });
  dump_count(n);
  log_append_string(string_lit("\npersons:\n"));
  n = 0;
  store_walk<person>(&r->persons, person_is_live, [&](person *p) {
    log_unsigned(p->id, 0, ' ', 0);
    log_append_string(string_lit(" "));
    log_append_string(p->name);
    log_append_string(string_lit("\n"));
    ++n;
    return false;
  });
  dump_count(n);
  log_append_string(string_lit("\natom links:\n"));
  n = 0;
  store_walk<atom_link>(&r->atom_links, atom_link_is_live, [&](atom_link *l) {
    log_append_string(l->owner_kind == atom_link_owner_feed ? string_lit("type_feed  ") : string_lit("type_entry "));
    log_unsigned(l->owner_id, 0, ' ', 0);
    log_append_string(string_lit(" "));
    log_append_string(l->href);
    log_append_string(string_lit("\n"));
    ++n;
    return false;
  });
  dump_count(n);
  log_append_string(string_lit("\nlinks:\n"));
  static const char labels[8][24] = {"rss  feed  category    ", "rss  entry category    ", "atom feed  category    ",
                                     "atom entry category    ", "atom feed  author      ", "atom entry author      ",
                                     "atom feed  contributor ", "atom entry contributor "};
  n = 0;
  store_walk<struct link>(&r->links, link_is_live, [&](struct link *l) {
    log_append(labels[l->kind - 1], 23);
    log_unsigned(l->owner_id, 0, ' ', 0);
    log_append_string(string_lit(" "));
    log_unsigned(l->target_id, 0, ' ', 0);
    log_append_string(string_lit("\n"));
    ++n;
    return false;
  });
  dump_count(n);
  log_append_string(string_lit("\n"));
  return log_save(path);
}
