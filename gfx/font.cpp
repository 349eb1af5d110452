// Font collections: glyph records, the kerning cache and the atlas, rebuilt together from the
// code-point list. The one place stb_truetype and stb_rect_pack are compiled.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#define STB_RECT_PACK_IMPLEMENTATION
#include <stb/stb_rect_pack.h>
#define STB_TRUETYPE_IMPLEMENTATION
#include <stb/stb_truetype.h>
#pragma GCC diagnostic pop
// The implementation part of each header has no guard of its own.
#undef STB_RECT_PACK_IMPLEMENTATION
#undef STB_TRUETYPE_IMPLEMENTATION

#include "gfx/font.h"

#include "core/math.h"
#include "core/strings.h"
#include "platform/files.h"
#include "platform/log.h"
#include "profiler/profiler.h"

#include <fontconfig/fontconfig.h>
#include <string.h>

// ---- Errors ------------------------------------------------------------------------------

static const char *const font_error_names[FONT_ERROR_CODE_COUNT] = {
    "font_error_none",    "font_error_no_match", "font_error_read",
    "font_error_invalid", "font_error_memory",   "font_error_atlas",
};

const char *font_error_name(u32 code) {
  return code < FONT_ERROR_CODE_COUNT ? font_error_names[code] : "font_error_unknown";
}

static void font_set_error(u32 *error, u32 code) {
  if (*error == 0) *error = code;
}

// ---- Base code points --------------------------------------------------------------------

void font_base_codepoints(u32 *out) {
  u32 n = 0;
  for (u32 c = 0x20; c <= 0x7E; ++c) out[n++] = c;
  // Latin-1's upper half without the eight places ISO 8859-15 gives to other letters.
  static const u32 replaced[] = {0xA4, 0xA6, 0xA8, 0xB4, 0xB8, 0xBC, 0xBD, 0xBE};
  for (u32 c = 0xA0; c <= 0xFF; ++c) {
    bool skip = false;
    for (u32 r : replaced) skip |= r == c;
    if (!skip) out[n++] = c;
  }
  static const u32 latin9[] = {0x20AC, 0x160, 0x161, 0x17D, 0x17E, 0x152, 0x153, 0x178, 0xFFFD, 0x2026};
  for (u32 c : latin9) out[n++] = c;
  invariant(n == FONT_BASE_CODEPOINT_COUNT);
}

// ---- Finding font files ------------------------------------------------------------------

// system_reason: what the system said for a file that could not be read (an errno value), or 0.
static void font_log_failure(const char *family, const u8 *path, u32 code, const char *reason, u32 system_reason) {
  buffer line = buffer_make(1024, 0, nullptr);
  u8 bytes[1024];
  line.data = bytes;
  buffer_push_string(&line, string_lit("Font error: "), 1);
  buffer_push_string(&line, string_from_bytes(font_error_name(code), strlen(font_error_name(code))), 1);
  buffer_push_string(&line, string_lit(" for \""), 1);
  u64 family_length = strlen(family);
  if (family_length > 200) family_length = 200;
  buffer_push_string(&line, string_from_bytes(family, family_length), 1);
  buffer_push_string(&line, string_lit("\""), 1);
  if (path) {
    u64 path_length = strlen((const char *)path);
    if (path_length > 600) path_length = 600;
    buffer_push_string(&line, string_lit(": "), 1);
    buffer_push_string(&line, string_from_bytes(path, path_length), 1);
  }
  if (reason) {
    buffer_push_string(&line, string_lit(" ("), 1);
    buffer_push_string(&line, string_from_bytes(reason, strlen(reason)), 1);
    buffer_push_string(&line, string_lit(")"), 1);
  }
  if (system_reason) {
    buffer_push_string(&line, string_lit(": "), 1);
    file_error_reason_push(system_reason, &line);
  }
  buffer_push_string(&line, string_lit("\n"), 1);
  log_append(line.data, line.used);
}

static bool font_path_is_truetype(const u8 *path) {
  u64 n = strlen((const char *)path);
  if (n < 4 || path[n - 4] != '.') return false;
  char e[3] = {(char)(path[n - 3] | 0x20), (char)(path[n - 2] | 0x20), (char)(path[n - 1] | 0x20)};
  return (e[0] == 't' && e[1] == 't' && e[2] == 'f') || (e[0] == 'o' && e[1] == 't' && e[2] == 'f');
}

