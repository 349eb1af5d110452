// The clipboard through a real X server (a private Xvfb): round trips, the terminator, and text
// that is not UTF-8 refused without touching what the clipboard holds.
#include "platform/clipboard.h"
#include "tests/support/xvfb_server.h"

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <string>

extern "C" const char *__lsan_default_suppressions() { return QM_LSAN_SYSTEM_LIBRARY_SUPPRESSIONS; }

namespace {

struct clipboard_gui : ::testing::Test {
  xvfb_server server;
  void SetUp() override {
    ASSERT_TRUE(xvfb_start(&server));
    ASSERT_EQ(glfwInit(), GLFW_TRUE);
  }
  void TearDown() override {
    glfwTerminate();
    xvfb_stop(&server);
  }
};

TEST_F(clipboard_gui, text_round_trips_and_invalid_text_is_refused) {
  const std::string text = "caf\xC3\xA9 \xF0\x9F\x98\x80 line\nnext";
  ASSERT_EQ(clipboard_set_text(string_from_bytes(text.data(), text.size())), 1u);
  u8 area[64];
  buffer out = buffer_make(sizeof(area), 3, area);
  buffer view = clipboard_get_text(&out, true);
  EXPECT_EQ(std::string((const char *)view.data, view.used), text);
  EXPECT_EQ(view.size, text.size() + 1);
  EXPECT_EQ(view.data, area + 3);
  EXPECT_EQ(out.used, 3 + text.size() + 1);
  EXPECT_EQ(area[3 + text.size()], 0);

  // A full buffer with a terminator asked for: nothing written, nothing counted.
  buffer full = buffer_make(8, 8, area);
  EXPECT_EQ(clipboard_get_text(&full, true).data, nullptr);
  EXPECT_EQ(full.used, 8u);

  EXPECT_EQ(clipboard_set_text(string_lit("bad \xFF")), 0u);
  EXPECT_EQ(clipboard_set_text(string_from_bytes("a\0b", 3)), 0u);
  out = buffer_make(sizeof(area), 0, area);
  view = clipboard_get_text(&out, false);
  EXPECT_EQ(std::string((const char *)view.data, view.used), text);

  ASSERT_EQ(clipboard_set_text(string_lit("")), 1u);
  out = buffer_make(sizeof(area), 0, area);
  view = clipboard_get_text(&out, true);
  EXPECT_EQ(view.used, 0u);
}

}  // namespace
