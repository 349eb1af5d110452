// A plain model of one thread's event buffer for the profiler tests: events in a vector, the
// oldest kept frame collapsed by erasing its inside. It never fills up.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "profiler/profiler.h"

struct model_event {
  u32 zone;
  u32 flags;
  bool operator==(const model_event &o) const { return zone == o.zone && flags == o.flags; }
};

struct profiler_model {
  std::vector<model_event> events;
  size_t frame_begin[PROFILER_FRAME_RING] = {};
  size_t frame_end[PROFILER_FRAME_RING] = {};
  u64 frames = 0;

  void begin(u32 zone) { events.push_back({zone, profiler_event_zone_begin}); }
  void end(u32 zone) { events.push_back({zone, profiler_event_zone_end}); }
  void on_frame_begin(u32 zone) {
    size_t slot = frames % PROFILER_FRAME_RING;
    if (frames >= PROFILER_FRAME_RING) {
      begin(zone_profiler_collapse);
      size_t b = frame_begin[slot], e = frame_end[slot];
      events[b].flags |= profiler_event_collapsed;
      events[e].flags |= profiler_event_collapsed;
      size_t removed = e - (b + 1);
      events.erase(events.begin() + (ptrdiff_t)(b + 1), events.begin() + (ptrdiff_t)e);
      for (size_t i = 0; i < PROFILER_FRAME_RING; i++) {
        frame_begin[i] -= removed;
        frame_end[i] -= removed;
      }
      end(zone_profiler_collapse);
    }
    frame_begin[slot] = events.size();
    events.push_back({zone, profiler_event_frame_begin});
  }
  void on_frame_end(u32 zone) {
    frame_end[frames % PROFILER_FRAME_RING] = events.size();
    events.push_back({zone, profiler_event_frame_end});
    frames++;
  }
};

// Drives the calling thread's profiler (through its entry points) and, when given, the model:
// `frames` loop turns, each with random nested zones inside, some zones between turns.
inline void drive_random_frames(std::mt19937 &rng, u32 frame_zone, u32 frames, profiler_model *model) {
  auto zone_of = [&]() { return (u32)(2 + rng() % (profiler_zone_count - 2)); };
  std::vector<u32> open;
  for (u32 f = 0; f < frames; f++) {
    if (rng() % 4 == 0) {
      u32 z = zone_of();
      profile_begin((profiler_zone)z);
      profile_end((profiler_zone)z);
      if (model) model->begin(z), model->end(z);
    }
    profile_frame_begin((profiler_zone)frame_zone);
    if (model) model->on_frame_begin(frame_zone);
    u32 steps = rng() % 12;
    for (u32 i = 0; i < steps; i++) {
      if (!open.empty() && (open.size() >= 5 || rng() % 2)) {
        profile_end((profiler_zone)open.back());
        if (model) model->end(open.back());
        open.pop_back();
      } else {
        u32 z = zone_of();
        profile_begin((profiler_zone)z);
        if (model) model->begin(z);
        open.push_back(z);
      }
    }
    while (!open.empty()) {
      profile_end((profiler_zone)open.back());
      if (model) model->end(open.back());
      open.pop_back();
    }
    profile_frame_end((profiler_zone)frame_zone);
    if (model) model->on_frame_end(frame_zone);
  }
}

// Begin and end events pair up like brackets (zone with zone, frame with frame) and the time
// stamps never go back.
inline void expect_well_formed(const profiler_event *events, u64 count) {
  std::vector<model_event> open;
  for (u64 i = 0; i < count; i++) {
    const profiler_event &e = events[i];
    if (i > 0) {
      EXPECT_LE(events[i - 1].tsc, e.tsc) << "event " << i;
    }
    u32 kind = e.flags & ~profiler_event_collapsed;
    if ((e.flags & profiler_event_collapsed) != 0) {
      EXPECT_TRUE(kind == profiler_event_frame_begin || kind == profiler_event_frame_end) << "event " << i;
    }
    if (kind == profiler_event_zone_begin || kind == profiler_event_frame_begin) {
      open.push_back({e.zone, kind});
    } else {
      ASSERT_TRUE(kind == profiler_event_zone_end || kind == profiler_event_frame_end) << "event " << i;
      ASSERT_FALSE(open.empty()) << "end without begin at " << i;
      EXPECT_EQ(open.back().zone, e.zone) << "event " << i;
      EXPECT_EQ(open.back().flags + 1, kind) << "event " << i;
      open.pop_back();
    }
  }
  EXPECT_TRUE(open.empty());
}

inline std::vector<model_event> events_of(const profiler_thread *t) {
  std::vector<model_event> out;
  for (const profiler_event *e = t->events; e < t->cursor; e++) out.push_back({e->zone, e->flags});
  return out;
}
