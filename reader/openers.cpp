// Link openers over the platform's program starts.
#include <string.h>

#include "reader/openers.h"

static const char *default_handler = "xdg-open";

#if QM_TEST_HOOKS
void link_set_default_handler(const char *program) { default_handler = program; }
#endif

static void log_text(const char *text) { log_append(text, strlen(text)); }

// A refused or failed URL is logged with at most this many of its bytes.
#define LINK_LOG_URL_MAX 256u

// reason: what the system said for a program that did not start, added after the URL; 0 for none.
static void log_url_line(const char *what, buffer url, u32 reason) {
  log_text(what);
  log_append(url.data, unicode_utf8_cut(url.data, url.used, LINK_LOG_URL_MAX));
  log_text(reason ? ": " : "\n");
  if (reason) log_system_error(reason);
}

// ---- Checks ------------------------------------------------------------------------------

bool link_url_is_openable(buffer url) {
  for (u64 i = 0; i < url.used; ++i)
    if (url.data[i] <= 0x20 || url.data[i] == 0x7F) return false;
  buffer schemes[] = {string_lit("http://"), string_lit("https://"), string_lit("mailto:")};
  for (buffer s : schemes)
    if (url.used > s.used && string_starts_with_ignore_case(url, s)) return true;
  return false;
}

static bool link_check(buffer url) {
  if (link_url_is_openable(url)) return true;
  log_url_line("Link not opened: only http, https and mailto links without blanks open: ", url, 0);
  return false;
}

buffer link_url_prepare(buffer url, buffer *out) {
  u8 *begin = url.data, *end = url.data + url.used;
  while (begin < end && char_is_space(*begin)) begin++;
  while (end > begin && char_is_space(end[-1])) end--;
  // The host ends at the first '/', '?' or '#' after "//"; a blank before that is left for the
  // check to refuse, as a browser refuses such a host.
  const u8 *host_end = begin;
  const u8 *colon = begin;
  while (colon < end && *colon != ':' && *colon != '/' && *colon != '?' && *colon != '#') colon++;
  if (end - colon >= 3 && colon[0] == ':' && colon[1] == '/' && colon[2] == '/') {
    host_end = colon + 3;
    while (host_end < end && *host_end != '/' && *host_end != '?' && *host_end != '#') host_end++;
  }
  u64 start = out->used;
  for (const u8 *p = begin; p < end; p++) {
    bool encode = *p == ' ' && p >= host_end;
    if (!buffer_push_bytes(out, encode ? (const u8 *)"%20" : p, encode ? 3 : 1)) {
      out->used = start;
      return buffer{};
    }
  }
  return buffer{out->used - start, out->used - start, out->data + start};
}

// The link made ready in a block of its own (memory_free it), or the all-zero view, logged, when
// there is no memory for it.
static buffer link_prepared(buffer url, buffer *block) {
  *block = memory_alloc(url.used * 3 + 1, nullptr);
  buffer ready = block->data ? link_url_prepare(url, block) : buffer{};
  if (!block->data) log_text("Link not opened: no memory for the link.\n");
  return ready;
}

// ---- Opening -----------------------------------------------------------------------------

// In an argument of the opener's program that has no blank, "%u" is the link's place (the
// "--url=%u" of a desktop entry), and the link is then not added after the arguments, and "%%" is
// a literal '%' ("--fmt=%%u" passes "--fmt=%u"). One with a blank may be a command that a shell
// runs ("sh -c 'firefox %u'"): it is passed as it is, and no link is written into it.
struct argument_codes {
  u32 places;   // "%u"
  u32 escapes;  // "%%"
};

static argument_codes argument_read(const u8 *arg) {
  argument_codes codes = {};
  for (const u8 *p = arg; *p; ++p)
    if (char_is_space(*p)) return argument_codes{};
  for (const u8 *p = arg; *p; ++p) {
    if (p[0] != '%') continue;
    if (p[1] == '%') {
      codes.escapes++;
      ++p;
    } else if (p[1] == 'u') {
      codes.places++;
    }
  }
  return codes;
}

