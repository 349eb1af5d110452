// Truevision TGA (version 2.0) files, a library for looking at image data while debugging: the
// 18-byte header and 26-byte footer, an uncompressed writer, run-length encoding and decoding, a
// red/blue swap, a text dump of a run-length file's packets, and a reader that checks every
// length before it trusts it (files are input).
#pragma once

#include "core/buffer.h"

// ---- Records ---------------------------------------------------------------------------------

#define TGA_HEADER_SIZE 18
#define TGA_FOOTER_SIZE 26

// Little-endian fields at their published offsets; the accessors below read and write them.
struct tga_header {
  u8 bytes[TGA_HEADER_SIZE];
};
// Extension-area offset, developer-area offset, "TRUEVISION-XFILE", "." and a zero byte.
struct tga_footer {
  u8 bytes[TGA_FOOTER_SIZE];
};
static_assert(sizeof(tga_header) == 18 && sizeof(tga_footer) == 26, "TGA records are packed bytes");

enum tga_image_type : u32 {
  tga_type_colour_mapped = 1,
  tga_type_true_colour = 2,
  tga_type_grey = 3,
  tga_type_rle = 8,  // the run-length bit, combined with one of the above
};

enum tga_error : u32 {
  tga_error_none = 0,
  tga_error_truncated_header = 1,  // fewer than 18 bytes
  tga_error_unsupported_type = 2,  // no image, colour-mapped, or an unknown type
  tga_error_depth = 3,             // pixel depth not 8, 16, 24 or 32
  tga_error_colour_map = 4,        // a colour-map entry size that is not whole bytes
  tga_error_truncated_data = 5,    // the ID, colour map or pixels run past the end
  tga_error_rle_overrun = 6,       // a packet would write past the image's last pixel
  tga_error_size = 7,              // zero width or height
  tga_error_out_of_memory = 8,     // the caller's arena cannot take the pixels
  tga_error_file = 9,              // the file layer failed
};
#define TGA_ERROR_COUNT 10
const char *tga_error_name(u32 code);

// ---- Header and footer fields ----------------------------------------------------------------
// A setter requires the value to fit the field (below 256 for a byte, at most 0xFFFF for a 16-bit
// field).

u32 tga_header_get_id_length(const tga_header *h);
u32 tga_header_get_colour_map_type(const tga_header *h);
u32 tga_header_get_image_type(const tga_header *h);
u32 tga_header_get_colour_map_first(const tga_header *h);
u32 tga_header_get_colour_map_length(const tga_header *h);
u32 tga_header_get_colour_map_entry_size(const tga_header *h);
u32 tga_header_get_x_origin(const tga_header *h);
u32 tga_header_get_y_origin(const tga_header *h);
u32 tga_header_get_width(const tga_header *h);
u32 tga_header_get_height(const tga_header *h);
u32 tga_header_get_pixel_depth(const tga_header *h);
u32 tga_header_get_descriptor(const tga_header *h);
void tga_header_set_id_length(tga_header *h, u32 value);
void tga_header_set_colour_map_type(tga_header *h, u32 value);
void tga_header_set_image_type(tga_header *h, u32 value);
void tga_header_set_colour_map_first(tga_header *h, u32 value);
void tga_header_set_colour_map_length(tga_header *h, u32 value);
void tga_header_set_colour_map_entry_size(tga_header *h, u32 value);
void tga_header_set_x_origin(tga_header *h, u32 value);
void tga_header_set_y_origin(tga_header *h, u32 value);
void tga_header_set_width(tga_header *h, u32 value);
void tga_header_set_height(tga_header *h, u32 value);
void tga_header_set_pixel_depth(tga_header *h, u32 value);
void tga_header_set_descriptor(tga_header *h, u32 value);
// Bits 0 to 3 of the descriptor.
void tga_header_set_alpha_bits(tga_header *h, u32 bits);
// Bits 4 and 5 of the descriptor (bit 4 right-to-left, bit 5 top-to-bottom).
void tga_header_set_origin(tga_header *h, u32 origin);

