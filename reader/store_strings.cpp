// The store's texts: the string fields of every record, and moving the live texts into the spare
// arena when the active one holds more garbage than texts.
#include <string.h>

#include "reader/store_internal.h"

pool *reader_pool(reader *r, u32 which) {
  pool *pools[7] = {&r->feeds, &r->entries, &r->categories, &r->persons, &r->atom_links, &r->links, &r->metas};
  return pools[which];
}

// ---- String fields -----------------------------------------------------------------------

u32 feed_strings(feed *f, buffer **out) {
  if (feed_get_type(f) == feed_type_atom) {
    feed_atom &a = f->atom;
    buffer *fields[] = {&f->url, &a.generator, &a.generator_uri, &a.generator_version, &a.icon,
                        &a.logo, &a.atom_id,   &a.rights,        &a.subtitle,          &a.title};
    memcpy(out, fields, sizeof(fields));
    return array_count(fields);
  }
  feed_rss &s = f->rss;
  buffer *fields[] = {&f->url, &s.title, &s.link, &s.description, &s.language, &s.copyright,
                      &s.managingEditor, &s.webMaster, &s.generator, &s.docs, &s.cloud_domain,
                      &s.cloud_path, &s.cloud_registerProcedure, &s.cloud_protocol, &s.image_url,
                      &s.image_title, &s.image_link, &s.image_description, &s.rating,
                      &s.textInput_title, &s.textInput_description, &s.textInput_name, &s.textInput_link};
  memcpy(out, fields, sizeof(fields));
  return array_count(fields);
}

u32 entry_strings(entry *e, buffer **out) {
  if (entry_get_type(e) == feed_type_atom) {
    entry_atom &a = e->atom;
    buffer *fields[] = {&a.content, &a.atom_id, &a.rights, &a.source, &a.summary, &a.title};
    memcpy(out, fields, sizeof(fields));
    return array_count(fields);
  }
  entry_rss &s = e->rss;
  buffer *fields[] = {&s.title,         &s.link, &s.description, &s.author,     &s.comments,
                      &s.enclosure_url, &s.enclosure_type,       &s.guid,       &s.source, &s.source_url};
  memcpy(out, fields, sizeof(fields));
  return array_count(fields);
}

// Any pool record (not metas or links), by pool.
u32 record_strings(u32 which, void *record, buffer **out) {
  switch (which) {
    case pool_feeds: return feed_strings((feed *)record, out);
    case pool_entries: return entry_strings((entry *)record, out);
    case pool_categories: {
      category *c = (category *)record;
      out[0] = &c->term, out[1] = &c->scheme, out[2] = &c->label;
      return 3;
    }
    case pool_persons: {
      person *p = (person *)record;
      out[0] = &p->name, out[1] = &p->uri, out[2] = &p->email;
      return 3;
    }
    case pool_atom_links: {
      atom_link *l = (atom_link *)record;
      out[0] = &l->href, out[1] = &l->type, out[2] = &l->hreflang, out[3] = &l->title;
      return 4;
    }
  }
  return 0;
}

u32 opener_strings(link_opener *o, buffer **out) {
  out[0] = &o->name, out[1] = &o->program, out[2] = &o->queue;
  return 3;
}

// ---- Reclaiming the arena ----------------------------------------------------------------

// Below this the arena is left alone: moving it would cost more calls than the bytes are worth.
#define READER_STRINGS_RECLAIM_FLOOR (64ull * 1024)

static bool reader_string_in(buffer s, const buffer &arena) {
  return s.data && s.data >= arena.data && s.data + reader_string_span(s) <= arena.data + arena.used;
}

// Calls visit(field) for every text of a live record and every opener text that lies in the
// active arena (openers may keep theirs in the general allocator).
template <class F>
static void reader_visit_strings(reader *r, F visit) {
  buffer *fields[32];
  pool_test_fn *live[5] = {feed_is_live, entry_is_live, category_is_live, person_is_live, atom_link_is_live};
  const u64 sizes[5] = {sizeof(feed), sizeof(entry), sizeof(category), sizeof(person), sizeof(atom_link)};
  for (u32 k = pool_feeds; k <= pool_atom_links; ++k) {
    pool *p = reader_pool(r, k);
    for (u32 i = 0; i < p->high_water; ++i) {
      void *record = pool_get(p, sizes[k], i);
      if (!live[k](record)) continue;
      u32 n = record_strings(k, record, fields);
      for (u32 s = 0; s < n; ++s) visit(fields[s]);
    }
  }
  for (link_opener &o : r->link_openers) {
    u32 n = opener_strings(&o, fields);
    for (u32 s = 0; s < n; ++s)
      if (reader_string_in(*fields[s], r->strings)) visit(fields[s]);
  }
}

u64 reader_strings_live(reader *r) {
  u64 live = 0;
  reader_visit_strings(r, [&](buffer *s) { live += reader_string_span(*s); });
  return live;
}

bool reader_strings_reclaim(reader *r) {
  // The arena left behind by the last move has been read for the last time by now.
  arena_give_back(&r->strings_b, nullptr, 0);
  u64 floor = r->strings_live > READER_STRINGS_RECLAIM_FLOOR ? r->strings_live : READER_STRINGS_RECLAIM_FLOOR;
  if (r->strings.used <= 2 * floor) return false;
  u64 live = reader_strings_live(r);
  r->strings_live = live;
  // Mostly texts that grew, not garbage: measured, and the next look is twice as far.
  if (2 * live >= r->strings.used) return false;
  buffer to = arena_view(&r->strings_b);
  if (!arena_make_room(&r->strings_b, &to, live + 1, 1)) return false;
  reader_visit_strings(r, [&](buffer *s) {
    u64 n = reader_string_span(*s);
    u8 *data = to.data + to.used;
    if (n) memory_copy(data, s->data, n);
    to.used += n;
    if (s->data) s->data = data;
  });
  invariant(to.used == live);
  arena old = r->strings_a;
  r->strings_a = r->strings_b;
  r->strings_b = old;
  r->strings = to;
  return true;
}
