#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "cjk_test_util.h"
#include "encoding/encoding_tables.h"

namespace {

struct codec {
  const char *name;
  decode_fn decode;
  encode_fn encode;
};

const codec codecs[] = {
  {"EUC-JP", euc_jp_decode, euc_jp_encode},
  {"Shift_JIS", shift_jis_decode, shift_jis_encode},
  {"EUC-KR", euc_kr_decode, euc_kr_encode},
};

}  // namespace

// Every lead and trail byte: a decoded code point encodes to bytes that decode back to it (the
// same bytes unless the index holds the code point twice), and every failure consumes at least
// one byte, never one past the input, and gives back an ASCII last byte.
TEST(japanese_korean, every_sequence_round_trips_or_fails_with_a_sound_count) {
  for (const codec &c : codecs) {
    u32 decoded = 0, same_bytes = 0;
    for (u32 lead = 0; lead <= 0xFF; lead++) {
      for (u32 trail = 0; trail <= 0xFF; trail++) {
        for (u32 third = 0xA0; third <= (c.decode == euc_jp_decode && lead == 0x8F ? 0xFFu : 0xA0u); third++) {
          std::vector<u8> in{(u8)lead, (u8)trail};
          if (c.decode == euc_jp_decode && lead == 0x8F && trail >= 0xA1 && trail <= 0xFE)
            in.push_back((u8)third);
          decode_result d = decode_with(c.decode, in);
          if (d.error) {
            ASSERT_GE(d.count, 1u);
            ASSERT_LE(d.count, in.size());
            ASSERT_EQ(d.code_point, encoding_no_code_point);
            if (d.count > 1) {
              ASSERT_GE(in[d.count - 1], 0x80) << c.name;
            }
            if (d.count < in.size() && d.count > 1) {
              ASSERT_LT(in[d.count], 0x80) << c.name;
            }
            continue;
          }
          if (d.count == 1 && trail != lead) continue;  // single-byte forms are met as leads
          u32 error;
          std::vector<u8> bytes = encode_with(c.encode, d.code_point, &error);
          if (error) {
            // Only the user-defined area of Shift_JIS and EUC-JP's jis0212 have no encoding.
            bool allowed = (c.decode == shift_jis_decode && d.code_point >= 0xE000 &&
                            d.code_point < 0xE758) ||
                           (c.decode == euc_jp_decode && lead == 0x8F);
            ASSERT_TRUE(allowed) << c.name << std::hex << " " << d.code_point;
            ASSERT_EQ(error, c.decode == shift_jis_decode ? encoding_error_shift_jis_encode_no_pointer
                                                          : encoding_error_euc_jp_encode_no_pointer);
            continue;
          }
          decoded++;
          decode_result back = decode_with(c.decode, bytes);
          ASSERT_EQ(back.code_point, d.code_point) << c.name << std::hex << " " << d.code_point;
          if (bytes == std::vector<u8>(in.begin(), in.begin() + d.count)) same_bytes++;
        }
      }
    }
    // Most sequences come back as they were; the rest are the tables' repeated characters.
    EXPECT_GT(same_bytes, decoded * 9 / 10) << c.name;
  }
}

