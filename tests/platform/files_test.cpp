#include <dirent.h>
#include <errno.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"

// While set, every pwrite in this program reports success without writing a byte: a device that
// accepts nothing. The product code is linked into this program, so it calls this definition.
static bool fake_zero_writes = false;
extern "C" ssize_t pwrite(int fd, const void *data, size_t n, off_t offset) {
  using pwrite_fn = ssize_t (*)(int, const void *, size_t, off_t);
  static pwrite_fn next = (pwrite_fn)dlsym(RTLD_NEXT, "pwrite");
  if (fake_zero_writes) return 0;
  return next(fd, data, n, offset);
}

// While set, every close in this program gives the descriptor back and then reports an I/O
// error, as a network file system does when data written earlier could not be stored. The log
// tests in this program use it too.
bool fake_close_errors = false;
extern "C" int close(int fd) {
  using close_fn = int (*)(int);
  static close_fn next = (close_fn)dlsym(RTLD_NEXT, "close");
  int r = next(fd);
  if (!fake_close_errors || r != 0) return r;
  errno = EIO;
  return -1;
}

namespace {

buffer str(const std::string &s) { return string_from_bytes(s.data(), s.size()); }
std::string text(buffer b) { return std::string((const char *)b.data, b.used); }

// Removes a tree through descriptors, so paths longer than the system's limit go too.
void remove_tree_at(int parent, const char *name) {
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    unlinkat(parent, name, 0);
    return;
  }
  DIR *d = fdopendir(fd);
  std::vector<std::string> names;
  while (dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
  }
  for (const std::string &n : names) remove_tree_at(dirfd(d), n.c_str());
  closedir(d);
  unlinkat(parent, name, AT_REMOVEDIR);
}

class files : public ::testing::Test {
 protected:
  std::string root;
  void SetUp() override {
    char tmpl[] = "/tmp/quillmere_files_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
  }
  void TearDown() override { remove_tree_at(AT_FDCWD, root.c_str()); }
  std::string at(const std::string &name) const { return root + "/" + name; }
  void put(const std::string &name, const std::string &content) {
    u32 e = 0;
    file_write_all(str(at(name)), content.data(), content.size(), 1, &e);
    ASSERT_EQ(e, 0u) << name;
  }
  void folder(const std::string &name) { ASSERT_EQ(mkdir(at(name).c_str(), 0777), 0) << name; }
};

TEST_F(files, missing_file_fails_once_and_later_steps_keep_the_first_code) {
  u32 e = 0;
  platform_file h = file_open(str(at("missing")), 0, 0, &e);
  EXPECT_FALSE(file_handle_is_valid(h));
  EXPECT_EQ(e, (u32)file_error_open);
  u8 byte;
  EXPECT_EQ(file_read_at(h, 0, 1, &byte, &e), 0u);
  EXPECT_FALSE(file_close(h, &e));
  EXPECT_EQ(e, (u32)file_error_open);

  u32 e2 = 0;
  EXPECT_EQ(file_size(str(at("missing")), &e2), 0u);
  EXPECT_EQ(e2, (u32)file_error_open);
  u32 e3 = 0;
  buffer b = file_read_all(str(at("missing")), 4, &e3);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.size, 0u);
  EXPECT_EQ(e3, (u32)file_error_open);
  u32 e4 = 0;
  EXPECT_FALSE(file_delete(str(at("missing")), &e4));
  EXPECT_EQ(e4, (u32)file_error_delete);
  u32 e5 = 0;
  EXPECT_FALSE(file_close(platform_file_invalid, &e5));
  EXPECT_EQ(e5, (u32)file_error_close_invalid);
  u32 e6 = 0;
  EXPECT_EQ(file_size_of_handle(platform_file_invalid, &e6), 0u);
  EXPECT_EQ(e6, (u32)file_error_invalid_handle);
}

TEST_F(files, a_set_word_stops_every_operation_before_it_touches_the_system) {
  u32 e = file_error_seek;
  EXPECT_EQ(file_write_all(str(at("new")), "x", 1, 1, &e), 0u);
  EXPECT_EQ(dir_create(str(at("dir")), &e), 0u);
  EXPECT_EQ(e, (u32)file_error_seek);
  u32 probe = 0;
  EXPECT_EQ(file_exists(str(at("new")), &probe), 0u);
  EXPECT_EQ(dir_exists(str(at("dir")), &probe), 0u);
}

