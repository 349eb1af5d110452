// Any bytes given to the save-file loader are refused or loaded; what the file's own checks
// pass, the store's check passes too, and saving a loaded store gives an image that loads back to
// the same bytes.
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "reader/save_internal.h"
#include "tests/support/test_store.h"

// Whether the log gained the text since it stood at before (a new chunk holds only later text).
static bool log_gained(buffer before, const char *text) {
  buffer now = log_last_text();
  u64 from = now.data == before.data && now.used >= before.used ? before.used : 0;
  std::string_view added((const char *)now.data + from, now.used - from);
  return added.find(text) != std::string_view::npos;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // One store for every input, which each input leaves empty.
  static test_store store;
  if (!store.ok) abort();
  reader *r = &store.r;
  buffer log_before = log_last_text();
  bool loaded = reader_read_bytes(r, data, size);
  // Bytes the file's checks let through must pass the store's check too: the loader refuses
  // them when they do not, and that refusal is a gap in the file's checks.
  if (!loaded && log_gained(log_before, SAVE_REJECT_STORE_CHECK)) abort();
  if (loaded) {
    if (reader_check(r) != 0) abort();
    buffer image = reader_write_image(r);
    if (!image.data) abort();
    reader_reset(r);
    if (!reader_read_bytes(r, image.data, image.used)) abort();
    buffer again = reader_write_image(r);
    if (again.used != image.used || memcmp(again.data, image.data, image.used) != 0) abort();
    memory_free(&again);
    memory_free(&image);
    reader_reset(r);
  }
  if (r->feeds.entry_count || r->strings.used) abort();  // a refusal leaves the store empty
  return 0;
}
