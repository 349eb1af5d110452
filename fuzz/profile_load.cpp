// A profile file is input: loading any bytes must end in a profile or an error code, and a
// loaded profile must report without reading or writing out of bounds.
#include <stdint.h>
#include <string.h>

#include "profiler/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  u32 error = 0;
  profiler_profile p = profiler_load(data, size, &error);
  if (error) {
    invariant(p.arena.data == nullptr && p.thread_count == 0);
    return 0;
  }
  static u8 out[1 << 16];
  profiler_report(&p, out, sizeof out, &error);
  for (u32 i = 0; i < p.thread_count; i++) {
    profiler_node *root = p.threads[i].root;
    invariant(root != nullptr);
    profiler_iterator it = profiler_iterator_make(root);
    while (profiler_iterator_next_breadth(&it)) {
    }
    profiler_node_find_child(root, 2);
  }
  profiler_profile_free(&p);
  return 0;
}