static bool argument_takes_link(const u8 *arg) { return argument_read(arg).places != 0; }

// The argument with each "%%" made '%' and, when it holds places for it (their count), each "%u"
// replaced by the link, in the block; null when it does not fit.
static u8 *argument_fill(buffer *block, const u8 *arg, buffer link, u32 places) {
  u64 n = strlen((const char *)arg);
  bool fill = places != 0;
  u8 *filled = (u8 *)buffer_push(block, n + places * link.used + 1, 1);
  if (!filled) return nullptr;
  u8 *w = filled;
  for (u64 i = 0; i < n; ++i) {
    if (arg[i] == '%' && i + 1 < n && arg[i + 1] == '%') {
      *w++ = '%';
      ++i;
    } else if (fill && arg[i] == '%' && i + 1 < n && arg[i + 1] == 'u') {
      memcpy(w, link.data, link.used);
      w += link.used;
      ++i;
    } else {
      *w++ = arg[i];
    }
  }
  *w = 0;
  return filled;
}

// Builds in the block: the program's arguments (split, a single URL put where an argument asks for
// it), then the URLs not put there as one argument each, then the address array closed by null.
// The number of arguments, 0 when the program's command line is empty or nothing fits.
static u32 argv_build(buffer *block, buffer program, const buffer *urls, u32 url_count, u8 ***argv_out) {
  u8 **program_argv = nullptr;
  u32 n = command_line_split(program.data, program.used, block, &program_argv);
  if (!n) return 0;
  u32 placed = 0;
  for (u32 i = 0; i < n; ++i) {
    argument_codes codes = argument_read(program_argv[i]);
    bool fill = url_count == 1 && codes.places;
    if (!fill && !codes.escapes) continue;
    program_argv[i] = argument_fill(block, program_argv[i], fill ? urls[0] : buffer{}, fill ? codes.places : 0);
    if (!program_argv[i]) return 0;
    placed += fill;
  }
  if (placed) url_count = 0;
  u8 **argv = (u8 **)buffer_push_array_bytes(block, sizeof(u8 *), (u64)n + url_count + 1, 8);
  if (!argv) return 0;
  memcpy(argv, program_argv, n * sizeof(u8 *));
  for (u32 i = 0; i < url_count; ++i) {
    u8 *copy = (u8 *)buffer_push(block, urls[i].used + 1, 1);
    if (!copy) return 0;
    memcpy(copy, urls[i].data, urls[i].used);
    copy[urls[i].used] = 0;
    argv[n + i] = copy;
  }
  argv[n + url_count] = nullptr;
  *argv_out = argv;
  return n + url_count;
}

// Room for the split program, its arguments filled with one URL, the URLs and the address array.
static u64 argv_block_bytes(buffer program, const buffer *urls, u32 url_count) {
  u64 bytes = program.used * 2 + 64 + ((u64)program.used + url_count + 2) * 8;
  for (u32 i = 0; i < url_count; ++i) bytes += urls[i].used + 1;
  // Each "%u" of the split arguments comes from a '%' of the command line.
  u64 percents = 0;
  for (u64 i = 0; i < program.used; ++i) percents += program.data[i] == '%';
  if (url_count == 1) bytes += percents * urls[0].used;
  return bytes;
}

// Starts the program with the URLs as its last arguments (or one URL where an argument asks for
// it); 1 when it started, else 0 with *reason what the system said (0 when it was not asked).
static u32 run_with_urls(buffer program, const buffer *urls, u32 url_count, u32 *reason) {
  *reason = 0;
  buffer block = memory_alloc(argv_block_bytes(program, urls, url_count), nullptr);
  if (!block.data) {
    log_text("Links not opened: no memory for the command line.\n");
    return 0;
  }
  u8 **argv = nullptr;
  u32 started = 0;
  if (argv_build(&block, program, urls, url_count, &argv)) {
    started = platform_run_argv(argv, buffer{}, 0, nullptr);
    if (!started) *reason = file_error_reason();
  } else {
    log_text("Links not opened: the opener's program is empty.\n");
  }
  memory_free(&block);
  return started;
}

