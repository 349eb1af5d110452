#include "platform/http.h"

#include "core/strings.h"
#include "platform/log.h"
#include "profiler/profiler.h"

#include <curl/curl.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

// ---- Errors ------------------------------------------------------------------------------

static const char *const http_error_names[HTTP_ERROR_CODE_COUNT] = {
    "http_error_none",
    "http_error_internet_open",
    "http_error_internet_close",
    "http_error_not_initialized",
    "http_error_file_not_opened",
    "http_error_internet_open_url",
    "http_error_internet_read_file",
    "http_error_internet_close_url",
    "http_error_not_enough_storage",
    "http_error_file_storage_not_initialized",
    "http_error_uri_is_not_zero_terminated",
};

const char *http_error_name(u32 code) {
  return code < HTTP_ERROR_CODE_COUNT ? http_error_names[code] : "http_error_unknown";
}

// ---- Session and options -----------------------------------------------------------------

// A server that trickles or stalls would otherwise hold a worker, and so the exit and the save
// behind it, for as long as the transfer's timeouts allow (minutes).
static std::atomic<u32> http_abandoning;

// Written on the UI thread only before the workers start and after they stop, so the workers
// read it without a lock.
static struct {
  u32 open;
  char agent[HTTP_TEXT_AREA_SIZE];
  http_options options;
  u32 options_set;
  u32 decodable;  // http_coding bits of the compressions this libcurl undoes
} http_session;

http_options http_options_default() {
  http_options o;
  o.connect_timeout_ms = 30000;
  o.low_speed_bytes = 16;
  o.low_speed_seconds = 30;
  o.total_timeout_ms = 10 * 60 * 1000;
  o.max_redirects = 10;
  return o;
}

#if QM_TEST_HOOKS
void http_options_set(http_options options) {
  http_session.options = options;
  http_session.options_set = 1;
}
#endif

http_options http_options_get() {
  return http_session.options_set ? http_session.options : http_options_default();
}

// Copies a text with its terminating zero into a fixed area; false when it does not fit or holds
// a zero byte (the system would see only a part of it).
static bool http_text_to_area(buffer text, char *area, u64 area_size) {
  if (text.used + 1 > area_size) return false;
  if (text.used && memchr(text.data, 0, text.used)) return false;
  if (text.used) memcpy(area, text.data, text.used);
  area[text.used] = 0;
  return true;
}

// The content codings a response may name, as bits. Only those that compress matter: servers
// also send bogus values ("utf-8") with plain bodies, and those documents parse.
enum http_coding : u32 {
  http_coding_gzip = 0x1,      // "gzip" and "x-gzip"
  http_coding_deflate = 0x2,
  http_coding_brotli = 0x4,    // "br"
  http_coding_zstd = 0x8,
  http_coding_compress = 0x10, // "compress" and "x-compress" (LZW), which libcurl never undoes
  http_coding_compressing = 0x1F,
  http_coding_unknown = 0x20,  // a name that is neither a compression nor "identity" or "none"
};

void http_init(buffer user_agent, u32 *error) {
  if (*error || http_session.open) return;
  if (!http_text_to_area(user_agent, http_session.agent, sizeof http_session.agent) ||
      curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    *error = http_error_internet_open;
    return;
  }
  // What this build of libcurl can undo is what the requests offer in Accept-Encoding.
  const curl_version_info_data *v = curl_version_info(CURLVERSION_NOW);
  u32 decodable = 0;
  if (v && (v->features & CURL_VERSION_LIBZ)) decodable |= http_coding_gzip | http_coding_deflate;
  if (v && (v->features & CURL_VERSION_BROTLI)) decodable |= http_coding_brotli;
  if (v && (v->features & CURL_VERSION_ZSTD)) decodable |= http_coding_zstd;
  http_session.decodable = decodable;
  http_session.open = 1;
}

void http_terminate(u32 *) {
  if (!http_session.open) return;
  curl_global_cleanup();
  http_session.open = 0;
  // What was set for this session ends with it: a later session downloads again, under the
  // default options.
  http_session.options_set = 0;
  http_abandoning.store(0, std::memory_order_release);
}

