// The image cache's slots through their whole life: looked up and started on the UI thread,
// downloaded from a local server and decoded, then shrunk on the workers.
#include <gtest/gtest.h>

#include <math.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "app/image_cache.h"
#include "gfx/image.h"
#include "platform/http.h"
#include "platform/threads.h"
#include "profiler/profiler.h"
#include "app/app.h"
#include "tests/app/image_cache_support.h"
#include "tests/support/http_server.h"
#include "tests/support/image_files.h"
#include "tests/support/isolation.h"
#include "tests/support/wait.h"
#include "tests/ui/ui_test_support.h"

namespace {

thread_queue image_test_queue;
std::atomic<u32> wakes{0};
void count_wake() { wakes.fetch_add(1); }

// A 24-bit BMP whose pixel (x, y from the bottom) is (x, y, 7).
std::string bmp(u32 w, u32 h) {
  std::vector<u8> rgb((size_t)w * h * 3);
  for (u32 y = 0; y < h; y++) {
    for (u32 x = 0; x < w; x++) {
      u8 *p = &rgb[((size_t)y * w + x) * 3];
      p[0] = (u8)x;
      p[1] = (u8)y;
      p[2] = 7;
    }
  }
  std::vector<u8> file = bmp_file(w, h, rgb.data());
  return std::string(file.begin(), file.end());
}

class ImageCache : public ::testing::Test {
 protected:
  test_http_server server{[](test_http_connection &c, const std::string &path) {
    if (path == "/huge.bmp") {
      c.send_response(200, bmp(1000, 10));
    } else if (path == "/wide.bmp") {
      c.send_response(200, bmp(40, 20));
    } else if (path == "/small.bmp") {
      c.send_response(200, bmp(8, 6));
    } else if (path == "/nolength.bmp") {
      c.send_head(200, "");
      c.send_text(bmp(8, 6));
    } else if (path == "/cut.gif") {
      // A header of 16 x 16 pixels, then nothing of the image.
      c.send_response(200, std::string("GIF89a\x10\x00\x10\x00\x00\x00\x00", 13));
    } else if (path == "/large_nolength.bmp") {
      c.send_head(200, "");
      c.send_text(bmp(1200, 1800));  // 6.2 MiB
    } else if (path == "/text") {
      c.send_response(200, "this is not an image");
    } else {
      c.send_response(404, "gone");
    }
  }};

  void SetUp() override {
    image_cache_test_begin(&image_test_queue, 3, count_wake);
    wakes = 0;
  }
  void TearDown() override { image_cache_test_end(&image_test_queue); }

  buffer url(const std::string &path) {
    urls[url_count] = server.url(path);
    const std::string &s = urls[url_count++];
    return string_from_bytes(s.data(), s.size());
  }
  std::string urls[16];
  u32 url_count = 0;

  void finish() { thread_complete_queue(&image_test_queue); }

  // What the image view does before it asks for a resize: it sees the decoded state.
  void resize(image_slot *s, f32 width) {
    s->shown_state = __atomic_load_n(&s->state, __ATOMIC_ACQUIRE);
    image_resize_start(s, width, 0);
    finish();
  }

  // A slot of owner 1 with the URL "http://x/<i>", copied as the cache copies it.
  void give_url(image_slot *s, u32 i) {
    char text[32];
    int n = snprintf(text, sizeof text, "http://x/%u", i);
    s->url = allocator_alloc(&app_allocator, (u64)n + 1);
    memcpy(s->url.data, text, (size_t)n + 1);
    s->url.used = (u64)n;
    s->owner_id = 1;
  }
  buffer url_of(u32 i) { return string_from_bytes(image_slots[i].url.data, image_slots[i].url.used); }