TEST_F(files, overwrite_rules_of_creation) {
  put("f", "first content");
  u32 e = 0;
  EXPECT_EQ(file_write_all(str(at("f")), "x", 1, 0, &e), 0u);
  EXPECT_EQ(e, (u32)file_error_open);
  e = 0;
  buffer b = file_read_all(str(at("f")), 0, &e);
  EXPECT_EQ(text(b), "first content");
  file_content_free(&b);
  EXPECT_EQ(b.data, nullptr);

  // Replacing truncates: no tail of the longer old content survives.
  EXPECT_EQ(file_write_all(str(at("f")), "short", 5, 1, &e), 5u);
  b = file_read_all(str(at("f")), 0, &e);
  EXPECT_EQ(e, 0u);
  EXPECT_EQ(text(b), "short");
  file_content_free(&b);

  EXPECT_EQ(file_write_all(str(at("g")), "new", 3, 0, &e), 3u);
  EXPECT_EQ(file_size(str(at("g")), &e), 3u);
  EXPECT_EQ(e, 0u);
  EXPECT_TRUE(file_delete(str(at("g")), &e));
  EXPECT_EQ(file_exists(str(at("g")), &e), 0u);
}

TEST_F(files, read_all_of_empty_and_full_files_with_extra_bytes) {
  put("empty", "");
  u32 e = 0;
  buffer b = file_read_all(str(at("empty")), 0, &e);
  EXPECT_EQ(e, 0u);
  EXPECT_EQ(b.size, 0u);
  EXPECT_EQ(b.used, 0u);
  b = file_read_all(str(at("empty")), 1, &e);
  EXPECT_EQ(e, 0u);
  EXPECT_EQ(b.size, 1u);
  EXPECT_EQ(b.used, 0u);
  ASSERT_NE(b.data, nullptr);
  EXPECT_EQ(b.data[0], 0);
  file_content_free(&b);

  std::mt19937 rng(7);
  for (u64 size : {1ull, 4095ull, 4096ull, 4097ull, 100000ull}) {
    std::string content(size, 0);
    for (char &c : content) c = (char)rng();
    put("data", content);
    for (u64 extra : {0ull, 1ull, 5000ull}) {
      buffer r = file_read_all(str(at("data")), extra, &e);
      ASSERT_EQ(e, 0u);
      EXPECT_EQ(r.size, size + extra);
      EXPECT_EQ(r.used, size);
      EXPECT_EQ(text(r), content);
      for (u64 i = size; i < size + extra; i++) ASSERT_EQ(r.data[i], 0) << i;
      file_content_free(&r);
    }
  }
}

// Reused memory: each file lands at the reservation's start, the committed part grows only when
// a file needs more and never shrinks here; whatever fails leaves the reservation as it was.
TEST_F(files, read_all_into_a_reservation_grows_its_committed_start_as_needed) {
  const u64 page = 4096, limit = 5 * page;
  arena reused;
  ASSERT_TRUE(arena_reserve(&reused, 4 * page, 0, page, "files test", arena_flag_quiet));
  arena_set_limit(&reused, 4 * page);  // the reservation is rounded up; only this much may be used
  const buffer &reservation = reused.memory;
  u64 committed = 0;
  for (u64 n : std::vector<u64>{0, 1, page - 1, page, page + 1, 3 * page, 10, 4 * page, 4 * page + 1, limit + 1}) {
    std::string bytes(n, 0);
    for (u64 i = 0; i < n; i++) bytes[i] = (char)('a' + (i * 31 + n) % 26);
    put("f", bytes);
    u32 e = 0;
    buffer b = file_read_all_into(str(at("f")), limit, &reused, &e);
    if (n > limit) {
      EXPECT_EQ(e, (u32)file_error_too_large) << n;
    } else if (n > reused.limit) {
      EXPECT_EQ(e, (u32)file_error_out_of_memory) << n;
    } else {
      EXPECT_EQ(e, 0u) << n;
      EXPECT_EQ(b.data, reservation.data) << n;
      EXPECT_EQ(b.used, n);
      EXPECT_TRUE(text(b) == bytes) << n;
      committed = std::max(committed, (n + page - 1) / page * page);
    }
    if (e) EXPECT_EQ(b.data, nullptr) << n;
    EXPECT_EQ(reservation.used, committed) << n;
  }
  u32 e = 0;
  EXPECT_EQ(file_read_all_into(str(at("missing")), limit, &reused, &e).data, nullptr);
  EXPECT_EQ(e, (u32)file_error_open);
  EXPECT_EQ(reservation.used, committed);
  arena_release(&reused);
}

