// TGA header and footer fields, run-length coding, the writer, the reader and the packet dump.
#include "gfx/tga.h"

#include "core/strings.h"
#include "platform/files.h"

#include <errno.h>
#include <string.h>

static const char *const tga_error_names[TGA_ERROR_COUNT] = {
    "tga_error_none",           "tga_error_truncated_header", "tga_error_unsupported_type",
    "tga_error_depth",          "tga_error_colour_map",       "tga_error_truncated_data",
    "tga_error_rle_overrun",    "tga_error_size",             "tga_error_out_of_memory",
    "tga_error_file",
};

const char *tga_error_name(u32 code) { return code < TGA_ERROR_COUNT ? tga_error_names[code] : "tga_error_unknown"; }

// ---- Fields ----------------------------------------------------------------------------------

static u32 get8(const u8 *b, u32 at) { return b[at]; }
static u32 get16(const u8 *b, u32 at) { return (u32)b[at] | (u32)b[at + 1] << 8; }
static u32 get32(const u8 *b, u32 at) { return get16(b, at) | get16(b, at + 2) << 16; }
static void set8(u8 *b, u32 at, u32 v) {
  invariant(v < 256);
  b[at] = (u8)v;
}
static void set16(u8 *b, u32 at, u32 v) {
  invariant(v <= 0xFFFF);
  b[at] = (u8)v;
  b[at + 1] = (u8)(v >> 8);
}
static void set32(u8 *b, u32 at, u32 v) {
  set16(b, at, v & 0xFFFF);
  set16(b, at + 2, v >> 16);
}

u32 tga_header_get_id_length(const tga_header *h) { return get8(h->bytes, 0); }
u32 tga_header_get_colour_map_type(const tga_header *h) { return get8(h->bytes, 1); }
u32 tga_header_get_image_type(const tga_header *h) { return get8(h->bytes, 2); }
u32 tga_header_get_colour_map_first(const tga_header *h) { return get16(h->bytes, 3); }
u32 tga_header_get_colour_map_length(const tga_header *h) { return get16(h->bytes, 5); }
u32 tga_header_get_colour_map_entry_size(const tga_header *h) { return get8(h->bytes, 7); }
u32 tga_header_get_x_origin(const tga_header *h) { return get16(h->bytes, 8); }
u32 tga_header_get_y_origin(const tga_header *h) { return get16(h->bytes, 10); }
u32 tga_header_get_width(const tga_header *h) { return get16(h->bytes, 12); }
u32 tga_header_get_height(const tga_header *h) { return get16(h->bytes, 14); }
u32 tga_header_get_pixel_depth(const tga_header *h) { return get8(h->bytes, 16); }
u32 tga_header_get_descriptor(const tga_header *h) { return get8(h->bytes, 17); }
void tga_header_set_id_length(tga_header *h, u32 v) { set8(h->bytes, 0, v); }
void tga_header_set_colour_map_type(tga_header *h, u32 v) { set8(h->bytes, 1, v); }
void tga_header_set_image_type(tga_header *h, u32 v) { set8(h->bytes, 2, v); }
void tga_header_set_colour_map_first(tga_header *h, u32 v) { set16(h->bytes, 3, v); }
void tga_header_set_colour_map_length(tga_header *h, u32 v) { set16(h->bytes, 5, v); }
void tga_header_set_colour_map_entry_size(tga_header *h, u32 v) { set8(h->bytes, 7, v); }
void tga_header_set_x_origin(tga_header *h, u32 v) { set16(h->bytes, 8, v); }
void tga_header_set_y_origin(tga_header *h, u32 v) { set16(h->bytes, 10, v); }
void tga_header_set_width(tga_header *h, u32 v) { set16(h->bytes, 12, v); }
void tga_header_set_height(tga_header *h, u32 v) { set16(h->bytes, 14, v); }
void tga_header_set_pixel_depth(tga_header *h, u32 v) { set8(h->bytes, 16, v); }
void tga_header_set_descriptor(tga_header *h, u32 v) { set8(h->bytes, 17, v); }

void tga_header_set_alpha_bits(tga_header *h, u32 bits) {
  invariant(bits < 16);
  h->bytes[17] = (u8)((h->bytes[17] & ~0x0Fu) | bits);
}

void tga_header_set_origin(tga_header *h, u32 origin) {
  invariant(origin < 4);
  h->bytes[17] = (u8)((h->bytes[17] & ~0x30u) | origin << 4);
}

bool tga_header_is_colour_mapped(const tga_header *h) { return (h->bytes[2] & 3) == tga_type_colour_mapped; }
bool tga_header_is_true_colour(const tga_header *h) { return (h->bytes[2] & 3) == tga_type_true_colour; }
bool tga_header_is_grey(const tga_header *h) { return (h->bytes[2] & 3) == tga_type_grey; }
bool tga_header_is_rle(const tga_header *h) { return (h->bytes[2] & tga_type_rle) != 0; }
u32 tga_header_bytes_per_pixel(const tga_header *h) { return tga_header_get_pixel_depth(h) / 8; }

