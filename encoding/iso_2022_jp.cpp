// ISO-2022-JP: the one stateful encoding. Escape sequences switch between ASCII, JIS-Roman,
// half-width katakana and jis0208 pairs; the caller keeps the state between calls.
#include "encoding/codec_internal.h"

enum : u8 {
  state_ascii = 1,
  state_roman = 2,
  state_katakana = 3,
  state_lead = 4,
  state_trail = 5,
  state_escape_start = 6,
  state_escape = 7,
};

void iso_2022_jp_decode(const u8 *begin, const u8 *end, u32 *code_point, u8 *count,
                        iso_2022_jp_state *state, u32 *error) {
  invariant(state);
  if (*error) return;
  *code_point = encoding_no_code_point;
  *count = 0;
  iso_2022_jp_state s = *state;
  if (s.decoder_state == 0 || s.decoder_state > state_escape) s = {state_ascii, state_ascii, 0};
  if (s.output_state == 0 || s.output_state > state_lead) s.output_state = state_ascii;
  // A call never ends between the two bytes of a pair or of an escape; a record that claims so
  // falls back to the state it would rest in.
  if (s.decoder_state == state_trail) s.decoder_state = state_lead;
  if (s.decoder_state == state_escape) s.decoder_state = s.output_state;

  const u8 *at = begin;
  u32 lead = 0, result = encoding_no_code_point, failure = 0;
  while (result == encoding_no_code_point && failure == 0) {
    if (at >= end) {
      switch (s.decoder_state) {
      case state_trail:
        s.decoder_state = state_lead;
        failure = encoding_error_iso_2022_jp_end_in_trail;
        break;
      case state_escape:
        at--;  // the "$" or "(" read in this call is given back
        [[fallthrough]];
      case state_escape_start:
        // The state moves on, so the next call sees plain end of input.
        s.decoder_state = s.output_state;
        s.output_flag = 0;
        failure = encoding_error_iso_2022_jp_end_in_escape;
        break;
      default: failure = encoding_error_end_of_input; break;
      }
      break;
    }
    u32 b = *at++;
    switch (s.decoder_state) {
    case state_ascii:
    case state_roman:
      if (b == 0x1B) {
        s.decoder_state = state_escape_start;
        break;
      }
      s.output_flag = 0;
      if (b >= 0x80 || b == 0x0E || b == 0x0F) {
        failure = s.decoder_state == state_ascii ? encoding_error_iso_2022_jp_bad_ascii
                                                 : encoding_error_iso_2022_jp_bad_roman;
      } else if (s.decoder_state == state_roman && b == 0x5C) {
        result = 0xA5;
      } else if (s.decoder_state == state_roman && b == 0x7E) {
        result = 0x203E;
      } else {
        result = b;
      }
      break;
    case state_katakana:
      if (b == 0x1B) {
        s.decoder_state = state_escape_start;
        break;
      }
      s.output_flag = 0;
      if (b >= 0x21 && b <= 0x5F) result = 0xFF61 - 0x21 + b;
      else failure = encoding_error_iso_2022_jp_bad_katakana;
      break;
    case state_lead:
      if (b == 0x1B) {
        s.decoder_state = state_escape_start;
        break;
      }
      s.output_flag = 0;
      if (b >= 0x21 && b <= 0x7E) {
        lead = b;
        s.decoder_state = state_trail;
      } else {
        failure = encoding_error_iso_2022_jp_bad_lead;
      }
      break;
    case state_trail:
      if (b == 0x1B) {
        s.decoder_state = state_escape_start;
        failure = encoding_error_iso_2022_jp_escape_in_trail;
        break;
      }
      s.decoder_state = state_lead;
      if (b >= 0x21 && b <= 0x7E) {
        u32 pointer = (lead - 0x21) * 94 + b - 0x21;
        u32 value = INDEX_VALUE(index_jis0208, pointer);
        if (value) result = value;
        else failure = encoding_error_iso_2022_jp_bad_trail;
      } else {
        failure = encoding_error_iso_2022_jp_bad_trail;
      }
      break;
    case state_escape_start:
      if (b == 0x24 || b == 0x28) {
        lead = b;
        s.decoder_state = state_escape;
        break;
      }
      at--;
      s.output_flag = 0;
      s.decoder_state = s.output_state;
      failure = encoding_error_iso_2022_jp_bad_escape_start;
      break;
    case state_escape: {
      u8 next = 0;
      if (lead == 0x28 && b == 0x42) next = state_ascii;
      else if (lead == 0x28 && b == 0x4A) next = state_roman;
      else if (lead == 0x28 && b == 0x49) next = state_katakana;
      else if (lead == 0x24 && (b == 0x40 || b == 0x42)) next = state_lead;
      if (next) {
        s.decoder_state = s.output_state = next;
        if (s.output_flag) failure = encoding_error_iso_2022_jp_escape_without_output;
        s.output_flag = 1;
        break;
      }
      at -= 2;  // both bytes are read again in the output state
      s.output_flag = 0;
      s.decoder_state = s.output_state;
      failure = encoding_error_iso_2022_jp_unknown_escape;
      break;
    }
    }
  }
  // A second escape without output between ends the call, so one call reads at most two escapes
  // and a pair: the count stays small and never passes what was given.
  u64 consumed = (u64)(at - begin);
  invariant(at >= begin && consumed <= 8);
  *count = (u8)consumed;
  *state = s;
  if (failure) {
    *error = failure;
    return;
  }
  *code_point = result;
}

