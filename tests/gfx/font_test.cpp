// Font collections: lookups against a model, glyph boxes and the atlas, rebuilds, kerning, growth
// of the atlas, and font files that are cut or forged.
#include "font_fixture.h"

#include <algorithm>
#include <random>
#include <set>

#include "platform/log.h"

namespace {

u32 model_index(const std::vector<u32> &sorted, u32 c, u32 fallback) {
  auto it = std::lower_bound(sorted.begin(), sorted.end(), c);
  return it != sorted.end() && *it == c ? (u32)(it - sorted.begin()) : fallback;
}

}  // namespace

TEST_F(font_fixture, base_list_puts_the_replacement_glyph_last) {
  std::vector<u32> list(FONT_BASE_CODEPOINT_COUNT);
  font_base_codepoints(list.data());
  EXPECT_EQ(list[191], 0xFFFDu);
  EXPECT_EQ(list[192], 0x2026u);
  build(list);
  for (u32 i = 0; i < collection->font_count; ++i) {
    font *f = &collection->fonts[i];
    EXPECT_EQ(f->fallback_glyph, 192u);
    EXPECT_EQ(font_glyph_index(f, 0xFFFD), 192u);
    EXPECT_TRUE(std::is_sorted(codepoints.begin(), codepoints.end()));
    // Unlisted code points near the first (U+A4) and far from it draw U+FFFD.
    EXPECT_EQ(font_glyph_index(f, 0xA4), 192u);
    EXPECT_EQ(font_glyph_index(f, 0x10FFFF), 192u);
    EXPECT_EQ(font_glyph_index(f, 0), 192u);
    EXPECT_EQ(font_get_glyph(f, 0x4E00), &f->glyphs[192]);
  }
}

TEST_F(font_fixture, glyph_index_matches_a_search_of_the_sorted_list) {
  build(font_test_codepoints());
  std::vector<u32> sorted = codepoints;
  ASSERT_TRUE(std::is_sorted(sorted.begin(), sorted.end()));
  font *f = &collection->fonts[0];
  u32 fallback = model_index(sorted, 0xFFFD, 0);
  EXPECT_EQ(f->fallback_glyph, fallback);
  // Every code point around the list's values, and random ones across the whole range.
  std::mt19937 rng(7);
  for (u32 c = 0; c < 0x600; ++c) ASSERT_EQ(font_glyph_index(f, c), model_index(sorted, c, fallback)) << c;
  for (u32 c = 0xFFF0; c <= 0x10010; ++c) ASSERT_EQ(font_glyph_index(f, c), model_index(sorted, c, fallback));
  for (int i = 0; i < 20000; ++i) {
    u32 c = rng() % 0x110000;
    ASSERT_EQ(font_glyph_index(f, c), model_index(sorted, c, fallback)) << c;
  }
}

TEST_F(font_fixture, every_glyph_lies_inside_the_atlas_and_all_ink_lies_inside_a_glyph_box) {
  build(font_test_codepoints());
  u32 w = collection->atlas_width, h = collection->atlas_height;
  ASSERT_EQ(collection->atlas_size, (u64)w * h);
  ASSERT_EQ(collection->atlas_size_again, collection->atlas_size);
  std::vector<u8> covered((u64)w * h, 0);
  std::set<u64> boxes;
  for (u32 i = 0; i < collection->font_count; ++i) {
    font *f = &collection->fonts[i];
    for (u32 j = 0; j < f->codepoint_count; ++j) {
      font_glyph *g = &f->glyphs[j];
      ASSERT_LE(g->x0, g->x1);
      ASSERT_LE(g->y0, g->y1);
      ASSERT_LE(g->x1, w);
      ASSERT_LE(g->y1, h);
      // The box in the atlas has the glyph's size (2x2 oversampling packs bigger bitmaps).
      EXPECT_NEAR((g->x1 - g->x0) / 2.0, g->right - g->left, 1.0);
      EXPECT_NEAR((g->y1 - g->y0) / 2.0, g->top - g->bottom, 1.0);
      // Code points the face lacks share the box of its one missing-glyph bitmap.
      u64 key = (u64)g->x0 << 48 | (u64)g->y0 << 32 | (u64)g->x1 << 16 | g->y1;
      bool shared = g->x1 > g->x0 && !boxes.insert(key).second;
      u64 ink = 0;
      for (u32 y = g->y0; y < g->y1; ++y)
        for (u32 x = g->x0; x < g->x1; ++x) {
          if (!shared) {
            ASSERT_EQ(covered[(u64)y * w + x], 0) << "glyph boxes overlap";
          }
          covered[(u64)y * w + x] = 1;
          ink += collection->atlas[(u64)y * w + x];
        }
      u32 c = f->codepoints[j];
      if (((c >= 'A' && c <= 'Z') || (c >= 0x410 && c <= 0x42F)) && !shared) {
        EXPECT_GT(ink, 0u) << c;
        // Rows are bottom-up: the baseline lies below the top of a capital's box.
        EXPECT_GT(g->top, 0.0f);
      }
    }
  }
  for (u64 k = 0; k < (u64)w * h; ++k)
    if (!covered[k]) {
      ASSERT_EQ(collection->atlas[k], 0) << "ink outside every glyph at " << k;
    }
}

