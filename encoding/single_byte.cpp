// The single-byte encodings: ASCII below 0x80, a 128-entry table above.
#include "encoding/encoding_tables.h"

void single_byte_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count,
                        const u16 *table, u32 *error) {
  if (*error) return;
  *code_point = encoding_no_code_point;
  *count = 0;
  if (begin >= end) {
    if (*error == 0) *error = encoding_error_end_of_input;
    return;
  }
  *count = 1;
  u32 byte = begin[0];
  if (byte < 0x80) {
    *code_point = byte;
    return;
  }
  u32 value = table[byte - 0x80];
  if (value == 0) {
    *error = encoding_error_single_byte_no_code_point;
    return;
  }
  *code_point = value;
}

void single_byte_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count,
                        const u16 *table, u32 *error) {
  if (*error) return;
  *count = 0;
  if (out_begin && out_begin >= out_end) {
    *error = encoding_error_output_too_small;
    return;
  }
  u32 byte = code_point;
  if (code_point >= 0x80) {
    // The first byte wins where a table maps two bytes to one code point.
    byte = 0;
    for (u32 i = 0; i < 128 && code_point <= 0xFFFF; i++) {
      if (table[i] == code_point) {
        byte = 0x80 + i;
        break;
      }
    }
    if (byte == 0) {
      *error = encoding_error_single_byte_no_byte;
      return;
    }
  }
  if (out_begin) out_begin[0] = (u8)byte;
  *count = 1;
}

const u16 *single_byte_table(u32 encoding) {
  if (encoding < encoding_ibm866 || encoding > encoding_x_mac_cyrillic) return nullptr;
  // ISO-8859-8-I decodes with ISO-8859-8's table, so every later table sits one place lower.
  u32 place = encoding - encoding_ibm866;
  if (encoding >= encoding_iso_8859_8_i) place--;
  return encoding_single_byte_tables[place];
}
