// Dates read from untrusted text and moved by untrusted amounts (zone offsets of feed dates)
// always come out as a valid date or as no date, and their compact text reads back the same.
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  date d = date_from_compact_string(string_from_bytes(data, size));
  if (!date_is_zero(d) && !date_is_valid(d)) abort();
  s64 amounts[6] = {};
  if (size > DATE_COMPACT_LENGTH) {
    memcpy(amounts, data + DATE_COMPACT_LENGTH,
           size - DATE_COMPACT_LENGTH < sizeof(amounts) ? size - DATE_COMPACT_LENGTH : sizeof(amounts));
  }
  date m = date_add(d, amounts[0], amounts[1], amounts[2], amounts[3], amounts[4], amounts[5]);
  if (date_is_zero(d) != date_is_zero(m)) abort();
  if (date_is_zero(m)) return 0;
  if (!date_is_valid(m) || m.zero != 0) abort();
  u8 text[32];
  buffer out = buffer_make(sizeof(text), 0, text);
  if (!date_to_compact_string(m, &out)) abort();
  if (m.year <= 9999) {
    date back = date_from_compact_string(out);
    if (date_to_number(back) != date_to_number(m)) abort();
  }
  return 0;
}
