// The profiler's runtime: registration, the live and no-op entry points, frame collapsing, the
// clock calibration and the event buffers, which this file maps from the system itself because
// the profiler sits below every other layer.
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "profiler/profiler.h"

// ---- Tables ------------------------------------------------------------------------------

#define N(s) {(u16)(sizeof(s) - 1), s}
const profiler_name profiler_zone_names[profiler_zone_count] = {
    N("profiler_collapse"), N("profiler_not_measured"), N("char_is_any_u32"), N("date_to_string"),
    N("font_build_atlas"), N("font_build_collection"), N("gl_batch_rectangle"), N("gl_batch_text"),
    N("gl_update_texture_content"), N("gl_render"), N("http_file_open"), N("http_file_get"),
    N("image_resize"), N("image_to_ascii_render"), N("extra_step"), N("layout_text"),
    N("layout_get_single_line_size"), N("layout_get_byte_at_position"), N("layout_fit_single_line"),
    N("layout_string_p"), N("layout_end"), N("layout_single_line"), N("layout_pass_only_size"),
    N("layout_pass_end"), N("layout_pass_start"), N("text_layout_next_rect"),
    N("text_layout_next_rect_2"), N("ui_compute_axis_sizes"), N("ui_render_rect_clip_string"),
    N("ui_render_rect_clip_string_over"), N("ui_render_rect_clip_string_visible"),
    N("ui_compute_size"), N("ui_render"), N("ui_position_rect"), N("ui_render_rect"),
    N("ui_compute_size_popup"), N("ui_position_rect_popup"), N("ui_render_rect_popup"),
    N("thread_do_work"), N("thread_user_function"), N("thread_queue_completed_signal"),
    N("thread_loop"), N("thread_wait_for_work"), N("thread_queue_terminated_signal"),
    N("thread_queue_work"), N("thread_queue_signal"), N("thread_complete_queue"),
    N("thread_wait_for_completion"), N("thread_terminate"), N("thread_terminate_signal"),
    N("thread_wait_for_termination"), N("pair_active_set_cursor"), N("pair_hot_set_cursor"),
    N("input_sync_keys"), N("window_proc"), N("default_window_proc"), N("window_create"),
    N("register_class_w"), N("dummy_create_window_ex_w"), N("dummy_choose_pixel_format"),
    N("dummy_describe_pixel_format"), N("dummy_set_pixel_format"), N("dummy_wgl_create_context"),
    N("dummy_wgl_make_current"), N("dummy_get_wgl_functions"), N("dummy_get_gl_functions"),
    N("log_functions"), N("create_window_ex_w"), N("wgl_choose_pixel_format"),
    N("describe_pixel_format"), N("set_pixel_format"), N("wgl_create_context_attribs"),
    N("wgl_make_current"), N("show_window"), N("register_raw_input_devices"),
    N("window_handle_messages"), N("setup"), N("GetMessage"), N("PeekMessage"), N("loop"),
    N("default_translate"), N("default_dispatch"), N("window_swap_buffers"),
    N("hp_decode_codepoint"), N("hp_consume"), N("hp_push_codepoint"),
    N("hp_parse_character_reference"), N("hp_detect_encoding"), N("hp_token_create"),
    N("hp_token_emit"), N("hp_tokenizer"), N("hp_tokenizer_loop"), N("hp_state_default"),
    N("hp_state_default_loop"), N("hp_state_tag"), N("hp_state_raw"), N("hp_state_markup"),
    N("hp_state_xml"), N("hp_tree_construction"), N("hp_tree_traversal_get_node"),
    N("hp_tree_traversal_advance"), N("frame"), N("not_messages"), N("queries_check"),
    N("queries_check_not_removed"), N("window_content"), N("render"), N("twitter_parser_tokenizer"),
    N("twitter_parser_tree_construction"), N("twitter_parser_traversal"),
    N("twitter_parser_traversal_header"), N("twitter_parser_traversal_tweets"),
    N("twitter_parser_traversal_tweets_single"), N("twitter_parser_traversal_tweets_rt"),
    N("twitter_parser_traversal_tweets_id_date"), N("twitter_parser_traversal_date_add_offset_1"),
    N("twitter_parser_traversal_tweets_reply"), N("twitter_parser_traversal_tweets_content"),
    N("ui_left_menu"), N("ui_left_view"), N("ui_right_menu"), N("ui_right_view"), N("ui_log_tree"),
    N("ui_view_help"), N("ui_view_add"), N("ui_view_links"), N("ui_view_rss_settings"),
    N("ui_view_atom_settings"), N("view_list"), N("view_list_metrics"), N("view_list_items"),
    N("view_list_feed"), N("view_list_entry"), N("view_rss_entry"), N("view_atom_entry"),
    N("ui_view_log"), N("ui_html"), N("draw_links"),
};
const profiler_name profiler_thread_kind_names[profiler_thread_kind_count] = {N("worker_thread"), N("main")};
#undef N

