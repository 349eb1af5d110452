// Both feed date parsers over arbitrary bytes: no read outside the text, and every field of the
// result in its range, so no later use of the date can index past a table.
#include <stdlib.h>

#include <vector>

#include "reader/reader.h"

static void check_date(date d) {
  if (d.month > 12 || d.day > 31 || d.hour > 23 || d.minute > 59 || d.second > 59 || d.zero != 0) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  // A copy of exactly the input's length, so a read past the end is caught.
  std::vector<u8> bytes(data, data + size);
  buffer text = string_from_bytes(bytes.empty() ? nullptr : bytes.data(), bytes.size());
  check_date(feed_parse_date_rfc822(text));
  check_date(feed_parse_date_iso8601(text));
  return 0;
}