// Whether the program takes its link inside an argument, and so one link per run.
static bool program_takes_link(buffer program) {
  buffer block = memory_alloc(argv_block_bytes(program, nullptr, 0), nullptr);
  u8 **argv = nullptr;
  u32 n = block.data ? command_line_split(program.data, program.used, &block, &argv) : 0;
  bool takes = false;
  for (u32 i = 0; i < n && !takes; ++i) takes = argument_takes_link(argv[i]);
  memory_free(&block);
  return takes;
}

static u32 run_default(buffer url, u32 *reason) {
  buffer program = string_from_bytes(default_handler, strlen(default_handler));
  return run_with_urls(program, &url, 1, reason);
}

// One URL with the opener's program, or the default handler when it has none.
static u32 run_one(const link_opener *opener, buffer url, u32 *reason) {
  return opener && opener->program.used ? run_with_urls(opener->program, &url, 1, reason) : run_default(url, reason);
}

u32 link_open_now(buffer url, const link_opener *opener) {
  buffer block;
  buffer ready = link_prepared(url, &block);
  u32 started = 0;
  if (block.data && link_check(block.used ? ready : url)) {
    u32 reason = 0;
    started = run_one(opener, ready, &reason);
    if (!started) log_url_line("Link not opened: its program did not start: ", ready, reason);
  }
  memory_free(&block);
  return started;
}

// The queue's words, as views into its text.
template <class F>
static void queue_each(const link_opener *o, F visit) {
  const u8 *p = o->queue.data, *end = o->queue.data + o->queue.used;
  while (p < end) {
    while (p < end && *p == ' ') ++p;
    const u8 *start = p;
    while (p < end && *p != ' ') ++p;
    if (p > start) visit(string_from_range(start, p));
  }
}

// Keeps in the queue only the words keep[i] marks, in their order, single-spaced.
static void queue_keep(link_opener *o, const u8 *keep) {
  u8 *write = o->queue.data;
  u32 i = 0;
  queue_each(o, [&](buffer word) {
    if (keep[i++]) {
      if (write > o->queue.data) *write++ = ' ';
      memmove(write, word.data, word.used);
      write += word.used;
    }
  });
  o->queue.used = (u64)(write - o->queue.data);
  if (o->queue.used < o->queue.size) o->queue.data[o->queue.used] = 0;
}

void link_queue_open(allocator *a, link_opener *opener, int free_after) {
  if (!opener || !opener->queue.used) return;
  u32 count = link_queue_count(opener);
  buffer block = memory_alloc((u64)count * (sizeof(buffer) + 1) + 64, nullptr);
  if (!block.data) {
    log_text("Links not opened: no memory for the queue.\n");
    return;
  }
  buffer *urls = buffer_push_array(&block, buffer, count);
  u8 *keep = buffer_push_array(&block, u8, count);
  u32 n = 0, i = 0;
  // Each word is looked at once: a refused one stays queued.
  queue_each(opener, [&](buffer word) {
    bool ok = link_check(word);
    keep[i++] = !ok;
    if (ok) urls[n++] = word;
  });
  u32 reason = 0;
  if (opener->program.used && !program_takes_link(opener->program)) {
    if (n && !run_with_urls(opener->program, urls, n, &reason)) {
      log_text(reason ? "Links not opened: the opener's program did not start; they stay queued: "
                      : "Links not opened: the opener's program did not start; they stay queued.\n");
      if (reason) log_system_error(reason);
      memory_free(&block);
      return;
    }
  } else {
    i = 0;
    queue_each(opener, [&](buffer word) {
      if (!keep[i] && !run_one(opener, word, &reason)) {
        log_url_line("Link not opened, it stays queued: ", word, reason);
        keep[i] = 1;
      }
      ++i;
    });
  }
  if (free_after) {
    u32 left = 0;
    for (u32 k = 0; k < count; ++k) left += keep[k];
    if (left == 0) link_queue_free(a, opener);
    else queue_keep(opener, keep);
  }
  memory_free(&block);
}

