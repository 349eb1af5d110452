// The "PROF" file: the writer of the live profiler's buffers and the loader of an image. The
// loader trusts nothing in the image: every block is bounded by the image, every count by the
// metadata that must hold it, and every table index by its table.
#include <string.h>

#include "profiler/profile.h"

// ---- Errors ------------------------------------------------------------------------------

static const char *const profiler_error_names[PROFILER_ERROR_CODE_COUNT] = {
    "profiler_error_none",    "profiler_error_no_data", "profiler_error_past_end",    "profiler_error_no_memory",
    "profiler_error_create",  "profiler_error_magic",   "profiler_error_version",     "profiler_error_write",
    "profiler_error_short_write", "profiler_error_malformed",
};

const char *profiler_error_name(u32 code) {
  return code < PROFILER_ERROR_CODE_COUNT ? profiler_error_names[code] : "profiler_error_unknown";
}

static void profiler_error_set(u32 *error, u32 code) {
  if (*error == 0) *error = code;
}

// ---- Block cursors -----------------------------------------------------------------------

buffer profiler_reader_make(u64 size, const void *data, u32 *error) {
  if (!data) {
    profiler_error_set(error, profiler_error_no_data);
    return buffer{};
  }
  return buffer{size, 0, (u8 *)data};
}

const u8 *profiler_read_bytes(buffer *reader, u64 n, u32 *error) {
  if (*error) return nullptr;
  if (reader->used > reader->size || n > reader->size - reader->used) {
    profiler_error_set(error, profiler_error_past_end);
    return nullptr;
  }
  const u8 *p = reader->data + reader->used;
  reader->used += n;
  return p;
}

// Fields are packed with no alignment, so every value is copied out byte-wise.
#define PROFILER_READ_VALUE(T)                               \
  T value = 0;                                               \
  const u8 *p = profiler_read_bytes(reader, sizeof(T), error); \
  if (p) memcpy(&value, p, sizeof(T));                       \
  return value

u8 profiler_read_u8(buffer *reader, u32 *error) { PROFILER_READ_VALUE(u8); }
u16 profiler_read_u16(buffer *reader, u32 *error) { PROFILER_READ_VALUE(u16); }
u32 profiler_read_u32(buffer *reader, u32 *error) { PROFILER_READ_VALUE(u32); }
u64 profiler_read_u64(buffer *reader, u32 *error) { PROFILER_READ_VALUE(u64); }
#undef PROFILER_READ_VALUE

void profiler_push_bytes(buffer *block, const void *source, u64 n, u32 *error) {
  if (*error) return;
  if (block->used > block->size || n > block->size - block->used) {
    profiler_error_set(error, profiler_error_past_end);
    return;
  }
  if (n) memcpy(block->data + block->used, source, n);
  block->used += n;
}

void profiler_push_u8(buffer *block, u8 value, u32 *error) { profiler_push_bytes(block, &value, 1, error); }
void profiler_push_u16(buffer *block, u16 value, u32 *error) { profiler_push_bytes(block, &value, 2, error); }
void profiler_push_u32(buffer *block, u32 value, u32 *error) { profiler_push_bytes(block, &value, 4, error); }
void profiler_push_u64(buffer *block, u64 value, u32 *error) { profiler_push_bytes(block, &value, 8, error); }

u8 profiler_align_padding(u64 value, u64 alignment) { return (u8)((0 - value) & (alignment - 1)); }

// ---- Writing -----------------------------------------------------------------------------

u64 profiler_metadata_size(u32 kind_count, u32 thread_count, u32 zone_count, u64 kind_bytes, u64 zone_bytes) {
  return PROFILER_FILE_COUNTS_SIZE + 2ull * kind_count + kind_bytes + 12ull * thread_count + 2ull * zone_count +
         zone_bytes + PROFILER_FILE_CALIBRATION_SIZE;
}

static u32 profiler_live_thread_count() {
  u32 n = __atomic_load_n(&profiler_global.thread_count, __ATOMIC_ACQUIRE);
  return n < PROFILER_MAX_THREADS ? n : PROFILER_MAX_THREADS;
}

