// Encoding numbers, names, labels and the dispatch of one code point by number.
#include "encoding/codec_internal.h"

static const char *const encoding_names[encoding_count] = {
  "invalid", "UTF-8", "IBM866", "ISO-8859-2", "ISO-8859-3", "ISO-8859-4", "ISO-8859-5",
  "ISO-8859-6", "ISO-8859-7", "ISO-8859-8", "ISO-8859-8-I", "ISO-8859-10", "ISO-8859-13",
  "ISO-8859-14", "ISO-8859-15", "ISO-8859-16", "KOI8-R", "KOI8-U", "macintosh", "windows-874",
  "windows-1250", "windows-1251", "windows-1252", "windows-1253", "windows-1254",
  "windows-1255", "windows-1256", "windows-1257", "windows-1258", "x-mac-cyrillic", "GBK",
  "gb18030", "Big5", "EUC-JP", "ISO-2022-JP", "Shift_JIS", "EUC-KR", "replacement", "UTF-16BE",
  "UTF-16LE", "x-user-defined",
};

static const char *const encoding_error_names[encoding_error_count] = {
  "success",
  "end of input: no byte to decode",
  "truncated: the input ends inside a byte sequence",
  "output too small for the encoded bytes",
  "not a Unicode scalar value",
  "UTF-8: bad lead byte",
  "UTF-8: bad continuation byte",
  "single-byte: byte without a code point",
  "single-byte: code point without a byte",
  "gb18030/GBK: bad first byte",
  "gb18030/GBK: two-byte sequence without a code point",
  "gb18030/GBK: bad third byte",
  "gb18030/GBK: bad fourth byte",
  "gb18030/GBK: four-byte sequence without a code point",
  "gb18030/GBK encode: U+E5E5",
  "GBK encode: code point that needs four bytes",
  "Big5: bad lead byte",
  "Big5: pair without a code point",
  "Big5 encode: code point without a pointer",
  "EUC-JP: bad lead byte",
  "EUC-JP: sequence without a code point",
  "EUC-JP encode: code point without a pointer",
  "ISO-2022-JP: input ended in the trail-byte state",
  "ISO-2022-JP: input ended inside an escape sequence",
  "(not used)",
  "ISO-2022-JP: bad byte in the ASCII state",
  "ISO-2022-JP: bad byte in the Roman state",
  "ISO-2022-JP: bad byte in the katakana state",
  "ISO-2022-JP: bad lead byte",
  "ISO-2022-JP: bad trail byte or pair without a code point",
  "ISO-2022-JP: escape byte in the trail-byte state",
  "ISO-2022-JP: escape byte not followed by \"$\" or \"(\"",
  "ISO-2022-JP: two escape sequences without output between them",
  "ISO-2022-JP: unknown escape sequence",
  "ISO-2022-JP encode: SO, SI or ESC in the ASCII or Roman state",
  "ISO-2022-JP encode: code point without a jis0208 pointer",
  "ISO-2022-JP finish: no room for the closing escape",
  "Shift_JIS: bad lead byte",
  "Shift_JIS: pair without a code point",
  "Shift_JIS encode: code point without a pointer",
  "EUC-KR: bad lead byte",
  "EUC-KR: pair without a code point",
  "EUC-KR encode: code point without a pointer",
  "replacement: the input is refused",
  "replacement: nothing can be encoded",
  "UTF-16: unpaired surrogate",
  "x-user-defined encode: code point outside ASCII and U+F780..U+F7FF",
  "unknown encoding number",
};

const char *encoding_name(u32 encoding) {
  return encoding < encoding_count ? encoding_names[encoding] : encoding_names[0];
}

const char *encoding_error_name(u32 error) {
  return error < encoding_error_count ? encoding_error_names[error] : "unknown error";
}

// ---- Labels ----------------------------------------------------------------------------------

