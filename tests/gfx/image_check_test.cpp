// The JPEG check in front of the image decoder: small files built segment by segment, one sound
// and decodable, and one fault at a time put into it.
#include "gfx/gfx.h"

#include <gtest/gtest.h>

#include <string.h>
#include <vector>

namespace {

using bytes = std::vector<u8>;

void put_segment(bytes *out, u8 marker, const bytes &body) {
  u32 length = (u32)body.size() + 2;
  out->insert(out->end(), {0xFF, marker, (u8)(length >> 8), (u8)length});
  out->insert(out->end(), body.begin(), body.end());
}

// One Huffman table: class/id byte, sixteen counts, the symbols.
bytes huffman_table(u8 class_id, const std::vector<u32> &counts, u8 symbol) {
  bytes t = {class_id};
  u32 n = 0;
  for (u32 i = 0; i < 16; i++) {
    u32 c = i < counts.size() ? counts[i] : 0;
    t.push_back((u8)c);
    n += c;
  }
  for (u32 i = 0; i < n; i++) t.push_back(symbol);
  return t;
}

// Table 0, every step 1.
bytes quant_table() {
  bytes t(65, 1);
  t[0] = 0x00;
  return t;
}

// The parts of a sequential grey 16x8 JPEG whose every block is DC 0 with an immediate end of
// block, each a single one-bit code: two blocks are the bits 0000, padded with ones.
struct jpeg_parts {
  bytes quant = quant_table();
  bytes frame = {8, 0, 8, 0, 16, 1, 1, 0x11, 0};
  bytes dc = huffman_table(0x00, {1}, 0);
  bytes ac = huffman_table(0x10, {1}, 0);
  bytes scan = {1, 1, 0x00, 0, 63, 0};
  bytes entropy = {0x0F};
  u8 frame_marker = 0xC0;
  bytes before_frame;  // extra segments, already framed
  bytes after_scan;

  bytes build() const {
    bytes out = {0xFF, 0xD8};
    put_segment(&out, 0xDB, quant);
    out.insert(out.end(), before_frame.begin(), before_frame.end());
    put_segment(&out, frame_marker, frame);
    put_segment(&out, 0xC4, dc);
    put_segment(&out, 0xC4, ac);
    put_segment(&out, 0xDA, scan);
    out.insert(out.end(), entropy.begin(), entropy.end());
    out.insert(out.end(), after_scan.begin(), after_scan.end());
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
  }
};

u32 check(const bytes &file) { return image_jpeg_check(file.data(), file.size()); }

bool decodes(const bytes &file) {
  s32 w, h, c;
  u8 *pixels = image_decode(file.data(), file.size(), &w, &h, &c);
  image_decoded_free(pixels);
  return pixels != nullptr;
}

TEST(image_jpeg_check, a_sound_file_passes_and_decodes_to_mid_grey) {
  bytes file = jpeg_parts{}.build();
  EXPECT_EQ(check(file), (u32)image_jpeg_ok);
  s32 w, h, c;
  u8 *pixels = image_decode(file.data(), file.size(), &w, &h, &c);
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(w, 16);
  EXPECT_EQ(h, 8);
  EXPECT_EQ(c, 1);
  for (u32 i = 0; i < 16 * 8; i++) ASSERT_NEAR(pixels[i], 128, 1) << i;
  image_decoded_free(pixels);

  // Padding the decoder skips: fill bytes before markers, bytes between segments, application
  // data and a comment; in the scan a stuffed zero and a restart marker between the two blocks.
  jpeg_parts padded;
  padded.before_frame = {0xFF, 0xFF, 0xFF, 0xE0, 0, 7, 'J', 'F', 'I', 'F', 0, 0x00, 0x17};
  put_segment(&padded.before_frame, 0xFE, {'h', 'i'});
  put_segment(&padded.before_frame, 0xDD, {0, 1});
  padded.entropy = {0x3F, 0xFF, 0x00, 0xFF, 0xD0, 0x3F};
  EXPECT_EQ(check(padded.build()), (u32)image_jpeg_ok);
  EXPECT_TRUE(decodes(padded.build()));
}

TEST(image_jpeg_check, huffman_counts_beyond_256_are_refused_before_the_decoder_sees_them) {
  // 255 codes of length 9 and two of length 10 fit the code space but not the decoder's arrays,
  // which it fills before it looks at the lengths.
  for (std::vector<u32> counts : {std::vector<u32>{0, 0, 0, 0, 0, 0, 0, 0, 255, 2},
                                  std::vector<u32>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 255}}) {
    jpeg_parts p;
    p.ac = huffman_table(0x10, counts, 0);
    bytes file = p.build();
    EXPECT_EQ(check(file), (u32)image_jpeg_error_huffman);
    EXPECT_FALSE(decodes(file));
    s32 w, h, c;
    EXPECT_EQ(image_decode(file.data(), file.size(), &w, &h, &c), nullptr);
    EXPECT_EQ(w, 0);
  }
  // Exactly 256 symbols is a full table and passes.
  jpeg_parts full;
  full.ac = huffman_table(0x10, {0, 0, 0, 0, 0, 0, 0, 0, 254, 2}, 0);
  EXPECT_EQ(check(full.build()), (u32)image_jpeg_ok);
}