TEST_F(font_fixture, rebuilds_of_a_shuffled_list_are_identical) {
  build(font_test_codepoints());
  std::vector<u8> atlas(collection->atlas, collection->atlas + collection->atlas_size);
  u32 count = collection->fonts[0].codepoint_count;
  std::vector<font_glyph> glyphs(collection->fonts[3].glyphs, collection->fonts[3].glyphs + count);
  u64 used = collection->arena.used;
  std::shuffle(codepoints.begin(), codepoints.end(), std::mt19937(3));
  for (int round = 0; round < 2; ++round) {
    u32 error = 0;
    font_build_collection(collection, &error);
    ASSERT_EQ(error, 0u);
    EXPECT_EQ(collection->arena.used, used);
    ASSERT_EQ(collection->atlas_size, atlas.size());
    EXPECT_EQ(memcmp(collection->atlas, atlas.data(), atlas.size()), 0);
    EXPECT_EQ(memcmp(collection->fonts[3].glyphs, glyphs.data(), glyphs.size() * sizeof(font_glyph)), 0);
  }
}

// More pairs than the cache holds, asked twice: the first round fills (and empties) the cache,
// the second reads what it kept; every answer is the face's own.
TEST_F(font_fixture, kerning_matches_the_face_for_every_pair) {
  build(font_test_codepoints());
  for (u32 i : {0u, 3u}) {
    font *f = &collection->fonts[i];
    u32 pairs = 0;
    for (int round = 0; round < 2; ++round) {
      for (u32 a = 0; a < f->codepoint_count; a += 3) {
        font_glyph *g = &f->glyphs[a];
        for (u32 b = 0; b < f->codepoint_count; ++b) {
          s32 expected = stbtt_GetCodepointKernAdvance(&f->info, (int)f->codepoints[a], (int)f->codepoints[b]);
          ASSERT_EQ(font_get_kerning(f, g, f->codepoints[b]), expected) << f->codepoints[a] << " " << f->codepoints[b];
          pairs += expected != 0;
        }
        // A code point outside the list is not kerned, though it draws the fallback glyph.
        EXPECT_EQ(font_get_kerning(f, g, 0x4E00), 0);
      }
    }
    if (i == 0) {
      EXPECT_GT(pairs, 0u);
    }
  }
  font *sans = &collection->fonts[0];
  EXPECT_LT(font_get_kerning(sans, font_get_glyph(sans, 'A'), 'V'), 0);
  // An unlisted first code point kerns as the fallback glyph it draws as.
  EXPECT_EQ(font_get_kerning(sans, font_get_glyph(sans, 0x4E00), 'V'),
            stbtt_GetCodepointKernAdvance(&sans->info, 0xFFFD, 'V'));
}

TEST_F(font_fixture, kerning_asks_the_face_once_per_pair_and_a_rebuild_forgets_it) {
  build(font_test_codepoints());
  font *f = &collection->fonts[0];
  ASSERT_NE(f->kerning, nullptr);
  for (int k = 0; k < 5; ++k) font_get_kerning(f, font_get_glyph(f, 'A'), 'V');
  font_get_kerning(f, font_get_glyph(f, 'V'), 'A');
  EXPECT_EQ(f->kerning->misses, 2u);
  u32 error = 0;
  font_build_collection(collection, &error);
  ASSERT_EQ(error, 0u);
  EXPECT_EQ(f->kerning->misses, 0u);
  EXPECT_EQ(f->kerning->used, 0u);
}

TEST_F(font_fixture, handles_metrics_and_bad_indices) {
  build(font_test_codepoints());
  font_handle h = font_get(collection, 1);
  font *f = &collection->fonts[1];
  EXPECT_EQ(h.f, f);
  EXPECT_EQ(h.index, 1u);
  EXPECT_FLOAT_EQ(h.line_height, 16.0f);  // the scale maps ascent - descent to the pixel size
  EXPECT_FLOAT_EQ(h.descent, -f->descent * f->scale);
  EXPECT_FLOAT_EQ(h.line_height_minus_descent, h.line_height - h.descent);
  EXPECT_GE(font_line_height(f, 1), font_line_height(f, 0));
  for (u32 bad : {4u, 5u, 0xFFFFFFFFu}) {
    font_handle z = font_get(collection, bad);
    EXPECT_EQ(z.f, nullptr);
    EXPECT_EQ(z.index, 0u);
    EXPECT_EQ(z.line_height, 0.0f);
    EXPECT_EQ(z.descent, 0.0f);
  }
}

