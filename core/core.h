// The core library's contract, in the order a reader meets it: types and buffers, then text,
// numbers and Unicode, then math, then the pool and the allocator.
#pragma once

#include "core/base.h"
#include "core/buffer.h"
#include "core/number_flags.h"
#include "core/strings.h"
#include "core/float_text.h"
#include "core/unicode.h"
#include "core/math.h"
#include "core/pool.h"
#include "core/allocator.h"
