// Image memory with several workers decoding at once while the UI thread's frames free the
// images shown least recently: the budget holds at every moment and the count stays exact.
#include <gtest/gtest.h>

#include <string>

#include "app/app.h"
#include "app/image_cache.h"
#include "gfx/image.h"
#include "platform/http.h"
#include "platform/threads.h"
#include "profiler/profiler.h"
#include "tests/app/image_cache_support.h"
#include "tests/support/http_server.h"
#include "tests/support/image_files.h"
#include "tests/support/wait.h"

namespace {

thread_queue memory_test_queue;

std::string grey_bmp(u32 w, u32 h) {
  std::vector<u8> rgb((size_t)w * h * 3, 90);
  std::vector<u8> file = bmp_file(w, h, rgb.data());
  return std::string(file.begin(), file.end());
}

TEST(ImageMemoryConcurrency, decodes_at_once_stay_within_the_budget_while_frames_free_old_images) {
  test_http_server server{[](test_http_connection &c, const std::string &) { c.send_response(200, grey_bmp(30, 20)); }};
  image_cache_test_begin(&memory_test_queue, 4, [] {});
  const u64 one = 30 * 20 * 3;
  image_memory_budget = 2 * one;
  std::string address = server.url("/a.bmp");
  buffer url = string_from_bytes(address.data(), address.size());

  frame_counter = 1;
  u32 owner = 1;
  for (u32 round = 0; round < 6; round++) {
    // Three new images at once, then frames that look nothing up until all three have ended.
    image_slot *started[3] = {};
    for (image_slot *&s : started) {
      s = image_get(owner++, url, 1);
      ASSERT_NE(s, nullptr);
    }
    u64 over_budget = 0;
    ASSERT_TRUE(test_wait_until([&] {
      frame_counter++;
      image_free_released();
      over_budget += __atomic_load_n(&image_memory_held, __ATOMIC_ACQUIRE) > image_memory_budget;
      bool loading = false;
      for (image_slot *s : started) loading |= __atomic_load_n(&s->state, __ATOMIC_ACQUIRE) == image_state_loading;
      return !loading;
    }, test_wait_limit, std::chrono::milliseconds(1))) << "the decodes never ended";
    ASSERT_EQ(over_budget, 0u) << "frames that saw more memory held than the budget";
    // Each was decoded; those shown least recently may have been freed again for the others.
    for (image_slot *s : started) {
      u32 state = __atomic_load_n(&s->state, __ATOMIC_ACQUIRE);
      EXPECT_TRUE(state == image_state_decoded || state == image_state_free) << state;
    }
  }
  thread_complete_queue(&memory_test_queue);
  u64 counted = 0;
  for (image_slot &s : image_slots) counted += s.memory;
  EXPECT_EQ(counted, image_memory_held);
  EXPECT_LE(counted, 2 * one);

  image_cache_test_end(&memory_test_queue);
}

}  // namespace
