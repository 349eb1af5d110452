// TGA files: header and footer fields, run-length coding against a model, the writer and reader
// in a round trip, every truncation and forged headers, and the packet dump.
#include "gfx/gfx.h"
#include "platform/files.h"

#include <gtest/gtest.h>

#include <random>
#include <string.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct arena_block {
  buffer block = memory_alloc(MiB(8), nullptr);
  ~arena_block() { memory_free(&block); }
};

std::string temp_dir() {
  char folder[] = "/tmp/qm_tga_XXXXXX";
  return mkdtemp(folder) ? std::string(folder) : std::string();
}

TEST(tga_fields, header_and_footer_accessors_round_trip) {
  tga_header h = {};
  tga_header_set_id_length(&h, 255);
  tga_header_set_colour_map_type(&h, 1);
  tga_header_set_image_type(&h, 10);
  tga_header_set_colour_map_first(&h, 0x1234);
  tga_header_set_colour_map_length(&h, 0xFFFF);
  tga_header_set_colour_map_entry_size(&h, 24);
  tga_header_set_x_origin(&h, 7);
  tga_header_set_y_origin(&h, 0xABCD);
  tga_header_set_width(&h, 640);
  tga_header_set_height(&h, 480);
  tga_header_set_pixel_depth(&h, 32);
  tga_header_set_descriptor(&h, 0xC0);
  tga_header_set_alpha_bits(&h, 8);
  tga_header_set_origin(&h, 2);
  EXPECT_EQ(tga_header_get_id_length(&h), 255u);
  EXPECT_EQ(tga_header_get_colour_map_type(&h), 1u);
  EXPECT_EQ(tga_header_get_colour_map_first(&h), 0x1234u);
  EXPECT_EQ(tga_header_get_colour_map_length(&h), 0xFFFFu);
  EXPECT_EQ(tga_header_get_colour_map_entry_size(&h), 24u);
  EXPECT_EQ(tga_header_get_x_origin(&h), 7u);
  EXPECT_EQ(tga_header_get_y_origin(&h), 0xABCDu);
  EXPECT_EQ(tga_header_get_width(&h), 640u);
  EXPECT_EQ(tga_header_get_height(&h), 480u);
  EXPECT_EQ(tga_header_bytes_per_pixel(&h), 4u);
  EXPECT_EQ(tga_header_get_descriptor(&h), 0xC0u | 0x20 | 8);
  EXPECT_TRUE(tga_header_is_true_colour(&h));
  EXPECT_TRUE(tga_header_is_rle(&h));
  EXPECT_FALSE(tga_header_is_grey(&h));
  EXPECT_EQ(h.bytes[12], 0x80);  // little-endian 640
  EXPECT_EQ(h.bytes[13], 0x02);
  EXPECT_EQ(tga_pixel_data_offset(&h), 18u + 255 + 3u * 0xFFFF);
  tga_header_set_colour_map_entry_size(&h, 15);
  EXPECT_EQ(tga_pixel_data_offset(&h), 0u);

  tga_header_init(&h, 2, 2, 4, tga_type_true_colour);
  EXPECT_EQ(tga_header_get_descriptor(&h), 8u);
  EXPECT_EQ(tga_file_size(2, 2, 4), 60u);
  EXPECT_EQ(tga_file_size_from_header(&h), 60u);

  tga_footer f;
  tga_footer_init(&f);
  EXPECT_TRUE(tga_footer_is_valid(&f));
  EXPECT_EQ(memcmp(f.bytes + 8, "TRUEVISION-XFILE.\0", 18), 0);
  tga_footer_set_extension_offset(&f, 0xDEADBEEF);
  tga_footer_set_developer_offset(&f, 5);
  EXPECT_EQ(tga_footer_get_extension_offset(&f), 0xDEADBEEFu);
  EXPECT_EQ(tga_footer_get_developer_offset(&f), 5u);
  f.bytes[24] = '!';
  EXPECT_FALSE(tga_footer_is_valid(&f));
  EXPECT_EQ(tga_footer_offset(100), 74u);
  EXPECT_EQ(tga_footer_offset(10), 0u);
}

