// The one file that asks the system for memory: reserve, commit, decommit, release.
#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include "core/buffer.h"

u32 memory_page_size = 4096;
u32 memory_allocation_granularity = 65536;

#if QM_TEST_HOOKS
// Remaining successes before an injected refusal, per kind; negative when off.
static s32 memory_fault_countdown[3] = {-1, -1, -1};

void memory_fault_inject(memory_fault_kind kind, s32 successes) { memory_fault_countdown[kind] = successes; }

static bool memory_fault_take(memory_fault_kind kind) {
  s32 *c = &memory_fault_countdown[kind];
  if (*c < 0) return false;
  if (*c == 0) {
    *c = -1;
    return true;
  }
  *c -= 1;
  return false;
}
#else
static bool memory_fault_take(memory_fault_kind) { return false; }
#endif

void memory_get_system_info(u32 *page_size, u32 *allocation_granularity, u64 *lowest_address,
                            u64 *highest_address) {
  long page = sysconf(_SC_PAGESIZE);
  if (page_size) *page_size = page > 0 ? (u32)page : 4096;
  // Reservations keep the granularity of 64 KiB whatever the page size.
  if (allocation_granularity) *allocation_granularity = 65536;
  if (lowest_address) *lowest_address = 0x10000;
  if (highest_address) *highest_address = 0x7FFFFFFEFFFFull;
}

static void *memory_map(u64 size, void *address, int protection, int extra_flags) {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS | extra_flags;
  if (address) flags |= MAP_FIXED_NOREPLACE;
  void *p = mmap(address, size, protection, flags, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if (address && p != address) {
    munmap(p, size);
    return nullptr;
  }
  return p;
}

buffer memory_alloc(u64 size, void *address) {
  if (size == 0 || memory_fault_take(memory_fault_alloc)) return buffer{};
  void *p = memory_map(size, address, PROT_READ | PROT_WRITE, 0);
  if (!p) return buffer{};
  return buffer{size, 0, (u8 *)p};
}

void memory_forget_pages(buffer range) {
  u64 page = memory_page_size;
  u64 from = align_up((u64)range.data, page), to = ((u64)range.data + range.size) & ~(page - 1);
  if (range.data && to > from) madvise((void *)from, to - from, MADV_DONTNEED);
}

void memory_free(buffer *block) {
  if (!block->data) return;
  munmap(block->data, block->size);
  *block = buffer{};
}

buffer memory_reserve(u64 size, void *address) {
  u64 g = memory_allocation_granularity;
  if (size == 0 || size > UINT64_MAX - g) return buffer{};
  u64 rounded = align_up(size, g);
  if (memory_fault_take(memory_fault_reserve)) return buffer{};
  void *p = memory_map(rounded, address, PROT_NONE, MAP_NORESERVE);
  if (!p) return buffer{};
  return buffer{rounded, 0, (u8 *)p};
}

u8 *memory_commit(buffer *range, u64 n) {
  u64 page = memory_page_size;
  if (!range->data || n > UINT64_MAX - page) return nullptr;
  n = align_up(n, page);
  if (range->used > range->size || n > range->size - range->used) return nullptr;
  if (memory_fault_take(memory_fault_commit)) return nullptr;
  u8 *start = range->data + range->used;
  if (n && mprotect(start, n, PROT_READ | PROT_WRITE) != 0) return nullptr;
  range->used += n;
  return start;
}

void memory_decommit(buffer *range, u64 n) {
  u64 page = memory_page_size;
  n = align_up(n, page);
  invariant(n <= range->used);
  invariant(((u64)(range->data + range->used) & (page - 1)) == 0);
  if (n == 0) return;
  u8 *start = range->data + range->used - n;
  // Drop the pages first so their memory returns to the system, then make the range
  // inaccessible again so a stray access faults as it would before the commit.
  int rc = madvise(start, n, MADV_DONTNEED);
  rc |= mprotect(start, n, PROT_NONE);
  invariant(rc == 0);
  range->used -= n;
}
