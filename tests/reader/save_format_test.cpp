// The file format does not move: stores written by the program before the writer wrote in pieces
// give the same bytes now, through memory and through a file, and those files load back to
// stores that write them again unchanged.
#include "tests/reader/save_format_stores.h"
#include "tests/support/test_store.h"

namespace {

class SaveFormatFiles : public SaveFormat {
 protected:
  static std::string kept(const std::string &name) { return read_file(std::string(QM_TEST_DATA) + "/saves/" + name); }
  // The image through the file writer, and through memory; both must be the same bytes.
  std::string written() {
    std::string path = folder + "/feed_data_20240101_000000.bin";
    u32 error = 0;
    reader_write(&r, text_of(path), &error);
    EXPECT_EQ(error, 0u);
    std::string file = read_file(path);
    EXPECT_EQ(file, image_of(&r));
    return file;
  }
  // The kept file loads, from the file and from memory, into a store that writes it again.
  void expect_loads_back(const std::string &bytes) {
    std::string path = folder + "/feed_data_20230101_000000.bin";
    write_file(path, bytes);
    test_store from_file, from_memory;
    u32 error = 0;
    ASSERT_TRUE(reader_read(&from_file.r, text_of(path), &error));
    EXPECT_EQ(error, 0u);
    ASSERT_TRUE(reader_read_bytes(&from_memory.r, (const u8 *)bytes.data(), bytes.size()));
    EXPECT_EQ(image_of(&from_file.r), bytes);
    EXPECT_EQ(image_of(&from_memory.r), bytes);
    EXPECT_EQ(reader_check(&from_file.r), 0u);
  }
};

TEST_F(SaveFormatFiles, a_store_of_every_kind_of_record_writes_the_bytes_it_always_did) {
  build_rich();
  std::string old = kept("rich.bin");
  ASSERT_EQ(old.size(), 11553u);
  EXPECT_TRUE(written() == old);
  expect_loads_back(old);
}

TEST_F(SaveFormatFiles, sequences_across_the_ends_of_texts_give_the_code_points_they_always_did) {
  build_boundaries();
  std::string old = kept("boundaries.bin");
  ASSERT_EQ(old.size(), 4788u);
  EXPECT_TRUE(written() == old);
  expect_loads_back(old);
}

// Too large to keep: its size and hash, taken from the file the earlier writer wrote.
TEST_F(SaveFormatFiles, a_store_larger_than_the_writers_pieces_writes_the_bytes_it_always_did) {
  build_large();
  std::string now = written();
  EXPECT_EQ(now.size(), 16119420u);
  EXPECT_EQ(hash_fnv1a_64(now.data(), now.size()), 0x85f1b26f76d87c22ull);
  {
    test_store loaded;
    ASSERT_TRUE(reader_read_bytes(&loaded.r, (const u8 *)now.data(), now.size()));
    EXPECT_TRUE(image_of(&loaded.r) == now);
  }
}

}  // namespace
