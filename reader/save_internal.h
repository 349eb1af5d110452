// What the save file's writer, checker, reader and folder share: the records' sizes in the file,
// the parts of a record its kind leaves zero, the dates a file may hold, the built-in code points
// and the walk over the code points of texts, and the check of an image that the writer runs
// before it writes and the reader before it installs.
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

// ---- Built-in code points ----------------------------------------------------------------

// The 193 code points every set starts with, in their order.
u32 builtin_codepoints(u32 *out);

#define CODEPOINT_WORDS (CODEPOINT_SET_CAPACITY / 64)

static inline void bit_set(u64 *bits, u32 c) { bits[c >> 6] |= 1ull << (c & 63); }
static inline bool bit_get(const u64 *bits, u32 c) { return bits[c >> 6] >> (c & 63) & 1; }

// The sequence at p, whose first byte is 0x80 or above: visited when it decodes; the position
// after it, or after the one byte skipped when it does not.
template <class F>
static inline const u8 *decode_high(const u8 *p, const u8 *end, F &visit) {
  u32 c = 0, error = 0;
  u8 n = (u8)utf8_decode_common(p, end, &c);
  if (!n) unicode_utf8_decode(p, end, &c, &n, &error);
  if (error) return p + 1;
  visit(c);
  return p + n;
}

// Every code point the bytes decode to, U+0000 aside; an undecodable byte is skipped alone.
template <class F>
static void decode_codepoints(const u8 *p, const u8 *end, F visit, bool skip_printable_ascii) {
#if STORE_ASCII_SIXTEEN
  // Texts are mostly printable ASCII, which every list holds from the start: sixteen bytes at a
  // time, only the control bytes among them visited, up to the first byte of a longer sequence.
  if (skip_printable_ascii) {
    while (end - p >= 16) {
      u32 ascii;
      for (u32 special = ascii_sixteen_special(p, &ascii); special; special &= special - 1) {
        u8 b = p[__builtin_ctz(special)];
        if (b) visit((u32)b);
      }
      p += ascii;
      if (ascii < 16) p = decode_high(p, end, visit);
    }
  }
#endif
  while (p < end) {
    // Eight bytes of printable ASCII at a time are passed over when the caller knows them to be
    // in the list.
    if (skip_printable_ascii && end - p >= 8 && word_is_printable_ascii(p)) {
      p += 8;
      continue;
    }
    // The next eight bytes or so one by one, before the next try at a whole word.
    for (const u8 *stop = end - p > 8 ? p + 8 : end; p < stop;) {
      if (*p < 0x80) {
        if (*p && !(skip_printable_ascii && *p >= 0x20 && *p < 0x7F)) visit((u32)*p);
        ++p;
        continue;
      }
      p = decode_high(p, end, visit);
    }
  }
}

// ---- Checking an image -------------------------------------------------------------------

struct image_sections {
  u64 pool_at[7];  // first record of each pool
  u32 count[7];
  u32 counters[5];
  u64 openers_at;
  u64 codepoints_at;  // first code point
  u32 codepoints;
  u64 strings_at;  // first arena byte
  u32 strings_length;
};

// What a reader can take: its pools' capacities and its arena's reservation.
struct image_limits {
  u32 capacity[7];
  u64 strings;
};

image_limits reader_limits(reader *r);

// Logs "Save file rejected: " and the reason; false.
bool save_reject(const char *why);

// Structure first (sections, counts against capacities), then every record; nothing outside
// [bytes, bytes + size) is read and no value is trusted before it is checked.
// The texts may lie apart from the rest (texts not null): then b holds exactly the bytes before
// them. The code points of the texts are checked against the list unless the caller built the
// list from these very texts (check_texts false).
bool image_check(const u8 *b, u64 size, const u8 *texts, u64 texts_size, const image_limits &limits,
                 image_sections *s, bool check_texts);
