// Command-line splitting and the argument table.
#include <errno.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include "platform/cmdline.h"

#include "core/strings.h"
#include "core/unicode.h"
#include "platform/log.h"

static void log_append_text(const char *text) { log_append(text, strlen(text)); }

// ---- Splitting ---------------------------------------------------------------------------

u32 command_line_split(const u8 *text, u64 length, buffer *area, u8 ***argv_out) {
  *argv_out = nullptr;
  if (!area->data || area->used >= area->size) return 0;
  const u8 *end = text + length;
  if (const void *zero = length ? memchr(text, 0, length) : nullptr) end = (const u8 *)zero;

  u8 *start = area->data + area->used;
  u8 *out = start;
  // One byte stays free for the zero that closes the last argument.
  u8 *room_end = area->data + area->size - 1;
  bool overflow = false;
  auto put = [&](u8 c) {
    if (out < room_end) *out++ = c;
    else overflow = true;
  };

  u64 pending_backslashes = 0;
  bool quoted = false;
  bool in_blank_run = false;
  const u8 *p = text;
  while (p < end && !overflow) {
    u32 c = 0, error = 0;
    u8 n = 0;
    unicode_utf8_decode(p, end, &c, &n, &error);
    if (error) {
      c = unicode_replacement;
      n = 1;
    }
    p += n;
    if (c == '\\') {
      pending_backslashes++;
      in_blank_run = false;
      continue;
    }
    if (c == '"') {
      for (u64 i = 0; i < pending_backslashes / 2; i++) put('\\');
      if (pending_backslashes & 1) put('"');
      else quoted = !quoted;
      pending_backslashes = 0;
      in_blank_run = false;
      continue;
    }
    for (; pending_backslashes; pending_backslashes--) put('\\');
    if ((c == ' ' || c == '\t') && !quoted) {
      if (!in_blank_run) put(0);
      in_blank_run = true;
      continue;
    }
    in_blank_run = false;
    u8 bytes[4];
    u8 k = 0;
    u32 e = 0;
    unicode_utf8_encode(bytes, bytes + 4, c, &k, &e);
    if ((u64)(room_end - out) < k) overflow = true;
    for (u8 i = 0; i < k && !overflow; i++) *out++ = bytes[i];
  }
  for (; pending_backslashes && !overflow; pending_backslashes--) put('\\');
  if (overflow) return 0;
  if (out > start && out[-1] != 0) *out++ = 0;  // room kept above

  u32 count = 0;
  for (u8 *q = start; q < out; q++)
    if (*q && (q == start || q[-1] == 0)) count++;
  if (count == 0) return 0;

  u64 used_before = area->used;
  area->used = (u64)(out - area->data);
  u8 **argv = (u8 **)buffer_push_array_bytes(area, sizeof(u8 *), (u64)count + 1, 8);
  if (!argv) {
    area->used = used_before;
    return 0;
  }
  u32 k = 0;
  for (u8 *q = start; q < out; q++)
    if (*q && (q == start || q[-1] == 0)) argv[k++] = q;
  argv[k] = nullptr;
  *argv_out = argv;
  return count;
}

// ---- The process's arguments -------------------------------------------------------------

alignas(8) static u8 argument_area[PLATFORM_ARGUMENT_AREA_SIZE];
static buffer argument_table[PLATFORM_ARGUMENT_MAX];
static u32 argument_count;

static u8 program_path_area[PLATFORM_PROGRAM_PATH_AREA_SIZE];
static u8 current_directory_area[PLATFORM_CURRENT_DIRECTORY_AREA_SIZE];
static buffer program_directory;
static buffer program_name;
static buffer current_directory;

u32 platform_command_line_to_argv(int argc, char **argv, u32 *count_out, u8 ***argv_out) {
  u32 count = argc > 0 ? (u32)argc : 0;
  // The address array goes at the end of the area, so the text has what the array leaves.
  if (count > PLATFORM_ARGUMENT_MAX) count = PLATFORM_ARGUMENT_MAX;
  u64 array_bytes = ((u64)count + 1) * sizeof(u8 *);
  u64 text_room = sizeof(argument_area) - array_bytes;
  u8 **array = (u8 **)(argument_area + text_room);
  u64 used = 0;
  u32 kept = 0;
  for (; kept < count; kept++) {
    u64 n = strlen(argv[kept]);
    if (n + 1 > text_room - used) {
      log_append_text("Command line too long: later arguments are ignored.\n");
      break;
    }
    memcpy(argument_area + used, argv[kept], n + 1);
    array[kept] = argument_area + used;
    used += n + 1;
  }
  array[kept] = nullptr;
  *count_out = kept;
  *argv_out = array;
  return kept;
}

// what: the line's words without its end; the system's reason follows them when it gave one.
static buffer location_fill(u8 *area, u64 size, const char *what, bool is_link) {
  ssize_t n;
  if (is_link) {
    n = readlink("/proc/self/exe", (char *)area, size);
  } else {
    n = getcwd((char *)area, size) ? (ssize_t)strlen((char *)area) : -1;
  }
  if (n <= 0 || (u64)n >= size) {
    // A link cut to the area's size fails with no word from the system.
    int why = n < 0 ? errno : 0;
    log_append_text(what);
    log_append_text(why ? ": " : ".\n");
    if (why) log_system_error((u32)why);
    return buffer{};
  }
  area[n] = 0;
  return buffer{(u64)n + 1, (u64)n, area};
}

void platform_init_arguments(u32 count, u8 **argv) {
  if (count > PLATFORM_ARGUMENT_MAX) count = PLATFORM_ARGUMENT_MAX;
  for (u32 i = 0; i < count; i++) {
    u64 n = strlen((const char *)argv[i]);
    argument_table[i] = buffer{n + 1, n, argv[i]};
  }
  argument_count = count;

  buffer path = location_fill(program_path_area, sizeof(program_path_area),
                              "platform_init_arguments: program path unknown or too long", true);
  current_directory = location_fill(current_directory_area, sizeof(current_directory_area),
                                    "platform_init_arguments: current folder unknown or too long", false);
  u64 split = 0;
  for (u64 i = path.used; i > 0; i--)
    if (path.data[i - 1] == '/' || path.data[i - 1] == '\\') {
      split = i;
      break;
    }
  program_directory = string_from_bytes(path.data, split);
  program_name = string_from_bytes(path.data + split, path.used - split);
}

u32 platform_argument_count() { return argument_count; }

buffer platform_argument(u32 index) { return index < argument_count ? argument_table[index] : buffer{}; }

u32 platform_argument_find(const void *name, u64 length, u32 start) {
  for (u32 i = start; i < argument_count; i++)
    if (string_equal_bytes(argument_table[i].data, argument_table[i].used, name, length)) return i;
  return 0;
}

buffer platform_argument_value(const void *name, u64 length, u32 *index) {
  u32 i = platform_argument_find(name, length, index ? *index : 0);
  if (i == 0 || i + 1 >= argument_count) return buffer{};
  if (index) *index = i + 1;
  return argument_table[i + 1];
}

buffer platform_program_directory() { return program_directory; }
buffer platform_program_name() { return program_name; }
buffer platform_current_directory() { return current_directory; }
