// Fonts and the glyph atlas: for every font of a collection (one face at one pixel size), exactly
// the glyphs of one list of code points and one 1-byte coverage atlas holding all of them. A
// rebuild replaces everything and costs time linear in the list: kerning is not tabulated for
// every pair but asked of the face per pair when text meets it, and kept in a small cache per
// font. Between rebuilds the glyphs and the atlas are read-only.
//
// Font files are found through fontconfig by family name and read whole. Every file is checked
// against its own size before stb_truetype sees it, so a truncated or forged file is refused
// instead of read out of bounds.
#pragma once

#include "core/buffer.h"

#include <stb/stb_truetype.h>

// ---- Errors ------------------------------------------------------------------------------

// Sticky like every error word; a font failure never touches the process-wide file_error word, so
// it cannot stop later whole-file operations.
enum font_error_code : u32 {
  font_error_none = 0,
  font_error_no_match = 1,  // no readable TrueType file for the family or any substitute
  font_error_read = 2,      // the file could not be read
  font_error_invalid = 3,   // not a TrueType file whose tables lie inside it
  font_error_memory = 4,    // the collection's arena (or the system) has no room
  font_error_atlas = 5,     // some glyphs did not fit the largest atlas; they draw as nothing
};
#define FONT_ERROR_CODE_COUNT 6

// "font_error_no_match", ...; "font_error_unknown" for a value no code has.
const char *font_error_name(u32 code);

// ---- Types -------------------------------------------------------------------------------

struct font_glyph {
  u16 x0, y0, x1, y1;             // box in the atlas in pixels; y from the atlas's bottom row
  f32 left, bottom, right, top;   // box around the pen on the baseline, y up, pixels
  f32 advance;                    // pixels
  u32 glyph_index;                // the face's own glyph number, which kerning is asked with
  u32 unused[2];
};
static_assert(sizeof(font_glyph) == 40, "glyph record");

// Kerning values the face gave for pairs of its glyph numbers, by open addressing on the pair.
// Emptied when it is three quarters full: it only saves asking the face again, so a text that
// meets more pairs than it holds is slower, never wrong.
#define FONT_KERNING_CACHE_SLOTS 16384u
struct font_kerning_cache {
  u32 used;
  u32 misses;  // pairs asked of the face since the font was built
  u64 slots[FONT_KERNING_CACHE_SLOTS];  // pair (first << 16 | second) << 32 | value; all ones empty
};

// Told of a code point that a lookup met and the list lacks (the lookup gives the fallback glyph),
// so the list's owner can add it for the next build. Called on the UI thread, inside lookups.
typedef void font_unlisted_fn(void *user, u32 code_point);

struct font {
  stbtt_fontinfo info;
  buffer file;              // the whole font file; the caller keeps it alive and unchanged
  // Rebuilt by font_build_collection.
  u32 *codepoints;          // shared by every font of the collection, ascending after a build
  font_glyph *glyphs;       // one per code point, same order
  font_kerning_cache *kerning;  // null when the face has no kerning table
  u32 codepoint_count;
  // Fixed when the font is added.
  f32 pixel_size;
  f32 scale;                // font units to pixels
  s32 ascent, descent, line_gap;  // font units, descent negative
  // Rebuilt with the glyphs: the lookup of the code points near the smallest.
  u8 direct[256];           // list index of first_codepoint + i, when that code point is listed
  u32 first_codepoint;
  u32 first_index_after_direct;  // first index more than 255 above first_codepoint; 0 when none
  u32 monospace;            // a fixed-pitch face ignores the left bearing at line starts
  u32 fallback_glyph;       // index of U+FFFD; FONT_NO_GLYPH before the first build
  // Set by font_collection_watch_unlisted: told of each code point a lookup does not find.
  font_unlisted_fn *unlisted;
  void *unlisted_user;
};

#define FONT_NO_GLYPH 0xFFFFFFFFu

struct font_handle {
  font *f;
  u32 index;
  f32 line_height;             // without the line gap
  f32 descent;                 // pixels from a line's bottom up to its baseline
  f32 line_height_minus_descent;
};

// The header sits at the start of its own arena; every record of the collection lives there.
struct font_collection {
  buffer arena;
  u64 atlas_size;
  u64 atlas_size_again;
  u8 *atlas;       // atlas_width * atlas_height coverage bytes, rows bottom-up
  font *fonts;     // font_count consecutive records
  u16 atlas_width;
  u16 atlas_height;
  u32 font_count;
  u64 mark;        // arena used after the last font; each rebuild rolls back to it
};
static_assert(sizeof(font_collection) == 72, "collection header");

