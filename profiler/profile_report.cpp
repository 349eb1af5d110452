// The plain-text report: a "# Totals" table and a "# Tree" listing per thread. Every piece is
// written whole or not at all; the first piece that does not fit sets 2 and ends the report.
#include <math.h>
#include <string.h>

#include "core/strings.h"
#include "profiler/profile.h"

static void profiler_error_set(u32 *error, u32 code) {
  if (*error == 0) *error = code;
}

static bool profiler_out_room(buffer *out, u64 n, u32 *error) {
  if (*error) return false;
  if (n > buffer_free_bytes(*out)) {
    profiler_error_set(error, profiler_error_past_end);
    return false;
  }
  return true;
}

static u64 profiler_out_bytes(buffer *out, const void *source, u64 n, u32 *error) {
  if (!profiler_out_room(out, n, error)) return 0;
  if (n) memcpy(out->data + out->used, source, n);
  out->used += n;
  return n;
}

static u64 profiler_out_text(buffer *out, const char *text, u32 *error) {
  return profiler_out_bytes(out, text, strlen(text), error);
}

static u64 profiler_out_fill(buffer *out, u8 c, u64 n, u32 *error) {
  if (!profiler_out_room(out, n, error)) return 0;
  memset(out->data + out->used, c, n);
  out->used += n;
  return n;
}

// ---- Numbers -----------------------------------------------------------------------------

// Padding, then the text, checked for room as one piece.
static u64 profiler_out_padded(buffer *out, const u8 *text, u64 length, u64 width, u8 pad, u32 *error) {
  u64 fill = width > length ? width - length : 0;
  if (!profiler_out_room(out, fill + length, error)) return 0;
  profiler_out_fill(out, pad, fill, error);
  profiler_out_bytes(out, text, length, error);
  return fill + length;
}

u64 profiler_arena_push_unsigned(buffer *out, u64 value, u64 width, u8 pad, u32 flags, u32 *error) {
  if (*error) return 0;
  u8 digits[32];
  u64 n = format_unsigned(digits, sizeof digits, value, 0, ' ', flags & (format_hex | format_no_prefix));
  return profiler_out_padded(out, digits, n, width, pad, error);
}

u64 profiler_arena_push_float(buffer *out, f64 x, u64 width, u8 pad, u32 decimals, u32 *error) {
  if (*error) return 0;
  if (decimals > 18) decimals = 18;
  if (x != x) x = 0;  // NaN prints as 0
  bool negative = x < 0;
  f64 magnitude = negative ? -x : x;
  // The whole part saturates; beyond 2^53 a double has no fraction left.
  f64 whole_part = floor(magnitude);
  u64 whole = whole_part >= 18446744073709551616.0 ? UINT64_MAX : (u64)whole_part;
  f64 fraction = magnitude - whole_part;
  if (!(fraction >= 0 && fraction < 1)) fraction = 0;

  // The sign and the whole part fill the width; the fraction follows.
  u8 text[64];
  u64 n = 0;
  if (negative) text[n++] = '-';
  n += format_unsigned(text + n, sizeof text - n, whole, 0, ' ', 0);
  u64 fill = width > n ? width - n : 0;
  if (decimals) {
    text[n++] = '.';
    // Leading zeros while the fraction is below one digit, then the remaining digits as one
    // integer, which cannot have more digits than are left.
    u32 zeros = 0;
    for (u32 i = 0; i < decimals; i++) {
      fraction *= 10;
      if (fraction < 1) {
        text[n++] = '0';
        zeros++;
      }
    }
    u64 rest = (u64)fraction;
    if (rest) {
      u64 limit = 1;
      for (u32 i = zeros; i < decimals; i++) limit *= 10;
      if (rest >= limit) rest = limit - 1;
      n += format_unsigned(text + n, sizeof text - n, rest, 0, ' ', 0);
    }
  }
  return profiler_out_padded(out, text, n, n + fill, pad, error);
}

// ---- Tree --------------------------------------------------------------------------------

static void profiler_report_node(const profiler_profile *p, buffer *out, const profiler_node *n, u64 depth,
                                 u32 *error) {
  u64 indent = depth >= p->name_width ? p->name_width : depth * p->indent;
  if (indent > p->name_width) indent = p->name_width;
  u64 length = n->zone < p->zone_count ? p->zone_name_lengths[n->zone] : 0;
  profiler_out_fill(out, ' ', indent, error);
  if (length) profiler_out_bytes(out, p->zone_names[n->zone], length, error);
  if (indent + length < p->name_width) profiler_out_fill(out, '.', p->name_width - indent - length, error);
  profiler_arena_push_unsigned(out, n->tsc_end - n->tsc_begin, p->cycles_width, '.', 0, error);
  profiler_out_text(out, "c ", error);
  f64 seconds = (f64)(n->qpc_end - n->qpc_begin) / (f64)p->qpc_frequency;
  profiler_arena_push_float(out, seconds, p->seconds_width, ' ', 9, error);
  profiler_out_text(out, "s\n", error);
}

