// The undo store: the edit history of every text box in one place. A fixed set of 100 records is
// shared by all boxes; each record is one replacement of a byte range of one box's text, keyed by
// the box's text-node id. Records sit on an undo list and a redo list (newest first, circular
// through a sentinel) or on the free list; their removed and inserted bytes live in a first-fit
// allocator of the context. Consecutive typing merges into one record, so one undo removes a
// typed word. When every record is taken, the oldest of any box is recycled. UI thread only.
#pragma once

#include "ui/ui.h"

// ---- Types -------------------------------------------------------------------------------

enum : u32 {
  ui_undo_kind_replace = 1,  // the only kind the store makes
};

#define UI_UNDO_RECORDS_BYTES 17600
#define UI_UNDO_TEXTS_RESERVE MiB(1)
#define UI_UNDO_TEXTS_COMMIT_STEP MiB(1)
#define UI_UNDO_TEXTS_GRANULARITY 64

// The store's parts as the context holds them, gathered for the functions below.
struct ui_undo_store {
  allocator *texts;
  buffer *records;  // room for UI_UNDO_RECORD_COUNT records
  ui_undo_record **free;
  ui_undo_record *undo;  // sentinels
  ui_undo_record *redo;
};

// The editing state of a box that an undo restores: the text node's id and persistent fields.
struct ui_undo_target {
  u64 id;
  u64 *caret;
  u64 *anchor;
  f32 *text_scroll;
};

// ---- Creation ----------------------------------------------------------------------------

// Sets up the allocator, takes the records' memory, empties both lists and the free list (the
// context's own store is set up by ui_init).
void ui_undo_store_init(ui_undo_store store);
// The context's store, and a text node as the target of an edit.
ui_undo_store ui_undo_store_of(ui_context *ctx);
ui_undo_target ui_undo_target_of(ui_node *text_node);

// ---- Records -----------------------------------------------------------------------------

// A zeroed record in neither list: a free one, else a new one, else the oldest undo record, else
// the oldest redo record (their texts freed).
ui_undo_record *ui_undo_store_record_alloc(ui_undo_store store);
void ui_undo_store_record_free_texts(ui_undo_store store, ui_undo_record *record);
// The newest record of the id, or the sentinel when there is none.
ui_undo_record *ui_undo_store_find(ui_undo_store store, u64 id);
ui_undo_record *ui_redo_store_find(ui_undo_store store, u64 id);
// Releases every redo record of the id.
void ui_redo_store_clear(ui_undo_store store, u64 id);
// Releases every record of the id in both lists.
void ui_undo_store_forget(ui_undo_store store, u64 id);
// The box's newest record takes no more typing: the next edit starts a record of its own.
void ui_undo_store_close(ui_undo_store store, u64 id);
// Records replacing [begin, end) of the text by inserted, before the text changes. Null when the
// edit cannot be kept (no memory for its bytes): the box's history is then dropped, since its
// older records would no longer match the text.
ui_undo_record *ui_undo_store_record_edit(ui_undo_store store, ui_undo_target target, buffer text,
                                          u8 *begin, u8 *end, buffer inserted);
// After the edit: the scroll it left. Null (an edit that was not kept) does nothing.
void ui_undo_store_record_finish(ui_undo_record *record, ui_undo_target target);

// ---- Undo and redo -----------------------------------------------------------------------

// Both do nothing without a record of the id. A record that no longer matches the text (the
// caller changed the text outside the box, or its capacity) is not applied: the box's whole
// history is dropped instead, so the text and the caret never leave the buffer.
void ui_undo_store_undo(ui_undo_store store, ui_undo_target target, buffer *text);
void ui_undo_store_redo(ui_undo_store store, ui_undo_target target, buffer *text);

// Records in use (in either list), for tests and the tree dump.
u64 ui_undo_store_count(ui_undo_store store);

// ---- The context's store -----------------------------------------------------------------
// The same operations on the context's store, for a box's text node.

ui_undo_record *ui_undo_record_alloc(ui_context *ctx);
void ui_undo_record_free_texts(ui_context *ctx, ui_undo_record *record);
ui_undo_record *ui_undo_find(ui_context *ctx, ui_id id);
ui_undo_record *ui_redo_find(ui_context *ctx, ui_id id);
void ui_redo_clear(ui_context *ctx, ui_id id);
void ui_undo_close(ui_context *ctx, ui_id id);
ui_undo_record *ui_undo_record_edit(ui_context *ctx, ui_node *text_node, buffer text, u8 *begin, u8 *end,
                                    buffer inserted);
void ui_undo_record_finish(ui_context *ctx, ui_undo_record *record, ui_node *text_node);
void ui_undo(ui_context *ctx, ui_node *text_node, buffer *text);
void ui_redo(ui_context *ctx, ui_node *text_node, buffer *text);
