// The save file's layout shared by its writer, checker and reader: the records' sizes in the file,
// the part of a record its kind leaves zero, and the built-in code points every list starts with.
// How texts are decoded for their code points is in save_internal.h, one walk for all three.
// Writing is in save_write.cpp, checking an image in save_check.cpp, reading and installing one
// in save_read.cpp, and the data folder's files in save_folder.cpp.
#include "reader/save_internal.h"

// ---- Layout ------------------------------------------------------------------------------

const u64 save_record_size[7] = {sizeof(feed), sizeof(entry), sizeof(category), sizeof(person),
                                 sizeof(atom_link), sizeof(struct link), sizeof(meta)};
static_assert(sizeof(link_opener) * READER_LINK_OPENER_COUNT == SAVE_FILE_OPENERS_SIZE, "openers section");

void zero_unused_layout(u32 which, void *record) {
  if (which == pool_feeds && feed_get_type((feed *)record) == feed_type_atom)
    memory_zero((u8 *)record + FEED_ATOM_END, sizeof(feed) - FEED_ATOM_END);
  if (which == pool_entries && entry_get_type((entry *)record) == feed_type_atom)
    memory_zero((u8 *)record + ENTRY_ATOM_END, sizeof(entry) - ENTRY_ATOM_END);
}

// ---- Built-in code points ----------------------------------------------------------------

u32 builtin_codepoints(u32 *out) {
  u32 n = 0;
  for (u32 c = 0x20; c <= 0x7E; ++c) out[n++] = c;
  static const u32 replaced[] = {0xA4, 0xA6, 0xA8, 0xB4, 0xB8, 0xBC, 0xBD, 0xBE};
  for (u32 c = 0xA0; c <= 0xFF; ++c)
    if (!std::count(replaced, replaced + array_count(replaced), c)) out[n++] = c;
  static const u32 latin9[] = {0x20AC, 0x160, 0x161, 0x17D, 0x17E, 0x152, 0x153, 0x178, 0xFFFD, 0x2026};
  for (u32 c : latin9) out[n++] = c;
  return n;
}