// Candidates fontconfig ranks for the family, read and validated in its order; the first pass
// takes only faces of the wanted pitch.
// 'W' and 'i' share their advance only on a fixed-pitch face.
static bool font_file_is_fixed_pitch(buffer content) {
  stbtt_fontinfo info;
  if (!font_file_init(&info, content.data, content.used, nullptr)) return false;
  int wide = 0, narrow = 0;
  stbtt_GetCodepointHMetrics(&info, 'W', &wide, nullptr);
  stbtt_GetCodepointHMetrics(&info, 'i', &narrow, nullptr);
  return wide == narrow;
}

buffer font_load_file(const char *family, u32 monospace, buffer *path_out, u32 *error) {
  if (*error) return buffer{};
  buffer result{};
  if (!FcInit()) {
    font_log_failure(family, nullptr, font_error_no_match, "fontconfig did not start", 0);
    font_set_error(error, font_error_no_match);
    return result;
  }
  FcPattern *pattern = FcPatternCreate();
  FcFontSet *set = nullptr;
  if (pattern) {
    FcPatternAddString(pattern, FC_FAMILY, (const FcChar8 *)family);
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    FcPatternAddBool(pattern, FC_OUTLINE, FcTrue);
    if (monospace) FcPatternAddInteger(pattern, FC_SPACING, FC_MONO);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult ignored;
    set = FcFontSort(nullptr, pattern, FcFalse, nullptr, &ignored);
  }
  // Reading a file costs; a handful of candidates per pass is plenty.
  const u32 tries_per_pass = 8;
  for (u32 pass = 0; pass < 2 && set && !result.data; ++pass) {
    u32 tries = 0;
    for (int i = 0; i < set->nfont && tries < tries_per_pass; ++i) {
      FcPattern *face = set->fonts[i];
      FcChar8 *file = nullptr;
      int index = 0, spacing = FC_PROPORTIONAL;
      if (FcPatternGetString(face, FC_FILE, 0, &file) != FcResultMatch || !file) continue;
      FcPatternGetInteger(face, FC_INDEX, 0, &index);
      FcPatternGetInteger(face, FC_SPACING, 0, &spacing);
      if (index != 0 || !font_path_is_truetype(file)) continue;
      bool fixed = spacing == FC_MONO || spacing == FC_CHARCELL;
      if (pass == 0 && fixed != (monospace != 0)) continue;
      ++tries;
      u32 read_error = 0;
      buffer content = file_read_all_bytes(file, strlen((const char *)file), 0, &read_error);
      if (read_error) {
        font_log_failure(family, file, font_error_read, file_error_name(read_error), file_error_reason());
        continue;
      }
      const char *reason = nullptr;
      if (!font_file_validate(content.data, content.used, &reason)) {
        font_log_failure(family, file, font_error_invalid, reason, 0);
        file_content_free(&content);
        continue;
      }
      // fontconfig's spacing is not always set on monospaced faces (some carry a few wide
      // glyphs), so the first pass also checks the pitch on the face's own advances.
      if (pass == 0 && font_file_is_fixed_pitch(content) != (monospace != 0)) {
        file_content_free(&content);
        continue;
      }
      result = content;
      if (path_out) {
        u64 n = strlen((const char *)file) + 1;
        buffer_push_copy(path_out, file, n, 1);
      }
      break;
    }
  }
  if (set) FcFontSetDestroy(set);
  if (pattern) FcPatternDestroy(pattern);
  if (!result.data) {
    font_log_failure(family, nullptr, font_error_no_match, nullptr, 0);
    font_set_error(error, font_error_no_match);
  }
  return result;
}

void font_system_shutdown() { FcFini(); }

// ---- Collections -------------------------------------------------------------------------

font_collection *font_collection_create(u64 arena_bytes, u32 *error) {
  if (*error) return nullptr;
  buffer block = memory_alloc(arena_bytes, nullptr);
  font_collection *collection = block.data ? buffer_push_struct(&block, font_collection) : nullptr;
  if (!collection) {
    memory_free(&block);
    font_set_error(error, font_error_memory);
    return nullptr;
  }
  memory_zero(collection, sizeof *collection);
  collection->arena = block;
  collection->mark = block.used;
  return collection;
}

