// The instrumenting profiler's runtime: every instrumented function opens its named zone on entry
// and closes it on every way out; loops mark their turns as frames. Each thread writes 16-byte
// events into its own buffer without locks. With profiling off every entry point is a no-op.
#pragma once

#include "core/base.h"

// ---- Types -------------------------------------------------------------------------------

enum profiler_zone : u32 {
  zone_profiler_collapse = 0,
  zone_profiler_not_measured = 1,
  zone_char_is_any_u32 = 2,
  zone_date_to_string = 3,
  zone_font_build_atlas = 4,
  zone_font_build_collection = 5,
  zone_gl_batch_rectangle = 6,
  zone_gl_batch_text = 7,
  zone_gl_update_texture_content = 8,
  zone_gl_render = 9,
  zone_http_file_open = 10,
  zone_http_file_get = 11,
  zone_image_resize = 12,
  zone_image_to_ascii_render = 13,
  zone_extra_step = 14,
  zone_layout_text = 15,
  zone_layout_get_single_line_size = 16,
  zone_layout_get_byte_at_position = 17,
  zone_layout_fit_single_line = 18,
  zone_layout_string_p = 19,
  zone_layout_end = 20,
  zone_layout_single_line = 21,
  zone_layout_pass_only_size = 22,
  zone_layout_pass_end = 23,
  zone_layout_pass_start = 24,
  zone_text_layout_next_rect = 25,
  zone_text_layout_next_rect_2 = 26,
  zone_ui_compute_axis_sizes = 27,
  zone_ui_render_rect_clip_string = 28,
  zone_ui_render_rect_clip_string_over = 29,
  zone_ui_render_rect_clip_string_visible = 30,
  zone_ui_compute_size = 31,
  zone_ui_render = 32,
  zone_ui_position_rect = 33,
  zone_ui_render_rect = 34,
  zone_ui_compute_size_popup = 35,
  zone_ui_position_rect_popup = 36,
  zone_ui_render_rect_popup = 37,
  zone_thread_do_work = 38,
  zone_thread_user_function = 39,
  zone_thread_queue_completed_signal = 40,
  zone_thread_loop = 41,
  zone_thread_wait_for_work = 42,
  zone_thread_queue_terminated_signal = 43,
  zone_thread_queue_work = 44,
  zone_thread_queue_signal = 45,
  zone_thread_complete_queue = 46,
  zone_thread_wait_for_completion = 47,
  zone_thread_terminate = 48,
  zone_thread_terminate_signal = 49,
  zone_thread_wait_for_termination = 50,
  zone_pair_active_set_cursor = 51,
  zone_pair_hot_set_cursor = 52,
  zone_input_sync_keys = 53,
  zone_window_proc = 54,
  zone_default_window_proc = 55,
  zone_window_create = 56,
  zone_register_class_w = 57,
  zone_dummy_create_window_ex_w = 58,
  zone_dummy_choose_pixel_format = 59,
  zone_dummy_describe_pixel_format = 60,
  zone_dummy_set_pixel_format = 61,
  zone_dummy_wgl_create_context = 62,
  zone_dummy_wgl_make_current = 63,
  zone_dummy_get_wgl_functions = 64,
  zone_dummy_get_gl_functions = 65,
  zone_log_functions = 66,
  zone_create_window_ex_w = 67,
  zone_wgl_choose_pixel_format = 68,
  zone_describe_pixel_format = 69,
  zone_set_pixel_format = 70,
  zone_wgl_create_context_attribs = 71,
  zone_wgl_make_current = 72,
  zone_show_window = 73,
  zone_register_raw_input_devices = 74,
  zone_window_handle_messages = 75,
  zone_setup = 76,
  zone_GetMessage = 77,
  zone_PeekMessage = 78,
  zone_loop = 79,
  zone_default_translate = 80,
  zone_default_dispatch = 81,
  zone_window_swap_buffers = 82,
  zone_hp_decode_codepoint = 83,
  zone_hp_consume = 84,
  zone_hp_push_codepoint = 85,
  zone_hp_parse_character_reference = 86,
  zone_hp_detect_encoding = 87,
  zone_hp_token_create = 88,
  zone_hp_token_emit = 89,
  zone_hp_tokenizer = 90,
  zone_hp_tokenizer_loop = 91,
  zone_hp_state_default = 92,
  zone_hp_state_default_loop = 93,
  zone_hp_state_tag = 94,
  zone_hp_state_raw = 95,
  zone_hp_state_markup = 96,
  zone_hp_state_xml = 97,
  zone_hp_tree_construction = 98,
  zone_hp_tree_traversal_get_node = 99,
  zone_hp_tree_traversal_advance = 100,
  zone_frame = 101,
  zone_not_messages = 102,
  zone_queries_check = 103,
  zone_queries_check_not_removed = 104,
  zone_window_content = 105,
  zone_render = 106,
  zone_twitter_parser_tokenizer = 107,
  zone_twitter_parser_tree_construction = 108,
  zone_twitter_parser_traversal = 109,
  zone_twitter_parser_traversal_header = 110,
  zone_twitter_parser_traversal_tweets = 111,
  zone_twitter_parser_traversal_tweets_single = 112,
  zone_twitter_parser_traversal_tweets_rt = 113,
  zone_twitter_parser_traversal_tweets_id_date = 114,
  zone_twitter_parser_traversal_date_add_offset_1 = 115,
  zone_twitter_parser_traversal_tweets_reply = 116,
  zone_twitter_parser_traversal_tweets_content = 117,
  zone_ui_left_menu = 118,
  zone_ui_left_view = 119,
  zone_ui_right_menu = 120,
  zone_ui_right_view = 121,
  zone_ui_log_tree = 122,
  zone_ui_view_help = 123,
  zone_ui_view_add = 124,
  zone_ui_view_links = 125,
  zone_ui_view_rss_settings = 126,
  zone_ui_view_atom_settings = 127,
  zone_view_list = 128,
  zone_view_list_metrics = 129,
  zone_view_list_items = 130,
  zone_view_list_feed = 131,
  zone_view_list_entry = 132,
  zone_view_rss_entry = 133,
  zone_view_atom_entry = 134,
  zone_ui_view_log = 135,
  zone_ui_html = 136,
  zone_draw_links = 137,
  profiler_zone_count = 138,
};