void tga_header_init(tga_header *h, u32 width, u32 height, u32 bytes_per_pixel, u32 image_type) {
  memset(h, 0, sizeof(*h));
  tga_header_set_width(h, width);
  tga_header_set_height(h, height);
  tga_header_set_pixel_depth(h, bytes_per_pixel * 8);
  tga_header_set_image_type(h, image_type);
  tga_header_set_alpha_bits(h, bytes_per_pixel == 4 ? 8 : 0);
}

static const char tga_signature[] = "TRUEVISION-XFILE";

u32 tga_footer_get_extension_offset(const tga_footer *f) { return get32(f->bytes, 0); }
u32 tga_footer_get_developer_offset(const tga_footer *f) { return get32(f->bytes, 4); }
void tga_footer_set_extension_offset(tga_footer *f, u32 v) { set32(f->bytes, 0, v); }
void tga_footer_set_developer_offset(tga_footer *f, u32 v) { set32(f->bytes, 4, v); }

void tga_footer_init(tga_footer *f) {
  memset(f, 0, sizeof(*f));
  memcpy(f->bytes + 8, tga_signature, 16);
  f->bytes[24] = '.';
}

bool tga_footer_is_valid(const tga_footer *f) {
  return memcmp(f->bytes + 8, tga_signature, 16) == 0 && f->bytes[24] == '.';
}

// ---- Sizes -----------------------------------------------------------------------------------

u64 tga_file_size(u32 width, u32 height, u32 bytes_per_pixel) {
  return (u64)width * height * bytes_per_pixel + TGA_HEADER_SIZE + TGA_FOOTER_SIZE;
}

u64 tga_file_size_from_header(const tga_header *h) {
  return tga_file_size(tga_header_get_width(h), tga_header_get_height(h), tga_header_bytes_per_pixel(h));
}

u64 tga_pixel_data_offset(const tga_header *h) {
  u32 entry_bits = tga_header_get_colour_map_entry_size(h);
  u64 map_bytes = 0;
  if (tga_header_get_colour_map_type(h) != 0) {
    if (entry_bits % 8) return 0;
    map_bytes = (u64)(entry_bits / 8) * tga_header_get_colour_map_length(h);
  }
  return TGA_HEADER_SIZE + tga_header_get_id_length(h) + map_bytes;
}

u64 tga_footer_offset(u64 file_size) { return file_size >= TGA_FOOTER_SIZE ? file_size - TGA_FOOTER_SIZE : 0; }

bool tga_file_init(u8 *file, u64 file_size, u32 width, u32 height, u32 bytes_per_pixel, u32 image_type) {
  if (file_size < tga_file_size(width, height, bytes_per_pixel)) return false;
  tga_header h;
  tga_header_init(&h, width, height, bytes_per_pixel, image_type);
  memcpy(file, h.bytes, TGA_HEADER_SIZE);
  tga_footer f;
  tga_footer_init(&f);
  memcpy(file + TGA_HEADER_SIZE + (u64)width * height * bytes_per_pixel, f.bytes, TGA_FOOTER_SIZE);
  return true;
}

// ---- Pixels ----------------------------------------------------------------------------------

void image_swap_red_blue(u8 *pixels, u32 width, u32 height, u32 bytes_per_pixel) {
  if (bytes_per_pixel != 3 && bytes_per_pixel != 4) return;
  u64 n = (u64)width * height;
  for (u64 i = 0; i < n; i++, pixels += bytes_per_pixel) {
    u8 t = pixels[0];
    pixels[0] = pixels[2];
    pixels[2] = t;
  }
}

u64 tga_rle_encode(const u8 *pixels, u8 *output, u32 width, u32 height, u32 bytes_per_pixel) {
  u32 bpp = bytes_per_pixel;
  u64 size = 0;
  for (u64 y = 0; y < height; y++) {
    const u8 *row = pixels + y * width * bpp;
    u32 x = 0;
    auto same = [&](u32 a, u32 b) { return memcmp(row + (u64)a * bpp, row + (u64)b * bpp, bpp) == 0; };
    while (x < width) {
      if (x + 1 < width && same(x, x + 1)) {
        u32 count = 2;
        while (count < 128 && x + count < width && same(x, x + count)) count++;
        if (output) {
          output[size] = (u8)((count - 1) | 0x80);
          memcpy(output + size + 1, row + (u64)x * bpp, bpp);
        }
        size += 1 + bpp;
        x += count;
      } else {
        u32 count = 1;
        while (count < 128 && x + count < width && !(x + count + 1 < width && same(x + count, x + count + 1))) {
          count++;
        }
        if (output) {
          output[size] = (u8)(count - 1);
          memcpy(output + size + 1, row + (u64)x * bpp, (u64)count * bpp);
        }
        size += 1 + (u64)count * bpp;
        x += count;
      }
    }
  }
  return size;
}

