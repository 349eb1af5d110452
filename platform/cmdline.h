// The command line: the splitter that turns one command-line text into arguments, and the
// process's argument table that options are looked up in. The table and the program location
// are filled once at start-up on the UI thread and only read afterwards.
#pragma once

#include "core/buffer.h"

// ---- Limits ------------------------------------------------------------------------------

#define PLATFORM_ARGUMENT_AREA_SIZE 2048
#define PLATFORM_ARGUMENT_MAX 128
#define PLATFORM_PROGRAM_PATH_AREA_SIZE 2048
#define PLATFORM_CURRENT_DIRECTORY_AREA_SIZE 4096

// ---- Splitting ---------------------------------------------------------------------------

// Splits a command line by the desktop's quoting rules: blanks separate arguments outside double
// quotes; a double quote after 2n backslashes writes n backslashes and toggles quoting, after
// 2n + 1 it writes n backslashes and a literal quote; other backslashes stay as they are. Empty
// arguments (a lone "") do not exist. The text ends at its length or at its first zero byte;
// bytes that are not UTF-8 become U+FFFD.
// Into the arena go the arguments' bytes, each followed by a zero byte, then, at an 8-byte
// boundary, the array of their addresses closed by a null pointer (ready for a program start).
// Returns the number of arguments, or 0 with the arena unchanged when there are none or the
// arguments and their array do not fit: a command cut short is never run.
u32 command_line_split(const u8 *text, u64 length, buffer *area, u8 ***argv_out);

// ---- The process's arguments -------------------------------------------------------------

// Copies the system's arguments (already UTF-8 bytes) into the process's argument area, each
// followed by a zero byte, then the array of their addresses. An argument that does not fit ends
// the copy (logged); empty arguments are kept, so "-path" "" is an empty value, not a shift of
// every later argument. Returns the number kept.
u32 platform_command_line_to_argv(int argc, char **argv, u32 *count_out, u8 ***argv_out);
// Fills the argument table (at most PLATFORM_ARGUMENT_MAX arguments, the rest ignored) and the
// program location: the program's folder with its closing '/', its file name and the current
// folder at start-up. A location that does not fit its area stays empty (logged).
void platform_init_arguments(u32 count, u8 **argv);

u32 platform_argument_count();
// The argument {length + 1, length, bytes}; the all-zero buffer past the count.
buffer platform_argument(u32 index);
// Index of the first argument at or after start equal to the name byte for byte; 0 when none
// (argument 0 is the program, never an option).
u32 platform_argument_find(const void *name, u64 length, u32 start);
// The argument after the named one, searched from *index (or 0), and *index set to its position;
// the all-zero buffer, *index unchanged, when the name is absent or last.
buffer platform_argument_value(const void *name, u64 length, u32 *index);

buffer platform_program_directory();
buffer platform_program_name();
buffer platform_current_directory();
