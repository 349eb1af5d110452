// Pool: a fixed-capacity store of equal-size records with a stack of free u32 indices. Records
// refer to each other by pool index, which stays valid while the record lives. The pool does not
// know which slots are live: callers say so through callbacks (the store keeps a liveness field in
// each record). The item size is not stored; every call passes the same size again.
#pragma once

#include "core/buffer.h"

// ---- Types -------------------------------------------------------------------------------

struct pool {
  buffer block;      // the free stack, padding to the item alignment, then the items
  u32 *free_stack;   // free indices in [0, max_entry_count - entry_count); the top is the last
  u8 *items;         // item i starts at items + item_size * i
  u32 entry_count;   // slots in use
  u32 max_entry_count;
};

typedef bool pool_test_fn(void *item);
typedef void pool_kill_fn(void *item);
typedef bool pool_accept_fn(void *item, void *context);
// True when the two records are to be exchanged (see pool_sort).
typedef bool pool_compare_fn(void *a, void *b);
typedef void pool_swap_fn(void *a, void *b);

struct pool_iterator {
  struct pool *pool;  // the field keeps the name of its type
  u64 item_size;
  u64 index;     // the slot examined last; all ones before the first step
  u64 accepted;  // items returned so far
  u64 total;     // the pool's entry_count when the walk began
  u8 *current;   // the item returned last; null before the first and after the last
  pool_test_fn *filter;
};

// ---- Creation ----------------------------------------------------------------------------

// Bytes a pool needs: the free stack (4 bytes per slot), padding to the item alignment, the items.
u64 pool_memory_size(u64 item_size, u64 item_alignment, u32 capacity);
// Carves exactly pool_memory_size bytes from the arena. The arena's position must be aligned to
// the item alignment (alignments up to 8). When the arena has no room the pool gets capacity 0,
// so every allocation fails.
void pool_create_in_arena(buffer *arena, pool *p, u64 item_size, u64 item_alignment, u32 capacity);
// The same over a block of its own from the system.
void pool_create(pool *p, u64 item_size, u64 item_alignment, u32 capacity);
// Releases a block made by pool_create and clears the record.
void pool_destroy(pool *p);

// ---- Slots -------------------------------------------------------------------------------

// A free item (bytes not cleared), or null when the pool is full. The most recently freed index
// comes back first; a fresh pool hands out 0, 1, 2 and so on.
void *pool_alloc(pool *p, u64 item_size);
// No range check beyond a debug one: the caller passes an index below max_entry_count.
void *pool_get(pool *p, u64 item_size, u32 index);
u32 pool_index_of(pool *p, u64 item_size, const void *item);
// Freeing a slot that is already free is a broken invariant, caught in debug builds.
void pool_free(pool *p, void *item, u64 item_size);
// Returns the new entry_count.
u32 pool_free_index(pool *p, u32 index);

// ---- Compacting and sorting --------------------------------------------------------------

// Moves the live items to the front, keeping their order, and calls kill on every place a live
// item left. Afterwards the live items occupy slots 0 to entry_count - 1 and the free stack is as
// after creation, so the next allocation hands out slot entry_count. entry_count must equal the
// number of live items; should fewer be found it is lowered to their number. The walk never
// leaves the pool whatever the counts say.
void pool_compact(pool *p, u64 item_size, pool_test_fn *is_live, pool_kill_fn *kill);

// Sorts the contents of the live items that accept(item, context) takes, among their own slots;
// every other slot keeps its content. With order 0, a record a in an earlier slot ends before a
// later b unless compare(a, b) says to exchange them; with order 1 the question is compare(b, a).
// Records compare asks not to exchange keep their relative order (the sort is stable); contents
// move only through swap. n log n calls of compare and fewer than n calls of swap.
void pool_sort(pool *p, u64 item_size, u32 order, void *context, pool_test_fn *is_live,
               pool_accept_fn *accept, pool_compare_fn *compare, pool_swap_fn *swap);

// ---- Iteration ---------------------------------------------------------------------------

pool_iterator pool_iterator_init(pool *p, u64 item_size, pool_test_fn *filter);
// The next item the filter accepts, or null at the end. The walk stops after as many accepted
// items as the pool had in use when it began, so a filter of live items never scans the free
// slots behind the last live one.
void *pool_iterator_next(pool_iterator *it);

// ---- Debugging ---------------------------------------------------------------------------

// Appends a dump of the pool's counts and top free slot to the string out (for the log). Returns
// false, with out unchanged, when the text does not fit.
bool pool_print(pool *p, u64 item_size, buffer *out);