TEST_F(files, reads_past_the_end_and_writes_at_offsets) {
  put("f", "0123456789");
  u32 e = 0;
  platform_file h = file_open(str(at("f")), 0, 0, &e);
  char out[16] = {};
  EXPECT_EQ(file_read_at(h, 4, 3, out, &e), 3u);
  EXPECT_EQ(std::string(out, 3), "456");
  EXPECT_EQ(file_size_of_handle(h, &e), 10u);
  // The system returns 0 bytes at the end of the file before the count is reached.
  EXPECT_EQ(file_read_at(h, 8, 5, out, &e), 2u);
  EXPECT_EQ(e, (u32)file_error_read_zero);
  EXPECT_TRUE(file_close(h, &e));

  e = 0;
  h = file_open(str(at("w")), 1, 0, &e);
  EXPECT_EQ(file_write_at(h, 3, 2, "ab", &e), 2u);
  EXPECT_EQ(file_write_at(h, 0, 1, "z", &e), 1u);
  u64 big = (u64)INT64_MAX + 1;
  EXPECT_EQ(file_write_at(h, big, 1, "q", &e), 0u);
  EXPECT_EQ(e, (u32)file_error_seek);
  file_close(h, &e);
  e = 0;
  buffer b = file_read_all(str(at("w")), 0, &e);
  EXPECT_EQ(text(b), std::string("z\0\0ab", 5));
  file_content_free(&b);
}

TEST_F(files, a_write_that_moves_no_bytes_ends_as_a_short_write) {
  u32 e = 0;
  platform_file h = file_open(str(at("w")), 1, 1, &e);
  fake_zero_writes = true;
  u64 written = file_write_at(h, 0, 10, "0123456789", &e);
  fake_zero_writes = false;
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(e, (u32)file_error_short_write);
  file_close(h, &e);
}

// Written bytes may be refused only when the file is closed; the write has failed then.
TEST_F(files, a_close_that_reports_an_error_fails_the_whole_file_write) {
  u32 e = 0;
  fake_close_errors = true;
  u64 written = file_write_all(str(at("w")), "0123456789", 10, 1, &e);
  fake_close_errors = false;
  EXPECT_EQ(written, 10u);
  EXPECT_EQ(e, (u32)file_error_write);
  // The first error of a sequence stays the one reported.
  e = file_error_seek;
  fake_close_errors = true;
  file_write_all(str(at("w")), "x", 1, 1, &e);
  fake_close_errors = false;
  EXPECT_EQ(e, (u32)file_error_seek);
  // Reading does not depend on the close.
  e = 0;
  fake_close_errors = true;
  buffer b = file_read_all(str(at("w")), 0, &e);
  fake_close_errors = false;
  EXPECT_EQ(e, 0u);
  EXPECT_EQ(text(b), "0123456789");
  file_content_free(&b);
}

TEST_F(files, a_directory_is_not_a_file_and_a_file_is_not_a_directory) {
  folder("d");
  put("f", "x");
  u32 e = 0;
  EXPECT_EQ(file_exists(str(at("d")), &e), 0u);
  EXPECT_EQ(dir_exists(str(at("d")), &e), 1u);
  EXPECT_EQ(file_exists(str(at("f")), &e), 1u);
  EXPECT_EQ(dir_exists(str(at("f")), &e), 0u);
  EXPECT_EQ(file_exists(str(at("none")), &e), 0u);
  EXPECT_EQ(dir_exists(str(at("none")), &e), 0u);
  EXPECT_EQ(e, 0u);

  // A directory cannot be opened or read as a file.
  buffer b = file_read_all(str(at("d")), 0, &e);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(e, (u32)file_error_open);

  e = 0;
  EXPECT_EQ(dir_create(str(at("d")), &e), 1u);
  EXPECT_EQ(e, 0u);
  EXPECT_EQ(dir_create(str(at("new")), &e), 1u);
  EXPECT_EQ(dir_exists(str(at("new")), &e), 1u);
  // A file of that name is not the directory asked for.
  EXPECT_EQ(dir_create(str(at("f")), &e), 0u);
  EXPECT_EQ(e, (u32)file_error_dir_create);
  e = 0;
  EXPECT_EQ(dir_create(str(at("no/parent")), &e), 0u);
  EXPECT_EQ(e, (u32)file_error_dir_create);
}

