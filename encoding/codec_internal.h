// Helpers shared by the codecs; only encoding/ includes this.
#pragma once

#include "encoding/encoding_tables.h"

// Error words are sticky: a codec sets one only from zero.
static inline void encoding_set_error(u32 *error, u32 code) {
  if (*error == 0) *error = code;
}

// The common start of a decode: the code point out starts empty; no byte is end of input.
static inline bool decode_begin(const u8 *begin, const u8 *end, u32 *code_point, u8 *count,
                                u32 *error) {
  if (*error) return false;
  *code_point = encoding_no_code_point;
  *count = 0;
  if (begin >= end) {
    *error = encoding_error_end_of_input;
    return false;
  }
  return true;
}

// The start of a decode in a double-byte encoding whose leads are 0x81 to 0xFE: ASCII is its own
// code point, another byte outside the leads is bad_lead, and a lead at the end of input is
// truncated, each one byte long. True when begin[1] is there, the trail for the caller to read.
static inline bool decode_double_byte_lead(const u8 *begin, const u8 *end, u32 *code_point, u8 *count,
                                           u32 bad_lead, u32 *error) {
  if (!decode_begin(begin, end, code_point, count, error)) return false;
  u32 lead = begin[0];
  *count = 1;
  if (lead < 0x80) {
    *code_point = lead;
    return false;
  }
  if (lead < 0x81 || lead > 0xFE) {
    *error = bad_lead;
    return false;
  }
  if (end - begin < 2) {
    *error = encoding_error_truncated;
    return false;
  }
  return true;
}

// A lead and trail with no code point: an ASCII trail is left to begin the next decode.
static inline void decode_pair_missing(u32 trail, u8 *count, u32 no_code_point, u32 *error) {
  *count = trail < 0x80 ? 1 : 2;
  *error = no_code_point;
}

// The common start of an encode: refuses what is no scalar value.
static inline bool encode_begin(u32 code_point, u8 *count, u32 *error) {
  if (*error) return false;
  *count = 0;
  if (!codepoint_is_scalar(code_point)) {
    *error = encoding_error_not_scalar;
    return false;
  }
  return true;
}

// Writes n bytes, or with a null out_begin only measures; too little room writes nothing.
static inline void encode_emit(u8 *out_begin, u8 *out_end, const u8 *bytes, u32 n, u8 *count,
                               u32 *error) {
  if (out_begin) {
    if ((u64)(out_end - out_begin) < n) {
      encoding_set_error(error, encoding_error_output_too_small);
      return;
    }
    for (u32 i = 0; i < n; i++) out_begin[i] = bytes[i];
  }
  *count = (u8)n;
}

// The start of an encode in which ASCII is one byte of itself: refuses what is no scalar value and
// writes ASCII. True when a code point above ASCII is left for the encoder.
static inline bool encode_begin_past_ascii(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error) {
  if (!encode_begin(code_point, count, error)) return false;
  if (code_point < 0x80) {
    u8 byte = (u8)code_point;
    encode_emit(out_begin, out_end, &byte, 1, count, error);
    return false;
  }
  return true;
}

// The first place at or after from whose value is the code point, or encoding_no_pointer.
static inline u32 index_find_u16(const u16 *values, u64 from, u64 count, u32 code_point) {
  if (code_point > 0xFFFF || code_point == 0) return encoding_no_pointer;
  for (u64 i = from; i < count; i++)
    if (values[i] == code_point) return (u32)i;
  return encoding_no_pointer;
}

// The value at a pointer of an index stored without its gaps; 0 when the pointer has none.
// Decoders call this for every character, so the run is found by a binary search over the run
// ends (the same answer as encoding_index_compress's walk), with each run's first place given.
template <typename T>
static inline u32 index_value(const T *values, const encoding_range *ranges, const u16 *places,
                              u64 range_count, u32 pointer) {
  u64 low = 0, count = range_count;
  while (count > 1) {
    u64 half = count / 2;
    low = ranges[low + half - 1].end <= pointer ? low + half : low;
    count -= half;
  }
  const encoding_range &run = ranges[low];
  if (pointer < run.start || pointer >= run.end) return 0;
  return values[places[low] + pointer - run.start];
}
#define INDEX_VALUE(name, pointer) \
  index_value(name, name##_ranges, name##_run_places, name##_range_count, pointer)

// The first jis0208 pointer of a code point (every jis0208 encoder searches the same way).
static inline u32 jis0208_pointer(u32 code_point) {
  u32 place = index_find_u16(index_jis0208, 0, index_jis0208_count, code_point);
  if (place == encoding_no_pointer) return place;
  return encoding_index_expand(place, index_jis0208_ranges, index_jis0208_range_count);
}
