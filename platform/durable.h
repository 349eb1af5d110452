// What a file needs to survive a crash or a power cut: its bytes forced to the disk, an atomic
// replacement of one name by another, and the folder's entry forced to the disk after a rename;
// and files and folders made for the user alone.
#pragma once

#include "core/buffer.h"
#include "platform/files.h"

// Each sets file_error_write (sync) or file_error_open (rename, folder sync) in the sticky word,
// with the system's reason for file_error_reason, and logs the system's message on failure;
// nothing when the word is already set.
void file_sync(platform_file handle, u32 *error);
// Starts writing a range already written to the disk without waiting for it, so a long write's
// final file_sync has less left to wait for. Only a hint: nothing is reported.
void file_sync_start(platform_file handle, u64 offset, u64 count);
void file_rename(buffer from, buffer to, u32 *error);
void dir_sync(buffer path, u32 *error);

// Files that hold the user's reading are for the user alone. Creates (or empties) a file with
// mode 0600, also when one of that name was already there with another mode; a symbolic link
// of that name is refused. file_error_open on failure, logged.
platform_file file_create_private(buffer path, u32 *error);
// Creates one folder with mode 0700; 1 also when a folder of that name is already there (its mode
// is left as it is). file_error_dir_create on failure, logged.
u32 dir_create_private(buffer path, u32 *error);
