// The undo store over its fixed records and its texts allocator.
#include "ui/undo.h"

#include <initializer_list>

#include "core/strings.h"

// ---- Lists -------------------------------------------------------------------------------

static void undo_list_unlink(ui_undo_record *r) {
  r->prev->next = r->next;
  r->next->prev = r->prev;
  r->next = r->prev = nullptr;
}

static void undo_list_push_front(ui_undo_record *sentinel, ui_undo_record *r) {
  r->next = sentinel->next;
  r->prev = sentinel;
  sentinel->next->prev = r;
  sentinel->next = r;
}

static void undo_free_push(ui_undo_store s, ui_undo_record *r) {
  r->next = nullptr;
  r->prev = *s.free;
  *s.free = r;
}

// Frees the texts, unlinks and releases a listed record.
static void undo_release(ui_undo_store s, ui_undo_record *r) {
  ui_undo_store_record_free_texts(s, r);
  undo_list_unlink(r);
  undo_free_push(s, r);
}

static ui_undo_record *undo_find_in(ui_undo_record *sentinel, u64 id) {
  for (ui_undo_record *r = sentinel->next; r != sentinel; r = r->next)
    if (r->id == id) return r;
  return sentinel;
}

static void undo_release_id_in(ui_undo_store s, ui_undo_record *sentinel, u64 id) {
  for (ui_undo_record *r = sentinel->next; r != sentinel;) {
    ui_undo_record *next = r->next;
    if (r->id == id) undo_release(s, r);
    r = next;
  }
}

// The oldest listed record other than keep, undo list first; null when there is none.
static ui_undo_record *undo_oldest(ui_undo_store s, const ui_undo_record *keep) {
  for (ui_undo_record *sentinel : {s.undo, s.redo})
    for (ui_undo_record *r = sentinel->prev; r != sentinel; r = r->prev)
      if (r != keep) return r;
  return nullptr;
}

// A block of n bytes for a record's text. When the allocator is out of room the oldest records
// (never keep) give their texts back until the block fits or nothing is left to give.
static buffer undo_texts_alloc(ui_undo_store s, u64 n, const ui_undo_record *keep) {
  for (;;) {
    buffer b = allocator_alloc(s.texts, n);
    if (b.data) return b;
    ui_undo_record *oldest = undo_oldest(s, keep);
    if (!oldest) return buffer{};
    undo_release(s, oldest);
  }
}

// ---- Creation ----------------------------------------------------------------------------

void ui_undo_store_init(ui_undo_store s) {
  allocator_init(s.texts, UI_UNDO_TEXTS_RESERVE, UI_UNDO_TEXTS_COMMIT_STEP, UI_UNDO_TEXTS_GRANULARITY);
  *s.records = memory_alloc(UI_UNDO_RECORDS_BYTES, nullptr);
  *s.free = nullptr;
  *s.undo = ui_undo_record{};
  *s.redo = ui_undo_record{};
  s.undo->next = s.undo->prev = s.undo;
  s.redo->next = s.redo->prev = s.redo;
}

// ---- Records -----------------------------------------------------------------------------

ui_undo_record *ui_undo_store_record_alloc(ui_undo_store s) {
  ui_undo_record *r = *s.free;
  if (r) {
    *s.free = r->prev;
  } else if (s.records->used / sizeof(ui_undo_record) < UI_UNDO_RECORD_COUNT &&
             (r = buffer_push_struct(s.records, ui_undo_record))) {
    // The arena has room for a few more than the count; the count is the limit that holds.
  } else {
    r = undo_oldest(s, nullptr);
    invariant(r);  // at most one record is ever outside every list
    ui_undo_store_record_free_texts(s, r);
    undo_list_unlink(r);
  }
  *r = ui_undo_record{};
  return r;
}

void ui_undo_store_record_free_texts(ui_undo_store s, ui_undo_record *r) {
  if (r->kind != ui_undo_kind_replace) return;
  if (r->removed.size) allocator_free(s.texts, r->removed.data, r->removed.size);
  if (r->inserted.size) allocator_free(s.texts, r->inserted.data, r->inserted.size);
  r->removed = buffer{};
  r->inserted = buffer{};
}

