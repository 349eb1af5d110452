// The first-fit allocator over a reserved range.
#include "core/allocator.h"

static const u64 allocator_node_bytes = sizeof(allocator_node);

static u64 allocator_round(const allocator *a, u64 size) { return align_up(size, a->granularity); }

void allocator_init(allocator *a, u64 reserve, u64 commit_step, u64 granularity) {
  invariant(memory_page_size != 0 && memory_allocation_granularity != 0);
  invariant(granularity != 0 && (granularity & (granularity - 1)) == 0);
  invariant(reserve != 0 && reserve % memory_allocation_granularity == 0 && reserve % granularity == 0);
  invariant(commit_step != 0 && commit_step % memory_page_size == 0 && commit_step % granularity == 0);
  *a = allocator{};
  a->granularity = granularity;
  a->commit_step = commit_step;

  a->memory = memory_reserve(reserve, nullptr);
  // One node per granule is more than the free blocks can ever number.
  a->node_memory = memory_reserve(reserve / granularity * allocator_node_bytes, nullptr);
  if (!a->memory.data || !a->node_memory.data) {
    allocator_destroy(a);
    a->granularity = granularity;
    a->commit_step = commit_step;
    return;
  }
  // A refused first commit is not fatal: allocation commits what it needs, and fails if refused.
  u64 first = commit_step < a->memory.size ? commit_step : a->memory.size;
  memory_commit(&a->memory, first);
  u64 node_step = commit_step / granularity * allocator_node_bytes;
  if (node_step > a->node_memory.size) node_step = a->node_memory.size;
  memory_commit(&a->node_memory, node_step);
  a->node_arena = buffer{a->node_memory.used, 0, a->node_memory.data};

  allocator_node *whole = allocator_node_get(a);
  if (!whole) {
    allocator_destroy(a);
    a->granularity = granularity;
    a->commit_step = commit_step;
    return;
  }
  *whole = allocator_node{a->memory.size, a->memory.data, nullptr};
  a->free_list = whole;
}

void allocator_destroy(allocator *a) {
  memory_free(&a->memory);
  memory_free(&a->node_memory);
  *a = allocator{};
}

// ---- Nodes -------------------------------------------------------------------------------

allocator_node *allocator_node_get(allocator *a) {
  if (a->recycled) {
    allocator_node *node = a->recycled;
    a->recycled = node->next;
    return node;
  }
  void *p = buffer_push(&a->node_arena, allocator_node_bytes, 8);
  if (!p) {
    u64 step = a->commit_step / a->granularity * allocator_node_bytes;
    u64 left = a->node_memory.size - a->node_memory.used;
    if (step > left) step = left;
    if (step == 0 || !memory_commit(&a->node_memory, step)) return nullptr;
    a->node_arena.size = a->node_memory.used;
    p = buffer_push(&a->node_arena, allocator_node_bytes, 8);
  }
  return (allocator_node *)p;
}

void allocator_node_recycle(allocator *a, allocator_node *node) {
  node->next = a->recycled;
  a->recycled = node;
}

// ---- Use ---------------------------------------------------------------------------------

bool allocator_owns(const allocator *a, const void *pointer) {
  const u8 *p = (const u8 *)pointer;
  return a->memory.data && a->memory.data <= p && p < a->memory.data + a->memory.used;
}

buffer allocator_alloc(allocator *a, u64 size) {
  // A block of no bytes would begin a block that stays free; nothing is handed out instead, and
  // the empty buffer frees as a no-op.
  if (size == 0) return buffer{};
  allocator_node **link = &a->free_list;
  allocator_node *node = a->free_list;
  while (node && node->size < size) {
    link = &node->next;
    node = node->next;
  }
  if (!node) return buffer{};
  // Node sizes are multiples of the granularity, so the rounded size fits the node too.
  u64 rounded = allocator_round(a, size);
  u8 *start = node->data;
  u8 *committed_end = a->memory.data + a->memory.used;
  if (start + rounded > committed_end) {
    // First fit from a range that starts free keeps the committed part a prefix. The last step
    // may be cut short at the end of the reservation, which the block lies inside.
    u64 missing = (u64)(start + rounded - committed_end);
    u64 n = align_up(missing, a->commit_step);
    u64 left = a->memory.size - a->memory.used;
    if (n > left) n = left;
    // Never hand out memory the system did not commit.
    if (!memory_commit(&a->memory, n)) return buffer{};
  }
  if (rounded < node->size) {
    node->size -= rounded;
    node->data += rounded;
  } else {
    *link = node->next;
    allocator_node_recycle(a, node);
  }
  return buffer{rounded, 0, start};
}

void allocator_free_insert(allocator *a, void *data, u64 size) {
  invariant(allocator_owns(a, data));
  allocator_node *node = allocator_node_get(a);
  // Without a node the block cannot be recorded; it stays out of use rather than corrupt the list.
  if (!node) return;
  *node = allocator_node{allocator_round(a, size), (u8 *)data, a->free_list};
  a->free_list = node;
}

void allocator_free(allocator *a, void *data, u64 size) {
  if (!allocator_owns(a, data)) {
    if (!data && size == 0) return;
#if QM_INVARIANTS
    invariant_failed("Freeing memory not allocated by this allocator.", __FILE__, __LINE__);
#endif
    return;
  }
  invariant(size != 0);
  if (size == 0) return;
  u64 rounded = allocator_round(a, size);
  u8 *start = (u8 *)data;
  u8 *end = start + rounded;
  invariant((u64)(start - a->memory.data) % a->granularity == 0);
  invariant(end <= a->memory.data + a->memory.used);
#ifndef NDEBUG
  // A block freed twice, or freed with a size larger than it had, overlaps a free block.
  for (allocator_node *n = a->free_list; n; n = n->next) invariant(n->data >= end || n->data + n->size <= start);
#endif

  allocator_node *first = a->free_list;
  for (; first; first = first->next) {
    if (first->data == end) {
      first->data = start;
      first->size += rounded;
      break;
    }
    if (first->data + first->size == start) {
      first->size += rounded;
      break;
    }
  }
  if (!first) {
    allocator_free_insert(a, data, rounded);
    return;
  }
  // The first neighbour found comes first in the list, so the other one can only lie after it.
  allocator_node **link = &first->next;
  for (allocator_node *n = first->next; n; link = &n->next, n = n->next) {
    if (n->data == first->data + first->size || n->data + n->size == first->data) {
      if (n->data < first->data) first->data = n->data;
      first->size += n->size;
      *link = n->next;
      allocator_node_recycle(a, n);
      break;
    }
  }
}

void allocator_coalesce(allocator *a) {
  // Each node absorbs the chain of blocks that follow it in memory; a node already absorbed is
  // covered by the one that took it, which continues its chain.
  for (allocator_node *x = a->free_list; x; x = x->next) {
    bool merged = true;
    while (merged) {
      merged = false;
      allocator_node **link = &a->free_list;
      for (allocator_node *y = a->free_list; y; link = &y->next, y = y->next) {
        if (y != x && y->data == x->data + x->size) {
          x->size += y->size;
          *link = y->next;
          allocator_node_recycle(a, y);
          merged = true;
          break;
        }
      }
    }
  }
}
