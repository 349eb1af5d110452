// A downloaded image is input: the JPEG check and the decoder behind it must end in pixels or a
// refusal for any bytes, never a read or write outside the decoder's arrays, and what they give
// must resize to a laid-out width as the image cache does.
#include <stdint.h>

#include "gfx/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  u32 checked = image_jpeg_check(data, size);
  s32 width = 0, height = 0, channels = 0;
  u8 *pixels = image_decode(data, size, &width, &height, &channels);
  if (!pixels) {
    invariant(width == 0 && height == 0 && channels == 0);
    return 0;
  }
  // A JPEG the check refused never reaches the decoder.
  invariant(!(size && data[0] == 0xFF) || checked == image_jpeg_ok);
  invariant(width > 0 && height > 0 && channels >= 1 && channels <= 4);
  invariant((u64)width * (u64)height <= IMAGE_DECODE_MAX_PIXELS);
  // Every decoded byte is readable, and the shrink the cache makes stays inside its target.
  u32 target_width = width > 1 ? (u32)width / 2 : 1, target_height = 0, error = 0;
  image_resize(nullptr, (u32)width, (u32)height, nullptr, &target_width, &target_height, (u32)channels, 0, 1.0f,
               &error);
  if (!error && target_height) {
    buffer target = memory_alloc((u64)target_width * target_height * (u64)channels, nullptr);
    if (target.data) {
      image_resize(pixels, (u32)width, (u32)height, target.data, &target_width, &target_height, (u32)channels, 0,
                   1.0f, &error);
      memory_free(&target);
    }
  }
  image_decoded_free(pixels);
  return 0;
}
