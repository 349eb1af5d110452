// EUC-JP: jis0208 pairs, half-width katakana after 0x8E, jis0212 triples after 0x8F.
#include "encoding/codec_internal.h"

void euc_jp_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count, u32 *error) {
  if (!decode_begin(begin, end, code_point, count, error)) return;
  u64 available = (u64)(end - begin);
  u32 lead = begin[0];
  *count = 1;
  if (lead < 0x80) {
    *code_point = lead;
    return;
  }
  if (lead != 0x8E && lead != 0x8F && (lead < 0xA1 || lead > 0xFE)) {
    *error = encoding_error_euc_jp_bad_lead;
    return;
  }
  if (available < 2) {
    *error = encoding_error_truncated;
    return;
  }
  u32 byte = begin[1];
  u32 last = byte;
  *count = 2;
  if (lead == 0x8E && byte >= 0xA1 && byte <= 0xDF) {
    *code_point = 0xFF61 - 0xA1 + byte;
    return;
  }
  bool jis0212 = false;
  if (lead == 0x8F && byte >= 0xA1 && byte <= 0xFE) {
    if (available < 3) {
      *error = encoding_error_truncated;
      return;
    }
    jis0212 = true;
    lead = byte;
    byte = last = begin[2];
    *count = 3;
  }
  if (lead >= 0xA1 && lead <= 0xFE && byte >= 0xA1 && byte <= 0xFE) {
    u32 pointer = (lead - 0xA1) * 94 + byte - 0xA1;
    u32 value = jis0212 ? INDEX_VALUE(index_jis0212, pointer)
                        : INDEX_VALUE(index_jis0208, pointer);
    if (value) {
      *code_point = value;
      return;
    }
  }
  // An ASCII last byte is left to be read again as a character of its own.
  if (last < 0x80) *count -= 1;
  *error = encoding_error_euc_jp_no_code_point;
}

void euc_jp_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error) {
  if (!encode_begin(code_point, count, error)) return;
  u8 bytes[2];
  if (code_point < 0x80 || code_point == 0xA5 || code_point == 0x203E) {
    bytes[0] = (u8)(code_point == 0xA5 ? 0x5C : code_point == 0x203E ? 0x7E : code_point);
    encode_emit(out_begin, out_end, bytes, 1, count, error);
    return;
  }
  if (code_point >= 0xFF61 && code_point <= 0xFF9F) {
    bytes[0] = 0x8E;
    bytes[1] = (u8)(code_point - 0xFF61 + 0xA1);
    encode_emit(out_begin, out_end, bytes, 2, count, error);
    return;
  }
  if (code_point == 0x2212) code_point = 0xFF0D;
  u32 pointer = jis0208_pointer(code_point);
  // Pointers from 94 x 94 on have no two-byte form here.
  if (pointer == encoding_no_pointer || pointer >= 94 * 94) {
    *error = encoding_error_euc_jp_encode_no_pointer;
    return;
  }
  bytes[0] = (u8)(pointer / 94 + 0xA1);
  bytes[1] = (u8)(pointer % 94 + 0xA1);
  encode_emit(out_begin, out_end, bytes, 2, count, error);
}
