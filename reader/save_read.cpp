// Reading a save file into a freshly initialised reader, straight into place: each pool's records
// into the pool and the texts into the arena, in large pieces, checked where they landed (the
// texts piece by piece as they arrive), their offsets made pointers again, then the look-ups
// rebuilt. A file whose bytes are refused, or one that cannot be read or held, leaves the reader
// empty; the error word tells the two apart. And emptying a reader.
#include <errno.h>

#include "reader/save_internal.h"

// ---- Emptying a reader -------------------------------------------------------------------

static void codepoints_reset(codepoint_set *set) {
  for (u32 i = 0; i < set->count; ++i) set->present[set->items[i] >> 6] &= ~(1ull << (set->items[i] & 63));
  set->count = 0;
}

void reader_reset(reader *r) {
  pool_test_fn *live[7] = {feed_is_live, entry_is_live, category_is_live, person_is_live,
                           atom_link_is_live, link_is_live, meta_is_live};
  pool_kill_fn *clear[7] = {feed_clear, entry_clear, category_clear, person_clear, atom_link_clear, link_clear, meta_clear};
  for (u32 k = 0; k < 7; ++k) {
    pool *p = reader_pool(r, k);
    memory_zero(p->items, (u64)p->high_water * save_record_size[k]);
    p->entry_count = 0;
    pool_compact(p, save_record_size[k], live[k], clear[k]);
  }
  reader_index_rebuild(r);
  r->strings.used = 0;
  r->strings_live = 0;
  r->next_feed_id = r->entry_counter = r->category_counter = r->person_counter = r->generation = 0;
  memory_zero(r->link_openers, sizeof(r->link_openers));
  r->full_reported = 0;
  reader_listing_forget(r);
  if (codepoint_set *set = r->codepoints) {
    codepoints_reset(set);
    u32 builtin[256];
    u32 n = builtin_codepoints(builtin);
    for (u32 i = 0; i < n; ++i) codepoint_set_add(set, builtin[i]);
  }
}

// ---- Reading an image --------------------------------------------------------------------

// The texts are read and checked a piece at a time, each piece checked while it is in the cache.
#define READ_TEXTS_PIECE MiB(2)

static bool no_memory(const char *what, u32 *error) {
  log_text("Save file not loaded: no memory ");
  log_text(what);
  log_text(".\n");
  file_error_set_reason(error, file_error_out_of_memory, 0);
  return false;
}

// The list that passed the checks becomes the set, in ascending order as the file lists it.
static void codepoints_install(codepoint_set *set, const u64 *bits) {
  codepoints_reset(set);
  for (u32 w = 0; w < CODEPOINT_WORDS; ++w)
    for (u64 word = bits[w]; word; word &= word - 1) codepoint_set_add(set, w * 64 + (u32)__builtin_ctzll(word));
}