void link_queues_open_all(allocator *a, reader *r, int free_after) {
  for (link_opener &o : r->link_openers) link_queue_open(a, &o, free_after);
}

// ---- The queue ---------------------------------------------------------------------------

// Appends a link that passed the check.
static bool queue_append_ready(allocator *a, link_opener *opener, buffer link) {
  buffer *q = &opener->queue;
  u64 needed = q->used + 1 + link.used + 1;
  if (!q->data || needed > q->size) {
    buffer grown = allocator_alloc(a, align_up(needed, LINK_QUEUE_STEP));
    if (!grown.data) {
      log_text("Link not queued: no memory left for the queue.\n");
      return false;
    }
    if (q->used) memcpy(grown.data, q->data, q->used);
    if (q->data && allocator_owns(a, q->data)) allocator_free(a, q->data, q->size);
    *q = buffer{grown.size, q->used, grown.data};
  }
  if (q->used) q->data[q->used++] = ' ';
  memcpy(q->data + q->used, link.data, link.used);
  q->used += link.used;
  q->data[q->used] = 0;
  return true;
}

bool link_queue_append(allocator *a, link_opener *opener, buffer link) {
  if (!opener) return false;
  buffer block;
  buffer ready = link_prepared(link, &block);
  // The queue separates its links by blanks: a link keeps none of its own there.
  bool queued = block.data && link_check(block.used ? ready : link) && queue_append_ready(a, opener, ready);
  memory_free(&block);
  return queued;
}

void link_queue_remove(link_opener *opener, buffer link) {
  if (!opener || !opener->queue.data || !link.data) return;
  buffer *q = &opener->queue;
  u8 *begin = q->data, *end = q->data + q->used;
  if (link.data < begin || link.data > end || link.used > (u64)(end - link.data)) return;
  u8 *after = link.data + link.used;
  while (after < end && *after == ' ') ++after;
  u64 tail = (u64)(end - after);
  memmove(link.data, after, tail);
  q->used = (u64)(link.data - begin) + tail;
  while (q->used && q->data[q->used - 1] == ' ') q->used--;
  if (q->used < q->size) q->data[q->used] = 0;
}

void link_queue_free(allocator *a, link_opener *opener) {
  if (!opener) return;
  if (opener->queue.data && allocator_owns(a, opener->queue.data))
    allocator_free(a, opener->queue.data, opener->queue.size);
  opener->queue = buffer{};
}

u32 link_queue_count(const link_opener *opener) {
  if (!opener) return 0;
  u32 n = 0;
  queue_each(opener, [&](buffer) { ++n; });
  return n;
}

u32 link_queues_count(const reader *r) {
  u32 n = 0;
  for (const link_opener &o : r->link_openers) n += link_queue_count(&o);
  return n;
}

// ---- The default handler -----------------------------------------------------------------

buffer link_default_program(buffer scheme, buffer *out) {
  for (u64 i = 0; i < scheme.used; ++i)
    if (!char_is_alnum(scheme.data[i]) && scheme.data[i] != '+' && scheme.data[i] != '-' && scheme.data[i] != '.')
      return buffer{};
  u8 type[128] = "x-scheme-handler/";
  u64 prefix = strlen((const char *)type);
  if (!scheme.used || scheme.used >= sizeof(type) - prefix) return buffer{};
  memcpy(type + prefix, scheme.data, scheme.used);
  return desktop_default_command(string_from_bytes(type, prefix + scheme.used), out);
}
