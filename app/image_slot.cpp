// The image slot table and the three ways its slots are given back.
#include <stdlib.h>

#include "app/image_slot.h"
#include "app/image_cache.h"

image_slot image_slots[IMAGE_SLOT_COUNT];
#if QM_TEST_HOOKS
u64 image_memory_budget = IMAGE_MEMORY_BUDGET;
#endif
u64 image_memory_held;
u64 image_memory_wanted;

static void image_pixels_free_default(void *pixels) { free(pixels); }
static void image_texture_delete_default(u32) {}

static image_pixels_free_fn *image_pixels_free = image_pixels_free_default;
static image_texture_delete_fn *image_texture_delete = image_texture_delete_default;

void image_slot_set_release_functions(image_pixels_free_fn *pixels_free, image_texture_delete_fn *texture_delete) {
  image_pixels_free = pixels_free ? pixels_free : image_pixels_free_default;
  image_texture_delete = texture_delete ? texture_delete : image_texture_delete_default;
}

// Workers write a slot's results first and its state last; reading the state with acquire makes
// those results visible once the state says the job is over.
static u32 image_slot_state(const image_slot *slot) { return __atomic_load_n(&slot->state, __ATOMIC_ACQUIRE); }

bool image_slot_free(image_slot *slot) {
  u32 state = image_slot_state(slot);
  if (state == image_state_free) return true;  // nothing left to give back
  if (image_state_in_flight(state)) return false;
  // A resize that needed no shrinking shares the decoded pixels: that memory goes back once.
  if (slot->resized.data && slot->resized.data != slot->pixels.data) memory_free(&slot->resized);
  if (slot->pixels.data) {
    if (state == image_state_load_error) {
      memory_free(&slot->pixels);  // the downloaded bytes, from the system
    } else {
      image_pixels_free(slot->pixels.data);  // decoded by the image library
    }
  }
  if (slot->texture) image_texture_delete(slot->texture);
  if (slot->url.data) allocator_free(&app_allocator, slot->url.data, slot->url.size);
  if (slot->memory) __atomic_sub_fetch(&image_memory_held, slot->memory, __ATOMIC_ACQ_REL);
  slot->memory = 0;
  slot->texture = 0;
  slot->pixels = buffer{};
  slot->resized = buffer{};
  slot->url = buffer{};
  slot->owner_id = 0;
  slot->state = image_state_free;
  slot->release = 0;
  return true;
}

void image_release_owner(u32 owner_id) {
  if (owner_id == 0) return;
  for (image_slot &slot : image_slots) {
    u32 state = image_slot_state(&slot);
    if (slot.owner_id != owner_id || state == image_state_free) continue;
    // Every finished state goes now, the pixels and textures of an image on screen included;
    // a slot under a worker goes when its job ends.
    if (image_state_in_flight(state)) {
      slot.release = 1;
    } else {
      image_slot_free(&slot);
    }
  }
}

void image_free_released() {
  for (image_slot &slot : image_slots) {
    if (!slot.release) continue;
    u32 state = image_slot_state(&slot);
    if (state != image_state_free && !image_state_in_flight(state)) image_slot_free(&slot);
  }
  image_memory_trim();
}