TEST_F(font_fixture, atlas_grows_by_doubling_its_smaller_side_past_a_thousand_code_points) {
  // More code points than one pack range of the original design held, at a large size.
  std::vector<u32> list = font_test_codepoints();
  for (u32 c = 0x1E00; c <= 0x1EFF; ++c) list.push_back(c);
  for (u32 c = 0x2000; c <= 0x20CF; ++c)
    if (c != 0x20AC && c != 0x2026) list.push_back(c);
  ASSERT_GT(list.size(), 1023u);
  sans = font_test_read(DEJAVU_SANS);
  codepoints = list;
  u32 error = 0;
  collection = font_collection_create(MiB(64), &error);
  font_collection_add_font(collection, sans, 40, codepoints.data(), (u32)codepoints.size(), 0, &error);
  font_build_collection(collection, &error);
  ASSERT_EQ(error, 0u);
  u32 w = collection->atlas_width, hgt = collection->atlas_height;
  EXPECT_GT(w, 256u);
  EXPECT_TRUE(w == hgt || w == 2 * hgt) << w << "x" << hgt;
  font *f = &collection->fonts[0];
  for (u32 j = 0; j < f->codepoint_count; ++j) ASSERT_LE(f->glyphs[j].y1, hgt);
  EXPECT_EQ(font_glyph_index(f, 0x20AC), model_index(codepoints, 0x20AC, 0));
}

TEST_F(font_fixture, list_without_replacement_character_falls_back_to_the_first_glyph) {
  sans = font_test_read(DEJAVU_SANS);
  codepoints = {'b', 'a', 'c'};
  u32 error = 0;
  collection = font_collection_create(MiB(4), &error);
  font_collection_add_font(collection, sans, 14, codepoints.data(), 3, 0, &error);
  font_build_collection(collection, &error);
  ASSERT_EQ(error, 0u);
  font *f = &collection->fonts[0];
  EXPECT_EQ(font_glyph_index(f, 'z'), 0u);
  EXPECT_EQ(font_glyph_index(f, 'c'), 2u);
}

TEST_F(font_fixture, an_arena_too_small_reports_memory_and_keeps_no_glyphs) {
  sans = font_test_read(DEJAVU_SANS);
  codepoints = font_test_codepoints();
  buffer before = log_last_text();
  for (u64 bytes : {KiB(40), KiB(300), KiB(4)}) {
    u32 error = 0;
    font_collection *c = font_collection_create(bytes, &error);
    ASSERT_TRUE(c);
    font_collection_add_font(c, sans, 14, codepoints.data(), (u32)codepoints.size(), 0, &error);
    font_build_collection(c, &error);
    EXPECT_EQ(error, (u32)font_error_memory) << bytes;
    if (c->font_count) {
      EXPECT_EQ(font_get_glyph(&c->fonts[0], 'a'), nullptr);
    }
    font_collection_destroy(c);
  }
  // Logged, once in the run, with the arena's size.
  buffer after = log_last_text();
  std::string added((const char *)after.data + before.used, after.used - before.used);
  EXPECT_EQ(added, "Font collection: its arena of 40960 bytes cannot hold the glyphs of 643 code points; no text "
                   "is drawn (reported once).\n");
}

TEST(font_files, fontconfig_finds_faces_of_the_wanted_pitch) {
  u8 path_bytes[4096];
  for (u32 monospace : {0u, 1u}) {
    for (const char *family : {"Verdana", "Lucida Console", "Consolas", "NoSuchFamilyAnywhere"}) {
      buffer path = buffer_make(sizeof path_bytes, 0, path_bytes);
      u32 error = 0;
      buffer file = font_load_file(family, monospace, &path, &error);
      ASSERT_EQ(error, 0u) << family;
      ASSERT_TRUE(font_file_validate(file.data, file.used, nullptr));
      stbtt_fontinfo info;
      ASSERT_TRUE(font_file_init(&info, file.data, file.used, nullptr));
      int wide, narrow;
      stbtt_GetCodepointHMetrics(&info, 'W', &wide, nullptr);
      stbtt_GetCodepointHMetrics(&info, 'i', &narrow, nullptr);
      EXPECT_EQ(wide == narrow, monospace == 1) << family << " " << (const char *)path.data;
      file_content_free(&file);
    }
  }
  font_system_shutdown();
}