  u32 slots_in_use() {
    u32 n = 0;
    for (image_slot &s : image_slots) n += s.state != image_state_free;
    return n;
  }
};

TEST_F(ImageCache, download_decode_and_shrink_to_the_laid_out_width) {
  buffer u = url("/wide.bmp");
  EXPECT_EQ(image_get(5, u, 0), nullptr) << "a lookup alone starts nothing";
  image_slot *s = image_get(5, u, 1);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->owner_id, 5u);
  EXPECT_EQ(s->url.data[s->url.used], 0) << "the URL copy is NUL-terminated";
  EXPECT_EQ(image_get(5, u, 1), s) << "the same owner and URL find the same slot";
  finish();
  ASSERT_EQ(s->state, (u32)image_state_decoded);
  EXPECT_EQ(s->width, 40);
  EXPECT_EQ(s->height, 20);
  EXPECT_EQ(s->channels, 3);
  // Row 0 is the bottom row of the file; the bottom-left pixel is (0, 0, 7).
  EXPECT_EQ(s->pixels.data[0], 0);
  EXPECT_EQ(s->pixels.data[2], 7);
  EXPECT_EQ(s->pixels.data[(19 * 40 + 3) * 3 + 1], 19) << "the top row keeps its place";
  EXPECT_GE(wakes.load(), 1u);

  resize(s, 10.9f);
  ASSERT_EQ(s->state, (u32)image_state_resized);
  EXPECT_EQ(s->target_width, 10);
  EXPECT_EQ(s->target_height, 5);
  EXPECT_NE(s->resized.data, s->pixels.data);
  EXPECT_EQ(s->resized.used, 10u * 5 * 3);
  EXPECT_EQ(s->resized.data[2], 7) << "every pixel keeps the constant channel";
  EXPECT_EQ(s->resized.data[(5 * 10 - 1) * 3 + 2], 7);
}

TEST_F(ImageCache, a_narrow_image_is_never_enlarged) {
  for (const char *path : {"/small.bmp", "/nolength.bmp"}) {
    image_slot *s = image_get(1, url(path), 1);
    ASSERT_NE(s, nullptr);
    finish();
    ASSERT_EQ(s->state, (u32)image_state_decoded) << path;
    resize(s, 300.0f);
    ASSERT_EQ(s->state, (u32)image_state_resized);
    EXPECT_EQ(s->resized.data, s->pixels.data) << "shares the decoded pixels";
    EXPECT_EQ(s->target_width, 8);
    EXPECT_EQ(s->target_height, 6);
    EXPECT_TRUE(image_slot_free(s)) << "the shared memory goes back once";
  }
}

TEST_F(ImageCache, a_large_image_sent_without_a_length_arrives_whole) {
  image_slot *s = image_get(1, url("/large_nolength.bmp"), 1);
  ASSERT_NE(s, nullptr);
  finish();
  EXPECT_EQ(s->state, (u32)image_state_decoded) << "error " << s->error;
  EXPECT_EQ(s->width, 1200);
  EXPECT_EQ(s->height, 1800);
}

TEST_F(ImageCache, sizes_that_are_no_width_end_in_the_no_size_state) {
  for (f32 width : {0.0f, 0.5f, -20.0f, NAN, -INFINITY}) {
    image_slot *s = image_get(2, url("/small.bmp"), 1);
    ASSERT_NE(s, nullptr);
    finish();
    ASSERT_EQ(s->state, (u32)image_state_decoded);
    resize(s, width);
    EXPECT_EQ(s->state, (u32)image_state_no_target_size) << width;
    EXPECT_EQ(s->resized.data, nullptr);
    image_slot_free(s);
  }
}

TEST_F(ImageCache, failures_end_in_the_load_error_state_with_their_code) {
  image_slot *missing = image_get(3, url("/missing.png"), 1);
  image_slot *text = image_get(3, url("/text"), 1);
  ASSERT_TRUE(missing && text);
  finish();
  EXPECT_EQ(missing->state, (u32)image_state_load_error);
  EXPECT_EQ(missing->error, (u32)http_error_internet_open_url);
  EXPECT_EQ(missing->pixels.data, nullptr) << "the downloaded bytes went back";
  EXPECT_EQ(text->state, (u32)image_state_load_error);
  EXPECT_EQ(text->error, (u32)http_error_none) << "undecodable bytes carry code 0";
}

