// What the image cache needs around it in a test: the allocator of the URL copies, the decoder's
// release call, HTTP and a queue of workers; and the check at the end that every slot gave back
// everything it held.
#pragma once

#include <gtest/gtest.h>

#include "app/image_cache.h"
#include "gfx/image.h"
#include "platform/http.h"
#include "platform/threads.h"
#include "profiler/profiler.h"

inline void image_cache_test_begin(thread_queue *queue, u32 workers, image_wake_fn *wake) {
  profiler_install_disabled();
  allocator_init(&app_allocator, MiB(4), MiB(1), 128);
  image_slot_set_release_functions(image_decoded_free, nullptr);
  u32 error = 0;
  http_init(string_lit("quillmere"), &error);
  ASSERT_EQ(error, 0u);
  thread_queue_create(queue, workers);
  image_cache_set_queue(queue, wake);
}

inline void image_cache_test_end(thread_queue *queue) {
  thread_complete_queue(queue);
  thread_terminate(queue);
  // The table is the process's: the next test finds it as a fresh process has it, whatever
  // this one wrote into its slots beside what freeing gives back (the frame a slot was shown in).
  for (image_slot &s : image_slots) {
    EXPECT_TRUE(image_slot_free(&s));
    s = image_slot{};
  }
  EXPECT_EQ(image_memory_held, 0u) << "every slot gave its pixels' bytes back";
  image_memory_budget = IMAGE_MEMORY_BUDGET;
  image_cache_set_queue(nullptr, nullptr);
  u32 error = 0;
  http_terminate(&error);
  image_slot_set_release_functions(nullptr, nullptr);
  allocator_destroy(&app_allocator);
}
