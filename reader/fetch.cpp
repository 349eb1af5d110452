#include "reader/fetch.h"

// ---- Slots -------------------------------------------------------------------------------

static u32 query_state_load(const query *q) { return __atomic_load_n(&q->state, __ATOMIC_ACQUIRE); }

bool fetch_url_is_download(buffer url) {
  return string_starts_with_ignore_case(url, string_lit("https://")) ||
         string_starts_with_ignore_case(url, string_lit("http://"));
}

query *query_find_free(query *slots, u32 count) {
  for (u32 i = 0; i < count; i++) {
    if (query_state_load(&slots[i]) == query_state_free) return &slots[i];
  }
  return nullptr;
}

// Only the UI thread fills slots.
static u64 query_sequence_next;

void query_init(query *slot, buffer url, s32 feed_id, fetch_wake_fn *wake) {
  slot->sequence = ++query_sequence_next;
  slot->url = url;
  slot->feed_id = feed_id;
  slot->error = 0;
  slot->error_reason = 0;
  slot->result = buffer{};
  slot->wake = wake;
  // Last: from here on the slot belongs to the job.
  __atomic_store_n(&slot->state, (u32)query_state_queued, __ATOMIC_RELEASE);
}

// One whole line "<why>: <text>", so no other worker's text lands inside it, for a request that
// could not be queued, a file that could not be read or a list line that was passed over; at
// most shown bytes of the text, cut between characters.
static void fetch_log_refusal_cut(const char *why, buffer text, u64 shown) {
  u8 line[FETCH_URL_AREA_SIZE + 128];
  buffer out = buffer_make(sizeof line, 0, line);
  buffer_push_bytes(&out, why, string_length(why));
  buffer_push_bytes(&out, ": ", 2);
  if (shown > FETCH_URL_AREA_SIZE) shown = FETCH_URL_AREA_SIZE;
  buffer_push_bytes(&out, text.data, unicode_utf8_cut(text.data, text.used, shown));
  buffer_push_bytes(&out, "\n", 1);
  log_append(out.data, out.used);
}

static void fetch_log_refusal(const char *why, buffer url) { fetch_log_refusal_cut(why, url, FETCH_URL_AREA_SIZE); }

// "<what> not read, it is larger than the limit of <limit> for a <kind>: <path>", the limit
// written from its constant.
static void fetch_log_too_large(const char *what, u64 limit, const char *kind, buffer path) {
  u8 text[128];
  buffer why = buffer_make(sizeof text - 1, 0, text);
  buffer_push_bytes(&why, what, string_length(what));
  buffer_push_bytes(&why, " not read, it is larger than the limit of ", 42);
  buffer_push_size(&why, limit);
  buffer_push_bytes(&why, " for a ", 7);
  buffer_push_bytes(&why, kind, string_length(kind));
  text[why.used] = 0;
  fetch_log_refusal((const char *)text, path);
}

void query_job_fetch(void *argument) {
  query *slot = (query *)argument;
  invariant(query_state_load(slot) == query_state_queued);
  // Everything the job needs is read now: once the state says done, the UI thread may free the
  // slot and fill it again before this function returns.
  buffer url = slot->url;
  fetch_wake_fn *wake = slot->wake;
  u32 error = 0, reason = 0;
  buffer result = {};
  arena *reused = nullptr;
  if (fetch_url_is_download(url)) {
    http_file file = http_file_open(url, &error);
    if (!error) {
      u64 size = file.content.size ? file.content.size : FETCH_UNKNOWN_LENGTH_BUFFER;
      reused = fetch_buffer_take();
      if (reused && fetch_buffer_commit(reused, size)) {
        file.content.data = reused->memory.data;
      } else {
        // A refused block leaves the buffer empty; the read then fails with the storage error
        // and still closes the URL.
        file.content.data = memory_alloc(size, nullptr).data;
      }
      file.content.size = file.content.data ? size : 0;
    }
    http_file_get(&file, &error);
    result = file.content.data ? buffer{file.content.size, file.content.used, file.content.data} : buffer{};
  } else {
    reused = fetch_buffer_take();
    result = reused ? file_read_all_into(url, FETCH_DOCUMENT_MAX, reused, &error)
                    : file_read_all_limited(url, FETCH_DOCUMENT_MAX, &error);
    if (error == file_error_too_large) fetch_log_too_large("Feed file", FETCH_DOCUMENT_MAX, "feed document", url);
    // Read here, on the thread that failed: the UI thread that reads the slot has a reason of its own.
    if (error) reason = file_error_reason();
  }
  // A buffer that holds no document goes back at once; one that does returns with the slot.
  if (reused && result.data != reused->memory.data) fetch_buffer_give_back(reused);
  slot->result = result;
  slot->error = error;
  slot->error_reason = reason;
  __atomic_store_n(&slot->state, (u32)query_state_done, __ATOMIC_RELEASE);
  if (wake) wake();
}

