// The reading and writing side of the profiler: the "PROF" file that a profiled run leaves in
// "profile.bin", the loader that turns such a file (or the live buffers) into one call tree per
// thread with per-zone statistics, and the plain-text report.
//
// A profile file is input like any other: the loader checks every offset, count, length, zone
// and kind against the image before it uses it, and a file that does not hold together is
// rejected with an error code, never read out of bounds.
#pragma once

#include "core/buffer.h"
#include "platform/files.h"
#include "profiler/profiler.h"

// ---- Errors ------------------------------------------------------------------------------

// The profiler's sticky error word: an operation does nothing while it is set and sets it only
// while it is zero. 3 (profiler_error_no_memory) is shared with the runtime.
enum : u32 {
  profiler_error_none = 0,
  profiler_error_no_data = 1,      // the reader was given no data
  profiler_error_past_end = 2,     // a read or write went past the end of its block
  profiler_error_create = 4,       // creating the file failed
  profiler_error_magic = 5,        // the data does not begin with "PROF"
  profiler_error_version = 6,      // the version is not 1
  profiler_error_write = 7,        // a system write failed
  profiler_error_short_write = 8,  // fewer bytes were written than asked
  profiler_error_malformed = 9,    // a field is out of range or the fields do not agree
};
#define PROFILER_ERROR_CODE_COUNT 10

// The code's name ("profiler_error_magic"), "profiler_error_unknown" for a value no code has.
const char *profiler_error_name(u32 code);

// ---- File format -------------------------------------------------------------------------

#define PROFILER_FILE_NAME "profile.bin"
#define PROFILER_FILE_MAGIC 0x464F5250u  // "PROF" read as a little-endian u32
#define PROFILER_FILE_VERSION 1u
#define PROFILER_FILE_HEADER_SIZE 40u
// Fields 12 to 22 of the metadata: frequency, run lengths, conversion kind, method, shift, bias,
// hypervisor scale and offset, multiplier and its shift.
#define PROFILER_FILE_CALIBRATION_SIZE 59u
// The metadata's fixed part: three u32 counts and two u64 name totals.
#define PROFILER_FILE_COUNTS_SIZE 28u
// Limits a loaded file must keep. The runtime never has more than its 128 records; the zone
// bound (this build has 138) keeps the statistics a forged file can ask for, 52 bytes per zone
// and thread, below 28 MB.
#define PROFILER_FILE_MAX_THREADS PROFILER_MAX_THREADS
#define PROFILER_FILE_MAX_ZONES 4096u

// How a profile turns TSC ticks into counter ticks.
enum : u8 {
  // t × qpc_run / tsc_run: the run's own ratio. This build's runtime measures the TSC against the
  // monotonic clock (profiler_tsc_method_monotonic), and its files say so with this kind.
  profiler_conversion_ratio = 0,
  // The kernel's parameters: (t + bias) >> shift, with the hypervisor's scale and offset applied
  // first under method 2. Methods 0, 1 and 2 only.
  profiler_conversion_system = 1,
  // (multiplier × t) >> multiplier_shift in 128 bits.
  profiler_conversion_multiplier = 2,
};

// ---- Tree and statistics -----------------------------------------------------------------

// Node flags, taken from the begin event.
enum : u32 {
  profiler_node_frame = 0x4,
  profiler_node_collapsed = 0x8,
};

// One zone instance; the root stands for the whole thread. Nodes live in their thread's tree
// block, each followed by its zero-terminated label copy (padded to 8 bytes).
struct profiler_node {
  u32 zone;
  u32 flags;
  u64 child_count;
  profiler_node *parent;
  profiler_node *next_sibling;
  profiler_node *first_child;
  profiler_node *last_child;
  // Durations are end - begin; an end never lies before its begin (the build clamps it).
  u64 tsc_begin;
  u64 tsc_end;
  u64 tsc_children;  // sum of the children's durations
  u64 qpc_begin;
  u64 qpc_end;
  u64 qpc_children;
  const char *label;  // null when the label is empty
};
static_assert(sizeof(profiler_node) == 104, "nodes are 104 bytes plus their label");

