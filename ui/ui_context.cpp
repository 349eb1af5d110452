// Ids, the style table with its default styles, the context and the icon atlas.
#include <float.h>
#include <math.h>
#include <string.h>

#include "core/strings.h"
#include "platform/dates.h"
#include "ui/ui.h"
#include "ui/ui_internal.h"
#include "ui/ui_gfx.h"

const char *const ui_id_modifier_names[ui_id_modifier_count] = {
    "ui_id_modifier_none",
    "ui_id_modifier_scrollbar_horizontal_decrement",
    "ui_id_modifier_scrollbar_horizontal_shaft_decrement",
    "ui_id_modifier_scrollbar_horizontal_elevator",
    "ui_id_modifier_scrollbar_horizontal_shaft_increment",
    "ui_id_modifier_scrollbar_horizontal_increment",
    "ui_id_modifier_scrollbar_vertical_decrement",
    "ui_id_modifier_scrollbar_vertical_shaft_decrement",
    "ui_id_modifier_scrollbar_vertical_elevator",
    "ui_id_modifier_scrollbar_vertical_shaft_increment",
    "ui_id_modifier_scrollbar_vertical_increment",
    "ui_id_modifier_scrollable_content",
};

const char *const ui_size_kind_names[ui_size_kind_count] = {
    "none",  "pixels",      "string",      "font_height", "parent", "content", "percentage", "child",
    "reference_x", "reference_y", "left", "fit_x", "fit_y", "fit", "flow",
};

static void push_cstring(buffer *out, const char *s) { buffer_push_bytes(out, s, strlen(s)); }

void ui_id_to_string(buffer *out, ui_id id, const char *const *names, const u32 *name_lengths,
                     u32 name_count) {
  if (id == UI_ID_NONE) {
    push_cstring(out, "no_id");
    return;
  }
  if (id & UI_ID_FAKE_BIT) push_cstring(out, "fake: ");
  if (id & UI_ID_POPUP_BIT) push_cstring(out, "popup: ");
  u32 modifier = ui_id_modifier_of(id);
  if (modifier != 0) {
    // Modifiers 12 to 15 are never made; print them as numbers rather than read past the table.
    if (modifier < ui_id_modifier_count) push_cstring(out, ui_id_modifier_names[modifier]);
    else buffer_push_unsigned(out, modifier, 0, ' ', 0);
    push_cstring(out, " ");
  }
  u64 base = id & UI_ID_BASE_MASK;
  if (names && base < name_count) {
    buffer_push_bytes(out, names[base], name_lengths ? name_lengths[base] : strlen(names[base]));
  } else {
    buffer_push_unsigned(out, base, 0, ' ', 0);
  }
}

// ---- Styles ------------------------------------------------------------------------------

static const rgba colour_white = {1, 1, 1, 1};
static const rgba colour_g75 = {0.75f, 0.75f, 0.75f, 1};
static const rgba colour_g50 = {0.5f, 0.5f, 0.5f, 1};
static const rgba colour_g375 = {0.375f, 0.375f, 0.375f, 1};
static const rgba colour_g25 = {0.25f, 0.25f, 0.25f, 1};
static const rgba colour_blue = {0, 0.48f, 0.8f, 1};
static const rgba colour_accent = {0.42f, 0.58f, 0.72f, 1};
static const rgba colour_zero = {0, 0, 0, 0};

struct default_style {
  f32 border[4];
  f32 padding[4];
  rgba border_colour[4];
  rgba background_colour[4];
  rgba text_colour[4];
};

