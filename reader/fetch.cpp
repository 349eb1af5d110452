#include "reader/fetch.h"

// ---- Slots -------------------------------------------------------------------------------

static u32 query_state_load(const query *q) { return __atomic_load_n(&q->state, __ATOMIC_ACQUIRE); }

query *query_find_free(query *slots, u32 count) {
  for (u32 i = 0; i < count; i++) {
    if (query_state_load(&slots[i]) == query_state_free) return &slots[i];
  }
  return nullptr;
}

void query_init(query *slot, buffer url, s32 feed_id, fetch_wake_fn *wake) {
  slot->url = url;
  slot->feed_id = feed_id;
  slot->error = 0;
  slot->result = buffer{};
  slot->wake = wake;
  // Last: from here on the slot belongs to the job.
  __atomic_store_n(&slot->state, (u32)query_state_queued, __ATOMIC_RELEASE);
}

// One whole line "<why>: <url>", so no other worker's text lands inside it, for a request that
// could not be queued or a file that could not be read.
static void fetch_log_refusal(const char *why, buffer url) {
  u8 line[FETCH_URL_AREA_SIZE + 128];
  buffer out = buffer_make(sizeof line, 0, line);
  buffer_push_bytes(&out, why, string_length(why));
  buffer_push_bytes(&out, ": ", 2);
  buffer_push_bytes(&out, url.data, unicode_utf8_cut(url.data, url.used, FETCH_URL_AREA_SIZE));
  buffer_push_bytes(&out, "\n", 1);
  log_append(out.data, out.used);
}

static void fetch_log_too_large(buffer url) {
  u8 text[96];
  buffer why = buffer_make(sizeof text, 0, text);
  buffer head = string_lit("Feed file not read, it is larger than the limit of ");
  buffer_push_bytes(&why, head.data, head.used);
  buffer_push_unsigned(&why, FETCH_DOCUMENT_MAX / MiB(1), 0, ' ', 0);
  buffer_push_bytes(&why, " MiB for a feed document", 25);  // with its terminating zero
  fetch_log_refusal((const char *)text, url);
}

void query_job_fetch(void *argument) {
  query *slot = (query *)argument;
  invariant(query_state_load(slot) == query_state_queued);
  // Everything the job needs is read now: once the state says done, the UI thread may free the
  // slot and fill it again before this function returns.
  buffer url = slot->url;
  fetch_wake_fn *wake = slot->wake;
  u32 error = 0;
  buffer result = {};
  if (string_starts_with(url, string_lit("https://")) || string_starts_with(url, string_lit("http://"))) {
    http_file file = http_file_open(url, &error);
    if (!error) {
      u64 size = file.content.size ? file.content.size : FETCH_UNKNOWN_LENGTH_BUFFER;
      // A refused block leaves the buffer empty; the read then fails with the storage error and
      // still closes the URL.
      file.content.data = memory_alloc(size, nullptr).data;
      file.content.size = file.content.data ? size : 0;
    }
    http_file_get(&file, &error);
    result = file.content.data ? buffer{file.content.size, file.content.used, file.content.data} : buffer{};
  } else {
    result = file_read_all_limited(url, FETCH_DOCUMENT_MAX, &error);
    if (error == file_error_too_large) fetch_log_too_large(url);
  }
  slot->result = result;
  slot->error = error;
  __atomic_store_n(&slot->state, (u32)query_state_done, __ATOMIC_RELEASE);
  if (wake) wake();
}

bool query_pending_for_feed(query *slots, u32 count, s32 feed_id) {
  for (u32 i = 0; i < count; i++) {
    if (query_state_load(&slots[i]) == query_state_queued && slots[i].feed_id == feed_id) return true;
  }
  return false;
}

void query_release(query *slot, allocator *a) {
  invariant(query_state_load(slot) != query_state_queued);
  memory_free(&slot->result);
  if (slot->url.data) allocator_free(a, slot->url.data, slot->url.size);
  slot->url = buffer{};
  slot->feed_id = 0;
  slot->error = 0;
  __atomic_store_n(&slot->state, (u32)query_state_free, __ATOMIC_RELEASE);
}