void font_collection_destroy(font_collection *collection) {
  if (!collection) return;
  buffer block = collection->arena;
  memory_free(&block);
}

font *font_collection_add_font(font_collection *collection, buffer file, f32 pixel_size, u32 *codepoints,
                               u32 count, u32 monospace, u32 *error) {
  if (*error) return nullptr;
  invariant(collection && file.data && (codepoints || count == 0));
  // A rebuild rolls back to the mark, so fonts can only be added before glyphs exist.
  invariant(collection->arena.used == collection->mark);
  stbtt_fontinfo info;
  const char *reason = nullptr;
  if (!font_file_init(&info, file.data, file.used, &reason)) {
    font_set_error(error, font_error_invalid);
    return nullptr;
  }
  font *f = buffer_push_struct(&collection->arena, font);
  if (!f) {
    font_set_error(error, font_error_memory);
    return nullptr;
  }
  memory_zero(f, sizeof *f);
  // Records are consecutive: a font pushed with padding before it would break the array.
  invariant(!collection->fonts || f == collection->fonts + collection->font_count);
  if (!collection->fonts) collection->fonts = f;
  collection->font_count += 1;
  f->info = info;
  f->file = file;
  f->pixel_size = pixel_size;
  f->codepoints = codepoints;
  f->codepoint_count = count;
  f->monospace = monospace;
  f->fallback_glyph = FONT_NO_GLYPH;
  f->scale = stbtt_ScaleForPixelHeight(&f->info, pixel_size);
  stbtt_GetFontVMetrics(&f->info, &f->ascent, &f->descent, &f->line_gap);
  collection->mark = collection->arena.used;
  return f;
}

void font_collection_set_codepoints(font_collection *collection, u32 *codepoints, u32 count) {
  for (u32 i = 0; i < collection->font_count; ++i) {
    collection->fonts[i].codepoints = codepoints;
    collection->fonts[i].codepoint_count = count;
  }
}

void font_collection_watch_unlisted(font_collection *collection, font_unlisted_fn *fn, void *user) {
  for (u32 i = 0; i < collection->font_count; ++i) {
    collection->fonts[i].unlisted = fn;
    collection->fonts[i].unlisted_user = user;
  }
}

// Sorts the shared list (the caller's array) and fills the lookup of code points near the first.
static void font_sort_codepoints(font *f) {
  sort_u32_ascending(f->codepoints, f->codepoint_count);
  memory_zero(f->direct, sizeof f->direct);
  f->first_codepoint = f->codepoint_count ? f->codepoints[0] : 0;
  f->first_index_after_direct = 0;
  for (u32 i = 0; i < f->codepoint_count; ++i) {
    u32 c = f->codepoints[i];
    if (c - f->first_codepoint > 255) {
      f->first_index_after_direct = i;
      break;
    }
    f->direct[c - f->first_codepoint] = (u8)i;
  }
}

// Glyphs of one font and its empty kerning cache; false when the arena has no room.
static bool font_build_glyphs(font_collection *collection, font *f) {
  buffer *arena = &collection->arena;
  u32 n = f->codepoint_count;
  f->glyphs = (font_glyph *)buffer_push_array_bytes(arena, sizeof(font_glyph), n, 4);
  if (!f->glyphs && n) return false;
  font_sort_codepoints(f);
  // A list without U+FFFD still needs something to show for unlisted code points.
  f->fallback_glyph = 0;
  for (u32 j = 0; j < n; ++j) {
    font_glyph *g = &f->glyphs[j];
    memory_zero(g, sizeof *g);
    g->glyph_index = (u32)stbtt_FindGlyphIndex(&f->info, (int)f->codepoints[j]);
    if (f->codepoints[j] == 0xFFFD) f->fallback_glyph = j;
  }
  f->kerning = nullptr;
  if (f->info.kern || f->info.gpos) {
    f->kerning = buffer_push_struct(arena, font_kerning_cache);
    if (!f->kerning) return false;
    f->kerning->used = 0;
    f->kerning->misses = 0;
    memset(f->kerning->slots, 0xFF, sizeof f->kerning->slots);
  }
  return true;
}

