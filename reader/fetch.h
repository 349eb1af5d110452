// Fetch requests and the fetch job. Every document the store parses arrives through a fetch slot:
// a request (add a feed by URL, add every URL of a list file, update one feed, update all feeds)
// opens a new generation on the first request of a run, takes a free slot, fills it with the URL
// and the target feed and queues a job on the worker queue. The job downloads the document, or
// reads it from disk when the URL is neither http:// nor https://, stores bytes and error in the
// slot, marks it done and wakes the UI thread. The program entry hands done slots to the parser.
#pragma once

#include "core/core.h"
#include "platform/platform.h"
#include "reader/reader.h"

// ---- Types -------------------------------------------------------------------------------

enum query_state : u32 {
  query_state_free = 0,
  query_state_queued = 1,  // owned by the worker
  query_state_done = 2,    // owned by the UI thread
};

// Ends a waiting message pump; any thread may call it. The application installs its window's.
typedef void fetch_wake_fn();

// The fetch slot. The state word is the only hand-over between the threads: the worker writes
// result, error and its reason, then the state (release); the UI thread reads the state (acquire)
// before the other fields.
struct query {
  u32 state;      // query_state
  buffer url;     // a NUL-terminated copy in the general allocator: size = length + 1, used = length
  s32 feed_id;    // the feed to update, -1 for a new feed
  u32 error;      // an http_error for a download, a file_error for a local file; 0 on success
  u32 error_reason;  // what the system said for a local file's error (an errno value), else 0
  buffer result;  // the document in its used bytes: a document buffer or a block from the system (fetch_document_free)
  fetch_wake_fn *wake;  // called when the job is done; may be null
  u64 sequence;   // raised by every query_init: done slots are parsed in the order they were queued
};

#define FETCH_QUERY_COUNT 1024
// A download whose server announces no length (chunked bodies, most large podcast feeds, every
// compressed body) gets room for the largest document. The room is mapped, not touched: only the
// pages the body fills cost memory.
#define FETCH_UNKNOWN_LENGTH_BUFFER HTTP_BODY_MAX
#define FETCH_URL_AREA_SIZE 4096
// The largest document a fetch hands to the parser, downloaded or read from disk: a local file
// above it is refused unread, with a log line naming the limit.
#define FETCH_DOCUMENT_MAX HTTP_BODY_MAX
// A list file is read on the UI thread: a far larger one (a wrong file chosen) is refused unread,
// with a log line naming the limit. A mebibyte already holds some 10,000 lines of URLs.
#define FETCH_LIST_FILE_MAX MiB(16)

// Document buffers: the jobs read into at most this many reused buffers at a time...
#define FETCH_BUFFER_COUNT 12
// ...each keeping up to this many committed bytes from one document to the next...
#define FETCH_BUFFER_KEEP MiB(8)
// ...and a job that finds every buffer out waits this long for one before it reads into memory
// of its own.
#define FETCH_BUFFER_WAIT_MS 2000

// Opens the generation of the run's first request; the application installs one that also moves
// its view to the new generation. Without one the store's generation just goes up by one.
typedef void fetch_generation_fn(reader *r);

// What the requests need from the application: the slots, the start generation, the general
// allocator for URL copies, the worker queue and the wake-up.
struct fetch_context {
  query *queries;
  u32 query_count;
  u32 start_generation;  // the store's generation right after loading
  allocator *url_allocator;  // the general allocator: URL copies live there
  thread_queue *queue;
  fetch_wake_fn *wake;
  fetch_generation_fn *new_generation;
#if QM_TEST_HOOKS
  u64 slots_examined;  // slots looked at by the requests so far: work that tests count
#endif
};

// The video site whose channel pages are rewritten to its feed endpoint.
#define FETCH_VIDEO_SITE_DOMAIN "youtube.com"
#define FETCH_VIDEO_SITE_HOST "www.youtube.com"

// ---- Slots -------------------------------------------------------------------------------

// Whether a fetch downloads the URL: it begins with "http://" or "https://", the scheme in any
// case ("HTTP://", "Https://"). Anything else is read as a local file.
bool fetch_url_is_download(buffer url);

