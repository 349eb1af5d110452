// Looking up and starting image slots, and the two worker jobs that fill them.
#include "app/image_cache.h"

#include <math.h>

#include <chrono>
#include <thread>

#include "app/app.h"
#include "gfx/image.h"
#include "gfx/window.h"
#include "platform/dates.h"
#include "platform/http.h"
#include "platform/log.h"
#include "platform/threads.h"

static thread_queue *image_queue;
static image_wake_fn *image_wake;

void image_cache_set_queue(thread_queue *queue, image_wake_fn *wake) {
  image_queue = queue;
  image_wake = wake;
}

// The state is the one word both threads write: the owner of the slot at that moment writes it
// last (release) and the other side reads it first (acquire).
static u32 slot_state(const image_slot *slot) { return __atomic_load_n(&slot->state, __ATOMIC_ACQUIRE); }
static void slot_state_set(image_slot *slot, u32 state) { __atomic_store_n(&slot->state, state, __ATOMIC_RELEASE); }

// Without settings of its own the cache uses the run's worker queue and wakes the window.
static thread_queue *queue_of_run() { return image_queue ? image_queue : app_queue; }

static void wake_ui() {
  if (image_wake) {
    image_wake();
  } else if (!image_queue && app_queue) {
    window_wake();
  }
}

static bool slot_used_this_frame(const image_slot *slot) { return slot->used_frame == frame_counter + 1; }

// A line that names a limit, appended whole: a worker may log at any moment. The limit is written
// as a size or as a plain number.
static void log_limit_line(buffer before, u64 limit, bool size, buffer after) {
  u8 bytes[160];
  buffer line = buffer_make(sizeof bytes, 0, bytes);
  buffer_push_string(&line, before, 1);
  if (size) {
    buffer_push_size(&line, limit);
  } else {
    buffer_push_unsigned(&line, limit, 0, ' ', 0);
  }
  buffer_push_string(&line, after, 1);
  log_append(line.data, line.used);
}

// A full table is logged when it starts refusing images, not on every frame that it does.
static bool slots_full_logged;

static bool slot_matches(const image_slot *slot, u32 owner_id, buffer url) {
  return slot->owner_id == owner_id && string_equal_bytes(slot->url.data, slot->url.used, url.data, url.used);
}

image_slot *image_get(u32 owner_id, buffer url, u32 create) {
  image_slot *found = nullptr;
  image_slot *first_free = nullptr;
  image_slot *oldest = nullptr;
  for (image_slot &slot : image_slots) {
    u32 state = slot_state(&slot);
    if (state == image_state_free) {
      if (!first_free) first_free = &slot;
      continue;
    }
    if (slot_matches(&slot, owner_id, url)) {
      found = &slot;
      break;
    }
    // A slot under a worker cannot be reused: its job still writes into it. Nor can one this
    // frame has shown: a node drawn later in the frame points at its pixels and texture.
    if (!first_free && !image_state_in_flight(state) && !slot_used_this_frame(&slot) &&
        (!oldest || slot.last_use < oldest->last_use)) {
      oldest = &slot;
    }
  }

  if (!found && create) {
    image_slot *slot = first_free;
    if (!slot && oldest && image_slot_free(oldest)) slot = oldest;
    if (!slot) {
      // Every slot is busy or on screen; the next frame tries again.
      if (!slots_full_logged) {
        log_limit_line(string_lit("Image slots: all "), IMAGE_SLOT_COUNT, false,
                       string_lit(" are in use; an image waits for one.\n"));
        slots_full_logged = true;
      }
      return nullptr;
    }
    slots_full_logged = false;

    slot->shown_frame = 0;
    slot->shown_state = 0;
    buffer copy = allocator_alloc(&app_allocator, url.used + 1);
    if (!copy.data) return nullptr;  // the slot stays free
    memcpy(copy.data, url.data, url.used);
    copy.data[url.used] = 0;
    copy.used = url.used;
    slot->url = copy;
    slot->owner_id = owner_id;
    slot->target_width = 0;
    slot->target_height = 0;
    slot->resized = buffer{};
    slot->pixels = buffer{};
    slot->error = 0;
    slot->release = 0;
    slot->texture = 0;
    slot->memory = 0;

    // Image URLs come from feed content: only web addresses may reach the downloader, never a
    // local file or another scheme the transfer library happens to know.
    if (!fetch_url_is_download(url)) {
      // Kept as a failed slot so the refusal shows once and is not retried every frame.
      log_append_string(string_lit("Image not fetched, not an http or https URL: "));
      log_append(url.data, url.used);
      log_append_string(string_lit("\n"));
      slot->error = http_error_internet_open_url;
      slot_state_set(slot, image_state_load_error);
    } else {
      slot_state_set(slot, image_state_loading);
      if (!queue_of_run() || !thread_queue_work(queue_of_run(), image_job_load, slot)) {
        allocator_free(&app_allocator, slot->url.data, slot->url.size);
        slot->url = buffer{};
        slot->owner_id = 0;
        slot_state_set(slot, image_state_free);
        return nullptr;
      }
    }
    found = slot;
  }

  if (found) {
    found->last_use = counter_now();
    found->used_frame = frame_counter + 1;
  }
  return found;
}

