// The data folder's save files: their names and numbers, the listing of the whole folder, the
// save with its rotation to the ten newest, the load of the newest file that loads, and setting
// aside a file whose bytes do not load. A file that could not be read or held at start stays
// where it is, and the run's saves then delete nothing (or, when nothing loaded, write nothing).
#include "reader/save_internal.h"

// ---- Names -------------------------------------------------------------------------------

u64 reader_save_file_number(const u8 *name, u64 length) {
  u64 start = 0;
  for (u64 i = length; i > 0; --i)
    if (name[i - 1] == '/' || name[i - 1] == '\\') {
      start = i;
      break;
    }
  buffer base = string_from_bytes(name + start, length - start);
  buffer prefix = string_lit("feed_data_"), suffix = string_lit(".bin");
  if (base.used != prefix.used + DATE_COMPACT_LENGTH + suffix.used) return 0;
  if (memcmp(base.data, prefix.data, prefix.used) != 0) return 0;
  if (memcmp(base.data + base.used - suffix.used, suffix.data, suffix.used) != 0) return 0;
  date d = date_from_compact_string(string_from_bytes(base.data + prefix.used, DATE_COMPACT_LENGTH));
  return date_is_zero(d) ? 0 : date_to_number(d);
}

static date date_of_number(u64 n) {
  date d = {};
  d.second = (u8)(n % 100), n /= 100;
  d.minute = (u8)(n % 100), n /= 100;
  d.hour = (u8)(n % 100), n /= 100;
  d.day = (u8)(n % 100), n /= 100;
  d.month = (u8)(n % 100), n /= 100;
  d.year = (u16)n;
  return d;
}

// The save files of the folder: their numbers and paths, in the order listed, and room for the
// caller's order of them. Block memory is the caller's to free.
struct save_listing {
  buffer block;
  dir_list list;
  u64 *numbers;
  u32 *order;
  u32 count;
};

// The whole folder is listed: a save file left out could be newer than the one loaded, or be
// counted out of the ten kept. The room doubles until every ".bin" entry fits.
static void save_list(buffer folder, save_listing *out) {
  *out = save_listing{};
  // The arrays of one entry and its path: the folder, '/' and a name of at most 255 bytes.
  u64 entry_bytes = sizeof(u8 *) + 8 + 2 + 1 + 8 + sizeof(u64) + sizeof(u32) + folder.used + 1 + 255;
  for (u32 capacity = 128;; capacity *= 2) {
    out->block = memory_alloc(capacity * entry_bytes + 64, nullptr);
    if (!out->block.data) {
      log_text("Save files not listed: no memory for the listing.\n");
      return;
    }
    out->numbers = (u64 *)buffer_push_array_bytes(&out->block, sizeof(u64), capacity, 8);
    out->order = (u32 *)buffer_push_array_bytes(&out->block, sizeof(u32), capacity, 4);
    out->list = dir_list_make(&out->block, capacity);
    bool whole = dir_list_files(&out->list, folder, string_lit("bin"), buffer{}, dir_list_include_files) != 0;
    if (whole || capacity >= SAVE_FILE_LIST_MAX) {
      if (!whole) {
        log_text("Save files: the data folder holds more \".bin\" files than the ");
        log_unsigned(SAVE_FILE_LIST_MAX, 0, 0, 0);
        log_text(" looked at.\n");
      }
      break;
    }
    memory_free(&out->block);
  }
  for (u32 i = 0; i < out->list.count; ++i) {
    out->numbers[i] = out->list.is_directory[i] ? 0 : reader_save_file_number(out->list.path[i], out->list.path_length[i]);
  }
  out->count = out->list.count;
}

// The parseable save files, newest first, into the listing's order; their count.
static u32 save_list_newest_first(save_listing *listing) {
  u32 n = 0;
  for (u32 i = 0; i < listing->count; ++i)
    if (listing->numbers[i]) listing->order[n++] = i;
  std::sort(listing->order, listing->order + n,
            [&](u32 a, u32 b) { return listing->numbers[a] > listing->numbers[b]; });
  return n;
}

// A file that does not load (a later version, unreadable, damaged) may still hold the user's
// data: it leaves the rotation under a name without the ".bin" extension and is never deleted.
static void save_file_set_aside(buffer path) {
  u8 area[FILE_PATH_AREA_SIZE];
  buffer aside = {};
  for (u32 k = 0; k < 100 && !aside.data; ++k) {
    buffer name = buffer_make(sizeof(area), 0, area);
    bool fits = buffer_push_bytes(&name, path.data, path.used) &&
                (k == 0 || (buffer_push_bytes(&name, ".", 1) && buffer_push_unsigned(&name, k, 0, ' ', 0))) &&
                buffer_push_bytes(&name, ".rejected", 9);
    if (!fits) break;
    u32 exists_error = 0;
    // An earlier file set aside under the same name is kept too.
    if (!file_exists(name, &exists_error) && !exists_error) aside = name;
  }
  u32 error = 0;
  if (aside.data) file_rename(path, aside, &error);
  if (!aside.data || error) {
    log_text("Save file not loaded and could not be set aside: ");
    log_append_string(path);
    log_text("\n");
    return;
  }
  log_text("Save file not loaded, set aside as: ");
  log_append_string(aside);
  log_text("\n");
}