ui_undo_record *ui_undo_store_find(ui_undo_store s, u64 id) { return undo_find_in(s.undo, id); }
ui_undo_record *ui_redo_store_find(ui_undo_store s, u64 id) { return undo_find_in(s.redo, id); }

void ui_redo_store_clear(ui_undo_store s, u64 id) { undo_release_id_in(s, s.redo, id); }

void ui_undo_store_close(ui_undo_store s, u64 id) {
  ui_undo_record *r = ui_undo_store_find(s, id);
  if (r != s.undo) r->closed = 1;
}

void ui_undo_store_forget(ui_undo_store s, u64 id) {
  undo_release_id_in(s, s.undo, id);
  undo_release_id_in(s, s.redo, id);
}

ui_undo_record *ui_undo_store_record_edit(ui_undo_store s, ui_undo_target t, buffer text, u8 *begin, u8 *end,
                                          buffer inserted) {
  invariant(begin && end && begin <= end);
  invariant(begin >= text.data && end <= text.data + text.used);
  u64 start = (u64)(begin - text.data);
  u64 stop = (u64)(end - text.data);

  // A new edit ends the box's redo history.
  ui_redo_store_clear(s, t.id);

  if (start == stop) {
    ui_undo_record *r = ui_undo_store_find(s, t.id);
    if (r != s.undo && !r->closed && r->start + r->inserted.used == start) {
      invariant(r->kind == ui_undo_kind_replace && inserted.used);
      if (r->inserted.size - r->inserted.used < inserted.used) {
        // Room for as much again, so a long run of typing is copied a few times in all rather
        // than once per block of the allocator's granularity. Only when that larger block is
        // not free is the exact size asked for, which may recycle older records.
        u64 need = r->inserted.used + inserted.used;
        buffer grown = allocator_alloc(s.texts, 2 * need);
        if (!grown.data) grown = undo_texts_alloc(s, need, r);
        if (!grown.data) {
          ui_undo_store_forget(s, t.id);
          return nullptr;
        }
        memory_copy(grown.data, r->inserted.data, r->inserted.used);
        grown.used = r->inserted.used;
        if (r->inserted.size) allocator_free(s.texts, r->inserted.data, r->inserted.size);
        r->inserted = grown;
      }
      memory_copy(r->inserted.data + r->inserted.used, inserted.data, inserted.used);
      r->inserted.used += inserted.used;
      return r;
    }
  }

  ui_undo_record *r = ui_undo_store_record_alloc(s);
  r->id = t.id;
  r->kind = ui_undo_kind_replace;
  r->caret = *t.caret;
  r->anchor = *t.anchor;
  r->scroll_before = r->scroll_after = *t.text_scroll;
  r->start = start;
  r->end = stop;
  bool kept = true;
  if (stop > start) {
    r->removed = undo_texts_alloc(s, stop - start, r);
    if (r->removed.data) {
      memory_copy(r->removed.data, begin, stop - start);
      r->removed.used = stop - start;
    } else {
      kept = false;
    }
  }
  if (kept && inserted.used) {
    r->inserted = undo_texts_alloc(s, inserted.used, r);
    if (r->inserted.data) {
      memory_copy(r->inserted.data, inserted.data, inserted.used);
      r->inserted.used = inserted.used;
    } else {
      kept = false;
    }
  }
  if (!kept) {
    ui_undo_store_record_free_texts(s, r);
    undo_free_push(s, r);
    ui_undo_store_forget(s, t.id);
    return nullptr;
  }
  undo_list_push_front(s.undo, r);
  return r;
}

void ui_undo_store_record_finish(ui_undo_record *r, ui_undo_target t) {
  if (r) r->scroll_after = *t.text_scroll;
}

// ---- Undo and redo -----------------------------------------------------------------------

// Whether [start, start + expected.used) of the text holds exactly the expected bytes and can
// take the replacement within the text's capacity.
static bool undo_range_matches(const buffer *text, u64 start, buffer expected, buffer replacement) {
  if (start > text->used || expected.used > text->used - start) return false;
  if (!string_equal_bytes(text->data + start, expected.used, expected.data, expected.used)) return false;
  return string_can_replace(text, text->data + start, text->data + start + expected.used, replacement);
}

