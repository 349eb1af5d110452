#include "core/strings.h"

#include <string.h>

#include "profiler/profiler.h"

// ---- Character classes -------------------------------------------------------------------

bool char_is_any(u32 c, const void *set, u64 n) {
  if (c > 0xFF) return false;
  const u8 *s = (const u8 *)set;
  for (u64 i = 0; i < n; i++)
    if (s[i] == c) return true;
  return false;
}

bool char_is_any_u32(u32 c, const u32 *set, u64 n) {
  PROFILE_ZONE(zone_char_is_any_u32);
  for (u64 i = 0; i < n; i++)
    if (set[i] == c) return true;
  return false;
}

u32 string_length(const char *s) {
  if (!s) return 0;
  return (u32)strlen(s);
}

// ---- Comparison --------------------------------------------------------------------------

static bool bytes_equal_folded(const u8 *a, const u8 *b, u64 n) {
  for (u64 i = 0; i < n; i++)
    if (char_to_lower(a[i]) != char_to_lower(b[i])) return false;
  return true;
}

bool string_equal_bytes(const void *a, u64 a_length, const void *b, u64 b_length) {
  invariant(a || a_length == 0);
  invariant(b || b_length == 0);
  if (a_length != b_length) return false;
  return a_length == 0 || memcmp(a, b, a_length) == 0;
}

bool string_equal(buffer a, buffer b) { return string_equal_bytes(a.data, a.used, b.data, b.used); }

bool string_equal_ignore_case(buffer a, buffer b) {
  if (a.used != b.used) return false;
  return bytes_equal_folded(a.data, b.data, a.used);
}

bool string_starts_with_bytes(const u8 *begin, const u8 *end, const void *prefix, u64 prefix_length) {
  if (prefix_length == 0) return true;
  if (!begin || end < begin || (u64)(end - begin) < prefix_length) return false;
  return memcmp(begin, prefix, prefix_length) == 0;
}

bool string_starts_with(buffer text, buffer prefix) {
  return string_starts_with_bytes(text.data, text.data + text.used, prefix.data, prefix.used);
}

bool string_starts_with_ignore_case_bytes(const u8 *begin, const u8 *end, const void *prefix,
                                          u64 prefix_length) {
  if (prefix_length == 0) return true;
  if (!begin || end < begin || (u64)(end - begin) < prefix_length) return false;
  return bytes_equal_folded(begin, (const u8 *)prefix, prefix_length);
}

bool string_starts_with_ignore_case(buffer text, buffer prefix) {
  return string_starts_with_ignore_case_bytes(text.data, text.data + text.used, prefix.data, prefix.used);
}

// ---- Search ------------------------------------------------------------------------------

static bool search_arguments_bad(const u8 *cursor, const u8 *end, u64 needle_length) {
  return !cursor || !end || cursor >= end || needle_length == 0 || needle_length > (u64)(end - cursor);
}

u8 *string_find(const u8 *cursor, const u8 *end, const void *needle, u64 needle_length) {
  if (search_arguments_bad(cursor, end, needle_length)) return (u8 *)end;
  const u8 *n = (const u8 *)needle;
  // Candidates start no later than last, so every compare stays inside the range.
  const u8 *last = end - needle_length;
  const u8 *p = cursor;
  while (p <= last) {
    p = (const u8 *)memchr(p, n[0], (u64)(last - p) + 1);
    if (!p) break;
    if (memcmp(p + 1, n + 1, needle_length - 1) == 0) return (u8 *)p;
    p++;
  }
  return (u8 *)end;
}

u8 *string_find_ignore_case(const u8 *cursor, const u8 *end, const void *needle, u64 needle_length) {
  if (search_arguments_bad(cursor, end, needle_length)) return (u8 *)end;
  const u8 *n = (const u8 *)needle;
  for (const u8 *p = cursor; p <= end - needle_length; p++)
    if (bytes_equal_folded(p, n, needle_length)) return (u8 *)p;
  return (u8 *)end;
}

u8 *string_find_last(const u8 *begin, const u8 *end, const void *needle, u64 needle_length) {
  if (search_arguments_bad(begin, end, needle_length)) return (u8 *)end;
  const u8 *p = end - needle_length;
  for (;;) {
    if (memcmp(p, needle, needle_length) == 0) return (u8 *)p;
    if (p == begin) break;
    p--;
  }
  return (u8 *)end;
}

