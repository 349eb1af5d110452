// The HTML display: sample entry HTML parsed into the view state and walked into UI nodes in a
// context without a display; what each flow holds, links sharing one id, blocks for images,
// videos and frames, raw text after a failed parse, and very deep HTML.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "profiler/profiler.h"
#include "tests/ui/ui_test_support.h"

namespace {

std::string text_of(buffer b) { return std::string((const char *)b.data, b.used); }

class HtmlDisplay : public ::testing::Test {
 protected:
  ui_fixture ui;
  view_state v = {};
  ui_node *page = nullptr;

  void SetUp() override {
    profiler_install_disabled();
    allocator_init(&app_allocator, MiB(4), MiB(1), 128);
    view_state_init(&v, 1);
    ASSERT_TRUE(view_state_reserve_html(&v));
    ui_init_styles(ui.ctx.get());
  }
  void TearDown() override {
    view_state_release_html(&v);
    allocator_destroy(&app_allocator);
  }

  int parse(const std::string &html) {
    int err = 0;
    ui_parse_entry_html(&v, string_from_bytes(html.data(), html.size()), &err);
    return err;
  }

  // One frame that draws the parsed tree; the tree is built, not laid out.
  void draw(const std::string &html) {
    html_copy = html;
    ASSERT_EQ(parse(html_copy), 0) << html;
    ASSERT_GT(v.html_tree.node_count, 0u);
    ui_context *ctx = ui.ctx.get();
    ui_begin_frame(ctx);
    page = ui_node_create(ctx, 4, ui_size_pixels_make(600), ui_size_pixels_make(800), ui_node_flag_stack_y);
    ui_parent_push(ctx, page);
    int err = 0;
    v.html_traversal_memory.used = 0;
    html_tree_traversal t = {};
    hp_tree_traversal_init(&t, &v.html_traversal_memory, v.html_tree.nodes, v.html_tree.node_count, &err);
    ASSERT_EQ(err, 0);
    ui_html(nullptr, &v, ctx, &t, page);
    ui_parent_pop(ctx);
    // The blocks sit in one column under the page.
    ASSERT_TRUE(page->first_child && text_of(page->first_child->tag) == "html");
    page = page->first_child;
  }
  std::string html_copy;

