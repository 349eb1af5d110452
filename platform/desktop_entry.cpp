// Default applications from the XDG folders, and Exec lines made into command lines.
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

#include "platform/desktop_entry.h"

#include "core/strings.h"
#include "platform/files.h"
#include "platform/log.h"

// ---- Folders -----------------------------------------------------------------------------

#define DESKTOP_DIRS_MAX 32
#define DESKTOP_NAMES_MAX 8

namespace {
// The folders to look in, most important first; the texts point into the environment or into
// the home-based defaults kept here.
struct desktop_dirs {
  buffer config[DESKTOP_DIRS_MAX];
  u32 config_count;
  buffer data[DESKTOP_DIRS_MAX];
  u32 data_count;
  buffer names[DESKTOP_NAMES_MAX];  // the current desktops, lower case
  u32 name_count;
  u8 config_home[FILE_PATH_AREA_SIZE];
  u8 data_home[FILE_PATH_AREA_SIZE];
  u8 name_bytes[256];
  u32 lookups;  // entry files tried so far by this look-up
};
}  // namespace

static buffer env_text(const char *name) {
  const char *v = getenv(name);
  return v ? string_from_bytes(v, strlen(v)) : buffer{};
}

// A home folder, from its variable or from $HOME and the default suffix. Relative values are
// invalid and ignored, as the base-directory rules say.
static buffer home_dir(const char *variable, const char *suffix, u8 *area) {
  buffer v = env_text(variable);
  if (v.used && v.data[0] == '/') return v;
  buffer home = env_text("HOME");
  u64 n = strlen(suffix);
  if (!home.used || home.data[0] != '/' || home.used + n >= FILE_PATH_AREA_SIZE) return buffer{};
  memcpy(area, home.data, home.used);
  memcpy(area + home.used, suffix, n);
  return string_from_bytes(area, home.used + n);
}

static void dir_list_add(buffer *list, u32 *count, buffer text, char separator) {
  const u8 *p = text.data, *end = text.data + text.used;
  while (p < end && *count < DESKTOP_DIRS_MAX) {
    const u8 *q = p;
    while (q < end && *q != (u8)separator) q++;
    buffer item = string_from_range(p, q);
    while (item.used > 1 && item.data[item.used - 1] == '/') item.used--;
    if (item.used && (separator != ':' || item.data[0] == '/')) list[(*count)++] = item;
    p = q + (q < end);
  }
}

static void desktop_dirs_init(desktop_dirs *d) {
  d->config_count = d->data_count = d->name_count = d->lookups = 0;
  buffer config_home = home_dir("XDG_CONFIG_HOME", "/.config", d->config_home);
  if (config_home.used) d->config[d->config_count++] = config_home;
  buffer config_dirs = env_text("XDG_CONFIG_DIRS");
  dir_list_add(d->config, &d->config_count, config_dirs.used ? config_dirs : string_lit("/etc/xdg"), ':');
  buffer data_home = home_dir("XDG_DATA_HOME", "/.local/share", d->data_home);
  if (data_home.used) d->data[d->data_count++] = data_home;
  buffer data_dirs = env_text("XDG_DATA_DIRS");
  dir_list_add(d->data, &d->data_count, data_dirs.used ? data_dirs : string_lit("/usr/local/share:/usr/share"), ':');

  buffer desktops = env_text("XDG_CURRENT_DESKTOP");
  u64 n = desktops.used < sizeof d->name_bytes ? desktops.used : 0;
  for (u64 i = 0; i < n; i++) d->name_bytes[i] = (u8)char_to_lower(desktops.data[i]);
  buffer lowered = string_from_bytes(d->name_bytes, n);
  // Names are not paths: the list splits on ':' but a name never holds a '/'.
  const u8 *p = lowered.data, *end = lowered.data + lowered.used;
  while (p < end && d->name_count < DESKTOP_NAMES_MAX) {
    const u8 *q = p;
    while (q < end && *q != ':') q++;
    if (q > p && !memchr(p, '/', (u64)(q - p))) d->names[d->name_count++] = string_from_range(p, q);
    p = q + (q < end);
  }
}

// ---- Files -------------------------------------------------------------------------------

