// Files and directory listing. Paths are UTF-8 `buffer` texts with '/' between names; each call
// copies its path into a fixed local area with a terminating zero, so every function here is safe
// on any thread. Failures go to the caller's sticky `file_error` word; nothing here logs.
#pragma once

#include "core/buffer.h"

// ---- Errors ------------------------------------------------------------------------------

// Sticky: an operation returns at once while the word is non-zero and sets it only while it is
// zero, so the first failure of a sequence is the one reported. 9 to 11 are not used.
enum file_error_code : u32 {
  file_error_none = 0,
  file_error_open = 1,             // opening or creating the file failed
  file_error_close_invalid = 2,    // close was asked for an invalid handle
  file_error_invalid_handle = 3,   // an operation was given an invalid handle
  file_error_seek = 4,             // the offset cannot be reached
  file_error_short_read = 5,       // a read ended with fewer bytes than asked
  file_error_short_write = 6,      // a write ended with fewer bytes than asked
  file_error_read = 7,             // the system read call failed
  file_error_write = 8,            // the system write call failed
  file_error_delete = 12,          // deleting the file failed
  file_error_read_zero = 13,       // the system read returned 0 bytes before the count was reached
  file_error_size = 14,            // the size query failed
  file_error_out_of_memory = 15,   // no memory for a whole-file read
  file_error_dir_create = 16,      // creating a directory failed, and no directory is there
  file_error_path = 17,            // the path does not fit the path area or holds a zero byte
  file_error_too_large = 18,       // the file is larger than the caller accepts; it was not read
};
#define FILE_ERROR_CODE_COUNT 19

// The code's name ("file_error_open"), "file_error_unknown" for a value no code has.
const char *file_error_name(u32 code);
// What the system said (an errno value) when a function here (or in durable.h) last set a code
// in a word on this thread; 0 when that code came from no system call (a short read, a path too
// long, a pipe or a device given to read; a folder gives EISDIR). For the message of a failure
// the caller has just seen: read it on the thread that failed, before any other file call there.
u32 file_error_reason();
// Sets the code in the word, when it is zero, with what the system said for it (0 when no system
// call failed). Every code set in a file word goes through it, the callers' own codes too (a
// store with no memory to write), so that file_error_reason never names an earlier failure.
void file_error_set_reason(u32 *error, u32 code, int system_error);
// What the system says for such a value ("Permission denied"), pushed to the buffer as far as it
// fits; false when it did not fit whole.
bool file_error_reason_push(u32 reason, buffer *out);

// The path area: a path and its terminating zero must fit these bytes.
#define FILE_PATH_AREA_SIZE 4096
// The path with its terminating zero in area (FILE_PATH_AREA_SIZE bytes), for a system call. False
// (file_error_path) for one longer than the area or with a zero byte inside, which the system
// would cut short and so name another file: such a path never reaches a system call.
bool file_path_to_area(const u8 *path, u64 length, char *area, u32 *error);

// ---- Handles -----------------------------------------------------------------------------

// A descriptor; the name file_handle belongs to the C library.
typedef s32 platform_file;
constexpr platform_file platform_file_invalid = -1;

inline bool file_handle_is_valid(platform_file h) { return h != platform_file_invalid; }

// Reading shares the file with other readers and needs it to exist; writing creates the file,
// replacing it when overwrite is non-zero and failing (file_error_open) when it exists otherwise.
// Reading opens regular files only (a directory, pipe or device fails with file_error_open), and
// no open waits for the other end of a pipe.
platform_file file_open_bytes(const u8 *path, u64 length, u8 write, int overwrite, u32 *error);
platform_file file_open(buffer path, u8 write, int overwrite, u32 *error);
// Closes a valid handle whatever the word holds; true when the close succeeded.
bool file_close(platform_file handle, u32 *error);
u64 file_size_of_handle(platform_file handle, u32 *error);

// Move count bytes at an absolute offset, in system calls of at most 0xFFFFFFFF bytes; the bytes
// actually moved are returned, and a shortfall sets the matching code.
u64 file_read_at(platform_file handle, u64 offset, u64 count, void *destination, u32 *error);
u64 file_write_at(platform_file handle, u64 offset, u64 count, const void *source, u32 *error);

// ---- Whole files by path -----------------------------------------------------------------