// ---- State -------------------------------------------------------------------------------

profiler_state profiler_global;
profiler_thread profiler_threads[PROFILER_MAX_THREADS];
profiler_api_table profiler_api = {profiler_start, profiler_thread_register, profiler_stop, profiler_release};

// Shared by every thread without a record of its own, so it is never written after start-up.
static profiler_thread profiler_unregistered = {
    nullptr, nullptr, nullptr, {}, {}, 0, 0, 0, profiler_zone_nop, profiler_zone_nop,
    profiler_frame_nop, profiler_frame_nop, nullptr, nullptr, 0, 0};
thread_local constinit profiler_thread *profiler_current = &profiler_unregistered;

// The iterator's position over the records.
static u32 profiler_events_index;

static u32 profiler_record_count() {
  u32 n = __atomic_load_n(&profiler_global.thread_count, __ATOMIC_ACQUIRE);
  return n < PROFILER_MAX_THREADS ? n : PROFILER_MAX_THREADS;
}

// ---- Clock -------------------------------------------------------------------------------

u64 profiler_read_tsc() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned int processor;
  return __rdtscp(&processor);
#else
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (u64)ts.tv_sec * 1000000000ull + (u64)ts.tv_nsec;
#endif
}

// The time base a profile is converted to, in nanoseconds.
static u64 profiler_read_counter() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (u64)ts.tv_sec * 1000000000ull + (u64)ts.tv_nsec;
}

// ---- System memory -----------------------------------------------------------------------

#if QM_TEST_HOOKS
// Remaining successes before an injected refusal; negative when off. Registrations race on it.
static s32 profiler_fault_countdown = -1;

void profiler_memory_fault_inject(s32 successes) {
  __atomic_store_n(&profiler_fault_countdown, successes, __ATOMIC_RELAXED);
}

static bool profiler_fault_take() {
  s32 c = __atomic_load_n(&profiler_fault_countdown, __ATOMIC_RELAXED);
  while (c >= 0) {
    s32 next = c == 0 ? -1 : c - 1;
    if (__atomic_compare_exchange_n(&profiler_fault_countdown, &c, next, false, __ATOMIC_RELAXED,
                                    __ATOMIC_RELAXED)) {
      return c == 0;
    }
  }
  return false;
}
#else
static bool profiler_fault_take() { return false; }
#endif