// ---- Image memory ------------------------------------------------------------------------

static void memory_held_add(u64 bytes) { __atomic_add_fetch(&image_memory_held, bytes, __ATOMIC_ACQ_REL); }
static void memory_held_sub(u64 bytes) { __atomic_sub_fetch(&image_memory_held, bytes, __ATOMIC_ACQ_REL); }

#define IMAGE_MEMORY_WAIT_STEPS 100  // of 10 ms: how long a decode waits for the UI to free images

// Takes the bytes out of the budget before a decode makes them. When they do not fit, the wait
// is announced so the UI thread frees the images shown least recently; false when it cannot.
static bool image_memory_reserve(u64 bytes) {
  if (bytes > image_memory_budget) return false;
  bool waiting = false, reserved = false;
  for (u32 step = 0;; step++) {
    u64 held = __atomic_load_n(&image_memory_held, __ATOMIC_ACQUIRE);
    if (held + bytes <= image_memory_budget) {
      if (__atomic_compare_exchange_n(&image_memory_held, &held, held + bytes, false, __ATOMIC_ACQ_REL,
                                      __ATOMIC_ACQUIRE)) {
        reserved = true;
        break;
      }
      continue;
    }
    if (step >= IMAGE_MEMORY_WAIT_STEPS) break;
    if (!waiting) {
      __atomic_add_fetch(&image_memory_wanted, bytes, __ATOMIC_ACQ_REL);
      waiting = true;
      wake_ui();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (waiting) __atomic_sub_fetch(&image_memory_wanted, bytes, __ATOMIC_ACQ_REL);
  return reserved;
}

static bool slot_on_screen(const image_slot *slot) {
  // Looked up in this frame or the previous one (used_frame is frame_counter + 1 of that frame).
  return slot->used_frame >= frame_counter;
}

static bool memory_over_budget() {
  return __atomic_load_n(&image_memory_held, __ATOMIC_ACQUIRE) +
             __atomic_load_n(&image_memory_wanted, __ATOMIC_ACQUIRE) >
         image_memory_budget;
}

// The budget is reported when it starts holding back images, not on every frame.
static bool memory_full_logged;

void image_memory_trim() {
  while (memory_over_budget()) {
    image_slot *oldest = nullptr;
    for (image_slot &slot : image_slots) {
      u32 state = slot_state(&slot);
      if (state == image_state_free || image_state_in_flight(state) || !slot.memory || slot_on_screen(&slot)) continue;
      if (!oldest || slot.last_use < oldest->last_use) oldest = &slot;
    }
    if (!oldest) {
      if (!memory_full_logged) {
        log_limit_line(string_lit("Image memory: the images on screen hold the whole budget of "), image_memory_budget,
                       true, string_lit(".\n"));
        memory_full_logged = true;
      }
      return;
    }
    image_slot_free(oldest);
  }
  memory_full_logged = false;
}

// ---- Jobs --------------------------------------------------------------------------------

// One whole line, so no other worker's text lands inside it.
static void log_image_failure(const char *why, buffer url) {
  u8 line[1024];
  buffer out = buffer_make(sizeof line, 0, line);
  buffer_push_bytes(&out, why, strlen(why));
  u64 room = sizeof line - out.used - 1;
  buffer_push_bytes(&out, url.data, unicode_utf8_cut(url.data, url.used, room));
  buffer_push_bytes(&out, "\n", 1);
  log_append(out.data, out.used);
}

void image_job_load(void *arg) {
  image_slot *slot = (image_slot *)arg;
  invariant(slot_state(slot) == image_state_loading);
  u32 error = 0;
  http_file file = http_file_open(slot->url, &error);
  buffer bytes{};
  if (!error) {
    u64 room = file.content.size ? file.content.size : IMAGE_UNKNOWN_LENGTH_BUFFER;
    bytes = memory_alloc(room, nullptr);
    file.content.data = bytes.data;
    file.content.size = bytes.data ? room : 0;
    file.content.used = 0;
  }
  http_file_get(&file, &error);  // closes the URL in every case

  slot->pixels = buffer{};
  if (error) {
    if (bytes.data) memory_free(&bytes);
    slot->error = error;
    slot_state_set(slot, image_state_load_error);
  } else {
    s32 width = 0, height = 0, channels = 0;
    u8 *pixels = nullptr;
    u64 reserved = 0;
    bool decodable = image_decode_size(bytes.data, file.content.used, &width, &height, &channels);
    if (decodable) {
      reserved = (u64)width * (u64)height * (u64)channels;
      if (image_memory_reserve(reserved)) {
        pixels = image_decode(bytes.data, file.content.used, &width, &height, &channels);
      } else {
        log_image_failure("Image not decoded, no room in the image memory budget: ", slot->url);
        reserved = 0;
      }
    }
    memory_free(&bytes);
    if (pixels && width > 0 && height > 0 && channels >= 1 && channels <= 4) {
      u64 n = (u64)width * (u64)height * (u64)channels;
      // The decoder may settle on another channel count than its header said.
      memory_held_add(n);
      memory_held_sub(reserved);
      slot->width = width;
      slot->height = height;
      slot->channels = (u8)channels;
      slot->pixels = buffer{n, n, pixels};
      slot->memory = n;
      slot->texture = 0;
      slot->error = 0;
      slot_state_set(slot, image_state_decoded);
    } else {
      if (pixels) image_decoded_free(pixels);
      memory_held_sub(reserved);
      if (reserved || !decodable) {
        // The status says only "Loading error." with code 0; the log says why.
        log_image_failure(decodable ? "Image not decoded, its data is damaged or cut off: "
                                    : "Image not decoded, it is no JPEG, PNG, GIF or BMP, its header is damaged, "
                                      "or it declares more pixels than the limit: ",
                          slot->url);
      }
      slot->error = http_error_none;  // the bytes are no image we can decode
      slot_state_set(slot, image_state_load_error);
    }
  }
  wake_ui();
}

void image_resize_start(image_slot *slot, f32 width, f32 height) {
  invariant(slot && slot->shown_state == image_state_decoded && slot_state(slot) == image_state_decoded);
  (void)height;  // the height follows from the aspect ratio
  // A laid-out width is finite and positive; anything else asks for no size and ends in the
  // "invalid size" state instead of reaching the resize with a wrapped number.
  s32 target = 0;
  if (isfinite(width) && width >= 1.0f) target = width >= 2147483520.0f ? 2147483520 : (s32)width;
  slot->target_width = target;
  slot->target_height = 0;
  slot_state_set(slot, image_state_resizing);
  if (!queue_of_run() || !thread_queue_work(queue_of_run(), image_job_resize, slot)) {
    slot->target_width = 0;
    slot->target_height = 0;
    slot_state_set(slot, image_state_decoded);
  }
}

void image_job_resize(void *arg) {
  image_slot *slot = (image_slot *)arg;
  invariant(slot_state(slot) == image_state_resizing && slot->texture == 0);
  if (slot->target_width <= 0 && slot->target_height <= 0) {
    slot->target_width = 0;
    slot->target_height = 0;
    slot_state_set(slot, image_state_no_target_size);
    wake_ui();
    return;
  }
  if (slot->resized.data && slot->resized.data != slot->pixels.data) memory_free(&slot->resized);
  slot->resized = buffer{};

  bool shrink = (slot->target_width > 0 && slot->target_width < slot->width) ||
                (slot->target_width <= 0 && slot->target_height > 0 && slot->target_height < slot->height);
  if (shrink) {
    u32 error = 0;
    u32 target_width = slot->target_width > 0 ? (u32)slot->target_width : 0;
    u32 target_height = slot->target_width > 0 ? 0 : (u32)slot->target_height;
    image_resize(nullptr, (u32)slot->width, (u32)slot->height, nullptr, &target_width, &target_height,
                 slot->channels, 0, 1.0f, &error);
    buffer resized{};
    if (!error && target_width && target_height) {
      u64 n = (u64)target_width * target_height * slot->channels;
      resized = memory_alloc(n, nullptr);
      if (resized.data) {
        resized.used = n;
        image_resize(slot->pixels.data, (u32)slot->width, (u32)slot->height, resized.data, &target_width,
                     &target_height, slot->channels, 0, 1.0f, &error);
      }
    }
    if (error || !resized.data) {
      if (resized.data) memory_free(&resized);
      slot_state_set(slot, image_state_resize_failed);
    } else {
      // Only the resized pixels are drawn from now on: the full-size ones go back at once.
      memory_held_add(resized.used);
      memory_held_sub(slot->pixels.used);
      image_decoded_free(slot->pixels.data);
      slot->pixels = buffer{};
      slot->memory = resized.used;
      slot->resized = resized;
      slot->target_width = (s32)target_width;
      slot->target_height = (s32)target_height;
      slot_state_set(slot, image_state_resized);
    }
  } else {
    // Never enlarged: the decoded pixels are drawn as they are.
    slot->resized = slot->pixels;
    slot->target_width = slot->width;
    slot->target_height = slot->height;
    slot_state_set(slot, image_state_resized);
  }
  wake_ui();
}