u64 profiler_report_tree(const profiler_profile *p, buffer *out, const profiler_node *node, u32 depth,
                         u32 *error) {
  if (*error || !node) return 0;
  u64 start = out->used;
  // A walk over the parent links: the depth of the listing costs no stack.
  bool root = node->parent == nullptr;
  u64 d = root ? (u64)depth - 1 : depth;  // the root's children list at depth
  const profiler_node *n = node;
  while (n && !*error) {
    if (n != node || !root) profiler_report_node(p, out, n, d, error);
    if (n->first_child) {
      n = n->first_child;
      d++;
      continue;
    }
    while (n != node && !n->next_sibling) {
      n = n->parent;
      d--;
    }
    n = n == node ? nullptr : n->next_sibling;
  }
  return out->used - start;
}

// ---- Threads -----------------------------------------------------------------------------

u64 profiler_report_thread(const profiler_profile *p, u32 thread, buffer *out, u32 *error) {
  if (*error || thread >= p->thread_count) return 0;
  invariant(p->qpc_frequency != 0);
  u64 start = out->used;
  const profiler_profile_thread *t = &p->threads[thread];
  f64 frequency = (f64)p->qpc_frequency;

  profiler_out_text(out, "Timeline[ ", error);
  profiler_arena_push_unsigned(out, thread, 0, ' ', 0, error);
  profiler_out_text(out, " ] - ", error);
  if (t->kind < p->kind_count) {
    profiler_out_bytes(out, p->kind_names[t->kind], p->kind_name_lengths[t->kind], error);
  } else {
    profiler_arena_push_unsigned(out, t->kind, 0, ' ', 0, error);  // a live kind without a name
  }
  profiler_out_text(out, "\n\n# Totals\n", error);

  const profiler_stats *s = &t->stats;
  for (u32 i = 0; i < s->used_rows && !*error; i++) {
    if (s->total[i] == 0) continue;
    u32 z = (u32)s->zone_index[i];
    u64 length = p->zone_name_lengths[z];
    u64 calls = s->calls[i];
    profiler_out_bytes(out, p->zone_names[z], length, error);
    profiler_out_fill(out, ' ', p->longest_zone_name > length ? p->longest_zone_name - length : 0, error);
    profiler_out_text(out, " | ", error);
    profiler_arena_push_unsigned(out, calls, 10, ' ', 0, error);
    profiler_out_text(out, "h | ", error);
    profiler_arena_push_unsigned(out, s->total[i], p->cycles_width, ' ', 0, error);
    profiler_out_text(out, "c | ", error);
    profiler_arena_push_unsigned(out, calls ? s->total[i] / calls : 0, p->cycles_width, ' ', 0, error);
    profiler_out_text(out, "c/h | ", error);
    profiler_arena_push_float(out, (f64)s->total_ticks[i] / frequency, p->seconds_width, ' ', 9, error);
    profiler_out_text(out, "s | ", error);
    f64 per_call = calls ? (f64)s->total_ticks[i] / (frequency * (f64)calls) : 0;
    profiler_arena_push_float(out, per_call, p->seconds_width, ' ', 9, error);
    profiler_out_text(out, "s/h | ", error);
    // Twentieths of the largest total; the slack keeps a full row from losing its last mark.
    char bar[20];
    f32 r = (f32)s->total[i] / (f32)s->total[0];
    for (u32 k = 0; k < 20; k++) {
      if (r >= 1.0f / 20 - 0.001f) {
        bar[k] = '=';
        r -= 1.0f / 20;
      } else {
        bar[k] = ' ';
      }
    }
    profiler_out_bytes(out, bar, sizeof bar, error);
    profiler_out_text(out, " |\n", error);
  }
  profiler_out_text(out, "\n# Tree\n", error);
  profiler_report_tree(p, out, t->root, 0, error);
  return out->used - start;
}

u64 profiler_report(const profiler_profile *p, u8 *memory, u64 size, u32 *error) {
  buffer out = buffer_make(size, 0, memory);
  for (u32 i = 0; i < p->thread_count && !*error; i++) {
    profiler_report_thread(p, i, &out, error);
    profiler_out_text(&out, "\n", error);
    profiler_out_fill(&out, '-', 100, error);
    profiler_out_text(&out, "\n", error);
  }
  return out.used;
}

u64 profiler_report_live(u8 *memory, u64 size, u32 *error) {
  profiler_profile p = {};
  profiler_analyze_live(&p, nullptr, 0, error);
  u64 n = profiler_report(&p, memory, size, error);
  profiler_profile_free(&p);
  return n;
}
