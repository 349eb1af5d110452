// DejaVu faces (installed with the build's packages) and the code-point lists the font and text
// layout tests share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "gfx/font.h"
#include "platform/files.h"

#define DEJAVU_SANS "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
#define DEJAVU_MONO "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"

inline buffer font_test_read(const char *path) {
  u32 error = 0;
  buffer b = file_read_all(string_from_bytes(path, strlen(path)), 0, &error);
  EXPECT_EQ(error, 0u) << path;
  return b;
}

// The base list, then Latin Extended-A and -B, Greek, Cyrillic and a combining accent (which has
// no advance): 643 code points, in an order that is not sorted.
inline std::vector<u32> font_test_codepoints() {
  std::vector<u32> list(FONT_BASE_CODEPOINT_COUNT);
  font_base_codepoints(list.data());
  // Latin-9's letters from Latin Extended-A are in the base list already: no code point twice.
  for (u32 c = 0x24F; c >= 0x100; --c)
    if (std::find(list.begin(), list.end(), c) == list.end()) list.push_back(c);
  for (u32 c = 0x391; c <= 0x3A1; ++c) list.push_back(c);
  for (u32 c = 0x3A3; c <= 0x3C9; ++c) list.push_back(c);
  for (u32 c = 0x410; c <= 0x44F; ++c) list.push_back(c);
  list.push_back(0x301);
  return list;
}

struct font_fixture : ::testing::Test {
  buffer sans{}, mono{};
  font_collection *collection = nullptr;
  std::vector<u32> codepoints;

  // Sans at 14, 16 and 20 pixels, then mono at 12, all sharing the list.
  void build(std::vector<u32> list, u64 arena = MiB(64)) {
    sans = font_test_read(DEJAVU_SANS);
    mono = font_test_read(DEJAVU_MONO);
    codepoints = std::move(list);
    u32 error = 0;
    collection = font_collection_create(arena, &error);
    ASSERT_TRUE(collection);
    u32 n = (u32)codepoints.size();
    font_collection_add_font(collection, sans, 14, codepoints.data(), n, 0, &error);
    font_collection_add_font(collection, sans, 16, codepoints.data(), n, 0, &error);
    font_collection_add_font(collection, sans, 20, codepoints.data(), n, 0, &error);
    font_collection_add_font(collection, mono, 12, codepoints.data(), n, 1, &error);
    ASSERT_EQ(error, 0u);
    font_build_collection(collection, &error);
    ASSERT_EQ(error, 0u);
  }
  void TearDown() override {
    font_collection_destroy(collection);
    file_content_free(&sans);
    file_content_free(&mono);
  }
};