TEST(japanese_korean, known_sequences) {
  struct { decode_fn fn; std::vector<u8> in; u32 cp; u32 count; } cases[] = {
    {euc_jp_decode, {0x8E, 0xA6}, 0xFF66, 2}, {euc_jp_decode, {0x8F, 0xA2, 0xAF}, 0x02D8, 3},
    {euc_jp_decode, {0xA4, 0xA2}, 0x3042, 2},
    {shift_jis_decode, {0x82, 0xA0}, 0x3042, 2}, {shift_jis_decode, {0xF0, 0x40}, 0xE000, 2},
    {shift_jis_decode, {0x80}, 0x80, 1}, {shift_jis_decode, {0xA1}, 0xFF61, 1},
    {shift_jis_decode, {0xDF}, 0xFF9F, 1}, {shift_jis_decode, {0xF9, 0xFC}, 0xE757, 2},
    {euc_kr_decode, {0xB0, 0xA1}, 0xAC00, 2}, {euc_kr_decode, {0x81, 0x41}, 0xAC02, 2}};
  for (auto &c : cases) {
    decode_result d = decode_with(c.fn, c.in);
    EXPECT_EQ(d.error, 0u) << testing::PrintToString(c.in);
    EXPECT_EQ(d.code_point, c.cp) << testing::PrintToString(c.in);
    EXPECT_EQ(d.count, c.count);
  }
  u32 error;
  EXPECT_EQ(encode_with(euc_kr_encode, 0x41, &error), std::vector<u8>{0x41});
  EXPECT_EQ(encode_with(euc_jp_encode, 0xA5, &error), std::vector<u8>{0x5C});
  EXPECT_EQ(encode_with(euc_jp_encode, 0x2212, &error), (std::vector<u8>{0xA1, 0xDD}));
  EXPECT_EQ(encode_with(shift_jis_encode, 0xFF61, &error), std::vector<u8>{0xA1});
  EXPECT_EQ(encode_with(shift_jis_encode, 0x2212, &error), (std::vector<u8>{0x81, 0x7C}));
  // U+2170 (small roman numeral one) sits in both the NEC and the IBM rows: the IBM row wins.
  EXPECT_EQ(encode_with(shift_jis_encode, 0x2170, &error), (std::vector<u8>{0xFA, 0x40}));
}

TEST(japanese_korean, errors_at_each_boundary) {
  struct { decode_fn fn; std::vector<u8> in; u32 error; u32 count; } cases[] = {
    {euc_jp_decode, {0x80}, encoding_error_euc_jp_bad_lead, 1},
    {euc_jp_decode, {0xA0, 0xA1}, encoding_error_euc_jp_bad_lead, 1},
    {euc_jp_decode, {0xFF}, encoding_error_euc_jp_bad_lead, 1},
    {euc_jp_decode, {0xA4}, encoding_error_truncated, 1},
    {euc_jp_decode, {0x8F, 0xA2}, encoding_error_truncated, 2},
    {euc_jp_decode, {0x8E, 0xE0}, encoding_error_euc_jp_no_code_point, 2},
    {euc_jp_decode, {0x8E, 0x41}, encoding_error_euc_jp_no_code_point, 1},
    {euc_jp_decode, {0x8F, 0x41}, encoding_error_euc_jp_no_code_point, 1},
    {euc_jp_decode, {0x8F, 0xA2, 0x41}, encoding_error_euc_jp_no_code_point, 2},
    {euc_jp_decode, {0x8F, 0xA1, 0xA1}, encoding_error_euc_jp_no_code_point, 3},
    {euc_jp_decode, {0xA4, 0xFF}, encoding_error_euc_jp_no_code_point, 2},
    {shift_jis_decode, {0xA0}, encoding_error_shift_jis_bad_lead, 1},
    {shift_jis_decode, {0xFD}, encoding_error_shift_jis_bad_lead, 1},
    {shift_jis_decode, {0x82}, encoding_error_truncated, 1},
    {shift_jis_decode, {0x82, 0x3F}, encoding_error_shift_jis_no_code_point, 1},
    {shift_jis_decode, {0x82, 0x7F}, encoding_error_shift_jis_no_code_point, 1},
    {shift_jis_decode, {0x82, 0xFD}, encoding_error_shift_jis_no_code_point, 2},
    {euc_kr_decode, {0x80}, encoding_error_euc_kr_bad_lead, 1},
    {euc_kr_decode, {0xFF}, encoding_error_euc_kr_bad_lead, 1},
    {euc_kr_decode, {0xB0}, encoding_error_truncated, 1},
    {euc_kr_decode, {0xB0, 0x40}, encoding_error_euc_kr_no_code_point, 1},
    {euc_kr_decode, {0xB0, 0xFF}, encoding_error_euc_kr_no_code_point, 2},
    {euc_kr_decode, {0xC9, 0xA1}, encoding_error_euc_kr_no_code_point, 2},
  };
  for (auto &c : cases) {
    decode_result d = decode_with(c.fn, c.in);
    EXPECT_EQ(d.error, c.error) << testing::PrintToString(c.in);
    EXPECT_EQ(d.count, c.count) << testing::PrintToString(c.in);
  }
  u32 error;
  encode_with(euc_kr_encode, 0x3040, &error);
  EXPECT_EQ(error, encoding_error_euc_kr_encode_no_pointer);
  encode_with(shift_jis_encode, 0xE000, &error);
  EXPECT_EQ(error, encoding_error_shift_jis_encode_no_pointer);
}

