// Bytes to code points for the parser: every decode passes through xml_decode and every declared
// label through xml_encoding_from_label, both thin layers over the encoding layer's dispatch.
#include <string.h>

#include "encoding/encoding.h"
#include "xml/xml_internal.h"

static_assert(sizeof(iso_2022_jp_state) <= sizeof(u32), "the cursor keeps the decoder state in a u32");

u32 xml_decode(u32 encoding, const u8 *begin, const u8 *end, u32 *codepoint, u32 *second, u8 *count, u32 *state) {
  iso_2022_jp_state s;
  memcpy(&s, state, sizeof s);
  u32 error = 0;
  *second = XML_NO_CODEPOINT;
  encoding_decode(encoding, begin, end, codepoint, second, count, &s, &error);
  memcpy(state, &s, sizeof s);
  return error;
}

u32 xml_encoding_from_label(const u8 *label, u64 length) { return encoding_from_label(label, length); }

bool xml_encoding_is_single_byte(u32 encoding) { return single_byte_table(encoding) != nullptr; }

u64 xml_decode_run_utf8(u32 encoding, const u8 *begin, const u8 *end, u8 *out, u8 *out_end, u64 *written) {
  return encoding_decode_run_utf8(encoding, begin, end, out, out_end, written);
}

bool xml_encoding_is_ascii_compatible(u32 encoding) {
  switch (encoding) {
    case encoding_iso_2022_jp:
    case encoding_replacement:
    case encoding_utf_16be:
    case encoding_utf_16le:
      return false;
    default:
      return encoding >= encoding_utf_8 && encoding <= encoding_x_user_defined;
  }
}