TEST(image_jpeg_check, each_malformed_segment_is_refused_by_name) {
  struct fault {
    const char *what;
    void (*apply)(jpeg_parts *);
    u32 error;
  };
  const fault faults[] = {
      {"table class 2", [](jpeg_parts *p) { p->ac[0] = 0x20; }, image_jpeg_error_huffman},
      {"table id 4", [](jpeg_parts *p) { p->dc[0] = 0x04; }, image_jpeg_error_huffman},
      {"three codes of length 1", [](jpeg_parts *p) { p->dc = huffman_table(0x00, {3}, 0); }, image_jpeg_error_huffman},
      {"symbols past the segment", [](jpeg_parts *p) { p->dc.pop_back(); }, image_jpeg_error_length},
      {"a table cut in its counts", [](jpeg_parts *p) { p->ac.resize(9); }, image_jpeg_error_length},
      {"quantisation precision 2", [](jpeg_parts *p) { p->quant[0] = 0x20; }, image_jpeg_error_quant},
      {"quantisation id 4", [](jpeg_parts *p) { p->quant[0] = 0x04; }, image_jpeg_error_quant},
      {"quantisation table cut", [](jpeg_parts *p) { p->quant.resize(64); }, image_jpeg_error_length},
      {"12-bit samples", [](jpeg_parts *p) { p->frame[0] = 12; }, image_jpeg_error_frame},
      {"zero height", [](jpeg_parts *p) { p->frame[1] = p->frame[2] = 0; }, image_jpeg_error_frame},
      {"two components", [](jpeg_parts *p) { p->frame[5] = 2; }, image_jpeg_error_frame},
      {"sampling factor 5", [](jpeg_parts *p) { p->frame[7] = 0x51; }, image_jpeg_error_frame},
      {"frame longer than its components", [](jpeg_parts *p) { p->frame.push_back(0); }, image_jpeg_error_length},
      {"scan of a component the frame lacks", [](jpeg_parts *p) { p->scan[1] = 9; }, image_jpeg_error_scan},
      {"scan of two components", [](jpeg_parts *p) { p->scan[0] = 2; }, image_jpeg_error_scan},
      {"scan using AC table 1", [](jpeg_parts *p) { p->scan[2] = 0x01; }, image_jpeg_error_missing_table},
      {"scan using DC table 4", [](jpeg_parts *p) { p->scan[2] = 0x40; }, image_jpeg_error_scan},
      {"scan using quantisation table 2", [](jpeg_parts *p) { p->frame[8] = 2; }, image_jpeg_error_missing_table},
      {"an unknown marker before the frame", [](jpeg_parts *p) { p->before_frame = {0xFF, 0xC3, 0, 2}; },
       image_jpeg_error_marker},
      {"a segment length below 2", [](jpeg_parts *p) { p->before_frame = {0xFF, 0xE1, 0, 1}; },
       image_jpeg_error_length},
      {"restart interval of 3 bytes", [](jpeg_parts *p) { p->before_frame = {0xFF, 0xDD, 0, 5, 0, 1, 0}; },
       image_jpeg_error_length},
      {"a second frame", [](jpeg_parts *p) { put_segment(&p->before_frame, 0xC0, p->frame); },
       image_jpeg_error_frame},
      // After the scan, as a progressive file defines its later tables.
      {"a bad table after the scan",
       [](jpeg_parts *p) { put_segment(&p->after_scan, 0xC4, huffman_table(0x11, {0, 0, 0, 0, 0, 0, 0, 0, 255, 9}, 1)); },
       image_jpeg_error_huffman},
      {"a segment that runs past the end", [](jpeg_parts *p) { p->after_scan = {0xFF, 0xE2, 0x7F, 0xFF}; },
       image_jpeg_error_truncated},
  };
  for (const fault &f : faults) {
    jpeg_parts p;
    f.apply(&p);
    bytes file = p.build();
    EXPECT_EQ(check(file), f.error) << f.what;
    EXPECT_FALSE(decodes(file)) << f.what;
  }
  // A file that ends inside a segment header, or does not start like a JPEG. The start of
  // image alone has nothing the decoder could misread, and it finds no image there.
  bytes file = jpeg_parts{}.build();
  EXPECT_EQ(image_jpeg_check(file.data(), 1), (u32)image_jpeg_error_no_start);
  EXPECT_EQ(image_jpeg_check(file.data(), 2), (u32)image_jpeg_ok);
  EXPECT_FALSE(decodes(bytes(file.begin(), file.begin() + 2)));
  EXPECT_EQ(image_jpeg_check(file.data(), 5), (u32)image_jpeg_error_truncated);
  EXPECT_EQ(image_jpeg_check(file.data(), 8), (u32)image_jpeg_error_truncated);
  file[1] = 0xD9;
  EXPECT_EQ(check(file), (u32)image_jpeg_error_no_start);
  EXPECT_EQ(image_jpeg_check(nullptr, 10), (u32)image_jpeg_error_no_start);
}