static u64 profiler_live_event_bytes(const profiler_thread *t) {
  return t->events ? (u64)(t->cursor - t->events) * sizeof(profiler_event) : 0;
}

// The runtime's monotonic calibration is the run's own ratio, so a file (and a live profile)
// describes it with the ratio kind; the method byte keeps where it came from.
static u8 profiler_conversion_of_state(const profiler_state *g) {
  if (g->tsc_conversion == 1 && g->tsc_method == profiler_tsc_method_monotonic) return profiler_conversion_ratio;
  return g->tsc_conversion ? profiler_conversion_system : profiler_conversion_ratio;
}

buffer profiler_metadata_build(u32 *error) {
  if (*error) return buffer{};
  const profiler_state *g = &profiler_global;
  u32 threads = profiler_live_thread_count();
  u64 kind_bytes = 0, zone_bytes = 0;
  for (u32 i = 0; i < profiler_thread_kind_count; i++) kind_bytes += profiler_thread_kind_names[i].length;
  for (u32 i = 0; i < profiler_zone_count; i++) zone_bytes += profiler_zone_names[i].length;
  u64 size = profiler_metadata_size(profiler_thread_kind_count, threads, profiler_zone_count, kind_bytes, zone_bytes);

  buffer block = memory_alloc(size, nullptr);
  if (!block.data) {
    profiler_error_set(error, profiler_error_no_memory);
    return buffer{};
  }
  u32 e = 0;
  profiler_push_u32(&block, profiler_thread_kind_count, &e);
  profiler_push_u32(&block, threads, &e);
  profiler_push_u32(&block, profiler_zone_count, &e);
  profiler_push_u64(&block, kind_bytes, &e);
  profiler_push_u64(&block, zone_bytes, &e);
  for (u32 i = 0; i < profiler_thread_kind_count; i++) profiler_push_u16(&block, profiler_thread_kind_names[i].length, &e);
  for (u32 i = 0; i < profiler_thread_kind_count; i++) {
    profiler_push_bytes(&block, profiler_thread_kind_names[i].text, profiler_thread_kind_names[i].length, &e);
  }
  for (u32 i = 0; i < threads; i++) profiler_push_u64(&block, profiler_live_event_bytes(&profiler_threads[i]), &e);
  for (u32 i = 0; i < threads; i++) profiler_push_u32(&block, profiler_threads[i].kind, &e);
  for (u32 i = 0; i < profiler_zone_count; i++) profiler_push_u16(&block, profiler_zone_names[i].length, &e);
  for (u32 i = 0; i < profiler_zone_count; i++) {
    profiler_push_bytes(&block, profiler_zone_names[i].text, profiler_zone_names[i].length, &e);
  }
  profiler_push_u64(&block, g->qpc_frequency, &e);
  profiler_push_u64(&block, g->tsc_run, &e);
  profiler_push_u64(&block, g->qpc_run, &e);
  profiler_push_u8(&block, profiler_conversion_of_state(g), &e);
  profiler_push_u8(&block, g->tsc_method, &e);
  profiler_push_u8(&block, g->qpc_shift, &e);
  profiler_push_u64(&block, g->qpc_bias, &e);
  profiler_push_u64(&block, g->hypervisor_scale, &e);
  profiler_push_u64(&block, g->hypervisor_offset, &e);
  profiler_push_u32(&block, 0, &e);
  profiler_push_u32(&block, 0, &e);
  invariant(e == 0 && block.used == block.size);
  return block;
}

u64 profiler_write_all(platform_file handle, u64 offset, const void *data, u64 count, u32 *error) {
  if (*error) return 0;
  u32 file_error = 0;
  u64 written = count ? file_write_at(handle, offset, count, data, &file_error) : 0;
  if (file_error == file_error_write) {
    profiler_error_set(error, profiler_error_write);
  } else if (file_error || written != count) {
    profiler_error_set(error, profiler_error_short_write);
  }
  return written;
}

