// What a program under test left in a file (its log, its standard error, a record, a dump), read
// back whole by the test that checks it.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

// The file's bytes; empty when it is missing or cannot be read.
inline std::string test_file_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
