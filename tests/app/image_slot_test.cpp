#include <gtest/gtest.h>

#include <stdlib.h>

#include <map>

#include "app/image_slot.h"

namespace {

std::map<void *, int> pixels_freed;
std::map<u32, int> textures_deleted;

void count_pixels(void *p) {
  pixels_freed[p] += 1;
  free(p);
}
void count_texture(u32 t) { textures_deleted[t] += 1; }

class ImageSlots : public ::testing::Test {
 protected:
  void SetUp() override {
    allocator_init(&app_allocator, MiB(4), MiB(1), 128);
    image_slot_set_release_functions(count_pixels, count_texture);
    pixels_freed.clear();
    textures_deleted.clear();
  }
  void TearDown() override {
    for (image_slot &s : image_slots) s = image_slot{};
    image_slot_set_release_functions(nullptr, nullptr);
    allocator_destroy(&app_allocator);
  }

  // A slot as the cache and its workers leave it in each state.
  image_slot *fill(u32 index, u32 owner, u32 state, bool shared_resize = false) {
    image_slot *s = &image_slots[index];
    *s = image_slot{};
    s->owner_id = owner;
    s->url = allocator_alloc(&app_allocator, 32);
    s->state = state;
    if (state == image_state_load_error) return s;  // the worker gave the downloaded bytes back
    if (state != image_state_loading) s->pixels = buffer{64, 64, (u8 *)malloc(64)};
    if (state == image_state_resized) {
      s->resized = shared_resize ? s->pixels : memory_alloc(4096, nullptr);
      s->texture = 100 + index;
    }
    return s;
  }
};

TEST_F(ImageSlots, every_finished_state_gives_everything_back_once) {
  u32 states[] = {image_state_decoded, image_state_resized, image_state_load_error, image_state_resize_failed,
                  image_state_no_target_size};
  for (u32 state : states) {
    for (bool shared : {false, true}) {
      pixels_freed.clear();
      textures_deleted.clear();
      image_slot *s = fill(3, 9, state, shared);
      void *pixels = s->pixels.data;
      u32 texture = s->texture;
      ASSERT_TRUE(image_slot_free(s));
      EXPECT_EQ(s->state, 0u);
      EXPECT_EQ(s->owner_id, 0u);
      EXPECT_EQ(s->url.data, nullptr);
      EXPECT_EQ(s->pixels.data, nullptr);
      EXPECT_EQ(s->resized.data, nullptr);
      EXPECT_EQ(s->texture, 0u);
      EXPECT_EQ(pixels_freed.size(), pixels ? 1u : 0u);
      if (pixels) {
        EXPECT_EQ(pixels_freed[pixels], 1);
      }
      EXPECT_EQ(textures_deleted.size(), texture ? 1u : 0u);
      // A second free finds nothing to give back.
      EXPECT_TRUE(image_slot_free(s));
      EXPECT_EQ(pixels_freed.size(), pixels ? 1u : 0u);
    }
  }
}

TEST_F(ImageSlots, slots_under_a_worker_are_never_freed) {
  for (u32 state : {image_state_loading, image_state_resizing}) {
    image_slot *s = fill(0, 4, state);
    EXPECT_FALSE(image_slot_free(s));
    EXPECT_EQ(s->state, state);
    EXPECT_NE(s->url.data, nullptr);
    allocator_free(&app_allocator, s->url.data, s->url.size);
    if (s->pixels.data) free(s->pixels.data);
    *s = image_slot{};
  }
}

TEST_F(ImageSlots, releasing_an_owner_frees_finished_slots_now_and_running_ones_later) {
  fill(0, 7, image_state_decoded);
  fill(1, 7, image_state_resized);
  fill(2, 7, image_state_load_error);
  fill(3, 7, image_state_loading);
  fill(4, 7, image_state_resizing);
  fill(5, 8, image_state_resized);  // another entry's image stays
  image_release_owner(7);
  for (u32 i : {0u, 1u, 2u}) EXPECT_EQ(image_slots[i].state, 0u) << i;
  EXPECT_EQ(image_slots[3].release, 1u);
  EXPECT_EQ(image_slots[4].release, 1u);
  EXPECT_EQ(image_slots[5].state, (u32)image_state_resized);
  EXPECT_EQ(textures_deleted.size(), 1u);

  // Nothing changes while the jobs run.
  image_free_released();
  EXPECT_EQ(image_slots[3].state, (u32)image_state_loading);
  EXPECT_EQ(image_slots[4].state, (u32)image_state_resizing);

  // The load job decodes; the resize job fails. The next frame frees both.
  image_slots[3].pixels = buffer{16, 16, (u8 *)malloc(16)};
  image_slots[3].state = image_state_decoded;
  image_slots[4].state = image_state_resize_failed;
  image_free_released();
  EXPECT_EQ(image_slots[3].state, 0u);
  EXPECT_EQ(image_slots[4].state, 0u);
  EXPECT_EQ(image_slots[3].release, 0u);
  EXPECT_EQ(pixels_freed.size(), 4u);  // slots 0, 1, 3 and 4
  image_free_released();
  EXPECT_EQ(pixels_freed.size(), 4u);
  EXPECT_EQ(image_slots[5].owner_id, 8u);
  image_slot_free(&image_slots[5]);
}

TEST_F(ImageSlots, releasing_an_owner_without_slots_changes_nothing) {
  fill(10, 2, image_state_decoded);
  image_slot before = image_slots[10];
  image_release_owner(5);
  image_release_owner(0);
  EXPECT_EQ(memcmp(&before, &image_slots[10], sizeof before), 0);
  image_slot_free(&image_slots[10]);
}

}  // namespace