  // Each flow as its pieces, a link's pieces written [text], a space node as "_<pixels>".
  std::vector<std::string> blocks() {
    std::vector<std::string> out;
    for (ui_node *n = page->first_child; n; n = n->next) {
      std::string tag = text_of(n->tag);
      if (tag == "flow") {
        std::string s;
        for (ui_node *run = n->first_child->first_child; run; run = run->next) {
          std::string piece = text_of(run->text);
          s += text_of(run->tag) == "link" ? "[" + piece + "]" : piece;
          s += "|";
        }
        out.push_back(s);
      } else if (n->size_y.kind == ui_size_kind_pixels && n->size_x.kind != ui_size_kind_pixels) {
        out.push_back("_" + std::to_string((int)n->size_y.value));
      } else {
        out.push_back("<" + tag + ">");
      }
    }
    return out;
  }
};

using B = std::vector<std::string>;

TEST_F(HtmlDisplay, text_links_and_an_image_between_paragraphs) {
  draw("<p>Hello <a href=\"https://x.example/\">big <b>bold</b> link</a> end</p>"
       "<img src=\"http://i.example/x.png\"><p>after</p>");
  EXPECT_EQ(blocks(), (B{"_5", "Hello |[big ]|[bold]|[ link]| end|", "_5", "_10",
                         "[img]|No alternate description.|Loading...|[/img]|", "_10", "_5", "after|", "_5"}));
  // Every piece of the link has the id of the href attribute.
  ui_id link_id = UI_ID_NONE;
  u32 pieces = 0;
  for (ui_node *run = page->first_child->next->first_child->first_child; run; run = run->next) {
    if (text_of(run->tag) != "link") continue;
    if (link_id == UI_ID_NONE) link_id = run->id;
    EXPECT_EQ(run->id, link_id);
    pieces++;
  }
  EXPECT_EQ(pieces, 3u);
  EXPECT_NE(link_id, UI_ID_NONE);
}

TEST_F(HtmlDisplay, breaks_raw_elements_headings_lists_and_pre) {
  draw("a<br>b<style>p{}</style><script>x()</script>");
  EXPECT_EQ(blocks(), (B{"_5", "a|", "_5", "_5", "b|", "_5"})) << "a break starts a new flow; no raw text";

  draw("<h2>Title</h2>text");
  B b = blocks();
  EXPECT_EQ(b, (B{"_10", "Title|", "_10", "_5", "text|", "_5"}));
  ui_node *heading = page->first_child->next;
  ui_node *body = heading->next->next->next;
  EXPECT_EQ(heading->first_child->first_child->font, 2u) << "a heading in the larger font";
  EXPECT_EQ(body->first_child->first_child->font, 1u) << "back to the text font";

  draw("<ul><li>one<ul><li>two <i>deep</i></li></ul></li></ul><pre>code\n  x</pre>");
  EXPECT_EQ(blocks(), (B{"_5", "one|", "_5", "_5", "two |deep|", "_5", "_5", "code\n  x|", "_5"}));

  // The end of a block ends its line as its start does; the space the markup leaves between two
  // blocks makes no line of its own.
  draw("<ul><li>in London, England.</li></ul><strong>To apply:</strong> write<p>a</p>\n<p>b</p><div>c</div> d");
  EXPECT_EQ(blocks(), (B{"_5", "in London, England.|", "_5", "_5", "To apply:| write|", "_5", "_5", "a|", "_5", "_5",
                         "b|", "_5", "_5", "c|", "_5", "_5", " d|", "_5"}));
}

TEST_F(HtmlDisplay, videos_frames_and_images_without_a_source) {
  draw("<a href=\"https://v.example/\"><video><source src=\"https://v.example/a.mp4\"><source></video></a>"
       "<iframe src=\"https://f.example/\"></iframe><iframe></iframe><img alt=\"lost\">");
  EXPECT_EQ(blocks(), (B{"_10",
                         "[video]|\nLinks to |[https://v.example/]|\n[source]|[https://v.example/a.mp4]|[/source]\n|"
                         "\n[source]|[/source]\n|[/video]|",
                         "_10", "_10", "[iframe]|[https://f.example/]|[/iframe]|", "_10", "_10", "[img]|lost|[/img]|",
                         "_10"}));
}

TEST_F(HtmlDisplay, malformed_html_leaves_no_tree_so_the_raw_text_shows) {
  EXPECT_NE(parse("<p title=\"x\"y>text</p>"), 0);
  EXPECT_EQ(v.html_tree.node_count, 0u);
  EXPECT_EQ(parse("<p>fine</p>"), 0) << "the next parse starts from an empty arena";
  EXPECT_GT(v.html_tree.node_count, 0u);
  EXPECT_EQ(parse("<p>unclosed <b>tags"), 0) << "the tree builder is lenient";
}

TEST_F(HtmlDisplay, very_deep_html_keeps_the_ui_tree_flat) {
  std::string html;
  for (int i = 0; i < 20000; i++) html += "<div><span>";
  html += "deep";
  for (int i = 0; i < 20000; i++) html += "</span></div>";
  draw(html);
  EXPECT_EQ(blocks(), (B{"_5", "deep|", "_5"}));
  EXPECT_EQ(ui.ctx->dropped_nodes, 0u);
}

TEST_F(HtmlDisplay, the_arena_grows_by_whole_steps_within_its_reservation) {
  v.html_arena.used = 0;
  buffer a = buffer_push_grow(&v, 100);
  EXPECT_EQ(a.size, 100u);
  buffer big = buffer_push_grow(&v, MiB(2) + 5);
  ASSERT_EQ(big.size, MiB(2) + 5);
  EXPECT_EQ(v.html_arena.size, MiB(3)) << "the smallest whole number of steps that makes room";
  big.data[big.size - 1] = 1;  // committed memory
  buffer too_much = buffer_push_grow(&v, APP_HTML_RESERVE_BYTES);
  EXPECT_EQ(too_much.data, nullptr);
  EXPECT_EQ(v.html_arena.size, MiB(3));
}

}  // namespace
