// The check at the end of each test program: no child process of it is left. Beside the
// owned processes of process.cpp, which the benchmarks use too, without GoogleTest.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <string>

#include "tests/support/process.h"

namespace {

class children_check : public ::testing::Environment {
 public:
  void TearDown() override {
    for (const std::string &left : test_children_end())
      ADD_FAILURE() << "a child process of this test program was left behind (now ended): " << left;
  }
};

// Orphaned descendants come to this process, so the check sees them too.
const bool children_check_registered = [] {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  ::testing::AddGlobalTestEnvironment(new children_check);
  return true;
}();

}  // namespace
