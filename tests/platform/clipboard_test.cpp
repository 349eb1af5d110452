// The copy of clipboard text into a buffer: every free-room size, with and without the
// terminating zero, against a plain model of the sanitised text.
#include "platform/clipboard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The text as whole characters, each invalid byte replaced by U+FFFD.
std::vector<std::string> sanitised_characters(const std::string &s) {
  std::vector<std::string> out;
  for (size_t i = 0; i < s.size();) {
    unsigned char b = (unsigned char)s[i];
    size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    bool ok = len != 0 && i + len <= s.size();
    unsigned c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (size_t k = 1; ok && k < len; k++) {
      unsigned char t = (unsigned char)s[i + k];
      ok = (t & 0xC0) == 0x80;
      c = c << 6 | (t & 0x3F);
    }
    static const unsigned min[5] = {0, 0, 0x80, 0x800, 0x10000};
    ok = ok && c >= min[len] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
    if (ok) {
      out.push_back(s.substr(i, len));
      i += len;
    } else {
      out.push_back("\xEF\xBF\xBD");
      i += 1;
    }
  }
  return out;
}

TEST(clipboard_copy, fits_every_free_room_and_never_writes_past_it) {
  const std::string samples[] = {
      "plain text",
      "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80!",
      "bad \xFF bytes \xC3 cut \xED\xA0\x80 surrogate \xC0\xAF overlong \xF4\x90\x80\x80",
      "",
  };
  for (const std::string &text : samples) {
    std::vector<std::string> chars = sanitised_characters(text);
    for (int terminate = 0; terminate < 2; terminate++) {
      for (u64 used = 0; used < 3; used++) {
        for (u64 room = 0; room < 64; room++) {
          std::vector<u8> area(used + room + 8, 0xAA);
          buffer out = buffer_make(used + room, used, area.data());
          buffer view =
              clipboard_append_utf8(&out, (const u8 *)text.data(), text.size(), terminate != 0);
          // The model: the longest run of whole characters that fits, then the zero.
          if (terminate && room == 0) {
            EXPECT_EQ(view.data, nullptr);
            EXPECT_EQ(out.used, used);
            continue;
          }
          std::string expected;
          u64 limit = terminate ? room - 1 : room;
          for (const std::string &c : chars) {
            if (expected.size() + c.size() > limit) break;
            expected += c;
          }
          ASSERT_EQ(std::string((const char *)view.data, view.used), expected)
              << text << " room " << room;
          EXPECT_EQ(view.data, area.data() + used);
          EXPECT_EQ(view.size, expected.size() + (terminate ? 1 : 0));
          EXPECT_EQ(out.used, used + view.size);
          if (terminate) {
            EXPECT_EQ(area[used + expected.size()], 0);
          }
          for (u64 i = used + room; i < area.size(); i++) ASSERT_EQ(area[i], 0xAA) << room;
        }
      }
    }
  }
}

TEST(clipboard_copy, one_free_byte_with_a_terminator_takes_only_the_zero) {
  u8 area[4] = {'x', 'y', 'z', 0xAA};
  buffer out = buffer_make(4, 3, area);
  buffer view = clipboard_append_utf8(&out, (const u8 *)"hello", 5, true);
  EXPECT_EQ(view.used, 0u);
  EXPECT_EQ(view.size, 1u);
  EXPECT_EQ(out.used, 4u);
  EXPECT_EQ(area[3], 0);
}

}  // namespace