enum profiler_thread_kind : u32 {
  profiler_thread_kind_worker_thread = 0,
  profiler_thread_kind_main = 1,
  profiler_thread_kind_count = 2,
};

// Event flags: begin and end of a zone or a frame; collapsed frames keep their begin and end
// events with profiler_event_collapsed added.
enum : u32 {
  profiler_event_zone_begin = 1,
  profiler_event_zone_end = 2,
  profiler_event_frame_begin = 5,
  profiler_event_frame_end = 6,
  profiler_event_collapsed = 0x8,
};

// Flags of the enable and disable operations (0 means both).
enum : u32 {
  profiler_entry_zones = 0x1,
  profiler_entry_frames = 0x2,
};

// The profile file's sticky error word; the runtime sets only this one.
enum : u32 { profiler_error_no_memory = 3 };

// How `tsc_run` relates to `qpc_run`. Methods 0 to 2 name the Windows kernel's own conversion
// parameters; this build has none of them and measures the TSC against the monotonic clock
// (nanoseconds, so the counter frequency is 1e9) over the whole run: a profile converts TSC
// ticks to counter ticks by the ratio qpc_run / tsc_run, and the shift, bias, scale and offset
// stay 0.
enum : u8 { profiler_tsc_method_monotonic = 3 };

#define PROFILER_MAX_THREADS 128
#define PROFILER_FRAME_RING 60

struct profiler_event {
  u64 tsc;
  u32 zone;
  u32 flags;
};
static_assert(sizeof(profiler_event) == 16, "events are the profile file's 16-byte unit");

typedef profiler_event *(*profiler_zone_fn)(u32 zone, u32 flags);
typedef profiler_event *(*profiler_frame_fn)(u32 zone);

struct profiler_thread {
  // The event buffer: written only by the owning thread.
  profiler_event *events;
  profiler_event *cursor;
  profiler_event *end;
  // The ring of the last 60 frames' begin and end events.
  profiler_event *frame_begin[PROFILER_FRAME_RING];
  profiler_event *frame_end[PROFILER_FRAME_RING];
  u64 frame_count;
  u32 in_frame;
  u32 kind;
  // Entry points: live, or no-ops when profiling is off for this thread.
  profiler_zone_fn zone_begin;
  profiler_zone_fn zone_end;
  profiler_frame_fn frame_begin_fn;
  profiler_frame_fn frame_end_fn;
  // Begins minus ends per zone on this thread (calls, recorded or dropped).
  u32 *nesting;
  // A full buffer drops whole begin/end pairs: a begin is written only while the buffer still
  // has room for it, its end and the ends of every begin already written and not yet ended, so
  // a written begin always gets its end. dropped_open counts, per zone, begins dropped whose
  // end is still to come (that end is dropped too); pending_ends counts the written begins
  // still waiting for their end; dropped counts every event not written. Collapsed frames keep
  // four events each for good, so a small buffer under many loop turns ends up full of history
  // and drops every newer frame (its ring slots hold null).
  u32 *dropped_open;
  u64 pending_ends;
  u64 dropped;
};

struct profiler_state {
  // Records handed out; raised atomically and may pass PROFILER_MAX_THREADS when registration
  // is refused, so readers clamp it.
  u32 thread_count;
  u32 started;
  u32 zone_count;
  u32 kind_count;
  u64 qpc_frequency;
  u64 tsc_run;
  u64 qpc_run;
  u8 tsc_conversion;
  u8 tsc_method;
  u8 qpc_shift;
  u8 reserved8;
  u32 reserved0;
  u64 qpc_bias;
  u64 hypervisor_scale;
  u64 hypervisor_offset;
  u32 reserved1;
  u32 reserved2;
};

struct profiler_name {
  u16 length;
  const char *text;
};

