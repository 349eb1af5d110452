// gl_render of a frame like the program's with an empty store: the program's seven batches with
// the budgets the program gives them, a few dozen rectangles, labels and scissors, drawn on Mesa
// in a private Xvfb. The time is gl_renderer_end_frame alone, as the program's gl_render zone
// measures it; the counters add the bytes handed to GL buffers per frame and the time until
// glFinish returns, which holds the driver's rasterising of the frame.
#include <benchmark/benchmark.h>

#include "gfx/gfx.h"
#include "platform/files.h"
#include "tests/support/xvfb_server.h"

#include <string.h>

#include <chrono>
#include <string>

namespace {

u64 uploaded_bytes;
PFNGLBUFFERDATAPROC real_buffer_data;
PFNGLBUFFERSUBDATAPROC real_buffer_sub_data;

void APIENTRY counting_buffer_data(GLenum target, GLsizeiptr size, const void *data, GLenum usage) {
  uploaded_bytes += (u64)size;
  real_buffer_data(target, size, data, usage);
}
void APIENTRY counting_buffer_sub_data(GLenum target, GLintptr offset, GLsizeiptr size, const void *data) {
  uploaded_bytes += (u64)size;
  real_buffer_sub_data(target, offset, size, data);
}

// The program's text budget: a 4K screen at the least.
void program_text_budget(u32 width, u32 height, u32 *bytes, u32 *commands) {
  if (width < 3840) width = 3840;
  if (height < 2160) height = 2160;
  u32 lines = (height + 13) / 14;
  *bytes = lines * (width / 2);
  *commands = lines * 10;
}

buffer bench_read(const char *path) {
  u32 error = 0;
  return file_read_all(string_from_bytes(path, strlen(path)), 0, &error);
}

void gl_render_empty_store(benchmark::State &state) {
  xvfb_server server;
  if (!xvfb_start(&server)) {
    state.SkipWithError("Xvfb did not start");
    return;
  }
  window w = {};
  window_create(&w, string_lit("render_bench"), 1280, 800, WINDOW_CENTRED, WINDOW_CENTRED, 0);
  window_set_swap_interval(0);
  buffer sans = bench_read("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
  u32 codepoints[FONT_BASE_CODEPOINT_COUNT];
  font_base_codepoints(codepoints);
  u32 error = 0;
  font_collection *fonts = font_collection_create(FONT_COLLECTION_DEFAULT_ARENA, &error);
  font_collection_add_font(fonts, sans, 14, codepoints, FONT_BASE_CODEPOINT_COUNT, 0, &error);
  font_build_collection(fonts, &error);
  if (!w.running || error) {
    state.SkipWithError("no window or no font");
    xvfb_stop(&server);
    return;
  }
  u32 text_bytes = 0, text_commands = 0;
  program_text_budget(w.width, w.height, &text_bytes, &text_commands);
  gl_renderer renderer = gl_renderer_create((s32)w.width, (s32)w.height, gl_renderer_flag_blend);
  gl_batch *shapes = gl_renderer_add_shape_batch_default(&renderer);
  gl_batch *text = gl_renderer_add_text_batch(&renderer, text_bytes, text_commands, 0, 0, nullptr, fonts, 0);
  gl_batch *icons = gl_renderer_add_textured_shape_batch(&renderer, 100, 100, 0, text->program, nullptr, 0);
  gl_renderer_add_shape_batch_default(&renderer);
  gl_renderer_add_text_batch(&renderer, text_bytes, text_commands, 0, 0, nullptr, fonts, 0);
  gl_renderer_add_textured_shape_batch(&renderer, 100, 100, 0, text->program, nullptr, 0);
  gl_renderer_add_image_batch_default(&renderer);

  real_buffer_data = gl.glBufferData;
  real_buffer_sub_data = gl.glBufferSubData;
  gl.glBufferData = counting_buffer_data;
  gl.glBufferSubData = counting_buffer_sub_data;
  const char *label = "All feeds (0)  Add feed  Settings";
  u64 frames = 0, bytes = 0;
  double finished_seconds = 0;
  for (auto _ : state) {
    gl_renderer_clear(&renderer);
    render_push_clear(&renderer, rgba{0.1f, 0.1f, 0.1f, 1});
    for (u32 i = 0; i < 40; i++) {
      f32 y = 780.0f - 18.0f * (f32)i;
      gl_batch_rectangle(shapes, rect{10, y - 16, 400, y}, nullptr, nullptr, rgba{0.2f, 0.2f, 0.3f, 1});
      gl_batch_text(text, (const u8 *)label, strlen(label), 14, y - 12, -1, 0, rgba{1, 1, 1, 1});
      if (i % 8 == 0) {
        gl_batch_scissor(shapes, 1, 0, 0, 640, 800);
        gl_batch_scissor(text, 1, 0, 0, 640, 800);
      }
    }
    gl_batch_rectangle(icons, rect{500, 500, 516, 516}, nullptr, nullptr, rgba{1, 1, 1, 1});
    uploaded_bytes = 0;
    auto start = std::chrono::steady_clock::now();
    gl_renderer_end_frame(&renderer);
    auto rendered = std::chrono::steady_clock::now();
    gl.glFinish();
    auto finished = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(rendered - start).count());
    finished_seconds += std::chrono::duration<double>(finished - start).count();
    bytes += uploaded_bytes;
    frames++;
  }
  gl.glBufferData = real_buffer_data;
  gl.glBufferSubData = real_buffer_sub_data;
  state.counters["uploaded_bytes_per_frame"] = frames ? (double)bytes / (double)frames : 0;
  state.counters["ms_to_glFinish"] = frames ? finished_seconds * 1000 / (double)frames : 0;
  window_destroy(&w);
  font_collection_destroy(fonts);
  file_content_free(&sans);
  xvfb_stop(&server);
}
BENCHMARK(gl_render_empty_store)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