static bool is_label_space(u8 c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

static u32 label_row_find(const u8 *text, u64 length) {
  for (u64 i = 0; i < encoding_label_count; i++) {
    const encoding_label &row = encoding_labels[i];
    if (row.length != length) continue;
    u64 j = 0;
    while (j < length && (u8)row.text[j] == text[j]) j++;
    if (j == length) return row.encoding;
  }
  return encoding_invalid;
}

u32 encoding_from_label(const u8 *label, u64 length) {
  if (!label) return encoding_invalid;
  const u8 *begin = label, *end = label + length;
  while (begin < end && is_label_space(begin[0])) begin++;
  while (end > begin && is_label_space(end[-1])) end--;
  u8 copy[128];
  u64 used = 0;
  for (const u8 *at = begin; at < end && used < sizeof(copy); at++) {
    u8 c = *at;
    if (c > '~') break;
    copy[used++] = (c >= 'A' && c <= 'Z') ? (u8)(c + 32) : c;
  }
  if (used == 0) return encoding_invalid;
  return label_row_find(copy, used);
}

u32 encoding_from_label_loose(const u8 *label, u64 length) {
  if (!label) return encoding_invalid;
  u8 copy[128];
  u64 used = 0;
  bool after_digit = false;
  for (u64 i = 0; i < length && used < sizeof(copy); i++) {
    u8 c = label[i];
    if (c >= 'A' && c <= 'Z') c = (u8)(c + 32);
    bool letter = c >= 'a' && c <= 'z', digit = c >= '0' && c <= '9';
    // Leading zeros of a number are dropped ("utf-008" is utf8, "8859-01" is 88591); a zero
    // after a kept digit stays, or "iso-8859-10" would read as iso88591. Any byte but a digit
    // ends a number, punctuation included, although punctuation is not kept.
    if (!digit) after_digit = false;
    if ((!letter && !digit) || (c == '0' && !after_digit)) continue;
    copy[used++] = c;
    after_digit = digit;
  }
  if (used == 0) return encoding_invalid;
  return label_row_find(copy, used);
}

u32 encoding_sniff_bom(const u8 *begin, const u8 *end, u8 *bom_length) {
  u64 available = begin && end > begin ? (u64)(end - begin) : 0;
  *bom_length = 0;
  if (available >= 3 && begin[0] == 0xEF && begin[1] == 0xBB && begin[2] == 0xBF) {
    *bom_length = 3;
    return encoding_utf_8;
  }
  if (available >= 2 && begin[0] == 0xFE && begin[1] == 0xFF) {
    *bom_length = 2;
    return encoding_utf_16be;
  }
  if (available >= 2 && begin[0] == 0xFF && begin[1] == 0xFE) {
    *bom_length = 2;
    return encoding_utf_16le;
  }
  return encoding_invalid;
}

// ---- Dispatch --------------------------------------------------------------------------------

u8 encoding_decode_general(u32 encoding, const u8 *begin, const u8 *end, u32 *code_point,
                           u32 *second_code_point, u8 *count, iso_2022_jp_state *state,
                           u32 *error) {
  if (*error) return 0;
  *code_point = encoding_no_code_point;
  *count = 0;
  if (second_code_point) *second_code_point = encoding_no_code_point;
  if (encoding == encoding_utf_8) {
    // The decoder's count on an error is the maximal subpart, what one U+FFFD stands for.
    utf8_decode(begin, end, code_point, count, error);
  } else if (const u16 *table = single_byte_table(encoding)) {
    single_byte_decode(begin, end, code_point, count, table, error);
  } else {
    switch (encoding) {
    case encoding_gbk:
    case encoding_gb18030: gb18030_decode(begin, end, code_point, count, error); break;
    case encoding_big5: {
      invariant(second_code_point);
      u32 unused;
      big5_decode(begin, end, code_point, second_code_point ? second_code_point : &unused, count,
                  error);
      break;
    }
    case encoding_euc_jp: euc_jp_decode(begin, end, code_point, count, error); break;
    case encoding_iso_2022_jp: {
      invariant(state);
      iso_2022_jp_state unused{};
      iso_2022_jp_decode(begin, end, code_point, count, state ? state : &unused, error);
      break;
    }
    case encoding_shift_jis: shift_jis_decode(begin, end, code_point, count, error); break;
    case encoding_euc_kr: euc_kr_decode(begin, end, code_point, count, error); break;
    case encoding_replacement: {
      u32 reported = 0;
      replacement_decode(begin, end, count, &reported, error);
      break;
    }
    case encoding_utf_16be:
    case encoding_utf_16le: {
      utf16_decode(begin, end, code_point, count, encoding == encoding_utf_16be, error);
      // Units become bytes; an error skips one unit, or the lone byte left at the end.
      u64 available = begin < end ? (u64)(end - begin) : 0;
      u64 bytes = *error ? 2 : 2 * (u64)*count;
      if (*error == encoding_error_end_of_input) bytes = 0;
      *count = (u8)(bytes < available ? bytes : available);
      break;
    }
    case encoding_x_user_defined: x_user_defined_decode(begin, end, code_point, count, error); break;
    default: *error = encoding_error_unknown_encoding; break;
    }
  }
  return *count;
}

void encoding_encode(u32 encoding, u8 *out_begin, u8 *out_end, u32 code_point, u8 *count,
                     u32 *state, u32 *error) {
  if (*error) return;
  *count = 0;
  if (encoding == encoding_utf_8) {
    utf8_encode(out_begin, out_end, code_point, count, error);
    return;
  }
  if (const u16 *table = single_byte_table(encoding)) {
    single_byte_encode(out_begin, out_end, code_point, count, table, error);
    return;
  }
  switch (encoding) {
  case encoding_gbk: gbk_encode(out_begin, out_end, code_point, count, error); break;
  case encoding_gb18030: gb18030_encode(out_begin, out_end, code_point, count, 0, error); break;
  case encoding_big5: big5_encode(out_begin, out_end, code_point, count, error); break;
  case encoding_euc_jp: euc_jp_encode(out_begin, out_end, code_point, count, error); break;
  case encoding_iso_2022_jp: {
    invariant(state);
    u32 unused = 0;
    iso_2022_jp_encode(out_begin, out_end, code_point, count, state ? state : &unused, error);
    break;
  }
  case encoding_shift_jis: shift_jis_encode(out_begin, out_end, code_point, count, error); break;
  case encoding_euc_kr: euc_kr_encode(out_begin, out_end, code_point, count, error); break;
  case encoding_replacement: *error = encoding_error_replacement_encode; break;
  case encoding_utf_16be:
  case encoding_utf_16le:
    utf16_encode(out_begin, out_end, code_point, count, encoding == encoding_utf_16be, error);
    if (*error == 0) *count = (u8)(*count * 2);
    break;
  case encoding_x_user_defined: x_user_defined_encode(out_begin, out_end, code_point, count, error); break;
  default: *error = encoding_error_unknown_encoding; break;
  }
}

void encoding_encode_finish(u32 encoding, u8 *out_begin, u8 *out_end, u8 *count, u32 *state,
                            u32 *error) {
  if (*error) return;
  *count = 0;
  if (encoding != encoding_iso_2022_jp) return;
  invariant(state);
  if (state) iso_2022_jp_encode_finish(out_begin, out_end, count, state, error);
}
