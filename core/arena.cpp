// Growing arenas: a reservation committed in steps as it is pushed, with a limit and a name the
// log uses when the limit is reached.
#include "core/buffer.h"

static arena_limit_report_fn *arena_report;

void arena_set_limit_report(arena_limit_report_fn *report) { arena_report = report; }

bool arena_reserve(arena *a, u64 reserve, u64 first, u64 step, const char *name, u32 flags) {
  *a = arena{};
  a->name = name;
  a->flags = flags & (arena_flag_double | arena_flag_quiet);
  a->step = step ? align_up(step, memory_page_size) : memory_page_size;
  a->memory = memory_reserve(reserve, nullptr);
  if (!a->memory.data) return false;
  a->limit = a->memory.size;
  if (first > a->limit || (first && !memory_commit(&a->memory, first))) {
    memory_free(&a->memory);
    return false;
  }
  return true;
}

// The bytes a push may use: those committed, up to the limit. Pages above a lowered limit stay
// committed for a later, higher one, but no push reaches them meanwhile.
static u64 arena_usable(const arena *a) { return a->memory.used < a->limit ? a->memory.used : a->limit; }

buffer arena_view(const arena *a) { return buffer{arena_usable(a), 0, a->memory.data}; }

static bool arena_refuse(arena *a) {
  if (!(a->flags & (arena_flag_reported | arena_flag_quiet)) && arena_report) arena_report(a->name, a->limit);
  a->flags |= arena_flag_reported;
  return false;
}

bool arena_make_room(arena *a, buffer *view, u64 n, u64 alignment) {
  if (!a->memory.data || view->data != a->memory.data) return false;
  // A mark rolled back restores a smaller view; the committed bytes are still there.
  if (view->size < arena_usable(a)) view->size = arena_usable(a);
  u64 pad = align_padding((u64)buffer_end(*view), alignment ? alignment : MEMORY_DEFAULT_ALIGNMENT);
  u64 free_bytes = buffer_free_bytes(*view);
  if (pad <= free_bytes && n <= free_bytes - pad) return true;
  u64 limit = a->limit;  // never past the reservation: reserve and set_limit keep it so
  if (view->used > limit || pad > limit - view->used || n > limit - view->used - pad) return arena_refuse(a);
  u64 need = view->used + pad + n;
  u64 target = need;
  if ((a->flags & arena_flag_double) && a->memory.used > target / 2) target = 2 * a->memory.used;
  target = align_up(target, a->step);
  if (target - a->memory.used < a->step) target = a->memory.used + a->step;
  if (target > limit) target = limit;
  // A doubling arena asks for more than it needs: a refusal of that may still leave room for what
  // is needed. Any other refusal is the push's.
  bool fallback = (a->flags & arena_flag_double) && need > a->memory.used;
  if (!memory_commit(&a->memory, target - a->memory.used) &&
      (!fallback || !memory_commit(&a->memory, align_up(need, memory_page_size) - a->memory.used))) {
    return false;
  }
  view->size = arena_usable(a);
  return true;
}

void *arena_push(arena *a, buffer *view, u64 n, u64 alignment) {
  if (!arena_make_room(a, view, n, alignment)) return nullptr;
  return buffer_push(view, n, alignment);
}

void arena_set_limit(arena *a, u64 limit) {
  a->limit = limit < a->memory.size ? limit : a->memory.size;
  a->flags &= ~arena_flag_reported;
}

void arena_give_back(arena *a, buffer *view, u64 keep) {
  if (!a->memory.data) return;
  keep = align_up(keep, memory_page_size);
  if (a->memory.used > keep) memory_decommit(&a->memory, a->memory.used - keep);
  if (view && view->data == a->memory.data) {
    if (view->size > a->memory.used) view->size = a->memory.used;
    if (view->used > view->size) view->used = view->size;
  }
}

void arena_release(arena *a) {
  memory_free(&a->memory);
  *a = arena{};
}
