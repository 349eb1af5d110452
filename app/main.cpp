// The program entry: builds every component in order, runs the frame loop until the window
// closes (or a quit signal arrives), then shuts down in order and saves the store.
#include <thread>

#include "app/app.h"
#include "gfx/gfx.h"
#include "profiler/profile.h"
#include "profiler/profiler.h"
#include "ui/ui.h"
#include "ui/widgets.h"

// Large records, kept out of the stack for the whole run.
static reader store;
static window main_window;
static gl_renderer renderer;
static ui_context ui;
static view_state view;
static app context;
static query queries[FETCH_QUERY_COUNT];
static fetch_context fetch;
static thread_queue queue;
static codepoint_set codepoints;

static u32 texture_create(const u8 *pixels, u32 width, u32 height, u32 channels, u32 linear) {
  return gl_texture_create((u8 *)pixels, width, height, channels, linear ? (u32)gl_texture_flag_linear : 0u).handle;
}
static void texture_destroy(u32 handle) {
  gl_texture t = {};
  t.handle = handle;
  gl_texture_destroy(&t);
}

static bool has_argument(const char *name) { return platform_argument_find(name, string_length(name), 1) != 0; }

// The text batches hold a screenful of text; the window may grow to a large monitor.
static void text_batch_budget(u32 width, u32 height, u32 *bytes, u32 *commands) {
  if (width < 3840) width = 3840;
  if (height < 2160) height = 2160;
  u32 lines = (u32)((height + 13) / 14);
  *bytes = lines * (width / 2);
  *commands = lines * 10;
}