static u8 *pixel_put(u8 *out, const u8 *pixel, u32 bpp, bool expand) {
  memcpy(out, pixel, bpp);
  out += bpp;
  if (expand) *out++ = 255;
  return out;
}

u32 tga_rle_decode(const u8 *packets, u64 packet_bytes, u8 *output, u32 width, u32 height, u32 bytes_per_pixel,
                   u32 expand_to_4, u64 *consumed) {
  u32 bpp = bytes_per_pixel;
  bool expand = expand_to_4 && bpp == 3;
  u64 remaining = (u64)width * height;
  u64 at = 0;
  u8 *out = output;
  u32 result = tga_error_none;
  while (remaining) {
    if (at >= packet_bytes) {
      result = tga_error_truncated_data;
      break;
    }
    u8 header = packets[at++];
    u64 count = (u64)(header & 0x7F) + 1;
    if (count > remaining) {
      result = tga_error_rle_overrun;
      break;
    }
    u64 payload = header & 0x80 ? bpp : count * bpp;
    if (payload > packet_bytes - at) {
      result = tga_error_truncated_data;
      break;
    }
    if (header & 0x80) {
      for (u64 i = 0; i < count; i++) out = pixel_put(out, packets + at, bpp, expand);
    } else {
      for (u64 i = 0; i < count; i++) out = pixel_put(out, packets + at + i * bpp, bpp, expand);
    }
    at += payload;
    remaining -= count;
  }
  if (consumed) *consumed = at;
  return result;
}

// ---- Files -----------------------------------------------------------------------------------

u32 tga_write(buffer path, u8 *pixels, u32 width, u32 height, u32 bytes_per_pixel, u32 is_rgb) {
  if (bytes_per_pixel < 1 || bytes_per_pixel > 4 || width > 0xFFFF || height > 0xFFFF) return 0;
  tga_header h;
  tga_header_init(&h, width, height, bytes_per_pixel, bytes_per_pixel == 1 ? tga_type_grey : tga_type_true_colour);
  tga_footer f;
  tga_footer_init(&f);
  u64 pixel_bytes = (u64)width * height * bytes_per_pixel;
  bool swap = is_rgb && bytes_per_pixel > 2;
  if (swap) image_swap_red_blue(pixels, width, height, bytes_per_pixel);
  u32 error = 0;
  platform_file file = file_open(path, 1, 1, &error);
  if (file_handle_is_valid(file)) {
    file_write_at(file, 0, TGA_HEADER_SIZE, h.bytes, &error);
    file_write_at(file, TGA_HEADER_SIZE, pixel_bytes, pixels, &error);
    file_write_at(file, TGA_HEADER_SIZE + pixel_bytes, TGA_FOOTER_SIZE, f.bytes, &error);
    if (!file_close(file, &error)) file_error_set_reason(&error, file_error_close_invalid, errno);
  }
  if (swap) image_swap_red_blue(pixels, width, height, bytes_per_pixel);
  return error == 0 ? 1 : 0;
}

void tga_read(const u8 *bytes, u64 size, buffer *arena, u32 expand_to_4, tga_image *image, u32 *error) {
  if (*error) return;
  *image = tga_image{};
  if (size < TGA_HEADER_SIZE) {
    *error = tga_error_truncated_header;
    return;
  }
  tga_header h;
  memcpy(h.bytes, bytes, TGA_HEADER_SIZE);
  u32 type = tga_header_get_image_type(&h);
  // Only true colour and grey, raw or run-length: no other bit may be set.
  if ((type & ~(u32)(3 | tga_type_rle)) != 0 || !(tga_header_is_true_colour(&h) || tga_header_is_grey(&h))) {
    *error = tga_error_unsupported_type;
    return;
  }
  u32 depth = tga_header_get_pixel_depth(&h);
  if (depth != 8 && depth != 16 && depth != 24 && depth != 32) {
    *error = tga_error_depth;
    return;
  }
  u32 width = tga_header_get_width(&h), height = tga_header_get_height(&h);
  if (width == 0 || height == 0) {
    *error = tga_error_size;
    return;
  }
  u64 offset = tga_pixel_data_offset(&h);
  if (offset == 0) {
    *error = tga_error_colour_map;
    return;
  }
  if (offset > size) {
    *error = tga_error_truncated_data;
    return;
  }
  u32 bpp = depth / 8;
  bool expand = expand_to_4 && bpp == 3;
  u64 pixel_count = (u64)width * height;
  u64 available = size - offset;
  // Checked before anything is reserved: a forged size must not claim memory the bytes cannot
  // fill. A run-length packet of 1 + bpp bytes makes at most 128 pixels.
  if (tga_header_is_rle(&h) ? pixel_count > available / (1 + bpp) * 128 + 128 : pixel_count * bpp > available) {
    *error = tga_error_truncated_data;
    return;
  }
  u32 out_bpp = expand ? 4 : bpp;
  buffer_mark mark = buffer_mark_begin(arena);
  u8 *pixels = (u8 *)buffer_push_array_bytes(arena, out_bpp, pixel_count, 8);
  if (!pixels) {
    buffer_mark_rollback(&mark);
    *error = tga_error_out_of_memory;
    return;
  }
  const u8 *data = bytes + offset;
  if (tga_header_is_rle(&h)) {
    u32 e = tga_rle_decode(data, available, pixels, width, height, bpp, expand, nullptr);
    if (e) {
      buffer_mark_rollback(&mark);
      *error = e;
      return;
    }
  } else if (expand) {
    u8 *out = pixels;
    for (u64 i = 0; i < pixel_count; i++) out = pixel_put(out, data + i * 3, 3, true);
  } else {
    memcpy(pixels, data, pixel_count * bpp);
  }
  buffer_mark_take(&mark);
  image->header = h;
  image->width = width;
  image->height = height;
  image->bytes_per_pixel = out_bpp;
  image->pixels = pixels;
}

