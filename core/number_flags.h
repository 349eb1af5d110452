// The one flag word of integer and floating-point text.
#pragma once

#include "core/base.h"

enum : u32 {
  format_hex = 0x1,                // hexadecimal, lower-case digits; otherwise decimal
  format_no_prefix = 0x2,          // with format_hex: no "0x"
  format_hex_upper = 0x4,          // with format_hex: digits A to F in upper case (the "0x" stays)
  format_hex_group_2 = 0x8,        // a space between groups of 2 hexadecimal digits
  format_hex_group_4 = 0x10,       // ... of 4
  format_hex_group_8 = 0x20,       // ... of 8
  format_hex_min_2 = 0x80,         // at least 2 hexadecimal digits
  format_hex_min_4 = 0x100,        // at least 4
  format_hex_min_8 = 0x200,        // at least 8
  format_hex_min_16 = 0x400,       // at least 16
  format_pad_after = 0x800,        // left-aligned: padding after the number
  format_always_sign = 0x1000,     // "+" for values that are not negative
  format_sign_first = 0x2000,      // the sign before the "0x" prefix and the padding
  format_decimal_group_3 = 0x4000, // a space between groups of 3 decimal digits
  format_scientific = 0x8000,      // floating-point text in scientific notation
};
