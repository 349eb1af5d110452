// Buffers: one 24-byte record that is a block of memory from the system, a bump arena, a UTF-8
// string (not zero-terminated) and a string builder. Nothing grows: a request that does not fit
// fails and changes nothing.
#pragma once

#include "core/base.h"

// ---- Types -------------------------------------------------------------------------------

struct buffer {
  u64 size;  // capacity in bytes; for a reserved range, the reserved length
  u64 used;  // bytes in use; for a string its length; for a reserved range, the committed length
  u8 *data;  // first byte; null in the empty buffer
};
static_assert(sizeof(buffer) == 24, "buffer is three words");

// The saved state of one buffer: taken to keep what was pushed since, rolled back to give it back.
struct buffer_mark {
  buffer *target;
  u64 size;
  u64 used;
  u8 *data;
};

// Set from the system at start-up by memory_get_system_info; the granularity stays 65536 so
// reservations keep the sizes they have everywhere.
extern u32 memory_page_size;
extern u32 memory_allocation_granularity;

extern buffer memory_scratch;
extern bool memory_scratch_lent;

#define MEMORY_DEFAULT_ALIGNMENT 8
#define MEMORY_SCRATCH_SIZE (5ull * 1024 * 1024)

// ---- Alignment ---------------------------------------------------------------------------

inline u64 align_padding(u64 value, u64 alignment) { return (0 - value) & (alignment - 1); }
inline u64 align_up(u64 value, u64 alignment) { return (value + alignment - 1) & ~(alignment - 1); }

// ---- Making and inspecting buffers -------------------------------------------------------

inline buffer buffer_make(u64 size, u64 used, void *data) { return buffer{size, used, (u8 *)data}; }
inline buffer string_from_bytes(const void *data, u64 length) { return buffer{length, length, (u8 *)data}; }
inline buffer string_from_range(const void *begin, const void *end) {
  u64 n = (u64)((const u8 *)end - (const u8 *)begin);
  return buffer{n, n, (u8 *)begin};
}
// A literal as a string view: string_lit("abc").
#define string_lit(s) string_from_bytes((s), sizeof(s) - 1)

inline u8 *buffer_end(buffer b) { return b.data + b.used; }
inline u8 *buffer_limit(buffer b) { return b.data + b.size; }
inline void buffer_init(buffer *b) { *b = buffer{0, 0, nullptr}; }
inline void buffer_clear(buffer *b) { b->used = 0; }
inline void buffer_pop(buffer *b, u64 n) {
  invariant(n <= b->used);
  b->used -= n;
}
// Gives up the unused tail; returns the bytes given up, for the parent to pop.
inline u64 buffer_shrink_to_used(buffer *b) {
  u64 freed = b->size - b->used;
  b->size = b->used;
  return freed;
}
inline bool range_is_whole_elements(const void *first, const void *last, u64 element_size) {
  return ((u64)((const u8 *)last - (const u8 *)first)) % element_size == 0;
}
// Free bytes of an arena.
inline u64 buffer_free_bytes(buffer b) { return b.used <= b.size ? b.size - b.used : 0; }

// ---- Memory from the system --------------------------------------------------------------

void memory_get_system_info(u32 *page_size, u32 *allocation_granularity, u64 *lowest_address,
                            u64 *highest_address);
// Reserves and commits size bytes, zero-filled. A refusal gives the empty buffer, so every push
// into it fails.
buffer memory_alloc(u64 size, void *address);
// Releases the whole block described by the buffer (its size is the reserved length).
void memory_free(buffer *block);
// Reserves address space only, rounded up to the allocation granularity; used counts committed
// bytes. A refusal gives the empty buffer (null data).
buffer memory_reserve(u64 size, void *address);
// Commits n bytes (rounded up to a page) after the committed length; null when they would pass
// the reservation or the system refuses, with nothing changed.
u8 *memory_commit(buffer *range, u64 n);
// Gives back the last n committed bytes (rounded up to a page).
void memory_decommit(buffer *range, u64 n);
// Gives the whole pages inside the range back to the system while keeping them usable: they
// read as zero afterwards. For a block whose bytes are no longer needed but which stays mapped.
void memory_forget_pages(buffer range);

// The calls above that tests can make the system refuse.
enum memory_fault_kind : u32 { memory_fault_alloc = 0, memory_fault_reserve = 1, memory_fault_commit = 2 };
#if QM_TEST_HOOKS
// Tests make the system "refuse": after `successes` more successful calls of that kind, the next
// one fails. A negative count switches the injection off.
void memory_fault_inject(memory_fault_kind kind, s32 successes);
#endif

// ---- Growing arenas ----------------------------------------------------------------------

// A reservation committed in steps as it is pushed: the one way memory grows in every layer. The
// pushes go to a plain buffer over the committed bytes (a view: data the reservation's start, size
// the committed length), so a hot loop pushes into it as into any buffer and asks the arena for
// room only when a push does not fit; a mark rolled back on the view leaves the commits in place.
struct arena {
  buffer memory;     // size: bytes reserved; used: bytes committed; data: the first byte
  u64 limit;         // no commit passes it (at most memory.size): a budget, or one parse's window
  u64 step;          // commits come in whole steps, so growing costs few system calls
  const char *name;  // named by the log line when the limit stops a push
  u32 flags;         // arena_flag_*
};