// The first free slot, or null.
query *query_find_free(query *slots, u32 count);
// Stores url, feed id, a zero error and reason, an empty result and the wake-up, and the queued
// state last.
void query_init(query *slot, buffer url, s32 feed_id, fetch_wake_fn *wake);
// The worker job; the slot must be queued.
void query_job_fetch(void *slot);
// Whether a queued slot targets the feed.
bool query_pending_for_feed(query *slots, u32 count, s32 feed_id);
// The numbers of the done slots into order (room for count), in the order their fetches were
// queued, whatever slots they took: a feed fetched twice has its older document parsed first.
// Their count; pending is set when a slot is queued.
u32 query_done_in_order(query *slots, u32 count, u16 *order, bool *pending);
// UI thread, done slot: gives back the result and the URL copy and frees the slot.
void query_release(query *slot, allocator *a);

// ---- Document buffers (any thread) -------------------------------------------------------

// A free document buffer: an arena of FETCH_DOCUMENT_MAX bytes whose committed bytes are the
// pages it kept. While all are out it waits for a return (at most FETCH_BUFFER_WAIT_MS,
// and not once downloads are abandoned); null when none came or the pool could not be reserved.
arena *fetch_buffer_take();
// Grows the buffer's committed start to size bytes; false when they do not fit or the system
// refuses.
bool fetch_buffer_commit(arena *b, u64 size);
// Returns a buffer that holds no document; its pages above FETCH_BUFFER_KEEP are given back.
void fetch_buffer_give_back(arena *b);
// Releases a document of a done slot: its buffer returns to the pool, a block of its own is
// given back to the system. The record is zeroed.
void fetch_document_free(buffer *document);
// Gives back every committed page of the buffers not out; the UI thread calls it once no fetch
// is queued or done.
void fetch_buffers_release();
#if QM_TEST_HOOKS
// How long a take waits while every buffer is out, FETCH_BUFFER_WAIT_MS unless a test sets it.
void fetch_buffers_set_wait(u32 ms);

struct fetch_buffer_counts {
  u64 takes;       // buffers handed out
  u64 waits;       // takes that found every buffer out
  u64 own_blocks;  // takes that gave up waiting: the job read into memory of its own
  u32 waiting;     // jobs waiting now
  u32 out;         // buffers held now
  u64 kept;        // bytes the buffers not out keep committed now
};
fetch_buffer_counts fetch_buffers_counts();
#endif

// ---- Requests (UI thread) ----------------------------------------------------------------

enum fetch_request_result : u32 {
  fetch_request_queued = 0,
  fetch_request_nothing = 1,  // the text holds no URL
  fetch_request_refused = 2,  // no free slot, a full worker queue or no memory: logged, nothing kept
  fetch_request_pending = 3,  // the feed or the URL is already queued: nothing more is queued
};

// The feed URL for a channel page of the video site, written into out; false when the text holds
// no such page (or the feed URL does not fit out).
bool fetch_rewrite_video_site(buffer text, buffer *out);
// Opens the run's generation when the store is still at the start generation.
void fetch_open_generation(fetch_context *c, reader *r);

fetch_request_result app_add_feed(fetch_context *c, reader *r, buffer text);
// One request per non-empty line of a list file, read through the UI thread's shared file error
// word; stops at the first request that is refused. A line with a control character or bytes that
// are not UTF-8 is no address: it is passed over, and logged with its number (the first 20 of a
// list, then how many there were). A file in which most lines are no address (a binary file, or
// one in UTF-16) is not a list: nothing of it is added, and one log line names it and says why.
// Returns the number of requests queued.
u32 app_add_feeds_from_file(fetch_context *c, reader *r, buffer path, u32 *file_error);
// A request for a live feed's URL; whether the job was queued (not when one is already queued for
// the feed). Opens no generation.
bool app_update_feed(fetch_context *c, reader *r, feed *f);
// Opens the generation, then requests every live feed not marked deleted and not already queued,
// stopping at the first refusal. Returns the number queued.
u32 app_update_all_feeds(fetch_context *c, reader *r);
