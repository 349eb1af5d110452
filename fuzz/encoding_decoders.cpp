// Runs every decoder of the dispatch over the input and checks that each call stays inside the
// input, makes progress (a byte consumed or the ISO-2022-JP state moved) and that the text ends.
// A code point out is a scalar value; a failure leaves none. Every decoded code point is encoded
// back where the encoding can, and the encoder never writes past its room. The inline fast paths
// of the dispatch must agree with the full decoders call by call, and a run must give what the
// dispatch gives call by call up to its first failure, in both output forms and in any room.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "encoding/encoding.h"

static void check(bool ok) {
  if (!ok) std::abort();
}

static void check_runs(u32 e, const u8 *data, size_t size) {
  if (e == encoding_iso_2022_jp) return;
  const u8 *end = data + size;
  std::vector<u32> model;
  std::vector<u8> model_utf8;
  const u8 *at = data;
  while (at < end) {
    u32 cp, second, error = 0;
    u8 count;
    encoding_decode(e, at, end, &cp, &second, &count, nullptr, &error);
    if (error) break;
    for (u32 c : {cp, second}) {
      if (c == encoding_no_code_point) continue;
      model.push_back(c);
      u8 b[4], n = 0;
      u32 encode_error = 0;
      utf8_encode(b, b + 4, c, &n, &encode_error);
      model_utf8.insert(model_utf8.end(), b, b + n);
    }
    at += count;
  }
  u64 read_model = (u64)(at - data);
  // Room for everything, then a room that the input picks: a prefix that stops between code points.
  for (u64 room : {(u64)size + 2, (u64)(size ? data[0] % 24 : 0)}) {
    std::vector<u32> units(room + 1);
    std::vector<u8> text(4 * room + 8);
    u64 written = 0, written8 = 0;
    u64 read = encoding_decode_run(e, data, end, units.data(), units.data() + room, &written);
    u64 read8 = encoding_decode_run_utf8(e, data, end, text.data(), text.data() + 4 * room + 8, &written8);
    check(read <= read_model && written <= room && written <= model.size() &&
          (written == 0 || std::memcmp(units.data(), model.data(), written * 4) == 0));
    check(read8 <= read_model && written8 <= model_utf8.size() &&
          (written8 == 0 || std::memcmp(text.data(), model_utf8.data(), written8) == 0));
    if (room == (u64)size + 2) check(read == read_model && written == model.size() && read8 == read_model &&
                                     written8 == model_utf8.size());
  }
}

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  for (u32 e = 1; e < encoding_count; e++) {
    check_runs(e, data, size);
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