int main(int argc, char **argv) {
  u32 argument_count = 0;
  u8 **arguments = nullptr;
  platform_command_line_to_argv(argc, argv, &argument_count, &arguments);
  platform_init_arguments(argument_count, arguments);

  memory_scratch_init(MEMORY_SCRATCH_SIZE);
  u64 lowest = 0, highest = 0;
  memory_get_system_info(&memory_page_size, &memory_allocation_granularity, &lowest, &highest);
  platform_install_quit_signals();

  bool profile = has_argument("-profile");
  if (!profile) profiler_install_disabled();
  u32 profiler_error = 0;
  profiler_api.start(profiler_thread_kind_main, 100000000, &profiler_error);

  u32 http_error = 0;
  http_init(string_lit("quillmere"), &http_error);

  u32 store_error = 0;
  reader_init(&store, &store_error);
  if (store_error) {
    log_append_string(string_lit("The store could not be made.\n"));
    log_save(string_lit("log.txt"));
    return 1;
  }
  app_reader = &store;

  u8 title_bytes[64];
  buffer title = buffer_make(sizeof title_bytes, 0, title_bytes);
  buffer_push_bytes(&title, "Quillmere - ", 12);
  buffer_push_unsigned(&title, 0, 0, ' ', 0);
  buffer_push_bytes(&title, ".", 1);
  buffer_push_unsigned(&title, 5, 0, ' ', 0);
  window_create(&main_window, title, 1280, 720, WINDOW_CENTRED, WINDOW_CENTRED,
                has_argument("-gfx_log") ? (u32)window_flag_gfx_log : 0u);
  if (!main_window.running) {
    log_append_string(string_lit("The window could not be made.\n"));
    log_save(string_lit("log.txt"));
    return 1;
  }
  window_set_swap_interval(1);

  buffer codepoint_arena = memory_alloc(MiB(32), nullptr);
  codepoint_set_init(&codepoints, &codepoint_arena);
  store.codepoints = &codepoints;

  app_init(&context);
  context.frame_arena = memory_alloc(APP_FRAME_ARENA_BYTES, nullptr);
  app_paths_init(&context);

  reader_set_image_release_hook(image_release_owner);
  image_slot_set_release_functions(image_decoded_free, texture_destroy);
  reader_load(&store, context.data_directory);
  context.start_generation = store.generation;

  // Either face stands in for the other when one is missing.
  u32 font_error = 0;
  buffer verdana = font_load_file("Verdana", 0, nullptr, &font_error);
  font_error = 0;
  buffer lucida = font_load_file("Lucida Console", 1, nullptr, &font_error);
  if (!verdana.data) verdana = lucida;
  if (!lucida.data) lucida = verdana;
  // Glyph records grow with the code points the feeds bring; the arena is mapped lazily.
  font_error = 0;
  font_collection *fonts = font_collection_create(FONT_COLLECTION_DEFAULT_ARENA, &font_error);
  if (fonts) {
    u32 e = 0;
    font_collection_add_font(fonts, verdana, 14, codepoints.items, codepoints.count, 0, &e);
    e = 0;
    font_collection_add_font(fonts, verdana, 16, codepoints.items, codepoints.count, 0, &e);
    e = 0;
    font_collection_add_font(fonts, verdana, 20, codepoints.items, codepoints.count, 0, &e);
    e = 0;
    font_collection_add_font(fonts, lucida, 12, codepoints.items, codepoints.count, 1, &e);
    e = 0;
    font_build_collection(fonts, &e);
    app_fonts_watch(fonts, &codepoints);
  }

  u32 text_bytes = 0, text_commands = 0;
  text_batch_budget(main_window.width, main_window.height, &text_bytes, &text_commands);
  renderer = gl_renderer_create((s32)main_window.width, (s32)main_window.height, gl_renderer_flag_blend);
  gl_batch *shapes = gl_renderer_add_shape_batch_default(&renderer);
  gl_batch *text = gl_renderer_add_text_batch(&renderer, text_bytes, text_commands, 0, 0, nullptr, fonts, 0);
  u32 text_program = text ? text->program : 0;
  gl_batch *icons = gl_renderer_add_textured_shape_batch(&renderer, 100, 100, 0, text_program, nullptr, 0);
  gl_batch *popup_shapes = gl_renderer_add_shape_batch_default(&renderer);
  gl_batch *popup_text = gl_renderer_add_text_batch(&renderer, text_bytes, text_commands, 0, 0, nullptr, fonts, 0);
  gl_batch *popup_icons = gl_renderer_add_textured_shape_batch(&renderer, 100, 100, 0, text_program, nullptr, 0);
  gl_batch *images = gl_renderer_add_image_batch_default(&renderer);

  ui_init(&ui, &main_window, shapes, text, icons, popup_shapes, popup_text, popup_icons, images);
  ui.texture_create = texture_create;
  ui.texture_destroy = texture_destroy;
  ui_init_styles(&ui);

  view_state_init(&view, view_start_generation(&store));
  view_state_reserve_html(&view);

  thread_queue_create(&queue, 6);
  app_queue = &queue;
  memory_zero(queries, sizeof queries);
  allocator_init(&app_allocator, MiB(100), MiB(1), 128);

  context.window = &main_window;
  context.view = &view;
  context.ui = &ui;
  context.renderer = &renderer;
  // A save file left at start, or none loaded for a passing reason: the log's line says which,
  // why and what this run's saves do, and the window opens on it.
  if (store.save_rule != save_rule_rotate) view_show_log(&context);
  app_fetch_init(&context, &fetch, queries, FETCH_QUERY_COUNT, &queue, window_wake);
  context.queries_budget_ns = APP_QUERIES_BUDGET_NS;

  // The window system's wait is not ended by signals: a watcher, asleep until one comes, wakes
  // the pump.
  std::thread watcher([] {
    while (platform_quit_signal_wait()) window_wake();
  });

  while (main_window.running) {
    profile_frame_begin(zone_frame);
    debug_print_timestamped(string_lit("frame_start\n"));
    if (view.another_frame) {
      view.another_frame = 0;
      window_handle_messages(&main_window, 0);
    } else {
      window_handle_messages(&main_window, window_pump_wait);
    }
    profile_begin(zone_not_messages);
    if (platform_quit_signalled()) main_window.quit_requested = 1;
    if (main_window.quit_requested) main_window.running = 0;
    platform_reap_children();

    gl_renderer_clear(&renderer);
    if (main_window.resized && main_window.focused)
      gl_renderer_begin_frame(&renderer, 0, 0, (f32)main_window.width, (f32)main_window.height);
    render_push_scissor(&renderer, 0, 0, 0, 0, 0);
    render_push_clear(&renderer, rgba{0, 0, 0, 1});

    image_free_released();
    app_queries_check(&context, &store);
    if (main_window.quit_requested) link_queues_open_all(&app_allocator, &store, 1);

    if (main_window.width != 0 && main_window.height != 0) {
      PROFILE_ZONE(zone_window_content);
      ui_main(&context, &store);
    }

    // New characters from the store's texts or from anything the UI measured this frame.
    if (app_fonts_follow_codepoints(&context, fonts, &codepoints)) {
      // The renderer makes each text batch's atlas texture again when it next draws text.
      if (text) texture_destroy(text->texture), text->texture = 0;
      if (popup_text) texture_destroy(popup_text->texture), popup_text->texture = 0;
    }

    u32 codepoints_before_drawing = codepoints.count;
    {
      PROFILE_ZONE(zone_render);
      gl_renderer_end_frame(&renderer);
      window_swap_buffers(&main_window);
    }
    // A character met first while drawing is built in after the next frame, which comes at once.
    if (codepoints.count > codepoints_before_drawing) view.another_frame = 1;
    profile_end(zone_not_messages);
    frame_counter += 1;
    context.frame_arena.used = 0;
    profile_frame_end(zone_frame);
  }

  platform_quit_signal_wait_end();
  watcher.join();

  // A worker finishes its running job before it stops: a slow server must not hold the exit and
  // the save behind it.
  http_abandon_all();
  thread_terminate(&queue);
  profiler_api.stop();
  if (profile) profiler_write_file("profile.bin", 1, &profiler_error);
  // A failed save logs its reason and writes it to standard error; the status tells scripts.
  bool saved = app_save_at_exit(&store, context.data_directory);
  app_end(&context);
  http_terminate(&http_error);
  log_save(string_lit("log.txt"));
  window_destroy(&main_window);
  font_system_shutdown();
  return saved ? 0 : 1;
}
