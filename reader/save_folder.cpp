// The data folder's save files: their names and numbers, the listing of the whole folder, the
// save with its rotation to the ten newest, the load of the newest file that loads, and setting
// aside a file whose bytes do not load. A file that could not be read or held at start stays
// where it is, marked by a hidden file beside it so that no later save deletes it; the run that
// leaves it deletes nothing (or, when nothing loaded, writes nothing).
#include <errno.h>

#include "platform/durable.h"
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

// A file left at start keeps its name and bytes; beside it a hidden mark, "." + its name + ".left",
// holding why it was left, tells every later run to keep it out of the rotation.
#define SAVE_MARK_SUFFIX ".left"

// The number of the save file a mark stands for; 0 when the name is not a mark's.
static u64 save_mark_number(const u8 *name, u64 length) {
  u64 start = save_path_name_start(name, length);
  buffer suffix = string_lit(SAVE_MARK_SUFFIX);
  if (length - start < 1 + suffix.used || name[start] != '.') return 0;
  if (memcmp(name + length - suffix.used, suffix.data, suffix.used) != 0) return 0;
  return reader_save_file_number(name + start + 1, length - start - 1 - suffix.used);
}

// The mark's path for a save file's path, in the area; the empty buffer when it does not fit.
static buffer save_mark_path(buffer path, u8 *area, u64 size) {
  u64 start = save_path_name_start(path.data, path.used);
  buffer out = buffer_make(size, 0, area);
  buffer suffix = string_lit(SAVE_MARK_SUFFIX);
  bool fits = buffer_push_bytes(&out, path.data, start) && buffer_push_bytes(&out, ".", 1) &&
              buffer_push_bytes(&out, path.data + start, path.used - start) &&
              buffer_push_bytes(&out, suffix.data, suffix.used);
  return fits ? out : buffer{};
}

// The save files of the folder: their numbers and paths, in the order listed, and room for the
// caller's order of them; the marks with the numbers they keep. Block memory is the caller's to
// free.
struct save_listing {
  buffer block;
  dir_list list;
  u64 *numbers;    // by entry: a save file's number, 0 for any other name
  u64 *marks;      // by entry: the number a mark keeps, 0 for any other name
  u64 *marked;     // the numbers marks keep, ascending
  u32 *order;
  u32 *left;       // by entry: the read error that left the file at this start, 0 for none
  u32 *left_why;   // by entry: what the system said then (an errno value), 0 for nothing
  u8 *unmarked;    // by entry: 1 when the file was left at this start and its mark could not be written
  u32 count;
  u32 mark_count;
  bool whole;      // every entry of the folder is listed
};

static bool save_list_is_marked(const save_listing *listing, u64 number) {
  return std::binary_search(listing->marked, listing->marked + listing->mark_count, number);
}

// The whole folder is listed: a save file left out could be newer than the one loaded, or be
// counted out of the ten kept. The room doubles until every ".bin" entry fits.
static void save_list(buffer folder, save_listing *out) {
  *out = save_listing{};
  // The arrays of one entry and its path: the folder, '/' and a name of at most 255 bytes.
  u64 entry_bytes = sizeof(u8 *) + 8 + 2 + 1 + 8 + 3 * sizeof(u64) + 3 * sizeof(u32) + 1 + folder.used + 1 + 255;
  for (u32 capacity = 128;; capacity *= 2) {
    out->block = memory_alloc(capacity * entry_bytes + 64, nullptr);
    if (!out->block.data) {
      log_text("Save files not listed: no memory for the listing.\n");
      return;
    }
    out->numbers = (u64 *)buffer_push_array_bytes(&out->block, sizeof(u64), capacity, 8);
    out->marks = (u64 *)buffer_push_array_bytes(&out->block, sizeof(u64), capacity, 8);
    out->marked = (u64 *)buffer_push_array_bytes(&out->block, sizeof(u64), capacity, 8);
    out->order = (u32 *)buffer_push_array_bytes(&out->block, sizeof(u32), capacity, 4);
    out->left = (u32 *)buffer_push_array_bytes(&out->block, sizeof(u32), capacity, 4);
    out->left_why = (u32 *)buffer_push_array_bytes(&out->block, sizeof(u32), capacity, 4);
    out->unmarked = (u8 *)buffer_push_array_bytes(&out->block, 1, capacity, 1);
    out->list = dir_list_make(&out->block, capacity);
    bool whole = dir_list_files(&out->list, folder, string_lit("bin,left"), buffer{}, dir_list_include_files) != 0;
    out->whole = whole;
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
    const u8 *name = out->list.path[i];
    u64 length = out->list.path_length[i];
    bool file = !out->list.is_directory[i];
    out->numbers[i] = file ? reader_save_file_number(name, length) : 0;
    out->marks[i] = file ? save_mark_number(name, length) : 0;
    out->left[i] = out->left_why[i] = 0;
    out->unmarked[i] = 0;
    if (out->marks[i]) out->marked[out->mark_count++] = out->marks[i];
  }
  std::sort(out->marked, out->marked + out->mark_count);
  out->count = out->list.count;
}