// The two budgets a rebuild can find full, each logged the first time in the run.
static void font_log_budget(const font_collection *collection, u32 code) {
  static u32 reported;
  u32 bit = code == font_error_atlas ? 1u : code == font_error_memory ? 2u : 0u;
  if (!bit || (reported & bit)) return;
  reported |= bit;
  u8 bytes[256];
  buffer line = buffer_make(sizeof bytes, 0, bytes);
  u32 count = collection->font_count ? collection->fonts[0].codepoint_count : 0;
  if (code == font_error_atlas) {
    buffer_push_string(&line, string_lit("Font atlas: the glyphs of "), 1);
    buffer_push_unsigned(&line, count, 0, ' ', 0);
    buffer_push_string(&line, string_lit(" code points do not all fit an atlas of "), 1);
    buffer_push_unsigned(&line, FONT_ATLAS_MAX_SIDE, 0, ' ', 0);
    buffer_push_string(&line, string_lit(" by "), 1);
    buffer_push_unsigned(&line, FONT_ATLAS_MAX_SIDE, 0, ' ', 0);
    buffer_push_string(&line, string_lit(" pixels; those left out draw as nothing (reported once).\n"), 1);
  } else {
    buffer_push_string(&line, string_lit("Font collection: its arena of "), 1);
    buffer_push_unsigned(&line, collection->arena.size, 0, ' ', 0);
    buffer_push_string(&line, string_lit(" bytes cannot hold the glyphs of "), 1);
    buffer_push_unsigned(&line, count, 0, ' ', 0);
    buffer_push_string(&line, string_lit(" code points; no text is drawn (reported once).\n"), 1);
  }
  log_append(line.data, line.used);
}

// Every font without glyphs or kerning cache, as after a rebuild that found no room.
static void font_forget_glyphs(font_collection *collection) {
  for (u32 i = 0; i < collection->font_count; ++i) {
    collection->fonts[i].glyphs = nullptr;
    collection->fonts[i].kerning = nullptr;
    collection->fonts[i].fallback_glyph = FONT_NO_GLYPH;
  }
}

void font_build_collection(font_collection *collection, u32 *error) {
  PROFILE_ZONE(zone_font_build_collection);
  if (*error) return;
  buffer *arena = &collection->arena;
  arena->used = collection->mark;
  collection->atlas = nullptr;
  collection->atlas_size = collection->atlas_size_again = 0;
  collection->atlas_width = collection->atlas_height = 0;
  font_forget_glyphs(collection);
  bool ok = true;
  for (u32 i = 0; ok && i < collection->font_count; ++i) {
    invariant(collection->fonts[i].codepoints && collection->fonts[i].codepoint_count > 0);
    ok = font_build_glyphs(collection, &collection->fonts[i]);
  }
  if (!ok) {
    arena->used = collection->mark;
    font_forget_glyphs(collection);
    font_set_error(error, font_error_memory);
    font_log_budget(collection, font_error_memory);
    return;
  }
  font_build_atlas(collection, error);
  font_log_budget(collection, *error);
  if (*error == font_error_memory) {
    arena->used = collection->mark;
    font_forget_glyphs(collection);
  }
}

#define FONT_PACK_PADDING 1
#define FONT_PACK_OVERSAMPLING 2

// The area the packer's boxes cover, as stb_truetype sizes them (the face's missing glyph once
// per font): no atlas with less room can hold them, so the doubling may start past those sizes.
static u64 font_pack_area(const font_collection *collection) {
  u64 area = 0;
  for (u32 i = 0; i < collection->font_count; ++i) {
    const font *f = &collection->fonts[i];
    if (!f->glyphs) continue;
    f32 scale = stbtt_ScaleForPixelHeight(&f->info, f->pixel_size) * FONT_PACK_OVERSAMPLING;
    bool missing_counted = false;
    for (u32 j = 0; j < f->codepoint_count; ++j) {
      u32 glyph = f->glyphs[j].glyph_index;
      if (glyph == 0) {
        if (missing_counted) continue;
        missing_counted = true;
      }
      int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
      stbtt_GetGlyphBitmapBoxSubpixel(&f->info, (int)glyph, scale, scale, 0, 0, &x0, &y0, &x1, &y1);
      s64 w = (s64)x1 - x0 + FONT_PACK_PADDING + FONT_PACK_OVERSAMPLING - 1;
      s64 h = (s64)y1 - y0 + FONT_PACK_PADDING + FONT_PACK_OVERSAMPLING - 1;
      if (w > 0 && h > 0) area += (u64)w * (u64)h;
    }
  }
  return area;
}

