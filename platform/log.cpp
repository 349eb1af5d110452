// The global log and the debug output.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "platform/log.h"

#include "core/float_text.h"
#include "core/strings.h"
#include "core/unicode.h"
#include "platform/dates.h"
#include "platform/files.h"

// ---- State -------------------------------------------------------------------------------

// Guards the chunk ring, the node arena and every chunk's used count. An append reserves and
// copies under it, so a reader that takes a used count under it sees only finished text.
static std::mutex log_lock;
static log_chunk log_sentinel;
static log_chunk *log_head;  // the sentinel once the log exists; the walk starts at head->next
static buffer log_nodes;     // bump arena of nodes, never freed

// ---- Chunks (callers hold the lock) ------------------------------------------------------

static u64 log_chunk_size_for(u64 n) {
  if (n <= LOG_CHUNK_SIZE) return LOG_CHUNK_SIZE;
  u64 rounded = n & ~(LOG_CHUNK_SIZE - 1);
  return rounded > UINT64_MAX - LOG_CHUNK_SIZE ? 0 : rounded + LOG_CHUNK_SIZE;
}

static u32 log_chunk_add(u64 n) {
  log_chunk *node = (log_chunk *)buffer_push(&log_nodes, sizeof(log_chunk), 8);
  if (!node) return 0;
  u64 size = log_chunk_size_for(n);
  buffer block = size ? memory_alloc(size, nullptr) : buffer{};
  if (!block.data) {
    log_nodes.used -= sizeof(log_chunk);
    return 0;
  }
  log_chunk *last = log_sentinel.prev;
  node->text = block;
  node->prev = last;
  node->next = &log_sentinel;
  last->next = node;
  log_sentinel.prev = node;
  return 1;
}

static void log_init() {
  if (log_head) return;
  log_nodes = memory_alloc(LOG_NODE_BLOCK_SIZE, nullptr);
  if (!log_nodes.data) return;  // the next append tries again
  log_sentinel.prev = &log_sentinel;
  log_sentinel.next = &log_sentinel;
  log_head = &log_sentinel;
  log_chunk_add(LOG_CHUNK_SIZE);
}

// n bytes at the end of the newest chunk, in a new chunk when they do not fit the free tail.
static buffer log_reserve(u64 n) {
  log_init();
  if (!log_head || n == 0) return buffer{};
  log_chunk *last = log_sentinel.prev;
  if (last == &log_sentinel || last->text.size - last->text.used < n) {
    if (!log_chunk_add(n)) return buffer{};
    last = log_sentinel.prev;
  }
  u8 *p = (u8 *)buffer_push(&last->text, n, 1);
  if (!p) return buffer{};
  return buffer{n, 0, p};
}

// ---- Text ---------------------------------------------------------------------------------

// Hands the text to put in pieces as the log stores it: runs of text as they are, U+FFFD for each
// broken UTF-8 sequence, and an escape for each control character but tab and line feed ("\x1b",
// "\u009b"), which would otherwise act on the terminal that shows log.txt or vanish on the page.
template <class F>
static void log_text_pieces(const u8 *p, u64 n, F put) {
  const u8 *end = p + n, *run = p;
  while (p < end) {
    u8 b = *p;
    if ((b >= 0x20 && b < 0x7F) || b == '\t' || b == '\n') {
      p++;
      continue;
    }
    u32 c = b, error = 0;
    u8 step = 1;
    if (b >= 0x80) {
      unicode_utf8_decode(p, end, &c, &step, &error);
      // A broken sequence is replaced as far as its maximal subpart, not its lead's length.
      if (error) step = unicode_utf8_step(p, end);
    }
    if (!error && b >= 0x80 && (c < 0x80 || c > 0x9F)) {
      p += step;
      continue;
    }
    if (p > run) put(run, (u64)(p - run));
    if (error) {
      put((const u8 *)"\xEF\xBF\xBD", 3);
    } else {
      // "\x" and two digits for a byte, "\u" and four for a code point.
      u8 escape[8] = {'\\', (u8)(b < 0x80 ? 'x' : 'u')};
      u32 flags = format_hex | format_no_prefix | (b < 0x80 ? format_hex_min_2 : format_hex_min_4);
      put(escape, 2 + format_unsigned(escape + 2, sizeof escape - 2, b < 0x80 ? b : c, 0, '0', flags));
    }
    p += step;
    run = p;
  }
  if (p > run) put(run, (u64)(p - run));
}