// ---- Packet dump -----------------------------------------------------------------------------

static void text_bytes(buffer *out, const u8 *bytes, u32 n) {
  for (u32 i = 0; i < n; i++) {
    buffer_push_unsigned(out, bytes[i], 0, ' ', format_hex | format_no_prefix | format_hex_min_2 | format_hex_upper);
  }
}

u32 tga_rle_dump(buffer path) {
  u32 error = 0;
  buffer file = file_read_all(path, 0, &error);
  if (error) return 0;
  u32 ok = 0;
  if (file.used >= TGA_HEADER_SIZE) {
    tga_header h;
    memcpy(h.bytes, file.data, TGA_HEADER_SIZE);
    u32 bpp = tga_header_bytes_per_pixel(&h);
    u32 width = tga_header_get_width(&h);
    u64 begin = tga_pixel_data_offset(&h);
    u64 end = file.used;
    if (file.used >= TGA_HEADER_SIZE + TGA_FOOTER_SIZE) {
      tga_footer f;
      memcpy(f.bytes, file.data + tga_footer_offset(file.used), TGA_FOOTER_SIZE);
      if (tga_footer_is_valid(&f)) end = tga_footer_offset(file.used);
    }
    if (bpp >= 1 && bpp <= 4 && begin && begin <= end) {
      // Each input byte becomes at most three characters, and each packet (at least 2 bytes)
      // adds at most a 40-character prefix.
      buffer text = memory_alloc((end - begin) * 24 + 64, nullptr);
      if (text.data) {
        buffer out = buffer_make(text.size, 0, text.data);
        u64 x = 0, y = 0;
        for (u64 at = begin; at < end;) {
          u8 header = file.data[at];
          u32 count = (header & 0x7Fu) + 1;
          bool run = header & 0x80;
          u64 payload = run ? bpp : (u64)count * bpp;
          if (payload > end - at - 1) break;
          buffer_push_u8(&out, '(', 1);
          buffer_push_unsigned(&out, x, 0, ' ', 0);
          buffer_push_string(&out, string_lit(", "), 1);
          buffer_push_unsigned(&out, y, 0, ' ', 0);
          buffer_push_string(&out, run ? string_lit(") RLE ") : string_lit(") RAW "), 1);
          buffer_push_unsigned(&out, count, 0, ' ', 0);
          buffer_push_u8(&out, ' ', 1);
          const u8 *p = file.data + at + 1;
          if (run) {
            text_bytes(&out, p, bpp);
          } else {
            for (u32 i = 0; i < count; i++) {
              text_bytes(&out, p + (u64)i * bpp, bpp);
              buffer_push_u8(&out, ' ', 1);
            }
          }
          buffer_push_u8(&out, '\n', 1);
          at += 1 + payload;
          x += count;
          if (x >= width) {
            x = 0;
            y++;
          }
        }
        buffer stem = path_without_extension(path.data, path.used);
        u8 name[FILE_PATH_AREA_SIZE];
        static const char suffix[] = "_hex.txt";
        if (stem.used + sizeof(suffix) <= sizeof(name)) {
          memcpy(name, stem.data, stem.used);
          memcpy(name + stem.used, suffix, sizeof(suffix) - 1);
          file_write_all(string_from_bytes(name, stem.used + sizeof(suffix) - 1), text.data, out.used, 1, &error);
          ok = error == 0;
        }
        memory_free(&text);
      }
    }
  }
  file_content_free(&file);
  return ok;
}
