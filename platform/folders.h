// Known folders: where the store's save files live and the user's desktop (the default place of
// the exported URL list). Paths are UTF-8 with '/' and no trailing separator.
#pragma once

#include "core/buffer.h"

enum platform_folder_kind : u32 {
  platform_folder_data_home = 1,  // $XDG_DATA_HOME, by default ~/.local/share
  platform_folder_desktop = 2,    // XDG_DESKTOP_DIR of user-dirs.dirs, $HOME when it is absent
};

// The folder's path carved from the arena (exactly its bytes), or the all-zero buffer with a log
// line: an unknown kind, no home folder, or no room in the arena (which is then unchanged).
buffer platform_get_path(buffer *arena, u32 kind);
// The data folder: the value after "-path" when there is one and it is not empty, otherwise the
// data home followed by "/quillmere". Carved from the arena like platform_get_path.
buffer platform_data_folder(buffer *arena);
// Creates the folder and every missing parent. 1 when the folder exists afterwards; a failure
// sets file_error_dir_create (or file_error_path for a path that does not fit).
u32 dir_create_all(buffer path, u32 *error);