#define W colour_white
#define G75 colour_g75
#define G50 colour_g50
#define G375 colour_g375
#define G25 colour_g25
#define B colour_blue
#define A colour_accent
#define Z colour_zero
static const default_style default_styles[17] = {
    {{0, 0, 0, 0}, {0, 0, 0, 0}, {G75, B, B, B}, {G50, G50, G50, G50}, {W, W, W, W}},
    {{1, 1, 1, 1}, {2, 2, 10, 10}, {G75, B, B, B}, {G50, G50, G50, B}, {W, W, W, W}},
    {{1, 1, 1, 1}, {1, 1, 1, 1}, {G75, B, B, B}, {G50, G50, G50, B}, {W, W, W, W}},
    {{2, 2, 2, 2}, {0, 0, 0, 0}, {G50, G75, B, B}, {G50, G75, B, B}, {W, W, W, W}},
    {{1, 1, 1, 1}, {2, 2, 2, 2}, {G75, B, B, B}, {G50, G50, B, B}, {W, W, W, W}},
    {{1, 1, 1, 1}, {2, 2, 2, 2}, {G75, B, B, B}, {G75, G75, B, B}, {W, B, W, W}},
    {{0, 0, 0, 0}, {1, 1, 2, 2}, {G75, B, B, B}, {G25, B, B, B}, {W, W, W, W}},
    {{0, 0, 0, 0}, {1, 1, 2, 2}, {G75, B, B, B}, {B, B, B, B}, {W, W, W, W}},
    {{1, 1, 1, 1}, {2, 2, 10, 10}, {G50, G75, G75, G75}, {G25, G25, G25, G25}, {W, W, W, W}},
    {{1, 1, 1, 1}, {2, 2, 2, 2}, {G75, B, G75, B}, {G50, G50, G50, B}, {W, W, W, W}},
    {{1, 1, 1, 1}, {2, 2, 10, 10}, {G75, B, B, B}, {G50, G50, B, B}, {W, W, W, W}},
    {{0, 0, 0, 0}, {0, 0, 0, 0}, {Z, Z, Z, Z}, {G375, G375, G375, G375}, {Z, Z, Z, Z}},
    {{1, 1, 1, 1}, {2, 2, 2, 2}, {G75, B, B, B}, {G25, G25, G25, G25}, {W, W, W, W}},
    {{1, 1, 1, 1}, {2, 2, 2, 2}, {G75, B, B, B}, {G25, G25, G25, G25}, {W, W, W, W}},
    {{0, 0, 0, 0}, {0, 0, 0, 0}, {G75, B, B, B}, {A, G50, G50, G50}, {W, W, W, W}},
    {{0, 0, 0, 0}, {0, 0, 0, 0}, {G75, B, B, B}, {G75, G50, G50, G50}, {W, W, W, W}},
    {{0, 0, 0, 0}, {0, 0, 0, 0}, {W, W, W, W}, {W, W, W, W}, {W, W, W, W}},
};
#undef W
#undef G75
#undef G50
#undef G375
#undef G25
#undef B
#undef A
#undef Z

void ui_style_table_init(ui_style_table *table) {
  table->scrollbar_thickness = 16;
  table->reserved_2a = 2;
  table->clear_colour = rgba{0.18f, 0.18f, 0.19f, 1};
  table->reserved_2b = 2;
  table->reserved_4 = 4;
  table->dropdown_gap = 1;
  table->selection_colour = colour_g75;
  table->selection_colour_active = colour_accent;
  if (table->records.data) buffer_clear(&table->records);
  else table->records = memory_alloc(UI_STYLE_TABLE_BYTES, nullptr);
  table->first = (ui_style *)(table->records.data + align_up(table->records.used, 4));
  for (u32 i = 0; i < UI_STYLE_DEFAULT_COUNT; i++) {
    ui_style *s = ui_style_push(table, nullptr);
    invariant(s);
    if (i == 0) continue;
    const default_style &d = default_styles[i - 1];
    s->border = v4{d.border[0], d.border[1], d.border[2], d.border[3]};
    s->padding = v4{d.padding[0], d.padding[1], d.padding[2], d.padding[3]};
    for (u32 k = 0; k < 4; k++) {
      s->border_colour[k] = d.border_colour[k];
      s->background_colour[k] = d.background_colour[k];
      s->text_colour[k] = d.text_colour[k];
    }
  }
}

ui_style *ui_style_push(ui_style_table *table, u32 *out_index) {
  ui_style *s = (ui_style *)buffer_push(&table->records, sizeof(ui_style), 4);
  if (!s) return nullptr;
  memory_zero(s, sizeof(ui_style));
  if (out_index) *out_index = (u32)(s - table->first);
  return s;
}

ui_style *ui_style_get(ui_style_table *table, u32 index) {
  if (index == 0 || !table->first) return nullptr;
  u64 used_end = align_up((u64)(buffer_end(table->records) - (u8 *)table->first), 4);
  u64 count = used_end / sizeof(ui_style);
  if (index >= count) return nullptr;
  return table->first + index;
}

// ---- Icons -------------------------------------------------------------------------------
// The bitmaps are drawn once from strokes: coverage of a thick segment, sampled 4 x 4 per pixel.

static u8 icon_bitmaps[3][UI_ICON_SOURCE_SIZE * UI_ICON_SOURCE_SIZE];
static bool icon_bitmaps_made;