TEST(font_files, default_collection_holds_a_monospace_and_a_proportional_face) {
  u32 error = 0;
  font_collection *c = font_collection_create_default(0, nullptr, 0, &error);
  ASSERT_TRUE(c);
  ASSERT_EQ(error, 0u);
  ASSERT_EQ(c->font_count, 2u);
  EXPECT_EQ(c->fonts[0].monospace, 1u);
  EXPECT_EQ(c->fonts[1].monospace, 0u);
  EXPECT_EQ(c->fonts[0].pixel_size, 14.0f);
  EXPECT_EQ(c->fonts[1].codepoint_count, FONT_BASE_CODEPOINT_COUNT);
  EXPECT_EQ(c->fonts[1].fallback_glyph, 192u);
  font_collection_destroy_default(c);
  font_system_shutdown();
}

TEST(font_files, error_names) {
  EXPECT_STREQ(font_error_name(font_error_invalid), "font_error_invalid");
  EXPECT_STREQ(font_error_name(font_error_atlas), "font_error_atlas");
  EXPECT_STREQ(font_error_name(99), "font_error_unknown");
}

// Every cut of a real file is refused or, when what is left still holds whole tables, builds.
TEST(font_files, truncated_files_are_refused_without_reading_past_them) {
  buffer whole = font_test_read(DEJAVU_MONO);
  ASSERT_TRUE(font_file_validate(whole.data, whole.used, nullptr));
  std::vector<u64> cuts;
  for (u64 n = 0; n < 4096; ++n) cuts.push_back(n);
  for (u64 n = 4096; n < whole.used; n += 997) cuts.push_back(n);
  for (u64 n : cuts) {
    // An exact-size copy so any read past the cut is an error the sanitizer sees.
    std::vector<u8> part(whole.data, whole.data + n);
    const char *reason = nullptr;
    bool ok = font_file_validate(part.empty() ? nullptr : part.data(), n, &reason);
    ASSERT_FALSE(ok) << n;
    ASSERT_NE(reason, nullptr);
  }
  file_content_free(&whole);
}

// Random damage to a real file: whatever passes the checks must build without faults.
TEST(font_files, damaged_files_are_refused_or_build_safely) {
  buffer whole = font_test_read(DEJAVU_SANS);
  std::mt19937 rng(11);
  std::vector<u32> list = {'A', 'V', 'a', 'g', 0xE9, 0x416, 0xFFFD};
  u32 built = 0, refused = 0;
  for (int round = 0; round < 120; ++round) {
    std::vector<u8> bytes(whole.data, whole.data + whole.used);
    int hits = 1 + (int)(rng() % 8);
    for (int k = 0; k < hits; ++k) {
      // Damage the table directory and the small tables most of the time, anywhere otherwise.
      u64 at = (rng() % 4) ? rng() % 2048 : rng() % bytes.size();
      bytes[at] = (u8)rng();
    }
    u32 error = 0;
    font_collection *c = font_collection_create(MiB(16), &error);
    buffer file = buffer_make(bytes.size(), bytes.size(), bytes.data());
    font *f = font_collection_add_font(c, file, 14, list.data(), (u32)list.size(), 0, &error);
    if (!f) {
      EXPECT_EQ(error, (u32)font_error_invalid);
      ++refused;
    } else {
      font_build_collection(c, &error);
      EXPECT_TRUE(error == 0 || error == font_error_atlas);
      // Kerning is read from the damaged tables only when text asks for it.
      for (u32 a : list)
        for (u32 b : list) font_get_kerning(f, font_get_glyph(f, a), b);
      ++built;
    }
    font_collection_destroy(c);
  }
  EXPECT_GT(built, 0u);
  EXPECT_GT(refused, 0u);
  file_content_free(&whole);
}

