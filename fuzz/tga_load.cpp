// A TGA file is input: reading any bytes must end in an image or an error code, never a read
// past the bytes or a write past the arena, and run-length data must re-encode to the pixels.
#include <stdint.h>
#include <string.h>

#include "gfx/tga.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static buffer arena = memory_alloc(MiB(64), nullptr);
  for (u32 expand = 0; expand < 2; expand++) {
    arena.used = 0;
    u32 error = 0;
    tga_image image;
    tga_read(data, size, &arena, expand, &image, &error);
    if (error) {
      invariant(arena.used == 0 && image.pixels == nullptr);
      continue;
    }
    invariant(image.width && image.height && image.bytes_per_pixel >= 1 && image.bytes_per_pixel <= 4);
    // Encoding what was read and decoding it again gives the same pixels.
    u64 pixel_bytes = (u64)image.width * image.height * image.bytes_per_pixel;
    u64 packets = tga_rle_encode(image.pixels, nullptr, image.width, image.height, image.bytes_per_pixel);
    u8 *encoded = (u8 *)buffer_push(&arena, packets, 1);
    u8 *decoded = (u8 *)buffer_push(&arena, pixel_bytes, 1);
    if (!encoded || !decoded) continue;
    tga_rle_encode(image.pixels, encoded, image.width, image.height, image.bytes_per_pixel);
    u32 e = tga_rle_decode(encoded, packets, decoded, image.width, image.height, image.bytes_per_pixel, 0, nullptr);
    invariant(e == 0 && memcmp(decoded, image.pixels, pixel_bytes) == 0);
  }
  return 0;
}
