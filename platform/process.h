// Starting other programs and the quit signals. A program is always started from an argument
// vector, never through a shell, and inherits no descriptor but the standard three: every
// descriptor this program opens is close-on-exec.
#pragma once

#include "core/buffer.h"

// Programs started without waiting that have not yet been reaped; when all are still running a
// further start is refused.
#define PLATFORM_CHILD_MAX 64
// The local area a command line is split into.
#define PLATFORM_COMMAND_LINE_AREA_SIZE KiB(16)

// ---- Starting programs -------------------------------------------------------------------

// argv is closed by a null pointer; argv[0] is looked up in PATH when it holds no '/'. The folder
// (may be empty: this program's current folder) becomes the program's current folder. With wait
// non-zero the call returns when the program has ended; *exit_code (when given) is its exit
// status, and a program ended by a signal makes the result 0. Without wait, asking for an exit
// code makes the result 0 (the program is still running). A failed start is logged with the
// system's message, and file_error_reason then gives that reason on this thread (0 for a start
// refused before the system was asked), for the caller's own line. 1 when the program started
// (and, as asked, ended normally).
u32 platform_run_argv(u8 *const *argv, buffer folder, int wait, u32 *exit_code);
// Splits the command line (command_line_split) in a local area and starts it. A command line
// that is empty or does not fit is logged and gives 0.
u32 platform_run_program(buffer command_line, buffer folder, int wait, u32 *exit_code);
// Runs the program with its standard output in a pipe and waits at most timeout_ms for it to end
// (then it is killed); what it wrote is appended to out as far as out's free room goes. 1 when it
// ran and ended normally, with *exit_code (when given) its exit status.
u32 platform_run_argv_output(u8 *const *argv, buffer *out, u32 timeout_ms, u32 *exit_code);
// Starts the program (looked up in PATH) with its standard output in a pipe: 1 with the pipe's
// read end (close-on-exec) and the process id, for the caller to read and to wait for; 0 when
// it did not start (logged, with its reason for file_error_reason as above).
u32 platform_start_with_output(u8 *const *argv, s32 *output_fd, s32 *pid);
// Collects every started program that has ended; the frame loop calls it so none stays a zombie.
// Returns how many are still running.
u32 platform_reap_children();

// ---- Quit signals ------------------------------------------------------------------------

// SIGTERM, SIGINT and SIGHUP (a kill, Ctrl-C, the end of a session) request the normal quit, so
// the store is still saved; SIGPIPE is ignored so a closed pipe is an error code, not a death.
void platform_install_quit_signals();
// True once one of those signals arrived; the main loop reads it each frame.
bool platform_quit_signalled();
// Sleeps until a quit signal arrives (true) or platform_quit_signal_wait_end is called (false);
// a signal that came before the call ends it at once. A thread that must act on the signals
// (the window system's wait is not ended by them) waits here instead of polling the flag.
bool platform_quit_signal_wait();
// Ends the wait above for good; called once, at exit.
void platform_quit_signal_wait_end();
#if QM_TEST_HOOKS
// Clears the flag (tests).
void platform_quit_signal_reset();
#endif