// ---- Abandoning at quit ------------------------------------------------------------------

void http_abandon_all() { http_abandoning.store(1, std::memory_order_release); }
#if QM_TEST_HOOKS
void http_abandon_clear() { http_abandoning.store(0, std::memory_order_release); }
#endif
bool http_abandoned() { return http_abandoning.load(std::memory_order_acquire) != 0; }

// libcurl calls it often while data moves and about once a second while none does; a non-zero
// answer ends the transfer with CURLE_ABORTED_BY_CALLBACK.
static int http_on_progress(void *, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return http_abandoned() ? 1 : 0;
}

// ---- Transfers ---------------------------------------------------------------------------

// One download, from the open to the end of the read. It lives on the heap because the callbacks
// hold its address while the http_file that names it is copied by value.
struct http_transfer {
  CURL *easy;
  CURLM *multi;
  // The final response's Content-Length: -1 while absent or not a plain non-negative number,
  // INT64_MAX when too large to hold.
  s64 announced;
  u32 block_status;   // the status of the header block being read
  u32 head_complete;  // a successful response's whole header has come: the URL is open
  u32 receiving;  // 0 during the open: the first body byte pauses the transfer there
  u32 paused;
  u32 done;
  u32 overflow;   // a byte arrived past the caller's buffer
  u32 codings;    // http_coding bits the final response's Content-Encoding names
  u32 decoding;   // libcurl undoes the body's codings (off for a response it cannot undo)
  CURLcode result;
  u8 *data;
  u64 size;
  u64 used;
  char url[HTTP_TEXT_AREA_SIZE];
  char error_text[CURL_ERROR_SIZE];
};

static u32 http_coding_of(const u8 *token, const u8 *end) {
  static const struct {
    const char *name;
    u32 coding;
  } names[] = {
      {"gzip", http_coding_gzip},         {"x-gzip", http_coding_gzip},     {"deflate", http_coding_deflate},
      {"br", http_coding_brotli},         {"zstd", http_coding_zstd},       {"compress", http_coding_compress},
      {"x-compress", http_coding_compress}, {"identity", 0},              {"none", 0},
  };
  u64 n = (u64)(end - token);
  for (const auto &c : names) {
    if (n == strlen(c.name) && string_starts_with_ignore_case_bytes(token, end, c.name, n)) return c.coding;
  }
  return http_coding_unknown;
}

// Every response of a redirect chain brings its own header block, which starts with the status
// line; only the last block's length counts.
static size_t http_on_header(char *line, size_t size, size_t count, void *user) {
  http_transfer *t = (http_transfer *)user;
  u64 n = (u64)size * count;
  const u8 *p = (const u8 *)line;
  const u8 *end = p + n;
  static const char status_prefix[] = "HTTP/";
  static const char length_name[] = "content-length:";
  static const char encoding_name[] = "content-encoding:";
  if (string_starts_with_bytes(p, end, status_prefix, sizeof status_prefix - 1)) {
    t->announced = -1;
    t->head_complete = 0;
    t->codings = 0;
    // "HTTP/1.1 200 OK" or "HTTP/2 200": the three digits after the first blank.
    while (p < end && *p != ' ') p++;
    while (p < end && *p == ' ') p++;
    u32 status = 0;
    for (u32 i = 0; i < 3 && p < end && char_is_digit(*p); i++, p++) status = status * 10 + char_digit_value(*p);
    t->block_status = status;
  } else if (n <= 2 && (n == 0 || p[0] == '\r' || p[0] == '\n')) {
    // The blank line that ends a block. A redirect is followed and a failing status fails the
    // open; after a successful one, whatever goes wrong belongs to the read.
    if (t->block_status >= 200 && t->block_status < 300) t->head_complete = 1;
  } else if (string_starts_with_ignore_case_bytes(p, end, encoding_name, sizeof encoding_name - 1)) {
    // A list, possibly over several lines, applied in order; libcurl undoes them in reverse.
    p += sizeof encoding_name - 1;
    while (p < end) {
      while (p < end && (*p == ',' || char_is_space(*p))) p++;
      const u8 *token = p;
      while (p < end && *p != ',' && !char_is_space(*p)) p++;
      if (p > token) t->codings |= http_coding_of(token, p);
    }
  } else if (string_starts_with_ignore_case_bytes(p, end, length_name, sizeof length_name - 1)) {
    p += sizeof length_name - 1;
    while (p < end && (*p == ' ' || *p == '\t')) p++;
    u64 value = 0;
    const u8 *digits = p;
    bool huge = false;
    while (p < end && char_is_digit(*p)) {
      u64 d = char_digit_value(*p);
      if (value > (INT64_MAX - d) / 10) huge = true;
      else value = value * 10 + d;
      p++;
    }
    bool plain = p > digits;
    while (p < end && char_is_space(*p)) p++;
    // A sign, other characters or no digits at all: the length is not known.
    if (!plain || p != end) t->announced = -1;
    else t->announced = huge ? INT64_MAX : (s64)value;
  }
  return n;
}