TEST(tga_rle, packets_of_the_documented_cases) {
  std::vector<u8> row(130 * 4, 0x11);
  EXPECT_EQ(tga_rle_encode(row.data(), nullptr, 130, 1, 4), 10u);
  std::vector<u8> out(10);
  tga_rle_encode(row.data(), out.data(), 130, 1, 4);
  EXPECT_EQ(out[0], 0xFF);  // run of 128
  EXPECT_EQ(out[5], 0x81);  // run of 2

  const u8 mixed[5] = {1, 2, 3, 9, 9};
  u8 packets[16];
  ASSERT_EQ(tga_rle_encode(mixed, packets, 5, 1, 1), 6u);
  const u8 expected[6] = {0x02, 1, 2, 3, 0x81, 9};
  EXPECT_EQ(memcmp(packets, expected, 6), 0);
}

// Rows of runs and noise encode and decode back, never across a row end, and the measured size
// is the written size.
TEST(tga_rle, random_images_round_trip) {
  std::mt19937 rng(11);
  for (u32 round = 0; round < 300; round++) {
    u32 w = 1 + rng() % 300, h = 1 + rng() % 4, bpp = 1 + rng() % 4;
    std::vector<u8> pixels((size_t)w * h * bpp);
    for (size_t p = 0; p < (size_t)w * h; p++) {
      bool repeat = p > 0 && rng() % 3 != 0;
      for (u32 c = 0; c < bpp; c++) pixels[p * bpp + c] = repeat ? pixels[(p - 1) * bpp + c] : (u8)(rng() % 3);
    }
    u64 size = tga_rle_encode(pixels.data(), nullptr, w, h, bpp);
    std::vector<u8> packets(size + 1, 0xCC);
    ASSERT_EQ(tga_rle_encode(pixels.data(), packets.data(), w, h, bpp), size);
    ASSERT_EQ(packets[size], 0xCC);
    // Walk the packets: none crosses a row end.
    u64 at = 0, x = 0;
    while (at < size) {
      u32 count = (packets[at] & 0x7F) + 1;
      ASSERT_LE(x + count, w);
      at += 1 + ((packets[at] & 0x80) ? bpp : count * bpp);
      x = (x + count) % w;
    }
    std::vector<u8> decoded(pixels.size());
    u64 consumed = 0;
    ASSERT_EQ(tga_rle_decode(packets.data(), size, decoded.data(), w, h, bpp, 0, &consumed), 0u);
    EXPECT_EQ(consumed, size);
    ASSERT_EQ(decoded, pixels);
    if (bpp == 3) {
      std::vector<u8> wide((size_t)w * h * 4);
      ASSERT_EQ(tga_rle_decode(packets.data(), size, wide.data(), w, h, 3, 1, nullptr), 0u);
      for (size_t p = 0; p < (size_t)w * h; p++) {
        ASSERT_EQ(memcmp(&wide[p * 4], &pixels[p * 3], 3), 0);
        ASSERT_EQ(wide[p * 4 + 3], 255);
      }
    }
  }
}

TEST(tga_rle, decoding_refuses_overruns_and_short_packets) {
  u8 out[4] = {};
  const u8 run_of_5[2] = {0x84, 7};
  EXPECT_EQ(tga_rle_decode(run_of_5, 2, out, 2, 2, 1, 0, nullptr), (u32)tga_error_rle_overrun);
  const u8 raw_short[3] = {0x03, 1, 2};
  EXPECT_EQ(tga_rle_decode(raw_short, 3, out, 2, 2, 1, 0, nullptr), (u32)tga_error_truncated_data);
  const u8 two_runs[4] = {0x81, 1, 0x81, 2};
  EXPECT_EQ(tga_rle_decode(two_runs, 3, out, 2, 2, 1, 0, nullptr), (u32)tga_error_truncated_data);
  EXPECT_EQ(tga_rle_decode(two_runs, 4, out, 2, 2, 1, 0, nullptr), 0u);
  const u8 expected[4] = {1, 1, 2, 2};
  EXPECT_EQ(memcmp(out, expected, 4), 0);
}

std::vector<u8> read_file(const std::string &path) {
  u32 error = 0;
  buffer b = file_read_all(string_from_bytes(path.data(), path.size()), 0, &error);
  std::vector<u8> bytes(b.data, b.data + b.used);
  file_content_free(&b);
  return bytes;
}

