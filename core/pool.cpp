// Pools: slots, compaction, sorting, iteration and the debug dump.
#include <stdio.h>

#include "core/pool.h"

u64 pool_memory_size(u64 item_size, u64 item_alignment, u32 capacity) {
  u64 stack = 4 * (u64)capacity;
  return stack + align_padding(stack, item_alignment) + item_size * capacity;
}

// Lays the free stack and the items out in a piece of exactly pool_memory_size bytes. A fixed
// pool has all its memory from the start.
static void pool_init_in_piece(pool *p, buffer piece, u64 item_size, u64 item_alignment, u32 capacity) {
  *p = pool{};
  p->block = piece;
  u32 *stack = (u32 *)buffer_push(&piece, 4 * (u64)capacity, 4);
  u8 *items = (u8 *)buffer_push(&piece, item_size * capacity, item_alignment);
  // Holds whenever the piece starts on the item alignment, as every caller arranges.
  invariant(stack && items && piece.used == piece.size);
  p->free_stack = stack;
  p->items = items;
  p->max_entry_count = capacity;
  p->committed = capacity;
}

void pool_create_in_arena(buffer *arena, pool *p, u64 item_size, u64 item_alignment, u32 capacity) {
  u64 n = pool_memory_size(item_size, item_alignment, capacity);
  buffer piece = buffer_carve(arena, n, 4);
  if (!piece.data && n) {
    *p = pool{};
    return;
  }
  pool_init_in_piece(p, piece, item_size, item_alignment, capacity);
}

void pool_create(pool *p, u64 item_size, u64 item_alignment, u32 capacity) {
  u64 n = pool_memory_size(item_size, item_alignment, capacity);
  buffer block = memory_alloc(n, nullptr);
  if (!block.data) {
    *p = pool{};
    return;
  }
  pool_init_in_piece(p, block, item_size, item_alignment, capacity);
}

bool pool_reserve(pool *p, u64 item_size, u32 capacity) {
  *p = pool{};
  if (capacity == 0 || item_size == 0) return false;
  p->block = memory_reserve(item_size * capacity, nullptr);
  p->stack_block = memory_reserve(4 * (u64)capacity, nullptr);
  if (!p->block.data || !p->stack_block.data) {
    pool_destroy(p);
    return false;
  }
  p->items = p->block.data;
  p->free_stack = (u32 *)p->stack_block.data;
  p->max_entry_count = capacity;
  return true;
}

void pool_destroy(pool *p) {
  memory_free(&p->block);
  memory_free(&p->stack_block);
  *p = pool{};
}

// Each step commits this much more of the items (and the stack in proportion), so a pool's
// memory follows its high-water mark without a system call per record.
#define POOL_COMMIT_STEP (256ull * 1024)

// Commits memory for at least slots slots. Only a reserved pool can be short of memory.
static bool pool_commit(pool *p, u64 item_size, u32 slots) {
  if (slots <= p->committed) return true;
  if (!p->stack_block.data || slots > p->max_entry_count) return false;
  u64 bytes = align_up((u64)slots * item_size, POOL_COMMIT_STEP);
  if (bytes > p->block.size) bytes = p->block.size;
  if (bytes > p->block.used && !memory_commit(&p->block, bytes - p->block.used)) return false;
  u64 fit = p->block.used / item_size;
  u32 now = fit < p->max_entry_count ? (u32)fit : p->max_entry_count;
  u64 stack_bytes = 4 * (u64)now;
  if (stack_bytes > p->stack_block.used && !memory_commit(&p->stack_block, stack_bytes - p->stack_block.used))
    return false;
  p->committed = now;
  return slots <= now;
}

// ---- Slots -------------------------------------------------------------------------------

void *pool_alloc(pool *p, u64 item_size) {
  invariant(p);
  if (p->entry_count >= p->max_entry_count) return nullptr;
  u32 index;
  if (p->free_count) {
    index = p->free_stack[--p->free_count];
  } else {
    if (p->high_water >= p->committed && !pool_commit(p, item_size, p->high_water + 1)) return nullptr;
    index = p->high_water++;
  }
  p->entry_count++;
  return p->items + item_size * index;
}

u32 pool_free_stack_at(const pool *p, u32 position) {
  u32 untouched = p->max_entry_count - p->high_water;
  if (position < untouched) return p->max_entry_count - 1 - position;
  return p->free_stack[position - untouched];
}

u32 pool_handed_out_since(const pool *p, pool_handout mark, u32 *out, u32 max) {
  if (p->free_count > mark.free_count || p->high_water < mark.high_water) return 0;
  // The given-back slots came off the top of the stack first, then untouched ones in order.
  u32 popped = mark.free_count - p->free_count, fresh = p->high_water - mark.high_water, n = 0;
  for (u32 k = 0; k < popped && n < max; ++k) out[n++] = p->free_stack[mark.free_count - 1 - k];
  for (u32 k = 0; k < fresh && n < max; ++k) out[n++] = mark.high_water + k;
  return popped + fresh;
}

