// Runs every decoder of the dispatch over the input and checks that each call stays inside the
// input, makes progress (a byte consumed or the ISO-2022-JP state moved) and that the text ends.
// A code point out is a scalar value; a failure leaves none. Every decoded code point is encoded
// back where the encoding can, and the encoder never writes past its room. The inline fast paths
// of the dispatch must agree with the full decoders call by call.
#include <cstdlib>
#include <cstring>

#include "encoding/encoding.h"

static void check(bool ok) {
  if (!ok) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  for (u32 e = 1; e < encoding_count; e++) {
    iso_2022_jp_state state{};
    u32 encode_state = 0;
    const u8 *at = data, *end = data + size;
    u64 calls = 0;
    for (;;) {
      check(++calls <= 2 * (u64)size + 2);
      u32 cp, second, error = 0;
      u8 count;
      iso_2022_jp_state before = state;
      // The inline fast paths and the full decoders answer alike on every input.
      iso_2022_jp_state general_state = state;
      u32 general_cp = 0, general_second = 0, general_error = 0;
      u8 general_count = 0;
      u8 general_returned = encoding_decode_general(e, at, end, &general_cp, &general_second,
                                                    &general_count, &general_state, &general_error);
      u8 returned = encoding_decode(e, at, end, &cp, &second, &count, &state, &error);
      check(returned == count && general_returned == general_count && cp == general_cp &&
            second == general_second && count == general_count && error == general_error &&
            std::memcmp(&state, &general_state, sizeof(state)) == 0);
      if (error == encoding_error_end_of_input) {
        // ISO-2022-JP may consume escapes that close the text before it meets the end.
        check(at + count == end);
        break;
      }
      check(count <= end - at);
      check(count > 0 || std::memcmp(&before, &state, sizeof(state)) != 0);
      if (error) {
        check(error < encoding_error_count && cp == encoding_no_code_point);
      } else {
        check(codepoint_is_scalar(cp));
        // Encoders are checked on a sample only: the CJK ones search their whole index.
        if ((calls & 63) == 1 || e < encoding_gbk || e > encoding_euc_kr) {
          u8 out[8];
          u8 written = 0;
          u32 encode_error = 0;
          encoding_encode(e, out, out + 8, cp, &written, &encode_state, &encode_error);
          check(written <= 8);
        }
      }
      at += count;
    }
  }
  return 0;
}