static f32 segment_distance(f32 px, f32 py, f32 ax, f32 ay, f32 bx, f32 by) {
  f32 dx = bx - ax, dy = by - ay;
  f32 t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy);
  t = t < 0 ? 0 : (t > 1 ? 1 : t);
  f32 ex = px - (ax + t * dx), ey = py - (ay + t * dy);
  return sqrtf(ex * ex + ey * ey);
}

// Strokes in a y-up 64 x 64 square: (x0, y0, x1, y1) each.
static void icon_draw(u8 *out, const f32 (*strokes)[4], u32 count, f32 half_width) {
  for (u32 y = 0; y < UI_ICON_SOURCE_SIZE; y++) {
    for (u32 x = 0; x < UI_ICON_SOURCE_SIZE; x++) {
      u32 hits = 0;
      for (u32 sy = 0; sy < 4; sy++) {
        for (u32 sx = 0; sx < 4; sx++) {
          f32 px = x + (sx + 0.5f) / 4, py = y + (sy + 0.5f) / 4;
          for (u32 s = 0; s < count; s++) {
            if (segment_distance(px, py, strokes[s][0], strokes[s][1], strokes[s][2], strokes[s][3]) <= half_width) {
              hits++;
              break;
            }
          }
        }
      }
      out[y * UI_ICON_SOURCE_SIZE + x] = (u8)(hits * 255 / 16);
    }
  }
}

static void icon_bitmaps_make() {
  if (icon_bitmaps_made) return;
  static const f32 check[2][4] = {{10, 32, 26, 14}, {26, 14, 54, 50}};
  static const f32 left[2][4] = {{42, 56, 20, 32}, {20, 32, 42, 8}};
  static const f32 down[2][4] = {{8, 42, 32, 20}, {32, 20, 56, 42}};
  icon_draw(icon_bitmaps[0], check, 2, 5.0f);
  icon_draw(icon_bitmaps[1], left, 2, 4.5f);
  icon_draw(icon_bitmaps[2], down, 2, 4.5f);
  icon_bitmaps_made = true;
}

// Area-averaging resize of one-channel coverage.
static void icon_resize(const u8 *source, u32 sw, u32 sh, u8 *target, u32 tw, u32 th) {
  f32 fx = (f32)sw / tw, fy = (f32)sh / th;
  for (u32 ty = 0; ty < th; ty++) {
    f32 y0 = ty * fy, y1 = y0 + fy;
    for (u32 tx = 0; tx < tw; tx++) {
      f32 x0 = tx * fx, x1 = x0 + fx;
      f32 sum = 0;
      for (u32 sy = (u32)y0; sy < sh && sy < y1; sy++) {
        f32 oy = fminf(y1, sy + 1.0f) - fmaxf(y0, (f32)sy);
        if (oy <= 0) continue;
        for (u32 sx = (u32)x0; sx < sw && sx < x1; sx++) {
          f32 ox = fminf(x1, sx + 1.0f) - fmaxf(x0, (f32)sx);
          if (ox <= 0) continue;
          sum += source[sy * sw + sx] * (ox / fx) * (oy / fy);
        }
      }
      f32 v = roundf(sum);
      target[ty * tw + tx] = (u8)(v > 255 ? 255 : v);
    }
  }
}

static void icon_atlas_make(ui_icon_atlas *atlas, u32 width, u32 height) {
  icon_bitmaps_make();
  static const u32 bitmap_of[ui_icon_count] = {0, 1, 1, 2, 2};
  for (u32 i = 0; i < ui_icon_count; i++) {
    atlas->sources[i] = icon_bitmaps[bitmap_of[i]];
    atlas->flip_x[i] = i == ui_icon_chevron_right;
    atlas->flip_y[i] = i == ui_icon_chevron_up;
  }
  atlas->entry_count = 0;
  atlas->memory = memory_alloc((u64)width * height, nullptr);
  atlas->pixels = atlas->memory.data;
  atlas->width = atlas->pixels ? width : 0;
  atlas->height = atlas->pixels ? height : 0;
}