TEST(tga_file, write_then_read_round_trips_every_depth) {
  std::string dir = temp_dir();
  ASSERT_FALSE(dir.empty());
  arena_block memory;
  std::mt19937 rng(5);
  for (u32 bpp = 1; bpp <= 4; bpp++) {
    const u32 w = 5, h = 3;
    std::vector<u8> rgb(w * h * bpp);
    for (u8 &b : rgb) b = (u8)rng();
    std::vector<u8> copy = rgb;
    std::string path = dir + "/image" + std::to_string(bpp) + ".tga";
    ASSERT_EQ(tga_write(string_from_bytes(path.data(), path.size()), rgb.data(), w, h, bpp, 1), 1u);
    EXPECT_EQ(rgb, copy);  // swapped back after the write
    std::vector<u8> file = read_file(path);
    ASSERT_EQ(file.size(), tga_file_size(w, h, bpp));
    tga_footer f;
    memcpy(f.bytes, file.data() + tga_footer_offset(file.size()), 26);
    EXPECT_TRUE(tga_footer_is_valid(&f));
    tga_image image;
    u32 error = 0;
    memory.block.used = 0;
    tga_read(file.data(), file.size(), &memory.block, 0, &image, &error);
    ASSERT_EQ(error, 0u) << tga_error_name(error);
    EXPECT_EQ(tga_header_get_image_type(&image.header), bpp == 1 ? 3u : 2u);
    std::vector<u8> back(image.pixels, image.pixels + w * h * bpp);
    image_swap_red_blue(back.data(), w, h, bpp);
    EXPECT_EQ(back, rgb);
    unlink(path.c_str());
  }
  rmdir(dir.c_str());
}

// A valid raw file and a valid run-length file, cut at every length: every cut is refused with an
// error and leaves the arena as it was.
TEST(tga_file, every_truncation_is_an_error) {
  const u32 w = 9, h = 4, bpp = 3;
  std::vector<u8> pixels(w * h * bpp);
  for (size_t i = 0; i < pixels.size(); i++) pixels[i] = (u8)((i / 7) % 3);
  std::vector<u8> raw(tga_file_size(w, h, bpp));
  tga_file_init(raw.data(), raw.size(), w, h, bpp, tga_type_true_colour);
  memcpy(raw.data() + 18, pixels.data(), pixels.size());

  u64 packet_bytes = tga_rle_encode(pixels.data(), nullptr, w, h, bpp);
  std::vector<u8> rle(18 + packet_bytes);
  tga_header hdr;
  tga_header_init(&hdr, w, h, bpp, tga_type_true_colour | tga_type_rle);
  memcpy(rle.data(), hdr.bytes, 18);
  tga_rle_encode(pixels.data(), rle.data() + 18, w, h, bpp);

  arena_block memory;
  for (const std::vector<u8> *file : {&raw, &rle}) {
    u64 complete = file == &raw ? 18 + pixels.size() : file->size();
    for (u64 n = 0; n <= file->size(); n++) {
      // A heap copy of exactly n bytes, so a read past the cut shows under the sanitizer.
      std::vector<u8> cut(file->begin(), file->begin() + n);
      tga_image image;
      u32 error = 0;
      memory.block.used = 0;
      tga_read(cut.data(), n, &memory.block, 1, &image, &error);
      if (n < complete) {
        ASSERT_NE(error, 0u) << n;
        ASSERT_EQ(memory.block.used, 0u) << n;
        ASSERT_EQ(image.pixels, nullptr);
      } else {
        ASSERT_EQ(error, 0u) << n << " " << tga_error_name(error);
        ASSERT_EQ(image.bytes_per_pixel, 4u);
        for (u32 p = 0; p < w * h; p++) ASSERT_EQ(memcmp(image.pixels + 4 * p, &pixels[3 * p], 3), 0);
      }
    }
  }
}

