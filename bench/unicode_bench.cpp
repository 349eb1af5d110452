// UTF-8 to UTF-16 and back, against a plain per-code-point loop on the same text. Throughput is
// in bytes of UTF-8 per second for both directions.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "core/core.h"

namespace {

// Mixed text: runs of ASCII words with 2-, 3- and 4-byte code points between them, the mix a
// multilingual feed gives.
std::vector<u8> make_text(u32 ascii_percent) {
  std::mt19937 rng(42);
  std::vector<u8> text;
  while (text.size() < (1u << 20)) {
    u32 pick = rng() % 100;
    u32 c;
    if (pick < ascii_percent)
      c = 0x20 + rng() % 0x5F;
    else if (pick < ascii_percent + (100 - ascii_percent) / 3)
      c = 0x80 + rng() % 0x780;
    else if (pick < 100 - (100 - ascii_percent) / 6)
      c = 0x4E00 + rng() % 0x5000;
    else
      c = 0x1F300 + rng() % 0x300;
    u8 out[4], n;
    u32 e = 0;
    unicode_utf8_encode(out, out + 4, c, &n, &e);
    text.insert(text.end(), out, out + n);
  }
  return text;
}

// The baseline: one code point at a time, lead byte by lead byte, no fast path.
u64 plain_utf8_to_utf16(const u8 *s, u64 n, u16 *d, u64 capacity_units) {
  u64 i = 0, w = 0;
  while (i < n && w + 2 <= capacity_units) {
    u32 b = s[i], c;
    if (b < 0x80) {
      c = b;
      i += 1;
    } else if (b < 0xE0 && i + 1 < n) {
      c = (b & 0x1F) << 6 | (s[i + 1] & 0x3F);
      i += 2;
    } else if (b < 0xF0 && i + 2 < n) {
      c = (b & 0x0F) << 12 | (s[i + 1] & 0x3F) << 6 | (s[i + 2] & 0x3F);
      i += 3;
    } else if (i + 3 < n) {
      c = (b & 0x07) << 18 | (s[i + 1] & 0x3F) << 12 | (s[i + 2] & 0x3F) << 6 | (s[i + 3] & 0x3F);
      i += 4;
    } else {
      c = 0xFFFD;
      i += 1;
    }
    if (c > 0xFFFF) {
      d[w++] = (u16)(0xD800 + ((c - 0x10000) >> 10));
      d[w++] = (u16)(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      d[w++] = (u16)c;
    }
  }
  return w;
}

u64 plain_utf16_to_utf8(const u16 *s, u64 n, u8 *d, u64 capacity) {
  u64 i = 0, w = 0;
  while (i < n && w + 4 <= capacity) {
    u32 c = s[i++];
    if (c >= 0xD800 && c < 0xDC00 && i < n && s[i] >= 0xDC00 && s[i] <= 0xDFFF)
      c = ((c - 0xD800) << 10 | (s[i++] - 0xDC00)) + 0x10000;
    if (c < 0x80) {
      d[w++] = (u8)c;
    } else if (c < 0x800) {
      d[w++] = (u8)(0xC0 | c >> 6);
      d[w++] = (u8)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      d[w++] = (u8)(0xE0 | c >> 12);
      d[w++] = (u8)(0x80 | (c >> 6 & 0x3F));
      d[w++] = (u8)(0x80 | (c & 0x3F));
    } else {
      d[w++] = (u8)(0xF0 | c >> 18);
      d[w++] = (u8)(0x80 | (c >> 12 & 0x3F));
      d[w++] = (u8)(0x80 | (c >> 6 & 0x3F));
      d[w++] = (u8)(0x80 | (c & 0x3F));
    }
  }
  return w;
}

// The text's UTF-8 turned into UTF-16 by convert(text, length, out, out_units), per iteration.
template <typename Convert>
void measure_utf8_to_utf16(benchmark::State &state, Convert convert) {
  std::vector<u8> text = make_text((u32)state.range(0));
  std::vector<u16> out(text.size() + 2);
  for (auto _ : state) {
    u64 n = convert(text.data(), text.size(), out.data(), out.size());
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((s64)(state.iterations() * text.size()));
}

// The text's UTF-16 form turned back into UTF-8 by convert(wide, units, out, out_bytes).
template <typename Convert>
void measure_utf16_to_utf8(benchmark::State &state, Convert convert) {
  std::vector<u8> text = make_text((u32)state.range(0));
  std::vector<u16> wide(text.size() + 2);
  u32 e = 0;
  u64 units = unicode_utf8_to_utf16(text.data(), text.size(), wide.data(), wide.size() * 2, &e);
  std::vector<u8> out(text.size() + 4);
  for (auto _ : state) {
    u64 n = convert(wide.data(), units, out.data(), out.size());
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((s64)(state.iterations() * text.size()));
}

void utf8_to_utf16(benchmark::State &state) {
  measure_utf8_to_utf16(state, [](const u8 *text, u64 length, u16 *out, u64 units) {
    u32 e = 0;
    return unicode_utf8_to_utf16(text, length, out, units * 2, &e);
  });
}

void utf8_to_utf16_plain(benchmark::State &state) {
  measure_utf8_to_utf16(state, [](auto... a) { return plain_utf8_to_utf16(a...); });
}

void utf16_to_utf8(benchmark::State &state) {
  measure_utf16_to_utf8(state, [](const u16 *wide, u64 units, u8 *out, u64 bytes) {
    u32 e = 0;
    return unicode_utf16_to_utf8(wide, units, out, bytes, &e);
  });
}

void utf16_to_utf8_plain(benchmark::State &state) {
  measure_utf16_to_utf8(state, [](auto... a) { return plain_utf16_to_utf8(a...); });
}

}  // namespace

// Argument: percent of ASCII code points (100 is plain English text).
BENCHMARK(utf8_to_utf16)->Arg(100)->Arg(70)->Arg(10);
BENCHMARK(utf8_to_utf16_plain)->Arg(100)->Arg(70)->Arg(10);
BENCHMARK(utf16_to_utf8)->Arg(100)->Arg(70)->Arg(10);
BENCHMARK(utf16_to_utf8_plain)->Arg(100)->Arg(70)->Arg(10);

BENCHMARK_MAIN();