u64 profiler_write_file(const char *name, int overwrite, u32 *error) {
  if (*error) return 0;
  u32 file_error = 0;
  platform_file handle = file_open_bytes((const u8 *)name, strlen(name), 1, overwrite, &file_error);
  if (!file_handle_is_valid(handle)) {
    profiler_error_set(error, profiler_error_create);
    return 0;
  }
  u64 written = 0;
  buffer metadata = profiler_metadata_build(error);
  if (!*error) {
    u32 threads = profiler_live_thread_count();
    u64 total = 0;
    for (u32 i = 0; i < threads; i++) total += profiler_live_event_bytes(&profiler_threads[i]);
    u64 padding = profiler_align_padding(PROFILER_FILE_HEADER_SIZE + metadata.size, 16);
    u64 events_offset = PROFILER_FILE_HEADER_SIZE + metadata.size + padding;

    u8 header_bytes[PROFILER_FILE_HEADER_SIZE];
    buffer header = buffer_make(sizeof header_bytes, 0, header_bytes);
    u32 e = 0;
    profiler_push_u32(&header, PROFILER_FILE_MAGIC, &e);
    profiler_push_u32(&header, PROFILER_FILE_VERSION, &e);
    profiler_push_u64(&header, metadata.size, &e);
    profiler_push_u64(&header, PROFILER_FILE_HEADER_SIZE, &e);
    profiler_push_u64(&header, total, &e);
    profiler_push_u64(&header, events_offset, &e);
    invariant(e == 0 && header.used == header.size);

    static const u8 zeros[16] = {};
    written += profiler_write_all(handle, written, header_bytes, sizeof header_bytes, error);
    written += profiler_write_all(handle, written, metadata.data, metadata.size, error);
    written += profiler_write_all(handle, written, zeros, padding, error);
    for (u32 i = 0; i < threads; i++) {
      const profiler_thread *t = &profiler_threads[i];
      written += profiler_write_all(handle, written, t->events, profiler_live_event_bytes(t), error);
    }
  }
  // Some file systems refuse written data only when the file is closed.
  if (!file_close(handle, &file_error) || file_error) profiler_error_set(error, profiler_error_write);
  memory_free(&metadata);
  return written;
}

// ---- The profile's own tables ------------------------------------------------------------

// One block for the names, their lengths and pointers and the thread records, carved widest
// alignment first so every table is aligned. Filled exactly or not at all.
static void profiler_tables_alloc(profiler_profile *p, u32 kinds, u32 threads, u32 zones, u64 kind_bytes,
                                  u64 zone_bytes, u32 *error) {
  if (*error) return;
  u64 size = (u64)threads * sizeof(profiler_profile_thread) + 8ull * (kinds + zones) + 2ull * (kinds + zones) +
             kind_bytes + zone_bytes;
  p->arena = memory_alloc(size, nullptr);
  if (!p->arena.data) {
    profiler_error_set(error, profiler_error_no_memory);
    return;
  }
  buffer *a = &p->arena;
  p->threads = (profiler_profile_thread *)buffer_push(a, (u64)threads * sizeof(profiler_profile_thread), 8);
  p->kind_names = (const u8 **)buffer_push(a, 8ull * kinds, 8);
  p->zone_names = (const u8 **)buffer_push(a, 8ull * zones, 8);
  p->kind_name_lengths = (u16 *)buffer_push(a, 2ull * kinds, 2);
  p->zone_name_lengths = (u16 *)buffer_push(a, 2ull * zones, 2);
  p->kind_count = kinds;
  p->thread_count = threads;
  p->zone_count = zones;
}

