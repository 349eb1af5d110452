#include <limits.h>
#include <string.h>

#include "core/strings.h"

// ---- Writing -----------------------------------------------------------------------------

namespace {

// Writes stop at size; the count is what was actually written.
struct text_writer {
  u8 *data;
  u64 size;
  u64 count;
  bool full() const { return count >= size; }
  void put(u8 c) {
    if (count < size) data[count++] = c;
  }
};

u32 hex_group_size(u32 flags) {
  if (flags & format_hex_group_2) return 2;
  if (flags & format_hex_group_4) return 4;
  if (flags & format_hex_group_8) return 8;
  return 0;
}

u32 hex_min_digits(u32 flags) {
  if (flags & format_hex_min_2) return 2;
  if (flags & format_hex_min_4) return 4;
  if (flags & format_hex_min_8) return 8;
  if (flags & format_hex_min_16) return 16;
  return 0;
}

// The layout shared by both formatters. group_padding: decimal groups of 3 extend into the
// padding before the number (only the unsigned formatter does this).
u64 format_integer(u8 *destination, u64 size, u64 magnitude, bool negative, u64 width, u8 pad,
                   u32 flags, bool group_padding) {
  if (size == 0) return 0;
  bool hex = flags & format_hex;
  u64 base = hex ? 16 : 10;

  // Digits, least significant first.
  u8 digit_text[24];
  u64 digits = 0;
  u8 letters = (flags & format_hex_upper) ? 'A' : 'a';
  do {
    u64 d = magnitude % base;
    digit_text[digits++] = (u8)(d < 10 ? '0' + d : letters + d - 10);
    magnitude /= base;
  } while (magnitude);

  u8 sign = negative ? '-' : (flags & format_always_sign) ? '+' : 0;
  u64 sign_length = sign ? 1 : 0;
  u64 prefix_length = hex && !(flags & format_no_prefix) ? 2 : 0;
  u64 positions = digits;
  if (hex && hex_min_digits(flags) > positions) positions = hex_min_digits(flags);

  // Group size of the separators between digits, and whether they count towards the width.
  u64 group = 0;
  bool counted = false;
  if (hex) {
    group = hex_group_size(flags);
    counted = group != 0;
  } else if (flags & format_decimal_group_3) {
    group = 3;
    counted = true;
  } else {
    group = hex_group_size(flags);
  }

  bool pad_after = flags & format_pad_after;
  bool grouped_padding = group_padding && !hex && (flags & format_decimal_group_3) && width && !pad_after;
  u64 separators = counted ? (positions - 1) / group : 0;
  if (grouped_padding) {
    // Character positions left of the grouped digits, numbered from the right; every fourth
    // one is a separator, so the padding reads as further groups of 3.
    u64 fixed = sign_length + separators + digits;
    if (width > fixed) {
      u64 low = digits + separators + 1;
      u64 high = width - sign_length;
      separators += high / 4 - (low - 1) / 4;
    }
  }
  u64 extra = sign_length + prefix_length + separators;
  u64 padding = width > extra + positions ? width - (extra + positions) : 0;

  text_writer w = {destination, size, 0};
  if (sign && (flags & format_sign_first)) w.put(sign);
  if (prefix_length) {
    w.put('0');
    w.put('x');
  }
  if (!pad_after) {
    // The padding can be far longer than the destination: stop once it is full.
    for (u64 i = 0; i < padding && !w.full(); i++) {
      w.put(pad);
      if (grouped_padding && (padding - i + digits - 1) % 3 == 0) w.put(' ');
    }
  }
  if (sign && !(flags & format_sign_first)) w.put(sign);
  // Leading zeros: a separator follows one when a whole number of groups remains after it.
  for (u64 k = 0; k < positions - digits; k++) {
    w.put('0');
    if (group && (positions - k - 1) % group == 0) w.put(' ');
  }
  for (u64 i = digits; i-- > 0;) {
    if (group && i + 1 < digits && (i + 1) % group == 0) w.put(' ');
    w.put(digit_text[i]);
  }
  if (pad_after)
    for (u64 i = 0; i < padding && !w.full(); i++) w.put(pad);
  return w.count;
}

}  // namespace