static size_t http_on_body(char *bytes, size_t size, size_t count, void *user) {
  http_transfer *t = (http_transfer *)user;
  u64 n = (u64)size * count;
  if (!t->receiving) {
    // The open ends here: the header is complete and nothing is stored before the caller has
    // given its buffer. The same bytes come again once the transfer goes on.
    t->paused = 1;
    return CURL_WRITEFUNC_PAUSE;
  }
  u64 room = t->size - t->used;
  u64 take = n < room ? n : room;
  if (take) memcpy(t->data + t->used, bytes, take);
  t->used += take;
  if (n > room) {
    // The first byte past the buffer ends the transfer: an endless body must not keep a worker.
    t->overflow = 1;
    return 0;
  }
  return n;
}

// Runs the transfer until it ends or, during the open, until the first body byte.
static void http_drive(http_transfer *t) {
  while (!t->done && !(t->paused && !t->receiving)) {
    // Also checked here: a transfer between two progress calls ends within one poll.
    if (http_abandoned()) {
      t->done = 1;
      t->result = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    int running = 0;
    if (curl_multi_perform(t->multi, &running) != CURLM_OK) {
      t->done = 1;
      t->result = CURLE_FAILED_INIT;
      break;
    }
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(t->multi, &left)) {
      if (message->msg == CURLMSG_DONE) {
        t->done = 1;
        t->result = message->data.result;
      }
    }
    if (t->done || (t->paused && !t->receiving)) break;
    curl_multi_poll(t->multi, nullptr, 0, 100, nullptr);
  }
}

static void http_transfer_end(http_transfer *t) {
  if (t->multi && t->easy) curl_multi_remove_handle(t->multi, t->easy);
  if (t->easy) curl_easy_cleanup(t->easy);
  if (t->multi) curl_multi_cleanup(t->multi);
  t->easy = nullptr;
  t->multi = nullptr;
}

static void http_transfer_close(http_transfer *t) {
  if (!t) return;
  http_transfer_end(t);
  free(t);
}

// Back to the state before the first request, keeping the URL, with nothing undone this time.
static void http_transfer_reset(http_transfer *t) {
  http_transfer_end(t);
  char url[HTTP_TEXT_AREA_SIZE];
  memcpy(url, t->url, sizeof url);
  memset(t, 0, sizeof *t);
  memcpy(t->url, url, sizeof url);
  t->announced = -1;
  t->decoding = 0;
}

// One whole line "http_get_file error: <url> returned (<code>) <name>: <detail>", appended in
// one step so no other worker's text lands inside it.
static void http_log_failure(const char *url, u32 code, const char *detail) {
  char line[HTTP_TEXT_AREA_SIZE + CURL_ERROR_SIZE + 160];
  buffer out = buffer_make(sizeof line, 0, line);
  auto put = [&](const char *text) { buffer_push_bytes(&out, text, strlen(text)); };
  put("http_get_file error: ");
  put(url);
  put(" returned (");
  buffer_push_unsigned(&out, code, 0, ' ', 0);
  put(") ");
  put(http_error_name(code));
  if (detail && detail[0]) {
    put(": ");
    u64 n = strlen(detail);
    while (n && (detail[n - 1] == '\n' || detail[n - 1] == '\r')) n--;
    buffer_push_bytes(&out, detail, n);
  }
  put("\n");
  log_append(out.data, out.used);
}

