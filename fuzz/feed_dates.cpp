// Both feed date parsers over arbitrary bytes: no read outside the text, and every result either
// a date on the calendar (its zero byte zero, as the save file requires) or the parser's no date,
// what it gives an empty text, so no later use of it can index past a table.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "reader/reader.h"

static void check_date(date d, date none) {
  if ((!date_is_valid(d) || d.zero) && memcmp(&d, &none, sizeof d) != 0) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  // A copy of exactly the input's length, so a read past the end is caught.
  std::vector<u8> bytes(data, data + size);
  buffer text = string_from_bytes(bytes.empty() ? nullptr : bytes.data(), bytes.size());
  check_date(feed_parse_date_rfc822(text), feed_parse_date_rfc822(buffer{}));
  check_date(feed_parse_date_iso8601(text), feed_parse_date_iso8601(buffer{}));
  return 0;
}