u64 file_size_bytes(const u8 *path, u64 length, u32 *error);
u64 file_size(buffer path, u32 *error);
// The whole file in a fresh block of file size + extra bytes {size + extra, size, data}; the
// extra bytes are zero, room for a terminator. Never a partial block: any failure gives the
// all-zero buffer. Release with file_content_free.
buffer file_read_all_bytes(const u8 *path, u64 length, u64 extra, u32 *error);
buffer file_read_all(buffer path, u64 extra, u32 *error);
// The same for a file of at most limit bytes; a larger one is refused before any byte is read
// (file_error_too_large), so its size never reaches memory.
buffer file_read_all_limited(buffer path, u64 limit, u32 *error);
// The same into memory the caller reuses from one file to the next: an arena whose committed
// start grows to the file's size, in place of a fresh block. The result {size, size, data} is a
// view of that start; the caller keeps the arena, so nothing is released on failure (the all-zero
// buffer). A file larger than the arena's limit fails with file_error_out_of_memory.
buffer file_read_all_into(buffer path, u64 limit, arena *reused, u32 *error);
void file_content_free(buffer *content);
// Creates the file (replacing it when overwrite is non-zero) and writes count bytes; a close that
// reports an error fails the write (file_error_write).
u64 file_write_all_bytes(const u8 *path, u64 length, const void *source, u64 count, int overwrite,
                         u32 *error);
u64 file_write_all(buffer path, const void *source, u64 count, int overwrite, u32 *error);
bool file_delete_bytes(const u8 *path, u64 length, u32 *error);
bool file_delete(buffer path, u32 *error);
// 1 when the directory was created or a directory of that name is already there; a file of that
// name is a failure (file_error_dir_create).
u32 dir_create_bytes(const u8 *path, u64 length, u32 *error);
u32 dir_create(buffer path, u32 *error);
u32 file_exists_bytes(const u8 *path, u64 length, u32 *error);
u32 file_exists(buffer path, u32 *error);
u32 dir_exists_bytes(const u8 *path, u64 length, u32 *error);
u32 dir_exists(buffer path, u32 *error);

// ---- Path texts --------------------------------------------------------------------------

// The text after the last '.', or the all-zero view when there is no '.' or a '/' follows it.
buffer path_extension(const u8 *path, u64 length);
// [path, last '.') when there is a '.', else the whole path (a '.' in a folder name cuts there).
buffer path_without_extension(const u8 *path, u64 length);
// Items separated by commas and whitespace, empty items dropped; views into the text. Returns the
// number stored (at most max).
u32 string_split_commas(buffer text, buffer *out, u32 max);

// ---- Directory listing -------------------------------------------------------------------

// Without dir_list_include_files and dir_list_include_directories both are taken;
// dir_list_deepest_directories lists directories only.
enum dir_list_flags : u32 {
  dir_list_recurse = 0x1,
  dir_list_include_files = 0x2,
  dir_list_include_directories = 0x4,
  dir_list_include_dots = 0x8,           // also "." and ".."
  dir_list_deepest_directories = 0x10,   // a directory with subdirectories gives way to them
  dir_list_include_all = dir_list_include_files | dir_list_include_directories,
};
#define DIR_LIST_MAX_ITEMS 64

// Parallel arrays carved from the caller's arena; the listed paths' bytes go to the same arena.
struct dir_list {
  buffer *names;      // the arena the path bytes are pushed to
  u64 names_start;    // the arena's used count after the arrays: where path bytes begin
  u8 **path;          // entry path bytes (dir + '/' + name), not zero-terminated
  u64 *size;          // file size in bytes
  u16 *path_length;
  u8 *is_directory;
  u64 *last_write;    // 100-ns units since 1601-01-01 UTC
  u32 count;
  u32 capacity;
};

// All or nothing: on failure the arena is as it was and the record is all zero.
dir_list dir_list_make(buffer *arena, u32 capacity);
// Appends the entries under root (depth first, each folder's entries right after its own entry)
// while the list has room. extensions and exclusions are comma/space separated; an excluded name
// is neither listed nor descended into. A folder that cannot be opened yields nothing. Returns 1
// when the walk was whole, 0 when something did not fit: the root or a deeper path longer than
// the path area (that folder is skipped), or an entry to list with the list or the names arena
// full (the walk stops there).
u32 dir_list_files(dir_list *list, buffer root, buffer extensions, buffer exclusions, u32 flags);
// Ascending by keys[i], which move with their entries; equal keys keep no particular order.
void dir_list_sort(dir_list *list, u64 *keys);

// 100-ns units since 1601-01-01 UTC from Unix seconds and nanoseconds (0 before 1601).
u64 file_time_from_unix(s64 seconds, s64 nanoseconds);