static void http_log_curl_failure(http_transfer *t, u32 code, u32 status) {
  char detail[CURL_ERROR_SIZE + 64];
  if (t->result == CURLE_HTTP_RETURNED_ERROR && status) {
    snprintf(detail, sizeof detail, "HTTP status %u", status);
  } else if (t->result == CURLE_ABORTED_BY_CALLBACK) {
    snprintf(detail, sizeof detail, "abandoned, the program is quitting");
  } else if (t->result == CURLE_OUT_OF_MEMORY && !t->head_complete) {
    // libcurl refuses a header line above its 100 KB limit with this code; a hostile or broken
    // server is then far likelier than a full memory.
    snprintf(detail, sizeof detail, "the response's header could not be taken: a header line is longer than 100 KB, or no memory");
  } else {
    snprintf(detail, sizeof detail, "%s", t->error_text[0] ? t->error_text : curl_easy_strerror(t->result));
  }
  http_log_failure(t->url, code, detail);
}

static bool http_transfer_setup(http_transfer *t) {
  t->easy = curl_easy_init();
  t->multi = curl_multi_init();
  if (!t->easy || !t->multi) return false;
  http_options o = http_options_get();
  CURL *e = t->easy;
  bool ok = true;
  auto set = [&](CURLcode c) { ok = ok && c == CURLE_OK; };
  set(curl_easy_setopt(e, CURLOPT_URL, t->url));
  set(curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->error_text));
  set(curl_easy_setopt(e, CURLOPT_USERAGENT, http_session.agent));
  set(curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L));
  set(curl_easy_setopt(e, CURLOPT_MAXREDIRS, (long)o.max_redirects));
  set(curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, (long)o.connect_timeout_ms));
  set(curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, (long)o.low_speed_bytes));
  set(curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, (long)o.low_speed_seconds));
  set(curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, (long)o.total_timeout_ms));
  // Connections go straight to the server, whatever proxy the environment names.
  set(curl_easy_setopt(e, CURLOPT_PROXY, ""));
  if (t->decoding) {
    // "" offers every coding this libcurl undoes, and the body arrives undone.
    set(curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, ""));
  } else {
    set(curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L));
  }
  set(curl_easy_setopt(e, CURLOPT_FAILONERROR, 1L));
  set(curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, http_on_header));
  set(curl_easy_setopt(e, CURLOPT_HEADERDATA, t));
  set(curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, http_on_body));
  set(curl_easy_setopt(e, CURLOPT_WRITEDATA, t));
  set(curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, http_on_progress));
  set(curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L));
  return ok && curl_multi_add_handle(t->multi, e) == CURLM_OK;
}

// Sets the transfer up and runs it to the end of the header; on failure it is logged and closed.
static bool http_transfer_start(http_transfer *t, u32 *error) {
  if (!http_transfer_setup(t)) {
    *error = http_error_internet_open_url;
    http_log_failure(t->url, *error, "the transfer could not be set up");
    http_transfer_close(t);
    return false;
  }
  http_drive(t);
  return true;
}

// The compressions this transfer undoes.
static u32 http_transfer_undoes(const http_transfer *t) { return t->decoding ? http_session.decodable : 0; }

