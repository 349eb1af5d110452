// Decoding of downloaded image files through stb_image, the one file that holds its code. Only
// the formats feeds carry are compiled in, so no other decoder is reachable from the network.
#include "gfx/image.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#define STB_IMAGE_IMPLEMENTATION
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
  *width = *height = *channels = 0;
  // Per thread, so decoding jobs on several workers do not share the setting.
  stbi_set_flip_vertically_on_load_thread(1);
  u8 *pixels = stbi_load_from_memory(bytes, (int)size, &w, &h, &n, 0);
  if (!pixels) return nullptr;
  *width = w;
  *height = h;
  *channels = n;
  return pixels;
}

void image_decoded_free(void *pixels) { stbi_image_free(pixels); }
