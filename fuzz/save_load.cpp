// Any bytes given to the save-file loader are refused or loaded; a loaded store passes the
// store's check, and saving it again gives an image that loads back to the same bytes.
#include <stdlib.h>
#include <string.h>

#include "reader/save.h"
#include "tests/support/test_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // One store for every input, which each input leaves empty.
  static test_store store;
  if (!store.ok) abort();
  reader *r = &store.r;
  if (reader_read_bytes(r, data, size)) {
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