// dir + parts into area; false when the path does not fit.
static bool path_join(u8 *area, u64 *length, buffer dir, buffer a, buffer b = {}, buffer c = {}) {
  u64 n = 0;
  for (buffer piece : {dir, a, b, c}) {
    if (n + piece.used >= FILE_PATH_AREA_SIZE) return false;
    if (piece.used) memcpy(area + n, piece.data, piece.used);
    n += piece.used;
  }
  *length = n;
  return true;
}

// The whole file when it exists and is at most max bytes (a larger one is logged and skipped);
// the all-zero buffer otherwise. Release with file_content_free.
static buffer small_file_read(const u8 *path, u64 length, u64 max) {
  u32 error = 0;
  u64 size = file_size_bytes(path, length, &error);
  if (error) return buffer{};
  if (size > max) {
    log_append_string(string_lit("Default application: skipped, larger than a settings file can be: "));
    log_append(path, length);
    log_append_string(string_lit("\n"));
    return buffer{};
  }
  buffer content = file_read_all_bytes(path, length, 0, &error);
  if (error) {
    file_content_free(&content);
    return buffer{};
  }
  return content;
}

// Calls visit(group, key, value) for each "key=value" line; blanks around the key and before
// the value are not part of them. visit returns true to stop.
template <class F>
static void ini_each(buffer content, F visit) {
  buffer group = {};
  const u8 *p = content.data, *end = content.data + content.used;
  while (p < end) {
    const u8 *line_end = (const u8 *)memchr(p, '\n', (u64)(end - p));
    if (!line_end) line_end = end;
    buffer line = string_from_range(p, line_end);
    p = line_end + (line_end < end);
    if (line.used && line.data[line.used - 1] == '\r') line.used--;
    line = string_trim_left_any(line, string_lit(" \t"));
    if (!line.used || line.data[0] == '#') continue;
    if (line.data[0] == '[') {
      const u8 *close = (const u8 *)memchr(line.data, ']', line.used);
      group = close ? string_from_range(line.data + 1, close) : buffer{};
      continue;
    }
    const u8 *equals = (const u8 *)memchr(line.data, '=', line.used);
    if (!equals) continue;
    buffer key = string_trim_right_any(string_from_range(line.data, equals), string_lit(" \t"));
    buffer value = string_trim_left_any(string_from_range(equals + 1, line.data + line.used), string_lit(" \t"));
    if (visit(group, key, value)) return;
  }
}

// ---- Desktop entries ---------------------------------------------------------------------

// The Exec value of a usable entry (an application, not hidden) copied into exec_area; its
// length, 0 when the entry is not usable.
static u64 entry_exec(buffer content, u8 *exec_area, u64 exec_size) {
  bool application = false, hidden = false;
  u64 n = 0;
  bool seen_group = false;
  ini_each(content, [&](buffer group, buffer key, buffer value) {
    if (!string_equal(group, string_lit("Desktop Entry"))) return seen_group;  // later groups are actions
    seen_group = true;
    if (string_equal(key, string_lit("Type"))) application = string_equal(value, string_lit("Application"));
    if (string_equal(key, string_lit("Hidden"))) hidden = string_equal(value, string_lit("true"));
    if (string_equal(key, string_lit("Exec")) && value.used <= exec_size) {
      memcpy(exec_area, value.data, value.used);
      n = value.used;
    }
    return false;
  });
  return application && !hidden ? n : 0;
}