// Copies the names after their lengths; the caller has checked that the lengths add up to bytes.
static void profiler_tables_copy_names(profiler_profile *p, const u8 **names, const u16 *lengths, u32 count,
                                       const u8 *source, u32 *longest) {
  u8 *out = (u8 *)buffer_push(&p->arena, 0, 1);
  u64 total = 0;
  for (u32 i = 0; i < count; i++) total += lengths[i];
  if (total) out = (u8 *)buffer_push(&p->arena, total, 1);
  invariant(total == 0 || out != nullptr);
  u32 max = 0;
  for (u32 i = 0; i < count; i++) {
    names[i] = out;
    if (lengths[i]) memcpy(out, source, lengths[i]);
    out += lengths[i];
    source += lengths[i];
    if (lengths[i] > max) max = lengths[i];
  }
  *longest = max;
}

static void profiler_tables_finish(profiler_profile *p) {
  invariant(p->arena.used == p->arena.size);
  p->name_width = p->longest_zone_name > 40 ? p->longest_zone_name : 40;
  p->indent = 2;
}

// ---- Loading -----------------------------------------------------------------------------

// Rejects a calibration the conversion cannot honour; the report divides by the frequency.
static bool profiler_calibration_valid(const profiler_profile *p) {
  if (p->qpc_frequency == 0) return false;
  switch (p->tsc_conversion) {
    case profiler_conversion_ratio: return p->tsc_run != 0;
    case profiler_conversion_system: return p->tsc_method <= 2 && p->qpc_shift < 64;
    case profiler_conversion_multiplier: return p->multiplier_shift < 128;
    default: return false;
  }
}

void profiler_metadata_read(profiler_profile *p, const u8 *address, u64 size, u32 *error) {
  if (*error) return;
  buffer r = profiler_reader_make(size, address, error);
  u32 kinds = profiler_read_u32(&r, error);
  u32 threads = profiler_read_u32(&r, error);
  u32 zones = profiler_read_u32(&r, error);
  u64 kind_bytes = profiler_read_u64(&r, error);
  u64 zone_bytes = profiler_read_u64(&r, error);
  if (*error) return;

  // Every count must fit the metadata that holds it before anything is sized by it. Each term is
  // below 2^37 or below the metadata's size, so the sum cannot wrap.
  u64 rest = r.size - r.used;
  if (kind_bytes > rest || zone_bytes > rest ||
      profiler_metadata_size(kinds, threads, zones, kind_bytes, zone_bytes) > size) {
    profiler_error_set(error, profiler_error_past_end);
    return;
  }
  // The fields must use the metadata up exactly; the statistics need zone 1 to exist.
  if (profiler_metadata_size(kinds, threads, zones, kind_bytes, zone_bytes) != size ||
      threads > PROFILER_FILE_MAX_THREADS || zones > PROFILER_FILE_MAX_ZONES ||
      zones <= zone_profiler_not_measured || (threads > 0 && kinds == 0)) {
    profiler_error_set(error, profiler_error_malformed);
    return;
  }

  *p = profiler_profile{};
  profiler_tables_alloc(p, kinds, threads, zones, kind_bytes, zone_bytes, error);
  if (*error) return;

  u64 sum = 0;
  for (u32 i = 0; i < kinds; i++) sum += p->kind_name_lengths[i] = profiler_read_u16(&r, error);
  const u8 *kind_text = profiler_read_bytes(&r, kind_bytes, error);
  if (!*error && sum != kind_bytes) profiler_error_set(error, profiler_error_malformed);
  if (!*error) profiler_tables_copy_names(p, p->kind_names, p->kind_name_lengths, kinds, kind_text, &p->longest_kind_name);

  for (u32 i = 0; i < threads; i++) {
    profiler_profile_thread *t = &p->threads[i];
    *t = profiler_profile_thread{};
    t->event_bytes = profiler_read_u64(&r, error);
    // Events are whole 16-byte records.
    if (t->event_bytes % sizeof(profiler_event)) profiler_error_set(error, profiler_error_malformed);
  }
  for (u32 i = 0; i < threads; i++) {
    p->threads[i].kind = profiler_read_u32(&r, error);
    if (p->threads[i].kind >= kinds) profiler_error_set(error, profiler_error_malformed);
  }

  sum = 0;
  for (u32 i = 0; i < zones; i++) sum += p->zone_name_lengths[i] = profiler_read_u16(&r, error);
  const u8 *zone_text = profiler_read_bytes(&r, zone_bytes, error);
  if (!*error && sum != zone_bytes) profiler_error_set(error, profiler_error_malformed);
  if (!*error) profiler_tables_copy_names(p, p->zone_names, p->zone_name_lengths, zones, zone_text, &p->longest_zone_name);

  p->qpc_frequency = profiler_read_u64(&r, error);
  p->tsc_run = profiler_read_u64(&r, error);
  p->qpc_run = profiler_read_u64(&r, error);
  p->tsc_conversion = profiler_read_u8(&r, error);
  p->tsc_method = profiler_read_u8(&r, error);
  p->qpc_shift = profiler_read_u8(&r, error);
  p->qpc_bias = profiler_read_u64(&r, error);
  p->hypervisor_scale = profiler_read_u64(&r, error);
  p->hypervisor_offset = profiler_read_u64(&r, error);
  p->multiplier = profiler_read_u32(&r, error);
  p->multiplier_shift = profiler_read_u32(&r, error);
  if (!*error && !profiler_calibration_valid(p)) profiler_error_set(error, profiler_error_malformed);
  if (*error) {
    profiler_profile_free(p);
    return;
  }
  invariant(r.used == r.size);
  profiler_tables_finish(p);
}