// The parseable save files, newest first, into the listing's order (without those a mark keeps
// when only the rotation's are asked for); their count.
static u32 save_list_newest_first(save_listing *listing, bool rotation) {
  u32 n = 0;
  for (u32 i = 0; i < listing->count; ++i)
    if (listing->numbers[i] && !(rotation && save_list_is_marked(listing, listing->numbers[i])))
      listing->order[n++] = i;
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
    // What the system said for the rename; no name left to set it aside under has no such reason.
    u32 reason = error ? file_error_reason() : 0;
    log_text(reason ? ": " : "\n");
    if (reason) log_system_error(reason);
    return;
  }
  log_text("Save file not loaded, set aside as: ");
  log_append_string(aside);
  log_text("\n");
}

// ---- Files left at start -----------------------------------------------------------------

static void save_push_text(buffer *out, buffer text) { buffer_push_bytes(out, text.data, text.used); }

// Why a file was left, as one sentence: what the system said when there is something.
static void save_left_why(u32 read_error, u32 reason, buffer *out) {
  if (read_error == file_error_out_of_memory) {
    save_push_text(out, string_lit("There was no memory to load it."));
  } else if (reason) {
    save_push_text(out, string_lit("It could not be read: "));
    file_error_reason_push(reason, out);
    save_push_text(out, string_lit("."));
  } else {
    save_push_text(out, string_lit("It could not be read ("));
    const char *name = file_error_name(read_error);
    buffer_push_bytes(out, name, strlen(name));
    save_push_text(out, string_lit(")."));
  }
}

// Marks a file left at this start, the mark holding why; false when no mark could be written.
static bool save_mark_write(buffer path, buffer why) {
  u8 area[FILE_PATH_AREA_SIZE];
  buffer mark = save_mark_path(path, area, sizeof area);
  if (!mark.data) return false;
  u32 error = 0;
  platform_file f = file_create_private(mark, &error);
  file_write_at(f, 0, why.used, why.data, &error);
  file_write_at(f, why.used, 1, "\n", &error);
  file_sync(f, &error);
  // A close that fails loses what was written: its own reason is the mark's.
  if (file_handle_is_valid(f) && !file_close(f, &error)) file_error_set_reason(&error, file_error_write, errno);
  if (error) log_file_error_reason(string_lit("mark a save file left at start"), mark, error, file_error_reason());
  return error == 0;
}

static void save_mark_remove(buffer mark) {
  u32 error = 0;
  if (!file_delete(mark, &error)) log_file_error_reason(string_lit("remove a mark"), mark, error, file_error_reason());
}

