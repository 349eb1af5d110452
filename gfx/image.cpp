// Area-averaging resize, block copies and the icon atlas.
#include "gfx/image.h"

#include "profiler/profiler.h"

#include <math.h>
#include <string.h>

// ---- Resize ----------------------------------------------------------------------------------

// Along one axis, the source pixels [*first, *end) that target pixel t covers, whose edges in
// source pixels are [*from, *to); never empty. (Kept in locals: a record here costs the loops
// below a sixteenth more instructions.)
static inline void resize_span(u64 t, f32 scale, u64 source_size, f32 *from, f32 *to, u64 *first, u64 *end) {
  *from = (f32)t * scale, *to = (f32)(t + 1) * scale;
  *first = (u64)*from;
  *end = (u64)ceilf(*to);
  if (*end > source_size) *end = source_size;
  if (*first >= *end) *first = *end - 1;
}
// How much of source pixel i lies inside the span [from, to), as a share of the span's length.
static inline f32 resize_span_weight(f32 from, f32 to, u64 i, f32 scale) {
  f32 high = to < (f32)(i + 1) ? to : (f32)(i + 1);
  f32 low = from > (f32)i ? from : (f32)i;
  return (high - low) / scale;
}

void image_resize(const u8 *source, u32 source_width, u32 source_height, u8 *target, u32 *target_width,
                  u32 *target_height, u32 channels, u32 swap_red_blue, f32 gamma, u32 *error) {
  PROFILE_ZONE(zone_image_resize);
  if (*error) return;
  u64 tw = *target_width, th = *target_height;
  if (tw == 0 && th == 0) {
    *error = image_resize_error_no_target_size;
    return;
  }
  // The derived size divides by the source size, and an empty source has nothing to average.
  if (source_width == 0 || source_height == 0) {
    *error = image_resize_error_size;
    return;
  }
  if (th == 0) th = (u64)source_height * tw / source_width;
  if (tw == 0) tw = (u64)source_width * th / source_height;
  if (tw > IMAGE_MAX_SIDE || th > IMAGE_MAX_SIDE) {
    *error = image_resize_error_size;
    return;
  }
  *target_width = (u32)tw;
  *target_height = (u32)th;
  if (!source || !target) return;
  if (channels == 0 || channels > 4) {
    *error = image_resize_error_channels;
    return;
  }
  if (tw == 0 || th == 0) return;

  f32 scale_x = (f32)source_width / (f32)tw;
  f32 scale_y = (f32)source_height / (f32)th;
  u64 source_row = (u64)source_width * channels;
  u8 *out = target;
  for (u64 ty = 0; ty < th; ty++) {
    f32 y0, y1;
    u64 sy_first, sy_end;
    resize_span(ty, scale_y, source_height, &y0, &y1, &sy_first, &sy_end);
    for (u64 tx = 0; tx < tw; tx++) {
      f32 x0, x1;
      u64 sx_first, sx_end;
      resize_span(tx, scale_x, source_width, &x0, &x1, &sx_first, &sx_end);
      f32 sum[4] = {0, 0, 0, 0};
      for (u64 sy = sy_first; sy < sy_end; sy++) {
        f32 wy = resize_span_weight(y0, y1, sy, scale_y);
        if (wy <= 0) continue;
        const u8 *row = source + sy * source_row;
        for (u64 sx = sx_first; sx < sx_end; sx++) {
          f32 w = resize_span_weight(x0, x1, sx, scale_x) * wy;
          if (w <= 0) continue;
          const u8 *p = row + sx * channels;
          for (u32 c = 0; c < channels; c++) sum[c] += (f32)p[c] * w;
        }
      }
      for (u32 c = 0; c < channels; c++) {
        f32 s = sum[c];
        if (gamma != 1.0f) s = 255.0f * powf(s / 255.0f, gamma);
        f32 v = floorf(s + 0.5f);
        out[c] = v <= 0 ? 0 : v >= 255 ? 255 : (u8)v;
      }
      if (swap_red_blue && channels > 2) {
        u8 t = out[0];
        out[0] = out[2];
        out[2] = t;
      }
      out += channels;
    }
  }
}

// ---- Blit ------------------------------------------------------------------------------------

