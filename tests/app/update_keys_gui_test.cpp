// The real program updating many feeds from a local server while keys are tapped, each press and
// its release sent at once as a quick typist's are: while the frames are busy parsing the
// documents that keep arriving, both reach the program within one frame, and each tap must still
// act (C writes the UI trees, Down selects the first entry).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <atomic>
#include <string>

#include "reader/save.h"
#include "tests/support/gui_program.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_store.h"

#ifdef QM_QUILLMERE_BINARY

namespace {

buffer text_of(const std::string &s) { return string_from_bytes(s.data(), s.size()); }

// A feed of a hundred items with a paragraph each: parsing it keeps a frame busy for a while.
std::string feed_document(const std::string &name) {
  std::string d = "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>Feed " + name +
                  "</title><link>http://example.org/" + name + "</link><description>d</description>";
  for (int i = 0; i < 100; i++) {
    std::string n = std::to_string(i);
    d += "<item><title>Item " + n + " of " + name + "</title><link>http://example.org/" + name + "/" + n +
         "</link><guid>" + name + "-" + n + "</guid><pubDate>Mon, 01 Jan 2024 " + std::to_string(10 + i / 60) + ":" +
         std::to_string(10 + i % 50) + ":00 GMT</pubDate><description>&lt;p&gt;";
    for (int k = 0; k < 8; k++) d += "Some words of the item's text, to give the parser a paragraph. ";
    d += "&lt;/p&gt;</description></item>";
  }
  return d + "</channel></rss>";
}

// The add page, the start page, has the URL box's "Add" button with the small id 5.
bool on_add_page(const ui_dump &d) { return ui_dump_find(d, "", 5, "right panel") != nullptr; }

// Whether the list shows any line yet: the update has parsed a feed.
bool list_has_lines(const ui_dump &d) {
  size_t at = 0;
  return ui_dump_find(d, "list", 0, "left_panel", &at) && at + 1 < d.size() && d[at + 1].depth > d[at].depth;
}

TEST(UpdateKeysGui, keys_tapped_during_an_update_of_many_feeds_all_act) {
  const int feeds = 300;
  // The last feed is answered once the keys are done, so the update is still under way for all
  // of them; the others as soon as they are asked for.
  std::atomic<bool> keys_done{false};
  const std::string last = "/f/" + std::to_string(feeds - 1);
  test_http_server server([&](test_http_connection &c, const std::string &path) {
    if (path == last) test_wait_until([&] { return keys_done.load() || c.stopped(); });
    c.send_response(200, feed_document(path.substr(3)));
  });

  test_temp_folder folder("qm_update_keys");
  ASSERT_FALSE(folder.path.empty());
  std::string data = folder.path + "/data";
  {
    test_store seed;
    ASSERT_TRUE(seed.ok);
    for (int i = 0; i < feeds; i++) {
      feed *f = reader_new_feed(&seed.r, feed_type_rss);
      ASSERT_TRUE(f);
      f->url = reader_add_string(&seed.r, text_of(server.url("/f/" + std::to_string(i))));
      reader_feed_url_changed(&seed.r, f);
      reader_new_meta(&seed.r, f->id);
    }
    ASSERT_TRUE(reader_save(&seed.r, text_of(data)));
  }

  gui_program gui;
  ASSERT_TRUE(gui.start({QM_QUILLMERE_BINARY, "-path", data.c_str()}, folder.path)) << "the window never answered";
  ASSERT_TRUE(on_add_page(gui.dump()));
  gui.tap("F5");
  // Documents are arriving: from here on the frames parse them while the keys come.
  ASSERT_TRUE(test_wait_until([&] { return server.requests() >= 12; })) << "the update never began";

  // Each tap of C is answered with its own dump, until one shows a parsed feed in the list.
  ui_dump d;
  int taps = 0;
  bool lost = false;
  ASSERT_TRUE(test_wait_until([&] {
    d = gui.tap_dump();
    lost = d.empty();
    taps++;
    return lost || list_has_lines(d);
  })) << "no feed was listed";
  ASSERT_FALSE(lost) << "tap " << taps << " of C was never answered";
  // Down selects the first entry, whose page replaces the add page in the frame that takes it,
  // at the latest the one that answers the C tapped after it.
  gui.tap("Down");
  d = gui.tap_dump();
  ASSERT_FALSE(d.empty()) << "C tapped after Down was never answered";
  EXPECT_FALSE(on_add_page(d)) << "the tapped Down selected nothing";
  for (int k = 0; k < 5; k++) {
    ASSERT_FALSE(gui.tap_dump().empty()) << "tap " << taps + 1 + k << " of C was never answered";
  }
  keys_done = true;

  int status = 0;
  ASSERT_TRUE(gui.quit(&status)) << "still running a minute after the quit signal";
  EXPECT_TRUE(WIFEXITED(status));
}

}  // namespace

#endif
