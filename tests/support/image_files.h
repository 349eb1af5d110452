// Image files built in memory for the decoder's tests.
#pragma once

#include <vector>

#include "core/core.h"

// A 24-bit bottom-up BMP of the given pixels (RGB, row 0 at the bottom).
inline std::vector<u8> bmp_file(u32 w, u32 h, const u8 *rgb) {
  u32 row = (w * 3 + 3) & ~3u;
  std::vector<u8> out(54 + (size_t)row * h);
  auto put32 = [&](u32 at, u32 v) {
    for (u32 i = 0; i < 4; i++) out[at + i] = (u8)(v >> (8 * i));
  };
  out[0] = 'B';
  out[1] = 'M';
  put32(2, (u32)out.size());
  put32(10, 54);
  put32(14, 40);
  put32(18, w);
  put32(22, h);
  out[26] = 1;
  out[28] = 24;
  for (u32 y = 0; y < h; y++) {
    for (u32 x = 0; x < w; x++) {
      const u8 *p = rgb + ((size_t)y * w + x) * 3;
      u8 *q = out.data() + 54 + (size_t)y * row + x * 3;
      q[0] = p[2];
      q[1] = p[1];
      q[2] = p[0];
    }
  }
  return out;
}