bool query_pending_for_feed(query *slots, u32 count, s32 feed_id) {
  for (u32 i = 0; i < count; i++) {
    if (query_state_load(&slots[i]) == query_state_queued && slots[i].feed_id == feed_id) return true;
  }
  return false;
}

u32 query_done_in_order(query *slots, u32 count, u16 *order, bool *pending) {
  invariant(count <= FETCH_QUERY_COUNT);
  // Sequence and slot number in one key: slot numbers fit the low 10 bits, and no run queues
  // 2^54 fetches.
  static_assert(FETCH_QUERY_COUNT <= 1024, "slot numbers fit the key's low bits");
  u64 keys[FETCH_QUERY_COUNT];
  u32 done = 0;
  for (u32 i = 0; i < count; i++) {
    u32 state = query_state_load(&slots[i]);
    *pending |= state == query_state_queued;
    if (state == query_state_done) keys[done++] = slots[i].sequence << 10 | i;
  }
  sort_u64_ascending(keys, done);
  for (u32 k = 0; k < done; k++) order[k] = (u16)(keys[k] & 1023);
  return done;
}

void query_release(query *slot, allocator *a) {
  invariant(query_state_load(slot) != query_state_queued);
  fetch_document_free(&slot->result);
  if (slot->url.data) allocator_free(a, slot->url.data, slot->url.size);
  slot->url = buffer{};
  slot->feed_id = 0;
  slot->error = 0;
  slot->error_reason = 0;
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

// The queued slots by URL and by feed, and the first slot that may be free, for a run of requests
// (a list file, "Update all"): slots are queued and freed only on the UI thread, so none frees
// during the run, and each request looks at a few slots instead of all 1,024 of them.
struct fetch_slot_index {
  u16 by_url[2 * FETCH_QUERY_COUNT];  // slot number + 1; 0 is an empty place
  u16 by_feed[2 * FETCH_QUERY_COUNT];
  u32 free_from;  // no slot below it is free
};
static_assert(FETCH_QUERY_COUNT < 0xFFFF, "slot numbers fit the index");

static fetch_slot_index fetch_run_index;  // the UI thread's, for one run at a time

#define FETCH_INDEX_MASK (2 * FETCH_QUERY_COUNT - 1)

static u32 fetch_url_hash(buffer url) { return hash_fnv1a_32(url.data, url.used); }
static u32 fetch_feed_hash(s32 feed_id) { return hash_fnv1a_32(&feed_id, sizeof feed_id); }

// Each slot is added at most once, so the places never fill.
static void fetch_index_add(fetch_slot_index *x, fetch_context *c, u32 number) {
  query *q = &c->queries[number];
  u32 i = fetch_url_hash(q->url) & FETCH_INDEX_MASK;
  while (x->by_url[i]) i = (i + 1) & FETCH_INDEX_MASK;
  x->by_url[i] = (u16)(number + 1);
  if (q->feed_id == -1) return;
  i = fetch_feed_hash(q->feed_id) & FETCH_INDEX_MASK;
  while (x->by_feed[i]) i = (i + 1) & FETCH_INDEX_MASK;
  x->by_feed[i] = (u16)(number + 1);
}

static void fetch_index_begin(fetch_slot_index *x, fetch_context *c) {
  memory_zero(x, sizeof *x);
  invariant(c->query_count <= FETCH_QUERY_COUNT);
  for (u32 i = 0; i < c->query_count; i++) {
    WORK_COUNT(c->slots_examined, 1);
    if (query_state_load(&c->queries[i]) == query_state_queued) fetch_index_add(x, c, i);
  }
}

// A feed or a URL already on its way is not fetched twice: pressing "Update all" again must not
// fill the workers with copies of the same downloads. Only the UI thread writes a slot's URL and
// feed id, so reading them here races with nothing. A slot whose job has ended since it was
// indexed is no longer on its way.
static bool fetch_already_queued(fetch_context *c, buffer url, s32 feed_id, const fetch_slot_index *x) {
  auto queued = [&](const query *q) {
    WORK_COUNT(c->slots_examined, 1);
    return query_state_load(q) == query_state_queued;
  };
  if (!x) {
    for (u32 i = 0; i < c->query_count; i++) {
      query *q = &c->queries[i];
      if (queued(q) && ((feed_id != -1 && q->feed_id == feed_id) || string_equal(q->url, url))) return true;
    }
    return false;
  }
  for (u32 i = fetch_url_hash(url) & FETCH_INDEX_MASK; x->by_url[i]; i = (i + 1) & FETCH_INDEX_MASK) {
    query *q = &c->queries[x->by_url[i] - 1];
    if (queued(q) && string_equal(q->url, url)) return true;
  }
  if (feed_id == -1) return false;
  for (u32 i = fetch_feed_hash(feed_id) & FETCH_INDEX_MASK; x->by_feed[i]; i = (i + 1) & FETCH_INDEX_MASK) {
    query *q = &c->queries[x->by_feed[i] - 1];
    if (queued(q) && q->feed_id == feed_id) return true;
  }
  return false;
}

// Copies the URL, takes a slot and queues the job; on any refusal nothing is left behind.
static fetch_request_result fetch_queue(fetch_context *c, buffer url, s32 feed_id, fetch_slot_index *x) {
  if (fetch_already_queued(c, url, feed_id, x)) return fetch_request_pending;
  u32 from = x ? x->free_from : 0;
  query *slot = query_find_free(c->queries + from, c->query_count - from);
  u32 at = slot ? (u32)(slot - c->queries) : c->query_count;
  WORK_COUNT(c->slots_examined, at + (slot ? 1 : 0) - from);
  if (x) x->free_from = at;
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
  if (x) fetch_index_add(x, c, at);
  return fetch_request_queued;
}

static fetch_request_result fetch_add_text(fetch_context *c, reader *r, buffer text, fetch_slot_index *x) {
  fetch_open_generation(c, r);
  // Whitespace on either side is never part of a URL (list lines and pasted text bring it).
  text = fetch_trim(text);
  if (text.used == 0) return fetch_request_nothing;
  u8 rewritten[FETCH_URL_AREA_SIZE];
  buffer out = buffer_make(sizeof rewritten, 0, rewritten);
  if (fetch_rewrite_video_site(text, &out)) text = out;
  if (text.used == 0) return fetch_request_nothing;
  feed *existing = reader_find_feed_by_url(r, text);
  return fetch_queue(c, text, existing ? (s32)existing->id : -1, x);
}

fetch_request_result app_add_feed(fetch_context *c, reader *r, buffer text) {
  return fetch_add_text(c, r, text, nullptr);
}

// ---- List files --------------------------------------------------------------------------

// A list's lines are counted from 1; a line ends at LF, CR LF or a lone CR.
static u64 fetch_line_ends(const u8 *p, const u8 *end) {
  u64 n = 0;
  for (; p < end; p++) n += *p == '\n' || (*p == '\r' && (p + 1 == end || p[1] != '\n'));
  return n;
}

// A line that no address can be: a control character inside it, or bytes that are not UTF-8 (a
// wrong file chosen, a binary one). Such a line is not fetched as a path.
static bool fetch_list_line_is_text(buffer line) {
  const u8 *p = line.data, *end = line.data + line.used;
  while (p < end) {
    if (*p < 0x20 || *p == 0x7F) return false;
    u8 step = unicode_utf8_step(p, end);
    u32 c = 0, error = 0;
    u8 length = 0;
    unicode_utf8_decode(p, end, &c, &length, &error);
    if (error || length != step) return false;
    p += step;
  }
  return true;
}

// Refused lines of one list: the first ones one by one, then only their number, so a wrong file
// neither floods the log nor hides what was wrong with it.
#define FETCH_LIST_REFUSALS_SHOWN 20
#define FETCH_LIST_LINE_SHOWN 200

static void fetch_log_refused_line(u64 number, buffer line) {
  u8 text[96];
  buffer why = buffer_make(sizeof text, 0, text);
  buffer head = string_lit("List file: line "), tail = string_lit(" not added, it holds bytes that no address has");
  buffer_push_bytes(&why, head.data, head.used);
  buffer_push_unsigned(&why, number, 0, ' ', 0);
  buffer_push_bytes(&why, tail.data, tail.used);
  buffer_push_bytes(&why, "", 1);  // its terminating zero
  fetch_log_refusal_cut((const char *)text, line, FETCH_LIST_LINE_SHOWN);
}

// "List file: " and the count, then the rest of the line.
static void fetch_log_list_count(u64 count, buffer rest) {
  u8 text[160];
  buffer out = buffer_make(sizeof text, 0, text);
  buffer head = string_lit("List file: ");
  buffer_push_bytes(&out, head.data, head.used);
  buffer_push_unsigned(&out, count, 0, ' ', 0);
  buffer_push_bytes(&out, rest.data, rest.used);
  log_append(out.data, out.used);
}

// A long list stops at the first refusal; the user must learn how much of it is still to add,
// not only which URL was refused.
// The next line of a list from *p, the white space before it (empty lines too) passed over; *p
// is left at its line end.
static buffer fetch_list_line(const u8 **p, const u8 *end) {
  const u8 *q = *p;
  while (q < end && char_is_space(*q)) q++;
  const u8 *line = q;
  while (q < end && *q != '\r' && *q != '\n') q++;
  *p = q;
  return string_from_range((u8 *)line, (u8 *)q);
}

static void fetch_log_list_rest(const u8 *line, const u8 *end) {
  u64 lines = 0;
  for (const u8 *p = line; p < end;) lines += fetch_list_line(&p, end).used > 0;
  fetch_log_list_count(lines, string_lit(" lines from the refused one on were not added; add the list again once the "
                                         "downloads are done\n"));
}

// A file most of whose lines no address can be is no list of addresses (a binary file chosen by
// mistake, or one in UTF-16): it is refused whole with one line naming it, rather than having
// its chance fragments fetched as paths and the rest logged line by line.
static bool fetch_list_is_text(buffer path, const u8 *p, const u8 *end) {
  u64 lines = 0, not_text = 0;
  while (p < end) {
    buffer text = fetch_trim(fetch_list_line(&p, end));
    if (!text.used) continue;
    lines++;
    not_text += !fetch_list_line_is_text(text);
  }
  if (not_text * 2 <= lines) return true;
  u8 bytes[192];
  buffer why = buffer_make(sizeof bytes - 1, 0, bytes);
  buffer head = string_lit("List file not read, it is not text: "), middle = string_lit(" of its "),
         tail = string_lit(" lines hold control characters (such as NUL) or bytes that are not UTF-8");
  buffer_push_bytes(&why, head.data, head.used);
  buffer_push_unsigned(&why, not_text, 0, ' ', 0);
  buffer_push_bytes(&why, middle.data, middle.used);
  buffer_push_unsigned(&why, lines, 0, ' ', 0);
  buffer_push_bytes(&why, tail.data, tail.used);
  bytes[why.used] = 0;
  fetch_log_refusal((const char *)bytes, path);
  return false;
}

u32 app_add_feeds_from_file(fetch_context *c, reader *r, buffer path, u32 *file_error) {
  fetch_open_generation(c, r);
  if (*file_error) return 0;
  buffer content = file_read_all_limited(path, FETCH_LIST_FILE_MAX, file_error);
  if (*file_error == file_error_too_large) {
    fetch_log_too_large("List file", FETCH_LIST_FILE_MAX, "list file", path);
  }
  if (*file_error) return 0;
  const u8 *p = content.data;
  const u8 *end = content.data + content.used;
  // A byte-order mark that editors put in front of the first line.
  if (end - p >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) p += 3;
  if (!fetch_list_is_text(path, p, end)) {
    file_content_free(&content);
    return 0;
  }
  fetch_index_begin(&fetch_run_index, c);
  u32 queued = 0;
  u64 number = 1, refused = 0;
  while (p < end) {
    const u8 *skipped = p;
    buffer line = fetch_list_line(&p, end);
    number += fetch_line_ends(skipped, line.data);
    buffer text = fetch_trim(line);
    if (text.used && !fetch_list_line_is_text(text)) {
      if (++refused <= FETCH_LIST_REFUSALS_SHOWN) fetch_log_refused_line(number, text);
    } else if (text.used) {
      fetch_request_result result = fetch_add_text(c, r, text, &fetch_run_index);
      if (result == fetch_request_refused) {
        fetch_log_list_rest(line.data, end);
        break;
      }
      queued += result == fetch_request_queued;
    }
    skipped = p;
    while (p < end && (*p == '\r' || *p == '\n')) p++;
    number += fetch_line_ends(skipped, p);
  }
  if (refused > FETCH_LIST_REFUSALS_SHOWN) {
    fetch_log_list_count(refused, string_lit(" lines not added in all, as they hold bytes that no address has; the "
                                             "first 20 are listed above\n"));
  }
  file_content_free(&content);
  return queued;
}

static fetch_request_result fetch_update(fetch_context *c, feed *f, fetch_slot_index *x) {
  invariant(feed_is_live(f));
  if (f->url.used == 0) return fetch_request_nothing;
  return fetch_queue(c, f->url, (s32)f->id, x);
}

bool app_update_feed(fetch_context *c, reader *, feed *f) {
  return fetch_update(c, f, nullptr) == fetch_request_queued;
}

u32 app_update_all_feeds(fetch_context *c, reader *r) {
  fetch_open_generation(c, r);
  u32 queued = 0;
  fetch_index_begin(&fetch_run_index, c);
  pool_iterator it = pool_iterator_init(&r->feeds, sizeof(feed), feed_is_live);
  while (feed *f = (feed *)pool_iterator_next(&it)) {
    if (feed_is_deleted(f)) continue;
    fetch_request_result result = fetch_update(c, f, &fetch_run_index);
    if (result == fetch_request_refused) break;
    queued += result == fetch_request_queued;
  }
  return queued;
}