typedef void (*profiler_start_fn)(u32 kind, u64 capacity, u32 *error);
typedef void (*profiler_stop_fn)();

struct profiler_api_table {
  profiler_start_fn start;
  profiler_start_fn thread_register;
  profiler_stop_fn stop;
  profiler_stop_fn release;
};

extern const profiler_name profiler_zone_names[profiler_zone_count];
extern const profiler_name profiler_thread_kind_names[profiler_thread_kind_count];
extern profiler_state profiler_global;
extern profiler_thread profiler_threads[PROFILER_MAX_THREADS];
extern profiler_api_table profiler_api;
// The calling thread's record. A thread that never registered points at a shared record whose
// entry points do nothing, so a zone on any thread is safe. constinit spares every zone call the
// check for a dynamic initialiser.
extern thread_local constinit profiler_thread *profiler_current;

// ---- Start-up and registration -----------------------------------------------------------

void profiler_start(u32 kind, u64 capacity, u32 *error);
void profiler_thread_register(u32 kind, u64 capacity, u32 *error);
void profiler_start_disabled(u32 kind, u64 capacity, u32 *error);
void profiler_thread_register_disabled(u32 kind, u64 capacity, u32 *error);
void profiler_install_disabled();

// ---- Zones and frames --------------------------------------------------------------------

profiler_event *profiler_zone_begin(u32 zone, u32 flags);
profiler_event *profiler_zone_end(u32 zone, u32 flags);
profiler_event *profiler_frame_begin(u32 zone);
profiler_event *profiler_frame_end(u32 zone);
profiler_event *profiler_zone_nop(u32 zone, u32 flags);
profiler_event *profiler_frame_nop(u32 zone);

// Entry points may be swapped by another thread (enable and disable); a relaxed load is a plain
// load on x86-64 and keeps that hand-over well defined. The no-op entry points are recognised
// and skipped, so with profiling off a zone costs a load and a predictable branch.
inline void profile_begin(profiler_zone zone) {
  profiler_zone_fn f = __atomic_load_n(&profiler_current->zone_begin, __ATOMIC_RELAXED);
  if (f != profiler_zone_nop) f(zone, profiler_event_zone_begin);
}
inline void profile_end(profiler_zone zone) {
  profiler_zone_fn f = __atomic_load_n(&profiler_current->zone_end, __ATOMIC_RELAXED);
  if (f != profiler_zone_nop) f(zone, profiler_event_zone_end);
}
inline void profile_frame_begin(profiler_zone zone) {
  profiler_frame_fn f = __atomic_load_n(&profiler_current->frame_begin_fn, __ATOMIC_RELAXED);
  if (f != profiler_frame_nop) f(zone);
}
inline void profile_frame_end(profiler_zone zone) {
  profiler_frame_fn f = __atomic_load_n(&profiler_current->frame_end_fn, __ATOMIC_RELAXED);
  if (f != profiler_frame_nop) f(zone);
}

// Opens a zone for the rest of the enclosing scope, closing it on every way out.
struct profiler_scope {
  profiler_zone zone;
  explicit profiler_scope(profiler_zone z) : zone(z) { profile_begin(z); }
  ~profiler_scope() { profile_end(zone); }
  profiler_scope(const profiler_scope &) = delete;
  profiler_scope &operator=(const profiler_scope &) = delete;
};
#define PROFILE_CONCAT2(a, b) a##b
#define PROFILE_CONCAT(a, b) PROFILE_CONCAT2(a, b)
#define PROFILE_ZONE(zone) profiler_scope PROFILE_CONCAT(profiler_scope_, __LINE__)(zone)

// ---- Control -----------------------------------------------------------------------------

void profiler_set_thread_kind(u32 kind);
void profiler_set_thread_kind_at(u32 kind, u32 n);
// Enabling a record without an event buffer (registered disabled, or refused memory) leaves
// its no-op entry points: it has nowhere to record.
void profiler_enable_thread(u32 n, u32 flags);
void profiler_disable_thread(u32 n, u32 flags);
void profiler_enable_current(u32 flags);
void profiler_disable_current(u32 flags);
u32 profiler_enable_all(u32 flags);
u32 profiler_disable_all(u32 flags);

// ---- Reading -----------------------------------------------------------------------------

// Iterates the records in registration order: the record's events and their size in bytes; null
// (size 0) after the last. Records without an event buffer are skipped, so null means only the
// end. Not thread-safe: read after stop.
profiler_event *profiler_events_first(u64 *size);
profiler_event *profiler_events_next(u64 *size);
void profiler_check_balanced();
u64 profiler_read_tsc();

// ---- Stop and teardown -------------------------------------------------------------------

void profiler_stop();
// Releases every buffer and puts every record on the no-op entry points, so a thread that
// zones afterwards writes nothing.
void profiler_release();
void profiler_stop_disabled();
void profiler_release_disabled();

// ---- Testing -----------------------------------------------------------------------------

#if QM_TEST_HOOKS
// Makes the profiler's system allocation fail after `successes` more successes (negative: off).
void profiler_memory_fault_inject(s32 successes);
#endif
