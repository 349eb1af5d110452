// Known folders from the environment and the XDG user-dirs file.
#include <stdlib.h>
#include <string.h>

#include "platform/folders.h"

#include "core/strings.h"
#include "platform/cmdline.h"
#include "platform/files.h"
#include "platform/log.h"

static void log_append_text(const char *text) { log_append(text, strlen(text)); }

static buffer environment_text(const char *name) {
  const char *value = getenv(name);
  return value ? string_from_bytes(value, strlen(value)) : buffer{};
}

static bool is_absolute(buffer path) { return path.used && path.data[0] == '/'; }

// Concatenates the pieces into the arena as one path; all-zero (arena unchanged) when they do not
// fit. Trailing separators are dropped except for the root itself.
static buffer path_carve(buffer *arena, buffer a, buffer b) {
  u64 used_before = arena->used;
  u8 *start = (u8 *)buffer_push(arena, a.used + b.used, 1);
  if (!start) {
    log_append_text("platform_get_path: not enough free memory in buffer.\n");
    return buffer{};
  }
  if (a.used) memcpy(start, a.data, a.used);
  if (b.used) memcpy(start + a.used, b.data, b.used);
  u64 n = a.used + b.used;
  while (n > 1 && start[n - 1] == '/') n--;
  arena->used = used_before + n;
  return buffer{n, n, start};
}

// The desktop from user-dirs.dirs: a line XDG_DESKTOP_DIR="$HOME/Desktop" or ="/abs/path".
// Writes the path into out (at most out_size bytes); its length, 0 when the file says nothing.
static u64 desktop_from_user_dirs(buffer home, u8 *out, u64 out_size) {
  buffer config = environment_text("XDG_CONFIG_HOME");
  u8 path[FILE_PATH_AREA_SIZE];
  buffer file_name = string_lit("/user-dirs.dirs");
  buffer base = is_absolute(config) ? config : home;
  buffer middle = is_absolute(config) ? buffer{} : string_lit("/.config");
  if (base.used + middle.used + file_name.used >= sizeof(path)) return 0;
  u64 n = 0;
  memcpy(path + n, base.data, base.used), n += base.used;
  if (middle.used) memcpy(path + n, middle.data, middle.used), n += middle.used;
  memcpy(path + n, file_name.data, file_name.used), n += file_name.used;

  u32 error = 0;
  if (file_size_bytes(path, n, &error) > KiB(64) || error) return 0;
  buffer content = file_read_all_bytes(path, n, 0, &error);
  if (error) return 0;
  u64 result = 0;
  const u8 *cursor = content.data, *end = content.data + content.used;
  while (cursor < end) {
    const u8 *line_end = (const u8 *)memchr(cursor, '\n', (u64)(end - cursor));
    if (!line_end) line_end = end;
    buffer line = string_from_range(cursor, line_end);
    cursor = line_end + (line_end < end);
    line = string_trim_left_any(line, string_lit(" \t"));
    buffer key = string_lit("XDG_DESKTOP_DIR=\"");
    if (!string_starts_with(line, key)) continue;
    string_advance(&line, key.used);
    u64 o = 0;
    bool fits = true;
    auto put = [&](const u8 *bytes, u64 count) {
      if (count > out_size - o) fits = false;
      else memcpy(out + o, bytes, count), o += count;
    };
    if (string_starts_with(line, string_lit("$HOME"))) {
      put(home.data, home.used);
      string_advance(&line, 5);
    }
    bool closed = false;
    for (u64 i = 0; i < line.used && fits; i++) {
      u8 c = line.data[i];
      if (c == '"') {
        closed = true;
        break;
      }
      if (c == '\\' && i + 1 < line.used) c = line.data[++i];
      put(&c, 1);
    }
    result = (closed && fits && o && out[0] == '/') ? o : 0;
  }
  file_content_free(&content);
  return result;
}

buffer platform_get_path(buffer *arena, u32 kind) {
  if (kind != platform_folder_data_home && kind != platform_folder_desktop) {
    log_append_text("platform_get_path: unknow folder requested.\n");
    return buffer{};
  }
  buffer home = environment_text("HOME");
  if (!is_absolute(home)) {
    log_append_text("platform_get_path: couldn't retreive folder path.\n");
    return buffer{};
  }
  if (kind == platform_folder_data_home) {
    // A relative XDG_DATA_HOME is invalid and ignored, as the base-directory rules say.
    buffer data_home = environment_text("XDG_DATA_HOME");
    if (is_absolute(data_home)) return path_carve(arena, data_home, buffer{});
    return path_carve(arena, home, string_lit("/.local/share"));
  }
  u8 desktop[FILE_PATH_AREA_SIZE];
  u64 n = desktop_from_user_dirs(home, desktop, sizeof(desktop));
  u32 error = 0;
  if (n && dir_exists_bytes(desktop, n, &error)) return path_carve(arena, string_from_bytes(desktop, n), buffer{});
  return path_carve(arena, home, buffer{});
}

buffer platform_data_folder(buffer *arena) {
  buffer value = platform_argument_value("-path", 5, nullptr);
  if (value.used) return path_carve(arena, value, buffer{});
  u64 used_before = arena->used;
  buffer base = platform_get_path(arena, platform_folder_data_home);
  if (!base.data) return buffer{};
  // The base was the arena's last piece: the suffix extends it in place.
  buffer suffix = string_lit("/quillmere");
  if (!buffer_push_bytes(arena, suffix.data, suffix.used)) {
    arena->used = used_before;
    log_append_text("platform_get_path: not enough free memory in buffer.\n");
    return buffer{};
  }
  u64 n = base.used + suffix.used;
  return buffer{n, n, base.data};
}

u32 dir_create_all(buffer path, u32 *error) {
  if (*error) return 0;
  if (path.used >= FILE_PATH_AREA_SIZE) {
    file_error_set_reason(error, file_error_path, 0);
    return 0;
  }
  // Each prefix ending before a '/' is a parent; existing ones are left alone.
  for (u64 i = 1; i < path.used; i++) {
    if (path.data[i] != '/' || path.data[i - 1] == '/') continue;
    if (!dir_create_bytes(path.data, i, error)) return 0;
  }
  return dir_create_bytes(path.data, path.used, error);
}
