// UTF-8, UTF-16, the replacement decoder and x-user-defined.
#include "encoding/encoding.h"

static inline void set_error(u32 *error, u32 code) {
  if (*error == 0) *error = code;
}

// ---- UTF-8 -----------------------------------------------------------------------------------

void utf8_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count, u32 *error) {
  if (*error) return;
  *code_point = encoding_no_code_point;
  *count = 0;
  if (begin >= end) {
    set_error(error, encoding_error_end_of_input);
    return;
  }
  u32 lead = begin[0];
  if (lead < 0x80) {
    *code_point = lead;
    *count = 1;
    return;
  }
  u32 length, value, low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    // One byte is consumed, so a caller that skips by the count always moves on.
    *count = 1;
    set_error(error, encoding_error_utf8_bad_lead);
    return;
  }
  u64 available = (u64)(end - begin);
  for (u32 i = 1; i < length; i++) {
    if (i >= available) {
      // Every byte present was valid: the whole tail is one truncated sequence.
      *count = (u8)available;
      set_error(error, encoding_error_truncated);
      return;
    }
    u32 byte = begin[i];
    if (byte < low || byte > high) {
      // The bad byte may start the next character (often ASCII): it is not consumed.
      *count = (u8)i;
      set_error(error, encoding_error_utf8_bad_continuation);
      return;
    }
    low = 0x80;
    high = 0xBF;
    value = (value << 6) | (byte & 0x3F);
  }
  *code_point = value;
  *count = (u8)length;
}

void utf8_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error) {
  if (*error) return;
  *count = 0;
  if (!codepoint_is_scalar(code_point)) {
    set_error(error, encoding_error_not_scalar);
    return;
  }
  u32 length = code_point < 0x80 ? 1 : code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
  if (out_begin) {
    if ((u64)(out_end - out_begin) < length) {
      set_error(error, encoding_error_output_too_small);
      return;
    }
    switch (length) {
    case 1: out_begin[0] = (u8)code_point; break;
    case 2:
      out_begin[0] = (u8)(0xC0 | (code_point >> 6));
      out_begin[1] = (u8)(0x80 | (code_point & 0x3F));
      break;
    case 3:
      out_begin[0] = (u8)(0xE0 | (code_point >> 12));
      out_begin[1] = (u8)(0x80 | ((code_point >> 6) & 0x3F));
      out_begin[2] = (u8)(0x80 | (code_point & 0x3F));
      break;
    default:
      out_begin[0] = (u8)(0xF0 | (code_point >> 18));
      out_begin[1] = (u8)(0x80 | ((code_point >> 12) & 0x3F));
      out_begin[2] = (u8)(0x80 | ((code_point >> 6) & 0x3F));
      out_begin[3] = (u8)(0x80 | (code_point & 0x3F));
      break;
    }
  }
  *count = (u8)length;
}

// ---- UTF-16 ----------------------------------------------------------------------------------

u16 read_u16_endian(const u8 *at, u32 big_endian) {
  return big_endian ? (u16)((at[0] << 8) | at[1]) : (u16)(at[0] | (at[1] << 8));
}

void utf16_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count, u32 big_endian,
                  u32 *error) {
  if (*error) return;
  *code_point = encoding_no_code_point;
  *count = 0;
  u64 available = begin < end ? (u64)(end - begin) : 0;
  if (available == 0) {
    set_error(error, encoding_error_end_of_input);
    return;
  }
  // A lone last byte is half a unit: counted as one unit (the dispatch clamps it to the byte).
  *count = 1;
  if (available < 2) {
    set_error(error, encoding_error_truncated);
    return;
  }
  u32 first = read_u16_endian(begin, big_endian);
  if (first < utf16_high_surrogate_first || first > utf16_low_surrogate_last) {
    *code_point = first;
    return;
  }
  // A low surrogate first is unpaired wherever the input ends.
  if (first >= utf16_low_surrogate_first) {
    set_error(error, encoding_error_utf16_unpaired_surrogate);
    return;
  }
  if (available < 4) {
    set_error(error, encoding_error_truncated);
    return;
  }
  u32 second = read_u16_endian(begin + 2, big_endian);
  if (second < utf16_low_surrogate_first || second > utf16_low_surrogate_last) {
    // The second unit is left for the next call: it may be a character of its own.
    set_error(error, encoding_error_utf16_unpaired_surrogate);
    return;
  }
  *code_point = 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
  *count = 2;
}

void utf16_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 big_endian,
                  u32 *error) {
  if (*error) return;
  *count = 0;
  if (!codepoint_is_scalar(code_point)) {
    set_error(error, encoding_error_not_scalar);
    return;
  }
  u32 units[2];
  u32 unit_count = 1;
  units[0] = code_point;
  if (code_point > 0xFFFF) {
    units[0] = 0xD800 + ((code_point - 0x10000) >> 10);
    units[1] = 0xDC00 + (code_point & 0x3FF);
    unit_count = 2;
  }
  if (out_begin) {
    if ((u64)(out_end - out_begin) < 2 * unit_count) {
      set_error(error, encoding_error_output_too_small);
      return;
    }
    for (u32 i = 0; i < unit_count; i++) {
      u8 high = (u8)(units[i] >> 8), low = (u8)units[i];
      out_begin[2 * i] = big_endian ? high : low;
      out_begin[2 * i + 1] = big_endian ? low : high;
    }
  }
  *count = (u8)unit_count;
}

// ---- Replacement and x-user-defined ---------------------------------------------------------

void replacement_decode(const u8 *begin, const u8 *end, u8 *count, u32 *reported, u32 *error) {
  if (*error) return;
  *count = 0;
  if (begin >= end) {
    set_error(error, encoding_error_end_of_input);
    return;
  }
  *count = 1;
  if (!*reported) {
    *reported = 1;
    set_error(error, encoding_error_replacement_refused);
  }
}

void x_user_defined_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count,
                           u32 *error) {
  if (*error) return;
  *code_point = encoding_no_code_point;
  *count = 0;
  if (begin >= end) {
    set_error(error, encoding_error_end_of_input);
    return;
  }
  *count = 1;
  *code_point = begin[0] < 0x80 ? begin[0] : 0xF700u + begin[0];
}

void x_user_defined_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *error) {
  if (*error) return;
  *count = 0;
  if (!codepoint_is_scalar(code_point)) {
    set_error(error, encoding_error_not_scalar);
    return;
  }
  if (out_begin && out_begin >= out_end) {
    set_error(error, encoding_error_output_too_small);
    return;
  }
  u32 byte;
  if (code_point < 0x80) {
    byte = code_point;
  } else if (code_point >= 0xF780 && code_point <= 0xF7FF) {
    byte = code_point - 0xF700;
  } else {
    set_error(error, encoding_error_x_user_defined_encode);
    return;
  }
  if (out_begin) out_begin[0] = (u8)byte;
  *count = 1;
}
