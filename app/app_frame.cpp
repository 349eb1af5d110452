// The frame loop's work on the store: done fetch slots become parsed feeds, the selection
// survives the parse, and the store is saved at exit.
#include "app/app.h"
#include "app/view_list.h"

#include "profiler/profiler.h"

#define FAILURE_LINE_BYTES 4096

// The generation hook of the fetch requests has only the store; the view it moves is the run's.
static app *fetch_app;

void app_fetch_init(app *a, fetch_context *c, query *slots, u32 count, thread_queue *queue,
                    fetch_wake_fn *wake) {
  memory_zero(c, sizeof(*c));
  c->queries = slots;
  c->query_count = count;
  c->start_generation = a->start_generation;
  c->url_allocator = &app_allocator;
  c->queue = queue;
  c->wake = wake;
  c->new_generation = app_new_generation;
  a->fetch = c;
  a->queries = slots;
  a->query_count = count;
  fetch_app = a;
}

void app_new_generation(reader *r) {
  r->generation += 1;
  view_list_stale();
  if (fetch_app && fetch_app->view) {
    fetch_app->view->generation_from = r->generation;
    fetch_app->view->generation_to = r->generation;
  }
}

// ---- Done slots --------------------------------------------------------------------------

// One line per failed fetch. A download's own line with the transport's detail was written by
// the HTTP layer already; a local file's error is a file error and is named as one.
static void log_query_failure(const query *slot) {
  buffer url = string_from_bytes(slot->url.data, slot->url.used);
  if (!fetch_url_is_download(url)) {
    log_file_error_reason(string_lit("Reading the feed file"), url, slot->error, slot->error_reason);
    return;
  }
  u8 bytes[FAILURE_LINE_BYTES];
  buffer line = buffer_make(sizeof bytes, 0, bytes);
  const char *name = http_error_name(slot->error);
  buffer_push_bytes(&line, "Error while retrieving feed: ", 29);
  u64 room = sizeof bytes - 96;
  buffer_push_bytes(&line, url.data, unicode_utf8_cut(url.data, url.used, room));
  buffer_push_bytes(&line, " returned (", 11);
  buffer_push_unsigned(&line, slot->error, 0, ' ', 0);
  buffer_push_bytes(&line, ") ", 2);
  buffer_push_bytes(&line, name, string_length(name));
  buffer_push_bytes(&line, "\n", 1);
  log_append(line.data, line.used);
}

void app_query_handle(app *a, reader *r, query *slot, buffer *scratch) {
  view_state *v = a->view;
  buffer url = string_from_bytes(slot->url.data, slot->url.used);
  if (slot->error != 0) {
    log_query_failure(slot);
    view_show_log(a);
    query_release(slot, &app_allocator);
    return;
  }

  feed *target = nullptr;
  bool found = true;
  if (slot->feed_id != -1) {
    target = reader_find_feed(r, (u32)slot->feed_id);
    found = target != nullptr;
  } else {
    // The same URL requested twice before the first answer was handled: the second answer
    // updates the feed the first one made instead of making a twin.
    target = reader_find_feed_by_url(r, url);
  }

  if (found) {
    PROFILE_ZONE(zone_queries_check_not_removed);
    log_append_string(string_lit("Parsing: "));
    log_append_string(url);
    log_append_string(string_lit("\n\n"));

    // The parse may move or replace the store's records and strings: the selection is kept as
    // ids and the unique id's bytes, never as pointers.
    u32 selected_feed_id = v->selected_feed ? v->selected_feed->id : 0;
    u32 selected_entry_id = v->selected_entry ? v->selected_entry->id : 0;
    entry *selected_before = v->selected_entry;
    u8 guid_bytes[1024];
    buffer guid = {};
    if (v->selected_entry) {
      buffer g = entry_get_guid(v->selected_entry);
      // A longer id goes to the frame arena's free tail, which the parse does not touch.
      buffer area = g.used <= sizeof guid_bytes ? buffer_make(sizeof guid_bytes, 0, guid_bytes)
                                                : buffer_view_rest(a->frame_arena);
      if (g.used && buffer_push_bytes(&area, g.data, g.used)) guid = string_from_bytes(area.data, g.used);
    }

    // The parse and the sort change this feed alone: the list refreshes it, not the whole store.
    view_list_feed_change_begin(r);
    u32 parse_error = 0;
    feed *f = feed_parse(scratch, r, slot->result, url, target, &parse_error);

    v->selected_feed = selected_feed_id ? reader_find_feed(r, selected_feed_id) : nullptr;
    if (!v->selected_feed) {
      v->selected_entry = nullptr;
    } else if (guid.used) {
      entry *e = reader_find_entry_by_guid(r, selected_feed_id, guid);
      selected_entry_id = e ? e->id : 0;
    }
    if (f) {
      if (!reader_get_meta(r, f->id)) reader_new_meta(r, f->id);
      reader_sort_feed_entries(r, f);
    }
    view_list_feed_change_end(r, f ? f->id : target ? target->id : 0);
    // Sorting moves entries inside their pool, so the entry is taken again by its ids.
    v->selected_entry = v->selected_feed && selected_entry_id ? reader_find_entry(r, selected_feed_id, selected_entry_id)
                                                             : nullptr;
    // The shown HTML belongs to the entry that was selected; another one parses its own.
    if (v->selected_entry != selected_before) v->html_parsed = 0;
  }
  query_release(slot, &app_allocator);
}