// ---- ISO-2022-JP ---------------------------------------------------------------------------

namespace {

// The streaming decoder of the web, one byte at a time with bytes put back in front of the
// input: the model for the one-call decoder. Errors come out as U+FFFD.
std::vector<u32> iso_2022_jp_model(const std::vector<u8> &input) {
  enum { ascii, roman, katakana, lead_byte, trail_byte, escape_start, escape };
  int state = ascii, output_state = ascii;
  u32 lead = 0;
  bool output = false;
  std::deque<int> queue(input.begin(), input.end());
  queue.push_back(-1);
  std::vector<u32> out;
  auto fail = [&] { out.push_back(0xFFFD); };
  while (!queue.empty()) {
    int b = queue.front();
    queue.pop_front();
    switch (state) {
    case ascii:
    case roman:
      if (b == 0x1B) state = escape_start;
      else if (b == -1) return out;
      else if (b < 0x80 && b != 0x0E && b != 0x0F) {
        output = false;
        out.push_back(state == roman && b == 0x5C ? 0xA5 : state == roman && b == 0x7E ? 0x203E : (u32)b);
      } else output = false, fail();
      break;
    case katakana:
      if (b == 0x1B) state = escape_start;
      else if (b == -1) return out;
      else if (b >= 0x21 && b <= 0x5F) output = false, out.push_back(0xFF61 - 0x21 + b);
      else output = false, fail();
      break;
    case lead_byte:
      if (b == 0x1B) state = escape_start;
      else if (b == -1) return out;
      else if (b >= 0x21 && b <= 0x7E) output = false, lead = b, state = trail_byte;
      else output = false, fail();
      break;
    case trail_byte:
      if (b == 0x1B) state = escape_start, fail();
      else if (b >= 0x21 && b <= 0x7E) {
        state = lead_byte;
        u32 pointer = (lead - 0x21) * 94 + b - 0x21;
        u32 place = encoding_index_compress(pointer, index_jis0208_ranges, index_jis0208_range_count);
        u32 cp = place == encoding_no_pointer ? 0 : index_jis0208[place];
        if (cp) out.push_back(cp);
        else fail();
      } else {
        state = lead_byte;
        if (b == -1) queue.push_front(-1);
        fail();
      }
      break;
    case escape_start:
      if (b == 0x24 || b == 0x28) {
        lead = b, state = escape;
        break;
      }
      queue.push_front(b);
      output = false, state = output_state, fail();
      break;
    case escape: {
      int next = -1;
      if (lead == 0x28 && b == 0x42) next = ascii;
      if (lead == 0x28 && b == 0x4A) next = roman;
      if (lead == 0x28 && b == 0x49) next = katakana;
      if (lead == 0x24 && (b == 0x40 || b == 0x42)) next = lead_byte;
      if (next >= 0) {
        state = output_state = next;
        bool was = output;
        output = true;
        if (was) fail();
        break;
      }
      queue.push_front(b);
      queue.push_front((int)lead);
      output = false, state = output_state, fail();
      break;
    }
    }
  }
  return out;
}

struct iso_run {
  std::vector<u32> code_points;
  std::vector<u32> errors;
};

iso_run iso_2022_jp_calls(const std::vector<u8> &in) {
  iso_run run;
  iso_2022_jp_state state{};
  const u8 *at = in.data(), *end = in.data() + in.size();
  for (int guard = 0; guard < 10000; guard++) {
    u32 cp, error = 0;
    u8 count;
    iso_2022_jp_state before = state;
    iso_2022_jp_decode(at, end, &cp, &count, &state, &error);
    EXPECT_LE(count, end - at);
    if (error == encoding_error_end_of_input) return run;
    bool moved = count > 0 || before.decoder_state != state.decoder_state ||
                 before.output_state != state.output_state || before.output_flag != state.output_flag;
    EXPECT_TRUE(moved) << "a call made no progress";
    if (!moved) return run;
    run.code_points.push_back(error ? 0xFFFD : cp);
    if (error) run.errors.push_back(error);
    at += count;
  }
  ADD_FAILURE() << "no end";
  return run;
}

}  // namespace