TEST(font_files, forged_directories_and_tables_are_refused) {
  buffer whole = font_test_read(DEJAVU_MONO);
  auto put16 = [](std::vector<u8> &b, u64 at, u32 v) {
    b[at] = (u8)(v >> 8);
    b[at + 1] = (u8)v;
  };
  auto put32 = [](std::vector<u8> &b, u64 at, u32 v) {
    for (int i = 0; i < 4; ++i) b[at + i] = (u8)(v >> (24 - 8 * i));
  };
  auto table = [](const std::vector<u8> &b, const char *tag) -> u64 {
    u32 n = (u32)(b[4] << 8 | b[5]);
    for (u32 i = 0; i < n; ++i)
      if (!memcmp(&b[12 + 16 * i], tag, 4)) return 12 + 16 * i;
    return 0;
  };
  std::vector<u8> base(whole.data, whole.data + whole.used);
  struct forge {
    const char *what;
    void (*apply)(std::vector<u8> &);
  };
  std::vector<std::vector<u8>> forged;
  {  // a directory promising more tables than the file holds
    auto b = base;
    put16(b, 4, 0xFFFF);
    forged.push_back(b);
  }
  {  // a table reaching past the end
    auto b = base;
    put32(b, table(b, "glyf") + 12, 0x7FFFFFF0);
    forged.push_back(b);
  }
  {  // an offset beyond the file
    auto b = base;
    put32(b, table(b, "cmap") + 8, 0xFFFFFFF0);
    forged.push_back(b);
  }
  {  // no glyph outlines (a CFF font by its tag)
    auto b = base;
    memcpy(&b[0], "OTTO", 4);
    forged.push_back(b);
  }
  {  // a font collection
    auto b = base;
    memcpy(&b[0], "ttcf", 4);
    forged.push_back(b);
  }
  {  // more glyphs than the locations and metrics describe
    auto b = base;
    u64 maxp = b[table(b, "maxp") + 8] << 24 | b[table(b, "maxp") + 9] << 16 | b[table(b, "maxp") + 10] << 8 |
               b[table(b, "maxp") + 11];
    put16(b, maxp + 4, 0xFFFF);
    forged.push_back(b);
  }
  {  // no horizontal metrics: stb would read before the table
    auto b = base;
    u64 hhea = b[table(b, "hhea") + 8] << 24 | b[table(b, "hhea") + 9] << 16 | b[table(b, "hhea") + 10] << 8 |
               b[table(b, "hhea") + 11];
    put16(b, hhea + 34, 0);
    forged.push_back(b);
  }
  for (size_t i = 0; i < forged.size(); ++i) {
    const char *reason = nullptr;
    EXPECT_FALSE(font_file_validate(forged[i].data(), forged[i].size(), &reason)) << i;
    EXPECT_NE(reason, nullptr) << i;
  }
  file_content_free(&whole);
}

// Found by fuzzing: a glyph whose outline box is inverted (maximum below minimum) gave the atlas
// packer a negative size, and the packer walked off the end of its list.
TEST(font_files, glyphs_with_inverted_boxes_build_as_empty_glyphs) {
  buffer whole = font_test_read(DEJAVU_SANS);
  std::vector<u8> b(whole.data, whole.data + whole.used);
  auto get16 = [&](u64 at) { return (u32)(b[at] << 8 | b[at + 1]); };
  auto get32 = [&](u64 at) { return get16(at) << 16 | get16(at + 2); };
  auto table = [&](const char *tag) -> u64 {
    for (u32 i = 0, n = get16(4); i < n; ++i)
      if (!memcmp(&b[12 + 16 * i], tag, 4)) return get32(12 + 16 * i + 8);
    return 0;
  };
  u64 glyf = table("glyf"), loca = table("loca");
  bool long_offsets = get16(table("head") + 50) != 0;
  u32 glyphs = get16(table("maxp") + 4);
  auto offset = [&](u32 g) { return long_offsets ? get32(loca + 4 * g) : 2 * get16(loca + 2 * g); };
  // Swap every outline's xMin and xMax (bytes 2-3 and 6-7 of its header).
  for (u32 g = 0; g < glyphs; ++g) {
    u64 at = glyf + offset(g);
    if (offset(g + 1) <= offset(g) || get16(at + 2) == get16(at + 6)) continue;
    std::swap(b[at + 2], b[at + 6]);
    std::swap(b[at + 3], b[at + 7]);
  }
  const char *reason = nullptr;
  ASSERT_TRUE(font_file_validate(b.data(), b.size(), &reason)) << reason;
  std::vector<u32> list = {'A', 'V', 'a', 'g', ' ', 0xE9, 0x416, 0xFFFD};
  u32 error = 0;
  font_collection *c = font_collection_create(MiB(16), &error);
  font *f = font_collection_add_font(c, buffer_make(b.size(), b.size(), b.data()), 14, list.data(),
                                     (u32)list.size(), 0, &error);
  ASSERT_NE(f, nullptr);
  font_build_collection(c, &error);
  EXPECT_EQ(error, 0u);
  // Drawn as nothing, yet still advancing the pen.
  font_glyph *a = font_get_glyph(f, 'A');
  EXPECT_EQ(a->x1 - a->x0, 0);
  EXPECT_GT(a->advance, 0.0f);
  font_collection_destroy(c);
  file_content_free(&whole);
}