bool pool_fill_front(pool *p, u64 item_size, u32 count) {
  if (count > p->max_entry_count || !pool_commit(p, item_size, count)) return false;
  p->entry_count = p->high_water = count;
  p->free_count = 0;
  return true;
}

void *pool_get(pool *p, u64 item_size, u32 index) {
  invariant(p && index < p->max_entry_count);
  return p->items + item_size * index;
}

u32 pool_index_of(pool *p, u64 item_size, const void *item) {
  return (u32)(((const u8 *)item - p->items) / item_size);
}

u32 pool_free_index(pool *p, u32 index) {
  // A slot never handed out cannot be in use.
  invariant(p && p->entry_count > 0 && index < p->high_water);
#ifndef NDEBUG
  // A second free of one slot would put it on the stack twice and hand it out to two owners.
  for (u32 k = 0; k < p->free_count; k++) invariant(p->free_stack[k] != index);
#endif
  p->free_stack[p->free_count++] = index;
  p->entry_count--;
  return p->entry_count;
}

void pool_free(pool *p, void *item, u64 item_size) {
  invariant(p && item);
  invariant((u8 *)item >= p->items && range_is_whole_elements(p->items, item, item_size));
  pool_free_index(p, pool_index_of(p, item_size, item));
}

// ---- Compacting --------------------------------------------------------------------------

void pool_compact(pool *p, u64 item_size, pool_test_fn *is_live, pool_kill_fn *kill) {
  // Live items move down into the lowest free places in slot order, so their order is kept: the
  // store shows entries in slot order.
  u32 found = 0;
  for (u32 s = 0; s < p->high_water && found < p->entry_count; s++) {
    u8 *item = p->items + item_size * s;
    if (!is_live(item)) continue;
    if (s != found) {
      memory_copy(p->items + item_size * found, item, item_size);
      kill(item);
    }
    found++;
  }
  // Slots [found, max) are free now; a count that claimed more live items would hand out live
  // slots twice.
  if (found < p->entry_count) p->entry_count = found;
  p->high_water = p->entry_count;
  p->free_count = 0;
}

// ---- Sorting -----------------------------------------------------------------------------

namespace {

struct pool_sort_state {
  u8 *items;
  u64 item_size;
  u32 order;
  pool_compare_fn *compare;
  const u32 *slots;  // slots of the sorted records, ascending
};

// True when the record of rank b must come before the record of rank a (a precedes b now).
inline bool pool_sort_after(const pool_sort_state *s, u32 a, u32 b) {
  void *pa = s->items + s->item_size * s->slots[a];
  void *pb = s->items + s->item_size * s->slots[b];
  return s->order == 0 ? s->compare(pa, pb) : s->compare(pb, pa);
}

// Stable bottom-up merge sort of ranks; returns the array that holds the result.
u32 *pool_sort_ranks(const pool_sort_state *s, u32 *ranks, u32 *spare, u32 n) {
  u32 *from = ranks, *to = spare;
  // 64-bit widths: doubling past 2^31 must not wrap for the largest pools.
  for (u64 width = 1; width < n; width *= 2) {
    for (u64 lo = 0; lo < n; lo += 2 * width) {
      u64 mid = lo + width < n ? lo + width : n;
      u64 hi = mid + width < n ? mid + width : n;
      u64 i = lo, j = mid, k = lo;
      while (i < mid && j < hi) to[k++] = pool_sort_after(s, from[i], from[j]) ? from[j++] : from[i++];
      while (i < mid) to[k++] = from[i++];
      while (j < hi) to[k++] = from[j++];
    }
    u32 *t = from;
    from = to;
    to = t;
  }
  return from;
}

// The exchange sort the pool used to run, for when no memory for the ranks can be had: quadratic,
// but it needs nothing.
void pool_sort_exchange(pool *p, u64 item_size, u32 order, void *context, pool_test_fn *is_live,
                        pool_accept_fn *accept, pool_compare_fn *compare, pool_swap_fn *swap) {
  u32 seen = 0;
  for (u32 s = 0; s < p->high_water && seen + 1 < p->entry_count; s++) {
    u8 *item = p->items + item_size * s;
    if (!is_live(item)) continue;
    seen++;
    if (!accept(item, context)) continue;
    u32 later_seen = seen;
    for (u32 r = s + 1; r < p->high_water && later_seen < p->entry_count; r++) {
      u8 *other = p->items + item_size * r;
      if (!is_live(other)) continue;
      later_seen++;
      if (!accept(other, context)) continue;
      if (order == 0 ? compare(item, other) : compare(other, item)) swap(item, other);
    }
  }
}

}  // namespace

