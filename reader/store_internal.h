// Helpers shared by the store's implementation files; not part of the layer's contract.
#pragma once

#include "reader/reader.h"

// Calls visit(item) for every live item in slot order until it returns true. The walk stops
// after as many live items as the pool counts, but never leaves the pool whatever the counts say.
template <class T, class F>
T *store_walk(pool *p, bool (*is_live)(void *), F visit) {
  u32 seen = 0;
  for (u32 i = 0; i < p->high_water && seen < p->entry_count; ++i) {
    T *item = (T *)pool_get(p, sizeof(T), i);
    if (!is_live(item)) continue;
    ++seen;
    if (visit(item)) return item;
  }
  return nullptr;
}

// Logs "Feed error: <message>" the first time a limit is met, until it has room again.
void reader_report_full(reader *r, u32 bit, const char *message);
inline void reader_clear_full(reader *r, u32 bit) { r->full_reported &= ~bit; }

// Frees the relation links of the kinds owned by the id, lowering the matching count for each,
// until every count is 0.
void reader_free_owned_links(reader *r, u32 owner_id, const u32 *kinds, u32 **counts, u32 n);
