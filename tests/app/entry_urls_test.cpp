// Relative image URLs in an entry's HTML: read against the entry's link and fetched from there.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>

#include "app/app.h"
#include "app/image_cache.h"
#include "gfx/image.h"
#include "platform/http.h"
#include "platform/threads.h"
#include "profiler/profiler.h"
#include "tests/app/app_test_support.h"
#include "tests/app/image_cache_support.h"
#include "tests/support/http_server.h"
#include "tests/ui/ui_test_support.h"

namespace {

thread_queue url_test_queue;
void no_wake() {}

class EntryUrls : public ::testing::Test {
 protected:
  std::mutex lock;
  std::set<std::string> paths;
  test_http_server server{[this](test_http_connection &c, const std::string &path) {
    {
      std::lock_guard<std::mutex> g(lock);
      paths.insert(path);
    }
    c.send_response(404, "");
  }};
  ui_fixture ui;
  app_test_fonts faces;  // an image is requested once drawn, and drawing needs text laid out
  view_state v = {};
  reader r = {};

  void SetUp() override {
    image_cache_test_begin(&url_test_queue, 1, no_wake);
    u32 error = 0;
    reader_init(&r, &error);
    ASSERT_EQ(error, 0u);
    view_state_init(&v, 1);
    ASSERT_TRUE(view_state_reserve_html(&v));
    ui_init_styles(ui.ctx.get());
    if (!faces.load()) GTEST_SKIP() << "no DejaVu faces on this system";
    ui.ctx->fonts = faces.fonts;
  }
  void TearDown() override {
    faces.release();
    image_cache_test_end(&url_test_queue);
    view_state_release_html(&v);
    reader_destroy(&r);
  }

  buffer str(const std::string &s) { return reader_copy_string(&r, string_from_bytes(s.data(), s.size())); }

  void draw(const std::string &html) {
    int err = 0;
    ui_parse_entry_html(&v, string_from_bytes(html.data(), html.size()), &err);
    ASSERT_EQ(err, 0);
    // An image is requested once it was drawn on screen: a frame shows it, the next asks for it.
    ui_context *ctx = ui.ctx.get();
    for (int frame = 0; frame < 2; frame++) {
      ui_begin_frame(ctx);
      ui_node *page = ui_node_create(ctx, 4, ui_size_pixels_make(600), ui_size_pixels_make(800), ui_node_flag_stack_y);
      ui_parent_push(ctx, page);
      v.html_traversal_memory.used = 0;
      html_tree_traversal t = {};
      hp_tree_traversal_init(&t, &v.html_traversal_memory, v.html_tree.nodes, v.html_tree.node_count, &err);
      ASSERT_EQ(err, 0);
      ui_html(&r, &v, ctx, &t, page);
      ui_parent_pop(ctx);
      ui_render(ctx, rect{0, 0, 600, 800});
    }
  }

  std::set<std::string> slot_urls() {
    std::set<std::string> out;
    for (image_slot &s : image_slots)
      if (s.url.data) out.insert(std::string((const char *)s.url.data, s.url.used));
    return out;
  }
};

TEST_F(EntryUrls, relative_images_are_fetched_from_the_entry_address) {
  feed *f = reader_new_feed(&r, feed_type_rss);
  ASSERT_NE(f, nullptr);
  f->url = str(server.url("/feeds/rss.xml"));
  f->rss.link = str("/blog/");
  entry *e = reader_new_entry(&r);
  ASSERT_NE(e, nullptr);
  e->type = feed_type_rss;
  reader_attach_entry(&r, f, e);
  v.selected_feed = f;
  v.selected_entry = e;
  std::string host = server.url("/");
  host.pop_back();  // "http://127.0.0.1:port"
  std::string scheme_relative = "//" + host.substr(7) + "/cdn/c.png";

  draw("<p>x</p><img src=\"/img/a.png\"><img src=\"b.png\"><img src=\"" + scheme_relative +
       "\"><img src=\" ../up.png \"><img src=\"" + host + "/abs.png\">");
  thread_complete_queue(&url_test_queue);
  EXPECT_EQ(slot_urls(), (std::set<std::string>{host + "/img/a.png", host + "/blog/b.png", host + "/cdn/c.png",
                                                 host + "/up.png", host + "/abs.png"}));
  EXPECT_EQ(paths, (std::set<std::string>{"/img/a.png", "/blog/b.png", "/cdn/c.png", "/up.png", "/abs.png"}));

  // With a link of its own the entry is the base.
  e->rss.link = str(host + "/blog/2024/post.html");
  draw("<img src=\"img/d.png\">");
  thread_complete_queue(&url_test_queue);
  EXPECT_EQ(slot_urls().count(host + "/blog/2024/img/d.png"), 1u);
}

}  // namespace
