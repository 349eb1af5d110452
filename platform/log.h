// The global log: one process-wide, append-only UTF-8 text in large chunks that are never moved
// or freed, so the view an append returns stays valid for the whole process. Any thread may
// append; one lock makes each append a single step and lets the log page read the newest chunk
// while workers write. Beside it, debug lines for the developer go to stderr when
// QUILLMERE_DEBUG=1 is set in the environment.
#pragma once

#include "core/buffer.h"

// ---- Types -------------------------------------------------------------------------------

// A node of the circular chunk list; a static sentinel closes the ring.
struct log_chunk {
  buffer text;  // one block from the system: size its bytes, used the text stored
  log_chunk *prev;
  log_chunk *next;
};

#define LOG_CHUNK_SIZE MiB(1)
#define LOG_NODE_BLOCK_SIZE MiB(1)

// ---- Appending ---------------------------------------------------------------------------
// Each returns the stored copy as a view, or the all-zero view when no memory was left (nothing
// is stored then and earlier text stays as it was). A text never spans two chunks. What is stored
// is text whatever the bytes given: each broken UTF-8 sequence becomes U+FFFD, and a control
// character other than tab and line feed is written as an escape ("\x1b", "\u009b"), so the
// stored copy may be longer than the bytes given.

buffer log_append(const void *text, u64 n);
inline buffer log_append_string(buffer text) { return log_append(text.data, text.used); }
// Four spaces per level.
buffer log_indent(u64 level);
buffer log_unsigned(u64 value, u64 width, int pad, u32 flags);
buffer log_signed(s64 value, u64 width, int pad, u32 flags);
// The system's message for an errno value, with a line end.
buffer log_system_error(u32 code);
// One line "<operation> failed: <code name> (<code>): <path>" for a failed file operation,
// appended whole so no other thread's text lands inside it; for a failure that no system call is
// behind (a path that does not fit).
buffer log_file_error(buffer operation, buffer path, u32 error);
// The same with what the system said after the path: "... : <path>: No space left on device".
// The reason is file_error_reason() read on the thread that failed, right after the failure (a
// worker's travels with its result); 0 adds nothing.
buffer log_file_error_reason(buffer operation, buffer path, u32 error, u32 reason);

// ---- Reading -----------------------------------------------------------------------------

// 1 when the newest chunk holds no text (also before the log is first used).
u32 log_is_empty();
// The newest chunk's text as it stands now (the whole log while it fits in one chunk). Its bytes
// never change afterwards, so the view may be read without the lock.
buffer log_last_text();
// Copies up to max chunk records, oldest first, and returns how many chunks there are.
u32 log_chunk_list(buffer *out, u32 max);
// Writes the whole log to the file, replacing it; nothing when the log is empty. Every save has
// an error word of its own, so no earlier failure elsewhere can stop it; a failure is returned
// and also reported in the log.
u32 log_save(buffer path);

// ---- Standard error ----------------------------------------------------------------------

// Writes the text to standard error whatever QUILLMERE_DEBUG says: for what the user must see
// once the window is gone (a save at exit that failed).
void log_write_stderr(buffer text);

// ---- Debug output ------------------------------------------------------------------------

// True when QUILLMERE_DEBUG=1 was set at the first debug line.
bool debug_output_enabled();
// "[hh:mm:ss:micro] " with micro as six digits in two groups ("[01:02:05:500 000] ") pushed
// into out; the count of bytes pushed.
u64 debug_format_timestamp(f64 seconds, buffer *out);
// The text after the time since the first call of this function; no line end is added.
void debug_print_timestamped(buffer text);
void debug_print_unsigned(u64 value, int newline);
void debug_print_double(f64 value, int newline);