TEST(iso_2022_jp, matches_the_streaming_decoder_on_random_escapes_and_bytes) {
  std::mt19937 rng(11);
  const u8 pool[] = {0x1B, 0x1B, 0x24, 0x28, 0x42, 0x4A, 0x49, 0x40, 0x21, 0x22, 0x24, 0x5C,
                     0x7E, 0x7F, 0x5F, 0x60, 0x0E, 0x0F, 0x0A, 0x41, 0x80, 0xA4, 0x30, 0x74};
  for (int round = 0; round < 30000; round++) {
    std::vector<u8> in(rng() % 14);
    for (u8 &b : in) b = pool[rng() % sizeof(pool)];
    iso_run run = iso_2022_jp_calls(in);
    ASSERT_EQ(run.code_points, iso_2022_jp_model(in)) << testing::PrintToString(in);
  }
}

TEST(iso_2022_jp, escape_sequences_and_their_errors) {
  auto run = [](std::vector<u8> in) { return iso_2022_jp_calls(in); };
  iso_run r = run({0x1B, 0x24, 0x42, 0x24, 0x22, 0x1B, 0x28, 0x42});
  EXPECT_EQ(r.code_points, std::vector<u32>{0x3042});
  r = run({0x1B, 0x28, 0x42, 0x1B, 0x28, 0x42, 0x41});
  EXPECT_EQ(r.errors, std::vector<u32>{encoding_error_iso_2022_jp_escape_without_output});
  EXPECT_EQ(r.code_points, (std::vector<u32>{0xFFFD, 0x41}));
  r = run({0x1B, 0x28, 0x4A, 0x5C, 0x7E, 0x7F, 0x1B, 0x28, 0x49, 0x21, 0x5F, 0x60});
  EXPECT_EQ(r.code_points, (std::vector<u32>{0xA5, 0x203E, 0x7F, 0xFF61, 0xFF9F, 0xFFFD}));
  EXPECT_EQ(r.errors, std::vector<u32>{encoding_error_iso_2022_jp_bad_katakana});
  // Input that ends inside an escape reports it once, then plain end of input.
  r = run({0x1B});
  EXPECT_EQ(r.errors, std::vector<u32>{encoding_error_iso_2022_jp_end_in_escape});
  r = run({0x1B, 0x24});
  EXPECT_EQ(r.errors, std::vector<u32>{encoding_error_iso_2022_jp_end_in_escape});
  EXPECT_EQ(r.code_points, (std::vector<u32>{0xFFFD, 0x24}));
  r = run({0x1B, 0x24, 0x42, 0x24});
  EXPECT_EQ(r.errors, std::vector<u32>{encoding_error_iso_2022_jp_end_in_trail});
  r = run({0x1B, 0x24, 0x42, 0x24, 0x1B});
  EXPECT_EQ(r.errors, (std::vector<u32>{encoding_error_iso_2022_jp_escape_in_trail,
                                        encoding_error_iso_2022_jp_end_in_escape}));
  r = run({0x1B, 0x41});
  EXPECT_EQ(r.errors, std::vector<u32>{encoding_error_iso_2022_jp_bad_escape_start});
  EXPECT_EQ(r.code_points, (std::vector<u32>{0xFFFD, 0x41}));
  r = run({0x1B, 0x24, 0x41});
  EXPECT_EQ(r.errors, std::vector<u32>{encoding_error_iso_2022_jp_unknown_escape});
  EXPECT_EQ(r.code_points, (std::vector<u32>{0xFFFD, 0x24, 0x41}));
  r = run({0x0E, 0x80, 0x1B, 0x24, 0x42, 0x20, 0x24, 0x7F});
  EXPECT_EQ(r.errors, (std::vector<u32>{encoding_error_iso_2022_jp_bad_ascii,
                                        encoding_error_iso_2022_jp_bad_ascii,
                                        encoding_error_iso_2022_jp_bad_lead,
                                        encoding_error_iso_2022_jp_bad_trail}));
}

