// The desktop's default application for a kind of file or link, found the way the desktop finds
// it: the mimeapps.list files of the configuration and data folders (the current desktop's own
// "<desktop>-mimeapps.list" first), then the applications' mimeinfo.cache, each naming desktop
// entries by id; the entry's Exec line, with its field codes removed and its quoting undone, is
// the command. Only small files are read, directly: no helper program is waited for, so the UI
// thread can ask.
#pragma once

#include "core/buffer.h"

// A desktop entry larger than the first, or a mimeapps.list or mimeinfo.cache larger than the
// second, is not one and is skipped (logged).
#define DESKTOP_ENTRY_FILE_MAX KiB(64)
#define DESKTOP_LIST_FILE_MAX MiB(1)
// The file names one look-up tries at most (each id in each data folder, with its dash
// choices), so a look-up stays far below the 50 ms a frame may wait; reaching it is logged.
#define DESKTOP_LOOKUP_FILES_MAX 1024
// Ids listed for one type in one group of one file that are tried (over all the lines that name
// the type), and the dashes of one id that are tried as folder separators
// ("kde-org.kate.desktop" may lie at kde/org.kate.desktop).
#define DESKTOP_IDS_PER_TYPE_MAX 32
#define DESKTOP_ID_DASHES_MAX 6

// The command line of the default application for the MIME type ("x-scheme-handler/https"), in
// the form the program starter splits (blanks between arguments, double quotes around one with
// blanks, a backslash before a quote inside it), appended to out; links go after it as further
// arguments, or where an argument holds "%u". The all-zero buffer (out unchanged) when no listed
// application is installed, its entry has no usable Exec line, or the command does not fit.
buffer desktop_default_command(buffer mime_type, buffer *out);

// The Exec value of a desktop entry, as written in the file, turned into that command line:
// string escapes and quoting undone, "%%" made "%", the field codes (%f %F %u %U %i %c %k and the
// deprecated ones) removed and an argument that held only field codes dropped, except that %u or
// %f inside an unquoted argument ("--url=%u") becomes "%u", where the opener puts the link. In an
// argument without blanks a literal '%' that a 'u' or a '%' follows stays "%%" ("--fmt=%%u"),
// which the opener reads as a '%', so the link is never put there. A link code inside a quoted
// argument is removed (the argument may be a shell's command), which is logged. The all-zero
// buffer (out unchanged) for an empty result or when it does not fit.
buffer desktop_exec_to_command_line(buffer exec, buffer *out);

// ---- Work --------------------------------------------------------------------------------

#if QM_TEST_HOOKS
// The ids tried and the removed ids compared by every look-up so far: the work that tests count.
u64 desktop_lookup_steps();
#endif