u64 format_unsigned(u8 *destination, u64 size, u64 value, u64 width, u8 pad, u32 flags) {
  return format_integer(destination, size, value, false, width, pad, flags, true);
}

u64 format_signed(u8 *destination, u64 size, s64 value, u64 width, u8 pad, u32 flags) {
  bool negative = value < 0;
  // Negating in unsigned arithmetic keeps the most negative value exact.
  u64 magnitude = negative ? 0 - (u64)value : (u64)value;
  return format_integer(destination, size, magnitude, negative, width, pad, flags, false);
}

u64 buffer_push_unsigned(buffer *arena, u64 value, u64 width, u8 pad, u32 flags) {
  u64 n = format_unsigned(arena->data + arena->used, buffer_free_bytes(*arena), value, width, pad, flags);
  arena->used += n;
  return n;
}

u64 buffer_push_size(buffer *arena, u64 bytes) {
  static const struct {
    u64 unit;
    const char *name;
  } units[] = {{GiB(1), " GiB"}, {MiB(1), " MiB"}, {KiB(1), " KiB"}, {1, " bytes"}};
  u64 i = 0;
  while (bytes == 0 ? units[i].unit != 1 : bytes % units[i].unit != 0) i++;
  u64 start = arena->used;
  buffer_push_unsigned(arena, bytes / units[i].unit, 0, ' ', 0);
  u64 k = strlen(units[i].name);
  if (buffer_free_bytes(*arena) >= k) buffer_push_bytes(arena, units[i].name, k);
  return arena->used - start;
}

u64 buffer_push_signed(buffer *arena, s64 value, u64 width, u8 pad, u32 flags) {
  u64 n = format_signed(arena->data + arena->used, buffer_free_bytes(*arena), value, width, pad, flags);
  arena->used += n;
  return n;
}

// ---- Reading -----------------------------------------------------------------------------

namespace {

bool parse_is_space(u8 c) { return c == 32 || (c >= 9 && c <= 13); }

// Reads "0x" and hexadecimal digits, or decimal digits, from data[i ..) and applies the sign.
// The magnitude is kept exact while it fits; past the s64 range the result saturates.
s64 parse_digits(const u8 *data, u64 length, u64 i, bool negative, bool *overflowed) {
  u64 base = 10;
  if (length - i >= 3 && data[i] == '0' && data[i + 1] == 'x') {
    base = 16;
    i += 2;
  }
  u64 value = 0;
  bool over = false;
  for (; i < length; i++) {
    u8 c = data[i];
    u64 d;
    if (char_is_digit(c))
      d = char_digit_value(c);
    else if (base == 16 && char_is_hex(c))
      d = char_hex_value(c);
    else
      break;
    if (value > (UINT64_MAX - d) / base) over = true;
    if (!over) value = value * base + d;
  }
  u64 limit = negative ? (u64)INT64_MAX + 1 : (u64)INT64_MAX;
  if (over || value > limit) {
    if (overflowed) *overflowed = true;
    return negative ? INT64_MIN : INT64_MAX;
  }
  return negative ? (s64)(0 - value) : (s64)value;
}

}  // namespace

s64 string_parse_integer(const u8 *data, u64 length, bool *overflowed) {
  if (!data) return 0;
  u64 i = 0;
  while (i < length && (parse_is_space(data[i]) || data[i] == '+')) i++;
  bool negative = false;
  if (i < length && data[i] == '-') {
    negative = true;
    i++;
  }
  return parse_digits(data, length, i, negative, overflowed);
}

s64 string_parse_s64(const u8 *data, u64 length, bool *overflowed) {
  if (!data) return 0;
  u64 i = 0;
  while (i < length && parse_is_space(data[i])) i++;
  bool negative = false;
  if (i < length && (data[i] == '-' || data[i] == '+')) {
    negative = data[i] == '-';
    i++;
  }
  return parse_digits(data, length, i, negative, overflowed);
}