// A named pipe with no one at the other end would block an open forever; such a path must fail
// at once like any other that names no readable file. The alarm turns a hang into a failure.
TEST_F(files, a_named_pipe_neither_blocks_nor_reads_as_an_empty_file) {
  std::string path = at("pipe");
  ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
  buffer p = str(path);
  alarm(60);
  u32 e = 0;
  EXPECT_FALSE(file_handle_is_valid(file_open(p, 0, 0, &e)));
  EXPECT_EQ(e, (u32)file_error_open);
  e = 0;
  buffer b = file_read_all(p, 1, &e);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(e, (u32)file_error_open);
  e = 0;
  EXPECT_EQ(file_size(p, &e), 0u);
  EXPECT_EQ(e, (u32)file_error_open);
  e = 0;
  EXPECT_EQ(file_write_all(p, "x", 1, 1, &e), 0u);
  EXPECT_EQ(e, (u32)file_error_open);
  alarm(0);
  e = 0;
  EXPECT_EQ(file_exists(p, &e), 1u);  // it is there, just not a file to read
}

TEST_F(files, paths_that_do_not_fit_the_area_or_hold_a_zero_fail_without_a_system_call) {
  put("f", "x");
  std::string with_zero = at("f") + std::string("\0tail", 5);
  std::string longest(FILE_PATH_AREA_SIZE - 1, 'a');  // with its terminator it just fits
  std::string too_long(FILE_PATH_AREA_SIZE, 'a');
  std::vector<std::pair<std::string, u32>> cases = {
      {with_zero, file_error_path}, {too_long, file_error_path}, {longest, file_error_open}};
  for (auto &[path, expected] : cases) {
    buffer p = str(path);
    u32 e = 0;
    file_open(p, 0, 0, &e);
    EXPECT_EQ(e, expected);
    e = 0;
    file_size(p, &e);
    EXPECT_EQ(e, expected);
    e = 0;
    file_read_all(p, 0, &e);
    EXPECT_EQ(e, expected);
    if (expected != file_error_path) continue;
    e = 0;
    file_write_all(p, "x", 1, 1, &e);
    EXPECT_EQ(e, expected);
    e = 0;
    file_delete(p, &e);
    EXPECT_EQ(e, expected);
    e = 0;
    dir_create(p, &e);
    EXPECT_EQ(e, expected);
    e = 0;
    file_exists(p, &e);
    EXPECT_EQ(e, expected);
    e = 0;
    dir_exists(p, &e);
    EXPECT_EQ(e, expected);
  }
  u32 e = 0;
  EXPECT_EQ(file_exists(str(at("f")), &e), 1u);  // the zero did not cut the path to "f"
}

TEST(file_error, every_code_has_a_printable_name) {
  EXPECT_STREQ(file_error_name(file_error_open), "file_error_open");
  EXPECT_STREQ(file_error_name(file_error_path), "file_error_path");
  EXPECT_STREQ(file_error_name(9), "file_error_unknown");
  EXPECT_STREQ(file_error_name(1000), "file_error_unknown");
}

TEST(path_text, extensions_and_comma_lists) {
  auto ext = [](const char *p) { return text(path_extension((const u8 *)p, strlen(p))); };
  auto stem = [](const char *p) { return text(path_without_extension((const u8 *)p, strlen(p))); };
  EXPECT_EQ(ext("a.b/c"), "");
  EXPECT_EQ(path_extension((const u8 *)"a.b/c", 5).data, nullptr);
  EXPECT_EQ(ext("archive.tar.gz"), "gz");
  EXPECT_EQ(ext("dir/name."), "");
  EXPECT_NE(path_extension((const u8 *)"name.", 5).data, nullptr);
  EXPECT_EQ(ext("noext"), "");
  EXPECT_EQ(stem("archive.tar.gz"), "archive.tar");
  EXPECT_EQ(stem("a.b/c"), "a");
  EXPECT_EQ(stem("plain"), "plain");

  buffer items[64];
  u32 n = string_split_commas(string_lit(" bin, txt ,,x y"), items, 64);
  ASSERT_EQ(n, 4u);
  EXPECT_EQ(text(items[0]), "bin");
  EXPECT_EQ(text(items[1]), "txt");
  EXPECT_EQ(text(items[2]), "x");
  EXPECT_EQ(text(items[3]), "y");
  EXPECT_EQ(string_split_commas(string_lit("a,b,c"), items, 2), 2u);
  EXPECT_EQ(string_split_commas(string_lit(" , ,\t"), items, 64), 0u);
}