// Packs every font at width by height; true when every glyph found room. Glyphs that did not keep
// zero boxes and metrics.
static bool font_pack(font_collection *collection, u32 width, u32 height, u32 *error) {
  buffer *arena = &collection->arena;
  stbtt_pack_context context;
  if (!stbtt_PackBegin(&context, collection->atlas, (int)width, (int)height, 0, FONT_PACK_PADDING, nullptr)) {
    font_set_error(error, font_error_memory);
    return false;
  }
  bool all = true;
  bool last_chance = width >= FONT_ATLAS_MAX_SIDE && height >= FONT_ATLAS_MAX_SIDE;
  for (u32 i = 0; i < collection->font_count && (all || last_chance); ++i) {
    font *f = &collection->fonts[i];
    u32 n = f->codepoint_count;
    buffer_mark mark = buffer_mark_begin(arena);
    stbtt_packedchar *packed = buffer_push_array(arena, stbtt_packedchar, n);
    stbrp_rect *rects = buffer_push_array(arena, stbrp_rect, n);
    if (!packed || !rects) {
      buffer_mark_rollback(&mark);
      font_set_error(error, font_error_memory);
      all = false;
      break;
    }
    memory_zero(packed, sizeof(stbtt_packedchar) * n);
    stbtt_pack_range range{};
    range.font_size = f->pixel_size;
    range.array_of_unicode_codepoints = (int *)f->codepoints;
    range.num_chars = (int)n;
    range.chardata_for_range = packed;
    stbtt_PackSetOversampling(&context, FONT_PACK_OVERSAMPLING, FONT_PACK_OVERSAMPLING);
    s32 count = stbtt_PackFontRangesGatherRects(&context, &f->info, &range, 1, rects);
    // A glyph whose outline box is inverted (its maximum below its minimum) would give the packer
    // a negative size, which walks it off the end of its list: such a glyph is drawn as nothing.
    for (s32 k = 0; k < count; ++k) {
      rects[k].id = rects[k].w < 0 || rects[k].h < 0;
      if (rects[k].id) rects[k].w = rects[k].h = 0;
    }
    stbtt_PackFontRangesPackRects(&context, rects, count);
    for (s32 k = 0; k < count; ++k) all = all && rects[k].was_packed;
    // Its answer also counts the glyphs drawn as nothing, which found their room.
    stbtt_PackFontRangesRenderIntoRects(&context, &f->info, &range, 1, rects);
    f32 scale = stbtt_ScaleForPixelHeight(&f->info, f->pixel_size);
    for (s32 k = 0; k < count; ++k) {
      if (!rects[k].id) continue;
      // Nothing to draw, but the pen still moves by the glyph's own advance.
      s32 advance = 0, bearing = 0;
      stbtt_GetGlyphHMetrics(&f->info, (int)f->glyphs[k].glyph_index, &advance, &bearing);
      memory_zero(&packed[k], sizeof packed[k]);
      packed[k].xadvance = scale * (f32)advance;
    }
    if (all || last_chance) {
      for (u32 j = 0; j < n; ++j) {
        font_glyph *g = &f->glyphs[j];
        const stbtt_packedchar *p = &packed[j];
        g->left = p->xoff;
        g->bottom = -p->yoff2;
        g->right = p->xoff2;
        g->top = -p->yoff;
        g->advance = p->xadvance;
        // A glyph that found no room keeps an empty box at the origin.
        if (p->x1 <= p->x0 || p->y1 <= p->y0) {
          g->x0 = g->y0 = g->x1 = g->y1 = 0;
          continue;
        }
        u32 h = p->y1 - p->y0;
        g->x0 = p->x0;
        g->x1 = p->x1;
        g->y0 = (u16)(height - p->y0 - h);
        g->y1 = (u16)(g->y0 + h);
      }
    }
    buffer_mark_rollback(&mark);
  }
  stbtt_PackEnd(&context);
  return all;
}