// The data folder holds the user's reading: a folder it makes is for the user alone. Its parents
// are made as usual.
static bool save_folder_create(buffer folder, u32 *error) {
  if (dir_exists(folder, error)) return true;
  while (folder.used > 1 && folder.data[folder.used - 1] == '/') folder.used--;
  u64 parent = folder.used;
  while (parent > 0 && folder.data[parent - 1] != '/') parent--;
  while (parent > 1 && folder.data[parent - 1] == '/') parent--;
  if (parent > 1 && !dir_create_all(string_from_bytes(folder.data, parent), error)) return false;
  return dir_create_private(folder, error) != 0;
}

// ---- Save and load -----------------------------------------------------------------------

bool reader_save(reader *r, buffer folder) {
  if (r->save_rule == save_rule_none) {
    log_text("Error while saving the reader.\n the save files could not be read at start; they stay as they are.\n");
    return false;
  }
  u32 error = 0;
  if (!save_folder_create(folder, &error)) {
    log_text("Error while saving the reader.\n ");
    log_file_error(string_lit("create data folder"), folder, error);
    return false;
  }
  save_listing listing;
  save_list(folder, &listing);
  u64 newest = 0;
  for (u32 i = 0; i < listing.count; ++i) newest = std::max(newest, listing.numbers[i]);
  memory_free(&listing.block);

  // Named later than every save file there, so it is the one loaded next and never rotated away,
  // even when the clock stands behind a file written earlier.
  date when = date_now_utc();
  if (date_to_number(when) <= newest) when = date_add(date_of_number(newest), 0, 0, 0, 0, 0, 1);
  u8 path_area[FILE_PATH_AREA_SIZE];
  buffer path = buffer_make(sizeof(path_area), 0, path_area);
  buffer prefix = string_lit("/feed_data_"), suffix = string_lit(".bin");
  bool fits = buffer_push_bytes(&path, folder.data, folder.used) && buffer_push_bytes(&path, prefix.data, prefix.used) &&
              date_to_compact_string(when, &path) && buffer_push_bytes(&path, suffix.data, suffix.used);
  if (!fits) {
    log_text("Error while saving the reader.\n the data folder's path is too long.\n");
    return false;
  }
  path.size = path.used;
  u64 written = date_to_number(when);
  // Past the last second of 9999 there is no later name the loader reads: a file written under
  // another would never be loaded, so the save fails and the files stay as they are.
  if (reader_save_file_number(path.data, path.used) != written) {
    log_text("Error while saving the reader.\n no later save file name is left after ");
    log_unsigned(newest, 0, ' ', 0);
    log_text(".\n");
    return false;
  }
  reader_write(r, path, &error);
  if (error) {
    log_text("Error while saving the reader.\n ");
    log_file_error(string_lit("save"), path, error);
    return false;
  }

  if (r->save_rule == save_rule_keep_files) return true;
  save_list(folder, &listing);
  u32 parseable = save_list_newest_first(&listing);
  if (parseable > SAVE_FILE_KEEP) {
    for (u32 k = SAVE_FILE_KEEP; k < parseable; ++k) {
      u32 i = listing.order[k];
      if (listing.numbers[i] >= written) continue;
      u32 delete_error = 0;
      buffer old = string_from_bytes(listing.list.path[i], listing.list.path_length[i]);
      if (!file_delete(old, &delete_error)) log_file_error(string_lit("rotate"), old, delete_error);
    }
  }
  memory_free(&listing.block);
  return true;
}

u64 reader_load(reader *r, buffer folder) {
  r->save_rule = save_rule_rotate;
  u32 error = 0;
  if (!folder.used || !dir_exists(folder, &error)) return 0;
  save_listing listing;
  save_list(folder, &listing);
  if (!listing.block.data) {
    // Which file is the newest is not known: a save now could hide it.
    r->save_rule = save_rule_none;
    log_text("No save file loaded; the save files stay as they are and this run saves none.\n");
    return 0;
  }
  u32 n = save_list_newest_first(&listing);
  u64 loaded = 0;
  bool left = false;  // a file not loaded for want of memory or of a read, left where it is
  for (u32 k = 0; k < n && !loaded; ++k) {
    u32 i = listing.order[k];
    buffer path = string_from_bytes(listing.list.path[i], listing.list.path_length[i]);
    u32 read_error = 0;
    if (reader_read(r, path, &read_error)) {
      loaded = listing.numbers[i];
      break;
    }
    reader_reset(r);
    // Only what is wrong with the file's own bytes sets it aside: a file that could not be read
    // or held now may load the next time.
    if (read_error) {
      if (read_error != file_error_out_of_memory) log_file_error(string_lit("load"), path, read_error);
      log_text(read_error == file_error_out_of_memory ? "Save file not loaded for want of memory, left as it is: "
                                                      : "Save file not read, left as it is: ");
      log_append_string(path);
      log_text("\n");
      left = true;
      continue;
    }
    log_text("Save file not loaded, trying an older one: ");
    log_append_string(path);
    log_text("\n");
    save_file_set_aside(path);
  }
  memory_free(&listing.block);
  if (left) {
    r->save_rule = loaded ? save_rule_keep_files : save_rule_none;
    log_text(loaded ? "Saves of this run delete no save file.\n"
                    : "No save file loaded; the save files stay as they are and this run saves none.\n");
  }
  return loaded;
}