TEST(tga_file, forged_headers_are_refused) {
  arena_block memory;
  auto read = [&](const tga_header &h, u64 extra) {
    std::vector<u8> file(18 + extra, 0);
    memcpy(file.data(), h.bytes, 18);
    tga_image image;
    u32 error = 0;
    memory.block.used = 0;
    tga_read(file.data(), file.size(), &memory.block, 0, &image, &error);
    EXPECT_EQ(memory.block.used, error ? 0u : memory.block.used);
    return error;
  };
  tga_header h;
  // The largest size the fields allow, over a few bytes: refused before any memory is taken.
  tga_header_init(&h, 0xFFFF, 0xFFFF, 4, tga_type_true_colour);
  EXPECT_EQ(read(h, 100), (u32)tga_error_truncated_data);
  tga_header_init(&h, 0xFFFF, 0xFFFF, 4, tga_type_true_colour | tga_type_rle);
  EXPECT_EQ(read(h, 100), (u32)tga_error_truncated_data);
  tga_header_init(&h, 4, 4, 1, tga_type_colour_mapped);
  EXPECT_EQ(read(h, 100), (u32)tga_error_unsupported_type);
  tga_header_init(&h, 4, 4, 1, 0);
  EXPECT_EQ(read(h, 100), (u32)tga_error_unsupported_type);
  tga_header_init(&h, 4, 4, 1, tga_type_grey | 0x40);
  EXPECT_EQ(read(h, 100), (u32)tga_error_unsupported_type);
  tga_header_init(&h, 4, 4, 1, tga_type_grey);
  tga_header_set_pixel_depth(&h, 15);
  EXPECT_EQ(read(h, 100), (u32)tga_error_depth);
  tga_header_init(&h, 0, 4, 1, tga_type_grey);
  EXPECT_EQ(read(h, 100), (u32)tga_error_size);
  // An ID and a colour map that run past the end.
  tga_header_init(&h, 2, 2, 1, tga_type_grey);
  tga_header_set_id_length(&h, 200);
  EXPECT_EQ(read(h, 100), (u32)tga_error_truncated_data);
  tga_header_init(&h, 2, 2, 1, tga_type_grey);
  tga_header_set_colour_map_type(&h, 1);
  tga_header_set_colour_map_entry_size(&h, 32);
  tga_header_set_colour_map_length(&h, 30);
  EXPECT_EQ(read(h, 100), (u32)tga_error_truncated_data);
  EXPECT_EQ(read(h, 124), 0u);
  tga_header_set_colour_map_entry_size(&h, 12);
  EXPECT_EQ(read(h, 1000), (u32)tga_error_colour_map);
  // A full arena is a plain failure.
  tga_header_init(&h, 64, 64, 1, tga_type_grey);
  std::vector<u8> file(18 + 64 * 64);
  memcpy(file.data(), h.bytes, 18);
  u8 small[100];
  buffer arena = buffer_make(sizeof(small), 0, small);
  tga_image image;
  u32 error = 0;
  tga_read(file.data(), file.size(), &arena, 0, &image, &error);
  EXPECT_EQ(error, (u32)tga_error_out_of_memory);
  // Sticky.
  tga_read(file.data(), file.size(), &memory.block, 0, &image, &error);
  EXPECT_EQ(error, (u32)tga_error_out_of_memory);
}

TEST(tga_file, dump_lists_each_packet) {
  std::string dir = temp_dir();
  ASSERT_FALSE(dir.empty());
  const u32 w = 5, h = 2, bpp = 3;
  const u8 pixels[w * h * bpp] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 9, 9, 9, 9, 9,
                                  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  u64 size = tga_rle_encode(pixels, nullptr, w, h, bpp);
  std::vector<u8> file(18 + size + 26);
  tga_header hdr;
  tga_header_init(&hdr, w, h, bpp, tga_type_true_colour | tga_type_rle);
  memcpy(file.data(), hdr.bytes, 18);
  tga_rle_encode(pixels, file.data() + 18, w, h, bpp);
  tga_footer f;
  tga_footer_init(&f);
  memcpy(file.data() + 18 + size, f.bytes, 26);
  std::string path = dir + "/runs.tga";
  u32 error = 0;
  file_write_all(string_from_bytes(path.data(), path.size()), file.data(), file.size(), 1, &error);
  ASSERT_EQ(error, 0u);
  ASSERT_EQ(tga_rle_dump(string_from_bytes(path.data(), path.size())), 1u);
  std::vector<u8> text = read_file(dir + "/runs_hex.txt");
  EXPECT_EQ(std::string(text.begin(), text.end()),
            "(0, 0) RAW 3 010203 040506 070809 \n"
            "(3, 0) RLE 2 090909\n"
            "(0, 1) RLE 5 000000\n");
  unlink((dir + "/runs_hex.txt").c_str());
  unlink(path.c_str());
  rmdir(dir.c_str());
}

}  // namespace
