// Placeholder until the runtime lands: every entry point is a no-op.
#include "profiler/profiler.h"

static profiler_event *nop_zone(u32, u32) { return nullptr; }
static profiler_event *nop_frame(u32) { return nullptr; }
static profiler_thread profiler_unregistered = {nullptr, nullptr, nullptr, {}, {}, 0, 0, 0, nop_zone, nop_zone, nop_frame, nop_frame, nullptr, 0};
thread_local profiler_thread *profiler_current = &profiler_unregistered;