// Sorts the contents of the records at the ascending slots among themselves; ranks_space holds
// two u32 per record.
static void pool_sort_in_slots(pool *p, u64 item_size, u32 order, const u32 *slots, u32 n, u32 *ranks_space,
                               pool_compare_fn *compare, pool_swap_fn *swap) {
  if (n < 2) return;
  u32 *ranks = ranks_space, *spare = ranks_space + n;
  for (u32 i = 0; i < n; i++) ranks[i] = i;
  pool_sort_state state = {p->items, item_size, order, compare, slots};
  u32 *target = pool_sort_ranks(&state, ranks, spare, n);

  // target[j] is the rank whose record belongs at rank j. Walk each cycle: swapping place j with
  // place target[j] brings the wanted record to j and carries the cycle's first record onwards,
  // so a cycle of length L costs L - 1 swaps.
  for (u32 start = 0; start < n; start++) {
    u32 j = start;
    while (target[j] != start) {
      u32 next = target[j];
      swap(p->items + item_size * slots[j], p->items + item_size * slots[next]);
      target[j] = j;
      j = next;
    }
    target[j] = j;
  }
}

void pool_sort(pool *p, u64 item_size, u32 order, void *context, pool_test_fn *is_live,
               pool_accept_fn *accept, pool_compare_fn *compare, pool_swap_fn *swap) {
  if (!p || p->entry_count == 0) return;
  // The records taken part: the accepted ones among the first entry_count live slots.
  u32 n = 0, seen = 0;
  for (u32 s = 0; s < p->high_water && seen < p->entry_count; s++) {
    u8 *item = p->items + item_size * s;
    if (!is_live(item)) continue;
    seen++;
    if (accept(item, context)) n++;
  }
  if (n < 2) return;

  // The slots of those records, then the sort among them. Small sorts use the stack.
  u32 stack_slots[512];
  buffer block = {};
  u32 *slots = stack_slots;
  if (n > array_count(stack_slots)) {
    block = memory_alloc(4 * (u64)n, nullptr);
    if (!block.data) {
      pool_sort_exchange(p, item_size, order, context, is_live, accept, compare, swap);
      return;
    }
    slots = (u32 *)block.data;
  }
  u32 k = 0;
  seen = 0;
  for (u32 s = 0; s < p->high_water && seen < p->entry_count && k < n; s++) {
    u8 *item = p->items + item_size * s;
    if (!is_live(item)) continue;
    seen++;
    if (accept(item, context)) slots[k++] = s;
  }
  pool_sort_slots(p, item_size, order, slots, k, compare, swap);
  memory_free(&block);
}

void pool_sort_slots(pool *p, u64 item_size, u32 order, const u32 *slots, u32 n, pool_compare_fn *compare,
                     pool_swap_fn *swap) {
  if (n < 2) return;
  const u32 stack_records = 512;
  u32 stack_space[2 * stack_records];
  buffer block = {};
  u32 *space = stack_space;
  if (n > stack_records) {
    block = memory_alloc(8 * (u64)n, nullptr);
    if (!block.data) {
      // Without memory for the ranks: an exchange sort among the slots, quadratic but stable
      // enough for a fallback.
      for (u32 i = 0; i + 1 < n; i++)
        for (u32 j = i + 1; j < n; j++) {
          void *a = p->items + item_size * slots[i], *b = p->items + item_size * slots[j];
          if (order == 0 ? compare(a, b) : compare(b, a)) swap(a, b);
        }
      return;
    }
    space = (u32 *)block.data;
  }
  pool_sort_in_slots(p, item_size, order, slots, n, space, compare, swap);
  memory_free(&block);
}

// ---- Iteration ---------------------------------------------------------------------------

pool_iterator pool_iterator_init(pool *p, u64 item_size, pool_test_fn *filter) {
  return pool_iterator{p, item_size, UINT64_MAX, 0, p->entry_count, nullptr, filter};
}

void *pool_iterator_next(pool_iterator *it) {
  it->current = nullptr;
  for (;;) {
    it->index++;
    if (it->index >= it->pool->high_water || it->accepted >= it->total) return nullptr;
    u8 *item = it->pool->items + it->item_size * it->index;
    if (it->filter(item)) {
      it->accepted++;
      it->current = item;
      return item;
    }
  }
}

// ---- Debugging ---------------------------------------------------------------------------

bool pool_print(pool *p, u64 item_size, buffer *out) {
  char text[256];
  int n;
  if (p->entry_count < p->max_entry_count) {
    u32 top = p->max_entry_count - p->entry_count - 1;
    u32 index = pool_free_stack_at(p, top);
    // Memory not yet committed is zero once it is.
    u32 first = index < p->committed ? p->items[item_size * index] : 0;
    n = snprintf(text, sizeof text,
                 "{\n    max_entry_count: %u\n    entry_count: %u\n    first free: [ %u ] %u first byte: %u\n}\n",
                 p->max_entry_count, p->entry_count, top, index, first);
  } else {
    // A full pool has no top of the free stack to show.
    n = snprintf(text, sizeof text, "{\n    max_entry_count: %u\n    entry_count: %u\n    first free: none\n}\n",
                 p->max_entry_count, p->entry_count);
  }
  if (n < 0 || (u64)n > buffer_free_bytes(*out)) return false;
  memory_copy(out->data + out->used, text, (u64)n);
  out->used += (u64)n;
  return true;
}