void image_blit(const u8 *source, u8 *target, u32 width, u32 height, u32 channels, u32 source_row_length,
                u32 target_row_length) {
  u64 row_bytes = (u64)width * channels;
  for (u64 y = 0; y < height; y++) {
    memcpy(target + y * target_row_length * channels, source + y * source_row_length * channels, row_bytes);
  }
}

u64 image_blit_clipped(const u8 *source, u32 source_width, u32 source_height, u8 *target, u32 target_width,
                       u32 target_height, s64 x, s64 y, u32 channels) {
  // The part of the source that lands inside the target, in source pixels.
  s64 sx0 = x < 0 ? -x : 0, sy0 = y < 0 ? -y : 0;
  s64 sx1 = (s64)source_width, sy1 = (s64)source_height;
  if (x + sx1 > (s64)target_width) sx1 = (s64)target_width - x;
  if (y + sy1 > (s64)target_height) sy1 = (s64)target_height - y;
  if (sx0 >= sx1 || sy0 >= sy1) return 0;
  u64 w = (u64)(sx1 - sx0), h = (u64)(sy1 - sy0);
  const u8 *from = source + ((u64)sy0 * source_width + (u64)sx0) * channels;
  u8 *to = target + ((u64)(y + sy0) * target_width + (u64)(x + sx0)) * channels;
  image_blit(from, to, (u32)w, (u32)h, channels, source_width, target_width);
  return w * h;
}

// ---- Icon atlas ------------------------------------------------------------------------------

image_atlas image_atlas_make(const image_atlas_source *sources, u32 count, u32 width, u32 height, u32 channels,
                             u32 capacity) {
  image_atlas a = {};
  u64 source_bytes = (u64)count * sizeof(image_atlas_source);
  u64 entry_bytes = (u64)capacity * sizeof(image_atlas_entry);
  u64 pixel_bytes = (u64)width * height * channels;
  a.lists = memory_alloc(source_bytes + entry_bytes, nullptr);
  a.pixel_block = memory_alloc(pixel_bytes, nullptr);
  if (!a.pixel_block.data || (source_bytes + entry_bytes && !a.lists.data)) {
    memory_free(&a.lists);
    memory_free(&a.pixel_block);
    return a;
  }
  a.sources = (image_atlas_source *)a.lists.data;
  if (source_bytes) memcpy(a.sources, sources, source_bytes);
  a.source_count = count;
  a.entries = (image_atlas_entry *)(a.lists.data + source_bytes);
  a.capacity = capacity;
  a.pixels = a.pixel_block.data;
  a.width = width;
  a.height = height;
  a.channels = channels;
  return a;
}

void image_atlas_release(image_atlas *atlas) {
  memory_free(&atlas->lists);
  memory_free(&atlas->pixel_block);
  *atlas = image_atlas{};
}

// Shelf placement: images go left to right; one that would pass the right edge starts a new
// shelf above the tallest image of the finished one.
struct shelf_cursor {
  u64 x, y, shelf_height;
};

static void shelf_place(shelf_cursor *c, u32 width, u32 height, u32 atlas_width, u64 *x, u64 *y) {
  if (c->x + width > atlas_width) {
    c->x = 0;
    c->y += c->shelf_height;
    c->shelf_height = 0;
  }
  *x = c->x;
  *y = c->y;
  c->x += width;
  if (height > c->shelf_height) c->shelf_height = height;
}

static void entry_set_uv(image_atlas *atlas, image_atlas_entry *e, const image_atlas_source *s) {
  f32 w = (f32)atlas->width, h = (f32)atlas->height;
  e->s0 = (f32)e->x / w;
  e->t0 = (f32)e->y / h;
  e->s1 = (f32)(e->x + e->width) / w;
  e->t1 = (f32)(e->y + e->height) / h;
  if (s && s->flip_x) {
    f32 t = e->s0;
    e->s0 = e->s1;
    e->s1 = t;
  }
  if (s && s->flip_y) {
    f32 t = e->t0;
    e->t0 = e->t1;
    e->t1 = t;
  }
}

static const image_atlas_source *atlas_source(const image_atlas *atlas, u32 key) {
  for (u32 i = 0; i < atlas->source_count; i++) {
    if (atlas->sources[i].key == key) return &atlas->sources[i];
  }
  return nullptr;
}

static bool fits(u64 x, u64 y, u32 width, u32 height, u32 atlas_width, u32 atlas_height) {
  return x + width <= atlas_width && y + height <= atlas_height;
}

