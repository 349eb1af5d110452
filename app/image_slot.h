// The image slot table: 1024 process-wide slots holding the images of entries from download to
// texture. The image cache fills and shows them; this file owns the table and the ways slots are
// given back. Every operation here runs on the UI thread.
#pragma once

#include "core/core.h"

// ---- Types -------------------------------------------------------------------------------

enum image_state : u32 {
  image_state_free = 0,
  image_state_loading = 1,  // a worker's load job owns the slot
  image_state_decoded = 2,
  image_state_resizing = 3,  // a worker's resize job owns the slot
  image_state_resized = 4,
  image_state_load_error = 5,
  image_state_resize_failed = 6,
  image_state_no_target_size = 7,
};

// A slot whose job is still running belongs to its worker: the UI thread may only mark it.
inline bool image_state_in_flight(u32 state) {
  return state == image_state_loading || state == image_state_resizing;
}

struct image_slot {
  u32 owner_id;   // the entry whose page shows the image; 0 in a free slot
  buffer pixels;  // the downloaded bytes, then the decoded pixels (the image library's)
  buffer url;     // NUL-terminated copy in app_allocator
  s32 width, height;
  u8 channels;
  u32 state;     // image_state
  u32 texture;   // the GL texture of the resized pixels, 0 until drawn
  buffer resized;  // the pixels at the target size; may be the same memory as pixels
  s32 target_width, target_height;
  s64 last_use;
  u32 release;  // the entry was deleted while a job ran: free when it finishes
  u32 error;    // http_error of a failed download
  u64 shown_frame;
  u64 shown_state;
  // The frame that last looked the slot up, as frame_counter + 1 (0: never). A node of that
  // frame may point at the slot's pixels and texture, so the slot is not reused while it lasts.
  u64 used_frame;
  // The bytes of decoded and resized pixels the slot holds, counted in image_memory_held.
  u64 memory;
};

#define IMAGE_SLOT_COUNT 1024

// All decoded and resized pixels of the slots together stay within the budget: a decode that
// would pass it waits for the UI thread to free the images shown least recently, and fails when
// every image held is on screen.
#define IMAGE_MEMORY_BUDGET MiB(256)
#if QM_TEST_HOOKS
extern u64 image_memory_budget;  // IMAGE_MEMORY_BUDGET; tests lower it
#else
constexpr u64 image_memory_budget = IMAGE_MEMORY_BUDGET;
#endif
// Bytes held by slots plus those reserved by decodes under way (atomic, any thread).
extern u64 image_memory_held;
// Bytes that decodes are waiting for (atomic, any thread).
extern u64 image_memory_wanted;

extern image_slot image_slots[IMAGE_SLOT_COUNT];
// The process-wide general allocator of the application; the slots' URL copies live there.
extern allocator app_allocator;

// What the slot table cannot do itself: release decoded pixels (the image library's release
// call) and delete GL textures (the renderer's context). The application wires both at start-up;
// until then pixels go back with free, which is what the image library uses, and textures are
// only forgotten.
typedef void image_pixels_free_fn(void *pixels);
typedef void image_texture_delete_fn(u32 texture);
void image_slot_set_release_functions(image_pixels_free_fn *pixels_free, image_texture_delete_fn *texture_delete);

// ---- Giving slots back -------------------------------------------------------------------

// Gives back what the slot holds in its state, once, and makes it free. A slot whose job is
// still running is left alone (false); a free slot has nothing to give back.
bool image_slot_free(image_slot *slot);
// The store frees an entry: its finished slots are freed now, its running ones when their job
// ends. Installed into the store with reader_set_image_release_hook.
void image_release_owner(u32 owner_id);
// Once per frame: frees the marked slots whose job has ended, then, while the held and wanted
// image memory passes the budget, the finished slots shown least recently that no node of this
// or the previous frame shows.
void image_free_released();