u32 app_queries_check(app *a, reader *r) {
  PROFILE_ZONE(zone_queries_check);
  s64 start = counter_now();
  // The budget is set in nanoseconds; the counter counts ticks of its own frequency.
  s64 budget = counter_ticks_from_ns(a->queries_budget_ns);
  // Once a frame, before any parse: texts replaced by updates are given back when they outweigh
  // the live ones. The shown entry's HTML is parsed again from the texts' new place.
  if (reader_strings_reclaim(r) && a->view) a->view->html_parsed = 0;
  u32 handled = 0;
  bool pending = false;  // a slot is still queued or done after this frame
  bool deferred = false;
  buffer scratch = {};
  bool borrowed = false;
  u16 order[FETCH_QUERY_COUNT];
  u32 done = query_done_in_order(a->queries, (u32)a->query_count, order, &pending);
  for (u32 k = 0; k < done; k++) {
    query *slot = &a->queries[order[k]];
    // The window keeps drawing while a batch arrives: what is left after the budget waits for
    // the next frame. The first document always goes through, however long it alone takes.
    if (a->queries_budget_ns && handled && counter_now() - start >= budget) {
      deferred = true;
      break;
    }
    if (!borrowed) {
      scratch = memory_scratch_acquire();
      borrowed = true;
    }
    scratch.used = 0;
    app_query_handle(a, r, slot, &scratch);
    handled++;
  }
  if (borrowed) memory_scratch_release();
  // The deferred slots' wake-ups have come already: nothing but this asks for their frame.
  if (deferred && a->view) a->view->another_frame = 1;
  // The batch is done: the document buffers and the parse memory give their pages back until
  // the next one.
  if (handled && !pending && !deferred) {
    fetch_buffers_release();
    xml_memory_trim(&r->xml, 0);
  }
  return handled;
}

// ---- Exit --------------------------------------------------------------------------------

bool app_save_at_exit(reader *r, buffer data_folder) {
  reader_purge_deleted(r);
  reader_check(r);
  buffer before = log_last_text();
  if (reader_save(r, data_folder)) return true;
  // The window is gone: the lines the save logged are its reason on standard error too (the
  // whole newest chunk when the save's lines began a new one).
  buffer after = log_last_text();
  buffer reason = after.data == before.data && after.used >= before.used
                      ? string_from_bytes(after.data + before.used, after.used - before.used)
                      : after;
  log_write_stderr(reason.used ? reason : string_lit("Error while saving the reader.\n"));
  return false;
}

void app_end(app *a) {
  // Another context may have been made since; its hook stays.
  if (fetch_app == a) fetch_app = nullptr;
  a->fetch = nullptr;
  app_queue = nullptr;
  app_reader = nullptr;
  reader_set_image_release_hook(nullptr);
  image_slot_set_release_functions(nullptr, nullptr);
}