http_file http_file_open(buffer url, u32 *error) {
  PROFILE_ZONE(zone_http_file_open);
  http_file file = {};
  if (*error) return file;
  if (!http_session.open) {
    *error = http_error_not_initialized;
    return file;
  }
  if (http_abandoned()) {
    // Quitting: no new connection is made.
    *error = http_error_internet_open_url;
    return file;
  }
  http_transfer *t = (http_transfer *)calloc(1, sizeof(http_transfer));
  if (!t) {
    *error = http_error_internet_open_url;
    return file;
  }
  t->announced = -1;
  t->decoding = 1;
  if (!http_text_to_area(url, t->url, sizeof t->url)) {
    // Never go on with a part of the URL.
    *error = http_error_internet_open_url;
    http_log_failure("(URL too long or holding a zero byte)", *error, nullptr);
    free(t);
    return file;
  }
  if (!http_transfer_start(t, error)) return file;
  if (t->done && t->result == CURLE_BAD_CONTENT_ENCODING && t->head_complete && t->decoding &&
      !(t->codings & http_coding_compressing)) {
    // libcurl refuses every coding name it does not know, but one that names no compression
    // ("utf-8") comes with a plain body: that body is asked for again and taken as it is sent.
    http_transfer_reset(t);
    if (!http_transfer_start(t, error)) return file;
  }
  long status = 0;
  curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
  file.status = (u32)status;
  if (t->done && t->result != CURLE_OK && !t->head_complete) {
    *error = http_error_internet_open_url;
    http_log_curl_failure(t, *error, file.status);
    http_transfer_close(t);
    return file;
  }
  if ((t->codings & http_coding_compressing & ~http_transfer_undoes(t)) && t->head_complete) {
    // A compression that was not offered or cannot be undone: the bytes would reach the parser
    // compressed.
    *error = http_error_internet_open_url;
    http_log_failure(t->url, *error, "the server sent the body compressed (Content-Encoding) without being asked");
    http_transfer_close(t);
    return file;
  }
  if (t->announced > (s64)HTTP_BODY_MAX) {
    *error = http_error_not_enough_storage;
    http_log_failure(t->url, *error, "the announced length is above the limit");
    http_transfer_close(t);
    return file;
  }
  // The announced length counts the bytes on the wire; once undone the body is longer, so its
  // length is not known.
  bool undone = (t->codings & http_coding_compressing) != 0;
  file.content.size = t->announced > 0 && !undone ? (u64)t->announced : 0;
  file.handle = t;
  return file;
}

void http_file_get(http_file *file, u32 *error) {
  PROFILE_ZONE(zone_http_file_get);
  http_transfer *t = file->handle;
  file->handle = nullptr;
  if (*error) {
    http_transfer_close(t);
    return;
  }
  if (!t) {
    *error = http_error_file_not_opened;
    return;
  }
  if (!file->content.data || file->content.size == 0) {
    *error = http_error_file_storage_not_initialized;
    http_transfer_close(t);
    return;
  }
  t->data = file->content.data;
  t->size = file->content.size;
  t->used = 0;
  t->receiving = 1;
  if (t->paused) {
    t->paused = 0;
    // Delivers the held bytes at once, so the buffer may already be too small here.
    CURLcode c = curl_easy_pause(t->easy, CURLPAUSE_CONT);
    if (c != CURLE_OK) {
      t->done = 1;
      t->result = c;
    }
  }
  http_drive(t);
  file->content.used = t->used;
  if (t->overflow) {
    *error = http_error_not_enough_storage;
    // The limit bounds the undone bytes, so a small body that inflates past it ends here too.
    bool undone = (t->codings & http_coding_compressing) != 0;
    char text[96];
    buffer detail = buffer_make(sizeof text - 1, 0, text);
    buffer head = undone ? string_lit("the decoded body is longer than ") : string_lit("the body is longer than ");
    buffer_push_bytes(&detail, head.data, head.used);
    if (t->size < HTTP_BODY_MAX) {
      buffer_push_bytes(&detail, "the buffer", 10);
    } else {
      buffer_push_bytes(&detail, "the limit of ", 13);
      buffer_push_size(&detail, HTTP_BODY_MAX);
      buffer_push_bytes(&detail, " for a download", 15);
    }
    text[detail.used] = 0;
    http_log_failure(t->url, *error, text);
  } else if (t->result != CURLE_OK) {
    *error = http_error_internet_read_file;
    long status = 0;
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
    http_log_curl_failure(t, *error, (u32)status);
  }
  http_transfer_close(t);
}