// Per-zone rows in one block of 52 bytes per zone. While computing, row i is zone i; compact and
// sort then move rows together and zone_index says whose each row is.
//
// One rule for self time everywhere: every instance of a zone adds its duration minus its
// children's durations, so a zone nested in itself (A in A) keeps the inner instance's own time,
// and only time spent in other zones is excluded. The total counts the outermost instance only.
struct profiler_stats {
  u32 row_count;
  u32 used_rows;
  profiler_node **first_open;  // outermost open instance while adding; null otherwise
  u64 *total;
  u64 *self;
  u64 *total_ticks;
  u64 *self_ticks;
  u64 *calls;
  s32 *zone_index;
  buffer block;
};
static_assert(sizeof(profiler_stats) == 88, "the statistics header is 88 bytes");
#define PROFILER_STATS_ROW_SIZE 52u

enum : u32 {
  profiler_stats_descend = 0x1,    // compute: add nested zones too, not only the root's children
  profiler_stats_ascending = 0x1,  // sort: smallest total first
};

struct profiler_window {
  u64 tsc_begin;
  u64 tsc_end;
  u64 qpc_begin;
  u64 qpc_end;
};

// The clipped durations a windowed computation covered.
struct profiler_window_times {
  u64 cycles;
  u64 ticks;
};

struct profiler_iterator {
  profiler_node *root;
  profiler_node *current;
};

// ---- Profile -----------------------------------------------------------------------------

struct profiler_profile_thread {
  u64 event_bytes;
  profiler_node *root;
  buffer tree;  // the thread's node block
  u32 kind;
  u32 reserved;
  profiler_stats stats;
};

struct profiler_profile {
  // The profile's own tables: names, their lengths and pointers, the thread records.
  buffer arena;
  // Report layout, set once every tree is built.
  u32 name_width;
  u32 longest_zone_name;
  u32 longest_kind_name;
  u32 indent;
  u64 max_root_cycles;
  u64 max_root_ticks;
  u16 cycles_width;
  u8 seconds_width;
  // Clock calibration of the run.
  u8 tsc_conversion;
  u8 tsc_method;
  u8 qpc_shift;
  u64 qpc_frequency;
  u64 tsc_run;
  u64 qpc_run;
  u64 qpc_bias;
  u64 hypervisor_scale;
  u64 hypervisor_offset;
  u32 multiplier;
  u32 multiplier_shift;
  // Names: text pointers into the arena, not zero-terminated.
  u32 kind_count;
  u32 zone_count;
  u16 *kind_name_lengths;
  const u8 **kind_names;
  u16 *zone_name_lengths;
  const u8 **zone_names;
  u32 thread_count;
  profiler_profile_thread *threads;
};

// ---- Block cursors -----------------------------------------------------------------------

// A cursor {size, 0, data} over bytes to read; null data sets 1 and gives the all-zero cursor.
buffer profiler_reader_make(u64 size, const void *data, u32 *error);
// Each read takes the next bytes and advances; past the end nothing moves, 2 is set and the value
// is 0 (null for bytes).
const u8 *profiler_read_bytes(buffer *reader, u64 n, u32 *error);
u8 profiler_read_u8(buffer *reader, u32 *error);
u16 profiler_read_u16(buffer *reader, u32 *error);
u32 profiler_read_u32(buffer *reader, u32 *error);
u64 profiler_read_u64(buffer *reader, u32 *error);
// The writing side: the bytes go at data + used; past size nothing moves and 2 is set.
void profiler_push_bytes(buffer *block, const void *source, u64 n, u32 *error);
void profiler_push_u8(buffer *block, u8 value, u32 *error);
void profiler_push_u16(buffer *block, u16 value, u32 *error);
void profiler_push_u32(buffer *block, u32 value, u32 *error);
void profiler_push_u64(buffer *block, u64 value, u32 *error);
// (-value) mod alignment, for a power-of-two alignment.
u8 profiler_align_padding(u64 value, u64 alignment);

// ---- Writing -----------------------------------------------------------------------------

// The metadata size for T threads with the given name totals.
u64 profiler_metadata_size(u32 kind_count, u32 thread_count, u32 zone_count, u64 kind_bytes,
                           u64 zone_bytes);
// The metadata of the live profiler in a fresh block {M, M, data}; release it with memory_free.
buffer profiler_metadata_build(u32 *error);
// Writes count bytes at offset; 7 when the system call fails, 8 when fewer bytes went out.
u64 profiler_write_all(platform_file handle, u64 offset, const void *data, u64 count, u32 *error);
// Writes header, metadata, padding and every thread's events (call after stop). Creation fails
// with 4 when the file cannot be made (or exists and overwrite is 0). Returns the bytes written.
u64 profiler_write_file(const char *name, int overwrite, u32 *error);

// ---- Loading -----------------------------------------------------------------------------