void font_build_atlas(font_collection *collection, u32 *error) {
  PROFILE_ZONE(zone_font_build_atlas);
  if (*error) return;
  buffer *arena = &collection->arena;
  u32 width = FONT_ATLAS_START_SIDE, height = FONT_ATLAS_START_SIDE;
  // Every pack that fails costs nearly a whole one, so sizes too small by area alone are skipped.
  u64 area = font_pack_area(collection);
  while ((u64)(width - FONT_PACK_PADDING) * (height - FONT_PACK_PADDING) < area &&
         !(width >= FONT_ATLAS_MAX_SIDE && height >= FONT_ATLAS_MAX_SIDE)) {
    if (height < width) height *= 2;
    else width *= 2;
  }
  for (;;) {
    u64 before = arena->used;
    u64 size = (u64)width * height;
    collection->atlas = (u8 *)buffer_push(arena, size, 1);
    if (!collection->atlas) {
      collection->atlas_size = collection->atlas_size_again = 0;
      collection->atlas_width = collection->atlas_height = 0;
      font_set_error(error, font_error_memory);
      return;
    }
    collection->atlas_size = collection->atlas_size_again = size;
    collection->atlas_width = (u16)width;
    collection->atlas_height = (u16)height;
    u32 pack_error = 0;
    bool all = font_pack(collection, width, height, &pack_error);
    if (pack_error) {
      arena->used = before;
      collection->atlas = nullptr;
      collection->atlas_size = collection->atlas_size_again = 0;
      collection->atlas_width = collection->atlas_height = 0;
      font_set_error(error, pack_error);
      return;
    }
    if (all) break;
    if (width >= FONT_ATLAS_MAX_SIDE && height >= FONT_ATLAS_MAX_SIDE) {
      font_set_error(error, font_error_atlas);
      break;
    }
    arena->used = before;
    if (height < width) height *= 2;
    else width *= 2;
  }
  // stb packs top-down; the texture wants row 0 at the bottom.
  u8 *atlas = collection->atlas;
  for (u32 k = 0; k < height / 2; ++k) {
    u8 *a = atlas + (u64)k * width, *b = atlas + (u64)(height - 1 - k) * width;
    for (u32 x = 0; x < width; ++x) {
      u8 t = a[x];
      a[x] = b[x];
      b[x] = t;
    }
  }
}

// ---- Default collection ------------------------------------------------------------------

font_collection *font_collection_create_default(f32 pixel_size, u32 *codepoints, u32 count, u32 *error) {
  if (*error) return nullptr;
  if (pixel_size == 0) pixel_size = FONT_DEFAULT_PIXEL_SIZE;
  u32 mono_error = 0, sans_error = 0;
  buffer mono = font_load_file("Consolas", 1, nullptr, &mono_error);
  buffer sans = font_load_file("Verdana", 0, nullptr, &sans_error);
  if (!mono.data && !sans.data) {
    font_set_error(error, font_error_no_match);
    return nullptr;
  }
  // One face serves both when the other cannot be found; the files are freed with the collection.
  buffer first = mono.data ? mono : sans, second = sans.data ? sans : mono;
  font_collection *collection = font_collection_create(FONT_COLLECTION_DEFAULT_ARENA, error);
  if (!collection) {
    file_content_free(&mono);
    file_content_free(&sans);
    return nullptr;
  }
  // The files' records come first so destroy_default can find them.
  buffer *files = buffer_push_array(&collection->arena, buffer, 2);
  files[0] = mono;
  files[1] = sans;
  if (!codepoints) {
    codepoints = buffer_push_array(&collection->arena, u32, FONT_BASE_CODEPOINT_COUNT);
    font_base_codepoints(codepoints);
    count = FONT_BASE_CODEPOINT_COUNT;
  }
  collection->mark = collection->arena.used;
  font_collection_add_font(collection, first, pixel_size, codepoints, count, 1, error);
  font_collection_add_font(collection, second, pixel_size, codepoints, count, 0, error);
  font_build_collection(collection, error);
  if (*error && *error != font_error_atlas) {
    font_collection_destroy_default(collection);
    return nullptr;
  }
  return collection;
}

