// Font files are input: before stb_truetype reads a file, every byte it can be led to read is
// shown to lie inside the file. stb_truetype trusts each offset and count it finds, so the checks
// below follow the reads it makes: the table directory, the tables it finds at start, the one
// character map it picks, glyph locations and outlines (composite glyphs included, which it
// follows recursively), horizontal metrics for every glyph the character map can name, and the
// two kerning sources.
#include "gfx/font.h"

namespace {

u16 read_u16(const u8 *p) { return (u16)(p[0] << 8 | p[1]); }
s16 read_s16(const u8 *p) { return (s16)read_u16(p); }
u32 read_u32(const u8 *p) { return (u32)p[0] << 24 | (u32)p[1] << 16 | (u32)p[2] << 8 | p[3]; }

// [offset, offset + length) lies inside size bytes.
bool fits(u64 size, u64 offset, u64 length) { return offset <= size && length <= size - offset; }

struct font_table {
  u32 offset;
  u32 length;
};

struct font_check {
  const u8 *data;
  u64 size;
  font_table cmap, head, hhea, hmtx, loca, glyf, maxp, kern, gpos;
  u32 glyph_count;
  u32 long_metrics;
  u32 long_loca;
  const char *reason;
  // Per glyph during the outline walk: 0 not seen, 1 being walked (a cycle when met again), else
  // 2 + the most vertices stb_truetype can make of it.
  u32 *glyph_state;
  u64 work;  // lookups of the kerning walk, bounded so a forged table cannot make it slow
};

bool refuse(font_check *c, const char *reason) {
  if (!c->reason) c->reason = reason;
  return false;
}

// stb_truetype takes the first record with the tag.
font_table find_table(const font_check *c, const char *tag) {
  u32 count = read_u16(c->data + 4);
  for (u32 i = 0; i < count; ++i) {
    const u8 *record = c->data + 12 + 16 * i;
    if (record[0] == (u8)tag[0] && record[1] == (u8)tag[1] && record[2] == (u8)tag[2] &&
        record[3] == (u8)tag[3])
      return font_table{read_u32(record + 8), read_u32(record + 12)};
  }
  return font_table{0, 0};
}

bool check_directory(font_check *c) {
  if (c->size < 12) return refuse(c, "shorter than a table directory");
  if (c->size > FONT_FILE_MAX_SIZE) return refuse(c, "larger than the largest font file taken");
  u32 version = read_u32(c->data);
  if (version != 0x00010000u && version != 0x74727565u)  // 'true'
    return refuse(c, "not a single TrueType font");
  u32 count = read_u16(c->data + 4);
  if (!fits(c->size, 12, 16ull * count)) return refuse(c, "table directory beyond the file");
  for (u32 i = 0; i < count; ++i) {
    const u8 *record = c->data + 12 + 16 * i;
    if (!fits(c->size, read_u32(record + 8), read_u32(record + 12)))
      return refuse(c, "table beyond the file");
  }
  c->cmap = find_table(c, "cmap");
  c->head = find_table(c, "head");
  c->hhea = find_table(c, "hhea");
  c->hmtx = find_table(c, "hmtx");
  c->loca = find_table(c, "loca");
  c->glyf = find_table(c, "glyf");
  c->maxp = find_table(c, "maxp");
  c->kern = find_table(c, "kern");
  c->gpos = find_table(c, "GPOS");
  // A zero offset is how stb_truetype says "absent".
  if (!c->cmap.offset || !c->head.offset || !c->hhea.offset || !c->hmtx.offset || !c->loca.offset ||
      !c->glyf.offset || !c->maxp.offset)
    return refuse(c, "a required table is missing (cmap, head, hhea, hmtx, loca, glyf, maxp)");
  if (c->head.length < 54) return refuse(c, "head table too short");
  if (c->hhea.length < 36) return refuse(c, "hhea table too short");
  if (c->maxp.length < 6) return refuse(c, "maxp table too short");
  const u8 *d = c->data;
  u32 loca_format = read_u16(d + c->head.offset + 50);
  if (loca_format > 1) return refuse(c, "unknown glyph location format");
  c->long_loca = loca_format;
  // The pixel scale divides by the ascent minus the descent.
  if (read_s16(d + c->hhea.offset + 4) - read_s16(d + c->hhea.offset + 6) <= 0)
    return refuse(c, "ascent not above descent");
  c->glyph_count = read_u16(d + c->maxp.offset + 4);
  if (c->glyph_count == 0) return refuse(c, "no glyphs");
  c->long_metrics = read_u16(d + c->hhea.offset + 34);
  if (c->long_metrics == 0) return refuse(c, "no horizontal metrics");
  u64 metrics = 4ull * c->long_metrics;
  if (c->glyph_count > c->long_metrics) metrics += 2ull * (c->glyph_count - c->long_metrics);
  if (c->hmtx.length < metrics) return refuse(c, "hmtx table too short for the glyphs");
  if (c->loca.length < (c->glyph_count + 1ull) * (c->long_loca ? 4 : 2))
    return refuse(c, "loca table too short for the glyphs");
  return true;
}

// ---- Character map -----------------------------------------------------------------------

bool check_cmap(font_check *c) {
  const u8 *d = c->data;
  u32 cmap = c->cmap.offset;
  if (c->cmap.length < 4) return refuse(c, "cmap table too short");
  u32 count = read_u16(d + cmap + 2);
  if (4ull + 8ull * count > c->cmap.length) return refuse(c, "cmap records beyond the table");
  // The same choice stb_truetype makes: the last Unicode subtable listed. The sum wraps as its
  // does.
  u32 map = 0;
  for (u32 i = 0; i < count; ++i) {
    const u8 *record = d + cmap + 4 + 8 * i;
    u32 platform = read_u16(record), encoding = read_u16(record + 2);
    if (platform == 0 || (platform == 3 && (encoding == 1 || encoding == 10)))
      map = cmap + read_u32(record + 4);
  }
  if (map == 0) return refuse(c, "no Unicode character map");
  u64 size = c->size;
  if (!fits(size, map, 4)) return refuse(c, "character map beyond the file");
  u32 glyphs = c->glyph_count;
  u32 format = read_u16(d + map);
  if (format == 0) {
    u32 length = read_u16(d + map + 2);
    if (length > 6) {
      if (!fits(size, map, length)) return refuse(c, "character map beyond the file");
      for (u32 i = 6; i < length; ++i)
        if (d[map + i] >= glyphs) return refuse(c, "character map names a missing glyph");
    }
    return true;
  }
  if (format == 6) {
    if (!fits(size, map, 10)) return refuse(c, "character map beyond the file");
    u32 n = read_u16(d + map + 8);
    if (!fits(size, map + 10ull, 2ull * n)) return refuse(c, "character map beyond the file");
    for (u32 i = 0; i < n; ++i)
      if (read_u16(d + map + 10 + 2 * i) >= glyphs) return refuse(c, "character map names a missing glyph");
    return true;
  }
  if (format == 4) {
    if (!fits(size, map, 14)) return refuse(c, "character map beyond the file");
    u32 segments = read_u16(d + map + 6) >> 1;
    if (segments == 0) return refuse(c, "character map without segments");
    if (!fits(size, map, 16ull + 8ull * segments)) return refuse(c, "character map beyond the file");
    // The binary search steps by the header's own range fields; every step it can take must stay
    // on a segment.
    u64 search_range = read_u16(d + map + 8) >> 1, selector = read_u16(d + map + 10);
    u64 range_shift = read_u16(d + map + 12) >> 1;
    u64 reach = 2 * range_shift;
    for (u64 k = 1; k <= selector && k < 20; ++k) reach += 2 * (search_range >> k);
    if (reach > 2ull * (segments - 1)) return refuse(c, "character map search leaves its segments");
    u64 ends = map + 14ull, starts = map + 16ull + 2ull * segments;
    u64 deltas = starts + 2ull * segments, range_offsets = deltas + 2ull * segments;
    u32 previous_end = 0;
    for (u32 i = 0; i < segments; ++i) {
      u32 end = read_u16(d + ends + 2 * i), start = read_u16(d + starts + 2 * i);
      u32 delta = read_u16(d + deltas + 2 * i), offset = read_u16(d + range_offsets + 2 * i);
      // Disjoint ascending segments also bound the walk below to 65536 code points.
      if (start > end || (i > 0 && start <= previous_end)) return refuse(c, "character map segments out of order");
      previous_end = end;
      if (offset == 0) {
        if (((start + delta) & 0xFFFF) + (end - start) >= glyphs)
          return refuse(c, "character map names a missing glyph");
        continue;
      }
      u64 first = range_offsets + 2ull * i + offset;
      if (!fits(size, first, 2ull * (end - start + 1))) return refuse(c, "character map beyond the file");
      for (u32 k = 0; k <= end - start; ++k)
        if (read_u16(d + first + 2 * k) >= glyphs) return refuse(c, "character map names a missing glyph");
    }
    return true;
  }
  if (format == 12 || format == 13) {
    if (!fits(size, map, 16)) return refuse(c, "character map beyond the file");
    u64 groups = read_u32(d + map + 12);
    if (!fits(size, map + 16ull, 12ull * groups)) return refuse(c, "character map beyond the file");
    for (u64 i = 0; i < groups; ++i) {
      const u8 *g = d + map + 16 + 12 * i;
      u64 start = read_u32(g), end = read_u32(g + 4), glyph = read_u32(g + 8);
      if (start > end) continue;  // never matches
      u64 last = format == 12 ? glyph + (end - start) : glyph;
      if (last >= glyphs) return refuse(c, "character map names a missing glyph");
    }
    return true;
  }
  return refuse(c, "character map format not supported");
}

// ---- Glyph outlines ----------------------------------------------------------------------

#define FONT_COMPOSITE_MAX_DEPTH 16
// Vertices stb_truetype may allocate for one glyph, composites summed.
#define FONT_GLYPH_MAX_VERTICES (1u << 18)

bool glyph_range(const font_check *c, u32 glyph, u64 *begin, u64 *end) {
  const u8 *loca = c->data + c->loca.offset;
  u64 a, b;
  if (c->long_loca) {
    a = read_u32(loca + 4 * glyph);
    b = read_u32(loca + 4 * glyph + 4);
  } else {
    a = 2ull * read_u16(loca + 2 * glyph);
    b = 2ull * read_u16(loca + 2 * glyph + 2);
  }
  *begin = a;
  *end = b;
  return a <= b && b <= c->glyf.length;
}

// Vertices of a simple glyph, or 0 on refusal (a simple glyph always makes at least one).
u64 check_simple_glyph(font_check *c, const u8 *g, u64 length, u32 contours) {
  if (length < 12ull + 2ull * contours) return refuse(c, "glyph outline beyond its data"), 0;
  s32 previous = -1;
  for (u32 k = 0; k < contours; ++k) {
    s32 end = read_u16(g + 10 + 2 * k);
    if (end <= previous) return refuse(c, "glyph contours out of order"), 0;
    previous = end;
  }
  u32 points = (u32)previous + 1;
  u32 last_start = contours > 1 ? read_u16(g + 10 + 2 * (contours - 2)) + 1u : 0u;
  u64 pos = 12ull + 2ull * contours + read_u16(g + 10 + 2 * contours);
  u64 coordinate_bytes = 0;
  u32 flags = 0, repeat = 0;
  for (u32 i = 0; i < points; ++i) {
    if (repeat == 0) {
      if (pos >= length) return refuse(c, "glyph flags beyond its data"), 0;
      flags = g[pos++];
      if (flags & 8) {
        if (pos >= length) return refuse(c, "glyph flags beyond its data"), 0;
        repeat = g[pos++];
      }
    } else {
      --repeat;
    }
    coordinate_bytes += (flags & 2) ? 1 : (flags & 16) ? 0 : 2;
    coordinate_bytes += (flags & 4) ? 1 : (flags & 32) ? 0 : 2;
    // A last contour of one off-curve point makes stb_truetype look one point past its array.
    if (i == last_start && last_start == points - 1 && !(flags & 1))
      return refuse(c, "glyph ends with a lone off-curve point"), 0;
  }
  if (coordinate_bytes > length - pos) return refuse(c, "glyph coordinates beyond its data"), 0;
  return (u64)points + 2ull * contours;
}

u64 check_glyph(font_check *c, u32 glyph, u32 depth);

u64 check_composite_glyph(font_check *c, const u8 *g, u64 length, u32 depth) {
  u64 pos = 10, vertices = 0;
  for (;;) {
    if (!fits(length, pos, 4)) return refuse(c, "composite glyph beyond its data"), 0;
    u32 flags = read_u16(g + pos), part = read_u16(g + pos + 2);
    pos += 4;
    // Components placed by matching points are not handled by stb_truetype (it asserts).
    if (!(flags & 2)) return refuse(c, "composite glyph placed by points"), 0;
    pos += (flags & 1) ? 4 : 2;
    pos += (flags & 8) ? 2 : (flags & 64) ? 4 : (flags & 128) ? 8 : 0;
    if (pos > length) return refuse(c, "composite glyph beyond its data"), 0;
    // A component that is not a glyph of the font adds nothing in stb_truetype.
    if (part < c->glyph_count) {
      u64 n = check_glyph(c, part, depth + 1);
      if (c->reason) return 0;
      vertices += n;
      if (vertices > FONT_GLYPH_MAX_VERTICES) return refuse(c, "composite glyph too large"), 0;
    }
    if (!(flags & 32)) return vertices;
  }
}

// The most vertices the glyph can make; 0 for an empty glyph or on refusal (c->reason set).
u64 check_glyph(font_check *c, u32 glyph, u32 depth) {
  u32 state = c->glyph_state[glyph];
  if (state == 1) return refuse(c, "composite glyph contains itself"), 0;
  if (state >= 2) return state - 2;
  if (depth > FONT_COMPOSITE_MAX_DEPTH) return refuse(c, "composite glyphs nested too deeply"), 0;
  u64 begin, end;
  if (!glyph_range(c, glyph, &begin, &end)) return refuse(c, "glyph beyond the glyf table"), 0;
  u64 vertices = 0;
  if (begin != end) {
    u64 length = end - begin;
    if (length < 10) return refuse(c, "glyph header beyond its data"), 0;
    const u8 *g = c->data + c->glyf.offset + begin;
    s32 contours = read_s16(g);
    c->glyph_state[glyph] = 1;
    if (contours > 0) vertices = check_simple_glyph(c, g, length, (u32)contours);
    else if (contours < 0) vertices = check_composite_glyph(c, g, length, depth);
    if (c->reason) return 0;
  }
  c->glyph_state[glyph] = (u32)vertices + 2;
  return vertices;
}

bool check_glyphs(font_check *c) {
  buffer state = memory_alloc(4ull * c->glyph_count, nullptr);
  if (!state.data) return refuse(c, "no memory for the glyph walk");
  c->glyph_state = (u32 *)state.data;
  for (u32 g = 0; g < c->glyph_count && !c->reason; ++g) check_glyph(c, g, 0);
  memory_free(&state);
  c->glyph_state = nullptr;
  return c->reason == nullptr;
}

// ---- Kerning -----------------------------------------------------------------------------
// A kerning source that fails its check is switched off; the font is still used without it.

bool kern_usable(const font_check *c) {
  if (!c->kern.offset) return false;
  const u8 *k = c->data + c->kern.offset;
  u64 length = c->kern.length;
  if (length < 10) return false;
  if (read_u16(k + 2) < 1 || read_u16(k + 8) != 1) return true;  // read no further
  if (length < 12) return false;
  return 18ull + 6ull * read_u16(k + 10) <= length;
}

#define FONT_GPOS_WORK_LIMIT (1ull << 22)

// The largest index the coverage table can give, -1 for none; false when it does not fit.
bool gpos_coverage(font_check *c, u64 table, s64 *largest) {
  const u8 *d = c->data + c->gpos.offset;
  u64 length = c->gpos.length;
  *largest = -1;
  if (!fits(length, table, 4)) return false;
  u32 format = read_u16(d + table), count = read_u16(d + table + 2);
  if (format == 1) {
    if (!fits(length, table + 4, 2ull * count)) return false;
    *largest = (s64)count - 1;
  } else if (format == 2) {
    if (!fits(length, table + 4, 6ull * count)) return false;
    c->work += count;
    for (u32 i = 0; i < count; ++i) {
      const u8 *r = d + table + 4 + 6 * i;
      u32 start = read_u16(r), end = read_u16(r + 2), first = read_u16(r + 4);
      if (end >= start && (s64)(first + (end - start)) > *largest) *largest = first + (end - start);
    }
  }
  return true;
}

bool gpos_class_table(const font_check *c, u64 table) {
  const u8 *d = c->data + c->gpos.offset;
  u64 length = c->gpos.length;
  if (!fits(length, table, 2)) return false;
  u32 format = read_u16(d + table);
  if (format == 1) return fits(length, table, 6) && fits(length, table + 6, 2ull * read_u16(d + table + 4));
  if (format == 2) return fits(length, table, 4) && fits(length, table + 4, 6ull * read_u16(d + table + 2));
  return true;
}

bool gpos_pair_subtable(font_check *c, u64 table) {
  const u8 *d = c->data + c->gpos.offset;
  u64 length = c->gpos.length;
  if (!fits(length, table, 8)) return false;
  u32 format = read_u16(d + table);
  s64 largest;
  if (!gpos_coverage(c, table + read_u16(d + table + 2), &largest)) return false;
  if (read_u16(d + table + 4) != 4 || read_u16(d + table + 6) != 0) return true;  // not read further
  if (format == 1) {
    if (!fits(length, table, 10)) return false;
    if (largest < 0) return true;
    u32 sets = read_u16(d + table + 8);
    if (!fits(length, table + 10, 2ull * ((u64)largest + 1))) return false;
    c->work += (u64)largest + 1;
    if (c->work > FONT_GPOS_WORK_LIMIT) return false;
    for (s64 i = 0; i <= largest; ++i) {
      u64 set = table + read_u16(d + table + 10 + 2 * i);
      if (!fits(length, set, 2)) return false;
      if (i < sets && !fits(length, set + 2, 4ull * read_u16(d + set))) return false;
    }
    return true;
  }
  if (format == 2) {
    if (!fits(length, table, 16)) return false;
    if (!gpos_class_table(c, table + read_u16(d + table + 8))) return false;
    if (!gpos_class_table(c, table + read_u16(d + table + 10))) return false;
    u64 classes = (u64)read_u16(d + table + 12) * read_u16(d + table + 14);
    return fits(length, table + 16, 2 * classes);
  }
  return true;
}

bool gpos_usable(font_check *c) {
  if (!c->gpos.offset) return false;
  const u8 *d = c->data + c->gpos.offset;
  u64 length = c->gpos.length;
  if (length < 4) return false;
  if (read_u16(d) != 1 || read_u16(d + 2) != 0) return true;  // read no further
  if (length < 10) return false;
  u64 list = read_u16(d + 8);
  if (!fits(length, list, 2)) return false;
  u32 lookups = read_u16(d + list);
  if (!fits(length, list + 2, 2ull * lookups)) return false;
  for (u32 i = 0; i < lookups; ++i) {
    u64 lookup = list + read_u16(d + list + 2 + 2 * i);
    if (!fits(length, lookup, 6)) return false;
    if (read_u16(d + lookup) != 2) continue;
    u32 subtables = read_u16(d + lookup + 4);
    if (!fits(length, lookup + 6, 2ull * subtables)) return false;
    for (u32 s = 0; s < subtables; ++s) {
      if (++c->work > FONT_GPOS_WORK_LIMIT) return false;
      if (!gpos_pair_subtable(c, lookup + read_u16(d + lookup + 6 + 2 * s))) return false;
    }
  }
  return true;
}

bool font_check_all(font_check *c, const u8 *data, u64 size) {
  *c = font_check{};
  c->data = data;
  c->size = data ? size : 0;
  return check_directory(c) && check_cmap(c) && check_glyphs(c);
}

}  // namespace

bool font_file_validate(const u8 *data, u64 size, const char **reason) {
  font_check c;
  bool ok = font_check_all(&c, data, size);
  if (reason) *reason = c.reason;
  return ok;
}

bool font_file_init(stbtt_fontinfo *info, const u8 *data, u64 size, const char **reason) {
  font_check c;
  bool ok = font_check_all(&c, data, size);
  if (reason) *reason = c.reason;
  if (!ok) return false;
  bool kern = kern_usable(&c);
  bool gpos = gpos_usable(&c);
  if (!stbtt_InitFont(info, data, stbtt_GetFontOffsetForIndex(data, 0))) {
    if (reason) *reason = "refused by stb_truetype";
    return false;
  }
  if (!kern) info->kern = 0;
  if (!gpos) info->gpos = 0;
  return true;
}