// The status shows code 0 for every image that does not decode, so the log must tell a forged
// header from a cut-off file.
TEST_F(ImageCache, images_that_do_not_decode_are_logged_with_the_reason) {
  image_slot *text = image_get(3, url("/text"), 1);
  image_slot *cut = image_get(3, url("/cut.gif"), 1);
  ASSERT_TRUE(text && cut);
  finish();
  EXPECT_EQ(text->state, (u32)image_state_load_error);
  EXPECT_EQ(cut->state, (u32)image_state_load_error);
  buffer b = log_last_text();
  std::string log((const char *)b.data, b.used);
  EXPECT_NE(log.find("Image not decoded, it is no JPEG, PNG, GIF or BMP, its header is damaged, or it declares more "
                     "pixels than the limit: " + server.url("/text") + "\n"),
            std::string::npos);
  EXPECT_NE(log.find("Image not decoded, its data is damaged or cut off: " + server.url("/cut.gif") + "\n"),
            std::string::npos);
}

TEST_F(ImageCache, only_web_addresses_are_fetched) {
  int before = server.requests();
  for (const char *u : {"file:///etc/passwd", "ftp://example.org/a.png", "data:image/png;base64,AAAA", "/a.png", ""}) {
    image_slot *s = image_get(4, string_from_bytes(u, strlen(u)), 1);
    ASSERT_NE(s, nullptr) << u;
    EXPECT_EQ(s->state, (u32)image_state_load_error) << "refused at once, no job: " << u;
    EXPECT_EQ(image_get(4, string_from_bytes(u, strlen(u)), 1), s) << "and not retried";
  }
  finish();
  EXPECT_EQ(server.requests(), before);
  buffer upper = url("/small.bmp");
  upper.data[0] = 'H';  // the scheme in any case
  image_slot *s = image_get(4, upper, 1);
  finish();
  EXPECT_EQ(s->state, (u32)image_state_decoded);
}

TEST_F(ImageCache, two_entries_with_one_url_download_it_twice) {
  buffer u = url("/small.bmp");
  int before = server.requests();
  image_slot *a = image_get(10, u, 1);
  image_slot *b = image_get(11, u, 1);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  finish();
  EXPECT_EQ(server.requests(), before + 2);
  EXPECT_EQ(image_get(10, u, 0), a);
  EXPECT_EQ(image_get(11, u, 0), b);
  EXPECT_EQ(image_get(12, u, 0), nullptr);
}

// Fills every slot as finished images whose last use follows the slot order reversed, with a few
// still under a worker.
TEST_F(ImageCache, the_least_recently_used_finished_slot_is_reused) {
  for (u32 i = 0; i < IMAGE_SLOT_COUNT; i++) {
    image_slot &s = image_slots[i];
    give_url(&s, i);
    s.state = image_state_load_error;
    s.last_use = 1000000 - i;
  }
  // The oldest two are busy: a loading one and a resizing one.
  image_slots[1023].state = image_state_loading;
  image_slots[1022].state = image_state_resizing;
  image_slot *s = image_get(2, url("/small.bmp"), 1);
  ASSERT_EQ(s, &image_slots[1021]) << "the oldest slot no job holds";
  EXPECT_EQ(image_get(1, string_lit("http://x/1021"), 0), nullptr) << "its old image is gone";
  finish();
  EXPECT_EQ(s->state, (u32)image_state_decoded);
  EXPECT_GT(s->last_use, 1000000);

  // Every slot busy: nothing can be started and nothing changes.
  for (image_slot &slot : image_slots) {
    if (&slot != s) slot.state = image_state_loading;
  }
  s->state = image_state_resizing;
  EXPECT_EQ(image_get(3, url("/wide.bmp"), 1), nullptr);
  for (image_slot &slot : image_slots) slot.state = image_state_load_error;
  s->state = image_state_decoded;
  // Once the jobs are over the image that waited gets a slot, and a table that fills up again is
  // logged again.
  EXPECT_NE(image_get(3, url("/wide.bmp"), 1), nullptr);
  finish();
}

TEST_F(ImageCache, a_full_queue_leaves_no_slot_taken) {
  // Stop the workers and fill the ring, so the next job does not fit.
  thread_terminate(&image_test_queue);
  thread_queue_create(&image_test_queue, 0);
  static int dummy;
  while (thread_queue_work(&image_test_queue, [](void *) {}, &dummy)) {
  }
  EXPECT_EQ(image_get(6, url("/small.bmp"), 1), nullptr);
  EXPECT_EQ(slots_in_use(), 0u);
  finish();
  image_slot *s = image_get(6, url("/small.bmp"), 1);
  ASSERT_NE(s, nullptr) << "the next frame tries again";
  finish();
  EXPECT_EQ(s->state, (u32)image_state_decoded);

  // A resize that does not fit the queue returns the slot to decoded.
  while (thread_queue_work(&image_test_queue, [](void *) {}, &dummy)) {
  }
  s->shown_state = image_state_decoded;
  image_resize_start(s, 4.0f, 0);
  EXPECT_EQ(s->state, (u32)image_state_decoded);
  EXPECT_EQ(s->target_width, 0);
  finish();
}

