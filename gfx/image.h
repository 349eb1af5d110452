// Small image tools on 8-bit-per-channel pixel arrays (rows of width * channels bytes, 1 to 4
// channels): an area-averaging resize, block copies, the icon atlas into which named source
// images are resized on demand, and decoding of downloaded image files.
#pragma once

#include "core/buffer.h"

// ---- Resize and blit -------------------------------------------------------------------------

enum image_resize_error : u32 {
  image_resize_error_none = 0,
  image_resize_error_no_target_size = 1,  // both target sizes were 0
  image_resize_error_channels = 2,        // channels 0 or above 4
  image_resize_error_size = 3,            // an empty source, or a derived size above IMAGE_MAX_SIDE
};

// The longest side a resize produces: beyond any texture a GL driver takes.
#define IMAGE_MAX_SIDE 65536u

// Area averaging: each target pixel is the average of the source pixels it covers, weighted by
// the covered fraction, in 32-bit floats, rounded to nearest. Exactly one target size should be
// given; the other is derived from the aspect ratio (truncated). Gamma other than 1 maps each
// channel sum s to 255 * (s / 255)^gamma. With three or more channels, swap_red_blue exchanges
// bytes 0 and 2 of each target pixel. With either pixel pointer null only the sizes are worked
// out. Does nothing when the error word is already set.
void image_resize(const u8 *source, u32 source_width, u32 source_height, u8 *target, u32 *target_width,
                  u32 *target_height, u32 channels, u32 swap_red_blue, f32 gamma, u32 *error);

// Copies a width by height block; row lengths are in pixels.
void image_blit(const u8 *source, u8 *target, u32 width, u32 height, u32 channels, u32 source_row_length,
                u32 target_row_length);
// Copies a whole source image into a target image with its bottom-left pixel at (x, y), clipped
// at every edge of the target; returns the pixels copied.
u64 image_blit_clipped(const u8 *source, u32 source_width, u32 source_height, u8 *target, u32 target_width,
                       u32 target_height, s64 x, s64 y, u32 channels);

// ---- Icon atlas ------------------------------------------------------------------------------

struct image_atlas_source {
  u32 key;
  u32 flip_x;
  u32 flip_y;
  u8 *pixels;  // the atlas's channel count per pixel
  u32 width;
  u32 height;
};
static_assert(sizeof(image_atlas_source) == 32, "a source entry is 32 bytes");

struct image_atlas_entry {
  u32 key;
  u32 x, y;  // bottom-left corner in the atlas
  u32 width, height;
  f32 s0, t0, s1, t1;
};
static_assert(sizeof(image_atlas_entry) == 36, "an atlas entry is 36 bytes");

struct image_uv {
  f32 s0, t0, s1, t1;
};

struct image_atlas {
  image_atlas_source *sources;  // a copy of the caller's list
  u32 source_count;
  image_atlas_entry *entries;
  u32 entry_count;
  u32 capacity;
  u8 *pixels;  // width * height * channels, row 0 at the bottom
  u32 width, height, channels;
  // The blocks from the system behind the fields above.
  buffer lists;
  buffer pixel_block;
};

// Reserves the source copy, the entries and the pixels (zeroed). A refused reservation leaves an
// atlas that places nothing.
image_atlas image_atlas_make(const image_atlas_source *sources, u32 count, u32 width, u32 height, u32 channels,
                             u32 capacity);
void image_atlas_release(image_atlas *atlas);
// The uv rectangle of that source at that size, placing it first when needed (the pixels change
// then). All zero when the key has no source, the size is 0, or the atlas cannot take it.
image_uv image_atlas_get(image_atlas *atlas, u32 key, u32 width, u32 height);

// ---- Decoding --------------------------------------------------------------------------------

// The most pixels a decoded image may have; larger files are refused before decoding.
#define IMAGE_DECODE_MAX_PIXELS (1ull << 26)

// Decodes an image file (JPEG, PNG, GIF or BMP, the formats feeds carry) from memory with its
// own channel count, rows flipped so row 0 is the bottom. Null when the bytes are not such an
// image, a JPEG fails image_jpeg_check, a PNG image_png_check, or it is too large. Any thread;
// release with image_decoded_free.
u8 *image_decode(const u8 *bytes, u64 size, s32 *width, s32 *height, s32 *channels);
void image_decoded_free(void *pixels);
// What image_decode would give, from the file's header alone: false where it gives null for
// the header's sake. The channel count is the decoder's; any thread.
bool image_decode_size(const u8 *bytes, u64 size, s32 *width, s32 *height, s32 *channels);

enum image_jpeg_error : u32 {
  image_jpeg_ok = 0,
  image_jpeg_error_no_start = 1,       // no start-of-image marker first
  image_jpeg_error_truncated = 2,      // a segment runs past the end of the data
  image_jpeg_error_length = 3,         // a segment's length disagrees with what it holds
  image_jpeg_error_huffman = 4,        // a Huffman table of a class or id out of range, or impossible counts
  image_jpeg_error_quant = 5,          // a quantisation table of a precision or id out of range
  image_jpeg_error_frame = 6,          // a frame header the decoder cannot take, or a second one
  image_jpeg_error_scan = 7,           // a scan before the frame, or of components it lacks
  image_jpeg_error_missing_table = 8,  // a scan uses a table the file never defined
  image_jpeg_error_marker = 9,         // a marker the decoder does not know before the frame
};

// Walks the markers of a JPEG file the way the decoder will and refuses segments it must not
// be given: Huffman counts adding up to more than 256 or to more codes than their lengths allow,
// table classes and ids out of range, lengths that overrun the data or disagree with the tables,
// frame and scan headers it cannot take, and scans that use tables never defined.
u32 image_jpeg_check(const u8 *bytes, u64 size);

enum image_png_error : u32 {
  image_png_ok = 0,
  image_png_error_empty_data = 1,  // the first image data chunk (IDAT) is empty
};

// Walks the chunks of a PNG file the way the decoder will, up to its first image data chunk,
// and refuses one that is empty: the decoder makes the array for the image data when it meets
// data, and would copy an empty first chunk into no array at all. Anything that is not a PNG,
// or ends before such a chunk, passes (the decoder refuses what it cannot read).
u32 image_png_check(const u8 *bytes, u64 size);