// Finds the entry of the id in the data folders' applications/ and copies its Exec value. An id
// "a-b.desktop" may also be the file a/b.desktop: every choice of the first dashes as folder
// separators is tried.
static u64 id_exec(desktop_dirs *d, buffer id, u8 *exec_area, u64 exec_size) {
  if (!id.used || id.used >= 512 || memchr(id.data, '/', id.used)) return 0;
  u8 name[512];
  u32 dashes[DESKTOP_ID_DASHES_MAX];
  u32 dash_count = 0;
  for (u32 i = 0; i < id.used && dash_count < DESKTOP_ID_DASHES_MAX; i++)
    if (id.data[i] == '-') dashes[dash_count++] = i;
  for (u32 i = 0; i < d->data_count; i++) {
    for (u32 choice = 0; choice < (1u << dash_count); choice++) {
      memcpy(name, id.data, id.used);
      for (u32 k = 0; k < dash_count; k++)
        if (choice & (1u << k)) name[dashes[k]] = '/';
      if (d->lookups == DESKTOP_LOOKUP_FILES_MAX) {
        log_append_string(string_lit("Default application: the look-up stopped after "
                                     "DESKTOP_LOOKUP_FILES_MAX (1024) desktop entry files.\n"));
      }
      if (d->lookups++ >= DESKTOP_LOOKUP_FILES_MAX) return 0;
      u8 path[FILE_PATH_AREA_SIZE];
      u64 length = 0;
      if (!path_join(path, &length, d->data[i], string_lit("/applications/"), string_from_bytes(name, id.used))) continue;
      buffer content = small_file_read(path, length, DESKTOP_ENTRY_FILE_MAX);
      if (!content.data) continue;
      u64 n = entry_exec(content, exec_area, exec_size);
      file_content_free(&content);
      // The first file of the id decides, usable or not: a user's entry hides the system's.
      return n;
    }
  }
  return 0;
}

// ---- The default application -------------------------------------------------------------

#if QM_TEST_HOOKS
static u64 desktop_steps;

u64 desktop_lookup_steps() { return desktop_steps; }
#endif

namespace {
// Ids that a [Removed Associations] group took away, as ';'-separated text.
struct removed_ids {
  u8 bytes[4096];
  u64 used;
  bool has(buffer id) const {
    buffer all = string_from_bytes(bytes, used);
    for (u64 i = 0; i < all.used;) {
      u64 j = i;
      while (j < all.used && all.data[j] != ';') j++;
      WORK_COUNT(desktop_steps, 1);
      if (string_equal(string_from_bytes(all.data + i, j - i), id)) return true;
      i = j + 1;
    }
    return false;
  }
  void add(buffer list) {
    if (used + list.used + 1 > sizeof bytes) return;
    memcpy(bytes + used, list.data, list.used);
    used += list.used;
    bytes[used++] = ';';
  }
};

}  // namespace

// Each id of a ';'-separated list in order, while fewer than the bound have been tried (*tried
// counts them over every line of one group); visit returns true to stop.
template <class F>
static bool ids_each(buffer list, u32 *tried, F visit) {
  for (u64 i = 0; i < list.used && *tried < DESKTOP_IDS_PER_TYPE_MAX;) {
    u64 j = i;
    while (j < list.used && list.data[j] != ';') j++;
    buffer id = string_trim_right_any(string_trim_left_any(string_from_bytes(list.data + i, j - i), string_lit(" \t")),
                                      string_lit(" \t"));
    i = j + 1;
    if (!id.used) continue;
    (*tried)++;
    WORK_COUNT(desktop_steps, 1);
    if (visit(id)) return true;
  }
  return false;
}

// The mimeapps.list files in order of importance: per folder, the current desktops' own files
// first; the configuration folders, then each data folder's applications/. The path of the
// index-th one; false past the last.
static bool list_file_path(const desktop_dirs *d, u32 index, u8 *path, u64 *length) {
  u32 per_dir = d->name_count + 1;
  u32 dir = index / per_dir, k = index % per_dir;
  if (dir >= d->config_count + d->data_count) return false;
  bool config = dir < d->config_count;
  buffer folder = config ? d->config[dir] : d->data[dir - d->config_count];
  buffer middle = config ? string_lit("/") : string_lit("/applications/");
  bool generic = k == d->name_count;
  buffer name = generic ? buffer{} : d->names[k];
  buffer suffix = generic ? string_lit("mimeapps.list") : string_lit("-mimeapps.list");
  if (!path_join(path, length, folder, middle, name, suffix)) *length = 0;  // skipped: never exists
  return true;
}

