// Compressed bodies for download tests, made with zlib: gzip and deflate (zlib) streams of any
// bytes, and bombs (long runs of one byte in a few hundred KiB).
#pragma once

#include <zlib.h>

#include <string>

// window_bits: 15 + 16 for gzip, 15 for deflate as HTTP means it (a zlib stream).
inline std::string test_compress(const std::string &bytes, int window_bits) {
  z_stream s{};
  if (deflateInit2(&s, 9, Z_DEFLATED, window_bits, 9, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&s, bytes.size()), '\0');
  s.next_in = (Bytef *)bytes.data();
  s.avail_in = (uInt)bytes.size();
  s.next_out = (Bytef *)out.data();
  s.avail_out = (uInt)out.size();
  int status = deflate(&s, Z_FINISH);
  out.resize(status == Z_STREAM_END ? s.total_out : 0);
  deflateEnd(&s);
  return out;
}
inline std::string test_gzip(const std::string &bytes) { return test_compress(bytes, 15 + 16); }
inline std::string test_deflate(const std::string &bytes) { return test_compress(bytes, 15); }