void iso_2022_jp_encode(u8 *out_begin, u8 *out_end, u32 code_point, u8 *count, u32 *state,
                        u32 *error) {
  invariant(state);
  if (!encode_begin(code_point, count, error)) return;
  u32 current = *state;
  if (current != iso_2022_jp_encoder_roman && current != iso_2022_jp_encoder_jis0208)
    current = iso_2022_jp_encoder_ascii;
  // SO, SI and ESC would be read back as shifts or escapes, whatever state they are written in.
  if (code_point == 0x0E || code_point == 0x0F || code_point == 0x1B) {
    *error = encoding_error_iso_2022_jp_encode_control;
    return;
  }
  u8 bytes[5];
  u32 n = 0, next = current;
  bool roman_special = code_point == 0xA5 || code_point == 0x203E;
  if (current == iso_2022_jp_encoder_ascii && code_point < 0x80) {
    bytes[n++] = (u8)code_point;
  } else if (current == iso_2022_jp_encoder_roman &&
             ((code_point < 0x80 && code_point != 0x5C && code_point != 0x7E) || roman_special)) {
    bytes[n++] = (u8)(code_point == 0xA5 ? 0x5C : code_point == 0x203E ? 0x7E : code_point);
  } else if (code_point < 0x80) {
    bytes[n++] = 0x1B, bytes[n++] = 0x28, bytes[n++] = 0x42;
    bytes[n++] = (u8)code_point;
    next = iso_2022_jp_encoder_ascii;
  } else if (roman_special) {
    bytes[n++] = 0x1B, bytes[n++] = 0x28, bytes[n++] = 0x4A;
    bytes[n++] = (u8)(code_point == 0xA5 ? 0x5C : 0x7E);
    next = iso_2022_jp_encoder_roman;
  } else {
    if (code_point == 0x2212) code_point = 0xFF0D;
    if (code_point >= 0xFF61 && code_point <= 0xFF9F)
      code_point = index_iso_2022_jp_katakana[code_point - 0xFF61];
    u32 pointer = jis0208_pointer(code_point);
    if (pointer == encoding_no_pointer || pointer >= 94 * 94) {
      *error = encoding_error_iso_2022_jp_encode_no_pointer;
      return;
    }
    if (current != iso_2022_jp_encoder_jis0208) {
      bytes[n++] = 0x1B, bytes[n++] = 0x24, bytes[n++] = 0x42;
      next = iso_2022_jp_encoder_jis0208;
    }
    bytes[n++] = (u8)(pointer / 94 + 0x21);
    bytes[n++] = (u8)(pointer % 94 + 0x21);
  }
  // Measuring moves the state too, so measuring a text code point by code point adds up to
  // what writing it takes.
  encode_emit(out_begin, out_end, bytes, n, count, error);
  if (*error == 0) *state = next;
}

void iso_2022_jp_encode_finish(u8 *out_begin, u8 *out_end, u8 *count, u32 *state, u32 *error) {
  invariant(state);
  if (*error) return;
  *count = 0;
  if (*state != iso_2022_jp_encoder_roman && *state != iso_2022_jp_encoder_jis0208) return;
  if (out_begin) {
    if (out_end - out_begin < 3) {
      *error = encoding_error_iso_2022_jp_finish_no_room;
      return;
    }
    out_begin[0] = 0x1B, out_begin[1] = 0x28, out_begin[2] = 0x42;
  }
  *state = iso_2022_jp_encoder_ascii;
  *count = 3;
}
