// What a file needs to survive a crash or a power cut: its bytes forced to the disk, an atomic
// replacement of one name by another, and the folder's entry forced to the disk after a rename.
#pragma once

#include "core/buffer.h"
#include "platform/files.h"

// Each sets file_error_write (sync) or file_error_open (rename, folder sync) in the sticky word
// and logs the system's message on failure; nothing when the word is already set.
void file_sync(platform_file handle, u32 *error);
void file_rename(buffer from, buffer to, u32 *error);
void dir_sync(buffer path, u32 *error);
