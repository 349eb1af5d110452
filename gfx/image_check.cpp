// The checks that run before the image library sees a downloaded file. The library trusts the
// tables a JPEG defines (a Huffman table whose counts add up to more than 256 writes past its
// arrays while it is built) and uses tables a file never defined, so every segment it would read
// is walked here first, the same way it walks them, and a file with an impossible one is refused.
// Of a PNG only the chunks before the first image data are walked: an empty first data chunk
// makes it copy into an array it has not made yet.
#include "gfx/image.h"

#include <string.h>

namespace {

struct jpeg_walk {
  const u8 *data;
  u64 size;
  u64 at;
  // Tables defined so far; a scan may only use defined ones.
  u32 huffman_defined;  // bit class * 4 + id
  u32 quant_defined;    // bit id
  // The frame, once its header has been read.
  bool frame_seen;
  bool progressive;
  u32 component_count;
  u8 component_id[4];
  u8 component_quant[4];
};

u32 read16(const u8 *p) { return (u32)p[0] << 8 | p[1]; }

// The library finds a marker after any bytes that are not 0xFF and any number of 0xFF fill
// bytes; false at the end of the data.
bool next_marker(jpeg_walk *w, u8 *marker) {
  while (w->at < w->size && w->data[w->at] != 0xFF) w->at++;
  while (w->at < w->size && w->data[w->at] == 0xFF) w->at++;
  if (w->at >= w->size) return false;
  *marker = w->data[w->at++];
  return true;
}

// A segment's body (after its two length bytes), which must lie inside the data.
u32 segment_body(jpeg_walk *w, const u8 **body, u64 *length) {
  if (w->size - w->at < 2) return image_jpeg_error_truncated;
  u32 declared = read16(w->data + w->at);
  if (declared < 2) return image_jpeg_error_length;
  if (declared > w->size - w->at) return image_jpeg_error_truncated;
  *body = w->data + w->at + 2;
  *length = declared - 2;
  w->at += declared;
  return image_jpeg_ok;
}

// One or more tables, each a class/id byte, sixteen counts and as many symbols as the counts add
// up to, which must fill the segment exactly.
u32 check_huffman(jpeg_walk *w, const u8 *p, u64 length) {
  while (length > 0) {
    if (length < 17) return image_jpeg_error_length;
    u32 table_class = p[0] >> 4, id = p[0] & 15;
    if (table_class > 1 || id > 3) return image_jpeg_error_huffman;
    u32 symbols = 0;
    // Codes of each length must fit the code space left by the shorter ones.
    u64 room = 1;
    for (u32 i = 0; i < 16; i++) {
      room *= 2;
      if (p[1 + i] > room) return image_jpeg_error_huffman;
      room -= p[1 + i];
      symbols += p[1 + i];
    }
    if (symbols > 256) return image_jpeg_error_huffman;
    if (length - 17 < symbols) return image_jpeg_error_length;
    w->huffman_defined |= 1u << (table_class * 4 + id);
    p += 17 + symbols;
    length -= 17 + symbols;
  }
  return image_jpeg_ok;
}

u32 check_quant(jpeg_walk *w, const u8 *p, u64 length) {
  while (length > 0) {
    u32 precision = p[0] >> 4, id = p[0] & 15;
    if (precision > 1 || id > 3) return image_jpeg_error_quant;
    u64 table = precision ? 129 : 65;
    if (length < table) return image_jpeg_error_length;
    w->quant_defined |= 1u << id;
    p += table;
    length -= table;
  }
  return image_jpeg_ok;
}

u32 check_frame(jpeg_walk *w, u8 marker, const u8 *p, u64 length) {
  if (w->frame_seen) return image_jpeg_error_frame;
  if (length < 6) return image_jpeg_error_length;
  u32 count = p[5];
  if (p[0] != 8 || read16(p + 1) == 0 || read16(p + 3) == 0) return image_jpeg_error_frame;
  if (count != 1 && count != 3 && count != 4) return image_jpeg_error_frame;
  if (length != 6 + 3 * (u64)count) return image_jpeg_error_length;
  for (u32 i = 0; i < count; i++) {
    const u8 *c = p + 6 + 3 * i;
    u32 h = c[1] >> 4, v = c[1] & 15;
    if (h < 1 || h > 4 || v < 1 || v > 4 || c[2] > 3) return image_jpeg_error_frame;
    w->component_id[i] = c[0];
    w->component_quant[i] = c[2];
  }
  w->frame_seen = true;
  w->progressive = marker == 0xC2;
  w->component_count = count;
  return image_jpeg_ok;
}

bool huffman_defined(const jpeg_walk *w, u32 table_class, u32 id) {
  return (w->huffman_defined >> (table_class * 4 + id)) & 1;
}

u32 check_scan(jpeg_walk *w, const u8 *p, u64 length) {
  if (!w->frame_seen) return image_jpeg_error_scan;
  if (length < 1) return image_jpeg_error_length;
  u32 count = p[0];
  if (count < 1 || count > 4 || count > w->component_count) return image_jpeg_error_scan;
  if (length != 4 + 2 * (u64)count) return image_jpeg_error_length;
  u32 spectral_start = p[1 + 2 * count], successive_high = p[3 + 2 * count] >> 4;
  for (u32 i = 0; i < count; i++) {
    u32 id = p[1 + 2 * i], dc = p[2 + 2 * i] >> 4, ac = p[2 + 2 * i] & 15;
    u32 which = 0;
    while (which < w->component_count && w->component_id[which] != id) which++;
    if (which == w->component_count || dc > 3 || ac > 3) return image_jpeg_error_scan;
    if (!((w->quant_defined >> w->component_quant[which]) & 1)) return image_jpeg_error_missing_table;
    // A sequential scan decodes both kinds; a progressive one the DC table in a first DC pass
    // and the AC table in an AC pass.
    bool needs_dc = !w->progressive || (spectral_start == 0 && successive_high == 0);
    bool needs_ac = !w->progressive || spectral_start > 0;
    if ((needs_dc && !huffman_defined(w, 0, dc)) || (needs_ac && !huffman_defined(w, 1, ac))) {
      return image_jpeg_error_missing_table;
    }
  }
  return image_jpeg_ok;
}

// The entropy-coded data after a scan header ends at the first 0xFF that is neither a stuffed
// zero nor a restart marker; its marker is returned as the next one.
bool skip_entropy_data(jpeg_walk *w, u8 *marker) {
  while (w->at < w->size) {
    if (w->data[w->at++] != 0xFF) continue;
    while (w->at < w->size && w->data[w->at] == 0xFF) w->at++;
    if (w->at >= w->size) return false;
    u8 m = w->data[w->at++];
    if (m == 0x00 || (m >= 0xD0 && m <= 0xD7)) continue;
    *marker = m;
    return true;
  }
  return false;
}

}  // namespace

