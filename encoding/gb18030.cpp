// gb18030 and GBK: one- and two-byte forms through index gb18030, four-byte forms through the
// ranges. GBK decodes exactly like gb18030 and encodes without the four-byte forms.
#include "encoding/codec_internal.h"

// The last row whose pointer (or, by_code_point, whose code point) is at most value; rows rise
// in both, and the first is pointer 0 at U+0080.
static const encoding_range &gb18030_ranges_row(u32 value, bool by_code_point) {
  u64 low = 0, high = index_gb18030_ranges_count;
  while (high - low > 1) {
    u64 middle = (low + high) / 2;
    const encoding_range &row = index_gb18030_ranges[middle];
    if ((by_code_point ? row.end : row.start) <= value) low = middle;
    else high = middle;
  }
  return index_gb18030_ranges[low];
}

u32 gb18030_ranges_code_point(u32 pointer) {
  if ((pointer > 39419 && pointer < 189000) || pointer > 1237575) return encoding_no_code_point;
  if (pointer == 7457) return 0xE7C7;
  if (pointer >= 189000) return pointer - 189000 + 0x10000;
  const encoding_range &row = gb18030_ranges_row(pointer, false);
  return row.end + pointer - row.start;
}

u32 gb18030_ranges_pointer(u32 code_point) {
  if (code_point == 0xE7C7) return 7457;
  if (code_point > 0xFFFF) return code_point + 123464;
  if (code_point < 0x80) return encoding_no_pointer;
  const encoding_range &row = gb18030_ranges_row(code_point, true);
  return row.start + code_point - row.end;
}

void gb18030_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count, u32 *error) {
  if (!decode_begin(begin, end, code_point, count, error)) return;
  u64 available = (u64)(end - begin);
  u32 b1 = begin[0];
  *count = 1;
  if (b1 < 0x80) {
    *code_point = b1;
    return;
  }
  if (b1 == 0x80) {
    *code_point = 0x20AC;
    return;
  }
  if (b1 == 0xFF) {
    *error = encoding_error_gb18030_bad_first;
    return;
  }
  // A sequence cut by the end of input is consumed whole: nothing after it can complete it.
  if (available < 2) {
    *error = encoding_error_truncated;
    return;
  }
  u32 b2 = begin[1];
  if (b2 >= 0x30 && b2 <= 0x39) {
    if (available < 3) {
      *count = 2;
      *error = encoding_error_truncated;
      return;
    }
    u32 b3 = begin[2];
    if (b3 < 0x81 || b3 > 0xFE) {
      *error = encoding_error_gb18030_bad_third;
      return;
    }
    if (available < 4) {
      *count = 3;
      *error = encoding_error_truncated;
      return;
    }
    u32 b4 = begin[3];
    if (b4 < 0x30 || b4 > 0x39) {
      *error = encoding_error_gb18030_bad_fourth;
      return;
    }
    *count = 4;
    u32 pointer = (b1 - 0x81) * 12600 + (b2 - 0x30) * 1260 + (b3 - 0x81) * 10 + b4 - 0x30;
    u32 value = gb18030_ranges_code_point(pointer);
    if (value == encoding_no_code_point) {
      *error = encoding_error_gb18030_four_byte_no_code_point;
      return;
    }
    *code_point = value;
    return;
  }
  if ((b2 >= 0x40 && b2 <= 0x7E) || (b2 >= 0x80 && b2 <= 0xFE)) {
    u32 pointer = (b1 - 0x81) * 190 + b2 - (b2 < 0x7F ? 0x40 : 0x41);
    u32 value = index_gb18030[pointer];
    if (value) {
      *count = 2;
      *code_point = value;
      return;
    }
  }
  // An ASCII second byte is left to be read again as a character of its own.
  *count = b2 < 0x80 ? 1 : 2;
  *error = encoding_error_gb18030_two_byte_no_code_point;
}

void gbk_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count, u32 *error) {
  gb18030_decode(begin, end, code_point, count, error);
}

// Eighteen private-use code points had two-byte forms until those forms were given to the
// vertical presentation forms (U+FE10..U+FE19) and CJK radicals. The four-byte ranges have no row
// for them, so the range arithmetic would land them on a neighbour's bytes and corrupt the text;
// they keep their old two-byte forms instead, as (code point, pointer).
static const u32 gb18030_private_use_pointers[18][2] = {
  {0xE78D, 7182}, {0xE78E, 7183}, {0xE78F, 7184}, {0xE790, 7185}, {0xE791, 7186},
  {0xE792, 7187}, {0xE793, 7188}, {0xE794, 7201}, {0xE795, 7202}, {0xE796, 7208},
  {0xE81E, 23775}, {0xE826, 23783}, {0xE82B, 23788}, {0xE82C, 23789}, {0xE832, 23795},
  {0xE843, 23812}, {0xE854, 23829}, {0xE864, 23845},
};

void gb18030_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 is_gbk,
                    u32 *error) {
  if (!encode_begin_past_ascii(out_begin, out_end, code_point, count, error)) return;
  u8 bytes[4];
  if (code_point == 0xE5E5) {
    *error = encoding_error_gb18030_encode_e5e5;
    return;
  }
  if (is_gbk && code_point == 0x20AC) {
    bytes[0] = 0x80;
    encode_emit(out_begin, out_end, bytes, 1, count, error);
    return;
  }
  u32 pointer = index_find_u16(index_gb18030, 0, index_gb18030_count, code_point);
  for (u32 i = 0; i < 18 && pointer == encoding_no_pointer; i++)
    if (gb18030_private_use_pointers[i][0] == code_point) pointer = gb18030_private_use_pointers[i][1];
  if (pointer != encoding_no_pointer) {
    u32 trail = pointer % 190;
    bytes[0] = (u8)(pointer / 190 + 0x81);
    bytes[1] = (u8)(trail + (trail < 0x3F ? 0x40 : 0x41));
    encode_emit(out_begin, out_end, bytes, 2, count, error);
    return;
  }
  if (is_gbk) {
    *error = encoding_error_gbk_encode_four_byte;
    return;
  }
  pointer = gb18030_ranges_pointer(code_point);
  bytes[0] = (u8)(pointer / 12600 + 0x81);
  bytes[1] = (u8)((pointer % 12600) / 1260 + 0x30);
  bytes[2] = (u8)((pointer % 1260) / 10 + 0x81);
  bytes[3] = (u8)(pointer % 10 + 0x30);
  encode_emit(out_begin, out_end, bytes, 4, count, error);
}

void gbk_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error) {
  gb18030_encode(out_begin, out_end, code_point, count, 1, error);
}