// Fills the profile's names, thread sizes and kinds and calibration from a metadata block.
void profiler_metadata_read(profiler_profile *profile, const u8 *address, u64 size, u32 *error);
// Loads an image: every thread's tree and statistics, then the report widths. On any error the
// profile comes back all zero with nothing held. The image needs no alignment and is not kept.
profiler_profile profiler_load(const u8 *image, u64 size, u32 *error);
// Reads a whole file and loads it; a file that cannot be read gives 1 (no data).
profiler_profile profiler_load_file(const char *name, u32 *error);
// Fills a profile from the live profiler: names, per-thread event bytes and kinds, calibration.
void profiler_profile_from_live(profiler_profile *profile, u32 *error);
// Trees and statistics for every live thread (call after stop: every zone must be closed).
void profiler_analyze_live(profiler_profile *profile, const char *label, u64 label_length, u32 *error);
void profiler_profile_free(profiler_profile *profile);

// ---- Trees -------------------------------------------------------------------------------

// Builds one thread's tree from its events into a fresh block (which must be all zero); with
// stats, fills them (compacted, sorted by total, largest first). Unbalanced events, an unknown
// zone or flag word give 9; the root comes back null on any error.
profiler_node *profiler_tree_build(profiler_profile *profile, const u8 *events, u64 bytes, const char *label,
                                   u64 label_length, buffer *block, profiler_stats *stats, u32 *error);
// Appends a child for a begin event; 2 when the block has no room for it.
profiler_node *profiler_tree_push_node(profiler_profile *profile, buffer *block, profiler_node *parent,
                                       const profiler_event *begin, const char *label, u64 label_length,
                                       u32 *error);
// Bytes one node takes with a label of that length.
u64 profiler_node_stride(u64 label_length);
void profiler_report_widths(profiler_profile *profile);
u64 profiler_ticks_to_qpc(const profiler_profile *profile, u64 tsc);
// The zone with exactly that name, or all ones when none (or the name is null).
u32 profiler_zone_find(const profiler_profile *profile, const char *name, u64 length);

// ---- Statistics --------------------------------------------------------------------------

void profiler_stats_create(profiler_stats *stats, u32 row_count, u32 *error);
void profiler_stats_reset(profiler_stats *stats);
void profiler_stats_free(profiler_stats *stats);
void profiler_stats_compute(profiler_stats *stats, const profiler_node *root, u32 flags);
// The same, each node clipped to the window on both clocks; nodes outside it are skipped.
profiler_window_times profiler_stats_compute_window(profiler_stats *stats, const profiler_node *root, u32 flags,
                                                    profiler_window window);
u32 profiler_stats_count_used(const profiler_stats *stats);
void profiler_stats_compact(profiler_stats *stats);
// Equal totals keep zone order, so a report never depends on the sort's path.
void profiler_stats_sort(profiler_stats *stats, u32 flags);

// ---- Tree queries and walks --------------------------------------------------------------

bool profiler_node_is_root(const profiler_node *node);
profiler_node *profiler_node_root(profiler_node *node);
// The first direct child in that zone; else the same search in each child's subtree, in order.
profiler_node *profiler_node_find_child(profiler_node *node, u32 zone);
// Depth first from node: the first non-root node in that zone.
profiler_node *profiler_node_find(profiler_node *node, u32 zone);
profiler_iterator profiler_iterator_make(profiler_node *root);
profiler_node *profiler_iterator_next_depth(profiler_iterator *it);
profiler_node *profiler_iterator_next_breadth(profiler_iterator *it);

// ---- Report ------------------------------------------------------------------------------

// Numbers for the report, pushed whole or not at all (2 when they do not fit). Flags: format_hex
// and format_no_prefix.
u64 profiler_arena_push_unsigned(buffer *out, u64 value, u64 width, u8 pad, u32 flags, u32 *error);
// The whole part as above (a "-" before it for negative values), then "." and decimals digits
// (at most 18).
u64 profiler_arena_push_float(buffer *out, f64 x, u64 width, u8 pad, u32 decimals, u32 *error);
// "# Tree" lines of node's subtree (the root prints nothing; its children are at depth).
u64 profiler_report_tree(const profiler_profile *profile, buffer *out, const profiler_node *node, u32 depth,
                         u32 *error);
u64 profiler_report_thread(const profiler_profile *profile, u32 thread, buffer *out, u32 *error);
// Every thread's report, each followed by a line of 100 '-'. Returns the bytes written.
u64 profiler_report(const profiler_profile *profile, u8 *memory, u64 size, u32 *error);
u64 profiler_report_live(u8 *memory, u64 size, u32 *error);