bool string_has_any_byte(buffer a, buffer b) {
  bool present[256] = {};
  for (u64 i = 0; i < b.used; i++) present[b.data[i]] = true;
  for (u64 i = 0; i < a.used; i++)
    if (present[a.data[i]]) return true;
  return false;
}

// ---- Editing -----------------------------------------------------------------------------

void string_to_lower(buffer text) {
  for (u64 i = 0; i < text.used; i++) text.data[i] = (u8)char_to_lower(text.data[i]);
}

void string_replace_bytes(buffer *text, const char *from, const char *to) {
  u32 n = string_length(from);
  invariant(n == string_length(to));
  // The chained scan depends only on the starting byte, so it folds into one table.
  u8 map[256];
  for (u32 c = 0; c < 256; c++) {
    u8 v = (u8)c;
    for (u32 i = 0; i < n; i++)
      if (v == (u8)from[i]) v = (u8)to[i];
    map[c] = v;
  }
  for (u64 i = 0; i < text->used; i++) text->data[i] = map[text->data[i]];
}

static void replace_range_check(const buffer *text, const u8 *begin, const u8 *end) {
  invariant(begin <= end);
  invariant(begin >= text->data && end <= text->data + text->used);
}

bool string_can_replace(const buffer *text, const u8 *begin, const u8 *end, buffer replacement) {
  replace_range_check(text, begin, end);
  u64 range = (u64)(end - begin);
  if (replacement.used <= range) return true;
  u64 free_bytes = text->size > text->used ? text->size - text->used : 0;
  return free_bytes >= replacement.used - range;
}

bool string_replace(buffer *text, const u8 *begin, const u8 *end, buffer replacement) {
  if (!string_can_replace(text, begin, end, replacement)) return false;
  u64 range = (u64)(end - begin);
  u8 *at = (u8 *)begin;
  u8 *tail = (u8 *)end;
  u64 tail_length = (u64)(text->data + text->used - tail);
  if (tail_length && replacement.used != range) memmove(at + replacement.used, tail, tail_length);
  if (replacement.used) memmove(at, replacement.data, replacement.used);
  text->used = text->used - range + replacement.used;
  return true;
}

void string_advance(buffer *view, u64 n) {
  if (n > view->size) return;
  view->data += n;
  view->used = view->used > n ? view->used - n : 0;
  view->size -= n;
}

buffer string_trim_left_any(buffer text, buffer set) {
  u64 n = 0;
  while (n < text.used && char_is_any(text.data[n], set.data, set.used)) n++;
  text.data += n;
  text.used -= n;
  text.size = text.size > n ? text.size - n : 0;
  return text;
}

buffer string_trim_right_any(buffer text, buffer set) {
  while (text.used > 0 && char_is_any(text.data[text.used - 1], set.data, set.used)) text.used--;
  return text;
}

buffer string_trim_space(buffer text) {
  buffer set = string_lit(" \t\n\v\f\r");
  return string_trim_right_any(string_trim_left_any(text, set), set);
}

// ---- Tokenizer ---------------------------------------------------------------------------

tokenizer tokenizer_make(u8 *begin, u8 *end) { return tokenizer{begin, end, begin, buffer{}}; }

tokenizer tokenizer_from_buffer(buffer text) { return tokenizer_make(text.data, text.data + text.used); }

// Skips bytes whose class is `skip`, then returns the run whose class is not.
static buffer tokenizer_next_run(tokenizer *t, bool skip_spaces) {
  t->token = buffer{};
  if (!t->cursor || t->cursor >= t->end) return t->token;
  u8 *p = t->cursor;
  while (p < t->end && char_is_space(*p) == skip_spaces) p++;
  u8 *start = p;
  while (p < t->end && char_is_space(*p) != skip_spaces) p++;
  t->cursor = p;
  if (p > start) t->token = string_from_range(start, p);
  return t->token;
}

buffer tokenizer_next_word(tokenizer *t) { return tokenizer_next_run(t, true); }

buffer tokenizer_next_space_run(tokenizer *t) { return tokenizer_next_run(t, false); }

buffer tokenizer_next_until(tokenizer *t, u8 delimiter) {
  t->token = buffer{};
  if (!t->cursor || t->cursor >= t->end) return t->token;
  u8 *p = t->cursor;
  while (p < t->end && *p != delimiter) p++;
  t->token = p > t->cursor ? string_from_range(t->cursor, p) : buffer{};
  t->cursor = p;
  return t->token;
}