u32 image_jpeg_check(const u8 *bytes, u64 size) {
  jpeg_walk w = {};
  w.data = bytes;
  w.size = bytes ? size : 0;
  if (w.size < 2 || bytes[0] != 0xFF) return image_jpeg_error_no_start;
  u8 marker = 0;
  if (!next_marker(&w, &marker) || marker != 0xD8) return image_jpeg_error_no_start;
  bool have_marker = next_marker(&w, &marker);
  // What the library reads ends at the end of the image or of the data; whatever it would find
  // past the last segment checked here it reads as zeros.
  while (have_marker && marker != 0xD9) {
    u32 error = image_jpeg_ok;
    const u8 *body = nullptr;
    u64 length = 0;
    bool scan = false;
    if (marker == 0xC4 || marker == 0xDB || marker == 0xDD || marker == 0xDC || marker == 0xDA ||
        marker == 0xFE || (marker >= 0xE0 && marker <= 0xEF) || (marker >= 0xC0 && marker <= 0xC2)) {
      error = segment_body(&w, &body, &length);
    } else {
      // The library refuses a marker it does not know, so nothing after it is ever read.
      return w.frame_seen ? image_jpeg_ok : image_jpeg_error_marker;
    }
    if (!error) {
      switch (marker) {
        case 0xC4: error = check_huffman(&w, body, length); break;
        case 0xDB: error = check_quant(&w, body, length); break;
        case 0xDD:
        case 0xDC: error = length == 2 ? image_jpeg_ok : image_jpeg_error_length; break;
        case 0xDA:
          error = check_scan(&w, body, length);
          scan = true;
          break;
        case 0xC0:
        case 0xC1:
        case 0xC2: error = check_frame(&w, marker, body, length); break;
        default: break;  // application data and comments are skipped whole
      }
    }
    if (error) return error;
    have_marker = scan ? skip_entropy_data(&w, &marker) : next_marker(&w, &marker);
  }
  return image_jpeg_ok;
}

u32 image_png_check(const u8 *bytes, u64 size) {
  static const u8 signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (!bytes || size < 8 || memcmp(bytes, signature, 8) != 0) return image_png_ok;
  // Each chunk is its length, its type, its data and a checksum, which the decoder steps over
  // by the length alone.
  for (u64 at = 8; size - at >= 8;) {
    u64 length = read16(bytes + at) << 16 | read16(bytes + at + 2);
    const u8 *type = bytes + at + 4;
    if (memcmp(type, "IDAT", 4) == 0) return length == 0 ? image_png_error_empty_data : image_png_ok;
    if (memcmp(type, "IEND", 4) == 0) return image_png_ok;
    if (length > size - at - 8) return image_png_ok;
    at += 8 + length;
    if (size - at < 4) return image_png_ok;
    at += 4;
  }
  return image_png_ok;
}