TEST_F(ImageCache, an_owner_released_while_loading_is_freed_after_decoding) {
  image_slot *s = image_get(8, url("/small.bmp"), 1);
  ASSERT_NE(s, nullptr);
  image_release_owner(8);  // the entry is deleted while its image loads
  finish();
  EXPECT_EQ(s->state, (u32)image_state_decoded);
  image_free_released();
  EXPECT_EQ(s->state, (u32)image_state_free);
  EXPECT_EQ(slots_in_use(), 0u);
}

TEST_F(ImageCache, the_full_size_pixels_go_back_once_the_resize_is_done) {
  image_slot *s = image_get(5, url("/wide.bmp"), 1);
  ASSERT_NE(s, nullptr);
  finish();
  ASSERT_EQ(s->state, (u32)image_state_decoded);
  EXPECT_EQ(image_memory_held, 40u * 20 * 3);
  resize(s, 10.0f);
  ASSERT_EQ(s->state, (u32)image_state_resized);
  EXPECT_EQ(s->pixels.data, nullptr) << "only the resized pixels are kept";
  EXPECT_EQ(s->width, 40) << "the natural size still lays the image out";
  EXPECT_EQ(image_memory_held, 10u * 5 * 3);
  // An image drawn at its own size keeps its one copy, counted once.
  image_slot *small = image_get(5, url("/small.bmp"), 1);
  finish();
  resize(small, 100.0f);
  EXPECT_EQ(small->resized.data, small->pixels.data);
  EXPECT_EQ(image_memory_held, 10u * 5 * 3 + 8 * 6 * 3);
}

// Waits, as frames would, until the slot's load job has ended.
static void frames_until_loaded(image_slot *s) {
  test_wait_until([&] {
    image_free_released();
    return __atomic_load_n(&s->state, __ATOMIC_ACQUIRE) != image_state_loading;
  }, test_wait_limit, std::chrono::milliseconds(5));
}

TEST_F(ImageCache, decoded_images_stay_within_the_budget_freeing_those_shown_least_recently) {
  const u64 one = 40 * 20 * 3;
  image_memory_budget = 3 * one;
  buffer u = url("/wide.bmp");
  image_slot *slots[4] = {};
  // Three images on three earlier pages fill the budget.
  for (u32 i = 0; i < 3; i++) {
    frame_counter = 10 * (i + 1);
    slots[i] = image_get(i + 1, u, 1);
    ASSERT_NE(slots[i], nullptr);
    finish();
    ASSERT_EQ(slots[i]->state, (u32)image_state_decoded);
  }
  EXPECT_EQ(image_memory_held, 3 * one);
  // A fourth waits for the frame loop to free the one shown least recently.
  frame_counter = 40;
  slots[3] = image_get(4, u, 1);
  frames_until_loaded(slots[3]);
  EXPECT_EQ(slots[3]->state, (u32)image_state_decoded);
  EXPECT_EQ(slots[0]->state, (u32)image_state_free) << "the first page's image went";
  EXPECT_EQ(slots[1]->owner_id, 2u);
  EXPECT_EQ(image_memory_held, 3 * one);

  // With every image held on screen, nothing is freed and the new one cannot be decoded; the log
  // says so once, naming the budget in force.
  for (u32 i = 2; i <= 4; i++) ASSERT_NE(image_get(i, u, 0), nullptr);
  log_mark mark = log_mark_now();
  image_slot *more = image_get(5, u, 1);
  ASSERT_NE(more, nullptr);
  frames_until_loaded(more);
  EXPECT_EQ(more->state, (u32)image_state_load_error);
  EXPECT_EQ(log_count_since(mark, "Image memory: the images on screen hold the whole budget of 7200 bytes.\n"), 1u);
  for (u32 i = 1; i < 4; i++) EXPECT_EQ(slots[i]->state, (u32)image_state_decoded) << i;
  EXPECT_EQ(image_memory_held, 3 * one);
  EXPECT_EQ(image_memory_wanted, 0u);
}

