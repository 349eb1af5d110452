// Files over POSIX descriptors. Every path is copied into a local area with its terminating zero
// before it reaches the system, so nothing here shares state between threads.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"

#include "core/strings.h"
#include "core/unicode.h"

// ---- Errors ------------------------------------------------------------------------------

static const char *const file_error_names[FILE_ERROR_CODE_COUNT] = {
    "file_error_none",          "file_error_open",       "file_error_close_invalid",
    "file_error_invalid_handle", "file_error_seek",      "file_error_short_read",
    "file_error_short_write",   "file_error_read",       "file_error_write",
    nullptr,                    nullptr,                 nullptr,
    "file_error_delete",        "file_error_read_zero",  "file_error_size",
    "file_error_out_of_memory", "file_error_dir_create", "file_error_path",
    "file_error_too_large",
};

const char *file_error_name(u32 code) {
  if (code < FILE_ERROR_CODE_COUNT && file_error_names[code]) return file_error_names[code];
  return "file_error_unknown";
}

// The system's reason for the code this thread last set, for a caller that tells the user why.
static thread_local u32 file_error_system_reason = 0;

void file_error_set_reason(u32 *error, u32 code, int system_error) {
  if (*error) return;
  *error = code;
  file_error_system_reason = (u32)system_error;
}

static void file_error_set(u32 *error, u32 code) { file_error_set_reason(error, code, 0); }

u32 file_error_reason() { return file_error_system_reason; }

bool file_error_reason_push(u32 reason, buffer *out) {
  char said[256];
  const char *message = strerror_r((int)reason, said, sizeof said);
  u64 n = strlen(message), room = buffer_free_bytes(*out);
  u64 k = unicode_utf8_cut((const u8 *)message, n, room);
  memcpy(out->data + out->used, message, k);
  out->used += k;
  return k == n;
}

// ---- Path area ---------------------------------------------------------------------------

struct file_path_area {
  char bytes[FILE_PATH_AREA_SIZE];
};

bool file_path_to_area(const u8 *path, u64 length, char *area, u32 *error) {
  if (length >= FILE_PATH_AREA_SIZE || (length && memchr(path, 0, length))) {
    file_error_set(error, file_error_path);
    return false;
  }
  if (length) memcpy(area, path, length);
  area[length] = 0;
  return true;
}

// ---- Handles -----------------------------------------------------------------------------