enum : u32 {
  arena_flag_double = 0x1,     // grow to at least twice the committed bytes, for arenas of unknown size;
                               // when the system refuses that, what the push needs is tried alone
  arena_flag_reported = 0x2,   // the limit has stopped a push and the log said so (once)
  arena_flag_quiet = 0x4,      // the caller reports a reached limit in its own words
};

// Reserves `reserve` bytes and commits the first `first`; the limit is the whole reservation.
// False, with the arena empty, when the system refuses either.
bool arena_reserve(arena *a, u64 reserve, u64 first, u64 step, const char *name, u32 flags);
// The committed bytes, up to the limit, as an empty buffer to push into.
buffer arena_view(const arena *a);
// Room for n more bytes at the alignment (0 means 8) after view->used, committing whole steps up
// to the limit; view->size follows the committed length, never past the limit. False when the
// limit or the system refuses: the first time the limit does, one log line names the arena and
// its limit.
bool arena_make_room(arena *a, buffer *view, u64 n, u64 alignment);
// arena_make_room, then the push; null when it does not fit.
void *arena_push(arena *a, buffer *view, u64 n, u64 alignment);
// Moves the limit (within the reservation); committed bytes above a lower one stay committed but
// out of every view until arena_give_back or a higher limit, so a lowered limit holds at once. A
// reached limit may be reported again after it.
void arena_set_limit(arena *a, u64 limit);
// Gives the committed bytes above keep (rounded up to a page) back to the system; a view given
// shrinks with them (its pushed bytes above keep are gone).
void arena_give_back(arena *a, buffer *view, u64 keep);
void arena_release(arena *a);

// The log lives above the core: it hands the arenas its writer at start-up. Until then a reached
// limit is not reported.
typedef void arena_limit_report_fn(const char *name, u64 limit);
void arena_set_limit_report(arena_limit_report_fn *report);

// ---- Carving and views -------------------------------------------------------------------

// Takes n bytes of the parent as a new empty arena. Alignment 0, 1, 2, 4, 8, 16, 32 or 64
// (0 means 8). When the padding and n do not fit: the empty buffer, the parent unchanged.
buffer buffer_carve(buffer *parent, u64 n, u64 alignment);
// Takes everything after the padding; the parent is full afterwards.
buffer buffer_carve_rest(buffer *parent, u64 alignment);
// An empty arena over the free tail from the next 64-byte boundary; the source is not changed.
buffer buffer_view_rest_aligned(buffer b);
// An empty arena over the free tail; the source is not changed.
buffer buffer_view_rest(buffer b);

// ---- Pushing -----------------------------------------------------------------------------

// n bytes at the alignment (0, 1, 2, 4 or 8; 0 means 8), not zeroed; null when they do not fit.
void *buffer_push(buffer *arena, u64 n, u64 alignment);
u8 *buffer_push_u8(buffer *arena, u8 value, u64 alignment);
u16 *buffer_push_u16(buffer *arena, u16 value, u64 alignment);
u32 *buffer_push_u32(buffer *arena, u32 value, u64 alignment);
s32 *buffer_push_s32(buffer *arena, s32 value, u64 alignment);
// Null without touching the arena when n is 0.
void *buffer_push_copy(buffer *arena, const void *source, u64 n, u64 alignment);
// Null for an empty text.
void *buffer_push_string(buffer *arena, buffer text, u64 alignment);
u8 *buffer_push_bytes(buffer *arena, const void *source, u64 n);
// Grows a string that is the arena's most recent piece by the text's bytes.
u8 *string_append_to(buffer *arena, buffer *string, buffer text);

// Typed pushes of records and arrays at their own alignment.
#define buffer_push_struct(arena, T) ((T *)buffer_push((arena), sizeof(T), alignof(T) > 8 ? 8 : alignof(T)))
#define buffer_push_array(arena, T, count) \
  ((T *)buffer_push_array_bytes((arena), sizeof(T), (count), alignof(T) > 8 ? 8 : alignof(T)))
// count elements of element_size bytes; null when the product overflows or does not fit.
void *buffer_push_array_bytes(buffer *arena, u64 element_size, u64 count, u64 alignment);

// ---- Plain memory ------------------------------------------------------------------------

void memory_zero(void *p, u64 n);
void memory_copy(void *destination, const void *source, u64 n);
void memory_copy_backward(void *destination, const void *source, u64 n);
void memory_copy_unchecked(void *destination, const void *source, u64 n);

// ---- Marks -------------------------------------------------------------------------------

buffer_mark buffer_mark_begin(buffer *target);
// Keeps what was pushed since the mark and returns it as a full buffer; clears the mark.
buffer buffer_mark_take(buffer_mark *mark);
// Restores the target's size, used and data as they were at the mark; clears the mark.
void buffer_mark_rollback(buffer_mark *mark);

// ---- Scratch buffer ----------------------------------------------------------------------

void memory_scratch_init(u64 size);
// A copy of the whole scratch with used = 0; one borrower at a time, UI thread only.
buffer memory_scratch_acquire();
void memory_scratch_release();
