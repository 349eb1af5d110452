// What the save file's writer, checker, reader and folder share: the records' sizes in the file,
// the parts of a record its kind leaves zero, the dates a file may hold, the built-in code points,
// the walk over the code points of texts, where an image's bytes come from, and the check of an
// image that the writer runs on what it writes and the reader on what it reads.
#pragma once

#include <string.h>

#include <algorithm>

#include "reader/save.h"
#include "reader/store_internal.h"

// ---- Layout ------------------------------------------------------------------------------

extern const u64 save_record_size[7];

// The part of a record the kind does not use: kept zero in images and in loaded records.
#define FEED_ATOM_END 280u
#define ENTRY_ATOM_END 192u

static inline void log_text(const char *text) { log_append(text, strlen(text)); }

void zero_unused_layout(u32 which, void *record);

// No date, or one on the calendar: a later step of the program may take any stored date apart.
static inline bool date_ok(date d) { return date_is_zero(d) || (date_is_valid(d) && d.zero == 0); }

static inline bool link_owned_by_feed(u32 kind) { return kind & 1; }
static inline bool link_targets_category(u32 kind) { return kind <= link_kind_atom_entry_category; }
static inline u32 link_owner_type(u32 kind) { return kind <= 2 ? feed_type_rss : feed_type_atom; }

static inline u32 read_u32(const u8 *p) {
  u32 v;
  memcpy(&v, p, 4);
  return v;
}

// The sections of an image: where each begins and how many items it holds.
struct image_layout {
  u32 count[7];     // records of each pool
  u64 pool_at[7];   // first record of each pool
  u32 counters[5];  // next_feed_id, entry_counter, category_counter, person_counter, generation
  u64 openers_at;
  u64 codepoints_at;  // first code point
  u32 codepoints;
  u32 strings_length;
  u64 strings_at;  // first arena byte
};

// What a reader can take: its pools' capacities and its arena's reservation.
struct image_limits {
  u32 capacity[7];
  u64 strings;
};

image_limits reader_limits(reader *r);

// ---- Built-in code points ----------------------------------------------------------------

// The 193 code points every set starts with, in their order.
u32 builtin_codepoints(u32 *out);

#define CODEPOINT_WORDS (CODEPOINT_SET_CAPACITY / 64)

static inline void bit_set(u64 *bits, u32 c) { bits[c >> 6] |= 1ull << (c & 63); }
static inline bool bit_get(const u64 *bits, u32 c) { return bits[c >> 6] >> (c & 63) & 1; }

// ---- The code points of texts ------------------------------------------------------------
// The texts of an image are one run of bytes: every code point they decode to counts, U+0000
// aside, and a byte that does not decode is passed over alone. A decoder that passes over what
// it refuses one byte at a time reaches every byte that is not a continuation (a well-formed
// sequence holds only continuations after its lead) and never visits one that is, so the code
// points are those of the whole, well-formed sequences at lead bytes, wherever they stand, and
// the ASCII bytes: each lead is judged on its own bytes alone. A broken sequence stands for
// U+FFFD, as the store counts it, and every list holds U+FFFD from the start: it adds nothing.
// The bytes are classified and decoded as the store does when it registers a text.

// The sequence at a lead with fewer than its bytes before end: true when every byte there is a
// continuation, so that the bytes after end may still finish it.
static inline bool utf8_cut(const u8 *q, const u8 *end) {
  if ((u64)(end - q) >= unicode_utf8_lead_length(*q)) return false;
  for (const u8 *c = q + 1; c < end; ++c)
    if ((*c & 0xC0) != 0x80) return false;
  return true;
}

// Calls visit(c) for the code points of [p, end), in no particular order: printable ASCII only
// when printable_known is false (the caller's list lacks some of it), every other code point
// always. Sixteen bytes at a time, four times over, give the leads and the control bytes among
// 64. With more to come after end, a lead cut by end is left for the caller to finish with the
// next bytes: the return is where it stands (the bytes after it are its continuations);
// otherwise the return is end.
template <class F>
const u8 *texts_codepoints(const u8 *p, const u8 *end, bool more_to_come, bool printable_known, F visit) {
#if UNICODE_UTF8_SIXTEEN
  while (printable_known && end - p >= 64 + 3) {
    u64 leads = 0, controls = 0;
    for (u32 k = 0; k < 4; ++k) {
      u32 lead, continuation;
      u64 control = unicode_utf8_classify16(p + 16 * k, &lead, &continuation);
      leads |= (u64)lead << (16 * k);
      controls |= control << (16 * k);
    }
    for (; leads; leads &= leads - 1) {
      u32 c = 0;
      if (utf8_decode_one(p + __builtin_ctzll(leads), end, &c)) visit(c);
    }
    for (; controls; controls &= controls - 1)
      if (u8 b = p[__builtin_ctzll(controls)]) visit((u32)b);
    p += 64;
  }
#endif
  for (; p < end; ++p) {
    u8 b = *p;
    if (b < 0x80) {
      if (b && (!printable_known || b < 0x20 || b == 0x7F)) visit((u32)b);
      continue;
    }
    if (b < 0xC0) continue;
    if (more_to_come && utf8_cut(p, end)) return p;
    u32 c = 0;
    if (utf8_decode_one(p, end, &c)) visit(c);
  }
  return end;
}