// Places every entry shelf by shelf from (0, 0) into an atlas of the given width; returns the
// height used, and where the next entry of size (w, h) would go.
static u32 icon_atlas_shelves(ui_icon_atlas *atlas, u32 width, bool store, u32 w, u32 *next_x,
                              u32 *next_y, u32 *next_shelf) {
  u32 x = 0, y = 0, shelf = 0;
  for (u32 i = 0; i < atlas->entry_count; i++) {
    ui_icon_entry *e = &atlas->entries[i];
    if (x + e->width > width) {
      x = 0;
      y += shelf;
      shelf = 0;
    }
    if (store) {
      e->x = x;
      e->y = y;
    }
    x += e->width;
    if (e->height > shelf) shelf = e->height;
  }
  if (x + w > width) {
    x = 0;
    y += shelf;
    shelf = 0;
  }
  *next_x = x;
  *next_y = y;
  *next_shelf = shelf;
  return y + shelf;
}

// The uv of (icon, w, h); places it first. Zero when the atlas is full or the size cannot be
// placed even after growing.
static rect icon_atlas_get(ui_icon_atlas *atlas, u32 key, u32 w, u32 h, bool *changed) {
  for (u32 i = 0; i < atlas->entry_count; i++) {
    ui_icon_entry *e = &atlas->entries[i];
    if (e->key == key && e->width == w && e->height == h) return e->uv;
  }
  if (atlas->entry_count >= UI_ICON_ATLAS_CAPACITY || key >= ui_icon_count || w == 0 || h == 0 ||
      !atlas->pixels) {
    return rect{0, 0, 0, 0};
  }
  u32 x, y, shelf;
  icon_atlas_shelves(atlas, atlas->width, false, w, &x, &y, &shelf);
  // Grow by doubling one side until the new icon fits (bounded: sizes above 4096 are refused).
  while (x + w > atlas->width || y + h > atlas->height) {
    u32 nw = atlas->width, nh = atlas->height;
    if (nw == nh) nw *= 2;
    else nh *= 2;
    if (nw > 4096 || nh > 4096) return rect{0, 0, 0, 0};
    buffer memory = memory_alloc((u64)nw * nh, nullptr);
    if (!memory.data) return rect{0, 0, 0, 0};
    u32 old_x[UI_ICON_ATLAS_CAPACITY], old_y[UI_ICON_ATLAS_CAPACITY];
    for (u32 i = 0; i < atlas->entry_count; i++) {
      old_x[i] = atlas->entries[i].x;
      old_y[i] = atlas->entries[i].y;
    }
    icon_atlas_shelves(atlas, nw, true, w, &x, &y, &shelf);
    for (u32 i = 0; i < atlas->entry_count; i++) {
      ui_icon_entry *e = &atlas->entries[i];
      for (u32 row = 0; row < e->height; row++) {
        memcpy(memory.data + (u64)(e->y + row) * nw + e->x,
               atlas->pixels + (u64)(old_y[i] + row) * atlas->width + old_x[i], e->width);
      }
      e->uv = rect{(f32)e->x / nw, (f32)e->y / nh, (f32)(e->x + e->width) / nw, (f32)(e->y + e->height) / nh};
      if (atlas->flip_x[e->key]) e->uv = rect{e->uv.x1, e->uv.y0, e->uv.x0, e->uv.y1};
      if (atlas->flip_y[e->key]) e->uv = rect{e->uv.x0, e->uv.y1, e->uv.x1, e->uv.y0};
    }
    memory_free(&atlas->memory);
    atlas->memory = memory;
    atlas->pixels = memory.data;
    atlas->width = nw;
    atlas->height = nh;
  }
  buffer temporary = memory_alloc((u64)w * h, nullptr);
  if (!temporary.data) return rect{0, 0, 0, 0};
  icon_resize(atlas->sources[key], UI_ICON_SOURCE_SIZE, UI_ICON_SOURCE_SIZE, temporary.data, w, h);
  for (u32 row = 0; row < h; row++) {
    memcpy(atlas->pixels + (u64)(y + row) * atlas->width + x, temporary.data + (u64)row * w, w);
  }
  memory_free(&temporary);
  ui_icon_entry *e = &atlas->entries[atlas->entry_count++];
  e->key = key;
  e->x = x;
  e->y = y;
  e->width = w;
  e->height = h;
  e->uv = rect{(f32)x / atlas->width, (f32)y / atlas->height, (f32)(x + w) / atlas->width,
               (f32)(y + h) / atlas->height};
  if (atlas->flip_x[key]) e->uv = rect{e->uv.x1, e->uv.y0, e->uv.x0, e->uv.y1};
  if (atlas->flip_y[key]) e->uv = rect{e->uv.x0, e->uv.y1, e->uv.x1, e->uv.y0};
  *changed = true;
  return e->uv;
}