// More images on one page than there are slots: every slot is filled with a drawn image that a
// node of this frame points at.
TEST_F(ImageCache, a_slot_shown_this_frame_is_never_reused) {
  frame_counter = 500;
  for (u32 i = 0; i < IMAGE_SLOT_COUNT; i++) {
    image_slot &s = image_slots[i];
    give_url(&s, i);
    s.pixels = buffer{12, 12, (u8 *)malloc(12)};
    s.resized = s.pixels;
    s.state = image_state_resized;
    ASSERT_EQ(image_get(1, url_of(i), 0), &s);
  }
  int before = server.requests();
  buffer extra = url("/small.bmp");
  log_mark mark = log_mark_now();
  for (u32 frame = 0; frame < 3; frame++) {
    EXPECT_EQ(image_get(1, extra, 1), nullptr) << "the 1025th image waits";
    for (image_slot &s : image_slots) {
      ASSERT_EQ(s.state, (u32)image_state_resized);
      ASSERT_NE(s.resized.data, nullptr);
    }
    image_free_released();
    frame_counter++;
    for (u32 i = 0; i < IMAGE_SLOT_COUNT; i++) image_get(1, url_of(i), 0);
  }
  finish();
  EXPECT_EQ(server.requests(), before) << "nothing is downloaded again and again";
  EXPECT_EQ(log_count_since(mark, "Image slots: all 1024 are in use; an image waits for one.\n"), 1u)
      << "the wait is logged when it begins, not in every frame";
  // A slot the page no longer shows is the one reused.
  frame_counter++;
  for (u32 i = 1; i < IMAGE_SLOT_COUNT; i++) image_get(1, url_of(i), 0);
  EXPECT_EQ(image_get(1, extra, 1), &image_slots[0]);
  finish();
}

// The image view over frames: status while loading, another frame while the width is unknown,
// the resize to the laid-out width, then the textured node.
TEST_F(ImageCache, the_image_view_from_first_frame_to_texture) {
  ui_fixture ui;
  ui_init_styles(ui.ctx.get());
  view_state v = {};
  view_state_init(&v, 1);
  buffer u = url("/huge.bmp");
  const ui_id id = 1234;
  auto frame = [&] {
    frame_counter++;
    ui.frame([&](ui_context *ctx) {
      ui_node *page = ui_node_create(ctx, 4, ui_size_pixels_make(600), ui_size_pixels_make(800), ui_node_flag_stack_y);
      ui_parent_push(ctx, page);
      ui_image(ctx, &v, page, id, u, string_lit("alt"), nullptr, 1);
      ui_parent_pop(ctx);
    });
  };
  frame_counter = 0;
  frame();
  ui_node *status = ui_find_current(ui.ctx.get(), id | (1ull << 47));
  ASSERT_NE(status, nullptr) << "the first frame shows the status";
  EXPECT_EQ(std::string((char *)status->next->next->text.data, status->next->next->text.used), "Loading...");
  image_slot *s = image_get(0, u, 0);
  ASSERT_NE(s, nullptr) << "and has started the download";
  finish();
  ASSERT_EQ(s->state, (u32)image_state_decoded);
  frame();
  EXPECT_EQ(v.another_frame, 1u) << "no laid-out width yet";
  ui_node *placeholder = ui_find_current(ui.ctx.get(), id);
  ASSERT_NE(placeholder, nullptr);
  EXPECT_EQ(placeholder->size[0], 600.0f) << "scaled to the view's width";
  frame();
  EXPECT_EQ(s->state == image_state_resizing || s->state == image_state_resized, true);
  finish();
  EXPECT_EQ(s->target_width, 600);
  EXPECT_EQ(s->target_height, 6);
  frame();
  ui_node *image = ui_find_current(ui.ctx.get(), id);
  ASSERT_NE(image, nullptr);
  EXPECT_TRUE(image->flags & ui_node_flag_image);
  EXPECT_EQ(image->image_pixels, s->resized.data);
  EXPECT_EQ(image->image_width, 600u);
  EXPECT_EQ(image->image_texture, &s->texture);
}

}  // namespace
