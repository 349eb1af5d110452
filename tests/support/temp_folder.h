// A fresh folder under /tmp for one test, removed with everything in it when the test leaves its
// scope, a failed ASSERT included.
#pragma once

#include <stdlib.h>

#include <string>

#include "tests/support/process.h"

struct test_temp_folder {
  std::string path;
  // The folder is /tmp/<prefix>_XXXXXX; path stays empty when it could not be made.
  explicit test_temp_folder(const std::string &prefix) {
    std::string pattern = "/tmp/" + prefix + "_XXXXXX";
    if (mkdtemp(pattern.data())) path = pattern;
  }
  ~test_temp_folder() {
    if (!path.empty()) test_run({"rm", "-rf", path.c_str()});
  }
  test_temp_folder(const test_temp_folder &) = delete;
  test_temp_folder &operator=(const test_temp_folder &) = delete;
};