// Texts handed over in pieces, taken as the one run they make: a lead cut by the end of one
// piece is finished with the bytes of the next.
struct texts_stream {
  u8 carry[4];
  u32 carry_length;
};

template <class F>
void texts_stream_push(texts_stream *s, const u8 *p, u64 n, bool printable_known, F visit) {
  if (s->carry_length) {
    // The carried lead with the piece's first bytes. A piece too short to finish it joins the
    // carry instead; the piece's own leads are then judged when the carry next is.
    u8 joined[8];
    u64 carried = s->carry_length, k = n < 4 ? n : 4;
    memcpy(joined, s->carry, carried);
    memcpy(joined + carried, p, k);
    s->carry_length = 0;
    if (utf8_cut(joined, joined + carried + k)) {
      memcpy(s->carry, joined, carried + k);
      s->carry_length = (u32)(carried + k);
      return;
    }
    u32 c = 0;
    if (utf8_decode_one(joined, joined + carried + k, &c)) visit(c);
    // The rest of the carry is continuations; the piece's leading continuations give nothing.
  }
  const u8 *q = texts_codepoints(p, p + n, true, printable_known, visit);
  s->carry_length = (u32)(p + n - q);
  memcpy(s->carry, q, s->carry_length);
}

// The end of the texts: a lead still carried is cut short and gives nothing.
inline void texts_stream_end(texts_stream *s) { s->carry_length = 0; }

// ---- Where an image comes from -----------------------------------------------------------

// An image in memory, or a file read at offsets.
struct image_source {
  const u8 *bytes;  // null for a file
  platform_file file;
  u64 size;
};

// Copies or reads n bytes at an offset inside the image; false, with the file's error in the
// word, when they could not be read.
bool image_source_read(const image_source *s, u64 at, u64 n, void *into, u32 *error);

// ---- Checking an image -------------------------------------------------------------------
// The reader checks a file with these before it installs anything of it, and the writer checks
// what it writes with the same ones, so a save never leaves a file its own loader refuses. A
// refusal is logged ("Save file rejected: " and the reason) and leaves the error word alone; a
// lack of memory sets it to file_error_out_of_memory.

// Where the file's own name begins in a path: past its last '/'.
inline u64 save_path_name_start(const u8 *path, u64 length) {
  while (length > 0 && path[length - 1] != '/') length--;
  return length;
}

// Logs "Save file rejected: " and the reason; false.
bool save_reject(const char *why);
// The reason of an image that passed every check above and then failed the store's own check:
// the two disagree, which the fuzzing of the loader looks for.
#define SAVE_REJECT_STORE_CHECK "the store's check finds it inconsistent"

// The structure: magic, version, header, each section against the header and the size, counts
// against the capacities. Reads only the words it needs, through the source.
bool image_layout_read(const image_source *s, const image_limits &limits, image_layout *out, u32 *error);

// One image's check, fed its parts in the file's order: the records of each pool, the openers,
// the code points, then the end, which compares what records say they own with what was found.
// The openers follow the pools in the file and in a checker's counts.
enum : u32 { image_part_opener = pool_metas + 1 };

struct image_checker {
  image_layout layout;
  buffer block;
  u8 *feed_kind;    // by feed id, once its record was checked
  u8 *entry_kind;   // by entry id
  u8 *meta_seen;    // by feed id
  u32 *feed_owed;   // 5 a feed: entries, categories, authors, contributors, Atom links it says it
                    // owns, less those found owned by it
  u32 *entry_owed;  // 4 an entry: categories, authors, contributors, Atom links
  u64 *bits;        // the code points listed
  u32 seen[image_part_opener + 1];  // records of each pool checked so far, then the openers
  u32 codepoints_seen;
  u32 previous_codepoint;
};

// Checks the counters against the counts and takes the memory the rest needs (the word tells a
// lack of it, which is not logged here).
bool image_checker_begin(image_checker *c, const image_layout &layout, u32 *error);
// The next record of the pool (image_part_opener for an opener), as it lies in the file: texts
// as offsets, a meta's opener as its index. The record is aligned.
bool image_check_record(image_checker *c, u32 which, const void *record);
// The next code point of the list.
bool image_check_codepoint(image_checker *c, u32 code_point);
// Once every record, opener and code point was checked.
bool image_checker_end(image_checker *c);
// Whether the texts use only listed code points, given in pieces from the first: from is where
// the last call stopped (the texts' start at first), the return where this one stops, null on a
// refusal. The pieces are consecutive bytes of one block.
const u8 *image_check_texts(image_checker *c, const u8 *from, const u8 *end, bool more_to_come);
void image_checker_free(image_checker *c);