TEST(iso_2022_jp, a_call_resumed_in_the_escape_start_state_moves_on) {
  const u8 in[2] = {0x24, 0x42};
  iso_2022_jp_state state{6, 4, 0};
  u32 cp, error = 0;
  u8 count = 9;
  iso_2022_jp_decode(in, in, &cp, &count, &state, &error);
  EXPECT_EQ(error, encoding_error_iso_2022_jp_end_in_escape);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(state.decoder_state, 4);
  error = 0;
  iso_2022_jp_decode(in, in, &cp, &count, &state, &error);
  EXPECT_EQ(error, encoding_error_end_of_input);
}

// Random text of every kind the encoder switches for: encoded, closed and decoded it comes back
// (half-width katakana come back full width, U+2212 as U+FF0D), and the stream ends in ASCII.
TEST(iso_2022_jp, encoded_text_decodes_back) {
  std::mt19937 rng(5);
  const u32 pool[] = {0x41, 0x5C, 0x7E, 0x7F, 0x0A, 0xA5, 0x203E, 0x3042, 0x4E9C, 0xFF61, 0xFF9F,
                      0x2212, 0x2170, 0xFF0D};
  for (int round = 0; round < 3000; round++) {
    std::vector<u32> text(rng() % 10);
    for (u32 &cp : text) cp = pool[rng() % array_count(pool)];
    std::vector<u8> bytes(8 * text.size() + 3);
    u32 state = 0, measured_state = 0, error = 0;
    u64 used = 0, measured = 0;
    for (u32 cp : text) {
      u8 count = 0, measure = 0;
      iso_2022_jp_encode(nullptr, nullptr, cp, &measure, &measured_state, &error);
      iso_2022_jp_encode(bytes.data() + used, bytes.data() + bytes.size(), cp, &count, &state, &error);
      ASSERT_EQ(error, 0u);
      ASSERT_EQ(measure, count);
      used += count;
      measured += measure;
    }
    u8 count = 0;
    iso_2022_jp_encode_finish(bytes.data() + used, bytes.data() + bytes.size(), &count, &state, &error);
    used += count;
    bytes.resize(used);
    iso_run run = iso_2022_jp_calls(bytes);
    ASSERT_TRUE(run.errors.empty()) << testing::PrintToString(bytes);
    std::vector<u32> expected;
    for (u32 cp : text) {
      if (cp == 0x2212) cp = 0xFF0D;
      if (cp >= 0xFF61 && cp <= 0xFF9F) cp = index_iso_2022_jp_katakana[cp - 0xFF61];
      expected.push_back(cp);
    }
    ASSERT_EQ(run.code_points, expected);
    if (!bytes.empty() && state != 1) FAIL();
  }
  u32 state = 0, error = 0;
  u8 out[8], count;
  iso_2022_jp_encode(out, out + 8, 0x0E, &count, &state, &error);
  EXPECT_EQ(error, encoding_error_iso_2022_jp_encode_control);
  error = 0;
  iso_2022_jp_encode(out, out + 8, 0x4E02, &count, &state, &error);
  EXPECT_EQ(error, encoding_error_iso_2022_jp_encode_no_pointer);
  error = 0;
  state = iso_2022_jp_encoder_jis0208;
  iso_2022_jp_encode_finish(out, out + 2, &count, &state, &error);
  EXPECT_EQ(error, encoding_error_iso_2022_jp_finish_no_room);
  error = 0;
  state = iso_2022_jp_encoder_ascii;
  iso_2022_jp_encode_finish(out, out, &count, &state, &error);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(error, 0u);
}
