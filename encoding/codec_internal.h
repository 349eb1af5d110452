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

// The first place at or after from whose value is the code point, or encoding_no_pointer.
static inline u32 index_find_u16(const u16 *values, u64 from, u64 count, u32 code_point) {
  if (code_point > 0xFFFF || code_point == 0) return encoding_no_pointer;
  for (u64 i = from; i < count; i++)
    if (values[i] == code_point) return (u32)i;
  return encoding_no_pointer;
}

// The value at a pointer of an index stored without its gaps; 0 when the pointer has none.
template <typename T>
static inline u32 index_value(const T *values, const encoding_range *ranges, u64 range_count,
                              u32 pointer) {
  u32 place = encoding_index_compress(pointer, ranges, range_count);
  return place == encoding_no_pointer ? 0 : values[place];
}

// The first jis0208 pointer of a code point (every jis0208 encoder searches the same way).
static inline u32 jis0208_pointer(u32 code_point) {
  u32 place = index_find_u16(index_jis0208, 0, index_jis0208_count, code_point);
  if (place == encoding_no_pointer) return place;
  return encoding_index_expand(place, index_jis0208_ranges, index_jis0208_range_count);
}