// ---- Requests ----------------------------------------------------------------------------

// Tab, LF, VT, FF, CR and space.
static buffer fetch_trim(buffer text) {
  u8 *begin = text.data;
  u8 *end = text.data + text.used;
  while (begin < end && char_is_space(*begin)) begin++;
  while (end > begin && char_is_space(end[-1])) end--;
  return string_from_range(begin, end);
}

bool fetch_rewrite_video_site(buffer text, buffer *out) {
  struct page {
    const char *pattern;
    const char *query;
  };
  static const page pages[] = {
      {FETCH_VIDEO_SITE_DOMAIN "/c/", "?user="},
      {FETCH_VIDEO_SITE_DOMAIN "/user/", "?user="},
      {FETCH_VIDEO_SITE_DOMAIN "/channel/", "?channel_id="},
  };
  const u8 *end = text.data + text.used;
  for (const page &p : pages) {
    u64 n = string_length(p.pattern);
    u8 *found = string_find(text.data, end, p.pattern, n);
    if (found == end) continue;
    const u8 *name = found + n;
    const u8 *name_end = name;
    while (name_end < end && *name_end != '/' && *name_end != '?') name_end++;
    // Only the first pattern found counts, whether or not its feed URL fits.
    buffer_mark mark = buffer_mark_begin(out);
    bool ok = buffer_push_bytes(out, "https://", 8) &&
              buffer_push_bytes(out, FETCH_VIDEO_SITE_HOST, string_length(FETCH_VIDEO_SITE_HOST)) &&
              buffer_push_bytes(out, "/feeds/videos.xml", 17) &&
              buffer_push_bytes(out, p.query, string_length(p.query)) &&
              (name_end == name || buffer_push_bytes(out, name, (u64)(name_end - name)));
    if (!ok) {
      buffer_mark_rollback(&mark);
      return false;
    }
    return true;
  }
  return false;
}

void fetch_open_generation(fetch_context *c, reader *r) {
  if (r->generation != c->start_generation) return;
  if (c->new_generation) c->new_generation(r);
  else r->generation += 1;
}

// A feed or a URL already on its way is not fetched twice: pressing "Update all" again must not
// fill the workers with copies of the same downloads. Only the UI thread writes a slot's URL and
// feed id, so reading them here races with nothing.
static bool fetch_already_queued(fetch_context *c, buffer url, s32 feed_id) {
  for (u32 i = 0; i < c->query_count; i++) {
    query *q = &c->queries[i];
    if (query_state_load(q) != query_state_queued) continue;
    if ((feed_id != -1 && q->feed_id == feed_id) || string_equal(q->url, url)) return true;
  }
  return false;
}

// Copies the URL, takes a slot and queues the job; on any refusal nothing is left behind.
static fetch_request_result fetch_queue(fetch_context *c, buffer url, s32 feed_id) {
  if (fetch_already_queued(c, url, feed_id)) return fetch_request_pending;
  query *slot = query_find_free(c->queries, c->query_count);
  if (!slot) {
    fetch_log_refusal("Fetch not queued, every fetch slot is busy", url);
    return fetch_request_refused;
  }
  buffer copy = allocator_alloc(c->url_allocator, url.used + 1);
  if (!copy.data) {
    fetch_log_refusal("Fetch not queued, no memory for the URL", url);
    return fetch_request_refused;
  }
  memory_copy(copy.data, url.data, url.used);
  copy.data[url.used] = 0;
  copy.size = url.used + 1;
  copy.used = url.used;
  query_init(slot, copy, feed_id, c->wake);
  if (!thread_queue_work(c->queue, query_job_fetch, slot)) {
    // The job never ran, so the slot is still the UI thread's to take back.
    __atomic_store_n(&slot->state, (u32)query_state_free, __ATOMIC_RELEASE);
    allocator_free(c->url_allocator, copy.data, copy.size);
    slot->url = buffer{};
    fetch_log_refusal("Fetch not queued, the worker queue is full", url);
    return fetch_request_refused;
  }
  return fetch_request_queued;
}