static bool reader_read_image(reader *r, const image_source *src, u32 *error) {
  image_layout l;
  if (!image_layout_read(src, reader_limits(r), &l, error)) return false;
  image_checker check;
  bool ok = image_checker_begin(&check, l, error);
  if (!ok && *error) no_memory("to check it", error);
  // All the memory first: a lack of it is told apart from what is wrong with the bytes.
  for (u32 k = 0; ok && k < 7; ++k)
    if (!pool_fill_front(reader_pool(r, k), save_record_size[k], l.count[k])) ok = no_memory("for the records", error);
  if (ok && !reader_strings_reserve(r, l.strings_length)) ok = no_memory("for the texts", error);

  // Each record is checked where it was read, then its texts' offsets become pointers.
  u8 *base = r->strings.data;
  buffer *fields[32];
  for (u32 k = 0; ok && k < 7; ++k) {
    pool *p = reader_pool(r, k);
    ok = image_source_read(src, l.pool_at[k], (u64)l.count[k] * save_record_size[k], p->items, error);
    for (u32 i = 0; ok && i < l.count[k]; ++i) {
      void *record = pool_get(p, save_record_size[k], i);
      zero_unused_layout(k, record);
      ok = image_check_record(&check, k, record);
      u32 n = ok ? record_strings(k, record, fields) : 0;
      for (u32 f = 0; f < n; ++f) fields[f]->data = base + (u64)(uintptr_t)fields[f]->data;
      if (ok && k == pool_metas) {
        meta *m = (meta *)record;
        m->opener = &r->link_openers[(u64)(uintptr_t)m->opener];
      }
    }
  }
  link_opener openers[READER_LINK_OPENER_COUNT];
  ok = ok && image_source_read(src, l.openers_at, SAVE_FILE_OPENERS_SIZE, openers, error);
  for (u32 o = 0; ok && o < READER_LINK_OPENER_COUNT; ++o)
    ok = image_check_record(&check, image_part_opener, &openers[o]);
  if (ok) {
    memcpy(r->link_openers, openers, sizeof openers);
    for (link_opener &o : r->link_openers) {
      u32 n = opener_strings(&o, fields);
      for (u32 f = 0; f < n; ++f) fields[f]->data = base + (u64)(uintptr_t)fields[f]->data;
    }
  }
  u32 piece[1024];
  for (u64 i = 0; ok && i < l.codepoints; i += array_count(piece)) {
    u64 n = std::min<u64>(array_count(piece), l.codepoints - i);
    ok = image_source_read(src, l.codepoints_at + 4 * i, 4 * n, piece, error);
    for (u64 j = 0; ok && j < n; ++j) ok = image_check_codepoint(&check, piece[j]);
  }
  ok = ok && image_checker_end(&check);
  const u8 *checked = base;
  for (u64 at = 0; ok && at < l.strings_length; at += READ_TEXTS_PIECE) {
    u64 n = std::min<u64>(READ_TEXTS_PIECE, l.strings_length - at);
    ok = image_source_read(src, l.strings_at + at, n, base + at, error);
    if (ok) checked = image_check_texts(&check, checked, base + at + n, at + n < l.strings_length);
    ok = ok && checked;
  }

  if (ok) {
    r->strings.used = l.strings_length;
    r->strings_live = l.strings_length;
    r->next_feed_id = l.counters[0];
    r->entry_counter = l.counters[1];
    r->category_counter = l.counters[2];
    r->person_counter = l.counters[3];
    r->generation = l.counters[4];
    if (r->codepoints) codepoints_install(r->codepoints, check.bits);
  }
  image_checker_free(&check);
  if (!ok) {
    reader_reset(r);
    return false;
  }
  reader_index_rebuild(r);
  // The file's own checks mean to ask all the store's check asks; what they let through and the
  // store's check finds is still wrong in the bytes. Only a check without memory is not.
  bool out_of_memory = false;
  if (reader_check_memory(r, &out_of_memory) != 0) {
    reader_reset(r);
    if (out_of_memory) return no_memory("for the store's check", error);
    return save_reject(SAVE_REJECT_STORE_CHECK);
  }
  return true;
}

bool reader_read_bytes(reader *r, const u8 *bytes, u64 size) {
  image_source source = {bytes, platform_file_invalid, size};
  u32 error = 0;
  return reader_read_image(r, &source, &error);
}

bool reader_read(reader *r, buffer path, u32 *error) {
  if (*error) return false;
  platform_file f = file_open(path, 0, 0, error);
  if (*error) return false;
  u64 size = file_size_of_handle(f, error);
  // The largest file the checks could accept; anything larger is refused unread.
  image_limits limits = reader_limits(r);
  u64 largest = SAVE_FILE_COUNTERS_END + SAVE_FILE_OPENERS_SIZE + 8 + 4ull * CODEPOINT_SET_CAPACITY + limits.strings;
  for (u32 k = 0; k < 7; ++k) largest += 4 + limits.capacity[k] * save_record_size[k];
  bool ok = false;
  if (!*error && size > largest) {
    save_reject("larger than any store");
  } else if (!*error) {
    image_source source = {nullptr, f, size};
    ok = reader_read_image(r, &source, error);
  }
  if (!file_close(f, error)) file_error_set_reason(error, file_error_close_invalid, errno);
  if (ok && *error) reader_reset(r);
  return ok && !*error;
}
