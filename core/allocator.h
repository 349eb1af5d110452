// First-fit allocator: variable-size blocks freed in any order, from one reserved address range
// that is committed in fixed steps as allocations reach further into it. Free blocks form an
// unordered singly linked list searched first-fit; a freed block merges with its free
// neighbours. The nodes describing free blocks live in a second reserved range of their own.
#pragma once

#include "core/buffer.h"

// ---- Types -------------------------------------------------------------------------------

// One free block.
struct allocator_node {
  u64 size;  // a multiple of the granularity
  u8 *data;
  allocator_node *next;
};
static_assert(sizeof(allocator_node) == 24, "nodes are three words");

struct allocator {
  // Fixed at initialisation: the ranges and their step sizes.
  buffer memory;       // the block range: size reserved, used committed (always a prefix)
  buffer node_memory;  // the node range, same meaning of the fields
  u64 granularity;     // every block size is a multiple of it
  u64 commit_step;     // commits of the block range are multiples of it
  // Changing with every call.
  buffer node_arena;           // the committed part of node_memory, nodes pushed from it
  allocator_node *free_list;   // unordered; new nodes go to the head
  allocator_node *recycled;    // nodes no longer describing a block
};

// ---- Creation ----------------------------------------------------------------------------

// Reserves both ranges and commits the first step. The reserve must be a multiple of the
// system's allocation granularity and of the granularity (a power of two); the commit step a
// multiple of the page size and of the granularity. When the system refuses the reservation the
// allocator hands out nothing.
void allocator_init(allocator *a, u64 reserve, u64 commit_step, u64 granularity);
// Releases both reservations and clears the record.
void allocator_destroy(allocator *a);

// ---- Use ---------------------------------------------------------------------------------

// {size rounded up to the granularity, 0, block}, or the empty buffer when no free block is large
// enough, when the system refuses to commit the memory the block needs, or for a size of 0. The
// bytes are not cleared.
buffer allocator_alloc(allocator *a, u64 size);
// Gives a block back (size as allocated or as requested), merging it with free neighbours.
// (null, 0) does nothing, so an empty buffer can always be freed; a pointer the allocator does
// not own is a broken invariant.
void allocator_free(allocator *a, void *data, u64 size);
// True when the pointer lies in the committed part of the block range.
bool allocator_owns(const allocator *a, const void *pointer);
// Records a block as a new free node at the head of the list, without merging.
void allocator_free_insert(allocator *a, void *data, u64 size);
// Merges every pair of adjacent free blocks.
void allocator_coalesce(allocator *a);

// ---- Nodes -------------------------------------------------------------------------------

// A recycled node, or a new one from the node arena (committing more node memory as needed); null
// when the system refuses that commit.
allocator_node *allocator_node_get(allocator *a);
void allocator_node_recycle(allocator *a, allocator_node *node);