// ---- Appending ---------------------------------------------------------------------------

buffer log_append(const void *text, u64 n) {
  const u8 *bytes = (const u8 *)text;
  u64 stored = 0;
  bool as_given = true;  // one piece, the whole text: nothing to change
  log_text_pieces(bytes, n, [&](const u8 *piece, u64 k) {
    as_given &= piece == bytes && k == n;
    stored += k;
  });
  std::lock_guard<std::mutex> hold(log_lock);
  buffer r = log_reserve(stored);
  if (!r.data) return buffer{};
  if (as_given) {
    memcpy(r.data, text, n);
  } else {
    u64 at = 0;
    log_text_pieces(bytes, n, [&](const u8 *piece, u64 k) {
      memcpy(r.data + at, piece, k);
      at += k;
    });
  }
  return buffer{stored, stored, r.data};
}

// The one line a growing arena's reached limit gives; the arenas are below the log, so it hands
// them this writer before any code runs.
static void log_arena_limit(const char *name, u64 limit) {
  u8 local[256];
  buffer b = buffer_make(sizeof local, 0, local);
  buffer_push_bytes(&b, name, strnlen(name, 128));
  buffer_push_bytes(&b, ": the limit of ", 15);
  buffer_push_size(&b, limit);
  buffer_push_bytes(&b, " is reached; what does not fit is left out.\n", 44);
  log_append(b.data, b.used);
}
[[maybe_unused]] static const bool log_arena_limit_installed = (arena_set_limit_report(log_arena_limit), true);

buffer log_indent(u64 level) {
  if (level > UINT64_MAX / 4) return buffer{};
  std::lock_guard<std::mutex> hold(log_lock);
  buffer r = log_reserve(4 * level);
  if (!r.data) return buffer{};
  memset(r.data, ' ', r.size);
  return buffer{r.size, r.size, r.data};
}

buffer log_unsigned(u64 value, u64 width, int pad, u32 flags) {
  u8 local[32];
  buffer b = buffer_make(sizeof(local), 0, local);
  buffer_push_unsigned(&b, value, width, (u8)pad, flags);
  return log_append(b.data, b.used);
}

buffer log_signed(s64 value, u64 width, int pad, u32 flags) {
  u8 local[32];
  buffer b = buffer_make(sizeof(local), 0, local);
  buffer_push_signed(&b, value, width, (u8)pad, flags);
  return log_append(b.data, b.used);
}

buffer log_system_error(u32 code) {
  u8 local[4096];
  buffer b = buffer_make(sizeof(local) - 1, 0, local);
  file_error_reason_push(code, &b);
  local[b.used++] = '\n';
  return log_append(local, b.used);
}

buffer log_file_error(buffer operation, buffer path, u32 error) { return log_file_error_reason(operation, path, error, 0); }

buffer log_file_error_reason(buffer operation, buffer path, u32 error, u32 reason) {
  u8 local[FILE_PATH_AREA_SIZE + 512];
  buffer b = buffer_make(sizeof(local), 0, local);
  auto push = [&b](const void *p, u64 n) {
    u64 k = unicode_utf8_cut((const u8 *)p, n, buffer_free_bytes(b));
    if (k) memcpy(b.data + b.used, p, k);
    b.used += k;
  };
  // Room for the line end is kept whatever the path's length.
  b.size -= 1;
  push(operation.data, operation.used);
  push(" failed: ", 9);
  const char *name = file_error_name(error);
  push(name, strlen(name));
  push(" (", 2);
  buffer_push_unsigned(&b, error, 0, ' ', 0);
  push("): ", 3);
  push(path.data, path.used);
  if (reason) {
    push(": ", 2);
    file_error_reason_push(reason, &b);
  }
  b.size += 1;
  push("\n", 1);
  return log_append(b.data, b.used);
}

// ---- Reading -----------------------------------------------------------------------------

u32 log_is_empty() {
  std::lock_guard<std::mutex> hold(log_lock);
  if (!log_head) return 1;
  log_chunk *last = log_sentinel.prev;
  return last == &log_sentinel || last->text.used == 0;
}

buffer log_last_text() {
  std::lock_guard<std::mutex> hold(log_lock);
  if (!log_head || log_sentinel.prev == &log_sentinel) return buffer{};
  buffer t = log_sentinel.prev->text;
  return buffer{t.used, t.used, t.data};
}