TEST(file_time, unix_times_map_to_hundred_nanoseconds_since_1601) {
  EXPECT_EQ(file_time_from_unix(0, 0), 116444736000000000ull);
  EXPECT_EQ(file_time_from_unix(1618664709, 123456789), (1618664709ull + 11644473600ull) * 10000000ull + 1234567);
  EXPECT_EQ(file_time_from_unix(-11644473600ll, 0), 0u);
  EXPECT_EQ(file_time_from_unix(-11644473601ll, 0), 0u);
}

// ---- Listing -----------------------------------------------------------------------------

struct listing {
  alignas(8) u8 storage[1 << 16];
  buffer arena = buffer_make(sizeof(storage), 0, storage);
  dir_list list = {};
  explicit listing(u32 capacity) { list = dir_list_make(&arena, capacity); }
  std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (u32 i = 0; i < list.count; i++) out.push_back(std::string((const char *)list.path[i], list.path_length[i]));
    return out;
  }
};

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class listing_tree : public files {
 protected:
  void SetUp() override {
    files::SetUp();
    put("a.bin", "aaaa");
    put("b.BIN", "b");
    put("c.txt", "c");
    put("noext", "");
    put("d.tar.bin", "dd");
    folder("sub1");
    put("sub1/x.bin", "x");
    folder("sub1/deep");
    put("sub1/deep/y.bin", "yy");
    folder("sub2");
    folder("skip");
    put("skip/z.bin", "z");
  }
  std::vector<std::string> list(const char *ext, const char *excl, u32 flags, u32 capacity = 64,
                                u32 *result = nullptr) {
    listing l(capacity);
    u32 r = dir_list_files(&l.list, str(root), buffer{ext ? strlen(ext) : 0, ext ? strlen(ext) : 0, (u8 *)ext},
                           buffer{excl ? strlen(excl) : 0, excl ? strlen(excl) : 0, (u8 *)excl}, flags);
    if (result) *result = r;
    std::vector<std::string> out;
    for (std::string p : l.paths()) out.push_back(p.substr(root.size()));
    return out;
  }
};

TEST_F(listing_tree, extensions_match_the_last_extension_exactly) {
  EXPECT_EQ(sorted(list("bin", nullptr, dir_list_include_files)),
            (std::vector<std::string>{"/a.bin", "/d.tar.bin"}));
  EXPECT_EQ(sorted(list("txt, bin", nullptr, dir_list_include_files)),
            (std::vector<std::string>{"/a.bin", "/c.txt", "/d.tar.bin"}));
  EXPECT_EQ(sorted(list(nullptr, nullptr, dir_list_include_files)),
            (std::vector<std::string>{"/a.bin", "/b.BIN", "/c.txt", "/d.tar.bin", "/noext"}));
  EXPECT_EQ(sorted(list("bin", "a.bin", dir_list_include_files | dir_list_recurse)),
            (std::vector<std::string>{"/d.tar.bin", "/skip/z.bin", "/sub1/deep/y.bin", "/sub1/x.bin"}));
}

TEST_F(listing_tree, exclusions_are_neither_listed_nor_descended) {
  EXPECT_EQ(sorted(list(nullptr, "skip, deep", dir_list_include_all | dir_list_recurse)),
            (std::vector<std::string>{"/a.bin", "/b.BIN", "/c.txt", "/d.tar.bin", "/noext", "/sub1",
                                      "/sub1/x.bin", "/sub2"}));
  EXPECT_EQ(sorted(list(nullptr, nullptr, dir_list_include_directories | dir_list_recurse)),
            (std::vector<std::string>{"/skip", "/sub1", "/sub1/deep", "/sub2"}));
  // No kind named means both kinds.
  EXPECT_EQ(list(nullptr, nullptr, dir_list_recurse).size(), 12u);
}