// Doubles one side and places every entry again in entry order, then the new image. Nothing
// changes when the new layout would not hold them all.
static bool atlas_grow(image_atlas *atlas, u32 width, u32 height, u64 *new_x, u64 *new_y) {
  if ((u64)width * 2 > atlas->width || (u64)height * 2 > atlas->height) return false;
  u64 grown_w = atlas->width, grown_h = atlas->height;
  if (grown_w == grown_h) grown_w *= 2;
  else grown_h *= 2;
  if (grown_w > IMAGE_MAX_SIDE || grown_h > IMAGE_MAX_SIDE) return false;
  shelf_cursor cursor = {};
  u64 x, y;
  for (u32 i = 0; i < atlas->entry_count; i++) {
    image_atlas_entry *e = &atlas->entries[i];
    shelf_place(&cursor, e->width, e->height, (u32)grown_w, &x, &y);
    if (!fits(x, y, e->width, e->height, (u32)grown_w, (u32)grown_h)) return false;
  }
  shelf_place(&cursor, width, height, (u32)grown_w, new_x, new_y);
  if (!fits(*new_x, *new_y, width, height, (u32)grown_w, (u32)grown_h)) return false;

  buffer block = memory_alloc(grown_w * grown_h * atlas->channels, nullptr);
  if (!block.data) return false;
  cursor = {};
  for (u32 i = 0; i < atlas->entry_count; i++) {
    image_atlas_entry *e = &atlas->entries[i];
    shelf_place(&cursor, e->width, e->height, (u32)grown_w, &x, &y);
    const u8 *from = atlas->pixels + ((u64)e->y * atlas->width + e->x) * atlas->channels;
    u8 *to = block.data + (y * grown_w + x) * atlas->channels;
    image_blit(from, to, e->width, e->height, atlas->channels, atlas->width, (u32)grown_w);
    e->x = (u32)x;
    e->y = (u32)y;
  }
  memory_free(&atlas->pixel_block);
  atlas->pixel_block = block;
  atlas->pixels = block.data;
  atlas->width = (u32)grown_w;
  atlas->height = (u32)grown_h;
  // Every texture coordinate is relative to the atlas size, so all of them change.
  for (u32 i = 0; i < atlas->entry_count; i++) {
    image_atlas_entry *e = &atlas->entries[i];
    entry_set_uv(atlas, e, atlas_source(atlas, e->key));
  }
  return true;
}

image_uv image_atlas_get(image_atlas *atlas, u32 key, u32 width, u32 height) {
  shelf_cursor cursor = {};
  u64 x = 0, y = 0;
  for (u32 i = 0; i < atlas->entry_count; i++) {
    image_atlas_entry *e = &atlas->entries[i];
    if (e->key == key && e->width == width && e->height == height) return image_uv{e->s0, e->t0, e->s1, e->t1};
    shelf_place(&cursor, e->width, e->height, atlas->width, &x, &y);
  }
  const image_atlas_source *source = atlas_source(atlas, key);
  if (!source || !atlas->pixels || width == 0 || height == 0 || atlas->entry_count >= atlas->capacity) {
    return image_uv{};
  }
  // Resized first, so a source that cannot be resized changes nothing.
  buffer scratch = memory_alloc((u64)width * height * atlas->channels, nullptr);
  if (!scratch.data) return image_uv{};
  u32 tw = width, th = height, error = 0;
  image_resize(source->pixels, source->width, source->height, scratch.data, &tw, &th, atlas->channels, 0, 1.0f,
               &error);
  image_uv uv = {};
  if (!error) {
    shelf_place(&cursor, width, height, atlas->width, &x, &y);
    bool placed = fits(x, y, width, height, atlas->width, atlas->height) || atlas_grow(atlas, width, height, &x, &y);
    if (placed) {
      image_atlas_entry *e = &atlas->entries[atlas->entry_count++];
      *e = image_atlas_entry{key, (u32)x, (u32)y, width, height, 0, 0, 0, 0};
      image_blit_clipped(scratch.data, width, height, atlas->pixels, atlas->width, atlas->height, (s64)x, (s64)y,
                         atlas->channels);
      entry_set_uv(atlas, e, source);
      uv = image_uv{e->s0, e->t0, e->s1, e->t1};
    }
  }
  memory_free(&scratch);
  return uv;
}
