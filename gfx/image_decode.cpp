// Decoding of downloaded image files through stb_image, the one file that holds its code. Only
// the formats feeds carry are compiled in, so no other decoder is reachable from the network.
#include "gfx/image.h"

#include <stdlib.h>

// The decoder grows its buffers as the file asks: a PNG's compressed data inflates for as long as
// it goes on (600 KB of it can become 600 MiB), and a chunk's declared length is reserved before
// its bytes are read. No buffer of one decode may exceed what its header's pixel count and the
// file's size can need; past that the allocation fails and so does the decode. Per thread, since
// several workers decode at once.
static thread_local u64 image_decoder_cap = MiB(16);

static void *image_decoder_alloc(void *p, size_t size) {
  if (size > image_decoder_cap) return nullptr;
  return realloc(p, size);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#define STB_IMAGE_IMPLEMENTATION
#define STBI_MALLOC(size) image_decoder_alloc(nullptr, size)
#define STBI_REALLOC(p, size) image_decoder_alloc(p, size)
#define STBI_FREE(p) free(p)
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STBI_ONLY_GIF
#define STBI_ONLY_BMP
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

bool image_decode_size(const u8 *bytes, u64 size, s32 *width, s32 *height, s32 *channels) {
  *width = *height = *channels = 0;
  if (!bytes || size == 0 || size > 0x7FFFFFFF) return false;
  // The decoder takes anything that begins with 0xFF for a JPEG, and trusts its tables.
  if (bytes[0] == 0xFF && image_jpeg_check(bytes, size) != image_jpeg_ok) return false;
  if (image_png_check(bytes, size) != image_png_ok) return false;
  int w = 0, h = 0, n = 0;
  // The header alone says how large the image is; a forged size must not make a huge allocation.
  if (!stbi_info_from_memory(bytes, (int)size, &w, &h, &n)) return false;
  if (w <= 0 || h <= 0 || n < 1 || n > 4 || (u64)w * (u64)h > IMAGE_DECODE_MAX_PIXELS) return false;
  *width = w;
  *height = h;
  *channels = n;
  return true;
}

u8 *image_decode(const u8 *bytes, u64 size, s32 *width, s32 *height, s32 *channels) {
  int w = 0, h = 0, n = 0;
  if (!image_decode_size(bytes, size, width, height, channels)) return nullptr;
  u64 pixels_declared = (u64)*width * (u64)*height;
  *width = *height = *channels = 0;
  // Per thread, so decoding jobs on several workers do not share the setting.
  stbi_set_flip_vertically_on_load_thread(1);
  // 16-bit RGBA takes 8 bytes a pixel, twice over while it is converted; interlaced rows and
  // filter bytes add less than the rest. The compressed data is never more than the file.
  u64 saved_cap = image_decoder_cap;
  image_decoder_cap = 20 * pixels_declared + 2 * size + MiB(1);
  u8 *pixels = stbi_load_from_memory(bytes, (int)size, &w, &h, &n, 0);
  image_decoder_cap = saved_cap;
  if (!pixels) return nullptr;
  *width = w;
  *height = h;
  *channels = n;
  return pixels;
}

void image_decoded_free(void *pixels) { stbi_image_free(pixels); }
