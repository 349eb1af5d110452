// Pool: a store of equal-size records with a stack of free u32 indices and a capacity fixed at
// creation. Records refer to each other by pool index, which stays valid while the record lives.
// The pool does not know which slots are live: callers say so through callbacks (the store keeps
// a liveness field in each record). The item size is not stored; every call passes the same size
// again.
//
// The free stack after creation holds max_entry_count - 1 down to 0, so slots come out 0, 1, 2
// and a freed slot goes on top. Its bottom part, the slots never handed out, is not written
// down: it is always the run max_entry_count - 1 down to high_water, so only the slots given
// back take memory. A pool made by pool_reserve takes address space for its whole capacity and
// commits memory in steps as its high-water mark rises, so a large capacity costs nothing until
// it is used.
#pragma once

#include "core/buffer.h"

// ---- Types -------------------------------------------------------------------------------

struct pool {
  // Memory: a fixed piece holding the stack and the items, or (pool_reserve) two reservations.
  buffer block;        // fixed: the stack, padding, the items; reserved: the items
  buffer stack_block;  // reserved: the stack; empty for a fixed pool
  u32 *free_stack;     // the slots given back and not handed out again; the top is the last
  u8 *items;           // item i starts at items + item_size * i
  // Counts: every slot below high_water is in use or on the stack, so
  // entry_count = high_water - free_count.
  u32 entry_count;     // slots in use
  u32 max_entry_count;
  u32 high_water;      // slots handed out since creation or the last compaction
  u32 free_count;      // entries of free_stack
  u32 committed;       // slots whose memory may be touched
  u32 padding;
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
// Reserves address space for the capacity and commits nothing yet (items on page alignment).
// False, with the pool cleared, when the system refuses the reservation.
bool pool_reserve(pool *p, u64 item_size, u32 capacity);
// Releases the memory of pool_create or pool_reserve and clears the record.
void pool_destroy(pool *p);

// ---- Slots -------------------------------------------------------------------------------

// A free item (bytes not cleared), or null when the pool is full or the system refuses the memory
// of the next step. The most recently freed index comes back first; a fresh pool hands out 0, 1,
// 2 and so on. Committed memory starts zeroed, so a slot never handed out reads as zero.
void *pool_alloc(pool *p, u64 item_size);
// The entry of the free stack at a position in [0, max_entry_count - entry_count); the top is
// the last position.
u32 pool_free_stack_at(const pool *p, u32 position);
// Slots 0 to count - 1 in use and the free stack as after creation, for records copied in at
// once (a load). False when count exceeds the capacity or the memory cannot be committed.
bool pool_fill_front(pool *p, u64 item_size, u32 count);
// No range check beyond a debug one: the caller passes an index below max_entry_count.
void *pool_get(pool *p, u64 item_size, u32 index);
u32 pool_index_of(pool *p, u64 item_size, const void *item);
// Where the pool stands, so that the slots handed out after it can be named in the order they
// came out: a freed slot comes back before the untouched ones and the last freed first, so a run
// of records made one after the other may sit in any order of slots.
struct pool_handout {
  u32 free_count;
  u32 high_water;
};
inline pool_handout pool_handout_mark(const pool *p) { return pool_handout{p->free_count, p->high_water}; }
// The slots handed out since the mark, in the order they were handed out, into out (room for
// max); returns how many there are. Only meaningful while no slot was freed since the mark (the
// caller checks the answer against its records).
u32 pool_handed_out_since(const pool *p, pool_handout mark, u32 *out, u32 max);
// Freeing a slot that is already free is a broken invariant, caught in debug builds.
void pool_free(pool *p, void *item, u64 item_size);
// Returns the new entry_count.
u32 pool_free_index(pool *p, u32 index);

// ---- Compacting and sorting --------------------------------------------------------------

// Moves the live items to the front, keeping their order, and calls kill on every place a live
// item left. Slots at or above the high-water mark are never live and are not looked at. Afterwards the live items occupy slots 0 to entry_count - 1 and the free stack is as
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

// The same sort over records the caller has found: slots ascending, each holding a record to
// sort. What pool_sort does once it has picked its records.
void pool_sort_slots(pool *p, u64 item_size, u32 order, const u32 *slots, u32 n, pool_compare_fn *compare,
                     pool_swap_fn *swap);

// ---- Iteration ---------------------------------------------------------------------------

pool_iterator pool_iterator_init(pool *p, u64 item_size, pool_test_fn *filter);
// The next item the filter accepts, or null at the end. The walk stops after as many accepted
// items as the pool had in use when it began, so a filter of live items never scans the free
// slots behind the last live one, and it never goes past the high-water mark: no slot there
// has been handed out.
void *pool_iterator_next(pool_iterator *it);

// ---- Debugging ---------------------------------------------------------------------------

// Appends a dump of the pool's counts and top free slot to the string out (for the log). Returns
// false, with out unchanged, when the text does not fit.
bool pool_print(pool *p, u64 item_size, buffer *out);
