// Image resize against an exact area model, blits clipped at every edge, the icon atlas, and
// decoding from memory.
#include "gfx/gfx.h"
#include "tests/support/image_files.h"

#include <gtest/gtest.h>

#include <math.h>
#include <numeric>
#include <random>
#include <string.h>
#include <sys/resource.h>
#include <string>
#include <vector>

namespace {

// Area averaging done exactly: on a grid of lcm(source, target) cells per axis every cell lies
// in one source pixel and one target pixel, so a target pixel is the plain mean of its cells.
std::vector<u8> resize_model(const std::vector<u8> &src, u32 sw, u32 sh, u32 tw, u32 th, u32 ch) {
  u32 gw = std::lcm(sw, tw), gh = std::lcm(sh, th);
  std::vector<u8> out((size_t)tw * th * ch);
  for (u32 ty = 0; ty < th; ty++) {
    for (u32 tx = 0; tx < tw; tx++) {
      for (u32 c = 0; c < ch; c++) {
        double sum = 0;
        u32 cells = 0;
        for (u32 gy = ty * (gh / th); gy < (ty + 1) * (gh / th); gy++) {
          for (u32 gx = tx * (gw / tw); gx < (tx + 1) * (gw / tw); gx++) {
            u32 sx = gx / (gw / sw), sy = gy / (gh / sh);
            sum += src[((size_t)sy * sw + sx) * ch + c];
            cells++;
          }
        }
        out[((size_t)ty * tw + tx) * ch + c] = (u8)floor(sum / cells + 0.5);
      }
    }
  }
  return out;
}

TEST(image_resize, matches_the_exact_area_model_on_random_images) {
  std::mt19937 rng(3);
  for (u32 round = 0; round < 300; round++) {
    u32 sw = 1 + rng() % 12, sh = 1 + rng() % 12, tw = 1 + rng() % 12, th = 1 + rng() % 12;
    u32 ch = 1 + rng() % 4;
    std::vector<u8> src((size_t)sw * sh * ch);
    for (u8 &b : src) b = (u8)rng();
    std::vector<u8> out((size_t)tw * th * ch, 0xEE);
    u32 w = tw, h = th, error = 0;
    image_resize(src.data(), sw, sh, out.data(), &w, &h, ch, 0, 1.0f, &error);
    ASSERT_EQ(error, 0u);
    std::vector<u8> model = resize_model(src, sw, sh, tw, th, ch);
    for (size_t i = 0; i < out.size(); i++) {
      // 32-bit sums may land on the other side of a .5 than the exact value.
      ASSERT_LE(abs((int)out[i] - (int)model[i]), 1)
          << sw << "x" << sh << " to " << tw << "x" << th << " ch " << ch << " at " << i;
    }
  }
}

TEST(image_resize, sizes_errors_rounding_swap_and_gamma) {
  u32 w = 40, h = 0, error = 0;
  image_resize(nullptr, 100, 50, nullptr, &w, &h, 4, 0, 1, &error);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(h, 20u);
  w = 0, h = 7;
  image_resize(nullptr, 100, 50, nullptr, &w, &h, 4, 0, 1, &error);
  EXPECT_EQ(w, 14u);

  w = h = 0;
  image_resize(nullptr, 100, 50, nullptr, &w, &h, 4, 0, 1, &error);
  EXPECT_EQ(error, (u32)image_resize_error_no_target_size);
  // Sticky: nothing more happens.
  w = 10;
  image_resize(nullptr, 100, 50, nullptr, &w, &h, 4, 0, 1, &error);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(error, (u32)image_resize_error_no_target_size);

  u8 src[4] = {0, 255, 255, 0}, dst[4] = {};
  error = 0, w = 1, h = 0;
  image_resize(src, 2, 2, dst, &w, &h, 5, 0, 1, &error);
  EXPECT_EQ(error, (u32)image_resize_error_channels);
  // The derived size divides by the source size: an empty source is refused.
  error = 0, w = 10, h = 0;
  image_resize(src, 0, 2, dst, &w, &h, 1, 0, 1, &error);
  EXPECT_EQ(error, (u32)image_resize_error_size);
  error = 0, w = 0, h = 60000;
  image_resize(nullptr, 60000, 1, nullptr, &w, &h, 1, 0, 1, &error);
  EXPECT_EQ(error, (u32)image_resize_error_size);

  error = 0, w = 1, h = 0;
  image_resize(src, 2, 2, dst, &w, &h, 1, 0, 1, &error);
  EXPECT_EQ(h, 1u);
  EXPECT_EQ(dst[0], 128);  // 127.5 rounded

  u8 rgb[3] = {10, 20, 30}, out[3];
  error = 0, w = 1, h = 1;
  image_resize(rgb, 1, 1, out, &w, &h, 3, 1, 1, &error);
  EXPECT_EQ(out[0], 30);
  EXPECT_EQ(out[1], 20);
  EXPECT_EQ(out[2], 10);

  u8 grey[1] = {64}, g[1];
  error = 0, w = 1, h = 1;
  image_resize(grey, 1, 1, g, &w, &h, 1, 0, 2.0f, &error);
  EXPECT_EQ(g[0], (u8)floor(255.0 * pow(64.0 / 255.0, 2.0) + 0.5));
}

TEST(image_blit, copies_between_row_lengths_and_clips_at_every_edge) {
  const u32 tw = 7, th = 5, ch = 2;
  const u32 sw = 3, sh = 4;
  std::vector<u8> src(sw * sh * ch);
  for (size_t i = 0; i < src.size(); i++) src[i] = (u8)(i + 1);
  for (s64 y = -(s64)sh - 1; y <= (s64)th + 1; y++) {
    for (s64 x = -(s64)sw - 1; x <= (s64)tw + 1; x++) {
      std::vector<u8> target(tw * th * ch + 16, 0);
      u64 copied = image_blit_clipped(src.data(), sw, sh, target.data(), tw, th, x, y, ch);
      u64 expected = 0;
      for (u32 ty = 0; ty < th; ty++) {
        for (u32 tx = 0; tx < tw; tx++) {
          s64 sx = (s64)tx - x, sy = (s64)ty - y;
          bool inside = sx >= 0 && sy >= 0 && sx < sw && sy < sh;
          expected += inside;
          for (u32 c = 0; c < ch; c++) {
            u8 want = inside ? src[((u64)sy * sw + (u64)sx) * ch + c] : 0;
            ASSERT_EQ(target[(ty * tw + tx) * ch + c], want) << x << "," << y;
          }
        }
      }
      ASSERT_EQ(copied, expected);
      for (u32 i = tw * th * ch; i < target.size(); i++) ASSERT_EQ(target[i], 0);
    }
  }
}

struct atlas_fixture : ::testing::Test {
  std::vector<u8> square, bar;
  image_atlas atlas = {};
  void SetUp() override {
    square.assign(16 * 16, 200);
    bar.resize(8 * 2);
    for (u32 i = 0; i < bar.size(); i++) bar[i] = (u8)(i * 10);
    image_atlas_source sources[3] = {
        {1, 0, 0, square.data(), 16, 16},
        {2, 0, 1, bar.data(), 8, 2},
        {3, 1, 0, bar.data(), 8, 2},
    };
    atlas = image_atlas_make(sources, 3, 32, 32, 1, 8);
  }
  void TearDown() override { image_atlas_release(&atlas); }
  // The atlas pixels under an entry's uv rectangle, in source orientation.
  u8 pixel_at(image_uv uv, u32 x, u32 y) {
    f32 s = uv.s0 < uv.s1 ? uv.s0 : uv.s1, t = uv.t0 < uv.t1 ? uv.t0 : uv.t1;
    u32 ax = (u32)(s * atlas.width + 0.5f) + x, ay = (u32)(t * atlas.height + 0.5f) + y;
    return atlas.pixels[ay * atlas.width + ax];
  }
};

TEST_F(atlas_fixture, places_each_key_and_size_once_with_flips) {
  image_uv a = image_atlas_get(&atlas, 1, 8, 8);
  EXPECT_EQ(atlas.entry_count, 1u);
  EXPECT_FLOAT_EQ(a.s0, 0);
  EXPECT_FLOAT_EQ(a.s1, 8.0f / 32);
  EXPECT_FLOAT_EQ(a.t1, 8.0f / 32);
  image_uv again = image_atlas_get(&atlas, 1, 8, 8);
  EXPECT_EQ(memcmp(&a, &again, sizeof(a)), 0);
  EXPECT_EQ(atlas.entry_count, 1u);
  image_uv other = image_atlas_get(&atlas, 1, 4, 4);
  EXPECT_EQ(atlas.entry_count, 2u);
  EXPECT_FLOAT_EQ(other.s0, 8.0f / 32);
  EXPECT_EQ(pixel_at(other, 3, 3), 200);

  image_uv flipped_y = image_atlas_get(&atlas, 2, 8, 2);
  EXPECT_GT(flipped_y.t0, flipped_y.t1);
  EXPECT_LT(flipped_y.s0, flipped_y.s1);
  image_uv flipped_x = image_atlas_get(&atlas, 3, 8, 2);
  EXPECT_GT(flipped_x.s0, flipped_x.s1);
  // Same pixels at the same size: the resize of a same-size image is a copy.
  for (u32 i = 0; i < 8; i++) EXPECT_EQ(pixel_at(flipped_x, i, 1), bar[8 + i]);

  // No source, no size: nothing placed.
  image_uv none = image_atlas_get(&atlas, 9, 4, 4);
  EXPECT_EQ(none.s0 + none.s1 + none.t0 + none.t1, 0.0f);
  none = image_atlas_get(&atlas, 1, 0, 4);
  EXPECT_EQ(none.s1, 0.0f);
  EXPECT_EQ(atlas.entry_count, 4u);
}

TEST_F(atlas_fixture, grows_by_doubling_and_keeps_every_image_and_uv) {
  // Shelves of 16 by 16 in a 32 by 32 atlas: four fit, the fifth doubles the width.
  std::vector<image_uv> uvs;
  for (u32 size = 16; size >= 13; size--) uvs.push_back(image_atlas_get(&atlas, 1, size, size));
  EXPECT_EQ(atlas.width, 32u);
  uvs.push_back(image_atlas_get(&atlas, 1, 12, 12));
  EXPECT_EQ(atlas.width, 64u);
  EXPECT_EQ(atlas.height, 32u);
  EXPECT_EQ(atlas.entry_count, 5u);
  for (u32 i = 0; i < 5; i++) {
    image_atlas_entry &e = atlas.entries[i];
    image_uv now = image_atlas_get(&atlas, 1, e.width, e.height);
    // Coordinates follow the new size, and the pixels moved with the entries.
    EXPECT_FLOAT_EQ(now.s0, (f32)e.x / 64);
    EXPECT_FLOAT_EQ(now.t1, (f32)(e.y + e.height) / 32);
    EXPECT_EQ(pixel_at(now, 0, 0), 200);
    EXPECT_EQ(pixel_at(now, e.width - 1, e.height - 1), 200);
  }
  // An image larger than half the atlas cannot make it grow.
  image_uv too_big = image_atlas_get(&atlas, 1, 40, 40);
  EXPECT_EQ(too_big.s1, 0.0f);
  // Capacity 8: three more, then zeros.
  for (u32 i = 0; i < 3; i++) EXPECT_NE(image_atlas_get(&atlas, 1, 2 + i, 2).s1, 0.0f);
  EXPECT_EQ(image_atlas_get(&atlas, 1, 9, 9).s1, 0.0f);
  EXPECT_EQ(atlas.entry_count, 8u);
}

TEST(image_decode, decodes_a_file_from_memory_with_row_zero_at_the_bottom) {
  // A BMP stores its bottom row first; decoded with the flip, rows come back in file order.
  const u32 w = 3, h = 2;
  u8 rgb[w * h * 3];
  for (u32 i = 0; i < sizeof(rgb); i++) rgb[i] = (u8)(i * 13);
  std::vector<u8> file = bmp_file(w, h, rgb);
  s32 dw, dh, dc;
  u8 *pixels = image_decode(file.data(), file.size(), &dw, &dh, &dc);
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(dw, 3);
  EXPECT_EQ(dh, 2);
  EXPECT_EQ(dc, 3);
  EXPECT_EQ(memcmp(pixels, rgb, sizeof(rgb)), 0);
  image_decoded_free(pixels);
  // Not an image, and an image claiming more pixels than allowed.
  EXPECT_EQ(image_decode((const u8 *)"not an image at all", 19, &dw, &dh, &dc), nullptr);
  file[18] = file[19] = file[22] = file[23] = 0xFF;
  file[20] = file[24] = 0x7F;
  EXPECT_EQ(image_decode(file.data(), file.size(), &dw, &dh, &dc), nullptr);
  EXPECT_EQ(dw, 0);
}

// A PNG of 16 x 16 pixels whose compressed data inflates to about `inflated` bytes: one fixed
// Huffman block of a zero byte and then copies of 258 bytes at distance 1, 13 bits each.
static std::vector<u8> png_bomb(u64 inflated) {
  std::vector<u8> z = {0x78, 0x01};
  u64 bits = 0;
  u32 count = 0;
  auto put = [&](u32 value, u32 n, bool code) {  // Huffman codes go most significant bit first
    for (u32 i = 0; i < n; i++) {
      u32 bit = code ? (value >> (n - 1 - i)) & 1 : (value >> i) & 1;
      bits |= (u64)bit << count;
      if (++count == 8) z.push_back((u8)bits), bits = 0, count = 0;
    }
  };
  put(1, 1, false);  // the last block
  put(1, 2, false);  // fixed codes
  put(0x30, 8, true);  // the literal 0
  for (u64 made = 1; made < inflated; made += 258) {
    put(0xC5, 8, true);  // length 258
    put(0, 5, true);     // distance 1
  }
  put(0, 7, true);  // end of block
  if (count) z.push_back((u8)bits);
  std::vector<u8> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  auto chunk = [&](const char *type, const std::vector<u8> &data) {
    u32 n = (u32)data.size();
    for (int s = 24; s >= 0; s -= 8) png.push_back((u8)(n >> s));
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    for (int i = 0; i < 4; i++) png.push_back(0);  // the decoder does not check the CRC
  };
  chunk("IHDR", {0, 0, 0, 16, 0, 0, 0, 16, 8, 6, 0, 0, 0});
  chunk("IDAT", z);
  chunk("IEND", {});
  return png;
}

static u64 peak_resident_bytes() {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return (u64)u.ru_maxrss * 1024;
}

TEST(image_decode, a_small_file_cannot_make_the_decoder_take_much_memory) {
  u64 before = peak_resident_bytes();
  // 1.3 MB of file that would inflate to 400 MiB.
  std::vector<u8> bomb = png_bomb(MiB(400));
  s32 dw, dh, dc;
  EXPECT_EQ(image_decode(bomb.data(), bomb.size(), &dw, &dh, &dc), nullptr);
  EXPECT_LT(peak_resident_bytes() - before, MiB(64));
  // A chunk that declares 1.6 GB more than the file holds (found by the fuzzer).
  const u8 cut[] = {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52,
                    0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0x08, 0x00, 0x00, 0x00, 0x00, 0xb5, 0x01, 0x49,
                    0x81, 0x00, 0x00, 0x00, 0x14, 0x49, 0x44, 0x41, 0x54, 0x78, 0x5b, 0x63, 0x60, 0x30, 0x4a, 0xe6,
                    0x11, 0x00, 0x00, 0x2e, 0x14, 0x49, 0x44, 0x41, 0x54, 0x78, 0x63, 0x99, 0x82, 0x9c, 0x4a, 0x76,
                    0x30, 0x60, 0x41, 0x2e, 0xa0, 0x49, 0x44, 0x41, 0x54, 0x78, 0x42, 0x60, 0x82};
  EXPECT_EQ(image_decode(cut, sizeof cut, &dw, &dh, &dc), nullptr);
  // A sound PNG of the same size still decodes: the bound leaves room for what it needs.
  std::vector<u8> sound = png_bomb(16 * (1 + 16 * 4));
  u8 *pixels = image_decode(sound.data(), sound.size(), &dw, &dh, &dc);
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(dw, 16);
  EXPECT_EQ(dc, 4);
  image_decoded_free(pixels);
}

TEST(image_decode, only_the_formats_feeds_carry_are_decoded) {
  // A TGA is sound but no format an entry's image comes in: the decoder for it is not reachable.
  std::vector<u8> file(tga_file_size(2, 2, 3));
  ASSERT_TRUE(tga_file_init(file.data(), file.size(), 2, 2, 3, tga_type_true_colour));
  s32 dw, dh, dc;
  EXPECT_EQ(image_decode(file.data(), file.size(), &dw, &dh, &dc), nullptr);
  const std::string others[] = {"P6\n2 2\n255\n............",
                                std::string("8BPS\0\1\0\0\0\0\0\0\0\3\0\0\0\2\0\0\0\2\0\x08\0\3", 26),
                                "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 2\n"};
  for (const std::string &o : others) {
    EXPECT_EQ(image_decode((const u8 *)o.data(), o.size(), &dw, &dh, &dc), nullptr) << o;
  }
}

}  // namespace
