// The data folder's files: save files whose bytes do not load are set aside rather than rotated
// away, files that cannot be read or held now are left where they are and the run's saves then
// delete nothing (or write nothing), the folder is listed whole however many files it holds, and
// what is written there is the user's alone.
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>

#include "tests/reader/save_fixture.h"
#include "tests/support/test_store.h"

namespace {

std::string log_since(u64 before) {
  buffer b = log_last_text();
  return before <= b.used ? std::string((const char *)b.data + before, b.used - before) : std::string();
}

std::string save_name(u32 month, u32 day, u32 second = 0) {
  char name[64];
  snprintf(name, sizeof name, "feed_data_2024%02u%02u_0000%02u.bin", month, day, second);
  return name;
}

u32 mode_of(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (u32)(st.st_mode & 07777) : 0xFFFFFFFFu;
}

bool is_regular(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

u32 count_bin(const std::vector<std::string> &names) {
  u32 n = 0;
  for (const std::string &name : names) n += reader_save_file_number((const u8 *)name.data(), name.size()) != 0;
  return n;
}

TEST_F(SaveStore, files_that_do_not_load_are_set_aside_and_outlive_every_rotation) {
  fill_rich(&r);
  const std::string good = image_of(&r);
  std::string later_version = good;
  later_version[4] = 2;  // the version word
  write_file(folder + "/" + save_name(1, 1), good);
  write_file(folder + "/" + save_name(1, 3), good.substr(0, good.size() / 2));
  write_file(folder + "/" + save_name(1, 4), later_version);
  // Left from an earlier run under the name the damaged file would take.
  write_file(folder + "/" + save_name(1, 3) + ".rejected", "older rejected bytes");

  {
    test_store f;
    u64 before = log_last_text().used;
    EXPECT_EQ(reader_load(&f.r, text_of(folder)), 20240101000000ull);
    std::string log = log_since(before);
    EXPECT_NE(log.find("set aside as: " + folder + "/" + save_name(1, 4) + ".rejected\n"), std::string::npos) << log;
    EXPECT_NE(log.find("set aside as: " + folder + "/" + save_name(1, 3) + ".1.rejected\n"), std::string::npos) << log;
  }
  std::vector<std::string> expected = {save_name(1, 1), save_name(1, 3) + ".1.rejected",
                                       save_name(1, 3) + ".rejected", save_name(1, 4) + ".rejected"};
  EXPECT_EQ(files(), expected);
  EXPECT_EQ(read_file(folder + "/" + save_name(1, 4) + ".rejected"), later_version);
  EXPECT_EQ(read_file(folder + "/" + save_name(1, 3) + ".rejected"), "older rejected bytes");

  // Twelve saves later the ten newest good files remain, and every file set aside is still there.
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(reader_save(&r, text_of(folder)));
  std::vector<std::string> names = files();
  EXPECT_EQ(count_bin(names), SAVE_FILE_KEEP);
  EXPECT_EQ(std::count(names.begin(), names.end(), save_name(1, 1)), 0);
  for (u32 i = 1; i < expected.size(); ++i)
    EXPECT_EQ(std::count(names.begin(), names.end(), expected[i]), 1) << expected[i];
  EXPECT_EQ(read_file(folder + "/" + save_name(1, 4) + ".rejected"), later_version);
}

// Twelve good save files; the contents of the folder by name.
class SaveFolder : public SaveStore {
 protected:
  std::string good;
  std::vector<std::pair<std::string, std::string>> before;

  void SetUp() override {
    SaveStore::SetUp();
    fill_rich(&r);
    good = image_of(&r);
    for (u32 day = 1; day <= 12; ++day) write_file(folder + "/" + save_name(1, day), good);
    before = contents();
  }
  std::vector<std::pair<std::string, std::string>> contents() {
    std::vector<std::pair<std::string, std::string>> out;
    // A pipe's contents are never read: an open would wait for its writer.
    for (const std::string &name : files())
      out.push_back({name, is_regular(folder + "/" + name) ? read_file(folder + "/" + name) : "pipe"});
    return out;
  }
  // The save of a run that left a file where it was: a new file, and not one file deleted.
  void expect_saves_delete_nothing(reader *run) {
    ASSERT_TRUE(reader_save(run, text_of(folder)));
    std::vector<std::pair<std::string, std::string>> now = contents();
    ASSERT_EQ(now.size(), before.size() + 1);
    for (const auto &file : before) EXPECT_NE(std::find(now.begin(), now.end(), file), now.end()) << file.first;
    for (const auto &file : now)
      if (std::find(before.begin(), before.end(), file) == before.end()) unlink((folder + "/" + file.first).c_str());
  }
};

// Every allocation and commit a load makes fails in turn. The files stay as they are whatever
// failed; the store is the newest file's, an older one's or empty, and never half of one; when a
// file was left unloaded the log says so and the run's save writes a new file deleting none, or
// (nothing loaded) writes nothing.
TEST_F(SaveFolder, a_load_that_runs_out_of_memory_anywhere_leaves_every_file_and_its_saves_delete_none) {
  const u64 newest = 20240112000000ull;
  for (memory_fault_kind kind : {memory_fault_alloc, memory_fault_commit}) {
    u32 failed = 0;
    for (s32 successes = 0; successes < 100; ++successes) {
      test_store run;
      u64 log_before = log_last_text().used;
      memory_fault_inject(kind, successes);
      u64 loaded = reader_load(&run.r, text_of(folder));
      memory_fault_inject(kind, -1);
      std::string log = log_since(log_before);
      SCOPED_TRACE(testing::Message() << "kind " << kind << " successes " << successes << "\n" << log);
      ASSERT_EQ(contents(), before);
      if (loaded) EXPECT_EQ(image_of(&run.r), good);
      else EXPECT_EQ(run.r.feeds.entry_count + run.r.strings.used, 0u);
      if (loaded == newest) {
        EXPECT_EQ(run.r.save_rule, (u32)save_rule_rotate);
        continue;
      }
      ++failed;
      EXPECT_NE(log.find(loaded ? "Saves of this run delete no save file." : "No save file loaded"), std::string::npos);
      if (loaded) {
        EXPECT_EQ(run.r.save_rule, (u32)save_rule_keep_files);
        expect_saves_delete_nothing(&run.r);
      } else {
        EXPECT_EQ(run.r.save_rule, (u32)save_rule_none);
        EXPECT_FALSE(reader_save(&run.r, text_of(folder)));
        EXPECT_EQ(contents(), before);
      }
    }
    // The listing, the check, the records, the texts and the store's own check all asked.
    EXPECT_GE(failed, kind == memory_fault_alloc ? 3u : 2u);
  }
}

// A file that cannot be read (here a pipe under a save file's name) is left for a later run.
TEST_F(SaveFolder, a_save_file_that_cannot_be_read_stays_and_the_saves_delete_none) {
  const std::string unreadable = folder + "/" + save_name(1, 13);
  ASSERT_EQ(mkfifo(unreadable.c_str(), 0600), 0);
  before = contents();
  {
    test_store run;
    u64 log_before = log_last_text().used;
    EXPECT_EQ(reader_load(&run.r, text_of(folder)), 20240112000000ull);
    std::string log = log_since(log_before);
    EXPECT_NE(log.find("Save file not read, left as it is: " + unreadable + "\n"), std::string::npos) << log;
    EXPECT_EQ(contents(), before);
    EXPECT_EQ(run.r.save_rule, (u32)save_rule_keep_files);
    expect_saves_delete_nothing(&run.r);
  }
  // With nothing else to load, the run saves nothing: its empty store would hide the pipe's file.
  for (u32 day = 1; day <= 12; ++day) unlink((folder + "/" + save_name(1, day)).c_str());
  before = contents();
  test_store run;
  EXPECT_EQ(reader_load(&run.r, text_of(folder)), 0u);
  EXPECT_EQ(run.r.save_rule, (u32)save_rule_none);
  u64 log_before = log_last_text().used;
  EXPECT_FALSE(reader_save(&run.r, text_of(folder)));
  EXPECT_NE(log_since(log_before).find("Error while saving the reader.\n "), std::string::npos);
  EXPECT_EQ(contents(), before);
}

// The fixture's clean-up removes files only: a folder a test makes in the data folder goes with
// this record, on every way out of the test.
struct folder_removed_at_end {
  std::string path;
  ~folder_removed_at_end() { rmdir(path.c_str()); }
};

// Two files left at one start (links to nothing: "No such file or directory"), and a folder
// where the mark of one would go: that mark's line gives its own reason, and only that file is
// said to be unmarked; the other's line is the one it has when every mark is written. Either way
// the run saves none.
TEST_F(SaveFolder, a_mark_that_cannot_be_written_is_named_with_its_own_reason_and_file) {
  const std::string unmarked = folder + "/" + save_name(1, 13), marked = folder + "/" + save_name(1, 14);
  folder_removed_at_end mark{folder + "/." + save_name(1, 13) + ".left"};
  ASSERT_EQ(symlink((folder + "/gone").c_str(), unmarked.c_str()), 0);
  ASSERT_EQ(symlink((folder + "/gone").c_str(), marked.c_str()), 0);
  ASSERT_EQ(mkdir(mark.path.c_str(), 0700), 0);
  test_store run;
  u64 log_before = log_last_text().used;
  EXPECT_EQ(reader_load(&run.r, text_of(folder)), 20240112000000ull);
  std::string log = log_since(log_before);
  EXPECT_NE(log.find("load failed: file_error_open (1): " + unmarked + ": No such file or directory\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("mark a save file left at start failed: file_error_open (1): " + mark.path + ": Is a directory\n"),
            std::string::npos)
      << log;
  const std::string left = "Save file left as it is and never deleted by a save: ";
  const std::string why = ". It could not be read: No such file or directory.";
  EXPECT_NE(log.find(left + unmarked + why + " It could not be marked, so this run saves none.\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find(left + marked + why + " Saves of this run delete no save file.\n"), std::string::npos) << log;
  EXPECT_EQ(run.r.save_rule, (u32)save_rule_none);
}

// A damaged file whose set-aside name is taken by a folder stays where it is, and the line that
// says so gives what the system said of the rename.
TEST_F(SaveStore, a_file_that_cannot_be_set_aside_is_named_with_the_systems_reason) {
  fill_rich(&r);
  write_file(folder + "/" + save_name(1, 1), image_of(&r));
  const std::string damaged = folder + "/" + save_name(1, 3);
  write_file(damaged, "not a save file");
  folder_removed_at_end taken{damaged + ".rejected"};
  ASSERT_EQ(mkdir(taken.path.c_str(), 0700), 0);
  test_store run;
  u64 before = log_last_text().used;
  EXPECT_EQ(reader_load(&run.r, text_of(folder)), 20240101000000ull);
  std::string log = log_since(before);
  EXPECT_NE(log.find("Save file not loaded and could not be set aside: " + damaged + ": Is a directory\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(read_file(damaged), "not a save file");
}

// The newest file, left at one start for want of memory, is still there byte for byte after ten
// more runs that each load and save (and rotate), though each loads a newer file than it.
TEST_F(SaveStore, a_file_left_at_start_outlives_every_later_rotation) {
  fill_rich(&r);
  const std::string older = image_of(&r);
  fill_rich(&r);
  const std::string newest = image_of(&r);
  write_file(folder + "/" + save_name(1, 1), older);
  write_file(folder + "/" + save_name(1, 2), newest);
  for (int run = 0; run < 11; ++run) {
    test_store next;
    if (run == 0) memory_fault_inject(memory_fault_alloc, 1);  // the listing, then no more
    u64 loaded = reader_load(&next.r, text_of(folder));
    memory_fault_inject(memory_fault_alloc, -1);
    ASSERT_NE(loaded, 20240102000000ull) << run;
    ASSERT_NE(loaded, 0u) << run;
    ASSERT_TRUE(reader_save(&next.r, text_of(folder))) << run;
  }
  std::vector<std::string> names = files();
  EXPECT_EQ(std::count(names.begin(), names.end(), save_name(1, 2)), 1);
  EXPECT_TRUE(read_file(folder + "/" + save_name(1, 2)) == newest) << "its bytes changed";
  // The later runs rotate around it: ten newest, and the one left.
  EXPECT_EQ(count_bin(names), SAVE_FILE_KEEP + 1);
}

// A file named for the last second there is leaves no later name the loader reads.
TEST_F(SaveStore, a_save_after_the_last_name_there_is_fails_and_keeps_the_files) {
  fill_rich(&r);
  const std::string last = "feed_data_99991231_235959.bin", image = image_of(&r);
  write_file(folder + "/" + last, image);
  u64 before = log_last_text().used;
  EXPECT_FALSE(reader_save(&r, text_of(folder)));
  EXPECT_NE(log_since(before).find("Error while saving the reader.\n "), std::string::npos);
  EXPECT_EQ(files(), std::vector<std::string>{last});
  EXPECT_EQ(read_file(folder + "/" + last), image);
}

TEST_F(SaveStore, a_folder_of_many_save_files_is_listed_whole) {
  const std::string image = image_of(&r);
  // 150 good files: more than any fixed listing of 100 would see, in the folder's own order.
  for (u32 i = 0; i < 150; ++i) write_file(folder + "/" + save_name(1 + i / 28, 1 + i % 28, i % 60), image);
  const u64 newest = 20240000000000ull + (1 + 149 / 28) * 100000000ull + (1 + 149 % 28) * 1000000ull + 149 % 60;
  {
    test_store f;
    EXPECT_EQ(reader_load(&f.r, text_of(folder)), newest);
  }
  ASSERT_TRUE(reader_save(&r, text_of(folder)));
  std::vector<std::string> names = files();
  EXPECT_EQ(count_bin(names), SAVE_FILE_KEEP);
  // The ten kept are the newest: the one just written and the nine newest before it.
  u32 older_kept = 0;
  for (const std::string &name : names) {
    u64 n = reader_save_file_number((const u8 *)name.data(), name.size());
    if (n && n <= newest) {
      older_kept++;
      EXPECT_GE(n, 20240602000000ull) << name;
    }
  }
  EXPECT_EQ(older_kept, SAVE_FILE_KEEP - 1);
}

TEST_F(SaveStore, the_data_folder_and_its_save_files_are_the_users_alone) {
  mode_t old_mask = umask(022);
  std::string data = folder + "/parent/data";
  ASSERT_TRUE(reader_save(&r, text_of(data + "//")));
  EXPECT_EQ(mode_of(data), 0700u);
  std::vector<std::string> saved;
  if (DIR *d = opendir(data.c_str())) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') saved.push_back(e->d_name);
    closedir(d);
  }
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(mode_of(data + "/" + saved[0]), 0600u);
  // A temporary file left by a save cut short keeps no wider mode into the next save.
  write_file(data + "/feed_data.tmp", "cut short");
  chmod((data + "/feed_data.tmp").c_str(), 0644);
  fill_rich(&r);
  ASSERT_TRUE(reader_save(&r, text_of(data)));
  if (DIR *d = opendir(data.c_str())) {
    while (dirent *e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      EXPECT_EQ(mode_of(data + "/" + e->d_name), 0600u) << e->d_name;
    }
    closedir(d);
  }
  umask(old_mask);
  remove_folder(data);
  remove_folder(folder + "/parent");
}

}  // namespace
