// Reading a save file into a freshly initialised reader: the texts straight into the arena and
// the rest into a block; once the image has passed its checks, the records into their pools with
// their pointers made again from offsets and the look-ups rebuilt. And emptying a reader that a
// refused file left.
#include "reader/save_internal.h"

// ---- Installing an image -----------------------------------------------------------------

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
  if (codepoint_set *set = r->codepoints) {
    codepoints_reset(set);
    u32 builtin[256];
    u32 n = builtin_codepoints(builtin);
    for (u32 i = 0; i < n; ++i) codepoint_set_add(set, builtin[i]);
  }
}

// The image's texts either follow the rest in bytes (texts null) or were read straight into the
// arena (texts the arena's base), which then needs no copy.
static bool reader_install(reader *r, const u8 *bytes, u64 size, const u8 *texts, u64 texts_size) {
  image_sections s = {};
  if (!image_check(bytes, size, texts, texts_size, reader_limits(r), &s, true)) return false;
  if (!reader_strings_reserve(r, s.strings_length)) return save_reject("no memory for the texts");
  u8 *base = r->strings.data;
  if (texts != base) memcpy(base, bytes + s.strings_at, s.strings_length);
  r->strings.used = s.strings_length;
  r->strings_live = s.strings_length;

  buffer *fields[32];
  for (u32 k = 0; k < 7; ++k) {
    pool *p = reader_pool(r, k);
    // Slots 0 to count - 1 in use, the next allocation takes slot count.
    if (!pool_fill_front(p, save_record_size[k], s.count[k])) {
      reader_reset(r);
      return save_reject("no memory for the records");
    }
    memcpy(p->items, bytes + s.pool_at[k], s.count[k] * save_record_size[k]);
    for (u32 i = 0; i < s.count[k]; ++i) {
      void *record = pool_get(p, save_record_size[k], i);
      zero_unused_layout(k, record);
      u32 n = k < pool_links ? record_strings(k, record, fields) : 0;
      for (u32 f = 0; f < n; ++f) fields[f]->data = base + (u64)(uintptr_t)fields[f]->data;
      if (k == pool_metas) {
        meta *m = (meta *)record;
        m->opener = &r->link_openers[(u64)(uintptr_t)m->opener];
      }
    }
  }
  memcpy(r->link_openers, bytes + s.openers_at, SAVE_FILE_OPENERS_SIZE);
  for (link_opener &o : r->link_openers) {
    u32 n = opener_strings(&o, fields);
    for (u32 f = 0; f < n; ++f) fields[f]->data = base + (u64)(uintptr_t)fields[f]->data;
  }
  r->next_feed_id = s.counters[0];
  r->entry_counter = s.counters[1];
  r->category_counter = s.counters[2];
  r->person_counter = s.counters[3];
  r->generation = s.counters[4];
  if (codepoint_set *set = r->codepoints) {
    codepoints_reset(set);
    for (u32 i = 0; i < s.codepoints; ++i) codepoint_set_add(set, read_u32(bytes + s.codepoints_at + 4ull * i));
  }
  reader_index_rebuild(r);
  if (reader_check(r) != 0) {
    reader_reset(r);
    return save_reject("the store's check failed");
  }
  return true;
}

bool reader_read_bytes(reader *r, const u8 *bytes, u64 size) { return reader_install(r, bytes, size, nullptr, 0); }

// Reads everything before the texts into a block and the texts straight into the arena, so the
// largest section is read once into its final place. False, with nothing read into the store,
// when the file's own sizes do not say where the texts lie: the caller then reads it whole and
// the checks say what is wrong.
static bool reader_read_split(reader *r, buffer path, u64 size, u32 *error, bool *ok) {
  u8 start[SAVE_FILE_COUNTERS_END];
  if (size < SAVE_FILE_COUNTERS_END) return false;
  platform_file f = file_open(path, 0, 0, error);
  if (*error) return false;
  bool split = false;
  buffer head = {};
  file_read_at(f, 0, sizeof start, start, error);
  s64 codepoints_end = 0;
  if (!*error) memcpy(&codepoints_end, start + 8 + 8 * 8, 8);
  u64 head_size = (u64)codepoints_end + 4;
  if (!*error && codepoints_end >= (s64)SAVE_FILE_COUNTERS_END && head_size <= size) {
    head = memory_alloc(head_size, nullptr);
    memory_prefer_large_pages(head);
  }
  if (head.data) file_read_at(f, 0, head_size, head.data, error);
  if (head.data && !*error) {
    u64 length = read_u32(head.data + head_size - 4);
    if (head_size + length == size && length + READER_STRINGS_STEP < r->strings_a.size &&
        reader_strings_reserve(r, length)) {
      file_read_at(f, head_size, length, r->strings.data, error);
      split = true;
      if (!*error) *ok = reader_install(r, head.data, head_size, r->strings.data, length);
    }
  }
  memory_free(&head);
  if (!file_close(f, error) && !*error) *error = file_error_close_invalid;
  return split || *error;
}

bool reader_read(reader *r, buffer path, u32 *error) {
  if (*error) return false;
  u64 size = file_size(path, error);
  if (*error) return false;
  // The largest file the checks could accept; anything larger is refused unread.
  image_limits limits = reader_limits(r);
  u64 largest = SAVE_FILE_COUNTERS_END + SAVE_FILE_OPENERS_SIZE + 8 + 4ull * CODEPOINT_SET_CAPACITY + limits.strings;
  for (u32 k = 0; k < 7; ++k) largest += 4 + limits.capacity[k] * save_record_size[k];
  if (size > largest) return save_reject("larger than any store");
  bool ok = false;
  if (reader_read_split(r, path, size, error, &ok)) return ok && !*error;
  if (*error) return false;
  buffer content = file_read_all(path, 0, error);
  if (*error) return false;
  ok = reader_read_bytes(r, content.data, content.used);
  file_content_free(&content);
  return ok;
}
