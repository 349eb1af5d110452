// fsync, early writeback, rename and the folder sync over POSIX calls.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/durable.h"

#include "platform/log.h"

// The word's code and its reason together: a caller's line names this failure, not an earlier one.
static void fail(u32 *error, u32 code, const char *what, int system_error) {
  file_error_set_reason(error, code, system_error);
  log_append(what, strlen(what));
  log_system_error((u32)system_error);
}

void file_sync(platform_file handle, u32 *error) {
  if (*error) return;
  int r;
  do r = fsync(handle);
  while (r < 0 && errno == EINTR);
  if (r < 0) fail(error, file_error_write, "file_sync: ", errno);
}

void file_sync_start(platform_file handle, u64 offset, u64 count) {
  if (handle >= 0 && count) sync_file_range(handle, (off_t)offset, (off_t)count, SYNC_FILE_RANGE_WRITE);
}

void file_rename(buffer from, buffer to, u32 *error) {
  if (*error) return;
  char a[FILE_PATH_AREA_SIZE], b[FILE_PATH_AREA_SIZE];
  if (!file_path_to_area(from.data, from.used, a, error) || !file_path_to_area(to.data, to.used, b, error)) return;
  if (rename(a, b) < 0) fail(error, file_error_open, "file_rename: ", errno);
}

void dir_sync(buffer path, u32 *error) {
  if (*error) return;
  char a[FILE_PATH_AREA_SIZE];
  if (!file_path_to_area(path.data, path.used, a, error)) return;
  int fd;
  do fd = open(a, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    fail(error, file_error_open, "dir_sync: ", errno);
    return;
  }
  int r;
  do r = fsync(fd);
  while (r < 0 && errno == EINTR);
  // EINVAL: the file system keeps no folder entries to force (the rename already stands).
  if (r < 0 && errno != EINVAL) fail(error, file_error_write, "dir_sync: ", errno);
  close(fd);
}

// ---- Private files -----------------------------------------------------------------------

platform_file file_create_private(buffer path, u32 *error) {
  if (*error) return platform_file_invalid;
  char a[FILE_PATH_AREA_SIZE];
  if (!file_path_to_area(path.data, path.used, a, error)) return platform_file_invalid;
  int fd;
  do fd = open(a, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    fail(error, file_error_open, "file_create_private: ", errno);
    return platform_file_invalid;
  }
  // A file left from an earlier run keeps the mode it was made with; the open does not change it.
  if (fchmod(fd, 0600) < 0) {
    fail(error, file_error_open, "file_create_private: ", errno);
    close(fd);
    return platform_file_invalid;
  }
  return fd;
}

u32 dir_create_private(buffer path, u32 *error) {
  if (*error) return 0;
  char a[FILE_PATH_AREA_SIZE];
  if (!file_path_to_area(path.data, path.used, a, error)) return 0;
  if (mkdir(a, 0700) == 0) return 1;
  int why = errno;
  struct stat st;
  if (why == EEXIST && stat(a, &st) == 0 && S_ISDIR(st.st_mode)) return 1;
  fail(error, file_error_dir_create, "dir_create_private: ", why);
  return 0;
}
