// Call trees from event arrays, per-zone statistics, tree queries and walks. Every walk follows
// the parent links instead of recursing, because a tree's depth is whatever its events say.
#include <string.h>

#include "profiler/profile.h"

static void profiler_error_set(u32 *error, u32 code) {
  if (*error == 0) *error = code;
}

static u64 sat_sub(u64 a, u64 b) { return a > b ? a - b : 0; }
static u64 sat_add(u64 a, u64 b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// ---- Clock conversion --------------------------------------------------------------------

u64 profiler_ticks_to_qpc(const profiler_profile *p, u64 t) {
  typedef unsigned __int128 u128;
  switch (p->tsc_conversion) {
    case profiler_conversion_ratio: {
      // Exact in 128 bits, so the run's own length converts to exactly the counter's.
      if (p->tsc_run == 0) return 0;
      u128 q = (u128)t * p->qpc_run / p->tsc_run;
      return q > UINT64_MAX ? UINT64_MAX : (u64)q;
    }
    case profiler_conversion_system: {
      if (p->tsc_method == 2) t = (u64)(((u128)p->hypervisor_scale * t) >> 64) + p->hypervisor_offset;
      // Wrapping is the kernel's own arithmetic: the bias may stand for a negative offset.
      return p->qpc_shift < 64 ? (t + p->qpc_bias) >> p->qpc_shift : 0;
    }
    case profiler_conversion_multiplier:
      return p->multiplier_shift < 128 ? (u64)(((u128)p->multiplier * t) >> p->multiplier_shift) : 0;
    default:
      invariant(!"unknown conversion kind");
      return 0;
  }
}

// ---- Building ----------------------------------------------------------------------------

u64 profiler_node_stride(u64 label_length) {
  // The label copy is zero-terminated and padded so the next node stays aligned.
  return sizeof(profiler_node) + (label_length ? align_up(label_length + 1, 8) : 0);
}

profiler_node *profiler_tree_push_node(profiler_profile *p, buffer *block, profiler_node *parent,
                                       const profiler_event *begin, const char *label, u64 label_length,
                                       u32 *error) {
  if (*error) return nullptr;
  u64 stride = profiler_node_stride(label_length);
  if (block->used > block->size || stride > block->size - block->used) {
    profiler_error_set(error, profiler_error_past_end);
    return nullptr;
  }
  profiler_node *n = (profiler_node *)(block->data + block->used);
  block->used += stride;
  memset(n, 0, sizeof *n);
  if (label_length) {
    char *copy = (char *)(n + 1);
    memcpy(copy, label, label_length);
    copy[label_length] = 0;
    n->label = copy;
  }
  if (!parent) return n;
  n->zone = begin->zone;
  n->flags = begin->flags & (profiler_node_frame | profiler_node_collapsed);
  n->tsc_begin = begin->tsc;
  n->qpc_begin = profiler_ticks_to_qpc(p, begin->tsc);
  n->parent = parent;
  if (parent->last_child) {
    parent->last_child->next_sibling = n;
  } else {
    parent->first_child = n;
  }
  parent->last_child = n;
  parent->child_count += 1;
  return n;
}

static profiler_event profiler_event_at(const u8 *events, u64 i) {
  profiler_event e;
  memcpy(&e, events + i * sizeof e, sizeof e);
  return e;
}

profiler_node *profiler_tree_build(profiler_profile *p, const u8 *events, u64 bytes, const char *label,
                                   u64 label_length, buffer *block, profiler_stats *stats, u32 *error) {
  if (*error) return nullptr;
  invariant(block->data == nullptr);
  if (bytes % sizeof(profiler_event) || (bytes && !events)) {
    profiler_error_set(error, profiler_error_malformed);
    return nullptr;
  }
  u64 count = bytes / sizeof(profiler_event);

  // A first pass proves the events balanced and in range, so the second cannot run out of room
  // or leave the root.
  u64 begins = 0, depth = 0;
  bool whole = true;
  for (u64 i = 0; i < count && whole; i++) {
    profiler_event e = profiler_event_at(events, i);
    if (e.flags & profiler_event_zone_begin) {
      whole = e.zone < p->zone_count;
      begins += 1;
      depth += 1;
    } else if ((e.flags & profiler_event_zone_end) && depth > 0) {
      depth -= 1;
    } else {
      whole = false;  // an end at the root, or neither a begin nor an end
    }
  }
  if (!whole || depth != 0) {
    profiler_error_set(error, profiler_error_malformed);
    return nullptr;
  }

  u64 stride = profiler_node_stride(label_length);
  if (begins + 1 > UINT64_MAX / stride) {
    profiler_error_set(error, profiler_error_no_memory);
    return nullptr;
  }
  u64 size = (begins + 1) * stride;
  *block = memory_alloc(size, nullptr);
  if (!block->data) {
    profiler_error_set(error, profiler_error_no_memory);
    return nullptr;
  }
  if (stats) profiler_stats_create(stats, p->zone_count, error);
  if (*error) {
    memory_free(block);
    return nullptr;
  }

  profiler_node *root = profiler_tree_push_node(p, block, nullptr, nullptr, label, label_length, error);
  profiler_node *current = root;
  // A thread that moved between cores can read a TSC below an earlier one (even an end below
  // its begin). Time is taken as never going back: each reading is at least the one before, so
  // a duration is never negative and children always fit inside their parent.
  u64 latest = 0;
  for (u64 i = 0; i < count; i++) {
    profiler_event e = profiler_event_at(events, i);
    if (e.tsc < latest) e.tsc = latest;
    latest = e.tsc;
    if (e.flags & profiler_event_zone_begin) {
      current = profiler_tree_push_node(p, block, current, &e, label, label_length, error);
      continue;
    }
    current->tsc_end = e.tsc;
    // The conversion may not be monotonic (a bias that wraps); keep the counter span whole too.
    u64 q = profiler_ticks_to_qpc(p, current->tsc_end);
    current->qpc_end = q > current->qpc_begin ? q : current->qpc_begin;
    profiler_node *parent = current->parent;
    parent->tsc_children = sat_add(parent->tsc_children, current->tsc_end - current->tsc_begin);
    parent->qpc_children = sat_add(parent->qpc_children, current->qpc_end - current->qpc_begin);
    current = parent;
  }
  invariant(current == root && block->used == block->size);

  if (root->first_child) {
    root->tsc_begin = root->first_child->tsc_begin;
    root->qpc_begin = root->first_child->qpc_begin;
    root->tsc_end = root->last_child->tsc_end > root->tsc_begin ? root->last_child->tsc_end : root->tsc_begin;
    root->qpc_end = root->last_child->qpc_end > root->qpc_begin ? root->last_child->qpc_end : root->qpc_begin;
  }
  if (stats) {
    profiler_stats_compute(stats, root, profiler_stats_descend);
    profiler_stats_compact(stats);
    profiler_stats_sort(stats, 0);
  }
  if (root->tsc_end - root->tsc_begin > p->max_root_cycles) {
    p->max_root_cycles = root->tsc_end - root->tsc_begin;
    p->max_root_ticks = root->qpc_end - root->qpc_begin;
  }
  return root;
}

static u64 profiler_digits(u64 v) {
  u64 n = 0;
  for (; v; v /= 10) n++;
  return n;
}

void profiler_report_widths(profiler_profile *p) {
  p->cycles_width = (u16)profiler_digits(p->max_root_cycles);
  u64 seconds = p->qpc_frequency ? p->max_root_ticks / p->qpc_frequency : 0;
  u64 w = profiler_digits(seconds);
  p->seconds_width = (u8)(w ? w : 1);
}

u32 profiler_zone_find(const profiler_profile *p, const char *name, u64 length) {
  if (!name) return UINT32_MAX;
  for (u32 i = 0; i < p->zone_count; i++) {
    if (p->zone_name_lengths[i] == length && memcmp(p->zone_names[i], name, length) == 0) return i;
  }
  return UINT32_MAX;
}

// ---- Statistics --------------------------------------------------------------------------

void profiler_stats_create(profiler_stats *s, u32 rows, u32 *error) {
  if (*error) return;
  *s = profiler_stats{};
  s->block = memory_alloc((u64)rows * PROFILER_STATS_ROW_SIZE, nullptr);
  if (rows && !s->block.data) {
    profiler_error_set(error, profiler_error_no_memory);
    return;
  }
  buffer *b = &s->block;
  s->first_open = (profiler_node **)buffer_push(b, 8ull * rows, 8);
  s->total = (u64 *)buffer_push(b, 8ull * rows, 8);
  s->self = (u64 *)buffer_push(b, 8ull * rows, 8);
  s->total_ticks = (u64 *)buffer_push(b, 8ull * rows, 8);
  s->self_ticks = (u64 *)buffer_push(b, 8ull * rows, 8);
  s->calls = (u64 *)buffer_push(b, 8ull * rows, 8);
  s->zone_index = (s32 *)buffer_push(b, 4ull * rows, 4);
  invariant(b->used == b->size);
  s->row_count = rows;
  profiler_stats_reset(s);
}

void profiler_stats_reset(profiler_stats *s) {
  u64 rows = s->row_count;
  if (!rows) return;
  memset(s->first_open, 0, 8 * rows);
  memset(s->total, 0, 8 * rows);
  memset(s->self, 0, 8 * rows);
  memset(s->total_ticks, 0, 8 * rows);
  memset(s->self_ticks, 0, 8 * rows);
  memset(s->calls, 0, 8 * rows);
  for (u32 i = 0; i < s->row_count; i++) s->zone_index[i] = (s32)i;
  s->used_rows = s->row_count;
}

void profiler_stats_free(profiler_stats *s) {
  memory_free(&s->block);
  *s = profiler_stats{};
}

namespace {

// A node's span, clipped to the window when there is one.
struct span {
  u64 cycles;
  u64 ticks;
};

struct stats_walk {
  profiler_stats *stats;
  const profiler_window *window;  // null: whole nodes

  bool overlaps(const profiler_node *n) const {
    return !window || (n->tsc_begin < window->tsc_end && n->tsc_end > window->tsc_begin);
  }

  static u64 clip(u64 v, u64 lo, u64 hi) { return v < lo ? lo : (v > hi ? hi : v); }

  span of(const profiler_node *n) const {
    if (!window) return {sat_sub(n->tsc_end, n->tsc_begin), sat_sub(n->qpc_end, n->qpc_begin)};
    const profiler_window &w = *window;
    return {sat_sub(clip(n->tsc_end, w.tsc_begin, w.tsc_end), clip(n->tsc_begin, w.tsc_begin, w.tsc_end)),
            sat_sub(clip(n->qpc_end, w.qpc_begin, w.qpc_end), clip(n->qpc_begin, w.qpc_begin, w.qpc_end))};
  }

  // The children's (clipped) time, whether or not they are added themselves.
  span children_of(const profiler_node *n) const {
    span sum = {0, 0};
    for (const profiler_node *c = n->first_child; c; c = c->next_sibling) {
      if (!overlaps(c)) continue;
      span s = of(c);
      sum.cycles = sat_add(sum.cycles, s.cycles);
      sum.ticks = sat_add(sum.ticks, s.ticks);
    }
    return sum;
  }

  void enter(const profiler_node *n) {
    u32 z = n->zone;
    invariant(z < stats->row_count);
    stats->calls[z] += 1;
    if (!stats->first_open[z]) {
      stats->first_open[z] = (profiler_node *)n;
      span s = of(n);
      stats->total[z] = sat_add(stats->total[z], s.cycles);
      stats->total_ticks[z] = sat_add(stats->total_ticks[z], s.ticks);
    }
  }

  void leave(const profiler_node *n) {
    u32 z = n->zone;
    span s = of(n), c = children_of(n);
    stats->self[z] = sat_add(stats->self[z], sat_sub(s.cycles, c.cycles));
    stats->self_ticks[z] = sat_add(stats->self_ticks[z], sat_sub(s.ticks, c.ticks));
    if (stats->first_open[z] == n) stats->first_open[z] = nullptr;
  }

  span run(const profiler_node *root, u32 flags) {
    profiler_stats_reset(stats);
    span covered = children_of(root);
    if (stats->row_count > zone_profiler_not_measured) {
      span whole = of(root);
      u32 z = zone_profiler_not_measured;
      stats->total[z] = stats->self[z] = sat_sub(whole.cycles, covered.cycles);
      stats->total_ticks[z] = stats->self_ticks[z] = sat_sub(whole.ticks, covered.ticks);
    }
    bool descend = flags & profiler_stats_descend;
    const profiler_node *n = root->first_child;
    while (n) {
      if (overlaps(n)) {
        enter(n);
        if (descend && n->first_child) {
          n = n->first_child;
          continue;
        }
        leave(n);
      }
      // On to the next sibling, leaving every finished parent on the way up.
      while (n != root && !n->next_sibling) {
        n = n->parent;
        if (n != root) leave(n);
      }
      n = n == root ? nullptr : n->next_sibling;
    }
    for (u32 i = 0; i < stats->row_count; i++) invariant(stats->first_open[i] == nullptr);
    return covered;
  }
};

}  // namespace

void profiler_stats_compute(profiler_stats *stats, const profiler_node *root, u32 flags) {
  stats_walk w = {stats, nullptr};
  w.run(root, flags);
}

profiler_window_times profiler_stats_compute_window(profiler_stats *stats, const profiler_node *root, u32 flags,
                                                    profiler_window window) {
  stats_walk w = {stats, &window};
  span covered = w.run(root, flags);
  return {covered.cycles, covered.ticks};
}

u32 profiler_stats_count_used(const profiler_stats *s) {
  u32 n = 0;
  for (u32 i = 0; i < s->row_count; i++) n += s->total[i] != 0;
  return n;
}

static void profiler_stats_swap(profiler_stats *s, u32 a, u32 b) {
  u64 t;
  t = s->total[a], s->total[a] = s->total[b], s->total[b] = t;
  t = s->self[a], s->self[a] = s->self[b], s->self[b] = t;
  t = s->total_ticks[a], s->total_ticks[a] = s->total_ticks[b], s->total_ticks[b] = t;
  t = s->self_ticks[a], s->self_ticks[a] = s->self_ticks[b], s->self_ticks[b] = t;
  t = s->calls[a], s->calls[a] = s->calls[b], s->calls[b] = t;
  s32 z = s->zone_index[a];
  s->zone_index[a] = s->zone_index[b];
  s->zone_index[b] = z;
  profiler_node *f = s->first_open[a];
  s->first_open[a] = s->first_open[b];
  s->first_open[b] = f;
}

void profiler_stats_compact(profiler_stats *s) {
  u32 used = profiler_stats_count_used(s);
  if (s->row_count) {
    u32 i = 0, j = s->row_count - 1;
    while (i < j) {
      if (s->total[i] != 0) {
        i++;
      } else if (s->total[j] == 0) {
        j--;
      } else {
        profiler_stats_swap(s, i, j);
      }
    }
  }
  s->used_rows = used;
}

// Row a goes before row b: by total, then by zone, so equal totals keep a fixed order.
static bool profiler_stats_before(const profiler_stats *s, u32 a, u32 b, bool ascending) {
  if (s->total[a] != s->total[b]) return ascending ? s->total[a] < s->total[b] : s->total[a] > s->total[b];
  return s->zone_index[a] < s->zone_index[b];
}

void profiler_stats_sort(profiler_stats *s, u32 flags) {
  bool ascending = flags & profiler_stats_ascending;
  // Quicksort that loops on the larger part, so the stack stays logarithmic.
  struct range {
    s64 lo, hi;
  } stack[64];
  u32 top = 0;
  if (s->used_rows > 1) stack[top++] = {0, (s64)s->used_rows - 1};
  while (top) {
    range r = stack[--top];
    while (r.lo < r.hi) {
      if (r.hi - r.lo < 16) {
        for (s64 i = r.lo + 1; i <= r.hi; i++) {
          for (s64 j = i; j > r.lo && profiler_stats_before(s, (u32)j, (u32)(j - 1), ascending); j--) {
            profiler_stats_swap(s, (u32)j, (u32)(j - 1));
          }
        }
        break;
      }
      // Lomuto around the middle row, moved to the end.
      s64 mid = r.lo + (r.hi - r.lo) / 2;
      profiler_stats_swap(s, (u32)mid, (u32)r.hi);
      s64 store = r.lo;
      for (s64 i = r.lo; i < r.hi; i++) {
        if (profiler_stats_before(s, (u32)i, (u32)r.hi, ascending)) profiler_stats_swap(s, (u32)i, (u32)store++);
      }
      profiler_stats_swap(s, (u32)store, (u32)r.hi);
      range left = {r.lo, store - 1}, right = {store + 1, r.hi};
      if (left.hi - left.lo < right.hi - right.lo) {
        stack[top++] = right;
        r = left;
      } else {
        stack[top++] = left;
        r = right;
      }
    }
  }
}

// ---- Tree queries and walks --------------------------------------------------------------

bool profiler_node_is_root(const profiler_node *n) { return n && !n->parent; }

profiler_node *profiler_node_root(profiler_node *n) {
  while (n && n->parent) n = n->parent;
  return n;
}

// Pre-order successor of n inside the subtree of top; null after the last.
static profiler_node *profiler_next_in(profiler_node *n, const profiler_node *top) {
  if (n->first_child) return n->first_child;
  while (n != top) {
    if (n->next_sibling) return n->next_sibling;
    n = n->parent;
  }
  return nullptr;
}

profiler_node *profiler_node_find_child(profiler_node *node, u32 zone) {
  // The search scans a node's direct children before it goes into any of their subtrees, and
  // goes into the subtrees in order: the first node in pre-order whose children hold the zone.
  for (profiler_node *p = node; p; p = profiler_next_in(p, node)) {
    for (profiler_node *c = p->first_child; c; c = c->next_sibling) {
      if (c->zone == zone) return c;
    }
  }
  return nullptr;
}

profiler_node *profiler_node_find(profiler_node *node, u32 zone) {
  for (profiler_node *p = node; p; p = profiler_next_in(p, node)) {
    if (p->parent && p->zone == zone) return p;
  }
  return nullptr;
}

profiler_iterator profiler_iterator_make(profiler_node *root) { return {root, root}; }

profiler_node *profiler_iterator_next_depth(profiler_iterator *it) {
  profiler_node *n = it->current;
  if (!n) return nullptr;
  it->current = profiler_next_in(n, it->root);
  return it->current;
}

profiler_node *profiler_iterator_next_breadth(profiler_iterator *it) {
  profiler_node *n = it->current;
  if (!n) return nullptr;
  profiler_node *next = nullptr;
  if (n == it->root) {
    next = n->first_child;
  } else if (n->next_sibling) {
    next = n->next_sibling;
  } else {
    // The end of a sibling list: the children of its first node that has any.
    for (profiler_node *s = n->parent->first_child; s && !next; s = s->next_sibling) next = s->first_child;
    // Failing that, the children of the first later sibling with any, one level up at a time.
    for (profiler_node *up = n->parent; !next && up != it->root; up = up->parent) {
      for (profiler_node *s = up->next_sibling; s && !next; s = s->next_sibling) next = s->first_child;
    }
  }
  it->current = next;
  return next;
}
