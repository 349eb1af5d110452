// Fixed-width types and the one check for broken invariants. This header needs nothing and is
// the one file every layer, the profiler's runtime included, may include.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t s8;
typedef int16_t s16;
typedef int32_t s32;
typedef int64_t s64;
typedef float f32;
typedef double f64;

#define array_count(a) (sizeof(a) / sizeof((a)[0]))
#define KiB(n) ((u64)(n) << 10)
#define MiB(n) ((u64)(n) << 20)
#define GiB(n) ((u64)(n) << 30)

// A broken invariant is a condition no input can bring about: a programming error. Where the
// checks are on it prints the condition and aborts, so a test (or a debugger) sees it at once;
// release builds drop the check: the condition is never evaluated there, but what it names still
// counts as used. Anything input can reach (a full buffer, pool or queue) is a plain failure the
// caller handles, never an invariant.
[[noreturn]] inline void invariant_failed(const char *condition, const char *file, int line) {
  fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
  fflush(stderr);
  abort();
}

// The checks are on in every build without NDEBUG, and in an optimised one that asks for them
// with QM_INVARIANTS=1: the fuzz targets, whose inputs reach the paths no test thought of. Checks
// that cost a walk over a whole list stay with NDEBUG, so a fuzz run keeps its speed.
#ifndef QM_INVARIANTS
#ifdef NDEBUG
#define QM_INVARIANTS 0
#else
#define QM_INVARIANTS 1
#endif
#endif

#if QM_INVARIANTS
#define invariant(cond) ((cond) ? (void)0 : invariant_failed(#cond, __FILE__, __LINE__))
#else
#define invariant(cond) ((void)sizeof(!(cond)))
#endif

// Hooks for the tests, compiled only where tests are built (QM_TEST_HOOKS): counters of the work
// a piece of code did, which tests read at two input sizes to hold it to the input's size, and
// the setters and fault injection they drive the code with. Elsewhere a count is no code at all.
#ifndef QM_TEST_HOOKS
#define QM_TEST_HOOKS 0
#endif
#if QM_TEST_HOOKS
#define WORK_COUNT(counter, n) ((void)((counter) += (n)))
#else
#define WORK_COUNT(counter, n) ((void)0)
#endif
