// The web's UTF-8 decoder as a byte-at-a-time model, one U+FFFD per maximal subpart of a broken
// sequence, and the inputs worth holding a decoder to it: every prefix of every multi-byte form
// at the bounds of its ranges and past them, and stray or impossible bytes. Shared by the tests
// of every decoder that must read broken UTF-8 the same way: the encoding layer's dispatch and
// runs, the XML parser's inputs and the HTML input stream.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/base.h"

inline std::vector<u32> utf8_model(const std::vector<u8> &in) {
  std::vector<u32> out;
  u32 cp = 0, needed = 0, seen = 0, low = 0x80, high = 0xBF;
  for (size_t i = 0; i <= in.size(); i++) {
    if (i == in.size()) {
      if (needed) out.push_back(0xFFFD);
      break;
    }
    u32 b = in[i];
    if (needed == 0) {
      if (b < 0x80) out.push_back(b);
      else if (b >= 0xC2 && b <= 0xDF) needed = 1, cp = b & 0x1F;
      else if (b >= 0xE0 && b <= 0xEF) {
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
        needed = 2, cp = b & 0xF;
      } else if (b >= 0xF0 && b <= 0xF4) {
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
        needed = 3, cp = b & 0x7;
      } else out.push_back(0xFFFD);
      continue;
    }
    if (b < low || b > high) {
      cp = needed = seen = 0, low = 0x80, high = 0xBF;
      out.push_back(0xFFFD);
      i--;  // the byte is processed again
      continue;
    }
    low = 0x80, high = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
    if (++seen == needed) out.push_back(cp), cp = needed = seen = 0;
  }
  return out;
}

// Every prefix (one byte up to whole) of the multi-byte forms at the ends of each lead's ranges,
// of the forms just past them (overlong, surrogate, past U+10FFFF) and of leads that start
// nothing, then each of: nothing, an ASCII letter, a two-byte character, a stray continuation,
// another lead cut short.
inline std::vector<std::vector<u8>> utf8_broken_inputs() {
  const std::vector<u8> forms[] = {
      {0xC2, 0x80}, {0xDF, 0xBF}, {0xE0, 0xA0, 0x80}, {0xE0, 0xBF, 0xBF}, {0xE1, 0x80, 0x80}, {0xEC, 0xBF, 0xBF},
      {0xED, 0x80, 0x80}, {0xED, 0x9F, 0xBF}, {0xEE, 0x80, 0x80}, {0xEF, 0xBF, 0xBD}, {0xF0, 0x90, 0x80, 0x80},
      {0xF0, 0xBF, 0xBF, 0xBF}, {0xF1, 0x80, 0x80, 0x80}, {0xF3, 0xBF, 0xBF, 0xBF}, {0xF4, 0x80, 0x80, 0x80},
      {0xF4, 0x8F, 0xBF, 0xBF},
      // just past the ranges
      {0xC0, 0x80}, {0xC1, 0xBF}, {0xE0, 0x80, 0x80}, {0xE0, 0x9F, 0xBF}, {0xED, 0xA0, 0x80}, {0xED, 0xBF, 0xBF},
      {0xF0, 0x80, 0x80, 0x80}, {0xF0, 0x8F, 0xBF, 0xBF}, {0xF4, 0x90, 0x80, 0x80}, {0xF4, 0xBF, 0xBF, 0xBF},
      {0xF5, 0x80, 0x80, 0x80}, {0xF8, 0x88, 0x80, 0x80, 0x80}, {0xFE}, {0xFF},
      // stray continuations, and a lead whose continuation is another lead
      {0x80}, {0xBF, 0xBF}, {0xE2, 0xC3, 0xA9}, {0xF0, 0x9F, 0xE2, 0x82, 0xAC}};
  const std::vector<u8> followers[] = {{}, {'A'}, {0xC3, 0xA9}, {0x80}, {0xE2, 0x82}};
  std::vector<std::vector<u8>> all;
  for (const auto &form : forms) {
    for (size_t n = 1; n <= form.size(); n++) {
      for (const auto &follower : followers) {
        std::vector<u8> in(form.begin(), form.begin() + (long)n);
        in.insert(in.end(), follower.begin(), follower.end());
        all.push_back(in);
      }
    }
  }
  return all;
}

inline std::string utf8_model_text(const std::vector<u32> &cps) {
  std::string s;
  for (u32 c : cps) {
    if (c < 0x80) {
      s += (char)c;
    } else if (c < 0x800) {
      s += (char)(0xC0 | c >> 6), s += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      s += (char)(0xE0 | c >> 12), s += (char)(0x80 | (c >> 6 & 0x3F)), s += (char)(0x80 | (c & 0x3F));
    } else {
      s += (char)(0xF0 | c >> 18), s += (char)(0x80 | (c >> 12 & 0x3F)), s += (char)(0x80 | (c >> 6 & 0x3F));
      s += (char)(0x80 | (c & 0x3F));
    }
  }
  return s;
}

inline std::string utf8_model_hex(const std::vector<u8> &in) {
  std::string s;
  char b[4];
  for (u8 v : in) snprintf(b, sizeof b, " %02X", v), s += b;
  return s;
}
