// Links from feeds and pages made ready to hand to another program: the prepared form stays
// inside its room, holds no blank after the host, loses only the white space around the link, and
// a link the check lets through has no byte a command line or a shell could split or act on.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "reader/openers.h"

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  std::vector<u8> copy(data, data + size);  // exactly its length, so a read past the end is caught
  buffer url = string_from_bytes(copy.empty() ? nullptr : copy.data(), copy.size());
  u64 blanks = 0;
  for (u64 i = 0; i < size; i++) blanks += data[i] == ' ';
  for (u64 room : {(u64)0, (u64)5, (u64)64, (u64)size * 3}) {
    std::vector<u8> area(room ? room : 1);
    buffer out = buffer_make(room, 0, room ? area.data() : nullptr);
    buffer ready = link_url_prepare(url, &out);
    if (!ready.data) {
      if (out.used != 0) abort();
      continue;
    }
    if (ready.used != out.used || ready.used > room || ready.used > 3 * size) abort();
    if (ready.used > size + 2 * blanks) abort();
    if (link_url_is_openable(ready)) {
      for (u64 i = 0; i < ready.used; i++)
        if (ready.data[i] <= 0x20 || ready.data[i] == 0x7F) abort();
    }
    // Preparing what is ready changes nothing.
    std::vector<u8> again_area(ready.used ? ready.used : 1);
    buffer again_out = buffer_make(ready.used, 0, again_area.data());
    buffer again = link_url_prepare(ready, &again_out);
    if (ready.used && (again.used != ready.used || memcmp(again.data, ready.data, ready.used) != 0)) abort();
  }
  return 0;
}