// The mark of a save file, when it has one.
static void save_mark_remove_of(const save_listing *listing, buffer path, u64 number) {
  if (!save_list_is_marked(listing, number)) return;
  u8 area[FILE_PATH_AREA_SIZE];
  buffer mark = save_mark_path(path, area, sizeof area);
  if (mark.data) save_mark_remove(mark);
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
    log_file_error_reason(string_lit("create data folder"), folder, error, file_error_reason());
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
    log_file_error_reason(string_lit("save"), path, error, file_error_reason());
    return false;
  }

  if (r->save_rule == save_rule_keep_files) return true;
  save_list(folder, &listing);
  // A file left at start stays out of the rotation for as long as its mark is there.
  u32 parseable = save_list_newest_first(&listing, true);
  if (parseable > SAVE_FILE_KEEP) {
    for (u32 k = SAVE_FILE_KEEP; k < parseable; ++k) {
      u32 i = listing.order[k];
      if (listing.numbers[i] >= written) continue;
      u32 delete_error = 0;
      buffer old = string_from_bytes(listing.list.path[i], listing.list.path_length[i]);
      // A mark the listing did not reach (a folder of more files than it takes) still keeps it.
      u8 mark_area[FILE_PATH_AREA_SIZE];
      buffer mark = save_mark_path(old, mark_area, sizeof mark_area);
      u32 exists_error = 0;
      if (!mark.data || file_exists(mark, &exists_error) || exists_error) continue;
      if (!file_delete(old, &delete_error)) {
        log_file_error_reason(string_lit("rotate"), old, delete_error, file_error_reason());
      }
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
  u32 n = save_list_newest_first(&listing, false);
  u64 loaded = 0;
  u32 tried = 0;
  bool left = false, unmarked = false;  // a file left where it is; one whose mark could not be written
  for (; tried < n && !loaded; ++tried) {
    u32 i = listing.order[tried];
    buffer path = string_from_bytes(listing.list.path[i], listing.list.path_length[i]);
    u32 read_error = 0;
    if (reader_read(r, path, &read_error)) {
      loaded = listing.numbers[i];
      // A file left at an earlier start that loads now is the store again: its mark has done.
      save_mark_remove_of(&listing, path, loaded);
      break;
    }
    u32 reason = read_error ? file_error_reason() : 0;
    reader_reset(r);
    // Only what is wrong with the file's own bytes sets it aside: a file that could not be read
    // or held now may load the next time.
    if (read_error) {
      if (read_error != file_error_out_of_memory) log_file_error_reason(string_lit("load"), path, read_error, reason);
      log_text(read_error == file_error_out_of_memory ? "Save file not loaded for want of memory, left as it is: "
                                                      : "Save file not read, left as it is: ");
      log_append_string(path);
      log_text("\n");
      listing.left[i] = read_error;
      listing.left_why[i] = reason;
      left = true;
      // Marked now, so that no later save deletes it, whichever file later runs load.
      if (!save_list_is_marked(&listing, listing.numbers[i])) {
        u8 why_area[512];
        buffer why = buffer_make(sizeof why_area, 0, why_area);
        save_left_why(read_error, reason, &why);
        listing.unmarked[i] = !save_mark_write(path, why);
        unmarked |= listing.unmarked[i] != 0;
      }
      continue;
    }
    log_text("Save file not loaded, trying an older one: ");
    log_append_string(path);
    log_text("\n");
    save_file_set_aside(path);
    save_mark_remove_of(&listing, path, listing.numbers[i]);
  }

  // Files left at an earlier start that this one did not reach, being older than the file it
  // loaded, stay as they are; a mark whose file the user removed goes too.
  for (u32 i = 0; i < listing.count; ++i) {
    if (!listing.marks[i]) continue;
    // The files are in the order newest first: the marked one is found by halving.
    u64 number = listing.marks[i];
    u32 *at = std::lower_bound(listing.order, listing.order + n, number,
                               [&](u32 j, u64 key) { return listing.numbers[j] > key; });
    bool present = at < listing.order + n && listing.numbers[*at] == number;
    bool reached = present && ((u32)(at - listing.order) < tried || number == loaded);
    u32 file = present ? *at : 0;
    buffer mark = string_from_bytes(listing.list.path[i], listing.list.path_length[i]);
    if (!present) {
      if (listing.whole) save_mark_remove(mark);
    } else if (!reached) {
      log_text("Save file left at an earlier start, kept as it is and never deleted by a save: ");
      log_append_string(string_from_bytes(listing.list.path[file], listing.list.path_length[file]));
      log_text(". To load it, move the newer save files out of the folder.\n");
    }
  }

  if (left) {
    // This run's store is not what the left file holds: its saves delete nothing, and with no
    // file loaded (or a left file not marked) it writes none, so that no save can hide one.
    r->save_rule = loaded && !unmarked ? save_rule_keep_files : save_rule_none;
    for (u32 k = 0; k < tried && k < n; ++k) {
      u32 i = listing.order[k];
      if (!listing.left[i]) continue;
      u8 line_area[FILE_PATH_AREA_SIZE + 1024];
      buffer line = buffer_make(sizeof line_area, 0, line_area);
      save_push_text(&line, string_lit("Save file left as it is and never deleted by a save: "));
      buffer_push_bytes(&line, listing.list.path[i], listing.list.path_length[i]);
      save_push_text(&line, string_lit(". "));
      save_left_why(listing.left[i], listing.left_why[i], &line);
      // Only the file whose mark failed says why nothing is saved; another file left beside it
      // keeps the line it has when every mark is written, which stays true of a run that saves
      // none.
      buffer rule = !loaded ? string_lit(" No save file loaded; the save files stay as they are and this run"
                                         " saves none.")
                    : listing.unmarked[i] ? string_lit(" It could not be marked, so this run saves none.")
                                          : string_lit(" Saves of this run delete no save file.");
      save_push_text(&line, rule);
      save_push_text(&line, string_lit("\n"));
      log_append_string(line);
    }
  }
  memory_free(&listing.block);
  return loaded;
}
