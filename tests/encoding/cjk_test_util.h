#pragma once

#include <vector>

#include "encoding/encoding.h"

// Decoders and encoders of one signature, so tests can loop over codecs.
typedef void (*decode_fn)(const u8 *, const u8 *, u32 *, u8 *, u32 *);
typedef void (*encode_fn)(u8 *, u8 *, u32, u8 *, u32 *);

struct decode_result {
  u32 code_point;
  u32 count;
  u32 error;
};

inline decode_result decode_with(decode_fn fn, const std::vector<u8> &in) {
  decode_result r{};
  u8 count = 0;
  fn(in.data(), in.data() + in.size(), &r.code_point, &count, &r.error);
  r.count = count;
  return r;
}

// The bytes of one code point, or an empty vector with the error.
inline std::vector<u8> encode_with(encode_fn fn, u32 code_point, u32 *error) {
  u8 out[8];
  u8 count = 0, measured = 0;
  *error = 0;
  fn(out, out + sizeof(out), code_point, &count, error);
  if (*error) return {};
  fn(nullptr, nullptr, code_point, &measured, error);
  if (measured != count) *error = 999;
  return std::vector<u8>(out, out + count);
}
