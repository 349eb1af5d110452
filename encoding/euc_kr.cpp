// EUC-KR with the unified Hangul extension: one index over leads 0x81..0xFE.
#include "encoding/codec_internal.h"

void euc_kr_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count, u32 *error) {
  if (!decode_double_byte_lead(begin, end, code_point, count, encoding_error_euc_kr_bad_lead, error)) return;
  u32 lead = begin[0], trail = begin[1];
  if (trail >= 0x41 && trail <= 0xFE) {
    u32 pointer = (lead - 0x81) * 190 + trail - 0x41;
    u32 value = INDEX_VALUE(index_euc_kr, pointer);
    if (value) {
      *count = 2;
      *code_point = value;
      return;
    }
  }
  decode_pair_missing(trail, count, encoding_error_euc_kr_no_code_point, error);
}

void euc_kr_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error) {
  if (!encode_begin_past_ascii(out_begin, out_end, code_point, count, error)) return;
  u8 bytes[2];
  u32 place = index_find_u16(index_euc_kr, 0, index_euc_kr_count, code_point);
  if (place == encoding_no_pointer) {
    *error = encoding_error_euc_kr_encode_no_pointer;
    return;
  }
  u32 pointer = encoding_index_expand(place, index_euc_kr_ranges, index_euc_kr_range_count);
  bytes[0] = (u8)(pointer / 190 + 0x81);
  bytes[1] = (u8)(pointer % 190 + 0x41);
  encode_emit(out_begin, out_end, bytes, 2, count, error);
}
