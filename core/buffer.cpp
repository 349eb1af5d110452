#include "core/buffer.h"

#include <string.h>

buffer memory_scratch;
bool memory_scratch_lent;

static bool alignment_is_push(u64 a) { return a == 0 || a == 1 || a == 2 || a == 4 || a == 8; }
static bool alignment_is_carve(u64 a) { return alignment_is_push(a) || a == 16 || a == 32 || a == 64; }

// Padding to align data + used, or UINT64_MAX when even the padding does not fit. Every fit test
// below subtracts from what is free instead of adding to used, so no sum can wrap.
static u64 arena_padding(const buffer *b, u64 alignment) {
  if (b->used > b->size) return UINT64_MAX;
  u64 padding = align_padding((u64)(b->data + b->used), alignment);
  if (padding > b->size - b->used) return UINT64_MAX;
  return padding;
}

void *buffer_push(buffer *arena, u64 n, u64 alignment) {
  invariant(alignment_is_push(alignment));
  if (alignment == 0) alignment = MEMORY_DEFAULT_ALIGNMENT;
  u64 padding = arena_padding(arena, alignment);
  if (padding == UINT64_MAX) return nullptr;
  if (n > arena->size - arena->used - padding) return nullptr;
  u8 *place = arena->data + arena->used + padding;
  arena->used += padding + n;
  return place;
}

void *buffer_push_array_bytes(buffer *arena, u64 element_size, u64 count, u64 alignment) {
  if (element_size && count > UINT64_MAX / element_size) return nullptr;
  return buffer_push(arena, element_size * count, alignment);
}

u8 *buffer_push_u8(buffer *arena, u8 value, u64 alignment) {
  u8 *p = (u8 *)buffer_push(arena, 1, alignment ? alignment : 1);
  if (p) *p = value;
  return p;
}

u16 *buffer_push_u16(buffer *arena, u16 value, u64 alignment) {
  u8 *p = (u8 *)buffer_push(arena, 2, alignment ? alignment : 2);
  if (p) memcpy(p, &value, 2);
  return (u16 *)p;
}

u32 *buffer_push_u32(buffer *arena, u32 value, u64 alignment) {
  u8 *p = (u8 *)buffer_push(arena, 4, alignment ? alignment : 4);
  if (p) memcpy(p, &value, 4);
  return (u32 *)p;
}

s32 *buffer_push_s32(buffer *arena, s32 value, u64 alignment) {
  return (s32 *)buffer_push_u32(arena, (u32)value, alignment);
}

void *buffer_push_copy(buffer *arena, const void *source, u64 n, u64 alignment) {
  if (n == 0) return nullptr;
  void *p = buffer_push(arena, n, alignment);
  if (p) memcpy(p, source, n);
  return p;
}

void *buffer_push_string(buffer *arena, buffer text, u64 alignment) {
  return buffer_push_copy(arena, text.data, text.used, alignment);
}

u8 *buffer_push_bytes(buffer *arena, const void *source, u64 n) {
  u8 *p = (u8 *)buffer_push(arena, n, 1);
  if (p && source && n) memcpy(p, source, n);
  return p;
}

u8 *string_append_to(buffer *arena, buffer *string, buffer text) {
  u8 *p = (u8 *)buffer_push(arena, text.used, 1);
  if (!p) return nullptr;
  if (text.used) memcpy(p, text.data, text.used);
  if (string->used == 0) *string = buffer{0, 0, p};
  string->size += text.used;
  string->used += text.used;
  return p;
}

buffer buffer_carve(buffer *parent, u64 n, u64 alignment) {
  invariant(alignment_is_carve(alignment));
  if (alignment == 0) alignment = MEMORY_DEFAULT_ALIGNMENT;
  u64 padding = arena_padding(parent, alignment);
  // A piece that does not fit is a plain failure: callers size pieces from input.
  if (padding == UINT64_MAX || n > parent->size - parent->used - padding) return buffer{};
  u8 *start = parent->data + parent->used + padding;
  parent->used += padding + n;
  return buffer{n, 0, start};
}

buffer buffer_carve_rest(buffer *parent, u64 alignment) {
  invariant(alignment_is_carve(alignment));
  if (alignment == 0) alignment = MEMORY_DEFAULT_ALIGNMENT;
  u64 padding = arena_padding(parent, alignment);
  if (padding == UINT64_MAX) return buffer{};
  u8 *start = parent->data + parent->used + padding;
  buffer rest = {parent->size - parent->used - padding, 0, start};
  parent->used = parent->size;
  return rest;
}

buffer buffer_view_rest_aligned(buffer b) {
  u64 padding = arena_padding(&b, 64);
  if (padding == UINT64_MAX) return buffer{};
  return buffer{b.size - b.used - padding, 0, b.data + b.used + padding};
}

buffer buffer_view_rest(buffer b) {
  if (b.used > b.size) return buffer{};
  return buffer{b.size - b.used, 0, b.data + b.used};
}

void memory_zero(void *p, u64 n) {
  if (n) memset(p, 0, n);
}

void memory_copy(void *destination, const void *source, u64 n) {
  if (n == 0) return;
  invariant(destination && source);
  // memmove: a forward copy towards lower addresses is the documented use, and memmove gives
  // the same result there while staying defined for any overlap.
  memmove(destination, source, n);
}

void memory_copy_backward(void *destination, const void *source, u64 n) {
  if (n == 0) return;
  invariant(destination && source);
  memmove(destination, source, n);
}

void memory_copy_unchecked(void *destination, const void *source, u64 n) {
  if (!destination || !source || n == 0) return;
  memmove(destination, source, n);
}

buffer_mark buffer_mark_begin(buffer *target) { return buffer_mark{target, target->size, target->used, target->data}; }

buffer buffer_mark_take(buffer_mark *mark) {
  invariant(mark->target);
  u64 k = mark->target->used - mark->used;
  buffer taken = {k, k, mark->data + mark->used};
  *mark = buffer_mark{};
  return taken;
}

void buffer_mark_rollback(buffer_mark *mark) {
  invariant(mark->target);
  mark->target->size = mark->size;
  mark->target->used = mark->used;
  mark->target->data = mark->data;
  *mark = buffer_mark{};
}

void memory_scratch_init(u64 size) {
  invariant(memory_scratch.size == 0 && memory_scratch.used == 0 && memory_scratch.data == nullptr);
  memory_scratch = memory_alloc(size, nullptr);
  memory_scratch_lent = false;
}

buffer memory_scratch_acquire() {
  invariant(!memory_scratch_lent);
  // Where the check is compiled out, a second borrower gets nothing rather than the bytes the
  // first one is still using.
  if (memory_scratch_lent) return buffer{};
  memory_scratch_lent = true;
  buffer copy = memory_scratch;
  copy.used = 0;
  return copy;
}

void memory_scratch_release() {
  invariant(memory_scratch_lent);
  memory_scratch_lent = false;
}