static u64 undo_clamp(u64 offset, u64 length) { return offset < length ? offset : length; }

void ui_undo_store_undo(ui_undo_store s, ui_undo_target t, buffer *text) {
  ui_undo_record *r = ui_undo_store_find(s, t.id);
  if (r == s.undo) return;
  invariant(r->kind == ui_undo_kind_replace);
  if (!undo_range_matches(text, r->start, r->inserted, r->removed)) {
    ui_undo_store_forget(s, t.id);
    return;
  }
  undo_list_unlink(r);
  undo_list_push_front(s.redo, r);
  u8 *at = text->data + r->start;
  string_replace(text, at, at + r->inserted.used, r->removed);
  *t.caret = undo_clamp(r->caret, text->used);
  *t.anchor = undo_clamp(r->anchor, text->used);
  *t.text_scroll = r->scroll_before;
}

void ui_undo_store_redo(ui_undo_store s, ui_undo_target t, buffer *text) {
  ui_undo_record *r = ui_redo_store_find(s, t.id);
  if (r == s.redo) return;
  invariant(r->kind == ui_undo_kind_replace);
  if (!undo_range_matches(text, r->start, r->removed, r->inserted)) {
    ui_undo_store_forget(s, t.id);
    return;
  }
  undo_list_unlink(r);
  undo_list_push_front(s.undo, r);
  u8 *at = text->data + r->start;
  string_replace(text, at, at + r->removed.used, r->inserted);
  *t.caret = *t.anchor = r->start + r->inserted.used;
  *t.text_scroll = r->scroll_after;
}

u64 ui_undo_store_count(ui_undo_store s) {
  u64 n = 0;
  for (ui_undo_record *sentinel : {s.undo, s.redo})
    for (ui_undo_record *r = sentinel->next; r != sentinel; r = r->next) n++;
  return n;
}

// ---- The context's store -----------------------------------------------------------------

ui_undo_store ui_undo_store_of(ui_context *ctx) {
  return ui_undo_store{&ctx->undo_allocator, &ctx->undo_records, &ctx->undo_free, &ctx->undo_list,
                       &ctx->redo_list};
}

ui_undo_target ui_undo_target_of(ui_node *n) {
  invariant(n);
  return ui_undo_target{n->id, &n->caret, &n->anchor, &n->text_scroll};
}

ui_undo_record *ui_undo_record_alloc(ui_context *ctx) { return ui_undo_store_record_alloc(ui_undo_store_of(ctx)); }
void ui_undo_record_free_texts(ui_context *ctx, ui_undo_record *record) {
  ui_undo_store_record_free_texts(ui_undo_store_of(ctx), record);
}
ui_undo_record *ui_undo_find(ui_context *ctx, ui_id id) { return ui_undo_store_find(ui_undo_store_of(ctx), id); }
void ui_undo_close(ui_context *ctx, ui_id id) { ui_undo_store_close(ui_undo_store_of(ctx), id); }
ui_undo_record *ui_redo_find(ui_context *ctx, ui_id id) { return ui_redo_store_find(ui_undo_store_of(ctx), id); }
void ui_redo_clear(ui_context *ctx, ui_id id) { ui_redo_store_clear(ui_undo_store_of(ctx), id); }
ui_undo_record *ui_undo_record_edit(ui_context *ctx, ui_node *text_node, buffer text, u8 *begin, u8 *end,
                                    buffer inserted) {
  return ui_undo_store_record_edit(ui_undo_store_of(ctx), ui_undo_target_of(text_node), text, begin, end,
                                   inserted);
}
void ui_undo_record_finish(ui_context *, ui_undo_record *record, ui_node *text_node) {
  ui_undo_store_record_finish(record, ui_undo_target_of(text_node));
}
void ui_undo(ui_context *ctx, ui_node *text_node, buffer *text) {
  ui_undo_store_undo(ui_undo_store_of(ctx), ui_undo_target_of(text_node), text);
}
void ui_redo(ui_context *ctx, ui_node *text_node, buffer *text) {
  ui_undo_store_redo(ui_undo_store_of(ctx), ui_undo_target_of(text_node), text);
}
