// The system's file dialog. The desktop's own chooser through the XDG desktop portal
// (org.freedesktop.portal.FileChooser on the session bus) when a portal runs, else the first of
// zenity, kdialog and yad that is installed, started from an argument vector. The dialog runs
// beside the frame loop: a thread of its own waits for the answer and wakes the window, and the
// UI thread polls each frame, so the window keeps drawing while the dialog is open. One dialog
// at a time.
#pragma once

#include "core/buffer.h"

enum file_chooser_mode : u32 {
  file_chooser_mode_open = 0,  // an existing file to read
  file_chooser_mode_save = 1,  // a file to write, which may not exist yet
};

enum file_chooser_status : u32 {
  file_chooser_idle = 0,       // no dialog was started, or its answer was taken
  file_chooser_running = 1,    // the dialog is open
  file_chooser_chosen = 2,     // the user chose a file: the path was handed out
  file_chooser_cancelled = 3,  // closed without a choice
  file_chooser_failed = 4,     // no chooser could be shown (logged, with what to install)
};

// Which ways the dialog may be shown (tests).
enum : u32 {
  file_chooser_use_portal = 0x1,
  file_chooser_use_programs = 0x2,
  file_chooser_use_all = 0x3,
};

// Opens the dialog at the start path: a folder when it ends with '/', else a file whose folder
// is shown (and whose name is proposed when saving); empty for the chooser's own default. The
// path is tidied first: '\' becomes '/', and '<', '|' and '"' become blanks. wake (may be null)
// is called from the dialog's thread once the answer is in. False, with a log line, when a
// dialog is already open or its thread cannot start.
bool file_chooser_start(buffer start_path, u32 mode, void (*wake)());
// The dialog's status. When it is file_chooser_chosen the chosen path has replaced out's text
// (or, when it does not fit out, out is unchanged and the status is file_chooser_failed, logged);
// a finished status is handed out once, after which the chooser is idle again.
u32 file_chooser_poll(buffer *out);
bool file_chooser_is_open();
#if QM_TEST_HOOKS
// Restricts the ways tried (file_chooser_use_*); all by default.
void file_chooser_set_ways(u32 ways);
#endif