profiler_profile profiler_load(const u8 *image, u64 size, u32 *error) {
  profiler_profile p = {};
  if (*error) return p;
  buffer r = profiler_reader_make(size, image, error);
  u32 magic = profiler_read_u32(&r, error);
  if (!*error && magic != PROFILER_FILE_MAGIC) profiler_error_set(error, profiler_error_magic);
  u32 version = profiler_read_u32(&r, error);
  if (!*error && version != PROFILER_FILE_VERSION) profiler_error_set(error, profiler_error_version);
  u64 metadata_size = profiler_read_u64(&r, error);
  u64 metadata_offset = profiler_read_u64(&r, error);
  u64 event_total = profiler_read_u64(&r, error);
  u64 events_offset = profiler_read_u64(&r, error);
  if (*error) return p;

  // Both blocks are read where the header puts them, but only inside the image.
  if (metadata_offset > size || metadata_size > size - metadata_offset || events_offset > size ||
      event_total > size - events_offset) {
    profiler_error_set(error, profiler_error_past_end);
    return p;
  }
  // The header, the metadata and the events follow each other; events are whole records at a
  // 16-byte offset.
  if (metadata_offset < PROFILER_FILE_HEADER_SIZE || events_offset < metadata_offset + metadata_size ||
      events_offset % 16 || event_total % sizeof(profiler_event)) {
    profiler_error_set(error, profiler_error_malformed);
    return p;
  }

  profiler_metadata_read(&p, image + metadata_offset, metadata_size, error);
  if (*error) return p;

  buffer events = profiler_reader_make(event_total, image + events_offset, error);
  for (u32 i = 0; i < p.thread_count && !*error; i++) {
    profiler_profile_thread *t = &p.threads[i];
    const u8 *e = profiler_read_bytes(&events, t->event_bytes, error);
    if (!e) break;
    t->root = profiler_tree_build(&p, e, t->event_bytes, nullptr, 0, &t->tree, &t->stats, error);
  }
  if (!*error && events.used != events.size) profiler_error_set(error, profiler_error_malformed);
  if (*error) {
    profiler_profile_free(&p);
    return p;
  }
  profiler_report_widths(&p);
  return p;
}

profiler_profile profiler_load_file(const char *name, u32 *error) {
  if (*error) return profiler_profile{};
  u32 file_error = 0;
  buffer content = file_read_all_bytes((const u8 *)name, strlen(name), 0, &file_error);
  if (file_error || !content.data) {
    file_content_free(&content);
    profiler_error_set(error, profiler_error_no_data);
    return profiler_profile{};
  }
  profiler_profile p = profiler_load(content.data, content.used, error);
  file_content_free(&content);
  return p;
}

// ---- Live profiles -----------------------------------------------------------------------

