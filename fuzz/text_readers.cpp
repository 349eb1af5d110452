// Untrusted bytes through the integer readers, the UTF-8 and UTF-16 decoders with their steps and
// cuts, the whole-text conversions and the backward scans: every call must stay inside the input, every loop must
// make progress, and what the conversions write must be well-formed and fit the destination.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/core.h"

#define CHECK(cond)                                                        \
  do {                                                                     \
    if (!(cond)) {                                                         \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                             \
    }                                                                      \
  } while (0)

static void fuzz_integers(const u8 *data, u64 size) {
  bool over = false;
  s64 a = string_parse_integer(data, size, &over);
  s64 b = string_parse_integer(data, size, nullptr);
  CHECK(a == b);
  if (over) CHECK(a == INT64_MAX || a == INT64_MIN);
  over = false;
  s64 c = string_parse_s64(data, size, &over);
  if (over) CHECK(c == INT64_MAX || c == INT64_MIN);
  // Whatever was read writes and reads back.
  u8 text[64];
  u64 n = format_signed(text, sizeof text, a, 0, ' ', 0);
  over = false;
  CHECK(string_parse_integer(text, n, &over) == a && !over);
  n = format_signed(text, sizeof text, c, 20, '0', format_hex | format_sign_first);
  CHECK(string_parse_s64(text, n, &over) == c && !over);
}

static void fuzz_utf8(const u8 *data, u64 size) {
  const u8 *end = data + size;
  u64 count = 0;
  for (const u8 *p = data; p < end; count++) {
    u32 c, e = 0;
    u8 n;
    unicode_utf8_decode(p, end, &c, &n, &e);
    if (e) {
      CHECK(c == unicode_invalid);
      p++;
    } else {
      CHECK(n >= 1 && n <= 4 && n <= end - p && unicode_is_scalar_value(c));
      p += n;
    }
  }
  CHECK(count == unicode_utf8_count(data, end));

  // Steps cover the text exactly, each a whole sequence or the maximal subpart of a broken one;
  // a cut never ends inside a whole sequence and stays within three bytes of its limit.
  for (const u8 *p = data; p < end;) {
    u8 step = unicode_utf8_step(p, end);
    CHECK(step >= 1 && step <= 4 && step <= end - p);
    u32 c, e = 0;
    u8 n;
    unicode_utf8_decode(p, end, &c, &n, &e);
    CHECK(e ? step <= 3 : step == n);
    p += step;
  }
  CHECK(unicode_utf8_step(end, end) == 0);
  for (u64 max = 0; max <= size + 1; max += 1 + max / 8) {
    u64 cut = unicode_utf8_cut(data, size, max);
    CHECK(cut <= size && cut <= max && (max > size || cut + 3 >= max));
    if (cut < size && cut < max) CHECK((data[cut] & 0xC0) != 0x80 || cut == 0);
  }

  // Backward from the end: each step lands strictly earlier, inside the text.
  u32 e = 0;
  const u8 *p = end;
  for (;;) {
    u32 c;
    u8 n;
    const u8 *q = unicode_utf8_decode_backward(data, p, &c, &n, &e);
    if (!q) break;
    CHECK(q >= data && q < p && q + n == p);
    p = q;
  }
  u32 errors[4] = {};
  const u8 *found[4] = {unicode_find_first_space(data, end, &errors[0]),
                        unicode_find_first_non_space(data, end, &errors[1]),
                        unicode_find_last_space(data, end, &errors[2]),
                        unicode_find_last_non_space(data, end, &errors[3])};
  for (const u8 *f : found) CHECK(!f || (f >= data && f < end));

  // Conversion into a destination of exactly the capacity the input implies (or less).
  u64 capacity = (size * 2 + 2) >> (size & 1);
  u8 *wide = (u8 *)malloc(capacity ? capacity : 1);
  e = 0;
  u64 units = unicode_utf8_to_utf16(data, size, wide, capacity, &e);
  CHECK(2 * units <= capacity);
  CHECK(e == 0 || e == unicode_error_output_too_small);
  if (e == 0) CHECK(unicode_utf16_count(wide, wide + 2 * units) == count);
  u64 narrow_capacity = units * 3 + 1;
  u8 *narrow = (u8 *)malloc(narrow_capacity);
  u32 e2 = 0;
  u64 n = unicode_utf16_to_utf8(wide, units, narrow, narrow_capacity, &e2);
  CHECK(e2 == 0 && n <= narrow_capacity);
  for (const u8 *q = narrow; q < narrow + n;) {
    u32 c, e3 = 0;
    u8 len;
    unicode_utf8_decode(q, narrow + n, &c, &len, &e3);
    CHECK(e3 == 0);
    q += len;
  }
  free(narrow);
  free(wide);
}

static void fuzz_utf16(const u8 *data, u64 size) {
  const u8 *end = data + size;
  for (int order = 0; order < 2; order++) {
    bool big_endian = order == 1;
    for (const u8 *p = data; end - p >= 2;) {
      u32 c, e = 0;
      u8 units;
      unicode_utf16_decode(p, end, &c, &units, big_endian, &e);
      if (e) {
        CHECK(c == unicode_invalid);
        p += 2;
      } else {
        CHECK((units == 1 || units == 2) && 2 * units <= end - p && unicode_is_scalar_value(c));
        p += 2 * units;
      }
    }
  }
  u64 capacity = size + size / 2 + 1;
  u8 *narrow = (u8 *)malloc(capacity);
  u32 e = 0;
  u64 n = unicode_utf16_to_utf8(data, size / 2, narrow, capacity, &e);
  CHECK(n <= capacity);
  CHECK(e == 0 || e == unicode_error_output_too_small);
  if (e == 0) CHECK(unicode_utf8_count(narrow, narrow + n) == unicode_utf16_count(data, data + (size & ~1ull)));
  free(narrow);
}

static void fuzz_strings(const u8 *data, u64 size) {
  if (size == 0) return;
  u64 k = data[0] % 5;
  if (k > size) k = size;
  const u8 *end = data + size;
  u8 *f = string_find(data, end, data + size - k, k);
  CHECK(f == end || (f >= data && f + k <= end));
  u8 *l = string_find_last(data, end, data, k);
  CHECK(l == end || (l >= data && l + k <= end));
  buffer text = string_from_bytes(data, size);
  buffer t = string_trim_left_any(text, string_lit(" \t\r\n"));
  CHECK(buffer_limit(t) == buffer_limit(text) && t.used <= t.size);
  t = string_trim_right_any(t, string_lit(" \t\r\n"));
  CHECK(t.data >= data && t.data + t.used <= end);
  tokenizer z = tokenizer_from_buffer(text);
  for (u64 guard = 0; guard <= size; guard++) {
    buffer w = tokenizer_next_word(&z);
    if (!w.used) break;
    CHECK(w.data >= data && w.data + w.used <= end);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_integers(data, size);
  fuzz_utf8(data, size);
  fuzz_utf16(data, size);
  fuzz_strings(data, size);
  return 0;
}
