// Indexes stored without their gaps: a pointer's place is the pointer less the gaps before it.
#include "encoding/codec_internal.h"

u32 encoding_index_compress(u64 pointer, const encoding_range *ranges, u64 range_count) {
  invariant(pointer <= 0xFFFE);
  u64 gaps = 0, previous_end = 0;
  for (u64 i = 0; i < range_count; i++) {
    gaps += ranges[i].start - previous_end;
    previous_end = ranges[i].end;
    if (pointer < ranges[i].end) {
      if (pointer < ranges[i].start) return encoding_no_pointer;
      return (u32)(pointer - gaps);
    }
  }
  return encoding_no_pointer;
}

u32 encoding_index_expand(u64 place, const encoding_range *ranges, u64 range_count) {
  for (u64 i = 0; i < range_count; i++) {
    u64 length = ranges[i].end - ranges[i].start;
    if (place < length) return (u32)(ranges[i].start + place);
    place -= length;
  }
  return encoding_no_pointer;
}
