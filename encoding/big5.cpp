// Big5 with the Hong Kong additions: pointers below 5024 decode but are never encoded.
#include "encoding/codec_internal.h"

u32 big5_pointer(u32 code_point) {
  if (code_point == 0) return encoding_no_pointer;
  // The place of the first pointer at or after 5024 (which may fall in a gap).
  u64 from = 0;
  for (u64 i = 0; i < index_big5_range_count; i++) {
    const encoding_range &r = index_big5_ranges[i];
    if (r.end <= 5024) {
      from += r.end - r.start;
      continue;
    }
    if (r.start < 5024) from += 5024 - r.start;
    break;
  }
  // These six have two pointers; the last one is the one encoders use.
  bool last = code_point == 0x2550 || code_point == 0x255E || code_point == 0x2561 ||
              code_point == 0x256A || code_point == 0x5341 || code_point == 0x5345;
  u64 place = index_big5_count;
  if (last) {
    for (u64 i = index_big5_count; i-- > from;)
      if (index_big5[i] == code_point) {
        place = i;
        break;
      }
  } else {
    for (u64 i = from; i < index_big5_count; i++)
      if (index_big5[i] == code_point) {
        place = i;
        break;
      }
  }
  if (place == index_big5_count) return encoding_no_pointer;
  return encoding_index_expand(place, index_big5_ranges, index_big5_range_count);
}

void big5_decode(const u8 *begin, const u8 *end, u32 *code_point, u32 *second_code_point,
                 u8 *count, u32 *error) {
  invariant(second_code_point);
  if (*error) return;
  *second_code_point = encoding_no_code_point;
  if (!decode_double_byte_lead(begin, end, code_point, count, encoding_error_big5_bad_lead, error)) return;
  u32 lead = begin[0], trail = begin[1];
  if ((trail >= 0x40 && trail <= 0x7E) || (trail >= 0xA1 && trail <= 0xFE)) {
    u32 pointer = (lead - 0x81) * 157 + trail - (trail < 0x7F ? 0x40 : 0x62);
    u32 second = 0;
    u32 value = 0;
    switch (pointer) {
    case 1133: value = 0x00CA, second = 0x0304; break;
    case 1135: value = 0x00CA, second = 0x030C; break;
    case 1164: value = 0x00EA, second = 0x0304; break;
    case 1166: value = 0x00EA, second = 0x030C; break;
    default: value = INDEX_VALUE(index_big5, pointer);
    }
    if (value) {
      *count = 2;
      *code_point = value;
      if (second) *second_code_point = second;
      return;
    }
  }
  decode_pair_missing(trail, count, encoding_error_big5_no_code_point, error);
}

void big5_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error) {
  if (!encode_begin_past_ascii(out_begin, out_end, code_point, count, error)) return;
  u8 bytes[2];
  u32 pointer = big5_pointer(code_point);
  if (pointer == encoding_no_pointer) {
    *error = encoding_error_big5_encode_no_pointer;
    return;
  }
  u32 trail = pointer % 157;
  bytes[0] = (u8)(pointer / 157 + 0x81);
  bytes[1] = (u8)(trail + (trail < 0x3F ? 0x40 : 0x62));
  encode_emit(out_begin, out_end, bytes, 2, count, error);
}