TEST(image_jpeg_check, a_progressive_scan_needs_only_the_tables_of_its_pass) {
  // A DC first pass with no AC table defined, then the file ends.
  jpeg_parts p;
  p.frame_marker = 0xC2;
  p.ac = huffman_table(0x11, {1}, 0);  // AC table 1, which the scan does not name
  p.scan = {1, 1, 0x00, 0, 0, 0};
  EXPECT_EQ(check(p.build()), (u32)image_jpeg_ok);
  // An AC pass naming the undefined AC table 0.
  p.scan = {1, 1, 0x00, 1, 63, 0};
  EXPECT_EQ(check(p.build()), (u32)image_jpeg_error_missing_table);
}

}  // namespace

namespace {

void put_chunk(bytes *out, const char *type, const bytes &data, bool checksum = true) {
  u32 n = (u32)data.size();
  out->insert(out->end(), {(u8)(n >> 24), (u8)(n >> 16), (u8)(n >> 8), (u8)n});
  out->insert(out->end(), type, type + 4);
  out->insert(out->end(), data.begin(), data.end());
  if (checksum) out->insert(out->end(), {0, 0, 0, 0});  // the decoder does not check it
}

// A grey 1x1 PNG whose pixel is 0x80: its image data one stored deflate block, split over two
// chunks so that an empty one can go before, between or after them.
bytes png(u32 empty_at) {
  bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  put_chunk(&out, "IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0});
  const bytes data[2] = {{0x78, 0x01, 0x01, 0x02, 0x00}, {0xFD, 0xFF, 0x00, 0x80, 0x00, 0x82, 0x00, 0x81}};
  for (u32 i = 0; i <= 2; i++) {
    if (i == empty_at) put_chunk(&out, "IDAT", {});
    if (i < 2) put_chunk(&out, "IDAT", data[i]);
  }
  put_chunk(&out, "IEND", {});
  return out;
}

}  // namespace

// An empty first image data chunk would have the decoder copy into an array it has not made: such
// a file is refused before it sees it, and one whose empty chunk comes later decodes.
TEST(image_png_check, an_empty_first_data_chunk_is_refused_before_the_decoder_sees_it) {
  bytes sound = png(3);
  EXPECT_EQ(image_png_check(sound.data(), sound.size()), (u32)image_png_ok);
  s32 w, h, c;
  u8 *pixels = image_decode(sound.data(), sound.size(), &w, &h, &c);
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(w, 1);
  EXPECT_EQ(c, 1);
  EXPECT_EQ(pixels[0], 0x80);
  image_decoded_free(pixels);
  for (u32 later : {1u, 2u}) {
    bytes file = png(later);
    EXPECT_EQ(image_png_check(file.data(), file.size()), (u32)image_png_ok) << later;
    EXPECT_TRUE(decodes(file)) << later;
  }
  bytes first = png(0);
  EXPECT_EQ(image_png_check(first.data(), first.size()), (u32)image_png_error_empty_data);
  EXPECT_FALSE(decodes(first));
  // The file the fuzzer found: the header, then an empty data chunk that the input ends in.
  bytes found = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  put_chunk(&found, "IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0});
  put_chunk(&found, "IDAT", {}, false);
  ASSERT_EQ(found.size(), 41u);
  EXPECT_EQ(image_png_check(found.data(), found.size()), (u32)image_png_error_empty_data);
  EXPECT_FALSE(decodes(found));
  // Cut anywhere, and with chunk lengths past the end, the walk stays inside the bytes.
  for (size_t n = 0; n <= sound.size(); n++) {
    bytes cut(sound.begin(), sound.begin() + (long)n);
    image_png_check(cut.data(), cut.size());
    decodes(cut);
  }
  bytes long_chunk = sound;
  long_chunk[33] = 0xFF;  // the first IDAT's length
  EXPECT_EQ(image_png_check(long_chunk.data(), long_chunk.size()), (u32)image_png_ok);
}
