// The store gives an entry's images back through the hook the application installs: purging
// deleted records, deleting a feed and an update that replaces an entry all reach the slot table.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "app/image_slot.h"
#include "reader/reader.h"
#include "tests/support/test_store.h"

namespace {

buffer text_of(const std::string &s) { return string_from_bytes(s.data(), s.size()); }

class ImageRelease : public ::testing::Test {
 protected:
  reader r = {};
  codepoint_set set = {};
  buffer set_memory = {}, scratch = {};

  void SetUp() override {
    allocator_init(&app_allocator, MiB(4), MiB(1), 128);
    ASSERT_TRUE(test_store_init(&r, &set, &set_memory));
    scratch = memory_alloc(MiB(4), nullptr);
    reader_set_image_release_hook(image_release_owner);
  }
  void TearDown() override {
    reader_set_image_release_hook(nullptr);
    for (image_slot &s : image_slots) {
      if (s.state != image_state_free && !image_state_in_flight(s.state)) image_slot_free(&s);
      s = image_slot{};
    }
    memory_free(&scratch);
    reader_destroy(&r);
    memory_free(&set_memory);
    allocator_destroy(&app_allocator);
  }

  // One fetch of an RSS document whose items are (guid, day of January 2024) pairs.
  feed *fetch(feed *f, std::initializer_list<std::pair<const char *, int>> items) {
    std::string doc = "<rss><channel><title>t</title>";
    for (auto &i : items)
      doc += std::string("<item><guid>") + i.first + "</guid><pubDate>" + std::to_string(i.second) +
             " Jan 2024 10:00:00 GMT</pubDate></item>";
    doc += "</channel></rss>";
    r.generation += 1;
    u32 error = 0;
    f = feed_parse(&scratch, &r, text_of(doc), text_of("https://example.org/" + std::to_string(r.next_feed_id)), f,
                   &error);
    EXPECT_EQ(error, 0u);
    return f;
  }
  entry *by_guid(feed *f, const char *guid) { return reader_find_entry_by_guid(&r, f->id, text_of(guid)); }

  image_slot *show(u32 index, u32 owner, u32 state) {
    image_slot *s = &image_slots[index];
    *s = image_slot{};
    s->owner_id = owner;
    s->url = allocator_alloc(&app_allocator, 32);
    s->state = state;
    if (state != image_state_loading) s->pixels = buffer{64, 64, (u8 *)malloc(64)};
    return s;
  }
};

TEST_F(ImageRelease, purging_and_replacing_entries_gives_their_images_back) {
  feed *a = fetch(nullptr, {{"a1", 1}, {"a2", 2}});
  u32 a_id = a->id;
  feed *b = fetch(nullptr, {{"b1", 1}, {"b2", 2}, {"b3", 3}});
  u32 b_id = b->id;
  image_slot *a1 = show(0, by_guid(a, "a1")->id, image_state_decoded);
  image_slot *a2 = show(1, by_guid(a, "a2")->id, image_state_loading);
  image_slot *b1 = show(2, by_guid(b, "b1")->id, image_state_resized);
  image_slot *b2 = show(3, by_guid(b, "b2")->id, image_state_decoded);
  image_slot *b3 = show(4, by_guid(b, "b3")->id, image_state_decoded);
  u32 b2_owner = b2->owner_id;

  reader_mark_feed_deleted(&r, a);
  entry_mark_deleted(by_guid(b, "b1"));
  reader_purge_deleted(&r);
  EXPECT_EQ(reader_find_feed(&r, a_id), nullptr);
  EXPECT_EQ(a1->state, (u32)image_state_free);
  EXPECT_EQ(b1->state, (u32)image_state_free);
  // Still loading: marked, and freed in the first frame after its job has ended.
  EXPECT_EQ(a2->state, (u32)image_state_loading);
  EXPECT_EQ(a2->release, 1u);
  image_free_released();
  EXPECT_EQ(a2->state, (u32)image_state_loading);
  a2->pixels = buffer{64, 64, (u8 *)malloc(64)};
  __atomic_store_n(&a2->state, (u32)image_state_decoded, __ATOMIC_RELEASE);
  image_free_released();
  EXPECT_EQ(a2->state, (u32)image_state_free);
  EXPECT_EQ(b2->owner_id, b2_owner);

  // A newer version of b2 replaces the entry, and the old entry's image goes with it.
  b = fetch(reader_find_feed(&r, b_id), {{"b2", 5}});
  EXPECT_NE(by_guid(b, "b2")->id, b2_owner);
  EXPECT_EQ(b2->state, (u32)image_state_free);
  EXPECT_EQ(b3->state, (u32)image_state_decoded);
  // Deleting the feed takes the rest.
  reader_delete_feed(&r, b);
  EXPECT_EQ(b3->state, (u32)image_state_free);
  EXPECT_EQ(reader_check(&r), 0u);
}

}  // namespace