rect ui_image_uv(ui_context *ctx, u32 icon, rect r) {
  // Sizes come from the solver; a fractional one is rounded rather than refused, so a fill share
  // never stops the program.
  u32 w = (u32)fmaxf(roundf(rect_width(r)), 0), h = (u32)fmaxf(roundf(rect_height(r)), 0);
  bool changed = false;
  rect uv = icon_atlas_get(&ctx->icon_atlas, icon, w, h, &changed);
  if (changed && ctx->texture_create) {
    if (ctx->icon_texture && ctx->texture_destroy) ctx->texture_destroy(ctx->icon_texture);
    ctx->icon_texture = ctx->texture_create(ctx->icon_atlas.pixels, ctx->icon_atlas.width,
                                            ctx->icon_atlas.height, 1, 0);
    invariant(ctx->icon_texture != 0);
    ui_gfx_batch_set_texture(ctx->icon_batch, ctx->icon_texture);
    ui_gfx_batch_set_texture(ctx->popup_icon_batch, ctx->icon_texture);
  }
  return uv;
}

// ---- The context -------------------------------------------------------------------------

// One frame's node or text arena with its first step committed. The budgets have their own log
// lines (ui_budget_report), so the arena stays quiet; a refusal leaves an empty view whose every
// push fails.
static buffer frame_arena_make(arena *a, u64 reserve, const char *name) {
  arena_reserve(a, reserve, UI_ARENA_COMMIT_STEP, UI_ARENA_COMMIT_STEP, name, arena_flag_quiet);
  return arena_view(a);
}

void ui_init(ui_context *ctx, window *w, gl_batch *shape_batch, gl_batch *text_batch,
             gl_batch *icon_batch, gl_batch *popup_shape_batch, gl_batch *popup_text_batch,
             gl_batch *popup_icon_batch, gl_batch *image_batch) {
  invariant(ctx);
  memory_zero(ctx, sizeof(*ctx));
  ctx->window = w;
  ctx->scratch = memory_alloc(UI_SCRATCH_BYTES, nullptr);
  ctx->node_arena_limit = UI_NODE_ARENA_BYTES;
  ctx->text_arena_limit = UI_TEXT_ARENA_BYTES;
  ctx->previous_nodes = frame_arena_make(&ctx->previous_nodes_arena, UI_NODE_ARENA_BYTES, "UI nodes");
  ctx->nodes = frame_arena_make(&ctx->nodes_arena, UI_NODE_ARENA_BYTES, "UI nodes");
  ctx->previous_texts = frame_arena_make(&ctx->previous_texts_arena, UI_TEXT_ARENA_BYTES, "UI texts");
  ctx->texts = frame_arena_make(&ctx->texts_arena, UI_TEXT_ARENA_BYTES, "UI texts");
  arena_reserve(&ctx->index_arena, UI_NODE_ARENA_BYTES / 4, 0, UI_ARENA_COMMIT_STEP, "UI node index",
                arena_flag_quiet);
  ctx->shape_batch = shape_batch;
  ctx->text_batch = text_batch;
  ctx->icon_batch = icon_batch;
  ctx->popup_shape_batch = popup_shape_batch;
  ctx->popup_text_batch = popup_text_batch;
  ctx->popup_icon_batch = popup_icon_batch;
  ctx->image_batch = image_batch;
  ctx->fonts = ui_gfx_batch_fonts(text_batch);
  ctx->hot = ctx->active = ctx->popup_hot = ctx->popup_active = UI_ID_NONE;
  ui_style_table_init(&ctx->styles);
  ctx->clip = rect{0, 0, -1, -1};
  icon_atlas_make(&ctx->icon_atlas, 128, 128);
  ctx->counter_frequency = (u64)counter_frequency();
  ctx->repeat_delay = 0.5f;
  ctx->repeat_interval = 0.1f;
  allocator_init(&ctx->undo_allocator, MiB(1), MiB(1), 64);
  ctx->undo_records = memory_alloc(UI_UNDO_RECORD_COUNT * sizeof(ui_undo_record), nullptr);
  ctx->undo_free = nullptr;
  ctx->undo_list.next = ctx->undo_list.prev = &ctx->undo_list;
  ctx->redo_list.next = ctx->redo_list.prev = &ctx->redo_list;
  ctx->sink.id = UI_ID_NONE;
}
