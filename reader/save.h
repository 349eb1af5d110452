// The save file: the whole store in one file of the data folder, named after the UTC time of the
// save, the ten newest kept. A save never changes the live store: it writes a compacted image
// (records moved to the front of their pools, ids and generations renumbered densely, strings
// rewritten without garbage, the code-point list rebuilt) so every id, pointer and generation
// the program holds stays valid across a save made while it runs.
#pragma once

#include "reader/reader.h"

#define SAVE_FILE_MAGIC "feed"
#define SAVE_FILE_VERSION 1u
#define SAVE_FILE_HEADER_END 88u
#define SAVE_FILE_COUNTERS_END 108u
#define SAVE_FILE_OPENERS_SIZE 800u
#define SAVE_FILE_KEEP 10u
// A listing takes in the whole data folder up to this many ".bin" files, far beyond any real
// folder; past it the rest is left out with a log line.
#define SAVE_FILE_LIST_MAX 65536u
// An empty store's file: 108 + 7 zero counts + openers + 193 code points + a zero length.
#define SAVE_FILE_EMPTY_SIZE 1716u

// ---- Writing -----------------------------------------------------------------------------

// Writes the image to a temporary file beside the path, forces it to the disk, renames it over
// the path and forces the folder: a crash at any point leaves either the old file or the whole
// new one under the name. The image is written in large pieces straight from the store's memory
// (no second copy of the store is made), each part checked with the loader's own checks as it
// goes out, so a save never leaves a file the loader would refuse. Errors in the sticky word
// (file errors, or file_error_out_of_memory when the tables of the image cannot be made); the
// temporary file is removed on error.
void reader_write(reader *r, buffer path, u32 *error);
// The image in a fresh block from the system (release with memory_free); the empty buffer, with
// a log line, when it cannot be built.
buffer reader_write_image(reader *r);

// What the saves of a run may do to the data folder's files (the reader's save_rule), as
// reader_load found the folder.
enum : u32 {
  save_rule_rotate = 0,      // the oldest files are deleted so that ten remain
  save_rule_keep_files = 1,  // a file could not be read or held at start: saves delete none
  save_rule_none = 2,        // and none loaded (or it is not marked, or the folder could not be
                             // listed): no save
};

// Creates the data folder (with its parents; the folder itself with mode 0700), writes a file
// (mode 0600) named later than every save file already there (the clock may have run back) and,
// only after a good write, deletes the oldest save files so that ten remain; the file just
// written is never deleted, nor is one a mark keeps (left at a start). The reader's save_rule
// may forbid the deleting or the whole save. False on failure (logged "Error while saving the
// reader.\n "; no file is deleted then), also when no later name than the newest file's is left.
bool reader_save(reader *r, buffer data_folder);

// ---- Reading -----------------------------------------------------------------------------

// Loads a save image into a freshly initialised reader. Every field is checked before use:
// sections, counts against capacities, string ranges, ids, owners, kinds, opener indexes, dates,
// generations, code points, and the counts the records keep of their links. A file that fails
// any check is refused with a log line and the reader is left freshly initialised (empty); so is
// one the reader has no memory for.
bool reader_read_bytes(reader *r, const u8 *bytes, u64 size);
// The same from a file, read in large pieces straight into the pools and the arena. What is not
// the bytes' fault goes to the sticky word: the file's errors, and file_error_out_of_memory when
// memory for it could not be had; a refusal of the bytes leaves the word at zero.
bool reader_read(reader *r, buffer path, u32 *error);
// Tries the save files of the folder newest first until one loads; each refusal is logged. A
// file whose bytes are refused is set aside under its name with ".rejected" appended
// (".<k>.rejected" when that is taken), out of the rotation and never deleted; one that could
// not be read, or held for want of memory, is left where it is and marked (a hidden
// ".<name>.left" beside it, holding why), so that no later save deletes it, and the reader's
// save_rule then keeps the run's saves from deleting any file (from saving at all when none
// loaded, when the mark could not be written, or when the folder could not be listed). A line
// for each left file says which, why and what the run's saves do. A marked file that loads
// loses its mark; one older than the file loaded is kept, with a line saying so. The store
// stays empty when none loads or there are none. Returns the number of the file loaded, 0 for
// none.
u64 reader_load(reader *r, buffer data_folder);
// Empties a reader in place: pools, counters, openers, the arena's used length; the code-point
// set (when there is one) goes back to its 193 start code points.
void reader_reset(reader *r);

// ---- Names -------------------------------------------------------------------------------

// The decimal key YYYYMMDDhhmmss of a name whose last component is exactly
// "feed_data_yyyymmdd_hhmmss.bin" with a valid date; 0 for any other name.
u64 reader_save_file_number(const u8 *name, u64 length);
