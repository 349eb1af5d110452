// Byte hashes: FNV-1a in 32 and 64 bits, and fasthash.
#include "core/math.h"

u32 hash_fnv1a_32(const void *data, u64 length) {
  const u8 *p = (const u8 *)data;
  u32 h = 0x811C9DC5u;
  for (u64 i = 0; i < length; i++) h = (h ^ p[i]) * 16777619u;
  return h;
}

u64 hash_fnv1a_64(const void *data, u64 length) {
  const u8 *p = (const u8 *)data;
  u64 h = 0xCBF29CE484222325ull;
  for (u64 i = 0; i < length; i++) h = (h ^ p[i]) * 0x100000001B3ull;
  return h;
}

u64 fasthash_mix(u64 x) {
  x ^= x >> 23;
  x *= 0x2127599BF4325C37ull;
  x ^= x >> 47;
  return x;
}

u64 fasthash64(const void *data, u64 length, u64 seed) {
  const u64 m = 0x880355F21E6D1965ull;
  const u8 *p = (const u8 *)data;
  u64 h = seed ^ (length * m);
  u64 words = length / 8;
  for (u64 w = 0; w < words; w++, p += 8) {
    // Little-endian words assembled byte by byte: no alignment is assumed of the data.
    u64 v = 0;
    for (u32 i = 0; i < 8; i++) v |= (u64)p[i] << (8 * i);
    h = (h ^ fasthash_mix(v)) * m;
  }
  u32 rest = (u32)(length & 7);
  if (rest) {
    u64 v = 0;
    for (u32 i = 0; i < rest; i++) v |= (u64)p[i] << (8 * i);
    h = (h ^ fasthash_mix(v)) * m;
  }
  return fasthash_mix(h);
}

u32 fasthash32(const void *data, u64 length, u32 seed) {
  u64 h = fasthash64(data, length, seed);
  return (u32)(h - (h >> 32));
}