u32 log_chunk_list(buffer *out, u32 max) {
  std::lock_guard<std::mutex> hold(log_lock);
  if (!log_head) return 0;
  u32 n = 0;
  for (log_chunk *c = log_head->next; c != log_head; c = c->next, n++) {
    if (n < max) out[n] = c->text;
  }
  return n;
}

u32 log_save(buffer path) {
  if (log_is_empty()) return 0;
  u32 error = 0;
  platform_file f = file_open(path, 1, 1, &error);
  if (!error) {
    // Held for the whole walk: a chunk added meanwhile would change the ring under it.
    std::lock_guard<std::mutex> hold(log_lock);
    u64 offset = 0;
    for (log_chunk *c = log_head->next; c != log_head && !error; c = c->next) {
      offset += file_write_at(f, offset, c->text.used, c->text.data, &error);
    }
  }
  // Data refused only at the close is a failed save too.
  if (file_handle_is_valid(f) && !file_close(f, &error)) file_error_set_reason(&error, file_error_write, errno);
  // What the system said for the open, a write or the close (a missing folder, a full disk).
  if (error) log_file_error_reason(string_lit("log_save"), path, error, file_error_reason());
  return error;
}

// ---- Debug output ------------------------------------------------------------------------

bool debug_output_enabled() {
  static const bool enabled = [] {
    const char *v = getenv("QUILLMERE_DEBUG");
    return v && v[0] == '1' && v[1] == 0;
  }();
  return enabled;
}

// One write per text as far as the system takes it, so texts of different threads do not mix.
static void stderr_send(const u8 *text, u64 n) {
  while (n) {
    ssize_t k = write(STDERR_FILENO, text, n);
    if (k <= 0) return;
    text += k;
    n -= (u64)k;
  }
}

void log_write_stderr(buffer text) { stderr_send(text.data, text.used); }

static void debug_send(const u8 *text, u64 n) {
  if (debug_output_enabled()) stderr_send(text, n);
}

u64 debug_format_timestamp(f64 x, buffer *out) {
  u64 before = out->used;
  u64 hours = (u64)(x / 3600);
  u64 minutes = (u64)((x - (f64)hours * 3600) / 60);
  u64 seconds = (u64)(x - ((f64)hours * 3600 + (f64)minutes * 60));
  u64 micro = (u64)((x - ((f64)minutes * 60 + (f64)hours * 3600 + (f64)seconds)) * 1000000);
  if (buffer_free_bytes(*out)) out->data[out->used++] = '[';
  for (u64 v : {hours, minutes, seconds}) {
    buffer_push_unsigned(out, v, 2, '0', 0);
    if (buffer_free_bytes(*out)) out->data[out->used++] = ':';
  }
  buffer_push_unsigned(out, micro, 7, '0', format_decimal_group_3);
  for (u8 c : {(u8)']', (u8)' '}) {
    if (buffer_free_bytes(*out)) out->data[out->used++] = c;
  }
  return out->used - before;
}

void debug_print_timestamped(buffer text) {
  static std::atomic<s64> start{0};
  s64 now = counter_now();
  s64 expected = 0;
  start.compare_exchange_strong(expected, now);
  f64 x = counter_seconds_between(start.load(), now, counter_frequency());
  u8 local[1024];
  buffer b = buffer_make(sizeof(local), 0, local);
  debug_format_timestamp(x, &b);
  u64 k = text.used < buffer_free_bytes(b) ? text.used : buffer_free_bytes(b);
  if (k) memcpy(b.data + b.used, text.data, k);
  b.used += k;
  debug_send(b.data, b.used);
}

void debug_print_unsigned(u64 value, int newline) {
  u8 local[32];
  buffer b = buffer_make(sizeof(local), 0, local);
  buffer_push_unsigned(&b, value, 0, ' ', 0);
  if (newline) local[b.used++] = '\n';
  debug_send(b.data, b.used);
}

// The shortest digits with the fraction cut (not rounded) or filled to ten places, so the
// text matches the numbers the rest of the program prints.
void debug_print_double(f64 value, int newline) {
  u8 local[1024];
  buffer b = buffer_make(sizeof(local), 0, local);
  buffer_push_double(&b, value, 0, 0, 10, 0);
  if (newline && buffer_free_bytes(b)) local[b.used++] = '\n';
  debug_send(b.data, b.used);
}