// The atlas starts at 256 by 256 and doubles its smaller side; this is the largest it grows to.
#define FONT_ATLAS_START_SIDE 256u
#define FONT_ATLAS_MAX_SIDE 8192u
#define FONT_BASE_CODEPOINT_COUNT 193u
#define FONT_DEFAULT_PIXEL_SIZE 14.0f
// Mapped lazily, so only what a build touches costs memory.
#define FONT_COLLECTION_DEFAULT_ARENA MiB(256)
// Font files larger than this are refused (stb_truetype addresses tables with int offsets).
#define FONT_FILE_MAX_SIZE MiB(64)

// ---- Font files --------------------------------------------------------------------------

// True when stb_truetype may use the bytes: a single TrueType font (glyf outlines) whose table
// directory, required tables, character map, glyph locations, glyph outlines, metrics and kerning
// tables all lie inside the bytes. A kerning table that does not is dropped rather than the font
// (see font_file_init). On refusal *reason names the first check that failed.
bool font_file_validate(const u8 *data, u64 size, const char **reason);
// font_file_validate, then stbtt_InitFont; unusable kerning tables are switched off in the info.
bool font_file_init(stbtt_fontinfo *info, const u8 *data, u64 size, const char **reason);

// The path of the first file fontconfig offers for the family (its substitutes included) that
// reads and validates, preferring a fixed-pitch face when monospace is 1 and a proportional one
// otherwise; the file's bytes are returned whole (release with file_content_free). Every file
// that fails is logged ("Font error: ..."); when none is usable, font_error_no_match is set and
// logged. The path, zero-terminated, goes to path_out when it is not null.
buffer font_load_file(const char *family, u32 monospace, buffer *path_out, u32 *error);
// Fontconfig keeps process-wide state after a lookup; the program entry releases it at exit.
void font_system_shutdown();

// The 193 code points every list starts with: printable ASCII, the ISO 8859-15 upper half, then
// U+FFFD and U+2026. out must hold FONT_BASE_CODEPOINT_COUNT.
void font_base_codepoints(u32 *out);

// ---- Collections -------------------------------------------------------------------------

// A collection in a fresh block of arena_bytes (the header at its start); null and
// font_error_memory when the system refuses.
font_collection *font_collection_create(u64 arena_bytes, u32 *error);
void font_collection_destroy(font_collection *collection);

// Adds a font record for the file at the pixel size; the file must stay alive and unchanged while
// the collection is used. The code points are the caller's array and are sorted in place by each
// build. A file that fails validation (font_error_invalid) or an arena without room
// (font_error_memory) adds nothing. Returns the record or null.
font *font_collection_add_font(font_collection *collection, buffer file, f32 pixel_size,
                               u32 *codepoints, u32 count, u32 monospace, u32 *error);
void font_collection_set_codepoints(font_collection *collection, u32 *codepoints, u32 count);
// Every font added so far tells the function of each code point its lookups meet and its list
// lacks; a listed one costs nothing more. A null function stops it.
void font_collection_watch_unlisted(font_collection *collection, font_unlisted_fn *fn, void *user);

// Rebuilds every font's glyphs and its kerning cache, then the atlas. On font_error_memory the
// collection holds no glyphs (every font's codepoint list is kept, its glyphs pointer is null);
// on font_error_atlas the glyphs that did not fit have empty boxes and zero metrics.
void font_build_collection(font_collection *collection, u32 *error);
void font_build_atlas(font_collection *collection, u32 *error);

// Reads the default faces (a monospace face for "Consolas", a proportional one for "Verdana",
// through font_load_file) and adds them in that order at the pixel size (14 when 0) with the list,
// or with the 193 base code points (kept in the collection's arena) when codepoints is null, then
// builds. When only one face can be found it serves both. Null when no face is usable.
font_collection *font_collection_create_default(f32 pixel_size, u32 *codepoints, u32 count,
                                                u32 *error);
// Destroys a default collection together with the files it read.
void font_collection_destroy_default(font_collection *collection);

// ---- Lookups -----------------------------------------------------------------------------

// Index of the code point in the list; the fallback glyph (U+FFFD) for one that is not listed,
// which the font's watcher is then told of.
u32 font_glyph_index(const font *f, u32 code_point);
// Null only before the font was first built.
font_glyph *font_get_glyph(const font *f, u32 code_point);
// The glyph's kerning with the code point that follows it, in font units, as the face gives it
// (stbtt_GetGlyphKernAdvance); 0 when the next code point is not listed. Fills the font's cache,
// so it is called on the UI thread only, like everything that draws.
s32 font_get_kerning(const font *f, const font_glyph *glyph, u32 next_code_point);
f32 font_line_height(const font *f, u32 with_gap);
f32 font_get_descent(const font *f);
// All zero for an index at or beyond the font count.
font_handle font_get(const font_collection *collection, u32 index);