TEST_F(listing_tree, dot_entries_only_on_request_and_never_walked) {
  std::vector<std::string> v = sorted(list(nullptr, nullptr, dir_list_include_directories | dir_list_include_dots | dir_list_recurse));
  EXPECT_EQ(v, (std::vector<std::string>{"/.", "/..", "/skip", "/skip/.", "/skip/..", "/sub1", "/sub1/.",
                                         "/sub1/..", "/sub1/deep", "/sub1/deep/.", "/sub1/deep/..", "/sub2",
                                         "/sub2/.", "/sub2/.."}));
}

TEST_F(listing_tree, entries_of_a_directory_follow_its_own_entry) {
  std::vector<std::string> v = list(nullptr, nullptr, dir_list_include_all | dir_list_recurse);
  ASSERT_EQ(v.size(), 12u);
  for (size_t i = 0; i < v.size(); i++) {
    std::string prefix = v[i] + "/";
    size_t j = i + 1;
    while (j < v.size() && v[j].compare(0, prefix.size(), prefix) == 0) j++;
    for (size_t k = j; k < v.size(); k++) EXPECT_NE(v[k].compare(0, prefix.size(), prefix), 0) << v[k];
  }
}

TEST_F(listing_tree, every_capacity_gives_a_prefix_of_the_whole_listing) {
  for (u32 flags : {(u32)dir_list_recurse, (u32)(dir_list_recurse | dir_list_deepest_directories)}) {
    std::vector<std::string> whole = list(nullptr, nullptr, flags, 64);
    for (u32 c = 0; c <= whole.size() + 1; c++) {
      u32 whole_walk = 0;
      std::vector<std::string> part = list(nullptr, nullptr, flags, c, &whole_walk);
      if (flags & dir_list_deepest_directories) {
        // A capacity stop may keep a directory whose subdirectories did not get in.
        EXPECT_LE(part.size(), c);
        continue;
      }
      ASSERT_EQ(part.size(), std::min<size_t>(c, whole.size())) << c;
      // A list too small for everything says so; one just large enough is whole.
      EXPECT_EQ(whole_walk, c >= whole.size() ? 1u : 0u) << c;
      EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin())) << c;
    }
  }
}

TEST_F(listing_tree, deepest_directories_replace_their_parents) {
  EXPECT_EQ(sorted(list(nullptr, nullptr, dir_list_deepest_directories | dir_list_recurse)),
            (std::vector<std::string>{"/skip", "/sub1/deep", "/sub2"}));
}

TEST_F(files, deepest_directories_of_a_root_without_subdirectories_is_empty) {
  put("only_a_file", "x");
  listing l(4);
  u8 *names_before = l.arena.data + l.arena.used;
  EXPECT_EQ(dir_list_files(&l.list, str(root), buffer{}, buffer{}, dir_list_deepest_directories | dir_list_recurse), 1u);
  EXPECT_EQ(l.list.count, 0u);
  EXPECT_EQ(l.arena.data + l.arena.used, names_before);
  folder("one");
  EXPECT_EQ(dir_list_files(&l.list, str(root), buffer{}, buffer{}, dir_list_deepest_directories), 1u);
  EXPECT_EQ(l.paths(), (std::vector<std::string>{root + "/one"}));
}

TEST_F(listing_tree, sizes_kinds_and_times_come_with_each_entry) {
  struct timespec times[2] = {{1618664709, 500}, {1618664709, 500}};
  ASSERT_EQ(utimensat(AT_FDCWD, at("a.bin").c_str(), times, 0), 0);
  listing l(64);
  dir_list_files(&l.list, str(root + "/"), buffer{}, buffer{}, dir_list_include_all);
  bool seen = false;
  for (u32 i = 0; i < l.list.count; i++) {
    std::string p((const char *)l.list.path[i], l.list.path_length[i]);
    if (p == root + "/a.bin") {
      seen = true;
      EXPECT_EQ(l.list.size[i], 4u);
      EXPECT_EQ(l.list.is_directory[i], 0);
      EXPECT_EQ(l.list.last_write[i], file_time_from_unix(1618664709, 500));
    }
    if (p == root + "/sub1") {
      EXPECT_EQ(l.list.is_directory[i], 1);
    }
  }
  EXPECT_TRUE(seen);  // the root's trailing '/' is not doubled in the paths
}