// Reserved and committed in one piece: the zone calls never ask the system for anything.
static void *profiler_memory_alloc(u64 size) {
  if (size == 0 || profiler_fault_take()) return nullptr;
  void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

static void profiler_memory_free(void *p, u64 size) {
  if (p) munmap(p, size);
}

// The nesting counters and, behind them, the per-zone counts of dropped open begins.
static const u64 profiler_counters_size = 2 * profiler_zone_count * sizeof(u32);

// ---- Entry points ------------------------------------------------------------------------

static void profiler_install(profiler_thread *t, u32 flags, profiler_zone_fn begin, profiler_zone_fn end,
                             profiler_frame_fn frame_begin, profiler_frame_fn frame_end) {
  if (flags == 0 || (flags & profiler_entry_zones)) {
    __atomic_store_n(&t->zone_begin, begin, __ATOMIC_RELAXED);
    __atomic_store_n(&t->zone_end, end, __ATOMIC_RELAXED);
  }
  if (flags == 0 || (flags & profiler_entry_frames)) {
    __atomic_store_n(&t->frame_begin_fn, frame_begin, __ATOMIC_RELAXED);
    __atomic_store_n(&t->frame_end_fn, frame_end, __ATOMIC_RELAXED);
  }
}

static void profiler_install_live(profiler_thread *t, u32 flags) {
  // A record without a buffer has nowhere to record; it keeps its no-op entry points.
  if (!__atomic_load_n(&t->events, __ATOMIC_ACQUIRE)) return;
  profiler_install(t, flags, profiler_zone_begin, profiler_zone_end, profiler_frame_begin, profiler_frame_end);
}

static void profiler_install_nop(profiler_thread *t, u32 flags) {
  profiler_install(t, flags, profiler_zone_nop, profiler_zone_nop, profiler_frame_nop, profiler_frame_nop);
}

profiler_event *profiler_zone_nop(u32, u32) { return nullptr; }
profiler_event *profiler_frame_nop(u32) { return nullptr; }

// ---- Zones -------------------------------------------------------------------------------

static inline profiler_event *profiler_begin_on(profiler_thread *t, u32 zone, u32 flags) {
  invariant(zone < profiler_zone_count);
  t->nesting[zone] += 1;
  // Room for this begin, its end and the end of every begin still open keeps pairs whole.
  if ((u64)(t->end - t->cursor) < t->pending_ends + 2) {
    t->dropped_open[zone] += 1;
    t->dropped += 1;
    return nullptr;
  }
  profiler_event *e = t->cursor++;
  t->pending_ends += 1;
  e->zone = zone;
  e->flags = flags;
  // Read last, so the profiler's own work stays outside the zone.
  e->tsc = profiler_read_tsc();
  return e;
}

static inline profiler_event *profiler_end_on(profiler_thread *t, u32 zone, u32 flags) {
  // Read first, so the profiler's own work stays outside the zone.
  u64 tsc = profiler_read_tsc();
  invariant(zone < profiler_zone_count);
  t->nesting[zone] -= 1;
  if (t->dropped_open[zone] > 0) {
    t->dropped_open[zone] -= 1;
    t->dropped += 1;
    return nullptr;
  }
  // Only an end without its begin can find the buffer full: drop it rather than write past it.
  if (t->cursor >= t->end) {
    t->dropped += 1;
    return nullptr;
  }
  profiler_event *e = t->cursor++;
  if (t->pending_ends > 0) t->pending_ends -= 1;
  e->tsc = tsc;
  e->zone = zone;
  e->flags = flags;
  return e;
}

profiler_event *profiler_zone_begin(u32 zone, u32 flags) { return profiler_begin_on(profiler_current, zone, flags); }

profiler_event *profiler_zone_end(u32 zone, u32 flags) { return profiler_end_on(profiler_current, zone, flags); }

// ---- Frames ------------------------------------------------------------------------------

// Keeps only the begin and end events of the oldest kept frame (ring slot s) and slides the
// younger events down over its inside. The move covers only events after that frame, which
// bounds the work per frame.
static void profiler_frame_collapse(profiler_thread *t, u64 s) {
  profiler_event *b = t->frame_begin[s];
  profiler_event *e = t->frame_end[s];
  // A frame dropped by a full buffer left nothing to collapse.
  if (!b || !e) return;
  __atomic_load_n(&t->zone_begin, __ATOMIC_RELAXED)(zone_profiler_collapse, profiler_event_zone_begin);
  b->flags += profiler_event_collapsed;
  e->flags += profiler_event_collapsed;
  u64 removed = (u64)(e - (b + 1));
  if (removed > 0) {
    memmove(b + 1, e, (u64)(t->cursor - e) * sizeof(profiler_event));
    t->cursor -= removed;
    // Every other kept frame is younger, so it moved; slot s's begin is replaced by the caller.
    t->frame_begin[s] = nullptr;
    for (u32 i = 0; i < PROFILER_FRAME_RING; i++) {
      if (t->frame_begin[i]) t->frame_begin[i] -= removed;
      if (t->frame_end[i]) t->frame_end[i] -= removed;
    }
  }
  __atomic_load_n(&t->zone_end, __ATOMIC_RELAXED)(zone_profiler_collapse, profiler_event_zone_end);
}

profiler_event *profiler_frame_begin(u32 zone) {
  profiler_thread *t = profiler_current;
  invariant(t->in_frame == 0);
  t->in_frame = 1;
  if (t->frame_count >= PROFILER_FRAME_RING) profiler_frame_collapse(t, t->frame_count % PROFILER_FRAME_RING);
  profiler_event *e = profiler_begin_on(t, zone, profiler_event_frame_begin);
  t->frame_begin[t->frame_count % PROFILER_FRAME_RING] = e;
  return e;
}

profiler_event *profiler_frame_end(u32 zone) {
  profiler_thread *t = profiler_current;
  invariant(t->in_frame == 1);
  profiler_event *e = profiler_end_on(t, zone, profiler_event_frame_end);
  t->frame_end[t->frame_count % PROFILER_FRAME_RING] = e;
  t->frame_count += 1;
  t->in_frame = 0;
  return e;
}

// ---- Start-up and registration -----------------------------------------------------------

void profiler_thread_register(u32 kind, u64 capacity, u32 *error) {
  if (*error) return;
  invariant(profiler_global.started);
  invariant(profiler_current == &profiler_unregistered);
  invariant(capacity > 0);
  u32 n = __atomic_fetch_add(&profiler_global.thread_count, 1, __ATOMIC_ACQ_REL);
  invariant(n < PROFILER_MAX_THREADS);
  // Past the last record the thread stays on the shared no-op record.
  if (n >= PROFILER_MAX_THREADS) return;
  profiler_thread *t = &profiler_threads[n];
  profiler_current = t;
  t->kind = kind;

  u64 bytes = capacity <= UINT64_MAX / sizeof(profiler_event) ? capacity * sizeof(profiler_event) : 0;
  profiler_event *events = (profiler_event *)profiler_memory_alloc(bytes);
  u32 *counters = events ? (u32 *)profiler_memory_alloc(profiler_counters_size) : nullptr;
  if (!counters) {
    profiler_memory_free(events, bytes);
    *error = profiler_error_no_memory;
    profiler_install_nop(t, 0);
    return;
  }
  t->cursor = events;
  t->end = events + capacity;
  t->nesting = counters;
  t->dropped_open = counters + profiler_zone_count;
  t->pending_ends = 0;
  t->dropped = 0;
  t->frame_count = 0;
  t->in_frame = 0;
  // Published last: another thread's enable sees a buffer only once the record is ready.
  __atomic_store_n(&t->events, events, __ATOMIC_RELEASE);
  profiler_install_live(t, 0);
}

void profiler_start(u32 kind, u64 capacity, u32 *error) {
  profiler_state *g = &profiler_global;
  g->qpc_frequency = 1000000000ull;
  g->zone_count = profiler_zone_count;
  g->kind_count = profiler_thread_kind_count;
  g->tsc_conversion = 0;
  g->tsc_run = profiler_read_tsc();
  g->qpc_run = profiler_read_counter();
  // The run's TSC ticks against its monotonic nanoseconds are the conversion (see the header).
  g->tsc_conversion = 1;
  g->tsc_method = profiler_tsc_method_monotonic;
  g->qpc_shift = 0;
  g->qpc_bias = 0;
  g->hypervisor_scale = 0;
  g->hypervisor_offset = 0;
  g->reserved1 = 0;
  g->reserved2 = 0;
  g->started = 1;
  profiler_thread_register(kind, capacity, error);
}

void profiler_thread_register_disabled(u32 kind, u64, u32 *) {
  u32 n = __atomic_fetch_add(&profiler_global.thread_count, 1, __ATOMIC_ACQ_REL);
  if (n >= PROFILER_MAX_THREADS) return;
  profiler_thread *t = &profiler_threads[n];
  t->kind = kind;
  profiler_install_nop(t, 0);
  profiler_current = t;
}

void profiler_start_disabled(u32 kind, u64 capacity, u32 *error) {
  profiler_thread_register_disabled(kind, capacity, error);
}

void profiler_stop_disabled() {}
void profiler_release_disabled() {}

void profiler_install_disabled() {
  profiler_api.start = profiler_start_disabled;
  profiler_api.thread_register = profiler_thread_register_disabled;
  profiler_api.stop = profiler_stop_disabled;
  profiler_api.release = profiler_release_disabled;
}

// ---- Control -----------------------------------------------------------------------------

void profiler_set_thread_kind(u32 kind) {
  if (profiler_current != &profiler_unregistered) profiler_current->kind = kind;
}

void profiler_set_thread_kind_at(u32 kind, u32 n) {
  if (n < PROFILER_MAX_THREADS) profiler_threads[n].kind = kind;
}

void profiler_enable_thread(u32 n, u32 flags) {
  if (n < profiler_record_count()) profiler_install_live(&profiler_threads[n], flags);
}

void profiler_disable_thread(u32 n, u32 flags) {
  if (n < profiler_record_count()) profiler_install_nop(&profiler_threads[n], flags);
}

void profiler_enable_current(u32 flags) {
  if (profiler_current != &profiler_unregistered) profiler_install_live(profiler_current, flags);
}

void profiler_disable_current(u32 flags) {
  if (profiler_current != &profiler_unregistered) profiler_install_nop(profiler_current, flags);
}

u32 profiler_enable_all(u32 flags) {
  u32 count = profiler_record_count();
  for (u32 i = 0; i < count; i++) profiler_install_live(&profiler_threads[i], flags);
  return count;
}

u32 profiler_disable_all(u32 flags) {
  u32 count = profiler_record_count();
  for (u32 i = 0; i < count; i++) profiler_install_nop(&profiler_threads[i], flags);
  return count;
}

// ---- Reading -----------------------------------------------------------------------------

static profiler_event *profiler_events_from(u32 i, u64 *size) {
  u32 count = profiler_record_count();
  for (; i < count; i++) {
    profiler_thread *t = &profiler_threads[i];
    if (!t->events) continue;
    profiler_events_index = i + 1;
    *size = (u64)(t->cursor - t->events) * sizeof(profiler_event);
    return t->events;
  }
  profiler_events_index = count;
  *size = 0;
  return nullptr;
}

profiler_event *profiler_events_first(u64 *size) { return profiler_events_from(0, size); }

profiler_event *profiler_events_next(u64 *size) { return profiler_events_from(profiler_events_index, size); }

void profiler_check_balanced() {
  u32 count = profiler_record_count();
  for (u32 i = 0; i < count; i++) {
    const u32 *nesting = profiler_threads[i].nesting;
    if (!nesting) continue;
    for (u32 z = 0; z < profiler_zone_count; z++) invariant(nesting[z] == 0);
  }
}

// ---- Stop and teardown -------------------------------------------------------------------

void profiler_stop() {
  profiler_state *g = &profiler_global;
  invariant(g->started);
  u64 tsc = profiler_read_tsc();
  u64 counter = profiler_read_counter();
  g->tsc_run = tsc - g->tsc_run;
  g->qpc_run = counter - g->qpc_run;
  profiler_check_balanced();
}

void profiler_release() {
  u32 count = profiler_record_count();
  for (u32 i = 0; i < count; i++) {
    profiler_thread *t = &profiler_threads[i];
    profiler_install_nop(t, 0);
    if (!t->events) continue;
    profiler_memory_free(t->events, (u64)(t->end - t->events) * sizeof(profiler_event));
    profiler_memory_free(t->nesting, profiler_counters_size);
    t->events = t->cursor = t->end = nullptr;
    t->nesting = t->dropped_open = nullptr;
    memset(t->frame_begin, 0, sizeof(t->frame_begin));
    memset(t->frame_end, 0, sizeof(t->frame_end));
    t->pending_ends = 0;
  }
}
