// The named character references that end in ';', in three parallel arrays. A slot with a null
// name holds the second code point of the reference in the slot before it.
#pragma once

#include "core/base.h"

#define HTML_NAMED_REFERENCE_SLOTS 2218

extern const char *const html_named_reference_names[HTML_NAMED_REFERENCE_SLOTS];
extern const u8 html_named_reference_lengths[HTML_NAMED_REFERENCE_SLOTS];
extern const u32 html_named_reference_codepoints[HTML_NAMED_REFERENCE_SLOTS];