bool tga_header_is_colour_mapped(const tga_header *h);
bool tga_header_is_true_colour(const tga_header *h);
bool tga_header_is_grey(const tga_header *h);
bool tga_header_is_rle(const tga_header *h);
u32 tga_header_bytes_per_pixel(const tga_header *h);

// Width, height, depth, image type, and alpha bits 8 for 4 bytes per pixel; everything else 0.
void tga_header_init(tga_header *h, u32 width, u32 height, u32 bytes_per_pixel, u32 image_type);

u32 tga_footer_get_extension_offset(const tga_footer *f);
u32 tga_footer_get_developer_offset(const tga_footer *f);
void tga_footer_set_extension_offset(tga_footer *f, u32 value);
void tga_footer_set_developer_offset(tga_footer *f, u32 value);
// Both offsets 0 and the signature.
void tga_footer_init(tga_footer *f);
// The signature "TRUEVISION-XFILE" followed by ".".
bool tga_footer_is_valid(const tga_footer *f);

// ---- Sizes and positions ---------------------------------------------------------------------

// An uncompressed file: pixels + header + footer.
u64 tga_file_size(u32 width, u32 height, u32 bytes_per_pixel);
u64 tga_file_size_from_header(const tga_header *h);
// After the header, the image ID and the colour map; 0 when the colour-map entry size is not
// whole bytes.
u64 tga_pixel_data_offset(const tga_header *h);
// The footer sits in the last 26 bytes; 0 for a file too short to have one.
u64 tga_footer_offset(u64 file_size);
// Header at the start and footer after the pixels of an uncompressed file of tga_file_size
// bytes; false when the buffer is smaller.
bool tga_file_init(u8 *file, u64 file_size, u32 width, u32 height, u32 bytes_per_pixel, u32 image_type);

// ---- Pixels ----------------------------------------------------------------------------------

// Exchanges bytes 0 and 2 of each pixel; 3 or 4 bytes per pixel only (others are left alone).
void image_swap_red_blue(u8 *pixels, u32 width, u32 height, u32 bytes_per_pixel);

// Encodes row by row (no packet crosses a row end); returns the encoded size. With a null output
// only measures.
u64 tga_rle_encode(const u8 *pixels, u8 *output, u32 width, u32 height, u32 bytes_per_pixel);
// Decodes width * height pixels from packet_bytes bytes of packets. With expand_to_4 and 3 bytes
// per pixel each output pixel gets a fourth byte 255. The output must hold the pixels. A packet
// that would pass the last pixel, or packets that end early, are errors. consumed (optional)
// receives the packet bytes used.
u32 tga_rle_decode(const u8 *packets, u64 packet_bytes, u8 *output, u32 width, u32 height, u32 bytes_per_pixel,
                   u32 expand_to_4, u64 *consumed);

// ---- Files -----------------------------------------------------------------------------------

// An uncompressed file (grey for 1 byte per pixel, else true colour). With is_rgb and more than
// 2 bytes per pixel, red and blue are swapped in place for the write (files store BGR) and
// swapped back. 1 when every write succeeded.
u32 tga_write(buffer path, u8 *pixels, u32 width, u32 height, u32 bytes_per_pixel, u32 is_rgb);

struct tga_image {
  tga_header header;
  u32 width, height;
  u32 bytes_per_pixel;  // of the pixels returned (4 when 3 was expanded)
  u8 *pixels;  // in file order (BGR for colour), in the caller's arena
};

// Reads a true-colour or grey file, raw or run-length, from memory. Every length in the header is
// checked against the bytes before it is used; on failure the arena is as it was.
void tga_read(const u8 *bytes, u64 size, buffer *arena, u32 expand_to_4, tga_image *image, u32 *error);

// Writes the packets of a run-length file as text, one packet a line, to the same path without
// its extension followed by "_hex.txt". 1 on success.
u32 tga_rle_dump(buffer path);
