// Shift_JIS: jis0208 pairs, single-byte half-width katakana and a user-defined area.
#include "encoding/codec_internal.h"

u32 shift_jis_pointer(u32 code_point) {
  // Pointers 8272..8647 repeat characters found later in the table; encoders skip them.
  if (code_point > 0xFFFF || code_point == 0) return encoding_no_pointer;
  for (u64 place = 0; place < index_jis0208_count; place++) {
    if (index_jis0208[place] != code_point) continue;
    u32 pointer = encoding_index_expand(place, index_jis0208_ranges, index_jis0208_range_count);
    if (pointer < 8272 || pointer > 8647) return pointer;
  }
  return encoding_no_pointer;
}

void shift_jis_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count, u32 *error) {
  if (!decode_begin(begin, end, code_point, count, error)) return;
  u32 lead = begin[0];
  *count = 1;
  if (lead <= 0x80) {
    *code_point = lead;
    return;
  }
  if (lead >= 0xA1 && lead <= 0xDF) {
    *code_point = 0xFF61 - 0xA1 + lead;
    return;
  }
  if (!((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC))) {
    *error = encoding_error_shift_jis_bad_lead;
    return;
  }
  if (end - begin < 2) {
    *error = encoding_error_truncated;
    return;
  }
  u32 trail = begin[1];
  if ((trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && trail <= 0xFC)) {
    u32 pointer = (lead - (lead < 0xA0 ? 0x81 : 0xC1)) * 188 + trail - (trail < 0x7F ? 0x40 : 0x41);
    u32 value;
    if (pointer >= 8836 && pointer <= 10715) value = 0xE000 - 8836 + pointer;
    else value = INDEX_VALUE(index_jis0208, pointer);
    if (value) {
      *count = 2;
      *code_point = value;
      return;
    }
  }
  decode_pair_missing(trail, count, encoding_error_shift_jis_no_code_point, error);
}

void shift_jis_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error) {
  if (!encode_begin(code_point, count, error)) return;
  u8 bytes[2];
  if (code_point <= 0x80 || code_point == 0xA5 || code_point == 0x203E ||
      (code_point >= 0xFF61 && code_point <= 0xFF9F)) {
    bytes[0] = (u8)(code_point == 0xA5     ? 0x5C
                    : code_point == 0x203E ? 0x7E
                    : code_point >= 0xFF61 ? code_point - 0xFF61 + 0xA1
                                           : code_point);
    encode_emit(out_begin, out_end, bytes, 1, count, error);
    return;
  }
  if (code_point == 0x2212) code_point = 0xFF0D;
  u32 pointer = shift_jis_pointer(code_point);
  if (pointer == encoding_no_pointer) {
    *error = encoding_error_shift_jis_encode_no_pointer;
    return;
  }
  u32 lead = pointer / 188, trail = pointer % 188;
  bytes[0] = (u8)(lead + (lead < 0x1F ? 0x81 : 0xC1));
  bytes[1] = (u8)(trail + (trail < 0x3F ? 0x40 : 0x41));
  encode_emit(out_begin, out_end, bytes, 2, count, error);
}