void font_collection_destroy_default(font_collection *collection) {
  if (!collection) return;
  buffer *files = (buffer *)(collection + 1);
  file_content_free(&files[0]);
  file_content_free(&files[1]);
  font_collection_destroy(collection);
}

// ---- Lookups -----------------------------------------------------------------------------

u32 font_glyph_index(const font *f, u32 c) {
  u32 offset = c - f->first_codepoint;
  if (offset < 256) {
    u32 i = f->direct[offset];
    if (i < f->codepoint_count && f->codepoints[i] == c) return i;
  } else {
    u32 lo = f->first_index_after_direct, hi = f->codepoint_count;
    while (lo < hi) {
      u32 mid = lo + (hi - lo) / 2;
      u32 m = f->codepoints[mid];
      if (m == c) return mid;
      if (m < c) lo = mid + 1;
      else hi = mid;
    }
  }
  // Text meets characters no list foresaw (a character reference, a typed or logged one): the
  // watcher adds them for the next build, so the miss lasts one frame.
  if (f->unlisted) f->unlisted(f->unlisted_user, c);
  return f->fallback_glyph;
}

font_glyph *font_get_glyph(const font *f, u32 c) {
  if (!f->glyphs) return nullptr;
  return &f->glyphs[font_glyph_index(f, c)];
}

// Every glyph drawn or measured looks a pair up here, so the slot costs one multiplication;
// consecutive glyph numbers still spread over the whole table.
#define FONT_KERNING_CACHE_BITS 14
static_assert(FONT_KERNING_CACHE_SLOTS == 1u << FONT_KERNING_CACHE_BITS, "the slot has the table's bits");
static u32 font_kerning_slot(u32 pair) { return (u32)hash_fibonacci_slot(pair, FONT_KERNING_CACHE_BITS); }

s32 font_get_kerning(const font *f, const font_glyph *glyph, u32 next) {
  font_kerning_cache *cache = f->kerning;
  if (!cache || !f->glyphs) return 0;
  u32 j = font_glyph_index(f, next);
  // Unlisted code points draw the fallback glyph but were never kerned.
  if (j >= f->codepoint_count || f->codepoints[j] != next) return 0;
  u32 first = glyph->glyph_index, second = f->glyphs[j].glyph_index;
  // Glyph numbers are below 65535, so a pair is never all ones, the empty slot's mark.
  u32 pair = (first & 0xFFFF) << 16 | (second & 0xFFFF);
  u32 slot = font_kerning_slot(pair);
  for (;;) {
    u64 entry = cache->slots[slot];
    if (entry == ~0ull) break;
    if ((u32)(entry >> 32) == pair) return (s32)(u32)entry;
    slot = (slot + 1) & (FONT_KERNING_CACHE_SLOTS - 1);
  }
  s32 kern = stbtt_GetGlyphKernAdvance(&f->info, (int)first, (int)second);
  cache->misses++;
  if (cache->used >= FONT_KERNING_CACHE_SLOTS / 4 * 3) {
    memset(cache->slots, 0xFF, sizeof cache->slots);
    cache->used = 0;
    slot = font_kerning_slot(pair);
  }
  cache->slots[slot] = (u64)pair << 32 | (u32)kern;
  cache->used++;
  return kern;
}

f32 font_line_height(const font *f, u32 with_gap) {
  return (f32)(f->ascent - f->descent + (with_gap ? f->line_gap : 0)) * f->scale;
}

f32 font_get_descent(const font *f) { return (f32)-f->descent * f->scale; }

font_handle font_get(const font_collection *collection, u32 index) {
  if (!collection || index >= collection->font_count) return font_handle{};
  font *f = &collection->fonts[index];
  font_handle h;
  h.f = f;
  h.index = index;
  h.line_height = font_line_height(f, 0);
  h.descent = font_get_descent(f);
  h.line_height_minus_descent = h.line_height - h.descent;
  return h;
}