platform_file file_open_bytes(const u8 *path, u64 length, u8 write, int overwrite, u32 *error) {
  if (*error) return platform_file_invalid;
  file_path_area area;
  if (!file_path_to_area(path, length, area.bytes, error)) return platform_file_invalid;
  // Without O_NONBLOCK, opening a named pipe or a terminal waits for the other side, for ever
  // when no one comes; it changes nothing for regular files.
  int fd;
  int other_reason = 0;  // the reason given for a file that opened but is no regular one
  bool opened_other = false;
  if (write) {
    int mode = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | (overwrite ? O_TRUNC : O_EXCL);
    do fd = open(area.bytes, mode, 0666);
    while (fd < 0 && errno == EINTR);
  } else {
    do fd = open(area.bytes, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    // Only a regular file has the size and offsets a read here relies on: a directory, a pipe or
    // a device is not a file to read.
    struct stat st;
    bool examined = fd >= 0 && fstat(fd, &st) == 0;
    if (fd >= 0 && (!examined || !S_ISREG(st.st_mode))) {
      // A folder is what the system itself refuses to read (EISDIR); a pipe or a device is
      // refused here alone, with no reason of the system's.
      other_reason = !examined ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
      close(fd);
      fd = -1;
      opened_other = true;
    }
  }
  if (fd < 0) {
    // errno is the open's; a file that opened but is not a regular one has its own reason.
    file_error_set_reason(error, file_error_open, opened_other ? other_reason : errno);
    return platform_file_invalid;
  }
  return fd;
}

platform_file file_open(buffer path, u8 write, int overwrite, u32 *error) {
  return file_open_bytes(path.data, path.used, write, overwrite, error);
}

bool file_close(platform_file handle, u32 *error) {
  if (!file_handle_is_valid(handle)) {
    file_error_set(error, file_error_close_invalid);
    return false;
  }
  // Linux releases the descriptor even when close reports EINTR, so it is never retried.
  return close(handle) == 0;
}

u64 file_size_of_handle(platform_file handle, u32 *error) {
  if (*error) return 0;
  if (!file_handle_is_valid(handle)) {
    file_error_set(error, file_error_invalid_handle);
    return 0;
  }
  struct stat st;
  if (fstat(handle, &st) != 0 || st.st_size < 0) {
    file_error_set_reason(error, file_error_size, errno);
    return 0;
  }
  return (u64)st.st_size;
}

// One system call moves at most this many bytes.
#define FILE_IO_STEP 0xFFFFFFFFull

// What a positioned read or write checks first: false, with the error set unless it already was.
static bool file_io_can_start(platform_file handle, u64 offset, u32 *error) {
  if (*error) return false;
  if (!file_handle_is_valid(handle)) {
    file_error_set(error, file_error_invalid_handle);
    return false;
  }
  if (offset > (u64)INT64_MAX) {
    file_error_set(error, file_error_seek);
    return false;
  }
  return true;
}

u64 file_read_at(platform_file handle, u64 offset, u64 count, void *destination, u32 *error) {
  if (!file_io_can_start(handle, offset, error)) return 0;
  u64 done = 0;
  while (*error == 0 && done < count) {
    u64 step = count - done < FILE_IO_STEP ? count - done : FILE_IO_STEP;
    ssize_t got = pread(handle, (u8 *)destination + done, step, (off_t)(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      file_error_set_reason(error, file_error_read, errno);
    } else if (got == 0) {
      file_error_set(error, file_error_read_zero);
    } else {
      done += (u64)got;
    }
  }
  if (*error == 0 && done != count) file_error_set(error, file_error_short_read);
  return done;
}

u64 file_write_at(platform_file handle, u64 offset, u64 count, const void *source, u32 *error) {
  if (!file_io_can_start(handle, offset, error)) return 0;
  u64 done = 0;
  while (*error == 0 && done < count) {
    u64 step = count - done < FILE_IO_STEP ? count - done : FILE_IO_STEP;
    ssize_t put = pwrite(handle, (const u8 *)source + done, step, (off_t)(offset + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      file_error_set_reason(error, file_error_write, errno);
    } else if (put == 0) {
      // A write that succeeds without moving a byte would repeat forever: count it short.
      break;
    } else {
      done += (u64)put;
    }
  }
  if (*error == 0 && done != count) file_error_set(error, file_error_short_write);
  return done;
}

// ---- Whole files by path -----------------------------------------------------------------

u64 file_size_bytes(const u8 *path, u64 length, u32 *error) {
  platform_file h = file_open_bytes(path, length, 0, 0, error);
  if (*error) return 0;
  u64 size = file_size_of_handle(h, error);
  file_close(h, error);
  return size;
}

u64 file_size(buffer path, u32 *error) { return file_size_bytes(path.data, path.used, error); }

// The size is taken from the open handle, so a file that grows after the check is still read
// only up to the size that was checked. With a reused arena the bytes go to its start, its
// committed part grown to fit; without one to a fresh block.
static buffer file_read_whole(const u8 *path, u64 length, u64 extra, u64 limit, arena *reused, u32 *error) {
  platform_file h = file_open_bytes(path, length, 0, 0, error);
  if (*error) return buffer{};
  u64 size = file_size_of_handle(h, error);
  if (*error == 0 && size > limit) file_error_set(error, file_error_too_large);
  buffer block = {};
  if (*error == 0) {
    if (extra > UINT64_MAX - size) {
      file_error_set(error, file_error_out_of_memory);
    } else if (reused) {
      buffer view = arena_view(reused);
      if (arena_make_room(reused, &view, size + extra, 1)) block = buffer{size + extra, 0, view.data};
      else file_error_set(error, file_error_out_of_memory);
    } else {
      block = memory_alloc(size + extra, nullptr);
      if (!block.data && size + extra) file_error_set(error, file_error_out_of_memory);
    }
  }
  if (*error == 0) file_read_at(h, 0, size, block.data, error);
  file_close(h, error);
  if (*error) {
    if (!reused) memory_free(&block);
    return buffer{};
  }
  // Reused memory still holds the bytes of what it held before.
  if (reused && extra) memory_zero(block.data + size, extra);
  return buffer{size + extra, size, block.data};
}

buffer file_read_all_bytes(const u8 *path, u64 length, u64 extra, u32 *error) {
  return file_read_whole(path, length, extra, UINT64_MAX, nullptr, error);
}

buffer file_read_all(buffer path, u64 extra, u32 *error) {
  return file_read_all_bytes(path.data, path.used, extra, error);
}

buffer file_read_all_limited(buffer path, u64 limit, u32 *error) {
  return file_read_whole(path.data, path.used, 0, limit, nullptr, error);
}

buffer file_read_all_into(buffer path, u64 limit, arena *reused, u32 *error) {
  return file_read_whole(path.data, path.used, 0, limit, reused, error);
}

void file_content_free(buffer *content) {
  // The block was mapped with size bytes; memory_free gives back exactly that range.
  memory_free(content);
  *content = buffer{};
}

u64 file_write_all_bytes(const u8 *path, u64 length, const void *source, u64 count, int overwrite,
                         u32 *error) {
  platform_file h = file_open_bytes(path, length, 1, overwrite, error);
  if (*error) return 0;
  u64 written = file_write_at(h, 0, count, source, error);
  // A file system may refuse written data only when the file is closed (a full quota, a network
  // share): then the write has failed.
  if (!file_close(h, error)) file_error_set_reason(error, file_error_write, errno);
  return written;
}

u64 file_write_all(buffer path, const void *source, u64 count, int overwrite, u32 *error) {
  return file_write_all_bytes(path.data, path.used, source, count, overwrite, error);
}

bool file_delete_bytes(const u8 *path, u64 length, u32 *error) {
  if (*error) return false;
  file_path_area area;
  if (!file_path_to_area(path, length, area.bytes, error)) return false;
  if (unlink(area.bytes) != 0) {
    file_error_set_reason(error, file_error_delete, errno);
    return false;
  }
  return true;
}

bool file_delete(buffer path, u32 *error) { return file_delete_bytes(path.data, path.used, error); }

u32 dir_create_bytes(const u8 *path, u64 length, u32 *error) {
  if (*error) return 0;
  file_path_area area;
  if (!file_path_to_area(path, length, area.bytes, error)) return 0;
  if (mkdir(area.bytes, 0777) == 0) return 1;
  // Something of that name is there: only a directory counts as success.
  int why = errno;
  struct stat st;
  if (why == EEXIST && stat(area.bytes, &st) == 0 && S_ISDIR(st.st_mode)) return 1;
  file_error_set_reason(error, file_error_dir_create, why);
  return 0;
}

u32 dir_create(buffer path, u32 *error) { return dir_create_bytes(path.data, path.used, error); }

// 1 when the path can be examined and its kind matches.
static u32 file_kind_test(const u8 *path, u64 length, bool want_directory, u32 *error) {
  if (*error) return 0;
  file_path_area area;
  if (!file_path_to_area(path, length, area.bytes, error)) return 0;
  struct stat st;
  if (stat(area.bytes, &st) != 0) return 0;
  return S_ISDIR(st.st_mode) == want_directory ? 1 : 0;
}

u32 file_exists_bytes(const u8 *path, u64 length, u32 *error) {
  return file_kind_test(path, length, false, error);
}
u32 file_exists(buffer path, u32 *error) { return file_exists_bytes(path.data, path.used, error); }
u32 dir_exists_bytes(const u8 *path, u64 length, u32 *error) {
  return file_kind_test(path, length, true, error);
}
u32 dir_exists(buffer path, u32 *error) { return dir_exists_bytes(path.data, path.used, error); }

// ---- Path texts --------------------------------------------------------------------------

buffer path_extension(const u8 *path, u64 length) {
  const u8 *dot = nullptr;
  const u8 *slash = nullptr;
  for (u64 i = 0; i < length; i++) {
    if (path[i] == '.') dot = path + i;
    if (path[i] == '/') slash = path + i;
  }
  if (!dot || (slash && slash >= dot)) return buffer{};
  return string_from_range(dot + 1, path + length);
}

buffer path_without_extension(const u8 *path, u64 length) {
  for (u64 i = length; i > 0; i--) {
    if (path[i - 1] == '.') return string_from_bytes(path, i - 1);
  }
  return string_from_bytes(path, length);
}

u32 string_split_commas(buffer text, buffer *out, u32 max) {
  const u8 *p = text.data;
  const u8 *end = text.data + text.used;
  u32 n = 0;
  while (p < end && n < max) {
    while (p < end && char_is_space(*p)) p++;
    const u8 *item = p;
    while (p < end && *p != ',' && !char_is_space(*p)) p++;
    if (p > item) out[n++] = string_from_range(item, p);
    while (p < end && char_is_space(*p)) p++;
    if (p < end && *p == ',') p++;
  }
  return n;
}

// ---- Directory listing -------------------------------------------------------------------

u64 file_time_from_unix(s64 seconds, s64 nanoseconds) {
  // Seconds from 1601-01-01 to 1970-01-01.
  const s64 epoch_shift = 11644473600ll;
  if (seconds < -epoch_shift) return 0;
  u64 s = (u64)(seconds + epoch_shift);
  if (s > UINT64_MAX / 10000000u - 1) return UINT64_MAX;
  return s * 10000000u + (u64)(nanoseconds / 100);
}

dir_list dir_list_make(buffer *arena, u32 capacity) {
  buffer_mark mark = buffer_mark_begin(arena);
  dir_list list = {};
  list.path = (u8 **)buffer_push_array_bytes(arena, sizeof(u8 *), capacity, 8);
  list.size = list.path ? (u64 *)buffer_push_array_bytes(arena, 8, capacity, 8) : nullptr;
  list.path_length = list.size ? (u16 *)buffer_push_array_bytes(arena, 2, capacity, 2) : nullptr;
  list.is_directory = list.path_length ? (u8 *)buffer_push_array_bytes(arena, 1, capacity, 1) : nullptr;
  list.last_write = list.is_directory ? (u64 *)buffer_push_array_bytes(arena, 8, capacity, 8) : nullptr;
  if (!list.last_write) {
    buffer_mark_rollback(&mark);
    return dir_list{};
  }
  list.names = arena;
  list.names_start = arena->used;
  list.capacity = capacity;
  return list;
}

// State of one listing, shared by every level of the walk.
struct dir_walk {
  dir_list *list;
  buffer extensions[DIR_LIST_MAX_ITEMS];
  buffer exclusions[DIR_LIST_MAX_ITEMS];
  u32 extension_count;
  u32 exclusion_count;
  u32 flags;
  bool stopped;     // the names arena is full: nothing more can be listed
  bool incomplete;  // something was skipped because it did not fit
  // The current directory's path with its terminating zero. The listed paths start with it;
  // an empty path stands for "/" (the root "/" lists as "/name").
  u64 path_length;
  char path[FILE_PATH_AREA_SIZE];
};

static bool dir_name_in(const buffer *items, u32 count, const u8 *name, u64 length) {
  for (u32 i = 0; i < count; i++) {
    if (string_equal_bytes(items[i].data, items[i].used, name, length)) return true;
  }
  return false;
}

static bool dir_name_is_dot(const char *name, u64 length) {
  return (length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.');
}

// Takes back the most recent entry and its path bytes (they are the arena's last bytes).
static void dir_list_drop_last(dir_list *list) {
  u32 i = list->count - 1;
  if (list->path[i] + list->path_length[i] == list->names->data + list->names->used) {
    list->names->used -= list->path_length[i];
  }
  list->path[i] = nullptr;
  list->size[i] = 0;
  list->path_length[i] = 0;
  list->is_directory[i] = 0;
  list->last_write[i] = 0;
  list->count = i;
}

static bool dir_list_add(dir_walk *w, const char *name, u64 name_length, const struct stat *st,
                         bool is_directory) {
  dir_list *list = w->list;
  u64 length = w->path_length + 1 + name_length;
  // A full list is an incomplete walk: the caller must learn that entries were left out.
  u8 *p = list->count < list->capacity ? (u8 *)buffer_push(list->names, length, 1) : nullptr;
  if (!p) {
    w->stopped = true;
    w->incomplete = true;
    return false;
  }
  memcpy(p, w->path, w->path_length);
  p[w->path_length] = '/';
  memcpy(p + w->path_length + 1, name, name_length);
  u32 i = list->count;
  list->path[i] = p;
  list->path_length[i] = (u16)length;  // fits: the path area and a name are far below 64 KiB
  list->size[i] = st && !is_directory ? (u64)st->st_size : 0;
  list->last_write[i] = st ? file_time_from_unix(st->st_mtim.tv_sec, st->st_mtim.tv_nsec) : 0;
  list->is_directory[i] = is_directory ? 1 : 0;
  list->count = i + 1;
  return true;
}

// own_entry: this directory's own index in the list, or UINT32_MAX when it was not listed (the
// root, or a directory in a files-only listing). In a deepest-only listing that entry gives way
// to the first subdirectory listed, and only while it is still the newest entry: the root has
// none, so nothing outside the list is ever taken back.
static void dir_list_walk(dir_walk *w, u32 own_entry) {
  dir_list *list = w->list;
  DIR *dir = opendir(w->path_length ? w->path : "/");
  if (!dir) return;
  bool listed_a_directory = false;
  while (!w->stopped) {
    struct dirent *e = readdir(dir);
    if (!e) break;
    const char *name = e->d_name;
    u64 name_length = strlen(name);
    if (dir_name_in(w->exclusions, w->exclusion_count, (const u8 *)name, name_length)) continue;

    // The link itself decides whether the walk descends, so a link cannot make it loop; the
    // listed size and time are those of what the link points at, when it points anywhere.
    struct stat link_st, st;
    bool have_link = fstatat(dirfd(dir), name, &link_st, AT_SYMLINK_NOFOLLOW) == 0;
    bool have_target = fstatat(dirfd(dir), name, &st, 0) == 0;
    const struct stat *info = have_target ? &st : have_link ? &link_st : nullptr;
    bool is_directory = info ? S_ISDIR(info->st_mode) : e->d_type == DT_DIR;
    bool real_directory = have_link ? S_ISDIR(link_st.st_mode) : e->d_type == DT_DIR;
    bool dot = dir_name_is_dot(name, name_length);
    u32 listed_entry = UINT32_MAX;

    if (is_directory) {
      if ((w->flags & dir_list_include_directories) && ((w->flags & dir_list_include_dots) || !dot)) {
        if ((w->flags & dir_list_deepest_directories) && !listed_a_directory &&
            own_entry != UINT32_MAX && own_entry + 1 == list->count) {
          dir_list_drop_last(list);
        }
        if (!dir_list_add(w, name, name_length, info, true)) break;
        listed_a_directory = true;
        listed_entry = list->count - 1;
      }
    } else if (w->flags & dir_list_include_files) {
      bool match = w->extension_count == 0;
      if (!match) {
        buffer ext = path_extension((const u8 *)name, name_length);
        match = ext.data && dir_name_in(w->extensions, w->extension_count, ext.data, ext.used);
      }
      if (match && !dir_list_add(w, name, name_length, info, false)) break;
    }

    if (real_directory && !dot && (w->flags & dir_list_recurse)) {
      u64 saved = w->path_length;
      if (saved + 1 + name_length >= FILE_PATH_AREA_SIZE) {
        w->incomplete = true;
        continue;
      }
      w->path[saved] = '/';
      memcpy(w->path + saved + 1, name, name_length);
      w->path_length = saved + 1 + name_length;
      w->path[w->path_length] = 0;
      dir_list_walk(w, listed_entry);
      w->path_length = saved;
      w->path[saved] = 0;
    }
  }
  closedir(dir);
}

u32 dir_list_files(dir_list *list, buffer root, buffer extensions, buffer exclusions, u32 flags) {
  if (!list->names) return 0;
  if (root.used == 0) return 1;  // nothing to search, as for a folder that cannot be opened
  dir_walk w = {};
  w.list = list;
  w.extension_count = string_split_commas(extensions, w.extensions, DIR_LIST_MAX_ITEMS);
  w.exclusion_count = string_split_commas(exclusions, w.exclusions, DIR_LIST_MAX_ITEMS);
  if (!(flags & dir_list_include_all)) flags |= dir_list_include_all;
  if (flags & dir_list_deepest_directories) {
    flags &= ~(u32)dir_list_include_files;
    flags |= dir_list_include_directories;
  }
  w.flags = flags;

  // A trailing '/' would double the separator in every listed path.
  u64 n = root.used;
  while (n > 0 && root.data[n - 1] == '/') n--;
  u32 path_error = 0;
  file_path_area area;
  if (!file_path_to_area(root.data, root.used, area.bytes, &path_error)) return 0;
  memcpy(w.path, area.bytes, n);
  w.path[n] = 0;
  w.path_length = n;
  dir_list_walk(&w, UINT32_MAX);
  return w.incomplete ? 0 : 1;
}

// ---- Sorting -----------------------------------------------------------------------------

static void dir_list_swap(dir_list *list, u64 *keys, u32 a, u32 b) {
  u8 *p = list->path[a]; list->path[a] = list->path[b]; list->path[b] = p;
  u64 s = list->size[a]; list->size[a] = list->size[b]; list->size[b] = s;
  u16 l = list->path_length[a]; list->path_length[a] = list->path_length[b]; list->path_length[b] = l;
  u8 d = list->is_directory[a]; list->is_directory[a] = list->is_directory[b]; list->is_directory[b] = d;
  u64 t = list->last_write[a]; list->last_write[a] = list->last_write[b]; list->last_write[b] = t;
  u64 k = keys[a]; keys[a] = keys[b]; keys[b] = k;
}

// Hoare partitioning around the middle key. The smaller side recurses and the larger one loops,
// so the depth stays logarithmic whatever the keys.
static void dir_list_quicksort(dir_list *list, u64 *keys, s64 lo, s64 hi) {
  while (lo < hi) {
    u64 pivot = keys[(lo + hi) / 2];
    s64 i = lo - 1;
    s64 j = hi + 1;
    for (;;) {
      do i++; while (keys[i] < pivot);
      do j--; while (pivot < keys[j]);
      if (i >= j) break;
      dir_list_swap(list, keys, (u32)i, (u32)j);
    }
    if (j - lo < hi - j) {
      dir_list_quicksort(list, keys, lo, j);
      lo = j + 1;
    } else {
      dir_list_quicksort(list, keys, j + 1, hi);
      hi = j;
    }
  }
}

void dir_list_sort(dir_list *list, u64 *keys) {
  if (list->count) dir_list_quicksort(list, keys, 0, (s64)list->count - 1);
}