// The first installed application of the type's list in the group of one file. A file that
// repeats the type's line gets no more tries for it than one list: the work of a look-up stays
// the reading of its files.
static u64 group_exec(desktop_dirs *d, buffer content, buffer group_name, buffer type, const removed_ids *removed,
                      u8 *exec_area, u64 exec_size) {
  u64 found = 0;
  u32 tried = 0;
  ini_each(content, [&](buffer group, buffer key, buffer value) {
    if (!string_equal(group, group_name) || !string_equal(key, type)) return false;
    bool stop = ids_each(value, &tried, [&](buffer id) {
      if (removed && removed->has(id)) return false;
      found = id_exec(d, id, exec_area, exec_size);
      return found != 0;
    });
    return stop || tried >= DESKTOP_IDS_PER_TYPE_MAX;
  });
  return found;
}

buffer desktop_default_command(buffer type, buffer *out) {
  desktop_dirs d;
  desktop_dirs_init(&d);
  u8 path[FILE_PATH_AREA_SIZE];
  u64 length = 0;
  u8 exec[2048];
  u64 n = 0;
  // The defaults of the most important file that names an installed one win.
  for (u32 i = 0; !n && list_file_path(&d, i, path, &length); i++) {
    buffer content = length ? small_file_read(path, length, DESKTOP_LIST_FILE_MAX) : buffer{};
    if (!content.data) continue;
    n = group_exec(&d, content, string_lit("Default Applications"), type, nullptr, exec, sizeof exec);
    file_content_free(&content);
  }
  // Then the associations the user added, minus those a file of the same or more importance
  // removed, then what the installed applications declare (their cache).
  static removed_ids removed;
  removed.used = 0;
  for (u32 i = 0; !n && list_file_path(&d, i, path, &length); i++) {
    buffer content = length ? small_file_read(path, length, DESKTOP_LIST_FILE_MAX) : buffer{};
    if (!content.data) continue;
    ini_each(content, [&](buffer group, buffer key, buffer value) {
      if (string_equal(group, string_lit("Removed Associations")) && string_equal(key, type)) removed.add(value);
      return false;
    });
    n = group_exec(&d, content, string_lit("Added Associations"), type, &removed, exec, sizeof exec);
    file_content_free(&content);
  }
  for (u32 i = 0; i < d.data_count && !n; i++) {
    if (!path_join(path, &length, d.data[i], string_lit("/applications/mimeinfo.cache"))) continue;
    buffer content = small_file_read(path, length, DESKTOP_LIST_FILE_MAX);
    if (!content.data) continue;
    n = group_exec(&d, content, string_lit("MIME Cache"), type, &removed, exec, sizeof exec);
    file_content_free(&content);
  }
  if (!n) return buffer{};
  return desktop_exec_to_command_line(string_from_bytes(exec, n), out);
}

// ---- Exec lines --------------------------------------------------------------------------

// Appends one argument so that the command-line splitter gives it back unchanged: bare when it
// has no blank or quote, else in double quotes, with the backslashes before a quote (and before
// the closing quote) doubled and each quote escaped.
static bool argument_put(buffer *out, buffer arg) {
  bool plain = arg.used > 0;
  for (u64 i = 0; i < arg.used; i++)
    if (arg.data[i] == ' ' || arg.data[i] == '\t' || arg.data[i] == '"') plain = false;
  if (out->used && !buffer_push_bytes(out, " ", 1)) return false;
  if (plain) return buffer_push_bytes(out, arg.data, arg.used) != nullptr;
  if (!buffer_push_bytes(out, "\"", 1)) return false;
  u64 backslashes = 0;
  for (u64 i = 0; i < arg.used; i++) {
    u8 c = arg.data[i];
    if (c == '\\') {
      backslashes++;
    } else {
      u64 extra = c == '"' ? backslashes + 1 : 0;
      for (u64 k = 0; k < extra; k++)
        if (!buffer_push_bytes(out, "\\", 1)) return false;
      backslashes = 0;
    }
    if (!buffer_push_bytes(out, &c, 1)) return false;
  }
  for (u64 k = 0; k < backslashes; k++)
    if (!buffer_push_bytes(out, "\\", 1)) return false;
  return buffer_push_bytes(out, "\"", 1) != nullptr;
}