fetch_request_result app_add_feed(fetch_context *c, reader *r, buffer text) {
  fetch_open_generation(c, r);
  // Whitespace on either side is never part of a URL (list lines and pasted text bring it).
  text = fetch_trim(text);
  if (text.used == 0) return fetch_request_nothing;
  u8 rewritten[FETCH_URL_AREA_SIZE];
  buffer out = buffer_make(sizeof rewritten, 0, rewritten);
  if (fetch_rewrite_video_site(text, &out)) text = out;
  if (text.used == 0) return fetch_request_nothing;
  feed *existing = reader_find_feed_by_url(r, text);
  return fetch_queue(c, text, existing ? (s32)existing->id : -1);
}

// A long list stops at the first refusal; the user must learn how much of it is still to add,
// not only which URL was refused.
static void fetch_log_list_rest(const u8 *line, const u8 *end) {
  u64 lines = 0;
  const u8 *p = line;
  while (p < end) {
    while (p < end && char_is_space(*p)) p++;
    const u8 *start = p;
    while (p < end && *p != '\r' && *p != '\n') p++;
    lines += p > start;
  }
  u8 text[160];
  buffer out = buffer_make(sizeof text, 0, text);
  buffer_push_bytes(&out, "List file: ", 11);
  buffer_push_unsigned(&out, lines, 0, ' ', 0);
  buffer why = string_lit(" lines from the refused one on were not added; add the list again once the downloads are done\n");
  buffer_push_bytes(&out, why.data, why.used);
  log_append(out.data, out.used);
}

u32 app_add_feeds_from_file(fetch_context *c, reader *r, buffer path, u32 *file_error) {
  fetch_open_generation(c, r);
  if (*file_error) return 0;
  buffer content = file_read_all_limited(path, FETCH_LIST_FILE_MAX, file_error);
  if (*file_error == file_error_too_large) {
    fetch_log_refusal("List file not read, it is larger than the limit of 16 MiB for a list file", path);
  }
  if (*file_error) return 0;
  u8 *p = content.data;
  u8 *end = content.data + content.used;
  // A byte-order mark that editors put in front of the first line.
  if (end - p >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) p += 3;
  u32 queued = 0;
  while (p < end) {
    while (p < end && char_is_space(*p)) p++;
    u8 *line = p;
    while (p < end && *p != '\r' && *p != '\n') p++;
    if (p > line) {
      fetch_request_result result = app_add_feed(c, r, string_from_range(line, p));
      if (result == fetch_request_refused) {
        fetch_log_list_rest(line, end);
        break;
      }
      queued += result == fetch_request_queued;
    }
    while (p < end && (*p == '\r' || *p == '\n')) p++;
  }
  file_content_free(&content);
  return queued;
}

static fetch_request_result fetch_update(fetch_context *c, feed *f) {
  invariant(feed_is_live(f));
  if (f->url.used == 0) return fetch_request_nothing;
  return fetch_queue(c, f->url, (s32)f->id);
}

bool app_update_feed(fetch_context *c, reader *, feed *f) { return fetch_update(c, f) == fetch_request_queued; }

u32 app_update_all_feeds(fetch_context *c, reader *r) {
  fetch_open_generation(c, r);
  u32 queued = 0;
  pool_iterator it = pool_iterator_init(&r->feeds, sizeof(feed), feed_is_live);
  while (feed *f = (feed *)pool_iterator_next(&it)) {
    if (feed_is_deleted(f)) continue;
    fetch_request_result result = fetch_update(c, f);
    if (result == fetch_request_refused) break;
    queued += result == fetch_request_queued;
  }
  return queued;
}
