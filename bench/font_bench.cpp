// The glyph atlas rebuild the program runs when feeds bring new characters: the program's four
// fonts (a proportional face at 14, 16 and 20 pixels and a fixed-pitch one at 12, DejaVu standing
// in for the system faces), the 193 base code points plus 0, 2,000 or 4,000 more taken in order
// from U+0100 on (Latin extensions, Greek, Cyrillic, Armenian, Hebrew, Arabic and beyond, some of
// which the faces lack and draw as the missing glyph).
#include <benchmark/benchmark.h>

#include <string.h>

#include <algorithm>
#include <vector>

#include "gfx/font.h"
#include "platform/files.h"

namespace {

#define BENCH_SANS "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
#define BENCH_MONO "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"

buffer bench_read(const char *path) {
  u32 error = 0;
  return file_read_all(string_from_bytes(path, strlen(path)), 0, &error);
}

std::vector<u32> bench_codepoints(u32 extra) {
  std::vector<u32> list(FONT_BASE_CODEPOINT_COUNT);
  font_base_codepoints(list.data());
  std::vector<u32> sorted = list;
  std::sort(sorted.begin(), sorted.end());
  for (u32 c = 0x100; extra > 0; ++c) {
    if (std::binary_search(sorted.begin(), sorted.end(), c)) continue;
    list.push_back(c);
    --extra;
  }
  return list;
}

void font_rebuild(benchmark::State &state) {
  buffer sans = bench_read(BENCH_SANS), mono = bench_read(BENCH_MONO);
  if (!sans.data || !mono.data) {
    state.SkipWithError("the DejaVu faces are not installed");
    return;
  }
  std::vector<u32> codepoints = bench_codepoints((u32)state.range(0));
  u32 n = (u32)codepoints.size();
  u32 error = 0;
  font_collection *collection = font_collection_create(FONT_COLLECTION_DEFAULT_ARENA, &error);
  font_collection_add_font(collection, sans, 14, codepoints.data(), n, 0, &error);
  font_collection_add_font(collection, sans, 16, codepoints.data(), n, 0, &error);
  font_collection_add_font(collection, sans, 20, codepoints.data(), n, 0, &error);
  font_collection_add_font(collection, mono, 12, codepoints.data(), n, 1, &error);
  for (auto _ : state) {
    font_build_collection(collection, &error);
    benchmark::DoNotOptimize(collection->atlas);
  }
  if (error) state.SkipWithError(font_error_name(error));
  state.counters["codepoints"] = n;
  state.counters["atlas_side"] = collection->atlas_width;
  font_collection_destroy(collection);
  file_content_free(&sans);
  file_content_free(&mono);
}
BENCHMARK(font_rebuild)->Arg(0)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