TEST_F(listing_tree, a_full_names_arena_stops_the_walk_cleanly) {
  alignas(8) u8 storage[512];
  buffer arena = buffer_make(sizeof(storage), 0, storage);
  dir_list l = dir_list_make(&arena, 8);
  ASSERT_EQ(l.capacity, 8u);
  // Room for about two paths.
  arena.size = arena.used + 2 * (root.size() + 8);
  EXPECT_EQ(dir_list_files(&l, str(root), buffer{}, buffer{}, dir_list_recurse), 0u);
  EXPECT_GE(l.count, 1u);
  EXPECT_LE(l.count, 2u);
  EXPECT_LE(arena.used, arena.size);
  u64 bytes = 0;
  for (u32 i = 0; i < l.count; i++) bytes += l.path_length[i];
  EXPECT_EQ(arena.used - l.names_start, bytes);
}

TEST(dir_list, make_is_all_or_nothing) {
  alignas(8) u8 storage[256];
  buffer arena = buffer_make(sizeof(storage), 3, storage);
  dir_list l = dir_list_make(&arena, 100);
  EXPECT_EQ(l.capacity, 0u);
  EXPECT_EQ(l.names, nullptr);
  EXPECT_EQ(arena.used, 3u);
  l = dir_list_make(&arena, 7);
  EXPECT_EQ(l.capacity, 7u);
  EXPECT_EQ(l.names, &arena);
  EXPECT_EQ(l.names_start, arena.used);
  EXPECT_EQ((uintptr_t)l.last_write % 8, 0u);
}

TEST_F(files, paths_beyond_the_area_are_skipped_and_reported) {
  // A chain of folders whose full path passes the path area, made through descriptors.
  std::string name(200, 'n');
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  for (int depth = 0; depth < 30; depth++) {
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0777), 0);
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  close(fd);
  listing l(1000);
  EXPECT_EQ(dir_list_files(&l.list, str(root), buffer{}, buffer{}, dir_list_recurse), 0u);
  EXPECT_GT(l.list.count, 10u);
  EXPECT_LT(l.list.count, 30u);
  for (u32 i = 0; i < l.list.count; i++) EXPECT_LT(l.list.path_length[i], FILE_PATH_AREA_SIZE + 256);

  std::string long_root = root + "/" + std::string(FILE_PATH_AREA_SIZE, 'r');
  EXPECT_EQ(dir_list_files(&l.list, str(long_root), buffer{}, buffer{}, dir_list_recurse), 0u);
  std::string zero_root = root + std::string("\0x", 2);
  EXPECT_EQ(dir_list_files(&l.list, str(zero_root), buffer{}, buffer{}, dir_list_recurse), 0u);
  // A folder that cannot be opened yields nothing and is no failure.
  u32 before = l.list.count;
  EXPECT_EQ(dir_list_files(&l.list, str(at("absent")), buffer{}, buffer{}, dir_list_recurse), 1u);
  EXPECT_EQ(l.list.count, before);
}

TEST(dir_list, sort_matches_a_model_and_moves_whole_entries) {
  std::mt19937_64 rng(3);
  for (u32 round = 0; round < 300; round++) {
    u32 n = (u32)(rng() % 70);
    u64 range = round % 3 == 0 ? 3 : round % 3 == 1 ? 1000 : UINT64_MAX;
    alignas(8) static u8 storage[1 << 14];
    buffer arena = buffer_make(sizeof(storage), 0, storage);
    dir_list l = dir_list_make(&arena, 70);
    std::vector<u64> keys(n);
    std::vector<std::pair<u64, u64>> model;
    for (u32 i = 0; i < n; i++) {
      keys[i] = round % 7 == 0 ? i : rng() % range;  // some rounds already sorted
      l.path[i] = storage + i;
      l.size[i] = i;
      l.path_length[i] = (u16)i;
      l.is_directory[i] = (u8)(i & 1);
      l.last_write[i] = i * 3;
      model.push_back({keys[i], i});
    }
    l.count = n;
    std::vector<u64> original = keys;
    dir_list_sort(&l, keys.data());
    std::sort(model.begin(), model.end());
    for (u32 i = 0; i < n; i++) {
      ASSERT_EQ(keys[i], model[i].first);
      u64 from = l.size[i];
      ASSERT_EQ(original[from], keys[i]);
      EXPECT_EQ(l.path[i], storage + from);
      EXPECT_EQ(l.path_length[i], from);
      EXPECT_EQ(l.is_directory[i], from & 1);
      EXPECT_EQ(l.last_write[i], from * 3);
    }
  }
}

}  // namespace