// The opener reads "%u" in an argument without blanks as the link's place and "%%" there as a
// literal '%'. A literal '%' that a 'u' or another '%' follows ("--fmt=%%u" in the entry) is
// written "%%" so that it stays a '%' and the link is not put there; an argument with a blank
// reaches the program as it is, so it is left alone. The result is in out (room for 2 x n bytes).
static buffer argument_escape_percents(const u8 *arg, const bool *literal, u64 n, u8 *out) {
  for (u64 j = 0; j < n; j++)
    if (char_is_space(arg[j])) return string_from_bytes(arg, n);
  u64 m = 0;
  for (u64 j = 0; j < n; j++) {
    if (literal[j] && j + 1 < n && (arg[j + 1] == 'u' || arg[j + 1] == '%')) out[m++] = '%';
    out[m++] = arg[j];
  }
  return string_from_bytes(out, m);
}

buffer desktop_exec_to_command_line(buffer exec, buffer *out) {
  // The value's own escapes first (\s \n \t \r \\), then the Exec quoting, then field codes.
  u8 text[2048];
  u64 n = 0;
  if (exec.used > sizeof text) return buffer{};
  for (u64 i = 0; i < exec.used; i++) {
    u8 c = exec.data[i];
    if (c == '\\' && i + 1 < exec.used) {
      u8 e = exec.data[i + 1];
      u8 plain = e == 's' ? ' ' : e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e == '\\' ? '\\' : 0;
      if (plain) {
        text[n++] = plain;
        i++;
        continue;
      }
    }
    text[n++] = c;
  }

  u64 start = out->used;
  buffer line = buffer_make(buffer_free_bytes(*out), 0, out->data + out->used);
  // Room for an argument of the whole text, where every one-byte code may become "%u".
  u8 arg[2 * sizeof text];
  // Which of the argument's bytes are a literal '%' (written "%%" in the entry), and the argument
  // with those the opener would misread written "%%" again.
  bool literal[sizeof arg];
  u8 escaped[2 * sizeof arg];
  u64 i = 0;
  bool ok = true, link_lost = false;
  while (i < n && ok) {
    while (i < n && (text[i] == ' ' || text[i] == '\t')) i++;
    if (i == n) break;
    u64 k = 0, link_places = 0, quoted_links = 0;
    bool quoted = false;
    for (; i < n; i++) {
      u8 c = text[i];
      if (!quoted && (c == ' ' || c == '\t')) break;
      if (c == '"') {
        quoted = !quoted;
        continue;
      }
      // Inside quotes these four are escaped; outside, where they should not appear, the same
      // reading keeps an escaped backslash single.
      if (c == '\\' && i + 1 < n && memchr("\"`$\\", text[i + 1], 4)) {
        literal[k] = false;
        arg[k++] = text[++i];
        continue;
      }
      if (c == '%' && i + 1 < n) {
        u8 code = text[++i];
        bool one_link = code == 'u' || code == 'f', link = one_link || code == 'U' || code == 'F';
        if (code == '%') {
          literal[k] = true;
          arg[k++] = '%';
        } else if (one_link && !quoted) {
          // Where the entry puts its one link ("--url=%u"), the opener puts it too.
          literal[k] = literal[k + 1] = false;
          arg[k++] = '%';
          arg[k++] = 'u';
          link_places++;
        } else if (link && quoted) {
          quoted_links++;
        }
        // Any other code (%i %c %k and the deprecated ones) is dropped.
        continue;
      }
      literal[k] = false;
      arg[k++] = c;
    }
    // A code standing alone is where the links go anyway: after the other arguments.
    if (link_places == 1 && k == 2) continue;
    // A quoted argument may be a command a shell runs ("sh -c \"firefox %u\""): no link is ever
    // written into it, so the link only follows it.
    if (quoted_links && k) link_lost = true;
    if (k == 0) continue;  // an empty argument ("") does not survive the splitter either
    ok = argument_put(&line, argument_escape_percents(arg, literal, k, escaped));
  }
  if (!ok || line.used == 0) return buffer{};
  if (link_lost) {
    log_append_string(string_lit("Default application: the entry's command cannot take the link, it asks for it "
                                 "inside a quoted argument: "));
    log_append_string(exec);
    log_append_string(string_lit("\n"));
  }
  out->used = start + line.used;
  return buffer{line.used, line.used, out->data + start};
}