void profiler_profile_from_live(profiler_profile *p, u32 *error) {
  if (*error) return;
  *p = profiler_profile{};
  u32 threads = profiler_live_thread_count();
  u64 kind_bytes = 0, zone_bytes = 0;
  for (u32 i = 0; i < profiler_thread_kind_count; i++) kind_bytes += profiler_thread_kind_names[i].length;
  for (u32 i = 0; i < profiler_zone_count; i++) zone_bytes += profiler_zone_names[i].length;
  profiler_tables_alloc(p, profiler_thread_kind_count, threads, profiler_zone_count, kind_bytes, zone_bytes, error);
  if (*error) return;

  // The tables are copied the way a file's are, so a live profile is released the same way.
  u8 kind_text[64];
  u64 at = 0;
  for (u32 i = 0; i < profiler_thread_kind_count; i++) {
    p->kind_name_lengths[i] = profiler_thread_kind_names[i].length;
    invariant(at + p->kind_name_lengths[i] <= sizeof kind_text);
    memcpy(kind_text + at, profiler_thread_kind_names[i].text, p->kind_name_lengths[i]);
    at += p->kind_name_lengths[i];
  }
  profiler_tables_copy_names(p, p->kind_names, p->kind_name_lengths, p->kind_count, kind_text, &p->longest_kind_name);
  for (u32 i = 0; i < threads; i++) {
    profiler_profile_thread *t = &p->threads[i];
    *t = profiler_profile_thread{};
    t->event_bytes = profiler_live_event_bytes(&profiler_threads[i]);
    t->kind = profiler_threads[i].kind;
  }
  // The zone names lie in separate literals; copy them one by one behind their lengths.
  for (u32 i = 0; i < profiler_zone_count; i++) p->zone_name_lengths[i] = profiler_zone_names[i].length;
  u8 *out = (u8 *)buffer_push(&p->arena, zone_bytes, 1);
  u32 longest = 0;
  for (u32 i = 0; i < profiler_zone_count; i++) {
    u16 n = profiler_zone_names[i].length;
    memcpy(out, profiler_zone_names[i].text, n);
    p->zone_names[i] = out;
    out += n;
    if (n > longest) longest = n;
  }
  p->longest_zone_name = longest;

  const profiler_state *g = &profiler_global;
  p->qpc_frequency = g->qpc_frequency;
  p->tsc_run = g->tsc_run;
  p->qpc_run = g->qpc_run;
  p->tsc_conversion = profiler_conversion_of_state(g);
  p->tsc_method = g->tsc_method;
  p->qpc_shift = g->qpc_shift;
  p->qpc_bias = g->qpc_bias;
  p->hypervisor_scale = g->hypervisor_scale;
  p->hypervisor_offset = g->hypervisor_offset;
  profiler_tables_finish(p);
}

void profiler_analyze_live(profiler_profile *p, const char *label, u64 label_length, u32 *error) {
  profiler_profile_from_live(p, error);
  if (*error) return;
  // The live calibration can lack what a file must have (a run not yet stopped): the report
  // still needs a frequency to divide by.
  if (p->qpc_frequency == 0) p->qpc_frequency = 1;
  for (u32 i = 0; i < p->thread_count && !*error; i++) {
    profiler_profile_thread *t = &p->threads[i];
    const u8 *events = (const u8 *)profiler_threads[i].events;
    if (!events) events = (const u8 *)&profiler_threads[i];  // no events: any non-null address
    t->root = profiler_tree_build(p, events, t->event_bytes, label, label_length, &t->tree, &t->stats, error);
  }
  if (*error) {
    profiler_profile_free(p);
    return;
  }
  profiler_report_widths(p);
}

void profiler_profile_free(profiler_profile *p) {
  if (p->threads) {
    for (u32 i = 0; i < p->thread_count; i++) {
      memory_free(&p->threads[i].tree);
      profiler_stats_free(&p->threads[i].stats);
    }
  }
  memory_free(&p->arena);
  *p = profiler_profile{};
}
