// The image cache: images of entries are downloaded, decoded and shrunk to their on-screen width
// by worker jobs, in the process-wide slot table. The UI thread takes, looks up and frees slots;
// a worker touches only the slot it was given, while the slot is loading or resizing, and writes
// the slot's state last.
#pragma once

#include "app/image_slot.h"

struct thread_queue;

// Wakes a waiting UI thread after a job has handed its result over; any thread may call it.
typedef void image_wake_fn();

// The queue the jobs go to and the wake-up. Unset, the run's queue (app_queue) is used and a job
// wakes the window when it is done; without any queue no slot can be started.
void image_cache_set_queue(thread_queue *queue, image_wake_fn *wake);

// The slot of (owner, url), or with create a new one whose download is queued at once. Null when
// there is none and create is 0, or when nothing could be started (no free or reusable slot, no
// room for the URL copy, a full queue); the next frame tries again. A slot this frame has looked
// up is never reused for another image, since a node of the frame may show it. A URL that is not http or
// https is never fetched: its slot ends at once in the load error state (logged). UI thread.
image_slot *image_get(u32 owner_id, buffer url, u32 create);

// While the held and wanted image memory passes the budget, frees the finished slot shown least
// recently that no node of this or the previous frame shows (logged once when none is left).
// UI thread, once per frame through image_free_released.
void image_memory_trim();

// The worker jobs; the argument is the slot.
void image_job_load(void *slot);
void image_job_resize(void *slot);

// Queues the resize of a decoded slot to the given laid-out width (the height follows the aspect
// ratio). A full queue leaves the slot decoded. UI thread.
void image_resize_start(image_slot *slot, f32 width, f32 height);

// The room a download gets when the server announces no length: the HTTP layer's own cap, as for
// an announced length, since photos of several mebibytes are often sent in chunks. The block is
// mapped, not touched, so only the bytes that arrive cost memory; a longer body fails with not
// enough storage.
#define IMAGE_UNKNOWN_LENGTH_BUFFER HTTP_BODY_MAX
